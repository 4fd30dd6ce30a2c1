// The service object's life under the SCM and the per-process service table.
#include <memory>
#include <new>

#include "foundation/win32.h"
#include "service/event_log.h"
#include "service/platform.h"
#include "service/svc_module.h"
#include "service/svc_obj.h"
#include "service/svc_sequence.h"

namespace qzsvc {
namespace {

struct TQZServiceModule {
  TQZServiceModule() {
    Table.SetSorted(true);
    Table.SetDuplicates(false);
    Table.SetCaseSensitive(true);
    Table.SetCapacity(4);
  }
  // Declared before the lock so that the lock is destroyed first.
  TQZStringList Table QZ_GUARDED_BY(Lock);
  TQZCritSect Lock;
  // Read without the lock by the early guards; changed only under it.
  std::atomic<bool> DispatcherRunning{false};
  TQZSvcObj* Current QZ_GUARDED_BY(Lock) = nullptr;
};

TQZServiceModule& Module() {
  static TQZServiceModule module;
  return module;
}

// Built during static initialisation, before any thread can race to it.
[[maybe_unused]] TQZServiceModule& StartupModule = Module();

const char* NullWhenEmpty(const TQZString& s) {
  return s.Length() > 0 ? s.Text() : nullptr;
}

// Clears the current service object when the Run that set it ends.
class TQZCurrentObjectScope {
 public:
  TQZCurrentObjectScope() = default;
  ~TQZCurrentObjectScope() {
    if (!Owned) return;
    TQZServiceModule& module = Module();
    TQZCritSectGuard guard(module.Lock);
    module.Current = nullptr;
  }
  TQZCurrentObjectScope(const TQZCurrentObjectScope&) = delete;
  TQZCurrentObjectScope& operator=(const TQZCurrentObjectScope&) = delete;

  bool Claim(TQZSvcObj* object) {
    TQZServiceModule& module = Module();
    TQZCritSectGuard guard(module.Lock);
    if (module.Current != nullptr) return false;
    module.Current = object;
    Owned = true;
    return true;
  }

 private:
  bool Owned = false;
};

bool IsPendingState(uint32_t state) {
  return state == QZ_SERVICE_START_PENDING || state == QZ_SERVICE_STOP_PENDING ||
         state == QZ_SERVICE_CONTINUE_PENDING || state == QZ_SERVICE_PAUSE_PENDING;
}

// Waits for an auto-reset event; without a usable one, sleeps a little, so
// that a caller that waits in a loop looks again at a slow pace rather than
// spinning.
void WaitOrPause(TQZEvent& event) {
  if (event.Handle == nullptr || !event.Wait()) SleepMilliseconds(50);
}

}  // namespace

bool AddServiceObject(const TQZString& name, TQZSvcObj* object) {
  TQZServiceModule& module = Module();
  if (module.DispatcherRunning.load()) return false;
  // A null object would be run by the service main routine.
  if (name.Length() == 0 || object == nullptr) return false;
  TQZCritSectGuard guard(module.Lock);
  if (module.DispatcherRunning.load()) return false;
  try {
    return module.Table.Add(name, reinterpret_cast<uintptr_t>(object)) >= 0;
  } catch (...) {
    return false;
  }
}

void RemoveServiceObject(const TQZString& name) {
  TQZServiceModule& module = Module();
  if (module.DispatcherRunning.load()) return;
  if (name.Length() == 0) return;
  TQZCritSectGuard guard(module.Lock);
  if (module.DispatcherRunning.load()) return;
  try {
    module.Table.Remove(name, 0);
  } catch (...) {
  }
}

int32_t ServiceTableCount() {
  TQZServiceModule& module = Module();
  TQZCritSectGuard guard(module.Lock);
  return module.Table.Count();
}

bool RunServiceDispatcher() {
  TQZServiceModule& module = Module();
  if (module.DispatcherRunning.load()) return false;
  // The copies keep every name's characters alive for the dispatcher.
  std::unique_ptr<TQZString[]> names;
  std::unique_ptr<SERVICE_TABLE_ENTRYA[]> entries;
  {
    TQZCritSectGuard guard(module.Lock);
    if (module.DispatcherRunning.load()) return false;
    const int32_t count = module.Table.Count();
    if (count < 1) return false;
    names.reset(new (std::nothrow) TQZString[count]);
    entries.reset(new (std::nothrow) SERVICE_TABLE_ENTRYA[count + 1]());
    if (!names || !entries) return false;
    for (int32_t i = 0; i < count; ++i) {
      names[i] = module.Table.GetString(i);
      entries[i].lpServiceName = const_cast<char*>(NullWhenEmpty(names[i]));
      entries[i].lpServiceProc = ServiceMain;
    }
    module.DispatcherRunning = true;
  }

  struct TQZRunningFlagScope {
    ~TQZRunningFlagScope() {
      TQZServiceModule& module = Module();
      TQZCritSectGuard guard(module.Lock);
      module.DispatcherRunning = false;
    }
  } runningFlag;
  return ServiceApi().StartServiceCtrlDispatcherA(entries.get()) != FALSE;
}

void QZ_WINAPI ServiceMain(unsigned long argc, char** argv) {
  try {
    if (argc == 0 || argv == nullptr) return;
    const TQZString name(argv[0] != nullptr ? argv[0] : "");
    TQZSvcObj* object = nullptr;
    {
      TQZServiceModule& module = Module();
      TQZCritSectGuard guard(module.Lock);
      uintptr_t data = 0;
      if (module.Table.Find(name, 0, &data, 0) >= 0) {
        object = reinterpret_cast<TQZSvcObj*>(data);
      } else if (module.Table.Count() == 1) {
        object = reinterpret_cast<TQZSvcObj*>(module.Table.GetData(0));
      }
    }
    if (object != nullptr) {
      object->Run(argc, argv);
    } else {
      ReportServiceStopped(argv[0], 1);
    }
  } catch (...) {
  }
}

void QZ_WINAPI ServiceCtrlHandler(unsigned long control) {
  try {
    TQZSvcObj* object = nullptr;
    {
      TQZServiceModule& module = Module();
      TQZCritSectGuard guard(module.Lock);
      object = module.Current;
    }
    if (object != nullptr) object->Control(control);
  } catch (...) {
  }
}

void ReportServiceStopped(const char* name, uint32_t serviceExitCode) {
  const char* registered = (name != nullptr && name[0] != '\0') ? name : nullptr;
  SERVICE_STATUS_HANDLE handle =
      ServiceApi().RegisterServiceCtrlHandlerA(registered, ServiceCtrlHandler);
  if (handle == nullptr) return;
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = SERVICE_STOPPED;
  status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
  status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
  status.dwServiceSpecificExitCode = serviceExitCode;
  status.dwCheckPoint = 0;
  status.dwWaitHint = 5000;
  ServiceApi().SetServiceStatus(handle, &status);
}

const char* ServiceStateName(uint32_t state) {
  switch (state) {
    case QZ_SERVICE_STOPPED: return "STOPPED";
    case QZ_SERVICE_START_PENDING: return "START_PENDING";
    case QZ_SERVICE_STOP_PENDING: return "STOP_PENDING";
    case QZ_SERVICE_RUNNING: return "RUNNING";
    case QZ_SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
    case QZ_SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
    case QZ_SERVICE_PAUSED: return "PAUSED";
    default: return "UNKNOWN";
  }
}

uint32_t ComposeServiceType(uint32_t type, bool interactive, bool shared) {
  if ((type & (SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS)) == 0) {
    return type;
  }
  if (interactive) type |= SERVICE_INTERACTIVE_PROCESS;
  if (shared) {
    type = (type & ~uint32_t{SERVICE_WIN32_OWN_PROCESS}) | SERVICE_WIN32_SHARE_PROCESS;
  } else {
    type = (type & ~uint32_t{SERVICE_WIN32_SHARE_PROCESS}) | SERVICE_WIN32_OWN_PROCESS;
  }
  return type;
}

uint32_t ComposeControlsAccepted(bool acceptStop, bool acceptPauseContinue,
                                 bool acceptPreshutdown) {
  uint32_t accepted = SERVICE_ACCEPT_SHUTDOWN;
  if (acceptStop) accepted |= SERVICE_ACCEPT_STOP;
  if (acceptPauseContinue) accepted |= SERVICE_ACCEPT_PAUSE_CONTINUE;
  if (acceptPreshutdown) accepted |= SERVICE_ACCEPT_PRESHUTDOWN;
  return accepted;
}

}  // namespace qzsvc


using qzsvc::IsPendingState;
using qzsvc::NullWhenEmpty;
using qzsvc::ReportServiceStopped;
using qzsvc::TQZControlKind;
using qzsvc::TQZCurrentObjectScope;
using qzsvc::TQZStepKind;
using qzsvc::WaitOrPause;

struct TQZSvcObj::TQZStepNode {
  TQZStepKind Kind;
  uint32_t Code;
  TQZStepNode* Next;
};

class QZ_SCOPED_CAPABILITY TQZSvcObj::TQZLocked {
 public:
  explicit TQZLocked(TQZSvcObj& object) QZ_ACQUIRE(object.Lock) : Object(object) {
    Object.Lock.Enter();
  }
  ~TQZLocked() QZ_RELEASE() {
    uint32_t errors[MaxNotedErrors];
    const int32_t count = Object.NotedErrorCount;
    for (int32_t i = 0; i < count; ++i) errors[i] = Object.NotedErrors[i];
    Object.NotedErrorCount = 0;
    Object.Lock.Leave();
    // Written after the lock is let go: the event log may take its time.
    for (int32_t i = 0; i < count; ++i) {
      Object.LogEvent(SystemErrorText(errors[i]), EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
    }
  }
  TQZLocked(const TQZLocked&) = delete;
  TQZLocked& operator=(const TQZLocked&) = delete;

 private:
  TQZSvcObj& Object;
};

namespace {

// The allocation of queued steps; tests make it fail.
bool (*StepAllocationFails)() = nullptr;

}  // namespace

namespace qzsvc {

void SetStepAllocationFailureForTesting(bool (*fails)()) { StepAllocationFails = fails; }

}  // namespace qzsvc

void TQZSvcObj::Run(uint32_t argc, char** argv) {
  if (RunIdle != nullptr) ResetEvent(RunIdle);
  RunOnce(argc, argv);
  // The last touch of the object on this thread.
  if (RunIdle != nullptr) SetEvent(RunIdle);
}

void TQZSvcObj::RunOnce(uint32_t argc, char** argv) {
  try {
    if (argv == nullptr) argc = 0;
    Arguments->Clear();
    for (uint32_t i = 0; i < argc; ++i) {
      Arguments->Add(argv[i] != nullptr ? argv[i] : "", 0);
    }
    // Without arguments there is no name from the SCM; the own name stands in.
    const TQZString passedName =
        argc > 0 ? TQZString(argv[0] != nullptr ? argv[0] : "") : ServiceName;

    bool ok = true;
    TQZHandlerFunction handler = nullptr;
    if (OnInit.Function != nullptr) {
      try {
        ok = OnInit.Function(OnInit.UserData, this, Arguments, &handler);
      } catch (...) {
        ok = false;
      }
    }
    const bool toSink = ReportSink.Function != nullptr;
    if (!ok) {
      if (toSink) {
        ReportRefusalToSink();
      } else {
        ReportServiceStopped(passedName.Text(), ServiceExitCode);
      }
      return;
    }

    TQZCurrentObjectScope current;
    if (handler == nullptr && !toSink) {
      if (!current.Claim(this)) {
        ReportServiceStopped(passedName.Text(), ServiceExitCode);
        return;
      }
      handler = qzsvc::ServiceCtrlHandler;
    }

    const TQZString name =
        Arguments->Count() > 0 ? Arguments->GetString(0) : ServiceName;
    LastError = 0;
    PrevState = QZ_SERVICE_START_PENDING;
    // A stop left over from an earlier run must not end this one.
    StopRequested = false;
    StopWake.TryWait();
    if (StopEvent != nullptr && StopEvent->Handle != nullptr) StopEvent->TryWait();

    SERVICE_STATUS_HANDLE handle =
        toSink ? nullptr : ServiceApi().RegisterServiceCtrlHandlerA(NullWhenEmpty(name), handler);
    const uint32_t registerError = handle == nullptr ? GetLastError() : 0;
    {
      TQZCritSectGuard guard(Lock);
      StatusHandle = handle;
      Reporting = handle != nullptr || toSink;
      StoppedReported = false;
      LastCheckPoint = 0;
      ProgressWaitHint = 0;
      RunFailed = false;
      FailureCode = 0;
    }
    if (handle == nullptr && !toSink) {
      LastError = registerError;
      LogEvent(SystemErrorText(LastError), EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
      return;
    }
    uint32_t threadError = 0;
    if (!OpenControls(threadError)) {
      // Without its control thread the run could not carry out a control,
      // so it does not start at all.
      LastError = threadError;
      LogEvent(SystemErrorText(threadError), EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
      TQZLocked locked(*this);
      RunFailed = true;
      FailureCode = QZ_EXIT_NO_CONTROL_THREAD;
      SetStateLocked(QZ_SERVICE_STOPPED, 0, true);
      return;
    }
    DoStart();
  } catch (...) {
  }
}

void TQZSvcObj::DoStart() {
  SetState(QZ_SERVICE_START_PENDING);
  bool started = false;
  try {
    bool ok = true;
    if (OnStart.Function != nullptr) OnStart.Function(OnStart.UserData, this, ok);
    started = ok;
  } catch (...) {
  }
  if (started) {
    {
      TQZLocked locked(*this);
      Settled = QZ_SERVICE_RUNNING;
      SetStateLocked(QZ_SERVICE_RUNNING);
    }
    DoExecute();
  } else {
    {
      TQZCritSectGuard guard(Lock);
      RunFailed = true;
    }
    CloseControls();
  }
  EndRun();
}

void TQZSvcObj::DoExecute() {
  if (OnExecute.Function == nullptr) {
    WaitForStop();
    return;
  }
  bool failed = false;
  try {
    OnExecute.Function(OnExecute.UserData, this);
  } catch (...) {
    failed = true;
  }
  // The end of the work enters the sequence like a control, so that the
  // stop it leads to waits for a hook still running.
  Enter(failed ? TQZControlKind::WorkFailed : TQZControlKind::WorkEnded, 0);
}

void TQZSvcObj::WaitForStop() {
  for (;;) {
    {
      TQZLocked locked(*this);
      if (RunEnding) return;
      // A stop hook is told through the flag as well; only a flag set with
      // no stop under way ends the work.
      if (StopRequested.load() && !Stopping) {
        TQZStepNode* none = nullptr;
        EnterLocked(TQZControlKind::WorkEnded, 0, none);
        return;
      }
    }
    ++StopWaitCount;
    WaitOrPause(StopWake);
  }
}

bool TQZSvcObj::OpenControls(uint32_t& error) {
  TQZCritSectGuard guard(Lock);
  Running = TQZStepKind::None;
  FinalStep = TQZStepKind::None;
  ChangesQueued = 0;
  Settled = QZ_SERVICE_RUNNING;
  Stopping = false;
  WorkEnded = false;
  RunEnding = false;
  ThreadLeft = false;
  ControlWake.TryWait();
  // Made before the start, so that the first control does not wait for it.
  ControlThread = ServiceApi().CreateThread(nullptr, 0, &TQZSvcObj::ControlThreadMain, this, 0,
                                            nullptr);
  if (ControlThread == nullptr) {
    error = GetLastError();
    return false;
  }
  return true;
}

void TQZSvcObj::CloseControls() {
  {
    TQZCritSectGuard guard(Lock);
    RunEnding = true;
  }
  ControlWake.Set();
}

void TQZSvcObj::EndRun() {
  for (;;) {
    {
      TQZCritSectGuard guard(Lock);
      if (RunEnding && ThreadLeft) break;
    }
    WaitOrPause(StopWake);
  }
  // No other hook runs any more once the final report is on its way.
  if (OnRunEnd.Function != nullptr) {
    try {
      OnRunEnd.Function(OnRunEnd.UserData, this);
    } catch (...) {
    }
  }
  void* thread = nullptr;
  {
    TQZLocked locked(*this);
    SetStateLocked(QZ_SERVICE_STOPPED, 0, true);
    thread = ControlThread;
    ControlThread = nullptr;
  }
  // The thread touches nothing any more, so the final report does not wait
  // for its teardown; the run still ends only once it has.
  if (thread != nullptr) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
}

void TQZSvcObj::Control(uint32_t code) {
  try {
    const TQZControlKind kind =
        qzsvc::ClassifyControl(code, PreshutdownTimeout != 0, OnControl.Function != nullptr);
    if (kind != TQZControlKind::Ignored) Enter(kind, code);
  } catch (...) {
  }
}

void TQZSvcObj::Enter(TQZControlKind kind, uint32_t code) {
  // Taken before the lock, so that the lock is never held across the heap.
  TQZStepNode* spare = nullptr;
  if (kind == TQZControlKind::Pause || kind == TQZControlKind::Continue ||
      kind == TQZControlKind::User) {
    if (StepAllocationFails == nullptr || !StepAllocationFails()) {
      spare = new (std::nothrow) TQZStepNode{TQZStepKind::None, 0, nullptr};
    }
  }
  {
    TQZLocked locked(*this);
    EnterLocked(kind, code, spare);
  }
  delete spare;
}

void TQZSvcObj::EnterLocked(TQZControlKind kind, uint32_t code, TQZStepNode*& spare) {
  const bool work = kind == TQZControlKind::WorkEnded || kind == TQZControlKind::WorkFailed;
  if (work) WorkEnded = true;
  if (kind == TQZControlKind::WorkFailed) RunFailed = true;
  const qzsvc::TQZSequenceView view = {State.load(), Running,
                                       QueueHead != nullptr || FinalStep != TQZStepKind::None,
                                       Stopping, RunEnding};
  const qzsvc::TQZDecision decision = qzsvc::DecideControl(view, kind, HookSetFor(kind));
  const bool listed = decision.Step == TQZStepKind::Pause ||
                      decision.Step == TQZStepKind::Continue ||
                      decision.Step == TQZStepKind::User;
  if (listed && !decision.InPlace && spare == nullptr) {
    // No memory to hold the control: it is refused, and the SCM is told the
    // state as it is rather than a pending state that would never end.
    if (Reporting && !StoppedReported) SendStatusLocked();
    NoteErrorLocked(ERROR_NOT_ENOUGH_MEMORY);
    return;
  }
  if (decision.ReportNow != 0) {
    // The SCM waits up to the preshutdown timeout for the service, so that
    // is the time the pending state announces.
    SetStateLocked(decision.ReportNow,
                   kind == TQZControlKind::Preshutdown ? PreshutdownTimeout : 0);
  }
  if (decision.Step == TQZStepKind::None) return;
  if (!listed) Stopping = true;
  if (decision.InPlace) {
    Running = decision.Step;
    BeginStepLocked(decision.Step);
    FinishStepLocked(decision.Step, true, false);
    return;
  }
  if (listed) {
    TQZStepNode* node = spare;
    spare = nullptr;
    node->Kind = decision.Step;
    node->Code = code;
    node->Next = nullptr;
    if (QueueTail != nullptr) {
      QueueTail->Next = node;
    } else {
      QueueHead = node;
    }
    QueueTail = node;
    if (decision.Step != TQZStepKind::User) ++ChangesQueued;
  } else {
    FinalStep = decision.Step;
  }
  ControlWake.Set();
}

bool TQZSvcObj::HookSetFor(TQZControlKind kind) const {
  switch (kind) {
    case TQZControlKind::Stop: return OnStop.Function != nullptr;
    case TQZControlKind::Pause: return OnPause.Function != nullptr;
    case TQZControlKind::Continue: return OnContinue.Function != nullptr;
    case TQZControlKind::Shutdown:
    case TQZControlKind::Preshutdown:
    case TQZControlKind::WorkEnded: return OnShutdown.Function != nullptr;
    case TQZControlKind::User: return OnControl.Function != nullptr;
    default: return false;
  }
}

void TQZSvcObj::BeginStepLocked(TQZStepKind step) {
  if (step != TQZStepKind::Stop && step != TQZStepKind::Shutdown && step != TQZStepKind::End) {
    return;
  }
  // Before the hook runs, so that a stop hook may wait for the work to end.
  // The flag is written before the event is set, so a waiter that wakes
  // always sees it.
  StopRequested = true;
  TQZEvent* stopEvent = StopEvent;
  if (stopEvent != nullptr && stopEvent->Handle != nullptr) stopEvent->Set();
}

void TQZSvcObj::FinishStepLocked(TQZStepKind step, bool ok, bool threw) {
  // A stop or shutdown whose hook threw still stops, as a failed run.
  if (threw && (step == TQZStepKind::Stop || step == TQZStepKind::Shutdown)) RunFailed = true;
  const bool laterChange = ChangesQueued > 0 || FinalStep != TQZStepKind::None;
  const qzsvc::TQZStepEnd end = qzsvc::FinishStep(step, ok, Settled, laterChange, WorkEnded);
  Running = TQZStepKind::None;
  Settled = end.Settled;
  if (end.StopRefused) {
    Stopping = false;
    StopRequested = false;
    TQZEvent* stopEvent = StopEvent;
    if (stopEvent != nullptr && stopEvent->Handle != nullptr) stopEvent->TryWait();
  }
  if (end.Report != 0) SetStateLocked(end.Report);
  if (end.RunEnds) {
    // The service main thread is woken once the control thread has left.
    RunEnding = true;
    ControlWake.Set();
  }
}

bool TQZSvcObj::RunHook(TQZStepKind step, uint32_t code, bool& threw) {
  bool ok = true;
  threw = false;
  try {
    switch (step) {
      case TQZStepKind::Stop:
        if (OnStop.Function != nullptr) OnStop.Function(OnStop.UserData, this, ok);
        break;
      case TQZStepKind::Pause:
        if (OnPause.Function != nullptr) OnPause.Function(OnPause.UserData, this, ok);
        break;
      case TQZStepKind::Continue:
        if (OnContinue.Function != nullptr) OnContinue.Function(OnContinue.UserData, this, ok);
        break;
      case TQZStepKind::Shutdown:
        if (OnShutdown.Function != nullptr) OnShutdown.Function(OnShutdown.UserData, this);
        break;
      case TQZStepKind::User:
        if (OnControl.Function != nullptr) OnControl.Function(OnControl.UserData, this, code);
        break;
      default:
        break;
    }
  } catch (...) {
    // ok keeps the value the hook left in it.
    threw = true;
  }
  return ok;
}

unsigned long QZ_WINAPI TQZSvcObj::ControlThreadMain(void* object) {
  static_cast<TQZSvcObj*>(object)->RunSteps();
  return 0;
}

void TQZSvcObj::RunSteps() {
  for (;;) {
    TQZStepKind step = TQZStepKind::None;
    uint32_t code = 0;
    TQZStepNode* node = nullptr;
    bool leave = false;
    {
      TQZCritSectGuard guard(Lock);
      if (QueueHead != nullptr) {
        node = QueueHead;
        QueueHead = node->Next;
        if (QueueHead == nullptr) QueueTail = nullptr;
        step = node->Kind;
        code = node->Code;
        if (step != TQZStepKind::User) --ChangesQueued;
      } else if (FinalStep != TQZStepKind::None) {
        step = FinalStep;
        FinalStep = TQZStepKind::None;
      } else if (RunEnding) {
        ThreadLeft = true;
        leave = true;
      }
      Running = step;
      if (step != TQZStepKind::None) BeginStepLocked(step);
    }
    delete node;
    if (leave) {
      StopWake.Set();
      return;
    }
    if (step == TQZStepKind::None) {
      WaitOrPause(ControlWake);
      continue;
    }
    bool threw = false;
    const bool ok = RunHook(step, code, threw);
    {
      TQZLocked locked(*this);
      FinishStepLocked(step, ok, threw);
      // Leaving at once after the run's last step saves the service main
      // thread a wake-up on its way to the final report.
      leave = RunEnding && QueueHead == nullptr && FinalStep == TQZStepKind::None;
      if (leave) ThreadLeft = true;
    }
    if (leave) {
      StopWake.Set();
      return;
    }
  }
}

void TQZSvcObj::SetState(uint32_t state) {
  TQZLocked locked(*this);
  SetStateLocked(state);
}

void TQZSvcObj::SetStateLocked(uint32_t state, uint32_t waitHint, bool last) {
  if (!Reporting || StoppedReported) return;
  if (State.load() != state) ProgressWaitHint = waitHint;
  State = state;
  SendStatusLocked();
  if (last) StoppedReported = true;
}

bool TQZSvcObj::ReportProgress(uint32_t waitHint) {
  TQZLocked locked(*this);
  if (!Reporting || StoppedReported || !IsPendingState(State.load())) return false;
  ProgressWaitHint = waitHint;
  return SendStatusLocked(true);
}

void TQZSvcObj::ReportStatus() {
  TQZLocked locked(*this);
  if (!Reporting || StoppedReported) return;
  SendStatusLocked();
}

void TQZSvcObj::NoteErrorLocked(uint32_t error) {
  if (NotedErrorCount < MaxNotedErrors) NotedErrors[NotedErrorCount++] = error;
}

bool TQZSvcObj::SendStatusLocked(bool advance) {
  const uint32_t state = State.load();
  SERVICE_STATUS status = {};
  status.dwServiceType =
      qzsvc::ComposeServiceType(ServiceType, Interactive, qzsvc::ServiceTableCount() > 1);
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == QZ_SERVICE_START_PENDING
          ? 0
          : qzsvc::ComposeControlsAccepted(AcceptStop, AcceptPauseContinue,
                                           PreshutdownTimeout != 0);
  status.dwWin32ExitCode =
      state == QZ_SERVICE_STOPPED && RunFailed ? ERROR_SERVICE_SPECIFIC_ERROR : ExitCode;
  if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR) {
    status.dwServiceSpecificExitCode = FailureCode != 0 ? FailureCode : ServiceExitCode;
  }
  // A pending state reported again keeps its check point (at least 1), which
  // only progress reports advance; so it never goes back.
  if (state == PrevState.load() && IsPendingState(state)) {
    status.dwCheckPoint = (LastCheckPoint > 1 ? LastCheckPoint : 1) + (advance ? 1 : 0);
  }
  status.dwWaitHint = ProgressWaitHint != 0 ? ProgressWaitHint : WaitHint;
  LastCheckPoint = status.dwCheckPoint;
  PrevState = state;
  if (ReportSink.Function != nullptr) {
    const TQZStatusReport report = {status.dwServiceType,    status.dwCurrentState,
                                    status.dwControlsAccepted, status.dwWin32ExitCode,
                                    status.dwServiceSpecificExitCode, status.dwCheckPoint,
                                    status.dwWaitHint};
    try {
      ReportSink.Function(ReportSink.UserData, this, report);
    } catch (...) {
    }
    return true;
  }
  if (ServiceApi().SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(StatusHandle),
                                    &status) != FALSE) {
    return true;
  }
  NoteErrorLocked(GetLastError());
  return false;
}

void TQZSvcObj::ReportRefusalToSink() {
  // The same report ReportServiceStopped gives the SCM.
  const TQZStatusReport report = {SERVICE_WIN32_OWN_PROCESS,
                                  SERVICE_STOPPED,
                                  SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN,
                                  ERROR_SERVICE_SPECIFIC_ERROR,
                                  ServiceExitCode,
                                  0,
                                  5000};
  try {
    ReportSink.Function(ReportSink.UserData, this, report);
  } catch (...) {
  }
}

void TQZSvcObj::SignalStop() {
  // The flag is written before either event is set, so a waiter that wakes
  // always sees it.
  StopRequested = true;
  TQZEvent* stopEvent = StopEvent;
  if (stopEvent != nullptr && stopEvent->Handle != nullptr) stopEvent->Set();
  if (StopWake.Handle != nullptr) StopWake.Set();
}

void TQZSvcObj::LogEvent(const TQZString& message, uint16_t type, uint16_t category,
                         uint32_t eventId, const TQZString& data) {
  try {
    TQZEventLog* log = EventLog.load();
    if (log == nullptr) {
      TQZEventLog* fresh = new TQZEventLog(ServiceName);
      TQZEventLog* installed = nullptr;
      if (EventLog.compare_exchange_strong(installed, fresh)) {
        log = fresh;
      } else {
        // Another thread installed one first; it is the one kept and used.
        delete fresh;
        log = installed;
      }
    }
    log->Report(message, type, category, eventId, data);
  } catch (...) {
  }
}
