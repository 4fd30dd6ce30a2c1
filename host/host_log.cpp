// The host's log file and its echo in the console mode.
#include "host/host_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "foundation/format.h"

namespace {

std::atomic<TQZLogFile*> Log{nullptr};
bool Echo = false;

}  // namespace

void OpenHostLog(const TQZString& fileName, uint32_t maxKiB, int32_t keep, bool echo) {
  Echo = echo;
  delete Log.exchange(new TQZLogFile(fileName, static_cast<uint64_t>(maxKiB) * 1024, keep));
}

void CloseHostLog() { delete Log.exchange(nullptr); }

void HostLog(const TQZString& line) {
  if (TQZLogFile* log = Log.load()) log->Write(line);
  if (Echo) {
    PrintText("%s\n", line.Text());
    std::fflush(stdout);
  }
}

void HostLogFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  char buffer[512];
  TQZFormatOutput output(buffer, sizeof(buffer));
  FormatTextV(output, format, args);
  TQZString line;
  if (output.Count() <= sizeof(buffer)) {
    line = MakeString(buffer, static_cast<int32_t>(output.Count()));
  } else {
    // A long command line or path: formatted again at its full length.
    line.SetLength(static_cast<int32_t>(output.Count()));
    if (line.Data() != nullptr) {
      TQZFormatOutput whole(line.Data(), output.Count());
      FormatTextV(whole, format, again);
    }
  }
  va_end(again);
  va_end(args);
  HostLog(line);
}
