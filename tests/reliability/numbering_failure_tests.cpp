// Keys and values of the numbering that exist but cannot be read: each used to make the
// installation give a second device a number that a device already held. Each must now count as
// taken: the installation then takes another number, or is refused, and nobody's number is lost.
#include "reliability_machine.h"
#include "setuplib.h"

namespace {

using reliability::kAdapterA;
using reliability::kAdapterB;
using reliability::kAdapterC;
using reliability::kOrvikKey;
using reliability::kOtherMaker;

class UnreadableNumbering : public reliability::ReliabilityTest {
 protected:
  void SetUp() override {
    ReliabilityTest::SetUp();
    reliability::BuildRealisticMachine({});
  }

  DWORD InstallC(DWORD *number) {
    winsim::ClearEvents();
    const DWORD status = reliability::PreInstall(kAdapterC, number);
    winsim::ClearFaults();
    return status;
  }

  static std::optional<DWORD> Holds(const std::string &id) { return reliability::ReadNumbering(id).number; }

  // A and B keep their numbers and their controller keys, whatever happened to C.
  static void ExpectOthersKeepTheirNumbers() {
    EXPECT_EQ(Holds(kAdapterA), 1u);
    EXPECT_TRUE(winsim::KeyExists(kOrvikKey + "\\1"));
    const std::optional<DWORD> b = Holds(kAdapterB);
    ASSERT_TRUE(b.has_value());
    EXPECT_EQ(winsim::GetString(kOrvikKey + "\\" + std::to_string(*b), "Line"), "S0 bus, point to multipoint")
        << "B's controller key, wherever it is, keeps its values";
    EXPECT_EQ(reliability::NumberingProblems(reliability::Rules::NoNumberLost), "");
  }
};

TEST_F(UnreadableNumbering, ManufacturerKeyThatCannotBeOpenedStopsANewOneOnlyWhileItMayBeTheMakers) {
  // The search opens manufacturer keys for writing. The maker's own key refused so must not be made
  // a second time (it would number the maker's controllers from 1 again), nor may a key whose
  // Manufacturer cannot be read at all; another maker's key that can still be read stops nothing.
  struct Row {
    std::string key;
    REGSAM denied;
    bool refused;
    std::vector<std::string> manufacturers;  // the manufacturer keys afterwards
  };
  for (const Row &row :
       {Row{kOrvikKey, KEY_SET_VALUE, true, {"1", "2"}}, Row{kOtherMaker, KEY_SET_VALUE, false, {"1", "2"}},
        Row{kOtherMaker, KEY_READ | KEY_SET_VALUE, true, {"1"}}}) {
    reliability::FreshMachine(drive_);
    reliability::BuildRealisticMachine({});
    if (row.key != kOrvikKey) winsim::DeleteTree(kOrvikKey);  // the maker has no key yet
    winsim::DenyAccess(row.key, row.denied);
    DWORD number = 0;
    EXPECT_EQ(InstallC(&number), row.refused ? machine::kDontInstall : machine::kPostprocessingRequired)
        << row.key;
    EXPECT_EQ(winsim::SubkeyNames(machine::kCapi20), row.manufacturers) << row.key;
    EXPECT_EQ(Holds(kAdapterC).has_value(), !row.refused) << row.key;
    if (row.refused) {
      ASSERT_EQ(winsim::Events().size(), 1u);
      EXPECT_EQ(winsim::Events()[0].id, EVENT_ADD_CAPI_DEVICE_FAILED);
    } else {
      EXPECT_EQ(winsim::GetString(kOrvikKey, "Manufacturer"), "ORVIK AG") << "the maker's key was made anew";
      EXPECT_EQ(reliability::NumberingProblems(reliability::Rules::All), "") << "A's and B's keys came back";
    }
  }
}

TEST_F(UnreadableNumbering, ManufacturerListThatBreaksOffIsNotTakenForTheEnd) {
  winsim::FailCallsMatching("RegEnumKeyExA", "SOFTWARE\\CAPI20", ERROR_ACCESS_DENIED);
  DWORD number = 0;
  EXPECT_EQ(InstallC(&number), machine::kDontInstall);
  EXPECT_EQ(winsim::SubkeyNames(machine::kCapi20), (std::vector<std::string>{"1", "2"}));
  ExpectOthersKeepTheirNumbers();
}

TEST_F(UnreadableNumbering, ControllerKeyThatCannotBeOpenedCountsAsTaken) {
  winsim::DenyAccess(kOrvikKey + "\\1", KEY_READ);
  DWORD number = 0;
  ASSERT_EQ(InstallC(&number), machine::kPostprocessingRequired);
  EXPECT_EQ(number, 2u) << "1 is A's; 2 is reclaimed from absent B";
  EXPECT_EQ(Holds(kAdapterB), 3u);
  ExpectOthersKeepTheirNumbers();
}

TEST_F(UnreadableNumbering, SearchForAFreeNumberEndsWhenNoControllerKeyCanBeOpened) {
  // Every controller key, existing or not, refuses to open: no number can be shown to be free.
  winsim::FailCallsMatching("RegOpenKeyExA", kOrvikKey.substr(machine::kHklm.size()) + "\\", ERROR_ACCESS_DENIED);
  DWORD number = 0;
  EXPECT_EQ(InstallC(&number), machine::kDontInstall);
  ASSERT_EQ(winsim::Events().size(), 1u);
  EXPECT_EQ(winsim::Events()[0].id, EVENT_ADD_CAPI_DEVICE_FAILED);
  EXPECT_FALSE(Holds(kAdapterC).has_value());
  ExpectOthersKeepTheirNumbers();
}

TEST_F(UnreadableNumbering, DeviceWhoseValuesCannotBeReadKeepsItsNumber) {
  // A's CAPI key cannot be opened for writing, so no search can tell what A holds.
  winsim::DenyAccess(machine::DeviceCapiKey(kAdapterA), KEY_SET_VALUE);
  DWORD number = 0;
  ASSERT_EQ(InstallC(&number), machine::kPostprocessingRequired);
  EXPECT_EQ(number, 3u) << "neither A's 1 nor B's 2, which A might hold as far as anyone can tell";
  EXPECT_TRUE(winsim::KeyExists(kOrvikKey + "\\5")) << "the orphan stays while A cannot be read";
  EXPECT_EQ(winsim::GetDword(kOrvikKey, "NumberOfControllers"), 4u) << "keys 1, 2 and 5 kept and counted, and C's";
  EXPECT_EQ(Holds(kAdapterB), 2u);
  ExpectOthersKeepTheirNumbers();
}

TEST_F(UnreadableNumbering, AbsentDeviceWhoseNumberCannotBeRewrittenKeepsItsController) {
  winsim::FailCallsMatching("RegSetValueExA", machine::DeviceCapiKey(kAdapterB) + "\\Controller",
                            ERROR_ACCESS_DENIED);
  DWORD number = 0;
  ASSERT_EQ(InstallC(&number), machine::kPostprocessingRequired);
  EXPECT_EQ(number, 3u) << "B could not be moved off 2";
  EXPECT_EQ(Holds(kAdapterB), 2u);
  EXPECT_EQ(winsim::GetDword(kOrvikKey + "\\2", "Channels"), 2u);
  ExpectOthersKeepTheirNumbers();
}

}  // namespace
