// Numbering of CAPI controllers per manufacturer under SOFTWARE\CAPI20: manufacturer keys, the
// choice of a free controller number, moving an absent device out of the way, pruning numbers
// that no device holds any more, and giving numbers back.
//
// No controller number that a device still holds may be lost. Hence, beyond the plain registry
// walk:
// - a number is treated as held whenever the class device list cannot be had, so that neither
//   the prune nor the reclaim of absent devices acts on a guess;
// - a controller key that cannot be deleted does not count as a deletion, and is not counted;
// - a moved controller keeps every value, and its old key goes only once all of them arrived;
// - a device that cannot be read, a controller key that exists but cannot be opened, and a
//   manufacturer key that cannot be read all count as there: a number is taken as free, and a
//   manufacturer key is made anew, only when the registry says that nothing is there;
// - an absent device whose stored number cannot be rewritten after its controller moved gets the
//   controller back under its old number, which then stays its own.
#include "capireg.h"
#include "capireg_constants.h"
#include "capireg_helpers.h"

using namespace capireg;

namespace {

bool IsAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Compares `length` bytes of `text` (not necessarily zero-terminated) with the zero-terminated
// `wanted`, ASCII letters without regard to case.
bool SameNameIgnoringCase(const char *text, DWORD length, const char *wanted) {
  DWORD i = 0;
  for (; i < length && wanted[i] != '\0'; ++i) {
    if (AsciiLower(text[i]) != AsciiLower(wanted[i])) return false;
  }
  return i == length && wanted[i] == '\0';
}

// Reads a controller key's name as a number: leading white space, an optional sign, the digits
// up to the first other character; 0 when there are none. 32-bit unsigned arithmetic throughout,
// so "-1" reads as 4294967295, the way "%d" writes that number.
DWORD ParseKeyNumber(const char *name) {
  const char *p = name;
  while (IsAsciiSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = (*p == '-');
    ++p;
  }
  DWORD value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = value * 10 + static_cast<DWORD>(*p - '0');
  return negative ? 0u - value : value;
}

// The answer of a look at one key: it is the wanted one, it is not, or it could not be read.
enum class Match { Yes, No, Unreadable };

// Whether the key's Manufacturer value names `manufacturer`. The value is read into a buffer of
// the platform's path length; one that fills it or does not fit matches nothing, and a value
// without a terminating zero is never read past its data. A key without the value is no
// manufacturer's; one whose value cannot be read may be anybody's.
Match HoldsManufacturer(HKEY key, const char *manufacturer) {
  char text[kNameBufferSize];
  DWORD size = sizeof(text);
  const LONG status =
      RegQueryValueExA(key, kManufacturerValue, nullptr, nullptr, reinterpret_cast<LPBYTE>(text), &size);
  if (status == ERROR_FILE_NOT_FOUND || status == ERROR_MORE_DATA) return Match::No;
  if (status != ERROR_SUCCESS) return Match::Unreadable;
  if (size >= sizeof(text)) return Match::No;
  DWORD length = 0;
  while (length < size && text[length] != '\0') ++length;
  return SameNameIgnoringCase(text, length, manufacturer) ? Match::Yes : Match::No;
}

// Looks for the manufacturer key of `manufacturer` as OpenManufacturerKey does. *conclusive tells
// whether a miss is certain: the root and every manufacturer key could be read to the end.
BOOL SearchManufacturerKey(const char *manufacturer, HKEY *manufacturerKey, char *keyName, DWORD keyNameSize,
                           bool *conclusive) {
  *conclusive = false;
  char noClass[] = "";
  HKEY root = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kCapiRootPath, 0, noClass, REG_OPTION_NON_VOLATILE, KEY_READ, nullptr,
                      &root, nullptr) != ERROR_SUCCESS) {
    return FALSE;
  }

  // The first manufacturer key in enumeration order that carries the name wins.
  bool unreadable = false;
  for (DWORD index = 0;; ++index) {
    DWORD nameLength = keyNameSize;
    const LONG listed = RegEnumKeyExA(root, index, keyName, &nameLength, nullptr, nullptr, nullptr, nullptr);
    if (listed != ERROR_SUCCESS) {
      RegCloseKey(root);
      *conclusive = listed == ERROR_NO_MORE_ITEMS && !unreadable;
      return FALSE;
    }
    HKEY candidate = nullptr;
    const LONG opened = RegOpenKeyExA(root, keyName, 0, kReadWriteAccess, &candidate);
    if (opened != ERROR_SUCCESS) {
      if (opened != ERROR_FILE_NOT_FOUND) unreadable = true;
      continue;
    }
    const Match match = HoldsManufacturer(candidate, manufacturer);
    if (match == Match::Yes) {
      RegCloseKey(root);
      *manufacturerKey = candidate;
      return TRUE;
    }
    if (match == Match::Unreadable) unreadable = true;
    RegCloseKey(candidate);
  }
}

// Reads a string value into the caller's buffer and makes sure it is zero-terminated there.
bool ReadStringValue(HKEY key, const char *name, char *buffer, DWORD bufferSize) {
  DWORD size = bufferSize;
  if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size) != ERROR_SUCCESS) {
    return false;
  }
  for (DWORD i = 0; i < size; ++i) {
    if (buffer[i] == '\0') return true;
  }
  // Stored without its terminating zero: add one where it fits, never cut the text short.
  if (size >= bufferSize) return false;
  buffer[size] = '\0';
  return true;
}

// Manufacturer key of `manufacturer`, made when it certainly has none yet: a key that could not
// be read may be its, and a second key would number its controllers from 1 again.
bool OpenOrCreateManufacturerKey(const char *manufacturer, HKEY *manufacturerKey) {
  if (manufacturer == nullptr || manufacturerKey == nullptr) return false;
  char keyName[kNameBufferSize];
  bool conclusive = false;
  if (SearchManufacturerKey(manufacturer, manufacturerKey, keyName, sizeof(keyName), &conclusive)) return true;
  return conclusive && CreateManufacturerKey(manufacturer, manufacturerKey);
}

// How many subkeys the key has; false when that cannot be had.
bool CountSubkeys(HKEY key, DWORD *count) {
  return RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, count, nullptr, nullptr, nullptr, nullptr, nullptr,
                          nullptr, nullptr) == ERROR_SUCCESS;
}

// A buffer from the local heap, freed when it goes out of scope.
class LocalBuffer {
 public:
  LocalBuffer() = default;
  LocalBuffer(const LocalBuffer &) = delete;
  LocalBuffer &operator=(const LocalBuffer &) = delete;
  ~LocalBuffer() { Release(); }

  // Replaces the buffer by one of `size` bytes; false when no memory is left.
  bool Resize(DWORD size) {
    Release();
    memory_ = LocalAlloc(LMEM_FIXED, size);
    size_ = memory_ != nullptr ? size : 0;
    return memory_ != nullptr;
  }
  BYTE *bytes() const { return static_cast<BYTE *>(memory_); }
  char *chars() const { return static_cast<char *>(memory_); }
  DWORD size() const { return size_; }

 private:
  void Release() {
    if (memory_ != nullptr) LocalFree(memory_);
    memory_ = nullptr;
    size_ = 0;
  }
  HLOCAL memory_ = nullptr;
  DWORD size_ = 0;
};

// Copies every value of `from` into `to` under the same name, type and data. The buffers start
// from the key's own maxima (never below the usual name and data sizes) and grow when a value
// still does not fit, so no value is dropped for its size. False when any value could not be
// read or written.
bool CopyAllValues(HKEY from, HKEY to) {
  DWORD longestName = 0;
  DWORD largestData = 0;
  if (RegQueryInfoKeyA(from, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longestName,
                       &largestData, nullptr, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  LocalBuffer name;
  LocalBuffer data;
  const DWORD nameSize = longestName < kNameBufferSize ? kNameBufferSize : longestName + 1;
  const DWORD dataSize = largestData < kValueDataBufferSize ? kValueDataBufferSize : largestData;
  if (!name.Resize(nameSize) || !data.Resize(dataSize)) return false;

  for (DWORD index = 0;;) {
    DWORD nameLength = name.size();
    DWORD dataLength = data.size();
    DWORD type = REG_NONE;
    const LONG status =
        RegEnumValueA(from, index, name.chars(), &nameLength, nullptr, &type, data.bytes(), &dataLength);
    if (status == ERROR_NO_MORE_ITEMS) return true;
    if (status == ERROR_MORE_DATA) {
      // The data's size comes back as needed; a name's does not, so a name that did not fit is
      // given twice the room. Then the same value is read again.
      if (dataLength > data.size()) {
        if (!data.Resize(dataLength)) return false;
      } else {
        if (name.size() >= kMaxValueNameBufferSize || !name.Resize(name.size() * 2)) return false;
      }
      continue;
    }
    if (status != ERROR_SUCCESS) return false;
    if (RegSetValueExA(to, name.chars(), 0, type, data.bytes(), dataLength) != ERROR_SUCCESS) return false;
    ++index;
  }
}

}  // namespace

BOOL CreateManufacturerKey(const char *manufacturer, HKEY *manufacturerKey) {
  if (manufacturer == nullptr || manufacturerKey == nullptr) return FALSE;
  char noClass[] = "";
  HKEY root = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kCapiRootPath, 0, noClass, REG_OPTION_NON_VOLATILE, kReadWriteAccess,
                      nullptr, &root, nullptr) != ERROR_SUCCESS) {
    return FALSE;
  }

  for (DWORD m = 1;; ++m) {
    char keyName[kNumberTextSize];
    FormatNumber(keyName, kNumberKeyFormat, m);
    HKEY probe = nullptr;
    if (RegOpenKeyExA(root, keyName, 0, KEY_READ, &probe) == ERROR_SUCCESS) {
      RegCloseKey(probe);
      continue;
    }

    HKEY created = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(root, keyName, 0, noClass, REG_OPTION_NON_VOLATILE, kReadWriteAccess, nullptr, &created,
                        &disposition) != ERROR_SUCCESS) {
      RegCloseKey(root);
      return FALSE;
    }
    if (disposition == REG_OPENED_EXISTING_KEY) {
      // The number is taken by a key that could not be read: another manufacturer's, which must
      // not be overwritten.
      RegCloseKey(created);
      continue;
    }

    char deviceName[kNumberTextSize];
    FormatNumber(deviceName, kDeviceNameFormat, m);
    const bool written = WriteStringValue(created, kManufacturerValue, manufacturer) &&
                         WriteDwordValue(created, kNumberOfControllersValue, 0) &&
                         WriteStringValue(created, kDeviceNameValue, deviceName);
    if (!written) {
      // A manufacturer key without all three values would make every allocation fail.
      RegCloseKey(created);
      RegDeleteKeyA(root, keyName);
      RegCloseKey(root);
      return FALSE;
    }
    RegCloseKey(root);
    *manufacturerKey = created;
    return TRUE;
  }
}

BOOL OpenManufacturerKey(const char *manufacturer, HKEY *manufacturerKey, char *keyName, DWORD keyNameSize) {
  if (manufacturer == nullptr || manufacturerKey == nullptr || keyName == nullptr || keyNameSize == 0) {
    return FALSE;
  }
  bool conclusive = false;
  return SearchManufacturerKey(manufacturer, manufacturerKey, keyName, keyNameSize, &conclusive);
}

BOOL FindFreeController(PSP_DEVINFO_DATA device, const char *manufacturer, HKEY manufacturerKey, DWORD *number,
                        BOOL reclaimAbsent) {
  if (number == nullptr) return FALSE;
  // Set at the first controller key that exists but cannot be opened: the numbers up to one more
  // than the manufacturer key's subkeys hold a free one, so the search never needs to go beyond.
  DWORD lastCandidate = 0;
  for (DWORD n = 1;; ++n) {
    char keyName[kNumberTextSize];
    FormatNumber(keyName, kNumberKeyFormat, n);
    HKEY probe = nullptr;
    const LONG opened = RegOpenKeyExA(manufacturerKey, keyName, 0, KEY_READ, &probe);
    if (opened == ERROR_FILE_NOT_FOUND) {
      *number = n;
      return TRUE;
    }
    if (opened != ERROR_SUCCESS) {
      // The key is there, only not to be opened: its number is taken.
      if (lastCandidate == 0) {
        DWORD subkeys = 0;
        if (!CountSubkeys(manufacturerKey, &subkeys)) return FALSE;
        lastCandidate = subkeys + 1;
      }
      if (n >= lastCandidate) return FALSE;
      continue;
    }
    RegCloseKey(probe);
    if (!reclaimAbsent) continue;

    // A present device keeps its number; so does any device while the class list cannot be had.
    BOOL listUnavailable = FALSE;
    HKEY holder = FindDeviceByController(device, n, TRUE, &listUnavailable);
    if (holder != InvalidKey()) {
      RegCloseKey(holder);
      continue;
    }
    if (listUnavailable) continue;

    // No device at all holds n: an orphan, left for the next prune.
    holder = FindDeviceByController(device, n, FALSE, &listUnavailable);
    if (holder == InvalidKey()) continue;

    // Only an absent device holds n: it moves to a free number and n goes to the new device.
    DWORD moved = n;
    if (!MoveController(device, manufacturer, &moved)) {
      RegCloseKey(holder);
      continue;
    }
    if (!WriteDwordValue(holder, kControllerValue, moved - 1)) {
      // The absent device still names n: its controller goes back to the lowest free number,
      // which is n again now that its key is gone, and n stays the absent device's.
      MoveController(device, manufacturer, &moved);
      RegCloseKey(holder);
      continue;
    }
    RegCloseKey(holder);
    *number = n;
    return TRUE;
  }
}

BOOL MoveController(PSP_DEVINFO_DATA device, const char *manufacturer, DWORD *number) {
  if (number == nullptr) return FALSE;
  HKEY manufacturerKey = nullptr;
  if (!OpenOrCreateManufacturerKey(manufacturer, &manufacturerKey)) return FALSE;

  const DWORD oldNumber = *number;
  char oldName[kNumberTextSize];
  FormatNumber(oldName, kNumberKeyFormat, oldNumber);
  HKEY oldKey = nullptr;
  if (RegOpenKeyExA(manufacturerKey, oldName, 0, kReadWriteAccess, &oldKey) != ERROR_SUCCESS) {
    RegCloseKey(manufacturerKey);
    return FALSE;
  }

  if (!FindFreeController(device, manufacturer, manufacturerKey, number, FALSE)) {
    RegCloseKey(oldKey);
    RegCloseKey(manufacturerKey);
    *number = oldNumber;
    return FALSE;
  }
  char newName[kNumberTextSize];
  FormatNumber(newName, kNumberKeyFormat, *number);

  char noClass[] = "";
  HKEY newKey = nullptr;
  DWORD disposition = 0;
  const LONG created = RegCreateKeyExA(manufacturerKey, newName, 0, noClass, REG_OPTION_NON_VOLATILE,
                                       kReadWriteAccess, nullptr, &newKey, &disposition);
  if (created != ERROR_SUCCESS || disposition != REG_CREATED_NEW_KEY) {
    // Either no new key, or a key that exists after all (its probe failed for another reason):
    // values are never merged into a controller key that may be someone else's.
    if (created == ERROR_SUCCESS) RegCloseKey(newKey);
    RegCloseKey(oldKey);
    RegCloseKey(manufacturerKey);
    *number = oldNumber;
    return FALSE;
  }

  if (!CopyAllValues(oldKey, newKey)) {
    // Something would be lost: undo the new key and leave the device where it is.
    RegCloseKey(newKey);
    RegCloseKey(oldKey);
    RegDeleteKeyA(manufacturerKey, newName);
    RegCloseKey(manufacturerKey);
    *number = oldNumber;
    return FALSE;
  }

  RegCloseKey(oldKey);
  RegCloseKey(newKey);
  RegDeleteKeyA(manufacturerKey, oldName);
  RegCloseKey(manufacturerKey);
  return TRUE;
}

void PruneOrphanControllers(PSP_DEVINFO_DATA device, const char *manufacturer) {
  HKEY manufacturerKey = nullptr;
  char manufacturerName[kNameBufferSize];
  if (!OpenManufacturerKey(manufacturer, &manufacturerKey, manufacturerName, sizeof(manufacturerName))) return;

  // A deletion moves the next key into the deleted key's index, where this pass does not look
  // again: passes repeat until one deletes nothing, and that pass has seen every key.
  DWORD held = 0;
  bool deletedAny = true;
  while (deletedAny) {
    held = 0;
    deletedAny = false;
    for (DWORD index = 0;; ++index) {
      char keyName[kNameBufferSize];
      DWORD nameLength = sizeof(keyName);
      if (RegEnumKeyExA(manufacturerKey, index, keyName, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
      BOOL listUnavailable = FALSE;
      HKEY holder = FindDeviceByController(device, ParseKeyNumber(keyName), FALSE, &listUnavailable);
      if (holder != InvalidKey()) {
        RegCloseKey(holder);
        ++held;
      } else if (listUnavailable) {
        // Whether a device holds it cannot be told: kept, and counted as held.
        ++held;
      } else if (RegDeleteKeyA(manufacturerKey, keyName) == ERROR_SUCCESS) {
        deletedAny = true;
      }
      // An orphan that cannot be deleted stays; it is not held, so it is not counted either.
    }
  }

  WriteDwordValue(manufacturerKey, kNumberOfControllersValue, held);
  RegCloseKey(manufacturerKey);
}

BOOL AllocateController(PSP_DEVINFO_DATA device, const char *manufacturer, char *deviceName, DWORD deviceNameSize,
                        DWORD *number) {
  if (manufacturer == nullptr || deviceName == nullptr || deviceNameSize == 0 || number == nullptr) return FALSE;

  PruneOrphanControllers(device, manufacturer);

  HKEY manufacturerKey = nullptr;
  if (!OpenOrCreateManufacturerKey(manufacturer, &manufacturerKey)) return FALSE;

  BOOL result = FALSE;
  DWORD count = 0;
  if (ReadStringValue(manufacturerKey, kDeviceNameValue, deviceName, deviceNameSize) &&
      ReadDwordValue(manufacturerKey, kNumberOfControllersValue, &count) &&
      WriteDwordValue(manufacturerKey, kNumberOfControllersValue, count + 1)) {
    DWORD chosen = 0;
    if (FindFreeController(device, manufacturer, manufacturerKey, &chosen, TRUE)) {
      char keyName[kNumberTextSize];
      FormatNumber(keyName, kNumberKeyFormat, chosen);
      char noClass[] = "";
      HKEY controllerKey = nullptr;
      // A key that is already there (the number was held by an absent device) is simply opened.
      if (RegCreateKeyExA(manufacturerKey, keyName, 0, noClass, REG_OPTION_NON_VOLATILE, kReadWriteAccess, nullptr,
                          &controllerKey, nullptr) == ERROR_SUCCESS) {
        RegCloseKey(controllerKey);
        *number = chosen;
        result = TRUE;
      }
    }
  }

  RegCloseKey(manufacturerKey);
  return result;
}

BOOL ReleaseController(const char *manufacturer, DWORD number) {
  HKEY manufacturerKey = nullptr;
  char manufacturerName[kNameBufferSize];
  if (!OpenManufacturerKey(manufacturer, &manufacturerKey, manufacturerName, sizeof(manufacturerName))) {
    return FALSE;
  }

  DWORD count = 0;
  if (!ReadDwordValue(manufacturerKey, kNumberOfControllersValue, &count)) {
    RegCloseKey(manufacturerKey);
    return TRUE;
  }

  // The count stops at 0; the next prune recounts anyway.
  const DWORD remaining = count > 0 ? count - 1 : 0;
  if (WriteDwordValue(manufacturerKey, kNumberOfControllersValue, remaining)) {
    char keyName[kNumberTextSize];
    FormatNumber(keyName, kNumberKeyFormat, number);
    RegDeleteKeyA(manufacturerKey, keyName);
  }
  RegCloseKey(manufacturerKey);
  if (remaining != 0) return TRUE;

  // The last controller is gone: the manufacturer key goes too, unless controller keys are
  // still under it (then the deletion fails and the key stays).
  char noClass[] = "";
  HKEY root = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kCapiRootPath, 0, noClass, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                      &root, nullptr) != ERROR_SUCCESS) {
    return FALSE;
  }
  RegDeleteKeyA(root, manufacturerName);
  RegCloseKey(root);
  return TRUE;
}

DWORD WriteControllerChannels(HDEVINFO set, PSP_DEVINFO_DATA device) {
  DWORD channels = 0;
  if (!ReadWanEndPoints(set, device, &channels)) return ERROR_DI_DONT_INSTALL;
  DWORD controller = 0;
  if (!ReadDeviceController(set, device, &controller)) return ERROR_DI_DONT_INSTALL;

  HKEY manufacturerKey = nullptr;
  char manufacturerName[kNameBufferSize];
  if (!OpenManufacturerKey(kMakerManufacturerName, &manufacturerKey, manufacturerName, sizeof(manufacturerName))) {
    return ERROR_DI_DONT_INSTALL;
  }

  // Opened, never created: a device whose number was released does not bring the key back.
  char keyName[kNumberTextSize];
  FormatNumber(keyName, kNumberKeyFormat, controller);
  HKEY controllerKey = nullptr;
  if (RegOpenKeyExA(manufacturerKey, keyName, 0, KEY_WRITE, &controllerKey) != ERROR_SUCCESS) {
    RegCloseKey(manufacturerKey);
    return ERROR_DI_DONT_INSTALL;
  }

  // The channel count is informational for the CAPI layer; a failed write does not fail the
  // installation.
  WriteDwordValue(controllerKey, kChannelsValue, channels);
  RegCloseKey(controllerKey);
  RegCloseKey(manufacturerKey);
  return NO_ERROR;
}
