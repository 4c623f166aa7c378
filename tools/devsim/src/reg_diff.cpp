#include "reg_diff.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>

namespace devsim {

namespace {

std::string Upper(std::string text) {
  for (char &c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string TrimEnd(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t')) text.pop_back();
  return text;
}

// Length of the value name at the start of `line` ("@" or a quoted name with \" and \\ escapes),
// 0 when the line does not start with one.
size_t NameLength(const std::string &line) {
  if (!line.empty() && line[0] == '@') return 1;
  if (line.empty() || line[0] != '"') return 0;
  for (size_t i = 1; i < line.size(); ++i) {
    if (line[i] == '\\') {
      ++i;
    } else if (line[i] == '"') {
      return i + 1;
    }
  }
  return 0;
}

// Registry order: level by level, each level's names compared without regard to letter case.
bool KeyPathLess(const std::string &a, const std::string &b) {
  size_t i = 0, j = 0;
  for (;;) {
    size_t ia = a.find('\\', i), jb = b.find('\\', j);
    std::string partA = Upper(a.substr(i, ia == std::string::npos ? std::string::npos : ia - i));
    std::string partB = Upper(b.substr(j, jb == std::string::npos ? std::string::npos : jb - j));
    if (partA != partB) return partA < partB;
    if (ia == std::string::npos || jb == std::string::npos)
      return ia == std::string::npos && jb != std::string::npos;
    i = ia + 1;
    j = jb + 1;
  }
}

std::string ParentOf(const std::string &upperPath) {
  size_t slash = upperPath.rfind('\\');
  return slash == std::string::npos ? "" : upperPath.substr(0, slash);
}

const RegValueText *FindValue(const RegKeyText &key, const std::string &name) {
  for (const RegValueText &value : key.values) {
    if (Upper(value.name) == Upper(name)) return &value;
  }
  return nullptr;
}

// A comment that shows the text of hex(1), hex(2) and hex(7) data, which .reg files only give as
// bytes: "; REG_MULTI_SZ: "DSS1", "1TR6"". "" for any other data.
std::string ReadableComment(const std::string &data) {
  static const std::pair<const char *, const char *> kTextTypes[] = {
      {"hex(1):", "REG_SZ"}, {"hex(2):", "REG_EXPAND_SZ"}, {"hex(7):", "REG_MULTI_SZ"}};
  for (const auto &type : kTextTypes) {
    const std::string prefix = type.first;
    if (data.compare(0, prefix.size(), prefix) != 0) continue;
    std::vector<std::string> strings(1);
    std::istringstream bytes(data.substr(prefix.size()));
    std::string item;
    while (std::getline(bytes, item, ',')) {
      char *end = nullptr;
      unsigned long byte = std::strtoul(item.c_str(), &end, 16);
      if (item.empty() || *end != '\0' || byte > 0xFF) return "";
      if (byte == 0) {
        strings.emplace_back();
      } else if (byte < 0x20) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02lX", byte);
        strings.back() += escaped;
      } else {
        strings.back() += static_cast<char>(byte);
      }
    }
    // The terminating NULs leave empty strings at the end.
    while (strings.size() > 1 && strings.back().empty()) strings.pop_back();
    if (strings.size() == 1 && strings[0].empty()) return std::string("; ") + type.second + ": (empty)";
    std::string text;
    for (const std::string &one : strings) text += (text.empty() ? "" : ", ") + ("\"" + one + "\"");
    return std::string("; ") + type.second + ": " + text;
  }
  return "";
}

}  // namespace

RegState ParseRegExport(const std::string &text) {
  RegState state;
  RegKeyText *current = nullptr;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    line = TrimEnd(line);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[' && line.back() == ']') {
      std::string path = line.substr(1, line.size() - 2);
      if (!path.empty() && path[0] == '-') {
        current = nullptr;  // an export never holds deletions
        continue;
      }
      RegKeyText &key = state[Upper(path)];
      key.path = path;
      current = &key;
      continue;
    }
    size_t nameLength = NameLength(line);
    if (current == nullptr || nameLength == 0 || nameLength >= line.size() || line[nameLength] != '=') continue;
    RegValueText value;
    value.name = line.substr(0, nameLength);
    value.text = line;
    value.data = line.substr(nameLength + 1);
    // A line that ends in a backslash goes on in the next line (long hex data).
    while (!value.data.empty() && value.data.back() == '\\' && std::getline(in, line)) {
      line = TrimEnd(line);
      value.text += "\n" + line;
      value.data.pop_back();
      size_t first = line.find_first_not_of(" \t");
      value.data += first == std::string::npos ? "" : line.substr(first);
    }
    current->values.push_back(value);
  }
  return state;
}

std::string DiffReg(const RegState &before, const RegState &after) {
  std::vector<std::string> paths;
  for (const auto &entry : before) paths.push_back(entry.second.path);
  for (const auto &entry : after) {
    if (before.find(entry.first) == before.end()) paths.push_back(entry.second.path);
  }
  std::sort(paths.begin(), paths.end(), KeyPathLess);

  std::string out;
  for (const std::string &path : paths) {
    const std::string upper = Upper(path);
    auto old = before.find(upper);
    auto now = after.find(upper);
    if (now == after.end()) {
      // Deleted: only the top of a deleted tree is named; "[-key]" takes everything below it.
      const std::string parent = ParentOf(upper);
      bool parentDeleted = !parent.empty() && before.count(parent) != 0 && after.count(parent) == 0;
      if (!parentDeleted) out += "[-" + path + "]\n\n";
      continue;
    }
    std::string lines;
    for (const RegValueText &value : now->second.values) {
      const RegValueText *was = old == before.end() ? nullptr : FindValue(old->second, value.name);
      if (was == nullptr || was->data != value.data) {
        lines += value.text + "\n";
        std::string comment = ReadableComment(value.data);
        if (!comment.empty()) lines += comment + "\n";
      }
    }
    if (old != before.end()) {
      for (const RegValueText &value : old->second.values) {
        if (FindValue(now->second, value.name) == nullptr) lines += value.name + "=-\n";
      }
    }
    // A new key is named even without values: it came into being.
    if (!lines.empty() || old == before.end()) out += "[" + now->second.path + "]\n" + lines + "\n";
  }
  return out;
}

}  // namespace devsim
