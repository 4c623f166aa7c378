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
constexpr char kQuitName[] = "ORVIK.Quit";
constexpr char kOtherClass[] = "QuitTests.OtherWindow";

using winsim::QuitListener;
using winsim::QuitReply;

QuitReply Sent(unsigned code, uint64_t delayMs = 0) {
  return QuitReply{code, true, delayMs};
}
QuitReply Posted(unsigned code, uint64_t delayMs = 0) {
  return QuitReply{code, false, delayMs};
}

QuitListener Listener(const std::string &name, std::vector<QuitReply> onQuery, std::vector<QuitReply> onOrder,
                      bool exitsAfterOrder = true) {
  QuitListener listener;
  listener.name = name;
  listener.onQuery = std::move(onQuery);
  listener.onOrder = std::move(onOrder);
  listener.exitsAfterOrder = exitsAfterOrder;
  return listener;
}

// A listener that answers the query and then neither confirms nor refuses.
QuitListener Silent(const std::string &name) {
  return Listener(name, {Sent(QUIT_PRESENT)}, {}, false);
}

// The times at which the module broadcast the quit message with `code`.
std::vector<uint64_t> BroadcastTimes(WPARAM code) {
  std::vector<uint64_t> times;
  for (const winsim::MessageTraceEntry &e : winsim::MessageTrace())
    if (e.messageName == kQuitName && e.from == "module" && e.to == "broadcast" && e.wParam == code)
      times.push_back(e.timeMs);
  return times;
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

  // Nothing of the exchange may be left in the calling thread's queue.
  static void ExpectQueueEmpty() {
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << "left in the queue: message " << msg.message;
  }

  HWND otherWindow_ = nullptr;
};

// ---- One call, from the listeners' answers and the platform's failures to its result ---------

// What a call gave: its result, when it ended, and when the module broadcast the query and the
// order ("still running at 15010 ms; queries 0 15000; orders 0").
std::string Outcome(DWORD status) {
  std::string text = status == SETUP_STATUS_OK              ? "ok"
                     : status == SETUP_STATUS_QUIT_REFUSED  ? "refused"
                     : status == SETUP_STATUS_STILL_RUNNING ? "still running"
                     : status == SETUP_STATUS_UNAVAILABLE   ? "unavailable"
                                                            : std::to_string(status);
  text += " at " + std::to_string(winsim::NowMs()) + " ms";
  for (WPARAM code : {QUIT_QUERY, QUIT_ORDER}) {
    text += code == QUIT_QUERY ? "; queries" : "; orders";
    for (uint64_t timeMs : BroadcastTimes(code)) text += " " + std::to_string(timeMs);
  }
  return text;
}

std::function<void()> FailNth(const char *function, unsigned n) {
  return [=] { winsim::FailNthCall(function, n, ERROR_NOT_ENOUGH_MEMORY); };
}

// The module keeps the quit message's number for its whole life, so only the first exchange of a
// process can find that it cannot be registered (CTest runs every test in a process of its own).
// A single run, called on its own, also shows that the module starts without a refusal.
TEST_F(QuitProtocolTest, QuitMessageThatCannotBeRegisteredMeansNoQueryNoOrderAndOk) {
  winsim::AddQuitListener(Silent("silent"));
  winsim::FailNthCall("RegisterWindowMessageA", 1, ERROR_NOT_ENOUGH_MEMORY);
  const std::string outcome = Outcome(RunQuitWindow(kModule));
  if (winsim::CallCounts()["RegisterWindowMessageA"] == 0) GTEST_SKIP() << "registered by an earlier test";
  EXPECT_EQ(outcome, "ok at 10 ms; queries; orders");
  EXPECT_EQ(winsim::CallCounts()["SendMessageTimeoutA"], 0u) << "no query of any message";
}

// Every case runs on a fresh machine; after each call nothing of the exchange is left: no window,
// class or timer, nothing in the thread's queue, no wait that could never have ended.
TEST_F(QuitProtocolTest, EachCallEndsWithTheResultItsAnswersGiveAndLeavesNothingBehind) {
  struct Case {
    const char *what;
    std::vector<QuitListener> listeners;
    std::function<void()> arrange;  // faults, time passing before the call
    const char *outcome;
  };
  // Listeners by how they answer the query and the order.
  const QuitListener confirms;  // answers at once (sent), confirms the order (posted), ends
  const QuitListener sendsDone = Listener("sends done", {Sent(QUIT_PRESENT)}, {Sent(QUIT_DONE)});
  const QuitListener late = Listener("late", {Sent(QUIT_PRESENT)}, {Posted(QUIT_DONE, 700)});
  const QuitListener confirms100 = Listener("confirms", {Sent(QUIT_PRESENT)}, {Posted(QUIT_DONE, 100)});
  const QuitListener refuses40 = Listener("refuses", {Sent(QUIT_PRESENT)}, {Posted(QUIT_REFUSED, 40)}, false);
  const QuitListener posts = Listener("posts", {Posted(QUIT_PRESENT)}, {Posted(QUIT_DONE)});
  const QuitListener onlyDone = Listener("stray", {Sent(QUIT_DONE)}, {}, false);
  const QuitListener quick = Listener("quick", {Sent(QUIT_PRESENT), Sent(QUIT_DONE)}, {});
  const QuitListener mute = Listener("mute", {}, {Posted(QUIT_DONE, 300)});
  const QuitListener oddInQuery = Listener("odd", {Sent(0), Sent(2), Sent(4), Sent(QUIT_PRESENT)}, {Posted(3)});
  const QuitListener oddInWait = Listener("odd", {Sent(QUIT_PRESENT)}, {Posted(4), Posted(0), Posted(2)}, false);
  const QuitReply strayThreadMessage{0, false, 0, true};
  const QuitListener strays = Listener("strays", {Sent(QUIT_PRESENT), strayThreadMessage}, {Posted(3, 300)});
  const QuitListener refusesAtOnce = Listener("refuses at once", {Sent(QUIT_REFUSED)}, {});
  const QuitListener silent = Silent("silent");
  QuitListener vanishes = Silent("vanishes"), hung;
  vanishes.vanishAtMs = 5000;
  hung.hangAtMs = 0;  // it would answer and confirm, but its thread handles nothing for 40 s
  hung.hangForMs = 40000;
  const auto wait6s = [] { Sleep(6000); };
  const auto failEndingPost = [] {
    winsim::FailCallsMatching("PostMessageA", "WM_USER(0) to the thread", ERROR_NOT_ENOUGH_MEMORY);
  };
  // One case a row: what it shows; then its listeners, what is arranged, and the outcome.
  // clang-format off
  const Case cases[] = {
      {"no listener: one run, ended by the wind-up timer", {}, nullptr, "ok at 10 ms; queries 0; orders"},
      {"the second of two confirmations ends the run",
       {confirms, late}, nullptr, "ok at 700 ms; queries 0; orders 0"},
      {"a refusal ends the run at once",
       {confirms100, refuses40}, nullptr, "refused at 40 ms; queries 0; orders 0"},
      {"a silent listener still answers the second query",
       {silent}, nullptr, "still running at 15010 ms; queries 0 15000; orders 0"},
      {"a listener gone during the wait is not found by the second query",
       {vanishes}, nullptr, "ok at 15010 ms; queries 0 15000; orders 0"},
      {"an answer by post is counted only by the loop: no order",
       {posts}, nullptr, "still running at 20 ms; queries 0 10; orders"},
      {"a confirmation without an answer drives the count below zero",
       {onlyDone}, nullptr, "still running at 15010 ms; queries 0 15000; orders 0"},
      {"a confirmation during the query never closes the window",
       {quick}, nullptr, "ok at 10 ms; queries 0; orders"},
      {"a confirmation from a window that never answered ends the wait all the same",
       {silent, mute}, nullptr, "ok at 300 ms; queries 0; orders 0"},
      {"codes 0, 2 and 4 change nothing during the query",
       {oddInQuery}, nullptr, "ok at 0 ms; queries 0; orders 0"},
      {"codes 0, 2 and 4 change nothing during the wait",
       {oddInWait}, nullptr, "still running at 15010 ms; queries 0 15000; orders 0"},
      // Windows that handle nothing, stray thread messages.
      {"a window hung for more than 5 s is passed over at once",
       {hung}, wait6s, "ok at 6010 ms; queries 6000; orders"},
      {"a window that has just stopped handling messages is passed over after the 2 s bound",
       {hung}, nullptr, "ok at 2010 ms; queries 0; orders"},
      {"a listener that answers in time counts as before beside a hung window",
       {hung, confirms}, wait6s, "ok at 6000 ms; queries 6000; orders 6000"},
      {"a stray thread WM_USER does not end the run", {strays}, nullptr, "ok at 300 ms; queries 0; orders 0"},
      // Platform failures.
      {"no window class", {silent}, FailNth("RegisterClassA", 1), "unavailable at 0 ms; queries; orders"},
      {"no window", {silent}, FailNth("CreateWindowExA", 1), "unavailable at 0 ms; queries; orders"},
      {"a refusal during the query destroys the window before it is returned",
       {refusesAtOnce}, nullptr, "unavailable at 0 ms; queries 0; orders"},
      {"a loop that cannot fetch its message ends at once",
       {silent}, FailNth("GetMessageA", 1), "still running at 10 ms; queries 0 0; orders 0"},
      {"no wind-up timer: the run ends at once", {}, FailNth("SetTimer", 1), "ok at 0 ms; queries 0; orders"},
      {"no timer for the wait: the order goes out, the run ends at once",
       {confirms}, FailNth("SetTimer", 1), "ok at 10 ms; queries 0 0; orders 0"},
      {"no wind-up timer in the second run",
       {silent}, FailNth("SetTimer", 2), "still running at 15000 ms; queries 0 15000; orders 0"},
      {"the ending message cannot be posted", {confirms}, failEndingPost, "ok at 0 ms; queries 0; orders 0"},
      {"the ending message cannot be posted while a sent confirmation is handled in the wait",
       {sendsDone}, failEndingPost, "ok at 10 ms; queries 0; orders 0"},
      {"the window cannot be destroyed at the last confirmation",
       {sendsDone}, FailNth("DestroyWindow", 1), "ok at 0 ms; queries 0; orders 0"},
      {"the window cannot be destroyed on its timer",
       {silent}, FailNth("DestroyWindow", 1), "still running at 15010 ms; queries 0 15000; orders 0"},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    for (const QuitListener &listener : c.listeners) winsim::AddQuitListener(listener);
    if (c.arrange) c.arrange();
    EXPECT_EQ(Outcome(CloseMonitorApplications(kModule)), c.outcome);
    for (const winsim::MessageTraceEntry &e : winsim::MessageTrace()) {
      if (!e.sent || e.to != "module") continue;
      EXPECT_EQ(e.result, 0) << "the result of code " << e.wParam << " from " << e.from;
    }
    winsim::ClearFaults();
    ExpectQueueEmpty();
    ExpectNoOpenHandles();
    EXPECT_EQ(winsim::DescribeVerifierStops(winsim::TakeVerifierStops()), "");
    winsim::Reset();
  }
}

// ---- The calling thread's loop ---------------------------------------------------------------

TEST_F(QuitProtocolTest, MessagesForOtherWindowsOfTheThreadAreDispatchedAndACallFromThemFindsTheClassTaken) {
  HWND other = CreateOtherWindow();
  ASSERT_NE(other, nullptr);
  ASSERT_TRUE(PostMessageA(other, WM_USER, 0, 0));
  ASSERT_TRUE(PostMessageA(other, nestedCallMessage, 0, 0));
  winsim::ScheduleAt(20, [other] { PostMessageA(other, WM_USER + 1, 0, 0); });
  winsim::AddQuitListener(Listener("late", {Sent(QUIT_PRESENT)}, {Posted(QUIT_DONE, 50)}));
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_OK);
  EXPECT_EQ(otherWindowMessages, (std::vector<UINT>{WM_USER, nestedCallMessage, WM_USER + 1}));
  EXPECT_EQ(winsim::NowMs(), 50u) << "a WM_USER for another window does not end the run";
  EXPECT_EQ(nestedCallResult, SETUP_STATUS_UNAVAILABLE);
  EXPECT_EQ(BroadcastTimes(QUIT_QUERY).size(), 1u) << "the refused call broadcast nothing";
}

TEST_F(QuitProtocolTest, ARefusalDoesNotCarryOverToTheNextCall) {
  winsim::AddQuitListener(Listener("refuses once", {Sent(QUIT_PRESENT)}, {Posted(QUIT_REFUSED)}, true));
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_QUIT_REFUSED);
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_OK);
}

// A refusal during the query leaves the loop unrun: only the ending message is taken back, not a
// thread message of the caller's queued ahead of it.
TEST_F(QuitProtocolTest, ARunThatNeverLoopedTakesBackOnlyItsEndingMessage) {
  ASSERT_TRUE(PostMessageA(nullptr, WM_USER + 1, 42, 0));
  winsim::AddQuitListener(Listener("refuses at once", {Sent(QUIT_REFUSED)}, {}));
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_UNAVAILABLE);
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 1)) << "the caller's own message is still queued";
  EXPECT_EQ(msg.wParam, 42u);
  ExpectQueueEmpty();
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
