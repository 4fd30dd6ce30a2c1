// Keyboard and standard-input waits of the application's console mode.
#ifndef QZ_SERVICE_CONSOLE_H
#define QZ_SERVICE_CONSOLE_H

#include <cstdint>

#include "foundation/string.h"

// Waits until the user stops a console run. While one lives, a console
// control handler takes Ctrl+C, Ctrl+Break and the close, logoff and
// shutdown events, so that the program can stop in order; only one may live
// at a time.
class TQZConsoleStopWait {
 public:
  TQZConsoleStopWait();
  // Finishes, then removes the control handler.
  ~TQZConsoleStopWait();
  TQZConsoleStopWait(const TQZConsoleStopWait&) = delete;
  TQZConsoleStopWait& operator=(const TQZConsoleStopWait&) = delete;

  // Returns on a control event, or on a key (console) or byte (any other
  // standard input) of value 3, or at the end of the input, or when the input
  // cannot be read.
  void Wait();
  // Until ended (a waitable handle) is signalled, hands each control the
  // user asks for to deliver, with the Win32 control code: a control event
  // (Ctrl+C, Ctrl+Break, close, logoff, shutdown), a key (console) or byte
  // (any other standard input) of value 3, and the end of the input ask for
  // a stop (1); 'p' for a pause (2) and 'c' for a continue (3), either case.
  // A stream is read on a thread of its own, so nothing spins while no byte
  // comes; bytes read after ended is signalled are dropped. deliver returns
  // false for a stop the run cannot take yet (it is still starting); the
  // stop is then asked again every 50 ms until it is taken.
  void ReadControls(void* ended, bool (*deliver)(void* context, uint32_t code), void* context);
  // Runs routine (context) on a thread of its own and meanwhile reads the
  // user's controls for deliver (context, code) as ReadControls does;
  // returns once routine has returned. False, with the error, when the
  // thread cannot be made.
  bool RunWithControls(void (*routine)(void* context),
                       bool (*deliver)(void* context, uint32_t code), void* context,
                       uint32_t& error);
  // Lets go of a close, logoff or shutdown event: the process ends as soon as
  // its handler returns, so the handler holds it until the stop has run.
  void Finish();

 private:
  bool Registered = false;
};

// The control code a key or input byte asks for in ReadControls; 0: none.
uint32_t ConsoleKeyControl(char key);

// The control handler's decision for one console control event: true when
// the event was taken for a waiting console run. Blocks for the close,
// logoff and shutdown events until Finish.
bool HandleConsoleControl(unsigned long event);

// Waits for one key from a console, or one byte from any other standard
// input; returns at once at the end of the input or when it cannot be read.
void WaitForAnyKey();

// Reads one line from standard input into line, without its line end; a
// console does not echo it. The end of the input ends the line. False with
// the error when the input cannot be read, or 87 for a line longer than
// MaxHiddenLine characters or one holding a NUL byte, or a CR anywhere but
// just before its line feed.
const int MaxHiddenLine = 1024;
bool ReadHiddenLine(TQZString& line, uint32_t& error);

#endif  // QZ_SERVICE_CONSOLE_H
