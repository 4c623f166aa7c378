// The report's two diffs: registry changes in .reg syntax (which must turn the state before into
// the state after when applied) and the unified diff of a text file, byte-exact in its line ends.
#include <gtest/gtest.h>

#include "reg_diff.h"
#include "sim_fixture.h"
#include "text_diff.h"

namespace {

using devsim::DiffReg;
using devsim::ParseRegExport;
using devsim::UnifiedDiff;

std::string Diff(const std::string &before, const std::string &after) {
  return DiffReg(ParseRegExport("REGEDIT4\r\n\r\n" + before), ParseRegExport("REGEDIT4\r\n\r\n" + after));
}

TEST(RegDiff, NamesWhatChangedInTheRegistrysOrderAndTheTextOfHexData) {
  const std::string before =
      "[HKEY_LOCAL_MACHINE\\A]\r\n\"Kept\"=\"same\"\r\n\"Changed\"=dword:00000001\r\n\"Gone\"=\"x\"\r\n@=\"d\"\r\n"
      "[HKEY_LOCAL_MACHINE\\A\\Old]\r\n\"v\"=\"1\"\r\n[HKEY_LOCAL_MACHINE\\A\\Old\\Deeper]\r\n";
  // Names compare without letter case; by whole text "A B" would come before "A\Fresh" (blank
  // before backslash), but the registry sorts level by level.
  const std::string after =
      "[HKEY_LOCAL_MACHINE\\A]\r\n\"kept\"=\"same\"\r\n\"Changed\"=dword:00000002\r\n\"New\"=hex:01,02\r\n"
      "[HKEY_LOCAL_MACHINE\\A B]\r\n[HKEY_LOCAL_MACHINE\\A\\Fresh]\r\n";
  EXPECT_EQ(Diff(before, after),
            "[HKEY_LOCAL_MACHINE\\A]\n\"Changed\"=dword:00000002\n\"New\"=hex:01,02\n\"Gone\"=-\n@=-\n\n"
            "[HKEY_LOCAL_MACHINE\\A\\Fresh]\n\n"
            "[-HKEY_LOCAL_MACHINE\\A\\Old]\n\n"
            "[HKEY_LOCAL_MACHINE\\A B]\n\n");
  EXPECT_EQ(Diff(before, before), "");
  EXPECT_EQ(
      Diff("",
           "[HKEY_LOCAL_MACHINE\\A]\r\n\"M\"=hex(7):61,00,62,5c,63,00,00\r\n\"E\"=hex(2):25,78,25,00\r\n"
           "\"L\"=hex(7):61,61,61,61,61,61,61,61,61,61,61,61,\\\r\n  62,00,00\r\n"),
      "[HKEY_LOCAL_MACHINE\\A]\n\"M\"=hex(7):61,00,62,5c,63,00,00\n; REG_MULTI_SZ: \"a\", \"b\\c\"\n"
      "\"E\"=hex(2):25,78,25,00\n; REG_EXPAND_SZ: \"%x%\"\n"
      "\"L\"=hex(7):61,61,61,61,61,61,61,61,61,61,61,61,\\\n  62,00,00\n; REG_MULTI_SZ: \"aaaaaaaaaaaab\"\n\n");
}

using RegDiffOnTheRegistry = SimTest;

TEST_F(RegDiffOnTheRegistry, AppliedToTheStateBeforeItGivesTheStateAfter) {
  const std::string root = "HKEY_LOCAL_MACHINE\\SOFTWARE\\DiffTest";
  winsim::SetString(root + "\\Keep", "Name", "value");
  winsim::SetDword(root + "\\Keep", "Count", 1);
  winsim::SetValue(root + "\\Keep", "", REG_MULTI_SZ, {'a', 0, 'b', 0, 0});
  winsim::CreateKey(root + "\\Drop\\Child\\Leaf");
  winsim::SetString(root + "\\Drop\\Child", "x", "y");
  const std::string before = winsim::ExportReg(root);

  winsim::SetDword(root + "\\Keep", "Count", 2);
  winsim::SetValue(root + "\\Keep", "", REG_MULTI_SZ, {'c', 0, 0});
  winsim::SetValue(root + "\\Keep", "Long", REG_BINARY, std::vector<BYTE>(100, 0xAB));
  winsim::DeleteTree(root + "\\Drop");
  winsim::SetString(root + "\\New\\Inner", "Quoted \"name\"", "back\\slash");
  const std::string after = winsim::ExportReg(root);

  const std::string diff = DiffReg(ParseRegExport(before), ParseRegExport(after));
  winsim::DeleteTree(root);
  ASSERT_TRUE(winsim::LoadReg(before));
  std::string error;
  ASSERT_TRUE(winsim::LoadReg("REGEDIT4\r\n\r\n" + diff, &error)) << error << "\n" << diff;
  EXPECT_EQ(winsim::ExportReg(root), after) << diff;
}

TEST(TextDiff, ShowsChangedLinesInHunksWithContextAndMarksWhatDoesNotShow) {
  std::string lines, changed;
  for (int i = 1; i <= 20; ++i) {
    lines += "line " + std::to_string(i) + "\r\n";
    changed += (i == 2 || i == 18 ? "changed " : "line ") + std::to_string(i) + "\r\n";
  }
  EXPECT_EQ(UnifiedDiff(lines, changed, "F"),
            "--- F\n+++ F\n@@ -1,5 +1,5 @@\n line 1\n-line 2\n+changed 2\n line 3\n line 4\n line 5\n"
            "@@ -15,6 +15,6 @@\n line 15\n line 16\n line 17\n-line 18\n+changed 18\n line 19\n line 20\n");
  EXPECT_EQ(UnifiedDiff(lines, lines + "\r\nREM new\r\n", "F"),
            "--- F\n+++ F\n@@ -18,3 +18,5 @@\n line 18\n line 19\n line 20\n+\n+REM new\n");
  EXPECT_EQ(UnifiedDiff(lines, lines, "F"), "");
  EXPECT_EQ(UnifiedDiff(std::string("x\r\n"), std::string("x\n"), "F"),
            "--- F\n+++ F\n@@ -1 +1 @@\n-x\n+x [LF]\n");
  EXPECT_EQ(UnifiedDiff(std::string("x\r\n"), std::string("x\r\ny"), "F"),
            "--- F\n+++ F\n@@ -1 +1,2 @@\n x\n+y\n\\ No newline at end of file\n");
  EXPECT_EQ(UnifiedDiff(std::string(""), std::string("a\0b\r\n", 5), "F"),
            "--- F\n+++ F\n@@ -0,0 +1 @@\n+a\\x00b\n");
  EXPECT_EQ(UnifiedDiff(std::nullopt, std::string(""), "F"), "--- F (no file)\n+++ F\n") << "created empty";
}

}  // namespace
