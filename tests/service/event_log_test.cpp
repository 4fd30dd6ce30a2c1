// Tests of the event log writer through the replaceable Win32 call table.
#include "service/event_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/service/scoped_api.h"

namespace {

struct RegisterCall {
  bool ServerNull;
  bool SourceNull;
  std::string Source;
};

struct ReportCall {
  HANDLE Log;
  bool LogWasOpen;
  WORD Type;
  WORD Category;
  DWORD EventId;
  PSID User;
  WORD NumStrings;
  DWORD DataSize;
  bool StringsNull;
  bool FirstStringNull;
  std::string FirstString;
  bool DataNull;
  std::string Data;
};

// What the fakes saw; guarded by Mutex because the race test calls them from
// two threads.
struct EventLogFake {
  std::mutex Mutex;
  std::vector<RegisterCall> Registers;
  std::vector<ReportCall> Reports;
  std::vector<HANDLE> Deregisters;
  std::set<HANDLE> Open;
  std::map<HANDLE, int> InUse;
  int FailOpens = 0;
  uintptr_t NextHandle = 0x1000;
  int ClosedWhileInUse = 0;
  int BadCloses = 0;
  // The race test holds each first open until the other thread is opening
  // too (bounded, so a thread that never gets there cannot hang the test).
  bool Rendezvous = false;
  std::atomic<int> Opening{0};
};

EventLogFake* Fake = nullptr;

void GiveWay(int times) {
  for (int i = 0; i < times; ++i) std::this_thread::yield();
}

HANDLE WINAPI FakeRegisterEventSourceA(LPCSTR server, LPCSTR source) {
  if (Fake->Rendezvous) {
    Fake->Opening.fetch_add(1);
    for (int i = 0; i < 2000 && Fake->Opening.load() < 2; ++i) GiveWay(1);
  }
  std::lock_guard<std::mutex> lock(Fake->Mutex);
  Fake->Registers.push_back(
      {server == nullptr, source == nullptr, source ? source : ""});
  if (Fake->FailOpens > 0) {
    --Fake->FailOpens;
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  Fake->NextHandle += 4;
  HANDLE handle = reinterpret_cast<HANDLE>(Fake->NextHandle);
  Fake->Open.insert(handle);
  return handle;
}

BOOL WINAPI FakeReportEventA(HANDLE log, WORD type, WORD category,
                             DWORD eventId, PSID user, WORD numStrings,
                             DWORD dataSize, LPCSTR* strings, LPVOID data) {
  ReportCall call;
  call.Log = log;
  call.Type = type;
  call.Category = category;
  call.EventId = eventId;
  call.User = user;
  call.NumStrings = numStrings;
  call.DataSize = dataSize;
  call.StringsNull = strings == nullptr;
  call.FirstStringNull = strings == nullptr || strings[0] == nullptr;
  call.FirstString = call.FirstStringNull ? "" : strings[0];
  call.DataNull = data == nullptr;
  if (data != nullptr) call.Data.assign(static_cast<const char*>(data), dataSize);
  {
    std::lock_guard<std::mutex> lock(Fake->Mutex);
    call.LogWasOpen = Fake->Open.count(log) != 0;
    Fake->Reports.push_back(call);
    if (!call.LogWasOpen) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    ++Fake->InUse[log];
  }
  // Writing takes a while; a close arriving meanwhile is caught below.
  GiveWay(20);
  std::lock_guard<std::mutex> lock(Fake->Mutex);
  --Fake->InUse[log];
  return TRUE;
}

BOOL WINAPI FakeDeregisterEventSource(HANDLE log) {
  std::lock_guard<std::mutex> lock(Fake->Mutex);
  Fake->Deregisters.push_back(log);
  if (Fake->InUse[log] > 0) ++Fake->ClosedWhileInUse;
  if (Fake->Open.erase(log) == 0) {
    ++Fake->BadCloses;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

class TQZEventLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Fake = &State;
    Api->RegisterEventSourceA = FakeRegisterEventSourceA;
    Api->ReportEventA = FakeReportEventA;
    Api->DeregisterEventSource = FakeDeregisterEventSource;
  }
  void TearDown() override { Fake = nullptr; }

  ScopedServiceApi Api;
  EventLogFake State;
};

TEST_F(TQZEventLogTest, WriterThatNeverReportsOpensAndClosesNothing) {
  { TQZEventLog log("TestSvc"); }
  EXPECT_TRUE(State.Registers.empty());
  EXPECT_TRUE(State.Reports.empty());
  EXPECT_TRUE(State.Deregisters.empty());
}

TEST_F(TQZEventLogTest, SourceIsOpenedOnceByNameAndClosedOnceByTheDestructor) {
  {
    TQZEventLog log("TestSvc");
    log.Report("first", EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
    log.Report("second", EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
    log.Report("third", EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
    ASSERT_EQ(State.Registers.size(), 1u);
    EXPECT_TRUE(State.Registers[0].ServerNull);
    EXPECT_FALSE(State.Registers[0].SourceNull);
    EXPECT_EQ(State.Registers[0].Source, "TestSvc");
    ASSERT_EQ(State.Reports.size(), 3u);
    for (const ReportCall& call : State.Reports) {
      EXPECT_TRUE(call.LogWasOpen);
      EXPECT_EQ(call.Log, State.Reports[0].Log);
    }
    EXPECT_TRUE(State.Deregisters.empty());
  }
  ASSERT_EQ(State.Deregisters.size(), 1u);
  EXPECT_EQ(State.Deregisters[0], State.Reports[0].Log);
  EXPECT_TRUE(State.Open.empty());
  EXPECT_EQ(State.BadCloses, 0);
}

TEST_F(TQZEventLogTest, EmptySourceNameIsPassedAsNullPointer) {
  TQZEventLog log("");
  log.Report("m", EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
  ASSERT_EQ(State.Registers.size(), 1u);
  EXPECT_TRUE(State.Registers[0].SourceNull);
}

TEST_F(TQZEventLogTest, RecordCarriesTypeCategoryIdNoUserAndTheMessageAsItsOneString) {
  TQZEventLog log("TestSvc");
  log.Report("Access denied", EVENTLOG_WARNING_TYPE, 7, 0x12345678u,
             TQZString());
  ASSERT_EQ(State.Reports.size(), 1u);
  const ReportCall& call = State.Reports[0];
  EXPECT_EQ(call.Type, EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(call.Category, 7);
  EXPECT_EQ(call.EventId, 0x12345678u);
  EXPECT_EQ(call.User, nullptr);
  EXPECT_EQ(call.NumStrings, 1);
  ASSERT_FALSE(call.FirstStringNull);
  EXPECT_EQ(call.FirstString, "Access denied");
}

TEST_F(TQZEventLogTest, EmptyMessageIsOneEmptyStringNeverANullPointer) {
  TQZEventLog log("TestSvc");
  log.Report(TQZString(), EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
  ASSERT_EQ(State.Reports.size(), 1u);
  EXPECT_EQ(State.Reports[0].NumStrings, 1);
  EXPECT_FALSE(State.Reports[0].StringsNull);
  EXPECT_FALSE(State.Reports[0].FirstStringNull);
  EXPECT_EQ(State.Reports[0].FirstString, "");
}

TEST_F(TQZEventLogTest, RawDataIsPassedWithItsExactLengthAndEmptyDataAsNull) {
  TQZEventLog log("TestSvc");
  const char bytes[] = {'a', 'b', '\0', 'c'};
  log.Report("m", EVENTLOG_ERROR_TYPE, 0, 0, MakeString(bytes, 4));
  log.Report("m", EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
  ASSERT_EQ(State.Reports.size(), 2u);
  EXPECT_EQ(State.Reports[0].DataSize, 4u);
  EXPECT_FALSE(State.Reports[0].DataNull);
  EXPECT_EQ(State.Reports[0].Data, std::string(bytes, 4));
  EXPECT_EQ(State.Reports[1].DataSize, 0u);
  EXPECT_TRUE(State.Reports[1].DataNull);
}

TEST_F(TQZEventLogTest, FailedOpenDropsTheRecordAndTheNextReportOpensAgain) {
  State.FailOpens = 1;
  {
    TQZEventLog log("TestSvc");
    log.Report("lost", EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
    ASSERT_EQ(State.Registers.size(), 1u);
    ASSERT_EQ(State.Reports.size(), 1u);
    EXPECT_EQ(State.Reports[0].Log, nullptr);

    log.Report("kept", EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
    ASSERT_EQ(State.Registers.size(), 2u);
    ASSERT_EQ(State.Reports.size(), 2u);
    EXPECT_NE(State.Reports[1].Log, nullptr);
    EXPECT_TRUE(State.Reports[1].LogWasOpen);
    EXPECT_EQ(State.Reports[1].FirstString, "kept");
  }
  ASSERT_EQ(State.Deregisters.size(), 1u);
  EXPECT_EQ(State.Deregisters[0], State.Reports[1].Log);
}

TEST_F(TQZEventLogTest, RacingFirstReportsInstallOneHandleAndCloseNoneInUse) {
  State.Rendezvous = true;
  int bothOpened = 0;
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    State.Registers.clear();
    State.Reports.clear();
    State.Deregisters.clear();
    State.Opening.store(0);
    std::unique_ptr<TQZEventLog> log(new TQZEventLog("TestSvc"));
    std::atomic<int> ready{0};
    auto writer = [&](const char* text) {
      ready.fetch_add(1);
      while (ready.load() < 2) std::this_thread::yield();
      log->Report(text, EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
    };
    std::thread a(writer, "a");
    std::thread b(writer, "b");
    a.join();
    b.join();

    // The threads have ended, so the fake's state is read without its lock.
    if (State.Registers.size() == 2) ++bothOpened;
    ASSERT_EQ(State.Reports.size(), 2u);
    EXPECT_TRUE(State.Reports[0].LogWasOpen);
    EXPECT_TRUE(State.Reports[1].LogWasOpen);
    EXPECT_EQ(State.Reports[0].Log, State.Reports[1].Log);
    EXPECT_EQ(State.Open.size(), 1u);
    EXPECT_EQ(State.Open.count(State.Reports[0].Log), 1u);
    EXPECT_EQ(State.ClosedWhileInUse, 0);
    log.reset();
    EXPECT_TRUE(State.Open.empty());
    EXPECT_EQ(State.BadCloses, 0);
    EXPECT_EQ(State.Deregisters.size(), State.Registers.size());
    if (HasFailure()) break;
  }
  // The rounds must have raced at least sometimes, or nothing was tested.
  EXPECT_GT(bothOpened, 0);
}

}  // namespace
