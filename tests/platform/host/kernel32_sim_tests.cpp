// What only the simulated platform shows: the host folder behind drive C:, accounting of handles,
// blocks and modules, injected failures, recorded events, process starts and counter-text loader
// calls, builtin modules with their load notifications and message tables, and the file system's
// DOS wildcards.
#include <gtest/gtest.h>
#include <winsim.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

class Kernel32Sim : public ::testing::Test {
 protected:
  void SetUp() override {
    savedRoot_ = winsim::FileRoot();
    std::string pattern = (std::filesystem::temp_directory_path() / "winsim-kernel32-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    winsim::SetFileRoot(root_);
    winsim::Reset();
  }
  void TearDown() override {
    EXPECT_EQ(winsim::OpenHandles().Total(), 0) << "still open:\n" << winsim::DescribeOpenHandles();
    winsim::Reset();
    winsim::SetFileRoot(savedRoot_);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  std::string root_, savedRoot_;
};

std::string CurrentDirectory() {
  char buffer[MAX_PATH] = "";
  GetCurrentDirectoryA(MAX_PATH, buffer);
  return buffer;
}

// ---- Files ----------------------------------------------------------------------------------

using FilesSim = Kernel32Sim;

TEST_F(FilesSim, WindowsPathsMapOntoTheHostFolderWithoutRegardToCase) {
  EXPECT_TRUE(std::filesystem::is_directory(root_ + "/WINDOWS/system32")) << "a machine has its system folder";
  EXPECT_TRUE(std::filesystem::is_directory(root_ + "/WINDOWS/inf"));
  winsim::PutFile("C:\\Program Files\\ORVIK\\Read Me.txt", "text");
  EXPECT_EQ(winsim::HostPath("c:\\PROGRAM FILES\\orvik\\read me.TXT"), root_ + "/Program Files/ORVIK/Read Me.txt");
  EXPECT_EQ(winsim::HostPath("C:\\program files\\New Folder\\x"), root_ + "/Program Files/New Folder/x")
      << "missing components keep their spelling";
  EXPECT_EQ(winsim::HostPath("D:\\anything"), "") << "only drive C: exists";
  EXPECT_EQ(winsim::GetFile("C:\\PROGRAM FILES\\ORVIK\\READ ME.TXT"), std::optional<std::string>("text"));
  EXPECT_TRUE(winsim::HasFile("c:/program files/orvik/read me.txt"));
  winsim::RemoveFile("C:\\Program Files\\ORVIK\\read me.txt");
  EXPECT_FALSE(winsim::HasFile("C:\\Program Files\\ORVIK\\Read Me.txt"));

  EXPECT_EQ(CreateFileA("D:\\file.txt", GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) << "a drive that does not exist";
  std::string longName = "C:\\" + std::string(MAX_PATH, 'x');
  EXPECT_EQ(CreateFileA(longName.c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

TEST_F(FilesSim, DirectoriesAndDriveRelativePathsAfterReset) {
  winsim::PutFile("C:\\WORK\\note.txt", "");
  ASSERT_TRUE(SetCurrentDirectoryA("c:\\work"));
  EXPECT_EQ(CurrentDirectory(), "c:\\work") << "kept as the caller spelled it";
  char full[MAX_PATH];
  EXPECT_EQ(GetFullPathNameA("C:note.txt", MAX_PATH, full, nullptr), 16u);
  EXPECT_STREQ(full, "c:\\work\\note.txt") << "drive-relative: against the current directory of that drive";
  EXPECT_EQ(GetFullPathNameA("D:note.txt", MAX_PATH, full, nullptr), 11u);
  EXPECT_STREQ(full, "D:\\note.txt") << "another drive: its root";
  EXPECT_EQ(GetFullPathNameA("", MAX_PATH, full, nullptr), 0u);

  winsim::SetWindowsDirectory("C:\\WINNT");
  char windows[MAX_PATH];
  GetSystemDirectoryA(windows, MAX_PATH);
  EXPECT_STREQ(windows, "C:\\WINNT\\system32");
  EXPECT_TRUE(std::filesystem::is_directory(root_ + "/WINNT/system32"));

  winsim::Reset();
  EXPECT_EQ(CurrentDirectory(), "C:\\");
  GetWindowsDirectoryA(windows, MAX_PATH);
  EXPECT_STREQ(windows, "C:\\WINDOWS");
  EXPECT_TRUE(winsim::HasFile("C:\\work\\note.txt")) << "Reset leaves the files alone";
}

// The file system's own wildcard rules, which FindFirstFileA produces from "*" before a period,
// "?" and a period before a wildcard.
TEST_F(FilesSim, FindFirstFileUsesDosWildcards) {
  for (const char *name : {"a.b", "a.x.b", "ab", "a.txt", "ab.txt", "abc.txt", "a.txt.bak", "readme."}) {
    winsim::PutFile(std::string("C:\\W\\") + name, "");
  }
  auto find = [](const std::string &pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(("C:\\W\\" + pattern).c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
      if (std::strcmp(data.cFileName, ".") && std::strcmp(data.cFileName, "..")) names.push_back(data.cFileName);
    } while (FindNextFileA(search, &data));
    FindClose(search);
    return names;
  };
  using Names = std::vector<std::string>;
  EXPECT_EQ(find("a*.b"), (Names{"a.b", "a.x.b"})) << "the star before a period reaches the last period";
  EXPECT_EQ(find("*.txt"), (Names{"a.txt", "ab.txt", "abc.txt"}));
  EXPECT_EQ(find("??.txt"), (Names{"a.txt", "ab.txt"})) << "? at a period matches nothing";
  EXPECT_EQ(find("*."), (Names{"ab", "readme"})) << "names without extension";
  EXPECT_EQ(find("*.*.").size(), 8u) << "*.*. is everything";
  EXPECT_EQ(find("a.?"), (Names{"a.b"}));
  EXPECT_EQ(find("ab.*"), (Names{"ab", "ab.txt"})) << "a period before a star may match the end";
}

TEST_F(FilesSim, HandlesAreCountedAndCallsCanBeMadeToFail) {
  HANDLE file = CreateFileA("C:\\WINDOWS\\system32\\autoexec.nt", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA("C:\\WINDOWS\\*", &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  winsim::HandleCounts counts = winsim::OpenHandles();
  EXPECT_EQ(counts.files, 1);
  EXPECT_EQ(counts.findHandles, 1);
  EXPECT_NE(winsim::DescribeOpenHandles().find("file C:\\WINDOWS\\system32\\autoexec.nt"), std::string::npos)
      << winsim::DescribeOpenHandles();
  EXPECT_TRUE(FindClose(search));

  winsim::FailNthCall("WriteFile", 1, ERROR_DISK_FULL);
  DWORD written = 99;
  EXPECT_FALSE(WriteFile(file, "abc", 3, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_TRUE(WriteFile(file, "abc", 3, &written, nullptr)) << "only the first call fails";
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(winsim::GetFile("C:\\WINDOWS\\system32\\autoexec.nt"), std::optional<std::string>("abc"));

  winsim::FailCallsMatching("CreateFileA", "AUTOEXEC.NT", ERROR_SHARING_VIOLATION);
  EXPECT_EQ(CreateFileA("C:\\windows\\system32\\autoexec.nt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  ASSERT_TRUE(winsim::FailedCall().has_value());
  EXPECT_EQ(winsim::FailedCall()->subject, "C:\\windows\\system32\\autoexec.nt") << "the subject is the full path";
}

// ---- Memory -----------------------------------------------------------------------------------

using MemorySim = Kernel32Sim;

TEST_F(MemorySim, BlocksAreCountedUntilFreedAndAllocationsCanFail) {
  void *local = LocalAlloc(LMEM_FIXED, 10);
  void *global = GlobalAlloc(GMEM_FIXED, 20);
  ASSERT_NE(local, nullptr);
  ASSERT_NE(global, nullptr);
  EXPECT_EQ(winsim::OpenHandles().localAllocs, 1);
  EXPECT_EQ(winsim::OpenHandles().globalAllocs, 1);
  EXPECT_NE(winsim::DescribeOpenHandles().find("GlobalAlloc block of 20 bytes"), std::string::npos);
  EXPECT_EQ(GlobalFree(local), nullptr) << "one heap: either function frees either block";
  EXPECT_EQ(LocalFree(global), nullptr);

  winsim::FailNthCall("GlobalAlloc", 2, ERROR_NOT_ENOUGH_MEMORY);
  void *first = GlobalAlloc(GPTR, 8);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(GlobalAlloc(GPTR, 8), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  GlobalFree(first);
  winsim::FailNthPlatformCall(1);
  EXPECT_EQ(LocalAlloc(LPTR, 8), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY))
      << "the plausible failure of an allocation";
}

TEST_F(MemorySim, WsprintfTruncatesAndKnowsWindowsSizes) {
  char out[1100];
  EXPECT_EQ(wsprintfA(out, "%s", std::string(1500, 'y').c_str()), 1023);
  EXPECT_EQ(wsprintfA(out, "%I64u|%hd|%lu", 0x100000000ULL, 70000, 5u), 17);
  EXPECT_STREQ(out, "4294967296|4464|5") << "h is 16 bits, l is 32 bits";
  EXPECT_EQ(wsprintfA(out, "%s", static_cast<const char *>(nullptr)), 6);
  EXPECT_STREQ(out, "(null)");
}

// ---- Event log --------------------------------------------------------------------------------

using EventLogSim = Kernel32Sim;

TEST_F(EventLogSim, ReportsAreRecordedAsHandedOver) {
  HANDLE source = RegisterEventSourceA(nullptr, "Never.Registered.Source");
  ASSERT_NE(source, nullptr) << "any source name is accepted";
  EXPECT_EQ(winsim::OpenHandles().eventSources, 1);
  const BYTE data[] = {0x05, 0x00, 0x00, 0xE0, 0x00};
  LPCSTR strings[] = {"first", "second"};
  EXPECT_TRUE(ReportEventA(source, EVENTLOG_WARNING_TYPE, 3, 2001, nullptr, 2, sizeof data, strings,
                           const_cast<BYTE *>(data)));
  EXPECT_TRUE(ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 2003, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_TRUE(DeregisterEventSource(source));

  ASSERT_EQ(winsim::Events().size(), 2u);
  const winsim::EventRecord &first = winsim::Events()[0];
  EXPECT_EQ(first.source, "Never.Registered.Source");
  EXPECT_EQ(first.type, EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(first.category, 3);
  EXPECT_EQ(first.id, 2001u);
  EXPECT_EQ(first.strings, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(first.data, (std::vector<BYTE>{0x05, 0x00, 0x00, 0xE0, 0x00}));
  EXPECT_TRUE(winsim::Events()[1].data.empty());
  winsim::ClearEvents();
  EXPECT_TRUE(winsim::Events().empty());
}

TEST_F(EventLogSim, AnUnavailableLogRefusesSourcesAndReports) {
  HANDLE early = RegisterEventSourceA(nullptr, "Early");
  ASSERT_NE(early, nullptr);
  winsim::SetEventLogAvailable(false);
  EXPECT_EQ(RegisterEventSourceA(nullptr, "Late"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_FALSE(ReportEventA(early, EVENTLOG_ERROR_TYPE, 0, 2000, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_TRUE(DeregisterEventSource(early)) << "a handle can always be given back";
  EXPECT_TRUE(winsim::Events().empty());

  winsim::Reset();
  EXPECT_EQ(RegisterEventSourceA("\\\\OTHERPC", "Remote"), nullptr) << "no other computer is reachable";
  HANDLE again = RegisterEventSourceA("", "Back");
  EXPECT_NE(again, nullptr) << "Reset brings the log back";
  DeregisterEventSource(again);
}

// ---- Processes --------------------------------------------------------------------------------

class ProcessSim : public Kernel32Sim {
 protected:
  // Starts a command line the way the post-install phase does; returns the error or 0.
  DWORD Start(const std::string &commandLine, const char *application = nullptr, const char *folder = nullptr) {
    std::string line = commandLine;
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = 1;
    PROCESS_INFORMATION info;
    std::memset(&info, 0, sizeof info);
    if (!CreateProcessA(application, &line[0], nullptr, nullptr, FALSE,
                        CREATE_DEFAULT_ERROR_MODE | NORMAL_PRIORITY_CLASS, nullptr, folder, &startup, &info))
      return GetLastError();
    last_ = info;
    return 0;
  }
  void CloseLast() {
    EXPECT_TRUE(CloseHandle(last_.hThread));
    EXPECT_TRUE(CloseHandle(last_.hProcess));
  }
  std::string LastImage() const {
    return winsim::StartedProcesses().empty() ? "" : winsim::StartedProcesses().back().imagePath;
  }
  PROCESS_INFORMATION last_{};
};

const std::string kMonitor = "C:\\Program Files\\ORVIK\\DAZA Zodar\\onlmon.exe";

TEST_F(ProcessSim, StartsAreRecordedWithHandlesToClose) {
  winsim::PutFile(kMonitor, "MZ");
  ASSERT_EQ(Start(kMonitor + " "), 0u);
  ASSERT_EQ(winsim::StartedProcesses().size(), 1u);
  const winsim::ProcessRecord &record = winsim::StartedProcesses()[0];
  EXPECT_EQ(record.applicationName, "");
  EXPECT_EQ(record.commandLine, kMonitor + " ");
  EXPECT_EQ(record.imagePath, kMonitor);
  EXPECT_EQ(record.currentDirectory, "C:\\") << "the caller's current directory";
  EXPECT_EQ(record.creationFlags, static_cast<DWORD>(CREATE_DEFAULT_ERROR_MODE | NORMAL_PRIORITY_CLASS));
  EXPECT_FALSE(record.inheritHandles);
  EXPECT_EQ(record.startupCb, sizeof(STARTUPINFOA));
  EXPECT_EQ(record.startupFlags, static_cast<DWORD>(STARTF_USESHOWWINDOW));
  EXPECT_EQ(record.showWindow, 1);

  EXPECT_EQ(winsim::OpenHandles().processes, 1);
  EXPECT_EQ(winsim::OpenHandles().threads, 1);
  EXPECT_NE(last_.dwProcessId, last_.dwThreadId);
  EXPECT_EQ(last_.dwProcessId % 4, 0u);
  CloseLast();

  winsim::FailCallsMatching("CreateProcessA", "onlmon", ERROR_ACCESS_DENIED);
  EXPECT_EQ(Start(kMonitor + " "), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(winsim::StartedProcesses().size(), 1u) << "a failed start is no start";
}

TEST_F(ProcessSim, UnquotedPathsWithBlanksTryEachPrefix) {
  winsim::PutFile(kMonitor, "MZ");
  winsim::PutFile("C:\\Program.exe", "MZ decoy");
  ASSERT_EQ(Start(kMonitor + " "), 0u);
  EXPECT_EQ(LastImage(), "C:\\Program.exe") << "the shortest prefix that names a file wins";
  CloseLast();

  winsim::RemoveFile("C:\\Program.exe");
  winsim::PutFile("C:\\Program Files\\ORVIK\\DAZA.exe", "MZ decoy");
  ASSERT_EQ(Start(kMonitor + " "), 0u);
  EXPECT_EQ(LastImage(), "C:\\Program Files\\ORVIK\\DAZA.exe") << ".exe is added to each prefix";
  CloseLast();

  ASSERT_EQ(Start("\"" + kMonitor + "\" "), 0u);
  EXPECT_EQ(LastImage(), kMonitor) << "a quoted program is taken whole";
  CloseLast();

  winsim::PutFile("C:\\Program Files\\ORVIK\\DAZA", "a file named like the prefix, without .exe");
  winsim::RemoveFile("C:\\Program Files\\ORVIK\\DAZA.exe");
  ASSERT_EQ(Start(kMonitor + " "), 0u);
  EXPECT_EQ(LastImage(), kMonitor) << "a prefix is only tried with .exe added";
  CloseLast();

  winsim::PutFile("C:\\Tools\\prog.exe", "MZ");
  ASSERT_EQ(Start("C:\\Tools\\prog /x"), 0u);
  EXPECT_EQ(LastImage(), "C:\\Tools\\prog.exe");
  CloseLast();
}

TEST_F(ProcessSim, BareNamesAreSearchedInTheCurrentSystemAndWindowsFolders) {
  winsim::PutFile("C:\\Work\\tool.exe", "MZ");
  winsim::PutFile("C:\\WINDOWS\\system32\\tool.exe", "MZ");
  winsim::PutFile("C:\\WINDOWS\\system\\tool.exe", "MZ");
  winsim::PutFile("C:\\WINDOWS\\tool.exe", "MZ");
  ASSERT_TRUE(SetCurrentDirectoryA("C:\\Work"));
  const std::string expected[] = {"C:\\Work\\tool.exe", "C:\\WINDOWS\\system32\\tool.exe",
                                  "C:\\WINDOWS\\system\\tool.exe", "C:\\WINDOWS\\tool.exe"};
  for (const std::string &path : expected) {
    ASSERT_EQ(Start("tool"), 0u) << path;
    EXPECT_EQ(LastImage(), path);
    CloseLast();
    winsim::RemoveFile(path);
  }
  EXPECT_EQ(Start("tool"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(ProcessSim, ApplicationNameAndStartFolder) {
  winsim::PutFile("C:\\Apps\\app.exe", "MZ");
  ASSERT_EQ(Start("app.exe -x", "C:\\Apps\\app.exe", "C:\\WINDOWS"), 0u);
  const winsim::ProcessRecord &record = winsim::StartedProcesses().back();
  EXPECT_EQ(record.applicationName, "C:\\Apps\\app.exe");
  EXPECT_EQ(record.commandLine, "app.exe -x");
  EXPECT_EQ(record.imagePath, "C:\\Apps\\app.exe");
  EXPECT_EQ(record.currentDirectory, "C:\\WINDOWS");
  CloseLast();
  EXPECT_EQ(Start("app.exe", "C:\\Apps\\app"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND))
      << "no extension is added";
  EXPECT_EQ(Start("app.exe", "C:\\Missing\\app.exe"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(Start("app.exe", "C:\\Apps\\app.exe", "C:\\Missing"), static_cast<DWORD>(ERROR_DIRECTORY));
  EXPECT_EQ(winsim::StartedProcesses().size(), 1u);
}

TEST_F(ProcessSim, ARestartEndsTheOldBootAndKeepsWhatIsOnDisk) {
  winsim::PutFile(kMonitor, "MZ");
  ASSERT_EQ(Start(kMonitor), 0u);
  HANDLE source = RegisterEventSourceA(nullptr, "Src");
  ASSERT_TRUE(ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 2000, nullptr, 0, 0, nullptr, nullptr));
  ASSERT_NE(LocalAlloc(LPTR, 8), nullptr);
  ASSERT_NE(LoadLibraryA("loadperf.dll"), nullptr);
  ASSERT_TRUE(SetCurrentDirectoryA("C:\\WINDOWS"));
  const int listener = winsim::AddQuitListener({});
  winsim::ScheduleAt(10, [] { ADD_FAILURE() << "work of the old boot ran"; });

  winsim::Restart();
  EXPECT_EQ(winsim::OpenHandles().Total(), 0) << winsim::DescribeOpenHandles();
  EXPECT_FALSE(winsim::QuitListenerAlive(listener)) << "the monitor's program ended";
  EXPECT_EQ(CurrentDirectory(), "C:\\");
  Sleep(20);
  EXPECT_EQ(winsim::Events().size(), 1u) << "the event log keeps its records";
  EXPECT_EQ(winsim::StartedProcesses().size(), 1u);
  EXPECT_TRUE(winsim::HasFile(kMonitor));
}

// ---- Handle verifier ----------------------------------------------------------------------------

// Misuse of the kinds of handle that the conformance tests (which show registry keys, files, device
// sets, windows, window classes and timers) do not pass on purpose: the call fails as on Windows,
// and the verifier stops it, naming the call and the handle.
struct Misuse {
  const char *what;
  std::function<bool()> misuse;  // true when the call failed as Windows reports it
  const char *function;
  const char *named;  // how the stop names the handle
};

TEST_F(ProcessSim, TheVerifierStopsHandleMisuseNamingTheCallAndTheHandle) {
  winsim::PutFile(kMonitor, "MZ");
  winsim::PutFile("C:\\a.inf", "[Version]\r\nSignature=$Chicago$\r\n");
  auto key = [] {
    HKEY opened = nullptr;
    RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Stale", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &opened,
                    nullptr);
    return opened;
  };
  auto closed = [](auto handle, auto close) {
    close(handle);
    return handle;
  };
  WIN32_FIND_DATAA found;
  INFCONTEXT line;
  const std::vector<Misuse> rows = {
      {"key closed twice: the stop names the handle and what it was",
       [&] { return RegCloseKey(closed(key(), RegCloseKey)) == 6; }, "RegCloseKey",
       "registry key handle 0x10000 (HKEY_CURRENT_USER\\Software\\Stale) was closed before"},
      {"INVALID_HANDLE_VALUE as a file", [] { return !WriteFile(INVALID_HANDLE_VALUE, "x", 1, nullptr, nullptr); },
       "WriteFile", "INVALID_HANDLE_VALUE given as file handle"},
      {"find handle used after its close",
       [&] { return !FindNextFileA(closed(FindFirstFileA("C:\\*", &found), FindClose), &found); }, "FindNextFileA",
       "(C:\\*) was closed before"},
      {"find handle closed as a file",
       [&] {
         HANDLE search = FindFirstFileA("C:\\*", &found);
         return !CloseHandle(search) && FindClose(search);
       },
       "CloseHandle", "is a find handle (C:\\*), not a file, process or thread handle"},
      {"event source used after its close",
       [&] {
         return !ReportEventA(closed(RegisterEventSourceA(nullptr, "Src"), DeregisterEventSource), 1, 0, 1,
                              nullptr, 0, 0, nullptr, nullptr);
       },
       "ReportEventA", "(Src) was closed before"},
      {"INF used after its close",
       [&] {
         return !SetupFindFirstLineA(
             closed(SetupOpenInfFileA("C:\\a.inf", nullptr, INF_STYLE_WIN4, nullptr), SetupCloseInfFile),
             "Version", nullptr, &line);
       },
       "SetupFindFirstLineA", "(C:\\a.inf) was closed before"},
      {"process closed twice", [&] { return !Start(kMonitor) && (CloseLast(), !CloseHandle(last_.hProcess)); },
       "CloseHandle", "process handle 0x"},
      {"thread closed twice", [&] { return !Start(kMonitor) && (CloseLast(), !CloseHandle(last_.hThread)); },
       "CloseHandle", "thread handle 0x"},
      {"module used after its last free",
       [&] {
         return !GetProcAddress(closed(LoadLibraryA("loadperf.dll"), FreeLibrary), "LoadPerfCounterTextStringsA");
       },
       "GetProcAddress", "(loadperf.dll) is not loaded"},
      {"local block freed twice", [&] { return LocalFree(closed(LocalAlloc(LPTR, 4), LocalFree)) != nullptr; },
       "LocalFree", "is not allocated"},
      {"global block freed twice", [&] { return GlobalFree(closed(GlobalAlloc(GPTR, 4), GlobalFree)) != nullptr; },
       "GlobalFree", "is not allocated"},
      {"key of the machine before its restart",
       [&] {
         HKEY k = key();
         winsim::Restart();
         return RegCloseKey(k) == 6;
       },
       "RegCloseKey", "belongs to the machine before its restart"},
  };
  for (const Misuse &row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_TRUE(row.misuse());
    const std::vector<winsim::VerifierStop> stops = winsim::TakeVerifierStops();
    ASSERT_EQ(stops.size(), 1u) << winsim::DescribeVerifierStops(stops);
    EXPECT_EQ(stops[0].function, row.function);
    EXPECT_NE(stops[0].what.find(row.named), std::string::npos) << stops[0].what;
  }
}

// ---- Modules ----------------------------------------------------------------------------------

std::vector<std::pair<HINSTANCE, DWORD>> gNotifications;
BOOL gAttachResult = TRUE;

BOOL WINAPI TestDllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  gNotifications.emplace_back(instance, reason);
  return reason == DLL_PROCESS_ATTACH ? gAttachResult : TRUE;
}

INT_PTR WINAPI TestExport() {
  return 42;
}

class ModuleSim : public Kernel32Sim {
 protected:
  void SetUp() override {
    Kernel32Sim::SetUp();
    gNotifications.clear();
    gAttachResult = TRUE;
    winsim::BuiltinModule module;
    module.fileName = "testmod.dll";
    module.dllMain = TestDllMain;
    module.exports["TestExport"] = &TestExport;
    module.messages = {{2000, "SetupDiGetClassDevs failed.\r\nStatus code returned in data.\r\n"},
                       {7, "Seven.\r\n"}};
    winsim::RegisterBuiltinModule(module);
    winsim::BuiltinModule plain;
    plain.fileName = "plain.dll";
    winsim::RegisterBuiltinModule(plain);
  }
  static std::string Message(HMODULE module, DWORD id, DWORD language, DWORD size = 256) {
    char buffer[256] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module, id,
                                  language, buffer, size, nullptr);
    return length ? std::string(buffer, length) : "<error " + std::to_string(GetLastError()) + ">";
  }
};

TEST_F(ModuleSim, LoadNotificationsFollowTheReferenceCount) {
  HMODULE first = LoadLibraryA("TESTMOD");
  ASSERT_NE(first, nullptr);
  HMODULE second = LoadLibraryExA("C:\\Somewhere\\TestMod.dll", nullptr, 0);
  EXPECT_EQ(second, first);
  EXPECT_EQ(gNotifications, (std::vector<std::pair<HINSTANCE, DWORD>>{{first, DLL_PROCESS_ATTACH}}));
  EXPECT_EQ(winsim::OpenHandles().modules, 2) << "each load is a reference";
  auto exported = GetProcAddress(first, "TestExport");
  ASSERT_NE(exported, nullptr);
  EXPECT_EQ(exported(), 42);

  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_EQ(gNotifications.size(), 1u) << "still referenced";
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_EQ(gNotifications.back(), std::make_pair(first, DWORD{DLL_PROCESS_DETACH}));

  gAttachResult = FALSE;
  gNotifications.clear();
  EXPECT_EQ(LoadLibraryA("testmod.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
  EXPECT_EQ(gNotifications.size(), 2u) << "a refused attach is followed by a detach";
  EXPECT_EQ(winsim::OpenHandles().modules, 0);

  gAttachResult = TRUE;
  ASSERT_NE(LoadLibraryA("testmod.dll"), nullptr);
  winsim::Reset();
  EXPECT_EQ(winsim::OpenHandles().modules, 0) << "Reset unloads";
  HMODULE again = LoadLibraryA("testmod.dll");
  EXPECT_NE(again, nullptr) << "but keeps the registration";
  FreeLibrary(again);
}

TEST_F(ModuleSim, MessageTablesThroughFormatMessage) {
  HMODULE module = LoadLibraryExA("testmod.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  EXPECT_TRUE(gNotifications.empty()) << "a data file is not attached";
  EXPECT_EQ(GetProcAddress(module, "TestExport"), nullptr);
  EXPECT_EQ(GetModuleHandleA("testmod.dll"), nullptr) << "nor is it a loaded module";

  const DWORD english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
  EXPECT_EQ(Message(module, 2000, english), "SetupDiGetClassDevs failed.\r\nStatus code returned in data.\r\n");
  EXPECT_EQ(Message(module, 7, 0), "Seven.\r\n") << "language 0 finds the English text";
  EXPECT_EQ(Message(module, 2002, english), "<error 317>") << "ERROR_MR_MID_NOT_FOUND";
  EXPECT_EQ(Message(module, 7, MAKELANGID(0x07, 0x01)), "<error 1815>") << "no German text";
  EXPECT_EQ(Message(module, 7, english, 8), "<error 122>") << "8 characters hold the text but not its terminator";
  EXPECT_EQ(Message(module, 7, english, 9), "Seven.\r\n");

  char *allocated = nullptr;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER, module, 7, 0,
                                reinterpret_cast<char *>(&allocated), 0, nullptr);
  EXPECT_EQ(length, 8u);
  EXPECT_EQ(winsim::OpenHandles().localAllocs, 1) << "the caller frees it with LocalFree";
  LocalFree(allocated);
  EXPECT_EQ(winsim::CallCounts().count("LocalAlloc"), 0u) << "allocated inside FormatMessageA, not by a call";

  HMODULE plain = LoadLibraryA("plain");
  EXPECT_EQ(Message(plain, 7, 0), "<error 1813>") << "a module without a message table";
  FreeLibrary(plain);
  EXPECT_TRUE(FreeLibrary(module));
}

// ---- The counter-text loader -------------------------------------------------------------------

const std::string kTools = "C:\\Program Files\\ORVIK\\DAZA Zodar";
const std::string kPerformance = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\onlbase\\Performance";
const std::string kPerflib = "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib";
const std::string kCounters =
    "[info]\r\ndrivername=onlbase\r\nsymbolfile=onlsym.h\r\n\r\n[languages]\r\n009=English\r\n\r\n[text]\r\n"
    "OBJ_009_NAME=ONL ISDN\r\nOBJ_009_HELP=The adapter.\r\nBCH_009_NAME=B channels\r\nBCH_009_HELP=In use.\r\n"
    "BCH_007_NAME=B-Kanaele\r\n";

using LoaderEntry = DWORD(WINAPI *)(LPSTR, BOOL);

class LoadPerfSim : public Kernel32Sim {
 protected:
  void SetUp() override {
    Kernel32Sim::SetUp();
    winsim::CreateKey(kPerformance);
    winsim::PutFile(kTools + "\\counters.ini", kCounters);
  }
  // Calls an entry of LOADPERF.DLL as a program does: by name, through GetProcAddress.
  static DWORD Call(const char *entry, const std::string &commandLine) {
    HMODULE library = LoadLibraryA("LOADPERF.DLL");
    if (!library) return 0xFFFFFFFF;
    auto function = reinterpret_cast<LoaderEntry>(reinterpret_cast<void (*)()>(GetProcAddress(library, entry)));
    std::string line = commandLine;
    DWORD result = function ? function(&line[0], FALSE) : 0xFFFFFFFE;
    FreeLibrary(library);
    return result;
  }
  static DWORD Load(const std::string &line) { return Call("LoadPerfCounterTextStringsA", line); }
  static DWORD Unload(const std::string &line) { return Call("UnloadPerfCounterTextStringsA", line); }
  static std::optional<DWORD> Perf(const char *name) { return winsim::GetDword(kPerformance, name); }
};

TEST_F(LoadPerfSim, LoadNumbersTheTextsAndUnloadGivesThemBack) {
  ASSERT_TRUE(SetCurrentDirectoryA((kTools + "\\").c_str()));
  EXPECT_EQ(Load("lodctr counters.ini"), 0u);
  EXPECT_EQ(Perf("First Counter"), 1848u) << "two after the system's last counter";
  EXPECT_EQ(Perf("Last Counter"), 1850u) << "two indices per counter";
  EXPECT_EQ(Perf("First Help"), 1849u);
  EXPECT_EQ(Perf("Last Help"), 1851u);
  EXPECT_EQ(winsim::GetDword(kPerflib, "Last Counter"), 1850u);
  EXPECT_EQ(winsim::GetDword(kPerflib, "Last Help"), 1851u);
  std::optional<winsim::RegValue> names = winsim::GetValue(kPerflib + "\\009", "Counter");
  ASSERT_TRUE(names.has_value());
  EXPECT_EQ(names->type, static_cast<DWORD>(REG_MULTI_SZ));
  const std::string expected(
      "1848\0ONL ISDN\0"
      "1850\0B channels\0\0",
      31);
  EXPECT_EQ(std::string(names->data.begin(), names->data.end()), expected) << "English names only";

  ASSERT_EQ(winsim::LoadPerfCalls().size(), 1u);
  const winsim::LoadPerfCall &call = winsim::LoadPerfCalls()[0];
  EXPECT_EQ(call.function, "LoadPerfCounterTextStringsA");
  EXPECT_EQ(call.commandLine, "lodctr counters.ini");
  EXPECT_EQ(call.currentDirectory, kTools + "\\") << "as the process keeps it, with its backslash";
  EXPECT_EQ(call.quiet, FALSE);
  EXPECT_EQ(call.result, 0u);

  EXPECT_EQ(Load("lodctr \"" + kTools + "\\counters.ini\""), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(Perf("First Counter"), 1848u);

  EXPECT_EQ(Unload("unlodctr onlbase"), 0u);
  EXPECT_FALSE(Perf("First Counter").has_value());
  EXPECT_FALSE(Perf("Last Help").has_value());
  EXPECT_EQ(winsim::GetDword(kPerflib, "Last Counter"), 1846u) << "the last indices are given back";
  EXPECT_EQ(winsim::GetDword(kPerflib, "Last Help"), 1847u);
  names = winsim::GetValue(kPerflib + "\\009", "Counter");
  ASSERT_TRUE(names.has_value());
  EXPECT_EQ(names->data, std::vector<BYTE>{0});
  EXPECT_EQ(Unload("unlodctr onlbase"), static_cast<DWORD>(ERROR_BADKEY)) << "nothing loaded";

  winsim::SetDword(kPerflib, "Last Counter", 2000);
  winsim::SetDword(kPerflib, "Last Help", 2001);
  EXPECT_EQ(Load("lodctr \"" + kTools + "\\counters.ini\""), 0u) << "a quoted full path";
  EXPECT_EQ(Perf("First Counter"), 2002u);
  EXPECT_EQ(Perf("First Help"), 2003u);
}

TEST_F(LoadPerfSim, FailuresChangeNothing) {
  EXPECT_EQ(Load("lodctr counters.ini"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "not in the current folder";
  winsim::DeleteTree("HKLM\\SYSTEM\\CurrentControlSet\\Services\\onlbase");
  EXPECT_EQ(Load("lodctr " + kTools + "\\counters.ini"), static_cast<DWORD>(ERROR_BADKEY)) << "no service key";
  EXPECT_EQ(Unload("unlodctr onlbase"), static_cast<DWORD>(ERROR_BADKEY));
  winsim::CreateKey(kPerformance);
  winsim::PutFile("C:\\empty.ini", "[info]\r\ndrivername=onlbase\r\n");
  EXPECT_EQ(Load("lodctr C:\\empty.ini"), static_cast<DWORD>(ERROR_INVALID_DATA)) << "a file without texts";
  winsim::FailNthCall("LoadPerfCounterTextStringsA", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Load("lodctr " + kTools + "\\counters.ini"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(Perf("First Counter").has_value());
  EXPECT_FALSE(winsim::KeyExists(kPerflib));
  ASSERT_EQ(winsim::LoadPerfCalls().size(), 5u) << "failed calls are recorded too";
  EXPECT_EQ(winsim::LoadPerfCalls().back().result, static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(LoadPerfSim, TheLibraryOrItsEntriesCanBeAbsent) {
  winsim::SetLoadPerf(false);
  EXPECT_EQ(LoadLibraryA("LOADPERF.DLL"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  winsim::SetLoadPerf(true, false, true);
  EXPECT_EQ(Load("lodctr x.ini"), 0xFFFFFFFEu) << "the load entry is missing";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_EQ(Unload("unlodctr onlbase"), static_cast<DWORD>(ERROR_BADKEY)) << "the unload entry is there";

  winsim::SetLoadPerf(true, true, false);
  EXPECT_EQ(Unload("unlodctr onlbase"), 0xFFFFFFFEu);
  winsim::Reset();
  winsim::CreateKey(kPerformance);
  EXPECT_EQ(Unload("unlodctr onlbase"), static_cast<DWORD>(ERROR_BADKEY)) << "Reset makes both entries present";
  EXPECT_EQ(winsim::LoadPerfCalls().size(), 1u) << "and forgets the calls";
}

}  // namespace
