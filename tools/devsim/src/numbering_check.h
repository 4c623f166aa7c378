// The check of the maker's CAPI controller numbering on the simulated machine: what a support
// engineer wants to know about a machine before and after the co-installer has worked on it. It
// reads the registry as the co-installer reads it (the maker's manufacturer key is the first one
// whose Manufacturer is "ORVIK AG" in any letter case and shorter than 260 bytes; ProductCode and
// Controller are read into 4 bytes; controller key names are read as numbers the way the
// co-installer's prune reads them), but on its own, without the co-installer's code.
#ifndef DEVSIM_NUMBERING_CHECK_H
#define DEVSIM_NUMBERING_CHECK_H

#include <map>
#include <string>
#include <vector>

namespace devsim {

enum class NumberingFault {
  SecondMakerKey,    // more than one manufacturer key names the maker
  SharedNumber,      // two adapters of the maker store the same controller number
  NumberWithoutKey,  // an adapter stores a number that has no controller key
  KeyHeldByNobody,   // a controller key whose number no adapter of the maker stores
  CountMismatch,     // NumberOfControllers is not the number of controller keys
};

struct NumberingProblem {
  NumberingFault fault;
  std::string text;                  // in plain words, naming the devices and keys
  std::vector<std::string> devices;  // instance IDs of the devices it is about
};

// The inconsistencies of the maker's numbering over the devices (present or not) of the setup
// class `classGuid` with ProductCode 1; none when the numbering is consistent. `names` gives the
// scenario's names of devices by instance ID, shown beside the IDs.
std::vector<NumberingProblem> CheckNumbering(const std::string &classGuid,
                                             const std::map<std::string, std::string> &names = {});

// The full registry path of the maker's manufacturer key, the first one in enumeration order that
// names the maker as the co-installer reads the name; "" when there is none.
std::string MakerManufacturerKey();

}  // namespace devsim

#endif  // DEVSIM_NUMBERING_CHECK_H
