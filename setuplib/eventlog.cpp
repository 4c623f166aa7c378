// Not built yet: placeholders that do nothing, so that the module links while this file's
// operations are written. No test relies on them.
#include "setuplib.h"

DWORD InstallEventLogSource(const char *, const char *, DWORD) { return SETUP_STATUS_OK; }
DWORD ReportErrorEvent(const char *, DWORD) { return SETUP_STATUS_OK; }
DWORD ReportErrorEventWithData(const char *, DWORD, const void *, DWORD) { return SETUP_STATUS_OK; }
