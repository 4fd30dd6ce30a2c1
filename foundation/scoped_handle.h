// A Win32 handle closed when it goes out of scope (internal; Windows only).
#ifndef QZ_FOUNDATION_SCOPED_HANDLE_H
#define QZ_FOUNDATION_SCOPED_HANDLE_H

#include "foundation/win32.h"

class TQZScopedHandle {
 public:
  explicit TQZScopedHandle(HANDLE handle = nullptr) : Handle(handle) {}
  ~TQZScopedHandle() { Reset(); }
  TQZScopedHandle(const TQZScopedHandle&) = delete;
  TQZScopedHandle& operator=(const TQZScopedHandle&) = delete;
  HANDLE Get() const { return Handle; }
  HANDLE Release() {
    HANDLE handle = Handle;
    Handle = nullptr;
    return handle;
  }
  // Closes the handle held, keeping the thread's last error, and holds the
  // new one.
  void Reset(HANDLE handle = nullptr) {
    if (Handle != nullptr && Handle != INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      CloseHandle(Handle);
      SetLastError(error);
    }
    Handle = handle;
  }

 private:
  HANDLE Handle;
};

#endif  // QZ_FOUNDATION_SCOPED_HANDLE_H
