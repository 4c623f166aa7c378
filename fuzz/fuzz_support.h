// What the fuzz targets share: a fresh simulated machine per input (drive C: in a folder of the
// process's own), the maker's adapters, and a check that stops the run with a message.
#ifndef FUZZ_SUPPORT_H
#define FUZZ_SUPPORT_H

#include <winsim.h>

#include <cstdint>
#include <string>

namespace fuzz {

inline const std::string kOrvikClassGuid = "{5E1B7C40-92A3-4D6F-8B1E-0C7A4F3D2E96}";
inline const std::string kAdapterHardwareId = "PCI\\VEN_1A2B&DEV_0C10";
inline const std::string kCapi20 = "HKEY_LOCAL_MACHINE\\SOFTWARE\\CAPI20";
inline const std::string kAutoexecPath = "C:\\WINDOWS\\system32\\autoexec.nt";

// Forgets the registry, handles and recordings and empties drive C:.
void FreshMachine();

// A device of the maker's class with its driver key; the instance id is returned.
std::string AddAdapter(const std::string &instanceId, bool present);
std::string DeviceCapiKey(const std::string &instanceId);

// The input as text (bytes as they are, zero bytes included).
inline std::string Text(const uint8_t *data, size_t size) {
  return std::string(reinterpret_cast<const char *>(data), size);
}

// Stops the run: prints what does not hold and aborts, which libFuzzer reports as a crash and
// keeps the input.
[[noreturn]] void Fail(const std::string &what);
inline void Check(bool holds, const std::string &what) {
  if (!holds) Fail(what);
}
// Fails when anything the simulation accounts for is left open, or when its verifier stopped a
// call (a handle closed twice or used after its close).
void CheckNothingOpen(const std::string &after);

}  // namespace fuzz

#endif  // FUZZ_SUPPORT_H
