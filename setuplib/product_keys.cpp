// Not built yet: placeholders that do nothing, so that the module links while this file's
// operations are written. No test relies on them.
#include "setuplib.h"

DWORD OpenProductCapiKey(HKEY *, const char *) { return SETUP_STATUS_KEY_FAILED; }
DWORD OpenProductMonitorKey(HKEY *, const char *) { return SETUP_STATUS_KEY_FAILED; }
BOOL SetMonitorSubkeyValue(const char *, const char *, const char *) { return FALSE; }
DWORD AddRunEntry(const char *, const char *) { return SETUP_STATUS_KEY_FAILED; }
DWORD RemoveRunEntry(const char *) { return SETUP_STATUS_KEY_FAILED; }
BOOL WriteBuildNumber(const char *, LONG) { return FALSE; }
BOOL SetStatisticProgram(const char *) { return FALSE; }
