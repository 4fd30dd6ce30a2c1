// Closes an SCM or service handle when the scope ends; shared by the plain
// Win32 control programs of the end-to-end tests and the benchmarks.
#ifndef QZ_TESTS_E2E_SCOPED_SERVICE_HANDLE_H
#define QZ_TESTS_E2E_SCOPED_SERVICE_HANDLE_H

#include "foundation/win32.h"

class ScopedServiceHandle {
 public:
  explicit ScopedServiceHandle(SC_HANDLE handle) : Handle(handle) {}
  ~ScopedServiceHandle() {
    if (Handle != nullptr) CloseServiceHandle(Handle);
  }
  ScopedServiceHandle(const ScopedServiceHandle&) = delete;
  ScopedServiceHandle& operator=(const ScopedServiceHandle&) = delete;
  SC_HANDLE Get() const { return Handle; }

 private:
  SC_HANDLE Handle;
};

#endif  // QZ_TESTS_E2E_SCOPED_SERVICE_HANDLE_H
