// Numbering of CAPI controllers per manufacturer under SOFTWARE\CAPI20: manufacturer keys, the
// choice of a free controller number, moving an absent device out of the way, pruning numbers
// that no device holds any more, giving numbers back, and the look at the class's adapters before
// a device is numbered.
//
// A controller number belongs to one adapter: two adapters on one number make CAPI applications
// reach the wrong adapter or none. A failed installation used to give its number back while the
// device went on storing it, and a stored number used to be taken again without a look, so numbers
// ended up on two adapters. The adapters of the maker are the devices of the class with
// ProductCode 1, present or not. Hence these rules:
// - Whenever a number is given back after an installation (a failed installation, a channel count
//   that cannot be recorded), the device's Controller value goes first, and the number only once
//   it has gone: no device stores a number it does not hold. A failed installation of a device
//   that held its number before this installation gives nothing back; its earlier driver may still
//   run. The pre-install phase marks that case in the number it hands to the post-processing call
//   (0x80000000 in PrivateData; numbers never reach 2^31).
// - A stored number is taken again only while it is still the device's: its controller key exists
//   and no other adapter of the maker stores it. When its key is gone and nobody else stores it,
//   the key comes back (and is counted). When another adapter stores it, or when that cannot be
//   ruled out for a number without a key, the device's value goes and the device is numbered as
//   one without a number. A number whose key exists is trusted even when some device of the class
//   cannot be read.
// - A free number is never one that an adapter of the maker stores: such a number without a key is
//   dealt with as if its key existed (its key comes back; a present holder keeps the number, an
//   absent one is moved).
// - Every installation repairs what earlier versions left behind, before it numbers: keys that
//   nobody holds go, stored numbers get their keys back, and of adapters on one number the first
//   present one in the class's enumeration order keeps it (the first one when none is present: the
//   one a search by number finds); each other one moves to the lowest number that has no key and
//   that nobody stores, with a copy of the controller key's values. The count then matches the
//   keys. Where the present devices cannot be listed, nobody is moved.
// - A removal gives the device's number back only while it is the device's own in the same sense:
//   a number that another adapter stores too stays for that one, and a number without a key is not
//   taken off the count.
// - A manufacturer key that cannot be opened for writing is opened for reading to learn whose it
//   is. Only a key whose Manufacturer cannot be read may be the maker's: that one stops a new
//   manufacturer key from being made (and with it the installation); another maker's key does not.
//
// No controller number that a device still holds may be lost either. Hence, beyond the plain
// registry walk:
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
#include "controller_holders.h"

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

// Whether a manufacturer key that cannot be opened for writing may be the maker's: it is when its
// Manufacturer names the maker, or when even that cannot be read.
bool ReadOnlyKeyMayBeTheMakers(HKEY root, const char *keyName, const char *manufacturer) {
  HKEY key = nullptr;
  const LONG opened = RegOpenKeyExA(root, keyName, 0, KEY_READ, &key);
  if (opened == ERROR_FILE_NOT_FOUND) return false;
  if (opened != ERROR_SUCCESS) return true;
  const Match match = HoldsManufacturer(key, manufacturer);
  RegCloseKey(key);
  return match != Match::No;
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
      // Not to be used; whose it is decides whether the maker may still be without a key.
      if (opened != ERROR_FILE_NOT_FOUND && ReadOnlyKeyMayBeTheMakers(root, keyName, manufacturer)) {
        unreadable = true;
      }
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

// Moves the values of the open controller key `oldKey` (named `oldName`) into a new controller key
// `newNumber`, then deletes the old key; closes `oldKey`. The values are never merged into a key
// that exists already (it may be someone else's), and the old key goes only once every value has
// arrived; otherwise the new key is undone and false returned.
bool MoveControllerKey(HKEY manufacturerKey, HKEY oldKey, const char *oldName, DWORD newNumber) {
  char newName[kNumberTextSize];
  FormatNumber(newName, kNumberKeyFormat, newNumber);
  char noClass[] = "";
  HKEY newKey = nullptr;
  DWORD disposition = 0;
  const LONG created = RegCreateKeyExA(manufacturerKey, newName, 0, noClass, REG_OPTION_NON_VOLATILE,
                                       kReadWriteAccess, nullptr, &newKey, &disposition);
  if (created != ERROR_SUCCESS || disposition != REG_CREATED_NEW_KEY) {
    if (created == ERROR_SUCCESS) RegCloseKey(newKey);
    RegCloseKey(oldKey);
    return false;
  }
  const bool copied = CopyAllValues(oldKey, newKey);
  RegCloseKey(newKey);
  RegCloseKey(oldKey);
  if (!copied) {
    RegDeleteKeyA(manufacturerKey, newName);
    return false;
  }
  RegDeleteKeyA(manufacturerKey, oldName);
  return true;
}

// Makes sure controller key `number` exists under the manufacturer key; *created tells whether it
// was made here. A key that exists but cannot be opened counts as there.
bool EnsureControllerKey(HKEY manufacturerKey, DWORD number, bool *created) {
  *created = false;
  char keyName[kNumberTextSize];
  FormatNumber(keyName, kNumberKeyFormat, number);
  char noClass[] = "";
  HKEY key = nullptr;
  DWORD disposition = 0;
  const LONG status = RegCreateKeyExA(manufacturerKey, keyName, 0, noClass, REG_OPTION_NON_VOLATILE, KEY_READ,
                                      nullptr, &key, &disposition);
  if (status != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  *created = disposition == REG_CREATED_NEW_KEY;
  return true;
}

// Adds `added` controller keys made outside an allocation to NumberOfControllers. A count that
// cannot be read is left as it is; the next prune writes it.
void AddToControllerCount(HKEY manufacturerKey, DWORD added) {
  DWORD count = 0;
  if (added != 0 && ReadDwordValue(manufacturerKey, kNumberOfControllersValue, &count)) {
    WriteDwordValue(manufacturerKey, kNumberOfControllersValue, count + added);
  }
}

// The prune of PruneOrphanControllers; a number in `reserved` counts as held whoever stores it (the
// number that the device being installed keeps, whatever its ProductCode).
void PruneControllers(PSP_DEVINFO_DATA device, const char *manufacturer, const DWORD *reserved) {
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
      const DWORD number = ParseKeyNumber(keyName);
      if (reserved != nullptr && number == *reserved) {
        ++held;
        continue;
      }
      BOOL listUnavailable = FALSE;
      HKEY holder = FindDeviceByController(device, number, FALSE, &listUnavailable);
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

// Whether controller key `number` of the manufacturer exists: true also for a key that exists but
// cannot be opened; false when the manufacturer has no key it can be found by.
bool ControllerKeyExists(const char *manufacturer, DWORD number) {
  HKEY manufacturerKey = nullptr;
  char manufacturerName[kNameBufferSize];
  if (!OpenManufacturerKey(manufacturer, &manufacturerKey, manufacturerName, sizeof(manufacturerName))) {
    return false;
  }
  char keyName[kNumberTextSize];
  FormatNumber(keyName, kNumberKeyFormat, number);
  HKEY probe = nullptr;
  const LONG opened = RegOpenKeyExA(manufacturerKey, keyName, 0, KEY_READ, &probe);
  if (opened == ERROR_SUCCESS) RegCloseKey(probe);
  RegCloseKey(manufacturerKey);
  return opened != ERROR_FILE_NOT_FOUND;
}

// Whether an adapter other than the device being installed stores `number`.
bool AnotherHolderStores(const ControllerHolders &holders, PSP_DEVINFO_DATA device, DWORD number) {
  for (DWORD i = 0; i < holders.count; ++i) {
    if (holders.items[i].devInst != device->DevInst && holders.items[i].number == number) return true;
  }
  return false;
}

// What the device being installed may do with the number it stores.
StoredControllerUse ClaimStoredNumber(const ControllerHolders &holders, PSP_DEVINFO_DATA device,
                                      const char *manufacturer, DWORD stored) {
  if (AnotherHolderStores(holders, device, stored)) return STORED_CONTROLLER_NONE;
  if (ControllerKeyExists(manufacturer, stored)) return STORED_CONTROLLER_HELD;
  // Without its key the number is taken again only when nobody else can be storing it.
  return holders.complete ? STORED_CONTROLLER_KEY_RESTORED : STORED_CONTROLLER_NONE;
}

// The lowest number that has no controller key and that neither a holder nor the device being
// installed stores; 0 when none can be found among as many numbers as there are keys and holders.
DWORD LowestUnusedNumber(HKEY manufacturerKey, const ControllerHolders &holders, const DWORD *reserved) {
  DWORD subkeys = 0;
  if (!CountSubkeys(manufacturerKey, &subkeys)) return 0;
  const DWORD last = subkeys + holders.count + 2;
  for (DWORD n = 1; n <= last; ++n) {
    bool stored = reserved != nullptr && *reserved == n;
    for (DWORD i = 0; i < holders.count && !stored; ++i) stored = holders.items[i].number == n;
    if (stored) continue;
    char keyName[kNumberTextSize];
    FormatNumber(keyName, kNumberKeyFormat, n);
    HKEY probe = nullptr;
    const LONG opened = RegOpenKeyExA(manufacturerKey, keyName, 0, KEY_READ, &probe);
    if (opened == ERROR_SUCCESS) RegCloseKey(probe);
    if (opened == ERROR_FILE_NOT_FOUND) return n;
  }
  return 0;
}

// Moves holder `item` off the number it shares to a number of its own: a new controller key with a
// copy of the shared key's values, then the holder's value. Undone when either fails.
bool MoveSharingHolder(HKEY manufacturerKey, ControllerHolders *holders, DWORD item, const DWORD *reserved) {
  const DWORD target = LowestUnusedNumber(manufacturerKey, *holders, reserved);
  if (target == 0) return false;
  char sharedName[kNumberTextSize];
  FormatNumber(sharedName, kNumberKeyFormat, holders->items[item].number);
  char targetName[kNumberTextSize];
  FormatNumber(targetName, kNumberKeyFormat, target);

  HKEY shared = nullptr;
  if (RegOpenKeyExA(manufacturerKey, sharedName, 0, KEY_READ, &shared) != ERROR_SUCCESS) return false;
  char noClass[] = "";
  HKEY created = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExA(manufacturerKey, targetName, 0, noClass, REG_OPTION_NON_VOLATILE, kReadWriteAccess, nullptr,
                      &created, &disposition) != ERROR_SUCCESS) {
    RegCloseKey(shared);
    return false;
  }
  const bool copied = disposition == REG_CREATED_NEW_KEY && CopyAllValues(shared, created);
  RegCloseKey(created);
  RegCloseKey(shared);
  if (disposition != REG_CREATED_NEW_KEY) return false;
  if (!copied || !RewriteHolderController(*holders, item, target)) {
    RegDeleteKeyA(manufacturerKey, targetName);
    return false;
  }
  holders->items[item].number = target;
  return true;
}

// Gives every stored number its key and moves all but one of the adapters that share a number.
// The device being installed is left out: it holds `reserved` (nobody else stores that), or
// nothing.
void RepairHolders(ControllerHolders *holders, PSP_DEVINFO_DATA device, const char *manufacturer,
                   const DWORD *reserved) {
  bool anyHolder = reserved != nullptr;
  for (DWORD i = 0; i < holders->count && !anyHolder; ++i)
    anyHolder = holders->items[i].devInst != device->DevInst;
  if (!anyHolder) return;
  HKEY manufacturerKey = nullptr;
  if (!OpenOrCreateManufacturerKey(manufacturer, &manufacturerKey)) return;

  DWORD added = 0;
  bool created = false;
  if (reserved != nullptr && EnsureControllerKey(manufacturerKey, *reserved, &created) && created) ++added;
  for (DWORD i = 0; i < holders->count; ++i) {
    if (holders->items[i].devInst == device->DevInst) continue;
    if (EnsureControllerKey(manufacturerKey, holders->items[i].number, &created) && created) ++added;
  }

  for (DWORD i = 0; i < holders->count && holders->presenceKnown; ++i) {
    const ControllerHolder &holder = holders->items[i];
    if (holder.devInst == device->DevInst) continue;
    // The keeper of the number: the first present holder, else the first holder.
    DWORD keeper = holders->count;
    for (DWORD j = 0; j < holders->count; ++j) {
      const ControllerHolder &other = holders->items[j];
      if (other.devInst == device->DevInst || other.number != holder.number) continue;
      if (keeper == holders->count) keeper = j;
      if (other.present) {
        keeper = j;
        break;
      }
    }
    if (keeper != i && MoveSharingHolder(manufacturerKey, holders, i, reserved)) ++added;
  }

  AddToControllerCount(manufacturerKey, added);
  RegCloseKey(manufacturerKey);
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
      // Free unless an adapter stores it all the same (as far as the class can be read): then its
      // key comes back, and the number is dealt with below as any held one.
      HKEY holder = FindDeviceByController(device, n, FALSE);
      if (holder == InvalidKey()) {
        *number = n;
        return TRUE;
      }
      RegCloseKey(holder);
      bool created = false;
      if (!EnsureControllerKey(manufacturerKey, n, &created)) continue;
      if (created) AddToControllerCount(manufacturerKey, 1);
    } else if (opened != ERROR_SUCCESS) {
      // The key is there, only not to be opened: its number is taken.
      if (lastCandidate == 0) {
        DWORD subkeys = 0;
        if (!CountSubkeys(manufacturerKey, &subkeys)) return FALSE;
        lastCandidate = subkeys + 1;
      }
      if (n >= lastCandidate) return FALSE;
      continue;
    } else {
      RegCloseKey(probe);
    }
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
      // The absent device still names n: its controller goes back to n, which stays its own.
      char movedName[kNumberTextSize];
      FormatNumber(movedName, kNumberKeyFormat, moved);
      HKEY movedKey = nullptr;
      if (RegOpenKeyExA(manufacturerKey, movedName, 0, kReadWriteAccess, &movedKey) == ERROR_SUCCESS) {
        MoveControllerKey(manufacturerKey, movedKey, movedName, n);
      }
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

  bool moved = false;
  if (FindFreeController(device, manufacturer, manufacturerKey, number, FALSE)) {
    moved = MoveControllerKey(manufacturerKey, oldKey, oldName, *number);
  } else {
    RegCloseKey(oldKey);
  }
  RegCloseKey(manufacturerKey);
  if (!moved) *number = oldNumber;
  return moved ? TRUE : FALSE;
}

void PruneOrphanControllers(PSP_DEVINFO_DATA device, const char *manufacturer) {
  PruneControllers(device, manufacturer, nullptr);
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

BOOL IsOwnController(PSP_DEVINFO_DATA device, DWORD number) {
  if (device == nullptr) return FALSE;
  ControllerHolders holders;
  ReadControllerHolders(device, &holders);
  const bool own = ClaimStoredNumber(holders, device, kMakerManufacturerName, number) == STORED_CONTROLLER_HELD;
  FreeControllerHolders(&holders);
  return own ? TRUE : FALSE;
}

StoredControllerUse PrepareControllers(HDEVINFO set, PSP_DEVINFO_DATA device, const char *manufacturer,
                                       const DWORD *stored) {
  ControllerHolders holders;
  ReadControllerHolders(device, &holders);
  StoredControllerUse use = STORED_CONTROLLER_NONE;
  if (device != nullptr && stored != nullptr) {
    use = ClaimStoredNumber(holders, device, manufacturer, *stored);
    // A number that is not the device's goes before anything is numbered, so that nothing takes it
    // for the device's.
    if (use == STORED_CONTROLLER_NONE) ClearDeviceController(set, device, *stored);
  }
  const DWORD *reserved = use == STORED_CONTROLLER_NONE ? nullptr : stored;
  if (device != nullptr) {
    PruneControllers(device, manufacturer, reserved);
    RepairHolders(&holders, device, manufacturer, reserved);
  }
  FreeControllerHolders(&holders);
  return use;
}
