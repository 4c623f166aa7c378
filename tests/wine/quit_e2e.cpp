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
  Listener(const std::string &mode, const std::string &title) : log_(ProgramFolder() + "\\" + title + ".log") {
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
      window_ = FindWindowA(kListenerClass, title.c_str());
      if (!window_) Sleep(kPollMs);
    }
    if (!window_) ADD_FAILURE() << "the listener " << title << " made no window";
    for (DWORD waited = 0; window_ && mode == "hang" && waited < kHungWaitMs && !IsHungAppWindow(window_);
         waited += kPollMs)
      Sleep(kPollMs);
    if (window_ && mode == "hang" && !IsHungAppWindow(window_)) ADD_FAILURE() << "the listener never hung";
  }
  ~Listener() {
    if (!process_.hProcess) return;
    if (Running()) {
      TerminateProcess(process_.hProcess, 1);
      WaitForSingleObject(process_.hProcess, kExitWaitMs);
    }
    CloseHandle(process_.hProcess);
    DeleteFileA(log_.c_str());
  }
  Listener(const Listener &) = delete;
  Listener &operator=(const Listener &) = delete;

  bool ready() const { return window_ != nullptr; }
  bool Running() const { return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }
  bool ExitsWithin(DWORD ms) const { return WaitForSingleObject(process_.hProcess, ms) == WAIT_OBJECT_0; }
  // The quit messages that reached the listener, a line each, in order.
  std::string Heard() const {
    std::string text;
    return ReadFileBytes(log_, &text) ? text : "";
  }

 private:
  std::string log_;
  PROCESS_INFORMATION process_ = {};
  HWND window_ = nullptr;
};

// When the module's hidden quit windows of this thread were created and destroyed: each run of
// the exchange creates one and destroys it when the run ends, so its lifetime is the run's.
std::vector<double> created, destroyed;

LRESULT CALLBACK QuitWindowHook(int code, WPARAM wParam, LPARAM lParam) {
  char name[64] = "";
  if (code == HCBT_CREATEWND || code == HCBT_DESTROYWND) {
    GetClassNameA(reinterpret_cast<HWND>(wParam), name, sizeof name);
    if (std::strcmp(name, kQuitWindowClass) == 0)
      (code == HCBT_CREATEWND ? created : destroyed).push_back(NowMs());
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// One removal of the last adapter with listeners of the given modes running.
struct ExchangeCase {
  const char *name;
  std::vector<std::string> modes;
  bool listenersEnd;
  const char *heard;  // what each listener heard by the end of the removal
  size_t runs;        // two when the first run waited its whole time for confirmations
};

const ExchangeCase kExchangeCases[] = {
    {"NoListener", {}, false, "", 1},
    {"ConfirmingListenersEndTheWait", {"confirm", "confirm"}, true, "query\norder\n", 1},
    {"RefusingListenerEndsTheWait", {"refuse"}, false, "query\norder\n", 1},
    {"SilentListenerIsAskedTwice", {"silent"}, false, "query\norder\nquery\n", 2},
    {"HungWindowIsPassedOver", {"hang"}, false, "", 1},
    {"StrayThreadMessageIsPassedOver", {"stray"}, true, "query\norder\n", 1},
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

  std::unique_ptr<Adapter> adapter_;
};

TEST_P(QuitExchange, RemovalEndsAsTheListenersAnswer) {
  const ExchangeCase &c = GetParam();
  std::vector<std::unique_ptr<Listener>> listeners;
  for (const std::string &mode : c.modes) {
    const std::string title = "e2e-listener-" + std::string(c.name) + "-" + std::to_string(listeners.size());
    listeners.emplace_back(new Listener(mode, title));
    ASSERT_TRUE(listeners.back()->ready());
  }

  created.clear();
  destroyed.clear();
  HHOOK hook = SetWindowsHookExA(WH_CBT, QuitWindowHook, nullptr, GetCurrentThreadId());
  EXPECT_NE(hook, nullptr) << "no window hook, error " << GetLastError();
  const double start = NowMs();
  EXPECT_EQ(Remove(*adapter_), static_cast<DWORD>(NO_ERROR));
  const double removalMs = NowMs() - start;
  if (hook) UnhookWindowsHookEx(hook);
  std::cout << "[ MEASURED ] quit exchange, " << c.name << ": whole removal " << removalMs << " ms; runs";
  for (size_t i = 0; i < created.size() && i < destroyed.size(); ++i)
    std::cout << " " << destroyed[i] - created[i] << " ms";
  std::cout << "\n";

  // Whatever the listeners did, the removal went on, and every run's window went with it.
  EXPECT_EQ(ManufacturerKey(), "");
  EXPECT_EQ(ReadText(kRunKey, kRunValue), "<missing>");
  EXPECT_EQ(FindWindowA(kQuitWindowClass, nullptr), nullptr) << "a quit window is left";
  for (const std::unique_ptr<Listener> &listener : listeners) {
    EXPECT_EQ(listener->ExitsWithin(c.listenersEnd ? kExitWaitMs : 0), c.listenersEnd);
    EXPECT_EQ(listener->Heard(), c.heard);
  }
  ASSERT_EQ(created.size(), c.runs);
  ASSERT_EQ(destroyed.size(), c.runs) << "a quit window outlived its run";
  if (c.runs == 2) {
    EXPECT_GE(destroyed[0] - created[0], kQuitWaitMs - kTimerSlackMs) << "the whole wait for confirmations";
    EXPECT_LT(destroyed[0] - created[0], 2 * kQuitWaitMs);
    EXPECT_LT(destroyed[1] - created[1], kNoWaitBoundMs) << "the second run sends no order and waits for nobody";
  } else {
    EXPECT_LT(removalMs, kNoWaitBoundMs) << "nobody was waited for";
  }
}

INSTANTIATE_TEST_SUITE_P(Listeners, QuitExchange, ::testing::ValuesIn(kExchangeCases),
                         [](const ::testing::TestParamInfo<ExchangeCase> &info) { return info.param.name; });

}  // namespace
}  // namespace e2e
