// The simulator's jobs from end to end on its embedded default machine: what the machine holds
// after installations, removals, a failed installation and a device without a driver, compared
// with what the co-installer and the platform must leave behind.
#include <gtest/gtest.h>

#include "devsim_fixture.h"
#include "input_error.h"
#include "numbering_check.h"

namespace {

constexpr const char *kCapiMaker = "SOFTWARE\\CAPI20\\1";
constexpr const char *kProductCapi = "SOFTWARE\\ORVIK\\CAPI";
constexpr const char *kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char *kPerfSource = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\linkperf";
constexpr const char *kModuleSource =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\ORVIK.ISDN.Coinstaller";
constexpr const char *kPerformance = "SYSTEM\\CurrentControlSet\\Services\\onlbase\\Performance";
constexpr const char *kParallelPort = "SYSTEM\\CurrentControlSet\\Enum\\ACPI\\PNP0400\\1\\Device Parameters";
constexpr const char *kSerialPort = "SYSTEM\\CurrentControlSet\\Enum\\ACPI\\PNP0501\\1\\Device Parameters";
constexpr const char *kAutoexec = "C:\\WINDOWS\\system32\\autoexec.nt";
constexpr const char *kCapiBlock = "REM Install CAPI support\r\nlh %SystemRoot%\\system32\\capidos\r\n";
constexpr const char *kToolsFolder = "C:\\Program Files\\ORVIK\\DAZA Zodar";

size_t Count(const std::string &text, const std::string &part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class EndToEnd : public DevsimTest {
 protected:
  void InstallBoth() {
    Run(std::string(kCardLine) + "choose card\ninstall card\nmonitor onlmon\n" + kBoxLine + "install box\n");
  }
  std::string Use(const char *name, const char *id) { return std::string("use ") + name + " id=" + id + "\n"; }
};

TEST_F(EndToEnd, TwoAdaptersGetNumbersInOrderAndTheDriverPackageValuesWhichARestartKeeps) {
  InstallBoth();
  // Nothing the installations wrote is volatile: the registry comes back from a restart unchanged.
  const std::string installed = winsim::ExportReg("HKEY_LOCAL_MACHINE");
  Run("restart\n");
  EXPECT_EQ(winsim::ExportReg("HKEY_LOCAL_MACHINE"), installed);

  EXPECT_EQ(winsim::GetDword(CapiKey(kCardId), "Controller"), 0u) << "the card holds number 1";
  EXPECT_EQ(winsim::GetDword(CapiKey(kBoxId), "Controller"), 1u) << "the box holds number 2";
  EXPECT_EQ(winsim::GetString(Key(kCapiMaker), "Manufacturer"), "ORVIK AG");
  EXPECT_EQ(winsim::GetDword(Key(kCapiMaker), "NumberOfControllers"), 2u);
  EXPECT_EQ(winsim::GetDword(Key(kCapiMaker) + "\\1", "Channels"), 2u);
  EXPECT_EQ(winsim::GetDword(Key(kCapiMaker) + "\\2", "Channels"), 2u);
  EXPECT_EQ(winsim::GetString(Key("SYSTEM\\CurrentControlSet\\Services\\onlbase\\Parameters"), "CapiDeviceName"),
            "CAPI201");

  // The values the co-installer relies on come from the INF's AddReg lines.
  EXPECT_EQ(winsim::GetDword(CapiKey(kCardId), "ProductCode"), 1u);
  EXPECT_EQ(winsim::GetString(CapiKey(kCardId), "CardType"), "pci/bri");
  EXPECT_EQ(winsim::GetString(CapiKey(kBoxId), "CardType"), "ext/lpt");
  EXPECT_EQ(winsim::GetDword(winsim::DriverKeyPath(kBoxId), "WanEndPoints"), 2u);
  EXPECT_EQ(winsim::GetString(Key(std::string("SYSTEM\\CurrentControlSet\\Enum\\") + kBoxId), "Service"),
            "onlbase");
  EXPECT_TRUE(winsim::IsDevicePresent(kCardId));
  EXPECT_TRUE(winsim::IsDevicePresent(kBoxId));

  // The box's card-type hook configured the parallel port and left the serial port alone.
  EXPECT_EQ(winsim::GetDword(Key(kParallelPort), "EnableConnectInterruptIoctl"), 1u);
  EXPECT_EQ(winsim::GetDword(Key(kParallelPort), "FilterResourceMethod"), 2u);
  EXPECT_FALSE(winsim::GetValue(Key(kSerialPort), "EnableConnectInterruptIoctl"));

  // Product set-up: once, from the first installation; the box asked for a restart, so only the
  // card's installation started the two programs, and the Run key the monitor after the restart.
  EXPECT_EQ(winsim::GetString(Key(kProductCapi) + "\\Path", ""), kToolsFolder);
  EXPECT_EQ(winsim::GetString(Key(kRunKey), "ONLMonitor"), std::string(kToolsFolder) + "\\onlmon.exe");
  ASSERT_EQ(winsim::StartedProcesses().size(), 4u) << "the card's two, then the Run key's two at logon";
  EXPECT_EQ(winsim::StartedProcesses()[0].commandLine, std::string(kToolsFolder) + "\\onlmon.exe ");
  EXPECT_EQ(winsim::StartedProcesses()[3].commandLine, std::string(kToolsFolder) + "\\onlmon.exe");
  EXPECT_EQ(Count(winsim::GetFile(kAutoexec).value_or(""), kCapiBlock), 1u);
}

TEST_F(EndToEnd, RemovingOneOfTwoKeepsTheOthersNumberAndTheProduct) {
  InstallBoth();
  Run(Use("card", kCardId) + "remove card\n");

  EXPECT_FALSE(winsim::KeyExists(Key(std::string("SYSTEM\\CurrentControlSet\\Enum\\") + kCardId)));
  EXPECT_FALSE(winsim::KeyExists(Key(kCapiMaker) + "\\1")) << "the card's number is given back";
  EXPECT_TRUE(winsim::KeyExists(Key(kCapiMaker) + "\\2"));
  EXPECT_EQ(winsim::GetDword(CapiKey(kBoxId), "Controller"), 1u) << "the box keeps number 2";
  EXPECT_EQ(winsim::GetDword(Key(kCapiMaker), "NumberOfControllers"), 1u);

  EXPECT_TRUE(winsim::KeyExists(Key(kProductCapi) + "\\Version"));
  EXPECT_TRUE(winsim::GetValue(Key(kRunKey), "ONLMonitor"));
  EXPECT_TRUE(winsim::KeyExists(Key(kPerfSource)));
  EXPECT_EQ(Count(winsim::GetFile(kAutoexec).value_or(""), kCapiBlock), 1u);
  EXPECT_TRUE(winsim::MessageTrace().empty()) << "monitors are asked to quit only for the last adapter";
}

TEST_F(EndToEnd, RemovingTheLastTakesTheProductAwayAndLeavesWhatStays) {
  InstallBoth();
  Run(Use("card", kCardId) + "remove card\n");
  std::string report = Run(Use("box", kBoxId) + "remove box\n");

  EXPECT_FALSE(winsim::KeyExists(Key(kCapiMaker)));
  EXPECT_TRUE(winsim::KeyExists(Key("SOFTWARE\\CAPI20")));
  for (const char *subkey : {"Version", "BuildNumber", "Path"}) {
    EXPECT_FALSE(winsim::KeyExists(Key(kProductCapi) + "\\" + subkey)) << subkey;
  }
  EXPECT_FALSE(winsim::GetValue(Key(kRunKey), "ONLMonitor"));
  EXPECT_FALSE(winsim::KeyExists(Key(kPerfSource)));
  EXPECT_EQ(winsim::GetFile(kAutoexec).value_or("").find("capidos"), std::string::npos);
  ASSERT_FALSE(winsim::LoadPerfCalls().empty());
  EXPECT_EQ(winsim::LoadPerfCalls().back().commandLine, "unlodctr onlbase");

  // What stays after the last adapter.
  EXPECT_TRUE(winsim::KeyExists(Key(kProductCapi)));
  EXPECT_TRUE(winsim::KeyExists(Key("SOFTWARE\\ORVIK\\Monitor\\StatisticProgram")));
  EXPECT_EQ(winsim::GetString(Key("SOFTWARE\\ORVIK\\Monitor\\Run"), "MotherInLaw"),
            std::string(kToolsFolder) + "\\onltool.exe");
  EXPECT_EQ(winsim::GetString(Key(kPerformance), "Library"), "onlperf.dll");
  EXPECT_EQ(winsim::GetString(Key(kPerformance), "Collect"), "LinkPerfCollect");
  EXPECT_TRUE(winsim::KeyExists(Key(kModuleSource)));
  EXPECT_TRUE(winsim::KeyExists(Key("SYSTEM\\CurrentControlSet\\Services\\onlbase")));

  // The running monitor was asked and quit; the report shows the exchange.
  EXPECT_NE(report.find("onlmon -> module  ORVIK.Quit QuitDone"), std::string::npos) << report;
  EXPECT_NE(report.find("module -> broadcast  ORVIK.Quit QuitOrder"), std::string::npos);
}

TEST_F(EndToEnd, DriverChoicePicksTheNewerVersionAndTheInstallationUsesIt) {
  std::string report = Run(std::string(kCardLine) + "choose card\ninstall card\n");
  EXPECT_EQ(winsim::GetString(winsim::DriverKeyPath(kCardId), "DriverVersion"), "3.38.1146.0");
  EXPECT_EQ(winsim::GetString(winsim::DriverKeyPath(kCardId), "InfSection"), "ONL.PCI");
  // Both drivers match the device's hardware ID (rank 0); the co-installer raises both and elects
  // the newer one, listed second, with rank 0.
  EXPECT_NE(report.find("[0] 0x00000000 -> 0x00000001  ORVIK DAZA PCI ISDN adapter (driver 3.30)"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("[1] 0x00000000 -> 0x00000000  ORVIK DAZA PCI ISDN adapter "), std::string::npos);
  EXPECT_NE(report.find("Selected driver (chosen before): ORVIK DAZA PCI ISDN adapter\n"), std::string::npos);
}

TEST_F(EndToEnd, InstallSectionFlagsWriteTheirTypes) {
  Run(std::string(kCardLine) + "install card\n");
  const std::string driverKey = winsim::DriverKeyPath(kCardId);
  std::optional<winsim::RegValue> protocols = winsim::GetValue(driverKey, "Protocols");
  ASSERT_TRUE(protocols);
  EXPECT_EQ(protocols->type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(std::string(protocols->data.begin(), protocols->data.end()), std::string("DSS1\0"
                                                                                     "1TR6\0\0",
                                                                                     11));
  std::optional<winsim::RegValue> trace = winsim::GetValue(driverKey, "TraceFile");
  ASSERT_TRUE(trace);
  EXPECT_EQ(trace->type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(std::string(trace->data.begin(), trace->data.end()), std::string("%SystemRoot%\\onltrace.log\0", 26));
  std::optional<winsim::RegValue> options = winsim::GetValue(driverKey, "LinkOptions");
  ASSERT_TRUE(options);
  EXPECT_EQ(options->type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(options->data, (std::vector<BYTE>{0x01, 0x00, 0x0c, 0x00}));

  // No-clobber: a line type the user changed survives a reinstallation.
  winsim::SetString(driverKey, "LineType", "1TR6 only");
  Run(Use("card", kCardId) + "install card\n");
  EXPECT_EQ(winsim::GetString(driverKey, "LineType"), "1TR6 only");
  // The package's INF was put into the INF folder and the stale maker INF purged.
  EXPECT_TRUE(winsim::HasFile("C:\\WINDOWS\\inf\\oem0.inf"));
  EXPECT_FALSE(winsim::HasFile("C:\\WINDOWS\\inf\\oem3.inf"));
  EXPECT_TRUE(winsim::HasFile("C:\\WINDOWS\\inf\\oem2.inf")) << "another maker's INF stays";
}

TEST_F(EndToEnd, FailedInstallationGivesTheNumberBackAndLeavesTheBlock) {
  std::string report = Run(std::string(kCardLine) + "install card fail\n");
  EXPECT_NE(report.find("CoInstaller 1: Enter (Post Processing, InstallResult 0x00000002 ERROR_FILE_NOT_FOUND)"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("[Exit status: FAILURE(0x00000002 ERROR_FILE_NOT_FOUND)]"), std::string::npos);
  EXPECT_FALSE(winsim::KeyExists(Key(kCapiMaker))) << "the reserved number is released";
  EXPECT_FALSE(winsim::GetValue(CapiKey(kCardId), "Controller")) << "the value went with the number";
  EXPECT_FALSE(winsim::GetValue(CapiKey(kCardId), "ProductCode")) << "nothing of the install section ran";
  // The device was no adapter of the maker yet (no ProductCode), so the block and build number stay.
  EXPECT_EQ(Count(winsim::GetFile(kAutoexec).value_or(""), kCapiBlock), 1u);
  EXPECT_TRUE(winsim::KeyExists(Key(kProductCapi) + "\\BuildNumber"));
  EXPECT_TRUE(winsim::StartedProcesses().empty());
}

TEST_F(EndToEnd, DriverFromTheInfFolderIsPurgedBeforeTheInstallationReadsIt) {
  std::string report = Run(std::string(kCardLine) + "drivers inf\ninstall card\n");
  EXPECT_NE(report.find("Selected driver installs from section [ONL.PCI] in 'C:\\WINDOWS\\inf\\oem3.inf'"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("INF 'C:\\WINDOWS\\inf\\oem3.inf' cannot be opened: 0x00000002 ERROR_FILE_NOT_FOUND"),
            std::string::npos);
  EXPECT_FALSE(winsim::KeyExists(Key(kCapiMaker))) << "the failed installation gave its number back";
  EXPECT_FALSE(winsim::HasFile("C:\\WINDOWS\\inf\\oem3.inf"));
}

TEST_F(EndToEnd, FailureCodeOfTheScenarioReachesPostProcessing) {
  std::string report = Run(std::string(kCardLine) + "install card fail=0xE0000219\n");
  EXPECT_NE(report.find("InstallResult 0xE0000219 ERROR_NO_ASSOCIATED_SERVICE"), std::string::npos) << report;
}

TEST_F(EndToEnd, DeviceWithoutDriverIsRefusedWithAnEventAndItsText) {
  std::string report = Run("add odd hwid=PCI\\VEN_9999&DEV_0001\ninstall odd\n");
  EXPECT_NE(report.find("CoInstaller 1: Exit (0xE000022B ERROR_DI_DONT_INSTALL)"), std::string::npos) << report;
  EXPECT_EQ(report.find("Default installer: Enter", report.find("{DIF_INSTALLDEVICE}")), std::string::npos)
      << "a refused installation runs no default action";
  ASSERT_EQ(winsim::Events().size(), 1u);
  EXPECT_EQ(winsim::Events()[0].id, 2001u);
  EXPECT_NE(report.find("        SetupDiGetSelectedDriver failed.\n        Status code returned in data."),
            std::string::npos)
      << "the event's text comes from the module's message table";
  EXPECT_NE(report.find("= 0xE0000203 ERROR_NO_DRIVER_SELECTED"), std::string::npos);
  EXPECT_FALSE(winsim::KeyExists(Key(kCapiMaker)));
}

TEST_F(EndToEnd, AbsentDeviceMovesWhenANewOneNeedsItsNumber) {
  Run(std::string(kCardLine) + "install card\nabsent card\n");
  EXPECT_FALSE(winsim::IsDevicePresent(kCardId));
  Run(std::string(kBoxLine) + "install box\n");
  EXPECT_EQ(winsim::GetDword(CapiKey(kBoxId), "Controller"), 0u) << "the new device takes number 1";
  EXPECT_EQ(winsim::GetDword(CapiKey(kCardId), "Controller"), 1u) << "the absent card moved to number 2";
  EXPECT_EQ(winsim::GetDword(Key(kCapiMaker) + "\\2", "Channels"), 2u) << "its controller values moved with it";

  Run(Use("card", kCardId) + "present card\n");
  EXPECT_TRUE(winsim::IsDevicePresent(kCardId));
}

TEST_F(EndToEnd, NumberingCheckNamesWhatIsBrokenAndTheNextInstallationRepairsIt) {
  Run(std::string(kCardLine) + kBoxLine + "add x hwid=PCI\\VEN_1A2B&DEV_0100 id=ROOT\\ORVIK\\0001\n" +
      "install card\ninstall box\ninstall x\n");
  // Broken as earlier versions and hand edits left machines: the box on the card's number 1, x's
  // key 3 gone, keys 2 and 7 held by nobody, a count of 9, and a second key for the maker.
  winsim::SetDword(CapiKey(kBoxId), "Controller", 0);
  winsim::DeleteTree(Key(kCapiMaker) + "\\3");
  winsim::CreateKey(Key(kCapiMaker) + "\\7");
  winsim::SetDword(Key(kCapiMaker), "NumberOfControllers", 9);
  winsim::SetString(Key("SOFTWARE\\CAPI20\\2"), "Manufacturer", "orvik ag");
  using devsim::NumberingFault;
  auto faults = [] {
    std::vector<NumberingFault> found;
    for (const devsim::NumberingProblem &problem : devsim::CheckNumbering(kMakerClass))
      found.push_back(problem.fault);
    return found;
  };
  EXPECT_EQ(faults(),
            (std::vector<NumberingFault>{NumberingFault::SecondMakerKey, NumberingFault::SharedNumber,
                                         NumberingFault::NumberWithoutKey, NumberingFault::KeyHeldByNobody,
                                         NumberingFault::KeyHeldByNobody, NumberingFault::CountMismatch}));
  std::ostringstream report;
  devsim::Simulator(report, devsim::DispatchOptions{}).ReportEndState();
  EXPECT_NE(report.str().find("  Numbering check: 6 problems\n    - manufacturer keys SOFTWARE\\CAPI20\\1 and "
                              "SOFTWARE\\CAPI20\\2 both name \"ORVIK AG\""),
            std::string::npos)
      << report.str();
  EXPECT_NE(report.str().find("    - ROOT\\ORVIK\\0001 stores CAPI controller 3, which has no key under "
                              "SOFTWARE\\CAPI20\\1\n"),
            std::string::npos);
  EXPECT_NE(
      report.str().find("    - NumberOfControllers of SOFTWARE\\CAPI20\\1 is 9, but it has 3 controller keys"),
      std::string::npos);

  // The co-installer leaves another key for the maker alone; the rest is repaired.
  Run("use x id=ROOT\\ORVIK\\0001\ninstall x\n");
  EXPECT_EQ(faults(), std::vector<NumberingFault>{NumberingFault::SecondMakerKey});
}

TEST_F(EndToEnd, MonitorsThatRefuseHangOrPostStrayMessagesDoNotStopTheRemoval) {
  Run(std::string(kCardLine) + "install card\nmonitor frozen answer=hang\nmonitor chatty stray\n" +
      "monitor stubborn quit=refuse delay=100\n");
  std::string report = Run(Use("card", kCardId) + "remove card\n");
  EXPECT_NE(report.find("2000 ms  module -> frozen  ORVIK.Quit QuitQuery  (sent; timed out after 2000 ms)"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("chatty -> module  WM_USER  (posted)"), std::string::npos);
  EXPECT_NE(report.find("2100 ms  stubborn -> module  ORVIK.Quit QuitRefused"), std::string::npos);
  EXPECT_FALSE(winsim::GetValue(Key(kRunKey), "ONLMonitor"));
  EXPECT_FALSE(winsim::KeyExists(Key(kCapiMaker)));
}

TEST_F(EndToEnd, EachStepReportsOnlyItsOwnChanges) {
  std::string report = Run(std::string(kCardLine) + "install card\nabsent card\n");
  size_t absentStep = report.find("): absent card ====");
  ASSERT_NE(absentStep, std::string::npos);
  std::string absentReport = report.substr(absentStep);
  EXPECT_NE(absentReport.find("[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\PCI\\VEN_1A2B&DEV_0100\\4&"
                              "1F2E3D4C&0&40\\Control]"),
            std::string::npos)
      << absentReport;
  EXPECT_EQ(absentReport.find("CAPI20"), std::string::npos);
  EXPECT_EQ(absentReport.find("Started programs"), std::string::npos);
}

TEST_F(EndToEnd, ScenarioThatDoesNotFitTheMachineNamesItsLine) {
  try {
    Run("use ghost id=ROOT\\NOWHERE\\0000\n");
    FAIL() << "a device the machine does not have is an input error";
  } catch (const devsim::InputError &error) {
    EXPECT_EQ(error.file(), "test.scn");
    EXPECT_EQ(error.line(), 2);  // after the "drivers" line the fixture puts first
  }
  EXPECT_THROW(Run("add x hwid=A class=NOSUCHCLASS\n"), devsim::InputError);
  EXPECT_THROW(Run(std::string(kCardLine) + "add again hwid=B id=" + kCardId + "\n"), devsim::InputError);
}

}  // namespace
