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
#include "foundation/thread_annotations.h"

#if defined(_WIN32) && !defined(_WIN64)
#define QZ_WINAPI __stdcall
#else
#define QZ_WINAPI
#endif

class TQZSvcObj;
class TQZEventLog;

namespace qzsvc {
enum class TQZControlKind : uint8_t;
enum class TQZStepKind : uint8_t;
}  // namespace qzsvc

// The Win32 LPHANDLER_FUNCTION shape.
typedef void(QZ_WINAPI* TQZHandlerFunction)(unsigned long control);

// Hook slots: a function and the user data passed to it first, then the
// object. An empty slot (null function) means the default behaviour. Under
// the SCM two threads call hooks: the service main thread, which the SCM
// creates for Run, calls OnInit, OnStart and OnExecute; the run's control
// thread calls every other hook. After the start one sequence owns the
// running service: the dispatcher thread only decides under a short lock
// what the SCM is told at once and hands the control on, and the control
// thread carries out the controls one at a time, in the order they came,
// together with the end of the work. So the hooks on the control thread
// never run beside one another; only OnExecute, the work, runs beside them.
// No runtime lock is held while a hook runs. A hook that takes long calls
// ReportProgress. An exception that leaves a hook is caught where it is
// called.

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
// state before it is reported again. A pause while paused, or a continue
// while running, is carried out like any other: the SCM is told the pending
// state, the hook runs and sees State at that pending state as for a real
// change, and the state asked for (which is also the state before) is
// reported after it, whether the hook cleared ok or not. The hook is not
// told that nothing changes: one that must act once per change keeps its
// own flag, as the ticker's Paused does. StopRequested is set and StopEvent
// signalled before OnStop is called, so OnStop may wait for OnExecute to
// return. Clearing ok in OnStop takes the stop back (StopRequested is
// cleared again) only while the work goes on: once OnExecute has returned
// the stop completes.
struct TQZControlHook {
  void (*Function)(void* userData, TQZSvcObj* object, bool& ok) = nullptr;
  void* UserData = nullptr;
};
// OnExecute, service main thread, after the running report: the service's
// work. It should return once StopRequested is set (StopEvent is signalled
// then); returning earlier shuts the service down. Empty: Run waits for the
// stop. OnShutdown: control thread, after the stop-pending report, on the
// shutdown or preshutdown control (once for both) or when OnExecute returned
// before any stop; StopRequested is set before it is called. OnRunEnd: the
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

// One status report as a run composes it, in the layout of the Win32
// SERVICE_STATUS.
struct TQZStatusReport {
  uint32_t ServiceType;
  uint32_t State;
  uint32_t ControlsAccepted;
  uint32_t Win32ExitCode;
  uint32_t ServiceExitCode;
  uint32_t CheckPoint;
  uint32_t WaitHint;
};

// Where a run's status reports go in place of the SCM. With the slot set,
// Run registers no control handler with the SCM: whoever runs the object
// hands it controls through Control. The function is called under the
// runtime's lock, so that reports arrive in the order they were decided; it
// must not call the object back.
struct TQZReportSink {
  void (*Function)(void* userData, TQZSvcObj* object, const TQZStatusReport& report) = nullptr;
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

// The service-specific exit code of a run that failed because its control
// thread could not be created. Bit 29 marks a code defined by an application,
// so it is never taken for a system error.
enum : uint32_t { QZ_EXIT_NO_CONTROL_THREAD = 0x20000001 };

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
  // Registers the service with the SCM; sets LastError, and RefusedSetting
  // when an optional setting was refused.
  bool Install();

  // Runtime half. Run is the service main routine of one service; it
  // returns after the final stopped report, once the run's control thread
  // has ended. Control takes one control code on the dispatcher thread: it
  // decides what the SCM is told at once, sends that report and hands the
  // step to the control thread, so that it returns at once; a control whose
  // hook slot is empty, while nothing else is under way, it carries out
  // itself. Both catch every exception at their edge.
  void Run(uint32_t argc, char** argv);
  void DoStart();
  void DoExecute();
  void Control(uint32_t code);
  void SetState(uint32_t state);
  // Asks the work to end: sets StopRequested, then signals StopEvent. With
  // no stop under way the run then shuts down as when OnExecute returns.
  void SignalStop();
  void ReportStatus();
  // From a hook while a start, stop, pause or continue is pending: tells the
  // SCM that the step goes on, with the next check point and waitHint (ms)
  // as the time until the next progress or the end of the step. False when
  // nothing is pending or the report could not be sent. A hook still running
  // when a stop is taken reports the stop's progress.
  bool ReportProgress(uint32_t waitHint);
  void LogEvent(const TQZString& message, uint16_t type, uint16_t category,
                uint32_t eventId, const TQZString& data);
  // Number of times the service main thread, with OnExecute empty, has
  // blocked waiting for the stop.
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
  // Empty: the reports go to the SCM. Set only while no Run is under way.
  TQZReportSink ReportSink;

  // Auto-reset; signalled after StopRequested is set, so a loop that tests
  // the flag and then waits on the event never misses a stop.
  TQZEvent* StopEvent;
  void* StatusHandle = nullptr;  // SERVICE_STATUS_HANDLE
  uint32_t LastError = 0;
  std::atomic<uint32_t> PrevState{QZ_SERVICE_START_PENDING};
  // Written only under the runtime's lock, together with the report of it.
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
  // After an Install that failed because the SCM refused a setting applied
  // after the registration: its name ("failure actions", "delayed
  // auto-start", ...); empty otherwise.
  const char* RefusedSetting = "";

 private:
  // One step waiting in the control sequence; defined with the runtime.
  struct TQZStepNode;
  // Holds Lock for a scope and writes the event records of the reports that
  // failed in it once the lock is released.
  class TQZLocked;

  // The body of Run; Run itself marks the object idle once it has returned.
  void RunOnce(uint32_t argc, char** argv);
  // Resets the sequence for a run and makes its control thread; false, with
  // the error in error, when the thread cannot be made.
  bool OpenControls(uint32_t& error) QZ_EXCLUDES(Lock);
  // Closes the sequence after a start that did not come to running.
  void CloseControls() QZ_EXCLUDES(Lock);
  // With OnExecute empty: waits until a stop ends the run, or the work is
  // asked to end by SignalStop alone.
  void WaitForStop() QZ_EXCLUDES(Lock);
  // Waits until the sequence has ended and its thread has left it, sends
  // the final report and joins the thread.
  void EndRun() QZ_EXCLUDES(Lock);

  // Takes a control, or the end of the work, into the sequence.
  void Enter(qzsvc::TQZControlKind kind, uint32_t code) QZ_EXCLUDES(Lock);
  // spare is a free step node, taken when the step needs one.
  void EnterLocked(qzsvc::TQZControlKind kind, uint32_t code, TQZStepNode*& spare)
      QZ_REQUIRES(Lock);
  bool HookSetFor(qzsvc::TQZControlKind kind) const;
  void BeginStepLocked(qzsvc::TQZStepKind step) QZ_REQUIRES(Lock);
  void FinishStepLocked(qzsvc::TQZStepKind step, bool ok, bool threw) QZ_REQUIRES(Lock);
  // Runs the step's hook with no lock held; returns ok.
  bool RunHook(qzsvc::TQZStepKind step, uint32_t code, bool& threw) QZ_EXCLUDES(Lock);
  // The control thread: carries out the steps in order until the run ends.
  void RunSteps() QZ_EXCLUDES(Lock);
  static unsigned long QZ_WINAPI ControlThreadMain(void* object);

  // State := state and one report; a state entered with a non-zero waitHint
  // announces it in place of WaitHint until it is left or progress sets
  // another. With last, the run's final report, after which none is sent.
  void SetStateLocked(uint32_t state, uint32_t waitHint = 0, bool last = false)
      QZ_REQUIRES(Lock);
  // Composes one status report and sends it; false when the send failed.
  // With advance, a pending state reported again gets the next check point.
  bool SendStatusLocked(bool advance = false) QZ_REQUIRES(Lock);
  // What a run refused by OnInit reports when its reports go to the sink.
  void ReportRefusalToSink();
  // An error for the event log once the lock is released.
  void NoteErrorLocked(uint32_t error) QZ_REQUIRES(Lock);

  // Guards the run's state and reports and its control sequence, which the
  // dispatcher thread, the service main thread and the control thread share.
  // Held for decisions and the reports they send, never while a hook runs.
  // Reports are sent under it, so the SCM receives them in the order they
  // were decided.
  mutable TQZCritSect Lock;
  // The run's final stopped report is sent: the SCM takes it as the last
  // one, so nothing is reported after it until the next Run.
  bool StoppedReported QZ_GUARDED_BY(Lock) = false;
  // The run has somewhere to report to: a status handle from the SCM, or the
  // report sink.
  bool Reporting QZ_GUARDED_BY(Lock) = false;
  // The check point of the last report, and the wait hint that progress set
  // for the pending state it was sent in (0: WaitHint).
  uint32_t LastCheckPoint QZ_GUARDED_BY(Lock) = 0;
  uint32_t ProgressWaitHint QZ_GUARDED_BY(Lock) = 0;
  // A start refused or a hook that threw: the final report says so, with
  // FailureCode as the service-specific code (0: ServiceExitCode).
  bool RunFailed QZ_GUARDED_BY(Lock) = false;
  uint32_t FailureCode QZ_GUARDED_BY(Lock) = 0;
  // Report errors not yet written to the event log.
  static const int32_t MaxNotedErrors = 4;
  uint32_t NotedErrors[MaxNotedErrors] QZ_GUARDED_BY(Lock) = {};
  int32_t NotedErrorCount QZ_GUARDED_BY(Lock) = 0;

  // The control sequence: the step being carried out, the pause, continue
  // and user steps in arrival order (a list, so that none is ever turned
  // away while memory lasts), and the stop, shutdown or end of the run that
  // may follow them; nothing is taken after that.
  qzsvc::TQZStepKind Running QZ_GUARDED_BY(Lock){};
  TQZStepNode* QueueHead QZ_GUARDED_BY(Lock) = nullptr;
  TQZStepNode* QueueTail QZ_GUARDED_BY(Lock) = nullptr;
  int32_t ChangesQueued QZ_GUARDED_BY(Lock) = 0;  // pause and continue steps in the list
  qzsvc::TQZStepKind FinalStep QZ_GUARDED_BY(Lock){};
  // The state the steps carried out so far lead to: running or paused.
  uint32_t Settled QZ_GUARDED_BY(Lock) = QZ_SERVICE_RUNNING;
  // A stop, shutdown or end of the run is taken and not refused.
  bool Stopping QZ_GUARDED_BY(Lock) = false;
  // OnExecute (or the wait in its place) has returned.
  bool WorkEnded QZ_GUARDED_BY(Lock) = false;
  // The run's end is decided: the sequence takes nothing more, and its
  // thread leaves once it has carried out what it holds.
  bool RunEnding QZ_GUARDED_BY(Lock) = false;
  bool ThreadLeft QZ_GUARDED_BY(Lock) = false;
  void* ControlThread QZ_GUARDED_BY(Lock) = nullptr;
  // Auto-reset: a step was queued or the run is ending.
  TQZEvent ControlWake{nullptr, 0, false};
  // Auto-reset, for the service main thread: the control thread has left at
  // the run's end, or SignalStop was called.
  TQZEvent StopWake{nullptr, 0, false};
  // Manual-reset event, signalled while no Run is under way: the dispatcher
  // returns once every service has reported stopped, which is before the
  // service main thread has left Run, so destruction waits for it.
  void* RunIdle = nullptr;
  std::atomic<uint32_t> StopWaitCount{0};
};

#endif  // QZ_SERVICE_SVC_OBJ_H
