// Multi-reader, single-writer lock on one critical section and two events.
#include "foundation/sync.h"

#include "foundation/sync_testing.h"

namespace {

constexpr int32_t kClosed = -1;
constexpr uint32_t kCloseGraceMilliseconds = 10;

TQZSleepFunction CloseSleep = &SleepMilliseconds;

}  // namespace

TQZSleepFunction SetCloseSleepForTesting(TQZSleepFunction sleep) {
  TQZSleepFunction previous = CloseSleep;
  CloseSleep = sleep != nullptr ? sleep : &SleepMilliseconds;
  return previous;
}

TQZMRWLock::TQZMRWLock()
    : ReaderEvent(nullptr, 0, false), WriterEvent(nullptr, 0, false) {}

TQZMRWLock::~TQZMRWLock() {
  // Holders still inside get a short grace period to leave before the events
  // and the critical section go away (members are destroyed in reverse
  // order: WriterEvent, ReaderEvent, then Cs).
  if (MarkClosed()) CloseSleep(kCloseGraceMilliseconds);
}

bool TQZMRWLock::MarkClosed() {
  TQZCritSectGuard guard(Cs);
  const bool busy = ActiveReaders > 0 || WriterState == 1 ||
                    WaitingReaders > 0 || WaitingWriters > 0;
  ActiveReaders = kClosed;
  return busy;
}

bool TQZMRWLock::LockRead() {
  {
    TQZCritSectGuard guard(Cs);
    if (ActiveReaders == kClosed) return false;
    if (WriterState != 1 && WaitingWriters <= 0) {
      ++ActiveReaders;
      return true;
    }
    ++WaitingReaders;
  }
  // A failed wait leaves the waiting count as it is: nobody can tell whether
  // a releasing thread has already counted this reader in.
  if (!ReaderEvent.Wait()) return false;

  // The thread that signalled has already counted this reader; it only
  // passes the admission on to the next reader of the batch.
  TQZCritSectGuard guard(Cs);
  // A reader woken after the close gets no hold, but still wakes the next
  // reader of its batch, which would otherwise wait for ever.
  const bool closed = ActiveReaders == kClosed;
  if (WriterState < 0) {
    ++WriterState;
    if (!closed) ++ActiveReaders;
    --WaitingReaders;
    ReaderEvent.Set();
  }
  return !closed;
}

bool TQZMRWLock::LockWrite() {
  {
    TQZCritSectGuard guard(Cs);
    if (ActiveReaders == kClosed) return false;
    if (WriterState != 1 && ActiveReaders <= 0) {
      WriterState = 1;
      return true;
    }
    ++WaitingWriters;
  }
  // The releasing thread makes this writer the holder before it signals.
  return WriterEvent.Wait();
}

void TQZMRWLock::UnlockRead() {
  TQZCritSectGuard guard(Cs);
  if (ActiveReaders <= 0) return;
  if (--ActiveReaders != 0) return;
  if (WaitingWriters > 0) {
    --WaitingWriters;
    WriterState = 1;
    WriterEvent.Set();
    return;
  }
  if (WriterState == 0) WriterState = -WaitingReaders;
  if (WriterState < 0) {
    ++WriterState;
    ActiveReaders = 1;
    --WaitingReaders;
    ReaderEvent.Set();
  }
}

void TQZMRWLock::UnlockWrite() {
  TQZCritSectGuard guard(Cs);
  // A closed lock stays closed: admitting readers here would count them on
  // top of the closed mark and open the lock again.
  if (WriterState != 1 || ActiveReaders == kClosed) return;
  if (WaitingWriters > WaitingReaders) {
    --WaitingWriters;
    WriterEvent.Set();
    return;
  }
  // The waiting readers are admitted one after another: each one admits the
  // next while WriterState counts the rest, so no signal meets an event that
  // is already signalled.
  WriterState = -WaitingReaders;
  if (WriterState < 0) {
    ++WriterState;
    ++ActiveReaders;
    --WaitingReaders;
    ReaderEvent.Set();
  }
}

TQZMRWLockCounters TQZMRWLock::Counters() {
  TQZCritSectGuard guard(Cs);
  return {ActiveReaders, WriterState, WaitingReaders, WaitingWriters};
}
