// The event log: source handles and every reported event, recorded as it was handed over. The
// log service can be made unavailable, as when it is not running.
#include <cstring>
#include <vector>

#include "internal.h"

namespace winsim {
namespace detail {
namespace {

struct EventLogState {
  std::vector<EventRecord> events;
  bool available = true;
};

EventLogState &State() {
  return FamilyState<EventLogState>();
}

struct EventSourceObject : HandleObject {
  EventSourceObject() : HandleObject(HandleKind::EventSource) {}
  std::string Describe() const override { return source; }
  std::string source;
};

bool IsLocalServer(LPCSTR server) {
  return server == nullptr || *server == '\0';
}

const bool registered = RegisterStateReset<EventLogState>();

}  // namespace
}  // namespace detail

using namespace detail;

const std::vector<EventRecord> &Events() {
  return State().events;
}

void ClearEvents() {
  State().events.clear();
}

void SetEventLogAvailable(bool available) {
  State().available = available;
}

}  // namespace winsim

using namespace winsim;
using namespace winsim::detail;

extern "C" {

HANDLE WINAPI RegisterEventSourceA(LPCSTR lpUNCServerName, LPCSTR lpSourceName) {
  if (auto fault = Enter("RegisterEventSourceA", lpSourceName ? lpSourceName : "", RPC_S_SERVER_UNAVAILABLE)) {
    SetError(*fault);
    return nullptr;
  }
  if (lpSourceName == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // Any source name is accepted, registered or not; only the service itself can be missing. No
  // other computer is reachable from the simulated one.
  if (!winsim::detail::State().available || !IsLocalServer(lpUNCServerName)) {
    SetError(RPC_S_SERVER_UNAVAILABLE);
    return nullptr;
  }
  auto source = std::make_unique<EventSourceObject>();
  source->source = lpSourceName;
  return AddHandle(std::move(source));
}

BOOL WINAPI ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID /*lpUserSid*/,
                         WORD wNumStrings, DWORD dwDataSize, LPCSTR *lpStrings, LPVOID lpRawData) {
  auto *source = Lookup<EventSourceObject>(hEventLog, HandleKind::EventSource);
  if (auto fault = Enter("ReportEventA", source ? source->source : "", RPC_S_SERVER_UNAVAILABLE)) {
    SetError(*fault);
    return FALSE;
  }
  if (!Verified<EventSourceObject>("ReportEventA", hEventLog, HandleKind::EventSource)) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if ((wNumStrings && !lpStrings) || (dwDataSize && !lpRawData)) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  for (WORD i = 0; i < wNumStrings; ++i) {
    if (!lpStrings[i]) {
      SetError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
  }
  if (!winsim::detail::State().available) {
    SetError(RPC_S_SERVER_UNAVAILABLE);
    return FALSE;
  }
  EventRecord record;
  record.source = source->source;
  record.type = wType;
  record.category = wCategory;
  record.id = dwEventID;
  for (WORD i = 0; i < wNumStrings; ++i) record.strings.push_back(lpStrings[i]);
  const BYTE *data = static_cast<const BYTE *>(lpRawData);
  if (dwDataSize) record.data.assign(data, data + dwDataSize);
  winsim::detail::State().events.push_back(record);
  return TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE hEventLog) {
  auto *source = Lookup<EventSourceObject>(hEventLog, HandleKind::EventSource);
  if (auto fault = Enter("DeregisterEventSource", source ? source->source : "", ERROR_INVALID_HANDLE)) {
    SetError(*fault);
    return FALSE;
  }
  if (!Verified<EventSourceObject>("DeregisterEventSource", hEventLog, HandleKind::EventSource)) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  RemoveHandle(hEventLog, HandleKind::EventSource);
  return TRUE;
}

}  // extern "C"
