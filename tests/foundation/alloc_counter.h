// Counting and failing global allocations in the foundation test binary.
//
// alloc_counter.cpp replaces every form of the global operator new and delete.
//   AllocationCounter::Reset()   zero the count and the last size
//   AllocationCounter::Start()   / Stop()  count operator new calls (off by default)
//   AllocationCounter::Count()   operator new calls while counting since Reset,
//                                failed ones included
//   AllocationCounter::LastSize() size asked for by the last counted call
//   AllocationCounter::FailNextAllocations(n)  the next n calls fail: the
//                                nothrow forms return null, the others throw
//                                std::bad_alloc (whether counting or not);
//                                FailNextAllocations(0) cancels what is left
// ScopedAllocationCount counts during its lifetime; ScopedAllocationFailure
// fails the next n calls and cancels what is left when it ends. All of it is
// process-wide and thread-safe; keep the counted region free of gtest asserts,
// which allocate.
#ifndef QZ_TESTS_FOUNDATION_ALLOC_COUNTER_H
#define QZ_TESTS_FOUNDATION_ALLOC_COUNTER_H

#include <cstddef>

class AllocationCounter {
 public:
  static void Reset();
  static void Start();
  static void Stop();
  static int Count();
  static size_t LastSize();
  static void FailNextAllocations(int n);
  // Pending failures not yet consumed.
  static int PendingFailures();
};

class ScopedAllocationCount {
 public:
  ScopedAllocationCount() {
    AllocationCounter::Reset();
    AllocationCounter::Start();
  }
  ~ScopedAllocationCount() { AllocationCounter::Stop(); }
  ScopedAllocationCount(const ScopedAllocationCount&) = delete;
  ScopedAllocationCount& operator=(const ScopedAllocationCount&) = delete;

  // Stops counting and returns the count, so that later asserts are not counted.
  int Stop() {
    AllocationCounter::Stop();
    return AllocationCounter::Count();
  }
};

class ScopedAllocationFailure {
 public:
  explicit ScopedAllocationFailure(int n) { AllocationCounter::FailNextAllocations(n); }
  ~ScopedAllocationFailure() { AllocationCounter::FailNextAllocations(0); }
  ScopedAllocationFailure(const ScopedAllocationFailure&) = delete;
  ScopedAllocationFailure& operator=(const ScopedAllocationFailure&) = delete;
};

#endif  // QZ_TESTS_FOUNDATION_ALLOC_COUNTER_H
