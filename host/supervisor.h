// Runs the hosted program, restarts it by the restart policy, and stops it
// with the stop steps when the service stops.
#ifndef QZ_HOST_SUPERVISOR_H
#define QZ_HOST_SUPERVISOR_H

#include <cstdint>

#include "foundation/sync.h"
#include "host/host_config.h"
#include "host/program.h"
#include "host/restart_policy.h"

class TQZSupervisor {
 public:
  explicit TQZSupervisor(const TQZHostConfig& config);
  virtual ~TQZSupervisor();
  TQZSupervisor(const TQZSupervisor&) = delete;
  TQZSupervisor& operator=(const TQZSupervisor&) = delete;

  // Starts the first run; false with the Win32 error of the failed step.
  bool Start(uint32_t& error);
  // Watches the program until a stop or until the restart policy ends the
  // service; then GaveUp and FailureCode tell how it ended.
  void Run();
  // From the stop: takes the stop steps on the current run, then waits for
  // Run to return. progress (may be null) is called with a wait hint while
  // anything is waited for.
  void Stop(void (*progress)(void* context, uint32_t waitHint), void* context);

  // The policy ended the service: with StopFailed, 1066 and FailureCode.
  bool Ended = false;
  bool Failed = false;
  uint32_t FailureCode = 0;

 private:
  // Starts a run under the lock unless a stop has begun; false with error
  // (0 when refused for the stop).
  bool StartRun(uint32_t& error);
  // Waits for the stop or the delay; true when the stop came.
  bool WaitForStop(uint32_t seconds);
  // Logs how the run ended and releases it; returns its exit code.
  uint32_t EndRun(TQZHostProgram* run, uint64_t started);
  // After a run ended by itself: restarts by the policy, with its delay;
  // false when the service is to end (the policy, or a stop meanwhile).
  bool Restart(uint32_t exitCode, uint64_t runSeconds);

  const TQZHostConfig& Config;
  TQZRestartPolicy Policy;
  TQZCritSect Lock;
  bool Stopping = false;            // under Lock
  bool Running = false;             // under Lock: Run has begun
  TQZHostProgram* Current = nullptr;  // under Lock
  uint64_t CurrentStarted = 0;      // under Lock
  // Manual reset: the stop has begun; its steps are done; Run has returned.
  TQZEvent StopBegun{nullptr, 1, false};
  TQZEvent StepsDone{nullptr, 1, false};
  TQZEvent RunDone{nullptr, 1, false};
};

#endif  // QZ_HOST_SUPERVISOR_H
