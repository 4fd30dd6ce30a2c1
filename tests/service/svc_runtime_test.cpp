// Service runtime tests: every report handed to the SCM, with real threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/process_info.h"
#include "foundation/win32.h"
#include "service/event_log.h"
#include "service/svc_module.h"
#include "service/svc_obj.h"
#include "service/svc_sequence.h"
#include "tests/service/fake_platform.h"
#include "tests/service/watchdog.h"

using namespace qzsvc;

namespace {

using Row = StatusRow;

// A report with no exit code and the usual wait hint.
Row R(uint32_t state, uint32_t accepted, uint32_t checkPoint, uint32_t type = 0x10) {
  return Row{type, state, accepted, 0, checkPoint, 5000};
}

// The same report as the end of a failed run: Win32 exit code 1066.
Row Failed(Row row) {
  std::get<3>(row) = ERROR_SERVICE_SPECIFIC_ERROR;
  return row;
}

class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(Mutex);
    IsOpen = true;
    Cv.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(Mutex);
    WaitOrAbort(lock, Cv, [this] { return IsOpen; }, "a gate");
  }

 private:
  std::mutex Mutex;
  std::condition_variable Cv;
  bool IsOpen = false;
};

// What each hook does; an empty function leaves its slot empty. Every call
// is recorded with the thread it ran on.
struct HookScript {
  std::function<bool(TQZStringList*, TQZHandlerFunction*)> Init;
  std::function<void(bool&)> Start, Stop, Pause, Continue;
  std::function<void()> Execute, Shutdown;
  std::function<void(uint32_t)> User;

  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Names;
  }
  DWORD ThreadOf(const std::string& hook) {
    std::lock_guard<std::mutex> lock(Mutex);
    return Threads[hook];
  }
  void Note(const char* hook) {
    std::lock_guard<std::mutex> lock(Mutex);
    Names.push_back(hook);
    Threads[hook] = GetCurrentThreadId();
  }

  void Attach(TQZSvcObj& object) {
    if (Init) object.OnInit = {[](void* u, TQZSvcObj*, TQZStringList* a, TQZHandlerFunction* h) {
      static_cast<HookScript*>(u)->Note("OnInit");
      return static_cast<HookScript*>(u)->Init(a, h);
    }, this};
    if (Start) object.OnStart = {[](void* u, TQZSvcObj*, bool& ok) {
      static_cast<HookScript*>(u)->Note("OnStart");
      static_cast<HookScript*>(u)->Start(ok);
      return true;
    }, this};
    if (Execute) object.OnExecute = {[](void* u, TQZSvcObj*) {
      static_cast<HookScript*>(u)->Note("OnExecute");
      static_cast<HookScript*>(u)->Execute();
    }, this};
    if (Stop) object.OnStop = {[](void* u, TQZSvcObj*, bool& ok) {
      static_cast<HookScript*>(u)->Note("OnStop");
      static_cast<HookScript*>(u)->Stop(ok);
    }, this};
    if (Pause) object.OnPause = {[](void* u, TQZSvcObj*, bool& ok) {
      static_cast<HookScript*>(u)->Note("OnPause");
      static_cast<HookScript*>(u)->Pause(ok);
    }, this};
    if (Continue) object.OnContinue = {[](void* u, TQZSvcObj*, bool& ok) {
      static_cast<HookScript*>(u)->Note("OnContinue");
      static_cast<HookScript*>(u)->Continue(ok);
    }, this};
    if (Shutdown) object.OnShutdown = {[](void* u, TQZSvcObj*) {
      static_cast<HookScript*>(u)->Note("OnShutdown");
      static_cast<HookScript*>(u)->Shutdown();
    }, this};
    if (User) object.OnControl = {[](void* u, TQZSvcObj*, uint32_t code) {
      static_cast<HookScript*>(u)->Note("OnControl");
      static_cast<HookScript*>(u)->User(code);
    }, this};
  }

  // The most hooks that ran at the same time; a hook that uses Enter and
  // Leave counts.
  void Enter() {
    std::lock_guard<std::mutex> lock(Mutex);
    if (++Inside > MostInside) MostInside = Inside;
  }
  void Leave() {
    std::lock_guard<std::mutex> lock(Mutex);
    --Inside;
  }
  int MostAtOnce() {
    std::lock_guard<std::mutex> lock(Mutex);
    return MostInside;
  }

 private:
  std::mutex Mutex;
  std::vector<std::string> Names;
  std::map<std::string, DWORD> Threads;
  int Inside = 0;
  int MostInside = 0;
};

// RunServiceDispatcher on a thread of its own, which becomes the dispatcher
// thread; the test's thread plays the SCM.
class DispatcherThread {
 public:
  DispatcherThread() : Thread([this] {
    const bool result = RunServiceDispatcher();
    std::lock_guard<std::mutex> lock(Mutex);
    Result = result;
    Finished = true;
    Cv.notify_all();
  }) {}
  ~DispatcherThread() { Join(); }
  bool Join() {
    {
      std::unique_lock<std::mutex> lock(Mutex);
      WaitOrAbort(lock, Cv, [this] { return Finished; }, "the dispatcher to return");
    }
    if (Thread.joinable()) Thread.join();
    return Result;
  }

 private:
  std::mutex Mutex;
  std::condition_variable Cv;
  bool Finished = false;
  bool Result = false;
  std::thread Thread;
};

class SvcRuntimeTest : public ::testing::Test {
 protected:
  void Add(const char* name, TQZSvcObj& object) {
    ASSERT_TRUE(AddServiceObject(name, &object));
    Added.push_back(name);
  }
  void TearDown() override {
    for (const std::string& name : Added) RemoveServiceObject(name.c_str());
    EXPECT_EQ(ServiceTableCount(), 0);
    EXPECT_EQ(Scm.EscapedExceptions(), 0);
    // Every run joined its control thread before it ended.
    EXPECT_EQ(Scm.RunningThreads(), 0);
  }
  std::vector<Row> Rows(const std::string& name = "") const { return Scm.Reports(name); }
  void WaitForReports(size_t n, const std::string& name = "") {
    auto isReport = [&](const PlatformCall& c) {
      return c.Function == "SetServiceStatus" && (name.empty() || c.HandleName == name);
    };
    Scm.WaitUntil(
        [&](const std::vector<PlatformCall>& calls) {
          return static_cast<size_t>(std::count_if(calls.begin(), calls.end(), isReport)) >= n;
        },
        "status reports");
  }
  // Waits until the last report is of a state that is not pending: a control
  // taken by the dispatcher has then been carried out by the control thread.
  void WaitSettled() {
    Scm.WaitUntil(
        [](const std::vector<PlatformCall>& calls) {
          for (auto c = calls.rbegin(); c != calls.rend(); ++c) {
            if (c->Function != "SetServiceStatus") continue;
            const DWORD state = c->Status.dwCurrentState;
            return state == SERVICE_STOPPED || state == SERVICE_RUNNING ||
                   state == SERVICE_PAUSED;
          }
          return false;
        },
        "a settled state");
  }
  // Waits until the run has reported running, the point from which the SCM
  // delivers controls.
  void WaitRunning(const char* name = "") { WaitForReports(2, name); }
  // One run of the dispatcher that ends after one control once running.
  void RunUntilControl(DWORD code, const char* name = "Svc") {
    DispatcherThread dispatcher;
    WaitRunning(name);
    EXPECT_TRUE(Scm.SendControl(name, code));
    EXPECT_TRUE(dispatcher.Join());
  }

  // The handlers registered, with the names they were registered under.
  std::vector<std::pair<std::string, TQZHandlerFunction>> Registrations() const {
    std::vector<std::pair<std::string, TQZHandlerFunction>> registrations;
    for (const PlatformCall& call : Scm.CallsOf("RegisterServiceCtrlHandlerA")) {
      if (call.Result == nullptr) continue;
      registrations.emplace_back(TextOrNull(call.Name), call.Handler);
    }
    return registrations;
  }
  // The names in the table of the latest dispatcher call.
  std::vector<std::string> DispatchedNames() const {
    std::vector<std::string> names;
    for (const CallText& name : Scm.Last("StartServiceCtrlDispatcherA").Entries) {
      names.push_back(TextOrNull(name));
    }
    return names;
  }
  std::vector<CallText> SourceNames() const {
    std::vector<CallText> names;
    for (const PlatformCall& call : Scm.CallsOf("RegisterEventSourceA")) names.push_back(call.Name);
    return names;
  }

  FakePlatform Scm;
  std::vector<std::string> Added;
};

struct TransitionCase {
  const char* Name;
  std::function<void(HookScript&, TQZSvcObj&)> Setup;
  std::vector<DWORD> Controls;  // delivered in order once the service runs
  std::vector<Row> Expected;
  std::vector<std::string> Calls;
};

const TransitionCase kTransitions[] = {
    {"StartThenStop", [](HookScript& h, TQZSvcObj&) { h.Start = h.Stop = [](bool&) {}; },
     {1}, {R(2, 0, 1), R(4, 7, 0), R(3, 7, 0), R(1, 7, 0)}, {"OnStart", "OnStop"}},
    {"StartRefused", [](HookScript& h, TQZSvcObj&) {
       h.Start = [](bool& ok) { ok = false; };
       h.Execute = h.Shutdown = [] {};
     }, {}, {R(2, 0, 1), Failed(R(1, 7, 0))}, {"OnStart"}},
    {"StartThrows", [](HookScript& h, TQZSvcObj&) {
       h.Start = [](bool&) { throw std::runtime_error("start"); };
       h.Execute = h.Shutdown = [] {};
     }, {}, {R(2, 0, 1), Failed(R(1, 7, 0))}, {"OnStart"}},
    {"EmptySlotsPauseContinueStop", nullptr, {2, 3, 1},
     {R(2, 0, 1), R(4, 7, 0), R(6, 7, 0), R(7, 7, 0), R(5, 7, 0), R(4, 7, 0), R(3, 7, 0),
      R(1, 7, 0)}, {}},
    {"StopWhilePaused", nullptr, {2, 1},
     {R(2, 0, 1), R(4, 7, 0), R(6, 7, 0), R(7, 7, 0), R(3, 7, 0), R(1, 7, 0)}, {}},
    {"StopRefusedWhileRunningAndPaused", [](HookScript& h, TQZSvcObj&) {
       auto refusals = std::make_shared<int>(2);
       h.Stop = [refusals](bool& ok) { ok = (*refusals)-- <= 0; };
     }, {1, 2, 1, 1},
     {R(2, 0, 1), R(4, 7, 0), R(3, 7, 0), R(4, 7, 0), R(6, 7, 0), R(7, 7, 0), R(3, 7, 0),
      R(7, 7, 0), R(3, 7, 0), R(1, 7, 0)}, {"OnStop", "OnStop", "OnStop"}},
    {"PauseAndContinueRefused", [](HookScript& h, TQZSvcObj&) {
       auto pauses = std::make_shared<int>(0);
       h.Pause = [pauses](bool& ok) { ok = (*pauses)++ > 0; };
       h.Continue = [](bool& ok) { ok = false; };
     }, {2, 2, 3, 1},
     {R(2, 0, 1), R(4, 7, 0), R(6, 7, 0), R(4, 7, 0), R(6, 7, 0), R(7, 7, 0), R(5, 7, 0),
      R(7, 7, 0), R(3, 7, 0), R(1, 7, 0)}, {"OnPause", "OnPause", "OnContinue"}},
    {"InterrogateRunningAndPaused", nullptr, {4, 2, 4, 1},
     {R(2, 0, 1), R(4, 7, 0), R(4, 7, 0), R(6, 7, 0), R(7, 7, 0), R(7, 7, 0), R(3, 7, 0),
      R(1, 7, 0)}, {}},
    {"InterrogateInPendingStates", [](HookScript& h, TQZSvcObj& o) {
       TQZSvcObj* object = &o;
       h.Pause = h.Continue = h.Stop = [object](bool&) { object->Control(4); };
     }, {2, 3, 1},
     {R(2, 0, 1), R(4, 7, 0), R(6, 7, 0), R(6, 7, 1), R(7, 7, 0), R(5, 7, 0), R(5, 7, 1),
      R(4, 7, 0), R(3, 7, 0), R(3, 7, 1), R(1, 7, 0)}, {"OnPause", "OnContinue", "OnStop"}},
    {"ShutdownWhileRunning", [](HookScript& h, TQZSvcObj&) {
       h.Stop = [](bool&) {};
       h.Shutdown = [] {};
     }, {5}, {R(2, 0, 1), R(4, 7, 0), R(3, 7, 0), R(1, 7, 0)}, {"OnShutdown"}},
    {"ShutdownWhilePaused", [](HookScript& h, TQZSvcObj&) { h.Shutdown = [] {}; }, {2, 5},
     {R(2, 0, 1), R(4, 7, 0), R(6, 7, 0), R(7, 7, 0), R(3, 7, 0), R(1, 7, 0)}, {"OnShutdown"}},
    {"ExecuteReturnsByItself", [](HookScript& h, TQZSvcObj&) { h.Execute = h.Shutdown = [] {}; },
     {}, {R(2, 0, 1), R(4, 7, 0), R(3, 7, 0), R(1, 7, 0)}, {"OnExecute", "OnShutdown"}},
    {"ExecuteReturnsAfterStop", [](HookScript& h, TQZSvcObj& o) {
       TQZSvcObj* object = &o;
       h.Execute = [object] {
         while (!object->StopRequested.load()) object->StopEvent->Wait();
       };
       h.Shutdown = [] {};
     }, {1}, {R(2, 0, 1), R(4, 7, 0), R(3, 7, 0), R(1, 7, 0)}, {"OnExecute"}},
    {"ExecuteThrows", [](HookScript& h, TQZSvcObj&) {
       h.Execute = [] { throw 7; };
       h.Shutdown = [] {};
     }, {}, {R(2, 0, 1), R(4, 7, 0), Failed(R(1, 7, 0))}, {"OnExecute"}},
    {"StopThrowsKeepingOk", [](HookScript& h, TQZSvcObj&) {
       h.Stop = [](bool&) { throw std::runtime_error("stop"); };
     }, {1}, {R(2, 0, 1), R(4, 7, 0), R(3, 7, 0), Failed(R(1, 7, 0))}, {"OnStop"}},
    {"StopClearsOkThenThrows", [](HookScript& h, TQZSvcObj&) {
       auto first = std::make_shared<bool>(true);
       h.Stop = [first](bool& ok) {
         if (!*first) return;
         *first = false;
         ok = false;
         throw std::runtime_error("stop");
       };
     }, {1, 1}, {R(2, 0, 1), R(4, 7, 0), R(3, 7, 0), R(4, 7, 0), R(3, 7, 0), Failed(R(1, 7, 0))},
     {"OnStop", "OnStop"}},
    {"PauseContinueShutdownThrow", [](HookScript& h, TQZSvcObj&) {
       h.Pause = h.Continue = [](bool&) { throw 1; };
       h.Shutdown = [] { throw 2; };
     }, {2, 3, 5},
     {R(2, 0, 1), R(4, 7, 0), R(6, 7, 0), R(7, 7, 0), R(5, 7, 0), R(4, 7, 0), R(3, 7, 0),
      Failed(R(1, 7, 0))}, {"OnPause", "OnContinue", "OnShutdown"}},
    {"DriverTypeReportedUnchanged", [](HookScript&, TQZSvcObj& o) {
       o.ServiceType = 1;
       o.Interactive = true;
     }, {1}, {R(2, 0, 1, 1), R(4, 7, 0, 1), R(3, 7, 0, 1), R(1, 7, 0, 1)}, {}},
    {"InteractiveOwnProcess", [](HookScript&, TQZSvcObj& o) { o.Interactive = true; }, {1},
     {R(2, 0, 1, 0x110), R(4, 7, 0, 0x110), R(3, 7, 0, 0x110), R(1, 7, 0, 0x110)}, {}},
    {"AcceptedControlsFollowTheFlags", [](HookScript&, TQZSvcObj& o) {
       o.AcceptPauseContinue = false;
     }, {1}, {R(2, 0, 1), R(4, 5, 0), R(3, 5, 0), R(1, 5, 0)}, {}},
};

class TransitionTest : public SvcRuntimeTest,
                       public ::testing::WithParamInterface<TransitionCase> {};

TEST_P(TransitionTest, ReportsEveryTransitionInOrder) {
  const TransitionCase& c = GetParam();
  TQZSvcObj object("Svc");
  HookScript hooks;
  if (c.Setup) c.Setup(hooks, object);
  hooks.Attach(object);
  Add("Svc", object);
  {
    DispatcherThread dispatcher;
    if (!c.Controls.empty()) WaitRunning();
    // Each control once the one before has been carried out, as the SCM
    // client's commands send them.
    for (DWORD code : c.Controls) {
      EXPECT_TRUE(Scm.SendControl("Svc", code)) << code;
      WaitSettled();
    }
    EXPECT_TRUE(dispatcher.Join());
  }
  EXPECT_EQ(Rows(), c.Expected);
  EXPECT_EQ(hooks.Calls(), c.Calls);
  EXPECT_EQ(object.State.load(), QZ_SERVICE_STOPPED);
}

INSTANTIATE_TEST_SUITE_P(SvcRuntime, TransitionTest, ::testing::ValuesIn(kTransitions),
                         [](const ::testing::TestParamInfo<TransitionCase>& info) {
                           return std::string(info.param.Name);
                         });

// Targets of the handlers an OnInit hook can supply in place of the module's.
TQZSvcObj* HandlerTargets[2] = {nullptr, nullptr};
void WINAPI FirstHandler(DWORD code) { HandlerTargets[0]->Control(code); }
void WINAPI SecondHandler(DWORD code) { HandlerTargets[1]->Control(code); }

TEST_F(SvcRuntimeTest, StartRunsOnServiceThreadAndControlHooksOnTheRunsControlThread) {
  TQZSvcObj object("Svc");
  HookScript hooks;
  hooks.Start = hooks.Stop = [](bool&) {};
  hooks.Attach(object);
  Add("Svc", object);
  Scm.StartPlan = {{"Svc", "-a", "b c"}};
  RunUntilControl(SERVICE_CONTROL_STOP);
  // The dispatcher thread only takes the control, so the SCM is never kept
  // waiting by a hook.
  EXPECT_NE(hooks.ThreadOf("OnStop"), Scm.Last("StartServiceCtrlDispatcherA").ThreadId);
  EXPECT_NE(hooks.ThreadOf("OnStop"), hooks.ThreadOf("OnStart"));
  EXPECT_NE(hooks.ThreadOf("OnStart"), Scm.Last("StartServiceCtrlDispatcherA").ThreadId);
  EXPECT_NE(hooks.ThreadOf("OnStart"), GetCurrentThreadId());
  EXPECT_EQ(DispatchedNames(), std::vector<std::string>{"Svc"});
  const auto registrations = Registrations();
  ASSERT_EQ(registrations.size(), 1u);
  EXPECT_EQ(registrations[0].first, "Svc");
  EXPECT_EQ(registrations[0].second, &ServiceCtrlHandler);
  for (const PlatformCall& r : Scm.CallsOf("SetServiceStatus")) {
    EXPECT_EQ(r.Status.dwServiceSpecificExitCode, 0u);
  }
  EXPECT_EQ(Items(object.Arguments), (std::vector<std::string>{"Svc", "-a", "b c"}));
  EXPECT_NE(object.StatusHandle, nullptr);
  EXPECT_EQ(object.LastError, 0u);
}

TEST_F(SvcRuntimeTest, InterrogateFromDispatcherWhileServiceThreadIsInAHook) {
  TQZSvcObj object("Svc");
  HookScript hooks;
  Gate startGate, shutdownGate;
  hooks.Start = [&](bool&) { startGate.Wait(); };
  hooks.Execute = [] {};
  hooks.Shutdown = [&] { shutdownGate.Wait(); };
  hooks.Attach(object);
  Add("Svc", object);
  {
    DispatcherThread dispatcher;
    WaitForReports(1);
    EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_INTERROGATE));
    startGate.Open();
    WaitForReports(4);
    EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_INTERROGATE));
    shutdownGate.Open();
    EXPECT_TRUE(dispatcher.Join());
  }
  EXPECT_EQ(Rows(), (std::vector<Row>{R(2, 0, 1), R(2, 0, 1), R(4, 7, 0), R(3, 7, 0),
                                          R(3, 7, 1), R(1, 7, 0)}));
  // The end of the work enters the control sequence like a control.
  EXPECT_NE(hooks.ThreadOf("OnShutdown"), hooks.ThreadOf("OnStart"));
}

TEST_F(SvcRuntimeTest, ProgressAdvancesTheCheckPointWithItsWaitHintUntilTheStateChanges) {
  TQZSvcObj object("Svc");
  HookScript hooks;
  hooks.Start = [&](bool&) {
    EXPECT_TRUE(object.ReportProgress(20000));
    EXPECT_TRUE(object.ReportProgress(30000));
  };
  hooks.Stop = [&](bool&) { EXPECT_TRUE(object.ReportProgress(100)); };
  hooks.Attach(object);
  Add("Svc", object);
  {
    DispatcherThread dispatcher;
    WaitForReports(4);  // running, after the two progress reports
    EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_STOP));
    EXPECT_TRUE(dispatcher.Join());
  }
  EXPECT_EQ(Rows(), (std::vector<Row>{R(2, 0, 1), Row{0x10, 2, 0, 0, 2, 20000},
                                      Row{0x10, 2, 0, 0, 3, 30000}, R(4, 7, 0), R(3, 7, 0),
                                      Row{0x10, 3, 7, 0, 2, 100}, R(1, 7, 0)}));
  // Nothing is pending once the run has ended.
  EXPECT_FALSE(object.ReportProgress(100));
}

// The common shape of a stop: the work ends on StopRequested, and the stop
// hook waits until it has. The flag is set before the hook runs, so the wait
// ends.
TEST_F(SvcRuntimeTest, StopHookMayWaitForTheWorkToReturn) {
  TQZSvcObj object("Svc");
  HookScript hooks;
  std::atomic<bool> returned{false};
  hooks.Execute = [&] {
    while (!object.StopRequested.load()) object.StopEvent->Wait();
    returned = true;
  };
  hooks.Stop = [&](bool&) {
    PollOrAbort([&] { return returned.load(); }, "OnExecute to return");
  };
  hooks.Shutdown = [] {};
  hooks.Attach(object);
  Add("Svc", object);
  RunUntilControl(SERVICE_CONTROL_STOP);
  EXPECT_EQ(Rows(), (std::vector<Row>{R(2, 0, 1), R(4, 7, 0), R(3, 7, 0), R(1, 7, 0)}));
  EXPECT_EQ(hooks.Calls(), (std::vector<std::string>{"OnExecute", "OnStop"}));
}

TEST_F(SvcRuntimeTest, FailedRunCarriesTheServiceExitCodeAndACleanOneNone) {
  for (bool refuse : {true, false}) {
    SCOPED_TRACE(refuse ? "start refused" : "clean stop");
    Scm.ForgetCalls();
    TQZSvcObj object("Svc");
    object.ExitCode = refuse ? 0 : 5;
    HookScript hooks;
    hooks.Start = [&](bool& ok) {
      object.ServiceExitCode = 42;
      ok = !refuse;
    };
    hooks.Attach(object);
    Add("Svc", object);
    if (refuse) {
      DispatcherThread dispatcher;
      EXPECT_TRUE(dispatcher.Join());
    } else {
      RunUntilControl(SERVICE_CONTROL_STOP);
    }
    const SERVICE_STATUS last = Scm.Last("SetServiceStatus").Status;
    EXPECT_EQ(last.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(last.dwWin32ExitCode, refuse ? DWORD{ERROR_SERVICE_SPECIFIC_ERROR} : DWORD{5});
    EXPECT_EQ(last.dwServiceSpecificExitCode, refuse ? DWORD{42} : DWORD{0});
    RemoveServiceObject("Svc");
    Added.clear();
  }
}

TEST_F(SvcRuntimeTest, InitRefusedOrThrowingReportsStoppedUnderThePassedName) {
  for (bool throws : {false, true}) {
    SCOPED_TRACE(throws ? "throws" : "refuses");
    Scm.ForgetCalls();
    TQZSvcObj object("Svc");
    HookScript hooks;
    hooks.Init = [throws](TQZStringList*, TQZHandlerFunction* handler) -> bool {
      *handler = FirstHandler;
      if (throws) throw std::runtime_error("init");
      return false;
    };
    hooks.Start = [](bool&) {};
    hooks.Attach(object);
    Add("Svc", object);
    Scm.StartPlan = {{"Alias"}};
    {
      DispatcherThread dispatcher;
      EXPECT_TRUE(dispatcher.Join());
    }
    EXPECT_EQ(Rows("Alias"), std::vector<Row>{Failed(R(1, 5, 0))});
    const auto registrations = Registrations();
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(registrations[0].second, &ServiceCtrlHandler);
    EXPECT_EQ(hooks.Calls(), std::vector<std::string>{"OnInit"});
    EXPECT_EQ(object.State.load(), QZ_SERVICE_STOPPED);
    EXPECT_EQ(object.StatusHandle, nullptr);
    EXPECT_TRUE(Scm.CallsOf("ReportEventA").empty());
    RemoveServiceObject("Svc");
  }
}

TEST_F(SvcRuntimeTest, HandlerFromInitIsRegisteredAndModuleHandlerStaysIdle) {
  TQZSvcObj object("Svc");
  HandlerTargets[0] = &object;
  HookScript hooks;
  std::vector<std::string> initArguments;
  hooks.Init = [&](TQZStringList* arguments, TQZHandlerFunction* handler) {
    EXPECT_EQ(*handler, nullptr);
    initArguments = Items(arguments);
    *handler = FirstHandler;
    return true;
  };
  hooks.Attach(object);
  Add("Svc", object);
  Scm.StartPlan = {{"Svc", "x"}};
  {
    DispatcherThread dispatcher;
    WaitRunning();
    ServiceCtrlHandler(SERVICE_CONTROL_INTERROGATE);
    ServiceCtrlHandler(SERVICE_CONTROL_STOP);
    EXPECT_EQ(Rows().size(), 2u);
    EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_STOP));
    EXPECT_TRUE(dispatcher.Join());
  }
  EXPECT_EQ(initArguments, (std::vector<std::string>{"Svc", "x"}));
  const auto registrations = Registrations();
  ASSERT_EQ(registrations.size(), 1u);
  EXPECT_EQ(registrations[0].second, &FirstHandler);
  EXPECT_EQ(Rows(), (std::vector<Row>{R(2, 0, 1), R(4, 7, 0), R(3, 7, 0), R(1, 7, 0)}));
}

TEST_F(SvcRuntimeTest, SecondObjectWantingTheModuleHandlerIsRefused) {
  TQZSvcObj first("A"), second("B");
  HookScript secondHooks;
  secondHooks.Start = [](bool&) {};
  secondHooks.Attach(second);
  Add("A", first);
  Add("B", second);
  Scm.StartPlan = {{"A"}};
  {
    DispatcherThread dispatcher;
    WaitRunning("A");
    Scm.StartService({"B"});
    WaitForReports(1, "B");
    EXPECT_TRUE(Scm.SendControl("A", SERVICE_CONTROL_STOP));
    EXPECT_TRUE(dispatcher.Join());
  }
  EXPECT_EQ(Rows("B"), std::vector<Row>{Failed(R(1, 5, 0))});
  EXPECT_TRUE(secondHooks.Calls().empty());
  EXPECT_EQ(second.State.load(), QZ_SERVICE_STOPPED);
  EXPECT_EQ(Rows("A"), (std::vector<Row>{R(2, 0, 1, 0x20), R(4, 7, 0, 0x20),
                                             R(3, 7, 0, 0x20), R(1, 7, 0, 0x20)}));
}

TEST_F(SvcRuntimeTest, TwoObjectsInOneProcessReportTheSharedType) {
  TQZSvcObj first("A"), second("B");
  second.Interactive = true;
  HandlerTargets[0] = &first;
  HandlerTargets[1] = &second;
  HookScript firstHooks, secondHooks;
  firstHooks.Init = [](TQZStringList*, TQZHandlerFunction* h) { *h = FirstHandler; return true; };
  secondHooks.Init = [](TQZStringList*, TQZHandlerFunction* h) { *h = SecondHandler; return true; };
  firstHooks.Attach(first);
  secondHooks.Attach(second);
  Add("B", second);
  Add("A", first);
  {
    DispatcherThread dispatcher;
    WaitRunning("A");
    WaitRunning("B");
    EXPECT_TRUE(Scm.SendControl("B", SERVICE_CONTROL_PAUSE));
    EXPECT_TRUE(Scm.SendControl("B", SERVICE_CONTROL_STOP));
    WaitForReports(6, "B");
    EXPECT_EQ(first.State.load(), QZ_SERVICE_RUNNING);
    EXPECT_TRUE(Scm.SendControl("A", SERVICE_CONTROL_STOP));
    EXPECT_TRUE(dispatcher.Join());
  }
  EXPECT_EQ(DispatchedNames(), (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(Rows("A"), (std::vector<Row>{R(2, 0, 1, 0x20), R(4, 7, 0, 0x20),
                                             R(3, 7, 0, 0x20), R(1, 7, 0, 0x20)}));
  EXPECT_EQ(Rows("B"), (std::vector<Row>{R(2, 0, 1, 0x120), R(4, 7, 0, 0x120),
                                             R(6, 7, 0, 0x120), R(7, 7, 0, 0x120),
                                             R(3, 7, 0, 0x120), R(1, 7, 0, 0x120)}));
}

TEST_F(SvcRuntimeTest, ServiceMainResolvesTheNameItIsGiven) {
  TQZSvcObj object("Svc");
  HookScript hooks;
  hooks.Init = [](TQZStringList*, TQZHandlerFunction*) { return true; };
  hooks.Attach(object);
  Add("Svc", object);

  char name[] = "Svc";
  char* argv[] = {name, nullptr};
  ServiceMain(0, argv);
  EXPECT_TRUE(Registrations().empty());
  EXPECT_TRUE(hooks.Calls().empty());

  // One entry: its object runs whatever name the SCM passes, registered
  // under that name.
  Scm.StartPlan = {{"Other", "x"}};
  RunUntilControl(SERVICE_CONTROL_STOP, "Other");
  EXPECT_EQ(Rows("Other"), (std::vector<Row>{R(2, 0, 1), R(4, 7, 0), R(3, 7, 0), R(1, 7, 0)}));
  EXPECT_EQ(Items(object.Arguments), (std::vector<std::string>{"Other", "x"}));

  // Two entries: an unknown name runs neither.
  Scm.ForgetCalls();
  TQZSvcObj second("Two");
  HookScript secondHooks;
  secondHooks.Init = hooks.Init;
  secondHooks.Attach(second);
  Add("Two", second);
  Scm.StartPlan = {{"Other"}};
  {
    DispatcherThread dispatcher;
    EXPECT_TRUE(dispatcher.Join());
  }
  EXPECT_EQ(Rows("Other"), std::vector<Row>{Failed(R(1, 5, 0))});
  ASSERT_EQ(Registrations().size(), 1u);
  EXPECT_EQ(Registrations()[0].second, &ServiceCtrlHandler);
  EXPECT_EQ(hooks.Calls().size(), 1u);
  EXPECT_TRUE(secondHooks.Calls().empty());
}

// SignalStop alone asks the work to end, which then shuts the service down.
TEST_F(SvcRuntimeTest, StopSignalledBeforeTheWaitEndsTheRunAtOnce) {
  TQZSvcObj object("Svc");
  HookScript hooks;
  Gate signalled;
  hooks.Start = [&](bool&) { signalled.Wait(); };
  hooks.Attach(object);
  Add("Svc", object);
  {
    DispatcherThread dispatcher;
    WaitForReports(1);
    object.SignalStop();
    signalled.Open();
    EXPECT_TRUE(dispatcher.Join());
  }
  EXPECT_EQ(Rows(), (std::vector<Row>{R(2, 0, 1), R(4, 7, 0), R(3, 7, 0), R(1, 7, 0)}));
  EXPECT_EQ(object.StopWaits(), 0u);
}

TEST_F(SvcRuntimeTest, StopEndsTheRunWithoutSpinningWhenTheEventIsUnusable) {
  TQZSvcObj object("Svc");
  Add("Svc", object);
  for (bool withoutObject : {false, true}) {
    SCOPED_TRACE(withoutObject ? "no event object" : "event without a handle");
    Scm.ForgetCalls();
    TQZEvent* event = object.StopEvent;
    void* handle = event->Handle;
    if (withoutObject) {
      object.StopEvent = nullptr;
    } else {
      event->Handle = nullptr;
    }
    const uint32_t waitsBefore = object.StopWaits();
    RunUntilControl(SERVICE_CONTROL_STOP);
    object.StopEvent = event;
    event->Handle = handle;
    EXPECT_EQ(Rows(), (std::vector<Row>{R(2, 0, 1), R(4, 7, 0), R(3, 7, 0), R(1, 7, 0)}));
    // A failing wait retried in a loop would count thousands.
    EXPECT_LE(object.StopWaits() - waitsBefore, 1u);
  }
}

// The work ends by itself while a hook runs: the SCM is told STOP_PENDING at
// once, and from there only STOPPED follows; the hook ends without a report
// of its own, and the shutdown waits for it.
TEST_F(SvcRuntimeTest, WorkEndingDuringAHookStopsOnlyAfterIt) {
  for (bool pause : {true, false}) {
    SCOPED_TRACE(pause ? "pause" : "user control");
    Scm.ForgetCalls();
    TQZSvcObj object("Svc");
    HookScript hooks;
    Gate executeGate, inHook, hookGate;
    hooks.Execute = [&] { executeGate.Wait(); };
    hooks.Shutdown = [&] {
      hooks.Enter();
      hooks.Leave();
    };
    auto slow = [&] {
      hooks.Enter();
      inHook.Open();
      hookGate.Wait();
      // Counts as the stop's progress once the stop is taken.
      object.ReportProgress(1000);
      hooks.Leave();
    };
    if (pause) {
      hooks.Pause = [&](bool&) { slow(); };
    } else {
      hooks.User = [&](uint32_t) { slow(); };
    }
    hooks.Attach(object);
    Add("Svc", object);
    {
      DispatcherThread dispatcher;
      WaitRunning();
      EXPECT_TRUE(Scm.SendControl("Svc", pause ? SERVICE_CONTROL_PAUSE : 200));
      inHook.Wait();
      executeGate.Open();
      WaitForReports(pause ? 4 : 3);
      EXPECT_EQ(std::get<1>(Rows().back()), DWORD{SERVICE_STOP_PENDING});
      hookGate.Open();
      EXPECT_TRUE(dispatcher.Join());
    }
    std::vector<Row> expected = {R(2, 0, 1), R(4, 7, 0)};
    if (pause) expected.push_back(R(6, 7, 0));
    expected.push_back(R(3, 7, 0));
    expected.push_back(Row{0x10, 3, 7, 0, 2, 1000});
    expected.push_back(R(1, 7, 0));
    EXPECT_EQ(Rows(), expected);
    EXPECT_EQ(hooks.Calls(), (std::vector<std::string>{"OnExecute", pause ? "OnPause" : "OnControl",
                                                       "OnShutdown"}));
    EXPECT_EQ(hooks.MostAtOnce(), 1);
    EXPECT_EQ(object.State.load(), uint32_t{QZ_SERVICE_STOPPED});
    RemoveServiceObject("Svc");
    Added.clear();
  }
}

// With a preshutdown timeout the service accepts preshutdown, which stops it
// as a shutdown does, announcing the timeout as its wait hint; the shutdown
// that follows only reports.
TEST_F(SvcRuntimeTest, PreshutdownRunsTheShutdownOnceWithItsTimeoutAsWaitHint) {
  TQZSvcObj object("Svc");
  object.PreshutdownTimeout = 20000;
  HookScript hooks;
  Gate entered, release;
  hooks.Execute = [&] {
    entered.Open();
    release.Wait();
  };
  hooks.Stop = [](bool&) {};
  hooks.Shutdown = [&] { EXPECT_TRUE(object.ReportProgress(15000)); };
  hooks.Attach(object);
  Add("Svc", object);
  {
    DispatcherThread dispatcher;
    entered.Wait();
    EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_PRESHUTDOWN));
    WaitForReports(4);  // the preshutdown's progress
    EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_SHUTDOWN));
    release.Open();
    EXPECT_TRUE(dispatcher.Join());
  }
  const uint32_t accepted = 7 | SERVICE_ACCEPT_PRESHUTDOWN;
  EXPECT_EQ(Rows(), (std::vector<Row>{R(2, 0, 1), R(4, accepted, 0),
                                      Row{0x10, 3, accepted, 0, 0, 20000},
                                      Row{0x10, 3, accepted, 0, 2, 15000},
                                      Row{0x10, 3, accepted, 0, 2, 15000}, R(1, accepted, 0)}));
  EXPECT_EQ(hooks.Calls(), (std::vector<std::string>{"OnExecute", "OnShutdown"}));
}

// The dispatcher returns once the stopped report is in, while the service
// thread is still inside the report: destroying the object then must wait
// until the run has left it.
TEST_F(SvcRuntimeTest, DestructionWaitsUntilTheRunHasLeftTheObject) {
  auto* object = new TQZSvcObj("Svc");
  object->OnStart = {[](void*, TQZSvcObj*, bool& ok) {
                       ok = false;
                       return true;
                     },
                     nullptr};
  Gate stoppedSeen;
  std::atomic<bool> reportReturned{false};
  Scm.During = [&](const PlatformCall& call) {
    if (call.Function != "SetServiceStatus" || call.Status.dwCurrentState != SERVICE_STOPPED) {
      return;
    }
    stoppedSeen.Open();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    reportReturned = true;
  };
  char name[] = "Svc";
  char* argv[] = {name};
  std::thread service([&] { object->Run(1, argv); });
  stoppedSeen.Wait();
  delete object;
  EXPECT_TRUE(reportReturned.load());
  service.join();
  Scm.During = nullptr;
}

TEST_F(SvcRuntimeTest, RunAgainStartsFreshAfterAnEarlierRun) {
  TQZSvcObj object("Svc");
  Add("Svc", object);
  Scm.Fail("RegisterServiceCtrlHandlerA", ERROR_ACCESS_DENIED);
  {
    DispatcherThread dispatcher;
    EXPECT_TRUE(dispatcher.Join());
  }
  EXPECT_EQ(object.LastError, uint32_t{ERROR_ACCESS_DENIED});
  Scm.Fail("RegisterServiceCtrlHandlerA", 0);
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    Scm.ForgetCalls();
    {
      DispatcherThread dispatcher;
      WaitRunning();
      // The stop of the earlier run must not end this one.
      EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_INTERROGATE));
      EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_STOP));
      EXPECT_TRUE(dispatcher.Join());
    }
    EXPECT_EQ(Rows(), (std::vector<Row>{R(2, 0, 1), R(4, 7, 0), R(4, 7, 0), R(3, 7, 0),
                                            R(1, 7, 0)}));
    EXPECT_EQ(object.LastError, 0u);
  }
}

TEST_F(SvcRuntimeTest, FailedHandlerRegistrationWritesOneErrorRecord) {
  TQZSvcObj object("Svc");
  HookScript hooks;
  hooks.Start = [](bool&) {};
  hooks.Attach(object);
  Add("Svc", object);
  Scm.Fail("RegisterServiceCtrlHandlerA", ERROR_ACCESS_DENIED);
  {
    DispatcherThread dispatcher;
    EXPECT_TRUE(dispatcher.Join());
  }
  EXPECT_TRUE(Rows().empty());
  EXPECT_TRUE(hooks.Calls().empty());
  EXPECT_EQ(object.LastError, uint32_t{ERROR_ACCESS_DENIED});
  EXPECT_EQ(object.StatusHandle, nullptr);
  const std::string text = ErrorText(ERROR_ACCESS_DENIED);
  EXPECT_FALSE(text.empty());
  const auto events = Scm.CallsOf("ReportEventA");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].Type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(events[0].Category, 0);
  EXPECT_EQ(events[0].EventId, 0u);
  EXPECT_EQ(events[0].Strings, std::vector<CallText>{text});
  EXPECT_EQ(events[0].DataSize, 0u);
  EXPECT_EQ(SourceNames(), std::vector<CallText>{"Svc"});
}

TEST_F(SvcRuntimeTest, FailedStatusReportIsLoggedAndTheOperationGoesOn) {
  TQZSvcObj object("Svc");
  Add("Svc", object);
  Scm.Fail("SetServiceStatus", ERROR_INVALID_HANDLE, 1);
  Scm.Fail("SetServiceStatus", ERROR_INVALID_HANDLE, 3);
  {
    DispatcherThread dispatcher;
    WaitRunning();
    EXPECT_EQ(object.State.load(), QZ_SERVICE_RUNNING);
    EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_STOP));
    EXPECT_TRUE(dispatcher.Join());
  }
  EXPECT_EQ(Rows(), (std::vector<Row>{R(2, 0, 1), R(4, 7, 0), R(3, 7, 0), R(1, 7, 0)}));
  const std::string text = ErrorText(ERROR_INVALID_HANDLE);
  const auto events = Scm.CallsOf("ReportEventA");
  ASSERT_EQ(events.size(), 2u);
  for (const PlatformCall& e : events) {
    EXPECT_EQ(e.Type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(e.Strings, std::vector<CallText>{text});
  }
  EXPECT_EQ(Scm.Count("RegisterEventSourceA"), 1);
  EXPECT_EQ(object.LastError, 0u);
}

TEST_F(SvcRuntimeTest, TableRefusesChangesAndSecondDispatcherWhileRunning) {
  TQZSvcObj object("Svc"), other("Other");
  HookScript hooks;
  hooks.Start = [](bool&) {};
  hooks.Attach(object);
  EXPECT_FALSE(AddServiceObject("", &object));
  EXPECT_FALSE(AddServiceObject("Null", nullptr));
  Add("Svc", object);
  EXPECT_FALSE(AddServiceObject("Svc", &other));
  EXPECT_EQ(ServiceTableCount(), 1);
  {
    DispatcherThread dispatcher;
    WaitRunning();
    EXPECT_FALSE(AddServiceObject("Late", &other));
    RemoveServiceObject("Svc");
    EXPECT_EQ(ServiceTableCount(), 1);
    EXPECT_FALSE(RunServiceDispatcher());
    EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_STOP));
    EXPECT_TRUE(dispatcher.Join());
  }
  EXPECT_EQ(Scm.Count("StartServiceCtrlDispatcherA"), 1);
  EXPECT_EQ(hooks.Calls(), std::vector<std::string>{"OnStart"});
  RemoveServiceObject("Svc");
  EXPECT_EQ(ServiceTableCount(), 0);
}

TEST_F(SvcRuntimeTest, DispatcherNeedsEntriesAndReportsTheScmFailure) {
  EXPECT_FALSE(RunServiceDispatcher());
  EXPECT_EQ(Scm.Count("StartServiceCtrlDispatcherA"), 0);

  TQZSvcObj a("b"), b("A"), c("c");
  Add("b", a);
  Add("A", b);
  Add("c", c);
  Scm.Fail("StartServiceCtrlDispatcherA", ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  EXPECT_FALSE(RunServiceDispatcher());
  EXPECT_EQ(Scm.Count("StartServiceCtrlDispatcherA"), 1);
  // The running flag is cleared again: the table accepts changes.
  RemoveServiceObject("c");
  EXPECT_EQ(ServiceTableCount(), 2);

  Scm.Fail("StartServiceCtrlDispatcherA", 0);
  Scm.StartPlan = {{"A"}};
  RunUntilControl(SERVICE_CONTROL_STOP, "A");
  EXPECT_EQ(DispatchedNames(), (std::vector<std::string>{"A", "b"}));
}

TEST_F(SvcRuntimeTest, SettersAndStateChangesActOnlyWhenAllowed) {
  TQZSvcObj object("Svc");
  object.SetState(QZ_SERVICE_RUNNING);
  object.ReportStatus();
  EXPECT_EQ(object.State.load(), QZ_SERVICE_STOPPED);
  HookScript hooks;
  hooks.Start = [&](bool&) {
    object.SetDisplayName("During");
    object.SetDescription("During");
    object.SetBinaryPath("During");
  };
  hooks.Attach(object);
  Add("Svc", object);
  RunUntilControl(SERVICE_CONTROL_STOP);
  EXPECT_EQ(Text(object.GetDisplayName()), "Svc");
  EXPECT_EQ(Text(object.GetDescription()), "");
  EXPECT_NE(Text(object.BinaryPath), "During");
  object.SetDisplayName("After");
  object.SetDescription("After");
  object.SetBinaryPath("After");
  EXPECT_EQ(Text(object.GetDisplayName()), "After");
  EXPECT_EQ(Text(object.GetDescription()), "After");
  EXPECT_EQ(Text(object.BinaryPath), "After");
}

TEST_F(SvcRuntimeTest, RacingFirstRecordsInstallOneWriter) {
  // Each round races two first records; a second writer that stays
  // installed or is lost shows as an event source opened and never closed.
  const int rounds = 300;
  for (int round = 0; round < rounds; ++round) {
    {
      TQZSvcObj object("Svc");
      std::atomic<int> ready{0};
      auto write = [&] {
        // Spinning rather than blocking lets both threads leave together.
        ++ready;
        while (ready.load() < 2) {
        }
        object.LogEvent("text", EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
      };
      std::thread one(write), two(write);
      one.join();
      two.join();
      ASSERT_NE(object.EventLog.load(), nullptr);
    }
    ASSERT_EQ(Scm.Count("RegisterEventSourceA"), Scm.Count("DeregisterEventSource")) << round;
  }
  const auto events = Scm.CallsOf("ReportEventA");
  EXPECT_EQ(events.size(), 2u * rounds);
  for (const PlatformCall& e : events) EXPECT_NE(e.Handle, nullptr);
}

// A stop taken while a slow pause hook runs is in the status the handler
// leaves, so the SCM refuses later controls instead of ending the process;
// the pause ends without reporting PAUSED, and the stop hook runs after it.
TEST_F(SvcRuntimeTest, StopDuringASlowPauseIsToldAtOnceAndRunsAfterThePause) {
  TQZSvcObj object("Svc");
  HookScript hooks;
  Gate inPause, pauseGate;
  hooks.Pause = [&](bool&) {
    hooks.Enter();
    inPause.Open();
    pauseGate.Wait();
    hooks.Leave();
  };
  hooks.Stop = [&](bool&) {
    hooks.Enter();
    hooks.Leave();
  };
  hooks.Attach(object);
  Add("Svc", object);
  {
    DispatcherThread dispatcher;
    WaitRunning();
    EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_PAUSE));
    inPause.Wait();
    EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_STOP));
    EXPECT_EQ(Rows().back(), R(3, 7, 0));
    // Further controls are answered, not taken.
    EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_CONTINUE));
    EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_STOP));
    EXPECT_EQ(hooks.Calls(), std::vector<std::string>{"OnPause"});
    pauseGate.Open();
    EXPECT_TRUE(dispatcher.Join());
  }
  EXPECT_EQ(Rows(), (std::vector<Row>{R(2, 0, 1), R(4, 7, 0), R(6, 7, 0), R(3, 7, 0), R(3, 7, 1),
                                      R(3, 7, 1), R(1, 7, 0)}));
  EXPECT_EQ(hooks.Calls(), (std::vector<std::string>{"OnPause", "OnStop"}));
  EXPECT_EQ(hooks.MostAtOnce(), 1);
}

// Controls that come while a hook runs are told their pending states at
// once and are carried out afterwards, each exactly once, in the order they
// came; an empty slot's control waits its turn too.
TEST_F(SvcRuntimeTest, ControlsDuringAHookAreToldTheirPendingStateAndRunInOrder) {
  TQZSvcObj object("Svc");
  HookScript hooks;
  Gate inFirst, firstGate;
  std::vector<uint32_t> codes;
  hooks.User = [&](uint32_t code) {
    hooks.Enter();
    if (codes.empty()) {
      inFirst.Open();
      firstGate.Wait();
    }
    codes.push_back(code);
    hooks.Leave();
  };
  hooks.Pause = [&](bool&) {
    hooks.Enter();
    hooks.Leave();
  };
  hooks.Attach(object);
  Add("Svc", object);
  std::vector<uint32_t> sent;
  {
    DispatcherThread dispatcher;
    WaitRunning();
    EXPECT_TRUE(Scm.SendControl("Svc", 128));
    sent.push_back(128);
    inFirst.Wait();
    EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_PAUSE));
    EXPECT_EQ(Rows().back(), R(6, 7, 0));
    // Far more than any fixed queue would hold.
    for (uint32_t code = 129; code < 229; ++code) {
      EXPECT_TRUE(Scm.SendControl("Svc", code));
      sent.push_back(code);
    }
    // OnContinue is empty, yet the continue waits behind the hooks.
    EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_CONTINUE));
    EXPECT_EQ(Rows().back(), R(5, 7, 0));
    EXPECT_TRUE(Scm.SendControl("Svc", 255));
    sent.push_back(255);
    firstGate.Open();
    WaitSettled();
    EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_STOP));
    EXPECT_TRUE(dispatcher.Join());
  }
  EXPECT_EQ(codes, sent);
  EXPECT_EQ(Rows(), (std::vector<Row>{R(2, 0, 1), R(4, 7, 0), R(6, 7, 0), R(5, 7, 0), R(4, 7, 0),
                                      R(3, 7, 0), R(1, 7, 0)}));
  const std::vector<std::string> calls = hooks.Calls();
  ASSERT_EQ(calls.size(), 1u + sent.size());
  EXPECT_EQ(calls[1], "OnPause");
  EXPECT_EQ(hooks.MostAtOnce(), 1);
  // The running report after the continue came from the control thread.
  EXPECT_NE(Scm.CallsOf("SetServiceStatus")[4].ThreadId,
            Scm.Last("StartServiceCtrlDispatcherA").ThreadId);
}

// With nothing under way, a control whose slot is empty is carried out by
// the handler itself: both reports come from the dispatcher thread.
TEST_F(SvcRuntimeTest, EmptySlotControlWithNothingUnderWayCompletesInTheHandler) {
  TQZSvcObj object("Svc");
  Add("Svc", object);
  {
    DispatcherThread dispatcher;
    WaitRunning();
    EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_PAUSE));
    EXPECT_EQ(Rows().back(), R(7, 7, 0));
    EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_CONTINUE));
    EXPECT_EQ(Rows().back(), R(4, 7, 0));
    EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_STOP));
    EXPECT_TRUE(dispatcher.Join());
  }
  const DWORD dispatcherThread = Scm.Last("StartServiceCtrlDispatcherA").ThreadId;
  const std::vector<PlatformCall> reports = Scm.CallsOf("SetServiceStatus");
  ASSERT_EQ(reports.size(), 8u);
  for (size_t i = 2; i < 7; ++i) EXPECT_EQ(reports[i].ThreadId, dispatcherThread) << i;
}

// Only when no memory can be had for a control is it refused: the SCM is
// told the state as it is, and an error record says why. A stop needs no
// memory and is still taken.
TEST_F(SvcRuntimeTest, ControlWithoutMemoryIsRefusedTruthfullyAndLogged) {
  TQZSvcObj object("Svc");
  HookScript hooks;
  Gate inHook, hookGate;
  hooks.User = [&](uint32_t) {
    inHook.Open();
    hookGate.Wait();
  };
  hooks.Pause = [](bool&) {};
  hooks.Stop = [](bool&) {};
  hooks.Attach(object);
  Add("Svc", object);
  {
    DispatcherThread dispatcher;
    WaitRunning();
    EXPECT_TRUE(Scm.SendControl("Svc", 200));
    inHook.Wait();
    SetStepAllocationFailureForTesting([] { return true; });
    EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_PAUSE));
    EXPECT_TRUE(Scm.SendControl("Svc", 201));
    EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_STOP));
    SetStepAllocationFailureForTesting(nullptr);
    hookGate.Open();
    EXPECT_TRUE(dispatcher.Join());
  }
  EXPECT_EQ(Rows(), (std::vector<Row>{R(2, 0, 1), R(4, 7, 0), R(4, 7, 0), R(4, 7, 0), R(3, 7, 0),
                                      R(1, 7, 0)}));
  EXPECT_EQ(hooks.Calls(), (std::vector<std::string>{"OnControl", "OnStop"}));
  const auto events = Scm.CallsOf("ReportEventA");
  ASSERT_EQ(events.size(), 2u);
  for (const PlatformCall& e : events) {
    EXPECT_EQ(e.Type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(e.Strings, std::vector<CallText>{ErrorText(ERROR_NOT_ENOUGH_MEMORY)});
  }
}

// Without a control thread no control could be carried out, so the run does
// not start: it ends failed with a code of its own and an error record.
TEST_F(SvcRuntimeTest, ControlThreadThatCannotBeMadeFailsTheStart) {
  TQZSvcObj object("Svc");
  object.ServiceExitCode = 42;
  HookScript hooks;
  hooks.Start = [](bool&) {};
  hooks.Attach(object);
  Add("Svc", object);
  Scm.Fail("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
  {
    DispatcherThread dispatcher;
    EXPECT_TRUE(dispatcher.Join());
  }
  EXPECT_EQ(Rows(), std::vector<Row>{Failed(R(1, 7, 0))});
  EXPECT_EQ(Scm.Last("SetServiceStatus").Status.dwServiceSpecificExitCode,
            DWORD{QZ_EXIT_NO_CONTROL_THREAD});
  EXPECT_TRUE(hooks.Calls().empty());
  EXPECT_EQ(object.LastError, uint32_t{ERROR_NOT_ENOUGH_MEMORY});
  const auto events = Scm.CallsOf("ReportEventA");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].Strings, std::vector<CallText>{ErrorText(ERROR_NOT_ENOUGH_MEMORY)});
  EXPECT_EQ(object.State.load(), QZ_SERVICE_STOPPED);
}

// --- Report sink ----------------------------------------------------------------

// The reports a sink received, in the shape the SCM's are compared in.
struct SinkRecord {
  std::mutex Mutex;
  std::vector<Row> Rows;
  std::vector<uint32_t> ServiceExitCodes;
  static void Take(void* record, TQZSvcObj*, const TQZStatusReport& report) {
    SinkRecord* self = static_cast<SinkRecord*>(record);
    std::lock_guard<std::mutex> lock(self->Mutex);
    self->Rows.push_back(Row{report.ServiceType, report.State, report.ControlsAccepted,
                             report.Win32ExitCode, report.CheckPoint, report.WaitHint});
    self->ServiceExitCodes.push_back(report.ServiceExitCode);
  }
  std::vector<Row> Taken() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Rows;
  }
};

// A start with progress, a slow pause, a stop and a work that waits for it,
// run once under the SCM and once with its reports sent to a sink: the sink
// must be told exactly what the SCM is.
TEST_F(SvcRuntimeTest, ReportSinkIsToldWhatTheScmWouldBeAndTheScmNothing) {
  auto script = [](HookScript& hooks, TQZSvcObj& object) {
    hooks.Start = [&object](bool&) { object.ReportProgress(1500); };
    hooks.Pause = [&object](bool&) { object.ReportProgress(700); };
    hooks.Stop = [](bool&) {};
    hooks.Execute = [&object] {
      while (!object.StopRequested) object.StopEvent->Wait();
    };
    hooks.Attach(object);
  };
  auto waitFor = [](TQZSvcObj& object, uint32_t state) {
    PollOrAbort([&] { return object.State.load() == state; }, "a state");
  };

  std::vector<Row> scmRows;
  {
    TQZSvcObj object("Svc");
    HookScript hooks;
    script(hooks, object);
    Add("Svc", object);
    DispatcherThread dispatcher;
    WaitRunning();
    EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_PAUSE));
    waitFor(object, QZ_SERVICE_PAUSED);
    EXPECT_TRUE(Scm.SendControl("Svc", SERVICE_CONTROL_STOP));
    EXPECT_TRUE(dispatcher.Join());
    scmRows = Rows();
    RemoveServiceObject("Svc");
  }
  ASSERT_EQ(scmRows.size(), 8u);  // the progress reports included

  Scm.ForgetCalls();
  TQZSvcObj object("Svc");
  HookScript hooks;
  script(hooks, object);
  SinkRecord sink;
  object.ReportSink = {&SinkRecord::Take, &sink};
  char name[] = "Svc";
  char* argv[] = {name};
  std::thread run([&] { object.Run(1, argv); });
  waitFor(object, QZ_SERVICE_RUNNING);
  object.Control(SERVICE_CONTROL_PAUSE);
  waitFor(object, QZ_SERVICE_PAUSED);
  object.Control(SERVICE_CONTROL_STOP);
  run.join();
  EXPECT_EQ(sink.Taken(), scmRows);
  EXPECT_EQ(Scm.Count("RegisterServiceCtrlHandlerA"), 0);
  EXPECT_EQ(Scm.Count("SetServiceStatus"), 0);
  EXPECT_EQ(hooks.Calls(),
            (std::vector<std::string>{"OnStart", "OnExecute", "OnPause", "OnStop"}));
}

TEST_F(SvcRuntimeTest, ReportSinkIsToldOfARefusedRunAndNoHandlerIsRegistered) {
  for (bool initRefuses : {true, false}) {
    SCOPED_TRACE(initRefuses ? "init refuses" : "start refuses");
    Scm.ForgetCalls();
    TQZSvcObj object("Svc");
    object.ServiceExitCode = 9;
    HookScript hooks;
    hooks.Init = [initRefuses](TQZStringList*, TQZHandlerFunction*) { return !initRefuses; };
    hooks.Start = [](bool& ok) { ok = false; };
    hooks.Attach(object);
    SinkRecord sink;
    object.ReportSink = {&SinkRecord::Take, &sink};
    object.Run(0, nullptr);
    const std::vector<Row> expected =
        initRefuses ? std::vector<Row>{Failed(R(1, 5, 0))}
                    : std::vector<Row>{R(2, 0, 1), Failed(R(1, 7, 0))};
    EXPECT_EQ(sink.Taken(), expected);
    EXPECT_EQ(sink.ServiceExitCodes.back(), 9u);
    EXPECT_EQ(Scm.Count("RegisterServiceCtrlHandlerA"), 0);
    EXPECT_EQ(Scm.Count("SetServiceStatus"), 0);
  }
}

TEST(TQZSvcObjTest, NewObjectIsStoppedWithDefinitionDefaults) {
  TQZSvcObj object("My Svc");
  EXPECT_EQ(Text(object.GetServiceName()), "My Svc");
  EXPECT_EQ(Text(object.GetDisplayName()), "My Svc");
  EXPECT_EQ(object.GetDescription().Length(), 0);
  const std::string file = Text(ModuleFileName);
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(Text(object.BinaryPath),
            ContainsBlank(ModuleFileName) ? '"' + file + '"' : file);
  EXPECT_EQ(object.State.load(), QZ_SERVICE_STOPPED);
  EXPECT_EQ(object.PrevState.load(), QZ_SERVICE_START_PENDING);
  EXPECT_NE(object.StopEvent->Handle, nullptr);
  EXPECT_EQ(object.Arguments->Count(), 0);
  EXPECT_TRUE(object.Dependencies->Sorted());
  EXPECT_FALSE(object.Dependencies->Duplicates());
  EXPECT_TRUE(object.Dependencies->CaseSensitive());
  EXPECT_EQ(object.OnInit.Function, nullptr);
  EXPECT_EQ(object.OnShutdown.Function, nullptr);
}

TEST(TQZSvcObjTest, ComposedTypeAndAcceptedControls) {
  const uint32_t types[][4] = {
      {0x10, 0, 0, 0x10}, {0x10, 1, 0, 0x110}, {0x10, 0, 1, 0x20}, {0x30, 0, 0, 0x10},
      {0x01, 1, 1, 0x01}, {0x20, 1, 0, 0x110}, {0x02, 0, 1, 0x02}, {0x130, 0, 1, 0x120}};
  for (const auto& t : types) {
    EXPECT_EQ(ComposeServiceType(t[0], t[1] != 0, t[2] != 0), t[3]) << t[0] << t[1] << t[2];
  }
  EXPECT_EQ(ComposeControlsAccepted(true, true), 7u);
  EXPECT_EQ(ComposeControlsAccepted(true, false), 5u);
  EXPECT_EQ(ComposeControlsAccepted(false, true), 6u);
  EXPECT_EQ(ComposeControlsAccepted(false, false), 4u);
  EXPECT_EQ(ComposeControlsAccepted(false, false, true), 0x104u);
}

}  // namespace
