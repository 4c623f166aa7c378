// The INF reader: the input is an INF file in the INF folder. It is opened as the driver choice
// opens it, every section it names is walked line by line and field by field, each string read
// into a buffer of exactly the size the reader asks for and into one byte less, numbers read,
// keys looked up, the install section's decoration found, and the setup class read.
#include <cstring>
#include <set>
#include <vector>

#include "fuzz_support.h"

namespace {

constexpr DWORD kMaxLinesPerSection = 2000;
constexpr DWORD kMaxFieldsChecked = 64;
const char kInfPath[] = "C:\\WINDOWS\\inf\\fuzz.inf";

// The names between brackets at the start of a line, and the ones the module itself asks for.
std::set<std::string> SectionNames(const std::string &text) {
  std::set<std::string> names = {"Version", "Manufacturer", "Strings", "Models", "Install"};
  size_t at = 0;
  while (at < text.size() && names.size() < 200) {
    size_t lineEnd = text.find('\n', at);
    if (lineEnd == std::string::npos) lineEnd = text.size();
    size_t first = text.find_first_not_of(" \t", at);
    if (first < lineEnd && text[first] == '[') {
      const size_t close = text.find(']', first);
      if (close < lineEnd) names.insert(text.substr(first + 1, close - first - 1));
    }
    at = lineEnd + 1;
  }
  return names;
}

// Reads a string through the size query, exactly as large as asked for, and one byte short.
std::string ReadField(INFCONTEXT *line, DWORD field) {
  DWORD required = 0;
  if (!SetupGetStringFieldA(line, field, nullptr, 0, &required)) return "";
  fuzz::Check(required >= 1, "a string field needs no room for its terminator");
  std::vector<char> exact(required);
  DWORD again = 0;
  fuzz::Check(SetupGetStringFieldA(line, field, exact.data(), required, &again) == TRUE,
              "a field does not fit the size the reader asked for");
  fuzz::Check(again == required && exact[required - 1] == '\0', "a field's size and terminator disagree");
  if (required > 1) {
    std::vector<char> shorter(required - 1);
    fuzz::Check(SetupGetStringFieldA(line, field, shorter.data(), required - 1, nullptr) == FALSE &&
                    GetLastError() == ERROR_INSUFFICIENT_BUFFER,
                "a field was returned in a buffer too small for it");
  }
  return std::string(exact.data(), required - 1);
}

void WalkSection(HINF inf, const std::string &section) {
  INFCONTEXT line;
  if (!SetupFindFirstLineA(inf, section.c_str(), nullptr, &line)) return;
  for (DWORD index = 0; index < kMaxLinesPerSection; ++index) {
    const DWORD fields = SetupGetFieldCount(&line);
    const std::string key = ReadField(&line, 0);
    for (DWORD field = 1; field <= fields && field <= kMaxFieldsChecked; ++field) {
      ReadField(&line, field);
      INT number = 0;
      SetupGetIntField(&line, field, &number);
    }
    INFCONTEXT beyond = line;
    fuzz::Check(SetupGetStringFieldA(&beyond, fields + 1, nullptr, 0, nullptr) == FALSE,
                "a field beyond the line's count was read");
    if (!key.empty() && key.find('\0') == std::string::npos) {
      INFCONTEXT found;
      SetupFindFirstLineA(inf, section.c_str(), key.c_str(), &found);
    }
    char actual[MAX_PATH];
    DWORD required = 0;
    if (SetupDiGetActualSectionToInstallA(inf, section.c_str(), actual, sizeof(actual), &required, nullptr)) {
      fuzz::Check(required >= 1 && required <= sizeof(actual) && actual[required - 1] == '\0',
                  "the actual section's size and terminator disagree");
    }
    if (!SetupFindNextLine(&line, &line)) return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::FreshMachine();
  const std::string text = fuzz::Text(data, size);
  winsim::PutFile(kInfPath, text);

  UINT errorLine = 0;
  HINF inf = SetupOpenInfFileA(kInfPath, nullptr, INF_STYLE_WIN4, &errorLine);
  if (inf != INVALID_HANDLE_VALUE) {
    for (const std::string &section : SectionNames(text)) {
      if (section.find('\0') == std::string::npos) WalkSection(inf, section);
    }
    SetupCloseInfFile(inf);
  }

  GUID classGuid;
  char className[MAX_PATH];
  DWORD required = 0;
  if (SetupDiGetINFClassA("fuzz.inf", &classGuid, className, sizeof(className), &required)) {
    fuzz::Check(required >= 1 && required <= sizeof(className) && className[required - 1] == '\0',
                "the class name's size and terminator disagree");
  }
  fuzz::CheckNothingOpen("the INF walk");
  return 0;
}
