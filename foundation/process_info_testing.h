// Test-only hooks of the process information module.
#ifndef QZ_FOUNDATION_PROCESS_INFO_TESTING_H
#define QZ_FOUNDATION_PROCESS_INFO_TESTING_H

#include <cstdint>

// Has the contract of GetModuleFileNameA: at most size bytes written, the
// count returned, size when the name was cut, 0 on failure.
using TQZModuleFileNameQuery = uint32_t (*)(void* module, char* buffer,
                                            uint32_t size);

// Replaces the query LoadModuleInfo uses (null restores the platform's) and
// returns the one that was in place.
TQZModuleFileNameQuery SetModuleFileNameQueryForTesting(
    TQZModuleFileNameQuery query);

// The first buffer size LoadModuleInfo tries, and the largest it grows to.
constexpr uint32_t kModuleFileNameFirstBuffer = 260;
constexpr uint32_t kModuleFileNameLargestBuffer = 65536;

#endif  // QZ_FOUNDATION_PROCESS_INFO_TESTING_H
