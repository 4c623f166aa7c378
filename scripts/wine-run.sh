#!/usr/bin/env bash
# Runs a Windows program under Wine in one of the project's prefixes, making the prefix first when
# it does not exist: headless (the null graphics driver, so hidden windows, broadcasts and timers
# work without a display) and quiet (WINEDEBUG=-all).
# Usage: scripts/wine-run.sh [--win32] PROGRAM.exe [ARGS...]
#   without --win32: a 64-bit program under 64-bit Wine, in build/wine-prefix (or $WINEPREFIX);
#   with --win32: a 32-bit program under 32-bit Wine, in build/wine32-prefix, a prefix made with
#   WINEARCH=win32, so that the program sees a 32-bit Windows as the shipped DLL's users do.
# Exit 77 (skipped) when that Wine or the program is missing; otherwise the program's exit code.
# The program gets a time limit (WINE_TEST_TIMEOUT seconds, default 600).
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
wineserver=/usr/lib/wine/wineserver
if [ "${1:-}" = --win32 ]; then
  shift
  wine=/usr/lib/wine/wine
  package="32-bit Wine (Debian package wine32:i386)"
  preset=win32-tests
  export WINEARCH=win32
  export WINEPREFIX="$root/build/wine32-prefix"
else
  wine=/usr/lib/wine/wine64
  package="Wine (Debian package wine64)"
  preset=win64
  export WINEPREFIX="${WINEPREFIX:-$root/build/wine-prefix}"
fi
program=${1:?usage: wine-run.sh [--win32] PROGRAM.exe [ARGS...]}
shift

if [ ! -x "$wine" ]; then
  echo "skipped: $package is not installed; run scripts/test.sh as root to install it"
  exit 77
fi
if [ ! -f "$program" ]; then
  echo "skipped: $program was not built (cmake --build --preset $preset)"
  exit 77
fi

export WINEDEBUG=-all
# No Mono or Gecko installers; no crash debugger (it would wait until the time limit instead of
# letting a crashed program end with a failure).
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
lock="$root/build/$(basename "$WINEPREFIX").lock"
mkdir -p "$(dirname "$lock")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/.onlcoin-ready" ]; then
    rm -rf "$WINEPREFIX"
    "$wine" wineboot -i >/dev/null 2>&1
    "$wineserver" -w
    "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    "$wineserver" -w
    touch "$WINEPREFIX/.onlcoin-ready"
  fi
) 9>"$lock"

timeout "${WINE_TEST_TIMEOUT:-600}" "$wine" "$program" "$@"
