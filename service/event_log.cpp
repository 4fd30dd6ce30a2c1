// Writes records to the event log for one event source.
#include "service/event_log.h"

#include "foundation/log_file.h"
#include "service/platform.h"

namespace {

const char* EventTypeName(uint16_t type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE: return "error";
    case EVENTLOG_WARNING_TYPE: return "warning";
    case EVENTLOG_INFORMATION_TYPE: return "information";
    case EVENTLOG_AUDIT_SUCCESS: return "audit success";
    case EVENTLOG_AUDIT_FAILURE: return "audit failure";
    default: return "record";
  }
}

}  // namespace

TQZEventLog::TQZEventLog(const TQZString& sourceName) : SourceName(sourceName) {}

TQZEventLog::~TQZEventLog() {
  void* handle = Handle.exchange(nullptr);
  if (handle != nullptr) ServiceApi().DeregisterEventSource(handle);
}

void* TQZEventLog::AcquireHandle() {
  void* handle = Handle.load();
  if (handle != nullptr) return handle;
  void* opened = ServiceApi().RegisterEventSourceA(nullptr, SourceName.Data());
  if (opened == nullptr) return Handle.load();
  // Only a null field is replaced: exchanging unconditionally would hand back
  // a handle that a racing Report may be writing with, and closing it then
  // would pull it from under that writer. The loser closes its own handle,
  // which nobody else has seen.
  void* expected = nullptr;
  if (Handle.compare_exchange_strong(expected, opened)) return opened;
  ServiceApi().DeregisterEventSource(opened);
  return expected;
}

void TQZEventLog::Report(const TQZString& message, uint16_t type,
                         uint16_t category, uint32_t eventId,
                         const TQZString& data) {
  void* handle = AcquireHandle();
  // A failed open still goes through ReportEventA, which refuses the null
  // handle; the record is lost and the next Report opens the source again.
  LPCSTR strings[1] = {message.Text()};
  ServiceApi().ReportEventA(handle, type, category, eventId, nullptr, 1,
                            static_cast<DWORD>(data.Length()), strings,
                            data.Data());
  if (Mirror != nullptr) {
    Mirror->Print("event log %s: %s", EventTypeName(type), message.Text());
  }
}
