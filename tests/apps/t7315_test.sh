#!/usr/bin/env bash
# Tests the t7315 tool as a user meets it: exit codes, messages and output.
# T7315_BUILD_DIR names the build folder that holds the tool (default build/).
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${T7315_BUILD_DIR:-build}
[[ $build = /* ]] || build=$root/$build
tool=$build/t7315
[ -x "$tool" ] || { echo "t7315_test: no tool at $tool; build it first"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

source "$root/tests/support/script_results.sh"
# expect NAME EXIT_CODE STREAM PATTERN -- ARGS...: the tool exits so, and
# STREAM (out or err) matches the extended regular expression PATTERN.
expect() {
  local name=$1 code=$2 stream=$3 pattern=$4 status
  shift 5
  "$tool" "$@" </dev/null >"$work/out" 2>"$work/err"
  status=$?
  [ "$status" -eq "$code" ] && grep -qE -- "$pattern" "$work/$stream"
  verdict "$name" $? "want exit $code and $stream matching '$pattern', got exit $status
$(sed 's/^/out: /' "$work/out")
$(sed 's/^/err: /' "$work/err")"
}

expect "no command" 2 err "^t7315: no command given$" --
expect "unknown command" 2 err "^t7315: unknown command 'frobnicate'$" -- frobnicate
expect "usage after an error" 2 err "^usage: t7315 COMMAND$" -- frobnicate
expect "selfcheck arguments" 2 err "^t7315: selfcheck takes no arguments, got 'now'$" -- selfcheck now
for help in help -h --help; do
  expect "$help" 0 out "^  selfcheck " -- "$help"
done
expect "selfcheck passes" 0 out "^registry: OK$" -- selfcheck

# Every selfcheck line is a passed check, and there is one per check.
"$tool" selfcheck >"$work/out" 2>&1
[ "$(grep -cE '^[a-z ]+: OK$' "$work/out")" -eq 6 ] && [ "$(wc -l <"$work/out")" -eq 6 ]
verdict "selfcheck lines" $? "want 6 lines '<check>: OK', got:
$(cat "$work/out")"

finish t7315
