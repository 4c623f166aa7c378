// Core of the simulated platform: call accounting and tracing, fault injection, the handle table,
// the last-error code and Reset().
#include "internal.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <map>
#include <vector>

namespace winsim {
namespace detail {
namespace {

struct NthFault {
  std::string function;
  unsigned remaining;  // calls of `function` still to pass before the failing one
  DWORD error;
};

struct MatchFault {
  std::string function;
  std::string subjectPart;
  DWORD error;
};

constexpr uintptr_t kFirstHandle = 0x10000;
constexpr uintptr_t kHandleStep = 4;
// How many of the latest closes are remembered, so that a stop for a handle closed before can say
// what it was; a second close usually follows the first within a few calls.
constexpr size_t kRememberedCloses = 64;

struct ClosedHandle {
  uintptr_t value = 0;
  HandleKind kind = HandleKind::RegKey;
  std::string what;
};

const char *const kKindNames[] = {"registry key", "file",    "find handle", "event source", "device set",
                                  "INF file",     "process", "thread",      "module",       "window"};

const char *KindName(HandleKind kind) {
  return kKindNames[static_cast<int>(kind)];
}

// The noun with its indefinite article ("an INF file").
std::string WithArticle(const std::string &noun) {
  return (std::string("AEIOUaeiou").find(noun[0]) != std::string::npos ? "an " : "a ") + noun;
}

struct CoreState {
  std::map<std::string, unsigned long> calls;
  unsigned long totalCalls = 0;
  std::vector<NthFault> nthFaults;
  std::vector<MatchFault> matchFaults;
  unsigned globalFaultRemaining = 0;  // 0: none armed
  std::optional<FailedCallInfo> lastFailed;
  std::function<void(const std::string &)> traceSink;
  std::string pendingTrace;
  const char *callInProgress = "";
  std::map<uintptr_t, std::unique_ptr<HandleObject>> handles;
  uintptr_t nextHandle = kFirstHandle;
  uintptr_t firstHandleOfBoot = kFirstHandle;  // handles below it belong to the machine before its restart
  std::array<ClosedHandle, kRememberedCloses> recentlyClosed;
  size_t nextClosed = 0;
  DWORD lastError = 0;
  std::vector<VerifierStop> verifierStops;  // kept across Reset()
};

CoreState &State() {
  static CoreState state;
  return state;
}

std::vector<FamilyHooks> &Families() {
  static std::vector<FamilyHooks> families;
  return families;
}

std::string HandleText(uintptr_t value) {
  return AddressText(reinterpret_cast<const void *>(value));
}

// "registry key handle", "find handle".
std::string HandleNoun(HandleKind kind) {
  const std::string name = KindName(kind);
  return kind == HandleKind::Find ? name : name + " handle";
}

std::string KindList(std::initializer_list<HandleKind> kinds) {
  std::string text;
  size_t i = 0;
  for (HandleKind kind : kinds) {
    if (i++ > 0) text += i == kinds.size() ? " or " : ", ";
    text += kind == HandleKind::Find ? "find" : KindName(kind);
  }
  return text;
}

// What is wrong with a handle that is not a live handle of one of `kinds`.
std::string HandleFault(uintptr_t value, std::initializer_list<HandleKind> kinds) {
  CoreState &s = State();
  const std::string wanted = KindList(kinds) + " handle";
  if (value == 0) return "NULL given as " + wanted;
  if (value == reinterpret_cast<uintptr_t>(INVALID_HANDLE_VALUE)) return "INVALID_HANDLE_VALUE given as " + wanted;
  const std::string name = "handle " + HandleText(value);
  auto live = s.handles.find(value);
  if (live != s.handles.end()) {
    const std::string what = live->second->Describe();
    return name + " is " + WithArticle(HandleNoun(live->second->kind)) + (what.empty() ? "" : " (" + what + ")") +
           ", not " + WithArticle(wanted);
  }
  if (value < kFirstHandle || value >= s.nextHandle || value % kHandleStep != 0)
    return name + " was never given out (" + wanted + " expected)";
  if (value < s.firstHandleOfBoot) return name + " belongs to the machine before its restart";
  for (const ClosedHandle &closed : s.recentlyClosed) {
    if (closed.value != value) continue;
    // A description that starts with the handle's own value (as a window's does) says the rest.
    std::string what = closed.what;
    if (what.rfind(HandleText(value), 0) == 0) what.erase(0, HandleText(value).size() + 1);
    return HandleNoun(closed.kind) + " " + AddressText(reinterpret_cast<const void *>(value)) +
           (what.empty() ? "" : " (" + what + ")") + " was closed before";
  }
  return name + " was closed before";
}

void FlushTrace() {
  CoreState &s = State();
  if (!s.pendingTrace.empty() && s.traceSink) s.traceSink(s.pendingTrace);
  s.pendingTrace.clear();
}

}  // namespace

std::optional<DWORD> Enter(const char *function, const std::string &subject, DWORD plausibleError) {
  CoreState &s = State();
  FlushTrace();
  ++s.calls[function];
  ++s.totalCalls;
  s.callInProgress = function;
  if (s.traceSink) s.pendingTrace = std::string(function) + (subject.empty() ? "" : " " + subject);

  std::optional<DWORD> fail;
  if (s.globalFaultRemaining != 0 && --s.globalFaultRemaining == 0) fail = plausibleError;
  for (auto it = s.nthFaults.begin(); !fail && it != s.nthFaults.end(); ++it) {
    if (it->function != function) continue;
    if (--it->remaining == 0) {
      fail = it->error;
      s.nthFaults.erase(it);
      break;
    }
  }
  for (const MatchFault &f : s.matchFaults) {
    if (fail) break;
    if (!f.function.empty() && f.function != function) continue;
    if (ContainsNoCase(subject, f.subjectPart)) fail = f.error;
  }
  if (fail) {
    s.lastFailed = FailedCallInfo{function, subject, *fail};
    if (s.traceSink) s.pendingTrace += " [injected failure " + std::to_string(*fail) + "]";
  }
  return fail;
}

const char *CallInProgress() {
  return State().callInProgress;
}

void TraceResult(const std::string &result) {
  CoreState &s = State();
  if (!s.pendingTrace.empty()) s.pendingTrace += " -> " + result;
}

void StopByVerifier(const char *function, const std::string &what) {
  CoreState &s = State();
  s.verifierStops.push_back(VerifierStop{function, what});
  TraceResult("stopped by the verifier: " + what);
  std::fprintf(stderr, "winsim: verifier stop in %s: %s\n", function, what.c_str());
}

void SetError(DWORD error) {
  State().lastError = error;
}
DWORD Error() {
  return State().lastError;
}

void *AddHandle(std::unique_ptr<HandleObject> object) {
  CoreState &s = State();
  uintptr_t value = s.nextHandle;
  s.nextHandle += kHandleStep;
  s.handles[value] = std::move(object);
  return reinterpret_cast<void *>(value);
}

HandleObject *LookupHandle(const void *handle, HandleKind kind) {
  CoreState &s = State();
  auto it = s.handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == s.handles.end() || it->second->kind != kind) return nullptr;
  return it->second.get();
}

bool RemoveHandle(const void *handle, HandleKind kind) {
  CoreState &s = State();
  auto it = s.handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == s.handles.end() || it->second->kind != kind) return false;
  std::unique_ptr<HandleObject> doomed = std::move(it->second);
  s.handles.erase(it);
  s.recentlyClosed[s.nextClosed] = ClosedHandle{reinterpret_cast<uintptr_t>(handle), kind, doomed->Describe()};
  s.nextClosed = (s.nextClosed + 1) % kRememberedCloses;
  return true;  // doomed is destroyed after the table no longer names it
}

HandleObject *VerifyHandle(const char *function, const void *handle, std::initializer_list<HandleKind> kinds) {
  CoreState &s = State();
  const auto value = reinterpret_cast<uintptr_t>(handle);
  auto it = s.handles.find(value);
  if (it != s.handles.end() && std::find(kinds.begin(), kinds.end(), it->second->kind) != kinds.end())
    return it->second.get();
  StopByVerifier(function, HandleFault(value, kinds));
  return nullptr;
}

bool IsHandleTableValue(const void *handle) {
  const auto value = reinterpret_cast<uintptr_t>(handle);
  return value >= kFirstHandle && value < State().nextHandle && value % kHandleStep == 0;
}

std::optional<HandleKind> KindOf(const void *handle) {
  CoreState &s = State();
  auto it = s.handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == s.handles.end()) return std::nullopt;
  return it->second->kind;
}

void ForEachHandle(const std::function<void(void *, HandleObject &)> &visit) {
  CoreState &s = State();
  std::vector<uintptr_t> keys;
  keys.reserve(s.handles.size());
  for (auto &entry : s.handles) keys.push_back(entry.first);
  for (uintptr_t key : keys) {
    auto it = s.handles.find(key);
    if (it != s.handles.end()) visit(reinterpret_cast<void *>(key), *it->second);
  }
}

bool RegisterFamily(const FamilyHooks &hooks) {
  Families().push_back(hooks);
  return true;
}

bool EqualNoCase(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

std::string Upper(const std::string &s) {
  std::string out = s;
  for (char &c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

bool ContainsNoCase(const std::string &haystack, const std::string &needle) {
  return Upper(haystack).find(Upper(needle)) != std::string::npos;
}

std::string AddressText(const void *value) {
  char text[2 + 2 * sizeof(uintptr_t) + 1];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(value)));
  return text;
}

}  // namespace detail

using namespace detail;

void Reset() {
  CoreState &s = State();
  s.handles.clear();
  s.nextHandle = kFirstHandle;
  s.firstHandleOfBoot = kFirstHandle;
  s.recentlyClosed = {};
  s.nextClosed = 0;
  s.calls.clear();
  s.totalCalls = 0;
  s.nthFaults.clear();
  s.matchFaults.clear();
  s.globalFaultRemaining = 0;
  s.lastFailed.reset();
  s.pendingTrace.clear();
  s.lastError = 0;
  for (const FamilyHooks &family : Families())
    if (family.reset) family.reset();
}

void Restart() {
  CoreState &s = State();
  FlushTrace();
  for (const FamilyHooks &family : Families())
    if (family.restart) family.restart();
  // Whatever is still open goes with the old boot; its handle values are never given out again.
  s.handles.clear();
  s.firstHandleOfBoot = s.nextHandle;
  s.lastError = 0;
}

void FailNthCall(const std::string &function, unsigned n, DWORD error) {
  if (n == 0) return;
  State().nthFaults.push_back(NthFault{function, n, error});
}

void FailCallsMatching(const std::string &function, const std::string &subjectPart, DWORD error) {
  State().matchFaults.push_back(MatchFault{function, subjectPart, error});
}

void FailNthPlatformCall(unsigned n) {
  State().globalFaultRemaining = n;
}

std::optional<FailedCallInfo> FailedCall() {
  return State().lastFailed;
}

void ClearFaults() {
  CoreState &s = State();
  s.nthFaults.clear();
  s.matchFaults.clear();
  s.globalFaultRemaining = 0;
  s.lastFailed.reset();
}

long HandleCounts::Total() const {
  return regKeys + files + findHandles + eventSources + devInfoSets + infs + processes + threads + modules +
         localAllocs + globalAllocs + windows + classes + timers;
}

HandleCounts OpenHandles() {
  HandleCounts counts;
  for (auto &entry : State().handles) {
    switch (entry.second->kind) {
      case HandleKind::RegKey:
        ++counts.regKeys;
        break;
      case HandleKind::File:
        ++counts.files;
        break;
      case HandleKind::Find:
        ++counts.findHandles;
        break;
      case HandleKind::EventSource:
        ++counts.eventSources;
        break;
      case HandleKind::DevInfoSet:
        ++counts.devInfoSets;
        break;
      case HandleKind::Inf:
        ++counts.infs;
        break;
      case HandleKind::Process:
        ++counts.processes;
        break;
      case HandleKind::Thread:
        ++counts.threads;
        break;
      case HandleKind::Module:
        ++counts.modules;
        break;
      case HandleKind::Window:
        ++counts.windows;
        break;
    }
  }
  for (const FamilyHooks &family : Families())
    if (family.count) family.count(counts);
  return counts;
}

std::string DescribeOpenHandles() {
  std::string text;
  for (auto &entry : State().handles) {
    text += KindName(entry.second->kind);
    std::string what = entry.second->Describe();
    if (!what.empty()) text += " " + what;
    text += "\n";
  }
  for (const FamilyHooks &family : Families())
    if (family.describe) family.describe(text);
  return text;
}

const std::vector<VerifierStop> &VerifierStops() {
  return State().verifierStops;
}

std::vector<VerifierStop> TakeVerifierStops() {
  std::vector<VerifierStop> taken;
  taken.swap(State().verifierStops);
  return taken;
}

std::string DescribeVerifierStops(const std::vector<VerifierStop> &stops) {
  std::string text;
  for (const VerifierStop &stop : stops) text += stop.function + ": " + stop.what + "\n";
  return text;
}

std::map<std::string, unsigned long> CallCounts() {
  return State().calls;
}
unsigned long TotalCalls() {
  return State().totalCalls;
}
void ResetCallCounts() {
  State().calls.clear();
  State().totalCalls = 0;
}

void SetCallTrace(std::function<void(const std::string &)> sink) {
  FlushTrace();
  State().traceSink = std::move(sink);
}

}  // namespace winsim

extern "C" {

DWORD WINAPI GetLastError(void) {
  return winsim::detail::Error();
}

void WINAPI SetLastError(DWORD dwErrCode) {
  winsim::detail::SetError(dwErrCode);
}

}  // extern "C"
