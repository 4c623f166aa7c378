// Shared by the platform conformance tests, which build twice from the same sources: on the Linux
// host against the simulated platform and with x86_64-w64-mingw32 as a Windows program run under
// Wine. Only the Win32 API is used here; nothing of the simulation's own interface.
#ifndef TESTS_PLATFORM_TEST_H
#define TESTS_PLATFORM_TEST_H

#include <gtest/gtest.h>
#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

// True when the program runs under Wine (ntdll exports wine_get_version).
bool UnderWine();

// Skips the rest of the test under Wine only, naming the known difference from Windows.
#define SKIP_UNDER_WINE(reason)                                  \
  do {                                                           \
    if (UnderWine()) GTEST_SKIP() << "Wine differs: " << reason; \
  } while (0)

// For a call just made with a handle that Windows code must not pass (closed before, NULL or
// INVALID_HANDLE_VALUE where a handle is required): the simulated platform's verifier has stopped
// `function` once, as a handle verifier does on Windows, and the test takes that stop. Under Wine
// the call only fails, and this checks nothing.
void ExpectVerifierStop(const char *function);
// The result of such a call, after ExpectVerifierStop: EXPECT_FALSE(Stopped("FindClose", FindClose(h))).
template <typename T>
T Stopped(const char *function, T result) {
  ExpectVerifierStop(function);
  return result;
}

// One row of a table-driven check: what was tried, the result that came and the result Windows
// gives. The calls of a braced list of rows are made in the order written.
struct Row {
  std::string what;
  long long got, expected;
};
// Checks every row; a mismatch names its row, the result expected and the one that came.
void ExpectRows(const std::vector<Row> &rows);
// The last-error code of a call that returned `ok`, or 0 when it succeeded.
DWORD ErrorOf(BOOL ok);

// Text of lines that each end in CR LF, as INF and .reg files have them.
std::string CrLf(std::initializer_list<std::string> lines);
// Writes a whole file through CreateFileA; false when it cannot be created or written.
bool PutFile(const std::string &path, const std::string &bytes);

// A registry key below HKEY_CURRENT_USER private to the running test
// ("Software\WinsimConformance\<suite>.<test>"); created empty by ScratchKey(), deleted by
// DeleteScratchKey().
std::string ScratchKeyPath();
HKEY ScratchKey();
void DeleteScratchKey();

// A folder on drive C: private to the running test ("C:\winsim-conformance\<suite>.<test>"),
// created empty.
std::string ScratchFolder();

#endif  // TESTS_PLATFORM_TEST_H
