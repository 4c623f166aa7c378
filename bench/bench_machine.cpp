#include "bench_machine.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>

#include "coinstaller_machine.h"
#include "onlcoin_module.h"
#include "phases.h"

namespace bench {

const char kNewAdapter[] = "PCI\\VEN_1A2B&DEV_0C10\\1";
const char kPackageInf[] = "C:\\drivers\\orvik.inf";

namespace {

constexpr char kModuleFile[] = "onlcoin.dll";
constexpr char kInfFolder[] = "C:\\WINDOWS\\inf\\";
// Existing adapters get instance numbers from here on, clear of the new adapter's.
constexpr int kFirstExistingInstance = 100;
// INF files of other classes that every machine's INF folder holds, so that the purge of stale
// maker-class INF files before an installation has something to read.
constexpr int kForeignInfs = 2;
// The MS-DOS start-up file as every machine has it before the adapter's first installation, so
// that the pre-install edits a file that is there, as it does outside the benchmarks.
constexpr char kStockAutoexec[] =
    "@echo off\r\n"
    "REM start-up of the MS-DOS subsystem\r\n"
    "lh %SystemRoot%\\system32\\dosx\r\n";

// The host folder behind drive C:, one per benchmark process, removed when the process ends.
class FileRoot {
 public:
  FileRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "onlcoin-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a folder for drive C:");
    path_ = pattern;
  }
  ~FileRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  FileRoot(const FileRoot &) = delete;
  FileRoot &operator=(const FileRoot &) = delete;

  // Empties the folder; SetFileRoot then makes the Windows folders again.
  void Empty() const {
    for (const auto &entry : std::filesystem::directory_iterator(path_)) std::filesystem::remove_all(entry.path());
  }
  const std::string &Path() const { return path_; }

 private:
  std::string path_;
};

const FileRoot &Root() {
  static const FileRoot root;
  return root;
}

std::string ForeignInf(int index) {
  return "[Version]\r\n"
         "Signature=\"$Windows NT$\"\r\n"
         "Class=Ports\r\n"
         "ClassGuid=" +
         machine::kPortsClassGuid +
         "\r\n"
         "Provider=%Maker%\r\n"
         "DriverVer=01/01/2001,1.0.0." +
         std::to_string(index) +
         "\r\n"
         "\r\n"
         "[Strings]\r\n"
         "Maker=\"Other maker\"\r\n";
}

// Distinct dates, month/day/year, with the latest in the middle of the list, so that the choice
// elects a driver other than the first one.
std::string DriverDate(int index, int count) {
  const int latest = count / 2;
  const int year = (index == latest) ? 2010 : 2000 + index % 9;
  const int month = 1 + index % 12;
  const int day = 1 + index % 28;
  char text[16];
  std::snprintf(text, sizeof(text), "%02d/%02d/%04d", month, day, year);
  return text;
}

}  // namespace

void FreshMachine() {
  winsim::Reset();
  Root().Empty();
  winsim::SetFileRoot(Root().Path());
  machine::SetUpBaseMachine();
  winsim::PutFile(machine::kAutoexecPath, kStockAutoexec);
  for (int i = 1; i <= kForeignInfs; ++i) {
    winsim::PutFile(std::string(kInfFolder) + "oem" + std::to_string(900 + i) + ".inf", ForeignInf(i));
  }
  RegisterOnlcoinModule();
  if (LoadLibraryA(kModuleFile) == nullptr) throw std::runtime_error("the co-installer does not load");
}

void AddExistingAdapters(int existing, Presence presence) {
  for (int k = 1; k <= existing; ++k) {
    const std::string id = "PCI\\VEN_1A2B&DEV_0C10\\" + std::to_string(kFirstExistingInstance + k);
    machine::AddAdapter(machine::Adapter().Id(id).Controller(static_cast<DWORD>(k)));
    machine::HoldController(static_cast<DWORD>(k));
    if (presence == Presence::AllAbsent || k % 2 == 0) winsim::SetDevicePresent(id, false);
  }
}

std::string AddNewAdapter() {
  return machine::AddAdapter(machine::Adapter().Id(kNewAdapter));
}

void WriteCompatibleDrivers(int count) {
  for (int i = 0; i < count; ++i) {
    winsim::PutFile(std::string(kInfFolder) + "oem" + std::to_string(i + 1) + ".inf",
                    machine::DriverInf("Driver " + std::to_string(i + 1), DriverDate(i, count)));
  }
}

bool DeviceSet::Open(const std::string &instanceId) {
  Close();
  GUID guid;
  if (!winsim::ParseGuid(machine::kOrvikClassGuid, &guid)) return false;
  set = SetupDiCreateDeviceInfoList(&guid, nullptr);
  if (set == INVALID_HANDLE_VALUE) return false;
  data = {};
  data.cbSize = sizeof(data);
  return SetupDiOpenDeviceInfoA(set, instanceId.c_str(), nullptr, 0, &data) != FALSE;
}

void DeviceSet::Close() {
  if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
  set = INVALID_HANDLE_VALUE;
}

bool DeviceSet::BuildDriversFromInfFolder() {
  return SetupDiBuildDriverInfoList(set, &data, SPDIT_COMPATDRIVER) != FALSE;
}

bool DeviceSet::BuildPackageDrivers() {
  winsim::PutFile(kPackageInf, machine::DriverInf("ORVIK ISDN adapter", "06/26/2000"));
  SP_DEVINSTALL_PARAMS_A params = {};
  params.cbSize = sizeof(params);
  if (!SetupDiGetDeviceInstallParamsA(set, &data, &params)) return false;
  params.Flags |= DI_ENUMSINGLEINF;
  std::snprintf(params.DriverPath, sizeof(params.DriverPath), "%s", kPackageInf);
  if (!SetupDiSetDeviceInstallParamsA(set, &data, &params)) return false;
  return SetupDiBuildDriverInfoList(set, &data, SPDIT_COMPATDRIVER) != FALSE;
}

bool DeviceSet::SelectBestDriver() {
  return SetupDiSelectBestCompatDrv(set, &data) != FALSE;
}

std::vector<DWORD> DeviceSet::Ranks() {
  std::vector<DWORD> ranks;
  SP_DRVINFO_DATA_A driver = {};
  driver.cbSize = sizeof(driver);
  for (DWORD i = 0; SetupDiEnumDriverInfoA(set, &data, SPDIT_COMPATDRIVER, i, &driver); ++i) {
    SP_DRVINSTALL_PARAMS params = {};
    params.cbSize = sizeof(params);
    if (!SetupDiGetDriverInstallParamsA(set, &data, &driver, &params)) return {};
    ranks.push_back(params.Rank);
  }
  return ranks;
}

bool DeviceSet::SetRanks(const std::vector<DWORD> &ranks) {
  for (DWORD i = 0; i < ranks.size(); ++i) {
    SP_DRVINFO_DATA_A driver = {};
    driver.cbSize = sizeof(driver);
    SP_DRVINSTALL_PARAMS params = {};
    params.cbSize = sizeof(params);
    if (!SetupDiEnumDriverInfoA(set, &data, SPDIT_COMPATDRIVER, i, &driver) ||
        !SetupDiGetDriverInstallParamsA(set, &data, &driver, &params)) {
      return false;
    }
    params.Rank = ranks[i];
    if (!SetupDiSetDriverInstallParamsA(set, &data, &driver, &params)) return false;
  }
  return true;
}

DWORD ChooseDriver(DeviceSet &device) {
  COINSTALLER_CONTEXT_DATA context = {};
  return DeviceCoInstallerFunc(DIF_SELECTBESTCOMPATDRV, device.set, &device.data, &context);
}

DWORD PreInstall(DeviceSet &device, COINSTALLER_CONTEXT_DATA &context) {
  context = {};
  return DeviceCoInstallerFunc(DIF_INSTALLDEVICE, device.set, &device.data, &context);
}

DWORD PostInstall(DeviceSet &device, COINSTALLER_CONTEXT_DATA &context) {
  context.PostProcessing = TRUE;
  context.InstallResult = NO_ERROR;
  return DeviceCoInstallerFunc(DIF_INSTALLDEVICE, device.set, &device.data, &context);
}

DWORD Remove(DeviceSet &device) {
  COINSTALLER_CONTEXT_DATA context = {};
  return DeviceCoInstallerFunc(DIF_REMOVE, device.set, &device.data, &context);
}

bool InstallNewAdapter(const std::string &instanceId) {
  DeviceSet device;
  COINSTALLER_CONTEXT_DATA context = {};
  return device.Open(instanceId) && device.SelectPackageDriver() &&
         PreInstall(device, context) == ERROR_DI_POSTPROCESSING_REQUIRED &&
         PostInstall(device, context) == NO_ERROR;
}

namespace {

enum class Family { Registry, SetupApi, Files, Other };

// Every platform function the simulated platform offers, by family. A function missing here is
// reported by name instead of being counted somewhere by guess.
const std::map<std::string, Family> &FamilyOfFunction() {
  static const std::map<std::string, Family> families = [] {
    std::map<std::string, Family> table;
    for (const char *name :
         {"RegCloseKey", "RegCreateKeyExA", "RegDeleteKeyA", "RegDeleteValueA", "RegEnumKeyExA", "RegEnumValueA",
          "RegOpenKeyExA", "RegQueryInfoKeyA", "RegQueryValueExA", "RegSetKeySecurity", "RegSetValueExA",
          "InitializeSecurityDescriptor", "SetSecurityDescriptorDacl"}) {
      table[name] = Family::Registry;
    }
    for (const char *name : {"CM_Get_Device_IDA",
                             "SetupDiBuildDriverInfoList",
                             "SetupDiCreateDevRegKeyA",
                             "SetupDiCreateDeviceInfoA",
                             "SetupDiCreateDeviceInfoList",
                             "SetupDiDestroyDeviceInfoList",
                             "SetupDiDestroyDriverInfoList",
                             "SetupDiEnumDeviceInfo",
                             "SetupDiEnumDriverInfoA",
                             "SetupDiGetClassDevsA",
                             "SetupDiGetDeviceInstallParamsA",
                             "SetupDiGetDeviceInstanceIdA",
                             "SetupDiGetDeviceRegistryPropertyA",
                             "SetupDiGetDriverInfoDetailA",
                             "SetupDiGetDriverInstallParamsA",
                             "SetupDiGetSelectedDriverA",
                             "SetupDiOpenDevRegKey",
                             "SetupDiOpenDeviceInfoA",
                             "SetupDiRegisterDeviceInfo",
                             "SetupDiRemoveDevice",
                             "SetupDiSelectBestCompatDrv",
                             "SetupDiSetDeviceInstallParamsA",
                             "SetupDiSetDeviceRegistryPropertyA",
                             "SetupDiSetDriverInstallParamsA",
                             "SetupDiSetSelectedDriverA",
                             "SetupDiGetActualSectionToInstallA",
                             "SetupDiGetINFClassA",
                             "SetupOpenInfFileA",
                             "SetupCloseInfFile",
                             "SetupFindFirstLineA",
                             "SetupFindNextLine",
                             "SetupFindNextMatchLineA",
                             "SetupGetFieldCount",
                             "SetupGetIntField",
                             "SetupGetStringFieldA"}) {
      table[name] = Family::SetupApi;
    }
    for (const char *name : {"CloseHandle", "CreateDirectoryA", "CreateFileA", "DeleteFileA", "FindClose",
                             "FindFirstFileA", "FindNextFileA", "GetCurrentDirectoryA", "GetFileAttributesA",
                             "GetFileSize", "GetFullPathNameA", "GetSystemDirectoryA", "GetWindowsDirectoryA",
                             "ReadFile", "SetCurrentDirectoryA", "SetEndOfFile", "SetFilePointer", "WriteFile"}) {
      table[name] = Family::Files;
    }
    // Window manager, event log, modules and message texts, the counter-text loader, memory,
    // process starts, clock.
    for (const char *name : {"CreateWindowExA",
                             "DefWindowProcA",
                             "DestroyWindow",
                             "DispatchMessageA",
                             "GetCurrentThreadId",
                             "GetMessageA",
                             "GetStockObject",
                             "IsWindow",
                             "KillTimer",
                             "LoadCursorA",
                             "LoadIconA",
                             "PeekMessageA",
                             "PostMessageA",
                             "PostQuitMessage",
                             "PostThreadMessageA",
                             "RegisterClassA",
                             "RegisterWindowMessageA",
                             "SendMessageA",
                             "SendMessageTimeoutA",
                             "SetTimer",
                             "TranslateMessage",
                             "UnregisterClassA",
                             "RegisterEventSourceA",
                             "ReportEventA",
                             "DeregisterEventSource",
                             "FormatMessageA",
                             "FreeLibrary",
                             "GetModuleHandleA",
                             "GetProcAddress",
                             "LoadLibraryA",
                             "LoadLibraryExA",
                             "GlobalAlloc",
                             "GlobalFree",
                             "LocalAlloc",
                             "LocalFree",
                             "lstrlenA",
                             "wsprintfA",
                             "CreateProcessA",
                             "GetTickCount",
                             "LoadPerfCounterTextStringsA",
                             "UnloadPerfCounterTextStringsA",
                             "Sleep"}) {
      table[name] = Family::Other;
    }
    return table;
  }();
  return families;
}

}  // namespace

FamilyCounts CountCallsByFamily() {
  FamilyCounts counts;
  for (const auto &[function, calls] : winsim::CallCounts()) {
    const auto found = FamilyOfFunction().find(function);
    if (found == FamilyOfFunction().end()) {
      counts.unclassified += (counts.unclassified.empty() ? "" : ", ") + function;
      continue;
    }
    switch (found->second) {
      case Family::Registry:
        counts.registry += calls;
        break;
      case Family::SetupApi:
        counts.setupApi += calls;
        break;
      case Family::Files:
        counts.files += calls;
        break;
      case Family::Other:
        counts.other += calls;
        break;
    }
  }
  return counts;
}

void ReportCalls(benchmark::State &state, const FamilyCounts &counts) {
  state.counters["calls"] = static_cast<double>(counts.Total());
  state.counters["registry"] = static_cast<double>(counts.registry);
  state.counters["setupapi"] = static_cast<double>(counts.setupApi);
  state.counters["files"] = static_cast<double>(counts.files);
  state.counters["other"] = static_cast<double>(counts.other);
}

}  // namespace bench
