#!/usr/bin/env bash
# The main job: builds the library and vifnet-bridge, makes a small network of its own out of
# network namespaces, and puts a guest on a LAN through the library and the real packet driver:
#
#   LAN host 10.99.0.2 ==veth== 10.99.0.1 host adapter [vifnet-bridge] --TUN device-- guest 10.99.0.77
#
# Then it shows ping and an HTTP fetch from the LAN to the guest, the host itself and the guest
# reaching each other the same way, and the interface's statistics.
# Everything it creates is removed at the end, also when it is interrupted.
#   scripts/demo.sh            the Linux build, with vifnet-bridge
#   scripts/demo.sh --windows  the Windows build under Wine, with examples/tun_echo as the guest
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

# Headings stand out on a terminal; in a log they are plain text.
if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold= plain=; fi
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }

# Global, not local: the clean-up runs on exit, after the function has returned.
linux_demo() {
  bin=build/linux/bin tag=vfd$$
  host=$tag-host lan=$tag-lan guest=$tag-guest
  adapter=${tag}a wire=${tag}b device=vfguest0
  bridge_pid= server_pid= host_server_pid=
  work=$(mktemp -d)
  cleanup() {
    # Each program is ended by its own id; the bridge removes its device as it goes.
    for pid in "$server_pid" "$host_server_pid"; do
      if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
    done
    if [ -n "$bridge_pid" ]; then kill "$bridge_pid" 2>/dev/null || true; wait "$bridge_pid" 2>/dev/null || true; fi
    for ns in "$guest" "$host" "$lan"; do ip netns del "$ns" 2>/dev/null || true; done
    rm -rf "$work"
  }
  trap cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM

  step "Building the library and vifnet-bridge (preset linux)"
  cmake --preset linux >/dev/null
  cmake --build --preset linux --target vifnet-bridge >/dev/null
  echo "built $bin/vifnet-bridge"

  step "Three network namespaces: a LAN host, the host with its adapter, the guest"
  for ns in "$lan" "$host" "$guest"; do
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    # IPv4 only, so that the statistics count the demo's traffic alone.
    ip netns exec "$ns" sh -c 'for c in all default; do echo 1 >/proc/sys/net/ipv6/conf/$c/disable_ipv6; done'
  done
  ip link add "$adapter" netns "$host" type veth peer name "$wire" netns "$lan"
  ip -n "$host" addr add 10.99.0.1/24 dev "$adapter"
  ip -n "$lan" addr add 10.99.0.2/24 dev "$wire"
  ip -n "$host" link set "$adapter" up
  ip -n "$lan" link set "$wire" up
  # A real wire carries finished checksums; a veth leaves them to the receiver unless told.
  ip netns exec "$lan" ethtool -K "$wire" tx off >/dev/null
  echo "LAN host   $lan: $wire 10.99.0.2/24"
  echo "host       $host: $adapter 10.99.0.1/24, the adapter the library opens"
  echo "guest      $guest: nothing yet"

  step "vifnet-bridge joins a TUN device in the guest to the host adapter"
  echo "\$ vifnet-bridge --adapter 10.99.0.1 --ip 10.99.0.77/24 --netns $guest --dev $device"
  ip netns exec "$host" "$bin/vifnet-bridge" --adapter 10.99.0.1 --ip 10.99.0.77/24 --netns "$guest" --dev "$device" \
    >"$work/bridge.out" 2>"$work/bridge.err" &
  bridge_pid=$!
  # It says "ready" once both ends exist and are joined.
  for _ in $(seq 1 100); do
    grep -q 'ready$' "$work/bridge.out" && break
    kill -0 "$bridge_pid" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -q 'ready$' "$work/bridge.out"; then
    echo "vifnet-bridge did not start:" >&2
    cat "$work/bridge.err" >&2
    exit 1
  fi
  head -n 1 "$work/bridge.out"
  ip -n "$guest" addr add 10.99.0.77/24 dev "$device"
  echo "guest      $guest: $device 10.99.0.77/24"

  step "ping from the LAN host to the guest (the library answers ARP for it)"
  ip netns exec "$lan" ping -n -c 5 -i 0.3 10.99.0.77

  step "HTTP: curl on the LAN host fetches pages from a server in the guest"
  mkdir "$work/site"
  echo "Hello from the guest at 10.99.0.77, reached through the library." >"$work/site/index.html"
  head -c 20M /dev/urandom >"$work/site/20MB.bin"
  ip netns exec "$guest" python3 -m http.server 8080 --bind 10.99.0.77 --directory "$work/site" >/dev/null 2>&1 &
  server_pid=$!
  for _ in $(seq 1 50); do
    ip netns exec "$lan" curl -s -o /dev/null http://10.99.0.77:8080/ && break
    sleep 0.2
  done
  echo "\$ curl http://10.99.0.77:8080/"
  ip netns exec "$lan" curl -sS http://10.99.0.77:8080/
  echo "\$ curl http://10.99.0.77:8080/20MB.bin"
  ip netns exec "$lan" curl -sS -o "$work/fetched.bin" -w '%{size_download} %{time_total}\n' http://10.99.0.77:8080/20MB.bin |
    awk '{ printf "%.1f MB in %.2f s: %.0f Mbit/s\n", $1 / 1e6, $2, $1 * 8 / $2 / 1e6 }'
  if cmp -s "$work/site/20MB.bin" "$work/fetched.bin"; then echo "the file arrived intact"; else echo "the file differs!"; exit 1; fi

  step "The host itself and its guest: ping and HTTP both ways (the library hands the guest's"
  echo "   packets for the host to the host's stack, and tells the host the guest's MAC)"
  ip netns exec "$host" ip neigh show proto 86
  ip netns exec "$host" ping -n -c 3 -i 0.3 10.99.0.77 | tail -n 2
  ip netns exec "$guest" ping -n -c 3 -i 0.3 10.99.0.1 | tail -n 2
  echo "Hello from the host at 10.99.0.1, fetched by its own guest." >"$work/site/host.html"
  ip netns exec "$host" python3 -m http.server 8081 --bind 10.99.0.1 --directory "$work/site" >/dev/null 2>&1 &
  host_server_pid=$!
  for _ in $(seq 1 50); do
    ip netns exec "$guest" curl -s -o /dev/null http://10.99.0.1:8081/host.html && break
    sleep 0.2
  done
  echo "\$ curl http://10.99.0.1:8081/host.html   (in the guest)"
  ip netns exec "$guest" curl -sS http://10.99.0.1:8081/host.html
  echo "\$ curl http://10.99.0.77:8080/20MB.bin   (on the host)"
  ip netns exec "$host" curl -sS -o "$work/fetched.bin" -w '%{size_download} %{time_total}\n' http://10.99.0.77:8080/20MB.bin |
    awk '{ printf "%.1f MB in %.2f s: %.0f Mbit/s\n", $1 / 1e6, $2, $1 * 8 / $2 / 1e6 }'
  if cmp -s "$work/site/20MB.bin" "$work/fetched.bin"; then echo "the file arrived intact"; else echo "the file differs!"; exit 1; fi

  step "Statistics (vifnet-bridge prints them when it stops)"
  kill -INT "$bridge_pid"
  wait "$bridge_pid"
  bridge_pid=
  sed -n '2,$p' "$work/bridge.out"
  if ! ip -n "$guest" link show "$device" >/dev/null 2>&1; then echo "the guest's device went with the bridge"; fi

  step "Removing the namespaces"
}

if [ "${1:-}" != "--windows" ]; then
  linux_demo
  exit 0
fi

# The Windows build under Wine: two network namespaces joined by a veth pair, the host end opened
# through the real packet driver, a guest given an address on that LAN by examples/tun_echo and
# pinged from the other end.
preset=windows
bin=build/windows/bin
exe=.exe
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
