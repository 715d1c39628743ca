#!/usr/bin/env bash
# Tests the t7315 tool as a user meets it: exit codes, messages and output.
# T7315_BUILD_DIR names the build folder that holds the tool (default build/).
set -uo pipefail

root=$(cd "$(dirname "$0")/../../.." && pwd)
source "$root/tests/support/tool_script.sh"
trap 'rm -rf "$work"' EXIT

expect "no command" 2 err "^t7315: no command given$" --
expect "unknown command" 2 err "^t7315: unknown command 'frobnicate'$" -- frobnicate
expect "usage after an error" 2 err "^usage: t7315 COMMAND$" -- frobnicate
expect "selfcheck arguments" 2 err "^t7315: selfcheck takes no arguments, got 'now'$" -- selfcheck now
for help in help -h --help; do
  expect "$help" 0 out "^  selfcheck " -- "$help"
done
expect "bench seconds" 2 err "^t7315: bench: --seconds wants a number from 0 to 60 \(not 0\), got '0'$" -- bench --seconds 0
expect "bench argument" 2 err "^t7315: bench: unknown argument '--fast'$" -- bench --fast
expect "soak bytes" 2 err "^t7315 soak: --bytes takes a count of bytes with K or M, 1 to 1T, not '12Q'$" -- soak --bytes 12Q
expect "soak flow" 2 err "^t7315 soak: --flow takes none, rtscts, xonxoff and dtrdsr, separated by commas, not 'rts'$" -- soak --flow rts
expect "soak rate" 2 err "^t7315 soak: --rates takes baud rates from 75 to 3000000, separated by commas, not '9600,-1'$" -- soak --rates 9600,-1
expect "soak passes" 0 out "^soak: 8192 bytes carried and compared, 0 failed setting\(s\)$" -- soak --bytes 2K --rates 115200 --flow none
printf 'not a driver image' >"$work/bad.sys"
expect "demo image missing" 1 err "^t7315 demo: start: cannot load the driver image /no/such.sys: cannot open" -- demo --image /no/such.sys
expect "demo image malformed" 1 err "^t7315 demo: start: cannot load the driver image $work/bad.sys: " -- demo --image "$work/bad.sys"
expect "serve image malformed" 1 err "^t7315: serve: cannot load the driver image $work/bad.sys: " -- serve --image "$work/bad.sys"
expect "selfcheck passes" 0 out "^registry: OK$" -- selfcheck

# Every selfcheck line is a passed check, and there is one per check.
"$tool" selfcheck >"$work/out" 2>&1
[ "$(grep -cE '^[a-z ]+: OK$' "$work/out")" -eq 6 ] && [ "$(wc -l <"$work/out")" -eq 6 ]
verdict "selfcheck lines" $? "want 6 lines '<check>: OK', got:
$(cat "$work/out")"

finish t7315
