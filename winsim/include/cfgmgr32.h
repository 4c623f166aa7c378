// Host stand-in for <cfgmgr32.h>: the configuration manager's device-instance lookups that the
// module uses. Implemented by the simulated platform (winsim/src/setupapi.cpp).
#ifndef WINSIM_CFGMGR32_H
#define WINSIM_CFGMGR32_H

// As on Windows, <windows.h> must come first.
#ifndef WINSIM_WINDOWS_H
#error "include <windows.h> before <cfgmgr32.h>"
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef DWORD CONFIGRET;
typedef DWORD DEVNODE, DEVINST;
typedef DEVNODE *PDEVNODE, *PDEVINST;

#define MAX_DEVICE_ID_LEN 200

#define CR_SUCCESS 0x00000000
#define CR_INVALID_POINTER 0x00000003
#define CR_INVALID_FLAG 0x00000004
#define CR_INVALID_DEVNODE 0x00000005
#define CR_INVALID_DEVINST CR_INVALID_DEVNODE
#define CR_FAILURE 0x00000013
#define CR_BUFFER_SMALL 0x0000001A

CONFIGRET WINAPI CM_Get_Device_IDA(DEVINST dnDevInst, PCHAR Buffer, ULONG BufferLen, ULONG ulFlags);

#ifdef __cplusplus
}
#endif

#endif  // WINSIM_CFGMGR32_H
