#!/usr/bin/env bash
# Makes the wine prefix ready before anything starts Windows programs in
# parallel. Wine creates its prefix on first use; several wine processes
# started at once on a missing prefix race each other ("could not load
# kernel32.dll", a missing server directory) and some of them hang. So every
# script that starts wine runs this first:
#
#   bash scripts/wine-prefix.sh
#
# It prepares $WINEPREFIX (default ~/.wine) once, with the 64-bit side and,
# where this machine runs 32-bit programs, the 32-bit side, and waits until
# wine has finished. A prefix that does not start a program of each side
# (one left half-made by an interrupted run) is removed and made again. Two
# scripts preparing at the same time take turns (a lock beside the prefix).
set -euo pipefail

export WINEDEBUG=${WINEDEBUG:--all}
prefix=${WINEPREFIX:-$HOME/.wine}
wine64=/usr/lib/wine/wine64
wine32=/usr/lib/wine/wine
server=/usr/lib/wine/wineserver

runs32() { /lib/ld-linux.so.2 --version >/dev/null 2>&1 && [ -x "$wine32" ]; }

# True when a trivial program of each side starts and prints.
works() {
  [ -f "$prefix/system.reg" ] || return 1
  timeout 120 "$wine64" cmd /c echo kvready 2>/dev/null | grep -q kvready || return 1
  if runs32; then
    timeout 120 "$wine32" cmd /c echo kvready 2>/dev/null | grep -q kvready || return 1
  fi
}

make_prefix() {
  "$server" -k 2>/dev/null || true
  rm -rf "$prefix"
  echo "wine: making the prefix $prefix"
  # wineboot of the 64-bit side also fills the 32-bit side (syswow64) where
  # the 32-bit wine is installed; -w waits until every wine process is done.
  timeout 600 "$wine64" wineboot -i >/dev/null 2>&1 || true
  "$server" -w
}

mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
if [ -d "$prefix" ] && works; then
  exit 0
fi
[ -d "$prefix" ] && echo "wine: the prefix $prefix does not start programs; making it again"
make_prefix
if ! works; then
  echo "wine: the prefix $prefix still does not start programs" >&2
  exit 1
fi
if runs32; then
  echo "wine: prefix ready (64-bit and 32-bit programs)"
elif /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  echo "wine: prefix ready (64-bit programs; the 32-bit wine is not installed)"
else
  echo "wine: prefix ready (64-bit programs; this machine cannot execute 32-bit ones)"
fi
