// The maker's product key below HKEY_LOCAL_MACHINE (its CAPI and Monitor branches) and the
// monitor's entry in the system's Run key. Opening a product branch creates every missing level
// on the way.
#include "setuplib.h"
#include "setuplib_constants.h"

// Opens (creating when missing) the branch `branchName` below the product path. The product key
// itself is closed again; only the branch's handle goes to the caller.
static DWORD OpenProductBranch(HKEY *branchKey, const char *productPath, const char *branchName) {
  if (branchKey == nullptr) return SETUP_STATUS_KEY_FAILED;
  *branchKey = nullptr;

  HKEY productKey = nullptr;
  DWORD status = CreateKeyPath(HKEY_LOCAL_MACHINE, productPath, &productKey);
  if (status != SETUP_STATUS_OK) return status;

  if (RegCreateKeyExA(productKey, branchName, 0, nullptr, REG_OPTION_NON_VOLATILE, kProductBranchAccess, nullptr,
                      branchKey, nullptr) != ERROR_SUCCESS) {
    *branchKey = nullptr;
    status = SETUP_STATUS_KEY_FAILED;
  }
  RegCloseKey(productKey);
  return status;
}

DWORD OpenProductCapiKey(HKEY *capiKey, const char *productPath) {
  return OpenProductBranch(capiKey, productPath, kProductCapiBranch);
}

DWORD OpenProductMonitorKey(HKEY *monitorKey, const char *productPath) {
  return OpenProductBranch(monitorKey, productPath, kProductMonitorBranch);
}

BOOL SetMonitorSubkeyValue(const char *productPath, const char *valueName, const char *text) {
  if (valueName == nullptr || text == nullptr) return FALSE;

  HKEY monitorKey = nullptr;
  if (OpenProductMonitorKey(&monitorKey, productPath) != SETUP_STATUS_OK) return FALSE;
  HKEY runKey = nullptr;
  if (RegCreateKeyExA(monitorKey, kMonitorRunSubkey, 0, nullptr, REG_OPTION_NON_VOLATILE, kProductBranchAccess,
                      nullptr, &runKey, nullptr) != ERROR_SUCCESS) {
    RegCloseKey(monitorKey);
    return FALSE;
  }
  RegCloseKey(monitorKey);

  const LONG result =
      RegSetValueExA(runKey, valueName, 0, REG_SZ, reinterpret_cast<const BYTE *>(text), RegistryTextSize(text));
  RegCloseKey(runKey);
  return result == ERROR_SUCCESS ? TRUE : FALSE;
}

BOOL WriteBuildNumber(const char *productPath, LONG buildNumber) {
  HKEY capiKey = nullptr;
  if (OpenProductCapiKey(&capiKey, productPath) != SETUP_STATUS_OK) return FALSE;

  // Signed decimal: at most 11 characters, well inside the buffer.
  char text[kPathBufferSize];
  wsprintfA(text, kBuildNumberFormat, static_cast<int>(buildNumber));
  const BOOL written = SetKeyDefaultValue(capiKey, kBuildNumberSubkey, text);
  RegCloseKey(capiKey);
  return written;
}

BOOL SetStatisticProgram(const char *commandLine) {
  HKEY monitorKey = nullptr;
  if (OpenProductMonitorKey(&monitorKey, kStatisticProductPath) != SETUP_STATUS_OK) return FALSE;
  // The command line is recorded if it can be; the result says only that the branch was there.
  SetKeyDefaultValue(monitorKey, kStatisticProgramSubkey, commandLine);
  RegCloseKey(monitorKey);
  return TRUE;
}

DWORD AddRunEntry(const char *valueName, const char *commandLine) {
  if (valueName == nullptr || commandLine == nullptr) return SETUP_STATUS_VALUE_WRITE_FAILED;

  HKEY runKey = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSystemRunKeyPath, 0, KEY_WRITE, &runKey) != ERROR_SUCCESS) {
    return SETUP_STATUS_KEY_FAILED;
  }
  const LONG result = RegSetValueExA(runKey, valueName, 0, REG_SZ, reinterpret_cast<const BYTE *>(commandLine),
                                     RegistryTextSize(commandLine));
  RegCloseKey(runKey);
  return result == ERROR_SUCCESS ? SETUP_STATUS_OK : SETUP_STATUS_VALUE_WRITE_FAILED;
}

DWORD RemoveRunEntry(const char *valueName) {
  if (valueName == nullptr) return SETUP_STATUS_VALUE_DELETE_FAILED;

  HKEY runKey = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSystemRunKeyPath, 0, KEY_READ | KEY_WRITE, &runKey) != ERROR_SUCCESS) {
    return SETUP_STATUS_KEY_FAILED;
  }
  const DWORD status =
      RegDeleteValueA(runKey, valueName) == ERROR_SUCCESS ? SETUP_STATUS_OK : SETUP_STATUS_VALUE_DELETE_FAILED;
  RegCloseKey(runKey);
  return status;
}
