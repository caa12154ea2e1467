#!/usr/bin/env bash
# Plays one scenario script on either tier and prints what happens, one line per event.
#   tools/run-scenario.sh <script>          host tier: the filter in the host kernel, test clock
#   tools/run-scenario.sh --wine <script>   Wine tier: the real OvtmFilt.sys in Wine's driver host
#                                           on the bench's virtual USB bus, real time
#   tools/run-scenario.sh --wine32 <script> the same with the 32-bit build in a 32-bit prefix
# '-' reads the script from standard input. It builds what it needs; with --wine it makes a
# private Wine prefix, installs the bench drivers there, plays, and removes the prefix again
# with every process that ran in it.
# The exit code is ovtm-scenario's (README: the scenario language).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

wine=0
preset=win-x64
case ${1:-} in
  --wine) wine=1; shift ;;
  --wine32) wine=1; preset=win-x86; export OVTM_WINE_ARCH=win32; shift ;;
esac
if (($# != 1)); then
  echo "usage: tools/run-scenario.sh [--wine | --wine32] <script | ->" >&2
  exit 1
fi
script=$1
if [[ $script != - && ! -r $script ]]; then
  echo "run-scenario: cannot read $script" >&2
  exit 1
fi

script_path=$script
[[ $script == - ]] || script_path=$(realpath -- "$script")
cd "$root"
"$root/tools/install-deps.sh" >/dev/null

if ((!wine)); then
  cmake --preset host >/dev/null
  cmake --build --preset host --target ovtm-scenario >/dev/null
  cd "$OLDPWD"
  exec "$root/build/host/tools/ovtm-scenario" "$script"
fi

build=$root/build/$preset
cmake --preset $preset >/dev/null
cmake --build --preset $preset --target ovtm-scenario OvtmFilt ovtm_vbus ovtm_bench_install >/dev/null

bench=$root/platform/wine/wine-bench.sh
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/ovtm-scenario-prefix.XXXXXX")
export WINEPREFIX
work=$(mktemp -d)
cleanup() {
  bash "$bench" stop >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX" "$work"
}
trap cleanup EXIT

# The script goes into the prefix under its own name (standard input as stdin.scn).
if [[ $script == - ]]; then
  name=stdin.scn
  cat >"$work/$name"
else
  name=$(basename "$script")
  cp "$script_path" "$work/$name"
fi

echo "run-scenario: setting up a Wine prefix with the bench drivers ..." >&2
bash "$bench" create >/dev/null
bash "$bench" run-test bench_install --timeout 90 \
  --install "$root/platform/wine/usbbus/ovtm_vbus.inf" \
  --install "$build/platform/wine/usbbus/ovtm_vbus.sys" \
  --install "$build/filter/OvtmFilt.sys" \
  -- "$build/platform/wine/install/ovtm_bench_install.exe" . >/dev/null
bash "$bench" install 'ovtm-scenario' "$build/tools/ovtm-scenario.exe" "$work/$name"

# Waits are real time here: the limit grows with the script's waits.
waits=$(awk '$1 == "wait" { total += $2 } END { print int(total / 1000) }' "$work/$name")
status=0
bash "$bench" run --timeout $((120 + waits)) --dir 'ovtm-scenario' ovtm-scenario.exe "$name" ||
  status=$?
exit $status
