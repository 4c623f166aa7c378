// A whole installation and removal over a machine whose numbering and device values come from
// the input: manufacturer keys with any names and values, controller keys with values of any
// type and size, device values of any type and size, devices present or not, keys that refuse
// access, a program-files folder of any length. Then: driver choice, pre-install, post-install,
// removal of the adapter and of another one. Every request returns a status its caller accepts,
// nothing is left open, and what the module writes is whole text: no cut-off or unterminated
// string in the registry.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <set>
#include <stdexcept>

#include "fuzz_support.h"
#include "phases.h"
#include "setuplib.h"

namespace {

const std::string kHklm = "HKEY_LOCAL_MACHINE\\";
const std::string kCurrentVersion = kHklm + "Software\\Microsoft\\Windows\\CurrentVersion";
const std::string kServices = kHklm + "SYSTEM\\CurrentControlSet\\Services";
const std::string kProductKey = kHklm + "Software\\ORVIK";
const std::string kParameters = kServices + "\\onlbase\\Parameters";
const std::string kDriverInf = "C:\\drivers\\orvik.inf";
const std::string kToolsFolder = "C:\\Program Files\\ORVIK\\DAZA Zodar";
const std::string kAdapters[] = {"PCI\\VEN_1A2B&DEV_0C10\\1", "PCI\\VEN_1A2B&DEV_0C10\\2",
                                 "PCI\\VEN_1A2B&DEV_0C10\\3"};
constexpr int kSubject = 2;
constexpr size_t kMaxValueSize = 600;
constexpr size_t kMaxNameSize = 300;
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxOperations = 64;

std::vector<BYTE> Bytes(const std::string &text) {
  return std::vector<BYTE>(text.begin(), text.end());
}

std::vector<BYTE> Dword(DWORD value) {
  return {BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)};
}

// A key name under SOFTWARE\CAPI20 or a manufacturer key: mostly numbers, sometimes not; always
// one the registry can hold (1 to 255 characters, neither a zero byte nor a backslash).
std::string KeyName(FuzzedDataProvider &input) {
  static const char *const kNames[] = {"1", "2", "3", "5", "0", "-1", " 2", "+3", "4294967295", "abc", "07"};
  if (input.ConsumeBool()) return kNames[input.ConsumeIntegralInRange<size_t>(0, std::size(kNames) - 1)];
  std::string name = input.ConsumeRandomLengthString(kMaxKeyNameLength);
  for (char &c : name) {
    if (c == '\0' || c == '\\') c = '_';
  }
  return name.empty() ? "_" : name;
}

winsim::RegValue Value(FuzzedDataProvider &input) {
  static const DWORD kTypes[] = {REG_SZ, REG_DWORD, REG_BINARY, REG_EXPAND_SZ, REG_MULTI_SZ, REG_NONE, REG_QWORD};
  winsim::RegValue value;
  value.type = kTypes[input.ConsumeIntegralInRange<size_t>(0, std::size(kTypes) - 1)];
  switch (input.ConsumeIntegralInRange(0, 5)) {
    case 0:
      value.data = Bytes(std::string(input.ConsumeBool() ? "ORVIK AG" : "orvik ag") + '\0');
      break;
    case 1:
      value.data = Dword(input.ConsumeIntegralInRange<DWORD>(0, 6));
      break;
    case 2:
      value.data = Dword(input.ConsumeIntegral<DWORD>());
      break;
    case 3:
      value.data = Bytes(std::string(input.ConsumeIntegralInRange<size_t>(250, 300), 'A'));
      break;
    default:
      value.data = input.ConsumeBytes<BYTE>(input.ConsumeIntegralInRange<size_t>(0, kMaxValueSize));
      break;
  }
  return value;
}

void BuildMachine() {
  winsim::AddSetupClass(fuzz::kOrvikClassGuid, "ORVIK");
  winsim::SetString(kServices + "\\onlbase", "ImagePath", "System32\\drivers\\onlbase.sys");
  winsim::CreateKey(kServices + "\\EventLog\\System");
  winsim::CreateKey(kServices + "\\EventLog\\Application");
  winsim::CreateKey(kCurrentVersion + "\\Run");
  winsim::SetString(kCurrentVersion, "ProgramFilesDir", "C:\\Program Files");
  winsim::PutFile(kToolsFolder + "\\onlmon.exe", "MZ");
  winsim::PutFile(kToolsFolder + "\\onltool.exe", "MZ");
  winsim::PutFile(kToolsFolder + "\\counters.ini", "[info]\r\ndrivername=onlbase\r\n");

  const std::string maker = fuzz::kCapi20 + "\\1";
  winsim::SetString(maker, "Manufacturer", "ORVIK AG");
  winsim::SetDword(maker, "NumberOfControllers", 2);
  winsim::SetString(maker, "DeviceName", "CAPI201");
  winsim::SetDword(maker + "\\1", "Channels", 2);
  winsim::SetDword(maker + "\\2", "Channels", 2);
  for (int i = 0; i < 3; ++i) {
    const std::string id = fuzz::AddAdapter(kAdapters[i], i != 1);
    winsim::SetDword(winsim::DriverKeyPath(id), "WanEndPoints", 2);
    winsim::SetDword(fuzz::DeviceCapiKey(id), "ProductCode", 1);
    if (i != kSubject) winsim::SetDword(fuzz::DeviceCapiKey(id), "Controller", static_cast<DWORD>(i));
  }
}

// One change of the machine, chosen by the input. Paths the simulation refuses are skipped.
void Change(FuzzedDataProvider &input) {
  const std::string adapter = kAdapters[input.ConsumeIntegralInRange(0, 2)];
  const std::string manufacturer = fuzz::kCapi20 + "\\" + KeyName(input);
  try {
    switch (input.ConsumeIntegralInRange(0, 9)) {
      case 0: {
        const winsim::RegValue value = Value(input);
        winsim::SetValue(manufacturer, "Manufacturer", value.type, value.data);
        break;
      }
      case 1: {
        const winsim::RegValue value = Value(input);
        winsim::SetValue(manufacturer, "NumberOfControllers", value.type, value.data);
        break;
      }
      case 2: {
        const winsim::RegValue value = Value(input);
        winsim::SetValue(manufacturer, "DeviceName", value.type, value.data);
        break;
      }
      case 3: {
        const std::string controller = manufacturer + "\\" + KeyName(input);
        std::string name = input.ConsumeBool() ? "Channels" : input.ConsumeRandomLengthString(kMaxNameSize);
        for (char &c : name) {
          if (c == '\0') c = '_';  // value names are texts
        }
        const winsim::RegValue value = Value(input);
        winsim::SetValue(controller, name, value.type, value.data);
        break;
      }
      case 4: {
        static const char *const kNames[] = {"ProductCode", "Controller", "CardType"};
        const winsim::RegValue value = Value(input);
        if (input.ConsumeBool()) {
          winsim::SetValue(winsim::DriverKeyPath(adapter), "WanEndPoints", value.type, value.data);
        } else {
          winsim::SetValue(fuzz::DeviceCapiKey(adapter), kNames[input.ConsumeIntegralInRange(0, 2)], value.type,
                           value.data);
        }
        break;
      }
      case 5:
        winsim::SetDevicePresent(adapter, input.ConsumeBool());
        break;
      case 6:
        winsim::DeleteTree(fuzz::DeviceCapiKey(adapter));
        break;
      case 7: {
        const winsim::RegValue value = Value(input);
        winsim::SetValue(kCurrentVersion, "ProgramFilesDir", input.ConsumeBool() ? REG_SZ : value.type,
                         input.ConsumeBool() ? Bytes(input.ConsumeRandomLengthString(kMaxNameSize)) : value.data);
        break;
      }
      case 8: {
        const std::string keys[] = {fuzz::DeviceCapiKey(adapter), manufacturer, manufacturer + "\\1",
                                    winsim::DriverKeyPath(adapter), fuzz::kCapi20};
        const std::string &key = keys[input.ConsumeIntegralInRange(0, 4)];
        if (winsim::KeyExists(key)) winsim::DenyAccess(key, input.ConsumeIntegral<REGSAM>() & KEY_ALL_ACCESS);
        break;
      }
      default:
        winsim::DeleteTree(fuzz::kCapi20);
        break;
    }
  } catch (const std::invalid_argument &) {
    // A name the registry cannot hold: that change simply is not made.
  }
}

// A device set with the one element, as SetupAPI hands it to the module; closed with the object.
class Device {
 public:
  explicit Device(const std::string &id) {
    GUID guid;
    winsim::ParseGuid(fuzz::kOrvikClassGuid, &guid);
    set = SetupDiCreateDeviceInfoList(&guid, nullptr);
    data.cbSize = sizeof(data);
    opened = set != INVALID_HANDLE_VALUE && SetupDiOpenDeviceInfoA(set, id.c_str(), nullptr, 0, &data);
  }
  ~Device() {
    if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
  }
  Device(const Device &) = delete;
  Device &operator=(const Device &) = delete;

  HDEVINFO set = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA data = {};
  bool opened = false;
};

// A string value the module wrote must be whole: REG_SZ, one terminator at its end, no longer
// than a path buffer, and ending as it must.
void CheckWrittenText(const std::string &key, const std::string &name, const std::string &ending) {
  const std::optional<winsim::RegValue> value = winsim::GetValue(key, name);
  if (!value) return;
  const std::string where = key + " \"" + name + "\"";
  fuzz::Check(value->type == REG_SZ, where + " is not REG_SZ");
  fuzz::Check(!value->data.empty() && value->data.back() == 0, where + " has no terminator");
  const std::string text(value->data.begin(), value->data.end() - 1);
  fuzz::Check(text.find('\0') == std::string::npos, where + " holds a zero byte");
  fuzz::Check(text.size() < MAX_PATH, where + " is longer than a path buffer");
  fuzz::Check(
      text.size() >= ending.size() && text.compare(text.size() - ending.size(), ending.size(), ending) == 0,
      where + " does not end with " + ending + ": " + text);
}

// The CAPI device name handed to the driver is the DeviceName of a manufacturer key, whole.
void CheckDeviceName() {
  const std::optional<winsim::RegValue> written = winsim::GetValue(kParameters, "CapiDeviceName");
  if (!written) return;
  CheckWrittenText(kParameters, "CapiDeviceName", "");
  const std::string name(written->data.begin(), written->data.end() - 1);
  for (const std::string &key : winsim::SubkeyNames(fuzz::kCapi20)) {
    const std::optional<winsim::RegValue> stored = winsim::GetValue(fuzz::kCapi20 + "\\" + key, "DeviceName");
    if (!stored) continue;
    const std::string text(stored->data.begin(), stored->data.end());
    if (text.substr(0, text.find('\0')) == name) return;
  }
  fuzz::Fail("CapiDeviceName \"" + name + "\" is no manufacturer's DeviceName:\n" +
             winsim::ExportReg(fuzz::kCapi20));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::FreshMachine();
  BuildMachine();
  FuzzedDataProvider input(data, size);
  for (size_t i = 0; i < kMaxOperations && input.remaining_bytes() > 0; ++i) Change(input);

  winsim::PutFile(
      kDriverInf,
      "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=ORVIK\r\nClassGuid=" + fuzz::kOrvikClassGuid +
          "\r\n\r\n[Manufacturer]\r\nORVIK=Models\r\n\r\n[Models]\r\n\"ORVIK ISDN adapter\"=Install, " +
          fuzz::kAdapterHardwareId + "\r\n\r\n[Install.NT]\r\nDriverVer=06/26/2000,3.38.0.1146\r\n");
  {
    Device device(kAdapters[kSubject]);
    if (!device.opened) return 0;  // the input took the adapter away
    SP_DEVINSTALL_PARAMS_A params = {};
    params.cbSize = sizeof(params);
    SetupDiGetDeviceInstallParamsA(device.set, &device.data, &params);
    params.Flags |= DI_ENUMSINGLEINF;
    std::snprintf(params.DriverPath, sizeof(params.DriverPath), "%s", kDriverInf.c_str());
    SetupDiSetDeviceInstallParamsA(device.set, &device.data, &params);
    SetupDiBuildDriverInfoList(device.set, &device.data, SPDIT_COMPATDRIVER);

    COINSTALLER_CONTEXT_DATA context = {};
    fuzz::Check(DeviceCoInstallerFunc(DIF_SELECTBESTCOMPATDRV, device.set, &device.data, &context) == NO_ERROR,
                "driver choice did not return 0");
    SetupDiSelectBestCompatDrv(device.set, &device.data);

    const PVOID untouched = reinterpret_cast<PVOID>(ULONG_PTR{0x5A5A});
    context.PrivateData = untouched;
    const DWORD pre = DeviceCoInstallerFunc(DIF_INSTALLDEVICE, device.set, &device.data, &context);
    fuzz::Check(pre == ERROR_DI_POSTPROCESSING_REQUIRED || pre == ERROR_DI_DONT_INSTALL,
                "pre-install returned " + std::to_string(pre));
    if (pre == ERROR_DI_DONT_INSTALL) {
      static const std::set<DWORD> kEvents = {EVENT_GET_CLASS_DEVS_FAILED, EVENT_GET_SELECTED_DRIVER_FAILED,
                                              EVENT_ADD_CAPI_DEVICE_FAILED, EVENT_SET_CONTROLLER_FAILED,
                                              EVENT_SET_CAPI_DEVICE_NAME_FAILED};
      fuzz::Check(winsim::Events().size() == 1 && kEvents.count(winsim::Events()[0].id),
                  "a refused installation did not write exactly one of its events");
      fuzz::Check(context.PrivateData == untouched, "a refused installation changed PrivateData");
    } else {
      fuzz::Check(winsim::Events().empty(), "an installation that goes ahead wrote an event");
      CheckDeviceName();
      context.PostProcessing = TRUE;
      context.InstallResult = NO_ERROR;
      fuzz::Check(DeviceCoInstallerFunc(DIF_INSTALLDEVICE, device.set, &device.data, &context) == NO_ERROR,
                  "post-install changed the installation's status");
      CheckWrittenText(kCurrentVersion + "\\Run", "ONLMonitor", "\\ORVIK\\DAZA Zodar\\onlmon.exe");
      CheckWrittenText(kProductKey + "\\CAPI\\Path", "", "\\ORVIK\\DAZA Zodar");
      CheckWrittenText(kProductKey + "\\Monitor\\Run", "MotherInLaw", "\\ORVIK\\DAZA Zodar\\onltool.exe");
      CheckWrittenText(kProductKey + "\\Monitor\\StatisticProgram", "", "\\ORVIK\\DAZA Zodar\\linkperf.msc\"");
    }
  }
  fuzz::CheckNothingOpen("the installation");

  for (const int which : {kSubject, 0}) {
    Device device(kAdapters[which]);
    if (!device.opened) continue;
    COINSTALLER_CONTEXT_DATA context = {};
    fuzz::Check(DeviceCoInstallerFunc(DIF_REMOVE, device.set, &device.data, &context) == NO_ERROR,
                "a removal was refused");
  }
  fuzz::CheckNothingOpen("the removals");
  return 0;
}
