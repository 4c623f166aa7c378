// Not built yet: placeholders that do nothing, so that the module links while this file's
// operations are written. No test relies on them.
#include "capireg.h"

HKEY FindDeviceByController(PSP_DEVINFO_DATA, DWORD, BOOL, BOOL *) { return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE); }
DWORD CountVendorDevices(HDEVINFO, PSP_DEVINFO_DATA) { return 0; }
BOOL WriteDeviceController(HDEVINFO, PSP_DEVINFO_DATA, DWORD) { return FALSE; }
BOOL ReadDeviceController(HDEVINFO, PSP_DEVINFO_DATA, DWORD *) { return FALSE; }
BOOL ReadWanEndPoints(HDEVINFO, PSP_DEVINFO_DATA, DWORD *) { return FALSE; }
BOOL SetCapiDeviceName(const char *) { return FALSE; }
