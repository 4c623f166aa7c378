// Card-type hooks: reading the card type, matching it against the table, and the parallel-port
// box hook that configures the first parallel port and asks for a restart.
#include <cstring>
#include <functional>

#include "coinstaller_machine.h"
#include "setuplib.h"
#include "sim_fixture.h"

namespace {

constexpr DWORD kOtherFlags = DI_QUIETINSTALL | DI_NOFILECOPY;

class CardHookTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    machine::SetUpBaseMachine();
    id_ = machine::AddAdapter(machine::Adapter().Controller(1));
  }

  void SetCardType(const std::string &cardType) {
    winsim::SetString(machine::DeviceCapiKey(id_), "CardType", cardType);
  }

  // Whether the hook configured the port: both values written and the adapter asked for a restart.
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

TEST_F(CardHookTest, CardTypeThatCannotBeReadRunsNoHook) {
  const std::string port = machine::AddPort("ACPI\\PNP0401\\1", "parport");
  const std::string capiKey = machine::DeviceCapiKey(id_);
  const struct {
    const char *name;
    std::function<void()> arrange;
  } cases[] = {
      {"no CardType value", [] {}},
      {"261 bytes with the terminator", [&] { SetCardType("ext/lpt" + std::string(253, ' ')); }},
      {"no device CAPI key", [&] { winsim::DeleteTree(capiKey); }},
      {"no driver key", [&] { winsim::DeleteTree(winsim::DriverKeyPath(id_)); }},
  };
  for (const auto &c : cases) {
    c.arrange();
    machine::DeviceInSet device(id_);
    EXPECT_FALSE(RunCardTypeHooks(device.set, &device.data)) << c.name;
    EXPECT_EQ(device.InstallFlags() & machine::kRestartFlags, 0u) << c.name;
  }
  EXPECT_TRUE(Untouched(port));
}

TEST_F(CardHookTest, ReadCardTypeTakesTheTextUpToItsTerminatorOrTheEndOfItsData) {
  char buffer[MAX_PATH];
  machine::DeviceInSet device(id_);

  const std::string exactly260(259, 'c');  // 259 characters and the terminator
  SetCardType(exactly260);
  EXPECT_TRUE(ReadCardType(device.set, &device.data, buffer, sizeof(buffer)));
  EXPECT_EQ(std::string(buffer), exactly260);

  // Data without a terminator ends at the end of the data, whatever the buffer held before.
  memset(buffer, 'x', sizeof(buffer));
  winsim::SetValue(machine::DeviceCapiKey(id_), "CardType", REG_BINARY, {'e', 'x', 't', '/', 'l', 'p', 't'});
  EXPECT_TRUE(ReadCardType(device.set, &device.data, buffer, sizeof(buffer)));
  EXPECT_STREQ(buffer, "ext/lpt");

  // Any value type is read as text: a card type stored as a multi-string still names the box.
  winsim::SetValue(machine::DeviceCapiKey(id_), "CardType", REG_MULTI_SZ,
                   {'e', 'x', 't', '/', 'l', 'p', 't', 0, 'x', 0, 0});
  const std::string port = machine::AddPort("ACPI\\PNP0401\\1", "parport");
  EXPECT_TRUE(RunCardTypeHooks(device.set, &device.data));
  EXPECT_TRUE(Configured(port));

  // 260 bytes without a terminator fill the buffer; the comparison stays within it.
  winsim::SetValue(machine::DeviceCapiKey(id_), "CardType", REG_BINARY, std::vector<BYTE>(MAX_PATH, 'c'));
  EXPECT_TRUE(ReadCardType(device.set, &device.data, buffer, sizeof(buffer)));
  EXPECT_EQ(std::string(buffer, sizeof(buffer)), std::string(MAX_PATH, 'c'));
  EXPECT_TRUE(RunCardTypeHooks(device.set, &device.data));

  // Too small a buffer gives no card type.
  char small[4];
  EXPECT_FALSE(ReadCardType(device.set, &device.data, small, sizeof(small)));
}

TEST_F(CardHookTest, OnlyTheFirstUsableParallelPortIsConfigured) {
  SetCardType("ext/lpt-dual");
  const std::string serial = machine::AddPort("ACPI\\PNP0400\\1", "Serial");
  const std::string absent = machine::AddPort("ACPI\\PNP0401\\0", "parport", false);
  const std::string locked = machine::AddPort("ACPI\\PNP0401\\1", "PARPORT");
  const std::string first = machine::AddPort("ACPI\\PNP0401\\2", "ParPort");
  const std::string second = machine::AddPort("ACPI\\PNP0401\\3", "parport");
  winsim::FailCallsMatching("SetupDiOpenDevRegKey", "ACPI\\PNP0401\\1", ERROR_ACCESS_DENIED);

  machine::DeviceInSet device(id_);
  device.SetInstallFlags(kOtherFlags);
  EXPECT_EQ(ConfigureParallelPortForBox(device.set, &device.data), SETUP_STATUS_OK);
  EXPECT_TRUE(Configured(first));
  EXPECT_TRUE(Untouched(second));
  EXPECT_TRUE(Untouched(locked));
  EXPECT_TRUE(Untouched(absent));
  EXPECT_TRUE(Untouched(serial));
  EXPECT_EQ(device.InstallFlags(), kOtherFlags | machine::kRestartFlags);
}

TEST_F(CardHookTest, PortWhoseServiceCannotBeReadIsPassedOver) {
  const std::string unreadable = machine::AddPort("ACPI\\PNP0401\\1", "parport");
  const std::string next = machine::AddPort("ACPI\\PNP0401\\2", "parport");
  winsim::FailCallsMatching("SetupDiGetDeviceRegistryPropertyA", "ACPI\\PNP0401\\1", ERROR_INVALID_DATA);
  machine::DeviceInSet device(id_);
  EXPECT_EQ(ConfigureParallelPortForBox(device.set, &device.data), SETUP_STATUS_OK);
  EXPECT_TRUE(Untouched(unreadable));
  EXPECT_TRUE(Configured(next));
}

TEST_F(CardHookTest, NoParallelPortMeansNoValueAndNoRestart) {
  const std::string serial = machine::AddPort("ACPI\\PNP0400\\1", "Serial");
  machine::AddPort("ACPI\\PNP0401\\1", "parport", false);
  machine::DeviceInSet device(id_);
  device.SetInstallFlags(kOtherFlags);
  EXPECT_EQ(ConfigureParallelPortForBox(device.set, &device.data), SETUP_STATUS_UNAVAILABLE);
  EXPECT_TRUE(Untouched(serial));
  EXPECT_EQ(device.InstallFlags(), kOtherFlags);

  winsim::FailNthCall("SetupDiGetClassDevsA", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(ConfigureParallelPortForBox(device.set, &device.data), SETUP_STATUS_UNAVAILABLE);
  EXPECT_EQ(device.InstallFlags(), kOtherFlags);
}

TEST_F(CardHookTest, RestartIsRequestedEvenWhenThePortValuesCannotBeWritten) {
  const std::string port = machine::AddPort("ACPI\\PNP0401\\1", "parport");
  winsim::FailCallsMatching("RegSetValueExA", "Device Parameters", ERROR_ACCESS_DENIED);
  machine::DeviceInSet device(id_);
  EXPECT_EQ(ConfigureParallelPortForBox(device.set, &device.data), SETUP_STATUS_OK);
  EXPECT_TRUE(Untouched(port));
  EXPECT_EQ(device.InstallFlags() & machine::kRestartFlags, machine::kRestartFlags);
}

}  // namespace
