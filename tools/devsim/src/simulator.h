// Runs a scenario's steps on the loaded simulated machine and prints, for each step, the request
// lines in the shape of the platform's device-installation log and everything the step changed.
#ifndef DEVSIM_SIMULATOR_H
#define DEVSIM_SIMULATOR_H

#include <windows.h>
// setupapi.h needs windows.h first, as on Windows.
#include <setupapi.h>

#include <map>
#include <optional>
#include <ostream>
#include <string>

#include "default_actions.h"
#include "request_dispatch.h"
#include "scenario.h"

namespace devsim {

class Simulator {
 public:
  Simulator(std::ostream &out, const DispatchOptions &options) : out_(out), options_(options) {}

  // Runs every step in order. Throws InputError (naming the scenario line, or the INF and its
  // line) when a step cannot run on this machine: a device that is not there or already is, a
  // driver source or setup class the machine does not have, an INF that cannot be read.
  void Run(const Scenario &scenario);

  // The maker's adapters and the CAPI controller registry as they stand, and the numbering check.
  void ReportEndState();

  // The check of the maker's controller numbering under its own heading: for a machine loaded from
  // a file, before the first step.
  void ReportLoadedNumbering();

  // The instance ID behind a scenario name ("" when the name is unknown).
  std::string InstanceIdOf(const std::string &name) const;

 private:
  struct ChosenDriver {
    std::string infPath, section, description;
  };
  struct Device {
    std::string instanceId;
    std::optional<ChosenDriver> chosen;
  };

  void RunStep(const Step &step);
  void AddDevice(const Step &step);
  void UseDevice(const Step &step);
  void SetDriverSource(const Step &step);
  void StartMonitor(const Step &step);
  void SetPresence(const Step &step, bool present);
  void ChooseDriver(const Step &step);
  void Install(const Step &step);
  void Remove(const Step &step);
  void Restart();

  // Runs the driver-choice request on an open device and logs the ranks before and after.
  DWORD RunDriverChoice(HDEVINFO set, PSP_DEVINFO_DATA device, InstallLog &log);
  [[noreturn]] void Fail(const Step &step, const std::string &message) const;
  // Lists every inconsistency of the maker's numbering, or says that there is none.
  void ReportNumberingCheck();

  std::ostream &out_;
  DispatchOptions options_;
  std::string scenarioFile_;
  std::string driverSource_ = kInfFolderSource;
  std::map<std::string, Device> devices_;
};

}  // namespace devsim

#endif  // DEVSIM_SIMULATOR_H
