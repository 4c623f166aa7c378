// SetupAPI's device-information sets: elements for device instances, their registry keys and
// properties, install parameters, compatible-driver lists built from INF files, driver ranks and
// the selected driver. A set keeps its elements' install parameters and driver lists for its
// whole life, as SetupAPI does; the devices themselves live in the registry (devices.cpp).
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>

#include "internal.h"
#include "setupapi_internal.h"

namespace winsim {
namespace detail {
namespace {

constexpr size_t kMaxDeviceIdLength = 200;  // instance ids are shorter than this
constexpr char kGeneratedEnumerator[] = "ROOT";
constexpr unsigned kMaxGeneratedInstances = 10000;  // "0000" to "9999"
constexpr char kManufacturerSection[] = "Manufacturer";
constexpr char kVersionSection[] = "Version";
constexpr char kProviderKey[] = "Provider";
constexpr char kDriverVerKey[] = "DriverVer";
constexpr char kInfExtension[] = ".INF";

// Rank of a compatible driver: the kind of identifier match, plus the position of the matching
// identifier in the device's list and, for two compatible ids, in the model line.
constexpr DWORD kRankHardwareIdMatch = 0x0000;          // device hardware id = INF hardware id
constexpr DWORD kRankInfCompatibleIdMatch = 0x1000;     // device hardware id = INF compatible id
constexpr DWORD kRankDeviceCompatibleIdMatch = 0x2000;  // device compatible id = INF hardware id
constexpr DWORD kRankCompatibleIdMatch = 0x3000;        // device compatible id = INF compatible id
constexpr DWORD kRankInfPositionStep = 0x100;
constexpr size_t kMaxRankedDevicePosition = 0xFF;
constexpr size_t kMaxRankedInfPosition = 0xF;

// Windows version that [Manufacturer] targets such as "NTx86.5.1" are compared with: 5.1 on an x86
// machine, 5.2 on a 64-bit one.
constexpr unsigned kMachineMajorVersion = 5;
constexpr unsigned kX86MinorVersion = 1;
constexpr unsigned kX64MinorVersion = 2;

// FILETIME arithmetic for DriverVer dates.
constexpr uint64_t kTicksPerDay = 864000000000ULL;
constexpr int64_t kDaysFrom1601To1970 = 134774;
constexpr uint64_t kTicksFrom1601To1970 = 116444736000000000ULL;

// Device registry properties and the values of the instance key that hold them.
constexpr DWORD kSpdrpLocationInformation = 0x0000000D;
constexpr DWORD kSpdrpCapabilities = 0x0000000F;
constexpr DWORD kSpdrpUpperFilters = 0x00000011;
constexpr DWORD kSpdrpLowerFilters = 0x00000012;
constexpr DWORD kSpdrpUiNumber = 0x00000010;

struct PropertyInfo {
  DWORD property;
  const char *valueName;
  DWORD type;
  bool settable;
};

const PropertyInfo kProperties[] = {
    {SPDRP_DEVICEDESC, "DeviceDesc", REG_SZ, true},
    {SPDRP_HARDWAREID, "HardwareID", REG_MULTI_SZ, true},
    {SPDRP_COMPATIBLEIDS, "CompatibleIDs", REG_MULTI_SZ, true},
    {SPDRP_SERVICE, "Service", REG_SZ, true},
    {SPDRP_CLASS, "Class", REG_SZ, false},
    {SPDRP_CLASSGUID, "ClassGUID", REG_SZ, true},
    {SPDRP_DRIVER, "Driver", REG_SZ, true},
    {SPDRP_CONFIGFLAGS, "ConfigFlags", REG_DWORD, true},
    {SPDRP_MFG, "Mfg", REG_SZ, true},
    {SPDRP_FRIENDLYNAME, "FriendlyName", REG_SZ, true},
    {kSpdrpLocationInformation, "LocationInformation", REG_SZ, true},
    {kSpdrpCapabilities, "Capabilities", REG_DWORD, false},
    {kSpdrpUiNumber, "UINumber", REG_DWORD, false},
    {kSpdrpUpperFilters, "UpperFilters", REG_MULTI_SZ, true},
    {kSpdrpLowerFilters, "LowerFilters", REG_MULTI_SZ, true},
};

const PropertyInfo *FindProperty(DWORD property) {
  for (const PropertyInfo &info : kProperties)
    if (info.property == property) return &info;
  return nullptr;
}

struct DriverNode {
  ULONG_PTR id = 0;  // what SP_DRVINFO_DATA.Reserved carries
  DWORD rank = 0;
  DWORD flags = 0;
  DWORD_PTR privateData = 0;
  std::string description, mfgName, providerName, section, infPath;
  std::vector<std::string> ids;  // the model line's hardware id, then its compatible ids
  FILETIME driverDate{};
  DWORDLONG driverVersion = 0;
  FILETIME infDate{};
};

struct Element {
  ULONG_PTR id = 0;  // what SP_DEVINFO_DATA.Reserved carries
  std::string instanceId;
  GUID classGuid{};
  DWORD devInst = 0;
  bool registered = false;  // false for a device created in this set and not registered yet
  bool removed = false;
  SP_DEVINSTALL_PARAMS_A params{};
  bool compatListBuilt = false;
  std::vector<DriverNode> compatDrivers;
  long selected = -1;  // index into compatDrivers
};

struct DeviceSet : HandleObject {
  DeviceSet() : HandleObject(HandleKind::DevInfoSet) { params.cbSize = sizeof(params); }
  std::string Describe() const override {
    std::string text = hasClass ? FormatGuid(classGuid) : "(no class)";
    for (const auto &element : elements) text += " " + element->instanceId;
    return text;
  }
  bool hasClass = false;
  GUID classGuid{};
  SP_DEVINSTALL_PARAMS_A params{};
  std::vector<std::unique_ptr<Element>> elements;
  ULONG_PTR nextElementId = 1;
  ULONG_PTR nextDriverId = 1;
};

bool SameGuid(const GUID &a, const GUID &b) {
  return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

DeviceSet *LookupSet(HDEVINFO handle) {
  return Lookup<DeviceSet>(handle, HandleKind::DevInfoSet);
}

Element *ElementOf(DeviceSet *set, const SP_DEVINFO_DATA *data) {
  if (!set || !data || data->cbSize != sizeof(SP_DEVINFO_DATA)) return nullptr;
  for (const auto &element : set->elements)
    if (element->id == data->Reserved) return element.get();
  return nullptr;
}

// What a call is about, for traces and fault matching: the device's instance id, else the set's
// class.
std::string SubjectOf(HDEVINFO handle, const SP_DEVINFO_DATA *data) {
  DeviceSet *set = LookupSet(handle);
  if (!set) return "";
  if (Element *element = ElementOf(set, data)) return element->instanceId;
  return set->hasClass ? FormatGuid(set->classGuid) : "";
}

// The set, or null with ERROR_INVALID_HANDLE (and a verifier stop of the call in progress: no
// SetupAPI function calls out of the simulation before it asks for its set).
DeviceSet *RequireSet(HDEVINFO handle) {
  DeviceSet *set = Verified<DeviceSet>(CallInProgress(), handle, HandleKind::DevInfoSet);
  if (!set) SetError(ERROR_INVALID_HANDLE);
  return set;
}

// The element named by an SP_DEVINFO_DATA of the set, or null with the error SetupAPI gives.
Element *RequireElement(DeviceSet *set, const SP_DEVINFO_DATA *data) {
  Element *element = ElementOf(set, data);
  if (!element) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (element->removed) {
    SetError(ERROR_NO_SUCH_DEVINST);
    return nullptr;
  }
  return element;
}

// The device a call is about: the set, then its element, or null with the error SetupAPI gives.
Element *RequireDevice(HDEVINFO handle, const SP_DEVINFO_DATA *data) {
  DeviceSet *set = RequireSet(handle);
  return set ? RequireElement(set, data) : nullptr;
}

// For calls about a set or, when `data` is given, one of its devices: the set and that device's
// element (null when the call is about the set); false with the error SetupAPI gives.
bool RequireSetOrDevice(HDEVINFO handle, const SP_DEVINFO_DATA *data, DeviceSet **set, Element **element) {
  *element = nullptr;
  *set = RequireSet(handle);
  if (!*set) return false;
  return !data || (*element = RequireElement(*set, data)) != nullptr;
}

template <typename Record>
bool RecordSizeFits(const Record &record) {
  return record.cbSize == sizeof(Record);
}

// A driver record may also be of the first version, which ends before the driver's date.
constexpr DWORD kDriverInfoV1Size = offsetof(SP_DRVINFO_DATA_V2_A, DriverDate);
bool RecordSizeFits(const SP_DRVINFO_DATA_A &record) {
  return record.cbSize == sizeof(SP_DRVINFO_DATA_V2_A) || record.cbSize == kDriverInfoV1Size;
}

// A caller's record: present (else ERROR_INVALID_PARAMETER) and of a size the call takes (else
// ERROR_INVALID_USER_BUFFER).
template <typename Record>
bool CheckRecord(const Record *record) {
  if (!record) {
    SetError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!RecordSizeFits(*record)) {
    SetError(ERROR_INVALID_USER_BUFFER);
    return false;
  }
  return true;
}

// The install parameters a call reads or writes: the device's when it names one, else the set's;
// null with the error SetupAPI gives.
SP_DEVINSTALL_PARAMS_A *RequireInstallParams(HDEVINFO handle, const SP_DEVINFO_DATA *data,
                                             const SP_DEVINSTALL_PARAMS_A *record) {
  DeviceSet *set = nullptr;
  Element *element = nullptr;
  if (!RequireSetOrDevice(handle, data, &set, &element) || !CheckRecord(record)) return nullptr;
  return element ? &element->params : &set->params;
}

void FillDeviceData(SP_DEVINFO_DATA *data, const Element &element) {
  data->ClassGuid = element.classGuid;
  data->DevInst = element.devInst;
  data->Reserved = element.id;
}

GUID ClassOfInstance(const std::string &instanceId) {
  GUID guid{};
  if (std::optional<std::string> text = GetString(InstanceKeyPath(instanceId), "ClassGUID"))
    ParseGuid(*text, &guid);
  return guid;
}

Element &AddElement(DeviceSet &set, const std::string &instanceId, bool registered) {
  auto element = std::make_unique<Element>();
  element->id = set.nextElementId++;
  element->instanceId = instanceId;
  element->classGuid = ClassOfInstance(instanceId);
  element->devInst = DevNodeOf(instanceId);
  element->registered = registered;
  element->params.cbSize = sizeof(element->params);
  set.elements.push_back(std::move(element));
  return *set.elements.back();
}

Element *ElementByInstance(DeviceSet &set, const std::string &instanceId) {
  for (const auto &element : set.elements)
    if (!element->removed && EqualNoCase(element->instanceId, instanceId)) return element.get();
  return nullptr;
}

// The instance id with the letter case of the keys that hold it, when the device exists.
std::optional<std::string> StoredInstanceId(const std::string &instanceId) {
  std::string path = kEnumRoot, stored;
  size_t start = 0;
  for (int part = 0; part < 3; ++part) {
    size_t end = instanceId.find('\\', start);
    if ((end == std::string::npos) != (part == 2)) return std::nullopt;
    std::string wanted = instanceId.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::optional<std::string> found;
    for (const std::string &name : SubkeyNames(path))
      if (EqualNoCase(name, wanted)) found = name;
    if (!found || wanted.empty()) return std::nullopt;
    path += "\\" + *found;
    stored += (part ? "\\" : "") + *found;
    start = end + 1;
  }
  return stored;
}

// Removes a device instance's key, and the device and enumerator keys above it once they are empty.
void DeleteInstanceKey(const std::string &instanceId) {
  std::string key = InstanceKeyPath(instanceId);
  DeleteTree(key);
  for (int level = 0; level < 2; ++level) {
    key = key.substr(0, key.find_last_of('\\'));
    if (!KeyExists(key) || !SubkeyNames(key).empty()) break;
    DeleteTree(key);
  }
}

bool ValidScope(DWORD scope) {
  return scope == DICS_FLAG_GLOBAL || scope == DICS_FLAG_CONFIGSPECIFIC;
}
bool ValidKeyType(DWORD keyType) {
  return keyType == DIREG_DEV || keyType == DIREG_DRV;
}

HKEY InvalidKey() {
  return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
}

// ---- Driver lists ----

template <size_t N>
void CopyText(CHAR (&target)[N], const std::string &text) {
  size_t length = std::min(text.size(), N - 1);
  std::memcpy(target, text.data(), length);
  target[length] = '\0';
}

void FillDriverData(SP_DRVINFO_DATA_A *data, const DriverNode &node) {
  data->DriverType = SPDIT_COMPATDRIVER;
  data->Reserved = node.id;
  CopyText(data->Description, node.description);
  CopyText(data->MfgName, node.mfgName);
  CopyText(data->ProviderName, node.providerName);
  if (data->cbSize == sizeof(SP_DRVINFO_DATA_V2_A)) {
    data->DriverDate = node.driverDate;
    data->DriverVersion = node.driverVersion;
  }
}

bool NodeNamedBy(const DriverNode &node, const SP_DRVINFO_DATA_A &data) {
  return EqualNoCase(node.description, data.Description) && EqualNoCase(node.mfgName, data.MfgName) &&
         EqualNoCase(node.providerName, data.ProviderName);
}

// A driver record names its node by type, description, manufacturer and provider; Reserved, when it
// still names a node with those texts, tells apart nodes whose texts are the same.
long FindDriverNode(const Element &element, const SP_DRVINFO_DATA_A &data) {
  if (data.DriverType != SPDIT_COMPATDRIVER) return -1;
  const std::vector<DriverNode> &nodes = element.compatDrivers;
  for (size_t i = 0; i < nodes.size(); ++i)
    if (nodes[i].id == data.Reserved && NodeNamedBy(nodes[i], data)) return static_cast<long>(i);
  for (size_t i = 0; i < nodes.size(); ++i)
    if (NodeNamedBy(nodes[i], data)) return static_cast<long>(i);
  return -1;
}

// Resolves a driver record to its node, or sets the error SetupAPI gives and returns null.
DriverNode *RequireDriverNode(Element &element, const SP_DRVINFO_DATA_A *data) {
  if (!CheckRecord(data)) return nullptr;
  long index = FindDriverNode(element, *data);
  if (index < 0) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return &element.compatDrivers[index];
}

// The driver node a call names by a device and a record of that device's compatible-driver list,
// or null with the error SetupAPI gives. Without a device record the call would be about a
// class-driver list, and those are not kept: it fails as an unknown device does.
DriverNode *RequireDeviceDriver(HDEVINFO handle, const SP_DEVINFO_DATA *device, const SP_DRVINFO_DATA_A *driver) {
  Element *element = RequireDevice(handle, device);
  return element ? RequireDriverNode(*element, driver) : nullptr;
}

int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

FILETIME TicksToFileTime(uint64_t ticks) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

// "mm/dd/yyyy" (or with '-') to midnight of that day; a date that is no date gives zero.
FILETIME DriverDateOf(const std::string &text) {
  unsigned month = 0, day = 0, year = 0;
  char sep1 = 0, sep2 = 0;
  if (std::sscanf(text.c_str(), "%u%c%u%c%u", &month, &sep1, &day, &sep2, &year) != 5) return FILETIME{};
  if ((sep1 != '/' && sep1 != '-') || (sep2 != '/' && sep2 != '-')) return FILETIME{};
  if (month < 1 || month > 12 || day < 1 || day > 31 || year < 1601) return FILETIME{};
  int64_t days = DaysFromCivil(year, month, day) + kDaysFrom1601To1970;
  return TicksToFileTime(static_cast<uint64_t>(days) * kTicksPerDay);
}

// "a.b.c.d" packed as a DWORDLONG, 16 bits each, missing parts 0.
DWORDLONG DriverVersionOf(const std::string &text) {
  DWORDLONG version = 0;
  size_t start = 0;
  for (int part = 0; part < 4; ++part) {
    DWORDLONG value = 0;
    if (start < text.size()) {
      size_t end = text.find('.', start);
      value = std::strtoul(text.substr(start, end - start).c_str(), nullptr, 10) & 0xFFFF;
      start = end == std::string::npos ? text.size() : end + 1;
    }
    version = (version << 16) | value;
  }
  return version;
}

FILETIME FileDateOf(const std::string &windowsPath) {
  std::error_code error;
  std::string host = HostPath(windowsPath);
  auto written = std::filesystem::last_write_time(host, error);
  if (host.empty() || error) return FILETIME{};
  auto system = std::chrono::time_point_cast<std::chrono::system_clock::duration>(
      written - std::filesystem::file_time_type::clock::now() + std::chrono::system_clock::now());
  auto ticks = std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 10000000>>>(
                   system.time_since_epoch())
                   .count();
  return TicksToFileTime(static_cast<uint64_t>(ticks) + kTicksFrom1601To1970);
}

// Best rank of a model line's ids against the device's ids; false when none matches.
bool MatchRank(const std::vector<std::string> &modelIds, const std::vector<std::string> &hardwareIds,
               const std::vector<std::string> &compatibleIds, DWORD *rank) {
  bool found = false;
  auto consider = [&](DWORD candidate) {
    if (!found || candidate < *rank) *rank = candidate;
    found = true;
  };
  for (size_t k = 0; k < modelIds.size(); ++k) {
    if (modelIds[k].empty()) continue;
    for (size_t i = 0; i < hardwareIds.size(); ++i) {
      if (!EqualNoCase(modelIds[k], hardwareIds[i])) continue;
      consider((k == 0 ? kRankHardwareIdMatch : kRankInfCompatibleIdMatch) +
               static_cast<DWORD>(std::min(i, kMaxRankedDevicePosition)));
    }
    for (size_t i = 0; i < compatibleIds.size(); ++i) {
      if (!EqualNoCase(modelIds[k], compatibleIds[i])) continue;
      DWORD base = k == 0 ? kRankDeviceCompatibleIdMatch
                          : kRankCompatibleIdMatch +
                                kRankInfPositionStep * static_cast<DWORD>(std::min(k - 1, kMaxRankedInfPosition));
      consider(base + static_cast<DWORD>(std::min(i, kMaxRankedDevicePosition)));
    }
  }
  return found;
}

// How well a [Manufacturer] target such as "NTx86.5.1" fits this machine: -1 when it does not
// apply, higher for a closer fit (an architecture-specific target beats a plain "NT", a later
// version an earlier one).
int TargetFit(const std::string &target) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t dot = target.find('.', start);
    parts.push_back(target.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  int fit = 0;
  if (EqualNoCase(parts[0], "NT" + MachineArchitecture()))
    fit = 1000;
  else if (!EqualNoCase(parts[0], "NT"))
    return -1;
  unsigned major = parts.size() > 1 && !parts[1].empty() ? std::strtoul(parts[1].c_str(), nullptr, 10) : 0;
  unsigned minor = parts.size() > 2 && !parts[2].empty() ? std::strtoul(parts[2].c_str(), nullptr, 10) : 0;
  const unsigned machineMinor = EqualNoCase(MachineArchitecture(), "x86") ? kX86MinorVersion : kX64MinorVersion;
  if (major > kMachineMajorVersion || (major == kMachineMajorVersion && minor > machineMinor)) return -1;
  return fit + static_cast<int>(major * 10 + minor);
}

// The models section that a [Manufacturer] entry means on this machine, "" when none applies.
std::string ModelsSection(const std::string &models, const std::vector<std::string> &targets) {
  if (targets.empty()) return models;
  int bestFit = -1;
  std::string best;
  for (const std::string &target : targets) {
    int fit = TargetFit(target);
    if (fit > bestFit) {
      bestFit = fit;
      best = models + "." + target;
    }
  }
  return best;
}

void AddDriversFromInf(DeviceSet &set, Element &element, const inf::File &file,
                       const std::vector<std::string> &hardwareIds,
                       const std::vector<std::string> &compatibleIds) {
  int manufacturers = file.FindSection(kManufacturerSection);
  if (manufacturers < 0) return;
  std::string provider = file.Value(kVersionSection, kProviderKey).value_or("");
  std::optional<std::string> versionDriverVer = file.Value(kVersionSection, kDriverVerKey, 1);
  std::optional<std::string> versionDriverVerNumber = file.Value(kVersionSection, kDriverVerKey, 2);
  FILETIME infDate = FileDateOf(file.path);
  const size_t entryCount = file.sections[manufacturers].lines.size();
  for (size_t m = 0; m < entryCount; ++m) {
    int entry = static_cast<int>(m);
    std::string mfgName = file.Field(manufacturers, entry, 0).value_or("");
    std::vector<std::string> fields = file.Fields(manufacturers, entry);
    std::string models = !fields.empty() && !fields[0].empty() ? fields[0] : mfgName;
    std::vector<std::string> targets(fields.size() > 1 ? fields.begin() + 1 : fields.end(), fields.end());
    int modelsSection = file.FindSection(ModelsSection(models, targets));
    if (modelsSection < 0) continue;
    const size_t modelCount = file.sections[modelsSection].lines.size();
    for (size_t l = 0; l < modelCount; ++l) {
      int line = static_cast<int>(l);
      std::vector<std::string> modelFields = file.Fields(modelsSection, line);
      if (modelFields.size() < 2) continue;  // a model needs an install section and a hardware id
      std::vector<std::string> ids(modelFields.begin() + 1, modelFields.end());
      DWORD rank = 0;
      if (!MatchRank(ids, hardwareIds, compatibleIds, &rank)) continue;
      DriverNode node;
      node.id = set.nextDriverId++;
      node.rank = rank;
      node.description = file.Field(modelsSection, line, 0).value_or("");
      node.mfgName = mfgName;
      node.providerName = provider;
      node.section = modelFields[0];
      node.infPath = file.path;
      node.ids = ids;
      node.infDate = infDate;
      // The install section's own DriverVer overrides the one of [Version].
      std::string installSection = file.ActualSection(node.section, nullptr);
      std::optional<std::string> date = file.Value(installSection, kDriverVerKey, 1);
      std::optional<std::string> number = file.Value(installSection, kDriverVerKey, 2);
      if (!date) {
        date = versionDriverVer;
        number = versionDriverVerNumber;
      }
      if (date) node.driverDate = DriverDateOf(*date);
      if (number) node.driverVersion = DriverVersionOf(*number);
      element.compatDrivers.push_back(std::move(node));
    }
  }
}

// The INF files of a folder in the order a directory search gives them.
std::vector<std::string> InfFilesIn(const std::string &folder) {
  std::vector<std::string> names;
  std::string host = HostPath(folder);
  std::error_code error;
  if (host.empty() || !std::filesystem::is_directory(host, error)) return names;
  for (const auto &entry : std::filesystem::directory_iterator(host, error)) {
    std::string name = entry.path().filename().string();
    const size_t extension = sizeof(kInfExtension) - 1;
    if (name.size() > extension && EqualNoCase(name.substr(name.size() - extension), kInfExtension) &&
        entry.is_regular_file(error))
      names.push_back(name);
  }
  std::sort(names.begin(), names.end(),
            [](const std::string &a, const std::string &b) { return Upper(a) < Upper(b); });
  std::vector<std::string> paths;
  for (const std::string &name : names) paths.push_back(folder + "\\" + name);
  return paths;
}

// Marks drivers that share their description with a driver of another provider.
void MarkDuplicateDescriptions(std::vector<DriverNode> &nodes) {
  for (DriverNode &a : nodes) {
    for (const DriverNode &b : nodes) {
      if (&a != &b && EqualNoCase(a.description, b.description) && !EqualNoCase(a.providerName, b.providerName))
        a.flags |= DNF_DUPDESC;
    }
  }
}

}  // namespace
}  // namespace detail
}  // namespace winsim

using namespace winsim;
using namespace winsim::detail;

extern "C" {

// ---- Device-information sets ----

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID *ClassGuid, HWND hwndParent) {
  (void)hwndParent;
  if (auto fault =
          Enter("SetupDiCreateDeviceInfoList", ClassGuid ? FormatGuid(*ClassGuid) : "", ERROR_NOT_ENOUGH_MEMORY)) {
    SetError(*fault);
    return INVALID_HANDLE_VALUE;
  }
  auto set = std::make_unique<DeviceSet>();
  if (ClassGuid) {
    set->hasClass = true;
    set->classGuid = *ClassGuid;
  }
  return AddHandle(std::move(set));
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags) {
  (void)hwndParent;
  if (auto fault =
          Enter("SetupDiGetClassDevsA", ClassGuid ? FormatGuid(*ClassGuid) : "", ERROR_NOT_ENOUGH_MEMORY)) {
    SetError(*fault);
    return INVALID_HANDLE_VALUE;
  }
  const bool allClasses = (Flags & DIGCF_ALLCLASSES) != 0;
  if (!ClassGuid && !allClasses) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto set = std::make_unique<DeviceSet>();
  if (!allClasses && !(Flags & DIGCF_DEVICEINTERFACE)) {
    set->hasClass = true;
    set->classGuid = *ClassGuid;
  }
  // Device interfaces are not kept by this machine: a set of interface devices is empty.
  if (!(Flags & DIGCF_DEVICEINTERFACE)) {
    for (const std::string &id : AllInstanceIds()) {
      if (Enumerator && !EqualNoCase(id.substr(0, id.find('\\')), Enumerator)) continue;
      if (!allClasses && !SameGuid(ClassOfInstance(id), *ClassGuid)) continue;
      if ((Flags & DIGCF_PRESENT) && !IsDevicePresent(id)) continue;
      AddElement(*set, id, true);
    }
  }
  return AddHandle(std::move(set));
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  if (auto fault =
          Enter("SetupDiDestroyDeviceInfoList", SubjectOf(DeviceInfoSet, nullptr), ERROR_INVALID_HANDLE)) {
    SetError(*fault);
    return FALSE;
  }
  DeviceSet *set = RequireSet(DeviceInfoSet);
  if (!set) return FALSE;
  // Devices created in this set and never registered go with it.
  for (const auto &element : set->elements)
    if (!element->registered && !element->removed) DeleteInstanceKey(element->instanceId);
  RemoveHandle(DeviceInfoSet, HandleKind::DevInfoSet);
  return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
  if (auto fault = Enter("SetupDiEnumDeviceInfo", SubjectOf(DeviceInfoSet, nullptr), ERROR_NO_MORE_ITEMS)) {
    SetError(*fault);
    return FALSE;
  }
  DeviceSet *set = RequireSet(DeviceInfoSet);
  if (!set) return FALSE;
  if (!CheckRecord(DeviceInfoData)) return FALSE;
  if (MemberIndex >= set->elements.size()) {
    SetError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  FillDeviceData(DeviceInfoData, *set->elements[MemberIndex]);
  return TRUE;
}

BOOL WINAPI SetupDiOpenDeviceInfoA(HDEVINFO DeviceInfoSet, PCSTR DeviceInstanceId, HWND hwndParent,
                                   DWORD OpenFlags, PSP_DEVINFO_DATA DeviceInfoData) {
  (void)hwndParent;
  (void)OpenFlags;
  if (auto fault =
          Enter("SetupDiOpenDeviceInfoA", DeviceInstanceId ? DeviceInstanceId : "", ERROR_NO_SUCH_DEVINST)) {
    SetError(*fault);
    return FALSE;
  }
  DeviceSet *set = RequireSet(DeviceInfoSet);
  if (!set) return FALSE;
  if (!DeviceInstanceId) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
    SetError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  std::optional<std::string> id = StoredInstanceId(DeviceInstanceId);
  if (!id) {
    SetError(ERROR_NO_SUCH_DEVINST);
    return FALSE;
  }
  Element *element = ElementByInstance(*set, *id);
  if (!element) {
    if (set->hasClass && !SameGuid(ClassOfInstance(*id), set->classGuid)) {
      SetError(ERROR_CLASS_MISMATCH);
      return FALSE;
    }
    element = &AddElement(*set, *id, true);
  }
  if (DeviceInfoData) FillDeviceData(DeviceInfoData, *element);
  return TRUE;
}

BOOL WINAPI SetupDiCreateDeviceInfoA(HDEVINFO DeviceInfoSet, PCSTR DeviceName, const GUID *ClassGuid,
                                     PCSTR DeviceDescription, HWND hwndParent, DWORD CreationFlags,
                                     PSP_DEVINFO_DATA DeviceInfoData) {
  (void)hwndParent;
  if (auto fault = Enter("SetupDiCreateDeviceInfoA", DeviceName ? DeviceName : "", ERROR_DEVINST_ALREADY_EXISTS)) {
    SetError(*fault);
    return FALSE;
  }
  if (!DeviceName) {
    SetError(ERROR_INVALID_DEVINST_NAME);
    return FALSE;
  }
  DeviceSet *set = RequireSet(DeviceInfoSet);
  if (!set) return FALSE;
  if (!ClassGuid) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (set->hasClass && !SameGuid(*ClassGuid, set->classGuid)) {
    SetError(ERROR_CLASS_MISMATCH);
    return FALSE;
  }
  std::string name = DeviceName;
  std::string id;
  if (CreationFlags & DICD_GENERATE_ID) {
    // A plain device name; the instance becomes ROOT\<NAME>\NNNN with the lowest free number.
    if (name.empty() || name.find('\\') != std::string::npos) {
      SetError(ERROR_INVALID_DEVINST_NAME);
      return FALSE;
    }
    for (unsigned n = 0; n < kMaxGeneratedInstances && id.empty(); ++n) {
      char instance[8];
      std::snprintf(instance, sizeof(instance), "%04u", n);
      std::string candidate = std::string(kGeneratedEnumerator) + "\\" + Upper(name) + "\\" + instance;
      if (!KeyExists(InstanceKeyPath(candidate)) && !ElementByInstance(*set, candidate)) id = candidate;
    }
  } else {
    // A full instance id: enumerator\device\instance.
    size_t first = name.find('\\'), second = first == std::string::npos ? first : name.find('\\', first + 1);
    bool wellFormed = first != std::string::npos && first > 0 && second != std::string::npos &&
                      second > first + 1 && second + 1 < name.size() &&
                      name.find('\\', second + 1) == std::string::npos;
    if (!wellFormed) {
      SetError(ERROR_INVALID_DEVINST_NAME);
      return FALSE;
    }
    id = Upper(name);
  }
  if (id.empty() || id.size() >= kMaxDeviceIdLength) {
    SetError(ERROR_INVALID_DEVINST_NAME);
    return FALSE;
  }
  if (KeyExists(InstanceKeyPath(id)) || ElementByInstance(*set, id)) {
    SetError(ERROR_DEVINST_ALREADY_EXISTS);
    return FALSE;
  }
  // The device exists from now on, not present, until the set registers it or goes away.
  std::string key = InstanceKeyPath(id);
  CreateKey(key);
  SetString(key, "ClassGUID", FormatGuid(*ClassGuid));
  std::string className = SetupClassName(*ClassGuid);
  if (!className.empty()) SetString(key, "Class", className);
  if (DeviceDescription) SetString(key, "DeviceDesc", DeviceDescription);
  Element &element = AddElement(*set, id, false);
  if (DeviceInfoData) {
    // The element stays in the set even when the caller's record cannot take it.
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
      SetError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    FillDeviceData(DeviceInfoData, element);
  }
  return TRUE;
}

BOOL WINAPI SetupDiRegisterDeviceInfo(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Flags,
                                      PSP_DETSIG_CMPPROC CompareProc, PVOID CompareContext,
                                      PSP_DEVINFO_DATA DupDeviceInfoData) {
  // Duplicate detection (SPRDI_FIND_DUPS) applies to detected legacy devices; it is not simulated.
  (void)Flags;
  (void)CompareProc;
  (void)CompareContext;
  (void)DupDeviceInfoData;
  if (auto fault =
          Enter("SetupDiRegisterDeviceInfo", SubjectOf(DeviceInfoSet, DeviceInfoData), ERROR_NO_SUCH_DEVINST)) {
    SetError(*fault);
    return FALSE;
  }
  Element *element = RequireDevice(DeviceInfoSet, DeviceInfoData);
  if (!element) return FALSE;
  if (!KeyExists(InstanceKeyPath(element->instanceId))) {
    SetError(ERROR_NO_SUCH_DEVINST);
    return FALSE;
  }
  if (element->registered) return TRUE;  // nothing changes for a device that is registered already
  element->registered = true;
  SetDevicePresent(element->instanceId, true);
  return TRUE;
}

BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
  if (auto fault = Enter("SetupDiRemoveDevice", SubjectOf(DeviceInfoSet, DeviceInfoData), ERROR_ACCESS_DENIED)) {
    SetError(*fault);
    return FALSE;
  }
  Element *element = RequireDevice(DeviceInfoSet, DeviceInfoData);
  if (!element) return FALSE;
  std::string softwareKey = SoftwareKeyPath(element->instanceId);
  if (!softwareKey.empty()) DeleteTree(softwareKey);
  DeleteInstanceKey(element->instanceId);
  // The element stays in the set, standing for a device that no longer exists.
  element->removed = true;
  element->compatDrivers.clear();
  element->selected = -1;
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
  if (auto fault = Enter("SetupDiGetDeviceInstanceIdA", SubjectOf(DeviceInfoSet, DeviceInfoData),
                         ERROR_INSUFFICIENT_BUFFER)) {
    SetError(*fault);
    return FALSE;
  }
  Element *element = RequireDevice(DeviceInfoSet, DeviceInfoData);
  if (!element) return FALSE;
  if (!DeviceInstanceId && DeviceInstanceIdSize != 0) {
    SetError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  DWORD needed = static_cast<DWORD>(element->instanceId.size() + 1);
  if (RequiredSize) *RequiredSize = needed;
  if (DeviceInstanceIdSize < needed) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(DeviceInstanceId, element->instanceId.c_str(), needed);
  return TRUE;
}

// The configuration manager's name for a device node: its instance id. An injected fault is
// returned as the CONFIGRET itself (CR_FAILURE when the fault names no code). As on Windows, a
// buffer that is too small gets as much of the id as fits, without a terminating zero.
CONFIGRET WINAPI CM_Get_Device_IDA(DEVINST dnDevInst, PCHAR Buffer, ULONG BufferLen, ULONG ulFlags) {
  std::optional<std::string> id = InstanceIdOfDevNode(dnDevInst);
  if (auto fault = Enter("CM_Get_Device_IDA", id.value_or(""), CR_FAILURE)) return *fault;
  if (ulFlags != 0) return CR_INVALID_FLAG;
  if (Buffer == nullptr) return CR_INVALID_POINTER;
  if (!id) return CR_INVALID_DEVNODE;
  const size_t copied = std::min<size_t>(id->size(), BufferLen);
  std::memcpy(Buffer, id->data(), copied);
  if (copied == id->size() && copied < BufferLen) {
    Buffer[copied] = '\0';
    return CR_SUCCESS;
  }
  return CR_BUFFER_SMALL;
}

// ---- Device registry keys and properties ----

HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope,
                                 DWORD HwProfile, DWORD KeyType, REGSAM samDesired) {
  (void)HwProfile;
  if (auto fault =
          Enter("SetupDiOpenDevRegKey", SubjectOf(DeviceInfoSet, DeviceInfoData), ERROR_KEY_DOES_NOT_EXIST)) {
    SetError(*fault);
    return InvalidKey();
  }
  Element *element = RequireDevice(DeviceInfoSet, DeviceInfoData);
  if (!element) return InvalidKey();
  if (!ValidScope(Scope) || !ValidKeyType(KeyType)) {
    SetError(ERROR_INVALID_FLAGS);
    return InvalidKey();
  }
  if (!element->registered) {
    SetError(ERROR_DEVINFO_NOT_REGISTERED);
    return InvalidKey();
  }
  std::string path = KeyType == DIREG_DRV ? SoftwareKeyPath(element->instanceId)
                                          : InstanceKeyPath(element->instanceId) + "\\" + kDeviceParametersSubkey;
  if (path.empty() || !KeyExists(path)) {
    SetError(ERROR_KEY_DOES_NOT_EXIST);
    return InvalidKey();
  }
  HKEY key = nullptr;
  LONG result = OpenKeyInternal(path, samDesired, &key);
  if (result != ERROR_SUCCESS) {
    SetError(static_cast<DWORD>(result));
    return InvalidKey();
  }
  return key;
}

HKEY WINAPI SetupDiCreateDevRegKeyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope,
                                    DWORD HwProfile, DWORD KeyType, HINF InfHandle, PCSTR InfSectionName) {
  (void)HwProfile;
  (void)InfSectionName;
  if (auto fault =
          Enter("SetupDiCreateDevRegKeyA", SubjectOf(DeviceInfoSet, DeviceInfoData), ERROR_ACCESS_DENIED)) {
    SetError(*fault);
    return InvalidKey();
  }
  Element *element = RequireDevice(DeviceInfoSet, DeviceInfoData);
  if (!element) return InvalidKey();
  if (!ValidScope(Scope) || !ValidKeyType(KeyType)) {
    SetError(ERROR_INVALID_FLAGS);
    return InvalidKey();
  }
  // Running an INF section's registry directives against the new key is not simulated.
  if (InfHandle && InfHandle != INVALID_HANDLE_VALUE) {
    SetError(ERROR_CALL_NOT_IMPLEMENTED);
    return InvalidKey();
  }
  if (!element->registered) {
    SetError(ERROR_DEVINFO_NOT_REGISTERED);
    return InvalidKey();
  }
  std::string path;
  if (KeyType == DIREG_DRV) {
    path = SoftwareKeyPath(element->instanceId);
    if (path.empty()) path = CreateSoftwareKey(element->instanceId, element->classGuid);
  } else {
    path = InstanceKeyPath(element->instanceId) + "\\" + kDeviceParametersSubkey;
  }
  HKEY key = nullptr;
  LONG result = path.empty() ? ERROR_NOT_ENOUGH_MEMORY : CreateKeyInternal(path, KEY_ALL_ACCESS, &key);
  if (result != ERROR_SUCCESS) {
    SetError(static_cast<DWORD>(result));
    return InvalidKey();
  }
  return key;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
  if (auto fault = Enter("SetupDiGetDeviceRegistryPropertyA", SubjectOf(DeviceInfoSet, DeviceInfoData),
                         ERROR_INVALID_DATA)) {
    SetError(*fault);
    return FALSE;
  }
  Element *element = RequireDevice(DeviceInfoSet, DeviceInfoData);
  if (!element) return FALSE;
  if (Property >= SPDRP_MAXIMUM_PROPERTY) {
    SetError(ERROR_INVALID_REG_PROPERTY);
    return FALSE;
  }
  if (!PropertyBuffer && PropertyBufferSize != 0) {
    SetError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  std::string key = InstanceKeyPath(element->instanceId);
  if (!KeyExists(key)) {
    SetError(ERROR_NO_SUCH_DEVINST);
    return FALSE;
  }
  const PropertyInfo *info = FindProperty(Property);
  std::optional<RegValue> value = info ? GetValue(key, info->valueName) : std::nullopt;
  if (!value) {
    SetError(ERROR_INVALID_DATA);
    return FALSE;
  }
  DWORD size = static_cast<DWORD>(value->data.size());
  if (PropertyRegDataType) *PropertyRegDataType = value->type;
  if (RequiredSize) *RequiredSize = size;
  if (PropertyBufferSize < size) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (size) std::memcpy(PropertyBuffer, value->data.data(), size);
  return TRUE;
}

BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, const BYTE *PropertyBuffer,
                                              DWORD PropertyBufferSize) {
  if (auto fault = Enter("SetupDiSetDeviceRegistryPropertyA", SubjectOf(DeviceInfoSet, DeviceInfoData),
                         ERROR_ACCESS_DENIED)) {
    SetError(*fault);
    return FALSE;
  }
  Element *element = RequireDevice(DeviceInfoSet, DeviceInfoData);
  if (!element) return FALSE;
  const PropertyInfo *info = Property < SPDRP_MAXIMUM_PROPERTY ? FindProperty(Property) : nullptr;
  if (!info || !info->settable) {
    SetError(ERROR_INVALID_REG_PROPERTY);
    return FALSE;
  }
  if (!PropertyBuffer && PropertyBufferSize != 0) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string key = InstanceKeyPath(element->instanceId);
  if (!KeyExists(key)) {
    SetError(ERROR_NO_SUCH_DEVINST);
    return FALSE;
  }
  if (!PropertyBuffer) {
    // No data clears the property.
    LoadReg("REGEDIT4\n\n[" + key + "]\n\"" + info->valueName + "\"=-\n");
    return TRUE;
  }
  std::vector<BYTE> data(PropertyBuffer, PropertyBuffer + PropertyBufferSize);
  if (info->type == REG_DWORD && data.size() != sizeof(DWORD)) {
    SetError(ERROR_INVALID_DATA);
    return FALSE;
  }
  if (Property == SPDRP_CLASSGUID) {
    // A new class for the device: the GUID in registry form, and the class name with it.
    std::string text(data.begin(), std::find(data.begin(), data.end(), BYTE(0)));
    GUID guid;
    if (!ParseGuid(text, &guid)) {
      SetError(ERROR_INVALID_DATA);
      return FALSE;
    }
    element->classGuid = guid;
    DeviceInfoData->ClassGuid = guid;
    std::string className = SetupClassName(guid);
    if (className.empty())
      LoadReg("REGEDIT4\n\n[" + key + "]\n\"Class\"=-\n");
    else
      SetString(key, "Class", className);
  }
  SetValue(key, info->valueName, info->type, data);
  return TRUE;
}

// ---- Install parameters ----

BOOL WINAPI SetupDiGetDeviceInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_A DeviceInstallParams) {
  if (auto fault = Enter("SetupDiGetDeviceInstallParamsA", SubjectOf(DeviceInfoSet, DeviceInfoData),
                         ERROR_INVALID_PARAMETER)) {
    SetError(*fault);
    return FALSE;
  }
  SP_DEVINSTALL_PARAMS_A *params = RequireInstallParams(DeviceInfoSet, DeviceInfoData, DeviceInstallParams);
  if (!params) return FALSE;
  *DeviceInstallParams = *params;
  return TRUE;
}

BOOL WINAPI SetupDiSetDeviceInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_A DeviceInstallParams) {
  if (auto fault = Enter("SetupDiSetDeviceInstallParamsA", SubjectOf(DeviceInfoSet, DeviceInfoData),
                         ERROR_INVALID_PARAMETER)) {
    SetError(*fault);
    return FALSE;
  }
  SP_DEVINSTALL_PARAMS_A *params = RequireInstallParams(DeviceInfoSet, DeviceInfoData, DeviceInstallParams);
  if (!params) return FALSE;
  const CHAR *path = DeviceInstallParams->DriverPath;
  if (std::find(path, path + MAX_PATH, '\0') == path + MAX_PATH) {
    SetError(ERROR_INVALID_PARAMETER);  // a driver path without its terminator
    return FALSE;
  }
  *params = *DeviceInstallParams;
  return TRUE;
}

// ---- Driver lists ----

BOOL WINAPI SetupDiBuildDriverInfoList(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD DriverType) {
  if (auto fault =
          Enter("SetupDiBuildDriverInfoList", SubjectOf(DeviceInfoSet, DeviceInfoData), ERROR_NOT_ENOUGH_MEMORY)) {
    SetError(*fault);
    return FALSE;
  }
  DeviceSet *set = RequireSet(DeviceInfoSet);
  if (!set) return FALSE;
  // Only compatible-driver lists of a device are kept; class-driver lists are not simulated.
  if (DriverType != SPDIT_COMPATDRIVER || !DeviceInfoData) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Element *element = RequireElement(set, DeviceInfoData);
  if (!element) return FALSE;
  if (element->compatListBuilt) return TRUE;  // a built list stays as it is until destroyed
  std::vector<std::string> infs;
  const std::string driverPath = element->params.DriverPath;
  if (element->params.Flags & DI_ENUMSINGLEINF) {
    if (driverPath.empty()) {
      SetError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    infs.push_back(FullWindowsPath(driverPath));
  } else {
    std::string folder = driverPath.empty() ? InfFolder() : FullWindowsPath(driverPath);
    while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
    infs = InfFilesIn(folder);
  }
  std::string instanceKey = InstanceKeyPath(element->instanceId);
  std::vector<std::string> hardwareIds = ReadMultiString(instanceKey, "HardwareID");
  std::vector<std::string> compatibleIds = ReadMultiString(instanceKey, "CompatibleIDs");
  for (const std::string &path : infs) {
    inf::LoadResult loaded = inf::Load(path, INF_STYLE_WIN4);
    if (loaded.file) AddDriversFromInf(*set, *element, *loaded.file, hardwareIds, compatibleIds);
  }
  MarkDuplicateDescriptions(element->compatDrivers);
  element->compatListBuilt = true;
  element->params.Flags |= DI_DIDCOMPAT;
  return TRUE;
}

BOOL WINAPI SetupDiDestroyDriverInfoList(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                         DWORD DriverType) {
  if (auto fault = Enter("SetupDiDestroyDriverInfoList", SubjectOf(DeviceInfoSet, DeviceInfoData),
                         ERROR_INVALID_PARAMETER)) {
    SetError(*fault);
    return FALSE;
  }
  DeviceSet *set = RequireSet(DeviceInfoSet);
  if (!set) return FALSE;
  if (DriverType != SPDIT_COMPATDRIVER && DriverType != SPDIT_CLASSDRIVER) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!DeviceInfoData || DriverType == SPDIT_CLASSDRIVER) return TRUE;  // no class-driver lists are kept
  Element *element = RequireElement(set, DeviceInfoData);
  if (!element) return FALSE;
  element->compatDrivers.clear();
  element->compatListBuilt = false;
  element->selected = -1;
  element->params.Flags &= ~static_cast<DWORD>(DI_DIDCOMPAT);
  return TRUE;
}

BOOL WINAPI SetupDiEnumDriverInfoA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD DriverType,
                                   DWORD MemberIndex, PSP_DRVINFO_DATA_A DriverInfoData) {
  if (auto fault =
          Enter("SetupDiEnumDriverInfoA", SubjectOf(DeviceInfoSet, DeviceInfoData), ERROR_NO_MORE_ITEMS)) {
    SetError(*fault);
    return FALSE;
  }
  DeviceSet *set = RequireSet(DeviceInfoSet);
  if (!set) return FALSE;
  if ((DriverType != SPDIT_COMPATDRIVER && DriverType != SPDIT_CLASSDRIVER) ||
      (DriverType == SPDIT_COMPATDRIVER && !DeviceInfoData)) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Element *element = nullptr;
  if (DeviceInfoData && !(element = RequireElement(set, DeviceInfoData))) return FALSE;
  if (!CheckRecord(DriverInfoData)) return FALSE;
  if (DriverType != SPDIT_COMPATDRIVER || MemberIndex >= element->compatDrivers.size()) {
    SetError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  FillDriverData(DriverInfoData, element->compatDrivers[MemberIndex]);
  return TRUE;
}

BOOL WINAPI SetupDiGetDriverInfoDetailA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PSP_DRVINFO_DATA_A DriverInfoData,
                                        PSP_DRVINFO_DETAIL_DATA_A DriverInfoDetailData,
                                        DWORD DriverInfoDetailDataSize, PDWORD RequiredSize) {
  if (auto fault = Enter("SetupDiGetDriverInfoDetailA", SubjectOf(DeviceInfoSet, DeviceInfoData),
                         ERROR_INVALID_PARAMETER)) {
    SetError(*fault);
    return FALSE;
  }
  DriverNode *node = RequireDeviceDriver(DeviceInfoSet, DeviceInfoData, DriverInfoData);
  if (!node) return FALSE;
  if ((DriverInfoDetailData || DriverInfoDetailDataSize) &&
      (DriverInfoDetailDataSize < sizeof(SP_DRVINFO_DETAIL_DATA_A) || !DriverInfoDetailData ||
       DriverInfoDetailData->cbSize != sizeof(SP_DRVINFO_DETAIL_DATA_A))) {
    SetError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  // The ids follow the fixed part: the hardware id, the compatible ids, and an empty string.
  std::string idList;
  for (const std::string &id : node->ids) idList += id + '\0';
  idList += '\0';
  const DWORD fixedPart = offsetof(SP_DRVINFO_DETAIL_DATA_A, HardwareID);
  const DWORD needed = fixedPart + static_cast<DWORD>(idList.size());
  if (RequiredSize) *RequiredSize = needed;
  if (!DriverInfoDetailData) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  SP_DRVINFO_DETAIL_DATA_A &detail = *DriverInfoDetailData;
  detail.InfDate = node->infDate;
  detail.Reserved = node->id;
  detail.CompatIDsOffset = 0;
  detail.CompatIDsLength = 0;
  CopyText(detail.SectionName, node->section);
  CopyText(detail.InfFileName, node->infPath);
  CopyText(detail.DrvDescription, node->description);
  if (DriverInfoDetailDataSize < needed) {
    detail.HardwareID[0] = '\0';
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(detail.HardwareID, idList.data(), idList.size());
  if (node->ids.size() > 1) {
    detail.CompatIDsOffset = static_cast<DWORD>(node->ids[0].size() + 1);
    detail.CompatIDsLength = static_cast<DWORD>(idList.size()) - detail.CompatIDsOffset;
  }
  return TRUE;
}

BOOL WINAPI SetupDiGetDriverInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DRVINFO_DATA_A DriverInfoData,
                                           PSP_DRVINSTALL_PARAMS DriverInstallParams) {
  if (auto fault = Enter("SetupDiGetDriverInstallParamsA", SubjectOf(DeviceInfoSet, DeviceInfoData),
                         ERROR_INVALID_PARAMETER)) {
    SetError(*fault);
    return FALSE;
  }
  DriverNode *node = RequireDeviceDriver(DeviceInfoSet, DeviceInfoData, DriverInfoData);
  if (!node || !CheckRecord(DriverInstallParams)) return FALSE;
  DriverInstallParams->Rank = node->rank;
  DriverInstallParams->Flags = node->flags;
  DriverInstallParams->PrivateData = node->privateData;
  DriverInstallParams->Reserved = 0;
  return TRUE;
}

BOOL WINAPI SetupDiSetDriverInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DRVINFO_DATA_A DriverInfoData,
                                           PSP_DRVINSTALL_PARAMS DriverInstallParams) {
  if (auto fault = Enter("SetupDiSetDriverInstallParamsA", SubjectOf(DeviceInfoSet, DeviceInfoData),
                         ERROR_INVALID_PARAMETER)) {
    SetError(*fault);
    return FALSE;
  }
  DriverNode *node = RequireDeviceDriver(DeviceInfoSet, DeviceInfoData, DriverInfoData);
  if (!node || !CheckRecord(DriverInstallParams)) return FALSE;
  node->rank = DriverInstallParams->Rank;
  node->flags = DriverInstallParams->Flags;
  node->privateData = DriverInstallParams->PrivateData;
  return TRUE;
}

BOOL WINAPI SetupDiSelectBestCompatDrv(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
  if (auto fault =
          Enter("SetupDiSelectBestCompatDrv", SubjectOf(DeviceInfoSet, DeviceInfoData), ERROR_NO_COMPAT_DRIVERS)) {
    SetError(*fault);
    return FALSE;
  }
  Element *element = RequireDevice(DeviceInfoSet, DeviceInfoData);
  if (!element) return FALSE;
  const std::vector<DriverNode> &nodes = element->compatDrivers;
  long best = -1;
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (nodes[i].flags & DNF_EXCLUDEFROMLIST) continue;
    if (best < 0 || nodes[i].rank < nodes[best].rank) best = static_cast<long>(i);  // first wins a tie
  }
  if (best < 0) {
    SetError(ERROR_NO_COMPAT_DRIVERS);
    return FALSE;
  }
  element->selected = best;
  return TRUE;
}

BOOL WINAPI SetupDiGetSelectedDriverA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                      PSP_DRVINFO_DATA_A DriverInfoData) {
  if (auto fault =
          Enter("SetupDiGetSelectedDriverA", SubjectOf(DeviceInfoSet, DeviceInfoData), ERROR_NO_DRIVER_SELECTED)) {
    SetError(*fault);
    return FALSE;
  }
  DeviceSet *set = nullptr;
  Element *element = nullptr;
  if (!RequireSetOrDevice(DeviceInfoSet, DeviceInfoData, &set, &element) || !CheckRecord(DriverInfoData))
    return FALSE;
  if (!element || element->selected < 0) {
    SetError(ERROR_NO_DRIVER_SELECTED);
    return FALSE;
  }
  FillDriverData(DriverInfoData, element->compatDrivers[element->selected]);
  return TRUE;
}

BOOL WINAPI SetupDiSetSelectedDriverA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                      PSP_DRVINFO_DATA_A DriverInfoData) {
  if (auto fault =
          Enter("SetupDiSetSelectedDriverA", SubjectOf(DeviceInfoSet, DeviceInfoData), ERROR_INVALID_PARAMETER)) {
    SetError(*fault);
    return FALSE;
  }
  DeviceSet *set = RequireSet(DeviceInfoSet);
  if (!set) return FALSE;
  if (!DeviceInfoData) {
    // The set's own selection would be a class driver, and class drivers are not kept.
    if (DriverInfoData) {
      SetError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    return TRUE;
  }
  Element *element = RequireElement(set, DeviceInfoData);
  if (!element) return FALSE;
  if (!DriverInfoData) {
    element->selected = -1;  // no record: the device has no selected driver any more
    return TRUE;
  }
  DriverNode *node = RequireDriverNode(*element, DriverInfoData);
  if (!node) return FALSE;
  element->selected = static_cast<long>(node - element->compatDrivers.data());
  DriverInfoData->Reserved = node->id;
  return TRUE;
}

}  // extern "C"
