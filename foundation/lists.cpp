// Sorted string list, abstract fixed-record list and the code list.
#include "foundation/lists.h"

#include <cstring>
#include <new>

#include "foundation/sync.h"

namespace {

// Arrays come from the nothrow allocator so that running out of memory is a
// result code rather than an exception.
void* AllocateBytes(size_t bytes) { return ::operator new(bytes, std::nothrow); }

void FreeBytes(void* p) { ::operator delete(p); }

// Capacity a full array grows to, or -3 when it may not grow. Computed in 64
// bits so that a large Delta near the limit cannot wrap around.
int32_t GrowthTarget(int32_t delta, int32_t capacity, int32_t limit) {
  if (delta < 0 || capacity >= limit) return -3;
  int64_t step;
  if (delta > 0)
    step = delta;
  else if (capacity > 64)
    step = capacity / 4;
  else if (capacity <= 8)
    step = 8;
  else
    step = 16;
  int64_t target = static_cast<int64_t>(capacity) + step;
  return static_cast<int32_t>(target > limit ? limit : target);
}

// Bisects the sorted range [lo, hi] for a key; compare(i) orders the key
// against item i. position is the key's index, or where it would be inserted;
// with duplicates it is the first equal item. The first and last items are
// probed before bisecting, so keys that arrive in ascending or descending
// order cost at most two comparisons.
template <typename CompareKeyTo>
bool SortedSearch(CompareKeyTo compare, bool allowDuplicates, int32_t lo,
                  int32_t hi, int32_t& position) {
  if (lo > hi) {
    position = lo;
    return false;
  }
  int32_t r = compare(lo);
  if (r <= 0) {
    position = lo;
    return r == 0;
  }
  ++lo;
  if (lo > hi) {
    position = lo;
    return false;
  }
  r = compare(hi);
  if (r > 0) {
    position = hi + 1;
    return false;
  }
  if (r == 0 && !allowDuplicates) {
    position = hi;
    return true;
  }
  bool found = r == 0;
  --hi;
  while (lo <= hi) {
    int32_t mid = (lo + hi) >> 1;
    r = compare(mid);
    if (r > 0) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (r == 0) {
        found = true;
        if (!allowDuplicates) lo = mid;
      }
    }
  }
  position = lo;
  return found;
}

// The sort below works on indices: compare(i, j) orders items i and j, and
// swap(i, j) exchanges two different items. Items only ever move by swaps, so
// a comparison that throws leaves every item in the range, and the bounds
// checks keep a comparison that is no consistent order from walking off it.

// Ranges this short are finished by insertion.
constexpr int32_t kInsertionSortMaximum = 16;
// Above this size the pivot is the median of three medians of three.
constexpr int32_t kNintherMinimum = 128;

template <typename Compare, typename Swap>
void InsertionSortRange(Compare& compare, Swap& swap, int32_t lo, int32_t hi) {
  for (int32_t i = lo + 1; i <= hi; ++i)
    for (int32_t j = i; j > lo && compare(j - 1, j) > 0; --j) swap(j - 1, j);
}

// Orders items a, b and c (a < b < c as indices) among themselves.
template <typename Compare, typename Swap>
void SortThree(Compare& compare, Swap& swap, int32_t a, int32_t b, int32_t c) {
  if (compare(b, a) < 0) swap(a, b);
  if (compare(c, b) < 0) {
    swap(b, c);
    if (compare(b, a) < 0) swap(a, b);
  }
}

template <typename Compare, typename Swap>
void HeapSortRange(Compare& compare, Swap& swap, int32_t lo, int32_t hi) {
  const int32_t n = hi - lo + 1;
  auto siftDown = [&](int32_t root, int32_t size) {
    for (;;) {
      int32_t child = 2 * root + 1;
      if (child >= size) return;
      if (child + 1 < size && compare(lo + child, lo + child + 1) < 0) ++child;
      if (compare(lo + root, lo + child) >= 0) return;
      swap(lo + root, lo + child);
      root = child;
    }
  };
  for (int32_t root = n / 2 - 1; root >= 0; --root) siftDown(root, n);
  for (int32_t size = n - 1; size > 0; --size) {
    swap(lo, lo + size);
    siftDown(0, size);
  }
}

// Introsort: quicksort on a median pivot, recursing into the smaller part
// and looping on the larger, so the stack holds at most log2(n) frames; a
// range that is still split badly after 2 log2(n) partitions is heap-sorted,
// so no order of keys costs more than O(n log n) comparisons. Not stable.
template <typename Compare, typename Swap>
void IntroSortRange(Compare& compare, Swap& swap, int32_t lo, int32_t hi,
                    int depthLimit) {
  while (hi - lo + 1 > kInsertionSortMaximum) {
    if (depthLimit-- == 0) {
      HeapSortRange(compare, swap, lo, hi);
      return;
    }
    const int32_t n = hi - lo + 1;
    const int32_t mid = lo + (n >> 1);
    if (n > kNintherMinimum) {
      const int32_t step = n >> 3;
      SortThree(compare, swap, lo, lo + step, lo + 2 * step);
      SortThree(compare, swap, mid - step, mid, mid + step);
      SortThree(compare, swap, hi - 2 * step, hi - step, hi);
      SortThree(compare, swap, lo + step, mid, hi - step);
    } else {
      SortThree(compare, swap, lo, mid, hi);
    }
    // Hoare's partition around the item now at mid, followed as it moves:
    // both scans stop at keys equal to it, so equal keys split evenly.
    int32_t i = lo;
    int32_t j = hi;
    int32_t p = mid;
    do {
      while (compare(i, p) < 0) {
        if (i == hi) break;
        ++i;
      }
      while (compare(j, p) > 0) {
        if (j == lo) break;
        --j;
      }
      if (i <= j) {
        if (i != j) swap(i, j);
        if (p == i)
          p = j;
        else if (p == j)
          p = i;
        ++i;
        --j;
      }
    } while (i <= j);
    // [lo, j] and [i, hi] are left, each shorter than the range.
    if (j - lo < hi - i) {
      if (lo < j) IntroSortRange(compare, swap, lo, j, depthLimit);
      lo = i;
    } else {
      if (i < hi) IntroSortRange(compare, swap, i, hi, depthLimit);
      hi = j;
    }
  }
  if (lo < hi) InsertionSortRange(compare, swap, lo, hi);
}

// Sorts [lo, hi].
template <typename Compare, typename Swap>
void SortRange(Compare compare, Swap swap, int32_t lo, int32_t hi) {
  if (lo >= hi) return;
  int depthLimit = 0;
  for (uint32_t n = static_cast<uint32_t>(hi - lo + 1); n > 1; n >>= 1) depthLimit += 2;
  IntroSortRange(compare, swap, lo, hi, depthLimit);
}

// Holds a list's read or write lock for one scope; nothing for a list made
// without a lock.
class LockScope {
 public:
  LockScope(TQZMRWLock* lock, bool write) : Lock(lock), Write(write) {
    if (Lock == nullptr) return;
    if (Write)
      Lock->LockWrite();
    else
      Lock->LockRead();
  }
  ~LockScope() {
    if (Lock == nullptr) return;
    if (Write)
      Lock->UnlockWrite();
    else
      Lock->UnlockRead();
  }
  LockScope(const LockScope&) = delete;
  LockScope& operator=(const LockScope&) = delete;

 private:
  TQZMRWLock* Lock;
  bool Write;
};

}  // namespace

TQZStringList::TQZStringList(bool threadSafe) {
  if (threadSafe) Lock = new TQZMRWLock();
}

TQZStringList::~TQZStringList() {
  {
    LockScope scope(ListLock(), true);
    ClearUnlocked();
  }
  delete Lock;
  Lock = nullptr;
}

int32_t TQZStringList::Count() const {
  LockScope scope(Lock, false);
  return ItemCount;
}

int32_t TQZStringList::Capacity() const {
  LockScope scope(Lock, false);
  return ItemCapacity;
}

bool TQZStringList::Sorted() const {
  LockScope scope(Lock, false);
  return IsSorted;
}

bool TQZStringList::Ordered() const {
  LockScope scope(Lock, false);
  return IsOrdered;
}

bool TQZStringList::Duplicates() const {
  LockScope scope(Lock, false);
  return AllowDuplicates;
}

bool TQZStringList::CaseSensitive() const {
  LockScope scope(Lock, false);
  return IsCaseSensitive;
}

int32_t TQZStringList::CompareItems(const TQZString& a, uintptr_t dataA,
                                    const TQZString& b, uintptr_t dataB) {
  if (OnCompare.Function) {
    int32_t result = 0;
    OnCompare.Function(OnCompare.Context, a, dataA, b, dataB, IsCaseSensitive,
                       result);
    return result;
  }
  return CompareStrings(a, b, IsCaseSensitive);
}

bool TQZStringList::ItemEquals(const TQZString& key, uintptr_t data,
                               const Item& item) {
  if (OnCompare.Function)
    return CompareItems(key, data, *item.String, item.Data) == 0;
  return SameStrings(key, *item.String, IsCaseSensitive);
}

bool TQZStringList::BinarySearch(const TQZString& key, uintptr_t data,
                                 int32_t lo, int32_t hi, int32_t& position) {
  if (!OnCompare.Function) {
    // The list's own strings cannot change while its lock is held, so only
    // the key needs a reference: one for the whole search, not one a step.
    const TQZString held(key);
    const char* text = held.Data();
    const int32_t length = held.Length();
    return SortedSearch(
        [&](int32_t i) {
          const TQZString& item = *Items[i].String;
          return CompareBytes(text, length, item.Data(), item.Length(),
                              IsCaseSensitive);
        },
        AllowDuplicates, lo, hi, position);
  }
  return SortedSearch(
      [&](int32_t i) {
        return CompareItems(key, data, *Items[i].String, Items[i].Data);
      },
      AllowDuplicates, lo, hi, position);
}

int32_t TQZStringList::LinearSearch(const TQZString& key, uintptr_t data,
                                    int32_t start) {
  for (int32_t i = start < 0 ? 0 : start; i < ItemCount; ++i)
    if (ItemEquals(key, data, Items[i])) return i;
  return -1;
}

void TQZStringList::Sort(int32_t lo, int32_t hi) {
  SortRange(
      [this](int32_t i, int32_t j) {
        const TQZString& a = *Items[i].String;
        const TQZString& b = *Items[j].String;
        // Under the list's lock its strings stay put: no references needed.
        if (!OnCompare.Function)
          return CompareBytes(a.Data(), a.Length(), b.Data(), b.Length(),
                              IsCaseSensitive);
        return CompareItems(a, Items[i].Data, b, Items[j].Data);
      },
      [this](int32_t i, int32_t j) {
        Item t = Items[i];
        Items[i] = Items[j];
        Items[j] = t;
      },
      lo, hi);
}

int32_t TQZStringList::Grow() {
  int32_t target = GrowthTarget(Delta, ItemCapacity, MaxCapacity);
  if (target < 0) return target;
  return SetCapacityUnlocked(target) ? 0 : -2;
}

bool TQZStringList::SetCapacityUnlocked(int32_t n) {
  if (n < 0) n = 0;
  if (n > MaxCapacity) n = MaxCapacity;
  if (n == ItemCapacity) return true;
  if (n == 0) {
    ClearUnlocked();
    return true;
  }
  Item* items = static_cast<Item*>(AllocateBytes(sizeof(Item) * n));
  if (!items) return false;
  if (n < ItemCount) DeleteRange(n, ItemCount - n);
  if (ItemCount > 0) std::memcpy(items, Items, sizeof(Item) * ItemCount);
  FreeBytes(Items);
  Items = items;
  ItemCapacity = n;
  return true;
}

int32_t TQZStringList::InsertAt(int32_t index, const TQZString& key,
                                uintptr_t data) {
  if (index < 0 || index > ItemCount) return -2;
  if (ItemCount == ItemCapacity) {
    int32_t r = Grow();
    if (r < 0) return r;
  }
  TQZString* s = new (std::nothrow) TQZString(key);
  if (!s) return -2;
  if (index < ItemCount)
    std::memmove(Items + index + 1, Items + index,
                 sizeof(Item) * (ItemCount - index));
  Items[index].String = s;
  Items[index].Data = data;
  ++ItemCount;
  return index;
}

void TQZStringList::DeleteRange(int32_t start, int32_t n) {
  if (start < 0 || n <= 0 || start >= ItemCount) return;
  if (n > ItemCount - start) n = ItemCount - start;
  int32_t end = start + n;
  if (OnDeletion.Function) {
    for (int32_t i = start; i < end; ++i) {
      try {
        OnDeletion.Function(OnDeletion.Context, *Items[i].String,
                            Items[i].Data);
      } catch (...) {
        // A failing observer must not keep the other items from being told.
      }
    }
  }
  for (int32_t i = start; i < end; ++i) delete Items[i].String;
  if (end < ItemCount)
    std::memmove(Items + start, Items + end, sizeof(Item) * (ItemCount - end));
  ItemCount -= n;
}

void TQZStringList::ClearUnlocked() {
  if (ItemCapacity == 0) return;
  DeleteRange(0, ItemCount);
  FreeBytes(Items);
  Items = nullptr;
  ItemCount = 0;
  ItemCapacity = 0;
}

int32_t TQZStringList::Add(const TQZString& key, uintptr_t data) {
  LockScope scope(ListLock(), true);
  try {
    if (!IsSorted) {
      IsOrdered = false;
      return InsertAt(ItemCount, key, data);
    }
    int32_t position;
    if (BinarySearch(key, data, 0, ItemCount - 1, position) &&
        !AllowDuplicates)
      return -1;
    return InsertAt(position, key, data);
  } catch (...) {
    return -2;
  }
}

void TQZStringList::Remove(const TQZString& key, uintptr_t data) {
  LockScope scope(ListLock(), true);
  try {
    if (IsSorted || IsOrdered) {
      int32_t position;
      if (BinarySearch(key, data, 0, ItemCount - 1, position))
        DeleteRange(position, 1);
    } else {
      int32_t i = LinearSearch(key, data, 0);
      if (i >= 0) DeleteRange(i, 1);
    }
  } catch (...) {
    // A comparison that throws leaves the list as it was.
  }
}

int32_t TQZStringList::Find(const TQZString& key, uintptr_t data,
                            uintptr_t* outData, int32_t start) {
  LockScope scope(ListLock(), false);
  if (start < 0) start = 0;
  if (outData) *outData = 0;
  try {
    int32_t index;
    if (IsSorted || IsOrdered) {
      if (!BinarySearch(key, data, start, ItemCount - 1, index)) return -1;
    } else {
      index = LinearSearch(key, data, start);
      if (index < 0) return -1;
    }
    if (outData) *outData = Items[index].Data;
    return index;
  } catch (...) {
    return -1;
  }
}

TQZString TQZStringList::GetString(int32_t index) {
  LockScope scope(ListLock(), false);
  if (index < 0 || index >= ItemCount) return TQZString();
  return *Items[index].String;
}

uintptr_t TQZStringList::GetData(int32_t index) {
  LockScope scope(ListLock(), false);
  if (index < 0 || index >= ItemCount) return 0;
  return Items[index].Data;
}

void TQZStringList::Clear() {
  LockScope scope(ListLock(), true);
  ClearUnlocked();
}

void TQZStringList::SetCapacity(int32_t n) {
  LockScope scope(ListLock(), true);
  SetCapacityUnlocked(n);
}

void TQZStringList::SetSorted(bool sorted) {
  LockScope scope(ListLock(), true);
  if (sorted == IsSorted) return;
  IsSorted = sorted;
  if (!sorted) {
    IsOrdered = true;
  } else if (!IsOrdered) {
    try {
      Sort(0, ItemCount - 1);
    } catch (...) {
      // The items keep the order the sort had reached.
    }
  }
}

void TQZStringList::SetDuplicates(bool duplicates) {
  LockScope scope(ListLock(), true);
  AllowDuplicates = duplicates;
}

void TQZStringList::SetCaseSensitive(bool caseSensitive) {
  LockScope scope(ListLock(), true);
  if (caseSensitive == IsCaseSensitive) return;
  IsCaseSensitive = caseSensitive;
  IsOrdered = false;
  if (IsSorted) {
    try {
      Sort(0, ItemCount - 1);
    } catch (...) {
      // As in SetSorted: the partial order stays.
    }
  }
}

void TQZStringList::AssignList(TQZStringList& source) {
  if (&source == this) return;

  Item* items = nullptr;
  int32_t count;
  int32_t capacity;
  int32_t delta;
  bool sorted;
  bool ordered;
  bool duplicates;
  bool caseSensitive;
  TQZCompareCallback compare;
  {
    // Only the source's lock is held here and only this list's below, so two
    // lists assigned to each other from two threads cannot deadlock.
    LockScope scope(source.ListLock(), false);
    count = source.ItemCount;
    capacity = source.ItemCapacity;
    delta = source.Delta;
    sorted = source.IsSorted;
    ordered = source.IsOrdered;
    duplicates = source.AllowDuplicates;
    caseSensitive = source.IsCaseSensitive;
    compare = source.OnCompare;
    if (capacity >= 1) {
      items = static_cast<Item*>(AllocateBytes(sizeof(Item) * capacity));
      for (int32_t i = 0; items && i < count; ++i) {
        items[i].String = new (std::nothrow) TQZString(*source.Items[i].String);
        items[i].Data = source.Items[i].Data;
        if (!items[i].String) {
          for (int32_t k = 0; k < i; ++k) delete items[k].String;
          FreeBytes(items);
          items = nullptr;
        }
      }
    }
  }

  LockScope scope(ListLock(), true);
  ClearUnlocked();
  if (items) {
    Items = items;
    ItemCount = count;
    ItemCapacity = capacity;
  }
  Delta = delta;
  IsSorted = sorted;
  IsOrdered = ordered;
  AllowDuplicates = duplicates;
  IsCaseSensitive = caseSensitive;
  OnCompare = compare;
  OnDeletion = TQZDeletionCallback();
}

TQZRecordList::TQZRecordList(int32_t recordSize, bool threadSafe)
    : Size(recordSize > 0 ? recordSize : 4) {
  if (threadSafe) Lock = new TQZMRWLock();
}

// The subclass has already been destroyed here, so FreeRecord cannot be
// called: a subclass that owns resources clears the list in its destructor.
TQZRecordList::~TQZRecordList() {
  FreeBytes(Items);
  Items = nullptr;
  delete Lock;
  Lock = nullptr;
}

int32_t TQZRecordList::Count() const {
  LockScope scope(Lock, false);
  return ItemCount;
}

int32_t TQZRecordList::Capacity() const {
  LockScope scope(Lock, false);
  return ItemCapacity;
}

bool TQZRecordList::Sorted() const {
  LockScope scope(Lock, false);
  return IsSorted;
}

bool TQZRecordList::Ordered() const {
  LockScope scope(Lock, false);
  return IsOrdered;
}

bool TQZRecordList::Duplicates() const {
  LockScope scope(Lock, false);
  return AllowDuplicates;
}

void* TQZRecordList::RecordAt(int32_t index) const {
  if (index < 0 || index >= ItemCount) return nullptr;
  return Items + static_cast<size_t>(index) * Size;
}

bool TQZRecordList::BinarySearch(const void* key, int32_t lo, int32_t hi,
                                 int32_t& position) {
  return SortedSearch([&](int32_t i) { return CompareRecords(key, RecordAt(i)); },
                      AllowDuplicates, lo, hi, position);
}

void TQZRecordList::Sort(int32_t lo, int32_t hi, char* temp) {
  const size_t size = static_cast<size_t>(Size);
  SortRange(
      [this](int32_t i, int32_t j) {
        return CompareRecords(RecordAt(i), RecordAt(j));
      },
      [&](int32_t i, int32_t j) {
        char* a = Items + static_cast<size_t>(i) * size;
        char* b = Items + static_cast<size_t>(j) * size;
        std::memcpy(temp, a, size);
        std::memcpy(a, b, size);
        std::memcpy(b, temp, size);
      },
      lo, hi);
}

int32_t TQZRecordList::Grow() {
  int32_t target = GrowthTarget(Delta, ItemCapacity, MaxCapacity());
  if (target < 0) return target;
  return SetCapacityUnlocked(target) ? 0 : -2;
}

bool TQZRecordList::SetCapacityUnlocked(int32_t n) {
  const int32_t limit = MaxCapacity();
  if (n < 0) n = 0;
  if (n > limit) n = limit;
  if (n == ItemCapacity) return true;
  if (n == 0) {
    ClearUnlocked();
    return true;
  }
  const size_t size = static_cast<size_t>(Size);
  char* items = static_cast<char*>(AllocateBytes(size * n));
  if (!items) return false;
  if (n < ItemCount) DeleteRange(n, ItemCount - n);
  if (ItemCount > 0) std::memcpy(items, Items, size * ItemCount);
  FreeBytes(Items);
  Items = items;
  ItemCapacity = n;
  return true;
}

int32_t TQZRecordList::InsertAt(int32_t index, const void* record) {
  if (index < 0 || index > ItemCount) return -2;
  if (ItemCount == ItemCapacity) {
    int32_t r = Grow();
    if (r < 0) return r;
  }
  const size_t size = static_cast<size_t>(Size);
  char* slot = Items + static_cast<size_t>(index) * size;
  if (index < ItemCount)
    std::memmove(slot + size, slot, size * (ItemCount - index));
  if (record)
    std::memcpy(slot, record, size);
  else
    std::memset(slot, 0, size);
  if (!IsSorted) IsOrdered = false;
  ++ItemCount;
  return index;
}

void TQZRecordList::DeleteRange(int32_t start, int32_t n) {
  if (start < 0 || n <= 0 || start >= ItemCount) return;
  if (n > ItemCount - start) n = ItemCount - start;
  int32_t end = start + n;
  for (int32_t i = start; i < end; ++i) {
    try {
      FreeRecord(RecordAt(i));
    } catch (...) {
      // The write lock is held; the remaining records are still released.
    }
  }
  const size_t size = static_cast<size_t>(Size);
  if (end < ItemCount)
    std::memmove(Items + static_cast<size_t>(start) * size,
                 Items + static_cast<size_t>(end) * size,
                 size * (ItemCount - end));
  ItemCount -= n;
}

void TQZRecordList::ClearUnlocked() {
  if (ItemCapacity == 0) return;
  DeleteRange(0, ItemCount);
  FreeBytes(Items);
  Items = nullptr;
  ItemCount = 0;
  ItemCapacity = 0;
}

void TQZRecordList::SetCapacity(int32_t n) {
  LockScope scope(ListLock(), true);
  SetCapacityUnlocked(n);
}

void TQZRecordList::SetSorted(bool sorted) {
  LockScope scope(ListLock(), true);
  if (sorted == IsSorted) return;
  IsSorted = sorted;
  if (!sorted) {
    IsOrdered = true;
    return;
  }
  if (IsOrdered || ItemCount < 2) return;
  char* temp = static_cast<char*>(AllocateBytes(static_cast<size_t>(Size)));
  if (!temp) return;
  try {
    Sort(0, ItemCount - 1, temp);
  } catch (...) {
    // The records keep the order the sort had reached.
  }
  FreeBytes(temp);
}

void TQZRecordList::SetDuplicates(bool duplicates) {
  LockScope scope(ListLock(), true);
  AllowDuplicates = duplicates;
}

void TQZRecordList::Clear() {
  LockScope scope(ListLock(), true);
  ClearUnlocked();
}

TQZCodeList::TQZCodeList(bool threadSafe)
    : TQZRecordList(static_cast<int32_t>(sizeof(Record)), threadSafe) {
  SetSorted(true);
  SetDuplicates(false);
}

TQZCodeList::~TQZCodeList() { Clear(); }

int32_t TQZCodeList::CompareRecords(const void* a, const void* b) {
  int32_t x = static_cast<const Record*>(a)->Code;
  int32_t y = static_cast<const Record*>(b)->Code;
  return x < y ? -1 : (x > y ? 1 : 0);
}

void TQZCodeList::FreeRecord(void* record) {
  Record* r = static_cast<Record*>(record);
  delete r->Text;
  r->Text = nullptr;
}

int32_t TQZCodeList::Add(int32_t code, const TQZString& text) {
  LockScope scope(ListLock(), true);
  Record record;
  record.Code = code;
  record.Text = nullptr;
  int32_t position;
  if (BinarySearch(&record, 0, CountUnlocked() - 1, position)) return -1;
  record.Text = new (std::nothrow) TQZString(text);
  if (!record.Text) return -2;
  int32_t r = InsertAt(position, &record);
  if (r < 0) delete record.Text;
  return r;
}

int32_t TQZCodeList::IndexOfCode(int32_t code) {
  LockScope scope(ListLock(), false);
  return IndexOfCodeUnlocked(code);
}

int32_t TQZCodeList::IndexOfCodeUnlocked(int32_t code) {
  Record key;
  key.Code = code;
  key.Text = nullptr;
  int32_t position;
  return BinarySearch(&key, 0, CountUnlocked() - 1, position) ? position : -1;
}

TQZString TQZCodeList::GetText(int32_t code) {
  LockScope scope(ListLock(), false);
  int32_t index = IndexOfCodeUnlocked(code);
  if (index < 0) return TQZString();
  const Record* r = static_cast<const Record*>(RecordAt(index));
  return r->Text ? *r->Text : TQZString();
}

int32_t TQZCodeList::CodeAt(int32_t index) const {
  LockScope scope(ListLock(), false);
  const Record* r = static_cast<const Record*>(RecordAt(index));
  return r ? r->Code : 0;
}
