// Keys and values of the numbering that exist but cannot be read: each used to make the
// installation give a second device a number that a device already held. Each must now count as
// taken: the installation then takes another number, or is refused, and nobody's number is lost.
#include <functional>

#include "reliability_machine.h"
#include "setuplib.h"

namespace {

using reliability::kAdapterA;
using reliability::kAdapterB;
using reliability::kAdapterC;
using reliability::kOrvikKey;
using reliability::kOtherMaker;

struct UnreadableCase {
  const char *name;
  std::function<void()> arrange;  // on the realistic machine: A holds 1, B (absent) 2, key 5 is nobody's
  DWORD number;                   // the number C gets; 0: the installation is refused with event 2003
  std::vector<std::string> manufacturers;
  // What holds afterwards; only no two adapters on one number where C's installation cannot give
  // the machine's lost keys back.
  reliability::Rules rules = reliability::Rules::NoNumberLost;
};
void PrintTo(const UnreadableCase &c, std::ostream *out) {
  *out << c.name;
}

class UnreadableNumbering : public reliability::ReliabilityTest,
                            public ::testing::WithParamInterface<UnreadableCase> {};

TEST_P(UnreadableNumbering, CountsAsTakenAndNobodysNumberIsLost) {
  const UnreadableCase &c = GetParam();
  reliability::BuildRealisticMachine({});
  c.arrange();
  const std::string valuesA = reliability::ControllerValues(kAdapterA);
  const std::string valuesB = reliability::ControllerValues(kAdapterB);
  const std::optional<DWORD> a = reliability::ReadNumbering(kAdapterA).number;
  DWORD number = 0;
  const DWORD status = reliability::PreInstall(kAdapterC, &number);
  winsim::ClearFaults();

  EXPECT_EQ(status, c.number ? machine::kPostprocessingRequired : machine::kDontInstall);
  EXPECT_EQ(reliability::ReadNumbering(kAdapterC).number.value_or(0), c.number);
  if (c.number == 0) {
    ASSERT_EQ(winsim::Events().size(), 1u);
    EXPECT_EQ(winsim::Events()[0].id, EVENT_ADD_CAPI_DEVICE_FAILED);
  }
  EXPECT_EQ(winsim::SubkeyNames(machine::kCapi20), c.manufacturers);
  // A keeps its number, A and B the values of their controller keys, wherever B's is now; nobody
  // shares a number or lost its key.
  EXPECT_EQ(reliability::ReadNumbering(kAdapterA).number, a);
  EXPECT_EQ(reliability::ControllerValues(kAdapterA), valuesA);
  EXPECT_EQ(reliability::ControllerValues(kAdapterB), valuesB);
  EXPECT_EQ(reliability::NumberingProblems(c.rules), "");
}

const std::vector<std::string> kBoth = {"1", "2"};

// A and C store 4, which has no controller key.
void BothStoreFour() {
  winsim::SetDword(machine::DeviceCapiKey(kAdapterA), "Controller", 3);
  winsim::SetDword(machine::DeviceCapiKey(kAdapterC), "Controller", 3);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnreadableNumbering,
    ::testing::Values(
        // Manufacturer keys are opened for writing. The maker's own key refused so must not be
        // made a second time (it would number the maker's controllers from 1 again), nor may a key
        // whose Manufacturer cannot be read; another maker's key that can be read stops nothing.
        UnreadableCase{"MakersKeyRefused", [] { winsim::DenyAccess(kOrvikKey, KEY_SET_VALUE); }, 0, kBoth},
        UnreadableCase{"OtherMakersKeyRefused",
                       [] {
                         winsim::DeleteTree(kOrvikKey);
                         winsim::DenyAccess(kOtherMaker, KEY_SET_VALUE);
                       },
                       2, kBoth},
        UnreadableCase{"UnreadableKeyMayBeTheMakers",
                       [] {
                         winsim::DeleteTree(kOrvikKey);
                         winsim::DenyAccess(kOtherMaker, KEY_READ | KEY_SET_VALUE);
                       },
                       0,
                       {"1"},
                       reliability::Rules::NoSharedNumber},
        UnreadableCase{"ManufacturerListBreaksOff",
                       [] { winsim::FailCallsMatching("RegEnumKeyExA", "SOFTWARE\\CAPI20", ERROR_ACCESS_DENIED); },
                       0, kBoth},
        // 1 is A's; 2 is reclaimed from absent B, which moves to 3.
        UnreadableCase{"ControllerKeyCannotBeOpened", [] { winsim::DenyAccess(kOrvikKey + "\\1", KEY_READ); }, 2,
                       kBoth},
        // No controller key, existing or not, opens: no number can be shown to be free.
        UnreadableCase{"NoControllerKeyOpens",
                       [] {
                         winsim::FailCallsMatching("RegOpenKeyExA", kOrvikKey.substr(machine::kHklm.size()) + "\\",
                                                   ERROR_ACCESS_DENIED);
                       },
                       0, kBoth},
        // A's values cannot be read: neither A's 1 nor B's 2 is taken, nor the orphan 5 pruned.
        UnreadableCase{"DeviceKeyCannotBeOpened",
                       [] { winsim::DenyAccess(machine::DeviceCapiKey(kAdapterA), KEY_SET_VALUE); }, 3, kBoth},
        // A stores 4, which has no key, but its value cannot be read: C, storing 4 too, must not
        // take it again.
        UnreadableCase{"StoredNumberAnotherMayHold",
                       [] {
                         BothStoreFour();
                         winsim::FailCallsMatching("RegQueryValueExA",
                                                   machine::DeviceCapiKey(kAdapterA) + "\\Controller",
                                                   ERROR_ACCESS_DENIED);
                       },
                       3, kBoth, reliability::Rules::NoSharedNumber},
        // The same when A's driver key cannot be opened.
        UnreadableCase{"StoredNumberAnotherMayHoldUnderAnUnopenableKey",
                       [] {
                         BothStoreFour();
                         winsim::FailCallsMatching("SetupDiOpenDevRegKey", kAdapterA, ERROR_ACCESS_DENIED);
                       },
                       3, kBoth, reliability::Rules::NoSharedNumber},
        // The maker's key is gone and a new one cannot be made, under a root that refuses writing or
        // in its place: refused, nothing made up.
        UnreadableCase{"CapiRootRefusesWriting",
                       [] {
                         winsim::DeleteTree(kOrvikKey);
                         winsim::DenyAccess(machine::kCapi20, KEY_SET_VALUE);
                       },
                       0,
                       {"1"},
                       reliability::Rules::NoSharedNumber},
        UnreadableCase{"NewManufacturerKeyCannotBeMade",
                       [] {
                         winsim::DeleteTree(kOrvikKey);
                         winsim::FailCallsMatching("RegCreateKeyExA", "CAPI20\\2", ERROR_ACCESS_DENIED);
                       },
                       0,
                       {"1"},
                       reliability::Rules::NoSharedNumber},
        // B cannot be moved off 2 when its value cannot be rewritten; its controller stays.
        UnreadableCase{"AbsentDevicesValueCannotBeRewritten",
                       [] {
                         winsim::FailCallsMatching("RegSetValueExA",
                                                   machine::DeviceCapiKey(kAdapterB) + "\\Controller",
                                                   ERROR_ACCESS_DENIED);
                       },
                       3, kBoth},
        // A value of B's controller key cannot be read while it moves: the move is undone, so
        // that no value is lost.
        UnreadableCase{"MovedValueUnreadable",
                       [] { winsim::FailNthCall("RegEnumValueA", 2, ERROR_ACCESS_DENIED); }, 3, kBoth}),
    [](const ::testing::TestParamInfo<UnreadableCase> &info) { return std::string(info.param.name); });

}  // namespace
