#!/usr/bin/env bash
# Builds the libFuzzer targets in build/fuzz (clang, with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs them.
# Usage: scripts/fuzz.sh                  a short run of every target (its CTest run)
#        scripts/fuzz.sh TARGET SECONDS   a longer run of one target
# Targets: inf_reader autoexec driver_ver reg_loader install_cycle.
# What a run finds is kept in build/fuzz/fuzz/corpus/TARGET; a failing input is written to
# build/fuzz/fuzz/crash-TARGET-*, and replays with build/fuzz/fuzz/fuzz_TARGET FILE.
set -euo pipefail
cd "$(dirname "$0")/.."
targets=(inf_reader autoexec driver_ver reg_loader install_cycle)

cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_COMPILER=clang -DONLCOIN_FUZZ=ON >/dev/null
cmake --build build/fuzz --target fuzzers

if [ $# -eq 0 ]; then
  exec ctest --test-dir build/fuzz -L fuzz --output-on-failure -j2
fi

target=$1
seconds=${2:-60}
if [[ ! " ${targets[*]} " == *" $target "* ]]; then
  echo "unknown target $target; one of: ${targets[*]}" >&2
  exit 2
fi
work=build/fuzz/fuzz/corpus/$target
mkdir -p "$work"
exec env ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  "build/fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 \
  -artifact_prefix="build/fuzz/fuzz/crash-$target-" "$work" "fuzz/corpus/$target"
