// The monitor quit exchange against simulated monitor applications: who answers, how, and when,
// checked through the result, the virtual time the call took and the messages that went by.
#include <string>
#include <vector>

#include "setuplib.h"
#include "sim_fixture.h"

namespace {

const HINSTANCE kModule = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x10000000));
constexpr uint64_t kWaitMs = 15000;
constexpr uint64_t kMinimumTimerMs = 10;  // the 1 ms wind-up timer is raised to this
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

  // The quit messages that went by, each as "from>to:code" with "s" (sent) or "p" (posted), and
  // the times at which the module broadcast.
  static std::vector<std::string> Exchange() {
    std::vector<std::string> lines;
    for (const winsim::MessageTraceEntry &e : winsim::MessageTrace())
      if (e.messageName == kQuitName)
        lines.push_back(e.from + ">" + e.to + ":" + std::to_string(e.wParam) + (e.sent ? "s" : "p"));
    return lines;
  }

  static std::vector<uint64_t> BroadcastTimes(WPARAM code) {
    std::vector<uint64_t> times;
    for (const winsim::MessageTraceEntry &e : winsim::MessageTrace())
      if (e.messageName == kQuitName && e.from == "module" && e.to == "broadcast" && e.wParam == code)
        times.push_back(e.timeMs);
    return times;
  }

  static size_t TimerTicks() {
    size_t ticks = 0;
    for (const winsim::MessageTraceEntry &e : winsim::MessageTrace())
      if (e.message == WM_TIMER) ++ticks;
    return ticks;
  }

  // Nothing of the exchange may be left in the calling thread's queue.
  static void ExpectQueueEmpty() {
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << "left in the queue: message " << msg.message;
  }

  HWND otherWindow_ = nullptr;
};

// ---- Outcomes of a call ----------------------------------------------------------------------

TEST_F(QuitProtocolTest, WithoutListenersOneRunEndsOnTheWindUpTimerWithoutAnOrder) {
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_OK);
  EXPECT_EQ(winsim::NowMs(), kMinimumTimerMs);
  EXPECT_EQ(Exchange(), (std::vector<std::string>{"module>broadcast:0s"})) << "one query, no order";
  EXPECT_EQ(winsim::CallCounts()["RegisterClassA"], 1u) << "no second run";
  ExpectQueueEmpty();
}

TEST_F(QuitProtocolTest, TwoConfirmingListenersCloseTheWindowAtTheSecondConfirmation) {
  const int a = winsim::AddQuitListener(Listener("A", {Sent(QUIT_PRESENT)}, {Posted(QUIT_DONE)}));
  const int b = winsim::AddQuitListener(Listener("B", {Sent(QUIT_PRESENT)}, {Posted(QUIT_DONE, 700)}));
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_OK);
  EXPECT_EQ(Exchange(), (std::vector<std::string>{"module>broadcast:0s", "A>module:1s", "B>module:1s",
                                                  "module>broadcast:2p", "A>module:3p", "B>module:3p"}));
  EXPECT_EQ(winsim::NowMs(), 700u) << "the run ended with B's confirmation, not on a timer";
  EXPECT_EQ(TimerTicks(), 0u);
  EXPECT_EQ(BroadcastTimes(QUIT_QUERY).size(), 1u) << "no second run";
  EXPECT_FALSE(winsim::QuitListenerAlive(a));
  EXPECT_FALSE(winsim::QuitListenerAlive(b));
  ExpectQueueEmpty();
}

TEST_F(QuitProtocolTest, ARefusalEndsTheRunAtOnce) {
  winsim::AddQuitListener(Listener("confirms", {Sent(QUIT_PRESENT)}, {Posted(QUIT_DONE, 100)}));
  winsim::AddQuitListener(Listener("refuses", {Sent(QUIT_PRESENT)}, {Posted(QUIT_REFUSED, 40)}, false));
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_QUIT_REFUSED);
  EXPECT_EQ(winsim::NowMs(), 40u);
  EXPECT_EQ(TimerTicks(), 0u);
  EXPECT_EQ(BroadcastTimes(QUIT_QUERY).size(), 1u) << "a refusal asks no second time";
  ExpectQueueEmpty();
}

TEST_F(QuitProtocolTest, ASilentListenerIsStillRunningAfterTheSecondQuery) {
  const int id = winsim::AddQuitListener(Silent("silent"));
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_STILL_RUNNING);
  EXPECT_EQ(BroadcastTimes(QUIT_QUERY), (std::vector<uint64_t>{0, kWaitMs}));
  EXPECT_EQ(BroadcastTimes(QUIT_ORDER), (std::vector<uint64_t>{0})) << "the second run orders nothing";
  EXPECT_EQ(winsim::NowMs(), kWaitMs + kMinimumTimerMs);
  EXPECT_TRUE(winsim::QuitListenerAlive(id));
  ExpectQueueEmpty();
}

TEST_F(QuitProtocolTest, AListenerThatVanishesDuringTheWaitIsFoundGoneByTheSecondQuery) {
  QuitListenerSpec spec = Silent("leaves");
  spec.vanishAtMs = 5000;
  winsim::AddQuitListener(spec);
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_OK);
  EXPECT_EQ(BroadcastTimes(QUIT_QUERY), (std::vector<uint64_t>{0, kWaitMs}));
  EXPECT_EQ(Exchange().back(), "module>broadcast:0s") << "nobody answered the second query";
  EXPECT_EQ(winsim::NowMs(), kWaitMs + kMinimumTimerMs);
}

TEST_F(QuitProtocolTest, AListenerThatAnswersByPostIsCountedOnlyByTheLoop) {
  winsim::AddQuitListener(Listener("posts", {Posted(QUIT_PRESENT)}, {Posted(QUIT_DONE)}));
  // Nobody counted while the query was sent: no order; the late answer still counts for the result.
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_STILL_RUNNING);
  EXPECT_TRUE(BroadcastTimes(QUIT_ORDER).empty());
  EXPECT_EQ(BroadcastTimes(QUIT_QUERY), (std::vector<uint64_t>{0, kMinimumTimerMs}));
  EXPECT_EQ(winsim::NowMs(), 2 * kMinimumTimerMs);
}

// ---- Counting --------------------------------------------------------------------------------

TEST_F(QuitProtocolTest, AStrayConfirmationDuringTheQueryDrivesTheCountBelowZero) {
  // It never said it was there; the count goes to -1, which is not zero: an order goes out and
  // the first run waits in vain.
  winsim::AddQuitListener(Listener("stray", {Sent(QUIT_DONE)}, {}, false));
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_STILL_RUNNING);
  EXPECT_EQ(BroadcastTimes(QUIT_ORDER), (std::vector<uint64_t>{0}));
  EXPECT_EQ(BroadcastTimes(QUIT_QUERY), (std::vector<uint64_t>{0, kWaitMs}));
  EXPECT_EQ(TimerTicks(), 2u) << "both runs ended on their timers";
}

TEST_F(QuitProtocolTest, AConfirmationDuringTheQueryNeverClosesTheWindow) {
  // Present and done while the query is still being sent: the count is back at zero, but the
  // window lives on until its wind-up timer.
  winsim::AddQuitListener(Listener("quick", {Sent(QUIT_PRESENT), Sent(QUIT_DONE)}, {}));
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_OK);
  EXPECT_TRUE(BroadcastTimes(QUIT_ORDER).empty());
  EXPECT_EQ(TimerTicks(), 1u);
  EXPECT_EQ(winsim::NowMs(), kMinimumTimerMs);
}

TEST_F(QuitProtocolTest, AConfirmationFromAWindowThatNeverAnsweredEndsTheWaitAllTheSame) {
  const int stays = winsim::AddQuitListener(Silent("answers"));
  winsim::AddQuitListener(Listener("mute", {}, {Posted(QUIT_DONE, 300)}));
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_OK);
  EXPECT_EQ(winsim::NowMs(), 300u);
  EXPECT_TRUE(winsim::QuitListenerAlive(stays)) << "the answering listener still runs";
}

TEST_F(QuitProtocolTest, CodesZeroTwoAndFourChangeNothingDuringTheQuery) {
  winsim::AddQuitListener(Listener("odd", {Sent(0), Sent(2), Sent(4), Sent(QUIT_PRESENT)}, {Posted(QUIT_DONE)}));
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_OK);
  EXPECT_EQ(BroadcastTimes(QUIT_ORDER).size(), 1u) << "exactly one listener was counted";
  EXPECT_EQ(winsim::NowMs(), 0u) << "its confirmation brought the count to zero";
}

TEST_F(QuitProtocolTest, CodesZeroTwoAndFourChangeNothingDuringTheWait) {
  winsim::AddQuitListener(Listener("odd", {Sent(QUIT_PRESENT)}, {Posted(4), Posted(0), Posted(2)}, false));
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_STILL_RUNNING);
  EXPECT_EQ(BroadcastTimes(QUIT_QUERY), (std::vector<uint64_t>{0, kWaitMs})) << "the wait ran its full time";
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

TEST_F(QuitProtocolTest, ALoopThatCannotGoOnStillCleansUp) {
  winsim::AddQuitListener(Silent("silent"));
  winsim::FailNthCall("GetMessageA", 1, ERROR_INVALID_PARAMETER);
  // The first run cannot wait and ends at once with the listener counted; the second asks again.
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_STILL_RUNNING);
  EXPECT_EQ(BroadcastTimes(QUIT_QUERY), (std::vector<uint64_t>{0, 0}));
  EXPECT_EQ(winsim::NowMs(), kMinimumTimerMs);
  ExpectQueueEmpty();
}

// ---- Platform failures -----------------------------------------------------------------------

TEST_F(QuitProtocolTest, AClassOrWindowThatCannotBeHadMakesTheCallUnavailable) {
  winsim::AddQuitListener(Silent("silent"));
  winsim::FailNthCall("RegisterClassA", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_UNAVAILABLE);
  winsim::FailNthCall("CreateWindowExA", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_UNAVAILABLE);
  EXPECT_EQ(winsim::CallCounts()["UnregisterClassA"], 1u) << "the class goes again after a failed window";
  EXPECT_TRUE(Exchange().empty()) << "nothing was broadcast";
}

TEST_F(QuitProtocolTest, ARefusalDuringTheQueryDestroysTheWindowBeforeItIsCreated) {
  // The window is gone before CreateWindowExA returns, which counts as a window that cannot be
  // had; what its destruction posted does not stay behind.
  winsim::AddQuitListener(Listener("refuses at once", {Sent(QUIT_REFUSED)}, {}));
  EXPECT_EQ(CloseMonitorApplications(kModule), SETUP_STATUS_UNAVAILABLE);
  ExpectQueueEmpty();
}

}  // namespace
