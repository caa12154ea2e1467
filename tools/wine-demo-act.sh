#!/usr/bin/env bash
# The demo's act under Wine: the package assembled by tools/make-package.sh, a fresh prefix
# with the bench's virtual USB bus, then the orchestrating program (tests/wine/demo) installs
# the package with OvtmSetup, plays tools/demo-tune.txt on the virtual keyboard while
# ovtm-record records it, uninstalls it again, and the recording is read back with mido and
# compared with the tune note for note.
# Usage: tools/wine-demo-act.sh FILES WORK X86-BUILD X64-BUILD
#   FILES      the act's files as the win-x64 build gathers them
#              (build/win-x64/tests/wine/demo/files)
#   WORK       where the package, the prefix (WORK/prefix, removed at the end) and the
#              recording (WORK/demo.mid) go
#   X86-BUILD, X64-BUILD  the win-x86 and win-x64 build trees the package is made from
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
(($# == 4)) || { echo "usage: $0 FILES WORK X86-BUILD X64-BUILD" >&2; exit 2; }
files=$(cd "$1" && pwd)
mkdir -p "$2"
work=$(cd "$2" && pwd)
bench="$here/../platform/wine/wine-bench.sh"
x86_build=$3 x64_build=$4

export WINEPREFIX="$work/prefix"
rm -f "$work/demo.mid"
trap 'bash "$bench" stop >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT

echo "--- Wine act: a fresh prefix in $WINEPREFIX"
bash "$bench" create >/dev/null
bash "$bench" install 'ovtm-bench' "$files"/bench/*
bash "$bench" run --timeout 90 --dir 'ovtm-bench' ovtm_bench_install.exe . >/dev/null ||
  { echo "wine-demo-act: installing the bench's drivers failed" >&2; exit 1; }
echo "virtual USB bus and its HID class stand-in installed (platform/wine/README.md)"
bash "$here/make-package.sh" --no-build --x86 "$x86_build" --x64 "$x64_build" \
  --out "$work/package" >/dev/null ||
  { echo "wine-demo-act: making the package failed (are both Windows builds there?)" >&2; exit 1; }
mkdir -p "$WINEPREFIX/drive_c/melodix"
cp -r "$work"/package/* "$WINEPREFIX/drive_c/melodix/"
# Wine's SetupCopyOEMInf wants the catalog beside the INF but does not check it; on Windows it
# is made and signed with the WDK (README, "Installing").
echo "catalog placeholder" >"$WINEPREFIX/drive_c/melodix/ovtm.cat"
echo "the package made by tools/make-package.sh is in C:\melodix"
bash "$bench" install 'ovtm-demo' "$files"/demo/*

status=0
bash "$bench" run --timeout 240 --dir 'ovtm-demo' ovtm_wine_demo.exe demo-tune.txt 'C:\melodix' | tr -d '\r' ||
  status=$?
if [[ -f "$WINEPREFIX/drive_c/ovtm-demo/demo.mid" ]]; then
  cp "$WINEPREFIX/drive_c/ovtm-demo/demo.mid" "$work/demo.mid"
  /usr/bin/python3 "$here/compare-recording.py" "$here/demo-tune.txt" "$work/demo.mid" || status=1
  echo "  the recording:                         $work/demo.mid"
else
  echo "wine-demo-act: no demo.mid was recorded" >&2
  status=1
fi
exit "$status"
