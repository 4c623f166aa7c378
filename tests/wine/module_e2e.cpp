// The built module end to end on a real SetupAPI: adapters installed, installed twice, failing
// and removed, driven through DeviceCoInstallerFunc as SetupAPI drives a co-installer (the
// pre-processing call, then the post-processing call with the same context), and once through
// SetupAPI's own SetupDiCallClassInstaller with the module registered by the driver package.
// What is checked is what an administrator would find afterwards: the registry, autoexec.nt and
// the programs that were started.
#include <algorithm>
#include <cctype>

#include "e2e_support.h"

namespace e2e {
namespace {

const std::string kCapiPath = kProductCapiKey;
const std::string kMonitorPath = kProductMonitorKey;

std::vector<std::string> Sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

std::string Lower(std::string text) {
  for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The image and command line of one stand-in run, from its log line.
struct Run {
  std::string image;
  std::string commandLine;
};
Run ParseRun(const std::string &line) {
  const size_t tab = line.find('\t');
  if (tab == std::string::npos) return {line, ""};
  return {line.substr(0, tab), line.substr(tab + 1)};
}

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
  const std::string tools = ToolsFolder();
  for (const char *program : {"onlmon.exe", "onltool.exe"}) {
    const std::vector<std::string> runs = StandInRuns(program, times);
    ASSERT_EQ(runs.size(), times) << "runs of " << program;
    for (const std::string &line : runs) {
      const Run run = ParseRun(line);
      // The path holds blanks and is started unquoted: the whole path must be the one that ran,
      // with the empty argument after one blank. Wine hands the child its program name in
      // quotes (Windows passes the command line on as it was given), so both forms count.
      const std::string path = tools + "\\" + program;
      EXPECT_EQ(Lower(run.image), Lower(path)) << line;
      EXPECT_TRUE(run.commandLine == path + " " || run.commandLine == "\"" + path + "\" ")
          << "command line: [" << run.commandLine << "]";
    }
  }
}

void ExpectProductSetUp() {
  const std::string tools = ToolsFolder();
  EXPECT_EQ(ReadText(kCapiPath + "\\Path", ""), tools);
  EXPECT_EQ(ReadText(kCapiPath + "\\Version", ""), "3.38");
  EXPECT_EQ(ReadText(kCapiPath + "\\BuildNumber", ""), "1146");
  EXPECT_EQ(ReadText(kRunKey, kRunValue), tools + "\\onlmon.exe") << "bare path, no quotes";
  EXPECT_EQ(ReadText(kMonitorPath + "\\StatisticProgram", ""), "mmc.exe /s \"" + tools + "\\linkperf.msc\"");
  EXPECT_EQ(ReadText(kMonitorPath + "\\Run", "MotherInLaw"), tools + "\\onltool.exe");
  EXPECT_EQ(ReadText(kLinkperfSource, "EventMessageFile"), "%SystemRoot%\\System32\\onlperf.dll");
  EXPECT_EQ(ReadDword(kLinkperfSource, "TypesSupported"), 7);
  EXPECT_EQ(ReadText(kServicePerformance, "Library"), "onlperf.dll");
  EXPECT_EQ(ReadText(kServicePerformance, "Open"), "LinkPerfOpen");
  EXPECT_EQ(ReadText(kServicePerformance, "Collect"), "LinkPerfCollect");
  EXPECT_EQ(ReadText(kServicePerformance, "Close"), "LinkPerfClose");
}

std::string Autoexec() {
  std::string bytes;
  if (!ReadFileBytes(AutoexecPath(), &bytes)) return "<no file>";
  return bytes;
}

const std::string kBlock = kCapiSupportBlock;

using Installation = MachineTest;

TEST_F(Installation, OneAdapterGetsControllerOneAndTheToolsAreSetUp) {
  Adapter adapter(InstanceId(1), infPath_, {});
  ASSERT_TRUE(adapter.ok());
  char folderBefore[MAX_PATH] = "";
  GetCurrentDirectoryA(sizeof folderBefore, folderBefore);

  const InstallOutcome outcome = Install(adapter);
  EXPECT_EQ(outcome.pre, static_cast<DWORD>(ERROR_DI_POSTPROCESSING_REQUIRED));
  ASSERT_TRUE(outcome.postCalled);
  EXPECT_EQ(outcome.post, static_cast<DWORD>(NO_ERROR));

  // The controller registry: manufacturer 1, controller 1 with the adapter's channels.
  const std::string manufacturer = ManufacturerKey();
  ASSERT_EQ(manufacturer, std::string(kCapiRoot) + "\\1");
  EXPECT_EQ(ReadText(manufacturer, "Manufacturer"), kManufacturer);
  EXPECT_EQ(ReadText(manufacturer, "DeviceName"), "CAPI201");
  EXPECT_EQ(ReadDword(manufacturer, "NumberOfControllers"), 1);
  EXPECT_EQ(Subkeys(manufacturer), std::vector<std::string>{"1"});
  EXPECT_EQ(ReadDword(manufacturer + "\\1", "Channels"), 2);
  EXPECT_EQ(adapter.StoredController(), 0) << "controller 1 is stored as 0";
  EXPECT_EQ(ReadText(kServiceParameters, "CapiDeviceName"), "CAPI201");

  ExpectProductSetUp();
  EXPECT_EQ(ReadText(kCoinstallerSource, "EventMessageFile"), "%SystemRoot%\\System32\\onlcoin.dll");
  EXPECT_EQ(ReadDword(kCoinstallerSource, "TypesSupported"), 7);
  EXPECT_EQ(RegisteredEventText(kCoinstallerSource, 2004), "Unable to set the controller for the new device.\r\n")
      << "the registered message file is the installed module";
  EXPECT_EQ(Autoexec(), "\r\n" + kBlock + "\r\n");

  char folderAfter[MAX_PATH] = "";
  GetCurrentDirectoryA(sizeof folderAfter, folderAfter);
  EXPECT_STREQ(folderAfter, folderBefore) << "the counter texts' folder is left again";
  ExpectProgramsStarted(1);
}

TEST_F(Installation, SecondAdapterGetsTheNextControllerBesideAnotherManufacturer) {
  // Another maker's controllers hold manufacturer key 1.
  HKEY other = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(kCapiRoot) + "\\1\\1").c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &other, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(other);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kCapiRoot) + "\\1").c_str(), 0, KEY_ALL_ACCESS, &other),
            ERROR_SUCCESS);
  WriteText(other, "Manufacturer", "Other Maker GmbH");
  WriteDword(other, "NumberOfControllers", 1);
  WriteText(other, "DeviceName", "CAPI201");
  RegCloseKey(other);

  Adapter first(InstanceId(1), infPath_, {});
  AdapterOptions primary;
  primary.wanEndPoints = 30;
  Adapter second(InstanceId(2), infPath_, primary);
  ASSERT_TRUE(first.ok() && second.ok());
  const InstallOutcome one = Install(first);
  const InstallOutcome two = Install(second);
  EXPECT_EQ(one.pre, static_cast<DWORD>(ERROR_DI_POSTPROCESSING_REQUIRED));
  EXPECT_EQ(two.pre, static_cast<DWORD>(ERROR_DI_POSTPROCESSING_REQUIRED));
  EXPECT_EQ(one.post, static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(two.post, static_cast<DWORD>(NO_ERROR));

  const std::string manufacturer = ManufacturerKey();
  ASSERT_EQ(manufacturer, std::string(kCapiRoot) + "\\2");
  EXPECT_EQ(ReadText(manufacturer, "DeviceName"), "CAPI202");
  EXPECT_EQ(ReadDword(manufacturer, "NumberOfControllers"), 2);
  EXPECT_EQ(Sorted(Subkeys(manufacturer)), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(ReadDword(manufacturer + "\\1", "Channels"), 2);
  EXPECT_EQ(ReadDword(manufacturer + "\\2", "Channels"), 30);
  EXPECT_EQ(first.StoredController(), 0);
  EXPECT_EQ(second.StoredController(), 1);
  EXPECT_EQ(ReadText(kServiceParameters, "CapiDeviceName"), "CAPI202");
  EXPECT_EQ(ReadText(std::string(kCapiRoot) + "\\1", "Manufacturer"), "Other Maker GmbH") << "left alone";
  EXPECT_EQ(ReadDword(std::string(kCapiRoot) + "\\1", "NumberOfControllers"), 1) << "left alone";

  // The second add takes the first block out and puts one back at the end.
  EXPECT_EQ(Autoexec(), "\r\n\r\n\r\n" + kBlock + "\r\n");
  ExpectProductSetUp();
  ExpectProgramsStarted(2);
}

TEST_F(Installation, FailedSecondAdapterGivesItsNumberBackAndReturnsTheFailure) {
  Adapter first(InstanceId(1), infPath_, {});
  Adapter second(InstanceId(2), infPath_, {});
  ASSERT_TRUE(first.ok() && second.ok());
  ASSERT_EQ(Install(first).post, static_cast<DWORD>(NO_ERROR));

  const DWORD failure = ERROR_NO_ASSOCIATED_SERVICE;
  const InstallOutcome outcome = Install(second, failure);
  EXPECT_EQ(outcome.pre, static_cast<DWORD>(ERROR_DI_POSTPROCESSING_REQUIRED));
  EXPECT_EQ(outcome.post, failure) << "the installation's own result is handed back";

  const std::string manufacturer = ManufacturerKey();
  EXPECT_EQ(Subkeys(manufacturer), std::vector<std::string>{"1"});
  EXPECT_EQ(ReadDword(manufacturer, "NumberOfControllers"), 1);
  EXPECT_EQ(second.StoredController(), 1) << "the device keeps the value of the number it gave back";
  // The first adapter's set-up stays, and nothing was started for the second.
  EXPECT_EQ(CountOccurrences(Autoexec(), kBlock), 1u);
  ExpectProductSetUp();
  ExpectProgramsStarted(1);
}

TEST_F(Installation, FailedOnlyAdapterTakesTheProductSetUpAway) {
  Adapter adapter(InstanceId(1), infPath_, {});
  ASSERT_TRUE(adapter.ok());
  const InstallOutcome outcome = Install(adapter, ERROR_DI_DONT_INSTALL);
  EXPECT_EQ(outcome.post, static_cast<DWORD>(ERROR_DI_DONT_INSTALL));

  // The failed adapter is the maker's only one: its number goes, and with it the manufacturer
  // key, the autoexec.nt block and the build number of the pre-processing call.
  EXPECT_EQ(ManufacturerKey(), "");
  EXPECT_TRUE(KeyExists(kCapiRoot));
  EXPECT_EQ(CountOccurrences(Autoexec(), kBlock), 0u);
  EXPECT_FALSE(KeyExists(kCapiPath + "\\BuildNumber"));
  EXPECT_EQ(StandInRuns("onlmon.exe", 0).size(), 0u);
  EXPECT_EQ(StandInRuns("onltool.exe", 0).size(), 0u);
}

// A box on the parallel port: its card type's hook sets two values of the port driver for the
// first parallel port and asks for a restart, so the tools are set up but not started.
TEST_F(Installation, ParallelPortBoxConfiguresThePortAndStartsNothing) {
  HDEVINFO ports = SetupDiCreateDeviceInfoList(&kPortsClass, nullptr);
  ASSERT_NE(ports, INVALID_HANDLE_VALUE);
  SP_DEVINFO_DATA port = {};
  port.cbSize = sizeof port;
  const std::string portId = std::string(kPortIdPrefix) + "LPT1";
  ASSERT_TRUE(SetupDiCreateDeviceInfoA(ports, portId.c_str(), &kPortsClass, "Printer port", nullptr, 0, &port) &&
              SetupDiRegisterDeviceInfo(ports, &port, 0, nullptr, nullptr, nullptr))
      << "error " << GetLastError();
  const char service[] = "Parport";
  ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(ports, &port, SPDRP_SERVICE,
                                                reinterpret_cast<const BYTE *>(service), sizeof service));
  HKEY hardwareKey = SetupDiCreateDevRegKeyA(ports, &port, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
  ASSERT_NE(hardwareKey, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  RegCloseKey(hardwareKey);

  AdapterOptions box;
  box.cardType = "EXT/LPT";
  Adapter adapter(InstanceId(1), infPath_, box);
  ASSERT_TRUE(adapter.ok());
  EXPECT_EQ(Install(adapter).post, static_cast<DWORD>(NO_ERROR));

  hardwareKey = SetupDiOpenDevRegKey(ports, &port, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  ASSERT_NE(hardwareKey, INVALID_HANDLE_VALUE);
  const RegValue connect = ReadValue(hardwareKey, "", "EnableConnectInterruptIoctl");
  const RegValue filter = ReadValue(hardwareKey, "", "FilterResourceMethod");
  RegCloseKey(hardwareKey);
  EXPECT_EQ(connect.type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(connect.data, std::string("\1\0\0\0", 4));
  EXPECT_EQ(filter.type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(filter.data, std::string("\2\0\0\0", 4));

  SP_DEVINSTALL_PARAMS_A params = {};
  params.cbSize = sizeof params;
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(adapter.set(), adapter.device(), &params));
  EXPECT_EQ(params.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT), static_cast<DWORD>(DI_NEEDRESTART | DI_NEEDREBOOT));
  ExpectProductSetUp();
  EXPECT_EQ(StandInRuns("onlmon.exe", 0).size(), 0u) << "a restart is pending";
  EXPECT_EQ(StandInRuns("onltool.exe", 0).size(), 0u) << "a restart is pending";
  SetupDiRemoveDevice(ports, &port);
  SetupDiDestroyDeviceInfoList(ports);
}

using Removal = MachineTest;

TEST_F(Removal, OneOfTwoGivesOnlyItsNumberBackAndTheLastTakesTheProductSetUpAway) {
  Adapter first(InstanceId(1), infPath_, {});
  Adapter second(InstanceId(2), infPath_, {});
  ASSERT_TRUE(first.ok() && second.ok());
  ASSERT_EQ(Install(first).post, static_cast<DWORD>(NO_ERROR));
  ASSERT_EQ(Install(second).post, static_cast<DWORD>(NO_ERROR));
  ExpectProgramsStarted(2);

  EXPECT_EQ(Remove(first), static_cast<DWORD>(NO_ERROR));
  ASSERT_TRUE(first.RemoveFromSystem()) << "error " << GetLastError();
  const std::string manufacturer = ManufacturerKey();
  EXPECT_EQ(Subkeys(manufacturer), std::vector<std::string>{"2"});
  EXPECT_EQ(ReadDword(manufacturer, "NumberOfControllers"), 1);
  EXPECT_EQ(CountOccurrences(Autoexec(), kBlock), 1u);
  ExpectProductSetUp();

  EXPECT_EQ(Remove(second), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(second.StoredController(), 1) << "the device's own value is not touched";
  ASSERT_TRUE(second.RemoveFromSystem()) << "error " << GetLastError();

  // Gone with the last adapter.
  EXPECT_EQ(ManufacturerKey(), "");
  EXPECT_EQ(Autoexec(), "\r\n\r\n") << "the block and the blank lines in front of it";
  EXPECT_TRUE(KeyExists(kCapiPath)) << "the product keys themselves stay";
  EXPECT_EQ(Subkeys(kCapiPath), std::vector<std::string>{}) << "Version, BuildNumber and Path go";
  EXPECT_EQ(ReadText(kRunKey, kRunValue), "<missing>");
  EXPECT_FALSE(KeyExists(kLinkperfSource));
  // Kept.
  EXPECT_TRUE(KeyExists(kCapiRoot));
  const std::string tools = ToolsFolder();
  EXPECT_EQ(ReadText(kMonitorPath + "\\StatisticProgram", ""), "mmc.exe /s \"" + tools + "\\linkperf.msc\"");
  EXPECT_EQ(ReadText(kMonitorPath + "\\Run", "MotherInLaw"), tools + "\\onltool.exe");
  EXPECT_EQ(ReadText(kServicePerformance, "Library"), "onlperf.dll");
  EXPECT_EQ(ReadText(kCoinstallerSource, "EventMessageFile"), "%SystemRoot%\\System32\\onlcoin.dll");
  EXPECT_EQ(ReadText(kServiceParameters, "CapiDeviceName"), "CAPI201");
}

using ClassInstaller = MachineTest;

// SetupAPI finds the module through the co-installer registration that the driver package's
// CoInstallers section writes, and calls its pre-processing for DIF_INSTALLDEVICE and its
// handler for DIF_REMOVE before the default actions.
TEST_F(ClassInstaller, CallsTheRegisteredModuleForInstallationAndRemoval) {
  Adapter adapter(InstanceId(1), infPath_, {});
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
  const std::string manufacturer = ManufacturerKey();
  ASSERT_NE(manufacturer, "") << "the module's pre-processing allocated no controller";
  EXPECT_EQ(Subkeys(manufacturer), std::vector<std::string>{"1"});
  EXPECT_EQ(adapter.StoredController(), 0);
  EXPECT_EQ(ReadText(kServiceParameters, "CapiDeviceName"), "CAPI201");
  EXPECT_EQ(ReadText(kCapiPath + "\\BuildNumber", ""), "1146");

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
