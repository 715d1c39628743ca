#!/usr/bin/env bash
# Checks a built kernel image the way the Windows loader would take it:
# PE32+ for x64, native subsystem, entry point at DriverEntry, imports only
# from the kernel, HAL, USBD and WMILIB, no exports, no static constructors
# (nothing would run them), a valid image checksum, and no instruction that
# only ring 0 may execute or that reaches a fixed kernel address other than
# the shared data page's time fields (the loader redirects those).
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 IMAGE.sys" >&2; exit 2; }
image=$1
[ -f "$image" ] || { echo "check-sys: no such file: $image" >&2; exit 1; }
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
nm=${NM:-x86_64-w64-mingw32-nm}
allowed="ntoskrnl.exe hal.dll usbd.sys wmilib.sys"

failures=0
fail() { echo "check-sys: $image: $*" >&2; failures=$((failures + 1)); }

headers=$("$objdump" -p "$image" 2>&1) || { echo "check-sys: $image: not a PE image: $headers" >&2; exit 1; }
field() { awk -v k="$1" '$1 == k { print $2; exit }' <<<"$headers"; }

[ "$(field Magic)" = "020b" ] || fail "not PE32+ (optional header magic $(field Magic), want 020b)"
grep -q 'file format pei-x86-64' <<<"$headers" || fail "not an x86-64 image"
[ "$(field Subsystem)" = "00000001" ] || fail "subsystem $(field Subsystem), want 00000001 (native)"

entry=$(field AddressOfEntryPoint)
base=$(field ImageBase)
driver_entry=$("$nm" "$image" | awk '$3 == "DriverEntry" && toupper($2) == "T" && !seen++ { print $1 }')
if [ -z "$driver_entry" ]; then
  fail "no DriverEntry symbol"
elif [ $((16#$base + 16#$entry)) -ne $((16#$driver_entry)) ]; then
  fail "entry point $(printf %x $((16#$base + 16#$entry))) is not DriverEntry ($driver_entry)"
fi

dlls=$(awk '/DLL Name:/ { print tolower($3) }' <<<"$headers" | sort -u)
for dll in $dlls; do
  case " $allowed " in
    *" $dll "*) ;;
    *) fail "imports from $dll; only $allowed are allowed" ;;
  esac
done

# ld leaves an empty export directory; only entries in it matter.
exports=$(awk '/^Number in:/ { getline; print $NF; exit }' <<<"$headers")
exports=$((16#${exports:-0}))
[ "$exports" -eq 0 ] || fail "exports $exports symbol(s); a driver exports nothing"

# The kernel loads drivers at whatever address is free.
[ $((16#$(field Characteristics | sed 's/^0x//') & 1)) -eq 0 ] ||
  fail "relocations stripped: the image could only load at its preferred base"

ctors=$("$nm" "$image" | awk '$3 ~ /^_GLOBAL__sub_I_/ { print $3 }')
[ -z "$ctors" ] || fail "has static constructors that nothing would run: $(tr '\n' ' ' <<<"$ctors")"

# mnemonic and operands of every instruction, one per line
instructions=$("$objdump" -d --no-show-raw-insn "$image" |
  awk -F'\t' 'NF >= 2 && $1 ~ /^ *[0-9a-f]+:$/ { gsub(/ +/, " ", $2); print $2 }')
privileged=$(grep -E '^(cli|sti|hlt|lgdt|lidt|lldt|ltr|invlpg|invd|wbinvd|rdmsr|wrmsr|rdpmc|swapgs|sysret[lq]?|iretq?|in|out|ins[bwl]?|outs[bwl]?|clts|lmsw)( |$)|%[cd]r[0-9]|%[gf]s:' <<<"$instructions" | sort -u || true)
[ -z "$privileged" ] || fail "instructions user space cannot execute: $(tr '\n' ';' <<<"$privileged")"
known_fixed='^movabs \$?0xfffff780000000(08|14),%r([a-ds][x]|[sd]i|[sb]p|[0-9]+)$'
# an absolute memory operand, or the shared data page as an immediate
fixed=$(grep -E '^[a-z]+ (.*,)?0x[0-9a-f]+(,|$)|\$0xfffff780' <<<"$instructions" |
  grep -vE "$known_fixed" | sort -u || true)
[ -z "$fixed" ] || fail "fixed kernel addresses: $(tr '\n' ';' <<<"$fixed")"

want=$("$(dirname "$0")/pe-checksum.sh" "$image")
have=$(field CheckSum)
[ "$have" = "$want" ] || fail "image checksum $have, want $want"

if [ "$failures" -gt 0 ]; then
  echo "check-sys: $image: $failures check(s) failed" >&2
  exit 1
fi
echo "check-sys: $image: PE32+ x64 native driver, entry DriverEntry, imports $(tr '\n' ' ' <<<"$dlls")checksum $have: OK"
