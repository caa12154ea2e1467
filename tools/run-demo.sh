#!/usr/bin/env bash
# The main job, in two acts. The host tier: builds it and plays the bundled demo script through
# the scenario runner, printing what clients read and what the HID stack receives. Then the Wine
# act (tools/wine-demo-act.sh): the package installed with its INF into a fresh Wine prefix, a
# short tune played on the virtual keyboard under the real filter while ovtm-record records it
# into build/wine-demo/demo.mid, which is then compared with the tune note for note.
# Usage: tools/run-demo.sh [--host-only] [script]   (default script: tools/scenarios/demo.scn)
set -euo pipefail
cd "$(dirname "$0")/.."

host_only=0
if [[ "${1:-}" == "--host-only" ]]; then
  host_only=1
  shift
fi

tools/install-deps.sh
cmake --preset host >/dev/null
cmake --build --preset host --target ovtm-scenario
build/host/tools/ovtm-scenario "${1:-tools/scenarios/demo.scn}"
((host_only)) && exit 0

echo
echo "=== The Wine act: the real binaries under Wine (building the Windows targets it needs)"
cmake --preset win-x64 >/dev/null
cmake --preset win-x86 >/dev/null
cmake --build --preset win-x86 --target OvtmFilt OvtmMidi OvtmApi OvtmAddf OvtmNtfy OvtmSetup
cmake --build --preset win-x64 --target ovtm_wine_demo_files
exec tools/wine-demo-act.sh build/win-x64/tests/wine/demo/files build/wine-demo build/win-x86 \
  build/win-x64
