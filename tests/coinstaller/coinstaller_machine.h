// A simulated machine for the co-installer's tests: the maker's setup class, its adapters with
// their device CAPI values, parallel and serial ports, the driver service, the Run key, the
// program-files folder with the tools, and a device-information set that stands for the one
// SetupAPI hands the co-installer.
#ifndef TESTS_COINSTALLER_MACHINE_H
#define TESTS_COINSTALLER_MACHINE_H

#include <gtest/gtest.h>
#include <winsim.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "phases.h"

namespace machine {

inline const std::string kOrvikClassGuid = "{5E1B7C40-92A3-4D6F-8B1E-0C7A4F3D2E96}";
inline const std::string kPortsClassGuid = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
inline const std::string kAdapterHardwareId = "PCI\\VEN_1A2B&DEV_0C10";

inline const std::string kHklm = "HKEY_LOCAL_MACHINE\\";
inline const std::string kCurrentVersion = kHklm + "Software\\Microsoft\\Windows\\CurrentVersion";
inline const std::string kRunKey = kCurrentVersion + "\\Run";
inline const std::string kCapi20 = kHklm + "SOFTWARE\\CAPI20";
inline const std::string kManufacturer1 = kCapi20 + "\\1";
inline const std::string kProductCapi = kHklm + "Software\\ORVIK\\CAPI";
inline const std::string kMonitorKey = kHklm + "Software\\ORVIK\\Monitor";
inline const std::string kServices = kHklm + "SYSTEM\\CurrentControlSet\\Services";
inline const std::string kDriverService = kServices + "\\onlbase";
inline const std::string kDriverParameters = kDriverService + "\\Parameters";
inline const std::string kPerformanceKey = kDriverService + "\\Performance";
inline const std::string kEventLog = kServices + "\\EventLog";
inline const std::string kModuleEventSource = kEventLog + "\\System\\ORVIK.ISDN.Coinstaller";
inline const std::string kPerfEventSource = kEventLog + "\\Application\\linkperf";

inline const std::string kProgramFiles = "C:\\Program Files";
inline const std::string kToolsFolder = kProgramFiles + "\\ORVIK\\DAZA Zodar";
inline const std::string kMonitorProgram = kToolsFolder + "\\onlmon.exe";
inline const std::string kToolProgram = kToolsFolder + "\\onltool.exe";
inline const std::string kAutoexecPath = "C:\\WINDOWS\\system32\\autoexec.nt";
inline const std::string kAutoexecBlock = "REM Install CAPI support\r\nlh %SystemRoot%\\system32\\capidos\r\n";

constexpr DWORD kRestartFlags = DI_NEEDRESTART | DI_NEEDREBOOT;
constexpr DWORD kDontInstall = ERROR_DI_DONT_INSTALL;
constexpr DWORD kPostprocessingRequired = ERROR_DI_POSTPROCESSING_REQUIRED;

// The machine every test starts from: classes, the driver service, the event-log keys, the Run
// key, the program-files folder in the registry and the tool programs on disk.
inline void SetUpBaseMachine() {
  winsim::AddSetupClass(kOrvikClassGuid, "ORVIK");
  winsim::AddSetupClass(kPortsClassGuid, "Ports");
  winsim::SetString(kDriverService, "ImagePath", "System32\\drivers\\onlbase.sys");
  winsim::CreateKey(kEventLog + "\\System");
  winsim::CreateKey(kEventLog + "\\Application");
  winsim::CreateKey(kRunKey);
  winsim::SetString(kCurrentVersion, "ProgramFilesDir", kProgramFiles);
  winsim::PutFile(kMonitorProgram, "MZ monitor");
  winsim::PutFile(kToolProgram, "MZ tool");
  winsim::PutFile(kToolsFolder + "\\counters.ini",
                  "[info]\r\ndrivername=onlbase\r\nsymbolfile=linkperf.h\r\n\r\n[languages]\r\n009=English\r\n\r\n"
                  "[text]\r\nLINK_OBJECT_009_NAME=ISDN Link\r\nLINK_OBJECT_009_HELP=The ISDN adapter's links\r\n"
                  "LINK_FRAMES_009_NAME=Frames/sec\r\nLINK_FRAMES_009_HELP=Frames sent per second\r\n");
}

// An adapter of the maker, described by chained setters: Adapter().Id(...).Controller(1).
struct Adapter {
  std::string instanceId = "PCI\\VEN_1A2B&DEV_0C10\\1";
  std::optional<DWORD> productCode = 1;
  std::optional<DWORD> controller;  // the 1-based number; stored as number - 1
  std::optional<DWORD> wanEndPoints = 2;

  Adapter &Id(const std::string &id) { return instanceId = id, *this; }
  Adapter &ProductCode(std::optional<DWORD> code) { return productCode = code, *this; }
  Adapter &Controller(DWORD number) { return controller = number, *this; }
  Adapter &WanEndPoints(std::optional<DWORD> count) { return wanEndPoints = count, *this; }
};

inline std::string DeviceCapiKey(const std::string &instanceId) {
  return winsim::DriverKeyPath(instanceId) + "\\VendorSpecific\\CAPI";
}

inline std::string AddAdapter(const Adapter &adapter) {
  winsim::NewDevice device;
  device.instanceId = adapter.instanceId;
  device.classGuid = kOrvikClassGuid;
  device.hardwareIds = {kAdapterHardwareId};
  device.service = "onlbase";
  device.description = "ORVIK ISDN adapter";
  const std::string id = winsim::AddDevice(device);
  const std::string driverKey = winsim::DriverKeyPath(id);
  if (adapter.wanEndPoints) winsim::SetDword(driverKey, "WanEndPoints", *adapter.wanEndPoints);
  if (adapter.productCode) winsim::SetDword(DeviceCapiKey(id), "ProductCode", *adapter.productCode);
  if (adapter.controller) winsim::SetDword(DeviceCapiKey(id), "Controller", *adapter.controller - 1);
  return id;
}

// A port of the Ports class with its hardware key.
inline std::string AddPort(const std::string &instanceId, const std::string &service, bool present = true) {
  winsim::NewDevice device;
  device.instanceId = instanceId;
  device.classGuid = kPortsClassGuid;
  device.hardwareIds = {"ACPI\\PNP0401"};
  device.service = service;
  device.present = present;
  const std::string id = winsim::AddDevice(device);
  winsim::CreateKey(winsim::HardwareKeyPath(id));
  return id;
}

// Registers controller `number` under "ORVIK AG" in manufacturer key 1, as an earlier
// installation left it.
inline void HoldController(DWORD number) {
  winsim::SetString(kManufacturer1, "Manufacturer", "ORVIK AG");
  winsim::SetString(kManufacturer1, "DeviceName", "CAPI201");
  const std::optional<DWORD> count = winsim::GetDword(kManufacturer1, "NumberOfControllers");
  winsim::SetDword(kManufacturer1, "NumberOfControllers", count.value_or(0) + 1);
  winsim::CreateKey(kManufacturer1 + "\\" + std::to_string(number));
}

// An INF of the maker's class with one driver for the adapter. installDate is the DriverVer date
// of the install section "Install.NT" (no DriverVer line when absent); the Version section and the
// undecorated "Install" section carry far later dates that must never be read.
inline std::string DriverInf(const std::string &description, const std::optional<std::string> &installDate) {
  std::string inf =
      "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=ORVIK\r\nClassGuid=" + kOrvikClassGuid +
      "\r\nProvider=%Maker%\r\nDriverVer=12/31/2098,9.9.9.9\r\n\r\n[Manufacturer]\r\n%Maker%=Models\r\n"
      "\r\n[Models]\r\n\"" +
      description + "\"=Install, " + kAdapterHardwareId +
      "\r\n\r\n[Install]\r\nDriverVer=12/31/2097,9.9.9.8\r\n\r\n[Install.NT]\r\n";
  if (installDate) inf += "DriverVer=" + *installDate + ",3.38.0.1146\r\n";
  return inf + "AddReg=NoValues\r\n\r\n[NoValues]\r\n\r\n[Strings]\r\nMaker=\"ORVIK AG\"\r\n";
}

// The device as SetupAPI hands it to the co-installer: an element of a set of its own.
class DeviceInSet {
 public:
  explicit DeviceInSet(const std::string &instanceId, const std::string &classGuid = kOrvikClassGuid) {
    GUID guid;
    EXPECT_TRUE(winsim::ParseGuid(classGuid, &guid));
    set = SetupDiCreateDeviceInfoList(&guid, nullptr);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    data.cbSize = sizeof(data);
    EXPECT_TRUE(SetupDiOpenDeviceInfoA(set, instanceId.c_str(), nullptr, 0, &data)) << instanceId;
  }
  ~DeviceInSet() {
    if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
  }
  DeviceInSet(const DeviceInSet &) = delete;
  DeviceInSet &operator=(const DeviceInSet &) = delete;

  DWORD InstallFlags() {
    SP_DEVINSTALL_PARAMS_A params = {};
    params.cbSize = sizeof(params);
    EXPECT_TRUE(SetupDiGetDeviceInstallParamsA(set, &data, &params));
    return params.Flags;
  }
  void SetInstallFlags(DWORD flags) {
    SP_DEVINSTALL_PARAMS_A params = {};
    params.cbSize = sizeof(params);
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(set, &data, &params));
    params.Flags = flags;
    ASSERT_TRUE(SetupDiSetDeviceInstallParamsA(set, &data, &params));
  }

  // Builds the compatible-driver list from one INF outside the INF folder.
  void ListDriversOf(const std::string &infPath) {
    SP_DEVINSTALL_PARAMS_A params = {};
    params.cbSize = sizeof(params);
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(set, &data, &params));
    params.Flags |= DI_ENUMSINGLEINF;
    snprintf(params.DriverPath, sizeof(params.DriverPath), "%s", infPath.c_str());
    ASSERT_TRUE(SetupDiSetDeviceInstallParamsA(set, &data, &params));
    ASSERT_TRUE(SetupDiBuildDriverInfoList(set, &data, SPDIT_COMPATDRIVER)) << GetLastError();
  }
  // Lists the driver of the maker's INF and selects it, as SetupAPI has done by the time it
  // installs the device.
  void SelectDriver() {
    winsim::PutFile("C:\\drivers\\orvik.inf", DriverInf("ORVIK ISDN adapter", "06/26/2000"));
    ListDriversOf("C:\\drivers\\orvik.inf");
    ASSERT_TRUE(SetupDiSelectBestCompatDrv(set, &data)) << GetLastError();
  }

  // A driver-choice request as SetupAPI makes it over the INF folder: the compatible-driver list,
  // the co-installer's DIF_SELECTBESTCOMPATDRV (its status in *status), then the platform's own
  // selection. Returns the driver that the platform selected; Description is empty when none was.
  SP_DRVINFO_DATA_A ChooseDriver(DWORD *status) {
    SP_DRVINFO_DATA_A selected = {};
    selected.cbSize = sizeof(selected);
    *status = ERROR_GEN_FAILURE;
    if (!SetupDiBuildDriverInfoList(set, &data, SPDIT_COMPATDRIVER)) {
      ADD_FAILURE() << "no compatible-driver list: " << GetLastError();
      return selected;
    }
    COINSTALLER_CONTEXT_DATA context = {};
    *status = DeviceCoInstallerFunc(DIF_SELECTBESTCOMPATDRV, set, &data, &context);
    if (!SetupDiSelectBestCompatDrv(set, &data) || !SetupDiGetSelectedDriverA(set, &data, &selected)) {
      ADD_FAILURE() << "the platform selected no driver: " << GetLastError();
      selected.Description[0] = '\0';
    }
    return selected;
  }

  HDEVINFO set = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA data = {};
};

// The controller number in PrivateData, without the mark of a number held before.
inline DWORD PrivateNumber(const COINSTALLER_CONTEXT_DATA &context) {
  return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(context.PrivateData)) & 0x7FFFFFFFu;
}

inline std::vector<BYTE> LittleEndian(DWORD value) {
  return {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
          static_cast<BYTE>(value >> 24)};
}

inline bool AutoexecHasBlock() {
  const std::optional<std::string> text = winsim::GetFile(kAutoexecPath);
  return text && text->find(kAutoexecBlock) != std::string::npos;
}

}  // namespace machine

#endif  // TESTS_COINSTALLER_MACHINE_H
