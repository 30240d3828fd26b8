#include "bench/ratio_reporter.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string_view>

namespace bench {
namespace {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  using ConsoleReporter::ConsoleReporter;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      nanos_[run.benchmark_name()] = run.real_accumulated_time * 1e9 / run.iterations;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  const std::map<std::string, double>& nanos() const { return nanos_; }

 private:
  std::map<std::string, double> nanos_;
};

}  // namespace

benchmark::ConsoleReporter::OutputOptions ConsoleOptions(int argc, char** argv) {
  bool color = isatty(STDOUT_FILENO) == 1;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    constexpr std::string_view kFlag = "--benchmark_color=";
    if (arg.substr(0, kFlag.size()) != kFlag) continue;
    const std::string_view value = arg.substr(kFlag.size());
    if (value == "false" || value == "no" || value == "0") color = false;
  }
  return color ? benchmark::ConsoleReporter::OO_Defaults : benchmark::ConsoleReporter::OO_Tabular;
}

int RunWithRatios(int argc, char** argv, const std::vector<Comparison>& comparisons) {
  const auto options = ConsoleOptions(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter(options);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::printf("\n%-40s %-40s %10s %12s\n", "ours", "baseline", "ratio", "diff (ns)");
  for (const Comparison& c : comparisons) {
    auto ours = reporter.nanos().find(c.ours);
    auto base = reporter.nanos().find(c.baseline);
    if (ours == reporter.nanos().end() || base == reporter.nanos().end()) continue;
    std::printf("%-40s %-40s %10.2f %12.2f\n", c.ours.c_str(), c.baseline.c_str(),
                base->second > 0 ? ours->second / base->second : 0.0, ours->second - base->second);
  }
  return 0;
}

}  // namespace bench
