// The values in a device's driver key that tie the device to its CAPI controller number: finding
// the device that holds a number, counting the maker's devices, storing and reading the number,
// reading the channel count, and handing the CAPI device name to the kernel driver.
#include <string.h>

#include "capireg.h"
#include "capireg_constants.h"
#include "capireg_helpers.h"
#include "controller_holders.h"

using namespace capireg;

namespace {

// The device's software key: global scope, hardware profile 0, the driver key (not the hardware
// key). Returns the invalid key value on failure.
HKEY OpenDriverKey(HDEVINFO set, PSP_DEVINFO_DATA device, REGSAM access) {
  return SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, access);
}

bool IsOpen(HKEY key) {
  return key != InvalidKey() && key != nullptr;
}

// True when the device CAPI key marks a device of the maker.
bool IsMakerDevice(HKEY capiKey) {
  DWORD productCode = 0;
  return ReadDwordValue(capiKey, kProductCodeValue, &productCode) && productCode == kMakerProductCode;
}

// What a failed open or read says about the device: that the key or value is not there, or that
// it is too large to be one of ours (the device then simply holds no number), or nothing at all.
bool SaysNothingIsThere(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_KEY_DOES_NOT_EXIST || error == ERROR_MORE_DATA;
}

// Reads a 32-bit value as ReadDwordValue does, but tells a value that is not there (or too large)
// apart from one that could not be read.
enum class ValueRead { Read, Absent, Unreadable };
ValueRead ReadDeviceDword(HKEY key, const char *name, DWORD *value) {
  DWORD data = 0;
  DWORD size = sizeof(data);
  const LONG status = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(&data), &size);
  if (status == ERROR_SUCCESS) {
    *value = data;
    return ValueRead::Read;
  }
  return SaysNothingIsThere(static_cast<DWORD>(status)) ? ValueRead::Absent : ValueRead::Unreadable;
}

// Whether the device whose CAPI key is open holds `number`. A device whose values cannot be
// read makes the answer uncertain rather than no.
ValueRead HoldsNumber(HKEY capiKey, DWORD number, bool *holds) {
  *holds = false;
  DWORD productCode = 0;
  const ValueRead product = ReadDeviceDword(capiKey, kProductCodeValue, &productCode);
  if (product != ValueRead::Read || productCode != kMakerProductCode) return product;
  DWORD stored = 0;
  const ValueRead controller = ReadDeviceDword(capiKey, kControllerValue, &stored);
  *holds = controller == ValueRead::Read && stored + 1 == number;
  return controller;
}

// Makes room for one more item in a local-heap array of `itemSize`-byte items; false when no
// memory is left (the array is then unchanged).
bool GrowArray(void **items, DWORD *capacity, DWORD count, DWORD itemSize) {
  if (count < *capacity) return true;
  const DWORD larger = *capacity == 0 ? kFirstArrayCapacity : *capacity * 2;
  void *grown = LocalAlloc(LMEM_FIXED, static_cast<SIZE_T>(larger) * itemSize);
  if (grown == nullptr) return false;
  if (*items != nullptr) {
    memcpy(grown, *items, static_cast<size_t>(count) * itemSize);
    LocalFree(*items);
  }
  *items = grown;
  *capacity = larger;
  return true;
}

// The instance handles of the present devices of the class; false when they cannot all be had.
bool ReadPresentDevices(const GUID &classGuid, DWORD **devInsts, DWORD *count) {
  *devInsts = nullptr;
  *count = 0;
  HDEVINFO present = SetupDiGetClassDevsA(&classGuid, nullptr, nullptr, DIGCF_PRESENT);
  if (present == INVALID_HANDLE_VALUE) return false;
  DWORD capacity = 0;
  bool listed = true;
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA element = {};
    element.cbSize = sizeof(element);
    if (!SetupDiEnumDeviceInfo(present, index, &element)) {
      listed = GetLastError() == ERROR_NO_MORE_ITEMS;
      break;
    }
    void *items = *devInsts;
    if (!GrowArray(&items, &capacity, *count, sizeof(DWORD))) {
      listed = false;
      break;
    }
    *devInsts = static_cast<DWORD *>(items);
    (*devInsts)[(*count)++] = element.DevInst;
  }
  SetupDiDestroyDeviceInfoList(present);
  return listed;
}

bool Contains(const DWORD *items, DWORD count, DWORD wanted) {
  for (DWORD i = 0; i < count; ++i) {
    if (items[i] == wanted) return true;
  }
  return false;
}

}  // namespace

namespace capireg {

void ReadControllerHolders(PSP_DEVINFO_DATA device, ControllerHolders *holders) {
  *holders = ControllerHolders{INVALID_HANDLE_VALUE, nullptr, 0, 0, false, false};
  if (device == nullptr) return;

  DWORD *presentDevices = nullptr;
  DWORD presentCount = 0;
  holders->presenceKnown = ReadPresentDevices(device->ClassGuid, &presentDevices, &presentCount);

  holders->list = SetupDiGetClassDevsA(&device->ClassGuid, nullptr, nullptr, 0);
  holders->complete = holders->list != INVALID_HANDLE_VALUE;
  for (DWORD index = 0; holders->list != INVALID_HANDLE_VALUE; ++index) {
    SP_DEVINFO_DATA element = {};
    element.cbSize = sizeof(element);
    if (!SetupDiEnumDeviceInfo(holders->list, index, &element)) {
      if (GetLastError() != ERROR_NO_MORE_ITEMS) holders->complete = false;
      break;
    }
    // Read as the search by number reads: what cannot be read leaves the look incomplete.
    HKEY driverKey = OpenDriverKey(holders->list, &element, KEY_READ);
    if (!IsOpen(driverKey)) {
      if (!SaysNothingIsThere(GetLastError())) holders->complete = false;
      continue;
    }
    HKEY capiKey = nullptr;
    const LONG opened = RegOpenKeyExA(driverKey, kDeviceCapiKeyPath, 0, kReadWriteAccess, &capiKey);
    RegCloseKey(driverKey);
    if (opened != ERROR_SUCCESS) {
      if (!SaysNothingIsThere(static_cast<DWORD>(opened))) holders->complete = false;
      continue;
    }
    DWORD productCode = 0;
    DWORD stored = 0;
    ValueRead read = ReadDeviceDword(capiKey, kProductCodeValue, &productCode);
    if (read == ValueRead::Read && productCode == kMakerProductCode) {
      read = ReadDeviceDword(capiKey, kControllerValue, &stored);
    }
    RegCloseKey(capiKey);
    if (read == ValueRead::Unreadable) holders->complete = false;
    if (read != ValueRead::Read || productCode != kMakerProductCode) continue;

    void *items = holders->items;
    if (!GrowArray(&items, &holders->capacity, holders->count, sizeof(ControllerHolder))) {
      holders->complete = false;
      break;
    }
    holders->items = static_cast<ControllerHolder *>(items);
    holders->items[holders->count++] = ControllerHolder{index, element.DevInst, stored + 1,
                                                        Contains(presentDevices, presentCount, element.DevInst)};
  }
  if (presentDevices != nullptr) LocalFree(presentDevices);
}

void FreeControllerHolders(ControllerHolders *holders) {
  if (holders->list != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(holders->list);
  if (holders->items != nullptr) LocalFree(holders->items);
  *holders = ControllerHolders{INVALID_HANDLE_VALUE, nullptr, 0, 0, false, false};
}

bool RewriteHolderController(const ControllerHolders &holders, DWORD item, DWORD number) {
  SP_DEVINFO_DATA element = {};
  element.cbSize = sizeof(element);
  if (item >= holders.count || !SetupDiEnumDeviceInfo(holders.list, holders.items[item].index, &element)) {
    return false;
  }
  HKEY driverKey = OpenDriverKey(holders.list, &element, KEY_READ);
  if (!IsOpen(driverKey)) return false;
  HKEY capiKey = nullptr;
  const LONG opened = RegOpenKeyExA(driverKey, kDeviceCapiKeyPath, 0, kReadWriteAccess, &capiKey);
  RegCloseKey(driverKey);
  if (opened != ERROR_SUCCESS) return false;
  const bool written = WriteDwordValue(capiKey, kControllerValue, number - 1);
  RegCloseKey(capiKey);
  return written;
}

}  // namespace capireg

HKEY FindDeviceByController(PSP_DEVINFO_DATA device, DWORD number, BOOL presentOnly, BOOL *listUnavailable) {
  if (listUnavailable != nullptr) *listUnavailable = FALSE;
  if (device == nullptr) {
    // Without a class there is no list to search: nobody can say who holds the number.
    if (listUnavailable != nullptr) *listUnavailable = TRUE;
    return InvalidKey();
  }

  HDEVINFO list = SetupDiGetClassDevsA(&device->ClassGuid, nullptr, nullptr, presentOnly ? DIGCF_PRESENT : 0);
  if (list == INVALID_HANDLE_VALUE) {
    if (listUnavailable != nullptr) *listUnavailable = TRUE;
    return InvalidKey();
  }

  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA element = {};
    element.cbSize = sizeof(element);
    if (!SetupDiEnumDeviceInfo(list, index, &element)) {
      // The end of the list is the only failure that proves no device holds the number; any
      // other error leaves the rest of the class unsearched.
      const DWORD error = GetLastError();
      if (error != ERROR_NO_MORE_ITEMS && listUnavailable != nullptr) *listUnavailable = TRUE;
      SetupDiDestroyDeviceInfoList(list);
      return InvalidKey();
    }

    // A device whose keys or values cannot be read may hold the number all the same: the search
    // goes on, but its "nobody" is no longer certain.
    HKEY driverKey = OpenDriverKey(list, &element, KEY_READ);
    if (!IsOpen(driverKey)) {
      if (!SaysNothingIsThere(GetLastError()) && listUnavailable != nullptr) *listUnavailable = TRUE;
      continue;
    }

    // Handed back writable: the numbering rewrites Controller through it when it moves a device.
    HKEY capiKey = nullptr;
    const LONG opened = RegOpenKeyExA(driverKey, kDeviceCapiKeyPath, 0, kReadWriteAccess, &capiKey);
    if (opened != ERROR_SUCCESS) {
      if (!SaysNothingIsThere(static_cast<DWORD>(opened)) && listUnavailable != nullptr) *listUnavailable = TRUE;
      RegCloseKey(driverKey);
      continue;
    }

    bool holds = false;
    if (HoldsNumber(capiKey, number, &holds) == ValueRead::Unreadable && listUnavailable != nullptr) {
      *listUnavailable = TRUE;
    }
    if (holds) {
      RegCloseKey(driverKey);
      SetupDiDestroyDeviceInfoList(list);
      return capiKey;
    }
    RegCloseKey(capiKey);
    RegCloseKey(driverKey);
  }
}

DWORD CountVendorDevices(HDEVINFO set, PSP_DEVINFO_DATA /*device*/) {
  DWORD count = 0;
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA element = {};
    element.cbSize = sizeof(element);
    if (!SetupDiEnumDeviceInfo(set, index, &element)) return count;

    HKEY driverKey = OpenDriverKey(set, &element, KEY_READ);
    if (!IsOpen(driverKey)) continue;

    HKEY capiKey = nullptr;
    if (RegOpenKeyExA(driverKey, kDeviceCapiKeyPath, 0, KEY_READ, &capiKey) != ERROR_SUCCESS) {
      RegCloseKey(driverKey);
      continue;
    }
    if (IsMakerDevice(capiKey)) ++count;
    RegCloseKey(capiKey);
    RegCloseKey(driverKey);
  }
}

BOOL WriteDeviceController(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD number) {
  HKEY driverKey = OpenDriverKey(set, device, KEY_WRITE);
  if (!IsOpen(driverKey)) return FALSE;

  HKEY vendorKey = nullptr;
  if (RegCreateKeyExA(driverKey, kVendorSpecificKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                      &vendorKey, nullptr) != ERROR_SUCCESS) {
    RegCloseKey(driverKey);
    return FALSE;
  }
  HKEY capiKey = nullptr;
  if (RegCreateKeyExA(vendorKey, kCapiKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &capiKey,
                      nullptr) != ERROR_SUCCESS) {
    RegCloseKey(vendorKey);
    RegCloseKey(driverKey);
    return FALSE;
  }

  // The device stores the number minus 1: controller 1 is stored as 0.
  const BOOL result = WriteDwordValue(capiKey, kControllerValue, number - 1) ? TRUE : FALSE;

  RegCloseKey(capiKey);
  RegCloseKey(vendorKey);
  RegCloseKey(driverKey);
  return result;
}

BOOL ReadDeviceController(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD *number) {
  if (number == nullptr) return FALSE;
  HKEY driverKey = OpenDriverKey(set, device, KEY_READ);
  if (!IsOpen(driverKey)) return FALSE;

  HKEY capiKey = nullptr;
  if (RegOpenKeyExA(driverKey, kDeviceCapiKeyPath, 0, KEY_READ, &capiKey) != ERROR_SUCCESS) {
    RegCloseKey(driverKey);
    return FALSE;
  }

  BOOL result = FALSE;
  DWORD stored = 0;
  if (ReadDwordValue(capiKey, kControllerValue, &stored)) {
    *number = stored + 1;
    result = TRUE;
  }

  RegCloseKey(capiKey);
  RegCloseKey(driverKey);
  return result;
}

BOOL ClearDeviceController(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD number) {
  HKEY driverKey = OpenDriverKey(set, device, kReadWriteAccess);
  if (!IsOpen(driverKey)) return SaysNothingIsThere(GetLastError()) ? TRUE : FALSE;
  HKEY capiKey = nullptr;
  const LONG opened = RegOpenKeyExA(driverKey, kDeviceCapiKeyPath, 0, kReadWriteAccess, &capiKey);
  RegCloseKey(driverKey);
  if (opened != ERROR_SUCCESS) return SaysNothingIsThere(static_cast<DWORD>(opened)) ? TRUE : FALSE;

  DWORD stored = 0;
  BOOL result = FALSE;
  switch (ReadDeviceDword(capiKey, kControllerValue, &stored)) {
    case ValueRead::Absent:
      result = TRUE;
      break;
    case ValueRead::Unreadable:
      break;
    case ValueRead::Read:
      // Another number is no business of this call; the value goes only when it names `number`.
      if (stored + 1 != number) {
        result = TRUE;
        break;
      }
      {
        const LONG deleted = RegDeleteValueA(capiKey, kControllerValue);
        result = (deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND) ? TRUE : FALSE;
      }
      break;
  }
  RegCloseKey(capiKey);
  return result;
}

BOOL ReadWanEndPoints(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD *count) {
  if (count == nullptr) return FALSE;
  HKEY driverKey = OpenDriverKey(set, device, KEY_READ);
  if (!IsOpen(driverKey)) return FALSE;

  const BOOL result = ReadDwordValue(driverKey, kWanEndPointsValue, count) ? TRUE : FALSE;

  RegCloseKey(driverKey);
  return result;
}

BOOL SetCapiDeviceName(const char *name) {
  if (name == nullptr) return FALSE;
  char noClass[] = "";
  HKEY parametersKey = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kDriverParametersPath, 0, noClass, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                      nullptr, &parametersKey, nullptr) != ERROR_SUCCESS) {
    return FALSE;
  }

  const BOOL result = WriteStringValue(parametersKey, kCapiDeviceNameValue, name) ? TRUE : FALSE;

  RegCloseKey(parametersKey);
  return result;
}
