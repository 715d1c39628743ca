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
seed context/port.h '#include "platform/platform.h"' '#include <stdint.h>' '#include <vector>'
seed datapath/read.cpp '#include "context/port.h"' '#include "host/clock.h"'
seed device/pnp.cpp '#include <type_traits>' '#include "chip/wire.h"'
seed platform/host/io.h '#include "platform/host/ntdef.h"' '#include <functional>'
seed platform/windows/kernel.h '#include <ddk/wdm.h>' '#include "host/machine.h"'
seed host/pool.cpp '#include "host/pool.h"' '#include "device/pnp.h"'
seed chip/port.cpp '#include "chip/wire.h"' '#include "win32/comm.h"'
seed win32/comm.cpp '#include "host/io.h"' '#include "uart/registers.h"'

output=$("$check" "$work" 2>&1)
status=$?
verdict "seeded tree fails" $((status == 1 ? 0 : 1)) "exit $status: $output"
for expected in 'context/port.h:3: includes <vector>' 'datapath/read.cpp:2: includes "host/clock.h"' \
    'device/pnp.cpp:2: includes "chip/wire.h"' 'platform/host/io.h:2: includes <functional>' \
    'platform/windows/kernel.h:2: includes "host/machine.h"' 'host/pool.cpp:2: includes "device/pnp.h"' \
    'chip/port.cpp:2: includes "win32/comm.h"' 'win32/comm.cpp:2: includes "uart/registers.h"' \
    'check-layers: 8 include(s) against the layering'; do
  grep -qF -- "$expected" <<<"$output"
  verdict "reports $expected" $? "$output"
done

finish layers
