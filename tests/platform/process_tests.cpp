// Processes, modules, memory, formatting and the event log as the co-installer uses them:
// CreateProcessA's search of a program path, LOADPERF.DLL loaded by name, zero-filled blocks,
// wsprintfA's integers and an error event with data written to the log.
#include <cstring>
#include <string>

#include "platform_test.h"

namespace {

// CreateProcessA with a command line only, shown normally; the last error, or 0 when a process
// started (its handles are closed at once).
DWORD Start(const std::string &commandLine) {
  std::string line = commandLine;
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = 1;
  PROCESS_INFORMATION process;
  std::memset(&process, 0, sizeof process);
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return GetLastError();
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}

TEST(CreateProcess, NoProgramFileMeansFileNotFound) {
  const std::string folder = ScratchFolder();
  ExpectRows({
      {"an unquoted path whose blank-separated prefixes name no file either",
       Start(folder + "\\Two Words\\program.exe argument"), ERROR_FILE_NOT_FOUND},
      {"a quoted path", Start("\"" + folder + "\\Two Words\\program.exe\" argument"), ERROR_FILE_NOT_FOUND},
      {"a bare name, searched in the system's folders", Start("winsim-no-such-program.exe"), ERROR_FILE_NOT_FOUND},
  });
}

TEST(LoadLibrary, TheCounterTextLoaderByNameWithItsTwoEntries) {
  HMODULE loader = LoadLibraryA("LOADPERF.DLL");
  ASSERT_NE(loader, nullptr) << "error " << GetLastError();
  ExpectRows({
      {"the load entry", GetProcAddress(loader, "LoadPerfCounterTextStringsA") != nullptr, 1},
      {"the unload entry", GetProcAddress(loader, "UnloadPerfCounterTextStringsA") != nullptr, 1},
      {"an entry in other letter case", GetProcAddress(loader, "loadperfcountertextstringsa") != nullptr, 0},
      {"its error", GetLastError(), ERROR_PROC_NOT_FOUND},
      {"a missing module", LoadLibraryA("winsim-no-such-module.dll") != nullptr, 0},
      {"its error", GetLastError(), ERROR_MOD_NOT_FOUND},
      {"freed", ErrorOf(FreeLibrary(loader)), 0},
  });
}

TEST(Memory, ZeroedBlocksAndFormattedIntegers) {
  auto *local = static_cast<unsigned char *>(LocalAlloc(LMEM_ZEROINIT, 64));
  auto *global = static_cast<unsigned char *>(GlobalAlloc(GPTR, 64));
  ASSERT_TRUE(local && global);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(local[i] | global[i], 0) << "byte " << i << " is not zero";
  EXPECT_EQ(LocalFree(local), nullptr) << "success is NULL";
  EXPECT_EQ(GlobalFree(global), nullptr);
  char out[64];
  EXPECT_EQ(wsprintfA(out, "%d|%d", 1146, -42), 8);
  EXPECT_STREQ(out, "1146|-42");
}

TEST(EventLog, AnErrorEventWithDataIsWrittenThroughASourceOpenedByName) {
  HANDLE source = RegisterEventSourceA(nullptr, "WinsimConformance");
  ASSERT_NE(source, nullptr) << "error " << GetLastError();
  DWORD code = ERROR_ACCESS_DENIED;
  EXPECT_TRUE(ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 2001, nullptr, 0, sizeof code, nullptr, &code))
      << "error " << GetLastError();
  EXPECT_TRUE(DeregisterEventSource(source));
}

}  // namespace
