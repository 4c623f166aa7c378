// The CAPI support block in autoexec.nt, byte for byte: what one edit leaves, and what a failed
// one does not change.
#include <functional>
#include <optional>
#include <string>

#include "setuplib.h"
#include "sim_fixture.h"

namespace {

const std::string kFile = "C:\\WINDOWS\\system32\\autoexec.nt";
const std::string B = "REM Install CAPI support\r\nlh %SystemRoot%\\system32\\capidos\r\n";
const std::string kAdded = "\r\n" + B + "\r\n";  // what an add appends
const std::string kLower = "rem install capi support\r\nlh %SystemRoot%\\system32\\capidos\r\n";
const std::string kLfOnly = "REM Install CAPI support\nlh %SystemRoot%\\system32\\capidos\n";
const std::string kZeroInside = std::string("x\0y\r\n", 5) + B + "z";

using AutoexecTest = SimTest;

TEST_F(AutoexecTest, EachEditLeavesTheFileItMust) {
  struct Edit {
    std::optional<std::string> before;  // nullopt: no file yet
    DWORD mode;
    std::string after;
  };
  const DWORD add = AUTOEXEC_MODE_ADD, remove = AUTOEXEC_MODE_REMOVE;
  const Edit edits[] = {
      {std::nullopt, add, kAdded},
      {std::nullopt, remove, ""},
      // Every copy goes with the blank lines in front of it; the file is cut after the text.
      {"a\r\n\r\n" + B + "b\r\n\r\n\r\n" + B, remove, "a\r\nb\r\n"},
      {B + "rest\r\n", remove, "rest\r\n"},  // nothing to walk back over at the start
      {"\r\n\r\n" + B, remove, "\r\n"},
      {"echo off" + B + "more\r\n", remove, "echo offmore\r\n"},
      // Only exact copies with whole CR LF pairs count.
      {kLower + kLfOnly, remove, kLower + kLfOnly},
      {kLower, add, kLower + kAdded},
      {"a\r\n\n" + B, remove, "a\r\n\n"},
      // A zero byte ends the search, not the file.
      {"a\r\n" + B + kZeroInside, remove, "a\r\n" + kZeroInside},
      // Adding again keeps one block; a removal leaves one blank line, stable from then on.
      {"a\r\n" + kAdded, add, "a\r\n\r\n" + kAdded},
      {"a\r\n\r\n" + kAdded, remove, "a\r\n\r\n"},
      // Any mode but add removes.
      {"a\r\n" + kAdded, 2, "a\r\n\r\n"},
      {"a\r\n" + kAdded, 0xFFFFFFFF, "a\r\n\r\n"},
  };
  for (const Edit &edit : edits) {
    SCOPED_TRACE(testing::PrintToString(edit.before.value_or("<no file>")) + " mode " + std::to_string(edit.mode));
    winsim::RemoveFile(kFile);
    if (edit.before) winsim::PutFile(kFile, *edit.before);
    EXPECT_EQ(EditAutoexecNt(edit.mode), SETUP_STATUS_OK);
    EXPECT_EQ(winsim::GetFile(kFile).value_or("<no file>"), edit.after);
  }
}

TEST_F(AutoexecTest, FailedEditLeavesTheFileUnchanged) {
  struct Failure {
    const char *what;
    std::function<void()> arrange;
    DWORD status;
  };
  const Failure failures[] = {
      {"no memory is no failure", [] { winsim::FailNthCall("GlobalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY); },
       SETUP_STATUS_OK},
      {"read", [] { winsim::FailNthCall("ReadFile", 1, ERROR_READ_FAULT); }, SETUP_STATUS_FAILED},
      {"size", [] { winsim::FailNthCall("GetFileSize", 1, ERROR_ACCESS_DENIED); }, SETUP_STATUS_FAILED},
      {"open", [] { winsim::FailNthCall("CreateFileA", 1, ERROR_ACCESS_DENIED); }, SETUP_STATUS_FILE_FAILED},
  };
  const std::string before = "a\r\n" + B;
  winsim::PutFile(kFile, before);
  for (const Failure &failure : failures) {
    SCOPED_TRACE(failure.what);
    failure.arrange();
    EXPECT_EQ(EditAutoexecNt(AUTOEXEC_MODE_ADD), failure.status);
    winsim::ClearFaults();
  }
  // Another program that has the file open, even sharing it for reading and writing: the edit
  // opens it without sharing, so that nobody reads or writes it half-done.
  HANDLE holder = CreateFileA(kFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_EQ(EditAutoexecNt(AUTOEXEC_MODE_REMOVE), SETUP_STATUS_FILE_FAILED);
  CloseHandle(holder);
  EXPECT_EQ(winsim::GetFile(kFile), std::optional<std::string>(before));

  // The file's path fills the 259 characters of a path at most; a longer one is not opened.
  for (size_t length : {238, 239}) {
    const std::string windows = "C:\\" + std::string(length - 3, 'w'), file = windows + "\\system32\\autoexec.nt";
    winsim::PutFile(windows + "\\system32\\config.nt", "");
    winsim::SetWindowsDirectory(windows);
    EXPECT_EQ(EditAutoexecNt(AUTOEXEC_MODE_ADD), length == 238 ? SETUP_STATUS_OK : SETUP_STATUS_FILE_FAILED);
    EXPECT_EQ(winsim::GetFile(file).value_or("<no file>"), length == 238 ? kAdded : "<no file>");
  }
}

}  // namespace
