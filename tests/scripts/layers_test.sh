#!/usr/bin/env bash
# Tests scripts/check-layers.sh: the project's own tree keeps the layering,
# and a tree seeded with one violation of each rule gets each one reported.
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
check=$root/scripts/check-layers.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

source "$root/tests/support/script_results.sh"

output=$("$check" "$root" 2>&1)
verdict "project tree" $? "$output"

# A tree where every folder has one allowed and one forbidden include.
seed() { mkdir -p "$work/$(dirname "$1")" && printf '%s\n' "${@:2}" >"$work/$1"; }
seed driver/context/port.h '#include "platform/platform.h"' '#include <stdint.h>' '#include <vector>'
seed driver/datapath/read.cpp '#include "driver/context/port.h"' '#include "emulator/kernel/clock.h"'
seed driver/uart/purge.cpp '#include "driver/datapath/read.h"' '#include "driver/device/pnp.h"'
seed driver/device/pnp.cpp '#include <type_traits>' '#include "emulator/chip/wire.h"'
seed driver/driver_entry.cpp '#include "driver/ioctl/control.h"' '#include "user/rig/computer.h"'
seed platform/host/io.h '#include "platform/host/ntdef.h"' '#include <functional>'
seed platform/windows/kernel.h '#include <ddk/wdm.h>' '#include "emulator/kernel/machine.h"'
seed emulator/kernel/pool.cpp '#include "emulator/kernel/pool.h"' '#include "emulator/chip/port.h"'
seed emulator/chip/port.cpp '#include "emulator/chip/wire.h"' '#include "user/win32/comm.h"'
seed user/win32/comm.cpp '#include "emulator/kernel/io.h"' '#include "driver/uart/registers.h"'
seed user/rig/computer.cpp '#include "driver/driver_entry.h"' '#include "driver/device/pnp.h"'

output=$("$check" "$work" 2>&1)
status=$?
verdict "seeded tree fails" $((status == 1 ? 0 : 1)) "exit $status: $output"
for expected in 'driver/context/port.h:3: includes <vector>' \
    'driver/datapath/read.cpp:2: includes "emulator/kernel/clock.h"' \
    'driver/uart/purge.cpp:2: includes "driver/device/pnp.h"' \
    'driver/device/pnp.cpp:2: includes "emulator/chip/wire.h"' \
    'driver/driver_entry.cpp:2: includes "user/rig/computer.h"' \
    'platform/host/io.h:2: includes <functional>' \
    'platform/windows/kernel.h:2: includes "emulator/kernel/machine.h"' \
    'emulator/kernel/pool.cpp:2: includes "emulator/chip/port.h"' \
    'emulator/chip/port.cpp:2: includes "user/win32/comm.h"' \
    'user/win32/comm.cpp:2: includes "driver/uart/registers.h"' \
    'user/rig/computer.cpp:2: includes "driver/device/pnp.h"' \
    'check-layers: 11 include(s) against the layering'; do
  grep -qF -- "$expected" <<<"$output"
  verdict "reports $expected" $? "$output"
done

finish layers
