// What the host does when its program has ended: restart it after a delay,
// or end the service cleanly or as failed.
#ifndef QZ_HOST_RESTART_POLICY_H
#define QZ_HOST_RESTART_POLICY_H

#include <cstdint>
#include <vector>

#include "host/host_config.h"

enum class TQZRestartAction {
  Restart,
  // The service ends with exit code 0.
  StopClean,
  // The service ends with 1066 and the program's exit code.
  StopFailed,
};

struct TQZRestartDecision {
  TQZRestartAction Action = TQZRestartAction::Restart;
  uint32_t DelaySeconds = 0;
  // Failures within the window, this one included.
  uint32_t RecentFailures = 0;
};

// The memory of earlier runs that the decisions need.
class TQZRestartPolicy {
 public:
  explicit TQZRestartPolicy(const TQZRestartSettings& settings);
  virtual ~TQZRestartPolicy() = default;

  // The program ended with exitCode after running runSeconds; nowSeconds is
  // a monotonic clock. A run of ResetAfter or longer restarts at once and
  // starts the delays again from 1 s; a quicker one waits the next delay,
  // which doubles up to DelayLimit. Any exit code but 0 is a failure.
  TQZRestartDecision Decide(uint32_t exitCode, uint64_t runSeconds, uint64_t nowSeconds);

 private:
  TQZRestartSettings Settings;
  uint32_t NextDelay = 1;
  std::vector<uint64_t> FailureTimes;
};

#endif  // QZ_HOST_RESTART_POLICY_H
