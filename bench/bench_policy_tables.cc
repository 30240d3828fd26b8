// The first-packet and host-name lookups of a new flow against the plainest
// hash-table way to get the same answers, in the same run.
//
// First-packet table: random prefixes of lengths 8-32 (10,000 and 100,000),
// looked up through the allocation-free `find`, against one
// absl::flat_hash_map per prefix length probed from the longest present
// length down. Destinations: half inside a prefix, half random.
//
// Host-name trie: 10,000 and 100,000 names of three or four labels, a tenth
// of them wildcards, against a hash of the whole name for exact entries and
// of its parent suffixes for wildcards. Both sides start from the dotted
// name; the trie's side cuts it into labels first, as the flow path does.
// Queries: exact names, names under a wildcard, and misses.
//
// A counting operator new shows that no lookup allocates.
#include <absl/container/flat_hash_map.h>
#include <absl/strings/string_view.h>
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bench/counting_new.h"
#include "bench/ratio_reporter.h"
#include "ostgraphsvc/graph/elements/policy/fpd_prefix_table.h"
#include "ostgraphsvc/graph/elements/policy/hostapp_trie.h"

namespace {

constexpr size_t kQueries = 1 << 16;

void report(benchmark::State& state, long allocated) {
  state.counters["allocs_per_lookup"] =
      static_cast<double>(allocated) / static_cast<double>(state.iterations());
}

struct Prefixes {
  std::vector<std::pair<uint32_t, int>> prefixes;  // host order, length
  std::vector<uint32_t> queries;                   // network order

  explicit Prefixes(int count) {
    std::mt19937 rng(static_cast<uint32_t>(count));
    for (int i = 0; i < count; ++i) {
      const int len = 8 + static_cast<int>(rng() % 25);
      prefixes.emplace_back(rng() & (~0u << (32 - len)), len);
    }
    for (size_t i = 0; i < kQueries; ++i) {
      uint32_t a = rng();
      if (i % 2 == 0) {
        const auto& [base, len] = prefixes[rng() % prefixes.size()];
        a = base | (a & ~(~0u << (32 - len)));
      }
      queries.push_back(htonl(a));
    }
  }
};

const Prefixes& prefixes(int count) {
  static std::map<int, Prefixes>* made = new std::map<int, Prefixes>;
  auto it = made->find(count);
  if (it == made->end()) it = made->emplace(count, Prefixes(count)).first;
  return it->second;
}

void BM_FpdFind(benchmark::State& state) {
  const Prefixes& p = prefixes(static_cast<int>(state.range(0)));
  FpdPrefixTable table;
  int app = 0;
  for (const auto& [base, len] : p.prefixes) {
    fpd_entry e;
    e.address = htonl(base);
    e.mask = htonl(~0u << (32 - len));
    e.app_id = ++app;
    e.port_items.push_back(fpd_port_item{443, 443, app, 0});
    table.add(e);
  }
  size_t i = 0;
  const long before = bench_heap_allocations();
  for (auto _ : state) {
    const fpd_entry* e = table.find(p.queries[i]);
    benchmark::DoNotOptimize(e != nullptr ? e->app_id : -1);
    if (++i == p.queries.size()) i = 0;
  }
  report(state, bench_heap_allocations() - before);
}

void BM_FlatHashPerLength(benchmark::State& state) {
  const Prefixes& p = prefixes(static_cast<int>(state.range(0)));
  absl::flat_hash_map<uint32_t, int> by_length[33];
  int app = 0;
  for (const auto& [base, len] : p.prefixes) by_length[len].try_emplace(base, ++app);
  std::vector<int> lengths;
  for (int len = 32; len >= 0; --len) {
    if (!by_length[len].empty()) lengths.push_back(len);
  }
  size_t i = 0;
  for (auto _ : state) {
    const uint32_t a = ntohl(p.queries[i]);
    int found = -1;
    for (int len : lengths) {
      auto it = by_length[len].find(len == 0 ? 0 : a & (~0u << (32 - len)));
      if (it != by_length[len].end()) {
        found = it->second;
        break;
      }
    }
    benchmark::DoNotOptimize(found);
    if (++i == p.queries.size()) i = 0;
  }
}

struct Names {
  std::vector<std::string> exact;      // dotted names with an entry of their own
  std::vector<std::string> wildcards;  // dotted domains covering every name below
  std::vector<std::string> queries;

  explicit Names(int count) {
    std::mt19937 rng(static_cast<uint32_t>(count) + 1);
    const char* tlds[] = {"com", "net", "org", "io", "de"};
    auto label = [&rng](int min, int spread) {
      std::string s;
      const int n = min + static_cast<int>(rng() % spread);
      for (int k = 0; k < n; ++k) s += static_cast<char>('a' + rng() % 26);
      return s;
    };
    for (int i = 0; i < count; ++i) {
      std::string domain = label(4, 8) + "." + tlds[rng() % 5];
      if (i % 10 == 0) {
        wildcards.push_back(domain);
      } else {
        exact.push_back((rng() % 2 ? label(2, 6) + "." : std::string()) + label(3, 5) + "." +
                        domain);
      }
    }
    for (size_t i = 0; i < kQueries; ++i) {
      switch (i % 4) {
        case 0:
        case 1:
          queries.push_back(exact[rng() % exact.size()]);
          break;
        case 2:
          queries.push_back(label(3, 5) + "." + wildcards[rng() % wildcards.size()]);
          break;
        default:
          queries.push_back(label(3, 5) + "." + label(4, 8) + "." + tlds[rng() % 5]);
      }
    }
  }
};

const Names& names(int count) {
  static std::map<int, Names>* made = new std::map<int, Names>;
  auto it = made->find(count);
  if (it == made->end()) it = made->emplace(count, Names(count)).first;
  return it->second;
}

// The labels of a dotted name, top-level first; the count.
int split_reversed(std::string_view name, HostLabel* labels, int max) {
  int n = 0;
  size_t end = name.size();
  for (size_t i = name.size(); i-- > 0;) {
    if (name[i] != '.') continue;
    if (end > i + 1 && n < max)
      labels[n++] = HostLabel{name.data() + i + 1, static_cast<int>(end - i - 1)};
    end = i;
  }
  if (end > 0 && n < max) labels[n++] = HostLabel{name.data(), static_cast<int>(end)};
  return n;
}

void BM_HostTrieLookup(benchmark::State& state) {
  const Names& nm = names(static_cast<int>(state.range(0)));
  HostAppTrieNode* root = hostapp_trie_new_node();
  HostLabel labels[16];
  int app = 0;
  for (const std::string& name : nm.exact) {
    const int n = split_reversed(name, labels, 15);
    hostapp_trie_insert(root, labels, n, hostapp_entry{++app, 0});
  }
  for (const std::string& domain : nm.wildcards) {
    const int n = split_reversed(domain, labels, 15);
    labels[n] = HostLabel{"*", 1};
    hostapp_trie_insert(root, labels, n + 1, hostapp_entry{++app, 0});
  }
  size_t i = 0;
  const long before = bench_heap_allocations();
  for (auto _ : state) {
    const int n = split_reversed(nm.queries[i], labels, 16);
    const hostapp_entry* e = hostapp_trie_lookup(root, labels, n);
    benchmark::DoNotOptimize(e != nullptr ? e->app_id : -1);
    if (++i == nm.queries.size()) i = 0;
  }
  report(state, bench_heap_allocations() - before);
  hostapp_trie_free(root);
}

void BM_HashNameAndSuffixes(benchmark::State& state) {
  const Names& nm = names(static_cast<int>(state.range(0)));
  absl::flat_hash_map<std::string, int> exact;
  absl::flat_hash_map<std::string, int> wildcard;
  int app = 0;
  for (const std::string& name : nm.exact) exact.try_emplace(name, ++app);
  for (const std::string& domain : nm.wildcards) wildcard.try_emplace(domain, ++app);
  size_t i = 0;
  for (auto _ : state) {
    const std::string_view name = nm.queries[i];
    int found = -1;
    auto it = exact.find(absl::string_view(name.data(), name.size()));
    if (it != exact.end()) {
      found = it->second;
    } else {
      // The deepest wildcard domain: the name itself, then each parent.
      for (size_t at = 0; at != std::string_view::npos;) {
        const std::string_view suffix = name.substr(at);
        auto w = wildcard.find(absl::string_view(suffix.data(), suffix.size()));
        if (w != wildcard.end()) {
          found = w->second;
          break;
        }
        at = name.find('.', at);
        if (at != std::string_view::npos) ++at;
      }
    }
    benchmark::DoNotOptimize(found);
    if (++i == nm.queries.size()) i = 0;
  }
}

BENCHMARK(BM_FpdFind)->Arg(10000)->Arg(100000);
BENCHMARK(BM_FlatHashPerLength)->Arg(10000)->Arg(100000);
BENCHMARK(BM_HostTrieLookup)->Arg(10000)->Arg(100000);
BENCHMARK(BM_HashNameAndSuffixes)->Arg(10000)->Arg(100000);

}  // namespace

int main(int argc, char** argv) {
  return bench::RunWithRatios(argc, argv,
                              {{"BM_FpdFind/10000", "BM_FlatHashPerLength/10000"},
                               {"BM_FpdFind/100000", "BM_FlatHashPerLength/100000"},
                               {"BM_HostTrieLookup/10000", "BM_HashNameAndSuffixes/10000"},
                               {"BM_HostTrieLookup/100000", "BM_HashNameAndSuffixes/100000"}});
}
