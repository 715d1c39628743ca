# Sourced by the script tests that run the t7315 tool, once $root is the
# project folder: finds the tool in T7315_BUILD_DIR (default build/), makes
# the scratch folder $work (the caller's EXIT trap removes it) and brings the
# verdict counters.
build=${T7315_BUILD_DIR:-build}
[[ $build = /* ]] || build=$root/$build
tool=$build/t7315
[ -x "$tool" ] || { echo "$(basename "$0" .sh): no tool at $tool; build it first"; exit 1; }
work=$(mktemp -d)

source "$root/tests/support/script_results.sh"

# expect NAME EXIT_CODE STREAM PATTERN -- ARGS...: the tool, run with ARGS
# (given at most $tool_timeout seconds, default 60), exits so, and STREAM
# (out or err) matches the extended regular expression PATTERN.
expect() {
  local name=$1 code=$2 stream=$3 pattern=$4 status
  shift 5
  timeout "${tool_timeout:-60}" "$tool" "$@" </dev/null >"$work/out" 2>"$work/err"
  status=$?
  [ "$status" -eq "$code" ] && grep -qE -- "$pattern" "$work/$stream"
  verdict "$name" $? "want exit $code and $stream matching '$pattern', got exit $status
$(sed 's/^/out: /' "$work/out")
$(sed 's/^/err: /' "$work/err")"
}
