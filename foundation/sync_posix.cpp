// Critical section and event on POSIX threads; no security attributes.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "foundation/sync.h"

namespace {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

std::recursive_mutex* Mutex(unsigned char* storage) {
  return std::launder(reinterpret_cast<std::recursive_mutex*>(storage));
}

// What an event handle points to: the event's state under a mutex.
//
// An auto-reset event hands a Set to one waiting thread as a release of its
// own, as a Win32 event does: a flag alone would let a second Set fall on a
// flag the first waiter has not taken yet, and that wake-up would be lost.
// Waiting + Releases is the number of threads inside a wait; a Set with
// nobody waiting leaves the event signalled for the next wait.
//
// A manual-reset event counts its Sets, so that a thread waiting at a Set is
// released even when a Reset comes before it runs.
struct TQZPosixEvent {
  std::mutex Mutex;
  std::condition_variable Signal;
  bool ManualReset = false;
  bool Signalled = false;
  uint32_t Waiting = 0;
  uint32_t Releases = 0;
  uint64_t Sets = 0;
};

TQZPosixEvent* EventOf(void* handle) {
  return static_cast<TQZPosixEvent*>(handle);
}

// Waits until released or, unless milliseconds is kInfinite, the time has
// passed; true when released.
bool WaitOn(TQZPosixEvent* event, uint32_t milliseconds) {
  if (event == nullptr) return false;
  std::unique_lock<std::mutex> lock(event->Mutex);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  if (event->ManualReset) {
    const uint64_t sets = event->Sets;
    auto released = [event, sets] { return event->Signalled || event->Sets != sets; };
    if (milliseconds == kInfinite) {
      event->Signal.wait(lock, released);
      return true;
    }
    return event->Signal.wait_until(lock, deadline, released);
  }
  if (event->Signalled) {
    event->Signalled = false;
    return true;
  }
  if (milliseconds == 0) return false;
  ++event->Waiting;
  auto released = [event] { return event->Releases > 0; };
  if (milliseconds == kInfinite) {
    event->Signal.wait(lock, released);
  } else if (!event->Signal.wait_until(lock, deadline, released)) {
    // Timed out with no release left: this thread stops counting as waiting,
    // so that no later Set is handed to it.
    --event->Waiting;
    return false;
  }
  --event->Releases;
  return true;
}

}  // namespace

TQZCritSect::TQZCritSect() {
  static_assert(sizeof(std::recursive_mutex) <= sizeof(Storage),
                "critical section storage too small");
  static_assert(alignof(std::recursive_mutex) <= 16,
                "critical section storage misaligned");
  new (Storage) std::recursive_mutex;
}

TQZCritSect::~TQZCritSect() { Mutex(Storage)->~recursive_mutex(); }

void TQZCritSect::Enter() { Mutex(Storage)->lock(); }

void TQZCritSect::Leave() { Mutex(Storage)->unlock(); }

// Names have no meaning here: every event is private to the process.
TQZEvent::TQZEvent(const char* /*name*/, int32_t mode, bool initiallySignalled) {
  TQZPosixEvent* event = new (std::nothrow) TQZPosixEvent;
  if (event != nullptr) {
    event->ManualReset = mode != 0;
    event->Signalled = initiallySignalled && mode != 2;
  }
  Handle = event;
}

TQZEvent::~TQZEvent() { delete EventOf(Handle); }

void TQZEvent::Set() {
  TQZPosixEvent* event = EventOf(Handle);
  if (event == nullptr) return;
  std::lock_guard<std::mutex> lock(event->Mutex);
  if (event->ManualReset) {
    event->Signalled = true;
    ++event->Sets;
    event->Signal.notify_all();
  } else if (event->Waiting > 0) {
    --event->Waiting;
    ++event->Releases;
    event->Signal.notify_one();
  } else {
    event->Signalled = true;
  }
}

void TQZEvent::Reset() {
  TQZPosixEvent* event = EventOf(Handle);
  if (event == nullptr) return;
  std::lock_guard<std::mutex> lock(event->Mutex);
  event->Signalled = false;
}

bool TQZEvent::Wait() { return WaitOn(EventOf(Handle), kInfinite); }

bool TQZEvent::WaitFor(uint32_t milliseconds) {
  return WaitOn(EventOf(Handle), milliseconds);
}

bool TQZEvent::TryWait() { return WaitOn(EventOf(Handle), 0); }

void SleepMilliseconds(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void* AllAccessAttributes() { return nullptr; }
