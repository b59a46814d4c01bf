#!/usr/bin/env python3
"""Joins the micro benchmarks' JSON and the end-to-end figures into one table and one JSON file.

Every figure is shown with its target and whether it is met; end-to-end targets are ratios of
paths measured side by side in the same run, since absolute rates vary from machine to machine.
Usage: report.py [--micro FILE] --e2e FILE --out FILE
"""
import argparse
import json
import os
import platform
import sys

# (benchmark, JSON key, unit, minimum or None): the micro figures, in the table's order.
MICRO = [
    ("read/tap60", "items_per_second", "frames/s", 5e6),
    ("read/tap1514", "items_per_second", "frames/s", None),
    ("write/tun_onlink", "items_per_second", "packets/s", 1e6),
    ("write/tun_offlink", "items_per_second", "packets/s", None),
    ("write/multi", "items_per_second", "frames/s", None),
    ("checksum/1500", "bytes_per_second", "B/s", 5e9),
    ("emulator/stream", "items_per_second", "frames/s", None),
    ("emulator/latency", "median_us", "us median", None),
    ("emulator/latency", "p99_us", "us p99", None),
]
# End-to-end rows: (key, label, unit, how to show).
E2E = [
    ("tcp_gbps", "TCP throughput", "Gbit/s", "%.2f"),
    ("udp64_pps", "UDP 64 B at LAN link", "packets/s", None),
    ("udp64_app_pps", "UDP 64 B read by iperf3", "packets/s", None),
    ("rtt_median_us", "ping RTT median", "us", "%.0f"),
    ("rtt_p99_us", "ping RTT p99", "us", "%.0f"),
    ("cpu_s_per_gb", "CPU per GB moved, TCP", "s", "%.2f"),
    ("idle_cpu_pct", "CPU over 10 idle seconds", "% of a core", "%.2f"),
]
# Host <-> guest rows, the same way; a path that does not measure them shows "—".
HOST = [
    ("host_tcp_gbps", "TCP host -> guest", "Gbit/s", "%.2f"),
    ("host_tcp_rev_gbps", "TCP guest -> host (-R)", "Gbit/s", "%.2f"),
    ("host_rtt_median_us", "ping RTT median", "us", "%.0f"),
    ("host_rtt_p99_us", "ping RTT p99", "us", "%.0f"),
]
# (label, figure, reference path, kind, bound): "min" is library / reference >= bound, "max" is
# library / reference <= bound, "plus" is library <= reference + bound, "at most" is library <=
# bound whatever the reference. The reference is the two-thread shuttle, what people write by hand.
COMPARISONS = [
    ("RTT median, library / 2-thread shuttle", "rtt_median_us", "shuttle2", "max", 1.0),
    ("RTT p99, library / 2-thread shuttle", "rtt_p99_us", "shuttle2", "max", 1.5),
    ("TCP throughput, library / 2-thread shuttle", "tcp_gbps", "shuttle2", "min", 1.5),
    ("TCP throughput, library / kernel bridge", "tcp_gbps", "kernel", "min", 0.8),
    ("UDP 64 B rate, library / 2-thread shuttle", "udp64_pps", "shuttle2", "min", 1.5),
    ("CPU per GB, library / 2-thread shuttle", "cpu_s_per_gb", "shuttle2", "max", 1.0),
    ("idle CPU, library (% of a core)", "idle_cpu_pct", None, "at most", 0.5),
    ("RTT median, library - kernel bridge", "rtt_median_us", "kernel", "plus", 100.0),
]
METHODS = {"library-tap": "library TAP", "library-tun": "library TUN", "shuttle2": "2-thread shuttle",
           "shuttle": "1-thread shuttle", "kernel": "kernel bridge"}


def si(value, unit=""):
    space = "" if unit.startswith("B") else " "  # 5.00 GB/s, 5.00 M frames/s
    for factor, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if value >= factor:
            return ("%.2f %s" + space + "%s") % (value / factor, prefix, unit)
    return ("%.0f " + unit) % value


def micro_figures(path):
    """name -> the chosen entry of Google Benchmark's JSON (the median when repeated)."""
    if not path or not os.path.isfile(path):
        return {}
    with open(path) as f:
        entries = json.load(f).get("benchmarks", [])
    found = {}
    for name, key, _, _ in MICRO:
        runs = [e for e in entries if (e["name"] == name or e["name"].startswith(name + "/")) and key in e]
        runs = [e for e in runs if e.get("aggregate_name") == "median"] or [e for e in runs if e.get("run_type") != "aggregate"]
        if runs:
            found.setdefault(name, {"name": runs[0]["name"]})[key] = runs[0][key]
    return found


def table(rows):
    widths = [max(len(str(r[i])) for r in rows) for i in range(len(rows[0]))]
    lines = ["  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip() for r in rows]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--micro", help="vifnet_bench_micro --benchmark_format=json output")
    parser.add_argument("--e2e", required=True, help="e2e.py --json output")
    parser.add_argument("--out", required=True, help="where to write the joined figures")
    args = parser.parse_args()
    with open(args.e2e) as f:
        e2e = json.load(f)
    methods = e2e.get("methods", {})
    targets, out = [], []

    micro = micro_figures(args.micro)
    rows = [("micro benchmark", "figure", "target", "met")]
    for name, key, unit, minimum in MICRO:
        if name not in micro or key not in micro[name]:
            rows.append((name, "not run", ">= " + si(minimum, unit) if minimum else "-", "NO" if minimum else ""))
            if minimum is not None:
                targets.append({"figure": "micro " + name, "value": None, "target": ">= %g" % minimum, "met": False})
            continue
        value = micro[name][key]
        met = None if minimum is None else value >= minimum
        rows.append((name, si(value, unit), ">= " + si(minimum, unit) if minimum else "-", {None: "", True: "yes", False: "NO"}[met]))
        if minimum is not None:
            targets.append({"figure": "micro " + name, "value": value, "target": ">= %g" % minimum, "met": met})
    out += [table(rows), ""]

    shown = [m for m in METHODS if m in methods]
    rows = [("end to end, guest -> LAN",) + tuple(METHODS[m] for m in shown)]
    for key, label, unit, fmt in E2E:
        rows.append(("%s (%s)" % (label, unit),) + tuple(
            "—" if key not in methods[m] else fmt % methods[m][key] if fmt else si(methods[m][key]) for m in shown))
    out += [table(rows), ""]

    if any(key in methods[m] for m in shown for key, _, _, _ in HOST):
        rows = [("end to end, host <-> own guest",) + tuple(METHODS[m] for m in shown)]
        for key, label, unit, fmt in HOST:
            rows.append(("%s (%s)" % (label, unit),) + tuple(fmt % methods[m][key] if key in methods[m] else "—" for m in shown))
        out += [table(rows), ""]

    # Both modes are held to the bounds: TAP carries whole frames as the shuttles and the kernel
    # bridge do, TUN is what an emulator without its own link layer gets.
    rows = [("side by side", "library", "reference", "measured", "target", "met")]
    for library in ("library-tap", "library-tun"):
        for label, key, reference, kind, bound in COMPARISONS:
            label = "%s: %s" % (METHODS[library].split()[1], label)
            target = {"min": ">= %.1fx", "max": "<= %.1fx", "plus": "<= +%.0f us", "at most": "<= %.1f"}[kind] % bound
            entry = {"figure": label, "target": target, "met": False, "value": None}
            mine = methods.get(library, {}).get(key)
            theirs = methods.get(reference, {}).get(key) if reference else 0.0
            if mine is None or theirs is None:
                rows.append((label, "-", "-", "not run", target, "NO"))
            else:
                if kind in ("min", "max"):
                    entry["value"] = mine / theirs if theirs else 0.0
                    measured = "%.2fx" % entry["value"]
                elif kind == "plus":
                    entry["value"] = mine - theirs
                    measured = "%+.0f us" % entry["value"]
                else:
                    entry["value"] = measured = mine
                    measured = "%.2f" % mine
                entry["met"] = entry["value"] >= bound if kind == "min" else entry["value"] <= bound
                rows.append((label, "%.4g" % mine, "%.4g" % theirs if reference else "-", measured, target,
                             "yes" if entry["met"] else "NO"))
            targets.append(entry)
    out.append(table(rows))

    offloads = "on" if e2e.get("settings", {}).get("guest_offloads") else "off"
    out.append("\n%d of %d targets met (a figure not measured is not met; guest-side offloads %s, like for like;"
               " offloads off on every other link)" % (sum(bool(t["met"]) for t in targets), len(targets), offloads))
    for method, errors in e2e.get("errors", {}).items():
        out.append("e2e %s failed: %s" % (method, errors[-1]))
    for warning in e2e.get("warnings", []):
        out.append("warning: " + warning)
    results = {"machine": {"cpus": os.cpu_count(), "kernel": platform.release()}, "micro": micro, "e2e": e2e,
               "targets": targets}
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as f:
        json.dump(results, f, indent=2)
    print("\n".join(out))
    print("\nfigures: " + os.path.abspath(args.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
