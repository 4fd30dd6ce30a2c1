// Tests of the SCM client and its argument builders, mostly through the
// replaceable Win32 call table.
#include "service/scm_manager.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/service/fake_platform.h"

namespace {

class TQZSCManagerTest : public ::testing::Test {
 protected:
  // The functions called so far, in order.
  std::vector<std::string> Functions() const {
    std::vector<std::string> names;
    for (const PlatformCall& call : Fake.Calls()) names.push_back(call.Function);
    return names;
  }
  std::vector<DWORD> Controls() const {
    std::vector<DWORD> codes;
    for (const PlatformCall& call : Fake.CallsOf("ControlService")) codes.push_back(call.Control);
    return codes;
  }

  // Every handle handed out was closed, and none twice.
  void ExpectNoHandleLeft() {
    Fake.ExpectEveryHandleClosedOnce();
    EXPECT_EQ(Fake.BadHandleUses(), 0);
  }

  bool CreateTestSvc(TQZSCManager& m, TQZStringList* dependencies = nullptr) {
    return m.Create("TestSvc", "C:\\svc.exe /service", "Service demo",
                    SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                    SERVICE_ERROR_NORMAL, nullptr, "", "", "", dependencies);
  }

  FakePlatform Fake;
};

const DWORD kReadExecute = GENERIC_READ | GENERIC_EXECUTE;

// Access rights.

TEST_F(TQZSCManagerTest, OpenWithoutFullAccessAsksReadAndExecuteOfBoth) {
  TQZSCManager m;
  ASSERT_TRUE(m.Open("TestSvc", false));
  const PlatformCall manager = Fake.Last("OpenSCManagerA");
  EXPECT_EQ(manager.Machine, std::nullopt);
  EXPECT_EQ(manager.Database, std::nullopt);
  EXPECT_EQ(manager.Access, kReadExecute);
  const PlatformCall service = Fake.Last("OpenServiceA");
  EXPECT_EQ(service.Access, kReadExecute);
  EXPECT_EQ(service.Handle, m.ManagerHandle.load());
  EXPECT_EQ(service.Name, "TestSvc");
  EXPECT_TRUE(m.ServiceOpen);
  EXPECT_EQ(Text(m.ServiceName), "TestSvc");
  EXPECT_EQ(m.LastError, 0u);
  EXPECT_NE(m.ServiceHandle.load(), nullptr);
}

TEST_F(TQZSCManagerTest, OpenWithFullAccessAsksAllAccessOfBoth) {
  TQZSCManager m;
  ASSERT_TRUE(m.Open("TestSvc", true));
  EXPECT_EQ(Fake.Last("OpenSCManagerA").Access, DWORD{SC_MANAGER_ALL_ACCESS});
  EXPECT_EQ(Fake.Last("OpenServiceA").Access, DWORD{SERVICE_ALL_ACCESS});
}

TEST_F(TQZSCManagerTest, CreateAlwaysAsksAllAccessOfManagerAndNewService) {
  TQZSCManager m;
  ASSERT_TRUE(CreateTestSvc(m));
  EXPECT_EQ(Fake.Last("OpenSCManagerA").Access, DWORD{SC_MANAGER_ALL_ACCESS});
  const PlatformCall create = Fake.Last("CreateServiceA");
  EXPECT_EQ(create.Access, DWORD{SERVICE_ALL_ACCESS});
  EXPECT_EQ(create.Handle, m.ManagerHandle.load());
  EXPECT_TRUE(m.ServiceOpen);
  EXPECT_EQ(Text(m.ServiceName), "TestSvc");
}

TEST_F(TQZSCManagerTest, LoneOpenManagerLeavesTheServiceClosed) {
  TQZSCManager m;
  ASSERT_TRUE(m.OpenManager(false));
  EXPECT_EQ(Fake.Last("OpenSCManagerA").Access, kReadExecute);
  EXPECT_NE(m.ManagerHandle.load(), nullptr);
  EXPECT_FALSE(m.ServiceOpen);
  EXPECT_FALSE(m.Start(nullptr));
  EXPECT_EQ(Functions(), std::vector<std::string>{"OpenSCManagerA"});
}

// The arguments of a create.

TEST_F(TQZSCManagerTest, CreatePassesEveryArgumentInOrder) {
  TQZStringList dependencies;
  dependencies.Add("A");
  dependencies.Add("B");
  DWORD tag = 0;
  TQZSCManager m;
  ASSERT_TRUE(m.Create("Name", "Path", "Display", SERVICE_WIN32_OWN_PROCESS,
                       SERVICE_AUTO_START, SERVICE_ERROR_CRITICAL,
                       reinterpret_cast<uint32_t*>(&tag), "Group", "Account",
                       "Password", &dependencies));
  const PlatformCall c = Fake.Last("CreateServiceA");
  EXPECT_EQ(c.Name, "Name");
  EXPECT_EQ(c.DisplayName, "Display");
  EXPECT_EQ(c.BinaryPath, "Path");
  EXPECT_EQ(c.ServiceType, DWORD{SERVICE_WIN32_OWN_PROCESS});
  EXPECT_EQ(c.StartType, DWORD{SERVICE_AUTO_START});
  EXPECT_EQ(c.ErrorControl, DWORD{SERVICE_ERROR_CRITICAL});
  EXPECT_EQ(c.LoadOrderGroup, "Group");
  EXPECT_EQ(c.Account, "Account");
  EXPECT_EQ(c.Password, "Password");
  EXPECT_EQ(c.TagId, &tag);
  EXPECT_EQ(c.Dependencies, std::string("A\0B\0\0", 5));
}

TEST_F(TQZSCManagerTest, CreateWithEmptyTextsPassesEmptyNamesAndPathButNullOthers) {
  TQZStringList none;
  for (TQZStringList* dependencies : {static_cast<TQZStringList*>(nullptr), &none}) {
    TQZSCManager m;
    ASSERT_TRUE(m.Create("", "", "", SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                         SERVICE_ERROR_NORMAL, nullptr, "", "", "", dependencies));
    const PlatformCall c = Fake.Last("CreateServiceA");
    // An empty text, where a null pointer would compare unequal.
    EXPECT_EQ(c.Name, "");
    EXPECT_EQ(c.DisplayName, "");
    EXPECT_EQ(c.BinaryPath, "");
    EXPECT_EQ(c.LoadOrderGroup, std::nullopt);
    EXPECT_EQ(c.Account, std::nullopt);
    EXPECT_EQ(c.Password, std::nullopt);
    EXPECT_EQ(c.Dependencies, std::nullopt);
    EXPECT_EQ(c.TagId, nullptr);
  }
}

TEST_F(TQZSCManagerTest, CreatePassesGroupDependenciesAsTheyAre) {
  TQZStringList dependencies;
  dependencies.Add("+grp");
  dependencies.Add("RpcSs");
  TQZSCManager m;
  ASSERT_TRUE(CreateTestSvc(m, &dependencies));
  EXPECT_EQ(Fake.Last("CreateServiceA").Dependencies,
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
  EXPECT_TRUE(Fake.Calls().empty());
  EXPECT_EQ(m.LastError, 0u);
}

TEST_F(TQZSCManagerTest, FailedManagerOpenKeepsItsCodeAndOpensNoService) {
  Fake.Fail("OpenSCManagerA", ERROR_ACCESS_DENIED);
  TQZSCManager m;
  EXPECT_FALSE(m.Open("TestSvc", true));
  EXPECT_EQ(m.LastError, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Functions(), std::vector<std::string>{"OpenSCManagerA"});
  EXPECT_FALSE(m.ServiceOpen);
  EXPECT_EQ(m.ManagerHandle.load(), nullptr);

  EXPECT_FALSE(m.Delete());
  EXPECT_FALSE(m.Stop());
  EXPECT_EQ(m.LastError, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Fake.Calls().size(), 1u);
}

TEST_F(TQZSCManagerTest, FailedServiceOpenClosesTheManagerAndKeepsItsCode) {
  Fake.Fail("OpenServiceA", ERROR_SERVICE_DOES_NOT_EXIST);
  TQZSCManager m;
  EXPECT_FALSE(m.Open("TestSvc", false));
  // The manager's close ran after the failure and left its own error.
  EXPECT_EQ(m.LastError, static_cast<uint32_t>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_EQ(m.ManagerHandle.load(), nullptr);
  EXPECT_EQ(m.ServiceName.Length(), 0);
  EXPECT_FALSE(m.ServiceOpen);
  ExpectNoHandleLeft();
  EXPECT_EQ(Fake.Count("CloseServiceHandle"), 1);

  EXPECT_FALSE(m.Start(nullptr));
  EXPECT_EQ(m.LastError, static_cast<uint32_t>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(TQZSCManagerTest, FailedCreateClosesTheManagerAndKeepsItsCode) {
  Fake.Fail("CreateServiceA", ERROR_SERVICE_EXISTS);
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
  Fake.Fail("StartServiceA", ERROR_SERVICE_ALREADY_RUNNING);
  EXPECT_TRUE(m.Start(nullptr));
  EXPECT_EQ(m.LastError, static_cast<uint32_t>(ERROR_SERVICE_ALREADY_RUNNING));

  Fake.Fail("StartServiceA", ERROR_SERVICE_DISABLED);
  EXPECT_FALSE(m.Start(nullptr));
  EXPECT_EQ(m.LastError, static_cast<uint32_t>(ERROR_SERVICE_DISABLED));

  Fake.Fail("StartServiceA", 0);
  EXPECT_TRUE(m.Start(nullptr));
  EXPECT_EQ(m.LastError, 0u);
  EXPECT_EQ(Fake.Last("StartServiceA").Handle, m.ServiceHandle.load());
}

TEST_F(TQZSCManagerTest, StopSucceedsOnlyWhenTheServiceReportsStoppingOrStopped) {
  TQZSCManager m;
  ASSERT_TRUE(m.Open("TestSvc", false));
  for (DWORD state = SERVICE_STOPPED; state <= SERVICE_PAUSED; ++state) {
    SCOPED_TRACE(state);
    Fake.AnswerControlsWith(state);
    m.LastError = 99;
    bool expected = state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING;
    EXPECT_EQ(m.Stop(), expected);
    EXPECT_EQ(m.LastError, 0u);
    EXPECT_EQ(m.Status.CurrentState, state);
    EXPECT_EQ(Controls().back(), static_cast<DWORD>(SERVICE_CONTROL_STOP));
  }
  Fake.Fail("ControlService", ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_FALSE(m.Stop());
  EXPECT_EQ(m.LastError, static_cast<uint32_t>(ERROR_SERVICE_NOT_ACTIVE));
}

TEST_F(TQZSCManagerTest, PauseAndContinueSendTheirCodesAndIgnoreTheState) {
  TQZSCManager m;
  ASSERT_TRUE(m.Open("TestSvc", false));
  Fake.AnswerControlsWith(SERVICE_RUNNING);
  m.LastError = 99;
  EXPECT_TRUE(m.Pause());
  EXPECT_EQ(m.LastError, 0u);
  m.LastError = 99;
  EXPECT_TRUE(m.Continue());
  EXPECT_EQ(m.LastError, 0u);
  EXPECT_EQ(Controls(),
            (std::vector<DWORD>{SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE}));

  Fake.Fail("ControlService", ERROR_INVALID_SERVICE_CONTROL);
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
  EXPECT_EQ(Fake.Last("DeleteService").Handle, m.ServiceHandle.load());
  EXPECT_EQ(m.LastError, 0u);
  EXPECT_TRUE(m.ServiceOpen);
  EXPECT_EQ(Fake.Count("CloseServiceHandle"), 0);

  Fake.Fail("DeleteService", ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_FALSE(m.Delete());
  EXPECT_EQ(m.LastError,
            static_cast<uint32_t>(ERROR_SERVICE_MARKED_FOR_DELETE));
}

TEST_F(TQZSCManagerTest, SetDescriptionPassesTheTextOrAnEmptyOne) {
  TQZSCManager m;
  ASSERT_TRUE(CreateTestSvc(m));
  EXPECT_TRUE(m.SetDescription("Test TQZSvcApp demo"));
  PlatformCall config = Fake.Last("ChangeServiceConfig2A");
  EXPECT_EQ(config.Handle, m.ServiceHandle.load());
  EXPECT_EQ(config.Level, static_cast<DWORD>(SERVICE_CONFIG_DESCRIPTION));
  EXPECT_EQ(config.Description, "Test TQZSvcApp demo");

  EXPECT_TRUE(m.SetDescription(TQZString()));
  EXPECT_EQ(Fake.Last("ChangeServiceConfig2A").Description, "");

  Fake.Fail("ChangeServiceConfig2A", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(m.SetDescription("d"));
  EXPECT_EQ(m.LastError, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
}

// Closing.

TEST_F(TQZSCManagerTest, CloseTwiceClosesEachHandleOnceAndResetsTheFields) {
  TQZSCManager m;
  ASSERT_TRUE(m.Open("TestSvc", false));
  ASSERT_TRUE(m.Stop());
  void* manager = m.ManagerHandle.load();
  void* service = m.ServiceHandle.load();
  m.LastError = 7;
  m.Close();
  EXPECT_EQ(Fake.ClosesOf(manager), 1);
  EXPECT_EQ(Fake.ClosesOf(service), 1);
  EXPECT_FALSE(m.ServiceOpen);
  EXPECT_EQ(m.ServiceName.Length(), 0);
  EXPECT_EQ(m.LastError, 0u);
  EXPECT_EQ(m.ManagerHandle.load(), nullptr);
  EXPECT_EQ(m.ServiceHandle.load(), nullptr);
  EXPECT_EQ(m.Status.CurrentState, 0u);
  EXPECT_EQ(m.Status.WaitHint, 0u);
  m.Close();
  EXPECT_EQ(Fake.Calls().size(), 5u);
  ExpectNoHandleLeft();
}

TEST_F(TQZSCManagerTest, DestructorAndReopeningCloseEveryEarlierHandle) {
  {
    TQZSCManager m;
    ASSERT_TRUE(m.Open("One", false));
    ASSERT_TRUE(m.Open("Two", true));
    EXPECT_EQ(Fake.Count("CloseServiceHandle"), 2);
    EXPECT_EQ(Text(m.ServiceName), "Two");
    ASSERT_TRUE(CreateTestSvc(m));
    EXPECT_EQ(Fake.Count("CloseServiceHandle"), 4);
  }
  EXPECT_EQ(Fake.Handles().size(), 6u);
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
    Fake.Reset();
    {
      TQZSCManager m;
      for (const Step& step : command.Steps) ASSERT_TRUE(step.Run(m)) << step.Name;
      m.Close();
    }
    const std::vector<PlatformCall> calls = Fake.Calls();
    ASSERT_GE(calls.size(), 5u);

    for (size_t failAt = 1; failAt <= calls.size(); ++failAt) {
      const PlatformCall& failing = calls[failAt - 1];
      SCOPED_TRACE(failing.Function + " failing as call " +
                   std::to_string(failAt));
      Fake.Reset();
      const DWORD failCode = 2000 + static_cast<DWORD>(failAt);
      // The run is the same up to the failing call, so that call is the
      // same one of its function as in the run without failures.
      Fake.Fail(failing.Function, failCode, failing.Nth);
      EXPECT_NO_THROW({
        TQZSCManager m;
        bool failed = false;
        for (size_t i = 0; i < command.Steps.size(); ++i) {
          const Step& step = command.Steps[i];
          size_t before = Fake.Calls().size();
          bool result = step.Run(m);
          bool hit = before < failAt && failAt <= Fake.Calls().size();
          if (failed) {
            // After a failed open, the operation is refused without a call
            // and the open's code stays.
            EXPECT_FALSE(result) << step.Name;
            EXPECT_EQ(Fake.Calls().size(), before) << step.Name;
            EXPECT_EQ(m.LastError, failCode) << step.Name;
            continue;
          }
          EXPECT_EQ(result, !hit) << step.Name;
          if (hit) {
            EXPECT_EQ(m.LastError, failCode) << step.Name;
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
  const PlatformCall start = Fake.Last("StartServiceA");
  EXPECT_EQ(start.Count, 3u);
  ASSERT_TRUE(start.Strings.has_value());
  // The empty item goes as an empty argument, never as a null entry.
  EXPECT_EQ(*start.Strings, (std::vector<CallText>{"-port", "", "8080"}));

  TQZStringList none;
  for (TQZStringList* list : {static_cast<TQZStringList*>(nullptr), &none}) {
    ASSERT_TRUE(m.Start(list));
    EXPECT_EQ(Fake.Last("StartServiceA").Count, 0u);
    EXPECT_EQ(Fake.Last("StartServiceA").Strings, std::nullopt);
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
