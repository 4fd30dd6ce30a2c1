// Tests of the rotating log file: the line format, rotation, dropped lines
// and writers on many threads.
#include "foundation/log_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/log_file_testing.h"
#include "foundation/sync.h"

#ifdef _WIN32
#include "foundation/win32.h"
#endif

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
const char LineEnd[] = "\r\n";
#else
const char LineEnd[] = "\n";
#endif

// A fresh folder of its own for each test, removed at its end.
class TQZLogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const ::testing::TestInfo* info =
        ::testing::UnitTest::GetInstance()->current_test_info();
    Folder = fs::temp_directory_path() /
             (std::string("qzlog-") + info->name() + "-" + std::to_string(Unique()));
    fs::remove_all(Folder);
    fs::create_directories(Folder);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(Folder, ignored);
  }

  static long long Unique() {
    return static_cast<long long>(
        std::chrono::steady_clock::now().time_since_epoch().count() % 1000000007);
  }

  std::string Path(const std::string& name) const { return (Folder / name).string(); }

  static std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }

  // The lines of a file without their stamps and line ends; a line without
  // a stamp is kept whole, marked with a leading '!'.
  static std::vector<std::string> ReadTexts(const std::string& path) {
    std::vector<std::string> texts;
    const std::string all = ReadAll(path);
    static const std::regex stamped(
        R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[\d+\] )");
    size_t start = 0;
    while (start < all.size()) {
      size_t end = all.find(LineEnd, start);
      EXPECT_NE(end, std::string::npos) << "unterminated line in " << path;
      if (end == std::string::npos) end = all.size();
      const std::string line = all.substr(start, end - start);
      std::smatch match;
      if (std::regex_search(line, match, stamped)) {
        texts.push_back(line.substr(match.length(0)));
      } else {
        texts.push_back("!" + line);
      }
      start = end + std::strlen(LineEnd);
    }
    return texts;
  }

  // Bytes one line of text takes in a file written by this thread.
  uint64_t LineSize(const std::string& text) {
    const std::string probe = Path("probe.log");
    {
      TQZLogFile log(probe.c_str());
      EXPECT_TRUE(log.Write(text.c_str(), text.size()));
    }
    const uint64_t size = fs::file_size(probe);
    fs::remove(probe);
    return size;
  }

  fs::path Folder;
};

using Texts = std::vector<std::string>;

TEST(TQZLogStampTest, StampIsDateTimeMillisecondsAndThreadInBrackets) {
  char buffer[48];
  const TQZLogTime time = {2026, 3, 4, 5, 6, 7, 89};
  EXPECT_EQ("2026-03-04 05:06:07.089 [42] ",
            std::string(buffer, FormatLogStamp(time, 42, buffer)));
  const TQZLogTime last = {9999, 12, 31, 23, 59, 59, 999};
  EXPECT_EQ("9999-12-31 23:59:59.999 [4294967295] ",
            std::string(buffer, FormatLogStamp(last, 4294967295u, buffer)));
  EXPECT_EQ("2026-01-01 00:00:00.000 [0] ",
            std::string(buffer, FormatLogStamp({2026, 1, 1, 0, 0, 0, 0}, 0, buffer)));
}

TEST_F(TQZLogFileTest, LinesCarryTheCurrentTimeAndTheWritersThreadInOrder) {
  const std::string path = Path("app.log");
  TQZLogFile log(path.c_str());
  ASSERT_TRUE(log.Write("first", 5));
  ASSERT_TRUE(log.Print("second %d %s", 2, "two"));
  const std::string all = ReadAll(path);
  const std::regex line(
      R"((\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}) \[(\d+)\] (\w+).*)");
  std::smatch first;
  const std::string firstLine = all.substr(0, all.find(LineEnd));
  ASSERT_TRUE(std::regex_match(firstLine, first, line)) << all;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  // Written a moment ago: the year and the day agree with the clock (a test
  // run across midnight may see the day before).
  EXPECT_EQ(local.tm_year + 1900, std::stoi(first[1])) << firstLine;
  EXPECT_LE(std::abs(local.tm_mday - std::stoi(first[3])), 1) << firstLine;
  EXPECT_EQ((Texts{"first", "second 2 two"}), ReadTexts(path));
}

TEST_F(TQZLogFileTest, TextWithLineBreaksBecomesOneStampedLinePerPart) {
  const std::string path = Path("app.log");
  TQZLogFile log(path.c_str());
  ASSERT_TRUE(log.Write(TQZString("one\ntwo\r\nthree\n")));
  ASSERT_TRUE(log.Write(TQZString("")));
  ASSERT_TRUE(log.Write(TQZString("\n\nafter two breaks")));
  ASSERT_TRUE(log.Write(nullptr, 5));
  EXPECT_EQ((Texts{"one", "two", "three", "", "", "", "after two breaks", ""}),
            ReadTexts(path));
}

TEST_F(TQZLogFileTest, Utf8AndOtherHighBytesArriveUnchanged) {
  const std::string path = Path("app.log");
  TQZLogFile log(path.c_str());
  const std::string text =
      "\xC3\x9C" "berwachung \xE7\x9B\xA3\xE8\xA6\x96 \xF0\x9F\x93\x9C \xFF\x80";
  ASSERT_TRUE(log.Write(text.c_str(), text.size()));
  // Widths count bytes, as printf's do.
  ASSERT_TRUE(log.Print("%s|%5s|", text.c_str(), "\xC3\xA9"));
  EXPECT_EQ((Texts{text, text + "|   \xC3\xA9|"}), ReadTexts(path));
}

TEST_F(TQZLogFileTest, PrintFormatsTextsLongerThanItsStackBuffer) {
  const std::string path = Path("app.log");
  TQZLogFile log(path.c_str());
  const std::string longText(5000, 'x');
  ASSERT_TRUE(log.Print("<%s> %u %05.1f", longText.c_str(), 7u, 2.25));
  EXPECT_EQ((Texts{"<" + longText + "> 7 002.2"}), ReadTexts(path));
}

TEST_F(TQZLogFileTest, OldFileNamesPutTheNumberBeforeTheExtension) {
  EXPECT_STREQ("app.1.log", TQZLogFile("app.log").OldFileName(1).Text());
  EXPECT_STREQ("a.b.12.log", TQZLogFile("a.b.log").OldFileName(12).Text());
  EXPECT_STREQ("app.2", TQZLogFile("app").OldFileName(2).Text());
  EXPECT_STREQ("dir.d/app.3", TQZLogFile("dir.d/app").OldFileName(3).Text());
  EXPECT_STREQ("dir.d\\app.3", TQZLogFile("dir.d\\app").OldFileName(3).Text());
  EXPECT_STREQ("dir/.log.1", TQZLogFile("dir/.log").OldFileName(1).Text());
  EXPECT_STREQ(".log.1", TQZLogFile(".log").OldFileName(1).Text());
}

TEST_F(TQZLogFileTest, ConstructionClampsTheLimitAndTheCount) {
  TQZLogFile log(Path("a.log").c_str(), 0, 0);
  EXPECT_EQ(TQZLogFile::DefaultMaxSize, log.MaxSize());
  EXPECT_EQ(1, log.KeptFiles());
  EXPECT_FALSE(fs::exists(Path("a.log"))) << "nothing is opened before the first line";
}

TEST_F(TQZLogFileTest, FileThatReachesItsLimitExactlyRotatesOnlyAtTheNextLine) {
  const uint64_t line = LineSize("line 1");
  const std::string path = Path("app.log");
  TQZLogFile log(path.c_str(), 2 * line, 3);
  ASSERT_TRUE(log.Write(TQZString("line 1")));
  ASSERT_TRUE(log.Write(TQZString("line 2")));
  EXPECT_EQ(2 * line, fs::file_size(path));
  EXPECT_FALSE(fs::exists(Path("app.1.log")));
  ASSERT_TRUE(log.Write(TQZString("line 3")));
  EXPECT_EQ((Texts{"line 1", "line 2"}), ReadTexts(Path("app.1.log")));
  EXPECT_EQ((Texts{"line 3"}), ReadTexts(path));
  EXPECT_FALSE(fs::exists(Path("app.2.log")));
}

TEST_F(TQZLogFileTest, OldFilesShiftUpAndTheOldestBeyondTheCountIsRemoved) {
  const uint64_t line = LineSize("line 1");
  const std::string path = Path("app.log");
  TQZLogFile log(path.c_str(), line, 3);
  for (int i = 1; i <= 6; ++i) ASSERT_TRUE(log.Print("line %d", i));
  EXPECT_EQ((Texts{"line 6"}), ReadTexts(path));
  EXPECT_EQ((Texts{"line 5"}), ReadTexts(Path("app.1.log")));
  EXPECT_EQ((Texts{"line 4"}), ReadTexts(Path("app.2.log")));
  EXPECT_EQ((Texts{"line 3"}), ReadTexts(Path("app.3.log")));
  EXPECT_FALSE(fs::exists(Path("app.4.log")));
}

TEST_F(TQZLogFileTest, CountOfOneKeepsTheCurrentAndOneOldFile) {
  const uint64_t line = LineSize("line 1");
  const std::string path = Path("app.log");
  TQZLogFile log(path.c_str(), 2 * line, 1);
  for (int i = 1; i <= 7; ++i) ASSERT_TRUE(log.Print("line %d", i));
  EXPECT_EQ((Texts{"line 7"}), ReadTexts(path));
  EXPECT_EQ((Texts{"line 5", "line 6"}), ReadTexts(Path("app.1.log")));
  EXPECT_FALSE(fs::exists(Path("app.2.log")));
}

TEST_F(TQZLogFileTest, LineLongerThanTheLimitGoesWholeIntoAFreshFile) {
  const std::string path = Path("app.log");
  TQZLogFile log(path.c_str(), 64, 3);
  const std::string big(300, 'b');
  ASSERT_TRUE(log.Write(TQZString("short")));
  ASSERT_TRUE(log.Write(big.c_str(), big.size()));
  EXPECT_EQ((Texts{big}), ReadTexts(path));
  EXPECT_EQ((Texts{"short"}), ReadTexts(Path("app.1.log")));
  ASSERT_TRUE(log.Write(big.c_str(), big.size()));
  ASSERT_TRUE(log.Write(TQZString("after")));
  EXPECT_EQ((Texts{"after"}), ReadTexts(path));
  EXPECT_EQ((Texts{big}), ReadTexts(Path("app.1.log")));
  EXPECT_EQ((Texts{big}), ReadTexts(Path("app.2.log")));
  EXPECT_EQ((Texts{"short"}), ReadTexts(Path("app.3.log")));
}

TEST_F(TQZLogFileTest, LineLongerThanTheLimitIntoAnEmptyFileRotatesNothing) {
  const std::string path = Path("app.log");
  TQZLogFile log(path.c_str(), 16, 2);
  const std::string big(100, 'b');
  ASSERT_TRUE(log.Write(big.c_str(), big.size()));
  EXPECT_EQ((Texts{big}), ReadTexts(path));
  EXPECT_FALSE(fs::exists(Path("app.1.log")));
}

TEST_F(TQZLogFileTest, MultiLineTextIsNeverSplitBetweenFiles) {
  const uint64_t line = LineSize("aaaa");
  const std::string path = Path("app.log");
  TQZLogFile log(path.c_str(), 3 * line, 2);
  ASSERT_TRUE(log.Write(TQZString("aaaa\nbbbb")));
  ASSERT_TRUE(log.Write(TQZString("cccc\ndddd")));
  EXPECT_EQ((Texts{"cccc", "dddd"}), ReadTexts(path));
  EXPECT_EQ((Texts{"aaaa", "bbbb"}), ReadTexts(Path("app.1.log")));
}

TEST_F(TQZLogFileTest, AnExistingFileIsAppendedToAndItsSizeCounts) {
  const uint64_t line = LineSize("line 1");
  const std::string path = Path("app.log");
  {
    TQZLogFile first(path.c_str(), 2 * line, 2);
    ASSERT_TRUE(first.Write(TQZString("line 1")));
  }
  TQZLogFile second(path.c_str(), 2 * line, 2);
  ASSERT_TRUE(second.Write(TQZString("line 2")));
  ASSERT_TRUE(second.Write(TQZString("line 3")));
  EXPECT_EQ((Texts{"line 1", "line 2"}), ReadTexts(Path("app.1.log")));
  EXPECT_EQ((Texts{"line 3"}), ReadTexts(path));
}

TEST_F(TQZLogFileTest, RotationThatCannotBeDoneKeepsTheLinesAndIsRetriedLater) {
  const uint64_t line = LineSize("line 1");
  const std::string path = Path("app.log");
  // A folder in the way of the first old file: neither removed nor replaced.
  fs::create_directories(Path("app.1.log") + "/inside");
  TQZLogFile log(path.c_str(), line, 1);
  for (int i = 1; i <= 3; ++i) ASSERT_TRUE(log.Print("line %d", i));
  EXPECT_EQ((Texts{"line 1", "line 2", "line 3"}), ReadTexts(path));
  fs::remove_all(Path("app.1.log"));
  // Not before a second has passed since the failed attempt.
  SleepMilliseconds(1100);
  ASSERT_TRUE(log.Write(TQZString("line 4")));
  EXPECT_EQ((Texts{"line 1", "line 2", "line 3"}), ReadTexts(Path("app.1.log")));
  EXPECT_EQ((Texts{"line 4"}), ReadTexts(path));
}

// Fails every write while Failing is set; a cut write leaves its first half.
std::atomic<bool> Failing{false};
std::atomic<bool> CutInHalf{false};
bool FlakyWrite(void* file, const char* data, size_t length, size_t& written) {
  written = 0;
  if (!Failing.load()) return PlatformLogWrite()(file, data, length, written);
  if (CutInHalf.load()) PlatformLogWrite()(file, data, length / 2, written);
  return false;
}

class TQZLogFileFailureTest : public TQZLogFileTest {
 protected:
  void SetUp() override {
    TQZLogFileTest::SetUp();
    Failing = false;
    CutInHalf = false;
    Previous = SetLogWriteForTesting(&FlakyWrite);
  }
  void TearDown() override {
    SetLogWriteForTesting(Previous);
    TQZLogFileTest::TearDown();
  }
  TQZLogWriteCall Previous = nullptr;
};

TEST_F(TQZLogFileFailureTest, FailedWritesAreCountedAndReportedBeforeTheNextLine) {
  const std::string path = Path("app.log");
  TQZLogFile log(path.c_str());
  ASSERT_TRUE(log.Write(TQZString("before")));
  Failing = true;
  EXPECT_FALSE(log.Write(TQZString("lost 1")));
  EXPECT_FALSE(log.Write(TQZString("lost 2\nlost 3")));
  EXPECT_FALSE(log.Print("lost %d", 4));
  EXPECT_EQ(4u, log.PendingDropped());
  Failing = false;
  ASSERT_TRUE(log.Write(TQZString("after")));
  ASSERT_TRUE(log.Write(TQZString("later")));
  EXPECT_EQ(0u, log.PendingDropped());
  EXPECT_EQ((Texts{"before", "4 lines could not be written and were dropped", "after",
                   "later"}),
            ReadTexts(path));
}

TEST_F(TQZLogFileFailureTest, OneDroppedLineIsReportedInTheSingular) {
  const std::string path = Path("app.log");
  TQZLogFile log(path.c_str());
  Failing = true;
  EXPECT_FALSE(log.Write(TQZString("lost")));
  Failing = false;
  ASSERT_TRUE(log.Write(TQZString("after")));
  EXPECT_EQ((Texts{"1 line could not be written and was dropped", "after"}), ReadTexts(path));
}

TEST_F(TQZLogFileFailureTest, WriteCutShortIsEndedSoTheNextLineStartsOnItsOwn) {
  const std::string path = Path("app.log");
  TQZLogFile log(path.c_str());
  Failing = true;
  CutInHalf = true;
  EXPECT_FALSE(log.Write(
      TQZString("a line that is cut in half, with words enough to pass its stamp")));
  Failing = false;
  ASSERT_TRUE(log.Write(TQZString("whole")));
  const Texts texts = ReadTexts(path);
  ASSERT_EQ(3u, texts.size());
  EXPECT_NE(std::string::npos, texts[0].find("a line that")) << texts[0];
  EXPECT_EQ("1 line could not be written and was dropped", texts[1]);
  EXPECT_EQ("whole", texts[2]);
}

TEST_F(TQZLogFileTest, FolderThatAppearsLaterIsWrittenToFromThenOn) {
  const std::string path = Path("later/app.log");
  TQZLogFile log(path.c_str());
  EXPECT_FALSE(log.Write(TQZString("lost 1")));
  EXPECT_FALSE(log.Write(TQZString("lost 2")));
  fs::create_directories(Path("later"));
  ASSERT_TRUE(log.Write(TQZString("found")));
  EXPECT_EQ((Texts{"2 lines could not be written and were dropped", "found"}), ReadTexts(path));
}

TEST_F(TQZLogFileTest, EightThreadsLoseNoLineAndKeepEachThreadsOrderAcrossRotations) {
  const int threads = 8;
  const int perThread = 10000;
  const std::string path = Path("app.log");
  // About 3.5 MB in all: some twenty rotations, with room for every file.
  const int kept = 60;
  TQZLogFile log(path.c_str(), 160 * 1024, kept);
  std::atomic<int> failed{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([&log, &failed, t] {
      for (int i = 0; i < perThread; ++i) {
        if (!log.Print("writer %d line %05d", t, i)) ++failed;
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  EXPECT_EQ(0, failed.load());

  std::vector<std::string> files;
  for (int i = kept; i >= 1; --i) {
    const std::string old = log.OldFileName(i).Text();
    if (fs::exists(old)) files.push_back(old);
  }
  EXPECT_FALSE(fs::exists(log.OldFileName(kept).Text())) << "room for every file";
  EXPECT_GT(files.size(), 10u);
  files.push_back(path);
  std::vector<int> next(threads, 0);
  int total = 0;
  for (const std::string& file : files) {
    EXPECT_LE(fs::file_size(file), 160u * 1024) << file;
    for (const std::string& text : ReadTexts(file)) {
      int t = -1;
      int i = -1;
      char tail = 0;
      ASSERT_EQ(2, std::sscanf(text.c_str(), "writer %d line %d%c", &t, &i, &tail))
          << file << ": " << text;
      ASSERT_TRUE(t >= 0 && t < threads) << text;
      ASSERT_EQ(next[t], i) << "writer " << t << " out of order in " << file;
      ++next[t];
      ++total;
    }
  }
  EXPECT_EQ(threads * perThread, total);
}

#ifdef _WIN32
// Two objects on one file stand for two processes: each has its own handle,
// and they meet only through the file and the named rotation guard.
TEST_F(TQZLogFileTest, TwoWritersOfOneFileAppendAtItsEndAndRotateInTurn) {
  const std::string path = Path("shared.log");
  const int perWriter = 5000;
  const int kept = 40;
  TQZLogFile first(path.c_str(), 32 * 1024, kept);
  TQZLogFile second(path.c_str(), 32 * 1024, kept);
  std::thread a([&] {
    for (int i = 0; i < perWriter; ++i) first.Print("writer 0 line %05d", i);
  });
  std::thread b([&] {
    for (int i = 0; i < perWriter; ++i) second.Print("writer 1 line %05d", i);
  });
  a.join();
  b.join();
  std::vector<std::string> files;
  for (int i = kept; i >= 1; --i) {
    if (fs::exists(first.OldFileName(i).Text())) files.push_back(first.OldFileName(i).Text());
  }
  EXPECT_GT(files.size(), 5u);
  files.push_back(path);
  int next[2] = {0, 0};
  for (const std::string& file : files) {
    for (const std::string& text : ReadTexts(file)) {
      int t = -1;
      int i = -1;
      ASSERT_EQ(2, std::sscanf(text.c_str(), "writer %d line %d", &t, &i)) << file << ": " << text;
      ASSERT_TRUE(t == 0 || t == 1) << text;
      ASSERT_EQ(next[t], i) << "writer " << t << " in " << file;
      ++next[t];
    }
  }
  EXPECT_EQ(perWriter, next[0]);
  EXPECT_EQ(perWriter, next[1]);
}

TEST_F(TQZLogFileTest, GuardHeldByAHungProcessDelaysOneWriteOnlyAndLosesNoLine) {
  const std::string path = Path("hung.log");
  TQZLogFile log(path.c_str());
  ASSERT_TRUE(log.Write(TQZString("before")));
  // The guard's owner is a thread, as it would be in the hung process.
  TQZString name = LogGuardMutexName(path.c_str(), "Global");
  HANDLE mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.Text());
  if (mutex == nullptr) {
    name = LogGuardMutexName(path.c_str(), "Local");
    mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.Text());
  }
  ASSERT_NE(mutex, nullptr) << name.Text();
  HANDLE taken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread holder([&] {
    WaitForSingleObject(mutex, INFINITE);
    SetEvent(taken);
    WaitForSingleObject(release, INFINITE);
    ReleaseMutex(mutex);
  });
  WaitForSingleObject(taken, INFINITE);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(log.Write(TQZString("waited")));
  const auto afterFirst = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(log.Print("tried %d", i));
  const auto afterRest = std::chrono::steady_clock::now();
  SetEvent(release);
  holder.join();
  CloseHandle(release);
  CloseHandle(taken);
  CloseHandle(mutex);
  // Waiting for the guard each time would take ten seconds more.
  EXPECT_GE(afterFirst - start, std::chrono::milliseconds(1500));
  EXPECT_LT(afterRest - afterFirst, std::chrono::milliseconds(5000));
  EXPECT_EQ((Texts{"before", "waited", "tried 0", "tried 1", "tried 2", "tried 3", "tried 4"}),
            ReadTexts(path));
}
#endif

}  // namespace
