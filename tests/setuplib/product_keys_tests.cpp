// The product key's CAPI and Monitor branches and the monitor's entry in the system Run key.
#include <string>

#include "setuplib.h"
#include "sim_fixture.h"

namespace {

const std::string kRunKey = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::string kCapi = "HKLM\\Software\\ORVIK\\CAPI";
const std::string kMonitor = "HKLM\\Software\\ORVIK\\Monitor";

using ProductKeysTest = SimTest;

TEST_F(ProductKeysTest, BuildNumberIsSignedDecimalInTheDefaultValueOfItsSubkey) {
  EXPECT_TRUE(WriteBuildNumber("Software\\ORVIK", 1146));
  const auto value = winsim::GetValue(kCapi + "\\BuildNumber", "");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(std::string(value->data.begin(), value->data.end()), std::string("1146", 5));
  EXPECT_TRUE(WriteBuildNumber("Software\\ORVIK", -2147483647 - 1));
  EXPECT_EQ(winsim::GetString(kCapi + "\\BuildNumber", ""), std::optional<std::string>("-2147483648"));

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
