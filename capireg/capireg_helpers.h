// Small registry helpers shared by the controller numbering and the device values.
#ifndef ONLCOIN_CAPIREG_HELPERS_H
#define ONLCOIN_CAPIREG_HELPERS_H

#include <windows.h>

#include <cstdio>

#include "capireg_constants.h"

namespace capireg {

inline char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Compares `length` bytes of `text` (not necessarily zero-terminated) with the zero-terminated
// `wanted`, ASCII letters without regard to case.
inline bool SameNameIgnoringCase(const char *text, DWORD length, const char *wanted) {
  DWORD i = 0;
  for (; i < length && wanted[i] != '\0'; ++i) {
    if (AsciiLower(text[i]) != AsciiLower(wanted[i])) return false;
  }
  return i == length && wanted[i] == '\0';
}

// The key value that SetupDiOpenDevRegKey returns on failure, and FindDeviceByController when no
// device holds the number.
inline HKEY InvalidKey() {
  return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
}

// Reads a 32-bit value into 4 bytes whatever registry type it carries. A value of more than 4
// bytes does not fit and fails; a shorter one is taken zero-extended. `value` is changed only on
// success.
inline bool ReadDwordValue(HKEY key, const char *name, DWORD *value) {
  DWORD data = 0;
  DWORD size = sizeof(data);
  if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(&data), &size) != ERROR_SUCCESS) {
    return false;
  }
  *value = data;
  return true;
}

inline bool WriteDwordValue(HKEY key, const char *name, DWORD value) {
  return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof(value)) ==
         ERROR_SUCCESS;
}

// Writes a zero-terminated string as REG_SZ, the terminating zero counted in the data size.
inline bool WriteStringValue(HKEY key, const char *name, const char *text) {
  const DWORD size = static_cast<DWORD>(lstrlenA(text)) + 1;
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text), size) == ERROR_SUCCESS;
}

// Key names and device names carry the number as "%d" formats it, so a name read back with
// ParseKeyNumber gives the same 32-bit number.
inline void FormatNumber(char (&text)[kNumberTextSize], const char *format, DWORD number) {
  snprintf(text, sizeof(text), format, static_cast<int>(number));
}

}  // namespace capireg

#endif  // ONLCOIN_CAPIREG_HELPERS_H
