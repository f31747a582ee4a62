#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for the given seconds on a
# scratch copy of its corpus.  Any finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for fuzzer in build/fuzz/fuzz/fuzz_*; do
  name=$(basename "$fuzzer" | sed 's/^fuzz_//')
  mkdir -p "$work/$name"
  if [ -d "fuzz/corpus/$name" ]; then cp -r "fuzz/corpus/$name/." "$work/$name/"; fi
  echo "-- $name: $seconds s"
  "$fuzzer" -max_total_time="$seconds" -max_len=2048 -close_fd_mask=1 \
    -artifact_prefix="$work/" "$work/$name" 2>&1 | grep -E '^(#[0-9]+ +DONE|Done|==|SUMMARY|ERROR)' || true
  if ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* >/dev/null 2>&1; then
    echo "fuzzer $name found a problem:"; ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* 2>/dev/null
    exit 1
  fi
done
