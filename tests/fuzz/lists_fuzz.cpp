// Drives two TQZStringList objects and a TQZCodeList through random operation
// sequences and checks them, after every step, against a model that follows
// the lists' documented search, sort, growth and callback rules.
#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "foundation/lists.h"
#include "foundation/string.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using qzfuzz::Input;
using qzfuzz::ModelCompare;
using qzfuzz::ModelSame;
using qzfuzz::Quote;

constexpr int ListCount = 2;
// Keeps one run fast: Add is skipped on a list this long.
constexpr int32_t MaxItems = 300;
// Data words with these low bytes make the callbacks throw.
constexpr uintptr_t CompareThrowMark = 0xEE;
constexpr uintptr_t DeletionThrowMark = 0xDD;

std::string Bytes(const TQZString& s) {
  return s.Length() > 0 ? std::string(s.Data(), static_cast<size_t>(s.Length()))
                        : std::string();
}

// ---------------------------------------------------------------------------
// Comparison callbacks, shared by the lists under test and the model so that
// both see the same answers and the model can count the calls it expects.

enum CompareKind { BuiltIn, Reverse, DataFirst, Throwing, Silent, CompareKindCount };
const int CompareKinds[CompareKindCount] = {BuiltIn, Reverse, DataFirst, Throwing, Silent};

struct Refused {};

long ListCompareCalls = 0;
long ModelCompareCalls = 0;

// The result the callback of `kind` writes, or false when it writes nothing.
bool CompareWith(int kind, const std::string& a, uintptr_t dataA, const std::string& b,
                 uintptr_t dataB, bool caseSensitive, int32_t* result) {
  switch (kind) {
    case BuiltIn:
      *result = ModelCompare(a, b, caseSensitive);
      return true;
    case Reverse:
      *result = -ModelCompare(a, b, caseSensitive);
      return true;
    case DataFirst:
      *result = dataA < dataB ? -1 : dataA > dataB ? 1 : ModelCompare(a, b, caseSensitive);
      return true;
    case Throwing:
      if ((dataA & 0xFF) == CompareThrowMark || (dataB & 0xFF) == CompareThrowMark) throw Refused();
      *result = ModelCompare(a, b, caseSensitive);
      return true;
    default:
      return false;
  }
}

void ListCompare(void* context, const TQZString& a, uintptr_t dataA, const TQZString& b,
                 uintptr_t dataB, bool caseSensitive, int32_t& result) {
  ++ListCompareCalls;
  QZ_FUZZ_CHECK(result == 0, "OnCompare called with a result of %d, not 0", result);
  CompareWith(*static_cast<const int*>(context), Bytes(a), dataA, Bytes(b), dataB,
              caseSensitive, &result);
}

// ---------------------------------------------------------------------------
// Deletion log: what the lists' OnDeletion calls report, and what the model
// expects them to report.

struct Deletion {
  int List;
  std::string Key;
  uintptr_t Data;
  bool operator==(const Deletion& o) const {
    return List == o.List && Key == o.Key && Data == o.Data;
  }
};

std::vector<Deletion> ListDeletions;
std::vector<Deletion> ModelDeletions;
const int ListIds[ListCount] = {0, 1};

void ListDeletion(void* context, const TQZString& s, uintptr_t data) {
  ListDeletions.push_back(Deletion{*static_cast<const int*>(context), Bytes(s), data});
  if ((data & 0xFF) == DeletionThrowMark) throw Refused();
}

// ---------------------------------------------------------------------------
// The model of a TQZStringList.

struct ModelItem {
  std::string Key;
  uintptr_t Data;
  TQZString Handle;  // the key object that was added: the list shares its block
};

struct ModelList {
  int Id = 0;
  std::vector<ModelItem> Items;
  int32_t Capacity = 0;
  int32_t Delta = 0;
  bool Sorted = false;
  bool Ordered = false;
  bool Duplicates = true;
  bool CaseSensitive = false;
  int Comparator = -1;  // -1: no OnCompare
  bool TellsDeletions = false;

  int32_t Count() const { return static_cast<int32_t>(Items.size()); }

  int32_t Compare(const std::string& a, uintptr_t dataA, const ModelItem& b) {
    if (Comparator < 0) return ModelCompare(a, b.Key, CaseSensitive);
    ++ModelCompareCalls;
    int32_t result = 0;
    CompareWith(Comparator, a, dataA, b.Key, b.Data, CaseSensitive, &result);
    return result;
  }

  bool Equals(const std::string& key, uintptr_t data, const ModelItem& item) {
    if (Comparator < 0) return ModelSame(key, item.Key, CaseSensitive);
    return Compare(key, data, item) == 0;
  }

  // The documented bisection, step by step: which equal item it lands on and
  // how many comparisons it costs are both observable.
  bool BinarySearch(const std::string& key, uintptr_t data, int32_t lo, int32_t hi,
                    int32_t* position) {
    if (lo > hi) {
      *position = lo;
      return false;
    }
    int32_t r = Compare(key, data, Items[static_cast<size_t>(lo)]);
    if (r <= 0) {
      *position = lo;
      return r == 0;
    }
    ++lo;
    if (lo > hi) {
      *position = lo;
      return false;
    }
    r = Compare(key, data, Items[static_cast<size_t>(hi)]);
    if (r > 0) {
      *position = hi + 1;
      return false;
    }
    if (r == 0 && !Duplicates) {
      *position = hi;
      return true;
    }
    bool found = r == 0;
    --hi;
    while (lo <= hi) {
      const int32_t mid = (lo + hi) >> 1;
      r = Compare(key, data, Items[static_cast<size_t>(mid)]);
      if (r > 0) {
        lo = mid + 1;
      } else {
        hi = mid - 1;
        if (r == 0) {
          found = true;
          if (!Duplicates) lo = mid;
        }
      }
    }
    *position = lo;
    return found;
  }

  int32_t LinearSearch(const std::string& key, uintptr_t data, int32_t start) {
    for (int32_t i = start; i < Count(); ++i) {
      if (Equals(key, data, Items[static_cast<size_t>(i)])) return i;
    }
    return -1;
  }

  // The list's introsort, step by step: the order of equal items after a
  // sort, where a throwing comparison leaves the items and how many
  // comparisons a sort costs all depend on exactly these steps.
  void QuickSort(int32_t lo, int32_t hi) {
    if (lo >= hi) return;
    int depthLimit = 0;
    for (uint32_t n = static_cast<uint32_t>(hi - lo + 1); n > 1; n >>= 1) depthLimit += 2;
    IntroSort(lo, hi, depthLimit);
  }

  void IntroSort(int32_t lo, int32_t hi, int depthLimit) {
    while (hi - lo + 1 > 16) {
      if (depthLimit-- == 0) {
        HeapSort(lo, hi);
        return;
      }
      const int32_t n = hi - lo + 1;
      const int32_t mid = lo + n / 2;
      if (n > 128) {
        const int32_t step = n / 8;
        SortThree(lo, lo + step, lo + 2 * step);
        SortThree(mid - step, mid, mid + step);
        SortThree(hi - 2 * step, hi - step, hi);
        SortThree(lo + step, mid, hi - step);
      } else {
        SortThree(lo, mid, hi);
      }
      int32_t i = lo;
      int32_t j = hi;
      int32_t p = mid;
      do {
        while (SortCompare(i, p) < 0) ++i;
        while (SortCompare(j, p) > 0) --j;
        if (i <= j) {
          if (i != j) Swap(i, j);
          if (p == i) {
            p = j;
          } else if (p == j) {
            p = i;
          }
          ++i;
          --j;
        }
      } while (i <= j);
      if (j - lo < hi - i) {
        if (lo < j) IntroSort(lo, j, depthLimit);
        lo = i;
      } else {
        if (i < hi) IntroSort(i, hi, depthLimit);
        hi = j;
      }
    }
    for (int32_t i = lo + 1; i <= hi; ++i)
      for (int32_t j = i; j > lo && SortCompare(j - 1, j) > 0; --j) Swap(j - 1, j);
  }

  void SortThree(int32_t a, int32_t b, int32_t c) {
    if (SortCompare(b, a) < 0) Swap(a, b);
    if (SortCompare(c, b) < 0) {
      Swap(b, c);
      if (SortCompare(b, a) < 0) Swap(a, b);
    }
  }

  void HeapSort(int32_t lo, int32_t hi) {
    const int32_t n = hi - lo + 1;
    for (int32_t root = n / 2 - 1; root >= 0; --root) SiftDown(lo, root, n);
    for (int32_t size = n - 1; size > 0; --size) {
      Swap(lo, lo + size);
      SiftDown(lo, 0, size);
    }
  }

  void SiftDown(int32_t lo, int32_t root, int32_t size) {
    for (;;) {
      int32_t child = 2 * root + 1;
      if (child >= size) return;
      if (child + 1 < size && SortCompare(lo + child, lo + child + 1) < 0) ++child;
      if (SortCompare(lo + root, lo + child) >= 0) return;
      Swap(lo + root, lo + child);
      root = child;
    }
  }

  void Swap(int32_t a, int32_t b) {
    std::swap(Items[static_cast<size_t>(a)], Items[static_cast<size_t>(b)]);
  }

  int32_t SortCompare(int32_t a, int32_t b) {
    const ModelItem& x = Items[static_cast<size_t>(a)];
    return Compare(x.Key, x.Data, Items[static_cast<size_t>(b)]);
  }

  void DeleteRange(int32_t start, int32_t n) {
    if (TellsDeletions) {
      for (int32_t i = start; i < start + n; ++i) {
        const ModelItem& item = Items[static_cast<size_t>(i)];
        ModelDeletions.push_back(Deletion{Id, item.Key, item.Data});
      }
    }
    Items.erase(Items.begin() + start, Items.begin() + start + n);
  }

  void Clear() {
    if (Capacity == 0) return;
    DeleteRange(0, Count());
    Capacity = 0;
  }

  void SetCapacity(int32_t n) {
    if (n < 0) n = 0;
    if (n > TQZStringList::MaxCapacity) n = TQZStringList::MaxCapacity;
    if (n == Capacity) return;
    if (n == 0) {
      Clear();
      return;
    }
    if (n < Count()) DeleteRange(n, Count() - n);
    Capacity = n;
  }

  int32_t Grow() {
    if (Delta == -1 || Count() >= TQZStringList::MaxCapacity) return -3;
    int32_t step = Delta;
    if (Delta == 0) step = Capacity > 64 ? Capacity / 4 : Capacity <= 8 ? 8 : 16;
    SetCapacity(Capacity + step);
    return 0;
  }

  int32_t InsertAt(int32_t index, const ModelItem& item) {
    if (index < 0 || index > Count()) return -2;
    if (Count() == Capacity) {
      const int32_t r = Grow();
      if (r < 0) return r;
    }
    Items.insert(Items.begin() + index, item);
    return index;
  }

  int32_t Add(const ModelItem& item) {
    if (!Sorted) {
      const int32_t r = InsertAt(Count(), item);
      Ordered = false;
      return r;
    }
    int32_t position = 0;
    try {
      if (BinarySearch(item.Key, item.Data, 0, Count() - 1, &position) && !Duplicates) return -1;
    } catch (const Refused&) {
      return -2;
    }
    return InsertAt(position, item);
  }

  void Remove(const std::string& key, uintptr_t data) {
    try {
      if (Sorted || Ordered) {
        int32_t position = 0;
        if (BinarySearch(key, data, 0, Count() - 1, &position)) DeleteRange(position, 1);
      } else {
        const int32_t index = LinearSearch(key, data, 0);
        if (index >= 0) DeleteRange(index, 1);
      }
    } catch (const Refused&) {
    }
  }

  int32_t Find(const std::string& key, uintptr_t data, uintptr_t* out, int32_t start) {
    if (start < 0) start = 0;
    *out = 0;
    try {
      if (Sorted || Ordered) {
        int32_t position = 0;
        if (!BinarySearch(key, data, start, Count() - 1, &position)) return -1;
        *out = Items[static_cast<size_t>(position)].Data;
        return position;
      }
      const int32_t index = LinearSearch(key, data, start);
      if (index >= 0) *out = Items[static_cast<size_t>(index)].Data;
      return index;
    } catch (const Refused&) {
      return -1;
    }
  }

  void SetSorted(bool sorted) {
    if (sorted == Sorted) return;
    Sorted = sorted;
    if (!sorted) {
      Ordered = true;
    } else if (!Ordered) {
      try {
        QuickSort(0, Count() - 1);
      } catch (const Refused&) {
      }
    }
  }

  // Whether the list lets an exception from its re-sort out is its own
  // choice; the order reached is the same either way.
  void SetCaseSensitive(bool caseSensitive) {
    if (caseSensitive == CaseSensitive) return;
    CaseSensitive = caseSensitive;
    Ordered = false;
    if (!Sorted) return;
    try {
      QuickSort(0, Count() - 1);
    } catch (const Refused&) {
    }
  }

  void AssignList(const ModelList& source) {
    if (&source == this) return;
    std::vector<ModelItem> copy = source.Items;
    Clear();
    Items = std::move(copy);
    Capacity = source.Capacity;
    Delta = source.Delta;
    Sorted = source.Sorted;
    Ordered = source.Ordered;
    Duplicates = source.Duplicates;
    CaseSensitive = source.CaseSensitive;
    Comparator = source.Comparator;
    TellsDeletions = false;
  }
};

// ---------------------------------------------------------------------------
// The model of a TQZCodeList: codes are unique and always in ascending order,
// so only the capacity and the order flags need following.

struct ModelCode {
  int32_t Code;
  std::string Text;
  TQZString Handle;
};

struct ModelCodeList {
  std::vector<ModelCode> Records;
  int32_t Capacity = 0;
  int32_t Delta = 0;
  bool Sorted = true;
  bool Ordered = false;
  bool Duplicates = false;
  int32_t Limit = 0;

  int32_t Count() const { return static_cast<int32_t>(Records.size()); }

  int32_t IndexOf(int32_t code) const {
    for (int32_t i = 0; i < Count(); ++i) {
      if (Records[static_cast<size_t>(i)].Code == code) return i;
    }
    return -1;
  }

  void SetCapacity(int32_t n) {
    if (n < 0) n = 0;
    if (n > Limit) n = Limit;
    if (n == Capacity) return;
    if (n == 0) {
      Clear();
      return;
    }
    if (n < Count()) Records.resize(static_cast<size_t>(n));
    Capacity = n;
  }

  void Clear() {
    if (Capacity == 0) return;
    Records.clear();
    Capacity = 0;
  }

  int32_t Add(int32_t code, const TQZString& text) {
    if (IndexOf(code) >= 0) return -1;
    int32_t position = 0;
    while (position < Count() && Records[static_cast<size_t>(position)].Code < code) ++position;
    if (Count() == Capacity) {
      if (Delta == -1 || Count() >= Limit) return -3;
      int32_t step = Delta;
      if (Delta == 0) step = Capacity > 64 ? Capacity / 4 : Capacity <= 8 ? 8 : 16;
      SetCapacity(Capacity + step);
    }
    Records.insert(Records.begin() + position, ModelCode{code, Bytes(text), text});
    if (!Sorted) Ordered = false;
    return position;
  }

  void SetSorted(bool sorted) {
    if (sorted == Sorted) return;
    Sorted = sorted;
    if (!sorted) Ordered = true;
  }
};

// ---------------------------------------------------------------------------
// Checks.

void CheckDeletions() {
  QZ_FUZZ_CHECK(ListDeletions.size() == ModelDeletions.size(),
                "OnDeletion called %zu times, expected %zu", ListDeletions.size(),
                ModelDeletions.size());
  for (size_t i = 0; i < ListDeletions.size(); ++i) {
    const Deletion& got = ListDeletions[i];
    const Deletion& want = ModelDeletions[i];
    QZ_FUZZ_CHECK(got == want, "deletion %zu: list %d %s/%zu, expected list %d %s/%zu", i,
                  got.List, Quote(got.Key).c_str(), static_cast<size_t>(got.Data), want.List,
                  Quote(want.Key).c_str(), static_cast<size_t>(want.Data));
  }
  ListDeletions.clear();
  ModelDeletions.clear();
}

void CheckList(TQZStringList& list, const ModelList& model) {
  const int id = model.Id;
  QZ_FUZZ_CHECK(list.Count() == model.Count(), "list %d: Count %d, expected %d", id,
                list.Count(), model.Count());
  QZ_FUZZ_CHECK(list.Capacity() == model.Capacity, "list %d: Capacity %d, expected %d", id,
                list.Capacity(), model.Capacity);
  QZ_FUZZ_CHECK(list.Sorted() == model.Sorted, "list %d: Sorted %d", id, list.Sorted());
  // While sorted the order flag is never consulted.
  if (!model.Sorted) {
    QZ_FUZZ_CHECK(list.Ordered() == model.Ordered, "list %d: Ordered %d, expected %d", id,
                  list.Ordered(), model.Ordered);
  }
  QZ_FUZZ_CHECK(list.Duplicates() == model.Duplicates, "list %d: Duplicates %d", id,
                list.Duplicates());
  QZ_FUZZ_CHECK(list.CaseSensitive() == model.CaseSensitive, "list %d: CaseSensitive %d", id,
                list.CaseSensitive());
  QZ_FUZZ_CHECK(list.Delta == model.Delta, "list %d: Delta %d, expected %d", id, list.Delta,
                model.Delta);
  for (int32_t i = 0; i < model.Count(); ++i) {
    const ModelItem& item = model.Items[static_cast<size_t>(i)];
    const TQZString s = list.GetString(i);
    QZ_FUZZ_CHECK(Bytes(s) == item.Key, "list %d item %d: %s, expected %s", id, i,
                  Quote(Bytes(s)).c_str(), Quote(item.Key).c_str());
    QZ_FUZZ_CHECK(s.BlockAddress() == item.Handle.BlockAddress(),
                  "list %d item %d does not share the added key's block", id, i);
    QZ_FUZZ_CHECK(list.GetData(i) == item.Data, "list %d item %d: data %zu, expected %zu", id,
                  i, static_cast<size_t>(list.GetData(i)), static_cast<size_t>(item.Data));
  }
  const int32_t outside[] = {-1, model.Count(), model.Count() + 1, INT32_MIN, INT32_MAX};
  for (int32_t index : outside) {
    QZ_FUZZ_CHECK(list.GetString(index).Length() == 0, "list %d: GetString(%d) not empty", id,
                  index);
    QZ_FUZZ_CHECK(list.GetData(index) == 0, "list %d: GetData(%d) not 0", id, index);
  }
}

void CheckCodeList(TQZCodeList& list, const ModelCodeList& model) {
  QZ_FUZZ_CHECK(list.Count() == model.Count(), "code list: Count %d, expected %d", list.Count(),
                model.Count());
  QZ_FUZZ_CHECK(list.Capacity() == model.Capacity, "code list: Capacity %d, expected %d",
                list.Capacity(), model.Capacity);
  QZ_FUZZ_CHECK(list.Sorted() == model.Sorted, "code list: Sorted %d", list.Sorted());
  if (!model.Sorted) {
    QZ_FUZZ_CHECK(list.Ordered() == model.Ordered, "code list: Ordered %d, expected %d",
                  list.Ordered(), model.Ordered);
  }
  QZ_FUZZ_CHECK(list.Duplicates() == model.Duplicates, "code list: Duplicates %d",
                list.Duplicates());
  for (int32_t i = 0; i < model.Count(); ++i) {
    const ModelCode& record = model.Records[static_cast<size_t>(i)];
    QZ_FUZZ_CHECK(list.CodeAt(i) == record.Code, "code list item %d: code %d, expected %d", i,
                  list.CodeAt(i), record.Code);
    QZ_FUZZ_CHECK(list.IndexOfCode(record.Code) == i, "code list: IndexOfCode(%d) = %d, not %d",
                  record.Code, list.IndexOfCode(record.Code), i);
    QZ_FUZZ_CHECK(list.RecordAt(i) != nullptr, "code list: RecordAt(%d) is null", i);
    const TQZString text = list.GetText(record.Code);
    QZ_FUZZ_CHECK(Bytes(text) == record.Text, "code list: GetText(%d) = %s, expected %s",
                  record.Code, Quote(Bytes(text)).c_str(), Quote(record.Text).c_str());
    QZ_FUZZ_CHECK(text.BlockAddress() == record.Handle.BlockAddress(),
                  "code list: GetText(%d) does not share the added text's block", record.Code);
  }
  QZ_FUZZ_CHECK(list.RecordAt(-1) == nullptr && list.RecordAt(model.Count()) == nullptr,
                "code list: RecordAt out of range is not null");
}

// ---------------------------------------------------------------------------
// Inputs.

// Short keys over a small alphabet, so that equal keys, keys equal but for
// case, embedded NULs and bytes above 0x7F all turn up often.
TQZString PickKey(Input& in) {
  static const char Alphabet[] = {'a', 'A', 'b', 'B', 'c', 'C', '\0', '\xC4', '\xE4', 'z'};
  const int length = in.Byte() % 6;
  std::string key;
  for (int i = 0; i < length; ++i) {
    const uint8_t b = in.Byte();
    key.push_back(b < 240 ? Alphabet[b % sizeof Alphabet] : static_cast<char>(b));
  }
  return MakeString(key.data(), static_cast<int32_t>(key.size()));
}

uintptr_t PickData(Input& in) { return in.Byte(); }

int32_t PickIndex(Input& in, int32_t count) {
  switch (in.Byte() % 8) {
    case 0: return INT32_MIN;
    case 1: return INT32_MAX;
    case 2: return -in.Range(1, 3);
    default: return in.Range(0, count + 2);
  }
}

int32_t PickCode(Input& in) {
  switch (in.Byte() % 8) {
    case 0: return INT32_MIN;
    case 1: return INT32_MAX;
    default: return in.Range(-6, 14);
  }
}

struct State {
  std::unique_ptr<TQZStringList> Lists[ListCount];
  ModelList Models[ListCount];
  std::unique_ptr<TQZCodeList> Codes;
  ModelCodeList CodeModel;
};

void CheckAll(State& st) {
  for (int k = 0; k < ListCount; ++k) CheckList(*st.Lists[k], st.Models[k]);
  CheckCodeList(*st.Codes, st.CodeModel);
  CheckDeletions();
  QZ_FUZZ_CHECK(ListCompareCalls == ModelCompareCalls, "OnCompare called %ld times, expected %ld",
                ListCompareCalls, ModelCompareCalls);
}

void StepList(Input& in, State& st, int k) {
  TQZStringList& list = *st.Lists[k];
  ModelList& model = st.Models[k];
  switch (in.Byte() % 12) {
    case 0:
    case 1:
    case 2: {
      if (model.Count() >= MaxItems) return;
      const TQZString key = PickKey(in);
      const uintptr_t data = PickData(in);
      const int32_t expected = model.Add(ModelItem{Bytes(key), data, key});
      const bool wasOrdered = list.Ordered();
      const int32_t got = list.Add(key, data);
      QZ_FUZZ_CHECK(got == expected, "list %d: Add(%s, %zu) = %d, expected %d", k,
                    Quote(Bytes(key)).c_str(), static_cast<size_t>(data), got, expected);
      // An append refused as full leaves the order intact; whether the list
      // still calls itself ordered then is its own choice.
      if (got < 0 && !model.Sorted && list.Ordered() == wasOrdered) model.Ordered = wasOrdered;
      return;
    }
    case 3: {
      const TQZString key = PickKey(in);
      const uintptr_t data = PickData(in);
      model.Remove(Bytes(key), data);
      list.Remove(key, data);
      return;
    }
    case 4:
    case 5: {
      const TQZString key = PickKey(in);
      const uintptr_t data = PickData(in);
      const int32_t start = PickIndex(in, model.Count());
      uintptr_t expectedData = 0;
      const int32_t expected = model.Find(Bytes(key), data, &expectedData, start);
      uintptr_t gotData = 0x5A5A;
      int32_t got;
      if (in.Byte() % 4 == 0) {
        got = list.Find(key, data, nullptr, start);
      } else {
        got = list.Find(key, data, &gotData, start);
        QZ_FUZZ_CHECK(gotData == expectedData, "list %d: Find(%s, start %d) data %zu, expected %zu",
                      k, Quote(Bytes(key)).c_str(), start, static_cast<size_t>(gotData),
                      static_cast<size_t>(expectedData));
      }
      QZ_FUZZ_CHECK(got == expected, "list %d: Find(%s, %zu, start %d) = %d, expected %d", k,
                    Quote(Bytes(key)).c_str(), static_cast<size_t>(data), start, got, expected);
      return;
    }
    case 6: {
      const bool sorted = in.Bool();
      model.SetSorted(sorted);
      list.SetSorted(sorted);
      return;
    }
    case 7: {
      const bool caseSensitive = in.Bool();
      model.SetCaseSensitive(caseSensitive);
      try {
        list.SetCaseSensitive(caseSensitive);
      } catch (const Refused&) {
      }
      return;
    }
    case 8: {
      const bool duplicates = in.Bool();
      model.Duplicates = duplicates;
      list.SetDuplicates(duplicates);
      return;
    }
    case 9: {
      const int32_t n = in.Byte() % 8 == 0 ? -in.Range(1, 3) : in.Range(0, MaxItems + 20);
      model.SetCapacity(n);
      list.SetCapacity(n);
      return;
    }
    case 10:
      switch (in.Byte() % 4) {
        case 0:
          model.Clear();
          list.Clear();
          return;
        case 1: {
          const int32_t delta = in.Range(-1, 12);
          model.Delta = delta;
          list.Delta = delta;
          return;
        }
        default: {
          const int from = in.Byte() % ListCount;
          model.AssignList(st.Models[from]);
          list.AssignList(*st.Lists[from]);
          return;
        }
      }
    default: {
      const int choice = in.Byte() % (CompareKindCount + 3);
      if (choice < CompareKindCount) {
        model.Comparator = CompareKinds[choice];
        list.OnCompare.Function = ListCompare;
        list.OnCompare.Context = const_cast<int*>(&CompareKinds[choice]);
      } else if (choice == CompareKindCount) {
        model.Comparator = -1;
        list.OnCompare = TQZCompareCallback();
      } else {
        model.TellsDeletions = choice == CompareKindCount + 1;
        list.OnDeletion.Function = model.TellsDeletions ? ListDeletion : nullptr;
        list.OnDeletion.Context = const_cast<int*>(&ListIds[k]);
      }
      return;
    }
  }
}

void StepCodes(Input& in, State& st) {
  TQZCodeList& list = *st.Codes;
  ModelCodeList& model = st.CodeModel;
  switch (in.Byte() % 8) {
    case 0:
    case 1:
    case 2: {
      if (model.Count() >= MaxItems) return;
      const int32_t code = PickCode(in);
      const TQZString text = PickKey(in);
      const int32_t expected = model.Add(code, text);
      const int32_t got = list.Add(code, text);
      QZ_FUZZ_CHECK(got == expected, "code list: Add(%d, %s) = %d, expected %d", code,
                    Quote(Bytes(text)).c_str(), got, expected);
      return;
    }
    case 3: {
      const int32_t code = PickCode(in);
      const int32_t index = model.IndexOf(code);
      QZ_FUZZ_CHECK(list.IndexOfCode(code) == index, "code list: IndexOfCode(%d) = %d, not %d",
                    code, list.IndexOfCode(code), index);
      const std::string expected =
          index < 0 ? std::string() : model.Records[static_cast<size_t>(index)].Text;
      QZ_FUZZ_CHECK(Bytes(list.GetText(code)) == expected, "code list: GetText(%d) = %s", code,
                    Quote(Bytes(list.GetText(code))).c_str());
      return;
    }
    case 4: {
      const int32_t n = in.Byte() % 8 == 0 ? -in.Range(1, 3) : in.Range(0, MaxItems + 20);
      model.SetCapacity(n);
      list.SetCapacity(n);
      return;
    }
    case 5:
      model.Clear();
      list.Clear();
      return;
    case 6: {
      const int32_t delta = in.Range(-1, 12);
      model.Delta = delta;
      list.Delta = delta;
      return;
    }
    default:
      if (in.Bool()) {
        const bool sorted = in.Bool();
        model.SetSorted(sorted);
        list.SetSorted(sorted);
      } else {
        const bool duplicates = in.Bool();
        model.Duplicates = duplicates;
        list.SetDuplicates(duplicates);
      }
      return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  ListCompareCalls = 0;
  ModelCompareCalls = 0;
  ListDeletions.clear();
  ModelDeletions.clear();
  {
    State st;
    const uint8_t flags = in.Byte();
    for (int k = 0; k < ListCount; ++k) {
      st.Lists[k].reset(new TQZStringList((flags >> k) & 1));
      st.Models[k].Id = k;
      QZ_FUZZ_CHECK(st.Lists[k]->ThreadSafe() == (((flags >> k) & 1) != 0), "thread-safe flag");
    }
    st.Codes.reset(new TQZCodeList((flags >> 2) & 1));
    st.CodeModel.Limit = st.Codes->MaxCapacity();
    QZ_FUZZ_CHECK(st.Codes->RecordSize() > 0 &&
                      st.Codes->MaxCapacity() == 0x20000000 / st.Codes->RecordSize(),
                  "code list record size %d, limit %d", st.Codes->RecordSize(),
                  st.Codes->MaxCapacity());
    CheckAll(st);
    while (!in.Exhausted()) {
      const uint8_t target = in.Byte() % (ListCount + 1);
      if (target < ListCount) {
        StepList(in, st, target);
      } else {
        StepCodes(in, st);
      }
      CheckAll(st);
    }
    // Destruction clears each list, telling OnDeletion of every item left.
    for (int k = 0; k < ListCount; ++k) {
      st.Models[k].Clear();
      st.Lists[k].reset();
    }
  }
  CheckDeletions();
  return 0;
}
