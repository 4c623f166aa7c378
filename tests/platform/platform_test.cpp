// Scratch keys and folders for the platform conformance tests, written with the Win32 API only so
// that the same code runs on the simulated platform and under Wine.
#include "platform_test.h"

namespace {

constexpr char kScratchKeyRoot[] = "Software\\WinsimConformance";
constexpr char kScratchFolderRoot[] = "C:\\winsim-conformance";
// Longest key name component plus its terminating NUL.
constexpr DWORD kKeyNameBuffer = 257;

std::string TestName() {
  const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (!info) return "outside-a-test";
  return std::string(info->test_suite_name()) + "." + info->name();
}

// Deletes parent\name and everything below it; a missing key is not an error.
LONG DeleteKeyRecursively(HKEY parent, const std::string &name) {
  HKEY key = nullptr;
  LONG result = RegOpenKeyExA(parent, name.c_str(), 0, KEY_ENUMERATE_SUB_KEYS, &key);
  if (result == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (result != ERROR_SUCCESS) return result;
  char child[kKeyNameBuffer];
  do {
    DWORD size = sizeof child;
    // Index 0 every time: each subkey found is gone before the next call.
    result = RegEnumKeyExA(key, 0, child, &size, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_SUCCESS) result = DeleteKeyRecursively(key, child);
  } while (result == ERROR_SUCCESS);
  RegCloseKey(key);
  if (result != ERROR_NO_MORE_ITEMS) return result;
  return RegDeleteKeyA(parent, name.c_str());
}

}  // namespace

#ifdef _WIN32
void ExpectVerifierStop(const char *) {}
#endif

void ExpectRows(const std::vector<Row> &rows) {
  for (const Row &row : rows) EXPECT_EQ(row.got, row.expected) << row.what;
}

DWORD ErrorOf(BOOL ok) {
  return ok ? 0 : GetLastError();
}

std::string CrLf(std::initializer_list<std::string> lines) {
  std::string text;
  for (const std::string &line : lines) text += line + "\r\n";
  return text;
}

bool PutFile(const std::string &path, const std::string &bytes) {
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

bool UnderWine() {
#ifdef _WIN32
  static const bool underWine = [] {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return underWine;
#else
  return false;
#endif
}

std::string ScratchKeyPath() {
  return std::string(kScratchKeyRoot) + "\\" + TestName();
}

HKEY ScratchKey() {
  std::string path = ScratchKeyPath();
  LONG result = DeleteKeyRecursively(HKEY_CURRENT_USER, path);
  EXPECT_EQ(result, ERROR_SUCCESS) << "could not clear HKCU\\" << path;
  HKEY key = nullptr;
  result = RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                           nullptr, &key, nullptr);
  EXPECT_EQ(result, ERROR_SUCCESS) << "could not create HKCU\\" << path;
  return key;
}

void DeleteScratchKey() {
  std::string path = ScratchKeyPath();
  EXPECT_EQ(DeleteKeyRecursively(HKEY_CURRENT_USER, path), ERROR_SUCCESS) << "could not delete HKCU\\" << path;
}

std::string ScratchFolder() {
  std::string folder = std::string(kScratchFolderRoot) + "\\" + TestName();
  CreateDirectoryA(kScratchFolderRoot, nullptr);
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        EXPECT_TRUE(DeleteFileA((folder + "\\" + found.cFileName).c_str()))
            << "could not delete " << folder << "\\" << found.cFileName << ", error " << GetLastError();
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  if (!CreateDirectoryA(folder.c_str(), nullptr)) {
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "could not create " << folder;
  }
  return folder;
}
