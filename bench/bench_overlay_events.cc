// The transport's per-packet read callback against the lookup it cannot
// avoid.
//
// `OstrelOverlay::on_ostssl_read` with 64 paths in the element (path table
// lookup under its shared lock, which keeps the path alive for the store,
// one clock read and one atomic store of the receive time) against a bare lookup of the
// same path id in a hash table of 64 entries, and against that lookup with
// the clock read and store added. The overlay lock is never taken.
// "allocs_per_read" must read 0.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "bench/counting_new.h"
#include "bench/ratio_reporter.h"
#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/framework_static.h"
#include "graph/hash_table.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "platform/clock/clock.h"

namespace {

constexpr int kPaths = 64;
constexpr uint32_t kFirstPath = 0x1000;

IPAddress ip(const char* text) {
  IPAddress a;
  cp_parse_ip_address(String(text), &a);
  return a;
}

OverlayPathSetup setup(uint32_t id) {
  OverlayPathSetup s;
  s.local_path_id = id;
  s.peer_overlay = ip("10.20.0.1");
  s.mtu = 1400;
  s.remote_wan = ip("192.0.2.1");
  s.local_wan = ip("198.51.100.10");
  s.protocol = 1;
  return s;
}

void report(benchmark::State& state, long allocated) {
  state.counters["allocs_per_read"] =
      static_cast<double>(allocated) / static_cast<double>(state.iterations());
}

void BM_Read_Overlay(benchmark::State& state) {
  OstrelOverlay ov;
  for (int i = 0; i < kPaths; ++i) {
    ov.insert_path(std::make_shared<OverlayDescriptor>(setup(kFirstPath + i)));
  }
  ostssl_conn_info info;
  uint32_t n = 0;
  const long before = bench_heap_allocations();
  for (auto _ : state) {
    info.path_id = kFirstPath + (n++ % kPaths);
    benchmark::DoNotOptimize(ov.on_ostssl_read(&info));
  }
  report(state, bench_heap_allocations() - before);
}

void BM_Read_BareLookup(benchmark::State& state) {
  HashTable<uint32_t, std::shared_ptr<OverlayDescriptor>> table;
  for (int i = 0; i < kPaths; ++i) {
    table.find_insert(kFirstPath + i, std::make_shared<OverlayDescriptor>(setup(kFirstPath + i)));
  }
  uint32_t n = 0;
  const long before = bench_heap_allocations();
  for (auto _ : state) {
    auto it = table.find(kFirstPath + (n++ % kPaths));
    benchmark::DoNotOptimize(it.live() ? it->value.get() : nullptr);
  }
  report(state, bench_heap_allocations() - before);
}

// The same lookup plus the work every stamp needs (clock read, atomic
// store), so the difference left is the table's shared lock.
void BM_Read_BareLookupAndStamp(benchmark::State& state) {
  HashTable<uint32_t, std::shared_ptr<OverlayDescriptor>> table;
  for (int i = 0; i < kPaths; ++i) {
    table.find_insert(kFirstPath + i, std::make_shared<OverlayDescriptor>(setup(kFirstPath + i)));
  }
  uint32_t n = 0;
  const long before = bench_heap_allocations();
  for (auto _ : state) {
    auto it = table.find(kFirstPath + (n++ % kPaths));
    if (it.live()) it->value->last_rx_time.store(GetTickCount64(), std::memory_order_relaxed);
  }
  report(state, bench_heap_allocations() - before);
}

BENCHMARK(BM_Read_Overlay);
BENCHMARK(BM_Read_BareLookup);
BENCHMARK(BM_Read_BareLookupAndStamp);

}  // namespace

int main(int argc, char** argv) {
  static FileErrorHandler errh(stderr);
  ErrorHandler::install_defaults(&errh);
  router_static_initialize();
  return bench::RunWithRatios(argc, argv,
                              {{"BM_Read_Overlay", "BM_Read_BareLookup"},
                               {"BM_Read_Overlay", "BM_Read_BareLookupAndStamp"}});
}
