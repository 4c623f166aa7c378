// The co-installer's installation phases, the card-type hooks and the entry point.
#ifndef ONLCOIN_PHASES_H
#define ONLCOIN_PHASES_H

#include <windows.h>
#include <setupapi.h>

// The module's instance handle, stored by DllMain at every load notification.
extern HINSTANCE ModuleInstance;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
extern "C" DWORD CALLBACK DeviceCoInstallerFunc(DI_FUNCTION installFunction, HDEVINFO deviceInfoSet,
                                                PSP_DEVINFO_DATA deviceInfoData,
                                                PCOINSTALLER_CONTEXT_DATA context);

// Pre-install phase (preinstall.cpp)
DWORD PreInstallDevice(HDEVINFO set, PSP_DEVINFO_DATA device, PCOINSTALLER_CONTEXT_DATA context);
void PurgeStaleVendorInfs();

// Post-install phase (postinstall.cpp)
DWORD PostInstallDevice(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD controller);
BOOL GetProgramFilesDir(char *buffer, DWORD size);
BOOL LaunchProgram(const char *programPath, const char *argument);

// Card-type hooks (card_hooks.cpp)
typedef DWORD (*CardTypeHook)(HDEVINFO set, PSP_DEVINFO_DATA device);
struct CardTypeHookRow {
  const char *cardType;  // nullptr ends the table
  CardTypeHook hook;
};
extern const CardTypeHookRow CardTypeHookTable[];
BOOL RunCardTypeHooks(HDEVINFO set, PSP_DEVINFO_DATA device);
// The card type ends at its terminator or at the end of the data read; when the data fills the
// whole buffer no terminator follows it, so readers stay within size.
BOOL ReadCardType(HDEVINFO set, PSP_DEVINFO_DATA device, char *buffer, DWORD size);
DWORD ConfigureParallelPortForBox(HDEVINFO set, PSP_DEVINFO_DATA device);
void RequestRestart(HDEVINFO set, PSP_DEVINFO_DATA device);

// Removal phase (removal.cpp)
DWORD UninstallDevice(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD controller);
DWORD RemoveDevice(HDEVINFO set, PSP_DEVINFO_DATA device, PCOINSTALLER_CONTEXT_DATA context);

// Best compatible driver selection (driver_select.cpp)
DWORD SelectBestCompatibleDriver(HDEVINFO set, PSP_DEVINFO_DATA device, PCOINSTALLER_CONTEXT_DATA context);
// Parses a DriverVer date text (month/day/year, "/" or "-" between the fields) and returns the
// number of fields found; at most the first three are stored in fields. Reads the text up to its
// terminator and never beyond; the text itself is not changed.
DWORD ParseDriverVerDate(const char *text, DWORD fields[3]);

#endif  // ONLCOIN_PHASES_H
