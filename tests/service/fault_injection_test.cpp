// Fault injection across the service layer: every Win32 call that a
// management command or a service run makes fails once, at each of its calls
// in turn, and the result line, the status reports, the event records, the
// handles left open and the process state afterwards are checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "foundation/lists.h"
#include "foundation/string.h"
#include "foundation/win32.h"
#include "service/svc_app.h"
#include "service/svc_module.h"
#include "service/svc_obj.h"
#include "tests/service/fake_platform.h"

using namespace qzsvc;

namespace {

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
      {"QueryServiceStatus", ERROR_INVALID_SERVICE_CONTROL},
      {"ChangeServiceConfig2A", ERROR_INVALID_LEVEL},
      {"CloseServiceHandle", ERROR_INVALID_HANDLE},
      {"StartServiceCtrlDispatcherA", ERROR_FAILED_SERVICE_CONTROLLER_CONNECT},
      {"RegisterServiceCtrlHandlerA", ERROR_INVALID_NAME},
      {"SetServiceStatus", ERROR_INVALID_DATA},
      {"CreateThread", ERROR_NOT_ENOUGH_MEMORY},
      {"RegisterEventSourceA", ERROR_ACCESS_DENIED},
      {"ReportEventA", ERROR_DISK_FULL},
      {"DeregisterEventSource", ERROR_INVALID_HANDLE},
      {"FindResourceA", ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"RegCreateKeyExA", ERROR_CANTWRITE},
      {"RegSetValueExA", ERROR_REGISTRY_IO_FAILED},
      {"RegDeleteKeyA", ERROR_KEY_DELETED},
      {"RegCloseKey", ERROR_INVALID_HANDLE},
      {"QueryServiceStatusEx", ERROR_INSUFFICIENT_BUFFER},
      {"ChangeServiceConfigA", ERROR_CIRCULAR_DEPENDENCY},
      {"ExpandEnvironmentStringsA", ERROR_ENVVAR_NOT_FOUND},
  };
  return codes;
}

DWORD InjectedCode(const std::string& function) { return InjectedCodes().at(function); }

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

// A report of an own-process service with no exit code and the usual wait hint.
StatusRow R(DWORD state, DWORD accepted, DWORD checkPoint) {
  return StatusRow{0x10, state, accepted, 0, checkPoint, 5000};
}

// The calls made so far, each by its function and number.
std::vector<CallId> CallIds(const FakePlatform& platform) {
  std::vector<CallId> ids;
  for (const PlatformCall& call : platform.Calls()) ids.push_back({call.Function, call.Nth});
  return ids;
}

// The calls that follow the given one in order.
std::vector<CallId> CallsAfter(const FakePlatform& platform, const CallId& call) {
  const std::vector<CallId> calls = CallIds(platform);
  auto at = std::find(calls.begin(), calls.end(), call);
  return at == calls.end() ? std::vector<CallId>{} : std::vector<CallId>(at + 1, calls.end());
}

// The event records that were written, not refused.
std::vector<PlatformCall> Records(const FakePlatform& platform) {
  std::vector<PlatformCall> written;
  for (const PlatformCall& call : platform.CallsOf("ReportEventA")) {
    if (call.Error == 0) written.push_back(call);
  }
  return written;
}

std::vector<std::string> SourceNames(const FakePlatform& platform) {
  std::vector<std::string> names;
  for (const PlatformCall& call : platform.CallsOf("RegisterEventSourceA")) {
    names.push_back(TextOrNull(call.Name));
  }
  return names;
}

bool OpenedAnyScmHandle(const FakePlatform& platform) {
  for (const FakeHandle& handle : platform.Handles()) {
    if (handle.Kind == HandleKind::Manager || handle.Kind == HandleKind::Service) return true;
  }
  return false;
}

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
  auto inject = [](FakePlatform& platform, const std::map<CallId, DWORD>& failing) {
    for (const auto& fault : failing) {
      platform.Fail(fault.first.Function, fault.second, fault.first.Nth);
    }
  };
  std::vector<CallId> baseline;
  {
    FakePlatform platform;
    inject(platform, background);
    run(platform);
    baseline = CallIds(platform);
  }
  int injected = 0;
  for (const CallId& call : baseline) {
    if (background.count(call) != 0) continue;
    SCOPED_TRACE(call.Name() + " fails");
    FakePlatform platform;
    inject(platform, background);
    platform.Fail(call.Function, InjectedCode(call.Function), call.Nth);
    run(platform);
    check(platform, call);
    ++injected;
  }
  TotalFaults += injected;
  return injected;
}

// The process state a finished run or command must leave: no entry in the
// service table, no published service object (an interrogation reaching the
// application's handler does nothing).
void ExpectSaneProcessState(TQZSvcApp& app, FakePlatform& platform) {
  EXPECT_EQ(ServiceTableCount(), 0);
  EXPECT_FALSE(TQZSvcApp::AppOnInit(&app, app.Service, nullptr, nullptr));
  const size_t calls = platform.Calls().size();
  TQZSvcApp::AppCtrlHandler(SERVICE_CONTROL_INTERROGATE);
  EXPECT_EQ(platform.Calls().size(), calls);
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

// A failure of these calls fails the command; the description, the read of
// the process id before a control and the closing of handles do not.
bool FailsTheCommand(const std::string& function) {
  return function == "ExpandEnvironmentStringsA" || function == "OpenSCManagerA" ||
         function == "OpenServiceA" ||
         function == "CreateServiceA" || function == "StartServiceA" ||
         function == "ControlService" || function == "DeleteService" ||
         function == "QueryServiceStatus";
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

    auto run = [&](FakePlatform& platform) {
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
      if (baseline.empty()) baseline = CallIds(platform);
    };
    auto check = [&](FakePlatform& platform, const CallId& fault) {
      const DWORD code = InjectedCode(fault.Function);
      const bool fatal = FailsTheCommand(fault.Function);
      EXPECT_EQ(output, fatal ? FailureLine(command.Verb, code) : SuccessLine(command.Verb));
      if (std::string(command.Verb) == "install") {
        EXPECT_EQ(lastError, fatal ? code : 0u);
      }
      if (fatal) {
        // Nothing but closing follows a failed step.
        for (const CallId& later : CallsAfter(platform, fault)) {
          EXPECT_EQ(later.Function, "CloseServiceHandle") << later.Name();
        }
      } else {
        EXPECT_EQ(CallIds(platform), baseline);
      }
      platform.ExpectEveryHandleClosedOnce();
      EXPECT_EQ(platform.BadHandleUses(), 0);
      EXPECT_TRUE(platform.Reports().empty());
      EXPECT_TRUE(SourceNames(platform).empty());
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

const std::vector<StatusRow> kLifeReports = {
    R(2, 0, 1), R(4, 7, 0), R(6, 7, 0), R(7, 7, 0), R(5, 7, 0),
    R(4, 7, 0), R(3, 7, 0), R(1, 7, 0)};

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

std::vector<std::string> SortedStrings(const std::vector<PlatformCall>& records) {
  std::vector<std::string> strings;
  for (const PlatformCall& r : records) {
    EXPECT_EQ(r.Type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(r.Category, 0);
    EXPECT_EQ(r.EventId, 0u);
    EXPECT_EQ(r.DataSize, 0u);
    const std::vector<CallText> texts = r.Strings.value_or(std::vector<CallText>{});
    EXPECT_EQ(texts.size(), 1u);
    if (!texts.empty()) strings.push_back(TextOrNull(texts[0]));
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
        {{"SetServiceStatus", 8}, ERROR_INVALID_HANDLE}}},
      {"handler registration refused",
       {{{"RegisterServiceCtrlHandlerA", 1}, ERROR_ACCESS_DENIED}}},
  };
  int faults = 0;
  for (const RunScenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.Name);
    std::string output;
    uint32_t lastError = 0, state = 0;
    int stops = 0;

    auto run = [&](FakePlatform& platform) {
      // No interrogate among them: sent without waiting for the one before,
      // it would answer whichever state the control thread has reached.
      platform.Controls = {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE,
                           SERVICE_CONTROL_STOP};
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
    auto check = [&](FakePlatform& platform, const CallId& fault) {
      std::map<CallId, DWORD> failing = scenario.Background;
      failing[fault] = InjectedCode(fault.Function);
      auto fails = [&](const char* function, int nth) {
        auto it = failing.find({function, nth});
        return it == failing.end() ? 0 : it->second;
      };
      EXPECT_EQ(output, "");
      EXPECT_EQ(platform.EscapedExceptions(), 0);
      EXPECT_EQ(state, QZ_SERVICE_STOPPED);

      std::vector<std::string> written;
      if (fails("StartServiceCtrlDispatcherA", 1) != 0) {
        EXPECT_EQ(CallIds(platform), std::vector<CallId>{fault});
        EXPECT_EQ(platform.ServiceMainsRun(), 0);
      } else if (const DWORD code = fails("RegisterServiceCtrlHandlerA", 1)) {
        EXPECT_TRUE(platform.Reports().empty());
        EXPECT_EQ(lastError, code);
        EXPECT_EQ(stops, 0);
        written.push_back(ErrorText(code));
      } else if (const DWORD code = fails("CreateThread", 1)) {
        // Without its control thread the run does not start.
        StatusRow failed = R(1, 7, 0);
        std::get<3>(failed) = ERROR_SERVICE_SPECIFIC_ERROR;
        EXPECT_EQ(platform.Reports(), std::vector<StatusRow>{failed});
        EXPECT_EQ(lastError, code);
        EXPECT_EQ(stops, 0);
        written.push_back(ErrorText(code));
        if (const DWORD reportCode = fails("SetServiceStatus", 1)) {
          written.push_back(ErrorText(reportCode));
        }
      } else {
        // A refused report changes nothing the SCM is told afterwards.
        EXPECT_EQ(platform.Reports(), kLifeReports);
        EXPECT_EQ(lastError, 0u);
        EXPECT_EQ(stops, 1);
        for (int i = 1; i <= static_cast<int>(kLifeReports.size()); ++i) {
          if (const DWORD code = fails("SetServiceStatus", i)) written.push_back(ErrorText(code));
        }
      }
      EXPECT_EQ(SortedStrings(Records(platform)), SurvivingRecords(written, failing));
      for (const std::string& source : SourceNames(platform)) EXPECT_EQ(source, "TestSvc");
      if (written.empty()) {
        EXPECT_TRUE(SourceNames(platform).empty());
      }
      platform.ExpectEveryHandleClosedOnce();
      EXPECT_EQ(platform.BadHandleUses(), 0);
      EXPECT_FALSE(OpenedAnyScmHandle(platform));
    };
    faults += InjectEachCall(scenario.Background, run, check);
  }
  // Dispatcher, registration, the control thread, nine reports; the event
  // log's three calls in both scenarios that write records.
  EXPECT_GE(faults, 12 + 9 + 4);
  std::printf("[  FAULTS  ] %d in the service run\n", faults);
}

TEST(FaultInjectionTest, FailingCallsOfAStoppedReportForAnUnknownNameAreNeitherRetriedNorLogged) {
  int faults = 0;
  std::vector<StatusRow> baselineReports;
  auto run = [&](FakePlatform& platform) {
    // With two entries an unknown name runs neither object.
    TQZSvcObj first("A"), second("B");
    ASSERT_TRUE(AddServiceObject("A", &first));
    ASSERT_TRUE(AddServiceObject("B", &second));
    platform.StartPlan = {{"Other"}};
    EXPECT_NO_THROW(RunServiceDispatcher());
    RemoveServiceObject("A");
    RemoveServiceObject("B");
    EXPECT_EQ(ServiceTableCount(), 0);
    EXPECT_EQ(first.State.load(), QZ_SERVICE_STOPPED);
    EXPECT_EQ(second.StatusHandle, nullptr);
    if (baselineReports.empty()) baselineReports = platform.Reports();
  };
  auto check = [&](FakePlatform& platform, const CallId& fault) {
    EXPECT_EQ(platform.EscapedExceptions(), 0);
    EXPECT_TRUE(SourceNames(platform).empty());
    EXPECT_TRUE(Records(platform).empty());
    if (fault.Function == "SetServiceStatus") {
      EXPECT_EQ(platform.Reports(), baselineReports);
    } else {
      EXPECT_TRUE(platform.Reports().empty());
    }
    // One attempt each; a failure is not retried.
    for (const CallId& call : CallIds(platform)) EXPECT_EQ(call.Nth, 1) << call.Name();
  };
  faults += InjectEachCall({}, run, check);
  StatusRow failed = R(1, 5, 0);
  std::get<3>(failed) = ERROR_SERVICE_SPECIFIC_ERROR;
  EXPECT_EQ(baselineReports, std::vector<StatusRow>{failed});
  EXPECT_EQ(faults, 3);
  std::printf("[  FAULTS  ] %d in the stopped report for an unknown name\n", faults);
}

}  // namespace
