// Registry state as .reg text: reading REGEDIT4 and "Windows Registry Editor Version 5.00" files
// into the simulated registry, and writing a key tree out as REGEDIT4.
//
// Reading accepts 8-bit text and UTF-16LE or UTF-8 text with a byte-order mark. Registry strings
// are 8-bit here, so Unicode text is brought down to the ANSI code page the simple way: characters
// up to U+00FF keep their Latin-1 byte, every other character becomes '?'. In version 5 files the
// hex(1), hex(2) and hex(7) data are UTF-16LE as regedit writes them and are converted the same
// way. The whole text is checked before anything is applied, so malformed input changes nothing.
//
// Writing produces what regedit writes for REGEDIT4: lines end with CR LF, subkeys follow in
// enumeration order, values in theirs; REG_SZ as a quoted string when it reads back identically
// (one terminating NUL, no NUL, CR or LF inside), otherwise hex(1); REG_DWORD of four bytes as
// dword:, REG_BINARY as hex:, every other type as hex(N): in lower-case hex; long hex lists are
// continued with a backslash at 80 columns.
#include <cstdio>
#include <cstring>

#include "internal.h"
#include "registry_store.h"

namespace winsim {
namespace {

using detail::regstore::Key;
using detail::regstore::ParsedPath;
using detail::regstore::Value;

constexpr char kHeader4[] = "REGEDIT4";
constexpr char kHeader5[] = "Windows Registry Editor Version 5.00";
constexpr char kNewline[] = "\r\n";
constexpr size_t kLineWidth = 80;
constexpr char kContinuationIndent[] = "  ";
constexpr char kUnmappable = '?';
constexpr unsigned kLastLatin1 = 0xFF;
const std::string kDwordPrefix = "dword:";
const std::string kHexPrefix = "hex";
constexpr size_t kMaxDwordDigits = 8;
constexpr size_t kMaxTypeDigits = 8;
constexpr size_t kMaxByteDigits = 2;

// ---- Text decoding -------------------------------------------------------------------------

char ToAnsi(uint32_t codePoint) {
  return codePoint <= kLastLatin1 ? static_cast<char>(codePoint) : kUnmappable;
}

bool IsHighSurrogate(uint32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(uint32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

// UTF-16LE bytes (an even number) to 8-bit text.
std::string Utf16ToAnsi(const BYTE *bytes, size_t size) {
  std::string out;
  out.reserve(size / 2);
  for (size_t i = 0; i + 1 < size; i += 2) {
    uint32_t unit = bytes[i] | (static_cast<uint32_t>(bytes[i + 1]) << 8);
    if (IsHighSurrogate(unit) && i + 3 < size) {
      uint32_t next = bytes[i + 2] | (static_cast<uint32_t>(bytes[i + 3]) << 8);
      if (IsLowSurrogate(next)) i += 2;  // one character outside the BMP
    }
    out += ToAnsi(unit);
  }
  return out;
}

std::string Utf8ToAnsi(const std::string &text, size_t start) {
  std::string out;
  size_t i = start;
  while (i < text.size()) {
    auto lead = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    uint32_t codePoint = lead;
    if ((lead & 0xE0) == 0xC0) {
      extra = 1;
      codePoint = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      codePoint = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
      codePoint = lead & 0x07;
    } else if (lead >= 0x80) {
      extra = text.size();  // a stray trail byte or an invalid lead byte
    }
    bool valid = i + extra < text.size();
    for (size_t k = 1; valid && k <= extra; ++k) {
      auto trail = static_cast<unsigned char>(text[i + k]);
      valid = (trail & 0xC0) == 0x80;
      codePoint = (codePoint << 6) | (trail & 0x3F);
    }
    out += valid ? ToAnsi(codePoint) : kUnmappable;
    i += valid ? extra + 1 : 1;
  }
  return out;
}

// The file's text as 8-bit characters; false when UTF-16 text has an odd number of bytes.
bool DecodeFile(const std::string &raw, std::string *text) {
  if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
      static_cast<unsigned char>(raw[1]) == 0xFE) {
    if (raw.size() % 2 != 0) return false;
    *text = Utf16ToAnsi(reinterpret_cast<const BYTE *>(raw.data()) + 2, raw.size() - 2);
    return true;
  }
  if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    *text = Utf8ToAnsi(raw, 3);
    return true;
  }
  *text = raw;
  return true;
}

std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string Trim(const std::string &s) {
  size_t begin = 0, end = s.size();
  while (begin < end && IsBlank(s[begin])) ++begin;
  while (end > begin && IsBlank(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads 1 to maxDigits hex digits as the whole of `text`.
bool ParseHexNumber(const std::string &text, size_t maxDigits, uint32_t *value) {
  if (text.empty() || text.size() > maxDigits) return false;
  uint32_t result = 0;
  for (char c : text) {
    int digit = HexDigit(c);
    if (digit < 0) return false;
    result = (result << 4) | static_cast<uint32_t>(digit);
  }
  *value = result;
  return true;
}

// ---- Parsing into operations ---------------------------------------------------------------

enum class OpKind { CreateKey, DeleteKey, SetValue, DeleteValue };

struct Op {
  OpKind kind;
  ParsedPath path;
  std::string name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

class Parser {
 public:
  explicit Parser(std::vector<std::string> lines) : lines_(std::move(lines)) {}

  bool Run(std::vector<Op> *ops) {
    while (next_ < lines_.size() && Trim(lines_[next_]).empty()) ++next_;
    if (next_ == lines_.size()) return Fail(1, "no REGEDIT4 or \"Windows Registry Editor Version 5.00\" header");
    std::string header = Trim(lines_[next_]);
    if (header == kHeader4) {
      unicode_ = false;
    } else if (header == kHeader5) {
      unicode_ = true;
    } else {
      return Fail(next_ + 1, "expected REGEDIT4 or \"Windows Registry Editor Version 5.00\"");
    }
    ++next_;
    while (next_ < lines_.size()) {
      size_t lineNumber = next_ + 1;
      std::string line = Trim(lines_[next_++]);
      if (line.empty() || line[0] == ';') continue;
      bool ok = line[0] == '['                       ? KeyLine(lineNumber, line, ops)
                : (line[0] == '"' || line[0] == '@') ? ValueLine(lineNumber, line, ops)
                                                     : Fail(lineNumber, "expected [key], a value or a comment");
      if (!ok) return false;
    }
    return true;
  }

  const std::string &Error() const { return error_; }

 private:
  bool Fail(size_t line, const std::string &what) {
    error_ = "line " + std::to_string(line) + ": " + what;
    return false;
  }

  bool KeyLine(size_t lineNumber, const std::string &line, std::vector<Op> *ops) {
    if (line.back() != ']') return Fail(lineNumber, "key line does not end with ']'");
    std::string inner = line.substr(1, line.size() - 2);
    bool remove = !inner.empty() && inner[0] == '-';
    if (remove) inner.erase(0, 1);
    Op op{remove ? OpKind::DeleteKey : OpKind::CreateKey, {}, "", REG_NONE, {}};
    if (!detail::regstore::ParsePath(inner, &op.path))
      return Fail(lineNumber, "\"" + inner + "\" is not a key path (unknown root or a name over 256 characters)");
    if (remove && op.path.parts.empty()) return Fail(lineNumber, "a root key cannot be deleted");
    haveKey_ = !remove;
    if (haveKey_) current_ = op.path;
    ops->push_back(std::move(op));
    return true;
  }

  // Reads a quoted string starting at line[*pos] == '"'; leaves *pos after the closing quote.
  bool QuotedString(size_t lineNumber, const std::string &line, size_t *pos, std::string *out) {
    out->clear();
    for (size_t i = *pos + 1; i < line.size(); ++i) {
      char c = line[i];
      if (c == '"') {
        *pos = i + 1;
        return true;
      }
      if (c == '\\') {
        if (i + 1 >= line.size()) break;
        char escaped = line[++i];
        if (escaped != '\\' && escaped != '"') return Fail(lineNumber, std::string("unknown escape \\") + escaped);
        c = escaped;
      }
      *out += c;
    }
    return Fail(lineNumber, "missing closing quote");
  }

  bool ValueLine(size_t lineNumber, const std::string &line, std::vector<Op> *ops) {
    if (!haveKey_) return Fail(lineNumber, "value outside a [key] section");
    Op op{OpKind::SetValue, current_, "", REG_NONE, {}};
    size_t pos = 1;  // after '@'
    if (line[0] == '"') {
      pos = 0;
      if (!QuotedString(lineNumber, line, &pos, &op.name)) return false;
    }
    while (pos < line.size() && IsBlank(line[pos])) ++pos;
    if (pos >= line.size() || line[pos] != '=') return Fail(lineNumber, "expected '=' after the value name");
    std::string data = Trim(line.substr(pos + 1));
    if (data == "-") {
      op.kind = OpKind::DeleteValue;
    } else if (!data.empty() && data[0] == '"') {
      size_t end = 0;
      std::string text;
      if (!QuotedString(lineNumber, data, &end, &text)) return false;
      if (end != data.size()) return Fail(lineNumber, "text after the closing quote");
      op.type = REG_SZ;
      op.data.assign(text.begin(), text.end());
      op.data.push_back(0);
    } else if (data.size() >= kDwordPrefix.size() &&
               detail::EqualNoCase(data.substr(0, kDwordPrefix.size()), kDwordPrefix)) {
      uint32_t number;
      if (!ParseHexNumber(data.substr(kDwordPrefix.size()), kMaxDwordDigits, &number))
        return Fail(lineNumber, "dword: needs 1 to 8 hex digits");
      op.type = REG_DWORD;
      op.data.resize(sizeof number);
      std::memcpy(op.data.data(), &number, sizeof number);
    } else if (data.size() >= kHexPrefix.size() &&
               detail::EqualNoCase(data.substr(0, kHexPrefix.size()), kHexPrefix)) {
      if (!HexValue(lineNumber, data.substr(kHexPrefix.size()), &op)) return false;
    } else {
      return Fail(lineNumber, "unrecognised value data \"" + data + "\"");
    }
    ops->push_back(std::move(op));
    return true;
  }

  // `rest` is what follows "hex": ":" or "(N):" and the byte list, possibly continued.
  bool HexValue(size_t lineNumber, const std::string &rest, Op *op) {
    size_t colon = rest.find(':');
    if (colon == std::string::npos) return Fail(lineNumber, "hex value without ':'");
    std::string kind = rest.substr(0, colon);
    if (kind.empty()) {
      op->type = REG_BINARY;
    } else {
      uint32_t type;
      if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')' ||
          !ParseHexNumber(kind.substr(1, kind.size() - 2), kMaxTypeDigits, &type))
        return Fail(lineNumber, "expected hex: or hex(N): with N in hex");
      op->type = type;
    }
    std::string list = Trim(rest.substr(colon + 1));
    while (!list.empty() && list.back() == '\\') {
      list.pop_back();
      if (next_ >= lines_.size()) return Fail(lineNumber, "line continuation at the end of the file");
      lineNumber = next_ + 1;
      list += Trim(lines_[next_++]);
    }
    size_t pos = 0;
    while (true) {
      while (pos < list.size() && IsBlank(list[pos])) ++pos;
      if (pos == list.size()) break;
      size_t end = list.find(',', pos);
      std::string item = Trim(list.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
      uint32_t byte;
      if (!ParseHexNumber(item, kMaxByteDigits, &byte))
        return Fail(lineNumber, "bad byte \"" + item + "\" in hex list");
      op->data.push_back(static_cast<BYTE>(byte));
      if (end == std::string::npos) break;
      pos = end + 1;
    }
    bool textType = op->type == REG_SZ || op->type == REG_EXPAND_SZ || op->type == REG_MULTI_SZ;
    if (unicode_ && textType) {
      if (op->data.size() % 2 != 0) return Fail(lineNumber, "UTF-16 string data with an odd number of bytes");
      std::string text = Utf16ToAnsi(op->data.data(), op->data.size());
      op->data.assign(text.begin(), text.end());
    }
    return true;
  }

  std::vector<std::string> lines_;
  size_t next_ = 0;
  bool unicode_ = false;
  bool haveKey_ = false;
  ParsedPath current_;
  std::string error_;
};

void Apply(const std::vector<Op> &ops) {
  namespace store = detail::regstore;
  for (const Op &op : ops) {
    switch (op.kind) {
      case OpKind::CreateKey:
        store::EnsureKey(op.path);
        break;
      case OpKind::DeleteKey:
        if (Key *key = store::FindKey(op.path)) store::RemoveTree(*key);
        break;
      case OpKind::SetValue:
        store::PutValue(store::EnsureKey(op.path), op.name, op.type, op.data);
        break;
      case OpKind::DeleteValue:
        if (Key *key = store::FindKey(op.path)) store::RemoveValue(*key, op.name);
        break;
    }
  }
}

// ---- Writing -------------------------------------------------------------------------------

std::string Quote(const std::string &text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// Whether REG_SZ data reads back identically from a quoted string.
bool StringRoundTrips(const std::vector<BYTE> &data) {
  if (data.empty() || data.back() != 0) return false;
  for (size_t i = 0; i + 1 < data.size(); ++i)
    if (data[i] == 0 || data[i] == '\r' || data[i] == '\n') return false;
  return true;
}

void WriteHex(std::string line, const std::vector<BYTE> &data, std::string *out) {
  char item[4];
  for (size_t i = 0; i < data.size(); ++i) {
    bool last = i + 1 == data.size();
    std::snprintf(item, sizeof item, last ? "%02x" : "%02x,", data[i]);
    // Keep room for the continuation backslash within the line width.
    if (i > 0 && line.size() + std::strlen(item) + 1 > kLineWidth) {
      *out += line + "\\" + kNewline;
      line = kContinuationIndent;
    }
    line += item;
  }
  *out += line + kNewline;
}

void WriteValue(const Value &value, std::string *out) {
  std::string line = (value.name.empty() ? std::string("@") : Quote(value.name)) + "=";
  char prefix[32];
  if (value.type == REG_SZ && StringRoundTrips(value.data)) {
    *out += line + Quote(std::string(value.data.begin(), value.data.end() - 1)) + kNewline;
  } else if (value.type == REG_DWORD && value.data.size() == sizeof(DWORD)) {
    DWORD number;
    std::memcpy(&number, value.data.data(), sizeof number);
    std::snprintf(prefix, sizeof prefix, "dword:%08x", static_cast<unsigned>(number));
    *out += line + prefix + kNewline;
  } else if (value.type == REG_BINARY) {
    WriteHex(line + "hex:", value.data, out);
  } else {
    std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
    WriteHex(line + prefix, value.data, out);
  }
}

void WriteKey(Key &key, std::string *out) {
  *out += "[" + key.fullPath + "]" + kNewline;
  for (const Value &value : key.values) WriteValue(value, out);
  *out += kNewline;
  for (auto &entry : key.subkeys) WriteKey(*entry.second, out);
}

}  // namespace

bool LoadReg(const std::string &text, std::string *error) {
  std::string decoded;
  if (!DecodeFile(text, &decoded)) {
    if (error) *error = "line 1: UTF-16 text with an odd number of bytes";
    return false;
  }
  Parser parser(SplitLines(decoded));
  std::vector<Op> ops;
  if (!parser.Run(&ops)) {
    if (error) *error = parser.Error();
    return false;
  }
  Apply(ops);
  return true;
}

std::string ExportReg(const std::string &keyPath) {
  ParsedPath path;
  if (!detail::regstore::ParsePath(keyPath, &path)) return "";
  Key *key = detail::regstore::FindKey(path);
  if (!key) return "";
  std::string out = std::string(kHeader4) + kNewline + kNewline;
  WriteKey(*key, &out);
  return out;
}

}  // namespace winsim
