// Modules: DLLs linked into the host program and registered under their Windows file name, loaded
// and freed with reference counts and load notifications as Windows does, their exports found by
// name, and their message tables read by FormatMessageA.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

#include "internal.h"

namespace winsim {
namespace detail {
namespace {

constexpr char kDefaultModuleExtension[] = ".dll";
// Module handles are image bases: the host program at the classic base, each registered module at
// its own, and a module mapped as a data file at its base with the low bit set.
constexpr uintptr_t kProgramBase = 0x00400000;
constexpr uintptr_t kFirstModuleBase = 0x70000000;
constexpr uintptr_t kModuleSpacing = 0x00100000;
constexpr uintptr_t kDataFileBit = 1;
// Languages a message table in US English answers to: neutral, user default, system default and
// US English itself.
constexpr DWORD kMessageLanguages[] = {MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), MAKELANGID(LANG_NEUTRAL, 0x02),
                                       MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)};
constexpr DWORD kMaxWidthMask = 0x000000FF;
constexpr DWORD kNoLineBreaks = 0xFF;
constexpr int kMaxInsert = 99;

struct ModuleEntry {
  BuiltinModule module;
  uintptr_t base = 0;
  bool present = true;
  std::set<std::string> hiddenExports;
  unsigned imageReferences = 0;
  unsigned dataReferences = 0;
};

// The registered modules, starting with the platform's own.
std::vector<ModuleEntry> &Modules() {
  static std::vector<ModuleEntry> modules = [] {
    ModuleEntry loadPerf;
    loadPerf.module = LoadPerfModule();
    loadPerf.base = kFirstModuleBase;
    return std::vector<ModuleEntry>{loadPerf};
  }();
  return modules;
}

// The file name a load looks for: the folder dropped, ".dll" added when there is no extension,
// and a trailing period (which asks for no extension) dropped.
std::string ModuleFileName(const std::string &name) {
  size_t slash = name.find_last_of("\\/:");
  std::string file = slash == std::string::npos ? name : name.substr(slash + 1);
  if (!file.empty() && file.back() == '.') {
    file.pop_back();
  } else if (file.find('.') == std::string::npos) {
    file += kDefaultModuleExtension;
  }
  return file;
}

ModuleEntry *FindByName(const std::string &name) {
  std::string file = ModuleFileName(name);
  for (ModuleEntry &entry : Modules())
    if (EqualNoCase(ModuleFileName(entry.module.fileName), file)) return &entry;
  return nullptr;
}

ModuleEntry *FindByHandle(HMODULE module, bool *asDataFile) {
  uintptr_t value = reinterpret_cast<uintptr_t>(module);
  *asDataFile = (value & kDataFileBit) != 0;
  uintptr_t base = value & ~kDataFileBit;
  for (ModuleEntry &entry : Modules()) {
    if (entry.base != base) continue;
    if (*asDataFile ? entry.dataReferences > 0 : entry.imageReferences > 0) return &entry;
  }
  return nullptr;
}

HMODULE ImageHandle(const ModuleEntry &entry) {
  return reinterpret_cast<HMODULE>(entry.base);
}
HMODULE DataHandle(const ModuleEntry &entry) {
  return reinterpret_cast<HMODULE>(entry.base | kDataFileBit);
}

// The loaded module behind a handle given to `function`. A handle of a module that is not loaded
// (freed as often as it was loaded, or never loaded) is a verifier stop: its address may meanwhile
// hold another module.
ModuleEntry *RequireLoaded(const char *function, HMODULE module, bool *asDataFile) {
  ModuleEntry *entry = FindByHandle(module, asDataFile);
  if (entry) return entry;
  std::string what = "module handle " + AddressText(module);
  for (const ModuleEntry &known : Modules())
    if (known.base == (reinterpret_cast<uintptr_t>(module) & ~kDataFileBit))
      what += " (" + known.module.fileName + ")";
  StopByVerifier(function, what + " is not loaded (freed before, or never loaded)");
  return nullptr;
}

std::string NameOfHandle(HMODULE module) {
  bool asDataFile = false;
  ModuleEntry *entry = FindByHandle(module, &asDataFile);
  return entry ? entry->module.fileName : "";
}

HMODULE Load(LPCSTR name, DWORD flags) {
  if (name == nullptr || *name == '\0') {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  ModuleEntry *entry = FindByName(name);
  if (!entry || !entry->present) {
    SetError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (flags & LOAD_LIBRARY_AS_DATAFILE) {
    // A module already loaded as an image is simply referenced again.
    if (entry->imageReferences > 0) {
      ++entry->imageReferences;
      return ImageHandle(*entry);
    }
    ++entry->dataReferences;
    return DataHandle(*entry);
  }
  if (entry->imageReferences++ > 0) return ImageHandle(*entry);
  HMODULE handle = ImageHandle(*entry);
  auto dllMain = entry->module.dllMain;
  if (dllMain && !dllMain(handle, DLL_PROCESS_ATTACH, nullptr)) {
    // A module that refuses to attach is detached and unloaded again at once.
    dllMain(handle, DLL_PROCESS_DETACH, nullptr);
    entry = FindByName(name);
    if (entry) entry->imageReferences = 0;
    SetError(ERROR_DLL_INIT_FAILED);
    return nullptr;
  }
  return handle;
}

// Formats one insert of a message with its printf-style format ("s" when none is given). Windows
// reads "l" as 32 bits and "I64" as 64.
std::string FormatInsert(const std::string &format, DWORD_PTR value) {
  std::string directive = "%";
  bool wide = false;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format.compare(i, 3, "I64") == 0) {
      wide = true;
      i += 2;
    } else if (format[i] != 'l' && format[i] != 'h') {
      directive += format[i];
    }
  }
  char conversion = directive.back();
  char buffer[1024];
  if (conversion == 's') {
    const char *text = reinterpret_cast<const char *>(value);
    std::snprintf(buffer, sizeof buffer, directive.c_str(), text ? text : "(null)");
  } else if (conversion == 'c') {
    std::snprintf(buffer, sizeof buffer, directive.c_str(), static_cast<int>(value));
  } else if (std::strchr("diuxXo", conversion)) {
    if (wide) {
      directive.insert(directive.size() - 1, "ll");
      std::snprintf(buffer, sizeof buffer, directive.c_str(), static_cast<unsigned long long>(value));
    } else {
      std::snprintf(buffer, sizeof buffer, directive.c_str(), static_cast<unsigned>(value));
    }
  } else {
    return "";
  }
  return buffer;
}

// Expands a message text as FormatMessageA does: %1..%99 (with an optional !format!), %n, %r,
// %t, %b, %0 and escaped characters; regular line ends become blanks when the width mask says
// no line breaks. Returns false when an insert has no argument.
bool ExpandMessage(const std::string &text, DWORD flags, va_list *arguments, std::string *out) {
  const bool ignoreInserts = flags & FORMAT_MESSAGE_IGNORE_INSERTS;
  const bool noLineBreaks = (flags & kMaxWidthMask) == kNoLineBreaks;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (noLineBreaks && (c == '\r' || c == '\n')) {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      *out += ' ';
      continue;
    }
    if (c != '%' || ignoreInserts || i + 1 >= text.size()) {
      *out += c;
      continue;
    }
    char next = text[++i];
    if (next >= '1' && next <= '9') {
      int number = next - '0';
      if (i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '9' &&
          number * 10 + (text[i + 1] - '0') <= kMaxInsert)
        number = number * 10 + (text[++i] - '0');
      std::string format = "s";
      if (i + 1 < text.size() && text[i + 1] == '!') {
        size_t close = text.find('!', i + 2);
        if (close != std::string::npos) {
          format = text.substr(i + 2, close - i - 2);
          i = close;
        }
      }
      if (!arguments) return false;
      DWORD_PTR value = 0;
      if (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) {
        value = reinterpret_cast<const DWORD_PTR *>(arguments)[number - 1];
      } else {
        va_list walk;
        va_copy(walk, *arguments);
        for (int n = 0; n < number; ++n) value = va_arg(walk, DWORD_PTR);
        va_end(walk);
      }
      *out += FormatInsert(format, value);
      continue;
    }
    switch (next) {
      case '0':
        return true;  // the message ends here, without a line end
      case 'n':
        *out += "\r\n";
        break;
      case 'r':
        *out += '\r';
        break;
      case 't':
        *out += '\t';
        break;
      case 'b':
        *out += ' ';
        break;
      default:
        *out += next;  // "%%", "%.", "%!" and the like stand for the character itself
        break;
    }
  }
  return true;
}

bool AnswersToLanguage(DWORD language) {
  for (DWORD accepted : kMessageLanguages)
    if (language == accepted) return true;
  return false;
}

// A restart unloads every module, without detach notifications: the process that loaded them is
// gone. Which modules and exports are present stays as it was.
void UnloadAll() {
  for (ModuleEntry &entry : Modules()) {
    entry.imageReferences = 0;
    entry.dataReferences = 0;
  }
}

const bool registered = RegisterFamily({[] {
                                          for (ModuleEntry &entry : Modules()) {
                                            entry.present = true;
                                            entry.hiddenExports.clear();
                                          }
                                          UnloadAll();
                                        },
                                        [](HandleCounts &counts) {
                                          for (const ModuleEntry &entry : Modules())
                                            counts.modules += entry.imageReferences + entry.dataReferences;
                                        },
                                        [](std::string &text) {
                                          for (const ModuleEntry &entry : Modules()) {
                                            unsigned references = entry.imageReferences + entry.dataReferences;
                                            if (references)
                                              text += "module " + entry.module.fileName + " (" +
                                                      std::to_string(references) + " references)\n";
                                          }
                                        },
                                        UnloadAll});

}  // namespace

void SetBuiltinModulePresent(const std::string &fileName, bool present) {
  if (ModuleEntry *entry = FindByName(fileName)) entry->present = present;
}

void SetBuiltinExportPresent(const std::string &fileName, const std::string &exportName, bool present) {
  ModuleEntry *entry = FindByName(fileName);
  if (!entry) return;
  if (present) {
    entry->hiddenExports.erase(exportName);
  } else {
    entry->hiddenExports.insert(exportName);
  }
}

}  // namespace detail

void RegisterBuiltinModule(const BuiltinModule &module) {
  using namespace detail;
  if (ModuleEntry *existing = FindByName(module.fileName)) {
    existing->module = module;
    return;
  }
  ModuleEntry entry;
  entry.module = module;
  entry.base = kFirstModuleBase + Modules().size() * kModuleSpacing;
  Modules().push_back(entry);
}

}  // namespace winsim

using namespace winsim::detail;

extern "C" {

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  if (auto fault = Enter("LoadLibraryA", lpLibFileName ? lpLibFileName : "", ERROR_MOD_NOT_FOUND)) {
    SetError(*fault);
    return nullptr;
  }
  return Load(lpLibFileName, 0);
}

HMODULE WINAPI LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
  if (auto fault = Enter("LoadLibraryExA", lpLibFileName ? lpLibFileName : "", ERROR_MOD_NOT_FOUND)) {
    SetError(*fault);
    return nullptr;
  }
  if (hFile != nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return Load(lpLibFileName, dwFlags);
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
  if (auto fault = Enter("GetModuleHandleA", lpModuleName ? lpModuleName : "", ERROR_MOD_NOT_FOUND)) {
    SetError(*fault);
    return nullptr;
  }
  if (lpModuleName == nullptr) return reinterpret_cast<HMODULE>(kProgramBase);
  ModuleEntry *entry = FindByName(lpModuleName);
  // Only modules loaded as images have a module handle; data-file mappings do not count.
  if (!entry || entry->imageReferences == 0) {
    SetError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return ImageHandle(*entry);
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  std::string procName = lpProcName == nullptr ? ""
                         : IS_INTRESOURCE(lpProcName)
                             ? "#" + std::to_string(reinterpret_cast<uintptr_t>(lpProcName))
                             : lpProcName;
  if (auto fault = Enter("GetProcAddress", NameOfHandle(hModule) + "!" + procName, ERROR_PROC_NOT_FOUND)) {
    SetError(*fault);
    return nullptr;
  }
  // The host program exports nothing.
  if (hModule == nullptr || reinterpret_cast<uintptr_t>(hModule) == kProgramBase) {
    SetError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  bool asDataFile = false;
  ModuleEntry *entry = RequireLoaded("GetProcAddress", hModule, &asDataFile);
  if (!entry || asDataFile) {
    SetError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // Builtin modules export by name only; names are matched exactly, as Windows does.
  if (lpProcName == nullptr || IS_INTRESOURCE(lpProcName) || entry->hiddenExports.count(procName)) {
    SetError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  auto it = entry->module.exports.find(procName);
  if (it == entry->module.exports.end()) {
    SetError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return it->second;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  if (auto fault = Enter("FreeLibrary", NameOfHandle(hLibModule), ERROR_MOD_NOT_FOUND)) {
    SetError(*fault);
    return FALSE;
  }
  bool asDataFile = false;
  ModuleEntry *entry = RequireLoaded("FreeLibrary", hLibModule, &asDataFile);
  if (!entry) {
    SetError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  if (asDataFile) {
    --entry->dataReferences;
    return TRUE;
  }
  if (--entry->imageReferences == 0 && entry->module.dllMain)
    entry->module.dllMain(ImageHandle(*entry), DLL_PROCESS_DETACH, nullptr);
  return TRUE;
}

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                            DWORD nSize, va_list *Arguments) {
  std::string subject =
      (dwFlags & FORMAT_MESSAGE_FROM_HMODULE)
          ? NameOfHandle(static_cast<HMODULE>(const_cast<void *>(lpSource))) + " " + std::to_string(dwMessageId)
          : std::to_string(dwMessageId);
  if (auto fault = Enter("FormatMessageA", subject, ERROR_MR_MID_NOT_FOUND)) {
    SetError(*fault);
    return 0;
  }
  if (lpBuffer == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string text;
  if (dwFlags & FORMAT_MESSAGE_FROM_STRING) {
    if (lpSource == nullptr) {
      SetError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    text = static_cast<const char *>(lpSource);
  } else if (dwFlags & FORMAT_MESSAGE_FROM_HMODULE) {
    // The simulated system has no message table of its own, so FROM_SYSTEM adds nothing.
    bool asDataFile = false;
    ModuleEntry *entry =
        lpSource == nullptr
            ? nullptr
            : RequireLoaded("FormatMessageA", static_cast<HMODULE>(const_cast<void *>(lpSource)), &asDataFile);
    if (!entry || entry->module.messages.empty()) {
      SetError(ERROR_RESOURCE_TYPE_NOT_FOUND);
      return 0;
    }
    if (!AnswersToLanguage(dwLanguageId)) {
      SetError(ERROR_RESOURCE_LANG_NOT_FOUND);
      return 0;
    }
    auto it = entry->module.messages.find(dwMessageId);
    if (it == entry->module.messages.end()) {
      SetError(ERROR_MR_MID_NOT_FOUND);
      return 0;
    }
    text = it->second;
  } else {
    SetError(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM ? ERROR_MR_MID_NOT_FOUND : ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string message;
  if (!ExpandMessage(text, dwFlags, Arguments, &message)) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    // lpBuffer then receives the address of a LocalAlloc block of at least nSize characters.
    SIZE_T size = std::max<SIZE_T>(nSize, message.size() + 1);
    auto *block = static_cast<char *>(AllocateLocal(LMEM_FIXED, size));
    if (!block) return 0;
    std::memcpy(block, message.c_str(), message.size() + 1);
    *reinterpret_cast<char **>(lpBuffer) = block;
    return static_cast<DWORD>(message.size());
  }
  if (message.size() + 1 > nSize) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpBuffer, message.c_str(), message.size() + 1);
  return static_cast<DWORD>(message.size());
}

}  // extern "C"
