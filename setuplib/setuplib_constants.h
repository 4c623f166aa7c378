// Fixed names and values of the setup support library: registry paths and value names, the
// counter-text loader's names, the autoexec.nt block and the buffer sizes. They are part of the
// module, not configuration.
#ifndef ONLCOIN_SETUPLIB_CONSTANTS_H
#define ONLCOIN_SETUPLIB_CONSTANTS_H

#include <string.h>
#include <windows.h>

// Paths, names and command lines are built in buffers of the platform's path limit.
constexpr DWORD kPathBufferSize = MAX_PATH;
constexpr size_t kMaxPathLength = kPathBufferSize - 1;  // characters, without the terminator

// ---- Event log sources ----
// Registration keys of event sources live below this prefix; the caller adds "Log\Source".
constexpr char kEventLogKeyPrefix[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\";
constexpr size_t kEventLogKeyPrefixLength = sizeof(kEventLogKeyPrefix) - 1;
constexpr const char *kEventMessageFileValue = "EventMessageFile";
constexpr const char *kTypesSupportedValue = "TypesSupported";
constexpr WORD kNoEventCategory = 0;

// ---- Registry utilities and product keys ----
constexpr REGSAM kProductBranchAccess = KEY_READ | KEY_WRITE;
constexpr const char *kDefaultValueName = "";
constexpr const char *kProductCapiBranch = "CAPI";
constexpr const char *kProductMonitorBranch = "Monitor";
constexpr const char *kMonitorRunSubkey = "Run";
constexpr const char *kBuildNumberSubkey = "BuildNumber";
constexpr const char *kStatisticProgramSubkey = "StatisticProgram";
constexpr const char *kBuildNumberFormat = "%d";
// The statistics program is recorded under the product key as spelled here; registry names
// ignore letter case, so this is the same key as "Software\ORVIK".
constexpr const char *kStatisticProductPath = "SOFTWARE\\ORVIK";
// The system's Run key: opened, never created.
constexpr const char *kSystemRunKeyPath = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// ---- Performance counters ----
constexpr const char *kServicesKeyPath = "SYSTEM\\CurrentControlSet\\Services";
constexpr const char *kPerformanceSubkey = "Performance";
constexpr const char *kPerfLibraryValue = "Library";
constexpr const char *kPerfOpenValue = "Open";
constexpr const char *kPerfCollectValue = "Collect";
constexpr const char *kPerfCloseValue = "Close";
constexpr const char *kCounterTextLoaderLibrary = "LOADPERF.DLL";
constexpr const char *kLoadCounterTextsEntry = "LoadPerfCounterTextStringsA";
constexpr const char *kUnloadCounterTextsEntry = "UnloadPerfCounterTextStringsA";
constexpr char kLoadCommandPrefix[] = "lodctr ";
constexpr char kUnloadCommandPrefix[] = "unlodctr ";
constexpr BOOL kCounterLoaderQuietMode = FALSE;
// The adapter driver's performance extension as this module registers it.
constexpr const char *kPerfServiceName = "onlbase";
constexpr const char *kPerfEventLogSourceKey = "Application\\linkperf";
constexpr const char *kPerfMessageFile = "%SystemRoot%\\System32\\onlperf.dll";
constexpr DWORD kPerfEventTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

// Both entry points of the counter-text loader take a command line and a quiet-mode flag.
typedef DWORD(WINAPI *CounterTextFunction)(LPSTR commandLine, BOOL quietMode);

// ---- autoexec.nt ----
constexpr char kAutoexecRelativePath[] = "\\system32\\autoexec.nt";
// The CAPI support block, matched byte for byte and written without a terminator.
constexpr char kCapiSupportBlock[] = "REM Install CAPI support\r\nlh %SystemRoot%\\system32\\capidos\r\n";
constexpr DWORD kCapiSupportBlockLength = sizeof(kCapiSupportBlock) - 1;
constexpr char kLineBreak[] = "\r\n";
constexpr DWORD kLineBreakLength = sizeof(kLineBreak) - 1;

// Data size of a text written as REG_SZ: its characters and the terminating NUL.
inline DWORD RegistryTextSize(const char *text) {
  return static_cast<DWORD>(strlen(text) + 1);
}

#endif  // ONLCOIN_SETUPLIB_CONSTANTS_H
