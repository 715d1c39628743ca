#!/usr/bin/env bash
# Tests `t7315 serve` from outside: bad arguments, then a server on real
# time driven by pyserial over RFC 2217 and on its pseudo-terminals
# (serve_client.py), its clean stop on SIGINT and SIGTERM, and a restart on
# the same state folder.
# T7315_BUILD_DIR names the build folder that holds the tool (default build/).
set -uo pipefail

root=$(cd "$(dirname "$0")/../../.." && pwd)
source "$root/tests/support/tool_script.sh"
server=
cleanup() {
  [ -z "$server" ] || kill -KILL "$server" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

expect "bad chip count" 2 err "^t7315: serve: --chips wants a number from 1 to 8, got '0'$" -- serve --chips 0
expect "unknown argument" 2 err "^usage: t7315 serve " -- serve --baud 9600
expect "cable to a missing port" 2 err "^t7315: serve: cable for COM9: there is no such port$" -- serve --cable COM9:loop

# start_server NAME ARGS...: runs the server in the background with its
# console in $work/NAME.log; waits for its ready line.
start_server() {
  local name=$1
  shift
  "$tool" serve "$@" >"$work/$name.log" 2>&1 &
  server=$!
  for _ in $(seq 200); do
    grep -q "^serving " "$work/$name.log" && return 0
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
  done
  return 1
}

# stop_server NAME SIGNAL: the server ends within 30 s with status 0 and
# reports a clean unload.
stop_server() {
  local name=$1 signal=$2 status
  kill "-$signal" "$server"
  for _ in $(seq 300); do kill -0 "$server" 2>/dev/null || break; sleep 0.1; done
  wait "$server"
  status=$?
  server=
  [ "$status" -eq 0 ] && grep -q "^driver unloaded; leaks: clean$" "$work/$name.log"
  verdict "$name stops on $signal" $? "exit $status;
$(tail -5 "$work/$name.log")"
}

state=$work/state
base=$((20000 + RANDOM % 20000))
if start_server first --state "$state" --rfc2217 "$base" --cable COM3:COM4 --cable COM5:pty --cable COM6:loop; then
  verdict "server starts" 0 ""
  # One line per port: name, pty and its link, RFC 2217 address, cable.
  grep -qE "^COM3  pty /dev/pts/[0-9]+ \($state/COM3\)  rfc2217://127\.0\.0\.1:$((base + 3))  cable: null modem to COM4$" \
    "$work/first.log"
  verdict "port line" $? "$(cat "$work/first.log")"
  grep -qE "^COM5  .*  cable: wire pty /dev/pts/[0-9]+ \($state/COM5-wire\)$" "$work/first.log"
  verdict "wire pty line" $? "$(cat "$work/first.log")"
  [ -L "$state/COM3" ] && [ -L "$state/COM5-wire" ]
  verdict "pty links" $? "$(ls -l "$state")"

  bulk=full
  ldd "$tool" 2>/dev/null | grep -q libtsan && bulk=light
  /usr/bin/python3 "$root/tests/user/tool/serve_client.py" "$state" "$base" "$work/first.log" "$bulk" >"$work/client" 2>&1
  client_status=$?
  while read -r word name; do
    case $word in
      PASS) verdict "$name" 0 "" ;;
      FAIL) verdict "${name%%:*}" 1 "${name#*: }" ;;
    esac
  done <"$work/client"
  [ "$client_status" -eq 0 ] && ! grep -qE "^(Traceback|FAIL)" "$work/client"
  verdict "client ran to its end" $? "$(tail -20 "$work/client")"
  stop_server first INT
  [ ! -e "$state/COM3" ] && [ -f "$state/registry.txt" ]
  verdict "links removed, registry kept" $? "$(ls -l "$state")"
else
  verdict "server starts" 1 "$(cat "$work/first.log")"
fi

# The same state folder again: the ports keep their names.
if start_server second --state "$state" --rfc2217 "$base"; then
  grep -qE "^COM6  pty .*  cable: null modem to COM5$" "$work/second.log"
  verdict "restart on the state folder" $? "$(cat "$work/second.log")"
  stop_server second TERM
else
  verdict "restart on the state folder" 1 "$(cat "$work/second.log")"
fi

finish serve
