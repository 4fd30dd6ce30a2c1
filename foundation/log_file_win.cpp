// The log file's operating-system calls on Windows: appends that go to the
// end of the file whichever process writes, and a rotation guard shared by
// every process that writes the same file.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <new>

#include "foundation/format.h"
#include "foundation/log_file_os.h"
#include "foundation/log_file_testing.h"
#include "foundation/sync.h"
#include "foundation/win32.h"

const char LogOsLineEnd[] = "\r\n";

namespace {

// snprintf through the framework's formatter, which keeps the C runtime's
// printf out of every program that links the log file; false when the text
// does not fit.
bool FormatInto(char* buffer, size_t size, const char* format, ...) {
  TQZFormatOutput output(buffer, size);
  va_list args;
  va_start(args, format);
  const bool ok = FormatTextV(output, format, args);
  va_end(args);
  if (!ok || output.Count() >= size) return false;
  buffer[output.Count()] = '\0';
  return true;
}

struct TQZWinGuard {
  HANDLE Mutex = nullptr;
  HANDLE Mapping = nullptr;
  volatile LONG* Generation = nullptr;
};

// The same file gives the same name in every process: its full path,
// upper-cased as the file system compares names, hashed (FNV-1a over the
// UTF-16 units). KERNEL32's mapping keeps USER32 out of the process.
bool GuardName(const char* path, const char* scope, const char* kind,
               char* name, size_t size) {
  char full[MAX_PATH * 4];
  const DWORD length = GetFullPathNameA(path, sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) return false;
  wchar_t wide[MAX_PATH * 4];
  const int units = MultiByteToWideChar(CP_ACP, 0, full, static_cast<int>(length), wide,
                                        MAX_PATH * 4);
  if (units <= 0) return false;
  wchar_t upper[MAX_PATH * 4];
  const int mapped = LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, wide, units, upper,
                                  MAX_PATH * 4);
  if (mapped <= 0) return false;
  uint64_t hash = 14695981039346656037ull;
  for (int i = 0; i < mapped; ++i) {
    hash ^= static_cast<uint16_t>(upper[i]);
    hash *= 1099511628211ull;
  }
  return FormatInto(name, size, "%s\\qzsvc-log-%s-%08lx%08lx", scope, kind,
                    static_cast<unsigned long>(hash >> 32),
                    static_cast<unsigned long>(hash & 0xffffffffu));
}

// Named objects that every account may open, not inherited by children.
SECURITY_ATTRIBUTES SharedAttributes() {
  SECURITY_ATTRIBUTES attributes = {};
  attributes.nLength = sizeof attributes;
  const SECURITY_ATTRIBUTES* all =
      static_cast<const SECURITY_ATTRIBUTES*>(AllAccessAttributes());
  attributes.lpSecurityDescriptor = all != nullptr ? all->lpSecurityDescriptor : nullptr;
  attributes.bInheritHandle = FALSE;
  return attributes;
}

bool OpenGuardIn(const char* path, const char* scope, TQZWinGuard& guard) {
  char mutexName[128];
  char mappingName[128];
  if (!GuardName(path, scope, "lock", mutexName, sizeof mutexName) ||
      !GuardName(path, scope, "count", mappingName, sizeof mappingName)) {
    return false;
  }
  SECURITY_ATTRIBUTES attributes = SharedAttributes();
  guard.Mutex = CreateMutexA(&attributes, FALSE, mutexName);
  if (guard.Mutex == nullptr) return false;
  guard.Mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE,
                                     0, sizeof(LONG), mappingName);
  if (guard.Mapping != nullptr) {
    guard.Generation = static_cast<volatile LONG*>(
        MapViewOfFile(guard.Mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(LONG)));
  }
  if (guard.Generation != nullptr) return true;
  if (guard.Mapping != nullptr) CloseHandle(guard.Mapping);
  CloseHandle(guard.Mutex);
  guard.Mapping = nullptr;
  guard.Mutex = nullptr;
  return false;
}

}  // namespace

void* LogOsOpen(const char* path) {
  // Append access alone: the system puts every write at the end of the
  // file, even when another process has just appended to it.
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

void LogOsClose(void* file) { CloseHandle(static_cast<HANDLE>(file)); }

bool LogOsWrite(void* file, const char* data, size_t length, size_t& written) {
  written = 0;
  if (length > MAXDWORD) return false;
  DWORD count = 0;
  const BOOL ok = WriteFile(static_cast<HANDLE>(file), data, static_cast<DWORD>(length),
                            &count, nullptr);
  written = count;
  return ok != FALSE && count == length;
}

bool LogOsSharedAppends() { return true; }

bool LogOsFileSize(void* file, uint64_t& size) {
  LARGE_INTEGER value;
  if (!GetFileSizeEx(static_cast<HANDLE>(file), &value)) return false;
  size = static_cast<uint64_t>(value.QuadPart);
  return true;
}

TQZLogMove LogOsRename(const char* from, const char* to) {
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return TQZLogMove::Done;
  const DWORD error = GetLastError();
  if ((error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) &&
      GetFileAttributesA(from) == INVALID_FILE_ATTRIBUTES) {
    return TQZLogMove::Missing;
  }
  return TQZLogMove::Failed;
}

TQZLogMove LogOsRemove(const char* path) {
  if (DeleteFileA(path)) return TQZLogMove::Done;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
             ? TQZLogMove::Missing
             : TQZLogMove::Failed;
}

TQZString LogGuardMutexName(const char* path, const char* scope) {
  char name[128];
  return GuardName(path, scope, "lock", name, sizeof name) ? TQZString(name) : TQZString();
}

void* LogOsOpenGuard(const char* path) {
  TQZWinGuard* guard = new (std::nothrow) TQZWinGuard;
  if (guard == nullptr) return nullptr;
  // A service runs in another session than the operator's commands, so the
  // global names come first; an account that may not create them still
  // shares the guard within its own session.
  if (OpenGuardIn(path, "Global", *guard) || OpenGuardIn(path, "Local", *guard)) {
    return guard;
  }
  delete guard;
  return nullptr;
}

void LogOsCloseGuard(void* guard) {
  TQZWinGuard* g = static_cast<TQZWinGuard*>(guard);
  if (g->Generation != nullptr) UnmapViewOfFile(const_cast<LONG*>(g->Generation));
  if (g->Mapping != nullptr) CloseHandle(g->Mapping);
  if (g->Mutex != nullptr) CloseHandle(g->Mutex);
  delete g;
}

bool LogOsLockGuard(void* guard, uint32_t timeoutMs) {
  const DWORD result = WaitForSingleObject(static_cast<TQZWinGuard*>(guard)->Mutex,
                                           timeoutMs);
  // An owner that ended without releasing it left no rotation half done
  // that a later one cannot finish.
  return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

void LogOsUnlockGuard(void* guard) {
  ReleaseMutex(static_cast<TQZWinGuard*>(guard)->Mutex);
}

uint32_t LogOsGeneration(void* guard) {
  return static_cast<uint32_t>(
      InterlockedCompareExchange(static_cast<TQZWinGuard*>(guard)->Generation, 0, 0));
}

void LogOsAdvanceGeneration(void* guard) {
  InterlockedIncrement(static_cast<TQZWinGuard*>(guard)->Generation);
}

void LogOsLocalTime(TQZLogTime& time) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  time.Year = now.wYear;
  time.Month = now.wMonth;
  time.Day = now.wDay;
  time.Hour = now.wHour;
  time.Minute = now.wMinute;
  time.Second = now.wSecond;
  time.Millisecond = now.wMilliseconds;
}

uint32_t LogOsThreadId() { return GetCurrentThreadId(); }

uint64_t LogOsMilliseconds() { return GetTickCount64(); }
