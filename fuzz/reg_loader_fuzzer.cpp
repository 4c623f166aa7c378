// The .reg reader and writer of the simulated machine: the input is .reg text. Text that is
// refused changes nothing and says which line is wrong; text that is taken is exported again,
// root by root, and that export must read back into the very same registry.
#include "fuzz_support.h"

namespace {

const char *const kRoots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT", "HKEY_USERS",
                              "HKEY_CURRENT_CONFIG"};

std::string ExportAll() {
  std::string text;
  for (const char *root : kRoots) text += winsim::ExportReg(root);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  winsim::Reset();
  const std::string before = ExportAll();
  std::string error;
  if (!winsim::LoadReg(fuzz::Text(data, size), &error)) {
    fuzz::Check(ExportAll() == before, "refused .reg text changed the registry");
    fuzz::Check(error.rfind("line ", 0) == 0, "a refusal that names no line: " + error);
    return 0;
  }

  std::vector<std::string> exports;
  for (const char *root : kRoots) exports.push_back(winsim::ExportReg(root));
  const std::string loaded = ExportAll();
  winsim::Reset();
  for (const std::string &text : exports) {
    if (text.empty()) continue;
    fuzz::Check(winsim::LoadReg(text, &error), "the registry's own export is refused: " + error);
  }
  fuzz::Check(ExportAll() == loaded, "an export does not read back into the same registry");
  return 0;
}
