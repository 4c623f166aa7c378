// CAPI controller registry: numbering of CAPI controllers per manufacturer under SOFTWARE\CAPI20
// (numbering.cpp) and the values in a device's driver key that tie it to its controller
// (device_values.cpp).
#ifndef ONLCOIN_CAPIREG_H
#define ONLCOIN_CAPIREG_H

#include <windows.h>
#include <setupapi.h>

#include "numbering_facts.h"

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

// What the device being installed may do with the number it stores, as PrepareControllers finds.
enum StoredControllerUse {
  // Held before this installation: the device is the maker's adapter, the number has its key and
  // nobody else stores it. Taken again, and kept if the installation fails.
  STORED_CONTROLLER_HELD,
  // Nobody else stores it, but the device did not hold it (its key was gone and came back, or the
  // device is not yet the maker's adapter). Taken again, and given back if the installation fails.
  STORED_CONTROLLER_TAKEN_AGAIN,
  // None, or not the device's any more (its value is gone): a number is allocated.
  STORED_CONTROLLER_NONE
};
// Whether `number`, which the device stores, is still the device's own: its controller key exists
// under the maker's manufacturer key and no other adapter of the maker in its class stores it.
BOOL IsOwnController(PSP_DEVINFO_DATA device, DWORD number);
// One request's numbering on what it has learnt about the class (LearnNumberingFacts): before a
// number is taken for the device being installed, which stores the number `stored` points to
// (nullptr for none), looks at what that number is worth and repairs the maker's numbering: keys
// that nobody holds go, stored numbers without a key get it back, and of adapters on one number all
// but one move to free numbers; NumberOfControllers then counts the keys.
StoredControllerUse PrepareControllers(capireg::NumberingFacts *facts, HDEVINFO set, PSP_DEVINFO_DATA device,
                                       const char *manufacturer, const DWORD *stored);
// AllocateController on the same facts, which it keeps up to date.
BOOL AllocateController(capireg::NumberingFacts *facts, PSP_DEVINFO_DATA device, const char *manufacturer,
                        char *deviceName, DWORD deviceNameSize, DWORD *number);

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
// Deletes the device's Controller value when it names `number`: 1 when the device no longer
// stores that number afterwards, 0 when that could not be made sure.
BOOL ClearDeviceController(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD number);
BOOL ReadWanEndPoints(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD *count);
BOOL SetCapiDeviceName(const char *name);

#endif  // ONLCOIN_CAPIREG_H
