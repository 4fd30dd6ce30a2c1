// Printf directives with an argument each, drawn from a source of choices,
// formatted by the framework and by the C runtime's own snprintf; shared by
// the unit test and the fuzz target.
#ifndef QZ_TESTS_FOUNDATION_FORMAT_CASES_H
#define QZ_TESTS_FOUNDATION_FORMAT_CASES_H

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "foundation/format.h"

namespace qzformat {

// With MinGW the C runtime's snprintf is MinGW's own C99 printf, whose forms
// for %p, %a, NaN, wide text and its I lengths the framework gives too; the
// C library elsewhere differs there, so only MinGW is asked about them.
#if defined(__MINGW32__)
constexpr bool MinGWReference = true;
#else
constexpr bool MinGWReference = false;
#endif

// Whether long double arithmetic has the type's own precision here; an
// emulator (valgrind) computes x87's as a double and cannot be compared with.
inline bool LongDoubleIsExact() {
  volatile long double one = 1.0L;
  return one + LDBL_EPSILON != one;
}

enum class Kind { Signed, Unsigned, Text, Char, Double, LongDouble, Pointer, Wide };

struct Case {
  std::string Format;
  Kind Type = Kind::Signed;
  long long Integer = 0;
  double Real = 0;
  long double LongReal = 0;
  const char* Text = "";
  const wchar_t* WideText = L"";
};

inline std::string FormatWith(bool ours, const char* format, ...) {
  char buffer[8192];
  va_list args;
  va_start(args, format);
  size_t length = 0;
  if (ours) {
    TQZFormatOutput out(buffer, sizeof buffer);
    FormatTextV(out, format, args);
    length = out.Count();
  } else {
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    length = n < 0 ? 0 : static_cast<size_t>(n);
  }
  va_end(args);
  return std::string(buffer, length < sizeof buffer ? length : sizeof buffer - 1);
}

// What the framework (ours) or the C runtime makes of the case.
inline std::string Run(const Case& c, bool ours) {
  const char* f = c.Format.c_str();
  const char length = c.Format.size() > 1 ? c.Format[c.Format.size() - 2] : 0;
  switch (c.Type) {
    case Kind::Signed:
    case Kind::Unsigned:
      // The argument's type follows the length; narrower ones travel as int.
      if (length == 'l' && c.Format[c.Format.size() - 3] == 'l')
        return FormatWith(ours, f, c.Integer);
      if (length == 'l') return FormatWith(ours, f, static_cast<long>(c.Integer));
      if (length == 'j') return FormatWith(ours, f, static_cast<intmax_t>(c.Integer));
      if (length == 'z') return FormatWith(ours, f, static_cast<size_t>(c.Integer));
      if (length == 't') return FormatWith(ours, f, static_cast<ptrdiff_t>(c.Integer));
      if (length == '4') return FormatWith(ours, f, static_cast<int64_t>(c.Integer));
      if (length == 'I') return FormatWith(ours, f, static_cast<size_t>(c.Integer));
      return FormatWith(ours, f, static_cast<int>(c.Integer));
    case Kind::Text:
      return FormatWith(ours, f, c.Text);
    case Kind::Char:
      return FormatWith(ours, f, static_cast<int>(c.Integer));
    case Kind::Double:
      return FormatWith(ours, f, c.Real);
    case Kind::LongDouble:
      return FormatWith(ours, f, c.LongReal);
    case Kind::Pointer:
      return FormatWith(ours, f, reinterpret_cast<void*>(static_cast<uintptr_t>(c.Integer)));
    case Kind::Wide:
      if (length == 'l' && c.Format.back() == 'c')
        return FormatWith(ours, f, static_cast<int>(c.Integer));
      return FormatWith(ours, f, c.WideText);
  }
  return std::string();
}

// Draws one case; next(n) gives a choice in 0 .. n-1. A case the two must
// not be compared on (see Comparable) comes back with an empty format.
template <typename Next>
Case Draw(Next next) {
  static const char* const flags[] = {"",   "-",  "+",  " ",  "#",  "0",
                                      "-+", "+0", "#0", "-#", " 0", "+#0"};
  static const char* const widths[] = {"", "1", "5", "12", "30"};
  static const char* const precisions[] = {"",   ".",   ".0",  ".1",  ".3",
                                           ".6", ".10", ".17", ".25", ".60"};
  auto u64 = [&] {
    uint64_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 16 | static_cast<uint64_t>(next(65536));
    return v;
  };
  Case c;
  const std::string flag = flags[next(12)];
  const std::string width = widths[next(5)];
  const int precisionIndex = next(10);
  std::string head = "%" + flag + width + precisions[precisionIndex];
  const int kinds = MinGWReference ? 8 : 4;
  switch (next(kinds)) {
    case 0: {
      static const char* const lengths[] = {"", "hh", "h", "l", "ll", "j", "z", "t", "I64", "I"};
      static const char* const conversions = "diuoxX";
      const char conversion = conversions[next(6)];
      c.Format = head + lengths[next(MinGWReference ? 10 : 8)] + conversion;
      c.Type = conversion == 'd' || conversion == 'i' ? Kind::Signed : Kind::Unsigned;
      c.Integer = static_cast<long long>(u64() >> next(64));
      if (next(2) != 0) c.Integer = -c.Integer;
      if (next(8) == 0) c.Integer = 0;
      break;
    }
    case 1:
    case 2: {
      static const double notable[] = {
          0.0,    -0.0,    0.5,     1.5,         2.5,      9.5,  0.05, 0.15,         99.95,  1e22,
          5e-324, DBL_MAX, DBL_MIN, 123456789.0, 0.000123, 1e-5, 1e15, 9.9999999e-5, 1.0 / 3};
      double v = 0;
      switch (next(4)) {
        case 0: {
          const uint64_t bits = u64();
          std::memcpy(&v, &bits, sizeof v);
          break;
        }
        case 1:
          v = std::ldexp(static_cast<double>(u64() >> 11), next(2200) - 1100);
          break;
        case 2:
          v = static_cast<double>(next(65536)) / std::pow(10.0, next(9));
          break;
        default:
          v = notable[next(sizeof notable / sizeof notable[0])];
          break;
      }
      if (std::isnan(v) && !MinGWReference) v = 1.0;
      static const char* const conversions[] = {"e", "E", "f", "F", "g", "G", "a", "A"};
      const std::string conversion = conversions[next(MinGWReference ? 8 : 6)];
      if (next(4) == 0 && LongDoubleIsExact()) {
        c.Type = Kind::LongDouble;
        c.LongReal = static_cast<long double>(v) * (next(2) != 0 ? 1.0L : 0.1L);
        if (next(8) == 0) c.LongReal = std::ldexp(c.LongReal, next(30000) - 15000);
        c.Format = head + "L" + conversion;
      } else {
        c.Type = Kind::Double;
        c.Real = v;
        c.Format = head + conversion;
      }
      // MinGW's printf loses the padding of a %g whose precision exceeds the
      // digits a double has.
      if (MinGWReference && (conversion == "g" || conversion == "G") && precisionIndex >= 7 &&
          !width.empty())
        c.Format.clear();
      break;
    }
    case 3: {
      static const char* const texts[] = {"", "a", "hello, world", "tab\there"};
      c.Text = texts[next(4)];
      c.Type = next(2) != 0 ? Kind::Text : Kind::Char;
      c.Integer = 'A' + next(26);
      std::string plain = head;
      plain.erase(std::remove(plain.begin(), plain.end(), '#'), plain.end());
      c.Format = plain + (c.Type == Kind::Text ? "s" : "c");
      break;
    }
    case 4: {
      // Not a directive, or the escape of a percent sign.
      static const char* const rest[] = {"%", "y", "hy", "qd", "5y"};
      c.Format = head + rest[next(5)] + "|";
      c.Type = Kind::Signed;
      break;
    }
    case 5: {
      c.Type = Kind::Pointer;
      c.Integer = static_cast<long long>(u64() >> next(64));
      c.Format = next(3) == 0 ? std::string("%p") : head + "p";
      break;
    }
    case 6: {
      static const wchar_t* const texts[] = {L"abc", L"\u00fc\u00e9x", L"a\u263Ab", L"",
                                             L"long wide text"};
      c.Type = Kind::Wide;
      c.WideText = texts[next(5)];
      c.Integer = c.WideText[0];
      std::string plain = head;
      plain.erase(std::remove(plain.begin(), plain.end(), '#'), plain.end());
      static const char* const conversions[] = {"ls", "S", "lc"};
      c.Format = plain + conversions[next(3)];
      break;
    }
    default: {
      c.Type = Kind::Double;
      c.Real = next(2) != 0 ? NAN : INFINITY;
      if (next(2) != 0) c.Real = -c.Real;
      static const char* const conversions[] = {"e", "f", "g", "a", "E", "F", "G", "A"};
      c.Format = head + conversions[next(8)];
      break;
    }
  }
  if (c.Format.empty()) return c;
  // MinGW's printf gives %u a blank, C's does not; for "%#.0o" of 0 it
  // prints nothing, where C asks for "0".
  const bool unsignedBlank = c.Format.back() == 'u' && flag.find(' ') != std::string::npos;
  const bool octalZero = c.Format.back() == 'o' && flag.find('#') != std::string::npos &&
                         (precisionIndex == 1 || precisionIndex == 2);
  if ((unsignedBlank && !MinGWReference) || (octalZero && MinGWReference)) c.Format.clear();
  return c;
}

}  // namespace qzformat

#endif  // QZ_TESTS_FOUNDATION_FORMAT_CASES_H
