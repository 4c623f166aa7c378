// Monitor quit protocol: before an adapter's traces are removed, the maker's running monitor
// applications are asked to quit through the registered window message "ORVIK.Quit". A hidden
// window of the calling thread asks every top-level window who is listening, orders the
// listeners to quit, counts their confirmations and gives up after 15 seconds; if listeners are
// still there then, a second run asks once more who is still alive.
//
// A removal must never hang on this exchange. Decisions beyond the exchange as first laid down:
// - The query goes out with SendMessageTimeoutA (SMTO_ABORTIFHUNG | SMTO_NORMAL, at most
//   kQueryBoundMs per window) rather than SendMessageA, which waits for every top-level window of
//   the desktop: one frozen program anywhere held up the removal for as long as it was frozen. A
//   window that the platform counts as hung (it has handled no message for more than 5 s) is
//   passed over at once, a slow one after the bound; either counts as a window that does not
//   listen. SMTO_NORMAL keeps the thread handling the messages sent to it while it waits, so a
//   listener that answers in time is counted exactly as before.
// - No platform failure leaves the thread waiting with nothing that will end the wait. When the
//   run cannot arm its timer, cannot destroy its window or cannot post its ending message, it ends
//   at once, cleans up window, timer and class, and gives the result that its count and marks
//   give. If that happens while the loop waits inside GetMessageA (a listener's sent reply was
//   being handled), a short thread timer makes the loop look again. So every path of a call is
//   bounded by the two runs' timers, besides the query's bound per window.
// - The loop ends only on its own ending message (WM_USER posted to the thread when the window is
//   destroyed), which the module knows to be pending. A WM_USER that anything else posted to the
//   thread is dropped (it has no window to be dispatched to) and the loop goes on: ending there
//   would leave window and timer alive and the class registered, so that every later exchange in
//   the process found the class taken. A stray WM_USER that comes before the
//   ending message cannot be told from it: whichever the loop takes, one such message stays queued
//   for the caller's loop.
// - A quit request (GetMessageA returning 0) ends the run even while the window exists: the window
//   and its timer are destroyed, since their procedure lives in this module, and the request is
//   posted again for the caller's own loop. A loop that cannot fetch a message (-1) ends the same
//   way, without the request.
// - The window handle is never used once the window is gone: a refusal during the query destroys
//   the window before its creation has finished, and then no timer is started and no quit order
//   is posted (the order would make the other listeners quit after one has refused); a loop that
//   ends after the window's destruction does not stop its timer or destroy it again.
#include "setuplib.h"

namespace {

constexpr char kQuitMessageName[] = "ORVIK.Quit";
constexpr char kQuitWindowClass[] = "NULL_Fenster";
constexpr char kQuitWindowTitle[] = "";
constexpr UINT_PTR kQuitTimerId = 1;
constexpr UINT kQuitWaitMs = 15000;  // how long the first run waits for confirmations
constexpr UINT kWindUpMs = 1;        // ends a run as soon as its loop runs
// How long the query waits for one window that does not take it; one that the platform counts as
// hung is passed over at once.
constexpr UINT kQueryBoundMs = 2000;
constexpr UINT kQuerySendFlags = SMTO_ABORTIFHUNG | SMTO_NORMAL;
// Posted to the thread (no window) when the quit window is destroyed; it ends the run's loop.
constexpr UINT kRunEndedMessage = WM_USER;
// The hWnd filter that selects messages posted to the thread itself.
const HWND kThreadMessages = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

// Module-wide state of the exchange. The message number lives as long as the module; the rest
// belongs to one call of CloseMonitorApplications or one run.
UINT quitMessage = 0;
LONG listenerCount = 0;
BOOL quitRefused = FALSE;
BOOL queryReturned = FALSE;
BOOL secondRun = FALSE;
// The run's window from its WM_CREATE to its WM_DESTROY.
HWND quitWindow = nullptr;
// Set when the quit window's destruction has posted the run-ended message and cleared when the
// run has taken it back; a run that ends otherwise removes it, so that it cannot end a later
// loop early.
BOOL runEndedPending = FALSE;
// Set when the run has to end without its run-ended message; the wake-up timer makes sure that
// the loop sees it.
BOOL runCutShort = FALSE;
UINT_PTR wakeUpTimer = 0;

void CutRunShort() {
  if (runCutShort) return;
  runCutShort = TRUE;
  wakeUpTimer = SetTimer(nullptr, 0, kWindUpMs, nullptr);
}

void CloseQuitWindow(HWND window) {
  if (quitWindow == nullptr) return;  // already destroyed
  KillTimer(window, kQuitTimerId);
  if (!DestroyWindow(window)) CutRunShort();
}

// Takes back the run-ended message that the quit window's destruction posted and the run's loop
// did not take.
void TakeBackRunEnded() {
  if (!runEndedPending) return;
  MSG msg;
  PeekMessageA(&msg, kThreadMessages, kRunEndedMessage, kRunEndedMessage, PM_REMOVE);
  runEndedPending = FALSE;
}

// Whatever ended the run, nothing of it may outlive it: the window and its timer (their procedure
// lives in this module), the wake-up timer, a run-ended message still queued, and last the class.
void FinishRun(HINSTANCE instance) {
  CloseQuitWindow(quitWindow);
  TakeBackRunEnded();
  if (wakeUpTimer) KillTimer(nullptr, wakeUpTimer);
  wakeUpTimer = 0;
  UnregisterClassA(kQuitWindowClass, instance);
}

DWORD RunResult() {
  if (quitRefused) return SETUP_STATUS_QUIT_REFUSED;
  if (listenerCount != 0) return SETUP_STATUS_STILL_RUNNING;
  return SETUP_STATUS_OK;
}

// After the query: with listeners, and in the first run, the wait for their confirmations under
// the long timer, after the order; otherwise the wind-up on the short timer. A run whose timer
// cannot be armed ends at once; the order still goes out, so that the monitors are asked to quit
// all the same, and the second run counts who is left.
void StartWaiting(HWND window) {
  const BOOL answered = BroadcastQuitQuery(window);
  if (quitWindow == nullptr) return;  // a refusal during the query has destroyed the window
  if (answered && !secondRun) {
    if (!SetTimer(window, kQuitTimerId, kQuitWaitMs, nullptr)) CutRunShort();
    PostMessageA(HWND_BROADCAST, quitMessage, QUIT_ORDER, reinterpret_cast<LPARAM>(window));
  } else if (!SetTimer(window, kQuitTimerId, kWindUpMs, nullptr)) {
    CutRunShort();
  }
}

}  // namespace

DWORD CloseMonitorApplications(HINSTANCE instance) {
  secondRun = FALSE;
  quitRefused = FALSE;
  DWORD status = RunQuitWindow(instance);
  if (status != SETUP_STATUS_STILL_RUNNING) return status;
  // Someone still answered when the wait ended: ask once more who is really still there.
  secondRun = TRUE;
  return RunQuitWindow(instance);
}

DWORD RunQuitWindow(HINSTANCE instance) {
  WNDCLASSA windowClass = {};
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = QuitWindowProc;
  windowClass.cbClsExtra = 0;
  windowClass.cbWndExtra = 0;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  windowClass.lpszMenuName = nullptr;
  windowClass.lpszClassName = kQuitWindowClass;
  // Fails too while another run holds the class: the exchange is not re-entrant.
  if (!RegisterClassA(&windowClass)) return SETUP_STATUS_UNAVAILABLE;

  quitWindow = nullptr;
  runEndedPending = FALSE;
  runCutShort = FALSE;
  wakeUpTimer = 0;
  // The window procedure sends the query (and posts the order) while the window is created.
  HWND window = CreateWindowExA(0, kQuitWindowClass, kQuitWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
  if (!window) {
    // A refusal during the query destroys the window before it is returned.
    FinishRun(instance);
    return SETUP_STATUS_UNAVAILABLE;
  }

  // The loop takes every message of the thread, dispatching those of other windows too, until
  // the quit window's destruction says the run is over.
  MSG msg = {};
  BOOL got = 1;
  while (!runCutShort) {
    got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1) break;
    if (msg.hwnd == nullptr && msg.message == kRunEndedMessage) {
      if (runEndedPending) {
        runEndedPending = FALSE;
        break;
      }
      continue;  // posted to the thread by someone else
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }

  const DWORD status = RunResult();
  FinishRun(instance);
  if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));
  return status;
}

LRESULT CALLBACK QuitWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (HandleQuitReply(window, message, wParam)) return 0;
  switch (message) {
    case WM_CREATE:
      quitWindow = window;
      StartWaiting(window);
      break;
    case WM_TIMER:
      CloseQuitWindow(window);
      return 0;
    case WM_DESTROY:
      KillTimer(window, kQuitTimerId);
      quitWindow = nullptr;
      if (PostMessageA(nullptr, kRunEndedMessage, 0, 0))
        runEndedPending = TRUE;
      else
        CutRunShort();
      break;
    default:
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

BOOL HandleQuitReply(HWND window, UINT message, WPARAM wParam) {
  if (quitMessage == 0 || message != quitMessage) return FALSE;
  switch (wParam) {
    case QUIT_PRESENT:
      ++listenerCount;
      return TRUE;
    case QUIT_DONE:
      // A confirmation that arrives while the query is still being sent only lowers the count.
      --listenerCount;
      if (listenerCount == 0 && queryReturned) CloseQuitWindow(window);
      return TRUE;
    case QUIT_REFUSED:
      quitRefused = TRUE;
      CloseQuitWindow(window);
      return TRUE;
    default:
      return FALSE;  // the query and the order come back to this window too; they are not replies
  }
}

BOOL BroadcastQuitQuery(HWND window) {
  if (quitMessage == 0) quitMessage = RegisterWindowMessageA(kQuitMessageName);
  if (quitMessage == 0) return FALSE;
  listenerCount = 0;
  queryReturned = FALSE;
  // Listeners that answer by a sent message are counted while this send waits. The result of a
  // broadcast says nothing about single windows: the count says who answered.
  DWORD_PTR ignored = 0;
  SendMessageTimeoutA(HWND_BROADCAST, quitMessage, QUIT_QUERY, reinterpret_cast<LPARAM>(window), kQuerySendFlags,
                      kQueryBoundMs, &ignored);
  queryReturned = TRUE;
  return listenerCount != 0 ? TRUE : FALSE;
}
