// The service object and the per-process service runtime.
#ifndef QZ_SERVICE_SVC_OBJ_H
#define QZ_SERVICE_SVC_OBJ_H

#include <atomic>
#include <cstdint>

#include "foundation/lists.h"
// The registered path starts as the module's file name: the process
// information is ready before any static service object is built.
#include "foundation/process_info.h"
#include "foundation/string.h"
#include "foundation/sync.h"

#if defined(_WIN32) && !defined(_WIN64)
#define QZ_WINAPI __stdcall
#else
#define QZ_WINAPI
#endif

class TQZSvcObj;
class TQZEventLog;

// The Win32 LPHANDLER_FUNCTION shape.
typedef void(QZ_WINAPI* TQZHandlerFunction)(unsigned long control);

// Hook slots: a function and the user data passed to it first, then the
// object. An empty slot (null function) means the default behaviour. Under
// the SCM three threads call hooks: the service main thread, which the SCM
// creates for Run; the run's control thread, which carries out the stop,
// pause, continue and shutdown controls one at a time in arrival order; and
// never the dispatcher thread, which only takes a control and sends its
// pending report. No runtime lock is held while a hook runs. A hook that
// takes long calls ReportProgress. An exception that leaves a hook is
// caught where it is called.

// OnInit, service main thread, first in Run: copies the arguments and may
// supply the control handler; false ends the run with a stopped report.
struct TQZInitHook {
  bool (*Function)(void* userData, TQZSvcObj* object, TQZStringList* arguments,
                   TQZHandlerFunction* handler) = nullptr;
  void* UserData = nullptr;
};
// OnStart, service main thread, after the start-pending report: prepares
// the work. ok is true on entry; clearing it (or throwing) refuses the
// start, which ends the run stopped with exit code 1066 and ServiceExitCode.
// The result is ignored.
struct TQZStartHook {
  bool (*Function)(void* userData, TQZSvcObj* object, bool& ok) = nullptr;
  void* UserData = nullptr;
};
// OnStop, OnPause, OnContinue: control thread, after the pending report of
// the control. ok is true on entry; clearing it refuses the control and the
// state before it is reported again. OnStop may wait for OnExecute to
// return; StopRequested is set only after OnStop returns.
struct TQZControlHook {
  void (*Function)(void* userData, TQZSvcObj* object, bool& ok) = nullptr;
  void* UserData = nullptr;
};
// OnExecute, service main thread, after the running report: the service's
// work. It should return once StopRequested is set (StopEvent is signalled
// then); returning earlier shuts the service down. Empty: Run waits for the
// stop. OnShutdown: the control thread on the shutdown or preshutdown
// control (once for both), or the service main thread when OnExecute
// returned before any stop; after the stop-pending report. OnRunEnd: the
// service main thread, once every other hook of the run has returned and
// the control thread has ended, just before the final stopped report
// (after a stop, a failure or a refused start alike).
struct TQZPlainHook {
  void (*Function)(void* userData, TQZSvcObj* object) = nullptr;
  void* UserData = nullptr;
};
// OnControl: a user-defined control code (128 to 255), on the control
// thread in arrival order with the other controls; the state is not changed
// and no report is sent for it. Empty: such codes are ignored.
struct TQZUserControlHook {
  void (*Function)(void* userData, TQZSvcObj* object, uint32_t code) = nullptr;
  void* UserData = nullptr;
};

// Win32 SCM states.
enum : uint32_t {
  QZ_SERVICE_STOPPED = 1,
  QZ_SERVICE_START_PENDING = 2,
  QZ_SERVICE_STOP_PENDING = 3,
  QZ_SERVICE_RUNNING = 4,
  QZ_SERVICE_CONTINUE_PENDING = 5,
  QZ_SERVICE_PAUSE_PENDING = 6,
  QZ_SERVICE_PAUSED = 7,
};

// What the SCM does after the service fails, in the layout of the Win32
// SC_ACTION: QZ_RECOVERY_NONE, QZ_RECOVERY_RESTART or QZ_RECOVERY_RUN_COMMAND,
// after DelayMs milliseconds.
struct TQZRecoveryAction {
  uint32_t Type;
  uint32_t DelayMs;
};

enum : uint32_t {
  QZ_RECOVERY_NONE = 0,
  QZ_RECOVERY_RESTART = 1,
  QZ_RECOVERY_RUN_COMMAND = 3,
};

class TQZSvcObj {
 public:
  explicit TQZSvcObj(const TQZString& serviceName);
  virtual ~TQZSvcObj();
  TQZSvcObj(const TQZSvcObj&) = delete;
  TQZSvcObj& operator=(const TQZSvcObj&) = delete;

  // Definition half.
  TQZString GetServiceName() const { return ServiceName; }
  TQZString GetDisplayName() const { return DisplayName; }
  TQZString GetDescription() const { return Description; }
  // These act only while State is 1 (stopped).
  void SetBinaryPath(const TQZString& value);
  void SetDisplayName(const TQZString& value);
  void SetDescription(const TQZString& value);
  // Registers the service with the SCM; sets LastError.
  bool Install();

  // Runtime half. Run is the service main routine of one service; it
  // returns after the final stopped report, once the control thread has
  // ended. Control takes one control code on the dispatcher thread: it sends
  // the pending report and hands the hook to the run's control thread, so
  // that it returns at once. Both catch every exception at their edge.
  void Run(uint32_t argc, char** argv);
  void DoStart();
  void DoExecute();
  // The control steps on the calling thread: the pending report, the hook,
  // then the state it leads to (or, refused, the state before).
  bool DoStop();
  bool DoPause();
  bool DoContinue();
  void DoShutdown();
  void Control(uint32_t code);
  void SetState(uint32_t state);
  void SignalStop();
  void ReportStatus();
  // From a hook while a start, stop, pause or continue is pending: tells the
  // SCM that the step goes on, with the next check point and waitHint (ms)
  // as the time until the next progress or the end of the step. False when
  // nothing is pending or the report could not be sent.
  bool ReportProgress(uint32_t waitHint);
  void LogEvent(const TQZString& message, uint16_t type, uint16_t category,
                uint32_t eventId, const TQZString& data);
  // Number of times DoExecute has blocked waiting for the stop.
  uint32_t StopWaits() const { return StopWaitCount.load(); }

  TQZInitHook OnInit;
  TQZStartHook OnStart;
  TQZPlainHook OnExecute;
  TQZControlHook OnStop;
  TQZControlHook OnPause;
  TQZControlHook OnContinue;
  TQZPlainHook OnShutdown;
  TQZUserControlHook OnControl;
  TQZPlainHook OnRunEnd;

  // Auto-reset; signalled after StopRequested is set, so a loop that tests
  // the flag and then waits on the event never misses a stop.
  TQZEvent* StopEvent;
  void* StatusHandle = nullptr;  // SERVICE_STATUS_HANDLE
  uint32_t LastError = 0;
  std::atomic<uint32_t> PrevState{QZ_SERVICE_START_PENDING};
  std::atomic<uint32_t> State{QZ_SERVICE_STOPPED};
  TQZStringList* Arguments;
  std::atomic<TQZEventLog*> EventLog{nullptr};
  std::atomic<bool> StopRequested{false};
  bool AcceptStop = true;
  bool AcceptPauseContinue = true;
  bool SharedProcess = false;
  bool Interactive = false;
  uint32_t TagId = 0;
  uint32_t WaitHint = 5000;
  uint32_t StartType = 2;      // SERVICE_AUTO_START
  uint32_t ServiceType = 0x10; // SERVICE_WIN32_OWN_PROCESS
  uint32_t ErrorControl = 1;   // SERVICE_ERROR_NORMAL
  // The Win32 exit code of a run that ends cleanly.
  uint32_t ExitCode = 0;
  // The service-specific exit code of a run that fails: a start refused or a
  // hook that threw end with Win32 exit code 1066
  // (ERROR_SERVICE_SPECIFIC_ERROR) and this code. Any hook may set it before
  // the final report; a hook that sets ExitCode to 1066 fails the run too.
  uint32_t ServiceExitCode = 1;
  TQZString ServiceName;
  TQZString BinaryPath;
  TQZString Account;
  TQZString Password;
  TQZString LoadOrderGroup;
  TQZString DisplayName;
  TQZString Description;
  // Sorted, duplicates refused, case-sensitive; a non-zero data word marks a
  // load order group.
  TQZStringList* Dependencies;

  // Optional settings that Install applies after the registration; each is
  // left to the SCM's default while it has its initial value. When the SCM
  // refuses one, Install deletes the new registration and fails with the
  // refusing call's error.
  //
  // Recovery: the first RecoveryActionCount actions (at most three; the last
  // one repeats for later failures), the failure count reset after
  // RecoveryResetSeconds without one, and the command line of the
  // run-command action.
  static const int32_t MaxRecoveryActions = 3;
  TQZRecoveryAction RecoveryActions[MaxRecoveryActions] = {};
  int32_t RecoveryActionCount = 0;
  uint32_t RecoveryResetSeconds = 0;
  TQZString RecoveryCommand;
  // The actions follow also a run that stops with a non-zero exit code (a
  // refused start: 1066), not only a crash.
  bool RecoveryOnNonCrashFailures = false;
  // With StartType 2: started a while after the other automatic services.
  bool DelayedAutoStart = false;
  // Non-zero: the SCM gives the service this many ms at system shutdown, and
  // the service accepts the preshutdown control, which runs OnShutdown as the
  // shutdown control does; a later shutdown control does not run it again.
  uint32_t PreshutdownTimeout = 0;

 private:
  // One control waiting for the control thread, with the state it left.
  struct TQZPendingControl {
    uint32_t Code;
    uint32_t PreviousState;
    bool PendingReported;
  };

  // Composes one status report and sends it; StatusLock must be held.
  // False when the send failed, with its error in error. With advance, a
  // pending state reported again gets the next check point.
  bool SendStatusLocked(uint32_t& error, bool advance = false);
  // Blocks until StopRequested is set.
  void WaitForStop();
  // After OnExecute returned: shuts down unless a control's stop is under
  // way, then waits until the stop is signalled.
  void EndExecute();

  // The body of Run; Run itself marks the object idle once it has returned.
  void RunOnce(uint32_t argc, char** argv);
  // SetState; with last, the run's final report, after which none is sent.
  // A state entered with a non-zero waitHint announces it in place of
  // WaitHint until it is left or progress sets another.
  void SetStateAndReport(uint32_t state, bool last, uint32_t waitHint = 0);
  // Reports the pending state of a control as it begins.
  void SetPendingState(uint32_t code);
  // Runs one control's hook after its pending report, and reports the state
  // it leads to; false when the hook refused.
  bool FinishControl(uint32_t code, uint32_t previousState);
  // The pending report, then FinishControl, on the calling thread.
  bool CarryOutControl(uint32_t code);
  // Opens the control queue for a run, and closes it and waits for the
  // control thread at the run's end.
  void OpenControls();
  void CloseControls();
  static unsigned long QZ_WINAPI ControlThreadMain(void* object);
  void MarkFailed() { RunFailed = true; }

  // Serialises state changes, report composition and sending between the
  // service main thread, the control thread and the dispatcher thread.
  TQZCritSect StatusLock;
  // Set under StatusLock once the run's final stopped report has been sent:
  // the SCM takes it as the last one, so nothing is reported after it until
  // the next Run.
  bool StoppedReported = false;
  // The check point of the last report, and the wait hint that progress set
  // for the pending state it was sent in (0: WaitHint); under StatusLock.
  uint32_t LastCheckPoint = 0;
  uint32_t ProgressWaitHint = 0;
  // A start refused or a hook that threw: the final report says so.
  std::atomic<bool> RunFailed{false};

  // Guards the fields below, and is held only for short decisions and the
  // pending report of a control: never while a hook runs.
  TQZCritSect ControlLock;
  // Who performs the stop is decided once: a stop or shutdown control, or
  // the service main thread when OnExecute returned first. Released when
  // the stop hook refuses.
  bool StopClaimed = false;
  // Controls in arrival order, for the control thread; closed outside a run.
  static const int32_t ControlQueueSize = 8;
  TQZPendingControl ControlQueue[ControlQueueSize];
  int32_t ControlQueueHead = 0;
  int32_t ControlQueueCount = 0;
  bool ControlsOpen = false;
  bool ControlBusy = false;
  void* ControlThread = nullptr;
  // Auto-reset: a control was queued or the queue closed.
  TQZEvent ControlWake{nullptr, 0, false};
  // Auto-reset: the control thread has left the closed queue and runs no
  // hook any more; it only has to end.
  TQZEvent ControlsDone{nullptr, 0, false};
  // Manual-reset event, signalled while no Run is under way: the dispatcher
  // returns once every service has reported stopped, which is before the
  // service main thread has left Run, so destruction waits for it.
  void* RunIdle = nullptr;
  // Auto-reset event that SignalStop (and a refused stop) sets as well, so
  // that the service main thread can block when StopEvent cannot be waited
  // on, and learns of a stop that was refused.
  TQZEvent StopWake{nullptr, 0, false};
  std::atomic<uint32_t> StopWaitCount{0};
};

#endif  // QZ_SERVICE_SVC_OBJ_H
