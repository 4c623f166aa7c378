// Names of the status codes that installation requests, co-installers and default actions return,
// for the report and for the scenario's "fail=" option.
#ifndef DEVSIM_STATUS_NAMES_H
#define DEVSIM_STATUS_NAMES_H

#include <windows.h>
// setupapi.h needs windows.h first, as on Windows.
#include <setupapi.h>

#include <optional>
#include <string>

namespace devsim {

// "ERROR_DI_POSTPROCESSING_REQUIRED", "NO_ERROR", ... or "" for a code without a known name.
std::string StatusName(DWORD status);
// "0xE0000226 ERROR_DI_POSTPROCESSING_REQUIRED" (the name left out when unknown).
std::string DescribeStatus(DWORD status);
// The code of a known name (case-sensitive, as the headers spell it).
std::optional<DWORD> StatusByName(const std::string &name);
// "DIF_INSTALLDEVICE", or "DIF 0x00000042" for a code without a name.
std::string RequestName(DI_FUNCTION request);
// Hexadecimal with 8 digits and the 0x prefix.
std::string Hex32(DWORD value);

}  // namespace devsim

#endif  // DEVSIM_STATUS_NAMES_H
