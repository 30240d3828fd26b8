// Runs the registered benchmarks, then prints each of our figures against its
// baseline measured in the same run: the ratio of real times per iteration and
// their difference in nanoseconds.
#ifndef BENCH_RATIO_REPORTER_H_
#define BENCH_RATIO_REPORTER_H_

#include <string>
#include <vector>

namespace bench {

struct Comparison {
  std::string ours;
  std::string baseline;
};

int RunWithRatios(int argc, char** argv, const std::vector<Comparison>& comparisons);

}  // namespace bench

#endif  // BENCH_RATIO_REPORTER_H_
