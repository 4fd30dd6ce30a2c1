// Critical section, event and multi-reader lock.
#ifndef QZ_FOUNDATION_SYNC_H
#define QZ_FOUNDATION_SYNC_H

#include <cstdint>

#include "foundation/thread_annotations.h"

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

  void Set();
  // Waits without a time-out; true only when the event was signalled.
  bool Wait();
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

// Multi-reader, single-writer lock. Writers are preferred over newly arriving
// readers; a tie on release goes to the waiting readers.
class TQZMRWLock {
 public:
  TQZMRWLock();
  // Marks the lock closed, so later lock calls fail at once.
  virtual ~TQZMRWLock();
  TQZMRWLock(const TQZMRWLock&) = delete;
  TQZMRWLock& operator=(const TQZMRWLock&) = delete;

  bool LockRead();
  bool LockWrite();
  void UnlockRead();
  void UnlockWrite();

  // The four counters, read under the lock's critical section.
  TQZMRWLockCounters Counters();

 private:
  friend struct TQZMRWLockTesting;
  // Marks the lock closed; true when it was held or waited on.
  bool MarkClosed();

  TQZCritSect Cs;
  TQZEvent ReaderEvent;
  TQZEvent WriterEvent;
  int32_t ActiveReaders = 0;
  int32_t WriterState = 0;
  int32_t WaitingReaders = 0;
  int32_t WaitingWriters = 0;
};

// Suspends the calling thread for at least the given time.
void SleepMilliseconds(uint32_t milliseconds);

// SECURITY_ATTRIBUTES with a null DACL, used for named events; null on
// platforms without security descriptors.
void* AllAccessAttributes();

#endif  // QZ_FOUNDATION_SYNC_H
