// SetupAPI as the co-installer and the simulator use it: class device lists, device keys and
// properties, install parameters and compatible-driver lists, checked through the Win32 API alone:
// the same checks run on the simulated platform and, built as a Windows program, under Wine. Every
// test gives its devices instance ids of their own and removes them again.
#include <cstring>
#include <string>
#include <vector>

// SetupAPI needs the Windows types declared first.
// clang-format off
#include "platform_test.h"
#include <setupapi.h>
#include <cfgmgr32.h>
// clang-format on

namespace {

// A device setup class of these tests alone, and another one for class filtering.
const GUID kTestClass = {0x9c1f4d2e, 0x7b3a, 0x4e51, {0xa0, 0xc2, 0x5d, 0x6e, 0x7f, 0x80, 0x9a, 0x1b}};
const GUID kOtherClass = {0x9c1f4d2f, 0x7b3a, 0x4e51, {0xa0, 0xc2, 0x5d, 0x6e, 0x7f, 0x80, 0x9a, 0x1b}};
constexpr char kTestClassText[] = "{9C1F4D2E-7B3A-4E51-A0C2-5D6E7F809A1B}";
constexpr char kClassRoot[] = "SYSTEM\\CurrentControlSet\\Control\\Class";
constexpr char kEnumRoot[] = "SYSTEM\\CurrentControlSet\\Enum";

std::string Upper(std::string text) {
  for (char &c : text) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return text;
}

// A SetupAPI record, zeroed, with its cbSize set.
template <typename Record>
Record Sized() {
  Record record{};
  record.cbSize = sizeof(Record);
  return record;
}

// "ROOT\WINSIMTEST\<suite>_<test><suffix>": an instance id that no other test uses.
std::string TestInstanceId(const std::string &suffix = "") {
  const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "_" + info->name() + suffix;
  return "ROOT\\WINSIMTEST\\" + name;
}

// Removes a device left behind by an earlier run that stopped half-way.
void RemoveIfPresent(const std::string &instanceId) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA device = Sized<SP_DEVINFO_DATA>();
  if (SetupDiOpenDeviceInfoA(set, instanceId.c_str(), nullptr, 0, &device)) SetupDiRemoveDevice(set, &device);
  SetupDiDestroyDeviceInfoList(set);
}

bool KeyExists(const std::string &path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// A DWORD read from a key the call opened, which is closed again; 0xFFFFFFFF when there is none.
DWORD DwordOf(HKEY key, const char *name) {
  if (key == INVALID_HANDLE_VALUE || key == nullptr) return 0xFFFFFFFF;
  DWORD value = 0xFFFFFFFF, size = sizeof value;
  RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size);
  RegCloseKey(key);
  return value;
}

BOOL SetMultiString(HDEVINFO set, SP_DEVINFO_DATA *device, DWORD property, const std::vector<std::string> &ids) {
  std::string data;
  for (const std::string &id : ids) data += id + '\0';
  data += '\0';
  return SetupDiSetDeviceRegistryPropertyA(set, device, property, reinterpret_cast<const BYTE *>(data.data()),
                                           static_cast<DWORD>(data.size()));
}

// A set holding one registered device of the test class, removed when the test ends.
class SetupDi : public ::testing::Test {
 protected:
  void SetUp() override {
    id_ = TestInstanceId();
    RemoveIfPresent(id_);
    set_ = SetupDiCreateDeviceInfoList(&kTestClass, nullptr);
    ASSERT_NE(set_, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(
        SetupDiCreateDeviceInfoA(set_, id_.c_str(), &kTestClass, "Winsim test device", nullptr, 0, &device_))
        << "error " << GetLastError();
    ASSERT_TRUE(SetupDiRegisterDeviceInfo(set_, &device_, 0, nullptr, nullptr, nullptr)) << GetLastError();
  }
  void TearDown() override {
    if (set_ == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device = Sized<SP_DEVINFO_DATA>();
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set_, i, &device); ++i) SetupDiRemoveDevice(set_, &device);
    SetupDiDestroyDeviceInfoList(set_);
  }

  std::string id_;
  HDEVINFO set_ = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA device_ = Sized<SP_DEVINFO_DATA>();
};

TEST_F(SetupDi, ClassListsShowDevicesOfTheirClassOnlyWithAndWithoutPresent) {
  std::string other = TestInstanceId("_OTHER");
  RemoveIfPresent(other);
  HDEVINFO otherSet = SetupDiCreateDeviceInfoList(&kOtherClass, nullptr);
  SP_DEVINFO_DATA otherDevice = Sized<SP_DEVINFO_DATA>();
  ASSERT_TRUE(SetupDiCreateDeviceInfoA(otherSet, other.c_str(), &kOtherClass, nullptr, nullptr, 0, &otherDevice));
  ASSERT_TRUE(SetupDiRegisterDeviceInfo(otherSet, &otherDevice, 0, nullptr, nullptr, nullptr));
  // Other tests' devices of the class may be there too; this test's own two tell the classes apart.
  for (DWORD flags : {DWORD{0}, DWORD{DIGCF_PRESENT}}) {
    HDEVINFO list = SetupDiGetClassDevsA(&kTestClass, nullptr, nullptr, flags);
    ASSERT_NE(list, INVALID_HANDLE_VALUE) << GetLastError();
    SP_DEVINFO_DATA device = Sized<SP_DEVINFO_DATA>();
    char id[MAX_PATH];
    bool listed = false;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(list, i, &device); ++i) {
      EXPECT_EQ(std::memcmp(&device.ClassGuid, &kTestClass, sizeof(GUID)), 0)
          << "member " << i << " flags " << flags;
      if (!SetupDiGetDeviceInstanceIdA(list, &device, id, sizeof id, nullptr) || Upper(id) != Upper(id_)) continue;
      listed = true;
      // Each list may give the device a handle of its own; the id read through any of them is the same.
      for (DWORD devInst : {device.DevInst, device_.DevInst}) {
        char named[MAX_DEVICE_ID_LEN + 1] = "";
        EXPECT_EQ(CM_Get_Device_IDA(devInst, named, sizeof named, 0), static_cast<CONFIGRET>(CR_SUCCESS));
        EXPECT_EQ(Upper(named), Upper(id_)) << "flags " << flags;
      }
    }
    EXPECT_TRUE(listed) << "flags " << flags;
    SetupDiDestroyDeviceInfoList(list);
  }
  SetupDiRemoveDevice(otherSet, &otherDevice);
  SetupDiDestroyDeviceInfoList(otherSet);
}

TEST_F(SetupDi, SoftwareAndHardwareKeysAndTheirRemoval) {
  char driver[MAX_PATH] = "";
  auto openKey = [this](DWORD which, REGSAM access) {
    return SetupDiOpenDevRegKey(set_, &device_, DICS_FLAG_GLOBAL, 0, which, access);
  };
  auto createKey = [this](DWORD which) {
    return SetupDiCreateDevRegKeyA(set_, &device_, DICS_FLAG_GLOBAL, 0, which, nullptr, nullptr);
  };
  auto put = [](HKEY key, const char *name, DWORD value) {  // into a key the call opened, closed again
    if (key == INVALID_HANDLE_VALUE) return static_cast<LONG>(GetLastError());
    LONG result = RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
    RegCloseKey(key);
    return result;
  };
  const std::string parameters = std::string(kEnumRoot) + "\\" + id_ + "\\Device Parameters";
  HKEY hardware = nullptr;
  ExpectRows({
      {"the software key before it is made", openKey(DIREG_DRV, KEY_READ) == INVALID_HANDLE_VALUE, 1},
      {"its error", GetLastError(), ERROR_KEY_DOES_NOT_EXIST},
      {"the Driver property before",
       ErrorOf(SetupDiGetDeviceRegistryPropertyA(set_, &device_, SPDRP_DRIVER, nullptr,
                                                 reinterpret_cast<BYTE *>(driver), sizeof driver, nullptr)),
       ERROR_INVALID_DATA},
      {"a value in the software key made now", put(createKey(DIREG_DRV), "WanEndPoints", 2), ERROR_SUCCESS},
      {"a value in the hardware key made now", put(createKey(DIREG_DEV), "FilterResourceMethod", 2),
       ERROR_SUCCESS},
      {"the software key opened for reading", DwordOf(openKey(DIREG_DRV, KEY_READ), "WanEndPoints"), 2},
      {"the hardware key opened for writing", put(openKey(DIREG_DEV, KEY_WRITE), "FilterResourceMethod", 3),
       ERROR_SUCCESS},
      {"the hardware key is the instance's Device Parameters",
       DwordOf(RegOpenKeyExA(HKEY_LOCAL_MACHINE, parameters.c_str(), 0, KEY_READ, &hardware) ? nullptr : hardware,
               "FilterResourceMethod"),
       3},
      {"the Driver property after",
       ErrorOf(SetupDiGetDeviceRegistryPropertyA(set_, &device_, SPDRP_DRIVER, nullptr,
                                                 reinterpret_cast<BYTE *>(driver), sizeof driver, nullptr)),
       0},
  });
  const std::string driverValue = driver;
  EXPECT_EQ(Upper(driverValue.substr(0, 39)), std::string(kTestClassText) + "\\");
  EXPECT_EQ(driverValue.size(), 43u) << driverValue << ": class, backslash and a four-digit number";
  EXPECT_TRUE(KeyExists(std::string(kClassRoot) + "\\" + driverValue));

  ASSERT_TRUE(SetupDiRemoveDevice(set_, &device_));
  EXPECT_FALSE(KeyExists(std::string(kClassRoot) + "\\" + driverValue)) << "removal takes the software key";
  EXPECT_FALSE(KeyExists(std::string(kEnumRoot) + "\\" + id_)) << "and the instance key";
  HDEVINFO list = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA gone = Sized<SP_DEVINFO_DATA>();
  EXPECT_EQ(ErrorOf(SetupDiOpenDeviceInfoA(list, id_.c_str(), nullptr, 0, &gone)),
            static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  SetupDiDestroyDeviceInfoList(list);
}

TEST_F(SetupDi, PropertiesComeBackWithTypeAndSize) {
  const char service[] = "parport";
  char buffer[MAX_PATH];
  DWORD type = 0, required = 0;
  BYTE *bytes = reinterpret_cast<BYTE *>(buffer);
  ExpectRows({
      {"set the service",
       ErrorOf(SetupDiSetDeviceRegistryPropertyA(set_, &device_, SPDRP_SERVICE,
                                                 reinterpret_cast<const BYTE *>(service), sizeof service)),
       0},
      {"read it into a short buffer",
       ErrorOf(SetupDiGetDeviceRegistryPropertyA(set_, &device_, SPDRP_SERVICE, &type, bytes, 3, &required)),
       ERROR_INSUFFICIENT_BUFFER},
      {"the size it needs", required, sizeof service},
      {"its type", type, REG_SZ},
      {"set hardware ids", ErrorOf(SetMultiString(set_, &device_, SPDRP_HARDWAREID, {"WINSIM\\A", "WINSIM\\B"})),
       0},
      {"read them",
       ErrorOf(SetupDiGetDeviceRegistryPropertyA(set_, &device_, SPDRP_HARDWAREID, &type, bytes, sizeof buffer,
                                                 &required)),
       0},
      {"their type", type, REG_MULTI_SZ},
      {"their bytes", std::memcmp(buffer, "WINSIM\\A\0WINSIM\\B\0", required), 0},
      {"their size", required, sizeof "WINSIM\\A\0WINSIM\\B\0"},
      {"a property the device does not have",
       ErrorOf(SetupDiGetDeviceRegistryPropertyA(set_, &device_, SPDRP_COMPATIBLEIDS, nullptr, bytes,
                                                 sizeof buffer, nullptr)),
       ERROR_INVALID_DATA},
  });
}

TEST_F(SetupDi, InstallParamsAreKeptPerElementForTheLifeOfTheSet) {
  SP_DEVINSTALL_PARAMS_A params = Sized<SP_DEVINSTALL_PARAMS_A>();
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(set_, &device_, &params));
  const DWORD added = DI_NEEDRESTART | DI_NEEDREBOOT | DI_ENUMSINGLEINF, before = params.Flags;
  params.Flags |= added;
  std::strcpy(params.DriverPath, "C:\\drivers\\winsim.inf");
  ASSERT_TRUE(SetupDiSetDeviceInstallParamsA(set_, &device_, &params)) << GetLastError();
  SP_DEVINSTALL_PARAMS_A again = Sized<SP_DEVINSTALL_PARAMS_A>();
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(set_, &device_, &again));
  EXPECT_EQ(again.Flags, before | added);
  EXPECT_STREQ(again.DriverPath, "C:\\drivers\\winsim.inf");

  HDEVINFO list = SetupDiCreateDeviceInfoList(&kTestClass, nullptr);
  SP_DEVINFO_DATA other = Sized<SP_DEVINFO_DATA>();
  ASSERT_TRUE(SetupDiOpenDeviceInfoA(list, id_.c_str(), nullptr, 0, &other));
  SP_DEVINSTALL_PARAMS_A fresh = Sized<SP_DEVINSTALL_PARAMS_A>();
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(list, &other, &fresh));
  EXPECT_EQ(fresh.Flags & added, 0u) << "another set's element for the device has parameters of its own";
  EXPECT_STREQ(fresh.DriverPath, "");
  SetupDiDestroyDeviceInfoList(list);
}

// ---- Compatible drivers from an INF file ----

const std::string kModels =
    CrLf({"%Generic%=Generic_Install,WINSIMTEST\\OTHER,WINSIMTEST\\GENERIC",
          "%Exact%=Exact_Install,WINSIMTEST\\EXACT", "%Unrelated%=Unrelated_Install,WINSIMTEST\\NOTHING"});
const std::string kDriverInf =
    CrLf({"[Version]", "Signature=\"$Windows NT$\"", "Class=WinsimTest",
          "ClassGUID=" + std::string(kTestClassText), "Provider=%Maker%", "[Manufacturer]",
          "%Maker%=Models,NTx86,NTamd64", "%Elsewhere%=Foreign,NTia64", "[Models.NTx86]"}) +
    kModels + "[Models.NTamd64]\r\n" + kModels +
    CrLf({"[Foreign.NTia64]", "%Exact%=Exact_Install,WINSIMTEST\\EXACT", "[Exact_Install.NT]", "[Generic_Install]",
          "[Strings]", "Maker=\"Winsim Test Maker\"", "Elsewhere=\"Other Platform Maker\"",
          "Exact=\"Exact test device\"", "Generic=\"Generic test device\"", "Unrelated=\"Unrelated device\""});

// The fixture's device with the hardware id of the exact model and the compatible id of the
// generic one, its driver list built from one INF of the scratch folder.
class SetupDiDrivers : public SetupDi {
 protected:
  void SetUp() override {
    SetupDi::SetUp();
    if (HasFatalFailure()) return;
    infPath_ = ScratchFolder() + "\\winsim.inf";
    ASSERT_TRUE(PutFile(infPath_, kDriverInf)) << GetLastError();
    ASSERT_TRUE(SetMultiString(set_, &device_, SPDRP_HARDWAREID, {"WINSIMTEST\\EXACT"}));
    ASSERT_TRUE(SetMultiString(set_, &device_, SPDRP_COMPATIBLEIDS, {"WINSIMTEST\\GENERIC"}));
    SP_DEVINSTALL_PARAMS_A params = Sized<SP_DEVINSTALL_PARAMS_A>();
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(set_, &device_, &params));
    params.Flags |= DI_ENUMSINGLEINF;
    std::strcpy(params.DriverPath, infPath_.c_str());
    ASSERT_TRUE(SetupDiSetDeviceInstallParamsA(set_, &device_, &params));
    ASSERT_TRUE(SetupDiBuildDriverInfoList(set_, &device_, SPDIT_COMPATDRIVER)) << GetLastError();
    SP_DRVINFO_DATA_A driver = Sized<SP_DRVINFO_DATA_A>();
    for (DWORD i = 0; SetupDiEnumDriverInfoA(set_, &device_, SPDIT_COMPATDRIVER, i, &driver); ++i)
      drivers_.push_back(driver);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    ASSERT_EQ(drivers_.size(), 2u) << "the unrelated model and the other platform's stay out";
  }

  std::string infPath_;
  std::vector<SP_DRVINFO_DATA_A> drivers_;
};

TEST_F(SetupDiDrivers, ListHoldsTheMatchingModelsAndTheHardwareIdMatchIsBest) {
  EXPECT_STREQ(drivers_[0].Description, "Generic test device");
  EXPECT_STREQ(drivers_[1].Description, "Exact test device");
  for (const SP_DRVINFO_DATA_A &driver : drivers_) {
    EXPECT_EQ(driver.DriverType, static_cast<DWORD>(SPDIT_COMPATDRIVER));
    EXPECT_STREQ(driver.MfgName, "Winsim Test Maker");
    EXPECT_STREQ(driver.ProviderName, "Winsim Test Maker");
  }
  SP_DRVINFO_DATA_A selected = Sized<SP_DRVINFO_DATA_A>();
  EXPECT_EQ(ErrorOf(SetupDiGetSelectedDriverA(set_, &device_, &selected)),
            static_cast<DWORD>(ERROR_NO_DRIVER_SELECTED));
  ASSERT_TRUE(SetupDiSelectBestCompatDrv(set_, &device_)) << GetLastError();
  ASSERT_TRUE(SetupDiGetSelectedDriverA(set_, &device_, &selected));
  EXPECT_STREQ(selected.Description, "Exact test device");
  SKIP_UNDER_WINE("SetupDiSetSelectedDriverA is not implemented: calling it ends the process");
  ASSERT_TRUE(SetupDiSetSelectedDriverA(set_, &device_, &drivers_[0])) << GetLastError();
  ASSERT_TRUE(SetupDiGetSelectedDriverA(set_, &device_, &selected));
  EXPECT_STREQ(selected.Description, "Generic test device");
}

TEST_F(SetupDiDrivers, DetailFillsTheFixedPartBeforeTheIdList) {
  std::vector<char> storage(sizeof(SP_DRVINFO_DETAIL_DATA_A) + 256);
  auto *detail = reinterpret_cast<SP_DRVINFO_DETAIL_DATA_A *>(storage.data());
  detail->cbSize = sizeof *detail;
  DWORD required = 0;
  ExpectRows({
      {"a buffer smaller than the record",
       ErrorOf(SetupDiGetDriverInfoDetailA(set_, &device_, &drivers_[0], detail, sizeof *detail - 1, &required)),
       ERROR_INVALID_USER_BUFFER},
      {"a buffer of just the record",
       ErrorOf(SetupDiGetDriverInfoDetailA(set_, &device_, &drivers_[0], detail, sizeof *detail, &required)),
       ERROR_INSUFFICIENT_BUFFER},
      {"the size it needs", required,
       static_cast<long long>(offsetof(SP_DRVINFO_DETAIL_DATA_A, HardwareID) +
                              sizeof "WINSIMTEST\\OTHER\0WINSIMTEST\\GENERIC\0")},
  });
  EXPECT_STREQ(detail->SectionName, "Generic_Install");
  EXPECT_STREQ(Upper(detail->InfFileName).c_str(), Upper(infPath_).c_str());
  EXPECT_STREQ(detail->DrvDescription, "Generic test device");
  ASSERT_TRUE(SetupDiGetDriverInfoDetailA(set_, &device_, &drivers_[0], detail, required, nullptr))
      << GetLastError();
  EXPECT_STREQ(detail->HardwareID, "WINSIMTEST\\OTHER");
  EXPECT_EQ(detail->CompatIDsOffset, sizeof "WINSIMTEST\\OTHER");
  EXPECT_STREQ(detail->HardwareID + detail->CompatIDsOffset, "WINSIMTEST\\GENERIC");
}

}  // namespace
