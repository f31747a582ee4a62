#!/usr/bin/env bash
# Builds kova32ex and shows requests from the console's side.  The wake of
# 00A0C9123456 goes to a listener on loopback (never onto a network).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh demo >/dev/null
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
export KOVA_MUTEX_DIR=$work/mutex KOVA_STATE_DIR=$work/state # locks and records of the demo alone
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

echo
echo "== wakelan /d 10 /f clients.ini: a range and a single address, frames to 127.0.0.1:$port =="
printf '[office]\n; room 12, then the print server\n02AB0CFFFFFE-02AB0D000000\n00-A0-C9-12-34-56\n' >"$work/clients.ini"
cat "$work/clients.ini"
"$tools/udplisten/udplisten" --port $port --count 8 --timeout 5000 >"$work/frames" 2>/dev/null &
listener=$!
sleep 0.3
(cd "$work" && KOVA_UDP_TARGET=127.0.0.1:$port "$OLDPWD/build/default/wakelan/wakelan" /d 10 /f clients.ini)
wait $listener
echo "The listener received (each frame: six bytes FF, then sixteen copies of this MAC):"
awk '/^datagram/ {n = $2; getline; print "  datagram " n ": " $7 $8 $9 $10 $11 $12}' "$work/frames"

echo
echo "== kovacon \"WAKE IPXNET=0000ABCD 00A0C9123456\" on an IPX segment carried over loopback =="
export KOVA_IPX=0000ABCD@127.255.255.255:40213
"$tools/ipxd/ipxd" --magic >"$work/ipxd" 2>&1 &
responder=$!
sleep 0.3
"$tools/kovacon/kovacon" "WAKE IPXNET=0000ABCD 00A0C9123456" | od -An -c
sleep 0.3
kill $responder 2>/dev/null || true
wait $responder 2>/dev/null || true
echo "The IPX responder received:"
cat "$work/ipxd"
