#!/usr/bin/env python3
"""End-to-end tests of the library on a real link, through the shipped packet driver.

The guest program (guest.c) runs in a "host" network namespace whose only adapter is one end of
a veth pair; the other end lives in a "peer" namespace, where ping, arping, tshark and packet
sockets play the rest of the network. Both namespaces, the link and (with --wine) a Wine prefix
of the run's own are made here and removed afterwards; no traffic leaves them.
With --wpcap, the run's Wine prefix gets that wpcap.dll where the capture package installs its
library, and the fault cases of its calls run too.
Usage: e2e.py --guest PATH [--wine [--wpcap DLL]] [unittest arguments]
"""
import argparse
import ctypes
import os
import queue
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../scripts"))
from netns import end_process, inside, remove_leftovers, run_tests, sh, station_only, wait_until, wine_prefix  # noqa: E402

PREFIX = "vfe%d" % os.getpid()
HOST_NS, PEER_NS = PREFIX + "h", PREFIX + "p"
HOST_IF, PEER_IF = PREFIX + "a", PREFIX + "b"
HOST_IP, PEER_IP = "10.77.0.1", "10.77.0.2"
HOST_MAC, PEER_MAC = "02:77:00:00:00:01", "02:77:00:00:00:02"
BROADCAST, MULTICAST, STRANGER = "ff:ff:ff:ff:ff:ff", "01:00:5e:00:00:fb", "02:77:00:00:00:99"
ETH_TEST = 0x88B5  # the local experimental EtherType: nothing else on the link uses it
ARGS = None
WINE = {}  # WINEPREFIX and friends when the guest is a Windows program


def mac_bytes(text):
    return bytes(int(x, 16) for x in re.split("[:-]", text))


def checksum(data):
    data += b"\0" * (len(data) % 2)
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def pseudo_header(src, dst, proto, length):
    return src + dst + struct.pack("!BBH", 0, proto, length)


def ipv4(src, dst, proto, payload):
    hdr = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), 0, 0x4000, 64, proto, 0, *map(socket.inet_aton, (src, dst)))
    return hdr[:10] + struct.pack("!H", checksum(hdr)) + hdr[12:] + payload


def udp_packet(src, dst, sport, dport, data):
    seg = struct.pack("!HHHH", sport, dport, 8 + len(data), 0) + data
    pseudo = pseudo_header(socket.inet_aton(src), socket.inet_aton(dst), 17, len(seg))
    return ipv4(src, dst, 17, seg[:6] + struct.pack("!H", checksum(pseudo + seg) or 0xFFFF) + seg[8:])


def checksums_valid(packet):
    """Whether the IPv4 header and the TCP or UDP checksum of a packet hold."""
    hl, total = (packet[0] & 15) * 4, struct.unpack("!H", packet[2:4])[0]
    seg = packet[hl:total]
    return checksum(packet[:hl]) == 0 and checksum(pseudo_header(packet[12:16], packet[16:20], packet[9], len(seg)) + seg) == 0


def frame(dst, src, text, ethertype=ETH_TEST):
    return (mac_bytes(dst) + mac_bytes(src) + struct.pack("!H", ethertype) + text).ljust(60, b"\0")


# A broadcast datagram of an unassigned protocol: every interface takes it, no stack answers it.
PROBE = frame(BROADCAST, PEER_MAC, ipv4(PEER_IP, "10.77.0.255", 253, b"probe"), 0x0800)


def read_lines(stream, sink, end=False):
    """Hands each line of a child's output to sink, on a thread of its own (then None, if end)."""
    reader = threading.Thread(target=lambda: [sink(line.rstrip("\r\n")) for line in stream] + [end and sink(None)], daemon=True)
    reader.stream = stream
    reader.start()
    return reader


def stop(proc, readers):
    """Ends a child (politely first: tshark then stops its own capture child) and its readers."""
    end_process(proc, 5)
    proc.stdin and proc.stdin.close()
    for reader in readers:
        reader.join(5)
        if not reader.is_alive():  # closing a stream that a thread still reads would block
            reader.stream.close()


class Guest:
    """The guest program in the host namespace: one command, one answer line."""

    def __init__(self, env=None):
        env = dict(WINE, **(env or {}))
        program = ["env"] + ["%s=%s" % kv for kv in env.items()] + ["wine", ARGS.guest] if WINE else [ARGS.guest]
        self.proc = subprocess.Popen(["ip", "netns", "exec", HOST_NS] + program, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1)
        self.answers, self.debug = queue.Queue(), []
        self.readers = [read_lines(self.proc.stdout, self.answers.put, True), read_lines(self.proc.stderr, self.debug.append)]

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def answer(self, seconds=30):
        try:
            line = self.answers.get(timeout=seconds)
        except queue.Empty:
            raise AssertionError("no answer within %d s; the guest's output: %s" % (seconds, self.debug)) from None
        assert line is not None, "the guest ended (%s); its output: %s" % (self.proc.wait(5), self.debug)
        return line.split()

    def __call__(self, line, seconds=30):
        self.send(line)
        return self.answer(seconds)

    def ok(self, line, seconds=30):
        words = self(line, seconds)
        assert words[:1] == ["ok"], "%s -> %s; output: %s" % (line, words, self.debug[-5:])
        return words[1:]

    def err(self, line):
        words = self(line)
        assert words[:1] == ["err"], "%s -> %s (a failure was expected)" % (line, words)
        return int(words[1]), int(words[2])

    def stats(self):
        return {k: int(v) for k, v in (w.split("=") for w in self.ok("stats"))}

    def quit(self, seconds=20):
        self.send("quit")
        return self.proc.wait(seconds)

    def kill(self):
        stop(self.proc, self.readers)


def carrier():
    return "LOWER_UP" in sh("ip -o link show " + HOST_IF, ns=HOST_NS).stdout


def ping(ip, count):
    done = sh("ping -n -c %d -i 0.2 -W 2 %s" % (count, ip), ns=PEER_NS, check=False)
    assert done.returncode == 0 and " %d received" % count in done.stdout and "DUP" not in done.stdout, done.stdout
    return done


def served_ping(guest, pings, seconds=15):
    """Pings each (ip, count) from the peer in turn while the guest answers; the guest's counts."""
    guest.send("echo %d %d" % (seconds * 1000, sum(c for _, c in pings)))
    for ip, count in pings:
        ping(ip, count)
    return [int(n) for n in guest.answer(seconds + 10)[1:]]


def served_rtts(guest, ip, count, extra=""):
    """Round trips (ms) of pings from the peer that the guest answers, writing `extra` after each."""
    guest.send("echo 20000 %d %s" % (count, extra))
    times = [float(t) for t in re.findall(r"time=([\d.]+) ms", ping(ip, count).stdout)]
    assert guest.answer(30) == ["ok", str(count)]
    return sorted(times)


def packet_socket():
    """A peer socket for the test EtherType: it never sees frames the peer sends."""
    with inside(PEER_NS):
        s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_TEST))
    s.bind((PEER_IF, ETH_TEST))
    s.setsockopt(socket.SOL_SOCKET, 33, 4 << 20)  # SO_RCVBUFFORCE: room for a whole batch
    s.settimeout(5)
    return s


def udp_socket():
    """The peer's UDP socket on port 5555, where the guests' test packets go."""
    with inside(PEER_NS):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((PEER_IP, 5555))
    s.settimeout(5)
    return s


class RealLink(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        remove_leftovers("vfe", r"-(wine|tshark)\w*")
        for ns in (HOST_NS, PEER_NS):
            sh("ip netns add " + ns)
            cls.addClassCleanup(sh, "ip netns del " + ns, None, False)
            # No IPv6: the only frames on the link are the ones the tests cause.
            sh("ip link set lo up && for c in all default; do echo 1 >/proc/sys/net/ipv6/conf/$c/disable_ipv6; done", ns=ns)
        if ARGS.wine:
            folder = tempfile.mkdtemp(prefix=PREFIX + "-wine")
            cls.addClassCleanup(shutil.rmtree, folder, True)
            WINE.update(wine_prefix(cls, folder, ARGS.guest, HOST_NS, ARGS.wpcap))

    def setUp(self):
        sh("ip link add %s address %s type veth peer name %s netns %s address %s"
           % (HOST_IF, HOST_MAC, PEER_IF, PEER_NS, PEER_MAC), ns=HOST_NS)
        sh("ip addr add %s/24 dev %s && ip link set %s up" % (HOST_IP, HOST_IF, HOST_IF), ns=HOST_NS)
        sh("ip addr add %s/24 dev %s && ip link set %s up" % (PEER_IP, PEER_IF, PEER_IF), ns=PEER_NS)
        wait_until(carrier, 10, "the link's carrier")
        if WINE:
            # Wine's IP Helper cannot ask the link (SendARP answers 50): the host's table is
            # given the peer for the tests of what the host knows; the interface's own asking
            # is tested without it.
            sh("ip neigh replace %s lladdr %s dev %s nud permanent" % (PEER_IP, PEER_MAC, HOST_IF), ns=HOST_NS)
        self.addCleanup(sh, "ip link del " + HOST_IF, HOST_NS, False)
        self.guest = Guest()
        # Runs after the guest has ended (cleanups run last first): a sanitizer build reports
        # on its standard error, at the fault or at exit.
        self.addCleanup(lambda: self.assertEqual([l for l in self.guest.debug if "Sanitizer" in l], []))
        self.addCleanup(self.guest.kill)

    def faulty_library(self, fault):
        """Starts the guest again on a capture library whose call misbehaves as `fault` says."""
        if not ARGS.wpcap:
            self.skipTest("faults of the capture library's own calls are made by the --wpcap library")
        self.guest.kill()
        self.guest = Guest({"VIFNET_WPCAP_FAULT": fault})
        self.addCleanup(self.guest.kill)

    def idle_cpu(self):
        """The guest's CPU time over three idle seconds of reading, as a share of the time."""
        cpu, start = float(self.guest.ok("cpu")[0]), time.monotonic()
        packets, wakeups = self.guest.ok("count 3000", 20)
        self.assertEqual(packets, "0")
        return (float(self.guest.ok("cpu")[0]) - cpu) / (time.monotonic() - start), int(wakeups)

    def up(self, tap=False):
        """Brings the current interface up; a lone frame sent at once must reach it."""
        self.guest.ok("up")
        sock = packet_socket()
        self.addCleanup(sock.close)
        self.guest.send("recv 3000 %d fd" % (23 if tap else 9))
        sock.send(PROBE)
        self.assertEqual(self.guest.answer(), ["ok", (PROBE if tap else PROBE[14:]).hex()], "a lone frame did not arrive")

    def tun(self, ip, adapter=HOST_IP, mode=""):
        """A TUN interface with one guest address on the link's subnet: (descriptor, name, MAC)."""
        fd, name, _ = self.guest.ok("open %s tun %s" % (adapter, mode))
        mac = self.guest.ok("ip %s 255.255.255.0" % ip)[0]
        return fd, name, mac

    def test_tun_guest_answers_arp_and_ping_and_announces_itself_when_up(self):
        _, _, mac = self.tun("10.77.0.50")
        self.assertEqual(mac, "02:00:5e:cd:00:32")
        command = "ip netns exec %s tshark -l -n -i %s -f arp -T fields -E separator=, " % (PEER_NS, PEER_IF)
        command += "-e arp.isgratuitous -e arp.src.proto_ipv4 -e arp.src.hw_mac -e eth.dst"
        spool = tempfile.mkdtemp(prefix=PREFIX + "-tshark")  # where its capture child spools frames
        self.addCleanup(shutil.rmtree, spool, True)
        tshark = subprocess.Popen(command.split(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1,
                                  env=dict(os.environ, TMPDIR=spool))
        rows, started = [], threading.Event()
        readers = [read_lines(tshark.stderr, lambda line: "Capture started" in line and started.set()),
                   read_lines(tshark.stdout, lambda line: rows.append(line.split(",")))]
        self.addCleanup(stop, tshark, readers)
        self.assertTrue(started.wait(20), "tshark did not start capturing")
        self.up()
        announced = lambda: [r for r in rows if r[1:] == ["10.77.0.50", mac, BROADCAST]]
        wait_until(announced, 10, "a gratuitous ARP for 10.77.0.50")
        self.assertIn(announced()[0][0], ("1", "True"))

        self.guest.send("echo 15000 3")
        arping = sh("arping -c 2 -w 5 -I %s 10.77.0.50" % PEER_IF, ns=PEER_NS, check=False)
        self.assertEqual(arping.returncode, 0, arping.stdout + arping.stderr)
        self.assertEqual(arping.stdout.upper().count(mac.upper()), 2, arping.stdout)
        ping("10.77.0.50", 3)
        self.assertEqual(self.guest.answer(), ["ok", "3"])
        stats = self.guest.stats()
        self.assertGreaterEqual(stats["arp"], 3)  # two from arping, one for ping

    def test_tap_guest_exchanges_whole_frames_and_never_sees_its_own(self):
        _, _, mac = self.guest.ok("open %s tap" % HOST_IP)
        self.up(tap=True)
        sock = packet_socket()
        self.addCleanup(sock.close)
        # The frame for a stranger is dropped; unicast, broadcast and multicast arrive in order.
        sent = [frame(STRANGER, PEER_MAC, b"stranger"), frame(mac, PEER_MAC, b"unicast"),
                frame(BROADCAST, PEER_MAC, b"broadcast"), frame(MULTICAST, PEER_MAC, b"multicast")]
        for f in sent:
            sock.send(f)
        for f in sent[1:]:
            self.assertEqual(self.guest.ok("recv 5000 12 %04x" % ETH_TEST), [f.hex()])
        for dst in (PEER_MAC, BROADCAST, MULTICAST):
            f = frame(dst, mac, b"from the guest to " + dst.encode())
            self.assertEqual(self.guest.ok("send " + f.hex()), [str(len(f))])
            self.assertEqual(sock.recv(65536), f)
        # A batch reaches the wire whole: more frames than one send of the host takes at once.
        batch = frame(PEER_MAC, mac, b"batched")
        self.assertEqual(self.guest.ok("send %s 300" % batch.hex()), [str(len(batch))])
        self.assertEqual([sock.recv(65536) for _ in range(300)], [batch] * 300)
        # Had the guest's broadcast or multicast come back to it, it would arrive before this.
        marker = frame(mac, PEER_MAC, b"marker")
        sock.send(marker)
        self.assertEqual(self.guest.ok("recv 5000 12 %04x" % ETH_TEST), [marker.hex()])

    def test_two_interfaces_share_the_adapter_named_by_ip_and_by_mac(self):
        first = self.tun("10.77.0.51")[0]
        self.assertEqual(self.guest.ok("devbuf 1048576"), ["1048576"])
        second = self.tun("10.77.0.52", adapter=HOST_MAC.upper().replace(":", "-"))[0]
        self.assertEqual(self.guest.ok("devbuf"), ["1048576"])  # one adapter, one driver buffer
        for fd in (first, second):
            self.guest.ok("use " + fd)
            self.up()
        self.assertEqual(served_ping(self.guest, [("10.77.0.51", 2), ("10.77.0.52", 3)]), [2, 3])
        for fd, echoes in ((first, 2), (second, 3)):
            self.guest.ok("use " + fd)
            stats = self.guest.stats()
            self.assertGreaterEqual(stats["arp"], 1)
            # Two announcements (address set, up), its own ARP replies and echo replies only.
            self.assertEqual(stats["written"], 2 + stats["arp"] + echoes, stats)

    def test_notify_mode_delivers_through_the_descriptor_and_idles_without_spinning(self):
        self.tun("10.77.0.53", mode="notify")
        self.up()
        self.assertEqual(served_ping(self.guest, [("10.77.0.53", 3)]), [3])
        share, wakeups = self.idle_cpu()
        self.assertLessEqual(wakeups, 3)
        self.assertLess(share, 0.2, "CPU share %.3f idle" % share)
        self.guest.ok("close", 10)
        self.assertEqual(self.guest.quit(), 0)

    def test_arp_requests_edit_the_host_table_and_tun_writes_resolve_through_it(self):
        self.tun("10.77.0.54")
        self.up()
        neighbour = lambda: sh("ip neigh show 10.77.0.99", ns=HOST_NS).stdout
        self.assertEqual(self.guest.ok("arp-set 10.77.0.99 02:77:00:00:00:99"), [])
        if WINE:
            # Wine's IP Helper reports success but changes nothing, so nothing finds the entry.
            self.assertNotIn("02:77:00:00:00:99", neighbour())
            self.assertEqual(self.guest.err("arp-get 10.77.0.99"), (2, 1168))
        else:
            self.assertRegex(neighbour(), "dev %s lladdr 02:77:00:00:00:99 PERMANENT" % HOST_IF)
            self.assertEqual(self.guest.ok("arp-get 10.77.0.99"), ["02:77:00:00:00:99"])
        self.assertEqual(self.guest.ok("arp-del 10.77.0.99"), [])
        self.assertNotIn("02:77:00:00:00:99", neighbour())

        sh("ping -n -c 1 -W 2 " + PEER_IP, ns=HOST_NS)  # the host now knows the peer's MAC
        udp = udp_socket()
        self.addCleanup(udp.close)
        packet = udp_packet("10.77.0.54", PEER_IP, 4444, 5555, b"through the neighbour table")
        self.assertEqual(self.guest.ok("send " + packet.hex()), [str(len(packet))])
        self.assertEqual(udp.recvfrom(2048), (b"through the neighbour table", ("10.77.0.54", 4444)))

    def test_a_guest_writing_to_an_unowned_address_answers_the_lan_as_fast_as_when_quiet(self):
        self.tun("10.77.0.58")
        self.up()
        unowned = udp_packet("10.77.0.58", "10.77.0.200", 4444, 5555, b"nobody owns this").hex()
        quiet = served_rtts(self.guest, "10.77.0.58", 20)
        loaded = served_rtts(self.guest, "10.77.0.58", 20, unowned)
        median = lambda times: times[len(times) // 2]
        self.assertLess(median(loaded), median(quiet) + 5, "quiet %s, loaded %s" % (quiet, loaded))
        self.assertLess(loaded[-1], 100, loaded)

    def test_a_tun_guest_reaches_a_peer_the_host_never_knew(self):
        # Nothing on the host knows the peer: the guest's interface asks the link itself.
        sh("ip neigh del %s dev %s" % (PEER_IP, HOST_IF), ns=HOST_NS, check=False)
        self.tun("10.77.0.59")
        self.up()
        udp = udp_socket()
        self.addCleanup(udp.close)
        packet = udp_packet("10.77.0.59", PEER_IP, 4444, 5555, b"asked on the link")
        self.assertEqual(self.guest.ok("send " + packet.hex(), 5), [str(len(packet))])
        self.assertEqual(self.guest.ok("recv 1000"), ["-"])  # the answer is read, the packet follows it
        self.assertEqual(udp.recvfrom(2048), (b"asked on the link", ("10.77.0.59", 4444)))
        self.assertEqual(served_ping(self.guest, [("10.77.0.59", 2)]), [2])
        self.assertNotIn(PEER_MAC, sh("ip neigh show " + PEER_IP, ns=HOST_NS).stdout, "the host asked, not the guest")

    def test_a_tun_guest_in_shared_mac_mode_reaches_a_station_only_link(self):
        # The peer, like a Wi-Fi access point, takes frames from the host adapter's MAC only. In
        # own mode the guest is not heard: the pings go unanswered.
        station_only(PEER_NS, PEER_IF, HOST_MAC)
        self.addCleanup(sh, "nft delete table netdev station", PEER_NS)  # it would bind the next test's link of that name
        for mode, ip, flags, heard in ((2, "10.77.0.60", "102", True), (1, "10.77.0.61", "1", False)):
            with self.subTest(mode=mode):
                self.tun(ip)
                self.guest.ok("macmode %d" % mode)
                self.up()
                self.assertEqual(self.guest.ok("macmode"), [flags])  # 0x100: shared is in force
                if heard:
                    self.assertEqual(served_ping(self.guest, [(ip, 3)]), [3])
                else:
                    self.guest.send("echo 3000 1")
                    self.assertNotEqual(sh("ping -n -c 2 -i 0.2 -W 1 " + ip, ns=PEER_NS, check=False).returncode, 0)
                    self.assertEqual(self.guest.answer(), ["ok", "0"])
                self.guest.ok("close")

    def test_host_frames_with_offloaded_checksums_are_repaired_on_read(self):
        if WINE:
            self.skipTest("checksum offload of the host's own frames is a Linux matter")
        self.assertIn("tx-checksumming: on", sh("ethtool -k " + HOST_IF, ns=HOST_NS).stdout)
        _, _, mac = self.tun("10.77.0.55")
        self.up()
        # A frame the guest sends goes out on the wire, never into the host's stack: the host is
        # told the guest's MAC instead of asking for it.
        sh("ip neigh replace 10.77.0.55 lladdr %s dev %s nud permanent" % (mac, HOST_IF), ns=HOST_NS)
        with inside(HOST_NS):
            udp, tcp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM), socket.socket()
            wire = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(3))  # sees outgoing frames too
        for s in (udp, tcp, wire):
            self.addCleanup(s.close)
        wire.bind((HOST_IF, 3))
        wire.settimeout(5)
        tcp.setblocking(False)
        for proto, send in ((17, lambda: udp.sendto(b"offloaded", ("10.77.0.55", 7777))),
                            (6, lambda: tcp.connect_ex(("10.77.0.55", 7778)))):
            self.guest.send("recv 5000 9 %02x" % proto)
            send()
            packet = bytes.fromhex(self.guest.answer()[1])
            self.assertEqual(packet[12:20], socket.inet_aton(HOST_IP) + socket.inet_aton("10.77.0.55"))
            self.assertTrue(checksums_valid(packet), packet.hex())
            sent = wire.recv(65536)
            while sent[12:14] != b"\x08\x00" or sent[23] != proto:
                sent = wire.recv(65536)
            self.assertFalse(checksums_valid(sent[14:]), "the host finished the checksum itself: nothing was tested")

    def test_an_adapter_is_found_under_the_address_it_was_given_since(self):
        self.tun("10.77.0.57")
        sh("ip addr add 10.77.1.1/24 dev %s && ip addr del %s/24 dev %s" % (HOST_IF, HOST_IP, HOST_IF), ns=HOST_NS)
        self.guest.ok("open 10.77.1.1 tun")

    def test_a_lowered_mtu_drops_the_batch_it_refuses_and_single_frames_go_on(self):
        _, _, mac = self.guest.ok("open %s tap" % HOST_IP)
        self.up(tap=True)
        sock = packet_socket()
        self.addCleanup(sock.close)
        big, small = frame(PEER_MAC, mac, b"b" * 1186), frame(PEER_MAC, mac, b"after the batch")
        sh("ip link set %s mtu 1000" % HOST_IF, ns=HOST_NS)
        self.assertEqual(self.guest.err("send %s 3" % big.hex()), (10040, 10040))
        self.assertEqual(self.guest.ok("send " + small.hex()), [str(len(small))])
        self.assertEqual(sock.recv(65536), small)
        # The interface now follows the adapter's frame size, down and up again.
        self.assertEqual(self.guest.err("send " + big.hex()), (22, 87))
        sh("ip link set %s mtu 1500" % HOST_IF, ns=HOST_NS)
        wait_until(lambda: self.guest("send " + big.hex())[0] == "ok", 5, "a frame of 1200 bytes to go out")
        self.assertEqual(sock.recv(65536), big)

    def test_a_read_event_that_stays_signalled_costs_no_cpu(self):
        self.faulty_library("stuck-event")
        self.tun("10.77.0.60", mode="notify")
        self.up()
        self.assertLess(self.idle_cpu()[0], 0.05)
        self.assertEqual(served_ping(self.guest, [("10.77.0.60", 3)]), [3])

    def test_a_refused_minimum_to_copy_still_hands_a_lone_frame_over(self):
        self.faulty_library("mintocopy")
        self.tun("10.77.0.61")
        self.up()
        refused = [l for l in self.guest.debug if "WrenPack: pcap_setmintocopy(" in l]
        self.assertTrue(refused and refused[0].endswith("failed: the adapter refused the setting"), self.guest.debug)

    def test_a_send_queue_failing_partway_reports_the_frames_that_went_out(self):
        self.faulty_library("transmit:120")
        _, _, mac = self.guest.ok("open %s tap" % HOST_IP)
        self.up(tap=True)
        sock = packet_socket()
        self.addCleanup(sock.close)
        batch, after = frame(PEER_MAC, mac, b"batched"), frame(PEER_MAC, mac, b"after the batch")
        self.assertEqual(self.guest.err("send %s 300" % batch.hex()), (10055, 10055))
        told = "sent 120 of 300 frames; the rest are dropped"
        wait_until(lambda: any(l.endswith(told) for l in self.guest.debug), 5, told)
        self.assertEqual(self.guest.ok("send " + after.hex()), [str(len(after))])
        self.assertEqual([sock.recv(65536) for _ in range(121)], [batch] * 120 + [after])

    def test_receives_into_a_small_buffer_lose_no_frame_of_either_direction(self):
        path = os.path.join(os.path.dirname(os.path.abspath(ARGS.guest)), "libwrenpack.so")
        if WINE or "san.so" in sh("ldd " + path).stdout:
            self.skipTest("the Linux driver's two capture rings, loaded here (a sanitizer's runtime cannot be)")
        driver = ctypes.CDLL(path)
        driver.WrenPackOpenAdapter.restype = ctypes.c_void_p
        driver.WrenPackRecvPacket.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint32,
                                              ctypes.POINTER(ctypes.c_uint32), ctypes.c_void_p]
        driver.WrenPackCloseAdapter.argtypes = [ctypes.c_void_p]
        with inside(HOST_NS):
            handle = driver.WrenPackOpenAdapter((HOST_IF + "\0").encode("utf-16-le"))
            host = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
        self.assertTrue(handle)
        self.addCleanup(driver.WrenPackCloseAdapter, handle)
        self.addCleanup(host.close)
        peer = packet_socket()
        self.addCleanup(peer.close)
        host.bind((HOST_IF, 0))
        # Each ring holds several frames when the receives begin, and three fit one buffer.
        frames = {0x1: [frame(HOST_MAC, PEER_MAC, (b"in %d" % i).ljust(400, b".")) for i in range(12)],
                  0x3: [frame(PEER_MAC, HOST_MAC, (b"out %d" % i).ljust(400, b".")) for i in range(12)]}
        for i in range(12):
            peer.send(frames[0x1][i])
            host.send(frames[0x3][i])
        time.sleep(0.5)
        got, buffer, used = {0x1: [], 0x3: []}, ctypes.create_string_buffer(3 * (20 + 416)), ctypes.c_uint32()
        # Too small for even a cut record: the frame is kept for the next receive, and no error.
        self.assertEqual(driver.WrenPackRecvPacket(handle, buffer, 16, ctypes.byref(used), None), 1)
        self.assertEqual(used.value, 0)
        for _ in range(30):
            self.assertEqual(driver.WrenPackRecvPacket(handle, buffer, len(buffer), ctypes.byref(used), None), 1)
            at = 0
            while at < used.value:
                caplen, _, hdrlen, flags = struct.unpack_from("<IIHH", buffer.raw, at + 8)
                got.setdefault(flags, []).append(buffer.raw[at + hdrlen:at + hdrlen + caplen])
                at += hdrlen + (caplen + 3) // 4 * 4
        self.assertEqual(got, frames)

    def test_link_faults_leave_the_interface_usable_or_failing_cleanly(self):
        _, name, _ = self.tun("10.77.0.56")
        self.up()
        self.assertEqual(served_ping(self.guest, [("10.77.0.56", 2)]), [2])
        packet = udp_packet("10.77.0.56", PEER_IP, 4444, 5555, b"while the link is down").hex()
        sh("ip link set %s down" % PEER_IF, ns=PEER_NS)
        self.assertIn(self.guest("send " + packet)[0], ("ok", "err"))
        self.assertEqual(self.guest.ok("recv 300"), ["-"])
        sh("ip link set %s up" % PEER_IF, ns=PEER_NS)
        wait_until(carrier, 10, "the link's carrier")
        self.assertEqual(served_ping(self.guest, [("10.77.0.56", 2)]), [2])
        # The host's own link down and up again: the interface carries on.
        sh("ip link set %s down" % HOST_IF, ns=HOST_NS)
        self.assertEqual(self.guest.ok("recv 300"), ["-"])
        sh("ip link set %s up" % HOST_IF, ns=HOST_NS)
        wait_until(carrier, 10, "the link's carrier")
        self.assertEqual(served_ping(self.guest, [("10.77.0.56", 2)]), [2])

        # Down first and removed later: its capture tells only of the first, yet the loss is learnt.
        sh("ip link set %s down" % HOST_IF, ns=HOST_NS)
        self.assertEqual(self.guest.ok("recv 300"), ["-"])
        sh("ip link del " + HOST_IF, ns=HOST_NS)
        cpu = float(self.guest.ok("cpu")[0])
        errno, error = self.guest.err("send " + packet)
        self.assertTrue(errno and error, (errno, error))
        message = "dbg: ** CVifnet(%s)::WritePacket: WriteAdapter failed; rc=%d" % (name, error)
        wait_until(lambda: any(line.startswith(message) for line in self.guest.debug), 5, message)
        # A read learns of the lost adapter well before its deadline, and the loss is reported once.
        start = time.monotonic()
        self.assertEqual(self.guest.err("recv 10000"), (19, 55))
        self.assertLess(time.monotonic() - start, 3, "the read waited instead of failing")
        lost = [l for l in self.guest.debug if "::ReaderThread: WrenPackRecvPacket failed" in l]
        self.assertEqual(len(lost), 1, self.guest.debug[-5:])
        self.assertEqual(self.guest.err("recv 1000"), (19, 55))
        self.assertLess(float(self.guest.ok("cpu")[0]) - cpu, 0.5, "the guest spins on a vanished adapter")
        self.guest.ok("close")
        self.assertEqual(self.guest.quit(), 0)


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--guest", required=True, help="the guest program")
    parser.add_argument("--wine", action="store_true", help="the guest is a Windows program: run it under Wine")
    parser.add_argument("--wpcap", help="a wpcap.dll to install in the run's Wine prefix in place of Wine's")
    ARGS, rest = parser.parse_known_args()
    return run_tests(rest)


if __name__ == "__main__":
    sys.exit(main())
