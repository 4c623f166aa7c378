// What the simulated platform's API families share: call entry (counting, tracing, fault
// injection), the handle table, last-error state, per-family reset and accounting hooks, and the
// few registry internals that SetupAPI and the counter-text loader need.
#ifndef WINSIM_INTERNAL_H
#define WINSIM_INTERNAL_H

#include <windows.h>
#include <winsim.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

namespace winsim::detail {

// ---- Call entry ----------------------------------------------------------------------------
// Every exported platform function starts with Enter(). It counts and traces the call and
// returns the error to fail with when an injected fault matches (then the function does nothing
// else and reports the error the way that function reports errors). `plausibleError` is what
// FailNthPlatformCall makes this call fail with.
std::optional<DWORD> Enter(const char *function, const std::string &subject, DWORD plausibleError);
// Appends " -> result" to the trace line of the call in progress (optional, for readable traces).
void TraceResult(const std::string &result);
// The function given to the latest Enter(): the call in progress where no other call can have
// come in between, as in a family whose functions call nothing outside the simulation.
const char *CallInProgress();

// ---- Verifier stops ------------------------------------------------------------------------
// Records a stop of the call in progress (see winsim::VerifierStops) and says so on stderr and in
// the call trace.
void StopByVerifier(const char *function, const std::string &what);

// ---- Last error ----------------------------------------------------------------------------
void SetError(DWORD error);
DWORD Error();

// ---- Handles -------------------------------------------------------------------------------
enum class HandleKind { RegKey, File, Find, EventSource, DevInfoSet, Inf, Process, Thread, Module, Window };

struct HandleObject {
  explicit HandleObject(HandleKind k) : kind(k) {}
  virtual ~HandleObject() = default;
  virtual std::string Describe() const { return ""; }
  HandleKind kind;
};

// Handle values are multiples of 4 from 0x10000 up, never reused within one Reset() period, so a
// stale handle is detected as invalid.
void *AddHandle(std::unique_ptr<HandleObject> object);
HandleObject *LookupHandle(const void *handle, HandleKind kind);
template <typename T>
T *Lookup(const void *handle, HandleKind kind) {
  return static_cast<T *>(LookupHandle(handle, kind));
}
// Removes and destroys; false when the handle is not of that kind.
bool RemoveHandle(const void *handle, HandleKind kind);
// Kind of a handle in the table, if any.
std::optional<HandleKind> KindOf(const void *handle);
// Visits every live handle (for accounting and for closing handles of an object that goes away).
void ForEachHandle(const std::function<void(void *handle, HandleObject &object)> &visit);

// ---- Handle verifier -----------------------------------------------------------------------
// The live object behind a handle that `function` needs to be of one of `kinds`. NULL,
// INVALID_HANDLE_VALUE, a handle closed before (or one of the machine before its restart), one
// never given out and one of another kind are misuse that Windows lets through only to fail later,
// or to act on an object another thread has meanwhile been given: the verifier stops the call,
// naming the handle, and null is returned, so that the caller fails the call as Windows fails it.
HandleObject *VerifyHandle(const char *function, const void *handle, std::initializer_list<HandleKind> kinds);
template <typename T>
T *Verified(const char *function, const void *handle, HandleKind kind) {
  return static_cast<T *>(VerifyHandle(function, handle, {kind}));
}
// Whether a value lies where the handle table gives out handles (live, closed or of an earlier
// boot), so that a stale one is told apart from a value of another numbering.
bool IsHandleTableValue(const void *handle);

// ---- Per-family hooks ----------------------------------------------------------------------
// Each API family registers, from a static initializer, what Reset() must clear, what it
// contributes to OpenHandles() / DescribeOpenHandles() beyond the handle table, and what of it goes
// when the machine restarts (before the handle table is emptied).
struct FamilyHooks {
  std::function<void()> reset;
  std::function<void(HandleCounts &)> count;
  std::function<void(std::string &)> describe;
  std::function<void()> restart = nullptr;
};
bool RegisterFamily(const FamilyHooks &hooks);

// For a family whose whole state starts anew with each machine: its one T, which the reset that
// RegisterStateReset<T>() registers sets back to T{}. T is a type of the family's own .cpp.
template <typename T>
T &FamilyState() {
  static T state;
  return state;
}
template <typename T>
bool RegisterStateReset() {
  return RegisterFamily({[] { FamilyState<T>() = T{}; }, nullptr, nullptr});
}

// ---- Text helpers --------------------------------------------------------------------------
bool EqualNoCase(const std::string &a, const std::string &b);  // ASCII letters only
std::string Upper(const std::string &s);
bool ContainsNoCase(const std::string &haystack, const std::string &needle);
std::string AddressText(const void *value);  // "0x10040", as handles are named in stops

// ---- Registry internals (implemented by registry.cpp) --------------------------------------
// Canonical full path of a key handle ("HKEY_LOCAL_MACHINE\SOFTWARE\CAPI20"), "" if invalid.
std::string KeyPathOf(HKEY key);
// Opens an existing key by full path into a new handle, honouring access denials but without
// counting a platform call. Returns ERROR_SUCCESS or the error RegOpenKeyExA would give.
LONG OpenKeyInternal(const std::string &fullPath, REGSAM access, HKEY *result);
// Creates a key (and missing parents) by full path into a new handle, without counting a call.
LONG CreateKeyInternal(const std::string &fullPath, REGSAM access, HKEY *result, bool isVolatile = false);
// Deletes every volatile key with everything below it (all of which is volatile too), as a
// restart does.
void RemoveVolatileKeys();

// ---- Files internals (implemented by files.cpp) --------------------------------------------
// Resolves a Windows path against the simulated current directory into a normalised absolute
// Windows path ("C:\WINDOWS\inf\oem5.inf"), "" when it cannot be formed.
std::string FullWindowsPath(const std::string &path);
std::string CurrentDirectory();
std::string WindowsDirectory();  // what GetWindowsDirectoryA gives, without counting a call

// ---- Memory and modules internals (memory.cpp, modules.cpp) --------------------------------
// A counted LocalAlloc block for platform functions that hand out memory themselves
// (FormatMessageA with FORMAT_MESSAGE_ALLOCATE_BUFFER); not a platform call of its own.
HLOCAL AllocateLocal(UINT flags, SIZE_T bytes);
// Makes a registered builtin module, or one of its exports, absent (LoadLibraryA / GetProcAddress
// fail) or present again; Reset() makes everything present.
void SetBuiltinModulePresent(const std::string &fileName, bool present);
void SetBuiltinExportPresent(const std::string &fileName, const std::string &exportName, bool present);
// The platform's own modules, present on every machine (loadperf.cpp: LOADPERF.DLL).
BuiltinModule LoadPerfModule();

}  // namespace winsim::detail

#endif  // WINSIM_INTERNAL_H
