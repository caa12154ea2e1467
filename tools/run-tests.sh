#!/usr/bin/env bash
# Every test of the package: installs what it needs, builds the host tier three times
# (plain, ASan+UBSan, TSan), the fuzz targets (host-fuzz: clang and libFuzzer, whose short
# run is a test of its own) and both Windows targets, then runs every suite.
# Usage: tools/run-tests.sh [preset ...]   (default: all of them)
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

presets=("$@")
((${#presets[@]})) || presets=(host host-asan host-tsan host-fuzz win-x86 win-x64)

for preset in "${presets[@]}"; do
  echo "=== build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

failed=()
for preset in "${presets[@]}"; do
  echo "=== test: $preset"
  ctest --preset "$preset" || failed+=("$preset")
done

if ((${#failed[@]})); then
  echo "FAILED presets: ${failed[*]}"
  exit 1
fi
echo "All test presets passed: ${presets[*]}"
