// The module as SetupAPI sees it: loaded by name, the entry point found by name, and each request
// code sent to the phase that handles it.
#include <sstream>

#include "coinstaller_machine.h"
#include "sim_fixture.h"

namespace {

using CoInstallerEntry = DWORD(CALLBACK *)(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA);

class EntryTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    machine::SetUpBaseMachine();
  }
};

TEST_F(EntryTest, ModuleLoadedByNameInstallsAndRemovesAnAdapterThroughItsExport) {
  const std::string id = machine::AddAdapter(machine::Adapter());
  HMODULE module = LoadLibraryA("onlcoin.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(ModuleInstance, module) << "DllMain keeps the instance handle at attach";
  auto entry = reinterpret_cast<CoInstallerEntry>(
      reinterpret_cast<void *>(GetProcAddress(module, "DeviceCoInstallerFunc")));
  ASSERT_NE(entry, nullptr);

  {
    machine::DeviceInSet device(id);
    device.SelectDriver();
    COINSTALLER_CONTEXT_DATA context = {};
    EXPECT_EQ(entry(DIF_INSTALLDEVICE, device.set, &device.data, &context), machine::kPostprocessingRequired);
    EXPECT_EQ(machine::PrivateNumber(context), 1u);

    context.PostProcessing = TRUE;
    context.InstallResult = NO_ERROR;
    EXPECT_EQ(entry(DIF_INSTALLDEVICE, device.set, &device.data, &context), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(winsim::GetDword(machine::kManufacturer1 + "\\1", "Channels"), 2u);
    EXPECT_EQ(winsim::StartedProcesses().size(), 2u);

    COINSTALLER_CONTEXT_DATA removal = {};
    EXPECT_EQ(entry(DIF_REMOVE, device.set, &device.data, &removal), static_cast<DWORD>(NO_ERROR));
    EXPECT_FALSE(winsim::KeyExists(machine::kManufacturer1)) << "the only controller was given back";
    EXPECT_FALSE(winsim::GetValue(machine::kRunKey, "ONLMonitor").has_value());
  }

  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(ModuleInstance, module) << "DllMain keeps the instance handle at detach too";
}

TEST_F(EntryTest, UnhandledRequestsReturnZeroAndMakeNoPlatformCall) {
  const std::string id = machine::AddAdapter(machine::Adapter().Controller(1));
  machine::DeviceInSet device(id);
  const DI_FUNCTION unhandled[] = {DIF_SELECTDEVICE,       DIF_ASSIGNRESOURCES, DIF_PROPERTIES,
                                   DIF_DESTROYPRIVATEDATA, DIF_PROPERTYCHANGE,  DIF_INSTALLDEVICEFILES,
                                   DIF_ALLOW_INSTALL,      DIF_REGISTERDEVICE,  DIF_FINISHINSTALL_ACTION};
  winsim::ResetCallCounts();
  for (DI_FUNCTION code : unhandled) {
    for (BOOL postProcessing : {FALSE, TRUE}) {
      COINSTALLER_CONTEXT_DATA context = {postProcessing, ERROR_DI_DONT_INSTALL, nullptr};
      EXPECT_EQ(DeviceCoInstallerFunc(code, device.set, &device.data, &context), static_cast<DWORD>(NO_ERROR))
          << "code " << code;
      EXPECT_EQ(context.PrivateData, nullptr);
    }
  }
  EXPECT_EQ(winsim::TotalCalls(), 0u);
  EXPECT_TRUE(winsim::Events().empty());
}

TEST_F(EntryTest, EveryPreProcessingCallRegistersTheEventSourceAgain) {
  // No driver is selected, so each call is refused after the registration.
  const std::string id = machine::AddAdapter(machine::Adapter());
  machine::DeviceInSet device(id);
  for (int pass = 1; pass <= 2; ++pass) {
    COINSTALLER_CONTEXT_DATA context = {};
    EXPECT_EQ(DeviceCoInstallerFunc(DIF_INSTALLDEVICE, device.set, &device.data, &context), machine::kDontInstall);
    EXPECT_EQ(winsim::GetString(machine::kModuleEventSource, "EventMessageFile"),
              "%SystemRoot%\\System32\\onlcoin.dll");
    EXPECT_EQ(winsim::GetDword(machine::kModuleEventSource, "TypesSupported"), 7u);
    winsim::SetString(machine::kModuleEventSource, "EventMessageFile", "stale.dll");
    winsim::SetDword(machine::kModuleEventSource, "TypesSupported", 1);
  }
  EXPECT_EQ(winsim::Events().size(), 2u);
}

// ---- Controller numbers across requests ----
// Sequences of requests from a machine that may have been left broken, and the numbering they end
// with. Adapters "a!=1" are PCI\VEN_1A2B&DEV_0C10\a, "!" when absent, "=n" when they store number
// n (and have ProductCode 1, unless "~" says that their installation never went through). Keys are controller keys
// of manufacturer key 1 as "n:channels" (an adapter's installation writes 2; the machine's keys carry 30).
// "install a" sets ProductCode as the adapter's INF does, "fail a" is an installation that fails, "remove a" a
// removal after which the platform deletes the device.
struct NumberingCase {
  const char *name;
  const char *adapters;
  const char *keys;  // the machine's keys; none: no manufacturer key
  DWORD count;
  const char *requests;
  const char *numbersAfter;  // "a=2 b=1"; "b=" for no number
  const char *keysAfter;
};
void PrintTo(const NumberingCase &c, std::ostream *out) {
  *out << c.name;
}

std::vector<std::string> Words(const std::string &text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

class NumberingAcrossRequests : public EntryTest, public ::testing::WithParamInterface<NumberingCase> {
 protected:
  static std::string Id(const std::string &adapter) { return "PCI\\VEN_1A2B&DEV_0C10\\" + adapter; }
  static void Request(const std::string &op, const std::string &id) {
    machine::DeviceInSet device(id);
    COINSTALLER_CONTEXT_DATA context = {};
    if (op == "remove") {
      EXPECT_EQ(DeviceCoInstallerFunc(DIF_REMOVE, device.set, &device.data, &context), DWORD{NO_ERROR});
      EXPECT_TRUE(SetupDiRemoveDevice(device.set, &device.data));
      return;
    }
    device.SelectDriver();
    ASSERT_EQ(DeviceCoInstallerFunc(DIF_INSTALLDEVICE, device.set, &device.data, &context),
              machine::kPostprocessingRequired);
    if (op == "install") winsim::SetDword(machine::DeviceCapiKey(id), "ProductCode", 1);
    context.PostProcessing = TRUE;
    context.InstallResult = op == "install" ? NO_ERROR : ERROR_FILE_NOT_FOUND;
    DeviceCoInstallerFunc(DIF_INSTALLDEVICE, device.set, &device.data, &context);
  }
};

TEST_P(NumberingAcrossRequests, EndWithOneAdapterPerNumberEveryNumberWithItsKeyAndTheCountRight) {
  const NumberingCase &c = GetParam();
  for (const std::string &word : Words(c.adapters)) {
    const std::string id = Id(word.substr(0, 1));
    const size_t equals = word.find('=');
    machine::Adapter adapter = machine::Adapter().Id(id);
    if (equals != std::string::npos) adapter.Controller(std::stoul(word.substr(equals + 1)));
    if (equals == std::string::npos || word.find('~') != std::string::npos) adapter.ProductCode(0);
    machine::AddAdapter(adapter);
    winsim::SetDevicePresent(id, word.find('!') == std::string::npos);
  }
  for (const std::string &key : Words(c.keys)) {
    machine::HoldController(std::stoul(key));
    winsim::SetDword(machine::kManufacturer1 + "\\" + key, "Channels", 30);
  }
  if (*c.keys != '\0') winsim::SetDword(machine::kManufacturer1, "NumberOfControllers", c.count);

  const std::vector<std::string> requests = Words(c.requests);
  for (size_t i = 0; i + 1 < requests.size(); i += 2) Request(requests[i], Id(requests[i + 1]));

  std::string numbers;
  for (const std::string &word : Words(c.numbersAfter)) {
    const std::optional<DWORD> stored =
        winsim::GetDword(machine::DeviceCapiKey(Id(word.substr(0, 1))), "Controller");
    numbers += (numbers.empty() ? "" : " ") + word.substr(0, 2) + (stored ? std::to_string(*stored + 1) : "");
  }
  EXPECT_EQ(numbers, c.numbersAfter);
  std::string keys;
  for (const std::string &key : winsim::SubkeyNames(machine::kManufacturer1)) {
    const std::optional<DWORD> channels = winsim::GetDword(machine::kManufacturer1 + "\\" + key, "Channels");
    keys += (keys.empty() ? "" : " ") + key + ":" + std::to_string(channels.value_or(0));
  }
  EXPECT_EQ(keys, c.keysAfter);
  EXPECT_EQ(winsim::GetDword(machine::kManufacturer1, "NumberOfControllers").value_or(0),
            Words(c.keysAfter).size());
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, NumberingAcrossRequests,
    ::testing::Values(
        // A failed first installation takes its number and the device's value back; a failed
        // driver update leaves the number the device held, with its channel count.
        NumberingCase{"FailThenAnotherThenTheFirst", "a b", "", 0, "fail a install b install a", "a=2 b=1",
                      "1:2 2:2"},
        NumberingCase{"FailThenTheSameThenAnother", "a b", "", 0, "fail a install a install b", "a=1 b=2",
                      "1:2 2:2"},
        NumberingCase{"FailedUpdateKeepsTheNumber", "a b", "", 0, "install a fail a install b", "a=1 b=2",
                      "1:2 2:2"},
        NumberingCase{"NeverInstalledAdapterHeldNothingBefore", "a~=1", "1", 1, "fail a", "a=", ""},
        // Broken machines: the adapter being installed gives up a number another one stores; of
        // two others on one number the present one keeps it, even when it comes second.
        NumberingCase{"InstalledAdapterYieldsASharedNumber", "a=1 b=1", "1", 1, "install b", "a=1 b=2",
                      "1:30 2:2"},
        NumberingCase{"PresentAdapterKeepsASharedNumber", "a!=1 b=1 c", "1", 1, "install c", "a=3 b=1 c=2",
                      "1:30 2:2 3:30"},
        // A number whose key is gone gets it back; a key nobody holds and a wrong count go.
        NumberingCase{"LostKeyOrphanAndCountAreRepaired", "a=2 b", "5", 7, "install b", "a=2 b=1", "1:2 2:0"},
        NumberingCase{"ReinstalledAdapterGetsItsKeyBack", "a=3", "", 0, "install a", "a=3", "3:2"},
        // A removed adapter that shares its number leaves it to the other one.
        NumberingCase{"RemovalLeavesASharedNumberToTheOther", "a=1 b=1", "1", 1, "remove b", "a=1 b=", "1:30"},
        // A removed adapter whose number has no key takes nothing off the count.
        NumberingCase{"RemovalOfANumberWithoutItsKey", "a=2 b=1", "1", 1, "remove a", "a= b=1", "1:30"}),
    [](const ::testing::TestParamInfo<NumberingCase> &info) { return std::string(info.param.name); });

}  // namespace
