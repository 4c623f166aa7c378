// The machine around the built module in the end-to-end runs under Wine: the module loaded as
// SetupAPI loads a co-installer, adapters made with SetupAPI in the prefix's registry, the
// service key, tools folder and stand-in programs that an installation expects, the product's
// registry and file state read back, and a clean slate before and after every test.
#ifndef TESTS_WINE_E2E_SUPPORT_H
#define TESTS_WINE_E2E_SUPPORT_H

// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace e2e {

// ---- The module under test ----

// Copies the built module into the system folder, where the registered event message file and a
// co-installer registration by bare name find it, and loads it from there; false with a message
// on stderr when that fails. Called once by main before the tests run.
bool InstallAndLoadModule(const std::string &builtModule);
// Folder of this program; the helper programs are built beside it.
std::string ProgramFolder();

// ---- Names of the installed product, as an administrator would look them up ----

constexpr char kCapiRoot[] = "SOFTWARE\\CAPI20";
constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char kRunValue[] = "ONLMonitor";
constexpr char kCoinstallerSource[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\ORVIK.ISDN.Coinstaller";
constexpr char kLinkperfSource[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\linkperf";
// A setup class of these tests alone, so that leftovers of other programs never count; the
// system's Ports class, and the prefix of the instance ids of the ports these tests make in it.
extern const GUID kAdapterClass;
extern const GUID kPortsClass;
constexpr char kPortIdPrefix[] = "ROOT\\ORVIK_E2E_PORT\\";

// ---- Registry (paths below HKEY_LOCAL_MACHINE unless a key is given) ----

struct RegValue {
  bool found = false;
  DWORD type = REG_NONE;
  std::string data;  // raw bytes as stored
};
RegValue ReadValue(HKEY root, const std::string &path, const std::string &name);
// A REG_SZ value without its terminating NUL; "<missing>" or "<type N>" when it is not a string.
std::string ReadText(const std::string &path, const std::string &name);
// A REG_DWORD value; -1 when it is missing or of another type.
long long DwordOf(const RegValue &value);
long long ReadDword(const std::string &path, const std::string &name);
// Subkey names in sorted order.
std::vector<std::string> Subkeys(const std::string &path);
void WriteDword(HKEY key, const char *name, DWORD value);
void WriteText(HKEY key, const char *name, const std::string &text);
// The manufacturer key of "ORVIK AG" below SOFTWARE\CAPI20 ("SOFTWARE\CAPI20\<m>"); empty when
// there is none.
std::string ManufacturerKey();

// ---- Files ----

// The bytes of autoexec.nt, "<no file>" when there is none.
std::string Autoexec();
bool ReadFileBytes(const std::string &path, std::string *bytes);
// The tools folder below the prefix's program-files folder.
std::string ToolsFolder();
// Lines that a stand-in program has logged ("<image>\t<command line>"): waits up to a few
// seconds for `expected` of them, then a moment longer for runs that should not have come.
std::vector<std::string> StandInRuns(const std::string &program, size_t expected);

// ---- Adapters ----

struct AdapterOptions {
  DWORD wanEndPoints = 2;
  const char *cardType = "int/pci";
};

// One device instance of the adapter class with its own set, a software key holding the values
// that the driver's installation would have written, and a selected driver from the tests' INF.
class Adapter {
 public:
  Adapter(const std::string &instanceId, const std::string &infPath, const AdapterOptions &options = {});
  ~Adapter();
  Adapter(const Adapter &) = delete;
  Adapter &operator=(const Adapter &) = delete;

  bool ok() const { return ok_; }
  HDEVINFO set() const { return set_; }
  SP_DEVINFO_DATA *device() { return &device_; }
  const std::string &id() const { return id_; }
  // The value "Controller" in the device CAPI key; -1 when there is none.
  long long StoredController();
  // The default removal action that follows the co-installer's DIF_REMOVE.
  bool RemoveFromSystem();

 private:
  bool Create(const std::string &infPath, const AdapterOptions &options);

  std::string id_;
  HDEVINFO set_ = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA device_;
  bool ok_ = false;
  bool removed_ = false;
};

// The two calls SetupAPI makes for DIF_INSTALLDEVICE around the class installer's work, with one
// context: the result of the post-processing call, or of the pre-processing call when that one
// asked for no post-processing.
DWORD Install(Adapter &adapter, DWORD installResult = NO_ERROR);
DWORD Remove(Adapter &adapter);

// ---- The fixture ----

// Every test starts and ends on a machine without the product: no adapter of the test class, no
// controller registry, product keys, Run entry, event sources, service key or autoexec.nt, an
// empty tools folder holding the stand-in programs; the service key of the driver and the INF
// are made afresh. The prefix is the tests' own (scripts/wine-run.sh makes it).
class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // "ROOT\ORVIK_E2E\<suite>_<test>_<n>": instance ids of this test alone.
  std::string InstanceId(int n) const;
  std::string infPath_;
};

}  // namespace e2e

#endif  // TESTS_WINE_E2E_SUPPORT_H
