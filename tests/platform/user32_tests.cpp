// The window manager as the quit exchange uses it: registered messages, window classes, creation
// and destruction, sent and posted messages, the thread's message loop, WM_QUIT, timers and
// broadcasts. The same checks run against the simulated platform and, as a Windows program, under
// Wine.
#include <string>
#include <vector>

#include "platform_test.h"

namespace {

constexpr char kClassName[] = "WinsimConformance.Recorder";
constexpr UINT kAnsweredMessage = WM_USER + 5;  // the recording procedure answers it
constexpr LRESULT kAnswer = 0x1234;
const HWND kThreadMessages = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

// The messages these tests look at by name; others by number.
std::string Name(UINT message) {
  const std::pair<UINT, const char *> kNames[] = {{WM_NCCREATE, "WM_NCCREATE"}, {WM_CREATE, "WM_CREATE"},
                                                  {WM_DESTROY, "WM_DESTROY"},   {WM_NCDESTROY, "WM_NCDESTROY"},
                                                  {WM_TIMER, "WM_TIMER"},       {WM_QUIT, "WM_QUIT"}};
  for (const auto &name : kNames)
    if (message == name.first) return name.second;
  return message >= WM_USER && message < 0xC000 ? "WM_USER+" + std::to_string(message - WM_USER)
                                                : std::to_string(message);
}

// What the recording window procedure saw: the window and "NAME(wParam)"; and what it does with
// WM_CREATE.
std::vector<std::pair<HWND, std::string>> seen;
LPVOID createParams = nullptr;
bool destroyOnCreate = false;

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  const std::string name = Name(message);
  if (message >= 0xC000 || name[0] == 'W') seen.emplace_back(hwnd, name + "(" + std::to_string(wParam) + ")");
  if (message == WM_CREATE) {
    createParams = reinterpret_cast<CREATESTRUCTA *>(lParam)->lpCreateParams;
    if (destroyOnCreate) DestroyWindow(hwnd);
  }
  if (message == kAnsweredMessage) return kAnswer + static_cast<LRESULT>(wParam);
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

// The messages the window's procedure saw, in order.
std::string SeenBy(HWND hwnd) {
  std::string messages;
  for (const auto &s : seen)
    if (s.first == hwnd) messages += (messages.empty() ? "" : " ") + s.second;
  return messages;
}

// The next message the loop takes, as "window|thread NAME wParam": with a PeekMessageA flag, or
// with GetMessageA and dispatched (how = kGetAndDispatch, adding " -> " and what dispatching
// returned; "0 for WM_QUIT code" when GetMessageA returns 0). Never waits for nothing: GetMessageA
// is only asked when a message or timer is due.
constexpr UINT kGetAndDispatch = 0xFFFF;
std::string Next(HWND filter, UINT first = 0, UINT last = 0, UINT how = kGetAndDispatch) {
  MSG msg{};
  const BOOL got = how == kGetAndDispatch ? GetMessageA(&msg, filter, first, last)
                                          : PeekMessageA(&msg, filter, first, last, how);
  if (got == -1) return "error " + std::to_string(GetLastError());
  if (how == kGetAndDispatch && got == 0) return "0 for " + Name(msg.message) + " " + std::to_string(msg.wParam);
  if (!got) return "none";
  std::string text = (msg.hwnd ? "window " : "thread ") + Name(msg.message) + " " + std::to_string(msg.wParam);
  if (how == kGetAndDispatch) text += " -> " + std::to_string(DispatchMessageA(&msg));
  return text;
}

class User32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    while (Next(nullptr, 0, 0, PM_REMOVE) != "none") {
    }
    seen.clear();
    createParams = nullptr;
    destroyOnCreate = false;
    instance_ = GetModuleHandleA(nullptr);
    ASSERT_NE(RegisterRecorderClass(), 0) << "RegisterClassA failed, error " << GetLastError();
  }
  void TearDown() override {
    for (HWND hwnd : windows_)
      if (IsWindow(hwnd)) DestroyWindow(hwnd);
    UnregisterClassA(kClassName, instance_);
    while (Next(nullptr, 0, 0, PM_REMOVE) != "none") {
    }
  }
  ATOM RegisterRecorderClass() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = RecordingProc;
    wc.hInstance = instance_;
    wc.lpszClassName = kClassName;
    return RegisterClassA(&wc);
  }
  HWND Create(LPVOID param = nullptr, HWND parent = nullptr, DWORD style = WS_OVERLAPPEDWINDOW) {
    HWND hwnd = CreateWindowExA(0, kClassName, "", style, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, parent, nullptr, instance_, param);
    if (hwnd) windows_.push_back(hwnd);
    return hwnd;
  }
  HINSTANCE instance_ = nullptr;
  std::vector<HWND> windows_;
};

TEST_F(User32Test, RegisteredMessagesAndWindowClasses) {
  const UINT first = RegisterWindowMessageA("WinsimConformance.Message");
  ExpectRows({
      {"a registered message is in their range", first >= 0xC000 && first <= 0xFFFF, 1},
      {"the same name again", RegisterWindowMessageA("WinsimConformance.Message"), first},
      {"the name in other letter case", RegisterWindowMessageA("WINSIMCONFORMANCE.message"), first},
      {"another name", RegisterWindowMessageA("WinsimConformance.Other") != first, 1},
      {"the class registered again", RegisterRecorderClass() == 0 ? GetLastError() : 0,
       ERROR_CLASS_ALREADY_EXISTS},
      {"a window of the class", Create() != nullptr, 1},
      {"unregister while it exists", ErrorOf(UnregisterClassA(kClassName, instance_)), ERROR_CLASS_HAS_WINDOWS},
      {"destroy the window", ErrorOf(DestroyWindow(windows_.back())), 0},
      {"unregister", ErrorOf(UnregisterClassA(kClassName, instance_)), 0},
      {"unregister again", ErrorOf(Stopped("UnregisterClassA", UnregisterClassA(kClassName, instance_))),
       ERROR_CLASS_DOES_NOT_EXIST},
      {"a window of the gone class", Create() == nullptr, 1},
      {"the class registered once more", RegisterRecorderClass() != 0, 1},
  });
}

TEST_F(User32Test, CreationAndDestructionSendTheirMessagesBeforeReturning) {
  int param = 0;
  HWND hwnd = Create(&param);
  ASSERT_NE(hwnd, nullptr) << "error " << GetLastError();
  EXPECT_EQ(SeenBy(hwnd), "WM_NCCREATE(0) WM_CREATE(0)");
  EXPECT_EQ(createParams, &param) << "WM_CREATE carries the creation parameter";
  seen.clear();
  ASSERT_TRUE(DestroyWindow(hwnd)) << "error " << GetLastError();
  EXPECT_EQ(SeenBy(hwnd), "WM_DESTROY(0) WM_NCDESTROY(0)");
  EXPECT_EQ(Next(kThreadMessages, 0, 0, PM_REMOVE), "none") << "destruction posts nothing";
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_FALSE(Stopped("DestroyWindow", DestroyWindow(hwnd))) << "a destroyed window cannot be destroyed again";

  destroyOnCreate = true;
  seen.clear();
  EXPECT_EQ(Create(), nullptr) << "a window its own procedure destroys during WM_CREATE is not returned";
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(SeenBy(seen.front().first), "WM_NCCREATE(0) WM_CREATE(0) WM_DESTROY(0) WM_NCDESTROY(0)");
  EXPECT_FALSE(IsWindow(seen.front().first));
}

TEST_F(User32Test, SentMessagesRunAtOncePostedOnesInTheOrderTheLoopTakesThem) {
  HWND hwnd = Create();
  ASSERT_NE(hwnd, nullptr);
  seen.clear();
  DWORD_PTR result = 0;
  ExpectRows({
      {"SendMessageA returns the procedure's answer", SendMessageA(hwnd, kAnsweredMessage, 3, 0), kAnswer + 3},
      {"SendMessageTimeoutA to the thread's own window, whatever the bound",
       SendMessageTimeoutA(hwnd, kAnsweredMessage, 4, 0, SMTO_ABORTIFHUNG, 0, &result) != 0, 1},
      {"its answer", static_cast<long long>(result), kAnswer + 4},
      {"post to the window", PostMessageA(hwnd, kAnsweredMessage, 1, 0) != 0, 1},
      {"post to no window: to the thread", PostMessageA(nullptr, WM_USER + 1, 2, 0) != 0, 1},
      {"post to the thread", PostThreadMessageA(GetCurrentThreadId(), WM_USER + 2, 3, 0) != 0, 1},
  });
  EXPECT_EQ(SeenBy(hwnd), "WM_USER+5(3) WM_USER+5(4)") << "sent messages are handled before the send returns";
  PostQuitMessage(7);
  ASSERT_TRUE(PostMessageA(nullptr, WM_USER + 3, 4, 0));
  const std::vector<std::string> taken = {
      Next(kThreadMessages, 0, 0, PM_REMOVE),
      Next(hwnd, WM_USER, WM_USER + 10, PM_NOREMOVE),
      Next(nullptr, WM_USER + 2, WM_USER + 3),
      Next(nullptr),
      Next(nullptr),
  };
  const std::vector<std::string> expected = {
      "thread WM_USER+1 2",       // (HWND)-1 selects messages posted to no window
      "window WM_USER+5 1",       // PM_NOREMOVE leaves it in place
      "thread WM_USER+2 3 -> 0",  // the range passes over the window's message; a thread message has no procedure
      "window WM_USER+5 1 -> " + std::to_string(kAnswer + 1),  // dispatching returns the procedure's answer
      "thread WM_USER+3 4 -> 0",  // posted after the quit request, and still before it
  };
  EXPECT_EQ(taken, expected);
  EXPECT_EQ(Next(nullptr), "0 for WM_QUIT 7") << "GetMessageA returns 0 for the quit request, its code in wParam";
  EXPECT_EQ(Next(nullptr, 0, 0, PM_REMOVE), "none") << "the quit request was taken";
}

TEST_F(User32Test, DestroyedWindowsAreRefused) {
  HWND hwnd = Create();
  ASSERT_NE(hwnd, nullptr);
  ASSERT_TRUE(DestroyWindow(hwnd));
  MSG msg;
  ExpectRows({
      {"GetMessageA with a destroyed window as filter", Stopped("GetMessageA", GetMessageA(&msg, hwnd, 0, 0)), -1},
      {"its error", GetLastError(), ERROR_INVALID_WINDOW_HANDLE},
      {"PostMessageA to it", ErrorOf(Stopped("PostMessageA", PostMessageA(hwnd, WM_USER, 0, 0))),
       ERROR_INVALID_WINDOW_HANDLE},
      {"SendMessageA to it", Stopped("SendMessageA", SendMessageA(hwnd, kAnsweredMessage, 0, 0)), 0},
      {"its error", GetLastError(), ERROR_INVALID_WINDOW_HANDLE},
      {"a timer for it", static_cast<long long>(Stopped("SetTimer", SetTimer(hwnd, 1, 100, nullptr))), 0},
      {"PostThreadMessageA to no thread", PostThreadMessageA(GetCurrentThreadId() ^ 0x40000000u, WM_USER, 0, 0),
       FALSE},
  });
}

TEST_F(User32Test, TimersFireUntilKilledAndGoWithTheirWindow) {
  HWND hwnd = Create();
  ASSERT_NE(hwnd, nullptr);
  seen.clear();
  ASSERT_NE(SetTimer(hwnd, 7, 1, nullptr), 0u) << "error " << GetLastError();
  EXPECT_EQ(Next(hwnd, WM_TIMER, WM_TIMER), "window WM_TIMER 7 -> 0") << "WM_TIMER carries the timer id";
  EXPECT_EQ(SeenBy(hwnd), "WM_TIMER(7)");
  EXPECT_TRUE(KillTimer(hwnd, 7));
  const UINT_PTR id = SetTimer(nullptr, 0, 10, nullptr);
  ASSERT_NE(id, 0u) << "a thread timer gets an id of its own";
  EXPECT_EQ(Next(nullptr, WM_TIMER, WM_TIMER), "thread WM_TIMER " + std::to_string(id) + " -> 0");
  EXPECT_TRUE(KillTimer(nullptr, id));
  EXPECT_FALSE(Stopped("KillTimer", KillTimer(nullptr, id))) << "the timer is gone";

  ASSERT_NE(SetTimer(hwnd, 1, 10, nullptr), 0u);
  ASSERT_TRUE(PostMessageA(hwnd, WM_USER + 3, 0, 0));
  ASSERT_TRUE(DestroyWindow(hwnd));
  Sleep(50);
  EXPECT_EQ(Next(nullptr, 0, 0, PM_REMOVE), "none")
      << "killed timers fire no more; a window's messages go with it";
  EXPECT_FALSE(Stopped("KillTimer", KillTimer(hwnd, 1))) << "the timer went with the window";
}

TEST_F(User32Test, BroadcastsReachTheProgramsOwnTopLevelWindowsOnly) {
  const UINT message = RegisterWindowMessageA("WinsimConformance.Broadcast");
  HWND top = Create(), child = Create(nullptr, top, WS_CHILD), messageOnly = Create(nullptr, HWND_MESSAGE, 0);
  ASSERT_TRUE(top && child && messageOnly) << "error " << GetLastError();
  seen.clear();
  SendMessageA(HWND_BROADCAST, message, 41, 0);
  DWORD_PTR result = 0;
  EXPECT_TRUE(SendMessageTimeoutA(HWND_BROADCAST, message, 42, 0, SMTO_ABORTIFHUNG | SMTO_NORMAL, 1000, &result));
  ASSERT_TRUE(PostMessageA(HWND_BROADCAST, message, 43, 0));
  const std::string named = Name(message);
  EXPECT_EQ(SeenBy(top), named + "(41) " + named + "(42)") << "sent ones are handled before the send returns";
  EXPECT_EQ(Next(nullptr, message, message), "window " + named + " 43 -> 0") << "a posted one waits in the queue";
  EXPECT_EQ(SeenBy(child) + SeenBy(messageOnly), "") << "child and message-only windows get no broadcasts";
}

}  // namespace
