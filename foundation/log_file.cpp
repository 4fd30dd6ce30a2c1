// A log file of stamped lines with size-based rotation: composing the
// records, counting what is dropped, and the rotation.
#include "foundation/log_file.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "foundation/format.h"
#include "foundation/log_file_os.h"
#include "foundation/log_file_testing.h"

namespace {

std::atomic<TQZLogWriteCall> WriteCall{&LogOsWrite};

// Time after a rotation that could not be done before the next attempt.
const uint64_t RotationRetryMs = 1000;
// How long a writer waits for the rotation guard that another process
// holds; once such a wait has timed out, writes only try it without
// waiting for a while, so that a hung holder slows nobody down.
const uint32_t GuardWaitMs = 2000;
const uint64_t GuardBackOffMs = 10000;
// Longest stamp: "YYYY-MM-DD HH:MM:SS.mmm [4294967295] ".
const size_t MaxStampLength = 40;
const size_t DroppedLineRoom = 96;
// Below this many bytes a Print is formatted on the stack.
const size_t PrintStackBuffer = 1024;

char* PutDigits(char* out, uint32_t value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + width;
}

void FormatNote(TQZFormatOutput& output, const char* format, ...)
    QZ_PRINTF_FORMAT(2, 3);
void FormatNote(TQZFormatOutput& output, const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatTextV(output, format, args);
  va_end(args);
}

uint32_t Clamp(int32_t value, int32_t low, int32_t high) {
  if (value < low) value = low;
  if (value > high) value = high;
  return static_cast<uint32_t>(value);
}

}  // namespace

TQZLogWriteCall SetLogWriteForTesting(TQZLogWriteCall call) {
  return WriteCall.exchange(call != nullptr ? call : &LogOsWrite);
}

TQZLogWriteCall PlatformLogWrite() { return &LogOsWrite; }

size_t FormatLogStamp(const TQZLogTime& time, uint32_t thread, char* buffer) {
  char* p = buffer;
  p = PutDigits(p, Clamp(time.Year, 0, 9999), 4);
  *p++ = '-';
  p = PutDigits(p, Clamp(time.Month, 0, 99), 2);
  *p++ = '-';
  p = PutDigits(p, Clamp(time.Day, 0, 99), 2);
  *p++ = ' ';
  p = PutDigits(p, Clamp(time.Hour, 0, 99), 2);
  *p++ = ':';
  p = PutDigits(p, Clamp(time.Minute, 0, 99), 2);
  *p++ = ':';
  p = PutDigits(p, Clamp(time.Second, 0, 99), 2);
  *p++ = '.';
  p = PutDigits(p, Clamp(time.Millisecond, 0, 999), 3);
  *p++ = ' ';
  *p++ = '[';
  char digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + thread % 10);
    thread /= 10;
  } while (thread != 0);
  while (count > 0) *p++ = digits[--count];
  *p++ = ']';
  *p++ = ' ';
  return static_cast<size_t>(p - buffer);
}

// Everything that changes after construction; guarded by Lock.
struct TQZLogFile::TQZLogState {
  void* File = nullptr;
  void* Guard = nullptr;
  bool GuardOpened = false;
  // The rotation count of the guard when File was opened.
  uint32_t Generation = 0;
  // Counted on platforms where only this object appends.
  uint64_t Size = 0;
  uint64_t Dropped = 0;
  // A write cut short left a line without its end.
  bool NeedBreak = false;
  uint64_t RetryRotationAt = 0;
  bool RotationFailed = false;
  // A wait for the guard timed out; until GuardPatientAt it is only tried.
  bool GuardStuck = false;
  uint64_t GuardPatientAt = 0;
  std::unique_ptr<char[]> Buffer;
  size_t Capacity = 0;

  // False when the buffer cannot hold size bytes.
  bool Reserve(size_t size) {
    if (size <= Capacity) return true;
    size_t grown = Capacity < 256 ? 256 : Capacity;
    while (grown < size) grown = grown > SIZE_MAX / 2 ? size : grown * 2;
    std::unique_ptr<char[]> fresh(new (std::nothrow) char[grown]);
    if (!fresh) return false;
    Buffer = std::move(fresh);
    Capacity = grown;
    return true;
  }
};

TQZLogFile::TQZLogFile(const TQZString& fileName, uint64_t maxSize,
                       int32_t keptFiles)
    : Name(fileName),
      Limit(maxSize == 0 ? DefaultMaxSize : maxSize),
      Kept(keptFiles < 1 ? 1 : keptFiles),
      State(new TQZLogState) {}

TQZLogFile::~TQZLogFile() {
  CloseFile();
  if (State->Guard != nullptr) LogOsCloseGuard(State->Guard);
  delete State;
}

TQZString TQZLogFile::OldFileName(int32_t index) const {
  TQZString number;
  number.Format(".%d", static_cast<int>(index));
  // The extension is what follows the last dot of the last path element.
  const char* text = Name.Text();
  int32_t dot = 0;
  for (int32_t i = Name.Length(); i >= 1; --i) {
    const char c = text[i - 1];
    if (c == '/' || (c == '\\' && StringByteKind(Name, i) != 2)) break;
    if (c == '.') {
      dot = i;
      break;
    }
  }
  // A leading dot (".log") names a file, not an extension.
  if (dot <= 1 || text[dot - 2] == '/' || text[dot - 2] == '\\') {
    return Name + number;
  }
  return SubString(Name, 1, dot - 1) + number + SubString(Name, dot, Name.Length());
}

uint64_t TQZLogFile::PendingDropped() {
  TQZCritSectGuard guard(Lock);
  return State->Dropped;
}

bool TQZLogFile::Write(const TQZString& text) {
  return Write(text.Text(), static_cast<size_t>(text.Length()));
}

bool TQZLogFile::Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const bool written = PrintV(format, args);
  va_end(args);
  return written;
}

bool TQZLogFile::PrintV(const char* format, va_list args) {
  if (format == nullptr) format = "";
  char stack[PrintStackBuffer];
  va_list again;
  va_copy(again, args);
  TQZFormatOutput first(stack, sizeof stack);
  FormatTextV(first, format, args);
  bool written = false;
  if (first.Count() <= sizeof stack) {
    written = Write(stack, first.Count());
  } else {
    const size_t size = first.Count();
    std::unique_ptr<char[]> heap(new (std::nothrow) char[size]);
    if (heap) {
      TQZFormatOutput second(heap.get(), size);
      FormatTextV(second, format, again);
      written = Write(heap.get(), size);
    } else {
      // Counted like any other line that could not be written.
      TQZCritSectGuard guard(Lock);
      ++State->Dropped;
    }
  }
  va_end(again);
  return written;
}

bool TQZLogFile::Write(const char* text, size_t length) {
  if (text == nullptr) {
    text = "";
    length = 0;
  }
  // A text ending in a line break is one line, not a line and an empty one.
  if (length > 0 && text[length - 1] == '\n') --length;
  if (length > 0 && text[length - 1] == '\r') --length;

  uint32_t lines = 1;
  for (size_t i = 0; i < length; ++i) lines += text[i] == '\n';
  const size_t lineEnd = std::strlen(LogOsLineEnd);

  TQZLogTime now;
  LogOsLocalTime(now);
  char stamp[MaxStampLength + 8];
  const size_t stampLength = FormatLogStamp(now, LogOsThreadId(), stamp);

  TQZCritSectGuard guard(Lock);
  TQZLogState& s = *State;
  const size_t perLine = stampLength + lineEnd;
  const size_t fixed = lineEnd + stampLength + DroppedLineRoom + lineEnd;
  if (length > SIZE_MAX - fixed || lines > (SIZE_MAX - fixed - length) / perLine ||
      !s.Reserve(fixed + length + lines * perLine)) {
    s.Dropped += lines;
    return false;
  }
  char* out = s.Buffer.get();
  size_t used = 0;
  auto put = [&](const char* p, size_t n) {
    if (n > 0) std::memcpy(out + used, p, n);
    used += n;
  };
  if (s.NeedBreak) put(LogOsLineEnd, lineEnd);
  if (s.Dropped > 0) {
    put(stamp, stampLength);
    char note[DroppedLineRoom];
    TQZFormatOutput output(note, sizeof note);
    if (s.Dropped == 1) {
      FormatNote(output, "1 line could not be written and was dropped");
    } else {
      FormatNote(output, "%llu lines could not be written and were dropped",
                 static_cast<unsigned long long>(s.Dropped));
    }
    put(note, output.Count() < sizeof note ? output.Count() : sizeof note);
    put(LogOsLineEnd, lineEnd);
  }
  const char* part = text;
  const char* const end = text + length;
  for (;;) {
    const char* stop = static_cast<const char*>(
        std::memchr(part, '\n', static_cast<size_t>(end - part)));
    if (stop == nullptr) stop = end;
    size_t n = static_cast<size_t>(stop - part);
    if (n > 0 && part[n - 1] == '\r') --n;
    put(stamp, stampLength);
    put(part, n);
    put(LogOsLineEnd, lineEnd);
    if (stop == end) break;
    part = stop + 1;
  }
  return WriteRecord(out, used, lines);
}

bool TQZLogFile::WriteRecord(const char* record, size_t length, uint32_t lines) {
  TQZLogState& s = *State;
  if (!s.GuardOpened) {
    s.GuardOpened = true;
    s.Guard = LogOsOpenGuard(Name.Text());
  }
  // Where other processes append too, every write holds the guard, so that
  // reading the size, rotating and appending are one step for each writer,
  // even on a system whose appends from two handles can overlap. A guard
  // that stays taken (its holder hangs) does not stop this writer.
  const bool shared = LogOsSharedAppends() && s.Guard != nullptr;
  const bool held = shared && LockGuard();
  const bool written = WriteHeld(record, length, lines, held, !shared);
  if (held) LogOsUnlockGuard(s.Guard);
  return written;
}

bool TQZLogFile::LockGuard() {
  TQZLogState& s = *State;
  const bool patient = !s.GuardStuck || LogOsMilliseconds() >= s.GuardPatientAt;
  if (LogOsLockGuard(s.Guard, patient ? GuardWaitMs : 0)) {
    s.GuardStuck = false;
    return true;
  }
  if (patient) {
    s.GuardStuck = true;
    s.GuardPatientAt = LogOsMilliseconds() + GuardBackOffMs;
  }
  return false;
}

bool TQZLogFile::WriteHeld(const char* record, size_t length, uint32_t lines,
                           bool guardHeld, bool mayLock) {
  TQZLogState& s = *State;
  if (EnsureOpen()) RotateIfFull(length, guardHeld, mayLock);
  if (s.File == nullptr) {
    s.Dropped += lines;
    return false;
  }
  size_t written = 0;
  if (!WriteCall.load(std::memory_order_relaxed)(s.File, record, length, written)) {
    s.Dropped += lines;
    if (written > 0) {
      s.NeedBreak = true;
      s.Size += written;
    }
    // Opened again for the next line: the file may have gone, or the lock
    // or the full disk that refused this write may have been lifted.
    CloseFile();
    return false;
  }
  s.Size += length;
  s.Dropped = 0;
  s.NeedBreak = false;
  return true;
}

bool TQZLogFile::EnsureOpen() {
  TQZLogState& s = *State;
  const uint32_t generation = s.Guard != nullptr ? LogOsGeneration(s.Guard) : 0;
  // Another process rotated: this handle still appends to the old file.
  if (s.File != nullptr && generation != s.Generation) CloseFile();
  if (s.File != nullptr) return true;
  s.File = LogOsOpen(Name.Text());
  if (s.File == nullptr) return false;
  s.Generation = generation;
  if (!LogOsFileSize(s.File, s.Size)) s.Size = 0;
  return true;
}

bool TQZLogFile::Fits(size_t length) {
  TQZLogState& s = *State;
  if (LogOsSharedAppends()) {
    uint64_t size = 0;
    if (LogOsFileSize(s.File, size)) s.Size = size;
  }
  return s.Size == 0 || (length <= Limit && s.Size <= Limit - length);
}

void TQZLogFile::RotateIfFull(size_t length, bool guardHeld, bool mayLock) {
  TQZLogState& s = *State;
  if (Fits(length)) return;
  const uint64_t now = LogOsMilliseconds();
  if (s.RotationFailed && now < s.RetryRotationAt) return;
  bool locked = false;
  if (!guardHeld && s.Guard != nullptr) {
    // Without the guard the line still goes to the current file: a file
    // past its limit is better than a lost line.
    if (!mayLock || !LockGuard()) return;
    locked = true;
    // Another process may have rotated while this one waited, and the
    // fresh file may have room.
    if (!EnsureOpen() || Fits(length)) {
      LogOsUnlockGuard(s.Guard);
      return;
    }
  }
  s.RotationFailed = !Rotate();
  if (s.RotationFailed) s.RetryRotationAt = now + RotationRetryMs;
  if (locked) LogOsUnlockGuard(s.Guard);
}

bool TQZLogFile::Rotate() {
  TQZLogState& s = *State;
  CloseFile();
  bool done = LogOsRemove(OldFileName(Kept).Text()) != TQZLogMove::Failed;
  for (int32_t i = Kept - 1; done && i >= 1; --i) {
    done = LogOsRename(OldFileName(i).Text(), OldFileName(i + 1).Text()) !=
           TQZLogMove::Failed;
  }
  if (done) done = LogOsRename(Name.Text(), OldFileName(1).Text()) == TQZLogMove::Done;
  if (done && s.Guard != nullptr) LogOsAdvanceGeneration(s.Guard);
  // Opened again either way: fresh after a rotation, the same file after a
  // failed one, which keeps its lines.
  EnsureOpen();
  return done;
}

void TQZLogFile::CloseFile() {
  void* file = State->File;
  State->File = nullptr;
  if (file != nullptr) LogOsClose(file);
}
