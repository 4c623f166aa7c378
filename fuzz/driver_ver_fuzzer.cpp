// The DriverVer date parser: the input, up to its first zero byte, is the date text, in a buffer
// of exactly its size so that a read past the terminator is caught. The parse is compared with
// the rule written out here on its own: "/" and "-" separate fields; the character after a
// separator always belongs to the next field; a separator at the very end leaves an empty last
// field; a field is white space, a sign and digits, clamped to the signed 32-bit range. At most
// three fields are stored and the text is not changed.
#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "phases.h"

namespace {

constexpr DWORD kUnset = 0xDEADBEEF;

bool IsSeparator(char c) {
  return c == '/' || c == '-';
}

DWORD Convert(const std::string &field) {
  size_t at = 0;
  while (at < field.size() && (field[at] == ' ' || (field[at] >= '\t' && field[at] <= '\r'))) ++at;
  bool negative = false;
  if (at < field.size() && (field[at] == '+' || field[at] == '-')) negative = field[at++] == '-';
  long long value = 0;
  for (; at < field.size() && field[at] >= '0' && field[at] <= '9'; ++at) {
    value = value * 10 + (field[at] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  return static_cast<DWORD>(static_cast<int>(value));
}

std::vector<DWORD> Fields(const std::string &text) {
  std::vector<DWORD> fields;
  size_t start = 0;
  size_t at = 0;
  while (at < text.size()) {
    if (!IsSeparator(text[at])) {
      ++at;
      continue;
    }
    fields.push_back(Convert(text.substr(start, at - start)));
    start = at + 1;
    if (start == text.size()) break;
    at = start + 1;
  }
  fields.push_back(Convert(text.substr(start)));
  return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data),
                         strnlen(reinterpret_cast<const char *>(data), size));
  const std::unique_ptr<char[]> buffer(new char[text.size() + 1]);
  std::memcpy(buffer.get(), text.c_str(), text.size() + 1);

  DWORD fields[3] = {kUnset, kUnset, kUnset};
  const DWORD count = ParseDriverVerDate(buffer.get(), fields);

  const std::vector<DWORD> expected = Fields(text);
  fuzz::Check(count == expected.size(),
              "field count " + std::to_string(count) + ", the rule gives " + std::to_string(expected.size()));
  for (size_t i = 0; i < 3; ++i) {
    const DWORD want = i < expected.size() ? expected[i] : kUnset;
    fuzz::Check(fields[i] == want, "field " + std::to_string(i) + " is " + std::to_string(fields[i]) +
                                       ", the rule gives " + std::to_string(want));
  }
  fuzz::Check(std::memcmp(buffer.get(), text.c_str(), text.size() + 1) == 0, "the parser changed the text");
  return 0;
}
