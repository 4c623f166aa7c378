// Fixed names and sizes of the CAPI controller registry and of the device values that tie an
// adapter to its controller. They are part of the module, not configuration.
#ifndef ONLCOIN_CAPIREG_CONSTANTS_H
#define ONLCOIN_CAPIREG_CONSTANTS_H

#include <windows.h>
#include <cfgmgr32.h>

namespace capireg {

// ---- CAPI 2.0 controller registry (under HKEY_LOCAL_MACHINE) ----
constexpr const char *kCapiRootPath = "SOFTWARE\\CAPI20";
// Values of a manufacturer key.
constexpr const char *kManufacturerValue = "Manufacturer";
constexpr const char *kNumberOfControllersValue = "NumberOfControllers";
constexpr const char *kDeviceNameValue = "DeviceName";
// The manufacturer's CAPI device name, formatted with the manufacturer key's number.
constexpr const char *kDeviceNameFormat = "CAPI20%d";
// Manufacturer and controller keys are named by their number in plain decimal.
constexpr const char *kNumberKeyFormat = "%d";
// Value of a controller key: the adapter's B-channel count.
constexpr const char *kChannelsValue = "Channels";
// The manufacturer under which the maker's adapters are numbered.
constexpr const char *kMakerManufacturerName = "ORVIK AG";

// ---- Device values ----
// Subkey of a device's driver key holding its CAPI values, and its two levels.
constexpr const char *kDeviceCapiKeyPath = "VendorSpecific\\CAPI";
constexpr const char *kVendorSpecificKey = "VendorSpecific";
constexpr const char *kCapiKey = "CAPI";
constexpr const char *kProductCodeValue = "ProductCode";
constexpr const char *kControllerValue = "Controller";
// Stands in the driver key itself.
constexpr const char *kWanEndPointsValue = "WanEndPoints";
// ProductCode of a device that takes part in the maker's controller numbering.
constexpr DWORD kMakerProductCode = 1;

// The kernel driver's parameters, where the CAPI device name is handed to it.
constexpr const char *kDriverParametersPath = "SYSTEM\\CurrentControlSet\\Services\\onlbase\\Parameters";
constexpr const char *kCapiDeviceNameValue = "CapiDeviceName";

// ---- Access and buffers ----
constexpr REGSAM kReadWriteAccess = KEY_READ | KEY_WRITE;
// Key names, the Manufacturer value and value names of a moved controller are read into buffers
// of the platform's path length; value data of a moved controller starts from kValueDataBufferSize.
constexpr DWORD kNameBufferSize = MAX_PATH;
constexpr DWORD kValueDataBufferSize = 256;
// A value name has at most 16383 characters; in 8-bit text with double-byte characters it can
// take twice that, plus the terminating zero. A name buffer never grows beyond this.
constexpr DWORD kMaxValueNameBufferSize = 2 * 16383 + 2;
// The first room made for the devices of a class that the numbering looks at; it doubles as needed.
constexpr DWORD kFirstArrayCapacity = 16;
// A device's instance id with its terminating zero.
constexpr DWORD kDeviceIdSize = MAX_DEVICE_ID_LEN + 1;
// Large enough for "%d" of any 32-bit number with its terminating zero, and for "CAPI20%d".
constexpr DWORD kNumberTextSize = 32;

}  // namespace capireg

#endif  // ONLCOIN_CAPIREG_CONSTANTS_H
