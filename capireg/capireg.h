// CAPI controller registry: numbering of CAPI controllers per manufacturer under SOFTWARE\CAPI20
// (numbering.cpp) and the values in a device's driver key that tie it to its controller
// (device_values.cpp).
#ifndef ONLCOIN_CAPIREG_H
#define ONLCOIN_CAPIREG_H

#include <windows.h>
#include <setupapi.h>

// ---- Manufacturer and controller numbering ----
BOOL CreateManufacturerKey(const char *manufacturer, HKEY *manufacturerKey);
BOOL OpenManufacturerKey(const char *manufacturer, HKEY *manufacturerKey, char *keyName, DWORD keyNameSize);
BOOL FindFreeController(PSP_DEVINFO_DATA device, const char *manufacturer, HKEY manufacturerKey, DWORD *number,
                        BOOL reclaimAbsent);
BOOL MoveController(PSP_DEVINFO_DATA device, const char *manufacturer, DWORD *number);
void PruneOrphanControllers(PSP_DEVINFO_DATA device, const char *manufacturer);
BOOL AllocateController(PSP_DEVINFO_DATA device, const char *manufacturer, char *deviceName, DWORD deviceNameSize,
                        DWORD *number);
BOOL ReleaseController(const char *manufacturer, DWORD number);
DWORD WriteControllerChannels(HDEVINFO set, PSP_DEVINFO_DATA device);

// ---- Device-instance CAPI values ----
// The device CAPI key of the first device of the class that holds `number`, open with
// KEY_READ|KEY_WRITE, or the invalid key value when none holds it. When `listUnavailable` is
// given it tells whether the search could not look at every device: the class device list could
// not be had, or a device's keys or values could not be read for another reason than their
// absence (then the invalid key value does not mean that no device holds the number).
HKEY FindDeviceByController(PSP_DEVINFO_DATA device, DWORD number, BOOL presentOnly,
                            BOOL *listUnavailable = nullptr);
DWORD CountVendorDevices(HDEVINFO set, PSP_DEVINFO_DATA device);
BOOL WriteDeviceController(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD number);
BOOL ReadDeviceController(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD *number);
BOOL ReadWanEndPoints(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD *count);
BOOL SetCapiDeviceName(const char *name);

#endif  // ONLCOIN_CAPIREG_H
