#include "default_actions.h"

#include <winsim.h>

#include <cctype>
#include <cstddef>

#include "inf_install.h"
#include "input_error.h"
#include "registry_read.h"
#include "status_names.h"

namespace devsim {

namespace {

constexpr const char *kDriverVerKey = "DriverVer";
constexpr const char *kCoInstallersSuffix = ".CoInstallers";
constexpr const char *kHardwareSuffix = ".HW";
constexpr const char *kServicesSuffix = ".Services";
constexpr const char *kInfPattern = "oem*.inf";
constexpr const char *kOemInfPrefix = "oem";
// Room for the hardware and compatible IDs of a driver beyond the detail record's fixed part.
constexpr DWORD kDetailIdRoom = 4096;
constexpr DWORD kDeviceIdLength = 200;
constexpr DWORD kPropertyBufferSize = 4096;

std::string Lower(std::string text) {
  for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool EqualNoCase(const std::string &a, const std::string &b) {
  return Lower(a) == Lower(b);
}

std::string WindowsDirectory() {
  char buffer[MAX_PATH] = {};
  UINT length = GetWindowsDirectoryA(buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) return "C:\\WINDOWS";
  std::string path(buffer, length);
  if (path.size() > 3 && path.back() == '\\') path.pop_back();
  return path;
}

std::string InfFolder() {
  return WindowsDirectory() + "\\inf\\";
}

std::string FolderOf(const std::string &path) {
  size_t slash = path.rfind('\\');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string FileNameOf(const std::string &path) {
  size_t slash = path.rfind('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<std::string> ReadWholeFile(const std::string &path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string content;
  char buffer[4096];
  DWORD read = 0;
  bool ok = true;
  while ((ok = ReadFile(file, buffer, sizeof buffer, &read, nullptr) != FALSE) && read > 0)
    content.append(buffer, read);
  CloseHandle(file);
  if (!ok) return std::nullopt;
  return content;
}

DWORD WriteWholeFile(const std::string &path, const std::string &content) {
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  DWORD written = 0;
  DWORD status = NO_ERROR;
  if (!WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) ||
      written != content.size()) {
    status = GetLastError() != NO_ERROR ? GetLastError() : static_cast<DWORD>(ERROR_WRITE_FAULT);
  }
  CloseHandle(file);
  return status;
}

// Opens an INF for installing from it. An INF that is gone is a failed installation; one that
// cannot be read is an input the simulator cannot use.
HINF OpenInf(const std::string &infPath, DWORD *status) {
  UINT errorLine = 0;
  HINF inf = SetupOpenInfFileA(infPath.c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
  if (inf != INVALID_HANDLE_VALUE) {
    *status = NO_ERROR;
    return inf;
  }
  *status = GetLastError();
  if (*status == ERROR_FILE_NOT_FOUND || *status == ERROR_PATH_NOT_FOUND) return INVALID_HANDLE_VALUE;
  throw InputError(infPath, static_cast<int>(errorLine),
                   "cannot be read as an INF file (" + DescribeStatus(*status) + ")");
}

// The actual install section of a driver's section, with the platform's decoration.
std::string ActualSection(HINF inf, const std::string &section) {
  char actual[MAX_PATH] = {};
  if (!SetupDiGetActualSectionToInstallA(inf, section.c_str(), actual, sizeof actual, nullptr, nullptr)) {
    return section;
  }
  return actual;
}

std::string DriverVerOf(const DriverNode &node) {
  UINT errorLine = 0;
  HINF inf = SetupOpenInfFileA(node.infPath.c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
  if (inf == INVALID_HANDLE_VALUE) return "";
  std::string text;
  {
    InstallLog unused;
    InfSections sections(inf, node.infPath, unused);
    INFCONTEXT context;
    std::string actual = ActualSection(inf, node.section);
    if (SetupFindFirstLineA(inf, actual.c_str(), kDriverVerKey, &context)) {
      text = sections.Field(context, 1).value_or("");
      std::optional<std::string> version = sections.Field(context, 2);
      if (version && !version->empty()) text += "," + *version;
    }
  }
  SetupCloseInfFile(inf);
  return text;
}

std::optional<DriverNode> Describe(HDEVINFO set, PSP_DEVINFO_DATA device, const SP_DRVINFO_DATA_A &info,
                                   DWORD index) {
  DriverNode node;
  node.index = index;
  node.info = info;
  node.description = info.Description;
  std::vector<BYTE> buffer(sizeof(SP_DRVINFO_DETAIL_DATA_A) + kDetailIdRoom);
  auto *detail = reinterpret_cast<PSP_DRVINFO_DETAIL_DATA_A>(buffer.data());
  detail->cbSize = sizeof(SP_DRVINFO_DETAIL_DATA_A);
  DWORD required = 0;
  SP_DRVINFO_DATA_A copy = info;
  if (!SetupDiGetDriverInfoDetailA(set, device, &copy, detail, static_cast<DWORD>(buffer.size()), &required)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required <= buffer.size()) return std::nullopt;
    buffer.resize(required);
    detail = reinterpret_cast<PSP_DRVINFO_DETAIL_DATA_A>(buffer.data());
    detail->cbSize = sizeof(SP_DRVINFO_DETAIL_DATA_A);
    if (!SetupDiGetDriverInfoDetailA(set, device, &copy, detail, static_cast<DWORD>(buffer.size()), &required)) {
      return std::nullopt;
    }
  }
  node.infPath = detail->InfFileName;
  node.section = detail->SectionName;
  const size_t idsOffset = offsetof(SP_DRVINFO_DETAIL_DATA_A, HardwareID);
  const size_t idsEnd = std::min<size_t>(buffer.size(), required > idsOffset ? required : buffer.size());
  node.hardwareIds = SplitMultiString(std::vector<BYTE>(buffer.begin() + idsOffset, buffer.begin() + idsEnd));
  SP_DRVINSTALL_PARAMS params{};
  params.cbSize = sizeof params;
  if (SetupDiGetDriverInstallParamsA(set, device, &copy, &params)) node.rank = params.Rank;
  node.driverVer = DriverVerOf(node);
  return node;
}

std::vector<std::string> DeviceIds(HDEVINFO set, PSP_DEVINFO_DATA device) {
  std::vector<std::string> ids;
  for (DWORD property : {static_cast<DWORD>(SPDRP_HARDWAREID), static_cast<DWORD>(SPDRP_COMPATIBLEIDS)}) {
    std::vector<BYTE> buffer(kPropertyBufferSize);
    DWORD type = 0;
    if (SetupDiGetDeviceRegistryPropertyA(set, device, property, &type, buffer.data(),
                                          static_cast<DWORD>(buffer.size()), nullptr)) {
      for (const std::string &id : SplitMultiString(buffer)) ids.push_back(id);
    }
  }
  return ids;
}

std::string RankText(const std::optional<DWORD> &rank) {
  return rank ? Hex32(*rank) : "(not readable)";
}

void LogNode(const DriverNode &node, InstallLog &log) {
  log.Line("[" + std::to_string(node.index) + "] " + node.description);
  LogIndent indent(log);
  log.Line("Section   - [" + node.section + "] in '" + node.infPath + "'");
  log.Line("DriverVer - " +
           (node.driverVer.empty() ? std::string("(none in the install section)") : node.driverVer));
  log.Line("Rank      - " + RankText(node.rank));
}

// Checks that an INF of the driver source can be read, so that a malformed package is reported
// with its line instead of silently giving no drivers.
void CheckInf(const std::string &infPath) {
  UINT errorLine = 0;
  HINF inf = SetupOpenInfFileA(infPath.c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
  if (inf == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    throw InputError(infPath, static_cast<int>(errorLine),
                     "cannot be read as an INF file (" + DescribeStatus(error) + ")");
  }
  SetupCloseInfFile(inf);
}

// Puts a copy of an INF that is not in the INF folder there, as the platform does with a driver
// package's INF: an identical copy is reused, else the lowest free oemN.inf is taken, with its
// precompiled oemN.pnf beside it. Returns the INF's name in the INF folder.
std::optional<std::string> CopyInfToInfFolder(const std::string &infPath, InstallLog &log, DWORD *status) {
  *status = NO_ERROR;
  const std::string folder = InfFolder();
  if (EqualNoCase(FolderOf(infPath), folder)) return FileNameOf(infPath);
  std::optional<std::string> content = ReadWholeFile(infPath);
  if (!content) {
    *status = GetLastError();
    log.Line("INF '" + infPath + "' cannot be read: " + DescribeStatus(*status));
    return std::nullopt;
  }
  std::vector<bool> used;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + kInfPattern).c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::string name = found.cFileName;
      std::string digits = name.substr(3, name.size() - 3 - 4);
      if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 6)
        continue;
      size_t number = std::stoul(digits);
      if (used.size() <= number) used.resize(number + 1, false);
      used[number] = true;
      if (ReadWholeFile(folder + name) == content) {
        FindClose(search);
        log.Line("INF is in the INF folder already as '" + name + "'");
        return name;
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  size_t number = 0;
  while (number < used.size() && used[number]) ++number;
  const std::string base = kOemInfPrefix + std::to_string(number);
  *status = WriteWholeFile(folder + base + ".inf", *content);
  if (*status == NO_ERROR) {
    *status =
        WriteWholeFile(folder + base + ".pnf", "Precompiled form of " + base + ".inf (" + infPath + ").\r\n");
  }
  if (*status != NO_ERROR) {
    log.Line("INF cannot be copied to the INF folder: " + DescribeStatus(*status));
    return std::nullopt;
  }
  log.Line("Copied INF to '" + folder + base + ".inf' (with its precompiled " + base + ".pnf)");
  return base + ".inf";
}

// "06/26/2002,3.38.1146.0" -> DriverDate "6-26-2002" and DriverVersion "3.38.1146.0", the way the
// platform records them in the software key.
void SplitDriverVer(const std::string &driverVer, std::string *date, std::string *version) {
  size_t comma = driverVer.find(',');
  std::string dateText = driverVer.substr(0, comma);
  *version = comma == std::string::npos ? "" : driverVer.substr(comma + 1);
  date->clear();
  size_t start = 0;
  while (start <= dateText.size()) {
    size_t end = dateText.find_first_of("/-", start);
    std::string field = dateText.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t nonZero = field.find_first_not_of('0');
    field = nonZero == std::string::npos ? "0" : field.substr(nonZero);
    *date += (date->empty() ? "" : "-") + field;
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

// Closes a device registry key when it goes out of scope, also when an INF line turns out to be
// unusable half-way through a section.
class DeviceKey {
 public:
  explicit DeviceKey(HKEY key) : key_(key) {}
  ~DeviceKey() {
    if (key_ != INVALID_HANDLE_VALUE && key_ != nullptr) RegCloseKey(key_);
  }
  DeviceKey(const DeviceKey &) = delete;
  DeviceKey &operator=(const DeviceKey &) = delete;
  bool ok() const { return key_ != INVALID_HANDLE_VALUE && key_ != nullptr; }
  HKEY get() const { return key_; }

 private:
  HKEY key_;
};

LONG SetText(HKEY key, const char *name, const std::string &text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}

// The values the platform keeps in a device's software key about its driver.
DWORD WriteDriverValues(HKEY key, const DriverNode &node, const std::string &actualSection,
                        const std::string &infName, const std::vector<std::string> &deviceIds) {
  std::string date, version;
  SplitDriverVer(node.driverVer, &date, &version);
  std::string matching;
  for (const std::string &id : deviceIds) {
    for (const std::string &offered : node.hardwareIds) {
      if (matching.empty() && EqualNoCase(id, offered)) matching = Lower(id);
    }
  }
  const std::pair<const char *, std::string> values[] = {
      {"DriverDesc", node.description},
      {"ProviderName", node.info.ProviderName},
      {"DriverDate", date},
      {"DriverVersion", version},
      {"InfPath", infName},
      {"InfSection", node.section},
      {"InfSectionExt", actualSection.substr(std::min(node.section.size(), actualSection.size()))},
      {"MatchingDeviceId", matching},
  };
  for (const auto &value : values) {
    if (value.second.empty()) continue;
    LONG result = SetText(key, value.first, value.second);
    if (result != ERROR_SUCCESS) return static_cast<DWORD>(result);
  }
  return NO_ERROR;
}

}  // namespace

std::string InstanceIdOf(HDEVINFO set, PSP_DEVINFO_DATA device) {
  char id[kDeviceIdLength] = {};
  DWORD required = 0;
  if (!SetupDiGetDeviceInstanceIdA(set, device, id, sizeof id, &required)) return "(unknown device)";
  return id;
}

std::vector<DriverNode> ListDrivers(HDEVINFO set, PSP_DEVINFO_DATA device) {
  std::vector<DriverNode> nodes;
  for (DWORD index = 0;; ++index) {
    SP_DRVINFO_DATA_A info{};
    info.cbSize = sizeof info;
    if (!SetupDiEnumDriverInfoA(set, device, SPDIT_COMPATDRIVER, index, &info)) break;
    std::optional<DriverNode> node = Describe(set, device, info, index);
    if (node) nodes.push_back(*node);
  }
  return nodes;
}

std::optional<DriverNode> SelectedDriver(HDEVINFO set, PSP_DEVINFO_DATA device) {
  SP_DRVINFO_DATA_A selected{};
  selected.cbSize = sizeof selected;
  if (!SetupDiGetSelectedDriverA(set, device, &selected)) return std::nullopt;
  for (const DriverNode &node : ListDrivers(set, device)) {
    if (node.info.Reserved == selected.Reserved && node.description == selected.Description) return node;
  }
  // Not in the list (selected from elsewhere): describe it on its own.
  return Describe(set, device, selected, 0);
}

DWORD BuildDriverList(HDEVINFO set, PSP_DEVINFO_DATA device, const std::string &source, InstallLog &log) {
  log.Line("{Build Driver List} " + ClockText());
  DWORD status = NO_ERROR;
  {
    LogIndent indent(log);
    SP_DEVINSTALL_PARAMS_A params{};
    params.cbSize = sizeof params;
    if (!SetupDiGetDeviceInstallParamsA(set, device, &params)) {
      status = GetLastError();
      log.Line("Install parameters cannot be read: " + DescribeStatus(status));
    } else {
      if (source.size() >= sizeof params.DriverPath) {
        status = ERROR_FILENAME_EXCED_RANGE;
        log.Line("Driver source '" + source + "' is longer than a path may be.");
        log.Line("{Build Driver List - exit(" + DescribeStatus(status) + ")} " + ClockText());
        return status;
      }
      if (source == kInfFolderSource) {
        params.DriverPath[0] = '\0';
        params.Flags &= ~static_cast<DWORD>(DI_ENUMSINGLEINF);
        log.Line("Searching the INF folder '" + InfFolder() + "' for:");
      } else {
        // The caller made sure the source exists and fits.
        const bool singleInf = (GetFileAttributesA(source.c_str()) & FILE_ATTRIBUTE_DIRECTORY) == 0;
        if (singleInf) {
          CheckInf(source);
          params.Flags |= DI_ENUMSINGLEINF;
        } else {
          params.Flags &= ~static_cast<DWORD>(DI_ENUMSINGLEINF);
          WIN32_FIND_DATAA found;
          std::string folder = source.back() == '\\' ? source : source + "\\";
          HANDLE search = FindFirstFileA((folder + "*.inf").c_str(), &found);
          if (search != INVALID_HANDLE_VALUE) {
            do {
              CheckInf(folder + found.cFileName);
            } while (FindNextFileA(search, &found));
            FindClose(search);
          }
        }
        source.copy(params.DriverPath, source.size());
        params.DriverPath[source.size()] = '\0';
        log.Line("Searching '" + source + "' for:");
      }
      for (const std::string &id : DeviceIds(set, device)) log.Line("     " + Lower(id));
      if (!SetupDiSetDeviceInstallParamsA(set, device, &params)) {
        status = GetLastError();
        log.Line("Install parameters cannot be set: " + DescribeStatus(status));
      } else if (!SetupDiBuildDriverInfoList(set, device, SPDIT_COMPATDRIVER)) {
        status = GetLastError();
        log.Line("No driver list: " + DescribeStatus(status));
      } else {
        std::vector<DriverNode> nodes = ListDrivers(set, device);
        if (nodes.empty()) log.Line("No compatible driver found.");
        for (const DriverNode &node : nodes) LogNode(node, log);
      }
    }
  }
  log.Line("{Build Driver List - exit(" + DescribeStatus(status) + ")} " + ClockText());
  return status;
}

void LogRanks(const std::vector<DriverNode> &before, const std::vector<DriverNode> &after, InstallLog &log) {
  log.Line("Driver ranks (before -> after the request):");
  LogIndent indent(log);
  for (const DriverNode &node : after) {
    std::optional<DWORD> old;
    for (const DriverNode &was : before) {
      if (was.index == node.index) old = was.rank;
    }
    log.Line("[" + std::to_string(node.index) + "] " + RankText(old) + " -> " + RankText(node.rank) + "  " +
             node.description + (node.driverVer.empty() ? "" : "  (DriverVer " + node.driverVer + ")"));
  }
}

DWORD SelectBestDriver(HDEVINFO set, PSP_DEVINFO_DATA device, InstallLog &log) {
  log.Line("{Select Best Driver}");
  LogIndent indent(log);
  if (!SetupDiSelectBestCompatDrv(set, device)) {
    DWORD status = GetLastError();
    log.Line("No driver selected: " + DescribeStatus(status));
    return status;
  }
  std::optional<DriverNode> selected = SelectedDriver(set, device);
  if (!selected) {
    log.Line("The selected driver cannot be read back.");
    return NO_ERROR;
  }
  log.Line("Selected driver installs from section [" + selected->section + "] in '" + selected->infPath + "'.");
  log.Line("Description - " + selected->description);
  log.Line("Rank        - " + RankText(selected->rank));
  return NO_ERROR;
}

DWORD RegisterCoInstallers(HDEVINFO set, PSP_DEVINFO_DATA device, InstallLog &log) {
  std::optional<DriverNode> selected = SelectedDriver(set, device);
  if (!selected) {
    log.Line("No driver selected: no co-installers to register.");
    return NO_ERROR;
  }
  DWORD status = NO_ERROR;
  HINF inf = OpenInf(selected->infPath, &status);
  if (inf == INVALID_HANDLE_VALUE) {
    log.Line("INF '" + selected->infPath + "' cannot be opened: " + DescribeStatus(status));
    return status;
  }
  InfSections sections(inf, selected->infPath, log);
  try {
    DeviceKey key(SetupDiCreateDevRegKeyA(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, nullptr, nullptr));
    if (!key.ok()) {
      status = GetLastError();
      log.Line("Software key cannot be created: " + DescribeStatus(status));
    } else {
      log.Line("Software key: " + winsim::DriverKeyPath(InstanceIdOf(set, device)));
      const std::string coInstallers = ActualSection(inf, selected->section) + kCoInstallersSuffix;
      if (sections.HasSection(coInstallers)) {
        status = sections.AddReg(coInstallers, key.get());
        if (status == NO_ERROR) status = sections.CopyFiles(coInstallers);
      } else {
        log.Line("No [" + coInstallers + "] section.");
      }
    }
  } catch (...) {
    SetupCloseInfFile(inf);
    throw;
  }
  SetupCloseInfFile(inf);
  return status;
}

DWORD InstallDevice(HDEVINFO set, PSP_DEVINFO_DATA device, std::optional<DWORD> failure, InstallLog &log) {
  std::optional<DriverNode> selected = SelectedDriver(set, device);
  if (!selected) {
    log.Line("No driver selected: nothing to install.");
    return ERROR_NO_DRIVER_SELECTED;
  }
  log.Line("Driver: " + selected->description + ", section [" + selected->section + "] in '" + selected->infPath +
           "'");
  if (failure) {
    log.Line("The installation fails as the scenario asks: the driver files cannot be copied (" +
             DescribeStatus(*failure) + ").");
    return *failure;
  }
  DWORD status = NO_ERROR;
  HINF inf = OpenInf(selected->infPath, &status);
  if (inf == INVALID_HANDLE_VALUE) {
    log.Line("INF '" + selected->infPath + "' cannot be opened: " + DescribeStatus(status));
    return status;
  }
  try {
    InfSections sections(inf, selected->infPath, log);
    const std::string actual = ActualSection(inf, selected->section);
    const std::string instanceId = InstanceIdOf(set, device);
    log.Line("Install section: [" + actual + "]");
    status = sections.CopyFiles(actual);
    std::optional<std::string> infName;
    if (status == NO_ERROR) infName = CopyInfToInfFolder(selected->infPath, log, &status);
    if (status == NO_ERROR) {
      DeviceKey key(SetupDiCreateDevRegKeyA(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, nullptr, nullptr));
      if (!key.ok()) {
        status = GetLastError();
        log.Line("Software key cannot be created: " + DescribeStatus(status));
      } else {
        log.Line("Software key: " + winsim::DriverKeyPath(instanceId));
        status = WriteDriverValues(key.get(), *selected, actual, infName.value_or(""), DeviceIds(set, device));
        if (status == NO_ERROR) status = sections.AddReg(actual, key.get());
      }
    }
    const std::string hardware = actual + kHardwareSuffix;
    if (status == NO_ERROR && sections.HasSection(hardware)) {
      DeviceKey key(SetupDiCreateDevRegKeyA(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr));
      if (!key.ok()) {
        status = GetLastError();
        log.Line("Hardware key cannot be created: " + DescribeStatus(status));
      } else {
        log.Line("Hardware key: " + winsim::HardwareKeyPath(instanceId));
        status = sections.AddReg(hardware, key.get());
      }
    }
    const std::string services = actual + kServicesSuffix;
    if (status == NO_ERROR && sections.HasSection(services)) {
      std::string service;
      status = sections.AddServices(services, &service);
      if (status == NO_ERROR && !service.empty()) {
        if (SetupDiSetDeviceRegistryPropertyA(set, device, SPDRP_SERVICE,
                                              reinterpret_cast<const BYTE *>(service.c_str()),
                                              static_cast<DWORD>(service.size() + 1))) {
          log.Line("Device's service (SPDRP_SERVICE): " + service);
        } else {
          status = GetLastError();
          log.Line("Device's service cannot be set: " + DescribeStatus(status));
        }
      }
    }
    if (status == NO_ERROR) {
      // Description and maker as Device Manager shows them; the platform may not keep them all.
      const std::pair<DWORD, std::string> properties[] = {{SPDRP_DEVICEDESC, selected->description},
                                                          {SPDRP_MFG, selected->info.MfgName}};
      for (const auto &property : properties) {
        if (!SetupDiSetDeviceRegistryPropertyA(set, device, property.first,
                                               reinterpret_cast<const BYTE *>(property.second.c_str()),
                                               static_cast<DWORD>(property.second.size() + 1))) {
          log.Line("Property " + std::to_string(property.first) + " not kept: " + DescribeStatus(GetLastError()));
        }
      }
      winsim::SetDevicePresent(instanceId, true);
      log.Line("Device started: it is present.");
    }
  } catch (...) {
    SetupCloseInfFile(inf);
    throw;
  }
  SetupCloseInfFile(inf);
  return status;
}

DWORD RemoveDevice(HDEVINFO set, PSP_DEVINFO_DATA device, InstallLog &log) {
  if (!SetupDiRemoveDevice(set, device)) {
    DWORD status = GetLastError();
    log.Line("Device cannot be removed: " + DescribeStatus(status));
    return status;
  }
  log.Line("Device removed: its instance key and software key are gone and it is no longer present.");
  return NO_ERROR;
}

}  // namespace devsim
