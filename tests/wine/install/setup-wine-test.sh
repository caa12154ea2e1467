#!/usr/bin/env bash
# OvtmSetup in a fresh 64-bit prefix, end to end: the package is assembled and signed by
# tools/make-package.sh, the bench's virtual USB bus is installed, the prefix is exported
# (registry, both registry views) and listed (system32, syswow64, inf), then setup_wine_steps
# runs the user's steps (tests/wine/install/setup_wine_test.cpp), and the prefix exported and
# listed again must equal the first apart from what Wine itself changes (listed below).
# Usage: setup-wine-test.sh --x86 BUILD --x64 BUILD --work DIR --bench FILE... --test FILE...
#                           --shim FILE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
bench_script="$root/platform/wine/wine-bench.sh"

x86="" x64="" work="" shim="" bench_files=() test_files=()
while (($#)); do
  case $1 in
  --x86) x86=$2; shift 2 ;;
  --x64) x64=$2; shift 2 ;;
  --work) work=$2; shift 2 ;;
  --bench) bench_files+=("$2"); shift 2 ;;
  --test) test_files+=("$2"); shift 2 ;;
  --shim) shim=$2; shift 2 ;;
  *) echo "setup-wine-test: unknown argument $1" >&2; exit 2 ;;
  esac
done
[[ -f "$x86/setup/OvtmSetup.exe" ]] || {
  echo "setup-wine-test: no 32-bit build in $x86: build the win-x86 preset first" >&2
  exit 1
}

rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX="$work/prefix"
bench() { bash "$bench_script" "$@"; }
trap 'bench stop >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
drive_c="$WINEPREFIX/drive_c"

echo "--- the package, signed with a throw-away certificate"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -subj "/CN=Melodix Test" -days 2 -addext "extendedKeyUsage=codeSigning" 2>/dev/null
openssl pkcs12 -export -out "$work/test.pfx" -inkey "$work/key.pem" -in "$work/cert.pem" \
  -passout pass:secret
echo secret >"$work/pass.txt"
bash "$root/tools/make-package.sh" --no-build --x86 "$x86" --x64 "$x64" --out "$work/package" \
  --sign "$work/test.pfx" --pass-file "$work/pass.txt"
for image in "$work"/package/x86/* "$work"/package/amd64/*; do
  osslsigncode verify -CAfile "$work/cert.pem" -in "$image" 2>&1 |
    grep -q "Signature verification: ok" || { echo "FAIL: $image is not signed" >&2; exit 1; }
done
# Signing keeps each driver's checksum right (the loader checks it).
for image in "$work"/package/*/OvtmFilt.sys; do
  /usr/bin/python3 "$root/cmake/check-binary.py" --kind driver --subsystem native \
    --version "$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$x64/CMakeCache.txt")" "$image" >/dev/null ||
    { echo "FAIL: $image after signing:" >&2; /usr/bin/python3 "$root/cmake/check-binary.py" \
      --kind driver --subsystem native --version 0 "$image" >&2; exit 1; }
done
[[ -f "$work/melodix-$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$x64/CMakeCache.txt").zip" ]] ||
  { echo "FAIL: no archive named with the version" >&2; exit 1; }

echo "--- a fresh prefix with the bench's virtual USB bus"
bench create >/dev/null
bench install 'ovtm-bench' "${bench_files[@]}"
bench run --timeout 90 --dir 'ovtm-bench' ovtm_bench_install.exe . >/dev/null
# What stands in for Windows here, set up before the first snapshot:
# - Wine's winmm loads MIDI drivers only as wine<name>.drv named in HKCU\Software\Wine\Drivers
#   "Audio"; the test-only module forwards to the OvtmMidi.dll OvtmSetup installs.
cp "$shim" "$drive_c/windows/system32/"
bench reg-write 'HKCU\Software\Wine\Drivers' Audio REG_SZ melodixmidi
# - The catalog is made by the WDK's Inf2Cat on Windows; Wine's SetupCopyOEMInf only needs a
#   file of that name beside the INF and does not check it.
mkdir -p "$drive_c/melodix"
cp -r "$work"/package/* "$drive_c/melodix/"
echo "catalog placeholder" >"$drive_c/melodix/ovtm.cat"
bench install 'setup-test' "${test_files[@]}"

# The prefix as a user could see it: the registry of both views and the system folders.
snapshot() {
  local name=$1
  bench run --timeout 60 reg export HKLM "C:\\$name-hklm.reg" /reg:64 /y >/dev/null
  bench run --timeout 60 reg export HKLM "C:\\$name-hklm32.reg" /reg:32 /y >/dev/null
  bench run --timeout 60 reg export HKCU "C:\\$name-hkcu.reg" /y >/dev/null
  for part in hklm hklm32 hkcu; do
    iconv -f UTF-16LE -t UTF-8 "$drive_c/$name-$part.reg" | tr -d '\r' >"$work/$name-$part.reg"
    rm -f "$drive_c/$name-$part.reg"
  done
  # Files with their sizes; folders by name only (a folder's size is the file system's affair).
  (cd "$drive_c/windows" && find system32 syswow64 inf \( -type f -printf '%p %s\n' \) -o -print |
    sort) >"$work/$name-files.txt"
}

# What Wine itself changes between two snapshots, whatever was installed:
# - its own settings (Software\Wine);
# - the device manager's records of devices that came and went (Enum, DeviceClasses, Class)
#   and the session manager's;
# - the audio endpoints (MMDevices) its audio layer records when a program first uses winmm;
# - precompiled INF files (inf/*.pnf): Wine writes one beside every INF it opens, rewrites
#   them, and its SetupUninstallOEMInf leaves the .pnf of the INF it deletes;
# - the catalog database's copy of a catalog (system32/catroot): Wine's SetupUninstallOEMInf
#   leaves catalogs behind.
wine_own_changes() {
  grep -v -E \
    -e '^\[HKEY_[A-Z_]+\\(Software|SOFTWARE)\\Wine' \
    -e '^\[HKEY_LOCAL_MACHINE\\(System|SYSTEM)\\CurrentControlSet\\(Enum|Control\\DeviceClasses)\\' \
    -e '^\[HKEY_LOCAL_MACHINE\\(System|SYSTEM)\\CurrentControlSet\\Control\\(Class|Session Manager)' \
    -e '^\[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\MMDevices' \
    -e '^inf/.*\.pnf ' \
    -e '^system32/catroot' \
    "$@" || true
}

# A .reg export as one line per value, each prefixed with its key, so that values that Wine
# itself rewrites under keys of its own can be told from ours.
flatten() {
  awk '/^\[/ { key = $0; print key; next } /^$/ { next } { print key " " $0 }' "$1" |
    wine_own_changes
}

echo "--- the prefix before OvtmSetup"
snapshot before

echo "--- the user's steps"
status=0
bench run --timeout 300 --dir 'setup-test' setup_wine_steps.exe 'C:\melodix' --gtest_color=no |
  tr -d '\r' || status=$?

echo "--- the prefix after uninstall"
snapshot after
for part in hklm hklm32 hkcu; do
  if ! diff <(flatten "$work/before-$part.reg") <(flatten "$work/after-$part.reg") \
    >"$work/diff-$part.txt"; then
    echo "FAIL: the registry ($part) differs after uninstall:"
    head -40 "$work/diff-$part.txt"
    status=1
  fi
done
if ! diff <(wine_own_changes "$work/before-files.txt") <(wine_own_changes "$work/after-files.txt") \
  >"$work/diff-files.txt"; then
  echo "FAIL: system32, syswow64 or inf differ after uninstall:"
  head -40 "$work/diff-files.txt"
  status=1
fi
((status == 0)) && echo "the prefix after uninstall equals the prefix before install"
exit "$status"
