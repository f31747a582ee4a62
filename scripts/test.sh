#!/usr/bin/env bash
# Builds and runs every test: the 32-bit Windows product build and its zip;
# the 64-bit Windows build with its tests under Wine; the Linux build plain
# (including the Windows programs driven under Wine), with AddressSanitizer
# and UndefinedBehaviorSanitizer, with ThreadSanitizer; the fuzzers for a
# fixed time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-2}

# One Wine prefix for the whole run.
wine_home=$(mktemp -d)
trap 'WINEPREFIX="$wine_home/prefix" wineserver -k >/dev/null 2>&1 || true; rm -rf "$wine_home"' EXIT
export WINEPREFIX="$wine_home/prefix" WINEDEBUG=-all
wineboot -i >/dev/null 2>&1

echo "== windows (i686, the product) =="
cmake --workflow --preset windows
ls -l build/windows/dist/

echo "== windows-x64 (tests under Wine) =="
cmake --workflow --preset windows-x64

for preset in default asan tsan; do
  echo "== $preset =="
  cmake --workflow --preset "$preset"
done

echo "== fuzz =="
bash scripts/fuzz.sh "${KOVA_FUZZ_SECONDS:-30}"

echo "All tests passed."
