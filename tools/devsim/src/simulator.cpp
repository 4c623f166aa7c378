#include "simulator.h"

#include <winsim.h>

#include <cctype>
#include <cstdio>
#include <vector>

#include "input_error.h"
#include "numbering_check.h"
#include "quit_codes.h"
#include "registry_read.h"
#include "status_names.h"
#include "step_report.h"

namespace devsim {

namespace {

constexpr const char *kClassRoot = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class";
constexpr const char *kEnumRoot = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\";
constexpr const char *kCapiRoot = "HKEY_LOCAL_MACHINE\\SOFTWARE\\CAPI20";
constexpr const char *kClassNameValue = "Class";
constexpr const char *kMakerClassName = "ORVIK";
// Instance IDs of added devices that the scenario does not name: ROOT\ORVIK\0000, 0001, ...
constexpr const char *kGeneratedIdFormat = "ROOT\\ORVIK\\%04u";
constexpr unsigned kMaxGeneratedIds = 10000;
constexpr const char *kDeviceCapiSubkey = "\\VendorSpecific\\CAPI";
// The programs that the shell starts when a user logs on.
constexpr const char *kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr DWORD kRunValueNameSize = 16384;

bool EqualNoCase(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// The GUID of a setup class named by its name, or the GUID itself; "" when the machine has no such
// class.
std::string ClassGuidOf(const std::string &classRef) {
  GUID guid;
  if (winsim::ParseGuid(classRef, &guid)) return winsim::FormatGuid(guid);
  for (const std::string &key : winsim::SubkeyNames(kClassRoot)) {
    std::optional<std::string> name = winsim::GetString(std::string(kClassRoot) + "\\" + key, kClassNameValue);
    if (name && EqualNoCase(*name, classRef) && winsim::ParseGuid(key, &guid)) return winsim::FormatGuid(guid);
  }
  return "";
}

// A device opened in a set of its own, as an installation program opens it; the set goes with the
// object.
class OpenedDevice {
 public:
  explicit OpenedDevice(const std::string &instanceId) {
    set_ = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set_ == INVALID_HANDLE_VALUE) {
      error_ = GetLastError();
      return;
    }
    data_.cbSize = sizeof data_;
    if (!SetupDiOpenDeviceInfoA(set_, instanceId.c_str(), nullptr, 0, &data_)) error_ = GetLastError();
  }
  ~OpenedDevice() {
    if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
  }
  OpenedDevice(const OpenedDevice &) = delete;
  OpenedDevice &operator=(const OpenedDevice &) = delete;

  bool ok() const { return error_ == NO_ERROR; }
  DWORD error() const { return error_; }
  HDEVINFO set() const { return set_; }
  PSP_DEVINFO_DATA data() { return &data_; }

 private:
  HDEVINFO set_ = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA data_{};
  DWORD error_ = NO_ERROR;
};

std::string Joined(const std::vector<std::string> &items) {
  std::string text;
  for (const std::string &item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

void LogRestartRequest(HDEVINFO set, PSP_DEVINFO_DATA device, InstallLog &log) {
  SP_DEVINSTALL_PARAMS_A params{};
  params.cbSize = sizeof params;
  if (!SetupDiGetDeviceInstallParamsA(set, device, &params)) return;
  std::string flags;
  if (params.Flags & DI_NEEDRESTART) flags += "DI_NEEDRESTART";
  if (params.Flags & DI_NEEDREBOOT) flags += std::string(flags.empty() ? "" : " | ") + "DI_NEEDREBOOT";
  if (!flags.empty()) log.Line("Device requires a restart of the computer (" + flags + ").");
}

// Starts the command line of every string value of the Run key, as the shell does when a user
// logs on.
void StartRunKeyPrograms(std::ostream &out) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  std::vector<char> name(kRunValueNameSize);
  for (DWORD index = 0;; ++index) {
    DWORD nameSize = kRunValueNameSize;
    if (RegEnumValueA(key, index, name.data(), &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    std::optional<std::string> commandLine = ReadString(key, name.data());
    if (!commandLine) continue;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessA(nullptr, commandLine->data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process)) {
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    } else {
      out << "  Run value \"" << name.data() << "\" cannot be started: " << DescribeStatus(GetLastError()) << "\n";
    }
  }
  RegCloseKey(key);
}

}  // namespace

[[noreturn]] void Simulator::Fail(const Step &step, const std::string &message) const {
  throw InputError(scenarioFile_, step.line, message);
}

std::string Simulator::InstanceIdOf(const std::string &name) const {
  auto found = devices_.find(name);
  return found == devices_.end() ? "" : found->second.instanceId;
}

void Simulator::Run(const Scenario &scenario) {
  scenarioFile_ = scenario.fileName;
  size_t number = 0;
  for (const Step &step : scenario.steps) {
    ++number;
    out_ << "\n==== Step " << number << " (" << scenario.fileName << ":" << step.line << "): " << step.text
         << " ====\n";
    RunStep(step);
  }
}

void Simulator::RunStep(const Step &step) {
  switch (step.kind) {
    case StepKind::Drivers:
      SetDriverSource(step);
      return;
    case StepKind::Use:
      UseDevice(step);
      return;
    case StepKind::Monitor:
      StartMonitor(step);
      return;
    default:
      break;
  }
  Snapshot before = TakeSnapshot();
  switch (step.kind) {
    case StepKind::Add:
      AddDevice(step);
      break;
    case StepKind::Choose:
      ChooseDriver(step);
      break;
    case StepKind::Install:
      Install(step);
      break;
    case StepKind::Absent:
      SetPresence(step, false);
      break;
    case StepKind::Present:
      SetPresence(step, true);
      break;
    case StepKind::Remove:
      Remove(step);
      break;
    case StepKind::Restart:
      Restart();
      break;
    default:
      break;
  }
  ReportChanges(before, TakeSnapshot(), out_);
}

void Simulator::SetDriverSource(const Step &step) {
  const std::string &source = step.driverSource;
  if (source != kInfFolderSource) {
    if (source.size() >= MAX_PATH) Fail(step, "driver source '" + source + "' is longer than a path may be");
    if (GetFileAttributesA(source.c_str()) == INVALID_FILE_ATTRIBUTES) {
      Fail(step, "driver source '" + source + "' is not on the machine");
    }
  }
  driverSource_ = source;
  out_ << "  Driver lists come from " << (source == kInfFolderSource ? "the INF folder" : "'" + source + "'")
       << ".\n";
}

void Simulator::AddDevice(const Step &step) {
  const std::string classGuid = ClassGuidOf(step.setupClass);
  if (classGuid.empty()) Fail(step, "setup class '" + step.setupClass + "' is not registered on the machine");
  std::string instanceId = step.instanceId;
  if (instanceId.empty()) {
    for (unsigned n = 0; n < kMaxGeneratedIds && instanceId.empty(); ++n) {
      char id[32];
      std::snprintf(id, sizeof id, kGeneratedIdFormat, n);
      if (!winsim::KeyExists(kEnumRoot + std::string(id))) instanceId = id;
    }
    if (instanceId.empty()) Fail(step, "no free instance ID below ROOT\\ORVIK");
  } else if (winsim::KeyExists(kEnumRoot + instanceId)) {
    Fail(step, "the machine has device " + instanceId + " already ('use' names an existing device)");
  }
  winsim::NewDevice newDevice;
  newDevice.instanceId = instanceId;
  newDevice.classGuid = classGuid;
  newDevice.hardwareIds = step.hardwareIds;
  newDevice.compatibleIds = step.compatibleIds;
  newDevice.description = step.description;
  newDevice.present = step.present;
  newDevice.withDriverKey = false;  // no driver yet: the installation makes the software key
  winsim::AddDevice(newDevice);
  devices_[step.device] = Device{instanceId, std::nullopt};
  out_ << "  Device '" << step.device << "' " << instanceId << " appears" << (step.present ? "" : " (absent)")
       << ": setup class " << classGuid << ", hardware IDs " << Joined(step.hardwareIds) << "\n";
}

void Simulator::UseDevice(const Step &step) {
  if (!winsim::KeyExists(kEnumRoot + step.instanceId)) {
    Fail(step, "the machine has no device " + step.instanceId);
  }
  devices_[step.device] = Device{step.instanceId, std::nullopt};
  out_ << "  Device '" << step.device << "' is " << step.instanceId << " ("
       << (winsim::IsDevicePresent(step.instanceId) ? "present" : "absent") << ").\n";
}

void Simulator::StartMonitor(const Step &step) {
  winsim::QuitListener listener = step.listener;
  const int64_t now = static_cast<int64_t>(winsim::NowMs());
  if (listener.vanishAtMs >= 0) listener.vanishAtMs += now;
  if (listener.hangAtMs >= 0) listener.hangAtMs += now;
  winsim::AddQuitListener(listener);
  const bool answers = !listener.onQuery.empty() && !listener.onQuery[0].toThread;
  std::string answer = !answers                     ? "does not answer the quit query"
                       : listener.onQuery[0].bySend ? "answers the quit query at once (sent)"
                                                    : "answers the quit query later (posted)";
  if (listener.hangAtMs >= 0) {
    answer = "handles no message for " + std::to_string(listener.hangForMs) + " ms (it hangs), then " + answer;
  }
  std::string quit = listener.onOrder.empty()                   ? "stays silent on the quit order"
                     : listener.onOrder[0].code == kQuitRefused ? "refuses to quit"
                                                                : "confirms the quit order";
  if (!listener.onOrder.empty() && listener.onOrder[0].delayMs > 0) {
    quit += " after " + std::to_string(listener.onOrder[0].delayMs) + " ms";
  }
  out_ << "  Monitor application '" << listener.name << "' is running: it " << answer << " and " << quit;
  if (!listener.onQuery.empty() && listener.onQuery.back().toThread) {
    out_ << "; after the query it posts a stray WM_USER to the asking thread";
  }
  if (listener.vanishAtMs >= 0) out_ << "; it ends by itself at " << listener.vanishAtMs << " ms";
  if (!listener.exitsAfterOrder) out_ << "; its window stays after the order";
  out_ << ".\n";
}

void Simulator::Restart() {
  winsim::Restart();
  out_ << "  The machine restarts: volatile registry keys vanish, running programs end, and the devices "
          "plugged in are found again.\n";
  for (const auto &[name, device] : devices_) {
    if (!winsim::KeyExists(kEnumRoot + device.instanceId)) continue;
    out_ << "  Device '" << name << "' " << device.instanceId << " is "
         << (winsim::IsDevicePresent(device.instanceId) ? "present" : "absent") << ".\n";
  }
  out_ << "  A user logs on: the programs of the Run key start.\n";
  StartRunKeyPrograms(out_);
}

void Simulator::SetPresence(const Step &step, bool present) {
  const std::string &id = devices_.at(step.device).instanceId;
  if (!winsim::KeyExists(kEnumRoot + id)) {
    out_ << "  Device '" << step.device << "' " << id << " is no longer on the machine; nothing changes.\n";
    return;
  }
  winsim::SetDevicePresent(id, present);
  out_ << "  Device '" << step.device << "' " << id
       << (present ? " is plugged in again (present).\n" : " is unplugged (absent).\n");
}

DWORD Simulator::RunDriverChoice(HDEVINFO set, PSP_DEVINFO_DATA device, InstallLog &log) {
  std::vector<DriverNode> before = ListDrivers(set, device);
  DWORD status = CallClassInstaller(
      DIF_SELECTBESTCOMPATDRV, set, device,
      [&](InstallLog &inner) { return SelectBestDriver(set, device, inner); }, log, options_);
  LogRanks(before, ListDrivers(set, device), log);
  return status;
}

void Simulator::ChooseDriver(const Step &step) {
  Device &device = devices_.at(step.device);
  InstallLog log;
  log.BeginSection("Select Driver", device.instanceId);
  OpenedDevice opened(device.instanceId);
  DWORD status = opened.error();
  if (!opened.ok()) {
    log.Line("Device cannot be opened: " + DescribeStatus(status));
  } else {
    status = BuildDriverList(opened.set(), opened.data(), driverSource_, log);
    if (status == NO_ERROR) status = RunDriverChoice(opened.set(), opened.data(), log);
    std::optional<DriverNode> selected = SelectedDriver(opened.set(), opened.data());
    if (selected) {
      device.chosen = ChosenDriver{selected->infPath, selected->section, selected->description};
      log.Line("Chosen for the installation: " + selected->description);
    } else {
      device.chosen.reset();
    }
  }
  log.EndSection(status);
  out_ << log.Text();
}

void Simulator::Install(const Step &step) {
  Device &device = devices_.at(step.device);
  InstallLog log;
  log.BeginSection("Device Install", device.instanceId);
  OpenedDevice opened(device.instanceId);
  DWORD status = opened.error();
  if (!opened.ok()) {
    log.Line("Device cannot be opened: " + DescribeStatus(status));
    log.EndSection(status);
    out_ << log.Text();
    return;
  }
  HDEVINFO set = opened.set();
  PSP_DEVINFO_DATA data = opened.data();
  status = BuildDriverList(set, data, driverSource_, log);

  // The driver chosen by an earlier "choose" step, when the list still offers it.
  bool selected = false;
  if (status == NO_ERROR && device.chosen) {
    for (DriverNode &node : ListDrivers(set, data)) {
      if (EqualNoCase(node.infPath, device.chosen->infPath) && EqualNoCase(node.section, device.chosen->section) &&
          node.description == device.chosen->description) {
        selected = SetupDiSetSelectedDriverA(set, data, &node.info) != FALSE;
        if (selected) log.Line("Selected driver (chosen before): " + node.description);
      }
    }
    if (!selected) log.Line("The driver chosen before is not offered any more; the choice is made again.");
  }
  if (status == NO_ERROR && !selected) RunDriverChoice(set, data, log);

  status = CallClassInstaller(
      DIF_REGISTER_COINSTALLERS, set, data,
      [&](InstallLog &inner) { return RegisterCoInstallers(set, data, inner); }, log, options_);
  if (status == NO_ERROR) {
    status = CallClassInstaller(
        DIF_INSTALLDEVICE, set, data,
        [&](InstallLog &inner) { return InstallDevice(set, data, step.failure, inner); }, log, options_);
    LogRestartRequest(set, data, log);
  } else {
    log.Line("Co-installer registration failed; the device is not installed.");
  }
  log.EndSection(status);
  out_ << log.Text();
}

void Simulator::Remove(const Step &step) {
  Device &device = devices_.at(step.device);
  InstallLog log;
  log.BeginSection("Device Uninstall", device.instanceId);
  OpenedDevice opened(device.instanceId);
  DWORD status = opened.error();
  if (!opened.ok()) {
    log.Line("Device cannot be opened: " + DescribeStatus(status));
  } else {
    status = CallClassInstaller(
        DIF_REMOVE, opened.set(), opened.data(),
        [&](InstallLog &inner) { return RemoveDevice(opened.set(), opened.data(), inner); }, log, options_);
  }
  device.chosen.reset();
  log.EndSection(status);
  out_ << log.Text();
}

void Simulator::ReportEndState() {
  out_ << "\n==== End state ====\n";
  const std::string classGuid = ClassGuidOf(kMakerClassName);
  GUID guid;
  if (classGuid.empty() || !winsim::ParseGuid(classGuid, &guid)) {
    out_ << "  The machine has no setup class " << kMakerClassName << ".\n";
  } else {
    out_ << "  Devices of setup class " << kMakerClassName << " " << classGuid << ":\n";
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, 0);
    bool any = false;
    if (set != INVALID_HANDLE_VALUE) {
      SP_DEVINFO_DATA data{};
      data.cbSize = sizeof data;
      for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
        any = true;
        std::string id = devsim::InstanceIdOf(set, &data);
        std::string name;
        for (const auto &entry : devices_) {
          if (EqualNoCase(entry.second.instanceId, id)) name = "'" + entry.first + "' ";
        }
        out_ << "    " << name << id << ": " << (winsim::IsDevicePresent(id) ? "present" : "absent");
        std::string driverKey = winsim::DriverKeyPath(id);
        if (!driverKey.empty()) {
          std::string capi = driverKey + kDeviceCapiSubkey;
          std::optional<DWORD> controller = winsim::GetDword(capi, "Controller");
          std::optional<DWORD> product = winsim::GetDword(capi, "ProductCode");
          std::optional<std::string> card = winsim::GetString(capi, "CardType");
          if (controller) out_ << ", CAPI controller " << (*controller + 1);
          if (product) out_ << ", ProductCode " << *product;
          if (card) out_ << ", CardType " << *card;
        } else {
          out_ << ", no driver";
        }
        out_ << "\n";
      }
      SetupDiDestroyDeviceInfoList(set);
    }
    if (!any) out_ << "    (none)\n";
  }
  out_ << "  CAPI controller registry " << kCapiRoot << ":\n";
  if (!winsim::KeyExists(kCapiRoot)) {
    out_ << "    (no such key)\n";
    return;
  }
  bool any = false;
  for (const std::string &maker : winsim::SubkeyNames(kCapiRoot)) {
    any = true;
    std::string key = std::string(kCapiRoot) + "\\" + maker;
    std::optional<std::string> name = winsim::GetString(key, "Manufacturer");
    std::optional<DWORD> count = winsim::GetDword(key, "NumberOfControllers");
    out_ << "    " << maker << " \"" << name.value_or("?") << "\": NumberOfControllers "
         << (count ? std::to_string(*count) : std::string("?")) << ", controllers "
         << Joined(winsim::SubkeyNames(key)) << "\n";
  }
  if (!any) out_ << "    (no manufacturer)\n";
  ReportNumberingCheck();
}

void Simulator::ReportLoadedNumbering() {
  out_ << "\n==== Numbering of the loaded machine ====\n";
  ReportNumberingCheck();
}

void Simulator::ReportNumberingCheck() {
  const std::string classGuid = ClassGuidOf(kMakerClassName);
  std::map<std::string, std::string> names;
  for (const auto &[name, device] : devices_) names[device.instanceId] = name;
  const std::vector<NumberingProblem> problems = CheckNumbering(classGuid, names);
  if (problems.empty()) {
    out_ << "  Numbering check: consistent (no two adapters on one number, every number with its key, "
            "no key without its adapter, the count right)\n";
    return;
  }
  out_ << "  Numbering check: " << problems.size() << (problems.size() == 1 ? " problem" : " problems") << "\n";
  for (const NumberingProblem &problem : problems) out_ << "    - " << problem.text << "\n";
}

}  // namespace devsim
