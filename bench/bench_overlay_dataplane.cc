// The overlay data plane against the bare buffer work it cannot avoid.
//
// Encapsulation of 64- and 1400-byte packets on a negotiated path (16-byte
// header, sequence, counters, outer IPv4 header with checksum, the overlay
// lock) against a bare 36-byte prepend of the same packet; decapsulation of
// a sequenced packet with 1, 8 and 64 paths in the element (every path's
// loss windows are fed per sequenced packet) against a bare 36-byte pull.
// Each iteration makes and releases one pooled packet on both sides, so the
// difference is the overlay's own work. "allocs_per_packet" must read 0.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/counting_new.h"
#include "bench/ratio_reporter.h"
#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/framework_static.h"
#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"

namespace {

constexpr uint32_t kPath = 1;
constexpr uint32_t kHeaders = 36;

IPAddress ip(const char* text) {
  IPAddress a;
  cp_parse_ip_address(String(text), &a);
  return a;
}

// An element with one peer and `paths` negotiated paths (path 1 carries the
// traffic).
struct Overlay {
  explicit Overlay(int paths) {
    ov.set_own_address(ip("10.10.0.1"));
    OverlayPeerRecord record;
    record.address = ip("10.20.0.1");
    opd = new OverlayPeerDescriptor(record);
    ov.insert_opd(record.address, opd);
    for (int i = 0; i < paths; ++i) {
      OverlayPathSetup s;
      s.local_path_id = kPath + static_cast<uint32_t>(i);
      s.peer_overlay = record.address;
      s.mtu = 1400;
      s.remote_wan = ip("192.0.2.1");
      s.local_wan = ip("198.51.100.10");
      s.protocol = 1;
      s.local_overlay = ov.own_address();
      auto od = ov.insert_path(std::make_shared<OverlayDescriptor>(s));
      od->version_state = OHV_COMPLETED;
      opd->paths.push_back(od);
    }
  }
  OstrelOverlay ov;
  OverlayPeerDescriptor* opd;
};

std::vector<uint8_t> inner_packet(size_t length) {
  std::vector<uint8_t> bytes(length, 0);
  bytes[0] = 0x45;
  bytes[2] = static_cast<uint8_t>(length >> 8);
  bytes[3] = static_cast<uint8_t>(length);
  bytes[9] = 17;
  return bytes;
}

void report(benchmark::State& state, long allocated) {
  state.counters["allocs_per_packet"] =
      static_cast<double>(allocated) / static_cast<double>(state.iterations());
}

void BM_Encap_Overlay(benchmark::State& state) {
  Overlay o(1);
  const std::vector<uint8_t> inner = inner_packet(static_cast<size_t>(state.range(0)));
  const uint32_t n = static_cast<uint32_t>(inner.size());
  const long before = bench_heap_allocations();
  for (auto _ : state) {
    Packet* p = Packet::make(64, inner.data(), n);
    p->set_dst_ip_anno(o.opd->overlay_address);
    p->set_overlay_path_anno(kPath);
    p->set_dscp_anno(46);
    o.ov.push(0, p);
  }
  report(state, bench_heap_allocations() - before);
}

void BM_Encap_BarePrepend(benchmark::State& state) {
  const std::vector<uint8_t> inner = inner_packet(static_cast<size_t>(state.range(0)));
  const uint32_t n = static_cast<uint32_t>(inner.size());
  const IPAddress peer = ip("10.20.0.1");
  const long before = bench_heap_allocations();
  for (auto _ : state) {
    Packet* p = Packet::make(64, inner.data(), n);
    p->set_dst_ip_anno(peer);
    p->set_overlay_path_anno(kPath);
    p = p->push(kHeaders);
    std::memset(p->data(), 0, kHeaders);
    benchmark::DoNotOptimize(p->data());
    p->release();
  }
  report(state, bench_heap_allocations() - before);
}

// A received packet on path 1: outer header, 16-byte header, inner packet.
std::vector<uint8_t> received_packet() {
  std::vector<uint8_t> bytes = inner_packet(kHeaders + 64);
  std::memmove(bytes.data() + kHeaders, bytes.data(), 64);
  std::memset(bytes.data(), 0, kHeaders);
  bytes[0] = 0x45;
  bytes[9] = 252;
  bytes[20] = 0x11;  // version 1
  bytes[22] = 1;     // sequence present
  return bytes;
}

void BM_Decap_Overlay(benchmark::State& state) {
  Overlay o(static_cast<int>(state.range(0)));
  std::vector<uint8_t> bytes = received_packet();
  const uint32_t n = static_cast<uint32_t>(bytes.size());
  uint32_t sequence = 1;
  const long before = bench_heap_allocations();
  for (auto _ : state) {
    std::memcpy(bytes.data() + 24, &sequence, 4);
    sequence = sequence == 0xffffffff ? 1 : sequence + 1;
    Packet* p = Packet::make(64, bytes.data(), n);
    p->set_overlay_path_anno(kPath);
    o.ov.push(1, p);
  }
  report(state, bench_heap_allocations() - before);
  state.counters["paths"] = static_cast<double>(state.range(0));
}

void BM_Decap_BarePull(benchmark::State& state) {
  std::vector<uint8_t> bytes = received_packet();
  const uint32_t n = static_cast<uint32_t>(bytes.size());
  uint32_t sequence = 1;
  const long before = bench_heap_allocations();
  for (auto _ : state) {
    std::memcpy(bytes.data() + 24, &sequence, 4);
    ++sequence;
    Packet* p = Packet::make(64, bytes.data(), n);
    p->set_overlay_path_anno(kPath);
    p->pull(kHeaders);
    benchmark::DoNotOptimize(p->data());
    p->release();
  }
  report(state, bench_heap_allocations() - before);
}

BENCHMARK(BM_Encap_Overlay)->Arg(64)->Arg(1400);
BENCHMARK(BM_Encap_BarePrepend)->Arg(64)->Arg(1400);
BENCHMARK(BM_Decap_Overlay)->Arg(1)->Arg(8)->Arg(64);
BENCHMARK(BM_Decap_BarePull);

}  // namespace

int main(int argc, char** argv) {
  static FileErrorHandler errh(stderr);
  ErrorHandler::install_defaults(&errh);
  router_static_initialize();
  init_pkt_pool_size(64);
  return bench::RunWithRatios(argc, argv,
                              {{"BM_Encap_Overlay/64", "BM_Encap_BarePrepend/64"},
                               {"BM_Encap_Overlay/1400", "BM_Encap_BarePrepend/1400"},
                               {"BM_Decap_Overlay/1", "BM_Decap_BarePull"},
                               {"BM_Decap_Overlay/8", "BM_Decap_BarePull"},
                               {"BM_Decap_Overlay/64", "BM_Decap_BarePull"}});
}
