// The performance extension: the service's Performance key, the counter-text loader's calls and
// the current directory around them, and the extension's event source.
#include <string>

#include "setuplib.h"
#include "sim_fixture.h"

namespace {

const std::string kPerformanceKey = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\onlbase\\Performance";
const std::string kToolsFolder = "C:\\Program Files\\ORVIK\\DAZA Zodar";
const std::string kCounterFile = kToolsFolder + "\\counters.ini";
const std::string kLinkperfSourceKey =
    "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\linkperf";

std::string CurrentDirectory() {
  char buffer[MAX_PATH] = "";
  GetCurrentDirectoryA(MAX_PATH, buffer);
  return buffer;
}

class PerfCountersTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    winsim::CreateKey("HKLM\\SYSTEM\\CurrentControlSet\\Services\\onlbase");
    winsim::PutFile(kCounterFile, "[info]\r\n");
    winsim::PutFile("C:\\WINDOWS\\win.ini", "");
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\WINDOWS"));
  }
  DWORD Install(const std::string &counterFile) {
    return InstallPerfCounters("onlbase", counterFile.c_str(), "onlperf.dll", "LinkPerfOpen", "LinkPerfCollect",
                               "LinkPerfClose");
  }
  void ExpectPerformanceValues() {
    EXPECT_EQ(winsim::GetString(kPerformanceKey, "Library"), std::optional<std::string>("onlperf.dll"));
    EXPECT_EQ(winsim::GetString(kPerformanceKey, "Open"), std::optional<std::string>("LinkPerfOpen"));
    EXPECT_EQ(winsim::GetString(kPerformanceKey, "Collect"), std::optional<std::string>("LinkPerfCollect"));
    EXPECT_EQ(winsim::GetString(kPerformanceKey, "Close"), std::optional<std::string>("LinkPerfClose"));
  }
};

TEST_F(PerfCountersTest, LoadRunsInTheCounterFilesFolder) {
  EXPECT_EQ(Install(kCounterFile), SETUP_STATUS_OK);
  ExpectPerformanceValues();
  ASSERT_EQ(winsim::LoadPerfCalls().size(), 1u);
  const winsim::LoadPerfCall &call = winsim::LoadPerfCalls()[0];
  EXPECT_EQ(call.function, "LoadPerfCounterTextStringsA");
  EXPECT_EQ(call.commandLine, "lodctr counters.ini");
  EXPECT_EQ(call.currentDirectory, kToolsFolder + "\\");
  EXPECT_EQ(call.quiet, FALSE);
  EXPECT_EQ(CurrentDirectory(), "C:\\WINDOWS") << "the previous directory is restored";
}

TEST_F(PerfCountersTest, BareFileNameLoadsFromTheCurrentFolder) {
  ASSERT_TRUE(SetCurrentDirectoryA(kToolsFolder.c_str()));
  EXPECT_EQ(Install("counters.ini"), SETUP_STATUS_OK);
  ASSERT_EQ(winsim::LoadPerfCalls().size(), 1u);
  EXPECT_EQ(winsim::LoadPerfCalls()[0].commandLine, "lodctr counters.ini");
  EXPECT_EQ(winsim::LoadPerfCalls()[0].currentDirectory, kToolsFolder + "\\");
  EXPECT_EQ(CurrentDirectory(), kToolsFolder);
}

TEST_F(PerfCountersTest, UnloadNamesTheService) {
  EXPECT_EQ(RemovePerfCounters("onlbase"), SETUP_STATUS_OK);
  ASSERT_EQ(winsim::LoadPerfCalls().size(), 1u);
  EXPECT_EQ(winsim::LoadPerfCalls()[0].function, "UnloadPerfCounterTextStringsA");
  EXPECT_EQ(winsim::LoadPerfCalls()[0].commandLine, "unlodctr onlbase");
}

TEST_F(PerfCountersTest, MissingServiceStopsEverything) {
  winsim::DeleteTree("HKLM\\SYSTEM\\CurrentControlSet\\Services\\onlbase");
  EXPECT_EQ(Install(kCounterFile), SETUP_STATUS_FAILED);
  EXPECT_FALSE(RegisterPerformanceExtension(kCounterFile.c_str(), "onlperf.dll", "LinkPerfOpen", "LinkPerfCollect",
                                            "LinkPerfClose"));
  EXPECT_FALSE(winsim::KeyExists("HKLM\\SYSTEM\\CurrentControlSet\\Services\\onlbase"));
  EXPECT_TRUE(winsim::LoadPerfCalls().empty());
  EXPECT_FALSE(winsim::KeyExists(kLinkperfSourceKey));
}

TEST_F(PerfCountersTest, FailedValueStillWritesTheOthersAndSkipsTheLoad) {
  winsim::FailCallsMatching("RegSetValueExA", "Performance\\Open", ERROR_ACCESS_DENIED);
  EXPECT_EQ(Install(kCounterFile), SETUP_STATUS_FAILED);
  EXPECT_EQ(winsim::GetString(kPerformanceKey, "Close"), std::optional<std::string>("LinkPerfClose"));
  EXPECT_TRUE(winsim::LoadPerfCalls().empty());
}

TEST_F(PerfCountersTest, MissingLoaderOrEntryLeavesOnlyTheRegistryPart) {
  winsim::SetLoadPerf(false);
  EXPECT_EQ(Install(kCounterFile), SETUP_STATUS_OK);
  ExpectPerformanceValues();
  EXPECT_EQ(RemovePerfCounters("onlbase"), SETUP_STATUS_FAILED);

  winsim::SetLoadPerf(true, false, false);
  EXPECT_EQ(Install(kCounterFile), SETUP_STATUS_OK);
  EXPECT_EQ(RemovePerfCounters("onlbase"), SETUP_STATUS_FAILED);
  EXPECT_TRUE(winsim::LoadPerfCalls().empty());
  EXPECT_EQ(CurrentDirectory(), "C:\\WINDOWS");
}

TEST_F(PerfCountersTest, PathsThatDoNotFitSkipTheLoaderAndKeepTheDirectory) {
  // "lodctr " and a file name of 252 characters fill the 259 characters of a command line.
  const std::string longest = "C:\\" + std::string(252, 'n');
  winsim::ResetCallCounts();
  EXPECT_EQ(Install(longest), SETUP_STATUS_OK);
  ASSERT_EQ(winsim::LoadPerfCalls().size(), 1u);
  EXPECT_EQ(winsim::LoadPerfCalls()[0].commandLine.size(), 259u);

  EXPECT_EQ(Install(longest + "n"), SETUP_STATUS_OK);
  // A short file name in a folder whose full path exceeds the path buffer.
  EXPECT_EQ(Install("C:\\" + std::string(250, 'd') + "\\counters.ini"), SETUP_STATUS_OK);
  winsim::FailNthCall("GetFullPathNameA", 1, ERROR_INVALID_NAME);
  EXPECT_EQ(Install(kCounterFile), SETUP_STATUS_OK);

  EXPECT_EQ(winsim::LoadPerfCalls().size(), 1u) << "the loader was called for a path that does not fit";
  EXPECT_EQ(winsim::CallCounts()["SetCurrentDirectoryA"], 2u) << "only the first load may move the directory";
  EXPECT_EQ(CurrentDirectory(), "C:\\WINDOWS");
}

TEST_F(PerfCountersTest, ExtensionRegistersItsEventSource) {
  EXPECT_TRUE(RegisterPerformanceExtension(kCounterFile.c_str(), "onlperf.dll", "LinkPerfOpen", "LinkPerfCollect",
                                           "LinkPerfClose"));
  ExpectPerformanceValues();
  EXPECT_EQ(winsim::GetString(kLinkperfSourceKey, "EventMessageFile"),
            std::optional<std::string>("%SystemRoot%\\System32\\onlperf.dll"));
  EXPECT_EQ(winsim::GetDword(kLinkperfSourceKey, "TypesSupported"), std::optional<DWORD>(7));

  winsim::FailCallsMatching("RegCreateKeyExA", "linkperf", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(RegisterPerformanceExtension(kCounterFile.c_str(), "onlperf.dll", "LinkPerfOpen", "LinkPerfCollect",
                                            "LinkPerfClose"));
}

}  // namespace
