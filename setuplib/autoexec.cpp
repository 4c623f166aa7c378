// Not built yet: placeholders that do nothing, so that the module links while this file's
// operations are written. No test relies on them.
#include "setuplib.h"

DWORD EditAutoexecNt(DWORD) { return SETUP_STATUS_OK; }
void AddCapiSupportToAutoexec() {}
void RemoveCapiSupportFromAutoexec() {}
