// The host's log: its own lines and the program's output, stamped, in one
// rotating file.
#ifndef QZ_HOST_HOST_LOG_H
#define QZ_HOST_HOST_LOG_H

#include <cstdint>

#include "foundation/log_file.h"
#include "foundation/string.h"

// Opens the log file; lines written before are kept in memory only for the
// console. With echo, every line is also printed on standard output.
void OpenHostLog(const TQZString& fileName, uint32_t maxKiB, int32_t keep, bool echo);
void CloseHostLog();

// One line (or several, at line breaks) into the log; any thread.
void HostLog(const TQZString& line);
void HostLogFormat(const char* format, ...) QZ_PRINTF_FORMAT(1, 2);

#endif  // QZ_HOST_HOST_LOG_H
