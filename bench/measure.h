// The timing loop that every request benchmark shares: the machine is built afresh outside the
// timed region, only the request itself is timed, and the platform calls it made are put beside
// its time.
#ifndef BENCH_MEASURE_H
#define BENCH_MEASURE_H

#include <benchmark/benchmark.h>
#include <winsim.h>

#include <string>

#include "bench_machine.h"

namespace bench {

// prepare(): builds the machine for one request; request(): makes it; verify(): checks what it
// did. Each returns nullptr when all is well, or a message that stops the benchmark, so that no
// figure is ever reported for a request that did not do its work.
template <typename Prepare, typename Request, typename Verify>
void MeasureRequest(benchmark::State &state, Prepare &&prepare, Request &&request, Verify &&verify) {
  FamilyCounts counts;
  for (auto _ : state) {
    state.PauseTiming();
    if (const char *error = prepare()) {
      state.SkipWithError(error);
      break;
    }
    winsim::ResetCallCounts();
    state.ResumeTiming();

    const char *error = request();

    state.PauseTiming();
    counts = CountCallsByFamily();
    if (error == nullptr) error = verify();
    const std::string unclassified = "platform functions of no known family: " + counts.unclassified;
    if (error == nullptr && !counts.unclassified.empty()) error = unclassified.c_str();
    if (error != nullptr) {
      state.SkipWithError(error);
      break;
    }
    state.ResumeTiming();
  }
  ReportCalls(state, counts);
}

}  // namespace bench

#endif  // BENCH_MEASURE_H
