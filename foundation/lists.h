// Sorted string list with data words, and the fixed-record code list.
#ifndef QZ_FOUNDATION_LISTS_H
#define QZ_FOUNDATION_LISTS_H

#include <cstdint>

#include "foundation/string.h"

class TQZMRWLock;

// Writes a negative, zero or positive result; the list sets it to 0 first.
// In searches a is the key and b the item.
struct TQZCompareCallback {
  void (*Function)(void* context, const TQZString& a, uintptr_t dataA,
                   const TQZString& b, uintptr_t dataB, bool caseSensitive,
                   int32_t& result) = nullptr;
  void* Context = nullptr;
};

// Told of an item before the list deletes it.
struct TQZDeletionCallback {
  void (*Function)(void* context, const TQZString& s, uintptr_t data) = nullptr;
  void* Context = nullptr;
};

// Array of (string, data word) items, kept sorted on request. Sorting (when
// Sorted is switched on, or the case rule of a sorted list changes) takes
// O(n log n) comparisons at most and a stack of O(log n); it is not stable:
// items with equal keys may stand in any order afterwards.
//
// A list made thread-safe owns a multi-reader lock: every public operation
// that reads the list takes its read lock and every one that changes it its
// write lock. ThreadSafe and ListLock take none, as what they read never
// changes after construction. Delta, OnCompare and OnDeletion are plain
// fields: set them before other threads use the list. Callbacks run under
// the lock and must not call the same list's operations.
class TQZStringList {
 public:
  static const int32_t MaxCapacity = 0x8000000;

  explicit TQZStringList(bool threadSafe = false);
  virtual ~TQZStringList();
  TQZStringList(const TQZStringList&) = delete;
  TQZStringList& operator=(const TQZStringList&) = delete;

  int32_t Count() const;
  int32_t Capacity() const;
  bool Sorted() const;
  bool Ordered() const;
  bool Duplicates() const;
  bool CaseSensitive() const;
  bool ThreadSafe() const { return Lock != nullptr; }
  // The owned lock, or null when the list is not thread-safe.
  TQZMRWLock* ListLock() const { return Lock; }

  // Index of the new item, or -1 duplicate refused, -2 bad index, no memory
  // or OnCompare threw, -3 full.
  int32_t Add(const TQZString& key, uintptr_t data = 0);
  void Remove(const TQZString& key, uintptr_t data = 0);
  int32_t Find(const TQZString& key, uintptr_t data, uintptr_t* outData,
               int32_t start = 0);
  int32_t Find(const TQZString& key) { return Find(key, 0, nullptr, 0); }
  TQZString GetString(int32_t index);
  uintptr_t GetData(int32_t index);
  void Clear();
  void SetCapacity(int32_t n);
  void SetSorted(bool sorted);
  void SetDuplicates(bool duplicates);
  void SetCaseSensitive(bool caseSensitive);
  void AssignList(TQZStringList& source);

  TQZCompareCallback OnCompare;
  TQZDeletionCallback OnDeletion;
  // -1 fixed capacity, 0 automatic growth, a positive value grows by that many.
  int32_t Delta = 0;

 private:
  struct Item {
    TQZString* String;
    uintptr_t Data;
  };
  int32_t CompareItems(const TQZString& a, uintptr_t dataA, const TQZString& b,
                       uintptr_t dataB);
  bool ItemEquals(const TQZString& key, uintptr_t data, const Item& item);
  bool BinarySearch(const TQZString& key, uintptr_t data, int32_t lo,
                    int32_t hi, int32_t& position);
  int32_t LinearSearch(const TQZString& key, uintptr_t data, int32_t start);
  void Sort(int32_t lo, int32_t hi);
  int32_t Grow();
  bool SetCapacityUnlocked(int32_t n);
  int32_t InsertAt(int32_t index, const TQZString& key, uintptr_t data);
  void DeleteRange(int32_t start, int32_t n);
  void ClearUnlocked();

  TQZMRWLock* Lock = nullptr;
  Item* Items = nullptr;
  int32_t ItemCapacity = 0;
  int32_t ItemCount = 0;
  bool IsSorted = false;
  bool IsOrdered = false;
  bool AllowDuplicates = true;
  bool IsCaseSensitive = false;
};

// Array of fixed-size records stored by value; the subclass compares and
// releases them. Sorting and locking as for TQZStringList; RecordSize,
// MaxCapacity, ThreadSafe and ListLock take no lock, as what they read never
// changes after construction, and neither does RecordAt (see there).
class TQZRecordList {
 public:
  TQZRecordList(int32_t recordSize, bool threadSafe);
  virtual ~TQZRecordList();
  TQZRecordList(const TQZRecordList&) = delete;
  TQZRecordList& operator=(const TQZRecordList&) = delete;

  virtual int32_t CompareRecords(const void* a, const void* b) = 0;
  virtual void FreeRecord(void* record) = 0;

  int32_t Count() const;
  int32_t Capacity() const;
  int32_t RecordSize() const { return Size; }
  int32_t MaxCapacity() const { return 0x20000000 / Size; }
  bool Sorted() const;
  bool Ordered() const;
  bool Duplicates() const;
  bool ThreadSafe() const { return Lock != nullptr; }
  TQZMRWLock* ListLock() const { return Lock; }

  void SetCapacity(int32_t n);
  void SetSorted(bool sorted);
  void SetDuplicates(bool duplicates);
  void Clear();
  // Address of the record at index, or null when out of range. Takes no
  // lock: no lock taken here could keep the address valid once it is
  // returned. The caller keeps the list from changing while it uses it; on a
  // thread-safe list, other threads read through the subclass's locked
  // operations instead.
  void* RecordAt(int32_t index) const;

  int32_t Delta = 0;

 protected:
  // For subclasses inside their own locked operations.
  int32_t CountUnlocked() const { return ItemCount; }
  int32_t InsertAt(int32_t index, const void* record);
  bool BinarySearch(const void* key, int32_t lo, int32_t hi, int32_t& position);

 private:
  int32_t Grow();
  bool SetCapacityUnlocked(int32_t n);
  void DeleteRange(int32_t start, int32_t n);
  void ClearUnlocked();
  void Sort(int32_t lo, int32_t hi, char* temp);

  TQZMRWLock* Lock = nullptr;
  char* Items = nullptr;
  int32_t Size;
  int32_t ItemCapacity = 0;
  int32_t ItemCount = 0;
  bool IsSorted = false;
  bool IsOrdered = false;
  bool AllowDuplicates = true;
};

// Sorted table from a signed 32-bit code to a text; duplicates refused.
class TQZCodeList : public TQZRecordList {
 public:
  explicit TQZCodeList(bool threadSafe = false);
  ~TQZCodeList() override;

  int32_t Add(int32_t code, const TQZString& text);
  TQZString GetText(int32_t code);
  // Index of the code, or -1.
  int32_t IndexOfCode(int32_t code);
  // Code of the record at index, or 0 when out of range.
  int32_t CodeAt(int32_t index) const;

  int32_t CompareRecords(const void* a, const void* b) override;
  void FreeRecord(void* record) override;

 private:
  struct Record {
    int32_t Code;
    TQZString* Text;
  };
  int32_t IndexOfCodeUnlocked(int32_t code);
};

#endif  // QZ_FOUNDATION_LISTS_H
