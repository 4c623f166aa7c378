// What only the simulated window manager has: the virtual clock, the monitor applications of other
// processes that listen for the quit message (whose threads may hang), and the message trace.
#include "extras_test.h"

#include <string>
#include <vector>

namespace {

constexpr char kClassName[] = "SimTests.Recorder";
const HINSTANCE kInstance = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x7A000000));

// What the recording window procedure handled: "message(wParam)@ms", in order.
std::string handled;
UINT quitMessage = 0;

std::string Named(UINT message, WPARAM wParam) {
  const std::string name = message == quitMessage ? "quit" : message == WM_TIMER ? "WM_TIMER" : "WM_USER";
  return name + "(" + std::to_string(wParam) + ")@" + std::to_string(winsim::NowMs());
}

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == quitMessage || message == WM_TIMER || message >= WM_USER)
    handled += (handled.empty() ? "" : " ") + Named(message, wParam);
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

class User32Sim : public ExtrasTest {
 protected:
  void SetUp() override {
    ExtrasTest::SetUp();
    handled.clear();
    quitMessage = RegisterWindowMessageA("ORVIK.Quit");
    WNDCLASSA wc = {};
    wc.lpfnWndProc = RecordingProc;
    wc.hInstance = kInstance;
    wc.lpszClassName = kClassName;
    ASSERT_NE(RegisterClassA(&wc), 0);
    window_ =
        CreateWindowExA(0, kClassName, "", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr, nullptr, kInstance, nullptr);
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override {
    if (IsWindow(window_)) {  // a test that reset the machine has neither window nor class
      DestroyWindow(window_);
      UnregisterClassA(kClassName, kInstance);
    }
    ExtrasTest::TearDown();
  }
  // Takes and dispatches what is queued now, without letting time pass.
  static void Pump() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  }
  // GetMessageA and dispatch: what came (thread messages too, which no procedure sees), and when.
  static std::string Next() {
    MSG msg;
    if (GetMessageA(&msg, nullptr, 0, 0) != TRUE) return "no message";
    DispatchMessageA(&msg);
    return (msg.hwnd ? "" : "thread ") + Named(msg.message, msg.wParam);
  }
  HWND window_ = nullptr;
};

TEST_F(User32Sim, AWaitingThreadJumpsToWhatIsDueNextAndTimersAreRaisedToTenMilliseconds) {
  std::string work;
  winsim::ScheduleAt(30, [&] { work += "work@" + std::to_string(winsim::NowMs()); });
  winsim::ScheduleAt(200, [] { PostMessageA(nullptr, WM_USER, 1, 0); });
  ASSERT_NE(SetTimer(window_, 1, 1, nullptr), 0u);
  const UINT_PTR late = SetTimer(nullptr, 0, 15000, nullptr);
  std::vector<std::string> taken = {Next(), Next()};
  KillTimer(window_, 1);
  taken.push_back(Next());
  taken.push_back(Next());
  EXPECT_EQ(taken, (std::vector<std::string>{"WM_TIMER(1)@10", "WM_TIMER(1)@20", "thread WM_USER(1)@200",
                                             "thread WM_TIMER(" + std::to_string(late) + ")@15000"}))
      << "the next period starts when the message is taken";
  EXPECT_EQ(work, "work@30") << "work of another process runs at its time while the thread waits";
  KillTimer(nullptr, late);
  Sleep(50);
  EXPECT_EQ(GetTickCount(), 15050u) << "Sleep lets the virtual time pass";

  winsim::Reset();
  EXPECT_EQ(winsim::NowMs(), 0u);
  EXPECT_FALSE(IsWindow(window_));
  EXPECT_EQ(RegisterWindowMessageA("ORVIK.Quit"), quitMessage) << "Reset keeps the registered messages' numbers";
}

TEST_F(User32Sim, AListenersAnswersArePostedOrSentAfterTheirDelayAndHandledWhenTheThreadLooks) {
  winsim::QuitListener listener;
  listener.name = "monitor";
  listener.onQuery = {winsim::QuitReply{1, false, 0}, winsim::QuitReply{0, false, 0, true},
                      winsim::QuitReply{4, true, 300}, winsim::QuitReply{6, true, 1200}};
  winsim::AddQuitListener(listener);
  SendMessageA(HWND_BROADCAST, quitMessage, 0, reinterpret_cast<LPARAM>(window_));
  ASSERT_NE(SetTimer(window_, 1, 1000, nullptr), 0u);
  EXPECT_EQ(Next(), "quit(1)@0") << "the posted answer is queued";
  EXPECT_EQ(Next(), "thread WM_USER(0)@0") << "the stray message comes to the thread, not to a window";
  EXPECT_EQ(Next(), "WM_TIMER(1)@1000");
  KillTimer(window_, 1);
  Sleep(500);
  Pump();
  EXPECT_EQ(handled, "quit(0)@0 quit(1)@0 quit(4)@300 WM_TIMER(1)@1000 quit(6)@1500")
      << "a sent answer is handled while the thread waits for messages, not while it sleeps";
  std::string trace;
  for (const winsim::MessageTraceEntry &e : winsim::MessageTrace())
    trace += std::to_string(e.timeMs) + " " + e.from + ">" + e.to + " " + e.messageName + "(" +
             std::to_string(e.wParam) + ") " + (e.sent ? "sent" : "posted") + "\n";
  EXPECT_EQ(trace,
            "0 module>broadcast ORVIK.Quit(0) sent\n0 monitor>module ORVIK.Quit(1) posted\n"
            "0 monitor>module WM_USER(0) posted\n300 monitor>module ORVIK.Quit(4) sent\n"
            "1000 system>module WM_TIMER(1) posted\n1200 monitor>module ORVIK.Quit(6) sent\n");
}

TEST_F(User32Sim, ASendToAWindowWhoseThreadHandlesNothingWaitsAsItsFlagsSay) {
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
      {"not responding for 3 s, not yet hung: the bound", 40000, 3000, SMTO_ABORTIFHUNG,
       "back at 5000; late 3500; timed out after 2000 ms"},
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
    TearDown();
    SetUp();
    winsim::QuitListener answers, hangs;
    answers.onQuery = {winsim::QuitReply{4, true, 500}};
    hangs.name = "hangs";
    hangs.hangAtMs = 0;
    hangs.hangForMs = c.hangForMs;
    winsim::AddQuitListener(answers);
    winsim::AddQuitListener(hangs);
    Sleep(static_cast<DWORD>(c.sendAtMs));
    const LPARAM asker = reinterpret_cast<LPARAM>(window_);
    DWORD_PTR result = 0;
    if (c.flags == kPlainSend)
      SendMessageA(HWND_BROADCAST, quitMessage, 0, asker);
    else
      EXPECT_TRUE(SendMessageTimeoutA(HWND_BROADCAST, quitMessage, 0, asker, c.flags, 2000, &result));
    std::string outcome = "back at " + std::to_string(winsim::NowMs());
    Pump();
    for (const char *answer : {"quit(4)@", "quit(1)@"}) {
      const size_t at = handled.find(answer);
      if (at != std::string::npos)
        outcome +=
            (answer[5] == '1' ? "; hung " : "; late ") + handled.substr(at + 8, handled.find(' ', at) - at - 8);
    }
    for (const winsim::MessageTraceEntry &e : winsim::MessageTrace())
      if (!e.note.empty()) outcome += "; " + e.note;
    for (const winsim::VerifierStop &stop : winsim::TakeVerifierStops())
      outcome += "; stopped in " + stop.function;
    EXPECT_EQ(outcome, c.outcome) << c.what;
  }
}

}  // namespace
