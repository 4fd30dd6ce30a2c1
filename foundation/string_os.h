// Internal to the string module: the block layout and the few operating-system
// services that the portable code calls, implemented per platform.
#ifndef QZ_FOUNDATION_STRING_OS_H
#define QZ_FOUNDATION_STRING_OS_H

#include <cstdint>

#include "foundation/string.h"

// One heap allocation of (Length & ~3) + 12 bytes: two header words, then the
// characters, then a terminating 0. Callers that write into a fresh block rely
// on the characters starting 8 bytes after the allocation's start.
struct TQZStringBlock {
  int32_t Count;
  int32_t Length;

  char* Chars() { return reinterpret_cast<char*>(this + 1); }
};
static_assert(sizeof(TQZStringBlock) == 8, "characters follow two 32-bit words");

// Access to a string's block for the module's free functions and its tests.
struct TQZStringAccess {
  static TQZStringBlock* Block(const TQZString& s) { return s.Block; }
  // Makes s hold block, whose reference is handed over; releases the old one.
  static void Replace(TQZString& s, TQZStringBlock* block) { s.Replace(block); }
  // Empties s without releasing its block, and returns the block.
  static TQZStringBlock* Detach(TQZString& s);
  static TQZString Adopt(TQZStringBlock* block) {
    TQZString s;
    s.Block = block;
    return s;
  }
};

// Atomic operations on a block's count; each returns the resulting value.
int32_t StringOsIncrementCount(int32_t* count);
int32_t StringOsDecrementCount(int32_t* count);
int32_t StringOsLoadCount(int32_t* count);
// Atomically stores value into *slot and returns what was there.
TQZStringBlock* StringOsExchangeBlock(TQZStringBlock** slot, TQZStringBlock* value);

// Writes the system's message for code into buffer (at most size bytes, not
// necessarily terminated) and returns its length, 0 when the code is unknown.
int32_t StringOsMessageText(uint32_t code, char* buffer, int32_t size);
bool StringOsDoubleByteEnabled();
bool StringOsIsLeadByte(unsigned char byte);

inline TQZStringBlock* TQZStringAccess::Detach(TQZString& s) {
  return StringOsExchangeBlock(&s.Block, nullptr);
}

// Length of a system message once its trailing full stops, blanks and control
// bytes are dropped.
int32_t TrimmedMessageLength(const char* text, int32_t length);
// Overrides the detected double-byte system flag (testing hooks only).
void SetDoubleByteSystemFlag(bool value);
// Whether the system has been asked (or the flag set) yet, and a way back to
// not asked (testing hooks only).
bool DoubleByteSystemDetected();
void ForgetDoubleByteSystemFlag();

#endif  // QZ_FOUNDATION_STRING_OS_H
