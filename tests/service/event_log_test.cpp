// Tests of the event log writer through the replaceable Win32 call table.
#include "service/event_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/service/fake_platform.h"

namespace {

void GiveWay(int times) {
  for (int i = 0; i < times; ++i) std::this_thread::yield();
}

class TQZEventLogTest : public ::testing::Test {
 protected:
  std::vector<PlatformCall> Opens() const { return Fake.CallsOf("RegisterEventSourceA"); }
  std::vector<PlatformCall> Reports() const { return Fake.CallsOf("ReportEventA"); }
  std::vector<PlatformCall> Closes() const { return Fake.CallsOf("DeregisterEventSource"); }

  FakePlatform Fake;
};

TEST_F(TQZEventLogTest, WriterThatNeverReportsOpensAndClosesNothing) {
  { TQZEventLog log("TestSvc"); }
  EXPECT_TRUE(Opens().empty());
  EXPECT_TRUE(Reports().empty());
  EXPECT_TRUE(Closes().empty());
}

TEST_F(TQZEventLogTest, SourceIsOpenedOnceByNameAndClosedOnceByTheDestructor) {
  std::vector<PlatformCall> reports;
  {
    TQZEventLog log("TestSvc");
    log.Report("first", EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
    log.Report("second", EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
    log.Report("third", EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
    const std::vector<PlatformCall> opens = Opens();
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].Machine, std::nullopt);
    EXPECT_EQ(opens[0].Name, "TestSvc");
    reports = Reports();
    ASSERT_EQ(reports.size(), 3u);
    for (const PlatformCall& call : reports) {
      EXPECT_TRUE(call.HandleWasOpen);
      EXPECT_EQ(call.Handle, reports[0].Handle);
    }
    EXPECT_TRUE(Closes().empty());
  }
  const std::vector<PlatformCall> closes = Closes();
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0].Handle, reports[0].Handle);
  EXPECT_TRUE(Fake.OpenHandles().empty());
  EXPECT_EQ(Fake.BadHandleUses(), 0);
}

TEST_F(TQZEventLogTest, EmptySourceNameIsPassedAsNullPointer) {
  TQZEventLog log("");
  log.Report("m", EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
  ASSERT_EQ(Opens().size(), 1u);
  EXPECT_EQ(Opens()[0].Name, std::nullopt);
}

TEST_F(TQZEventLogTest, RecordCarriesTypeCategoryIdNoUserAndTheMessageAsItsOneString) {
  TQZEventLog log("TestSvc");
  log.Report("Access denied", EVENTLOG_WARNING_TYPE, 7, 0x12345678u,
             TQZString());
  ASSERT_EQ(Reports().size(), 1u);
  const PlatformCall call = Reports()[0];
  EXPECT_EQ(call.Type, EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(call.Category, 7);
  EXPECT_EQ(call.EventId, 0x12345678u);
  EXPECT_EQ(call.User, nullptr);
  EXPECT_EQ(call.Count, 1u);
  ASSERT_TRUE(call.Strings.has_value());
  EXPECT_EQ(call.Strings->at(0), "Access denied");
}

TEST_F(TQZEventLogTest, EmptyMessageIsOneEmptyStringNeverANullPointer) {
  TQZEventLog log("TestSvc");
  log.Report(TQZString(), EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
  ASSERT_EQ(Reports().size(), 1u);
  const PlatformCall call = Reports()[0];
  EXPECT_EQ(call.Count, 1u);
  ASSERT_TRUE(call.Strings.has_value());
  // An engaged empty text: a null pointer would compare unequal.
  EXPECT_EQ(call.Strings->at(0), "");
}

TEST_F(TQZEventLogTest, RawDataIsPassedWithItsExactLengthAndEmptyDataAsNull) {
  TQZEventLog log("TestSvc");
  const char bytes[] = {'a', 'b', '\0', 'c'};
  log.Report("m", EVENTLOG_ERROR_TYPE, 0, 0, MakeString(bytes, 4));
  log.Report("m", EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
  const std::vector<PlatformCall> reports = Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].DataSize, 4u);
  EXPECT_EQ(reports[0].Data, std::string(bytes, 4));
  EXPECT_EQ(reports[1].DataSize, 0u);
  EXPECT_EQ(reports[1].Data, std::nullopt);
}

TEST_F(TQZEventLogTest, FailedOpenDropsTheRecordAndTheNextReportOpensAgain) {
  Fake.Fail("RegisterEventSourceA", ERROR_ACCESS_DENIED, 1);
  std::vector<PlatformCall> reports;
  {
    TQZEventLog log("TestSvc");
    log.Report("lost", EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
    ASSERT_EQ(Opens().size(), 1u);
    reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].Handle, nullptr);

    log.Report("kept", EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
    ASSERT_EQ(Opens().size(), 2u);
    reports = Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(reports[1].Handle, nullptr);
    EXPECT_TRUE(reports[1].HandleWasOpen);
    ASSERT_TRUE(reports[1].Strings.has_value());
    EXPECT_EQ(reports[1].Strings->at(0), "kept");
  }
  const std::vector<PlatformCall> closes = Closes();
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0].Handle, reports[1].Handle);
}

TEST_F(TQZEventLogTest, RacingFirstReportsInstallOneHandleAndCloseNoneInUse) {
  std::atomic<int> opening{0};
  Fake.During = [&](const PlatformCall& call) {
    if (call.Function == "RegisterEventSourceA") {
      // Each first open is held until the other thread is opening too
      // (bounded, so a thread that never gets there cannot hang the test).
      opening.fetch_add(1);
      for (int i = 0; i < 2000 && opening.load() < 2; ++i) GiveWay(1);
    } else if (call.Function == "ReportEventA") {
      // Writing takes a while; a close arriving meanwhile is counted.
      GiveWay(20);
    }
  };
  int bothOpened = 0;
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    Fake.ForgetCalls();
    opening.store(0);
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

    if (Opens().size() == 2) ++bothOpened;
    const std::vector<PlatformCall> reports = Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_TRUE(reports[0].HandleWasOpen);
    EXPECT_TRUE(reports[1].HandleWasOpen);
    EXPECT_EQ(reports[0].Handle, reports[1].Handle);
    const std::vector<void*> open = Fake.OpenHandles();
    EXPECT_EQ(open.size(), 1u);
    EXPECT_EQ(std::count(open.begin(), open.end(), reports[0].Handle), 1);
    EXPECT_EQ(Fake.ClosedWhileInUse(), 0);
    log.reset();
    EXPECT_TRUE(Fake.OpenHandles().empty());
    EXPECT_EQ(Fake.BadHandleUses(), 0);
    EXPECT_EQ(Closes().size(), Opens().size());
    if (HasFailure()) break;
  }
  // The rounds must have raced at least sometimes, or nothing was tested.
  EXPECT_GT(bothOpened, 0);
}

}  // namespace
