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
#   scripts/demo.sh --vm       a QEMU virtual machine on the LAN through vifnet-bridge --qemu
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

# Headings stand out on a terminal; in a log they are plain text.
if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold= plain=; fi
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }

# Makes the work folder ($work) and arranges for the end of the demo, however it ends: the
# programs whose ids the variables named in $1 hold are ended, in that order and each by its own
# id (read at exit: a variable emptied meanwhile is a program already ended), then the
# namespaces in $2 and the work folder go. All globals: the clean-up runs after the function
# that arranged it has returned.
clean_up_on_exit() {
  ends=$1 namespaces=$2
  work=$(mktemp -d)
  trap end_demo EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}
end_demo() {
  for name in $ends; do
    pid=${!name}
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  done
  for ns in $namespaces; do ip netns del "$ns" 2>/dev/null || true; done
  rm -rf "$work"
}

# Waits until the bridge started in the background ($bridge_pid) says "ready" (once both ends
# exist and are joined), then shows that line; stops the demo if it never does.
wait_for_bridge() {
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
}

# Makes the namespaces named (IPv4 only, so that the statistics count the demo's traffic alone)
# and joins the first two, the LAN host (10.99.0.2) and the host (adapter 10.99.0.1), by a veth
# pair. The LAN end sends finished checksums, as a real wire carries them (a veth leaves them to
# the receiver unless told).
make_link() {
  for ns in "$@"; do
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    ip netns exec "$ns" sh -c 'for c in all default; do echo 1 >/proc/sys/net/ipv6/conf/$c/disable_ipv6; done'
  done
  ip link add "$adapter" netns "$host" type veth peer name "$wire" netns "$lan"
  ip -n "$host" addr add 10.99.0.1/24 dev "$adapter"
  ip -n "$lan" addr add 10.99.0.2/24 dev "$wire"
  ip -n "$host" link set "$adapter" up
  ip -n "$lan" link set "$wire" up
  ip netns exec "$lan" ethtool -K "$wire" tx off >/dev/null
}

linux_demo() {
  bin=build/linux/bin tag=vfd$$
  host=$tag-host lan=$tag-lan guest=$tag-guest
  adapter=${tag}a wire=${tag}b device=vfguest0
  bridge_pid= server_pid= host_server_pid=
  # The bridge last: it removes its device as it goes.
  clean_up_on_exit "server_pid host_server_pid bridge_pid" "$guest $host $lan"

  step "Building the library and vifnet-bridge (preset linux)"
  cmake --preset linux >/dev/null
  cmake --build --preset linux --target vifnet-bridge >/dev/null
  echo "built $bin/vifnet-bridge"

  step "Three network namespaces: a LAN host, the host with its adapter, the guest"
  make_link "$lan" "$host" "$guest"
  echo "LAN host   $lan: $wire 10.99.0.2/24"
  echo "host       $host: $adapter 10.99.0.1/24, the adapter the library opens"
  echo "guest      $guest: nothing yet"

  step "vifnet-bridge joins a TUN device in the guest to the host adapter"
  echo "\$ vifnet-bridge --adapter 10.99.0.1 --ip 10.99.0.77/24 --netns $guest --dev $device"
  ip netns exec "$host" "$bin/vifnet-bridge" --adapter 10.99.0.1 --ip 10.99.0.77/24 --netns "$guest" --dev "$device" \
    >"$work/bridge.out" 2>"$work/bridge.err" &
  bridge_pid=$!
  wait_for_bridge
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

# A small VM (scripts/vm-image.sh) behind vifnet-bridge --qemu: it takes its address from the
# LAN's DHCP server, pings and is pinged, and serves a page the LAN fetches.
#
#   LAN host 10.99.0.2 (DHCP) ==veth== 10.99.0.1 host adapter [vifnet-bridge] --socket-- QEMU VM
vm_demo() {
  bin=build/linux/bin tag=vfv$$
  host=$tag-host lan=$tag-lan adapter=${tag}a wire=${tag}b
  bridge_pid= dnsmasq_pid= qemu_pid= console_pid=
  clean_up_on_exit "console_pid qemu_pid bridge_pid dnsmasq_pid" "$host $lan"

  step "Building the library and vifnet-bridge (preset linux), and a small VM"
  cmake --preset linux >/dev/null
  cmake --build --preset linux --target vifnet-bridge >/dev/null
  echo "built $bin/vifnet-bridge"
  # Debian's kernel from its package, not installed, and a busybox initramfs: made once, kept.
  bash scripts/vm-image.sh build/vm

  step "Two network namespaces: a LAN host with a DHCP server, the host with its adapter"
  make_link "$lan" "$host"
  ip netns exec "$lan" dnsmasq --no-daemon --conf-file=/dev/null --no-ping --port=0 --bind-interfaces --interface="$wire" \
    --dhcp-range=10.99.0.100,10.99.0.150,255.255.255.0,1h --dhcp-option=option:router,10.99.0.2 \
    --dhcp-leasefile="$work/leases" --user=root --group=root >"$work/dnsmasq.log" 2>&1 &
  dnsmasq_pid=$!
  echo "LAN host   $lan: $wire 10.99.0.2/24, DHCP server for 10.99.0.100-150"
  echo "host       $host: $adapter 10.99.0.1/24, the adapter the library opens"

  step "vifnet-bridge --qemu: QEMU's network backend, on the host adapter"
  echo "\$ vifnet-bridge --adapter 10.99.0.1 --qemu unix:$work/vm.sock"
  ip netns exec "$host" "$bin/vifnet-bridge" --adapter 10.99.0.1 --qemu "unix:$work/vm.sock" \
    >"$work/bridge.out" 2>"$work/bridge.err" &
  bridge_pid=$!
  wait_for_bridge
  read -r -a options < <(sed -n 's/.*options: \(.*\); ready$/\1/p' "$work/bridge.out")

  step "QEMU boots the VM with those options (its serial console below, lines marked vm|)"
  # Commands go to the console through a FIFO held open here; QEMU runs inside the host
  # namespace too, and has no network but the bridge's socket.
  mkfifo "$work/console.in"
  exec 8<>"$work/console.in"
  boot() {
    console=$work/console-$1
    : >"$console"
    ip netns exec "$host" qemu-system-x86_64 -accel "$1" -cpu "$2" -m 256 -smp 1 -nodefaults -no-user-config \
      -display none -serial stdio -no-reboot -kernel build/vm/vmlinux -initrd build/vm/initrd.img \
      -append "$(cat build/vm/cmdline)" "${options[@]}" <"$work/console.in" >>"$console" 2>&1 &
    qemu_pid=$!
    echo "\$ qemu-system-x86_64 -accel $1 -cpu $2 -m 256 ... -kernel build/vm/vmlinux -initrd build/vm/initrd.img ${options[*]}"
    # The follower ends with QEMU.
    tail -n +1 -f --pid="$qemu_pid" "$console" | sed -u 's/\r$//; s/^/  vm| /' &
    console_pid=$!
  }
  # Waits up to $1 seconds for a console line matching $2.
  console_wait() {
    for _ in $(seq 1 $(($1 * 10))); do
      grep -q "$2" "$console" && return 0
      kill -0 "$qemu_pid" 2>/dev/null || return 1
      sleep 0.1
    done
    return 1
  }
  started=$(date +%s.%N)
  booted=
  # A KVM that cannot boot this kernel is remembered beside the image (so do the tests).
  if [ -r /dev/kvm ] && [ -w /dev/kvm ] && ! [ -e build/vm/kvm-fails ]; then
    boot kvm host
    if console_wait 10 VM-BOOT; then booted=kvm; else
      kill "$console_pid" "$qemu_pid" 2>/dev/null || true
      wait "$console_pid" "$qemu_pid" 2>/dev/null || true
      touch build/vm/kvm-fails
      echo "(KVM did not boot this kernel within 10 s: software emulation instead)"
      started=$(date +%s.%N)
    fi
  fi
  if [ -z "$booted" ]; then
    boot tcg max
    console_wait 120 VM-BOOT || { echo "QEMU could not boot the VM" >&2; exit 1; }
  fi
  console_wait 60 VM-READY || { echo "the VM did not come up" >&2; exit 1; }
  ip=$(sed -n 's/^VM-LEASE \([0-9.]*\) .*/\1/p' "$console" | head -n 1)
  [ -n "$ip" ] || { echo "the VM got no address from the LAN's DHCP server" >&2; exit 1; }
  sleep 0.2
  echo "the VM has $ip from the LAN's DHCP server, $(echo "$(date +%s.%N) - $started" | bc | xargs printf '%.1f') s after QEMU started"
  grep DHCPACK "$work/dnsmasq.log" | tail -n 1

  step "ping from the LAN host to the VM, and from the VM to the LAN host"
  ip netns exec "$lan" ping -n -c 5 -i 0.3 "$ip"
  echo "ping 10.99.0.2" >&8
  console_wait 20 VM-PING || true
  sleep 0.2

  step "HTTP: curl on the LAN host fetches the VM's page (busybox httpd in the VM)"
  echo "\$ curl http://$ip/"
  ip netns exec "$lan" curl -sS --max-time 20 "http://$ip/"

  step "Statistics (vifnet-bridge prints them when it stops)"
  kill "$console_pid" "$qemu_pid" 2>/dev/null || true
  wait "$console_pid" "$qemu_pid" 2>/dev/null || true
  console_pid= qemu_pid=
  kill -INT "$bridge_pid"
  wait "$bridge_pid" || true
  bridge_pid=
  sed -n '2,$p' "$work/bridge.out"

  step "Removing the namespaces"
}

case "${1:-}" in
  --vm) vm_demo; exit 0 ;;
  --windows) ;;
  *) linux_demo; exit 0 ;;
esac

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
