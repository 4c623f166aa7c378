// Process creation. The program file is found the way Windows finds it from a command line, the
// start is recorded, and the caller gets process and thread handles with ids; the program itself
// does not run on the simulated machine.
//
// A program named without a folder is searched in the current directory, then the system folder
// (<Windows>\system32), the 16-bit system folder (<Windows>\system) and the Windows folder. The
// folder of the calling program and the PATH folders, which Windows also searches, do not exist on
// the simulated machine.
#include <sys/stat.h>

#include <cstring>
#include <vector>

#include "internal.h"

namespace winsim {
namespace detail {
namespace {

constexpr char kDefaultExtension[] = ".exe";
constexpr char kSystemFolder[] = "\\system32";
constexpr char kSystem16Folder[] = "\\system";
// Windows process and thread ids are multiples of 4.
constexpr DWORD kFirstId = 1000;
constexpr DWORD kIdStep = 4;

struct ProcessState {
  std::vector<ProcessRecord> started;
  DWORD nextId = kFirstId;
};

ProcessState &State() {
  return FamilyState<ProcessState>();
}

struct ProcessObject : HandleObject {
  ProcessObject(HandleKind kind, DWORD id, std::string image)
      : HandleObject(kind), id(id), image(std::move(image)) {}
  std::string Describe() const override { return image + " (id " + std::to_string(id) + ")"; }
  DWORD id;
  std::string image;
};

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool IsProgramFile(const std::string &windowsPath) {
  std::string host = winsim::HostPath(windowsPath);
  struct stat st;
  return !host.empty() && stat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool HasFolder(const std::string &name) {
  return name.find_first_of("\\/:") != std::string::npos;
}

// ".exe" is added when the file name has no extension.
std::string WithDefaultExtension(const std::string &name) {
  size_t slash = name.find_last_of("\\/:");
  size_t dot = name.find_last_of('.');
  bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return hasExtension ? name : name + kDefaultExtension;
}

// The full path of the program a name stands for, or "" when no such file exists.
std::string FindProgram(const std::string &name) {
  if (name.empty()) return "";
  std::string file = WithDefaultExtension(name);
  if (HasFolder(file)) {
    std::string full = FullWindowsPath(file);
    return !full.empty() && IsProgramFile(full) ? full : "";
  }
  const std::string windows = WindowsDirectory();
  const std::string folders[] = {CurrentDirectory(), windows + kSystemFolder, windows + kSystem16Folder, windows};
  for (const std::string &folder : folders) {
    std::string full = FullWindowsPath(folder + "\\" + file);
    if (!full.empty() && IsProgramFile(full)) return full;
  }
  return "";
}

// The program a command line starts when no application name is given: a quoted first token is
// taken whole; otherwise the blank-separated prefixes are tried in turn, shortest first, and the
// first that names an existing program file wins.
std::string ProgramOfCommandLine(const std::string &commandLine) {
  size_t start = 0;
  while (start < commandLine.size() && IsBlank(commandLine[start])) ++start;
  if (start < commandLine.size() && commandLine[start] == '"') {
    size_t close = commandLine.find('"', start + 1);
    if (close != std::string::npos) return FindProgram(commandLine.substr(start + 1, close - start - 1));
  }
  size_t end = start;
  while (end < commandLine.size()) {
    while (end < commandLine.size() && !IsBlank(commandLine[end])) ++end;
    std::string found = FindProgram(commandLine.substr(start, end - start));
    if (!found.empty()) return found;
    while (end < commandLine.size() && IsBlank(commandLine[end])) ++end;
  }
  return "";
}

bool IsFolder(const std::string &windowsPath) {
  std::string host = winsim::HostPath(windowsPath);
  struct stat st;
  return !host.empty() && stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The folder part of a full path, with its backslash ("C:\a\b.exe" -> "C:\a\").
std::string ParentOf(const std::string &full) {
  return full.substr(0, full.find_last_of('\\') + 1);
}

const bool registered = RegisterStateReset<ProcessState>();

}  // namespace
}  // namespace detail

const std::vector<ProcessRecord> &StartedProcesses() {
  return detail::State().started;
}

}  // namespace winsim

using namespace winsim;
using namespace winsim::detail;

extern "C" {

BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES /*lpProcessAttributes*/,
                           LPSECURITY_ATTRIBUTES /*lpThreadAttributes*/, BOOL bInheritHandles,
                           DWORD dwCreationFlags, LPVOID /*lpEnvironment*/, LPCSTR lpCurrentDirectory,
                           LPSTARTUPINFOA lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation) {
  std::string subject = lpCommandLine ? lpCommandLine : (lpApplicationName ? lpApplicationName : "");
  if (auto fault = Enter("CreateProcessA", subject, ERROR_ACCESS_DENIED)) {
    SetError(*fault);
    return FALSE;
  }
  if (!lpStartupInfo || !lpProcessInformation || (!lpApplicationName && !lpCommandLine)) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string image;
  if (lpApplicationName) {
    // An application name is taken as the program file itself: no search, no default extension.
    std::string full = FullWindowsPath(lpApplicationName);
    if (full.empty() || !IsProgramFile(full)) {
      SetError(!full.empty() && IsFolder(ParentOf(full)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
      return FALSE;
    }
    image = full;
  } else {
    image = ProgramOfCommandLine(lpCommandLine);
    if (image.empty()) {
      SetError(ERROR_FILE_NOT_FOUND);
      return FALSE;
    }
  }
  if (lpCurrentDirectory && !IsFolder(FullWindowsPath(lpCurrentDirectory))) {
    SetError(ERROR_DIRECTORY);
    return FALSE;
  }
  ProcessRecord record;
  record.applicationName = lpApplicationName ? lpApplicationName : "";
  record.commandLine = lpCommandLine ? lpCommandLine : "";
  record.imagePath = image;
  record.currentDirectory = lpCurrentDirectory ? lpCurrentDirectory : CurrentDirectory();
  record.creationFlags = dwCreationFlags;
  record.inheritHandles = bInheritHandles;
  record.startupCb = lpStartupInfo->cb;
  record.startupFlags = lpStartupInfo->dwFlags;
  record.showWindow = lpStartupInfo->wShowWindow;
  winsim::detail::State().started.push_back(record);

  DWORD processId = winsim::detail::State().nextId;
  DWORD threadId = processId + kIdStep;
  winsim::detail::State().nextId = threadId + kIdStep;
  lpProcessInformation->hProcess =
      AddHandle(std::make_unique<ProcessObject>(HandleKind::Process, processId, image));
  lpProcessInformation->hThread = AddHandle(std::make_unique<ProcessObject>(HandleKind::Thread, threadId, image));
  lpProcessInformation->dwProcessId = processId;
  lpProcessInformation->dwThreadId = threadId;
  return TRUE;
}

}  // extern "C"
