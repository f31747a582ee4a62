#!/usr/bin/env bash
# Builds and runs every test: the Linux build plain, with AddressSanitizer
# and UndefinedBehaviorSanitizer, with ThreadSanitizer; the fuzzers for a
# fixed time; the 32-bit Windows cross-build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-2}

for preset in default asan tsan; do
  echo "== $preset =="
  cmake --workflow --preset "$preset"
done

echo "== fuzz =="
bash scripts/fuzz.sh "${KOVA_FUZZ_SECONDS:-30}"

echo "== windows (i686) =="
cmake --workflow --preset windows
echo "All tests passed."
