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
#
#   bash scripts/test.sh [PART...]   parts: windows windows-x64 default asan
#                                    tsan fuzz, and wine (the Wine-driven tests
#                                    of the default build); none: all but wine,
#                                    which default already runs
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != --isolated ]; then
  bash scripts/setup.sh
  if ! unshare -n true 2>/dev/null; then
    echo "scripts/test.sh: cannot make a private network namespace (unshare -n needs root or" \
      "CAP_SYS_ADMIN); the tests do not run where their packets could leave this machine." >&2
    exit 1
  fi
  exec unshare -n bash "$0" --isolated "$@"
fi
shift
parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(windows windows-x64 default asan tsan fuzz)

if [ -n "$(ip -o link show | grep -v ': lo:' || true)" ]; then
  echo "scripts/test.sh: the test namespace has interfaces besides loopback; stopping." >&2
  exit 1
fi
ip link set lo up
# Tests of real broadcast make their own namespace pairs from in here.
probe="kova-probe-$$"
if ! ip netns add "$probe" 2>/dev/null || ! ip netns del "$probe" 2>/dev/null; then
  echo "scripts/test.sh: cannot make network namespaces (ip netns add) inside the test namespace." >&2
  exit 1
fi

export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-2}

times=()

# One Wine prefix for the whole run, without a display (the hidden-window
# test brings its own Xvfb and prefix), and one copy of it for each Windows
# version the versions test runs under (KOVA_WINEPREFIX_WIN98, ...), with
# that Version set. Booting is the slow part, so the prefix is booted once
# and its server let go, which writes the registry; the copies take the
# registry files for real and the rest (Wine's DLL copies, over a gigabyte,
# which no run writes) as hard links. Every prefix's server starts in this
# namespace and stays for the run.
wine_start=$SECONDS
wine_home=$(mktemp -d)
wine_prefixes=("$wine_home/prefix")
trap 'for p in "${wine_prefixes[@]}"; do WINEPREFIX="$p" wineserver -k >/dev/null 2>&1 || true; done
  rm -rf "$wine_home"' EXIT
unset DISPLAY
export WINEPREFIX="$wine_home/prefix" WINEDEBUG=-all KOVA_WINE_TIMES="$wine_home/times"
# 32-bit Windows programs run under Wine's 32-bit loader, itself a 32-bit
# x86 Linux program; some kernels start none (no IA-32 emulation). There
# "wine" would fail for every program, so it means Wine's 64-bit loader
# here, and the cases of the 32-bit build skip, saying why (KOVA_NO_WINE32).
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  if [ -e /usr/lib/wine/wine ]; then
    KOVA_NO_WINE32="32-bit Wine cannot start: this machine's kernel runs no 32-bit x86 programs"
  else
    KOVA_NO_WINE32="32-bit Wine (wine32:i386) is not installed"
  fi
  export KOVA_NO_WINE32
  mkdir "$wine_home/bin"
  for name in wine wine-stable; do
    printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexec /usr/lib/wine/wine64 "$@"\n' \
      >"$wine_home/bin/$name"
    chmod +x "$wine_home/bin/$name"
  done
  export PATH="$wine_home/bin:$PATH"
  echo "scripts/test.sh: $KOVA_NO_WINE32; the 32-bit build is built and its headers read, its" \
    "programs and tests are not run, and the 64-bit build stands in for it under Wine." >&2
fi
mkdir -p "$WINEPREFIX"
wineboot -i >/dev/null 2>&1
wineserver -w
# Each prefix's server, persistent, and a Windows process that waits for the
# whole run (a command prompt reading a pipe nobody writes to). Without one,
# Wine ends its desktop process after the last program, and without a
# display it then fails to start it again: every later GUI program waits
# some 20 s for it, holding the test's pipes. The prompt first writes a file,
# and we wait for it: by then the prefix's own processes (services, desktop)
# run, started with no pipe of a test's to hold.
mkfifo "$wine_home/hold"
start_prefix() {
  WINEPREFIX=$1 wineserver -p >/dev/null 2>&1
  (cd "${1%/*}" && exec 3<>"$wine_home/hold" &&
    WINEPREFIX=$1 exec wine cmd /k type nul ">" "${1##*/}.ready" <&3 >/dev/null 2>&1) &
}
for version in win98 nt40 winxp; do
  prefix=$wine_home/prefix-$version
  cp -al "$WINEPREFIX" "$prefix"
  for reg in "$WINEPREFIX"/*.reg; do cp --remove-destination "$reg" "$prefix/"; done
  start_prefix "$prefix"
  WINEPREFIX=$prefix wine reg add 'HKCU\Software\Wine' /v Version /d "$version" /f >/dev/null 2>&1
  wine_prefixes+=("$prefix")
  export "KOVA_WINEPREFIX_${version^^}=$prefix"
done
start_prefix "$WINEPREFIX"
waited=0
for prefix in "${wine_prefixes[@]}"; do
  while [ ! -e "$prefix.ready" ] && [ $((waited++)) -lt 600 ]; do sleep 0.1; done
done
times+=("$(printf '%-28s %5d s wall' "wine prefixes (${#wine_prefixes[@]})" $((SECONDS - wine_start)))")

part() {
  local name=$1 start=$SECONDS cpu0 cpu1
  shift
  echo "== $name =="
  cpu0=$(children_cpu)
  "$@"
  cpu1=$(children_cpu)
  times+=("$(printf '%-28s %5d s wall %6d s CPU' "$name" $((SECONDS - start)) $(((cpu1 - cpu0) / ticks)))")
}
# CPU seconds (user + system) of the finished children of this shell, so
# that each part's cost shows also on a machine that others load.
ticks=$(getconf CLK_TCK)
children_cpu() {
  local f
  read -r -a f </proc/$$/stat
  echo $((f[15] + f[16]))
}

for p in "${parts[@]}"; do
  case $p in
    windows)
      if [ -n "${KOVA_NO_WINE32:-}" ]; then
        part "windows (i686, built only)" bash -c 'cmake --preset windows && cmake --build --preset windows'
      else
        part "windows (i686, the product)" cmake --workflow --preset windows
      fi
      part "windows zip" ls -l build/windows/dist/
      ;;
    windows-x64 | default | asan | tsan) part "$p" cmake --workflow --preset "$p" ;;
    fuzz) part fuzz bash scripts/fuzz.sh "${KOVA_FUZZ_SECONDS:-30}" ;;
    wine)
      part wine bash -c 'cmake --preset default >/dev/null && cmake --build --preset default &&
        ctest --preset default -L wine'
      ;;
    *)
      echo "scripts/test.sh: unknown part $p" >&2
      exit 2
      ;;
  esac
done

echo "== times =="
printf '%s\n' "${times[@]}"
# Each Windows version's run of the versions test, as it printed it.
if [ -s "$KOVA_WINE_TIMES" ]; then cat "$KOVA_WINE_TIMES"; fi
printf '%-28s %5d s wall\n' "total (after the set-up)" "$SECONDS"
echo "All tests passed."
