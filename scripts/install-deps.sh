#!/usr/bin/env bash
# Installs what building and testing Vifnet needs on a Debian 12 machine (run as root).
set -euo pipefail
packages=(
  cmake ninja-build g++ gcc python3 binutils pkg-config  # gcc-12 brings the sanitizer run times
  googletest                              # GoogleTest sources, built with each toolchain
  g++-mingw-w64-x86-64 gcc-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine64                              # the Windows build's tests
  clang libclang-rt-14-dev llvm            # fuzz targets: libFuzzer run time; llvm-symbolizer for their reports
  iproute2 util-linux                      # ip and nsenter: the network-namespace tests
  libpcap-dev                              # the Linux packet driver's capture library
  iputils-ping iputils-arping tshark ethtool  # the end-to-end tests' peers and dissector
  nftables dnsmasq-base busybox-static     # the station-only link, its DHCP server and client (static busybox: the VM image takes it too)
  libbenchmark-dev iperf3 curl             # bench/ and the main job's traffic
  qemu-system-x86 cpio xz-utils           # the VM tests and demo: QEMU and its image
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing ${missing[*]}; run as root to install them" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "install-deps: installed ${missing[*]}"
