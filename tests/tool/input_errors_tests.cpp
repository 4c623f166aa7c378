// Input the simulator cannot use is reported with its file and line before anything half-done is
// left: malformed scenarios (found before any step runs), malformed INF lines (found when the
// installation reads them), and malformed machine files.
#include <gtest/gtest.h>

#include "devsim_fixture.h"
#include "input_error.h"

namespace {

using devsim::InputError;
using devsim::ParseScenario;

// The line of the error a scenario gives, or 0 when it parses.
int ErrorLine(const std::string &text, std::string *message = nullptr) {
  try {
    ParseScenario(text, "jobs.scn");
  } catch (const InputError &error) {
    EXPECT_EQ(error.file(), "jobs.scn");
    if (message) *message = error.what();
    return error.line();
  }
  return 0;
}

TEST(ScenarioParser, ReadsEveryCommandWithItsOptions) {
  devsim::Scenario scenario = ParseScenario(
      "# comment line\n"
      "drivers C:\\Drivers\\ORVIK\n"
      "add card hwid=PCI\\VEN_1A2B&DEV_0100,PCI\\VEN_1A2B compat=PCI\\CC_0204 absent desc=\"ISDN card\"  # note\n"
      "use old id=ROOT\\ORVIK\\0003\n"
      "install card fail=ERROR_ACCESS_DENIED\n"
      "install old fail\n"
      "monitor mon answer=post quit=silent delay=250 vanish=9000 stays\n"
      "monitor frozen answer=hang hang=9000 stray\n",
      "jobs.scn");
  ASSERT_EQ(scenario.steps.size(), 7u);
  const devsim::Step &add = scenario.steps[1];
  EXPECT_EQ(add.line, 3);
  EXPECT_EQ(add.hardwareIds, (std::vector<std::string>{"PCI\\VEN_1A2B&DEV_0100", "PCI\\VEN_1A2B"}));
  EXPECT_EQ(add.compatibleIds, (std::vector<std::string>{"PCI\\CC_0204"}));
  EXPECT_FALSE(add.present);
  EXPECT_EQ(add.description, "ISDN card");
  EXPECT_EQ(scenario.steps[2].instanceId, "ROOT\\ORVIK\\0003");
  EXPECT_EQ(scenario.steps[3].failure, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(scenario.steps[4].failure, devsim::kDefaultInstallFailure);
  // answer=post quit=silent vanish=9000 stays; answer=hang hang=9000 stray.
  const winsim::QuitListener &monitor = scenario.steps[5].listener, &frozen = scenario.steps[6].listener;
  EXPECT_TRUE(monitor.onQuery.size() == 1 && !monitor.onQuery[0].bySend && monitor.onOrder.empty());
  EXPECT_TRUE(monitor.vanishAtMs == 9000 && !monitor.exitsAfterOrder);
  EXPECT_TRUE(frozen.hangAtMs == 0 && frozen.hangForMs == 9000u) << "from the step on";
  // Once it handles messages again it answers at once, and posts the stray thread message.
  EXPECT_TRUE(frozen.onQuery.size() == 2 && frozen.onQuery[0].bySend && frozen.onQuery[1].toThread);
}

TEST(ScenarioParser, MalformedLinesAreNamedByLine) {
  EXPECT_EQ(ErrorLine("drivers inf\n\ninstal x\n"), 3);
  EXPECT_EQ(ErrorLine("add card id=ROOT\\X\\0\n"), 1) << "hwid= is required";
  EXPECT_EQ(ErrorLine("install card\n"), 1) << "an unknown device";
  EXPECT_EQ(ErrorLine("add a hwid=X\nadd a hwid=Y\n"), 2) << "a name defined twice";
  EXPECT_EQ(ErrorLine("add a hwid=X hwid=Y\n"), 1) << "an option given twice";
  EXPECT_EQ(ErrorLine("add a hwid=X,,Y\n"), 1) << "an empty ID";
  EXPECT_EQ(ErrorLine("add a hwid=X present absent\n"), 1);
  EXPECT_EQ(ErrorLine("add a hwid=X\nremove a now\n"), 2) << "an option the command does not have";
  EXPECT_EQ(ErrorLine("add a hwid=X\ninstall a fail=0\n"), 2) << "success is no failure";
  EXPECT_EQ(ErrorLine("add a hwid=X\ninstall a fail=0x1FFFFFFFF\n"), 2);
  EXPECT_EQ(ErrorLine("add a hwid=X\ninstall a fail=NO_SUCH_NAME\n"), 2);
  EXPECT_EQ(ErrorLine("monitor m answer=shout\n"), 1);
  EXPECT_EQ(ErrorLine("monitor m delay=-5\n"), 1);
  EXPECT_EQ(ErrorLine("monitor m hang=500\n"), 1) << "hang= without answer=hang";
  EXPECT_EQ(ErrorLine("monitor m\nmonitor m\n"), 2);
  EXPECT_EQ(ErrorLine("monitor m\nrestart\nmonitor m\nrestart now\n"), 4) << "a restart frees monitor names";
  EXPECT_EQ(ErrorLine("add a hwid=\"X\n"), 1) << "an open quote";
  EXPECT_EQ(ErrorLine("drivers\n"), 1);
  EXPECT_EQ(ErrorLine("add bad/name hwid=X\n"), 1);

  std::string message;
  EXPECT_EQ(ErrorLine("drivers inf\nremove ghost\n", &message), 2);
  EXPECT_EQ(message, "jobs.scn:2: device 'ghost' is not defined (use 'add' or 'use' first)");
}

class InfErrors : public DevsimTest {
 protected:
  static constexpr const char *kBadInf = "C:\\Drivers\\Bad\\bad.inf";

  // A package for the box whose install section's AddReg section is `addReg` (lines after the
  // section header, which stands on line 14).
  void WritePackage(const std::string &addReg) {
    winsim::PutFile(kBadInf,
                    "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\nClass=ORVIK\r\n"
                    "ClassGuid={6D2A8F41-0C5B-4E7A-9B33-52E1F0A4C7D8}\r\nProvider=Test\r\n\r\n"
                    "[Manufacturer]\r\nTest=Models\r\n\r\n[Models]\r\nBox=Box.Install, ORVIK\\EXT_LPT\r\n"
                    "[Box.Install]\r\nAddReg=Box.AddReg\r\n[Box.AddReg]\r\n" +
                        addReg);
  }

  // Runs an installation of the box from the bad package; returns the error's line, 0 if none.
  int InstallLine(std::string *message = nullptr) {
    try {
      std::ostringstream out;
      devsim::Simulator simulator(out, devsim::DispatchOptions{});
      // The box is added once; later installations in the same test name it again.
      const std::string device = winsim::KeyExists(Key("SYSTEM\\CurrentControlSet\\Enum\\") + kBoxId)
                                     ? std::string("use box id=") + kBoxId + "\n"
                                     : std::string(kBoxLine);
      simulator.Run(
          devsim::ParseScenario(std::string("drivers ") + kBadInf + "\n" + device + "install box\n", "t"));
    } catch (const InputError &error) {
      EXPECT_EQ(error.file(), kBadInf);
      if (message) *message = error.what();
      return error.line();
    }
    return 0;
  }
};

TEST_F(InfErrors, LinesThatCannotBeReadAreNamedByFileAndLine) {
  const std::pair<std::string, int> addRegs[] = {
      {"HKR,,Good,0x00010001,1\r\n; a comment\r\nHKXX,,Bad,0x00010001,1\r\n", 17},
      {"HKR,,Flags,0xZZ,1\r\n", 15},
      {"HKR,,Count,0x00010001,lots\r\n", 15},
      {"HKR,,Blob,1,01,2G\r\n", 15},
      {"HKR,,Kind,0x00030000,x\r\n", 15},                            // a string type the INF syntax does not have
      {"HKR,,First,,\\\r\n  \"one\"\r\nHKQQ,,Second,,two\r\n", 17},  // a continued line counts at its start
  };
  for (const auto &[addReg, line] : addRegs) {
    WritePackage(addReg);
    EXPECT_EQ(InstallLine(), line) << addReg;
  }
  std::string message;
  WritePackage("HKXX,,Bad,0x00010001,1\r\n");
  InstallLine(&message);
  EXPECT_NE(message.find("[Box.AddReg]: unknown registry root 'HKXX'"), std::string::npos) << message;

  std::string inf = winsim::GetFile(kBadInf).value();
  winsim::PutFile(kBadInf, inf.replace(inf.find("AddReg=Box.AddReg"), 17, "AddReg=Box.Missing"));
  EXPECT_EQ(InstallLine(&message), 13) << "the directive that names the missing section";
  EXPECT_NE(message.find("names section [Box.Missing], which is not there"), std::string::npos) << message;

  // A file that is no INF at all is reported before the co-installer is ever called.
  winsim::PutFile(kBadInf, "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\n[Broken\r\n");
  EXPECT_GT(InstallLine(&message), 0) << message;
  EXPECT_NE(message.find("cannot be read as an INF file"), std::string::npos) << message;
  EXPECT_TRUE(winsim::Events().empty());
}

TEST_F(InfErrors, MachineFileErrorsNameTheLoadersLine) {
  try {
    devsim::ApplyRegText("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n\"v\"=dword:xyz\r\n",
                         "customer.reg");
    FAIL() << "a malformed value is an error";
  } catch (const InputError &error) {
    EXPECT_EQ(error.file(), "customer.reg");
    EXPECT_EQ(error.line(), 4);
  }
  EXPECT_FALSE(winsim::KeyExists("HKEY_LOCAL_MACHINE\\SOFTWARE\\X")) << "a malformed file changes nothing";
}

}  // namespace
