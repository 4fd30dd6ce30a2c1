// Critical section and event on POSIX threads; no security attributes.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "foundation/sync.h"

namespace {

std::mutex* Mutex(unsigned char* storage) {
  return std::launder(reinterpret_cast<std::mutex*>(storage));
}

// What an event handle points to: a signalled flag under a mutex. An
// auto-reset event hands each signal to exactly one waiter.
struct TQZPosixEvent {
  std::mutex Mutex;
  std::condition_variable Signal;
  bool ManualReset;
  bool Signalled;
};

TQZPosixEvent* EventOf(void* handle) {
  return static_cast<TQZPosixEvent*>(handle);
}

}  // namespace

TQZCritSect::TQZCritSect() {
  static_assert(sizeof(std::mutex) <= sizeof(Storage),
                "critical section storage too small");
  static_assert(alignof(std::mutex) <= 16, "critical section storage misaligned");
  new (Storage) std::mutex;
}

TQZCritSect::~TQZCritSect() { Mutex(Storage)->~mutex(); }

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
  event->Signalled = true;
  if (event->ManualReset) {
    event->Signal.notify_all();
  } else {
    event->Signal.notify_one();
  }
}

bool TQZEvent::Wait() {
  TQZPosixEvent* event = EventOf(Handle);
  if (event == nullptr) return false;
  std::unique_lock<std::mutex> lock(event->Mutex);
  event->Signal.wait(lock, [event] { return event->Signalled; });
  if (!event->ManualReset) event->Signalled = false;
  return true;
}

bool TQZEvent::TryWait() {
  TQZPosixEvent* event = EventOf(Handle);
  if (event == nullptr) return false;
  std::lock_guard<std::mutex> lock(event->Mutex);
  if (!event->Signalled) return false;
  if (!event->ManualReset) event->Signalled = false;
  return true;
}

void SleepMilliseconds(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void* AllAccessAttributes() { return nullptr; }
