// Drives a service through the SCM with plain Win32 calls, independent of
// the framework under test. Usage:
//   runtime_control control <name> <code>        prints the returned state
//   runtime_control wait <name> <state>          waits until the service has it
//   runtime_control create <name> <type> <path>  registers, demand start
//   runtime_control delete <name>
//   runtime_control burst <name> <code>...       sends each code at once after
//                                                the one before; one line each
// Prints one line and returns 0 on success, 1 with "error <code>" otherwise;
// burst prints "<code> state <state>" or "<code> error <error>" for each
// code and returns 0.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/win32.h"
#include "tests/e2e/scoped_service_handle.h"

namespace {

int Fail(DWORD error) {
  std::printf("error %lu\n", static_cast<unsigned long>(error));
  return 1;
}

int Run(int argc, char** argv) {
  if (argc < 3) return Fail(ERROR_INVALID_PARAMETER);
  const char* command = argv[1];
  const char* name = argv[2];
  ScopedServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (manager.Get() == nullptr) return Fail(GetLastError());

  if (std::strcmp(command, "create") == 0 && argc == 5) {
    const DWORD type = std::strtoul(argv[3], nullptr, 0);
    ScopedServiceHandle service(CreateServiceA(
        manager.Get(), name, name, SERVICE_ALL_ACCESS, type, SERVICE_DEMAND_START,
        SERVICE_ERROR_NORMAL, argv[4], nullptr, nullptr, nullptr, nullptr, nullptr));
    if (service.Get() == nullptr) return Fail(GetLastError());
    std::printf("created\n");
    return 0;
  }

  ScopedServiceHandle service(OpenServiceA(manager.Get(), name, SERVICE_ALL_ACCESS));
  if (service.Get() == nullptr) return Fail(GetLastError());
  if (std::strcmp(command, "delete") == 0) {
    if (!DeleteService(service.Get())) return Fail(GetLastError());
    std::printf("deleted\n");
    return 0;
  }
  if (std::strcmp(command, "burst") == 0) {
    for (int i = 3; i < argc; ++i) {
      const DWORD code = std::strtoul(argv[i], nullptr, 0);
      SERVICE_STATUS status = {};
      const BOOL sent = ControlService(service.Get(), code, &status);
      const DWORD error = sent ? 0 : GetLastError();
      if (sent) {
        std::printf("%lu state %lu\n", static_cast<unsigned long>(code),
                    static_cast<unsigned long>(status.dwCurrentState));
      } else {
        std::printf("%lu error %lu\n", static_cast<unsigned long>(code),
                    static_cast<unsigned long>(error));
      }
      std::fflush(stdout);
    }
    return 0;
  }
  if (argc != 4) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD value = std::strtoul(argv[3], nullptr, 0);
  SERVICE_STATUS status = {};
  if (std::strcmp(command, "control") == 0) {
    if (!ControlService(service.Get(), value, &status)) return Fail(GetLastError());
    std::printf("state %lu\n", static_cast<unsigned long>(status.dwCurrentState));
    return 0;
  }
  if (std::strcmp(command, "wait") == 0) {
    // The SCM offers no notification here, so it is asked until the state
    // comes or a generous limit passes.
    for (int tries = 0; tries < 600; ++tries) {
      if (!QueryServiceStatus(service.Get(), &status)) return Fail(GetLastError());
      if (status.dwCurrentState == value) {
        std::printf("state %lu\n", static_cast<unsigned long>(value));
        return 0;
      }
      Sleep(100);
    }
    std::printf("state %lu, not %lu\n", static_cast<unsigned long>(status.dwCurrentState),
                static_cast<unsigned long>(value));
    return 1;
  }
  return Fail(ERROR_INVALID_PARAMETER);
}

}  // namespace

int main(int argc, char** argv) { return Run(argc, argv); }
