#!/usr/bin/env bash
# Prints the checksum of a PE image as the Windows loader computes it (the
# 16-bit word sum with the checksum field taken as zero, carries folded, plus
# the file length), as 8 hex digits. The linker stamps it; this recomputes it
# independently so that a wrong stamp is caught before the loader refuses it.
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 IMAGE" >&2; exit 2; }
image=$1
[ -f "$image" ] || { echo "$0: no such file: $image" >&2; exit 1; }

[ "$(head -c 2 "$image")" = "MZ" ] || { echo "$0: $image: not a PE image (no MZ header)" >&2; exit 1; }
pe=$(od -An -v -t u4 -j 60 -N 4 "$image" | tr -d ' ')
[ "$(od -An -c -j "$pe" -N 4 "$image" | tr -d ' ')" = 'PE\0\0' ] ||
  { echo "$0: $image: not a PE image (no PE signature)" >&2; exit 1; }
# The field sits 64 bytes into the optional header, for PE32 and PE32+ alike.
field=$((pe + 24 + 64))
size=$(stat -c %s "$image")

# awk's arithmetic is exact here for any image below 2^37 bytes.
sum=$(od -An -v -t u2 -w2 "$image" | awk -v skip=$((field / 2)) '
  NR - 1 == skip || NR - 1 == skip + 1 { next }
  { s += $1 }
  END {
    while (s > 65535) s = (s % 65536) + int(s / 65536)
    printf "%d\n", s
  }')
printf '%08x\n' $((sum + size))
