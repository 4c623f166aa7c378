// The post-install phase: channel count, product values, Run entry, performance extension,
// statistics console and tool program, the start of the two programs, and the texts it builds
// from the program-files folder.
#include <functional>

#include "coinstaller_machine.h"
#include "sim_fixture.h"

namespace {

const std::string kStatisticCommand = "mmc.exe /s \"" + machine::kToolsFolder + "\\linkperf.msc\"";

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

  std::vector<std::string> StartedCommandLines() const {
    std::vector<std::string> lines;
    for (const winsim::ProcessRecord &process : winsim::StartedProcesses()) lines.push_back(process.commandLine);
    return lines;
  }

  std::optional<std::string> ToolsPathValue() const {
    return winsim::GetString(machine::kProductCapi + "\\Path", "");
  }

  std::string id_;
};

TEST_F(PostInstallTest, SetsUpTheToolsAndStartsBothPrograms) {
  EXPECT_EQ(PostInstall(), static_cast<DWORD>(NO_ERROR));

  EXPECT_EQ(winsim::GetDword(machine::kManufacturer1 + "\\1", "Channels"), 30u);
  EXPECT_EQ(ToolsPathValue(), machine::kToolsFolder);
  EXPECT_EQ(winsim::GetString(machine::kProductCapi + "\\Version", ""), "3.38");
  EXPECT_EQ(winsim::GetString(machine::kPerfEventSource, "EventMessageFile"),
            "%SystemRoot%\\System32\\onlperf.dll");
  EXPECT_EQ(winsim::GetString(machine::kPerformanceKey, "Library"), "onlperf.dll");
  EXPECT_EQ(winsim::GetString(machine::kPerformanceKey, "Collect"), "LinkPerfCollect");

  // Program paths stand bare in the registry; only the console file is quoted.
  EXPECT_EQ(winsim::GetString(machine::kRunKey, "ONLMonitor"), machine::kMonitorProgram);
  EXPECT_EQ(winsim::GetString(machine::kMonitorKey + "\\StatisticProgram", ""), kStatisticCommand);
  EXPECT_EQ(winsim::GetString(machine::kMonitorKey + "\\Run", "MotherInLaw"), machine::kToolProgram);

  // The started command lines are the same paths followed by one blank.
  EXPECT_EQ(StartedCommandLines(),
            (std::vector<std::string>{machine::kMonitorProgram + " ", machine::kToolProgram + " "}));
  for (const winsim::ProcessRecord &process : winsim::StartedProcesses()) {
    EXPECT_EQ(process.applicationName, "");
    EXPECT_EQ(process.creationFlags, static_cast<DWORD>(CREATE_DEFAULT_ERROR_MODE | NORMAL_PRIORITY_CLASS));
    EXPECT_FALSE(process.inheritHandles);
    EXPECT_EQ(process.startupCb, sizeof(STARTUPINFOA));
    EXPECT_EQ(process.startupFlags, static_cast<DWORD>(STARTF_USESHOWWINDOW));
    EXPECT_EQ(process.showWindow, SW_SHOWNORMAL);
  }
  ASSERT_EQ(winsim::StartedProcesses().size(), 2u);
  EXPECT_EQ(winsim::StartedProcesses()[0].imagePath, machine::kMonitorProgram);
  EXPECT_EQ(winsim::StartedProcesses()[1].imagePath, machine::kToolProgram);
}

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

  EXPECT_FALSE(winsim::GetValue(machine::kPerfEventSource, "Stale").has_value())
      << "the source was registered afresh";
  EXPECT_EQ(winsim::GetString(machine::kPerfEventSource, "EventMessageFile"),
            "%SystemRoot%\\System32\\onlperf.dll");
  // A load fails while the service has texts loaded, so the second load succeeding shows that the
  // first set of texts was unloaded before it.
  ASSERT_EQ(winsim::LoadPerfCalls().size(), 4u);
  EXPECT_EQ(winsim::LoadPerfCalls()[3].function, "LoadPerfCounterTextStringsA");
  EXPECT_EQ(winsim::LoadPerfCalls()[3].result, 0u);
  EXPECT_EQ(winsim::StartedProcesses().size(), 4u);
}

TEST_F(PostInstallTest, PendingRestartBlocksBothStartsButNotTheRegistryWork) {
  for (DWORD flag : {DWORD{DI_NEEDRESTART}, DWORD{DI_NEEDREBOOT}}) {
    winsim::DeleteTree(machine::kProductCapi);
    winsim::DeleteTree(machine::kMonitorKey);
    machine::DeviceInSet device(id_);
    device.SetInstallFlags(flag | DI_QUIETINSTALL);
    EXPECT_EQ(PostInstallDevice(device.set, &device.data, 1), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(ToolsPathValue(), machine::kToolsFolder) << "flag " << flag;
    EXPECT_EQ(winsim::GetString(machine::kMonitorKey + "\\StatisticProgram", ""), kStatisticCommand);
    EXPECT_EQ(winsim::GetString(machine::kRunKey, "ONLMonitor"), machine::kMonitorProgram);
  }
  EXPECT_TRUE(winsim::StartedProcesses().empty());
}

TEST_F(PostInstallTest, RestartRequestedByACardTypeHookBlocksBothStarts) {
  winsim::SetString(machine::DeviceCapiKey(id_), "CardType", "ext/lpt");
  const std::string port = machine::AddPort("ACPI\\PNP0401\\1", "Parport");
  machine::DeviceInSet device(id_);
  EXPECT_EQ(PostInstallDevice(device.set, &device.data, 1), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(device.InstallFlags() & machine::kRestartFlags, machine::kRestartFlags);
  EXPECT_EQ(winsim::GetDword(winsim::HardwareKeyPath(port), "FilterResourceMethod"), 2u);
  EXPECT_EQ(ToolsPathValue(), machine::kToolsFolder);
  EXPECT_TRUE(winsim::StartedProcesses().empty());
}

TEST_F(PostInstallTest, UnreadableInstallParametersCountAsNoRestart) {
  machine::DeviceInSet device(id_);
  device.SetInstallFlags(DI_NEEDREBOOT);
  winsim::FailNthCall("SetupDiGetDeviceInstallParamsA", 1, ERROR_INVALID_USER_BUFFER);
  EXPECT_EQ(PostInstallDevice(device.set, &device.data, 1), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(winsim::StartedProcesses().size(), 2u);
}

TEST_F(PostInstallTest, ChannelCountFailureGivesTheNumberBackAndSetsNothingUp) {
  machine::HoldController(2);
  const std::string second = machine::AddAdapter(
      machine::Adapter().Id("PCI\\VEN_1A2B&DEV_0C10\\2").Controller(2).WanEndPoints(std::nullopt));
  machine::DeviceInSet device(second);
  EXPECT_EQ(PostInstallDevice(device.set, &device.data, 2), machine::kDontInstall);

  EXPECT_FALSE(winsim::KeyExists(machine::kManufacturer1 + "\\2"));
  EXPECT_TRUE(winsim::KeyExists(machine::kManufacturer1 + "\\1"));
  EXPECT_EQ(winsim::GetDword(machine::kManufacturer1, "NumberOfControllers"), 1u);
  EXPECT_FALSE(winsim::KeyExists(machine::kProductCapi));
  EXPECT_FALSE(winsim::KeyExists(machine::kMonitorKey));
  EXPECT_FALSE(winsim::GetValue(machine::kRunKey, "ONLMonitor").has_value());
  EXPECT_FALSE(winsim::KeyExists(machine::kPerfEventSource));
  EXPECT_TRUE(winsim::LoadPerfCalls().empty());
  EXPECT_TRUE(winsim::StartedProcesses().empty());
}

// ---- The program-files folder and the texts built from it ----

TEST_F(PostInstallTest, UnusableProgramFilesValueFallsBackToTheWindowsDrive) {
  winsim::SetWindowsDirectory("D:\\WINNT");
  const std::string fallbackTools = "D:\\Program Files\\ORVIK\\DAZA Zodar";
  const std::string valueKey = machine::kCurrentVersion;
  struct Case {
    const char *name;
    std::function<void()> arrange;
  };
  const std::vector<Case> cases = {
      {"missing", [&] { winsim::LoadReg("REGEDIT4\r\n\r\n[" + valueKey + "]\r\n\"ProgramFilesDir\"=-\r\n"); }},
      {"dword", [&] { winsim::SetDword(valueKey, "ProgramFilesDir", 0x43); }},
      {"binary",
       [&] {
         winsim::SetValue(valueKey, "ProgramFilesDir", REG_BINARY, {'E', ':', '\\', 0});
       }},
      {"empty", [&] { winsim::SetString(valueKey, "ProgramFilesDir", ""); }},
      {"unterminated",
       [&] {
         winsim::SetValue(valueKey, "ProgramFilesDir", REG_SZ, {'E', ':', '\\', 'P'});
       }},
      {"longer than 260 bytes",
       [&] { winsim::SetString(valueKey, "ProgramFilesDir", "E:\\" + std::string(300, 'p')); }},
      {"key does not open",
       [&] {
         winsim::SetString(valueKey, "ProgramFilesDir", "E:\\Programs");
         winsim::FailCallsMatching("RegOpenKeyExA", "Windows\\CurrentVersion", ERROR_ACCESS_DENIED);
       }},
  };
  for (const Case &c : cases) {
    winsim::DeleteTree(machine::kProductCapi);
    c.arrange();
    EXPECT_EQ(PostInstall(), static_cast<DWORD>(NO_ERROR)) << c.name;
    winsim::ClearFaults();
    EXPECT_EQ(ToolsPathValue(), fallbackTools) << c.name;
    EXPECT_EQ(winsim::GetString(machine::kMonitorKey + "\\Run", "MotherInLaw"), fallbackTools + "\\onltool.exe")
        << c.name;
  }
}

TEST_F(PostInstallTest, GetProgramFilesDirOverwritesTheBufferOnlyWithAUsableFolder) {
  char buffer[MAX_PATH] = "untouched";
  const std::string fits(259, 'f');
  winsim::SetString(machine::kCurrentVersion, "ProgramFilesDir", fits);
  EXPECT_TRUE(GetProgramFilesDir(buffer, sizeof(buffer)));
  EXPECT_EQ(std::string(buffer), fits) << "259 characters and the terminator fit exactly";

  snprintf(buffer, sizeof(buffer), "untouched");
  winsim::SetString(machine::kCurrentVersion, "ProgramFilesDir", fits + "f");
  EXPECT_TRUE(GetProgramFilesDir(buffer, sizeof(buffer)));
  EXPECT_STREQ(buffer, "untouched");

  winsim::SetDword(machine::kCurrentVersion, "ProgramFilesDir", 7);
  EXPECT_TRUE(GetProgramFilesDir(buffer, sizeof(buffer)));
  EXPECT_STREQ(buffer, "untouched");

  winsim::FailNthCall("RegOpenKeyExA", 1, ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(GetProgramFilesDir(buffer, sizeof(buffer)));
  EXPECT_STREQ(buffer, "untouched");
}

TEST_F(PostInstallTest, TextsThatWouldNotFitAreLeftOutNotCut) {
  // 235 characters: the tools folder (252) fits, every longer text does not.
  const std::string longFolder = "C:\\" + std::string(232, 'L');
  winsim::SetString(machine::kCurrentVersion, "ProgramFilesDir", longFolder);
  EXPECT_EQ(PostInstall(), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(ToolsPathValue(), longFolder + "\\ORVIK\\DAZA Zodar");
  EXPECT_EQ(winsim::GetString(machine::kProductCapi + "\\Version", ""), "3.38");
  EXPECT_FALSE(winsim::GetValue(machine::kRunKey, "ONLMonitor").has_value());
  EXPECT_FALSE(winsim::KeyExists(machine::kMonitorKey + "\\StatisticProgram"));
  EXPECT_FALSE(winsim::GetValue(machine::kMonitorKey + "\\Run", "MotherInLaw").has_value());
  EXPECT_FALSE(winsim::KeyExists(machine::kPerfEventSource));
  for (const winsim::LoadPerfCall &call : winsim::LoadPerfCalls()) {
    EXPECT_NE(call.function, "LoadPerfCounterTextStringsA");
  }
  EXPECT_TRUE(winsim::StartedProcesses().empty());

  // 243 characters: not even the tools folder fits; the version is still recorded.
  winsim::DeleteTree(machine::kProductCapi);
  winsim::SetString(machine::kCurrentVersion, "ProgramFilesDir", "C:\\" + std::string(240, 'L'));
  EXPECT_EQ(PostInstall(), static_cast<DWORD>(NO_ERROR));
  EXPECT_FALSE(winsim::KeyExists(machine::kProductCapi + "\\Path"));
  EXPECT_EQ(winsim::GetString(machine::kProductCapi + "\\Version", ""), "3.38");
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
  ASSERT_EQ(fits.size(), 258u);
  ASSERT_EQ(tooLong.size(), 259u);
  winsim::PutFile(fits, "MZ");
  winsim::PutFile(tooLong, "MZ");

  EXPECT_TRUE(LaunchProgram(fits.c_str(), ""));
  ASSERT_EQ(StartedCommandLines(), std::vector<std::string>{fits + " "});

  winsim::ResetCallCounts();
  EXPECT_FALSE(LaunchProgram(tooLong.c_str(), ""));
  EXPECT_FALSE(LaunchProgram(machine::kMonitorProgram.c_str(), std::string(260, 'a').c_str()));
  EXPECT_EQ(machine::Calls("CreateProcessA"), 0u) << "a command line that does not fit is never cut";

  EXPECT_FALSE(LaunchProgram("C:\\nowhere\\missing.exe", ""));
  EXPECT_TRUE(LaunchProgram(machine::kToolProgram.c_str(), "/x"));
  EXPECT_EQ(StartedCommandLines().back(), machine::kToolProgram + " /x");
  EXPECT_EQ(winsim::StartedProcesses().size(), 2u);
}

}  // namespace
