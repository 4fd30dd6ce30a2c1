// The one fake of the service layer's Win32 call table that the service tests
// share: it records every call, fails any call on request, follows the
// handles it hands out and plays the service control manager's dispatcher.
#ifndef QZ_TESTS_SERVICE_FAKE_PLATFORM_H
#define QZ_TESTS_SERVICE_FAKE_PLATFORM_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "foundation/win32.h"
#include "service/platform.h"
#include "tests/service/text.h"

// Puts the real functions into the table for a scope, and again after it.
class ScopedServiceApi {
 public:
  ScopedServiceApi() { ServiceApi() = RealServiceApi(); }
  ~ScopedServiceApi() { ServiceApi() = RealServiceApi(); }
  ScopedServiceApi(const ScopedServiceApi&) = delete;
  ScopedServiceApi& operator=(const ScopedServiceApi&) = delete;
};

// A status report as compared in tests:
// (type, state, accepted controls, Win32 exit code, check point, wait hint).
using StatusRow = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t>;
StatusRow RowOf(const SERVICE_STATUS& status);

// One call of the table with its arguments copied. Each function fills the
// fields of its own parameters; the others keep their empty values.
struct PlatformCall {
  std::string Function;  // the member's name in TQZServiceApi
  int Nth = 0;           // among the calls of the same function, from 1
  DWORD ThreadId = 0;
  DWORD Error = 0;       // the code the call failed with; 0 when it succeeded

  void* Handle = nullptr;      // the handle the call acts on or closes
  bool HandleWasOpen = false;  // handed out by the fake and not yet closed
  std::string HandleName;      // the name that handle was opened under
  void* Result = nullptr;      // the handle the call handed out

  CallText Machine;   // OpenSCManagerA's machine, RegisterEventSourceA's server
  CallText Database;
  CallText Name;      // service, event source, handler, registry key or value name,
                      // or the text to expand
  CallText DisplayName, BinaryPath, LoadOrderGroup, Account, Password;
  CallText Dependencies;  // the double-NUL-terminated list, both final NULs included
  CallText Description;   // ChangeServiceConfig2A's SERVICE_CONFIG_DESCRIPTION
  // ChangeServiceConfig2A's SERVICE_CONFIG_FAILURE_ACTIONS: the reset period,
  // texts, and (type, delay) of each action; nullopt for a null array.
  DWORD ResetPeriod = 0;
  CallText RebootMessage, Command;
  std::optional<std::vector<std::pair<DWORD, DWORD>>> Actions;
  // The one field of the failure-actions flag, delayed start and preshutdown
  // levels.
  DWORD ConfigValue = 0;

  DWORD Access = 0, ServiceType = 0, StartType = 0, ErrorControl = 0;
  DWORD Control = 0;  // ControlService's code
  DWORD Level = 0;    // ChangeServiceConfig2A's info level
  WORD Type = 0, Category = 0;  // of an event record
  DWORD EventId = 0;
  DWORD Count = 0;    // StartServiceA's argc, ReportEventA's string count
  DWORD DataSize = 0;
  DWORD Options = 0;    // RegCreateKeyExA's options
  DWORD ValueType = 0;  // RegSetValueExA's type; its bytes are in Data
  uintptr_t ResourceName = 0, ResourceType = 0;  // FindResourceA's, as pointers

  // Kept as they came, for identity checks only.
  LPDWORD TagId = nullptr;
  PSID User = nullptr;
  LPHANDLER_FUNCTION Handler = nullptr;

  // StartServiceA's argv and ReportEventA's strings, Count of them;
  // nullopt for a null array.
  std::optional<std::vector<CallText>> Strings;
  CallText Data;                 // ReportEventA's raw data or a registry value, DataSize bytes
  SERVICE_STATUS Status{};       // the report SetServiceStatus was handed
  std::vector<CallText> Entries; // the names in the dispatcher's table
};

enum class HandleKind { Manager, Service, Status, EventSource, RegistryKey };

struct FakeHandle {
  void* Value = nullptr;
  HandleKind Kind = HandleKind::Manager;
  std::string Name;  // what it was opened or registered under
  int Closes = 0;
};

// Installs itself into ServiceApi() for its lifetime, every call, and
// puts the real table back when destroyed; one at a time. Every member may be
// used from any thread, except the settings (the public data members), which
// are set while no call is under way.
class FakePlatform {
 public:
  FakePlatform();
  ~FakePlatform();
  FakePlatform(const FakePlatform&) = delete;
  FakePlatform& operator=(const FakePlatform&) = delete;

  // The one switch for failures: from now on the nth call of the function
  // (counted from 1) fails with code, or every call with kEveryCall. A code of
  // 0 lifts the failure. A failing call does not act, except that a close
  // still ends its handle, as there is nothing it could be closed with again.
  static constexpr int kEveryCall = 0;
  void Fail(const std::string& function, DWORD code, int nth = kEveryCall);

  // Runs inside every call on the calling thread, after the call is recorded
  // and before it acts, outside the fake's lock; sees the call as recorded on
  // entry. For holding a call open, or acting while it is under way.
  std::function<void(const PlatformCall&)> During;
  // The state ControlService answers with; by default the one a service that
  // accepts the control moves to.
  std::function<DWORD(DWORD control)> ControlState;
  void AnswerControlsWith(DWORD state);
  // QueryServiceStatus answers with the state the last successful start
  // (running) or control (stopped, paused, running) settles in, running at
  // first; StatusAnswer, when set, may change that answer of the nth query.
  std::function<void(int nth, SERVICE_STATUS& status)> StatusAnswer;
  // QueryServiceStatusEx answers with the same status and this process id,
  // or 0 while the state is stopped.
  DWORD ProcessId = 4242;
  // When set, the process id of the nth query (numbered as for StatusAnswer)
  // that is not answered stopped, in place of ProcessId.
  std::function<DWORD(int nth)> ProcessIdAnswer;
  // Written through CreateServiceA's tag pointer when it is given one.
  DWORD AssignedTag = 0;
  // What RunsOnWine answers; not recorded as a call.
  bool Wine = false;
  // FindResourceA finds a message table in any module, and no other resource.
  bool MessageTable = false;
  // What RegCreateKeyExA reports it did.
  DWORD KeyDisposition = REG_CREATED_NEW_KEY;
  // Left as the last error by every call that succeeds, so that a code read
  // after some other call shows as this one instead of the one expected.
  DWORD SuccessError = ERROR_MORE_DATA;

  // StartServiceCtrlDispatcherA behaves like the SCM's. It starts one service
  // main routine per StartPlan entry on a thread of its own, the entry being
  // its argv; the routine is the table's entry of that name, or the first.
  // Once a running status has been reported it delivers Controls in order on
  // its own thread to the handler registered under the first started name,
  // then serves SendControl and StartService until every main routine has
  // returned, and returns after joining their threads. An empty table fails
  // with ERROR_INVALID_PARAMETER, a second dispatcher while one runs with
  // ERROR_SERVICE_ALREADY_RUNNING.
  std::vector<std::vector<std::string>> StartPlan;  // empty: every entry by name
  std::vector<DWORD> Controls;
  // Hand a control, or one more service start, to the dispatcher thread and
  // return once it has been handled; false when no dispatcher runs, or no
  // handler is registered under the name.
  bool SendControl(const std::string& name, DWORD code);
  bool StartService(const std::vector<std::string>& argv);

  std::vector<PlatformCall> Calls() const;
  std::vector<PlatformCall> CallsOf(const std::string& function) const;
  // The latest call of the function; a test failure and an empty record
  // when there was none.
  PlatformCall Last(const std::string& function) const;
  int Count(const std::string& function) const;
  // The SetServiceStatus reports, all or those sent through a handle
  // registered under name.
  std::vector<StatusRow> Reports(const std::string& name = "") const;
  // Blocks until done holds for the calls recorded so far; a wait that never
  // ends aborts the run, as every wait of the threaded tests does.
  void WaitUntil(const std::function<bool(const std::vector<PlatformCall>&)>& done,
                 const char* what) const;
  int ServiceMainsRun() const;
  // Threads made through CreateThread whose routine has not returned yet.
  int RunningThreads() const;
  // Exceptions that left a service main routine or a control handler.
  int EscapedExceptions() const;

  // Every handle handed out, in order.
  std::vector<FakeHandle> Handles() const;
  // The manager, service, event source and registry key handles not yet closed.
  std::vector<void*> OpenHandles() const;
  int ClosesOf(void* handle) const;
  // Uses and closes of a handle that was closed already, never handed out,
  // or is of the wrong kind; each such call also fails with
  // ERROR_INVALID_HANDLE. A null handle is refused without counting, except
  // by a close.
  int BadHandleUses() const;
  // Closes that came while a call on the same handle was under way.
  int ClosedWhileInUse() const;
  // Each manager, service, event source and registry key handle was closed
  // exactly once.
  void ExpectEveryHandleClosedOnce() const;

  // Both only while no call is under way. ForgetCalls forgets the calls and
  // starts numbering afresh, all else stays; Reset returns to the state of a
  // new fake: calls, handles, counts and settings.
  void ForgetCalls();
  void Reset();

 private:
  friend class PlatformCallScope;
  friend struct PlatformEntries;
  struct Command {
    bool Start;
    std::vector<std::string> Args;
    DWORD Code;
    bool Done = false;
    bool Delivered = false;
  };
  struct ServiceRun {
    std::vector<std::string> Args;
    std::vector<char*> Argv;
    std::thread Thread;
  };
  struct HandleState {
    FakeHandle Handle;
    int InUse = 0;
  };
  // Where a call under way was recorded, and the handle it holds in use.
  struct Ticket {
    size_t Index = 0;
    uint64_t Generation = 0;
    void* InUse = nullptr;
  };

  Ticket Enter(PlatformCall call, std::initializer_list<HandleKind> kinds, bool closes,
               DWORD& code);
  void* NewHandle(HandleKind kind, const char* name);
  void ThreadStarted();
  void ThreadEnded();
  void Settle(DWORD state);
  SERVICE_STATUS QueriedStatus(int* number = nullptr);
  void Leave(const Ticket& ticket, DWORD code, void* result);
  DWORD Dispatch(const std::vector<SERVICE_TABLE_ENTRYA>& table);
  void Launch(const std::vector<std::string>& args);  // with Mutex held
  LPHANDLER_FUNCTION HandlerFor(const std::string& name) const;  // with Mutex held
  void Deliver(LPHANDLER_FUNCTION handler, DWORD code);
  bool Post(Command command);

  mutable std::mutex Mutex;
  mutable std::condition_variable Cv;
  std::vector<PlatformCall> Records;
  uint64_t Generation = 0;  // counts the forgettings, so a late Leave finds no stale record
  std::map<std::string, int> Numbers;
  std::map<std::string, std::map<int, DWORD>> Failures;
  std::map<void*, HandleState> HandleTable;
  uintptr_t HandlesMade = 0;
  int BadUses = 0;
  int ClosedInUse = 0;
  int Escaped = 0;
  int MainsRun = 0;
  int ThreadsRunning = 0;
  DWORD Settled = SERVICE_RUNNING;
  int Queries = 0;

  bool Dispatching = false;
  bool RunningReported = false;
  int Running = 0;
  std::vector<SERVICE_TABLE_ENTRYA> Table;
  std::deque<Command*> Commands;
  std::list<ServiceRun> Runs;
};

#endif  // QZ_TESTS_SERVICE_FAKE_PLATFORM_H
