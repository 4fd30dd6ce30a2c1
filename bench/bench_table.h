// Collects the median time of each benchmark and prints the comparison table.
#ifndef QZ_BENCH_BENCH_TABLE_H
#define QZ_BENCH_BENCH_TABLE_H

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

// One line of the table: our benchmark against the one it is measured
// against. A Target of 0 means the ratio is reported without a goal.
struct TQZBenchRow {
  std::string Label;
  std::string Ours;
  std::string Theirs;
  double Target;
};

// Prints what the console reporter prints and keeps, per benchmark, the
// median time in nanoseconds (or the single run's time when the run was not
// repeated): CPU time for one thread, real time for several.
class TQZMedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& reports) override;

  // Median time of the benchmark "Function/args", or a negative value when
  // it did not run.
  double Nanoseconds(const std::string& name) const;

 private:
  std::map<std::string, double> Medians;
  std::map<std::string, double> Singles;
};

// The header and the column layout that scripts/bench.sh repeats for the rows
// it measures itself.
void PrintTableHeader(const char* title);
void PrintTableLine(const std::string& label, const std::string& ours,
                    const std::string& theirs, const std::string& ratio,
                    const std::string& target, const std::string& result);
void PrintTable(const char* title, const TQZMedianReporter& reporter,
                const std::vector<TQZBenchRow>& rows);

#endif  // QZ_BENCH_BENCH_TABLE_H
