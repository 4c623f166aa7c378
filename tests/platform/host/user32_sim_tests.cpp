// What only the simulated window manager has: the virtual clock, monitor applications of other
// processes (quit listeners, whose threads may hang), the message trace, and the accounting of
// windows, classes and timers.
#include <gtest/gtest.h>
#include <winsim.h>

#include <string>
#include <vector>

namespace {

constexpr char kClassName[] = "SimTests.Recorder";
const HINSTANCE kInstance = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x7A000000));

struct Seen {
  uint64_t atMs;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};
std::vector<Seen> seen;
UINT quitMessage = 0;

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == quitMessage || message == WM_TIMER || message >= WM_USER)
    seen.push_back(Seen{winsim::NowMs(), message, wParam, lParam});
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

class User32SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::Reset();
    seen.clear();
    quitMessage = RegisterWindowMessageA("ORVIK.Quit");
    ASSERT_NE(quitMessage, 0u);
  }

  void TearDown() override {
    if (window_ && IsWindow(window_)) DestroyWindow(window_);
    if (registered_) UnregisterClassA(kClassName, kInstance);
    const winsim::HandleCounts open = winsim::OpenHandles();
    EXPECT_EQ(open.windows + open.classes + open.timers, 0) << winsim::DescribeOpenHandles();
    EXPECT_EQ(winsim::DescribeVerifierStops(winsim::TakeVerifierStops()), "");
    winsim::Reset();
  }

  HWND CreateRecorder() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = RecordingProc;
    wc.hInstance = kInstance;
    wc.lpszClassName = kClassName;
    if (!(registered_ = RegisterClassA(&wc) != 0)) return nullptr;
    window_ = CreateWindowExA(0, kClassName, "", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, nullptr, nullptr, kInstance, nullptr);
    return window_;
  }

  // Takes and dispatches what is queued now, without letting time pass.
  static void Pump() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  }

  HWND window_ = nullptr;
  bool registered_ = false;
};

// ---- Virtual clock ---------------------------------------------------------------------------

TEST_F(User32SimTest, AWaitingThreadJumpsToTheNextTimerNeverSoonerThanTenMilliseconds) {
  HWND hwnd = CreateRecorder();
  ASSERT_NE(hwnd, nullptr);
  ASSERT_NE(SetTimer(hwnd, 1, 1, nullptr), 0u);
  ASSERT_NE(SetTimer(nullptr, 0, 15000, nullptr), 0u);
  MSG msg;
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.hwnd, hwnd);
  EXPECT_EQ(winsim::NowMs(), 10u) << "a 1 ms timer is raised to the minimum";
  ASSERT_EQ(GetMessageA(&msg, hwnd, 0, 0), TRUE);
  EXPECT_EQ(winsim::NowMs(), 20u) << "the next period starts when the message is taken";
  EXPECT_TRUE(KillTimer(hwnd, 1));
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.hwnd, nullptr);
  EXPECT_EQ(winsim::NowMs(), 15000u);
  EXPECT_EQ(GetTickCount(), 15000u);
  EXPECT_EQ(msg.time, 15000u);
  EXPECT_TRUE(KillTimer(nullptr, msg.wParam));
}

TEST_F(User32SimTest, SleepAdvancesTheClockAndRunsScheduledWorkAtItsTime) {
  std::vector<uint64_t> ranAt;
  winsim::ScheduleAt(30, [&] { ranAt.push_back(winsim::NowMs()); });
  winsim::ScheduleAt(10, [&] { ranAt.push_back(winsim::NowMs()); });
  winsim::ScheduleAt(80, [&] { ranAt.push_back(winsim::NowMs()); });
  Sleep(50);
  EXPECT_EQ(ranAt, (std::vector<uint64_t>{10, 30}));
  EXPECT_EQ(winsim::NowMs(), 50u);
}

TEST_F(User32SimTest, ScheduledWorkWakesAWaitingThreadBeforeALaterTimer) {
  winsim::ScheduleAt(200, [] { PostMessageA(nullptr, WM_USER + 1, 0, 0); });
  ASSERT_NE(SetTimer(nullptr, 0, 500, nullptr), 0u);
  MSG msg;
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 1));
  EXPECT_EQ(winsim::NowMs(), 200u);
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
  EXPECT_EQ(winsim::NowMs(), 500u);
  KillTimer(nullptr, msg.wParam);
}

TEST_F(User32SimTest, AWaitWithNothingPendingIsStoppedByTheVerifier) {
  MSG msg;
  EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), -1);
  EXPECT_EQ(winsim::NowMs(), 0u);

  HWND hwnd = CreateRecorder();
  ASSERT_NE(hwnd, nullptr);
  ASSERT_NE(SetTimer(hwnd, 1, 100, nullptr), 0u);
  EXPECT_EQ(GetMessageA(&msg, nullptr, WM_USER, WM_USER), -1) << "the filter keeps the timer out";
  EXPECT_EQ(winsim::NowMs(), 0u);
  KillTimer(hwnd, 1);
  const std::vector<winsim::VerifierStop> stops = winsim::TakeVerifierStops();
  ASSERT_EQ(stops.size(), 2u);
  EXPECT_EQ(stops[1].function, "GetMessageA");
}

// ---- Quit listeners --------------------------------------------------------------------------

TEST_F(User32SimTest, PostedAndDelayedAnswersWaitForTheLoop) {
  HWND hwnd = CreateRecorder();
  ASSERT_NE(hwnd, nullptr);
  winsim::QuitListenerSpec spec;
  spec.onQuery = {winsim::QuitReply{1, false, 0}, winsim::QuitReply{4, true, 300}};
  winsim::AddQuitListener(spec);
  SendMessageA(HWND_BROADCAST, quitMessage, 0, reinterpret_cast<LPARAM>(hwnd));
  ASSERT_EQ(seen.size(), 1u) << "only the recorder's own query so far";

  ASSERT_NE(SetTimer(hwnd, 1, 1000, nullptr), 0u);
  MSG msg;
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.message, quitMessage) << "the posted answer is queued";
  EXPECT_EQ(msg.wParam, 1u);
  DispatchMessageA(&msg);
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[2].wParam, 4u) << "the delayed sent answer was handled while the thread waited";
  EXPECT_EQ(seen[2].atMs, 300u);
  KillTimer(hwnd, 1);
}

TEST_F(User32SimTest, AMessageSentWhileTheThreadSleepsWaitsForItsNextLookAtTheQueue) {
  HWND hwnd = CreateRecorder();
  ASSERT_NE(hwnd, nullptr);
  winsim::QuitListenerSpec spec;
  spec.onQuery = {winsim::QuitReply{1, true, 100}};
  winsim::AddQuitListener(spec);
  SendMessageA(HWND_BROADCAST, quitMessage, 0, reinterpret_cast<LPARAM>(hwnd));
  seen.clear();
  Sleep(500);
  EXPECT_TRUE(seen.empty()) << "a sleeping thread handles no sent message";
  Pump();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].atMs, 500u);
}

TEST_F(User32SimTest, ASendToAWindowWhoseThreadHandlesNothingWaitsAsItsFlagsSay) {
  // One listener answers the query (code 4, "late") 500 ms after it got it; another's thread
  // handles nothing from 0 ms for hangForMs and then answers (code 1, "hung"). The query goes out
  // at sendAtMs, timed ones with a bound of 2000 ms. The outcome: when the send returned, which
  // answers the recorder had handled by then and when, why the hung window was not reached, and
  // the verifier's stops.
  constexpr UINT kPlainSend = 0xFFFF;  // SendMessageA instead of SendMessageTimeoutA
  struct Case {
    const char *what;
    uint64_t hangForMs, sendAtMs;
    UINT flags;
    const char *outcome;
  };
  const Case cases[] = {
      {"a plain send waits for the hang's end", 40000, 0, kPlainSend, "back at 40000; late 500; hung 40000"},
      {"not hung yet: the bound", 40000, 0, SMTO_ABORTIFHUNG, "back at 2000; late 500; timed out after 2000 ms"},
      {"hung for more than 5 s: passed over", 40000, 6000, SMTO_ABORTIFHUNG,
       "back at 6000; passed over: not responding for 6000 ms"},
      {"hung, but without SMTO_ABORTIFHUNG", 40000, 6000, SMTO_NORMAL,
       "back at 8000; late 6500; timed out after 2000 ms"},
      {"SMTO_BLOCK holds back what is sent meanwhile", 40000, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK,
       "back at 2000; late 2000; timed out after 2000 ms"},
      {"back within the bound", 1000, 0, SMTO_ABORTIFHUNG, "back at 1000; late 500; hung 1000"},
      {"a plain send to a thread that never comes back", UINT64_MAX, 0, kPlainSend,
       "back at 500; late 500; stopped in SendMessageA"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    winsim::Reset();
    seen.clear();
    HWND hwnd = CreateRecorder();
    ASSERT_NE(hwnd, nullptr);
    winsim::QuitListenerSpec answers, hangs;
    answers.onQuery = {winsim::QuitReply{4, true, 500}};
    hangs.name = "hangs";
    hangs.hangAtMs = 0;
    hangs.hangForMs = c.hangForMs;
    winsim::AddQuitListener(answers);
    winsim::AddQuitListener(hangs);
    Sleep(static_cast<DWORD>(c.sendAtMs));
    const LPARAM asker = reinterpret_cast<LPARAM>(hwnd);
    DWORD_PTR result = 0;
    if (c.flags == kPlainSend)
      SendMessageA(HWND_BROADCAST, quitMessage, 0, asker);
    else
      EXPECT_TRUE(SendMessageTimeoutA(HWND_BROADCAST, quitMessage, 0, asker, c.flags, 2000, &result));
    std::string outcome = "back at " + std::to_string(winsim::NowMs());
    Pump();
    for (const Seen &s : seen)
      if (s.message == quitMessage && s.wParam != 0)
        outcome += (s.wParam == 1 ? "; hung " : "; late ") + std::to_string(s.atMs);
    for (const winsim::MessageTraceEntry &e : winsim::MessageTrace())
      if (!e.note.empty()) outcome += "; " + e.note;
    for (const winsim::VerifierStop &stop : winsim::TakeVerifierStops())
      outcome += "; stopped in " + stop.function;
    EXPECT_EQ(outcome, c.outcome);
    DestroyWindow(hwnd);
    UnregisterClassA(kClassName, kInstance);
    registered_ = false;
  }
}

// ---- Message trace ---------------------------------------------------------------------------

TEST_F(User32SimTest, TraceRecordsTheExchangeInOrderWithTimeAndKind) {
  HWND hwnd = CreateRecorder();
  ASSERT_NE(hwnd, nullptr);
  winsim::QuitListenerSpec spec;
  spec.name = "monitor";
  spec.onQuery.push_back(winsim::QuitReply{0, false, 0, true});  // and a stray thread message
  winsim::AddQuitListener(spec);
  SendMessageA(HWND_BROADCAST, quitMessage, 0, reinterpret_cast<LPARAM>(hwnd));
  PostMessageA(HWND_BROADCAST, quitMessage, 2, reinterpret_cast<LPARAM>(hwnd));
  ASSERT_NE(SetTimer(hwnd, 1, 40, nullptr), 0u);
  MSG msg;
  int threadMessages = 0;
  while (GetMessageA(&msg, nullptr, 0, 0) == TRUE && msg.message != WM_TIMER) {
    threadMessages += msg.hwnd == nullptr && msg.message == WM_USER;
    DispatchMessageA(&msg);
  }
  KillTimer(hwnd, 1);
  EXPECT_EQ(threadMessages, 1) << "the stray message came to the thread, not to a window";

  struct Expected {
    uint64_t atMs;
    std::string from, to, name;
    WPARAM wParam;
    bool sent;
  };
  const std::vector<Expected> expected = {
      {0, "module", "broadcast", "ORVIK.Quit", 0, true}, {0, "monitor", "module", "ORVIK.Quit", 1, true},
      {0, "monitor", "module", "WM_USER", 0, false},     {0, "module", "broadcast", "ORVIK.Quit", 2, false},
      {0, "monitor", "module", "ORVIK.Quit", 3, false},  {40, "system", "module", "WM_TIMER", 1, false},
  };
  const std::vector<winsim::MessageTraceEntry> &trace = winsim::MessageTrace();
  ASSERT_EQ(trace.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("entry " + std::to_string(i));
    EXPECT_EQ(trace[i].timeMs, expected[i].atMs);
    EXPECT_EQ(trace[i].from, expected[i].from);
    EXPECT_EQ(trace[i].to, expected[i].to);
    EXPECT_EQ(trace[i].messageName, expected[i].name);
    EXPECT_EQ(trace[i].wParam, expected[i].wParam);
    EXPECT_EQ(trace[i].sent, expected[i].sent);
  }
}

// ---- Accounting, faults, reset ---------------------------------------------------------------

TEST_F(User32SimTest, WindowsClassesAndTimersAreCountedButListenersAreNot) {
  winsim::AddQuitListener({});
  EXPECT_EQ(winsim::OpenHandles().windows, 0) << "a listener is another process's window";
  HWND hwnd = CreateRecorder();
  ASSERT_NE(hwnd, nullptr);
  ASSERT_NE(SetTimer(hwnd, 9, 100, nullptr), 0u);
  const winsim::HandleCounts open = winsim::OpenHandles();
  EXPECT_EQ(open.windows, 1);
  EXPECT_EQ(open.classes, 1);
  EXPECT_EQ(open.timers, 1);
  const std::string described = winsim::DescribeOpenHandles();
  EXPECT_NE(described.find(kClassName), std::string::npos) << described;
  EXPECT_NE(described.find("timer 9"), std::string::npos) << described;

  ASSERT_TRUE(DestroyWindow(hwnd));
  EXPECT_EQ(winsim::OpenHandles().timers, 0) << "the window's timer went with it";
  EXPECT_EQ(winsim::OpenHandles().windows, 0);
}

TEST_F(User32SimTest, InjectedFailuresReportAsThePlatformDoes) {
  winsim::FailNthCall("CreateWindowExA", 1, ERROR_NOT_ENOUGH_MEMORY);
  SetLastError(0);
  EXPECT_EQ(CreateRecorder(), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(winsim::OpenHandles().windows, 0);

  winsim::FailCallsMatching("PostMessageA", "ORVIK.Quit", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(PostMessageA(HWND_BROADCAST, quitMessage, 2, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(PostMessageA(nullptr, WM_USER, 0, 0)) << "other messages still go";
  winsim::ClearFaults();
  Pump();
}

TEST_F(User32SimTest, ResetForgetsEverythingButRegisteredMessageNumbers) {
  HWND hwnd = CreateRecorder();
  ASSERT_NE(hwnd, nullptr);
  ASSERT_NE(SetTimer(hwnd, 1, 100, nullptr), 0u);
  const int id = winsim::AddQuitListener({});
  PostMessageA(nullptr, WM_USER, 0, 0);
  Sleep(20);
  winsim::Reset();
  registered_ = false;

  EXPECT_EQ(winsim::OpenHandles().Total(), 0) << winsim::DescribeOpenHandles();
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_FALSE(winsim::QuitListenerAlive(id));
  EXPECT_EQ(winsim::NowMs(), 0u);
  EXPECT_TRUE(winsim::MessageTrace().empty());
  MSG msg;
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << "the queue is empty";
  EXPECT_EQ(RegisterWindowMessageA("ORVIK.Quit"), quitMessage);
}

}  // namespace
