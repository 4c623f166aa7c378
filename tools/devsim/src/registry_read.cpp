#include "registry_read.h"

namespace devsim {

std::optional<ValueData> ReadValue(HKEY key, const char *name) {
  ValueData value;
  DWORD size = 0;
  if (RegQueryValueExA(key, name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
  value.bytes.resize(size);
  // The value may change size between the two calls only if something else writes it; there is
  // nothing else on the simulated machine, but a second ERROR_MORE_DATA is still handled.
  LONG result =
      RegQueryValueExA(key, name, nullptr, &value.type, value.bytes.empty() ? nullptr : value.bytes.data(), &size);
  if (result != ERROR_SUCCESS) return std::nullopt;
  value.bytes.resize(size);
  return value;
}

std::optional<std::string> ReadString(HKEY key, const char *name) {
  std::optional<ValueData> value = ReadValue(key, name);
  if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
  std::string text(value->bytes.begin(), value->bytes.end());
  return text.substr(0, text.find('\0'));
}

std::vector<std::string> SplitMultiString(const std::vector<BYTE> &bytes) {
  std::vector<std::string> strings;
  std::string current;
  for (BYTE byte : bytes) {
    if (byte == 0) {
      if (current.empty()) break;  // the empty string ends the list
      strings.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(byte);
    }
  }
  if (!current.empty()) strings.push_back(current);  // a list without its final NUL
  return strings;
}

std::vector<BYTE> JoinMultiString(const std::vector<std::string> &strings) {
  std::vector<BYTE> bytes;
  for (const std::string &text : strings) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
  }
  bytes.push_back(0);
  return bytes;
}

std::optional<std::vector<std::string>> ReadStringList(HKEY key, const char *name) {
  std::optional<ValueData> value = ReadValue(key, name);
  if (!value) return std::nullopt;
  if (value->type == REG_MULTI_SZ) return SplitMultiString(value->bytes);
  if (value->type == REG_SZ || value->type == REG_EXPAND_SZ) {
    std::string text(value->bytes.begin(), value->bytes.end());
    text = text.substr(0, text.find('\0'));
    if (text.empty()) return std::vector<std::string>{};
    return std::vector<std::string>{text};
  }
  return std::nullopt;
}

}  // namespace devsim
