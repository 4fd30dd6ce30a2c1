// The decisions of a running service's control sequence.
#include "service/svc_sequence.h"

#include "service/svc_obj.h"

namespace qzsvc {

TQZControlKind ClassifyControl(uint32_t code, bool acceptsPreshutdown, bool userHookSet) {
  switch (code) {
    case 1: return TQZControlKind::Stop;
    case 2: return TQZControlKind::Pause;
    case 3: return TQZControlKind::Continue;
    case 4: return TQZControlKind::Interrogate;
    case 5: return TQZControlKind::Shutdown;
    case 15:
      return acceptsPreshutdown ? TQZControlKind::Preshutdown : TQZControlKind::Ignored;
    default:
      return code >= 128 && code <= 255 && userHookSet ? TQZControlKind::User
                                                       : TQZControlKind::Ignored;
  }
}

TQZDecision DecideControl(const TQZSequenceView& view, TQZControlKind kind, bool hookSet) {
  const TQZDecision nothing = {0, TQZStepKind::None, false};
  // Before the run has reported anything, and after its final report.
  if (kind == TQZControlKind::Ignored || view.State == QZ_SERVICE_STOPPED) return nothing;
  if (kind == TQZControlKind::Interrogate) return {view.State, TQZStepKind::None, false};

  const bool idle = view.Running == TQZStepKind::None && !view.Queued;
  if (kind == TQZControlKind::WorkEnded || kind == TQZControlKind::WorkFailed) {
    // A stop under way ends the run; its hook was told by StopRequested.
    if (view.Stopping || view.Closed) return nothing;
    // Failed work with nothing under way ends the run at once, without the
    // shutdown hook.
    if (kind == TQZControlKind::WorkFailed) {
      return {idle ? 0u : uint32_t{QZ_SERVICE_STOP_PENDING}, TQZStepKind::End, idle};
    }
    return {QZ_SERVICE_STOP_PENDING, TQZStepKind::Shutdown, idle && !hookSet};
  }

  // A service still starting, or stopping, takes no control: it is answered
  // with the state as it is.
  if (view.State == QZ_SERVICE_START_PENDING || view.Stopping || view.Closed) {
    return {view.State, TQZStepKind::None, false};
  }
  const bool inPlace = idle && !hookSet;
  switch (kind) {
    case TQZControlKind::Stop:
      return {QZ_SERVICE_STOP_PENDING, TQZStepKind::Stop, inPlace};
    case TQZControlKind::Shutdown:
    case TQZControlKind::Preshutdown:
      return {QZ_SERVICE_STOP_PENDING, TQZStepKind::Shutdown, inPlace};
    case TQZControlKind::Pause:
      return {QZ_SERVICE_PAUSE_PENDING, TQZStepKind::Pause, inPlace};
    case TQZControlKind::Continue:
      return {QZ_SERVICE_CONTINUE_PENDING, TQZStepKind::Continue, inPlace};
    case TQZControlKind::User:
      // Changes no state, so nothing is reported; without a hook it is not
      // a control of this service at all.
      return hookSet ? TQZDecision{0, TQZStepKind::User, false} : nothing;
    default:
      return nothing;
  }
}

TQZStepEnd FinishStep(TQZStepKind step, bool ok, uint32_t settled, bool laterChange,
                      bool workEnded) {
  switch (step) {
    case TQZStepKind::Pause:
    case TQZStepKind::Continue: {
      const uint32_t reached = step == TQZStepKind::Pause ? QZ_SERVICE_PAUSED : QZ_SERVICE_RUNNING;
      const uint32_t now = ok ? reached : settled;
      return {laterChange ? 0u : now, now, false, false};
    }
    case TQZStepKind::Stop:
      // Once the work has ended there is nothing left to keep running.
      if (ok || workEnded) return {0, settled, true, false};
      return {laterChange ? 0u : settled, settled, false, true};
    case TQZStepKind::Shutdown:
    case TQZStepKind::End:
      return {0, settled, true, false};
    default:
      return {0, settled, false, false};
  }
}

}  // namespace qzsvc
