// Stands in for the maker's monitor and tool programs in the end-to-end runs: copied into the
// tools folder as onlmon.exe and onltool.exe, it appends one line to "<its own path>.log" and
// exits. The line holds the image that was started and the command line it was given, separated
// by a tab, so that a test can tell which file ran and how it was called.
#include <windows.h>

#include <string>

int main() {
  char image[MAX_PATH] = "";
  const DWORD length = GetModuleFileNameA(nullptr, image, sizeof image);
  if (length == 0 || length >= sizeof image) return 1;
  const std::string logPath = std::string(image) + ".log";
  const std::string line = std::string(image) + "\t" + GetCommandLineA() + "\n";

  // One append of the whole line, so that lines of several runs stay whole.
  HANDLE log = CreateFileA(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return 2;
  DWORD written = 0;
  const BOOL ok = WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(log);
  return ok && written == line.size() ? 0 : 3;
}
