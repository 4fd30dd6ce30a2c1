// The log file's operating-system calls on POSIX: one process appends, so
// the rotation guard is this object's own.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <new>

#include "foundation/log_file_os.h"

const char LogOsLineEnd[] = "\n";

namespace {

struct TQZPosixLogFile {
  int Fd;
};

struct TQZPosixGuard {
  uint32_t Generation = 0;
};

}  // namespace

void* LogOsOpen(const char* path) {
  int fd;
  do {
    fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  TQZPosixLogFile* file = new (std::nothrow) TQZPosixLogFile{fd};
  if (file == nullptr) close(fd);
  return file;
}

void LogOsClose(void* file) {
  TQZPosixLogFile* f = static_cast<TQZPosixLogFile*>(file);
  close(f->Fd);
  delete f;
}

bool LogOsWrite(void* file, const char* data, size_t length, size_t& written) {
  const int fd = static_cast<TQZPosixLogFile*>(file)->Fd;
  written = 0;
  // A regular file takes the whole buffer in one call unless the disk is
  // full or a signal interrupts it; the rest is then written after it.
  while (written < length) {
    const ssize_t n = write(fd, data + written, length - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<size_t>(n);
  }
  return true;
}

bool LogOsSharedAppends() { return false; }

bool LogOsFileSize(void* file, uint64_t& size) {
  struct stat info;
  if (fstat(static_cast<TQZPosixLogFile*>(file)->Fd, &info) != 0) return false;
  size = static_cast<uint64_t>(info.st_size);
  return true;
}

TQZLogMove LogOsRename(const char* from, const char* to) {
  if (std::rename(from, to) == 0) return TQZLogMove::Done;
  return errno == ENOENT && access(from, F_OK) != 0 ? TQZLogMove::Missing
                                                    : TQZLogMove::Failed;
}

TQZLogMove LogOsRemove(const char* path) {
  if (unlink(path) == 0) return TQZLogMove::Done;
  return errno == ENOENT ? TQZLogMove::Missing : TQZLogMove::Failed;
}

void* LogOsOpenGuard(const char*) { return new (std::nothrow) TQZPosixGuard; }

void LogOsCloseGuard(void* guard) { delete static_cast<TQZPosixGuard*>(guard); }

// The caller's own lock already serialises everything this guard covers.
bool LogOsLockGuard(void*, uint32_t) { return true; }

void LogOsUnlockGuard(void*) {}

uint32_t LogOsGeneration(void* guard) {
  return static_cast<TQZPosixGuard*>(guard)->Generation;
}

void LogOsAdvanceGeneration(void* guard) {
  ++static_cast<TQZPosixGuard*>(guard)->Generation;
}

void LogOsLocalTime(TQZLogTime& time) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  // The calendar fields change once a second; localtime_r takes a lock and
  // more, so each thread keeps the last second's.
  thread_local time_t cachedSecond = -1;
  thread_local struct tm cached;
  if (now.tv_sec != cachedSecond) {
    localtime_r(&now.tv_sec, &cached);
    cachedSecond = now.tv_sec;
  }
  time.Year = cached.tm_year + 1900;
  time.Month = cached.tm_mon + 1;
  time.Day = cached.tm_mday;
  time.Hour = cached.tm_hour;
  time.Minute = cached.tm_min;
  time.Second = cached.tm_sec;
  time.Millisecond = static_cast<int32_t>(now.tv_nsec / 1000000);
}

uint32_t LogOsThreadId() {
  thread_local uint32_t id = 0;
#ifdef SYS_gettid
  if (id == 0) id = static_cast<uint32_t>(syscall(SYS_gettid));
#else
  if (id == 0) id = static_cast<uint32_t>(getpid());
#endif
  return id;
}

uint64_t LogOsMilliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 +
         static_cast<uint64_t>(now.tv_nsec) / 1000000;
}
