// Bounded text work on the phases' fixed character buffers: building paths and command lines
// without ever cutting them short, and comparing names without regard to ASCII letter case.
#ifndef ONLCOIN_TEXT_BUFFERS_H
#define ONLCOIN_TEXT_BUFFERS_H

#include <windows.h>

#include <initializer_list>

// Length of a zero-terminated text.
inline DWORD TextLength(const char *text) {
  DWORD length = 0;
  while (text[length] != '\0') ++length;
  return length;
}

// Writes the parts one after the other into buffer, with a terminating zero. When the whole text
// does not fit into size bytes the buffer is left holding the empty text and the result is FALSE:
// a path or command line is either complete or not there at all.
inline BOOL BuildText(char *buffer, DWORD size, std::initializer_list<const char *> parts) {
  if (size == 0) return FALSE;
  DWORD used = 0;
  for (const char *part : parts) {
    for (DWORD i = 0; part[i] != '\0'; ++i) {
      if (used + 1 >= size) {
        buffer[0] = '\0';
        return FALSE;
      }
      buffer[used++] = part[i];
    }
  }
  buffer[used] = '\0';
  return TRUE;
}

// ASCII letters A to Z match a to z; every other byte must be equal.
inline char FoldAsciiCase(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Compares a text that ends at its terminator or after textSize bytes, whichever comes first,
// with a zero-terminated name, without regard to ASCII letter case. Never reads past textSize.
inline BOOL EqualsIgnoringAsciiCase(const char *text, DWORD textSize, const char *name) {
  DWORD i = 0;
  for (; i < textSize && text[i] != '\0'; ++i) {
    if (name[i] == '\0' || FoldAsciiCase(text[i]) != FoldAsciiCase(name[i])) return FALSE;
  }
  return name[i] == '\0';
}

#endif  // ONLCOIN_TEXT_BUFFERS_H
