// The host's stop sequence, apart from the calls that carry it out.
#include "host/stop_steps.h"

namespace {

void Log(const TQZStopTarget& target, const TQZString& line) {
  if (target.Log != nullptr) target.Log(target.Context, line);
}

// Waits up to seconds for the end, in slices that each announce progress.
bool WaitWithProgress(const TQZStopTarget& target, uint32_t seconds) {
  uint64_t remaining = static_cast<uint64_t>(seconds) * 1000;
  while (remaining > 0) {
    const uint32_t slice = remaining < StopSliceMs ? static_cast<uint32_t>(remaining) : StopSliceMs;
    if (target.Progress != nullptr) target.Progress(target.Context, StopProgressHintMs);
    if (target.WaitForExit(target.Context, slice)) return true;
    remaining -= slice;
  }
  return false;
}

}  // namespace

bool RunStopSteps(const TQZStopSettings& settings, const TQZStopTarget& target,
                  TQZStopStep& endedBy) {
  endedBy = TQZStopStep::None;
  if (target.WaitForExit(target.Context, 0)) return true;
  TQZString line;

  if (settings.CtrlBreak > 0) {
    uint32_t error = 0;
    if (target.SendCtrlBreak(target.Context, error)) {
      line.Format("stop: Ctrl+Break sent, waiting up to %u s", settings.CtrlBreak);
      Log(target, line);
      if (WaitWithProgress(target, settings.CtrlBreak)) {
        endedBy = TQZStopStep::CtrlBreak;
        Log(target, "stop: the program ended after Ctrl+Break");
        return true;
      }
    } else {
      line.Format("stop: Ctrl+Break not delivered: %s (%u)", SystemErrorText(error).Text(),
                  error);
      Log(target, line);
    }
  }

  if (settings.Close > 0) {
    uint32_t windows = 0;
    if (target.CloseWindows(target.Context, windows)) {
      line.Format("stop: close sent to %u window(s), waiting up to %u s", windows,
                  settings.Close);
      Log(target, line);
      if (WaitWithProgress(target, settings.Close)) {
        endedBy = TQZStopStep::Close;
        Log(target, "stop: the program ended after the close message");
        return true;
      }
    } else {
      Log(target, "stop: no window to close");
    }
  }

  uint32_t error = 0;
  if (!target.Terminate(target.Context, error)) {
    line.Format("stop: ending the program failed: %s (%u)", SystemErrorText(error).Text(), error);
    Log(target, line);
    return false;
  }
  line.Format("stop: ending the program and every process it started, waiting up to %u s",
              settings.Terminate);
  Log(target, line);
  if (WaitWithProgress(target, settings.Terminate)) {
    endedBy = TQZStopStep::Terminate;
    return true;
  }
  Log(target, "stop: the program has not ended");
  return false;
}
