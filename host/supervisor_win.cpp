// The supervisor's waits on the program and the stop.
#include "host/supervisor.h"

#include "foundation/win32.h"
#include "host/host_log.h"

namespace {

uint64_t NowMs() { return GetTickCount64(); }

struct TQZStopContext {
  TQZHostProgram* Run;
  void (*Progress)(void*, uint32_t);
  void* ProgressContext;
};

TQZStopTarget StopTargetFor(TQZStopContext& context) {
  TQZStopTarget target;
  target.Context = &context;
  target.SendCtrlBreak = [](void* c, uint32_t& error) {
    return static_cast<TQZStopContext*>(c)->Run->SendCtrlBreak(error);
  };
  target.CloseWindows = [](void* c, uint32_t& windows) {
    return static_cast<TQZStopContext*>(c)->Run->CloseWindows(windows);
  };
  target.Terminate = [](void* c, uint32_t& error) {
    return static_cast<TQZStopContext*>(c)->Run->Terminate(error);
  };
  target.WaitForExit = [](void* c, uint32_t ms) {
    return static_cast<TQZStopContext*>(c)->Run->WaitForExit(ms);
  };
  target.Progress = [](void* c, uint32_t hint) {
    TQZStopContext* context = static_cast<TQZStopContext*>(c);
    if (context->Progress != nullptr) context->Progress(context->ProgressContext, hint);
  };
  target.Log = [](void*, const TQZString& line) { HostLog(line); };
  return target;
}

}  // namespace

TQZSupervisor::TQZSupervisor(const TQZHostConfig& config)
    : Config(config), Policy(config.Restart) {}

TQZSupervisor::~TQZSupervisor() {
  TQZHostProgram* run = Current;
  Current = nullptr;
  delete run;
}

bool TQZSupervisor::Start(uint32_t& error) { return StartRun(error); }

bool TQZSupervisor::StartRun(uint32_t& error) {
  error = 0;
  TQZCritSectGuard guard(Lock);
  if (Stopping) return false;
  TQZHostProgram* run = new TQZHostProgram();
  if (!run->Start(Config, error)) {
    delete run;
    HostLogFormat("cannot start %s: %s (%u)", ProgramCommandLine(Config).Text(),
                  SystemErrorText(error).Text(), error);
    if (error == 0) error = ERROR_GEN_FAILURE;
    return false;
  }
  Current = run;
  CurrentStarted = NowMs();
  HostLogFormat("program started, process id %u: %s", run->ProcessId,
                ProgramCommandLine(Config).Text());
  return true;
}

uint32_t TQZSupervisor::EndRun(TQZHostProgram* run, uint64_t started) {
  if (!run->WaitForExit(0)) {
    // Stop steps that could not end it leave nothing but the job's end.
    uint32_t error = 0;
    run->Terminate(error);
    run->WaitForExit(Config.Stop.Terminate * 1000);
  }
  const uint32_t code = run->ExitCode();
  // The leftovers end and the last output lines are read before the exit
  // line, so the log reads in the order things happened.
  run->Finish();
  HostLogFormat("program exited with code %u after %u s", code,
                static_cast<unsigned>((NowMs() - started) / 1000));
  delete run;
  return code;
}

bool TQZSupervisor::WaitForStop(uint32_t seconds) {
  return WaitForSingleObject(StopBegun.Handle, seconds * 1000) == WAIT_OBJECT_0;
}

bool TQZSupervisor::Restart(uint32_t exitCode, uint64_t runSeconds) {
  for (;;) {
    const TQZRestartDecision decision = Policy.Decide(exitCode, runSeconds, NowMs() / 1000);
    if (decision.Action == TQZRestartAction::StopClean) {
      Ended = true;
      HostLog("the program ended cleanly and is not restarted; the service stops");
      return false;
    }
    if (decision.Action == TQZRestartAction::StopFailed) {
      Ended = true;
      Failed = true;
      FailureCode = exitCode;
      HostLogFormat("giving up after %u failure(s) within %u s: the service stops with 1066 "
                    "and the program's exit code %u",
                    decision.RecentFailures, Config.Restart.FailureWindow, exitCode);
      return false;
    }
    if (decision.DelaySeconds > 0) {
      HostLogFormat("restarting in %u s", decision.DelaySeconds);
      if (WaitForStop(decision.DelaySeconds)) return false;
    } else {
      HostLog("restarting now");
    }
    uint32_t error = 0;
    if (StartRun(error)) return true;
    if (error == 0) return false;
    // A program that cannot be started counts as one that failed at once.
    exitCode = error;
    runSeconds = 0;
  }
}

void TQZSupervisor::Run() {
  {
    TQZCritSectGuard guard(Lock);
    Running = true;
    if (Stopping) {
      // The stop came first and has taken care of the run itself.
      Running = false;
      RunDone.Set();
      return;
    }
  }
  TQZHostProgram* run = nullptr;
  uint64_t started = 0;
  for (;;) {
    {
      TQZCritSectGuard guard(Lock);
      run = Current;
      started = CurrentStarted;
    }
    if (run == nullptr) break;
    HANDLE waits[2] = {static_cast<HANDLE>(run->ProcessHandle), StopBegun.Handle};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_FAILED) {
      // Without a usable stop event the program's end is still waited for:
      // a stop's steps end it.
      WaitForSingleObject(waits[0], INFINITE);
    }
    {
      TQZCritSectGuard guard(Lock);
      if (Stopping) break;
      Current = nullptr;
    }
    // The run's length is taken before its output is drained.
    const uint64_t runSeconds = (NowMs() - started) / 1000;
    const uint32_t code = EndRun(run, started);
    run = nullptr;
    if (!Restart(code, runSeconds)) break;
  }
  if (run != nullptr) {
    // The stop's steps act on this run; it is released once they are done.
    WaitForSingleObject(StepsDone.Handle, INFINITE);
    {
      TQZCritSectGuard guard(Lock);
      Current = nullptr;
    }
    EndRun(run, started);
  }
  RunDone.Set();
}

void TQZSupervisor::Stop(void (*progress)(void* context, uint32_t waitHint), void* context) {
  TQZHostProgram* run = nullptr;
  bool running = false;
  uint64_t started = 0;
  {
    TQZCritSectGuard guard(Lock);
    if (!Stopping) run = Current;
    Stopping = true;
    running = Running;
    started = CurrentStarted;
  }
  StopBegun.Set();
  if (run != nullptr) {
    HostLog("stopping the program");
    TQZStopContext stopContext{run, progress, context};
    TQZStopStep endedBy = TQZStopStep::None;
    RunStopSteps(Config.Stop, StopTargetFor(stopContext), endedBy);
    if (!running) {
      {
        TQZCritSectGuard guard(Lock);
        Current = nullptr;
      }
      EndRun(run, started);
    }
  }
  StepsDone.Set();
  if (!running) return;
  while (WaitForSingleObject(RunDone.Handle, StopSliceMs) == WAIT_TIMEOUT) {
    if (progress != nullptr) progress(context, StopProgressHintMs);
  }
}
