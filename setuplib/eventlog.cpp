// Event sources and error events. A source is registered by writing its key below the event-log
// service's key; an event is reported by opening the source, writing one record and closing it
// again, so that no state is kept between calls.
#include <string.h>

#include "setuplib.h"
#include "setuplib_constants.h"

DWORD InstallEventLogSource(const char *logAndSource, const char *messageFile, DWORD typesSupported) {
  if (logAndSource == nullptr || messageFile == nullptr) return SETUP_STATUS_KEY_FAILED;

  // The whole key path must fit the path buffer; a longer text is refused before the registry
  // is touched rather than registered under a cut-off name.
  const size_t sourceLength = strlen(logAndSource);
  if (sourceLength > kMaxPathLength - kEventLogKeyPrefixLength) return SETUP_STATUS_KEY_FAILED;
  char keyPath[kPathBufferSize];
  memcpy(keyPath, kEventLogKeyPrefix, kEventLogKeyPrefixLength);
  memcpy(keyPath + kEventLogKeyPrefixLength, logAndSource, sourceLength + 1);

  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr) != ERROR_SUCCESS) {
    return SETUP_STATUS_KEY_FAILED;
  }

  // The message file is stored as REG_SZ, unexpanded: the event viewer expands it when it reads.
  if (RegSetValueExA(key, kEventMessageFileValue, 0, REG_SZ, reinterpret_cast<const BYTE *>(messageFile),
                     RegistryTextSize(messageFile)) != ERROR_SUCCESS) {
    RegCloseKey(key);
    return SETUP_STATUS_VALUE_WRITE_FAILED;
  }
  if (RegSetValueExA(key, kTypesSupportedValue, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&typesSupported),
                     sizeof(typesSupported)) != ERROR_SUCCESS) {
    RegCloseKey(key);
    return SETUP_STATUS_VALUE_WRITE_FAILED;
  }
  RegCloseKey(key);
  return SETUP_STATUS_OK;
}

// Writes one error event. A source that cannot be opened and a failed write are both silent:
// reporting must never turn into a failure of its own.
static DWORD WriteErrorEvent(const char *sourceName, DWORD eventId, const void *data, DWORD dataSize) {
  if (data == nullptr) dataSize = 0;  // a size without bytes would make the platform read from nowhere
  HANDLE source = RegisterEventSourceA(nullptr, sourceName);
  if (source == nullptr) return SETUP_STATUS_OK;
  ReportEventA(source, EVENTLOG_ERROR_TYPE, kNoEventCategory, eventId, nullptr, 0, dataSize, nullptr,
               const_cast<void *>(data));
  DeregisterEventSource(source);
  return SETUP_STATUS_OK;
}

DWORD ReportErrorEvent(const char *sourceName, DWORD eventId) {
  return WriteErrorEvent(sourceName, eventId, nullptr, 0);
}

DWORD ReportErrorEventWithData(const char *sourceName, DWORD eventId, const void *data, DWORD dataSize) {
  return WriteErrorEvent(sourceName, eventId, data, dataSize);
}
