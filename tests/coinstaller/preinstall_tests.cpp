// The pre-install phase: numbering of the device, the checks that refuse an installation with
// their events, and the purge of stale maker-class INF files.
#include "coinstaller_machine.h"
#include "sim_fixture.h"

namespace {

const std::string kSecondAdapter = "PCI\\VEN_1A2B&DEV_0C10\\2";

class PreInstallTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    machine::SetUpBaseMachine();
  }
};

TEST_F(PreInstallTest, NewDeviceGetsTheLowestFreeNumberOnceAndKeepsItWhenInstalledAgain) {
  machine::AddAdapter(machine::Adapter().Controller(1));
  machine::HoldController(1);
  const std::string id = machine::AddAdapter(machine::Adapter().Id(kSecondAdapter));
  machine::DeviceInSet device(id);
  device.SelectDriver();
  COINSTALLER_CONTEXT_DATA context = {};
  EXPECT_EQ(PreInstallDevice(device.set, &device.data, &context), machine::kPostprocessingRequired);
  EXPECT_EQ(context.PrivateData, reinterpret_cast<PVOID>(ULONG_PTR{2}));
  EXPECT_EQ(winsim::GetDword(machine::DeviceCapiKey(id), "Controller"), 1u) << "number 2 is stored as 1";
  EXPECT_TRUE(winsim::KeyExists(machine::kManufacturer1 + "\\2"));
  EXPECT_EQ(winsim::GetDword(machine::kManufacturer1, "NumberOfControllers"), 2u);
  EXPECT_EQ(winsim::GetString(machine::kDriverParameters, "CapiDeviceName"), "CAPI201");
  EXPECT_TRUE(winsim::Events().empty());

  // Installed again, it keeps its number, marked as held before, without allocating or naming it
  // again; the start-up block (once) and the build number are written on every pass.
  winsim::DeleteTree(machine::kDriverParameters);
  winsim::SetString(machine::kProductCapi + "\\BuildNumber", "", "1001");
  const std::string numbering = winsim::ExportReg(machine::kCapi20);
  EXPECT_EQ(PreInstallDevice(device.set, &device.data, &context), machine::kPostprocessingRequired);
  EXPECT_EQ(context.PrivateData, reinterpret_cast<PVOID>(ULONG_PTR{0x80000002u}));
  EXPECT_EQ(winsim::ExportReg(machine::kCapi20), numbering);
  EXPECT_FALSE(winsim::KeyExists(machine::kDriverParameters));
  EXPECT_EQ(winsim::GetString(machine::kProductCapi + "\\BuildNumber", ""), "1146");
  const std::optional<std::string> autoexec = winsim::GetFile(machine::kAutoexecPath);
  ASSERT_TRUE(autoexec.has_value());
  EXPECT_NE(autoexec->find(machine::kAutoexecBlock), std::string::npos);
  EXPECT_EQ(autoexec->find(machine::kAutoexecBlock), autoexec->rfind(machine::kAutoexecBlock)) << "one block";
}

// ---- Refusals: one per row of the failure table ----

struct Refusal {
  const char *name;
  DWORD eventId;
  std::optional<DWORD> lastError;  // the event's data, when it carries the last-error code
  bool controllerValueStays;       // the device's key keeps the released number
};
void PrintTo(const Refusal &c, std::ostream *out) {
  *out << c.name;
}

// Shown by name when a case fails.

class PreInstallRefusal : public PreInstallTest, public ::testing::WithParamInterface<Refusal> {
 protected:
  // Another adapter holds number 1, so the device being installed is given number 2 and giving
  // it back leaves the manufacturer key in place.
  void SetUp() override {
    PreInstallTest::SetUp();
    machine::AddAdapter(machine::Adapter().Controller(1));
    machine::HoldController(1);
    id_ = machine::AddAdapter(machine::Adapter().Id(kSecondAdapter));
  }
  std::string id_;
};

TEST_P(PreInstallRefusal, RefusesWithItsEventAndGivesBackWhatItTook) {
  const Refusal &row = GetParam();
  const std::string name = row.name;
  machine::DeviceInSet device(id_);
  if (name != "NoSelectedDriver") device.SelectDriver();
  if (name == "ClassListUnavailable") {
    winsim::FailNthCall("SetupDiGetClassDevsA", 1, ERROR_NOT_ENOUGH_MEMORY);
  } else if (name == "AllocationFails") {
    winsim::FailCallsMatching("RegCreateKeyExA", "SOFTWARE\\CAPI20", ERROR_ACCESS_DENIED);
  } else if (name == "DeviceKeyRefusesTheNumber") {
    winsim::FailCallsMatching("RegSetValueExA", "VendorSpecific\\CAPI\\Controller", ERROR_ACCESS_DENIED);
  } else if (name == "DeviceNameCannotBeWritten") {
    winsim::FailCallsMatching("RegSetValueExA", "Parameters\\CapiDeviceName", ERROR_ACCESS_DENIED);
  }

  const PVOID untouched = reinterpret_cast<PVOID>(ULONG_PTR{0x5A5A});
  COINSTALLER_CONTEXT_DATA context = {FALSE, 0, untouched};
  EXPECT_EQ(PreInstallDevice(device.set, &device.data, &context), machine::kDontInstall);
  EXPECT_EQ(context.PrivateData, untouched);

  ASSERT_EQ(winsim::Events().size(), 1u);
  const winsim::EventRecord &event = winsim::Events()[0];
  EXPECT_EQ(event.source, "ORVIK.ISDN.Coinstaller");
  EXPECT_EQ(event.type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(event.id, row.eventId);
  EXPECT_EQ(event.data, row.lastError ? machine::LittleEndian(*row.lastError) : std::vector<BYTE>{});

  // Rows 2004 and 2005 allocated number 2 and gave it back; the others never took it.
  EXPECT_TRUE(winsim::KeyExists(machine::kManufacturer1 + "\\1"));
  EXPECT_FALSE(winsim::KeyExists(machine::kManufacturer1 + "\\2"));
  EXPECT_EQ(winsim::GetDword(machine::kManufacturer1, "NumberOfControllers"), 1u);
  EXPECT_EQ(winsim::GetDword(machine::DeviceCapiKey(id_), "Controller").has_value(), row.controllerValueStays);
  EXPECT_FALSE(winsim::HasFile(machine::kAutoexecPath));
  EXPECT_FALSE(winsim::KeyExists(machine::kProductCapi + "\\BuildNumber"));

  if (row.controllerValueStays) {
    // The device's key still names the released number, which nobody else took: the next
    // installation takes it again, with its key back and counted.
    winsim::ClearFaults();
    COINSTALLER_CONTEXT_DATA retry = {};
    EXPECT_EQ(PreInstallDevice(device.set, &device.data, &retry), machine::kPostprocessingRequired);
    EXPECT_EQ(machine::PrivateNumber(retry), 2u);
    EXPECT_TRUE(winsim::KeyExists(machine::kManufacturer1 + "\\2"));
    EXPECT_EQ(winsim::GetDword(machine::kManufacturer1, "NumberOfControllers"), 2u);
  }
}

INSTANTIATE_TEST_SUITE_P(FailureTable, PreInstallRefusal,
                         ::testing::Values(Refusal{"ClassListUnavailable", 2000, ERROR_NOT_ENOUGH_MEMORY, false},
                                           Refusal{"NoSelectedDriver", 2001, ERROR_NO_DRIVER_SELECTED, false},
                                           Refusal{"AllocationFails", 2003, std::nullopt, false},
                                           Refusal{"DeviceKeyRefusesTheNumber", 2004, std::nullopt, false},
                                           Refusal{"DeviceNameCannotBeWritten", 2005, std::nullopt, true}),
                         [](const ::testing::TestParamInfo<Refusal> &info) {
                           return std::string(info.param.name);
                         });

// ---- Stale INF purge ----

const std::string kInfFolder = "C:\\WINDOWS\\inf\\";

std::string ClassInf(const std::string &className) {
  return "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=" + className +
         "\r\nClassGuid={4D36E972-E325-11CE-BFC1-08002BE10318}\r\n";
}

class InfPurgeTest : public PreInstallTest {
 protected:
  // INF files of the maker's class in any letter case go with their precompiled copies, present or
  // not; INF files of other classes, files that are no INF and a lone precompiled file stay.
  struct InfFile {
    const char *name;
    std::string text;
    bool stays;
  };
  const std::vector<InfFile> infs_ = {
      {"oem5.inf", ClassInf("orvik"), false}, {"oem5.pnf", "precompiled", false},
      {"oem6.inf", ClassInf("Net"), true},    {"oem6.pnf", "precompiled", true},
      {"oem7.inf", ClassInf("ORVIK"), false}, {"oem8.inf", "not an INF file at all\r\n", true},
      {"oem9.inf", ClassInf("ORVIKX"), true}, {"orvik.pnf", "precompiled", true}};
  void PutInfs(const std::string &folder = kInfFolder) {
    for (const InfFile &inf : infs_) winsim::PutFile(folder + inf.name, inf.text);
  }
  void ExpectPurged(const std::string &folder = kInfFolder) {
    for (const InfFile &inf : infs_) EXPECT_EQ(winsim::HasFile(folder + inf.name), inf.stays) << inf.name;
  }
};

TEST_F(InfPurgeTest, MakerClassInfsGoWithTheirPrecompiledCopiesOthersStay) {
  // A Windows folder at the root of a drive already ends in a backslash.
  for (const auto &[windows, infFolder] : {std::pair<std::string, std::string>{"C:\\WINDOWS", kInfFolder},
                                           std::pair<std::string, std::string>{"C:\\", "C:\\inf\\"}}) {
    winsim::SetWindowsDirectory(windows);
    PutInfs(infFolder);
    PurgeStaleVendorInfs();
    ExpectPurged(infFolder);
  }
}

TEST_F(InfPurgeTest, PurgeRunsBeforeTheChecksOfAnInstallation) {
  PutInfs();
  const std::string id = machine::AddAdapter(machine::Adapter());
  machine::DeviceInSet device(id);
  winsim::FailNthCall("SetupDiGetClassDevsA", 1, ERROR_NOT_ENOUGH_MEMORY);
  COINSTALLER_CONTEXT_DATA context = {};
  EXPECT_EQ(PreInstallDevice(device.set, &device.data, &context), machine::kDontInstall);
  ExpectPurged();
}

TEST_F(InfPurgeTest, EmptyInfFolderOrNoWindowsFolderChangesNothing) {
  PurgeStaleVendorInfs();
  winsim::PutFile(kInfFolder + "oem5.inf", ClassInf("ORVIK"));
  winsim::FailNthCall("GetWindowsDirectoryA", 1, ERROR_NOT_ENOUGH_MEMORY);
  PurgeStaleVendorInfs();
  EXPECT_TRUE(winsim::HasFile(kInfFolder + "oem5.inf"));
}

}  // namespace
