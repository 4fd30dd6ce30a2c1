// The foundation's string, comparisons, sorted list and multi-reader lock,
// each timed beside the standard library (and raw Win32 on Windows) in one
// run, then printed as a table of ratios.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_table.h"
#include "foundation/lists.h"
#include "foundation/string.h"
#include "foundation/sync.h"

#if defined(_WIN32)
#include "foundation/win32.h"
#else
#include <strings.h>
#endif

namespace {

std::string Text(size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i) text += static_cast<char>('a' + i % 26);
  return text;
}

void QZStringCopy(benchmark::State& state) {
  const std::string text = Text(static_cast<size_t>(state.range(0)));
  const TQZString source =
      MakeString(text.data(), static_cast<int32_t>(text.size()));
  for (auto _ : state) {
    TQZString copy(source);
    benchmark::DoNotOptimize(copy.BlockAddress());
  }
}

void StdStringCopy(benchmark::State& state) {
  const std::string source = Text(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::string copy(source);
    benchmark::DoNotOptimize(copy.data());
  }
}

const size_t CompareLength = 64;

// Mixed letters and digits, so that case folding has work to do.
std::string CompareText(bool upper) {
  std::string text;
  for (size_t i = 0; i < CompareLength; ++i) {
    char c = i % 5 == 4 ? static_cast<char>('0' + i % 10)
                        : static_cast<char>('a' + (i * 7) % 26);
    if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    text += c;
  }
  return text;
}

// range(0): 1 case-sensitive; 0 not, identical texts; 2 not, the texts
// differing in letter case only.
void QZCompare(benchmark::State& state) {
  const bool caseSensitive = state.range(0) == 1;
  const std::string left = CompareText(false);
  const std::string right = CompareText(state.range(0) == 2);
  // Two blocks, so the comparison cannot stop at "same block".
  const TQZString a = MakeString(left.data(), static_cast<int32_t>(left.size()));
  const TQZString b = MakeString(right.data(), static_cast<int32_t>(right.size()));
  for (auto _ : state) {
    int32_t r = CompareStrings(a, b, caseSensitive);
    benchmark::DoNotOptimize(r);
  }
}

void Memcmp(benchmark::State& state) {
  const std::string a = CompareText(false);
  const std::string b = CompareText(false);
  const char* pa = a.data();
  const char* pb = b.data();
  size_t n = a.size();
  for (auto _ : state) {
    // Hidden from the optimiser so that the library routine is what runs.
    benchmark::DoNotOptimize(pa);
    benchmark::DoNotOptimize(pb);
    benchmark::DoNotOptimize(n);
    int r = std::memcmp(pa, pb, n);
    benchmark::DoNotOptimize(r);
  }
}

int CaseInsensitiveCompare(const char* a, const char* b) {
#if defined(_WIN32)
  return _stricmp(a, b);
#else
  return strcasecmp(a, b);
#endif
}

// range(0) as in QZCompare (0 identical, 2 case differs).
void StrCaseCmp(benchmark::State& state) {
  const std::string a = CompareText(false);
  const std::string b = CompareText(state.range(0) == 2);
  const char* pa = a.c_str();
  const char* pb = b.c_str();
  for (auto _ : state) {
    benchmark::DoNotOptimize(pa);
    benchmark::DoNotOptimize(pb);
    int r = CaseInsensitiveCompare(pa, pb);
    benchmark::DoNotOptimize(r);
  }
}

const int KeyCount = 10000;

// Distinct keys of 6 to 24 letters and digits, the same on every run, in
// random order; some fit std::string's inline buffer and some do not.
const std::vector<std::string>& StdKeys() {
  static const std::vector<std::string> keys = [] {
    static const char alphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::mt19937 random(20240601);
    std::uniform_int_distribution<int> length(6, 24);
    std::uniform_int_distribution<int> letter(0, sizeof alphabet - 2);
    std::set<std::string> seen;
    std::vector<std::string> out;
    while (static_cast<int>(out.size()) < KeyCount) {
      std::string key;
      for (int n = length(random); n > 0; --n) key += alphabet[letter(random)];
      if (seen.insert(key).second) out.push_back(key);
    }
    return out;
  }();
  return keys;
}

const std::vector<TQZString>& QZKeys() {
  static const std::vector<TQZString> keys = [] {
    std::vector<TQZString> out;
    for (const std::string& k : StdKeys())
      out.push_back(MakeString(k.data(), static_cast<int32_t>(k.size())));
    return out;
  }();
  return keys;
}

void FillList(TQZStringList& list, bool caseSensitive) {
  list.SetSorted(true);
  list.SetCaseSensitive(caseSensitive);
  const std::vector<TQZString>& keys = QZKeys();
  for (size_t i = 0; i < keys.size(); ++i) list.Add(keys[i], i);
}

using StdPair = std::pair<std::string, uintptr_t>;

bool PairLess(const StdPair& item, const std::string& key) { return item.first < key; }

void InsertSorted(std::vector<StdPair>& v, const std::string& key, uintptr_t data) {
  v.insert(std::lower_bound(v.begin(), v.end(), key, PairLess), StdPair(key, data));
}

void QZListAdd(benchmark::State& state) {
  QZKeys();
  for (auto _ : state) {
    TQZStringList list;
    FillList(list, true);
    benchmark::DoNotOptimize(list.Count());
  }
}

void StdMapAdd(benchmark::State& state) {
  const std::vector<std::string>& keys = StdKeys();
  for (auto _ : state) {
    std::map<std::string, uintptr_t> map;
    for (size_t i = 0; i < keys.size(); ++i) map.emplace(keys[i], i);
    benchmark::DoNotOptimize(map.size());
  }
}

void StdVectorInsertSorted(benchmark::State& state) {
  const std::vector<std::string>& keys = StdKeys();
  for (auto _ : state) {
    std::vector<StdPair> v;
    for (size_t i = 0; i < keys.size(); ++i) InsertSorted(v, keys[i], i);
    benchmark::DoNotOptimize(v.data());
  }
}

// The usual way to build a sorted vector: append everything, sort once.
void StdVectorAppendSort(benchmark::State& state) {
  const std::vector<std::string>& keys = StdKeys();
  for (auto _ : state) {
    std::vector<StdPair> v;
    for (size_t i = 0; i < keys.size(); ++i) v.emplace_back(keys[i], i);
    std::sort(v.begin(), v.end());
    benchmark::DoNotOptimize(v.data());
  }
}

// range(0): 1 case-sensitive list, 0 the list's default (not case-sensitive).
void QZListFind(benchmark::State& state) {
  TQZStringList list;
  FillList(list, state.range(0) == 1);
  const std::vector<TQZString>& keys = QZKeys();
  for (auto _ : state) {
    uintptr_t sum = 0;
    for (const TQZString& key : keys) {
      uintptr_t data = 0;
      list.Find(key, 0, &data);
      sum += data;
    }
    benchmark::DoNotOptimize(sum);
  }
  if (list.Count() != KeyCount) state.SkipWithError("keys missing from the list");
}

void StdMapFind(benchmark::State& state) {
  std::map<std::string, uintptr_t> map;
  const std::vector<std::string>& keys = StdKeys();
  for (size_t i = 0; i < keys.size(); ++i) map.emplace(keys[i], i);
  for (auto _ : state) {
    uintptr_t sum = 0;
    for (const std::string& key : keys) {
      auto it = map.find(key);
      if (it != map.end()) sum += it->second;
    }
    benchmark::DoNotOptimize(sum);
  }
}

void StdVectorFind(benchmark::State& state) {
  const std::vector<std::string>& keys = StdKeys();
  std::vector<StdPair> v;
  for (size_t i = 0; i < keys.size(); ++i) v.emplace_back(keys[i], i);
  std::sort(v.begin(), v.end());
  for (auto _ : state) {
    uintptr_t sum = 0;
    for (const std::string& key : keys) {
      auto it = std::lower_bound(v.begin(), v.end(), key, PairLess);
      if (it != v.end() && it->first == key) sum += it->second;
    }
    benchmark::DoNotOptimize(sum);
  }
}

// Keys for the sort rows. range(0): 0 the 10,000 random keys; 1 100,000 keys
// in organ-pipe order (ascending to the middle, then descending); 2 100,000
// keys alternating "Key..." and "key...", sorted without regard to case.
const std::vector<TQZString>& SortKeys(int64_t kind) {
  static const std::vector<TQZString> organPipe = [] {
    const int n = 100000;
    std::vector<TQZString> out;
    char text[32];
    for (int i = 0; i < n; ++i) {
      std::snprintf(text, sizeof text, "key%06d", std::min(i, n - 1 - i));
      out.push_back(text);
    }
    return out;
  }();
  static const std::vector<TQZString> caseToggle = [] {
    std::vector<TQZString> out;
    char text[32];
    for (int i = 0; i < 100000; ++i) {
      std::snprintf(text, sizeof text, "%s%06d", i % 2 == 0 ? "Key" : "key", i / 2);
      out.push_back(text);
    }
    return out;
  }();
  return kind == 0 ? QZKeys() : kind == 1 ? organPipe : caseToggle;
}

void QZListSort(benchmark::State& state) {
  const std::vector<TQZString>& keys = SortKeys(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    TQZStringList list;
    list.SetCaseSensitive(state.range(0) != 2);
    for (size_t i = 0; i < keys.size(); ++i) list.Add(keys[i], i);
    state.ResumeTiming();
    list.SetSorted(true);
    benchmark::DoNotOptimize(list.GetData(0));
    state.PauseTiming();
    list.Clear();
    state.ResumeTiming();
  }
}

// std::sort over the same (string, data word) items with the list's own
// comparison, so that the row compares the sorts and not the comparisons.
void StdSortItems(benchmark::State& state) {
  const std::vector<TQZString>& keys = SortKeys(state.range(0));
  const bool caseSensitive = state.range(0) != 2;
  using Item = std::pair<const TQZString*, uintptr_t>;
  std::vector<Item> items;
  for (auto _ : state) {
    state.PauseTiming();
    items.clear();
    for (size_t i = 0; i < keys.size(); ++i) items.emplace_back(&keys[i], i);
    state.ResumeTiming();
    std::sort(items.begin(), items.end(), [caseSensitive](const Item& a, const Item& b) {
      return CompareBytes(a.first->Data(), a.first->Length(), b.first->Data(),
                          b.first->Length(), caseSensitive) < 0;
    });
    benchmark::DoNotOptimize(items.data());
  }
}

TQZMRWLock QZLock;
std::shared_mutex StdLock;
std::atomic<uintptr_t> Guarded{0};

void QZLockRead(benchmark::State& state) {
  for (auto _ : state) {
    QZLock.LockRead();
    QZLock.UnlockRead();
  }
}

void SharedMutexRead(benchmark::State& state) {
  for (auto _ : state) {
    StdLock.lock_shared();
    StdLock.unlock_shared();
  }
}

// Every hundredth pass of each thread writes; the rest read.
void QZLockMixed(benchmark::State& state) {
  unsigned n = 0;
  for (auto _ : state) {
    if (++n % 100 == 0) {
      QZLock.LockWrite();
      Guarded.store(Guarded.load(std::memory_order_relaxed) + 1,
                    std::memory_order_relaxed);
      QZLock.UnlockWrite();
    } else {
      QZLock.LockRead();
      benchmark::DoNotOptimize(Guarded.load(std::memory_order_relaxed));
      QZLock.UnlockRead();
    }
  }
}

void SharedMutexMixed(benchmark::State& state) {
  unsigned n = 0;
  for (auto _ : state) {
    if (++n % 100 == 0) {
      StdLock.lock();
      Guarded.store(Guarded.load(std::memory_order_relaxed) + 1,
                    std::memory_order_relaxed);
      StdLock.unlock();
    } else {
      StdLock.lock_shared();
      benchmark::DoNotOptimize(Guarded.load(std::memory_order_relaxed));
      StdLock.unlock_shared();
    }
  }
}

// range(0): 0 a service's failure line; 1 a fixed-point number; 2 a number
// in %g form.
template <typename Formatter>
void FormatCase(benchmark::State& state, Formatter format) {
  switch (state.range(0)) {
    case 0:
      for (auto _ : state) format("%s service <%s> failure! reason(%d): %s\n", "install", "svcdemo", 5, "Access is denied.");
      break;
    case 1:
      for (auto _ : state) format("%.6f", 3.14159265358979);
      break;
    default:
      for (auto _ : state) format("%g", 6.02214076e23);
      break;
  }
}

void QZFormat(benchmark::State& state) {
  TQZString s;
  FormatCase(state, [&](const char* format, auto... args) {
    s.Format(format, args...);
    benchmark::DoNotOptimize(s.BlockAddress());
  });
}

// A string of its own for each text, as Format makes a block for each.
void SnprintfFormat(benchmark::State& state) {
  FormatCase(state, [&](const char* format, auto... args) {
    char buffer[4097];
    const int n = std::snprintf(buffer, sizeof buffer, format, args...);
    std::string s(buffer, n < 0 ? 0 : static_cast<size_t>(n));
    benchmark::DoNotOptimize(s.data());
  });
}

#if defined(_WIN32)
SRWLOCK SrwLock = SRWLOCK_INIT;

void SrwLockRead(benchmark::State& state) {
  for (auto _ : state) {
    AcquireSRWLockShared(&SrwLock);
    ReleaseSRWLockShared(&SrwLock);
  }
}

void SrwLockMixed(benchmark::State& state) {
  unsigned n = 0;
  for (auto _ : state) {
    if (++n % 100 == 0) {
      AcquireSRWLockExclusive(&SrwLock);
      Guarded.store(Guarded.load(std::memory_order_relaxed) + 1,
                    std::memory_order_relaxed);
      ReleaseSRWLockExclusive(&SrwLock);
    } else {
      AcquireSRWLockShared(&SrwLock);
      benchmark::DoNotOptimize(Guarded.load(std::memory_order_relaxed));
      ReleaseSRWLockShared(&SrwLock);
    }
  }
}
#endif

void Register() {
  for (int64_t n : {8, 64, 1024}) {
    benchmark::RegisterBenchmark("QZStringCopy", QZStringCopy)->Arg(n);
    benchmark::RegisterBenchmark("StdStringCopy", StdStringCopy)->Arg(n);
  }
  for (int64_t mode : {1, 0, 2}) benchmark::RegisterBenchmark("QZCompare", QZCompare)->Arg(mode);
  benchmark::RegisterBenchmark("Memcmp", Memcmp);
  for (int64_t mode : {0, 2}) benchmark::RegisterBenchmark("StrCaseCmp", StrCaseCmp)->Arg(mode);

  for (int64_t kind : {0, 1, 2}) {
    benchmark::RegisterBenchmark("QZFormat", QZFormat)->Arg(kind);
    benchmark::RegisterBenchmark("SnprintfFormat", SnprintfFormat)->Arg(kind);
  }

  benchmark::RegisterBenchmark("QZListAdd", QZListAdd)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("StdMapAdd", StdMapAdd)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("StdVectorInsertSorted", StdVectorInsertSorted)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("StdVectorAppendSort", StdVectorAppendSort)
      ->Unit(benchmark::kMicrosecond);
  for (int64_t cs : {1, 0})
    benchmark::RegisterBenchmark("QZListFind", QZListFind)->Arg(cs)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("StdMapFind", StdMapFind)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("StdVectorFind", StdVectorFind)->Unit(benchmark::kMicrosecond);
  for (int64_t kind : {0, 1, 2}) {
    benchmark::RegisterBenchmark("QZListSort", QZListSort)->Arg(kind)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("StdSortItems", StdSortItems)->Arg(kind)
        ->Unit(benchmark::kMicrosecond);
  }

  benchmark::RegisterBenchmark("QZLockRead", QZLockRead);
  benchmark::RegisterBenchmark("SharedMutexRead", SharedMutexRead);
  benchmark::RegisterBenchmark("QZLockMixed", QZLockMixed)->Threads(2)->UseRealTime();
  benchmark::RegisterBenchmark("SharedMutexMixed", SharedMutexMixed)->Threads(2)->UseRealTime();
#if defined(_WIN32)
  benchmark::RegisterBenchmark("SrwLockRead", SrwLockRead);
  benchmark::RegisterBenchmark("SrwLockMixed", SrwLockMixed)->Threads(2)->UseRealTime();
#endif
}

std::vector<TQZBenchRow> Rows() {
  std::vector<TQZBenchRow> rows = {
      {"TQZString copy+destroy, 8 bytes  / std::string", "QZStringCopy/8", "StdStringCopy/8", 0},
      {"TQZString copy+destroy, 64 bytes / std::string", "QZStringCopy/64", "StdStringCopy/64", 0.5},
      {"TQZString copy+destroy, 1024 bytes / std::string", "QZStringCopy/1024",
       "StdStringCopy/1024", 0.5},
      {"CompareStrings case-sensitive, equal 64 B / memcmp", "QZCompare/1", "Memcmp", 2.0},
#if defined(_WIN32)
      {"CompareStrings no case, identical 64 B / _stricmp", "QZCompare/0", "StrCaseCmp/0", 2.0},
      {"CompareStrings no case, case differs 64 B / _stricmp", "QZCompare/2", "StrCaseCmp/2", 2.0},
#else
      {"CompareStrings no case, identical 64 B / strcasecmp", "QZCompare/0", "StrCaseCmp/0", 2.0},
      {"CompareStrings no case, case differs 64 B / strcasecmp", "QZCompare/2", "StrCaseCmp/2",
       2.0},
#endif
      {"TQZString::Format service line / snprintf + new std::string", "QZFormat/0", "SnprintfFormat/0",
       1.5},
      {"TQZString::Format %.6f / snprintf + new std::string", "QZFormat/1", "SnprintfFormat/1", 1.5},
      {"TQZString::Format %g / snprintf + new std::string", "QZFormat/2", "SnprintfFormat/2", 1.5},
      {"sorted list Add 10,000 / std::map", "QZListAdd", "StdMapAdd", 0},
      {"sorted list Add 10,000 / vector insert at lower_bound", "QZListAdd",
       "StdVectorInsertSorted", 0},
      {"sorted list Add 10,000 / vector append then sort", "QZListAdd", "StdVectorAppendSort", 0},
      {"sorted list Find 10,000 / sorted vector lower_bound", "QZListFind/1", "StdVectorFind",
       1.5},
      {"sorted list Find 10,000 / std::map", "QZListFind/1", "StdMapFind", 0},
      {"sorted list (no case) Find 10,000 / sorted vector", "QZListFind/0", "StdVectorFind", 0},
      {"list sort 10,000 random keys / std::sort, same compare", "QZListSort/0", "StdSortItems/0",
       2.0},
      {"list sort 100,000 organ-pipe keys / std::sort, same compare", "QZListSort/1",
       "StdSortItems/1", 2.0},
      {"list sort 100,000 Key/key, no case / std::sort, same compare", "QZListSort/2",
       "StdSortItems/2", 2.0},
#if defined(_WIN32)
      {"TQZMRWLock read lock+unlock, uncontended / SRWLOCK", "QZLockRead", "SrwLockRead", 3.0},
#endif
      {"TQZMRWLock read lock+unlock, uncontended / shared_mutex", "QZLockRead", "SharedMutexRead",
       0},
#if defined(_WIN32)
      {"TQZMRWLock 2 threads, 1% writes / SRWLOCK", "QZLockMixed", "SrwLockMixed", 0},
#endif
      {"TQZMRWLock 2 threads, 1% writes / shared_mutex", "QZLockMixed", "SharedMutexMixed", 0},
  };
  return rows;
}

}  // namespace

int main(int argc, char** argv) {
  // Defaults first, so that flags given on the command line override them.
  std::vector<char*> args;
  args.push_back(argv[0]);
  static char repetitions[] = "--benchmark_repetitions=5";
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  static char aggregates[] = "--benchmark_display_aggregates_only=true";
  static char minTime[] = "--benchmark_min_time=0.2";
  args.push_back(repetitions);
  args.push_back(interleave);
  args.push_back(aggregates);
  args.push_back(minTime);
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);

  Register();
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  TQZMedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
#if defined(_WIN32)
  PrintTable("foundation, win32 (median CPU time; real time for 2 threads)", reporter, Rows());
#else
  PrintTable("foundation, native (median CPU time; real time for 2 threads)", reporter, Rows());
#endif
  return 0;
}
