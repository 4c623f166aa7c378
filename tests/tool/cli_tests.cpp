// The program as users run it: the default job, exit statuses and messages for bad input with
// nothing saved, and machines saved to and loaded from .reg files and folders, including the
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

size_t Count(const std::string &text, const std::string &part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

constexpr const char *kCardId = "PCI\\VEN_1A2B&DEV_0100\\4&1F2E3D4C&0&40";

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

// The part of a report about step `n`.
std::string Step(const std::string &report, int n) {
  const size_t start = report.find("==== Step " + std::to_string(n) + " ");
  return start == std::string::npos ? "<no step " + std::to_string(n) + ">"
                                    : report.substr(start, report.find("\n==== ", start) - start);
}

// The embedded job: a card installed after a driver choice, a monitor running, a box on the
// parallel port installed, a restart, then both removed.
TEST_F(Cli, DefaultJobReportsEveryStepOfTheEmbeddedScenario) {
  Result result = Main({});
  ASSERT_EQ(result.status, devsim::kExitOk) << result.err;
  EXPECT_EQ(result.err, "");
  std::istringstream scenario(devsim::EmbeddedScenario());
  size_t steps = 0;
  for (std::string line; std::getline(scenario, line);) steps += !line.empty() && line[0] != '#';
  EXPECT_EQ(Count(result.out, "==== Step "), steps);
  EXPECT_EQ(Count(result.out, "<<<  [Exit status: SUCCESS]"), 5u) << "two installations, a choice, two removals";
  // Nothing the installations wrote is volatile; the Run key starts the monitor at logon.
  for (const char *shown : {"--- Registry changes ---\n    (none)", "Device 'card' PCI\\VEN_1A2B&DEV_0100",
                            "command line \"C:\\Program Files\\ORVIK\\DAZA Zodar\\onlmon.exe\""})
    EXPECT_NE(Step(result.out, 8).find(shown), std::string::npos) << shown << " in\n" << Step(result.out, 8);
  // Only the last removal asks the monitor to quit and takes the product set-up away.
  EXPECT_EQ(Step(result.out, 10).find("Quit exchange"), std::string::npos) << Step(result.out, 10);
  EXPECT_EQ(Step(result.out, 10).find("ONLMonitor"), std::string::npos);
  for (const char *shown : {"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\CAPI20\\1]", "\"ONLMonitor\"=-",
                            "-REM Install CAPI support", "UnloadPerfCounterTextStringsA(\"unlodctr onlbase\"",
                            "module -> broadcast  ORVIK.Quit QuitOrder", "onlmon -> module  ORVIK.Quit QuitDone"})
    EXPECT_NE(Step(result.out, 11).find(shown), std::string::npos) << shown << " in\n" << Step(result.out, 11);
  EXPECT_NE(result.out.find("  Devices of setup class ORVIK {6D2A8F41-0C5B-4E7A-9B33-52E1F0A4C7D8}:\n    (none)"),
            std::string::npos);
  EXPECT_EQ(Main({"--print-scenario"}).out, devsim::EmbeddedScenario());
}

TEST_F(Cli, BadInputIsRefusedWithItsStatusAndMessageAndNothingIsSaved) {
  Write("occupied/file", "x");
  const std::string saved = dir_ + "/end.reg", files = dir_ + "/end-files";
  const std::string bad = Write("bad.scn", "drivers inf\nadd card hwid=X\ninstall card fail=maybe\n");
  // The machine has no driver folder C:\Nowhere: the run stops at that line.
  const std::string stops = Write("run.scn", "add card hwid=X\ndrivers C:\\Nowhere\ninstall card\n");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;
    bool reports;  // whether steps ran before the error
  };
  // clang-format off
  const Case cases[] = {
      {{"--frobnicate"}, devsim::kExitUsage, "unknown option '--frobnicate'", false},
      {{"--scenario"}, devsim::kExitUsage, "--scenario needs a value", false},
      {{"--trace=yes"}, devsim::kExitUsage, "--trace takes no value", false},
      {{"--save", saved, "--save", saved}, devsim::kExitUsage, "--save is given twice", false},
      {{"--scenario", bad, "--save", saved}, devsim::kExitInputError,
       bad + ":3: option 'fail': 'maybe' is not a number", false},
      {{"--scenario=" + stops, "--save=" + saved, "--save-files", files}, devsim::kExitInputError,
       stops + ":2: driver source 'C:\\Nowhere' is not on the machine", true},
      {{"--save-files", dir_ + "/occupied"}, devsim::kExitInputError, "not an empty folder", false},
      {{"--machine", dir_ + "/missing.reg"}, devsim::kExitInputError, "missing.reg: cannot be read", false},
      {{"--save", dir_ + "/no/such/folder/x.reg"}, devsim::kExitInputError, "its folder does not exist", false},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args[0]);
    Result result = Main(c.args);
    EXPECT_EQ(result.status, c.status);
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_EQ(result.out.empty(), !c.reports) << result.out;
  }
  EXPECT_FALSE(fs::exists(saved));
  EXPECT_FALSE(fs::exists(files));
  for (const auto &entry : fs::directory_iterator(dir_))
    EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
}

TEST_F(Cli, SavedMachineLoadsAgainAndGoesOnFromWhereItStood) {
  std::string install =
      Write("install.scn", std::string("drivers C:\\Drivers\\ORVIK\\onlisdn.inf\n") +
                               "add card hwid=PCI\\VEN_1A2B&DEV_0100 id=" + kCardId + "\ninstall card\n");
  std::string reg = dir_ + "/state.reg", files = dir_ + "/state-files", after = dir_ + "/after.reg";
  Result first = Main({"--scenario", install, "--save", reg, "--save-files", files});
  ASSERT_EQ(first.status, devsim::kExitOk) << first.err;
  EXPECT_NE(Read(reg).find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\CAPI20\\1\\1]"), std::string::npos);
  EXPECT_TRUE(fs::exists(files + "/WINDOWS/inf/oem0.inf"));

  std::string remove = Write("remove.scn", std::string("use card id=") + kCardId + "\nremove card\n");
  Result second = Main({"--machine", reg, "--files", files, "--scenario", remove, "--save", after});
  ASSERT_EQ(second.status, devsim::kExitOk) << second.err;
  EXPECT_EQ(Read(after).find("CAPI20\\1"), std::string::npos) << "the number was given back";
  EXPECT_EQ(Read(after).find("\"ONLMonitor\""), std::string::npos) << "the last adapter took the product";
  EXPECT_NE(Read(files + "/WINDOWS/system32/autoexec.nt").find("capidos"), std::string::npos)
      << "the loaded folder itself is not changed";
}

// The text in regedit's default form: "Windows Registry Editor Version 5.00", UTF-16LE with a
// byte-order mark, and hex(2) and hex(7) data as UTF-16LE bytes.
std::string AsRegedit5(const std::string &regedit4) {
  std::string text;
  std::istringstream lines(regedit4);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "REGEDIT4") line = "Windows Registry Editor Version 5.00";
    size_t at = line.find("=hex(7):");
    if (at == std::string::npos) at = line.find("=hex(2):");
    if (at != std::string::npos) {
      std::istringstream bytes(line.substr(at + 8));
      line.resize(at + 8);
      for (std::string item; std::getline(bytes, item, ',');) line += item + ",00,";
      line.pop_back();
    }
    text += line + "\r\n";
  }
  std::string utf16 = "\xFF\xFE";
  for (char c : text) utf16 += std::string{c, '\0'};
  return utf16;
}

TEST_F(Cli, MachineExportedInRegeditsUnicodeFormRunsAsTheOriginal) {
  const std::string machine = Write("customer.reg", AsRegedit5(devsim::EmbeddedRegistry()));
  const Result original = Main({}), exported = Main({"--machine", machine});
  ASSERT_EQ(exported.status, devsim::kExitOk) << exported.err;
  const size_t step = original.out.find("==== Step 1 ");
  ASSERT_NE(step, std::string::npos);
  // Only a machine loaded from a file has its numbering checked before the first step.
  EXPECT_EQ(original.out.find("==== Numbering of the loaded machine"), std::string::npos);
  EXPECT_NE(exported.out.find("==== Numbering of the loaded machine ====\n  Numbering check: consistent"),
            std::string::npos);
  EXPECT_EQ(exported.out.substr(exported.out.find("==== Step 1 ")), original.out.substr(step));
}

}  // namespace
