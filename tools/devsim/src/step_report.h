// What one step changed on the simulated machine, for the report: the state before and after it
// (registry, autoexec.nt, files of drive C:) and the records the platform kept meanwhile (events,
// started programs, counter-loader calls, the quit exchange's messages).
#ifndef DEVSIM_STEP_REPORT_H
#define DEVSIM_STEP_REPORT_H

#include <winsim.h>

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>

#include "reg_diff.h"

namespace devsim {

struct FileStamp {
  uint64_t size = 0;
  size_t hash = 0;
  bool operator==(const FileStamp &other) const { return size == other.size && hash == other.hash; }
};

struct Snapshot {
  RegState registry;
  std::optional<std::string> autoexec;
  std::map<std::string, FileStamp> files;  // by Windows path
  size_t events = 0, processes = 0, loadPerfCalls = 0, messages = 0;
};

// The Windows path of autoexec.nt on the simulated machine.
std::string AutoexecPath();

Snapshot TakeSnapshot();

// Prints every change between the two snapshots, one titled block per kind of change; kinds without
// a change are left out.
void ReportChanges(const Snapshot &before, const Snapshot &after, std::ostream &out);

// The event's message text from the message file its source registered, as the event viewer reads
// it, or a note saying why there is none.
std::string EventMessageText(const winsim::EventRecord &event);

// "QuitQuery" and the other codes of the quit message, else "code N".
std::string QuitCodeName(WPARAM code);

}  // namespace devsim

#endif  // DEVSIM_STEP_REPORT_H
