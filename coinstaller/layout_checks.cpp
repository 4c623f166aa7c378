// Compile-time check of the platform records' sizes in the 32-bit product, where SetupAPI expects
// exactly these cbSize values. The code itself always passes sizeof, so the 64-bit build and the
// host build use their own layouts.
#include <windows.h>
#include <setupapi.h>

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "SP_DEVINFO_DATA must be 28 bytes on 32-bit Windows");
static_assert(sizeof(SP_DRVINFO_DATA_V2_A) == 796, "SP_DRVINFO_DATA_V2_A must be 796 bytes on 32-bit Windows");
static_assert(sizeof(SP_DRVINFO_DETAIL_DATA_A) == 797,
              "SP_DRVINFO_DETAIL_DATA_A must be 797 bytes on 32-bit Windows");
static_assert(sizeof(SP_DEVINSTALL_PARAMS_A) == 296, "SP_DEVINSTALL_PARAMS_A must be 296 bytes on 32-bit Windows");
static_assert(sizeof(SP_DRVINSTALL_PARAMS) == 20, "SP_DRVINSTALL_PARAMS must be 20 bytes on 32-bit Windows");
static_assert(sizeof(STARTUPINFOA) == 68, "STARTUPINFOA must be 68 bytes on 32-bit Windows");
static_assert(sizeof(SECURITY_DESCRIPTOR) == 20, "SECURITY_DESCRIPTOR must be 20 bytes on 32-bit Windows");
#else
// The simulated platform and 64-bit Windows share one layout.
static_assert(sizeof(SP_DEVINFO_DATA) == 32, "SP_DEVINFO_DATA must be 32 bytes on 64-bit Windows");
static_assert(sizeof(SP_DRVINFO_DATA_V2_A) == 800, "SP_DRVINFO_DATA_V2_A must be 800 bytes on 64-bit Windows");
static_assert(sizeof(SP_DRVINFO_DETAIL_DATA_A) == 808,
              "SP_DRVINFO_DETAIL_DATA_A must be 808 bytes on 64-bit Windows");
static_assert(sizeof(SP_DEVINSTALL_PARAMS_A) == 320, "SP_DEVINSTALL_PARAMS_A must be 320 bytes on 64-bit Windows");
static_assert(sizeof(SP_DRVINSTALL_PARAMS) == 32, "SP_DRVINSTALL_PARAMS must be 32 bytes on 64-bit Windows");
static_assert(sizeof(STARTUPINFOA) == 104, "STARTUPINFOA must be 104 bytes on 64-bit Windows");
#endif
