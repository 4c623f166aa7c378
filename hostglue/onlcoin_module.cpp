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
  module.exports["DeviceCoInstallerFunc"] = reinterpret_cast<FARPROC>(&DeviceCoInstallerFunc);
  module.messages = {
#include "message_table.inc"
  };
  winsim::RegisterBuiltinModule(module);
}
