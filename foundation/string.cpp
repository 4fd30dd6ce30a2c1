// Reference-counted 8-bit string and its free helpers: the portable logic.
#include "foundation/string.h"

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "foundation/format.h"
#include "foundation/string_os.h"

namespace {

// Constant-initialised, so Text() of an empty string is valid from the first
// instruction of the process to its last.
const char EmptyText[1] = {0};

const char* const OutOfMemoryText = "No enough memory to allocate!";

const int32_t FormatBufferSize = 4096;

// Whether the ANSI code page has double-byte characters, asked of the
// system only when first needed: the question loads USER32 on Windows, which
// an all-ASCII process never has to pay for.
enum : int { DoubleByteUnknown, DoubleByteNo, DoubleByteYes };
std::atomic<int> DoubleByteState{DoubleByteUnknown};

// A fresh block of the given length with count 1 and its terminator, or null
// when the length is out of range or the heap refuses.
TQZStringBlock* AllocateBlock(int32_t length) {
  if (length < 1 || length > TQZString::MaxLength) return nullptr;
  const size_t size = (static_cast<size_t>(length) & ~static_cast<size_t>(3)) + 12;
  void* memory = ::operator new(size, std::nothrow);
  if (memory == nullptr) return nullptr;
  unsigned char* bytes = static_cast<unsigned char*>(memory);
  bytes[8] = 0;
  bytes[size - 3] = 0;
  bytes[size - 1] = 0;
  TQZStringBlock* block = static_cast<TQZStringBlock*>(memory);
  block->Count = 1;
  block->Length = length;
  block->Chars()[length] = 0;
  return block;
}

TQZStringBlock* NewBlock(const char* data, int32_t length) {
  if (data == nullptr || length < 1) return nullptr;
  TQZStringBlock* block = AllocateBlock(length);
  if (block != nullptr) std::memcpy(block->Chars(), data, static_cast<size_t>(length));
  return block;
}

// Base text with the inserted text placed before its 1-based position.
TQZStringBlock* SpliceBlock(const char* base, int32_t n, int64_t position,
                            const char* inserted, int32_t m) {
  if (base == nullptr || n < 1) return NewBlock(inserted, m);
  if (inserted == nullptr || m < 1) return NewBlock(base, n);
  // Summed in 64 bits: two long texts must not wrap into a short block.
  const int64_t total = static_cast<int64_t>(n) + m;
  if (total > TQZString::MaxLength) return nullptr;
  TQZStringBlock* block = AllocateBlock(static_cast<int32_t>(total));
  if (block == nullptr) return nullptr;
  int64_t k = position - 1;
  if (k < 0) k = 0;
  if (k > n) k = n;
  char* out = block->Chars();
  std::memcpy(out, base, static_cast<size_t>(k));
  std::memcpy(out + k, inserted, static_cast<size_t>(m));
  std::memcpy(out + k + m, base + k, static_cast<size_t>(n - k));
  return block;
}

void ReleaseBlock(TQZStringBlock* block) {
  if (block != nullptr && StringOsDecrementCount(&block->Count) == 0) {
    ::operator delete(block);
  }
}

// Takes a counted reference to s's block. While s holds the block, s's own
// reference keeps the count at 1 or more, so the increment gives 2 or more.
// Anything less means s was written on another thread meanwhile, which the
// thread rule of TQZString forbids: the block is then not used and s counts
// as empty. That is a last check, not a protection, since by then the block,
// count included, may already have been freed and reused.
TQZStringBlock* AcquireBlock(const TQZString& s) {
  TQZStringBlock* block = TQZStringAccess::Block(s);
  if (block == nullptr) return nullptr;
  if (StringOsIncrementCount(&block->Count) > 1) return block;
  return nullptr;
}

// An acquired reference, released when the scope ends.
class BlockRef {
 public:
  explicit BlockRef(const TQZString& s) : Block(AcquireBlock(s)) {}
  ~BlockRef() { ReleaseBlock(Block); }
  BlockRef(const BlockRef&) = delete;
  BlockRef& operator=(const BlockRef&) = delete;

  TQZStringBlock* Get() const { return Block; }
  // Hands the reference over to the caller.
  TQZStringBlock* Take() {
    TQZStringBlock* block = Block;
    Block = nullptr;
    return block;
  }

 private:
  TQZStringBlock* Block;
};

inline unsigned char LowerAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

int32_t CompareCaseSensitive(const unsigned char* a, int32_t la,
                             const unsigned char* b, int32_t lb) {
  const int32_t common = la < lb ? la : lb;
  // Equal prefixes are the common case in sorted-list searches: the library's
  // memcmp settles them fastest, and only a difference needs the byte scan.
  if (std::memcmp(a, b, static_cast<size_t>(common)) == 0) return la - lb;
  int32_t i = 0;
  // Whole words first; a differing word is then resolved byte by byte, so the
  // result is the same as the plain byte rule on any byte order.
  for (; i + 4 <= common; i += 4) {
    uint32_t wa;
    uint32_t wb;
    std::memcpy(&wa, a + i, 4);
    std::memcpy(&wb, b + i, 4);
    if (wa != wb) break;
  }
  for (; i < common; ++i) {
    if (a[i] != b[i]) return static_cast<int32_t>(a[i]) - static_cast<int32_t>(b[i]);
  }
  return la - lb;
}

// A machine word, so that 32-bit builds do not split each step in two.
using FoldWord = uintptr_t;

// Folds 'A'..'Z' to lower case in each byte of a word at once; bytes of
// 0x80 and above stay as they are.
inline FoldWord LowerAsciiWord(FoldWord w) {
  const FoldWord ones = ~FoldWord{0} / 0xFF;
  const FoldWord high = ones * 0x80;
  const FoldWord low7 = w & ~high;
  // High bit of a byte set where its low seven bits are >= 'A', and where
  // they are > 'Z'; neither sum carries into the next byte.
  const FoldWord atLeastA = low7 + ones * (0x80 - 'A');
  const FoldWord aboveZ = low7 + ones * (0x80 - 'Z' - 1);
  const FoldWord upper = atLeastA & ~aboveZ & ~w & high;
  return w | (upper >> 2);
}

// Index of the first byte pair that differs after folding, checked a word
// at a time; common when none does.
int32_t FirstFoldedDifference(const unsigned char* a, const unsigned char* b,
                              int32_t common) {
  const int32_t step = static_cast<int32_t>(sizeof(FoldWord));
  int32_t i = 0;
  for (; i + step <= common; i += step) {
    FoldWord wa;
    FoldWord wb;
    std::memcpy(&wa, a + i, sizeof wa);
    std::memcpy(&wb, b + i, sizeof wb);
    if (wa != wb && LowerAsciiWord(wa) != LowerAsciiWord(wb)) break;
  }
  for (; i < common; ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return i;
  }
  return common;
}

int32_t CompareIgnoringCase(const unsigned char* a, int32_t la,
                            const unsigned char* b, int32_t lb) {
  const int32_t common = la < lb ? la : lb;
  const int32_t i = FirstFoldedDifference(a, b, common);
  if (i == common) return la - lb;
  return static_cast<int32_t>(LowerAscii(a[i])) - static_cast<int32_t>(LowerAscii(b[i]));
}

}  // namespace

TQZString::TQZString(const char* text) : Block(nullptr) {
  if (text == nullptr) return;
  const size_t length = std::strlen(text);
  if (length > static_cast<size_t>(MaxLength)) return;
  Block = NewBlock(text, static_cast<int32_t>(length));
}

TQZString::TQZString(const TQZString& other) : Block(AcquireBlock(other)) {}

TQZString::TQZString(TQZString&& other) noexcept
    : Block(StringOsExchangeBlock(&other.Block, nullptr)) {}

TQZString::~TQZString() { Replace(nullptr); }

TQZString& TQZString::operator=(TQZString&& other) noexcept {
  if (&other != this) Replace(StringOsExchangeBlock(&other.Block, nullptr));
  return *this;
}

void TQZString::Replace(TQZStringBlock* block) {
  ReleaseBlock(StringOsExchangeBlock(&Block, block));
}

int32_t TQZString::Length() const { return Block != nullptr ? Block->Length : 0; }

const char* TQZString::Text() const {
  return Block != nullptr ? Block->Chars() : EmptyText;
}

char* TQZString::Data() const { return Block != nullptr ? Block->Chars() : nullptr; }

TQZString& TQZString::Assign(const TQZString& other) {
  if (&other != this) Replace(AcquireBlock(other));
  return *this;
}

TQZString& TQZString::Assign(const char* text) {
  if (text == nullptr) {
    Replace(nullptr);
    return *this;
  }
  const size_t length = std::strlen(text);
  Replace(length > static_cast<size_t>(MaxLength)
              ? nullptr
              : NewBlock(text, static_cast<int32_t>(length)));
  return *this;
}

TQZString& TQZString::Assign(const char* data, int32_t length) {
  Replace(NewBlock(data, length));
  return *this;
}

TQZString& TQZString::Append(const TQZString& other) {
  BlockRef own(*this);
  BlockRef added(other);
  if (added.Get() == nullptr) return *this;
  if (own.Get() == nullptr) {
    Replace(added.Take());
    return *this;
  }
  const int32_t n = own.Get()->Length;
  Replace(SpliceBlock(own.Get()->Chars(), n, static_cast<int64_t>(n) + 1,
                      added.Get()->Chars(), added.Get()->Length));
  return *this;
}

TQZString& TQZString::Append(char c) {
  BlockRef own(*this);
  if (own.Get() == nullptr) {
    Replace(NewBlock(&c, 1));
    return *this;
  }
  const int32_t n = own.Get()->Length;
  Replace(SpliceBlock(own.Get()->Chars(), n, static_cast<int64_t>(n) + 1, &c, 1));
  return *this;
}

TQZString& TQZString::SetLength(int32_t length) {
  BlockRef own(*this);
  TQZStringBlock* old = own.Get();
  // The same length keeps a block that only this string holds (the count is
  // then 2: this string and the reference just taken); a shared one is copied,
  // so that the string may be written through Data() afterwards.
  if (old != nullptr && length == old->Length &&
      StringOsLoadCount(&old->Count) <= 2)
    return *this;
  if (old == nullptr && length < 1) return *this;
  if (length < 1) {
    Replace(nullptr);
    return *this;
  }
  TQZStringBlock* block = AllocateBlock(length);
  if (block != nullptr && old != nullptr) {
    const int32_t kept = old->Length < length ? old->Length : length;
    std::memcpy(block->Chars(), old->Chars(), static_cast<size_t>(kept));
  }
  Replace(block);
  return *this;
}

TQZString& TQZString::Fill(char c, int32_t count) {
  if (count < 1) {
    Replace(nullptr);
    return *this;
  }
  TQZStringBlock* block = AllocateBlock(count);
  if (block == nullptr) throw OutOfMemoryText;
  std::memset(block->Chars(), static_cast<unsigned char>(c), static_cast<size_t>(count));
  Replace(block);
  return *this;
}

TQZString& TQZString::AssignSub(const TQZString& source, int32_t start, int32_t count) {
  if (count < 1) {
    Replace(nullptr);
    return *this;
  }
  BlockRef taken(source);
  TQZStringBlock* from = taken.Get();
  if (from == nullptr) {
    Replace(nullptr);
    return *this;
  }
  const int64_t k = start < 1 ? 0 : static_cast<int64_t>(start) - 1;
  int64_t n = count;
  if (n > from->Length - k) n = from->Length - k;
  if (k == 0 && n == from->Length) {
    Replace(taken.Take());
    return *this;
  }
  TQZStringBlock* block =
      n < 1 ? nullptr : NewBlock(from->Chars() + k, static_cast<int32_t>(n));
  ReleaseBlock(taken.Take());
  Replace(block);
  return *this;
}

TQZString& TQZString::Format(const char* format, ...) {
  char buffer[FormatBufferSize];
  TQZFormatOutput out(buffer, sizeof buffer);
  va_list args;
  va_start(args, format);
  const bool ok = FormatTextV(out, format, args);
  va_end(args);
  int32_t length = 0;
  if (ok) {
    length = out.Count() < FormatBufferSize ? static_cast<int32_t>(out.Count()) : FormatBufferSize;
  }
  Replace(NewBlock(buffer, length));
  return *this;
}

TQZString operator+(const TQZString& a, const TQZString& b) {
  TQZString result(a);
  result.Append(b);
  return result;
}

TQZString operator+(const TQZString& a, char c) {
  TQZString result(a);
  result.Append(c);
  return result;
}

TQZString operator+(char c, const TQZString& b) {
  BlockRef taken(b);
  TQZStringBlock* from = taken.Get();
  if (from == nullptr) return TQZStringAccess::Adopt(NewBlock(&c, 1));
  return TQZStringAccess::Adopt(SpliceBlock(&c, 1, 2, from->Chars(), from->Length));
}

TQZString MakeString(const char* data, int32_t length) {
  return TQZStringAccess::Adopt(NewBlock(data, length));
}

TQZString SubString(const TQZString& s, int32_t start, int32_t count) {
  TQZString result;
  result.AssignSub(s, start, count);
  return result;
}

TQZString RepeatChar(char c, int32_t count) {
  TQZString result;
  result.Fill(c, count);
  return result;
}

int32_t CompareBytes(const char* a, int32_t la, const char* b, int32_t lb,
                     bool caseSensitive) {
  const bool aEmpty = a == nullptr || la < 1;
  const bool bEmpty = b == nullptr || lb < 1;
  if (aEmpty) return bEmpty ? 0 : -1;
  if (bEmpty) return 1;
  if (a == b) return la - lb;
  const unsigned char* ua = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* ub = reinterpret_cast<const unsigned char*>(b);
  return caseSensitive ? CompareCaseSensitive(ua, la, ub, lb)
                       : CompareIgnoringCase(ua, la, ub, lb);
}

bool SameBytes(const char* a, int32_t la, const char* b, int32_t lb,
               bool caseSensitive) {
  const bool aEmpty = a == nullptr || la < 1;
  const bool bEmpty = b == nullptr || lb < 1;
  if (aEmpty) return bEmpty;
  if (bEmpty || la != lb) return false;
  if (a == b) return true;
  if (caseSensitive) return std::memcmp(a, b, static_cast<size_t>(la)) == 0;
  const unsigned char* ua = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* ub = reinterpret_cast<const unsigned char*>(b);
  return FirstFoldedDifference(ua, ub, la) == la;
}

int32_t CompareStrings(const TQZString& a, const TQZString& b, bool caseSensitive) {
  if (&a == &b) return 0;
  BlockRef ra(a);
  BlockRef rb(b);
  if (ra.Get() == nullptr) return rb.Get() == nullptr ? 0 : -1;
  if (rb.Get() == nullptr) return 1;
  if (ra.Get() == rb.Get()) return 0;
  return CompareBytes(ra.Get()->Chars(), ra.Get()->Length, rb.Get()->Chars(),
                      rb.Get()->Length, caseSensitive);
}

bool SameStrings(const TQZString& a, const TQZString& b, bool caseSensitive) {
  if (&a == &b) return true;
  BlockRef ra(a);
  BlockRef rb(b);
  if (ra.Get() == nullptr) return rb.Get() == nullptr;
  if (rb.Get() == nullptr) return false;
  if (ra.Get() == rb.Get()) return true;
  return SameBytes(ra.Get()->Chars(), ra.Get()->Length, rb.Get()->Chars(),
                   rb.Get()->Length, caseSensitive);
}

const char* FindChar(const char* s, char c) {
  if (s == nullptr) return nullptr;
  for (; *s != 0; ++s) {
    if (*s == c) return s;
  }
  return nullptr;
}

int32_t TrimmedMessageLength(const char* text, int32_t length) {
  if (text == nullptr) return 0;
  while (length > 0) {
    const unsigned char last = static_cast<unsigned char>(text[length - 1]);
    if (last != '.' && last > 0x20) break;
    --length;
  }
  return length < 0 ? 0 : length;
}

TQZString SystemErrorText(uint32_t code) {
  char buffer[256];
  const int32_t written = StringOsMessageText(code, buffer, sizeof buffer);
  const int32_t length = written < 0 ? 0 : (written > 256 ? 256 : written);
  return MakeString(buffer, TrimmedMessageLength(buffer, length));
}

void DetectDoubleByteSystem() {
  if (DoubleByteState.load(std::memory_order_acquire) != DoubleByteUnknown) return;
  // Racing first detections ask the same question and store the same answer.
  const int state = StringOsDoubleByteEnabled() ? DoubleByteYes : DoubleByteNo;
  int expected = DoubleByteUnknown;
  DoubleByteState.compare_exchange_strong(expected, state, std::memory_order_acq_rel);
}

void SetDoubleByteSystemFlag(bool value) {
  DoubleByteState.store(value ? DoubleByteYes : DoubleByteNo, std::memory_order_release);
}

void ForgetDoubleByteSystemFlag() {
  DoubleByteState.store(DoubleByteUnknown, std::memory_order_release);
}

bool DoubleByteSystemDetected() {
  return DoubleByteState.load(std::memory_order_acquire) != DoubleByteUnknown;
}

bool IsDoubleByteSystem() {
  DetectDoubleByteSystem();
  return DoubleByteState.load(std::memory_order_acquire) == DoubleByteYes;
}

int ByteKind(const char* s, int32_t pos) {
  if (s == nullptr || pos < 1) return 0;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(s);
  const unsigned char at = bytes[pos - 1];
  if (at == 0) return 0;
  if (pos == 1) return StringOsIsLeadByte(at) ? 1 : 0;
  int32_t run = 0;
  for (int32_t i = pos - 2; i >= 0 && StringOsIsLeadByte(bytes[i]); --i) ++run;
  if (run % 2 == 1) return 2;
  return StringOsIsLeadByte(at) ? 1 : 0;
}

int StringByteKind(const TQZString& s, int32_t pos) {
  if (pos < 1 || pos > s.Length()) return 0;
  // Every lead byte of a double-byte code page is 0x81 or above, so up to
  // the first byte of 0x80 or above all bytes are single, whatever the code
  // page: the system is asked only once such a byte is met.
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(s.Text());
  int32_t i = 0;
  while (i < pos && bytes[i] < 0x80) ++i;
  if (i == pos || !IsDoubleByteSystem()) return 0;
  return ByteKind(s.Text(), pos);
}
