// Win32 half of the string module: interlocked counts, message texts and the
// ANSI code page's double-byte rules.
#include "foundation/string_os.h"
#include "foundation/win32.h"

static_assert(sizeof(LONG) == sizeof(int32_t), "block counts are Win32 LONGs");

int32_t StringOsIncrementCount(int32_t* count) {
  return InterlockedIncrement(reinterpret_cast<volatile LONG*>(count));
}

int32_t StringOsDecrementCount(int32_t* count) {
  return InterlockedDecrement(reinterpret_cast<volatile LONG*>(count));
}

int32_t StringOsLoadCount(int32_t* count) {
  return InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(count), 0, 0);
}

TQZStringBlock* StringOsExchangeBlock(TQZStringBlock** slot, TQZStringBlock* value) {
  return static_cast<TQZStringBlock*>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(slot), value));
}

int32_t StringOsMessageText(uint32_t code, char* buffer, int32_t size) {
  // No arguments are passed, so inserts such as %1 must be left as they are
  // rather than read from an argument array that does not exist.
  const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                      FORMAT_MESSAGE_IGNORE_INSERTS;
  return static_cast<int32_t>(FormatMessageA(flags, nullptr, code, 0, buffer,
                                             static_cast<DWORD>(size), nullptr));
}

bool StringOsDoubleByteEnabled() {
  // UTF-8 has no lead bytes, although the system may still report double-byte
  // support for its own code page.
  if (GetACP() == CP_UTF8) return false;
  // Loaded by name rather than imported, so that a process that never meets
  // a byte of 0x80 or above never loads USER32 and its start-up cost.
  HMODULE user32 = LoadLibraryA("user32.dll");
  if (user32 == nullptr) return false;
  typedef int(WINAPI * TGetSystemMetrics)(int);
  const TGetSystemMetrics getSystemMetrics = reinterpret_cast<TGetSystemMetrics>(
      reinterpret_cast<void*>(GetProcAddress(user32, "GetSystemMetrics")));
  const bool enabled = getSystemMetrics != nullptr && getSystemMetrics(SM_DBCSENABLED) != 0;
  FreeLibrary(user32);
  return enabled;
}

bool StringOsIsLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != FALSE; }
