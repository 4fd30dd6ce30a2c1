// Reads what the service control manager holds, for the command tests:
//   cmdprobe config <name>   the registration, one "key=value" line each
//   cmdprobe depends <name>  the first service and group dependency as
//                            stored in the registry, every item of each
//                            list joined by "|" (<value>All) and the size
//                            of the stored value in bytes (<value>Size)
//   cmdprobe errtext <code>  SystemErrorText of a Win32 error code
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "foundation/string.h"
#include "foundation/win32.h"
#include "tests/e2e/scoped_service_handle.h"

namespace {

int Failed() {
  std::printf("error=%lu\n", GetLastError());
  return 1;
}

int PrintConfig(const char* name) {
  ScopedServiceHandle manager(OpenSCManagerA(nullptr, nullptr, GENERIC_READ));
  if (!manager.Get()) return Failed();
  ScopedServiceHandle service(OpenServiceA(manager.Get(), name, SERVICE_QUERY_CONFIG));
  if (!service.Get()) return Failed();

  DWORD needed = 0;
  QueryServiceConfigA(service.Get(), nullptr, 0, &needed);
  std::vector<char> config(needed + 1);
  auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(config.data());
  if (!QueryServiceConfigA(service.Get(), c, needed, &needed)) {
    return Failed();
  }
  std::printf("path=%s\n", c->lpBinaryPathName ? c->lpBinaryPathName : "");
  std::printf("display=%s\n", c->lpDisplayName ? c->lpDisplayName : "");
  std::printf("type=0x%lx\n", c->dwServiceType);
  std::printf("start=%lu\n", c->dwStartType);
  std::printf("errorcontrol=%lu\n", c->dwErrorControl);
  std::printf("group=%s\n", c->lpLoadOrderGroup ? c->lpLoadOrderGroup : "");
  std::printf("account=%s\n", c->lpServiceStartName ? c->lpServiceStartName : "");

  needed = 0;
  QueryServiceConfig2A(service.Get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0,
                       &needed);
  std::vector<BYTE> description(needed + sizeof(SERVICE_DESCRIPTIONA));
  auto* d = reinterpret_cast<SERVICE_DESCRIPTIONA*>(description.data());
  if (!QueryServiceConfig2A(service.Get(), SERVICE_CONFIG_DESCRIPTION,
                            description.data(), description.size(), &needed)) {
    return Failed();
  }
  std::printf("description=%s\n", d->lpDescription ? d->lpDescription : "");

  SERVICE_PRESHUTDOWN_INFO preshutdown = {};
  if (QueryServiceConfig2A(service.Get(), SERVICE_CONFIG_PRESHUTDOWN_INFO,
                           reinterpret_cast<BYTE*>(&preshutdown), sizeof preshutdown,
                           &needed)) {
    std::printf("preshutdown=%lu\n", preshutdown.dwPreshutdownTimeout);
  } else {
    std::printf("preshutdown=error %lu\n", GetLastError());
  }
  return 0;
}

// Wine 8 returns no dependencies from QueryServiceConfigA, so they are read
// from the registry, where the SCM keeps groups under DependOnGroup without
// their "+". The items are read as UTF-16, as stored, so that the size
// shows every byte that was stored.
int PrintDependencies(const char* name) {
  const std::string key = std::string("System\\CurrentControlSet\\Services\\") + name;
  HKEY service = nullptr;
  const LONG opened =
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &service);
  if (opened != ERROR_SUCCESS) {
    std::printf("error=%ld\n", opened);
    return 1;
  }
  const char* const values[] = {"DependOnService", "DependOnGroup"};
  for (const char* value : values) {
    DWORD type = 0, size = 0;
    std::vector<char> data;
    if (RegQueryValueExA(service, value, nullptr, &type, nullptr, &size) ==
        ERROR_SUCCESS) {
      data.resize(size + 2);
      RegQueryValueExA(service, value, nullptr, &type,
                       reinterpret_cast<BYTE*>(data.data()), &size);
    }
    std::printf("%s=%s\n", value, data.empty() ? "" : data.data());

    std::wstring wide(value, value + std::strlen(value));
    std::vector<wchar_t> items;
    size = 0;
    if (RegQueryValueExW(service, wide.c_str(), nullptr, &type, nullptr, &size) ==
        ERROR_SUCCESS) {
      items.resize(size / sizeof(wchar_t) + 2);
      RegQueryValueExW(service, wide.c_str(), nullptr, &type,
                       reinterpret_cast<BYTE*>(items.data()), &size);
    }
    std::string all;
    for (size_t i = 0; i < items.size() && items[i] != 0; i += std::wcslen(&items[i]) + 1) {
      if (!all.empty()) all += '|';
      for (const wchar_t* c = &items[i]; *c != 0; ++c) {
        all += *c < 0x80 ? static_cast<char>(*c) : '?';
      }
    }
    std::printf("%sAll=%s\n%sSize=%lu\n", value, all.c_str(), value,
                static_cast<unsigned long>(items.empty() ? 0 : size));
  }
  RegCloseKey(service);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "config") == 0) {
    return PrintConfig(argv[2]);
  }
  if (argc == 3 && std::strcmp(argv[1], "depends") == 0) {
    return PrintDependencies(argv[2]);
  }
  if (argc == 3 && std::strcmp(argv[1], "errtext") == 0) {
    const TQZString text =
        SystemErrorText(static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 0)));
    std::fwrite(text.Text(), 1, text.Length(), stdout);
    return 0;
  }
  std::fprintf(stderr, "usage: cmdprobe config|depends <name> | errtext <code>\n");
  return 2;
}
