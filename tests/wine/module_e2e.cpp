// The built module end to end on a real SetupAPI: adapters installed, failing and removed, driven
// through DeviceCoInstallerFunc as SetupAPI drives a co-installer (the pre-processing call, then
// the post-processing call with the same context), and once through SetupAPI's own
// SetupDiCallClassInstaller with the module registered by the driver package. What is checked is
// what an administrator would find afterwards: the registry, autoexec.nt and the programs that
// were started.
#include "e2e_support.h"

namespace e2e {
namespace {

constexpr char kServiceParameters[] = "SYSTEM\\CurrentControlSet\\Services\\onlbase\\Parameters";
constexpr char kServicePerformance[] = "SYSTEM\\CurrentControlSet\\Services\\onlbase\\Performance";
const std::string kCapiPath = "Software\\ORVIK\\CAPI";
const std::string kMonitorPath = "Software\\ORVIK\\Monitor";
const std::string kBlock = "REM Install CAPI support\r\nlh %SystemRoot%\\system32\\capidos\r\n";
const std::string kOtherMaker = std::string(kCapiRoot) + "\\1";

// The event text that the registered message file of a source yields for an event id.
std::string RegisteredEventText(const std::string &sourceKey, DWORD eventId) {
  const std::string file = ReadText(sourceKey, "EventMessageFile");
  char expanded[MAX_PATH] = "";
  if (!ExpandEnvironmentStringsA(file.c_str(), expanded, sizeof expanded)) return "<cannot expand " + file + ">";
  HMODULE messages = LoadLibraryExA(expanded, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!messages) return std::string("<cannot load ") + expanded + ">";
  char text[512] = "";
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, messages, eventId,
                     MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, sizeof text, nullptr);
  FreeLibrary(messages);
  return length ? std::string(text, length) : "<no text, error " + std::to_string(GetLastError()) + ">";
}

void ExpectProgramsStarted(size_t times) {
  for (const char *program : {"onlmon.exe", "onltool.exe"}) {
    const std::vector<std::string> runs = StandInRuns(program, times);
    ASSERT_EQ(runs.size(), times) << "runs of " << program;
    for (const std::string &line : runs) {
      // The path holds blanks and is started unquoted: the whole path must be the one that ran,
      // with the empty argument after one blank. Wine hands the child its program name in
      // quotes (Windows passes the command line on as it was given), so both forms count.
      const std::string path = ToolsFolder() + "\\" + program, commandLine = line.substr(line.find('\t') + 1);
      EXPECT_EQ(_stricmp(line.substr(0, line.find('\t')).c_str(), path.c_str()), 0) << line;
      EXPECT_TRUE(commandLine == path + " " || commandLine == "\"" + path + "\" ") << "[" << commandLine << "]";
    }
  }
}

// What an installation sets up and the removal of the last adapter leaves: `installed` tells
// which of the two to expect.
void ExpectProductSetUp(bool installed) {
  const std::string tools = ToolsFolder(), missing = "<missing>";
  EXPECT_EQ(ReadText(kCapiPath + "\\Path", ""), installed ? tools : missing);
  EXPECT_EQ(ReadText(kCapiPath + "\\Version", ""), installed ? "3.38" : missing);
  EXPECT_EQ(ReadText(kCapiPath + "\\BuildNumber", ""), installed ? "1146" : missing);
  EXPECT_EQ(ReadText(kRunKey, kRunValue), installed ? tools + "\\onlmon.exe" : missing) << "bare path, no quotes";
  EXPECT_EQ(ReadText(kLinkperfSource, "EventMessageFile"),
            installed ? "%SystemRoot%\\System32\\onlperf.dll" : missing);
  EXPECT_EQ(ReadDword(kLinkperfSource, "TypesSupported"), installed ? 7 : -1);
  // Kept when the last adapter goes.
  EXPECT_EQ(ReadText(kMonitorPath + "\\StatisticProgram", ""), "mmc.exe /s \"" + tools + "\\linkperf.msc\"");
  EXPECT_EQ(ReadText(kMonitorPath + "\\Run", "MotherInLaw"), tools + "\\onltool.exe");
  EXPECT_EQ(ReadText(kServicePerformance, "Library"), "onlperf.dll");
  EXPECT_EQ(ReadText(kServicePerformance, "Open"), "LinkPerfOpen");
  EXPECT_EQ(ReadText(kServicePerformance, "Collect"), "LinkPerfCollect");
  EXPECT_EQ(ReadText(kServicePerformance, "Close"), "LinkPerfClose");
  EXPECT_EQ(ReadText(kCoinstallerSource, "EventMessageFile"), "%SystemRoot%\\System32\\onlcoin.dll");
  EXPECT_EQ(ReadDword(kCoinstallerSource, "TypesSupported"), 7);
}

using Installation = MachineTest;

// Another maker's controllers hold manufacturer key 1. The maker's only adapter fails and takes
// the set-up of its pre-processing call with it; the next adapter gets controller 1 and the tools
// are set up and started, a second one gets controller 2, a third that fails gives its number
// back, and the removals give the numbers back one by one and, with the last adapter, take the
// product set-up away.
TEST_F(Installation, AdaptersComeFailAndGoBesideAnotherManufacturer) {
  HKEY other = nullptr, controller = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kOtherMaker.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &other, nullptr),
            ERROR_SUCCESS);
  WriteText(other, "Manufacturer", "Other Maker GmbH");
  WriteDword(other, "NumberOfControllers", 1);
  WriteText(other, "DeviceName", "CAPI201");
  ASSERT_EQ(RegCreateKeyExA(other, "1", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &controller, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(controller);
  RegCloseKey(other);
  {
    Adapter only(InstanceId(1), infPath_);
    ASSERT_TRUE(only.ok());
    EXPECT_EQ(Install(only, ERROR_DI_DONT_INSTALL), static_cast<DWORD>(ERROR_DI_DONT_INSTALL));
    EXPECT_EQ(ManufacturerKey(), "");
    EXPECT_EQ(Autoexec(), "\r\n\r\n") << "the block goes, the line breaks around it stay";
    EXPECT_EQ(Subkeys(kCapiPath), std::vector<std::string>{}) << "the build number goes too";
  }  // and removed from the system

  AdapterOptions primary;
  primary.wanEndPoints = 30;
  Adapter first(InstanceId(2), infPath_), second(InstanceId(3), infPath_, primary), third(InstanceId(4), infPath_);
  ASSERT_TRUE(first.ok() && second.ok() && third.ok());
  char folderBefore[MAX_PATH] = "", folderAfter[MAX_PATH] = "";
  GetCurrentDirectoryA(sizeof folderBefore, folderBefore);
  EXPECT_EQ(Install(first), static_cast<DWORD>(NO_ERROR));
  const std::string manufacturer = ManufacturerKey();
  ASSERT_EQ(manufacturer, std::string(kCapiRoot) + "\\2");
  EXPECT_EQ(ReadText(manufacturer, "DeviceName"), "CAPI202");
  EXPECT_EQ(Subkeys(manufacturer), std::vector<std::string>{"1"});
  EXPECT_EQ(ReadDword(manufacturer + "\\1", "Channels"), 2);
  EXPECT_EQ(first.StoredController(), 0) << "controller 1 is stored as 0";
  EXPECT_EQ(ReadText(kServiceParameters, "CapiDeviceName"), "CAPI202");
  ExpectProductSetUp(true);
  EXPECT_EQ(RegisteredEventText(kCoinstallerSource, 2004), "Unable to set the controller for the new device.\r\n")
      << "the registered message file is the installed module";
  GetCurrentDirectoryA(sizeof folderAfter, folderAfter);
  EXPECT_STREQ(folderAfter, folderBefore) << "the counter texts' folder is left again";
  ExpectProgramsStarted(1);

  EXPECT_EQ(Install(second), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(ReadDword(manufacturer + "\\2", "Channels"), 30);
  EXPECT_EQ(second.StoredController(), 1);
  EXPECT_EQ(ReadText(kOtherMaker, "Manufacturer"), "Other Maker GmbH") << "left alone";
  EXPECT_EQ(ReadDword(kOtherMaker, "NumberOfControllers"), 1) << "left alone";

  EXPECT_EQ(Install(third, ERROR_NO_ASSOCIATED_SERVICE), static_cast<DWORD>(ERROR_NO_ASSOCIATED_SERVICE))
      << "the installation's own result is handed back";
  EXPECT_EQ(third.StoredController(), -1) << "the number given back goes from the device too";
  ASSERT_TRUE(third.RemoveFromSystem());
  EXPECT_EQ(Subkeys(manufacturer), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(ReadDword(manufacturer, "NumberOfControllers"), 2);
  EXPECT_EQ(Autoexec(), "\r\n\r\n\r\n" + kBlock + "\r\n") << "every add takes the block out and puts one back";
  ExpectProductSetUp(true);
  ExpectProgramsStarted(2);

  EXPECT_EQ(Remove(first), static_cast<DWORD>(NO_ERROR));
  ASSERT_TRUE(first.RemoveFromSystem()) << "error " << GetLastError();
  EXPECT_EQ(Subkeys(manufacturer), std::vector<std::string>{"2"});
  EXPECT_EQ(ReadDword(manufacturer, "NumberOfControllers"), 1);
  EXPECT_EQ(Autoexec(), "\r\n\r\n\r\n" + kBlock + "\r\n");
  ExpectProductSetUp(true);

  EXPECT_EQ(Remove(second), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(second.StoredController(), 1) << "the device's own value is not touched";
  ASSERT_TRUE(second.RemoveFromSystem()) << "error " << GetLastError();
  EXPECT_EQ(ManufacturerKey(), "");
  EXPECT_EQ(Subkeys(kCapiRoot), std::vector<std::string>{"1"});
  EXPECT_EQ(Autoexec(), "\r\n\r\n") << "the block and the blank lines in front of it";
  EXPECT_EQ(Subkeys(kCapiPath), std::vector<std::string>{}) << "the product keys themselves stay";
  ExpectProductSetUp(false);
  EXPECT_EQ(ReadText(kServiceParameters, "CapiDeviceName"), "CAPI202");
}

// A box on the parallel port: its card type's hook sets two values of the port driver for the
// first parallel port and asks for a restart, so the tools are set up but not started.
TEST_F(Installation, ParallelPortBoxConfiguresThePortAndStartsNothing) {
  HDEVINFO ports = SetupDiCreateDeviceInfoList(&kPortsClass, nullptr);
  ASSERT_NE(ports, INVALID_HANDLE_VALUE);
  SP_DEVINFO_DATA port = {};
  port.cbSize = sizeof port;
  const std::string portId = std::string(kPortIdPrefix) + "LPT1";
  const char service[] = "Parport";
  ASSERT_TRUE(SetupDiCreateDeviceInfoA(ports, portId.c_str(), &kPortsClass, "Printer port", nullptr, 0, &port) &&
              SetupDiRegisterDeviceInfo(ports, &port, 0, nullptr, nullptr, nullptr) &&
              SetupDiSetDeviceRegistryPropertyA(ports, &port, SPDRP_SERVICE,
                                                reinterpret_cast<const BYTE *>(service), sizeof service))
      << "error " << GetLastError();
  HKEY hardwareKey = SetupDiCreateDevRegKeyA(ports, &port, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
  ASSERT_NE(hardwareKey, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  RegCloseKey(hardwareKey);

  AdapterOptions box;
  box.cardType = "EXT/LPT";
  Adapter adapter(InstanceId(1), infPath_, box);
  ASSERT_TRUE(adapter.ok());
  EXPECT_EQ(Install(adapter), static_cast<DWORD>(NO_ERROR));

  hardwareKey = SetupDiOpenDevRegKey(ports, &port, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  ASSERT_NE(hardwareKey, INVALID_HANDLE_VALUE);
  EXPECT_EQ(DwordOf(ReadValue(hardwareKey, "", "EnableConnectInterruptIoctl")), 1);
  EXPECT_EQ(DwordOf(ReadValue(hardwareKey, "", "FilterResourceMethod")), 2);
  RegCloseKey(hardwareKey);

  SP_DEVINSTALL_PARAMS_A params = {};
  params.cbSize = sizeof params;
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(adapter.set(), adapter.device(), &params));
  EXPECT_EQ(params.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT), static_cast<DWORD>(DI_NEEDRESTART | DI_NEEDREBOOT));
  ExpectProductSetUp(true);
  ExpectProgramsStarted(0);
  SetupDiRemoveDevice(ports, &port);
  SetupDiDestroyDeviceInfoList(ports);
}

// SetupAPI finds the module through the co-installer registration that the driver package's
// CoInstallers section writes, and calls its pre-processing for DIF_INSTALLDEVICE and its
// handler for DIF_REMOVE before the default actions.
TEST_F(Installation, SetupApiCallsTheRegisteredModuleForInstallationAndRemoval) {
  Adapter adapter(InstanceId(1), infPath_);
  ASSERT_TRUE(adapter.ok());
  ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTER_COINSTALLERS, adapter.set(), adapter.device()))
      << "error " << GetLastError();
  HKEY driverKey = SetupDiOpenDevRegKey(adapter.set(), adapter.device(), DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
  ASSERT_NE(driverKey, INVALID_HANDLE_VALUE);
  const RegValue registration = ReadValue(driverKey, "", "CoInstallers32");
  RegCloseKey(driverKey);
  EXPECT_EQ(registration.type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(registration.data, std::string("onlcoin.dll,DeviceCoInstallerFunc\0\0", 35));

  EXPECT_TRUE(SetupDiCallClassInstaller(DIF_INSTALLDEVICE, adapter.set(), adapter.device()))
      << "error " << GetLastError();
  ASSERT_NE(ManufacturerKey(), "") << "the module's pre-processing allocated no controller";
  EXPECT_EQ(Subkeys(ManufacturerKey()), std::vector<std::string>{"1"});
  EXPECT_EQ(adapter.StoredController(), 0);
  EXPECT_EQ(ReadText(kServiceParameters, "CapiDeviceName"), "CAPI201");
  EXPECT_EQ(ReadText(kCapiPath + "\\BuildNumber", ""), "1146");
  EXPECT_EQ(Autoexec(), "\r\n" + kBlock + "\r\n");

  EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, adapter.set(), adapter.device()))
      << "error " << GetLastError();
  EXPECT_EQ(ManufacturerKey(), "") << "the module gave the number back";
  HDEVINFO fresh = SetupDiCreateDeviceInfoList(&kAdapterClass, nullptr);
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  EXPECT_FALSE(SetupDiOpenDeviceInfoA(fresh, adapter.id().c_str(), nullptr, 0, &device))
      << "the default action removed the device";
  SetupDiDestroyDeviceInfoList(fresh);
}

}  // namespace
}  // namespace e2e
