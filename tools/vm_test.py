#!/usr/bin/env python3
"""End-to-end test of vifnet-bridge --qemu with a real virtual machine.

One topology, made here and removed afterwards: a "lan" namespace with a DHCP server (dnsmasq) and
an HTTP server on one end of a veth pair; a "host" namespace with the other end, the adapter the
bridge opens; QEMU, started in the host namespace too, connected to the bridge's socket. The VM
(scripts/vm-image.sh) prints markers on its serial console and takes commands there. No traffic
leaves the namespaces: QEMU has no network but the bridge's socket. The Linux bridge listens on a
Unix socket; with --wine the bridge is the Windows program, under Wine with a prefix and Wine
server of the run's own started in the host namespace, listening on TCP.
Usage: vm_test.py --bridge PATH --image DIR [--wine] [unittest arguments]
"""
import argparse
import hashlib
import os
import queue
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

TAG = "vvm%d" % os.getpid()
HOST_NS, LAN_NS = TAG + "h", TAG + "l"
HOST_IF, LAN_IF = TAG + "a", TAG + "b"
HOST_IP, LAN_IP, LEASES = "10.82.0.1", "10.82.0.2", ("10.82.0.100", "10.82.0.150")
SIZE = 20 * 1000 * 1000
KVM_LIMIT, TCG_LIMIT = 10, 120  # seconds from QEMU's start to the VM's init
ARGS = None
WINE = {}
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../scripts"))
from netns import end_process, make_link, remove_leftovers, run_tests, sh, wine_prefix  # noqa: E402


def stop(proc, reader):
    """Ends a child, then closes its streams once `reader` has read its output to the end."""
    end_process(proc, 10)
    reader.join(5)
    for stream in (proc.stdin, proc.stdout, proc.stderr):
        stream and stream.close()


def md5(path):
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "md5").hexdigest()


class VM:
    """QEMU in the host namespace, its serial console read line by line."""

    def __init__(self, options, accel):
        self.started = time.monotonic()
        command = ["qemu-system-x86_64", "-accel", accel, "-cpu", "host" if accel == "kvm" else "max", "-m", "256", "-smp", "1",
                   "-nodefaults", "-no-user-config", "-display", "none", "-serial", "stdio", "-no-reboot",
                   "-kernel", os.path.join(ARGS.image, "vmlinux"), "-initrd", os.path.join(ARGS.image, "initrd.img"),
                   "-append", ARGS.cmdline] + options
        self.proc = subprocess.Popen(["ip", "netns", "exec", HOST_NS] + command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.lines, self.console = queue.Queue(), []
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()

    def read(self):
        for line in self.proc.stdout:
            self.console.append(line.rstrip("\r\n"))
            self.lines.put(self.console[-1])
        self.lines.put(None)

    def expect(self, pattern, seconds):
        """The match of the first console line with the pattern; AssertionError after `seconds`."""
        deadline = time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0:
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                break
            if line is None:
                raise AssertionError("QEMU ended (%s) waiting for %s; console:\n%s" % (self.proc.wait(), pattern, self.tail()))
            if m := re.search(pattern, line):
                return m
        raise AssertionError("no %s within %d s; console:\n%s" % (pattern, seconds, self.tail()))

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def command(self, line, pattern, seconds=60):
        self.send(line)
        return self.expect(pattern, seconds)

    def tail(self):
        return "\n".join(self.console[-15:])

    def end(self):
        stop(self.proc, self.reader)


class VMTest(unittest.TestCase):
    accel = None  # the one that booted, kept for the reboot

    @classmethod
    def setUpClass(cls):
        remove_leftovers("vvm", r"-\w+")
        make_link(cls, (HOST_NS, LAN_NS), (HOST_NS, HOST_IF, HOST_IP), (LAN_NS, LAN_IF, LAN_IP))
        cls.dir = tempfile.mkdtemp(prefix=TAG + "-")
        cls.addClassCleanup(shutil.rmtree, cls.dir, True)
        cls.data = os.path.join(cls.dir, "data.bin")
        with open(cls.data, "wb") as f:
            f.write(os.urandom(SIZE))
        cls.leases, cls.log = os.path.join(cls.dir, "leases"), open(os.path.join(cls.dir, "lan.log"), "w+")
        cls.addClassCleanup(cls.log.close)
        cls.serve(["dnsmasq", "--no-daemon", "--log-dhcp", "--conf-file=/dev/null", "--no-ping", "--port=0", "--bind-interfaces",
                   "--interface=" + LAN_IF, "--dhcp-range=%s,%s,255.255.255.0,1h" % LEASES, "--dhcp-option=option:router," + LAN_IP,
                   "--dhcp-leasefile=" + cls.leases, "--user=root", "--group=root"])
        cls.serve(["python3", "-m", "http.server", "8000", "--bind", LAN_IP, "--directory", cls.dir])
        if ARGS.wine:
            WINE.update(wine_prefix(cls, cls.dir, ARGS.bridge, HOST_NS))

    @classmethod
    def serve(cls, command):
        proc = subprocess.Popen(["ip", "netns", "exec", LAN_NS] + command, stdout=cls.log, stderr=cls.log)
        cls.addClassCleanup(end_process, proc, 5)

    def setUp(self):
        if WINE:
            where = "tcp:127.0.0.1:%d" % (20000 + os.getpid() % 20000)
            program = ["env"] + ["%s=%s" % kv for kv in WINE.items()] + ["wine", ARGS.bridge]
        else:
            where, program = "unix:" + os.path.join(self.dir, "vm.sock"), [ARGS.bridge]
        self.bridge = subprocess.Popen(["ip", "netns", "exec", HOST_NS] + program + ["-a", HOST_IP, "--qemu", where],
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.err = []
        reader = threading.Thread(target=lambda: self.err.extend(self.bridge.stderr), daemon=True)
        reader.start()
        # After the bridge has ended: a sanitizer build reports at the fault or at exit.
        self.addCleanup(lambda: self.assertNotRegex("".join(self.err), "Sanitizer|runtime error|Assertion Failed"))
        self.addCleanup(stop, self.bridge, reader)
        ready = self.bridge.stdout.readline()
        m = re.search(r"MAC ([0-9a-f:]{17}).*options: (.*); ready$", ready)
        self.assertTrue(m, ready + "".join(self.err))
        self.mac, self.options = m.group(1), m.group(2).split()
        self.figures = {}

    def boot(self):
        """A VM on the bridge, up to its init: KVM where it boots, else software emulation. A KVM
        that cannot boot the kernel is remembered beside the image, so that it costs its time
        limit once per machine rather than once per run."""
        no_kvm = os.path.join(ARGS.image, "kvm-fails")
        failures = []
        for accel, limit in (("kvm", KVM_LIMIT), ("tcg", TCG_LIMIT)):
            if VMTest.accel not in (None, accel):
                continue
            if accel == "kvm" and (not os.access("/dev/kvm", os.R_OK | os.W_OK) or os.path.exists(no_kvm)):
                failures.append("KVM: unusable here")
                continue
            vm = VM(self.options, accel)
            try:
                vm.expect("VM-BOOT", limit)
                VMTest.accel = accel
                self.addCleanup(vm.end)
                return vm
            except AssertionError as e:
                vm.end()
                failures.append("%s: %s" % (accel, e))
                if accel == "kvm":
                    open(no_kvm, "w").close()
        raise unittest.SkipTest("QEMU cannot boot the VM here, with KVM nor in software emulation:\n" + "\n".join(failures))

    def leased(self, vm):
        lease = vm.expect(r"VM-LEASE (\S+) (\S+)|VM-NOLEASE", 60)
        if not lease.group(1):
            self.log.seek(0)
            self.fail("no lease; console:\n%s\nthe LAN's servers:\n%s\nthe bridge: %s" % (vm.tail(), self.log.read()[-3000:], "".join(self.err)))
        ip, router = lease.groups()
        self.figures.setdefault("boot to lease", "%.1f s (%s)" % (time.monotonic() - vm.started, VMTest.accel))
        self.assertEqual(router, LAN_IP)
        vm.expect("VM-READY", 30)
        with open(self.leases) as f:
            self.assertRegex(f.read(), r"\b%s %s\b" % (self.mac, re.escape(ip)), "dnsmasq's lease is for another MAC")
        return ip

    def pings(self, vm, ip):
        done = sh("ping -n -c 5 -i 0.2 -W 3 " + ip, ns=LAN_NS, check=False)
        self.assertIn(" 5 received", done.stdout, done.stdout + "".join(self.err))
        rtt = vm.command("ping " + LAN_IP, r"VM-PING (ok .*= [\d.]+/([\d.]+)/|fail)")
        self.assertTrue(rtt.group(1).startswith("ok"), vm.tail())
        self.figures.setdefault("ping RTT LAN->VM / VM->LAN", "%s / %s ms" % (
            re.search(r"= [\d.]+/([\d.]+)/", done.stdout).group(1), rtt.group(2)))

    def transfers(self, vm, ip):
        got = vm.command("fetch http://%s:8000/data.bin" % LAN_IP, r"VM-FETCH (\S+) ([\d.]+)")
        self.assertEqual(got.group(1), md5(self.data), "LAN -> VM: the file arrived changed")
        back = os.path.join(self.dir, "back.bin")
        done = sh("curl -sS --max-time 60 -o %s -w '%%{time_total}' http://%s/data.bin" % (back, ip), ns=LAN_NS, timeout=70)
        self.assertEqual(md5(back), md5(self.data), "VM -> LAN: the file arrived changed")
        rate = lambda seconds: "%.0f Mbit/s" % (SIZE * 8 / max(float(seconds), 0.01) / 1e6)
        self.figures["20 MB LAN->VM / VM->LAN"] = "%s / %s" % (rate(got.group(2)), rate(done.stdout))

    def test_a_vm_on_the_lan_through_the_bridge(self):
        vm, ip = self.boot(), None
        cases = (("DHCP lease from the LAN", lambda: self.leased(vm)),
                 ("ping both ways", lambda: self.pings(vm, ip)),
                 ("20 MB each way, checksums compared", lambda: self.transfers(vm, ip)),
                 ("reboot: QEMU connects again, the VM gets its lease and pings", lambda: self.reboot(vm, ip)))
        for name, case in cases:
            passed = False
            with self.subTest(name):
                ip = case() or ip
                passed = True
            if not passed:
                break  # each case stands on the ones before it
        print("\n%s %s" % ("Windows tool under Wine, TCP" if WINE else "Linux tool, Unix socket",
                           ", ".join("%s %s" % kv for kv in self.figures.items())))

    def reboot(self, vm, ip):
        vm.send("reboot")
        self.assertEqual(vm.proc.wait(60), 0, vm.tail())  # -no-reboot: QEMU ends with the VM
        vm = self.boot()
        self.assertEqual(self.leased(vm), ip)
        self.pings(vm, ip)
        self.assertIsNone(self.bridge.poll(), "the bridge ended with the VM: " + "".join(self.err))


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bridge", required=True, help="the vifnet-bridge program")
    parser.add_argument("--image", required=True, help="the VM's directory (scripts/vm-image.sh)")
    parser.add_argument("--wine", action="store_true", help="the bridge is the Windows program: run it under Wine")
    ARGS, rest = parser.parse_known_args()
    ARGS.bridge, ARGS.image = os.path.abspath(ARGS.bridge), os.path.abspath(ARGS.image)
    with open(os.path.join(ARGS.image, "cmdline")) as f:
        ARGS.cmdline = f.read().strip()
    return run_tests(rest, None if shutil.which("qemu-system-x86_64") else "QEMU cannot boot the VM: qemu-system-x86_64 is missing")


if __name__ == "__main__":
    sys.exit(main())
