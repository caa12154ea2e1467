#!/usr/bin/env bash
# The bench's shell commands against the run's prefix: the null graphics driver is selected,
# registry values round-trip, a program's output and exit code come back, time-outs end it, and
# stopping a prefix ends every Wine process that ran in it.
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
# A prefix of its own (stopping the run's would end the tests after this one): a program still
# running when the prefix stops goes with its server, driver host and services. The stop is the
# same shell code for both architectures: the 64-bit tier checks it (every run's own stop fails
# anyway when something of its prefix is left).
if [[ ${OVTM_WINE_ARCH:-win64} != win64 ]]; then
  echo "bench script tests passed"
  exit 0
fi
wine_processes_of() {
  local environ pid
  for environ in $(grep -lzxF "WINEPREFIX=$1" /proc/[0-9]*/environ 2>/dev/null); do
    pid=${environ#/proc/}
    pid=${pid%/environ}
    [[ $(readlink "/proc/$pid/exe" 2>/dev/null) == */wine/* ]] && echo "$pid"
  done
  return 0
}
own=$tmp/own-prefix
WINEPREFIX=$own "$bench" create >/dev/null
WINEPREFIX=$own "$bench" run --timeout 60 ping -n 60 127.0.0.1 >/dev/null 2>&1 &
runner=$!
for _ in $(seq 100); do
  [[ $(wine_processes_of "$own" | wc -l) -ge 5 ]] && break
  sleep 0.1
done
[[ -n $(wine_processes_of "$own") ]] || fail "nothing runs in a created prefix"
WINEPREFIX=$own "$bench" stop >/dev/null
left=$(wine_processes_of "$own")
[[ -z $left ]] || fail "processes left after stop: $(ps -o pid=,args= -p "${left//$'\n'/,}")"
wait "$runner" || true
echo "bench script tests passed"
