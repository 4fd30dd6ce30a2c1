// Input reader, failure reporting and the byte-comparison model shared by the
// fuzz targets.
#ifndef QZ_TESTS_FUZZ_FUZZ_SUPPORT_H
#define QZ_TESTS_FUZZ_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Aborts the run so that libFuzzer keeps the input as a crash artifact.
#define QZ_FUZZ_CHECK(cond, ...)                                        \
  do {                                                                  \
    if (!(cond)) {                                                      \
      std::fprintf(stderr, "%s:%d: check failed: %s\n  ", __FILE__,     \
                   __LINE__, #cond);                                    \
      std::fprintf(stderr, __VA_ARGS__);                                \
      std::fprintf(stderr, "\n");                                       \
      std::abort();                                                     \
    }                                                                   \
  } while (0)

namespace qzfuzz {

// Reads the input front to back, so that a seed can be written by hand: one
// byte per choice, little-endian words. An exhausted input reads as zeros.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : Data(data), Size(size) {}

  bool Exhausted() const { return Pos >= Size; }

  uint8_t Byte() { return Pos < Size ? Data[Pos++] : 0; }
  bool Bool() { return (Byte() & 1) != 0; }
  uint16_t U16() {
    uint16_t lo = Byte();
    return static_cast<uint16_t>(lo | (Byte() << 8));
  }
  uint32_t U32() {
    uint32_t lo = U16();
    return lo | (static_cast<uint32_t>(U16()) << 16);
  }
  // A value in lo..hi; one byte when the range fits in one, else two.
  int32_t Range(int32_t lo, int32_t hi) {
    const uint32_t span = static_cast<uint32_t>(hi - lo) + 1;
    const uint32_t raw = span <= 256 ? Byte() : U16();
    return lo + static_cast<int32_t>(raw % span);
  }
  // Up to maxLength raw bytes, preceded by their count.
  std::string Bytes(size_t maxLength) {
    size_t n = Byte() % (maxLength + 1);
    std::string out;
    while (n-- > 0 && !Exhausted()) out.push_back(static_cast<char>(Byte()));
    return out;
  }

 private:
  const uint8_t* Data;
  size_t Size;
  size_t Pos = 0;
};

inline unsigned char FoldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

// Three-way comparison of two byte texts: the difference of the first pair
// of (optionally case-folded) bytes that differ, else the length difference.
inline int32_t ModelCompare(const std::string& a, const std::string& b,
                            bool caseSensitive) {
  if (a.empty()) return b.empty() ? 0 : -1;
  if (b.empty()) return 1;
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (!caseSensitive) {
      x = FoldAscii(x);
      y = FoldAscii(y);
    }
    if (x != y) return static_cast<int32_t>(x) - static_cast<int32_t>(y);
  }
  return static_cast<int32_t>(a.size()) - static_cast<int32_t>(b.size());
}

inline bool ModelSame(const std::string& a, const std::string& b,
                      bool caseSensitive) {
  return a.size() == b.size() && ModelCompare(a, b, caseSensitive) == 0;
}

// Printable form of a byte text for failure messages.
inline std::string Quote(const std::string& s) {
  std::string out = "'";
  const size_t shown = s.size() > 80 ? 64 : s.size();
  for (size_t i = 0; i < shown; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '\'') {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  if (shown < s.size()) out += "...";
  return out + "' (" + std::to_string(s.size()) + ")";
}

}  // namespace qzfuzz

#endif  // QZ_TESTS_FUZZ_FUZZ_SUPPORT_H
