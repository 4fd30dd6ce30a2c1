// Multi-reader, single-writer lock on one critical section and two events.
#include "foundation/sync.h"

#include "foundation/sync_testing.h"

namespace {

constexpr int32_t kClosed = -1;
constexpr uint32_t kCloseGraceMilliseconds = 10;
// How often in a row a leaving writer may hand the lock to another writer
// while readers wait.
constexpr int32_t kMaxWritersPastReaders = 2;

TQZSleepFunction CloseSleep = &SleepMilliseconds;

}  // namespace

TQZSleepFunction SetCloseSleepForTesting(TQZSleepFunction sleep) {
  TQZSleepFunction previous = CloseSleep;
  CloseSleep = sleep != nullptr ? sleep : &SleepMilliseconds;
  return previous;
}

TQZMRWLock::TQZMRWLock()
    : ReaderEvent(nullptr, 0, false),
      WriterEvent(nullptr, 0, false),
      DrainEvent(nullptr, 1, false) {}

TQZMRWLock::~TQZMRWLock() {
  // Waiting threads are woken and gone before the members are destroyed;
  // holders still inside get a short grace period to leave before the events
  // and the critical section go away.
  const bool busy = MarkClosed();
  AwaitSleepers();
  if (busy) CloseSleep(kCloseGraceMilliseconds);
}

void TQZMRWLock::Close() {
  MarkClosed();
  AwaitSleepers();
}

bool TQZMRWLock::MarkClosed() {
  TQZCritSectGuard guard(Cs);
  if (ActiveReaders == kClosed) return false;
  const bool busy = ActiveReaders > 0 || WriterState == 1 ||
                    WaitingReaders > 0 || WaitingWriters > 0;
  ActiveReaders = kClosed;
  // One signal per event starts a chain: each woken thread passes it on while
  // others still sleep (see LeaveSleep).
  if (ReaderSleepers > 0) ReaderEvent.Set();
  if (WriterSleepers > 0) WriterEvent.Set();
  return busy;
}

void TQZMRWLock::AwaitSleepers() {
  for (;;) {
    {
      TQZCritSectGuard guard(Cs);
      if (ReaderSleepers == 0 && WriterSleepers == 0) return;
    }
    // The last sleeper sets the event inside the critical section, so once
    // the guard above is taken again, it has left the lock for good.
    if (!DrainEvent.WaitFor(100)) SleepMilliseconds(1);
  }
}

bool TQZMRWLock::LeaveSleep(TQZEvent& event, int32_t& sleepers) {
  --sleepers;
  if (ActiveReaders != kClosed) return false;
  if (sleepers > 0) event.Set();
  if (ReaderSleepers == 0 && WriterSleepers == 0) DrainEvent.Set();
  return true;
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
    ++ReaderSleepers;
  }
  const bool woken = ReaderEvent.Wait();

  TQZCritSectGuard guard(Cs);
  const bool closed = LeaveSleep(ReaderEvent, ReaderSleepers);
  // A failed wait leaves the waiting count as it is: nobody can tell whether
  // a releasing thread has already counted this reader in.
  if (!woken) return false;
  // The thread that signalled has already counted this reader; it only
  // passes the admission on to the next reader of the batch. A reader woken
  // after the close gets no hold, but still wakes the next reader of its
  // batch.
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
    ++WriterSleepers;
  }
  // The releasing thread makes this writer the holder before it signals.
  const bool woken = WriterEvent.Wait();
  TQZCritSectGuard guard(Cs);
  const bool closed = LeaveSleep(WriterEvent, WriterSleepers);
  return woken && !closed;
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
    WritersPastReaders = 0;
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
  if (WaitingWriters > WaitingReaders &&
      (WaitingReaders == 0 || WritersPastReaders < kMaxWritersPastReaders)) {
    if (WaitingReaders > 0) ++WritersPastReaders;
    --WaitingWriters;
    WriterEvent.Set();
    return;
  }
  WritersPastReaders = 0;
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
