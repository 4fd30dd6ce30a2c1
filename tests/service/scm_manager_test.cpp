// Tests of the SCM client and its argument builders, mostly through the
// replaceable Win32 call table.
#include "service/scm_manager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/service/scoped_api.h"

namespace {

// A text argument as the system received it.
struct Text {
  bool Null = true;
  std::string Value;
};

Text Capture(LPCSTR s) {
  Text t;
  t.Null = s == nullptr;
  if (s != nullptr) t.Value = s;
  return t;
}

// The bytes of a double-NUL-terminated list, both final NULs included.
Text CaptureMultiString(LPCSTR s) {
  Text t;
  t.Null = s == nullptr;
  if (s == nullptr) return t;
  size_t n = 0;
  while (s[n] != '\0' || s[n + 1] != '\0') ++n;
  t.Value.assign(s, n + 2);
  return t;
}

struct CreateCall {
  SC_HANDLE Manager;
  Text Name, DisplayName, BinaryPath, LoadOrderGroup, Dependencies, Account,
      Password;
  DWORD Access, ServiceType, StartType, ErrorControl;
  LPDWORD TagId;
};

// Every call is numbered; call number FailAt fails with FailCode, and a
// function named in FailAlways fails on every call.
struct ScmFake {
  std::vector<std::string> Calls;
  int FailAt = 0;
  DWORD FailCode = 0;
  std::map<std::string, DWORD> FailAlways;
  uintptr_t NextHandle = 0x100;
  std::set<SC_HANDLE> Open;
  std::map<SC_HANDLE, int> Closes;
  int BadCloses = 0;

  struct {
    bool MachineNull, DatabaseNull;
    DWORD Access;
  } Manager{};
  struct {
    SC_HANDLE Manager;
    Text Name;
    DWORD Access;
  } Service{};
  CreateCall Create{};
  struct {
    SC_HANDLE Service;
    DWORD Argc;
    bool ArgvNull;
    std::vector<Text> Argv;
  } Start{};
  std::vector<DWORD> Controls;
  DWORD ReplyState = SERVICE_STOP_PENDING;
  SC_HANDLE Deleted = nullptr;
  struct {
    SC_HANDLE Service;
    DWORD Level;
    Text Description;
  } Config{};

  // Records the call; true when it is to fail, with the thread's error set.
  bool Enter(const char* name) {
    Calls.push_back(name);
    DWORD code = 0;
    if (static_cast<int>(Calls.size()) == FailAt) {
      code = FailCode;
    } else {
      auto it = FailAlways.find(name);
      if (it == FailAlways.end()) return false;
      code = it->second;
    }
    SetLastError(code);
    return true;
  }

  SC_HANDLE NewHandle() {
    NextHandle += 4;
    SC_HANDLE handle = reinterpret_cast<SC_HANDLE>(NextHandle);
    Open.insert(handle);
    return handle;
  }

  size_t Opened() const { return Closes.size() + Open.size(); }
};

ScmFake* Fake = nullptr;

SC_HANDLE WINAPI FakeOpenSCManagerA(LPCSTR machine, LPCSTR database,
                                    DWORD access) {
  Fake->Manager = {machine == nullptr, database == nullptr, access};
  if (Fake->Enter("OpenSCManagerA")) return nullptr;
  return Fake->NewHandle();
}

SC_HANDLE WINAPI FakeOpenServiceA(SC_HANDLE manager, LPCSTR name,
                                  DWORD access) {
  Fake->Service = {manager, Capture(name), access};
  if (Fake->Enter("OpenServiceA")) return nullptr;
  return Fake->NewHandle();
}

SC_HANDLE WINAPI FakeCreateServiceA(SC_HANDLE manager, LPCSTR name,
                                    LPCSTR displayName, DWORD access,
                                    DWORD serviceType, DWORD startType,
                                    DWORD errorControl, LPCSTR binaryPath,
                                    LPCSTR loadOrderGroup, LPDWORD tagId,
                                    LPCSTR dependencies,
                                    LPCSTR serviceStartName, LPCSTR password) {
  CreateCall& c = Fake->Create;
  c.Manager = manager;
  c.Name = Capture(name);
  c.DisplayName = Capture(displayName);
  c.Access = access;
  c.ServiceType = serviceType;
  c.StartType = startType;
  c.ErrorControl = errorControl;
  c.BinaryPath = Capture(binaryPath);
  c.LoadOrderGroup = Capture(loadOrderGroup);
  c.TagId = tagId;
  c.Dependencies = CaptureMultiString(dependencies);
  c.Account = Capture(serviceStartName);
  c.Password = Capture(password);
  if (Fake->Enter("CreateServiceA")) return nullptr;
  return Fake->NewHandle();
}

BOOL WINAPI FakeStartServiceA(SC_HANDLE service, DWORD argc, LPCSTR* argv) {
  Fake->Start.Service = service;
  Fake->Start.Argc = argc;
  Fake->Start.ArgvNull = argv == nullptr;
  Fake->Start.Argv.clear();
  for (DWORD i = 0; argv != nullptr && i < argc; ++i) {
    Fake->Start.Argv.push_back(Capture(argv[i]));
  }
  return !Fake->Enter("StartServiceA");
}

BOOL WINAPI FakeControlService(SC_HANDLE, DWORD control,
                               LPSERVICE_STATUS status) {
  Fake->Controls.push_back(control);
  if (Fake->Enter("ControlService")) return FALSE;
  status->dwCurrentState = Fake->ReplyState;
  status->dwWaitHint = 5000;
  return TRUE;
}

BOOL WINAPI FakeDeleteService(SC_HANDLE service) {
  Fake->Deleted = service;
  return !Fake->Enter("DeleteService");
}

BOOL WINAPI FakeChangeServiceConfig2A(SC_HANDLE service, DWORD level,
                                      LPVOID info) {
  Fake->Config.Service = service;
  Fake->Config.Level = level;
  Fake->Config.Description =
      Capture(static_cast<SERVICE_DESCRIPTIONA*>(info)->lpDescription);
  return !Fake->Enter("ChangeServiceConfig2A");
}

// Even a successful close leaves its own last error behind, so a caller that
// reads GetLastError after closing sees the wrong code.
BOOL WINAPI FakeCloseServiceHandle(SC_HANDLE handle) {
  ++Fake->Closes[handle];
  if (Fake->Open.erase(handle) == 0) ++Fake->BadCloses;
  bool fail = Fake->Enter("CloseServiceHandle");
  SetLastError(fail ? Fake->FailCode : ERROR_INVALID_HANDLE);
  return !fail;
}

class TQZSCManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Fake = &State;
    Api->OpenSCManagerA = FakeOpenSCManagerA;
    Api->OpenServiceA = FakeOpenServiceA;
    Api->CreateServiceA = FakeCreateServiceA;
    Api->StartServiceA = FakeStartServiceA;
    Api->ControlService = FakeControlService;
    Api->DeleteService = FakeDeleteService;
    Api->ChangeServiceConfig2A = FakeChangeServiceConfig2A;
    Api->CloseServiceHandle = FakeCloseServiceHandle;
  }
  void TearDown() override { Fake = nullptr; }

  // Every handle handed out was closed, and none twice.
  void ExpectNoHandleLeft() {
    EXPECT_TRUE(State.Open.empty());
    EXPECT_EQ(State.BadCloses, 0);
    for (const auto& entry : State.Closes) EXPECT_EQ(entry.second, 1);
  }

  bool CreateTestSvc(TQZSCManager& m, TQZStringList* dependencies = nullptr) {
    return m.Create("TestSvc", "C:\\svc.exe /service", "Service demo",
                    SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                    SERVICE_ERROR_NORMAL, nullptr, "", "", "", dependencies);
  }

  ScopedServiceApi Api;
  ScmFake State;
};

// Access rights.

TEST_F(TQZSCManagerTest, OpenWithoutFullAccessAsksReadAndExecuteOfBoth) {
  TQZSCManager m;
  ASSERT_TRUE(m.Open("TestSvc", false));
  EXPECT_TRUE(State.Manager.MachineNull);
  EXPECT_TRUE(State.Manager.DatabaseNull);
  EXPECT_EQ(State.Manager.Access, 0xA0000000u);
  EXPECT_EQ(State.Service.Access, 0xA0000000u);
  EXPECT_EQ(State.Service.Manager, m.ManagerHandle.load());
  EXPECT_EQ(State.Service.Name.Value, "TestSvc");
  EXPECT_TRUE(m.ServiceOpen);
  EXPECT_EQ(std::string(m.ServiceName.Text()), "TestSvc");
  EXPECT_EQ(m.LastError, 0u);
  EXPECT_NE(m.ServiceHandle.load(), nullptr);
}

TEST_F(TQZSCManagerTest, OpenWithFullAccessAsksAllAccessOfBoth) {
  TQZSCManager m;
  ASSERT_TRUE(m.Open("TestSvc", true));
  EXPECT_EQ(State.Manager.Access, 0x000F003Fu);
  EXPECT_EQ(State.Service.Access, 0x000F01FFu);
}

TEST_F(TQZSCManagerTest, CreateAlwaysAsksAllAccessOfManagerAndNewService) {
  TQZSCManager m;
  ASSERT_TRUE(CreateTestSvc(m));
  EXPECT_EQ(State.Manager.Access, 0x000F003Fu);
  EXPECT_EQ(State.Create.Access, 0x000F01FFu);
  EXPECT_EQ(State.Create.Manager, m.ManagerHandle.load());
  EXPECT_TRUE(m.ServiceOpen);
  EXPECT_EQ(std::string(m.ServiceName.Text()), "TestSvc");
}

TEST_F(TQZSCManagerTest, LoneOpenManagerLeavesTheServiceClosed) {
  TQZSCManager m;
  ASSERT_TRUE(m.OpenManager(false));
  EXPECT_EQ(State.Manager.Access, 0xA0000000u);
  EXPECT_NE(m.ManagerHandle.load(), nullptr);
  EXPECT_FALSE(m.ServiceOpen);
  EXPECT_FALSE(m.Start(nullptr));
  EXPECT_EQ(State.Calls, std::vector<std::string>{"OpenSCManagerA"});
}

// The arguments of a create.

TEST_F(TQZSCManagerTest, CreatePassesEveryArgumentInOrder) {
  TQZStringList dependencies;
  dependencies.Add("A");
  dependencies.Add("B");
  DWORD tag = 0;
  TQZSCManager m;
  ASSERT_TRUE(m.Create("Name", "Path", "Display", 0x10, 2, 3,
                       reinterpret_cast<uint32_t*>(&tag), "Group", "Account",
                       "Password", &dependencies));
  const CreateCall& c = State.Create;
  EXPECT_EQ(c.Name.Value, "Name");
  EXPECT_EQ(c.DisplayName.Value, "Display");
  EXPECT_EQ(c.BinaryPath.Value, "Path");
  EXPECT_EQ(c.ServiceType, 0x10u);
  EXPECT_EQ(c.StartType, 2u);
  EXPECT_EQ(c.ErrorControl, 3u);
  EXPECT_EQ(c.LoadOrderGroup.Value, "Group");
  EXPECT_EQ(c.Account.Value, "Account");
  EXPECT_EQ(c.Password.Value, "Password");
  EXPECT_EQ(c.TagId, &tag);
  ASSERT_FALSE(c.Dependencies.Null);
  EXPECT_EQ(c.Dependencies.Value, std::string("A\0B\0\0", 5));
}

TEST_F(TQZSCManagerTest, CreateWithEmptyTextsPassesEmptyNamesAndPathButNullOthers) {
  TQZStringList none;
  for (TQZStringList* dependencies : {static_cast<TQZStringList*>(nullptr), &none}) {
    TQZSCManager m;
    ASSERT_TRUE(m.Create("", "", "", 0x10, 3, 1, nullptr, "", "", "",
                         dependencies));
    const CreateCall& c = State.Create;
    EXPECT_FALSE(c.Name.Null);
    EXPECT_EQ(c.Name.Value, "");
    EXPECT_FALSE(c.DisplayName.Null);
    EXPECT_EQ(c.DisplayName.Value, "");
    EXPECT_FALSE(c.BinaryPath.Null);
    EXPECT_EQ(c.BinaryPath.Value, "");
    EXPECT_TRUE(c.LoadOrderGroup.Null);
    EXPECT_TRUE(c.Account.Null);
    EXPECT_TRUE(c.Password.Null);
    EXPECT_TRUE(c.Dependencies.Null);
    EXPECT_EQ(c.TagId, nullptr);
  }
}

TEST_F(TQZSCManagerTest, CreatePassesGroupDependenciesAsTheyAre) {
  TQZStringList dependencies;
  dependencies.Add("+grp");
  dependencies.Add("RpcSs");
  TQZSCManager m;
  ASSERT_TRUE(CreateTestSvc(m, &dependencies));
  EXPECT_EQ(State.Create.Dependencies.Value,
            std::string("+grp\0RpcSs\0\0", 12));
}

// The last-error rule.

TEST_F(TQZSCManagerTest, ServiceOperationsOnAFreshObjectMakeNoCallAndLeaveZero) {
  TQZSCManager m;
  TQZStringList arguments;
  arguments.Add("x");
  EXPECT_FALSE(m.Start(&arguments));
  EXPECT_FALSE(m.Stop());
  EXPECT_FALSE(m.Pause());
  EXPECT_FALSE(m.Continue());
  EXPECT_FALSE(m.Delete());
  EXPECT_FALSE(m.SetDescription("d"));
  EXPECT_TRUE(State.Calls.empty());
  EXPECT_EQ(m.LastError, 0u);
}

TEST_F(TQZSCManagerTest, FailedManagerOpenKeepsItsCodeAndOpensNoService) {
  State.FailAlways["OpenSCManagerA"] = ERROR_ACCESS_DENIED;
  TQZSCManager m;
  EXPECT_FALSE(m.Open("TestSvc", true));
  EXPECT_EQ(m.LastError, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(State.Calls, std::vector<std::string>{"OpenSCManagerA"});
  EXPECT_FALSE(m.ServiceOpen);
  EXPECT_EQ(m.ManagerHandle.load(), nullptr);

  EXPECT_FALSE(m.Delete());
  EXPECT_FALSE(m.Stop());
  EXPECT_EQ(m.LastError, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(State.Calls.size(), 1u);
}

TEST_F(TQZSCManagerTest, FailedServiceOpenClosesTheManagerAndKeepsItsCode) {
  State.FailAlways["OpenServiceA"] = ERROR_SERVICE_DOES_NOT_EXIST;
  TQZSCManager m;
  EXPECT_FALSE(m.Open("TestSvc", false));
  // The manager's close ran after the failure and left its own error.
  EXPECT_EQ(m.LastError, static_cast<uint32_t>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_EQ(m.ManagerHandle.load(), nullptr);
  EXPECT_EQ(m.ServiceName.Length(), 0);
  EXPECT_FALSE(m.ServiceOpen);
  ExpectNoHandleLeft();
  EXPECT_EQ(State.Closes.size(), 1u);

  EXPECT_FALSE(m.Start(nullptr));
  EXPECT_EQ(m.LastError, static_cast<uint32_t>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(TQZSCManagerTest, FailedCreateClosesTheManagerAndKeepsItsCode) {
  State.FailAlways["CreateServiceA"] = ERROR_SERVICE_EXISTS;
  TQZSCManager m;
  EXPECT_FALSE(CreateTestSvc(m));
  EXPECT_EQ(m.LastError, static_cast<uint32_t>(ERROR_SERVICE_EXISTS));
  EXPECT_FALSE(m.ServiceOpen);
  EXPECT_EQ(m.ServiceName.Length(), 0);
  ExpectNoHandleLeft();
  EXPECT_FALSE(m.SetDescription("d"));
  EXPECT_EQ(m.LastError, static_cast<uint32_t>(ERROR_SERVICE_EXISTS));
}

TEST_F(TQZSCManagerTest, StartOfARunningServiceCountsAsStartedWithItsCode) {
  TQZSCManager m;
  ASSERT_TRUE(m.Open("TestSvc", false));
  State.FailAlways["StartServiceA"] = ERROR_SERVICE_ALREADY_RUNNING;
  EXPECT_TRUE(m.Start(nullptr));
  EXPECT_EQ(m.LastError, static_cast<uint32_t>(ERROR_SERVICE_ALREADY_RUNNING));

  State.FailAlways["StartServiceA"] = ERROR_SERVICE_DISABLED;
  EXPECT_FALSE(m.Start(nullptr));
  EXPECT_EQ(m.LastError, static_cast<uint32_t>(ERROR_SERVICE_DISABLED));

  State.FailAlways.clear();
  EXPECT_TRUE(m.Start(nullptr));
  EXPECT_EQ(m.LastError, 0u);
  EXPECT_EQ(State.Start.Service, m.ServiceHandle.load());
}

TEST_F(TQZSCManagerTest, StopSucceedsOnlyWhenTheServiceReportsStoppingOrStopped) {
  TQZSCManager m;
  ASSERT_TRUE(m.Open("TestSvc", false));
  for (DWORD state = SERVICE_STOPPED; state <= SERVICE_PAUSED; ++state) {
    SCOPED_TRACE(state);
    State.ReplyState = state;
    m.LastError = 99;
    bool expected = state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING;
    EXPECT_EQ(m.Stop(), expected);
    EXPECT_EQ(m.LastError, 0u);
    EXPECT_EQ(m.Status.CurrentState, state);
    EXPECT_EQ(State.Controls.back(), static_cast<DWORD>(SERVICE_CONTROL_STOP));
  }
  State.FailAlways["ControlService"] = ERROR_SERVICE_NOT_ACTIVE;
  EXPECT_FALSE(m.Stop());
  EXPECT_EQ(m.LastError, static_cast<uint32_t>(ERROR_SERVICE_NOT_ACTIVE));
}

TEST_F(TQZSCManagerTest, PauseAndContinueSendTheirCodesAndIgnoreTheState) {
  TQZSCManager m;
  ASSERT_TRUE(m.Open("TestSvc", false));
  State.ReplyState = SERVICE_RUNNING;
  m.LastError = 99;
  EXPECT_TRUE(m.Pause());
  EXPECT_EQ(m.LastError, 0u);
  m.LastError = 99;
  EXPECT_TRUE(m.Continue());
  EXPECT_EQ(m.LastError, 0u);
  EXPECT_EQ(State.Controls,
            (std::vector<DWORD>{SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE}));

  State.FailAlways["ControlService"] = ERROR_INVALID_SERVICE_CONTROL;
  EXPECT_FALSE(m.Pause());
  EXPECT_EQ(m.LastError, static_cast<uint32_t>(ERROR_INVALID_SERVICE_CONTROL));
  m.LastError = 0;
  EXPECT_FALSE(m.Continue());
  EXPECT_EQ(m.LastError, static_cast<uint32_t>(ERROR_INVALID_SERVICE_CONTROL));
}

TEST_F(TQZSCManagerTest, DeleteKeepsTheHandlesOpenAndFollowsTheErrorRule) {
  TQZSCManager m;
  ASSERT_TRUE(m.Open("TestSvc", true));
  m.LastError = 99;
  EXPECT_TRUE(m.Delete());
  EXPECT_EQ(State.Deleted, m.ServiceHandle.load());
  EXPECT_EQ(m.LastError, 0u);
  EXPECT_TRUE(m.ServiceOpen);
  EXPECT_TRUE(State.Closes.empty());

  State.FailAlways["DeleteService"] = ERROR_SERVICE_MARKED_FOR_DELETE;
  EXPECT_FALSE(m.Delete());
  EXPECT_EQ(m.LastError,
            static_cast<uint32_t>(ERROR_SERVICE_MARKED_FOR_DELETE));
}

TEST_F(TQZSCManagerTest, SetDescriptionPassesTheTextOrAnEmptyOne) {
  TQZSCManager m;
  ASSERT_TRUE(CreateTestSvc(m));
  EXPECT_TRUE(m.SetDescription("Test TQZSvcApp demo"));
  EXPECT_EQ(State.Config.Service, m.ServiceHandle.load());
  EXPECT_EQ(State.Config.Level, static_cast<DWORD>(SERVICE_CONFIG_DESCRIPTION));
  EXPECT_EQ(State.Config.Description.Value, "Test TQZSvcApp demo");

  EXPECT_TRUE(m.SetDescription(TQZString()));
  EXPECT_FALSE(State.Config.Description.Null);
  EXPECT_EQ(State.Config.Description.Value, "");

  State.FailAlways["ChangeServiceConfig2A"] = ERROR_ACCESS_DENIED;
  EXPECT_FALSE(m.SetDescription("d"));
  EXPECT_EQ(m.LastError, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
}

// Closing.

TEST_F(TQZSCManagerTest, CloseTwiceClosesEachHandleOnceAndResetsTheFields) {
  TQZSCManager m;
  ASSERT_TRUE(m.Open("TestSvc", false));
  ASSERT_TRUE(m.Stop());
  SC_HANDLE manager = static_cast<SC_HANDLE>(m.ManagerHandle.load());
  SC_HANDLE service = static_cast<SC_HANDLE>(m.ServiceHandle.load());
  m.LastError = 7;
  m.Close();
  EXPECT_EQ(State.Closes[manager], 1);
  EXPECT_EQ(State.Closes[service], 1);
  EXPECT_FALSE(m.ServiceOpen);
  EXPECT_EQ(m.ServiceName.Length(), 0);
  EXPECT_EQ(m.LastError, 0u);
  EXPECT_EQ(m.ManagerHandle.load(), nullptr);
  EXPECT_EQ(m.ServiceHandle.load(), nullptr);
  EXPECT_EQ(m.Status.CurrentState, 0u);
  EXPECT_EQ(m.Status.WaitHint, 0u);
  m.Close();
  EXPECT_EQ(State.Calls.size(), 5u);
  ExpectNoHandleLeft();
}

TEST_F(TQZSCManagerTest, DestructorAndReopeningCloseEveryEarlierHandle) {
  {
    TQZSCManager m;
    ASSERT_TRUE(m.Open("One", false));
    ASSERT_TRUE(m.Open("Two", true));
    EXPECT_EQ(State.Closes.size(), 2u);
    EXPECT_EQ(std::string(m.ServiceName.Text()), "Two");
    ASSERT_TRUE(CreateTestSvc(m));
    EXPECT_EQ(State.Closes.size(), 4u);
  }
  EXPECT_EQ(State.Opened(), 6u);
  ExpectNoHandleLeft();
}

// Each platform call of each command fails once, at every step in turn.

struct Step {
  const char* Name;
  std::function<bool(TQZSCManager&)> Run;
};

struct Command {
  const char* Name;
  std::vector<Step> Steps;
};

std::vector<Command> Commands(TQZStringList* arguments,
                              TQZStringList* dependencies) {
  auto open = [](bool full) {
    return Step{"Open", [full](TQZSCManager& m) { return m.Open("TestSvc", full); }};
  };
  return {
      {"uninstall", {open(true), {"Delete", [](TQZSCManager& m) { return m.Delete(); }}}},
      {"start", {open(false), {"Start", [arguments](TQZSCManager& m) { return m.Start(arguments); }}}},
      {"stop", {open(false), {"Stop", [](TQZSCManager& m) { return m.Stop(); }}}},
      {"pause", {open(false), {"Pause", [](TQZSCManager& m) { return m.Pause(); }}}},
      {"continue", {open(false), {"Continue", [](TQZSCManager& m) { return m.Continue(); }}}},
      {"install",
       {{"Create",
         [dependencies](TQZSCManager& m) {
           return m.Create("TestSvc", "C:\\svc.exe /service", "Service demo",
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                           SERVICE_ERROR_NORMAL, nullptr, "", "", "",
                           dependencies);
         }},
        {"SetDescription",
         [](TQZSCManager& m) { return m.SetDescription("Test TQZSvcApp demo"); }}}},
  };
}

TEST_F(TQZSCManagerTest, EveryFailingCallGivesItsResultAndLeavesNoHandleOpen) {
  TQZStringList arguments;
  arguments.Add("-x");
  arguments.Add("");
  TQZStringList dependencies;
  dependencies.Add("+grp");
  for (const Command& command : Commands(&arguments, &dependencies)) {
    SCOPED_TRACE(command.Name);
    State = ScmFake();
    {
      TQZSCManager m;
      for (const Step& step : command.Steps) ASSERT_TRUE(step.Run(m)) << step.Name;
      m.Close();
    }
    const std::vector<std::string> calls = State.Calls;
    ASSERT_GE(calls.size(), 5u);

    for (size_t failAt = 1; failAt <= calls.size(); ++failAt) {
      SCOPED_TRACE(calls[failAt - 1] + " failing as call " +
                   std::to_string(failAt));
      State = ScmFake();
      State.FailAt = static_cast<int>(failAt);
      State.FailCode = 2000 + static_cast<DWORD>(failAt);
      EXPECT_NO_THROW({
        TQZSCManager m;
        bool failed = false;
        for (size_t i = 0; i < command.Steps.size(); ++i) {
          const Step& step = command.Steps[i];
          size_t before = State.Calls.size();
          bool result = step.Run(m);
          bool hit = before < failAt && failAt <= State.Calls.size();
          if (failed) {
            // After a failed open, the operation is refused without a call
            // and the open's code stays.
            EXPECT_FALSE(result) << step.Name;
            EXPECT_EQ(State.Calls.size(), before) << step.Name;
            EXPECT_EQ(m.LastError, State.FailCode) << step.Name;
            continue;
          }
          EXPECT_EQ(result, !hit) << step.Name;
          if (hit) {
            EXPECT_EQ(m.LastError, State.FailCode) << step.Name;
            if (i > 0) break;
            failed = true;
            EXPECT_FALSE(m.ServiceOpen);
            EXPECT_EQ(m.ManagerHandle.load(), nullptr);
            EXPECT_EQ(m.ServiceHandle.load(), nullptr);
          } else {
            EXPECT_EQ(m.LastError, 0u) << step.Name;
          }
        }
        m.Close();
      });
      ExpectNoHandleLeft();
    }
  }
}

// The argument builders.

TEST(TQZMakeMultiStringTest, NoListOrNoItemsGivesTheEmptyString) {
  TQZStringList empty;
  EXPECT_EQ(MakeMultiString(nullptr).Data(), nullptr);
  EXPECT_EQ(MakeMultiString(&empty).Data(), nullptr);
}

TEST(TQZMakeMultiStringTest, ItemsFollowEachOtherInListOrderWithNulsAndAFinalNul) {
  TQZStringList list;
  list.Add("zeta");
  list.Add("");
  list.Add(MakeString("a\0b", 3));
  list.Add("+grp");
  TQZString s = MakeMultiString(&list);
  ASSERT_EQ(s.Length(), 5 + 1 + 4 + 5 + 1);
  EXPECT_EQ(std::string(s.Data(), s.Length()),
            std::string("zeta\0\0a\0b\0+grp\0\0", 16));
  EXPECT_EQ(s.Text()[s.Length()], '\0');
}

TEST(TQZMakeMultiStringTest, LengthsThatWouldWrapAThirtyTwoBitSumGiveEmpty) {
  // 256 items of 2^24 bytes sum to 2^32 + 257: a 32-bit sum would wrap to a
  // 257-byte buffer. The items share one block, so this costs 16 MiB.
  TQZString big = RepeatChar('x', 1 << 24);
  ASSERT_EQ(big.Length(), 1 << 24);
  TQZStringList list;
  for (int i = 0; i < 256; ++i) ASSERT_EQ(list.Add(big), i);
  TQZString s = MakeMultiString(&list);
  EXPECT_EQ(s.Length(), 0);
  EXPECT_EQ(s.Data(), nullptr);
}

TEST(TQZMakeArgVectorTest, NoListOrNoItemsGivesTheEmptyString) {
  TQZStringList empty;
  EXPECT_EQ(MakeArgVector(nullptr).Data(), nullptr);
  EXPECT_EQ(MakeArgVector(&empty).Data(), nullptr);
}

TEST(TQZMakeArgVectorTest, EntriesPointIntoTheItemsOwnBlocksAndEmptyItemsAreNull) {
  TQZStringList list;
  list.Add("one");
  list.Add("");
  list.Add("three");
  TQZString vector = MakeArgVector(&list);
  ASSERT_EQ(vector.Length(), 3 * static_cast<int32_t>(sizeof(char*)));
  char** entries = reinterpret_cast<char**>(vector.Data());
  EXPECT_EQ(entries[0], list.GetString(0).Data());
  EXPECT_EQ(entries[1], nullptr);
  EXPECT_EQ(entries[2], list.GetString(2).Data());
  EXPECT_STREQ(entries[2], "three");
}

TEST_F(TQZSCManagerTest, StartPassesTheListCountAndItsTextsWithEmptyItemsAsEmptyTexts) {
  TQZSCManager m;
  ASSERT_TRUE(m.Open("TestSvc", false));
  TQZStringList arguments;
  arguments.Add("-port");
  arguments.Add("");
  arguments.Add("8080");
  ASSERT_TRUE(m.Start(&arguments));
  EXPECT_EQ(State.Start.Argc, 3u);
  ASSERT_EQ(State.Start.Argv.size(), 3u);
  EXPECT_EQ(State.Start.Argv[0].Value, "-port");
  // The empty item goes as an empty argument, never as a null entry.
  EXPECT_FALSE(State.Start.Argv[1].Null);
  EXPECT_EQ(State.Start.Argv[1].Value, "");
  EXPECT_EQ(State.Start.Argv[2].Value, "8080");

  TQZStringList none;
  for (TQZStringList* list : {static_cast<TQZStringList*>(nullptr), &none}) {
    ASSERT_TRUE(m.Start(list));
    EXPECT_EQ(State.Start.Argc, 0u);
    EXPECT_TRUE(State.Start.ArgvNull);
  }
}

// Against the prefix's real service control manager; creates nothing.
TEST(TQZSCManagerWineTest, OpenOfAnUnknownServiceFailsWithServiceDoesNotExist) {
  ScopedServiceApi real;
  TQZSCManager m;
  EXPECT_FALSE(m.Open("QzScmTestNoSuchService", false));
  EXPECT_EQ(m.LastError, static_cast<uint32_t>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_FALSE(m.ServiceOpen);
  EXPECT_EQ(m.ManagerHandle.load(), nullptr);
  EXPECT_EQ(m.ServiceName.Length(), 0);
}

}  // namespace
