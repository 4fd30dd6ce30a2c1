// Module and version information from /proc and uname.
#include <dlfcn.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>

#include "foundation/process_info_os.h"

const char ProcessOsPathDelimiters[] = "/";

void* ProcessOsExecutableHandle() { return dlopen(nullptr, RTLD_LAZY); }

// Only the executable's own file name is known; other modules give 0.
uint32_t ProcessOsModuleFileName(void* module, char* buffer, uint32_t size) {
  void* executable = dlopen(nullptr, RTLD_LAZY);
  if (executable != nullptr) dlclose(executable);
  if (module != executable) return 0;
  // readlink cuts the name to size bytes and writes no NUL, as the Win32
  // query does on older systems.
  const ssize_t count = readlink("/proc/self/exe", buffer, size);
  return count < 0 ? 0 : static_cast<uint32_t>(count);
}

// The kernel release's leading numbers as major, minor and build; there is
// no platform id and no service-pack text.
bool ProcessOsVersion(TQZOsVersion& version) {
  struct utsname names;
  if (uname(&names) != 0) return false;
  const char* p = names.release;
  uint32_t* const parts[] = {&version.MajorVersion, &version.MinorVersion,
                             &version.BuildNumber};
  for (uint32_t* part : parts) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(p, &end, 10);
    if (end == p) break;
    *part = static_cast<uint32_t>(value);
    if (*end != '.') break;
    p = end + 1;
  }
  return true;
}
