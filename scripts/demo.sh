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

echo
echo "== The SkyWarden agent, played by the substitute tools in $tools/skwtools =="
export PATH="$PWD/$tools/skwtools:$PATH"
export SKW_INVENTORY=$work/inventory SKW_CREDSTORE=$work/store SKW_LOG=$work/log SKW_SNAPSHOT=$work/during
cat > "$work/inventory" <<'INV'
group GRPTAG=0x1 GRPNAME= "All systems"
list SYSTAG=0x1A SYSNAME= "pc one"
list ADDR= "pc1"
list MAC=00A0C9123456
INV
printf 'pc1\tolduser\toldpw\n' > "$work/store"
echo "kovacon NUMPACKAGES:"
"$tools/kovacon/kovacon" NUMPACKAGES | od -An -c
echo "Credential store before:"; cat "$work/store"
echo "kovacon \"REBOOTSYS 00A0C9123456 admin secret 1\":"
"$tools/kovacon/kovacon" "REBOOTSYS 00A0C9123456 admin secret 1" | od -An -c
echo "Credential store while the agent rebooted the PC:"; cat "$work/during"
echo "Credential store after:"; cat "$work/store"
echo "The agent's tools were run in this order:"; cat "$work/log"
