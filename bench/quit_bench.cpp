// The monitor quit exchange with no monitor application listening, timed on the wall clock: the
// exchange makes its window, asks who listens, winds up on its short timer and cleans up. On the
// simulated platform the wait for that timer is a jump of the virtual clock, shown beside the
// real time.
#include "bench_benchmarks.h"
#include "measure.h"
#include "onlcoin_module.h"
#include "setuplib.h"

namespace bench {
namespace {

constexpr char kModuleFile[] = "onlcoin.dll";

void QuitExchangeNoListener(benchmark::State &state) {
  HINSTANCE module = nullptr;
  uint64_t virtualMs = 0;
  DWORD status = SETUP_STATUS_OK;
  MeasureRequest(
      state,
      [&]() -> const char * {
        // A fresh window manager and virtual clock; the exchange keeps nothing else.
        winsim::Reset();
        RegisterOnlcoinModule();
        module = LoadLibraryA(kModuleFile);
        return module != nullptr ? nullptr : "the co-installer does not load";
      },
      [&]() -> const char * {
        status = CloseMonitorApplications(module);
        return nullptr;
      },
      [&]() -> const char * {
        virtualMs = winsim::NowMs();
        if (status != SETUP_STATUS_OK) return "the exchange did not end with success";
        return virtualMs != 0 ? nullptr : "the exchange did not wait for its timer";
      });
  state.counters["virtual_ms"] = static_cast<double>(virtualMs);
}

}  // namespace

void RegisterQuitBenchmarks() {
  benchmark::RegisterBenchmark("QuitExchangeNoListener", QuitExchangeNoListener)
      ->Unit(benchmark::kMicrosecond)
      ->UseRealTime();
}

}  // namespace bench
