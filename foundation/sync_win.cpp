// Critical section, event and all-access security attributes on Win32.
#include <new>

#include "foundation/sync.h"
#include "foundation/win32.h"

namespace {

CRITICAL_SECTION* Section(unsigned char* storage) {
  return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}

struct TQZAllAccess {
  SECURITY_DESCRIPTOR Descriptor;
  SECURITY_ATTRIBUTES Attributes;

  TQZAllAccess() {
    // Failures are not reported: the attributes then carry whatever the
    // descriptor holds, and named events are still created with them.
    InitializeSecurityDescriptor(&Descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&Descriptor, TRUE, nullptr, FALSE);
    Attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
    Attributes.lpSecurityDescriptor = &Descriptor;
    Attributes.bInheritHandle = TRUE;
  }
};

// Built on first use, so a named event created by another module's static
// initialiser still finds the record ready; its destructor is trivial, so it
// stays usable until the process ends.
TQZAllAccess& AllAccess() {
  static TQZAllAccess allAccess;
  return allAccess;
}

}  // namespace

TQZCritSect::TQZCritSect() {
  static_assert(sizeof(CRITICAL_SECTION) <= sizeof(Storage),
                "critical section storage too small");
  static_assert(alignof(CRITICAL_SECTION) <= 16,
                "critical section storage misaligned");
  InitializeCriticalSection(new (Storage) CRITICAL_SECTION);
}

TQZCritSect::~TQZCritSect() { DeleteCriticalSection(Section(Storage)); }

void TQZCritSect::Enter() { EnterCriticalSection(Section(Storage)); }

void TQZCritSect::Leave() { LeaveCriticalSection(Section(Storage)); }

TQZEvent::TQZEvent(const char* name, int32_t mode, bool initiallySignalled) {
  const BOOL manualReset = mode != 0 ? TRUE : FALSE;
  const BOOL initialState = initiallySignalled && mode != 2 ? TRUE : FALSE;
  if (name != nullptr && name[0] != '\0') {
    Handle = CreateEventA(
        static_cast<SECURITY_ATTRIBUTES*>(AllAccessAttributes()), manualReset,
        initialState, name);
  } else {
    Handle = CreateEventA(nullptr, manualReset, initialState, nullptr);
  }
}

TQZEvent::~TQZEvent() {
  if (Handle != nullptr) CloseHandle(Handle);
}

void TQZEvent::Set() { SetEvent(Handle); }

void TQZEvent::Reset() { ResetEvent(Handle); }

bool TQZEvent::Wait() {
  return WaitForSingleObject(Handle, INFINITE) == WAIT_OBJECT_0;
}

// INFINITE is 0xFFFFFFFF, so the portable "no time-out" value passes as is.
bool TQZEvent::WaitFor(uint32_t milliseconds) {
  return WaitForSingleObject(Handle, milliseconds) == WAIT_OBJECT_0;
}

bool TQZEvent::TryWait() { return WaitForSingleObject(Handle, 0) == WAIT_OBJECT_0; }

void SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

void* AllAccessAttributes() { return &AllAccess().Attributes; }
