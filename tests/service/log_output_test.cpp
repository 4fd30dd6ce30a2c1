// Tests of the application's log file: the commands' result lines, the
// framework's error records, the program's own lines, and standard output
// and error captured under the fake service control manager.
#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/log_file.h"
#include "foundation/process_info.h"
#include "foundation/string.h"
#include "foundation/win32.h"
#include "service/event_log.h"
#include "service/output_capture.h"
#include "service/svc_app.h"
#include "service/svc_module.h"
#include "service/svc_obj.h"
#include "tests/service/fake_platform.h"

namespace fs = std::filesystem;

namespace {

// The texts of a log file's lines, stamps and line ends removed; a line
// without a stamp is kept whole after a '!'.
std::vector<std::string> LogTexts(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  const std::string text = all.str();
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const size_t close = line.find("] ");
    const bool stamped = line.size() > 26 && line[4] == '-' && line[10] == ' ' &&
                         line[19] == '.' && line[24] == '[' && close != std::string::npos;
    lines.push_back(stamped ? line.substr(close + 2) : "!" + line);
    start = end + 2;
  }
  return lines;
}

using Lines = std::vector<std::string>;

class LogFolderTest : public testing::Test {
 protected:
  LogFolderTest() {
    Folder = fs::temp_directory_path() /
             ("qzsvc-log-" + std::to_string(std::chrono::steady_clock::now()
                                                .time_since_epoch()
                                                .count() %
                                            1000000007));
    fs::create_directories(Folder);
  }
  ~LogFolderTest() override {
    std::error_code ignored;
    fs::remove_all(Folder, ignored);
  }
  std::string Path(const char* name) const { return (Folder / name).string(); }

  fs::path Folder;
};

// --- The event log writer's copy --------------------------------------------

class EventLogMirrorTest : public LogFolderTest {
 protected:
  FakePlatform Fake;
};

TEST_F(EventLogMirrorTest, EachRecordAlsoBecomesALineNamingItsType) {
  const std::string path = Path("svc.log");
  TQZLogFile file(path.c_str());
  TQZEventLog log("TestSvc");
  log.Report("before the copy", EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
  log.Mirror = &file;
  log.Report("Access denied", EVENTLOG_ERROR_TYPE, 0, 0, TQZString());
  log.Report("%s %n are text", EVENTLOG_WARNING_TYPE, 0, 0, TQZString());
  log.Report("", EVENTLOG_INFORMATION_TYPE, 0, 0, TQZString());
  EXPECT_EQ(Fake.Count("ReportEventA"), 4);
  EXPECT_EQ(LogTexts(path), (Lines{"event log error: Access denied",
                                   "event log warning: %s %n are text",
                                   "event log information: "}));
}

// --- The application's log file ---------------------------------------------

bool Started(TQZStringList*, bool) { return true; }

class AppLogTest : public LogFolderTest {
 protected:
  AppLogTest() : App("TestSvc", "Service demo", "Test TQZSvcApp demo") {
    SavedModulePath = ModulePath;
    SavedModuleFileName = ModuleFileName;
    ModuleFileName = "C:\\apps\\svc.exe";
    App.OnStart = &Started;
  }
  ~AppLogTest() override {
    ModulePath = SavedModulePath;
    ModuleFileName = SavedModuleFileName;
  }
  std::string RunMain(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "svc.exe");
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    App.Main(static_cast<int>(arguments.size()), argv.data());
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }

  TQZString SavedModulePath;
  TQZString SavedModuleFileName;
  FakePlatform Fake;
  TQZSvcApp App;
};

TEST_F(AppLogTest, WithoutALogFileNameNothingIsOpenedOrWritten) {
  ModulePath = (Folder.string() + "\\").c_str();
  EXPECT_EQ(App.LogFile(), nullptr);
  EXPECT_FALSE(App.Log("nothing %d", 1));
  EXPECT_EQ(RunMain({"-stop"}), "stop service <TestSvc> success!\n");
  EXPECT_TRUE(fs::is_empty(Folder));
}

TEST_F(AppLogTest, RelativeNameIsTakenFromTheExecutablesFolderAndOpenedOnce) {
  ModulePath = (Folder.string() + "\\").c_str();
  App.LogFileName = "app.log";
  App.LogFileMaxSize = 1234;
  App.LogFileKeep = 3;
  TQZLogFile* log = App.LogFile();
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(App.LogFile(), log);
  EXPECT_EQ(std::string(log->FileName().Text()), Path("app.log"));
  EXPECT_EQ(log->MaxSize(), 1234u);
  EXPECT_EQ(log->KeptFiles(), 3);
  EXPECT_TRUE(App.Log("own line %d of %s", 1, "mine"));
  EXPECT_EQ(LogTexts(Path("app.log")), (Lines{"own line 1 of mine"}));
}

TEST_F(AppLogTest, NamesWithADriveOrALeadingSeparatorAreTakenAsTheyStand) {
  ModulePath = "C:\\elsewhere\\";
  for (const std::string& name : {Path("rooted.log"), std::string("\\\\server\\share\\x.log"),
                                  std::string("/x.log"), std::string("c:x.log")}) {
    TQZSvcApp app("TestSvc", "", "");
    app.LogFileName = name.c_str();
    ASSERT_NE(app.LogFile(), nullptr);
    EXPECT_EQ(std::string(app.LogFile()->FileName().Text()), name);
  }
}

TEST_F(AppLogTest, CommandsPrintTheirResultLineAndWriteItToTheLogToo) {
  App.LogFileName = Path("app.log").c_str();
  EXPECT_EQ(RunMain({"-stop"}), "stop service <TestSvc> success!\n");
  Fake.Fail("OpenServiceA", ERROR_SERVICE_DOES_NOT_EXIST);
  const std::string failure = RunMain({"-start"});
  EXPECT_EQ(LogTexts(Path("app.log")),
            (Lines{"stop service <TestSvc> success!",
                   failure.substr(0, failure.size() - 1)}));
  EXPECT_NE(failure.find("failure! reason(1060)"), std::string::npos) << failure;
}

// What a service prints, in every way a program can, while it starts and
// stops; the log's content when the final report is sent.
// The C runtime's streams are flushed where the order matters.
bool Chatter(TQZStringList*, bool) {
  std::printf("printf %d\n", 1);
  std::fflush(stdout);
  std::fputs("stderr line\n", stderr);
  std::fflush(stderr);
  std::cout << "cout line" << std::endl;
  std::cerr << "cerr line" << std::endl;
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "handle line\r\n", 13, &written, nullptr);
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), "error handle line\n", 18, &written, nullptr);
  _write(1, "descriptor line\n", 16);
  return true;
}
// Left in the C runtime's buffer: the stop flushes it.
void LastWords(bool) {
  std::printf("split ");
  std::printf("line\n");
  std::printf("no line end");
}

TEST_F(AppLogTest, CapturedOutputIsInTheLogBeforeTheFinalReportAndRestoredAfter) {
  App.LogFileName = Path("app.log").c_str();
  App.CaptureOutput = true;
  App.OnStart = &Chatter;
  App.OnStop = &LastWords;
  Fake.Fail("StartServiceCtrlDispatcherA", 0);
  Fake.StartPlan = {{"TestSvc"}};
  Fake.Controls = {SERVICE_CONTROL_STOP};
  Lines atFinalReport;
  Fake.During = [&](const PlatformCall& call) {
    if (call.Function == "SetServiceStatus" && call.Status.dwCurrentState == SERVICE_STOPPED) {
      atFinalReport = LogTexts(Path("app.log"));
    }
  };
  EXPECT_EQ(RunMain({"/service"}), "");
  EXPECT_EQ(atFinalReport,
            (Lines{"printf 1", "stderr line", "cout line", "cerr line", "handle line",
                   "error handle line", "descriptor line", "split line", "no line end"}));
  EXPECT_EQ(LogTexts(Path("app.log")), atFinalReport);
  // Standard output is the test's own again.
  testing::internal::CaptureStdout();
  std::printf("after the run\n");
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "after the run\n");
}

TEST_F(AppLogTest, CaptureNeedsTheFlagAndALogFile) {
  App.CaptureOutput = true;
  App.OnStart = &Chatter;
  Fake.Fail("StartServiceCtrlDispatcherA", 0);
  Fake.StartPlan = {{"TestSvc"}};
  Fake.Controls = {SERVICE_CONTROL_STOP};
  testing::internal::CaptureStderr();
  const std::string out = RunMain({"/service"});
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("printf 1\n"), std::string::npos) << out;
  EXPECT_NE(err.find("stderr line\n"), std::string::npos) << err;

  App.LogFileName = Path("app.log").c_str();
  App.CaptureOutput = false;
  Fake.Reset();
  Fake.StartPlan = {{"TestSvc"}};
  Fake.Controls = {SERVICE_CONTROL_STOP};
  testing::internal::CaptureStderr();
  EXPECT_NE(RunMain({"/service"}).find("printf 1\n"), std::string::npos);
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(fs::exists(Path("app.log")));
}

TEST_F(AppLogTest, FrameworkErrorRecordsGoToTheLogAsWell) {
  App.LogFileName = Path("app.log").c_str();
  Fake.Fail("StartServiceCtrlDispatcherA", 0);
  Fake.Fail("SetServiceStatus", ERROR_ACCESS_DENIED, 2);
  Fake.StartPlan = {{"TestSvc"}};
  Fake.Controls = {SERVICE_CONTROL_STOP};
  RunMain({"/service"});
  ASSERT_EQ(Fake.Count("ReportEventA"), 1);
  EXPECT_EQ(LogTexts(Path("app.log")),
            (Lines{"event log error: " +
                   std::string(SystemErrorText(ERROR_ACCESS_DENIED).Text())}));
}

// --- The runtime's last hook ----------------------------------------------

// What OnRunEnd saw of the run it ends.
struct RunEndLog {
  int Calls = 0;
  DWORD Thread = 0;
  DWORD StartThread = 0;
  bool AfterStop = false;
  DWORD LastReportedState = 0;
  bool Throw = false;
  FakePlatform* Fake = nullptr;
  bool Stopped = false;
} RunEnd;

TEST(TQZSvcObjRunEndTest, RunsOnceOnTheServiceThreadAfterEveryHookAndBeforeTheFinalReport) {
  for (int variant = 0; variant < 3; ++variant) {
    const bool refuse = variant == 1;
    RunEnd = RunEndLog();
    RunEnd.Throw = variant == 2;
    FakePlatform fake;
    RunEnd.Fake = &fake;
    fake.Fail("StartServiceCtrlDispatcherA", 0);
    fake.StartPlan = {{"Svc"}};
    if (!refuse) fake.Controls = {SERVICE_CONTROL_STOP};
    TQZSvcObj object("Svc");
    object.OnStart.Function = [](void*, TQZSvcObj*, bool&) {
      RunEnd.StartThread = GetCurrentThreadId();
      return true;
    };
    if (refuse) {
      object.OnStart.Function = [](void*, TQZSvcObj*, bool& ok) {
        RunEnd.StartThread = GetCurrentThreadId();
        ok = false;
        return false;
      };
    }
    object.OnStop.Function = [](void*, TQZSvcObj*, bool&) { RunEnd.Stopped = true; };
    object.OnRunEnd.Function = [](void*, TQZSvcObj*) {
      ++RunEnd.Calls;
      RunEnd.Thread = GetCurrentThreadId();
      RunEnd.AfterStop = RunEnd.Stopped;
      RunEnd.LastReportedState = RunEnd.Fake->Last("SetServiceStatus").Status.dwCurrentState;
      if (RunEnd.Throw) throw 1;
    };
    ASSERT_TRUE(qzsvc::AddServiceObject("Svc", &object));
    EXPECT_TRUE(qzsvc::RunServiceDispatcher());
    qzsvc::RemoveServiceObject("Svc");
    SCOPED_TRACE(variant);
    EXPECT_EQ(RunEnd.Calls, 1);
    EXPECT_EQ(RunEnd.Thread, RunEnd.StartThread);
    EXPECT_EQ(RunEnd.AfterStop, !refuse);
    EXPECT_EQ(RunEnd.LastReportedState,
              refuse ? DWORD{SERVICE_START_PENDING} : DWORD{SERVICE_STOP_PENDING});
    const SERVICE_STATUS last = fake.Last("SetServiceStatus").Status;
    EXPECT_EQ(last.dwCurrentState, DWORD{SERVICE_STOPPED});
    EXPECT_EQ(last.dwWin32ExitCode, refuse ? DWORD{ERROR_SERVICE_SPECIFIC_ERROR} : DWORD{0});
  }
}

// --- The capture on its own -------------------------------------------------

TEST_F(LogFolderTest, CaptureCanBeFinishedTwiceAndStartedAgain) {
  const std::string path = Path("capture.log");
  TQZLogFile log(path.c_str());
  TQZOutputCapture capture(&log);
  capture.Finish();
  ASSERT_TRUE(capture.Start());
  EXPECT_TRUE(capture.Active());
  ASSERT_TRUE(capture.Start());
  std::printf("first\n");
  capture.Finish();
  capture.Finish();
  EXPECT_FALSE(capture.Active());
  ASSERT_TRUE(capture.Start());
  std::printf("second\r\n\n");
  // A run longer than the reader's line is written in pieces.
  std::printf("%s\n", std::string(70000, 'x').c_str());
  capture.Finish();
  EXPECT_EQ(LogTexts(path), (Lines{"first", "second", "", std::string(65536, 'x'),
                                   std::string(70000 - 65536, 'x')}));
}

TEST(TQZOutputCaptureTest, WithoutALogFileNothingIsRedirected) {
  TQZOutputCapture capture(nullptr);
  EXPECT_FALSE(capture.Start());
  EXPECT_EQ(capture.LastError, static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(capture.Active());
}

}  // namespace
