#!/usr/bin/env bash
# The main job: builds the library and shows what it answers a caller.
#   scripts/demo.sh            the Linux build
#   scripts/demo.sh --windows  the Windows build, under Wine
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
preset=linux
program=build/linux/bin/vifnet_info
runner=()
if [ "${1:-}" = "--windows" ]; then
  preset=windows
  program=build/windows/bin/vifnet_info.exe
  runner=(scripts/wine-run)
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target vifnet_info >/dev/null
"${runner[@]}" "$program" 2>&1
