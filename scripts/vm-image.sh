#!/usr/bin/env bash
# Builds a small virtual machine for QEMU: Debian's kernel, taken from its package without
# installing it, and an initramfs of busybox whose init brings up the virtio NIC, gets an address
# by DHCP, serves a page and files over HTTP, and obeys one-line commands on its serial console:
#
#   ping IP          -> VM-PING ok <min/avg/max rtt line> | VM-PING fail
#   fetch URL        -> VM-FETCH <md5> <seconds> | VM-FETCH failed 0   (kept in memory, served
#                       as http://VM/data.bin)
#   reboot           -> the guest reboots (with QEMU's -no-reboot, QEMU exits)
#
# Console markers: VM-BOOT (init started), VM-LEASE <ip> <router> or VM-NOLEASE, VM-READY (HTTP
# served).
# Usage: scripts/vm-image.sh [DIR]   (default build/vm). Leaves DIR/vmlinux, DIR/initrd.img and
# DIR/cmdline (the kernel's command line); does nothing when they are there and up to date. The
# kernel is left uncompressed, booted by QEMU through its PVH entry: decompressing it inside an
# emulated CPU takes longer than the rest of the boot.
set -euo pipefail
out=${1:-"$(dirname "$0")/../build/vm"}
# The kernel is kept once fetched; the initramfs is made again whenever this script changes.
stamp=$(md5sum <"$0" | cut -d' ' -f1)
if [ -s "$out/vmlinux" ] && [ -s "$out/initrd.img" ] && [ -s "$out/cmdline" ] && [ "$(cat "$out/initrd.stamp" 2>/dev/null)" = "$stamp" ]; then
  exit 0
fi
for tool in busybox cpio gzip xz apt-get dpkg-deb strings; do
  command -v "$tool" >/dev/null || { echo "vm-image: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
busybox=$(command -v busybox)
# A dynamically linked busybox would need its libraries in the image too.
if ldd "$busybox" >/dev/null 2>&1; then
  echo "vm-image: $busybox is not static (package busybox-static)" >&2
  exit 1
fi

mkdir -p "$out"
# Two builds' tests may ask at once: one makes it, the other then finds it made.
exec 9>"$out/.lock"
flock 9
if [ -s "$out/vmlinux" ] && [ -s "$out/initrd.img" ] && [ -s "$out/cmdline" ] && [ "$(cat "$out/initrd.stamp" 2>/dev/null)" = "$stamp" ]; then
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if ! [ -s "$out/vmlinux" ] || ! [ -s "$out/modules/order" ]; then
  # The kernel the distribution currently points at; package lists too old to name one, or naming
  # one the archive has since dropped, are brought up to date once (as root).
  kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n 1
  }
  fetch() {
    package=$(kernel_package)
    [ -n "$package" ] && (cd "$work" && apt-get download -qq "$package" 2>/dev/null)
  }
  if ! fetch; then
    if [ "$(id -u)" -ne 0 ]; then
      echo "vm-image: could not fetch the kernel package ${package:-linux-image-amd64} (run apt-get update as root)" >&2
      exit 1
    fi
    apt-get update -qq
    fetch || { echo "vm-image: could not fetch the kernel package ${package:-linux-image-amd64}" >&2; exit 1; }
  fi
  version=${package#linux-image-}
  deb=$(ls "$work"/"$package"_*.deb)
  # Only the kernel and the few modules the NIC needs, rather than the whole tree.
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$work" --wildcards "./boot/vmlinuz-$version" \
    "./lib/modules/$version/kernel/drivers/virtio/*" "./lib/modules/$version/kernel/drivers/net/virtio_net.ko" \
    "./lib/modules/$version/kernel/drivers/net/net_failover.ko" "./lib/modules/$version/kernel/net/core/failover.ko"
  moddir=$work/lib/modules/$version/kernel
  rm -rf "$out/modules"
  mkdir -p "$out/modules"
  # Load order: each module after the ones it depends on (their names are in its .modinfo).
  order=()
  add_module() {
    local name=$1 file dep
    for done_name in "${order[@]}"; do [ "$done_name" = "$name" ] && return; done
    file=$(find "$moddir" -name "$name.ko" | head -n 1)
    [ -n "$file" ] || { echo "vm-image: module $name is not in $package" >&2; exit 1; }
    for dep in $(strings -a "$file" | sed -n 's/^depends=//p' | tr ',' ' '); do add_module "$dep"; done
    cp "$file" "$out/modules/"
    order+=("$name")
  }
  add_module virtio_pci
  add_module virtio_net
  printf '%s\n' "${order[@]}" >"$out/modules/order"

  # The bzImage carries the kernel as an xz stream after its own decompressor.
  bzimage=$work/boot/vmlinuz-$version
  offset=$(LC_ALL=C grep -abo $'\xfd7zXZ' "$bzimage" | head -n 1 | cut -d: -f1)
  # xz complains about the bytes that follow the stream; what it wrote before is the kernel.
  tail -c +$((offset + 1)) "$bzimage" | xz -dc >"$work/vmlinux" 2>/dev/null || true
  if [ "$(head -c 4 "$work/vmlinux")" != $'\x7fELF' ]; then
    echo "vm-image: no kernel found in $bzimage" >&2
    exit 1
  fi
  mv "$work/vmlinux" "$out/vmlinux"
  echo "vm-image: $out/vmlinux from $package"
fi

root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,tmp,www,lib}
cp "$busybox" "$root/bin/busybox"
cp -r "$out/modules" "$root/lib/modules"

echo "<html><body>Hello from the VM behind vifnet-bridge.</body></html>" >"$root/www/index.html"

cat >"$root/bin/dhcp-event" <<'EOF'
#!/bin/sh
# udhcpc's hook: sets the lease it got and says so on the console.
case "$1" in
  bound|renew)
    ifconfig "$interface" "$ip" netmask "${subnet:-255.255.255.0}"
    [ -n "$router" ] && route add default gw "${router%% *}" dev "$interface"
    echo "VM-LEASE $ip ${router%% *}" >/dev/console ;;
esac
EOF

cat >"$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
# The console carries commands in and markers out: no echo of the commands, no CR on input.
stty -echo -icrnl 2>/dev/null
echo VM-BOOT
for m in $(cat /lib/modules/order); do insmod /lib/modules/$m.ko; done
ip link set lo up
ip link set eth0 up
if ! udhcpc -i eth0 -s /bin/dhcp-event -q -f -t 20 -T 1 -A 1 -n; then
  echo VM-NOLEASE
fi
httpd -p 80 -h /www
echo VM-READY
now() { read -r up rest </proc/uptime; echo "$up"; }
while read -r cmd arg; do
  case "$cmd" in
    ping)
      if ping -c 3 -i 0.2 -W 2 "$arg" >/tmp/ping 2>&1; then echo "VM-PING ok $(tail -n 1 /tmp/ping)"; else echo "VM-PING fail"; fi ;;
    fetch)
      start=$(now)
      rm -f /www/data.bin
      if wget -q -O /www/data.bin "$arg"; then
        end=$(now)
        sum=$(md5sum </www/data.bin)
        echo "VM-FETCH ${sum%% *} $(awk "BEGIN { print $end - $start }")"
      else
        echo "VM-FETCH failed 0"
      fi ;;
    reboot)
      reboot -f ;;
  esac
done
poweroff -f
EOF
chmod +x "$root/init" "$root/bin/dhcp-event"

(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$out/initrd.img.new"
mv "$out/initrd.img.new" "$out/initrd.img"
# The kernel's command line, for whoever boots it: no check of the timer's wiring, which a busy
# host's emulated CPU can fail and panic on.
echo "console=ttyS0 quiet panic=-1 no_timer_check" >"$out/cmdline"
echo "$stamp" >"$out/initrd.stamp"
echo "vm-image: $out/initrd.img"
