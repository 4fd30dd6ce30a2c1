// Median collection and the comparison table of the foundation benchmarks.
#include "bench/bench_table.h"

#include <cstdio>

namespace {

double ToNanoseconds(double value, benchmark::TimeUnit unit) {
  switch (unit) {
    case benchmark::kNanosecond:
      return value;
    case benchmark::kMicrosecond:
      return value * 1e3;
    case benchmark::kMillisecond:
      return value * 1e6;
    case benchmark::kSecond:
      return value * 1e9;
  }
  return value;
}

std::string Key(const benchmark::BenchmarkReporter::Run& run) {
  std::string key = run.run_name.function_name;
  if (!run.run_name.args.empty()) key += "/" + run.run_name.args;
  return key;
}

std::string FormatTime(double ns) {
  char text[32];
  if (ns >= 1e6)
    std::snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
  else if (ns >= 1e4)
    std::snprintf(text, sizeof text, "%.1f us", ns / 1e3);
  else
    std::snprintf(text, sizeof text, "%.1f ns", ns);
  return text;
}

std::string FormatRatio(double ratio) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", ratio);
  return text;
}

}  // namespace

void TQZMedianReporter::ReportRuns(const std::vector<Run>& reports) {
  for (const Run& run : reports) {
    if (run.error_occurred) continue;
    // CPU time shields a single thread's figure from the other processes on a
    // shared machine; a run of several threads is judged by the wall clock.
    const double ns = ToNanoseconds(
        run.threads > 1 ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime(),
        run.time_unit);
    if (run.run_type == Run::RT_Aggregate) {
      if (run.aggregate_name == "median") Medians[Key(run)] = ns;
    } else {
      Singles[Key(run)] = ns;
    }
  }
  benchmark::ConsoleReporter::ReportRuns(reports);
}

double TQZMedianReporter::Nanoseconds(const std::string& name) const {
  auto median = Medians.find(name);
  if (median != Medians.end()) return median->second;
  auto single = Singles.find(name);
  return single != Singles.end() ? single->second : -1.0;
}

void PrintTableHeader(const char* title) {
  std::printf("\n== %s\n", title);
  PrintTableLine("row", "ours", "theirs", "ratio", "target", "result");
}

void PrintTableLine(const std::string& label, const std::string& ours,
                    const std::string& theirs, const std::string& ratio,
                    const std::string& target, const std::string& result) {
  std::printf("%-62s %11s %11s %7s %8s  %s\n", label.c_str(), ours.c_str(),
              theirs.c_str(), ratio.c_str(), target.c_str(), result.c_str());
}

void PrintTable(const char* title, const TQZMedianReporter& reporter,
                const std::vector<TQZBenchRow>& rows) {
  PrintTableHeader(title);
  for (const TQZBenchRow& row : rows) {
    const double ours = reporter.Nanoseconds(row.Ours);
    const double theirs = reporter.Nanoseconds(row.Theirs);
    if (ours < 0 || theirs <= 0) {
      PrintTableLine(row.Label, ours < 0 ? "-" : FormatTime(ours),
                     theirs <= 0 ? "-" : FormatTime(theirs), "-", "-", "not run");
      continue;
    }
    const double ratio = ours / theirs;
    std::string target = "report";
    std::string result = "-";
    if (row.Target > 0) {
      target = "<= " + FormatRatio(row.Target);
      result = ratio <= row.Target ? "met" : "MISSED";
    }
    PrintTableLine(row.Label, FormatTime(ours), FormatTime(theirs),
                   FormatRatio(ratio), target, result);
  }
  std::fflush(stdout);
}
