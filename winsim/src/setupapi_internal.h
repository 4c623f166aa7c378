// What the simulated SetupAPI's three parts share: the machine's device tree in the registry
// (devices.cpp), the INF reader (inf.cpp) and the device-information sets and driver lists
// (setupapi.cpp). Nothing here counts as a platform call.
#ifndef WINSIM_SETUPAPI_INTERNAL_H
#define WINSIM_SETUPAPI_INTERNAL_H

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace winsim::detail {

// ---- Device tree (devices.cpp) -------------------------------------------------------------

// Registry homes of device instances and setup classes, with their root.
extern const char *const kEnumRoot;   // "HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum"
extern const char *const kClassRoot;  // "HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class"
// Subkeys of an instance key: present-device marker and hardware key.
extern const char *const kControlSubkey;           // "Control"
extern const char *const kDeviceParametersSubkey;  // "Device Parameters"

std::string InstanceKeyPath(const std::string &instanceId);
// Software key path named by the instance's Driver value, "" when it has none.
std::string SoftwareKeyPath(const std::string &instanceId);
// Creates a software key "{class}\NNNN" with the lowest free index, records it in the instance's
// Driver value and returns its path.
std::string CreateSoftwareKey(const std::string &instanceId, const GUID &classGuid);
// The name of a registered setup class ("Ports"), "" when the class is not registered.
std::string SetupClassName(const GUID &classGuid);
// The GUID of the registered setup class with that name (compared without regard to case).
std::optional<GUID> SetupClassByName(const std::string &className);
// Instance ids of all device instances in the Enum tree, in registry enumeration order.
std::vector<std::string> AllInstanceIds();
// Small number standing for the device node of an instance id for the life of the machine.
DWORD DevNodeOf(const std::string &instanceId);
// The instance id that device node `devNode` stands for, spelled as it was first seen.
std::optional<std::string> InstanceIdOfDevNode(DWORD devNode);
// A REG_MULTI_SZ value as a list of strings (empty when missing or of another type).
std::vector<std::string> ReadMultiString(const std::string &keyPath, const std::string &name);
std::vector<BYTE> MultiStringBytes(const std::vector<std::string> &strings);
std::vector<BYTE> StringBytes(const std::string &text);  // with its terminating NUL

// Architecture whose INF decorations apply ("x86", "amd64").
const std::string &MachineArchitecture();
// The INF folder below the Windows directory ("C:\WINDOWS\inf").
std::string InfFolder();

// ---- INF files (inf.cpp) -------------------------------------------------------------------

namespace inf {

struct Line {
  bool hasKey = false;
  std::string key;                  // raw text, before %string% substitution
  std::vector<std::string> fields;  // raw texts of fields 1..n
};

struct Section {
  std::string name;
  std::vector<Line> lines;
};

// A parsed INF file. Texts are kept raw and substituted when they are read, as SetupAPI does.
class File {
 public:
  std::string path;  // full Windows path it was read from
  std::vector<Section> sections;

  int FindSection(const std::string &name) const;  // -1 when missing
  // Field `index` of a line (0 = key) with %strings% substituted; nullopt when the line has none.
  std::optional<std::string> Field(int section, int line, unsigned index) const;
  // Index of the first line after `afterLine` whose substituted key equals `key` (no case), or -1.
  int FindKeyLine(int section, int afterLine, const std::string &key) const;
  // Field `index` of the first line with `key` in the named section.
  std::optional<std::string> Value(const std::string &section, const std::string &key, unsigned index = 1) const;
  // All substituted fields 1..n of a line.
  std::vector<std::string> Fields(int section, int line) const;
  // The install section name with the decoration this machine uses (".NTx86", ".NT" or none).
  std::string ActualSection(const std::string &name, size_t *extensionAt) const;
  std::string Substitute(const std::string &raw) const;

 private:
  std::optional<std::string> StringEntry(const std::string &name) const;
};

struct LoadResult {
  std::shared_ptr<const File> file;  // null on failure
  DWORD error = ERROR_SUCCESS;
  UINT errorLine = 0;
};

// Parses INF text read from `path`. With INF_STYLE_WIN4 in `style`, a file without a Windows 4
// signature fails with ERROR_WRONG_INF_STYLE.
LoadResult Parse(const std::string &bytes, const std::string &path, DWORD style);
// Reads and parses the file at a full Windows path.
LoadResult Load(const std::string &fullPath, DWORD style);
// Where SetupAPI looks for an INF named by the caller: a bare file name in the INF folder (then the
// system folder), anything else against the current directory.
std::string ResolveInfName(const std::string &name);
// Setup class of an INF from its [Version] section: name and GUID (GUID_NULL-like zero when the
// class is unknown). False when the file names no class.
bool ReadInfClass(const File &file, std::string *className, GUID *classGuid, DWORD *error);

}  // namespace inf
}  // namespace winsim::detail

#endif  // WINSIM_SETUPAPI_INTERNAL_H
