// Not built yet: placeholders that do nothing, so that the module links while this file's
// operations are written. No test relies on them.
#include "phases.h"

DWORD PostInstallDevice(HDEVINFO, PSP_DEVINFO_DATA, DWORD) { return NO_ERROR; }
BOOL GetProgramFilesDir(char *, DWORD) { return FALSE; }
BOOL LaunchProgram(const char *, const char *) { return FALSE; }
