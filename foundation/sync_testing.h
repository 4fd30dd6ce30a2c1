// Test access to the multi-reader lock's internals and its closing pause.
#ifndef QZ_FOUNDATION_SYNC_TESTING_H
#define QZ_FOUNDATION_SYNC_TESTING_H

#include <cstdint>

#include "foundation/sync.h"

struct TQZMRWLockTesting {
  // Runs the destructor's closing step alone; true when the lock was busy.
  static bool MarkClosed(TQZMRWLock& lock) { return lock.MarkClosed(); }
  static TQZEvent& ReaderEvent(TQZMRWLock& lock) { return lock.ReaderEvent; }
  static TQZEvent& WriterEvent(TQZMRWLock& lock) { return lock.WriterEvent; }
};

using TQZSleepFunction = void (*)(uint32_t milliseconds);
// Replaces the pause a busy lock takes when it is destroyed; returns the
// function that was in place.
TQZSleepFunction SetCloseSleepForTesting(TQZSleepFunction sleep);

#endif  // QZ_FOUNDATION_SYNC_TESTING_H
