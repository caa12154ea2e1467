#!/usr/bin/env bash
# Assembles the Windows driver package: install/ovtm.inf with the binaries of both targets in
# x86\ and amd64\ beside it, as the INF expects them. Builds both Windows presets first.
# Usage: tools/make-package.sh [output folder]   (default: build/package)
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-build/package}
tools/install-deps.sh

declare -A arch_of=([win-x86]=x86 [win-x64]=amd64)
files=(filter/OvtmFilt.sys midi/OvtmMidi.dll appapi/OvtmApi.dll inject/OvtmAddf.dll
  notifier/OvtmNtfy.exe)

rm -rf "$out"
mkdir -p "$out"
cp install/ovtm.inf "$out/"
for preset in win-x86 win-x64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target OvtmFilt OvtmMidi OvtmApi OvtmAddf OvtmNtfy
  mkdir -p "$out/${arch_of[$preset]}"
  for file in "${files[@]}"; do
    cp "build/$preset/$file" "$out/${arch_of[$preset]}/"
  done
done
echo "package: $out"
find "$out" -type f | sort
