// Replacement global operator new and delete that count and fail on request.
#include "tests/foundation/alloc_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

#if defined(_WIN32)
#include <malloc.h>
#endif

namespace {

// Constant-initialised, so allocations made by static initialisers of any
// module already find them ready.
std::atomic<bool> Counting{false};
std::atomic<int> Calls{0};
std::atomic<size_t> LastRequest{0};
std::atomic<int> FailuresLeft{0};

// Counts the call and tells whether it is one of the calls meant to fail.
bool RecordCall(size_t size) {
  if (Counting.load()) {
    Calls.fetch_add(1);
    LastRequest.store(size);
  }
  int left = FailuresLeft.load();
  while (left > 0) {
    if (FailuresLeft.compare_exchange_weak(left, left - 1)) return true;
  }
  return false;
}

// alignment 0 stands for the plain forms, which use malloc and free.
void* Allocate(size_t size, size_t alignment) {
  if (size == 0) size = 1;
  if (alignment == 0) return std::malloc(size);
#if defined(_WIN32)
  return _aligned_malloc(size, alignment);
#else
  if (alignment < sizeof(void*)) alignment = sizeof(void*);
  void* memory = nullptr;
  return posix_memalign(&memory, alignment, size) == 0 ? memory : nullptr;
#endif
}

void Free(void* memory, size_t alignment) {
#if defined(_WIN32)
  if (alignment != 0) {
    _aligned_free(memory);
    return;
  }
#endif
  (void)alignment;
  std::free(memory);
}

// Calls the new handler while the heap refuses; null once there is none.
void* AllocateWithHandler(size_t size, size_t alignment) {
  for (;;) {
    void* memory = Allocate(size, alignment);
    if (memory != nullptr) return memory;
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) return nullptr;
    handler();
  }
}

void* NewOrThrow(size_t size, size_t alignment) {
  if (RecordCall(size)) throw std::bad_alloc();
  void* memory = AllocateWithHandler(size, alignment);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void* NewOrNull(size_t size, size_t alignment) noexcept {
  if (RecordCall(size)) return nullptr;
  try {
    return AllocateWithHandler(size, alignment);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

void AllocationCounter::Reset() {
  Calls.store(0);
  LastRequest.store(0);
}
void AllocationCounter::Start() { Counting.store(true); }
void AllocationCounter::Stop() { Counting.store(false); }
int AllocationCounter::Count() { return Calls.load(); }
size_t AllocationCounter::LastSize() { return LastRequest.load(); }
void AllocationCounter::FailNextAllocations(int n) { FailuresLeft.store(n < 0 ? 0 : n); }
int AllocationCounter::PendingFailures() { return FailuresLeft.load(); }

void* operator new(size_t size) { return NewOrThrow(size, 0); }
void* operator new[](size_t size) { return NewOrThrow(size, 0); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return NewOrNull(size, 0); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return NewOrNull(size, 0); }
void* operator new(size_t size, std::align_val_t alignment) {
  return NewOrThrow(size, static_cast<size_t>(alignment));
}
void* operator new[](size_t size, std::align_val_t alignment) {
  return NewOrThrow(size, static_cast<size_t>(alignment));
}
void* operator new(size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return NewOrNull(size, static_cast<size_t>(alignment));
}
void* operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return NewOrNull(size, static_cast<size_t>(alignment));
}

void operator delete(void* p) noexcept { Free(p, 0); }
void operator delete[](void* p) noexcept { Free(p, 0); }
void operator delete(void* p, size_t) noexcept { Free(p, 0); }
void operator delete[](void* p, size_t) noexcept { Free(p, 0); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Free(p, 0); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Free(p, 0); }
void operator delete(void* p, std::align_val_t a) noexcept { Free(p, static_cast<size_t>(a)); }
void operator delete[](void* p, std::align_val_t a) noexcept { Free(p, static_cast<size_t>(a)); }
void operator delete(void* p, size_t, std::align_val_t a) noexcept {
  Free(p, static_cast<size_t>(a));
}
void operator delete[](void* p, size_t, std::align_val_t a) noexcept {
  Free(p, static_cast<size_t>(a));
}
void operator delete(void* p, std::align_val_t a, const std::nothrow_t&) noexcept {
  Free(p, static_cast<size_t>(a));
}
void operator delete[](void* p, std::align_val_t a, const std::nothrow_t&) noexcept {
  Free(p, static_cast<size_t>(a));
}
