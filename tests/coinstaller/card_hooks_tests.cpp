// Card-type hooks: reading the card type, matching it against the table, and the parallel-port
// box hook that configures the first parallel port and asks for a restart.
#include <cstring>

#include "coinstaller_machine.h"
#include "setuplib.h"
#include "sim_fixture.h"

namespace {

constexpr DWORD kOtherFlags = DI_QUIETINSTALL | DI_NOFILECOPY;

class CardHookTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    FreshMachine();
  }
  void FreshMachine() {
    winsim::Reset();
    machine::SetUpBaseMachine();
    id_ = machine::AddAdapter(machine::Adapter().Controller(1));
  }

  void SetCardType(const std::string &cardType) {
    winsim::SetString(machine::DeviceCapiKey(id_), "CardType", cardType);
  }

  // Whether the hook configured the port: both values written.
  static bool Configured(const std::string &port) {
    return winsim::GetDword(winsim::HardwareKeyPath(port), "EnableConnectInterruptIoctl") == 1u &&
           winsim::GetDword(winsim::HardwareKeyPath(port), "FilterResourceMethod") == 2u;
  }
  static bool Untouched(const std::string &port) {
    return !winsim::GetValue(winsim::HardwareKeyPath(port), "EnableConnectInterruptIoctl").has_value() &&
           !winsim::GetValue(winsim::HardwareKeyPath(port), "FilterResourceMethod").has_value();
  }
  static void Unconfigure(const std::string &port) {
    winsim::DeleteTree(winsim::HardwareKeyPath(port));
    winsim::CreateKey(winsim::HardwareKeyPath(port));
  }

  std::string id_;
};

TEST_F(CardHookTest, CardTypeMatchesTheTableWithoutRegardToCase) {
  const std::string port = machine::AddPort("ACPI\\PNP0401\\1", "parport");
  const struct {
    const char *cardType;
    bool hookRuns;
  } cases[] = {
      {"ext/lpt", true},   {"EXT/LPT", true},   {"Ext/Lpt-Dual", true}, {"ext/lpt-dual", true},
      {"ext/lpt ", false}, {"ext/lp", false},   {"ext/lpt-d", false},   {"ext/lpt-dual2", false},
      {" ext/lpt", false}, {"ext\\lpt", false}, {"int/pci", false},     {"", false},
  };
  for (const auto &c : cases) {
    Unconfigure(port);
    SetCardType(c.cardType);
    machine::DeviceInSet device(id_);
    device.SetInstallFlags(kOtherFlags);
    EXPECT_TRUE(RunCardTypeHooks(device.set, &device.data)) << '"' << c.cardType << '"';
    EXPECT_EQ(Configured(port), c.hookRuns) << '"' << c.cardType << '"';
    EXPECT_EQ(device.InstallFlags(), c.hookRuns ? kOtherFlags | machine::kRestartFlags : kOtherFlags)
        << '"' << c.cardType << '"';
  }
}

TEST_F(CardHookTest, ReadCardTypeTakesTheTextUpToItsTerminatorOrTheEndOfItsData) {
  char buffer[MAX_PATH + 1];  // the byte after the MAX_PATH given to ReadCardType guards its end
  const DWORD size = MAX_PATH;
  machine::DeviceInSet device(id_);

  const std::string exactly260(259, 'c');  // 259 characters and the terminator
  SetCardType(exactly260);
  EXPECT_TRUE(ReadCardType(device.set, &device.data, buffer, size));
  EXPECT_EQ(std::string(buffer), exactly260);

  // Data without a terminator ends at the end of the data, whatever the buffer held before.
  memset(buffer, 'x', size);
  winsim::SetValue(machine::DeviceCapiKey(id_), "CardType", REG_BINARY, {'e', 'x', 't', '/', 'l', 'p', 't'});
  EXPECT_TRUE(ReadCardType(device.set, &device.data, buffer, size));
  EXPECT_STREQ(buffer, "ext/lpt");

  // Any value type is read as text: a card type stored as a multi-string still names the box.
  winsim::SetValue(machine::DeviceCapiKey(id_), "CardType", REG_MULTI_SZ,
                   {'e', 'x', 't', '/', 'l', 'p', 't', 0, 'x', 0, 0});
  const std::string port = machine::AddPort("ACPI\\PNP0401\\1", "parport");
  EXPECT_TRUE(RunCardTypeHooks(device.set, &device.data));
  EXPECT_TRUE(Configured(port));

  // 260 bytes without a terminator fill the buffer, and nothing goes past it; the comparison stays
  // within it.
  winsim::SetValue(machine::DeviceCapiKey(id_), "CardType", REG_BINARY, std::vector<BYTE>(MAX_PATH, 'c'));
  buffer[size] = 'g';
  EXPECT_TRUE(ReadCardType(device.set, &device.data, buffer, size));
  EXPECT_EQ(std::string(buffer, size), std::string(MAX_PATH, 'c'));
  EXPECT_EQ(buffer[size], 'g') << "written past the end of the buffer";
  EXPECT_TRUE(RunCardTypeHooks(device.set, &device.data));

  // A value that does not fit gives no card type, and no hook runs.
  SetCardType("ext/lpt" + std::string(253, ' '));
  EXPECT_FALSE(ReadCardType(device.set, &device.data, buffer, size));
  EXPECT_FALSE(RunCardTypeHooks(device.set, &device.data));
}

struct PortCase {
  const char *name;
  std::vector<std::pair<const char *, bool>> ports;  // service and presence, in enumeration order
  const char *failing;                               // calls of this function about `subject` fail
  const char *subject;
  int configured;  // the port that gets the values, -1 none
  bool restart;
};

TEST_F(CardHookTest, OnlyTheFirstUsableParallelPortIsConfiguredAndTheAdapterAsksForARestart) {
  const PortCase cases[] = {
      {"first usable",
       {{"Serial", true}, {"parport", false}, {"PARPORT", true}, {"ParPort", true}, {"parport", true}},
       "SetupDiOpenDevRegKey",
       "PNP0401\\2",
       3,
       true},
      {"service unreadable",
       {{"parport", true}, {"parport", true}},
       "SetupDiGetDeviceRegistryPropertyA",
       "PNP0401\\0",
       1,
       true},
      {"values not written", {{"parport", true}}, "RegSetValueExA", "Device Parameters", -1, true},
      {"no parallel port", {{"Serial", true}, {"parport", false}}, nullptr, nullptr, -1, false},
      {"no port list", {{"parport", true}}, "SetupDiGetClassDevsA", "", -1, false},
  };
  for (const PortCase &c : cases) {
    FreshMachine();
    std::vector<std::string> ports;
    for (size_t i = 0; i < c.ports.size(); ++i)
      ports.push_back(
          machine::AddPort("ACPI\\PNP0401\\" + std::to_string(i), c.ports[i].first, c.ports[i].second));
    if (c.failing) winsim::FailCallsMatching(c.failing, c.subject, ERROR_ACCESS_DENIED);
    machine::DeviceInSet device(id_);
    device.SetInstallFlags(kOtherFlags);
    EXPECT_EQ(ConfigureParallelPortForBox(device.set, &device.data),
              c.restart ? SETUP_STATUS_OK : SETUP_STATUS_UNAVAILABLE)
        << c.name;
    for (size_t i = 0; i < ports.size(); ++i) {
      const bool configured = static_cast<int>(i) == c.configured;
      EXPECT_TRUE(configured ? Configured(ports[i]) : Untouched(ports[i])) << c.name << " port " << i;
    }
    EXPECT_EQ(device.InstallFlags(), c.restart ? kOtherFlags | machine::kRestartFlags : kOtherFlags) << c.name;
  }
}

}  // namespace
