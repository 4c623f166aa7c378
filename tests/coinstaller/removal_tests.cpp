// Removal of an adapter and the undoing of a failed installation: the number goes back; with the
// maker's last present adapter the monitors are asked to quit and the product-wide set-up goes,
// leaving what later installations keep. Each case is told by the words for what went.
#include <algorithm>

#include "coinstaller_machine.h"
#include "setuplib.h"
#include "sim_fixture.h"

namespace {

const std::string kFirst = "PCI\\VEN_1A2B&DEV_0C10\\1";
const std::string kSecond = "PCI\\VEN_1A2B&DEV_0C10\\2";
const char *const kEverything = "released quit autoexec version build path run source unload";

// The request about kFirst: a removal, a failed installation, or the undoing called by itself.
enum class Request { Remove, FailedInstall, Uninstall };
// What is done to the machine after the installations: kFirst unplugged, its number taken from its
// key, the product keys made to refuse their deletion, or the calls of a function whose subject
// holds a text made to fail.
enum class Arrange { Nothing, Unplug, DropNumber, LockProductKeys, Fail };

struct RemovalCase {
  const char *name;
  std::vector<std::string> installed;  // adapters installed before, in this order
  Request request;
  Arrange arrange;
  const char *gone;
  const char *failing = nullptr;
  const char *subject = nullptr;
};
void PrintTo(const RemovalCase &c, std::ostream *out) {
  *out << c.name;
}

class Removal : public SimTest, public ::testing::WithParamInterface<RemovalCase> {
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
    ASSERT_EQ(DeviceCoInstallerFunc(DIF_INSTALLDEVICE, device.set, &device.data, &context), DWORD{NO_ERROR});
  }

  // The words for the items that are there now: the controller key `key`, the listening monitor
  // `monitor`, and the product-wide items.
  static std::vector<std::string> There(const std::string &key, int monitor) {
    std::vector<std::string> there;
    auto item = [&there](bool present, const char *name) {
      if (present) there.push_back(name);
    };
    item(!key.empty() && winsim::KeyExists(key), "released");
    item(winsim::QuitListenerAlive(monitor), "quit");
    item(machine::AutoexecHasBlock(), "autoexec");
    item(winsim::KeyExists(machine::kProductCapi + "\\Version"), "version");
    item(winsim::KeyExists(machine::kProductCapi + "\\BuildNumber"), "build");
    item(winsim::KeyExists(machine::kProductCapi + "\\Path"), "path");
    item(winsim::GetValue(machine::kRunKey, "ONLMonitor").has_value(), "run");
    item(winsim::KeyExists(machine::kPerfEventSource), "source");
    // What no removal takes away: the product keys, the statistics console and the tool program,
    // the performance library, the module's event source and the device's own value.
    item(winsim::KeyExists(machine::kProductCapi), "product");
    item(winsim::KeyExists(machine::kMonitorKey + "\\StatisticProgram"), "console");
    item(winsim::GetValue(machine::kMonitorKey + "\\Run", "MotherInLaw").has_value(), "tool");
    item(winsim::GetValue(machine::kPerformanceKey, "Open").has_value(), "library");
    item(winsim::KeyExists(machine::kModuleEventSource), "events");
    item(winsim::GetValue(machine::DeviceCapiKey(kFirst), "Controller").has_value(), "value");
    return there;
  }
};

TEST_P(Removal, TakesAwayWhatItsCaseNamesAndKeepsTheRest) {
  const RemovalCase &c = GetParam();
  machine::AddAdapter(machine::Adapter().Id(kFirst).ProductCode(c.request == Request::FailedInstall ? 2 : 1));
  if (c.installed.size() > 1) machine::AddAdapter(machine::Adapter().Id(kSecond));
  for (const std::string &id : c.installed) Install(id);
  const int monitor = winsim::AddQuitListener({});
  if (c.arrange == Arrange::Unplug) winsim::SetDevicePresent(kFirst, false);
  if (c.arrange == Arrange::DropNumber)
    winsim::LoadReg("REGEDIT4\r\n\r\n[" + machine::DeviceCapiKey(kFirst) + "]\r\n\"Controller\"=-\r\n");
  if (c.arrange == Arrange::LockProductKeys) {
    for (const char *key : {"\\Version", "\\BuildNumber", "\\Path"})
      winsim::DenyAccess(machine::kProductCapi + key, DELETE);
    winsim::DenyAccess(machine::kPerfEventSource, DELETE);
  }

  // A failed installation is undone in its post-processing; its pre-processing came first.
  machine::DeviceInSet device(kFirst);
  COINSTALLER_CONTEXT_DATA context = {};
  if (c.request == Request::FailedInstall) {
    device.SelectDriver();
    ASSERT_EQ(DeviceCoInstallerFunc(DIF_INSTALLDEVICE, device.set, &device.data, &context),
              machine::kPostprocessingRequired);
  }
  const std::optional<DWORD> stored = winsim::GetDword(machine::DeviceCapiKey(kFirst), "Controller");
  const std::string key = stored ? machine::kManufacturer1 + "\\" + std::to_string(*stored + 1) : "";
  const std::string registry = winsim::ExportReg("HKEY_LOCAL_MACHINE");
  const std::vector<std::string> before = There(key, monitor);
  const size_t loaderCalls = winsim::LoadPerfCalls().size();
  CallRecord record;
  if (c.failing && c.request == Request::Remove)
    winsim::FailCallsMatching(c.failing, c.subject, ERROR_ACCESS_DENIED);
  if (c.request == Request::Remove) {
    EXPECT_EQ(DeviceCoInstallerFunc(DIF_REMOVE, device.set, &device.data, &context), DWORD{NO_ERROR});
  } else if (c.request == Request::Uninstall) {
    // Without the class list the phase says so, and nothing is released or removed.
    if (c.failing) winsim::FailCallsMatching(c.failing, c.subject, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(UninstallDevice(device.set, &device.data, 1), c.failing ? machine::kDontInstall : DWORD{NO_ERROR});
  } else {
    context.PostProcessing = TRUE;
    context.InstallResult = ERROR_DI_DONT_INSTALL;
    EXPECT_EQ(DeviceCoInstallerFunc(DIF_INSTALLDEVICE, device.set, &device.data, &context), machine::kDontInstall);
  }
  winsim::ClearFaults();

  const std::vector<std::string> after = There(key, monitor);
  std::string gone;
  for (const std::string &word : before) {
    if (std::find(after.begin(), after.end(), word) == after.end()) gone += (gone.empty() ? "" : " ") + word;
  }
  const auto &loads = winsim::LoadPerfCalls();
  if (loads.size() > loaderCalls && loads.back().function == "UnloadPerfCounterTextStringsA" &&
      loads.back().result == 0)
    gone += " unload";
  EXPECT_EQ(gone, c.gone);
  if (gone.empty()) {
    EXPECT_EQ(winsim::ExportReg("HKEY_LOCAL_MACHINE"), registry);
  }
  EXPECT_TRUE(winsim::Events().empty()) << "the phase writes no event";
  if (c.gone == std::string(kEverything)) {
    // The monitors are asked to quit before the start-up file and the registry are edited, and
    // the product-wide items go in their order.
    EXPECT_TRUE(record.MadeInOrder({{"SendMessageTimeoutA", "ORVIK.Quit"},
                                    {"CreateFileA", "autoexec.nt"},
                                    {"RegDeleteKeyA", "CAPI\\Version"},
                                    {"RegDeleteKeyA", "CAPI\\BuildNumber"},
                                    {"RegDeleteKeyA", "CAPI\\Path"},
                                    {"RegDeleteValueA", "Run\\ONLMonitor"},
                                    {"RegDeleteKeyA", "Application\\linkperf"},
                                    {"UnloadPerfCounterTextStringsA", "onlbase"}}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Removal,
    ::testing::Values(
        RemovalCase{"LastAdapter", {kFirst}, Request::Remove, Arrange::Nothing, kEverything},
        RemovalCase{"OneOfTwo", {kSecond, kFirst}, Request::Remove, Arrange::Nothing, "released"},
        // The count is of present adapters: with one other present, an absent one is the last.
        RemovalCase{"AbsentWithOneOtherPresent", {kSecond, kFirst}, Request::Remove, Arrange::Unplug, kEverything},
        RemovalCase{"ProductCapiKeyCannotBeOpened",
                    {kFirst},
                    Request::Remove,
                    Arrange::Fail,
                    "released quit autoexec run source unload",
                    "RegCreateKeyExA",
                    "Software\\ORVIK\\CAPI"},
        // Keys are deleted as they are, their access never changed for it.
        RemovalCase{"ProductKeysRefuseDeletion",
                    {kFirst},
                    Request::Remove,
                    Arrange::LockProductKeys,
                    "released quit autoexec run unload"},
        RemovalCase{"DeviceWithoutANumber", {kFirst}, Request::Remove, Arrange::DropNumber, ""},
        RemovalCase{"Uninstall", {kFirst}, Request::Uninstall, Arrange::Nothing, kEverything},
        RemovalCase{"UninstallWithoutTheClassList",
                    {kFirst},
                    Request::Uninstall,
                    Arrange::Fail,
                    "",
                    "SetupDiGetClassDevsA",
                    ""},
        // A failed installation of a device that is not the maker's, alone: a count of 0, so only
        // its number goes, with the device's value; the start-up block and the build number stay.
        RemovalCase{
            "FailedInstallationCountZero", {}, Request::FailedInstall, Arrange::Nothing, "released value"}),
    [](const ::testing::TestParamInfo<RemovalCase> &info) { return std::string(info.param.name); });

}  // namespace
