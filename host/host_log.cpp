// The host's lines in the log file, and their echo in the console mode.
#include "host/host_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "foundation/format.h"

namespace {

std::atomic<TQZLogFile*> Log{nullptr};
bool Echo = false;

}  // namespace

void SetHostLog(TQZLogFile* log, bool echo) {
  Echo = echo;
  Log = log;
}

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
