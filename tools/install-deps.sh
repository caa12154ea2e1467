#!/usr/bin/env bash
# Installs what building and testing the package needs, from Debian's packages, including the
# 32-bit Wine that runs the i686 build's Wine tier (which needs the i386 architecture added).
# Does nothing when everything is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine64 wine32:i386
  python3-mido python3-pefile dpkg-dev
  osslsigncode zip
  valgrind
)

# The Wine tier builds third-party MIDI clients from Debian's source packages (`apt-get source
# rtmidi portmidi`, fetched by the build, never committed): apt needs deb-src entries for Debian's
# archives. Adds "deb-src" beside "deb" in every entry when no source index is configured.
source_indexes_configured() {
  apt-get indextargets --format '$(IDENTIFIER)' 2>/dev/null | grep -qx Sources
}

enable_debian_sources() {
  local file
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    # deb822 stanzas: a binary-only Types line gains deb-src.
    sed -i 's/^Types: deb$/Types: deb deb-src/' "$file"
  done
  if [ -f /etc/apt/sources.list ]; then
    awk '{ print }
         /^deb / { line = $0; sub(/^deb /, "deb-src ", line); print line }' \
      /etc/apt/sources.list >/etc/apt/sources.list.new && mv /etc/apt/sources.list.new /etc/apt/sources.list
  fi
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

need_update=0
# wine32:i386 runs the 32-bit Wine tier; its architecture must be known to dpkg first.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
  need_update=1
fi
if ! source_indexes_configured; then
  echo "Enabling Debian's source packages (deb-src)"
  "${sudo_cmd[@]}" bash -c "$(declare -f enable_debian_sources); enable_debian_sources"
  need_update=1
fi

if ((${#missing[@]})) || ((need_update)); then
  "${sudo_cmd[@]}" apt-get update -qq
fi
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
