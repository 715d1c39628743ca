#!/usr/bin/env bash
# Formats every C++ file of the tree with .clang-format; with --check, changes
# nothing and fails, listing the files, when any file is not formatted.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c')
if [ "${1:-}" = "--check" ]; then
  unformatted=()
  for file in "${files[@]}"; do
    clang-format --dry-run -Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
  done
  if [ "${#unformatted[@]}" -gt 0 ]; then
    echo "format: not formatted (run make format): ${unformatted[*]}" >&2
    exit 1
  fi
  echo "format: ${#files[@]} files formatted"
else
  clang-format -i "${files[@]}"
fi
