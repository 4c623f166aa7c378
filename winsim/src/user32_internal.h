// What the window manager (user32.cpp), the virtual clock (clock.cpp) and the quit listeners
// (listeners.cpp) share. The simulated machine runs one thread of the program under test (the
// "module thread"); windows of other processes are "foreign" windows whose behaviour is a C++
// handler, run when the module thread lets the other processes run.
#ifndef WINSIM_USER32_INTERNAL_H
#define WINSIM_USER32_INTERNAL_H

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace winsim::detail {

// ---- Virtual clock and the other processes' scheduled work (clock.cpp) ---------------------
uint64_t ClockNow();
// Moves the clock forward (never back).
void ClockAdvanceTo(uint64_t timeMs);
// Adds an action that runs once the clock has reached atMs; actions due at the same time run in
// the order they were added.
void ClockSchedule(uint64_t atMs, std::function<void()> action);
// Time of the earliest action still waiting, if any.
std::optional<uint64_t> ClockNextAction();
// Takes out and runs the earliest action that is due; false when none is due.
bool ClockRunDueAction();

// ---- Window manager (user32.cpp) -----------------------------------------------------------
// Name under which trace entries and descriptions show the program under test.
inline constexpr const char *kModuleProcessName = "module";

// Lets the other processes run at the current virtual time: foreign windows handle the
// messages posted to them and due scheduled actions run, until nothing more is left to do.
void RunOtherProcesses();

// Registered message number for a name (case-insensitive), 0 when the name is unusable or the
// table is full. Does not count as a platform call.
UINT RegisterMessageName(const std::string &name);

using ForeignHandler = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;
// A top-level window of another process named `owner` (trace and descriptions), whose messages
// go to `handler`. Not counted as a handle of the program under test.
HWND CreateForeignWindow(const std::string &owner, ForeignHandler handler);
// Removes a foreign window and drops the messages still posted to it.
void DestroyForeignWindow(HWND window);
bool ForeignWindowAlive(HWND window);
// The thread of a foreign window handles no message from fromMs for forMs (UINT64_MAX: for good).
void SetForeignWindowHang(HWND window, uint64_t fromMs, uint64_t forMs);

// Messages that another process sends or posts (recorded in the message trace with `from`).
// A message sent to a window of the module thread is handled at once while that thread waits
// for messages (in GetMessageA, PeekMessageA or its own SendMessageA); otherwise it waits for
// the thread's next look at its queue.
void SendFromOtherProcess(const std::string &from, HWND to, UINT message, WPARAM wParam, LPARAM lParam);
void PostFromOtherProcess(const std::string &from, HWND to, UINT message, WPARAM wParam, LPARAM lParam);
// A thread message (no window) that another process posts to the thread of `window`.
void PostToThreadOfWindow(const std::string &from, HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace winsim::detail

#endif  // WINSIM_USER32_INTERNAL_H
