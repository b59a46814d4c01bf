#!/usr/bin/env python3
"""End-to-end comparison: a guest network namespace reaches a LAN namespace in three ways.

    LAN ns  [lan veth 10.88.0.2, iperf3 server] ==veth== [host veth 10.88.0.1]  host ns
                                                          |
      library-tap / library-tun: vifnet-bridge, library on the host veth  <->  TAP/TUN dev in guest ns
      shuttle2:                  pcap_shuttle --threads: one blocking thread per direction
      shuttle:                   pcap_shuttle, one poll loop; libpcap on the host veth <-> TAP dev
      kernel:                    Linux bridge of the host veth and a veth pair into the guest ns
                                                          |
                                             guest ns [10.88.0.10]

A TAP device reaches its namespace's stack only through the process holding its descriptor, so
the kernel-only path gives the guest a veth pair bridged to the host veth instead.
Every topology is built fresh for its method and removed after it; MTU 1500 everywhere, and
segmentation and checksum offloads off on every link but the guest's own device, so that every
path carries the same frames on the wire; the guest's stack may hand over 64 KB segments where
its path takes them (--no-guest-offloads: not even there). Measured from the guest to the LAN: TCP throughput (one iperf3 stream), 64-byte UDP
packets per second received by the LAN's iperf3, ping round-trip times, and the CPU time the
program in the middle spends per GB of the TCP run and (first round) over 10 idle seconds. Then between the host
namespace and its own guest (the library's paths, and the kernel bridge once the bridge has the
host's address; the shuttle has no way from the host to its guest): ping round-trip times and
TCP throughput both ways, the iperf3 server in the guest.
Usage (root): e2e.py --bin build/linux/bin [--methods ...] [--rounds N] [--json FILE] [--perf DIR]
"""
import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../scripts"))
from netns import CommandFailed, end_process, remove_leftovers, sh, wait_until  # noqa: E402

METHODS = ("library-tap", "library-tun", "shuttle2", "shuttle", "kernel")
# Idle CPU of the program in the middle is measured over this many seconds, in the first round.
IDLE_SECONDS = 10
PREFIX = "vfb%d" % os.getpid()
LAN_NS, HOST_NS, GUEST_NS = PREFIX + "l", PREFIX + "h", PREFIX + "g"
LAN_IF, HOST_IF, GUEST_IF, PORT_IF, BRIDGE = PREFIX + "lan", PREFIX + "host", PREFIX + "g", PREFIX + "port", PREFIX + "br"
LAN_IP, HOST_IP, GUEST_IP = "10.88.0.2", "10.88.0.1", "10.88.0.10"
LAN_MAC, HOST_MAC = "02:88:00:00:00:02", "02:88:00:00:00:01"
ARGS = None


def log(text):
    print("e2e: " + text, file=sys.stderr, flush=True)


def quiet_offloads(ns, dev):
    """Segmentation and checksum offloads off; says which could not be (some are fixed)."""
    features = ("tso", "gso", "gro", "tx", "rx")
    if sh("ethtool -K %s %s" % (dev, " ".join(f + " off" for f in features)), ns, check=False).returncode == 0:
        return []
    return [f for f in features if sh("ethtool -K %s %s off" % (dev, f), ns, check=False).returncode != 0]


class Run:
    """One method's topology: built on entry, measured, removed on exit whatever happened."""

    def __init__(self, method):
        self.method, self.procs, self.logs, self.warnings = method, [], {}, []

    def __enter__(self):
        try:
            self.build()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *_):
        for name, proc in reversed(self.procs):
            end_process(proc, 10)
            if not name.startswith("iperf3-server") and proc.returncode not in (0, -15):  # the server exits 1 when stopped
                self.warnings.append("%s exited %s: %s" % (name, proc.returncode, self.tail(name)))
        for out in self.logs.values():
            out.close()
        for ns in (GUEST_NS, HOST_NS, LAN_NS):
            sh("ip netns del " + ns, check=False)

    def start(self, name, command, ns=None):
        out = open(os.path.join(ARGS.logs, "%s-%s.log" % (self.method, name)), "w+")
        self.logs[name] = out
        full = ["ip", "netns", "exec", ns] + command if ns else command
        self.procs.append((name, subprocess.Popen(full, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)))
        return self.procs[-1][1]

    def output(self, name):
        out = self.logs[name]
        out.flush()
        out.seek(0)
        return out.read().splitlines()

    def tail(self, name):
        return " | ".join(self.output(name)[-5:])

    def build(self):
        for ns in (LAN_NS, HOST_NS, GUEST_NS):
            sh("ip netns add " + ns)
            # No IPv6: the links carry only the traffic measured (and ARP).
            sh("ip link set lo up && for c in all default; do echo 1 >/proc/sys/net/ipv6/conf/$c/disable_ipv6; done", ns)
        sh("ip link add %s netns %s address %s mtu 1500 type veth peer name %s netns %s address %s mtu 1500"
           % (HOST_IF, HOST_NS, HOST_MAC, LAN_IF, LAN_NS, LAN_MAC))
        sh("ip addr add %s/24 dev %s && ip link set %s up" % (LAN_IP, LAN_IF, LAN_IF), LAN_NS)
        links = [(LAN_NS, LAN_IF), (HOST_NS, HOST_IF), (GUEST_NS, GUEST_IF)]
        if self.method == "kernel":
            sh("ip link add %s mtu 1500 type bridge forward_delay 0 stp_state 0" % BRIDGE, HOST_NS)
            sh("ip link add %s netns %s mtu 1500 type veth peer name %s netns %s mtu 1500"
               % (PORT_IF, HOST_NS, GUEST_IF, GUEST_NS))
            for dev in (HOST_IF, PORT_IF):
                sh("ip link set %s master %s && ip link set %s up" % (dev, BRIDGE, dev), HOST_NS)
            sh("ip link set %s up" % BRIDGE, HOST_NS)
            links += [(HOST_NS, PORT_IF), (HOST_NS, BRIDGE)]
        else:
            sh("ip addr add %s/24 dev %s && ip link set %s up" % (HOST_IP, HOST_IF, HOST_IF), HOST_NS)
            wait_until(lambda: "LOWER_UP" in sh("ip -o link show " + HOST_IF, HOST_NS).stdout, 10, "the host link")
            self.start(self.method, self.guest_device_command(), HOST_NS)
            # Both programs print a line ending in "ready" once the device exists and is joined.
            wait_until(lambda: self.ready() or self.ended(), 15, "the guest's device")
            if self.ended():
                raise RuntimeError("%s ended: %s" % (self.method, self.tail(self.method)))
        for ns, dev in links:
            # The guest's own stack may hand over 64 KB segments where its path takes them (the
            # library's bridge and the kernel's), like for like; the shuttles' TAP devices get
            # whole frames from the kernel either way. Every other link carries MTU-sized frames.
            if ARGS.guest_offloads and dev == GUEST_IF:
                continue
            fixed = quiet_offloads(ns, dev)
            if fixed:
                self.warnings.append("%s: could not turn off %s" % (dev, ",".join(fixed)))
        sh("ip link set %s mtu 1500 up && ip addr add %s/24 dev %s" % (GUEST_IF, GUEST_IP, GUEST_IF), GUEST_NS)
        self.start("iperf3-server", ["iperf3", "-s", "-B", LAN_IP], LAN_NS)
        wait_until(lambda: ":5201" in sh("ss -Hltn", LAN_NS).stdout, 10, "the iperf3 server")
        wait_until(lambda: sh("ping -n -c 1 -W 1 " + LAN_IP, GUEST_NS, check=False).returncode == 0, 20,
                   "the LAN to answer the guest's ping")

    def ready(self):
        return any(line.endswith("ready") for line in self.output(self.method))

    def ended(self):
        return self.procs[0][1].poll() is not None

    def guest_device_command(self):
        if self.method.startswith("shuttle"):
            threads = ["--threads"] if self.method == "shuttle2" else []
            return [os.path.join(ARGS.bin, "pcap_shuttle")] + threads + [HOST_IF, GUEST_IF, GUEST_NS]
        mode = self.method.split("-")[1]
        return [os.path.join(ARGS.bin, "vifnet-bridge"), "--adapter", HOST_IP, "--mode", mode, "--ip", GUEST_IP,
                "--netmask", "255.255.255.0", "--dev", GUEST_IF, "--netns", GUEST_NS]

    def ping(self, ns=GUEST_NS, target=LAN_IP, prefix=""):
        done = sh("ping -n -c %d -i 0.002 -W 1 %s" % (ARGS.pings, target), ns, check=False, timeout=ARGS.pings + 30)
        times = sorted(float(t) * 1000 for t in re.findall(r"time=([\d.]+) ms", done.stdout))
        if not times:
            raise RuntimeError("no ping answered: " + done.stdout + done.stderr)
        return {prefix + "rtt_median_us": statistics.median(times),
                prefix + "rtt_p99_us": times[min(len(times) - 1, int(len(times) * 0.99))],
                prefix + "ping_lost": ARGS.pings - len(times)}

    def cpu_seconds(self):
        """User and system time of the program in the middle, all its threads (None: no such program)."""
        if self.method == "kernel":
            return None
        with open("/proc/%d/stat" % self.procs[0][1].pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def iperf(self, options, watch=None, ns=GUEST_NS, target=LAN_IP):
        """One iperf3 run from ns (the guest by default); watch(pid) runs meanwhile. The receiver's summary."""
        command = "iperf3 -c %s -t %d -J %s" % (target, ARGS.seconds, options)
        client = subprocess.Popen(["ip", "netns", "exec", ns, "sh", "-c", command], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
        if watch:
            time.sleep(1)  # past the start of the stream
            watch(self.procs[0][1].pid)
        out, err = client.communicate(timeout=ARGS.seconds + 60)
        result = json.loads(out) if out.strip().startswith("{") else {}
        if "error" in result or "end" not in result:
            raise RuntimeError("iperf3 %s: %s %s" % (options, result.get("error", out[-300:]), err[-300:]))
        return result["end"]["sum_received"]

    def lan_received(self):
        return int(sh("cat /sys/class/net/%s/statistics/rx_packets" % LAN_IF, LAN_NS).stdout)

    def measure(self, profile=False, idle=False):
        figures = {}
        if idle and self.method != "kernel":
            # Nothing moves now but the odd neighbour message: what the program costs at rest.
            time.sleep(1)
            before = self.cpu_seconds()
            time.sleep(IDLE_SECONDS)
            figures["idle_cpu_pct"] = (self.cpu_seconds() - before) / IDLE_SECONDS * 100
        figures.update(self.ping())
        time.sleep(0.5)
        before = self.cpu_seconds()
        tcp = self.iperf("")
        figures["tcp_gbps"] = tcp["bits_per_second"] / 1e9
        if before is not None:
            figures["cpu_s_per_gb"] = (self.cpu_seconds() - before) / (tcp["bytes"] / 1e9)
        time.sleep(0.5)
        # The LAN's own iperf3 reads its socket slower than a fast path delivers, so the rate is
        # counted where the datagrams reach the far end: the LAN link. What the server itself
        # read is kept too.
        before = self.lan_received()
        received = self.iperf("-u -l 64 -b 0")
        figures["udp64_pps"] = (self.lan_received() - before) / received["seconds"]
        figures["udp64_app_pps"] = received["bytes"] / 64 / received["seconds"]
        if profile and self.method != "kernel":
            self.profile()
        if not self.method.startswith("shuttle"):
            try:
                figures.update(self.measure_host())
            except (RuntimeError, CommandFailed, subprocess.TimeoutExpired, ValueError) as error:
                self.warnings.append("host <-> guest not measured: %s" % error)
        return figures

    def measure_host(self):
        """The host namespace and its own guest. The library's way goes through vifnet-bridge
        (raw socket towards the host, the host's neighbour entry and the capture back); the
        kernel bridge's is the bridge itself, once it carries the host's address."""
        if self.method == "kernel":
            sh("ip addr add %s/24 dev %s" % (HOST_IP, BRIDGE), HOST_NS)
        self.start("iperf3-server-guest", ["iperf3", "-s", "-B", GUEST_IP], GUEST_NS)
        wait_until(lambda: ":5201" in sh("ss -Hltn", GUEST_NS).stdout, 10, "the guest's iperf3 server")
        wait_until(lambda: sh("ping -n -c 1 -W 1 " + GUEST_IP, HOST_NS, check=False).returncode == 0, 20,
                   "the guest to answer the host's ping")
        figures = self.ping(HOST_NS, GUEST_IP, "host_")
        time.sleep(0.5)
        figures["host_tcp_gbps"] = self.iperf("", ns=HOST_NS, target=GUEST_IP)["bits_per_second"] / 1e9
        time.sleep(0.5)
        figures["host_tcp_rev_gbps"] = self.iperf("-R", ns=HOST_NS, target=GUEST_IP)["bits_per_second"] / 1e9
        return figures

    def profile(self):
        """Two more TCP runs of the program in the middle: system calls and switches per thread,
        then a call-graph profile (a separate run: the profiler's cost stays out of the figures)."""
        events = ",".join(["task-clock", "context-switches"] + ["syscalls:sys_enter_" + c for c in (
            "read", "write", "poll", "epoll_wait", "sendto", "recvfrom", "sendmmsg", "futex")])
        stat = os.path.join(ARGS.perf, self.method + "-stat.txt")
        data = os.path.join(ARGS.perf, self.method + ".data")
        seconds = str(max(1, ARGS.seconds - 2))
        for old in (stat, data):
            if os.path.exists(old):
                os.remove(old)
        for command in (["perf", "stat", "-o", stat, "--per-thread", "-e", events],
                        ["perf", "record", "-o", data, "--call-graph", "dwarf", "-F", "999"]):
            done = []
            self.iperf("", lambda pid: done.append(subprocess.run(command + ["-p", str(pid), "--", "sleep", seconds],
                                                                  capture_output=True, text=True)))
            if done[0].returncode != 0:
                self.warnings.append("%s failed: %s" % (" ".join(command[:2]), done[0].stderr.strip()[-200:]))
            time.sleep(0.5)


def median_figures(rounds):
    """Per figure, the median of the rounds that have it (the host's figures may be missing from some)."""
    keys = dict.fromkeys(key for r in rounds for key in r)
    return {key: statistics.median(r[key] for r in rounds if key in r) for key in keys}


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True, help="directory of vifnet-bridge and pcap_shuttle")
    parser.add_argument("--methods", default=",".join(METHODS), help="comma-separated, of: " + ", ".join(METHODS))
    parser.add_argument("--seconds", type=int, default=5, help="length of each iperf3 run")
    parser.add_argument("--pings", type=int, default=500, help="pings at 2 ms intervals")
    parser.add_argument("--rounds", type=int, default=1, help="runs of every method, interleaved; figures are medians")
    parser.add_argument("--no-guest-offloads", dest="guest_offloads", action="store_false",
                        help="turn segmentation and checksum offloads off at the guest's device too (default: left on)")
    parser.add_argument("--json", help="write the figures here (default: standard output)")
    parser.add_argument("--perf", help="profile vifnet-bridge and pcap_shuttle in extra TCP runs (last round) into this directory")
    parser.add_argument("--logs", help="directory for the programs' output (default: beside --json, else a new temporary one)")
    ARGS = parser.parse_args()
    if os.geteuid() != 0 or not shutil.which("ip") or not shutil.which("iperf3"):
        print("e2e: needs root, iproute2 and iperf3", file=sys.stderr)
        return 77
    ARGS.bin = os.path.abspath(ARGS.bin)
    if not ARGS.logs:
        ARGS.logs = os.path.dirname(os.path.abspath(ARGS.json)) if ARGS.json else tempfile.mkdtemp(prefix=PREFIX)
    os.makedirs(ARGS.logs, exist_ok=True)
    if ARGS.perf:
        os.makedirs(ARGS.perf, exist_ok=True)
    methods = [m for m in ARGS.methods.split(",") if m]
    if set(methods) - set(METHODS):
        parser.error("unknown method: " + ", ".join(set(methods) - set(METHODS)))
    if not os.access(os.path.join(ARGS.bin, "vifnet-bridge"), os.X_OK):
        skipped = [m for m in methods if m.startswith("library")]
        methods = [m for m in methods if m not in skipped]
        skipped and log("no vifnet-bridge in %s: skipping %s" % (ARGS.bin, ", ".join(skipped)))

    remove_leftovers("vfb")
    rounds, results = {m: [] for m in methods}, {"methods": {}, "warnings": [], "errors": {}}
    for n in range(ARGS.rounds):
        for method in methods:
            log("round %d: %s" % (n + 1, method))
            run = Run(method)
            try:
                with run:
                    rounds[method].append(run.measure(ARGS.perf and n == ARGS.rounds - 1, n == 0))
                log("  " + ", ".join("%s=%.4g" % kv for kv in rounds[method][-1].items()))
            except (RuntimeError, CommandFailed, subprocess.TimeoutExpired, ValueError) as error:
                log("  %s failed: %s" % (method, error))
                results["errors"].setdefault(method, []).append(str(error))
            results["warnings"] += ["%s: %s" % (method, w) for w in run.warnings]
    for method, figures in rounds.items():
        if figures:
            results["methods"][method] = dict(median_figures(figures), rounds=len(figures))
    results["settings"] = {"seconds": ARGS.seconds, "pings": ARGS.pings, "rounds": ARGS.rounds, "mtu": 1500,
                           "guest_offloads": ARGS.guest_offloads}
    text = json.dumps(results, indent=2)
    if ARGS.json:
        with open(ARGS.json, "w") as out:
            out.write(text + "\n")
    else:
        print(text)
    return 0 if results["methods"] and not results["errors"] else 1


if __name__ == "__main__":
    sys.exit(main())
