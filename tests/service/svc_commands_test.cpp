// Unit tests of the management commands and of TQZSvcObj::Install, against a
// fake service control manager behind the Win32 call table.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/lists.h"
#include "foundation/process_info.h"
#include "foundation/string.h"
#include "service/svc_app.h"
#include "service/svc_obj.h"
#include "tests/service/fake_platform.h"
#include "tests/service/scoped_stdin.h"

namespace {

std::string FailureLine(const char* verb, const char* name, DWORD code) {
  return std::string(verb) + " service <" + name + "> failure! reason(" +
         std::to_string(static_cast<int32_t>(code)) + "): " + ErrorText(code) + "\n";
}

std::string SuccessLine(const char* verb, const char* name) {
  return std::string(verb) + " service <" + name + "> success!\n";
}

class FakeScmTest : public testing::Test {
 protected:
  void SetUp() override {
    SavedModuleFileName = ModuleFileName;
    ModuleFileName = "C:\\apps\\svc.exe";
  }
  void TearDown() override { ModuleFileName = SavedModuleFileName; }

  template <typename F>
  std::string Output(F run) {
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
  }
  // The calls that ask the system for something: all but closes and the looks
  // for a message table and at the environment.
  std::vector<std::string> Requests() const {
    std::vector<std::string> names;
    for (const PlatformCall& call : Fake.Calls()) {
      if (call.Function != "CloseServiceHandle" && call.Function != "RegCloseKey" &&
          call.Function != "FindResourceA" && call.Function != "ExpandEnvironmentStringsA") {
        names.push_back(call.Function);
      }
    }
    return names;
  }
  int Closes() const { return Fake.Count("CloseServiceHandle"); }
  // What "-start" without parameters prints.
  std::string StartOutput() {
    char prog[] = "svc.exe", sw[] = "-start";
    char* argv[] = {prog, sw, nullptr};
    return Output([&] { App.CmdStart(2, argv); });
  }
  PlatformCall Create() const { return Fake.Last("CreateServiceA"); }

  FakePlatform Fake;
  TQZString SavedModuleFileName;
  TQZSvcApp App{"QzSvc", "Qz display", "Qz description"};
};

class TQZSvcAppCommandsTest : public FakeScmTest {};
class TQZSvcObjInstallTest : public FakeScmTest {};

using Calls = std::vector<std::string>;

const DWORD ReadExecute = GENERIC_READ | GENERIC_EXECUTE;

struct ControlCase {
  const char* Verb;
  void (TQZSvcApp::*Command)();
  DWORD ManagerAccess;
  DWORD ServiceAccess;
  Calls Operations;  // after the two opens
  DWORD ControlCode;
};

// A control is sent after the service's process id is read, and followed
// until the state it leads to is reached.
const ControlCase ControlCases[] = {
    {"uninstall", &TQZSvcApp::CmdUninstall, SC_MANAGER_ALL_ACCESS,
     SERVICE_ALL_ACCESS, {"DeleteService"}, 0},
    {"stop", &TQZSvcApp::CmdStop, ReadExecute, ReadExecute,
     {"QueryServiceStatusEx", "ControlService", "QueryServiceStatus"}, SERVICE_CONTROL_STOP},
    {"pause", &TQZSvcApp::CmdPause, ReadExecute, ReadExecute,
     {"QueryServiceStatusEx", "ControlService", "QueryServiceStatus"}, SERVICE_CONTROL_PAUSE},
    {"continue", &TQZSvcApp::CmdContinue, ReadExecute, ReadExecute,
     {"QueryServiceStatusEx", "ControlService", "QueryServiceStatus"},
     SERVICE_CONTROL_CONTINUE},
};

TEST_F(TQZSvcAppCommandsTest, ControlCommandsOpenByServiceNameActOnceAndPrintSuccess) {
  for (const ControlCase& c : ControlCases) {
    SCOPED_TRACE(c.Verb);
    Fake.Reset();
    Fake.AnswerControlsWith(SERVICE_STOP_PENDING);
    EXPECT_EQ(SuccessLine(c.Verb, "QzSvc"), Output([&] { (App.*c.Command)(); }));
    Calls expected = {"OpenSCManagerA", "OpenServiceA"};
    expected.insert(expected.end(), c.Operations.begin(), c.Operations.end());
    EXPECT_EQ(expected, Requests());
    EXPECT_EQ("QzSvc", Fake.Last("OpenServiceA").Name);
    EXPECT_EQ(c.ManagerAccess, Fake.Last("OpenSCManagerA").Access);
    EXPECT_EQ(c.ServiceAccess, Fake.Last("OpenServiceA").Access);
    if (c.ControlCode != 0) {
      EXPECT_EQ(c.ControlCode, Fake.Last("ControlService").Control);
    }
    EXPECT_EQ(2, Closes());
  }
}

TEST_F(TQZSvcAppCommandsTest, FailedOpenPrintsItsOwnErrorAndSkipsTheOperation) {
  for (const ControlCase& c : ControlCases) {
    SCOPED_TRACE(c.Verb);
    Fake.Reset();
    Fake.Fail("OpenServiceA", ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(FailureLine(c.Verb, "QzSvc", ERROR_SERVICE_DOES_NOT_EXIST),
              Output([&] { (App.*c.Command)(); }));
    EXPECT_EQ((Calls{"OpenSCManagerA", "OpenServiceA"}), Requests());

    Fake.Reset();
    Fake.Fail("OpenSCManagerA", ERROR_ACCESS_DENIED);
    EXPECT_EQ(FailureLine(c.Verb, "QzSvc", ERROR_ACCESS_DENIED),
              Output([&] { (App.*c.Command)(); }));
    EXPECT_EQ((Calls{"OpenSCManagerA"}), Requests());
  }
}

TEST_F(TQZSvcAppCommandsTest, FailedOperationPrintsItsErrorCodeAndSystemText) {
  Fake.Fail("DeleteService", ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_EQ(FailureLine("uninstall", "QzSvc", ERROR_SERVICE_MARKED_FOR_DELETE),
            Output([&] { App.CmdUninstall(); }));
  Fake.Fail("ControlService", ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_EQ(FailureLine("stop", "QzSvc", ERROR_SERVICE_NOT_ACTIVE),
            Output([&] { App.CmdStop(); }));
  Fake.Fail("ControlService", ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_EQ(FailureLine("pause", "QzSvc", ERROR_SERVICE_CANNOT_ACCEPT_CTRL),
            Output([&] { App.CmdPause(); }));
  EXPECT_EQ(FailureLine("continue", "QzSvc", ERROR_SERVICE_CANNOT_ACCEPT_CTRL),
            Output([&] { App.CmdContinue(); }));
  Fake.Fail("StartServiceA", ERROR_SERVICE_DISABLED);
  char prog[] = "svc.exe", sw[] = "-start";
  char* argv[] = {prog, sw, nullptr};
  EXPECT_EQ(FailureLine("start", "QzSvc", ERROR_SERVICE_DISABLED),
            Output([&] { App.CmdStart(2, argv); }));
  // A code above 0x7FFFFFFF is shown as the signed number it stores.
  Fake.Fail("ControlService", 0x80070005);
  EXPECT_NE(std::string::npos,
            Output([&] { App.CmdStop(); }).find("reason(-2147024891): "));
}

TEST_F(TQZSvcAppCommandsTest, ControlRefusedByTheServiceFailsWith1061) {
  Fake.AnswerControlsWith(SERVICE_RUNNING);
  Fake.StatusAnswer = [](int, SERVICE_STATUS& s) { s.dwCurrentState = SERVICE_RUNNING; };
  EXPECT_EQ(FailureLine("stop", "QzSvc", ERROR_SERVICE_CANNOT_ACCEPT_CTRL),
            Output([&] { App.CmdStop(); }));
  Fake.StatusAnswer = nullptr;
  Fake.AnswerControlsWith(SERVICE_STOPPED);
  EXPECT_EQ(SuccessLine("stop", "QzSvc"), Output([&] { App.CmdStop(); }));
  // Accepted as pending, then back where it was.
  Fake.AnswerControlsWith(SERVICE_PAUSE_PENDING);
  Fake.StatusAnswer = [](int, SERVICE_STATUS& s) { s.dwCurrentState = SERVICE_RUNNING; };
  EXPECT_EQ(FailureLine("pause", "QzSvc", ERROR_SERVICE_CANNOT_ACCEPT_CTRL),
            Output([&] { App.CmdPause(); }));
}

// Pending for the first polls with a check point that advances, then state.
std::function<void(int, SERVICE_STATUS&)> PendingThen(DWORD pending, int polls, DWORD state,
                                                      DWORD exitCode = 0, DWORD specific = 0) {
  return [=](int nth, SERVICE_STATUS& s) {
    if (nth <= polls) {
      s.dwCurrentState = pending;
      s.dwCheckPoint = static_cast<DWORD>(nth);
      s.dwWaitHint = 100;
    } else {
      s.dwCurrentState = state;
      s.dwWin32ExitCode = exitCode;
      s.dwServiceSpecificExitCode = specific;
    }
  };
}

TEST_F(TQZSvcAppCommandsTest, CommandsWaitThroughPendingStatesAndNameWhatWasReached) {
  Fake.StatusAnswer = PendingThen(SERVICE_START_PENDING, 3, SERVICE_RUNNING);
  EXPECT_EQ(SuccessLine("start", "QzSvc"), StartOutput());
  EXPECT_EQ(4, Fake.Count("QueryServiceStatus"));

  // A start the service refused: the failure line carries its exit code,
  // and the line after it the service's own.
  Fake.Reset();
  Fake.StatusAnswer = PendingThen(SERVICE_START_PENDING, 1, SERVICE_STOPPED,
                                  ERROR_SERVICE_SPECIFIC_ERROR, 42);
  EXPECT_EQ(FailureLine("start", "QzSvc", ERROR_SERVICE_SPECIFIC_ERROR) +
                "  service-specific exit code: 42\n",
            StartOutput());
  EXPECT_EQ(ERROR_SERVICE_SPECIFIC_ERROR, App.CommandResult);

  Fake.Reset();
  Fake.StatusAnswer = PendingThen(SERVICE_START_PENDING, 1, SERVICE_PAUSED);
  EXPECT_EQ(SuccessLine("start", "QzSvc"), StartOutput());
  // Stopped without a code of its own: the service is simply not running.
  Fake.StatusAnswer = PendingThen(SERVICE_START_PENDING, 1, SERVICE_STOPPED);
  EXPECT_EQ(FailureLine("start", "QzSvc", ERROR_SERVICE_NOT_ACTIVE), StartOutput());

  // A stop that ended a run with exit codes succeeds and names them.
  Fake.Reset();
  Fake.StatusAnswer = PendingThen(SERVICE_STOP_PENDING, 2, SERVICE_STOPPED,
                                  ERROR_SERVICE_SPECIFIC_ERROR, 7);
  EXPECT_EQ(SuccessLine("stop", "QzSvc") + "  exit code: 1066, service-specific exit code: 7\n",
            Output([&] { App.CmdStop(); }));
  EXPECT_EQ(0u, App.CommandResult);
  Fake.Reset();
  Fake.StatusAnswer = PendingThen(SERVICE_STOP_PENDING, 1, SERVICE_STOPPED, ERROR_ACCESS_DENIED);
  EXPECT_EQ(SuccessLine("stop", "QzSvc") + "  exit code: 5\n", Output([&] { App.CmdStop(); }));
  // A pause that ends with the service stopped names the service's code.
  Fake.StatusAnswer = PendingThen(SERVICE_PAUSE_PENDING, 1, SERVICE_STOPPED,
                                  ERROR_SERVICE_SPECIFIC_ERROR, 7);
  EXPECT_EQ(FailureLine("pause", "QzSvc", ERROR_SERVICE_SPECIFIC_ERROR) +
                "  service-specific exit code: 7\n",
            Output([&] { App.CmdPause(); }));
  Fake.Fail("QueryServiceStatus", ERROR_ACCESS_DENIED);
  EXPECT_EQ(FailureLine("continue", "QzSvc", ERROR_ACCESS_DENIED),
            Output([&] { App.CmdContinue(); }));
}

TEST_F(TQZSvcAppCommandsTest, PendingStateWhoseCheckPointStandsStillEndsTheWaitWith1053) {
  Fake.StatusAnswer = [](int, SERVICE_STATUS& s) {
    s.dwCurrentState = SERVICE_START_PENDING;
    s.dwCheckPoint = 1;
    s.dwWaitHint = 100;
  };
  EXPECT_EQ(FailureLine("start", "QzSvc", ERROR_SERVICE_REQUEST_TIMEOUT),
            StartOutput());
  // Polled about every 100 ms over the 1 s the wait hint is taken as at
  // least: neither once nor in a busy loop.
  EXPECT_GE(Fake.Count("QueryServiceStatus"), 5);
  EXPECT_LE(Fake.Count("QueryServiceStatus"), 25);
  EXPECT_EQ(2, Closes());
}

TEST_F(TQZSvcAppCommandsTest, StartDuringAStopWaitsForTheStopThenStarts) {
  Fake.Fail("StartServiceA", ERROR_SERVICE_ALREADY_RUNNING, 1);
  // Stopping for two polls, stopped at the third; then as the fake settles.
  Fake.StatusAnswer = [](int nth, SERVICE_STATUS& s) {
    if (nth <= 3) s.dwCurrentState = nth < 3 ? SERVICE_STOP_PENDING : SERVICE_STOPPED;
    s.dwCheckPoint = static_cast<DWORD>(nth);
  };
  EXPECT_EQ(SuccessLine("start", "QzSvc"), StartOutput());
  EXPECT_EQ(2, Fake.Count("StartServiceA"));

  // A stop that never ends leaves the service as it is.
  Fake.Reset();
  Fake.Fail("StartServiceA", ERROR_SERVICE_ALREADY_RUNNING);
  Fake.StatusAnswer = [](int, SERVICE_STATUS& s) { s.dwCurrentState = SERVICE_STOP_PENDING; };
  EXPECT_EQ(FailureLine("start", "QzSvc", ERROR_SERVICE_REQUEST_TIMEOUT),
            StartOutput());
  EXPECT_EQ(1, Fake.Count("StartServiceA"));
}

TEST_F(TQZSvcAppCommandsTest, ResultLinesNameTheServiceVerbatimNotItsDisplayName) {
  TQZSvcApp app("Svc%s%d", "shown name", "");
  EXPECT_EQ(SuccessLine("pause", "Svc%s%d"), Output([&] { app.CmdPause(); }));
}

TEST_F(TQZSvcAppCommandsTest, StartHandsExactlyTheArgumentsAfterTheSwitch) {
  char prog[] = "svc.exe", sw[] = "-start", a[] = "a", b[] = "b c",
       high[] = "\xE9\xFF";
  char* argv[] = {prog, sw, a, b, high, nullptr};
  EXPECT_EQ(SuccessLine("start", "QzSvc"),
            Output([&] { App.CmdStart(5, argv); }));
  EXPECT_EQ((Calls{"OpenSCManagerA", "OpenServiceA", "StartServiceA", "QueryServiceStatus"}),
            Requests());
  EXPECT_EQ(ReadExecute, Fake.Last("OpenServiceA").Access);
  const PlatformCall start = Fake.Last("StartServiceA");
  EXPECT_EQ(3u, start.Count);
  EXPECT_EQ((std::vector<CallText>{"a", "b c", "\xE9\xFF"}), start.Strings);
  EXPECT_EQ(2, Closes());

  Fake.Reset();
  Output([&] { App.CmdStart(2, argv); });
  EXPECT_EQ(0u, Fake.Last("StartServiceA").Count);
  EXPECT_EQ(std::nullopt, Fake.Last("StartServiceA").Strings);
}

TEST_F(TQZSvcAppCommandsTest, StartPassesAnEmptyArgumentOnAsAnEmptyText) {
  char prog[] = "svc.exe", sw[] = "-start", a[] = "a", empty[] = "", b[] = "b";
  char* argv[] = {prog, sw, a, empty, b, nullptr};
  EXPECT_EQ(SuccessLine("start", "QzSvc"), Output([&] { App.CmdStart(5, argv); }));
  EXPECT_EQ((std::vector<CallText>{"a", "", "b"}), Fake.Last("StartServiceA").Strings);
}

TEST_F(TQZSvcAppCommandsTest, StartOfRunningServiceCountsAsSuccess) {
  Fake.Fail("StartServiceA", ERROR_SERVICE_ALREADY_RUNNING);
  EXPECT_EQ(SuccessLine("start", "QzSvc"),
            StartOutput());
}

TEST_F(TQZSvcAppCommandsTest, StatusPrintsStateProcessAndExitCodes) {
  EXPECT_EQ(SuccessLine("status", "QzSvc") +
                "  state: 4 RUNNING\n  process: 4242\n  exit code: 0, service-specific 0\n",
            Output([&] { App.CmdStatus(); }));
  EXPECT_EQ((Calls{"OpenSCManagerA", "OpenServiceA", "QueryServiceStatusEx"}), Requests());
  EXPECT_EQ(static_cast<DWORD>(SC_STATUS_PROCESS_INFO), Fake.Last("QueryServiceStatusEx").Level);
  EXPECT_EQ(ReadExecute, Fake.Last("OpenServiceA").Access);
  EXPECT_EQ(2, Closes());

  Fake.Reset();
  Fake.StatusAnswer = [](int, SERVICE_STATUS& status) {
    status.dwCurrentState = SERVICE_STOPPED;
    status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = 3;
  };
  EXPECT_EQ(SuccessLine("status", "QzSvc") +
                "  state: 1 STOPPED\n  process: 0\n  exit code: 1066, service-specific 3\n",
            Output([&] { App.CmdStatus(); }));

  Fake.Reset();
  Fake.Fail("OpenServiceA", ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(FailureLine("status", "QzSvc", ERROR_SERVICE_DOES_NOT_EXIST),
            Output([&] { App.CmdStatus(); }));
  Fake.Reset();
  Fake.Fail("QueryServiceStatusEx", ERROR_ACCESS_DENIED);
  EXPECT_EQ(FailureLine("status", "QzSvc", ERROR_ACCESS_DENIED),
            Output([&] { App.CmdStatus(); }));
  EXPECT_EQ(2, Closes());
}

TEST_F(TQZSvcAppCommandsTest, ControlSendsUserCodesAndRefusesOthersBeforeTheScmIsAsked) {
  char prog[] = "svc.exe", sw[] = "-control";
  for (const char* code : {"128", "200", "255"}) {
    Fake.Reset();
    std::string text = code;
    char* argv[] = {prog, sw, &text[0], nullptr};
    EXPECT_EQ(SuccessLine("control", "QzSvc"), Output([&] { App.CmdControl(3, argv); }));
    EXPECT_EQ((Calls{"OpenSCManagerA", "OpenServiceA", "ControlService"}), Requests());
    EXPECT_EQ(static_cast<DWORD>(std::stoul(text)), Fake.Last("ControlService").Control);
    EXPECT_EQ(2, Closes());
  }
  for (const char* code : {"127", "256", "0", "1", "4294967496", "0x80", "+200", " 200", "20a", ""}) {
    SCOPED_TRACE(code);
    Fake.Reset();
    std::string text = code;
    char* argv[] = {prog, sw, &text[0], nullptr};
    EXPECT_EQ(FailureLine("control", "QzSvc", ERROR_INVALID_PARAMETER),
              Output([&] { App.CmdControl(3, argv); }));
    EXPECT_TRUE(Fake.Calls().empty());
  }
  char* missing[] = {prog, sw, nullptr};
  EXPECT_EQ(FailureLine("control", "QzSvc", ERROR_INVALID_PARAMETER),
            Output([&] { App.CmdControl(2, missing); }));
  EXPECT_TRUE(Fake.Calls().empty());

  std::string text = "200";
  char* argv[] = {prog, sw, &text[0], nullptr};
  Fake.Fail("ControlService", ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_EQ(FailureLine("control", "QzSvc", ERROR_SERVICE_NOT_ACTIVE),
            Output([&] { App.CmdControl(3, argv); }));
}

TEST_F(TQZSvcObjInstallTest, RegistersTheDefinitionFields) {
  EXPECT_EQ(SuccessLine("install", "QzSvc"), Output([&] { App.CmdInstall(); }));
  EXPECT_EQ((Calls{"OpenSCManagerA", "CreateServiceA", "ChangeServiceConfig2A"}),
            Requests());
  EXPECT_EQ(DWORD(SC_MANAGER_ALL_ACCESS), Fake.Last("OpenSCManagerA").Access);
  const PlatformCall create = Create();
  EXPECT_EQ("QzSvc", create.Name);
  EXPECT_EQ("Qz display", create.DisplayName);
  EXPECT_EQ(DWORD(SERVICE_ALL_ACCESS), create.Access);
  EXPECT_EQ(DWORD(SERVICE_WIN32_OWN_PROCESS), create.ServiceType);
  EXPECT_EQ(DWORD(SERVICE_AUTO_START), create.StartType);
  EXPECT_EQ(DWORD(SERVICE_ERROR_NORMAL), create.ErrorControl);
  EXPECT_EQ("C:\\apps\\svc.exe /service", create.BinaryPath);
  EXPECT_EQ(std::nullopt, create.LoadOrderGroup);
  EXPECT_EQ(nullptr, create.TagId);
  EXPECT_EQ(std::nullopt, create.Dependencies);
  EXPECT_EQ(std::nullopt, create.Account);
  EXPECT_EQ(std::nullopt, create.Password);
  const PlatformCall describe = Fake.Last("ChangeServiceConfig2A");
  EXPECT_EQ(DWORD(SERVICE_CONFIG_DESCRIPTION), describe.Level);
  EXPECT_EQ("Qz description", describe.Description);
  EXPECT_EQ(2, Closes());
  EXPECT_EQ(0u, App.Service->LastError);
}

TEST_F(TQZSvcObjInstallTest, PassesSetTextsAndEmptyNamesAsEmptyTexts) {
  TQZSvcObj& svc = *App.Service;
  svc.LoadOrderGroup = "Group";
  svc.Account = ".\\user";
  svc.Password = "secret";
  svc.StartType = SERVICE_DEMAND_START;
  svc.ErrorControl = SERVICE_ERROR_IGNORE;
  svc.SetDisplayName("");
  svc.SetBinaryPath("");
  svc.SetDescription("");
  EXPECT_TRUE(svc.Install());
  const PlatformCall create = Create();
  EXPECT_EQ("Group", create.LoadOrderGroup);
  EXPECT_EQ(".\\user", create.Account);
  EXPECT_EQ("secret", create.Password);
  EXPECT_EQ(DWORD(SERVICE_DEMAND_START), create.StartType);
  EXPECT_EQ(DWORD(SERVICE_ERROR_IGNORE), create.ErrorControl);
  // Empty texts, where null pointers would compare unequal.
  EXPECT_EQ("", create.DisplayName);
  EXPECT_EQ("", create.BinaryPath);
  // Without a description nothing is set afterwards.
  EXPECT_EQ((Calls{"OpenSCManagerA", "CreateServiceA"}), Requests());
}

TEST_F(TQZSvcObjInstallTest, ComposesTheTypeFromInteractiveAndSharedProcess) {
  struct Case { uint32_t Type; bool Interactive, Shared; DWORD Expected; };
  const Case cases[] = {
      {0x10, false, false, 0x10},  {0x10, true, false, 0x110},
      {0x10, false, true, 0x20},   {0x10, true, true, 0x120},
      {0x20, false, false, 0x10},  {0x30, false, true, 0x20},
      {0x110, false, false, 0x110}, {0x01, true, true, 0x01},
      {0x02, true, false, 0x02},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.Type << " " << c.Interactive
                                    << c.Shared);
    TQZSvcObj svc("T");
    svc.ServiceType = c.Type;
    svc.Interactive = c.Interactive;
    svc.SharedProcess = c.Shared;
    EXPECT_TRUE(svc.Install());
    EXPECT_EQ(c.Expected, Create().ServiceType);
  }
}

TEST_F(TQZSvcObjInstallTest, HandsTheTagPointerOnlyForANonZeroTag) {
  TQZSvcObj& svc = *App.Service;
  EXPECT_TRUE(svc.Install());
  EXPECT_EQ(nullptr, Create().TagId);

  svc.TagId = 3;
  Fake.AssignedTag = 41;
  EXPECT_TRUE(svc.Install());
  EXPECT_EQ(reinterpret_cast<LPDWORD>(&svc.TagId), Create().TagId);
  EXPECT_EQ(41u, svc.TagId);
}

TEST_F(TQZSvcObjInstallTest, PrefixesGroupsWithPlusInDependencyOrder) {
  TQZStringList& deps = *App.Service->Dependencies;
  deps.Add("Rpc", 0);
  deps.Add("Net", 1);
  deps.Add("Afd", 0);
  deps.Add("net", 0);
  ASSERT_EQ(4, deps.Count());
  std::string expected;
  for (int32_t i = 0; i < deps.Count(); ++i) {
    expected += (deps.GetData(i) ? "+" : "") + Text(deps.GetString(i));
    expected += '\0';
  }
  expected += '\0';
  EXPECT_TRUE(App.Service->Install());
  const CallText dependencies = Create().Dependencies;
  ASSERT_TRUE(dependencies.has_value());
  EXPECT_EQ(expected, *dependencies);
  EXPECT_NE(std::string::npos, dependencies->find(std::string("+Net\0", 5)));
  // The object's own list is not changed by the prefixing.
  for (int32_t i = 0; i < deps.Count(); ++i) {
    EXPECT_NE('+', deps.GetString(i).Text()[0]);
  }
}

TEST_F(TQZSvcObjInstallTest, EmptyDependencyNamesAreLeftOutInsteadOfEndingTheList) {
  TQZStringList& deps = *App.Service->Dependencies;
  deps.Add("", 0);
  deps.Add("Rpc", 0);
  deps.Add("grp", 1);
  ASSERT_EQ(3, deps.Count());
  EXPECT_TRUE(App.Service->Install());
  EXPECT_EQ(std::string("Rpc\0+grp\0\0", 10), Create().Dependencies);
}

TEST_F(TQZSvcObjInstallTest, SucceedsWhenOnlyTheDescriptionCannotBeSet) {
  Fake.Fail("ChangeServiceConfig2A", ERROR_ACCESS_DENIED);
  App.Service->LastError = 99;
  EXPECT_EQ(SuccessLine("install", "QzSvc"), Output([&] { App.CmdInstall(); }));
  EXPECT_EQ(0u, App.Service->LastError);
  EXPECT_EQ(2, Closes());
}

TEST_F(TQZSvcObjInstallTest, FailurePrintsTheCreateOrOpenError) {
  Fake.Fail("CreateServiceA", ERROR_SERVICE_EXISTS);
  EXPECT_EQ(FailureLine("install", "QzSvc", ERROR_SERVICE_EXISTS),
            Output([&] { App.CmdInstall(); }));
  EXPECT_EQ(ERROR_SERVICE_EXISTS, App.Service->LastError);
  EXPECT_EQ((Calls{"OpenSCManagerA", "CreateServiceA"}), Requests());
  EXPECT_EQ(1, Closes());

  Fake.Reset();
  Fake.Fail("OpenSCManagerA", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(App.Service->Install());
  EXPECT_EQ(ERROR_ACCESS_DENIED, App.Service->LastError);
  EXPECT_EQ((Calls{"OpenSCManagerA"}), Requests());
}

using ActionList = std::vector<std::pair<DWORD, DWORD>>;

TEST_F(TQZSvcObjInstallTest, OptionalSettingsFollowTheCreateInOrderAsWin32Structures) {
  TQZSvcObj& svc = *App.Service;
  svc.RecoveryActions[0] = {QZ_RECOVERY_RESTART, 5000};
  svc.RecoveryActions[1] = {QZ_RECOVERY_RUN_COMMAND, 60000};
  svc.RecoveryActions[2] = {QZ_RECOVERY_NONE, 0};
  svc.RecoveryActionCount = 3;
  svc.RecoveryResetSeconds = 86400;
  svc.RecoveryCommand = "C:\\tools\\notify.exe QzSvc";
  svc.RecoveryOnNonCrashFailures = true;
  svc.DelayedAutoStart = true;
  svc.PreshutdownTimeout = 30000;
  EXPECT_EQ(SuccessLine("install", "QzSvc"), Output([&] { App.CmdInstall(); }));
  EXPECT_EQ((Calls{"OpenSCManagerA", "CreateServiceA", "ChangeServiceConfig2A",
                   "ChangeServiceConfig2A", "ChangeServiceConfig2A", "ChangeServiceConfig2A",
                   "ChangeServiceConfig2A"}),
            Requests());
  const std::vector<PlatformCall> changes = Fake.CallsOf("ChangeServiceConfig2A");
  ASSERT_EQ(5u, changes.size());
  EXPECT_EQ(DWORD(SERVICE_CONFIG_DESCRIPTION), changes[0].Level);
  EXPECT_EQ(DWORD(SERVICE_CONFIG_FAILURE_ACTIONS), changes[1].Level);
  EXPECT_EQ(86400u, changes[1].ResetPeriod);
  EXPECT_EQ(std::nullopt, changes[1].RebootMessage);
  EXPECT_EQ("C:\\tools\\notify.exe QzSvc", changes[1].Command);
  EXPECT_EQ((ActionList{{SC_ACTION_RESTART, 5000}, {SC_ACTION_RUN_COMMAND, 60000},
                        {SC_ACTION_NONE, 0}}),
            changes[1].Actions);
  EXPECT_EQ(DWORD(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG), changes[2].Level);
  EXPECT_EQ(DWORD(TRUE), changes[2].ConfigValue);
  EXPECT_EQ(DWORD(SERVICE_CONFIG_DELAYED_AUTO_START_INFO), changes[3].Level);
  EXPECT_EQ(DWORD(TRUE), changes[3].ConfigValue);
  EXPECT_EQ(DWORD(SERVICE_CONFIG_PRESHUTDOWN_INFO), changes[4].Level);
  EXPECT_EQ(30000u, changes[4].ConfigValue);
  for (const PlatformCall& change : changes) EXPECT_EQ(Create().Result, change.Handle);
  EXPECT_EQ(2, Closes());

  // Only what is set is asked for; no command is passed as a null pointer.
  Fake.Reset();
  TQZSvcObj bare("T");
  bare.RecoveryActions[0] = {QZ_RECOVERY_RESTART, 1000};
  bare.RecoveryActionCount = 1;
  bare.PreshutdownTimeout = 1;
  EXPECT_TRUE(bare.Install());
  const std::vector<PlatformCall> bareChanges = Fake.CallsOf("ChangeServiceConfig2A");
  ASSERT_EQ(2u, bareChanges.size());
  EXPECT_EQ(std::nullopt, bareChanges[0].Command);
  EXPECT_EQ(0u, bareChanges[0].ResetPeriod);
  EXPECT_EQ((ActionList{{SC_ACTION_RESTART, 1000}}), bareChanges[0].Actions);
  EXPECT_EQ(DWORD(SERVICE_CONFIG_PRESHUTDOWN_INFO), bareChanges[1].Level);
  EXPECT_EQ(1u, bareChanges[1].ConfigValue);
}

TEST_F(TQZSvcObjInstallTest, RefusedSettingDeletesTheNewServiceAndFailsWithItsError) {
  // The second to fifth ChangeServiceConfig2A calls are the optional settings.
  for (int refused = 2; refused <= 5; ++refused) {
    SCOPED_TRACE(refused);
    Fake.Reset();
    TQZSvcObj& svc = *App.Service;
    svc.RecoveryActions[0] = {QZ_RECOVERY_RESTART, 0};
    svc.RecoveryActionCount = 1;
    svc.RecoveryOnNonCrashFailures = true;
    svc.DelayedAutoStart = true;
    svc.PreshutdownTimeout = 10000;
    Fake.Fail("ChangeServiceConfig2A", ERROR_INVALID_PARAMETER, refused);
    const char* const names[] = {"failure actions", "failure actions on non-crash failures",
                                 "delayed auto-start", "preshutdown timeout"};
    EXPECT_EQ(FailureLine("install", "QzSvc", ERROR_INVALID_PARAMETER) + "  refused: " +
                  names[refused - 2] + "\n",
              Output([&] { App.CmdInstall(); }));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), svc.LastError);
    Calls expected{"OpenSCManagerA", "CreateServiceA"};
    expected.insert(expected.end(), refused, "ChangeServiceConfig2A");
    expected.push_back("DeleteService");
    EXPECT_EQ(expected, Requests());
    EXPECT_EQ(Create().Result, Fake.Last("DeleteService").Handle);
    Fake.ExpectEveryHandleClosedOnce();
  }

  // The description keeps its rule: refused, the install still succeeds.
  Fake.Reset();
  Fake.Fail("ChangeServiceConfig2A", ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(SuccessLine("install", "QzSvc"), Output([&] { App.CmdInstall(); }));
  EXPECT_EQ(0, Fake.Count("DeleteService"));

  // A refused delete does not hide why the install failed.
  Fake.Reset();
  Fake.Fail("ChangeServiceConfig2A", ERROR_INVALID_PARAMETER, 5);
  Fake.Fail("DeleteService", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(App.Service->Install());
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), App.Service->LastError);
}

TEST_F(TQZSvcObjInstallTest, MoreRecoveryActionsThanTheArrayHoldsFailBeforeTheScmIsAsked) {
  for (int32_t count : {-1, TQZSvcObj::MaxRecoveryActions + 1}) {
    TQZSvcObj svc("T");
    svc.RecoveryActionCount = count;
    EXPECT_FALSE(svc.Install());
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), svc.LastError);
  }
  EXPECT_TRUE(Fake.Calls().empty());
}

TEST_F(TQZSvcAppCommandsTest, InstallTakesTheAccountAndReadsItsPasswordFromInputOnlyWhenAllowed) {
  std::vector<std::string> line;
  auto install = [&](std::vector<std::string> args) {
    line = {"svc.exe", "-install"};
    line.insert(line.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : line) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    return Output([&] { App.Main(static_cast<int>(line.size()), argv.data()); });
  };
  App.Service->Account = "preset";
  App.Service->Password = "preset-password";

  // Off: the parameters are ignored, as they always were.
  EXPECT_EQ(SuccessLine("install", "QzSvc"), install({"NT AUTHORITY\\LocalService"}));
  EXPECT_EQ("preset", Create().Account);

  App.InstallAccount = true;
  Fake.Reset();
  EXPECT_EQ(SuccessLine("install", "QzSvc"), install({"NT AUTHORITY\\LocalService"}));
  EXPECT_EQ("NT AUTHORITY\\LocalService", Create().Account);
  EXPECT_EQ(std::nullopt, Create().Password);

  Fake.Reset();
  {
    ScopedStdin input("s3cret pass\r\nnext line\r\n");
    EXPECT_EQ(SuccessLine("install", "QzSvc"), install({".\\qzuser", "-"}));
  }
  EXPECT_EQ(".\\qzuser", Create().Account);
  EXPECT_EQ("s3cret pass", Create().Password);

  Fake.Reset();
  {
    ScopedStdin input("last line without an end");
    install({".\\qzuser", "-"});
  }
  EXPECT_EQ("last line without an end", Create().Password);

  // A password on the command line, an empty account or more parameters are
  // refused before the SCM is asked.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{".\\qzuser", "s3cret"}, std::vector<std::string>{""},
        std::vector<std::string>{".\\qzuser", "-", "x"}}) {
    Fake.Reset();
    EXPECT_EQ(FailureLine("install", "QzSvc", ERROR_INVALID_PARAMETER), install(args));
    EXPECT_TRUE(Fake.Calls().empty());
  }

  // A password line longer than any the system takes is refused as well.
  Fake.Reset();
  {
    ScopedStdin input(std::string(2000, 'p') + "\n");
    EXPECT_EQ(FailureLine("install", "QzSvc", ERROR_INVALID_PARAMETER),
              install({".\\qzuser", "-"}));
  }
  EXPECT_TRUE(Fake.Calls().empty());
}

// Paths the SCM would register and then never start, or expand into
// another file, and password lines it would be handed cut short or
// changed: refused before it is asked, as the command's result too.
TEST_F(TQZSvcAppCommandsTest, InstallRefusesPathsAndPasswordLinesTheScmWouldNotKeepAsGiven) {
  SetEnvironmentVariableA("QZ_TEST_FOLDER", "C:\\elsewhere");
  const std::string folder = "C:\\" + std::string(247, 'd') + "\\";
  struct Case {
    const char* What;
    std::string File;
    const char* Password;  // null: "-install" alone
    std::string Input;
    DWORD Result;
  };
  const Case cases[] = {
      {"an environment reference", "C:\\%SystemRoot%x\\svc.exe", nullptr, "",
       ERROR_INVALID_NAME},
      {"a variable of the installer's", "C:\\%QZ_TEST_FOLDER%\\svc.exe", nullptr, "",
       ERROR_INVALID_NAME},
      {"a lone percent sign", "C:\\100%\\svc.exe", nullptr, "", 0},
      {"a percent sign before a name", "C:\\a%PATH\\svc.exe", nullptr, "", 0},
      {"a pair that names no variable", "C:\\%QZ_NOT_SET%\\svc.exe", nullptr, "", 0},
      {"259 characters", folder + "svc1.exe", nullptr, "", 0},
      {"260 characters", folder + "svc12.exe", nullptr, "", ERROR_FILENAME_EXCED_RANGE},
      {"259 characters without the quotes", folder + "svc .exe", nullptr, "", 0},
      {"a NUL in the password", "C:\\apps\\svc.exe", "-", std::string("ab\0cd\n", 6),
       ERROR_INVALID_PARAMETER},
      {"a CR inside the password", "C:\\apps\\svc.exe", "-", "ab\rcd\n",
       ERROR_INVALID_PARAMETER},
      {"a CR at the end of the input", "C:\\apps\\svc.exe", "-", "abcd\r",
       ERROR_INVALID_PARAMETER},
      {"a CR before the line feed", "C:\\apps\\svc.exe", "-", "abcd\r\nrest\0\r", 0},
      {"a line feed alone", "C:\\apps\\svc.exe", "-", "abcd\n", 0},
  };
  App.InstallAccount = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    Fake.Reset();
    ModuleFileName = c.File.c_str();
    std::vector<std::string> line = {"svc.exe", "-install"};
    if (c.Password != nullptr) line.insert(line.end(), {".\\u", c.Password});
    std::vector<char*> argv;
    for (std::string& arg : line) argv.push_back(&arg[0]);
    int result = -1;
    std::string output;
    {
      ScopedStdin input(c.Input);
      output = Output([&] { result = App.Main(static_cast<int>(argv.size()), argv.data()); });
    }
    EXPECT_EQ(static_cast<int>(c.Result), result);
    if (c.Result != 0) {
      EXPECT_EQ(FailureLine("install", "QzSvc", c.Result), output);
      EXPECT_TRUE(Requests().empty());
      continue;
    }
    EXPECT_EQ(SuccessLine("install", "QzSvc"), output);
    ASSERT_EQ(1, Fake.Count("CreateServiceA"));
    if (c.Password != nullptr) {
      EXPECT_EQ("abcd", Create().Password);
    }
  }
}

TEST_F(TQZSvcAppCommandsTest, MainReturnsTheResultOfTheCommandItRan) {
  auto run = [&](std::string sw) {
    std::string prog = "svc.exe";
    char* argv[] = {&prog[0], &sw[0], nullptr};
    int result = -1;
    Output([&] { result = App.Main(2, argv); });
    EXPECT_EQ(static_cast<int>(App.CommandResult), result);
    return result;
  };
  Fake.Fail("ControlService", ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_EQ(static_cast<int>(ERROR_SERVICE_NOT_ACTIVE), run("-stop"));
  EXPECT_EQ(0, run("-start"));
  EXPECT_EQ(static_cast<int>(ERROR_INVALID_PARAMETER), run("-nonsense"));
  EXPECT_EQ(0, run("-help"));
}

TEST_F(TQZSvcAppCommandsTest, StartDuringAnotherClientsStartFollowsItToItsOutcome) {
  Fake.Fail("StartServiceA", ERROR_SERVICE_ALREADY_RUNNING);
  Fake.StatusAnswer = PendingThen(SERVICE_START_PENDING, 2, SERVICE_STOPPED,
                                  ERROR_SERVICE_SPECIFIC_ERROR, 42);
  EXPECT_EQ(FailureLine("start", "QzSvc", ERROR_SERVICE_SPECIFIC_ERROR) +
                "  service-specific exit code: 42\n",
            StartOutput());
  EXPECT_EQ(3, Fake.Count("QueryServiceStatus"));

  Fake.Reset();
  Fake.Fail("StartServiceA", ERROR_SERVICE_ALREADY_RUNNING);
  Fake.StatusAnswer = PendingThen(SERVICE_START_PENDING, 2, SERVICE_RUNNING);
  EXPECT_EQ(SuccessLine("start", "QzSvc"), StartOutput());
  EXPECT_EQ(3, Fake.Count("QueryServiceStatus"));
}

TEST_F(TQZSvcAppCommandsTest, ControlWhoseRunEndedIsToldApartFromARefusalByTheProcessId) {
  struct Case {
    const char* Verb;
    void (TQZSvcApp::*Command)();
    DWORD ProcessAfter;
    std::string Expected;
  };
  // The first query reads the process; the poll then finds the service
  // running, in a new process when another client restarted it.
  const Case cases[] = {
      {"stop", &TQZSvcApp::CmdStop, 5151, SuccessLine("stop", "QzSvc")},
      {"stop", &TQZSvcApp::CmdStop, 4242,
       FailureLine("stop", "QzSvc", ERROR_SERVICE_CANNOT_ACCEPT_CTRL)},
      {"pause", &TQZSvcApp::CmdPause, 5151,
       FailureLine("pause", "QzSvc", ERROR_SERVICE_NOT_ACTIVE)},
      {"pause", &TQZSvcApp::CmdPause, 4242,
       FailureLine("pause", "QzSvc", ERROR_SERVICE_CANNOT_ACCEPT_CTRL)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Verb) + " " + std::to_string(c.ProcessAfter));
    Fake.Reset();
    Fake.StatusAnswer = [](int, SERVICE_STATUS& s) { s.dwCurrentState = SERVICE_RUNNING; };
    Fake.ProcessIdAnswer = [&](int nth) { return nth == 1 ? 4242 : c.ProcessAfter; };
    Fake.AnswerControlsWith(c.Command == &TQZSvcApp::CmdStop ? SERVICE_STOP_PENDING
                                                             : SERVICE_PAUSE_PENDING);
    EXPECT_EQ(c.Expected, Output([&] { (App.*c.Command)(); }));
    EXPECT_EQ(2, Fake.Count("QueryServiceStatusEx"));
  }
}

TEST_F(TQZSvcObjInstallTest, UnderWineTheDependenciesFollowTheRegistrationWhole) {
  Fake.Wine = true;
  TQZSvcObj& svc = *App.Service;
  svc.Dependencies->Add("Rpc", 0);
  svc.Dependencies->Add("grp", 1);
  svc.Account = ".\\u";
  svc.Password = "pw";
  EXPECT_EQ(SuccessLine("install", "QzSvc"), Output([&] { App.CmdInstall(); }));
  EXPECT_EQ((Calls{"OpenSCManagerA", "CreateServiceA", "ChangeServiceConfigA",
                   "ChangeServiceConfig2A"}),
            Requests());
  EXPECT_EQ(std::nullopt, Create().Dependencies);
  EXPECT_EQ("pw", Create().Password);
  const PlatformCall change = Fake.Last("ChangeServiceConfigA");
  EXPECT_EQ(Create().Result, change.Handle);
  EXPECT_EQ(std::string("Rpc\0+grp\0\0", 10), change.Dependencies);
  // Nothing else changes.
  for (DWORD value : {change.ServiceType, change.StartType, change.ErrorControl}) {
    EXPECT_EQ(DWORD(SERVICE_NO_CHANGE), value);
  }
  for (const CallText& text : {change.BinaryPath, change.LoadOrderGroup, change.Account,
                               change.Password, change.DisplayName}) {
    EXPECT_EQ(std::nullopt, text);
  }

  // Refused: the new registration is removed and the line says what was refused.
  Fake.Reset();
  Fake.Wine = true;
  Fake.Fail("ChangeServiceConfigA", ERROR_CIRCULAR_DEPENDENCY);
  EXPECT_EQ(FailureLine("install", "QzSvc", ERROR_CIRCULAR_DEPENDENCY) +
                "  refused: dependencies\n",
            Output([&] { App.CmdInstall(); }));
  EXPECT_EQ((Calls{"OpenSCManagerA", "CreateServiceA", "ChangeServiceConfigA", "DeleteService"}),
            Requests());
  Fake.ExpectEveryHandleClosedOnce();

  // Without dependencies there is nothing to follow.
  Fake.Reset();
  Fake.Wine = true;
  svc.Dependencies->Clear();
  EXPECT_TRUE(svc.Install());
  EXPECT_EQ(0, Fake.Count("ChangeServiceConfigA"));
}

TEST_F(TQZSvcObjInstallTest, IsRefusedUntouchedUnlessTheServiceIsStopped) {
  TQZSvcObj& svc = *App.Service;
  svc.LastError = 1234;
  for (uint32_t state = QZ_SERVICE_START_PENDING; state <= QZ_SERVICE_PAUSED;
       ++state) {
    svc.State = state;
    EXPECT_FALSE(svc.Install());
    EXPECT_EQ(1234u, svc.LastError);
  }
  EXPECT_TRUE(Fake.Calls().empty());
}

const char kSourceKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QzSvc";

TEST_F(TQZSvcObjInstallTest, RegistersTheExecutableAsEventMessageFileOnlyWithAMessageTable) {
  ModuleFileName = "C:\\my apps\\svc.exe";
  EXPECT_EQ(SuccessLine("install", "QzSvc"), Output([&] { App.CmdInstall(); }));
  EXPECT_EQ((Calls{"OpenSCManagerA", "CreateServiceA", "ChangeServiceConfig2A"}), Requests());

  Fake.Reset();
  Fake.MessageTable = true;
  EXPECT_EQ(SuccessLine("install", "QzSvc"), Output([&] { App.CmdInstall(); }));
  EXPECT_EQ((Calls{"OpenSCManagerA", "CreateServiceA", "ChangeServiceConfig2A",
                   "RegCreateKeyExA", "RegSetValueExA", "RegSetValueExA"}),
            Requests());
  const PlatformCall create = Fake.Last("RegCreateKeyExA");
  EXPECT_EQ(HKEY_LOCAL_MACHINE, create.Handle);
  EXPECT_EQ(kSourceKey, create.Name);
  EXPECT_EQ(static_cast<DWORD>(REG_OPTION_NON_VOLATILE), create.Options);
  const PlatformCall file = Fake.CallsOf("RegSetValueExA")[0];
  EXPECT_EQ("EventMessageFile", file.Name);
  EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), file.ValueType);
  // The bare path with its NUL: no quotes, no switch, no parameters.
  EXPECT_EQ(std::string("C:\\my apps\\svc.exe", 19), file.Data);
  const PlatformCall types = Fake.CallsOf("RegSetValueExA")[1];
  EXPECT_EQ("TypesSupported", types.Name);
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), types.ValueType);
  EXPECT_EQ(std::string("\x07\0\0\0", 4), types.Data);
  EXPECT_EQ(RT_MESSAGETABLE, reinterpret_cast<LPSTR>(Fake.Last("FindResourceA").ResourceType));
  Fake.ExpectEveryHandleClosedOnce();
}

TEST_F(TQZSvcObjInstallTest, RegistryFailureDeletesTheNewServiceAndFailsWithItsError) {
  struct Case {
    const char* Function;
    int Nth;
    DWORD Disposition;
    Calls Expected;  // after OpenSCManagerA, CreateServiceA, ChangeServiceConfig2A
  };
  const Case cases[] = {
      {"RegCreateKeyExA", 1, REG_CREATED_NEW_KEY, {"RegCreateKeyExA", "DeleteService"}},
      {"RegSetValueExA", 1, REG_CREATED_NEW_KEY,
       {"RegCreateKeyExA", "RegSetValueExA", "RegDeleteKeyA", "DeleteService"}},
      {"RegSetValueExA", 2, REG_CREATED_NEW_KEY,
       {"RegCreateKeyExA", "RegSetValueExA", "RegSetValueExA", "RegDeleteKeyA",
        "DeleteService"}},
      // A key that was there before is left as it was.
      {"RegSetValueExA", 1, REG_OPENED_EXISTING_KEY,
       {"RegCreateKeyExA", "RegSetValueExA", "DeleteService"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Function) + " " + std::to_string(c.Nth));
    Fake.Reset();
    Fake.MessageTable = true;
    Fake.KeyDisposition = c.Disposition;
    Fake.Fail(c.Function, ERROR_ACCESS_DENIED, c.Nth);
    EXPECT_EQ(FailureLine("install", "QzSvc", ERROR_ACCESS_DENIED),
              Output([&] { App.CmdInstall(); }));
    EXPECT_EQ(ERROR_ACCESS_DENIED, App.Service->LastError);
    Calls expected = {"OpenSCManagerA", "CreateServiceA", "ChangeServiceConfig2A"};
    expected.insert(expected.end(), c.Expected.begin(), c.Expected.end());
    EXPECT_EQ(expected, Requests());
    // The service deleted is the one just created.
    EXPECT_EQ("QzSvc", Fake.Last("DeleteService").HandleName);
    if (Fake.Count("RegDeleteKeyA") > 0) {
      EXPECT_EQ(kSourceKey, Fake.Last("RegDeleteKeyA").Name);
      // The key is closed before it is deleted.
      std::vector<std::string> order;
      for (const PlatformCall& call : Fake.Calls()) {
        if (call.Function.rfind("Reg", 0) == 0) order.push_back(call.Function);
      }
      EXPECT_EQ("RegCloseKey", order[order.size() - 2]);
    }
    Fake.ExpectEveryHandleClosedOnce();
  }
}

TEST_F(TQZSvcAppCommandsTest, UninstallRemovesTheEventSourceKeyOnlyWithAMessageTable) {
  Output([&] { App.CmdUninstall(); });
  EXPECT_EQ(0, Fake.Count("RegDeleteKeyA"));

  struct Case {
    DWORD DeleteError;
    DWORD Reported;
  };
  // A key that is not there is already removed.
  const Case cases[] = {{0, 0}, {ERROR_FILE_NOT_FOUND, 0}, {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.DeleteError);
    Fake.Reset();
    Fake.MessageTable = true;
    Fake.Fail("RegDeleteKeyA", c.DeleteError);
    EXPECT_EQ(c.Reported == 0 ? SuccessLine("uninstall", "QzSvc")
                              : FailureLine("uninstall", "QzSvc", c.Reported),
              Output([&] { App.CmdUninstall(); }));
    EXPECT_EQ((Calls{"OpenSCManagerA", "OpenServiceA", "DeleteService", "RegDeleteKeyA"}),
              Requests());
    EXPECT_EQ(HKEY_LOCAL_MACHINE, Fake.Last("RegDeleteKeyA").Handle);
    EXPECT_EQ(kSourceKey, Fake.Last("RegDeleteKeyA").Name);
  }
  // A service that could not be deleted keeps its event source.
  Fake.Reset();
  Fake.MessageTable = true;
  Fake.Fail("DeleteService", ERROR_ACCESS_DENIED);
  EXPECT_EQ(FailureLine("uninstall", "QzSvc", ERROR_ACCESS_DENIED),
            Output([&] { App.CmdUninstall(); }));
  EXPECT_EQ(0, Fake.Count("RegDeleteKeyA"));
}

TEST_F(TQZSvcAppCommandsTest, InstalledCommandLineQuotesBlankNamesAndAppendsParameters) {
  struct Case { const char* File; const char* Params; const char* Expected; };
  const Case cases[] = {
      {"C:\\apps\\svc.exe", "", "C:\\apps\\svc.exe /service"},
      {"C:\\my apps\\svc.exe", "", "\"C:\\my apps\\svc.exe\" /service"},
      {"C:\\tab\there\\svc.exe", "", "\"C:\\tab\there\\svc.exe\" /service"},
      {"C:\\apps\\svc.exe", "-v x", "C:\\apps\\svc.exe /service -v x"},
      {"C:\\my apps\\svc.exe", "%s", "\"C:\\my apps\\svc.exe\" /service %s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.File);
    ModuleFileName = c.File;
    App.ServiceParams = c.Params;
    Output([&] { App.CmdInstall(); });
    EXPECT_EQ(c.Expected, Create().BinaryPath);
    EXPECT_EQ(c.Expected, Text(App.Service->BinaryPath));
  }
}

TEST_F(TQZSvcAppCommandsTest, InstallWithoutTheExecutableNameFailsBeforeTheScmIsAsked) {
  ModuleFileName = "";
  EXPECT_EQ(FailureLine("install", "QzSvc", ERROR_INVALID_PARAMETER),
            Output([&] { App.CmdInstall(); }));
  EXPECT_TRUE(Fake.Calls().empty());
}

TEST_F(TQZSvcAppCommandsTest, InstallRefusesAModulePathWithAnUnmappedCharacter) {
  // What GetModuleFileNameA gives under code page 1252 for a Japanese folder.
  for (const char* file : {"C:\\\xDC" "berwachung ?\\svc.exe", "C:\\apps\\svc?.exe",
                           "\\\\?\\C:\\?\\svc.exe"}) {
    SCOPED_TRACE(file);
    ModuleFileName = file;
    EXPECT_EQ(FailureLine("install", "QzSvc", ERROR_INVALID_NAME),
              Output([&] { App.CmdInstall(); }));
    EXPECT_TRUE(Fake.Calls().empty());
  }
  // The long-path prefix, UTF-8 and Shift-JIS bytes are a name's own.
  for (const char* file : {"\\\\?\\C:\\apps\\svc.exe",
                           "C:\\\xC3\x9C" "berwachung \xE7\x9B\xA3\xE8\xA6\x96\\svc.exe",
                           "C:\\\x83\x5C\x83\x74\x83\x67\\svc.exe"}) {
    SCOPED_TRACE(file);
    ModuleFileName = file;
    EXPECT_EQ(SuccessLine("install", "QzSvc"), Output([&] { App.CmdInstall(); }));
    EXPECT_EQ(1, Fake.Count("CreateServiceA"));
    Fake.Reset();
  }
}

TEST_F(TQZSvcAppCommandsTest, InstalledCommandLineFollowsTheSwitchTable) {
  App.Switches->Remove("/service", 2);
  ASSERT_EQ("", Text(App.GetServiceSwitch()));
  ModuleFileName = "C:\\my apps\\svc.exe";
  Output([&] { App.CmdInstall(); });
  EXPECT_EQ("\"C:\\my apps\\svc.exe\"", Create().BinaryPath);
  App.ServiceParams = "-x";
  Output([&] { App.CmdInstall(); });
  EXPECT_EQ("\"C:\\my apps\\svc.exe\" -x", Create().BinaryPath);

  App.Switches->Add("-Run", 2);
  App.ServiceParams = "";
  ModuleFileName = "C:\\svc.exe";
  Output([&] { App.CmdInstall(); });
  EXPECT_EQ("C:\\svc.exe -Run", Create().BinaryPath);
}

struct {
  int Code = 0, Argc = 0;
  char** Argv = nullptr;
} UserCall;
void RecordUser(int code, int argc, char** argv) {
  UserCall.Code = code;
  UserCall.Argc = argc;
  UserCall.Argv = argv;
}

TEST_F(TQZSvcAppCommandsTest, UserSwitchGoesToOnUserWithTheCommandLine) {
  char prog[] = "svc.exe", sw[] = "-nine";
  char* argv[] = {prog, sw, nullptr};
  App.OnUser = RecordUser;
  EXPECT_EQ("", Output([&] { App.CmdUser(9, 2, argv); }));
  EXPECT_EQ(9, UserCall.Code);
  EXPECT_EQ(2, UserCall.Argc);
  EXPECT_EQ(argv, UserCall.Argv);
  EXPECT_TRUE(Fake.Calls().empty());
}

TEST_F(TQZSvcAppCommandsTest, UserSwitchWithoutOnUserPrintsTitleAndDescription) {
  char prog[] = "svc.exe", sw[] = "-Nine";
  char* argv[] = {prog, sw, nullptr};
  App.SwitchDescriptions->Add(9, "nine things");
  EXPECT_EQ("Qz description\nswitch <-Nine> error: nine things callback "
            "<OnUser> is NULL.\n",
            Output([&] { App.CmdUser(9, 2, argv); }));
  EXPECT_EQ("Qz description\nswitch <-Nine> error: user-defined switch(-3) "
            "callback <OnUser> is NULL.\n",
            Output([&] { App.CmdUser(-3, 2, argv); }));

  TQZSvcApp verbatim("S", "D", "100%s %d%%");
  EXPECT_EQ("100%s %d%%\nswitch <-Nine> error: user-defined switch(12) "
            "callback <OnUser> is NULL.\n",
            Output([&] { verbatim.CmdUser(12, 2, argv); }));
  // Called without a switch argument, the switch shows as empty.
  EXPECT_EQ("Qz description\nswitch <> error: nine things callback <OnUser> "
            "is NULL.\n",
            Output([&] { App.CmdUser(9, 1, argv); }));
}

}  // namespace
