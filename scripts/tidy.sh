#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy at the top) over every driver source with the
# compile commands of a configured build folder. Any finding fails the run.
# Usage: scripts/tidy.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
tidy=$(command -v clang-tidy-14 || command -v clang-tidy || true)
if [ -z "$tidy" ]; then
  echo "tidy: clang-tidy not found" >&2
  exit 2
fi
if [ ! -f "$build/compile_commands.json" ]; then
  echo "tidy: $build/compile_commands.json missing; configure the build first" >&2
  exit 2
fi

mapfile -t sources < <(find driver -name '*.cpp' | sort)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# One process per source, two at a time; clang-tidy prints its findings.
status=0
printf '%s\n' "${sources[@]}" |
  xargs -P "${JOBS:-2}" -n 1 "$tidy" -p "$build" --quiet >"$log" 2>/dev/null || status=$?
findings=$(grep -cE '(warning|error): ' "$log" || true)
grep -E -A3 '(warning|error): ' "$log" || true
echo "tidy: ${#sources[@]} files, $findings findings"
[ "$status" -eq 0 ] && [ "$findings" -eq 0 ]
