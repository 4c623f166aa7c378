#!/usr/bin/env bash
# The benchmark command: builds the benchmarks of the host preset in Release (in a folder of their
# own, so the test build keeps its settings) and runs them. The console table, ending with each
# request's cost as a multiple of the baselines, goes to the terminal and to bench.txt; Google
# Benchmark's JSON report goes to bench.json, both in the build folder. Arguments are passed on to
# the benchmark program (for example --benchmark_filter=PreInstall).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/host-release
cmake --preset host -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target onlcoin_bench -j2

"$build/bench/onlcoin_bench" --benchmark_out="$build/bench.json" --benchmark_out_format=json "$@" |
  tee "$build/bench.txt"
echo "Reports: $build/bench.txt, $build/bench.json"
