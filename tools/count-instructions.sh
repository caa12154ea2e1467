#!/bin/sh
# Instructions per input report through the filter's data path, for 1 and 8 clients, counted
# by valgrind's callgrind inside TranslateMusicReport. Unlike times on a shared machine, the
# figure repeats from run to run.
# Usage: tools/count-instructions.sh [path to filter_data_path_bench]
set -eu
bench=${1:-build/host/tests/host/filter/filter_data_path_bench}
if ! command -v valgrind >/dev/null 2>&1; then
    echo "valgrind is not installed (tools/install-deps.sh)" >&2
    exit 1
fi
if [ ! -x "$bench" ]; then
    echo "no benchmark at $bench: build it with cmake --build --preset host --target filter_data_path_bench" >&2
    exit 1
fi
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for clients in 1 8; do
    for kind in BM_NoteReport; do
        valgrind --tool=callgrind --collect-atstart=no --compress-strings=no \
            --toggle-collect='TranslateMusicReport*' --callgrind-out-file="$out" \
            "$bench" --benchmark_filter="^$kind/$clients/" --benchmark_min_time=0.01 \
            >/dev/null 2>&1
        # Instructions collected, over the calls of TranslateMusicReport recorded.
        awk -v kind="$kind" -v clients="$clients" '
            /^totals:/ { total = $2 }
            /^cfn=.*TranslateMusicReport/ { inCall = 1; next }
            inCall && /^calls=/ { split($1, a, "="); calls += a[2]; inCall = 0 }
            END {
                if (calls == 0) { print kind ": no call counted" > "/dev/stderr"; exit 1 }
                printf "%-28s %d client(s): %8.1f instructions per report (%d reports)\n",
                       kind, clients, total / calls, calls
            }' "$out"
    done
done
