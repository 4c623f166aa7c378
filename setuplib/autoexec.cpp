// The CAPI support block in autoexec.nt, the start-up file of MS-DOS programs, which makes them
// load the CAPI resident program. One editing routine serves both directions: it first removes
// every copy of the block, with the blank lines in front of each, and when adding writes one
// copy at the end, so that adding twice still leaves a single block.
#include <string.h>

#include "setuplib.h"
#include "setuplib_constants.h"

// Builds "<Windows directory>\system32\autoexec.nt"; false when the path does not fit.
static bool BuildAutoexecPath(char (&path)[kPathBufferSize]) {
  const UINT length = GetWindowsDirectoryA(path, kPathBufferSize);
  if (length == 0 || length + sizeof(kAutoexecRelativePath) > kPathBufferSize) return false;
  memcpy(path + length, kAutoexecRelativePath, sizeof(kAutoexecRelativePath));
  return true;
}

static bool IsLineBreakAt(const char *at) {
  return at[0] == '\r' && at[1] == '\n';
}

// Cuts every copy of the block out of the terminated text of `length` bytes and returns the new
// length. The search stops at the first zero byte, but everything after the cut, zero bytes
// included, moves down with the rest of the text.
static DWORD RemoveCapiSupportBlocks(char *text, DWORD length) {
  for (char *found = strstr(text, kCapiSupportBlock); found != nullptr; found = strstr(text, kCapiSupportBlock)) {
    char *cutStart = found;
    DWORD cutLength = kCapiSupportBlockLength;
    // Blank lines in front of the copy go with it; the line break that ends the last non-blank
    // line before it stays.
    while (cutStart - text >= 2 * static_cast<ptrdiff_t>(kLineBreakLength) &&
           IsLineBreakAt(cutStart - 2 * kLineBreakLength) && IsLineBreakAt(cutStart - kLineBreakLength)) {
      cutStart -= kLineBreakLength;
      cutLength += kLineBreakLength;
    }
    const DWORD tail = length - static_cast<DWORD>(cutStart - text) - cutLength;
    memmove(cutStart, cutStart + cutLength, tail + 1);  // with the terminating zero byte
    length -= cutLength;
  }
  return length;
}

DWORD EditAutoexecNt(DWORD mode) {
  char path[kPathBufferSize];
  if (!BuildAutoexecPath(path)) return SETUP_STATUS_FILE_FAILED;

  // No sharing: nobody else reads or writes the file while it is edited.
  HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return SETUP_STATUS_FILE_FAILED;

  DWORD length = GetFileSize(file, nullptr);
  if (length == INVALID_FILE_SIZE) {
    // Without its size the file cannot be read whole; it is left as it is.
    CloseHandle(file);
    return SETUP_STATUS_FAILED;
  }
  char *text = static_cast<char *>(GlobalAlloc(GPTR, static_cast<SIZE_T>(length) + 1));
  if (text == nullptr) {
    CloseHandle(file);
    return SETUP_STATUS_OK;
  }
  DWORD bytesRead = 0;
  if (!ReadFile(file, text, length, &bytesRead, nullptr)) {
    GlobalFree(text);
    CloseHandle(file);
    return SETUP_STATUS_FAILED;
  }
  // Only what was read is text; the zero byte after it terminates the string.
  length = bytesRead;
  text[length] = '\0';

  length = RemoveCapiSupportBlocks(text, length);

  DWORD written = 0;
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  WriteFile(file, text, length, &written, nullptr);
  if (mode == AUTOEXEC_MODE_ADD) {
    WriteFile(file, kLineBreak, kLineBreakLength, &written, nullptr);
    WriteFile(file, kCapiSupportBlock, kCapiSupportBlockLength, &written, nullptr);
    WriteFile(file, kLineBreak, kLineBreakLength, &written, nullptr);
  }
  // Nothing of the old, longer content may stay behind the last byte written.
  SetEndOfFile(file);

  GlobalFree(text);
  CloseHandle(file);
  return SETUP_STATUS_OK;
}

void AddCapiSupportToAutoexec() {
  EditAutoexecNt(AUTOEXEC_MODE_ADD);
}

void RemoveCapiSupportFromAutoexec() {
  EditAutoexecNt(AUTOEXEC_MODE_REMOVE);
}
