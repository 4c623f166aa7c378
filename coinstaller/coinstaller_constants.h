// Fixed values of the installation phases: names, paths, numbers and texts that are part of the
// module, not configuration.
#ifndef ONLCOIN_COINSTALLER_CONSTANTS_H
#define ONLCOIN_COINSTALLER_CONSTANTS_H

#include <windows.h>
// setupapi.h needs windows.h first on Windows.
#include <setupapi.h>

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

// The controller number travels to post-processing in PrivateData. Its top bit marks a number that
// the device held before this installation, which a failed installation therefore leaves with it;
// the rest is the number (numbers never reach 2^31).
constexpr DWORD kHeldBeforeMark = 0x80000000u;
constexpr DWORD kControllerNumberMask = 0x7FFFFFFFu;

// Paths, names and command lines are built in buffers of the platform's path length.
constexpr DWORD kTextBufferSize = MAX_PATH;

// ---- Stale INF purge ----
// The INF folder below the Windows folder, the pattern of the INF files in it, and the letter
// that turns an ".inf" name into the name of its precompiled ".pnf" copy.
constexpr const char *kInfSubfolder = "inf\\";
constexpr const char *kInfSearchPattern = "*.inf";
constexpr DWORD kInfExtensionFirstLetterFromEnd = 3;
constexpr char kPrecompiledInfLetter = 'p';

// ---- Driver choice by DriverVer date ----
constexpr const char *kDriverVerKey = "DriverVer";
constexpr DWORD kDriverVerDateField = 1;
// A DriverVer date is month/day/year; "/" and "-" both separate its fields.
constexpr DWORD kDriverDateFieldCount = 3;
constexpr DWORD kDriverDateMonth = 0;
constexpr DWORD kDriverDateDay = 1;
constexpr DWORD kDriverDateYear = 2;
constexpr char kDriverDateSeparator = '/';
constexpr char kDriverDateAlternateSeparator = '-';
// Rank of the elected driver: the best match there is.
constexpr DWORD kBestDriverRank = 0;

// ---- Post-install: the maker's tools ----
// Where the platform keeps the program-files folder.
constexpr const char *kCurrentVersionKey = "Software\\Microsoft\\Windows\\CurrentVersion";
constexpr const char *kProgramFilesValue = "ProgramFilesDir";
// Stand-in when that value cannot be read: the Windows folder's drive and this folder. The drive
// is taken as "C:" when the Windows folder itself names none.
constexpr const char *kProgramFilesFallbackFolder = "\\Program Files";
constexpr const char *kDefaultSystemDrive = "C:";
// The tools folder below the program-files folder and the files in it.
constexpr const char *kToolsSubfolder = "ORVIK\\DAZA Zodar";
constexpr const char *kMonitorProgramFile = "onlmon.exe";
constexpr const char *kToolProgramFile = "onltool.exe";
constexpr const char *kCounterDefinitionFile = "counters.ini";
constexpr const char *kStatisticConsoleFile = "linkperf.msc";
constexpr const char *kStatisticCommandPrefix = "mmc.exe /s ";
// Product values: the product CAPI key's subkeys, the Run value of the monitor, the Monitor
// key's value naming the tool program.
constexpr const char *kProductPathSubkey = "Path";
constexpr const char *kProductVersionSubkey = "Version";
constexpr const char *kProductBuildNumberSubkey = "BuildNumber";
constexpr const char *kMonitorRunValue = "ONLMonitor";
constexpr const char *kToolProgramValue = "MotherInLaw";
// The performance extension of the kernel driver and its event source.
constexpr const char *kPerfEventSourcePath =
    "System\\CurrentControlSet\\Services\\EventLog\\Application\\linkperf";
constexpr const char *kPerfServiceName = "onlbase";
constexpr const char *kPerfLibrary = "onlperf.dll";
constexpr const char *kPerfOpenEntry = "LinkPerfOpen";
constexpr const char *kPerfCollectEntry = "LinkPerfCollect";
constexpr const char *kPerfCloseEntry = "LinkPerfClose";
// Programs are started with this argument, shown normally, in the default error mode.
constexpr const char *kProgramArgument = "";
constexpr DWORD kLaunchCreationFlags = CREATE_DEFAULT_ERROR_MODE | NORMAL_PRIORITY_CLASS;

// ---- Removal ----
// Present adapters of the maker, the one being removed included, when it is the last one.
constexpr DWORD kLastAdapterCount = 1;

// ---- Install flags that ask for a restart of the computer ----
constexpr DWORD kRestartFlags = DI_NEEDRESTART | DI_NEEDREBOOT;

// ---- Card-type hooks ----
// The device CAPI key below the driver key, and its card-type value.
constexpr const char *kDeviceCapiSubkey = "VendorSpecific\\CAPI";
constexpr const char *kCardTypeValue = "CardType";
// Card types of the boxes that hang on the parallel port.
constexpr const char *kCardTypeLptBox = "ext/lpt";
constexpr const char *kCardTypeLptDualBox = "ext/lpt-dual";
// The Ports setup class {4D36E978-E325-11CE-BFC1-08002BE10318} and the parallel-port driver's
// service and values.
constexpr GUID kPortsClassGuid = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr const char *kParallelPortService = "parport";
constexpr const char *kConnectInterruptValue = "EnableConnectInterruptIoctl";
constexpr DWORD kConnectInterruptEnabled = 1;
constexpr const char *kFilterResourceValue = "FilterResourceMethod";
constexpr DWORD kFilterResourceMethod = 2;

#endif  // ONLCOIN_COINSTALLER_CONSTANTS_H
