// Makes the co-installer that is linked into a host program loadable on the simulated platform
// as "onlcoin.dll": LoadLibraryA finds it, GetProcAddress returns DeviceCoInstallerFunc, and
// FormatMessageA reads the texts of its message table.
#ifndef HOSTGLUE_ONLCOIN_MODULE_H
#define HOSTGLUE_ONLCOIN_MODULE_H

// Idempotent; call before the program loads the module.
void RegisterOnlcoinModule();

#endif  // HOSTGLUE_ONLCOIN_MODULE_H
