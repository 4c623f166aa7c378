// The platform's counter-text loader, LOADPERF.DLL, as a builtin module of the simulated machine.
// Its two entries take lodctr / unlodctr command lines, record every call, and keep counter-text
// state where the platform keeps it: the service's Performance key holds the index range of its
// texts ("First Counter" .. "Last Help"), Perflib holds the highest indices in use, and
// Perflib\009 holds the English names and help texts themselves.
//
// Texts are numbered two per counter or object: names take even indices, help texts the odd index
// after, in the order the [text] section lists the names. A load fails when the service has no
// key or no Performance key (ERROR_BADKEY) or already has texts (ERROR_ALREADY_EXISTS); an unload
// fails when there are none (ERROR_BADKEY).
#include <map>
#include <sstream>
#include <vector>

#include "internal.h"

namespace winsim {
namespace detail {
namespace {

constexpr char kLoadPerfFileName[] = "loadperf.dll";
constexpr char kLoadEntry[] = "LoadPerfCounterTextStringsA";
constexpr char kUnloadEntry[] = "UnloadPerfCounterTextStringsA";

constexpr char kServicesKey[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
constexpr char kPerformanceSubkey[] = "\\Performance";
constexpr char kPerflibKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib";
constexpr char kEnglishLanguage[] = "009";
constexpr char kFirstCounter[] = "First Counter";
constexpr char kLastCounter[] = "Last Counter";
constexpr char kFirstHelp[] = "First Help";
constexpr char kLastHelp[] = "Last Help";
constexpr char kCounterTexts[] = "Counter";
constexpr char kHelpTexts[] = "Help";
// Highest indices of a system with only its own texts, used when Perflib does not say.
constexpr DWORD kBaseLastCounter = 1846;
constexpr DWORD kBaseLastHelp = 1847;
constexpr DWORD kIndexStep = 2;

constexpr DWORD kNoServiceKey = ERROR_BADKEY;
constexpr DWORD kNothingLoaded = ERROR_BADKEY;
constexpr DWORD kAlreadyLoaded = ERROR_ALREADY_EXISTS;
constexpr DWORD kMalformedFile = ERROR_INVALID_DATA;

std::vector<LoadPerfCall> &Calls() {
  static std::vector<LoadPerfCall> calls;
  return calls;
}

DWORD Record(const char *function, LPSTR commandLine, BOOL quiet, DWORD result) {
  LoadPerfCall call;
  call.function = function;
  call.commandLine = commandLine ? commandLine : "";
  // As the process keeps it: with a trailing backslash, which GetCurrentDirectoryA leaves off.
  call.currentDirectory = CurrentDirectory();
  if (call.currentDirectory.back() != '\\') call.currentDirectory += '\\';
  call.quiet = quiet;
  call.result = result;
  Calls().push_back(call);
  return result;
}

std::string Trim(const std::string &text) {
  size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(start, end - start + 1);
}

// What a command line says after the program name, without surrounding quotes.
std::string Argument(const std::string &commandLine) {
  std::string line = Trim(commandLine);
  size_t end = 0;
  if (!line.empty() && line[0] == '"') {
    end = line.find('"', 1);
    end = end == std::string::npos ? line.size() : end + 1;
  } else {
    end = line.find_first_of(" \t");
    if (end == std::string::npos) end = line.size();
  }
  std::string rest = Trim(line.substr(end));
  if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"') rest = rest.substr(1, rest.size() - 2);
  return rest;
}

struct CounterFile {
  std::string service;
  std::vector<std::string> symbols;  // counters and objects, in the order their names appear
  std::map<std::string, std::string> names, helps;
};

// Reads the [info] and [text] sections of a counter definition file; English texts only.
bool ParseCounterFile(const std::string &content, CounterFile *file) {
  std::istringstream in(content);
  std::string line, section;
  const std::string englishName = std::string("_") + kEnglishLanguage + "_NAME";
  const std::string englishHelp = std::string("_") + kEnglishLanguage + "_HELP";
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      section = Upper(Trim(line.substr(1, line.size() - 2)));
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = Trim(line.substr(0, equals)), value = Trim(line.substr(equals + 1));
    std::string upperKey = Upper(key);
    if (section == "INFO" && upperKey == "DRIVERNAME") {
      file->service = value;
    } else if (section == "TEXT" && upperKey.size() > englishName.size()) {
      std::string suffix = upperKey.substr(upperKey.size() - englishName.size());
      std::string symbol = upperKey.substr(0, upperKey.size() - englishName.size());
      if (suffix == englishName) {
        if (!file->names.count(symbol)) file->symbols.push_back(symbol);
        file->names[symbol] = value;
      } else if (suffix == englishHelp) {
        file->helps[symbol] = value;
      }
    }
  }
  return !file->service.empty() && !file->symbols.empty();
}

std::vector<std::pair<DWORD, std::string>> ReadTexts(const std::string &valueName) {
  std::vector<std::pair<DWORD, std::string>> texts;
  std::optional<RegValue> value = GetValue(std::string(kPerflibKey) + "\\" + kEnglishLanguage, valueName);
  if (!value || value->type != REG_MULTI_SZ) return texts;
  std::vector<std::string> strings;
  std::string current;
  for (BYTE b : value->data) {
    if (b == 0) {
      if (current.empty()) break;
      strings.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(b);
    }
  }
  for (size_t i = 0; i + 1 < strings.size(); i += 2)
    texts.emplace_back(static_cast<DWORD>(std::stoul(strings[i])), strings[i + 1]);
  return texts;
}

void WriteTexts(const std::string &valueName, const std::vector<std::pair<DWORD, std::string>> &texts) {
  std::vector<BYTE> data;
  for (const auto &text : texts) {
    for (const std::string &part : {std::to_string(text.first), text.second}) {
      data.insert(data.end(), part.begin(), part.end());
      data.push_back(0);
    }
  }
  data.push_back(0);
  SetValue(std::string(kPerflibKey) + "\\" + kEnglishLanguage, valueName, REG_MULTI_SZ, data);
}

void RemoveTexts(const std::string &valueName, DWORD first, DWORD last) {
  auto texts = ReadTexts(valueName);
  std::vector<std::pair<DWORD, std::string>> kept;
  for (const auto &text : texts)
    if (text.first < first || text.first > last) kept.push_back(text);
  WriteTexts(valueName, kept);
}

// Deletes values of a key through the registry's own text form, which needs no handle.
void DeleteValues(const std::string &keyPath, const std::vector<std::string> &names) {
  std::string text = "REGEDIT4\r\n\r\n[" + keyPath + "]\r\n";
  for (const std::string &name : names) text += "\"" + name + "\"=-\r\n";
  LoadReg(text);
}

DWORD LoadTexts(const std::string &commandLine) {
  std::string fileName = Argument(commandLine);
  if (fileName.empty()) return ERROR_INVALID_PARAMETER;
  std::optional<std::string> content = GetFile(FullWindowsPath(fileName));
  if (!content) return ERROR_FILE_NOT_FOUND;
  CounterFile file;
  if (!ParseCounterFile(*content, &file)) return kMalformedFile;
  const std::string serviceKey = kServicesKey + file.service;
  const std::string performanceKey = serviceKey + kPerformanceSubkey;
  if (!KeyExists(serviceKey) || !KeyExists(performanceKey)) return kNoServiceKey;
  if (GetValue(performanceKey, kFirstCounter)) return kAlreadyLoaded;

  const DWORD firstCounter = GetDword(kPerflibKey, kLastCounter).value_or(kBaseLastCounter) + kIndexStep;
  const DWORD firstHelp = GetDword(kPerflibKey, kLastHelp).value_or(kBaseLastHelp) + kIndexStep;
  const DWORD span = kIndexStep * static_cast<DWORD>(file.symbols.size() - 1);
  auto counters = ReadTexts(kCounterTexts);
  auto helps = ReadTexts(kHelpTexts);
  for (size_t i = 0; i < file.symbols.size(); ++i) {
    const std::string &symbol = file.symbols[i];
    const DWORD offset = kIndexStep * static_cast<DWORD>(i);
    counters.emplace_back(firstCounter + offset, file.names[symbol]);
    helps.emplace_back(firstHelp + offset, file.helps[symbol]);
  }
  WriteTexts(kCounterTexts, counters);
  WriteTexts(kHelpTexts, helps);
  SetDword(kPerflibKey, kLastCounter, firstCounter + span);
  SetDword(kPerflibKey, kLastHelp, firstHelp + span);
  SetDword(performanceKey, kFirstCounter, firstCounter);
  SetDword(performanceKey, kLastCounter, firstCounter + span);
  SetDword(performanceKey, kFirstHelp, firstHelp);
  SetDword(performanceKey, kLastHelp, firstHelp + span);
  return ERROR_SUCCESS;
}

DWORD UnloadTexts(const std::string &commandLine) {
  std::string service = Argument(commandLine);
  if (service.empty()) return ERROR_INVALID_PARAMETER;
  const std::string serviceKey = kServicesKey + service;
  const std::string performanceKey = serviceKey + kPerformanceSubkey;
  if (!KeyExists(serviceKey)) return kNoServiceKey;
  std::optional<DWORD> firstCounter = GetDword(performanceKey, kFirstCounter);
  std::optional<DWORD> lastCounter = GetDword(performanceKey, kLastCounter);
  std::optional<DWORD> firstHelp = GetDword(performanceKey, kFirstHelp);
  std::optional<DWORD> lastHelp = GetDword(performanceKey, kLastHelp);
  if (!firstCounter || !lastCounter || !firstHelp || !lastHelp) return kNothingLoaded;

  RemoveTexts(kCounterTexts, *firstCounter, *lastCounter);
  RemoveTexts(kHelpTexts, *firstHelp, *lastHelp);
  // The service's indices are given back when they are the last ones handed out.
  if (GetDword(kPerflibKey, kLastCounter) == lastCounter && GetDword(kPerflibKey, kLastHelp) == lastHelp) {
    SetDword(kPerflibKey, kLastCounter, *firstCounter - kIndexStep);
    SetDword(kPerflibKey, kLastHelp, *firstHelp - kIndexStep);
  }
  DeleteValues(performanceKey, {kFirstCounter, kLastCounter, kFirstHelp, kLastHelp});
  return ERROR_SUCCESS;
}

DWORD WINAPI LoadPerfCounterTextStringsA(LPSTR lpCommandLine, BOOL bQuietModeArg) {
  if (auto fault = Enter(kLoadEntry, lpCommandLine ? lpCommandLine : "", ERROR_ACCESS_DENIED))
    return Record(kLoadEntry, lpCommandLine, bQuietModeArg, *fault);
  DWORD result = lpCommandLine ? LoadTexts(lpCommandLine) : ERROR_INVALID_PARAMETER;
  return Record(kLoadEntry, lpCommandLine, bQuietModeArg, result);
}

DWORD WINAPI UnloadPerfCounterTextStringsA(LPSTR lpCommandLine, BOOL bQuietModeArg) {
  if (auto fault = Enter(kUnloadEntry, lpCommandLine ? lpCommandLine : "", ERROR_ACCESS_DENIED))
    return Record(kUnloadEntry, lpCommandLine, bQuietModeArg, *fault);
  DWORD result = lpCommandLine ? UnloadTexts(lpCommandLine) : ERROR_INVALID_PARAMETER;
  return Record(kUnloadEntry, lpCommandLine, bQuietModeArg, result);
}

// Through void(*)(), the generic function pointer type, as GetProcAddress hands entries out.
template <typename Function>
FARPROC AsExport(Function *function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

const bool registered = RegisterFamily({[] { Calls().clear(); }, nullptr, nullptr});

}  // namespace

BuiltinModule LoadPerfModule() {
  BuiltinModule module;
  module.fileName = kLoadPerfFileName;
  module.exports[kLoadEntry] = AsExport(&LoadPerfCounterTextStringsA);
  module.exports[kUnloadEntry] = AsExport(&UnloadPerfCounterTextStringsA);
  return module;
}

}  // namespace detail

const std::vector<LoadPerfCall> &LoadPerfCalls() {
  return detail::Calls();
}

void SetLoadPerf(bool libraryPresent, bool loadEntryPresent, bool unloadEntryPresent) {
  detail::SetBuiltinModulePresent(detail::kLoadPerfFileName, libraryPresent);
  detail::SetBuiltinExportPresent(detail::kLoadPerfFileName, detail::kLoadEntry, loadEntryPresent);
  detail::SetBuiltinExportPresent(detail::kLoadPerfFileName, detail::kUnloadEntry, unloadEntryPresent);
}

}  // namespace winsim
