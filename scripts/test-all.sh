#!/usr/bin/env bash
# Builds and runs every test: the Linux build, the Linux build under AddressSanitizer and
# UndefinedBehaviorSanitizer, a short run of the fuzz targets, the Linux build under
# ThreadSanitizer, and the Windows build under Wine. Installs what it needs first.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh || exit 1

mkdir -p build
failed=()
for preset in linux linux-asan linux-fuzz linux-tsan windows; do
  echo "=== $preset ==="
  if [ "$preset" = linux-fuzz ]; then
    bash scripts/run-fuzz.sh || failed+=("$preset")
    continue
  fi
  if cmake --preset "$preset" >"build/$preset.log" 2>&1 && cmake --build --preset "$preset" >>"build/$preset.log" 2>&1; then
    ctest --preset "$preset" || failed+=("$preset")
  else
    tail -n 60 "build/$preset.log"
    failed+=("$preset (build)")
  fi
  rm -f "build/$preset.log"
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "All test presets passed: linux, linux-asan, linux-fuzz, linux-tsan, windows"
