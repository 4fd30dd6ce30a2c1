// Drives a running service with long runs of plain Win32 controls, for the
// soak tests. Usage:
//   soak_control controls <name> <count>  pause, continue, interrogate in
//                                         turn, each checked, count in all
//   soak_control gone <name>              waits until the SCM no longer knows
//                                         the service
// Prints one line and returns 0 when every control gave the state it should.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/win32.h"
#include "tests/e2e/scoped_service_handle.h"

namespace {

int Fail(const char* what, DWORD error) {
  std::printf("error %lu in %s\n", static_cast<unsigned long>(error), what);
  return 1;
}

// The SCM offers no notification here, so it is asked until the state comes
// or a generous limit passes.
bool WaitForState(SC_HANDLE service, DWORD state, DWORD* seen) {
  SERVICE_STATUS status = {};
  for (int tries = 0; tries < 6000; ++tries) {
    if (!QueryServiceStatus(service, &status)) break;
    *seen = status.dwCurrentState;
    if (status.dwCurrentState == state) return true;
    Sleep(10);
  }
  return false;
}

int Controls(SC_HANDLE service, long count) {
  DWORD seen = 0;
  if (!WaitForState(service, SERVICE_RUNNING, &seen)) return Fail("the first wait", seen);
  // Each control with the state it leaves the service in.
  const DWORD codes[] = {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE,
                         SERVICE_CONTROL_INTERROGATE};
  const DWORD states[] = {SERVICE_PAUSED, SERVICE_RUNNING, SERVICE_RUNNING};
  long sent = 0, failures = 0, late = 0;
  DWORD firstError = 0;
  for (long i = 0; i < count; ++i) {
    const DWORD code = codes[i % 3];
    const DWORD expected = states[i % 3];
    SERVICE_STATUS status = {};
    ++sent;
    if (!ControlService(service, code, &status)) {
      if (firstError == 0) firstError = GetLastError();
      ++failures;
      continue;
    }
    if (status.dwCurrentState == expected) continue;
    // The reply may come before the handler's last report has arrived.
    ++late;
    if (!WaitForState(service, expected, &seen)) ++failures;
  }
  std::printf("controls %ld failures %ld late %ld first-error %lu\n", sent, failures, late,
              static_cast<unsigned long>(firstError));
  return failures == 0 ? 0 : 1;
}

int Run(int argc, char** argv) {
  if (argc < 3) return Fail("the arguments", ERROR_INVALID_PARAMETER);
  const char* command = argv[1];
  const char* name = argv[2];
  ScopedServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (manager.Get() == nullptr) return Fail("OpenSCManagerA", GetLastError());

  if (std::strcmp(command, "gone") == 0 && argc == 3) {
    for (int tries = 0; tries < 6000; ++tries) {
      ScopedServiceHandle service(OpenServiceA(manager.Get(), name, SERVICE_QUERY_STATUS));
      if (service.Get() == nullptr) {
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_DOES_NOT_EXIST) return Fail("OpenServiceA", error);
        std::printf("gone\n");
        return 0;
      }
      Sleep(10);
    }
    std::printf("still there\n");
    return 1;
  }

  if (std::strcmp(command, "controls") == 0 && argc == 4) {
    ScopedServiceHandle service(OpenServiceA(
        manager.Get(), name,
        SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE | SERVICE_QUERY_STATUS));
    if (service.Get() == nullptr) return Fail("OpenServiceA", GetLastError());
    return Controls(service.Get(), std::strtol(argv[3], nullptr, 10));
  }
  return Fail("the arguments", ERROR_INVALID_PARAMETER);
}

}  // namespace

int main(int argc, char** argv) { return Run(argc, argv); }
