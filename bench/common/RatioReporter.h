// A console reporter that also keeps each benchmark's mean real time per
// iteration, so that a benchmark can print its figure as a ratio against a
// baseline measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) times[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  // Mean time of the run whose name starts with `prefix`; 0 when none ran.
  double time(const std::string& prefix) const {
    for (const auto& [name, value] : times) {
      if (name.rfind(prefix, 0) == 0) return value;
    }
    return 0;
  }
  double ratio(const std::string& measured, const std::string& baseline) const {
    double base = time(baseline);
    return base > 0 ? time(measured) / base : 0;
  }

 private:
  std::map<std::string, double> times;
};
