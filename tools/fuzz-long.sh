#!/usr/bin/env bash
# Long runs of the filter's fuzzers, at the lowest priority so that they take only idle time:
#   reports  the music-pipe report fuzzer (libFuzzer, ASan+UBSan; preset host-fuzz), from the
#            checked-in seeds plus the corpus it grows in build/host-fuzz/report-corpus
#   control  control requests at scale, cancelled and closed in flight (preset host)
# Usage: tools/fuzz-long.sh [reports|control|all]   (default: all)
# Environment: FUZZ_RUNS (report executions, default 100000000), FUZZ_SECONDS (time limit of
# the report run, default 0 = none), FUZZ_REQUESTS (control requests, default 1000000).
# libFuzzer's final statistics (stat::number_of_executed_units, stat::average_exec_per_sec)
# end the report run's output; the control run prints its request count and rate.
set -euo pipefail
cd "$(dirname "$0")/.."

what=${1:-all}
runs=${FUZZ_RUNS:-100000000}
seconds=${FUZZ_SECONDS:-0}
requests=${FUZZ_REQUESTS:-1000000}

tools/install-deps.sh

if [[ $what == reports || $what == all ]]; then
  cmake --preset host-fuzz >/dev/null
  cmake --build --preset host-fuzz
  corpus=build/host-fuzz/report-corpus
  mkdir -p "$corpus"
  echo "=== report fuzzing: up to $runs executions${seconds:+, $seconds s at most}"
  nice -n 19 build/host-fuzz/tests/fuzz/filter_report_fuzz -runs="$runs" \
    -max_total_time="$seconds" -max_len=1024 -print_final_stats=1 -detect_leaks=0 \
    -artifact_prefix=build/host-fuzz/ "$corpus" tests/fuzz/report_seeds
fi

if [[ $what == control || $what == all ]]; then
  cmake --preset host >/dev/null
  cmake --build --preset host --target filter_stress_tests
  echo "=== control requests in flight: $requests requests"
  OVTM_FUZZ_REQUESTS=$requests nice -n 19 build/host/tests/host/filter/filter_stress_tests \
    --gtest_filter='ControlFuzzInFlight.*'
fi
