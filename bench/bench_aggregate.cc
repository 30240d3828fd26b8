// The flow element's find-or-make (AggregateIPFlows::handle_packet on UDP
// packets of 10,000, 100,000 and 1,000,000 flows, visited in a shuffled
// order after every flow exists, each packet warm in cache as a packet just
// received is) against std::unordered_map find-or-insert on the same 12-byte
// host-pair keys from the same packet bytes, in the same run; the memory each flow
// costs (heap bytes per made flow) and the allocations per packet of a
// known flow are counters. Then the best-route answer that DSCP keying asks
// for on every packet: from the per-destination cache against a fresh
// RTM_GETROUTE each time.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <unordered_map>
#include <vector>

#include "bench/counting_new.h"
#include "bench/ratio_reporter.h"
#include "graph/error_handler.h"
#include "graph/packet.h"
#include "graph/timestamp.h"
#include "ostgraphsvc/graph/elements/analysis/aggregate_ip_flows.h"
#include "platform/adapters/best_route.h"

namespace {

uint32_t NoRoute(uint32_t, platform::BestRoute*) { return 1168; }

// A ring of packets that stays in cache, as the packet just received does;
// before each use a slot is rewritten to flow `i`: 10.x.y.z:port ->
// 198.51.100.0/24:53. Both sides of a comparison pay the same rewrite.
constexpr uint32_t kRing = 256;

struct Ring {
  Ring() {
    uint8_t b[28] = {0x45, 0, 0, 28, 0, 1, 0, 0, 64, 17, 0, 0};
    b[23] = 53;
    b[25] = 8;
    for (Packet*& p : slots) {
      p = Packet::make(0, b, sizeof b);
      p->set_network_header(p->data(), 20);
      p->set_msgtype(1);
      p->set_timestamp(Timestamp::make_sec(1700000000));
    }
  }
  Packet* Use(size_t at, uint32_t i) {
    Packet* p = slots[at % kRing];
    uint8_t* d = p->data();
    const uint32_t src = htonl(0x0A000000u | (i >> 4));
    const uint32_t dst = htonl(0xC6336400u | (i & 15));
    const uint16_t sport = htons(static_cast<uint16_t>(1024 + (i & 0x3FFF)));
    std::memcpy(d + 12, &src, 4);
    std::memcpy(d + 16, &dst, 4);
    std::memcpy(d + 20, &sport, 2);
    p->set_aggregate_anno(0);
    return p;
  }
  Packet* slots[kRing];
};

// The flows of a run in a shuffled order.
const std::vector<uint32_t>& Order(uint32_t n) {
  static std::vector<uint32_t> order;
  if (order.size() != n) {
    order.resize(n);
    for (uint32_t i = 0; i < n; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
  }
  return order;
}

void BM_AggregateFindOrMake(benchmark::State& state) {
  const uint32_t n = static_cast<uint32_t>(state.range(0));
  const std::vector<uint32_t>& order = Order(n);
  Ring ring;
  auto flows = std::make_unique<AggregateIPFlows>();
  flows->set_best_route_lookup(NoRoute);
  const size_t heap_before = mallinfo2().uordblks;
  for (uint32_t i = 0; i < n; ++i) flows->handle_packet(ring.Use(i, order[i]));
  const size_t heap_after = mallinfo2().uordblks;
  size_t i = 0;
  const long allocs_before = bench_heap_allocations();
  for (auto _ : state) {
    benchmark::DoNotOptimize(flows->handle_packet(ring.Use(i, order[i])));
    if (++i == n) i = 0;
  }
  state.counters["allocs_per_packet"] =
      static_cast<double>(bench_heap_allocations() - allocs_before) /
      static_cast<double>(state.iterations());
  state.counters["bytes_per_flow"] =
      static_cast<double>(heap_after - heap_before) / static_cast<double>(n);
  state.counters["flows"] = static_cast<double>(flows->flow_count());
}

struct Key {
  uint32_t lower, higher, ports;
  bool operator==(const Key& o) const {
    return lower == o.lower && higher == o.higher && ports == o.ports;
  }
};
struct KeyHash {
  size_t operator()(const Key& k) const {
    uint64_t h = (uint64_t{k.lower} << 32 | k.higher) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h ^ (k.ports * 0xC2B2AE3D27D4EB4Full));
  }
};
struct Record {
  uint64_t packets = 0;
  uint64_t bytes = 0;
};

// The same keys from the same packet bytes, kept in a standard map.
void BM_UnorderedMapFindOrInsert(benchmark::State& state) {
  const uint32_t n = static_cast<uint32_t>(state.range(0));
  const std::vector<uint32_t>& order = Order(n);
  Ring ring;
  std::unordered_map<Key, std::unique_ptr<Record>, KeyHash> map;
  auto visit = [&map](const Packet* p) {
    const uint8_t* ip = p->data();
    uint32_t src, dst, ports;
    std::memcpy(&src, ip + 12, 4);
    std::memcpy(&dst, ip + 16, 4);
    std::memcpy(&ports, ip + 20, 4);
    const bool swap = src > dst;
    const Key k{swap ? dst : src, swap ? src : dst, swap ? (ports >> 16 | ports << 16) : ports};
    auto it = map.find(k);
    if (it == map.end()) it = map.emplace(k, std::make_unique<Record>()).first;
    ++it->second->packets;
    it->second->bytes += p->length();
  };
  for (uint32_t i = 0; i < n; ++i) visit(ring.Use(i, order[i]));
  size_t i = 0;
  for (auto _ : state) {
    visit(ring.Use(i, order[i]));
    if (++i == n) i = 0;
  }
}

BENCHMARK(BM_AggregateFindOrMake)->Arg(10000)->Arg(100000)->Arg(1000000);
BENCHMARK(BM_UnorderedMapFindOrInsert)->Arg(10000)->Arg(100000)->Arg(1000000);

// 256 destinations, as a busy host's flows would ask.
uint32_t Destination(size_t i) { return htonl(0xC6336400u + static_cast<uint32_t>(i & 255)); }

void BM_BestRouteCached(benchmark::State& state) {
  platform::BestRouteCache cache;
  platform::BestRoute route;
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(cache.get(Destination(i++), Timestamp::now().msec(), &route));
  }
  state.counters["kernel_lookups"] = static_cast<double>(cache.lookups());
}

void BM_BestRouteUncached(benchmark::State& state) {
  platform::BestRoute route;
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(platform::get_best_route(Destination(i++), &route));
}

BENCHMARK(BM_BestRouteCached);
BENCHMARK(BM_BestRouteUncached);

}  // namespace

int main(int argc, char** argv) {
  static FileErrorHandler errh(stderr);
  ErrorHandler::install_defaults(&errh);
  bench_heap_allocations();
  return bench::RunWithRatios(argc, argv,
                              {{"BM_AggregateFindOrMake/10000", "BM_UnorderedMapFindOrInsert/10000"},
                               {"BM_AggregateFindOrMake/100000",
                                "BM_UnorderedMapFindOrInsert/100000"},
                               {"BM_AggregateFindOrMake/1000000",
                                "BM_UnorderedMapFindOrInsert/1000000"},
                               {"BM_BestRouteCached", "BM_BestRouteUncached"}});
}
