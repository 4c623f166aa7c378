// The device values that tie an adapter to its controller number: the search by number, the
// count of the maker's devices, the stored number, the channel count and the CAPI device name.
#include <capireg.h>

#include "capi_devices.h"
#include "sim_fixture.h"

using namespace capitest;

namespace {

const HKEY kNoKey = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);

class DeviceValuesTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    winsim::AddSetupClass(kIsdnClass, "ORVIK");
    winsim::AddSetupClass(kOtherClass, "Net");
  }

  // What FindDeviceByController reports for `number`, searched from `installing`'s class: the
  // Controller value read through the key it returned (closing it), or nullopt for no key.
  std::optional<DWORD> Find(const std::string &installing, DWORD number, BOOL presentOnly,
                            BOOL *listUnavailable = nullptr) {
    ClassElement element(installing);
    HKEY key = FindDeviceByController(element.device(), number, presentOnly, listUnavailable);
    if (key == kNoKey) return std::nullopt;
    DWORD stored = 0;
    DWORD size = sizeof(stored);
    EXPECT_EQ(RegQueryValueExA(key, "Controller", nullptr, nullptr, reinterpret_cast<BYTE *>(&stored), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    return stored;
  }
};

TEST_F(DeviceValuesTest, OnlyAdaptersOfTheClassWithProductCodeOneAreFoundAndCounted) {
  const std::string installing = AddAdapter("ROOT\\ORVIK\\0000", true, std::nullopt);
  AddAdapter("ROOT\\ORVIK\\0001", false, 3);
  AddAdapter("ROOT\\ORVIK\\0002", true, 4);
  AddAdapter("ROOT\\NET\\0000", true, 5, 1, std::nullopt, kOtherClass);
  AddAdapter("ROOT\\ORVIK\\0003", true, 6, 2);
  AddAdapter("ROOT\\ORVIK\\0004", true, 7, std::nullopt);
  // ProductCode 1 in 8 bytes does not read as a 32-bit value; in 4 bytes of another type it does.
  winsim::SetValue(CapiKeyOf(AddAdapter("ROOT\\ORVIK\\0005", true, 8, std::nullopt)), "ProductCode", REG_BINARY,
                   {1, 0, 0, 0, 0, 0, 0, 0});
  winsim::SetValue(CapiKeyOf(AddAdapter("ROOT\\ORVIK\\0006", true, 9, std::nullopt)), "ProductCode", REG_BINARY,
                   {1, 0, 0, 0});
  const struct {
    DWORD number;
    BOOL presentOnly;
    std::optional<DWORD> stored;  // the Controller value of the device found
  } cases[] = {{3, TRUE, std::nullopt},
               {3, FALSE, 2},
               {4, TRUE, 3},
               {5, FALSE, std::nullopt},
               {1, FALSE, std::nullopt},
               {6, FALSE, std::nullopt},
               {7, FALSE, std::nullopt},
               {8, FALSE, std::nullopt},
               {9, TRUE, 8}};
  for (const auto &c : cases) {
    BOOL unavailable = TRUE;
    EXPECT_EQ(Find(installing, c.number, c.presentOnly, &unavailable), c.stored) << c.number;
    EXPECT_FALSE(unavailable);
  }
  ClassElement element(installing);
  EXPECT_EQ(CountVendorDevices(element.set(), element.device()), 4u) << "0000, 0001, 0002 and 0006";
}

TEST_F(DeviceValuesTest, FindDeviceByControllerReturnsTheFirstHolderWritable) {
  const std::string first = AddAdapter("ROOT\\ORVIK\\0000", true, 2);
  const std::string second = AddAdapter("ROOT\\ORVIK\\0001", true, 2);
  ClassElement element(first);
  const std::string expectedFirst = element.IdAt(0);
  ASSERT_FALSE(expectedFirst.empty());

  HKEY key = FindDeviceByController(element.device(), 2, TRUE);
  ASSERT_NE(key, kNoKey);
  const DWORD marker = 41;
  EXPECT_EQ(RegSetValueExA(key, "Controller", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&marker), 4),
            ERROR_SUCCESS);
  RegCloseKey(key);
  const std::string other = expectedFirst == first ? second : first;
  EXPECT_EQ(HeldNumber(expectedFirst), 42u) << "the key handed back is not the first holder's";
  EXPECT_EQ(HeldNumber(other), 2u);
}

TEST_F(DeviceValuesTest, FindDeviceByControllerTellsAMissingListApart) {
  const std::string installing = AddAdapter("ROOT\\ORVIK\\0000", true, 1);
  ClassElement element(installing);
  winsim::FailCallsMatching("SetupDiGetClassDevsA", "", ERROR_NOT_ENOUGH_MEMORY);
  BOOL unavailable = FALSE;
  EXPECT_EQ(FindDeviceByController(element.device(), 1, FALSE, &unavailable), kNoKey);
  EXPECT_TRUE(unavailable);
  winsim::ClearFaults();
  winsim::FailNthCall("SetupDiEnumDeviceInfo", 1, ERROR_INVALID_HANDLE);
  unavailable = FALSE;
  EXPECT_EQ(FindDeviceByController(element.device(), 1, FALSE, &unavailable), kNoKey);
  EXPECT_TRUE(unavailable) << "an enumeration that broke off proves nothing";
}

TEST_F(DeviceValuesTest, ControllerIsStoredAsNumberMinusOne) {
  const std::string id = AddAdapter("ROOT\\ORVIK\\0000", true, std::nullopt, std::nullopt);
  ClassElement element(id);
  ASSERT_TRUE(WriteDeviceController(element.set(), element.device(), 1));
  EXPECT_EQ(winsim::GetDword(CapiKeyOf(id), "Controller"), 0u);
  DWORD number = 0;
  EXPECT_TRUE(ReadDeviceController(element.set(), element.device(), &number));
  EXPECT_EQ(number, 1u);
  EXPECT_EQ(Find(id, 1, TRUE), std::nullopt) << "found before ProductCode 1 was set";
  winsim::SetDword(CapiKeyOf(id), "ProductCode", 1);
  EXPECT_EQ(Find(id, 1, TRUE), 0u);

  // A stored value longer than 4 bytes does not read.
  winsim::SetValue(CapiKeyOf(id), "Controller", REG_QWORD, {5, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_FALSE(ReadDeviceController(element.set(), element.device(), &number));
}

TEST_F(DeviceValuesTest, WriteDeviceControllerFailures) {
  winsim::DeviceSpec spec;
  spec.instanceId = "ROOT\\ORVIK\\0000";
  spec.classGuid = kIsdnClass;
  spec.withDriverKey = false;
  const std::string keyless = winsim::AddDevice(spec);
  {
    ClassElement element(keyless);
    EXPECT_FALSE(WriteDeviceController(element.set(), element.device(), 1)) << "device without driver key";
  }
  const std::string id = AddAdapter("ROOT\\ORVIK\\0001", true, std::nullopt, std::nullopt);
  ClassElement element(id);
  winsim::FailCallsMatching("RegSetValueExA", "\\Controller", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(WriteDeviceController(element.set(), element.device(), 3));
  EXPECT_TRUE(winsim::KeyExists(CapiKeyOf(id))) << "the keys made on the way stay";
  EXPECT_FALSE(winsim::GetDword(CapiKeyOf(id), "Controller"));
}

TEST_F(DeviceValuesTest, ReadWanEndPoints) {
  const std::string with = AddAdapter("ROOT\\ORVIK\\0000", true, 1, 1, 2);
  const std::string without = AddAdapter("ROOT\\ORVIK\\0001", true, 2);
  const std::string wide = AddAdapter("ROOT\\ORVIK\\0002", true, 3);
  winsim::SetValue(winsim::DriverKeyPath(wide), "WanEndPoints", REG_BINARY, {2, 0, 0, 0, 0});
  ClassElement element(with);
  DWORD count = 0;
  EXPECT_TRUE(ReadWanEndPoints(element.set(), element.device(), &count));
  EXPECT_EQ(count, 2u);
  ClassElement missing(without);
  EXPECT_FALSE(ReadWanEndPoints(missing.set(), missing.device(), &count));
  ClassElement tooLong(wide);
  EXPECT_FALSE(ReadWanEndPoints(tooLong.set(), tooLong.device(), &count));
}

TEST_F(DeviceValuesTest, SetCapiDeviceNameCreatesTheDriverParameters) {
  ASSERT_FALSE(winsim::KeyExists("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\onlbase"));
  EXPECT_TRUE(SetCapiDeviceName("CAPI201"));
  auto value = winsim::GetValue(kParameters, "CapiDeviceName");
  ASSERT_TRUE(value);
  EXPECT_EQ(value->type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(std::string(value->data.begin(), value->data.end()), std::string("CAPI201", 8)) << "zero counted";

  winsim::FailCallsMatching("RegCreateKeyExA", "onlbase", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(SetCapiDeviceName("CAPI202"));
  EXPECT_EQ(winsim::GetString(kParameters, "CapiDeviceName"), "CAPI201");
}

}  // namespace
