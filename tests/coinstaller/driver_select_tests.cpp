// Driver choice by the DriverVer date of each compatible driver's install section, with real INF
// files in the INF folder, and the date parser on its own.
#include "coinstaller_machine.h"
#include "sim_fixture.h"

namespace {

using Dates = std::vector<std::optional<std::string>>;

// Ranks the drivers start from before the choice; distinct, so that "one higher" is visible.
constexpr DWORD kFirstStartRank = 0x2000;
constexpr int kNoneElected = -1;

class DriverChoice : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    machine::SetUpBaseMachine();
    id_ = machine::AddAdapter(machine::Adapter());
  }

  // One INF per driver, oem1.inf, oem2.inf, ..., so that the drivers enumerate in this order.
  static void WriteDrivers(const Dates &dates) {
    for (size_t i = 0; i < dates.size(); ++i) {
      winsim::PutFile("C:\\WINDOWS\\inf\\oem" + std::to_string(i + 1) + ".inf",
                      machine::DriverInf("Driver " + std::to_string(i + 1), dates[i]));
    }
  }

  // Builds the list, checks the enumeration order and gives every driver its start rank.
  static void PrepareList(machine::DeviceInSet &device, size_t count) {
    ASSERT_TRUE(SetupDiBuildDriverInfoList(device.set, &device.data, SPDIT_COMPATDRIVER)) << GetLastError();
    for (DWORD i = 0; i < count; ++i) {
      SP_DRVINFO_DATA_A driver = {};
      driver.cbSize = sizeof(driver);
      ASSERT_TRUE(SetupDiEnumDriverInfoA(device.set, &device.data, SPDIT_COMPATDRIVER, i, &driver));
      ASSERT_EQ(std::string(driver.Description), "Driver " + std::to_string(i + 1));
      SP_DRVINSTALL_PARAMS params = {};
      params.cbSize = sizeof(params);
      ASSERT_TRUE(SetupDiGetDriverInstallParamsA(device.set, &device.data, &driver, &params));
      params.Rank = kFirstStartRank + i;
      ASSERT_TRUE(SetupDiSetDriverInstallParamsA(device.set, &device.data, &driver, &params));
    }
  }

  static std::vector<DWORD> Ranks(machine::DeviceInSet &device) {
    std::vector<DWORD> ranks;
    SP_DRVINFO_DATA_A driver = {};
    driver.cbSize = sizeof(driver);
    for (DWORD i = 0; SetupDiEnumDriverInfoA(device.set, &device.data, SPDIT_COMPATDRIVER, i, &driver); ++i) {
      SP_DRVINSTALL_PARAMS params = {};
      params.cbSize = sizeof(params);
      EXPECT_TRUE(SetupDiGetDriverInstallParamsA(device.set, &device.data, &driver, &params));
      ranks.push_back(params.Rank);
    }
    return ranks;
  }

  // The ranks after a choice in which every driver was inspected: one higher, the elected one 0.
  static std::vector<DWORD> RaisedRanks(size_t count, int elected) {
    std::vector<DWORD> ranks;
    for (size_t i = 0; i < count; ++i) {
      ranks.push_back(static_cast<int>(i) == elected ? 0 : kFirstStartRank + static_cast<DWORD>(i) + 1);
    }
    return ranks;
  }

  // The request as SetupAPI sends it, through the entry point.
  static DWORD Choose(machine::DeviceInSet &device) {
    COINSTALLER_CONTEXT_DATA context = {};
    return DeviceCoInstallerFunc(DIF_SELECTBESTCOMPATDRV, device.set, &device.data, &context);
  }

  std::string id_;
};

struct ElectionCase {
  const char *name;
  Dates dates;
  int elected;  // index of the driver that ends with rank 0, or kNoneElected
};
// Shown by name when a case fails.
void PrintTo(const ElectionCase &c, std::ostream *out) {
  *out << c.name;
}

class DriverElection : public DriverChoice, public ::testing::WithParamInterface<ElectionCase> {};

TEST_P(DriverElection, EveryInspectedDriverDropsOneRankAndTheElectedOneGetsTheBest) {
  const ElectionCase &c = GetParam();
  WriteDrivers(c.dates);
  machine::DeviceInSet device(id_);
  PrepareList(device, c.dates.size());
  if (HasFatalFailure()) return;
  EXPECT_EQ(Choose(device), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(Ranks(device), RaisedRanks(c.dates.size(), c.elected));
}

const std::optional<std::string> kNoDriverVer;

INSTANTIATE_TEST_SUITE_P(
    Dates, DriverElection,
    ::testing::Values(
        ElectionCase{"SingleDatedDriver", {"06/26/2000"}, kNoneElected},
        ElectionCase{"OlderThenNewer", {"01/15/2000", "06/26/2001"}, 1},
        ElectionCase{"NewerThenOlder", {"06/26/2001", "01/15/2000"}, kNoneElected},
        ElectionCase{"ThreeAscendingLastElected", {"01/01/2000", "01/01/2001", "01/01/2003"}, 2},
        ElectionCase{"EqualDatesFirstKeepsItsPlace", {"01/01/2000", "06/26/2001", "06/26/2001"}, 1},
        ElectionCase{"MonthBeforeDayWithinAYear", {"06/30/2000", "07/01/2000", "07/02/2000", "06/31/2000"}, 2},
        ElectionCase{"YearBeforeMonth", {"12/31/2000", "01/01/2001", "12/31/2000"}, 1},
        ElectionCase{"DashSeparators", {"06-26-2000", "06-27-2000"}, 1},
        ElectionCase{"MixedSeparators", {"06/26-2000", "06-27/2000"}, 1},
        ElectionCase{"TwoFieldsTakeNoPart", {"01/01/2000", "01/01/2001", "12/31"}, 1},
        ElectionCase{"FourFieldsTakeNoPart", {"01/01/2000", "01/01/2001", "12/31/2099/1"}, 1},
        ElectionCase{"DoubleSeparatorGivesTwoFields", {"01/01/2000", "01/01/2001", "12//2099"}, 1},
        ElectionCase{"TrailingSeparatorGivesYearZero", {"01/01/2000", "01/01/2001", "12/31/"}, 1},
        ElectionCase{"ZeroFieldInReferenceBlocksTheNext", {"00/26/2000", "01/01/2001"}, kNoneElected},
        ElectionCase{"ZeroFieldReplacedThenBeaten", {"00/26/2000", "01/01/2001", "01/01/2002"}, 2},
        ElectionCase{"YearOneIsAWholeDate", {"01/01/0", "01/01/1", "01/01/2"}, 2},
        ElectionCase{"NegativeYearReadUnsigned", {"01/01/2000", "01/01/2001", "01/01/-1"}, 2},
        ElectionCase{"SignsAndBlanksInFields", {"01/01/2000", "+01/ 02/2000"}, 1},
        ElectionCase{"InstallSectionWithoutDriverVer", {"01/01/2000", kNoDriverVer, "01/01/2001"}, 2},
        ElectionCase{"LastOfSeveralElections", {"01/01/2000", "01/01/2001", "01/01/1999", "01/01/2002"}, 3},
        // The date is read into 260 characters: 259 and the terminator fit, 260 do not.
        ElectionCase{"DateOf259Characters", {"01/01/2000", "01/01/" + std::string(249, '0') + "2001"}, 1},
        ElectionCase{
            "DateOf260Characters", {"01/01/2000", "01/01/" + std::string(250, '0') + "2001"}, kNoneElected}),
    [](const ::testing::TestParamInfo<ElectionCase> &info) { return std::string(info.param.name); });

TEST_F(DriverChoice, DriverThatCannotBeReadTakesNoPart) {
  // Were the second driver read, it would be elected and the third would not beat it. A detail
  // that only lacks room for the hardware IDs is whole (every clean run has it): the driver takes
  // part. Any other failure of the detail leaves its rank as it was; after the detail, the rank
  // has risen whatever fails.
  WriteDrivers({"01/01/2000", "01/01/2099", "01/01/2001"});
  const struct {
    const char *function;
    DWORD error;
    std::vector<DWORD> ranks;
  } cases[] = {
      {"", 0, RaisedRanks(3, 1)},
      {"SetupDiGetDriverInfoDetailA", ERROR_INSUFFICIENT_BUFFER, RaisedRanks(3, 2)},
      {"SetupDiGetDriverInfoDetailA", ERROR_INVALID_PARAMETER, {kFirstStartRank + 1, kFirstStartRank + 1, 0}},
      {"SetupOpenInfFileA", ERROR_FILE_NOT_FOUND, RaisedRanks(3, 2)},
      {"SetupDiGetActualSectionToInstallA", ERROR_INVALID_PARAMETER, RaisedRanks(3, 2)},
      {"SetupFindFirstLineA", ERROR_LINE_NOT_FOUND, RaisedRanks(3, 2)},
      {"SetupGetStringFieldA", ERROR_INVALID_PARAMETER, RaisedRanks(3, 2)},
  };
  for (const auto &c : cases) {
    machine::DeviceInSet device(id_);
    PrepareList(device, 3);
    if (HasFatalFailure()) return;
    if (*c.function) winsim::FailNthCall(c.function, 2, c.error);
    EXPECT_EQ(Choose(device), static_cast<DWORD>(NO_ERROR)) << c.function;
    EXPECT_EQ(Ranks(device), c.ranks) << c.function << " " << c.error;
    winsim::ClearFaults();
  }
}

// ---- The date parser on its own ----

struct ParseCase {
  const char *text;
  DWORD count;
  std::vector<DWORD> fields;  // the stored fields, at most three
};

TEST(DriverVerDateParser, FieldsAndCounts) {
  const ParseCase cases[] = {
      {"06/26/2000", 3, {6, 26, 2000}},
      {"06-26-2000", 3, {6, 26, 2000}},
      {"06//2000", 2, {6, 0}},
      {"06/26/", 3, {6, 26, 0}},
      {"2000/06", 2, {2000, 6}},
      {"1.0/06/26/2000", 4, {1, 6, 26}},
      {"", 1, {0}},
      {"/", 2, {0, 0}},
      {"//", 2, {0, 0}},
      {"-1/+2/ \t3", 4, {0, 1, 2}},
      {"1/-2/ \t+3", 3, {1, 0xFFFFFFFEu, 3}},
      {"12a/3 4/x5", 3, {12, 3, 0}},
      {"99999999999/-99999999999/2147483647", 3, {0x7FFFFFFFu, 0x80000000u, 0x7FFFFFFFu}},
      {"--5/1", 3, {0, 0xFFFFFFFBu, 1}},
  };
  for (const ParseCase &c : cases) {
    DWORD fields[4] = {0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA};
    EXPECT_EQ(ParseDriverVerDate(c.text, fields), c.count) << '"' << c.text << '"';
    for (size_t i = 0; i < c.fields.size(); ++i) EXPECT_EQ(fields[i], c.fields[i]) << '"' << c.text << "\" " << i;
    EXPECT_EQ(fields[3], 0xAAAAAAAAu) << '"' << c.text << "\" wrote beyond three fields";
  }
}

}  // namespace
