// Keyboard and standard-input waits of the application's console mode.
#include "service/console.h"

#include <conio.h>

#include <atomic>
#include <cstring>

#include "foundation/win32.h"

namespace {

const char CtrlC = 3;

// Created once and never closed: a handler thread may still touch them after
// the wait that armed them has ended.
struct StopEvents {
  HANDLE Stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE Finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
};

StopEvents& Events() {
  static StopEvents events;
  return events;
}

std::atomic<bool> WaitArmed{false};

BOOL WINAPI ConsoleControlHandler(DWORD event) {
  try {
    return HandleConsoleControl(event) ? TRUE : FALSE;
  } catch (...) {
    return FALSE;
  }
}

bool ValidHandle(HANDLE handle) {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

bool IsConsoleInput(HANDLE input) {
  DWORD mode = 0;
  return ValidHandle(input) && GetConsoleMode(input, &mode) != 0;
}

bool IsCtrlCKey(const INPUT_RECORD& record) {
  return record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
         record.Event.KeyEvent.uChar.AsciiChar == CtrlC;
}

// Waits on the stop event and the console input buffer together, taking
// every input record out of the buffer, so that the buffer's handle is never
// signalled twice for the same record.
void WaitOnConsole(HANDLE input, HANDLE stop) {
  HANDLE handles[2];
  DWORD count = 0;
  if (ValidHandle(stop)) handles[count++] = stop;
  const DWORD inputIndex = count;
  handles[count++] = input;
  for (;;) {
    const DWORD result =
        WaitForMultipleObjects(count, handles, FALSE, INFINITE);
    if (result != WAIT_OBJECT_0 + inputIndex) return;
    INPUT_RECORD record;
    DWORD read = 0;
    if (!ReadConsoleInputA(input, &record, 1, &read)) return;
    if (read == 1 && IsCtrlCKey(record)) return;
  }
}

// Reads in blocks until a Ctrl+C byte, the end of the input or an error: one
// byte per read would cost a system call per byte of a large redirected
// input. Bytes that arrived in the same block after the Ctrl+C byte are
// consumed with it.
void ReadBytesUntilCtrlC(HANDLE input) {
  char block[4096];
  DWORD read = 0;
  while (ReadFile(input, block, sizeof block, &read, nullptr) && read > 0) {
    if (std::memchr(block, CtrlC, read) != nullptr) return;
  }
}

// A stream read cannot be woken by an event, so it runs on a thread of its
// own. The thread may outlive the wait, so both hold the reader, and it reads
// through a handle of its own: once the caller closes the input, the value of
// the caller's handle may be handed out again for a later standard input,
// which a late read through it would then steal bytes from.
struct StreamReader {
  explicit StreamReader(HANDLE input)
      : Input(Duplicate(input)), Ended(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~StreamReader() {
    if (Input != nullptr) CloseHandle(Input);
    if (Ended != nullptr) CloseHandle(Ended);
  }
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  static HANDLE Duplicate(HANDLE input) {
    HANDLE own = nullptr;
    const HANDLE self = GetCurrentProcess();
    if (!DuplicateHandle(self, input, self, &own, 0, FALSE, DUPLICATE_SAME_ACCESS))
      return nullptr;
    return own;
  }

  HANDLE Input;
  HANDLE Ended;
  std::atomic<int> Holders{2};
};

void Release(StreamReader* reader) {
  if (--reader->Holders == 0) delete reader;
}

DWORD WINAPI StreamReaderThread(void* context) {
  StreamReader* reader = static_cast<StreamReader*>(context);
  ReadBytesUntilCtrlC(reader->Input);
  SetEvent(reader->Ended);
  Release(reader);
  return 0;
}

void WaitOnStream(HANDLE input, HANDLE stop) {
  StreamReader* reader = ValidHandle(stop) ? new StreamReader(input) : nullptr;
  HANDLE thread = nullptr;
  if (reader != nullptr && reader->Input != nullptr && reader->Ended != nullptr) {
    thread = CreateThread(nullptr, 0, &StreamReaderThread, reader, 0, nullptr);
  }
  if (thread == nullptr) {
    // Without the thread only the input can end the wait, so control events
    // go to the default handler again instead of being taken and lost.
    delete reader;
    WaitArmed.store(false);
    ReadBytesUntilCtrlC(input);
    return;
  }
  CloseHandle(thread);
  HANDLE handles[2] = {stop, reader->Ended};
  WaitForMultipleObjects(2, handles, FALSE, INFINITE);
  Release(reader);
}

}  // namespace

bool HandleConsoleControl(unsigned long event) {
  if (!WaitArmed.load()) return false;
  StopEvents& events = Events();
  // Without a stop event nothing could end the wait: leave the event to the
  // default handler.
  if (!ValidHandle(events.Stop)) return false;
  SetEvent(events.Stop);
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return true;
  WaitForSingleObject(events.Finished, INFINITE);
  return true;
}

TQZConsoleStopWait::TQZConsoleStopWait() {
  StopEvents& events = Events();
  ResetEvent(events.Stop);
  ResetEvent(events.Finished);
  WaitArmed.store(true);
  Registered = SetConsoleCtrlHandler(&ConsoleControlHandler, TRUE) != 0;
}

TQZConsoleStopWait::~TQZConsoleStopWait() {
  Finish();
  if (Registered) SetConsoleCtrlHandler(&ConsoleControlHandler, FALSE);
  WaitArmed.store(false);
}

void TQZConsoleStopWait::Wait() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE stop = Events().Stop;
  if (IsConsoleInput(input)) {
    WaitOnConsole(input, stop);
  } else if (ValidHandle(input)) {
    WaitOnStream(input, stop);
  }
  // Without standard input the wait ends at once, as at the end of input.
}

void TQZConsoleStopWait::Finish() { SetEvent(Events().Finished); }

void WaitForAnyKey() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (IsConsoleInput(input)) {
    _getch();
    return;
  }
  char byte = 0;
  DWORD read = 0;
  if (ValidHandle(input)) ReadFile(input, &byte, 1, &read, nullptr);
}

bool ReadHiddenLine(TQZString& line, uint32_t& error) {
  line = TQZString();
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (!ValidHandle(input)) {
    error = ERROR_INVALID_HANDLE;
    return false;
  }
  DWORD mode = 0;
  const bool console = GetConsoleMode(input, &mode) != 0;
  if (console) SetConsoleMode(input, (mode & ~DWORD{ENABLE_ECHO_INPUT}) | ENABLE_LINE_INPUT);
  char buffer[MaxHiddenLine + 1];
  int length = 0;
  bool carriageReturn = false;
  error = 0;
  for (;;) {
    char byte = 0;
    DWORD read = 0;
    if (!ReadFile(input, &byte, 1, &read, nullptr)) {
      error = GetLastError();
      // A pipe whose writer has gone is the end of the input.
      if (error == ERROR_BROKEN_PIPE) error = 0;
      read = 0;
    }
    const bool end = read == 0 || byte == '\n';
    // A console line ends in CR LF, and so may a file's; a CR anywhere else,
    // or a NUL, would be dropped or cut the line short where the system
    // reads it, so the line is refused rather than changed.
    if ((carriageReturn && byte != '\n' && error == 0) || (!end && byte == '\0')) {
      error = ERROR_INVALID_PARAMETER;
    }
    if (end || error != 0) break;
    carriageReturn = byte == '\r';
    if (carriageReturn) continue;
    if (length == MaxHiddenLine) {
      error = ERROR_INVALID_PARAMETER;
      break;
    }
    buffer[length++] = byte;
  }
  if (console) SetConsoleMode(input, mode);
  buffer[length] = '\0';
  if (error == 0) line = TQZString(buffer);
  SecureZeroMemory(buffer, sizeof buffer);
  return error == 0;
}
