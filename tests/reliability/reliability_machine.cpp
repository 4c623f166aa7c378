#include "reliability_machine.h"

#include <filesystem>
#include <map>

#include "onlcoin_module.h"

namespace reliability {

void ReliabilityTest::SetUp() {
  SimTest::SetUp();
  drive_ = root_;
  std::error_code error;
  if (std::filesystem::is_directory("/dev/shm", error)) {
    std::string pattern = "/dev/shm/onlcoin-reliability-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) drive_ = pattern;
  }
  FreshMachine(drive_);
}

void ReliabilityTest::TearDown() {
  SimTest::TearDown();
  if (drive_ != root_) {
    std::error_code ignored;
    std::filesystem::remove_all(drive_, ignored);
  }
}

void FreshMachine(const std::string &root) {
  winsim::Reset();
  std::error_code ignored;
  for (const auto &entry : std::filesystem::directory_iterator(root, ignored)) {
    std::filesystem::remove_all(entry.path(), ignored);
  }
  winsim::SetFileRoot(root);
  RegisterOnlcoinModule();
}

void BuildRealisticMachine(const MachineShape &shape) {
  machine::SetUpBaseMachine();
  winsim::SetString(machine::kRunKey, "SoundMixer", "C:\\WINDOWS\\mixer.exe /tray");

  winsim::SetString(kOtherMaker, "Manufacturer", "Acme Telecom");
  winsim::SetDword(kOtherMaker, "NumberOfControllers", 1);
  winsim::SetString(kOtherMaker, "DeviceName", "CAPI201");
  winsim::SetDword(kOtherMaker + "\\1", "Channels", 30);

  winsim::SetString(kOrvikKey, "Manufacturer", kManufacturerName);
  winsim::SetDword(kOrvikKey, "NumberOfControllers", 3);
  winsim::SetString(kOrvikKey, "DeviceName", "CAPI202");
  winsim::SetDword(kOrvikKey + "\\1", "Channels", 2);
  winsim::SetDword(kOrvikKey + "\\2", "Channels", 2);
  winsim::SetString(kOrvikKey + "\\2", "Line", "S0 bus, point to multipoint");
  winsim::CreateKey(kOrvikKey + "\\5");

  machine::AddAdapter(machine::Adapter().Id(kAdapterA).Controller(1));
  winsim::SetDevicePresent(kAdapterA, shape.adapterAPresent);
  machine::AddAdapter(machine::Adapter().Id(kAdapterB).Controller(2));
  winsim::SetDevicePresent(kAdapterB, false);
  const std::string c = machine::AddAdapter(machine::Adapter().Id(kAdapterC));
  if (shape.lptBox) winsim::SetString(machine::DeviceCapiKey(c), "CardType", "ext/lpt");

  machine::AddPort("ACPI\\PNP0401\\1", "Parport");
  machine::AddPort("ACPI\\PNP0501\\1", "Serial");

  winsim::PutFile("C:\\WINDOWS\\inf\\oem7.inf", machine::DriverInf("Stale ORVIK driver", "01/01/1999"));
  winsim::PutFile("C:\\WINDOWS\\inf\\oem7.pnf", "precompiled");
  winsim::PutFile(
      "C:\\WINDOWS\\inf\\oem8.inf",
      "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Ports\r\nClassGuid=" + machine::kPortsClassGuid + "\r\n");
  winsim::PutFile(machine::kAutoexecPath,
                  "@echo off\r\nREM start-up of MS-DOS programs\r\nlh %SystemRoot%\\system32\\mscdexnt.exe\r\n");

  if (shape.monitorRunning) winsim::AddQuitListener(winsim::QuitListener{});
}

DeviceNumbering ReadNumbering(const std::string &instanceId) {
  DeviceNumbering state;
  const std::string driverKey = winsim::DriverKeyPath(instanceId);
  if (driverKey.empty()) return state;
  if (const std::optional<DWORD> stored = winsim::GetDword(driverKey + "\\VendorSpecific\\CAPI", "Controller")) {
    state.number = *stored + 1;
    const std::string manufacturer = devsim::MakerManufacturerKey();
    state.keyExists =
        !manufacturer.empty() && winsim::KeyExists(manufacturer + "\\" + std::to_string(*state.number));
  }
  return state;
}

std::string ControllerValues(const std::string &instanceId) {
  const std::optional<DWORD> number = ReadNumbering(instanceId).number;
  const std::string maker = devsim::MakerManufacturerKey();
  if (!number || maker.empty()) return "";
  std::string text = winsim::ExportReg(maker + "\\" + std::to_string(*number));
  text.erase(0, text.find("]\r\n") + 3);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::string NumberingProblems(Rules rules, const std::set<std::string> &exempt) {
  std::string out;
  for (const devsim::NumberingProblem &problem : devsim::CheckNumbering(machine::kOrvikClassGuid)) {
    const bool judged =
        rules == Rules::All || problem.fault == devsim::NumberingFault::SharedNumber ||
        (rules == Rules::NoNumberLost && problem.fault == devsim::NumberingFault::NumberWithoutKey);
    if (!judged) continue;
    bool aboutExempt = false;
    for (const std::string &id : problem.devices) aboutExempt |= exempt.count(id) != 0;
    if (!aboutExempt) out += problem.text + "\n";
  }
  return out;
}

std::string OpenHandleReport() {
  return winsim::OpenHandles().Total() == 0 ? "" : winsim::DescribeOpenHandles();
}

DWORD RealFailure(const std::string &function) {
  if (function.rfind("Reg", 0) == 0 || function == "SetupDiOpenDevRegKey") return ERROR_ACCESS_DENIED;
  return ERROR_NOT_ENOUGH_MEMORY;
}

long OpenOfKindReleasedBy(const std::string &function, const winsim::HandleCounts &open) {
  static const std::map<std::string, long winsim::HandleCounts::*> kReleases = {
      {"RegCloseKey", &winsim::HandleCounts::regKeys},
      {"FindClose", &winsim::HandleCounts::findHandles},
      {"SetupDiDestroyDeviceInfoList", &winsim::HandleCounts::devInfoSets},
      {"SetupCloseInfFile", &winsim::HandleCounts::infs},
      {"DeregisterEventSource", &winsim::HandleCounts::eventSources},
      {"LocalFree", &winsim::HandleCounts::localAllocs},
      {"GlobalFree", &winsim::HandleCounts::globalAllocs},
      {"FreeLibrary", &winsim::HandleCounts::modules},
      {"DestroyWindow", &winsim::HandleCounts::windows},
      {"KillTimer", &winsim::HandleCounts::timers},
      {"UnregisterClassA", &winsim::HandleCounts::classes},
  };
  if (function == "CloseHandle") return open.files + open.processes + open.threads;
  const auto found = kReleases.find(function);
  return found == kReleases.end() ? -1 : open.*(found->second);
}

DWORD PreInstall(const std::string &instanceId, DWORD *number) {
  machine::DeviceInSet device(instanceId);
  device.SelectDriver();
  COINSTALLER_CONTEXT_DATA context = {};
  const DWORD status = DeviceCoInstallerFunc(DIF_INSTALLDEVICE, device.set, &device.data, &context);
  *number = machine::PrivateNumber(context);
  return status;
}

bool InstallClean(const std::string &instanceId) {
  machine::DeviceInSet device(instanceId);
  device.SelectDriver();
  COINSTALLER_CONTEXT_DATA context = {};
  if (DeviceCoInstallerFunc(DIF_INSTALLDEVICE, device.set, &device.data, &context) !=
      ERROR_DI_POSTPROCESSING_REQUIRED) {
    return false;
  }
  context.PostProcessing = TRUE;
  context.InstallResult = NO_ERROR;
  return DeviceCoInstallerFunc(DIF_INSTALLDEVICE, device.set, &device.data, &context) == NO_ERROR;
}

}  // namespace reliability
