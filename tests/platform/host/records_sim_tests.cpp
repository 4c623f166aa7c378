// The programs the simulated platform stands in for: the program an unquoted path starts, the
// counter-text loader LOADPERF.DLL with its calls, and the load notifications of modules linked
// into the host program (the co-installer among them).
#include "extras_test.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using RecordsSim = ExtrasTest;

// Starts a command line the way the post-install phase does; the image started, or "error N".
std::string Start(const std::string &commandLine) {
  std::string line = commandLine;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    return "error " + std::to_string(GetLastError());
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return winsim::StartedProcesses().back().imagePath;
}

TEST_F(RecordsSim, AnUnquotedPathWithBlanksTriesEachPrefixWithExeAdded) {
  const std::string monitor = "C:\\Program Files\\ORVIK\\DAZA Zodar\\onlmon.exe";
  winsim::PutFile(monitor, "MZ");
  struct Case {
    const char *decoy, *commandLine, *image;
  };
  const Case cases[] = {
      {"C:\\Program.exe", "", "C:\\Program.exe"},  // the shortest prefix that names a file wins
      {"C:\\Program Files\\ORVIK\\DAZA.exe", "", "C:\\Program Files\\ORVIK\\DAZA.exe"},  // .exe added to each
      {"C:\\Program Files\\ORVIK\\DAZA", "", ""},                                        // and only tried so
      {"C:\\Program.exe", "\"C:\\Program Files\\ORVIK\\DAZA Zodar\\onlmon.exe\" ", ""},  // quoted: taken whole
      {"C:\\Tools\\prog.exe", "C:\\Tools\\prog /x", "C:\\Tools\\prog.exe"},
      {"C:\\Tools\\other.exe", "C:\\Tools\\missing", "error 2"},
  };
  for (const Case &c : cases) {
    winsim::PutFile(c.decoy, "MZ decoy");
    EXPECT_EQ(Start(*c.commandLine ? c.commandLine : monitor + " "), *c.image ? c.image : monitor) << c.decoy;
    winsim::RemoveFile(c.decoy);
  }
}

const std::string kTools = "C:\\Program Files\\ORVIK\\DAZA Zodar";
const std::string kService = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\onlbase";
const std::string kPerformance = kService + "\\Performance";
const std::string kPerflib = "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib";

// Calls an entry of LOADPERF.DLL as a program does: by name, through GetProcAddress; its result,
// then the service's four indices and the system's last two ("-" for a missing value).
std::string Call(const char *entry, const std::string &commandLine) {
  HMODULE library = LoadLibraryA("LOADPERF.DLL");
  if (!library) return "no library";
  using LoaderEntry = DWORD(WINAPI *)(LPSTR, BOOL);
  auto function = reinterpret_cast<LoaderEntry>(reinterpret_cast<void (*)()>(GetProcAddress(library, entry)));
  std::string line = commandLine;
  std::string text = std::to_string(function(&line[0], FALSE)) + ",";
  FreeLibrary(library);
  const std::pair<const std::string &, const char *> values[] = {
      {kPerformance, "First Counter"}, {kPerformance, "Last Counter"}, {kPerformance, "First Help"},
      {kPerformance, "Last Help"},     {kPerflib, "Last Counter"},     {kPerflib, "Last Help"}};
  for (const auto &value : values) {
    const std::optional<DWORD> number = winsim::GetDword(value.first, value.second);
    text += " " + (number ? std::to_string(*number) : "-");
  }
  return text;
}
std::string Load(const std::string &line) {
  return Call("LoadPerfCounterTextStringsA", line);
}
std::string Unload(const std::string &line) {
  return Call("UnloadPerfCounterTextStringsA", line);
}

// The module ignores the loader's results; what its tests read are the calls and their effect.
TEST_F(RecordsSim, TheCounterLoaderNumbersTheTextsInTheCurrentFolderAndTheUnloaderGivesThemBack) {
  winsim::CreateKey(kPerformance);
  winsim::PutFile(kTools + "\\counters.ini",
                  "[info]\r\ndrivername=onlbase\r\nsymbolfile=onlsym.h\r\n\r\n[languages]\r\n009=English\r\n\r\n"
                  "[text]\r\nOBJ_009_NAME=ONL ISDN\r\nOBJ_009_HELP=The adapter.\r\nBCH_009_NAME=B channels\r\n"
                  "BCH_009_HELP=In use.\r\n");
  ASSERT_TRUE(SetCurrentDirectoryA((kTools + "\\").c_str()));
  winsim::FailNthCall("LoadPerfCounterTextStringsA", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Load("lodctr counters.ini"), "5, - - - - - -");
  EXPECT_EQ(Load("lodctr counters.ini"), "0, 1848 1850 1849 1851 1850 1851") << "two indices a counter";
  EXPECT_EQ(Unload("unlodctr onlbase"), "0, - - - - 1846 1847");
  ASSERT_EQ(winsim::LoadPerfCalls().size(), 3u) << "a failed call is recorded too";
  const winsim::LoadPerfCall &call = winsim::LoadPerfCalls()[1];
  EXPECT_EQ(
      call.function + "|" + call.commandLine + "|" + call.currentDirectory + "|" + std::to_string(call.quiet),
      "LoadPerfCounterTextStringsA|lodctr counters.ini|" + kTools + "\\|0");
  winsim::SetLoadPerf(false);
  EXPECT_EQ(Load("lodctr counters.ini"), "no library");
  winsim::Reset();
  EXPECT_TRUE(winsim::LoadPerfCalls().empty());
  EXPECT_EQ(FreeLibrary(LoadLibraryA("LOADPERF.DLL")), TRUE) << "Reset brings the library back";
}

std::vector<std::pair<HINSTANCE, DWORD>> notifications;

BOOL WINAPI TestDllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  notifications.emplace_back(instance, reason);
  return TRUE;
}

TEST_F(RecordsSim, BuiltinModulesAreAttachedOnTheirFirstLoadAndDetachedByTheLastFree) {
  notifications.clear();
  winsim::BuiltinModule module;
  module.fileName = "testmod.dll";
  module.dllMain = TestDllMain;
  winsim::RegisterBuiltinModule(module);
  HMODULE first = LoadLibraryA("TESTMOD");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(LoadLibraryExA("C:\\Somewhere\\TestMod.dll", nullptr, 0), first) << "found by its file name";
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_EQ(notifications.size(), 1u) << "attached once, still referenced";
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_EQ(notifications,
            (std::vector<std::pair<HINSTANCE, DWORD>>{{first, DLL_PROCESS_ATTACH}, {first, DLL_PROCESS_DETACH}}));
  HMODULE data = LoadLibraryExA("testmod.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
  EXPECT_TRUE(FreeLibrary(data));
  EXPECT_EQ(notifications.size(), 2u) << "a module loaded as a data file is not attached";
}

}  // namespace
