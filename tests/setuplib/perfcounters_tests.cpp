// The performance extension: the service's Performance key, the counter-text loader's calls and
// the current directory around them, and the extension's event source.
#include <string>

#include "setuplib.h"
#include "sim_fixture.h"

namespace {

const std::string kServiceKey = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\onlbase";
const std::string kPerformanceKey = kServiceKey + "\\Performance";
const std::string kToolsFolder = "C:\\Program Files\\ORVIK\\DAZA Zodar";
const std::string kCounterFile = kToolsFolder + "\\counters.ini";
const std::string kSourceKey = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\linkperf";
const char *const kNames[] = {"Library", "Open", "Collect", "Close"};
const std::string kWritten = "onlperf.dll LinkPerfOpen LinkPerfCollect LinkPerfClose";

std::string CurrentDirectory() {
  char buffer[MAX_PATH] = "";
  GetCurrentDirectoryA(MAX_PATH, buffer);
  return buffer;
}

// The four values of the Performance key in their order, "-" for one that is missing.
std::string Performance() {
  if (!winsim::KeyExists(kPerformanceKey)) return "<no key>";
  std::string text;
  for (const char *name : kNames)
    text += (text.empty() ? "" : " ") + winsim::GetString(kPerformanceKey, name).value_or("-");
  return text;
}

// The loader's calls, "command line in current directory" each, and whether the source exists.
std::string LoaderAndSource() {
  std::string text;
  for (const winsim::LoadPerfCall &call : winsim::LoadPerfCalls()) {
    EXPECT_EQ(call.quiet, FALSE);
    text += call.commandLine + " in " + call.currentDirectory + "; ";
  }
  return text + (winsim::KeyExists(kSourceKey) ? "source" : "no source");
}

class PerfCountersTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    winsim::CreateKey(kServiceKey);
    winsim::PutFile(kCounterFile, "[info]\r\n");
    winsim::PutFile("C:\\WINDOWS\\win.ini", "");
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\WINDOWS"));
  }
  static DWORD Install(const std::string &counterFile, const char *service = "onlbase") {
    return InstallPerfCounters(service, counterFile.c_str(), "onlperf.dll", "LinkPerfOpen", "LinkPerfCollect",
                               "LinkPerfClose");
  }
  static BOOL Register() {
    return RegisterPerformanceExtension(kCounterFile.c_str(), "onlperf.dll", "LinkPerfOpen", "LinkPerfCollect",
                                        "LinkPerfClose");
  }
};

TEST_F(PerfCountersTest, TextsLoadInTheCounterFilesFolderAndUnloadByServiceName) {
  EXPECT_TRUE(Register());
  EXPECT_EQ(Performance(), kWritten);
  EXPECT_EQ(winsim::GetString(kSourceKey, "EventMessageFile"),
            std::optional<std::string>("%SystemRoot%\\System32\\onlperf.dll"));
  EXPECT_EQ(winsim::GetDword(kSourceKey, "TypesSupported"), std::optional<DWORD>(7));
  EXPECT_EQ(RemovePerfCounters("onlbase"), SETUP_STATUS_OK);
  // A bare file name loads from the folder of its full path, which is the current one.
  ASSERT_TRUE(SetCurrentDirectoryA(kToolsFolder.c_str()));
  EXPECT_EQ(Install("counters.ini"), SETUP_STATUS_OK);
  EXPECT_EQ(LoaderAndSource(), "lodctr counters.ini in " + kToolsFolder +
                                   "\\; unlodctr onlbase in C:\\WINDOWS\\; " + "lodctr counters.ini in " +
                                   kToolsFolder + "\\; source");
  EXPECT_EQ(CurrentDirectory(), kToolsFolder);

  ASSERT_TRUE(SetCurrentDirectoryA("C:\\WINDOWS"));
  winsim::FailCallsMatching("RegCreateKeyExA", "linkperf", ERROR_ACCESS_DENIED);
  winsim::DeleteTree(kSourceKey);
  EXPECT_FALSE(Register()) << "the event source could not be registered";
  EXPECT_EQ(winsim::LoadPerfCalls().size(), 4u) << "the texts were loaded all the same";
  EXPECT_EQ(CurrentDirectory(), "C:\\WINDOWS");
}

// Whatever part of the Performance key cannot be written, the other values are still written,
// the result is -1, no counter text is loaded and no event source registered.
TEST_F(PerfCountersTest, PerformanceKeyNotWrittenWhollyStopsTheRest) {
  const std::pair<std::string, std::string> failures[] = {
      {"service", "<no key>"},
      {"Performance", "<no key>"},
      {"Library", "- LinkPerfOpen LinkPerfCollect LinkPerfClose"},
      {"Open", "onlperf.dll - LinkPerfCollect LinkPerfClose"},
      {"Collect", "onlperf.dll LinkPerfOpen - LinkPerfClose"},
      {"Close", "onlperf.dll LinkPerfOpen LinkPerfCollect -"},
  };
  for (const auto &[failing, left] : failures) {
    SCOPED_TRACE(failing);
    winsim::DeleteTree(kServiceKey);
    if (failing != "service") winsim::CreateKey(kServiceKey);
    if (failing == "Performance")
      winsim::FailCallsMatching("RegCreateKeyExA", "onlbase\\Performance", ERROR_ACCESS_DENIED);
    winsim::FailCallsMatching("RegSetValueExA", "Performance\\" + failing, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Install(kCounterFile), SETUP_STATUS_FAILED);
    EXPECT_EQ(Performance(), left);
    EXPECT_FALSE(Register());
    EXPECT_EQ(LoaderAndSource(), "no source");
    winsim::ClearFaults();
  }
  // An empty service name names no service, not the services key.
  EXPECT_EQ(Install(kCounterFile, ""), SETUP_STATUS_FAILED);
  EXPECT_FALSE(winsim::KeyExists("HKLM\\SYSTEM\\CurrentControlSet\\Services\\Performance"));
}

TEST_F(PerfCountersTest, WithoutTheLoaderOrItsEntriesOnlyTheRegistryPartIsDone) {
  for (bool libraryPresent : {false, true}) {
    winsim::DeleteTree(kPerformanceKey);
    winsim::DeleteTree(kSourceKey);
    winsim::SetLoadPerf(libraryPresent, false, false);
    EXPECT_TRUE(Register());
    EXPECT_EQ(Performance(), kWritten);
    EXPECT_EQ(RemovePerfCounters("onlbase"), SETUP_STATUS_FAILED);
    EXPECT_EQ(LoaderAndSource(), "source");
  }
  EXPECT_EQ(CurrentDirectory(), "C:\\WINDOWS");
}

TEST_F(PerfCountersTest, CommandLinesAndFoldersThatDoNotFitSkipTheLoaderAndKeepTheDirectory) {
  // "lodctr " and a file name of 252 characters, "unlodctr " and a service name of 250, fill the
  // 259 characters of a command line.
  const std::string longest = "C:\\" + std::string(252, 'n');
  EXPECT_EQ(Install(longest), SETUP_STATUS_OK);
  EXPECT_EQ(RemovePerfCounters(std::string(250, 's').c_str()), SETUP_STATUS_OK);
  ASSERT_EQ(winsim::LoadPerfCalls().size(), 2u);
  EXPECT_EQ(winsim::LoadPerfCalls()[0].commandLine.size(), 259u);
  EXPECT_EQ(winsim::LoadPerfCalls()[1].commandLine.size(), 259u);

  winsim::ResetCallCounts();
  EXPECT_EQ(RemovePerfCounters(std::string(251, 's').c_str()), SETUP_STATUS_FAILED);
  EXPECT_EQ(Install(longest + "n"), SETUP_STATUS_OK);
  // A short file name in a folder whose full path exceeds the path buffer.
  EXPECT_EQ(Install("C:\\" + std::string(250, 'd') + "\\counters.ini"), SETUP_STATUS_OK);
  for (const char *function : {"GetFullPathNameA", "GetCurrentDirectoryA"}) {
    winsim::FailNthCall(function, 1, ERROR_INVALID_NAME);
    EXPECT_EQ(Install(kCounterFile), SETUP_STATUS_OK) << function;
  }
  EXPECT_EQ(winsim::LoadPerfCalls().size(), 2u) << "the loader was called for a text that does not fit";
  EXPECT_EQ(winsim::CallCounts()["SetCurrentDirectoryA"], 0u);
  EXPECT_EQ(CurrentDirectory(), "C:\\WINDOWS");
}

}  // namespace
