// Unit tests of the management commands and of TQZSvcObj::Install, against a
// fake service control manager behind the Win32 call table.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/lists.h"
#include "foundation/process_info.h"
#include "foundation/string.h"
#include "service/svc_app.h"
#include "service/svc_obj.h"
#include "tests/service/scoped_api.h"

namespace {

SC_HANDLE const FakeManager = reinterpret_cast<SC_HANDLE>(0x1000);
SC_HANDLE const FakeService = reinterpret_cast<SC_HANDLE>(0x2000);

// What the fake control manager is told to do and what it was handed. A
// non-zero error makes that call fail with it, set through SetLastError.
struct FakeScm {
  DWORD OpenManagerError = 0;
  DWORD OpenServiceError = 0;
  DWORD CreateError = 0;
  DWORD StartError = 0;
  DWORD ControlError = 0;
  DWORD StateAfterControl = SERVICE_STOPPED;
  DWORD DeleteError = 0;
  DWORD DescribeError = 0;
  DWORD AssignedTag = 0;

  std::vector<std::string> Calls;
  DWORD ManagerAccess = 0;
  DWORD ServiceAccess = 0;
  std::string OpenedName;
  // Create's texts; NullText marks a null pointer.
  std::string Name, Display, Binary, Group, Dependencies, Account, Password;
  DWORD CreateAccess = 0, Type = 0, Start = 0, ErrorControl = 0;
  LPDWORD TagPointer = nullptr;
  DWORD StartArgc = 0;
  bool StartArgvNull = false;
  std::vector<std::string> StartArgs;
  DWORD ControlCode = 0;
  DWORD DescribeLevel = 0;
  std::string DescriptionText;
  int Closed = 0;
};

FakeScm* Fake = nullptr;
const char* const NullText = "<null>";

std::string TextOrNull(LPCSTR s) { return s ? std::string(s) : NullText; }

std::string MultiStringOrNull(LPCSTR s) {
  if (!s) return NullText;
  const char* end = s;
  while (*end != '\0') end += std::char_traits<char>::length(end) + 1;
  return std::string(s, end - s + 1);
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

SC_HANDLE FailHandle(DWORD error) {
  SetLastError(error);
  return nullptr;
}

SC_HANDLE WINAPI FakeOpenManager(LPCSTR, LPCSTR, DWORD access) {
  Fake->Calls.push_back("OpenSCManager");
  Fake->ManagerAccess = access;
  if (Fake->OpenManagerError) return FailHandle(Fake->OpenManagerError);
  return FakeManager;
}

SC_HANDLE WINAPI FakeOpenService(SC_HANDLE, LPCSTR name, DWORD access) {
  Fake->Calls.push_back("OpenService");
  Fake->OpenedName = TextOrNull(name);
  Fake->ServiceAccess = access;
  if (Fake->OpenServiceError) return FailHandle(Fake->OpenServiceError);
  return FakeService;
}

SC_HANDLE WINAPI FakeCreate(SC_HANDLE, LPCSTR name, LPCSTR display,
                            DWORD access, DWORD type, DWORD start,
                            DWORD errorControl, LPCSTR binary, LPCSTR group,
                            LPDWORD tag, LPCSTR dependencies, LPCSTR account,
                            LPCSTR password) {
  FakeScm& f = *Fake;
  f.Calls.push_back("CreateService");
  f.Name = TextOrNull(name);
  f.Display = TextOrNull(display);
  f.CreateAccess = access;
  f.Type = type;
  f.Start = start;
  f.ErrorControl = errorControl;
  f.Binary = TextOrNull(binary);
  f.Group = TextOrNull(group);
  f.TagPointer = tag;
  f.Dependencies = MultiStringOrNull(dependencies);
  f.Account = TextOrNull(account);
  f.Password = TextOrNull(password);
  if (f.CreateError) return FailHandle(f.CreateError);
  if (tag) *tag = f.AssignedTag;
  return FakeService;
}

BOOL WINAPI FakeStart(SC_HANDLE, DWORD argc, LPCSTR* argv) {
  Fake->Calls.push_back("StartService");
  Fake->StartArgc = argc;
  Fake->StartArgvNull = argv == nullptr;
  for (DWORD i = 0; argv && i < argc; ++i) Fake->StartArgs.push_back(argv[i]);
  return Fake->StartError ? Fail(Fake->StartError) : TRUE;
}

BOOL WINAPI FakeControl(SC_HANDLE, DWORD control, LPSERVICE_STATUS status) {
  Fake->Calls.push_back("ControlService");
  Fake->ControlCode = control;
  if (Fake->ControlError) return Fail(Fake->ControlError);
  *status = SERVICE_STATUS{};
  status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status->dwCurrentState = Fake->StateAfterControl;
  return TRUE;
}

BOOL WINAPI FakeDelete(SC_HANDLE) {
  Fake->Calls.push_back("DeleteService");
  return Fake->DeleteError ? Fail(Fake->DeleteError) : TRUE;
}

BOOL WINAPI FakeDescribe(SC_HANDLE, DWORD level, LPVOID info) {
  Fake->Calls.push_back("ChangeServiceConfig2");
  Fake->DescribeLevel = level;
  Fake->DescriptionText =
      TextOrNull(static_cast<SERVICE_DESCRIPTIONA*>(info)->lpDescription);
  return Fake->DescribeError ? Fail(Fake->DescribeError) : TRUE;
}

BOOL WINAPI FakeClose(SC_HANDLE) {
  ++Fake->Closed;
  return TRUE;
}

std::string Text(const TQZString& s) { return std::string(s.Text(), s.Length()); }

std::string FailureLine(const char* verb, const char* name, DWORD code) {
  return std::string(verb) + " service <" + name + "> failure! reason(" +
         std::to_string(static_cast<int32_t>(code)) +
         "): " + Text(SystemErrorText(code)) + "\n";
}

std::string SuccessLine(const char* verb, const char* name) {
  return std::string(verb) + " service <" + name + "> success!\n";
}

class FakeScmTest : public testing::Test {
 protected:
  void SetUp() override {
    Fake = &Scm;
    Api->OpenSCManagerA = FakeOpenManager;
    Api->OpenServiceA = FakeOpenService;
    Api->CreateServiceA = FakeCreate;
    Api->StartServiceA = FakeStart;
    Api->ControlService = FakeControl;
    Api->DeleteService = FakeDelete;
    Api->ChangeServiceConfig2A = FakeDescribe;
    Api->CloseServiceHandle = FakeClose;
    SavedModuleFileName = ModuleFileName;
    ModuleFileName = "C:\\apps\\svc.exe";
  }
  void TearDown() override {
    ModuleFileName = SavedModuleFileName;
    Fake = nullptr;
  }

  template <typename F>
  std::string Output(F run) {
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
  }

  ScopedServiceApi Api;
  FakeScm Scm;
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
  const char* Operation;
  DWORD ControlCode;
};

const ControlCase ControlCases[] = {
    {"uninstall", &TQZSvcApp::CmdUninstall, SC_MANAGER_ALL_ACCESS,
     SERVICE_ALL_ACCESS, "DeleteService", 0},
    {"stop", &TQZSvcApp::CmdStop, ReadExecute, ReadExecute, "ControlService",
     SERVICE_CONTROL_STOP},
    {"pause", &TQZSvcApp::CmdPause, ReadExecute, ReadExecute,
     "ControlService", SERVICE_CONTROL_PAUSE},
    {"continue", &TQZSvcApp::CmdContinue, ReadExecute, ReadExecute,
     "ControlService", SERVICE_CONTROL_CONTINUE},
};

TEST_F(TQZSvcAppCommandsTest, ControlCommandsOpenByServiceNameActOnceAndPrintSuccess) {
  for (const ControlCase& c : ControlCases) {
    SCOPED_TRACE(c.Verb);
    Scm = FakeScm{};
    Scm.StateAfterControl = SERVICE_STOP_PENDING;
    EXPECT_EQ(SuccessLine(c.Verb, "QzSvc"), Output([&] { (App.*c.Command)(); }));
    EXPECT_EQ((Calls{"OpenSCManager", "OpenService", c.Operation}), Scm.Calls);
    EXPECT_EQ("QzSvc", Scm.OpenedName);
    EXPECT_EQ(c.ManagerAccess, Scm.ManagerAccess);
    EXPECT_EQ(c.ServiceAccess, Scm.ServiceAccess);
    EXPECT_EQ(c.ControlCode, Scm.ControlCode);
    EXPECT_EQ(2, Scm.Closed);
  }
}

TEST_F(TQZSvcAppCommandsTest, FailedOpenPrintsItsOwnErrorAndSkipsTheOperation) {
  for (const ControlCase& c : ControlCases) {
    SCOPED_TRACE(c.Verb);
    Scm = FakeScm{};
    Scm.OpenServiceError = ERROR_SERVICE_DOES_NOT_EXIST;
    EXPECT_EQ(FailureLine(c.Verb, "QzSvc", ERROR_SERVICE_DOES_NOT_EXIST),
              Output([&] { (App.*c.Command)(); }));
    EXPECT_EQ((Calls{"OpenSCManager", "OpenService"}), Scm.Calls);

    Scm = FakeScm{};
    Scm.OpenManagerError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(FailureLine(c.Verb, "QzSvc", ERROR_ACCESS_DENIED),
              Output([&] { (App.*c.Command)(); }));
    EXPECT_EQ((Calls{"OpenSCManager"}), Scm.Calls);
  }
}

TEST_F(TQZSvcAppCommandsTest, FailedOperationPrintsItsErrorCodeAndSystemText) {
  Scm.DeleteError = ERROR_SERVICE_MARKED_FOR_DELETE;
  EXPECT_EQ(FailureLine("uninstall", "QzSvc", ERROR_SERVICE_MARKED_FOR_DELETE),
            Output([&] { App.CmdUninstall(); }));
  Scm.ControlError = ERROR_SERVICE_NOT_ACTIVE;
  EXPECT_EQ(FailureLine("stop", "QzSvc", ERROR_SERVICE_NOT_ACTIVE),
            Output([&] { App.CmdStop(); }));
  Scm.ControlError = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  EXPECT_EQ(FailureLine("pause", "QzSvc", ERROR_SERVICE_CANNOT_ACCEPT_CTRL),
            Output([&] { App.CmdPause(); }));
  EXPECT_EQ(FailureLine("continue", "QzSvc", ERROR_SERVICE_CANNOT_ACCEPT_CTRL),
            Output([&] { App.CmdContinue(); }));
  Scm.StartError = ERROR_SERVICE_DISABLED;
  char prog[] = "svc.exe", sw[] = "-start";
  char* argv[] = {prog, sw, nullptr};
  EXPECT_EQ(FailureLine("start", "QzSvc", ERROR_SERVICE_DISABLED),
            Output([&] { App.CmdStart(2, argv); }));
  // A code above 0x7FFFFFFF is shown as the signed number it stores.
  Scm.ControlError = 0x80070005;
  EXPECT_NE(std::string::npos,
            Output([&] { App.CmdStop(); }).find("reason(-2147024891): "));
}

TEST_F(TQZSvcAppCommandsTest, StopAcceptedButStillRunningIsFailureWithReasonZero) {
  Scm.StateAfterControl = SERVICE_RUNNING;
  EXPECT_EQ(FailureLine("stop", "QzSvc", 0), Output([&] { App.CmdStop(); }));
  Scm.StateAfterControl = SERVICE_STOPPED;
  EXPECT_EQ(SuccessLine("stop", "QzSvc"), Output([&] { App.CmdStop(); }));
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
  EXPECT_EQ((Calls{"OpenSCManager", "OpenService", "StartService"}), Scm.Calls);
  EXPECT_EQ(ReadExecute, Scm.ServiceAccess);
  EXPECT_EQ(3u, Scm.StartArgc);
  EXPECT_EQ((std::vector<std::string>{"a", "b c", "\xE9\xFF"}), Scm.StartArgs);
  EXPECT_EQ(2, Scm.Closed);

  Scm = FakeScm{};
  Output([&] { App.CmdStart(2, argv); });
  EXPECT_EQ(0u, Scm.StartArgc);
  EXPECT_TRUE(Scm.StartArgvNull);
}

TEST_F(TQZSvcAppCommandsTest, StartWithAnEmptyArgumentIsRefusedBeforeTheScmIsAsked) {
  char prog[] = "svc.exe", sw[] = "-start", a[] = "a", empty[] = "";
  char* argv[] = {prog, sw, a, empty, nullptr};
  EXPECT_EQ(FailureLine("start", "QzSvc", ERROR_INVALID_PARAMETER),
            Output([&] { App.CmdStart(4, argv); }));
  EXPECT_TRUE(Scm.Calls.empty());
}

TEST_F(TQZSvcAppCommandsTest, StartOfRunningServiceCountsAsSuccess) {
  Scm.StartError = ERROR_SERVICE_ALREADY_RUNNING;
  char prog[] = "svc.exe", sw[] = "-start";
  char* argv[] = {prog, sw, nullptr};
  EXPECT_EQ(SuccessLine("start", "QzSvc"),
            Output([&] { App.CmdStart(2, argv); }));
}

TEST_F(TQZSvcObjInstallTest, RegistersTheDefinitionFields) {
  EXPECT_EQ(SuccessLine("install", "QzSvc"), Output([&] { App.CmdInstall(); }));
  EXPECT_EQ((Calls{"OpenSCManager", "CreateService", "ChangeServiceConfig2"}),
            Scm.Calls);
  EXPECT_EQ(DWORD(SC_MANAGER_ALL_ACCESS), Scm.ManagerAccess);
  EXPECT_EQ("QzSvc", Scm.Name);
  EXPECT_EQ("Qz display", Scm.Display);
  EXPECT_EQ(DWORD(SERVICE_ALL_ACCESS), Scm.CreateAccess);
  EXPECT_EQ(DWORD(SERVICE_WIN32_OWN_PROCESS), Scm.Type);
  EXPECT_EQ(DWORD(SERVICE_AUTO_START), Scm.Start);
  EXPECT_EQ(DWORD(SERVICE_ERROR_NORMAL), Scm.ErrorControl);
  EXPECT_EQ("C:\\apps\\svc.exe /service", Scm.Binary);
  EXPECT_EQ(NullText, Scm.Group);
  EXPECT_EQ(nullptr, Scm.TagPointer);
  EXPECT_EQ(NullText, Scm.Dependencies);
  EXPECT_EQ(NullText, Scm.Account);
  EXPECT_EQ(NullText, Scm.Password);
  EXPECT_EQ(DWORD(SERVICE_CONFIG_DESCRIPTION), Scm.DescribeLevel);
  EXPECT_EQ("Qz description", Scm.DescriptionText);
  EXPECT_EQ(2, Scm.Closed);
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
  EXPECT_EQ("Group", Scm.Group);
  EXPECT_EQ(".\\user", Scm.Account);
  EXPECT_EQ("secret", Scm.Password);
  EXPECT_EQ(DWORD(SERVICE_DEMAND_START), Scm.Start);
  EXPECT_EQ(DWORD(SERVICE_ERROR_IGNORE), Scm.ErrorControl);
  EXPECT_EQ("", Scm.Display);
  EXPECT_EQ("", Scm.Binary);
  // Without a description nothing is set afterwards.
  EXPECT_EQ((Calls{"OpenSCManager", "CreateService"}), Scm.Calls);
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
    EXPECT_EQ(c.Expected, Scm.Type);
  }
}

TEST_F(TQZSvcObjInstallTest, HandsTheTagPointerOnlyForANonZeroTag) {
  TQZSvcObj& svc = *App.Service;
  EXPECT_TRUE(svc.Install());
  EXPECT_EQ(nullptr, Scm.TagPointer);

  svc.TagId = 3;
  Scm.AssignedTag = 41;
  EXPECT_TRUE(svc.Install());
  EXPECT_EQ(reinterpret_cast<LPDWORD>(&svc.TagId), Scm.TagPointer);
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
  EXPECT_EQ(expected, Scm.Dependencies);
  EXPECT_NE(std::string::npos, Scm.Dependencies.find(std::string("+Net\0", 5)));
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
  EXPECT_EQ(std::string("Rpc\0+grp\0\0", 10), Scm.Dependencies);
}

TEST_F(TQZSvcObjInstallTest, SucceedsWhenOnlyTheDescriptionCannotBeSet) {
  Scm.DescribeError = ERROR_ACCESS_DENIED;
  App.Service->LastError = 99;
  EXPECT_EQ(SuccessLine("install", "QzSvc"), Output([&] { App.CmdInstall(); }));
  EXPECT_EQ(0u, App.Service->LastError);
  EXPECT_EQ(2, Scm.Closed);
}

TEST_F(TQZSvcObjInstallTest, FailurePrintsTheCreateOrOpenError) {
  Scm.CreateError = ERROR_SERVICE_EXISTS;
  EXPECT_EQ(FailureLine("install", "QzSvc", ERROR_SERVICE_EXISTS),
            Output([&] { App.CmdInstall(); }));
  EXPECT_EQ(ERROR_SERVICE_EXISTS, App.Service->LastError);
  EXPECT_EQ((Calls{"OpenSCManager", "CreateService"}), Scm.Calls);
  EXPECT_EQ(1, Scm.Closed);

  Scm = FakeScm{};
  Scm.OpenManagerError = ERROR_ACCESS_DENIED;
  EXPECT_FALSE(App.Service->Install());
  EXPECT_EQ(ERROR_ACCESS_DENIED, App.Service->LastError);
  EXPECT_EQ((Calls{"OpenSCManager"}), Scm.Calls);
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
  EXPECT_TRUE(Scm.Calls.empty());
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
    EXPECT_EQ(c.Expected, Scm.Binary);
    EXPECT_EQ(c.Expected, Text(App.Service->BinaryPath));
  }
}

TEST_F(TQZSvcAppCommandsTest, InstallWithoutTheExecutableNameFailsBeforeTheScmIsAsked) {
  ModuleFileName = "";
  EXPECT_EQ(FailureLine("install", "QzSvc", ERROR_INVALID_PARAMETER),
            Output([&] { App.CmdInstall(); }));
  EXPECT_TRUE(Scm.Calls.empty());
}

TEST_F(TQZSvcAppCommandsTest, InstalledCommandLineFollowsTheSwitchTable) {
  App.Switches->Remove("/service", 2);
  ASSERT_EQ("", Text(App.GetServiceSwitch()));
  ModuleFileName = "C:\\my apps\\svc.exe";
  Output([&] { App.CmdInstall(); });
  EXPECT_EQ("\"C:\\my apps\\svc.exe\"", Scm.Binary);
  App.ServiceParams = "-x";
  Output([&] { App.CmdInstall(); });
  EXPECT_EQ("\"C:\\my apps\\svc.exe\" -x", Scm.Binary);

  App.Switches->Add("-Run", 2);
  App.ServiceParams = "";
  ModuleFileName = "C:\\svc.exe";
  Output([&] { App.CmdInstall(); });
  EXPECT_EQ("C:\\svc.exe -Run", Scm.Binary);
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
  EXPECT_TRUE(Scm.Calls.empty());
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
