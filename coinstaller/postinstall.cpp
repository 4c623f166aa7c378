// After a successful installation: the card-type hooks run, the controller gets its channel
// count, and the maker's tools are set up (product values, the monitor's Run entry, the
// performance extension, the statistics console, the tool program), after which the monitor and
// the tool program are started unless a restart is pending. A channel count that cannot be recorded
// gives the number back, the device's Controller value with it, so that the device does not go on
// storing a number it no longer holds.
//
// Every path and command line is built whole or not at all. A program-files folder so long that
// a text would not fit its buffer makes the step that needs that text drop out, never a cut-off
// path in the registry or on a command line.
#include "capireg.h"
#include "coinstaller_constants.h"
#include "phases.h"
#include "setuplib.h"
#include "text_buffers.h"

namespace {

// The folder that stands in for the program-files folder when it cannot be read: the Windows
// folder's drive followed by "\Program Files".
void BuildFallbackProgramFilesDir(char *buffer, DWORD size) {
  char windowsFolder[kTextBufferSize];
  const UINT length = GetWindowsDirectoryA(windowsFolder, sizeof(windowsFolder));
  char drive[3] = {};
  const BOOL hasDrive = length >= 2 && length < sizeof(windowsFolder) && windowsFolder[1] == ':' &&
                        ((windowsFolder[0] >= 'A' && windowsFolder[0] <= 'Z') ||
                         (windowsFolder[0] >= 'a' && windowsFolder[0] <= 'z'));
  if (hasDrive) {
    drive[0] = windowsFolder[0];
    drive[1] = ':';
  }
  BuildText(buffer, size, {hasDrive ? drive : kDefaultSystemDrive, kProgramFilesFallbackFolder});
}

// TRUE when the install parameters of the device ask for a restart or reboot.
BOOL IsRestartPending(HDEVINFO set, PSP_DEVINFO_DATA device) {
  SP_DEVINSTALL_PARAMS_A params = {};
  params.cbSize = sizeof(params);
  // Parameters that cannot be read count as no restart.
  if (!SetupDiGetDeviceInstallParamsA(set, device, &params)) return FALSE;
  return (params.Flags & kRestartFlags) != 0;
}

void WriteProductValues(const char *toolsFolder, BOOL haveToolsFolder) {
  HKEY capiKey = nullptr;
  if (OpenProductCapiKey(&capiKey, kProductPath) != SETUP_STATUS_OK) return;
  if (haveToolsFolder) SetKeyDefaultValue(capiKey, kProductPathSubkey, toolsFolder);
  SetKeyDefaultValue(capiKey, kProductVersionSubkey, kToolsVersion);
  RegCloseKey(capiKey);
}

}  // namespace

BOOL GetProgramFilesDir(char *buffer, DWORD size) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCurrentVersionKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return FALSE;
  // Read into a buffer of our own so that the caller's stays as it was unless a usable folder
  // came: a non-empty string that fits with its terminator.
  char value[kTextBufferSize];
  DWORD type = REG_NONE;
  DWORD dataSize = (size < sizeof(value)) ? size : static_cast<DWORD>(sizeof(value));
  const LONG status =
      RegQueryValueExA(key, kProgramFilesValue, nullptr, &type, reinterpret_cast<BYTE *>(value), &dataSize);
  RegCloseKey(key);
  if (status == ERROR_SUCCESS && type == REG_SZ && dataSize > 0) {
    DWORD length = 0;
    while (length < dataSize && value[length] != '\0') ++length;
    if (length > 0 && length < dataSize) BuildText(buffer, size, {value});
  }
  return TRUE;
}

BOOL LaunchProgram(const char *programPath, const char *argument) {
  char commandLine[kTextBufferSize];
  if (!BuildText(commandLine, sizeof(commandLine), {programPath, " ", argument})) return FALSE;

  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, kLaunchCreationFlags, nullptr, nullptr,
                      &startup, &process)) {
    return FALSE;
  }
  // The program runs on by itself; it is not waited for.
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return TRUE;
}

DWORD PostInstallDevice(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD controller) {
  RunCardTypeHooks(set, device);
  // Asked after the hooks, so that a restart a hook requested counts.
  const BOOL startPrograms = !IsRestartPending(set, device);

  const DWORD channelsStatus = WriteControllerChannels(set, device);
  if (channelsStatus != NO_ERROR) {
    // The number goes back after the device's value, so that the device never stores a number it
    // does not hold; a value that cannot be cleared keeps its number.
    if (ClearDeviceController(set, device, controller)) ReleaseController(kManufacturerName, controller);
    return channelsStatus;
  }

  // The folder is taken from the registry when it holds a usable one, else the stand-in is.
  char programFiles[kTextBufferSize] = "";
  GetProgramFilesDir(programFiles, sizeof(programFiles));
  if (programFiles[0] == '\0') BuildFallbackProgramFilesDir(programFiles, sizeof(programFiles));

  char toolsFolder[kTextBufferSize];
  const BOOL haveToolsFolder = BuildText(toolsFolder, sizeof(toolsFolder), {programFiles, "\\", kToolsSubfolder});
  WriteProductValues(toolsFolder, haveToolsFolder);

  char monitorPath[kTextBufferSize];
  if (haveToolsFolder && BuildText(monitorPath, sizeof(monitorPath), {toolsFolder, "\\", kMonitorProgramFile})) {
    AddRunEntry(kMonitorRunValue, monitorPath);
    if (startPrograms) LaunchProgram(monitorPath, kProgramArgument);
  }

  // The previous registration of the performance extension goes before the new one, so that a
  // repeated installation leaves exactly one.
  DeleteKeyTree(HKEY_LOCAL_MACHINE, kPerfEventSourcePath, FALSE);
  RemovePerfCounters(kPerfServiceName);
  char counterPath[kTextBufferSize];
  if (BuildText(counterPath, sizeof(counterPath),
                {programFiles, "\\", kToolsSubfolder, "\\", kCounterDefinitionFile})) {
    RegisterPerformanceExtension(counterPath, kPerfLibrary, kPerfOpenEntry, kPerfCollectEntry, kPerfCloseEntry);
  }

  // Only the console file is quoted; program paths are stored and started without quotes.
  char statisticCommand[kTextBufferSize];
  if (BuildText(statisticCommand, sizeof(statisticCommand),
                {kStatisticCommandPrefix, "\"", programFiles, "\\", kToolsSubfolder, "\\", kStatisticConsoleFile,
                 "\""})) {
    SetStatisticProgram(statisticCommand);
  }

  char toolPath[kTextBufferSize];
  if (BuildText(toolPath, sizeof(toolPath), {programFiles, "\\", kToolsSubfolder, "\\", kToolProgramFile})) {
    SetMonitorSubkeyValue(kProductPath, kToolProgramValue, toolPath);
    if (startPrograms) LaunchProgram(toolPath, kProgramArgument);
  }
  return NO_ERROR;
}
