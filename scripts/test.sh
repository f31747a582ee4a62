#!/usr/bin/env bash
# Builds and runs every test: the 32-bit Windows product build, its tests
# under 32-bit Wine and its zip; the 64-bit Windows build with its tests
# under Wine; the Linux build plain (including the Windows programs of both
# builds driven under Wine, and the hidden window under Xvfb), with
# AddressSanitizer and UndefinedBehaviorSanitizer, with ThreadSanitizer; the
# fuzzers for a fixed time.
#
# Everything after the set-up runs in a network namespace of its own that
# has only loopback, so no test can send a packet off this machine: a test
# that forgets KOVA_UDP_TARGET fails instead of broadcasting on the LAN.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != --isolated ]; then
  bash scripts/setup.sh
  if ! unshare -n true 2>/dev/null; then
    echo "scripts/test.sh: cannot make a private network namespace (unshare -n needs root or" \
      "CAP_SYS_ADMIN); the tests do not run where their packets could leave this machine." >&2
    exit 1
  fi
  exec unshare -n bash "$0" --isolated
fi

ip link set lo up
if [ -n "$(ip -o link show | grep -v ': lo:' || true)" ]; then
  echo "scripts/test.sh: the test namespace has interfaces besides loopback; stopping." >&2
  exit 1
fi
# Tests of real broadcast make their own namespace pairs from in here.
probe="kova-probe-$$"
if ! ip netns add "$probe" 2>/dev/null || ! ip netns del "$probe" 2>/dev/null; then
  echo "scripts/test.sh: cannot make network namespaces (ip netns add) inside the test namespace." >&2
  exit 1
fi

export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-2}

# One Wine prefix for the whole run, without a display (the hidden-window
# test brings its own Xvfb and prefix). Its server starts in this namespace
# and stays for the run.
wine_home=$(mktemp -d)
trap 'WINEPREFIX="$wine_home/prefix" wineserver -k >/dev/null 2>&1 || true; rm -rf "$wine_home"' EXIT
unset DISPLAY
export WINEPREFIX="$wine_home/prefix" WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
wineserver -p >/dev/null 2>&1
wineboot -i >/dev/null 2>&1

times=()
part() {
  local name=$1 start=$SECONDS
  shift
  echo "== $name =="
  "$@"
  times+=("$(printf '%-30s %4d s' "$name" $((SECONDS - start)))")
}

part "windows (i686, the product)" cmake --workflow --preset windows
part "windows zip" bash -c 'cd build/windows && cpack >/dev/null && ls -l ./*.zip'
part "windows-x64" cmake --workflow --preset windows-x64
for preset in default asan tsan; do
  part "$preset" cmake --workflow --preset "$preset"
done
part "fuzz" bash scripts/fuzz.sh "${KOVA_FUZZ_SECONDS:-30}"

echo "== times =="
printf '%s\n' "${times[@]}"
printf '%-30s %4d s\n' "total" "$SECONDS"
echo "All tests passed."
