#!/usr/bin/env bash
# WoW64 end to end, in a fresh 64-bit prefix of its own: the bench's virtual USB bus, the
# package (tools/make-package.sh, from this build and the sibling win-x86 build) installed by
# OvtmSetup inside the steps program, the test-only winmm module for each side, then
# wow64_wine_steps (wow64_wine_test.cpp) with the 32-bit programs in x86\ beside it.
# Usage: wow64-wine-test.sh --x86 BUILD --x64 BUILD --work DIR --bench FILE... --test FILE...
#                           --shim FILE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
bench_script="$root/platform/wine/wine-bench.sh"

x86="" x64="" work="" shim="" bench_files=() test_files=()
while (($#)); do
  case $1 in
  --x86) x86=$2; shift 2 ;;
  --x64) x64=$2; shift 2 ;;
  --work) work=$2; shift 2 ;;
  --bench) bench_files+=("$2"); shift 2 ;;
  --test) test_files+=("$2"); shift 2 ;;
  --shim) shim=$2; shift 2 ;;
  *) echo "wow64-wine-test: unknown argument $1" >&2; exit 2 ;;
  esac
done
# The 32-bit side: the recorder, the test's own client and the winmm module, built for i686.
x86_files=("$x86/tools/ovtm-record.exe" "$x86/tests/wine/wow64/wow64_client.exe")
x86_shim="$x86/tests/wine/midi/shim/winemelodixmidi.drv"
for file in "$x86/setup/OvtmSetup.exe" "${x86_files[@]}" "$x86_shim"; do
  [[ -f "$file" ]] || {
    echo "wow64-wine-test: $file is missing: build the win-x86 preset first" >&2
    exit 1
  }
done

rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX="$work/prefix"
bench() { bash "$bench_script" "$@"; }
trap 'bench stop >/dev/null 2>&1 || true' EXIT
drive_c="$WINEPREFIX/drive_c"

echo "--- the package"
bash "$root/tools/make-package.sh" --no-build --x86 "$x86" --x64 "$x64" --out "$work/package" \
  >/dev/null

echo "--- a fresh 64-bit prefix with the bench's virtual USB bus"
bench create >/dev/null
[[ -d "$drive_c/windows/syswow64" ]] || {
  echo "FAIL: the prefix has no 32-bit side (is wine32:i386 installed?)" >&2
  exit 1
}
bench install 'ovtm-bench' "${bench_files[@]}"
bench run --timeout 90 --dir 'ovtm-bench' ovtm_bench_install.exe . >/dev/null
# Wine's winmm loads MIDI drivers only as wine<name>.drv named in HKCU\Software\Wine\Drivers
# "Audio" (one setting for both sides); each side loads the module of its own architecture from
# its system folder, which forwards to the OvtmMidi.dll OvtmSetup put beside it.
cp "$shim" "$drive_c/windows/system32/"
cp "$x86_shim" "$drive_c/windows/syswow64/"
bench reg-write 'HKCU\Software\Wine\Drivers' Audio REG_SZ melodixmidi
# Inf2Cat makes the catalog on Windows; Wine's SetupCopyOEMInf wants only a file of its name.
mkdir -p "$drive_c/melodix"
cp -r "$work"/package/* "$drive_c/melodix/"
echo "catalog placeholder" >"$drive_c/melodix/ovtm.cat"
bench install 'wow64-test' "${test_files[@]}"
bench install 'wow64-test\x86' "${x86_files[@]}"

echo "--- the steps"
status=0
bench run --timeout 150 --dir 'wow64-test' wow64_wine_steps.exe 'C:\melodix' --gtest_color=no |
  tr -d '\r' || status=$?
# A passing run's prefix (over 1 GB with its 32-bit side) goes; a failing one stays to be read.
bench stop >/dev/null 2>&1 || true
if ((status == 0)); then
  rm -rf "$WINEPREFIX"
else
  echo "the prefix stays for inspection: $WINEPREFIX"
fi
exit "$status"
