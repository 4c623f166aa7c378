// The simulated machine as the product's tests and the simulator set it up: .reg text in and out,
// devices kept in the registry with their presence, driver ranks and the INF search, and the
// machine's restart.
#include "extras_test.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using MachineSim = ExtrasTest;

constexpr char kKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Sim";
constexpr char kPorts[] = "{4D36E978-E325-11CE-BFC1-08002BE10318}";

// ---- .reg text --------------------------------------------------------------------------------

TEST_F(MachineSim, ExportWritesRegedit4AsRegeditDoes) {
  winsim::SetString(kKey, "", "Default");
  winsim::SetString(kKey, "Path", "C:\\Dir \"q\"");
  winsim::SetDword(kKey, "Count", 0x1234abcd);
  winsim::SetValue(kKey, "Multi", REG_MULTI_SZ, {'a', 0, 'b', 0, 0});
  winsim::SetValue(kKey, "Unterminated", REG_SZ, {'n', 'o'});
  winsim::CreateKey(std::string(kKey) + "\\b");
  winsim::CreateKey(std::string(kKey) + "\\A");
  EXPECT_EQ(winsim::ExportReg("HKLM\\Software\\SIM"),
            CrLf({"REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Sim]", "@=\"Default\"",
                  "\"Path\"=\"C:\\\\Dir \\\"q\\\"\"", "\"Count\"=dword:1234abcd",
                  "\"Multi\"=hex(7):61,00,62,00,00", "\"Unterminated\"=hex(1):6e,6f", "",
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Sim\\A]", "", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Sim\\b]", ""}));
}

TEST_F(MachineSim, LoadReadsEveryFormOfEntryAndRefusesMalformedTextWithItsLine) {
  winsim::SetString(std::string(kKey) + "\\Old", "v", "x");
  winsim::SetString(kKey, "Gone", "x");
  std::string error;
  ASSERT_TRUE(winsim::LoadReg(CrLf({"", "REGEDIT4", "; a comment", "", "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Sim\\Old]",
                                    "[HKLM\\SOFTWARE\\Sim]", "\"Gone\"=-", "@=\"dflt\"", "\"D\" = DWORD:0000ABCD",
                                    "\"H\"=hex(2):25,41,\\", "    25,00", "\"E\"=hex:"}),
                              &error))
      << error;
  EXPECT_EQ(winsim::ExportReg(kKey), CrLf({"REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Sim]", "@=\"dflt\"",
                                           "\"D\"=dword:0000abcd", "\"H\"=hex(2):25,41,25,00", "\"E\"=hex:", ""}));
  std::u16string wide =
      u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Uni]\r\n\"N\"=\"\u00e9\u20ac\"\r\n";
  std::string bytes = "\xff\xfe";
  for (char16_t unit : wide) bytes += std::string{static_cast<char>(unit & 0xff), static_cast<char>(unit >> 8)};
  ASSERT_TRUE(winsim::LoadReg(bytes, &error)) << error;
  EXPECT_EQ(winsim::GetString("HKCU\\Uni", "N"), "\xe9?") << "regedit's UTF-16 text: Latin-1 kept, the rest '?'";

  const std::string good = CrLf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Partial]", "\"a\"=\"b\""});
  const std::pair<std::string, const char *> cases[] = {
      {CrLf({"REGEDIT5", "[HKEY_LOCAL_MACHINE\\X]"}), "line 1:"},
      {good + CrLf({"[HKEY_NOWHERE\\X]"}), "line 4:"},
      {good + CrLf({"\"open\"=\"never closed"}), "line 4:"},
      {good + CrLf({"\"d\"=dword:123456789"}), "line 4:"},
      {good + CrLf({"\"h\"=hex:01,\\", "  02,0g"}), "line 5:"},
      {bytes + "x", "line 1:"},
  };
  for (const auto &c : cases) {
    EXPECT_FALSE(winsim::LoadReg(c.first, &error)) << c.first;
    EXPECT_EQ(error.rfind(c.second, 0), 0u) << "got \"" << error << "\" for\n" << c.first;
    EXPECT_FALSE(winsim::KeyExists("HKEY_LOCAL_MACHINE\\SOFTWARE\\Partial")) << "nothing changed by\n" << c.first;
  }
}

// ---- Devices, drivers and the restart ----------------------------------------------------------

// The instance ids of the Ports class's devices SetupAPI lists with these flags.
std::string Listed(DWORD flags) {
  GUID ports{};
  winsim::ParseGuid(kPorts, &ports);
  HDEVINFO list = SetupDiGetClassDevsA(&ports, nullptr, nullptr, flags);
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  char id[MAX_PATH];
  std::string ids;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(list, i, &device); ++i) {
    SetupDiGetDeviceInstanceIdA(list, &device, id, sizeof id, nullptr);
    ids += (ids.empty() ? "" : " ") + std::string(id);
  }
  SetupDiDestroyDeviceInfoList(list);
  return ids;
}

TEST_F(MachineSim, PresenceDecidesTheListsAndARestartKeepsWhatIsOnDiskAndInTheLog) {
  winsim::AddSetupClass(kPorts, "Ports");
  const std::string classKey =
      std::string("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\") + kPorts;
  EXPECT_EQ(winsim::DriverKeyPath(winsim::AddDevice({"ROOT\\PORTS\\0001", kPorts, {}, {}, "", "", true})),
            classKey + "\\0000");
  EXPECT_EQ(winsim::DriverKeyPath(winsim::AddDevice({"ACPI\\PNP0401\\0", kPorts, {}, {}, "", "", false})),
            classKey + "\\0001")
      << "the next free number";
  EXPECT_EQ(Listed(0), "ACPI\\PNP0401\\0 ROOT\\PORTS\\0001") << "in the Enum tree's order";
  EXPECT_EQ(Listed(DIGCF_PRESENT), "ROOT\\PORTS\\0001");
  winsim::SetDevicePresent("ROOT\\PORTS\\0001", false);
  winsim::SetDevicePresent("ACPI\\PNP0401\\0", true);
  EXPECT_EQ(Listed(DIGCF_PRESENT), "ACPI\\PNP0401\\0");

  winsim::PutFile("C:\\kept.txt", "kept");
  winsim::CreateKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Boot");
  winsim::CreateKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Boot\\Volatile\\Below", true);
  HKEY open = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Boot", 0, KEY_READ, &open), ERROR_SUCCESS);
  ASSERT_TRUE(SetCurrentDirectoryA("C:\\WINDOWS"));
  const int listener = winsim::AddQuitListener({});
  HANDLE source = RegisterEventSourceA(nullptr, "Src");
  ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 2000, nullptr, 0, 0, nullptr, nullptr);
  winsim::ScheduleAt(10, [] { ADD_FAILURE() << "work of the old boot ran"; });
  winsim::Restart();
  Sleep(20);
  EXPECT_EQ(winsim::OpenHandles().Total(), 0) << "handles of the old boot are gone";
  EXPECT_TRUE(winsim::IsDevicePresent("ACPI\\PNP0401\\0"));
  EXPECT_FALSE(winsim::IsDevicePresent("ROOT\\PORTS\\0001")) << "a device plugged out stays absent";
  EXPECT_FALSE(winsim::KeyExists("HKEY_LOCAL_MACHINE\\SOFTWARE\\Boot\\Volatile")) << "volatile keys vanish";
  EXPECT_TRUE(winsim::KeyExists("HKEY_LOCAL_MACHINE\\SOFTWARE\\Boot"));
  EXPECT_TRUE(winsim::HasFile("C:\\kept.txt"));
  EXPECT_EQ(winsim::Events().size(), 1u) << "the event log keeps its records";
  EXPECT_FALSE(winsim::QuitListenerAlive(listener)) << "the programs of the old boot ended";
  char folder[MAX_PATH];
  GetCurrentDirectoryA(MAX_PATH, folder);
  EXPECT_STREQ(folder, "C:\\");
}

std::string Inf(const std::string &manufacturer, const std::string &models) {
  return "[Version]\r\nSignature=$Windows NT$\r\nClass=Ports\r\nProvider=Maker\r\n[Manufacturer]\r\n" +
         manufacturer + "\r\n" + models;
}

// Builds the device's driver list from the INF folder, or from the driver path given, and tells
// each driver's description and rank, and which one SetupDiSelectBestCompatDrv selects.
std::string Ranked(const char *driverPath = nullptr) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  EXPECT_TRUE(SetupDiOpenDeviceInfoA(set, "ROOT\\PORTS\\0000", nullptr, 0, &device));
  SP_DEVINSTALL_PARAMS_A params = {};
  params.cbSize = sizeof params;
  SetupDiGetDeviceInstallParamsA(set, &device, &params);
  if (driverPath) std::strcpy(params.DriverPath, driverPath);
  SetupDiSetDeviceInstallParamsA(set, &device, &params);
  EXPECT_TRUE(SetupDiBuildDriverInfoList(set, &device, SPDIT_COMPATDRIVER)) << GetLastError();
  SP_DRVINFO_DATA_A driver = {};
  driver.cbSize = sizeof driver;
  std::string ranked;
  for (DWORD i = 0; SetupDiEnumDriverInfoA(set, &device, SPDIT_COMPATDRIVER, i, &driver); ++i) {
    SP_DRVINSTALL_PARAMS rank = {};
    rank.cbSize = sizeof rank;
    SetupDiGetDriverInstallParamsA(set, &device, &driver, &rank);
    char hex[16];
    std::snprintf(hex, sizeof hex, "%04lX", static_cast<unsigned long>(rank.Rank));
    ranked += std::string(driver.Description) + " " + hex + ", ";
  }
  SP_DRVINFO_DATA_A selected = {};
  selected.cbSize = sizeof selected;
  ranked += SetupDiSelectBestCompatDrv(set, &device) && SetupDiGetSelectedDriverA(set, &device, &selected)
                ? std::string("best ") + selected.Description
                : "none selected";
  SetupDiDestroyDeviceInfoList(set);
  return ranked;
}

TEST_F(MachineSim, DriverRanksCombineMatchKindAndPositionsAndDriversComeFromTheInfFolder) {
  winsim::AddDevice({"ROOT\\PORTS\\0000", kPorts, {"HW\\ONE", "HW\\TWO"}, {"CID\\ONE", "CID\\TWO"}, "", "", true});
  winsim::PutFile("C:\\WINDOWS\\inf\\ranks.inf", Inf("Maker=Models,NTx86,NTamd64",
                                                     "[Models.NTx86]\r\n"
                                                     "SecondHardwareId=S,HW\\TWO\r\n"
                                                     "HardwareIdAsCompatible=S,OTHER,HW\\ONE\r\n"
                                                     "SecondCompatibleId=S,CID\\TWO\r\n"
                                                     "CompatibleIdsBoth=S,OTHER,ELSE,CID\\ONE\r\n"
                                                     "BestOfTwo=S,HW\\ONE,CID\\ONE\r\n"
                                                     "SameRankLater=S,HW\\ONE\r\n"
                                                     "NoMatch=S,CID\\THREE\r\n"
                                                     "[Models.NTamd64]\r\nOtherPlatform=S,HW\\ONE\r\n"));
  winsim::PutFile("C:\\WINDOWS\\inf\\notes.txt", Inf("Maker", "[Maker]\r\nNotAnInf=S,HW\\ONE\r\n"));
  winsim::PutFile("C:\\drivers\\only.inf", Inf("Maker", "[Maker]\r\nFromDrivers=S,HW\\ONE\r\n"));
  EXPECT_EQ(Ranked(),
            "SecondHardwareId 0001, HardwareIdAsCompatible 1000, SecondCompatibleId 2001, CompatibleIdsBoth 3100, "
            "BestOfTwo 0000, SameRankLater 0000, best BestOfTwo");
  EXPECT_EQ(Ranked("C:\\drivers"), "FromDrivers 0000, best FromDrivers")
      << "a driver path without DI_ENUMSINGLEINF is a folder to search";
}

}  // namespace
