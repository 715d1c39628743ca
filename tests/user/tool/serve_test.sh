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
holder=
cleanup() {
  [ -z "$server" ] || kill -KILL "$server" 2>/dev/null
  [ -z "$holder" ] || kill -KILL "$holder" 2>/dev/null
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
    grep -q "^serving " "$work/$name.log" 2>/dev/null && return 0
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
  done
  return 1
}

# stop_server NAME SIGNAL [SECONDS]: the server ends within SECONDS (default
# 30) with status 0 and reports a clean unload.
stop_server() {
  local name=$1 signal=$2 limit=${3:-30} status
  kill "-$signal" "$server"
  for _ in $(seq $((limit * 10))); do kill -0 "$server" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$server" 2>/dev/null && kill -KILL "$server"
  wait "$server"
  status=$?
  server=
  [ "$status" -eq 0 ] && grep -q "^driver unloaded; leaks: clean$" "$work/$name.log"
  verdict "$name stops on $signal within $limit s" $? "exit $status;
$(tail -5 "$work/$name.log")"
}

# await FILE PATTERN: true once FILE has a line matching PATTERN (30 s at most).
await() {
  for _ in $(seq 300); do grep -qE "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  return 1
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

  # A second server on the folder in use is refused and leaves its links alone.
  link=$(readlink "$state/COM3")
  tool_timeout=10 expect "second server on one state folder" 1 err "^t7315: serve: $state is in use by another t7315 serve \(pid $server\)" \
    -- serve --state "$state" --rfc2217 $((base + 100))
  [ "$(readlink "$state/COM3")" = "$link" ]
  verdict "links kept by the refused server" $? "$(ls -l "$state")"

  mode=full
  ldd "$tool" 2>/dev/null | grep -q libasan && mode=checked
  ldd "$tool" 2>/dev/null | grep -q libtsan && mode=light
  client() { /usr/bin/python3 "$root/tests/user/tool/serve_client.py" "$state" "$base" "$work/first.log" "$mode" "$@"; }
  client >"$work/client" 2>&1
  client_status=$?
  while read -r word name; do
    case $word in
      PASS) verdict "$name" 0 "" ;;
      FAIL) verdict "${name%%:*}" 1 "${name#*: }" ;;
    esac
  done <"$work/client"
  [ "$client_status" -eq 0 ] && ! grep -qE "^(Traceback|FAIL)" "$work/client"
  verdict "client ran to its end" $? "$(tail -20 "$work/client")"
  # A write held by flow control does not hold up a stop.
  client hold >"$work/holder" 2>&1 &
  holder=$!
  await "$work/holder" "^HELD$"
  verdict "write held" $? "$(cat "$work/holder")"
  stop_server first INT 5
  { kill -KILL "$holder" && wait "$holder"; } 2>/dev/null
  holder=
  [ ! -e "$state/COM3" ] && [ -f "$state/registry.txt" ]
  verdict "links removed, registry kept" $? "$(ls -l "$state")"
else
  verdict "server starts" 1 "$(cat "$work/first.log")"
fi

# The same state folder again: the ports keep their names; links left by a
# server that was killed are replaced or removed; a file is not replaced.
ln -s /dev/pts/999 "$state/COM5-wire"
ln -sfn /dev/pts/998 "$state/COM3"
echo keep >"$state/COM4"
if start_server second --state "$state" --rfc2217 "$base"; then
  grep -qE "^COM6  pty .*  cable: null modem to COM5$" "$work/second.log"
  verdict "restart on the state folder" $? "$(cat "$work/second.log")"
  [ ! -e "$state/COM5-wire" ] && [ "$(readlink "$state/COM3")" != /dev/pts/998 ]
  verdict "stale links replaced" $? "$(ls -l "$state")"
  grep -q "^COM4  not served: $state/COM4 exists and is not a symbolic link; not replacing it" "$work/second.log" &&
    [ "$(cat "$state/COM4")" = keep ]
  verdict "a file in a link's place kept" $? "$(cat "$work/second.log")"
  stop_server second TERM
else
  verdict "restart on the state folder" 1 "$(cat "$work/second.log")"
fi

finish serve
