// Runs the registered benchmarks, then prints each of our figures against its
// baseline measured in the same run: the ratio of real times per iteration and
// their difference in nanoseconds.
#ifndef BENCH_RATIO_REPORTER_H_
#define BENCH_RATIO_REPORTER_H_

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace bench {

// The console options our own reporters take: a reporter handed to
// RunSpecifiedBenchmarks keeps its own options and ignores --benchmark_color,
// so colour only when stdout is a terminal and the flag does not turn it off.
// Call before benchmark::Initialize, which removes the flags it knows.
benchmark::ConsoleReporter::OutputOptions ConsoleOptions(int argc, char** argv);

struct Comparison {
  std::string ours;
  std::string baseline;
};

int RunWithRatios(int argc, char** argv, const std::vector<Comparison>& comparisons);

}  // namespace bench

#endif  // BENCH_RATIO_REPORTER_H_
