#!/usr/bin/env bash
# The one benchmark command (as root): installs what is needed, builds the linux preset, runs the
# micro benchmarks on the simulated driver and the end-to-end comparison between network
# namespaces, prints one table of every figure against its target and writes the figures as JSON.
#   bash bench/run.sh [e2e.py options, e.g. --rounds 3 or --perf build/bench/perf]
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  echo "bench: run as root (network namespaces)" >&2
  exit 1
fi
bash scripts/install-deps.sh
out=build/bench
mkdir -p "$out"
echo "== building (linux preset)"
if ! { cmake --preset linux && cmake --build --preset linux -j "$(nproc)"; } >"$out/build.log" 2>&1; then
  tail -n 30 "$out/build.log" >&2
  echo "bench: the build failed; see $out/build.log" >&2
  exit 1
fi
rm -f "$out/micro.json" "$out/e2e.json"
micro=build/linux/sim/vifnet_bench_micro
if [ -x "$micro" ]; then
  echo "== micro benchmarks (simulated driver)"
  # Google Benchmark writes its progress to stderr and the figures to stdout.
  "$micro" --benchmark_format=json >"$out/micro.json" 2>"$out/micro.log" ||
    { echo "bench: $micro failed; see $out/micro.log" >&2; rm -f "$out/micro.json"; }
else
  echo "== micro benchmarks: $micro is not built (Google Benchmark missing?): skipped"
fi

echo "== end to end, between network namespaces (about half a minute per path)"
python3 bench/e2e/e2e.py --bin build/linux/bin --json "$out/e2e.json" "$@" || [ -f "$out/e2e.json" ]
echo
python3 bench/e2e/report.py --micro "$out/micro.json" --e2e "$out/e2e.json" --out "$out/results.json"
