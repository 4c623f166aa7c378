// The program as users run it: the default job, exit statuses and messages for bad input, nothing
// saved after an error, and machines loaded from and saved to .reg files and folders, including the
// UTF-16 form regedit writes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli.h"
#include "machine.h"

namespace {

namespace fs = std::filesystem;

struct Result {
  int status;
  std::string out, err;
};

Result Main(const std::vector<std::string> &args) {
  std::ostringstream out, err;
  int status = devsim::Main(args, out, err);
  return Result{status, out.str(), err.str()};
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "devsim-cli-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string Write(const std::string &name, const std::string &content) {
    std::string path = dir_ + "/" + name;
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  static std::string Read(const std::string &path) { return devsim::ReadHostFile(path); }

  std::string dir_;
};

constexpr const char *kCardId = "PCI\\VEN_1A2B&DEV_0100\\4&1F2E3D4C&0&40";

TEST_F(Cli, DefaultJobRunsEveryStepOfTheEmbeddedScenario) {
  Result result = Main({});
  ASSERT_EQ(result.status, devsim::kExitOk) << result.err;
  EXPECT_EQ(result.err, "");
  // Two installations, a choice, two removals; the last one asks the monitor to quit.
  EXPECT_NE(result.out.find("==== Step 9 ((embedded) default.scn:"), std::string::npos);
  size_t sections = 0;
  for (size_t at = result.out.find("<<<  [Exit status: SUCCESS]"); at != std::string::npos;
       at = result.out.find("<<<  [Exit status: SUCCESS]", at + 1)) {
    ++sections;
  }
  EXPECT_EQ(sections, 5u) << result.out;
  EXPECT_NE(result.out.find("QuitDone"), std::string::npos);
  EXPECT_NE(result.out.find("  Devices of setup class ORVIK {6D2A8F41-0C5B-4E7A-9B33-52E1F0A4C7D8}:\n    (none)"),
            std::string::npos);
}

TEST_F(Cli, MalformedScenarioStopsBeforeAnythingRunsOrIsSaved) {
  std::string scenario = Write("bad.scn", "drivers inf\nadd card hwid=X\ninstall card fail=maybe\n");
  std::string saved = dir_ + "/end.reg";
  Result result = Main({"--scenario", scenario, "--save", saved});
  EXPECT_EQ(result.status, devsim::kExitInputError);
  EXPECT_NE(result.err.find(scenario + ":3: option 'fail': 'maybe' is not a number"), std::string::npos)
      << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_FALSE(fs::exists(saved));
}

TEST_F(Cli, ErrorDuringTheRunSavesNothing) {
  // The machine has no driver folder C:\Nowhere; the run stops at that line.
  std::string scenario = Write("run.scn", "add card hwid=X\ndrivers C:\\Nowhere\ninstall card\n");
  std::string saved = dir_ + "/end.reg";
  std::string files = dir_ + "/end-files";
  Result result = Main({"--scenario=" + scenario, "--save=" + saved, "--save-files", files});
  EXPECT_EQ(result.status, devsim::kExitInputError);
  EXPECT_NE(result.err.find(scenario + ":2: driver source 'C:\\Nowhere' is not on the machine"), std::string::npos)
      << result.err;
  EXPECT_FALSE(fs::exists(saved));
  EXPECT_FALSE(fs::exists(files));
  for (const auto &entry : fs::directory_iterator(dir_)) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos)
        << "left behind: " << entry.path();
  }
}

TEST_F(Cli, CommandLineErrorsAndUnusableOutputsAreRefused) {
  EXPECT_EQ(Main({"--frobnicate"}).status, devsim::kExitUsage);
  EXPECT_EQ(Main({"--scenario"}).status, devsim::kExitUsage);
  EXPECT_EQ(Main({"--trace=yes"}).status, devsim::kExitUsage);
  EXPECT_EQ(Main({"--save", "a.reg", "--save", "b.reg"}).status, devsim::kExitUsage);

  Write("occupied/file", "x");
  Result occupied = Main({"--save-files", dir_ + "/occupied"});
  EXPECT_EQ(occupied.status, devsim::kExitInputError);
  EXPECT_NE(occupied.err.find("not an empty folder"), std::string::npos);
  EXPECT_EQ(occupied.out, "") << "checked before the run";
  EXPECT_EQ(Main({"--machine", dir_ + "/missing.reg"}).status, devsim::kExitInputError);
  EXPECT_EQ(Main({"--save", dir_ + "/no/such/folder/x.reg"}).status, devsim::kExitInputError);
}

TEST_F(Cli, SavedMachineLoadsAgainAndGoesOnFromWhereItStood) {
  std::string install =
      Write("install.scn",
            std::string("drivers C:\\Drivers\\ORVIK\\onlisdn.inf\nadd card hwid=PCI\\VEN_1A2B&DEV_0100 id=") +
                kCardId + "\ninstall card\n");
  std::string reg = dir_ + "/state.reg";
  std::string files = dir_ + "/state-files";
  Result first = Main({"--scenario", install, "--save", reg, "--save-files", files});
  ASSERT_EQ(first.status, devsim::kExitOk) << first.err;
  EXPECT_NE(Read(reg).find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\CAPI20\\1\\1]"), std::string::npos);
  EXPECT_TRUE(fs::exists(files + "/WINDOWS/inf/oem0.inf"));

  std::string remove = Write("remove.scn", std::string("use card id=") + kCardId + "\nremove card\n");
  std::string reg2 = dir_ + "/after.reg";
  Result second = Main({"--machine", reg, "--files", files, "--scenario", remove, "--save", reg2});
  ASSERT_EQ(second.status, devsim::kExitOk) << second.err;
  const std::string after = Read(reg2);
  EXPECT_EQ(after.find("CAPI20\\1"), std::string::npos) << "the number was given back";
  EXPECT_EQ(after.find("\"ONLMonitor\""), std::string::npos) << "the last adapter took the product with it";
  EXPECT_NE(after.find("\"MotherInLaw\""), std::string::npos);
  EXPECT_NE(Read(files + "/WINDOWS/system32/autoexec.nt").find("capidos"), std::string::npos)
      << "the loaded folder itself is not changed";
}

// The text in regedit's default form: "Windows Registry Editor Version 5.00", UTF-16LE with a
// byte-order mark, and hex(2)/hex(7) data as UTF-16LE bytes.
std::string AsRegedit5(const std::string &regedit4) {
  std::string text;
  std::istringstream lines(regedit4);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "REGEDIT4") line = "Windows Registry Editor Version 5.00";
    for (const char *prefix : {"=hex(2):", "=hex(7):"}) {
      size_t at = line.find(prefix);
      if (at == std::string::npos || line.back() == '\\') continue;
      std::string widened = line.substr(0, at + 8);
      std::istringstream bytes(line.substr(at + 8));
      std::string item;
      bool first = true;
      while (std::getline(bytes, item, ',')) {
        widened += (first ? "" : ",") + item + ",00";
        first = false;
      }
      line = widened;
    }
    text += line + "\r\n";
  }
  std::string utf16 = "\xFF\xFE";
  for (unsigned char c : text) {
    utf16 += static_cast<char>(c);
    utf16 += '\0';
  }
  return utf16;
}

TEST_F(Cli, CustomerMachineInRegeditsUnicodeFormShowsWhatARemovalDoes) {
  // A customer's machine: the embedded one with one installed card, exported by regedit.
  const std::string customer =
      devsim::EmbeddedRegistry() +
      "\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\PCI\\VEN_1A2B&DEV_0100\\4&1F2E3D4C&0&40]\n"
      "\"ClassGUID\"=\"{6D2A8F41-0C5B-4E7A-9B33-52E1F0A4C7D8}\"\n"
      "\"HardwareID\"=hex(7):50,43,49,5c,56,45,4e,00,00\n"
      "\"Driver\"=\"{6D2A8F41-0C5B-4E7A-9B33-52E1F0A4C7D8}\\\\0000\"\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\PCI\\VEN_1A2B&DEV_0100\\4&1F2E3D4C&0&40\\Control]\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{6D2A8F41-0C5B-4E7A-9B33-52E1F0A4C7D8}"
      "\\0000\\VendorSpecific\\CAPI]\n"
      "\"ProductCode\"=dword:00000001\n\"Controller\"=dword:00000000\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\CAPI20\\1]\n"
      "\"Manufacturer\"=\"ORVIK AG\"\n\"NumberOfControllers\"=dword:00000001\n\"DeviceName\"=\"CAPI201\"\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\CAPI20\\1\\1]\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run]\n"
      "\"ONLMonitor\"=\"C:\\\\Program Files\\\\ORVIK\\\\DAZA Zodar\\\\onlmon.exe\"\n";
  std::string machine = Write("customer.reg", AsRegedit5(customer));
  std::string scenario = Write("remove.scn", std::string("use card id=") + kCardId + "\nremove card\n");
  std::string saved = dir_ + "/after.reg";

  Result result = Main({"--machine", machine, "--scenario", scenario, "--save", saved});
  ASSERT_EQ(result.status, devsim::kExitOk) << result.err;
  // The co-installer was found through the hex(7) class registration and released the number.
  EXPECT_NE(result.out.find("CoInstaller 1 (class, onlcoin.dll,DeviceCoInstallerFunc): Enter"), std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("==== Numbering of the loaded machine ====\n  Numbering check: consistent"),
            std::string::npos);
  EXPECT_NE(result.out.find("[-HKEY_LOCAL_MACHINE\\SOFTWARE\\CAPI20\\1]"), std::string::npos);
  EXPECT_NE(result.out.find("\"ONLMonitor\"=-"), std::string::npos);
  EXPECT_EQ(Read(saved).find("ONLMonitor"), std::string::npos);
}

TEST_F(Cli, PrintScenarioShowsTheEmbeddedOne) {
  Result result = Main({"--print-scenario"});
  EXPECT_EQ(result.status, devsim::kExitOk);
  EXPECT_EQ(result.out, devsim::EmbeddedScenario());
}

}  // namespace
