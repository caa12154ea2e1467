#!/usr/bin/env bash
# Assembles the Windows driver package: install/ovtm.inf with each target's binaries in x86\
# and amd64\ beside it (the setup program among them), checks the INF against the package,
# optionally signs every image, and packs the folder into one archive named with the version.
# Making the INF's catalog (Inf2Cat) and signing it stays a WDK step on Windows (README).
#
# Usage: tools/make-package.sh [--sign PFX [--pass-file FILE]] [--no-build]
#                              [--x86 BUILD] [--x64 BUILD] [--out FOLDER]
#   --sign PFX        sign every .sys, .dll and .exe with osslsigncode (SHA-256) and this PKCS#12
#   --pass-file FILE  the PFX's password, read from FILE (default: no password)
#   --no-build        take the binaries as they are in the build trees
#   --x86, --x64      the win-x86 and win-x64 build trees (default build/win-x86, build/win-x64)
#   --out FOLDER      the package folder (default build/package); the archive goes beside it
#                     as melodix-<version>.zip, holding the folder as melodix-<version>/
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

sign="" pass_file="" build=1 x86=build/win-x86 x64=build/win-x64 out=build/package
while (($#)); do
  case $1 in
  --sign) sign=$2; shift 2 ;;
  --pass-file) pass_file=$2; shift 2 ;;
  --no-build) build=0; shift ;;
  --x86) x86=$2; shift 2 ;;
  --x64) x64=$2; shift 2 ;;
  --out) out=$2; shift 2 ;;
  *) echo "make-package: unknown argument $1" >&2; exit 2 ;;
  esac
done

files=(filter/OvtmFilt.sys midi/OvtmMidi.dll appapi/OvtmApi.dll inject/OvtmAddf.dll
  notifier/OvtmNtfy.exe setup/OvtmSetup.exe)
targets=(OvtmFilt OvtmMidi OvtmApi OvtmAddf OvtmNtfy OvtmSetup)

if ((build)); then
  tools/install-deps.sh
  for preset in win-x86 win-x64; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target "${targets[@]}"
  done
fi

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$x64/CMakeCache.txt")
x86_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$x86/CMakeCache.txt")
if [[ -z "$version" || "$version" != "$x86_version" ]]; then
  echo "make-package: the build trees disagree on the version ('$x86_version', '$version')" >&2
  exit 1
fi

rm -rf "$out"
mkdir -p "$out/x86" "$out/amd64"
cp install/ovtm.inf "$out/"
for file in "${files[@]}"; do
  for pair in "$x86:x86" "$x64:amd64"; do
    tree=${pair%:*} arch=${pair#*:}
    [[ -f "$tree/$file" ]] || { echo "make-package: $tree/$file is missing" >&2; exit 1; }
    cp "$tree/$file" "$out/$arch/"
  done
done

/usr/bin/python3 install/check-inf.py --version "$version" --package "$out" "$out/ovtm.inf"

if [[ -n "$sign" ]]; then
  pass=()
  [[ -n "$pass_file" ]] && pass=(-readpass "$pass_file")
  for image in "$out"/x86/* "$out"/amd64/*; do
    osslsigncode sign -pkcs12 "$sign" "${pass[@]}" -h sha256 -n "Orvane Tessaro Melodix" \
      -in "$image" -out "$image.signed" >/dev/null
    mv "$image.signed" "$image"
  done
  echo "signed: $(ls "$out"/x86/* "$out"/amd64/* | wc -l) images"
fi

archive="$(cd "$(dirname "$out")" && pwd)/melodix-$version.zip"
staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
cp -r "$out" "$staging/melodix-$version"
rm -f "$archive"
(cd "$staging" && zip -qr -X "$archive.tmp" "melodix-$version") && mv "$archive.tmp" "$archive"
echo "package: $out"
echo "archive: $archive"
