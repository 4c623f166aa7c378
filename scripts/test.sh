#!/usr/bin/env bash
# The test command: installs what is missing (as root), builds the presets (host with its tests,
# the 32-bit product DLL, the Wine test programs as 32-bit programs, the 64-bit DLL with the Wine
# test programs) and runs every test; then runs the host tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and each fuzz target briefly.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh all

section() { printf '\n==== %s ====\n' "$*"; }

# Fresh Wine prefixes for every run, 64-bit and 32-bit (made on first use by scripts/wine-run.sh).
rm -rf build/wine-prefix build/wine32-prefix

section "Windows builds"
for preset in win32 win32-tests win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

section "Host build"
cmake --preset host >/dev/null
cmake --build --preset host

section "Host tests"
if [ ! -x /usr/lib/wine/wine64 ]; then
  echo "Wine (wine64) is not installed: the tests on Wine are skipped (run this command as root to install it)."
fi
if [ ! -x /usr/lib/wine/wine ]; then
  echo "32-bit Wine (wine32:i386) is not installed: the wine32.* runs of the shipped 32-bit DLL are skipped" \
    "(run this command as root to install it)."
fi
ctest --preset host

section "Host tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset host-sanitize >/dev/null
cmake --build --preset host-sanitize
# The Windows programs under Wine are the same as above; only the host's own code is sanitized.
ctest --preset host-sanitize -E '^wine'

section "Fuzzing (short runs)"
bash scripts/fuzz.sh
