// Unit tests of the application object: dispatch, help, console mode, the
// service mode and the hook adapters, with a fake service control manager
// behind the Win32 call table and standard input replaced by a pipe.
#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/lists.h"
#include "foundation/string.h"
#include "foundation/win32.h"
#include "service/console.h"
#include "service/svc_app.h"
#include "service/svc_module.h"
#include "service/svc_obj.h"
#include "tests/service/fake_platform.h"
#include "tests/service/scoped_stdin.h"
#include "tests/service/watchdog.h"

using namespace qzsvc;

namespace {

// The first bytes of s, as many as expected has.
std::string Head(const std::string& s, const std::string& expected) {
  return s.substr(0, expected.size());
}

// One listed line: the indent, the switch padded to width, the description.
std::string ClauseLine(const std::string& text, size_t width,
                       const std::string& description) {
  return "  " + text + std::string(width - text.size(), ' ') + description +
         "\n";
}

std::string Captured(const std::function<void()>& run) {
  testing::internal::CaptureStdout();
  run();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// What the embedding program's callbacks saw, in order.
struct CallbackLog {
  std::mutex Lock;
  std::vector<std::string> Events;
  std::vector<std::string> StartArguments;
  bool StartResult = true;
  void Add(const std::string& event) {
    std::lock_guard<std::mutex> guard(Lock);
    Events.push_back(event);
  }
};
CallbackLog* Callbacks = nullptr;

bool RecordStart(TQZStringList* arguments, bool asService) {
  Callbacks->StartArguments = Items(arguments);
  Callbacks->Add(asService ? "start service" : "start console");
  return Callbacks->StartResult;
}
void RecordStop(bool asService) {
  Callbacks->Add(asService ? "stop service" : "stop console");
}
void RecordConsoleRun(TQZStringList* arguments) {
  Callbacks->Add("console run " + std::to_string(Items(arguments).size()));
}

// The control manager calls that matter to the application, as text.
std::vector<std::string> Summary(const std::vector<PlatformCall>& calls) {
  std::vector<std::string> lines;
  for (const PlatformCall& call : calls) {
    const std::string name = TextOrNull(call.Name);
    if (call.Function == "OpenServiceA") {
      lines.push_back("open " + name + (call.Access == SERVICE_ALL_ACCESS ? " full" : " read"));
    } else if (call.Function == "CreateServiceA") {
      lines.push_back("create " + name);
    } else if (call.Function == "StartServiceA") {
      std::string line = "start";
      for (const CallText& argument : call.Strings.value_or(std::vector<CallText>{})) {
        line += " " + TextOrNull(argument);
      }
      lines.push_back(line);
    } else if (call.Function == "ControlService") {
      lines.push_back("control " + std::to_string(call.Control));
    } else if (call.Function == "DeleteService") {
      lines.push_back("delete");
    } else if (call.Function == "StartServiceCtrlDispatcherA") {
      lines.push_back("dispatch " + (call.Entries.empty() ? std::string("<none>")
                                                           : TextOrNull(call.Entries[0])));
    }
  }
  return lines;
}

class TQZSvcAppTest : public testing::Test {
 protected:
  TQZSvcAppTest() : App("TestSvc", "Service demo", "Test TQZSvcApp demo") {
    Callbacks = &Log;
    // A process started from a console: there is no control manager.
    Fake.Fail("StartServiceCtrlDispatcherA", ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    App.OnStart = RecordStart;
    App.OnStop = RecordStop;
  }
  ~TQZSvcAppTest() override { Callbacks = nullptr; }

  // Runs Main with the program path followed by the given arguments.
  std::string RunMain(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "svcdemo.exe");
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return Captured(
        [&] { App.Main(static_cast<int>(arguments.size()), argv.data()); });
  }
  std::vector<std::string> Calls() const { return Summary(Fake.Calls()); }

  CallbackLog Log;
  FakePlatform Fake;
  TQZSvcApp App;
};

const char FixedClause[] =
    "  /? or -help               display help information\n"
    "  /service                  run service application\n"
    "  -debug                    run console application\n"
    "  -install                  install service\n"
    "  -uninstall or -remove     uninstall service\n"
    "  -start [parameters]       start service\n"
    "  -stop                     stop service\n"
    "  -pause                    pause service\n"
    "  -continue                 continue service\n";

const char DebugRun[] =
    "Test TQZSvcApp demo\n\n"
    ">>>>> Service demo starts success!\n\n"
    "Press Ctrl+C stop application.\n";

// --- Dispatch ---------------------------------------------------------------

TEST_F(TQZSvcAppTest, EveryBuiltInSwitchIsMatchedWhateverItsLetterCase) {
  struct Case {
    const char* Switch;
    std::vector<std::string> Calls;
    const char* FirstLine;
  };
  const Case cases[] = {
      {"/?", {}, "Test TQZSvcApp demo\n\nswitch clause:\n"},
      {"-HeLP", {}, "Test TQZSvcApp demo\n\nswitch clause:\n"},
      {"-DEBUG", {}, DebugRun},
      {"/Service", {"dispatch TestSvc"}, ""},
      {"-Install", {"create TestSvc"}, "install service <TestSvc> success!\n"},
      {"-UNINSTALL", {"open TestSvc full", "delete"},
       "uninstall service <TestSvc> success!\n"},
      {"-ReMoVe", {"open TestSvc full", "delete"},
       "uninstall service <TestSvc> success!\n"},
      {"-START", {"open TestSvc read", "start"},
       "start service <TestSvc> success!\n"},
      {"-sTop", {"open TestSvc read", "control 1"},
       "stop service <TestSvc> success!\n"},
      {"-PAUSE", {"open TestSvc read", "control 2"},
       "pause service <TestSvc> success!\n"},
      {"-Continue", {"open TestSvc read", "control 3"},
       "continue service <TestSvc> success!\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Switch);
    Fake.ForgetCalls();
    ScopedStdin input("\x03");
    const std::string out = RunMain({c.Switch});
    EXPECT_EQ(Calls(), c.Calls);
    EXPECT_EQ(Head(out, c.FirstLine), c.FirstLine);
    if (c.FirstLine[0] == '\0') {
      EXPECT_EQ(out, "");
    }
  }
}

TEST_F(TQZSvcAppTest, RemoveDoesExactlyWhatUninstallDoes) {
  const std::string uninstall = RunMain({"-uninstall"});
  const std::vector<std::string> uninstallCalls = Calls();
  Fake.ForgetCalls();
  EXPECT_EQ(RunMain({"-remove"}), uninstall);
  EXPECT_EQ(Calls(), uninstallCalls);
}

TEST_F(TQZSvcAppTest, StartHandsOnlyTheArgumentsAfterTheSwitch) {
  RunMain({"-start", "a", "b"});
  EXPECT_EQ(Calls(),
            (std::vector<std::string>{"open TestSvc read", "start a b"}));
}

TEST_F(TQZSvcAppTest, SwitchNotInTheTableShowsHelpWithTheErrorLine) {
  // The whole text must match: a prefix or an extension is another switch.
  for (const char* unknown : {"-x", "-hel", "-helpx", "help"}) {
    SCOPED_TRACE(unknown);
    EXPECT_EQ(RunMain({unknown}),
              std::string("Test TQZSvcApp demo\nerror: switch <") + unknown +
                  "> is nonsupport!\n\nswitch clause:\n" + FixedClause);
  }
  EXPECT_TRUE(Calls().empty());
  EXPECT_TRUE(Log.Events.empty());
}

TEST_F(TQZSvcAppTest, NoArgumentRunsTheConsoleModeWhileACodeTwoSwitchExists) {
  ScopedStdin input("\x03");
  EXPECT_EQ(RunMain({}), DebugRun);
  EXPECT_EQ(Log.Events,
            (std::vector<std::string>{"start console", "stop console"}));
  EXPECT_TRUE(Calls().empty());

  // Without a program path either.
  Log.Events.clear();
  ScopedStdin again("\x03");
  Captured([&] { App.Main(0, nullptr); });
  EXPECT_EQ(Log.Events,
            (std::vector<std::string>{"start console", "stop console"}));
}

TEST_F(TQZSvcAppTest, NoArgumentRunsTheServiceModeWithoutACodeTwoSwitch) {
  App.Switches->Remove("/SERVICE");
  ASSERT_EQ(App.GetServiceSwitch().Length(), 0);
  ScopedStdin input("\x03");
  EXPECT_EQ(RunMain({}), "");
  EXPECT_EQ(Calls(), (std::vector<std::string>{"dispatch TestSvc"}));
  EXPECT_TRUE(Log.Events.empty());

  // Another switch with code 2 takes its place.
  App.Switches->Add("-svc", 2);
  EXPECT_STREQ(App.GetServiceSwitch().Text(), "-svc");
}

struct UserCall {
  int Code = 0;
  int Argc = 0;
  char** Argv = nullptr;
  int Calls = 0;
};
UserCall LastUserCall;
void RecordUser(int code, int argc, char** argv) {
  LastUserCall = {code, argc, argv, LastUserCall.Calls + 1};
}

TEST_F(TQZSvcAppTest, UserSwitchesReachOnUserWithTheirCodeAndTheCommandLine) {
  App.OnUser = RecordUser;
  App.Switches->Add("-Custom", 9);
  // A negative code is outside 0..8 once compared as unsigned.
  App.Switches->Add("-negative", static_cast<uint32_t>(-2));

  char program[] = "svcdemo.exe", custom[] = "-CUSTOM", extra[] = "x";
  char* argv[] = {program, custom, extra, nullptr};
  LastUserCall = {};
  Captured([&] { App.Main(3, argv); });
  EXPECT_EQ(LastUserCall.Calls, 1);
  EXPECT_EQ(LastUserCall.Code, 9);
  EXPECT_EQ(LastUserCall.Argc, 3);
  EXPECT_EQ(LastUserCall.Argv, argv);

  char negative[] = "-negative";
  argv[1] = negative;
  Captured([&] { App.Main(2, argv); });
  EXPECT_EQ(LastUserCall.Calls, 2);
  EXPECT_EQ(LastUserCall.Code, -2);
  EXPECT_TRUE(Calls().empty());
}

TEST_F(TQZSvcAppTest, ResetSwitchesRestoresTheBuiltInTable) {
  App.Switches->Clear();
  App.SwitchDescriptions->Clear();
  App.Switches->Add("-only", 0);
  App.ResetSwitches();
  EXPECT_EQ(App.Switches->Count(), 11);
  EXPECT_EQ(App.Switches->Find("-only"), -1);
  EXPECT_STREQ(App.SwitchDescriptions->GetText(8).Text(), "continue service");
  EXPECT_EQ(RunMain({"-help"}),
            std::string("Test TQZSvcApp demo\n\nswitch clause:\n") +
                FixedClause);
}

// --- Help -------------------------------------------------------------------

TEST_F(TQZSvcAppTest, ListedSwitchesStandSortedWithDescriptionsInOneColumn) {
  App.ListSwitches = true;
  const char* const expected[][2] = {
      {"-continue", "continue service"}, {"-debug", "run console application"},
      {"-help", "display help information"}, {"-install", "install service"},
      {"-pause", "pause service"},       {"-remove", "uninstall service"},
      {"-start", "start service"},       {"-stop", "stop service"},
      {"-uninstall", "uninstall service"},
      {"/?", "display help information"},
      {"/service", "run service application"},
  };
  // The longest switch, "-uninstall", sets the column at 2 + 10 + 5.
  std::string clause;
  for (const auto& line : expected) clause += ClauseLine(line[0], 15, line[1]);
  EXPECT_EQ(Text(App.GetSwitchClause()), clause);
  EXPECT_EQ(RunMain({"/?"}),
            "Test TQZSvcApp demo\n\nswitch clause:\n" + clause);
}

TEST_F(TQZSvcAppTest, ListedUserSwitchWithoutDescriptionShowsItsCode) {
  App.ListSwitches = true;
  App.Switches->Add("-averylongswitch", 9);
  App.Switches->Add("-described", 10);
  App.SwitchDescriptions->Add(10, "has a text");
  const std::string clause = Text(App.GetSwitchClause());
  // The longest switch (16 bytes) sets the column at 2 + 16 + 5.
  for (const std::string& line :
       {ClauseLine("-averylongswitch", 21, "user-defined switch(9)"),
        ClauseLine("-described", 21, "has a text"),
        ClauseLine("-continue", 21, "continue service")}) {
    EXPECT_NE(clause.find(line), std::string::npos) << line;
  }
}

TEST_F(TQZSvcAppTest, StatusAndControlSwitchesExistOnlyWhenTurnedOn) {
  EXPECT_EQ(Head(RunMain({"-status"}), "Test TQZSvcApp demo\nerror: switch <-status>"),
            "Test TQZSvcApp demo\nerror: switch <-status>");
  EXPECT_EQ(App.Switches->Find("-control"), -1);

  App.StatusSwitch = true;
  App.ControlSwitch = true;
  EXPECT_EQ(RunMain({"-help"}),
            std::string("Test TQZSvcApp demo\n\nswitch clause:\n") + FixedClause +
                "  -status                   show service status\n"
                "  -control <code>           send a user-defined control (128-255)\n");
  App.ListSwitches = true;
  const std::string clause = Text(App.GetSwitchClause());
  for (const std::string& line :
       {ClauseLine("-status", 15, "show service status"),
        ClauseLine("-control", 15, "send a user-defined control (128-255)")}) {
    EXPECT_NE(clause.find(line), std::string::npos) << line;
  }
  // Both stay once in the table, however often it is shown or reset.
  App.ResetSwitches();
  RunMain({"-help"});
  EXPECT_EQ(App.Switches->Count(), 13);
  // -status goes to the control manager, not to OnUser.
  Fake.Fail("OpenServiceA", ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(Head(RunMain({"-STATUS"}), "status service <TestSvc> failure! reason(1060)"),
            "status service <TestSvc> failure! reason(1060)");
}

TEST_F(TQZSvcAppTest, EmptySwitchTableListsNoClause) {
  App.ListSwitches = true;
  App.Switches->Clear();
  EXPECT_EQ(RunMain({"-help"}),
            "Test TQZSvcApp demo\nerror: switch <-help> is nonsupport!\n");
}

TEST_F(TQZSvcAppTest, TitleFallsBackToDisplayNameThenServiceName) {
  EXPECT_STREQ(App.GetTitle().Text(), "Test TQZSvcApp demo");
  App.Service->SetDescription("");
  EXPECT_STREQ(App.GetTitle().Text(), "Service demo");
  App.Service->SetDisplayName("");
  EXPECT_STREQ(App.GetTitle().Text(), "TestSvc");
  EXPECT_EQ(Head(RunMain({"-x"}), "TestSvc\nerror"), "TestSvc\nerror");
}

TEST_F(TQZSvcAppTest, FormatDirectivesInTextsArePrintedAsTheyStand) {
  TQZSvcApp app("%s%n", "%n%s", "%s%n%s");
  app.ListSwitches = true;
  app.Switches->Add("%n%n", 9);
  const std::string help = Captured([&] { app.ShowHelp("%s%n", true); });
  const std::string expected =
      "%s%n%s\nerror: switch <%s%n> is nonsupport!\n\nswitch clause:\n";
  EXPECT_EQ(Head(help, expected), expected);
  EXPECT_NE(help.find(ClauseLine("%n%n", 15, "user-defined switch(9)")),
            std::string::npos);

  app.Service->SetDescription("");
  app.OnStart = RecordStart;
  ScopedStdin input("\x03");
  char program[] = "p", debug[] = "-debug";
  char* argv[] = {program, debug, nullptr};
  const std::string run = Captured([&] { app.Main(2, argv); });
  EXPECT_EQ(run,
            "%n%s\n\n>>>>> %n%s starts success!\n\n"
            "Press Ctrl+C stop application.\n");
}

// --- Console mode -------------------------------------------------------------

TEST_F(TQZSvcAppTest, DebugRunStartsWaitsForCtrlCAndStops) {
  ScopedStdin input("ab\x03rest");
  EXPECT_EQ(RunMain({"-debug", "p1"}), DebugRun);
  EXPECT_EQ(Log.Events,
            (std::vector<std::string>{"start console", "stop console"}));
  EXPECT_EQ(Log.StartArguments,
            (std::vector<std::string>{"svcdemo.exe", "-debug", "p1"}));
  EXPECT_EQ(Items(App.StartArgs), Log.StartArguments);
  // The input is read in blocks: what came with the Ctrl+C byte is taken.
  EXPECT_EQ(input.Unread(), "");
}

TEST_F(TQZSvcAppTest, DebugRunEndsAndStopsAtTheEndOfInput) {
  ScopedStdin input("no ctrl-c here");
  EXPECT_EQ(RunMain({"-debug"}), DebugRun);
  EXPECT_EQ(Log.Events,
            (std::vector<std::string>{"start console", "stop console"}));
}

TEST_F(TQZSvcAppTest, FailedStartWaitsForOneKeyAndDoesNotStop) {
  Log.StartResult = false;
  ScopedStdin input("xyz");
  EXPECT_EQ(RunMain({"-debug"}),
            "Test TQZSvcApp demo\n\n>>>>> Service demo starts failure!\n\n"
            "Press any key close.\n");
  EXPECT_EQ(Log.Events, (std::vector<std::string>{"start console"}));
  EXPECT_EQ(input.Unread(), "yz");

  // A missing OnStart is a failed start too; the end of input ends the wait.
  App.OnStart = nullptr;
  ScopedStdin empty("");
  EXPECT_EQ(RunMain({"-debug"}),
            "Test TQZSvcApp demo\n\n>>>>> Service demo starts failure!\n\n"
            "Press any key close.\n");
  EXPECT_EQ(Log.Events.size(), 1u);
}

TEST_F(TQZSvcAppTest, ConsoleRunCallbackReplacesTheCtrlCWait) {
  App.OnConsoleRun = RecordConsoleRun;
  ScopedStdin input("\x03untouched");
  EXPECT_EQ(RunMain({"-debug", "p1"}),
            "Test TQZSvcApp demo\n\n>>>>> Service demo starts success!\n\n");
  EXPECT_EQ(Log.Events, (std::vector<std::string>{
                            "start console", "console run 3", "stop console"}));
  EXPECT_EQ(input.Unread(), "\x03untouched");
}

// --- Console run of the service ------------------------------------------------

void WaitForStopWork(void*, TQZSvcObj* service) {
  Callbacks->Add("execute");
  while (!service->StopRequested) service->StopEvent->Wait();
}
void RecordPause(void*, TQZSvcObj*, bool&) { Callbacks->Add("pause"); }
void RecordContinue(void*, TQZSvcObj*, bool&) { Callbacks->Add("continue"); }
bool SlowRecordStart(TQZStringList* arguments, bool asService) {
  Sleep(300);
  return RecordStart(arguments, asService);
}

const char ServiceRunHead[] =
    "Test TQZSvcApp demo\n\nPress Ctrl+C to stop, P to pause, C to continue.\n";

class TQZSvcAppConsoleRunTest : public TQZSvcAppTest {
 protected:
  TQZSvcAppConsoleRunTest() {
    App.ConsoleRunsService = true;
    App.Service->OnExecute.Function = WaitForStopWork;
    App.Service->OnPause.Function = RecordPause;
    App.Service->OnContinue.Function = RecordContinue;
  }
  ~TQZSvcAppConsoleRunTest() override {
    EXPECT_EQ(Fake.RunningThreads(), 0);
    EXPECT_EQ(Fake.EscapedExceptions(), 0);
  }
  bool Logged(const std::string& event) {
    std::lock_guard<std::mutex> guard(Log.Lock);
    return std::find(Log.Events.begin(), Log.Events.end(), event) != Log.Events.end();
  }
  void WaitFor(uint32_t state, const char* event) {
    PollOrAbort([&] { return App.Service->State.load() == state && Logged(event); }, event);
  }
  // Main on a thread of its own; Typing runs meanwhile. A run that never
  // ends (a stop lost on its way) aborts the test run instead of hanging it.
  std::string RunMainWatched(const std::vector<std::string>& arguments,
                             const std::function<void()>& typing = [] {}) {
    std::atomic<bool> ended{false};
    std::string out;
    std::thread run([&] {
      out = RunMain(arguments);
      ended = true;
    });
    typing();
    PollOrAbort([&] { return ended.load(); }, "the console run to end");
    run.join();
    return out;
  }
};

TEST_F(TQZSvcAppConsoleRunTest, DebugWalksStartPauseContinueAndStopThroughTheSequence) {
  ScopedStdin input("", false);
  const std::string out = RunMainWatched({"-debug", "a", "b"}, [&] {
    WaitFor(QZ_SERVICE_RUNNING, "execute");
    input.Send("xp");
    WaitFor(QZ_SERVICE_PAUSED, "pause");
    input.Send("C");
    WaitFor(QZ_SERVICE_RUNNING, "continue");
    input.Send("\x03");
  });
  EXPECT_EQ(out, std::string(ServiceRunHead) +
                     "state: 2 START_PENDING\n"
                     "state: 4 RUNNING\n"
                     "state: 6 PAUSE_PENDING\n"
                     "state: 7 PAUSED\n"
                     "state: 5 CONTINUE_PENDING\n"
                     "state: 4 RUNNING\n"
                     "state: 3 STOP_PENDING\n"
                     "state: 1 STOPPED\n");
  // The callbacks run outside the SCM: asService is false.
  EXPECT_EQ(Log.Events, (std::vector<std::string>{"start console", "execute", "pause",
                                                  "continue", "stop console"}));
  // The shape the SCM hands over: the service name, then what follows the switch.
  EXPECT_EQ(Log.StartArguments, (std::vector<std::string>{"TestSvc", "a", "b"}));
  EXPECT_EQ(Items(App.StartArgs), Log.StartArguments);
  EXPECT_EQ(Fake.Count("RegisterServiceCtrlHandlerA"), 0);
  EXPECT_EQ(Fake.Count("SetServiceStatus"), 0);
  // The run's own thread and its control thread.
  EXPECT_EQ(Fake.Count("CreateThread"), 2);
  EXPECT_EQ(App.Service->State.load(), QZ_SERVICE_STOPPED);

  // Without the flag the console mode is as it was.
  App.ConsoleRunsService = false;
  Log.Events.clear();
  ScopedStdin again("\x03");
  EXPECT_EQ(RunMain({"-debug"}), DebugRun);
  EXPECT_EQ(Log.Events, (std::vector<std::string>{"start console", "stop console"}));
}

TEST_F(TQZSvcAppConsoleRunTest, StopAskedWhileStartingIsTakenOnceRunning) {
  // Before its running report the run takes no control, as under the SCM; a
  // stop lost there would leave the run going for ever.
  App.OnStart = SlowRecordStart;
  for (const char* input : {"\x03", ""}) {
    SCOPED_TRACE(input[0] == '\0' ? "end of input" : "Ctrl+C byte");
    Log.Events.clear();
    ScopedStdin stdinput(input, input[0] == '\0');
    EXPECT_EQ(RunMainWatched({"-debug"}), std::string(ServiceRunHead) +
                                       "state: 2 START_PENDING\n"
                                       "state: 4 RUNNING\n"
                                       "state: 3 STOP_PENDING\n"
                                       "state: 1 STOPPED\n");
    EXPECT_EQ(Log.Events,
              (std::vector<std::string>{"start console", "execute", "stop console"}));
    EXPECT_EQ(Log.StartArguments, std::vector<std::string>{"TestSvc"});
  }
}

TEST_F(TQZSvcAppConsoleRunTest, RefusedStartPrintsTheExitCodesAndEndsWithoutInput) {
  Log.StartResult = false;
  App.Service->ServiceExitCode = 3;
  ScopedStdin input("", false);
  EXPECT_EQ(RunMain({"-debug"}), std::string(ServiceRunHead) +
                                     "state: 2 START_PENDING\n"
                                     "state: 1 STOPPED\n"
                                     "exit code: 1066, service-specific 3\n");
  EXPECT_EQ(Log.Events, std::vector<std::string>{"start console"});
}

TEST_F(TQZSvcAppConsoleRunTest, RunThreadThatCannotBeMadeIsReportedAndNothingRuns) {
  Fake.Fail("CreateThread", ERROR_NOT_ENOUGH_MEMORY, 1);
  ScopedStdin input("", false);
  EXPECT_EQ(RunMain({"-debug"}), std::string(ServiceRunHead) +
                                     "run service failure! reason(8): " +
                                     Text(SystemErrorText(ERROR_NOT_ENOUGH_MEMORY)) + "\n");
  EXPECT_TRUE(Log.Events.empty());
  EXPECT_EQ(App.Service->State.load(), QZ_SERVICE_STOPPED);
}

// --- Service mode and adapters --------------------------------------------------

TEST_F(TQZSvcAppTest, ServiceRunCallsTheCallbacksThroughTheAdapters) {
  Fake.Fail("StartServiceCtrlDispatcherA", 0);
  Fake.StartPlan = {{"TestSvc", "from-scm"}};
  Fake.Controls = {SERVICE_CONTROL_STOP};
  EXPECT_EQ(RunMain({"/service"}), "");
  EXPECT_EQ(Fake.Last("RegisterServiceCtrlHandlerA").Handler, &TQZSvcApp::AppCtrlHandler);
  std::vector<DWORD> states;
  for (const PlatformCall& call : Fake.CallsOf("SetServiceStatus")) {
    states.push_back(call.Status.dwCurrentState);
  }
  EXPECT_EQ(states, (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING,
                                        SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  EXPECT_EQ(Log.Events,
            (std::vector<std::string>{"start service", "stop service"}));
  EXPECT_EQ(Log.StartArguments,
            (std::vector<std::string>{"TestSvc", "from-scm"}));
  EXPECT_EQ(ServiceTableCount(), 0);
}

struct UserControlLog {
  std::vector<uint32_t> Codes;
  std::vector<DWORD> Threads;
  DWORD StopThread = 0;
} UserControls;

TEST_F(TQZSvcAppTest, UserControlsReachOnControlOnTheControlThreadWithoutAReport) {
  Fake.Fail("StartServiceCtrlDispatcherA", 0);
  Fake.StartPlan = {{"TestSvc"}};
  // Codes outside 128 to 255 are not user controls and never reach it.
  Fake.Controls = {200, 127, 256, SERVICE_CONTROL_PAUSE, 128, 255, SERVICE_CONTROL_STOP};
  UserControls = {};
  App.OnControl = [](uint32_t code) {
    UserControls.Codes.push_back(code);
    UserControls.Threads.push_back(GetCurrentThreadId());
  };
  App.OnStop = [](bool) { UserControls.StopThread = GetCurrentThreadId(); };
  RunMain({"/service"});
  EXPECT_EQ(UserControls.Codes, (std::vector<uint32_t>{200, 128, 255}));
  std::vector<DWORD> states;
  DWORD mainThread = 0;
  for (const PlatformCall& call : Fake.CallsOf("SetServiceStatus")) {
    if (call.Status.dwCurrentState != SERVICE_PAUSED) states.push_back(call.Status.dwCurrentState);
    if (call.Status.dwCurrentState == SERVICE_RUNNING && mainThread == 0) {
      mainThread = call.ThreadId;
    }
  }
  // The pause reports no state of its own when the stop came before its
  // turn ended, so PAUSED is left out of the comparison.
  EXPECT_EQ(states, (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING,
                                        SERVICE_PAUSE_PENDING, SERVICE_STOP_PENDING,
                                        SERVICE_STOPPED}));
  // The control thread carries out every control's hook in arrival order.
  for (DWORD thread : UserControls.Threads) {
    EXPECT_EQ(thread, UserControls.StopThread);
    EXPECT_NE(thread, mainThread);
  }

  // Without OnControl the codes are ignored and nothing else changes.
  Fake.Reset();
  Fake.StartPlan = {{"TestSvc"}};
  Fake.Controls = {200, SERVICE_CONTROL_STOP};
  App.OnControl = nullptr;
  RunMain({"/service"});
  EXPECT_EQ(Fake.Count("SetServiceStatus"), 4);
  EXPECT_EQ(UserControls.Codes.size(), 3u);
}

TEST_F(TQZSvcAppTest, ServiceObjectIsPublishedOnlyWhileTheDispatcherRuns) {
  TQZSvcApp other("Other", "", "");
  TQZStringList arguments;
  TQZHandlerFunction handler = nullptr;
  EXPECT_FALSE(TQZSvcApp::AppOnInit(&App, App.Service, &arguments, &handler));

  bool ownAccepted = false, otherAccepted = true;
  int32_t tableDuringRun = 0;
  Fake.During = [&](const PlatformCall& call) {
    if (call.Function != "StartServiceCtrlDispatcherA") return;
    ownAccepted =
        TQZSvcApp::AppOnInit(&App, App.Service, &arguments, &handler);
    otherAccepted =
        TQZSvcApp::AppOnInit(&other, other.Service, &arguments, &handler);
    tableDuringRun = ServiceTableCount();
  };
  App.RunService();
  EXPECT_TRUE(ownAccepted);
  EXPECT_FALSE(otherAccepted);
  EXPECT_EQ(tableDuringRun, 1);
  EXPECT_NE(App.StartArgs, nullptr);

  EXPECT_EQ(ServiceTableCount(), 0);
  EXPECT_FALSE(TQZSvcApp::AppOnInit(&App, App.Service, &arguments, &handler));
  // No run is under way, so a control carries out nothing.
  TQZSvcApp::AppCtrlHandler(SERVICE_CONTROL_STOP);
  EXPECT_TRUE(Log.Events.empty());
}

TEST_F(TQZSvcAppTest, ServiceRunLeavesAnotherObjectsTableEntryInPlace) {
  TQZSvcObj stranger("TestSvc");
  ASSERT_TRUE(AddServiceObject("TestSvc", &stranger));
  App.RunService();
  EXPECT_EQ(ServiceTableCount(), 1);
  RemoveServiceObject("TestSvc");
  EXPECT_EQ(ServiceTableCount(), 0);
}

TEST_F(TQZSvcAppTest, InitAdapterCopiesTheArgumentsAndSuppliesTheHandler) {
  App.StartArgs = new TQZStringList();
  App.StartArgs->Add("stale", 0);
  TQZStringList arguments;
  arguments.Add("TestSvc", 0);
  arguments.Add("b", 7);
  arguments.Add("a", 0);
  arguments.SetSorted(true);
  TQZHandlerFunction handler = nullptr;
  TQZSvcApp::AppOnInit(&App, App.Service, &arguments, &handler);
  EXPECT_EQ(handler, &TQZSvcApp::AppCtrlHandler);
  // Items, data words and settings alike: the copy is sorted too.
  EXPECT_EQ(Items(App.StartArgs),
            (std::vector<std::string>{"a", "b", "TestSvc"}));
  EXPECT_TRUE(App.StartArgs->Sorted());
  EXPECT_EQ(App.StartArgs->GetData(1), 7u);
  // A copy: the caller's list may change afterwards.
  arguments.Clear();
  EXPECT_EQ(App.StartArgs->Count(), 3);
}

TEST_F(TQZSvcAppTest, StartAdapterRefusesWithoutASuccessfulOnStart) {
  bool ok = true;
  Log.StartResult = false;
  EXPECT_FALSE(TQZSvcApp::AppOnStart(&App, App.Service, ok));
  EXPECT_FALSE(ok);
  EXPECT_EQ(Log.Events, (std::vector<std::string>{"start service"}));

  Log.StartResult = true;
  ok = false;
  EXPECT_TRUE(TQZSvcApp::AppOnStart(&App, App.Service, ok));
  EXPECT_TRUE(ok);

  App.OnStart = nullptr;
  ok = true;
  EXPECT_FALSE(TQZSvcApp::AppOnStart(&App, App.Service, ok));
  EXPECT_FALSE(ok);
  EXPECT_EQ(Log.Events.size(), 2u);
}

TEST_F(TQZSvcAppTest, StopAndShutdownAdaptersStopWithoutTouchingOk) {
  for (bool entry : {true, false}) {
    bool ok = entry;
    TQZSvcApp::AppOnStop(&App, App.Service, ok);
    EXPECT_EQ(ok, entry);
  }
  TQZSvcApp::AppOnShutdown(&App, App.Service);
  EXPECT_EQ(Log.Events, (std::vector<std::string>{
                            "stop service", "stop service", "stop service"}));

  App.OnStop = nullptr;
  bool ok = true;
  TQZSvcApp::AppOnStop(&App, App.Service, ok);
  TQZSvcApp::AppOnShutdown(&App, App.Service);
  EXPECT_TRUE(ok);
  EXPECT_EQ(Log.Events.size(), 3u);
}

// --- Console waits ------------------------------------------------------------

// Ends a wait that the code under test failed to end, so that a fault fails
// the test instead of hanging it.
class Rescue {
 public:
  explicit Rescue(ScopedStdin& input) : Input(input) {
    Thread = std::thread([this] {
      if (WaitForSingleObject(Done, 60000) == WAIT_TIMEOUT) {
        Fired = true;
        Input.End();
      }
    });
  }
  ~Rescue() {
    SetEvent(Done);
    Thread.join();
    CloseHandle(Done);
  }
  std::atomic<bool> Fired{false};

 private:
  ScopedStdin& Input;
  HANDLE Done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread Thread;
};

TEST(TQZConsoleStopWaitTest, ControlEventEndsAWaitOnOpenInput) {
  for (DWORD event : {DWORD{CTRL_C_EVENT}, DWORD{CTRL_BREAK_EVENT}}) {
    ScopedStdin input("", false);
    bool taken = false;
    {
      TQZConsoleStopWait wait;
      Rescue rescue(input);
      std::thread handler([&] { taken = HandleConsoleControl(event); });
      wait.Wait();
      handler.join();
      EXPECT_FALSE(rescue.Fired);
    }
    EXPECT_TRUE(taken);
  }
}

// A wait stopped by a control event leaves its reader thread behind, still
// starting or blocked on the old input. Once the caller has closed that input,
// the thread must not read from whatever the next standard input is.
TEST(TQZConsoleStopWaitTest, ReaderLeftBehindNeverReadsTheNextInput) {
  for (int round = 0; round < 40; ++round) {
    {
      ScopedStdin input("", false);
      TQZConsoleStopWait wait;
      HandleConsoleControl(CTRL_C_EVENT);
      wait.Wait();
    }
    ScopedStdin next("\x03q");
    WaitForAnyKey();
    ASSERT_EQ(next.Unread(), "q") << "round " << round;
  }
}

TEST(TQZConsoleStopWaitTest, CloseEventIsHeldUntilTheStopHasRun) {
  ScopedStdin input("", false);
  std::mutex lock;
  std::vector<std::string> order;
  bool taken = false;
  TQZConsoleStopWait wait;
  Rescue rescue(input);
  std::thread handler([&] {
    taken = HandleConsoleControl(CTRL_CLOSE_EVENT);
    std::lock_guard<std::mutex> guard(lock);
    order.push_back("handler returned");
  });
  wait.Wait();
  {
    std::lock_guard<std::mutex> guard(lock);
    order.push_back("stop ran");
  }
  wait.Finish();
  handler.join();
  EXPECT_TRUE(taken);
  EXPECT_FALSE(rescue.Fired);
  EXPECT_EQ(order, (std::vector<std::string>{"stop ran", "handler returned"}));
}

TEST(TQZConsoleStopWaitTest, ControlEventsPassOnWhenNoWaitIsArmed) {
  EXPECT_FALSE(HandleConsoleControl(CTRL_C_EVENT));
  EXPECT_FALSE(HandleConsoleControl(CTRL_CLOSE_EVENT));
  {
    TQZConsoleStopWait wait;
  }
  EXPECT_FALSE(HandleConsoleControl(CTRL_C_EVENT));
}

TEST(TQZConsoleStopWaitTest, AnyKeyTakesExactlyOneByteOrReturnsAtTheEnd) {
  ScopedStdin input("\x03q");
  WaitForAnyKey();
  EXPECT_EQ(input.Unread(), "q");
  ScopedStdin empty("");
  WaitForAnyKey();
  EXPECT_EQ(empty.Unread(), "");
}

}  // namespace
