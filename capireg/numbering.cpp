// Not built yet: placeholders that do nothing, so that the module links while this file's
// operations are written. No test relies on them.
#include "capireg.h"

BOOL CreateManufacturerKey(const char *, HKEY *) { return FALSE; }
BOOL OpenManufacturerKey(const char *, HKEY *, char *, DWORD) { return FALSE; }
BOOL FindFreeController(PSP_DEVINFO_DATA, const char *, HKEY, DWORD *number, BOOL) { *number = 1; return TRUE; }
BOOL MoveController(PSP_DEVINFO_DATA, const char *, DWORD *) { return FALSE; }
void PruneOrphanControllers(PSP_DEVINFO_DATA, const char *) {}
BOOL AllocateController(PSP_DEVINFO_DATA, const char *, char *, DWORD, DWORD *) { return FALSE; }
BOOL ReleaseController(const char *, DWORD) { return FALSE; }
DWORD WriteControllerChannels(HDEVINFO, PSP_DEVINFO_DATA) { return ERROR_DI_DONT_INSTALL; }
