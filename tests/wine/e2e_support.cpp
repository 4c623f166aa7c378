// The machine around the built module in the end-to-end runs: see e2e_support.h.
#include "e2e_support.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace e2e {

// {4D36E978-E325-11CE-BFC1-08002BE10318}
const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
// {6A8F3C10-2B4D-4E7A-9C51-0D3E7F2A9B64}
const GUID kAdapterClass = {0x6a8f3c10, 0x2b4d, 0x4e7a, {0x9c, 0x51, 0x0d, 0x3e, 0x7f, 0x2a, 0x9b, 0x64}};

namespace {

typedef DWORD(CALLBACK *CoInstallerEntry)(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA);

constexpr char kManufacturer[] = "ORVIK AG";
constexpr char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\onlbase";
constexpr char kProductKey[] = "Software\\ORVIK";
constexpr char kAdapterClassKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{6A8F3C10-2B4D-4E7A-9C51-0D3E7F2A9B64}";
constexpr char kAdapterClassName[] = "ORVIK";
constexpr char kCurrentVersionKey[] = "Software\\Microsoft\\Windows\\CurrentVersion";
constexpr char kToolsSubfolder[] = "ORVIK\\DAZA Zodar";
constexpr char kHardwareId[] = "ORVIK\\E2E_ADAPTER";
constexpr char kScratchFolder[] = "C:\\onlcoin-e2e";
constexpr char kStandInProgram[] = "quit_listener.exe";  // started without arguments it stands in
constexpr const char *kStandInNames[] = {"onlmon.exe", "onltool.exe"};
constexpr DWORD kPollMs = 20;
constexpr DWORD kStandInWaitMs = 10000;
// How long a program that should not have started is given to show up all the same.
constexpr DWORD kNoStartGraceMs = 500;

// The tests' driver package: one model for the adapter's hardware id, for both architectures,
// and the registration of the module as the device's co-installer.
const char kAdapterInf[] =
    "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=ORVIK\r\nProvider=%Maker%\r\n"
    "ClassGUID={6A8F3C10-2B4D-4E7A-9C51-0D3E7F2A9B64}\r\nDriverVer=03/14/2005,3.38.1146.0\r\n"
    "[Manufacturer]\r\n%Maker%=Models,NTx86,NTamd64\r\n"
    "[Models.NTx86]\r\n%Adapter%=Adapter_Install,ORVIK\\E2E_ADAPTER\r\n"
    "[Models.NTamd64]\r\n%Adapter%=Adapter_Install,ORVIK\\E2E_ADAPTER\r\n"
    "[Adapter_Install.NT]\r\nAddReg=Adapter_AddReg\r\n[Adapter_AddReg]\r\nHKR,,InstalledFromInf,0x00010001,1\r\n"
    "[Adapter_Install.NT.CoInstallers]\r\nAddReg=Adapter_CoInstaller_AddReg\r\n[Adapter_CoInstaller_AddReg]\r\n"
    "HKR,,CoInstallers32,0x00010000,\"onlcoin.dll,DeviceCoInstallerFunc\"\r\n"
    "[Strings]\r\nMaker=\"ORVIK AG\"\r\nAdapter=\"ORVIK ISDN adapter\"\r\n";

HMODULE module = nullptr;
CoInstallerEntry entry = nullptr;

std::string FolderOf(const std::string &path) {
  const size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

HKEY CreateKey(HKEY root, const std::string &path) {
  HKEY key = nullptr;
  const LONG result = RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                      nullptr, &key, nullptr);
  EXPECT_EQ(result, ERROR_SUCCESS) << "could not create " << path;
  return result == ERROR_SUCCESS ? key : nullptr;
}

void DeleteTree(const std::string &path) {
  const LONG result = RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
  EXPECT_TRUE(result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) << "could not delete " << path;
}

std::string AutoexecPath() {
  char folder[MAX_PATH] = "";
  GetWindowsDirectoryA(folder, sizeof folder);
  return std::string(folder) + "\\system32\\autoexec.nt";
}

void WriteFileBytes(const std::string &path, const std::string &bytes) {
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path << ": error " << GetLastError();
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  EXPECT_EQ(written, bytes.size()) << path;
  CloseHandle(file);
}

// Deletes every file of the tools folder and the folder, giving a program that still has a file
// open a moment to end.
void EmptyToolsFolder() {
  const std::string folder = ToolsFolder();
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const std::string path = folder + "\\" + found.cFileName;
    DWORD waited = 0;
    while (!DeleteFileA(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND && waited < kStandInWaitMs) {
      Sleep(kPollMs);
      waited += kPollMs;
    }
    EXPECT_LT(waited, kStandInWaitMs) << "could not delete " << path;
  }
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  RemoveDirectoryA(folder.c_str());
  RemoveDirectoryA(FolderOf(folder).c_str());
}

// Every device of a class whose instance id begins with the prefix, phantoms of earlier runs
// included.
void RemoveDevices(const GUID &setupClass, const std::string &idPrefix) {
  std::vector<std::string> ids;
  HDEVINFO all = SetupDiGetClassDevsA(&setupClass, nullptr, nullptr, 0);
  if (all == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  char id[MAX_PATH] = "";
  for (DWORD i = 0; SetupDiEnumDeviceInfo(all, i, &device); ++i) {
    if (SetupDiGetDeviceInstanceIdA(all, &device, id, sizeof id, nullptr) &&
        _strnicmp(id, idPrefix.c_str(), idPrefix.size()) == 0)
      ids.push_back(id);
  }
  SetupDiDestroyDeviceInfoList(all);
  for (const std::string &one : ids) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&setupClass, nullptr);
    if (SetupDiOpenDeviceInfoA(set, one.c_str(), nullptr, 0, &device)) {
      EXPECT_TRUE(SetupDiRemoveDevice(set, &device)) << "could not remove " << one << ", error " << GetLastError();
    }
    SetupDiDestroyDeviceInfoList(set);
  }
}

// Removes everything the product and these tests leave behind.
void CleanMachine() {
  RemoveDevices(kAdapterClass, "");
  RemoveDevices(kPortsClass, kPortIdPrefix);
  // Wine leaves the software keys of removed devices behind; the class is made afresh.
  for (const char *path :
       {kAdapterClassKey, kCapiRoot, kProductKey, kServiceKey, kCoinstallerSource, kLinkperfSource})
    DeleteTree(path);
  HKEY run = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_WRITE, &run) == ERROR_SUCCESS) {
    RegDeleteValueA(run, kRunValue);
    RegCloseKey(run);
  }
  EmptyToolsFolder();
}

}  // namespace

// ---- The module under test ----

bool InstallAndLoadModule(const std::string &built) {
  char system[MAX_PATH] = "";
  GetSystemDirectoryA(system, sizeof system);
  const std::string installed = std::string(system) + "\\onlcoin.dll";
  module = CopyFileA(built.c_str(), installed.c_str(), FALSE) ? LoadLibraryA(installed.c_str()) : nullptr;
  // Through the generic function pointer type, as GetProcAddress results are meant to be cast.
  entry = module ? reinterpret_cast<CoInstallerEntry>(
                       reinterpret_cast<void (*)()>(GetProcAddress(module, "DeviceCoInstallerFunc")))
                 : nullptr;
  if (!entry) {
    fprintf(stderr, "%s: not copied to %s, not loaded from there, or without DeviceCoInstallerFunc; error %lu\n",
            built.c_str(), installed.c_str(), GetLastError());
  }
  return entry != nullptr;
}

std::string ProgramFolder() {
  char path[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, path, sizeof path);
  return FolderOf(path);
}

// ---- Registry ----

RegValue ReadValue(HKEY root, const std::string &path, const std::string &name) {
  RegValue value;
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return value;
  DWORD size = 0;
  if (RegQueryValueExA(key, name.c_str(), nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
    value.data.resize(size);
    if (RegQueryValueExA(key, name.c_str(), nullptr, &value.type,
                         reinterpret_cast<BYTE *>(size ? &value.data[0] : nullptr), &size) == ERROR_SUCCESS) {
      value.found = true;
      value.data.resize(size);
    }
  }
  RegCloseKey(key);
  return value;
}

long long DwordOf(const RegValue &value) {
  if (!value.found || value.type != REG_DWORD || value.data.size() != sizeof(DWORD)) return -1;
  DWORD number = 0;
  std::memcpy(&number, value.data.data(), sizeof number);
  return number;
}

std::string ReadText(const std::string &path, const std::string &name) {
  const RegValue value = ReadValue(HKEY_LOCAL_MACHINE, path, name);
  if (!value.found) return "<missing>";
  if (value.type != REG_SZ) return "<type " + std::to_string(value.type) + ">";
  if (value.data.empty() || value.data.back() != '\0') return "<not terminated: " + value.data + ">";
  return value.data.substr(0, value.data.size() - 1);
}

long long ReadDword(const std::string &path, const std::string &name) {
  return DwordOf(ReadValue(HKEY_LOCAL_MACHINE, path, name));
}

std::vector<std::string> Subkeys(const std::string &path) {
  std::vector<std::string> names;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
  char name[256];
  DWORD size = sizeof name;
  for (DWORD i = 0; RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS; ++i) {
    names.push_back(name);
    size = sizeof name;
  }
  RegCloseKey(key);
  std::sort(names.begin(), names.end());
  return names;
}

void WriteDword(HKEY key, const char *name, DWORD value) {
  EXPECT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value),
            ERROR_SUCCESS)
      << name;
}

void WriteText(HKEY key, const char *name, const std::string &text) {
  EXPECT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                           static_cast<DWORD>(text.size() + 1)),
            ERROR_SUCCESS)
      << name;
}

std::string ManufacturerKey() {
  for (const std::string &name : Subkeys(kCapiRoot)) {
    const std::string path = std::string(kCapiRoot) + "\\" + name;
    if (_stricmp(ReadText(path, "Manufacturer").c_str(), kManufacturer) == 0) return path;
  }
  return "";
}

// ---- Files ----

std::string Autoexec() {
  std::string bytes;
  return ReadFileBytes(AutoexecPath(), &bytes) ? bytes : "<no file>";
}

bool ReadFileBytes(const std::string &path, std::string *bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bytes->clear();
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes->append(buffer, got);
  CloseHandle(file);
  return true;
}

std::string ToolsFolder() {
  const std::string programFiles = ReadText(kCurrentVersionKey, "ProgramFilesDir");
  EXPECT_EQ(programFiles.find('<'), std::string::npos) << "ProgramFilesDir of the prefix: " << programFiles;
  return programFiles + "\\" + kToolsSubfolder;
}

std::vector<std::string> StandInRuns(const std::string &program, size_t expected) {
  const std::string log = ToolsFolder() + "\\" + program + ".log";
  auto read = [&log] {
    std::string text, line;
    std::vector<std::string> lines;
    std::istringstream in(ReadFileBytes(log, &text) ? text : "");
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
  };
  for (DWORD waited = 0; read().size() < expected && waited < kStandInWaitMs; waited += kPollMs) Sleep(kPollMs);
  // Programs started too often, or when none should be, are given the time to show up.
  Sleep(kNoStartGraceMs);
  return read();
}

// ---- Adapters ----

Adapter::Adapter(const std::string &instanceId, const std::string &infPath, const AdapterOptions &options)
    : id_(instanceId) {
  std::memset(&device_, 0, sizeof device_);
  device_.cbSize = sizeof device_;
  ok_ = Create(infPath, options);
}

bool Adapter::Create(const std::string &infPath, const AdapterOptions &options) {
  set_ = SetupDiCreateDeviceInfoList(&kAdapterClass, nullptr);
  const std::string hardwareIds = std::string(kHardwareId) + '\0' + '\0';
  if (set_ == INVALID_HANDLE_VALUE ||
      !SetupDiCreateDeviceInfoA(set_, id_.c_str(), &kAdapterClass, "ORVIK ISDN adapter", nullptr, 0, &device_) ||
      !SetupDiRegisterDeviceInfo(set_, &device_, 0, nullptr, nullptr, nullptr) ||
      !SetupDiSetDeviceRegistryPropertyA(set_, &device_, SPDRP_HARDWAREID,
                                         reinterpret_cast<const BYTE *>(hardwareIds.data()),
                                         static_cast<DWORD>(hardwareIds.size()))) {
    ADD_FAILURE() << "could not create device " << id_ << ", error " << GetLastError();
    return false;
  }

  // The values that the driver's installation leaves in the software key.
  HKEY driverKey = SetupDiCreateDevRegKeyA(set_, &device_, DICS_FLAG_GLOBAL, 0, DIREG_DRV, nullptr, nullptr);
  if (driverKey == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "software key of " << id_ << ": error " << GetLastError();
    return false;
  }
  WriteDword(driverKey, "WanEndPoints", options.wanEndPoints);
  HKEY capiKey = CreateKey(driverKey, "VendorSpecific\\CAPI");
  if (capiKey) {
    WriteDword(capiKey, "ProductCode", 1);
    WriteText(capiKey, "CardType", options.cardType);
    RegCloseKey(capiKey);
  }
  RegCloseKey(driverKey);

  // The driver chosen from the tests' INF alone, as the installation wizard would choose it.
  SP_DEVINSTALL_PARAMS_A params = {};
  params.cbSize = sizeof params;
  if (!SetupDiGetDeviceInstallParamsA(set_, &device_, &params) || infPath.size() >= sizeof params.DriverPath) {
    ADD_FAILURE() << "install parameters of " << id_ << ": error " << GetLastError();
    return false;
  }
  params.Flags |= DI_ENUMSINGLEINF;
  std::strcpy(params.DriverPath, infPath.c_str());
  if (!SetupDiSetDeviceInstallParamsA(set_, &device_, &params) ||
      !SetupDiBuildDriverInfoList(set_, &device_, SPDIT_COMPATDRIVER) ||
      !SetupDiSelectBestCompatDrv(set_, &device_)) {
    ADD_FAILURE() << "no driver selected for " << id_ << ", error " << GetLastError();
    return false;
  }
  return capiKey != nullptr;
}

Adapter::~Adapter() {
  if (set_ == INVALID_HANDLE_VALUE) return;
  if (ok_ && !removed_) SetupDiRemoveDevice(set_, &device_);
  SetupDiDestroyDeviceInfoList(set_);
}

long long Adapter::StoredController() {
  HKEY driverKey = SetupDiOpenDevRegKey(set_, &device_, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
  if (driverKey == INVALID_HANDLE_VALUE) return -1;
  const RegValue value = ReadValue(driverKey, "VendorSpecific\\CAPI", "Controller");
  RegCloseKey(driverKey);
  return DwordOf(value);
}

bool Adapter::RemoveFromSystem() {
  removed_ = SetupDiRemoveDevice(set_, &device_) != FALSE;
  return removed_;
}

DWORD Install(Adapter &adapter, DWORD installResult) {
  COINSTALLER_CONTEXT_DATA context = {};
  const DWORD pre = entry(DIF_INSTALLDEVICE, adapter.set(), adapter.device(), &context);
  if (pre != ERROR_DI_POSTPROCESSING_REQUIRED) return pre;
  // The class installer's own work would come here; then the second call with the same context.
  context.PostProcessing = TRUE;
  context.InstallResult = installResult;
  return entry(DIF_INSTALLDEVICE, adapter.set(), adapter.device(), &context);
}

DWORD Remove(Adapter &adapter) {
  COINSTALLER_CONTEXT_DATA context = {};
  return entry(DIF_REMOVE, adapter.set(), adapter.device(), &context);
}

// ---- The fixture ----

void MachineTest::SetUp() {
  ASSERT_NE(entry, nullptr);
  CleanMachine();
  ASSERT_TRUE(DeleteFileA(AutoexecPath().c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) << GetLastError();

  HKEY key = CreateKey(HKEY_LOCAL_MACHINE, kAdapterClassKey);
  ASSERT_NE(key, nullptr);
  WriteText(key, "Class", kAdapterClassName);
  RegCloseKey(key);
  // The kernel driver's service exists before its adapters are installed.
  key = CreateKey(HKEY_LOCAL_MACHINE, kServiceKey);
  ASSERT_NE(key, nullptr);
  RegCloseKey(key);

  const std::string tools = ToolsFolder();
  CreateDirectoryA(FolderOf(tools).c_str(), nullptr);
  ASSERT_TRUE(CreateDirectoryA(tools.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) << tools;
  for (const char *name : kStandInNames) {
    const std::string from = ProgramFolder() + "\\" + kStandInProgram;
    ASSERT_TRUE(CopyFileA(from.c_str(), (tools + "\\" + name).c_str(), FALSE))
        << "could not copy " << from << ", error " << GetLastError();
  }

  CreateDirectoryA(kScratchFolder, nullptr);
  infPath_ = std::string(kScratchFolder) + "\\adapter.inf";
  WriteFileBytes(infPath_, kAdapterInf);
}

void MachineTest::TearDown() {
  CleanMachine();
  DeleteFileA(infPath_.c_str());
  DeleteFileA(AutoexecPath().c_str());
}

std::string MachineTest::InstanceId(int n) const {
  const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "_" + info->name() + "_" + std::to_string(n);
  for (char &c : name)
    if (c == '/' || c == '.') c = '_';
  return "ROOT\\ORVIK_E2E\\" + name;
}

}  // namespace e2e
