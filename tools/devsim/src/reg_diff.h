// Registry changes in .reg syntax: two exports of the registry (REGEDIT4 text) are compared key by
// key and value by value, and the difference is written as .reg text that turns the first state
// into the second: "[-key]" for a deleted key tree, "[key]" with the new or changed values, and
// "name"=- for a deleted value.
#ifndef DEVSIM_REG_DIFF_H
#define DEVSIM_REG_DIFF_H

#include <map>
#include <string>
#include <vector>

namespace devsim {

struct RegValueText {
  std::string name;  // as written: "@" or the quoted name
  std::string text;  // the whole entry as exported, continuation lines included, without the final line end
  std::string data;  // what follows "=", continuations joined, for comparison
};

struct RegKeyText {
  std::string path;
  std::vector<RegValueText> values;  // in export order
};

// Keys by their upper-cased path. Key and value names compare without regard to letter case, as
// the registry treats them.
using RegState = std::map<std::string, RegKeyText>;

// Reads REGEDIT4 (or version 5.00) text as the registry exports it. Lines that are neither a key,
// a value nor a comment are ignored.
RegState ParseRegExport(const std::string &text);

// The .reg fragment (without a header line) that turns `before` into `after`; "" when they are
// equal. Keys appear in the registry's order (case-insensitive, level by level); of a deleted key
// tree only its top key is named. A value given as hex(1), hex(2) or hex(7) bytes is followed by a
// comment line that shows its text.
std::string DiffReg(const RegState &before, const RegState &after);

}  // namespace devsim

#endif  // DEVSIM_REG_DIFF_H
