#!/usr/bin/env python3
"""End-to-end test of vifnet-bridge between network namespaces it does not know about.

A "host" namespace holds the adapter (one end of a veth pair) and runs the bridge; the other end
is in a "lan" namespace; the bridge makes its kernel device in a "guest" namespace. Everything is
made here, named after this process, and removed afterwards; no traffic leaves the namespaces.
Usage: bridge_test.py --bridge PATH [unittest arguments]
"""
import argparse
import contextlib
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import unittest

TAG = "vbt%d" % os.getpid()
HOST_NS, LAN_NS, GUEST_NS, OTHER_NS = TAG + "h", TAG + "l", TAG + "g", TAG + "o"  # OTHER_NS: a second guest
HOST_IF, LAN_IF = TAG + "a", TAG + "b"
BARE_IF, BARE_LAN_IF, BARE_MAC = TAG + "c", TAG + "d", "02:88:00:00:00:01"  # an adapter without IPv4 address
HOST_IP, LAN_IP = "10.78.0.1", "10.78.0.2"
BRIDGE = None
SANITIZER = "Sanitizer|runtime error|Assertion Failed"  # what no bridge may write, at a fault or at exit
KEPT_CAPS = 1 << 13 | 1 << 12  # CAP_NET_RAW and CAP_NET_ADMIN: the library's, for the host's way to its guest
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../scripts"))
from netns import end_process, inside, make_link, remove_leftovers, run_tests, sh, station_only  # noqa: E402


def ping(ns, ip, bridge, count=3):
    done = sh("ping -n -c %d -i 0.2 -W 3 %s" % (count, ip), ns=ns, check=False)
    assert " %d received" % count in done.stdout, done.stdout + done.stderr + bridge.stderr()


def proc_status(path):
    with open(path) as f:
        return dict(line.rstrip("\n").split(":\t", 1) for line in f if ":\t" in line)


class Bridge:
    """vifnet-bridge in the host namespace; its first line says it is ready."""

    def __init__(self, *args, ns=GUEST_NS):
        self.proc = subprocess.Popen(["ip", "netns", "exec", HOST_NS, BRIDGE, "-a", HOST_IP, "-N", ns] + list(args),
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
        make_link(cls, (HOST_NS, LAN_NS, GUEST_NS, OTHER_NS), (HOST_NS, HOST_IF, HOST_IP), (LAN_NS, LAN_IF, LAN_IP))
        # A LAN peer on a subnet that is not the host adapter's, on the same link.
        sh("ip addr add 10.66.0.2/24 dev " + LAN_IF, ns=LAN_NS)
        sh("ip link add %s netns %s address %s type veth peer name %s netns %s" % (BARE_IF, HOST_NS, BARE_MAC, BARE_LAN_IF, LAN_NS))
        sh("ip link set %s up" % BARE_IF, ns=HOST_NS)
        sh("ip addr add 10.77.0.2/24 dev %s && ip link set %s up && ethtool -K %s tx off >/dev/null" % ((BARE_LAN_IF,) * 3), ns=LAN_NS)

    def start(self, *args, ns=GUEST_NS):
        bridge = Bridge(*args, ns=ns)
        # Whatever the test's outcome: no sanitizer report (they come at the fault or at exit).
        self.addCleanup(lambda: self.assertNotRegex(bridge.stderr(), SANITIZER))
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

    def stop(self, bridge, sig, device, ns=GUEST_NS):
        status, out = bridge.end(sig)
        self.assertEqual(status, 0, bridge.stderr())
        self.assertIn("Statistics of", out)
        self.assertNotEqual(sh("ip link show " + device, ns=ns, check=False).returncode, 0, "the device outlived the bridge")
        return out

    def test_help_and_bad_arguments(self):
        done = subprocess.run([BRIDGE, "--help"], capture_output=True, text=True)
        self.assertEqual(done.returncode, 0)
        self.assertIn("Usage: vifnet-bridge", done.stdout)
        for option in ("--adapter", "--mode", "--mac-mode", "--ip", "--netmask", "--dev", "--netns", "--user", "--stats", "--debug",
                       "CAP_NET_RAW", "Example", "--qemu", "Linux bridge"):
            self.assertIn(option, done.stdout)
        for args in (["--mode", "tup", "--ip", "10.0.0.5"], ["--ip", "10.0.0.256"], [], ["--ip", "10.0.0.5", "--stats", "0"],
                     ["--ip", "10.0.0.5/24", "--netmask", "255.0.0.0"], ["--bogus"], ["--adapter", "eth0", "--ip", "10.0.0.5"],
                     ["--qemu", "tcp:10.0.0.1"], ["--qemu", "unix:"], ["--qemu", "tcp:127.0.0.1:5555", "--mode", "tun"],
                     ["--ip", "10.0.0.5", "--mac-mode", "wifi"]):
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

    # A link that, like Wi-Fi, carries only the host adapter's MAC: cases of (mac mode, guests as
    # (tun|tap, address or None for DHCP), whether they reach the LAN).
    STATION_CASES = (("shared", (("tun", "10.78.0.90"),), True),
                     ("shared", (("tap", "10.78.0.91"),), True),
                     ("shared", (("tap", None),), True),
                     ("shared", (("tap", "10.78.0.92"), ("tun", "10.78.0.93")), True),
                     ("auto", (("tun", "10.78.0.94"),), False))

    def test_shared_mac_mode_on_a_station_only_link(self):
        host_mac = sh("cat /sys/class/net/%s/address" % HOST_IF, ns=HOST_NS).stdout.strip()
        station_only(LAN_NS, LAN_IF, host_mac)
        self.addCleanup(sh, "nft delete table netdev station", LAN_NS)
        self.dhcp_server()
        for case, (mac_mode, guests, reaches) in enumerate(self.STATION_CASES):
            with self.subTest(mac_mode=mac_mode, guests=guests), contextlib.ExitStack() as running:
                sh("ip neigh flush all", ns=LAN_NS)
                up = []
                for (mode, ip), ns in zip(guests, (GUEST_NS, OTHER_NS)):
                    dev = TAG + "s%d%d" % (case, len(up))
                    bridge = Bridge("-m", mode, "-d", dev, "--mac-mode", mac_mode, *(("-i", ip + "/24") if ip else ()), ns=ns)
                    running.callback(lambda b=bridge: self.assertNotRegex(b.stderr(), SANITIZER))
                    running.callback(bridge.end)  # a failed case's guests must not answer for the next one's
                    self.assertIn("MAC mode shared (asked)" if reaches else "MAC mode own (auto: adapter is wired)", bridge.ready)
                    ip = ip or self.lease(ns, dev, bridge)
                    sh("ip addr add %s/24 dev %s" % (ip, dev), ns=ns)
                    up.append((bridge, ns, dev, ip))
                for bridge, ns, dev, ip in up:
                    if not reaches:
                        self.assertNotEqual(sh("ping -n -c 2 -i 0.2 -W 1 " + LAN_IP, ns=ns, check=False).returncode, 0)
                        continue
                    ping(ns, LAN_IP, bridge)  # first: a TAP guest's address is learnt from its traffic
                    ping(LAN_NS, ip, bridge)
                    # Each guest gets its own traffic only: a transfer with one is no more than
                    # a few frames (ARP, broadcasts) to any other.
                    received = lambda: [int(sh("cat /sys/class/net/%s/statistics/rx_packets" % d, ns=n).stdout) for _, n, d, _ in up]
                    before = received()
                    self.echo_over_tcp(ns, ip, LAN_NS)
                    self.echo_over_tcp(LAN_NS, LAN_IP, ns)
                    for (_, _, d, _), count, was in zip(up, received(), before):
                        self.assertTrue(count - was > 200 if d == dev else count - was < 20, (d, was, count))
        # A host that forwards IPv4 on the adapter is warned of.
        sh("sysctl -qw net.ipv4.conf.%s.forwarding=1" % HOST_IF, ns=HOST_NS)
        self.addCleanup(sh, "sysctl -qw net.ipv4.conf.%s.forwarding=0" % HOST_IF, HOST_NS)
        bridge = self.start("-i", "10.78.0.95", "-d", TAG + "w", "--mac-mode", "shared")
        self.assertIn("WARNING: this host forwards IPv4 on the adapter", bridge.ready)

    def dhcp_server(self):
        """dnsmasq on the LAN, with leases in memory; pinging an address before offering it would
        take 3 s."""
        files = tempfile.mkdtemp(prefix=TAG + "-dnsmasq")  # its pid file (it replaces what is there) and an empty configuration
        self.addCleanup(shutil.rmtree, files, True)
        open(os.path.join(files, "conf"), "w").close()
        server = subprocess.Popen(["ip", "netns", "exec", LAN_NS, "dnsmasq", "-k", "--no-ping", "-p", "0", "-C", files + "/conf",
                                   "-x", files + "/pid", "-i", LAN_IF, "--bind-interfaces", "--leasefile-ro", "-u", "root",
                                   "-F", "10.78.0.150,10.78.0.159,255.255.255.0"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(end_process, server, 5)

    def lease(self, ns, dev, bridge):
        """The address a guest is leased by DHCP (asked without the broadcast flag: the bridge sets it)."""
        done = sh("busybox udhcpc -f -q -n -t 4 -T 1 -s /bin/true -i " + dev, ns=ns, check=False, timeout=20)
        found = re.search(r"lease of ([\d.]+) obtained", done.stdout + done.stderr)
        self.assertTrue(found, done.stdout + done.stderr + bridge.stderr())
        return found.group(1)


def main():
    global BRIDGE
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bridge", required=True, help="the vifnet-bridge program")
    args, rest = parser.parse_known_args()
    BRIDGE = os.path.abspath(args.bridge)
    return run_tests(rest, None if os.path.exists("/dev/net/tun") else "TUN devices need /dev/net/tun")


if __name__ == "__main__":
    sys.exit(main())
