// The service object's life under the SCM and the per-process service table.
#include <memory>
#include <new>

#include "foundation/win32.h"
#include "service/event_log.h"
#include "service/platform.h"
#include "service/svc_module.h"
#include "service/svc_obj.h"

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
  TQZStringList Table;
  TQZCritSect Lock;
  // Read without the lock by the early guards; changed only under it.
  std::atomic<bool> DispatcherRunning{false};
  TQZSvcObj* Current = nullptr;
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

// The state a stop, shutdown, pause or continue control reports while its
// hook runs; 0 for any other code.
uint32_t PendingStateOf(uint32_t code) {
  switch (code) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN: return QZ_SERVICE_STOP_PENDING;
    case SERVICE_CONTROL_PAUSE: return QZ_SERVICE_PAUSE_PENDING;
    case SERVICE_CONTROL_CONTINUE: return QZ_SERVICE_CONTINUE_PENDING;
    default: return 0;
  }
}

bool IsUserControl(uint32_t code) { return code >= 128 && code <= 255; }

bool IsPendingState(uint32_t state) {
  return state == QZ_SERVICE_START_PENDING || state == QZ_SERVICE_STOP_PENDING ||
         state == QZ_SERVICE_CONTINUE_PENDING || state == QZ_SERVICE_PAUSE_PENDING;
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
using qzsvc::IsUserControl;
using qzsvc::PendingStateOf;
using qzsvc::NullWhenEmpty;
using qzsvc::ReportServiceStopped;
using qzsvc::TQZCurrentObjectScope;

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
    if (!ok) {
      ReportServiceStopped(passedName.Text(), ServiceExitCode);
      return;
    }

    TQZCurrentObjectScope current;
    if (handler == nullptr) {
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
    RunFailed = false;
    // A stop left over from an earlier run must not end this one.
    StopRequested = false;
    StopWake.TryWait();

    SERVICE_STATUS_HANDLE handle =
        ServiceApi().RegisterServiceCtrlHandlerA(NullWhenEmpty(name), handler);
    const uint32_t registerError = handle == nullptr ? GetLastError() : 0;
    {
      TQZCritSectGuard guard(StatusLock);
      StatusHandle = handle;
      StoppedReported = false;
      LastCheckPoint = 0;
      ProgressWaitHint = 0;
    }
    if (handle != nullptr) {
      OpenControls();
      DoStart();
    } else {
      LastError = registerError;
      LogEvent(SystemErrorText(LastError), EVENTLOG_ERROR_TYPE, 0, 0,
               TQZString());
    }
  } catch (...) {
  }
}

void TQZSvcObj::DoStart() {
  SetState(QZ_SERVICE_START_PENDING);
  try {
    bool ok = true;
    if (OnStart.Function != nullptr) OnStart.Function(OnStart.UserData, this, ok);
    if (ok) {
      SetState(QZ_SERVICE_RUNNING);
      DoExecute();
    } else {
      MarkFailed();
    }
  } catch (...) {
    MarkFailed();
  }
  // No control hook runs any more once the final report is on its way.
  CloseControls();
  if (OnRunEnd.Function != nullptr) {
    try {
      OnRunEnd.Function(OnRunEnd.UserData, this);
    } catch (...) {
    }
  }
  SetStateAndReport(QZ_SERVICE_STOPPED, true);
}

void TQZSvcObj::DoExecute() {
  if (OnExecute.Function == nullptr) {
    WaitForStop();
    return;
  }
  try {
    OnExecute.Function(OnExecute.UserData, this);
  } catch (...) {
    // The work failed: the run ends at once, without the shutdown hooks.
    MarkFailed();
    return;
  }
  EndExecute();
}

void TQZSvcObj::EndExecute() {
  for (;;) {
    bool shutDown = false;
    {
      TQZCritSectGuard guard(ControlLock);
      if (StopRequested.load()) return;
      if (!StopClaimed) {
        StopClaimed = true;
        shutDown = true;
      }
    }
    if (shutDown) {
      DoShutdown();
      return;
    }
    // A control's stop hook is running on the control thread: wait for its
    // outcome, which is either the stop or its refusal.
    ++StopWaitCount;
    if (StopWake.Handle == nullptr || !StopWake.Wait()) SleepMilliseconds(50);
  }
}

void TQZSvcObj::WaitForStop() {
  while (!StopRequested.load()) {
    ++StopWaitCount;
    TQZEvent* stopEvent = StopEvent;
    if (stopEvent != nullptr && stopEvent->Handle != nullptr && stopEvent->Wait()) {
      continue;
    }
    // StopEvent cannot be waited on, so a wait on it would fail at once, for
    // ever; the runtime's own wake-up, which SignalStop sets as well, stands in.
    if (StopWake.Handle != nullptr && StopWake.Wait()) continue;
    // No event could be created at all: look at the flag at a slow pace
    // rather than spin.
    SleepMilliseconds(50);
  }
}

bool TQZSvcObj::DoStop() { return CarryOutControl(SERVICE_CONTROL_STOP); }

bool TQZSvcObj::DoPause() { return CarryOutControl(SERVICE_CONTROL_PAUSE); }

bool TQZSvcObj::DoContinue() { return CarryOutControl(SERVICE_CONTROL_CONTINUE); }

void TQZSvcObj::DoShutdown() { CarryOutControl(SERVICE_CONTROL_SHUTDOWN); }

bool TQZSvcObj::CarryOutControl(uint32_t code) {
  const uint32_t previous = State.load();
  if (IsUserControl(code)) return FinishControl(code, previous);
  SetPendingState(code);
  return FinishControl(code, previous);
}

void TQZSvcObj::SetPendingState(uint32_t code) {
  // The SCM waits up to the preshutdown timeout for the service, so that is
  // the time the pending state announces.
  const uint32_t waitHint = code == SERVICE_CONTROL_PRESHUTDOWN ? PreshutdownTimeout : 0;
  SetStateAndReport(PendingStateOf(code), false, waitHint);
}

bool TQZSvcObj::FinishControl(uint32_t code, uint32_t previousState) {
  bool ok = true;
  TQZControlHook* hook = nullptr;
  switch (code) {
    case SERVICE_CONTROL_STOP: hook = &OnStop; break;
    case SERVICE_CONTROL_PAUSE: hook = &OnPause; break;
    case SERVICE_CONTROL_CONTINUE: hook = &OnContinue; break;
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
      if (OnShutdown.Function != nullptr) {
        try {
          OnShutdown.Function(OnShutdown.UserData, this);
        } catch (...) {
          MarkFailed();
        }
      }
      SignalStop();
      return true;
    default:
      if (!IsUserControl(code)) return false;
      if (OnControl.Function != nullptr) {
        try {
          OnControl.Function(OnControl.UserData, this, code);
        } catch (...) {
        }
      }
      {
        TQZCritSectGuard guard(ControlLock);
        if (ControlQueueCount == 0) ControlBusy = false;
      }
      return true;
  }
  if (hook->Function != nullptr) {
    try {
      hook->Function(hook->UserData, this, ok);
    } catch (...) {
      // A stop whose hook threw still stops, as a failed run.
      if (code == SERVICE_CONTROL_STOP) MarkFailed();
    }
  }
  if (ok && code == SERVICE_CONTROL_STOP) {
    SignalStop();
    return true;
  }
  {
    // The state the control leads to (or, refused, the state before) is
    // reported under the control lock together with the end of this
    // control's turn: a control taken once that report is out finds the
    // control thread free and sends its own pending report at once, and no
    // report can come between the two.
    TQZCritSectGuard guard(ControlLock);
    if (!ok && code == SERVICE_CONTROL_STOP) StopClaimed = false;
    if (!ok) {
      SetState(previousState);
    } else {
      SetState(code == SERVICE_CONTROL_PAUSE ? QZ_SERVICE_PAUSED : QZ_SERVICE_RUNNING);
    }
    if (ControlQueueCount == 0) ControlBusy = false;
  }
  // The service main thread may be waiting for a refused stop's outcome.
  if (!ok && code == SERVICE_CONTROL_STOP && StopWake.Handle != nullptr) StopWake.Set();
  return ok;
}

void TQZSvcObj::OpenControls() {
  TQZCritSectGuard guard(ControlLock);
  StopClaimed = false;
  ControlQueueHead = 0;
  ControlQueueCount = 0;
  ControlBusy = false;
  ControlsOpen = true;
  ControlWake.TryWait();
  ControlsDone.TryWait();
  // Made now rather than at the first control, so that the control does not
  // wait for the thread to be created; Control tries again if this fails.
  if (ControlThread == nullptr && ControlWake.Handle != nullptr) {
    ControlThread = CreateThread(nullptr, 0, &TQZSvcObj::ControlThreadMain, this, 0, nullptr);
  }
}

void TQZSvcObj::CloseControls() {
  void* thread = nullptr;
  {
    TQZCritSectGuard guard(ControlLock);
    ControlsOpen = false;
    thread = ControlThread;
    ControlThread = nullptr;
  }
  if (thread == nullptr) return;
  ControlWake.Set();
  // The control thread leaves once the queue is empty; a control that came
  // in meanwhile still runs its hook, so the final report follows it. The
  // thread's own ending is not waited for: it touches nothing any more.
  if (ControlsDone.Handle == nullptr || !ControlsDone.Wait()) WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

unsigned long QZ_WINAPI TQZSvcObj::ControlThreadMain(void* context) {
  TQZSvcObj* self = static_cast<TQZSvcObj*>(context);
  for (;;) {
    TQZPendingControl next = {};
    bool leave = false;
    {
      TQZCritSectGuard guard(self->ControlLock);
      if (self->ControlQueueCount == 0) {
        self->ControlBusy = false;
        leave = !self->ControlsOpen;
      } else {
        next = self->ControlQueue[self->ControlQueueHead];
        self->ControlQueueHead = (self->ControlQueueHead + 1) % ControlQueueSize;
        --self->ControlQueueCount;
        self->ControlBusy = true;
      }
    }
    if (leave) {
      // The last use of self: the run may end, and the object go, at once.
      self->ControlsDone.Set();
      return 0;
    }
    if (next.Code == 0) {
      self->ControlWake.Wait();
      continue;
    }
    try {
      if (!next.PendingReported) {
        // Its turn has come only now: the state it leaves is the one the
        // controls before it led to.
        next.PreviousState = self->State.load();
        self->SetPendingState(next.Code);
      }
      self->FinishControl(next.Code, next.PreviousState);
    } catch (...) {
    }
  }
}

void TQZSvcObj::Control(uint32_t code) {
  try {
    // Answered at once: it changes nothing.
    if (code == SERVICE_CONTROL_INTERROGATE) {
      ReportStatus();
      return;
    }
    // Only a service that announced a preshutdown timeout takes the control.
    if (code == SERVICE_CONTROL_PRESHUTDOWN && PreshutdownTimeout == 0) return;
    const uint32_t pending = PendingStateOf(code);
    const bool user = IsUserControl(code) && OnControl.Function != nullptr;
    if (pending == 0 && !user) return;
    const bool stop = pending == QZ_SERVICE_STOP_PENDING;
    bool runHere = false;
    bool answer = false;
    {
      TQZCritSectGuard guard(ControlLock);
      if (ControlsOpen && ControlThread == nullptr && ControlWake.Handle != nullptr) {
        // Before the control is queued, so the new thread finds it there.
        ControlThread = CreateThread(nullptr, 0, &TQZSvcObj::ControlThreadMain, this, 0, nullptr);
      }
      if (stop && StopClaimed) {
        // Once a stop is under way, a further stop or shutdown only answers
        // with the current state: running the stop hooks again would run
        // their clean-up twice.
        answer = true;
      } else if (!ControlsOpen || ControlThread == nullptr) {
        // No run is under way (or it is ending), or no thread could be made
        // for the hooks: the control runs here, as a whole.
        runHere = true;
        if (stop) StopClaimed = true;
      } else if (ControlQueueCount == ControlQueueSize) {
        answer = true;
      } else {
        if (stop) StopClaimed = true;
        // A user control changes no state, so it has no pending report.
        TQZPendingControl entry = {code, State.load(), user};
        // The pending report goes out now only when nothing else is under
        // way; otherwise the control thread sends it when the control's turn
        // comes, so that the reports keep the order of the state changes.
        // It is sent under the lock so that the control thread cannot
        // report the control's end before it.
        if (!user && !ControlBusy && ControlQueueCount == 0) {
          SetPendingState(code);
          entry.PendingReported = true;
        }
        ControlQueue[(ControlQueueHead + ControlQueueCount) % ControlQueueSize] = entry;
        ++ControlQueueCount;
        ControlBusy = true;
        ControlWake.Set();
      }
    }
    if (answer) {
      ReportStatus();
    } else if (runHere) {
      CarryOutControl(code);
    }
  } catch (...) {
  }
}

void TQZSvcObj::SetState(uint32_t state) { SetStateAndReport(state, false); }

void TQZSvcObj::SetStateAndReport(uint32_t state, bool last, uint32_t waitHint) {
  uint32_t error = 0;
  bool sent = true;
  {
    TQZCritSectGuard guard(StatusLock);
    if (StatusHandle == nullptr || StoppedReported) return;
    if (State.load() != state) ProgressWaitHint = waitHint;
    State = state;
    sent = SendStatusLocked(error);
    if (last) StoppedReported = true;
  }
  if (!sent) LogEvent(SystemErrorText(error), EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
}

bool TQZSvcObj::ReportProgress(uint32_t waitHint) {
  uint32_t error = 0;
  bool sent = false;
  {
    TQZCritSectGuard guard(StatusLock);
    const uint32_t state = State.load();
    if (StatusHandle == nullptr || StoppedReported || !IsPendingState(state)) return false;
    ProgressWaitHint = waitHint;
    sent = SendStatusLocked(error, true);
  }
  if (!sent) LogEvent(SystemErrorText(error), EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
  return sent;
}

void TQZSvcObj::ReportStatus() {
  uint32_t error = 0;
  bool sent = true;
  {
    TQZCritSectGuard guard(StatusLock);
    if (StatusHandle == nullptr || StoppedReported) return;
    sent = SendStatusLocked(error);
  }
  if (!sent) LogEvent(SystemErrorText(error), EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
}

bool TQZSvcObj::SendStatusLocked(uint32_t& error, bool advance) {
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
      state == QZ_SERVICE_STOPPED && RunFailed.load() ? ERROR_SERVICE_SPECIFIC_ERROR : ExitCode;
  status.dwServiceSpecificExitCode =
      status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR ? ServiceExitCode : 0;
  // A pending state reported again keeps its check point (at least 1), which
  // only progress reports advance; so it never goes back.
  if (state == PrevState.load() && IsPendingState(state)) {
    status.dwCheckPoint = (LastCheckPoint > 1 ? LastCheckPoint : 1) + (advance ? 1 : 0);
  }
  status.dwWaitHint = ProgressWaitHint != 0 ? ProgressWaitHint : WaitHint;
  LastCheckPoint = status.dwCheckPoint;
  PrevState = state;
  // Sent while the lock is held, so that the SCM receives the reports of
  // both threads in the order they were composed: an interrogation answered
  // on the dispatcher thread can never arrive after the final stopped report.
  if (ServiceApi().SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(StatusHandle),
                                    &status) != FALSE) {
    error = 0;
    return true;
  }
  error = GetLastError();
  return false;
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
