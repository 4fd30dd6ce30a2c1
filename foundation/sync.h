// Critical section, event and multi-reader lock.
#ifndef QZ_FOUNDATION_SYNC_H
#define QZ_FOUNDATION_SYNC_H

#include <cstdint>

#include "foundation/thread_annotations.h"

// A critical section. It is recursive on every platform, as Win32's is: the
// thread that owns it may enter it again, and it is free once that thread
// has left it as many times as it entered.
class QZ_CAPABILITY("mutex") TQZCritSect {
 public:
  TQZCritSect();
  virtual ~TQZCritSect();
  TQZCritSect(const TQZCritSect&) = delete;
  TQZCritSect& operator=(const TQZCritSect&) = delete;

  void Enter() QZ_ACQUIRE();
  void Leave() QZ_RELEASE();

 private:
  // Holds the platform's critical section (CRITICAL_SECTION or a mutex).
  alignas(16) unsigned char Storage[64];
};

// Holds a critical section for one scope.
class QZ_SCOPED_CAPABILITY TQZCritSectGuard {
 public:
  explicit TQZCritSectGuard(TQZCritSect& cs) QZ_ACQUIRE(cs) : Cs(cs) { Cs.Enter(); }
  ~TQZCritSectGuard() QZ_RELEASE() { Cs.Leave(); }
  TQZCritSectGuard(const TQZCritSectGuard&) = delete;
  TQZCritSectGuard& operator=(const TQZCritSectGuard&) = delete;

 private:
  TQZCritSect& Cs;
};

class TQZEvent {
 public:
  // mode 0: auto-reset; any other value: manual reset; mode 2 never starts
  // signalled. A non-empty name creates a named event with
  // AllAccessAttributes.
  TQZEvent(const char* name, int32_t mode, bool initiallySignalled);
  virtual ~TQZEvent();
  TQZEvent(const TQZEvent&) = delete;
  TQZEvent& operator=(const TQZEvent&) = delete;

  // An auto-reset event releases one waiting thread per Set, so two Sets
  // release two waiters even when they come back to back; with no thread
  // waiting it stays signalled until one arrives. A manual-reset event
  // releases every thread waiting at the Set, even if a Reset follows at once.
  void Set();
  // Makes the event not signalled; threads a Set has already released stay
  // released.
  void Reset();
  // Waits without a time-out; true only when the event was signalled.
  bool Wait();
  // Waits at most the given time (0xFFFFFFFF: without a time-out). True when
  // the event was signalled (an auto-reset event is then reset); false on
  // time-out, or at once when the event could not be created.
  bool WaitFor(uint32_t milliseconds);
  // Takes the signal if the event is signalled, without waiting.
  bool TryWait();

  // The event handle; null when creation failed.
  void* Handle;
};

struct TQZMRWLockCounters {
  int32_t ActiveReaders;
  int32_t WriterState;
  int32_t WaitingReaders;
  int32_t WaitingWriters;
};

// Multi-reader, single-writer lock. Holds are not re-entrant.
//
// Policy: a writer waits while any read hold is out or another writer holds
// the lock. A new reader queues behind a writer that holds the lock and
// behind any writer that waits. When the last reader leaves, a waiting
// writer gets the lock. When a writer leaves, the lock goes to the next
// writer only while strictly more writers than readers wait, and at most
// twice in a row past waiting readers: then every reader waiting at that
// moment is admitted as one batch. So once a reader waits, at most three
// writers hold the lock before it does, however many writers keep coming.
class TQZMRWLock {
 public:
  TQZMRWLock();
  // Closes the lock (see Close); a hold still out at this point is the
  // owner's error, given a short grace period to end.
  virtual ~TQZMRWLock();
  TQZMRWLock(const TQZMRWLock&) = delete;
  TQZMRWLock& operator=(const TQZMRWLock&) = delete;

  // True when the hold is granted; false when the lock is closed or the
  // wait failed, and the caller then has no hold.
  bool LockRead();
  bool LockWrite();
  // Without a matching hold, or on a closed lock, these change nothing.
  void UnlockRead();
  void UnlockWrite();

  // Marks the lock closed, so later lock calls fail at once, and wakes every
  // thread waiting in LockRead or LockWrite, whose call then fails. Returns
  // once none of them is still inside the lock, so the lock may then be
  // destroyed; a thread whose call failed must not touch it again.
  void Close();

  // The four counters, read under the lock's critical section.
  TQZMRWLockCounters Counters();

 private:
  friend struct TQZMRWLockTesting;
  // Marks the lock closed and wakes the waiting threads; true when it was
  // held or waited on (false when it was closed already).
  bool MarkClosed();
  // Returns once no woken thread is still inside the lock.
  void AwaitSleepers();
  // A thread back from a wait; true when the lock is closed.
  bool LeaveSleep(TQZEvent& event, int32_t& sleepers);

  TQZCritSect Cs;
  TQZEvent ReaderEvent;
  TQZEvent WriterEvent;
  // Manual reset: set when the last woken thread has left a closed lock.
  TQZEvent DrainEvent;
  int32_t ActiveReaders = 0;
  int32_t WriterState = 0;
  int32_t WaitingReaders = 0;
  int32_t WaitingWriters = 0;
  // Threads between deciding to wait on an event and coming back from it.
  int32_t ReaderSleepers = 0;
  int32_t WriterSleepers = 0;
  // Writers handed the lock in a row while readers waited.
  int32_t WritersPastReaders = 0;
};

// Suspends the calling thread for at least the given time.
void SleepMilliseconds(uint32_t milliseconds);

// SECURITY_ATTRIBUTES with a null DACL, used for named events; null on
// platforms without security descriptors.
void* AllAccessAttributes();

#endif  // QZ_FOUNDATION_SYNC_H
