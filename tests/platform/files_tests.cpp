// Files and folders as the co-installer and the simulator use them: CreateFileA's dispositions and
// sharing, reading, writing and cutting a file, deletion, attributes, folders, FindFirstFileA's
// patterns, the Windows folder, and the current folder with GetFullPathNameA.
#include <cstring>
#include <string>
#include <vector>

#include "platform_test.h"

namespace {

const DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
const DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

HANDLE Open(const std::string &path, DWORD access, DWORD share, DWORD disposition) {
  return CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The whole content of a file, or "<error N>" when it cannot be opened.
std::string Content(const std::string &path) {
  HANDLE file = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return "<error " + std::to_string(GetLastError()) + ">";
  std::string content;
  char buffer[256];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) content.append(buffer, read);
  CloseHandle(file);
  return content;
}

std::string CurrentDirectory() {
  char buffer[MAX_PATH] = "";
  DWORD length = GetCurrentDirectoryA(MAX_PATH, buffer);
  return std::string(buffer, length < MAX_PATH ? length : 0);
}

TEST(CreateFile, DispositionsFoldersAndLetterCase) {
  const std::string folder = ScratchFolder(), path = folder + "\\file.txt";
  struct Case {
    const char *what, *name;
    bool exists;
    DWORD disposition;
    const char *outcome;
  };
  const Case cases[] = {
      {"OPEN_EXISTING, missing", "\\file.txt", false, OPEN_EXISTING, "error 2"},
      {"OPEN_EXISTING in other letter case", "\\FILE.TXT", true, OPEN_EXISTING, "size 7"},
      {"CREATE_NEW, missing", "\\file.txt", false, CREATE_NEW, "size 0"},
      {"CREATE_NEW, existing", "\\file.txt", true, CREATE_NEW, "error 80"},
      {"OPEN_ALWAYS, missing", "\\file.txt", false, OPEN_ALWAYS, "size 0"},
      {"OPEN_ALWAYS, existing: the content stays", "\\file.txt", true, OPEN_ALWAYS, "size 7, existed"},
      {"CREATE_ALWAYS, existing: emptied", "\\file.txt", true, CREATE_ALWAYS, "size 0, existed"},
      {"a missing folder on the way", "\\no such folder\\file.txt", false, OPEN_ALWAYS, "error 3"},
      {"a folder", "", false, OPEN_EXISTING, "error 5"},
  };
  for (const Case &c : cases) {
    DeleteFileA(path.c_str());
    ASSERT_TRUE(!c.exists || PutFile(path, "content"));
    SetLastError(12345);
    HANDLE file = Open(folder + c.name, kReadWrite, 0, c.disposition);
    std::string outcome = "error " + std::to_string(GetLastError());
    if (file != INVALID_HANDLE_VALUE) {
      const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
      outcome = "size " + std::to_string(GetFileSize(file, nullptr)) + (existed ? ", existed" : "");
      CloseHandle(file);
    }
    EXPECT_EQ(outcome, c.outcome) << c.what;
  }
}

TEST(CreateFile, SharingDecidesWhetherASecondOpenSucceeds) {
  const std::string path = ScratchFolder() + "\\shared.txt";
  ASSERT_TRUE(PutFile(path, "shared"));
  struct Case {
    DWORD firstAccess, firstShare, secondAccess, secondShare;
    bool secondOpens;
  };
  const Case cases[] = {
      {kReadWrite, 0, GENERIC_READ, kShareReadWrite, false},  // opened without sharing: nothing else gets in
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, true},
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, kShareReadWrite, false},   // writing is not shared
      {GENERIC_READ, kShareReadWrite, GENERIC_WRITE, FILE_SHARE_WRITE, false},  // the new open refuses the reader
  };
  for (const Case &c : cases) {
    HANDLE first = Open(path, c.firstAccess, c.firstShare, OPEN_EXISTING);
    ASSERT_NE(first, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    HANDLE second = Open(path, c.secondAccess, c.secondShare, OPEN_EXISTING);
    const DWORD error = second == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    EXPECT_EQ(error, c.secondOpens ? 0u : static_cast<DWORD>(ERROR_SHARING_VIOLATION))
        << "first " << c.firstAccess << "/" << c.firstShare << ", second " << c.secondAccess << "/"
        << c.secondShare;
    if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
    CloseHandle(first);
  }
}

TEST(ReadWriteFile, ThePointerMovesWithReadsWritesAndSeeksAndSetEndOfFileCutsThere) {
  const std::string path = ScratchFolder() + "\\data.bin";
  HANDLE file = Open(path, kReadWrite, 0, CREATE_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(PutFile(path + ".ro", "data"));
  HANDLE reader = Open(path + ".ro", GENERIC_READ, 0, OPEN_EXISTING);
  char buffer[16];
  DWORD done = 0, middle = 0, tail = 0, atEnd = 99;
  ExpectRows({
      {"write ten bytes", ErrorOf(WriteFile(file, "0123456789", 10, &done, nullptr)), 0},
      {"the pointer after them", SetFilePointer(file, 0, nullptr, FILE_CURRENT), 10},
      {"seek from the start", SetFilePointer(file, 2, nullptr, FILE_BEGIN), 2},
      {"read three bytes", ErrorOf(ReadFile(file, buffer, 3, &middle, nullptr)), 0},
      {"bytes read", middle, 3},
      {"seek from the end", SetFilePointer(file, -4, nullptr, FILE_END), 6},
      {"read more than is left", ErrorOf(ReadFile(file, buffer + 3, 8, &tail, nullptr)), 0},
      {"bytes read up to the end", tail, 4},
      {"read at the end", ErrorOf(ReadFile(file, buffer, 8, &atEnd, nullptr)), 0},
      {"bytes read at the end", atEnd, 0},
      {"seek back to 5", SetFilePointer(file, 5, nullptr, FILE_BEGIN), 5},
      {"cut there", ErrorOf(SetEndOfFile(file)), 0},
      {"the size after the cut", GetFileSize(file, nullptr), 5},
      {"close", ErrorOf(CloseHandle(file)), 0},
      {"close again", ErrorOf(Stopped("CloseHandle", CloseHandle(file))), ERROR_INVALID_HANDLE},
      {"write through a read handle", ErrorOf(WriteFile(reader, "x", 1, &done, nullptr)), ERROR_ACCESS_DENIED},
  });
  CloseHandle(reader);
  EXPECT_EQ(std::string(buffer, 7), "2346789");
  EXPECT_EQ(Content(path), "01234");
}

TEST(FileSystem, DeletionAttributesAndFolders) {
  const std::string folder = ScratchFolder(), file = folder + "\\victim.txt", made = folder + "\\made";
  ASSERT_TRUE(PutFile(file, "x"));
  const DWORD kFolder = FILE_ATTRIBUTE_DIRECTORY;
  const bool madeOrThere = CreateDirectoryA(made.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
  ExpectRows({
      {"a file is no folder", GetFileAttributesA(file.c_str()) & kFolder, 0},
      {"a folder is one", GetFileAttributesA(folder.c_str()) & kFolder, kFolder},
      {"a missing file", GetFileAttributesA((folder + "\\missing").c_str()), INVALID_FILE_ATTRIBUTES},
      {"its error", GetLastError(), ERROR_FILE_NOT_FOUND},
      {"delete a missing file", ErrorOf(DeleteFileA((folder + "\\missing").c_str())), ERROR_FILE_NOT_FOUND},
      {"delete the file", ErrorOf(DeleteFileA(file.c_str())), 0},
      {"the file is gone", GetFileAttributesA(file.c_str()), INVALID_FILE_ATTRIBUTES},
      {"a folder made now or by an earlier run", madeOrThere, 1},
      {"made again", ErrorOf(CreateDirectoryA(made.c_str(), nullptr)), ERROR_ALREADY_EXISTS},
      {"two levels at once", ErrorOf(CreateDirectoryA((made + "\\a\\b").c_str(), nullptr)), ERROR_PATH_NOT_FOUND},
  });
}

TEST(FindFile, PatternsMatchWithoutRegardToCaseInNameOrder) {
  const std::string folder = ScratchFolder();
  for (const char *name : {"oem12.inf", "gamma.ini", "Beta.TXT", "oem1.inf", "delta", "alpha.txt", "oem2.pnf"})
    ASSERT_TRUE(PutFile(folder + "\\" + name, name));
  CreateDirectoryA((folder + "\\sub").c_str(), nullptr);
  struct Case {
    const char *pattern, *found;
  };
  const Case cases[] = {
      {"*", ". .. alpha.txt Beta.TXT delta gamma.ini oem1.inf oem12.inf oem2.pnf sub"},
      {"*.*", ". .. alpha.txt Beta.TXT delta gamma.ini oem1.inf oem12.inf oem2.pnf sub"},
      {"*.inf", "oem1.inf oem12.inf"},
      {"OEM*.INF", "oem1.inf oem12.inf"},
      {"oem?.inf", "oem1.inf"},
      {"*.txt", "alpha.txt Beta.TXT"},
      {"*.none", "<error 2>"},
      {"missing\\*", "<error 3>"},
  };
  for (const Case &c : cases) {
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA((folder + "\\" + c.pattern).c_str(), &data);
    std::string found = "<error " + std::to_string(GetLastError()) + ">";
    if (search != INVALID_HANDLE_VALUE) {
      found = data.cFileName;
      while (FindNextFileA(search, &data)) found += std::string(" ") + data.cFileName;
      if (GetLastError() != ERROR_NO_MORE_FILES) found += " <ended with " + std::to_string(GetLastError()) + ">";
      FindClose(search);
    }
    EXPECT_EQ(found, c.found) << c.pattern;
  }
}

TEST(Folders, TheWindowsFolderTheCurrentFolderAndFullPaths) {
  char windows[MAX_PATH] = "";
  const UINT windowsLength = GetWindowsDirectoryA(windows, MAX_PATH);
  ASSERT_GT(windowsLength, 2u);
  EXPECT_EQ(windowsLength, std::strlen(windows));
  EXPECT_NE(windows[windowsLength - 1], '\\');
  EXPECT_EQ(GetWindowsDirectoryA(windows, windowsLength), windowsLength + 1) << "a short buffer: the size needed";

  const std::string saved = CurrentDirectory(), folder = ScratchFolder();
  ASSERT_TRUE(PutFile(folder + "\\here.txt", "here"));
  ASSERT_TRUE(SetCurrentDirectoryA((folder + "\\").c_str()));
  const DWORD length = static_cast<DWORD>(folder.size());
  std::vector<char> buffer(length + 1);
  ExpectRows({
      {"the size needed, terminator included", GetCurrentDirectoryA(0, nullptr), length + 1},
      {"one character short", GetCurrentDirectoryA(length, buffer.data()), length + 1},
      {"a buffer that just fits", GetCurrentDirectoryA(length + 1, buffer.data()), length},
      {"a missing folder", ErrorOf(SetCurrentDirectoryA((folder + "\\missing").c_str())), ERROR_FILE_NOT_FOUND},
      {"a full path in a short buffer", GetFullPathNameA("name.ini", length, buffer.data(), nullptr),
       length + 10},  // with "\\name.ini" and the terminator
  });
  EXPECT_EQ(CurrentDirectory(), folder) << "kept without the trailing backslash, and not changed by a failure";
  EXPECT_EQ(Content("here.txt"), "here") << "relative names are resolved against it";

  struct Case {
    const char *input;
    std::string full, filePart;
  };
  const Case cases[] = {
      {"name.ini", folder + "\\name.ini", "name.ini"},
      {".\\a\\..\\b.ini", folder + "\\b.ini", "b.ini"},
      {"sub\\", folder + "\\sub\\", "(none)"},
      {"C:\\one\\.\\two\\..\\three.ini", "C:\\one\\three.ini", "three.ini"},
  };
  for (const Case &c : cases) {
    char full[MAX_PATH];
    char *filePart = nullptr;
    const DWORD fullLength = GetFullPathNameA(c.input, MAX_PATH, full, &filePart);
    EXPECT_EQ(std::to_string(fullLength) + " " + full + " " + (filePart ? filePart : "(none)"),
              std::to_string(c.full.size()) + " " + c.full + " " + c.filePart)
        << c.input;
  }
  ASSERT_TRUE(SetCurrentDirectoryA(saved.c_str()));
}

}  // namespace
