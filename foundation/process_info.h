// What the process knows about itself and the system, and path helpers.
#ifndef QZ_FOUNDATION_PROCESS_INFO_H
#define QZ_FOUNDATION_PROCESS_INFO_H

#include <cstdint>

#include "foundation/string.h"

// Filled before the first static object of any file that includes this
// header is built, and emptied after the last one is destroyed.
extern void* ModuleHandle;
extern TQZString& ModuleFileName;
extern TQZString& ModulePath;
extern uint32_t OSPlatformId;
extern uint32_t OSMajorVersion;
extern uint32_t OSMinorVersion;
extern uint32_t OSBuildNumber;
extern TQZString& OSCSDVersion;

// Fills the values above again.
void InitProcessInfo();

// One instance per file that includes this header, defined before that
// file's own statics: the first construction fills the process information
// and the last destruction empties it, so it outlives every static object of
// those files whatever order the compiler and linker give the files.
class TQZProcessInfoInit {
 public:
  TQZProcessInfoInit();
  ~TQZProcessInfoInit();
};
static TQZProcessInfoInit ProcessInfoInitInstance;
// A null handle stands for the executable and is replaced by its handle.
void LoadModuleInfo(void*& module, TQZString& fileName, TQZString& folder);

// 1-based position of the last byte of s found in delimiters that is not the
// trail byte of a double-byte character; 0 when none.
int32_t FindLastDelimiter(const TQZString& delimiters, const TQZString& s);
// The leading part of a file name up to and including its last \ or :.
TQZString PathPart(const TQZString& fileName);
// True when any byte of s is 0x20 or below.
bool ContainsBlank(const TQZString& s);

#endif  // QZ_FOUNDATION_PROCESS_INFO_H
