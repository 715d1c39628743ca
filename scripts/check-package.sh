#!/usr/bin/env bash
# Checks the Windows driver package (the folder `make sys` leaves): the image
# and its INF are there, and the INF installs that image, under the driver's
# service name, for the chip's port devices in the Ports class.
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 PACKAGE_FOLDER" >&2; exit 2; }
package=$1
inf=$package/t7315ser.inf
image=t7315ser.sys
failures=0
fail() { echo "check-package: $package: $*" >&2; failures=$((failures + 1)); }

[ -f "$package/$image" ] || fail "no $image"
[ -f "$inf" ] || { fail "no t7315ser.inf"; exit 1; }

# value KEY: the value of KEY (first match, any section), without spaces.
value() { awk -F= -v k="$1" 'tolower($1) ~ "^ *" tolower(k) " *$" { gsub(/[ \r]/, "", $2); print $2; exit }' "$inf"; }

[ "$(value Signature)" = '"$WindowsNT$"' ] || fail "Signature $(value Signature)"
[ "$(value Class)" = "Ports" ] || fail "Class $(value Class), want Ports"
[ "$(value ClassGuid)" = "{4D36E978-E325-11CE-BFC1-08002BE10318}" ] || fail "ClassGuid $(value ClassGuid)"
grep -Eq '^%[A-Za-z]+% *= *[A-Za-z_]+ *, *NTamd64' "$inf" || fail "no NTamd64 models in [Manufacturer]"
grep -Eq '^%[A-Za-z]+% *= *[A-Za-z_]+, *USB\\VID_[0-9A-F]{4}&PID_[0-9A-F]{4} *$' "$inf" ||
  fail "no model with a USB\\VID_xxxx&PID_xxxx hardware id"
grep -Eq '^AddService *= *Q2740xA_Port *, *0x00000002 *,' "$inf" ||
  fail "no AddService for Q2740xA_Port as the device's function driver"
[ "$(value ServiceBinary)" = "%12%\\$image" ] || fail "ServiceBinary $(value ServiceBinary), want %12%\\$image"
grep -Eq "^$image *= *1" "$inf" || fail "$image not in [SourceDisksFiles]"
! grep -q '@' "$inf" || fail "placeholders left: $(grep '@' "$inf" | head -n 1)"

if [ "$failures" -gt 0 ]; then
  echo "check-package: $package: $failures check(s) failed" >&2
  exit 1
fi
echo "check-package: $package: $image, t7315ser.inf for $(grep -Eo 'USB\\VID_[0-9A-F]{4}&PID_[0-9A-F]{4}' "$inf" | head -n 1): OK"
