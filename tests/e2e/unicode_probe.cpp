// Reads back what a service built with qzsvc_add_service left behind; runs
// with UTF-8 as its ANSI code page, so its arguments and output are UTF-8:
//   uniprobe config <name>          path, display name and description,
//                                   read with the wide-character calls
//   uniprobe version <file>         the version resource's texts
//   uniprobe message <file> <id> <text>  message id of the file's table
//                                   formatted with text as its insertion
//   uniprobe eventsource <name>     the event source key of the Application log
//   uniprobe acp                    the ANSI code page in force
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/win32.h"
#include "tests/e2e/scoped_service_handle.h"

namespace {

int Failed() {
  std::printf("error=%lu\n", GetLastError());
  return 1;
}

std::string Utf8(const wchar_t* text) {
  if (text == nullptr || *text == L'\0') return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
  out.resize(static_cast<size_t>(size - 1));
  return out;
}

std::wstring Wide(const char* utf8) {
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  std::wstring out(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &out[0], size);
  out.resize(static_cast<size_t>(size - 1));
  return out;
}

int PrintConfig(const char* name) {
  ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, GENERIC_READ));
  if (!manager.Get()) return Failed();
  ScopedServiceHandle service(OpenServiceW(manager.Get(), Wide(name).c_str(), SERVICE_QUERY_CONFIG));
  if (!service.Get()) return Failed();
  DWORD needed = 0;
  QueryServiceConfigW(service.Get(), nullptr, 0, &needed);
  std::vector<BYTE> config(needed + sizeof(QUERY_SERVICE_CONFIGW));
  auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data());
  if (!QueryServiceConfigW(service.Get(), c, static_cast<DWORD>(config.size()), &needed)) {
    return Failed();
  }
  std::printf("path=%s\n", Utf8(c->lpBinaryPathName).c_str());
  std::printf("display=%s\n", Utf8(c->lpDisplayName).c_str());
  needed = 0;
  QueryServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
  std::vector<BYTE> description(needed + sizeof(SERVICE_DESCRIPTIONW));
  auto* d = reinterpret_cast<SERVICE_DESCRIPTIONW*>(description.data());
  if (!QueryServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, description.data(),
                            static_cast<DWORD>(description.size()), &needed)) {
    return Failed();
  }
  std::printf("description=%s\n", Utf8(d->lpDescription).c_str());
  return 0;
}

int PrintVersion(const char* file) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(file, &ignored);
  if (size == 0) return Failed();
  std::vector<BYTE> info(size);
  if (!GetFileVersionInfoA(file, 0, size, info.data())) return Failed();
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length)) {
    std::printf("fixed=%lu.%lu.%lu.%lu\n", fixed->dwFileVersionMS >> 16,
                fixed->dwFileVersionMS & 0xFFFF, fixed->dwFileVersionLS >> 16,
                fixed->dwFileVersionLS & 0xFFFF);
  }
  for (const char* key : {"FileDescription", "ProductName", "FileVersion"}) {
    const std::string path = std::string("\\StringFileInfo\\040904B0\\") + key;
    char* value = nullptr;
    if (!VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &length)) {
      std::printf("%s=<none>\n", key);
      continue;
    }
    std::printf("%s=%s\n", key, value);
  }
  return 0;
}

int PrintMessage(const char* file, const char* id, const char* text) {
  HMODULE module = LoadLibraryExA(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) return Failed();
  DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(text)};
  char buffer[1024];
  const DWORD count = FormatMessageA(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module,
      static_cast<DWORD>(std::strtoul(id, nullptr, 0)), 0, buffer, sizeof buffer,
      reinterpret_cast<va_list*>(arguments));
  const DWORD error = GetLastError();
  FreeLibrary(module);
  if (count == 0) {
    std::printf("error=%lu\n", error);
    return 1;
  }
  std::printf("[%.*s]\n", static_cast<int>(count), buffer);
  return 0;
}

int PrintEventSource(const char* name) {
  const std::string path =
      std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + name;
  HKEY key = nullptr;
  const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key);
  if (opened != ERROR_SUCCESS) {
    std::printf("error=%ld\n", opened);
    return 1;
  }
  char file[2048] = "";
  DWORD type = 0, size = sizeof file - 1;
  if (RegQueryValueExA(key, "EventMessageFile", nullptr, &type,
                       reinterpret_cast<BYTE*>(file), &size) == ERROR_SUCCESS) {
    std::printf("EventMessageFile=%s\nEventMessageFileType=%lu\n", file, type);
  }
  DWORD types = 0;
  size = sizeof types;
  if (RegQueryValueExA(key, "TypesSupported", nullptr, &type, reinterpret_cast<BYTE*>(&types),
                       &size) == ERROR_SUCCESS) {
    std::printf("TypesSupported=%lu\n", types);
  }
  RegCloseKey(key);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "config") == 0) return PrintConfig(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "version") == 0) return PrintVersion(argv[2]);
  if (argc == 5 && std::strcmp(argv[1], "message") == 0) {
    return PrintMessage(argv[2], argv[3], argv[4]);
  }
  if (argc == 3 && std::strcmp(argv[1], "eventsource") == 0) return PrintEventSource(argv[2]);
  if (argc == 2 && std::strcmp(argv[1], "acp") == 0) {
    std::printf("%u\n", GetACP());
    return 0;
  }
  std::fprintf(stderr, "usage: uniprobe config|version|message|eventsource|acp ...\n");
  return 2;
}
