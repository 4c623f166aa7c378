// Key paths created level by level, default values, key trees deleted depth first, and on them the
// product key's CAPI and Monitor branches and the monitor's entry in the system Run key.
#include <functional>
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

using RegistryUtilsTest = SimTest;

TEST_F(RegistryUtilsTest, CreateKeyPathCreatesEveryLevelAndHandsOutOnlyTheLast) {
  // An empty segment opens the current level once more.
  for (const char *text : {"Software\\ORVIK", "Software\\ORVIK\\", "Software\\\\ORVIK"}) {
    std::string path = text;
    HKEY key = nullptr;
    ASSERT_EQ(CreateKeyPath(HKEY_LOCAL_MACHINE, path.c_str(), &key), SETUP_STATUS_OK) << text;
    EXPECT_TRUE(KeyHandleNames(key, "HKLM\\Software\\ORVIK")) << text;
    RegCloseKey(key);  // the fixture checks that no other handle is left
    EXPECT_EQ(path, text) << "the caller's text must stay as it was";
    EXPECT_EQ(winsim::SubkeyNames("HKLM\\Software"), std::vector<std::string>{"ORVIK"}) << text;
    EXPECT_TRUE(winsim::SubkeyNames("HKLM\\Software\\ORVIK").empty()) << text;
  }

  // A failure leaves the levels created before it, no handle, and the caller's root open.
  HKEY root = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_ALL_ACCESS, &root), ERROR_SUCCESS);
  HKEY key = nullptr;
  winsim::FailNthCall("RegCreateKeyExA", 2, ERROR_ACCESS_DENIED);
  EXPECT_EQ(CreateKeyPath(root, "New\\CAPI\\Deep", &key), SETUP_STATUS_KEY_FAILED);
  EXPECT_TRUE(winsim::KeyExists("HKLM\\Software\\New"));
  EXPECT_FALSE(winsim::KeyExists("HKLM\\Software\\New\\CAPI"));
  winsim::FailNthCall("RegCreateKeyExA", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(CreateKeyPath(root, "Other", &key), SETUP_STATUS_KEY_FAILED);
  EXPECT_TRUE(KeyHandleNames(root, "HKLM\\Software")) << "the root handle was closed";
  RegCloseKey(root);
}

// Every entry point of the library answers a missing text or out-pointer with its own failure,
// before the registry or the counter-text loader is touched.
TEST_F(RegistryUtilsTest, NullArgumentsGiveTheFunctionsFailureAndTouchNothing) {
  winsim::CreateKey("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");
  const std::string before = winsim::ExportReg("HKEY_LOCAL_MACHINE");
  HKEY key = nullptr;
  struct Case {
    const char *call;
    std::function<DWORD()> run;
    DWORD expected;
  };
  const Case cases[] = {
      {"InstallEventLogSource(null source)", [] { return InstallEventLogSource(nullptr, "m.dll", 7); },
       SETUP_STATUS_KEY_FAILED},
      {"InstallEventLogSource(null file)", [] { return InstallEventLogSource("System\\X", nullptr, 7); },
       SETUP_STATUS_KEY_FAILED},
      {"CreateKeyPath(null path)", [&] { return CreateKeyPath(HKEY_LOCAL_MACHINE, nullptr, &key); },
       SETUP_STATUS_KEY_FAILED},
      {"CreateKeyPath(null out)", [] { return CreateKeyPath(HKEY_LOCAL_MACHINE, "Software\\X", nullptr); },
       SETUP_STATUS_KEY_FAILED},
      {"SetKeyDefaultValue(null subkey)",
       [] { return DWORD(SetKeyDefaultValue(HKEY_LOCAL_MACHINE, nullptr, "x")); }, FALSE},
      {"SetKeyDefaultValue(null text)", [] { return DWORD(SetKeyDefaultValue(HKEY_LOCAL_MACHINE, "X", nullptr)); },
       FALSE},
      {"DeleteKeyTree(null path)", [] { return DeleteKeyTree(HKEY_LOCAL_MACHINE, nullptr, TRUE); },
       SETUP_STATUS_KEY_FAILED},
      {"OpenProductCapiKey(null out)", [] { return OpenProductCapiKey(nullptr, "Software\\X"); },
       SETUP_STATUS_KEY_FAILED},
      {"SetMonitorSubkeyValue(null name)",
       [] { return DWORD(SetMonitorSubkeyValue("Software\\X", nullptr, "x")); }, FALSE},
      {"SetMonitorSubkeyValue(null text)",
       [] { return DWORD(SetMonitorSubkeyValue("Software\\X", "n", nullptr)); }, FALSE},
      {"AddRunEntry(null name)", [] { return AddRunEntry(nullptr, "x.exe"); }, SETUP_STATUS_VALUE_WRITE_FAILED},
      {"AddRunEntry(null command)", [] { return AddRunEntry("n", nullptr); }, SETUP_STATUS_VALUE_WRITE_FAILED},
      {"RemoveRunEntry(null name)", [] { return RemoveRunEntry(nullptr); }, SETUP_STATUS_VALUE_DELETE_FAILED},
      {"InstallPerfCounters(null service)",
       [] { return InstallPerfCounters(nullptr, "c.ini", "l.dll", "O", "C", "X"); }, SETUP_STATUS_FAILED},
      {"RemovePerfCounters(null service)", [] { return RemovePerfCounters(nullptr); }, SETUP_STATUS_FAILED},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.run(), c.expected) << c.call;
    EXPECT_EQ(winsim::ExportReg("HKEY_LOCAL_MACHINE"), before) << c.call << " changed the registry";
  }
  EXPECT_EQ(key, nullptr);
  EXPECT_TRUE(winsim::LoadPerfCalls().empty()) << "the counter-text loader was called";
}

const char *kTree =
    "REGEDIT4\n\n"
    "[HKEY_LOCAL_MACHINE\\Software\\T\\A\\B\\C]\n\"v\"=\"1\"\n"
    "[HKEY_LOCAL_MACHINE\\Software\\T\\A\\B2]\n"
    "[HKEY_LOCAL_MACHINE\\Software\\T\\A2]\n@=\"x\"\n"
    "[HKEY_LOCAL_MACHINE\\Software\\T2]\n";

TEST_F(RegistryUtilsTest, DeleteKeyTreeDeletesDepthFirstAndStopsAtTheFirstRefusal) {
  ASSERT_TRUE(winsim::LoadReg(kTree));
  EXPECT_EQ(DeleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\Missing", FALSE), SETUP_STATUS_KEY_FAILED);
  winsim::DenyAccess("HKLM\\Software\\T\\A\\B", DELETE);
  EXPECT_EQ(DeleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\T", FALSE), SETUP_STATUS_KEY_DELETE_FAILED);
  EXPECT_FALSE(winsim::KeyExists("HKLM\\Software\\T\\A\\B\\C")) << "what was deleted before stays deleted";
  EXPECT_TRUE(winsim::KeyExists("HKLM\\Software\\T\\A\\B"));
  EXPECT_TRUE(winsim::KeyExists("HKLM\\Software\\T\\A\\B2")) << "the walk stops at the refusing key";

  EXPECT_EQ(DeleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\T", TRUE), SETUP_STATUS_OK);
  EXPECT_EQ(winsim::SubkeyNames("HKLM\\Software"), std::vector<std::string>{"T2"});

  // An enumeration that breaks off fails the deletion, though the key itself goes.
  winsim::FailNthCall("RegEnumKeyExA", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(DeleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\T2", FALSE), SETUP_STATUS_KEY_DELETE_FAILED);
  EXPECT_FALSE(winsim::KeyExists("HKLM\\Software\\T2"));
}

TEST_F(RegistryUtilsTest, GrantOpenAccessReportsEachFailureAndFreesTheDescriptor) {
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

const std::string kRunKey = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::string kCapi = "HKLM\\Software\\ORVIK\\CAPI";
const std::string kMonitor = "HKLM\\Software\\ORVIK\\Monitor";

using ProductKeysTest = SimTest;

// SetKeyDefaultValue writes the build number: a subkey's default value, never a named one.
TEST_F(ProductKeysTest, BuildNumberIsSignedDecimalInTheDefaultValueOfItsSubkey) {
  EXPECT_TRUE(WriteBuildNumber("Software\\ORVIK", 1146));
  const auto value = winsim::GetValue(kCapi + "\\BuildNumber", "");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(std::string(value->data.begin(), value->data.end()), std::string("1146", 5));
  EXPECT_FALSE(winsim::GetValue(kCapi, "BuildNumber").has_value());
  EXPECT_TRUE(WriteBuildNumber("Software\\ORVIK", -2147483647 - 1));
  EXPECT_EQ(winsim::GetString(kCapi + "\\BuildNumber", ""), std::optional<std::string>("-2147483648"));

  winsim::FailCallsMatching("RegSetValueExA", "BuildNumber", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(WriteBuildNumber("Software\\ORVIK", 1146)) << "the value could not be written";

  // A branch that cannot be created gives no handle; the levels created on the way stay.
  winsim::DeleteTree("HKLM\\Software\\ORVIK");
  winsim::FailCallsMatching("RegCreateKeyExA", "ORVIK\\CAPI", ERROR_ACCESS_DENIED);
  HKEY key = nullptr;
  EXPECT_EQ(OpenProductCapiKey(&key, "Software\\ORVIK"), SETUP_STATUS_KEY_FAILED);
  EXPECT_EQ(key, nullptr);
  EXPECT_FALSE(WriteBuildNumber("Software\\ORVIK", 1146));
  EXPECT_TRUE(winsim::KeyExists("HKLM\\Software\\ORVIK"));
}

TEST_F(ProductKeysTest, MonitorBranchHoldsTheToolInItsRunSubkeyAndTheStatisticProgram) {
  EXPECT_TRUE(SetMonitorSubkeyValue("Software\\ORVIK", "MotherInLaw", "C:\\Tools\\onltool.exe"));
  EXPECT_EQ(winsim::GetString(kMonitor + "\\Run", "MotherInLaw"),
            std::optional<std::string>("C:\\Tools\\onltool.exe"));
  EXPECT_TRUE(SetStatisticProgram("mmc.exe /s \"C:\\x\\linkperf.msc\""));
  EXPECT_EQ(winsim::GetString(kMonitor + "\\StatisticProgram", ""),
            std::optional<std::string>("mmc.exe /s \"C:\\x\\linkperf.msc\""));

  // The statistics program's flag says only that the Monitor key could be opened.
  winsim::FailCallsMatching("RegSetValueExA", "StatisticProgram", ERROR_ACCESS_DENIED);
  EXPECT_TRUE(SetStatisticProgram("other"));
  winsim::FailCallsMatching("RegSetValueExA", "Monitor\\Run\\MotherInLaw", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(SetMonitorSubkeyValue("Software\\ORVIK", "MotherInLaw", "x"));
  winsim::FailCallsMatching("RegCreateKeyExA", "Monitor\\Run", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(SetMonitorSubkeyValue("Software\\ORVIK", "MotherInLaw", "x"));
  winsim::FailCallsMatching("RegCreateKeyExA", "ORVIK\\Monitor", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(SetStatisticProgram("other"));
  EXPECT_FALSE(SetMonitorSubkeyValue("Software\\ORVIK", "MotherInLaw", "x"));
  EXPECT_EQ(winsim::GetString(kMonitor + "\\Run", "MotherInLaw"),
            std::optional<std::string>("C:\\Tools\\onltool.exe"));
}

TEST_F(ProductKeysTest, RunEntryNeedsAnExistingRunKey) {
  EXPECT_EQ(AddRunEntry("ONLMonitor", "C:\\Tools\\onlmon.exe"), SETUP_STATUS_KEY_FAILED);
  EXPECT_FALSE(winsim::KeyExists(kRunKey)) << "the Run key is opened, never created";
  EXPECT_EQ(RemoveRunEntry("ONLMonitor"), SETUP_STATUS_KEY_FAILED);

  winsim::CreateKey(kRunKey);
  EXPECT_EQ(AddRunEntry("ONLMonitor", "C:\\Tools\\onlmon.exe"), SETUP_STATUS_OK);
  EXPECT_EQ(winsim::GetString(kRunKey, "ONLMonitor"), std::optional<std::string>("C:\\Tools\\onlmon.exe"));
  EXPECT_EQ(RemoveRunEntry("ONLMonitor"), SETUP_STATUS_OK);
  EXPECT_FALSE(winsim::GetValue(kRunKey, "ONLMonitor").has_value());
  EXPECT_EQ(RemoveRunEntry("ONLMonitor"), SETUP_STATUS_VALUE_DELETE_FAILED);
  winsim::FailCallsMatching("RegSetValueExA", "ONLMonitor", ERROR_ACCESS_DENIED);
  EXPECT_EQ(AddRunEntry("ONLMonitor", "C:\\Tools\\onlmon.exe"), SETUP_STATUS_VALUE_WRITE_FAILED);
}

}  // namespace
