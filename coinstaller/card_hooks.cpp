// Not built yet: placeholders that do nothing, so that the module links while this file's
// operations are written. No test relies on them.
#include "phases.h"

const CardTypeHookRow CardTypeHookTable[] = {{nullptr, nullptr}};
BOOL RunCardTypeHooks(HDEVINFO, PSP_DEVINFO_DATA) { return FALSE; }
BOOL ReadCardType(HDEVINFO, PSP_DEVINFO_DATA, char *, DWORD) { return FALSE; }
DWORD ConfigureParallelPortForBox(HDEVINFO, PSP_DEVINFO_DATA) { return 0xC0000010; }
void RequestRestart(HDEVINFO, PSP_DEVINFO_DATA) {}
