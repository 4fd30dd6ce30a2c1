// Test-only hooks of the log file module.
#ifndef QZ_FOUNDATION_LOG_FILE_TESTING_H
#define QZ_FOUNDATION_LOG_FILE_TESTING_H

#include <cstddef>

// Has the contract of LogOsWrite: one write, false on failure, with the
// count of bytes that reached the file in written.
using TQZLogWriteCall = bool (*)(void* file, const char* data, size_t length,
                                 size_t& written);

// Replaces the write every TQZLogFile uses (null restores the platform's)
// and returns the one that was in place.
TQZLogWriteCall SetLogWriteForTesting(TQZLogWriteCall call);
// The platform's own write, for a replacement that passes writes through.
TQZLogWriteCall PlatformLogWrite();

#endif  // QZ_FOUNDATION_LOG_FILE_TESTING_H
