#!/usr/bin/env bash
# Fetches a Debian source package with apt and unpacks it into a folder of the build tree, for
# the Wine tier's third-party MIDI clients (the library's code is never committed). Prints the
# folder of the unpacked source. Needs deb-src entries and dpkg-dev (tools/install-deps.sh).
#
#   fetch-debian-source.sh PACKAGE DESTINATION
#
# When the archive serves the upstream tarball but not Debian's part of the package, the
# upstream tarball is used after checking it against the checksum in the package's .dsc, and
# the script says so: Debian's changes then are missing from the build.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 PACKAGE DESTINATION" >&2
  exit 2
fi
package=$1
destination=$2
mkdir -p "$destination"
cd "$destination"

# Unpacked before: the same folder again.
if [ -s "$package.source-folder" ] && [ -d "$(cat "$package.source-folder")" ]; then
  cat "$package.source-folder"
  exit 0
fi

fail() {
  echo "fetch-debian-source: $*" >&2
  echo "fetch-debian-source: the Wine tier's third-party MIDI clients are built from Debian's" \
    "source package '$package'; run tools/install-deps.sh (it enables deb-src) and check the" \
    "network" >&2
  exit 1
}

command -v dpkg-source >/dev/null || fail "dpkg-source is missing (package dpkg-dev)"
apt-get indextargets --format '$(IDENTIFIER)' 2>/dev/null | grep -qx Sources ||
  fail "apt has no deb-src entries"

log=$package.fetch.log
complete=1
apt-get source --download-only "$package" >"$log" 2>&1 || complete=0

dsc=$(ls -t "${package}"_*.dsc 2>/dev/null | head -n 1 || true)
[ -n "$dsc" ] || fail "apt-get source $package fetched no .dsc: $(tail -n 3 "$log" | tr '\n' ' ')"

if ((complete)); then
  folder=$(dpkg-source --no-check -x "$dsc" 2>&1 | sed -n 's/^dpkg-source: info: extracting .* in //p' | tail -n 1)
  [ -n "$folder" ] && [ -d "$folder" ] || fail "dpkg-source could not unpack $dsc"
else
  # Debian's part is missing: the upstream tarball, if it arrived whole.
  orig=$(awk '/^Checksums-Sha256:/ { on = 1; next } /^[^ ]/ { on = 0 }
              on && $3 ~ /\.orig\.tar\./ { print $3 }' "$dsc")
  sum=$(awk -v file="$orig" '/^Checksums-Sha256:/ { on = 1; next } /^[^ ]/ { on = 0 }
              on && $3 == file { print $1 }' "$dsc")
  [ -n "$orig" ] && [ -f "$orig" ] ||
    fail "apt-get source $package failed: $(grep '^E:' "$log" | head -n 2 | tr '\n' ' ')"
  echo "$sum  $orig" | sha256sum --check --status ||
    fail "$orig does not match the checksum in $dsc"
  folder=$(tar -tf "$orig" | awk -F/ 'NR == 1 { print $1 }')
  tar -xf "$orig"
  echo "fetch-debian-source: Debian's part of '$package' could not be fetched" \
    "($(grep '^E:' "$log" | head -n 1)); using the package's upstream tarball $orig," \
    "checked against $dsc" >&2
fi
realpath "$folder" >"$package.source-folder"
cat "$package.source-folder"
