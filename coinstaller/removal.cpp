// Undoing an installation: on removal of an adapter and after a failed installation the device's
// controller number is given back; when the adapter is the maker's last one present, the
// product-wide set-up goes too (monitor applications are asked to quit first).
//
// A removed device gives its number back only while the number is its own (its key exists and no
// other adapter of the maker stores it): a device left storing a number it lost takes neither
// another adapter's key nor a count it does not hold along.
#include "capireg.h"
#include "coinstaller_constants.h"
#include "phases.h"
#include "setuplib.h"

namespace {

// The product-wide items, removed with the maker's last present adapter.
void RemoveProductSetup() {
  CloseMonitorApplications(ModuleInstance);
  RemoveCapiSupportFromAutoexec();
  HKEY capiKey = nullptr;
  if (OpenProductCapiKey(&capiKey, kProductPath) == SETUP_STATUS_OK) {
    DeleteKeyTree(capiKey, kProductVersionSubkey, FALSE);
    DeleteKeyTree(capiKey, kProductBuildNumberSubkey, FALSE);
    DeleteKeyTree(capiKey, kProductPathSubkey, FALSE);
    RegCloseKey(capiKey);
  }
  RemoveRunEntry(kMonitorRunValue);
  DeleteKeyTree(HKEY_LOCAL_MACHINE, kPerfEventSourcePath, FALSE);
  RemovePerfCounters(kPerfServiceName);
}

// UninstallDevice; with `onlyOwnNumber` the number goes back only while it is the device's own.
DWORD Undo(PSP_DEVINFO_DATA device, DWORD controller, bool onlyOwnNumber) {
  HDEVINFO classDevices = SetupDiGetClassDevsA(&device->ClassGuid, nullptr, nullptr, DIGCF_PRESENT);
  if (classDevices == INVALID_HANDLE_VALUE) return ERROR_DI_DONT_INSTALL;

  if (!onlyOwnNumber || IsOwnController(device, controller)) ReleaseController(kManufacturerName, controller);
  // A device removed while present is in the list itself: a count of one means it is the last.
  if (CountVendorDevices(classDevices, device) == kLastAdapterCount) RemoveProductSetup();
  SetupDiDestroyDeviceInfoList(classDevices);
  return NO_ERROR;
}

}  // namespace

DWORD UninstallDevice(HDEVINFO /*set*/, PSP_DEVINFO_DATA device, DWORD controller) {
  return Undo(device, controller, false);
}

DWORD RemoveDevice(HDEVINFO set, PSP_DEVINFO_DATA device, PCOINSTALLER_CONTEXT_DATA /*context*/) {
  DWORD controller = 0;
  // A device without a number was never set up by this module: nothing to undo. A number that is
  // not the device's own any more stays with the adapter that holds it.
  if (ReadDeviceController(set, device, &controller)) Undo(device, controller, true);
  return NO_ERROR;
}
