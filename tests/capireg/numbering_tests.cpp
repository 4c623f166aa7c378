// Controller numbering under SOFTWARE\CAPI20: manufacturer keys, allocation with reclaim of
// absent devices' numbers, the prune of orphaned numbers, release, and the channel count.
#include <capireg.h>

#include <algorithm>
#include <cctype>
#include <sstream>
#include <vector>

#include "capi_devices.h"
#include "sim_fixture.h"

using namespace capitest;

namespace {

const char *const kMaker = "ORVIK AG";
using Names = std::vector<std::string>;

Names Words(const std::string &text) {
  std::istringstream in(text);
  Names words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

class NumberingTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    NewMachine();
  }
  // A machine with the two classes and the device being installed, which stores no number.
  void NewMachine() {
    winsim::Reset();
    winsim::AddSetupClass(kIsdnClass, "ORVIK");
    winsim::AddSetupClass(kOtherClass, "Net");
    installing_ = AddAdapter("ROOT\\ORVIK\\0099", true, std::nullopt);
  }

  // "1 CAPI201" for number 1 with its device name, "none" when no number was allocated.
  static std::string Allocate(PSP_DEVINFO_DATA device) {
    char name[MAX_PATH] = "";
    DWORD number = 0;
    if (!AllocateController(device, kMaker, name, sizeof(name), &number)) return "none";
    return std::to_string(number) + " " + name;
  }
  // A request's numbering of the device, which stores no number: one look at the class with its
  // present devices, the repair, then the allocation.
  static std::string Request(HDEVINFO set, PSP_DEVINFO_DATA device) {
    HDEVINFO present = SetupDiGetClassDevsA(&device->ClassGuid, nullptr, nullptr, DIGCF_PRESENT);
    capireg::NumberingFacts facts;
    capireg::LearnNumberingFacts(device, present, &facts);
    if (present != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(present);
    PrepareControllers(&facts, set, device, kMaker, nullptr);
    char name[MAX_PATH] = "";
    DWORD number = 0;
    const BOOL allocated = AllocateController(&facts, device, kMaker, name, sizeof(name), &number);
    capireg::ForgetNumberingFacts(&facts);
    return allocated ? std::to_string(number) + " " + name : "none";
  }
  std::vector<std::string> Controllers(int m = 1) { return winsim::SubkeyNames(ManufacturerKey(m)); }

  std::string installing_;
};

// ---- Allocation, prune and release, from the devices and keys a machine has ----
// Devices are words of a letter and the number the device stores: "p" present, "a" absent, "x"
// present with ProductCode 2, "n" present of another class. Controller keys
// of the maker's manufacturer key 1 are their names ("_" for a blank), each with Channels 10 times
// its number as the machine has it; the keys afterwards show where those values went, as
// "name:channels".
struct NumberingCase {
  const char *name;
  const char *devices;
  const char *keys;  // nullptr: the maker has no manufacturer key
  std::optional<DWORD> count;
  // "allocate"; "request": the look and repair before the allocation, then the allocation, on what
  // one request learnt; "reclaim": the search for a free number that may take an absent device's;
  // "prune"; "release N".
  const char *op;
  const char *result;
  const char *keysAfter;  // nullptr: the maker has no manufacturer key any more
  std::optional<DWORD> countAfter;
  const char *devicesAfter;
  const char *failing = nullptr;  // calls of this function whose subject holds `subject` fail
  const char *subject = "";
  const char *failingOnce = nullptr;  // the first call of this function fails
};
void PrintTo(const NumberingCase &c, std::ostream *out) {
  *out << c.name;
}

class Numbering : public NumberingTest, public ::testing::WithParamInterface<NumberingCase> {};

TEST_P(Numbering, EndsWithTheNumbersKeysAndCountOfItsCase) {
  const NumberingCase &c = GetParam();
  std::vector<std::string> ids;
  for (const std::string &word : Words(c.devices)) {
    const DWORD holds = static_cast<DWORD>(std::stoul(word.substr(1)));
    ids.push_back(AddAdapter("ROOT\\ORVIK\\" + std::to_string(ids.size()), word[0] != 'a', holds,
                             word[0] == 'x' ? 2 : 1, std::nullopt, word[0] == 'n' ? kOtherClass : kIsdnClass));
  }
  if (c.keys) AddManufacturer(1, kMaker, c.count);
  for (std::string key : Words(c.keys ? c.keys : "")) {
    std::replace(key.begin(), key.end(), '_', ' ');
    winsim::CreateKey(ManufacturerKey(1) + "\\" + key);
    if (std::isdigit(static_cast<unsigned char>(key[0])) && key.find(' ') == std::string::npos)
      winsim::SetDword(ManufacturerKey(1) + "\\" + key, "Channels", std::stoul(key) * 10);
  }
  ClassElement element(installing_);
  if (c.failing) winsim::FailCallsMatching(c.failing, c.subject, ERROR_ACCESS_DENIED);
  if (c.failingOnce) winsim::FailNthCall(c.failingOnce, 1, ERROR_ACCESS_DENIED);

  std::string result = "done";
  const std::string op = c.op;
  if (op == "allocate") {
    result = Allocate(element.device());
  } else if (op == "request") {
    result = Request(element.set(), element.device());
  } else if (op == "reclaim") {
    HKEY key = nullptr;
    char keyName[MAX_PATH] = "";
    DWORD number = 0;
    result = "none";
    if (OpenManufacturerKey(kMaker, &key, keyName, sizeof(keyName))) {
      if (FindFreeController(element.device(), kMaker, key, &number, TRUE)) result = std::to_string(number);
      RegCloseKey(key);
    }
  } else if (op == "prune") {
    PruneOrphanControllers(element.device(), kMaker);
  } else {
    result = ReleaseController(kMaker, std::stoul(op.substr(8))) ? "1" : "0";
  }
  winsim::ClearFaults();

  EXPECT_EQ(result, c.result);
  if (c.keysAfter == nullptr) {
    EXPECT_FALSE(winsim::KeyExists(ManufacturerKey(1)));
  } else {
    std::string keys;
    for (const std::string &key : Controllers()) {
      const std::optional<DWORD> channels = winsim::GetDword(ManufacturerKey(1) + "\\" + key, "Channels");
      std::string shown = key;
      std::replace(shown.begin(), shown.end(), ' ', '_');
      keys += (keys.empty() ? "" : " ") + shown + (channels ? ":" + std::to_string(*channels) : "");
    }
    EXPECT_EQ(keys, c.keysAfter);
    EXPECT_EQ(winsim::GetDword(ManufacturerKey(1), "NumberOfControllers"), c.countAfter);
    EXPECT_EQ(winsim::GetString(ManufacturerKey(1), "Manufacturer"), kMaker);
  }
  std::string devices;
  for (size_t i = 0; i < ids.size(); ++i) {
    const std::optional<DWORD> held = HeldNumber(ids[i]);
    devices += (i ? " " : "") + std::string(1, Words(c.devices)[i][0]) + (held ? std::to_string(*held) : "-");
  }
  EXPECT_EQ(devices, c.devicesAfter);
  EXPECT_TRUE(winsim::KeyExists(kCapiRoot));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Numbering,
    ::testing::Values(
        NumberingCase{"FirstAllocation", "", nullptr, std::nullopt, "allocate", "1 CAPI201", "1", 1, ""},
        // An absent device's number goes to the new device; its key moves, with its values, to
        // the lowest free number, and the device's value follows.
        NumberingCase{"AbsentHolderMoves", "p1 a2 p3", "1 2 3", 3, "allocate", "2 CAPI201", "1:10 2 3:30 4:20", 4,
                      "p1 a4 p3"},
        NumberingCase{"OnlyOtherDeviceAbsent", "a1", "1", 1, "allocate", "1 CAPI201", "1 2:10", 2, "a2"},
        // The search on its own takes the absent device's number too; the caller makes its key.
        NumberingCase{"SearchReclaimsTheAbsentDevicesNumber", "p1 a2", "1 2", 2, "reclaim", "2", "1:10 3:20", 2,
                      "p1 a3"},
        NumberingCase{"GapBetweenPresentDevices", "p1 p3", "1 3", 2, "allocate", "2 CAPI201", "1:10 2 3:30", 3,
                      "p1 p3"},
        // A move that cannot copy every value is undone; the absent device keeps its number.
        NumberingCase{"MoveThatCannotCopy", "p1 a2", "1 2", 2, "allocate", "3 CAPI201", "1:10 2:20 3", 3, "p1 a2",
                      "RegSetValueExA", "CAPI20\\1\\3\\Channels"},
        // A controller key whose values cannot be sized is not moved: its device keeps it.
        NumberingCase{"MoveOfAKeyThatCannotBeSized", "p1 a2", "1 2", 2, "allocate", "3 CAPI201", "1:10 2:20 3", 3,
                      "p1 a2", nullptr, "", "RegQueryInfoKeyA"},
        // The first absent device (driver key 0002) cannot be moved, its value cannot be rewritten,
        // and keeps 2; the next one moves to 4, which the undone move left free again.
        NumberingCase{"UndoneMoveLeavesItsNumberFree", "p1 a2 a3", "1 2 3", 3, "allocate", "3 CAPI201",
                      "1:10 2:20 3 4:30", 4, "p1 a2 a4", "RegSetValueExA",
                      "\\0002\\VendorSpecific\\CAPI\\Controller"},
        // A stored number whose key cannot be given back is not handed out; the next free one is.
        NumberingCase{"StoredNumberWhoseKeyCannotBeMade", "p1 a2", "1", 1, "allocate", "3 CAPI201", "1:10 3", 2,
                      "p1 a2", "RegCreateKeyExA", "CAPI20\\1\\2"},
        // Without memory for the list of controller keys (16 of 8 bytes) nor their count, no number
        // can be shown to be free among as many as there are keys: the adapters that share 3 stay
        // there until a later request.
        NumberingCase{"SharedNumberWithoutACountOfTheKeys", "p3 a3", "3", 1, "request", "1 CAPI201", "1 3:30", 2,
                      "p3 a3", "LocalAlloc", "128 bytes", "RegQueryInfoKeyA"},
        // Without the class list any device may store a number without its key: none is shown to
        // be free, so nothing is pruned, moved or handed out. The count, raised before the search,
        // stays one above the keys until the next prune.
        NumberingCase{"WithoutTheClassListNothingIsReclaimedPrunedOrHandedOut", "a1", "1 2", 5, "allocate", "none",
                      "1:10 2:20", 3, "a1", "SetupDiGetClassDevsA", ""},
        // The prune deletes every key held by no device of the class with ProductCode 1, wherever
        // it stands in enumeration order ("10" before "5"), and counts the rest.
        NumberingCase{"PruneDeletesEveryOrphan", "p1 a4 n6 x7", "1 2 3 4 5 6 7 10 abc", 9, "prune", "done",
                      "1:10 4:40", 2, "p1 a4 n6 x7"},
        // Names read as signed decimals: "abc" as 0, "-1" as 4294967295, " +3x" and "3 " as 3.
        NumberingCase{"PruneReadsNamesAsSignedDecimals", "p0 p4294967295 p3", "abc _+3x -1 7 3_", 0, "prune",
                      "done", "_+3x -1 3_ abc", 4, "p0 p4294967295 p3"},
        // An odd name (" abc", the first key listed) that the request's first prune could not delete
        // goes in the allocation's prune.
        NumberingCase{"OddOrphanLeftByTheFirstPruneGoesInTheNext", "p1", "_abc 1", 2, "request", "2 CAPI201",
                      "1:10 2", 2, "p1", nullptr, "", "RegDeleteKeyA"},
        // The manufacturer key is made once a number is allocated: one that cannot be made whole
        // refuses the request, and nothing of it is left.
        NumberingCase{"ManufacturerKeyThatCannotBeMadeRefusesTheRequest", "", nullptr, std::nullopt, "request",
                      "none", nullptr, std::nullopt, "", nullptr, "", "RegSetValueExA"},
        NumberingCase{"UndeletableOrphanIsNotCounted", "p3", "1 2 3", 3, "prune", "done", "1:10 3:30", 1, "p3",
                      "RegDeleteKeyA", "CAPI20\\1\\1"},
        NumberingCase{"PruneWithoutManufacturer", "", nullptr, std::nullopt, "prune", "done", nullptr,
                      std::nullopt, ""},
        NumberingCase{"Release", "", "1 2", 2, "release 2", "1", "1:10", 1, ""},
        // The last controller takes the manufacturer key with it; the root stays.
        NumberingCase{"ReleaseOfTheLast", "", "1", 1, "release 1", "1", nullptr, std::nullopt, ""},
        NumberingCase{"ReleaseWithoutManufacturer", "", nullptr, std::nullopt, "release 1", "0", nullptr,
                      std::nullopt, ""},
        NumberingCase{"ReleaseWithoutCount", "", "1", std::nullopt, "release 1", "1", "1:10", std::nullopt, ""},
        // The count stops at 0; the manufacturer key stays while a controller key is left.
        NumberingCase{"ReleaseAtCountZero", "", "1 2", 0, "release 1", "1", "2:20", 0, ""}),
    [](const ::testing::TestParamInfo<NumberingCase> &info) { return std::string(info.param.name); });

// Another program adds a value to the controller key while it moves, one that the buffers sized
// from the key's values before do not hold: a long name and data that fills the data buffer, which
// moves with the rest; or larger data and no memory left to read it, which undoes the move so that
// no value is lost.
TEST_F(NumberingTest, ValueAddedWhileTheControllerMovesIsMovedOrTheMoveUndone) {
  const struct {
    std::string name;
    size_t size;
    bool noMemory;
    const char *result;
    DWORD absentAfter;
  } cases[] = {{std::string(300, 'N'), 256, false, "2 CAPI201", 3}, {"Large", 1000, true, "3 CAPI201", 2}};
  for (const auto &c : cases) {
    NewMachine();
    const std::string absent = AddAdapter("ROOT\\ORVIK\\0001", false, 2);
    AddAdapter("ROOT\\ORVIK\\0002", true, 1);
    AddManufacturer(1, kMaker, 2, {1, 2});
    winsim::SetDword(ControllerKey(1, 2), "Channels", 20);
    const std::vector<BYTE> data(c.size, 7);
    bool added = false;
    winsim::SetCallTrace([&](const std::string &line) {
      if (added || line.rfind("RegEnumValueA " + ControllerKey(1, 2), 0) != 0) return;
      added = true;
      winsim::SetValue(ControllerKey(1, 2), c.name, REG_BINARY, data);
      if (c.noMemory) winsim::FailNthCall("LocalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
    });
    const std::string result = Allocate(ClassElement(installing_).device());
    winsim::SetCallTrace(nullptr);
    ASSERT_TRUE(added) << "the controller key was never read";
    EXPECT_EQ(result, c.result) << c.name;
    EXPECT_EQ(HeldNumber(absent), c.absentAfter) << c.name;
    const std::string key = ControllerKey(1, c.absentAfter);
    EXPECT_EQ(winsim::GetDword(key, "Channels"), 20u) << c.name;
    EXPECT_EQ(winsim::GetValue(key, c.name).value_or(winsim::RegValue{}).data, data) << c.name;
    EXPECT_EQ(Controllers(), (Names{"1", "2", "3"})) << c.name;
    ExpectNoOpenHandles();
  }
}

// ---- Manufacturer keys ----

TEST_F(NumberingTest, ManufacturerIsFoundByItsWholeNameInAnyLetterCase) {
  std::vector<BYTE> padded(259, 'x');  // the name, its terminator, and more: 259 bytes still fit
  std::copy(kMaker, kMaker + 9, padded.begin());
  std::vector<BYTE> tooLong = padded;  // 260 bytes or more match nothing
  tooLong.push_back('x');
  const struct {
    std::vector<BYTE> value;
    bool found;
  } cases[] = {
      {{'o', 'r', 'v', 'i', 'k', ' ', 'a', 'g', 0}, true},
      {{'O', 'R', 'V', 'I', 'K', ' ', 'A', 'G'}, true},
      {padded, true},
      {tooLong, false},
      {{'X', 'R', 'V', 'I', 'K', ' ', 'A', 'G', 0}, false},
      {{'O', 'R', 'V', 'I', 'K', ' ', 'A', 'X', 0}, false},
      {{'O', 'R', 'V', 'I', 'K', 0}, false},
      {{'O', 'R', 'V', 'I', 'K', ' ', 'A', 'G', 'X', 0}, false},
      {{0}, false},
  };
  for (const auto &c : cases) {
    winsim::SetValue(ManufacturerKey(1), "Manufacturer", REG_SZ, c.value);
    HKEY key = nullptr;
    char name[MAX_PATH] = "";
    const std::string text(c.value.begin(), c.value.end());
    EXPECT_EQ(OpenManufacturerKey(kMaker, &key, name, sizeof(name)), c.found) << text.c_str();
    if (c.found) {
      EXPECT_STREQ(name, "1");
      RegCloseKey(key);
    }
  }
}

TEST_F(NumberingTest, NewManufacturerTakesTheLowestFreeKey) {
  AddManufacturer(1, "Other One", 0);
  AddManufacturer(3, "XRVIK AG", 0, {1});
  EXPECT_EQ(Allocate(ClassElement(installing_).device()), "1 CAPI202");
  EXPECT_EQ(winsim::GetString(ManufacturerKey(2), "Manufacturer"), kMaker);
  EXPECT_EQ(Controllers(2), Names{"1"});
  EXPECT_EQ(winsim::GetDword(ManufacturerKey(3), "NumberOfControllers"), 0u) << "another manufacturer was touched";
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
  EXPECT_EQ(Allocate(ClassElement(installing_).device()), "none");
}

TEST_F(NumberingTest, ReleaseOfTheLastUnderARootThatRefusesWritingKeepsTheManufacturer) {
  AddManufacturer(1, kMaker, 1, {1});
  winsim::DenyAccess(kCapiRoot, KEY_SET_VALUE);
  EXPECT_FALSE(ReleaseController(kMaker, 1));
  EXPECT_EQ(Controllers(), Names{});
  EXPECT_EQ(winsim::GetDword(ManufacturerKey(1), "NumberOfControllers"), 0u);
}

// ---- Channel count ----

TEST_F(NumberingTest, WriteControllerChannelsCopiesWanEndPointsIntoAnExistingKey) {
  const std::string device = AddAdapter("ROOT\\ORVIK\\0001", true, 2, 1, 30);
  const std::string noWan = AddAdapter("ROOT\\ORVIK\\0002", true, 1);
  const std::string released = AddAdapter("ROOT\\ORVIK\\0003", true, 3, 1, 2);
  const std::string numberless = AddAdapter("ROOT\\ORVIK\\0004", true, std::nullopt, 1, 2);
  AddManufacturer(1, "Other", 0, {3});
  AddManufacturer(2, kMaker, 2, {0, 1, 2});
  const struct {
    std::string id;
    DWORD status;
  } cases[] = {{device, NO_ERROR},
               {noWan, ERROR_DI_DONT_INSTALL},
               {released, ERROR_DI_DONT_INSTALL},
               {numberless, ERROR_DI_DONT_INSTALL}};
  for (const auto &c : cases) {
    ClassElement element(c.id);
    EXPECT_EQ(WriteControllerChannels(element.set(), element.device()), c.status) << c.id;
  }
  // Number 3 has a key only under another manufacturer: not used, and not created.
  EXPECT_EQ(winsim::GetDword(ControllerKey(2, 2), "Channels"), 30u);
  EXPECT_FALSE(winsim::GetValue(ControllerKey(2, 1), "Channels"));
  EXPECT_FALSE(winsim::GetValue(ControllerKey(2, 0), "Channels")) << "a device without a number took key 0";
  EXPECT_FALSE(winsim::KeyExists(ControllerKey(2, 3)));
  EXPECT_FALSE(winsim::GetValue(ControllerKey(1, 3), "Channels"));
}

}  // namespace
