// SetupAPI device-information sets, device keys and properties, install parameters and
// compatible-driver lists, checked through the Win32 API alone: the same checks run on the
// simulated platform and, built as a Windows program, under Wine. Every test gives its devices
// instance ids of their own and removes them again.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// SetupAPI needs the Windows types declared first.
// clang-format off
#include "platform_test.h"
#include <setupapi.h>
// clang-format on

namespace {

// A device setup class of these tests alone, and another one for class filtering.
const GUID kTestClass = {0x9c1f4d2e, 0x7b3a, 0x4e51, {0xa0, 0xc2, 0x5d, 0x6e, 0x7f, 0x80, 0x9a, 0x1b}};
const GUID kOtherClass = {0x9c1f4d2f, 0x7b3a, 0x4e51, {0xa0, 0xc2, 0x5d, 0x6e, 0x7f, 0x80, 0x9a, 0x1b}};
constexpr char kTestClassName[] = "WinsimTest";
constexpr char kClassRoot[] = "SYSTEM\\CurrentControlSet\\Control\\Class";
constexpr char kEnumRoot[] = "SYSTEM\\CurrentControlSet\\Enum";

std::string GuidText(const GUID &guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

bool SameGuid(const GUID &a, const GUID &b) {
  return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

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
  for (char &c : name)
    if (c == '/' || c == '.') c = '_';
  return "ROOT\\WINSIMTEST\\" + name;
}

// Registers the test class so that its software keys can be made.
void EnsureTestClass() {
  HKEY key = nullptr;
  std::string path = std::string(kClassRoot) + "\\" + GuidText(kTestClass);
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, "Class", 0, REG_SZ, reinterpret_cast<const BYTE *>(kTestClassName), sizeof kTestClassName);
  RegCloseKey(key);
}

// Removes a device left behind by an earlier run that stopped half-way.
void RemoveIfPresent(const std::string &instanceId) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA device = Sized<SP_DEVINFO_DATA>();
  if (SetupDiOpenDeviceInfoA(set, instanceId.c_str(), nullptr, 0, &device)) SetupDiRemoveDevice(set, &device);
  SetupDiDestroyDeviceInfoList(set);
}

std::string InstanceIdOf(HDEVINFO set, SP_DEVINFO_DATA *device) {
  char id[MAX_PATH] = "";
  EXPECT_TRUE(SetupDiGetDeviceInstanceIdA(set, device, id, sizeof id, nullptr)) << "error " << GetLastError();
  return id;
}

// Instance ids of a set's members that are devices of these tests, in the set's order.
std::vector<std::string> TestMembers(HDEVINFO set) {
  std::vector<std::string> ids;
  SP_DEVINFO_DATA device = Sized<SP_DEVINFO_DATA>();
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    std::string id = InstanceIdOf(set, &device);
    if (id.find("\\WINSIMTEST\\") != std::string::npos) ids.push_back(id);
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  return ids;
}

bool KeyExists(const std::string &path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
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

using SetupDiSets = SetupDi;
using SetupDiKeys = SetupDi;
using SetupDiProperties = SetupDi;
using SetupDiInstallParams = SetupDi;

TEST_F(SetupDiSets, CreateChecksNameClassAndRecord) {
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupDiCreateDeviceInfoA(set_, nullptr, &kTestClass, nullptr, nullptr, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DEVINST_NAME));

  std::string second = TestInstanceId("_2");
  EXPECT_FALSE(SetupDiCreateDeviceInfoA(set_, second.c_str(), nullptr, nullptr, nullptr, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "no class";
  EXPECT_FALSE(SetupDiCreateDeviceInfoA(set_, second.c_str(), &kOtherClass, nullptr, nullptr, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_MISMATCH)) << "class other than the set's";
  EXPECT_FALSE(SetupDiCreateDeviceInfoA(set_, id_.c_str(), &kTestClass, nullptr, nullptr, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVINST_ALREADY_EXISTS));

  // A record with a wrong size fails the call, but the device is made all the same.
  SP_DEVINFO_DATA bad{};
  EXPECT_FALSE(SetupDiCreateDeviceInfoA(set_, second.c_str(), &kTestClass, nullptr, nullptr, 0, &bad));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  std::vector<std::string> members = TestMembers(set_);
  ASSERT_EQ(members.size(), 2u);
  EXPECT_STREQ(members[1].c_str(), Upper(second).c_str()) << "instance ids are kept in capitals";
  EXPECT_STRCASEEQ(members[0].c_str(), id_.c_str());

  SP_DEVINFO_DATA device = Sized<SP_DEVINFO_DATA>();
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set_, 2, &device));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  device.cbSize = 0;
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set_, 0, &device));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
}

TEST_F(SetupDiSets, InstanceIdNeedsRoomForItsTerminator) {
  DWORD required = 0;
  EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set_, &device_, nullptr, 0, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(required, id_.size() + 1);
  std::vector<char> buffer(required);
  EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set_, &device_, buffer.data(), required - 1, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_TRUE(SetupDiGetDeviceInstanceIdA(set_, &device_, buffer.data(), required, nullptr));
  EXPECT_STRCASEEQ(buffer.data(), id_.c_str());

  SP_DEVINFO_DATA unknown{};
  EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set_, &unknown, buffer.data(), required, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(Stopped("SetupDiGetDeviceInstanceIdA",
                       SetupDiGetDeviceInstanceIdA(nullptr, &device_, buffer.data(), required, nullptr)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SetupDiSets, GeneratedIdsTakeTheNextFreeNumber) {
  SP_DEVINFO_DATA first = Sized<SP_DEVINFO_DATA>(), second = Sized<SP_DEVINFO_DATA>();
  ASSERT_TRUE(
      SetupDiCreateDeviceInfoA(set_, "WINSIMGENERATED", &kTestClass, nullptr, nullptr, DICD_GENERATE_ID, &first))
      << GetLastError();
  ASSERT_TRUE(
      SetupDiCreateDeviceInfoA(set_, "WINSIMGENERATED", &kTestClass, nullptr, nullptr, DICD_GENERATE_ID, &second))
      << GetLastError();
  std::string a = InstanceIdOf(set_, &first), b = InstanceIdOf(set_, &second);
  EXPECT_STREQ(a.substr(0, 21).c_str(), "ROOT\\WINSIMGENERATED\\");
  ASSERT_EQ(a.size(), 25u);
  EXPECT_EQ(b.size(), 25u);
  EXPECT_EQ(std::stoi(b.substr(21)), std::stoi(a.substr(21)) + 1) << a << " then " << b;
  EXPECT_FALSE(SetupDiCreateDeviceInfoA(set_, "ROOT\\WINSIMGENERATED", &kTestClass, nullptr, nullptr,
                                        DICD_GENERATE_ID, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DEVINST_NAME));
}

TEST_F(SetupDiSets, ClassListsShowDevicesOfTheirClassOnly) {
  std::string other = TestInstanceId("_OTHER");
  RemoveIfPresent(other);
  HDEVINFO otherSet = SetupDiCreateDeviceInfoList(&kOtherClass, nullptr);
  SP_DEVINFO_DATA otherDevice = Sized<SP_DEVINFO_DATA>();
  ASSERT_TRUE(SetupDiCreateDeviceInfoA(otherSet, other.c_str(), &kOtherClass, nullptr, nullptr, 0, &otherDevice));
  ASSERT_TRUE(SetupDiRegisterDeviceInfo(otherSet, &otherDevice, 0, nullptr, nullptr, nullptr));

  // Other tests' devices of the class may be there too; this test's own two tell the classes apart.
  HDEVINFO list = SetupDiGetClassDevsA(&kTestClass, nullptr, nullptr, DIGCF_PRESENT);
  ASSERT_NE(list, INVALID_HANDLE_VALUE) << GetLastError();
  std::vector<std::string> members = TestMembers(list);
  auto has = [&members](const std::string &id) {
    for (const std::string &member : members)
      if (Upper(member) == Upper(id)) return true;
    return false;
  };
  EXPECT_TRUE(has(id_)) << ::testing::PrintToString(members);
  EXPECT_FALSE(has(other)) << "a device of another class";
  SP_DEVINFO_DATA device = Sized<SP_DEVINFO_DATA>();
  for (DWORD i = 0; SetupDiEnumDeviceInfo(list, i, &device); ++i)
    EXPECT_TRUE(SameGuid(device.ClassGuid, kTestClass)) << "member " << i;
  SetupDiDestroyDeviceInfoList(list);

  SetupDiRemoveDevice(otherSet, &otherDevice);
  SetupDiDestroyDeviceInfoList(otherSet);
  EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SetupDiSets, UnregisteredDevicesGoWithTheirSetAndRemovedOnesAtOnce) {
  HDEVINFO scratch = SetupDiCreateDeviceInfoList(&kTestClass, nullptr);
  std::string transient = TestInstanceId("_TRANSIENT");
  ASSERT_TRUE(SetupDiCreateDeviceInfoA(scratch, transient.c_str(), &kTestClass, nullptr, nullptr, 0, nullptr));
  EXPECT_TRUE(KeyExists(std::string(kEnumRoot) + "\\" + transient)) << "the device exists while its set does";
  SetupDiDestroyDeviceInfoList(scratch);
  EXPECT_FALSE(KeyExists(std::string(kEnumRoot) + "\\" + transient));

  HDEVINFO list = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA device = Sized<SP_DEVINFO_DATA>();
  EXPECT_FALSE(SetupDiOpenDeviceInfoA(list, transient.c_str(), nullptr, 0, &device));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  ASSERT_TRUE(SetupDiRemoveDevice(set_, &device_));
  EXPECT_FALSE(KeyExists(std::string(kEnumRoot) + "\\" + id_));
  EXPECT_FALSE(SetupDiOpenDeviceInfoA(list, id_.c_str(), nullptr, 0, &device));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  SetupDiDestroyDeviceInfoList(list);

  // The removed element stays in its set, standing for a device that is gone.
  SP_DEVINFO_DATA member = Sized<SP_DEVINFO_DATA>();
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set_, 0, &member));
  char buffer[MAX_PATH];
  EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set_, &member, buffer, sizeof buffer, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
}

TEST_F(SetupDiSets, OpenFindsADeviceByIdInAnyLetterCase) {
  HDEVINFO list = SetupDiCreateDeviceInfoList(&kTestClass, nullptr);
  std::string lower = Upper(id_);
  for (char &c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  SP_DEVINFO_DATA first = Sized<SP_DEVINFO_DATA>(), again = Sized<SP_DEVINFO_DATA>();
  ASSERT_TRUE(SetupDiOpenDeviceInfoA(list, lower.c_str(), nullptr, 0, &first)) << GetLastError();
  EXPECT_TRUE(SameGuid(first.ClassGuid, kTestClass));
  ASSERT_TRUE(SetupDiOpenDeviceInfoA(list, id_.c_str(), nullptr, 0, &again));
  EXPECT_EQ(TestMembers(list).size(), 1u) << "a device already in the set is not added twice";
  SetupDiDestroyDeviceInfoList(list);

  HDEVINFO otherClass = SetupDiCreateDeviceInfoList(&kOtherClass, nullptr);
  EXPECT_FALSE(SetupDiOpenDeviceInfoA(otherClass, id_.c_str(), nullptr, 0, &first));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_MISMATCH));
  SetupDiDestroyDeviceInfoList(otherClass);
}

TEST_F(SetupDiKeys, OpeningChecksFlagsRegistrationAndTheSoftwareKey) {
  SetLastError(0xdeadbeef);
  EXPECT_EQ(SetupDiOpenDevRegKey(set_, &device_, 0, 0, DIREG_DRV, KEY_READ), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS)) << "no scope";
  EXPECT_EQ(SetupDiOpenDevRegKey(set_, &device_, DICS_FLAG_GLOBAL, 0, DIREG_BOTH, KEY_READ), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS)) << "both keys at once";
  EXPECT_EQ(SetupDiOpenDevRegKey(set_, &device_, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_KEY_DOES_NOT_EXIST)) << "no software key yet";

  SP_DEVINFO_DATA fresh = Sized<SP_DEVINFO_DATA>();
  std::string unregistered = TestInstanceId("_NEW");
  ASSERT_TRUE(SetupDiCreateDeviceInfoA(set_, unregistered.c_str(), &kTestClass, nullptr, nullptr, 0, &fresh));
  EXPECT_EQ(SetupDiOpenDevRegKey(set_, &fresh, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVINFO_NOT_REGISTERED));
}

TEST_F(SetupDiKeys, SoftwareKeyIsNamedByTheDriverValue) {
  EnsureTestClass();
  char driver[MAX_PATH];
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set_, &device_, SPDRP_DRIVER, nullptr,
                                                 reinterpret_cast<BYTE *>(driver), sizeof driver, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));

  HKEY created = SetupDiCreateDevRegKeyA(set_, &device_, DICS_FLAG_GLOBAL, 0, DIREG_DRV, nullptr, nullptr);
  ASSERT_NE(created, INVALID_HANDLE_VALUE) << GetLastError();
  DWORD channels = 2;
  EXPECT_EQ(RegSetValueExA(created, "WanEndPoints", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&channels),
                           sizeof channels),
            ERROR_SUCCESS);
  RegCloseKey(created);

  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set_, &device_, SPDRP_DRIVER, nullptr,
                                                reinterpret_cast<BYTE *>(driver), sizeof driver, nullptr));
  std::string driverValue = driver;
  EXPECT_STRCASEEQ(driverValue.substr(0, 39).c_str(), (GuidText(kTestClass) + "\\").c_str());
  EXPECT_EQ(driverValue.size(), 43u) << driverValue << ": class, backslash and a four-digit number";
  EXPECT_TRUE(KeyExists(std::string(kClassRoot) + "\\" + driverValue));

  HKEY opened = SetupDiOpenDevRegKey(set_, &device_, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
  ASSERT_NE(opened, INVALID_HANDLE_VALUE) << GetLastError();
  DWORD value = 0, size = sizeof value;
  EXPECT_EQ(RegQueryValueExA(opened, "WanEndPoints", nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, channels);
  RegCloseKey(opened);

  ASSERT_TRUE(SetupDiRemoveDevice(set_, &device_));
  EXPECT_FALSE(KeyExists(std::string(kClassRoot) + "\\" + driverValue)) << "removal takes the software key too";
}

TEST_F(SetupDiKeys, HardwareKeyIsTheInstancesDeviceParameters) {
  HKEY created = SetupDiCreateDevRegKeyA(set_, &device_, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
  ASSERT_NE(created, INVALID_HANDLE_VALUE) << GetLastError();
  DWORD method = 2;
  EXPECT_EQ(RegSetValueExA(created, "FilterResourceMethod", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&method),
                           sizeof method),
            ERROR_SUCCESS);
  RegCloseKey(created);

  HKEY key = nullptr;
  std::string path = std::string(kEnumRoot) + "\\" + id_ + "\\Device Parameters";
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD value = 0, size = sizeof value;
  EXPECT_EQ(
      RegQueryValueExA(key, "FilterResourceMethod", nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(value, method);
  RegCloseKey(key);

  HKEY opened = SetupDiOpenDevRegKey(set_, &device_, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_WRITE);
  EXPECT_NE(opened, INVALID_HANDLE_VALUE) << GetLastError();
  if (opened != INVALID_HANDLE_VALUE) RegCloseKey(opened);
}

TEST_F(SetupDiProperties, StringsAndListsComeBackWithTypeAndSize) {
  const char service[] = "parport";
  ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(set_, &device_, SPDRP_SERVICE,
                                                reinterpret_cast<const BYTE *>(service), sizeof service))
      << GetLastError();
  char buffer[MAX_PATH];
  DWORD type = 0, required = 0;
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set_, &device_, SPDRP_SERVICE, &type,
                                                 reinterpret_cast<BYTE *>(buffer), 3, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(required, sizeof service);
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set_, &device_, SPDRP_SERVICE, &type,
                                                reinterpret_cast<BYTE *>(buffer), sizeof buffer, &required));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_STREQ(buffer, service);

  ASSERT_TRUE(SetMultiString(set_, &device_, SPDRP_HARDWAREID, {"WINSIMTEST\\EXACT", "WINSIMTEST\\FAMILY"}));
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set_, &device_, SPDRP_HARDWAREID, &type,
                                                reinterpret_cast<BYTE *>(buffer), sizeof buffer, &required));
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(required, sizeof "WINSIMTEST\\EXACT\0WINSIMTEST\\FAMILY\0");
  EXPECT_EQ(std::memcmp(buffer, "WINSIMTEST\\EXACT\0WINSIMTEST\\FAMILY\0", required), 0);

  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set_, &device_, SPDRP_COMPATIBLEIDS, nullptr,
                                                 reinterpret_cast<BYTE *>(buffer), sizeof buffer, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA)) << "a property the device does not have";
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set_, &device_, SPDRP_DEVICEDESC, nullptr,
                                                reinterpret_cast<BYTE *>(buffer), sizeof buffer, nullptr));
  EXPECT_STREQ(buffer, "Winsim test device") << "the description given at creation";
}

TEST_F(SetupDiProperties, UnknownPropertiesAndClearing) {
  SKIP_UNDER_WINE("an out-of-range property is not ERROR_INVALID_REG_PROPERTY and clearing keeps the value");
  BYTE buffer[16];
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set_, &device_, SPDRP_MAXIMUM_PROPERTY, nullptr, buffer,
                                                 sizeof buffer, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_REG_PROPERTY));
  const char name[] = "Friendly";
  ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(set_, &device_, SPDRP_FRIENDLYNAME,
                                                reinterpret_cast<const BYTE *>(name), sizeof name));
  ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(set_, &device_, SPDRP_FRIENDLYNAME, nullptr, 0));
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set_, &device_, SPDRP_FRIENDLYNAME, nullptr, buffer,
                                                 sizeof buffer, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
}

TEST_F(SetupDiInstallParams, AreKeptPerElementForTheLifeOfTheSet) {
  SP_DEVINSTALL_PARAMS_A params{};
  EXPECT_FALSE(SetupDiGetDeviceInstallParamsA(set_, &device_, &params));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER)) << "cbSize 0";
  params.cbSize = sizeof params;
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(set_, &device_, &params));
  const DWORD before = params.Flags;
  params.Flags |= DI_NEEDRESTART | DI_NEEDREBOOT | DI_ENUMSINGLEINF;
  std::strcpy(params.DriverPath, "C:\\drivers\\winsim.inf");
  ASSERT_TRUE(SetupDiSetDeviceInstallParamsA(set_, &device_, &params)) << GetLastError();

  SP_DEVINSTALL_PARAMS_A again = Sized<SP_DEVINSTALL_PARAMS_A>();
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(set_, &device_, &again));
  EXPECT_EQ(again.Flags, before | DI_NEEDRESTART | DI_NEEDREBOOT | DI_ENUMSINGLEINF);
  EXPECT_STREQ(again.DriverPath, "C:\\drivers\\winsim.inf");

  // Another set's element for the same device has parameters of its own.
  HDEVINFO list = SetupDiCreateDeviceInfoList(&kTestClass, nullptr);
  SP_DEVINFO_DATA other = Sized<SP_DEVINFO_DATA>();
  ASSERT_TRUE(SetupDiOpenDeviceInfoA(list, id_.c_str(), nullptr, 0, &other));
  SP_DEVINSTALL_PARAMS_A fresh = Sized<SP_DEVINSTALL_PARAMS_A>();
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(list, &other, &fresh));
  EXPECT_EQ(fresh.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT), 0u);
  EXPECT_STREQ(fresh.DriverPath, "");
  SetupDiDestroyDeviceInfoList(list);
}

// ---- Compatible drivers from an INF file ----

const char kDriverInf[] =
    "[Version]\r\n"
    "Signature=\"$Windows NT$\"\r\n"
    "Class=WinsimTest\r\n"
    "ClassGUID={9C1F4D2E-7B3A-4E51-A0C2-5D6E7F809A1B}\r\n"
    "Provider=%Maker%\r\n"
    "DriverVer=01/02/2003,1.2.3.4\r\n"
    "\r\n"
    "[Manufacturer]\r\n"
    "%Maker%=Models,NTx86,NTamd64\r\n"
    "%Elsewhere%=Foreign,NTia64\r\n"
    "\r\n"
    "[Models.NTx86]\r\n"
    "%Generic%=Generic_Install,WINSIMTEST\\OTHER,WINSIMTEST\\GENERIC\r\n"
    "%Exact%=Exact_Install,WINSIMTEST\\EXACT\r\n"
    "%Unrelated%=Unrelated_Install,WINSIMTEST\\NOTHING\r\n"
    "[Models.NTamd64]\r\n"
    "%Generic%=Generic_Install,WINSIMTEST\\OTHER,WINSIMTEST\\GENERIC\r\n"
    "%Exact%=Exact_Install,WINSIMTEST\\EXACT\r\n"
    "%Unrelated%=Unrelated_Install,WINSIMTEST\\NOTHING\r\n"
    "[Foreign.NTia64]\r\n"
    "%Exact%=Exact_Install,WINSIMTEST\\EXACT\r\n"
    "\r\n"
    "[Exact_Install.NT]\r\n"
    "DriverVer=06/26/2001,5.6.7.8\r\n"
    "[Generic_Install]\r\n"
    "[Strings]\r\n"
    "Maker=\"Winsim Test Maker\"\r\n"
    "Elsewhere=\"Other Platform Maker\"\r\n"
    "Exact=\"Exact test device\"\r\n"
    "Generic=\"Generic test device\"\r\n"
    "Unrelated=\"Unrelated device\"\r\n";

void WriteFileText(const std::string &path, const std::string &text) {
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path << ": error " << GetLastError();
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
  CloseHandle(file);
}

// The fixture's device with the hardware id of the exact model and the compatible id of the
// generic one, its driver list built from one INF of the scratch folder.
class SetupDiDrivers : public SetupDi {
 protected:
  void SetUp() override {
    SetupDi::SetUp();
    if (HasFatalFailure()) return;
    folder_ = ScratchFolder();
    infPath_ = folder_ + "\\winsim.inf";
    WriteFileText(infPath_, kDriverInf);
    ASSERT_TRUE(SetMultiString(set_, &device_, SPDRP_HARDWAREID, {"WINSIMTEST\\EXACT"}));
    ASSERT_TRUE(SetMultiString(set_, &device_, SPDRP_COMPATIBLEIDS, {"WINSIMTEST\\GENERIC"}));
  }

  void UseSingleInf(const std::string &path) {
    SP_DEVINSTALL_PARAMS_A params = Sized<SP_DEVINSTALL_PARAMS_A>();
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(set_, &device_, &params));
    params.Flags |= DI_ENUMSINGLEINF;
    std::strcpy(params.DriverPath, path.c_str());
    ASSERT_TRUE(SetupDiSetDeviceInstallParamsA(set_, &device_, &params));
  }

  std::vector<SP_DRVINFO_DATA_A> Drivers() {
    std::vector<SP_DRVINFO_DATA_A> drivers;
    SP_DRVINFO_DATA_A driver = Sized<SP_DRVINFO_DATA_A>();
    for (DWORD i = 0; SetupDiEnumDriverInfoA(set_, &device_, SPDIT_COMPATDRIVER, i, &driver); ++i)
      drivers.push_back(driver);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    return drivers;
  }

  std::string folder_, infPath_;
};

TEST_F(SetupDiDrivers, ListHoldsTheModelsMatchingTheDevice) {
  UseSingleInf(infPath_);
  ASSERT_TRUE(SetupDiBuildDriverInfoList(set_, &device_, SPDIT_COMPATDRIVER)) << GetLastError();
  std::vector<SP_DRVINFO_DATA_A> drivers = Drivers();
  ASSERT_EQ(drivers.size(), 2u) << "the unrelated model and the other platform's stay out";
  EXPECT_STREQ(drivers[0].Description, "Generic test device");
  EXPECT_STREQ(drivers[1].Description, "Exact test device");
  for (const SP_DRVINFO_DATA_A &driver : drivers) {
    EXPECT_EQ(driver.DriverType, static_cast<DWORD>(SPDIT_COMPATDRIVER));
    EXPECT_STREQ(driver.MfgName, "Winsim Test Maker");
    EXPECT_STREQ(driver.ProviderName, "Winsim Test Maker");
  }

  SP_DRVINFO_DATA_A selected = Sized<SP_DRVINFO_DATA_A>();
  EXPECT_FALSE(SetupDiGetSelectedDriverA(set_, &device_, &selected));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DRIVER_SELECTED));
  ASSERT_TRUE(SetupDiSelectBestCompatDrv(set_, &device_)) << GetLastError();
  ASSERT_TRUE(SetupDiGetSelectedDriverA(set_, &device_, &selected));
  EXPECT_STREQ(selected.Description, "Exact test device") << "a hardware-id match beats a compatible-id match";

  if (UnderWine()) return;  // Wine has no SetupDiSetSelectedDriverA: calling it ends the process
  ASSERT_TRUE(SetupDiSetSelectedDriverA(set_, &device_, &drivers[0])) << GetLastError();
  ASSERT_TRUE(SetupDiGetSelectedDriverA(set_, &device_, &selected));
  EXPECT_STREQ(selected.Description, "Generic test device");
}

TEST_F(SetupDiDrivers, DetailFillsTheFixedPartBeforeTheIdList) {
  UseSingleInf(infPath_);
  ASSERT_TRUE(SetupDiBuildDriverInfoList(set_, &device_, SPDIT_COMPATDRIVER));
  std::vector<SP_DRVINFO_DATA_A> drivers = Drivers();
  ASSERT_EQ(drivers.size(), 2u);

  std::vector<char> storage(sizeof(SP_DRVINFO_DETAIL_DATA_A) + 256);
  auto *detail = reinterpret_cast<SP_DRVINFO_DETAIL_DATA_A *>(storage.data());
  detail->cbSize = sizeof *detail;
  DWORD required = 0;
  EXPECT_FALSE(SetupDiGetDriverInfoDetailA(set_, &device_, &drivers[0], detail, sizeof *detail - 1, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER)) << "smaller than the record";

  EXPECT_FALSE(SetupDiGetDriverInfoDetailA(set_, &device_, &drivers[0], detail, sizeof *detail, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_STREQ(detail->SectionName, "Generic_Install");
  EXPECT_STRCASEEQ(detail->InfFileName, infPath_.c_str());
  EXPECT_STREQ(detail->DrvDescription, "Generic test device");
  const DWORD idChars = sizeof "WINSIMTEST\\OTHER\0WINSIMTEST\\GENERIC\0";
  EXPECT_EQ(required, offsetof(SP_DRVINFO_DETAIL_DATA_A, HardwareID) + idChars);

  ASSERT_TRUE(SetupDiGetDriverInfoDetailA(set_, &device_, &drivers[0], detail, required, nullptr))
      << GetLastError();
  EXPECT_STREQ(detail->HardwareID, "WINSIMTEST\\OTHER");
  EXPECT_EQ(detail->CompatIDsOffset, sizeof "WINSIMTEST\\OTHER");
  EXPECT_EQ(detail->CompatIDsLength, sizeof "WINSIMTEST\\GENERIC\0");
  EXPECT_STREQ(detail->HardwareID + detail->CompatIDsOffset, "WINSIMTEST\\GENERIC");
}

TEST_F(SetupDiDrivers, NoMatchingModelMeansNoCompatibleDrivers) {
  std::string foreign = folder_ + "\\foreign.inf";
  std::string text = kDriverInf;
  text.replace(text.find("%Maker%=Models,NTx86,NTamd64"), 28, "%Maker%=Models,NTia64       ");
  WriteFileText(foreign, text);
  UseSingleInf(foreign);
  ASSERT_TRUE(SetupDiBuildDriverInfoList(set_, &device_, SPDIT_COMPATDRIVER));
  EXPECT_TRUE(Drivers().empty());
  EXPECT_FALSE(SetupDiSelectBestCompatDrv(set_, &device_));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_COMPAT_DRIVERS));
}

TEST_F(SetupDiDrivers, RankAndDatesOfTheInstallSection) {
  SKIP_UNDER_WINE("driver install parameters end the process and DriverDate/DriverVersion stay zero");
  UseSingleInf(infPath_);
  ASSERT_TRUE(SetupDiBuildDriverInfoList(set_, &device_, SPDIT_COMPATDRIVER));
  std::vector<SP_DRVINFO_DATA_A> drivers = Drivers();
  ASSERT_EQ(drivers.size(), 2u);
  SP_DRVINSTALL_PARAMS params = Sized<SP_DRVINSTALL_PARAMS>();
  ASSERT_TRUE(SetupDiGetDriverInstallParamsA(set_, &device_, &drivers[1], &params));
  EXPECT_EQ(params.Rank, 0u) << "first hardware id of both";
  ASSERT_TRUE(SetupDiGetDriverInstallParamsA(set_, &device_, &drivers[0], &params));
  EXPECT_EQ(params.Rank, 0x3000u) << "first compatible id of the device, first compatible id of the model";

  // The install section's DriverVer wins over [Version]'s; a section without one takes [Version]'s.
  EXPECT_EQ(drivers[1].DriverVersion, (5ull << 48) | (6ull << 32) | (7ull << 16) | 8ull);
  EXPECT_EQ(drivers[0].DriverVersion, (1ull << 48) | (2ull << 32) | (3ull << 16) | 4ull);
  ULONGLONG exactDate =
      (ULONGLONG(drivers[1].DriverDate.dwHighDateTime) << 32) | drivers[1].DriverDate.dwLowDateTime;
  ULONGLONG genericDate =
      (ULONGLONG(drivers[0].DriverDate.dwHighDateTime) << 32) | drivers[0].DriverDate.dwLowDateTime;
  EXPECT_EQ(exactDate, 126379872000000000ull) << "06/26/2001 at midnight";
  EXPECT_EQ(genericDate - exactDate, 555ull * 24 * 3600 * 10000000) << "01/02/2003 is 555 days later";

  // A raised rank lets the other driver win.
  params.Rank = 0x10;
  ASSERT_TRUE(SetupDiSetDriverInstallParamsA(set_, &device_, &drivers[1], &params));
  params.Rank = 0;
  ASSERT_TRUE(SetupDiSetDriverInstallParamsA(set_, &device_, &drivers[0], &params));
  ASSERT_TRUE(SetupDiSelectBestCompatDrv(set_, &device_));
  SP_DRVINFO_DATA_A selected = Sized<SP_DRVINFO_DATA_A>();
  ASSERT_TRUE(SetupDiGetSelectedDriverA(set_, &device_, &selected));
  EXPECT_STREQ(selected.Description, "Generic test device");
}

}  // namespace
