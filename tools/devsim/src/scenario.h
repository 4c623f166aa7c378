// Scenario files: the steps of a simulated job, one per line. The format is described in
// tools/devsim/README.md. Parsing checks everything that can be checked without the machine, so a
// malformed file stops the simulator before anything runs.
#ifndef DEVSIM_SCENARIO_H
#define DEVSIM_SCENARIO_H

#include <windows.h>
#include <winsim.h>

#include <optional>
#include <string>
#include <vector>

namespace devsim {

enum class StepKind {
  Drivers,  // where the next driver lists come from
  Add,      // a new device appears (present or absent)
  Use,      // a name for a device that the machine already has
  Choose,   // driver choice (DIF_SELECTBESTCOMPATDRV)
  Install,  // installation (DIF_REGISTER_COINSTALLERS, DIF_INSTALLDEVICE)
  Absent,   // the device is unplugged
  Present,  // the device is plugged in again
  Remove,   // removal (DIF_REMOVE)
  Monitor,  // a monitor application starts listening for the quit message
  Restart,  // the machine restarts and a user logs on
};

struct Step {
  StepKind kind = StepKind::Drivers;
  int line = 0;        // line in the scenario file
  std::string text;    // the line as written, without comment and surrounding blanks
  std::string device;  // the device's name in the scenario (not for Drivers, Monitor and Restart)

  // Drivers: "inf" for the INF folder, or a folder, or one INF file (a Windows path).
  std::string driverSource;

  // Add: the device as the bus reports it. Use: instanceId only.
  std::string instanceId;  // "" for Add: the first free ROOT\ORVIK\NNNN
  std::vector<std::string> hardwareIds, compatibleIds;
  std::string setupClass = "ORVIK";  // class name or "{GUID}"
  std::string description;
  bool present = true;

  // Install: the platform's installation fails with this status (post-processing sees it).
  std::optional<DWORD> failure;

  // Monitor: the listener window of a monitor application.
  winsim::QuitListener listener;
};

struct Scenario {
  std::string fileName;
  std::vector<Step> steps;
};

// The status a failed installation ends with when "fail" names none: a driver file that cannot be
// copied.
constexpr DWORD kDefaultInstallFailure = ERROR_FILE_NOT_FOUND;

// How long a monitor with answer=hang handles no message when hang= does not say.
constexpr uint64_t kDefaultHangMs = 40000;

// Throws InputError naming fileName and the line for a malformed scenario.
Scenario ParseScenario(const std::string &text, const std::string &fileName);

}  // namespace devsim

#endif  // DEVSIM_SCENARIO_H
