// Standard output and error carried into a log file, one stamped line per
// line written.
#ifndef QZ_SERVICE_OUTPUT_CAPTURE_H
#define QZ_SERVICE_OUTPUT_CAPTURE_H

#include <cstdint>

class TQZLogFile;

// Points the C runtime's descriptors 1 and 2 and the Win32 standard output
// and error handles at one pipe, whose reader thread writes every line to
// the log file (printf, std::cout and std::cerr, WriteFile on the handles).
// The C runtime keeps its own buffering: into a pipe its streams are fully
// buffered (unbuffered, it would write byte by byte), so a program that
// wants its lines in the file at once flushes them. Handles of the pipe are
// not inherited by child processes.
class TQZOutputCapture {
 public:
  explicit TQZOutputCapture(TQZLogFile* log);
  // Finishes a capture still under way.
  virtual ~TQZOutputCapture();
  TQZOutputCapture(const TQZOutputCapture&) = delete;
  TQZOutputCapture& operator=(const TQZOutputCapture&) = delete;

  // False, with LastError set and nothing redirected, when the pipe or the
  // reader cannot be made; true also when the capture is already on.
  bool Start();
  // Flushes the C runtime's streams, puts the earlier descriptors and
  // handles back, and returns once the reader has written everything that
  // was written before, a last line without its line end included.
  void Finish();
  bool Active() const { return Reader != nullptr; }

  uint32_t LastError = 0;

 private:
  struct TQZReader;
  static unsigned long __stdcall ReaderMain(void* reader);

  TQZLogFile* Log;
  // Shared with the reader thread, which may outlive a capture whose pipe
  // a child process keeps open.
  TQZReader* State = nullptr;
  void* Reader = nullptr;
  void* SavedOutput = nullptr;
  void* SavedError = nullptr;
  // The descriptors pointed at the pipe (1, 2 and those of the stdout and
  // stderr streams), and copies of what they were before (-1: not open).
  static const int MaxTargets = 4;
  int Targets[MaxTargets] = {};
  int SavedFds[MaxTargets] = {};
  int TargetCount = 0;
};

#endif  // QZ_SERVICE_OUTPUT_CAPTURE_H
