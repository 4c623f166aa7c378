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

  winsim::NewDevice keylessDevice;
  keylessDevice.instanceId = "ROOT\\ORVIK\\0001";
  keylessDevice.classGuid = kIsdnClass;
  keylessDevice.withDriverKey = false;
  ClassElement keyless(winsim::AddDevice(keylessDevice));
  EXPECT_FALSE(WriteDeviceController(keyless.set(), keyless.device(), 1)) << "device without driver key";
}

// A device that stores the number but whose key cannot be had a second time, to be handed back,
// leaves the search open: the caller must not take the number for nobody's.
TEST_F(DeviceValuesTest, HolderWhoseKeyCannotBeHadLeavesTheSearchOpen) {
  const std::string id = AddAdapter("ROOT\\ORVIK\\0000", true, 4);
  winsim::FailNthCall("SetupDiOpenDevRegKey", 2, ERROR_ACCESS_DENIED);
  BOOL unavailable = FALSE;
  EXPECT_EQ(Find(id, 4, FALSE, &unavailable), std::nullopt);
  EXPECT_TRUE(unavailable);
}

TEST_F(DeviceValuesTest, MissingOutArgumentsAreRefused) {
  ClassElement element(AddAdapter("ROOT\\ORVIK\\0000", true, 4, 1, 2));
  EXPECT_FALSE(ReadDeviceController(element.set(), element.device(), nullptr));
  EXPECT_FALSE(ReadWanEndPoints(element.set(), element.device(), nullptr));
  EXPECT_FALSE(SetCapiDeviceName(nullptr));
}

}  // namespace
