// The cost of a router-side log call filtered out by level, and of one made
// while the log is off, against a call of an empty out-of-line variadic
// function taking the same arguments.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "bench/ratio_reporter.h"
#include "client/lib/cxLog/cxLog.h"
#include "graph/router_log.h"

namespace {

// noipa: neither inlined nor dropped as a call without effect.
__attribute__((noipa)) void empty_variadic(int level, const char* function, const char* file,
                                           int line, const char* format, ...) {
  (void)level;
  (void)function;
  (void)file;
  (void)line;
  (void)format;
}

void BM_EmptyVariadicCall(benchmark::State& state) {
  int level = 7;
  int value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(level);
    empty_variadic(level, "Bench::run", __FILE__, __LINE__, "filtered %d %s", ++value, "text");
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_EmptyVariadicCall);

// Level 7 maps to debug (5), above the threshold 4.
void BM_LogFilteredByThreshold(benchmark::State& state) {
  cxLogThreshold = CXLOG_INFO;
  int level = 7;
  int value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(level);
    log_syslog_level(level, "Bench::run", __FILE__, __LINE__, "filtered %d %s", ++value, "text");
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_LogFilteredByThreshold);

// The level passes, but the log is off: the second comparison filters.
void BM_LogFilteredWhileOff(benchmark::State& state) {
  cxLogEnabled = false;
  cxLogThreshold = CXLOG_DEBUG;
  int level = 7;
  int value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(level);
    log_syslog_level(level, "Bench::run", __FILE__, __LINE__, "filtered %d %s", ++value, "text");
    benchmark::DoNotOptimize(value);
  }
  cxLogThreshold = CXLOG_INFO;
  cxLogEnabled = true;
}
BENCHMARK(BM_LogFilteredWhileOff);

}  // namespace

int main(int argc, char** argv) {
  char pattern[] = "/tmp/dovadod-bench-XXXXXX";
  std::string root = ::mkdtemp(pattern);
  ::setenv("DOVADOD_ROOT", root.c_str(), 1);
  cxLogProcessTag = "vedororore";
  if (!cxLogInit("cxtarndebuglog", "cxtarndebuglog_old")) return 1;
  cxLogFormatFlags = 0x4F;

  int rc = bench::RunWithRatios(argc, argv,
                                {{"BM_LogFilteredByThreshold", "BM_EmptyVariadicCall"},
                                 {"BM_LogFilteredWhileOff", "BM_EmptyVariadicCall"}});
  cxLogShutdown();
  std::filesystem::remove_all(root);
  return rc;
}
