#!/usr/bin/env bash
# The main job: builds the host tier and plays the bundled demo script through the
# scenario runner, printing what clients read and what the HID stack receives.
# Usage: tools/run-demo.sh [script]   (default: tools/scenarios/demo.scn)
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake --preset host >/dev/null
cmake --build --preset host --target ovtm-scenario
exec build/host/tools/ovtm-scenario "${1:-tools/scenarios/demo.scn}"
