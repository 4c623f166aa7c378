#include "inf_install.h"

#include <winsim.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "inf_lines.h"
#include "input_error.h"
#include "registry_read.h"
#include "status_names.h"

namespace devsim {

namespace {

constexpr const char *kDestinationDirsSection = "DestinationDirs";
constexpr const char *kDefaultDestDirKey = "DefaultDestDir";
constexpr const char *kSourceDisksFilesSection = "SourceDisksFiles";
constexpr const char *kServicesKey = "SYSTEM\\CurrentControlSet\\Services\\";
// Largest byte in a binary field.
constexpr unsigned long kLargestByte = 0xFF;
constexpr DWORD kFileCopyChunk = 64 * 1024;

bool EqualNoCase(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

bool StartsWithNoCase(const std::string &text, const std::string &prefix) {
  return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

std::string WindowsDirectory() {
  char buffer[MAX_PATH] = {};
  UINT length = GetWindowsDirectoryA(buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) return "C:\\WINDOWS";
  std::string path(buffer, length);
  if (path.size() > 3 && path.back() == '\\') path.pop_back();
  return path;
}

std::string FolderOf(const std::string &path) {
  size_t slash = path.rfind('\\');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// Creates every missing folder of a Windows path's folder part.
void CreateFolders(const std::string &filePath) {
  for (size_t slash = filePath.find('\\', 3); slash != std::string::npos; slash = filePath.find('\\', slash + 1)) {
    std::string folder = filePath.substr(0, slash);
    if (GetFileAttributesA(folder.c_str()) == INVALID_FILE_ATTRIBUTES) CreateDirectoryA(folder.c_str(), nullptr);
  }
}

// REG_ type of binary-form AddReg flags: the high word names the type, with 1 and 2 standing for
// REG_DWORD and REG_NONE as the INF syntax defines them.
DWORD BinaryRegistryType(DWORD flags) {
  DWORD high = flags >> 16;
  if (high == 0) return REG_BINARY;
  if (flags == kFlgAddRegTypeDword) return REG_DWORD;
  if (flags == kFlgAddRegTypeNone) return REG_NONE;
  return high;
}

}  // namespace

std::optional<DWORD> ParseInfNumber(const std::string &text) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || std::isspace(static_cast<unsigned char>(text[0]))) {
    return std::nullopt;
  }
  errno = 0;
  char *end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || errno == ERANGE || value > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<DWORD>(value);
}

InfSections::InfSections(HINF inf, const std::string &infPath, InstallLog &log)
    : inf_(inf), infPath_(infPath), infFolder_(FolderOf(infPath)), log_(log) {}

[[noreturn]] void InfSections::Malformed(const std::string &section, size_t lineIndex,
                                         const std::string &message) const {
  std::optional<std::string> text = winsim::GetFile(infPath_);
  int line = text ? FileLineOf(*text, section, lineIndex) : 0;
  throw InputError(infPath_, line, "[" + section + "]: " + message);
}

bool InfSections::HasSection(const std::string &section) const {
  INFCONTEXT context;
  return SetupFindFirstLineA(inf_, section.c_str(), nullptr, &context) != FALSE;
}

std::vector<InfSections::Line> InfSections::Lines(const std::string &section) const {
  std::vector<Line> lines;
  INFCONTEXT context;
  if (!SetupFindFirstLineA(inf_, section.c_str(), nullptr, &context)) return lines;
  size_t index = 0;
  do {
    lines.push_back(Line{context, index++});
  } while (SetupFindNextLine(&context, &context));
  return lines;
}

std::optional<std::string> InfSections::Field(INFCONTEXT &context, DWORD index) const {
  if (index > 0 && index > SetupGetFieldCount(&context)) return std::nullopt;
  std::string buffer(MAX_INF_STRING_LENGTH, '\0');
  DWORD required = 0;
  if (!SetupGetStringFieldA(&context, index, buffer.data(), static_cast<DWORD>(buffer.size()), &required)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required == 0) return std::nullopt;
    buffer.assign(required, '\0');
    if (!SetupGetStringFieldA(&context, index, buffer.data(), required, &required)) return std::nullopt;
  }
  buffer.resize(buffer.find('\0') == std::string::npos ? buffer.size() : buffer.find('\0'));
  return buffer;
}

std::optional<std::string> InfSections::KeyValue(const std::string &section, const std::string &key) const {
  INFCONTEXT context;
  if (!SetupFindFirstLineA(inf_, section.c_str(), key.c_str(), &context)) return std::nullopt;
  return Field(context, 1);
}

std::vector<InfSections::Directive> InfSections::Directives(const std::string &section,
                                                            const std::string &directive) const {
  std::vector<Directive> directives;
  for (Line &line : Lines(section)) {
    std::optional<std::string> key = Field(line.context, 0);
    if (!key || !EqualNoCase(*key, directive)) continue;
    DWORD count = SetupGetFieldCount(&line.context);
    for (DWORD i = 1; i <= count; ++i) {
      std::string name = Field(line.context, i).value_or("");
      if (!name.empty()) directives.push_back(Directive{name, line.index});
    }
  }
  return directives;
}

std::string InfSections::DirectoryOfId(const std::string &dirid) const {
  std::optional<DWORD> id = ParseInfNumber(dirid);
  if (!id) return "";
  const std::string windows = WindowsDirectory();
  switch (*id) {
    case 1:  // the folder the INF came from
      return infFolder_.empty() ? "" : infFolder_.substr(0, infFolder_.size() - 1);
    case 10:
      return windows;
    case 11:
      return windows + "\\system32";
    case 12:
      return windows + "\\system32\\drivers";
    case 17:
      return windows + "\\inf";
    case 18:
      return windows + "\\help";
    case 20:
      return windows + "\\fonts";
    case 24:  // the root of the system drive
    case 30:
      return windows.substr(0, 2);
    default:
      return "";
  }
}

DWORD InfSections::AddReg(const std::string &section, HKEY relativeKey) {
  for (const Directive &directive : Directives(section, "AddReg")) {
    if (!HasSection(directive.name)) {
      Malformed(section, directive.lineIndex, "AddReg names section [" + directive.name + "], which is not there");
    }
    std::vector<Line> lines = Lines(directive.name);
    log_.Line("AddReg [" + directive.name + "]: " + std::to_string(lines.size()) + " line(s)");
    for (Line &line : lines) {
      DWORD status = AddRegLine(directive.name, line, relativeKey);
      if (status != NO_ERROR) return status;
    }
  }
  return NO_ERROR;
}

DWORD InfSections::AddRegLine(const std::string &section, Line &line, HKEY relativeKey) {
  INFCONTEXT &context = line.context;
  const DWORD count = SetupGetFieldCount(&context);
  const std::string rootText = Field(context, 1).value_or("");
  HKEY root = nullptr;
  if (EqualNoCase(rootText, "HKR")) {
    root = relativeKey;
  } else if (EqualNoCase(rootText, "HKLM")) {
    root = HKEY_LOCAL_MACHINE;
  } else if (EqualNoCase(rootText, "HKCU")) {
    root = HKEY_CURRENT_USER;
  } else if (EqualNoCase(rootText, "HKCR")) {
    root = HKEY_CLASSES_ROOT;
  } else if (EqualNoCase(rootText, "HKU")) {
    root = HKEY_USERS;
  } else {
    Malformed(section, line.index, "unknown registry root '" + rootText + "' (HKR, HKLM, HKCU, HKCR or HKU)");
  }
  const std::string subkey = Field(context, 2).value_or("");
  const bool hasValueName = count >= 3;
  const std::string valueName = Field(context, 3).value_or("");
  DWORD flags = 0;
  const std::string flagsText = Field(context, 4).value_or("");
  if (!flagsText.empty()) {
    std::optional<DWORD> parsed = ParseInfNumber(flagsText);
    if (!parsed) Malformed(section, line.index, "flags '" + flagsText + "' are not a number");
    flags = *parsed;
  }
  std::vector<std::string> values;
  for (DWORD i = 5; i <= count; ++i) values.push_back(Field(context, i).value_or(""));

  // The value's type and data, checked before anything is written.
  const DWORD typeFlags = flags & kFlgAddRegTypeMask;
  DWORD type = REG_SZ;
  std::vector<BYTE> data;
  if (typeFlags & kFlgAddRegBinValueType) {
    type = BinaryRegistryType(typeFlags);
    if (type == REG_DWORD && values.size() == 1) {
      std::optional<DWORD> number = ParseInfNumber(values[0]);
      if (!number) Malformed(section, line.index, "'" + values[0] + "' is not a number");
      for (int shift = 0; shift < 32; shift += 8) data.push_back(static_cast<BYTE>(*number >> shift));
    } else {
      for (const std::string &text : values) {
        std::string digits = StartsWithNoCase(text, "0x") ? text.substr(2) : text;
        char *end = nullptr;
        unsigned long byte = digits.empty() ? kLargestByte + 1 : std::strtoul(digits.c_str(), &end, 16);
        if (digits.empty() || *end != '\0' || byte > kLargestByte) {
          Malformed(section, line.index, "'" + text + "' is not a hexadecimal byte");
        }
        data.push_back(static_cast<BYTE>(byte));
      }
    }
  } else if (typeFlags == kFlgAddRegTypeSz || typeFlags == kFlgAddRegTypeExpandSz) {
    type = typeFlags == kFlgAddRegTypeSz ? REG_SZ : REG_EXPAND_SZ;
    std::string text = values.empty() ? "" : values[0];
    data.assign(text.begin(), text.end());
    data.push_back(0);
  } else if (typeFlags == kFlgAddRegTypeMultiSz) {
    type = REG_MULTI_SZ;
  } else {
    Malformed(section, line.index, "flags " + Hex32(flags) + " name no value type");
  }

  HKEY key = root;
  bool opened = false;
  if (!subkey.empty() || root != relativeKey) {
    LONG result = RegCreateKeyExA(root, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                                  nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS) {
      log_.Line("AddReg: key " + rootText + "\\" + subkey + " cannot be created: " + DescribeStatus(result));
      return static_cast<DWORD>(result);
    }
    opened = true;
  }
  LONG result = ERROR_SUCCESS;
  if (hasValueName && !(flags & kFlgAddRegKeyOnly)) {
    const bool exists =
        RegQueryValueExA(key, valueName.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    if (flags & kFlgAddRegDelVal) {
      if (exists) result = RegDeleteValueA(key, valueName.c_str());
    } else if ((flags & kFlgAddRegNoClobber) && exists) {
      log_.Line("AddReg: " + rootText + "," + subkey + "," + valueName + " kept (it exists; no-clobber)");
    } else if ((flags & kFlgAddRegOverwriteOnly) && !exists) {
      // Only an existing value is replaced.
    } else {
      if (type == REG_MULTI_SZ) {
        std::vector<std::string> strings;
        if ((flags & kFlgAddRegAppend) && exists) {
          std::optional<std::vector<std::string>> current = ReadStringList(key, valueName.c_str());
          if (current) strings = *current;
        }
        for (const std::string &text : values) {
          bool present = false;
          for (const std::string &had : strings) present = present || EqualNoCase(had, text);
          if (!(flags & kFlgAddRegAppend) || !present) strings.push_back(text);
        }
        data = JoinMultiString(strings);
      }
      result = RegSetValueExA(key, valueName.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
    }
  }
  if (opened) RegCloseKey(key);
  if (result != ERROR_SUCCESS) {
    log_.Line("AddReg: " + rootText + "," + subkey + "," + valueName +
              " cannot be written: " + DescribeStatus(static_cast<DWORD>(result)));
    return static_cast<DWORD>(result);
  }
  return NO_ERROR;
}

DWORD InfSections::CopyOneFile(const std::string &source, const std::string &destination) {
  HANDLE in = CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
  if (in == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    log_.Line("Copy of '" + source + "' failed: " + DescribeStatus(error));
    return error;
  }
  CreateFolders(destination);
  HANDLE out =
      CreateFileA(destination.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    CloseHandle(in);
    log_.Line("Copy to '" + destination + "' failed: " + DescribeStatus(error));
    return error;
  }
  DWORD status = NO_ERROR;
  std::vector<char> buffer(kFileCopyChunk);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(in, buffer.data(), kFileCopyChunk, &read, nullptr)) {
      status = GetLastError();
      break;
    }
    if (read == 0) break;
    DWORD written = 0;
    if (!WriteFile(out, buffer.data(), read, &written, nullptr) || written != read) {
      status = GetLastError() != NO_ERROR ? GetLastError() : static_cast<DWORD>(ERROR_WRITE_FAULT);
      break;
    }
  }
  CloseHandle(out);
  CloseHandle(in);
  log_.Line(status == NO_ERROR ? "Copied '" + source + "' to '" + destination + "'"
                               : "Copy to '" + destination + "' failed: " + DescribeStatus(status));
  return status;
}

DWORD InfSections::CopyFiles(const std::string &section) {
  for (const Directive &directive : Directives(section, "CopyFiles")) {
    // "@file" copies one file to the default destination.
    const bool single = directive.name[0] == '@';
    const std::string listName = single ? kDefaultDestDirKey : directive.name;
    if (!single && !HasSection(directive.name)) {
      Malformed(section, directive.lineIndex,
                "CopyFiles names section [" + directive.name + "], which is not there");
    }
    INFCONTEXT destination;
    if (!SetupFindFirstLineA(inf_, kDestinationDirsSection, listName.c_str(), &destination) &&
        !SetupFindFirstLineA(inf_, kDestinationDirsSection, kDefaultDestDirKey, &destination)) {
      Malformed(section, directive.lineIndex,
                "no [DestinationDirs] entry for '" + directive.name + "' and no DefaultDestDir");
    }
    const std::string dirid = Field(destination, 1).value_or("");
    std::string folder = DirectoryOfId(dirid);
    if (folder.empty()) {
      Malformed(section, directive.lineIndex,
                "[DestinationDirs] names directory id '" + dirid + "', which is not known");
    }
    const std::string subfolder = Field(destination, 2).value_or("");
    if (!subfolder.empty()) folder += "\\" + subfolder;

    std::vector<std::pair<std::string, std::string>> files;  // destination name, source name
    if (single) {
      files.emplace_back(directive.name.substr(1), directive.name.substr(1));
    } else {
      for (Line &line : Lines(directive.name)) {
        std::string target = Field(line.context, 1).value_or("");
        if (target.empty()) Malformed(directive.name, line.index, "a file line without a file name");
        std::string source = Field(line.context, 2).value_or("");
        files.emplace_back(target, source.empty() ? target : source);
      }
    }
    for (const auto &file : files) {
      // [SourceDisksFiles] may place a source file in a subfolder of the package.
      std::string subdir;
      INFCONTEXT placement;
      if (SetupFindFirstLineA(inf_, kSourceDisksFilesSection, file.second.c_str(), &placement)) {
        subdir = Field(placement, 2).value_or("");
        if (!subdir.empty() && subdir.back() != '\\') subdir += '\\';
      }
      DWORD status = CopyOneFile(infFolder_ + subdir + file.second, folder + "\\" + file.first);
      if (status != NO_ERROR) return status;
    }
  }
  return NO_ERROR;
}

DWORD InfSections::AddServices(const std::string &servicesSection, std::string *associatedService) {
  associatedService->clear();
  const std::string windowsPrefix = WindowsDirectory() + "\\";
  for (Line &line : Lines(servicesSection)) {
    std::optional<std::string> directive = Field(line.context, 0);
    if (!directive || !EqualNoCase(*directive, "AddService")) continue;
    const std::string name = Field(line.context, 1).value_or("");
    if (name.empty()) Malformed(servicesSection, line.index, "AddService without a service name");
    const std::string flagsText = Field(line.context, 2).value_or("");
    std::optional<DWORD> flags = flagsText.empty() ? std::optional<DWORD>(0) : ParseInfNumber(flagsText);
    if (!flags) Malformed(servicesSection, line.index, "AddService flags '" + flagsText + "' are not a number");
    const std::string installSection = Field(line.context, 3).value_or("");
    if (installSection.empty() || !HasSection(installSection)) {
      Malformed(servicesSection, line.index,
                "AddService names service-install section [" + installSection + "], which is not there");
    }

    const char *numbers[] = {"ServiceType", "StartType", "ErrorControl"};
    const char *valueNames[] = {"Type", "Start", "ErrorControl"};
    DWORD values[3] = {};
    for (int i = 0; i < 3; ++i) {
      std::optional<std::string> text = KeyValue(installSection, numbers[i]);
      std::optional<DWORD> number = text ? ParseInfNumber(*text) : std::nullopt;
      if (!number) {
        log_.Line("Service '" + name + "': [" + installSection + "] has no valid " + numbers[i]);
        return ERROR_BAD_SERVICE_INSTALLSECT;
      }
      values[i] = *number;
    }
    std::optional<std::string> binary = KeyValue(installSection, "ServiceBinary");
    if (!binary || binary->empty()) {
      log_.Line("Service '" + name + "': [" + installSection + "] has no ServiceBinary");
      return ERROR_BAD_SERVICE_INSTALLSECT;
    }
    // The platform stores a driver below the Windows folder relative to it.
    std::string imagePath =
        StartsWithNoCase(*binary, windowsPrefix) ? binary->substr(windowsPrefix.size()) : *binary;

    HKEY key = nullptr;
    const std::string path = kServicesKey + name;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                  nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS) {
      log_.Line("Service '" + name + "' cannot be created: " + DescribeStatus(static_cast<DWORD>(result)));
      return static_cast<DWORD>(result);
    }
    for (int i = 0; i < 3 && result == ERROR_SUCCESS; ++i) {
      result = RegSetValueExA(key, valueNames[i], 0, REG_DWORD, reinterpret_cast<const BYTE *>(&values[i]),
                              sizeof values[i]);
    }
    auto setText = [&](const char *valueName, DWORD type, const std::string &text) {
      if (result == ERROR_SUCCESS) {
        result = RegSetValueExA(key, valueName, 0, type, reinterpret_cast<const BYTE *>(text.c_str()),
                                static_cast<DWORD>(text.size() + 1));
      }
    };
    setText("ImagePath", REG_EXPAND_SZ, imagePath);
    const std::pair<const char *, const char *> optional[] = {
        {"DisplayName", "DisplayName"}, {"LoadOrderGroup", "Group"}, {"Description", "Description"}};
    for (const auto &entry : optional) {
      std::optional<std::string> text = KeyValue(installSection, entry.first);
      if (text && !text->empty()) setText(entry.second, REG_SZ, *text);
    }
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) {
      log_.Line("Service '" + name + "' cannot be written: " + DescribeStatus(static_cast<DWORD>(result)));
      return static_cast<DWORD>(result);
    }
    log_.Line("Service '" + name + "' installed from [" + installSection + "] (Type " + std::to_string(values[0]) +
              ", Start " + std::to_string(values[1]) + ", ImagePath " + imagePath + ")");
    if (*flags & kSpSvcInstAssocService) *associatedService = name;
  }
  return NO_ERROR;
}

}  // namespace devsim
