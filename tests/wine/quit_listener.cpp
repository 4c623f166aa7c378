// A monitor application as the quit exchange sees it, for the end-to-end runs: a hidden
// top-level window that listens for the registered message "ORVIK.Quit". It answers every query
// at once (by a sent message, so that it is counted while the query is still being sent) and
// treats the quit order as its mode says:
//   confirm  answers QuitDone and exits;
//   refuse   answers QuitRefused and stays;
//   silent   answers nothing and stays;
//   hang     handles no message for 20 s after its window exists (the platform counts it as hung
//            after 5 s), then behaves as confirm;
//   stray    as confirm, but after answering the query it also posts a thread message WM_USER to
//            the asking window's thread, as a badly behaved program may.
// Usage: quit_listener.exe MODE WINDOW-TITLE LOG-FILE
// Each quit message that reaches the window is appended to the log file as a line with its code
// ("query", "order" or "code N"). The listener ends by itself after a few minutes at the latest,
// so that a test that stops half-way leaves no process behind.
// Started without arguments, as an installation starts the maker's monitor and tool programs
// (the tests copy it into the tools folder as onlmon.exe and onltool.exe), it stands in for them:
// it appends to "<its own path>.log" the image that was started and the command line it was
// given, separated by a tab, and exits.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char kQuitMessageName[] = "ORVIK.Quit";
constexpr char kListenerClass[] = "OnlcoinQuitListener";
// Codes carried in wParam of the quit message.
constexpr WPARAM kQuitQuery = 0;
constexpr WPARAM kQuitPresent = 1;
constexpr WPARAM kQuitOrder = 2;
constexpr WPARAM kQuitDone = 3;
constexpr WPARAM kQuitRefused = 5;
constexpr UINT_PTR kLifetimeTimer = 1;
constexpr UINT kLifetimeMs = 180000;
constexpr DWORD kHangMs = 20000;

enum class Mode { Confirm, Refuse, Silent, Hang, Stray };

UINT quitMessage = 0;
Mode mode = Mode::Silent;
std::string logPath;

// Appends one line in one write, so that the lines of several programs stay whole.
void Log(const std::string &line) {
  FILE *log = std::fopen(logPath.c_str(), "ab");
  if (!log) return;
  std::fputs((line + "\n").c_str(), log);
  std::fclose(log);
}

void HandleQuitMessage(HWND window, WPARAM code, HWND requester) {
  switch (code) {
    case kQuitQuery:
      Log("query");
      SendMessageA(requester, quitMessage, kQuitPresent, 0);
      if (mode == Mode::Stray) PostThreadMessageA(GetWindowThreadProcessId(requester, nullptr), WM_USER, 0, 0);
      break;
    case kQuitOrder:
      Log("order");
      if (mode == Mode::Confirm || mode == Mode::Hang || mode == Mode::Stray) {
        SendMessageA(requester, quitMessage, kQuitDone, 0);
        DestroyWindow(window);
      } else if (mode == Mode::Refuse) {
        SendMessageA(requester, quitMessage, kQuitRefused, 0);
      }
      break;
    default:
      Log("code " + std::to_string(code));
      break;
  }
}

LRESULT CALLBACK ListenerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (quitMessage != 0 && message == quitMessage) {
    HandleQuitMessage(window, wParam, reinterpret_cast<HWND>(lParam));
    return 0;
  }
  switch (message) {
    case WM_TIMER:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

// The order of the names is that of Mode.
bool ParseMode(const char *text) {
  const char *const names[] = {"confirm", "refuse", "silent", "hang", "stray"};
  for (int i = 0; i < 5; ++i) {
    if (std::strcmp(text, names[i]) == 0) {
      mode = static_cast<Mode>(i);
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 1) {
    char image[MAX_PATH] = "";
    const DWORD length = GetModuleFileNameA(nullptr, image, sizeof image);
    if (length == 0 || length >= sizeof image) return 1;
    logPath = std::string(image) + ".log";
    Log(std::string(image) + "\t" + GetCommandLineA());
    return 0;
  }
  if (argc != 4 || !ParseMode(argv[1])) return 2;
  logPath = argv[3];
  quitMessage = RegisterWindowMessageA(kQuitMessageName);
  if (quitMessage == 0) return 3;

  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = ListenerProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kListenerClass;
  if (!RegisterClassA(&windowClass)) return 4;
  // Top-level and never shown: broadcasts reach it all the same.
  HWND window = CreateWindowExA(0, kListenerClass, argv[2], WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
  if (!window) return 5;
  SetTimer(window, kLifetimeTimer, kLifetimeMs, nullptr);
  if (mode == Mode::Hang) Sleep(kHangMs);

  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return 0;
}
