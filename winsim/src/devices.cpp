// The machine's devices, kept where Windows keeps them: device instances under the Enum tree,
// their software keys and the setup classes under Control\Class. Test set-up helpers of winsim.h
// and the device-tree internals that the simulated SetupAPI builds on.
#include <algorithm>
#include <cstdio>
#include <map>

#include "internal.h"
#include "setupapi_internal.h"

namespace winsim {
namespace detail {

const char *const kEnumRoot = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum";
const char *const kClassRoot = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class";
const char *const kControlSubkey = "Control";
const char *const kDeviceParametersSubkey = "Device Parameters";

namespace {

constexpr char kDefaultArchitecture[] = "x86";
constexpr char kDriverValue[] = "Driver";
constexpr char kClassGuidValue[] = "ClassGUID";
constexpr char kClassValue[] = "Class";
constexpr char kHardwareIdValue[] = "HardwareID";
constexpr char kCompatibleIdsValue[] = "CompatibleIDs";
constexpr char kServiceValue[] = "Service";
constexpr char kDeviceDescValue[] = "DeviceDesc";
// Software keys are numbered "0000" to "9999" within their class.
constexpr unsigned kMaxSoftwareKeys = 10000;
constexpr size_t kGuidTextLength = 38;  // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"

struct DeviceTreeState {
  std::string architecture = kDefaultArchitecture;
  std::map<std::string, DWORD> devNodes;  // by upper-cased instance id
  std::vector<std::string> devNodeIds;    // the instance id of device node n at n - 1
};

DeviceTreeState &State() {
  return FamilyState<DeviceTreeState>();
}

// At a restart the volatile keys go with the old boot, presence among them; the devices plugged in
// are found again as the machine starts and are present once more.
void RestartDeviceTree() {
  std::vector<std::string> pluggedIn;
  for (const std::string &id : AllInstanceIds())
    if (IsDevicePresent(id)) pluggedIn.push_back(id);
  RemoveVolatileKeys();
  for (const std::string &id : pluggedIn) SetDevicePresent(id, true);
}

const bool registered = RegisterFamily({[] { State() = DeviceTreeState{}; }, nullptr, nullptr, RestartDeviceTree});

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex(const std::string &text, size_t at, size_t digits, uint64_t *value) {
  uint64_t result = 0;
  for (size_t i = 0; i < digits; ++i) {
    int d = HexDigit(text[at + i]);
    if (d < 0) return false;
    result = (result << 4) | static_cast<uint64_t>(d);
  }
  *value = result;
  return true;
}

}  // namespace

std::string InstanceKeyPath(const std::string &instanceId) {
  return std::string(kEnumRoot) + "\\" + instanceId;
}

std::string SoftwareKeyPath(const std::string &instanceId) {
  std::optional<std::string> driver = GetString(InstanceKeyPath(instanceId), kDriverValue);
  if (!driver || driver->empty()) return "";
  return std::string(kClassRoot) + "\\" + *driver;
}

std::string CreateSoftwareKey(const std::string &instanceId, const GUID &classGuid) {
  std::string classKey = std::string(kClassRoot) + "\\" + FormatGuid(classGuid);
  for (unsigned index = 0; index < kMaxSoftwareKeys; ++index) {
    char name[8];
    std::snprintf(name, sizeof(name), "%04u", index);
    if (KeyExists(classKey + "\\" + name)) continue;
    CreateKey(classKey + "\\" + name);
    SetString(InstanceKeyPath(instanceId), kDriverValue, FormatGuid(classGuid) + "\\" + name);
    return classKey + "\\" + name;
  }
  return "";
}

std::string SetupClassName(const GUID &classGuid) {
  std::string classKey = std::string(kClassRoot) + "\\" + FormatGuid(classGuid);
  if (std::optional<std::string> name = GetString(classKey, kClassValue)) return *name;
  if (std::optional<std::string> name = GetString(classKey, "")) return *name;
  return "";
}

std::optional<GUID> SetupClassByName(const std::string &className) {
  for (const std::string &guidText : SubkeyNames(kClassRoot)) {
    GUID guid;
    if (!ParseGuid(guidText, &guid)) continue;
    if (EqualNoCase(SetupClassName(guid), className)) return guid;
  }
  return std::nullopt;
}

std::vector<std::string> AllInstanceIds() {
  std::vector<std::string> ids;
  for (const std::string &enumerator : SubkeyNames(kEnumRoot)) {
    std::string enumeratorPath = std::string(kEnumRoot) + "\\" + enumerator;
    for (const std::string &device : SubkeyNames(enumeratorPath)) {
      for (const std::string &instance : SubkeyNames(enumeratorPath + "\\" + device))
        ids.push_back(enumerator + "\\" + device + "\\" + instance);
    }
  }
  return ids;
}

DWORD DevNodeOf(const std::string &instanceId) {
  DeviceTreeState &s = State();
  auto inserted = s.devNodes.emplace(Upper(instanceId), static_cast<DWORD>(s.devNodes.size() + 1));
  if (inserted.second) s.devNodeIds.push_back(instanceId);
  return inserted.first->second;
}

std::optional<std::string> InstanceIdOfDevNode(DWORD devNode) {
  const DeviceTreeState &s = State();
  if (devNode == 0 || devNode > s.devNodeIds.size()) return std::nullopt;
  return s.devNodeIds[devNode - 1];
}

std::vector<std::string> ReadMultiString(const std::string &keyPath, const std::string &name) {
  std::vector<std::string> strings;
  std::optional<RegValue> value = GetValue(keyPath, name);
  if (!value || value->type != REG_MULTI_SZ) return strings;
  std::string current;
  for (BYTE b : value->data) {
    if (b != 0) {
      current.push_back(static_cast<char>(b));
      continue;
    }
    if (current.empty()) break;  // the empty string that ends the list
    strings.push_back(current);
    current.clear();
  }
  if (!current.empty()) strings.push_back(current);  // a list whose terminator is missing
  return strings;
}

std::vector<BYTE> MultiStringBytes(const std::vector<std::string> &strings) {
  std::vector<BYTE> bytes;
  for (const std::string &s : strings) {
    bytes.insert(bytes.end(), s.begin(), s.end());
    bytes.push_back(0);
  }
  bytes.push_back(0);
  return bytes;
}

std::vector<BYTE> StringBytes(const std::string &text) {
  std::vector<BYTE> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

const std::string &MachineArchitecture() {
  return State().architecture;
}

std::string InfFolder() {
  std::string folder = WindowsDirectory();
  if (folder.empty() || folder.back() != '\\') folder += "\\";
  return folder + "inf";
}

}  // namespace detail

using namespace detail;

void SetArchitecture(const std::string &arch) {
  std::string lower = arch;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
  State().architecture = lower.empty() ? kDefaultArchitecture : lower;
}

bool ParseGuid(const std::string &text, GUID *guid) {
  if (text.size() != kGuidTextLength || text.front() != '{' || text.back() != '}') return false;
  if (text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-') return false;
  uint64_t data1, data2, data3, part;
  if (!ParseHex(text, 1, 8, &data1) || !ParseHex(text, 10, 4, &data2) || !ParseHex(text, 15, 4, &data3))
    return false;
  GUID result;
  result.Data1 = static_cast<DWORD>(data1);
  result.Data2 = static_cast<WORD>(data2);
  result.Data3 = static_cast<WORD>(data3);
  // Data4: two bytes before the last dash, six after it.
  static const size_t kData4Offsets[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (size_t i = 0; i < 8; ++i) {
    if (!ParseHex(text, kData4Offsets[i], 2, &part)) return false;
    result.Data4[i] = static_cast<BYTE>(part);
  }
  *guid = result;
  return true;
}

std::string FormatGuid(const GUID &guid) {
  char text[kGuidTextLength + 1];
  std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
                guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

std::string AddDevice(const NewDevice &device) {
  std::string id = Upper(device.instanceId);
  std::string key = InstanceKeyPath(id);
  CreateKey(key);
  SetString(key, kClassGuidValue, device.classGuid);
  GUID classGuid{};
  bool classKnown = ParseGuid(device.classGuid, &classGuid);
  if (classKnown) {
    std::string className = SetupClassName(classGuid);
    if (!className.empty()) SetString(key, kClassValue, className);
  }
  if (!device.hardwareIds.empty())
    SetValue(key, kHardwareIdValue, REG_MULTI_SZ, MultiStringBytes(device.hardwareIds));
  if (!device.compatibleIds.empty())
    SetValue(key, kCompatibleIdsValue, REG_MULTI_SZ, MultiStringBytes(device.compatibleIds));
  if (!device.service.empty()) SetString(key, kServiceValue, device.service);
  if (!device.description.empty()) SetString(key, kDeviceDescValue, device.description);
  CreateKey(key + "\\" + kDeviceParametersSubkey);
  if (device.withDriverKey && classKnown && SoftwareKeyPath(id).empty()) CreateSoftwareKey(id, classGuid);
  SetDevicePresent(id, device.present);
  return id;
}

void SetDevicePresent(const std::string &instanceId, bool present) {
  std::string key = InstanceKeyPath(instanceId);
  if (!KeyExists(key)) return;
  if (present)
    CreateKey(key + "\\" + kControlSubkey, true);
  else
    DeleteTree(key + "\\" + kControlSubkey);
}

bool IsDevicePresent(const std::string &instanceId) {
  return KeyExists(InstanceKeyPath(instanceId) + "\\" + kControlSubkey);
}

std::string DriverKeyPath(const std::string &instanceId) {
  return SoftwareKeyPath(instanceId);
}

std::string HardwareKeyPath(const std::string &instanceId) {
  std::string key = InstanceKeyPath(instanceId);
  if (!KeyExists(key)) return "";
  return key + "\\" + kDeviceParametersSubkey;
}

void AddSetupClass(const std::string &classGuid, const std::string &className) {
  std::string key = std::string(kClassRoot) + "\\" + classGuid;
  SetString(key, "", className);
  SetString(key, kClassValue, className);
}

}  // namespace winsim
