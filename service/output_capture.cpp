// Standard output and error carried into a log file through a pipe.
#include "service/output_capture.h"

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "foundation/log_file.h"
#include "foundation/scoped_handle.h"
#include "foundation/win32.h"

namespace {

const DWORD PipeBufferSize = 64 * 1024;
// A longer run of text without a line end is written in pieces this long.
const uint32_t LongestLine = 64 * 1024;
// How long Finish waits for the reader to reach the end of the pipe, and
// then for a reader whose wait was cancelled.
const DWORD ReaderEndWaitMs = 5000;
const DWORD CancelledReaderWaitMs = 1000;

// Makes a descriptor's handle one that child processes do not inherit, so
// that no child can keep the pipe open past the stop.
void KeepFromChildren(int fd) {
  const intptr_t handle = _get_osfhandle(fd);
  if (handle != -1) {
    SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT, 0);
  }
}

// A stream of a process started without a console may have no descriptor
// at all (its number is negative); it is given one, which the capture then
// points at the pipe.
int StreamDescriptor(FILE* stream, int standard) {
  if (_fileno(stream) >= 0) return _fileno(stream);
  std::freopen("NUL", "w", stream);
#ifndef _UCRT
  // msvcrt's freopen refuses such a stream, so it is bound to its standard
  // descriptor directly.
  if (_fileno(stream) < 0) stream->_file = standard;
#endif
  return _fileno(stream);
}

}  // namespace

struct TQZOutputCapture::TQZReader {
  HANDLE ReadEnd = nullptr;
  std::atomic<TQZLogFile*> Log{nullptr};
  char Pending[LongestLine];
  uint32_t PendingLength = 0;

  void WritePending() {
    uint32_t length = PendingLength;
    // Text mode turns a "\r\n" the program wrote into "\r\r\n".
    while (length > 0 && Pending[length - 1] == '\r') --length;
    PendingLength = 0;
    TQZLogFile* log = Log.load();
    if (log != nullptr) log->Write(Pending, length);
  }

  void Take(const char* p, const char* end) {
    while (p < end) {
      const char* newline =
          static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
      const char* stop = newline != nullptr ? newline : end;
      while (p < stop) {
        if (PendingLength == LongestLine) WritePending();
        uint32_t n = LongestLine - PendingLength;
        if (n > static_cast<size_t>(stop - p)) n = static_cast<uint32_t>(stop - p);
        std::memcpy(Pending + PendingLength, p, n);
        PendingLength += n;
        p += n;
      }
      if (newline == nullptr) break;
      WritePending();
      p = newline + 1;
    }
  }

  void Run() {
    char chunk[4096];
    for (;;) {
      DWORD count = 0;
      // Fails with ERROR_BROKEN_PIPE once every write end is closed, after
      // everything written before has been read.
      if (!ReadFile(ReadEnd, chunk, sizeof chunk, &count, nullptr)) break;
      Take(chunk, chunk + count);
    }
    if (PendingLength > 0) WritePending();
  }
};

TQZOutputCapture::TQZOutputCapture(TQZLogFile* log) : Log(log) {}

TQZOutputCapture::~TQZOutputCapture() { Finish(); }

bool TQZOutputCapture::Start() {
  if (Reader != nullptr) return true;
  LastError = 0;
  if (Log == nullptr) {
    LastError = ERROR_INVALID_PARAMETER;
    return false;
  }
  std::unique_ptr<TQZReader> state(new (std::nothrow) TQZReader);
  if (!state) {
    LastError = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
  HANDLE pipeRead = nullptr;
  HANDLE pipeWrite = nullptr;
  if (!CreatePipe(&pipeRead, &pipeWrite, nullptr, PipeBufferSize)) {
    LastError = GetLastError();
    return false;
  }
  TQZScopedHandle readEnd(pipeRead);
  TQZScopedHandle writeEnd(pipeWrite);
  const int fd =
      _open_osfhandle(reinterpret_cast<intptr_t>(writeEnd.Get()), _O_TEXT | _O_WRONLY);
  if (fd < 0) {
    LastError = ERROR_TOO_MANY_OPEN_FILES;
    return false;
  }
  // The descriptor owns the write end from here on.
  writeEnd.Release();
  state->ReadEnd = readEnd.Get();
  state->Log = Log;
  HANDLE thread = CreateThread(nullptr, 0, &ReaderMain, state.get(), 0, nullptr);
  if (thread == nullptr) {
    LastError = GetLastError();
    _close(fd);
    return false;
  }
  // The reader owns the read end and its state until Finish.
  readEnd.Release();

  std::fflush(stdout);
  std::fflush(stderr);
  SavedOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  SavedError = GetStdHandle(STD_ERROR_HANDLE);
  const int candidates[MaxTargets] = {1, 2, StreamDescriptor(stdout, 1),
                                         StreamDescriptor(stderr, 2)};
  TargetCount = 0;
  for (int target : candidates) {
    bool seen = target < 0;
    for (int i = 0; i < TargetCount; ++i) seen = seen || Targets[i] == target;
    if (seen) continue;
    // -1 when the descriptor was not open.
    SavedFds[TargetCount] = _dup(target);
    Targets[TargetCount++] = target;
    _dup2(fd, target);
    KeepFromChildren(target);
  }
  _close(fd);
  SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
  SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(2)));
  // Writes that failed before the capture leave the streams' error flags.
  std::clearerr(stdout);
  std::clearerr(stderr);
  State = state.release();
  Reader = thread;
  return true;
}

void TQZOutputCapture::Finish() {
  if (Reader == nullptr) return;
  std::fflush(stdout);
  std::fflush(stderr);
  // Closing the descriptors closes the last write ends of the pipe, so the
  // reader reaches its end once it has read everything written before.
  for (int i = 0; i < TargetCount; ++i) {
    if (SavedFds[i] >= 0) {
      _dup2(SavedFds[i], Targets[i]);
      _close(SavedFds[i]);
    } else {
      _close(Targets[i]);
    }
  }
  TargetCount = 0;
  SetStdHandle(STD_OUTPUT_HANDLE, static_cast<HANDLE>(SavedOutput));
  SetStdHandle(STD_ERROR_HANDLE, static_cast<HANDLE>(SavedError));

  HANDLE thread = static_cast<HANDLE>(Reader);
  TQZReader* state = State;
  Reader = nullptr;
  State = nullptr;
  DWORD wait = WaitForSingleObject(thread, ReaderEndWaitMs);
  if (wait != WAIT_OBJECT_0) {
    // Someone duplicated a write end on purpose and keeps it open.
    CancelSynchronousIo(thread);
    wait = WaitForSingleObject(thread, CancelledReaderWaitMs);
  }
  if (wait != WAIT_OBJECT_0) {
    // Still reading: it keeps its state, and writes nothing more.
    state->Log = nullptr;
    CloseHandle(thread);
    return;
  }
  CloseHandle(thread);
  CloseHandle(state->ReadEnd);
  delete state;
}

unsigned long __stdcall TQZOutputCapture::ReaderMain(void* reader) {
  try {
    static_cast<TQZReader*>(reader)->Run();
  } catch (...) {
  }
  return 0;
}
