// What the reliability tests share: a machine that looks like one in the field (another maker's
// controllers, an orphaned controller key, an absent adapter holding a number, ports, stale INF
// files, a running monitor), a fresh start of that machine on the same drive C: folder, and the
// numbering invariants as the simulator's numbering check reads them from the registry.
#ifndef TESTS_RELIABILITY_MACHINE_H
#define TESTS_RELIABILITY_MACHINE_H

#include <winsim.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "../coinstaller/coinstaller_machine.h"
#include "numbering_check.h"
#include "sim_fixture.h"

namespace reliability {

inline const std::string kAdapterA = "PCI\\VEN_1A2B&DEV_0C10\\1";  // installed, holds 1
inline const std::string kAdapterB = "PCI\\VEN_1A2B&DEV_0C10\\2";  // absent, holds 2
inline const std::string kAdapterC = "PCI\\VEN_1A2B&DEV_0C10\\3";  // the adapter the jobs work on
inline const std::string kOtherMaker = machine::kCapi20 + "\\1";
inline const std::string kOrvikKey = machine::kCapi20 + "\\2";
inline const std::string kManufacturerName = "ORVIK AG";

// The fixture of the reliability tests. They start the machine afresh hundreds of times per test,
// so drive C: lives in memory where the host offers a memory file system (/dev/shm), in a folder
// of its own; elsewhere it is the fixture's usual folder.
class ReliabilityTest : public SimTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string drive_;
};

// Forgets the whole machine (registry, handles, faults, recordings) and empties the drive C:
// folder, so that every run starts from the same state; the module stays registered.
void FreshMachine(const std::string &root);

struct MachineShape {
  bool adapterAPresent = true;
  bool lptBox = false;          // adapter C is a parallel-port box (its hook asks for a restart)
  bool monitorRunning = false;  // a monitor application listens for the quit message
};
// The machine of the failure sweep: another maker's manufacturer key 1, the maker's key 2 with
// controllers 1 (adapter A), 2 (adapter B, absent) and 5 (held by nobody), adapter C without a
// number, a parallel and a serial port, a stale maker-class INF with its precompiled copy and an
// INF of another class in the INF folder, and an autoexec.nt with lines of its own.
void BuildRealisticMachine(const MachineShape &shape);

// ---- Reading the numbering back ------------------------------------------------------------

struct DeviceNumbering {
  std::optional<DWORD> number;  // stored Controller + 1
  bool keyExists = false;       // the controller key of that number under the maker's key
};
DeviceNumbering ReadNumbering(const std::string &instanceId);
// The values of the controller key of the number the device stores, as REGEDIT4 lines; "" when it
// stores none or the key is missing.
std::string ControllerValues(const std::string &instanceId);

// The rules of the numbering, from the one that holds at every step on: no two adapters of the maker
// on one number; no adapter's number without its key; and, once the machine is repaired, no key
// without its adapter and a count that matches too.
enum class Rules { NoSharedNumber, NoNumberLost, All };
// What the simulator's numbering check finds against `rules` over the maker's class, one problem
// per line, "" when none; problems about a device in `exempt` are left out.
std::string NumberingProblems(Rules rules, const std::set<std::string> &exempt = {});

// "" when nothing is open; otherwise a list of what is.
std::string OpenHandleReport();

// ---- Injected failures ---------------------------------------------------------------------

// How a failed installation ends.
constexpr DWORD kCopyFailure = ERROR_FILE_NOT_FOUND;
// How a call on an object that exists fails: access refused for the registry and device keys, no
// memory for the rest.
DWORD RealFailure(const std::string &function);
// How many objects of the kind that `function` releases are open; -1 when it releases none. A
// release made to fail leaves its object open in the simulation, not by the module's fault.
long OpenOfKindReleasedBy(const std::string &function, const winsim::HandleCounts &open);

// ---- The host's side of a request ----------------------------------------------------------

// Pre-processing of DIF_INSTALLDEVICE on a device whose driver is selected; returns the status
// and the number handed to post-processing.
DWORD PreInstall(const std::string &instanceId, DWORD *number);
// Both halves of a successful installation, without faults; false when anything was refused.
bool InstallClean(const std::string &instanceId);

}  // namespace reliability

#endif  // TESTS_RELIABILITY_MACHINE_H
