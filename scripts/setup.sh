#!/usr/bin/env bash
# Installs what building and testing need on Debian, when it is missing.
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-dev libgtest-dev iproute2 tshark
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 python3)
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
