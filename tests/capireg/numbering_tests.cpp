// Controller numbering under SOFTWARE\CAPI20: manufacturer keys, allocation with reclaim of
// absent devices' numbers, the prune of orphaned numbers, release, and the channel count.
#include <capireg.h>

#include <algorithm>
#include <map>
#include <vector>

#include "capi_devices.h"
#include "sim_fixture.h"

using namespace capitest;

namespace {

const char *const kMaker = "ORVIK AG";

class NumberingTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    winsim::AddSetupClass(kIsdnClass, "ORVIK");
    winsim::AddSetupClass(kOtherClass, "Net");
    installing_ = AddAdapter("ROOT\\ORVIK\\0099", true, std::nullopt);
  }

  struct Allocation {
    BOOL ok = FALSE;
    DWORD number = 0;
    std::string deviceName;
  };
  Allocation Allocate() {
    ClassElement element(installing_);
    Allocation result;
    char name[MAX_PATH] = "";
    result.ok = AllocateController(element.device(), kMaker, name, sizeof(name), &result.number);
    result.deviceName = name;
    return result;
  }
  void Prune() {
    ClassElement element(installing_);
    PruneOrphanControllers(element.device(), kMaker);
  }
  std::vector<std::string> Controllers(int m = 1) { return winsim::SubkeyNames(ManufacturerKey(m)); }

  // No device that still exists may lose its controller key, and no two devices share one.
  void ExpectHeldNumbersKept(const std::vector<std::string> &devices, int m = 1) {
    std::map<DWORD, std::string> owners;
    for (const auto &id : devices) {
      auto held = HeldNumber(id);
      if (!held) continue;
      EXPECT_TRUE(winsim::KeyExists(ControllerKey(m, *held))) << id << " lost controller key " << *held;
      EXPECT_TRUE(owners.emplace(*held, id).second) << id << " and " << owners[*held] << " share " << *held;
    }
  }

  std::string installing_;
};

using Names = std::vector<std::string>;

// ---- Manufacturer keys ----

TEST_F(NumberingTest, FirstAllocationOnAnEmptyRegistry) {
  const Allocation got = Allocate();
  EXPECT_TRUE(got.ok);
  EXPECT_EQ(got.number, 1u);
  EXPECT_EQ(got.deviceName, "CAPI201");
  EXPECT_EQ(winsim::GetString(ManufacturerKey(1), "Manufacturer"), kMaker);
  EXPECT_EQ(winsim::GetString(ManufacturerKey(1), "DeviceName"), "CAPI201");
  EXPECT_EQ(winsim::GetDword(ManufacturerKey(1), "NumberOfControllers"), 1u);
  EXPECT_EQ(Controllers(), Names{"1"});
}

TEST_F(NumberingTest, NewManufacturerTakesTheLowestFreeKey) {
  AddManufacturer(1, "Other One", 0);
  AddManufacturer(3, "Other Three", 0, {1});
  const Allocation got = Allocate();
  EXPECT_EQ(got.deviceName, "CAPI202");
  EXPECT_EQ(winsim::GetString(ManufacturerKey(2), "Manufacturer"), kMaker);
  EXPECT_EQ(Controllers(2), Names{"1"});
  EXPECT_EQ(winsim::GetDword(ManufacturerKey(3), "NumberOfControllers"), 0u) << "another manufacturer was touched";
  EXPECT_EQ(Controllers(3), Names{"1"});
}

TEST_F(NumberingTest, ManufacturerNameIsMatchedIgnoringCaseWithinItsData) {
  AddManufacturer(1, "orvik ag", 0);
  EXPECT_EQ(Allocate().deviceName, "CAPI201");
  EXPECT_FALSE(winsim::KeyExists(ManufacturerKey(2)));

  winsim::DeleteTree(kCapiRoot);
  // Stored without its terminating zero: still the name.
  winsim::SetValue(ManufacturerKey(1), "Manufacturer", REG_SZ, {'O', 'R', 'V', 'I', 'K', ' ', 'A', 'G'});
  // 260 bytes or more match nothing, even when the text before the first zero is the name.
  std::vector<BYTE> tooLong(260, 'x');
  std::copy(kMaker, kMaker + 9, tooLong.begin());
  winsim::SetValue(ManufacturerKey(2), "Manufacturer", REG_SZ, tooLong);
  HKEY key = nullptr;
  char name[MAX_PATH] = "";
  ASSERT_TRUE(OpenManufacturerKey("Orvik AG", &key, name, sizeof(name)));
  RegCloseKey(key);
  EXPECT_STREQ(name, "1");
  winsim::DeleteTree(ManufacturerKey(1));
  EXPECT_FALSE(OpenManufacturerKey(kMaker, &key, name, sizeof(name)));
  EXPECT_FALSE(OpenManufacturerKey("ORVIK", &key, name, sizeof(name))) << "a prefix matched";
}

TEST_F(NumberingTest, CreateManufacturerKeyUndoesAnIncompleteKey) {
  winsim::FailCallsMatching("RegSetValueExA", "\\DeviceName", ERROR_ACCESS_DENIED);
  HKEY key = nullptr;
  EXPECT_FALSE(CreateManufacturerKey(kMaker, &key));
  EXPECT_TRUE(winsim::KeyExists(kCapiRoot));
  EXPECT_FALSE(winsim::KeyExists(ManufacturerKey(1)));
  winsim::ClearFaults();
  // A manufacturer key without DeviceName makes allocation fail.
  winsim::SetDword(ManufacturerKey(1), "NumberOfControllers", 0);
  winsim::SetString(ManufacturerKey(1), "Manufacturer", kMaker);
  EXPECT_FALSE(Allocate().ok);
}

// ---- Allocation and the move of absent devices ----

TEST_F(NumberingTest, AbsentDevicesNumberIsReclaimedAndItsKeyMovedWithEveryValue) {
  const std::string p1 = AddAdapter("ROOT\\ORVIK\\0001", true, 1);
  const std::string a2 = AddAdapter("ROOT\\ORVIK\\0002", false, 2);
  const std::string p3 = AddAdapter("ROOT\\ORVIK\\0003", true, 3);
  AddManufacturer(1, kMaker, 3, {1, 2, 3});
  const std::string longName(300, 'n');
  std::vector<BYTE> bigData(1000);
  for (size_t i = 0; i < bigData.size(); ++i) bigData[i] = static_cast<BYTE>(i * 7);
  winsim::SetDword(ControllerKey(1, 2), "Channels", 2);
  winsim::SetValue(ControllerKey(1, 2), longName, REG_BINARY, bigData);
  winsim::SetString(ControllerKey(1, 2), "Note", "kept");

  const Allocation got = Allocate();
  EXPECT_TRUE(got.ok);
  EXPECT_EQ(got.number, 2u);
  EXPECT_EQ(HeldNumber(a2), 4u);
  EXPECT_EQ(winsim::GetDword(ControllerKey(1, 4), "Channels"), 2u);
  auto moved = winsim::GetValue(ControllerKey(1, 4), longName);
  ASSERT_TRUE(moved) << "long-named value was dropped";
  EXPECT_EQ(moved->type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(moved->data, bigData);
  EXPECT_EQ(winsim::GetString(ControllerKey(1, 4), "Note"), "kept");
  EXPECT_FALSE(winsim::GetValue(ControllerKey(1, 2), "Channels")) << "key 2 still has the old values";
  EXPECT_EQ(winsim::GetDword(ManufacturerKey(1), "NumberOfControllers"), 4u);
  ExpectHeldNumbersKept({p1, a2, p3});
}

TEST_F(NumberingTest, GapBetweenPresentDevicesIsTaken) {
  AddAdapter("ROOT\\ORVIK\\0001", true, 1);
  AddAdapter("ROOT\\ORVIK\\0003", true, 3);
  AddManufacturer(1, kMaker, 2, {1, 3});
  EXPECT_EQ(Allocate().number, 2u);
  EXPECT_EQ(Controllers(), (Names{"1", "2", "3"}));
}

TEST_F(NumberingTest, OnlyOtherDeviceAbsentGivesUpNumberOne) {
  const std::string absent = AddAdapter("ROOT\\ORVIK\\0001", false, 1);
  AddManufacturer(1, kMaker, 1, {1});
  EXPECT_EQ(Allocate().number, 1u);
  EXPECT_EQ(HeldNumber(absent), 2u);
  EXPECT_EQ(winsim::GetDword(ManufacturerKey(1), "NumberOfControllers"), 2u);
  ExpectHeldNumbersKept({absent});
}

TEST_F(NumberingTest, MoveThatCannotCopyEveryValueLeavesTheAbsentDeviceAlone) {
  AddAdapter("ROOT\\ORVIK\\0001", true, 1);
  const std::string absent = AddAdapter("ROOT\\ORVIK\\0002", false, 2);
  AddManufacturer(1, kMaker, 2, {1, 2});
  winsim::SetDword(ControllerKey(1, 2), "Channels", 2);
  winsim::SetDword(ControllerKey(1, 2), "Extra", 9);
  winsim::FailCallsMatching("RegSetValueExA", "CAPI20\\1\\3\\Extra", ERROR_ACCESS_DENIED);

  EXPECT_EQ(Allocate().number, 3u);
  EXPECT_EQ(HeldNumber(absent), 2u);
  EXPECT_EQ(winsim::GetDword(ControllerKey(1, 2), "Channels"), 2u);
  EXPECT_EQ(winsim::GetDword(ControllerKey(1, 2), "Extra"), 9u);
  EXPECT_FALSE(winsim::GetValue(ControllerKey(1, 3), "Channels")) << "half-moved key left behind";
  ExpectHeldNumbersKept({absent});
}

TEST_F(NumberingTest, WithoutTheClassListNothingIsReclaimedPrunedOrHandedOut) {
  // Any device may store 3 without its key: no number is shown to be free.
  const std::string absent = AddAdapter("ROOT\\ORVIK\\0001", false, 1);
  AddManufacturer(1, kMaker, 5, {1, 2});
  winsim::SetDword(ControllerKey(1, 1), "Channels", 2);
  ClassElement element(installing_);
  winsim::FailCallsMatching("SetupDiGetClassDevsA", "", ERROR_NOT_ENOUGH_MEMORY);
  char name[MAX_PATH] = "";
  DWORD number = 0;
  EXPECT_FALSE(AllocateController(element.device(), kMaker, name, sizeof(name), &number));
  EXPECT_EQ(Controllers(), (Names{"1", "2"})) << "orphan pruned on a guess";
  EXPECT_EQ(winsim::GetDword(ControllerKey(1, 1), "Channels"), 2u);
  winsim::ClearFaults();
  ExpectHeldNumbersKept({absent});
}

TEST_F(NumberingTest, AbsentHolderStaysWhenOnlyThePresentListIsMissing) {
  const std::string absent = AddAdapter("ROOT\\ORVIK\\0001", false, 1);
  AddManufacturer(1, kMaker, 1, {1});
  ClassElement element(installing_);
  HKEY key = nullptr;
  char name[MAX_PATH] = "";
  ASSERT_TRUE(OpenManufacturerKey(kMaker, &key, name, sizeof(name)));
  // The search among present devices fails; the one among all devices would find the holder.
  winsim::FailNthCall("SetupDiGetClassDevsA", 1, ERROR_NOT_ENOUGH_MEMORY);
  DWORD number = 0;
  EXPECT_TRUE(FindFreeController(element.device(), kMaker, key, &number, TRUE));
  RegCloseKey(key);
  EXPECT_EQ(number, 2u);
  EXPECT_EQ(HeldNumber(absent), 1u) << "moved although a present holder could not be ruled out";
  EXPECT_EQ(Controllers(), Names{"1"});
}

// ---- Prune ----

TEST_F(NumberingTest, PruneDeletesEveryOrphanWhateverItsPlace) {
  const std::string present = AddAdapter("ROOT\\ORVIK\\0001", true, 1);
  const std::string absent = AddAdapter("ROOT\\ORVIK\\0004", false, 4);
  AddAdapter("ROOT\\NET\\0000", true, 6, 1, std::nullopt, kOtherClass);
  AddAdapter("ROOT\\ORVIK\\0007", true, 7, 2);
  // 2 and 3 follow each other; "10" comes before "5" in enumeration; 6 belongs to a device of
  // another class; 7 to a device that is not the maker's; "abc" reads as 0.
  AddManufacturer(1, kMaker, 9, {1, 2, 3, 4, 5, 6, 7, 10});
  winsim::CreateKey(ManufacturerKey(1) + "\\abc");
  Prune();
  EXPECT_EQ(Controllers(), (Names{"1", "4"}));
  EXPECT_EQ(winsim::GetDword(ManufacturerKey(1), "NumberOfControllers"), 2u);
  ExpectHeldNumbersKept({present, absent});
}

TEST_F(NumberingTest, PruneReadsKeyNamesAsSignedDecimal) {
  // "abc" reads as 0, held by a device storing 4294967295; "-1" as 4294967295; " +3x" as 3.
  AddAdapter("ROOT\\ORVIK\\0001", true, 0);
  AddAdapter("ROOT\\ORVIK\\0002", true, 4294967295u);
  AddAdapter("ROOT\\ORVIK\\0003", true, 3);
  AddManufacturer(1, kMaker, 0);
  for (const char *name : {"abc", " +3x", "-1", "7", "3 "}) winsim::CreateKey(ManufacturerKey(1) + "\\" + name);
  Prune();
  Names kept = Controllers();
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, (Names{" +3x", "-1", "3 ", "abc"}));
  EXPECT_EQ(winsim::GetDword(ManufacturerKey(1), "NumberOfControllers"), 4u);
}

TEST_F(NumberingTest, UndeletableOrphanEndsThePruneAndIsNotCounted) {
  AddAdapter("ROOT\\ORVIK\\0003", true, 3);
  AddManufacturer(1, kMaker, 3, {1, 2, 3});
  winsim::DenyAccess(ControllerKey(1, 1), DELETE);
  Prune();
  EXPECT_EQ(Controllers(), (Names{"1", "3"}));
  EXPECT_EQ(winsim::GetDword(ManufacturerKey(1), "NumberOfControllers"), 1u);
}

TEST_F(NumberingTest, PruneWithoutManufacturerCreatesOnlyTheRoot) {
  Prune();
  EXPECT_TRUE(winsim::KeyExists(kCapiRoot));
  EXPECT_TRUE(winsim::SubkeyNames(kCapiRoot).empty());
}

// ---- Release ----

TEST_F(NumberingTest, ReleaseOfTheLastControllerRemovesTheManufacturer) {
  AddManufacturer(1, kMaker, 2, {1, 2});
  EXPECT_TRUE(ReleaseController(kMaker, 2));
  EXPECT_EQ(winsim::GetDword(ManufacturerKey(1), "NumberOfControllers"), 1u);
  EXPECT_EQ(Controllers(), Names{"1"});
  EXPECT_TRUE(ReleaseController("orvik ag", 1));
  EXPECT_FALSE(winsim::KeyExists(ManufacturerKey(1)));
  EXPECT_TRUE(winsim::KeyExists(kCapiRoot));
}

TEST_F(NumberingTest, ReleaseCornerCases) {
  // No manufacturer key: 0, and nothing but the root appears.
  EXPECT_FALSE(ReleaseController(kMaker, 1));
  EXPECT_TRUE(winsim::SubkeyNames(kCapiRoot).empty());

  // No count: nothing is deleted.
  AddManufacturer(1, kMaker, std::nullopt, {1});
  EXPECT_TRUE(ReleaseController(kMaker, 1));
  EXPECT_EQ(Controllers(), Names{"1"});

  // The count stops at 0; the manufacturer key stays while a controller key is left.
  winsim::SetDword(ManufacturerKey(1), "NumberOfControllers", 0);
  winsim::CreateKey(ControllerKey(1, 2));
  EXPECT_TRUE(ReleaseController(kMaker, 1));
  EXPECT_EQ(winsim::GetDword(ManufacturerKey(1), "NumberOfControllers"), 0u);
  EXPECT_EQ(Controllers(), Names{"2"});
}

// ---- Channel count ----

TEST_F(NumberingTest, WriteControllerChannelsCopiesWanEndPointsIntoAnExistingKey) {
  const std::string device = AddAdapter("ROOT\\ORVIK\\0001", true, 2, 1, 30);
  const std::string noWan = AddAdapter("ROOT\\ORVIK\\0002", true, 1);
  const std::string released = AddAdapter("ROOT\\ORVIK\\0003", true, 3, 1, 2);
  AddManufacturer(1, "Other", 0, {3});
  AddManufacturer(2, kMaker, 2, {1, 2});
  {
    ClassElement element(device);
    EXPECT_EQ(WriteControllerChannels(element.set(), element.device()), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(winsim::GetDword(ControllerKey(2, 2), "Channels"), 30u);
  }
  {
    ClassElement element(noWan);
    EXPECT_EQ(WriteControllerChannels(element.set(), element.device()), ERROR_DI_DONT_INSTALL);
    EXPECT_FALSE(winsim::GetValue(ControllerKey(2, 1), "Channels"));
  }
  {
    // Number 3 has a key only under another manufacturer: not used, and not created.
    ClassElement element(released);
    EXPECT_EQ(WriteControllerChannels(element.set(), element.device()), ERROR_DI_DONT_INSTALL);
    EXPECT_FALSE(winsim::KeyExists(ControllerKey(2, 3)));
    EXPECT_FALSE(winsim::GetValue(ControllerKey(1, 3), "Channels"));
  }
}

}  // namespace
