// The simulator's jobs from end to end on its embedded default machine: what each step does to the
// machine and what its report shows, for a driver choice and installation, failed installations,
// unplugged devices and monitor applications that answer the quit message in every way (the
// default job's restart and removals: cli_tests.cpp).
#include <gtest/gtest.h>

#include "devsim_fixture.h"
#include "input_error.h"
#include "numbering_check.h"

namespace {

constexpr const char *kCapiMaker = "SOFTWARE\\CAPI20\\1";
constexpr const char *kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

bool Has(const std::string &report, const std::string &part) {
  return report.find(part) != std::string::npos;
}

class EndToEnd : public DevsimTest {
 protected:
  std::string Use(const char *name, const char *id) { return std::string("use ") + name + " id=" + id + "\n"; }
};

TEST_F(EndToEnd, DriverChoicePicksTheNewerVersionAndTheInstallationRunsItsSection) {
  std::string report = Run(std::string(kCardLine) + "choose card\ninstall card\n");
  // Both drivers match the hardware ID (rank 0); the co-installer raises both and elects the newer
  // one, listed second, with rank 0.
  EXPECT_TRUE(Has(report, "[0] 0x00000000 -> 0x00000001  ORVIK DAZA PCI ISDN adapter (driver 3.30)")) << report;
  EXPECT_TRUE(Has(report, "[1] 0x00000000 -> 0x00000000  ORVIK DAZA PCI ISDN adapter "));
  EXPECT_TRUE(Has(report, "Selected driver (chosen before): ORVIK DAZA PCI ISDN adapter\n"));
  const std::string driverKey = winsim::DriverKeyPath(kCardId);
  EXPECT_EQ(winsim::GetString(driverKey, "DriverVersion"), "3.38.1146.0");
  EXPECT_EQ(winsim::GetString(driverKey, "InfSection"), "ONL.PCI");
  EXPECT_EQ(winsim::GetString(CapiKey(kCardId), "CardType"), "pci/bri");
  // The AddReg lines' flags give their types.
  for (const char *shown :
       {"\"Protocols\"=hex(7):44,53,53,31,00,31,54,52,36,00,00\n    ; REG_MULTI_SZ: \"DSS1\", \"1TR6\"",
        "; REG_EXPAND_SZ: \"%SystemRoot%\\onltrace.log\"", "\"LinkOptions\"=hex:01,00,0c,00"})
    EXPECT_TRUE(Has(report, shown)) << shown;
  // No-clobber: a line type the user changed survives a reinstallation. The package's INF went
  // into the INF folder and the stale maker INF was purged; another maker's INF stays.
  winsim::SetString(driverKey, "LineType", "1TR6 only");
  Run(Use("card", kCardId) + "install card\n");
  EXPECT_EQ(winsim::GetString(driverKey, "LineType"), "1TR6 only");
  EXPECT_TRUE(winsim::HasFile("C:\\WINDOWS\\inf\\oem0.inf"));
  EXPECT_FALSE(winsim::HasFile("C:\\WINDOWS\\inf\\oem3.inf"));
  EXPECT_TRUE(winsim::HasFile("C:\\WINDOWS\\inf\\oem2.inf"));
}

TEST_F(EndToEnd, FailedInstallationsReachPostProcessingWithTheirCodeAndGiveTheNumberBack) {
  struct Case {
    std::string steps;
    const char *shown[2];
  };
  const std::string card = Use("card", kCardId);
  const Case cases[] = {
      // A driver chosen from the INF folder is purged before the installation reads it.
      {std::string(kCardLine) + "drivers inf\ninstall card\n",
       {"Selected driver installs from section [ONL.PCI] in 'C:\\WINDOWS\\inf\\oem3.inf'",
        "INF 'C:\\WINDOWS\\inf\\oem3.inf' cannot be opened: 0x00000002 ERROR_FILE_NOT_FOUND"}},
      {card + "install card fail\n",
       {"CoInstaller 1: Enter (Post Processing, InstallResult 0x00000002 ERROR_FILE_NOT_FOUND)",
        "[Exit status: FAILURE(0x00000002 ERROR_FILE_NOT_FOUND)]"}},
      {card + "install card fail=0xE0000219\n",
       {"InstallResult 0xE0000219 ERROR_NO_ASSOCIATED_SERVICE", "FAILURE"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.steps);
    const std::string report = Run(c.steps);
    for (const char *shown : c.shown) EXPECT_TRUE(Has(report, shown)) << shown << " in\n" << report;
    EXPECT_FALSE(winsim::KeyExists(Key(kCapiMaker))) << "the reserved number is released";
    EXPECT_FALSE(winsim::GetValue(CapiKey(kCardId), "Controller")) << "the value went with the number";
    EXPECT_FALSE(winsim::GetValue(CapiKey(kCardId), "ProductCode")) << "nothing of the install section ran";
  }
  EXPECT_TRUE(winsim::StartedProcesses().empty());
}

TEST_F(EndToEnd, DeviceWithoutDriverIsRefusedWithAnEventAndItsText) {
  std::string report = Run("add odd hwid=PCI\\VEN_9999&DEV_0001\ninstall odd\n");
  EXPECT_TRUE(Has(report, "CoInstaller 1: Exit (0xE000022B ERROR_DI_DONT_INSTALL)")) << report;
  EXPECT_FALSE(Has(report.substr(report.find("{DIF_INSTALLDEVICE}")), "Default installer: Enter"))
      << "a refused installation runs no default action";
  EXPECT_TRUE(Has(report, "        SetupDiGetSelectedDriver failed.\n        Status code returned in data."))
      << "the event's text comes from the module's message table";
  EXPECT_TRUE(Has(report, "= 0xE0000203 ERROR_NO_DRIVER_SELECTED"));
}

TEST_F(EndToEnd, StepsReportOnlyTheirOwnChangesAndAnAbsentDevicesNumberMoves) {
  std::string report = Run(std::string(kCardLine) + "install card\nabsent card\n");
  const std::string absentStep = report.substr(report.find("): absent card ===="));
  EXPECT_TRUE(Has(absentStep,
                  std::string("[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\") + kCardId + "\\Control]"))
      << absentStep;
  EXPECT_FALSE(Has(absentStep, "CAPI20"));
  EXPECT_FALSE(Has(absentStep, "Started programs"));

  Run(std::string(kBoxLine) + "install box\n");
  EXPECT_EQ(winsim::GetDword(CapiKey(kBoxId), "Controller"), 0u) << "the new device takes number 1";
  EXPECT_EQ(winsim::GetDword(CapiKey(kCardId), "Controller"), 1u) << "the absent card moved to number 2";
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
  EXPECT_TRUE(Has(report, "2000 ms  module -> frozen  ORVIK.Quit QuitQuery  (sent; timed out after 2000 ms)"))
      << report;
  EXPECT_TRUE(Has(report, "chatty -> module  WM_USER  (posted)"));
  EXPECT_TRUE(Has(report, "2100 ms  stubborn -> module  ORVIK.Quit QuitRefused"));
  EXPECT_FALSE(winsim::GetValue(Key(kRunKey), "ONLMonitor"));
}

TEST_F(EndToEnd, ScenarioThatDoesNotFitTheMachineNamesItsLine) {
  // The fixture puts a "drivers" line first.
  const std::pair<std::string, int> steps[] = {
      {"use ghost id=ROOT\\NOWHERE\\0000\n", 2},
      {"add x hwid=A class=NOSUCHCLASS\n", 2},
      {std::string(kCardLine) + "add again hwid=B id=" + kCardId + "\n", 3}};
  for (const auto &[text, line] : steps) {
    try {
      Run(text);
      ADD_FAILURE() << text << " is no input error";
    } catch (const devsim::InputError &error) {
      EXPECT_EQ(error.file() + ":" + std::to_string(error.line()), "test.scn:" + std::to_string(line)) << text;
    }
  }
}

}  // namespace
