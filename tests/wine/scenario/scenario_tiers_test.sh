#!/usr/bin/env bash
# Plays the demo and every scenario test script against the real filter in Wine and compares
# each output with the host tier's (its golden file, which the host tier's tests check), the
# time column aside. One run of the runner plays them all, each on a fresh world.
# Usage (from CTest, with WINEPREFIX and OVTM_WINE_BENCH set):
#   scenario_tiers_test.sh RUNNER_EXE SOURCE_DIR
set -euo pipefail
runner=$1
source_dir=$2
here=$(cd "$(dirname "$0")" && pwd)
bench=${OVTM_WINE_BENCH:?}
dir='ovtm-tests\scenario_tiers'
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# Each script, and the host tier's output for it.
declare -A expected=([demo]="$source_dir/tests/host/tools/demo.expected")
scripts=("$source_dir/tools/scenarios/demo.scn")
for script in "$source_dir"/tests/scenarios/*.scn; do
  name=$(basename "$script" .scn)
  expected[$name]="$source_dir/tests/scenarios/$name.expected"
  scripts+=("$script")
done
names=()
for script in "${scripts[@]}"; do
  names+=("$(basename "$script")")
done

rm -rf "$WINEPREFIX/drive_c/ovtm-tests/scenario_tiers"
bash "$bench" install "$dir" "$runner" "${scripts[@]}"

started=$(date +%s%N)
status=0
bash "$bench" run --timeout 200 --dir "$dir" "$(basename "$runner")" "${names[@]}" \
  >"$out/all.wine" 2>"$out/all.err" || status=$?
echo "the Wine tier played ${#scripts[@]} scripts in $((($(date +%s%N) - started) / 1000000)) ms"
if ((status != 0)); then
  echo "FAIL: ovtm-scenario exited with $status"
  cat "$out/all.err" "$out/all.wine"
  exit 1
fi
# One file per script, from the headings the runner prints between them.
awk -v dir="$out" '/^== / { file = dir "/" substr($2, 1, length($2) - 4) ".wine"; next }
  { print > file }' "$out/all.wine"

failed=()
for name in "${names[@]}"; do
  name=${name%.scn}
  if [[ ! -f "$out/$name.wine" ]]; then
    echo "FAIL $name: no output"
    failed+=("$name")
  elif ! python3 "$here/compare_tiers.py" "${expected[$name]}" "$out/$name.wine"; then
    echo "FAIL $name: the Wine tier's lines differ from the host tier's (above)"
    failed+=("$name")
  else
    echo "ok   $name"
  fi
done
[[ ! -s "$out/all.err" ]] || { echo "ovtm-scenario said on standard error:"; cat "$out/all.err"; }

if ((${#failed[@]})); then
  echo "scenarios that differ: ${failed[*]}"
  exit 1
fi
echo "all ${#scripts[@]} scenarios print the same lines on both tiers"
