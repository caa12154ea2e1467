#!/usr/bin/env bash
# The bench's shell commands against the run's prefix: the null graphics driver is selected,
# registry values round-trip, a program's output and exit code come back, time-outs end it.
set -euo pipefail
bench=${OVTM_WINE_BENCH:?}
fail() { echo "FAIL: $*"; exit 1; }

[[ "$("$bench" reg-read 'HKCU\Software\Wine\Drivers' Graphics)" == null ]] || fail "Graphics is not null"

key='HKCU\Software\OvtmBenchTest'
"$bench" reg-write "$key" Words REG_SZ 'two words'
[[ "$("$bench" reg-read "$key" Words)" == 'two words' ]] || fail "REG_SZ did not round-trip"
"$bench" reg-delete "$key" Words
! "$bench" reg-read "$key" Words >/dev/null || fail "deleted value still reads"
"$bench" reg-delete "$key"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf 'installed\r\n' >"$tmp/note.txt"
"$bench" install 'ovtm-bench\files' "$tmp/note.txt"
[[ -f "$WINEPREFIX/drive_c/ovtm-bench/files/note.txt" ]] || fail "install did not copy"

status=0
output=$("$bench" run --dir 'ovtm-bench\files' cmd /c 'type note.txt & exit 3') || status=$?
[[ "$output" == *installed* ]] || fail "output not collected: $output"
((status == 3)) || fail "exit code $status, expected 3"

status=0
"$bench" run --timeout 2 ping -n 30 127.0.0.1 >/dev/null 2>&1 || status=$?
((status == 124)) || fail "time-out gave status $status, expected 124"
echo "bench script tests passed"
