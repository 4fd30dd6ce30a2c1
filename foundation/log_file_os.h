// Internal to the log file module: what each platform half provides.
#ifndef QZ_FOUNDATION_LOG_FILE_OS_H
#define QZ_FOUNDATION_LOG_FILE_OS_H

#include <cstddef>
#include <cstdint>

#include "foundation/log_file.h"

// The line end the platform's tools expect.
extern const char LogOsLineEnd[];

// Opens the file for appending, shared with readers, writers and renames;
// created when missing. Null on failure.
void* LogOsOpen(const char* path);
void LogOsClose(void* file);
// One write of the whole buffer to the end of the file; written tells how
// much reached the file when it fails.
bool LogOsWrite(void* file, const char* data, size_t length, size_t& written);
// True when other processes may append to the same file: each write then
// holds the rotation guard and reads the size from the file.
bool LogOsSharedAppends();
bool LogOsFileSize(void* file, uint64_t& size);

enum class TQZLogMove { Done, Missing, Failed };
// Renames from to to, replacing to.
TQZLogMove LogOsRename(const char* from, const char* to);
// Removes the file; Missing when there was none.
TQZLogMove LogOsRemove(const char* path);

// The rotation guard of one file name: a lock that one process at a time
// holds while it rotates, and a count of the rotations done by any process,
// by which the others see that they must open the file again. A platform
// without one across processes gives one for this object alone. Null when
// it cannot be created; the callers then act as the only writer.
void* LogOsOpenGuard(const char* path);
void LogOsCloseGuard(void* guard);
// Waits at most timeoutMs; false when the lock was not taken.
bool LogOsLockGuard(void* guard, uint32_t timeoutMs);
void LogOsUnlockGuard(void* guard);
uint32_t LogOsGeneration(void* guard);
// With the lock held.
void LogOsAdvanceGeneration(void* guard);

void LogOsLocalTime(TQZLogTime& time);
uint32_t LogOsThreadId();
// A clock that only goes forward, in milliseconds.
uint64_t LogOsMilliseconds();

#endif  // QZ_FOUNDATION_LOG_FILE_OS_H
