// The maker's adapters of one setup class that store a controller number, read in one pass over
// the class: the number each stores, whether it is present, and its place in the class's
// enumeration order. The numbering decides from this look which numbers are held, and by whom,
// where one search per number could not tell: numbers that have lost their key, and numbers that
// two adapters store.
#ifndef ONLCOIN_CONTROLLER_HOLDERS_H
#define ONLCOIN_CONTROLLER_HOLDERS_H

#include <windows.h>
#include <setupapi.h>

namespace capireg {

struct ControllerHolder {
  DWORD index;    // the device's index in the list of all devices of the class
  DWORD devInst;  // the device's instance handle, the same in every list of the process
  DWORD number;   // the stored Controller value plus 1
  bool present;
};

struct ControllerHolders {
  HDEVINFO list;  // all devices of the class, kept so that a holder's value can be rewritten
  ControllerHolder *items;
  DWORD count;
  DWORD capacity;
  // Every device of the class could be read: a number that no item stores is stored by nobody.
  bool complete;
  // The present devices could be listed: `present` is true for each of them.
  bool presenceKnown;
};

// Reads the holders of the class of `device` (devices with ProductCode 1 and a Controller value),
// in the class's enumeration order. The result is freed with FreeControllerHolders whatever
// happened; what could not be read leaves `complete` or `presenceKnown` false.
void ReadControllerHolders(PSP_DEVINFO_DATA device, ControllerHolders *holders);
void FreeControllerHolders(ControllerHolders *holders);

// Stores `number` as the Controller value of the holder `item`; true when it was written.
bool RewriteHolderController(const ControllerHolders &holders, DWORD item, DWORD number);

}  // namespace capireg

#endif  // ONLCOIN_CONTROLLER_HOLDERS_H
