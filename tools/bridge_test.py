#!/usr/bin/env python3
"""End-to-end test of vifnet-bridge between network namespaces it does not know about.

A "host" namespace holds the adapter (one end of a veth pair) and runs the bridge; the other end
is in a "lan" namespace; the bridge makes its kernel device in a "guest" namespace. Everything is
made here, named after this process, and removed afterwards; no traffic leaves the namespaces.
Usage: bridge_test.py --bridge PATH [unittest arguments]
"""
import argparse
import os
import pwd
import re
import signal
import socket
import subprocess
import sys
import threading
import unittest

TAG = "vbt%d" % os.getpid()
HOST_NS, LAN_NS, GUEST_NS = TAG + "h", TAG + "l", TAG + "g"
HOST_IF, LAN_IF = TAG + "a", TAG + "b"
BARE_IF, BARE_LAN_IF, BARE_MAC = TAG + "c", TAG + "d", "02:88:00:00:00:01"  # an adapter without IPv4 address
HOST_IP, LAN_IP = "10.78.0.1", "10.78.0.2"
BRIDGE = None
KEPT_CAPS = 1 << 13 | 1 << 12  # CAP_NET_RAW and CAP_NET_ADMIN: the library's, for the host's way to its guest
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../scripts"))
from netns import inside, remove_leftovers, run_tests, sh  # noqa: E402


def ping(ns, ip, bridge, count=3):
    done = sh("ping -n -c %d -i 0.2 -W 3 %s" % (count, ip), ns=ns, check=False)
    assert " %d received" % count in done.stdout, done.stdout + done.stderr + bridge.stderr()


def proc_status(path):
    with open(path) as f:
        return dict(line.rstrip("\n").split(":\t", 1) for line in f if ":\t" in line)


class Bridge:
    """vifnet-bridge in the host namespace; its first line says it is ready."""

    def __init__(self, *args):
        self.proc = subprocess.Popen(["ip", "netns", "exec", HOST_NS, BRIDGE, "-a", HOST_IP, "-N", GUEST_NS] + list(args),
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.err = []  # read all along: a sanitizer report must not fill the pipe and stall it
        self.reader = threading.Thread(target=lambda: self.err.extend(self.proc.stderr), daemon=True)
        self.reader.start()
        self.ready = self.proc.stdout.readline()
        if not self.ready.endswith("ready\n"):
            self.end()
            raise AssertionError("not ready: %r %s" % (self.ready, self.stderr()))

    def stderr(self):
        return "".join(self.err)

    def status(self):
        """The fields of the running bridge's /proc status (ip netns exec runs it in its own place),
        with the effective capabilities of each of its threads (they are each thread's own)."""
        fields = proc_status("/proc/%d/status" % self.proc.pid)
        tasks = "/proc/%d/task" % self.proc.pid
        fields["CapEff"] = {int(proc_status(os.path.join(tasks, t, "status"))["CapEff"], 16) for t in os.listdir(tasks)}
        return fields

    def end(self, sig=signal.SIGKILL):
        """Sends the signal; (exit status, rest of stdout)."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        out = self.proc.communicate(timeout=20)[0]
        self.reader.join(5)
        return self.proc.returncode, out


class BridgeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        remove_leftovers("vbt")
        for ns in (HOST_NS, LAN_NS, GUEST_NS):
            sh("ip netns add " + ns)
            cls.addClassCleanup(sh, "ip netns del " + ns, None, False)
            # No IPv6: the only frames on the link are the ones the tests cause.
            sh("ip link set lo up && for c in all default; do echo 1 >/proc/sys/net/ipv6/conf/$c/disable_ipv6; done", ns=ns)
        sh("ip link add %s netns %s type veth peer name %s netns %s" % (HOST_IF, HOST_NS, LAN_IF, LAN_NS))
        sh("ip addr add %s/24 dev %s && ip link set %s up" % (HOST_IP, HOST_IF, HOST_IF), ns=HOST_NS)
        # A real wire carries finished checksums; a veth leaves them to the receiver unless told.
        sh("ip addr add %s/24 dev %s && ip link set %s up && ethtool -K %s tx off >/dev/null" % (LAN_IP, LAN_IF, LAN_IF, LAN_IF), ns=LAN_NS)
        # A LAN peer on a subnet that is not the host adapter's, on the same link.
        sh("ip addr add 10.66.0.2/24 dev " + LAN_IF, ns=LAN_NS)
        sh("ip link add %s netns %s address %s type veth peer name %s netns %s" % (BARE_IF, HOST_NS, BARE_MAC, BARE_LAN_IF, LAN_NS))
        sh("ip link set %s up" % BARE_IF, ns=HOST_NS)
        sh("ip addr add 10.77.0.2/24 dev %s && ip link set %s up && ethtool -K %s tx off >/dev/null" % ((BARE_LAN_IF,) * 3), ns=LAN_NS)

    def start(self, *args):
        bridge = Bridge(*args)
        # Whatever the test's outcome: no sanitizer report (they come at the fault or at exit).
        self.addCleanup(lambda: self.assertNotRegex(bridge.stderr(), "Sanitizer|runtime error|Assertion Failed"))
        self.addCleanup(bridge.end)
        return bridge

    def echo_over_tcp(self, server_ns, server_ip, client_ns):
        """More than a batch each way, and in both directions at once, through an echo server."""
        payload = os.urandom(300 * 1024)
        with inside(server_ns):
            server = socket.create_server((server_ip, 7000))
        with inside(client_ns):
            client = socket.socket()
        for s in (server, client):
            self.addCleanup(s.close)
            s.settimeout(10)

        def echo():
            conn, _ = server.accept()
            server.close()  # the next echo may listen on the same address
            with conn:
                conn.settimeout(10)
                while data := conn.recv(65536):
                    conn.sendall(data)

        threading.Thread(target=echo, daemon=True).start()
        client.connect((server_ip, 7000))
        threading.Thread(target=lambda: (client.sendall(payload), client.shutdown(socket.SHUT_WR)), daemon=True).start()
        received = bytearray()
        while data := client.recv(65536):
            received += data
        self.assertEqual(bytes(received), payload)

    def stop(self, bridge, sig, device):
        status, out = bridge.end(sig)
        self.assertEqual(status, 0, bridge.stderr())
        self.assertIn("Statistics of", out)
        self.assertNotEqual(sh("ip link show " + device, ns=GUEST_NS, check=False).returncode, 0, "the device outlived the bridge")
        return out

    def test_help_and_bad_arguments(self):
        done = subprocess.run([BRIDGE, "--help"], capture_output=True, text=True)
        self.assertEqual(done.returncode, 0)
        self.assertIn("Usage: vifnet-bridge", done.stdout)
        for option in ("--adapter", "--mode", "--ip", "--netmask", "--dev", "--netns", "--user", "--stats", "--debug", "CAP_NET_RAW",
                       "Example", "--qemu", "Linux bridge"):
            self.assertIn(option, done.stdout)
        for args in (["--mode", "tup", "--ip", "10.0.0.5"], ["--ip", "10.0.0.256"], [], ["--ip", "10.0.0.5", "--stats", "0"],
                     ["--ip", "10.0.0.5/24", "--netmask", "255.0.0.0"], ["--bogus"], ["--adapter", "eth0", "--ip", "10.0.0.5"],
                     ["--qemu", "tcp:10.0.0.1"], ["--qemu", "unix:"], ["--qemu", "tcp:127.0.0.1:5555", "--mode", "tun"]):
            done = subprocess.run([BRIDGE] + args, capture_output=True, text=True)
            self.assertEqual(done.returncode, 2, args)
            self.assertRegex(done.stderr, r"\Avifnet-bridge: [^\n]+\n\Z", args)

    def test_tun_carries_ping_both_ways_and_tcp(self):
        bridge = self.start("-i", "10.78.0.77/24", "-d", TAG + "t", "-s", "1")
        status = bridge.status()
        self.assertEqual(status["Name"], "vifnet-bridge")
        self.assertEqual(status["CapEff"], {KEPT_CAPS}, status)  # in every thread
        sh("ip addr add 10.78.0.77/24 dev %st" % TAG, ns=GUEST_NS)
        ping(LAN_NS, "10.78.0.77", bridge)
        ping(GUEST_NS, LAN_IP, bridge)

        self.echo_over_tcp(GUEST_NS, "10.78.0.77", LAN_NS)
        self.assertRegex(bridge.proc.stdout.readline(), r"^\[ *\d+\.\d s\] to guest \d+ .*, to LAN \d+ ")  # every second

        out = self.stop(bridge, signal.SIGINT, TAG + "t")
        counts = dict(re.findall(r"^ +(packets to the guest|packets to the LAN|frames sent) +(\d+)$", out, re.M))
        self.assertGreater(int(counts["packets to the guest"]), 200, out)
        self.assertGreater(int(counts["packets to the LAN"]), 200, out)

    def test_tap_carries_ping_with_the_guest_mac(self):
        bridge = self.start("-m", "tap", "-i", "10.78.0.78", "-d", TAG + "p", "--user", "nobody")
        status = bridge.status()
        self.assertEqual((status["Name"], status["Uid"].split()[0], status["CapEff"]),
                         ("vifnet-bridge", str(pwd.getpwnam("nobody").pw_uid), {KEPT_CAPS}), status)
        mac = re.search(r"MAC ([0-9a-f:]{17})", bridge.ready).group(1)
        self.assertEqual(mac, "02:00:5e:ce:00:4e")  # made from the guest's address
        self.assertIn("link/ether " + mac, sh("ip link show %sp" % TAG, ns=GUEST_NS).stdout)
        sh("ip addr add 10.78.0.78/24 dev %sp" % TAG, ns=GUEST_NS)
        ping(LAN_NS, "10.78.0.78", bridge)
        ping(GUEST_NS, LAN_IP, bridge)
        self.stop(bridge, signal.SIGTERM, TAG + "p")

    def test_guest_apart_from_the_host_adapters_address(self):
        # An adapter without IPv4 address, opened by its MAC text; a guest on a subnet that is not the
        # host adapter's. With --debug, which also reports the library's internal assertions.
        for adapter, mode, ip, lan_ip in (("02-88-00-00-00-01", "tun", "10.77.0.77", "10.77.0.2"),
                                          ("02-88-00-00-00-01", "tap", "10.77.0.78", "10.77.0.2"),
                                          (HOST_IP, "tun", "10.66.0.77", "10.66.0.2")):
            with self.subTest(adapter=adapter, mode=mode):
                dev = TAG + mode
                bridge = self.start("-a", adapter, "-m", mode, "-i", ip + "/24", "-d", dev, "--debug")
                sh("ip addr add %s/24 dev %s" % (ip, dev), ns=GUEST_NS)
                ping(LAN_NS, ip, bridge)
                ping(GUEST_NS, lan_ip, bridge)
                self.stop(bridge, signal.SIGTERM, dev)

    def test_the_host_and_its_guest_reach_each_other(self):
        own_entries = lambda: sh("ip neigh show proto 86 dev " + HOST_IF, ns=HOST_NS).stdout
        for mode, ip in (("tun", "10.78.0.79"), ("tap", "10.78.0.80")):
            with self.subTest(mode=mode):
                dev = TAG + mode
                bridge = self.start("-m", mode, "-i", ip + "/24", "-d", dev)
                mac = re.search(r"MAC ([0-9a-f:]{17})", bridge.ready).group(1)
                self.assertRegex(own_entries(), "^%s lladdr %s PERMANENT" % (ip, mac))
                sh("ip addr add %s/24 dev %s" % (ip, dev), ns=GUEST_NS)
                ping(HOST_NS, ip, bridge)
                ping(GUEST_NS, HOST_IP, bridge)
                ping(LAN_NS, ip, bridge)
                self.echo_over_tcp(GUEST_NS, ip, HOST_NS)
                self.echo_over_tcp(HOST_NS, HOST_IP, GUEST_NS)
                self.stop(bridge, signal.SIGTERM, dev)
                self.assertEqual(own_entries(), "")
        # A killed bridge leaves its entry; the next open of the adapter removes it.
        self.start("-i", "10.78.0.81", "-d", TAG + "k").end(signal.SIGKILL)
        self.assertIn("10.78.0.81 ", own_entries())
        bridge = self.start("-i", "10.78.0.82", "-d", TAG + "n")
        self.assertRegex(own_entries(), r"\A10\.78\.0\.82 [^\n]*\n\Z")
        self.stop(bridge, signal.SIGTERM, TAG + "n")


def main():
    global BRIDGE
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bridge", required=True, help="the vifnet-bridge program")
    args, rest = parser.parse_known_args()
    BRIDGE = os.path.abspath(args.bridge)
    return run_tests(rest, None if os.path.exists("/dev/net/tun") else "TUN devices need /dev/net/tun")


if __name__ == "__main__":
    sys.exit(main())
