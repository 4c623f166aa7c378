// Not built yet: placeholders that do nothing, so that the module links while this file's
// operations are written. No test relies on them.
#include "setuplib.h"

DWORD CreateKeyPath(HKEY, const char *, HKEY *) { return SETUP_STATUS_KEY_FAILED; }
BOOL SetKeyDefaultValue(HKEY, const char *, const char *) { return FALSE; }
DWORD DeleteKeyTree(HKEY, const char *, BOOL) { return SETUP_STATUS_KEY_FAILED; }
BOOL GrantOpenAccess(HKEY) { return FALSE; }
