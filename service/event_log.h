// Writes records to the event log for one event source.
#ifndef QZ_SERVICE_EVENT_LOG_H
#define QZ_SERVICE_EVENT_LOG_H

#include <atomic>
#include <cstdint>

#include "foundation/string.h"

class TQZLogFile;

class TQZEventLog {
 public:
  explicit TQZEventLog(const TQZString& sourceName);
  virtual ~TQZEventLog();
  TQZEventLog(const TQZEventLog&) = delete;
  TQZEventLog& operator=(const TQZEventLog&) = delete;

  // Opens the source on first use; failures are dropped silently.
  void Report(const TQZString& message, uint16_t type, uint16_t category,
              uint32_t eventId, const TQZString& data);

  TQZString SourceName;
  // Receives a line for each record as well ("event log error: <text>");
  // not owned, set before the first Report.
  TQZLogFile* Mirror = nullptr;

 private:
  // The installed handle, opening the source when none is; null when the
  // source cannot be opened.
  void* AcquireHandle();

  std::atomic<void*> Handle{nullptr};  // HANDLE of the event source
};

#endif  // QZ_SERVICE_EVENT_LOG_H
