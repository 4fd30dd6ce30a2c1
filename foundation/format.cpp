// printf-style formatting: the directive parser, integers and texts, and the
// exact decimal and hexadecimal forms of floating-point numbers.
#include "foundation/format.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <limits>
#include <new>
#include <type_traits>

void TQZFormatOutput::Put(const char* text, size_t length) { Write(text, 0, length); }

void TQZFormatOutput::Repeat(char c, size_t count) { Write(nullptr, c, count); }

void TQZFormatOutput::Write(const char* text, char fill, size_t length) {
  Total += length;
  while (length > 0) {
    if (Used == Capacity) {
      if (Stream == nullptr) return;
      Flush();
    }
    size_t n = Capacity - Used;
    if (n > length) n = length;
    if (text != nullptr) {
      std::memcpy(Buffer + Used, text, n);
      text += n;
    } else {
      std::memset(Buffer + Used, fill, n);
    }
    Used += n;
    length -= n;
  }
}

void TQZFormatOutput::Flush() {
  if (Stream == nullptr || Used == 0) return;
  if (std::fwrite(Buffer, 1, Used, Stream) != Used) WriteFailed = true;
  Used = 0;
}

namespace {

enum TQZLength {
  LenNone,
  LenChar,
  LenShort,
  LenLong,
  LenLongLong,
  LenLongDouble,
  LenMax,
  LenSize,
  LenPtrdiff,
  Len32,
  Len64
};

// The one-letter lengths that no second letter follows; the parser maps
// them to their TQZLength in this order.
const char SingleLengths[] = "Ljzt";

struct TQZDirective {
  bool Left = false;
  bool Plus = false;
  bool Space = false;
  bool Alt = false;
  bool Zero = false;
  // No flag, width, precision or length: %p then has a form of its own.
  bool Plain = false;
  size_t Width = 0;
  int Precision = -1;
  TQZLength Length = LenNone;
  char Conversion = 0;
};

// va_list is an array type on some ABIs; wrapped, it passes by reference.
struct TQZArgs {
  va_list List;
};

// The argument of an integer directive as the bits of its type, whose width
// goes to bits; types narrower than int travel as int.
uint64_t FetchInteger(TQZArgs& args, TQZLength length, int& bits) {
  bits = 64;
  switch (length) {
    case LenChar:
      bits = 8;
      return static_cast<unsigned char>(va_arg(args.List, unsigned));
    case LenShort:
      bits = 16;
      return static_cast<unsigned short>(va_arg(args.List, unsigned));
    case LenLong:
      bits = static_cast<int>(sizeof(long) * CHAR_BIT);
      return va_arg(args.List, unsigned long);
    case LenLongLong:
    case LenLongDouble:
      return va_arg(args.List, unsigned long long);
    case LenMax:
      return va_arg(args.List, uintmax_t);
    case LenSize:
    case LenPtrdiff:
      bits = static_cast<int>(sizeof(size_t) * CHAR_BIT);
      return va_arg(args.List, size_t);
    case Len64:
      return va_arg(args.List, uint64_t);
    default:
      bits = 32;
      return va_arg(args.List, uint32_t);
  }
}

void StoreCount(TQZArgs& args, TQZLength length, size_t count) {
  switch (length) {
    case LenChar:
      *va_arg(args.List, signed char*) = static_cast<signed char>(count);
      break;
    case LenShort:
      *va_arg(args.List, short*) = static_cast<short>(count);
      break;
    case LenLong:
      *va_arg(args.List, long*) = static_cast<long>(count);
      break;
    case LenLongLong:
    case LenLongDouble:
      *va_arg(args.List, long long*) = static_cast<long long>(count);
      break;
    case LenMax:
      *va_arg(args.List, intmax_t*) = static_cast<intmax_t>(count);
      break;
    case LenSize:
      *va_arg(args.List, size_t*) = count;
      break;
    case LenPtrdiff:
      *va_arg(args.List, ptrdiff_t*) = static_cast<ptrdiff_t>(count);
      break;
    case Len32:
      *va_arg(args.List, int32_t*) = static_cast<int32_t>(count);
      break;
    case Len64:
      *va_arg(args.List, int64_t*) = static_cast<int64_t>(count);
      break;
    default:
      *va_arg(args.List, int*) = static_cast<int>(count);
      break;
  }
}

// Opens a field of bodyLength characters after the prefix: blanks before it
// to the width, or zeros between prefix and body when asked. Returns the
// blanks that follow the body when the field is left-justified.
size_t OpenField(TQZFormatOutput& out, const TQZDirective& directive, const char* prefix,
                 size_t prefixLength, size_t bodyLength, bool zeroFill) {
  const size_t length = prefixLength + bodyLength;
  const size_t pad = directive.Width > length ? directive.Width - length : 0;
  if (!directive.Left && !zeroFill) out.Repeat(' ', pad);
  out.Put(prefix, prefixLength);
  if (!directive.Left && zeroFill) out.Repeat('0', pad);
  return directive.Left ? pad : 0;
}

void PutText(TQZFormatOutput& out, const TQZDirective& directive, const char* text, size_t length) {
  const size_t tail = OpenField(out, directive, "", 0, length, false);
  out.Put(text, length);
  out.Repeat(' ', tail);
}

const char* HexDigits(bool upper) { return upper ? "0123456789ABCDEF" : "0123456789abcdef"; }

void PutInteger(TQZFormatOutput& out, const TQZDirective& directive, uint64_t magnitude,
                bool negative) {
  const char c = directive.Conversion;
  const unsigned base = c == 'o' ? 8 : (c == 'x' || c == 'X' || c == 'p') ? 16 : 10;
  const char* digitSet = HexDigits(c == 'X');
  char digits[24];
  size_t n = 0;
  // 64-bit division is a library call on 32-bit targets; most values need none.
  uint64_t high = magnitude;
  for (; high > UINT32_MAX; high /= base) digits[sizeof digits - ++n] = digitSet[high % base];
  for (uint32_t v = static_cast<uint32_t>(high); v != 0; v /= base)
    digits[sizeof digits - ++n] = digitSet[v % base];
  int precision = directive.Precision;
  if (c == 'p' && directive.Plain) precision = 2 * static_cast<int>(sizeof(void*));
  const size_t minimum = precision < 0 ? 1 : static_cast<size_t>(precision);
  size_t zeros = minimum > n ? minimum - n : 0;
  if (c == 'o' && directive.Alt && zeros == 0) zeros = 1;
  char prefix[2];
  size_t prefixLength = 0;
  if (c == 'd' || c == 'i') {
    if (negative)
      prefix[prefixLength++] = '-';
    else if (directive.Plus)
      prefix[prefixLength++] = '+';
    else if (directive.Space)
      prefix[prefixLength++] = ' ';
  } else if (c == 'u' && directive.Space) {
    // MinGW's printf gives %u the blank of a sign, but never the plus.
    prefix[prefixLength++] = ' ';
  } else if (base == 16 && directive.Alt && magnitude != 0) {
    prefix[prefixLength++] = '0';
    prefix[prefixLength++] = c == 'X' ? 'X' : 'x';
  }
  const size_t tail =
      OpenField(out, directive, prefix, prefixLength, zeros + n, directive.Zero && precision < 0);
  out.Repeat('0', zeros);
  out.Put(digits + sizeof digits - n, n);
  out.Repeat(' ', tail);
}

// Wide text in the bytes the C runtime's wcrtomb gives: one character (a
// wide NUL included) when single, else the text up to its NUL. The field
// width and the precision count bytes of output, as C has it, and the
// precision never cuts a character in two; no character is read past the
// point where the precision is used up. A character that does not convert
// ends the text, but it and each character after it still count one byte of
// the field, as MinGW's printf counts them (C makes such text an error).
void PutWide(TQZFormatOutput& out, const TQZDirective& directive, const wchar_t* text,
             bool single) {
  const size_t limit = single || directive.Precision < 0
                           ? static_cast<size_t>(-1)
                           : static_cast<size_t>(directive.Precision);
  std::mbstate_t state{};
  char bytes[MB_LEN_MAX];
  size_t field = 0;
  size_t converted = 0;
  bool failed = false;
  for (size_t i = 0; single ? i < 1 : text[i] != 0; ++i) {
    size_t n = 1;
    if (!failed && text[i] != 0) {
      n = std::wcrtomb(bytes, text[i], &state);
      if (n == static_cast<size_t>(-1)) {
        failed = true;
        n = 1;
      }
    }
    if (n > limit - field) break;
    field += n;
    if (!failed) ++converted;
    if (field == limit) break;
  }
  const size_t tail = OpenField(out, directive, "", 0, field, false);
  state = std::mbstate_t{};
  for (size_t i = 0; i < converted; ++i) {
    const size_t n = text[i] == 0 ? 1 : std::wcrtomb(bytes, text[i], &state);
    out.Put(text[i] == 0 ? "" : bytes, n);
  }
  out.Repeat(' ', tail);
}

// |value| = Words (least significant first, top bit set) x 2^Exponent.
struct TQZBinary {
  uint32_t Words[4] = {};
  int Count = 0;
  int Exponent = 0;
  int Digits = 0;
  int MinExponent = 0;
  bool Negative = false;
  bool Nan = false;
  bool Infinite = false;
  bool Zero = false;

  uint32_t Word(int i) const { return i >= 0 && i < Count ? Words[i] : 0; }
  // Bit pos counted from the top of the words; outside them, 0.
  int Bit(int pos) const {
    if (pos < 0 || pos >= 32 * Count) return 0;
    return (Words[Count - 1 - pos / 32] >> (31 - pos % 32)) & 1;
  }
};

// |value| = significand x 2^exponent, normalised so that the top bit is set.
void SetSignificand(TQZBinary& b, uint64_t significand, int exponent) {
  if (significand == 0) {
    b.Zero = true;
    return;
  }
  for (; (significand >> 63) == 0; significand <<= 1) --exponent;
  b.Count = 2;
  b.Words[1] = static_cast<uint32_t>(significand >> 32);
  b.Words[0] = static_cast<uint32_t>(significand);
  b.Exponent = exponent;
}

// The encodings are read bit by bit, so that the result does not depend on
// how precisely the machine (or an emulator of it) computes.
TQZBinary Decompose(double value) {
  TQZBinary b;
  b.Digits = std::numeric_limits<double>::digits;
  b.MinExponent = std::numeric_limits<double>::min_exponent;
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  b.Negative = (bits >> 63) != 0;
  const int exponent = static_cast<int>(bits >> 52) & 0x7FF;
  const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  if (exponent == 0x7FF) {
    b.Nan = fraction != 0;
    b.Infinite = fraction == 0;
  } else if (exponent == 0) {
    SetSignificand(b, fraction, -1074);
  } else {
    SetSignificand(b, fraction | uint64_t{1} << 52, exponent - 1075);
  }
  return b;
}

TQZBinary Decompose(long double value) {
  using Limits = std::numeric_limits<long double>;
  static_assert(Limits::radix == 2 && Limits::digits <= 128,
                "a binary floating-point type of at most 128 digits");
  if (Limits::digits == std::numeric_limits<double>::digits)
    return Decompose(static_cast<double>(value));
  TQZBinary b;
  b.Digits = Limits::digits;
  b.MinExponent = Limits::min_exponent;
#if defined(__i386__) || defined(__x86_64__) || defined(_M_IX86) || defined(_M_X64)
  // x87's extended format: a 64-bit significand with its integer bit, then
  // the sign and a 15-bit exponent.
  if (Limits::digits == 64) {
    uint64_t significand = 0;
    uint16_t signAndExponent = 0;
    std::memcpy(&significand, &value, sizeof significand);
    std::memcpy(&signAndExponent, reinterpret_cast<const char*>(&value) + 8, 2);
    b.Negative = (signAndExponent >> 15) != 0;
    const int exponent = signAndExponent & 0x7FFF;
    if (exponent == 0x7FFF) {
      b.Nan = (significand << 1) != 0;
      b.Infinite = !b.Nan;
    } else {
      SetSignificand(b, significand, (exponent == 0 ? 1 : exponent) - 16383 - 63);
    }
    return b;
  }
#endif
  b.Negative = std::signbit(value);
  if (std::isnan(value))
    b.Nan = true;
  else if (std::isinf(value))
    b.Infinite = true;
  else if (value == 0)
    b.Zero = true;
  if (b.Nan || b.Infinite || b.Zero) return b;
  int exponent = 0;
  long double m = std::frexp(b.Negative ? -value : value, &exponent);
  b.Count = (Limits::digits + 31) / 32;
  // Each step moves 32 bits of the fraction above the point: exact.
  for (int i = b.Count - 1; i >= 0; --i) {
    m *= 4294967296.0L;
    const uint32_t word = static_cast<uint32_t>(m);
    b.Words[i] = word;
    m -= static_cast<long double>(word);
  }
  b.Exponent = exponent - 32 * b.Count;
  return b;
}

// Storage that starts inside its owner and moves to the heap when it must
// grow; the nothrow allocator makes running out of memory a result.
template <typename T, size_t Inline>
class TQZGrowable {
 public:
  TQZGrowable() = default;
  TQZGrowable(const TQZGrowable&) = delete;
  TQZGrowable& operator=(const TQZGrowable&) = delete;
  ~TQZGrowable() {
    if (Data != Local) ::operator delete(Data);
  }
  // Room for count items, keeping those there are.
  bool Reserve(size_t count) {
    if (count <= Size) return true;
    size_t size = Size * 2;
    while (size < count) size *= 2;
    T* data = static_cast<T*>(::operator new(size * sizeof(T), std::nothrow));
    if (data == nullptr) return false;
    std::memcpy(data, Data, Size * sizeof(T));
    if (Data != Local) ::operator delete(Data);
    Data = data;
    Size = size;
    return true;
  }
  T& operator[](size_t i) { return Data[i]; }
  const T& operator[](size_t i) const { return Data[i]; }

 private:
  T Local[Inline];
  T* Data = Local;
  size_t Size = Inline;
};

// Enough for every double without the heap: its integer part has at most
// 1024 bits and its fraction at most 1137 once aligned to words.
const size_t InlineWords = 40;

// The decimal digits of a binary number, exactly: the integer part at once,
// the fraction's digits nine at a time as they are asked for. Digit i counts
// from the integer part's first digit; past the last generated digit of a
// fraction that has ended, every digit is 0.
class TQZDecimal {
 public:
  // False without memory.
  bool Init(const TQZBinary& b);
  // Makes digit i and the one after it known; false without memory.
  bool Ensure(int64_t i);
  int Digit(int64_t i) const { return i < Generated ? Text[static_cast<size_t>(i)] - '0' : 0; }
  int64_t Generated = 0;
  int64_t IntegerLength = 0;
  bool Ended = true;

 private:
  TQZGrowable<char, 512> Text;
  TQZGrowable<uint32_t, InlineWords> Fraction;  // 0.F in base 2^32, least significant first
  int FractionWords = 0;
  int Low = 0;  // its lowest word that is not 0
};

bool TQZDecimal::Init(const TQZBinary& b) {
  // The integer part, as words, then as digits by division with 10^9.
  const int shift = b.Exponent;
  int words = 0;
  if (shift >= 0) {
    words = b.Count + shift / 32 + 1;
  } else if (-shift < 32 * b.Count) {
    words = b.Count;
  }
  TQZGrowable<uint32_t, InlineWords> integer;
  if (!integer.Reserve(static_cast<size_t>(words))) return false;
  for (int j = 0; j < words; ++j) integer[j] = 0;
  if (shift >= 0) {
    const int ws = shift / 32, bs = shift % 32;
    for (int j = 0; j < b.Count; ++j) {
      integer[j + ws] |= b.Word(j) << bs;
      if (bs != 0) integer[j + ws + 1] |= b.Word(j) >> (32 - bs);
    }
  } else {
    const int ws = -shift / 32, bs = -shift % 32;
    for (int j = 0; j < words; ++j) {
      integer[j] = b.Word(j + ws) >> bs;
      if (bs != 0) integer[j] |= b.Word(j + ws + 1) << (32 - bs);
    }
  }
  while (words > 0 && integer[words - 1] == 0) --words;
  if (words > 0) {
    // Nine digits per chunk, least significant chunk first.
    TQZGrowable<uint32_t, InlineWords> chunks;
    if (!chunks.Reserve(static_cast<size_t>(words) * 32 / 29 + 2) ||
        !Text.Reserve(static_cast<size_t>(words) * 10 + 64))
      return false;
    int count = 0;
    while (words > 0) {
      uint64_t rest = 0;
      for (int j = words - 1; j >= 0; --j) {
        const uint64_t current = (rest << 32) | integer[j];
        integer[j] = static_cast<uint32_t>(current / 1000000000u);
        rest = current % 1000000000u;
      }
      chunks[count++] = static_cast<uint32_t>(rest);
      while (words > 0 && integer[words - 1] == 0) --words;
    }
    for (uint32_t v = chunks[count - 1]; v != 0; v /= 10) ++Generated;
    for (uint32_t v = chunks[count - 1], i = 1; v != 0; v /= 10, ++i)
      Text[Generated - i] = static_cast<char>('0' + v % 10);
    for (int k = count - 2; k >= 0; --k) {
      uint32_t v = chunks[k];
      for (int d = 8; d >= 0; --d, v /= 10) Text[Generated + d] = static_cast<char>('0' + v % 10);
      Generated += 9;
    }
  }
  IntegerLength = Generated;

  // The fraction, scaled so that its point sits at a word boundary.
  if (shift >= 0) return true;
  const int bits = -shift;
  FractionWords = (bits + 31) / 32;
  if (!Fraction.Reserve(static_cast<size_t>(FractionWords))) return false;
  for (int j = 0; j < FractionWords; ++j) Fraction[j] = 0;
  const int up = 32 * FractionWords - bits;
  for (int j = 0; j < b.Count && j < FractionWords; ++j) {
    uint32_t word = b.Word(j);
    if (j * 32 >= bits)
      word = 0;
    else if (bits - j * 32 < 32)
      word &= (1u << (bits - j * 32)) - 1;
    Fraction[j] |= up == 0 ? word : word << up;
    if (up != 0 && j + 1 < FractionWords) Fraction[j + 1] |= word >> (32 - up);
  }
  Low = 0;
  while (Low < FractionWords && Fraction[Low] == 0) ++Low;
  Ended = Low == FractionWords;
  return true;
}

bool TQZDecimal::Ensure(int64_t i) {
  while (!Ended && Generated <= i + 1) {
    if (!Text.Reserve(static_cast<size_t>(Generated) + 9)) return false;
    uint64_t carry = 0;
    for (int j = Low; j < FractionWords; ++j) {
      const uint64_t v = static_cast<uint64_t>(Fraction[j]) * 1000000000u + carry;
      Fraction[j] = static_cast<uint32_t>(v);
      carry = v >> 32;
    }
    uint32_t chunk = static_cast<uint32_t>(carry);
    for (int d = 8; d >= 0; --d, chunk /= 10)
      Text[Generated + d] = static_cast<char>('0' + chunk % 10);
    Generated += 9;
    while (Low < FractionWords && Fraction[Low] == 0) ++Low;
    Ended = Low == FractionWords;
  }
  return true;
}

// Rounding of digits [start, end) to nearest, ties to even. When Up, digit
// Bump gains one and the digits after it become 0; Bump < start means every
// kept digit was 9 and the number gains a leading 1.
struct TQZCut {
  bool Up = false;
  int64_t Bump = 0;

  int Digit(const TQZDecimal& d, int64_t i) const {
    if (!Up || i < Bump) return d.Digit(i);
    return i == Bump ? d.Digit(i) + 1 : 0;
  }
};

bool RoundAt(TQZDecimal& d, int64_t start, int64_t end, TQZCut& cut) {
  if (!d.Ensure(end)) return false;
  const int next = d.Digit(end);
  bool after = !d.Ended;
  for (int64_t i = end + 1; !after && i < d.Generated; ++i) after = d.Digit(i) != 0;
  const bool odd = end > start && (d.Digit(end - 1) & 1) != 0;
  cut.Up = next > 5 || (next == 5 && (after || odd));
  if (cut.Up) {
    int64_t i = end - 1;
    while (i >= start && d.Digit(i) == 9) --i;
    cut.Bump = i;
  }
  return true;
}

// Digits [from, to) after rounding, in pieces.
void PutDigits(TQZFormatOutput& out, const TQZDecimal& d, const TQZCut& cut, int64_t from,
               int64_t to) {
  char piece[64];
  size_t n = 0;
  int64_t i = from;
  for (; i < to && i < d.Generated; ++i) {
    piece[n++] = static_cast<char>('0' + cut.Digit(d, i));
    if (n == sizeof piece) {
      out.Put(piece, n);
      n = 0;
    }
  }
  if (n != 0) out.Put(piece, n);
  if (i < to) out.Repeat('0', static_cast<size_t>(to - i));
}

size_t PutExponent(char* text, char letter, int64_t exponent, size_t minimum) {
  size_t n = 0;
  text[n++] = letter;
  text[n++] = exponent < 0 ? '-' : '+';
  char digits[24];
  size_t k = 0;
  for (uint32_t v = static_cast<uint32_t>(exponent < 0 ? -exponent : exponent);
       v != 0 || k < minimum; v /= 10)
    digits[k++] = static_cast<char>('0' + v % 10);
  while (k > 0) text[n++] = digits[--k];
  return n;
}

bool PutFixed(TQZFormatOutput& out, const TQZDirective& directive, const char* sign,
              size_t signLength, TQZDecimal& d, size_t precision) {
  const int64_t end = d.IntegerLength + static_cast<int64_t>(precision);
  TQZCut cut;
  if (!RoundAt(d, 0, end, cut)) return false;
  const bool carry = cut.Up && cut.Bump < 0;
  const size_t integer = d.IntegerLength == 0 ? 1 : static_cast<size_t>(d.IntegerLength) + carry;
  const bool point = precision > 0 || directive.Alt;
  const size_t tail =
      OpenField(out, directive, sign, signLength, integer + point + precision, directive.Zero);
  if (d.IntegerLength == 0)
    out.Put(carry ? "1" : "0", 1);
  else if (carry)
    out.Put("1", 1);
  PutDigits(out, d, cut, 0, d.IntegerLength);
  if (point) out.Put(".", 1);
  PutDigits(out, d, cut, d.IntegerLength, end);
  out.Repeat(' ', tail);
  return true;
}

// %e and %g: the first `count` significant digits, rounded, and the power of
// ten of the first.
struct TQZSignificant {
  int64_t First = 0;
  int64_t Count = 0;
  int64_t Exponent = 0;
  bool Zero = false;
  bool Carry = false;
  TQZCut Cut;

  int Digit(const TQZDecimal& d, int64_t k) const {
    if (Zero) return 0;
    if (Carry) return k == 0 ? 1 : 0;
    return Cut.Digit(d, First + k);
  }
  // How many digits remain once trailing zeros are dropped, keeping `keep`.
  int64_t Trimmed(const TQZDecimal& d, int64_t keep) const {
    int64_t k = Count;
    if (Zero || Carry)
      k = 1;
    else if (Cut.Up)
      k = Cut.Bump - First + 1;
    else if (d.Generated - First < k)
      k = d.Generated - First;
    while (k > 1 && Digit(d, k - 1) == 0) --k;
    return k < keep ? keep : k;
  }
};

bool Significant(TQZDecimal& d, bool zero, int64_t count, TQZSignificant& s) {
  s.Count = count;
  s.Zero = zero;
  if (zero) return true;
  int64_t first = 0;
  if (d.IntegerLength == 0) {
    for (;; ++first) {
      if (!d.Ensure(first)) return false;
      if (d.Digit(first) != 0) break;
    }
  }
  s.First = first;
  if (!RoundAt(d, first, first + count, s.Cut)) return false;
  s.Carry = s.Cut.Up && s.Cut.Bump < first;
  s.Exponent = d.IntegerLength - 1 - first + s.Carry;
  return true;
}

void PutSignificant(TQZFormatOutput& out, const TQZDecimal& d, const TQZSignificant& s,
                    int64_t from, int64_t to) {
  if (s.Zero || s.Carry) {
    if (from == 0 && to > 0) out.Put(s.Zero ? "0" : "1", 1);
    if (to > from + (from == 0)) out.Repeat('0', static_cast<size_t>(to - from - (from == 0)));
    return;
  }
  PutDigits(out, d, s.Cut, s.First + from, s.First + to);
}

void PutScientific(TQZFormatOutput& out, const TQZDirective& directive, const char* sign,
                   size_t signLength, const TQZDecimal& d, const TQZSignificant& s,
                   int64_t digits) {
  char exponent[32];
  const size_t exponentLength =
      PutExponent(exponent, directive.Conversion >= 'a' ? 'e' : 'E', s.Zero ? 0 : s.Exponent, 2);
  const bool point = digits > 1 || directive.Alt;
  const size_t tail =
      OpenField(out, directive, sign, signLength,
                static_cast<size_t>(digits) + point + exponentLength, directive.Zero);
  PutSignificant(out, d, s, 0, 1);
  if (point) out.Put(".", 1);
  PutSignificant(out, d, s, 1, digits);
  out.Put(exponent, exponentLength);
  out.Repeat(' ', tail);
}

// %g in fixed form: the digits placed around the point by their exponent.
void PutPlaced(TQZFormatOutput& out, const TQZDirective& directive, const char* sign,
               size_t signLength, const TQZDecimal& d, const TQZSignificant& s, int64_t digits) {
  const int64_t x = s.Zero ? 0 : s.Exponent;
  const int64_t integer = x >= 0 ? x + 1 : 1;
  const int64_t fraction = x >= 0 ? digits - integer : -x - 1 + digits;
  const bool point = fraction > 0 || directive.Alt;
  const size_t tail = OpenField(out, directive, sign, signLength,
                                static_cast<size_t>(integer + point + fraction), directive.Zero);
  if (x >= 0) {
    PutSignificant(out, d, s, 0, integer);
  } else {
    out.Put("0", 1);
  }
  if (point) out.Put(".", 1);
  if (x >= 0) {
    PutSignificant(out, d, s, integer, digits);
  } else {
    out.Repeat('0', static_cast<size_t>(-x - 1));
    PutSignificant(out, d, s, 0, digits);
  }
  out.Repeat(' ', tail);
}

void PutHexFloat(TQZFormatOutput& out, const TQZDirective& directive, const char* sign,
                 size_t signLength, const TQZBinary& b) {
  // x87's 64-bit significand is shown by nibbles from its top bit; the others
  // as 1.fraction, or 0.fraction below the smallest normal exponent.
  const bool nibbles = b.Digits == 64;
  const int frexpExponent = b.Exponent + 32 * b.Count;
  int exponent = 0, shift = 0, lead = 0, count = 0, first = 0;
  if (!b.Zero) {
    const int minimum = b.MinExponent - 1;
    exponent = frexpExponent - 1;
    if (exponent < minimum) {
      shift = minimum - exponent;
      exponent = minimum;
    }
    if (nibbles) {
      for (int i = 0; i < 4; ++i) lead = lead << 1 | b.Bit(i - shift);
      first = 4 - shift;
      count = 15;
      exponent -= 3;
    } else {
      lead = b.Bit(-shift);
      first = 1 - shift;
      count = (b.Digits - 1 + 3) / 4;
    }
  }
  unsigned char fraction[32] = {};
  for (int k = 0; k < count; ++k)
    for (int i = 0; i < 4; ++i)
      fraction[k] = static_cast<unsigned char>(fraction[k] << 1 | b.Bit(first + 4 * k + i));
  int precision = directive.Precision;
  if (precision < 0) {
    precision = count;
    while (precision > 0 && fraction[precision - 1] == 0) --precision;
  } else if (precision < count && b.Bit(first + 4 * precision) != 0) {
    // Half or more of the last kept nibble rounds up.
    int k = precision - 1;
    while (k >= 0 && fraction[k] == 15) fraction[k--] = 0;
    if (k >= 0) {
      ++fraction[k];
    } else if (++lead == 16) {
      lead = 1;
      exponent += 4;
    }
  }
  const bool upper = directive.Conversion == 'A';
  const char* digits = HexDigits(upper);
  char prefix[3] = {sign[0], '0', upper ? 'X' : 'x'};
  const char* start = signLength != 0 ? prefix : prefix + 1;
  char suffix[32];
  const size_t suffixLength = PutExponent(suffix, upper ? 'P' : 'p', exponent, 1);
  const bool point = precision > 0 || directive.Alt;
  const size_t tail =
      OpenField(out, directive, start, signLength + 2,
                1 + point + static_cast<size_t>(precision) + suffixLength, directive.Zero);
  out.Put(&digits[lead], 1);
  if (point) out.Put(".", 1);
  for (int k = 0; k < precision && k < count; ++k) out.Put(&digits[fraction[k]], 1);
  if (precision > count) out.Repeat('0', static_cast<size_t>(precision - count));
  out.Put(suffix, suffixLength);
  out.Repeat(' ', tail);
}

bool PutFloat(TQZFormatOutput& out, const TQZDirective& directive, const TQZBinary& b) {
  const char c = directive.Conversion;
  const bool upper = c == 'E' || c == 'F' || c == 'G' || c == 'A';
  char sign[1] = {0};
  size_t signLength = 0;
  // A NaN shows no sign of its own.
  if (b.Negative && !b.Nan)
    sign[signLength++] = '-';
  else if (directive.Plus)
    sign[signLength++] = '+';
  else if (directive.Space)
    sign[signLength++] = ' ';
  if (b.Nan || b.Infinite) {
    const char* text = b.Nan ? (upper ? "NAN" : "nan") : (upper ? "INF" : "inf");
    const size_t tail = OpenField(out, directive, sign, signLength, 3, false);
    out.Put(text, 3);
    out.Repeat(' ', tail);
    return true;
  }
  if (c == 'a' || c == 'A') {
    PutHexFloat(out, directive, sign, signLength, b);
    return true;
  }
  TQZDecimal d;
  if (!b.Zero && !d.Init(b)) return false;
  const int64_t precision = directive.Precision < 0 ? 6 : directive.Precision;
  if (c == 'f' || c == 'F')
    return PutFixed(out, directive, sign, signLength, d, static_cast<size_t>(precision));
  TQZSignificant s;
  if (c == 'e' || c == 'E') {
    if (!Significant(d, b.Zero, precision + 1, s)) return false;
    PutScientific(out, directive, sign, signLength, d, s, precision + 1);
    return true;
  }
  const int64_t count = precision == 0 ? 1 : precision;
  if (!Significant(d, b.Zero, count, s)) return false;
  const int64_t x = s.Zero ? 0 : s.Exponent;
  const bool placed = count > x && x >= -4;
  const int64_t digits = directive.Alt ? count : s.Trimmed(d, placed && x >= 0 ? x + 1 : 1);
  if (placed)
    PutPlaced(out, directive, sign, signLength, d, s, digits);
  else
    PutScientific(out, directive, sign, signLength, d, s, digits);
  return true;
}

using TQZWideArg = std::conditional<(sizeof(wint_t) < sizeof(int)), int, wint_t>::type;

}  // namespace

bool FormatTextV(TQZFormatOutput& out, const char* format, va_list list) {
  TQZArgs args;
  va_copy(args.List, list);
  bool ok = true;
  const char* p = format;
  while (*p != 0) {
    const char* percent = std::strchr(p, '%');
    if (percent == nullptr) {
      out.Put(p, std::strlen(p));
      break;
    }
    out.Put(p, static_cast<size_t>(percent - p));
    const char* q = percent + 1;
    TQZDirective directive;
    for (;; ++q) {
      if (*q == '-')
        directive.Left = true;
      else if (*q == '+')
        directive.Plus = true;
      else if (*q == ' ')
        directive.Space = true;
      else if (*q == '#')
        directive.Alt = true;
      else if (*q == '0')
        directive.Zero = true;
      else if (*q != '\'')
        break;
    }
    if (*q == '*') {
      const int width = va_arg(args.List, int);
      if (width < 0) directive.Left = true;
      directive.Width =
          width < 0 ? 0u - static_cast<unsigned>(width) : static_cast<unsigned>(width);
      ++q;
    } else {
      for (; *q >= '0' && *q <= '9'; ++q) {
        directive.Width = directive.Width > INT_MAX / 10
                              ? INT_MAX
                              : directive.Width * 10 + static_cast<size_t>(*q - '0');
      }
    }
    if (*q == '.') {
      ++q;
      if (*q == '*') {
        const int precision = va_arg(args.List, int);
        directive.Precision = precision < 0 ? -1 : precision;
        ++q;
      } else {
        directive.Precision = 0;
        for (; *q >= '0' && *q <= '9'; ++q)
          directive.Precision = directive.Precision > INT_MAX / 10 - 1
                                    ? INT_MAX
                                    : directive.Precision * 10 + (*q - '0');
      }
    }
    if (*q == 'h' || *q == 'l') {
      // Doubled, the letter names the next size: hh a char, ll a long long.
      const bool twice = q[1] == *q;
      directive.Length = *q == 'h' ? (twice ? LenChar : LenShort) : (twice ? LenLongLong : LenLong);
      q += twice ? 2 : 1;
    } else if (*q == 'I') {
      const bool bits64 = q[1] == '6' && q[2] == '4';
      const bool bits32 = q[1] == '3' && q[2] == '2';
      directive.Length = bits64 ? Len64 : bits32 ? Len32 : LenSize;
      q += bits64 || bits32 ? 3 : 1;
    } else if (const char* letter = *q != 0 ? std::strchr(SingleLengths, *q) : nullptr) {
      static const TQZLength single[] = {LenLongDouble, LenMax, LenSize, LenPtrdiff};
      directive.Length = single[letter - SingleLengths];
      ++q;
    }
    directive.Plain = q == percent + 1;
    directive.Conversion = *q;
    if (*q == 0) {
      // Cut off by the end of the format: it stays as written, like any
      // other text that is no directive.
      out.Put(percent, static_cast<size_t>(q - percent));
      break;
    }
    const bool wide = directive.Length == LenLong || directive.Length == LenLongLong;
    switch (*q) {
      case 'd':
      case 'i':
      case 'u':
      case 'o':
      case 'x':
      case 'X': {
        int bits = 0;
        const uint64_t value = FetchInteger(args, directive.Length, bits);
        const uint64_t mask = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
        const bool negative = (*q == 'd' || *q == 'i') && (value >> (bits - 1)) != 0;
        PutInteger(out, directive, negative ? (~value + 1) & mask : value, negative);
        break;
      }
      case 'p':
        PutInteger(out, directive, reinterpret_cast<uintptr_t>(va_arg(args.List, void*)), false);
        break;
      case 'c':
      case 'C':
        if (wide || *q == 'C') {
          const wchar_t w = static_cast<wchar_t>(va_arg(args.List, TQZWideArg));
          PutWide(out, directive, &w, true);
        } else {
          const char c = static_cast<char>(va_arg(args.List, int));
          PutText(out, directive, &c, 1);
        }
        break;
      case 's':
      case 'S':
        if (wide || *q == 'S') {
          const wchar_t* w = va_arg(args.List, const wchar_t*);
          if (w != nullptr) {
            PutWide(out, directive, w, false);
            break;
          }
          PutText(out, directive, "(null)",
                  directive.Precision >= 0 && directive.Precision < 6 ? directive.Precision : 6);
        } else {
          const char* s = va_arg(args.List, const char*);
          if (s == nullptr) s = "(null)";
          size_t length = 0;
          if (directive.Precision < 0) {
            length = std::strlen(s);
          } else {
            while (length < static_cast<size_t>(directive.Precision) && s[length] != 0) ++length;
          }
          PutText(out, directive, s, length);
        }
        break;
      case 'n':
        StoreCount(args, directive.Length, out.Count());
        break;
      case '%':
        out.Put("%", 1);
        break;
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G':
      case 'a':
      case 'A': {
        const TQZBinary b = directive.Length == LenLongDouble
                                ? Decompose(va_arg(args.List, long double))
                                : Decompose(va_arg(args.List, double));
        if (!PutFloat(out, directive, b)) ok = false;
        break;
      }
      default:
        // Not a directive: the text stands as written.
        out.Put(percent, static_cast<size_t>(q + 1 - percent));
        break;
    }
    if (!ok) break;
    p = q + 1;
  }
  va_end(args.List);
  return ok;
}

int PrintText(const char* format, ...) {
  TQZFormatOutput out(stdout);
  va_list args;
  va_start(args, format);
  const bool ok = FormatTextV(out, format, args);
  va_end(args);
  out.Flush();
  if (!ok || out.Failed()) return -1;
  return out.Count() > INT_MAX ? INT_MAX : static_cast<int>(out.Count());
}
