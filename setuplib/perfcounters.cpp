// Not built yet: placeholders that do nothing, so that the module links while this file's
// operations are written. No test relies on them.
#include "setuplib.h"

DWORD InstallPerfCounters(const char *, const char *, const char *, const char *, const char *, const char *) { return SETUP_STATUS_OK; }
DWORD RemovePerfCounters(const char *) { return SETUP_STATUS_OK; }
BOOL RegisterPerformanceExtension(const char *, const char *, const char *, const char *, const char *) { return TRUE; }
