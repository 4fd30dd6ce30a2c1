// The decisions of a running service's control sequence: what the SCM is told
// when a control or the end of the work arrives, which step the sequence
// takes for it, and what a finished step reports. Pure functions, internal to
// the library.
#ifndef QZ_SERVICE_SVC_SEQUENCE_H
#define QZ_SERVICE_SVC_SEQUENCE_H

#include <cstdint>

namespace qzsvc {

// What arrives at the sequence: a control code as classified, or the end of
// the service's work (OnExecute returned, or threw).
enum class TQZControlKind : uint8_t {
  Ignored,
  Interrogate,
  Stop,
  Pause,
  Continue,
  Shutdown,
  Preshutdown,
  User,
  WorkEnded,
  WorkFailed,
};

// A step of the sequence. Stop runs OnStop, Shutdown OnShutdown, Pause and
// Continue their hooks, User OnControl; End runs no hook and ends the run.
enum class TQZStepKind : uint8_t { None, Stop, Pause, Continue, Shutdown, User, End };

// The sequence as a decision sees it.
struct TQZSequenceView {
  uint32_t State;       // the state last reported (SERVICE_STOPPED outside a run)
  TQZStepKind Running;  // the step being carried out; None when idle
  bool Queued;          // steps wait to be carried out
  bool Stopping;        // a stop, shutdown or end of the run is taken and not refused
  bool Closed;          // the run's end is decided; nothing more is taken
};

struct TQZDecision {
  uint32_t ReportNow;  // the state the SCM is told at once; 0: no report
  TQZStepKind Step;    // the step taken; None: nothing to carry out
  // The step has no hook and nothing is under way: the caller carries it out
  // at once, without handing it to the control thread.
  bool InPlace;
};

// Maps a control code to what it asks of the sequence. Preshutdown counts
// only for a service that announced a preshutdown timeout, a user code
// (128 to 255) only when OnControl is set.
TQZControlKind ClassifyControl(uint32_t code, bool acceptsPreshutdown, bool userHookSet);

// The decision when kind arrives; hookSet tells whether the slot of the step
// it would take is filled.
TQZDecision DecideControl(const TQZSequenceView& view, TQZControlKind kind, bool hookSet);

struct TQZStepEnd {
  uint32_t Report;   // the state to report; 0: none
  uint32_t Settled;  // the state the steps carried out so far lead to
  bool RunEnds;      // the stop is done: the run ends once the sequence is empty
  bool StopRefused;  // the stop is taken back
};

// What a finished step leads to. settled is the state the steps before it
// led to (running or paused); laterChange tells whether a pause, continue or
// stop waits behind it, whose pending state the SCM was told already, so
// that this step's outcome is not reported over it; workEnded whether
// OnExecute has returned, after which a stop can no longer be refused.
TQZStepEnd FinishStep(TQZStepKind step, bool ok, uint32_t settled, bool laterChange,
                      bool workEnded);

// Makes the allocation of a queued control fail while fails returns true;
// null restores it.
void SetStepAllocationFailureForTesting(bool (*fails)());

}  // namespace qzsvc

#endif  // QZ_SERVICE_SVC_SEQUENCE_H
