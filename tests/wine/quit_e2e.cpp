// The quit exchange of the last adapter's removal against real listener processes: monitor
// applications (quit_listener.exe) with hidden top-level windows that confirm, refuse, stay
// silent, hang or post a stray thread message, each logging the quit messages that reach it. The
// removal goes on in every case and leaves no quit window behind; what differs is whether the
// listeners end and how long the removal waits for them.
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
// A window whose thread has handled no message for 5 s counts as hung; give it some more.
constexpr DWORD kHungWaitMs = 10000;
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
    for (DWORD waited = 0; window_ && mode == "hang" && waited < kHungWaitMs && !IsHungAppWindow(window_);
         waited += kPollMs)
      Sleep(kPollMs);
    if (window_ && mode == "hang" && !IsHungAppWindow(window_)) ADD_FAILURE() << "the listener never hung";
  }
  ~Listener() {
    if (!process_.hProcess) return;
    if (Running() && IsHungAppWindow(window_)) TerminateProcess(process_.hProcess, 1);
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

// One removal of the last adapter with listeners of the given modes running.
struct ExchangeCase {
  const char *name;
  std::vector<std::string> modes;
  bool listenersEnd;
  const char *heard;  // what each listener heard by the end of the removal
  size_t runs;
  bool waitsForConfirmations;  // the first run waits its whole time
};

const ExchangeCase kExchangeCases[] = {
    {"NoListener", {}, false, "", 1, false},
    {"ConfirmingListenersEndAndTheLastConfirmationEndsTheWait",
     {"confirm", "confirm"},
     true,
     "query order ",
     1,
     false},
    {"RefusingListenerStaysAndTheWaitEndsAtOnce", {"refuse"}, false, "query order ", 1, false},
    {"SilentListenerIsWaitedForAndAskedOnceMore", {"silent"}, false, "query order query ", 2, true},
    {"HungWindowIsPassedOverAtOnce", {"hang"}, false, "", 1, false},
    {"StrayThreadMessageDoesNotEndTheRun", {"stray"}, true, "query order ", 1, false},
};

class QuitExchange : public MachineTest, public ::testing::WithParamInterface<ExchangeCase> {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    if (HasFatalFailure()) return;
    adapter_.reset(new Adapter(InstanceId(1), infPath_));
    ASSERT_TRUE(adapter_->ok());
    ASSERT_EQ(Install(*adapter_), static_cast<DWORD>(NO_ERROR));
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
    // Whatever the listeners did, the removal went on, and every run's window went with it.
    EXPECT_EQ(ManufacturerKey(), "");
    EXPECT_EQ(ReadText(kRunKey, kRunValue), "<missing>");
    for (double runMs : timing.runsMs) EXPECT_GE(runMs, 0) << "a quit window outlived its run";
    EXPECT_EQ(FindWindowA(kQuitWindowClass, nullptr), nullptr) << "a quit window is left";
    return timing;
  }

  std::string ListenerTitle(size_t n) const {
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string title = std::string("e2e-listener-") + info->name() + "-" + std::to_string(n);
    for (char &c : title)
      if (c == '/') c = '-';
    return title;
  }

  std::unique_ptr<Adapter> adapter_;
};

TEST_P(QuitExchange, RemovalEndsAsTheListenersAnswer) {
  const ExchangeCase &c = GetParam();
  std::vector<std::unique_ptr<Listener>> listeners;
  for (size_t i = 0; i < c.modes.size(); ++i) {
    listeners.emplace_back(new Listener(c.modes[i], ListenerTitle(i + 1)));
    ASSERT_TRUE(listeners.back()->ready());
  }

  const Timing timing = RemoveLastAdapter();
  std::cout << "[ MEASURED ] quit exchange, " << c.name << ": whole removal " << timing.removalMs << " ms; runs";
  for (double runMs : timing.runsMs) std::cout << " " << runMs << " ms";
  std::cout << "\n";
  for (const std::unique_ptr<Listener> &listener : listeners) {
    EXPECT_EQ(listener->ExitsWithin(c.listenersEnd ? kExitWaitMs : 0), c.listenersEnd);
    EXPECT_EQ(listener->Heard(), c.heard);
  }
  ASSERT_EQ(timing.runsMs.size(), c.runs);
  if (c.waitsForConfirmations) {
    EXPECT_GE(timing.runsMs[0], kQuitWaitMs - kTimerSlackMs) << "the whole wait for confirmations";
    EXPECT_LT(timing.runsMs[0], 2 * kQuitWaitMs);
    EXPECT_LT(timing.runsMs[1], kNoWaitBoundMs) << "the second run sends no order and waits for nobody";
  } else {
    EXPECT_LT(timing.removalMs, kNoWaitBoundMs) << "nobody was waited for";
  }
}

INSTANTIATE_TEST_SUITE_P(Listeners, QuitExchange, ::testing::ValuesIn(kExchangeCases),
                         [](const ::testing::TestParamInfo<ExchangeCase> &info) { return info.param.name; });

}  // namespace
}  // namespace e2e
