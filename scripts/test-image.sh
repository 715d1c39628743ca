#!/usr/bin/env bash
# Runs against the Windows driver image every suite that reaches the driver
# through IRPs: the rig and the tool load the image named by T7315_IMAGE
# instead of the natively built driver. Usage:
#   scripts/test-image.sh BUILD_DIR IMAGE
# Suites left out run natively only: they link driver internals, call driver
# routines or read driver globals (test_context, and the device tests that
# read the port numbering), or do not involve the driver (kernel, chip,
# loader, platform, serve).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:?build folder}
image=$(realpath "${2:?driver image}")
export T7315_IMAGE=$image T7315_BUILD_DIR=$build

# suite and the tests of it that stay native (they read the driver's globals)
suites=(
  "test_win32:"
  "test_rig:"
  "test_datapath:"
  "test_uart:"
  "test_ioctl:"
  "test_device:-LifecycleTest.*:Lifecycle/TakenNamesTest.*"
)
scripts=(tests/user/tool/demo_test.sh tests/user/tool/serve_test.sh)

# The suites two at a time, each with its own log.
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
run_suite() {
  local suite=${1%%:*} filter=${1#*:}
  local start=$SECONDS
  if "$build/$suite" ${filter:+--gtest_filter="$filter"} >"$logs/$suite" 2>&1; then
    echo "test-image: $suite $(grep -oE '[0-9]+ tests? from [0-9]+ test suites? ran' "$logs/$suite" | head -1), $((SECONDS - start)) s: passed"
  else
    echo "test-image: $suite FAILED"
    tail -40 "$logs/$suite"
    return 1
  fi
}
export -f run_suite
export build logs
printf '%s\n' "${suites[@]}" | xargs -P "${JOBS:-2}" -I{} bash -c 'run_suite "$@"' _ {}

"$build/t7315" demo --image "$image" --rates 115200
for test in "${scripts[@]}"; do "$test"; done
echo "test-image: every suite passed against $image"
