#include "reliability_machine.h"

#include <filesystem>
#include <map>
#include <sstream>

#include "capireg.h"
#include "onlcoin_module.h"

namespace reliability {

namespace {

bool SameNameIgnoringCase(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// A controller key's name read as the numbering reads it: leading white space, an optional sign,
// digits up to the first other character, unsigned 32-bit.
DWORD KeyNumber(const std::string &name) {
  size_t i = 0;
  while (i < name.size() && (name[i] == ' ' || (name[i] >= '\t' && name[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < name.size() && (name[i] == '+' || name[i] == '-')) negative = name[i++] == '-';
  DWORD value = 0;
  for (; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i) value = value * 10 + DWORD(name[i] - '0');
  return negative ? 0u - value : value;
}

// A value as the module reads a REG_DWORD: into 4 bytes whatever type the registry gives it, a
// shorter one zero-extended, a longer one not at all.
std::optional<DWORD> FourByteValue(const std::string &key, const std::string &name) {
  const std::optional<winsim::RegValue> value = winsim::GetValue(key, name);
  if (!value || value->data.size() > 4) return std::nullopt;
  DWORD result = 0;
  for (size_t i = 0; i < value->data.size(); ++i) result |= DWORD(value->data[i]) << (8 * i);
  return result;
}

}  // namespace

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

  if (shape.monitorRunning) winsim::AddQuitListener(winsim::QuitListenerSpec{});
}

std::string FindManufacturerKey() {
  for (const std::string &name : winsim::SubkeyNames(machine::kCapi20)) {
    const std::string key = machine::kCapi20 + "\\" + name;
    const std::optional<winsim::RegValue> value = winsim::GetValue(key, "Manufacturer");
    if (!value || value->data.size() >= 260) continue;
    const std::optional<std::string> text = winsim::GetString(key, "Manufacturer");
    if (text && SameNameIgnoringCase(*text, kManufacturerName)) return key;
  }
  return "";
}

DeviceNumbering ReadNumbering(const std::string &instanceId) {
  DeviceNumbering state;
  state.id = instanceId;
  const std::string driverKey = winsim::DriverKeyPath(instanceId);
  state.exists = !driverKey.empty() && winsim::KeyExists(driverKey);
  if (!state.exists) return state;
  state.present = winsim::IsDevicePresent(instanceId);
  const std::string capiKey = driverKey + "\\VendorSpecific\\CAPI";
  state.maker = FourByteValue(capiKey, "ProductCode") == 1u;
  if (const std::optional<DWORD> stored = FourByteValue(capiKey, "Controller")) state.number = *stored + 1;
  if (state.number) {
    const std::string manufacturer = FindManufacturerKey();
    state.keyExists =
        !manufacturer.empty() && winsim::KeyExists(manufacturer + "\\" + std::to_string(*state.number));
  }
  return state;
}

std::string NumberingViolations(const std::vector<std::string> &devices, const std::set<std::string> &exempt) {
  std::ostringstream out;
  std::map<DWORD, std::vector<DeviceNumbering>> holders;
  for (const std::string &id : devices) {
    if (exempt.count(id)) continue;
    const DeviceNumbering device = ReadNumbering(id);
    if (!device.exists || !device.maker || !device.number) continue;
    if (!device.keyExists) {
      out << id << (device.present ? " (present)" : " (absent)") << " holds " << *device.number
          << " but its controller key is gone\n";
    }
    holders[*device.number].push_back(device);
  }
  for (const auto &[number, sharing] : holders) {
    if (sharing.size() < 2) continue;
    out << "devices";
    for (const DeviceNumbering &device : sharing) out << " " << device.id << (device.present ? "" : " (absent)");
    out << " all hold " << number << "\n";
  }
  return out.str();
}

namespace {

std::set<DWORD> HeldNumbers(const std::vector<std::string> &devices) {
  std::set<DWORD> held;
  for (const std::string &id : devices) {
    const DeviceNumbering device = ReadNumbering(id);
    if (device.exists && device.maker && device.number) held.insert(*device.number);
  }
  return held;
}

}  // namespace

DWORD HeldControllerKeys(const std::vector<std::string> &devices) {
  const std::string manufacturer = FindManufacturerKey();
  if (manufacturer.empty()) return 0;
  const std::set<DWORD> held = HeldNumbers(devices);
  DWORD heldKeys = 0;
  for (const std::string &name : winsim::SubkeyNames(manufacturer))
    heldKeys += held.count(KeyNumber(name)) ? 1 : 0;
  return heldKeys;
}

std::string CountViolations(const std::vector<std::string> &devices) {
  const std::string manufacturer = FindManufacturerKey();
  if (manufacturer.empty()) return "";
  const std::set<DWORD> held = HeldNumbers(devices);
  std::ostringstream out;
  for (const std::string &name : winsim::SubkeyNames(manufacturer)) {
    if (!held.count(KeyNumber(name)))
      out << "controller key " << name << " is held by no device but survived the prune\n";
  }
  const DWORD heldKeys = HeldControllerKeys(devices);
  const std::optional<DWORD> count = winsim::GetDword(manufacturer, "NumberOfControllers");
  if (count != heldKeys) {
    out << "NumberOfControllers is " << (count ? std::to_string(*count) : std::string("missing")) << ", "
        << heldKeys << " controller keys are held\n";
  }
  return out.str();
}

void PruneAsNextAllocation(const std::vector<std::string> &devices) {
  for (const std::string &id : devices) {
    if (!ReadNumbering(id).exists) continue;
    machine::DeviceInSet device(id);
    PruneOrphanControllers(&device.data, kManufacturerName.c_str());
    return;
  }
}

std::string OpenHandleReport() {
  return winsim::OpenHandles().Total() == 0 ? "" : winsim::DescribeOpenHandles();
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
