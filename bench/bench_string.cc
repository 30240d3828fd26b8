// StringBuilder appends against std::string appends; number appends against
// std::to_chars; String copies against std::string copies.
#include <benchmark/benchmark.h>

#include <charconv>
#include <random>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "graph/string.h"
#include "graph/string_builder.h"

namespace {

constexpr const char* kPieces[] = {
    "element", "/", "port", " -> ", "Discard@12", "[0]", "; ", "configuration text of some length"};

void BM_BuilderAppendText(benchmark::State& state) {
  for (auto _ : state) {
    StringBuilder sb;
    for (int i = 0; i < 64; ++i) {
      const char* piece = kPieces[i & 7];
      sb.append(piece, static_cast<int>(std::char_traits<char>::length(piece)));
    }
    benchmark::DoNotOptimize(sb.data());
  }
}
BENCHMARK(BM_BuilderAppendText);

void BM_StdStringAppendText(benchmark::State& state) {
  for (auto _ : state) {
    std::string s;
    for (int i = 0; i < 64; ++i) {
      const char* piece = kPieces[i & 7];
      s.append(piece, std::char_traits<char>::length(piece));
    }
    benchmark::DoNotOptimize(s.data());
  }
}
BENCHMARK(BM_StdStringAppendText);

std::vector<uint64_t> Numbers() {
  std::mt19937_64 rng(1);
  std::vector<uint64_t> v(64);
  for (uint64_t& x : v) x = rng() >> (rng() % 64);
  return v;
}

void BM_BuilderAppendNumber(benchmark::State& state) {
  std::vector<uint64_t> numbers = Numbers();
  StringBuilder sb(4096);
  for (auto _ : state) {
    sb.clear();
    for (uint64_t v : numbers) sb.append_number(v);
    benchmark::DoNotOptimize(sb.data());
  }
}
BENCHMARK(BM_BuilderAppendNumber);

void BM_ToCharsAppendNumber(benchmark::State& state) {
  std::vector<uint64_t> numbers = Numbers();
  std::string s;
  s.reserve(4096);
  for (auto _ : state) {
    s.clear();
    for (uint64_t v : numbers) {
      char buf[24];
      auto r = std::to_chars(buf, buf + sizeof buf, v);
      s.append(buf, static_cast<size_t>(r.ptr - buf));
    }
    benchmark::DoNotOptimize(s.data());
  }
}
BENCHMARK(BM_ToCharsAppendNumber);

void BM_StringCopy(benchmark::State& state) {
  std::string text(static_cast<size_t>(state.range(0)), 'x');
  String source(text.c_str());
  String target;
  for (auto _ : state) {
    String copy(source);
    benchmark::DoNotOptimize(copy.data());
    target = copy;
    benchmark::DoNotOptimize(target.data());
  }
}
BENCHMARK(BM_StringCopy)->Arg(8)->Arg(64)->Arg(1024);

void BM_StdStringCopy(benchmark::State& state) {
  std::string source(static_cast<size_t>(state.range(0)), 'x');
  std::string target;
  for (auto _ : state) {
    std::string copy(source);
    benchmark::DoNotOptimize(copy.data());
    target = copy;
    benchmark::DoNotOptimize(target.data());
  }
}
BENCHMARK(BM_StdStringCopy)->Arg(8)->Arg(64)->Arg(1024);

}  // namespace

int main(int argc, char** argv) {
  return bench::RunWithRatios(argc, argv,
                              {{"BM_BuilderAppendText", "BM_StdStringAppendText"},
                               {"BM_BuilderAppendNumber", "BM_ToCharsAppendNumber"},
                               {"BM_StringCopy/8", "BM_StdStringCopy/8"},
                               {"BM_StringCopy/64", "BM_StdStringCopy/64"},
                               {"BM_StringCopy/1024", "BM_StdStringCopy/1024"}});
}
