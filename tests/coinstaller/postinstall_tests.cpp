// The post-install phase: what it sets up and starts, and what it leaves out when an install flag,
// a card-type hook, a failing step or the program-files folder says so. Each case is told by one
// outcome text that names what the phase left on the machine.
#include <functional>
#include <map>

#include "coinstaller_machine.h"
#include "sim_fixture.h"

namespace {

const std::string kFallbackTools = "\\Program Files\\ORVIK\\DAZA Zodar";

class PostInstallTest : public SimTest {
 protected:
  // An adapter that the pre-install phase has numbered 1.
  void SetUp() override {
    SimTest::SetUp();
    machine::SetUpBaseMachine();
    machine::HoldController(1);
    id_ = machine::AddAdapter(machine::Adapter().Controller(1).WanEndPoints(30));
  }

  DWORD PostInstall() {
    machine::DeviceInSet device(id_);
    return PostInstallDevice(device.set, &device.data, 1);
  }

  // What the phase left, one word per item in the order the phase makes them; an item that holds
  // another value than the one built from the tools folder `tools` shows that value.
  std::string Outcome(const std::string &tools) const {
    std::string out;
    auto item = [&out](const char *name, const std::optional<std::string> &value, const std::string &wanted) {
      if (!value) return;
      out += (out.empty() ? "" : " ") + std::string(name) + (*value == wanted ? "" : "=" + *value);
    };
    auto dword = [](const std::string &key, const char *name) {
      const std::optional<DWORD> value = winsim::GetDword(key, name);
      return value ? std::optional<std::string>(std::to_string(*value)) : std::nullopt;
    };
    const std::string key = machine::kManufacturer1 + "\\1";
    item("number", dword(machine::DeviceCapiKey(id_), "Controller"), "0");
    item("key", winsim::KeyExists(key) ? std::optional<std::string>("") : std::nullopt, "");
    item("channels", dword(key, "Channels"), "30");
    item("path", winsim::GetString(machine::kProductCapi + "\\Path", ""), tools);
    item("version", winsim::GetString(machine::kProductCapi + "\\Version", ""), "3.38");
    item("run", winsim::GetString(machine::kRunKey, "ONLMonitor"), tools + "\\onlmon.exe");
    item("source", winsim::GetString(machine::kPerfEventSource, "EventMessageFile"),
         "%SystemRoot%\\System32\\onlperf.dll");
    item("perf", winsim::GetString(machine::kPerformanceKey, "Collect"), "LinkPerfCollect");
    const auto &loads = winsim::LoadPerfCalls();
    const bool loaded = !loads.empty() && loads.back().function == "LoadPerfCounterTextStringsA";
    item("texts", loaded ? std::optional<std::string>(loads.back().currentDirectory) : std::nullopt, tools + "\\");
    item("stat", winsim::GetString(machine::kMonitorKey + "\\StatisticProgram", ""),
         "mmc.exe /s \"" + tools + "\\linkperf.msc\"");
    item("tool", winsim::GetString(machine::kMonitorKey + "\\Run", "MotherInLaw"), tools + "\\onltool.exe");
    // Programs start bare, with one blank for the empty argument, shown normally.
    std::string started;
    for (const winsim::ProcessRecord &process : winsim::StartedProcesses()) {
      const bool plain = process.applicationName.empty() && !process.inheritHandles &&
                         process.creationFlags == DWORD{CREATE_DEFAULT_ERROR_MODE | NORMAL_PRIORITY_CLASS} &&
                         process.startupCb == sizeof(STARTUPINFOA) &&
                         process.startupFlags == DWORD{STARTF_USESHOWWINDOW} &&
                         process.showWindow == SW_SHOWNORMAL;
      started += process.commandLine + (plain ? "|" : " started otherwise|");
    }
    item("started", started.empty() ? std::nullopt : std::optional<std::string>(started),
         tools + "\\onlmon.exe |" + tools + "\\onltool.exe |");
    return out;
  }

  std::string id_;
};

const char *const kRestart = "number key channels path version run source perf texts stat tool";
const char *const kEverything = "number key channels path version run source perf texts stat tool started";

struct PostCase {
  const char *name;
  DWORD flags;           // the device's install flags
  const char *cardType;  // nullptr: none
  const char *failing;   // calls of this function whose subject holds `subject` fail
  const char *subject;
  const char *programFiles;  // the value ProgramFilesDir, nullptr: C:\Program Files
  std::string tools;         // the folder the texts are built from
  const char *outcome;       // "": the channel count failed
};
void PrintTo(const PostCase &c, std::ostream *out) {
  *out << c.name;
}

class PostInstallCase : public PostInstallTest, public ::testing::WithParamInterface<PostCase> {};

TEST_P(PostInstallCase, LeavesWhatItsOutcomeNames) {
  const PostCase &c = GetParam();
  if (c.cardType) winsim::SetString(machine::DeviceCapiKey(id_), "CardType", c.cardType);
  machine::AddPort("ACPI\\PNP0401\\1", "Parport");
  if (c.programFiles) winsim::SetString(machine::kCurrentVersion, "ProgramFilesDir", c.programFiles);
  if (!c.tools.empty() && !winsim::HasFile(c.tools + "\\counters.ini"))
    winsim::PutFile(c.tools + "\\counters.ini", "");
  DWORD status = 0;
  {
    machine::DeviceInSet device(id_);
    device.SetInstallFlags(c.flags);
    if (c.failing) winsim::FailCallsMatching(c.failing, c.subject, ERROR_ACCESS_DENIED);
    status = PostInstallDevice(device.set, &device.data, 1);
    winsim::ClearFaults();
  }
  EXPECT_EQ(status, *c.outcome ? DWORD{NO_ERROR} : machine::kDontInstall);
  EXPECT_EQ(Outcome(c.tools), c.outcome);
  EXPECT_TRUE(winsim::Events().empty()) << "the phase writes no event";
}

// A program-files folder of `length` characters, and its tools folder.
const char *Folder(size_t length) {
  static std::map<size_t, std::string> folders;
  std::string &folder = folders[length];
  if (folder.empty()) folder = "C:\\" + std::string(length - 3, 'L');
  return folder.c_str();
}
std::string Tools(size_t length) {
  return length > 242 ? "" : std::string(Folder(length)) + "\\ORVIK\\DAZA Zodar";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PostInstallCase,
    ::testing::Values(
        PostCase{"Plain", 0, nullptr, nullptr, nullptr, nullptr, machine::kToolsFolder, kEverything},
        // Only the two restart flags keep the programs from starting, after the hooks asked for it.
        PostCase{"NeedRestart", DI_NEEDRESTART, nullptr, nullptr, nullptr, nullptr, machine::kToolsFolder,
                 kRestart},
        PostCase{"NeedReboot", DI_NEEDREBOOT, nullptr, nullptr, nullptr, nullptr, machine::kToolsFolder, kRestart},
        PostCase{"ShowOem", DI_SHOWOEM, nullptr, nullptr, nullptr, nullptr, machine::kToolsFolder, kEverything},
        PostCase{"EveryOtherFlag", ~machine::kRestartFlags, nullptr, nullptr, nullptr, nullptr,
                 machine::kToolsFolder, kEverything},
        PostCase{"HookAsksForARestart", 0, "ext/lpt", nullptr, nullptr, nullptr, machine::kToolsFolder, kRestart},
        PostCase{"ParametersUnreadable", DI_NEEDREBOOT, nullptr, "SetupDiGetDeviceInstallParamsA", "", nullptr,
                 machine::kToolsFolder, kEverything},
        // Without the channel count the number goes back with the device's value; nothing is set up.
        PostCase{"NoChannelCount", 0, nullptr, "RegQueryValueExA", "WanEndPoints", nullptr, machine::kToolsFolder,
                 ""},
        PostCase{"ProductCapiKeyUnavailable", 0, nullptr, "RegCreateKeyExA", "Software\\ORVIK\\CAPI", nullptr,
                 machine::kToolsFolder, "number key channels run source perf texts stat tool started"},
        PostCase{"EmptyProgramFiles", 0, nullptr, nullptr, nullptr, "", machine::kToolsFolder, kEverything},
        // Texts that would need more than 259 characters are left out, never cut: with a folder of
        // 217 characters the statistics command, of 230 the counter path, of 231 the tool's path, of
        // 232 the monitor's path, of 243 the tools folder would have 260.
        PostCase{"StatisticCommandOf260", 0, nullptr, nullptr, nullptr, Folder(217), Tools(217),
                 "number key channels path version run source perf texts tool"},
        PostCase{"CounterPathOf260", 0, nullptr, nullptr, nullptr, Folder(230), Tools(230),
                 "number key channels path version run tool"},
        PostCase{"ToolPathOf260", 0, nullptr, nullptr, nullptr, Folder(231), Tools(231),
                 "number key channels path version run"},
        PostCase{"MonitorPathOf260", 0, nullptr, nullptr, nullptr, Folder(232), Tools(232),
                 "number key channels path version"},
        PostCase{"ToolsFolderOf260", 0, nullptr, nullptr, nullptr, Folder(243), Tools(243),
                 "number key channels version"}),
    [](const ::testing::TestParamInfo<PostCase> &info) { return std::string(info.param.name); });

TEST_F(PostInstallTest, SecondRunReplacesTheRegistrationWithASingleOneInTheOrderListenersSee) {
  EXPECT_EQ(PostInstall(), static_cast<DWORD>(NO_ERROR));
  winsim::SetString(machine::kPerfEventSource, "Stale", "left by the first run");
  {
    CallRecord record;
    EXPECT_EQ(PostInstall(), static_cast<DWORD>(NO_ERROR));
    // The product values, then the monitor's start before its counters are registered again: the
    // event source and the texts go, the Performance values come in their order, the texts load
    // and the source comes back.
    EXPECT_TRUE(record.MadeInOrder({{"RegSetValueExA", "CAPI\\Path\\"},
                                    {"RegSetValueExA", "CAPI\\Version\\"},
                                    {"CreateProcessA", "onlmon.exe"},
                                    {"RegDeleteKeyA", "Application\\linkperf"},
                                    {"UnloadPerfCounterTextStringsA", "onlbase"},
                                    {"RegSetValueExA", "Performance\\Library"},
                                    {"RegSetValueExA", "Performance\\Open"},
                                    {"RegSetValueExA", "Performance\\Collect"},
                                    {"RegSetValueExA", "Performance\\Close"},
                                    {"LoadPerfCounterTextStringsA", "counters.ini"},
                                    {"RegSetValueExA", "linkperf\\EventMessageFile"}}));
  }
  EXPECT_FALSE(winsim::GetValue(machine::kPerfEventSource, "Stale").has_value()) << "registered afresh";
  // A load fails while the service has texts loaded: the second load succeeding shows that the
  // first set of texts was unloaded before it.
  EXPECT_EQ(
      Outcome(machine::kToolsFolder),
      "number key channels path version run source perf texts stat tool started=" + machine::kMonitorProgram +
          " |" + machine::kToolProgram + " |" + machine::kMonitorProgram + " |" + machine::kToolProgram + " |");
  EXPECT_EQ(winsim::LoadPerfCalls().back().result, 0u);

  // A source key whose access list refuses its deletion is not opened up: it keeps what it held.
  winsim::SetString(machine::kPerfEventSource, "Stale", "kept");
  winsim::DenyAccess(machine::kPerfEventSource, DELETE);
  EXPECT_EQ(PostInstall(), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(winsim::GetString(machine::kPerfEventSource, "Stale"), std::optional<std::string>("kept"));
}

// ---- The program-files folder and the command lines ----

TEST_F(PostInstallTest, UnusableProgramFilesFolderGivesWayToTheWindowsFoldersDrive) {
  winsim::SetString(machine::kCurrentVersion, "ProgramFilesDir", "");
  const std::pair<const char *, const char *> cases[] = {
      {"A:\\WINNT", "A:"}, {"Z:\\", "Z:"}, {"a:", "a:"}, {"z:\\w", "z:"}, {"\\\\srv\\w", "C:"},
  };
  for (const auto &[windows, drive] : cases) {
    winsim::SetWindowsDirectory(windows);
    EXPECT_EQ(PostInstall(), static_cast<DWORD>(NO_ERROR)) << windows;
    EXPECT_EQ(winsim::GetString(machine::kProductCapi + "\\Path", ""), drive + kFallbackTools) << windows;
  }
}

TEST_F(PostInstallTest, GetProgramFilesDirOverwritesTheBufferOnlyWithAUsableFolder) {
  // A text that fits with its terminator, whatever else the value holds.
  const std::string fits(259, 'f');
  const struct {
    DWORD type;  // REG_NONE: no value
    std::string data;
    std::string buffer;
  } cases[] = {
      {REG_SZ, fits + '\0', fits},
      {REG_SZ, std::string("E\0", 2), "E"},
      {REG_SZ, fits + "f" + '\0', "old"},
      {REG_SZ, std::string(1, '\0'), "old"},
      {REG_SZ, "E:\\P", "old"},
      {REG_DWORD, std::string("C\0\0\0", 4), "old"},
      {REG_BINARY, std::string("E:\\\0", 4), "old"},
      {REG_NONE, "", "old"},
  };
  for (const auto &c : cases) {
    winsim::LoadReg("REGEDIT4\r\n\r\n[" + machine::kCurrentVersion + "]\r\n\"ProgramFilesDir\"=-\r\n");
    if (c.type != REG_NONE)
      winsim::SetValue(machine::kCurrentVersion, "ProgramFilesDir", c.type,
                       std::vector<BYTE>(c.data.begin(), c.data.end()));
    char buffer[MAX_PATH] = "old";
    EXPECT_TRUE(GetProgramFilesDir(buffer, sizeof(buffer))) << c.data;
    EXPECT_EQ(std::string(buffer), c.buffer) << c.data;
  }
  winsim::DenyAccess(machine::kCurrentVersion, KEY_QUERY_VALUE);
  char buffer[MAX_PATH] = "old";
  EXPECT_FALSE(GetProgramFilesDir(buffer, sizeof(buffer)));
  EXPECT_STREQ(buffer, "old");
}

// A program path of the given length in nested folders (no folder name longer than 50).
std::string ProgramPathOfLength(size_t length) {
  std::string path = "C:";
  while (path.size() + 1 + 50 + 1 + 6 < length) path += "\\" + std::string(50, 'd');
  path += "\\" + std::string(length - path.size() - 1 - 4, 'p') + ".exe";
  return path;
}

TEST_F(PostInstallTest, LaunchProgramStartsACommandLineThatFitsAndNothingElse) {
  const std::string fits = ProgramPathOfLength(258);
  const std::string tooLong = ProgramPathOfLength(259);
  winsim::PutFile(fits, "MZ");
  winsim::PutFile(tooLong, "MZ");
  EXPECT_TRUE(LaunchProgram(fits.c_str(), ""));
  winsim::ResetCallCounts();
  EXPECT_FALSE(LaunchProgram(tooLong.c_str(), ""));
  EXPECT_FALSE(LaunchProgram(machine::kMonitorProgram.c_str(), std::string(260, 'a').c_str()));
  EXPECT_EQ(winsim::CallCounts().count("CreateProcessA"), 0u) << "a command line that does not fit is never cut";
  EXPECT_FALSE(LaunchProgram("C:\\nowhere\\missing.exe", ""));
  EXPECT_TRUE(LaunchProgram(machine::kToolProgram.c_str(), "/x"));
  ASSERT_EQ(winsim::StartedProcesses().size(), 2u);
  EXPECT_EQ(winsim::StartedProcesses()[0].commandLine, fits + " ");
  EXPECT_EQ(winsim::StartedProcesses()[1].commandLine, machine::kToolProgram + " /x");
}

}  // namespace
