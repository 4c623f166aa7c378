// Processing of a driver's install sections from its INF file, as the platform's default
// installation does it: AddReg directives (HKR and the predefined roots, with the common flags),
// CopyFiles directives (destinations from DestinationDirs, sources beside the INF) and AddService
// directives (the service's key, and which service the device is associated with).
//
// A line the simulator cannot read (an unknown root, flags or a number that is not one, a named
// section that does not exist) throws InputError naming the INF and the line. What the platform
// would report as a failed installation (a file that cannot be copied, a key that cannot be
// written, an incomplete service section) is returned as the status the installation fails with.
#ifndef DEVSIM_INF_INSTALL_H
#define DEVSIM_INF_INSTALL_H

#include <windows.h>
// setupapi.h needs windows.h first, as on Windows.
#include <setupapi.h>

#include <optional>
#include <string>
#include <vector>

#include "install_log.h"

namespace devsim {

// AddReg flags of the INF syntax.
constexpr DWORD kFlgAddRegBinValueType = 0x00000001;
constexpr DWORD kFlgAddRegNoClobber = 0x00000002;
constexpr DWORD kFlgAddRegDelVal = 0x00000004;
constexpr DWORD kFlgAddRegAppend = 0x00000008;
constexpr DWORD kFlgAddRegKeyOnly = 0x00000010;
constexpr DWORD kFlgAddRegOverwriteOnly = 0x00000020;
constexpr DWORD kFlgAddRegTypeMask = 0xFFFF0000 | kFlgAddRegBinValueType;
constexpr DWORD kFlgAddRegTypeSz = 0x00000000;
constexpr DWORD kFlgAddRegTypeMultiSz = 0x00010000;
constexpr DWORD kFlgAddRegTypeExpandSz = 0x00020000;
constexpr DWORD kFlgAddRegTypeBinary = 0x00000001;
constexpr DWORD kFlgAddRegTypeDword = 0x00010001;
constexpr DWORD kFlgAddRegTypeNone = 0x00020001;
// AddService flag: the service is the device's function driver.
constexpr DWORD kSpSvcInstAssocService = 0x00000002;

class InfSections {
 public:
  // The INF must be open; infPath is its Windows path, for messages and as the source folder.
  InfSections(HINF inf, const std::string &infPath, InstallLog &log);

  bool HasSection(const std::string &section) const;

  // A section named by a directive line ("AddReg=a,b" names a and b), with the directive's place.
  struct Directive {
    std::string name;
    size_t lineIndex;  // 0-based place of the directive line in its section
  };
  // The values of the section's `directive` lines, in order.
  std::vector<Directive> Directives(const std::string &section, const std::string &directive) const;

  // Runs the AddReg directives of the section; HKR stands for `relativeKey`.
  DWORD AddReg(const std::string &section, HKEY relativeKey);
  // Runs the CopyFiles directives of the section.
  DWORD CopyFiles(const std::string &section);
  // Runs the AddService directives of the section's ".Services" companion; returns the status and
  // sets `associatedService` to the service the device is associated with ("" when none).
  DWORD AddServices(const std::string &servicesSection, std::string *associatedService);

  // A field of a line (0 is the key), as the INF reader gives it (%strings% and %dirid% already
  // substituted); nullopt when the line has no such field.
  std::optional<std::string> Field(INFCONTEXT &context, DWORD index) const;
  // A line's value for `key` in the section, field 1.
  std::optional<std::string> KeyValue(const std::string &section, const std::string &key) const;

  // The folder of a directory id ("11" = the system folder), "" when the id is not known.
  std::string DirectoryOfId(const std::string &dirid) const;

  [[noreturn]] void Malformed(const std::string &section, size_t lineIndex, const std::string &message) const;

 private:
  struct Line {
    INFCONTEXT context;
    size_t index;  // 0-based place in the section
  };
  std::vector<Line> Lines(const std::string &section) const;
  DWORD AddRegLine(const std::string &section, Line &line, HKEY relativeKey);
  DWORD CopyOneFile(const std::string &source, const std::string &destination);

  HINF inf_;
  std::string infPath_;
  std::string infFolder_;  // with its trailing backslash
  InstallLog &log_;
};

// Parses a decimal or 0x-hexadecimal 32-bit number as INF files write them.
std::optional<DWORD> ParseInfNumber(const std::string &text);

}  // namespace devsim

#endif  // DEVSIM_INF_INSTALL_H
