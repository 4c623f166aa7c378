#include "onlcoin_module.h"

#include <winsim.h>

#include "phases.h"

void RegisterOnlcoinModule() {
  static bool registered = false;
  if (registered) return;
  registered = true;
  winsim::BuiltinModule module;
  module.fileName = "onlcoin.dll";
  module.dllMain = DllMain;
  // Through void(*)(), the generic function pointer type, as GetProcAddress callers do.
  module.exports["DeviceCoInstallerFunc"] =
      reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&DeviceCoInstallerFunc));
  module.messages = {
#include "message_table.inc"
  };
  winsim::RegisterBuiltinModule(module);
}
