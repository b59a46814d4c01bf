"""What the scripts that build network namespaces share: running commands in a namespace,
entering one from Python, waiting for a condition, and removing what a killed run left behind."""
import contextlib
import ctypes
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

_libc = ctypes.CDLL(None, use_errno=True)
_CLONE_NEWNET = 0x40000000


class CommandFailed(AssertionError):
    """A command that had to succeed did not (an assertion, so that tests report it as a failure)."""


def sh(command, ns=None, check=True, timeout=30):
    """Runs a shell command (inside a namespace when given); returns its completed process."""
    full = ["ip", "netns", "exec", ns, "sh", "-c", command] if ns else ["sh", "-c", command]
    done = subprocess.run(full, capture_output=True, text=True, timeout=timeout)
    if check and done.returncode != 0:
        raise CommandFailed("%r failed (%d): %s%s" % (command, done.returncode, done.stdout, done.stderr))
    return done


def wait_until(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise CommandFailed("timed out waiting for " + what)
        time.sleep(0.05)


@contextlib.contextmanager
def inside(ns):
    """Runs the block in a namespace: sockets made there stay in it after the block."""
    with open("/proc/thread-self/ns/net") as own, open("/run/netns/" + ns) as target:
        if _libc.setns(target.fileno(), _CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns " + ns)
        try:
            yield
        finally:
            _libc.setns(own.fileno(), _CLONE_NEWNET)


def remove_leftovers(prefix, folders=None):
    """Removes the namespaces named <prefix><pid><letter> whose process is gone (a run killed
    before it could clean up) and, when `folders` is a pattern of the rest of a name, the
    temporary folders <prefix><pid><rest> of such runs, first ending the Wine server of a
    folder that holds a Wine prefix (as wine/)."""
    for ns in sh("ip netns list").stdout.split():
        m = re.fullmatch(re.escape(prefix) + r"(\d+)[a-z]", ns)
        if m and not os.path.exists("/proc/" + m.group(1)):
            sh("ip netns del " + ns, check=False)
    for name in os.listdir(tempfile.gettempdir()) if folders else ():
        m = re.fullmatch(re.escape(prefix) + r"(\d+)" + folders, name)
        if m and not os.path.exists("/proc/" + m.group(1)):
            path = os.path.join(tempfile.gettempdir(), name)
            wine = os.path.join(path, "wine")
            if os.path.isdir(wine):  # a new prefix writes its registry files late
                subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=wine), capture_output=True, timeout=30)
            shutil.rmtree(path, ignore_errors=True)


def make_link(test_class, namespaces, host, lan):
    """Makes the namespaces (removed when the class's tests are done), without IPv6 so that the
    only frames on the link are the ones the tests cause, and joins the first two by a veth pair:
    `host` and `lan` are (namespace, device, address) of its ends, each given a /24 and brought
    up. The LAN end sends finished checksums, as a real wire carries them (a veth leaves them to
    the receiver unless told)."""
    for ns in namespaces:
        sh("ip netns add " + ns)
        test_class.addClassCleanup(sh, "ip netns del " + ns, None, False)
        sh("ip link set lo up && for c in all default; do echo 1 >/proc/sys/net/ipv6/conf/$c/disable_ipv6; done", ns=ns)
    (host_ns, host_if, host_ip), (lan_ns, lan_if, lan_ip) = host, lan
    sh("ip link add %s netns %s type veth peer name %s netns %s" % (host_if, host_ns, lan_if, lan_ns))
    sh("ip addr add %s/24 dev %s && ip link set %s up" % (host_ip, host_if, host_if), ns=host_ns)
    sh("ip addr add %s/24 dev %s && ip link set %s up && ethtool -K %s tx off >/dev/null" % (lan_ip, lan_if, lan_if, lan_if), ns=lan_ns)


def end_process(proc, seconds):
    """Ends a child politely (SIGTERM), and for good when it has not gone within `seconds`."""
    proc.terminate()
    try:
        proc.wait(seconds)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def run_tests(rest, missing=None):
    """Runs this file's test cases with the unittest arguments `rest`: the exit status, 77 (the
    test runner's "skipped") when the machine lacks what they need, as `missing` says."""
    if os.geteuid() != 0 or not shutil.which("ip"):
        missing = missing or "network namespaces need root and iproute2"
    if missing:
        print("skipped: " + missing)
        return 77
    result = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2).result
    if result.wasSuccessful() and result.skipped and len(result.skipped) == result.testsRun:
        return 77  # every test found the machine short of something, and said what
    return 0 if result.wasSuccessful() else 1


def station_only(ns, dev, mac):
    """Makes `dev`, the LAN's end of a veth pair, treat the other end as a wireless station whose
    MAC is `mac`: it takes only frames from that address, and hands on only frames for it or for
    group addresses (the low bit of the first byte). Removed by `nft delete table netdev station`."""
    rules = """table netdev station {
        chain from_station { type filter hook ingress device "%s" priority 0; policy drop; ether saddr %s accept; }
        chain to_station { type filter hook egress device "%s" priority 0; policy drop; ether daddr %s accept; @ll,7,1 1 accept; }
    }""" % (dev, mac, dev, mac)
    sh("nft -f - <<'EOF'\n%s\nEOF" % rules, ns=ns)


def wine_prefix(test_class, folder, program, ns, wpcap=None):
    """A Wine prefix of the class's own in `folder`/wine, with its server kept running in the
    namespace `ns` until the class's tests are done (Wine's IP Helper answers from a process the
    server starts, which must see the namespace's links): a copy of the build's initialised prefix
    beside `program`'s folder when that one has been written out (a few seconds less than a new
    one), else a new one. With `wpcap`, that file is the capture library Wine loads. Returns the
    environment for Wine."""
    built = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(program))), "wineprefix")
    prefix = os.path.join(folder, "wine")
    if os.path.isfile(os.path.join(built, "system.reg")):
        sh("cp -a '%s' '%s'" % (built, prefix))
    else:
        os.mkdir(prefix)  # the server needs the folder; the first program fills it
    env = dict(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    if wpcap:
        # Wine loads its own library for any wpcap.dll unless told to take the file.
        os.makedirs(os.path.join(prefix, "drive_c/windows/system32/Npcap"), exist_ok=True)
        shutil.copy(wpcap, os.path.join(prefix, "drive_c/windows/system32/Npcap/wpcap.dll"))
        env.update(WINEDLLOVERRIDES="wpcap=n,b;mscoree,mshtml=")
    line = "VIFNET_WINEPREFIX='%s' WINEDEBUG='%s' WINEDLLOVERRIDES='%s' '%s'" % (
        prefix, env["WINEDEBUG"], env["WINEDLLOVERRIDES"], os.path.join(os.path.dirname(os.path.abspath(__file__)), "wine-server"))
    test_class.addClassCleanup(sh, line + " stop -", None, False)
    sh(line + " start -", ns=ns, timeout=180)
    return env
