// Test-only hooks of the log file module.
#ifndef QZ_FOUNDATION_LOG_FILE_TESTING_H
#define QZ_FOUNDATION_LOG_FILE_TESTING_H

#include <cstddef>

#include "foundation/string.h"

// Has the contract of LogOsWrite: one write, false on failure, with the
// count of bytes that reached the file in written.
using TQZLogWriteCall = bool (*)(void* file, const char* data, size_t length,
                                 size_t& written);

// Replaces the write every TQZLogFile uses (null restores the platform's)
// and returns the one that was in place.
TQZLogWriteCall SetLogWriteForTesting(TQZLogWriteCall call);
// The platform's own write, for a replacement that passes writes through.
TQZLogWriteCall PlatformLogWrite();

#ifdef _WIN32
// The name of the named mutex that guards the file's appends and rotations
// in the given scope ("Global" or "Local"); empty when there is none.
TQZString LogGuardMutexName(const char* path, const char* scope);
#endif

#endif  // QZ_FOUNDATION_LOG_FILE_TESTING_H
