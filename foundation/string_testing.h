// Test-only hooks of the string module.
#ifndef QZ_FOUNDATION_STRING_TESTING_H
#define QZ_FOUNDATION_STRING_TESTING_H

#include "foundation/string_os.h"

#if !defined(_WIN32)
// Makes the module see a double-byte system flag of `enabled` and the lead
// bytes that isLeadByte accepts (none when it is null). Call with (false,
// nullptr) to restore the platform's single-byte behaviour.
void SetDoubleByteSystemForTesting(bool enabled, bool (*isLeadByte)(unsigned char));
#endif

#endif  // QZ_FOUNDATION_STRING_TESTING_H
