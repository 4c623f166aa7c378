// The platform's own work for each request, done as SetupAPI does it, through the SetupAPI, INF,
// registry and file functions of the simulated platform: building the compatible-driver list,
// selecting the best driver, registering a driver's co-installers, installing a device from its
// selected driver's INF, and removing a device.
#ifndef DEVSIM_DEFAULT_ACTIONS_H
#define DEVSIM_DEFAULT_ACTIONS_H

#include <windows.h>
// setupapi.h needs windows.h first, as on Windows.
#include <setupapi.h>

#include <optional>
#include <string>
#include <vector>

#include "install_log.h"

namespace devsim {

// Driver source of a driver list: the platform's INF folder.
constexpr const char *kInfFolderSource = "inf";

// One entry of a device's compatible-driver list.
struct DriverNode {
  DWORD index = 0;
  SP_DRVINFO_DATA_A info{};
  std::string description, infPath, section;
  std::vector<std::string> hardwareIds;  // the IDs the driver's model line lists
  std::optional<DWORD> rank;
  std::string driverVer;  // DriverVer of the install section (after the platform's decoration)
};

// The compatible drivers of the device, in list order, with their ranks.
std::vector<DriverNode> ListDrivers(HDEVINFO set, PSP_DEVINFO_DATA device);
// The selected driver, if any.
std::optional<DriverNode> SelectedDriver(HDEVINFO set, PSP_DEVINFO_DATA device);

// Builds the compatible-driver list from `source` ("inf", a folder or one INF file) and logs it.
DWORD BuildDriverList(HDEVINFO set, PSP_DEVINFO_DATA device, const std::string &source, InstallLog &log);
// Logs the list with the ranks it had before (same order) and has now.
void LogRanks(const std::vector<DriverNode> &before, const std::vector<DriverNode> &after, InstallLog &log);

// Default actions.
DWORD SelectBestDriver(HDEVINFO set, PSP_DEVINFO_DATA device, InstallLog &log);
DWORD RegisterCoInstallers(HDEVINFO set, PSP_DEVINFO_DATA device, InstallLog &log);
// failure: the installation fails with this status before it changes anything (the driver files
// cannot be copied).
DWORD InstallDevice(HDEVINFO set, PSP_DEVINFO_DATA device, std::optional<DWORD> failure, InstallLog &log);
DWORD RemoveDevice(HDEVINFO set, PSP_DEVINFO_DATA device, InstallLog &log);

// The device's instance ID.
std::string InstanceIdOf(HDEVINFO set, PSP_DEVINFO_DATA device);

}  // namespace devsim

#endif  // DEVSIM_DEFAULT_ACTIONS_H
