// Keyboard and standard-input waits of the application's console mode.
#include "service/console.h"

#include <conio.h>

#include <atomic>
#include <cstring>
#include <initializer_list>

#include "foundation/win32.h"
#include "service/platform.h"

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

// Hands the blocks of a stream to the thread that reads controls, one block
// at a time: the reader reads the next only once the last was taken, and
// leaves once told to quit. It may outlive ReadControls (blocked in a read),
// so both hold it, and it reads through a handle of its own as StreamReader
// does.
struct BlockReader {
  explicit BlockReader(HANDLE input)
      : Input(StreamReader::Duplicate(input)),
        Ready(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
        Taken(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
        Quit(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~BlockReader() {
    for (HANDLE handle : {Input, Ready, Taken, Quit}) {
      if (handle != nullptr) CloseHandle(handle);
    }
  }
  BlockReader(const BlockReader&) = delete;
  BlockReader& operator=(const BlockReader&) = delete;

  bool Usable() const {
    return Input != nullptr && Ready != nullptr && Taken != nullptr && Quit != nullptr;
  }

  HANDLE Input;
  HANDLE Ready;  // Block holds Count bytes; 0: the input has ended
  HANDLE Taken;
  HANDLE Quit;
  char Block[4096];
  DWORD Count = 0;
  std::atomic<int> Holders{2};
};

void Release(BlockReader* reader) {
  if (--reader->Holders == 0) delete reader;
}

DWORD WINAPI BlockReaderThread(void* context) {
  BlockReader* reader = static_cast<BlockReader*>(context);
  for (;;) {
    DWORD read = 0;
    const bool got = ReadFile(reader->Input, reader->Block, sizeof reader->Block, &read,
                              nullptr) && read > 0;
    // Written before the event is set, so the taker sees it.
    reader->Count = got ? read : 0;
    SetEvent(reader->Ready);
    if (!got) break;
    HANDLE handles[2] = {reader->Taken, reader->Quit};
    if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0) break;
  }
  Release(reader);
  return 0;
}

const uint32_t StopControl = 1;
// How soon a stop the run could not take yet is asked again.
const DWORD StopRetryMs = 50;

// Hands controls on, and keeps a stop that the run could not take yet (it is
// still starting, or has not begun) owed until it is taken.
struct ControlTarget {
  bool (*Deliver)(void* context, uint32_t code);
  void* Context;
  bool StopOwed = false;

  void Stop() { StopOwed = !Deliver(Context, StopControl); }
  void Key(char key) {
    const uint32_t code = ConsoleKeyControl(key);
    if (code == StopControl) {
      Stop();
    } else if (code != 0) {
      Deliver(Context, code);
    }
  }
  DWORD Timeout() const { return StopOwed ? StopRetryMs : INFINITE; }
};

enum class Woken { Ended, Control, Input, Retry, Failed };

// Waits for the end of the run, a control event or the input; stop and
// input may be null, and are then left out.
Woken WaitForAny(HANDLE ended, HANDLE stop, HANDLE input, DWORD timeout) {
  HANDLE handles[3] = {ended};
  Woken meaning[3] = {Woken::Ended};
  DWORD count = 1;
  if (stop != nullptr) {
    handles[count] = stop;
    meaning[count++] = Woken::Control;
  }
  if (input != nullptr) {
    handles[count] = input;
    meaning[count++] = Woken::Input;
  }
  const DWORD result = WaitForMultipleObjects(count, handles, FALSE, timeout);
  if (result == WAIT_TIMEOUT) return Woken::Retry;
  if (result >= WAIT_OBJECT_0 + count) return Woken::Failed;
  return meaning[result - WAIT_OBJECT_0];
}

// Stops the run and waits for its end, so that the caller never returns
// while it goes on.
void StopAndWait(HANDLE ended, ControlTarget& target) {
  for (target.Stop(); WaitForSingleObject(ended, target.Timeout()) == WAIT_TIMEOUT;) {
    target.Stop();
  }
}

void TakeControlEvent(HANDLE stop, ControlTarget& target) {
  ResetEvent(stop);
  target.Stop();
}

void ReadConsoleControls(HANDLE input, HANDLE stop, HANDLE ended, ControlTarget& target) {
  for (;;) {
    switch (WaitForAny(ended, stop, input, target.Timeout())) {
      case Woken::Ended: return;
      case Woken::Failed: StopAndWait(ended, target); return;
      case Woken::Control: TakeControlEvent(stop, target); continue;
      case Woken::Retry: target.Stop(); continue;
      case Woken::Input: break;
    }
    // Every record is taken out of the buffer, so that its handle is not
    // signalled again for the same one.
    INPUT_RECORD record;
    DWORD read = 0;
    if (!ReadConsoleInputA(input, &record, 1, &read)) {
      // Without its input only the control events can reach the run.
      input = nullptr;
      continue;
    }
    if (read == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) {
      target.Key(record.Event.KeyEvent.uChar.AsciiChar);
    }
  }
}

void ReadStreamControls(HANDLE input, HANDLE stop, HANDLE ended, ControlTarget& target) {
  BlockReader* reader = new BlockReader(input);
  HANDLE thread = nullptr;
  if (reader->Usable()) {
    thread = CreateThread(nullptr, 0, &BlockReaderThread, reader, 0, nullptr);
  }
  if (thread == nullptr) {
    delete reader;
    // Unreadable input counts as its end.
    StopAndWait(ended, target);
    return;
  }
  CloseHandle(thread);
  HANDLE ready = reader->Ready;
  for (bool running = true; running;) {
    switch (WaitForAny(ended, stop, ready, target.Timeout())) {
      case Woken::Ended: running = false; break;
      case Woken::Failed: StopAndWait(ended, target); running = false; break;
      case Woken::Control: TakeControlEvent(stop, target); break;
      case Woken::Retry: target.Stop(); break;
      case Woken::Input: {
        const DWORD count = reader->Count;
        if (count == 0) {
          ready = nullptr;
          target.Stop();
          break;
        }
        for (DWORD i = 0; i < count; ++i) target.Key(reader->Block[i]);
        SetEvent(reader->Taken);
        break;
      }
    }
  }
  SetEvent(reader->Quit);
  Release(reader);
}

struct Routine {
  void (*Function)(void* context);
  void* Context;
};

DWORD WINAPI RoutineThread(void* routine) {
  const Routine* call = static_cast<const Routine*>(routine);
  call->Function(call->Context);
  return 0;
}

}  // namespace

uint32_t ConsoleKeyControl(char key) {
  switch (key) {
    case CtrlC: return StopControl;
    case 'p':
    case 'P': return 2;
    case 'c':
    case 'C': return 3;
    default: return 0;
  }
}

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

void TQZConsoleStopWait::ReadControls(void* ended,
                                      bool (*deliver)(void* context, uint32_t code),
                                      void* context) {
  ControlTarget target = {deliver, context};
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE stop = Events().Stop;
  // Without the event the handler leaves control events to the default one.
  if (!ValidHandle(stop)) stop = nullptr;
  if (IsConsoleInput(input)) {
    ReadConsoleControls(input, stop, ended, target);
  } else if (ValidHandle(input)) {
    ReadStreamControls(input, stop, ended, target);
  } else {
    // Without standard input, as at its end.
    StopAndWait(ended, target);
  }
}

bool TQZConsoleStopWait::RunWithControls(void (*routine)(void* context),
                                         bool (*deliver)(void* context, uint32_t code),
                                         void* context, uint32_t& error) {
  Routine call = {routine, context};
  HANDLE thread =
      ServiceApi().CreateThread(nullptr, 0, &RoutineThread, &call, 0, nullptr);
  if (thread == nullptr) {
    error = GetLastError();
    return false;
  }
  ReadControls(thread, deliver, context);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return true;
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
