// Reference-counted 8-bit string and the free text helpers that go with it.
#ifndef QZ_FOUNDATION_STRING_H
#define QZ_FOUNDATION_STRING_H

#include <cstdint>

#if defined(__MINGW32__) && !defined(__clang__)
#define QZ_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define QZ_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define QZ_PRINTF_FORMAT(f, a)
#endif

struct TQZStringBlock;

// Counted 8-bit string in the ANSI code page whose characters live in a
// reference-counted block shared by copies. Positions are 1-based. An empty
// string has no block; its Text() is still a valid empty C string.
//
// Threads: distinct string objects that share a block may be copied,
// assigned and destroyed on different threads at the same time; the count
// is changed atomically and the block freed once. One string object may not
// be written (assigned, appended, resized, destroyed) on one thread while
// another thread reads or copies it: such an object is guarded by its
// owner's lock.
class TQZString {
 public:
  // The longest string a block can hold: longer requests fail like an
  // allocation that the heap refused, so a block size never overflows.
  static constexpr int32_t MaxLength = INT32_MAX - 12;

  // constexpr so that empty statics are ready before any dynamic initialiser.
  constexpr TQZString() : Block(nullptr) {}
  TQZString(const char* text);  // NOLINT: implicit by design, like std::string
  TQZString(const TQZString& other);
  TQZString(TQZString&& other) noexcept;
  virtual ~TQZString();

  TQZString& operator=(const TQZString& other) { return Assign(other); }
  TQZString& operator=(TQZString&& other) noexcept;
  TQZString& operator=(const char* text) { return Assign(text); }

  int32_t Length() const;
  const char* Text() const;
  // The characters, or null when empty. Writable only while this string is
  // the sole holder of its block: after SetLength (whatever the length) or
  // Fill, until it is copied.
  char* Data() const;

  TQZString& Assign(const TQZString& other);
  TQZString& Assign(const char* text);
  TQZString& Assign(const char* data, int32_t length);
  TQZString& Append(const TQZString& other);
  TQZString& Append(char c);
  // Keeps the first characters, up to the new length; characters past the
  // old length are not initialised. Afterwards this string is the only
  // holder of its block.
  TQZString& SetLength(int32_t length);
  // Throws a const char* "No enough memory to allocate!" when the block
  // cannot be allocated; the string keeps its previous value then.
  TQZString& Fill(char c, int32_t count);
  TQZString& AssignSub(const TQZString& source, int32_t start, int32_t count);
  // The formatted text, cut to its first 4096 characters.
  TQZString& Format(const char* format, ...) QZ_PRINTF_FORMAT(2, 3);

  TQZString& operator+=(const TQZString& other) { return Append(other); }
  TQZString& operator+=(char c) { return Append(c); }

  // The block this string holds; two strings share a block when equal.
  const void* BlockAddress() const { return Block; }

 private:
  friend struct TQZStringAccess;
  void Replace(TQZStringBlock* block);
  TQZStringBlock* Block;
};

TQZString operator+(const TQZString& a, const TQZString& b);
TQZString operator+(const TQZString& a, char c);
TQZString operator+(char c, const TQZString& b);

TQZString MakeString(const char* data, int32_t length);
TQZString SubString(const TQZString& s, int32_t start, int32_t count);
TQZString RepeatChar(char c, int32_t count);

int32_t CompareBytes(const char* a, int32_t la, const char* b, int32_t lb,
                     bool caseSensitive);
bool SameBytes(const char* a, int32_t la, const char* b, int32_t lb,
               bool caseSensitive);
int32_t CompareStrings(const TQZString& a, const TQZString& b,
                       bool caseSensitive);
bool SameStrings(const TQZString& a, const TQZString& b, bool caseSensitive);

// First occurrence of c in the C string s; never matches the terminator.
const char* FindChar(const char* s, char c);

// The system's message for a Win32 error code without its trailing full
// stops, blanks and control bytes; empty for an unknown code.
TQZString SystemErrorText(uint32_t code);

// Asks the system once whether the ANSI code page has double-byte
// characters; later calls do nothing. The other helpers call it themselves
// when they first meet a byte of 0x80 or above.
void DetectDoubleByteSystem();
// Detects on first use.
bool IsDoubleByteSystem();
// 0 single byte, 1 lead byte, 2 trail byte of a double-byte character.
int ByteKind(const char* s, int32_t pos);
int StringByteKind(const TQZString& s, int32_t pos);

#endif  // QZ_FOUNDATION_STRING_H
