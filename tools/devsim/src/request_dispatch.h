// Sends one device-installation request the way SetupAPI's SetupDiCallClassInstaller does on the
// simulated platform: it finds the co-installers through their registration in the registry (the
// class co-installer list under CoDeviceInstallers, value named by the class GUID, and the
// device's CoInstallers32 value in its software key, each entry "file,entry"), loads each with
// LoadLibraryA and GetProcAddress, calls them for pre-processing in order, runs the default action
// unless one of them failed the request, and calls those that asked for it
// (ERROR_DI_POSTPROCESSING_REQUIRED) again in reverse order with PostProcessing set, the status so
// far in InstallResult, and their own context, PrivateData kept.
#ifndef DEVSIM_REQUEST_DISPATCH_H
#define DEVSIM_REQUEST_DISPATCH_H

#include <windows.h>
// setupapi.h needs windows.h first, as on Windows.
#include <setupapi.h>

#include <functional>
#include <string>

#include "install_log.h"

namespace devsim {

// Where the platform keeps the class co-installer lists, below HKEY_LOCAL_MACHINE.
constexpr const char *kCoDeviceInstallersKey = "SYSTEM\\CurrentControlSet\\Control\\CoDeviceInstallers";
// The device co-installer list in a device's software key.
constexpr const char *kCoInstallers32Value = "CoInstallers32";
// The entry point a registration without ",entry" names.
constexpr const char *kDefaultCoInstallerEntry = "CoDeviceInstall";

// The default action of a request: its status, and lines for the log.
using DefaultAction = std::function<DWORD(InstallLog &log)>;

struct DispatchOptions {
  bool traceModuleCalls = false;  // log every platform call the co-installers make
};

// Returns the request's final status. The modules are freed before it returns.
DWORD CallClassInstaller(DI_FUNCTION request, HDEVINFO set, PSP_DEVINFO_DATA device,
                         const DefaultAction &defaultAction, InstallLog &log, const DispatchOptions &options);

}  // namespace devsim

#endif  // DEVSIM_REQUEST_DISPATCH_H
