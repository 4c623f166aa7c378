// What the co-installer's requests cost: the driver choice by the number of compatible drivers,
// the pre-install by the number of controllers and adapters the machine has already, the
// post-install, a whole installation, and the removal of the maker's last present adapter.
#include <string>
#include <vector>

#include "bench_benchmarks.h"
#include "bench_machine.h"
#include "coinstaller_machine.h"
#include "measure.h"

namespace bench {
namespace {

// The driver choice. The machine and the driver list are built once; between requests the ranks
// that the choice changed are set back, so every request starts from the same list.
void DriverChoice(benchmark::State &state) {
  const int drivers = static_cast<int>(state.range(0));
  FreshMachine();
  const std::string id = AddNewAdapter();
  WriteCompatibleDrivers(drivers);
  DeviceSet device;
  if (!device.Open(id) || !device.BuildDriversFromInfFolder()) {
    state.SkipWithError("the driver list cannot be built");
    return;
  }
  const std::vector<DWORD> startRanks = device.Ranks();
  if (startRanks.size() != static_cast<size_t>(drivers)) {
    state.SkipWithError("the driver list does not hold one driver per INF");
    return;
  }

  MeasureRequest(
      state,
      [&]() -> const char * { return device.SetRanks(startRanks) ? nullptr : "the ranks cannot be set back"; },
      [&]() -> const char * { return ChooseDriver(device) == NO_ERROR ? nullptr : "the choice failed"; },
      [&]() -> const char * {
        // Every driver drops one rank, except the one elected by its date, which gets the best
        // rank; a single driver is never elected, since the first date read elects nobody.
        const std::vector<DWORD> ranks = device.Ranks();
        if (ranks.size() != startRanks.size()) return "the driver list changed";
        int elected = 0;
        for (size_t i = 0; i < ranks.size(); ++i) {
          if (ranks[i] == 0) {
            ++elected;
          } else if (ranks[i] != startRanks[i] + 1) {
            return "a driver was not re-ranked";
          }
        }
        return elected == (drivers > 1 ? 1 : 0) ? nullptr : "the choice elected an unexpected number of drivers";
      });
}

// The number that the new adapter gets: 1 on an empty machine; with existing adapters number 1
// is held by a present one, and number 2 is either free or held by one that is not present,
// which gives it up.
DWORD ExpectedNumber(int existing) {
  return existing == 0 ? 1 : 2;
}

// The pre-install phase on a machine with `existing` controllers and adapters, half of them not
// present.
void PreInstallRequest(benchmark::State &state) {
  const int existing = static_cast<int>(state.range(0));
  DeviceSet device;
  COINSTALLER_CONTEXT_DATA context = {};
  MeasureRequest(
      state,
      [&]() -> const char * {
        device.Close();
        FreshMachine();
        AddExistingAdapters(existing);
        return device.Open(AddNewAdapter()) && device.SelectPackageDriver() ? nullptr
                                                                            : "the device set cannot be prepared";
      },
      [&]() -> const char * {
        return PreInstall(device, context) == ERROR_DI_POSTPROCESSING_REQUIRED ? nullptr
                                                                               : "the pre-install refused";
      },
      [&]() -> const char * {
        const DWORD number = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(context.PrivateData));
        return number == ExpectedNumber(existing) ? nullptr : "the new adapter got an unexpected number";
      });
}

// The post-install phase after a pre-install on the same machine.
void PostInstallRequest(benchmark::State &state) {
  const int existing = static_cast<int>(state.range(0));
  DeviceSet device;
  COINSTALLER_CONTEXT_DATA context = {};
  MeasureRequest(
      state,
      [&]() -> const char * {
        device.Close();
        FreshMachine();
        AddExistingAdapters(existing);
        if (!device.Open(AddNewAdapter()) || !device.SelectPackageDriver())
          return "the device set cannot be prepared";
        return PreInstall(device, context) == ERROR_DI_POSTPROCESSING_REQUIRED ? nullptr
                                                                               : "the pre-install refused";
      },
      [&]() -> const char * {
        return PostInstall(device, context) == NO_ERROR ? nullptr : "the post-install did not return success";
      },
      [&]() -> const char * {
        // Both programs start only after the whole tools set-up went through.
        return winsim::StartedProcesses().size() == 2 ? nullptr : "the monitor and tool programs were not started";
      });
}

// A whole installation as the co-installer sees it: the driver choice, the pre-install and the
// post-install. The platform's own selection is made beforehand: with the package's single
// driver, the choice does not change which driver it selects.
void WholeInstallation(benchmark::State &state) {
  const int existing = static_cast<int>(state.range(0));
  DeviceSet device;
  COINSTALLER_CONTEXT_DATA context = {};
  MeasureRequest(
      state,
      [&]() -> const char * {
        device.Close();
        FreshMachine();
        AddExistingAdapters(existing);
        return device.Open(AddNewAdapter()) && device.SelectPackageDriver() ? nullptr
                                                                            : "the device set cannot be prepared";
      },
      [&]() -> const char * {
        if (ChooseDriver(device) != NO_ERROR) return "the choice failed";
        if (PreInstall(device, context) != ERROR_DI_POSTPROCESSING_REQUIRED) return "the pre-install refused";
        return PostInstall(device, context) == NO_ERROR ? nullptr : "the post-install did not return success";
      },
      [&]() -> const char * {
        return winsim::StartedProcesses().size() == 2 ? nullptr : "the monitor and tool programs were not started";
      });
}

// The removal of the maker's last present adapter, installed before, on a machine that also has
// `absent` adapters that are not present; no monitor application listens. The quit exchange
// inside it waits for its wind-up timer on the virtual clock, which the counter shows.
void RemoveLastAdapter(benchmark::State &state) {
  const int absent = static_cast<int>(state.range(0));
  DeviceSet device;
  uint64_t startMs = 0;
  uint64_t virtualMs = 0;
  MeasureRequest(
      state,
      [&]() -> const char * {
        device.Close();
        FreshMachine();
        AddExistingAdapters(absent, Presence::AllAbsent);
        const std::string id = AddNewAdapter();
        if (!InstallNewAdapter(id)) return "the adapter cannot be installed";
        if (!winsim::GetString(machine::kRunKey, "ONLMonitor")) return "the installation left no Run entry";
        startMs = winsim::NowMs();
        return device.Open(id) ? nullptr : "the device set cannot be prepared";
      },
      [&]() -> const char * { return Remove(device) == NO_ERROR ? nullptr : "the removal did not return 0"; },
      [&]() -> const char * {
        virtualMs = winsim::NowMs() - startMs;
        // The Run entry goes only with the product-wide removal of the last adapter.
        return winsim::GetString(machine::kRunKey, "ONLMonitor") ? "the product set-up was not removed" : nullptr;
      });
  state.counters["virtual_ms"] = static_cast<double>(virtualMs);
}

}  // namespace

void RegisterInstallationBenchmarks() {
  benchmark::RegisterBenchmark("DriverChoice", DriverChoice)
      ->ArgName("drivers")
      ->Arg(1)
      ->Arg(8)
      ->Arg(64)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("PreInstall", PreInstallRequest)
      ->ArgName("existing")
      ->Arg(0)
      ->Arg(8)
      ->Arg(64)
      ->Arg(256)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("PostInstall", PostInstallRequest)
      ->ArgName("existing")
      ->Arg(0)
      ->Arg(8)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("WholeInstallation", WholeInstallation)
      ->ArgName("existing")
      ->Arg(0)
      ->Arg(8)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("RemoveLastAdapter", RemoveLastAdapter)
      ->ArgName("absent")
      ->Arg(0)
      ->Arg(8)
      ->Unit(benchmark::kMicrosecond)
      ->UseRealTime();
}

}  // namespace bench
