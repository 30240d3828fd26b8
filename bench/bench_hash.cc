// HashTable find and insert against std::unordered_map and absl's
// flat_hash_map, with integer and String keys (std::string for the
// baselines), at 1e3, 1e5 and 1e6 entries.
#include <absl/container/flat_hash_map.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench/ratio_reporter.h"
#include "graph/hash_table.h"
#include "graph/string.h"

namespace {

std::vector<int> IntKeys(int n) {
  std::mt19937 rng(static_cast<unsigned>(n));
  std::vector<int> keys(static_cast<size_t>(n));
  for (int& k : keys) k = static_cast<int>(rng());
  return keys;
}

std::vector<std::string> StdKeys(int n) {
  std::vector<std::string> keys;
  for (int k : IntKeys(n)) keys.push_back("element/" + std::to_string(k));
  return keys;
}

std::vector<String> FrameworkKeys(int n) {
  std::vector<String> keys;
  for (const std::string& k : StdKeys(n)) keys.emplace_back(k.c_str());
  return keys;
}

// Lookups in an order unrelated to insertion.
template <typename K>
std::vector<K> Shuffled(std::vector<K> keys) {
  std::shuffle(keys.begin(), keys.end(), std::mt19937(99));
  return keys;
}

template <typename Map, typename Key>
void InsertStd(benchmark::State& state, const std::vector<Key>& keys) {
  for (auto _ : state) {
    Map map;
    for (const Key& k : keys) map.emplace(k, 1);
    benchmark::DoNotOptimize(map.size());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(keys.size()));
}

template <typename Key>
void InsertOurs(benchmark::State& state, const std::vector<Key>& keys) {
  for (auto _ : state) {
    HashTable<Key, int> table;
    for (const Key& k : keys) table.find_insert(k, 1);
    benchmark::DoNotOptimize(table.size());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(keys.size()));
}

template <typename Map, typename Key>
void FindStd(benchmark::State& state, const std::vector<Key>& keys) {
  Map map;
  for (const Key& k : keys) map.emplace(k, 1);
  std::vector<Key> order = Shuffled(keys);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(map.find(order[i])->second);
    if (++i == order.size()) i = 0;
  }
}

template <typename Key>
void FindOurs(benchmark::State& state, const std::vector<Key>& keys) {
  HashTable<Key, int> table;
  for (const Key& k : keys) table.find_insert(k, 1);
  std::vector<Key> order = Shuffled(keys);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table.find(order[i])->value);
    if (++i == order.size()) i = 0;
  }
}

void BM_IntInsert_Ours(benchmark::State& s) {
  InsertOurs(s, IntKeys(static_cast<int>(s.range(0))));
}
void BM_IntInsert_Std(benchmark::State& s) {
  InsertStd<std::unordered_map<int, int>>(s, IntKeys(static_cast<int>(s.range(0))));
}
void BM_IntInsert_Absl(benchmark::State& s) {
  InsertStd<absl::flat_hash_map<int, int>>(s, IntKeys(static_cast<int>(s.range(0))));
}
void BM_IntFind_Ours(benchmark::State& s) { FindOurs(s, IntKeys(static_cast<int>(s.range(0)))); }
void BM_IntFind_Std(benchmark::State& s) {
  FindStd<std::unordered_map<int, int>>(s, IntKeys(static_cast<int>(s.range(0))));
}
void BM_IntFind_Absl(benchmark::State& s) {
  FindStd<absl::flat_hash_map<int, int>>(s, IntKeys(static_cast<int>(s.range(0))));
}
void BM_StringInsert_Ours(benchmark::State& s) {
  InsertOurs(s, FrameworkKeys(static_cast<int>(s.range(0))));
}
void BM_StringInsert_Std(benchmark::State& s) {
  InsertStd<std::unordered_map<std::string, int>>(s, StdKeys(static_cast<int>(s.range(0))));
}
void BM_StringInsert_Absl(benchmark::State& s) {
  InsertStd<absl::flat_hash_map<std::string, int>>(s, StdKeys(static_cast<int>(s.range(0))));
}
void BM_StringFind_Ours(benchmark::State& s) {
  FindOurs(s, FrameworkKeys(static_cast<int>(s.range(0))));
}
void BM_StringFind_Std(benchmark::State& s) {
  FindStd<std::unordered_map<std::string, int>>(s, StdKeys(static_cast<int>(s.range(0))));
}
void BM_StringFind_Absl(benchmark::State& s) {
  FindStd<absl::flat_hash_map<std::string, int>>(s, StdKeys(static_cast<int>(s.range(0))));
}

#define SIZES Arg(1000)->Arg(100000)->Arg(1000000)
BENCHMARK(BM_IntInsert_Ours)->SIZES;
BENCHMARK(BM_IntInsert_Std)->SIZES;
BENCHMARK(BM_IntInsert_Absl)->SIZES;
BENCHMARK(BM_IntFind_Ours)->SIZES;
BENCHMARK(BM_IntFind_Std)->SIZES;
BENCHMARK(BM_IntFind_Absl)->SIZES;
BENCHMARK(BM_StringInsert_Ours)->SIZES;
BENCHMARK(BM_StringInsert_Std)->SIZES;
BENCHMARK(BM_StringInsert_Absl)->SIZES;
BENCHMARK(BM_StringFind_Ours)->SIZES;
BENCHMARK(BM_StringFind_Std)->SIZES;
BENCHMARK(BM_StringFind_Absl)->SIZES;

}  // namespace

int main(int argc, char** argv) {
  std::vector<bench::Comparison> comparisons;
  for (const char* op : {"IntInsert", "IntFind", "StringInsert", "StringFind"}) {
    for (const char* n : {"1000", "100000", "1000000"}) {
      std::string ours = std::string("BM_") + op + "_Ours/" + n;
      comparisons.push_back({ours, std::string("BM_") + op + "_Std/" + n});
      comparisons.push_back({ours, std::string("BM_") + op + "_Absl/" + n});
    }
  }
  return bench::RunWithRatios(argc, argv, comparisons);
}
