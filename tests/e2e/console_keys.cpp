// Checks the console-mode waits against a real console: run it in a terminal.
// It feeds its own console input buffer and prints one line per check; the
// exit code is the number of failed checks.
#include <cstdio>

#include "foundation/win32.h"
#include "service/console.h"

namespace {

int Failures = 0;

void Check(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAIL", what);
  std::fflush(stdout);
  if (!ok) ++Failures;
}

INPUT_RECORD Key(char c, bool down) {
  INPUT_RECORD record = {};
  record.EventType = KEY_EVENT;
  record.Event.KeyEvent.bKeyDown = down ? TRUE : FALSE;
  record.Event.KeyEvent.wRepeatCount = 1;
  record.Event.KeyEvent.uChar.AsciiChar = c;
  return record;
}

INPUT_RECORD Focus() {
  INPUT_RECORD record = {};
  record.EventType = FOCUS_EVENT;
  record.Event.FocusEvent.bSetFocus = TRUE;
  return record;
}

bool Feed(HANDLE input, const INPUT_RECORD* records, DWORD count) {
  DWORD written = 0;
  return WriteConsoleInputA(input, records, count, &written) && written == count;
}

DWORD Pending(HANDLE input) {
  DWORD count = 0;
  GetNumberOfConsoleInputEvents(input, &count);
  return count;
}

}  // namespace

int main() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(input, &mode)) {
    Check(false, "standard input is a console");
    return Failures;
  }

  // With processed input off, as while a key is read without echo, Ctrl+C
  // arrives as a key of code 3. Only its press ends the wait; its release,
  // other keys and other records do not, and what follows stays unread.
  SetConsoleMode(input, mode & ~DWORD{ENABLE_PROCESSED_INPUT});
  FlushConsoleInputBuffer(input);
  const INPUT_RECORD keys[] = {Key('x', true), Key('x', false), Focus(),
                               Key(3, false),  Key(3, true),    Key('z', true)};
  Check(Feed(input, keys, 6), "input records written");
  {
    TQZConsoleStopWait wait;
    wait.Wait();
  }
  INPUT_RECORD rest = {};
  DWORD read = 0;
  const bool oneLeft = Pending(input) == 1;
  ReadConsoleInputA(input, &rest, 1, &read);
  Check(oneLeft && read == 1 && rest.Event.KeyEvent.uChar.AsciiChar == 'z',
        "Ctrl+C key ends the wait and nothing after it is read");
  SetConsoleMode(input, mode | ENABLE_PROCESSED_INPUT);

  // With processed input on, the console turns the Ctrl+C key into a control
  // event, which reaches the wait through the control handler.
  FlushConsoleInputBuffer(input);
  {
    TQZConsoleStopWait wait;
    const INPUT_RECORD ctrlC[] = {Key(3, true)};
    Feed(input, ctrlC, 1);
    wait.Wait();
  }
  Check(true, "Ctrl+C as a control event ends the wait");

  // Outside a wait the event is not taken, and the waits leave no handler.
  Check(!HandleConsoleControl(CTRL_C_EVENT), "no wait, event not taken");

  // One key, without echo, ends the wait for any key.
  FlushConsoleInputBuffer(input);
  const INPUT_RECORD press[] = {Key('k', true), Key('m', true)};
  Check(Feed(input, press, 2), "input records written");
  WaitForAnyKey();
  Check(Pending(input) == 1, "any key takes one key");

  std::printf("%d failed\n", Failures);
  return Failures;
}
