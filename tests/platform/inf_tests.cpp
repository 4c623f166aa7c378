// INF files as SetupAPI reads them, checked through the Win32 API alone: the same checks run on
// the simulated platform and, built as a Windows program, under Wine.
#include <cstring>
#include <string>
#include <vector>

// SetupAPI needs the Windows types declared first.
// clang-format off
#include "platform_test.h"
#include <setupapi.h>
// clang-format on

namespace {

constexpr char kHeader[] = "[Version]\r\nSignature=\"$Windows NT$\"\r\n";

// The decoration SetupAPI adds for this machine's processor. The simulated machine is an x86 one
// unless a test says otherwise; a Windows program built for x64 runs on an amd64 machine.
#ifdef _WIN64
constexpr char kPlatformDecoration[] = ".NTamd64";
#else
constexpr char kPlatformDecoration[] = ".NTx86";
#endif

void WriteFileText(const std::string &path, const std::string &text) {
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path << ": error " << GetLastError();
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
  CloseHandle(file);
}

class InfFiles : public ::testing::Test {
 protected:
  void TearDown() override {
    if (inf_ != INVALID_HANDLE_VALUE) SetupCloseInfFile(inf_);
  }

  // Writes the text to a scratch INF and opens it as a Windows 4 INF.
  HINF Open(const std::string &text, UINT *errorLine = nullptr) {
    if (inf_ != INVALID_HANDLE_VALUE) SetupCloseInfFile(inf_);
    path_ = ScratchFolder() + "\\test.inf";
    WriteFileText(path_, text);
    inf_ = SetupOpenInfFileA(path_.c_str(), nullptr, INF_STYLE_WIN4, errorLine);
    return inf_;
  }

  // The fields of a line, key first, as SetupGetStringFieldA gives them ("<none>" for no key).
  std::vector<std::string> LineOf(const char *section, const char *key) {
    std::vector<std::string> fields;
    INFCONTEXT context;
    if (!SetupFindFirstLineA(inf_, section, key, &context)) {
      ADD_FAILURE() << "no line " << (key ? key : "(first)") << " in [" << section << "], error "
                    << GetLastError();
      return fields;
    }
    char buffer[MAX_INF_STRING_LENGTH];
    DWORD count = SetupGetFieldCount(&context);
    for (DWORD i = 0; i <= count; ++i) {
      if (SetupGetStringFieldA(&context, i, buffer, sizeof buffer, nullptr))
        fields.push_back(buffer);
      else
        fields.push_back("<none>");
    }
    return fields;
  }

  HINF inf_ = INVALID_HANDLE_VALUE;
  std::string path_;
};

using Fields = std::vector<std::string>;

TEST_F(InfFiles, LinesSplitIntoKeyAndFields) {
  ASSERT_NE(Open(std::string(kHeader) + "[Lines]\r\n"
                                        "plain = one , two,three\r\n"
                                        "; a comment line\r\n"
                                        "quoted = \"a, b; c\", \"say \"\"hi\"\"\" ; trailing comment\r\n"
                                        "joined = first\\\r\n"
                                        "   part, second\r\n"
                                        "empty = a,,c,\r\n"
                                        "lonely\r\n"
                                        "no key, here\r\n"
                                        "path = C:\\dir\\file.sys\r\n"
                                        "inner = a b  c , \" spaced \"\r\n"),
            INVALID_HANDLE_VALUE)
      << GetLastError();
  EXPECT_EQ(LineOf("Lines", "plain"), (Fields{"plain", "one", "two", "three"}));
  EXPECT_EQ(LineOf("Lines", "quoted"), (Fields{"quoted", "a, b; c", "say \"hi\""}));
  EXPECT_EQ(LineOf("Lines", "joined"), (Fields{"joined", "firstpart", "second"}));
  EXPECT_EQ(LineOf("Lines", "empty"), (Fields{"empty", "a", "", "c", ""}));
  EXPECT_EQ(LineOf("Lines", "lonely"), (Fields{"lonely", "lonely"})) << "a single field is its own key";
  EXPECT_EQ(LineOf("Lines", "path"), (Fields{"path", "C:\\dir\\file.sys"}));
  EXPECT_EQ(LineOf("Lines", "inner"), (Fields{"inner", "a b  c", " spaced "}));

  INFCONTEXT context;
  ASSERT_TRUE(SetupFindFirstLineA(inf_, "Lines", "lonely", &context));
  ASSERT_TRUE(SetupFindNextLine(&context, &context));
  char buffer[64];
  EXPECT_FALSE(SetupGetStringFieldA(&context, 0, buffer, sizeof buffer, nullptr))
      << "a line of two fields has no key";
  EXPECT_TRUE(SetupGetStringFieldA(&context, 1, buffer, sizeof buffer, nullptr));
  EXPECT_STREQ(buffer, "no key");
}

TEST_F(InfFiles, NamesIgnoreLetterCaseAndStringsAreSubstituted) {
  ASSERT_NE(Open("[version]\r\nsignature=$WINDOWS NT$\r\n"
                 "[Install.Section]\r\n"
                 "DriverVer = %Date%, 1.0\r\n"
                 "%KeyName% = %Missing%, 100%%, %Date%%Date%\r\n"
                 "[strings]\r\n"
                 "date = \"06/26/2000\"\r\n"
                 "KEYNAME = Renamed\r\n"),
            INVALID_HANDLE_VALUE)
      << GetLastError();
  EXPECT_EQ(LineOf("INSTALL.section", "driverver"), (Fields{"DriverVer", "06/26/2000", "1.0"}));
  EXPECT_EQ(LineOf("Install.Section", "renamed"),
            (Fields{"Renamed", "%Missing%", "100%", "06/26/200006/26/2000"}));
  INFCONTEXT context;
  EXPECT_FALSE(SetupFindFirstLineA(inf_, "Install.Section", "%KeyName%", &context))
      << "keys are matched after substitution";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LINE_NOT_FOUND));
}

TEST_F(InfFiles, OpeningRejectsWrongStyleAndBadSyntaxWithTheLine) {
  UINT line = 0xdeadbeef;
  EXPECT_EQ(Open("[Version]\r\nSignature=\"$Windows 3.1$\"\r\n[Section]\r\na=b\r\n", &line), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRONG_INF_STYLE));
  EXPECT_EQ(line, 0u);
  line = 0xdeadbeef;
  EXPECT_EQ(Open("[Section]\r\na=b\r\n", &line), INVALID_HANDLE_VALUE) << "no [Version] at all";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRONG_INF_STYLE));

  EXPECT_EQ(Open(std::string(kHeader) + "[Good]\r\na=b\r\n\r\n[Unclosed\r\n", &line), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_SECTION_NAME_LINE));
  EXPECT_EQ(line, 6u);
  EXPECT_EQ(Open(std::string(kHeader) + "[" + std::string(256, 'x') + "]\r\n", &line), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SECTION_NAME_TOO_LONG));
  EXPECT_EQ(line, 3u);
  EXPECT_EQ(Open(std::string("; comment\r\nstray text\r\n") + kHeader, &line), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_EXPECTED_SECTION_NAME));
  EXPECT_EQ(line, 2u);

  // Text before the first section is allowed in a file that has a [Strings] section.
  EXPECT_NE(Open(std::string("stray text\r\n") + kHeader + "[Strings]\r\n", &line), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));

  EXPECT_EQ(SetupOpenInfFileA((ScratchFolder() + "\\missing.inf").c_str(), nullptr, INF_STYLE_WIN4, &line),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(InfFiles, FindingLinesAndWalkingASection) {
  ASSERT_NE(Open(std::string(kHeader) + "[Walk]\r\n"
                                        "AddReg = first\r\n"
                                        "CopyFiles = files\r\n"
                                        "AddReg = second\r\n"
                                        "[Empty]\r\n"),
            INVALID_HANDLE_VALUE);
  INFCONTEXT context;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupFindFirstLineA(inf_, "NoSuchSection", nullptr, &context));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LINE_NOT_FOUND));
  EXPECT_FALSE(SetupFindFirstLineA(inf_, "Empty", nullptr, &context));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LINE_NOT_FOUND));
  EXPECT_FALSE(SetupFindFirstLineA(inf_, "Walk", "DelReg", &context));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LINE_NOT_FOUND));

  ASSERT_TRUE(SetupFindFirstLineA(inf_, "Walk", "addreg", &context));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  char value[32];
  INFCONTEXT next;
  ASSERT_TRUE(SetupFindNextMatchLineA(&context, "AddReg", &next));
  ASSERT_TRUE(SetupGetStringFieldA(&next, 1, value, sizeof value, nullptr));
  EXPECT_STREQ(value, "second") << "the match after the first, passing CopyFiles";
  EXPECT_FALSE(SetupFindNextMatchLineA(&next, "AddReg", &next));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LINE_NOT_FOUND));

  ASSERT_TRUE(SetupFindNextLine(&context, &next));
  ASSERT_TRUE(SetupGetStringFieldA(&next, 0, value, sizeof value, nullptr));
  EXPECT_STREQ(value, "CopyFiles");
  ASSERT_TRUE(SetupFindNextLine(&next, &next));
  EXPECT_FALSE(SetupFindNextLine(&next, &next)) << "the section's last line";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LINE_NOT_FOUND));
}

TEST_F(InfFiles, StringFieldsReportTheSizeTheyNeed) {
  ASSERT_NE(Open(std::string(kHeader) + "[S]\r\nkey = value\r\n"), INVALID_HANDLE_VALUE);
  INFCONTEXT context;
  ASSERT_TRUE(SetupFindFirstLineA(inf_, "S", "key", &context));
  DWORD required = 0;
  ASSERT_TRUE(SetupGetStringFieldA(&context, 1, nullptr, 0, &required)) << "a size query alone succeeds";
  EXPECT_EQ(required, sizeof "value");
  char buffer[16];
  EXPECT_FALSE(SetupGetStringFieldA(&context, 1, buffer, required - 1, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_TRUE(SetupGetStringFieldA(&context, 1, buffer, required, nullptr));
  EXPECT_STREQ(buffer, "value");

  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupGetStringFieldA(&context, 2, buffer, sizeof buffer, nullptr)) << "no second field";
  if (!UnderWine()) {  // Wine leaves the last error at 0
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
}

TEST_F(InfFiles, IntegerFields) {
  ASSERT_NE(Open(std::string(kHeader) + "[S]\r\n42 = 17, 0x1F, , word, -3\r\n"), INVALID_HANDLE_VALUE);
  INFCONTEXT context;
  ASSERT_TRUE(SetupFindFirstLineA(inf_, "S", "42", &context));
  INT value = -1;
  ASSERT_TRUE(SetupGetIntField(&context, 0, &value));
  EXPECT_EQ(value, 42) << "the key";
  ASSERT_TRUE(SetupGetIntField(&context, 1, &value));
  EXPECT_EQ(value, 17);
  ASSERT_TRUE(SetupGetIntField(&context, 2, &value));
  EXPECT_EQ(value, 0x1F);
  ASSERT_TRUE(SetupGetIntField(&context, 3, &value));
  EXPECT_EQ(value, 0) << "an empty field";
  ASSERT_TRUE(SetupGetIntField(&context, 5, &value));
  EXPECT_EQ(value, -3);
  EXPECT_FALSE(SetupGetIntField(&context, 4, &value));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
}

TEST_F(InfFiles, ActualSectionTakesThePlatformDecorationFirst) {
  std::string both = std::string(kHeader) + "[Both" + kPlatformDecoration + "]\r\n[Both.NT]\r\n[Both]\r\n";
  ASSERT_NE(Open(both + "[NtOnly.NT]\r\n[Plain]\r\n"), INVALID_HANDLE_VALUE);
  char section[LINE_LEN];
  DWORD required = 0;
  PSTR extension = nullptr;
  ASSERT_TRUE(SetupDiGetActualSectionToInstallA(inf_, "Both", section, sizeof section, &required, &extension));
  EXPECT_STREQ(section, (std::string("Both") + kPlatformDecoration).c_str());
  EXPECT_EQ(required, std::strlen(section) + 1);
  EXPECT_EQ(extension, section + 4);
  ASSERT_TRUE(SetupDiGetActualSectionToInstallA(inf_, "NtOnly", section, sizeof section, nullptr, &extension));
  EXPECT_STREQ(section, "NtOnly.NT");
  ASSERT_TRUE(SetupDiGetActualSectionToInstallA(inf_, "Plain", section, sizeof section, nullptr, &extension));
  EXPECT_STREQ(section, "Plain");
  EXPECT_EQ(extension, nullptr);
  ASSERT_TRUE(SetupDiGetActualSectionToInstallA(inf_, "Nowhere", section, sizeof section, nullptr, nullptr));
  EXPECT_STREQ(section, "Nowhere") << "a section that does not exist is returned undecorated";

  EXPECT_FALSE(SetupDiGetActualSectionToInstallA(inf_, "NtOnly", section, 5, &required, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(required, sizeof "NtOnly.NT");
}

TEST_F(InfFiles, ClassOfAnInfFromItsVersionSection) {
  const std::string folder = ScratchFolder();
  std::string path = folder + "\\classy.inf";
  WriteFileText(path,
                std::string(kHeader) + "Class=Ports\r\nClassGUID={4D36E978-E325-11CE-BFC1-08002BE10318}\r\n");
  GUID guid = {};
  char name[MAX_PATH];
  DWORD required = 0;
  ASSERT_TRUE(SetupDiGetINFClassA(path.c_str(), &guid, name, sizeof name, &required)) << GetLastError();
  EXPECT_STREQ(name, "Ports");
  EXPECT_EQ(required, sizeof "Ports");
  EXPECT_EQ(guid.Data1, 0x4D36E978u);
  EXPECT_EQ(guid.Data4[7], 0x18);

  std::string named = folder + "\\named.inf";
  WriteFileText(named, std::string(kHeader) + "Class=WinsimNamed\r\n");
  EXPECT_FALSE(SetupDiGetINFClassA(named.c_str(), &guid, name, sizeof "WinsimNamed" - 1, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(required, sizeof "WinsimNamed");

  std::string missing = folder + "\\missing.inf";
  EXPECT_FALSE(SetupDiGetINFClassA(missing.c_str(), nullptr, name, sizeof name, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND))
      << "a missing file comes before a bad argument";
  EXPECT_FALSE(SetupDiGetINFClassA(path.c_str(), nullptr, name, sizeof name, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(InfFiles, BareNamesAreLookedUpInTheInfFolder) {
  char windows[MAX_PATH];
  ASSERT_GT(GetWindowsDirectoryA(windows, sizeof windows), 0u);
  std::string folder = std::string(windows) + "\\inf";
  CreateDirectoryA(folder.c_str(), nullptr);
  const char name[] = "winsimbare.inf";
  std::string path = folder + "\\" + name;
  WriteFileText(path, std::string(kHeader) + "Class=WinsimBare\r\n[Marker]\r\nwhere = inf folder\r\n");

  HINF inf = SetupOpenInfFileA(name, nullptr, INF_STYLE_WIN4, nullptr);
  EXPECT_NE(inf, INVALID_HANDLE_VALUE) << GetLastError();
  if (inf != INVALID_HANDLE_VALUE) {
    INFCONTEXT context;
    EXPECT_TRUE(SetupFindFirstLineA(inf, "Marker", "where", &context));
    SetupCloseInfFile(inf);
  }
  if (!UnderWine()) {  // Wine looks for a bare name only in the current folder
    GUID guid;
    char className[MAX_PATH];
    EXPECT_TRUE(SetupDiGetINFClassA(name, &guid, className, sizeof className, nullptr)) << GetLastError();
    EXPECT_STREQ(className, "WinsimBare");
  }
  EXPECT_TRUE(DeleteFileA(path.c_str()));
}

}  // namespace
