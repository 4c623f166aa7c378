// Files and folders of the simulated machine. Drive C: lives in a host folder; Windows paths are
// made absolute against the process's current directory and every component is matched against
// what exists without regard to letter case, as Windows file systems are case-insensitive and
// case-preserving. File handles carry a host descriptor, their access and share mode (so that
// conflicting opens fail as on Windows) and their own file pointer.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "internal.h"

namespace winsim {
namespace detail {
namespace {

namespace fs = std::filesystem;

constexpr char kDefaultWindowsDirectory[] = "C:\\WINDOWS";
constexpr char kDefaultCurrentDirectory[] = "C:\\";
constexpr char kSystemFolderName[] = "system32";
constexpr char kInfFolderName[] = "inf";
constexpr char kSimulatedDrive = 'C';
// The A functions take at most MAX_PATH - 1 characters of path.
constexpr size_t kMaxPathChars = MAX_PATH - 1;
// The current directory is kept with a trailing backslash, which must fit MAX_PATH - 1.
constexpr size_t kMaxCurrentDirectoryChars = MAX_PATH - 2;

// Specific file rights that a caller may pass instead of GENERIC_*.
constexpr DWORD kFileReadData = 0x0001;
constexpr DWORD kFileWriteData = 0x0002;
constexpr DWORD kFileAppendData = 0x0004;
constexpr DWORD kFileExecute = 0x0020;

// What an open does with the file's data, the part of the access that sharing is decided on.
constexpr DWORD kUsesRead = 1;
constexpr DWORD kUsesWrite = 2;
constexpr DWORD kUsesDelete = 4;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The file system's DOS wildcards, into which FindFirstFileA turns parts of a pattern.
constexpr char kDosStar = '<';
constexpr char kDosQm = '>';
constexpr char kDosDot = '"';

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;
constexpr uint64_t kFileTimeUnitsPerSecond = 10000000ULL;
constexpr uint64_t kNanosecondsPerFileTimeUnit = 100;

struct FilesState {
  std::string root;  // host folder behind drive C:, kept across Reset()
  std::string windowsDirectory = kDefaultWindowsDirectory;
  std::string currentDirectory = kDefaultCurrentDirectory;
};

FilesState &State() {
  static FilesState state;
  return state;
}

struct FileObject : HandleObject {
  FileObject() : HandleObject(HandleKind::File) {}
  ~FileObject() override {
    if (fd >= 0) close(fd);
  }
  std::string Describe() const override { return path; }

  std::string path;  // full Windows path as opened
  int fd = -1;
  DWORD uses = 0;  // kUses* bits
  DWORD share = 0;
  uint64_t position = 0;
  dev_t device = 0;
  ino_t inode = 0;
};

struct FindObject : HandleObject {
  FindObject() : HandleObject(HandleKind::Find) {}
  std::string Describe() const override { return pattern; }

  std::string pattern;
  std::vector<WIN32_FIND_DATAA> entries;
  size_t next = 0;
};

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

char UpperChar(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsDriveLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

std::vector<std::string> SplitComponents(const std::string &text) {
  std::vector<std::string> parts;
  std::string current;
  for (char c : text) {
    if (IsSeparator(c)) {
      if (!current.empty()) parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) parts.push_back(current);
  return parts;
}

// The root of a full path ("C:" or "\\server\share") and the rest after it.
void SplitRoot(const std::string &full, std::string *root, std::string *rest) {
  if (full.size() >= 2 && IsSeparator(full[0]) && IsSeparator(full[1])) {
    size_t serverEnd = full.find('\\', 2);
    size_t shareEnd = serverEnd == std::string::npos ? std::string::npos : full.find('\\', serverEnd + 1);
    *root = full.substr(0, shareEnd);
    *rest = shareEnd == std::string::npos ? "" : full.substr(shareEnd);
    return;
  }
  *root = full.substr(0, 2);
  *rest = full.substr(2);
}

// Drops "." and "..", collapses separators and trims dots the way Windows path normalisation
// does: a segment ending in a single period loses it, and the final segment (unless the path ends
// in a separator) loses all trailing periods and blanks.
std::string Normalise(const std::string &root, const std::string &rest, bool trailingSeparator) {
  std::vector<std::string> input = SplitComponents(rest);
  std::vector<std::string> parts;
  for (size_t i = 0; i < input.size(); ++i) {
    std::string segment = input[i];
    if (segment == ".") continue;
    if (segment == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    bool last = i + 1 == input.size();
    if (last && !trailingSeparator) {
      while (!segment.empty() && (segment.back() == '.' || segment.back() == ' ')) segment.pop_back();
    } else if (segment.size() >= 2 && segment.back() == '.' && segment[segment.size() - 2] != '.') {
      segment.pop_back();
    }
    if (!segment.empty()) parts.push_back(segment);
  }
  std::string out = root + "\\";
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += "\\";
    out += parts[i];
  }
  if (trailingSeparator && !parts.empty()) out += "\\";
  return out;
}

bool IsRootPath(const std::string &full) {
  std::string root, rest;
  SplitRoot(full, &root, &rest);
  return SplitComponents(rest).empty();
}

// The last component of a full path, "" for a root or a path ending in a separator.
std::string LastComponent(const std::string &full) {
  if (full.empty() || IsSeparator(full.back())) return "";
  size_t slash = full.find_last_of('\\');
  return slash == std::string::npos ? full : full.substr(slash + 1);
}

// The folder that holds the last component ("C:\a\b" -> "C:\a", "C:\a" -> "C:\").
std::string ParentPath(const std::string &full) {
  std::string root, rest;
  SplitRoot(full, &root, &rest);
  std::vector<std::string> parts = SplitComponents(rest);
  if (!parts.empty()) parts.pop_back();
  std::string out = root + "\\";
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += "\\";
    out += parts[i];
  }
  return out;
}

bool OnSimulatedDrive(const std::string &full) {
  return full.size() >= 3 && UpperChar(full[0]) == kSimulatedDrive && full[1] == ':' && full[2] == '\\' &&
         !State().root.empty();
}

// Characters that no file or folder name may hold.
bool HasInvalidNameCharacters(const std::string &full) {
  std::string root, rest;
  SplitRoot(full, &root, &rest);
  for (char c : rest) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || std::strchr("<>:\"|?*", c) != nullptr) return true;
  }
  return false;
}

// The name of an entry of hostDir that equals `name` without regard to letter case: the exact
// spelling when it exists, otherwise the first such entry in name order.
std::optional<std::string> FindEntryNoCase(const std::string &hostDir, const std::string &name) {
  struct stat st;
  std::string exact = hostDir + "/" + name;
  if (lstat(exact.c_str(), &st) == 0) return name;
  DIR *dir = opendir(hostDir.c_str());
  if (!dir) return std::nullopt;
  std::optional<std::string> found;
  while (struct dirent *entry = readdir(dir)) {
    std::string candidate = entry->d_name;
    if (candidate == "." || candidate == "..") continue;
    if (EqualNoCase(candidate, name) && (!found || candidate < *found)) found = candidate;
  }
  closedir(dir);
  return found;
}

// Where a full Windows path is and what is there.
struct Located {
  std::string windowsPath;
  std::string hostPath;
  bool onDrive = false;
  bool parentIsFolder = false;  // the folder that would hold the entry exists
  bool exists = false;
  bool isFolder = false;
  struct stat st {};
};

Located Locate(const std::string &full) {
  Located where;
  where.windowsPath = full;
  if (!OnSimulatedDrive(full)) return where;
  where.onDrive = true;
  std::vector<std::string> parts = SplitComponents(full.substr(3));
  std::string host = State().root;
  bool matching = true;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (matching) {
      struct stat st;
      bool hostIsFolder = stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      if (i + 1 == parts.size()) where.parentIsFolder = hostIsFolder;
      std::optional<std::string> actual = hostIsFolder ? FindEntryNoCase(host, parts[i]) : std::nullopt;
      if (actual) {
        host += "/" + *actual;
        continue;
      }
      matching = false;
    }
    host += "/" + parts[i];
  }
  if (parts.empty()) where.parentIsFolder = true;
  where.hostPath = host;
  if (matching && stat(host.c_str(), &where.st) == 0) {
    where.exists = true;
    where.isFolder = S_ISDIR(where.st.st_mode);
  }
  return where;
}

bool IsReadOnly(const struct stat &st) {
  return (st.st_mode & S_IWUSR) == 0;
}

FILETIME ToFileTime(const struct timespec &ts) {
  uint64_t value = kUnixEpochAsFileTime + static_cast<uint64_t>(ts.tv_sec) * kFileTimeUnitsPerSecond +
                   static_cast<uint64_t>(ts.tv_nsec) / kNanosecondsPerFileTimeUnit;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(value);
  ft.dwHighDateTime = static_cast<DWORD>(value >> 32);
  return ft;
}

DWORD AttributesOf(const struct stat &st) {
  DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (!S_ISDIR(st.st_mode) && IsReadOnly(st)) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

DWORD UsesOf(DWORD desiredAccess) {
  DWORD uses = 0;
  if (desiredAccess & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | kFileReadData | kFileExecute))
    uses |= kUsesRead;
  if (desiredAccess & (GENERIC_WRITE | GENERIC_ALL | kFileWriteData | kFileAppendData)) uses |= kUsesWrite;
  if (desiredAccess & (DELETE | GENERIC_ALL)) uses |= kUsesDelete;
  return uses;
}

// Windows' sharing rule: an open conflicts with an open handle when it wants to do what that
// handle does not share, or does not share what that handle does. Opens that touch no data (only
// attributes) take no part.
bool SharingConflict(DWORD uses, DWORD share, const FileObject &open) {
  if (uses == 0 || open.uses == 0) return false;
  if ((uses & kUsesRead) && !(open.share & FILE_SHARE_READ)) return true;
  if ((uses & kUsesWrite) && !(open.share & FILE_SHARE_WRITE)) return true;
  if ((uses & kUsesDelete) && !(open.share & FILE_SHARE_DELETE)) return true;
  if ((open.uses & kUsesRead) && !(share & FILE_SHARE_READ)) return true;
  if ((open.uses & kUsesWrite) && !(share & FILE_SHARE_WRITE)) return true;
  if ((open.uses & kUsesDelete) && !(share & FILE_SHARE_DELETE)) return true;
  return false;
}

bool ConflictsWithOpenHandles(const struct stat &st, DWORD uses, DWORD share) {
  bool conflict = false;
  ForEachHandle([&](void *, HandleObject &object) {
    if (object.kind != HandleKind::File) return;
    auto &file = static_cast<FileObject &>(object);
    if (file.device == st.st_dev && file.inode == st.st_ino && SharingConflict(uses, share, file)) conflict = true;
  });
  return conflict;
}

// Turns a FindFirstFileA pattern into what the file system matches, as Windows does: a trailing
// period means "no extension", "*.*" means everything, "?" becomes DOS_QM, a period before a
// wildcard DOS_DOT and a "*" before a period DOS_STAR.
std::string TranslateMask(const std::string &pattern) {
  std::string mask = pattern;
  bool endedWithPeriod = !mask.empty() && mask.back() == '.';
  while (!mask.empty() && (mask.back() == '.' || mask.back() == ' ')) mask.pop_back();
  if (mask == "*.*") return "*";
  std::string out;
  for (size_t i = 0; i < mask.size(); ++i) {
    char c = mask[i];
    bool last = i + 1 == mask.size();
    char next = last ? (endedWithPeriod ? '.' : '\0') : mask[i + 1];
    if (c == '?') {
      out += kDosQm;
    } else if (c == '.' && (next == '*' || next == '?')) {
      out += kDosDot;
    } else if (c == '*' && next == '.') {
      out += kDosStar;
    } else {
      out += c;
    }
  }
  return out;
}

// Matches a name against a translated mask (letter case ignored).
bool MatchesMask(const std::string &mask, const std::string &name) {
  const size_t m = mask.size(), n = name.size();
  std::vector<bool> laterPeriod(n + 1, false);  // a period stands after position j
  for (size_t j = n; j-- > 0;) laterPeriod[j] = laterPeriod[j + 1] || (j + 1 < n && name[j + 1] == '.');
  // next[j]: the rest of the mask after the current character matches name[j..].
  std::vector<char> next(n + 1, 0), current(n + 1, 0);
  next[n] = 1;
  for (size_t i = m; i-- > 0;) {
    const char p = mask[i];
    for (size_t j = n + 1; j-- > 0;) {
      const bool atEnd = j == n;
      bool match = false;
      switch (p) {
        case '*':
          match = next[j] || (!atEnd && current[j + 1]);
          break;
        case kDosStar:  // anything up to, but not across, the name's final period
          match = next[j] || (!atEnd && (name[j] != '.' || laterPeriod[j]) && current[j + 1]);
          break;
        case '?':
          match = !atEnd && next[j + 1];
          break;
        case kDosQm:  // one character, or none at a period or at the end
          match = (atEnd || name[j] == '.') ? next[j] : next[j + 1];
          break;
        case kDosDot:  // a period, or nothing at the end
          match = atEnd ? next[j] : (name[j] == '.' && next[j + 1]);
          break;
        default:
          match = !atEnd && UpperChar(p) == UpperChar(name[j]) && next[j + 1];
          break;
      }
      current[j] = match;
    }
    next.swap(current);
  }
  return next[0];
}

// Name order of an NTFS folder: names compared after upper-casing.
bool NameOrder(const std::string &a, const std::string &b) {
  std::string ua = Upper(a), ub = Upper(b);
  return std::lexicographical_compare(ua.begin(), ua.end(), ub.begin(), ub.end(), [](char x, char y) {
    return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  });
}

WIN32_FIND_DATAA FindDataFor(const std::string &name, const struct stat &st) {
  WIN32_FIND_DATAA data;
  std::memset(&data, 0, sizeof data);
  data.dwFileAttributes = AttributesOf(st);
  data.ftCreationTime = ToFileTime(st.st_mtim);
  data.ftLastAccessTime = ToFileTime(st.st_atim);
  data.ftLastWriteTime = ToFileTime(st.st_mtim);
  if (!S_ISDIR(st.st_mode)) {
    uint64_t size = static_cast<uint64_t>(st.st_size);
    data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(size);
  }
  std::strncpy(data.cFileName, name.c_str(), sizeof data.cFileName - 1);
  return data;
}

// Copies text into a caller's buffer of `size` characters the way the directory functions do:
// the length without the terminator when it fits, otherwise the size needed with it.
DWORD CopyOut(const std::string &text, LPSTR buffer, DWORD size) {
  if (buffer && size > text.size()) {
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
  }
  return static_cast<DWORD>(text.size() + 1);
}

// Full path of a caller's path argument, or "" (with the last error set) when there is none.
std::string PathArgument(LPCSTR name, DWORD emptyError) {
  if (name == nullptr || *name == '\0') {
    SetError(emptyError);
    return "";
  }
  if (std::strlen(name) > kMaxPathChars) {
    SetError(ERROR_FILENAME_EXCED_RANGE);
    return "";
  }
  std::string full = FullWindowsPath(name);
  if (full.empty()) SetError(ERROR_INVALID_NAME);
  return full;
}

std::string SubjectOf(LPCSTR name) {
  if (name == nullptr) return "";
  std::string full = FullWindowsPath(name);
  return full.empty() ? std::string(name) : full;
}

// Locates the file or folder a call names; false with ERROR_INVALID_NAME for a name with
// characters no name may hold, ERROR_PATH_NOT_FOUND when it is off drive C: or its folder is
// missing.
bool LocateEntry(const std::string &full, Located *where) {
  if (HasInvalidNameCharacters(full)) {
    SetError(ERROR_INVALID_NAME);
    return false;
  }
  *where = Locate(full);
  if (!where->onDrive || !where->parentIsFolder) {
    SetError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  return true;
}

// The open file behind a handle given to `function`; any other handle is a verifier stop.
FileObject *LookupFile(const char *function, HANDLE handle) {
  return Verified<FileObject>(function, handle, HandleKind::File);
}

// The file a ReadFile or WriteFile call transfers data with, moved to the caller's offset when it
// gives one; null with the error Windows gives when the handle is no file, was not opened for
// `use`, or the buffer is missing.
FileObject *StartTransfer(const char *function, HANDLE handle, DWORD use, const void *buffer, DWORD length,
                          const OVERLAPPED *overlapped) {
  FileObject *file = LookupFile(function, handle);
  if (!file) {
    SetError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!(file->uses & use)) {
    SetError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (!buffer && length) {
    SetError(ERROR_INVALID_USER_BUFFER);
    return nullptr;
  }
  if (overlapped) file->position = (static_cast<uint64_t>(overlapped->OffsetHigh) << 32) | overlapped->Offset;
  return file;
}

std::string DescribeHandle(HANDLE handle) {
  std::optional<HandleKind> kind = KindOf(handle);
  if (!kind) return "";
  HandleObject *object = LookupHandle(handle, *kind);
  return object ? object->Describe() : "";
}

void EnsureFolder(const std::string &windowsPath) {
  Located where = Locate(FullWindowsPath(windowsPath));
  if (!where.onDrive || where.exists) return;
  std::error_code ignored;
  fs::create_directories(where.hostPath, ignored);
}

// A Windows installation always has its Windows, system and INF folders.
void EnsureWindowsFolders() {
  if (State().root.empty()) return;
  const std::string &windows = State().windowsDirectory;
  EnsureFolder(windows);
  EnsureFolder(windows + "\\" + kSystemFolderName);
  EnsureFolder(windows + "\\" + kInfFolderName);
}

// A restart starts a new process: the current directory is the default one again.
const bool registered =
    RegisterFamily({[] {
                      FilesState &s = State();
                      s.windowsDirectory = kDefaultWindowsDirectory;
                      s.currentDirectory = kDefaultCurrentDirectory;
                    },
                    nullptr, nullptr, [] { State().currentDirectory = kDefaultCurrentDirectory; }});

}  // namespace

std::string FullWindowsPath(const std::string &input) {
  if (input.empty()) return "";
  std::string path = input;
  std::replace(path.begin(), path.end(), '/', '\\');
  const std::string &cwd = State().currentDirectory;
  const std::string cwdRoot = cwd.substr(0, 2);
  bool trailing = IsSeparator(path.back());
  std::string root, rest;
  if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') {
    SplitRoot(path, &root, &rest);
    if (rest.empty()) trailing = false;
  } else if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == ':') {
    root = path.substr(0, 2);
    rest = path.substr(2);
    if (rest.empty()) trailing = false;
    if (rest.empty() || rest[0] != '\\') {
      // Drive-relative: against the current directory when it is on that drive.
      if (UpperChar(cwd[0]) == UpperChar(path[0])) {
        root = cwdRoot;
        rest = cwd.substr(2) + "\\" + rest;
      } else {
        rest = "\\" + rest;
      }
    }
  } else if (path[0] == '\\') {
    root = cwdRoot;  // rooted on the current drive
    rest = path;
  } else {
    root = cwdRoot;
    rest = cwd.substr(2) + "\\" + path;
  }
  return Normalise(root, rest, trailing);
}

std::string CurrentDirectory() {
  return State().currentDirectory;
}

std::string WindowsDirectory() {
  return State().windowsDirectory;
}

}  // namespace detail

using namespace detail;

void SetFileRoot(const std::string &hostDir) {
  std::error_code error;
  fs::create_directories(hostDir, error);
  if (error) throw std::runtime_error("SetFileRoot: cannot create " + hostDir + ": " + error.message());
  State().root = fs::absolute(hostDir).lexically_normal().string();
  while (State().root.size() > 1 && State().root.back() == '/') State().root.pop_back();
  EnsureWindowsFolders();
}

const std::string &FileRoot() {
  return State().root;
}

std::string HostPath(const std::string &windowsPath) {
  std::string full = FullWindowsPath(windowsPath);
  Located where = Locate(full);
  return where.onDrive ? where.hostPath : "";
}

void SetWindowsDirectory(const std::string &windowsPath) {
  std::string full = FullWindowsPath(windowsPath);
  if (full.empty()) throw std::invalid_argument("SetWindowsDirectory: not a Windows path: " + windowsPath);
  if (full.size() > 3 && full.back() == '\\') full.pop_back();
  State().windowsDirectory = full;
  EnsureWindowsFolders();
}

void PutFile(const std::string &windowsPath, const std::string &bytes) {
  Located where = Locate(FullWindowsPath(windowsPath));
  if (!where.onDrive) throw std::invalid_argument("PutFile: not a path on drive C: " + windowsPath);
  if (where.isFolder) throw std::invalid_argument("PutFile: a folder has that name: " + windowsPath);
  std::error_code ignored;
  fs::create_directories(fs::path(where.hostPath).parent_path(), ignored);
  std::ofstream out(where.hostPath, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("PutFile: cannot write " + where.hostPath);
}

std::optional<std::string> GetFile(const std::string &windowsPath) {
  Located where = Locate(FullWindowsPath(windowsPath));
  if (!where.exists || where.isFolder) return std::nullopt;
  std::ifstream in(where.hostPath, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool HasFile(const std::string &windowsPath) {
  Located where = Locate(FullWindowsPath(windowsPath));
  return where.exists && !where.isFolder;
}

void RemoveFile(const std::string &windowsPath) {
  Located where = Locate(FullWindowsPath(windowsPath));
  if (!where.exists || IsRootPath(where.windowsPath)) return;
  std::error_code ignored;
  fs::remove_all(where.hostPath, ignored);
}

}  // namespace winsim

using namespace winsim::detail;

extern "C" {

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
  if (auto fault = Enter("GetWindowsDirectoryA", "", ERROR_NOT_ENOUGH_MEMORY)) {
    SetError(*fault);
    return 0;
  }
  return CopyOut(State().windowsDirectory, lpBuffer, uSize);
}

UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
  if (auto fault = Enter("GetSystemDirectoryA", "", ERROR_NOT_ENOUGH_MEMORY)) {
    SetError(*fault);
    return 0;
  }
  return CopyOut(State().windowsDirectory + "\\" + kSystemFolderName, lpBuffer, uSize);
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE /*hTemplateFile*/) {
  if (auto fault = Enter("CreateFileA", SubjectOf(lpFileName), ERROR_ACCESS_DENIED)) {
    SetError(*fault);
    return INVALID_HANDLE_VALUE;
  }
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const DWORD uses = UsesOf(dwDesiredAccess);
  if (dwCreationDisposition == TRUNCATE_EXISTING && !(uses & kUsesWrite)) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string full = PathArgument(lpFileName, ERROR_PATH_NOT_FOUND);
  if (full.empty()) return INVALID_HANDLE_VALUE;
  if (HasInvalidNameCharacters(full) || full.back() == '\\') {
    SetError(IsRootPath(full) ? ERROR_ACCESS_DENIED : ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  Located where = Locate(full);
  if (!where.onDrive || !where.parentIsFolder) {
    SetError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (where.exists && where.isFolder) {
    SetError(dwCreationDisposition == CREATE_NEW ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  const bool truncate = dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING;
  int openFlags = 0;
  if (where.exists) {
    if (dwCreationDisposition == CREATE_NEW) {
      SetError(ERROR_FILE_EXISTS);
      return INVALID_HANDLE_VALUE;
    }
    if (ConflictsWithOpenHandles(where.st, uses, dwShareMode)) {
      SetError(ERROR_SHARING_VIOLATION);
      return INVALID_HANDLE_VALUE;
    }
    if (IsReadOnly(where.st) && ((uses & (kUsesWrite | kUsesDelete)) || truncate)) {
      SetError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
  } else {
    if (dwCreationDisposition == OPEN_EXISTING || dwCreationDisposition == TRUNCATE_EXISTING) {
      SetError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    openFlags |= O_CREAT | O_EXCL;
  }
  // The host descriptor is opened for whatever the handle may do with the data.
  if ((uses & kUsesRead) && (uses & kUsesWrite)) {
    openFlags |= O_RDWR;
  } else if (uses & kUsesWrite) {
    openFlags |= O_WRONLY;
  } else {
    openFlags |= O_RDONLY;
  }
  if (truncate && where.exists) openFlags |= O_TRUNC;
  int fd = open(where.hostPath.c_str(), openFlags | O_CLOEXEC, 0666);
  if (fd < 0) {
    SetError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (!where.exists && (dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY)) fchmod(fd, 0444);
  struct stat st;
  fstat(fd, &st);
  auto file = std::make_unique<FileObject>();
  file->path = full;
  file->fd = fd;
  file->uses = uses;
  file->share = dwShareMode & kShareAll;
  file->device = st.st_dev;
  file->inode = st.st_ino;
  HANDLE handle = AddHandle(std::move(file));
  const bool reopened =
      where.exists && (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS);
  SetError(reopened ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
  if (auto fault = Enter("ReadFile", DescribeHandle(hFile), ERROR_READ_FAULT)) {
    SetError(*fault);
    return FALSE;
  }
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  FileObject *file = StartTransfer("ReadFile", hFile, kUsesRead, lpBuffer, nNumberOfBytesToRead, lpOverlapped);
  if (!file) return FALSE;
  DWORD done = 0;
  while (done < nNumberOfBytesToRead) {
    ssize_t n = pread(file->fd, static_cast<char *>(lpBuffer) + done, nNumberOfBytesToRead - done,
                      static_cast<off_t>(file->position + done));
    if (n < 0) {
      SetError(ERROR_READ_FAULT);
      return FALSE;
    }
    if (n == 0) break;
    done += static_cast<DWORD>(n);
  }
  file->position += done;
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = done;
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
  if (auto fault = Enter("WriteFile", DescribeHandle(hFile), ERROR_DISK_FULL)) {
    SetError(*fault);
    return FALSE;
  }
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  FileObject *file = StartTransfer("WriteFile", hFile, kUsesWrite, lpBuffer, nNumberOfBytesToWrite, lpOverlapped);
  if (!file) return FALSE;
  DWORD done = 0;
  while (done < nNumberOfBytesToWrite) {
    ssize_t n = pwrite(file->fd, static_cast<const char *>(lpBuffer) + done, nNumberOfBytesToWrite - done,
                       static_cast<off_t>(file->position + done));
    if (n <= 0) {
      file->position += done;
      if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
      SetError(ERROR_DISK_FULL);
      return FALSE;
    }
    done += static_cast<DWORD>(n);
  }
  file->position += done;
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
  return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
  if (auto fault = Enter("SetFilePointer", DescribeHandle(hFile), ERROR_INVALID_PARAMETER)) {
    SetError(*fault);
    return INVALID_SET_FILE_POINTER;
  }
  FileObject *file = LookupFile("SetFilePointer", hFile);
  if (!file) {
    SetError(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  // With a high part the distance is one signed 64-bit number; without, the 32-bit distance.
  int64_t distance =
      lpDistanceToMoveHigh
          ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
                                 static_cast<uint32_t>(lDistanceToMove))
          : static_cast<int64_t>(lDistanceToMove);
  int64_t base = 0;
  switch (dwMoveMethod) {
    case FILE_BEGIN:
      break;
    case FILE_CURRENT:
      base = static_cast<int64_t>(file->position);
      break;
    case FILE_END: {
      struct stat st;
      fstat(file->fd, &st);
      base = static_cast<int64_t>(st.st_size);
      break;
    }
    default:
      SetError(ERROR_INVALID_PARAMETER);
      return INVALID_SET_FILE_POINTER;
  }
  int64_t target = base + distance;
  if (target < 0) {
    SetError(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  if (!lpDistanceToMoveHigh && static_cast<uint64_t>(target) > 0xFFFFFFFFULL) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  file->position = static_cast<uint64_t>(target);
  if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(file->position >> 32);
  DWORD low = static_cast<DWORD>(file->position);
  // A position whose low part looks like the failure value is told apart by a cleared error.
  if (low == INVALID_SET_FILE_POINTER) SetError(NO_ERROR);
  return low;
}

BOOL WINAPI SetEndOfFile(HANDLE hFile) {
  if (auto fault = Enter("SetEndOfFile", DescribeHandle(hFile), ERROR_DISK_FULL)) {
    SetError(*fault);
    return FALSE;
  }
  FileObject *file = LookupFile("SetEndOfFile", hFile);
  if (!file) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!(file->uses & kUsesWrite)) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (ftruncate(file->fd, static_cast<off_t>(file->position)) != 0) {
    SetError(ERROR_DISK_FULL);
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  if (auto fault = Enter("GetFileSize", DescribeHandle(hFile), ERROR_ACCESS_DENIED)) {
    SetError(*fault);
    return INVALID_FILE_SIZE;
  }
  FileObject *file = LookupFile("GetFileSize", hFile);
  if (!file) {
    SetError(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  struct stat st;
  fstat(file->fd, &st);
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
  DWORD low = static_cast<DWORD>(size);
  if (low == INVALID_FILE_SIZE) SetError(NO_ERROR);
  return low;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (auto fault = Enter("CloseHandle", DescribeHandle(hObject), ERROR_INVALID_HANDLE)) {
    SetError(*fault);
    return FALSE;
  }
  // Kernel objects only: files, processes and threads. Registry keys, find handles and the like
  // have their own closing functions.
  HandleObject *object =
      VerifyHandle("CloseHandle", hObject, {HandleKind::File, HandleKind::Process, HandleKind::Thread});
  if (!object) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  RemoveHandle(hObject, object->kind);
  return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
  if (auto fault = Enter("DeleteFileA", SubjectOf(lpFileName), ERROR_ACCESS_DENIED)) {
    SetError(*fault);
    return FALSE;
  }
  std::string full = PathArgument(lpFileName, ERROR_PATH_NOT_FOUND);
  if (full.empty()) return FALSE;
  Located where;
  if (!LocateEntry(full, &where)) return FALSE;
  if (!where.exists) {
    SetError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (where.isFolder || IsReadOnly(where.st)) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // Deleting opens the file for deletion, sharing everything.
  if (ConflictsWithOpenHandles(where.st, kUsesDelete, kShareAll)) {
    SetError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  if (unlink(where.hostPath.c_str()) != 0) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
  if (auto fault = Enter("GetFileAttributesA", SubjectOf(lpFileName), ERROR_FILE_NOT_FOUND)) {
    SetError(*fault);
    return INVALID_FILE_ATTRIBUTES;
  }
  std::string full = PathArgument(lpFileName, ERROR_PATH_NOT_FOUND);
  if (full.empty()) return INVALID_FILE_ATTRIBUTES;
  Located where;
  if (!LocateEntry(full, &where)) return INVALID_FILE_ATTRIBUTES;
  if (!where.exists) {
    SetError(ERROR_FILE_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  return AttributesOf(where.st);
}

BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/) {
  if (auto fault = Enter("CreateDirectoryA", SubjectOf(lpPathName), ERROR_ACCESS_DENIED)) {
    SetError(*fault);
    return FALSE;
  }
  std::string full = PathArgument(lpPathName, ERROR_PATH_NOT_FOUND);
  if (full.empty()) return FALSE;
  if (IsRootPath(full)) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  Located where;
  if (!LocateEntry(full, &where)) return FALSE;
  if (where.exists) {
    SetError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (mkdir(where.hostPath.c_str(), 0777) != 0) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return TRUE;
}

HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
  if (auto fault = Enter("FindFirstFileA", SubjectOf(lpFileName), ERROR_FILE_NOT_FOUND)) {
    SetError(*fault);
    return INVALID_HANDLE_VALUE;
  }
  if (!lpFindFileData) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (lpFileName == nullptr || *lpFileName == '\0') {
    SetError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (std::strlen(lpFileName) > kMaxPathChars) {
    SetError(ERROR_FILENAME_EXCED_RANGE);
    return INVALID_HANDLE_VALUE;
  }
  std::string raw = lpFileName;
  std::replace(raw.begin(), raw.end(), '/', '\\');
  size_t cut = raw.find_last_of('\\');
  if (cut == std::string::npos && raw.size() >= 2 && raw[1] == ':') cut = 1;
  std::string pattern = cut == std::string::npos ? raw : raw.substr(cut + 1);
  if (pattern.empty()) {
    SetError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::string folder, mask;
  if (pattern.find_first_of("*?<>\"") != std::string::npos) {
    // A wildcard pattern is taken as written; the folder in front of it is normalised.
    std::string folderAsWritten = cut == std::string::npos ? "." : raw.substr(0, cut + 1);
    folder = FullWindowsPath(folderAsWritten);
    mask = TranslateMask(pattern);
  } else {
    // A plain name is normalised like any path and looked up in its folder.
    std::string full = FullWindowsPath(raw);
    mask = LastComponent(full);
    if (mask.empty()) {
      SetError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    folder = ParentPath(full);
  }
  Located where = Locate(folder);
  if (!where.exists || !where.isFolder) {
    SetError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::vector<std::string> names;
  if (DIR *dir = opendir(where.hostPath.c_str())) {
    while (struct dirent *entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end(), NameOrder);
  // A folder other than the root lists itself and its parent first.
  if (!IsRootPath(folder)) names.insert(names.begin(), {".", ".."});
  auto find = std::make_unique<FindObject>();
  find->pattern = folder + (folder.back() == '\\' ? "" : "\\") + pattern;
  for (const std::string &name : names) {
    if (!MatchesMask(mask, name)) continue;
    std::string host = where.hostPath + "/" + name;
    struct stat st;
    if (stat(host.c_str(), &st) != 0) continue;
    find->entries.push_back(FindDataFor(name, st));
  }
  if (find->entries.empty()) {
    SetError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  *lpFindFileData = find->entries[0];
  find->next = 1;
  return AddHandle(std::move(find));
}

BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
  if (auto fault = Enter("FindNextFileA", DescribeHandle(hFindFile), ERROR_NO_MORE_FILES)) {
    SetError(*fault);
    return FALSE;
  }
  auto *find = Verified<FindObject>("FindNextFileA", hFindFile, HandleKind::Find);
  if (!find) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (find->next >= find->entries.size()) {
    SetError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  if (!lpFindFileData) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpFindFileData = find->entries[find->next++];
  return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
  if (auto fault = Enter("FindClose", DescribeHandle(hFindFile), ERROR_INVALID_HANDLE)) {
    SetError(*fault);
    return FALSE;
  }
  if (!Verified<FindObject>("FindClose", hFindFile, HandleKind::Find)) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  RemoveHandle(hFindFile, HandleKind::Find);
  return TRUE;
}

DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer) {
  if (auto fault = Enter("GetCurrentDirectoryA", "", ERROR_NOT_ENOUGH_MEMORY)) {
    SetError(*fault);
    return 0;
  }
  return CopyOut(State().currentDirectory, lpBuffer, nBufferLength);
}

BOOL WINAPI SetCurrentDirectoryA(LPCSTR lpPathName) {
  if (auto fault = Enter("SetCurrentDirectoryA", SubjectOf(lpPathName), ERROR_ACCESS_DENIED)) {
    SetError(*fault);
    return FALSE;
  }
  if (lpPathName == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string full = PathArgument(lpPathName, ERROR_INVALID_NAME);
  if (full.empty()) return FALSE;
  if (!IsRootPath(full) && full.back() == '\\') full.pop_back();
  if (full.size() > kMaxCurrentDirectoryChars) {
    SetError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  Located where = Locate(full);
  if (!where.onDrive || !where.parentIsFolder) {
    SetError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (!where.exists) {
    SetError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (!where.isFolder) {
    SetError(ERROR_DIRECTORY);
    return FALSE;
  }
  // Kept as spelled by the caller (normalised), like Windows does.
  State().currentDirectory = full;
  return TRUE;
}

DWORD WINAPI GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer, LPSTR *lpFilePart) {
  if (auto fault = Enter("GetFullPathNameA", SubjectOf(lpFileName), ERROR_FILENAME_EXCED_RANGE)) {
    SetError(*fault);
    return 0;
  }
  if (lpFileName == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string full = PathArgument(lpFileName, ERROR_INVALID_NAME);
  if (full.empty()) return 0;
  if (full.size() > kMaxPathChars) {
    SetError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  DWORD result = CopyOut(full, lpBuffer, nBufferLength);
  if (lpFilePart && result < nBufferLength) {
    // The file part starts after the last backslash; a path ending in one has none.
    *lpFilePart = full.back() == '\\' ? nullptr : lpBuffer + full.find_last_of('\\') + 1;
  }
  return result;
}

}  // extern "C"
