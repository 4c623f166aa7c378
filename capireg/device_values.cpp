// The values in a device's driver key that tie the device to its CAPI controller number: finding
// the device that holds a number, counting the maker's devices, storing and reading the number,
// reading the channel count, and handing the CAPI device name to the kernel driver. What the
// numbering learns about the class's devices in one request (numbering_facts.h) is read here too,
// the way the search by number reads a device, which is now a question put to those facts.
#include <string.h>

#include "capireg.h"
#include "capireg_constants.h"
#include "capireg_helpers.h"
#include "numbering_facts.h"

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

// The name of `element` of `list`: its instance id, or its instance handle alone when the id
// cannot be read.
void NameListedDevice(HDEVINFO list, PSP_DEVINFO_DATA element, DeviceName *name) {
  name->devInst = element->DevInst;
  name->idKnown = SetupDiGetDeviceInstanceIdA(list, element, name->id, sizeof(name->id), nullptr) != FALSE;
}

// The name of the device being worked on, whose list the numbering is not given: the
// configuration manager reads the id from the instance handle, which is valid in the caller's list.
void NameDevice(PSP_DEVINFO_DATA device, DeviceName *name) {
  name->devInst = device->DevInst;
  name->idKnown = CM_Get_Device_IDA(device->DevInst, name->id, sizeof(name->id), 0) == CR_SUCCESS;
}

// Instance ids are compared without regard to case; the handles only when an id is missing.
bool SameDevice(const DeviceName &a, const DeviceName &b) {
  if (a.idKnown && b.idKnown) return SameNameIgnoringCase(a.id, static_cast<DWORD>(strlen(a.id)), b.id);
  return a.devInst == b.devInst;
}

// The present devices of the class, by name. Both lists come in the class's enumeration order,
// so the search for the next device starts where the last one was found.
struct PresentDevices {
  DeviceName *items = nullptr;
  DWORD count = 0;
  DWORD capacity = 0;
  DWORD cursor = 0;
};

// Reads the names of the devices in `list`; false when they cannot all be had.
bool ReadPresentDevices(HDEVINFO list, PresentDevices *present) {
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA element = {};
    element.cbSize = sizeof(element);
    if (!SetupDiEnumDeviceInfo(list, index, &element)) return GetLastError() == ERROR_NO_MORE_ITEMS;
    void *items = present->items;
    if (!GrowArray(&items, &present->capacity, present->count, sizeof(DeviceName))) return false;
    present->items = static_cast<DeviceName *>(items);
    NameListedDevice(list, &element, &present->items[present->count++]);
  }
}

bool IsPresent(PresentDevices *present, const DeviceName &name) {
  for (DWORD step = 0; step < present->count; ++step) {
    const DWORD i = (present->cursor + step) % present->count;
    if (SameDevice(present->items[i], name)) {
      present->cursor = i + 1;
      return true;
    }
  }
  return false;
}

// Reads one device of the list as the search by number reads it: whether it is the maker's and
// which number it stores, or that it could not be read. A device key that cannot be opened for
// writing cannot serve the numbering (which rewrites Controller through it) and counts as
// unreadable.
ValueRead ReadHolder(HDEVINFO list, PSP_DEVINFO_DATA element, DWORD *number, bool *maker) {
  *maker = false;
  HKEY driverKey = OpenDriverKey(list, element, KEY_READ);
  if (!IsOpen(driverKey)) return SaysNothingIsThere(GetLastError()) ? ValueRead::Absent : ValueRead::Unreadable;
  HKEY capiKey = nullptr;
  const LONG opened = RegOpenKeyExA(driverKey, kDeviceCapiKeyPath, 0, kReadWriteAccess, &capiKey);
  RegCloseKey(driverKey);
  if (opened != ERROR_SUCCESS) {
    return SaysNothingIsThere(static_cast<DWORD>(opened)) ? ValueRead::Absent : ValueRead::Unreadable;
  }
  DWORD productCode = 0;
  DWORD stored = 0;
  ValueRead read = ReadDeviceDword(capiKey, kProductCodeValue, &productCode);
  if (read == ValueRead::Read && productCode == kMakerProductCode) {
    *maker = true;
    read = ReadDeviceDword(capiKey, kControllerValue, &stored);
    *number = stored + 1;
  }
  RegCloseKey(capiKey);
  return read;
}

// Notes what one device of the facts' list is: a holder, nothing, or not to be read. Whether it
// is present is asked of `present` (the caller's present devices) only for a device that matters,
// or else given as `isPresent`. False when memory ran out (the facts are then incomplete).
bool NoteDevice(NumberingFacts *facts, DWORD index, PSP_DEVINFO_DATA element, PresentDevices *present,
                bool isPresent) {
  DWORD number = 0;
  bool maker = false;
  const ValueRead read = ReadHolder(facts->list, element, &number, &maker);
  if (read == ValueRead::Read && !maker) return true;
  if (read == ValueRead::Absent) return true;
  DeviceName name;
  NameListedDevice(facts->list, element, &name);
  if (present != nullptr) isPresent = IsPresent(present, name);
  if (read == ValueRead::Unreadable) {
    facts->complete = false;
    if (isPresent) facts->presentComplete = false;
    void *items = facts->unread;
    if (!GrowArray(&items, &facts->unreadCapacity, facts->unreadCount, sizeof(UnreadDevice))) {
      facts->listBroken = true;
      return false;
    }
    facts->unread = static_cast<UnreadDevice *>(items);
    facts->unread[facts->unreadCount++] = UnreadDevice{index, isPresent};
    return true;
  }
  void *items = facts->holders;
  if (!GrowArray(&items, &facts->holderCapacity, facts->holderCount, sizeof(ControllerHolder))) {
    facts->complete = facts->presentComplete = false;
    facts->listBroken = true;
    return false;
  }
  facts->holders = static_cast<ControllerHolder *>(items);
  facts->holders[facts->holderCount++] =
      ControllerHolder{index, number, isPresent, SameDevice(name, facts->self), true};
  return true;
}

}  // namespace

namespace capireg {

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

void LearnNumberingFacts(PSP_DEVINFO_DATA device, HDEVINFO presentDevices, NumberingFacts *facts) {
  *facts = NumberingFacts{};
  facts->list = INVALID_HANDLE_VALUE;
  if (device == nullptr) return;

  NameDevice(device, &facts->self);
  PresentDevices present;
  if (presentDevices != nullptr && presentDevices != INVALID_HANDLE_VALUE) {
    facts->presenceKnown = ReadPresentDevices(presentDevices, &present);
  }
  facts->presentComplete = facts->presenceKnown;

  facts->list = SetupDiGetClassDevsA(&device->ClassGuid, nullptr, nullptr, 0);
  facts->complete = facts->list != INVALID_HANDLE_VALUE;
  facts->listBroken = !facts->complete;
  if (!facts->complete) facts->presentComplete = false;
  for (DWORD index = 0; facts->list != INVALID_HANDLE_VALUE; ++index) {
    SP_DEVINFO_DATA element = {};
    element.cbSize = sizeof(element);
    if (!SetupDiEnumDeviceInfo(facts->list, index, &element)) {
      // Only the end of the list shows that every device was seen.
      if (GetLastError() != ERROR_NO_MORE_ITEMS) {
        facts->complete = facts->presentComplete = false;
        facts->listBroken = true;
      }
      break;
    }
    if (!NoteDevice(facts, index, &element, &present, false)) break;
  }
  if (present.items != nullptr) LocalFree(present.items);
}

bool RereadDevices(NumberingFacts *facts) {
  if (facts->reread || facts->unreadCount == 0) return false;
  facts->reread = true;
  UnreadDevice *unread = facts->unread;
  const DWORD unreadCount = facts->unreadCount;
  facts->unread = nullptr;
  facts->unreadCount = facts->unreadCapacity = 0;
  for (DWORD i = 0; i < unreadCount; ++i) {
    SP_DEVINFO_DATA element = {};
    element.cbSize = sizeof(element);
    if (!SetupDiEnumDeviceInfo(facts->list, unread[i].index, &element) ||
        !NoteDevice(facts, unread[i].index, &element, nullptr, unread[i].present)) {
      // Not to be read again: it stays unknown.
      facts->listBroken = true;
    }
  }
  LocalFree(unread);
  // Devices read now join the holders at the end; FindHolder keeps to the enumeration order.
  bool presentUnread = false;
  for (DWORD i = 0; i < facts->unreadCount; ++i) presentUnread |= facts->unread[i].present;
  facts->complete = !facts->listBroken && facts->unreadCount == 0;
  facts->presentComplete = facts->presenceKnown && !facts->listBroken && !presentUnread;
  return facts->unreadCount < unreadCount;
}

void ForgetNumberingFacts(NumberingFacts *facts) {
  if (facts->list != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(facts->list);
  if (facts->holders != nullptr) LocalFree(facts->holders);
  if (facts->unread != nullptr) LocalFree(facts->unread);
  if (facts->keys != nullptr) LocalFree(facts->keys);
  if (facts->manufacturerKey != nullptr) RegCloseKey(facts->manufacturerKey);
  *facts = NumberingFacts{};
  facts->list = INVALID_HANDLE_VALUE;
}

DWORD FindHolder(const NumberingFacts &facts, DWORD number, bool presentOnly, bool *uncertain) {
  DWORD first = facts.holderCount;
  for (DWORD i = 0; i < facts.holderCount; ++i) {
    const ControllerHolder &holder = facts.holders[i];
    if (!holder.holds || holder.number != number || (presentOnly && !holder.present)) continue;
    if (first == facts.holderCount || holder.index < facts.holders[first].index) first = i;
  }
  if (first == facts.holderCount && uncertain != nullptr) {
    *uncertain = presentOnly ? !facts.presentComplete : !facts.complete;
  }
  return first;
}

HKEY OpenHolderCapiKey(const NumberingFacts &facts, DWORD item) {
  SP_DEVINFO_DATA element = {};
  element.cbSize = sizeof(element);
  if (item >= facts.holderCount || !SetupDiEnumDeviceInfo(facts.list, facts.holders[item].index, &element)) {
    return InvalidKey();
  }
  HKEY driverKey = OpenDriverKey(facts.list, &element, KEY_READ);
  if (!IsOpen(driverKey)) return InvalidKey();
  HKEY capiKey = nullptr;
  const LONG opened = RegOpenKeyExA(driverKey, kDeviceCapiKeyPath, 0, kReadWriteAccess, &capiKey);
  RegCloseKey(driverKey);
  return opened == ERROR_SUCCESS ? capiKey : InvalidKey();
}

bool RewriteHolderController(NumberingFacts *facts, DWORD item, DWORD number) {
  HKEY capiKey = OpenHolderCapiKey(*facts, item);
  if (!IsOpen(capiKey)) return false;
  const bool written = WriteDwordValue(capiKey, kControllerValue, number - 1);
  RegCloseKey(capiKey);
  if (written) facts->holders[item].number = number;
  return written;
}

}  // namespace capireg

HKEY FindDeviceByController(PSP_DEVINFO_DATA device, DWORD number, BOOL presentOnly, BOOL *listUnavailable) {
  // Without a class there is no list to search: nobody can say who holds the number.
  HDEVINFO present = INVALID_HANDLE_VALUE;
  if (device != nullptr && presentOnly) {
    present = SetupDiGetClassDevsA(&device->ClassGuid, nullptr, nullptr, DIGCF_PRESENT);
  }
  NumberingFacts facts;
  LearnNumberingFacts(device, present, &facts);
  if (present != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(present);

  bool uncertain = device == nullptr;
  const DWORD holder = FindHolder(facts, number, presentOnly != FALSE, &uncertain);
  // Handed back writable: the numbering rewrites Controller through it when it moves a device.
  HKEY capiKey = holder < facts.holderCount ? OpenHolderCapiKey(facts, holder) : InvalidKey();
  if (capiKey == InvalidKey() && holder < facts.holderCount) uncertain = true;
  ForgetNumberingFacts(&facts);
  if (listUnavailable != nullptr) *listUnavailable = uncertain ? TRUE : FALSE;
  return capiKey;
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
