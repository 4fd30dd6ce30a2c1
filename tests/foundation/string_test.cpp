// Tests of the shared string and its free helpers.
#include "foundation/string.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/string_testing.h"
#include "tests/foundation/alloc_counter.h"

#if defined(_WIN32)
#include "foundation/win32.h"
#endif

namespace {

std::string Bytes(const TQZString& s) { return std::string(s.Text(), s.Length()); }

int32_t CountOf(const TQZString& s) { return TQZStringAccess::Block(s)->Count; }

void ExpectEmpty(const TQZString& s) {
  EXPECT_EQ(s.Length(), 0);
  EXPECT_EQ(s.Data(), nullptr);
  EXPECT_EQ(s.BlockAddress(), nullptr);
  ASSERT_NE(s.Text(), nullptr);
  EXPECT_EQ(s.Text()[0], '\0');
}

// A block that lives outside the heap, for states a real heap cannot reach
// cheaply: a count that already dropped to 0, or a length near 2^31 backed
// by a few bytes. Strings holding it must drop it with Detach, never free it.
struct FakeBlock {
  alignas(8) unsigned char Storage[64];

  FakeBlock(int32_t count, int32_t length, const char* text) {
    std::memset(Storage, 0, sizeof Storage);
    Block()->Count = count;
    Block()->Length = length;
    std::memcpy(Block()->Chars(), text, std::strlen(text));
  }
  TQZStringBlock* Block() { return reinterpret_cast<TQZStringBlock*>(Storage); }
  int32_t Count() { return Block()->Count; }
};

class HeldFake {
 public:
  explicit HeldFake(FakeBlock& fake) : S(TQZStringAccess::Adopt(fake.Block())) {}
  ~HeldFake() { (void)TQZStringAccess::Detach(S); }
  TQZString S;
};

// Text that other modules' static initialisers build: this file's statics are
// initialised before the string module's own in the test binary's link order.
struct EarlyStrings {
  std::string Copied;
  std::string Moved;
  std::string Appended;
  EarlyStrings() {
    TQZString a("early");
    TQZString b(a);
    TQZString c(std::move(b));
    TQZString d = c + "!";
    Copied = Bytes(a);
    Moved = Bytes(c) + (b.Length() == 0 ? "|moved-from empty" : "|moved-from kept");
    Appended = Bytes(d);
  }
};
EarlyStrings Early;

TQZString CopyOut(const TQZString& s) {
  TQZString result(s);
  return result;
}

}  // namespace

TEST(TQZStringTest, EmptyFormsHaveNoBlockAndAValidEmptyText) {
  const char* empty = nullptr;
  TQZString full("abc");
  ExpectEmpty(TQZString());
  ExpectEmpty(TQZString(empty));
  ExpectEmpty(TQZString(""));
  ExpectEmpty(MakeString("abc", 0));
  ExpectEmpty(MakeString("abc", -3));
  ExpectEmpty(MakeString(nullptr, 3));
  ExpectEmpty(TQZString(full).Assign(empty));
  ExpectEmpty(TQZString(full).Assign(""));
  ExpectEmpty(TQZString(full).Assign("abc", 0));
  ExpectEmpty(TQZString(full).Assign(nullptr, 2));
  const char* text = TQZString().Text();
  EXPECT_EQ(text, TQZString("x").Assign(empty).Text());
  EXPECT_EQ(text[0], '\0');
}

TEST(TQZStringTest, HoldsNulBytesWithATerminatorAfterTheLastCharacter) {
  TQZString s = '\0' + TQZString("ab");
  ASSERT_EQ(s.Length(), 3);
  EXPECT_EQ(Bytes(s), std::string("\0ab", 3));
  EXPECT_EQ(s.Text()[3], '\0');
  EXPECT_EQ(Bytes(MakeString("a\0b", 3)), std::string("a\0b", 3));
  EXPECT_EQ(TQZString("a\0b").Length(), 1);
  EXPECT_EQ(Bytes(s + '\0'), std::string("\0ab\0", 4));
  EXPECT_EQ(CompareStrings(MakeString("a\0b", 3), MakeString("a\0c", 3), true), -1);
  EXPECT_FALSE(SameStrings(MakeString("a\0b", 3), MakeString("a\0c", 3), false));
  EXPECT_EQ(Bytes(SubString(MakeString("a\0b\0", 4), 2, 3)), std::string("\0b\0", 3));
}

TEST(TQZStringTest, BlocksHoldHeaderCharactersAndTerminatorInMultiplesOfFour) {
  for (int32_t length = 1; length <= 13; ++length) {
    TQZString s;
    size_t size;
    {
      ScopedAllocationCount count;
      s.SetLength(length);
      ASSERT_EQ(count.Stop(), 1);
      size = AllocationCounter::LastSize();
    }
    EXPECT_EQ(size % 4, 0u) << length;
    EXPECT_GE(size, static_cast<size_t>(length) + 9) << length;
    EXPECT_LE(size, static_cast<size_t>(length) + 12) << length;
    const char* start = static_cast<const char*>(s.BlockAddress());
    EXPECT_EQ(s.Data(), start + 8);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(s.Data()) % 8, 0u);
    EXPECT_EQ(CountOf(s), 1);
    EXPECT_EQ(TQZStringAccess::Block(s)->Length, length);
    EXPECT_EQ(s.Text()[length], '\0');
    EXPECT_EQ(start[size - 1], '\0') << length;
  }
}

TEST(TQZStringTest, StringsBuiltDuringStaticInitialisationWork) {
  EXPECT_EQ(Early.Copied, "early");
  EXPECT_EQ(Early.Moved, "early|moved-from empty");
  EXPECT_EQ(Early.Appended, "early!");
}

TEST(TQZStringSharingTest, CopiesAssignmentsAndReturnsShareTheBlockWithoutAllocating) {
  TQZString s("shared");
  ScopedAllocationCount count;
  TQZString copied(s);
  TQZString assigned;
  assigned = s;
  TQZString returned = CopyOut(s);
  TQZString viaAssign;
  viaAssign.Assign(copied);
  TQZString whole;
  whole.AssignSub(s, 1, 6);
  TQZString moved(std::move(returned));
  const int allocations = count.Stop();
  EXPECT_EQ(allocations, 0);
  EXPECT_EQ(copied.BlockAddress(), s.BlockAddress());
  EXPECT_EQ(assigned.BlockAddress(), s.BlockAddress());
  EXPECT_EQ(viaAssign.BlockAddress(), s.BlockAddress());
  EXPECT_EQ(whole.BlockAddress(), s.BlockAddress());
  EXPECT_EQ(moved.BlockAddress(), s.BlockAddress());
  ExpectEmpty(returned);
  EXPECT_EQ(CountOf(s), 6);
}

TEST(TQZStringSharingTest, ChangingACopyLeavesTheOriginalAndCountsStayBalanced) {
  TQZString s("abc");
  {
    TQZString copy(s);
    copy.Append("d");
    EXPECT_EQ(Bytes(s), "abc");
    EXPECT_EQ(Bytes(copy), "abcd");
    EXPECT_NE(copy.BlockAddress(), s.BlockAddress());
    EXPECT_EQ(CountOf(s), 1);
    TQZString other(s);
    other = "xyz";
    EXPECT_EQ(Bytes(s), "abc");
    TQZString third(s);
    EXPECT_EQ(CountOf(s), 2);
  }
  EXPECT_EQ(CountOf(s), 1);
  const void* block = s.BlockAddress();
  // Through an alias, as self-assignment happens in real code.
  TQZString& alias = s;
  s = alias;
  s.Assign(s);
  s = std::move(alias);
  EXPECT_EQ(s.BlockAddress(), block);
  EXPECT_EQ(CountOf(s), 1);
  EXPECT_EQ(Bytes(s), "abc");
}

TEST(TQZStringSharingTest, ABlockWhoseCountReachedZeroCountsAsEmpty) {
  FakeBlock fake(0, 3, "abc");
  HeldFake dying(fake);
  TQZString copied(dying.S);
  ExpectEmpty(copied);
  fake.Block()->Count = 0;
  TQZString assigned("old");
  assigned = dying.S;
  ExpectEmpty(assigned);
  fake.Block()->Count = 0;
  TQZString appended("x");
  appended.Append(dying.S);
  EXPECT_EQ(Bytes(appended), "x");
  fake.Block()->Count = 0;
  EXPECT_EQ(SubString(dying.S, 1, 2).Length(), 0);
  fake.Block()->Count = 0;
  EXPECT_EQ(CompareStrings(TQZString(), dying.S, true), 0);
  fake.Block()->Count = 0;
  EXPECT_TRUE(SameStrings(dying.S, TQZString(), true));
}

TEST(TQZStringAppendTest, AppendAndConcatenationAllocateExactlyOnce) {
  TQZString a("ab");
  TQZString b("cd");
  int allocations[5];
  TQZString results[5];
  for (int i = 0; i < 5; ++i) {
    ScopedAllocationCount count;
    switch (i) {
      case 0: results[i] = TQZString(a).Append(b); break;
      case 1: results[i] = a + b; break;
      case 2: results[i] = a + 'x'; break;
      case 3: results[i] = 'x' + a; break;
      default: results[i] = TQZString(a).Append('y'); break;
    }
    allocations[i] = count.Stop();
  }
  const char* expected[5] = {"abcd", "abcd", "abx", "xab", "aby"};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(allocations[i], 1) << i;
    EXPECT_EQ(Bytes(results[i]), expected[i]) << i;
  }
  EXPECT_EQ(Bytes(a), "ab");
  EXPECT_EQ(CountOf(a), 1);
  EXPECT_EQ(CountOf(b), 1);
}

TEST(TQZStringAppendTest, AppendingToItselfDoublesTheText) {
  TQZString s("ab");
  s.Append(s);
  EXPECT_EQ(Bytes(s), "abab");
  s += s;
  EXPECT_EQ(Bytes(s), "abababab");
  EXPECT_EQ(CountOf(s), 1);
}

TEST(TQZStringAppendTest, EmptyOperandsShareOrBuildOneCharacter) {
  TQZString text("text");
  TQZString empty;
  {
    ScopedAllocationCount count;
    empty.Append(text);
    TQZString kept(text);
    kept.Append(TQZString());
    TQZString sum = TQZString() + text;
    const int allocations = count.Stop();
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(kept.BlockAddress(), text.BlockAddress());
    EXPECT_EQ(sum.BlockAddress(), text.BlockAddress());
  }
  EXPECT_EQ(empty.BlockAddress(), text.BlockAddress());
  EXPECT_EQ(Bytes('q' + TQZString()), "q");
  EXPECT_EQ(Bytes(TQZString() + 'q'), "q");
  EXPECT_EQ(Bytes(TQZString().Append('q')), "q");
  ExpectEmpty(TQZString() + TQZString());
}

TEST(TQZStringAssignSubTest, StartAndCountAreClippedToTheSource) {
  const TQZString s("abcdef");
  EXPECT_EQ(Bytes(SubString(s, 0, 3)), "abc");
  EXPECT_EQ(Bytes(SubString(s, -5, 2)), "ab");
  EXPECT_EQ(Bytes(SubString(s, INT32_MIN, 1)), "a");
  EXPECT_EQ(Bytes(SubString(s, 3, 100)), "cdef");
  EXPECT_EQ(Bytes(SubString(s, 2, INT32_MAX)), "bcdef");
  EXPECT_EQ(Bytes(SubString(s, 6, 1)), "f");
  ExpectEmpty(SubString(s, 7, 1));
  ExpectEmpty(SubString(s, INT32_MAX, INT32_MAX));
  ExpectEmpty(SubString(s, 2, 0));
  ExpectEmpty(SubString(s, 2, -1));
  ExpectEmpty(SubString(TQZString(), 1, 3));
  EXPECT_EQ(SubString(s, 1, 6).BlockAddress(), s.BlockAddress());
  EXPECT_EQ(SubString(s, 0, 99).BlockAddress(), s.BlockAddress());
  TQZString self("abcdef");
  self.AssignSub(self, 2, 3);
  EXPECT_EQ(Bytes(self), "bcd");
  TQZString target("old");
  target.AssignSub(s, 9, 1);
  ExpectEmpty(target);
  EXPECT_EQ(CountOf(s), 1);
}

TEST(TQZStringSetLengthTest, KeepsThePrefixAndTerminatesTheNewLength) {
  const TQZString s("abcdef");
  EXPECT_EQ(Bytes(TQZString(s).SetLength(3)), "abc");
  {
    TQZString same(s);
    same.SetLength(6);
    EXPECT_EQ(Bytes(same), "abcdef");
  }
  ExpectEmpty(TQZString(s).SetLength(0));
  ExpectEmpty(TQZString(s).SetLength(-4));
  TQZString longer(s);
  longer.SetLength(8);
  ASSERT_EQ(longer.Length(), 8);
  EXPECT_EQ(std::string(longer.Text(), 6), "abcdef");
  EXPECT_EQ(longer.Text()[8], '\0');
  TQZString fresh;
  fresh.SetLength(5);
  EXPECT_EQ(fresh.Length(), 5);
  EXPECT_EQ(fresh.Text()[5], '\0');
  TQZString stillEmpty;
  {
    ScopedAllocationCount count;
    stillEmpty.SetLength(0);
    stillEmpty.SetLength(-1);
    EXPECT_EQ(count.Stop(), 0);
  }
  ExpectEmpty(stillEmpty);
  EXPECT_EQ(CountOf(s), 1);
}

TEST(TQZStringSetLengthTest, AChangedLengthGivesABlockWritableInPlace) {
  TQZString s("abcdef");
  TQZString copy(s);
  {
    ScopedAllocationCount count;
    s.SetLength(8);
    EXPECT_EQ(count.Stop(), 1);
  }
  ASSERT_NE(s.BlockAddress(), copy.BlockAddress());
  EXPECT_EQ(CountOf(s), 1);
  s.Data()[6] = 'g';
  s.Data()[7] = 'h';
  EXPECT_EQ(Bytes(s), "abcdefgh");
  EXPECT_EQ(Bytes(copy), "abcdef");
  EXPECT_EQ(CountOf(copy), 1);
}

TEST(TQZStringSetLengthTest, TheSameLengthMakesTheStringTheSoleHolderOfItsBlock) {
  TQZString s("abcdef");
  TQZString copy(s);
  {
    ScopedAllocationCount count;
    s.SetLength(6);
    EXPECT_EQ(count.Stop(), 1) << "a shared block is copied";
  }
  ASSERT_NE(s.BlockAddress(), copy.BlockAddress());
  EXPECT_EQ(CountOf(s), 1);
  EXPECT_EQ(CountOf(copy), 1);
  s.Data()[0] = 'X';
  EXPECT_EQ(Bytes(s), "Xbcdef");
  EXPECT_EQ(Bytes(copy), "abcdef") << "writing through Data() reached a copy";

  const void* const block = s.BlockAddress();
  {
    ScopedAllocationCount count;
    s.SetLength(6);
    EXPECT_EQ(count.Stop(), 0) << "a block held alone is kept";
  }
  EXPECT_EQ(s.BlockAddress(), block);
  EXPECT_EQ(CountOf(s), 1);
}

TEST(TQZStringFillTest, FillsCountCopiesInAFreshBlock) {
  TQZString s("abc");
  {
    ScopedAllocationCount count;
    s.Fill(' ', 0);
    EXPECT_EQ(count.Stop(), 0);
  }
  ExpectEmpty(s);
  ExpectEmpty(TQZString("abc").Fill('x', -2));
  s.Fill('\0', 8);
  EXPECT_EQ(Bytes(s), std::string(8, '\0'));
  EXPECT_EQ(s.Text()[8], '\0');
  EXPECT_EQ(Bytes(RepeatChar('x', 3)), "xxx");
  EXPECT_EQ(Bytes(RepeatChar('\xE4', 2)), "\xE4\xE4");
  ExpectEmpty(RepeatChar('x', 0));
  TQZString shared("zz");
  TQZString copy(shared);
  shared.Fill('y', 2);
  EXPECT_EQ(CountOf(shared), 1);
  shared.Data()[0] = 'w';
  EXPECT_EQ(Bytes(shared), "wy");
  EXPECT_EQ(Bytes(copy), "zz");
}

TEST(TQZStringFillTest, AFailedFillThrowsTheTextAndKeepsTheTarget) {
  TQZString s("keep");
  const void* block = s.BlockAddress();
  const char* thrown = nullptr;
  bool otherException = false;
  {
    ScopedAllocationFailure failure(1);
    try {
      s.Fill('x', 5);
    } catch (const char* text) {
      thrown = text;
    } catch (...) {
      otherException = true;
    }
  }
  ASSERT_NE(thrown, nullptr);
  EXPECT_FALSE(otherException);
  EXPECT_STREQ(thrown, "No enough memory to allocate!");
  EXPECT_EQ(s.BlockAddress(), block);
  EXPECT_EQ(Bytes(s), "keep");

  thrown = nullptr;
  {
    ScopedAllocationFailure failure(1);
    try {
      (void)RepeatChar('x', 3);
    } catch (const char* text) {
      thrown = text;
    } catch (...) {
      otherException = true;
    }
  }
  EXPECT_FALSE(otherException);
  EXPECT_STREQ(thrown, "No enough memory to allocate!");
}

TEST(TQZStringAllocationFailureTest, AFailedAllocationLeavesTheEmptyString) {
  const TQZString a("abc");
  const TQZString b("def");
  for (int op = 0; op < 13; ++op) {
    TQZString s("previous");
    {
      ScopedAllocationFailure failure(1);
      switch (op) {
        case 0: s = TQZString("text"); break;
        case 1: s.Assign("text"); break;
        case 2: s.Assign("text", 4); break;
        case 3: s = MakeString("text", 4); break;
        case 4: s.Append(a); break;
        case 5: s.Append('c'); break;
        case 6: s.SetLength(20); break;
        case 7: s.AssignSub(a, 2, 1); break;
        case 8: s.Format("%d", 42); break;
        case 9: s = a + b; break;
        case 10: s = a + 'x'; break;
        case 11: s = 'x' + a; break;
        default: s = SubString(a, 1, 2); break;
      }
      EXPECT_EQ(AllocationCounter::PendingFailures(), 0) << "no allocation in case " << op;
    }
    ExpectEmpty(s);
  }
  EXPECT_EQ(Bytes(a), "abc");
  EXPECT_EQ(CountOf(a), 1);
}

TEST(TQZStringOversizeTest, LengthsPastTheLimitFailBeforeAnyAllocation) {
  const char small[4] = "abc";
  TQZString s("abc");
  int allocations[4];
  TQZString results[4];
  {
    ScopedAllocationCount count;
    results[0] = TQZString(s).SetLength(INT32_MAX);
    results[1] = TQZString(s).SetLength(TQZString::MaxLength + 1);
    results[2] = MakeString(small, INT32_MAX);
    results[3] = TQZString(s).Assign(small, TQZString::MaxLength + 1);
    allocations[0] = count.Stop();
  }
  EXPECT_EQ(allocations[0], 0);
  for (const TQZString& r : results) ExpectEmpty(r);

  const char* thrown[2] = {nullptr, nullptr};
  TQZString target("keep");
  {
    ScopedAllocationCount count;
    try {
      target.Fill('x', INT32_MAX);
    } catch (const char* text) {
      thrown[0] = text;
    }
    try {
      (void)RepeatChar('x', TQZString::MaxLength + 1);
    } catch (const char* text) {
      thrown[1] = text;
    }
    allocations[1] = count.Stop();
  }
  EXPECT_EQ(allocations[1], 0);
  EXPECT_STREQ(thrown[0], "No enough memory to allocate!");
  EXPECT_STREQ(thrown[1], "No enough memory to allocate!");
  EXPECT_EQ(Bytes(target), "keep");
}

TEST(TQZStringOversizeTest, SumsPastTheLimitFailWithoutWrappingOrAllocating) {
  // Lengths whose sums wrap a 32-bit length to negative or to exactly INT32_MAX.
  FakeBlock nearMax(100, INT32_MAX - 1, "huge");
  FakeBlock atLimit(100, TQZString::MaxLength, "limit");
  HeldFake huge(nearMax);
  HeldFake limit(atLimit);
  const TQZString two("ab");
  TQZString results[7];
  int allocations;
  {
    ScopedAllocationCount count;
    results[0] = TQZString(huge.S).Append(two);
    results[1] = huge.S + two;
    results[2] = huge.S + 'x';
    results[3] = 'x' + huge.S;
    results[4] = TQZString(limit.S).Append('x');
    results[5] = two + limit.S;
    results[6] = TQZString(huge.S).Append(huge.S);
    allocations = count.Stop();
  }
  EXPECT_EQ(allocations, 0);
  for (const TQZString& r : results) ExpectEmpty(r);
  EXPECT_EQ(nearMax.Count(), 100);
  EXPECT_EQ(atLimit.Count(), 100);
  EXPECT_EQ(CountOf(two), 1);
}

TEST(TQZStringOversizeTest, TheLongestLengthAsksForABlockThatFitsInt32) {
  TQZString s("abc");
  size_t size;
  int allocations;
  {
    // The heap is made to refuse, so nothing near 2 GiB is ever taken.
    ScopedAllocationFailure failure(1);
    ScopedAllocationCount count;
    s.SetLength(TQZString::MaxLength);
    allocations = count.Stop();
    size = AllocationCounter::LastSize();
  }
  EXPECT_EQ(allocations, 1);
  EXPECT_LE(size, static_cast<size_t>(INT32_MAX));
  EXPECT_GE(size, static_cast<size_t>(TQZString::MaxLength) + 9);
  ExpectEmpty(s);
}

TEST(TQZStringFormatTest, KeepsExactlyTheFirst4096Characters) {
  for (int length : {1, 4095, 4096, 4097, 10000}) {
    std::string text(static_cast<size_t>(length), 'x');
    for (int i = 0; i < length; ++i) text[i] = static_cast<char>('a' + i % 26);
    TQZString s;
    s.Format("%s", text.c_str());
    const size_t kept = length < 4096 ? static_cast<size_t>(length) : 4096u;
    ASSERT_EQ(static_cast<size_t>(s.Length()), kept) << length;
    EXPECT_EQ(Bytes(s), text.substr(0, kept)) << length;
    EXPECT_EQ(s.Text()[kept], '\0');
  }
}

TEST(TQZStringFormatTest, FormatsArgumentsAndKeepsNulBytes) {
  TQZString s("old");
  s.Format("%s(%d): %s", "install", -5, "denied");
  EXPECT_EQ(Bytes(s), "install(-5): denied");
  s.Format("%lld|%u", 1099511627776LL, 4000000000u);
  EXPECT_EQ(Bytes(s), "1099511627776|4000000000");
  s.Format("%c%c%c", 'a', 0, 'b');
  EXPECT_EQ(Bytes(s), std::string("a\0b", 3));
  s.Format("%s", "");
  ExpectEmpty(s);
}

TEST(TQZStringCompareTest, ComparisonsGiveTheDifferenceOfTheFirstUnequalBytes) {
  struct Case {
    const char* a;
    const char* b;
    bool caseSensitive;
    int32_t expected;
  };
  const Case cases[] = {
      {"abc", "abd", true, -1},   {"abd", "abc", true, 1},   {"ABC", "abc", false, 0},
      {"ABC", "abc", true, -32},  {"ab", "abc", true, -1},   {"ab", "abc", false, -1},
      {"abcde", "ab", true, 3},   {"", "a", true, -1},       {"a", "", false, 1},
      {"", "", true, 0},          {"a", "z", true, -25},     {"a", "B", false, -1},
      {"a", "B", true, 31},       {"\x80", "a", true, 31},   {"\xFF", "\x01", false, 254},
      {"\xC4", "\xE4", false, -32}, {"[", "{", false, -32},  {"@", "`", false, -32},
      {"Z", "z", false, 0},       {"Z", "{", false, -1},     {"abcdEFGH", "ABCDefgz", false, -18},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CompareStrings(c.a, c.b, c.caseSensitive), c.expected)
        << "'" << c.a << "' vs '" << c.b << "' " << c.caseSensitive;
    EXPECT_EQ(CompareBytes(c.a, static_cast<int32_t>(std::strlen(c.a)), c.b,
                           static_cast<int32_t>(std::strlen(c.b)), c.caseSensitive),
              c.expected);
  }
}

TEST(TQZStringCompareTest, EmptyTextsAndSameAddressesFollowTheLengths) {
  const char* text = "abcdef";
  EXPECT_EQ(CompareBytes(nullptr, 5, "a", 1, true), -1);
  EXPECT_EQ(CompareBytes("a", 0, "a", -1, true), 0);
  EXPECT_EQ(CompareBytes("a", 1, nullptr, 3, false), 1);
  EXPECT_EQ(CompareBytes(text, 6, text, 2, true), 4);
  EXPECT_EQ(CompareBytes(text, 2, text, 6, false), -4);
  TQZString s("abc");
  TQZString copy(s);
  EXPECT_EQ(CompareStrings(s, s, true), 0);
  EXPECT_EQ(CompareStrings(s, copy, false), 0);
  EXPECT_EQ(CompareStrings(TQZString(), TQZString(), true), 0);
  EXPECT_EQ(CountOf(s), 2);
}

TEST(TQZStringCompareTest, WordAtATimeComparisonMatchesTheByteRule) {
  const unsigned char pairs[][2] = {{0x00, 0x01}, {0x01, 0x00}, {0x7F, 0x80}, {0x80, 0x7F},
                                    {0xFF, 0x00}, {0x41, 0x61}, {0x80, 0xFF}, {0xFE, 0xFF}};
  char bufferA[32];
  char bufferB[32];
  for (int offset = 0; offset < 4; ++offset) {
    for (int length = 1; length <= 13; ++length) {
      for (int pos = 0; pos < length; ++pos) {
        for (const auto& pair : pairs) {
          char* a = bufferA + offset;
          char* b = bufferB + (3 - offset);
          for (int i = 0; i < length; ++i) a[i] = b[i] = static_cast<char>(0x90 + i * 7);
          a[pos] = static_cast<char>(pair[0]);
          b[pos] = static_cast<char>(pair[1]);
          // Later bytes that differ the other way must not affect the result.
          if (pos + 1 < length) b[pos + 1] = static_cast<char>(a[pos + 1] ^ 0xFF);
          const int32_t expected = static_cast<int32_t>(pair[0]) - static_cast<int32_t>(pair[1]);
          ASSERT_EQ(CompareBytes(a, length, b, length, true), expected)
              << "length " << length << " position " << pos << " offset " << offset;
          ASSERT_EQ(CompareStrings(MakeString(a, length), MakeString(b, length), true), expected);
        }
      }
      for (int i = 0; i <= length; ++i) {
        bufferA[offset + i] = bufferB[offset + i] = static_cast<char>(0xA0 + i);
      }
      EXPECT_EQ(CompareBytes(bufferA + offset, length, bufferB + offset, length + 1, true), -1);
      EXPECT_EQ(CompareBytes(bufferA + offset, length, bufferB + offset, length, true), 0);
    }
  }
}

TEST(TQZStringCompareTest, FoldedComparisonMatchesTheByteRuleForEveryBytePair) {
  const auto fold = [](int c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
  // Positions in the first word, the second word and the byte tail.
  const int length = 19;
  for (int pos : {0, 7, 8, 15, 17}) {
    char a[length];
    char b[length];
    for (int x = 0; x < 256; ++x) {
      for (int y = 0; y < 256; ++y) {
        for (int i = 0; i < length; ++i) {
          a[i] = static_cast<char>('a' + i);
          b[i] = static_cast<char>('A' + i);
        }
        a[pos] = static_cast<char>(x);
        b[pos] = static_cast<char>(y);
        // A later difference must not decide.
        if (pos + 1 < length) b[pos + 1] = '~';
        int expected = fold(x) - fold(y);
        if (expected == 0 && pos + 1 < length) expected = fold(a[pos + 1]) - '~';
        ASSERT_EQ(CompareBytes(a, length, b, length, false), expected)
            << "bytes " << x << ", " << y << " at " << pos;
        ASSERT_EQ(SameBytes(a, length, b, length, false), expected == 0)
            << "bytes " << x << ", " << y << " at " << pos;
      }
    }
  }
}

TEST(TQZStringCompareTest, SameStringsAndSameBytesFoldOnlyAsciiLetters) {
  EXPECT_TRUE(SameStrings("abc", "ABC", false));
  EXPECT_FALSE(SameStrings("abc", "ABC", true));
  EXPECT_FALSE(SameStrings("abc", "abcd", false));
  EXPECT_FALSE(SameStrings("\xC4", "\xE4", false));
  EXPECT_FALSE(SameStrings("[", "{", false));
  EXPECT_TRUE(SameStrings("", TQZString(), true));
  EXPECT_FALSE(SameStrings("", "a", true));
  EXPECT_FALSE(SameStrings("a", "", true));
  TQZString s("x");
  EXPECT_TRUE(SameStrings(s, s, true));
  EXPECT_TRUE(SameStrings(s, TQZString(s), true));
  const char* text = "abc";
  EXPECT_TRUE(SameBytes(text, 3, text, 3, true));
  EXPECT_FALSE(SameBytes(text, 3, text, 2, true));
  EXPECT_TRUE(SameBytes(nullptr, 4, "a", 0, true));
  EXPECT_FALSE(SameBytes(nullptr, 4, "a", 1, true));
  EXPECT_FALSE(SameBytes("a", 1, nullptr, 1, false));
  EXPECT_TRUE(SameBytes("Service\xE4", 8, "sERVICE\xE4", 8, false));
  EXPECT_FALSE(SameBytes("Service\xC4", 8, "sERVICE\xE4", 8, false));
}

TEST(TQZStringFindCharTest, FindsTheFirstOccurrenceButNeverTheTerminator) {
  const char* s = "ab\x95""ca";
  EXPECT_EQ(FindChar(s, 'a'), s);
  EXPECT_EQ(FindChar(s, 'c'), s + 3);
  EXPECT_EQ(FindChar(s, '\x95'), s + 2);
  EXPECT_EQ(FindChar(s, 'z'), nullptr);
  EXPECT_EQ(FindChar(s, '\0'), nullptr);
  EXPECT_EQ(FindChar(nullptr, 'a'), nullptr);
  EXPECT_EQ(FindChar("", 'a'), nullptr);
}

TEST(TQZStringSystemTextTest, TrimsTrailingStopsBlanksAndControlBytes) {
  const char* denied = "Access denied.\r\n";
  EXPECT_EQ(TrimmedMessageLength(denied, 16), 13);
  EXPECT_EQ(TrimmedMessageLength("a. \t.\n", 6), 1);
  EXPECT_EQ(TrimmedMessageLength(". \x01\x20", 4), 0);
  EXPECT_EQ(TrimmedMessageLength(std::string("x\0\0", 3).c_str(), 3), 1);
  EXPECT_EQ(TrimmedMessageLength("x\xA0", 2), 2);
  EXPECT_EQ(TrimmedMessageLength("x\xFF.", 3), 2);
  EXPECT_EQ(TrimmedMessageLength("", 0), 0);
}

#if defined(_WIN32)

namespace {

// What the machine's own FormatMessageA says for code, trimmed.
bool MachineText(uint32_t code, std::string* text) {
  char buffer[1024];
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, buffer, sizeof buffer, nullptr);
  if (n == 0) return false;
  std::string raw(buffer, n);
  while (!raw.empty() && (raw.back() == '.' ||
                          static_cast<unsigned char>(raw.back()) <= 0x20)) {
    raw.pop_back();
  }
  *text = raw;
  return true;
}

}  // namespace

TEST(TQZStringSystemTextTest, MatchesTheSystemsOwnMessageText) {
  // 193's text carries a %1 insert, which must come back as it is.
  for (uint32_t code : {0u, 2u, 5u, 193u, 1060u, 1062u, 1073u}) {
    std::string expected;
    ASSERT_TRUE(MachineText(code, &expected)) << code;
    EXPECT_FALSE(expected.empty()) << code;
    EXPECT_EQ(Bytes(SystemErrorText(code)), expected) << code;
  }
  std::string withInsert;
  ASSERT_TRUE(MachineText(193, &withInsert));
  EXPECT_NE(withInsert.find("%1"), std::string::npos);
}

TEST(TQZStringSystemTextTest, DropsTheFullStopAndLineEndOfTheRawText) {
  char buffer[512];
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, 5, 0, buffer, sizeof buffer, nullptr);
  ASSERT_GE(n, 2u);
  ASSERT_EQ(buffer[n - 1], '\n');
  const TQZString text = SystemErrorText(5);
  ASSERT_GT(text.Length(), 0);
  EXPECT_LT(static_cast<DWORD>(text.Length()), n - 1);
  EXPECT_EQ(std::string(buffer, text.Length()), Bytes(text));
  const char last = text.Text()[text.Length() - 1];
  EXPECT_NE(last, '.');
  EXPECT_GT(static_cast<unsigned char>(last), 0x20);
}

TEST(TQZStringSystemTextTest, AnUnknownCodeGivesTheEmptyString) {
  const uint32_t unknown = 0x2000F00Du;
  std::string machine;
  ASSERT_FALSE(MachineText(unknown, &machine));
  ExpectEmpty(SystemErrorText(unknown));
}

#else

TEST(TQZStringSystemTextTest, MatchesTheCLibraryTextAndIsEmptyForUnknownCodes) {
  for (int code : {ENOENT, EACCES, EEXIST}) {
    const std::string expected = std::strerror(code);
    EXPECT_EQ(Bytes(SystemErrorText(static_cast<uint32_t>(code))), expected);
  }
  ExpectEmpty(SystemErrorText(987654u));
  ExpectEmpty(SystemErrorText(0x80000005u));
}

#endif

namespace {

bool ExpectDoubleByte() {
  const char* value = std::getenv("QZ_EXPECT_DBCS");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

}  // namespace

TEST(TQZStringByteKindTest, OnASingleByteSystemEveryPositionIsSingle) {
  if (ExpectDoubleByte()) GTEST_SKIP() << "double-byte code page requested";
  ASSERT_FALSE(IsDoubleByteSystem());
  const TQZString s("\x95\x5C\\\x81\x40""a\x95");
  for (int32_t pos = -1; pos <= s.Length() + 1; ++pos) {
    EXPECT_EQ(StringByteKind(s, pos), 0) << pos;
    EXPECT_EQ(ByteKind(s.Text(), pos), 0) << pos;
  }
}

TEST(TQZStringByteKindTest, NullTextsAndPositionsOutsideAreSingle) {
  EXPECT_EQ(ByteKind(nullptr, 1), 0);
  EXPECT_EQ(ByteKind("\x95\x5C", 0), 0);
  EXPECT_EQ(ByteKind("\x95\x5C", -7), 0);
  EXPECT_EQ(ByteKind("\x95\x5C", 3), 0);
  EXPECT_EQ(StringByteKind(TQZString(), 1), 0);
  EXPECT_EQ(StringByteKind(TQZString("\x95\x5C"), 3), 0);
}

#if defined(_WIN32)

class TQZStringDoubleByteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ExpectDoubleByte()) GTEST_SKIP() << "needs a double-byte ANSI code page";
    ASSERT_TRUE(IsDoubleByteSystem()) << "double-byte code page not detected at start-up";
  }
};

TEST_F(TQZStringDoubleByteTest, DoubleByteBackslashAfterALeadByteIsTheSecondByte) {
  const TQZString s("\x95\x5C");
  EXPECT_EQ(ByteKind(s.Text(), 1), 1);
  EXPECT_EQ(ByteKind(s.Text(), 2), 2);
  EXPECT_EQ(StringByteKind(s, 1), 1);
  EXPECT_EQ(StringByteKind(s, 2), 2);
  EXPECT_EQ(StringByteKind(s, 3), 0);
}

TEST_F(TQZStringDoubleByteTest, DoubleBytePathKeepsItsRealDelimiters) {
  const TQZString path("C:\\\x95\x5C\\a\x95\x5C");
  const int expected[] = {0, 0, 0, 1, 2, 0, 0, 1, 2};
  ASSERT_EQ(path.Length(), 9);
  for (int32_t pos = 1; pos <= 9; ++pos) {
    EXPECT_EQ(StringByteKind(path, pos), expected[pos - 1]) << pos;
  }
}

#else

namespace {

// Shift-JIS lead bytes.
bool IsShiftJisLead(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

class TQZStringDoubleByteLogicTest : public ::testing::Test {
 protected:
  void TearDown() override { SetDoubleByteSystemForTesting(false, nullptr); }
};

}  // namespace

TEST_F(TQZStringDoubleByteLogicTest, ParityOfTheLeadByteRunDecidesTrailBytes) {
  SetDoubleByteSystemForTesting(true, IsShiftJisLead);
  struct Case {
    const char* text;
    int kinds[6];
  };
  const Case cases[] = {
      {"\x95\x5C", {1, 2}},
      {"a\x95\x5C\\", {0, 1, 2, 0}},
      {"\x95\x95\x5C", {1, 2, 0}},
      {"\x95\x95\x95\x5C", {1, 2, 1, 2}},
      {"\\\x81\x40\x81", {0, 1, 2, 1}},
      {"ab\\c", {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    const TQZString s(c.text);
    for (int32_t pos = 1; pos <= s.Length(); ++pos) {
      EXPECT_EQ(ByteKind(c.text, pos), c.kinds[pos - 1]) << c.text << " @" << pos;
      EXPECT_EQ(StringByteKind(s, pos), c.kinds[pos - 1]) << c.text << " @" << pos;
    }
    EXPECT_EQ(ByteKind(c.text, s.Length() + 1), 0);
  }
}

TEST_F(TQZStringDoubleByteLogicTest, StringByteKindNeedsTheFlagAndAPositionInside) {
  const TQZString s("\x95\x5C");
  SetDoubleByteSystemForTesting(false, IsShiftJisLead);
  EXPECT_EQ(ByteKind(s.Text(), 2), 2);
  EXPECT_EQ(StringByteKind(s, 2), 0);
  SetDoubleByteSystemForTesting(true, IsShiftJisLead);
  EXPECT_EQ(StringByteKind(s, 2), 2);
  EXPECT_EQ(StringByteKind(s, 3), 0);
  EXPECT_EQ(StringByteKind(s + '\0' + s, 3), 0);
  EXPECT_EQ(StringByteKind(s + '\0' + s, 5), 2);
  // Detection has run once already, so a later call keeps the flag as set.
  DetectDoubleByteSystem();
  EXPECT_TRUE(IsDoubleByteSystem());
}

TEST_F(TQZStringDoubleByteLogicTest, SystemIsAskedOnlyOnceAByteOf0x80OrAboveIsMet) {
  ForgetDoubleByteSystemFlag();
  const TQZString path("C:\\plain\\name.exe\x95\\");
  for (int32_t pos = 1; pos <= 17; ++pos) EXPECT_EQ(StringByteKind(path, pos), 0) << pos;
  EXPECT_FALSE(DoubleByteSystemDetected());
  EXPECT_EQ(StringByteKind(path, 19), 0);
  EXPECT_TRUE(DoubleByteSystemDetected());
}

#endif

TEST(TQZStringConcurrencyTest, CopiesOfOneBlockMayChangeOnManyThreadsAtOnce) {
  const TQZString shared("shared across threads");
  const int threadCount = 4;
  const int rounds = 20000;
  std::vector<std::thread> threads;
  std::vector<std::string> seen(threadCount);
  for (int t = 0; t < threadCount; ++t) {
    threads.emplace_back([own = TQZString(shared), &seen, t]() mutable {
      TQZString kept;
      for (int i = 0; i < rounds; ++i) {
        TQZString a(own);
        TQZString b;
        b = a;
        kept = b;
        TQZString c(std::move(b));
        if (i % 64 == 0) c.Append('!');
        own = kept;
        a = TQZString();
      }
      seen[t] = Bytes(kept);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::string& text : seen) EXPECT_EQ(text, "shared across threads");
  EXPECT_EQ(CountOf(shared), 1);
}
