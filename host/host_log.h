// The host's log: its own lines and the program's output, stamped, in the
// application's rotating log file.
#ifndef QZ_HOST_HOST_LOG_H
#define QZ_HOST_HOST_LOG_H

#include "foundation/log_file.h"
#include "foundation/string.h"

// The file the lines go to (not owned; null: none). With echo, every line
// is also printed on standard output.
void SetHostLog(TQZLogFile* log, bool echo);

// One line (or several, at line breaks) into the log; any thread.
void HostLog(const TQZString& line);
void HostLogFormat(const char* format, ...) QZ_PRINTF_FORMAT(1, 2);

#endif  // QZ_HOST_HOST_LOG_H
