// Window manager conformance: registered messages, window classes, creation and destruction,
// sending and posting, the thread's message loop, WM_QUIT, timers and broadcasts. The same checks
// run against the simulated platform and, as a Windows program, under Wine.
#include <vector>

#include "platform_test.h"

namespace {

constexpr char kClassName[] = "WinsimConformance.Recorder";
constexpr UINT kAnsweredMessage = WM_USER + 5;  // the recording procedure answers it
constexpr LRESULT kAnswer = 0x1234;
const HWND kThreadMessages = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

struct Seen {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

// What the recording window procedure saw, and how it answers WM_CREATE.
std::vector<Seen> seen;
LRESULT createAnswer = 0;
LPVOID createParams = nullptr;
bool createdBeforeReturn = false;

bool Recorded(UINT message) {
  return message == WM_NCCREATE || message == WM_CREATE || message == WM_DESTROY || message == WM_NCDESTROY ||
         message == WM_TIMER || message == WM_CLOSE || message >= WM_USER;
}

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (Recorded(message)) seen.push_back(Seen{hwnd, message, wParam, lParam});
  if (message == WM_CREATE) {
    createParams = reinterpret_cast<CREATESTRUCTA *>(lParam)->lpCreateParams;
    createdBeforeReturn = true;
    return createAnswer;
  }
  if (message == kAnsweredMessage) return kAnswer + static_cast<LRESULT>(wParam);
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

std::vector<UINT> MessagesSeenBy(HWND hwnd) {
  std::vector<UINT> messages;
  for (const Seen &s : seen)
    if (s.hwnd == hwnd) messages.push_back(s.message);
  return messages;
}

int timerCallbacks = 0;
UINT_PTR timerCallbackId = 0;
void CALLBACK CountingTimerProc(HWND, UINT, UINT_PTR id, DWORD) {
  ++timerCallbacks;
  timerCallbackId = id;
}

class User32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    DrainQueue();
    seen.clear();
    createAnswer = 0;
    createParams = nullptr;
    createdBeforeReturn = false;
    timerCallbacks = 0;
    timerCallbackId = 0;
    instance_ = GetModuleHandleA(nullptr);
    ASSERT_NE(RegisterRecorderClass(kClassName), 0) << "RegisterClassA failed, error " << GetLastError();
  }

  void TearDown() override {
    for (HWND hwnd : windows_)
      if (IsWindow(hwnd)) DestroyWindow(hwnd);
    UnregisterClassA(kClassName, instance_);
    DrainQueue();
  }

  ATOM RegisterRecorderClass(const char *name) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = RecordingProc;
    wc.hInstance = instance_;
    wc.lpszClassName = name;
    return RegisterClassA(&wc);
  }

  HWND Create(LPVOID param = nullptr, HWND parent = nullptr, DWORD style = WS_OVERLAPPEDWINDOW) {
    HWND hwnd = CreateWindowExA(0, kClassName, "", style, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, parent, nullptr, instance_, param);
    if (hwnd) windows_.push_back(hwnd);
    return hwnd;
  }

  static void DrainQueue() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  }

  HINSTANCE instance_ = nullptr;
  std::vector<HWND> windows_;
};

TEST_F(User32Test, RegisteredMessageNumbersAreTheSameForTheSameNameInAnyCase) {
  const UINT first = RegisterWindowMessageA("WinsimConformance.Message");
  ASSERT_NE(first, 0u) << "error " << GetLastError();
  EXPECT_GE(first, 0xC000u);
  EXPECT_LE(first, 0xFFFFu);
  EXPECT_EQ(RegisterWindowMessageA("WinsimConformance.Message"), first);
  EXPECT_EQ(RegisterWindowMessageA("WINSIMCONFORMANCE.message"), first) << "names compare without letter case";
  const UINT other = RegisterWindowMessageA("WinsimConformance.OtherMessage");
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, first);
}

TEST_F(User32Test, ClassRegistrationRules) {
  SetLastError(0);
  EXPECT_EQ(RegisterRecorderClass(kClassName), 0) << "the class is already registered by SetUp";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
  EXPECT_EQ(RegisterRecorderClass("WINSIMCONFORMANCE.RECORDER"), 0) << "class names compare without letter case";

  HWND hwnd = Create();
  ASSERT_NE(hwnd, nullptr);
  SetLastError(0);
  EXPECT_FALSE(UnregisterClassA(kClassName, instance_)) << "a window of the class still exists";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_HAS_WINDOWS));

  ASSERT_TRUE(DestroyWindow(hwnd));
  EXPECT_TRUE(UnregisterClassA(kClassName, instance_)) << "error " << GetLastError();
  SetLastError(0);
  EXPECT_FALSE(Stopped("UnregisterClassA", UnregisterClassA(kClassName, instance_)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_DOES_NOT_EXIST));

  EXPECT_EQ(Create(), nullptr) << "the class is gone";
  EXPECT_NE(RegisterRecorderClass(kClassName), 0) << "a name is free again once unregistered";
}

TEST_F(User32Test, CreatingAWindowOfAnUnknownClassReportsTheMissingClass) {
  SetLastError(0);
  HWND hwnd = CreateWindowExA(0, "WinsimConformance.NoSuchClass", "", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance_, nullptr);
  EXPECT_EQ(hwnd, nullptr);
  SKIP_UNDER_WINE("CreateWindowExA reports ERROR_CLASS_DOES_NOT_EXIST (1411) for an unknown class");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
}

TEST_F(User32Test, CreationHandlesNcCreateAndCreateBeforeItReturns) {
  int param = 0;
  HWND hwnd = Create(&param);
  ASSERT_NE(hwnd, nullptr) << "error " << GetLastError();
  EXPECT_TRUE(createdBeforeReturn);
  EXPECT_EQ(createParams, &param) << "WM_CREATE carries the creation parameter";
  const std::vector<UINT> messages = MessagesSeenBy(hwnd);
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[0], static_cast<UINT>(WM_NCCREATE));
  EXPECT_EQ(messages[1], static_cast<UINT>(WM_CREATE));
  EXPECT_TRUE(IsWindow(hwnd));
}

TEST_F(User32Test, MinusOneFromCreateFailsTheCreationAndDestroysTheWindow) {
  createAnswer = -1;
  EXPECT_EQ(Create(), nullptr);
  ASSERT_FALSE(seen.empty());
  const HWND attempted = seen.front().hwnd;
  EXPECT_EQ(seen.back().message, static_cast<UINT>(WM_NCDESTROY)) << "the window was destroyed";
  EXPECT_FALSE(IsWindow(attempted));
}

TEST_F(User32Test, DestroyWindowSendsDestroyThenNcDestroyAndPostsNothing) {
  HWND hwnd = Create();
  ASSERT_NE(hwnd, nullptr);
  DrainQueue();
  seen.clear();
  ASSERT_TRUE(DestroyWindow(hwnd)) << "error " << GetLastError();
  const std::vector<UINT> messages = MessagesSeenBy(hwnd);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], static_cast<UINT>(WM_DESTROY));
  EXPECT_EQ(messages[1], static_cast<UINT>(WM_NCDESTROY));
  EXPECT_FALSE(IsWindow(hwnd));
  MSG msg;
  EXPECT_FALSE(PeekMessageA(&msg, kThreadMessages, 0, 0, PM_REMOVE))
      << "destruction posted message " << msg.message << " to the thread";
  SetLastError(0);
  EXPECT_FALSE(Stopped("DestroyWindow", DestroyWindow(hwnd))) << "a destroyed window cannot be destroyed again";
  SKIP_UNDER_WINE("DestroyWindow of a handle that is no window reports ERROR_ACCESS_DENIED");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(User32Test, DefaultProcessingOfCloseDestroysTheWindow) {
  HWND hwnd = Create();
  ASSERT_NE(hwnd, nullptr);
  SendMessageA(hwnd, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindow(hwnd));
}

TEST_F(User32Test, SendMessageRunsTheProcedureBeforeReturningItsAnswer) {
  HWND hwnd = Create();
  ASSERT_NE(hwnd, nullptr);
  seen.clear();
  EXPECT_EQ(SendMessageA(hwnd, kAnsweredMessage, 3, 0), kAnswer + 3);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].message, kAnsweredMessage);
  DWORD_PTR result = 0;
  EXPECT_TRUE(SendMessageTimeoutA(hwnd, kAnsweredMessage, 4, 0, SMTO_ABORTIFHUNG, 0, &result))
      << "a window of the calling thread is called directly, whatever the bound";
  EXPECT_EQ(result, static_cast<DWORD_PTR>(kAnswer + 4));
  EXPECT_EQ(seen.size(), 2u);
  MSG msg;
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << "a sent message is not queued";
}

TEST_F(User32Test, PostedMessagesWaitForTheLoopAndComeInOrder) {
  HWND hwnd = Create();
  ASSERT_NE(hwnd, nullptr);
  DrainQueue();
  seen.clear();
  ASSERT_TRUE(PostMessageA(hwnd, kAnsweredMessage, 1, 11));
  ASSERT_TRUE(PostMessageA(nullptr, WM_USER + 1, 2, 22)) << "no window: a message for the thread";
  ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_USER + 2, 3, 33));
  EXPECT_TRUE(seen.empty()) << "nothing is handled before the loop takes it";

  MSG msg;
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.hwnd, hwnd);
  EXPECT_EQ(msg.message, kAnsweredMessage);
  EXPECT_EQ(msg.wParam, 1u);
  EXPECT_EQ(msg.lParam, 11);
  EXPECT_EQ(DispatchMessageA(&msg), kAnswer + 1) << "DispatchMessageA returns the procedure's answer";
  ASSERT_EQ(seen.size(), 1u);

  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.hwnd, nullptr);
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 1));
  EXPECT_EQ(msg.lParam, 22);
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.hwnd, nullptr);
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 2));
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_EQ(DispatchMessageA(&msg), 0) << "a thread message has no procedure to go to";
  EXPECT_EQ(seen.size(), 1u);
}

TEST_F(User32Test, FiltersSelectByWindowAndByMessageRange) {
  HWND hwnd = Create();
  ASSERT_NE(hwnd, nullptr);
  DrainQueue();
  ASSERT_TRUE(PostMessageA(hwnd, WM_USER + 10, 0, 0));
  ASSERT_TRUE(PostMessageA(nullptr, WM_USER + 11, 0, 0));
  ASSERT_TRUE(PostMessageA(hwnd, WM_USER + 12, 0, 0));

  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, kThreadMessages, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 11)) << "(HWND)-1 selects messages posted to no window";
  ASSERT_TRUE(PeekMessageA(&msg, hwnd, WM_USER + 12, WM_USER + 12, PM_NOREMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 12)) << "the range skips the older message";
  ASSERT_EQ(GetMessageA(&msg, hwnd, 0, 0), TRUE);
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 10)) << "PM_NOREMOVE left the message in place";
  ASSERT_EQ(GetMessageA(&msg, hwnd, 0, 0), TRUE);
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 12));
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(User32Test, QuitComesAfterPostedMessagesAndMakesGetMessageReturnZero) {
  ASSERT_TRUE(PostMessageA(nullptr, WM_USER + 1, 0, 0));
  PostQuitMessage(7);
  ASSERT_TRUE(PostMessageA(nullptr, WM_USER + 2, 0, 0));

  MSG msg;
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 1));
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 2)) << "a message posted after the quit request comes first";
  EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), 0);
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 7u) << "the exit code travels in wParam";
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << "the quit request was taken";
}

TEST_F(User32Test, InvalidWindowsAndThreadsAreRefused) {
  HWND hwnd = Create();
  ASSERT_NE(hwnd, nullptr);
  ASSERT_TRUE(DestroyWindow(hwnd));
  MSG msg;
  SetLastError(0);
  EXPECT_EQ(Stopped("GetMessageA", GetMessageA(&msg, hwnd, 0, 0)), -1) << "a filter naming a destroyed window";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(Stopped("PostMessageA", PostMessageA(hwnd, WM_USER, 0, 0)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  SetLastError(0);
  EXPECT_EQ(Stopped("SendMessageA", SendMessageA(hwnd, kAnsweredMessage, 0, 0)), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_FALSE(PostThreadMessageA(GetCurrentThreadId() ^ 0x40000000u, WM_USER, 0, 0)) << "no thread has that id";
  EXPECT_FALSE(Stopped("SetTimer", SetTimer(hwnd, 1, 100, nullptr))) << "no timer for a destroyed window";
}

TEST_F(User32Test, WindowTimerFiresUntilKilled) {
  HWND hwnd = Create();
  ASSERT_NE(hwnd, nullptr);
  DrainQueue();
  seen.clear();
  ASSERT_NE(SetTimer(hwnd, 7, 1, nullptr), 0u) << "error " << GetLastError();
  MSG msg;
  ASSERT_EQ(GetMessageA(&msg, hwnd, WM_TIMER, WM_TIMER), TRUE);
  EXPECT_EQ(msg.hwnd, hwnd);
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
  EXPECT_EQ(msg.wParam, 7u) << "WM_TIMER carries the timer id";
  DispatchMessageA(&msg);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].message, static_cast<UINT>(WM_TIMER));

  EXPECT_TRUE(KillTimer(hwnd, 7));
  Sleep(50);
  EXPECT_FALSE(PeekMessageA(&msg, hwnd, WM_TIMER, WM_TIMER, PM_REMOVE)) << "a killed timer fires no more";
  EXPECT_FALSE(KillTimer(hwnd, 7)) << "the timer is gone";
}

TEST_F(User32Test, AnElapsedTimerHasOneMessagePendingHoweverLate) {
  HWND hwnd = Create();
  ASSERT_NE(hwnd, nullptr);
  ASSERT_NE(SetTimer(hwnd, 3, 50, nullptr), 0u);
  Sleep(400);  // several periods
  MSG msg;
  EXPECT_TRUE(PeekMessageA(&msg, hwnd, WM_TIMER, WM_TIMER, PM_REMOVE));
  EXPECT_FALSE(PeekMessageA(&msg, hwnd, WM_TIMER, WM_TIMER, PM_REMOVE)) << "missed periods do not pile up";
  EXPECT_TRUE(KillTimer(hwnd, 3));
}

TEST_F(User32Test, ThreadTimerGoesToItsCallbackThroughDispatch) {
  const UINT_PTR id = SetTimer(nullptr, 0, 10, CountingTimerProc);
  ASSERT_NE(id, 0u) << "a thread timer gets an id of its own";
  MSG msg;
  ASSERT_EQ(GetMessageA(&msg, nullptr, WM_TIMER, WM_TIMER), TRUE);
  EXPECT_EQ(msg.hwnd, nullptr);
  EXPECT_EQ(msg.wParam, id);
  DispatchMessageA(&msg);
  EXPECT_EQ(timerCallbacks, 1);
  EXPECT_EQ(timerCallbackId, id);
  EXPECT_EQ(SetTimer(nullptr, id, 20, CountingTimerProc), id) << "the same id replaces the timer";
  EXPECT_TRUE(KillTimer(nullptr, id));
  EXPECT_FALSE(Stopped("KillTimer", KillTimer(nullptr, id)));
}

TEST_F(User32Test, DestroyWindowKillsItsTimersAndDropsItsQueuedMessages) {
  HWND hwnd = Create();
  ASSERT_NE(hwnd, nullptr);
  ASSERT_NE(SetTimer(hwnd, 1, 10, nullptr), 0u);
  ASSERT_TRUE(PostMessageA(hwnd, WM_USER + 3, 0, 0));
  ASSERT_TRUE(DestroyWindow(hwnd));
  Sleep(50);
  MSG msg;
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << "message " << msg.message << " survived";
  EXPECT_FALSE(Stopped("KillTimer", KillTimer(hwnd, 1))) << "the timer went with the window";
}

TEST_F(User32Test, BroadcastReachesTheProgramsOwnTopLevelWindowsOnly) {
  const UINT message = RegisterWindowMessageA("WinsimConformance.Broadcast");
  ASSERT_NE(message, 0u);
  HWND top = Create();
  ASSERT_NE(top, nullptr);
  HWND child = Create(nullptr, top, WS_CHILD);
  ASSERT_NE(child, nullptr) << "error " << GetLastError();
  HWND messageOnly = Create(nullptr, HWND_MESSAGE, 0);
  ASSERT_NE(messageOnly, nullptr) << "error " << GetLastError();
  DrainQueue();
  seen.clear();

  SendMessageA(HWND_BROADCAST, message, 41, 0);
  const std::vector<UINT> sentToTop = MessagesSeenBy(top);
  ASSERT_EQ(sentToTop.size(), 1u) << "the sent broadcast is handled before SendMessageA returns";
  EXPECT_EQ(sentToTop[0], message);
  EXPECT_TRUE(MessagesSeenBy(child).empty()) << "child windows are not top-level";
  EXPECT_TRUE(MessagesSeenBy(messageOnly).empty()) << "message-only windows get no broadcasts";

  seen.clear();
  DWORD_PTR result = 0;
  EXPECT_TRUE(SendMessageTimeoutA(HWND_BROADCAST, message, 43, 0, SMTO_ABORTIFHUNG, 1000, &result));
  EXPECT_EQ(MessagesSeenBy(top).size(), 1u) << "a timed broadcast reaches the same windows";
  EXPECT_TRUE(MessagesSeenBy(child).empty());

  seen.clear();
  ASSERT_TRUE(PostMessageA(HWND_BROADCAST, message, 42, 0));
  EXPECT_TRUE(seen.empty()) << "a posted broadcast waits in the queue";
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  ASSERT_EQ(MessagesSeenBy(top).size(), 1u);
  EXPECT_EQ(seen.front().wParam, 42u);
  EXPECT_TRUE(MessagesSeenBy(child).empty());
  EXPECT_TRUE(MessagesSeenBy(messageOnly).empty());
}

TEST_F(User32Test, CreatingAChildWithoutParentFails) {
  SetLastError(0);
  EXPECT_EQ(Create(nullptr, nullptr, WS_CHILD), nullptr);
  EXPECT_EQ(GetLastError(), 1406u) << "ERROR_TLW_WITH_WSCHILD";
}

TEST_F(User32Test, PredefinedIconsCursorsAndStockObjectsAreShared) {
  HICON icon = LoadIconA(nullptr, IDI_APPLICATION);
  EXPECT_NE(icon, nullptr);
  EXPECT_EQ(LoadIconA(nullptr, IDI_APPLICATION), icon);
  HCURSOR cursor = LoadCursorA(nullptr, IDC_ARROW);
  EXPECT_NE(cursor, nullptr);
  EXPECT_EQ(LoadCursorA(nullptr, IDC_ARROW), cursor);
  HGDIOBJ brush = GetStockObject(WHITE_BRUSH);
  EXPECT_NE(brush, nullptr);
  EXPECT_EQ(GetStockObject(WHITE_BRUSH), brush);
  EXPECT_NE(GetStockObject(BLACK_BRUSH), brush);
}

}  // namespace
