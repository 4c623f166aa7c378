// Machines for the benchmarks, built on the simulated platform the way the product tests build
// them: the base machine with the maker's class, driver service and tools, existing adapters that
// hold controller numbers (every second one not present), and the new adapter as SetupAPI hands
// it to the co-installer. Also the split of the platform's call counts into API families.
#ifndef BENCH_BENCH_MACHINE_H
#define BENCH_BENCH_MACHINE_H

#include <benchmark/benchmark.h>
#include <winsim.h>

#include <string>
#include <vector>

namespace bench {

// The adapter that the installation, the driver choice and the removal are about.
extern const char kNewAdapter[];
// Where the driver package's INF lies when SetupAPI reads it for the new adapter.
extern const char kPackageInf[];

// A fresh machine: everything forgotten, drive C: emptied, the base machine set up, and the
// co-installer loaded as SetupAPI loads it (so its instance handle is the module's).
void FreshMachine();

// Adds `existing` adapters of the maker, each holding controller k (k = 1..existing) in its key
// and under "ORVIK AG": either every adapter with an even k is not present, or none is present.
enum class Presence { EverySecondAbsent, AllAbsent };
void AddExistingAdapters(int existing, Presence presence = Presence::EverySecondAbsent);

// Adds the new adapter (present, no controller number yet) and returns its instance id.
std::string AddNewAdapter();

// Writes `count` INF files of the maker's class into the INF folder (oem1.inf, oem2.inf, ...),
// one compatible driver each, with distinct DriverVer dates; the latest is not the first.
void WriteCompatibleDrivers(int count);

// The device as SetupAPI hands it to the co-installer: an element of a set of its own. Every
// step reports failure by its result, so a benchmark can stop with a message.
class DeviceSet {
 public:
  DeviceSet() = default;
  ~DeviceSet() { Close(); }
  DeviceSet(const DeviceSet &) = delete;
  DeviceSet &operator=(const DeviceSet &) = delete;

  bool Open(const std::string &instanceId);
  void Close();
  // Builds the compatible-driver list from the INF folder, as SetupAPI does before it asks the
  // co-installer to choose.
  bool BuildDriversFromInfFolder();
  // Builds the list from the driver package's INF alone, as SetupAPI does for an installation
  // from a package; and that plus the platform's choice, which SetupAPI has made by the time it
  // installs the device.
  bool BuildPackageDrivers();
  bool SelectPackageDriver() { return BuildPackageDrivers() && SelectBestDriver(); }
  // The platform's own choice after the co-installer's: the driver with the lowest rank.
  bool SelectBestDriver();

  // Ranks of the compatible drivers, in list order; and setting them back.
  std::vector<DWORD> Ranks();
  bool SetRanks(const std::vector<DWORD> &ranks);

  HDEVINFO set = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA data = {};
};

// The co-installer's three requests through its entry point, as SetupAPI calls them.
DWORD ChooseDriver(DeviceSet &device);
DWORD PreInstall(DeviceSet &device, COINSTALLER_CONTEXT_DATA &context);
DWORD PostInstall(DeviceSet &device, COINSTALLER_CONTEXT_DATA &context);
DWORD Remove(DeviceSet &device);

// A finished installation of the new adapter (pre- and post-processing), for the removal.
bool InstallNewAdapter(const std::string &instanceId);

// Platform calls made since winsim::ResetCallCounts(), by API family.
struct FamilyCounts {
  unsigned long registry = 0;  // registry and key security (advapi32)
  unsigned long setupApi = 0;  // device sets, driver lists, device keys, INF files
  unsigned long files = 0;     // files, folders, handles (kernel32)
  unsigned long other = 0;     // window manager, event log, processes, modules, memory, clock
  std::string unclassified;    // names of called functions that belong to no family known here
  unsigned long Total() const { return registry + setupApi + files + other; }
};
FamilyCounts CountCallsByFamily();

// Puts the counts of the request just made beside its time. The figures do not depend on the
// host: the same request makes the same calls on every machine.
void ReportCalls(benchmark::State &state, const FamilyCounts &counts);

}  // namespace bench

#endif  // BENCH_BENCH_MACHINE_H
