// The route lookup over 100,000 random routes of lengths 8-32, against the
// cheapest exact lookup of the same destinations: an absl::flat_hash_map
// keyed by them as /32s. Then the route table element's push (its critical
// section, table choice and output) against a bare handle_push on the same
// table. Destinations cycle through 2^18 addresses, half inside a route.
// A counting operator new shows that no packet allocates.
#include <absl/container/flat_hash_map.h>
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "bench/counting_new.h"
#include "bench/ratio_reporter.h"
#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "ostgraphsvc/graph/elements/route/ostrel_route_table.h"
#include "ostgraphsvc/graph/elements/route/overlay_config_querier.h"

namespace {

constexpr int kRoutes = 100000;
constexpr size_t kDestinations = 1 << 18;

IPAddress FromHost(uint32_t h) {
  return IPAddress(static_cast<unsigned char>(h >> 24), static_cast<unsigned char>(h >> 16),
                   static_cast<unsigned char>(h >> 8), static_cast<unsigned char>(h));
}

struct Fixture {
  std::vector<RouteEntry> routes;
  std::vector<IPAddress> destinations;

  Fixture() {
    std::mt19937 rng(2024);
    while (routes.size() < kRoutes) {
      const int len = 8 + static_cast<int>(rng() % 25);
      RouteEntry r;
      r.mask = IPAddress::make_prefix(len);
      r.addr = IPAddress(FromHost(rng()).addr() & r.mask.addr());
      r.port = 1 + static_cast<int>(rng() % 3);
      r.gw = FromHost(rng());
      r.type = kRouteTypeStatic;
      routes.push_back(r);
    }
    for (size_t i = 0; i < kDestinations; ++i) {
      uint32_t d = rng();
      if (i % 2 == 0) {
        const RouteEntry& r = routes[rng() % routes.size()];
        d = (r.addr.host_order() & r.mask.host_order()) | (d & ~r.mask.host_order());
      }
      destinations.push_back(FromHost(d));
    }
  }
  void Fill(OstrelRadixIPLookup* table) const {
    for (const RouteEntry& r : routes) table->add_route(r, false, nullptr, nullptr);
  }
};

const Fixture& fixture() {
  static const Fixture f;
  return f;
}

void report(benchmark::State& state, long allocated) {
  state.counters["allocs_per_packet"] =
      static_cast<double>(allocated) / static_cast<double>(state.iterations());
}

void BM_LookupRoute(benchmark::State& state) {
  const Fixture& f = fixture();
  OstrelRadixIPLookup table;
  f.Fill(&table);
  size_t i = 0;
  const long before = bench_heap_allocations();
  for (auto _ : state) {
    IPAddress gw;
    benchmark::DoNotOptimize(table.lookup_route(f.destinations[i], gw));
    benchmark::DoNotOptimize(gw);
    if (++i == f.destinations.size()) i = 0;
  }
  report(state, bench_heap_allocations() - before);
}

void BM_FlatHashMapLookup(benchmark::State& state) {
  const Fixture& f = fixture();
  absl::flat_hash_map<uint32_t, std::pair<int, uint32_t>> map;
  for (IPAddress d : f.destinations) map[d.addr()] = {1, d.addr()};
  size_t i = 0;
  for (auto _ : state) {
    auto it = map.find(f.destinations[i].addr());
    benchmark::DoNotOptimize(it->second);
    if (++i == f.destinations.size()) i = 0;
  }
}

class Feed : public Element {
 public:
  const char* class_name() const override { return "Feed"; }
  const char* port_count() const override { return "0/1"; }
  const char* processing() const override { return kPush; }
};

class Keep : public Element {
 public:
  const char* class_name() const override { return "Keep"; }
  const char* port_count() const override { return "1/0"; }
  const char* processing() const override { return kPush; }
  void push(int, Packet* p) override { kept = p; }
  Packet* kept = nullptr;
};

void BM_RouteTablePush(benchmark::State& state) {
  const Fixture& f = fixture();
  FakeOverlayConfigQuerier overlay(IPAddress(100, 64, 0, 1));
  Router router("");
  auto* rt = new OstrelRouteTable;
  router.add_element(new Feed, "feed", "", "bench", 1);
  router.add_element(rt, "rt", "", "bench", 2);
  router.add_connection(0, 0, 1, 0);
  for (int port = 0; port < 4; ++port) {
    router.add_element(new Keep, String(port), "", "bench", 3 + port);
    router.add_connection(1, port, 2 + port, 0);
  }
  ErrorHandler* errh = ErrorHandler::default_handler();
  Vector<String> conf;
  if (router.check_port_numbers(errh) < 0 || router.resolve_processing(errh) < 0 ||
      router.check_connection_use(errh) < 0 || rt->configure(conf, errh) < 0) {
    state.SkipWithError("graph checks failed");
    return;
  }
  router.wire_ports();
  f.Fill(rt->table(0));

  Packet* p = Packet::make(0, nullptr, 64, 0);
  size_t i = 0;
  const long before = bench_heap_allocations();
  for (auto _ : state) {
    p->set_dst_ip_anno(f.destinations[i]);
    p->set_route_flags_anno(kRouteFlagWalk);
    rt->push(0, p);
    if (++i == f.destinations.size()) i = 0;
  }
  report(state, bench_heap_allocations() - before);
  p->release();
}

void BM_HandlePush(benchmark::State& state) {
  const Fixture& f = fixture();
  FakeOverlayConfigQuerier overlay(IPAddress(100, 64, 0, 1));
  OstrelRadixIPLookup table;
  f.Fill(&table);
  Packet* p = Packet::make(0, nullptr, 64, 0);
  size_t i = 0;
  const long before = bench_heap_allocations();
  for (auto _ : state) {
    p->set_dst_ip_anno(f.destinations[i]);
    p->set_route_flags_anno(kRouteFlagWalk);
    benchmark::DoNotOptimize(table.handle_push(p, &overlay));
    if (++i == f.destinations.size()) i = 0;
  }
  report(state, bench_heap_allocations() - before);
  p->release();
}

BENCHMARK(BM_LookupRoute);
BENCHMARK(BM_FlatHashMapLookup);
BENCHMARK(BM_RouteTablePush);
BENCHMARK(BM_HandlePush);

}  // namespace

int main(int argc, char** argv) {
  static FileErrorHandler errh(stderr);
  ErrorHandler::install_defaults(&errh);
  return bench::RunWithRatios(
      argc, argv,
      {{"BM_LookupRoute", "BM_FlatHashMapLookup"}, {"BM_RouteTablePush", "BM_HandlePush"}});
}
