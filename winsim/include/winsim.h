// The simulated platform's own face for tests and tools: machine set-up, fault injection,
// accounting and recording. Nothing here exists on Windows; product code never includes it.
//
// Paths: registry paths are written with their root, "HKEY_LOCAL_MACHINE\SOFTWARE\CAPI20" (the
// abbreviations HKLM, HKCU, HKCR, HKU and HKCC are accepted too). File paths are Windows paths
// ("C:\WINDOWS\inf\oem5.inf"); the simulation maps drive C: onto a host folder (SetFileRoot).
#ifndef WINSIM_WINSIM_H
#define WINSIM_WINSIM_H

#include <windows.h>
#include <setupapi.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace winsim {

// ---- Machine -------------------------------------------------------------------------------

// Forgets everything: registry (only the predefined roots remain), open handles, faults, call
// counts, events, processes, windows, classes, timers, loaded modules, listeners, the virtual
// clock (back to 0), the current directory (C:\), the Windows directory (C:\WINDOWS), the
// architecture (x86), the event log's and LOADPERF.DLL's presence (both back). Kept: the file
// root (the files under it are not touched), the registered builtin modules, and the numbers of
// registered window messages (a loaded module may keep one for its whole life).
void Reset();

// Restarts the machine, as a shutdown and a new start do: volatile registry keys vanish; the
// devices plugged in (present ones) are present again; every handle, memory block, loaded
// module, window, window class, timer and piece of scheduled work of the old boot is gone (a
// handle of the old boot given to a call is a verifier stop), and with their windows the quit
// listeners; the current directory is C:\ again. Kept: what is on disk (the non-volatile
// registry, which holds what the counter-text loader loaded, the files and the event log's
// records), the records of what happened (started processes, counter-loader calls, message trace,
// call counts, verifier stops), the virtual clock, armed faults and the machine's settings.
void Restart();

// Maps drive C: onto hostDir (created if missing), with the Windows folder and its system32 and
// inf folders in it. Every other drive letter is absent.
void SetFileRoot(const std::string &hostDir);
const std::string &FileRoot();
// The host path that a Windows path maps to (whether or not it exists), or "" when the path is
// not on drive C:. Components are matched without regard to letter case against what exists.
std::string HostPath(const std::string &windowsPath);

void SetWindowsDirectory(const std::string &windowsPath);  // default "C:\WINDOWS"
// Architecture used for INF decorations: "x86" (default, tries .NTx86, .NT, none) or "amd64".
void SetArchitecture(const std::string &arch);

// ---- Registry ------------------------------------------------------------------------------

struct RegValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

// Applies REGEDIT4 text ("REGEDIT4" header, [key], [-key], "name"="text", @=..., dword:,
// hex:, hex(N):, "name"=-) to the registry. Also accepts "Windows Registry Editor Version 5.00"
// text. Returns false and sets *error to "line N: what is wrong" on malformed input, in which case
// nothing was changed.
bool LoadReg(const std::string &text, std::string *error = nullptr);
// REGEDIT4 text of the key and everything below it (subkeys in sorted order), "" if missing.
// Lines end with CR LF, as regedit writes them.
std::string ExportReg(const std::string &keyPath);

bool KeyExists(const std::string &keyPath);
std::optional<RegValue> GetValue(const std::string &keyPath, const std::string &name);
std::optional<DWORD> GetDword(const std::string &keyPath, const std::string &name);         // REG_DWORD, 4 bytes
std::optional<std::string> GetString(const std::string &keyPath, const std::string &name);  // up to first NUL
// Creates missing keys on the way. Strings are stored with their terminating NUL.
void SetValue(const std::string &keyPath, const std::string &name, DWORD type, const std::vector<BYTE> &data);
void SetDword(const std::string &keyPath, const std::string &name, DWORD value);
void SetString(const std::string &keyPath, const std::string &name, const std::string &text);
void CreateKey(const std::string &keyPath, bool isVolatile = false);
void DeleteTree(const std::string &keyPath);                       // no error when missing
std::vector<std::string> SubkeyNames(const std::string &keyPath);  // enumeration order

// Makes opens of the key that ask for any right in `denied` fail with ERROR_ACCESS_DENIED, and
// RegDeleteKeyA of it too when DELETE is in `denied` (and the creation of new subkeys under it
// when KEY_CREATE_SUB_KEY is), until RegSetKeySecurity gives the key a present null DACL. Opens
// asking only for WRITE_DAC are always allowed. The key must exist.
// Helpers that create keys or set values, and DenyAccess, throw std::invalid_argument for a path
// that is not a registry key path (unknown root) or names a missing key.
void DenyAccess(const std::string &keyPath, REGSAM denied);

// ---- Files ---------------------------------------------------------------------------------

void PutFile(const std::string &windowsPath, const std::string &bytes);  // creates folders
std::optional<std::string> GetFile(const std::string &windowsPath);
bool HasFile(const std::string &windowsPath);
void RemoveFile(const std::string &windowsPath);

// ---- Devices (kept in the registry as Windows keeps them) ----------------------------------

struct NewDevice {
  std::string instanceId;  // "ROOT\ORVIK\0000"
  std::string classGuid;   // "{...}" in registry form
  std::vector<std::string> hardwareIds;
  std::vector<std::string> compatibleIds;
  std::string service;
  std::string description;
  bool present = true;
  // Gives the device a software key "{classGuid}\NNNN" (next free index) when true.
  bool withDriverKey = true;
};
// Writes the Enum key (and the software key), returns the instance id.
std::string AddDevice(const NewDevice &device);
void SetDevicePresent(const std::string &instanceId, bool present);
bool IsDevicePresent(const std::string &instanceId);
// Full registry path of the software key ("HKEY_LOCAL_MACHINE\SYSTEM\...\Class\{guid}\0000"),
// "" when the device has none; and of the hardware key (Device Parameters).
std::string DriverKeyPath(const std::string &instanceId);
std::string HardwareKeyPath(const std::string &instanceId);
// Registers a setup class: Class\{guid} with its default value and "Class" = name.
void AddSetupClass(const std::string &classGuid, const std::string &className);
// Parses "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (case-insensitive).
bool ParseGuid(const std::string &text, GUID *guid);
std::string FormatGuid(const GUID &guid);  // upper-case registry form with braces

// ---- Fault injection -----------------------------------------------------------------------

// The n-th call (1-based, counted from now) of `function` (its Win32 name, e.g. "RegOpenKeyExA")
// fails with `error`. A failing call does nothing else and reports as the function reports
// (return code, or FALSE / NULL / INVALID_HANDLE_VALUE with the last-error code).
void FailNthCall(const std::string &function, unsigned n, DWORD error);
// Every call of `function` ("" = any function) whose subject (full registry key path, file path,
// device instance id, INF path, class name, ...) contains `subjectPart` (case-insensitive) fails.
void FailCallsMatching(const std::string &function, const std::string &subjectPart, DWORD error);
// The n-th platform call overall (1-based, counted from now) fails with that function's most
// plausible error. Returns nothing; FailedCall() tells afterwards which call it was.
void FailNthPlatformCall(unsigned n);
struct FailedCallInfo {
  std::string function;
  std::string subject;
  DWORD error = 0;
};
std::optional<FailedCallInfo> FailedCall();  // the last injected failure that fired
void ClearFaults();

// ---- Accounting ----------------------------------------------------------------------------

struct HandleCounts {
  long regKeys = 0, files = 0, findHandles = 0, eventSources = 0, devInfoSets = 0, infs = 0;
  long processes = 0, threads = 0, modules = 0, localAllocs = 0, globalAllocs = 0;
  long windows = 0, classes = 0, timers = 0;
  long Total() const;
};
HandleCounts OpenHandles();
std::string DescribeOpenHandles();  // "" when none; otherwise one line per open handle

// Platform calls made since Reset() or ResetCallCounts(), by function name.
std::map<std::string, unsigned long> CallCounts();
unsigned long TotalCalls();
void ResetCallCounts();
// Optional trace of every platform call ("RegOpenKeyExA HKLM\SOFTWARE\CAPI20 -> 0").
void SetCallTrace(std::function<void(const std::string &line)> sink);

// ---- Verifier stops ------------------------------------------------------------------------

// Misuse that Windows lets through only to fail later (a handle closed twice, a handle used after
// its close), an option whose effect Windows does not document, and a wait that would never end
// are stopped by the simulation, as a verifier stops them on Windows: the call reports the failure
// Windows documents for it and the stop is recorded here, naming the call. Reset() keeps the
// record, so a stop made before a fresh machine is not lost; the test fixture fails every test that
// leaves a stop it did not take.
struct VerifierStop {
  std::string function;  // the platform call that was stopped
  std::string what;      // what was wrong, in plain words
};
const std::vector<VerifierStop> &VerifierStops();
// Hands over the stops recorded so far and forgets them: a test that expects a stop checks it.
std::vector<VerifierStop> TakeVerifierStops();
// One line per stop ("RegCloseKey: ..."), "" when there is none.
std::string DescribeVerifierStops(const std::vector<VerifierStop> &stops);

// ---- Event log -----------------------------------------------------------------------------

struct EventRecord {
  std::string source;
  WORD type = 0;
  WORD category = 0;
  DWORD id = 0;
  std::vector<std::string> strings;
  std::vector<BYTE> data;
};
const std::vector<EventRecord> &Events();
void ClearEvents();
// While unavailable, RegisterEventSourceA returns NULL with RPC_S_SERVER_UNAVAILABLE-like error.
void SetEventLogAvailable(bool available);

// ---- Processes, modules and the counter-text loader ----------------------------------------

struct ProcessRecord {
  std::string applicationName;   // as passed (may be "")
  std::string commandLine;       // as passed
  std::string imagePath;         // the program file that was started (full path)
  std::string currentDirectory;  // as passed, or the process's current directory
  DWORD creationFlags = 0;
  BOOL inheritHandles = FALSE;
  DWORD startupCb = 0, startupFlags = 0;
  WORD showWindow = 0;
};
const std::vector<ProcessRecord> &StartedProcesses();

// Makes a module that is linked into the host program loadable by LoadLibraryA under `fileName`
// (matched without folder and letter case). DllMain, when given, gets attach and detach calls.
// Messages are the module's message table for FormatMessageA (language 1033).
struct BuiltinModule {
  std::string fileName;
  BOOL(WINAPI *dllMain)(HINSTANCE, DWORD, LPVOID) = nullptr;
  std::map<std::string, FARPROC> exports;
  std::map<DWORD, std::string> messages;
};
void RegisterBuiltinModule(const BuiltinModule &module);

struct LoadPerfCall {
  std::string function;  // "LoadPerfCounterTextStringsA" or "UnloadPerfCounterTextStringsA"
  std::string commandLine;
  std::string currentDirectory;  // at the moment of the call, with a trailing backslash
  BOOL quiet = FALSE;
  DWORD result = 0;
};
const std::vector<LoadPerfCall> &LoadPerfCalls();
// A missing library makes LoadLibraryA("LOADPERF.DLL") fail with ERROR_MOD_NOT_FOUND; a missing
// entry makes GetProcAddress fail with ERROR_PROC_NOT_FOUND.
void SetLoadPerf(bool libraryPresent, bool loadEntryPresent = true, bool unloadEntryPresent = true);

// ---- Windows, messages and virtual time ----------------------------------------------------

uint64_t NowMs();  // virtual clock
// Runs `action` when the virtual clock reaches atMs, on behalf of another process: the simulated
// thread's GetMessageA runs due actions before it sleeps, and advances the clock to the next due
// timer or action when its queue is empty. With nothing at all pending (no message, timer or
// action), a real thread would wait forever: GetMessageA records a verifier stop instead (see
// VerifierStops) and returns -1 only so that the program can run to its end.
void ScheduleAt(uint64_t atMs, std::function<void()> action);

// A top-level window of another process that listens for the quit message "ORVIK.Quit".
struct QuitReply {
  unsigned code = 1;     // 1 QuitPresent, 3 QuitDone, 5 QuitRefused, or any stray code
  bool bySend = true;    // SendMessageA (handled at once) or PostMessageA (queued)
  uint64_t delayMs = 0;  // virtual delay after the message that it answers
  // Instead of the quit message: posts WM_USER (wParam and lParam 0) to the thread of the asking
  // window, addressed to no window, as a program may post stray thread messages.
  bool toThread = false;
};
struct QuitListener {
  std::string name = "listener";
  std::vector<QuitReply> onQuery{QuitReply{1, true, 0}};   // answers to QuitQuery
  std::vector<QuitReply> onOrder{QuitReply{3, false, 0}};  // answers to QuitOrder
  bool exitsAfterOrder = true;                             // the window goes away after answering the order
  int64_t vanishAtMs = -1;                                 // the window goes away at this virtual time (-1: never)
  // The listener's thread handles no message from hangAtMs (virtual time; -1: never) for hangForMs
  // (UINT64_MAX: for good): a message sent to its window waits, a posted one stays queued. Once it
  // has handled nothing for more than 5000 ms it is hung, and SendMessageTimeoutA with
  // SMTO_ABORTIFHUNG passes it over at once.
  int64_t hangAtMs = -1;
  uint64_t hangForMs = 0;
};
int AddQuitListener(const QuitListener &listener);  // returns an id
bool QuitListenerAlive(int id);

struct MessageTraceEntry {
  uint64_t timeMs = 0;
  std::string from, to;  // "module", listener names, "broadcast"; WM_TIMER comes from "system"
  UINT message = 0;
  std::string messageName;  // "ORVIK.Quit" for registered ones, "WM_TIMER", ...
  WPARAM wParam = 0;
  bool sent = false;   // sent (true) or posted (false)
  LRESULT result = 0;  // what a window of the module returned for a message another process sent it
  // For a window that a SendMessageTimeoutA did not reach: why ("passed over: not responding for
  // 6000 ms", "timed out after 2000 ms"); "" otherwise.
  std::string note;
};
const std::vector<MessageTraceEntry> &MessageTrace();

}  // namespace winsim

#endif  // WINSIM_WINSIM_H
