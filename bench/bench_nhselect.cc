// Per-flow path choice against the push it rides on.
//
// A push through `OstrelNHSelect` for a sticky flow to a peer with two up
// paths (active-active): overlay lock, peer lookup, the flow record from a
// flow element that answers one fixed record, the kept path found and held
// by its shared reference, the annotations written, then the push on. The
// baseline is a bare pass-through element pushing to the same sink. Target:
// at most 30 ns added; "allocs_per_packet" must read 0.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include <unistd.h>

#include "bench/counting_new.h"
#include "bench/ratio_reporter.h"
#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/framework_static.h"
#include "graph/lexer.h"
#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/analysis/aggregate_ip_flows.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_nhselect.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_transport.h"
#include "tests/support/graph_harness.h"

namespace {

constexpr char kPeer[] = "10.20.0.1";
constexpr char kConf[] = R"({
  "local": {
    "overlayIP": "10.10.0.1", "tenantID": "t1", "roles": [{"type": "SPOKE"}],
    "nexthop": [{"ipv4": "10.20.0.1", "wanip": "192.0.2.1", "port": 443, "groupid": "g1",
                 "groupname": "n1"}]
  },
  "remote": [{"overlayIP": "10.20.0.1", "roles": [{"type": "DC"}], "groupid": "g1"}]
})";

IPAddress ip(const char* text) {
  IPAddress a;
  cp_parse_ip_address(String(text), &a);
  return a;
}

// One record for every packet: the flow lookup itself is not measured, so
// none of the flow element's set-up runs either.
class FixedFlows : public AggregateIPFlows {
 public:
  const char* class_name() const override { return "FixedFlows"; }
  const char* port_count() const override { return "0/0"; }
  int configure(Vector<String>&, ErrorHandler*) override { return 0; }
  int initialize(ErrorHandler*) override { return 0; }
  void cleanup(CleanupStage) override {}
  void add_handlers() override {}
  void* cast(const char* name) override {
    return std::strcmp(name, "AggregateIPFlows") == 0 ? this : nullptr;
  }
  StatFlowInfo* find_flow_info(Packet*) override { return &record; }
  StatFlowInfo record;
};

class Pass : public Element {
 public:
  const char* class_name() const override { return "Pass"; }
  const char* port_count() const override { return "1/1"; }
  const char* processing() const override { return kPush; }
  void push(int, Packet* p) override { output(0).push(p); }
};

// Keeps nothing: the benchmark owns the one packet it sends again and again.
class NullSink : public Element {
 public:
  const char* class_name() const override { return "NullSink"; }
  const char* port_count() const override { return "-/0"; }
  const char* processing() const override { return kPush; }
  void push(int, Packet* p) override { benchmark::DoNotOptimize(p); }
};

struct Setup {
  Setup() {
    global_lexer()->add_class(
        String("FixedFlows"), [](uintptr_t) -> Element* { return new FixedFlows; }, 0, false);
    global_lexer()->add_class(
        String("Pass"), [](uintptr_t) -> Element* { return new Pass; }, 0, false);
    global_lexer()->add_class(
        String("NullSink"), [](uintptr_t) -> Element* { return new NullSink; }, 0, false);
    set_overlay_transport(&transport);
    char dir[] = "/tmp/bench_nhselect.XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    dir_ = dir;
    conf = dir_ + "/overlay.json";
    std::ofstream(conf) << kConf;
    ok = h.Load("agg :: FixedFlows; ostOverlay :: OstrelOverlay(CONF " + conf +
                "); ostOverlay[0] -> Discard; ostOverlay[1] -> Discard; ostOverlay[2] -> Discard;"
                " ostOverlay[3] -> Discard; sink :: NullSink; nhs :: OstrelNHSelect; "
                "pass :: Pass; s0 :: TestSource; s1 :: TestSource; s2 :: TestSource; "
                "s2 -> ostOverlay; s0 -> nhs -> sink; "
                "s1 -> pass -> [1]sink;");
    if (!ok) {
      std::fprintf(stderr, "%s", h.messages().c_str());
      return;
    }
    nhs = h.Find("nhs");
    pass = h.Find("pass");
    auto* ov = static_cast<OstrelOverlay*>(h.Find("ostOverlay"));
    std::lock_guard<std::recursive_mutex> hold(ov->overlay_lock());
    OverlayPeerDescriptor* opd = ov->get_opd(ip(kPeer));
    opd->multilink_mode = 1;
    for (uint32_t id : {0x101u, 0x102u}) {
      OverlayPathSetup s;
      s.local_path_id = id;
      s.peer_overlay = ip(kPeer);
      s.local_wan = ip(id == 0x101 ? "198.51.100.10" : "203.0.113.10");
      s.remote_wan = ip("192.0.2.1");
      s.protocol = 1;
      s.protocol_text = "DTLS";
      opd->paths.push_back(ov->insert_path(std::make_shared<OverlayDescriptor>(s)));
    }
    packet = Packet::make(64, nullptr, 60);
    packet->set_next_hop_anno(ip(kPeer));
  }
  ~Setup() {
    if (packet != nullptr) packet->release();
    std::remove(conf.c_str());
    rmdir(dir_.c_str());
  }

  RecordingOverlayTransport transport;
  testing_support::GraphHarness h;
  std::string dir_;
  std::string conf;
  bool ok = false;
  Element* nhs = nullptr;
  Element* pass = nullptr;
  Packet* packet = nullptr;
};

Setup* g_setup = nullptr;

void report(benchmark::State& state, long allocated) {
  state.counters["allocs_per_packet"] =
      static_cast<double>(allocated) / static_cast<double>(state.iterations());
}

void run(benchmark::State& state, Element* e) {
  if (g_setup == nullptr || !g_setup->ok) {
    state.SkipWithError("graph did not load");
    return;
  }
  Packet* p = g_setup->packet;
  e->push(0, p);  // the flow's first packet chooses; the rest keep it
  const long before = bench_heap_allocations();
  for (auto _ : state) e->push(0, p);
  report(state, bench_heap_allocations() - before);
}

void BM_Push_NHSelect(benchmark::State& state) { run(state, g_setup->nhs); }
void BM_Push_Bare(benchmark::State& state) { run(state, g_setup->pass); }

BENCHMARK(BM_Push_NHSelect);
BENCHMARK(BM_Push_Bare);

}  // namespace

int main(int argc, char** argv) {
  Setup setup;
  g_setup = &setup;
  return bench::RunWithRatios(argc, argv, {{"BM_Push_NHSelect", "BM_Push_Bare"}});
}
