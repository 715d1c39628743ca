#!/usr/bin/env bash
# Checks that includes go downwards only. The link graph (one CMake target per
# group, each linked with the groups below it only) catches calls across the
# layering; this catches what a header alone brings in:
# - the driver includes platform/platform.h, its own headers and the
#   freestanding C and C++ headers, nothing else (so both builds compile it);
#   inside it the parts stand in the order context, datapath, uart, device,
#   ioctl, and the entry (driver/driver_entry.*) above them all: a part
#   includes its own headers and those of the parts below it;
# - platform/ includes only platform/ and system headers, and platform/host/
#   only a few C headers besides (kernel code includes it);
# - the emulator never includes the driver or the user side; its kernel never
#   includes the chip (the chip reaches the driver only through IRPs and URBs);
# - user/win32 reaches the driver only through the emulated I/O manager, and
#   user/rig knows the driver only by its entry point.
# Prints one line per violation; exits 1 when there is any.
set -euo pipefail

root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

freestanding='cstdint|stdint\.h|cstddef|stddef\.h|cstdarg|stdarg\.h|climits|limits\.h|limits|type_traits'
platform_c='stdint\.h|stddef\.h|stdarg\.h|string\.h'
parts=(context datapath uart device ioctl)

violations=0
# rule FOLDERS ALLOWED_PATTERN WHY: every include in FOLDERS' files that does
# not match ALLOWED_PATTERN (an extended regex on the include's target,
# brackets or quotes kept) is reported.
rule() {
  local folders=$1 allowed=$2 why=$3 hits
  [ -n "$folders" ] || return 0
  hits=$(grep -HrnE --include='*.h' --include='*.cpp' '^\s*#\s*include\s*[<"]' $folders 2>/dev/null |
    sed -E 's/^([^:]+:[0-9]+):\s*#\s*include\s*([<"][^>"]+[>"]).*/\1 \2/' |
    grep -vE " ($allowed)\$" || true)
  [ -z "$hits" ] && return 0
  while read -r where target; do
    echo "$where: includes $target: $why"
    violations=$((violations + 1))
  done <<<"$hits"
}

existing() { for place in "$@"; do [ ! -e "$place" ] || echo "$place"; done; }

below=""
for part in "${parts[@]}"; do
  below="${below:+$below|}$part"
  rule "$(existing driver/$part)" \
    "\"platform/platform\\.h\"|\"driver/($below)/[^\"]+\"|<($freestanding)>" \
    "driver/$part includes platform/platform.h, its own part and the parts below it (${parts[*]})"
done
rule "$(existing driver/driver_entry.h driver/driver_entry.cpp)" \
  "\"platform/platform\\.h\"|\"driver/[^\"]+\"|<($freestanding)>" \
  "the driver's entry includes platform/platform.h and driver headers only"
rule "$(existing platform)" \
  "\"platform/[^\"]+\"|<[^>]+>" \
  "platform/ includes only platform/ headers"
rule "$(existing platform/host platform/platform.h)" \
  "\"platform/[^\"]+\"|<($platform_c)>" \
  "the host platform headers stay C: kernel code includes them"
rule "$(existing emulator/kernel)" \
  "\"(emulator/kernel|platform)/[^\"]+\"|<[^>]+>" \
  "the emulated kernel sits below the chip, the driver and the user side"
rule "$(existing emulator/chip)" \
  "\"(emulator|platform)/[^\"]+\"|<[^>]+>" \
  "the chip sits below the driver and the user side"
rule "$(existing user/win32)" \
  "\"(user/win32|emulator/kernel|platform)/[^\"]+\"|<[^>]+>" \
  "user/win32 reaches the driver only through the I/O manager"
rule "$(existing user/rig)" \
  "\"(user/rig|emulator|platform)/[^\"]+\"|\"driver/driver_entry\.h\"|<[^>]+>" \
  "user/rig loads the driver through its entry point only"

[ "$violations" -eq 0 ] || { echo "check-layers: $violations include(s) against the layering"; exit 1; }
