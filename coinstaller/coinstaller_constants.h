// Fixed values of the installation phases: names, paths, numbers and texts that are part of the
// module, not configuration.
#ifndef ONLCOIN_COINSTALLER_CONSTANTS_H
#define ONLCOIN_COINSTALLER_CONSTANTS_H

#include <windows.h>

// Event source of the module, registered before every installation.
constexpr const char *kEventLogSourceKey = "System\\ORVIK.ISDN.Coinstaller";
constexpr const char *kEventSourceName = "ORVIK.ISDN.Coinstaller";
constexpr const char *kModuleMessageFile = "%SystemRoot%\\System32\\onlcoin.dll";
constexpr DWORD kEventTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

// The maker's names.
constexpr const char *kManufacturerName = "ORVIK AG";
constexpr const char *kVendorInfClassName = "ORVIK";
constexpr const char *kProductPath = "Software\\ORVIK";

// Version of the installed software, also in the module's version resource.
constexpr LONG kBuildNumber = 1146;
constexpr const char *kToolsVersion = "3.38";

#endif  // ONLCOIN_COINSTALLER_CONSTANTS_H
