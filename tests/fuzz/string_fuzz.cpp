// Drives TQZString through random operation sequences over a few string slots
// and checks every result, and the shape of every block, against a
// std::string model.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/allocator_interface.h>
#define QZ_FUZZ_ALLOCATION_SIZES 1
#endif
#endif

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "foundation/string.h"
#include "foundation/string_testing.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using qzfuzz::Input;
using qzfuzz::ModelCompare;
using qzfuzz::ModelSame;
using qzfuzz::Quote;

constexpr int SlotCount = 4;
// Keeps one run fast: no slot grows past this.
constexpr size_t MaxText = 8192;
constexpr int32_t FormatLimit = 4096;

struct Block {
  int32_t Count;
  int32_t Length;
};

Block ReadBlock(const void* address) {
  Block b;
  std::memcpy(&b, address, sizeof b);
  return b;
}

std::string Bytes(const TQZString& s) {
  return s.Length() > 0 ? std::string(s.Data(), static_cast<size_t>(s.Length()))
                        : std::string();
}

// Everything a string shows about itself must agree with the model text.
void CheckString(const TQZString& s, const std::string& model, const char* what) {
  const int32_t length = s.Length();
  QZ_FUZZ_CHECK(length == static_cast<int32_t>(model.size()),
                "%s: length %d, expected %s", what, length, Quote(model).c_str());
  const char* text = s.Text();
  QZ_FUZZ_CHECK(text != nullptr, "%s: Text() is null", what);
  QZ_FUZZ_CHECK(text[length] == 0, "%s: no terminator after Length", what);
  QZ_FUZZ_CHECK(std::memcmp(text, model.data(), model.size()) == 0,
                "%s: text %s, expected %s", what,
                Quote(std::string(text, static_cast<size_t>(length))).c_str(),
                Quote(model).c_str());
  if (length == 0) {
    QZ_FUZZ_CHECK(s.Data() == nullptr, "%s: Data() of an empty string", what);
    QZ_FUZZ_CHECK(s.BlockAddress() == nullptr, "%s: empty string holds a block", what);
    return;
  }
  QZ_FUZZ_CHECK(s.Data() == text, "%s: Data() differs from Text()", what);
  const char* block = static_cast<const char*>(s.BlockAddress());
  QZ_FUZZ_CHECK(block != nullptr, "%s: non-empty string without a block", what);
  QZ_FUZZ_CHECK(reinterpret_cast<uintptr_t>(block) % 8 == 0, "%s: block not 8-aligned", what);
  QZ_FUZZ_CHECK(text == block + 8, "%s: characters do not start 8 bytes in", what);
  const Block header = ReadBlock(block);
  QZ_FUZZ_CHECK(header.Length == length, "%s: block length %d, Length() %d", what,
                header.Length, length);
  QZ_FUZZ_CHECK(header.Count >= 1, "%s: block count %d", what, header.Count);
#if defined(QZ_FUZZ_ALLOCATION_SIZES)
  // The allocator knows the exact size each block asked for.
  if (__sanitizer_get_ownership(block)) {
    const size_t size = __sanitizer_get_allocated_size(block);
    const size_t expected = (static_cast<size_t>(length) & ~static_cast<size_t>(3)) + 12;
    QZ_FUZZ_CHECK(size == expected, "%s: block of %zu bytes for length %d, expected %zu",
                  what, size, length, expected);
    QZ_FUZZ_CHECK(block[size - 1] == 0, "%s: last byte of the block is not 0", what);
  }
#endif
}

struct State {
  TQZString S[SlotCount];
  std::string M[SlotCount];
};

// Checks every slot, and that each block's count equals the number of slots
// holding it: nothing else in this program holds a block between operations.
void CheckAll(const State& st) {
  char what[32];
  for (int i = 0; i < SlotCount; ++i) {
    std::snprintf(what, sizeof what, "slot %d", i);
    CheckString(st.S[i], st.M[i], what);
  }
  for (int i = 0; i < SlotCount; ++i) {
    const void* b = st.S[i].BlockAddress();
    if (b == nullptr) continue;
    int holders = 0;
    for (int j = 0; j < SlotCount; ++j) holders += st.S[j].BlockAddress() == b;
    QZ_FUZZ_CHECK(ReadBlock(b).Count == holders, "slot %d: block count %d, %d holders", i,
                  ReadBlock(b).Count, holders);
  }
}

bool HeldElsewhere(const State& st, int slot) {
  const void* b = st.S[slot].BlockAddress();
  for (int j = 0; j < SlotCount; ++j) {
    if (j != slot && b != nullptr && st.S[j].BlockAddress() == b) return true;
  }
  return false;
}

// Starts and counts near the ends of a text of `length` bytes, plus extremes
// that overflow a naive "start - 1" or "start + count".
int32_t PickPosition(Input& in, int32_t length) {
  switch (in.Byte() % 10) {
    case 0: return INT32_MIN;
    case 1: return INT32_MAX;
    case 2: return INT32_MIN + in.Range(0, 2);
    case 3: return INT32_MAX - in.Range(0, 2);
    case 4: return -in.Range(0, 3);
    default: return in.Range(0, length + 3);
  }
}

// A pointer and length into the raw input bytes, a slot's characters (the
// target itself included) or null.
struct Source {
  const char* Ptr;
  int32_t Length;
  std::string Model;
};

Source PickSource(Input& in, const State& st, const std::string& raw) {
  Source src{nullptr, 0, std::string()};
  switch (in.Byte() % 4) {
    case 0:
      src.Length = in.Range(-2, 8);
      return src;
    case 1:
      src.Ptr = raw.data();
      src.Length = in.Range(-2, static_cast<int32_t>(raw.size()));
      break;
    default: {
      const int j = in.Byte() % SlotCount;
      const int32_t length = static_cast<int32_t>(st.M[j].size());
      if (length == 0) return src;
      const int32_t offset = in.Range(0, length - 1);
      src.Ptr = st.S[j].Data() + offset;
      src.Length = in.Range(-2, length - offset);
      break;
    }
  }
  if (src.Length > 0) src.Model.assign(src.Ptr, static_cast<size_t>(src.Length));
  return src;
}

std::string ExpectedFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string ExpectedFormat(const char* format, ...) {
  std::vector<char> buffer(MaxText * 3);
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer.data(), buffer.size(), format, args);
  va_end(args);
  QZ_FUZZ_CHECK(n >= 0 && static_cast<size_t>(n) < buffer.size(), "model format failed");
  return std::string(buffer.data(), static_cast<size_t>(n < FormatLimit ? n : FormatLimit));
}

// Lead bytes of Shift-JIS, the double-byte code page the framework meets.
bool ShiftJisLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

int ModelByteKind(const std::string& s, bool null, int32_t pos, bool (*lead)(unsigned char)) {
  if (null || pos < 1) return 0;
  const unsigned char at = static_cast<unsigned char>(s[static_cast<size_t>(pos - 1)]);
  if (at == 0) return 0;
  const bool atLead = lead != nullptr && lead(at);
  if (pos == 1) return atLead ? 1 : 0;
  int run = 0;
  for (int32_t i = pos - 2; i >= 0 && lead != nullptr &&
                            lead(static_cast<unsigned char>(s[static_cast<size_t>(i)]));
       --i) {
    ++run;
  }
  if (run % 2 == 1) return 2;
  return atLead ? 1 : 0;
}

void ExpectThrowsNoMemory(const char* what, void (*call)(TQZString&, char, int32_t),
                          TQZString& s, char c, int32_t count) {
  bool thrown = false;
  try {
    call(s, c, count);
  } catch (const char* message) {
    thrown = true;
    QZ_FUZZ_CHECK(std::strcmp(message, "No enough memory to allocate!") == 0,
                  "%s(%d): thrown text '%s'", what, count, message);
  }
  QZ_FUZZ_CHECK(thrown, "%s(%d) beyond MaxLength did not throw", what, count);
}

void OpConstruct(Input& in, State& st, int i) {
  const std::string raw = in.Bytes(48);
  const bool null = in.Byte() % 5 == 0;
  const std::string model = null ? std::string() : std::string(raw.c_str());
  TQZString t(null ? nullptr : raw.c_str());
  CheckString(t, model, "constructed from C string");
  st.S[i] = t;
  st.M[i] = model;
}

void OpAssignText(Input& in, State& st, int i) {
  const std::string raw = in.Bytes(48);
  switch (in.Byte() % 4) {
    case 0: {  // C string, from the input or from a slot (the target itself included)
      const int j = in.Byte() % SlotCount;
      const bool fromSlot = in.Bool();
      const char* text = fromSlot ? st.S[j].Text() : raw.c_str();
      const std::string model(text);
      QZ_FUZZ_CHECK(&st.S[i].Assign(text) == &st.S[i], "Assign(C string) result");
      st.M[i] = model;
      break;
    }
    case 1:
      st.S[i].Assign(static_cast<const char*>(nullptr));
      st.M[i].clear();
      break;
    case 2: {
      Source src = PickSource(in, st, raw);
      QZ_FUZZ_CHECK(&st.S[i].Assign(src.Ptr, src.Length) == &st.S[i], "Assign(ptr, n) result");
      st.M[i] = src.Model;
      break;
    }
    default: {
      Source src = PickSource(in, st, raw);
      TQZString t = MakeString(src.Ptr, src.Length);
      CheckString(t, src.Model, "MakeString");
      st.S[i] = t;
      st.M[i] = src.Model;
      break;
    }
  }
}

void SettleMovedFrom(State& st, int j, const std::string& before) {
  if (st.S[j].Length() == 0) {
    st.M[j].clear();
  } else {
    CheckString(st.S[j], before, "moved-from string");
  }
}

void OpShare(Input& in, State& st, int i) {
  const int j = in.Byte() % SlotCount;
  const void* block = st.S[j].BlockAddress();
  switch (in.Byte() % 4) {
    case 0: {
      TQZString t(st.S[j]);
      QZ_FUZZ_CHECK(t.BlockAddress() == block, "copy does not share the block");
      st.S[i] = t;
      break;
    }
    case 1:
      QZ_FUZZ_CHECK(&st.S[i].Assign(st.S[j]) == &st.S[i], "Assign(string) result");
      break;
    case 2:
      st.S[i] = st.S[j];
      break;
    default: {
      // Moving hands the block over; the moved-from string is left empty or
      // with its value, both valid.
      const std::string before = st.M[j];
      if (in.Bool()) {
        TQZString t(std::move(st.S[j]));
        QZ_FUZZ_CHECK(t.BlockAddress() == block, "move construction lost the block");
        SettleMovedFrom(st, j, before);
        st.S[i] = t;
      } else {
        if (i == j) return;  // a self-move leaves a valid but unspecified value
        st.S[i] = std::move(st.S[j]);
        SettleMovedFrom(st, j, before);
      }
      st.M[i] = before;
      QZ_FUZZ_CHECK(st.S[i].BlockAddress() == block, "move lost the block");
      return;
    }
  }
  QZ_FUZZ_CHECK(st.S[i].BlockAddress() == block, "assignment does not share the block");
  st.M[i] = st.M[j];
}

void OpAppend(Input& in, State& st, int i) {
  if (in.Bool()) {
    const int j = in.Byte() % SlotCount;
    if (st.M[i].size() + st.M[j].size() > MaxText) return;
    const void* own = st.S[i].BlockAddress();
    const void* other = st.S[j].BlockAddress();
    const std::string expected = st.M[i] + st.M[j];
    const std::string before = st.M[j];
    if (in.Bool()) {
      QZ_FUZZ_CHECK(&st.S[i].Append(st.S[j]) == &st.S[i], "Append(string) result");
    } else {
      st.S[i] += st.S[j];
    }
    if (st.M[j].empty()) {
      QZ_FUZZ_CHECK(st.S[i].BlockAddress() == own, "appending empty changed the block");
    } else if (st.M[i].empty()) {
      QZ_FUZZ_CHECK(st.S[i].BlockAddress() == other, "appending to empty does not share");
    }
    st.M[i] = expected;
    if (i != j) CheckString(st.S[j], before, "appended source");
  } else {
    if (st.M[i].size() + 1 > MaxText) return;
    const char c = static_cast<char>(in.Byte());
    if (in.Bool()) {
      QZ_FUZZ_CHECK(&st.S[i].Append(c) == &st.S[i], "Append(char) result");
    } else {
      st.S[i] += c;
    }
    st.M[i].push_back(c);
  }
}

void OpSetLength(Input& in, State& st, int i) {
  const int32_t old = static_cast<int32_t>(st.M[i].size());
  const void* block = st.S[i].BlockAddress();
  if (in.Byte() % 16 == 0) {
    const int32_t n = TQZString::MaxLength + in.Range(1, INT32_MAX - TQZString::MaxLength);
    st.S[i].SetLength(n);
    st.M[i].clear();
    return;
  }
  const int32_t n = in.Range(-2, static_cast<int32_t>(
                                     std::min<size_t>(MaxText, st.M[i].size() * 2 + 16)));
  const bool shared = HeldElsewhere(st, i);
  QZ_FUZZ_CHECK(&st.S[i].SetLength(n) == &st.S[i], "SetLength result");
  if (n < 1) {
    st.M[i].clear();
    return;
  }
  // The same length keeps a block held alone and copies a shared one.
  if (n == old) {
    QZ_FUZZ_CHECK((st.S[i].BlockAddress() == block) == !shared,
                  "SetLength to the same length: %s block %s", shared ? "shared" : "sole",
                  shared ? "still shared" : "replaced");
  }
  QZ_FUZZ_CHECK(st.S[i].Length() == n, "SetLength(%d) gave length %d", n, st.S[i].Length());
  QZ_FUZZ_CHECK(!HeldElsewhere(st, i), "SetLength result is shared");
  QZ_FUZZ_CHECK(std::memcmp(st.S[i].Data(), st.M[i].data(),
                            static_cast<size_t>(std::min(old, n))) == 0,
                "SetLength(%d) lost the prefix of %s", n, Quote(st.M[i]).c_str());
  st.M[i].resize(static_cast<size_t>(n));
  // The caller owns the block now and fills what lies past the old length.
  const uint8_t seed = in.Byte();
  char* data = st.S[i].Data();
  for (int32_t k = std::min(old, n); k < n; ++k) {
    data[k] = static_cast<char>(seed + k);
    st.M[i][static_cast<size_t>(k)] = data[k];
  }
}

void OpFill(Input& in, State& st, int i) {
  const char c = static_cast<char>(in.Byte());
  const int mode = in.Byte() % 16;
  if (mode == 0) {
    const int32_t n = TQZString::MaxLength + in.Range(1, INT32_MAX - TQZString::MaxLength);
    if (in.Bool()) {
      ExpectThrowsNoMemory("Fill", [](TQZString& s, char ch, int32_t k) { s.Fill(ch, k); },
                           st.S[i], c, n);
    } else {
      ExpectThrowsNoMemory("RepeatChar",
                           [](TQZString& s, char ch, int32_t k) { s = RepeatChar(ch, k); },
                           st.S[i], c, n);
    }
    return;  // the target keeps its value
  }
  const int32_t n = mode < 4 ? in.Range(-2, static_cast<int32_t>(MaxText)) : in.Range(-2, 40);
  const std::string expected = n < 1 ? std::string() : std::string(static_cast<size_t>(n), c);
  if (in.Bool()) {
    QZ_FUZZ_CHECK(&st.S[i].Fill(c, n) == &st.S[i], "Fill result");
  } else {
    TQZString t = RepeatChar(c, n);
    CheckString(t, expected, "RepeatChar");
    st.S[i] = t;
  }
  st.M[i] = expected;
  if (n < 1) return;
  QZ_FUZZ_CHECK(!HeldElsewhere(st, i), "Fill result is shared");
  CheckString(st.S[i], expected, "filled");
  // A filled string is the sole holder of its block and may be written.
  const int32_t at = in.Range(0, n - 1);
  const char b = static_cast<char>(in.Byte());
  st.S[i].Data()[at] = b;
  st.M[i][static_cast<size_t>(at)] = b;
}

std::string ModelSub(const std::string& src, int32_t start, int32_t count, bool* whole) {
  *whole = false;
  if (count < 1 || src.empty()) return std::string();
  int64_t k = static_cast<int64_t>(start) - 1;
  if (k < 0) k = 0;
  int64_t n = count;
  const int64_t length = static_cast<int64_t>(src.size());
  if (n > length - k) n = length - k;
  if (k == 0 && n == length) {
    *whole = true;
    return src;
  }
  if (n < 1) return std::string();
  return src.substr(static_cast<size_t>(k), static_cast<size_t>(n));
}

void OpSub(Input& in, State& st, int i) {
  const int j = in.Byte() % SlotCount;
  const int32_t length = static_cast<int32_t>(st.M[j].size());
  const int32_t start = PickPosition(in, length);
  const int32_t count = PickPosition(in, length);
  const void* sourceBlock = st.S[j].BlockAddress();
  bool whole = false;
  const std::string expected = ModelSub(st.M[j], start, count, &whole);
  if (in.Bool()) {
    QZ_FUZZ_CHECK(&st.S[i].AssignSub(st.S[j], start, count) == &st.S[i], "AssignSub result");
  } else {
    TQZString t = SubString(st.S[j], start, count);
    CheckString(t, expected, "SubString");
    st.S[i] = t;
  }
  st.M[i] = expected;
  if (whole) {
    QZ_FUZZ_CHECK(st.S[i].BlockAddress() == sourceBlock,
                  "sub-string (%d, %d) of the whole source does not share its block", start,
                  count);
  }
}

void OpFormat(Input& in, State& st, int i) {
  const int j = in.Byte() % SlotCount;
  const int k = in.Byte() % SlotCount;
  // Arguments are read before the target changes: it may be one of them.
  const char* t = st.S[j].Text();
  const char* u = st.S[k].Text();
  const int n = static_cast<int>(in.U32());
  const int width = in.Range(-8, 6000);
  const int precision = in.Range(-2, static_cast<int32_t>(st.M[j].size()) + 2);
  const int c = in.Byte();
  std::string expected;
  switch (in.Byte() % 8) {
    case 0:
      expected = ExpectedFormat("%s", t);
      st.S[i].Format("%s", t);
      break;
    case 1:
      expected = ExpectedFormat("%d-%s", n, t);
      st.S[i].Format("%d-%s", n, t);
      break;
    case 2:
      expected = ExpectedFormat("%.*s", precision, t);
      st.S[i].Format("%.*s", precision, t);
      break;
    case 3:
      expected = ExpectedFormat("%*d", width, n);
      st.S[i].Format("%*d", width, n);
      break;
    case 4:
      expected = ExpectedFormat("%c%s", c, t);
      st.S[i].Format("%c%s", c, t);
      break;
    case 5:
      expected = ExpectedFormat("%s%s", t, u);
      st.S[i].Format("%s%s", t, u);
      break;
    case 6:
      expected = ExpectedFormat("%u%%", static_cast<unsigned>(n));
      st.S[i].Format("%u%%", static_cast<unsigned>(n));
      break;
    default:
      expected = ExpectedFormat("%-*s|", width, t);
      QZ_FUZZ_CHECK(&st.S[i].Format("%-*s|", width, t) == &st.S[i], "Format result");
      break;
  }
  st.M[i] = expected;
}

void OpConcat(Input& in, State& st, int i) {
  const int j = in.Byte() % SlotCount;
  const int k = in.Byte() % SlotCount;
  const char c = static_cast<char>(in.Byte());
  TQZString r;
  std::string expected;
  switch (in.Byte() % 3) {
    case 0:
      if (st.M[j].size() + st.M[k].size() > MaxText) return;
      expected = st.M[j] + st.M[k];
      r = st.S[j] + st.S[k];
      if (st.M[j].empty()) {
        QZ_FUZZ_CHECK(r.BlockAddress() == st.S[k].BlockAddress(),
                      "empty + string does not share the string's block");
      } else if (st.M[k].empty()) {
        QZ_FUZZ_CHECK(r.BlockAddress() == st.S[j].BlockAddress(),
                      "string + empty does not share the string's block");
      }
      break;
    case 1:
      if (st.M[j].size() + 1 > MaxText) return;
      expected = st.M[j] + c;
      r = st.S[j] + c;
      break;
    default:
      if (st.M[j].size() + 1 > MaxText) return;
      expected = c + st.M[j];
      r = c + st.S[j];
      break;
  }
  CheckString(r, expected, "concatenation");
  CheckString(st.S[j], st.M[j], "concatenation operand");
  st.S[i] = r;
  st.M[i] = expected;
}

void OpCompareStrings(Input& in, State& st, int i) {
  const int j = in.Byte() % SlotCount;
  const bool caseSensitive = in.Bool();
  const int32_t expected = ModelCompare(st.M[i], st.M[j], caseSensitive);
  const int32_t got = CompareStrings(st.S[i], st.S[j], caseSensitive);
  QZ_FUZZ_CHECK(got == expected, "CompareStrings(%s, %s, %d) = %d, expected %d",
                Quote(st.M[i]).c_str(), Quote(st.M[j]).c_str(), caseSensitive, got, expected);
  const bool same = SameStrings(st.S[i], st.S[j], caseSensitive);
  QZ_FUZZ_CHECK(same == ModelSame(st.M[i], st.M[j], caseSensitive),
                "SameStrings(%s, %s, %d) = %d", Quote(st.M[i]).c_str(), Quote(st.M[j]).c_str(),
                caseSensitive, same);
  // A copy holding the same block compares equal without looking further.
  const TQZString copy(st.S[i]);
  QZ_FUZZ_CHECK(CompareStrings(copy, st.S[i], caseSensitive) == 0, "copy compares unequal");
  QZ_FUZZ_CHECK(SameStrings(st.S[i], copy, caseSensitive), "copy is not the same");
}

int32_t ModelCompareBytes(const Source& a, const Source& b, bool caseSensitive) {
  const bool aEmpty = a.Ptr == nullptr || a.Length < 1;
  const bool bEmpty = b.Ptr == nullptr || b.Length < 1;
  if (aEmpty) return bEmpty ? 0 : -1;
  if (bEmpty) return 1;
  if (a.Ptr == b.Ptr) return a.Length - b.Length;
  return ModelCompare(a.Model, b.Model, caseSensitive);
}

bool ModelSameBytes(const Source& a, const Source& b, bool caseSensitive) {
  const bool aEmpty = a.Ptr == nullptr || a.Length < 1;
  const bool bEmpty = b.Ptr == nullptr || b.Length < 1;
  if (aEmpty) return bEmpty;
  if (bEmpty || a.Length != b.Length) return false;
  if (a.Ptr == b.Ptr) return true;
  return ModelSame(a.Model, b.Model, caseSensitive);
}

void OpCompareBytes(Input& in, State& st, int) {
  const std::string raw = in.Bytes(48);
  Source a = PickSource(in, st, raw);
  Source b = PickSource(in, st, raw);
  const bool caseSensitive = in.Bool();
  if (in.Byte() % 8 == 0 && a.Ptr != nullptr) {
    // At one address only the lengths decide, so no byte is read and the
    // lengths may exceed the text.
    b.Ptr = a.Ptr;
    a.Length = static_cast<int32_t>(in.U32() & 0x3FFFFFFF) + 1;
    b.Length = static_cast<int32_t>(in.U32() & 0x3FFFFFFF) + 1;
  }
  const int32_t expected = ModelCompareBytes(a, b, caseSensitive);
  const int32_t got = CompareBytes(a.Ptr, a.Length, b.Ptr, b.Length, caseSensitive);
  QZ_FUZZ_CHECK(got == expected, "CompareBytes(%s/%d, %s/%d, same address %d, %d) = %d, expected %d",
                Quote(a.Model).c_str(), a.Length, Quote(b.Model).c_str(), b.Length,
                a.Ptr == b.Ptr, caseSensitive, got, expected);
  const bool same = SameBytes(a.Ptr, a.Length, b.Ptr, b.Length, caseSensitive);
  QZ_FUZZ_CHECK(same == ModelSameBytes(a, b, caseSensitive),
                "SameBytes(%s/%d, %s/%d, %d) = %d", Quote(a.Model).c_str(), a.Length,
                Quote(b.Model).c_str(), b.Length, caseSensitive, same);
}

void OpFindChar(Input& in, State& st, int i) {
  const char c = static_cast<char>(in.Byte());
  if (in.Byte() % 6 == 0) {
    QZ_FUZZ_CHECK(FindChar(nullptr, c) == nullptr, "FindChar(null) is not null");
    return;
  }
  const char* text = st.S[i].Text();
  const size_t visible = std::strlen(text);
  const char* expected = nullptr;
  if (c != 0) {
    for (size_t k = 0; k < visible; ++k) {
      if (text[k] == c) {
        expected = text + k;
        break;
      }
    }
  }
  const char* got = FindChar(text, c);
  QZ_FUZZ_CHECK(got == expected, "FindChar(%s, 0x%02x) at offset %td, expected %td",
                Quote(st.M[i]).c_str(), static_cast<unsigned char>(c),
                got ? got - text : -1, expected ? expected - text : -1);
}

void OpByteKind(Input& in, State& st, int i) {
  const bool enabled = in.Bool();
  const bool withLeadBytes = enabled || in.Bool();
  bool (*lead)(unsigned char) = withLeadBytes ? ShiftJisLead : nullptr;
  SetDoubleByteSystemForTesting(enabled, lead);
  QZ_FUZZ_CHECK(IsDoubleByteSystem() == enabled, "double-byte flag not as set");
  const int32_t length = static_cast<int32_t>(st.M[i].size());
  const int32_t visible = static_cast<int32_t>(std::strlen(st.S[i].Text()));
  // ByteKind reads positions inside the C string or at its terminator.
  const int32_t pos = in.Byte() % 8 == 0 ? -in.Range(0, 3) : in.Range(1, visible + 1);
  const bool null = in.Byte() % 8 == 0;
  const int kind = ByteKind(null ? nullptr : st.S[i].Text(), pos);
  const std::string terminated = st.M[i] + '\0';
  const int expected = ModelByteKind(terminated, null, pos, lead);
  QZ_FUZZ_CHECK(kind == expected, "ByteKind(%s, %d) = %d, expected %d", Quote(st.M[i]).c_str(),
                pos, kind, expected);
  const int32_t spos = in.Range(-2, length + 2);
  const int skind = StringByteKind(st.S[i], spos);
  const int sexpected =
      (!enabled || spos > length) ? 0 : ModelByteKind(terminated, false, spos, lead);
  QZ_FUZZ_CHECK(skind == sexpected, "StringByteKind(%s, %d) = %d, expected %d",
                Quote(st.M[i]).c_str(), spos, skind, sexpected);
  SetDoubleByteSystemForTesting(false, nullptr);
}

void OpSystemErrorText(Input& in, State& st, int i) {
  const uint32_t code = in.Bool() ? in.Byte() : in.U32();
  TQZString text = SystemErrorText(code);
  const std::string bytes = Bytes(text);
  CheckString(text, bytes, "SystemErrorText");
  if (!bytes.empty()) {
    const unsigned char last = static_cast<unsigned char>(bytes.back());
    QZ_FUZZ_CHECK(last != '.' && last > 0x20, "SystemErrorText(%u) ends in 0x%02x", code, last);
  }
  st.S[i] = text;
  st.M[i] = bytes;
}

void OpClear(Input&, State& st, int i) {
  st.S[i] = TQZString();
  st.M[i].clear();
}

using Operation = void (*)(Input&, State&, int);
const Operation Operations[] = {
    OpConstruct, OpAssignText,     OpShare,          OpAppend,    OpSetLength,
    OpFill,      OpSub,            OpFormat,         OpConcat,    OpCompareStrings,
    OpCompareBytes, OpFindChar,    OpByteKind,       OpSystemErrorText, OpClear,
};
constexpr int OperationCount = sizeof Operations / sizeof Operations[0];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  State st;
  while (!in.Exhausted()) {
    const uint8_t op = in.Byte();
    const int slot = in.Byte() % SlotCount;
    Operations[op % OperationCount](in, st, slot);
    CheckAll(st);
  }
  return 0;
}
