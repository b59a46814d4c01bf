#!/usr/bin/env python3
"""End-to-end test of vifnet-bridge --qemu: a fake QEMU speaks the stream protocol (each frame
behind its length, 4 bytes big-endian) to the bridge, which runs in a "host" namespace whose
adapter is one end of a veth pair; the other end is a LAN peer in a "lan" namespace. Everything
is made here, named after this process, and removed afterwards; no traffic leaves the namespaces.
With --wine the bridge is the Windows program, run under Wine with a prefix and Wine server of
the run's own, started inside the host namespace (Wine's IP Helper answers from there).
Usage: qemu_test.py --bridge PATH [--wine] [unittest arguments]
"""
import argparse
import os
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

TAG = "vqt%d" % os.getpid()
HOST_NS, LAN_NS = TAG + "h", TAG + "l"
HOST_IF, LAN_IF = TAG + "a", TAG + "b"
HOST_IP, LAN_IP, GUEST_IP = "10.79.0.1", "10.79.0.2", "10.79.0.90"
ARGS = None
WINE = {}
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../scripts"))
from netns import inside, make_link, remove_leftovers, run_tests, sh, wait_until, wine_prefix  # noqa: E402


def checksum(data):
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def arp(op, src_mac, src_ip, dst_mac, dst_ip):
    eth_dst = b"\xff" * 6 if op == 1 else dst_mac
    return eth_dst + src_mac + struct.pack("!HHHBBH6s4s6s4s", 0x0806, 1, 0x0800, 6, 4, op, src_mac, socket.inet_aton(src_ip),
                                           dst_mac, socket.inet_aton(dst_ip))


def ping_frame(src_mac, dst_mac, seq):
    icmp = struct.pack("!BBHHH", 8, 0, 0, 0x5151, seq) + b"vifnet" * 8
    icmp = icmp[:2] + struct.pack("!H", checksum(icmp)) + icmp[4:]
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(icmp), seq, 0, 64, 1, 0, socket.inet_aton(GUEST_IP), socket.inet_aton(LAN_IP))
    ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
    return dst_mac + src_mac + b"\x08\x00" + ip + icmp


class FakeQemu:
    """The VM's end of the socket: frames in and out, answering ARP for the guest's address."""

    def __init__(self, where, mac):
        self.mac = mac
        kind, _, rest = where.partition(":")
        if kind == "unix":
            self.sock = socket.socket(socket.AF_UNIX)
            self.sock.connect(rest)
        else:
            host, port = rest.rsplit(":", 1)
            with inside(HOST_NS):
                self.sock = socket.create_connection((host, int(port)), timeout=10)
        self.sock.settimeout(10)
        self.data = b""

    def send(self, frame, length=None):
        self.sock.sendall(struct.pack("!I", len(frame) if length is None else length) + frame)

    def receive(self):
        """The next frame, or None when the bridge closed the connection."""
        while len(self.data) < 4 or len(self.data) < 4 + struct.unpack("!I", self.data[:4])[0]:
            more = self.sock.recv(65536)
            if not more:
                return None
            self.data += more
        n = struct.unpack("!I", self.data[:4])[0]
        frame, self.data = self.data[4:4 + n], self.data[4 + n:]
        return frame

    def wait_for(self, wanted):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            frame = self.receive()
            assert frame is not None, "the bridge closed the connection"
            if frame[12:14] == b"\x08\x06" and frame[20:22] == b"\x00\x01" and frame[38:42] == socket.inet_aton(GUEST_IP):
                self.send(arp(2, self.mac, GUEST_IP, frame[22:28], socket.inet_ntoa(frame[28:32])))
            elif wanted(frame):
                return frame
        raise AssertionError("no such frame within 10 s")

    def ping_lan_peer(self):
        self.send(arp(1, self.mac, GUEST_IP, b"\0" * 6, LAN_IP))
        reply = self.wait_for(lambda f: f[12:14] == b"\x08\x06" and f[20:22] == b"\x00\x02" and f[28:32] == socket.inet_aton(LAN_IP))
        peer_mac = reply[22:28]
        for seq in (1, 2):
            self.send(ping_frame(self.mac, peer_mac, seq))
            self.wait_for(lambda f: f[0:6] == self.mac and f[12:14] == b"\x08\x00" and f[34] == 0 and f[40:42] == struct.pack("!H", seq))

    def closed_by_bridge(self):
        try:
            while self.receive() is not None:
                pass
            return True
        except (ConnectionResetError, socket.timeout):
            return False

    def close(self):
        self.sock.close()


class QemuSocketTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        remove_leftovers("vqt")
        make_link(cls, (HOST_NS, LAN_NS), (HOST_NS, HOST_IF, HOST_IP), (LAN_NS, LAN_IF, LAN_IP))
        cls.dir = tempfile.mkdtemp(prefix=TAG)
        cls.addClassCleanup(shutil.rmtree, cls.dir, True)
        if ARGS.wine:
            WINE.update(wine_prefix(cls, cls.dir, ARGS.bridge, HOST_NS))

    def start(self, where):
        program = ["env"] + ["%s=%s" % kv for kv in WINE.items()] + ["wine", ARGS.bridge] if WINE else [ARGS.bridge]
        proc = subprocess.Popen(["ip", "netns", "exec", HOST_NS] + program + ["-a", HOST_IP, "-i", GUEST_IP, "--qemu", where],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        err = []
        reader = threading.Thread(target=lambda: err.extend(proc.stderr), daemon=True)
        reader.start()

        def end():
            proc.kill()
            proc.communicate(timeout=20)
            reader.join(5)
            self.assertNotRegex("".join(err), "Sanitizer|runtime error|Assertion Failed")
        self.addCleanup(end)
        ready = proc.stdout.readline()
        self.assertTrue(ready.endswith("ready\n"), ready + "".join(err))
        mac = re.search(r"MAC ([0-9a-f:]{17})", ready).group(1)
        self.assertIn("-device virtio-net-pci,netdev=n0,mac=" + mac, ready)
        return bytes(int(x, 16) for x in mac.split(":")), err

    def connect(self, where, mac):
        client = FakeQemu(where, mac)
        self.addCleanup(client.close)
        return client

    def test_a_vm_reaches_the_lan_across_reconnects_and_broken_lengths(self):
        wheres = ["tcp:127.0.0.1:%d" % (20000 + os.getpid() % 20000)]
        if not WINE:
            wheres.append("unix:" + os.path.join(self.dir, "vm.sock"))
        # What a broken peer sends: a length of 0, one shorter than an Ethernet header, one longer
        # than the MTU + 14 (the MTU is 1500 here), a length prefix cut short by the close.
        broken = [(b"", 0), (b"\0" * 13, None), (b"\0" * 1515, None)]
        for where in wheres:
            with self.subTest(where=where):
                mac, err = self.start(where)
                vm = self.connect(where, mac)
                vm.ping_lan_peer()
                vm.close()  # the VM reboots: the next connection carries on
                for frame, length in broken:
                    vm = self.connect(where, mac)
                    vm.send(frame, length)
                    self.assertTrue(vm.closed_by_bridge(), (len(frame), length))
                    vm.close()
                wait_until(lambda: len(re.findall("; waiting for the next connection", "".join(err))) == 4, 10, "the closes reported")
                self.assertRegex("".join(err), r"a frame length of 1515 bytes, outside 14 to 1514 .*: connection closed;")
                vm = self.connect(where, mac)
                vm.sock.sendall(b"\0\0")  # half a length, then a VM that reboots
                vm.close()
                vm = self.connect(where, mac)
                vm.ping_lan_peer()


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bridge", required=True, help="the vifnet-bridge program")
    parser.add_argument("--wine", action="store_true", help="the bridge is the Windows program: run it under Wine")
    ARGS, rest = parser.parse_known_args()
    ARGS.bridge = os.path.abspath(ARGS.bridge)
    return run_tests(rest)


if __name__ == "__main__":
    sys.exit(main())
