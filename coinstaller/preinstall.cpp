// Not built yet: placeholders that do nothing, so that the module links while this file's
// operations are written. No test relies on them.
#include "phases.h"

DWORD PreInstallDevice(HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA) { return ERROR_DI_DONT_INSTALL; }
void PurgeStaleVendorInfs() {}
