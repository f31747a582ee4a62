#!/usr/bin/env bash
# Installs what building and testing need on Debian, when it is missing.
set -euo pipefail

# "demo" needs only the Linux build; the tests need everything.
packages=(cmake ninja-build g++ libgtest-dev)
if [ "${1:-all}" != demo ]; then
  packages+=(clang libclang-rt-dev iproute2 tshark g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update
  $sudo apt-get install -y "${missing[@]}"
fi
