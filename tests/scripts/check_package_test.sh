#!/usr/bin/env bash
# Tests scripts/check-package.sh: the package made from the INF template
# passes, and each way the INF could fail to install the image is refused.
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$root/tests/support/script_results.sh"

# package NAME SED_EXPRESSION: a package folder whose INF is the template with
# the ids filled in and then edited by SED_EXPRESSION.
package() {
  mkdir -p "$work/$1"
  sed -e 's/@T7315_USB_VENDOR_ID@/7315/; s/@T7315_USB_PRODUCT_ID@/0104/' -e "$2" \
    "$root/driver/t7315ser.inf.in" >"$work/$1/t7315ser.inf"
  echo image >"$work/$1/t7315ser.sys"
}
# expect NAME EXIT_CODE MESSAGE
expect() {
  local output status
  output=$("$root/scripts/check-package.sh" "$work/$1" 2>&1)
  status=$?
  [ "$status" -eq "$2" ] && grep -qF -- "$3" <<<"$output"
  verdict "$1" $? "want exit $2 and '$3', got exit $status:
$output"
}

package good ''
package no_image '' && rm "$work/no_image/t7315ser.sys"
package other_class 's/^Class       = Ports/Class = Modem/'
package other_service 's/Q2740xA_Port/Serial/'
package other_binary 's/ServiceBinary = %12%\\t7315ser.sys/ServiceBinary = %12%\\serial.sys/'
package no_x64 's/= Ports, NTamd64/= Ports/'
package placeholder 's/PID_0104/PID_@T7315_USB_PRODUCT_ID@/'

expect good 0 'USB\VID_7315&PID_0104: OK'
expect no_image 1 "no t7315ser.sys"
expect other_class 1 "Class Modem, want Ports"
expect other_service 1 "no AddService for Q2740xA_Port"
expect other_binary 1 'ServiceBinary %12%\serial.sys'
expect no_x64 1 "no NTamd64 models"
expect placeholder 1 "placeholders left"

finish check-package
