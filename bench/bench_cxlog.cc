// The cost of a log call filtered out at its call site, against a call of an
// empty inline function; and of a written line, against fprintf and fflush of
// a line of the same size to a file.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/ratio_reporter.h"
#include "client/lib/cxLog/cxLog.h"
#include "client/lib/cxLog/cxRotationFile.h"

namespace {

std::string g_root;

inline void EmptyInline(int level, int value) {
  (void)level;
  (void)value;
}

void BM_EmptyInlineCall(benchmark::State& state) {
  int level = CXLOG_DEBUG;
  int value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(level);
    EmptyInline(level, ++value);
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_EmptyInlineCall);

void BM_LogBelowThreshold(benchmark::State& state) {
  cxLogThreshold = CXLOG_INFO;
  int level = CXLOG_DEBUG;
  int value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(level);
    CXLOG("bench", level, "filtered %d %s", ++value, "text");
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_LogBelowThreshold);

void BM_LogWrittenLine(benchmark::State& state) {
  cxLogThreshold = CXLOG_INFO;
  int value = 0;
  for (auto _ : state) {
    CXLOG("bench", CXLOG_INFO, "written line number %d with some text %s", ++value, "abc");
  }
}
BENCHMARK(BM_LogWrittenLine);

void BM_FprintfFlushLine(benchmark::State& state) {
  std::string path = g_root + "/plain.log";
  FILE* file = std::fopen(path.c_str(), "a");
  int value = 0;
  for (auto _ : state) {
    std::fprintf(file,
                 "2026/12/10 12:00:00.000 vedororore p1f40 t2a8 info bench_cxlog.cc:50 bench "
                 "written line number %d with some text %s\n",
                 ++value, "abc");
    std::fflush(file);
    if (std::ftell(file) > kCxLogMaxFileSize) {
      std::fclose(file);
      file = std::fopen(path.c_str(), "w");
    }
  }
  std::fclose(file);
}
BENCHMARK(BM_FprintfFlushLine);

}  // namespace

int main(int argc, char** argv) {
  char pattern[] = "/tmp/dovadod-bench-XXXXXX";
  g_root = ::mkdtemp(pattern);
  ::setenv("DOVADOD_ROOT", g_root.c_str(), 1);
  cxLogProcessTag = "vedororore";
  if (!cxLogInit("cxtarndebuglog", "cxtarndebuglog_old")) return 1;
  cxLogFormatFlags = 0x4F;

  int rc = bench::RunWithRatios(argc, argv,
                                {{"BM_LogBelowThreshold", "BM_EmptyInlineCall"},
                                 {"BM_LogWrittenLine", "BM_FprintfFlushLine"}});
  cxLogShutdown();
  std::filesystem::remove_all(g_root);
  return rc;
}
