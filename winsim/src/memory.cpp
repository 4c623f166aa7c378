// Local and global memory blocks (fixed memory only; the two heaps are one on Win32, so either
// free function releases either kind of block), wsprintfA and lstrlenA. Live blocks are counted
// by kind so that tests can see what an operation left allocated.
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "internal.h"

namespace winsim {
namespace detail {
namespace {

// wsprintfA writes at most this many characters, the terminator included.
constexpr size_t kWsprintfBufferSize = 1024;

enum class BlockKind { Local, Global };

struct Block {
  BlockKind kind;
  SIZE_T size;
};

std::map<void *, Block> &Blocks() {
  static std::map<void *, Block> blocks;
  return blocks;
}

void *Allocate(BlockKind kind, UINT flags, SIZE_T bytes) {
  // A zero-size block is still a distinct, freeable block.
  void *memory = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
  if (!memory) {
    SetError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  Blocks()[memory] = Block{kind, bytes};
  return memory;
}

// Frees a block; returns NULL on success and the block itself (with ERROR_INVALID_HANDLE) when it
// is not a live block, which is heap misuse that the verifier stops: a block freed twice may
// meanwhile belong to someone else. NULL is documented to be ignored.
HANDLE Release(const char *function, HANDLE memory) {
  if (memory == nullptr) return nullptr;
  auto it = Blocks().find(memory);
  if (it == Blocks().end()) {
    StopByVerifier(function,
                   "block " + AddressText(memory) + " is not allocated (freed before, or never allocated)");
    SetError(ERROR_INVALID_HANDLE);
    return memory;
  }
  Blocks().erase(it);
  std::free(memory);
  return nullptr;
}

void ReleaseAll() {
  for (auto &entry : Blocks()) std::free(entry.first);
  Blocks().clear();
}

// Blocks of the old boot go with a restart, as they do with a fresh machine.
const bool registered =
    RegisterFamily({ReleaseAll,
                    [](HandleCounts &counts) {
                      for (auto &entry : Blocks()) {
                        if (entry.second.kind == BlockKind::Local) {
                          ++counts.localAllocs;
                        } else {
                          ++counts.globalAllocs;
                        }
                      }
                    },
                    [](std::string &text) {
                      for (auto &entry : Blocks()) {
                        text += entry.second.kind == BlockKind::Local ? "LocalAlloc" : "GlobalAlloc";
                        text += " block of " + std::to_string(entry.second.size) + " bytes\n";
                      }
                    },
                    ReleaseAll});

// ---- wsprintfA ---------------------------------------------------------------------------------

struct Directive {
  bool leftAlign = false;
  bool zeroPad = false;
  bool alternate = false;  // '#': 0x prefix for hexadecimal
  size_t width = 0;
  bool hasPrecision = false;
  size_t precision = 0;
  enum { Normal, Short, Long64 } size = Normal;
};

std::string Digits(uint64_t value, unsigned base, bool upper) {
  const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), digits[value % base]);
    value /= base;
  } while (value);
  return out;
}

std::string Pad(const std::string &sign, std::string body, const Directive &directive, bool numeric) {
  if (numeric && directive.hasPrecision && body.size() < directive.precision)
    body.insert(0, directive.precision - body.size(), '0');
  size_t length = sign.size() + body.size();
  if (length >= directive.width) return sign + body;
  size_t fill = directive.width - length;
  if (directive.leftAlign) return sign + body + std::string(fill, ' ');
  if (directive.zeroPad && numeric) return sign + std::string(fill, '0') + body;
  return std::string(fill, ' ') + sign + body;
}

// Formats like Windows' wsprintfA: %c %d %i %u %x %X %s and %%, with '-', '0' and '#' flags, a
// width, a precision and the size prefixes h, l (32 bits, as a Windows long) and I64.
std::string Format(const char *format, va_list args) {
  std::string out;
  for (const char *p = format; *p; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    ++p;
    Directive directive;
    for (;; ++p) {
      if (*p == '-') {
        directive.leftAlign = true;
      } else if (*p == '0') {
        directive.zeroPad = true;
      } else if (*p == '#') {
        directive.alternate = true;
      } else {
        break;
      }
    }
    while (*p >= '0' && *p <= '9') directive.width = directive.width * 10 + static_cast<size_t>(*p++ - '0');
    if (*p == '.') {
      directive.hasPrecision = true;
      ++p;
      while (*p >= '0' && *p <= '9')
        directive.precision = directive.precision * 10 + static_cast<size_t>(*p++ - '0');
    }
    if (*p == 'h') {
      directive.size = Directive::Short;
      ++p;
    } else if (*p == 'l') {
      ++p;
    } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      directive.size = Directive::Long64;
      p += 3;
    }
    switch (*p) {
      case '\0':
        return out;
      case 'c':
        out += Pad("", std::string(1, static_cast<char>(va_arg(args, int))), directive, false);
        break;
      case 's': {
        const char *text = va_arg(args, const char *);
        std::string value = text ? text : "(null)";
        if (directive.hasPrecision && value.size() > directive.precision) value.resize(directive.precision);
        out += Pad("", value, directive, false);
        break;
      }
      case 'd':
      case 'i': {
        int64_t value = directive.size == Directive::Long64 ? va_arg(args, long long) : va_arg(args, int);
        if (directive.size == Directive::Short) value = static_cast<int16_t>(value);
        uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        out += Pad(value < 0 ? "-" : "", Digits(magnitude, 10, false), directive, true);
        break;
      }
      case 'u':
      case 'x':
      case 'X': {
        uint64_t value =
            directive.size == Directive::Long64 ? va_arg(args, unsigned long long) : va_arg(args, unsigned int);
        if (directive.size == Directive::Short) value = static_cast<uint16_t>(value);
        if (*p == 'u') {
          out += Pad("", Digits(value, 10, false), directive, true);
        } else {
          std::string prefix = directive.alternate && value ? (*p == 'x' ? "0x" : "0X") : "";
          out += Pad(prefix, Digits(value, 16, *p == 'X'), directive, true);
        }
        break;
      }
      default:  // "%%" and anything unknown: the character itself
        out += *p;
        break;
    }
  }
  return out;
}

}  // namespace

HLOCAL AllocateLocal(UINT flags, SIZE_T bytes) {
  return Allocate(BlockKind::Local, flags, bytes);
}

}  // namespace detail
}  // namespace winsim

using namespace winsim::detail;

extern "C" {

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  if (auto fault = Enter("LocalAlloc", std::to_string(uBytes) + " bytes", ERROR_NOT_ENOUGH_MEMORY)) {
    SetError(*fault);
    return nullptr;
  }
  return Allocate(BlockKind::Local, uFlags, uBytes);
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  if (auto fault = Enter("LocalFree", "", ERROR_INVALID_HANDLE)) {
    SetError(*fault);
    return hMem;
  }
  return Release("LocalFree", hMem);
}

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  if (auto fault = Enter("GlobalAlloc", std::to_string(dwBytes) + " bytes", ERROR_NOT_ENOUGH_MEMORY)) {
    SetError(*fault);
    return nullptr;
  }
  return Allocate(BlockKind::Global, uFlags, dwBytes);
}

HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) {
  if (auto fault = Enter("GlobalFree", "", ERROR_INVALID_HANDLE)) {
    SetError(*fault);
    return hMem;
  }
  return Release("GlobalFree", hMem);
}

int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
  if (auto fault = Enter("wsprintfA", lpFmt ? lpFmt : "", ERROR_INVALID_PARAMETER)) {
    SetError(*fault);
    if (lpOut) *lpOut = '\0';
    return 0;
  }
  if (!lpOut || !lpFmt) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  va_list args;
  va_start(args, lpFmt);
  std::string text = Format(lpFmt, args);
  va_end(args);
  if (text.size() > kWsprintfBufferSize - 1) text.resize(kWsprintfBufferSize - 1);
  std::memcpy(lpOut, text.c_str(), text.size() + 1);
  return static_cast<int>(text.size());
}

int WINAPI lstrlenA(LPCSTR lpString) {
  if (auto fault = Enter("lstrlenA", "", ERROR_INVALID_PARAMETER)) {
    SetError(*fault);
    return 0;
  }
  return lpString ? static_cast<int>(std::strlen(lpString)) : 0;
}

}  // extern "C"
