#!/usr/bin/env bash
# The main job: builds the library, makes a small LAN of its own (two network namespaces joined
# by a veth pair), opens the host end through the real packet driver, gives a guest an address
# on that LAN and pings it from the other end. Everything it creates is removed at the end.
#   scripts/demo.sh            the Linux build
#   scripts/demo.sh --windows  the Windows build, under Wine
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
preset=linux
bin=build/linux/bin
exe=
if [ "${1:-}" = "--windows" ]; then
  preset=windows
  bin=build/windows/bin
  exe=.exe
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target vifnet_info tun_echo >/dev/null

tag=vfdemo$$
host=$tag-host lan=$tag-lan prefix=
cleanup() {
  [ -n "$prefix" ] && WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  [ -n "$prefix" ] && rm -rf "$prefix"
  ip netns del "$host" 2>/dev/null || true
  ip netns del "$lan" 2>/dev/null || true
}
trap cleanup EXIT
ip netns add "$host"
ip netns add "$lan"
ip link add vfdemo0 netns "$host" type veth peer name vfdemo1 netns "$lan"
ip -n "$host" addr add 10.99.0.1/24 dev vfdemo0
ip -n "$lan" addr add 10.99.0.2/24 dev vfdemo1
for ns in "$host" "$lan"; do ip -n "$ns" link set lo up; done
ip -n "$host" link set vfdemo0 up
ip -n "$lan" link set vfdemo1 up
# The host learns its neighbour's MAC the usual way; the guest's replies are sent to the MAC the
# host's neighbour table gives.
ip netns exec "$host" ping -c 1 -W 2 10.99.0.2 >/dev/null

run=(ip netns exec "$host")
if [ -n "$exe" ]; then
  # A Wine server of its own, started inside the namespace, so that Wine's view of the network
  # is the namespace's.
  prefix=$(mktemp -d)
  [ -d build/windows/wineprefix ] && cp -a build/windows/wineprefix/. "$prefix/"
  run+=(env WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wine)
fi

echo "== host namespace: vfdemo0 10.99.0.1/24 <-> LAN namespace: vfdemo1 10.99.0.2/24"
"${run[@]}" "$bin/vifnet_info$exe" 10.99.0.77 2>&1
echo
echo "== guest 10.99.0.77 behind the library on the host's adapter; LAN pings it"
"${run[@]}" "$bin/tun_echo$exe" 10.99.0.1 10.99.0.77 12 &
guest=$!
for _ in $(seq 1 60); do
  ip netns exec "$lan" arping -c 1 -w 1 -I vfdemo1 10.99.0.77 >/dev/null 2>&1 && break
done
ip netns exec "$lan" ping -c 5 -i 0.5 10.99.0.77
wait "$guest"
