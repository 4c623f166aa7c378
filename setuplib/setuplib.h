// Setup support library: event log, performance counters, registry utilities and product keys,
// the autoexec.nt CAPI support block and the monitor quit protocol. The installation phases call
// these; the library itself calls nothing outside the platform and never logs by itself.
#ifndef ONLCOIN_SETUPLIB_H
#define ONLCOIN_SETUPLIB_H

#include <windows.h>

// ---- Status codes (0 is success; operations without a status return a 1/0 flag) ----
constexpr DWORD SETUP_STATUS_OK = 0x00000000;
constexpr DWORD SETUP_STATUS_FAILED = 0xFFFFFFFF;
constexpr DWORD SETUP_STATUS_KEY_FAILED = 0xC000000A;
constexpr DWORD SETUP_STATUS_FILE_FAILED = 0xC000000F;
constexpr DWORD SETUP_STATUS_UNAVAILABLE = 0xC0000010;
constexpr DWORD SETUP_STATUS_VALUE_WRITE_FAILED = 0xC0000011;
constexpr DWORD SETUP_STATUS_KEY_DELETE_FAILED = 0xC0000014;
constexpr DWORD SETUP_STATUS_VALUE_DELETE_FAILED = 0xC0000015;
constexpr DWORD SETUP_STATUS_QUIT_REFUSED = 0xC0000017;
constexpr DWORD SETUP_STATUS_STILL_RUNNING = 0xC0000018;

// ---- Event identifiers of the module's message table (resources/messages.mc) ----
constexpr DWORD EVENT_GET_CLASS_DEVS_FAILED = 2000;
constexpr DWORD EVENT_GET_SELECTED_DRIVER_FAILED = 2001;
constexpr DWORD EVENT_ADD_CAPI_DEVICE_FAILED = 2003;
constexpr DWORD EVENT_SET_CONTROLLER_FAILED = 2004;
constexpr DWORD EVENT_SET_CAPI_DEVICE_NAME_FAILED = 2005;

// ---- Event log source and event reporting (eventlog.cpp) ----
DWORD InstallEventLogSource(const char *logAndSource, const char *messageFile, DWORD typesSupported);
DWORD ReportErrorEvent(const char *sourceName, DWORD eventId);
DWORD ReportErrorEventWithData(const char *sourceName, DWORD eventId, const void *data, DWORD dataSize);

// ---- Performance counter registration (perfcounters.cpp) ----
DWORD InstallPerfCounters(const char *serviceName, const char *counterFilePath, const char *libraryName,
                          const char *openEntry, const char *collectEntry, const char *closeEntry);
DWORD RemovePerfCounters(const char *serviceName);
BOOL RegisterPerformanceExtension(const char *counterFilePath, const char *libraryName, const char *openEntry,
                                  const char *collectEntry, const char *closeEntry);

// ---- Registry utilities and product keys (registry_utils.cpp, product_keys.cpp) ----
DWORD CreateKeyPath(HKEY root, const char *path, HKEY *lastLevel);
BOOL SetKeyDefaultValue(HKEY key, const char *subkeyName, const char *text);
DWORD DeleteKeyTree(HKEY root, const char *path, BOOL grantAccess);
BOOL GrantOpenAccess(HKEY key);
DWORD OpenProductCapiKey(HKEY *capiKey, const char *productPath);
DWORD OpenProductMonitorKey(HKEY *monitorKey, const char *productPath);
BOOL SetMonitorSubkeyValue(const char *productPath, const char *valueName, const char *text);
DWORD AddRunEntry(const char *valueName, const char *commandLine);
DWORD RemoveRunEntry(const char *valueName);
BOOL WriteBuildNumber(const char *productPath, LONG buildNumber);
BOOL SetStatisticProgram(const char *commandLine);

// ---- autoexec.nt CAPI support block (autoexec.cpp) ----
constexpr DWORD AUTOEXEC_MODE_ADD = 0;
constexpr DWORD AUTOEXEC_MODE_REMOVE = 1;
DWORD EditAutoexecNt(DWORD mode);
void AddCapiSupportToAutoexec();
void RemoveCapiSupportFromAutoexec();

// ---- Monitor quit protocol (quit_protocol.cpp) ----
// Codes carried in wParam of the registered message "ORVIK.Quit".
constexpr WPARAM QUIT_QUERY = 0;
constexpr WPARAM QUIT_PRESENT = 1;
constexpr WPARAM QUIT_ORDER = 2;
constexpr WPARAM QUIT_DONE = 3;
constexpr WPARAM QUIT_REFUSED = 5;
DWORD CloseMonitorApplications(HINSTANCE instance);
DWORD RunQuitWindow(HINSTANCE instance);
LRESULT CALLBACK QuitWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL HandleQuitReply(HWND window, UINT message, WPARAM wParam);
BOOL BroadcastQuitQuery(HWND window);

#endif  // ONLCOIN_SETUPLIB_H
