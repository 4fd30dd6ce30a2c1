// The rotating log file against spdlog's rotating file sink, both flushing
// every line to the operating system: 100-byte lines, rotation at 1 MiB,
// from one thread and from four. Printed as lines per second.
#include <benchmark/benchmark.h>

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_table.h"
#include "foundation/log_file.h"

namespace fs = std::filesystem;

namespace {

const size_t LineLength = 100;
const uint64_t RotateAt = 1024 * 1024;
const int KeptFiles = 3;

// The text after the stamp, so that each line is 100 bytes with its stamp
// and line end: "YYYY-MM-DD HH:MM:SS.mmm [tid] " is about 32 bytes.
const std::string& Message() {
  static const std::string text(LineLength - 32 - 1, 'm');
  return text;
}

fs::path Folder() {
  static const fs::path folder = [] {
    fs::path f = fs::temp_directory_path() / "qz-log-bench";
    fs::remove_all(f);
    fs::create_directories(f);
    return f;
  }();
  return folder;
}

TQZLogFile* OurLog = nullptr;
std::shared_ptr<spdlog::logger> TheirLog;

void QZLogLine(benchmark::State& state) {
  if (state.thread_index() == 0) {
    OurLog = new TQZLogFile((Folder() / "ours.log").string().c_str(), RotateAt, KeptFiles);
  }
  const std::string& text = Message();
  for (auto _ : state) OurLog->Print("%s %d", text.c_str(), 7);
  if (state.thread_index() == 0) {
    delete OurLog;
    OurLog = nullptr;
  }
}

void SpdlogLine(benchmark::State& state) {
  if (state.thread_index() == 0) {
    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
        (Folder() / "theirs.log").string(), RotateAt, KeptFiles);
    TheirLog = std::make_shared<spdlog::logger>("bench", sink);
    // The same line shape, and every line handed to the system at once.
    TheirLog->set_pattern("%Y-%m-%d %H:%M:%S.%e [%t] %v");
    TheirLog->flush_on(spdlog::level::trace);
  }
  const std::string& text = Message();
  for (auto _ : state) TheirLog->info("{} {}", text, 7);
  if (state.thread_index() == 0) TheirLog.reset();
}

// Named apart, as the table tells runs by name and arguments only.
void QZLogLineThreads(benchmark::State& state) { QZLogLine(state); }
void SpdlogLineThreads(benchmark::State& state) { SpdlogLine(state); }

BENCHMARK(QZLogLine)->Repetitions(5);
BENCHMARK(SpdlogLine)->Repetitions(5);
BENCHMARK(QZLogLineThreads)->Threads(4)->Repetitions(5)->UseRealTime();
BENCHMARK(SpdlogLineThreads)->Threads(4)->Repetitions(5)->UseRealTime();

std::string LinesPerSecond(double nanoseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0fk/s", 1e6 / nanoseconds);
  return text;
}

void PrintRow(const TQZMedianReporter& reporter, const std::string& label,
              const std::string& ours, const std::string& theirs) {
  const double a = reporter.Nanoseconds(ours);
  const double b = reporter.Nanoseconds(theirs);
  if (a <= 0 || b <= 0) {
    PrintTableLine(label, "-", "-", "-", ">= 1.00", "not run");
    return;
  }
  // The ratio is ours over theirs in lines per second: higher is better.
  char ratio[32];
  std::snprintf(ratio, sizeof ratio, "%.2f", b / a);
  PrintTableLine(label, LinesPerSecond(a), LinesPerSecond(b), ratio, ">= 1.00",
                 b / a >= 1.0 ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  TQZMedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintTableHeader(
      "log file, native, against spdlog's rotating sink flushing every line (lines per second)");
  PrintRow(reporter, "100-byte lines, rotation at 1 MiB, 1 thread (CPU time)", "QZLogLine",
           "SpdlogLine");
  PrintRow(reporter, "100-byte lines, rotation at 1 MiB, 4 threads (real time)",
           "QZLogLineThreads", "SpdlogLineThreads");
  std::fflush(stdout);
  std::error_code ignored;
  fs::remove_all(Folder(), ignored);
  benchmark::Shutdown();
  return 0;
}
