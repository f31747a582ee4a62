#!/usr/bin/env bash
# Installs what building and testing need on Debian, when it is missing.
# Run it again at any time: it changes nothing that is already in place.
set -euo pipefail

# "demo" needs only the Linux build; the tests need everything, including
# 32-bit Wine (wine32:i386, which needs the i386 architecture) for the
# product build and Xvfb for the hidden-window test.
packages=(cmake ninja-build g++ libgtest-dev)
if [ "${1:-all}" != demo ]; then
  packages+=(clang libclang-rt-dev iproute2 util-linux tshark g++-mingw-w64-i686 g++-mingw-w64-x86-64
    wine64 wine32:i386 xvfb)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
case " ${missing[*]} " in
  *:i386\ *)
    if [ "$(dpkg --print-architecture)" != i386 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
      $sudo dpkg --add-architecture i386
    fi
    ;;
esac
$sudo apt-get update
$sudo apt-get install -y "${missing[@]}"
