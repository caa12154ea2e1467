#!/usr/bin/env bash
# The Wine bench: creates the private Wine prefix of a test run and gives tests (and people) the
# few things they do in it: install files, run a program, read and write the registry, stop.
#
# Usage: WINEPREFIX=/abs/prefix [OVTM_WINE_ARCH=win32] wine-bench.sh COMMAND ...
#   OVTM_WINE_ARCH: win64 (the default: a 64-bit prefix, programs run by wine64) or win32 (a 32-bit
#   prefix for the i686 build, programs run by the 32-bit wine)
#   create                                fresh prefix (old one deleted), Graphics=null, server kept up
#   stop                                  end the prefix's wineserver and everything running in it
#   install DIR FILE...                   copy files into C:\DIR (created if needed)
#   run [--timeout S] [--dir DIR] PROGRAM [ARG...]
#                                         run a program (from C:\DIR if given); its output is passed
#                                         through and its exit code returned (124 on time-out)
#   run-test NAME [--timeout S] [--install FILE]... -- PROGRAM [ARG...]
#                                         install PROGRAM and FILEs into C:\ovtm-tests\NAME, run it there
#   reg-write KEY VALUE TYPE DATA         e.g. reg-write 'HKCU\Software\X' Name REG_SZ text
#   reg-read KEY VALUE                    print the value's data as reg.exe shows it; 1 if absent
#   reg-delete KEY [VALUE]                delete a value, or the whole key
set -euo pipefail

arch=${OVTM_WINE_ARCH:-win64}
case $arch in
  win64) loader=${OVTM_WINE64:-/usr/lib/wine/wine64} loader_package=wine64 ;;
  win32) loader=${OVTM_WINE32:-/usr/lib/wine/wine} loader_package=wine32:i386 ;;
  *) echo "wine-bench: OVTM_WINE_ARCH is win64 or win32, not $arch" >&2; exit 2 ;;
esac
wineserver=${OVTM_WINESERVER:-/usr/lib/wine/wineserver}
: "${WINEPREFIX:?WINEPREFIX must name the bench prefix (an absolute path)}"
[[ "$WINEPREFIX" = /* ]] || { echo "WINEPREFIX must be absolute: $WINEPREFIX" >&2; exit 2; }

export WINEPREFIX WINEARCH=$arch
# Wine wants a home folder; a bare CI environment may have none.
export HOME=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
export HOME=${HOME:-/tmp}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installers: they would ask for downloads and dialogs.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# No display, ever: hidden windows go through the null graphics driver set up by "create".
unset DISPLAY WAYLAND_DISPLAY

default_timeout=${OVTM_WINE_TIMEOUT:-60}
# The server stays up between the programs of a run and ends by itself this many seconds after
# the last one, should "stop" never come (an interrupted run).
server_linger=${OVTM_WINE_LINGER:-120}

die() {
  echo "wine-bench: $*" >&2
  exit 2
}

# Every wine call is bounded: a hung program must fail its test, not the whole run.
wine_call() {
  local seconds=$1
  shift
  timeout --kill-after=5 "$seconds" "$loader" "$@" </dev/null
}

# Process ids of the Wine processes of this prefix (its server and its programs, whoever started
# them): a Wine image with this WINEPREFIX in its environment. Shells that merely carry the
# variable (this script, its callers) are not Wine images.
prefix_processes() {
  local environ pid image
  for environ in $(grep -lzxF "WINEPREFIX=$WINEPREFIX" /proc/[0-9]*/environ 2>/dev/null); do
    pid=${environ#/proc/}
    pid=${pid%/environ}
    image=$(readlink "/proc/$pid/exe" 2>/dev/null) || continue
    [[ $image == */wine/* ]] && echo "$pid"
  done
  return 0
}

# Ends the prefix's server and every process still running in it, and waits until they are gone:
# a program that outlived its server (one starting while the server went) is ended by its id.
end_everything() {
  "$wineserver" -k >/dev/null 2>&1 || true
  local round pids
  for round in $(seq 50); do
    pids=$(prefix_processes)
    [[ -n $pids ]] || return 0
    ((round < 10)) || kill -KILL $pids 2>/dev/null || true
    sleep 0.1
  done
  echo "wine-bench: processes of $WINEPREFIX still running: $(prefix_processes | tr '\n' ' ')" >&2
  return 1
}

cmd_create() {
  [[ -x "$loader" ]] || die "$loader not found (tools/install-deps.sh installs $loader_package)"
  end_everything || die "the old prefix's processes do not end"
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  # The server outlives this script: it must not hold the caller's output open (CTest waits
  # for that pipe to close).
  "$wineserver" -p"$server_linger" </dev/null >/dev/null 2>&1
  wine_call 180 wineboot --init >/dev/null 2>&1 || die "wineboot --init failed in $WINEPREFIX"
  wine_call 60 reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null ||
    die "could not select the null graphics driver"
  # The desktop process that wineboot started chose its graphics driver before that value
  # existed, and windows cannot be created through it: restart the server (and with it the
  # desktop) so that every program of the run gets the null driver.
  "$wineserver" -k >/dev/null 2>&1 || true
  "$wineserver" -p"$server_linger" </dev/null >/dev/null 2>&1
  # Boot again here, so that the desktop and the services start now with their output going
  # nowhere rather than with the first test's (which would keep CTest waiting on it).
  wine_call 120 wineboot >/dev/null 2>&1 || die "wineboot failed in $WINEPREFIX"
  echo "wine-bench: prefix ready at $WINEPREFIX"
}

cmd_stop() {
  end_everything || die "stopping $WINEPREFIX left processes running"
  echo "wine-bench: stopped $WINEPREFIX"
}

cmd_install() {
  (($# >= 2)) || die "install DIR FILE..."
  local dir=$1
  shift
  local dest="$WINEPREFIX/drive_c/${dir//\\//}"
  mkdir -p "$dest"
  cp -f "$@" "$dest/"
}

cmd_run() {
  local seconds=$default_timeout dir=""
  while (($#)); do
    case $1 in
      --timeout) seconds=$2; shift 2 ;;
      --dir) dir=$2; shift 2 ;;
      *) break ;;
    esac
  done
  (($#)) || die "run: no program"
  if [[ -n "$dir" ]]; then
    cd "$WINEPREFIX/drive_c/${dir//\\//}" || die "run: no folder C:\\$dir"
  fi
  local status=0
  wine_call "$seconds" "$@" || status=$?
  ((status != 124)) || echo "wine-bench: $1 timed out after ${seconds}s" >&2
  return $status
}

cmd_run_test() {
  (($#)) || die "run-test NAME ..."
  local name=$1 seconds=$default_timeout
  local -a files=()
  shift
  while (($#)); do
    case $1 in
      --timeout) seconds=$2; shift 2 ;;
      --install) files+=("$2"); shift 2 ;;
      --) shift; break ;;
      *) die "run-test: unknown option $1" ;;
    esac
  done
  (($#)) || die "run-test: no program"
  local program=$1
  shift
  local dir="ovtm-tests\\$name"
  rm -rf "$WINEPREFIX/drive_c/ovtm-tests/$name"
  cmd_install "$dir" "$program" "${files[@]}"
  cmd_run --timeout "$seconds" --dir "$dir" "$(basename "$program")" "$@"
}

cmd_reg_write() {
  (($# == 4)) || die "reg-write KEY VALUE TYPE DATA"
  wine_call "$default_timeout" reg add "$1" /v "$2" /t "$3" /d "$4" /f >/dev/null
}

cmd_reg_read() {
  (($# == 2)) || die "reg-read KEY VALUE"
  local out
  out=$(wine_call "$default_timeout" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r') || return 1
  # reg.exe prints "    NAME    TYPE    DATA"; the data may itself hold spaces.
  awk -v name="$2" 'BEGIN { FS = "    " }
    $2 == name { data = $4; for (i = 5; i <= NF; i++) data = data FS $i; print data; found = 1 }
    END { exit found ? 0 : 1 }' <<<"$out"
}

cmd_reg_delete() {
  (($# == 1 || $# == 2)) || die "reg-delete KEY [VALUE]"
  if (($# == 2)); then
    wine_call "$default_timeout" reg delete "$1" /v "$2" /f >/dev/null
  else
    wine_call "$default_timeout" reg delete "$1" /f >/dev/null
  fi
}

(($#)) || die "no command (create, stop, install, run, run-test, reg-write, reg-read, reg-delete)"
command=$1
shift
case $command in
  create) cmd_create ;;
  stop) cmd_stop ;;
  install) cmd_install "$@" ;;
  run) cmd_run "$@" ;;
  run-test) cmd_run_test "$@" ;;
  reg-write) cmd_reg_write "$@" ;;
  reg-read) cmd_reg_read "$@" ;;
  reg-delete) cmd_reg_delete "$@" ;;
  *) die "unknown command $command" ;;
esac
