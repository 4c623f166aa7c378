// INF files: the reader (sections, keys and fields as SetupAPI reads them, %strings% substituted
// when a field is read) and the INF functions of SetupAPI. A parsed file lives as long as the
// handle that opened it; nothing is cached beyond that.
#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "internal.h"
#include "setupapi_internal.h"

namespace winsim {
namespace detail {
namespace inf {
namespace {

constexpr char kEndOfFile = '\x1a';  // Ctrl-Z ends an INF file wherever it stands
constexpr size_t kMaxSectionNameLength = 255;
constexpr char kVersionSection[] = "Version";
constexpr char kStringsSection[] = "Strings";
constexpr char kSignatureKey[] = "Signature";
constexpr char kClassKey[] = "Class";
constexpr char kClassGuidKey[] = "ClassGUID";
const char *const kWin4Signatures[] = {"$Chicago$", "$Windows NT$", "$Windows 95$"};

// Directory ids that an INF can name as %nn%.
constexpr int kDirIdSourcePath = 1;
constexpr int kDirIdWindows = 10;
constexpr int kDirIdSystem = 11;
constexpr int kDirIdDrivers = 12;
constexpr int kDirIdInf = 17;
constexpr int kDirIdHelp = 18;
constexpr int kDirIdFonts = 20;
constexpr int kDirIdSystemDriveRoot = 24;
constexpr int kDirIdBootDriveRoot = 30;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// UTF-16 files (with their byte-order mark) are read as UTF-8; a UTF-8 mark is dropped.
std::string DecodeText(const std::string &bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::string out;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      unsigned code = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
      if (code < 0x80) {
        out.push_back(static_cast<char>(code));
      } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
      } else {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
      }
    }
    return out;
  }
  if (bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xEF &&
      static_cast<unsigned char>(bytes[1]) == 0xBB && static_cast<unsigned char>(bytes[2]) == 0xBF)
    return bytes.substr(3);
  return bytes;
}

// Reads the text of an INF into sections and lines, the way SetupAPI splits it: ';' starts a
// comment, '"' quotes (a doubled quote inside stands for one), a backslash followed by nothing but
// blanks continues the line, blanks around fields are dropped, and the first '=' before any comma
// makes what precedes it the key. A line with a single field and no '=' has that field as its key.
class Parser {
 public:
  Parser(const std::string &text, File &file) : text_(text), end_(text.find(kEndOfFile)), file_(file) {
    if (end_ == std::string::npos) end_ = text_.size();
  }

  // False with error() and errorLine() set when the text is malformed.
  bool Run() {
    while (pos_ < end_) {
      char c = text_[pos_];
      if (c == '\n') {
        ++line_;
        ++pos_;
      } else if (IsBlank(c)) {
        ++pos_;
      } else if (c == ';') {
        SkipToEndOfLine();
      } else if (c == '[') {
        if (!ReadSectionName()) return false;
      } else if (section_ < 0) {
        // Text before the first section; whether it is an error depends on the whole file.
        if (brokenLine_ == 0) brokenLine_ = line_;
        ++pos_;
      } else {
        ReadLine();
      }
    }
    return true;
  }

  DWORD error() const { return error_; }
  UINT errorLine() const { return errorLine_; }
  UINT brokenLine() const { return brokenLine_; }

 private:
  bool AtEndOfLine() const { return pos_ >= end_ || text_[pos_] == '\n'; }

  void SkipToEndOfLine() {
    while (!AtEndOfLine()) ++pos_;
  }

  bool Fail(DWORD error) {
    error_ = error;
    errorLine_ = line_;
    return false;
  }

  bool ReadSectionName() {
    size_t start = ++pos_;
    while (!AtEndOfLine() && text_[pos_] != ']') ++pos_;
    if (AtEndOfLine()) return Fail(ERROR_BAD_SECTION_NAME_LINE);
    std::string name = text_.substr(start, pos_ - start);
    std::replace(name.begin(), name.end(), '\0', ' ');
    if (name.size() > kMaxSectionNameLength) return Fail(ERROR_SECTION_NAME_TOO_LONG);
    section_ = file_.FindSection(name);
    if (section_ < 0) {
      file_.sections.push_back(Section{name, {}});
      section_ = static_cast<int>(file_.sections.size()) - 1;
    }
    ++pos_;
    SkipToEndOfLine();  // whatever follows the closing bracket is ignored
    return true;
  }

  // A backslash followed by blanks and backslashes up to the end of the line (or a comment there)
  // joins the next line to this one. Returns true and moves past it when that is so.
  bool TakeContinuation() {
    size_t q = pos_;
    while (q < end_ && (text_[q] == '\\' || IsBlank(text_[q]))) ++q;
    if (q < end_ && text_[q] == ';') {
      while (q < end_ && text_[q] != '\n') ++q;
    }
    if (q >= end_) {
      pos_ = end_;
      return true;
    }
    if (text_[q] != '\n') return false;
    pos_ = q + 1;
    ++line_;
    while (pos_ < end_ && IsBlank(text_[pos_])) ++pos_;
    return true;
  }

  void ReadQuoted(std::string &token) {
    ++pos_;  // opening quote
    while (!AtEndOfLine()) {
      char c = text_[pos_];
      if (c == '"') {
        if (pos_ + 1 < end_ && text_[pos_ + 1] == '"') {
          token.push_back('"');
          pos_ += 2;
          continue;
        }
        ++pos_;
        return;
      }
      token.push_back(c == '\0' ? ' ' : c);
      ++pos_;
    }
  }

  void ReadLine() {
    Line line;
    std::vector<std::string> fields;
    std::string token, blanks;  // blanks seen after the token's text, kept only if text follows
    bool started = false, inKey = true;
    auto addText = [&](const std::string &text) {
      if (started) token += blanks;
      blanks.clear();
      started = true;
      token += text;
    };
    auto endField = [&] {
      fields.push_back(token);
      token.clear();
      blanks.clear();
      started = false;
    };
    for (;;) {
      if (AtEndOfLine()) {
        endField();
        break;
      }
      char c = text_[pos_];
      if (c == ';') {
        endField();
        SkipToEndOfLine();
        break;
      }
      if (c == '"') {
        addText("");
        ReadQuoted(token);
      } else if (c == '\\') {
        if (TakeContinuation()) {
          blanks.clear();
          continue;
        }
        size_t start = pos_;
        while (pos_ < end_ && (text_[pos_] == '\\' || IsBlank(text_[pos_]))) ++pos_;
        addText(text_.substr(start, pos_ - start));
      } else if (c == '=' && inKey) {
        line.hasKey = true;
        line.key = token;
        token.clear();
        blanks.clear();
        started = inKey = false;
        ++pos_;
      } else if (c == ',') {
        inKey = false;
        endField();
        ++pos_;
      } else if (IsBlank(c) || c == '\0') {
        blanks.push_back(c == '\0' ? ' ' : c);
        ++pos_;
      } else {
        addText(std::string(1, c));
        ++pos_;
      }
    }
    line.fields = std::move(fields);
    if (!line.hasKey && line.fields.size() == 1) {
      line.hasKey = true;
      line.key = line.fields[0];
    }
    file_.sections[section_].lines.push_back(std::move(line));
  }

  const std::string &text_;
  size_t end_;
  File &file_;
  size_t pos_ = 0;
  UINT line_ = 1;
  int section_ = -1;
  UINT brokenLine_ = 0;
  DWORD error_ = ERROR_SUCCESS;
  UINT errorLine_ = 0;
};

bool HasWin4Signature(const File &file) {
  int version = file.FindSection(kVersionSection);
  if (version < 0) return false;
  for (const Line &line : file.sections[version].lines) {
    if (!line.hasKey || !EqualNoCase(line.key, kSignatureKey)) continue;
    if (line.fields.empty()) return false;
    for (const char *signature : kWin4Signatures)
      if (EqualNoCase(line.fields[0], signature)) return true;
    return false;
  }
  return false;
}

std::string WithoutTrailingBackslash(std::string path) {
  if (!path.empty() && path.back() == '\\') path.pop_back();
  return path;
}

std::string FolderOf(const std::string &path) {
  size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::optional<std::string> DirIdPath(int id, const std::string &infPath) {
  std::string windows = WithoutTrailingBackslash(WindowsDirectory());
  std::string driveRoot = windows.size() >= 2 && windows[1] == ':' ? windows.substr(0, 2) + "\\" : "C:\\";
  switch (id) {
    case kDirIdSourcePath:
      return FolderOf(infPath) + "\\";
    case kDirIdWindows:
      return windows;
    case kDirIdSystem:
      return windows + "\\system32";
    case kDirIdDrivers:
      return windows + "\\system32\\drivers";
    case kDirIdInf:
      return windows + "\\inf";
    case kDirIdHelp:
      return windows + "\\help";
    case kDirIdFonts:
      return windows + "\\fonts";
    case kDirIdSystemDriveRoot:
    case kDirIdBootDriveRoot:
      return driveRoot;
    default:
      return std::nullopt;
  }
}

}  // namespace

int File::FindSection(const std::string &name) const {
  for (size_t i = 0; i < sections.size(); ++i)
    if (EqualNoCase(sections[i].name, name)) return static_cast<int>(i);
  return -1;
}

std::optional<std::string> File::StringEntry(const std::string &name) const {
  int strings = FindSection(kStringsSection);
  if (strings < 0) return std::nullopt;
  for (const Line &line : sections[strings].lines) {
    if (line.hasKey && EqualNoCase(line.key, name)) {
      if (line.fields.empty()) return std::nullopt;
      return line.fields[0];
    }
  }
  return std::nullopt;
}

// %name% becomes the [Strings] entry of that name (not substituted again), %nn% a directory id's
// path, %% a single percent sign; an unknown %name% stays as it is.
std::string File::Substitute(const std::string &raw) const {
  std::string out;
  size_t pos = 0;
  while (pos < raw.size()) {
    size_t open = raw.find('%', pos);
    if (open == std::string::npos) break;
    size_t close = raw.find('%', open + 1);
    if (close == std::string::npos) break;
    out.append(raw, pos, open - pos);
    std::string name = raw.substr(open + 1, close - open - 1);
    if (name.empty()) {
      out.push_back('%');
    } else if (std::optional<std::string> entry = StringEntry(name)) {
      out += *entry;
    } else {
      char *endOfNumber = nullptr;
      long id = std::strtol(name.c_str(), &endOfNumber, 10);
      std::optional<std::string> dir;
      if (*endOfNumber == '\0') dir = DirIdPath(static_cast<int>(id), path);
      if (dir) {
        // A backslash after the id is the path separator; the directory's own is dropped.
        if (close + 1 < raw.size() && raw[close + 1] == '\\') *dir = WithoutTrailingBackslash(*dir);
        out += *dir;
      } else {
        out.append(raw, open, close - open + 1);
      }
    }
    pos = close + 1;
  }
  out.append(raw, pos, std::string::npos);
  return out;
}

std::optional<std::string> File::Field(int section, int line, unsigned index) const {
  if (section < 0 || section >= static_cast<int>(sections.size())) return std::nullopt;
  const std::vector<Line> &lines = sections[section].lines;
  if (line < 0 || line >= static_cast<int>(lines.size())) return std::nullopt;
  const Line &l = lines[line];
  if (index == 0) {
    if (!l.hasKey) return std::nullopt;
    return Substitute(l.key);
  }
  if (index > l.fields.size()) return std::nullopt;
  return Substitute(l.fields[index - 1]);
}

std::vector<std::string> File::Fields(int section, int line) const {
  std::vector<std::string> out;
  for (unsigned i = 1;; ++i) {
    std::optional<std::string> field = Field(section, line, i);
    if (!field) break;
    out.push_back(*field);
  }
  return out;
}

int File::FindKeyLine(int section, int afterLine, const std::string &key) const {
  if (section < 0 || section >= static_cast<int>(sections.size())) return -1;
  const std::vector<Line> &lines = sections[section].lines;
  for (int i = afterLine + 1; i < static_cast<int>(lines.size()); ++i) {
    if (lines[i].hasKey && EqualNoCase(Substitute(lines[i].key), key)) return i;
  }
  return -1;
}

std::optional<std::string> File::Value(const std::string &section, const std::string &key, unsigned index) const {
  int s = FindSection(section);
  int line = FindKeyLine(s, -1, key);
  if (line < 0) return std::nullopt;
  return Field(s, line, index);
}

std::string File::ActualSection(const std::string &name, size_t *extensionAt) const {
  const std::string decorations[] = {".NT" + MachineArchitecture(), ".NT"};
  for (const std::string &decoration : decorations) {
    if (FindSection(name + decoration) >= 0) {
      if (extensionAt) *extensionAt = name.size();
      return name + decoration;
    }
  }
  if (extensionAt) *extensionAt = std::string::npos;
  return name;
}

LoadResult Parse(const std::string &bytes, const std::string &path, DWORD style) {
  auto file = std::make_shared<File>();
  file->path = path;
  std::string text = DecodeText(bytes);
  Parser parser(text, *file);
  LoadResult result;
  if (!parser.Run()) {
    result.error = parser.error();
    result.errorLine = parser.errorLine();
    return result;
  }
  if ((style & INF_STYLE_WIN4) && !HasWin4Signature(*file)) {
    result.error = ERROR_WRONG_INF_STYLE;
    result.errorLine = 0;
    return result;
  }
  // Text before the first section is tolerated only in a file that has a [Strings] section.
  if (parser.brokenLine() != 0 && file->FindSection(kStringsSection) < 0) {
    result.error = ERROR_EXPECTED_SECTION_NAME;
    result.errorLine = parser.brokenLine();
    return result;
  }
  result.file = std::move(file);
  return result;
}

LoadResult Load(const std::string &fullPath, DWORD style) {
  LoadResult result;
  std::optional<std::string> bytes = fullPath.empty() ? std::nullopt : GetFile(fullPath);
  if (!bytes) {
    std::string folderHost = HostPath(FolderOf(fullPath) + "\\");
    std::error_code ignored;
    bool folderExists = !folderHost.empty() && std::filesystem::is_directory(folderHost, ignored);
    result.error = folderExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    return result;
  }
  return Parse(*bytes, fullPath, style);
}

std::string ResolveInfName(const std::string &name) {
  if (name.find('\\') != std::string::npos || name.find('/') != std::string::npos) return FullWindowsPath(name);
  std::string inInfFolder = InfFolder() + "\\" + name;
  if (HasFile(inInfFolder)) return inInfFolder;
  std::string inSystemFolder = WithoutTrailingBackslash(WindowsDirectory()) + "\\system32\\" + name;
  if (HasFile(inSystemFolder)) return inSystemFolder;
  return inInfFolder;
}

bool ReadInfClass(const File &file, std::string *className, GUID *classGuid, DWORD *error) {
  std::optional<std::string> name = file.Value(kVersionSection, kClassKey);
  std::optional<std::string> guidText = file.Value(kVersionSection, kClassGuidKey);
  GUID guid{};
  if (guidText && !ParseGuid(*guidText, &guid)) {
    *error = ERROR_INVALID_PARAMETER;
    return false;
  }
  if (!name || name->empty()) {
    // Only a GUID: the class is known by name if the machine has it registered.
    name = guidText ? SetupClassName(guid) : std::string();
    if (name->empty()) {
      *error = ERROR_NO_ASSOCIATED_CLASS;
      return false;
    }
  } else if (!guidText) {
    guid = SetupClassByName(*name).value_or(GUID{});
  }
  *className = *name;
  *classGuid = guid;
  return true;
}

}  // namespace inf

namespace {

struct InfObject : HandleObject {
  explicit InfObject(std::shared_ptr<const inf::File> f) : HandleObject(HandleKind::Inf), file(std::move(f)) {}
  std::string Describe() const override { return file->path; }
  std::shared_ptr<const inf::File> file;
};

InfObject *LookupInf(const void *handle) {
  return Lookup<InfObject>(handle, HandleKind::Inf);
}

std::string SubjectOf(const void *handle) {
  InfObject *inf = LookupInf(handle);
  return inf ? inf->file->path : "";
}

// The open INF behind a handle given to `function`, or null with ERROR_INVALID_HANDLE (and a
// verifier stop).
InfObject *RequireInf(const char *function, const void *handle) {
  InfObject *inf = Verified<InfObject>(function, handle, HandleKind::Inf);
  if (!inf) SetError(ERROR_INVALID_HANDLE);
  return inf;
}

// Reads the INF a call names (`path` is the name resolved); null with ERROR_INVALID_PARAMETER
// when no name is given, else with the error reading gives. For a file that was found but cannot
// be parsed, `errorLine` (when given) receives the faulty line.
std::shared_ptr<const inf::File> ReadNamedInf(PCSTR name, const std::string &path, DWORD style, PUINT errorLine) {
  if (!name) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  inf::LoadResult loaded = inf::Load(path, style);
  if (!loaded.file) {
    if (errorLine && loaded.error != ERROR_FILE_NOT_FOUND && loaded.error != ERROR_PATH_NOT_FOUND)
      *errorLine = loaded.errorLine;
    SetError(loaded.error);
  }
  return loaded.file;
}

// The file and line an INF context stands for, or null (with the last error set) when the
// context names no line of an open INF.
const inf::File *ContextFile(const char *function, const INFCONTEXT *context, DWORD missingLineError) {
  if (!context) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  InfObject *inf = RequireInf(function, context->Inf);
  if (!inf) return nullptr;
  const inf::File &file = *inf->file;
  if (context->Section >= file.sections.size() || context->Line >= file.sections[context->Section].lines.size()) {
    SetError(missingLineError);
    return nullptr;
  }
  return &file;
}

// The file of a context to move from, when there is also a context to move to; null with the
// last error set otherwise.
const inf::File *MoveContexts(const char *function, const INFCONTEXT *from, const INFCONTEXT *to) {
  const inf::File *file = ContextFile(function, from, ERROR_LINE_NOT_FOUND);
  if (file && !to) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return file;
}

// The line after a context's line in its section, -1 at the section's end.
int NextLine(const inf::File &file, const INFCONTEXT &context) {
  return context.Line + 1 < file.sections[context.Section].lines.size() ? static_cast<int>(context.Line) + 1 : -1;
}

// Gives the caller a context at `line` of the same section, or ERROR_LINE_NOT_FOUND for -1.
BOOL ReturnLine(const INFCONTEXT &from, int line, PINFCONTEXT to) {
  if (line < 0) {
    SetError(ERROR_LINE_NOT_FOUND);
    return FALSE;
  }
  INFCONTEXT next = from;
  next.Line = static_cast<UINT>(line);
  *to = next;
  SetError(ERROR_SUCCESS);
  return TRUE;
}

// The field of a context's line, or nullopt with ERROR_INVALID_PARAMETER when the line has none
// at that index.
std::optional<std::string> RequireField(const inf::File &file, const INFCONTEXT &context, DWORD index) {
  std::optional<std::string> field =
      file.Field(static_cast<int>(context.Section), static_cast<int>(context.Line), index);
  if (!field) SetError(ERROR_INVALID_PARAMETER);
  return field;
}

// Copies `text` with its terminator to a caller's buffer as SetupAPI's string getters do.
BOOL ReturnString(const std::string &text, PSTR buffer, DWORD bufferSize, PDWORD requiredSize) {
  DWORD needed = static_cast<DWORD>(text.size() + 1);
  if (requiredSize) *requiredSize = needed;
  if (buffer) {
    if (bufferSize < needed) {
      SetError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = '\0';
  }
  SetError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace
}  // namespace detail
}  // namespace winsim

using namespace winsim;
using namespace winsim::detail;

extern "C" {

HINF WINAPI SetupOpenInfFileA(PCSTR FileName, PCSTR InfClass, DWORD InfStyle, PUINT ErrorLine) {
  std::string path = FileName ? inf::ResolveInfName(FileName) : "";
  if (auto fault = Enter("SetupOpenInfFileA", path, ERROR_FILE_NOT_FOUND)) {
    SetError(*fault);
    return INVALID_HANDLE_VALUE;
  }
  std::shared_ptr<const inf::File> file = ReadNamedInf(FileName, path, InfStyle, ErrorLine);
  if (!file) return INVALID_HANDLE_VALUE;
  // A class name, when given, must be the INF's own class.
  if (InfClass) {
    std::string className;
    GUID guid;
    DWORD ignored;
    if (!inf::ReadInfClass(*file, &className, &guid, &ignored) || !EqualNoCase(className, InfClass)) {
      SetError(ERROR_CLASS_MISMATCH);
      return INVALID_HANDLE_VALUE;
    }
  }
  HINF handle = AddHandle(std::make_unique<InfObject>(file));
  SetError(ERROR_SUCCESS);
  return handle;
}

void WINAPI SetupCloseInfFile(HINF InfHandle) {
  if (auto fault = Enter("SetupCloseInfFile", SubjectOf(InfHandle), ERROR_INVALID_HANDLE)) {
    SetError(*fault);
    return;
  }
  // SetupAPI ignores a handle that is no open INF; the verifier stops the call all the same.
  if (RequireInf("SetupCloseInfFile", InfHandle)) RemoveHandle(InfHandle, HandleKind::Inf);
}

BOOL WINAPI SetupFindFirstLineA(HINF InfHandle, PCSTR Section, PCSTR Key, PINFCONTEXT Context) {
  std::string subject = SubjectOf(InfHandle) + " [" + (Section ? Section : "") + "]";
  if (auto fault = Enter("SetupFindFirstLineA", subject, ERROR_LINE_NOT_FOUND)) {
    SetError(*fault);
    return FALSE;
  }
  InfObject *inf = RequireInf("SetupFindFirstLineA", InfHandle);
  if (!inf) return FALSE;
  if (!Section || !Context) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const inf::File &file = *inf->file;
  int section = file.FindSection(Section);
  int line = -1;
  if (section >= 0) {
    if (Key)
      line = file.FindKeyLine(section, -1, Key);
    else if (!file.sections[section].lines.empty())
      line = 0;
  }
  if (line < 0) {
    SetError(ERROR_LINE_NOT_FOUND);
    return FALSE;
  }
  Context->Inf = InfHandle;
  Context->CurrentInf = InfHandle;
  Context->Section = static_cast<UINT>(section);
  Context->Line = static_cast<UINT>(line);
  SetError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI SetupFindNextLine(PINFCONTEXT ContextIn, PINFCONTEXT ContextOut) {
  if (auto fault = Enter("SetupFindNextLine", ContextIn ? SubjectOf(ContextIn->Inf) : "", ERROR_LINE_NOT_FOUND)) {
    SetError(*fault);
    return FALSE;
  }
  const inf::File *file = MoveContexts("SetupFindNextLine", ContextIn, ContextOut);
  if (!file) return FALSE;
  return ReturnLine(*ContextIn, NextLine(*file, *ContextIn), ContextOut);
}

BOOL WINAPI SetupFindNextMatchLineA(PINFCONTEXT ContextIn, PCSTR Key, PINFCONTEXT ContextOut) {
  if (auto fault =
          Enter("SetupFindNextMatchLineA", ContextIn ? SubjectOf(ContextIn->Inf) : "", ERROR_LINE_NOT_FOUND)) {
    SetError(*fault);
    return FALSE;
  }
  const inf::File *file = MoveContexts("SetupFindNextMatchLineA", ContextIn, ContextOut);
  if (!file) return FALSE;
  int line = Key ? file->FindKeyLine(static_cast<int>(ContextIn->Section), static_cast<int>(ContextIn->Line), Key)
                 : NextLine(*file, *ContextIn);
  return ReturnLine(*ContextIn, line, ContextOut);
}

DWORD WINAPI SetupGetFieldCount(PINFCONTEXT Context) {
  if (auto fault = Enter("SetupGetFieldCount", Context ? SubjectOf(Context->Inf) : "", ERROR_INVALID_PARAMETER)) {
    SetError(*fault);
    return 0;
  }
  const inf::File *file = ContextFile("SetupGetFieldCount", Context, ERROR_LINE_NOT_FOUND);
  if (!file) return 0;
  return static_cast<DWORD>(file->sections[Context->Section].lines[Context->Line].fields.size());
}

BOOL WINAPI SetupGetStringFieldA(PINFCONTEXT Context, DWORD FieldIndex, PSTR ReturnBuffer, DWORD ReturnBufferSize,
                                 PDWORD RequiredSize) {
  if (auto fault =
          Enter("SetupGetStringFieldA", Context ? SubjectOf(Context->Inf) : "", ERROR_INVALID_PARAMETER)) {
    SetError(*fault);
    return FALSE;
  }
  const inf::File *file = ContextFile("SetupGetStringFieldA", Context, ERROR_LINE_NOT_FOUND);
  if (!file) return FALSE;
  std::optional<std::string> field = RequireField(*file, *Context, FieldIndex);
  if (!field) return FALSE;
  return ReturnString(*field, ReturnBuffer, ReturnBufferSize, RequiredSize);
}

BOOL WINAPI SetupGetIntField(PINFCONTEXT Context, DWORD FieldIndex, PINT IntegerValue) {
  if (auto fault = Enter("SetupGetIntField", Context ? SubjectOf(Context->Inf) : "", ERROR_INVALID_DATA)) {
    SetError(*fault);
    return FALSE;
  }
  const inf::File *file = ContextFile("SetupGetIntField", Context, ERROR_LINE_NOT_FOUND);
  if (!file) return FALSE;
  if (!IntegerValue) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::optional<std::string> field = RequireField(*file, *Context, FieldIndex);
  if (!field) return FALSE;
  // An empty field is an omitted optional number: 0. Otherwise decimal, 0x hex or 0 octal, whole.
  if (field->empty()) {
    *IntegerValue = 0;
    SetError(ERROR_SUCCESS);
    return TRUE;
  }
  char *end = nullptr;
  long value = std::strtol(field->c_str(), &end, 0);
  if (end == field->c_str() || *end != '\0') {
    SetError(ERROR_INVALID_DATA);
    return FALSE;
  }
  *IntegerValue = static_cast<INT>(value);
  SetError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI SetupDiGetActualSectionToInstallA(HINF InfHandle, PCSTR InfSectionName, PSTR InfSectionWithExt,
                                              DWORD InfSectionWithExtSize, PDWORD RequiredSize, PSTR *Extension) {
  std::string subject = SubjectOf(InfHandle) + " [" + (InfSectionName ? InfSectionName : "") + "]";
  if (auto fault = Enter("SetupDiGetActualSectionToInstallA", subject, ERROR_INVALID_PARAMETER)) {
    SetError(*fault);
    return FALSE;
  }
  InfObject *inf = RequireInf("SetupDiGetActualSectionToInstallA", InfHandle);
  if (!inf) return FALSE;
  if (!InfSectionName || (!InfSectionWithExt && InfSectionWithExtSize != 0)) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  size_t extensionAt = std::string::npos;
  std::string actual = inf->file->ActualSection(InfSectionName, &extensionAt);
  if (!ReturnString(actual, InfSectionWithExt, InfSectionWithExtSize, RequiredSize)) return FALSE;
  if (Extension && InfSectionWithExt)
    *Extension = extensionAt == std::string::npos ? nullptr : InfSectionWithExt + extensionAt;
  return TRUE;
}

BOOL WINAPI SetupDiGetINFClassA(PCSTR InfName, LPGUID ClassGuid, PSTR ClassName, DWORD ClassNameSize,
                                PDWORD RequiredSize) {
  std::string path = InfName ? inf::ResolveInfName(InfName) : "";
  if (auto fault = Enter("SetupDiGetINFClassA", path, ERROR_FILE_NOT_FOUND)) {
    SetError(*fault);
    return FALSE;
  }
  // A file that cannot be read is reported before any other fault of the arguments.
  std::shared_ptr<const inf::File> file = ReadNamedInf(InfName, path, INF_STYLE_NONE, nullptr);
  if (!file) return FALSE;
  if (!ClassGuid || !ClassName) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string className;
  GUID guid;
  DWORD error = ERROR_SUCCESS;
  if (!inf::ReadInfClass(*file, &className, &guid, &error)) {
    SetError(error);
    return FALSE;
  }
  if (!ReturnString(className, ClassName, ClassNameSize, RequiredSize)) return FALSE;
  *ClassGuid = guid;
  return TRUE;
}

}  // extern "C"
