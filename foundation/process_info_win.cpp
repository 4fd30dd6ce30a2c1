// Module and version information from KERNEL32.
#include <cstring>

#include "foundation/process_info_os.h"
#include "foundation/win32.h"

const char ProcessOsPathDelimiters[] = "\\:";

void* ProcessOsExecutableHandle() { return GetModuleHandleA(nullptr); }

uint32_t ProcessOsModuleFileName(void* module, char* buffer, uint32_t size) {
  return GetModuleFileNameA(static_cast<HMODULE>(module), buffer, size);
}

bool ProcessOsVersion(TQZOsVersion& version) {
  static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA is 148 bytes");
  OSVERSIONINFOA info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  if (!GetVersionExA(&info)) return false;
  version.PlatformId = info.dwPlatformId;
  version.MajorVersion = info.dwMajorVersion;
  version.MinorVersion = info.dwMinorVersion;
  version.BuildNumber = info.dwBuildNumber;
  version.CSDVersion = MakeString(
      info.szCSDVersion,
      static_cast<int32_t>(strnlen(info.szCSDVersion, sizeof info.szCSDVersion)));
  return true;
}
