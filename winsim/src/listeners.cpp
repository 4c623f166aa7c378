// Monitor applications of other processes, for tests and the simulator tool: each is a hidden
// top-level window that listens for the registered message "ORVIK.Quit" and answers the query
// and the quit order as its description says, by a sent or a posted message, at once or after a
// virtual delay, and may go away after the order or at a chosen time. Its thread may hang (handle
// no message for a while), and it may post a stray thread message to the asking thread.
#include <algorithm>
#include <map>

#include "internal.h"
#include "user32_internal.h"

namespace winsim {
namespace detail {
namespace {

constexpr char kQuitMessageName[] = "ORVIK.Quit";
constexpr WPARAM kQuitQuery = 0;
constexpr WPARAM kQuitOrder = 2;

struct ListenerRec {
  QuitListener listener;
  HWND window = nullptr;
};

struct ListenerState {
  std::map<int, ListenerRec> listeners;
  int nextId = 1;
};

ListenerState &L() {
  static ListenerState state;
  return state;
}

const bool registered = RegisterFamily({[] { L() = ListenerState{}; }, nullptr, nullptr});

ListenerRec *FindLiving(int id) {
  auto it = L().listeners.find(id);
  if (it == L().listeners.end() || !it->second.window || !ForeignWindowAlive(it->second.window)) return nullptr;
  return &it->second;
}

void GoAway(int id) {
  if (ListenerRec *rec = FindLiving(id)) {
    DestroyForeignWindow(rec->window);
    rec->window = nullptr;
  }
}

void Answer(int id, HWND to, const QuitReply &reply) {
  ListenerRec *rec = FindLiving(id);
  if (!rec) return;  // gone before its answer was due
  const UINT quitMessage = RegisterMessageName(kQuitMessageName);
  const std::string name = rec->listener.name;
  const LPARAM self = reinterpret_cast<LPARAM>(rec->window);
  if (reply.toThread)
    PostToThreadOfWindow(name, to, WM_USER, 0, 0);
  else if (reply.bySend)
    SendFromOtherProcess(name, to, quitMessage, reply.code, self);
  else
    PostFromOtherProcess(name, to, quitMessage, reply.code, self);
}

LRESULT HandleListenerMessage(int id, UINT message, WPARAM wParam, LPARAM lParam) {
  ListenerRec *rec = FindLiving(id);
  if (!rec || message != RegisterMessageName(kQuitMessageName)) return 0;
  if (wParam != kQuitQuery && wParam != kQuitOrder) return 0;
  // Copies: the listener may go away while it answers.
  const std::vector<QuitReply> replies = wParam == kQuitQuery ? rec->listener.onQuery : rec->listener.onOrder;
  const bool leaves = wParam == kQuitOrder && rec->listener.exitsAfterOrder;
  const HWND to = reinterpret_cast<HWND>(lParam);
  const uint64_t now = ClockNow();
  uint64_t lastDelay = 0;
  for (const QuitReply &reply : replies) {
    lastDelay = std::max(lastDelay, reply.delayMs);
    if (reply.delayMs == 0)
      Answer(id, to, reply);
    else
      ClockSchedule(now + reply.delayMs, [id, to, reply] { Answer(id, to, reply); });
  }
  if (leaves) {
    // It ends after its last answer; work due at the same time runs in the order it was added.
    if (lastDelay == 0)
      GoAway(id);
    else
      ClockSchedule(now + lastDelay, [id] { GoAway(id); });
  }
  return 0;
}

}  // namespace
}  // namespace detail

int AddQuitListener(const QuitListener &listener) {
  using namespace detail;
  ListenerState &state = L();
  const int id = state.nextId++;
  RegisterMessageName(kQuitMessageName);
  ListenerRec rec;
  rec.listener = listener;
  rec.window = CreateForeignWindow(listener.name, [id](HWND, UINT message, WPARAM wParam, LPARAM lParam) {
    return HandleListenerMessage(id, message, wParam, lParam);
  });
  if (listener.hangAtMs >= 0)
    SetForeignWindowHang(rec.window, static_cast<uint64_t>(listener.hangAtMs), listener.hangForMs);
  state.listeners.emplace(id, std::move(rec));
  if (listener.vanishAtMs >= 0) ClockSchedule(static_cast<uint64_t>(listener.vanishAtMs), [id] { GoAway(id); });
  return id;
}

bool QuitListenerAlive(int id) {
  return detail::FindLiving(id) != nullptr;
}

}  // namespace winsim
