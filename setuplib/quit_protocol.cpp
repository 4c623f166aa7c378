// Monitor quit protocol: before an adapter's traces are removed, the maker's running monitor
// applications are asked to quit through the registered window message "ORVIK.Quit". A hidden
// window of the calling thread asks every top-level window who is listening, orders the
// listeners to quit, counts their confirmations and gives up after 15 seconds; if listeners are
// still there then, a second run asks once more who is still alive.
//
// The window handle is never used once the window is gone: a refusal during the query destroys
// the window before its creation has finished, and then no timer is started and no quit order
// is posted for it (the order would make the other listeners quit after one has refused); a loop
// that ends after the window's destruction does not stop its timer or destroy it again.
#include "setuplib.h"

namespace {

constexpr char kQuitMessageName[] = "ORVIK.Quit";
constexpr char kQuitWindowClass[] = "NULL_Fenster";
constexpr char kQuitWindowTitle[] = "";
constexpr UINT_PTR kQuitTimerId = 1;
constexpr UINT kQuitWaitMs = 15000;  // how long the first run waits for confirmations
constexpr UINT kWindUpMs = 1;        // ends a run as soon as its loop runs
// Posted to the thread (no window) when the quit window is destroyed; it ends the run's loop.
constexpr UINT kRunEndedMessage = WM_USER;
// The hWnd filter that selects messages posted to the thread itself.
const HWND kThreadMessages = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

// Module-wide state of the exchange. The message number lives as long as the module; the rest
// belongs to one call of CloseMonitorApplications.
UINT quitMessage = 0;
LONG listenerCount = 0;
BOOL quitRefused = FALSE;
BOOL queryReturned = FALSE;
BOOL secondRun = FALSE;
// Set when the quit window's destruction has posted the run-ended message and cleared when the
// run has taken it back; a run that ends otherwise removes it, so that it cannot end a later
// loop early.
BOOL runEndedPending = FALSE;
// Set by the quit window's destruction, cleared when a run creates its window.
BOOL quitWindowGone = FALSE;

void CloseQuitWindow(HWND window) {
  if (quitWindowGone) return;
  KillTimer(window, kQuitTimerId);
  DestroyWindow(window);
}

// Takes back the run-ended message that the quit window's destruction posted and the run's loop
// did not take.
void TakeBackRunEnded() {
  if (!runEndedPending) return;
  MSG msg;
  PeekMessageA(&msg, kThreadMessages, kRunEndedMessage, kRunEndedMessage, PM_REMOVE);
  runEndedPending = FALSE;
}

DWORD RunResult() {
  if (quitRefused) return SETUP_STATUS_QUIT_REFUSED;
  if (listenerCount != 0) return SETUP_STATUS_STILL_RUNNING;
  return SETUP_STATUS_OK;
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

  runEndedPending = FALSE;
  quitWindowGone = FALSE;
  // The window procedure sends the query (and posts the order) while the window is created.
  HWND window = CreateWindowExA(0, kQuitWindowClass, kQuitWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
  if (!window) {
    TakeBackRunEnded();  // a refusal during the query destroys the window before it is returned
    UnregisterClassA(kQuitWindowClass, instance);
    return SETUP_STATUS_UNAVAILABLE;
  }

  // The loop takes every message of the thread, dispatching those of other windows too, until
  // the quit window's destruction says the run is over.
  MSG msg;
  for (;;) {
    const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1) {
      // A quit request (or a loop that cannot go on) ends the run while the window may still
      // exist: the window and its timer must not outlive the run, since its procedure lives in
      // this module. A quit request is passed on to the caller's own loop.
      CloseQuitWindow(window);
      TakeBackRunEnded();
      if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    if (msg.hwnd == nullptr && msg.message == kRunEndedMessage) {
      runEndedPending = FALSE;
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }

  const DWORD status = RunResult();
  UnregisterClassA(kQuitWindowClass, instance);
  return status;
}

LRESULT CALLBACK QuitWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (HandleQuitReply(window, message, wParam)) return 0;
  switch (message) {
    case WM_CREATE: {
      const BOOL answered = BroadcastQuitQuery(window);
      if (quitWindowGone) return 0;  // a refusal during the query has destroyed the window
      if (answered && !secondRun) {
        // Listeners answered: order them to quit and wait for their confirmations.
        SetTimer(window, kQuitTimerId, kQuitWaitMs, nullptr);
        PostMessageA(HWND_BROADCAST, quitMessage, QUIT_ORDER, reinterpret_cast<LPARAM>(window));
      } else {
        // Nobody answered, or this run only counts who still answers: end as soon as possible.
        SetTimer(window, kQuitTimerId, kWindUpMs, nullptr);
      }
      break;
    }
    case WM_TIMER:
      CloseQuitWindow(window);
      return 0;
    case WM_DESTROY:
      quitWindowGone = TRUE;
      KillTimer(window, kQuitTimerId);
      if (PostMessageA(nullptr, kRunEndedMessage, 0, 0)) runEndedPending = TRUE;
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
  // Listeners that answer by a sent message are counted while this send waits.
  SendMessageA(HWND_BROADCAST, quitMessage, QUIT_QUERY, reinterpret_cast<LPARAM>(window));
  queryReturned = TRUE;
  return listenerCount != 0 ? TRUE : FALSE;
}
