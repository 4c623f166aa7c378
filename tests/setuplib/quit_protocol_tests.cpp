// The monitor quit exchange against simulated monitor applications: who answers, how, and when,
// and which platform calls fail, checked through the result, the virtual time the call took and
// the broadcasts that went out.
#include <functional>
#include <string>
#include <vector>

#include "setuplib.h"
#include "sim_fixture.h"

namespace {

const HINSTANCE kModule = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x10000000));
constexpr uint64_t kWaitMs = 15000;
constexpr uint64_t kMinimumTimerMs = 10;  // the 1 ms wind-up timer is raised to this
constexpr uint64_t kQueryBoundMs = 2000;  // how long the query waits for one window
constexpr uint64_t kHangMs = 40000;
constexpr char kQuitName[] = "ORVIK.Quit";
constexpr char kOtherClass[] = "QuitTests.OtherWindow";

using winsim::QuitListenerSpec;
using winsim::QuitReply;

QuitReply Sent(unsigned code, uint64_t delayMs = 0) {
  return QuitReply{code, true, delayMs};
}
QuitReply Posted(unsigned code, uint64_t delayMs = 0) {
  return QuitReply{code, false, delayMs};
}

QuitListenerSpec Listener(const std::string &name, std::vector<QuitReply> onQuery, std::vector<QuitReply> onOrder,
                          bool exitsAfterOrder = true) {
  QuitListenerSpec spec;
  spec.name = name;
  spec.onQuery = std::move(onQuery);
  spec.onOrder = std::move(onOrder);
  spec.exitsAfterOrder = exitsAfterOrder;
  return spec;
}

// A window of another process whose thread handles no message from the start for 40 s; it would
// answer and confirm.
QuitListenerSpec Hung() {
  QuitListenerSpec spec;
  spec.name = "hung";
  spec.hangAtMs = 0;
  spec.hangForMs = kHangMs;
  return spec;
}

// A thread message WM_USER posted to the asking window's thread.
QuitReply Stray() {
  return QuitReply{0, false, 0, true};
}

// A listener that answers the query and then neither confirms nor refuses.
QuitListenerSpec Silent(const std::string &name) {
  return Listener(name, {Sent(QUIT_PRESENT)}, {}, false);
}

// Messages that a window of the test's own (another window of the calling thread) received.
std::vector<UINT> otherWindowMessages;
UINT nestedCallMessage = WM_USER + 7;  // makes the other window call the exchange again
DWORD nestedCallResult = 0;

LRESULT CALLBACK OtherWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message >= WM_USER && message < WM_APP) otherWindowMessages.push_back(message);
  if (message == nestedCallMessage) nestedCallResult = CloseMonitorApplications(kModule);
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

class QuitProtocolTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    otherWindowMessages.clear();
    nestedCallResult = 0;
  }

  void TearDown() override {
    if (otherWindow_) {
      DestroyWindow(otherWindow_);
      UnregisterClassA(kOtherClass, kModule);
    }
    SimTest::TearDown();
  }

  HWND CreateOtherWindow() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = OtherWindowProc;
    wc.hInstance = kModule;
    wc.lpszClassName = kOtherClass;
    EXPECT_NE(RegisterClassA(&wc), 0);
    otherWindow_ = CreateWindowExA(0, kOtherClass, "", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                   CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, kModule, nullptr);
    EXPECT_NE(otherWindow_, nullptr);
    return otherWindow_;
  }

  // The times at which the module broadcast the quit message with `code`.
  static std::vector<uint64_t> BroadcastTimes(WPARAM code) {
    std::vector<uint64_t> times;
    for (const winsim::MessageTraceEntry &e : winsim::MessageTrace())
      if (e.messageName == kQuitName && e.from == "module" && e.to == "broadcast" && e.wParam == code)
        times.push_back(e.timeMs);
    return times;
  }

  // Nothing of the exchange may be left in the calling thread's queue.
  static void ExpectQueueEmpty() {
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << "left in the queue: message " << msg.message;
  }

  HWND otherWindow_ = nullptr;
};

// ---- One call, from the listeners' answers and the platform's failures to its result ---------

// Every case runs on a fresh machine; after each call nothing of the exchange is left: no window,
// class or timer, nothing in the thread's queue, no wait that could never have ended.
struct Case {
  const char *what;
  std::vector<QuitListenerSpec> listeners;
  std::function<void()> arrange;  // faults, time passing before the call
  DWORD status;
  uint64_t endsAtMs;
  std::vector<uint64_t> queries, orders;  // when the module broadcast the query and the order
};

void FailSetTimer(unsigned n) {
  winsim::FailNthCall("SetTimer", n, ERROR_NO_SYSTEM_RESOURCES);
}

TEST_F(QuitProtocolTest, EachCallEndsWithTheResultItsAnswersGiveAndLeavesNothingBehind) {
  const QuitListenerSpec confirms;  // answers at once (sent), confirms the order (posted), ends
  const QuitListenerSpec sendsDone = Listener("sends done", {Sent(QUIT_PRESENT)}, {Sent(QUIT_DONE)});
  QuitListenerSpec vanishes = Silent("vanishes");
  vanishes.vanishAtMs = 5000;
  const QuitListenerSpec hung = Hung();
  const auto wait6s = [] { Sleep(6000); };
  const auto failEndingPost = [] {
    winsim::FailCallsMatching("PostMessageA", "WM_USER(0) to the thread", ERROR_NOT_ENOUGH_MEMORY);
  };
  const Case cases[] = {
      {"no listener: one run, ended by the wind-up timer", {}, nullptr, SETUP_STATUS_OK, kMinimumTimerMs, {0}, {}},
      {"the second of two confirmations ends the run",
       {Listener("A", {Sent(QUIT_PRESENT)}, {Posted(QUIT_DONE)}),
        Listener("B", {Sent(QUIT_PRESENT)}, {Posted(QUIT_DONE, 700)})},
       nullptr,
       SETUP_STATUS_OK,
       700,
       {0},
       {0}},
      {"a refusal ends the run at once",
       {Listener("confirms", {Sent(QUIT_PRESENT)}, {Posted(QUIT_DONE, 100)}),
        Listener("refuses", {Sent(QUIT_PRESENT)}, {Posted(QUIT_REFUSED, 40)}, false)},
       nullptr,
       SETUP_STATUS_QUIT_REFUSED,
       40,
       {0},
       {0}},
      {"a silent listener still answers the second query",
       {Silent("silent")},
       nullptr,
       SETUP_STATUS_STILL_RUNNING,
       kWaitMs + kMinimumTimerMs,
       {0, kWaitMs},
       {0}},
      {"a listener gone during the wait is not found by the second query",
       {vanishes},
       nullptr,
       SETUP_STATUS_OK,
       kWaitMs + kMinimumTimerMs,
       {0, kWaitMs},
       {0}},
      {"an answer by post is counted only by the loop: no order",
       {Listener("posts", {Posted(QUIT_PRESENT)}, {Posted(QUIT_DONE)})},
       nullptr,
       SETUP_STATUS_STILL_RUNNING,
       2 * kMinimumTimerMs,
       {0, kMinimumTimerMs},
       {}},
      {"a confirmation from a window that never answered drives the count below zero",
       {Listener("stray", {Sent(QUIT_DONE)}, {}, false)},
       nullptr,
       SETUP_STATUS_STILL_RUNNING,
       kWaitMs + kMinimumTimerMs,
       {0, kWaitMs},
       {0}},
      {"a confirmation during the query never closes the window",
       {Listener("quick", {Sent(QUIT_PRESENT), Sent(QUIT_DONE)}, {})},
       nullptr,
       SETUP_STATUS_OK,
       kMinimumTimerMs,
       {0},
       {}},
      {"a confirmation from a window that never answered ends the wait all the same",
       {Silent("answers"), Listener("mute", {}, {Posted(QUIT_DONE, 300)})},
       nullptr,
       SETUP_STATUS_OK,
       300,
       {0},
       {0}},
      {"codes 0, 2 and 4 change nothing during the query",
       {Listener("odd", {Sent(0), Sent(2), Sent(4), Sent(QUIT_PRESENT)}, {Posted(QUIT_DONE)})},
       nullptr,
       SETUP_STATUS_OK,
       0,
       {0},
       {0}},
      {"codes 0, 2 and 4 change nothing during the wait",
       {Listener("odd", {Sent(QUIT_PRESENT)}, {Posted(4), Posted(0), Posted(2)}, false)},
       nullptr,
       SETUP_STATUS_STILL_RUNNING,
       kWaitMs + kMinimumTimerMs,
       {0, kWaitMs},
       {0}},
      // Windows that handle nothing, stray thread messages.
      {"a window hung for more than 5 s is passed over at once",
       {hung},
       wait6s,
       SETUP_STATUS_OK,
       6000 + kMinimumTimerMs,
       {6000},
       {}},
      {"a window that has just stopped handling messages is passed over after the bound",
       {hung},
       nullptr,
       SETUP_STATUS_OK,
       kQueryBoundMs + kMinimumTimerMs,
       {0},
       {}},
      {"a listener that answers in time counts as before beside a hung window",
       {hung, confirms},
       wait6s,
       SETUP_STATUS_OK,
       6000,
       {6000},
       {6000}},
      {"a stray thread WM_USER does not end the run",
       {Listener("strays", {Sent(QUIT_PRESENT), Stray()}, {Posted(QUIT_DONE, 300)})},
       nullptr,
       SETUP_STATUS_OK,
       300,
       {0},
       {0}},
      // Platform failures.
      {"no window class",
       {Silent("silent")},
       [] { winsim::FailNthCall("RegisterClassA", 1, ERROR_NOT_ENOUGH_MEMORY); },
       SETUP_STATUS_UNAVAILABLE,
       0,
       {},
       {}},
      {"no window",
       {Silent("silent")},
       [] { winsim::FailNthCall("CreateWindowExA", 1, ERROR_NOT_ENOUGH_MEMORY); },
       SETUP_STATUS_UNAVAILABLE,
       0,
       {},
       {}},
      {"a refusal during the query destroys the window before it is returned",
       {Listener("refuses at once", {Sent(QUIT_REFUSED)}, {})},
       nullptr,
       SETUP_STATUS_UNAVAILABLE,
       0,
       {0},
       {}},
      {"a loop that cannot fetch its message ends at once",
       {Silent("silent")},
       [] { winsim::FailNthCall("GetMessageA", 1, ERROR_INVALID_PARAMETER); },
       SETUP_STATUS_STILL_RUNNING,
       kMinimumTimerMs,
       {0, 0},
       {0}},
      {"no wind-up timer: the run ends at once", {}, [] { FailSetTimer(1); }, SETUP_STATUS_OK, 0, {0}, {}},
      {"no timer for the wait: the order goes out, the run ends at once",
       {confirms},
       [] { FailSetTimer(1); },
       SETUP_STATUS_OK,
       kMinimumTimerMs,
       {0, 0},
       {0}},
      {"no wind-up timer in the second run",
       {Silent("silent")},
       [] { FailSetTimer(2); },
       SETUP_STATUS_STILL_RUNNING,
       kWaitMs,
       {0, kWaitMs},
       {0}},
      {"the ending message cannot be posted", {confirms}, failEndingPost, SETUP_STATUS_OK, 0, {0}, {0}},
      {"the ending message cannot be posted while a sent confirmation is handled in the wait",
       {sendsDone},
       failEndingPost,
       SETUP_STATUS_OK,
       kMinimumTimerMs,
       {0},
       {0}},
      {"the window cannot be destroyed at the last confirmation",
       {sendsDone},
       [] { winsim::FailNthCall("DestroyWindow", 1, ERROR_ACCESS_DENIED); },
       SETUP_STATUS_OK,
       0,
       {0},
       {0}},
      {"the window cannot be destroyed on its timer",
       {Silent("silent")},
       [] { winsim::FailNthCall("DestroyWindow", 1, ERROR_ACCESS_DENIED); },
       SETUP_STATUS_STILL_RUNNING,
       kWaitMs + kMinimumTimerMs,
       {0, kWaitMs},
       {0}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    for (const QuitListenerSpec &spec : c.listeners) winsim::AddQuitListener(spec);
    if (c.arrange) c.arrange();
    EXPECT_EQ(CloseMonitorApplications(kModule), c.status);
    EXPECT_EQ(winsim::NowMs(), c.endsAtMs);
    EXPECT_EQ(BroadcastTimes(QUIT_QUERY), c.queries);
    EXPECT_EQ(BroadcastTimes(QUIT_ORDER), c.orders);
    winsim::ClearFaults();
    ExpectQueueEmpty();
    ExpectNoOpenHandles();
    EXPECT_EQ(winsim::DescribeVerifierStops(winsim::TakeVerifierStops()), "");
    winsim::Reset();
  }
}

// ---- The calling thread's loop ---------------------------------------------------------------

TEST_F(QuitProtocolTest, MessagesForOtherWindowsOfTheThreadAreDispatched) {
  HWND other = CreateOtherWindow();
  ASSERT_NE(other, nullptr);
  ASSERT_TRUE(PostMessageA(other, WM_USER, 0, 0));
  winsim::ScheduleAt(20, [other] { PostMessageA(other, WM_USER + 1, 0, 0); });
  winsim::AddQuitListener(Listener("late", {Sent(QUIT_PRESENT)}, {Posted(QUIT_DONE, 50)}));
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_OK);
  EXPECT_EQ(otherWindowMessages, (std::vector<UINT>{WM_USER, WM_USER + 1}));
  EXPECT_EQ(winsim::NowMs(), 50u) << "a WM_USER for another window does not end the run";
}

TEST_F(QuitProtocolTest, ASecondCallDuringARunFindsTheClassTaken) {
  HWND other = CreateOtherWindow();
  ASSERT_NE(other, nullptr);
  ASSERT_TRUE(PostMessageA(other, nestedCallMessage, 0, 0));
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_OK);
  EXPECT_EQ(nestedCallResult, SETUP_STATUS_UNAVAILABLE);
  EXPECT_EQ(BroadcastTimes(QUIT_QUERY).size(), 1u) << "the refused call broadcast nothing";
}

TEST_F(QuitProtocolTest, ARefusalDoesNotCarryOverToTheNextCall) {
  winsim::AddQuitListener(Listener("refuses once", {Sent(QUIT_PRESENT)}, {Posted(QUIT_REFUSED)}, true));
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_QUIT_REFUSED);
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_OK);
}

TEST_F(QuitProtocolTest, AQuitRequestDuringARunEndsItAndReachesTheCallersLoop) {
  winsim::AddQuitListener(Silent("silent"));
  winsim::ScheduleAt(1000, [] { PostQuitMessage(7); });
  // The first run ends at the quit request with the listener counted; the second run asks again
  // and ends at once on the request passed on by the first.
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_STILL_RUNNING);
  EXPECT_EQ(BroadcastTimes(QUIT_QUERY), (std::vector<uint64_t>{0, 1000}));
  EXPECT_EQ(winsim::NowMs(), 1000u);
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT)) << "the run-ended message was taken back";
  EXPECT_EQ(msg.wParam, 7u) << "with the same exit code";
  ExpectQueueEmpty();
}

}  // namespace
