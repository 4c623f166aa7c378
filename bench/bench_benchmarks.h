// The benchmark groups, registered by the program's main in the order they run: the baselines
// first, so that every request's ratio to them is measured in the same run.
#ifndef BENCH_BENCH_BENCHMARKS_H
#define BENCH_BENCH_BENCHMARKS_H

namespace bench {

void RegisterBaselineBenchmarks();
void RegisterInstallationBenchmarks();
void RegisterQuitBenchmarks();

}  // namespace bench

#endif  // BENCH_BENCH_BENCHMARKS_H
