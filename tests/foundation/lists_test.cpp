// Tests of the string list, the fixed-record list and the code list.
#include "foundation/lists.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "foundation/sync.h"
#include "tests/foundation/alloc_counter.h"

#ifdef _WIN32
#include "foundation/win32.h"
#else
#include <pthread.h>
#endif

namespace {

std::string Str(const TQZString& s) {
  return std::string(s.Text(), static_cast<size_t>(s.Length()));
}

std::vector<std::string> Items(TQZStringList& list) {
  std::vector<std::string> out;
  for (int32_t i = 0; i < list.Count(); ++i) out.push_back(Str(list.GetString(i)));
  return out;
}

std::vector<uintptr_t> DataWords(TQZStringList& list) {
  std::vector<uintptr_t> out;
  for (int32_t i = 0; i < list.Count(); ++i) out.push_back(list.GetData(i));
  return out;
}

void AddAll(TQZStringList& list, const std::vector<std::string>& keys) {
  uintptr_t data = 0;
  for (const std::string& k : keys) ASSERT_GE(list.Add(k.c_str(), data++), 0);
}

// Counts comparisons and orders by the built-in rule, or throws once the
// allowed number of calls is used up.
struct CompareProbe {
  int Calls = 0;
  int ThrowAfter = -1;
  bool LastCaseSensitive = false;
  uintptr_t LastDataA = 0;
  uintptr_t LastDataB = 0;

  static void Compare(void* context, const TQZString& a, uintptr_t dataA,
                      const TQZString& b, uintptr_t dataB, bool caseSensitive,
                      int32_t& result) {
    CompareProbe* self = static_cast<CompareProbe*>(context);
    if (self->ThrowAfter >= 0 && self->Calls >= self->ThrowAfter) throw 42;
    ++self->Calls;
    self->LastCaseSensitive = caseSensitive;
    self->LastDataA = dataA;
    self->LastDataB = dataB;
    result = CompareStrings(a, b, caseSensitive);
  }

  void Install(TQZStringList& list) {
    list.OnCompare.Function = &CompareProbe::Compare;
    list.OnCompare.Context = this;
  }
};

struct DeletionLog {
  std::vector<std::string> Keys;
  std::vector<uintptr_t> Data;
  bool Throw = false;

  static void Deleted(void* context, const TQZString& s, uintptr_t data) {
    DeletionLog* self = static_cast<DeletionLog*>(context);
    self->Keys.push_back(Str(s));
    self->Data.push_back(data);
    if (self->Throw) throw std::string("observer failed");
  }

  void Install(TQZStringList& list) {
    list.OnDeletion.Function = &DeletionLog::Deleted;
    list.OnDeletion.Context = this;
  }
};

void ExpectLockFree(TQZStringList& list) {
  TQZMRWLockCounters c = list.ListLock()->Counters();
  EXPECT_EQ(c.ActiveReaders, 0);
  EXPECT_EQ(c.WriterState, 0);
  EXPECT_EQ(c.WaitingReaders, 0);
  EXPECT_EQ(c.WaitingWriters, 0);
}

std::string RandomKey(std::mt19937& rng, int alphabet, int maxLength) {
  std::uniform_int_distribution<int> len(1, maxLength);
  std::uniform_int_distribution<int> ch(0, alphabet - 1);
  std::string s(static_cast<size_t>(len(rng)), 'a');
  for (char& c : s) {
    int v = ch(rng);
    c = static_cast<char>(v < 26 ? 'a' + v : 'A' + (v - 26));
  }
  return s;
}

bool CaseSensitiveLess(const std::string& a, const std::string& b) {
  return CompareStrings(a.c_str(), b.c_str(), true) < 0;
}

// Runs body on a thread whose stack is 1 MiB, a Windows thread's default;
// false when no such thread could be started.
bool RunOnOneMiBStack(const std::function<void()>& body) {
  constexpr size_t kStack = 1 << 20;
#ifdef _WIN32
  struct Start {
    static DWORD WINAPI Run(void* context) {
      (*static_cast<const std::function<void()>*>(context))();
      return 0;
    }
  };
  HANDLE thread = CreateThread(nullptr, kStack, &Start::Run,
                               const_cast<std::function<void()>*>(&body),
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) return false;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return true;
#else
  struct Start {
    static void* Run(void* context) {
      (*static_cast<const std::function<void()>*>(context))();
      return nullptr;
    }
  };
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setstacksize(&attributes, kStack);
  pthread_t thread;
  const bool started =
      pthread_create(&thread, &attributes, &Start::Run,
                     const_cast<std::function<void()>*>(&body)) == 0;
  pthread_attr_destroy(&attributes);
  if (started) pthread_join(thread, nullptr);
  return started;
#endif
}

// Keys ascending to the middle, then descending: key(i) = "key" + min(i, n - 1 - i).
std::vector<std::string> OrganPipeKeys(int n) {
  std::vector<std::string> keys;
  char text[32];
  for (int i = 0; i < n; ++i) {
    std::snprintf(text, sizeof text, "key%06d", std::min(i, n - 1 - i));
    keys.push_back(text);
  }
  return keys;
}

// Every item's data word indexes the key it was added with.
void ExpectDataTravelledWithTheirKeys(TQZStringList& list,
                                      const std::vector<std::string>& keys) {
  for (int32_t i = 0; i < list.Count(); ++i) {
    const uintptr_t data = list.GetData(i);
    ASSERT_LT(data, keys.size());
    ASSERT_EQ(Str(list.GetString(i)), keys[data]) << i;
  }
}

// McIlroy's adversary for quicksort: it decides the items' order only as the
// comparisons force it, always so that the pivot candidate ends up among the
// smallest. Items are told apart by their data words.
struct QuicksortAdversary {
  std::vector<int> Value;
  int Gas;
  int Solid = 0;
  uintptr_t Candidate = 0;
  long Calls = 0;

  explicit QuicksortAdversary(int n) : Value(static_cast<size_t>(n), n), Gas(n) {}

  static void Compare(void* context, const TQZString&, uintptr_t x,
                      const TQZString&, uintptr_t y, bool, int32_t& result) {
    QuicksortAdversary* self = static_cast<QuicksortAdversary*>(context);
    ++self->Calls;
    std::vector<int>& v = self->Value;
    if (v[x] == self->Gas && v[y] == self->Gas) {
      v[x == self->Candidate ? x : y] = self->Solid++;
    }
    if (v[x] == self->Gas)
      self->Candidate = x;
    else if (v[y] == self->Gas)
      self->Candidate = y;
    result = v[x] < v[y] ? -1 : (v[x] > v[y] ? 1 : 0);
  }
};

}  // namespace

// Empty list and bounds.

TEST(TQZStringListTest, EmptyListLookupsGiveNothing) {
  TQZStringList list;
  uintptr_t out = 99;
  EXPECT_EQ(list.Find("a", 0, &out, 0), -1);
  EXPECT_EQ(out, 0u);
  EXPECT_EQ(list.GetString(0).Length(), 0);
  EXPECT_EQ(list.GetData(0), 0u);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Capacity(), 0);

  list.Add("x", 7);
  EXPECT_EQ(list.GetString(-1).Length(), 0);
  EXPECT_EQ(list.GetString(1).Length(), 0);
  EXPECT_EQ(list.GetData(-1), 0u);
  EXPECT_EQ(list.GetData(1), 0u);
  EXPECT_EQ(list.GetData(0), 7u);
}

TEST(TQZStringListTest, FindStartIsClippedBelowAndBeyondTheEndFindsNothing) {
  for (bool sorted : {false, true}) {
    TQZStringList list;
    list.SetSorted(sorted);
    AddAll(list, {"a", "b", "c"});
    uintptr_t out = 5;
    EXPECT_EQ(list.Find("c", 0, &out, 3), -1) << sorted;
    EXPECT_EQ(out, 0u);
    EXPECT_EQ(list.Find("c", 0, &out, INT32_MAX), -1) << sorted;
    EXPECT_EQ(list.Find("a", 0, &out, -5), 0) << sorted;
    EXPECT_EQ(list.Find("a", 0, &out, 1), -1) << sorted;
    EXPECT_EQ(list.Find("b", 0, &out, 1), 1) << sorted;
    EXPECT_EQ(out, 1u);
  }
}

TEST(TQZStringListTest, FindWithoutOutWordStillFinds) {
  TQZStringList list;
  list.Add("k", 3);
  EXPECT_EQ(list.Find("k", 0, nullptr, 0), 0);
  EXPECT_EQ(list.Find("K"), 0);
}

// Growth.

TEST(TQZStringListTest, AutomaticGrowthRunsEightSixteenThenQuarterSteps) {
  TQZStringList list;
  std::vector<int32_t> seen;
  for (int i = 0; i < 196; ++i) {
    ASSERT_EQ(list.Add("k"), i);
    if (seen.empty() || seen.back() != list.Capacity())
      seen.push_back(list.Capacity());
    if (i == 10) {
      EXPECT_EQ(list.Capacity(), 16);
    }
  }
  std::vector<int32_t> expected = {8, 16, 32, 48, 64, 80, 100, 125, 156, 195, 243};
  EXPECT_EQ(seen, expected);
}

TEST(TQZStringListTest, PositiveDeltaGrowsByThatMany) {
  TQZStringList list;
  list.Delta = 3;
  for (int i = 0; i < 7; ++i) list.Add("k");
  EXPECT_EQ(list.Capacity(), 9);
}

TEST(TQZStringListTest, FixedCapacityRefusesWhenFull) {
  TQZStringList list;
  list.Delta = -1;
  EXPECT_EQ(list.Add("a"), -3);
  list.SetCapacity(2);
  EXPECT_EQ(list.Add("a"), 0);
  EXPECT_EQ(list.Add("b"), 1);
  EXPECT_EQ(list.Add("c"), -3);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Capacity(), 2);

  // Values below -1 never grow either.
  TQZStringList other;
  other.Delta = -9;
  EXPECT_EQ(other.Add("a"), -3);
}

TEST(TQZStringListTest, SetCapacityShrinksGrowsAndClears) {
  DeletionLog log;
  TQZStringList list;
  log.Install(list);
  AddAll(list, {"a", "b", "c"});

  list.SetCapacity(1);
  EXPECT_EQ(Items(list), std::vector<std::string>({"a"}));
  EXPECT_EQ(list.Capacity(), 1);
  EXPECT_EQ(log.Keys, std::vector<std::string>({"b", "c"}));
  EXPECT_EQ(log.Data, std::vector<uintptr_t>({1, 2}));

  list.SetCapacity(40);
  EXPECT_EQ(list.Capacity(), 40);
  EXPECT_EQ(Items(list), std::vector<std::string>({"a"}));
  EXPECT_EQ(list.GetData(0), 0u);

  // A negative capacity is clamped to zero, which empties the list.
  list.SetCapacity(-4);
  EXPECT_EQ(list.Capacity(), 0);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(log.Keys.back(), "a");
  EXPECT_EQ(list.Add("z"), 0);
}

// Sorted insertion and binary search.

TEST(TQZStringListTest, SortedAddOfEqualKeyInsertsBeforeExistingItems) {
  TQZStringList list;
  list.SetSorted(true);
  list.Add("a", 1);
  list.Add("b", 2);
  list.Add("c", 3);
  EXPECT_EQ(list.Add("b", 4), 1);
  EXPECT_EQ(DataWords(list), std::vector<uintptr_t>({1, 4, 2, 3}));
  uintptr_t out = 0;
  EXPECT_EQ(list.Find("b", 0, &out, 0), 1);
  EXPECT_EQ(out, 4u);
}

TEST(TQZStringListTest, DuplicatesOffRefusesEqualKeyByTheCaseRule) {
  TQZStringList list;
  list.SetSorted(true);
  list.SetDuplicates(false);
  EXPECT_EQ(list.Add("a", 1), 0);
  EXPECT_EQ(list.Add("A", 2), -1);
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(list.GetData(0), 1u);

  list.SetCaseSensitive(true);
  EXPECT_EQ(list.Add("A", 2), 0);
  EXPECT_EQ(Items(list), std::vector<std::string>({"A", "a"}));

  // Existing duplicates are kept when the rule is switched on later.
  TQZStringList dup;
  dup.SetSorted(true);
  AddAll(dup, {"x", "x"});
  dup.SetDuplicates(false);
  EXPECT_EQ(dup.Count(), 2);
  EXPECT_EQ(dup.Add("x"), -1);
}

TEST(TQZStringListTest, CaseRuleDecidesSortOrder) {
  TQZStringList list;
  list.SetSorted(true);
  AddAll(list, {"B", "a", "c"});
  EXPECT_EQ(Items(list), std::vector<std::string>({"a", "B", "c"}));
  list.SetCaseSensitive(true);
  EXPECT_EQ(Items(list), std::vector<std::string>({"B", "a", "c"}));
  EXPECT_TRUE(list.Sorted());
  list.SetCaseSensitive(false);
  EXPECT_EQ(Items(list), std::vector<std::string>({"a", "B", "c"}));
}

TEST(TQZStringListTest, SortedPositionsMatchLowerBoundWithDuplicates) {
  std::mt19937 rng(1234);
  TQZStringList list;
  list.SetSorted(true);
  list.SetCaseSensitive(true);
  std::vector<std::string> model;
  for (int i = 0; i < 600; ++i) {
    std::string key = RandomKey(rng, 5, 2);
    size_t expected = static_cast<size_t>(
        std::lower_bound(model.begin(), model.end(), key, CaseSensitiveLess) -
        model.begin());
    ASSERT_EQ(list.Add(key.c_str(), static_cast<uintptr_t>(i)),
              static_cast<int32_t>(expected))
        << key;
    model.insert(model.begin() + static_cast<std::ptrdiff_t>(expected), key);
  }
  ASSERT_EQ(Items(list), model);
  for (int i = 0; i < 200; ++i) {
    std::string key = RandomKey(rng, 6, 2);
    auto it = std::lower_bound(model.begin(), model.end(), key, CaseSensitiveLess);
    bool present = it != model.end() && *it == key;
    int32_t start = static_cast<int32_t>(rng() % (model.size() + 2));
    auto from = std::lower_bound(model.begin() + std::min<size_t>(start, model.size()),
                                 model.end(), key, CaseSensitiveLess);
    bool presentFrom = from != model.end() && *from == key;
    EXPECT_EQ(list.Find(key.c_str()),
              present ? static_cast<int32_t>(it - model.begin()) : -1)
        << key;
    EXPECT_EQ(list.Find(key.c_str(), 0, nullptr, start),
              presentFrom ? static_cast<int32_t>(from - model.begin()) : -1)
        << key << " from " << start;
  }
}

TEST(TQZStringListTest, SortedWithoutDuplicatesFindsAnEqualItem) {
  std::mt19937 rng(99);
  TQZStringList list;
  list.SetSorted(true);
  list.SetDuplicates(false);
  std::vector<std::string> model;
  for (int i = 0; i < 400; ++i) {
    std::string key = RandomKey(rng, 8, 3);
    bool present = std::find(model.begin(), model.end(), key) != model.end();
    int32_t r = list.Add(key.c_str());
    if (present) {
      EXPECT_EQ(r, -1) << key;
    } else {
      ASSERT_GE(r, 0) << key;
      model.push_back(key);
    }
  }
  std::sort(model.begin(), model.end(), [](const std::string& a, const std::string& b) {
    return CompareStrings(a.c_str(), b.c_str(), false) < 0;
  });
  EXPECT_EQ(Items(list), model);
  for (size_t i = 0; i < model.size(); ++i)
    EXPECT_EQ(list.Find(model[i].c_str()), static_cast<int32_t>(i));
  EXPECT_EQ(list.Find("zzzz"), -1);
  EXPECT_EQ(list.Find(""), -1);
}

TEST(TQZStringListTest, SortedListProbesEndsBeforeBisecting) {
  CompareProbe probe;
  TQZStringList list;
  probe.Install(list);
  list.SetSorted(true);

  EXPECT_EQ(list.Add("m000"), 0);
  EXPECT_EQ(probe.Calls, 0);

  char key[16];
  for (int i = 1; i <= 300; ++i) {
    std::snprintf(key, sizeof key, "m%03d", i);
    probe.Calls = 0;
    ASSERT_EQ(list.Add(key), i);
    EXPECT_LE(probe.Calls, 2) << key;
  }
  for (int i = 1; i <= 300; ++i) {
    std::snprintf(key, sizeof key, "a%03d", 300 - i);
    probe.Calls = 0;
    ASSERT_EQ(list.Add(key), 0);
    EXPECT_LE(probe.Calls, 2) << key;
  }
  // A key in the middle of 601 items costs the two probes and a bisection.
  probe.Calls = 0;
  EXPECT_EQ(list.Find("m150"), 450);
  EXPECT_GE(probe.Calls, 3);
  EXPECT_LE(probe.Calls, 2 + 11);
}

// Order states.

TEST(TQZStringListTest, SortedListSwitchedOffStaysOrderedUntilAnAppend) {
  CompareProbe probe;
  TQZStringList list;
  probe.Install(list);
  list.SetSorted(true);
  list.SetDuplicates(false);
  AddAll(list, {"k", "e", "o", "a", "c", "m", "g", "i", "b", "d", "f", "h",
                "j", "l", "n", "p"});
  list.SetSorted(false);
  EXPECT_FALSE(list.Sorted());
  EXPECT_TRUE(list.Ordered());

  // Still searched by bisection: the last of sixteen items costs the two
  // probes, where a linear search would compare sixteen times.
  probe.Calls = 0;
  EXPECT_EQ(list.Find("p"), 15);
  EXPECT_EQ(probe.Calls, 2);
  probe.Calls = 0;
  list.Remove("p");
  EXPECT_EQ(probe.Calls, 2);
  EXPECT_EQ(list.Count(), 15);
  list.Remove("zz");
  EXPECT_EQ(list.Count(), 15);

  // Appending ends the known order; the smallest key now sits last and only a
  // linear search finds it.
  EXPECT_EQ(list.Add("0", 99), 15);
  EXPECT_FALSE(list.Ordered());
  EXPECT_FALSE(list.Sorted());
  uintptr_t out = 0;
  EXPECT_EQ(list.Find("0", 0, &out, 0), 15);
  EXPECT_EQ(out, 99u);
}

TEST(TQZStringListTest, SwitchingSortedOnSortsOnlyWhenNotOrdered) {
  CompareProbe probe;
  TQZStringList list;
  probe.Install(list);
  AddAll(list, {"c", "a", "b"});
  list.SetSorted(false);  // already off: no change
  EXPECT_FALSE(list.Ordered());
  EXPECT_EQ(probe.Calls, 0);

  list.SetSorted(true);
  EXPECT_TRUE(list.Sorted());
  EXPECT_EQ(Items(list), std::vector<std::string>({"a", "b", "c"}));
  EXPECT_GT(probe.Calls, 0);

  probe.Calls = 0;
  list.SetSorted(true);  // already on: no change
  list.SetSorted(false);
  list.SetSorted(true);  // ordered: sorted again without sorting
  EXPECT_EQ(probe.Calls, 0);
  EXPECT_TRUE(list.Sorted());
}

TEST(TQZStringListTest, CaseChangeEndsOrderOfUnsortedListAndResortsSortedOne) {
  CompareProbe probe;
  TQZStringList list;
  probe.Install(list);
  list.SetSorted(true);
  AddAll(list, {"b", "A", "a", "B"});
  list.SetSorted(false);
  ASSERT_TRUE(list.Ordered());
  probe.Calls = 0;
  list.SetCaseSensitive(true);
  EXPECT_FALSE(list.Ordered());
  EXPECT_FALSE(list.Sorted());
  EXPECT_EQ(probe.Calls, 0);
  // Linear search now: under the new rule the items are out of order, and a
  // bisection would stop at the first item.
  EXPECT_EQ(Items(list), std::vector<std::string>({"a", "A", "B", "b"}));
  EXPECT_EQ(list.Find("B"), 2);
  EXPECT_TRUE(probe.LastCaseSensitive);

  // Unsorted and not ordered: the items stay where they are.
  probe.Calls = 0;
  list.SetCaseSensitive(false);
  EXPECT_EQ(Items(list), std::vector<std::string>({"a", "A", "B", "b"}));
  EXPECT_EQ(probe.Calls, 0);

  list.SetSorted(true);
  list.SetCaseSensitive(true);
  EXPECT_TRUE(list.Sorted());
  EXPECT_EQ(Items(list)[0], "A");
  EXPECT_EQ(Items(list)[1], "B");
  EXPECT_TRUE(probe.LastCaseSensitive);
}

// Removal.

TEST(TQZStringListTest, RemoveDeletesOneMatchingItem) {
  {
    DeletionLog log;
    TQZStringList list;
    log.Install(list);
    AddAll(list, {"x", "y", "x"});
    list.Remove("absent");
    EXPECT_EQ(list.Count(), 3);
    EXPECT_TRUE(log.Keys.empty());
    list.Remove("X");
    EXPECT_EQ(DataWords(list), std::vector<uintptr_t>({1, 2}));
    EXPECT_EQ(log.Data, std::vector<uintptr_t>({0}));
  }
  {
    TQZStringList list;
    list.SetSorted(true);
    AddAll(list, {"b", "a", "b", "c", "b"});
    // Duplicates on: the first of the equal items, the one added last.
    list.Remove("b");
    EXPECT_EQ(DataWords(list), std::vector<uintptr_t>({1, 2, 0, 3}));
    list.Remove("a");
    list.Remove("c");
    EXPECT_EQ(DataWords(list), std::vector<uintptr_t>({2, 0}));
  }
  {
    TQZStringList list;
    list.SetSorted(true);
    AddAll(list, {"b", "b", "b", "a"});
    list.SetDuplicates(false);
    list.Remove("b");
    EXPECT_EQ(Items(list), std::vector<std::string>({"a", "b", "b"}));
  }
}

// Callbacks.

TEST(TQZStringListTest, CompareCallbackSeesDataWordsAndTheCaseFlag) {
  // Orders by data word, descending, ignoring the strings.
  struct ByData {
    static void Compare(void*, const TQZString&, uintptr_t a, const TQZString&,
                        uintptr_t b, bool, int32_t& result) {
      result = a > b ? -1 : (a < b ? 1 : 0);
    }
  };
  TQZStringList list;
  list.OnCompare.Function = &ByData::Compare;
  list.SetSorted(true);
  list.Add("p", 5);
  list.Add("q", 9);
  list.Add("r", 1);
  list.Add("s", 7);
  EXPECT_EQ(Items(list), std::vector<std::string>({"q", "s", "p", "r"}));
  EXPECT_EQ(list.Find("anything", 5, nullptr, 0), 2);
  list.Remove("whatever", 9);
  EXPECT_EQ(Items(list), std::vector<std::string>({"s", "p", "r"}));

  CompareProbe probe;
  TQZStringList other;
  probe.Install(other);
  other.SetCaseSensitive(true);
  other.Add("a", 11);
  other.Find("b", 22, nullptr, 0);
  EXPECT_TRUE(probe.LastCaseSensitive);
  EXPECT_EQ(probe.LastDataA, 22u);
  EXPECT_EQ(probe.LastDataB, 11u);
}

TEST(TQZStringListTest, CompareCallbackThatWritesNothingMeansEqual) {
  struct Silent {
    static void Compare(void*, const TQZString&, uintptr_t, const TQZString&,
                        uintptr_t, bool, int32_t&) {}
  };
  TQZStringList list;
  list.OnCompare.Function = &Silent::Compare;
  list.SetSorted(true);
  list.SetDuplicates(false);
  EXPECT_EQ(list.Add("a"), 0);
  EXPECT_EQ(list.Add("b"), -1);
  EXPECT_EQ(list.Find("zzz"), 0);
}

TEST(TQZStringListTest, ThrowingCompareIsContainedAndReleasesTheLock) {
  CompareProbe probe;
  TQZStringList list(true);
  probe.Install(list);
  list.SetSorted(true);
  AddAll(list, {"a", "c", "e"});
  probe.ThrowAfter = 0;

  EXPECT_EQ(list.Add("b"), -2);
  ExpectLockFree(list);
  EXPECT_EQ(list.Count(), 3);

  uintptr_t out = 77;
  EXPECT_EQ(list.Find("c", 0, &out, 0), -1);
  EXPECT_EQ(out, 0u);
  ExpectLockFree(list);

  list.Remove("c");
  EXPECT_EQ(list.Count(), 3);
  ExpectLockFree(list);

  list.SetCaseSensitive(true);
  ExpectLockFree(list);

  // Unsorted list: the linear search throws as well.
  list.SetSorted(false);
  list.Add("z");
  EXPECT_EQ(list.Find("z"), -1);
  list.Remove("a");
  EXPECT_EQ(list.Count(), 4);
  ExpectLockFree(list);
}

TEST(TQZStringListTest, SortInterruptedByThrowKeepsEveryItem) {
  std::mt19937 rng(7);
  std::vector<std::string> keys;
  for (int i = 0; i < 200; ++i) keys.push_back(RandomKey(rng, 26, 4));
  for (int limit : {0, 1, 5, 50, 400}) {
    CompareProbe probe;
    TQZStringList list(true);
    probe.Install(list);
    AddAll(list, keys);
    probe.ThrowAfter = limit;
    list.SetSorted(true);
    ExpectLockFree(list);
    EXPECT_TRUE(list.Sorted());
    std::vector<std::string> after = Items(list);
    std::vector<uintptr_t> data = DataWords(list);
    for (size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i], keys[data[i]]);
    std::sort(after.begin(), after.end());
    std::vector<std::string> sortedKeys = keys;
    std::sort(sortedKeys.begin(), sortedKeys.end());
    EXPECT_EQ(after, sortedKeys) << limit;
  }
}

TEST(TQZStringListTest, EachDeletionCallbackIsGuardedOnItsOwn) {
  DeletionLog log;
  TQZStringList list(true);
  log.Install(list);
  log.Throw = true;
  AddAll(list, {"a", "b", "c", "d"});
  list.Remove("b");
  EXPECT_EQ(list.Count(), 3);
  ExpectLockFree(list);
  list.Clear();
  EXPECT_EQ(log.Keys, std::vector<std::string>({"b", "a", "c", "d"}));
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Capacity(), 0);
  ExpectLockFree(list);
}

TEST(TQZStringListTest, DestructionTellsDeletionCallbackOfEveryItem) {
  DeletionLog log;
  {
    TQZStringList list(true);
    log.Install(list);
    AddAll(list, {"p", "q"});
  }
  EXPECT_EQ(log.Keys, std::vector<std::string>({"p", "q"}));
}

TEST(TQZStringListTest, InconsistentCompareCannotMakeTheSortLeaveTheArray) {
  struct Liar {
    static void Less(void*, const TQZString&, uintptr_t, const TQZString&,
                     uintptr_t, bool, int32_t& r) {
      r = -1;
    }
    static void Greater(void*, const TQZString&, uintptr_t, const TQZString&,
                        uintptr_t, bool, int32_t& r) {
      r = 1;
    }
    static void Random(void* ctx, const TQZString&, uintptr_t, const TQZString&,
                       uintptr_t, bool, int32_t& r) {
      r = static_cast<int32_t>((*static_cast<std::mt19937*>(ctx))() % 3) - 1;
    }
  };
  std::mt19937 rng(5);
  for (auto fn : {&Liar::Less, &Liar::Greater, &Liar::Random}) {
    TQZStringList list;
    std::vector<std::string> keys;
    for (int i = 0; i < 64; ++i) keys.push_back(std::to_string(i));
    AddAll(list, keys);
    list.OnCompare.Function = fn;
    list.OnCompare.Context = &rng;
    list.SetSorted(true);
    std::vector<uintptr_t> data = DataWords(list);
    std::sort(data.begin(), data.end());
    for (size_t i = 0; i < data.size(); ++i) EXPECT_EQ(data[i], i);
  }
}

// Sorting.

TEST(TQZStringListTest, SortOrdersRandomDataLikeStdSort) {
  std::mt19937 rng(2024);
  for (int size = 0; size <= 300; size += (size < 20 ? 1 : 37)) {
    for (int alphabet : {2, 52}) {
      std::vector<std::string> keys;
      for (int i = 0; i < size; ++i) keys.push_back(RandomKey(rng, alphabet, 3));
      TQZStringList list;
      list.SetCaseSensitive(true);
      AddAll(list, keys);
      list.SetSorted(true);
      std::vector<std::string> expected = keys;
      std::sort(expected.begin(), expected.end(), CaseSensitiveLess);
      ASSERT_EQ(Items(list), expected) << size << "/" << alphabet;
      // Data words travel with their strings.
      for (int32_t i = 0; i < list.Count(); ++i)
        ASSERT_EQ(Str(list.GetString(i)), keys[list.GetData(i)]);
    }
  }
}

TEST(TQZStringListTest, OrganPipeKeysSortOnASmallStack) {
  constexpr int kKeys = 100000;
  const std::vector<std::string> keys = OrganPipeKeys(kKeys);
  TQZStringList list;
  AddAll(list, keys);
  ASSERT_TRUE(RunOnOneMiBStack([&] { list.SetSorted(true); }));
  std::vector<std::string> expected = keys;
  std::sort(expected.begin(), expected.end());
  ASSERT_EQ(Items(list), expected);
  ExpectDataTravelledWithTheirKeys(list, keys);
}

TEST(TQZStringListTest, KeysOfAlternatingCaseResortOnASmallStackWhenTheCaseRuleChanges) {
  constexpr int kKeys = 100000;
  std::vector<std::string> keys;
  char text[32];
  for (int i = 0; i < kKeys; ++i) {
    std::snprintf(text, sizeof text, "%s%06d", i % 2 == 0 ? "Key" : "key", i / 2);
    keys.push_back(text);
  }
  TQZStringList list;
  AddAll(list, keys);
  ASSERT_TRUE(RunOnOneMiBStack([&] {
    list.SetCaseSensitive(true);
    list.SetSorted(true);
  }));
  // ASCII keys: the case-sensitive rule is std::string's byte order.
  std::vector<std::string> expected = keys;
  std::sort(expected.begin(), expected.end());
  ASSERT_EQ(Items(list), expected);

  ASSERT_TRUE(RunOnOneMiBStack([&] { list.SetCaseSensitive(false); }));
  const std::vector<std::string> items = Items(list);
  for (size_t i = 1; i < items.size(); ++i) {
    const std::string& a = items[i - 1];
    const std::string& b = items[i];
    ASSERT_LE(CompareBytes(a.data(), static_cast<int32_t>(a.size()), b.data(),
                           static_cast<int32_t>(b.size()), false),
              0)
        << i;
  }
  ExpectDataTravelledWithTheirKeys(list, keys);
  std::vector<uintptr_t> data = DataWords(list);
  std::sort(data.begin(), data.end());
  for (size_t i = 0; i < data.size(); ++i) ASSERT_EQ(data[i], i);
}

TEST(TQZStringListTest, SortCostsAtMostNLogNComparisonsAgainstAQuicksortAdversary) {
  for (int n : {17, 129, 1000, 20000}) {
    SCOPED_TRACE(n);
    QuicksortAdversary adversary(n);
    TQZStringList list;
    for (int i = 0; i < n; ++i) ASSERT_EQ(list.Add("same", static_cast<uintptr_t>(i)), i);
    list.OnCompare.Function = &QuicksortAdversary::Compare;
    list.OnCompare.Context = &adversary;
    list.SetSorted(true);
    // A quadratic sort needs about n * n / 4 here.
    EXPECT_LT(adversary.Calls, static_cast<long>(6 * n * std::log2(n)));
    // The order the adversary settled on is the one the list ends in.
    for (int32_t i = 1; i < list.Count(); ++i)
      ASSERT_LE(adversary.Value[list.GetData(i - 1)], adversary.Value[list.GetData(i)]);
  }
}

TEST(TQZStringListTest, CaseInsensitiveSortIsAnOrderingOfTheSameItems) {
  std::mt19937 rng(31);
  std::vector<std::string> keys;
  for (int i = 0; i < 500; ++i) keys.push_back(RandomKey(rng, 52, 2));
  TQZStringList list;
  AddAll(list, keys);
  list.SetSorted(true);
  std::vector<std::string> items = Items(list);
  for (size_t i = 1; i < items.size(); ++i)
    ASSERT_LE(CompareStrings(items[i - 1].c_str(), items[i].c_str(), false), 0);
  std::sort(items.begin(), items.end());
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(items, keys);
}

// Assignment.

TEST(TQZStringListTest, AssignListCopiesItemsSettingsAndCompareButNotDeletion) {
  CompareProbe probe;
  DeletionLog sourceLog;
  TQZStringList source(true);
  probe.Install(source);
  sourceLog.Install(source);
  source.Delta = 7;
  source.SetCaseSensitive(true);
  source.SetSorted(true);
  source.SetDuplicates(false);
  AddAll(source, {"b", "a", "c"});

  DeletionLog targetLog;
  TQZStringList target(true);
  targetLog.Install(target);
  AddAll(target, {"old1", "old2"});

  target.AssignList(source);
  EXPECT_EQ(targetLog.Keys, std::vector<std::string>({"old1", "old2"}));
  EXPECT_EQ(Items(target), std::vector<std::string>({"a", "b", "c"}));
  EXPECT_EQ(DataWords(target), DataWords(source));
  for (int32_t i = 0; i < target.Count(); ++i)
    EXPECT_EQ(target.GetString(i).BlockAddress(), source.GetString(i).BlockAddress());
  EXPECT_EQ(target.Capacity(), source.Capacity());
  EXPECT_EQ(target.Delta, 7);
  EXPECT_TRUE(target.Sorted());
  EXPECT_FALSE(target.Duplicates());
  EXPECT_TRUE(target.CaseSensitive());
  EXPECT_EQ(target.Ordered(), source.Ordered());
  EXPECT_EQ(target.OnCompare.Function, source.OnCompare.Function);
  EXPECT_EQ(target.OnCompare.Context, source.OnCompare.Context);
  EXPECT_EQ(target.OnDeletion.Function, nullptr);
  EXPECT_EQ(target.OnDeletion.Context, nullptr);
  EXPECT_NE(target.ListLock(), source.ListLock());
  ExpectLockFree(source);
  ExpectLockFree(target);

  // The copy is independent: clearing it leaves the source alone and tells
  // nobody, since its deletion callback was cleared.
  target.Clear();
  EXPECT_EQ(source.Count(), 3);
  EXPECT_TRUE(sourceLog.Keys.empty());
  EXPECT_EQ(targetLog.Keys.size(), 2u);
}

TEST(TQZStringListTest, AssignListFromUnsortedOrderedListKeepsThatState) {
  TQZStringList source;
  source.SetSorted(true);
  AddAll(source, {"b", "a"});
  source.SetSorted(false);
  TQZStringList target;
  target.SetSorted(true);
  target.AssignList(source);
  EXPECT_FALSE(target.Sorted());
  EXPECT_TRUE(target.Ordered());

  TQZStringList empty;
  target.AssignList(empty);
  EXPECT_EQ(target.Count(), 0);
  EXPECT_EQ(target.Capacity(), 0);
  EXPECT_FALSE(target.Ordered());
}

TEST(TQZStringListTest, AssignListFromItselfDoesNothing) {
  DeletionLog log;
  TQZStringList list;
  log.Install(list);
  AddAll(list, {"a", "b"});
  list.AssignList(list);
  EXPECT_EQ(Items(list), std::vector<std::string>({"a", "b"}));
  EXPECT_TRUE(log.Keys.empty());
  EXPECT_EQ(list.OnDeletion.Function, &DeletionLog::Deleted);
}

// Data word.

TEST(TQZStringListTest, DataWordHoldsAFullPointerValue) {
  static_assert(sizeof(uintptr_t) == sizeof(void*), "data word is pointer wide");
#if UINTPTR_MAX > 0xFFFFFFFFu
  const uintptr_t high = static_cast<uintptr_t>(0xFEDCBA9876543210ull);
#else
  const uintptr_t high = 0xFEDCBA98u;
#endif
  int object = 0;
  TQZStringList list;
  list.SetSorted(true);
  list.Add("high", high);
  list.Add("ptr", reinterpret_cast<uintptr_t>(&object));
  uintptr_t out = 0;
  EXPECT_EQ(list.Find("high", 0, &out, 0), 0);
  EXPECT_EQ(out, high);
  EXPECT_EQ(list.GetData(0), high);
  EXPECT_EQ(reinterpret_cast<int*>(list.GetData(1)), &object);
}

TEST(TQZStringListTest, ItemsShareTheKeysBlock) {
  TQZString key("shared text");
  TQZStringList list;
  list.Add(key);
  EXPECT_EQ(list.GetString(0).BlockAddress(), key.BlockAddress());
}

// Thread safety.

TEST(TQZStringListTest, ThreadSafeListServesReadersWhileAWriterAdds) {
  TQZStringList list(true);
  list.SetSorted(true);
  for (int i = 0; i < 50; ++i) list.Add(("base" + std::to_string(i)).c_str(), i);

  std::atomic<bool> done(false);
  std::atomic<int> failures(0);
  auto reader = [&] {
    for (int round = 0; round < 400 || !done.load(); ++round) {
      int k = round % 50;
      uintptr_t out = 0;
      int32_t i = list.Find(("base" + std::to_string(k)).c_str(), 0, &out, 0);
      if (i < 0 || out != static_cast<uintptr_t>(k)) ++failures;
      if (i >= 0 && list.GetString(i).Length() == 0) ++failures;
      if (round > 100000) break;
    }
  };
  std::thread r1(reader), r2(reader), r3(reader);
  for (int i = 0; i < 600; ++i) {
    if (list.Add(("new" + std::to_string(i)).c_str(), 1000 + i) < 0) ++failures;
    if (i % 50 == 0) list.Remove(("new" + std::to_string(i / 2)).c_str());
  }
  done = true;
  r1.join();
  r2.join();
  r3.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(list.Count(), 50 + 600 - 12);
  ExpectLockFree(list);
}

// Record list.

namespace {

struct Pair {
  int32_t Key;
  int32_t Payload;
};

class PairList : public TQZRecordList {
 public:
  explicit PairList(bool threadSafe = false, int32_t size = sizeof(Pair))
      : TQZRecordList(size, threadSafe) {}
  ~PairList() override { Clear(); }

  int32_t CompareRecords(const void* a, const void* b) override {
    int32_t x = static_cast<const Pair*>(a)->Key;
    int32_t y = static_cast<const Pair*>(b)->Key;
    ++Compares;
    if (ThrowAfter >= 0 && Compares > ThrowAfter) throw 1;
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  void FreeRecord(void* record) override {
    Freed.push_back(static_cast<Pair*>(record)->Payload);
  }

  int32_t Insert(int32_t index, const Pair* p) { return InsertAt(index, p); }
  int32_t Append(int32_t key, int32_t payload) {
    Pair p = {key, payload};
    return InsertAt(Count(), &p);
  }
  bool Search(int32_t key, int32_t& position) {
    Pair p = {key, 0};
    return BinarySearch(&p, 0, Count() - 1, position);
  }
  const Pair& At(int32_t i) const { return *static_cast<const Pair*>(RecordAt(i)); }
  std::vector<int32_t> Keys() const {
    std::vector<int32_t> out;
    for (int32_t i = 0; i < Count(); ++i) out.push_back(At(i).Key);
    return out;
  }

  int Compares = 0;
  int ThrowAfter = -1;
  std::vector<int32_t> Freed;
};

}  // namespace

TEST(TQZRecordListTest, InsertionChecksIndexZeroFillsAndEndsOrder) {
  PairList list;
  EXPECT_EQ(list.RecordSize(), static_cast<int32_t>(sizeof(Pair)));
  EXPECT_EQ(list.Append(1, 10), 0);
  Pair p = {2, 20};
  EXPECT_EQ(list.Insert(-1, &p), -2);
  EXPECT_EQ(list.Insert(2, &p), -2);
  EXPECT_EQ(list.Insert(0, &p), 0);
  EXPECT_EQ(list.Insert(1, nullptr), 1);
  EXPECT_EQ(list.Keys(), std::vector<int32_t>({2, 0, 1}));
  EXPECT_EQ(list.At(1).Payload, 0);
  EXPECT_EQ(list.RecordAt(3), nullptr);
  EXPECT_EQ(list.RecordAt(-1), nullptr);

  list.SetSorted(true);
  list.SetSorted(false);
  EXPECT_TRUE(list.Ordered());
  list.Append(-5, 0);
  EXPECT_FALSE(list.Ordered());
}

TEST(TQZRecordListTest, RecordSizeOfZeroOrLessBecomesFour) {
  PairList zero(false, 0);
  PairList negative(false, -3);
  EXPECT_EQ(zero.RecordSize(), 4);
  EXPECT_EQ(negative.RecordSize(), 4);
  EXPECT_EQ(zero.MaxCapacity(), 0x20000000 / 4);
}

TEST(TQZRecordListTest, ListAtItsLimitRefusesWithMinusThree) {
  // A record so large that no record fits under the byte limit.
  PairList huge(false, 0x7FFFFFFF);
  EXPECT_EQ(huge.MaxCapacity(), 0);
  EXPECT_EQ(huge.Insert(0, nullptr), -3);
  huge.SetCapacity(5);
  EXPECT_EQ(huge.Capacity(), 0);
  EXPECT_EQ(huge.Count(), 0);
}

TEST(TQZRecordListTest, GrowthShrinkAndClearReleaseRecords) {
  PairList list;
  std::vector<int32_t> seen;
  for (int i = 0; i < 81; ++i) {
    list.Append(i, i);
    if (seen.empty() || seen.back() != list.Capacity()) seen.push_back(list.Capacity());
  }
  EXPECT_EQ(seen, std::vector<int32_t>({8, 16, 32, 48, 64, 80, 100}));
  list.SetCapacity(3);
  EXPECT_EQ(list.Capacity(), 3);
  EXPECT_EQ(list.Keys(), std::vector<int32_t>({0, 1, 2}));
  EXPECT_EQ(list.Freed.size(), 78u);
  EXPECT_EQ(list.Freed.front(), 3);
  EXPECT_EQ(list.Freed.back(), 80);
  list.Freed.clear();
  list.Clear();
  EXPECT_EQ(list.Freed, std::vector<int32_t>({0, 1, 2}));
  EXPECT_EQ(list.Capacity(), 0);

  list.Delta = -1;
  EXPECT_EQ(list.Append(1, 1), -3);
}

TEST(TQZRecordListTest, BinarySearchFindsFirstEqualOrAnEqualRecord) {
  PairList list;
  list.SetSorted(true);
  for (int32_t k : {1, 3, 3, 3, 5, 7, 7}) list.Append(k, 0);
  int32_t pos = -9;
  EXPECT_TRUE(list.Search(3, pos));
  EXPECT_EQ(pos, 1);
  EXPECT_TRUE(list.Search(7, pos));
  EXPECT_EQ(pos, 5);
  EXPECT_FALSE(list.Search(4, pos));
  EXPECT_EQ(pos, 4);
  EXPECT_FALSE(list.Search(0, pos));
  EXPECT_EQ(pos, 0);
  EXPECT_FALSE(list.Search(9, pos));
  EXPECT_EQ(pos, 7);
  list.SetDuplicates(false);
  EXPECT_TRUE(list.Search(3, pos));
  EXPECT_EQ(list.At(pos).Key, 3);
  EXPECT_TRUE(list.Search(7, pos));
  EXPECT_EQ(list.At(pos).Key, 7);
}

TEST(TQZRecordListTest, SortOrdersRandomRecordsLikeStdSort) {
  std::mt19937 rng(77);
  for (int size : {0, 1, 2, 3, 10, 33, 257, 1000}) {
    PairList list;
    std::vector<int32_t> keys;
    for (int i = 0; i < size; ++i) {
      int32_t k = static_cast<int32_t>(rng() % 50) - 25;
      keys.push_back(k);
      list.Append(k, i);
    }
    list.SetSorted(true);
    std::sort(keys.begin(), keys.end());
    ASSERT_EQ(list.Keys(), keys) << size;
    std::vector<int32_t> payloads;
    for (int32_t i = 0; i < list.Count(); ++i) payloads.push_back(list.At(i).Payload);
    std::sort(payloads.begin(), payloads.end());
    for (int i = 0; i < size; ++i) ASSERT_EQ(payloads[static_cast<size_t>(i)], i);
  }
}

TEST(TQZRecordListTest, OrganPipeRecordsSortOnASmallStack) {
  constexpr int32_t kRecords = 100000;
  PairList list;
  for (int32_t i = 0; i < kRecords; ++i) list.Append(std::min(i, kRecords - 1 - i), i);
  ASSERT_TRUE(RunOnOneMiBStack([&] { list.SetSorted(true); }));
  for (int32_t i = 0; i < kRecords; ++i) {
    ASSERT_EQ(list.At(i).Key, i / 2);
    // The payload names the record's first index, whose key it still carries.
    const int32_t from = list.At(i).Payload;
    ASSERT_EQ(std::min(from, kRecords - 1 - from), list.At(i).Key);
  }
  EXPECT_LT(list.Compares, 40 * kRecords);
}

TEST(TQZRecordListTest, ThrowingCompareDuringSortKeepsRecordsAndReleasesLock) {
  PairList list(true);
  for (int i = 0; i < 100; ++i) list.Append(100 - i, i);
  list.ThrowAfter = 30;
  list.SetSorted(true);
  EXPECT_TRUE(list.Sorted());
  TQZMRWLockCounters c = list.ListLock()->Counters();
  EXPECT_EQ(c.WriterState, 0);
  EXPECT_EQ(c.ActiveReaders, 0);
  std::vector<int32_t> keys = list.Keys();
  std::sort(keys.begin(), keys.end());
  for (int i = 0; i < 100; ++i) EXPECT_EQ(keys[static_cast<size_t>(i)], i + 1);
}

// Code list.

TEST(TQZCodeListTest, CodesStandInSignedOrder) {
  TQZCodeList list;
  EXPECT_TRUE(list.Sorted());
  EXPECT_FALSE(list.Duplicates());
  EXPECT_EQ(list.Add(5, "five"), 0);
  EXPECT_EQ(list.Add(-1, "minus one"), 0);
  EXPECT_EQ(list.Add(0, "zero"), 1);
  EXPECT_EQ(list.Add(INT32_MIN, "min"), 0);
  EXPECT_EQ(list.Add(INT32_MAX, "max"), 4);
  std::vector<int32_t> codes;
  for (int32_t i = 0; i < list.Count(); ++i) codes.push_back(list.CodeAt(i));
  EXPECT_EQ(codes, std::vector<int32_t>({INT32_MIN, -1, 0, 5, INT32_MAX}));
  EXPECT_EQ(list.IndexOfCode(5), 3);
  EXPECT_EQ(list.IndexOfCode(4), -1);
  EXPECT_EQ(Str(list.GetText(INT32_MIN)), "min");
  EXPECT_EQ(Str(list.GetText(INT32_MAX)), "max");
  EXPECT_EQ(Str(list.GetText(-1)), "minus one");
  EXPECT_EQ(list.CodeAt(5), 0);
}

TEST(TQZCodeListTest, DuplicateCodeIsRefusedAndKeepsTheFirstText) {
  TQZCodeList list;
  EXPECT_EQ(list.Add(5, "x"), 0);
  EXPECT_EQ(list.Add(5, "y"), -1);
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(Str(list.GetText(5)), "x");
  EXPECT_EQ(list.GetText(6).Length(), 0);
  TQZCodeList empty;
  EXPECT_EQ(empty.GetText(0).Length(), 0);
  EXPECT_EQ(empty.IndexOfCode(0), -1);
}

TEST(TQZCodeListTest, TextsAreSharedAndReleasedByClearAndShrink) {
  TQZString text("description");
  TQZCodeList list;
  for (int32_t code = 0; code < 20; ++code) list.Add(code, text);
  EXPECT_EQ(list.GetText(7).BlockAddress(), text.BlockAddress());
  list.SetCapacity(4);
  EXPECT_EQ(list.Count(), 4);
  EXPECT_EQ(list.GetText(10).Length(), 0);
  EXPECT_EQ(Str(list.GetText(3)), "description");
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Add(1, "again"), 0);
  list.Delta = -1;
  list.SetCapacity(1);
  EXPECT_EQ(list.Add(2, "full"), -3);
  EXPECT_EQ(list.GetText(2).Length(), 0);
}

TEST(TQZCodeListTest, ThreadSafeCodeListServesReadersWhileAWriterAdds) {
  TQZCodeList list(true);
  for (int32_t code = 0; code < 100; code += 2) list.Add(code, "even");
  std::atomic<bool> done(false);
  std::atomic<int> failures(0);
  auto reader = [&] {
    for (int round = 0; round < 300 || !done.load(); ++round) {
      int32_t code = (round % 50) * 2;
      if (Str(list.GetText(code)) != "even") ++failures;
      if (round > 100000) break;
    }
  };
  std::thread r1(reader), r2(reader);
  for (int32_t code = 1; code < 1000; code += 2)
    if (list.Add(code, "odd") < 0) ++failures;
  done = true;
  r1.join();
  r2.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(list.Count(), 50 + 500);
  EXPECT_EQ(Str(list.GetText(999)), "odd");
}

TEST(TQZCodeListTest, EveryReadOfAThreadSafeCodeListIsLockedAgainstAWriter) {
  // A reader that walked the array unlocked would read it while Add moves it
  // to a bigger one: AddressSanitizer and ThreadSanitizer see that.
  TQZCodeList list(true);
  list.Add(-1, "first");
  std::atomic<bool> done(false);
  std::atomic<int> failures(0);
  std::thread reader([&] {
    for (int round = 0; !done.load() || round < 200; ++round) {
      if (list.IndexOfCode(-1) != 0) ++failures;
      if (list.CodeAt(0) != -1) ++failures;
      const int32_t count = list.Count();
      if (count < 1 || count > list.Capacity()) ++failures;
      if (!list.Sorted() || list.Duplicates() || list.Ordered()) ++failures;
      // Codes arrive in ascending order, so each one keeps its index.
      const int32_t code = round % 2000;
      const int32_t index = list.IndexOfCode(code);
      if (index >= 0 && index != code + 1) ++failures;
      if (round > 1000000) break;
    }
  });
  for (int32_t code = 0; code < 2000; ++code) {
    if (list.Add(code, "code") < 0) ++failures;
    // A new array at every step, so that an unlocked reader meets a freed one.
    for (int k = 0; k < 10; ++k) list.SetCapacity(code + 2 + (k % 2) * 8);
  }
  done = true;
  reader.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(list.IndexOfCode(1999), 2000);
}

TEST(TQZStringListTest, EveryReadOfAThreadSafeStringListIsLockedAgainstAWriter) {
  TQZStringList list(true);
  list.Add("first");
  std::atomic<bool> done(false);
  std::atomic<int> failures(0);
  std::thread reader([&] {
    for (int round = 0; !done.load() || round < 200; ++round) {
      const int32_t count = list.Count();
      if (count < 1 || count > list.Capacity()) ++failures;
      if (list.Duplicates() != true) ++failures;
      (void)list.Sorted();
      (void)list.Ordered();
      (void)list.CaseSensitive();
      if (round > 1000000) break;
    }
  });
  for (int i = 0; i < 2000; ++i) {
    if (list.Add(("k" + std::to_string(i)).c_str()) < 0) ++failures;
    if (i % 100 == 0) {
      list.SetSorted(i % 200 == 0);
      list.SetCaseSensitive(i % 300 == 0);
    }
  }
  done = true;
  reader.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(list.Count(), 2001);
}

// Allocation failures.

TEST(TQZStringListTest, FailedGrowthGivesMinusTwoAndKeepsTheItems) {
  DeletionLog log;
  TQZStringList list;
  log.Install(list);
  for (int i = 0; i < 8; ++i) list.Add("k", static_cast<uintptr_t>(i));
  // Keys are built before each window: making a string allocates its block.
  const TQZString more("more"), tenth("tenth");
  int32_t r;
  {
    ScopedAllocationFailure fail(1);
    r = list.Add(more);
  }
  EXPECT_EQ(r, -2);
  EXPECT_EQ(list.Count(), 8);
  EXPECT_EQ(list.Capacity(), 8);
  EXPECT_EQ(list.GetData(7), 7u);
  EXPECT_TRUE(log.Keys.empty());

  // The item's own string failing to allocate is refused the same way.
  EXPECT_EQ(list.Add("ninth"), 8);
  {
    ScopedAllocationFailure fail(1);
    r = list.Add(tenth);
  }
  EXPECT_EQ(r, -2);
  EXPECT_EQ(list.Count(), 9);
  EXPECT_EQ(list.Add(tenth), 9);
}

TEST(TQZStringListTest, GrowthByAHugeDeltaIsClampedToTheItemLimit) {
  TQZStringList list;
  for (int i = 0; i < 8; ++i) list.Add("k");
  list.Delta = INT32_MAX;
  const TQZString more("more");
  int32_t r;
  size_t asked;
  {
    ScopedAllocationCount count;  // resets pending failures, so it comes first
    ScopedAllocationFailure fail(1);
    r = list.Add(more);
    asked = AllocationCounter::LastSize();
  }
  EXPECT_EQ(r, -2);
  EXPECT_EQ(asked, static_cast<size_t>(TQZStringList::MaxCapacity) * 2 * sizeof(void*));
  EXPECT_EQ(list.Count(), 8);
  EXPECT_EQ(list.Capacity(), 8);
}

TEST(TQZStringListTest, FailedSetCapacityLeavesTheListUnchanged) {
  DeletionLog log;
  TQZStringList list;
  log.Install(list);
  AddAll(list, {"a", "b", "c"});
  size_t asked;
  {
    ScopedAllocationCount count;
    ScopedAllocationFailure fail(2);
    list.SetCapacity(1);
    list.SetCapacity(INT32_MAX);
    asked = AllocationCounter::LastSize();
  }
  EXPECT_EQ(asked, static_cast<size_t>(TQZStringList::MaxCapacity) * 2 * sizeof(void*));
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Capacity(), 8);
  EXPECT_EQ(Items(list), std::vector<std::string>({"a", "b", "c"}));
  EXPECT_TRUE(log.Keys.empty());
}

TEST(TQZStringListTest, FailedCopyInAssignListLeavesTargetEmptyWithSourceSettings) {
  TQZStringList source;
  source.Delta = 4;
  source.SetSorted(true);
  source.SetCaseSensitive(true);
  AddAll(source, {"x", "y"});
  DeletionLog log;
  TQZStringList target;
  log.Install(target);
  AddAll(target, {"old"});
  {
    ScopedAllocationFailure fail(1);
    target.AssignList(source);
  }
  EXPECT_EQ(target.Count(), 0);
  EXPECT_EQ(target.Capacity(), 0);
  EXPECT_EQ(log.Keys, std::vector<std::string>({"old"}));
  EXPECT_EQ(target.Delta, 4);
  EXPECT_TRUE(target.Sorted());
  EXPECT_TRUE(target.CaseSensitive());
  EXPECT_EQ(target.OnDeletion.Function, nullptr);
  EXPECT_EQ(source.Count(), 2);
  // Still usable afterwards.
  EXPECT_EQ(target.Add("z"), 0);
}

TEST(TQZRecordListTest, FailedSortBufferLeavesRecordsUnsorted) {
  PairList list;
  for (int32_t k : {3, 1, 2}) list.Append(k, k);
  {
    ScopedAllocationFailure fail(1);
    list.SetSorted(true);
  }
  EXPECT_EQ(list.Keys(), std::vector<int32_t>({3, 1, 2}));
  EXPECT_EQ(list.Compares, 0);
  list.SetSorted(false);
  list.Append(0, 0);
  list.SetSorted(true);
  EXPECT_EQ(list.Keys(), std::vector<int32_t>({0, 1, 2, 3}));
}

TEST(TQZRecordListTest, FailedGrowthAndCapacityLeaveRecordsAlone) {
  PairList list;
  for (int i = 0; i < 8; ++i) list.Append(i, i);
  int32_t r;
  size_t asked;
  {
    ScopedAllocationCount count;
    ScopedAllocationFailure fail(3);
    r = list.Append(8, 8);
    list.SetCapacity(2);
    list.Delta = INT32_MAX;
    list.Append(9, 9);
    asked = AllocationCounter::LastSize();
  }
  EXPECT_EQ(r, -2);
  EXPECT_EQ(asked, static_cast<size_t>(list.MaxCapacity()) * sizeof(Pair));
  EXPECT_EQ(list.Count(), 8);
  EXPECT_EQ(list.Capacity(), 8);
  EXPECT_TRUE(list.Freed.empty());
}

TEST(TQZCodeListTest, FailedTextAllocationGivesMinusTwo) {
  TQZCodeList list;
  list.Add(1, "one");
  const TQZString two("two");
  int32_t r;
  {
    ScopedAllocationFailure fail(1);
    r = list.Add(2, two);
  }
  EXPECT_EQ(r, -2);
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(list.GetText(2).Length(), 0);
  EXPECT_EQ(list.Add(2, two), 1);
}
