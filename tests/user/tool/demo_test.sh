#!/usr/bin/env bash
# Tests `t7315 demo` from outside: its options, its messages and exit codes,
# a short real-time run that passes and one with a rate the driver refuses.
# T7315_BUILD_DIR names the build folder that holds the tool (default build/).
set -uo pipefail

root=$(cd "$(dirname "$0")/../../.." && pwd)
tool_timeout=120
source "$root/tests/support/tool_script.sh"
trap 'rm -rf "$work"' EXIT

expect "listed in the tool's help" 0 out "^  demo " -- --help
for help in -h --help; do
  expect "demo $help" 0 out "^usage: t7315 demo " -- demo "$help"
done
expect "help names the options" 0 out "^  --rates R1,R2" -- demo --help
expect "no port" 2 err "^t7315 demo: --ports wants a number from 1 to 8, got '0'$" -- demo --ports 0
expect "too many ports" 2 err "^t7315 demo: --ports wants a number from 1 to 8, got '9'$" -- demo --ports=9
expect "ports not a number" 2 err "^t7315 demo: --ports wants a number from 1 to 8, got '4x'$" -- demo --ports 4x
expect "missing value" 2 err "^t7315 demo: --bytes needs a value$" -- demo --bytes
expect "no bytes" 2 err "^t7315 demo: --bytes wants a number from 1 to 1048576, got '0'$" -- demo --bytes 0
expect "empty rate" 2 err "^t7315 demo: --rates wants baud rates separated by commas, got '9600,,115200'$" \
  -- demo --rates 9600,,115200
expect "trailing comma" 2 err "^t7315 demo: --rates wants baud rates separated by commas, got '9600,'$" \
  -- demo --rates 9600,
expect "unknown option" 2 err "^t7315 demo: unknown demo option '--fast'$" -- demo --fast
expect "usage after an error" 2 err "^usage: t7315 demo " -- demo --fast

expect "short run passes" 0 out "^demo passed$" -- demo --ports 2 --rates 9600,115200 --bytes 300
expect "bad bus" 2 err "^t7315 demo: --bus wants none, full or high, got 'usb'$" -- demo --bus usb
# Full-speed frames bound the run at 32 bytes a millisecond; it still passes.
expect "run on a full-speed bus" 0 out "^demo passed$" -- demo --ports 2 --rates 115200 --bytes 2000 --bus full
expect "short run is clean" 0 out "^devices removed, driver unloaded: clean$" -- demo --ports 3 --rates 19200 --bytes 64
expect "refused rate fails clearly" 1 err "^t7315 demo: COM3 at 1201: SetCommState failed with error [0-9]+$" \
  -- demo --ports 1 --rates 1201 --bytes 10

finish demo
