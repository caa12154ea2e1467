#!/usr/bin/env bash
# Checks that every C and C++ source of the tree is as clang-format (the tree's .clang-format)
# writes it. With --fix, rewrites the files that are not.
# Usage: tools/check-format.sh [--fix]
set -euo pipefail
cd "$(dirname "$0")/.."

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- '*.c' '*.cpp' '*.h')
else
  mapfile -t files < <(find . -path ./build -prune -o -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print)
fi

if [[ "${1:-}" == "--fix" ]]; then
  clang-format -i "${files[@]}"
  exit 0
fi

report=$(mktemp)
trap 'rm -f "$report"' EXIT
if ! clang-format --dry-run --Werror "${files[@]}" 2>"$report"; then
  grep -E '^[^ ].*: (error|warning):' "$report" | cut -d: -f1 | sort | uniq -c | sort -rn
  echo "These files are not formatted; tools/check-format.sh --fix formats them."
  exit 1
fi
echo "${#files[@]} sources formatted as .clang-format says."
