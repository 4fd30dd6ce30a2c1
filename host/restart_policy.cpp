// The restart decisions of the host's supervisor.
#include "host/restart_policy.h"

TQZRestartPolicy::TQZRestartPolicy(const TQZRestartSettings& settings) : Settings(settings) {}

TQZRestartDecision TQZRestartPolicy::Decide(uint32_t exitCode, uint64_t runSeconds,
                                            uint64_t nowSeconds) {
  TQZRestartDecision decision;
  const bool failed = exitCode != 0;
  if (failed) {
    FailureTimes.push_back(nowSeconds);
    // Only failures inside the window count; the window ends now.
    std::vector<uint64_t> recent;
    for (uint64_t time : FailureTimes) {
      if (nowSeconds - time < Settings.FailureWindow) recent.push_back(time);
    }
    FailureTimes.swap(recent);
  }
  decision.RecentFailures = static_cast<uint32_t>(FailureTimes.size());

  const bool restart = Settings.Mode == TQZRestartMode::Always ||
                       (Settings.Mode == TQZRestartMode::OnFailure && failed);
  if (!restart) {
    decision.Action = failed ? TQZRestartAction::StopFailed : TQZRestartAction::StopClean;
    return decision;
  }
  if (failed && Settings.MaxFailures > 0 && decision.RecentFailures >= Settings.MaxFailures) {
    decision.Action = TQZRestartAction::StopFailed;
    return decision;
  }

  decision.Action = TQZRestartAction::Restart;
  if (runSeconds >= Settings.ResetAfter) {
    NextDelay = 1;
    decision.DelaySeconds = 0;
  } else {
    decision.DelaySeconds = NextDelay < Settings.DelayLimit ? NextDelay : Settings.DelayLimit;
    const uint32_t doubled = decision.DelaySeconds * 2;
    NextDelay = doubled < Settings.DelayLimit ? doubled : Settings.DelayLimit;
  }
  return decision;
}
