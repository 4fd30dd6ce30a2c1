// The framework's printf-style formatter: against the C runtime's own on
// generated directives, and where it gives MinGW's forms or C's on purpose.
#include "foundation/format.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "foundation/string.h"
#include "tests/foundation/alloc_counter.h"
#include "tests/foundation/format_cases.h"

namespace {

template <typename... Args>
std::string Ours(const char* format, Args... args) {
  return qzformat::FormatWith(true, format, args...);
}

// x87's extended format, computed as such.
bool ExtendedPrecision() {
  return std::numeric_limits<long double>::digits == 64 && qzformat::LongDoubleIsExact();
}

size_t Into(TQZFormatOutput& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatTextV(out, format, args);
  va_end(args);
  return out.Count();
}

TEST(TQZFormatTest, AgreesWithTheCRuntimeOnGeneratedDirectives) {
  std::mt19937 rng(20261209);
  auto next = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  int compared = 0, different = 0;
  for (int i = 0; i < 20000; ++i) {
    const qzformat::Case c = qzformat::Draw(next);
    if (c.Format.empty()) continue;
    ++compared;
    const std::string ours = qzformat::Run(c, true);
    const std::string theirs = qzformat::Run(c, false);
    if (ours != theirs && ++different <= 10)
      ADD_FAILURE() << c.Format << ": ours [" << ours << "], the C runtime's [" << theirs << "]";
  }
  EXPECT_EQ(different, 0);
  EXPECT_GT(compared, 15000);
}

TEST(TQZFormatTest, GivesMinGWsFormsWhereCLeavesThemOpen) {
  const std::string zeros(2 * sizeof(void*) - 2, '0');
  EXPECT_EQ(Ours("%p|%#p|%6p|%-6p|", (void*)0xab, (void*)0xab, (void*)0xab, (void*)0),
            zeros + "ab|0xab|    ab|0     |");
  EXPECT_EQ(Ours("%f %+f %e %05f|%-6F|", -NAN, NAN, -INFINITY, INFINITY, NAN),
            "nan +nan -inf   inf|NAN   |");
  EXPECT_EQ(Ours("%s|%.3s|%ls", static_cast<char*>(nullptr), static_cast<char*>(nullptr),
                 static_cast<wchar_t*>(nullptr)),
            "(null)|(nu|(null)");
  EXPECT_EQ(Ours("% u|%+u|% d", 5u, 5u, 5), " 5|5| 5");
  EXPECT_EQ(Ours("%y|%hy|%5%|%qd|%I5d|abc%5", 1), "%y|%hy|%|%qd|%I5d|abc%5");
  EXPECT_EQ(Ours("%I64d|%I32x|%Iu", static_cast<int64_t>(-5), 255, static_cast<size_t>(7)),
            "-5|ff|7");
  // Hexadecimal digits round half up; a double keeps its leading 1 or 0.
  EXPECT_EQ(Ours("%.1a|%.0a|%a", 1.03125, 1.96875, 5e-324),
            "0x1.1p+0|0x2p+0|0x0.0000000000001p-1022");
  if (ExtendedPrecision()) {
    EXPECT_EQ(Ours("%La|%.0La|%.2La", 1.0L, 15.5L, 15.99L), "0x8p-3|0x1p+4|0xf.fdp+0");
  }
  // Wide text is as wide as its characters and ends at one that does not
  // convert; a wide NUL is written.
  EXPECT_EQ(Ours("%5lc|%-4ls|", 0, L"a\u263Ab"), std::string("    \0|a |", 9));
}

// Switches the C runtime's character conversions, for a scope, to a code
// page in which two of a few wide characters take more than one byte each,
// and keeps those two with the bytes the C runtime gives them.
class MultiByteConversions {
 public:
  MultiByteConversions() {
    const char* current = std::setlocale(LC_CTYPE, nullptr);
    Previous = current != nullptr ? current : "C";
    for (const char* name : {"C.UTF-8", "en_US.UTF-8", ".UTF8", ".65001", ".932", ".936"}) {
      if (std::setlocale(LC_CTYPE, name) == nullptr) continue;
      Wide.clear();
      Bytes.clear();
      for (wchar_t w : {L'\u00FC', L'\u263A', L'\u3042', L'\u65E5'}) {
        char bytes[MB_LEN_MAX];
        std::mbstate_t state{};
        const size_t n = std::wcrtomb(bytes, w, &state);
        if (n == static_cast<size_t>(-1) || n < 2 || Wide.size() == 2) continue;
        Wide += w;
        Bytes.emplace_back(bytes, n);
      }
      if (Wide.size() == 2) {
        Name = name;
        return;
      }
    }
    std::setlocale(LC_CTYPE, Previous.c_str());
  }
  ~MultiByteConversions() { std::setlocale(LC_CTYPE, Previous.c_str()); }
  MultiByteConversions(const MultiByteConversions&) = delete;
  MultiByteConversions& operator=(const MultiByteConversions&) = delete;

  bool Active() const { return Wide.size() == 2; }
  int Length(size_t i) const { return static_cast<int>(Bytes[i].size()); }

  std::wstring Wide;
  std::vector<std::string> Bytes;
  std::string Name;

 private:
  std::string Previous;
};

TEST(TQZFormatTest, WideTextWidthAndPrecisionCountBytesAndNeverSplitACharacter) {
  MultiByteConversions mb;
  if (!mb.Active()) GTEST_SKIP() << "the C runtime converts no character to several bytes here";
  SCOPED_TRACE(mb.Name);
  const wchar_t* text = mb.Wide.c_str();
  const std::string& first = mb.Bytes[0];
  const std::string both = mb.Bytes[0] + mb.Bytes[1];
  const int a = mb.Length(0);
  const int b = mb.Length(1);
  EXPECT_EQ(Ours("%.*ls|", a, text), first + "|");
  EXPECT_EQ(Ours("%.*ls|", a + b - 1, text), first + "|") << "the second character would be cut";
  EXPECT_EQ(Ours("%.*ls|", a + b, text), both + "|");
  EXPECT_EQ(Ours("%.1ls|%.0ls|", text, text), "||");
  EXPECT_EQ(Ours("%*ls|", a + b + 1, text), " " + both + "|");
  EXPECT_EQ(Ours("%-*.*ls|", a + 2, a + 1, text), first + "  |");
  EXPECT_EQ(Ours("%*lc|", b + 1, static_cast<wint_t>(mb.Wide[1])), " " + mb.Bytes[1] + "|");
  // A precision that ends on a character boundary reads no further: this
  // array has no terminator.
  const wchar_t unterminated[2] = {mb.Wide[0], mb.Wide[1]};
  EXPECT_EQ(Ours("%.*ls|", a + b, unterminated), both + "|");
  if (!qzformat::MinGWReference) {
    // The C library counts bytes too.
    for (const char* format : {"%.2ls|", "%.4ls|", "%.5ls|", "%6ls|", "%-5.3ls|", "%-9ls|"})
      EXPECT_EQ(Ours(format, text), qzformat::FormatWith(false, format, text)) << format;
  }
}

TEST(TQZFormatTest, APercentSignEndingTheFormatStaysAsWritten) {
  EXPECT_EQ(Ours("100%"), "100%");
  EXPECT_EQ(Ours("%"), "%");
  EXPECT_EQ(Ours("%d%%%", 5), "5%%");
  EXPECT_EQ(Ours("rate %-08.2"), "rate %-08.2");
}

TEST(TQZFormatTest, FollowsCWhereMinGWsPrintfFallsShort) {
  EXPECT_EQ(Ours("%#.0o|%#o", 0u, 8u), "0|010");
  EXPECT_EQ(Ours("%30.25g|", 1e15), std::string(14, ' ') + "1000000000000000|");
  EXPECT_EQ(Ours("%Ld %d", 5LL, 7), "5 7");
}

TEST(TQZFormatTest, ConvertsFloatingPointExactlyAndRoundsTiesToEven) {
  EXPECT_EQ(Ours("%.60f", 1.0 / 3),
            "0.333333333333333314829616256247390992939472198486328125000000");
  EXPECT_EQ(Ours("%.30e", 5e-324), "4.940656458412465441765687928682e-324");
  EXPECT_EQ(Ours("%.17g|%g|%g|%#g", 0.1, 1e-5, 123456789.0, 1.0),
            "0.10000000000000001|1e-05|1.23457e+08|1.00000");
  EXPECT_EQ(Ours("%.0f %.0f %.0f %.1f %.0e %.3g", 0.5, 1.5, 2.5, 0.25, 2.5, 9.9996),
            "0 2 2 0.2 2e+00 10");
  const std::string big = Ours("%.0f", 1e300);
  EXPECT_EQ(big.size(), 301u);
  EXPECT_EQ(big.substr(0, 40), "1000000000000000052504760255204420248704");
  if (ExtendedPrecision()) {
    const std::string huge = Ours("%.0Lf", LDBL_MAX);
    EXPECT_EQ(huge.size(), 4933u);
    EXPECT_EQ(huge.substr(0, 24), "118973149535723176502126");
    EXPECT_EQ(Ours("%.3Le", LDBL_MIN / 8), "4.203e-4933");
  }
}

TEST(TQZFormatTest, KeepsWhatFitsAndCountsTheWholeText) {
  char buffer[8];
  TQZFormatOutput out(buffer, sizeof buffer);
  int before = 0;
  // A precision of INT_MAX is counted, not written: this returns at once.
  const size_t count = Into(out, "%s%n|%.*f", "0123456789", &before, INT_MAX, 1.0);
  EXPECT_EQ(before, 10);
  EXPECT_EQ(count, 13u + static_cast<size_t>(INT_MAX));
  EXPECT_EQ(std::string(buffer, sizeof buffer), "01234567");
}

TEST(TQZFormatTest, StreamReceivesTheWholeTextInOrder) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  std::string text;
  for (int i = 0; i < 3000; ++i) text += static_cast<char>('a' + i % 26);
  {
    TQZFormatOutput out(file);
    Into(out, "%s|%05d|%.3f", text.c_str(), 42, 2.5);
  }
  std::rewind(file);
  std::string read;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) read += static_cast<char>(c);
  std::fclose(file);
  EXPECT_EQ(read, text + "|00042|2.500");
}

TEST(TQZFormatTest, DoublesNeedNoHeapAndDigitsWithoutMemoryGiveTheEmptyString) {
  TQZString s("old");
  int allocations = 0;
  {
    ScopedAllocationCount count;
    s.Format("%.17g|%e|%f", 0.1, 5e-324, DBL_MAX);
    allocations = count.Stop();
  }
  EXPECT_EQ(allocations, 1) << "the string's block only";
  EXPECT_EQ(s.Length(), 19 + 1 + 13 + 1 + 316);
  {
    ScopedAllocationFailure failure(1);
    s.Format("%.0Lf", LDBL_MAX);
  }
  EXPECT_EQ(s.Length(), 0);
  s.Format("%.0Lf", LDBL_MAX);
  if (ExtendedPrecision() || std::numeric_limits<long double>::digits == 53) {
    EXPECT_EQ(s.Length(), ExtendedPrecision() ? 4096 : 309);
  }
}

}  // namespace
