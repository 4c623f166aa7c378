// Reading registry values through the platform's registry functions, with buffers of the size each
// value needs.
#ifndef DEVSIM_REGISTRY_READ_H
#define DEVSIM_REGISTRY_READ_H

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace devsim {

struct ValueData {
  DWORD type = REG_NONE;
  std::vector<BYTE> bytes;
};

std::optional<ValueData> ReadValue(HKEY key, const char *name);
// A REG_SZ or REG_EXPAND_SZ value up to its first NUL.
std::optional<std::string> ReadString(HKEY key, const char *name);
// The strings of a REG_MULTI_SZ value (a REG_SZ value gives one), without empty ones.
std::optional<std::vector<std::string>> ReadStringList(HKEY key, const char *name);
// The strings of REG_MULTI_SZ bytes.
std::vector<std::string> SplitMultiString(const std::vector<BYTE> &bytes);
// REG_MULTI_SZ bytes of the strings (each with its NUL, and the closing NUL).
std::vector<BYTE> JoinMultiString(const std::vector<std::string> &strings);

}  // namespace devsim

#endif  // DEVSIM_REGISTRY_READ_H
