// The framework's own printf-style formatter, behind TQZString::Format and the
// console lines, with the same output on every compiler and C runtime.
#ifndef QZ_FOUNDATION_FORMAT_H
#define QZ_FOUNDATION_FORMAT_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>

#include "foundation/string.h"

// Where formatted text goes: into a buffer, of which it keeps the first
// capacity bytes, or to a stream, all of it. Count() is the length of the
// whole text either way.
class TQZFormatOutput {
 public:
  TQZFormatOutput(char* buffer, size_t capacity)
      : Buffer(buffer), Capacity(capacity), Stream(nullptr) {}
  explicit TQZFormatOutput(std::FILE* stream)
      : Buffer(Pending), Capacity(sizeof Pending), Stream(stream) {}
  ~TQZFormatOutput() { Flush(); }
  TQZFormatOutput(const TQZFormatOutput&) = delete;
  TQZFormatOutput& operator=(const TQZFormatOutput&) = delete;

  void Put(const char* text, size_t length);
  void Repeat(char c, size_t count);
  void Flush();
  size_t Count() const { return Total; }
  bool Failed() const { return WriteFailed; }

 private:
  // Writes the text, or count copies of fill when the text is null.
  void Write(const char* text, char fill, size_t length);
  char* Buffer;
  size_t Capacity;
  std::FILE* Stream;
  size_t Used = 0;
  size_t Total = 0;
  bool WriteFailed = false;
  char Pending[256];
};

// Formats as C99's printf does, with MinGW's I, I32 and I64 lengths; where C
// leaves the result open (%p, a NaN's sign, a null %s, %ls of a character the
// C runtime's wcrtomb cannot convert) it gives what MinGW's printf gives. A %
// that starts no directive, a lone one at the end included, stays as written.
// False when a floating-point conversion found no memory for its digits; the
// text before it has been written.
bool FormatTextV(TQZFormatOutput& output, const char* format, va_list args);

// printf to standard output through the formatter; the byte count, or -1.
int PrintText(const char* format, ...) QZ_PRINTF_FORMAT(1, 2);

#endif  // QZ_FOUNDATION_FORMAT_H
