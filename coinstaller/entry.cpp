// The module's face to the platform: the load notification, which keeps the instance handle,
// and DeviceCoInstallerFunc, which picks the installation phase for each request.
//
// After a failed installation the number taken for it goes back together with the device's
// Controller value, so that no device stores a number it does not hold; a number the device held
// before the installation (marked in PrivateData by the pre-install phase) stays, and nothing set
// up for the device is taken away, since its earlier driver may still run.
#include "capireg.h"
#include "coinstaller_constants.h"
#include "phases.h"
#include "setuplib.h"

HINSTANCE ModuleInstance = nullptr;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD /*reason*/, LPVOID /*reserved*/) {
  // Attach and detach alike: the handle is the only state the module keeps.
  ModuleInstance = instance;
  return TRUE;
}

static DWORD DispatchInstallDevice(HDEVINFO set, PSP_DEVINFO_DATA device, PCOINSTALLER_CONTEXT_DATA context) {
  if (!context->PostProcessing) {
    // (Re)register the event source before every installation; the phase runs whatever happens.
    InstallEventLogSource(kEventLogSourceKey, kModuleMessageFile, kEventTypesSupported);
    return PreInstallDevice(set, device, context);
  }
  const DWORD installResult = context->InstallResult;
  const DWORD privateNumber = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(context->PrivateData));
  const DWORD controller = privateNumber & kControllerNumberMask;
  if (installResult == NO_ERROR) {
    PostInstallDevice(set, device, controller);
  } else if ((privateNumber & kHeldBeforeMark) == 0) {
    // The number was taken for this installation: it goes back, the device's value first, so that
    // the device never stores a number it does not hold. A device that held its number before
    // keeps it, and with it everything set up for it: its earlier driver may still run.
    if (ClearDeviceController(set, device, controller)) UninstallDevice(set, device, controller);
  }
  // The installation's own outcome stands, whatever the post-processing did.
  return installResult;
}

extern "C" DWORD CALLBACK DeviceCoInstallerFunc(DI_FUNCTION installFunction, HDEVINFO deviceInfoSet,
                                                PSP_DEVINFO_DATA deviceInfoData,
                                                PCOINSTALLER_CONTEXT_DATA context) {
  switch (installFunction) {
    case DIF_INSTALLDEVICE:
      return DispatchInstallDevice(deviceInfoSet, deviceInfoData, context);
    case DIF_REMOVE:
      RemoveDevice(deviceInfoSet, deviceInfoData, context);
      return NO_ERROR;
    case DIF_SELECTBESTCOMPATDRV:
      return SelectBestCompatibleDriver(deviceInfoSet, deviceInfoData, context);
    default:
      return NO_ERROR;
  }
}
