#!/usr/bin/env python3
"""Mutation check: how many deliberate single-line faults in the core paths the tests catch.

Each mutation below replaces one exact snippet of a source file (the snippet must occur exactly
once; enough context is given to make it unique) by a faulty version a real bug could look like.
For each one the script applies it, rebuilds an out-of-tree build directory (default
build/mutate, never build/linux), runs the tests and restores the file, whatever happens.

  KILLED     the build succeeded and a test failed or timed out
  SURVIVED   every test passed: the fault went unnoticed
  STALE      the snippet no longer occurs exactly once (the code moved: re-point the entry)
  NOCOMPILE  the mutated tree does not build (fix the entry)

Run it before and after a change to the tests: the kill count must not drop.

  python3 scripts/mutate.py                 # whole list
  python3 scripts/mutate.py --list          # the list, with each entry's current line
  python3 scripts/mutate.py --only read-1,write-3
  python3 scripts/mutate.py --build-dir build/mutate --jobs 2 --exclude 'vifnet_package$|stress'

The e2e tests need root (they make their own network namespaces); without it they report
"skipped" and count as passed. Exit status: 0 when the run happened (whatever the score), 1 when
the baseline build or tests failed, 2 when a mutated file has uncommitted changes.
"""

# (id, file, original snippet, replacement, description)
MUTATIONS = [
    # ---- src/iface/read.cpp
    ("read-1", "src/iface/read.cpp",
     "if (count) std::memcpy(buffer, frame + frames::kEthHeaderSize, count);",
     "if (count) std::memcpy(buffer, frame + 12, count);",
     "TUN read copies from inside the Ethernet header"),
    ("read-2", "src/iface/read.cpp",
     "const std::uint32_t count = std::min(length, size);",
     "const std::uint32_t count = std::min(length - 4, size);",
     "TAP read drops the last 4 bytes as if they were a trailer"),
    ("read-3", "src/iface/read.cpp",
     "if (rec.length <= frames::kEthHeaderSize) {",
     "if (rec.length < frames::kEthHeaderSize) {",
     "header-only frame delivered instead of discarded"),
    ("read-4", "src/iface/read.cpp",
     "if (HandleARPPacket(frame, length)) CountRead(m_Stats.n64ARPReplies);",
     "(void)0;",
     "TUN read no longer answers ARP requests"),
    ("read-5", "src/iface/read.cpp",
     "        FixHostChecksums(frame, length);\n",
     "        (void)0;\n",
     "checksums of the host's own offloaded frames not repaired"),
    ("read-6", "src/iface/read.cpp",
     "refilled = ReadMorePackets(deadline - now);",
     "refilled = ReadMorePackets(0);",
     "read timeout ignored: a read never waits"),
    ("read-7", "src/iface/read.cpp",
     "    ++m_nReadSeqNum;\n    return true;",
     "    return true;",
     "buffer sequence not advanced: the same buffer is read again"),
    ("read-8", "src/iface/read.cpp",
     "nLastNotifySent.store(nBuffersRead, std::memory_order_release);",
     "(void)0;",
     "a sent readiness message is not recorded as sent"),
    # ---- src/iface/write.cpp
    ("write-1", "src/iface/write.cpp",
     "if ((ipAddr & m_IFaceNetMask) == (tarn & m_IFaceNetMask)) return true;",
     "if ((ipAddr & m_IFaceNetMask) != (tarn & m_IFaceNetMask)) return true;",
     "subnet test inverted"),
    ("write-2", "src/iface/write.cpp",
     "return (ipAddr | m_IFaceNetMask) == 0xFFFFFFFFu;",
     "return (ipAddr | m_IFaceNetMask) != 0xFFFFFFFFu;",
     "subnet broadcast test inverted"),
    ("write-3", "src/iface/write.cpp",
     "if (!tun && frameLength == std::uint64_t{nWriteBufferSize} + kTrailerSize) frameLength -= kTrailerSize;",
     "(void)0;",
     "TAP frame with its 4-byte trailer no longer accepted"),
    ("write-4", "src/iface/write.cpp",
     "if (frameLength > nWriteBufferSize) {",
     "if (frameLength >= nWriteBufferSize) {",
     "largest allowed packet refused"),
    ("write-5", "src/iface/write.cpp",
     "                nextHop = gateway;\n",
     "                nextHop = dest;\n",
     "off-subnet packet looks up its destination instead of the gateway"),
    ("write-6", "src/iface/write.cpp",
     "frames::PutTunHeader(m_pWriteBuffer, destMAC, srcMAC);",
     "frames::PutTunHeader(m_pWriteBuffer, srcMAC, destMAC);",
     "TUN header with source and destination MAC swapped"),
    ("write-7", "src/iface/write.cpp",
     "return static_cast<int>(static_cast<std::int64_t>(n) + length - F);",
     "return n;",
     "write returns the frame length instead of the caller's"),
    ("write-8", "src/iface/write.cpp",
     "slot->bFound = found;",
     "slot->bFound = true;",
     "a failed MAC look-up is cached as found"),
    ("write-9", "src/iface/write.cpp",
     "    m_nMultiWriteBytes = 0;\n    m_nMultiWritePackets = 0;",
     "    m_nMultiWritePackets = 0;",
     "a flushed batch is not emptied (sent again)"),
    ("write-10", "src/iface/write.cpp",
     "if (std::uint64_t{size} < std::uint64_t{m_nWriteBufferSize} + frames::kBatchHeaderSize) {",
     "if (std::uint64_t{size} <= std::uint64_t{m_nWriteBufferSize} + frames::kBatchHeaderSize) {",
     "smallest allowed batch buffer refused"),
    # ---- src/iface/arp.cpp
    ("arp-1", "src/iface/arp.cpp",
     "if (!frames::IsARPRequest(frame, length, 1, WireMAC())) return false;",
     "if (!frames::IsARPRequest(frame, length, 2, WireMAC())) return false;",
     "ARP responder answers replies instead of requests"),
    ("arp-2", "src/iface/arp.cpp",
     "m_TarnVirtIPAddrList.end(), asked) == m_TarnVirtIPAddrList.end()) return false;",
     "m_TarnVirtIPAddrList.end(), asked) != m_TarnVirtIPAddrList.end()) return false;",
     "ARP answered for addresses that are not the guest's"),
    ("arp-3", "src/iface/arp.cpp",
     "if (!frames::SameMAC(frame + 32, m_TarnVirtMACAddr)) return false;",
     "(void)0;",
     "RARP answered for any MAC"),
    ("arp-4", "src/iface/arp.cpp",
     "frames::MakeARPReply(frame, tarnMAC);",
     "(void)0;",
     "ARP request sent back unchanged instead of a reply"),
    # ---- src/iface/frames.cpp, frames.h
    ("frames-1", "src/iface/frames.cpp",
     "std::uint64_t{hdrLen} + capLen > room) {",
     "std::uint64_t{hdrLen} + capLen >= room) {",
     "record that ends exactly at the buffer end refused"),
    ("frames-2", "src/iface/frames.cpp",
     "(std::uint64_t{hdrLen} + capLen + 3) & ~std::uint64_t{3};",
     "(std::uint64_t{hdrLen} + capLen + 4) & ~std::uint64_t{3};",
     "record alignment off by one"),
    ("frames-3", "src/iface/frames.cpp",
     "if (promiscuous || IsGroupMAC(frame) || SameMAC(frame, ifaceMAC)) return Verdict::Keep;",
     "if (promiscuous || SameMAC(frame, ifaceMAC)) return Verdict::Keep;",
     "broadcast and multicast frames not selected"),
    ("frames-4", "src/iface/frames.cpp",
     "SameMAC(source, hwBroadcast) ? Verdict::OwnDropped : Verdict::Discard;",
     "SameMAC(source, hwBroadcast) ? Verdict::Discard : Verdict::OwnDropped;",
     "own frames and foreign frames counted the other way round"),
    ("frames-5", "src/iface/frames.cpp",
     "if (length < kARPFrameSize) return false;",
     "if (length <= kARPFrameSize) return false;",
     "unpadded 42-byte ARP request ignored"),
    ("frames-6", "src/iface/frames.cpp",
     "std::memcpy(frame + 38, askerIP, 4);",
     "std::memcpy(frame + 38, askedIP, 4);",
     "ARP reply's target address is the one asked for"),
    ("frames-7", "src/iface/frames.cpp",
     "Put16(frame + 20, 4);",
     "Put16(frame + 20, 3);",
     "RARP reply sent with the request opcode"),
    ("frames-8", "src/iface/frames.cpp",
     "std::memcpy(&ipAddr, packet + 16, 4);",
     "std::memcpy(&ipAddr, packet + 12, 4);",
     "TUN destination taken from the source address"),
    ("frames-9", "src/iface/frames.cpp",
     "std::memcpy(batch + 8, &length, 4);",
     "std::memcpy(batch + 4, &length, 4);",
     "batch record length at the wrong offset"),
    ("frames-10", "src/iface/frames.h",
     "inline bool IsGroupMAC(const std::uint8_t* mac) { return (mac[0] & 1) != 0; }",
     "inline bool IsGroupMAC(const std::uint8_t* mac) { return (mac[0] & 2) != 0; }",
     "group bit mistaken for the locally-administered bit"),
    # ---- src/iface/config.cpp
    ("config-2", "src/iface/config.cpp",
     "if (nMillisecs < -1 || nMillisecs > kMaxReadTimeout) {",
     "if (nMillisecs < 0 || nMillisecs > kMaxReadTimeout) {",
     "infinite read timeout (-1) refused"),
    ("config-3", "src/iface/config.cpp",
     "if (IsGroupMAC(sa->sa_data) || IsZeroMAC(sa->sa_data)) {",
     "if (IsGroupMAC(sa->sa_data)) {",
     "all-zero guest MAC accepted"),
    ("config-4", "src/iface/config.cpp",
     "    m_bTarnVirtMACAddrSet = true;\n",
     "",
     "an explicitly set guest MAC is overwritten by the automatic one"),
    ("config-6", "src/iface/config.cpp",
     "if (nMTU < kMinMTU || nMTU > maxMTU) {",
     "if (nMTU < kMinMTU || nMTU >= maxMTU) {",
     "largest MTU refused"),
    ("config-7", "src/iface/config.cpp",
     "const auto size = static_cast<std::uint32_t>(nMTU + kEthHeaderSize);",
     "const auto size = static_cast<std::uint32_t>(nMTU);",
     "write buffer sized without the Ethernet header"),
    ("config-8", "src/iface/config.cpp",
     "pStats->dwStructSize = copied;",
     "pStats->dwStructSize = kStatsSize;",
     "statistics report the full size to a caller with a shorter record"),
    ("config-9", "src/iface/config.cpp",
     "    UpdateIFaceBroadcast(first ? first : m_HostPhysIPAddr);\n",
     "",
     "broadcast address no longer follows a new netmask"),
    ("config-1", "src/iface/config.cpp",
     "if (nBytes < static_cast<int>(kMinReadBufferSize) || size > kMaxReadBufferSize) {",
     "if (nBytes <= static_cast<int>(kMinReadBufferSize) || size > kMaxReadBufferSize) {",
     "smallest read buffer size refused"),
    ("config-5", "src/iface/config.cpp",
     "if (ip != 0 && ip != m_HostPhysIPAddr) {",
     "if (ip != 0 && ip == m_HostPhysIPAddr) {",
     "host address confirmation inverted"),
    # ---- src/iface/addresses.cpp
    ("addr-1", "src/iface/addresses.cpp",
     "bool IsNullOrBroadcast(std::uint32_t ip) { return ip == 0 || ip == 0xFFFFFFFFu; }",
     "bool IsNullOrBroadcast(std::uint32_t ip) { return ip == 0; }",
     "broadcast address accepted as a guest address"),
    ("addr-2", "src/iface/addresses.cpp",
     "if (m_TarnVirtIPAddrList.size() >= kMaxTableEntries) {",
     "if (m_TarnVirtIPAddrList.size() > kMaxTableEntries) {",
     "address table takes one entry too many"),
    ("addr-3", "src/iface/addresses.cpp",
     "        m_TarnVirtIPAddrList.erase(it);\n        m_TarnVirtIPAddrList.push_back(ip);\n        return true;",
     "        return true;",
     "re-added address does not become the newest"),
    ("addr-4", "src/iface/addresses.cpp",
     "    SendGratuitousARP(ip);\n",
     "",
     "added address not announced"),
    ("addr-5", "src/iface/addresses.cpp",
     "    m_MulticastList.erase(it);\n",
     "",
     "deleted multicast MAC stays in the table"),
    ("addr-6", "src/iface/addresses.cpp",
     "return (ipAddr & m_HostSubnetMask) == (m_HostPhysIPAddr & m_HostSubnetMask);",
     "return (ipAddr & m_HostSubnetMask) != (m_HostPhysIPAddr & m_HostSubnetMask);",
     "host-subnet test inverted"),
    ("addr-7", "src/iface/addresses.cpp",
     "m_IFaceBroadcast = (ipAddr & m_IFaceNetMask) | ~m_IFaceNetMask;",
     "m_IFaceBroadcast = (ipAddr & ~m_IFaceNetMask) | ~m_IFaceNetMask;",
     "automatic broadcast loses the network part"),
    # ---- src/adapter/vf_adapter.cpp
    ("adapter-1", "src/adapter/vf_adapter.cpp",
     "while (m_FullBufList.size() > nMaxFull) {",
     "while (m_FullBufList.size() >= nMaxFull) {",
     "window of filled buffers one too small"),
    ("adapter-2", "src/adapter/vf_adapter.cpp",
     "                return length;\n",
     "                return count;\n",
     "buffer larger than the reader's reported as truncated, not as its size"),
    ("adapter-3", "src/adapter/vf_adapter.cpp",
     "const bool sent = send(m_hAdapter, data, length) != 0;",
     "const bool sent = (send(m_hAdapter, data, length), true);",
     "driver send failure reported as success"),
    ("adapter-4", "src/adapter/vf_adapter.cpp",
     "                m_bReadPending = false;\n                NotifyVifnets();\n",
     "                m_bReadPending = false;\n",
     "notify-mode interfaces never told of new buffers"),
    ("adapter-5", "src/adapter/vf_adapter.cpp",
     "pInHand->SetDataLen(nRead);",
     "pInHand->SetDataLen(nRead - 1);",
     "received buffer length one byte short"),
    ("adapter-6", "src/adapter/vf_adapter.cpp",
     "if (size < kMinAdapterBufferSize || size > kMaxAdapterBufferSize) {",
     "if (size < kMinAdapterBufferSize || size >= kMaxAdapterBufferSize) {",
     "largest driver buffer size refused"),
    # ---- src/host/checksum.cpp
    ("checksum-1", "src/host/checksum.cpp",
     "    sum = (sum & 0xFFFFu) + (sum >> 16);\n    sum = (sum & 0xFFFFu) + (sum >> 16);\n",
     "    sum = (sum & 0xFFFFu) + (sum >> 16);\n",
     "final 16-bit carry fold dropped"),
    ("checksum-2", "src/host/checksum.cpp",
     "std::memcpy(tail, p, length);",
     "std::memcpy(tail + 1, p, length);",
     "odd trailing bytes summed at the wrong position"),
    ("checksum-3", "src/host/checksum.cpp",
     "return static_cast<std::uint16_t>(~CalcChecksum(data, length));",
     "return static_cast<std::uint16_t>(CalcChecksum(data, length));",
     "Internet checksum not complemented"),
    ("checksum-4", "src/host/checksum.cpp",
     "static_cast<std::uint16_t>(Load16BE(ipHeader + 2) - headerLength);",
     "static_cast<std::uint16_t>(Load16BE(ipHeader + 2));",
     "pseudo-header length includes the IP header"),
    ("checksum-5", "src/host/checksum.cpp",
     "if (total <= remaining && transportAvailable >= 18) {",
     "if (total < remaining && transportAvailable >= 18) {",
     "TCP segment that fills the frame not repaired"),
    ("checksum-6", "src/host/checksum.cpp",
     "if (transportAvailable >= 8 && udpLength <= transportAvailable) {",
     "if (transportAvailable >= 8 && udpLength < transportAvailable) {",
     "UDP datagram that fills the packet not repaired"),
    ("checksum-7", "src/host/checksum.cpp",
     "Store16BE(p + 10, CalcInetChecksum(p, header));",
     "Store16BE(p + 10, CalcInetChecksum(p, kMinIPHeader));",
     "IP header checksum ignores options"),
    # ---- src/host/mac.cpp
    ("mac-1", "src/host/mac.cpp",
     "mac[3] = static_cast<std::uint8_t>(ip[1] | 0x80);",
     "mac[3] = static_cast<std::uint8_t>(ip[1]);",
     "guest MAC collides with the multicast-mapped range"),
    ("mac-2", "src/host/mac.cpp",
     "mac[5] = ip[3];",
     "mac[5] = ip[2];",
     "guest MAC built from the wrong address byte"),
    ("mac-3", "src/host/mac.cpp",
     "if (group < 5 && text[at + 2] != separator) return false;",
     "if (group < 4 && text[at + 2] != separator) return false;",
     "last MAC separator not checked"),
    # ---- src/host/adapter_list.cpp
    ("adlist-1", "src/host/adapter_list.cpp",
     "if (p->IPAddr == ipAddr) return p;",
     "if (p->IPAddr != ipAddr) return p;",
     "adapter look-up by IP inverted"),
    ("adlist-2", "src/host/adapter_list.cpp",
     "match = FindWPAdapterByIP(plat::HostToNet32(ip));",
     "match = FindWPAdapterByIP(ip);",
     "default adapter setting looked up in host byte order"),
    ("adlist-3", "src/host/adapter_list.cpp",
     "        if (match) chosen = match;\n",
     "",
     "default adapter setting ignored"),
    ("adlist-4", "src/host/adapter_list.cpp",
     "if (r.failedCall == 1) InstallStandByList();",
     "(void)0;",
     "no stand-in adapter record when the driver cannot list adapters"),
    # ---- wrenpack/src/driver_util.cpp
    ("wpu-1", "wrenpack/src/driver_util.cpp",
     "    case EPERM:\n",
     "",
     "EPERM no longer mapped to access denied"),
    ("wpu-2", "wrenpack/src/driver_util.cpp",
     "if (*used + size > capacity) {",
     "if (*used + size >= capacity) {",
     "record that exactly fills the buffer refused"),
    ("wpu-3", "wrenpack/src/driver_util.cpp",
     "case -5: return kNotFound;",
     "case -5: return kNoDevice;",
     "missing device reported with the wrong error"),
    ("wpu-4", "wrenpack/src/driver_util.cpp",
     "if (c < 0x80) {",
     "if (c <= 0x80) {",
     "U+0080 narrowed to one byte"),
    # ---- wrenpack/src/pcap_driver.cpp
    ("pcap-1", "wrenpack/src/pcap_driver.cpp",
     "length - at - sizeof header < header.dwFrameLength)",
     "length - at - sizeof header <= header.dwFrameLength)",
     "batch whose last frame ends at the batch end refused"),
    ("pcap-2", "wrenpack/src/pcap_driver.cpp",
     "api.set_promisc(pcap, 1);",
     "api.set_promisc(pcap, 0);",
     "capture not promiscuous: frames for the guest's MAC not seen"),
    ("pcap-3", "wrenpack/src/pcap_driver.cpp",
     "if (*pcbBytes < needed) {",
     "if (*pcbBytes <= needed) {",
     "adapter list refuses a buffer of exactly the size needed"),
    # ---- wrenpack/src/capture_linux.cpp
    ("capture-1", "wrenpack/src/capture_linux.cpp",
     "}) && (count == 0 || flush());",
     "}) && true;",
     "last part of a batch never sent"),
    ("capture-2", "wrenpack/src/capture_linux.cpp",
     "message.msg_hdr.msg_iovlen = 1;",
     "message.msg_hdr.msg_iovlen = 0;",
     "frames sent empty"),
    ("capture-3", "wrenpack/src/capture_linux.cpp",
     "if (c->api->setnonblock(*pcap, 1, errbuf) < 0) return FailPcap(c, *pcap, \"pcap_setnonblock\");",
     "if (c->api->setnonblock(*pcap, 1, errbuf) > 0) return FailPcap(c, *pcap, \"pcap_setnonblock\");",
     "failure to make the capture non-blocking ignored"),
]

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Tests left out by default: the package test builds a consumer against an installed copy and
# checks files, not behaviour.
DEFAULT_EXCLUDE = r"^vifnet_package$"
JOURNAL = "mutation-in-progress.json"


class Interrupted(Exception):
    pass


def on_signal(signum, frame):
    raise Interrupted(f"signal {signum}")


def read_text(rel):
    with open(os.path.join(ROOT, rel), "r", encoding="utf-8", newline="") as f:
        return f.read()


def write_text(rel, text):
    with open(os.path.join(ROOT, rel), "w", encoding="utf-8", newline="") as f:
        f.write(text)


def locate(mutation):
    """(text, offset, line of the changed part) or None when the snippet is not there exactly once."""
    _, rel, original, replacement, _ = mutation
    try:
        text = read_text(rel)
    except OSError:
        return None
    if not original or text.count(original) != 1:
        return None
    at = text.index(original)
    differ = next((i for i, (a, b) in enumerate(zip(original, replacement)) if a != b), min(len(original), len(replacement)))
    return text, at, text.count("\n", 0, at + differ) + 1


def git(*args, check=False):
    return subprocess.run(["git", "-C", ROOT, *args], capture_output=True, text=True, check=check)


def recover(build_dir):
    """Puts back a file a killed earlier run left mutated."""
    path = os.path.join(build_dir, JOURNAL)
    if not os.path.exists(path):
        return
    with open(path, encoding="utf-8") as f:
        j = json.load(f)
    if read_text(j["file"]) == j["mutated"]:
        write_text(j["file"], j["original"])
        print(f"restored {j['file']}, left mutated ({j['id']}) by an interrupted run")
    os.remove(path)


def run(cmd, timeout=None, log=None):
    r = subprocess.run(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=timeout)
    if log:
        with open(log, "w", encoding="utf-8") as f:
            f.write(r.stdout)
    return r.returncode, r.stdout


def configure(build_dir):
    if os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        return True
    # The linux preset's settings, in a directory of our own.
    rc, out = run(["cmake", "-S", ".", "-B", build_dir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                   "-DCMAKE_CXX_COMPILER=g++", "-DCMAKE_C_COMPILER=gcc"])
    if rc != 0:
        print(out)
    return rc == 0


def build(args):
    try:
        rc, _ = run(["cmake", "--build", args.build_dir, "-j", str(args.jobs)], timeout=args.build_timeout,
                    log=os.path.join(args.build_dir, "mutate-build.log"))
    except subprocess.TimeoutExpired:
        return False
    return rc == 0


TEST_LINE = re.compile(r"Test\s+#\d+:\s+(\S+)\s+\.*\**\s*(\S.*?)\s+([\d.]+) sec")


def ctest(args, names, timeout, log):
    """Runs the named tests; (all passed, first failing test, {name: seconds})."""
    regex = "^(" + "|".join(re.escape(n) for n in names) + ")$"
    cmd = ["ctest", "--test-dir", args.build_dir, "-R", regex, "-j", str(args.jobs), "--timeout", str(timeout),
           "--stop-on-failure", "--output-on-failure"]
    try:
        rc, out = run(cmd, timeout=timeout * max(1, len(names)) + 60, log=log)
    except subprocess.TimeoutExpired:
        return False, names[0] + " (hung)", {}
    times, failed = {}, None
    for m in TEST_LINE.finditer(out):
        name, status, secs = m.group(1), m.group(2), float(m.group(3))
        times[name] = secs
        if not status.startswith("Passed") and "Skipped" not in status and failed is None:
            failed = name + ("" if status.startswith("Failed") else f" ({status.split()[-1].lower()})")
    if rc != 0 and failed is None:
        failed = "ctest rc=%d" % rc
    return rc == 0, failed, times


def list_tests(args):
    rc, out = run(["ctest", "--test-dir", args.build_dir, "-N"])
    names = re.findall(r"Test\s+#\d+: (\S+)", out)
    return [n for n in names if not (args.exclude and re.search(args.exclude, n))]


def stages(times, fast):
    """Tests grouped fastest first: every quick one together (in parallel), then each slow one alone."""
    quick = sorted(n for n, t in times.items() if t < fast)
    slow = sorted((n for n in times if times[n] >= fast), key=lambda n: times[n])
    return ([quick] if quick else []) + [[n] for n in slow]


def run_tests(args, plan, times, log):
    for group in plan:
        limit = max(args.test_timeout, int(5 * max(times.get(n, 1) for n in group)))
        ok, failed, _ = ctest(args, group, limit, log)
        if not ok:
            return failed
    return None


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--only", help="comma-separated mutation ids to run")
    p.add_argument("--list", action="store_true", help="print the mutation list and exit")
    p.add_argument("--build-dir", default="build/mutate")
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("--exclude", default=DEFAULT_EXCLUDE, help="regex of test names not run (default: %(default)s)")
    p.add_argument("--test-timeout", type=int, default=60, help="least per-test timeout, s (also 5x the baseline time)")
    p.add_argument("--build-timeout", type=int, default=900)
    args = p.parse_args()
    args.build_dir = os.path.join(ROOT, args.build_dir) if not os.path.isabs(args.build_dir) else args.build_dir

    ids = [m[0] for m in MUTATIONS]
    assert len(set(ids)) == len(ids), "duplicate mutation ids"
    chosen = MUTATIONS
    if args.only:
        wanted = [w.strip() for w in args.only.split(",") if w.strip()]
        unknown = [w for w in wanted if w not in ids]
        if unknown:
            sys.exit("unknown mutation id(s): " + ", ".join(unknown))
        chosen = [m for m in MUTATIONS if m[0] in wanted]

    if args.list:
        for m in chosen:
            where = locate(m)
            print(f"{m[0]:<12} {m[1]}:{where[2] if where else 'STALE':<6} {m[4]}")
        print(f"{len(chosen)} mutations")
        return 0

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    os.makedirs(args.build_dir, exist_ok=True)
    recover(args.build_dir)
    files = sorted({m[1] for m in chosen})
    dirty = git("status", "--porcelain", "--", *files).stdout.strip()
    if dirty:
        print("refusing to run: uncommitted changes in files this script mutates:\n" + dirty, file=sys.stderr)
        return 2

    start = time.time()
    print(f"baseline: configuring and building {os.path.relpath(args.build_dir, ROOT)}", flush=True)
    if not configure(args.build_dir) or not build(args):
        print(f"baseline build failed (see {args.build_dir}/mutate-build.log)", file=sys.stderr)
        return 1
    names = list_tests(args)
    if not names:
        print("no tests found", file=sys.stderr)
        return 1
    # The baseline runs every test once, all in parallel, and times them for the ordering.
    ok, failed, times = ctest(args, names, max(args.test_timeout, 300), os.path.join(args.build_dir, "mutate-baseline.log"))
    if not ok:
        print(f"baseline tests failed ({failed}); see {args.build_dir}/mutate-baseline.log", file=sys.stderr)
        return 1
    for n in names:
        times.setdefault(n, 1.0)
    plan = stages(times, fast=5.0)
    print("baseline passed in %.0f s; test order: %s" % (time.time() - start, " | ".join(",".join(g) for g in plan)), flush=True)

    counts = {"KILLED": 0, "SURVIVED": 0, "STALE": 0, "NOCOMPILE": 0}
    survivors = []
    journal = os.path.join(args.build_dir, JOURNAL)
    test_log = os.path.join(args.build_dir, "mutate-tests.log")
    for m in chosen:
        mid, rel, original, replacement, desc = m
        where = locate(m)
        t0 = time.time()
        if where is None:
            status, line, why = "STALE", "?", "snippet not found exactly once"
        else:
            text, at, line = where
            mutated = text[:at] + replacement + text[at + len(original):]
            with open(journal, "w", encoding="utf-8") as f:
                json.dump({"id": mid, "file": rel, "original": text, "mutated": mutated}, f)
            try:
                write_text(rel, mutated)
                if not build(args):
                    status, why = "NOCOMPILE", f"see {os.path.relpath(args.build_dir, ROOT)}/mutate-build.log"
                    shutil.copy(os.path.join(args.build_dir, "mutate-build.log"),
                                os.path.join(args.build_dir, f"mutate-build-{mid}.log"))
                else:
                    killer = run_tests(args, plan, times, test_log)
                    status, why = ("KILLED", killer) if killer else ("SURVIVED", "")
            finally:
                write_text(rel, text)
                if git("diff", "--quiet", "--", rel).returncode != 0:
                    print(f"!! {rel} differs from the committed file after restoring it", file=sys.stderr)
                    return 3
                os.remove(journal)
        counts[status] += 1
        if status == "SURVIVED":
            survivors.append(mid)
        print(f"{mid:<12} {rel}:{line:<5} {status:<9} {why or '-':<28} {desc}  [{time.time() - t0:.0f} s]", flush=True)

    print("mutations: %d, killed: %d, survived: %d, stale: %d, no compile: %d" %
          (len(chosen), counts["KILLED"], counts["SURVIVED"], counts["STALE"], counts["NOCOMPILE"]))
    if survivors:
        print("survivors: " + ", ".join(survivors))
    print("total time: %.0f s" % (time.time() - start))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (KeyboardInterrupt, Interrupted) as e:
        print(f"\ninterrupted ({str(e) or 'Ctrl-C'}); the mutated file was restored", file=sys.stderr)
        sys.exit(130)
