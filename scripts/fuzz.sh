#!/usr/bin/env bash
# Runs every fuzz target of BUILD (fuzz_*) for SECONDS each, from its seeds
# in fuzz/corpus/<target>/ plus what earlier runs kept in
# BUILD/fuzz-corpus/<target>/. A finding (crash, sanitizer report, failed
# check, leak, time-out) stops the run: its input is left in
# BUILD/findings/<target>/ and the script fails.
#
#   scripts/fuzz.sh build-fuzz 60
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: scripts/fuzz.sh BUILD SECONDS}
seconds=${2:-60}
[[ "$seconds" =~ ^[0-9]+$ ]] || { echo "fuzz: SECONDS must be a whole number, not '$seconds'" >&2; exit 2; }

targets=("$build"/fuzz_*)
[ -x "${targets[0]}" ] || { echo "fuzz: no fuzz targets in $build" >&2; exit 2; }
status=0
for target in "${targets[@]}"; do
  name=${target##*/fuzz_}
  corpus="$build/fuzz-corpus/$name"
  findings="$build/findings/$name"
  mkdir -p "$corpus" "$findings"
  log="$build/findings/$name.log"
  # One input may boot a machine and run seconds of virtual time: -timeout
  # is generous, and a hang still ends as a finding.
  if "$target" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="$findings/" "$corpus" "fuzz/corpus/$name" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $name: ${runs:-?} inputs in ${seconds} s, no finding"
  else
    echo "fuzz $name: FINDING (log $log, input in $findings/):" >&2
    grep -E 'fuzz check failed|ERROR|SUMMARY|verifier' "$log" | head -5 >&2
    status=1
  fi
done
exit $status
