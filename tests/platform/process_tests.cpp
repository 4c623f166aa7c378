// Processes, modules and memory: CreateProcessA's failures when no program file is found, loading
// LOADPERF.DLL by name with reference counts, local and global memory, wsprintfA and
// FormatMessageA on a message given as text.
#include <cstdarg>
#include <cstring>
#include <string>

#include "platform_test.h"

namespace {

constexpr char kLoadPerf[] = "loadperf.dll";

STARTUPINFOA NormalStartup() {
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = 1;
  return startup;
}

// CreateProcessA with a command line only; returns the last error, or 0 when a process started
// (its handles are closed at once).
DWORD Start(const std::string &commandLine) {
  std::string line = commandLine;
  STARTUPINFOA startup = NormalStartup();
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
  // Every blank-separated prefix is tried; none of them names a file.
  EXPECT_EQ(Start(folder + "\\Two Words\\program.exe argument"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Start("\"" + folder + "\\Two Words\\program.exe\" argument"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND))
      << "a quoted program";
  EXPECT_EQ(Start(folder + "\\nothing "), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "with .exe added";
  EXPECT_EQ(Start("winsim-no-such-program.exe"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "searched by name";

  std::string application = folder + "\\missing.exe";
  STARTUPINFOA startup = NormalStartup();
  PROCESS_INFORMATION process;
  std::memset(&process, 0, sizeof process);
  char commandLine[] = "missing.exe";
  EXPECT_FALSE(CreateProcessA(application.c_str(), commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startup, &process));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "an application name that names no file";
}

TEST(LoadLibrary, SameModuleForEverySpellingUntilTheLastFree) {
  HMODULE first = LoadLibraryA(kLoadPerf);
  ASSERT_NE(first, nullptr) << "error " << GetLastError();
  HMODULE second = LoadLibraryA("LOADPERF");
  EXPECT_EQ(second, first) << "without extension, .dll is added; letter case does not matter";
  char system[MAX_PATH] = "";
  GetSystemDirectoryA(system, MAX_PATH);
  HMODULE third = LoadLibraryExA((std::string(system) + "\\LoadPerf.Dll").c_str(), nullptr, 0);
  EXPECT_EQ(third, first) << "with the system folder in front";
  EXPECT_EQ(GetModuleHandleA("LOADPERF.DLL"), first);

  EXPECT_NE(GetProcAddress(first, "LoadPerfCounterTextStringsA"), nullptr);
  EXPECT_NE(GetProcAddress(first, "UnloadPerfCounterTextStringsA"), nullptr);
  EXPECT_EQ(GetProcAddress(first, "loadperfcountertextstringsa"), nullptr) << "export names are exact";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

  EXPECT_TRUE(FreeLibrary(third));
  EXPECT_TRUE(FreeLibrary(second));
  EXPECT_EQ(GetModuleHandleA(kLoadPerf), first) << "still loaded once";
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_EQ(GetModuleHandleA(kLoadPerf), nullptr) << "unloaded by the last FreeLibrary";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(LoadLibrary, MissingModule) {
  EXPECT_EQ(LoadLibraryA("winsim-no-such-module.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(GetModuleHandleA("winsim-no-such-module.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(Memory, ZeroedBlocksAndFreeing) {
  auto *local = static_cast<unsigned char *>(LocalAlloc(LPTR, 64));
  ASSERT_NE(local, nullptr);
  auto *global = static_cast<unsigned char *>(GlobalAlloc(GPTR, 64));
  ASSERT_NE(global, nullptr);
  for (int i = 0; i < 64; ++i) {
    ASSERT_EQ(local[i], 0) << "LPTR zero-fills, byte " << i;
    ASSERT_EQ(global[i], 0) << "GPTR zero-fills, byte " << i;
  }
  std::memset(local, 0xAB, 64);  // the whole block is usable
  EXPECT_EQ(LocalFree(local), nullptr) << "success is NULL";
  EXPECT_EQ(GlobalFree(global), nullptr);
  EXPECT_EQ(LocalFree(nullptr), nullptr) << "NULL is ignored";
}

TEST(Wsprintf, ConversionsFlagsAndWidths) {
  char out[1100];
  EXPECT_EQ(wsprintfA(out, "%d|%5d|%-5d|%05d|%i", -42, 42, 42, 42, -1), 24);
  EXPECT_STREQ(out, "-42|   42|42   |00042|-1");
  EXPECT_EQ(wsprintfA(out, "%u %x %X %lx %lu", 4294967295u, 255u, 255u, 0xABCDEFu, 7u), 25);
  EXPECT_STREQ(out, "4294967295 ff FF abcdef 7");
  EXPECT_EQ(wsprintfA(out, "%s|%8s|%-4s|%c|%%", "abc", "right", "l", 'Z'), 21);
  EXPECT_STREQ(out, "abc|   right|l   |Z|%");
  EXPECT_EQ(wsprintfA(out, "%#x %.3d %.2s", 26u, 7, "abcdef"), 11);
  EXPECT_STREQ(out, "0x1a 007 ab");
  EXPECT_EQ(lstrlenA("seven!!"), 7);
  EXPECT_EQ(lstrlenA(""), 0);
}

TEST(Wsprintf, OutputStopsAt1023Characters) {
  std::string longText(2000, 'x');
  char out[2100];
  std::memset(out, '#', sizeof out);
  wsprintfA(out, "%s", longText.c_str());
  EXPECT_EQ(std::strlen(out), 1023u) << "the output buffer is 1024 bytes, terminator included";
  EXPECT_EQ(out[1024], '#') << "nothing is written beyond it";
}

DWORD FormatWithArguments(char *buffer, DWORD size, const char *text, ...) {
  va_list args;
  va_start(args, text);
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_STRING, text, 0, 0, buffer, size, &args);
  va_end(args);
  return length;
}

TEST(FormatMessage, InsertsEscapesAndBuffers) {
  char out[128];
  DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>("box"), 3};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, "%1 has %2!d! items%n",
                                0, 0, out, sizeof out, reinterpret_cast<va_list *>(arguments));
  EXPECT_STREQ(out, "box has 3 items\r\n");
  EXPECT_EQ(length, std::strlen("box has 3 items\r\n"));

  EXPECT_EQ(FormatWithArguments(out, sizeof out, "%2-%1", "a", "b"), 3u);
  EXPECT_STREQ(out, "b-a") << "inserts from a va_list, in any order";

  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS, "%1 stays", 0, 0, out,
                           sizeof out, nullptr),
            8u);
  EXPECT_STREQ(out, "%1 stays");

  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "twelve chars", 0, 0, out, 5, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

  char *allocated = nullptr;
  length = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER, "allocated", 0, 0,
                          reinterpret_cast<char *>(&allocated), 0, nullptr);
  EXPECT_EQ(length, 9u);
  ASSERT_NE(allocated, nullptr);
  EXPECT_STREQ(allocated, "allocated");
  EXPECT_EQ(LocalFree(allocated), nullptr) << "the buffer comes from LocalAlloc";
}

}  // namespace
