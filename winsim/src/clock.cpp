// Virtual time: the clock behind GetTickCount, Sleep and the timers, and the work that other
// simulated processes have scheduled. Time only moves when the program sleeps or when its thread
// waits for messages with nothing to do, so long waits cost no real time and every run is the
// same.
#include <map>
#include <utility>

#include "internal.h"
#include "user32_internal.h"

namespace winsim {
namespace detail {
namespace {

struct ClockState {
  uint64_t nowMs = 0;
  uint64_t nextSequence = 0;
  // Keyed by (due time, order of scheduling) so that equal times keep their order.
  std::map<std::pair<uint64_t, uint64_t>, std::function<void()>> actions;
};

ClockState &Clock() {
  static ClockState state;
  return state;
}

// The work other processes scheduled ends with a restart; the clock itself runs on.
const bool registered =
    RegisterFamily({[] { Clock() = ClockState{}; }, nullptr, nullptr, [] { Clock().actions.clear(); }});

}  // namespace

uint64_t ClockNow() {
  return Clock().nowMs;
}

void ClockAdvanceTo(uint64_t timeMs) {
  if (timeMs > Clock().nowMs) Clock().nowMs = timeMs;
}

void ClockSchedule(uint64_t atMs, std::function<void()> action) {
  ClockState &c = Clock();
  c.actions.emplace(std::make_pair(atMs, c.nextSequence++), std::move(action));
}

std::optional<uint64_t> ClockNextAction() {
  const ClockState &c = Clock();
  if (c.actions.empty()) return std::nullopt;
  return c.actions.begin()->first.first;
}

bool ClockRunDueAction() {
  ClockState &c = Clock();
  if (c.actions.empty() || c.actions.begin()->first.first > c.nowMs) return false;
  // Taken out before it runs: the action may schedule more work or reset the machine.
  std::function<void()> action = std::move(c.actions.begin()->second);
  c.actions.erase(c.actions.begin());
  action();
  return true;
}

}  // namespace detail

uint64_t NowMs() {
  return detail::ClockNow();
}

void ScheduleAt(uint64_t atMs, std::function<void()> action) {
  if (action) detail::ClockSchedule(atMs, std::move(action));
}

}  // namespace winsim

using namespace winsim::detail;

extern "C" {

DWORD WINAPI GetTickCount(void) {
  // Cannot fail; an injected fault is counted and otherwise ignored.
  (void)Enter("GetTickCount", "", ERROR_SUCCESS);
  return static_cast<DWORD>(ClockNow());  // wraps after 49.7 days, as on Windows
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  (void)Enter("Sleep", std::to_string(dwMilliseconds), ERROR_SUCCESS);
  const uint64_t wakeAt = ClockNow() + dwMilliseconds;
  // The other processes go on while this thread sleeps: their work that falls due before the
  // wake-up time runs at its own time. Messages sent to this thread's windows meanwhile wait
  // until it looks at its queue again.
  for (;;) {
    RunOtherProcesses();
    std::optional<uint64_t> next = ClockNextAction();
    if (!next || *next > wakeAt) break;
    ClockAdvanceTo(*next);
  }
  ClockAdvanceTo(wakeAt);
  RunOtherProcesses();
}

}  // extern "C"
