// Registration of a driver service's performance extension: the service's Performance key, the
// counter names and help texts loaded and unloaded by the platform's counter-text loader
// (LOADPERF.DLL, found at run time), and the extension's event source.
#include <string.h>

#include "setuplib.h"
#include "setuplib_constants.h"

// Writes `text` as the REG_SZ value `name`; false when it was not written.
static bool WritePerfValue(HKEY key, const char *name, const char *text) {
  if (text == nullptr) return false;
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text), RegistryTextSize(text)) ==
         ERROR_SUCCESS;
}

// "<prefix><argument>" in the command-line buffer; false when it would not fit.
template <size_t PrefixSize>
static bool BuildCommandLine(char (&commandLine)[kPathBufferSize], const char (&prefix)[PrefixSize],
                             const char *argument) {
  const size_t prefixLength = PrefixSize - 1;
  const size_t argumentLength = strlen(argument);
  if (argumentLength > kMaxPathLength - prefixLength) return false;
  memcpy(commandLine, prefix, prefixLength);
  memcpy(commandLine + prefixLength, argument, argumentLength + 1);
  return true;
}

// The counter-text loader's entry `entryName`, converted to the type both entries share.
static CounterTextFunction FindCounterTextEntry(HMODULE loader, const char *entryName) {
  const FARPROC entry = GetProcAddress(loader, entryName);
  // Through the generic function type, which converts to any other without a warning.
  return reinterpret_cast<CounterTextFunction>(reinterpret_cast<void (*)()>(entry));
}

// Writes the four values of the service's Performance key. Every value is tried even after one
// failed; false when the key could not be had or any value was not written.
static bool WritePerformanceKey(const char *serviceName, const char *libraryName, const char *openEntry,
                                const char *collectEntry, const char *closeEntry) {
  bool written = false;
  HKEY servicesKey = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServicesKeyPath, 0, KEY_WRITE, &servicesKey) != ERROR_SUCCESS) {
    return false;
  }
  HKEY serviceKey = nullptr;
  if (RegOpenKeyExA(servicesKey, serviceName, 0, KEY_WRITE, &serviceKey) == ERROR_SUCCESS) {
    HKEY performanceKey = nullptr;
    if (RegCreateKeyExA(serviceKey, kPerformanceSubkey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                        &performanceKey, nullptr) == ERROR_SUCCESS) {
      written = true;
      if (!WritePerfValue(performanceKey, kPerfLibraryValue, libraryName)) written = false;
      if (!WritePerfValue(performanceKey, kPerfOpenValue, openEntry)) written = false;
      if (!WritePerfValue(performanceKey, kPerfCollectValue, collectEntry)) written = false;
      if (!WritePerfValue(performanceKey, kPerfCloseValue, closeEntry)) written = false;
      RegCloseKey(performanceKey);
    }
    RegCloseKey(serviceKey);
  }
  RegCloseKey(servicesKey);
  return written;
}

// Has the loader load the counter texts of `counterFilePath`. The loader takes the bare file
// name and resolves it against the current directory, so the file's folder is made current for
// the call and the previous directory is restored afterwards. When the folder, the previous
// directory or the command line does not fit its buffer, the loader is not called and the
// current directory stays as it was.
static void LoadCounterTexts(CounterTextFunction loadTexts, const char *counterFilePath) {
  if (counterFilePath == nullptr) return;
  const char *lastSeparator = strrchr(counterFilePath, '\\');
  const char *fileName = lastSeparator != nullptr ? lastSeparator + 1 : counterFilePath;
  char commandLine[kPathBufferSize];
  if (!BuildCommandLine(commandLine, kLoadCommandPrefix, fileName)) return;

  char previousDirectory[kPathBufferSize];
  const DWORD previousLength = GetCurrentDirectoryA(kPathBufferSize, previousDirectory);
  if (previousLength == 0 || previousLength >= kPathBufferSize) return;

  char counterFolder[kPathBufferSize];
  char *filePart = nullptr;
  const DWORD fullLength = GetFullPathNameA(counterFilePath, kPathBufferSize, counterFolder, &filePart);
  if (fullLength == 0 || fullLength >= kPathBufferSize || filePart == nullptr) return;
  *filePart = '\0';  // keep the folder with its trailing backslash

  SetCurrentDirectoryA(counterFolder);
  loadTexts(commandLine, kCounterLoaderQuietMode);
  SetCurrentDirectoryA(previousDirectory);
}

DWORD InstallPerfCounters(const char *serviceName, const char *counterFilePath, const char *libraryName,
                          const char *openEntry, const char *collectEntry, const char *closeEntry) {
  // An empty name would name the services key itself, not a service.
  if (serviceName == nullptr || serviceName[0] == '\0') return SETUP_STATUS_FAILED;

  if (!WritePerformanceKey(serviceName, libraryName, openEntry, collectEntry, closeEntry)) {
    return SETUP_STATUS_FAILED;  // the counter texts are not loaded
  }

  // The registry part stands on its own: without the loader the texts are simply not loaded.
  HMODULE loader = LoadLibraryA(kCounterTextLoaderLibrary);
  if (loader == nullptr) return SETUP_STATUS_OK;
  const CounterTextFunction loadTexts = FindCounterTextEntry(loader, kLoadCounterTextsEntry);
  if (loadTexts != nullptr) LoadCounterTexts(loadTexts, counterFilePath);
  FreeLibrary(loader);
  return SETUP_STATUS_OK;
}

DWORD RemovePerfCounters(const char *serviceName) {
  if (serviceName == nullptr) return SETUP_STATUS_FAILED;
  // A name that does not fit the command line names no service the loader could know.
  char commandLine[kPathBufferSize];
  if (!BuildCommandLine(commandLine, kUnloadCommandPrefix, serviceName)) return SETUP_STATUS_FAILED;

  HMODULE loader = LoadLibraryA(kCounterTextLoaderLibrary);
  if (loader == nullptr) return SETUP_STATUS_FAILED;
  const CounterTextFunction unloadTexts = FindCounterTextEntry(loader, kUnloadCounterTextsEntry);
  if (unloadTexts == nullptr) {
    FreeLibrary(loader);
    return SETUP_STATUS_FAILED;
  }
  // The unloader fails when no texts were loaded; that is no failure of the removal.
  unloadTexts(commandLine, kCounterLoaderQuietMode);
  FreeLibrary(loader);
  return SETUP_STATUS_OK;
}

BOOL RegisterPerformanceExtension(const char *counterFilePath, const char *libraryName, const char *openEntry,
                                  const char *collectEntry, const char *closeEntry) {
  if (InstallPerfCounters(kPerfServiceName, counterFilePath, libraryName, openEntry, collectEntry, closeEntry) !=
      SETUP_STATUS_OK) {
    return FALSE;  // the event source is not registered either
  }
  return InstallEventLogSource(kPerfEventLogSourceKey, kPerfMessageFile, kPerfEventTypesSupported) ==
                 SETUP_STATUS_OK
             ? TRUE
             : FALSE;
}
