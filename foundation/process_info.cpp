// Process-wide module and version information, filled before main, and the
// path helpers.
#include "foundation/process_info.h"

#include <memory>
#include <new>

#include "foundation/process_info_os.h"
#include "foundation/process_info_testing.h"

namespace {

// A string that is constant-initialised (empty) and that the language never
// destroys: the last TQZProcessInfoInit empties it instead, once every static
// object that may read it is gone.
union TQZLastingString {
  constexpr TQZLastingString() : Value() {}
  ~TQZLastingString() {}
  TQZString Value;
};
TQZLastingString FileNameStorage;
TQZLastingString PathStorage;
TQZLastingString CSDVersionStorage;

int32_t ProcessInfoUsers = 0;

}  // namespace

void* ModuleHandle = nullptr;
TQZString& ModuleFileName = FileNameStorage.Value;
TQZString& ModulePath = PathStorage.Value;
uint32_t OSPlatformId = 0;
uint32_t OSMajorVersion = 0;
uint32_t OSMinorVersion = 0;
uint32_t OSBuildNumber = 0;
TQZString& OSCSDVersion = CSDVersionStorage.Value;

TQZProcessInfoInit::TQZProcessInfoInit() {
  if (ProcessInfoUsers++ == 0) InitProcessInfo();
}

TQZProcessInfoInit::~TQZProcessInfoInit() {
  if (--ProcessInfoUsers != 0) return;
  ModuleFileName = TQZString();
  ModulePath = TQZString();
  OSCSDVersion = TQZString();
}

namespace {

TQZModuleFileNameQuery ModuleFileNameQuery = &ProcessOsModuleFileName;

// Takes the count of one query: the name when it fitted, an empty string
// otherwise. A count that includes a trailing NUL is taken without it.
bool TakeFittingName(const char* buffer, uint32_t count, uint32_t size,
                     TQZString& name) {
  if (count >= size) return false;
  if (count > 0 && buffer[count - 1] == '\0') --count;
  name = MakeString(buffer, static_cast<int32_t>(count));
  return true;
}

// The module's full file name. The query cuts a name that does not fit its
// buffer and returns the buffer size (with or without setting an error,
// depending on the system), so the buffer grows until the name fits: a cut
// name would name another file.
TQZString ReadModuleFileName(void* module) {
  TQZString name;
  char first[kModuleFileNameFirstBuffer];
  uint32_t count = ModuleFileNameQuery(module, first, sizeof first);
  if (TakeFittingName(first, count, sizeof first, name)) return name;
  for (uint32_t size = kModuleFileNameFirstBuffer;
       size < kModuleFileNameLargestBuffer;) {
    size = 2 * size < kModuleFileNameLargestBuffer ? 2 * size
                                                   : kModuleFileNameLargestBuffer;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
    if (!buffer) break;
    count = ModuleFileNameQuery(module, buffer.get(), size);
    if (TakeFittingName(buffer.get(), count, size, name)) return name;
  }
  return TQZString();
}

int32_t FindLastDelimiterIn(const char* delimiters, const TQZString& s) {
  const char* text = s.Text();
  int32_t n = s.Length();
  while (n > 0) {
    const char c = text[n - 1];
    if (c != '\0' && FindChar(delimiters, c) != nullptr) {
      // The second byte of a double-byte character can have a delimiter's
      // value; it and its lead byte are skipped together.
      if (StringByteKind(s, n) != 2) return n;
      n -= 2;
    } else {
      --n;
    }
  }
  return 0;
}

}  // namespace

TQZModuleFileNameQuery SetModuleFileNameQueryForTesting(
    TQZModuleFileNameQuery query) {
  TQZModuleFileNameQuery previous = ModuleFileNameQuery;
  ModuleFileNameQuery = query != nullptr ? query : &ProcessOsModuleFileName;
  return previous;
}

void InitProcessInfo() {
  ModuleHandle = nullptr;
  LoadModuleInfo(ModuleHandle, ModuleFileName, ModulePath);

  TQZOsVersion version;
  if (!ProcessOsVersion(version)) return;
  OSPlatformId = version.PlatformId;
  OSMajorVersion = version.MajorVersion;
  OSMinorVersion = version.MinorVersion;
  OSBuildNumber = version.BuildNumber;
  OSCSDVersion = version.CSDVersion;
}

void LoadModuleInfo(void*& module, TQZString& fileName, TQZString& folder) {
  if (module == nullptr) module = ProcessOsExecutableHandle();
  fileName = ReadModuleFileName(module);
  folder = SubString(fileName, 1,
                     FindLastDelimiterIn(ProcessOsPathDelimiters, fileName));
}

int32_t FindLastDelimiter(const TQZString& delimiters, const TQZString& s) {
  return FindLastDelimiterIn(delimiters.Text(), s);
}

TQZString PathPart(const TQZString& fileName) {
  return SubString(fileName, 1, FindLastDelimiterIn("\\:", fileName));
}

bool ContainsBlank(const TQZString& s) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(s.Text());
  const int32_t length = s.Length();
  for (int32_t i = 0; i < length; ++i) {
    if (bytes[i] <= 0x20) return true;
  }
  return false;
}
