// What the numbering learns in one request about the maker's adapters and controller keys, so that
// it looks at the class's devices once: one list of all the class's devices, each device's CAPI
// values read once (with its presence from the caller's list of present devices), the maker's
// manufacturer key found once, and its controller keys as one enumeration showed them. Whatever the
// numbering changes later in the request (a device's value rewritten or cleared, a controller key
// made, moved or deleted) it writes into these facts too, so that every later question gets the
// answer the registry would give.
#ifndef ONLCOIN_NUMBERING_FACTS_H
#define ONLCOIN_NUMBERING_FACTS_H

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include "capireg_constants.h"

namespace capireg {

// A device as every list of the class names it: by its instance id. The instance handle in
// SP_DEVINFO_DATA names the same device node in every list on Windows, but other implementations
// of the platform give each list its own handles; it only stands in when the id cannot be read.
struct DeviceName {
  DWORD devInst;
  bool idKnown;
  char id[kDeviceIdSize];
};

// A device of the class with ProductCode 1 that stores a controller number.
struct ControllerHolder {
  DWORD index;   // the device's index in the list of all devices of the class
  DWORD number;  // the stored Controller value plus 1
  bool present;
  bool self;   // the device the facts were learned for
  bool holds;  // false once its value was cleared in this request
};

// A device of the class whose keys or values could not be read (for another reason than their
// absence) when the class was looked at.
struct UnreadDevice {
  DWORD index;
  bool present;
};

// A controller key under the maker's manufacturer key: the number its name reads as, and whether
// the name is that number as "%d" writes it (the name under which the number's key is opened).
struct ControllerKeyFact {
  DWORD number;
  bool canonical;
};

struct NumberingFacts {
  // ---- The devices of the class ----
  DeviceName self;            // the device the facts are learned for
  HDEVINFO list;              // all devices of the class, kept so that a holder's value can be rewritten
  ControllerHolder *holders;  // in the class's enumeration order
  DWORD holderCount;
  DWORD holderCapacity;
  // Every device of the class could be read: a number that no holder stores is stored by nobody.
  bool complete;
  // The list of the class's devices could not be had or read to its end (as opposed to a device
  // that cannot be read): which numbers the devices not seen store is anybody's guess, so no number
  // without a key is given out and nobody is moved.
  bool listBroken;
  // The present devices are known (`present` is set for each of them), and each could be read.
  bool presenceKnown;
  bool presentComplete;
  // The devices that could not be read, read once more (RereadDevices) when an answer hangs on them.
  UnreadDevice *unread;
  DWORD unreadCount;
  DWORD unreadCapacity;
  bool reread;

  // ---- The maker's manufacturer key, looked for at most once ----
  bool manufacturerSearched;
  bool manufacturerConclusive;  // a miss is certain: the maker has no key
  HKEY manufacturerKey;         // nullptr while the maker has none
  char manufacturerName[kNameBufferSize];

  // ---- Its controller keys, once one enumeration has seen them all ----
  bool keysKnown;
  ControllerKeyFact *keys;
  DWORD keyCount;
  DWORD keyCapacity;
};

// Reads the devices of the class of `device`. `presentDevices` is a list of the class's present
// devices (the caller's), or nullptr when presence does not matter. Whatever happens, the facts are
// given back with ForgetNumberingFacts; what could not be read leaves them incomplete.
void LearnNumberingFacts(PSP_DEVINFO_DATA device, HDEVINFO presentDevices, NumberingFacts *facts);
void ForgetNumberingFacts(NumberingFacts *facts);

// The first holder of `number` in the class's enumeration order (among present devices only when
// `presentOnly`), as an index into facts.holders; facts.holderCount when there is none. *uncertain
// tells then whether devices that could not be read (or the present devices not being known) leave
// it open.
DWORD FindHolder(const NumberingFacts &facts, DWORD number, bool presentOnly, bool *uncertain);

// Reads the devices that could not be read once more, the first time it is asked in a request (a
// failure of the moment should not decide the whole request); true when that made anything known.
bool RereadDevices(NumberingFacts *facts);

// Stores `number` as the Controller value of holder `item` and notes it; true when written.
bool RewriteHolderController(NumberingFacts *facts, DWORD item, DWORD number);

// Opens the CAPI key of holder `item` with KEY_READ|KEY_WRITE; the invalid key value on failure.
HKEY OpenHolderCapiKey(const NumberingFacts &facts, DWORD item);

// Room for one more item in a local-heap array of `itemSize`-byte items; false when no memory is
// left (the array is then unchanged).
bool GrowArray(void **items, DWORD *capacity, DWORD count, DWORD itemSize);

}  // namespace capireg

#endif  // ONLCOIN_NUMBERING_FACTS_H
