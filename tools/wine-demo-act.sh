#!/usr/bin/env bash
# The demo's act under Wine: a fresh prefix, the bench's virtual USB bus and the filter in it,
# then the orchestrating program (tests/wine/demo) installs the package with its INF, plays
# tools/demo-tune.txt on the virtual keyboard while ovtm-record records it, and the recording is
# read back with mido and compared with the tune note for note.
# Usage: tools/wine-demo-act.sh FILES WORK
#   FILES  the act's files as the win-x64 build gathers them (build/win-x64/tests/wine/demo/files)
#   WORK   where the prefix goes (WORK/prefix, removed at the end) and the recording (WORK/demo.mid)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
(($# == 2)) || { echo "usage: $0 FILES WORK" >&2; exit 2; }
files=$(cd "$1" && pwd)
mkdir -p "$2"
work=$(cd "$2" && pwd)
bench="$here/../platform/wine/wine-bench.sh"

export WINEPREFIX="$work/prefix"
rm -f "$work/demo.mid"
trap 'bash "$bench" stop >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT

echo "--- Wine act: a fresh prefix in $WINEPREFIX"
bash "$bench" create >/dev/null
bash "$bench" install 'ovtm-bench' "$files"/bench/*
bash "$bench" run --timeout 90 --dir 'ovtm-bench' ovtm_bench_install.exe . >/dev/null ||
  { echo "wine-demo-act: installing the bench's drivers failed" >&2; exit 1; }
echo "virtual USB bus and its HID class stand-in installed (platform/wine/README.md)"
bash "$bench" install 'ovtm-demo' "$files"/package/*

status=0
bash "$bench" run --timeout 240 --dir 'ovtm-demo' ovtm_wine_demo.exe demo-tune.txt | tr -d '\r' ||
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
