// Key paths created level by level, default values, and key trees deleted depth first.
#include <string>

#include "setuplib.h"
#include "sim_fixture.h"

namespace {

// Writes a probe value through `key` and tells under which key it landed.
bool KeyHandleNames(HKEY key, const std::string &keyPath) {
  const BYTE probe[] = "probe";
  if (RegSetValueExA(key, "Probe", 0, REG_SZ, probe, sizeof(probe)) != ERROR_SUCCESS) return false;
  return winsim::GetString(keyPath, "Probe") == std::optional<std::string>("probe");
}

using CreateKeyPathTest = SimTest;

TEST_F(CreateKeyPathTest, CreatesEveryLevelAndHandsOutTheLast) {
  char path[] = "Software\\ORVIK";
  HKEY key = nullptr;
  ASSERT_EQ(CreateKeyPath(HKEY_LOCAL_MACHINE, path, &key), SETUP_STATUS_OK);
  EXPECT_TRUE(KeyHandleNames(key, "HKLM\\Software\\ORVIK"));
  RegCloseKey(key);
  EXPECT_STREQ(path, "Software\\ORVIK") << "the caller's text must stay as it was";
}

TEST_F(CreateKeyPathTest, EmptySegmentsReopenTheCurrentLevel) {
  for (const char *path : {"Software\\ORVIK\\", "Software\\\\ORVIK"}) {
    HKEY key = nullptr;
    ASSERT_EQ(CreateKeyPath(HKEY_LOCAL_MACHINE, path, &key), SETUP_STATUS_OK) << path;
    EXPECT_TRUE(KeyHandleNames(key, "HKLM\\Software\\ORVIK")) << path;
    RegCloseKey(key);
    EXPECT_EQ(winsim::SubkeyNames("HKLM\\Software"), std::vector<std::string>{"ORVIK"}) << path;
    EXPECT_TRUE(winsim::SubkeyNames("HKLM\\Software\\ORVIK").empty()) << path;
  }
}

TEST_F(CreateKeyPathTest, FailureLeavesCreatedLevelsAndNoHandle) {
  HKEY root = nullptr;
  ASSERT_EQ(
      RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root, nullptr),
      ERROR_SUCCESS);
  winsim::FailNthCall("RegCreateKeyExA", 2, ERROR_ACCESS_DENIED);
  HKEY key = nullptr;
  EXPECT_EQ(CreateKeyPath(root, "ORVIK\\CAPI\\Deep", &key), SETUP_STATUS_KEY_FAILED);
  EXPECT_TRUE(winsim::KeyExists("HKLM\\Software\\ORVIK"));
  EXPECT_FALSE(winsim::KeyExists("HKLM\\Software\\ORVIK\\CAPI"));

  // A failure on the first level must not close the caller's root either.
  winsim::FailNthCall("RegCreateKeyExA", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(CreateKeyPath(root, "Other", &key), SETUP_STATUS_KEY_FAILED);
  EXPECT_TRUE(KeyHandleNames(root, "HKLM\\Software")) << "the root handle was closed";
  RegCloseKey(root);
}

TEST_F(CreateKeyPathTest, SetKeyDefaultValueWritesOnlyTheSubkeysDefault) {
  HKEY key = nullptr;
  ASSERT_EQ(CreateKeyPath(HKEY_LOCAL_MACHINE, "Software\\ORVIK\\CAPI", &key), SETUP_STATUS_OK);
  EXPECT_TRUE(SetKeyDefaultValue(key, "Version", "3.38"));
  RegCloseKey(key);
  const auto value = winsim::GetValue("HKLM\\Software\\ORVIK\\CAPI\\Version", "");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(std::string(value->data.begin(), value->data.end()), std::string("3.38", 5));
  EXPECT_FALSE(winsim::GetValue("HKLM\\Software\\ORVIK\\CAPI", "Version").has_value());
}

using DeleteKeyTreeTest = SimTest;

const char *kTree =
    "REGEDIT4\n\n"
    "[HKEY_LOCAL_MACHINE\\Software\\T\\A\\B\\C]\n\"v\"=\"1\"\n"
    "[HKEY_LOCAL_MACHINE\\Software\\T\\A\\B2]\n"
    "[HKEY_LOCAL_MACHINE\\Software\\T\\A2]\n@=\"x\"\n"
    "[HKEY_LOCAL_MACHINE\\Software\\T2]\n";

TEST_F(DeleteKeyTreeTest, MissingKeyIsKeyFailed) {
  ASSERT_TRUE(winsim::LoadReg(kTree));
  EXPECT_EQ(DeleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\Missing", FALSE), SETUP_STATUS_KEY_FAILED);
  EXPECT_EQ(winsim::SubkeyNames("HKLM\\Software"), (std::vector<std::string>{"T", "T2"}));
}

TEST_F(DeleteKeyTreeTest, DeletesThreeLevelsAndNothingBeside) {
  ASSERT_TRUE(winsim::LoadReg(kTree));
  EXPECT_EQ(DeleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\T", FALSE), SETUP_STATUS_OK);
  EXPECT_FALSE(winsim::KeyExists("HKLM\\Software\\T"));
  EXPECT_TRUE(winsim::KeyExists("HKLM\\Software\\T2"));
}

TEST_F(DeleteKeyTreeTest, RefusingKeyStopsUntilAccessIsOpened) {
  ASSERT_TRUE(winsim::LoadReg(kTree));
  winsim::DenyAccess("HKLM\\Software\\T\\A\\B", DELETE);
  EXPECT_EQ(DeleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\T", FALSE), SETUP_STATUS_KEY_DELETE_FAILED);
  EXPECT_FALSE(winsim::KeyExists("HKLM\\Software\\T\\A\\B\\C")) << "what was deleted before stays deleted";
  EXPECT_TRUE(winsim::KeyExists("HKLM\\Software\\T\\A\\B"));
  EXPECT_TRUE(winsim::KeyExists("HKLM\\Software\\T\\A\\B2")) << "the walk stops at the refusing key";

  EXPECT_EQ(DeleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\T", TRUE), SETUP_STATUS_OK);
  EXPECT_FALSE(winsim::KeyExists("HKLM\\Software\\T"));
}

TEST_F(DeleteKeyTreeTest, EnumerationErrorFailsEvenThoughTheKeyGoes) {
  ASSERT_TRUE(winsim::LoadReg(kTree));
  winsim::FailNthCall("RegEnumKeyExA", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(DeleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\T2", FALSE), SETUP_STATUS_KEY_DELETE_FAILED);
  EXPECT_FALSE(winsim::KeyExists("HKLM\\Software\\T2")) << "the deletion is tried whatever the enumeration said";
}

TEST_F(DeleteKeyTreeTest, GrantOpenAccessReportsEachFailureAndFreesTheDescriptor) {
  ASSERT_TRUE(winsim::LoadReg(kTree));
  winsim::DenyAccess("HKLM\\Software\\T2", DELETE);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\T2", 0, WRITE_DAC, &key), ERROR_SUCCESS);
  winsim::FailNthCall("LocalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(GrantOpenAccess(key));
  winsim::FailNthCall("RegSetKeySecurity", 1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(GrantOpenAccess(key));
  EXPECT_NE(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\T2"), ERROR_SUCCESS) << "the denial must still hold";
  EXPECT_TRUE(GrantOpenAccess(key));
  RegCloseKey(key);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\T2"), ERROR_SUCCESS);
}

}  // namespace
