// The quit exchange of the last adapter's removal against real listener processes: monitor
// applications (quit_listener.exe) with hidden top-level windows that confirm, refuse or stay
// silent, each logging the quit messages that reach it. The removal goes on in every case; what
// differs is whether the listeners end and how long the removal waits for them.
#include <cstring>
#include <iostream>
#include <memory>
#include <vector>

#include "e2e_support.h"

namespace e2e {
namespace {

constexpr char kListenerProgram[] = "quit_listener.exe";
constexpr char kListenerClass[] = "OnlcoinQuitListener";
// The window class of the module's hidden quit window.
constexpr char kQuitWindowClass[] = "NULL_Fenster";
constexpr DWORD kPollMs = 10;
constexpr DWORD kStartWaitMs = 10000;
constexpr DWORD kExitWaitMs = 5000;
// The first run waits this long for confirmations after its quit order.
constexpr double kQuitWaitMs = 15000;
// Bounds that tell a run which waited for confirmations from one that did not, with room for a
// slow machine; they are not timing targets.
constexpr double kNoWaitBoundMs = 5000;
// A timer may fire a little early by the performance counter's clock.
constexpr double kTimerSlackMs = 100;

double NowMs() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// One listener process, ended when the test ends if it is still running.
class Listener {
 public:
  Listener(const std::string &mode, const std::string &title)
      : title_(title), log_(ProgramFolder() + "\\" + title + ".log") {
    DeleteFileA(log_.c_str());
    const std::string program = ProgramFolder() + "\\" + kListenerProgram;
    std::string commandLine = "\"" + program + "\" " + mode + " " + title + " \"" + log_ + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process_)) {
      ADD_FAILURE() << "could not start " << program << ", error " << GetLastError();
      return;
    }
    CloseHandle(process_.hThread);
    for (DWORD waited = 0; waited < kStartWaitMs && !window_; waited += kPollMs) {
      window_ = FindWindowA(kListenerClass, title_.c_str());
      if (!window_) Sleep(kPollMs);
    }
    if (!window_) ADD_FAILURE() << "the listener " << title_ << " made no window";
  }
  ~Listener() {
    if (!process_.hProcess) return;
    if (Running()) {
      PostMessageA(window_, WM_CLOSE, 0, 0);
      if (WaitForSingleObject(process_.hProcess, kExitWaitMs) != WAIT_OBJECT_0)
        TerminateProcess(process_.hProcess, 1);
    }
    CloseHandle(process_.hProcess);
    DeleteFileA(log_.c_str());
  }
  Listener(const Listener &) = delete;
  Listener &operator=(const Listener &) = delete;

  bool ready() const { return window_ != nullptr; }
  bool Running() const { return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }
  bool ExitsWithin(DWORD ms) const { return WaitForSingleObject(process_.hProcess, ms) == WAIT_OBJECT_0; }
  // The quit messages that reached the listener, in order.
  std::string Heard() const {
    std::string text;
    if (!ReadFileBytes(log_, &text)) return "";
    for (char &c : text)
      if (c == '\n') c = ' ';
    return text;
  }

 private:
  std::string title_;
  std::string log_;
  PROCESS_INFORMATION process_ = {};
  HWND window_ = nullptr;
};

// Times the runs of the exchange on this thread: each run creates the module's hidden quit
// window and destroys it when the run ends, so the window's lifetime is the run's duration.
class QuitRunTimer {
 public:
  QuitRunTimer() {
    current_ = this;
    hook_ = SetWindowsHookExA(WH_CBT, Hook, nullptr, GetCurrentThreadId());
  }
  ~QuitRunTimer() {
    if (hook_) UnhookWindowsHookEx(hook_);
    current_ = nullptr;
  }
  QuitRunTimer(const QuitRunTimer &) = delete;
  QuitRunTimer &operator=(const QuitRunTimer &) = delete;

  bool ok() const { return hook_ != nullptr; }
  // The duration of each run, in order; a run whose window was never destroyed counts as -1.
  std::vector<double> Runs() const {
    std::vector<double> runs;
    for (size_t i = 0; i < created_.size(); ++i)
      runs.push_back(i < destroyed_.size() ? destroyed_[i] - created_[i] : -1);
    return runs;
  }

 private:
  static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam) {
    if (current_ && (code == HCBT_CREATEWND || code == HCBT_DESTROYWND)) {
      char name[64] = "";
      GetClassNameA(reinterpret_cast<HWND>(wParam), name, sizeof name);
      if (std::strcmp(name, kQuitWindowClass) == 0) {
        (code == HCBT_CREATEWND ? current_->created_ : current_->destroyed_).push_back(NowMs());
      }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
  }

  static QuitRunTimer *current_;
  HHOOK hook_ = nullptr;
  std::vector<double> created_, destroyed_;
};
QuitRunTimer *QuitRunTimer::current_ = nullptr;

// What one removal of the last adapter took: in all, and per run of the exchange.
struct Timing {
  double removalMs = 0;
  std::vector<double> runsMs;
};

class QuitExchange : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    if (HasFatalFailure()) return;
    adapter_.reset(new Adapter(InstanceId(1), infPath_, {}));
    ASSERT_TRUE(adapter_->ok());
    ASSERT_EQ(Install(*adapter_).post, static_cast<DWORD>(NO_ERROR));
  }
  void TearDown() override {
    adapter_.reset();
    MachineTest::TearDown();
  }

  // Removes the only adapter, which runs the quit exchange.
  Timing RemoveLastAdapter() {
    Timing timing;
    QuitRunTimer timer;
    EXPECT_TRUE(timer.ok()) << "no window hook, error " << GetLastError();
    const double start = NowMs();
    EXPECT_EQ(Remove(*adapter_), static_cast<DWORD>(NO_ERROR));
    timing.removalMs = NowMs() - start;
    timing.runsMs = timer.Runs();
    // Whatever the listeners did, the removal went on.
    EXPECT_EQ(ManufacturerKey(), "");
    EXPECT_EQ(ReadText(kRunKey, kRunValue), "<missing>");
    return timing;
  }

  std::string ListenerTitle(int n) const {
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string("e2e-listener-") + info->name() + "-" + std::to_string(n);
  }

  std::unique_ptr<Adapter> adapter_;
};

TEST_F(QuitExchange, NoListenerEndsAfterOneShortTimer) {
  const Timing timing = RemoveLastAdapter();
  ASSERT_EQ(timing.runsMs.size(), 1u) << "nobody answered: no second run";
  std::cout << "[ MEASURED ] quit exchange with no listener: " << timing.runsMs[0] << " ms (whole removal "
            << timing.removalMs << " ms)\n";
  RecordProperty("quit_run_no_listener_ms", std::to_string(timing.runsMs[0]));
  EXPECT_GE(timing.runsMs[0], 0) << "the run ended";
  EXPECT_LT(timing.runsMs[0], kNoWaitBoundMs) << "nobody answered, so nobody was waited for";
}

TEST_F(QuitExchange, ConfirmingListenersEndAndTheWaitEndsWithTheLastConfirmation) {
  Listener first("confirm", ListenerTitle(1));
  Listener second("confirm", ListenerTitle(2));
  ASSERT_TRUE(first.ready() && second.ready());

  const Timing timing = RemoveLastAdapter();
  EXPECT_TRUE(first.ExitsWithin(kExitWaitMs));
  EXPECT_TRUE(second.ExitsWithin(kExitWaitMs));
  EXPECT_EQ(first.Heard(), "query order ");
  EXPECT_EQ(second.Heard(), "query order ");
  ASSERT_EQ(timing.runsMs.size(), 1u) << "all confirmed: no second run";
  EXPECT_LT(timing.runsMs[0], kNoWaitBoundMs) << "the last confirmation ends the wait";
}

TEST_F(QuitExchange, RefusingListenerStaysAndTheWaitEndsAtOnce) {
  Listener refusing("refuse", ListenerTitle(1));
  ASSERT_TRUE(refusing.ready());

  const Timing timing = RemoveLastAdapter();
  EXPECT_TRUE(refusing.Running());
  EXPECT_EQ(refusing.Heard(), "query order ");
  ASSERT_EQ(timing.runsMs.size(), 1u) << "a refusal ends the exchange: no second run";
  EXPECT_LT(timing.runsMs[0], kNoWaitBoundMs);
}

TEST_F(QuitExchange, SilentListenerIsWaitedForAndAskedOnceMore) {
  Listener silent("silent", ListenerTitle(1));
  ASSERT_TRUE(silent.ready());

  const Timing timing = RemoveLastAdapter();
  EXPECT_TRUE(silent.Running());
  EXPECT_EQ(silent.Heard(), "query order query ") << "the second run only asks who is still there";
  ASSERT_EQ(timing.runsMs.size(), 2u);
  std::cout << "[ MEASURED ] quit exchange with a silent listener: first run " << timing.runsMs[0]
            << " ms, second run " << timing.runsMs[1] << " ms\n";
  EXPECT_GE(timing.runsMs[0], kQuitWaitMs - kTimerSlackMs) << "the whole wait for confirmations";
  EXPECT_LT(timing.runsMs[0], 2 * kQuitWaitMs);
  EXPECT_GE(timing.runsMs[1], 0) << "the second run ended";
  EXPECT_LT(timing.runsMs[1], kNoWaitBoundMs) << "the second run sends no order and waits for nobody";
}

}  // namespace
}  // namespace e2e
