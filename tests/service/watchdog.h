// A bounded wait for the threaded service tests.
#ifndef QZ_TESTS_SERVICE_WATCHDOG_H
#define QZ_TESTS_SERVICE_WATCHDOG_H

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

// A wait that should end at once never takes this long; reaching it means a
// lost wake-up or a deadlock, and threads still use the test's objects, so
// the whole run is ended loudly rather than left hanging.
inline constexpr auto kWatchdog = std::chrono::seconds(60);

template <class Predicate>
void WaitOrAbort(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 Predicate done, const char* what) {
  if (!cv.wait_for(lock, kWatchdog, done)) {
    std::fprintf(stderr, "watchdog: gave up waiting for %s\n", what);
    std::fflush(stderr);
    std::abort();
  }
}

// For a condition that no condition variable announces: looked at every
// millisecond, within the same bound.
template <class Predicate>
void PollOrAbort(Predicate done, const char* what) {
  const auto end = std::chrono::steady_clock::now() + kWatchdog;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) {
      std::fprintf(stderr, "watchdog: gave up waiting for %s\n", what);
      std::fflush(stderr);
      std::abort();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

#endif  // QZ_TESTS_SERVICE_WATCHDOG_H
