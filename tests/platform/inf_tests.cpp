// INF files as the co-installer and the simulator read them, checked through the Win32 API alone:
// the same checks run on the simulated platform and, built as a Windows program, under Wine.
#include <cstring>
#include <string>

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

// The fields of a line, key first, as SetupGetStringFieldA gives them, joined by '|' ("<none>"
// for a field that cannot be read).
std::string FieldsOf(INFCONTEXT *context) {
  std::string fields;
  char buffer[MAX_INF_STRING_LENGTH];
  for (DWORD i = 0; i <= SetupGetFieldCount(context); ++i) {
    if (i) fields += "|";
    fields += SetupGetStringFieldA(context, i, buffer, sizeof buffer, nullptr) ? buffer : "<none>";
  }
  return fields;
}

class InfFiles : public ::testing::Test {
 protected:
  void TearDown() override {
    if (inf_ != INVALID_HANDLE_VALUE) SetupCloseInfFile(inf_);
  }
  // Writes the text to a scratch INF and opens it as a Windows 4 INF.
  HINF Open(const std::string &text) {
    if (inf_ != INVALID_HANDLE_VALUE) SetupCloseInfFile(inf_);
    path_ = ScratchFolder() + "\\test.inf";
    EXPECT_TRUE(PutFile(path_, text));
    inf_ = SetupOpenInfFileA(path_.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    return inf_;
  }
  HINF inf_ = INVALID_HANDLE_VALUE;
  std::string path_;
};

TEST_F(InfFiles, LinesSplitIntoKeyAndFieldsWithStringsSubstituted) {
  ASSERT_NE(Open(CrLf({"[version]", "signature=$WINDOWS NT$", "[Lines]", "plain = one , two,three", "; a comment",
                       "quoted = \"a, b; c\", \"say \"\"hi\"\"\" ; trailing comment", "empty = a,,c,", "lonely",
                       "DriverVer = %Date%, 1.0", "%KeyName% = %Missing%, 100%%", "HKR,,PortSubClass,1,00",
                       "[strings]", "date = \"06/26/2000\"", "KEYNAME = Renamed"})),
            INVALID_HANDLE_VALUE)
      << GetLastError();
  struct Case {
    const char *section, *key, *fields;
  };
  const Case cases[] = {
      {"Lines", "plain", "plain|one|two|three"},
      {"Lines", "quoted", "quoted|a, b; c|say \"hi\""},
      {"Lines", "empty", "empty|a||c|"},
      {"Lines", "lonely", "lonely|lonely"},  // a single field is its own key
      {"LINES", "driverver", "DriverVer|06/26/2000|1.0"},
      {"Lines", "renamed", "Renamed|%Missing%|100%"},  // keys are matched after substitution
  };
  INFCONTEXT context;
  for (const Case &c : cases) {
    ASSERT_TRUE(SetupFindFirstLineA(inf_, c.section, c.key, &context)) << c.key << ": error " << GetLastError();
    EXPECT_EQ(FieldsOf(&context), c.fields) << c.key;
  }
  ASSERT_TRUE(SetupFindNextLine(&context, &context));
  EXPECT_EQ(FieldsOf(&context), "<none>|HKR||PortSubClass|1|00") << "a line of several fields has no key";
}

TEST_F(InfFiles, OpeningFindingAndWalkingReportWhatIsMissing) {
  ASSERT_EQ(Open("[Version]\r\nSignature=\"$Windows 3.1$\"\r\n[Section]\r\na=b\r\n"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRONG_INF_STYLE)) << "a Windows 3.1 INF";
  EXPECT_EQ(SetupOpenInfFileA((ScratchFolder() + "\\missing.inf").c_str(), nullptr, INF_STYLE_WIN4, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "a missing INF";
  ASSERT_NE(Open(std::string(kHeader) + "[Walk]\r\nAddReg = first\r\nCopyFiles = files\r\n[Empty]\r\n"),
            INVALID_HANDLE_VALUE);
  INFCONTEXT context, next;
  char buffer[16];
  DWORD required = 0;
  ExpectRows({
      {"a missing section", ErrorOf(SetupFindFirstLineA(inf_, "NoSuchSection", nullptr, &context)),
       ERROR_LINE_NOT_FOUND},
      {"an empty section", ErrorOf(SetupFindFirstLineA(inf_, "Empty", nullptr, &context)), ERROR_LINE_NOT_FOUND},
      {"a missing key", ErrorOf(SetupFindFirstLineA(inf_, "Walk", "DelReg", &context)), ERROR_LINE_NOT_FOUND},
      {"the first line", ErrorOf(SetupFindFirstLineA(inf_, "Walk", nullptr, &context)), 0},
      {"the size of its field alone", ErrorOf(SetupGetStringFieldA(&context, 1, nullptr, 0, &required)), 0},
      {"the size it tells", required, sizeof "first"},
      {"a buffer one short", ErrorOf(SetupGetStringFieldA(&context, 1, buffer, required - 1, nullptr)),
       ERROR_INSUFFICIENT_BUFFER},
      {"a field the line does not have", SetupGetStringFieldA(&context, 2, buffer, sizeof buffer, nullptr), FALSE},
      {"the next line", ErrorOf(SetupFindNextLine(&context, &next)), 0},
      {"past the last line", ErrorOf(SetupFindNextLine(&next, &next)), ERROR_LINE_NOT_FOUND},
  });
}

TEST_F(InfFiles, ActualSectionTakesThePlatformDecorationFirst) {
  std::string both = std::string(kHeader) + "[Both" + kPlatformDecoration + "]\r\n[Both.NT]\r\n[Both]\r\n";
  ASSERT_NE(Open(both + "[NtOnly.NT]\r\n[Plain]\r\n"), INVALID_HANDLE_VALUE);
  struct Case {
    const char *section;
    std::string actual;
  };
  const Case cases[] = {
      {"Both", std::string("Both") + kPlatformDecoration},
      {"NtOnly", "NtOnly.NT"},
      {"Plain", "Plain"},
      {"Nowhere", "Nowhere"},  // a section that does not exist is returned undecorated
  };
  for (const Case &c : cases) {
    char section[LINE_LEN] = "";
    DWORD required = 0;
    EXPECT_TRUE(SetupDiGetActualSectionToInstallA(inf_, c.section, section, sizeof section, &required, nullptr));
    EXPECT_EQ(std::string(section) + " " + std::to_string(required),
              c.actual + " " + std::to_string(c.actual.size() + 1));
  }
}

TEST_F(InfFiles, ClassOfAnInfAndBareNamesInTheInfFolder) {
  const std::string path = ScratchFolder() + "\\classy.inf";
  EXPECT_TRUE(
      PutFile(path, std::string(kHeader) + "Class=Ports\r\nClassGUID={4D36E978-E325-11CE-BFC1-08002BE10318}\r\n"));
  GUID guid = {};
  char name[MAX_PATH];
  ASSERT_TRUE(SetupDiGetINFClassA(path.c_str(), &guid, name, sizeof name, nullptr)) << GetLastError();
  EXPECT_STREQ(name, "Ports");
  EXPECT_EQ(ErrorOf(SetupDiGetINFClassA((path + ".missing").c_str(), &guid, name, sizeof name, nullptr)),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  char windows[MAX_PATH];
  ASSERT_GT(GetWindowsDirectoryA(windows, sizeof windows), 0u);
  const std::string bare = "winsimbare.inf", inInfFolder = std::string(windows) + "\\inf\\" + bare;
  EXPECT_TRUE(
      PutFile(inInfFolder, std::string(kHeader) + "Class=WinsimBare\r\n[Marker]\r\nwhere = inf folder\r\n"));
  HINF inf = SetupOpenInfFileA(bare.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
  EXPECT_NE(inf, INVALID_HANDLE_VALUE) << "a bare name opens the INF folder's file, error " << GetLastError();
  if (inf != INVALID_HANDLE_VALUE) SetupCloseInfFile(inf);
  const BOOL classRead = SetupDiGetINFClassA(bare.c_str(), &guid, name, sizeof name, nullptr);
  EXPECT_TRUE(DeleteFileA(inInfFolder.c_str()));
  SKIP_UNDER_WINE("SetupDiGetINFClassA looks for a bare name only in the current folder");
  EXPECT_TRUE(classRead);
  EXPECT_STREQ(name, "WinsimBare");
}

}  // namespace
