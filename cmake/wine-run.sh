#!/bin/bash
# Runs a Windows program under wine64: the CMAKE_CROSSCOMPILING_EMULATOR of the windows-x64
# preset, used by test discovery and by CTest.
#
# Wine prefix: $WINEPREFIX when the caller set one (.ci/windows.sh does, with its COM port link);
# otherwise a throw-away prefix in the temporary directory, created on first use and shared by
# later runs so that each test case does not pay for a new prefix.
# Carriage returns are dropped from standard output: Windows programs write text mode CR LF, and
# test discovery expects plain line feeds.
set -u -o pipefail

wine="${TOVREL_WINE64:-/usr/lib/wine/wine64}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/tovrel-wine-$(id -u)}"
run_limit="${TOVREL_WINE_TIMEOUT:-300}"

if [ ! -e "$WINEPREFIX/.tovrel-ready" ]; then
  mkdir -p "$WINEPREFIX" || exit 1
  # Several test processes may start together; one of them creates the prefix.
  (
    flock -w 180 9 || exit 1
    if [ ! -e "$WINEPREFIX/.tovrel-ready" ]; then
      timeout -k 5 120 "$wine" wineboot -i >/dev/null 2>&1 || exit 1
      touch "$WINEPREFIX/.tovrel-ready"
    fi
  ) 9>"$WINEPREFIX/.tovrel-lock" || {
    echo "wine-run.sh: could not prepare wine prefix $WINEPREFIX" >&2
    exit 1
  }
fi

timeout -k 5 "$run_limit" "$wine" "$@" | tr -d '\r'
