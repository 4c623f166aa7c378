// The simulated window manager (user32, and the few gdi32 stock objects a window class needs):
// registered messages, window classes, windows, the module thread's message queue, timers, and
// the message exchange with windows of other simulated processes.
//
// One thread of the program under test runs here (the "module thread"). Its queue holds posted
// messages in order; WM_QUIT and WM_TIMER are not queued but generated when nothing posted is
// waiting, as Windows does. Windows of other processes are foreign windows with a C++ handler:
// they handle a sent message at once and a posted one when the module thread lets the other
// processes run, which it does whenever it looks at its queue or sleeps.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "internal.h"
#include "user32_internal.h"

namespace winsim {
namespace detail {
namespace {

// ---- Platform limits and fixed values ------------------------------------------------------
constexpr UINT kFirstRegisteredAtom = 0xC000;  // registered messages and class atoms
constexpr UINT kLastRegisteredAtom = 0xFFFF;
constexpr size_t kMaxAtomNameLength = 255;
constexpr UINT kTimerMinimumMs = 10;           // USER_TIMER_MINIMUM
constexpr UINT kTimerMaximumMs = 0x7FFFFFFF;   // USER_TIMER_MAXIMUM
constexpr size_t kPostedMessageQuota = 10000;  // posted messages one queue holds
// A thread that has handled no message for longer than this counts as hung (IsHungAppWindow,
// SMTO_ABORTIFHUNG).
constexpr uint64_t kHungAfterMs = 5000;
constexpr uint64_t kNever = UINT64_MAX;  // a wait without end
constexpr DWORD kModuleThreadId = 0x0A54;
constexpr LONG kWsPopup = static_cast<LONG>(0x80000000L);
constexpr UINT kWmKeyUp = 0x0101;
constexpr UINT kWmSysKeyDown = 0x0104;
constexpr UINT kWmSysKeyUp = 0x0105;
constexpr DWORD kErrorTlwWithWsChild = 1406;   // ERROR_TLW_WITH_WSCHILD
constexpr DWORD kErrorInvalidThreadId = 1444;  // ERROR_INVALID_THREAD_ID
constexpr DWORD kErrorNotEnoughQuota = 1816;   // ERROR_NOT_ENOUGH_QUOTA
// The hWnd filter of GetMessageA / PeekMessageA that selects messages posted to no window.
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

// Handle values of objects that are not in the handle table. They are odd, so they never equal
// a handle-table value (multiples of 4), and foreign windows start far above any table value.
constexpr uintptr_t kForeignWindowBase = 0x40000000;
constexpr uintptr_t kSystemIconBase = 0x00200001;
constexpr uintptr_t kSystemCursorBase = 0x00300001;
constexpr uintptr_t kStockObjectBase = 0x00400001;
constexpr uintptr_t kSharedObjectStep = 8;

// Predefined resources (LoadIconA / LoadCursorA with no instance) and stock objects.
constexpr WORD kSystemIcons[] = {32512, 32513, 32514, 32515, 32516, 32517, 32518};
constexpr WORD kSystemCursors[] = {32512, 32513, 32514, 32515, 32516, 32631, 32640, 32641, 32642,
                                   32643, 32644, 32645, 32646, 32648, 32649, 32650, 32651};
constexpr int kLastStockObject = 19;
constexpr int kNoSuchStockObject = 9;  // the one gap in 0..19

// ---- Atom table of registered names --------------------------------------------------------
// Registered message numbers and class atoms share one table, as on Windows. It survives
// Reset(): a loaded module may keep a message number for its whole life, and the number stays
// right for it from one simulated machine to the next.
struct AtomTable {
  std::map<std::string, UINT> byUpperName;
  std::map<UINT, std::string> names;
  UINT next = kFirstRegisteredAtom;
};

AtomTable &Atoms() {
  static AtomTable table;
  return table;
}

bool UsableAtomName(const std::string &name) {
  return !name.empty() && name.size() <= kMaxAtomNameLength;
}

UINT AddAtom(const std::string &name) {
  if (!UsableAtomName(name)) return 0;
  AtomTable &t = Atoms();
  auto it = t.byUpperName.find(Upper(name));
  if (it != t.byUpperName.end()) return it->second;
  if (t.next > kLastRegisteredAtom) return 0;
  UINT atom = t.next++;
  t.byUpperName.emplace(Upper(name), atom);
  t.names.emplace(atom, name);
  return atom;
}

std::optional<std::string> AtomName(UINT atom) {
  auto it = Atoms().names.find(atom);
  if (it == Atoms().names.end()) return std::nullopt;
  return it->second;
}

// ---- Windows, classes, timers, queues ------------------------------------------------------
struct ClassRec {
  std::string name;  // as registered
  ATOM atom = 0;
  WNDCLASSA wc{};
  long windows = 0;
};
using ClassKey = std::pair<std::string, uintptr_t>;  // upper-case name, instance

struct WindowRec {
  HWND hwnd = nullptr;
  bool foreign = false;
  std::string owner;  // process name for the trace
  WNDPROC proc = nullptr;
  ForeignHandler handler;
  ClassKey classKey;
  std::string className;
  HWND parent = nullptr;       // child windows only
  HWND ownerWindow = nullptr;  // owned top-level windows only
  bool messageOnly = false;
  bool destroying = false;
  // A foreign window's thread handles no message from hangFromMs until hangUntilMs.
  uint64_t hangFromMs = 0;
  uint64_t hangUntilMs = 0;
};

struct TimerRec {
  HWND hwnd = nullptr;
  UINT_PTR id = 0;
  UINT elapseMs = 0;
  TIMERPROC proc = nullptr;
  uint64_t dueMs = 0;
  uint64_t order = 0;
};

struct Posted {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  DWORD time = 0;
};

struct IncomingSend {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  size_t traceIndex = SIZE_MAX;  // the send's trace entry, which gets the window's result
};

struct WmState {
  std::map<uintptr_t, WindowRec> windows;
  std::vector<HWND> creationOrder;  // every live window, oldest first
  std::map<ClassKey, ClassRec> classes;
  std::vector<TimerRec> timers;
  uint64_t nextTimerOrder = 0;
  UINT_PTR nextThreadTimerId = 1;
  std::deque<Posted> moduleQueue;
  bool quitPending = false;
  int quitCode = 0;
  std::deque<IncomingSend> incomingSends;  // sent by others while the module thread was busy
  std::deque<Posted> foreignQueue;         // posted to other processes' windows
  uintptr_t nextForeignWindow = kForeignWindowBase;
  // True while the module thread waits for messages: then a message that another process sends
  // to one of its windows is handled at once.
  bool receiving = false;
  std::vector<MessageTraceEntry> trace;
};

WmState &S() {
  static WmState state;
  return state;
}

struct WindowHandle : HandleObject {
  explicit WindowHandle(std::string text) : HandleObject(HandleKind::Window), description(std::move(text)) {}
  std::string Describe() const override { return description; }
  std::string description;
};

std::string Hex(uintptr_t value) {
  char text[2 + 2 * sizeof(uintptr_t) + 1];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string HandleText(const void *handle) {
  return Hex(reinterpret_cast<uintptr_t>(handle));
}

WindowRec *Find(HWND hwnd) {
  auto it = S().windows.find(reinterpret_cast<uintptr_t>(hwnd));
  return it == S().windows.end() ? nullptr : &it->second;
}

WindowRec *FindModuleWindow(HWND hwnd) {
  WindowRec *rec = Find(hwnd);
  return rec && !rec->foreign ? rec : nullptr;
}

// Whether a window handle given to `function` is one of the program's own windows that is gone
// (destroyed before, or of the machine before its restart), which the verifier stops: the program
// holds on to a window it no longer has. Windows of other processes may go at any moment, so a
// gone one of theirs is no misuse.
bool StaleOwnWindow(const char *function, HWND hwnd) {
  if (!hwnd || Find(hwnd) || !IsHandleTableValue(hwnd)) return false;
  VerifyHandle(function, hwnd, {HandleKind::Window});
  return true;
}

std::string MessageName(UINT message) {
  switch (message) {
    case WM_NULL:
      return "WM_NULL";
    case WM_CREATE:
      return "WM_CREATE";
    case WM_DESTROY:
      return "WM_DESTROY";
    case WM_CLOSE:
      return "WM_CLOSE";
    case WM_QUIT:
      return "WM_QUIT";
    case WM_NCCREATE:
      return "WM_NCCREATE";
    case WM_NCDESTROY:
      return "WM_NCDESTROY";
    case WM_KEYDOWN:
      return "WM_KEYDOWN";
    case kWmKeyUp:
      return "WM_KEYUP";
    case WM_CHAR:
      return "WM_CHAR";
    case WM_TIMER:
      return "WM_TIMER";
    case WM_USER:
      return "WM_USER";
    case WM_APP:
      return "WM_APP";
    default:
      break;
  }
  if (message > WM_USER && message < WM_APP) return "WM_USER+" + std::to_string(message - WM_USER);
  if (message > WM_APP && message < kFirstRegisteredAtom) return "WM_APP+" + std::to_string(message - WM_APP);
  if (message >= kFirstRegisteredAtom) {
    if (std::optional<std::string> name = AtomName(message)) return *name;
  }
  return Hex(message);
}

// Who a window belongs to, as the trace names it.
std::string ProcessOf(HWND hwnd) {
  if (hwnd == HWND_BROADCAST) return "broadcast";
  if (hwnd == nullptr) return kModuleProcessName;  // a thread message of the module thread
  if (WindowRec *rec = Find(hwnd)) return rec->owner;
  return HandleText(hwnd);
}

std::string WindowText(HWND hwnd) {
  if (hwnd == HWND_BROADCAST) return "HWND_BROADCAST";
  WindowRec *rec = Find(hwnd);
  if (!rec) return HandleText(hwnd);
  if (rec->foreign) return HandleText(hwnd) + " of " + rec->owner;
  return HandleText(hwnd) + " of class \"" + rec->className + "\"";
}

std::string MessageSubject(HWND to, UINT message, WPARAM wParam) {
  return MessageName(message) + "(" + std::to_string(wParam) + ") to " + (to ? WindowText(to) : "the thread");
}

void Record(const std::string &from, const std::string &to, UINT message, WPARAM wParam, bool sent,
            const std::string &note = "") {
  MessageTraceEntry entry;
  entry.timeMs = ClockNow();
  entry.from = from;
  entry.to = to;
  entry.message = message;
  entry.messageName = MessageName(message);
  entry.wParam = wParam;
  entry.sent = sent;
  entry.note = note;
  S().trace.push_back(std::move(entry));
}

// Sets the receiving state for a scope and puts the previous one back.
class ReceivingScope {
 public:
  explicit ReceivingScope(bool receiving) : saved_(S().receiving) { S().receiving = receiving; }
  ~ReceivingScope() { S().receiving = saved_; }
  ReceivingScope(const ReceivingScope &) = delete;
  ReceivingScope &operator=(const ReceivingScope &) = delete;

 private:
  bool saved_;
};

// Runs the window procedure of a window of the module thread. While it runs, the thread is busy,
// not waiting for messages.
LRESULT CallModuleProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  WindowRec *rec = FindModuleWindow(hwnd);
  if (!rec || !rec->proc) return 0;
  WNDPROC proc = rec->proc;
  ReceivingScope busy(false);
  return proc(hwnd, message, wParam, lParam);
}

LRESULT CallForeignHandler(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  WindowRec *rec = Find(hwnd);
  if (!rec || !rec->foreign || !rec->handler) return 0;
  ForeignHandler handler = rec->handler;  // a copy: the window may go away while it runs
  return handler(hwnd, message, wParam, lParam);
}

bool Unresponsive(const WindowRec &rec) {
  return rec.foreign && ClockNow() >= rec.hangFromMs && ClockNow() < rec.hangUntilMs;
}

// Hung as the platform tells it: its thread has handled nothing for longer than the threshold.
bool LooksHung(const WindowRec &rec) {
  return Unresponsive(rec) && ClockNow() - rec.hangFromMs > kHungAfterMs;
}

void DeliverIncomingSends();

// The module thread waits until a window of another process whose thread handles nothing takes
// messages again, or until deadlineMs. Meanwhile the other processes' work runs at its time and,
// when `receiving`, the module thread handles the messages sent to it. False when the window did
// not come back in time or went away; a wait that could never end is stopped by the verifier.
bool WaitForWindow(HWND hwnd, uint64_t deadlineMs, bool receiving, const char *function) {
  ReceivingScope scope(receiving);
  for (;;) {
    if (receiving) DeliverIncomingSends();
    RunOtherProcesses();
    WindowRec *rec = Find(hwnd);
    if (!rec) return false;
    if (!Unresponsive(*rec)) return true;
    if (ClockNow() >= deadlineMs) return false;
    uint64_t wake = std::min(rec->hangUntilMs, deadlineMs);
    if (std::optional<uint64_t> next = ClockNextAction()) wake = std::min(wake, *next);
    if (wake == kNever) {
      StopByVerifier(function, "the thread would wait forever for " + WindowText(hwnd) +
                                   ", which never handles a message again");
      return false;
    }
    ClockAdvanceTo(wake);
  }
}

// A message that the module thread sends: its own windows' procedures run directly. A window of
// another process handles it once its thread takes messages; the module thread waits for that
// (until deadlineMs) and meanwhile, when `receiving`, handles the messages sent to it, the answers
// included. False when the window did not take the message.
bool DeliverSentByModule(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, const char *function,
                         LRESULT *result, uint64_t deadlineMs = kNever, bool receiving = true) {
  WindowRec *rec = Find(hwnd);
  if (!rec) return false;
  if (!rec->foreign) {
    *result = CallModuleProc(hwnd, message, wParam, lParam);
    return true;
  }
  if (Unresponsive(*rec) && !WaitForWindow(hwnd, deadlineMs, receiving, function)) return false;
  ReceivingScope waiting(receiving);
  *result = CallForeignHandler(hwnd, message, wParam, lParam);
  return true;
}

// One window of SendMessageTimeoutA: the module thread's own windows are called directly, whatever
// the bound; a window of another process that looks hung is passed over at once under
// SMTO_ABORTIFHUNG, and one that does not take the message within the bound is given up (the
// message is then dropped, as Wine drops it). SMTO_BLOCK keeps the module thread from handling the
// messages sent to it meanwhile.
bool SendWithTimeout(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT flags, UINT timeoutMs,
                     LRESULT *result) {
  WindowRec *rec = Find(hwnd);
  if (!rec) return false;
  if ((flags & SMTO_ABORTIFHUNG) && LooksHung(*rec)) {
    Record(kModuleProcessName, rec->owner, message, wParam, true,
           "passed over: not responding for " + std::to_string(ClockNow() - rec->hangFromMs) + " ms");
    return false;
  }
  const std::string owner = rec->owner;
  if (DeliverSentByModule(hwnd, message, wParam, lParam, "SendMessageTimeoutA", result, ClockNow() + timeoutMs,
                          (flags & SMTO_BLOCK) == 0))
    return true;
  if (Find(hwnd))
    Record(kModuleProcessName, owner, message, wParam, true,
           "timed out after " + std::to_string(timeoutMs) + " ms");
  return false;
}

// Top-level windows that a broadcast reaches, oldest first.
std::vector<HWND> BroadcastTargets() {
  std::vector<HWND> targets;
  for (HWND hwnd : S().creationOrder) {
    WindowRec *rec = Find(hwnd);
    if (rec && !rec->parent && !rec->messageOnly && !rec->destroying) targets.push_back(hwnd);
  }
  return targets;
}

// Queues a posted message for a window (or the module thread when hwnd is NULL).
bool QueuePosted(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Posted posted{hwnd, message, wParam, lParam, static_cast<DWORD>(ClockNow())};
  WindowRec *rec = hwnd ? Find(hwnd) : nullptr;
  if (hwnd && !rec) return false;
  std::deque<Posted> &queue = rec && rec->foreign ? S().foreignQueue : S().moduleQueue;
  if (queue.size() >= kPostedMessageQuota) return false;
  queue.push_back(posted);
  return true;
}

void DeliverIncomingSends() {
  while (!S().incomingSends.empty()) {
    IncomingSend send = S().incomingSends.front();
    S().incomingSends.pop_front();
    const LRESULT result = CallModuleProc(send.hwnd, send.message, send.wParam, send.lParam);
    if (send.traceIndex < S().trace.size()) S().trace[send.traceIndex].result = result;
  }
}

bool IsSelfOrDescendant(HWND hwnd, HWND ancestor) {
  for (WindowRec *rec = Find(hwnd); rec; rec = Find(rec->parent)) {
    if (rec->hwnd == ancestor) return true;
    if (!rec->parent) break;
  }
  return false;
}

bool MatchesWindowFilter(HWND messageWindow, HWND filter) {
  if (filter == nullptr) return true;
  if (filter == kThreadMessagesOnly) return messageWindow == nullptr;
  return messageWindow != nullptr && IsSelfOrDescendant(messageWindow, filter);
}

bool MatchesRange(UINT message, UINT first, UINT last) {
  if (first == 0 && last == 0) return true;
  return message >= first && message <= last;
}

bool ValidWindowFilter(HWND filter) {
  return filter == nullptr || filter == kThreadMessagesOnly || Find(filter);
}

void FillMsg(MSG *msg, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, DWORD time) {
  msg->hwnd = hwnd;
  msg->message = message;
  msg->wParam = wParam;
  msg->lParam = lParam;
  msg->time = time;
  msg->pt.x = 0;
  msg->pt.y = 0;
}

TimerRec *DueTimer(HWND filter) {
  TimerRec *best = nullptr;
  for (TimerRec &timer : S().timers) {
    if (timer.dueMs > ClockNow() || !MatchesWindowFilter(timer.hwnd, filter)) continue;
    if (!best || timer.dueMs < best->dueMs || (timer.dueMs == best->dueMs && timer.order < best->order))
      best = &timer;
  }
  return best;
}

// Takes the next message of the module thread in Windows' order: posted messages first, then a
// pending quit request (whatever the filter), then a due timer. A timer has at most one WM_TIMER
// pending; taking it starts the next period.
bool Retrieve(MSG *msg, HWND filter, UINT first, UINT last, bool remove) {
  std::deque<Posted> &queue = S().moduleQueue;
  for (auto it = queue.begin(); it != queue.end(); ++it) {
    if (!MatchesWindowFilter(it->hwnd, filter) || !MatchesRange(it->message, first, last)) continue;
    FillMsg(msg, it->hwnd, it->message, it->wParam, it->lParam, it->time);
    if (remove) queue.erase(it);
    return true;
  }
  if (S().quitPending) {
    FillMsg(msg, nullptr, WM_QUIT, static_cast<WPARAM>(static_cast<LONG_PTR>(S().quitCode)), 0,
            static_cast<DWORD>(ClockNow()));
    if (remove) S().quitPending = false;
    return true;
  }
  if (!MatchesRange(WM_TIMER, first, last)) return false;
  TimerRec *timer = DueTimer(filter);
  if (!timer) return false;
  FillMsg(msg, timer->hwnd, WM_TIMER, timer->id, reinterpret_cast<LPARAM>(timer->proc),
          static_cast<DWORD>(ClockNow()));
  if (remove) {
    timer->dueMs = ClockNow() + timer->elapseMs;
    Record("system", ProcessOf(timer->hwnd), WM_TIMER, timer->id, false);
  }
  return true;
}

// When the module thread could next have something to take: the next scheduled action of
// another process or the next timer that the filter lets through.
std::optional<uint64_t> NextWake(HWND filter, UINT first, UINT last) {
  std::optional<uint64_t> next = ClockNextAction();
  if (!MatchesRange(WM_TIMER, first, last)) return next;
  for (const TimerRec &timer : S().timers) {
    if (!MatchesWindowFilter(timer.hwnd, filter)) continue;
    if (!next || timer.dueMs < *next) next = timer.dueMs;
  }
  return next;
}

// ---- Window destruction --------------------------------------------------------------------
void MarkDestroying(HWND hwnd) {
  if (WindowRec *rec = Find(hwnd)) rec->destroying = true;
  for (HWND child : S().creationOrder) {
    WindowRec *rec = Find(child);
    if (rec && rec->parent == hwnd && !rec->destroying) MarkDestroying(child);
  }
}

std::vector<HWND> ChildrenOf(HWND hwnd) {
  std::vector<HWND> children;
  for (HWND candidate : S().creationOrder) {
    WindowRec *rec = Find(candidate);
    if (rec && rec->parent == hwnd) children.push_back(candidate);
  }
  return children;
}

// WM_DESTROY goes to a window before its children, WM_NCDESTROY to the children first.
void SendDestroy(HWND hwnd) {
  CallModuleProc(hwnd, WM_DESTROY, 0, 0);
  for (HWND child : ChildrenOf(hwnd)) SendDestroy(child);
}

void FreeWindow(HWND hwnd) {
  for (HWND child : ChildrenOf(hwnd)) FreeWindow(child);
  CallModuleProc(hwnd, WM_NCDESTROY, 0, 0);
  WmState &s = S();
  WindowRec *rec = Find(hwnd);
  if (!rec) return;
  s.timers.erase(
      std::remove_if(s.timers.begin(), s.timers.end(), [&](const TimerRec &t) { return t.hwnd == hwnd; }),
      s.timers.end());
  s.moduleQueue.erase(
      std::remove_if(s.moduleQueue.begin(), s.moduleQueue.end(), [&](const Posted &p) { return p.hwnd == hwnd; }),
      s.moduleQueue.end());
  s.incomingSends.erase(std::remove_if(s.incomingSends.begin(), s.incomingSends.end(),
                                       [&](const IncomingSend &m) { return m.hwnd == hwnd; }),
                        s.incomingSends.end());
  auto cls = s.classes.find(rec->classKey);
  if (cls != s.classes.end()) --cls->second.windows;
  s.creationOrder.erase(std::remove(s.creationOrder.begin(), s.creationOrder.end(), hwnd), s.creationOrder.end());
  s.windows.erase(reinterpret_cast<uintptr_t>(hwnd));
  RemoveHandle(hwnd, HandleKind::Window);
}

void DestroyModuleWindow(HWND hwnd) {
  // Owned windows go first, whole.
  for (HWND candidate : std::vector<HWND>(S().creationOrder)) {
    WindowRec *rec = Find(candidate);
    if (rec && !rec->destroying && rec->ownerWindow == hwnd) DestroyModuleWindow(candidate);
  }
  if (!FindModuleWindow(hwnd)) return;
  MarkDestroying(hwnd);
  SendDestroy(hwnd);
  FreeWindow(hwnd);
}

// ---- Accounting ----------------------------------------------------------------------------
void CountHandles(HandleCounts &counts) {
  counts.classes += static_cast<long>(S().classes.size());
  counts.timers += static_cast<long>(S().timers.size());
}

void DescribeHandles(std::string &text) {
  for (const auto &entry : S().classes)
    text +=
        "window class \"" + entry.second.name + "\" of instance " + HandleText(entry.second.wc.hInstance) + "\n";
  for (const TimerRec &timer : S().timers) {
    if (timer.hwnd)
      text += "timer " + std::to_string(timer.id) + " of window " + WindowText(timer.hwnd) + "\n";
    else
      text += "thread timer " + std::to_string(timer.id) + "\n";
  }
}

// A restart ends every window, class, timer and queue of the old boot. The message trace stays,
// and foreign windows are numbered on, so that no listener of the old boot names a new window.
void Restart() {
  WmState fresh;
  fresh.trace = std::move(S().trace);
  fresh.nextForeignWindow = S().nextForeignWindow;
  S() = std::move(fresh);
}

const bool registered = RegisterFamily({[] { S() = WmState{}; }, CountHandles, DescribeHandles, Restart});

// ---- Shared resources ----------------------------------------------------------------------
template <size_t N>
void *SharedResource(const WORD (&ids)[N], uintptr_t base, LPCSTR name) {
  if (!IS_INTRESOURCE(name)) return nullptr;
  const WORD id = static_cast<WORD>(reinterpret_cast<uintptr_t>(name));
  for (size_t i = 0; i < N; ++i)
    if (ids[i] == id) return reinterpret_cast<void *>(base + i * kSharedObjectStep);
  return nullptr;
}

std::string ResourceText(LPCSTR name) {
  if (!name) return "(null)";
  if (IS_INTRESOURCE(name)) return "#" + std::to_string(reinterpret_cast<uintptr_t>(name));
  return name;
}

// A class name given as text or as an atom (MAKEINTATOM); "" when unusable.
std::string ClassNameOf(LPCSTR name) {
  if (!name) return "";
  if (IS_INTRESOURCE(name)) {
    std::optional<std::string> text = AtomName(static_cast<UINT>(reinterpret_cast<uintptr_t>(name)));
    return text ? *text : "";
  }
  return name;
}

ClassKey KeyOf(const std::string &className, HINSTANCE instance) {
  return {Upper(className), reinterpret_cast<uintptr_t>(instance)};
}

TimerRec *FindTimer(HWND hwnd, UINT_PTR id) {
  for (TimerRec &timer : S().timers)
    if (timer.hwnd == hwnd && timer.id == id) return &timer;
  return nullptr;
}

// The character that an unshifted key gives, 0 for keys that give none here.
char CharacterOfKey(WPARAM virtualKey) {
  if (virtualKey >= 'A' && virtualKey <= 'Z') return static_cast<char>(virtualKey - 'A' + 'a');
  if ((virtualKey >= '0' && virtualKey <= '9') || virtualKey == ' ') return static_cast<char>(virtualKey);
  if (virtualKey == '\r' || virtualKey == '\b' || virtualKey == '\t' || virtualKey == 0x1B)
    return static_cast<char>(virtualKey);
  return 0;
}

}  // namespace

// ---- Internal interface for the clock and the listeners ------------------------------------
void RunOtherProcesses() {
  for (;;) {
    WmState &s = S();
    // A window whose thread handles nothing keeps its messages until it takes them again.
    auto ready = std::find_if(s.foreignQueue.begin(), s.foreignQueue.end(), [](const Posted &p) {
      WindowRec *rec = Find(p.hwnd);
      return !rec || !Unresponsive(*rec);
    });
    if (ready != s.foreignQueue.end()) {
      Posted posted = *ready;
      s.foreignQueue.erase(ready);
      CallForeignHandler(posted.hwnd, posted.message, posted.wParam, posted.lParam);
      continue;
    }
    if (ClockRunDueAction()) continue;
    return;
  }
}

UINT RegisterMessageName(const std::string &name) {
  return AddAtom(name);
}

HWND CreateForeignWindow(const std::string &owner, ForeignHandler handler) {
  WmState &s = S();
  HWND hwnd = reinterpret_cast<HWND>(s.nextForeignWindow);
  s.nextForeignWindow += 4;
  WindowRec rec;
  rec.hwnd = hwnd;
  rec.foreign = true;
  rec.owner = owner;
  rec.handler = std::move(handler);
  s.windows.emplace(reinterpret_cast<uintptr_t>(hwnd), std::move(rec));
  s.creationOrder.push_back(hwnd);
  return hwnd;
}

void DestroyForeignWindow(HWND window) {
  WmState &s = S();
  WindowRec *rec = Find(window);
  if (!rec || !rec->foreign) return;
  s.foreignQueue.erase(std::remove_if(s.foreignQueue.begin(), s.foreignQueue.end(),
                                      [&](const Posted &p) { return p.hwnd == window; }),
                       s.foreignQueue.end());
  s.creationOrder.erase(std::remove(s.creationOrder.begin(), s.creationOrder.end(), window),
                        s.creationOrder.end());
  s.windows.erase(reinterpret_cast<uintptr_t>(window));
}

bool ForeignWindowAlive(HWND window) {
  WindowRec *rec = Find(window);
  return rec && rec->foreign;
}

void SetForeignWindowHang(HWND window, uint64_t fromMs, uint64_t forMs) {
  WindowRec *rec = Find(window);
  if (!rec || !rec->foreign) return;
  rec->hangFromMs = fromMs;
  rec->hangUntilMs = forMs > kNever - fromMs ? kNever : fromMs + forMs;
  // Its end is work of that process: a waiting thread wakes then, and the window takes what was
  // posted to it meanwhile.
  if (rec->hangUntilMs != kNever) ClockSchedule(rec->hangUntilMs, [] {});
}

void SendFromOtherProcess(const std::string &from, HWND to, UINT message, WPARAM wParam, LPARAM lParam) {
  if (to == HWND_BROADCAST) {
    Record(from, ProcessOf(to), message, wParam, true);
    for (HWND target : BroadcastTargets()) SendFromOtherProcess("", target, message, wParam, lParam);
    return;
  }
  WindowRec *rec = Find(to);
  if (!rec) return;
  size_t traceIndex = SIZE_MAX;
  if (!from.empty()) {
    Record(from, rec->owner, message, wParam, true);
    traceIndex = S().trace.size() - 1;
  }
  if (rec->foreign) {
    CallForeignHandler(to, message, wParam, lParam);
  } else if (S().receiving) {
    const LRESULT result = CallModuleProc(to, message, wParam, lParam);
    if (traceIndex < S().trace.size()) S().trace[traceIndex].result = result;
  } else {
    S().incomingSends.push_back(IncomingSend{to, message, wParam, lParam, traceIndex});
  }
}

void PostToThreadOfWindow(const std::string &from, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  WindowRec *rec = Find(window);
  if (!rec || rec->foreign) return;  // the module thread is the one thread simulated here
  if (QueuePosted(nullptr, message, wParam, lParam)) Record(from, kModuleProcessName, message, wParam, false);
}

void PostFromOtherProcess(const std::string &from, HWND to, UINT message, WPARAM wParam, LPARAM lParam) {
  if (to == HWND_BROADCAST) {
    Record(from, ProcessOf(to), message, wParam, false);
    for (HWND target : BroadcastTargets()) QueuePosted(target, message, wParam, lParam);
    return;
  }
  if (!to || !Find(to)) return;
  if (QueuePosted(to, message, wParam, lParam)) Record(from, ProcessOf(to), message, wParam, false);
}

}  // namespace detail

const std::vector<MessageTraceEntry> &MessageTrace() {
  return detail::S().trace;
}

}  // namespace winsim

using namespace winsim::detail;

extern "C" {

DWORD WINAPI GetCurrentThreadId(void) {
  (void)Enter("GetCurrentThreadId", "", ERROR_SUCCESS);  // cannot fail
  return kModuleThreadId;
}

// ---- Registered messages -------------------------------------------------------------------

UINT WINAPI RegisterWindowMessageA(LPCSTR lpString) {
  if (auto fault = Enter("RegisterWindowMessageA", lpString ? lpString : "(null)", ERROR_NOT_ENOUGH_MEMORY)) {
    SetError(*fault);
    return 0;
  }
  if (!lpString || !UsableAtomName(lpString)) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  UINT number = AddAtom(lpString);
  if (number == 0) SetError(ERROR_NOT_ENOUGH_MEMORY);
  return number;
}

// ---- Window classes ------------------------------------------------------------------------

ATOM WINAPI RegisterClassA(const WNDCLASSA *lpWndClass) {
  const std::string name = lpWndClass ? ClassNameOf(lpWndClass->lpszClassName) : "";
  if (auto fault = Enter("RegisterClassA", name, ERROR_NOT_ENOUGH_MEMORY)) {
    SetError(*fault);
    return 0;
  }
  if (!lpWndClass || !UsableAtomName(name) || lpWndClass->cbClsExtra < 0 || lpWndClass->cbWndExtra < 0) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  WmState &s = S();
  const ClassKey key = KeyOf(name, lpWndClass->hInstance);
  if (s.classes.count(key)) {
    SetError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  UINT atom = AddAtom(name);
  if (atom == 0) {
    SetError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  ClassRec rec;
  rec.name = name;
  rec.atom = static_cast<ATOM>(atom);
  rec.wc = *lpWndClass;
  rec.wc.lpszClassName = nullptr;  // the caller's text need not outlive the call
  rec.wc.lpszMenuName = nullptr;
  s.classes.emplace(key, rec);
  TraceResult(Hex(atom));
  return rec.atom;
}

BOOL WINAPI UnregisterClassA(LPCSTR lpClassName, HINSTANCE hInstance) {
  const std::string name = ClassNameOf(lpClassName);
  if (auto fault = Enter("UnregisterClassA", name, ERROR_CLASS_HAS_WINDOWS)) {
    SetError(*fault);
    return FALSE;
  }
  WmState &s = S();
  auto it = name.empty() ? s.classes.end() : s.classes.find(KeyOf(name, hInstance));
  if (it == s.classes.end()) {
    // Unregistering a class that is not registered could take away the class that another run
    // has registered meanwhile: the verifier stops it.
    StopByVerifier("UnregisterClassA",
                   "window class \"" + name + "\" of instance " + HandleText(hInstance) + " is not registered");
    SetError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  if (it->second.windows > 0) {
    SetError(ERROR_CLASS_HAS_WINDOWS);
    return FALSE;
  }
  s.classes.erase(it);
  return TRUE;
}

// ---- Windows -------------------------------------------------------------------------------

HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle, int X, int Y,
                            int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance,
                            LPVOID lpParam) {
  const std::string name = ClassNameOf(lpClassName);
  if (auto fault = Enter("CreateWindowExA", name, ERROR_NOT_ENOUGH_MEMORY)) {
    SetError(*fault);
    return nullptr;
  }
  WmState &s = S();
  auto cls = name.empty() ? s.classes.end() : s.classes.find(KeyOf(name, hInstance));
  if (cls == s.classes.end()) {
    SetError(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
  }
  const bool messageOnly = hWndParent == HWND_MESSAGE;
  if (hWndParent && !messageOnly && !FindModuleWindow(hWndParent)) {
    StaleOwnWindow("CreateWindowExA", hWndParent);
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  const bool wantsChild = (static_cast<LONG>(dwStyle) & (WS_CHILD | kWsPopup)) == WS_CHILD;
  if (wantsChild && !hWndParent) {
    SetError(kErrorTlwWithWsChild);
    return nullptr;
  }

  WindowRec rec;
  rec.owner = kModuleProcessName;
  rec.proc = cls->second.wc.lpfnWndProc;
  rec.classKey = cls->first;
  rec.className = cls->second.name;
  rec.messageOnly = messageOnly;
  if (hWndParent && !messageOnly) (wantsChild ? rec.parent : rec.ownerWindow) = hWndParent;
  auto object = std::make_unique<WindowHandle>("");
  WindowHandle *handleObject = object.get();
  HWND hwnd = static_cast<HWND>(AddHandle(std::move(object)));
  handleObject->description = HandleText(hwnd) + " of class \"" + cls->second.name + "\"";
  rec.hwnd = hwnd;
  ++cls->second.windows;
  s.windows.emplace(reinterpret_cast<uintptr_t>(hwnd), std::move(rec));
  s.creationOrder.push_back(hwnd);
  TraceResult(HandleText(hwnd));

  CREATESTRUCTA create{};
  create.lpCreateParams = lpParam;
  create.hInstance = hInstance;
  create.hMenu = hMenu;
  create.hwndParent = hWndParent;
  create.cy = nHeight;
  create.cx = nWidth;
  create.y = Y;
  create.x = X;
  create.style = static_cast<LONG>(dwStyle);
  create.lpszName = lpWindowName;
  create.lpszClass = lpClassName;
  create.dwExStyle = dwExStyle;

  // WM_NCCREATE answered FALSE ends the creation with only WM_NCDESTROY; -1 from WM_CREATE
  // destroys the window as DestroyWindow does. A window destroyed by its own procedure meanwhile
  // is not returned either.
  if (!CallModuleProc(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&create))) {
    if (FindModuleWindow(hwnd)) {
      MarkDestroying(hwnd);
      FreeWindow(hwnd);
    }
    return nullptr;
  }
  if (!FindModuleWindow(hwnd)) return nullptr;
  if (CallModuleProc(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
    DestroyModuleWindow(hwnd);
    return nullptr;
  }
  if (!FindModuleWindow(hwnd)) return nullptr;
  return hwnd;
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
  if (auto fault = Enter("DestroyWindow", WindowText(hWnd), ERROR_ACCESS_DENIED)) {
    SetError(*fault);
    return FALSE;
  }
  WindowRec *rec = Find(hWnd);
  if (!rec) {
    if (!StaleOwnWindow("DestroyWindow", hWnd) && !hWnd)
      StopByVerifier("DestroyWindow", "NULL given as window handle");
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (rec->foreign) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!rec->destroying) DestroyModuleWindow(hWnd);
  return TRUE;
}

BOOL WINAPI IsWindow(HWND hWnd) {
  if (Enter("IsWindow", WindowText(hWnd), ERROR_INVALID_WINDOW_HANDLE)) return FALSE;
  return Find(hWnd) ? TRUE : FALSE;
}

LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  (void)wParam;
  (void)lParam;
  (void)Enter("DefWindowProcA", MessageName(Msg), ERROR_SUCCESS);  // nothing to fail
  switch (Msg) {
    case WM_NCCREATE:
      return TRUE;
    case WM_CLOSE:
      if (WindowRec *rec = FindModuleWindow(hWnd))
        if (!rec->destroying) DestroyModuleWindow(hWnd);
      return 0;
    default:
      return 0;
  }
}

// ---- Sending and posting -------------------------------------------------------------------

// What a message sent by the module reached: every top-level window of a broadcast, the one window
// addressed, or no window (ERROR_INVALID_WINDOW_HANDLE is then set). The message is recorded as the
// module's, and `deliver` hands it to each window reached, false when that window did not answer.
// With `verifiedAs`, a gone window of the module's own is a misuse that the verifier stops.
enum class Reached { Broadcast, Window, Silence, NoWindow };
static Reached SendFromModule(const char *verifiedAs, HWND hWnd, UINT Msg, WPARAM wParam,
                              const std::function<bool(HWND)> &deliver) {
  if (hWnd == HWND_BROADCAST) {
    // A broadcast tells nothing about single windows; it succeeds once every window had its turn.
    Record(kModuleProcessName, ProcessOf(hWnd), Msg, wParam, true);
    for (HWND target : BroadcastTargets()) deliver(target);
    return Reached::Broadcast;
  }
  WindowRec *rec = Find(hWnd);
  if (!rec) {
    if (verifiedAs != nullptr) StaleOwnWindow(verifiedAs, hWnd);
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return Reached::NoWindow;
  }
  Record(kModuleProcessName, rec->owner, Msg, wParam, true);
  return deliver(hWnd) ? Reached::Window : Reached::Silence;
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (auto fault = Enter("SendMessageA", MessageSubject(hWnd, Msg, wParam), ERROR_INVALID_WINDOW_HANDLE)) {
    SetError(*fault);
    return 0;
  }
  LRESULT result = 0;
  const Reached reached = SendFromModule("SendMessageA", hWnd, Msg, wParam, [&](HWND target) {
    DeliverSentByModule(target, Msg, wParam, lParam, "SendMessageA", &result);
    return true;
  });
  if (reached == Reached::Broadcast) return TRUE;
  return reached == Reached::Window ? result : 0;
}

LRESULT WINAPI SendMessageTimeoutA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, UINT fuFlags, UINT uTimeout,
                                   PDWORD_PTR lpdwResult) {
  if (auto fault = Enter("SendMessageTimeoutA", MessageSubject(hWnd, Msg, wParam), ERROR_TIMEOUT)) {
    SetError(*fault);
    return 0;
  }
  LRESULT result = 0;
  const Reached reached = SendFromModule(nullptr, hWnd, Msg, wParam, [&](HWND target) {
    return SendWithTimeout(target, Msg, wParam, lParam, fuFlags, uTimeout, &result);
  });
  switch (reached) {
    case Reached::Broadcast:
      if (lpdwResult) *lpdwResult = 1;
      return TRUE;
    case Reached::Window:
      if (lpdwResult) *lpdwResult = static_cast<DWORD_PTR>(result);
      return TRUE;
    case Reached::Silence:
      SetError(ERROR_TIMEOUT);
      return 0;
    case Reached::NoWindow:
      break;
  }
  return 0;
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (auto fault = Enter("PostMessageA", MessageSubject(hWnd, Msg, wParam), kErrorNotEnoughQuota)) {
    SetError(*fault);
    return FALSE;
  }
  if (hWnd == HWND_BROADCAST) {
    Record(kModuleProcessName, ProcessOf(hWnd), Msg, wParam, false);
    for (HWND target : BroadcastTargets()) QueuePosted(target, Msg, wParam, lParam);
    return TRUE;
  }
  if (hWnd && !Find(hWnd)) {
    StaleOwnWindow("PostMessageA", hWnd);
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (!QueuePosted(hWnd, Msg, wParam, lParam)) {
    SetError(kErrorNotEnoughQuota);
    return FALSE;
  }
  Record(kModuleProcessName, ProcessOf(hWnd), Msg, wParam, false);
  return TRUE;
}

BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (auto fault = Enter("PostThreadMessageA", MessageSubject(nullptr, Msg, wParam), kErrorNotEnoughQuota)) {
    SetError(*fault);
    return FALSE;
  }
  if (idThread != kModuleThreadId) {
    SetError(kErrorInvalidThreadId);
    return FALSE;
  }
  if (!QueuePosted(nullptr, Msg, wParam, lParam)) {
    SetError(kErrorNotEnoughQuota);
    return FALSE;
  }
  Record(kModuleProcessName, kModuleProcessName, Msg, wParam, false);
  return TRUE;
}

void WINAPI PostQuitMessage(int nExitCode) {
  (void)Enter("PostQuitMessage", std::to_string(nExitCode), ERROR_SUCCESS);  // cannot fail
  S().quitPending = true;
  S().quitCode = nExitCode;
  Record(kModuleProcessName, kModuleProcessName, WM_QUIT, static_cast<WPARAM>(static_cast<LONG_PTR>(nExitCode)),
         false);
}

// ---- The message loop ----------------------------------------------------------------------

BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  if (auto fault = Enter("GetMessageA", hWnd ? WindowText(hWnd) : "", ERROR_INVALID_PARAMETER)) {
    SetError(*fault);
    return -1;
  }
  if (!lpMsg) {
    SetError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (!ValidWindowFilter(hWnd)) {
    StaleOwnWindow("GetMessageA", hWnd);
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  ReceivingScope waiting(true);
  for (;;) {
    RunOtherProcesses();
    DeliverIncomingSends();
    if (Retrieve(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true)) {
      TraceResult(MessageName(lpMsg->message));
      return lpMsg->message == WM_QUIT ? 0 : 1;
    }
    // Nothing to take now: time passes until the next timer or the next piece of work of another
    // process. With neither, a real thread would wait forever. The simulation invents no message:
    // the verifier stops the call, and -1 only lets the program run to its end.
    std::optional<uint64_t> next = NextWake(hWnd, wMsgFilterMin, wMsgFilterMax);
    if (!next) {
      StopByVerifier("GetMessageA", "the thread would wait forever at " + std::to_string(ClockNow()) +
                                        " ms: no message, timer or work of another process is pending");
      return -1;
    }
    ClockAdvanceTo(*next);
  }
}

BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
  if (auto fault = Enter("PeekMessageA", hWnd ? WindowText(hWnd) : "", ERROR_INVALID_PARAMETER)) {
    SetError(*fault);
    return FALSE;
  }
  if (!lpMsg) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!ValidWindowFilter(hWnd)) {
    StaleOwnWindow("PeekMessageA", hWnd);
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  ReceivingScope waiting(true);
  RunOtherProcesses();
  DeliverIncomingSends();
  if (!Retrieve(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0)) return FALSE;
  TraceResult(MessageName(lpMsg->message));
  return TRUE;
}

BOOL WINAPI TranslateMessage(const MSG *lpMsg) {
  if (Enter("TranslateMessage", lpMsg ? MessageName(lpMsg->message) : "(null)", ERROR_INVALID_PARAMETER))
    return FALSE;
  if (!lpMsg) return FALSE;
  switch (lpMsg->message) {
    case WM_KEYDOWN:
      if (char c = CharacterOfKey(lpMsg->wParam))
        QueuePosted(lpMsg->hwnd, WM_CHAR, static_cast<WPARAM>(static_cast<unsigned char>(c)), lpMsg->lParam);
      return TRUE;
    case kWmKeyUp:
    case kWmSysKeyDown:
    case kWmSysKeyUp:
      return TRUE;  // key messages count as translated, whether or not a character came of them
    default:
      return FALSE;
  }
}

LRESULT WINAPI DispatchMessageA(const MSG *lpMsg) {
  if (auto fault =
          Enter("DispatchMessageA", lpMsg ? MessageSubject(lpMsg->hwnd, lpMsg->message, lpMsg->wParam) : "(null)",
                ERROR_INVALID_PARAMETER)) {
    SetError(*fault);
    return 0;
  }
  if (!lpMsg) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // A WM_TIMER that names a callback goes to the callback, but only when a live timer of that
  // window and id has that callback, so that a forged message cannot call arbitrary code.
  if (lpMsg->message == WM_TIMER && lpMsg->lParam) {
    TimerRec *timer = FindTimer(lpMsg->hwnd, lpMsg->wParam);
    if (timer && reinterpret_cast<LPARAM>(timer->proc) == lpMsg->lParam) {
      TIMERPROC proc = timer->proc;
      ReceivingScope busy(false);
      proc(lpMsg->hwnd, WM_TIMER, lpMsg->wParam, static_cast<DWORD>(ClockNow()));
    }
    return 0;
  }
  if (!lpMsg->hwnd) return 0;  // a thread message has no window procedure to go to
  WindowRec *rec = Find(lpMsg->hwnd);
  if (!rec) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (rec->foreign) {
    SetError(ERROR_WINDOW_OF_OTHER_THREAD);
    return 0;
  }
  return CallModuleProc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

// ---- Timers --------------------------------------------------------------------------------

UINT_PTR WINAPI SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
  if (auto fault = Enter("SetTimer",
                         "timer " + std::to_string(nIDEvent) + " of " + (hWnd ? WindowText(hWnd) : "the thread"),
                         ERROR_NO_SYSTEM_RESOURCES)) {
    SetError(*fault);
    return 0;
  }
  if (hWnd) {
    WindowRec *rec = Find(hWnd);
    if (!rec) {
      StaleOwnWindow("SetTimer", hWnd);
      SetError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (rec->foreign) {
      SetError(ERROR_ACCESS_DENIED);
      return 0;
    }
  }
  const UINT elapse = std::min(std::max(uElapse, kTimerMinimumMs), kTimerMaximumMs);
  WmState &s = S();
  UINT_PTR id = nIDEvent;
  TimerRec *timer = hWnd || nIDEvent ? FindTimer(hWnd, nIDEvent) : nullptr;
  if (!timer) {
    if (!hWnd) {
      // A thread timer gets an id of its own unless it replaces an existing one.
      while (FindTimer(nullptr, s.nextThreadTimerId)) ++s.nextThreadTimerId;
      id = s.nextThreadTimerId++;
    }
    s.timers.push_back(TimerRec{hWnd, id, 0, nullptr, 0, s.nextTimerOrder++});
    timer = &s.timers.back();
  }
  timer->elapseMs = elapse;
  timer->proc = lpTimerFunc;
  timer->dueMs = ClockNow() + elapse;
  return id ? id : 1;
}

BOOL WINAPI KillTimer(HWND hWnd, UINT_PTR uIDEvent) {
  if (auto fault = Enter("KillTimer",
                         "timer " + std::to_string(uIDEvent) + " of " + (hWnd ? WindowText(hWnd) : "the thread"),
                         ERROR_INVALID_PARAMETER)) {
    SetError(*fault);
    return FALSE;
  }
  if (hWnd && !Find(hWnd)) {
    StaleOwnWindow("KillTimer", hWnd);
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  WmState &s = S();
  auto it = std::find_if(s.timers.begin(), s.timers.end(),
                         [&](const TimerRec &t) { return t.hwnd == hWnd && t.id == uIDEvent; });
  if (it == s.timers.end()) {
    // A thread timer's id is the system's to give out, so stopping one not held could stop a
    // timer given out meanwhile: the verifier stops that. A window's timer ids are the window's
    // own, and stopping one twice (as a timer message and the window's destruction both may) is
    // harmless.
    if (!hWnd) StopByVerifier("KillTimer", "thread timer " + std::to_string(uIDEvent) + " is not set");
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  s.timers.erase(it);
  return TRUE;
}

// ---- Icons, cursors, stock objects ---------------------------------------------------------
// The predefined ones are shared objects: the same handle every time, never freed.

HICON WINAPI LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName) {
  if (auto fault = Enter("LoadIconA", ResourceText(lpIconName), ERROR_RESOURCE_NAME_NOT_FOUND)) {
    SetError(*fault);
    return nullptr;
  }
  if (hInstance) {
    SetError(ERROR_RESOURCE_TYPE_NOT_FOUND);  // simulated modules carry no icons
    return nullptr;
  }
  void *icon = SharedResource(kSystemIcons, kSystemIconBase, lpIconName);
  if (!icon) SetError(ERROR_RESOURCE_NAME_NOT_FOUND);
  return static_cast<HICON>(icon);
}

HCURSOR WINAPI LoadCursorA(HINSTANCE hInstance, LPCSTR lpCursorName) {
  if (auto fault = Enter("LoadCursorA", ResourceText(lpCursorName), ERROR_RESOURCE_NAME_NOT_FOUND)) {
    SetError(*fault);
    return nullptr;
  }
  if (hInstance) {
    SetError(ERROR_RESOURCE_TYPE_NOT_FOUND);  // simulated modules carry no cursors
    return nullptr;
  }
  void *cursor = SharedResource(kSystemCursors, kSystemCursorBase, lpCursorName);
  if (!cursor) SetError(ERROR_RESOURCE_NAME_NOT_FOUND);
  return static_cast<HCURSOR>(cursor);
}

HGDIOBJ WINAPI GetStockObject(int i) {
  if (Enter("GetStockObject", std::to_string(i), ERROR_INVALID_PARAMETER)) return nullptr;
  if (i < 0 || i > kLastStockObject || i == kNoSuchStockObject) return nullptr;
  return reinterpret_cast<HGDIOBJ>(kStockObjectBase + static_cast<uintptr_t>(i) * kSharedObjectStep);
}

}  // extern "C"
