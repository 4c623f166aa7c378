// The CAPI support block in autoexec.nt, byte for byte.
#include <string>

#include "setuplib.h"
#include "sim_fixture.h"

namespace {

const std::string kFile = "C:\\WINDOWS\\system32\\autoexec.nt";
const std::string B = "REM Install CAPI support\r\nlh %SystemRoot%\\system32\\capidos\r\n";
const std::string kAdded = "\r\n" + B + "\r\n";  // what an add appends

class AutoexecTest : public SimTest {
 protected:
  // Edits a file that holds `before` and returns what it holds afterwards.
  std::string EditFile(const std::string &before, DWORD mode) {
    winsim::PutFile(kFile, before);
    EXPECT_EQ(EditAutoexecNt(mode), SETUP_STATUS_OK);
    return winsim::GetFile(kFile).value_or("<no file>");
  }
};

TEST_F(AutoexecTest, WithoutFileAddWritesTheBlockAndRemoveCreatesItEmpty) {
  winsim::PutFile("C:\\WINDOWS\\system32\\config.nt", "");  // the folder exists, the file not
  EXPECT_EQ(EditAutoexecNt(AUTOEXEC_MODE_ADD), SETUP_STATUS_OK);
  EXPECT_EQ(winsim::GetFile(kFile), std::optional<std::string>(kAdded));
  EXPECT_EQ(kAdded.size(), 64u);
  winsim::RemoveFile(kFile);
  EXPECT_EQ(EditAutoexecNt(AUTOEXEC_MODE_REMOVE), SETUP_STATUS_OK);
  EXPECT_EQ(winsim::GetFile(kFile), std::optional<std::string>(""));
}

TEST_F(AutoexecTest, RemovalTakesEveryCopyWithItsBlankLinesAndCutsTheFile) {
  EXPECT_EQ(EditFile("a\r\n\r\n" + B + "b\r\n\r\n\r\n" + B, AUTOEXEC_MODE_REMOVE), "a\r\nb\r\n");
  // At the very start there is nothing to walk back over; two bytes do not make a blank line.
  EXPECT_EQ(EditFile(B + "rest\r\n", AUTOEXEC_MODE_REMOVE), "rest\r\n");
  EXPECT_EQ(EditFile("\r\n\r\n" + B, AUTOEXEC_MODE_REMOVE), "\r\n");
  // Text in front of the block on the same line stays, and so does what follows it.
  EXPECT_EQ(EditFile("echo off" + B + "more\r\n", AUTOEXEC_MODE_REMOVE), "echo offmore\r\n");
}

TEST_F(AutoexecTest, OnlyExactCopiesAndWholeLineBreaksCount) {
  const std::string lower = "rem install capi support\r\nlh %SystemRoot%\\system32\\capidos\r\n";
  const std::string lfOnly = "REM Install CAPI support\nlh %SystemRoot%\\system32\\capidos\n";
  EXPECT_EQ(EditFile(lower + lfOnly, AUTOEXEC_MODE_REMOVE), lower + lfOnly);
  EXPECT_EQ(EditFile(lower, AUTOEXEC_MODE_ADD), lower + kAdded);
  EXPECT_EQ(EditFile("a\r\n\n" + B, AUTOEXEC_MODE_REMOVE), "a\r\n\n") << "an LF-only blank line stays";
}

TEST_F(AutoexecTest, ZeroByteEndsTheSearchButNotTheFile) {
  const std::string tail = std::string("x\0y\r\n", 5) + B + "z";
  EXPECT_EQ(EditFile("a\r\n" + B + tail, AUTOEXEC_MODE_REMOVE), "a\r\n" + tail);
}

TEST_F(AutoexecTest, RepeatedAddsKeepOneBlockAndRemovalLeavesOneBlankLine) {
  winsim::PutFile(kFile, "a\r\n");
  AddCapiSupportToAutoexec();
  EXPECT_EQ(winsim::GetFile(kFile), std::optional<std::string>("a\r\n" + kAdded));
  AddCapiSupportToAutoexec();
  EXPECT_EQ(winsim::GetFile(kFile), std::optional<std::string>("a\r\n\r\n" + kAdded));
  RemoveCapiSupportFromAutoexec();
  EXPECT_EQ(winsim::GetFile(kFile), std::optional<std::string>("a\r\n\r\n"));
  AddCapiSupportToAutoexec();
  RemoveCapiSupportFromAutoexec();
  EXPECT_EQ(winsim::GetFile(kFile), std::optional<std::string>("a\r\n\r\n")) << "stable through add and remove";
}

TEST_F(AutoexecTest, FailuresLeaveTheFileUnchanged) {
  const std::string before = "a\r\n" + B;
  winsim::PutFile(kFile, before);

  HANDLE holder =
      CreateFileA(kFile.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_EQ(EditAutoexecNt(AUTOEXEC_MODE_REMOVE), SETUP_STATUS_FILE_FAILED) << "the file is held without sharing";
  CloseHandle(holder);

  winsim::FailNthCall("GlobalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(EditAutoexecNt(AUTOEXEC_MODE_REMOVE), SETUP_STATUS_OK) << "no memory is no failure";

  winsim::FailNthCall("ReadFile", 1, ERROR_READ_FAULT);
  EXPECT_EQ(EditAutoexecNt(AUTOEXEC_MODE_REMOVE), SETUP_STATUS_FAILED);

  EXPECT_EQ(winsim::GetFile(kFile), std::optional<std::string>(before));
}

}  // namespace
