#include "inf_lines.h"

#include <cctype>
#include <sstream>

namespace devsim {

namespace {

std::string Lower(std::string text) {
  for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string &text) {
  size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// The line without its comment.
std::string StripComment(const std::string &line) {
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    if (line[i] == ';' && !quoted) return line.substr(0, i);
  }
  return line;
}

}  // namespace

std::vector<int> SectionLineNumbers(const std::string &infText, const std::string &section) {
  std::vector<int> numbers;
  const std::string wanted = Lower(section);
  std::istringstream in(infText);
  std::string raw;
  int lineNumber = 0;
  bool inSection = false;
  bool continued = false;  // the previous line ended in "\"
  while (std::getline(in, raw)) {
    ++lineNumber;
    std::string line = Trim(StripComment(raw));
    if (continued) {
      continued = !line.empty() && line.back() == '\\';
      continue;
    }
    if (!line.empty() && line[0] == '[') {
      size_t close = line.find(']');
      inSection = close != std::string::npos && Lower(Trim(line.substr(1, close - 1))) == wanted;
      continue;
    }
    if (line.empty() || !inSection) continue;
    numbers.push_back(lineNumber);
    continued = line.back() == '\\';
  }
  return numbers;
}

int FileLineOf(const std::string &infText, const std::string &section, size_t index) {
  std::vector<int> numbers = SectionLineNumbers(infText, section);
  return index < numbers.size() ? numbers[index] : 0;
}

}  // namespace devsim
