#!/usr/bin/env bash
# Tests scripts/check-sys.sh: a well-formed kernel image passes, and each way
# an image can be unloadable or wrong is refused with a message naming it.
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
check=$root/scripts/check-sys.sh
cxx=${CXX_MINGW:-x86_64-w64-mingw32-g++}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

kernel_flags=(-shared -nostdlib -nostartfiles -Wl,--subsystem,native -Wl,--entry,DriverEntry
              -Wl,--exclude-all-symbols)

# link NAME SOURCE [extra g++ arguments]: a driver image from SOURCE.
link() {
  local name=$1 source=$2
  shift 2
  printf '%s\n' "$source" >"$work/$name.cpp"
  "$cxx" -O2 -fno-exceptions -fno-rtti -o "$work/$name.sys" "$work/$name.cpp" "${kernel_flags[@]}" "$@" \
    -lntoskrnl -lgcc 2>"$work/$name.log" || { echo "cannot build $name:"; cat "$work/$name.log"; exit 1; }
}

# poke FILE OFFSET BYTE...: overwrite bytes in place.
poke() {
  local file=$1 offset=$2
  shift 2
  printf "$(printf '\\x%02x' "$@")" | dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
}
optional_header() { echo $(($(od -An -t u4 -j 60 -N 4 "$1" | tr -d ' ') + 24)); }

entry='extern "C" __declspec(dllimport) unsigned long __cdecl DbgPrint(const char*, ...);
extern "C" long DriverEntry(void*, void*) { return DbgPrint("loaded"); }'
link good "$entry"
link gui "$entry" -Wl,--subsystem,windows
link other_entry "$entry extern \"C\" long Other(void*, void*) { return 1; }" -Wl,--entry,Other
link user_import "extern \"C\" __declspec(dllimport) unsigned long GetTickCount();
extern \"C\" long DriverEntry(void*, void*) { return GetTickCount(); }" -lkernel32
link exports "$entry extern \"C\" __declspec(dllexport) long Exported() { return 1; }"
link ctor "$entry struct Counter { Counter() : n(DriverEntry(0, 0)) {} long n; }; Counter counter;"
# link_asm NAME INSTRUCTION: a driver whose entry executes INSTRUCTION.
link_asm() { link "$1" "extern \"C\" long DriverEntry(void*, void*) { long v = 0; asm volatile(\"$2\" : \"+r\"(v) : : \"rax\"); return v; }"; }
link_asm cr8_read 'mov %%cr8, %%rax'
link_asm cli 'cli'
link_asm gs_read 'mov %%gs:0x188, %0'
link_asm tick_count 'movabs 0xfffff78000000320, %%rax'
link_asm absolute 'mov 0x1000, %0'
link_asm system_time 'movabs 0xfffff78000000014, %%rax; movabs \$0xfffff78000000008, %%rcx'
header=$(optional_header "$work/good.sys")
cp "$work/good.sys" "$work/bad_checksum.sys"
poke "$work/bad_checksum.sys" $((header + 64)) 0x12
# ld always writes relocations for a DLL; set the COFF flag that says they are gone.
cp "$work/good.sys" "$work/no_relocs.sys"
poke "$work/no_relocs.sys" $((header - 2)) 0x27
echo 'not an image' >"$work/text.sys"

source "$root/tests/support/script_results.sh"
# expect NAME EXIT_CODE MESSAGE: check-sys on NAME.sys exits so and says so.
expect() {
  local name=$1 code=$2 message=$3 output status
  output=$("$check" "$work/$name.sys" 2>&1)
  status=$?
  [ "$status" -eq "$code" ] && grep -qF -- "$message" <<<"$output"
  verdict "$name" $? "want exit $code and '$message', got exit $status:
$output"
}

expect good 0 "imports ntoskrnl.exe checksum"
expect gui 1 "subsystem 00000002, want 00000001 (native)"
expect other_entry 1 "is not DriverEntry"
expect user_import 1 "imports from kernel32.dll"
expect exports 1 "symbol(s); a driver exports nothing"
expect ctor 1 "has static constructors that nothing would run"
expect no_relocs 1 "relocations stripped"
expect bad_checksum 1 "image checksum"
expect text 1 "not a PE image"
expect cr8_read 1 "user space cannot execute: mov %cr8,%rax"
expect cli 1 "user space cannot execute: cli"
expect gs_read 1 "user space cannot execute: mov %gs:0x188"
expect tick_count 1 "fixed kernel addresses: movabs 0xfffff78000000320,%rax"
expect absolute 1 "fixed kernel addresses: mov 0x1000"
expect system_time 0 "checksum"

finish check-sys
