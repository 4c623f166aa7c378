// The resources of the shipped 32-bit onlcoin.dll as the platform reads them: its message table
// gives the event viewer's texts through FormatMessageA, and its version resource gives what the
// file's properties show. Built as a 32-bit program, this loads the DLL as SetupAPI does (its
// DllMain and static runtime run); built as a 64-bit program, it cannot, and opens the DLL as a
// data file, as a 64-bit event viewer reads a 32-bit message file.
// Usage: resources_test.exe [--dll=PATH] [GoogleTest options]; PATH defaults to the win32
// build's DLL beside this program's build folder. Exits 77 (skipped) when the DLL does not exist.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string dllPath;

// The event texts, each line ended by CR LF.
const std::map<DWORD, std::string> kEventTexts = {
    {2000, "SetupDiGetClassDevs failed.\r\nStatus code returned in data.\r\n"},
    {2001, "SetupDiGetSelectedDriver failed.\r\nStatus code returned in data.\r\n"},
    {2003, "Unable to add the CAPI20 device.\r\n"},
    {2004, "Unable to set the controller for the new device.\r\n"},
    {2005, "Unable to set the capi device name.\r\n"},
};
const WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
// Whether this program can load the 32-bit DLL as code.
constexpr bool kLoadsTheModule = sizeof(void *) == 4;

class Resources : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExA(dllPath.c_str(), nullptr, kLoadsTheModule ? 0 : LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module_, nullptr) << dllPath << ": error " << GetLastError();
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }
  HMODULE module_ = nullptr;
};

TEST_F(Resources, FormatMessageGivesEachEventTextExactly) {
  for (const auto &event : kEventTexts) {
    char text[512];
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module_,
                                        event.first, kEnglishUs, text, sizeof text, nullptr);
    EXPECT_EQ(std::string(text, length), event.second) << "event " << event.first << ", error " << GetLastError();
  }
  // Between the identifiers there is no text.
  char text[512];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module_, 2002, kEnglishUs,
                           text, sizeof text, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}

std::string VersionString(const std::vector<char> &info, const std::string &name) {
  void *value = nullptr;
  UINT length = 0;
  const std::string path = "\\StringFileInfo\\040904E4\\" + name;
  if (!VerQueryValueA(info.data(), path.c_str(), &value, &length) || !value) return "<missing>";
  return std::string(static_cast<const char *>(value));
}

TEST_F(Resources, VersionResourceNamesTheRelease) {
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeA(dllPath.c_str(), &handle);
  ASSERT_GT(size, 0u) << "error " << GetLastError();
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoA(dllPath.c_str(), 0, size, info.data())) << "error " << GetLastError();

  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  // 3.38.1146.0
  EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(MAKELONG(38, 3)));
  EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(MAKELONG(0, 1146)));
  EXPECT_EQ(fixed->dwProductVersionMS, static_cast<DWORD>(MAKELONG(38, 3)));
  EXPECT_EQ(fixed->dwProductVersionLS, static_cast<DWORD>(MAKELONG(0, 1146)));
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

  // Found under US English, Windows Latin 1 (040904E4).
  // clang-format off
  const std::pair<const char *, const char *> strings[] = {
      {"FileDescription", "Common ISDN API 1.1 / 2.0"}, {"ProductName", "CAPI"}, {"InternalName", "nlcoin"},
      {"OriginalFileName", "nlcoin.dll"}, {"FileVersion", "3.38.1146"}, {"ProductVersion", "3.38.1146"}};
  // clang-format on
  for (const auto &[name, text] : strings) EXPECT_EQ(VersionString(info, name), text) << name;
}

std::string ProgramFolder() {
  char path[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder = path;
  return folder.substr(0, folder.find_last_of('\\'));
}

}  // namespace

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // build\win64\tests\wine\ or build\win32-tests\tests\wine\ -> build\win32\onlcoin.dll
  dllPath = ProgramFolder() + "\\..\\..\\..\\win32\\onlcoin.dll";
  constexpr char kDllOption[] = "--dll=";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], kDllOption, sizeof kDllOption - 1) == 0) {
      dllPath = argv[i] + sizeof kDllOption - 1;
    } else {
      fprintf(stderr, "unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  if (GetFileAttributesA(dllPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
    printf("skipped: %s was not built (cmake --build --preset win32)\n", dllPath.c_str());
    return 77;
  }
  return RUN_ALL_TESTS();
}
