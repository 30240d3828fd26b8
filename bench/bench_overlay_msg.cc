// The overlay message element against the work it cannot avoid.
//
// A received latency request (kind 7) on input 0 turned into the kind-8
// answer with its UDP and IPv4 headers on output 0 (parse, dispatch, the
// probe's response, the headers, the overlay lock), against a protobuf parse
// and serialise of the same message alone. A tick over 32 peers with 2
// paths each and nothing due (probe walk, the fast-rate check, the state
// pass over every peer's handlers), against a bare walk of the probe list
// asking each probe whether it is due. The tick clock stands still, so
// nothing becomes due. "allocs_per_iteration" must read 0 for the tick.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/counting_new.h"
#include "bench/ratio_reporter.h"
#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/framework_static.h"
#include "graph/json.h"
#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_msg.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_probes.h"
#include "ostgraphsvc/overlaymsg/control_packet.h"
#include "overlaystatemsg.pb.h"
#include "platform/clock/clock.h"

namespace {

uint64_t fixed_tick() { return 100000000; }

IPAddress ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return IPAddress(a, b, c, d); }

// One overlay with `peers` peers of `paths` paths each, every path with its
// three probes, none of them due at the fixed tick.
struct Node {
  Node(int peers, int paths) {
    ov.set_own_address(ip(10, 10, 0, 1));
    ov.dib().parse_dib_json(Json::parse(String(R"({"overlayIP": "10.10.0.1"})")), true);
    uint32_t id = 1;
    for (int i = 0; i < peers; ++i) {
      OverlayPeerRecord record;
      record.address = ip(10, 20, 0, static_cast<uint8_t>(i + 1));
      auto* opd = new OverlayPeerDescriptor(record);
      ov.insert_opd(record.address, opd);
      for (int j = 0; j < paths; ++j) {
        OverlayPathSetup s;
        s.local_path_id = id++;
        s.peer_overlay = record.address;
        s.local_overlay = ov.own_address();
        s.mtu = 1400;
        s.remote_wan = ip(192, 0, 2, static_cast<uint8_t>(i + 1));
        s.local_wan = ip(198, 51, 100, 10);
        s.protocol = 1;
        auto od = ov.insert_path(std::make_shared<OverlayDescriptor>(s));
        od->version_state = OHV_COMPLETED;
        od->negotiated = true;
        od->peer_version = od->own_version;
        opd->paths.push_back(od);
        auto* latency = new OverlayLatencyProbe(s.local_overlay, s.peer_overlay, od.get());
        latency->last_send_ms = fixed_tick();
        auto* jitter = new OverlayJitterProbe(s.local_overlay, s.peer_overlay, od.get());
        jitter->burst_start_ms = fixed_tick();
        auto* keepalive =
            new OverlayKeepaliveProbe(s.local_overlay, s.peer_overlay, od.get(), false);
        keepalive->last_send_ms = fixed_tick();
        od->latency_probe = latency;
        od->jitter_probe = jitter;
        od->keepalive_probe = keepalive;
        insert_overlay_probe(latency);
        insert_overlay_probe(jitter);
        insert_overlay_probe(keepalive);
      }
    }
    msg.set_overlay(&ov);
  }
  OstrelOverlay ov;
  OstrelOverlayMsg msg;
};

std::string request_message() {
  OstrelOverlayStateMsg m;
  m.set_osm_type(OVERLAY_LATENCY_PROBE_REQ);
  m.mutable_osm_probemsg()->set_seqnum(1234);
  return m.SerializeAsString();
}

// The request as decapsulation hands it over: IPv4, UDP, message.
std::vector<uint8_t> request_packet() {
  const std::string body = request_message();
  Packet* p = Packet::make(64, body.data(), static_cast<uint32_t>(body.size()));
  uint16_t id = 0;
  p = prepend_control_headers(p, &id, ip(10, 20, 0, 1), ip(10, 10, 0, 1));
  std::vector<uint8_t> bytes(p->data(), p->data() + p->length());
  p->release();
  return bytes;
}

void report(benchmark::State& state, long allocated) {
  state.counters["allocs_per_iteration"] =
      static_cast<double>(allocated) / static_cast<double>(state.iterations());
}

void BM_Request_Element(benchmark::State& state) {
  Node node(1, 1);
  const std::vector<uint8_t> bytes = request_packet();
  const uint32_t n = static_cast<uint32_t>(bytes.size());
  const long before = bench_heap_allocations();
  for (auto _ : state) {
    Packet* p = Packet::make(64, bytes.data(), n);
    p->set_overlay_path_anno(1);
    node.msg.push(0, p);
  }
  report(state, bench_heap_allocations() - before);
}

void BM_Request_Protobuf(benchmark::State& state) {
  const std::string body = request_message();
  OstrelOverlayStateMsg m;
  unsigned char out[64];
  const long before = bench_heap_allocations();
  for (auto _ : state) {
    m.ParsePartialFromArray(body.data(), static_cast<int>(body.size()));
    m.set_osm_type(OVERLAY_LATENCY_PROBE_RES);
    m.SerializePartialToArray(out, static_cast<int>(m.ByteSizeLong()));
    benchmark::DoNotOptimize(out);
  }
  report(state, bench_heap_allocations() - before);
}

void BM_Tick_Element(benchmark::State& state) {
  Node node(32, 2);
  node.msg.run_task(nullptr);  // warm
  const long before = bench_heap_allocations();
  for (auto _ : state) node.msg.run_task(nullptr);
  report(state, bench_heap_allocations() - before);
}

void BM_Tick_BareProbeWalk(benchmark::State& state) {
  Node node(32, 2);
  const long before = bench_heap_allocations();
  for (auto _ : state) {
    int due = 0;
    for (OstrelOverlayProbeInterface* probe : overlay_probes()) {
      due += probe->should_send_probe(probe->path()) ? 1 : 0;
    }
    benchmark::DoNotOptimize(due);
  }
  report(state, bench_heap_allocations() - before);
}

BENCHMARK(BM_Request_Element);
BENCHMARK(BM_Request_Protobuf);
BENCHMARK(BM_Tick_Element);
BENCHMARK(BM_Tick_BareProbeWalk);

}  // namespace

int main(int argc, char** argv) {
  static FileErrorHandler errh(stderr);
  ErrorHandler::install_defaults(&errh);
  router_static_initialize();
  init_pkt_pool_size(64);
  set_tick_source(fixed_tick);
  return bench::RunWithRatios(argc, argv,
                              {{"BM_Request_Element", "BM_Request_Protobuf"},
                               {"BM_Tick_Element", "BM_Tick_BareProbeWalk"}});
}
