// Random operation sequences over up to 16 adapters: installations as the host drives them
// (driver choice, pre-processing, the platform's installation, post-processing), failed
// installations, removals, adapters unplugged and plugged in again, stray edits of the CAPI
// registry, and now and then one platform call made to fail. After every step the simulator's
// numbering check judges the machine: no two adapters on one number, ever; and after every
// installation that ran without an injected failure, also every number with its key, no key
// without its adapter and the count right (stray edits and injected failures may break these until
// then). No device is exempt. A failing sequence is shrunk to a short one and printed.
//
// Environment: ONLCOIN_MODEL_START (number of the first sequence, which also starts its random
// choices; default 1), ONLCOIN_MODEL_SEQUENCES (how many sequences, default 60), ONLCOIN_MODEL_STEPS
// (steps per sequence, default 40).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "reliability_machine.h"
#include "setuplib.h"

namespace {

// Most sequences work on two to four adapters, where numbers meet often; one in four on up to 16.
constexpr int kMaxAdapters = 16;
constexpr unsigned kFewAdaptersMin = 2;
constexpr unsigned kFewAdaptersSpread = 3;
constexpr unsigned long kDefaultStart = 1;
constexpr unsigned kDefaultSequences = 60;
constexpr unsigned kDefaultSteps = 40;
const std::string kDriverInf = "C:\\drivers\\orvik.inf";
// Odd key names read as numbers far above any adapter's: such a key beside the key of a held number
// would be kept with it (its name reads as that number) and left behind when the number is given
// back, which only the next installation's prune repairs.
constexpr unsigned kOddKeyBase = 100;

enum class Op { Install, FailedInstall, Remove, Unplug, Replug, ChooseDriver, StrayEdit };
// The module call of an installation or removal that gets the injected failure.
enum class Phase { None, DriverChoice, PreInstall, PostInstall, Removal };
enum class Stray {
  DeleteControllerKey,
  AddOrphanKey,
  SetCount,
  AddOddKey,
  AddOtherMaker,
  WipeRegistry,
  DropCount
};

struct Step {
  Op op = Op::Install;
  int adapter = 0;
  // The injected failure: the n-th call of a function within one module call, failing the way a
  // call on an object that exists fails (refused access for the registry and device keys, no
  // memory for the rest). Answers of absence are the failure sweep's business.
  Phase faultPhase = Phase::None;
  std::string faultFunction;
  unsigned faultOccurrence = 0;
  Stray stray = Stray::AddOrphanKey;
  unsigned param = 0;
};

// Calls whose failure would only leave the object they release open in the simulation.
bool IsRelease(const std::string &function) {
  return reliability::OpenOfKindReleasedBy(function, {}) >= 0;
}

std::string AdapterId(int adapter) {
  return "PCI\\VEN_1A2B&DEV_0C10\\" + std::to_string(adapter + 1);
}

std::string Describe(const Step &step) {
  static const char *const kOps[] = {"install adapter %d",       "failed installation of adapter %d",
                                     "remove adapter %d",        "unplug adapter %d",
                                     "plug adapter %d in again", "driver choice for adapter %d"};
  static const char *const kStrays[] = {"delete the maker's controller key no. %u",
                                        "add controller key %u",
                                        "set NumberOfControllers to %u",
                                        "add a controller key named \" 1%02ux\"",
                                        "add another maker's key",
                                        "delete SOFTWARE\\CAPI20",
                                        "delete NumberOfControllers"};
  static const char *const kPhases[] = {"", "driver choice", "pre-install", "post-install", "removal"};
  char text[200];
  if (step.op == Op::StrayEdit) {
    snprintf(text, sizeof(text), kStrays[static_cast<int>(step.stray)], step.param);
    return std::string("stray edit: ") + text;
  }
  snprintf(text, sizeof(text), kOps[static_cast<int>(step.op)], step.adapter + 1);
  std::string out = text;
  if (step.faultPhase != Phase::None) {
    out += std::string(" (") + kPhases[static_cast<int>(step.faultPhase)] + ": " + step.faultFunction + " no. " +
           std::to_string(step.faultOccurrence) + " fails with " +
           std::to_string(reliability::RealFailure(step.faultFunction)) + ")";
  }
  return out;
}

// An INF with two drivers for the adapter, dated apart, as a driver package brings it.
std::string TwoDriverInf() {
  return "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=ORVIK\r\nClassGuid=" + machine::kOrvikClassGuid +
         "\r\nProvider=%Maker%\r\nDriverVer=12/31/2098,9.9.9.9\r\n\r\n[Manufacturer]\r\n%Maker%=Models\r\n\r\n"
         "[Models]\r\n\"ORVIK ISDN adapter (2000)\"=Old, " +
         machine::kAdapterHardwareId + "\r\n\"ORVIK ISDN adapter (2001)\"=New, " + machine::kAdapterHardwareId +
         "\r\n\r\n[Old.NT]\r\nDriverVer=01/15/2000,3.30.0.1000\r\n\r\n[New.NT]\r\nDriverVer=06/26/"
         "2001,3.38.0.1146\r\n"
         "\r\n[Strings]\r\nMaker=\"ORVIK AG\"\r\n";
}

struct StepOutcome {
  bool faultFired = false;
  bool preInstallRan = false;  // the pre-install phase, which repairs the numbering, was reached
  std::string failedCall;
};

// One sequence on one machine: runs steps and checks the numbering after each.
class SequenceRun {
 public:
  explicit SequenceRun(const std::string &drive) {
    reliability::FreshMachine(drive);
    machine::SetUpBaseMachine();
    winsim::PutFile(kDriverInf, TwoDriverInf());
  }

  bool FaultFired() const { return faultFired_; }
  bool Exists(int adapter) const { return !winsim::DriverKeyPath(AdapterId(adapter)).empty(); }
  bool Present(int adapter) const { return Exists(adapter) && winsim::IsDevicePresent(AdapterId(adapter)); }
  // The calls, by function, that a clean module call of the phase made last time.
  std::map<std::string, unsigned long> CallsOf(Phase phase) const {
    const auto found = lastCalls_.find(phase);
    return found == lastCalls_.end() ? std::map<std::string, unsigned long>{} : found->second;
  }

  // Runs one step and checks the machine; returns the violations found ("" when none).
  std::string Execute(const Step &step) {
    faultFired_ = false;
    StepOutcome outcome;
    switch (step.op) {
      case Op::Install:
      case Op::FailedInstall:
      case Op::ChooseDriver:
        outcome = Install(step);
        break;
      case Op::Remove:
        outcome = Remove(step);
        break;
      case Op::Unplug:
      case Op::Replug:
        if (Exists(step.adapter)) winsim::SetDevicePresent(AdapterId(step.adapter), step.op == Op::Replug);
        break;
      case Op::StrayEdit:
        StrayEdit(step);
        break;
    }
    std::string problems = Judge(step, outcome);
    if (!problems.empty() && !outcome.failedCall.empty()) problems += "(injected: " + outcome.failedCall + ")\n";
    return problems;
  }

 private:
  // Arms the step's failure when the host is about to make the call of `phase`, and counts the
  // calls of each clean phase so that the generator knows how many there are to fail.
  template <typename Call>
  DWORD ModuleCall(const Step &step, Phase phase, StepOutcome *outcome, Call call) {
    winsim::ResetCallCounts();
    const bool armed = step.faultPhase == phase && step.faultOccurrence != 0;
    if (armed)
      winsim::FailNthCall(step.faultFunction, step.faultOccurrence, reliability::RealFailure(step.faultFunction));
    const DWORD status = call();
    if (armed) {
      if (const auto failed = winsim::FailedCall()) {
        outcome->faultFired = faultFired_ = true;
        outcome->failedCall = failed->function + " " + failed->subject;
        releaseFailed_ = IsRelease(failed->function);
      }
      winsim::ClearFaults();
    } else {
      lastCalls_[phase] = winsim::CallCounts();
    }
    return status;
  }

  StepOutcome Install(const Step &step) {
    StepOutcome outcome;
    const std::string id = AdapterId(step.adapter);
    // A new adapter is plugged in: the device exists with its driver key, nothing installed.
    if (!Exists(step.adapter))
      machine::AddAdapter(machine::Adapter().Id(id).ProductCode(std::nullopt).WanEndPoints(std::nullopt));
    if (!Present(step.adapter)) return outcome;  // the platform installs only devices that are there

    machine::DeviceInSet device(id);
    device.ListDriversOf(kDriverInf);

    COINSTALLER_CONTEXT_DATA context = {};
    ModuleCall(step, Phase::DriverChoice, &outcome,
               [&] { return DeviceCoInstallerFunc(DIF_SELECTBESTCOMPATDRV, device.set, &device.data, &context); });
    SetupDiSelectBestCompatDrv(device.set, &device.data);
    if (step.op == Op::ChooseDriver) return outcome;

    const DWORD pre = ModuleCall(step, Phase::PreInstall, &outcome, [&] {
      return DeviceCoInstallerFunc(DIF_INSTALLDEVICE, device.set, &device.data, &context);
    });
    outcome.preInstallRan = true;
    winsim::ClearEvents();
    if (pre != ERROR_DI_POSTPROCESSING_REQUIRED) return outcome;

    // The platform's own installation: the INF's AddReg marks the adapter as the maker's.
    if (step.op == Op::Install) {
      const std::string driverKey = winsim::DriverKeyPath(id);
      winsim::SetDword(driverKey, "WanEndPoints", 2);
      winsim::SetDword(driverKey + "\\VendorSpecific\\CAPI", "ProductCode", 1);
    }
    context.PostProcessing = TRUE;
    context.InstallResult = step.op == Op::Install ? NO_ERROR : reliability::kCopyFailure;
    ModuleCall(step, Phase::PostInstall, &outcome,
               [&] { return DeviceCoInstallerFunc(DIF_INSTALLDEVICE, device.set, &device.data, &context); });
    return outcome;
  }

  StepOutcome Remove(const Step &step) {
    StepOutcome outcome;
    if (!Exists(step.adapter)) return outcome;
    machine::DeviceInSet device(AdapterId(step.adapter));
    COINSTALLER_CONTEXT_DATA context = {};
    ModuleCall(step, Phase::Removal, &outcome,
               [&] { return DeviceCoInstallerFunc(DIF_REMOVE, device.set, &device.data, &context); });
    SetupDiRemoveDevice(device.set, &device.data);
    return outcome;
  }

  void StrayEdit(const Step &step) {
    const std::string maker = devsim::MakerManufacturerKey();
    if (step.stray == Stray::AddOtherMaker) {
      const std::string m = std::to_string(100 + step.param);
      const std::string other = machine::kCapi20 + "\\" + m;
      winsim::LoadReg("REGEDIT4\r\n\r\n[" + other +
                      "]\r\n\"Manufacturer\"=\"Acme Telecom\"\r\n\"DeviceName\"=\"CAPI20" + m +
                      "\"\r\n\"NumberOfControllers\"=dword:00000001\r\n\r\n[" + other + "\\1]\r\n");
    } else if (step.stray == Stray::WipeRegistry) {
      winsim::DeleteTree(machine::kCapi20);
    } else if (maker.empty()) {
      return;  // the other edits are of the maker's key
    } else if (step.stray == Stray::DeleteControllerKey) {
      const std::vector<std::string> keys = winsim::SubkeyNames(maker);
      if (!keys.empty()) winsim::DeleteTree(maker + "\\" + keys[step.param % keys.size()]);
    } else if (step.stray == Stray::AddOrphanKey) {
      winsim::CreateKey(maker + "\\" + std::to_string(step.param));
    } else if (step.stray == Stray::SetCount) {
      winsim::SetDword(maker, "NumberOfControllers", step.param);
    } else if (step.stray == Stray::AddOddKey) {
      winsim::CreateKey(maker + "\\ " + std::to_string(kOddKeyBase + step.param) + "x");
    } else {
      winsim::LoadReg("REGEDIT4\r\n\r\n[" + maker + "]\r\n\"NumberOfControllers\"=-\r\n");
    }
  }

  // Returns what the rules do not allow after the step.
  std::string Judge(const Step &step, const StepOutcome &outcome) {
    if (step.op == Op::StrayEdit || outcome.faultFired) {
      repairPending_ = true;
    } else if (outcome.preInstallRan) {
      repairPending_ = false;
    }
    std::string out = reliability::NumberingProblems(repairPending_ ? reliability::Rules::NoSharedNumber
                                                                    : reliability::Rules::All);
    // A failed release leaves its object open in the simulation; the module is not to blame.
    if (releaseFailed_) leftOpen_ = winsim::OpenHandles().Total();
    releaseFailed_ = false;
    if (winsim::OpenHandles().Total() != leftOpen_) out += "left open:\n" + winsim::DescribeOpenHandles();
    return out;
  }

  std::map<Phase, std::map<std::string, unsigned long>> lastCalls_;
  bool faultFired_ = false;
  bool releaseFailed_ = false;
  // A stray edit or an injected failure may have broken what the next clean installation repairs.
  bool repairPending_ = false;
  long leftOpen_ = 0;
};

// Picks the next step from the machine's state.
Step NextStep(std::mt19937 &random, const SequenceRun &run, int adapters) {
  auto below = [&random](unsigned n) { return n == 0 ? 0u : static_cast<unsigned>(random() % n); };
  Step step;
  step.adapter = static_cast<int>(below(static_cast<unsigned>(adapters)));
  // The odds of each operation and of each stray edit, in percent, as running sums.
  static const std::pair<unsigned, Op> kOps[] = {
      {34, Op::Install}, {44, Op::FailedInstall}, {56, Op::Remove},    {68, Op::Unplug},
      {80, Op::Replug},  {86, Op::ChooseDriver},  {100, Op::StrayEdit}};
  static const std::pair<unsigned, Stray> kStrays[] = {
      {30, Stray::DeleteControllerKey}, {55, Stray::AddOrphanKey}, {72, Stray::SetCount},  {84, Stray::AddOddKey},
      {94, Stray::AddOtherMaker},       {97, Stray::WipeRegistry}, {100, Stray::DropCount}};
  const unsigned roll = below(100);
  step.op =
      std::find_if(std::begin(kOps), std::end(kOps), [roll](const auto &o) { return roll < o.first; })->second;
  if (step.op == Op::StrayEdit) {
    const unsigned kind = below(100);
    step.stray = std::find_if(std::begin(kStrays), std::end(kStrays), [kind](const auto &o) {
                   return kind < o.first;
                 })->second;
    step.param = below(20);
  }

  // One step in four gets one of its module calls made to fail.
  if (step.op != Op::StrayEdit && step.op != Op::Unplug && step.op != Op::Replug && below(4) == 0) {
    step.faultPhase = step.op == Op::Remove ? Phase::Removal
                      : step.op == Op::ChooseDriver
                          ? Phase::DriverChoice
                          : static_cast<Phase>(static_cast<int>(Phase::DriverChoice) + below(3));
    // A call of the phase, each call as likely as any other, releases left out.
    unsigned long total = 0;
    const std::map<std::string, unsigned long> calls = run.CallsOf(step.faultPhase);
    for (const auto &[function, count] : calls) total += IsRelease(function) ? 0 : count;
    unsigned long pick = below(static_cast<unsigned>(total));
    for (const auto &[function, count] : calls) {
      if (IsRelease(function)) continue;
      if (pick < count) {
        step.faultFunction = function;
        step.faultOccurrence = static_cast<unsigned>(pick + 1);
        break;
      }
      pick -= count;
    }
    if (step.faultFunction.empty()) step.faultPhase = Phase::None;  // the phase has not run yet
  }
  return step;
}

unsigned long EnvironmentNumber(const char *name, unsigned long fallback) {
  const char *text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  return std::strtoul(text, nullptr, 10);
}

class ModelSequences : public reliability::ReliabilityTest {
 protected:
  // Replays `steps` on a fresh machine; the index of the first step with a violation (and the
  // violation), or steps.size() when all hold.
  size_t Replay(const std::vector<Step> &steps, std::string *problems) {
    SequenceRun run(drive_);
    for (size_t i = 0; i < steps.size(); ++i) {
      *problems = run.Execute(steps[i]);
      if (!problems->empty()) return i;
    }
    return steps.size();
  }

  // Delta debugging: removes ever smaller chunks of steps as long as the sequence still fails.
  std::vector<Step> Shrink(std::vector<Step> steps) {
    std::string ignored;
    size_t chunk = steps.size() / 2;
    while (chunk >= 1) {
      bool removed = false;
      for (size_t start = 0; start < steps.size();) {
        std::vector<Step> candidate(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(start));
        const size_t end = std::min(steps.size(), start + chunk);
        candidate.insert(candidate.end(), steps.begin() + static_cast<std::ptrdiff_t>(end), steps.end());
        const size_t failedAt = Replay(candidate, &ignored);
        if (failedAt < candidate.size()) {
          candidate.resize(failedAt + 1);
          steps = candidate;
          removed = true;
        } else {
          start += chunk;
        }
      }
      if (!removed) chunk /= 2;
    }
    return steps;
  }
};

TEST_F(ModelSequences, NumberingHoldsThroughRandomOperationsAndFailures) {
  const unsigned long start = EnvironmentNumber("ONLCOIN_MODEL_START", kDefaultStart);
  const unsigned long sequences = EnvironmentNumber("ONLCOIN_MODEL_SEQUENCES", kDefaultSequences);
  const unsigned long stepsPerSequence = EnvironmentNumber("ONLCOIN_MODEL_STEPS", kDefaultSteps);
  unsigned long stepsRun = 0, faultsFired = 0;
  std::map<Op, unsigned long> opCounts;

  for (unsigned long sequence = start; sequence < start + sequences; ++sequence) {
    std::mt19937 random(static_cast<std::mt19937::result_type>(sequence));
    const int adapters =
        random() % 4 == 0 ? kMaxAdapters : static_cast<int>(kFewAdaptersMin + random() % kFewAdaptersSpread);
    SequenceRun run(drive_);
    std::vector<Step> steps;
    std::string problems;
    for (unsigned long i = 0; i < stepsPerSequence && problems.empty(); ++i) {
      steps.push_back(NextStep(random, run, adapters));
      problems = run.Execute(steps.back());
      ++stepsRun;
      ++opCounts[steps.back().op];
      faultsFired += run.FaultFired();
    }
    if (problems.empty()) continue;

    const std::vector<Step> shrunk = Shrink(steps);
    std::string shrunkProblems;
    Replay(shrunk, &shrunkProblems);
    std::ostringstream text;
    for (size_t i = 0; i < shrunk.size(); ++i) text << "  " << i + 1 << ". " << Describe(shrunk[i]) << "\n";
    ADD_FAILURE() << "sequence " << sequence << " (rerun with ONLCOIN_MODEL_START=" << sequence
                  << " ONLCOIN_MODEL_SEQUENCES=1) fails after " << steps.size() << " steps:\n"
                  << problems << "shrunk to " << shrunk.size() << " steps:\n"
                  << text.str() << "which end with:\n"
                  << shrunkProblems;
    return;
  }
  std::printf(
      "[model] sequences %lu to %lu: %lu sequences, %lu steps (%lu installations, %lu failed installations, %lu "
      "removals, %lu stray edits), %lu steps with an injected failure\n",
      start, start + sequences - 1, sequences, stepsRun, opCounts[Op::Install], opCounts[Op::FailedInstall],
      opCounts[Op::Remove], opCounts[Op::StrayEdit], faultsFired);
}

}  // namespace
