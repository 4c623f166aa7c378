// The simplest platform operations that the requests are made of, measured in the same run so
// that each request's cost can be told as a multiple of them: one class device list built,
// walked and destroyed on the same machine as the pre-install; one registry key opened and
// closed; one INF file opened and closed. Also the request benchmarks' timing loop on its own.
#include <string>

#include "bench_benchmarks.h"
#include "bench_machine.h"
#include "coinstaller_machine.h"
#include "measure.h"

namespace bench {
namespace {

// The machine of the pre-install benchmark of the same size, built once: nothing here changes it.
void ClassDeviceList(benchmark::State &state) {
  const int existing = static_cast<int>(state.range(0));
  FreshMachine();
  AddExistingAdapters(existing);
  AddNewAdapter();
  GUID classGuid;
  if (!winsim::ParseGuid(machine::kOrvikClassGuid, &classGuid)) {
    state.SkipWithError("bad class GUID");
    return;
  }

  DWORD devices = 0;
  for (auto _ : state) {
    // Present and absent devices, as the numbering lists them when it looks for a number's holder.
    HDEVINFO list = SetupDiGetClassDevsA(&classGuid, nullptr, nullptr, 0);
    if (list == INVALID_HANDLE_VALUE) {
      state.SkipWithError("the class device list cannot be built");
      break;
    }
    SP_DEVINFO_DATA element = {};
    element.cbSize = sizeof(element);
    for (devices = 0; SetupDiEnumDeviceInfo(list, devices, &element); ++devices) {
    }
    SetupDiDestroyDeviceInfoList(list);
  }
  if (devices != static_cast<DWORD>(existing + 1)) state.SkipWithError("the list does not hold every adapter");
  state.counters["devices"] = devices;
}

// A controller key of the numbering, on the pre-install machine with 8 adapters.
void RegistryOpenClose(benchmark::State &state) {
  FreshMachine();
  AddExistingAdapters(8);
  for (auto _ : state) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\CAPI20\\1\\1", 0, KEY_READ, &key) != ERROR_SUCCESS) {
      state.SkipWithError("the controller key does not open");
      break;
    }
    RegCloseKey(key);
  }
}

// The driver package's INF, as the driver choice opens each compatible driver's INF.
void InfOpenClose(benchmark::State &state) {
  FreshMachine();
  WriteCompatibleDrivers(1);
  const std::string path = "C:\\WINDOWS\\inf\\oem1.inf";
  for (auto _ : state) {
    UINT errorLine = 0;
    HINF inf = SetupOpenInfFileA(path.c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
    if (inf == INVALID_HANDLE_VALUE) {
      state.SkipWithError("the INF does not open");
      break;
    }
    SetupCloseInfFile(inf);
  }
}

// The timing loop of the request benchmarks around a request that does nothing: what stopping and
// restarting the timers around each request adds to its time (it matters only for the shortest
// requests).
void TimingLoop(benchmark::State &state) {
  MeasureRequest(
      state, []() -> const char * { return nullptr; }, []() -> const char * { return nullptr; },
      []() -> const char * { return nullptr; });
}

}  // namespace

void RegisterBaselineBenchmarks() {
  benchmark::RegisterBenchmark("Baseline/ClassDeviceList", ClassDeviceList)
      ->ArgName("existing")
      ->Arg(0)
      ->Arg(8)
      ->Arg(64)
      ->Arg(256)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("Baseline/RegistryOpenClose", RegistryOpenClose)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("Baseline/InfOpenClose", InfOpenClose)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("Baseline/TimingLoop", TimingLoop)->Unit(benchmark::kMicrosecond);
}

}  // namespace bench
