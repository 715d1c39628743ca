#!/usr/bin/env bash
# Checks that includes go downwards only:
# - the driver folders include platform/platform.h, each other and the
#   freestanding C and C++ headers, nothing else (so both builds compile them);
# - platform/ includes only platform/ and system headers, and platform/host/
#   only a few C headers besides (kernel code includes it);
# - host/ and chip/ never include the driver, and nothing below apps/ includes
#   apps/ or win32/ (chip/ reaches the driver only through IRPs and URBs);
# - rig/ assembles a computer and knows the driver only by its entry point.
# Prints one line per violation; exits 1 when there is any.
set -euo pipefail

root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

driver='context|datapath|uart|ioctl|device'
freestanding='cstdint|stdint\.h|cstddef|stddef\.h|cstdarg|stdarg\.h|climits|limits\.h|limits|type_traits'
platform_c='stdint\.h|stddef\.h|stdarg\.h|string\.h'

violations=0
# rule FOLDERS ALLOWED_PATTERN WHY: every include in FOLDERS' files that does
# not match ALLOWED_PATTERN (an extended regex on the include's target,
# brackets or quotes kept) is reported.
rule() {
  local folders=$1 allowed=$2 why=$3 hits
  [ -n "$folders" ] || return 0
  hits=$(grep -rnE --include='*.h' --include='*.cpp' '^\s*#\s*include\s*[<"]' $folders 2>/dev/null |
    sed -E 's/^([^:]+:[0-9]+):\s*#\s*include\s*([<"][^>"]+[>"]).*/\1 \2/' |
    grep -vE " ($allowed)\$" || true)
  [ -z "$hits" ] && return 0
  while read -r where target; do
    echo "$where: includes $target: $why"
    violations=$((violations + 1))
  done <<<"$hits"
}

existing() { for folder in "$@"; do [ ! -e "$folder" ] || echo "$folder"; done; }

rule "$(existing context datapath uart ioctl device)" \
  "\"platform/platform\\.h\"|\"($driver)/[^\"]+\"|<($freestanding)>" \
  "driver code includes platform/platform.h, driver headers and freestanding headers only"
rule "$(existing platform)" \
  "\"platform/[^\"]+\"|<[^>]+>" \
  "platform/ includes only platform/ headers"
rule "$(existing platform/host platform/platform.h)" \
  "\"platform/[^\"]+\"|<($platform_c)>" \
  "the host platform headers stay C: kernel code includes them"
rule "$(existing host chip)" \
  "\"(host|chip|platform)/[^\"]+\"|<[^>]+>" \
  "host/ and chip/ sit below the driver, win32/ and apps/"
rule "$(existing win32)" \
  "\"(win32|host|chip|platform)/[^\"]+\"|<[^>]+>" \
  "win32/ sits below apps/ and reaches the driver only through the I/O manager"
rule "$(existing rig)" \
  "\"(rig|win32|host|chip|platform)/[^\"]+\"|\"device/driver_entry\.h\"|<[^>]+>" \
  "rig/ loads the driver through its entry point only"

[ "$violations" -eq 0 ] || { echo "check-layers: $violations include(s) against the layering"; exit 1; }
