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

constexpr const char *kRoot = "HKEY_LOCAL_MACHINE\\SOFTWARE\\DiffTest";

std::string Diff(const std::string &before, const std::string &after) {
  return DiffReg(ParseRegExport(before), ParseRegExport(after));
}

TEST(RegDiff, NamesNewChangedAndDeletedValuesAndOnlyTheTopOfADeletedTree) {
  const std::string before =
      "REGEDIT4\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\A]\r\n\"Kept\"=\"same\"\r\n\"Changed\"=dword:00000001\r\n\"Gone\"=\"x\"\r\n@="
      "\"d\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\A\\Old]\r\n\"v\"=\"1\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\A\\Old\\Deeper]\r\n\r\n";
  const std::string after =
      "REGEDIT4\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\A]\r\n\"kept\"=\"same\"\r\n\"Changed\"=dword:00000002\r\n\"New\"=hex:01,02\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\A\\Fresh]\r\n\r\n";
  EXPECT_EQ(Diff(before, after),
            "[HKEY_LOCAL_MACHINE\\A]\n\"Changed\"=dword:00000002\n\"New\"=hex:01,02\n\"Gone\"=-\n@=-\n\n"
            "[HKEY_LOCAL_MACHINE\\A\\Fresh]\n\n"
            "[-HKEY_LOCAL_MACHINE\\A\\Old]\n\n");
  EXPECT_EQ(Diff(before, before), "");
}

TEST(RegDiff, KeysFollowTheRegistryOrderLevelByLevel) {
  // By whole text "A B" would come before "A\Z" (blank < backslash); the registry sorts names level
  // by level, so the subkeys of A come first.
  std::string diff = Diff("REGEDIT4\r\n\r\n",
                          "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A B]\r\n\r\n[HKEY_LOCAL_MACHINE\\A\\Z]\r\n\r\n");
  EXPECT_LT(diff.find("[HKEY_LOCAL_MACHINE\\A\\Z]"), diff.find("[HKEY_LOCAL_MACHINE\\A B]")) << diff;
}

TEST(RegDiff, TextOfHexDataIsShownInAComment) {
  std::string diff = Diff("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\r\n",
                          "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"M\"=hex(7):61,00,62,5c,63,00,00\r\n"
                          "\"E\"=hex(2):25,78,25,00\r\n\"L\"=hex(7):61,61,61,61,61,61,61,61,61,61,61,61,\\\r\n"
                          "  62,00,00\r\n");
  EXPECT_NE(diff.find("\"M\"=hex(7):61,00,62,5c,63,00,00\n; REG_MULTI_SZ: \"a\", \"b\\c\"\n"), std::string::npos)
      << diff;
  EXPECT_NE(diff.find("; REG_EXPAND_SZ: \"%x%\"\n"), std::string::npos);
  EXPECT_NE(diff.find("  62,00,00\n; REG_MULTI_SZ: \"aaaaaaaaaaaab\"\n"), std::string::npos)
      << "continued hex lines are read whole";
}

class RegDiffOnTheRegistry : public SimTest {};

TEST_F(RegDiffOnTheRegistry, AppliedToTheStateBeforeItGivesTheStateAfter) {
  winsim::SetString(std::string(kRoot) + "\\Keep", "Name", "value");
  winsim::SetDword(std::string(kRoot) + "\\Keep", "Count", 1);
  winsim::SetValue(std::string(kRoot) + "\\Keep", "", REG_MULTI_SZ, {'a', 0, 'b', 0, 0});
  winsim::CreateKey(std::string(kRoot) + "\\Drop\\Child\\Leaf");
  winsim::SetString(std::string(kRoot) + "\\Drop\\Child", "x", "y");
  const std::string before = winsim::ExportReg(kRoot);

  winsim::SetDword(std::string(kRoot) + "\\Keep", "Count", 2);
  winsim::SetValue(std::string(kRoot) + "\\Keep", "", REG_MULTI_SZ, {'c', 0, 0});
  winsim::SetValue(std::string(kRoot) + "\\Keep", "Long", REG_BINARY, std::vector<BYTE>(100, 0xAB));
  winsim::DeleteTree(std::string(kRoot) + "\\Drop");
  winsim::SetString(std::string(kRoot) + "\\New\\Inner", "Quoted \"name\"", "back\\slash");
  const std::string after = winsim::ExportReg(kRoot);

  const std::string diff = DiffReg(ParseRegExport(before), ParseRegExport(after));
  winsim::DeleteTree(kRoot);
  ASSERT_TRUE(winsim::LoadReg(before));
  std::string error;
  ASSERT_TRUE(winsim::LoadReg("REGEDIT4\r\n\r\n" + diff, &error)) << error << "\n" << diff;
  EXPECT_EQ(winsim::ExportReg(kRoot), after) << diff;
}

TEST(TextDiff, ShowsAddedAndRemovedLinesWithContext) {
  const std::string before = "a\r\nb\r\nc\r\nd\r\ne\r\nf\r\ng\r\n";
  const std::string after = "a\r\nb\r\nc\r\nd\r\ne\r\nf\r\ng\r\n\r\nREM new\r\n";
  EXPECT_EQ(UnifiedDiff(before, after, "F"), "--- F\n+++ F\n@@ -5,3 +5,5 @@\n e\n f\n g\n+\n+REM new\n");
  EXPECT_EQ(UnifiedDiff(after, before, "F"), "--- F\n+++ F\n@@ -5,5 +5,3 @@\n e\n f\n g\n-\n-REM new\n");
  EXPECT_EQ(UnifiedDiff(before, before, "F"), "");
}

TEST(TextDiff, SeparateChangesMakeSeparateHunks) {
  std::string before, after;
  for (int i = 1; i <= 20; ++i) {
    before += "line " + std::to_string(i) + "\r\n";
    after += (i == 2 || i == 18 ? "changed " : "line ") + std::to_string(i) + "\r\n";
  }
  std::string diff = UnifiedDiff(before, after, "F");
  EXPECT_NE(diff.find("@@ -1,5 +1,5 @@\n line 1\n-line 2\n+changed 2\n line 3\n"), std::string::npos) << diff;
  EXPECT_NE(diff.find("@@ -15,6 +15,6 @@\n line 15\n line 16\n line 17\n-line 18\n+changed 18\n"),
            std::string::npos)
      << diff;
}

TEST(TextDiff, LineEndsAndBytesThatDoNotShowAreMarked) {
  EXPECT_EQ(UnifiedDiff(std::string("x\r\n"), std::string("x\n"), "F"),
            "--- F\n+++ F\n@@ -1 +1 @@\n-x\n+x [LF]\n");
  EXPECT_EQ(UnifiedDiff(std::string("x\r\n"), std::string("x\r\ny"), "F"),
            "--- F\n+++ F\n@@ -1 +1,2 @@\n x\n+y\n\\ No newline at end of file\n");
  EXPECT_EQ(UnifiedDiff(std::string(""), std::string("a\0b\r\n", 5), "F"),
            "--- F\n+++ F\n@@ -0,0 +1 @@\n+a\\x00b\n");
  EXPECT_EQ(UnifiedDiff(std::nullopt, std::string(""), "F"), "--- F (no file)\n+++ F\n") << "created empty";
}

}  // namespace
