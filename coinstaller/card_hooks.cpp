// Card-type hooks: adapters that need a change outside their own device are told apart by the
// card type that the driver's installation stores in the device CAPI key. The boxes that hang on
// the parallel port need the port driver's connect-interrupt and resource-filter settings, which
// take effect after a restart of the computer.
#include "coinstaller_constants.h"
#include "phases.h"
#include "setuplib.h"
#include "text_buffers.h"

const CardTypeHookRow CardTypeHookTable[] = {
    {kCardTypeLptBox, ConfigureParallelPortForBox},
    {kCardTypeLptDualBox, ConfigureParallelPortForBox},
    {nullptr, nullptr},
};

namespace {

HKEY const kInvalidKey = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);

void WriteDwordValue(HKEY key, const char *name, DWORD value) {
  RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof(value));
}

}  // namespace

BOOL ReadCardType(HDEVINFO set, PSP_DEVINFO_DATA device, char *buffer, DWORD size) {
  HKEY driverKey = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
  if (driverKey == kInvalidKey) return FALSE;
  HKEY capiKey = nullptr;
  if (RegOpenKeyExA(driverKey, kDeviceCapiSubkey, 0, KEY_READ, &capiKey) != ERROR_SUCCESS) {
    RegCloseKey(driverKey);
    return FALSE;
  }
  DWORD dataSize = size;
  const BOOL read = RegQueryValueExA(capiKey, kCardTypeValue, nullptr, nullptr, reinterpret_cast<BYTE *>(buffer),
                                     &dataSize) == ERROR_SUCCESS;
  // Whatever its type, the value is a text that ends at its terminator or at the end of its
  // data; where the data does not fill the buffer a terminator marks that end.
  if (read && dataSize < size) buffer[dataSize] = '\0';
  RegCloseKey(capiKey);
  RegCloseKey(driverKey);
  return read;
}

BOOL RunCardTypeHooks(HDEVINFO set, PSP_DEVINFO_DATA device) {
  char cardType[kTextBufferSize];
  if (!ReadCardType(set, device, cardType, sizeof(cardType))) return FALSE;
  // Every matching row runs, in table order; a hook's result changes nothing here.
  for (const CardTypeHookRow *row = CardTypeHookTable; row->cardType != nullptr; ++row) {
    if (EqualsIgnoringAsciiCase(cardType, sizeof(cardType), row->cardType)) row->hook(set, device);
  }
  return TRUE;
}

DWORD ConfigureParallelPortForBox(HDEVINFO set, PSP_DEVINFO_DATA device) {
  HDEVINFO ports = SetupDiGetClassDevsA(&kPortsClassGuid, nullptr, nullptr, DIGCF_PRESENT);
  if (ports == INVALID_HANDLE_VALUE) return SETUP_STATUS_UNAVAILABLE;

  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA port = {};
    port.cbSize = sizeof(port);
    if (!SetupDiEnumDeviceInfo(ports, index, &port)) break;

    char service[kTextBufferSize] = "";
    if (!SetupDiGetDeviceRegistryPropertyA(ports, &port, SPDRP_SERVICE, nullptr, reinterpret_cast<BYTE *>(service),
                                           sizeof(service), nullptr)) {
      continue;
    }
    if (!EqualsIgnoringAsciiCase(service, sizeof(service), kParallelPortService)) continue;

    HKEY hardwareKey = SetupDiOpenDevRegKey(ports, &port, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_WRITE);
    if (hardwareKey == kInvalidKey) continue;
    // Failed writes go unnoticed; the restart is requested all the same.
    WriteDwordValue(hardwareKey, kConnectInterruptValue, kConnectInterruptEnabled);
    WriteDwordValue(hardwareKey, kFilterResourceValue, kFilterResourceMethod);
    RegCloseKey(hardwareKey);

    // The restart is the ISDN device's, not the port's.
    RequestRestart(set, device);
    SetupDiDestroyDeviceInfoList(ports);
    return SETUP_STATUS_OK;
  }
  SetupDiDestroyDeviceInfoList(ports);
  return SETUP_STATUS_UNAVAILABLE;
}

void RequestRestart(HDEVINFO set, PSP_DEVINFO_DATA device) {
  SP_DEVINSTALL_PARAMS_A params = {};
  params.cbSize = sizeof(params);
  if (!SetupDiGetDeviceInstallParamsA(set, device, &params)) return;
  params.Flags |= kRestartFlags;
  SetupDiSetDeviceInstallParamsA(set, device, &params);
}
