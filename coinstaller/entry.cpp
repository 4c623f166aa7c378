// The module's face to the platform: the load notification, which keeps the instance handle,
// and DeviceCoInstallerFunc, which picks the installation phase for each request.
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
  const DWORD controller = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(context->PrivateData));
  if (installResult == NO_ERROR) {
    PostInstallDevice(set, device, controller);
  } else {
    UninstallDevice(set, device, controller);
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
