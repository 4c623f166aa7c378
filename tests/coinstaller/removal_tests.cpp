// Removal of an adapter and the undoing of a failed installation: the number always goes back;
// with the maker's last present adapter the monitors are asked to quit and the product-wide
// set-up is taken away, leaving what later installations keep.
#include "coinstaller_machine.h"
#include "setuplib.h"
#include "sim_fixture.h"

namespace {

const std::string kFirst = "PCI\\VEN_1A2B&DEV_0C10\\1";
const std::string kSecond = "PCI\\VEN_1A2B&DEV_0C10\\2";

class RemovalTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    machine::SetUpBaseMachine();
  }

  // Both halves of a successful installation, as SetupAPI drives them.
  static void Install(const std::string &id) {
    machine::DeviceInSet device(id);
    device.SelectDriver();
    COINSTALLER_CONTEXT_DATA context = {};
    ASSERT_EQ(DeviceCoInstallerFunc(DIF_INSTALLDEVICE, device.set, &device.data, &context),
              machine::kPostprocessingRequired);
    context.PostProcessing = TRUE;
    context.InstallResult = NO_ERROR;
    ASSERT_EQ(DeviceCoInstallerFunc(DIF_INSTALLDEVICE, device.set, &device.data, &context),
              static_cast<DWORD>(NO_ERROR));
  }

  static DWORD Remove(const std::string &id) {
    machine::DeviceInSet device(id);
    COINSTALLER_CONTEXT_DATA context = {};
    return RemoveDevice(device.set, &device.data, &context);
  }

  static bool QuitOrderSent() {
    for (const winsim::MessageTraceEntry &entry : winsim::MessageTrace()) {
      if (entry.messageName == "ORVIK.Quit" && entry.wParam == QUIT_ORDER) return true;
    }
    return false;
  }
  static bool QuitMessageSeen() {
    for (const winsim::MessageTraceEntry &entry : winsim::MessageTrace()) {
      if (entry.messageName == "ORVIK.Quit") return true;
    }
    return false;
  }

  static bool ProductValuesPresent() {
    return winsim::KeyExists(machine::kProductCapi + "\\Version") &&
           winsim::KeyExists(machine::kProductCapi + "\\BuildNumber") &&
           winsim::KeyExists(machine::kProductCapi + "\\Path");
  }
  static bool ProductValuesGone() {
    return !winsim::KeyExists(machine::kProductCapi + "\\Version") &&
           !winsim::KeyExists(machine::kProductCapi + "\\BuildNumber") &&
           !winsim::KeyExists(machine::kProductCapi + "\\Path");
  }
  static bool CounterTextsUnloadedLast() {
    const auto &calls = winsim::LoadPerfCalls();
    return !calls.empty() && calls.back().function == "UnloadPerfCounterTextStringsA" && calls.back().result == 0;
  }

  // What a removal leaves in place in any case.
  static void ExpectKeptForLaterInstallations(const std::string &removed) {
    EXPECT_TRUE(winsim::KeyExists(machine::kProductCapi));
    EXPECT_TRUE(winsim::GetString(machine::kMonitorKey + "\\StatisticProgram", "").has_value());
    EXPECT_EQ(winsim::GetString(machine::kMonitorKey + "\\Run", "MotherInLaw"), machine::kToolProgram);
    EXPECT_EQ(winsim::GetString(machine::kPerformanceKey, "Library"), "onlperf.dll");
    EXPECT_EQ(winsim::GetString(machine::kPerformanceKey, "Open"), "LinkPerfOpen");
    EXPECT_TRUE(winsim::KeyExists(machine::kModuleEventSource));
    EXPECT_TRUE(winsim::GetDword(machine::DeviceCapiKey(removed), "Controller").has_value());
  }
};

TEST_F(RemovalTest, LastAdapterTakesTheProductSetUpWithIt) {
  machine::AddAdapter(machine::Adapter().Id(kFirst));
  Install(kFirst);
  const int monitor = winsim::AddQuitListener({});
  CallRecord record;

  EXPECT_EQ(Remove(kFirst), static_cast<DWORD>(NO_ERROR));

  EXPECT_FALSE(winsim::KeyExists(machine::kManufacturer1 + "\\1"));
  EXPECT_TRUE(QuitOrderSent());
  EXPECT_FALSE(winsim::QuitListenerAlive(monitor));
  EXPECT_FALSE(machine::AutoexecHasBlock());
  EXPECT_TRUE(ProductValuesGone());
  EXPECT_FALSE(winsim::GetValue(machine::kRunKey, "ONLMonitor").has_value());
  EXPECT_FALSE(winsim::KeyExists(machine::kPerfEventSource));
  EXPECT_TRUE(CounterTextsUnloadedLast());
  ExpectKeptForLaterInstallations(kFirst);

  // The monitors are asked to quit before the start-up file and the registry are edited, and the
  // product-wide items go in their order.
  EXPECT_TRUE(record.MadeInOrder({{"SendMessageTimeoutA", "ORVIK.Quit"},
                                  {"CreateFileA", "autoexec.nt"},
                                  {"RegDeleteKeyA", "CAPI\\Version"},
                                  {"RegDeleteKeyA", "CAPI\\BuildNumber"},
                                  {"RegDeleteKeyA", "CAPI\\Path"},
                                  {"RegDeleteValueA", "Run\\ONLMonitor"},
                                  {"RegDeleteKeyA", "Application\\linkperf"},
                                  {"UnloadPerfCounterTextStringsA", "onlbase"}}));
}

TEST_F(RemovalTest, OneOfTwoAdaptersGivesBackOnlyItsNumber) {
  machine::AddAdapter(machine::Adapter().Id(kFirst));
  machine::AddAdapter(machine::Adapter().Id(kSecond));
  Install(kFirst);
  Install(kSecond);
  const int monitor = winsim::AddQuitListener({});
  const size_t loaderCalls = winsim::LoadPerfCalls().size();

  EXPECT_EQ(Remove(kSecond), static_cast<DWORD>(NO_ERROR));
  EXPECT_FALSE(winsim::KeyExists(machine::kManufacturer1 + "\\2"));
  EXPECT_TRUE(winsim::KeyExists(machine::kManufacturer1 + "\\1"));
  EXPECT_FALSE(QuitMessageSeen());
  EXPECT_TRUE(winsim::QuitListenerAlive(monitor));
  EXPECT_TRUE(machine::AutoexecHasBlock());
  EXPECT_TRUE(ProductValuesPresent());
  EXPECT_EQ(winsim::GetString(machine::kRunKey, "ONLMonitor"), machine::kMonitorProgram);
  EXPECT_TRUE(winsim::KeyExists(machine::kPerfEventSource));
  EXPECT_EQ(winsim::LoadPerfCalls().size(), loaderCalls);
  ExpectKeptForLaterInstallations(kSecond);
}

TEST_F(RemovalTest, AbsentAdapterWithOneOtherPresentCountsAsTheLast) {
  machine::AddAdapter(machine::Adapter().Id(kFirst));
  machine::AddAdapter(machine::Adapter().Id(kSecond));
  Install(kFirst);
  Install(kSecond);
  winsim::SetDevicePresent(kSecond, false);

  EXPECT_EQ(Remove(kSecond), static_cast<DWORD>(NO_ERROR));
  EXPECT_FALSE(winsim::KeyExists(machine::kManufacturer1 + "\\2"));
  EXPECT_TRUE(winsim::KeyExists(machine::kManufacturer1 + "\\1"));
  EXPECT_FALSE(machine::AutoexecHasBlock()) << "the product-wide items go although an adapter remains";
  EXPECT_TRUE(ProductValuesGone());
  EXPECT_FALSE(winsim::GetValue(machine::kRunKey, "ONLMonitor").has_value());
  EXPECT_TRUE(CounterTextsUnloadedLast());
}

TEST_F(RemovalTest, FailedInstallationWithCountZeroGivesBackOnlyItsNumber) {
  // A device that is not the maker's (ProductCode 2), alone on the machine: the count is 0.
  const std::string foreign = machine::AddAdapter(machine::Adapter().Id(kFirst).ProductCode(2));
  {
    machine::DeviceInSet device(foreign);
    device.SelectDriver();
    COINSTALLER_CONTEXT_DATA context = {};
    ASSERT_EQ(DeviceCoInstallerFunc(DIF_INSTALLDEVICE, device.set, &device.data, &context),
              machine::kPostprocessingRequired);
    ASSERT_EQ(machine::PrivateNumber(context), 1u);
    context.PostProcessing = TRUE;
    context.InstallResult = ERROR_DI_DONT_INSTALL;
    EXPECT_EQ(DeviceCoInstallerFunc(DIF_INSTALLDEVICE, device.set, &device.data, &context), machine::kDontInstall);
  }
  EXPECT_FALSE(winsim::KeyExists(machine::kManufacturer1 + "\\1"));
  EXPECT_TRUE(machine::AutoexecHasBlock());
  EXPECT_EQ(winsim::GetString(machine::kProductCapi + "\\BuildNumber", ""), "1146");
  EXPECT_FALSE(QuitMessageSeen());
}

TEST_F(RemovalTest, DeviceWithoutANumberIsLeftAloneEvenWhenItIsTheLast) {
  machine::AddAdapter(machine::Adapter().Id(kFirst));
  Install(kFirst);
  winsim::LoadReg("REGEDIT4\r\n\r\n[" + machine::DeviceCapiKey(kFirst) + "]\r\n\"Controller\"=-\r\n");
  const std::string registry = winsim::ExportReg("HKEY_LOCAL_MACHINE");
  const std::optional<std::string> autoexec = winsim::GetFile(machine::kAutoexecPath);
  const size_t loaderCalls = winsim::LoadPerfCalls().size();

  EXPECT_EQ(Remove(kFirst), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(winsim::ExportReg("HKEY_LOCAL_MACHINE"), registry);
  EXPECT_EQ(winsim::GetFile(machine::kAutoexecPath), autoexec);
  EXPECT_EQ(winsim::LoadPerfCalls().size(), loaderCalls);
  EXPECT_FALSE(QuitMessageSeen());
}

TEST_F(RemovalTest, UnavailableClassListReleasesAndRemovesNothing) {
  machine::AddAdapter(machine::Adapter().Id(kFirst));
  Install(kFirst);
  const std::string registry = winsim::ExportReg("HKEY_LOCAL_MACHINE");
  machine::DeviceInSet device(kFirst);
  winsim::FailNthCall("SetupDiGetClassDevsA", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(UninstallDevice(device.set, &device.data, 1), machine::kDontInstall);
  EXPECT_EQ(winsim::ExportReg("HKEY_LOCAL_MACHINE"), registry);
  EXPECT_TRUE(machine::AutoexecHasBlock());
  EXPECT_TRUE(winsim::Events().empty());

  winsim::FailNthCall("SetupDiGetClassDevsA", 1, ERROR_NOT_ENOUGH_MEMORY);
  COINSTALLER_CONTEXT_DATA context = {};
  EXPECT_EQ(DeviceCoInstallerFunc(DIF_REMOVE, device.set, &device.data, &context), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(winsim::ExportReg("HKEY_LOCAL_MACHINE"), registry);
}

TEST_F(RemovalTest, ProductKeyThatCannotBeOpenedKeepsItsValuesTheRestGoes) {
  machine::AddAdapter(machine::Adapter().Id(kFirst));
  Install(kFirst);
  winsim::FailCallsMatching("RegCreateKeyExA", "Software\\ORVIK\\CAPI", ERROR_ACCESS_DENIED);
  EXPECT_EQ(Remove(kFirst), static_cast<DWORD>(NO_ERROR));
  EXPECT_TRUE(ProductValuesPresent());
  EXPECT_FALSE(machine::AutoexecHasBlock());
  EXPECT_FALSE(winsim::GetValue(machine::kRunKey, "ONLMonitor").has_value());
  EXPECT_FALSE(winsim::KeyExists(machine::kPerfEventSource));
  EXPECT_TRUE(CounterTextsUnloadedLast());
}

}  // namespace
