// Every platform call of each of the module's jobs, made to fail once: the job is run clean on
// a fresh machine to count its calls, then once per call with that one call failing (with the
// error Windows would most plausibly give). After each run: no leaked handle, window, class, timer
// or allocation; no call stopped by the simulation's verifier (a wait that would never end is a
// hang, an outcome of its own); the status the job owes its caller; controller numbers that
// devices hold are neither lost nor shared, and their controller keys keep their values; and the
// next installation, without faults, repairs the rest.
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "capireg.h"
#include "reliability_machine.h"
#include "setuplib.h"
#include "sim_fixture.h"

namespace {

using reliability::kAdapterA;
using reliability::kAdapterB;
using reliability::kAdapterC;

const PVOID kUntouched = reinterpret_cast<PVOID>(ULONG_PTR{0x5A5A});

struct RunResult {
  DWORD status = 0;
  unsigned long calls = 0;
  unsigned failAt = 0;  // the call made to fail, 0 for a clean run
  std::optional<winsim::FailedCallInfo> failed;
  COINSTALLER_CONTEXT_DATA context = {};
  std::vector<winsim::EventRecord> events;
  winsim::HandleCounts open;
  std::string openList;
  std::vector<winsim::VerifierStop> stops;
  std::vector<DWORD> ranksBefore, ranksAfter;  // the driver ranks, when the job asks for them
  std::string numberingBefore;
  std::string unchanged;  // what must not change: another maker's key, A's and B's controller values
};

struct Job {
  std::string name;
  reliability::MachineShape shape;
  DI_FUNCTION request = DIF_INSTALLDEVICE;
  std::function<void()> prepareMachine;  // clean work on the machine before the request
  // Readies the device set and the context as SetupAPI has them when it sends the request.
  std::function<void(machine::DeviceInSet &, COINSTALLER_CONTEXT_DATA &)> prepareRequest;
  // Problems with the outcome of one run; fills `exempt` with devices whose number the job may
  // give back while they keep their value.
  std::function<std::string(const RunResult &, std::set<std::string> *exempt)> check;
  bool ranks = false;
};

std::vector<DWORD> DriverRanks(machine::DeviceInSet &device) {
  std::vector<DWORD> ranks;
  SP_DRVINFO_DATA_A driver = {};
  driver.cbSize = sizeof(driver);
  for (DWORD index = 0; SetupDiEnumDriverInfoA(device.set, &device.data, SPDIT_COMPATDRIVER, index, &driver);
       ++index) {
    SP_DRVINSTALL_PARAMS params = {};
    params.cbSize = sizeof(params);
    SetupDiGetDriverInstallParamsA(device.set, &device.data, &driver, &params);
    ranks.push_back(params.Rank);
  }
  return ranks;
}

// What must not change in any run: other makers' keys are never the module's business, and the
// controller keys of A and B keep their values wherever their numbers go.
std::string Unchanged() {
  return winsim::ExportReg(reliability::kOtherMaker) + "|" + reliability::ControllerValues(kAdapterA) + "|" +
         reliability::ControllerValues(kAdapterB);
}

// The errors with which the platform answers that something is not there. Injected into a call on
// an object that exists, they make the platform deny it: the module can only believe that.
bool IsAbsenceAnswer(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_NO_MORE_ITEMS ||
         error == ERROR_KEY_DOES_NOT_EXIST;
}

// The event ids of the module's events; other sources and types are problems.
std::string ModuleEvents(const RunResult &run, std::vector<DWORD> *ids) {
  std::ostringstream out;
  for (const winsim::EventRecord &event : run.events) {
    if (event.source != "ORVIK.ISDN.Coinstaller" || event.type != EVENTLOG_ERROR_TYPE)
      out << "event " << event.id << " from " << event.source << " of type " << event.type << "\n";
    ids->push_back(event.id);
  }
  return out.str();
}

std::string ExpectNoEvents(const RunResult &run) {
  return run.events.empty() ? ""
                            : std::to_string(run.events.size()) + " events written by a phase that writes none\n";
}

class FailureSweep : public reliability::ReliabilityTest {
 protected:
  RunResult RunOnce(const Job &job, const std::function<void()> &arm, std::vector<std::string> *trace) {
    reliability::FreshMachine(drive_);
    reliability::BuildRealisticMachine(job.shape);
    if (job.prepareMachine) job.prepareMachine();

    RunResult run;
    {
      machine::DeviceInSet device(kAdapterC);
      COINSTALLER_CONTEXT_DATA context = {};
      job.prepareRequest(device, context);
      if (job.ranks) run.ranksBefore = DriverRanks(device);
      run.numberingBefore = winsim::ExportReg(machine::kCapi20);
      run.unchanged = Unchanged();
      winsim::ClearEvents();
      winsim::ResetCallCounts();
      if (trace) winsim::SetCallTrace([trace](const std::string &line) { trace->push_back(line); });
      if (arm) arm();
      run.status = DeviceCoInstallerFunc(job.request, device.set, &device.data, &context);
      run.calls = winsim::TotalCalls();
      run.stops = winsim::TakeVerifierStops();
      run.failed = winsim::FailedCall();
      winsim::ClearFaults();
      winsim::SetCallTrace(nullptr);
      run.context = context;
      if (job.ranks) run.ranksAfter = DriverRanks(device);
    }
    run.events = winsim::Events();
    run.open = winsim::OpenHandles();
    run.openList = winsim::DescribeOpenHandles();
    return run;
  }

  void Sweep(const Job &job) {
    std::set<std::pair<std::string, std::string>> points, exercised;
    std::map<std::string, int> outcomes;
    // A module keeps the quit message's number for its whole life: the first removal in the
    // process registers it. That one registration is made to fail first, then done cleanly, so
    // that the counted runs all start from the same state.
    if (job.shape.monitorRunning) {
      RunResult first = RunOnce(
          job, [] { winsim::FailNthCall("RegisterWindowMessageA", 1, ERROR_NOT_ENOUGH_MEMORY); }, nullptr);
      if (first.failed) {
        points.insert({first.failed->function, first.failed->subject});
        exercised.insert({first.failed->function, first.failed->subject});
        EXPECT_EQ(Judge(job, first, true, &outcomes), "") << job.name << ": " << Describe(*first.failed);
      }
      RunOnce(job, nullptr, nullptr);
    }

    std::vector<std::string> trace;
    const RunResult clean = RunOnce(job, nullptr, &trace);
    std::map<std::string, int> cleanOutcome;
    ASSERT_EQ(Judge(job, clean, true, &cleanOutcome), "") << job.name << ", clean run";
    ASSERT_EQ(trace.size(), clean.calls);
    // A trace line is "function subject -> result"; the subject and the result may be missing.
    cleanFunctions_.clear();
    for (const std::string &line : trace) {
      const size_t space = line.find(' ');
      const size_t result = line.find(" -> ");
      std::string subject;
      if (space != std::string::npos && space != result) subject = line.substr(space + 1, result - space - 1);
      points.insert({line.substr(0, space), subject});
      cleanFunctions_.push_back(line.substr(0, space));
    }

    unsigned long runs = 1, absenceRuns = 0;
    for (unsigned k = 1; k <= clean.calls; ++k) {
      RunResult run = RunOnce(
          job, [k] { winsim::FailNthPlatformCall(k); }, nullptr);
      run.failAt = k;
      ++runs;
      if (!run.failed) {
        ADD_FAILURE() << job.name << ": call " << k << " of " << clean.calls << " was never made";
        continue;
      }
      exercised.insert({run.failed->function, run.failed->subject});
      const bool absence = IsAbsenceAnswer(run.failed->error);
      EXPECT_EQ(Judge(job, run, !absence, &outcomes), "")
          << job.name << ": call " << k << " (" << Describe(*run.failed) << ")";
      if (!absence) continue;

      // The same call failing the way a call on an object that does exist can fail.
      const std::string function = run.failed->function;
      unsigned occurrence = 0;
      for (unsigned i = 0; i < k; ++i) occurrence += cleanFunctions_[i] == function;
      RunResult real = RunOnce(
          job, [&] { winsim::FailNthCall(function, occurrence, reliability::RealFailure(function)); }, nullptr);
      real.failAt = k;
      ++runs;
      ++absenceRuns;
      ASSERT_TRUE(real.failed.has_value()) << job.name << ": call " << k << " was not made again";
      EXPECT_EQ(Judge(job, real, true, &outcomes), "")
          << job.name << ": call " << k << " (" << Describe(*real.failed) << ")";
    }

    std::string missed;
    for (const auto &point : points)
      if (!exercised.count(point)) missed += "  " + point.first + " " + point.second + "\n";
    std::ostringstream outcomeText;
    for (const auto &[outcome, count] : outcomes) outcomeText << " " << outcome << " x" << count << ";";
    std::printf(
        "[sweep] %s: %lu platform calls, %zu distinct failure points; %lu runs (%lu calls also failed as "
        "on an existing object); outcomes:%s\n",
        job.name.c_str(), clean.calls, points.size(), runs, absenceRuns, outcomeText.str().c_str());
    EXPECT_EQ(missed, "") << job.name << ", never made to fail";
    winsim::Reset();  // what a failed release in the last run left open is the simulation's
  }

  static std::string Describe(const winsim::FailedCallInfo &call) {
    return call.function + " " + call.subject + " failing with " + std::to_string(call.error);
  }

  // Checks one run and then the machine's recovery: the next installation, without faults, leaves
  // the numbering whole. When the platform was made to deny an object that exists (`numbering`
  // false), the module acted on what it was told and the numbering is not judged.
  std::string Judge(const Job &job, const RunResult &run, bool numbering, std::map<std::string, int> *outcomes) {
    std::string problems;
    // Exactly the object of a release made to fail may remain open.
    const bool releaseFailed =
        run.failed && reliability::OpenOfKindReleasedBy(run.failed->function, run.open) == 1;
    if (run.open.Total() != 0 && !(releaseFailed && run.open.Total() == 1))
      problems += "left open:\n" + run.openList;
    if (!run.stops.empty()) problems += "stopped by the verifier:\n" + winsim::DescribeVerifierStops(run.stops);
    std::set<std::string> exempt;
    problems += job.check(run, &exempt);
    if (numbering) {
      problems += reliability::NumberingProblems(reliability::Rules::NoNumberLost, exempt);
      if (Unchanged() != run.unchanged)
        problems +=
            "another maker's key or a controller key's values changed:\n" + run.unchanged + "\n" + Unchanged();
    }

    winsim::ClearEvents();
    const long leftOpen = winsim::OpenHandles().Total();
    if (!reliability::InstallClean(kAdapterC)) problems += "the next installation was refused\n";
    if (winsim::OpenHandles().Total() != leftOpen)
      problems += "the next installation left open:\n" + reliability::OpenHandleReport();
    if (numbering) problems += reliability::NumberingProblems(reliability::Rules::All);

    std::ostringstream outcome;
    // A thread that waits for a message with nothing to come would wait forever on Windows.
    for (const winsim::VerifierStop &stop : run.stops)
      outcome << (stop.function == "GetMessageA" || stop.function == "SendMessageA" ? "hang in " : "stop in ")
              << stop.function << "/";
    outcome << std::hex << run.status;
    for (const winsim::EventRecord &event : run.events) outcome << "/" << std::dec << event.id;
    ++(*outcomes)[outcome.str()];
    return problems;
  }

  // The position (1-based) of the first call of `function` in the clean run, 0 if none.
  unsigned FirstCallOf(const std::string &function) const {
    const auto found = std::find(cleanFunctions_.begin(), cleanFunctions_.end(), function);
    return found == cleanFunctions_.end() ? 0 : static_cast<unsigned>(found - cleanFunctions_.begin() + 1);
  }

  std::vector<std::string> cleanFunctions_;
};

TEST_F(FailureSweep, DriverChoice) {
  Job job;
  job.name = "driver choice";
  job.request = DIF_SELECTBESTCOMPATDRV;
  job.ranks = true;
  job.prepareMachine = [] {
    winsim::PutFile("C:\\WINDOWS\\inf\\oem1.inf", machine::DriverInf("Older driver", "01/15/2000"));
    winsim::PutFile("C:\\WINDOWS\\inf\\oem2.inf", machine::DriverInf("Newer driver", "06/26/2001"));
    winsim::PutFile("C:\\WINDOWS\\inf\\oem3.inf", machine::DriverInf("Undated driver", std::nullopt));
    winsim::PutFile("C:\\WINDOWS\\inf\\oem4.inf", machine::DriverInf("Newest driver", "03-01-2002"));
  };
  job.prepareRequest = [](machine::DeviceInSet &device, COINSTALLER_CONTEXT_DATA &) {
    ASSERT_TRUE(SetupDiBuildDriverInfoList(device.set, &device.data, SPDIT_COMPATDRIVER));
  };
  job.check = [](const RunResult &run, std::set<std::string> *) {
    std::ostringstream out;
    if (run.status != NO_ERROR) out << "status " << std::hex << run.status << ", driver choice always returns 0\n";
    out << ExpectNoEvents(run);
    if (winsim::ExportReg(machine::kCapi20) != run.numberingBefore) out << "the numbering changed\n";
    if (run.ranksAfter.size() != run.ranksBefore.size()) return out.str() + "the driver list changed its length\n";
    // Each driver keeps its rank or drops one; at most one is elected to the best rank.
    int elected = 0;
    for (size_t i = 0; i < run.ranksBefore.size(); ++i) {
      const DWORD before = run.ranksBefore[i], after = run.ranksAfter[i];
      if (after == before || after == before + 1) continue;
      if (after != 0) out << "driver " << i << " went from rank " << before << " to " << after << "\n";
      elected += after == 0;
    }
    if (elected > 1) out << elected << " drivers were given the best rank\n";
    return out.str();
  };
  Sweep(job);
}

TEST_F(FailureSweep, PreInstall) {
  Job job;
  job.name = "pre-install";
  job.prepareRequest = [](machine::DeviceInSet &device, COINSTALLER_CONTEXT_DATA &context) {
    device.SelectDriver();
    context.PrivateData = kUntouched;
  };
  job.check = [this](const RunResult &run, std::set<std::string> *exempt) {
    std::ostringstream out;
    std::vector<DWORD> ids;
    out << ModuleEvents(run, &ids);
    const reliability::DeviceNumbering c = reliability::ReadNumbering(kAdapterC);
    const bool classListFailed = run.failed && run.failAt == FirstCallOf("SetupDiGetClassDevsA");
    const bool selectionFailed = run.failed && run.failed->function == "SetupDiGetSelectedDriverA";

    if (run.status == ERROR_DI_POSTPROCESSING_REQUIRED) {
      if (!ids.empty()) out << "an installation that goes ahead wrote event " << ids[0] << "\n";
      if (classListFailed || selectionFailed) out << "went ahead without the class list or the selected driver\n";
      // Told that the maker's key is not there, the module rightly made one of its own.
      const bool toldAbsent = run.failed && IsAbsenceAnswer(run.failed->error);
      if (!toldAbsent && (!c.number || !c.keyExists))
        out << "went ahead, but the device holds no registered number\n";
      if (c.number && machine::PrivateNumber(run.context) != *c.number)
        out << "PrivateData " << machine::PrivateNumber(run.context) << ", the device holds " << *c.number << "\n";
      return out.str();
    }
    if (run.status != ERROR_DI_DONT_INSTALL)
      return out.str() + "status " + std::to_string(run.status) + " is neither of the two the phase returns\n";
    if (run.context.PrivateData != kUntouched) out << "a refusal changed PrivateData\n";
    if (ids.size() != 1) return out.str() + "a refusal wrote " + std::to_string(ids.size()) + " events\n";
    const DWORD id = ids[0];
    if (classListFailed != (id == EVENT_GET_CLASS_DEVS_FAILED))
      out << "event " << id << " for the class list call\n";
    if (selectionFailed != (id == EVENT_GET_SELECTED_DRIVER_FAILED))
      out << "event " << id << " for the selection\n";
    const bool withError = id == EVENT_GET_CLASS_DEVS_FAILED || id == EVENT_GET_SELECTED_DRIVER_FAILED;
    if (run.events[0].data != (withError ? machine::LittleEndian(run.failed->error) : std::vector<BYTE>{}))
      out << "event " << id << " does not carry what it should\n";
    if (id == EVENT_SET_CAPI_DEVICE_NAME_FAILED) {
      // The number went back; the device's value stays.
      if (!c.number) out << "the device lost its value after event 2005\n";
      exempt->insert(kAdapterC);
    } else if (id == EVENT_ADD_CAPI_DEVICE_FAILED || id == EVENT_SET_CONTROLLER_FAILED) {
      if (c.number) out << "the device holds a number after event " << id << "\n";
    } else if (!withError) {
      out << "unknown event " << id << "\n";
    }
    if (machine::AutoexecHasBlock()) out << "a refused installation added the autoexec.nt block\n";
    return out.str();
  };
  Sweep(job);
}

// Post-processing after the installation's default action: the pre-install ran cleanly and left
// its number in the context.
Job PostProcessingJob(const std::string &name, const reliability::MachineShape &shape, DWORD installResult) {
  static DWORD number = 0;
  Job job;
  job.name = name;
  job.shape = shape;
  job.prepareMachine = [] {
    ASSERT_EQ(reliability::PreInstall(kAdapterC, &number), ERROR_DI_POSTPROCESSING_REQUIRED);
  };
  job.prepareRequest = [installResult](machine::DeviceInSet &, COINSTALLER_CONTEXT_DATA &context) {
    context.PostProcessing = TRUE;
    context.InstallResult = installResult;
    context.PrivateData = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(number));
  };
  job.check = [installResult](const RunResult &run, std::set<std::string> *) {
    std::ostringstream out;
    if (run.status != installResult)
      out << "status " << std::hex << run.status << ", the installation's own is due\n";
    out << ExpectNoEvents(run);
    // After a failed installation, or without a number (a channel count that could not be
    // recorded), nothing of the tools set-up may follow.
    if (installResult != NO_ERROR || !reliability::ReadNumbering(kAdapterC).number) {
      if (!winsim::StartedProcesses().empty()) out << "programs started after the number went back\n";
      if (winsim::GetValue(machine::kRunKey, "ONLMonitor"))
        out << "Run entry written after the number went back\n";
    }
    return out.str();
  };
  return job;
}

TEST_F(FailureSweep, PostInstall) {
  reliability::MachineShape box;
  box.lptBox = true;
  Sweep(PostProcessingJob("post-install", {}, NO_ERROR));
  Sweep(PostProcessingJob("post-install, parallel-port box", box, NO_ERROR));
}

TEST_F(FailureSweep, FailedInstallation) {
  Sweep(PostProcessingJob("failed installation", {}, reliability::kCopyFailure));
}

Job RemovalJob(const std::string &name, bool lastAdapter) {
  Job job;
  job.name = name;
  job.request = DIF_REMOVE;
  job.shape.adapterAPresent = !lastAdapter;
  job.shape.monitorRunning = lastAdapter;
  job.prepareMachine = [] { ASSERT_TRUE(reliability::InstallClean(kAdapterC)); };
  job.prepareRequest = [](machine::DeviceInSet &, COINSTALLER_CONTEXT_DATA &) {};
  job.check = [](const RunResult &run, std::set<std::string> *exempt) {
    exempt->insert(kAdapterC);
    return (run.status != NO_ERROR ? "status " + std::to_string(run.status) + ", a removal is never refused\n"
                                   : "") +
           ExpectNoEvents(run);
  };
  return job;
}

TEST_F(FailureSweep, Removal) {
  Sweep(RemovalJob("removal of the last adapter", true));
  Sweep(RemovalJob("removal of one of two adapters", false));
}

}  // namespace
