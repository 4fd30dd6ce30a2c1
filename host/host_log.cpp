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
  char buffer[1024];
  {
    TQZFormatOutput output(buffer, sizeof(buffer) - 1);
    FormatTextV(output, format, args);
    const size_t used = output.Count() < sizeof(buffer) - 1 ? output.Count() : sizeof(buffer) - 1;
    buffer[used] = '\0';
  }
  va_end(args);
  HostLog(buffer);
}
