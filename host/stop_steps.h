// The ways the host asks its program to end, tried in order, each given its
// time: Ctrl+Break to the program's console process group, a close message
// to its top-level windows, then ending every process of its job.
#ifndef QZ_HOST_STOP_STEPS_H
#define QZ_HOST_STOP_STEPS_H

#include <cstdint>

#include "foundation/string.h"
#include "host/host_config.h"

enum class TQZStopStep { None, CtrlBreak, Close, Terminate };

// What the steps act on; every function gets Context first. A way that
// cannot be used (the event not delivered, no window to close) returns
// false, and the next way is tried at once.
struct TQZStopTarget {
  void* Context = nullptr;
  bool (*SendCtrlBreak)(void* context, uint32_t& error) = nullptr;
  // Posts the close message; false when the program has no window.
  bool (*CloseWindows)(void* context, uint32_t& windows) = nullptr;
  bool (*Terminate)(void* context, uint32_t& error) = nullptr;
  // True once the program has ended, waiting at most ms.
  bool (*WaitForExit)(void* context, uint32_t ms) = nullptr;
  // Tells the SCM the stop goes on for up to waitHint ms more; may be null.
  void (*Progress)(void* context, uint32_t waitHint) = nullptr;
  void (*Log)(void* context, const TQZString& line) = nullptr;
};

// Waits are cut into slices of this length, each announced with Progress.
const uint32_t StopSliceMs = 1000;
const uint32_t StopProgressHintMs = 3000;

// Runs the steps until the program has ended; returns the step after which
// it ended (None when it had ended before any), or None with false when it
// outlived even the last step.
bool RunStopSteps(const TQZStopSettings& settings, const TQZStopTarget& target,
                  TQZStopStep& endedBy);

#endif  // QZ_HOST_STOP_STEPS_H
