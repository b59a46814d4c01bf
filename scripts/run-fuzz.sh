#!/usr/bin/env bash
# Builds the libFuzzer targets (preset linux-fuzz, clang) and runs each one for a bounded time,
# VIFNET_FUZZ_SECONDS each (default 20), as many at once as there are cores. Each run starts from
# a scratch copy of its seeds in fuzz/corpus/, so the inputs it finds never land in the
# repository. Fails when a target crashes, leaks or trips a sanitizer; the input that did it is
# kept in build/linux-fuzz/artifacts/ and the end of the target's log is printed.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${VIFNET_FUZZ_SECONDS:-20}
targets=(fuzz_receive_walk fuzz_fix_checksums fuzz_arp fuzz_tun_write)
build=build/linux-fuzz

mkdir -p build
if ! { cmake --preset linux-fuzz && cmake --build --preset linux-fuzz; } >build/linux-fuzz.log 2>&1; then
  tail -n 60 build/linux-fuzz.log
  echo "run-fuzz: build failed"
  exit 1
fi
rm -f build/linux-fuzz.log

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts=$PWD/$build/artifacts
mkdir -p "$artifacts"

run() {
  local target=$1
  mkdir -p "$work/$target"
  cp fuzz/corpus/"$target"/* "$work/$target/"
  "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$artifacts/$target-" "$work/$target" >"$work/$target.log" 2>&1
}

jobs=$(nproc)
failed=()
for ((i = 0; i < ${#targets[@]}; i += jobs)); do
  batch=("${targets[@]:i:jobs}")
  pids=()
  for target in "${batch[@]}"; do
    run "$target" &
    pids+=($!)
  done
  for k in "${!batch[@]}"; do
    target=${batch[k]}
    if wait "${pids[k]}"; then
      runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/$target.log" | grep -o '[0-9]*$')
      echo "run-fuzz: $target: ${runs:-?} runs in ${seconds}s, no failure"
    else
      # The sanitizer's or libFuzzer's report, from its first line (the whole log when none).
      sed -n '/ERROR/,$p' "$work/$target.log" | head -n 60 | grep . || tail -n 40 "$work/$target.log"
      failed+=("$target")
    fi
  done
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "run-fuzz: FAILED: ${failed[*]} (inputs in $artifacts)"
  exit 1
fi
echo "run-fuzz: all ${#targets[@]} targets passed"
