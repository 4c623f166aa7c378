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
//   the key comes back (and is counted). Only a number that the device held as the maker's adapter
//   (ProductCode 1) with its key counts as held before the installation. When another adapter stores it, or when
//   that cannot be ruled out for a number without a key, the device's value goes and the device is numbered as one
//   without a number. A number whose key exists is trusted even when some device of the class cannot be read.
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
// - Where the list of the class's devices itself cannot be had or read to its end, the devices not
//   seen may store any number: no number without a key is given out then (the allocation fails)
//   and no adapter is moved off a shared number.
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
//
// One look per request. Who holds a number used to be found by a search that built the class
// device list and opened every device's key, once per number examined: the calls grew with the
// square of the adapters on the machine. Now a request learns the class once (NumberingFacts: one
// list of all its devices, each device's values read once, the maker's manufacturer key found once,
// its controller keys as the prune's enumeration saw them) and writes every change it makes into
// what it learnt, so that each later question gets the answer the registry would give. The search
// for a free number with reclaimAbsent set still opens the keys it passes, because whether a key
// can be opened decides how its number is dealt with; it passes only the numbers below the one it
// gives. The named functions keep their meaning; called on their own, each learns the class for
// itself.
#include <string.h>

#include "capireg.h"
#include "capireg_constants.h"
#include "capireg_helpers.h"
#include "numbering_facts.h"

using namespace capireg;

namespace {

bool IsAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
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

// ---- What the request has learnt about the maker's keys ----

// The maker's manufacturer key, looked for once per request; nullptr while the maker has none.
HKEY FactsManufacturerKey(NumberingFacts *facts, const char *manufacturer) {
  if (!facts->manufacturerSearched && manufacturer != nullptr) {
    facts->manufacturerSearched = true;
    HKEY found = nullptr;
    if (SearchManufacturerKey(manufacturer, &found, facts->manufacturerName, sizeof(facts->manufacturerName),
                              &facts->manufacturerConclusive)) {
      facts->manufacturerKey = found;
    }
  }
  return facts->manufacturerKey;
}

// The maker's manufacturer key, made when the maker certainly has none yet: a key that could not
// be read may be its, and a second key would number its controllers from 1 again.
HKEY FactsManufacturerKeyOrCreate(NumberingFacts *facts, const char *manufacturer) {
  if (FactsManufacturerKey(facts, manufacturer) != nullptr || !facts->manufacturerConclusive) {
    return facts->manufacturerKey;
  }
  HKEY created = nullptr;
  if (!CreateManufacturerKey(manufacturer, &created)) return nullptr;
  facts->manufacturerKey = created;
  // A new key has no controller keys.
  facts->keysKnown = true;
  facts->keyCount = 0;
  return created;
}

bool IsCanonicalKeyName(const char *name, DWORD number) {
  char canonical[kNumberTextSize];
  FormatNumber(canonical, kNumberKeyFormat, number);
  return strcmp(name, canonical) == 0;
}

// Whether controller key `number` exists under its own name, as far as the facts know.
bool KnownKey(const NumberingFacts &facts, DWORD number) {
  for (DWORD i = 0; i < facts.keyCount; ++i) {
    if (facts.keys[i].canonical && facts.keys[i].number == number) return true;
  }
  return false;
}

// Notes a controller key that now exists (no effect while the keys are not known).
void NoteKey(NumberingFacts *facts, DWORD number, bool canonical) {
  if (!facts->keysKnown) return;
  void *items = facts->keys;
  if (!GrowArray(&items, &facts->keyCapacity, facts->keyCount, sizeof(ControllerKeyFact))) {
    facts->keysKnown = false;  // what is not written down is not known
    return;
  }
  facts->keys = static_cast<ControllerKeyFact *>(items);
  facts->keys[facts->keyCount++] = ControllerKeyFact{number, canonical};
}

// Notes that controller key `number`, under its own name, is gone.
void NoteKeyGone(NumberingFacts *facts, DWORD number) {
  for (DWORD i = 0; i < facts->keyCount; ++i) {
    if (facts->keys[i].canonical && facts->keys[i].number == number) {
      facts->keys[i] = facts->keys[--facts->keyCount];
      return;
    }
  }
}

bool HasOddKeyNames(const NumberingFacts &facts) {
  for (DWORD i = 0; i < facts.keyCount; ++i) {
    if (!facts.keys[i].canonical) return true;
  }
  return false;
}

// Opens controller key `number` for reading as a probe and closes it: ERROR_SUCCESS, or the error
// that the open gave. Where every key is known, the answer comes from the facts.
LONG ProbeControllerKey(const NumberingFacts &facts, HKEY manufacturerKey, DWORD number, bool useFacts) {
  if (useFacts && facts.keysKnown) return KnownKey(facts, number) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  char keyName[kNumberTextSize];
  FormatNumber(keyName, kNumberKeyFormat, number);
  HKEY probe = nullptr;
  const LONG opened = RegOpenKeyExA(manufacturerKey, keyName, 0, KEY_READ, &probe);
  if (opened == ERROR_SUCCESS) RegCloseKey(probe);
  return opened;
}

// ---- Steps of the numbering ----

// Moves the values of the open controller key `oldKey` (named `oldName`, number `oldNumber`) into
// a new controller key `newNumber`, then deletes the old key; closes `oldKey`. The values are never
// merged into a key that exists already (it may be someone else's), and the old key goes only once
// every value has arrived; otherwise the new key is undone and false returned.
bool MoveControllerKey(NumberingFacts *facts, HKEY manufacturerKey, HKEY oldKey, DWORD oldNumber,
                       DWORD newNumber) {
  char oldName[kNumberTextSize];
  FormatNumber(oldName, kNumberKeyFormat, oldNumber);
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
    if (RegDeleteKeyA(manufacturerKey, newName) != ERROR_SUCCESS) NoteKey(facts, newNumber, true);
    return false;
  }
  NoteKey(facts, newNumber, true);
  if (RegDeleteKeyA(manufacturerKey, oldName) == ERROR_SUCCESS) NoteKeyGone(facts, oldNumber);
  return true;
}

// Makes sure controller key `number` exists under the manufacturer key; *created tells whether it
// was made here. A key that exists but cannot be opened counts as there.
bool EnsureControllerKey(NumberingFacts *facts, HKEY manufacturerKey, DWORD number, bool *created) {
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
  if (*created) NoteKey(facts, number, true);
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

// FindHolder, but an answer that devices not read leave open has them read once more first.
DWORD FindHolderRereading(NumberingFacts *facts, DWORD number, bool presentOnly, bool *uncertain) {
  bool open = false;
  DWORD holder = FindHolder(*facts, number, presentOnly, &open);
  if (holder == facts->holderCount && open && RereadDevices(facts)) {
    holder = FindHolder(*facts, number, presentOnly, &open);
  }
  if (uncertain != nullptr) *uncertain = holder == facts->holderCount && open;
  return holder;
}

// Whether a key reading as `number` is held: a holder stores it, or nobody can tell (a device of
// the class could not be read), or it is the number that the device being installed keeps.
bool IsHeld(NumberingFacts *facts, DWORD number, const DWORD *reserved) {
  if (reserved != nullptr && number == *reserved) return true;
  bool uncertain = false;
  return FindHolderRereading(facts, number, false, &uncertain) < facts->holderCount || uncertain;
}

// PruneOrphanControllers on the facts; a number in `reserved` counts as held whoever stores it.
void PruneControllers(NumberingFacts *facts, const char *manufacturer, const DWORD *reserved) {
  HKEY manufacturerKey = FactsManufacturerKey(facts, manufacturer);
  if (manufacturerKey == nullptr) return;

  DWORD held = 0;
  if (facts->keysKnown && !HasOddKeyNames(*facts)) {
    // Every key is known by its number: the orphans go by name.
    for (DWORD i = 0; i < facts->keyCount;) {
      const DWORD number = facts->keys[i].number;
      if (IsHeld(facts, number, reserved)) {
        ++held;
        ++i;
        continue;
      }
      char keyName[kNumberTextSize];
      FormatNumber(keyName, kNumberKeyFormat, number);
      // An orphan that cannot be deleted stays; it is not held, so it is not counted either.
      if (RegDeleteKeyA(manufacturerKey, keyName) == ERROR_SUCCESS) {
        NoteKeyGone(facts, number);
      } else {
        ++i;
      }
    }
  } else {
    // A deletion moves the next key into the deleted key's index, where this pass does not look
    // again: passes repeat until one deletes nothing, and that pass has seen every key. The keys
    // it saw are what the rest of the request knows, provided it saw them to the end.
    bool deletedAny = true;
    while (deletedAny) {
      held = 0;
      deletedAny = false;
      facts->keysKnown = true;
      facts->keyCount = 0;
      for (DWORD index = 0;; ++index) {
        char keyName[kNameBufferSize];
        DWORD nameLength = sizeof(keyName);
        const LONG listed =
            RegEnumKeyExA(manufacturerKey, index, keyName, &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (listed != ERROR_SUCCESS) {
          if (listed != ERROR_NO_MORE_ITEMS) facts->keysKnown = false;
          break;
        }
        const DWORD number = ParseKeyNumber(keyName);
        if (IsHeld(facts, number, reserved)) {
          ++held;
          NoteKey(facts, number, IsCanonicalKeyName(keyName, number));
        } else if (RegDeleteKeyA(manufacturerKey, keyName) == ERROR_SUCCESS) {
          deletedAny = true;
        } else {
          NoteKey(facts, number, IsCanonicalKeyName(keyName, number));
        }
      }
    }
  }
  WriteDwordValue(manufacturerKey, kNumberOfControllersValue, held);
}

// Whether controller key `number` of the maker exists: true also for a key that exists but cannot
// be opened; false when the maker has no manufacturer key that can be found.
bool ControllerKeyExists(NumberingFacts *facts, const char *manufacturer, DWORD number) {
  HKEY manufacturerKey = FactsManufacturerKey(facts, manufacturer);
  return manufacturerKey != nullptr &&
         ProbeControllerKey(*facts, manufacturerKey, number, false) != ERROR_FILE_NOT_FOUND;
}

// Whether an adapter other than the device being installed stores `number`.
bool AnotherHolderStores(const NumberingFacts &facts, DWORD number) {
  for (DWORD i = 0; i < facts.holderCount; ++i) {
    const ControllerHolder &holder = facts.holders[i];
    if (holder.holds && !holder.self && holder.number == number) return true;
  }
  return false;
}

// What the device being installed may do with the number it stores.
StoredControllerUse ClaimStoredNumber(NumberingFacts *facts, const char *manufacturer, DWORD stored) {
  if (AnotherHolderStores(*facts, stored)) return STORED_CONTROLLER_NONE;
  if (ControllerKeyExists(facts, manufacturer, stored)) return STORED_CONTROLLER_HELD;
  // Without its key the number is taken again only when nobody else can be storing it.
  if (!facts->complete && RereadDevices(facts) && AnotherHolderStores(*facts, stored)) {
    return STORED_CONTROLLER_NONE;
  }
  return facts->complete ? STORED_CONTROLLER_TAKEN_AGAIN : STORED_CONTROLLER_NONE;
}

// The lowest number that has no controller key and that no holder, nor the device being installed,
// stores or stored when the request began; 0 when none can be found among as many numbers as there
// are keys and holders.
DWORD LowestUnusedNumber(const NumberingFacts &facts, HKEY manufacturerKey, const DWORD *reserved) {
  DWORD subkeys = facts.keyCount;
  if (!facts.keysKnown && !CountSubkeys(manufacturerKey, &subkeys)) return 0;
  const DWORD last = subkeys + facts.holderCount + 2;
  for (DWORD n = 1; n <= last; ++n) {
    bool stored = reserved != nullptr && *reserved == n;
    for (DWORD i = 0; i < facts.holderCount && !stored; ++i) stored = facts.holders[i].number == n;
    if (!stored && ProbeControllerKey(facts, manufacturerKey, n, true) == ERROR_FILE_NOT_FOUND) return n;
  }
  return 0;
}

// Moves holder `item` off the number it shares to a number of its own: a new controller key with a
// copy of the shared key's values, then the holder's value. Undone when either fails.
bool MoveSharingHolder(NumberingFacts *facts, HKEY manufacturerKey, DWORD item, const DWORD *reserved) {
  const DWORD target = LowestUnusedNumber(*facts, manufacturerKey, reserved);
  if (target == 0) return false;
  char sharedName[kNumberTextSize];
  FormatNumber(sharedName, kNumberKeyFormat, facts->holders[item].number);
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
  if (!copied || !RewriteHolderController(facts, item, target)) {
    if (RegDeleteKeyA(manufacturerKey, targetName) != ERROR_SUCCESS) NoteKey(facts, target, true);
    return false;
  }
  NoteKey(facts, target, true);
  return true;
}

// Gives every stored number its key and moves all but one of the adapters that share a number.
// The device being installed is left out: it holds `reserved` (nobody else stores that), or
// nothing.
void RepairHolders(NumberingFacts *facts, const char *manufacturer, const DWORD *reserved) {
  bool anyHolder = reserved != nullptr;
  for (DWORD i = 0; i < facts->holderCount && !anyHolder; ++i) anyHolder = !facts->holders[i].self;
  if (!anyHolder) return;
  HKEY manufacturerKey = FactsManufacturerKeyOrCreate(facts, manufacturer);
  if (manufacturerKey == nullptr) return;

  DWORD added = 0;
  bool created = false;
  // A key the facts know is there needs nothing; any other is made (or found there after all).
  auto ensure = [&](DWORD number) {
    if (facts->keysKnown && KnownKey(*facts, number)) return;
    if (EnsureControllerKey(facts, manufacturerKey, number, &created) && created) ++added;
  };
  if (reserved != nullptr) ensure(*reserved);
  for (DWORD i = 0; i < facts->holderCount; ++i) {
    if (!facts->holders[i].self) ensure(facts->holders[i].number);
  }

  for (DWORD i = 0; i < facts->holderCount && facts->presenceKnown && !facts->listBroken; ++i) {
    const ControllerHolder &holder = facts->holders[i];
    if (holder.self) continue;
    // The keeper of the number: the first present holder, else the first holder.
    DWORD keeper = facts->holderCount;
    for (DWORD j = 0; j < facts->holderCount; ++j) {
      const ControllerHolder &other = facts->holders[j];
      if (other.self || other.number != holder.number) continue;
      if (keeper == facts->holderCount) keeper = j;
      if (other.present) {
        keeper = j;
        break;
      }
    }
    if (keeper != i && MoveSharingHolder(facts, manufacturerKey, i, reserved)) ++added;
  }

  AddToControllerCount(manufacturerKey, added);
}

BOOL MoveControllerAmong(NumberingFacts *facts, const char *manufacturer, DWORD *number);

// FindFreeController on the facts. The search with reclaimAbsent set opens the keys it passes
// (whether a key can be opened decides how its number is dealt with); the one with the flag clear
// only needs to know which keys exist, which the facts tell once they know every key.
BOOL FindFreeControllerAmong(NumberingFacts *facts, const char *manufacturer, HKEY manufacturerKey, DWORD *number,
                             BOOL reclaimAbsent) {
  if (number == nullptr) return FALSE;
  // Set at the first controller key that exists but cannot be opened: the numbers up to one more
  // than the manufacturer key's subkeys hold a free one, so the search never needs to go beyond.
  DWORD lastCandidate = 0;
  for (DWORD n = 1;; ++n) {
    const LONG opened = ProbeControllerKey(*facts, manufacturerKey, n, !reclaimAbsent);
    if (opened == ERROR_FILE_NOT_FOUND) {
      // Free unless an adapter stores it all the same (as far as the class can be read): then its
      // key comes back, and the number is dealt with below as any held one.
      if (FindHolderRereading(facts, n, false, nullptr) == facts->holderCount) {
        if (facts->listBroken) return FALSE;
        *number = n;
        return TRUE;
      }
      bool created = false;
      if (!EnsureControllerKey(facts, manufacturerKey, n, &created)) continue;
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
    }
    if (!reclaimAbsent) continue;

    // A present device keeps its number; so does any device while the class list cannot be had.
    bool uncertain = false;
    if (FindHolderRereading(facts, n, true, &uncertain) < facts->holderCount || uncertain) continue;

    // No device at all holds n: an orphan, left for the next prune.
    const DWORD holder = FindHolderRereading(facts, n, false, nullptr);
    if (holder == facts->holderCount) continue;

    // Only an absent device holds n: it moves to a free number and n goes to the new device.
    DWORD moved = n;
    if (!MoveControllerAmong(facts, manufacturer, &moved)) continue;
    if (!RewriteHolderController(facts, holder, moved)) {
      // The absent device still names n: its controller goes back to n, which stays its own.
      char movedName[kNumberTextSize];
      FormatNumber(movedName, kNumberKeyFormat, moved);
      HKEY movedKey = nullptr;
      if (RegOpenKeyExA(manufacturerKey, movedName, 0, kReadWriteAccess, &movedKey) == ERROR_SUCCESS) {
        MoveControllerKey(facts, manufacturerKey, movedKey, moved, n);
      }
      continue;
    }
    *number = n;
    return TRUE;
  }
}

// MoveController on the facts.
BOOL MoveControllerAmong(NumberingFacts *facts, const char *manufacturer, DWORD *number) {
  if (number == nullptr) return FALSE;
  HKEY manufacturerKey = FactsManufacturerKeyOrCreate(facts, manufacturer);
  if (manufacturerKey == nullptr) return FALSE;

  const DWORD oldNumber = *number;
  char oldName[kNumberTextSize];
  FormatNumber(oldName, kNumberKeyFormat, oldNumber);
  HKEY oldKey = nullptr;
  if (RegOpenKeyExA(manufacturerKey, oldName, 0, kReadWriteAccess, &oldKey) != ERROR_SUCCESS) return FALSE;

  bool moved = false;
  if (FindFreeControllerAmong(facts, manufacturer, manufacturerKey, number, FALSE)) {
    moved = MoveControllerKey(facts, manufacturerKey, oldKey, oldNumber, *number);
  } else {
    RegCloseKey(oldKey);
  }
  if (!moved) *number = oldNumber;
  return moved ? TRUE : FALSE;
}

// The facts of the class of `device`, with its present devices when `withPresence` is set.
void LearnFacts(PSP_DEVINFO_DATA device, bool withPresence, NumberingFacts *facts) {
  HDEVINFO present = INVALID_HANDLE_VALUE;
  if (device != nullptr && withPresence) {
    present = SetupDiGetClassDevsA(&device->ClassGuid, nullptr, nullptr, DIGCF_PRESENT);
  }
  LearnNumberingFacts(device, present, facts);
  if (present != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(present);
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
  NumberingFacts facts;
  LearnFacts(device, reclaimAbsent != FALSE, &facts);
  const BOOL found = FindFreeControllerAmong(&facts, manufacturer, manufacturerKey, number, reclaimAbsent);
  ForgetNumberingFacts(&facts);
  return found;
}

BOOL MoveController(PSP_DEVINFO_DATA device, const char *manufacturer, DWORD *number) {
  NumberingFacts facts;
  LearnFacts(device, false, &facts);
  const BOOL moved = MoveControllerAmong(&facts, manufacturer, number);
  ForgetNumberingFacts(&facts);
  return moved;
}

void PruneOrphanControllers(PSP_DEVINFO_DATA device, const char *manufacturer) {
  NumberingFacts facts;
  LearnFacts(device, false, &facts);
  PruneControllers(&facts, manufacturer, nullptr);
  ForgetNumberingFacts(&facts);
}

BOOL AllocateController(NumberingFacts *facts, PSP_DEVINFO_DATA /*device*/, const char *manufacturer,
                        char *deviceName, DWORD deviceNameSize, DWORD *number) {
  if (manufacturer == nullptr || deviceName == nullptr || deviceNameSize == 0 || number == nullptr) return FALSE;

  PruneControllers(facts, manufacturer, nullptr);

  HKEY manufacturerKey = FactsManufacturerKeyOrCreate(facts, manufacturer);
  if (manufacturerKey == nullptr) return FALSE;

  DWORD count = 0;
  if (!ReadStringValue(manufacturerKey, kDeviceNameValue, deviceName, deviceNameSize) ||
      !ReadDwordValue(manufacturerKey, kNumberOfControllersValue, &count) ||
      !WriteDwordValue(manufacturerKey, kNumberOfControllersValue, count + 1)) {
    return FALSE;
  }
  DWORD chosen = 0;
  if (!FindFreeControllerAmong(facts, manufacturer, manufacturerKey, &chosen, TRUE)) return FALSE;
  char keyName[kNumberTextSize];
  FormatNumber(keyName, kNumberKeyFormat, chosen);
  char noClass[] = "";
  HKEY controllerKey = nullptr;
  DWORD disposition = 0;
  // A key that is already there (the number was held by an absent device) is simply opened.
  if (RegCreateKeyExA(manufacturerKey, keyName, 0, noClass, REG_OPTION_NON_VOLATILE, kReadWriteAccess, nullptr,
                      &controllerKey, &disposition) != ERROR_SUCCESS) {
    return FALSE;
  }
  RegCloseKey(controllerKey);
  if (disposition == REG_CREATED_NEW_KEY) NoteKey(facts, chosen, true);
  *number = chosen;
  return TRUE;
}

BOOL AllocateController(PSP_DEVINFO_DATA device, const char *manufacturer, char *deviceName, DWORD deviceNameSize,
                        DWORD *number) {
  NumberingFacts facts;
  LearnFacts(device, true, &facts);
  const BOOL allocated = AllocateController(&facts, device, manufacturer, deviceName, deviceNameSize, number);
  ForgetNumberingFacts(&facts);
  return allocated;
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
  NumberingFacts facts;
  LearnNumberingFacts(device, nullptr, &facts);
  const bool own = ClaimStoredNumber(&facts, kMakerManufacturerName, number) == STORED_CONTROLLER_HELD;
  ForgetNumberingFacts(&facts);
  return own ? TRUE : FALSE;
}

StoredControllerUse PrepareControllers(NumberingFacts *facts, HDEVINFO set, PSP_DEVINFO_DATA device,
                                       const char *manufacturer, const DWORD *stored) {
  if (device == nullptr) return STORED_CONTROLLER_NONE;
  StoredControllerUse use = STORED_CONTROLLER_NONE;
  if (stored != nullptr) {
    use = ClaimStoredNumber(facts, manufacturer, *stored);
    // A number that is not the device's goes before anything is numbered, so that nothing takes it
    // for the device's.
    if (use == STORED_CONTROLLER_NONE && ClearDeviceController(set, device, *stored)) {
      for (DWORD i = 0; i < facts->holderCount; ++i) {
        if (facts->holders[i].self) facts->holders[i].holds = false;
      }
    }
  }
  // Only the maker's adapter (ProductCode 1) holds a number; a device that is not that yet (its
  // installation never went through) held nothing before this one.
  if (use == STORED_CONTROLLER_HELD) {
    bool holds = false;
    for (DWORD i = 0; i < facts->holderCount; ++i) {
      const ControllerHolder &holder = facts->holders[i];
      holds |= holder.self && holder.holds && holder.number == *stored;
    }
    if (!holds) use = STORED_CONTROLLER_TAKEN_AGAIN;
  }
  const DWORD *reserved = use == STORED_CONTROLLER_NONE ? nullptr : stored;
  PruneControllers(facts, manufacturer, reserved);
  RepairHolders(facts, manufacturer, reserved);
  return use;
}
