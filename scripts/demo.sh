#!/usr/bin/env bash
# Builds kova32ex and shows requests from the console's side.  The wake of
# 00A0C9123456 goes to a listener on loopback (never onto a network).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null

tools=build/default/tools
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
port=40009

echo "== kovacon \"WAKE 00A0C9123456\" (UDP frames redirected to 127.0.0.1:$port) =="
"$tools/udplisten/udplisten" --port $port --count 2 --timeout 5000 >"$work/frames" 2>/dev/null &
listener=$!
sleep 0.3
KOVA_UDP_TARGET=127.0.0.1:$port "$tools/kovacon/kovacon" "WAKE 00A0C9123456" >"$work/result"
wait $listener
echo "KOVA.TMP holds:"
od -An -c "$work/result"
echo "The listener received:"
cat "$work/frames"
