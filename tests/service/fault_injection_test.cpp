// Fault injection across the service layer: every Win32 call that a
// management command or a service run makes fails once, at each of its calls
// in turn, and the result line, the status reports, the event records, the
// handles left open and the process state afterwards are checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "foundation/lists.h"
#include "foundation/string.h"
#include "foundation/win32.h"
#include "service/svc_app.h"
#include "service/svc_module.h"
#include "service/svc_obj.h"
#include "tests/service/scoped_api.h"
#include "tests/service/watchdog.h"

using namespace qzsvc;

namespace {

// Left behind by every call that succeeds, so that an error read late, after
// another call, shows as this code instead of the injected one.
const DWORD kNoise = ERROR_MORE_DATA;

// The code each function fails with when a fault is injected into it: real
// codes, so that each has a system text, and a different one per function,
// so that a code taken from the wrong step shows.
const std::map<std::string, DWORD>& InjectedCodes() {
  static const std::map<std::string, DWORD> codes = {
      {"OpenSCManagerA", ERROR_ACCESS_DENIED},
      {"OpenServiceA", ERROR_SERVICE_DOES_NOT_EXIST},
      {"CreateServiceA", ERROR_SERVICE_EXISTS},
      {"StartServiceA", ERROR_SERVICE_DISABLED},
      {"ControlService", ERROR_SERVICE_NOT_ACTIVE},
      {"DeleteService", ERROR_SERVICE_MARKED_FOR_DELETE},
      {"ChangeServiceConfig2A", ERROR_INVALID_LEVEL},
      {"CloseServiceHandle", ERROR_INVALID_HANDLE},
      {"StartServiceCtrlDispatcherA", ERROR_FAILED_SERVICE_CONTROLLER_CONNECT},
      {"RegisterServiceCtrlHandlerA", ERROR_INVALID_NAME},
      {"SetServiceStatus", ERROR_INVALID_DATA},
      {"RegisterEventSourceA", ERROR_ACCESS_DENIED},
      {"ReportEventA", ERROR_DISK_FULL},
      {"DeregisterEventSource", ERROR_INVALID_HANDLE},
  };
  return codes;
}

DWORD InjectedCode(const std::string& function) { return InjectedCodes().at(function); }

std::string ErrorText(DWORD code) {
  const TQZString text = SystemErrorText(code);
  return std::string(text.Text(), static_cast<size_t>(text.Length()));
}

// One call of one platform function: the n-th call of that function.
struct CallId {
  std::string Function;
  int Nth;
  bool operator<(const CallId& other) const {
    return std::tie(Function, Nth) < std::tie(other.Function, other.Nth);
  }
  bool operator==(const CallId& other) const {
    return Function == other.Function && Nth == other.Nth;
  }
  std::string Name() const { return Function + " #" + std::to_string(Nth); }
};
void PrintTo(const CallId& call, std::ostream* os) { *os << call.Name(); }

// (type, state, accepted controls, Win32 exit code, check point, wait hint)
using Row = std::tuple<DWORD, DWORD, DWORD, DWORD, DWORD, DWORD>;
Row R(DWORD state, DWORD accepted, DWORD checkPoint) {
  return Row{0x10, state, accepted, 0, checkPoint, 5000};
}

struct EventRecord {
  WORD Type, Category;
  DWORD EventId;
  std::vector<std::string> Strings;
  DWORD DataSize;
};

// Stands in for every function of the call table. Calls named in Failing
// fail with their code; every call is numbered per function, and every
// handle handed out is followed until it is closed.
class FaultyPlatform {
 public:
  FaultyPlatform() {
    Instance = this;
    Api->StartServiceCtrlDispatcherA = Dispatcher;
    Api->RegisterServiceCtrlHandlerA = RegisterHandler;
    Api->SetServiceStatus = SetStatus;
    Api->RegisterEventSourceA = RegisterSource;
    Api->ReportEventA = ReportEvent;
    Api->DeregisterEventSource = DeregisterSource;
    Api->OpenSCManagerA = OpenManager;
    Api->OpenServiceA = OpenService;
    Api->CreateServiceA = CreateService;
    Api->StartServiceA = StartService;
    Api->ControlService = Control;
    Api->DeleteService = DeleteService;
    Api->ChangeServiceConfig2A = ChangeConfig;
    Api->CloseServiceHandle = CloseHandle;
  }
  ~FaultyPlatform() { Instance = nullptr; }
  FaultyPlatform(const FaultyPlatform&) = delete;
  FaultyPlatform& operator=(const FaultyPlatform&) = delete;

  // Set before the run.
  std::map<CallId, DWORD> Failing;
  std::vector<std::string> StartPlan;  // names the SCM starts; empty: the first entry
  std::vector<DWORD> Controls;         // delivered in order once the service runs

  // Read after the run, once every thread has ended.
  std::vector<CallId> Calls;
  std::vector<Row> Reports;
  std::vector<EventRecord> Records;
  std::vector<std::string> SourceNames;
  std::map<void*, int> ScmCloses;      // every SCM handle handed out, with its closes
  std::map<void*, int> SourceCloses;   // the same for event sources
  int BadHandleUses = 0;               // a closed or unknown handle was used
  int EscapedExceptions = 0;           // left the service main routine or a handler
  int ServiceMains = 0;

  size_t ReportCount() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Reports.size();
  }
  // The calls that follow the given one in order.
  std::vector<CallId> CallsAfter(const CallId& call) const {
    auto at = std::find(Calls.begin(), Calls.end(), call);
    return at == Calls.end() ? std::vector<CallId>{} : std::vector<CallId>(at + 1, Calls.end());
  }

 private:
  static FaultyPlatform& P() { return *Instance; }

  // Numbers and records the call; the code it is to fail with, or 0.
  DWORD Enter(const char* function) {
    std::lock_guard<std::mutex> lock(Mutex);
    const CallId call{function, ++Counts[function]};
    Calls.push_back(call);
    auto it = Failing.find(call);
    return it == Failing.end() ? 0 : it->second;
  }
  // The last thing a fake does before it returns, so that nothing between
  // it and the caller's GetLastError can change the code.
  static bool Outcome(DWORD code) {
    SetLastError(code != 0 ? code : kNoise);
    return code == 0;
  }
  void* NewHandle(std::map<void*, int>& handles, uintptr_t base) {
    std::lock_guard<std::mutex> lock(Mutex);
    void* handle = reinterpret_cast<void*>(base + 16 * (handles.size() + 1));
    handles[handle] = 0;
    return handle;
  }
  // True when the handle was handed out and is still open.
  bool IsOpen(const std::map<void*, int>& handles, void* handle) {
    std::lock_guard<std::mutex> lock(Mutex);
    auto it = handles.find(handle);
    return it != handles.end() && it->second == 0;
  }
  void UseOf(const std::map<void*, int>& handles, void* handle) {
    if (!IsOpen(handles, handle)) {
      std::lock_guard<std::mutex> lock(Mutex);
      ++BadHandleUses;
    }
  }
  void CloseOf(std::map<void*, int>& handles, void* handle) {
    std::lock_guard<std::mutex> lock(Mutex);
    auto it = handles.find(handle);
    if (it == handles.end() || it->second != 0) ++BadHandleUses;
    if (it != handles.end()) ++it->second;
  }

  // Client side.
  static SC_HANDLE WINAPI OpenManager(LPCSTR, LPCSTR, DWORD) {
    const DWORD code = P().Enter("OpenSCManagerA");
    SC_HANDLE handle = nullptr;
    if (code == 0) handle = static_cast<SC_HANDLE>(P().NewHandle(P().ScmCloses, 0x10000));
    return Outcome(code) ? handle : nullptr;
  }
  static SC_HANDLE WINAPI OpenService(SC_HANDLE manager, LPCSTR, DWORD) {
    const DWORD code = P().Enter("OpenServiceA");
    P().UseOf(P().ScmCloses, manager);
    SC_HANDLE handle = nullptr;
    if (code == 0) handle = static_cast<SC_HANDLE>(P().NewHandle(P().ScmCloses, 0x10000));
    return Outcome(code) ? handle : nullptr;
  }
  static SC_HANDLE WINAPI CreateService(SC_HANDLE manager, LPCSTR, LPCSTR, DWORD, DWORD,
                                        DWORD, DWORD, LPCSTR, LPCSTR, LPDWORD, LPCSTR,
                                        LPCSTR, LPCSTR) {
    const DWORD code = P().Enter("CreateServiceA");
    P().UseOf(P().ScmCloses, manager);
    SC_HANDLE handle = nullptr;
    if (code == 0) handle = static_cast<SC_HANDLE>(P().NewHandle(P().ScmCloses, 0x10000));
    return Outcome(code) ? handle : nullptr;
  }
  static BOOL WINAPI StartService(SC_HANDLE service, DWORD, LPCSTR*) {
    const DWORD code = P().Enter("StartServiceA");
    P().UseOf(P().ScmCloses, service);
    return Outcome(code);
  }
  static BOOL WINAPI Control(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    const DWORD code = P().Enter("ControlService");
    P().UseOf(P().ScmCloses, service);
    if (code == 0) {
      *status = SERVICE_STATUS{};
      status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
      status->dwCurrentState = control == SERVICE_CONTROL_STOP    ? SERVICE_STOP_PENDING
                               : control == SERVICE_CONTROL_PAUSE ? SERVICE_PAUSED
                                                                  : SERVICE_RUNNING;
    }
    return Outcome(code);
  }
  static BOOL WINAPI DeleteService(SC_HANDLE service) {
    const DWORD code = P().Enter("DeleteService");
    P().UseOf(P().ScmCloses, service);
    return Outcome(code);
  }
  static BOOL WINAPI ChangeConfig(SC_HANDLE service, DWORD, LPVOID) {
    const DWORD code = P().Enter("ChangeServiceConfig2A");
    P().UseOf(P().ScmCloses, service);
    return Outcome(code);
  }
  // A failed close still ends the handle: there is nothing a caller could
  // close it with again.
  static BOOL WINAPI CloseHandle(SC_HANDLE handle) {
    const DWORD code = P().Enter("CloseServiceHandle");
    P().CloseOf(P().ScmCloses, handle);
    return Outcome(code);
  }

  // Service side. The dispatcher behaves like the SCM's: it starts the
  // service main routine on a thread of its own, delivers the controls to
  // the registered handler on the calling thread and returns once the
  // service main routine has returned.
  static BOOL WINAPI Dispatcher(const SERVICE_TABLE_ENTRYA* table) {
    const DWORD code = P().Enter("StartServiceCtrlDispatcherA");
    if (code == 0) P().Dispatch(table);
    return Outcome(code);
  }
  void Dispatch(const SERVICE_TABLE_ENTRYA* table) {
    std::vector<SERVICE_TABLE_ENTRYA> entries;
    for (; table->lpServiceName != nullptr || table->lpServiceProc != nullptr; ++table) {
      entries.push_back(*table);
    }
    if (entries.empty()) return;
    std::vector<std::string> plan = StartPlan;
    if (plan.empty()) plan.push_back(entries[0].lpServiceName);

    std::list<std::string> names(plan.begin(), plan.end());
    std::vector<std::thread> threads;
    int running = 0;
    {
      std::lock_guard<std::mutex> lock(Mutex);
      running = static_cast<int>(names.size());
      Running = running;
    }
    for (std::string& name : names) {
      LPSERVICE_MAIN_FUNCTIONA main = entries[0].lpServiceProc;
      threads.emplace_back([this, main, &name] {
        char* argv[] = {&name[0], nullptr};
        try {
          main(1, argv);
        } catch (...) {
          std::lock_guard<std::mutex> lock(Mutex);
          ++EscapedExceptions;
        }
        std::lock_guard<std::mutex> lock(Mutex);
        ++ServiceMains;
        --Running;
        Cv.notify_all();
      });
    }
    if (!Controls.empty()) {
      // Controls come once the service has reported running, or not at all
      // when its main routine ended first.
      TQZHandlerFunction handler = nullptr;
      {
        std::unique_lock<std::mutex> lock(Mutex);
        WaitOrAbort(lock, Cv, [this] { return Reports.size() >= 2 || Running == 0; },
                    "the service to run");
        if (Running > 0) handler = Handler;
      }
      for (DWORD control : Controls) {
        if (handler == nullptr) break;
        try {
          handler(control);
        } catch (...) {
          std::lock_guard<std::mutex> lock(Mutex);
          ++EscapedExceptions;
        }
      }
    }
    {
      std::unique_lock<std::mutex> lock(Mutex);
      WaitOrAbort(lock, Cv, [this] { return Running == 0; }, "the service main routine");
    }
    for (std::thread& t : threads) t.join();
  }
  static SERVICE_STATUS_HANDLE WINAPI RegisterHandler(LPCSTR, LPHANDLER_FUNCTION handler) {
    const DWORD code = P().Enter("RegisterServiceCtrlHandlerA");
    void* handle = nullptr;
    if (code == 0) {
      handle = P().NewHandle(P().StatusHandles, 0x30000);
      std::lock_guard<std::mutex> lock(P().Mutex);
      P().Handler = handler;
    }
    return Outcome(code) ? static_cast<SERVICE_STATUS_HANDLE>(handle) : nullptr;
  }
  static BOOL WINAPI SetStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS s) {
    const DWORD code = P().Enter("SetServiceStatus");
    P().UseOf(P().StatusHandles, handle);
    {
      std::lock_guard<std::mutex> lock(P().Mutex);
      P().Reports.push_back(Row{s->dwServiceType, s->dwCurrentState, s->dwControlsAccepted,
                                s->dwWin32ExitCode, s->dwCheckPoint, s->dwWaitHint});
      P().Cv.notify_all();
    }
    return Outcome(code);
  }

  // Event log.
  static HANDLE WINAPI RegisterSource(LPCSTR, LPCSTR source) {
    const DWORD code = P().Enter("RegisterEventSourceA");
    HANDLE handle = nullptr;
    {
      std::lock_guard<std::mutex> lock(P().Mutex);
      P().SourceNames.push_back(source != nullptr ? source : "<null>");
    }
    if (code == 0) handle = P().NewHandle(P().SourceCloses, 0x40000);
    return Outcome(code) ? handle : nullptr;
  }
  static BOOL WINAPI ReportEvent(HANDLE log, WORD type, WORD category, DWORD id, PSID,
                                 WORD count, DWORD dataSize, LPCSTR* strings, LPVOID) {
    DWORD code = P().Enter("ReportEventA");
    // A null handle is what a failed open leaves; the system refuses it.
    if (log == nullptr) {
      if (code == 0) code = ERROR_INVALID_HANDLE;
    } else {
      P().UseOf(P().SourceCloses, log);
    }
    if (code == 0) {
      EventRecord record{type, category, id, {}, dataSize};
      for (WORD i = 0; i < count; ++i) record.Strings.push_back(strings[i] ? strings[i] : "<null>");
      std::lock_guard<std::mutex> lock(P().Mutex);
      P().Records.push_back(record);
    }
    return Outcome(code);
  }
  static BOOL WINAPI DeregisterSource(HANDLE log) {
    const DWORD code = P().Enter("DeregisterEventSource");
    P().CloseOf(P().SourceCloses, log);
    return Outcome(code);
  }

  static FaultyPlatform* Instance;
  ScopedServiceApi Api;
  std::mutex Mutex;
  std::condition_variable Cv;
  std::map<std::string, int> Counts;
  std::map<void*, int> StatusHandles;
  TQZHandlerFunction Handler = nullptr;
  int Running = 0;
};
FaultyPlatform* FaultyPlatform::Instance = nullptr;

// Counts the faults injected over the whole program, printed at its end.
int TotalFaults = 0;

class FaultCountEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    std::printf("[  FAULTS  ] %d faults injected into the service layer's platform calls\n",
                TotalFaults);
    std::fflush(stdout);
  }
};
[[maybe_unused]] ::testing::Environment* const kFaultCount =
    ::testing::AddGlobalTestEnvironment(new FaultCountEnvironment);

// Runs the scenario once as it stands, then once more for every call it
// made, with that call failing as well; check sees each faulty run.
template <class Run, class Check>
int InjectEachCall(const std::map<CallId, DWORD>& background, Run run, Check check) {
  std::vector<CallId> baseline;
  {
    FaultyPlatform platform;
    platform.Failing = background;
    run(platform);
    baseline = platform.Calls;
  }
  int injected = 0;
  for (const CallId& call : baseline) {
    if (background.count(call) != 0) continue;
    SCOPED_TRACE(call.Name() + " fails");
    FaultyPlatform platform;
    platform.Failing = background;
    platform.Failing[call] = InjectedCode(call.Function);
    run(platform);
    check(platform, call);
    ++injected;
  }
  TotalFaults += injected;
  return injected;
}

void ExpectEveryHandleClosedOnce(const std::map<void*, int>& handles, const char* what) {
  for (const auto& h : handles) EXPECT_EQ(h.second, 1) << what << " " << h.first;
}

// The process state a finished run or command must leave: no entry in the
// service table, no published service object (an interrogation reaching the
// application's handler does nothing).
void ExpectSaneProcessState(TQZSvcApp& app, FaultyPlatform& platform) {
  EXPECT_EQ(ServiceTableCount(), 0);
  EXPECT_FALSE(TQZSvcApp::AppOnInit(&app, app.Service, nullptr, nullptr));
  const size_t calls = platform.Calls.size();
  TQZSvcApp::AppCtrlHandler(SERVICE_CONTROL_INTERROGATE);
  EXPECT_EQ(platform.Calls.size(), calls);
}

std::string SuccessLine(const std::string& verb) {
  return verb + " service <TestSvc> success!\n";
}
std::string FailureLine(const std::string& verb, DWORD code) {
  return verb + " service <TestSvc> failure! reason(" +
         std::to_string(static_cast<int32_t>(code)) + "): " + ErrorText(code) + "\n";
}

bool DemoStart(TQZStringList*, bool) { return true; }
int StopCalls = 0;
void DemoStop(bool) { ++StopCalls; }

TEST(FaultInjectionTest, EveryInjectedCodeHasASystemText) {
  // Otherwise a result line with the wrong code's text could still match.
  for (const auto& entry : InjectedCodes()) {
    EXPECT_FALSE(ErrorText(entry.second).empty()) << entry.first << " " << entry.second;
  }
  EXPECT_FALSE(ErrorText(ERROR_INVALID_HANDLE).empty());
}

struct CommandCase {
  const char* Verb;
  std::vector<std::string> Arguments;  // after the program's own name
  const char* Operation;               // the call that does the command's work
};

const CommandCase kCommands[] = {
    {"install", {"-install"}, "CreateServiceA"},
    {"uninstall", {"-uninstall"}, "DeleteService"},
    {"start", {"-start", "a", "b"}, "StartServiceA"},
    {"stop", {"-stop"}, "ControlService"},
    {"pause", {"-pause"}, "ControlService"},
    {"continue", {"-continue"}, "ControlService"},
};

// A failure of these calls fails the command; the description and the
// closing of handles do not.
bool FailsTheCommand(const std::string& function) {
  return function == "OpenSCManagerA" || function == "OpenServiceA" ||
         function == "CreateServiceA" || function == "StartServiceA" ||
         function == "ControlService" || function == "DeleteService";
}

TEST(FaultInjectionTest, EveryFailingCallOfACommandPrintsItsCodeAndLeavesNoHandleOpen) {
  int faults = 0;
  for (const CommandCase& command : kCommands) {
    SCOPED_TRACE(command.Verb);
    std::vector<std::string> args = {"svcdemo.exe"};
    args.insert(args.end(), command.Arguments.begin(), command.Arguments.end());
    std::vector<CallId> baseline;
    std::string output;
    uint32_t lastError = 0;

    auto run = [&](FaultyPlatform& platform) {
      TQZSvcApp app("TestSvc", "Service demo", "Test TQZSvcApp demo");
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(&a[0]);
      argv.push_back(nullptr);
      testing::internal::CaptureStdout();
      EXPECT_NO_THROW(app.Main(static_cast<int>(args.size()), argv.data()));
      output = testing::internal::GetCapturedStdout();
      lastError = app.Service->LastError;
      EXPECT_EQ(app.Service->State.load(), QZ_SERVICE_STOPPED);
      ExpectSaneProcessState(app, platform);
      if (baseline.empty()) baseline = platform.Calls;
    };
    auto check = [&](FaultyPlatform& platform, const CallId& fault) {
      const DWORD code = InjectedCode(fault.Function);
      const bool fatal = FailsTheCommand(fault.Function);
      EXPECT_EQ(output, fatal ? FailureLine(command.Verb, code) : SuccessLine(command.Verb));
      if (std::string(command.Verb) == "install") {
        EXPECT_EQ(lastError, fatal ? code : 0u);
      }
      if (fatal) {
        // Nothing but closing follows a failed step.
        for (const CallId& later : platform.CallsAfter(fault)) {
          EXPECT_EQ(later.Function, "CloseServiceHandle") << later.Name();
        }
      } else {
        EXPECT_EQ(platform.Calls, baseline);
      }
      ExpectEveryHandleClosedOnce(platform.ScmCloses, "SCM handle");
      EXPECT_EQ(platform.BadHandleUses, 0);
      EXPECT_TRUE(platform.Reports.empty());
      EXPECT_TRUE(platform.SourceNames.empty());
    };
    const int injected = InjectEachCall({}, run, check);
    // The open, the operation and the closes are there in every command.
    EXPECT_GE(injected, 4);
    EXPECT_NE(std::find(baseline.begin(), baseline.end(), CallId{command.Operation, 1}),
              baseline.end());
    faults += injected;
  }
  std::printf("[  FAULTS  ] %d in the management commands\n", faults);
}

const std::vector<Row> kLifeReports = {
    R(2, 0, 1), R(4, 7, 0), R(6, 7, 0), R(7, 7, 0), R(5, 7, 0),
    R(4, 7, 0), R(4, 7, 0), R(3, 7, 0), R(1, 7, 0)};

// What the event log must hold after a run: each record the runtime writes,
// unless the source could not be opened for it (the next record opens it
// again) or its write failed.
std::vector<std::string> SurvivingRecords(const std::vector<std::string>& written,
                                          const std::map<CallId, DWORD>& failing) {
  std::vector<std::string> kept;
  bool open = false;
  int opens = 0, reports = 0;
  for (const std::string& text : written) {
    if (!open) open = failing.count({"RegisterEventSourceA", ++opens}) == 0;
    const bool reported = failing.count({"ReportEventA", ++reports}) == 0;
    if (open && reported) kept.push_back(text);
  }
  std::sort(kept.begin(), kept.end());
  return kept;
}

std::vector<std::string> SortedStrings(const std::vector<EventRecord>& records) {
  std::vector<std::string> strings;
  for (const EventRecord& r : records) {
    EXPECT_EQ(r.Type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(r.Category, 0);
    EXPECT_EQ(r.EventId, 0u);
    EXPECT_EQ(r.DataSize, 0u);
    EXPECT_EQ(r.Strings.size(), 1u);
    if (!r.Strings.empty()) strings.push_back(r.Strings[0]);
  }
  std::sort(strings.begin(), strings.end());
  return strings;
}

struct RunScenario {
  const char* Name;
  std::map<CallId, DWORD> Background;  // faults present in every run of it
};

TEST(FaultInjectionTest, EveryFailingCallOfAServiceRunIsLoggedOrEndsItStopped) {
  const RunScenario scenarios[] = {
      {"a whole life", {}},
      {"first and last report refused",
       {{{"SetServiceStatus", 1}, ERROR_INVALID_HANDLE},
        {{"SetServiceStatus", 9}, ERROR_INVALID_HANDLE}}},
      {"handler registration refused",
       {{{"RegisterServiceCtrlHandlerA", 1}, ERROR_ACCESS_DENIED}}},
  };
  int faults = 0;
  for (const RunScenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.Name);
    std::string output;
    uint32_t lastError = 0, state = 0;
    int stops = 0;

    auto run = [&](FaultyPlatform& platform) {
      platform.Controls = {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE,
                           SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_STOP};
      StopCalls = 0;
      {
        TQZSvcApp app("TestSvc", "Service demo", "Test TQZSvcApp demo");
        app.OnStart = DemoStart;
        app.OnStop = DemoStop;
        char prog[] = "svcdemo.exe", sw[] = "/service";
        char* argv[] = {prog, sw, nullptr};
        testing::internal::CaptureStdout();
        EXPECT_NO_THROW(app.Main(2, argv));
        output = testing::internal::GetCapturedStdout();
        lastError = app.Service->LastError;
        state = app.Service->State.load();
        ExpectSaneProcessState(app, platform);
      }
      stops = StopCalls;
    };
    auto check = [&](FaultyPlatform& platform, const CallId& fault) {
      std::map<CallId, DWORD> failing = scenario.Background;
      failing[fault] = InjectedCode(fault.Function);
      auto fails = [&](const char* function, int nth) {
        auto it = failing.find({function, nth});
        return it == failing.end() ? 0 : it->second;
      };
      EXPECT_EQ(output, "");
      EXPECT_EQ(platform.EscapedExceptions, 0);
      EXPECT_EQ(state, QZ_SERVICE_STOPPED);

      std::vector<std::string> written;
      if (fails("StartServiceCtrlDispatcherA", 1) != 0) {
        EXPECT_EQ(platform.Calls, std::vector<CallId>{fault});
        EXPECT_EQ(platform.ServiceMains, 0);
      } else if (const DWORD code = fails("RegisterServiceCtrlHandlerA", 1)) {
        EXPECT_TRUE(platform.Reports.empty());
        EXPECT_EQ(lastError, code);
        EXPECT_EQ(stops, 0);
        written.push_back(ErrorText(code));
      } else {
        // A refused report changes nothing the SCM is told afterwards.
        EXPECT_EQ(platform.Reports, kLifeReports);
        EXPECT_EQ(lastError, 0u);
        EXPECT_EQ(stops, 1);
        for (int i = 1; i <= static_cast<int>(kLifeReports.size()); ++i) {
          if (const DWORD code = fails("SetServiceStatus", i)) written.push_back(ErrorText(code));
        }
      }
      EXPECT_EQ(SortedStrings(platform.Records), SurvivingRecords(written, failing));
      for (const std::string& source : platform.SourceNames) EXPECT_EQ(source, "TestSvc");
      if (written.empty()) {
        EXPECT_TRUE(platform.SourceNames.empty());
      }
      ExpectEveryHandleClosedOnce(platform.SourceCloses, "event source");
      EXPECT_EQ(platform.BadHandleUses, 0);
      EXPECT_TRUE(platform.ScmCloses.empty());
    };
    faults += InjectEachCall(scenario.Background, run, check);
  }
  // Dispatcher, registration, nine reports; the event log's three calls in
  // both scenarios that write records.
  EXPECT_GE(faults, 11 + 9 + 4);
  std::printf("[  FAULTS  ] %d in the service run\n", faults);
}

TEST(FaultInjectionTest, FailingCallsOfAStoppedReportForAnUnknownNameAreNeitherRetriedNorLogged) {
  int faults = 0;
  std::vector<Row> baselineReports;
  auto run = [&](FaultyPlatform& platform) {
    // With two entries an unknown name runs neither object.
    TQZSvcObj first("A"), second("B");
    ASSERT_TRUE(AddServiceObject("A", &first));
    ASSERT_TRUE(AddServiceObject("B", &second));
    platform.StartPlan = {"Other"};
    EXPECT_NO_THROW(RunServiceDispatcher());
    RemoveServiceObject("A");
    RemoveServiceObject("B");
    EXPECT_EQ(ServiceTableCount(), 0);
    EXPECT_EQ(first.State.load(), QZ_SERVICE_STOPPED);
    EXPECT_EQ(second.StatusHandle, nullptr);
    if (baselineReports.empty()) baselineReports = platform.Reports;
  };
  auto check = [&](FaultyPlatform& platform, const CallId& fault) {
    EXPECT_EQ(platform.EscapedExceptions, 0);
    EXPECT_TRUE(platform.SourceNames.empty());
    EXPECT_TRUE(platform.Records.empty());
    if (fault.Function == "SetServiceStatus") {
      EXPECT_EQ(platform.Reports, baselineReports);
    } else {
      EXPECT_TRUE(platform.Reports.empty());
    }
    // One attempt each; a failure is not retried.
    for (const CallId& call : platform.Calls) EXPECT_EQ(call.Nth, 1) << call.Name();
  };
  faults += InjectEachCall({}, run, check);
  EXPECT_EQ(baselineReports, std::vector<Row>{R(1, 5, 0)});
  EXPECT_EQ(faults, 3);
  std::printf("[  FAULTS  ] %d in the stopped report for an unknown name\n", faults);
}

}  // namespace
