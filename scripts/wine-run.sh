#!/usr/bin/env bash
# Runs a Windows program under 64-bit Wine in the project's prefix (build/wine-prefix), making
# the prefix first when it does not exist: headless (the null graphics driver, so hidden windows,
# broadcasts and timers work without a display) and quiet (WINEDEBUG=-all).
# Usage: scripts/wine-run.sh PROGRAM.exe [ARGS...]
# Exit 77 (skipped) when Wine or the program is missing; otherwise the program's exit code.
# The program gets a time limit (WINE_TEST_TIMEOUT seconds, default 600).
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
program=${1:?usage: wine-run.sh PROGRAM.exe [ARGS...]}
shift

if [ ! -x "$wine" ]; then
  echo "skipped: Wine (Debian package wine64) is not installed; run scripts/test.sh as root to install it"
  exit 77
fi
if [ ! -f "$program" ]; then
  echo "skipped: $program was not built (cmake --build --preset win64)"
  exit 77
fi

export WINEPREFIX="${WINEPREFIX:-$root/build/wine-prefix}"
export WINEDEBUG=-all
# No Mono or Gecko installers; no crash debugger (it would wait until the time limit instead of
# letting a crashed program end with a failure).
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
lock="$root/build/wine-prefix.lock"
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
