#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, only those
# that are missing; quiet when everything is present.
set -euo pipefail

packages=(
  cmake make ninja-build g++ ccache                  # host build
  libgtest-dev libgmock-dev libbenchmark-dev         # tests and benchmarks
  g++-mingw-w64-x86-64 mingw-w64-x86-64-dev          # Windows kernel image
  binutils-mingw-w64-x86-64
  python3-serial picocom                             # serial-port tests of the tool
  clang-tidy clang-format                            # make tidy, make format
  clang libclang-rt-14-dev                           # make fuzz (libFuzzer and the sanitizers)
  socat                                              # t7315 bench compares with a socat pty pair
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
