#!/usr/bin/env bash
# The end-to-end benchmark under Wine: builds what it needs (win-x64), makes a private Wine
# prefix with the bench drivers (the virtual USB bus with its HID class stand-in, and the real
# OvtmFilt.sys), runs ovtm-e2e-bench there and prints its figures (each hop beside Wine's own
# floor for it, measured with a test-only driver loaded for the key phase), then removes the
# prefix.
#   tools/run-bench.sh [--keys N] [--floor 0|1] [--burst-seconds S] [--burst-rate R]
# Defaults: 10,000 keys one at a time, then 8,000 reports/s of four note changes for 10 s.
# Timing is never a pass mark: the exit code is the benchmark's (0 every note arrived once and
# in order, 1 something was lost, duplicated, reordered or wrong, 2 it could not be set up).
# The figures depend on the machine's load, so the load average is printed before and after.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/tools/install-deps.sh" >/dev/null

build=$root/build/win-x64
cmake --preset win-x64 >/dev/null
cmake --build --preset win-x64 --target ovtm_e2e_bench_files OvtmFilt ovtm_vbus \
  ovtm_bench_install -- -j2 >/dev/null

bench=$root/platform/wine/wine-bench.sh
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/ovtm-bench-prefix.XXXXXX")
export WINEPREFIX
cleanup() {
  bash "$bench" stop >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

echo "run-bench: setting up a Wine prefix with the bench drivers ..." >&2
bash "$bench" create >/dev/null
bash "$bench" run-test bench_install --timeout 90 \
  --install "$root/platform/wine/usbbus/ovtm_vbus.inf" \
  --install "$build/platform/wine/usbbus/ovtm_vbus.sys" \
  --install "$build/filter/OvtmFilt.sys" \
  -- "$build/platform/wine/install/ovtm_bench_install.exe" . >/dev/null
bash "$bench" install 'ovtm-e2e' "$build"/tests/wine/e2e/files/*

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
bash "$bench" run --timeout 600 --dir 'ovtm-e2e' ovtm-e2e-bench.exe "$@" | tr -d '\r' || status=$?
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
