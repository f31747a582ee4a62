#!/usr/bin/env bash
# Reads the version resources, manifests and subsystems of the Windows
# builds' programs with the Windows API, under Wine: the 32-bit product
# (build/windows) under 32-bit Wine, and the 64-bit build where it exists.
#   resources.sh BUILD_ROOT VERSION      (exit 77: nothing to check here)
set -uo pipefail
root=$1 version=$2

command -v wine >/dev/null 2>&1 || { echo "wine is not installed"; exit 77; }
[ -n "${WINEPREFIX:-}" ] || { echo "WINEPREFIX is not set (scripts/test.sh makes one per run)"; exit 77; }
export WINEDEBUG=-all

checked=0 failed=0
for build in "$root/windows" "$root/windows-x64"; do
  checker=$build/tests/resource_check.exe
  if [ ! -f "$checker" ] || [ ! -f "$build/host/kova32ex.exe" ] || [ ! -f "$build/wakelan/wakelan.exe" ]; then
    echo "skipped: no programs and checker in $build"
    continue
  fi
  if [ "$build" = "$root/windows" ] && [ -n "${KOVA_NO_WINE32:-}" ]; then
    echo "skipped: $build ($KOVA_NO_WINE32)"
    continue
  fi
  for program in "kova32ex gui host" "wakelan console wakelan"; do
    set -- $program
    if wine "$checker" "$build/$3/$1.exe" "$1" "$2" "$version"; then
      checked=$((checked + 1))
    else
      failed=$((failed + 1))
    fi
  done
done
[ "$failed" -eq 0 ] || exit 1
[ "$checked" -gt 0 ] || exit 77
