// What the simulated SetupAPI offers beyond Windows, and what only the simulation can show: devices
// set up through winsim.h and kept in the registry, presence by the volatile Control key, exact
// driver ranks, the folder search for INF files, the machine's architecture, handle accounting and
// injected failures.
#include <gtest/gtest.h>
#include <winsim.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr char kClass[] = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
constexpr char kInfFolder[] = "C:\\WINDOWS\\inf";

template <typename Record>
Record Sized() {
  Record record{};
  record.cbSize = sizeof(Record);
  return record;
}

winsim::DeviceSpec Device(const std::string &id, std::vector<std::string> hardwareIds = {},
                          std::vector<std::string> compatibleIds = {}, bool present = true) {
  winsim::DeviceSpec spec;
  spec.instanceId = id;
  spec.classGuid = kClass;
  spec.hardwareIds = std::move(hardwareIds);
  spec.compatibleIds = std::move(compatibleIds);
  spec.present = present;
  return spec;
}

GUID ClassGuid() {
  GUID guid{};
  winsim::ParseGuid(kClass, &guid);
  return guid;
}

std::string Inf(const std::string &manufacturer, const std::string &models, const std::string &more = "") {
  return "[Version]\r\nSignature=$Windows NT$\r\nClass=Ports\r\nProvider=Maker\r\n"
         "[Manufacturer]\r\n" +
         manufacturer + "\r\n" + models + more;
}

class SetupApiSim : public ::testing::Test {
 protected:
  // Drive C: is a folder of the test's own, so that INF files it puts in the INF folder are seen
  // by no other test; the program's drive C: comes back afterwards.
  void SetUp() override {
    previousRoot_ = winsim::FileRoot();
    root_ = (std::filesystem::temp_directory_path() / "setupapi-sim-XXXXXX").string();
    ASSERT_NE(mkdtemp(root_.data()), nullptr);
    winsim::SetFileRoot(root_);
    winsim::Reset();
    winsim::AddSetupClass(kClass, "Ports");
  }
  void TearDown() override {
    if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
    winsim::HandleCounts open = winsim::OpenHandles();
    EXPECT_EQ(open.devInfoSets + open.infs + open.regKeys, 0) << winsim::DescribeOpenHandles();
    winsim::Reset();
    winsim::SetFileRoot(previousRoot_);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  // Opens the device in a fresh set kept by the fixture.
  void OpenDevice(const std::string &id) {
    set_ = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    device_ = Sized<SP_DEVINFO_DATA>();
    ASSERT_TRUE(SetupDiOpenDeviceInfoA(set_, id.c_str(), nullptr, 0, &device_)) << GetLastError();
  }

  // Builds the device's driver list and gives each driver's description and rank.
  std::vector<std::pair<std::string, DWORD>> Ranked() {
    std::vector<std::pair<std::string, DWORD>> ranked;
    EXPECT_TRUE(SetupDiBuildDriverInfoList(set_, &device_, SPDIT_COMPATDRIVER)) << GetLastError();
    SP_DRVINFO_DATA_A driver = Sized<SP_DRVINFO_DATA_A>();
    for (DWORD i = 0; SetupDiEnumDriverInfoA(set_, &device_, SPDIT_COMPATDRIVER, i, &driver); ++i) {
      SP_DRVINSTALL_PARAMS params = Sized<SP_DRVINSTALL_PARAMS>();
      EXPECT_TRUE(SetupDiGetDriverInstallParamsA(set_, &device_, &driver, &params));
      ranked.emplace_back(driver.Description, params.Rank);
    }
    return ranked;
  }

  std::string SelectedDescription() {
    SP_DRVINFO_DATA_A selected = Sized<SP_DRVINFO_DATA_A>();
    if (!SetupDiGetSelectedDriverA(set_, &device_, &selected)) return "<none>";
    return selected.Description;
  }

  std::string previousRoot_, root_;
  HDEVINFO set_ = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA device_{};
};

using Ranks = std::vector<std::pair<std::string, DWORD>>;

std::vector<std::string> Members(HDEVINFO set) {
  std::vector<std::string> ids;
  SP_DEVINFO_DATA device = Sized<SP_DEVINFO_DATA>();
  char id[MAX_PATH];
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    EXPECT_TRUE(SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, nullptr));
    ids.push_back(id);
  }
  return ids;
}

TEST_F(SetupApiSim, PresenceIsTheVolatileControlKeyAndARestartFindsThePluggedInDevicesAgain) {
  winsim::AddDevice(Device("ROOT\\PORTS\\0001", {"LPTENUM\\B"}));
  winsim::AddDevice(Device("ACPI\\PNP0401\\0", {"LPTENUM\\A"}, {}, false));
  EXPECT_FALSE(winsim::IsDevicePresent("ACPI\\PNP0401\\0"));
  EXPECT_TRUE(winsim::KeyExists(winsim::HardwareKeyPath("ACPI\\PNP0401\\0")));

  GUID ports = ClassGuid();
  HDEVINFO all = SetupDiGetClassDevsA(&ports, nullptr, nullptr, 0);
  EXPECT_EQ(Members(all), (std::vector<std::string>{"ACPI\\PNP0401\\0", "ROOT\\PORTS\\0001"}))
      << "in the Enum tree's enumeration order";
  HDEVINFO present = SetupDiGetClassDevsA(&ports, nullptr, nullptr, DIGCF_PRESENT);
  EXPECT_EQ(Members(present), (std::vector<std::string>{"ROOT\\PORTS\\0001"}));
  SetupDiDestroyDeviceInfoList(present);

  // A device made absent after the set was built stays in it; a new list no longer shows it.
  winsim::SetDevicePresent("ROOT\\PORTS\\0001", false);
  winsim::SetDevicePresent("ACPI\\PNP0401\\0", true);
  EXPECT_EQ(Members(all).size(), 2u);
  SetupDiDestroyDeviceInfoList(all);
  present = SetupDiGetClassDevsA(&ports, nullptr, nullptr, DIGCF_PRESENT);
  EXPECT_EQ(Members(present), (std::vector<std::string>{"ACPI\\PNP0401\\0"}));
  SetupDiDestroyDeviceInfoList(present);

  winsim::CreateKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Boot");
  winsim::CreateKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Boot\\Volatile\\Below", true);
  winsim::Restart();
  EXPECT_TRUE(winsim::IsDevicePresent("ACPI\\PNP0401\\0"));
  EXPECT_FALSE(winsim::IsDevicePresent("ROOT\\PORTS\\0001")) << "a device plugged out stays absent";
  EXPECT_FALSE(winsim::KeyExists("HKEY_LOCAL_MACHINE\\SOFTWARE\\Boot\\Volatile"));
  EXPECT_TRUE(winsim::KeyExists("HKEY_LOCAL_MACHINE\\SOFTWARE\\Boot"));
}

TEST_F(SetupApiSim, SoftwareKeysTakeTheLowestFreeNumberAndHonourDenials) {
  std::string a = winsim::AddDevice(Device("ROOT\\PORTS\\0000"));
  std::string b = winsim::AddDevice(Device("ROOT\\PORTS\\0001"));
  std::string classKey = std::string("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\") + kClass;
  EXPECT_EQ(winsim::DriverKeyPath(a), classKey + "\\0000");
  EXPECT_EQ(winsim::DriverKeyPath(b), classKey + "\\0001");

  OpenDevice(b);
  winsim::DenyAccess(winsim::DriverKeyPath(b), KEY_SET_VALUE);
  winsim::ResetCallCounts();
  EXPECT_EQ(SetupDiOpenDevRegKey(set_, &device_, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_WRITE), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  HKEY key = SetupDiOpenDevRegKey(set_, &device_, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
  ASSERT_NE(key, INVALID_HANDLE_VALUE);
  EXPECT_EQ(winsim::CallCounts().count("RegOpenKeyExA"), 0u) << "SetupAPI's own registry work is not counted";
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  ASSERT_TRUE(SetupDiRemoveDevice(set_, &device_));
  EXPECT_FALSE(winsim::KeyExists(classKey + "\\0001"));
  winsim::AddDevice(Device("ROOT\\PORTS\\0002"));
  EXPECT_EQ(winsim::DriverKeyPath("ROOT\\PORTS\\0002"), classKey + "\\0001") << "the freed number is taken again";
}

TEST_F(SetupApiSim, RankCombinesMatchKindAndPositions) {
  winsim::AddDevice(Device("ROOT\\PORTS\\0000", {"HW\\ONE", "HW\\TWO"}, {"CID\\ONE", "CID\\TWO"}));
  winsim::PutFile(std::string(kInfFolder) + "\\ranks.inf", Inf("Maker=Models",
                                                               "[Models]\r\n"
                                                               "SecondHardwareId=S,HW\\TWO\r\n"
                                                               "HardwareIdAsCompatible=S,OTHER,HW\\ONE\r\n"
                                                               "SecondCompatibleId=S,CID\\TWO\r\n"
                                                               "CompatibleIdsBoth=S,OTHER,ELSE,CID\\ONE\r\n"
                                                               "BestOfTwo=S,HW\\ONE,CID\\ONE\r\n"
                                                               "SameRankLater=S,HW\\ONE\r\n"
                                                               "NoMatch=S,CID\\THREE\r\n"));
  OpenDevice("ROOT\\PORTS\\0000");
  EXPECT_EQ(Ranked(), (Ranks{{"SecondHardwareId", 0x0001},
                             {"HardwareIdAsCompatible", 0x1000},
                             {"SecondCompatibleId", 0x2001},
                             {"CompatibleIdsBoth", 0x3100},
                             {"BestOfTwo", 0x0000},
                             {"SameRankLater", 0x0000}}));
  ASSERT_TRUE(SetupDiSelectBestCompatDrv(set_, &device_));
  EXPECT_EQ(SelectedDescription(), "BestOfTwo") << "the first of equal ranks";

  // Destroying the list forgets ranks and selection; a new build ranks afresh.
  ASSERT_TRUE(SetupDiDestroyDriverInfoList(set_, &device_, SPDIT_COMPATDRIVER));
  EXPECT_EQ(SelectedDescription(), "<none>");
  EXPECT_EQ(Ranked().size(), 6u);
}

TEST_F(SetupApiSim, FolderSearchAndTheMachinesArchitecture) {
  winsim::AddDevice(Device("ROOT\\PORTS\\0000", {"HW\\ONE"}));
  const std::string decorated = Inf("Maker=Models,NTx86,NTamd64.5.2,NTamd64.6.0",
                                    "[Models.NTx86]\r\nX86=S,HW\\ONE\r\n"
                                    "[Models.NTamd64.5.2]\r\nAmd64=S,HW\\ONE\r\n"
                                    "[Models.NTamd64.6.0]\r\nLater=S,HW\\ONE\r\n");
  winsim::PutFile(std::string(kInfFolder) + "\\b.inf", Inf("Maker", "[Maker]\r\nFromB=S,HW\\ONE\r\n"));
  winsim::PutFile(std::string(kInfFolder) + "\\A.INF", decorated);
  winsim::PutFile(std::string(kInfFolder) + "\\broken.inf", "[Version]\r\nSignature=$Chicago$\r\n[Unclosed\r\n");
  winsim::PutFile(std::string(kInfFolder) + "\\notes.txt", decorated);
  winsim::PutFile("C:\\drivers\\only.inf", Inf("Maker", "[Maker]\r\nFromDrivers=S,HW\\ONE\r\n"));

  OpenDevice("ROOT\\PORTS\\0000");
  EXPECT_EQ(Ranked(), (Ranks{{"X86", 0}, {"FromB", 0}})) << "every INF of the INF folder, by name";
  SetupDiDestroyDeviceInfoList(set_);

  winsim::SetArchitecture("amd64");
  OpenDevice("ROOT\\PORTS\\0000");
  SP_DEVINSTALL_PARAMS_A params = Sized<SP_DEVINSTALL_PARAMS_A>();
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(set_, &device_, &params));
  std::strcpy(params.DriverPath, "C:\\drivers");
  ASSERT_TRUE(SetupDiSetDeviceInstallParamsA(set_, &device_, &params));
  EXPECT_EQ(Ranked(), (Ranks{{"FromDrivers", 0}})) << "a driver path without DI_ENUMSINGLEINF is a folder";
  SetupDiDestroyDeviceInfoList(set_);

  OpenDevice("ROOT\\PORTS\\0000");
  EXPECT_EQ(Ranked(), (Ranks{{"Amd64", 0}, {"FromB", 0}}))
      << "the amd64 target this Windows version meets; a later version's is passed over";
  HINF inf = SetupOpenInfFileA("A.INF", nullptr, INF_STYLE_WIN4, nullptr);
  ASSERT_NE(inf, INVALID_HANDLE_VALUE);
  char section[LINE_LEN];
  ASSERT_TRUE(SetupDiGetActualSectionToInstallA(inf, "Models", section, sizeof section, nullptr, nullptr));
  EXPECT_STREQ(section, "Models");
  SetupCloseInfFile(inf);
  set_ = INVALID_HANDLE_VALUE;  // the set goes with the machine
  winsim::Reset();
  winsim::PutFile(std::string(kInfFolder) + "\\x.inf",
                  "[Version]\r\nSignature=$Chicago$\r\n[S.NTx86]\r\n[S.NTamd64]\r\n");
  inf = SetupOpenInfFileA("x.inf", nullptr, INF_STYLE_WIN4, nullptr);
  ASSERT_TRUE(SetupDiGetActualSectionToInstallA(inf, "S", section, sizeof section, nullptr, nullptr));
  EXPECT_STREQ(section, "S.NTx86") << "Reset makes the machine an x86 one again";
  SetupCloseInfFile(inf);
}

TEST_F(SetupApiSim, DriverRecordsWithTheSameTextsAreToldApartByReserved) {
  winsim::AddDevice(Device("ROOT\\PORTS\\0000", {"HW\\ONE"}));
  winsim::PutFile(std::string(kInfFolder) + "\\one.inf", Inf("Maker", "[Maker]\r\nSame=FromOne,HW\\ONE\r\n"));
  winsim::PutFile(std::string(kInfFolder) + "\\two.inf", Inf("Maker", "[Maker]\r\nSame=FromTwo,HW\\ONE\r\n"));
  OpenDevice("ROOT\\PORTS\\0000");
  ASSERT_EQ(Ranked().size(), 2u);
  SP_DRVINFO_DATA_A second = Sized<SP_DRVINFO_DATA_A>();
  ASSERT_TRUE(SetupDiEnumDriverInfoA(set_, &device_, SPDIT_COMPATDRIVER, 1, &second));

  std::vector<char> storage(2048);
  auto *detail = reinterpret_cast<SP_DRVINFO_DETAIL_DATA_A *>(storage.data());
  detail->cbSize = sizeof *detail;
  ASSERT_TRUE(SetupDiGetDriverInfoDetailA(set_, &device_, &second, detail, 2048, nullptr));
  EXPECT_STREQ(detail->SectionName, "FromTwo");
  EXPECT_STREQ(detail->InfFileName, "C:\\WINDOWS\\inf\\two.inf");
  second.Reserved = 0;
  ASSERT_TRUE(SetupDiGetDriverInfoDetailA(set_, &device_, &second, detail, 2048, nullptr));
  EXPECT_STREQ(detail->SectionName, "FromOne") << "without Reserved the texts name the first such driver";
  std::strcpy(second.Description, "Unknown");
  EXPECT_FALSE(SetupDiGetDriverInfoDetailA(set_, &device_, &second, detail, 2048, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SetupApiSim, HandlesAreCountedAndCallsCanBeMadeToFail) {
  winsim::AddDevice(Device("ROOT\\PORTS\\0000", {"HW\\ONE"}));
  winsim::PutFile(std::string(kInfFolder) + "\\one.inf", Inf("Maker", "[Maker]\r\nOnly=S,HW\\ONE\r\n"));
  OpenDevice("ROOT\\PORTS\\0000");
  HINF inf = SetupOpenInfFileA("one.inf", nullptr, INF_STYLE_WIN4, nullptr);
  ASSERT_NE(inf, INVALID_HANDLE_VALUE);
  winsim::HandleCounts open = winsim::OpenHandles();
  EXPECT_EQ(open.devInfoSets, 1);
  EXPECT_EQ(open.infs, 1);
  std::string described = winsim::DescribeOpenHandles();
  EXPECT_NE(described.find("ROOT\\PORTS\\0000"), std::string::npos) << described;
  EXPECT_NE(described.find("C:\\WINDOWS\\inf\\one.inf"), std::string::npos) << described;
  SetupCloseInfFile(inf);

  ASSERT_EQ(Ranked().size(), 1u);
  SP_DRVINFO_DATA_A driver = Sized<SP_DRVINFO_DATA_A>();
  ASSERT_TRUE(SetupDiEnumDriverInfoA(set_, &device_, SPDIT_COMPATDRIVER, 0, &driver));
  std::vector<char> storage(2048, 'x');
  auto *detail = reinterpret_cast<SP_DRVINFO_DETAIL_DATA_A *>(storage.data());
  detail->cbSize = sizeof *detail;
  winsim::FailNthCall("SetupDiGetDriverInfoDetailA", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(SetupDiGetDriverInfoDetailA(set_, &device_, &driver, detail, 2048, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(detail->SectionName[0], 'x') << "a failing call does nothing else";
  EXPECT_TRUE(SetupDiGetDriverInfoDetailA(set_, &device_, &driver, detail, 2048, nullptr));

  winsim::FailCallsMatching("SetupOpenInfFileA", "one.inf", ERROR_ACCESS_DENIED);
  EXPECT_EQ(SetupOpenInfFileA("one.inf", nullptr, INF_STYLE_WIN4, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "the subject is the INF's full path";
  ASSERT_TRUE(winsim::FailedCall().has_value());
  EXPECT_EQ(winsim::FailedCall()->subject, "C:\\WINDOWS\\inf\\one.inf");
}

TEST_F(SetupApiSim, InfTextInUtf16AndCutAtControlZ) {
  std::string text = "[Version]\r\nSignature=$Chicago$\r\n[S]\r\nkey=value\r\n\x1a[T]\r\nlost=1\r\n";
  std::string utf16 = "\xFF\xFE";
  for (char c : text) utf16 += std::string(1, c) + '\0';
  winsim::PutFile("C:\\wide.inf", utf16);
  HINF inf = SetupOpenInfFileA("C:\\wide.inf", nullptr, INF_STYLE_WIN4, nullptr);
  ASSERT_NE(inf, INVALID_HANDLE_VALUE) << GetLastError();
  INFCONTEXT context;
  ASSERT_TRUE(SetupFindFirstLineA(inf, "s", "KEY", &context));
  char value[16];
  ASSERT_TRUE(SetupGetStringFieldA(&context, 1, value, sizeof value, nullptr));
  EXPECT_STREQ(value, "value");
  EXPECT_FALSE(SetupFindFirstLineA(inf, "T", nullptr, &context)) << "nothing after Ctrl-Z is read";
  SetupCloseInfFile(inf);
}

}  // namespace
