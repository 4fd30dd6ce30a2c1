// A log file of stamped lines with size-based rotation.
#ifndef QZ_FOUNDATION_LOG_FILE_H
#define QZ_FOUNDATION_LOG_FILE_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "foundation/string.h"
#include "foundation/sync.h"

// Appends whole lines, each of the form
//   YYYY-MM-DD HH:MM:SS.mmm [thread id] text
// in local time, the thread id in decimal, ended by CR LF on Windows and LF
// elsewhere. Text holding line breaks becomes one stamped line per part,
// written together. Any thread may write; every line is handed to the
// operating system before the call returns, with one write per call.
//
// When the next write would take the file past MaxSize bytes, "name.log"
// becomes "name.1.log" (and ".1" becomes ".2" and so on; the oldest beyond
// KeptFiles is removed) and a fresh "name.log" is started. A write is never
// split between two files; one longer than MaxSize goes whole into a fresh
// file. When a rotation cannot be done (an old file held open by another
// program), the lines stay in the current file and the rotation is tried
// again a second later.
//
// A write that fails never throws: its lines are counted as dropped, and
// the next write that succeeds starts with a line saying how many were
// dropped. The file is opened again for the next write, so a folder that
// reappears or a lock that ends lets writing resume.
//
// Readers may open the file while it is written. On Windows several
// processes may append to one file: each write holds a lock named after
// the file, so that it goes to the end, and one process at a time rotates
// it, the others following to the fresh file. A write waits at most two
// seconds for that lock and then writes without it; after such a wait the
// lock is only tried, without waiting, for the next ten seconds, so a hung
// holder slows no writer down.
class TQZLogFile {
 public:
  static constexpr uint64_t DefaultMaxSize = 10 * 1024 * 1024;
  static constexpr int32_t DefaultKeptFiles = 5;

  // A KeptFiles below 1 keeps one old file, and a MaxSize of 0 means the
  // default. Nothing is opened before the first write.
  explicit TQZLogFile(const TQZString& fileName,
                      uint64_t maxSize = DefaultMaxSize,
                      int32_t keptFiles = DefaultKeptFiles);
  virtual ~TQZLogFile();
  TQZLogFile(const TQZLogFile&) = delete;
  TQZLogFile& operator=(const TQZLogFile&) = delete;

  // False when the text was dropped.
  bool Write(const char* text, size_t length);
  bool Write(const TQZString& text);
  bool Print(const char* format, ...) QZ_PRINTF_FORMAT(2, 3);
  bool PrintV(const char* format, va_list args);

  // The name of old file number index (1 the newest): "a.log" gives
  // "a.3.log", a name without an extension "a.3".
  TQZString OldFileName(int32_t index) const;

  const TQZString& FileName() const { return Name; }
  uint64_t MaxSize() const { return Limit; }
  int32_t KeptFiles() const { return Kept; }
  // Lines dropped since the last dropped-lines report was written.
  uint64_t PendingDropped();

 private:
  struct TQZLogState;

  // Writes the composed record under the lock; false when it was dropped.
  bool WriteRecord(const char* record, size_t length, uint32_t lines);
  // The write once the rotation guard is held, or known not to be needed
  // (mayLock: the guard may still be taken for a rotation).
  bool WriteHeld(const char* record, size_t length, uint32_t lines,
                 bool guardHeld, bool mayLock);
  // Takes the rotation guard, waiting a bounded time unless a wait has
  // timed out lately.
  bool LockGuard();
  // Opens the file, again when another writer has rotated it.
  bool EnsureOpen();
  // Whether a record of length bytes fits below the limit.
  bool Fits(size_t length);
  void RotateIfFull(size_t length, bool guardHeld, bool mayLock);
  bool Rotate();
  void CloseFile();

  TQZString Name;
  uint64_t Limit;
  int32_t Kept;
  TQZCritSect Lock;
  TQZLogState* State;
};

// Appends the stamp "YYYY-MM-DD HH:MM:SS.mmm [thread] " for the given local
// time and thread to buffer, which holds at least 48 bytes; returns its length.
struct TQZLogTime {
  int32_t Year, Month, Day, Hour, Minute, Second, Millisecond;
};
size_t FormatLogStamp(const TQZLogTime& time, uint32_t thread, char* buffer);

#endif  // QZ_FOUNDATION_LOG_FILE_H
