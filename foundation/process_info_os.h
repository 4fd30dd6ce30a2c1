// Internal to the process information module: what each platform half provides.
#ifndef QZ_FOUNDATION_PROCESS_INFO_OS_H
#define QZ_FOUNDATION_PROCESS_INFO_OS_H

#include <cstdint>

#include "foundation/string.h"

struct TQZOsVersion {
  uint32_t PlatformId = 0;
  uint32_t MajorVersion = 0;
  uint32_t MinorVersion = 0;
  uint32_t BuildNumber = 0;
  TQZString CSDVersion;
};

// The bytes that end the folder part of a module's file name.
extern const char ProcessOsPathDelimiters[];

void* ProcessOsExecutableHandle();
// Writes at most size bytes of the module's file name to buffer and returns
// the count written: size (or more) when the name was cut to fit, 0 on
// failure. The bytes need not be NUL-terminated.
uint32_t ProcessOsModuleFileName(void* module, char* buffer, uint32_t size);
// False when the system does not tell its version.
bool ProcessOsVersion(TQZOsVersion& version);

#endif  // QZ_FOUNDATION_PROCESS_INFO_OS_H
