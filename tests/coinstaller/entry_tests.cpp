// The module as SetupAPI sees it: loaded by name, the entry point found by name, and each request
// code sent to the phase that handles it.
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
  COINSTALLER_CONTEXT_DATA context = {};
  EXPECT_EQ(DeviceCoInstallerFunc(DIF_INSTALLDEVICE, device.set, &device.data, &context), machine::kDontInstall);
  EXPECT_EQ(winsim::GetString(machine::kModuleEventSource, "EventMessageFile"),
            "%SystemRoot%\\System32\\onlcoin.dll");
  EXPECT_EQ(winsim::GetDword(machine::kModuleEventSource, "TypesSupported"), 7u);

  winsim::SetString(machine::kModuleEventSource, "EventMessageFile", "stale.dll");
  winsim::SetDword(machine::kModuleEventSource, "TypesSupported", 1);
  EXPECT_EQ(DeviceCoInstallerFunc(DIF_INSTALLDEVICE, device.set, &device.data, &context), machine::kDontInstall);
  EXPECT_EQ(winsim::GetString(machine::kModuleEventSource, "EventMessageFile"),
            "%SystemRoot%\\System32\\onlcoin.dll");
  EXPECT_EQ(winsim::GetDword(machine::kModuleEventSource, "TypesSupported"), 7u);

  ASSERT_EQ(winsim::Events().size(), 2u);
  for (const winsim::EventRecord &event : winsim::Events()) {
    EXPECT_EQ(event.source, "ORVIK.ISDN.Coinstaller");
    EXPECT_EQ(event.id, 2001u);
  }
}

// A controller number held by another adapter keeps the manufacturer key alive, so that giving
// back the installed adapter's number shows as the removal of just its controller key.
class PostProcessingTest : public EntryTest {
 protected:
  void SetUp() override {
    EntryTest::SetUp();
    machine::AddAdapter(machine::Adapter().Id("PCI\\VEN_1A2B&DEV_0C10\\1").Controller(1));
    machine::HoldController(1);
    machine::HoldController(2);
  }
  DWORD PostProcess(const std::string &id, DWORD installResult) {
    machine::DeviceInSet device(id);
    COINSTALLER_CONTEXT_DATA context = {TRUE, installResult, reinterpret_cast<PVOID>(ULONG_PTR{2})};
    return DeviceCoInstallerFunc(DIF_INSTALLDEVICE, device.set, &device.data, &context);
  }
};

TEST_F(PostProcessingTest, SuccessStandsEvenWhenTheChannelCountCannotBeRecorded) {
  const std::string id = machine::AddAdapter(
      machine::Adapter().Id("PCI\\VEN_1A2B&DEV_0C10\\2").Controller(2).WanEndPoints(std::nullopt));
  EXPECT_EQ(PostProcess(id, NO_ERROR), static_cast<DWORD>(NO_ERROR));
  EXPECT_FALSE(winsim::KeyExists(machine::kManufacturer1 + "\\2")) << "the number went back";
  EXPECT_TRUE(winsim::KeyExists(machine::kManufacturer1 + "\\1"));
  EXPECT_TRUE(winsim::StartedProcesses().empty());
  EXPECT_FALSE(winsim::KeyExists(machine::kModuleEventSource)) << "post-processing registers no event source";
}

TEST_F(PostProcessingTest, AFailedInstallationIsUndoneAndItsStatusReturnedUnchanged) {
  const std::string id = machine::AddAdapter(machine::Adapter().Id("PCI\\VEN_1A2B&DEV_0C10\\2").Controller(2));
  const DWORD failures[] = {ERROR_DI_DONT_INSTALL, ERROR_NO_DRIVER_SELECTED, ERROR_ACCESS_DENIED};
  for (DWORD failure : failures) {
    winsim::CreateKey(machine::kManufacturer1 + "\\2");
    winsim::SetDword(machine::kManufacturer1, "NumberOfControllers", 2);
    EXPECT_EQ(PostProcess(id, failure), failure);
    EXPECT_FALSE(winsim::KeyExists(machine::kManufacturer1 + "\\2")) << "status " << failure;
    EXPECT_TRUE(winsim::KeyExists(machine::kManufacturer1 + "\\1")) << "status " << failure;
    EXPECT_FALSE(winsim::GetDword(machine::kManufacturer1 + "\\1", "Channels").has_value());
  }
  EXPECT_TRUE(winsim::StartedProcesses().empty());
  EXPECT_FALSE(winsim::KeyExists(machine::kModuleEventSource));
}

TEST_F(EntryTest, RemovalOfADeviceWithoutANumberReturnsZeroAndChangesNothing) {
  machine::HoldController(1);
  const std::string id = machine::AddAdapter(machine::Adapter());
  const std::string before = winsim::ExportReg("HKEY_LOCAL_MACHINE");
  machine::DeviceInSet device(id);
  COINSTALLER_CONTEXT_DATA context = {};
  EXPECT_EQ(DeviceCoInstallerFunc(DIF_REMOVE, device.set, &device.data, &context), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(winsim::ExportReg("HKEY_LOCAL_MACHINE"), before);
}

TEST_F(EntryTest, DriverChoiceReturnsZeroAndThePlatformSelectionTakesTheElectedDriver) {
  const std::string id = machine::AddAdapter(machine::Adapter());
  winsim::PutFile("C:\\WINDOWS\\inf\\oem1.inf", machine::DriverInf("Older driver", "01/15/2000"));
  winsim::PutFile("C:\\WINDOWS\\inf\\oem2.inf", machine::DriverInf("Newer driver", "06/26/2001"));
  winsim::PutFile("C:\\WINDOWS\\inf\\oem3.inf", machine::DriverInf("Undated driver", std::nullopt));
  machine::DeviceInSet device(id);
  DWORD status = 0;
  const SP_DRVINFO_DATA_A selected = device.ChooseDriver(&status);
  EXPECT_EQ(status, static_cast<DWORD>(NO_ERROR));
  EXPECT_STREQ(selected.Description, "Newer driver");
}

}  // namespace
