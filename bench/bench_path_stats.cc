// The path listing behind "show_overlays" and the path-statistics page
// against building the same JSON with RapidJSON's Writer.
//
// `OstrelOverlay::list_overlays` for 32 peers with 2 established paths each
// (overlay lock, peer walk in address-table order, one establishment check
// and one device-information lookup per peer, every member of every path,
// the fail-close verdict) against rapidjson::Writer writing the same members
// from the same descriptors into a StringBuffer. The summary line is below
// the log threshold, as in a quiet service.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/framework_static.h"
#include "graph/router_log.h"
#include "ostgraphsvc/failclose/fail_close_mgr.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_transport.h"
#include "rapidjson/stringbuffer.h"
#include "rapidjson/writer.h"

namespace {

constexpr int kPeers = 32;
constexpr int kPathsPerPeer = 2;

IPAddress ip(const std::string& text) {
  IPAddress a;
  cp_parse_ip_address(String(text.c_str()), &a);
  return a;
}

// Dotted text into `buf`; its length.
int dotted(IPAddress a, char* buf) {
  const uint32_t v = a.addr();
  const auto* b = reinterpret_cast<const unsigned char*>(&v);
  return std::snprintf(buf, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

int64_t loss(double v) { return v > 0 ? static_cast<int64_t>(std::round(v)) : 0; }

struct Fixture {
  Fixture() {
    transport.established = true;
    set_overlay_transport(&transport);
    for (int p = 0; p < kPeers; ++p) {
      OverlayPeerRecord record;
      record.address = ip("10.20.0." + std::to_string(p + 1));
      auto* opd = new OverlayPeerDescriptor(record);
      opd->mtu = 1400;
      ov.insert_opd(record.address, opd);
      for (int k = 0; k < kPathsPerPeer; ++k) {
        OverlayPathSetup s;
        s.local_path_id = static_cast<uint32_t>(0x1000 + p * kPathsPerPeer + k);
        s.peer_overlay = record.address;
        s.mtu = 1400;
        s.remote_wan = ip("192.0.2." + std::to_string(p + 1));
        s.local_wan = ip("198.51.100." + std::to_string(k + 10));
        s.protocol = static_cast<uint16_t>(1 + k);
        s.hub_role = String("Primary");
        auto od = ov.insert_path(std::make_shared<OverlayDescriptor>(s));
        od->tx_packets = 123456789u + p;
        od->tx_bytes = 98765432109u + k;
        od->rx_packets = 2345678u;
        od->rx_bytes = 3456789012u;
        od->latency = 23;
        od->jitter = 4;
        od->delayed_rx_loss = 1.5;
        od->remote_path_id = 0x2000u + p;
        opd->paths.push_back(od);
      }
    }
  }
  ~Fixture() { set_overlay_transport(nullptr); }

  RecordingOverlayTransport transport;
  OstrelOverlay ov;
};

void BM_ListOverlays(benchmark::State& state) {
  Fixture f;
  size_t bytes = 0;
  for (auto _ : state) {
    String text = f.ov.list_overlays();
    bytes = static_cast<size_t>(text.length());
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}

void BM_RapidJsonWriter(benchmark::State& state) {
  Fixture f;
  size_t bytes = 0;
  char buf[16];
  for (auto _ : state) {
    rapidjson::StringBuffer out;
    rapidjson::Writer<rapidjson::StringBuffer> w(out);
    std::lock_guard<std::recursive_mutex> hold(f.ov.overlay_lock());
    w.StartArray();
    f.ov.for_each_opd([&](OverlayPeerDescriptor* opd) {
      for (const auto& od : opd->paths) {
        if (!f.transport.is_tunnel_established(od->remote_wan.addr(), od->local_wan.addr())) {
          continue;
        }
        w.StartObject();
        w.Key("dsps_overlay_ip");
        w.String(buf, static_cast<rapidjson::SizeType>(dotted(opd->overlay_address, buf)));
        w.Key("dsps_lpathid");
        w.Uint(od->local_path_id);
        w.Key("dsps_rpathid");
        w.Uint(od->remote_path_id);
        w.Key("dsps_local_up");
        w.Bool(od->local_up);
        w.Key("dsps_remote_up");
        w.Bool(od->remote_up.load(std::memory_order_relaxed));
        w.Key("dsps_local_ip");
        w.String(buf, static_cast<rapidjson::SizeType>(dotted(od->local_wan, buf)));
        w.Key("dsps_remote_ip");
        w.String(buf, static_cast<rapidjson::SizeType>(dotted(od->remote_wan, buf)));
        w.Key("dsps_public_ip");
        w.String(buf, static_cast<rapidjson::SizeType>(dotted(od->public_address, buf)));
        w.Key("dsps_latency");
        w.Uint(od->latency);
        w.Key("dsps_rxloss");
        w.Int64(loss(od->delayed_rx_loss));
        w.Key("dsps_txloss");
        w.Int64(loss(od->delayed_tx_loss));
        w.Key("dsps_jitter");
        w.Uint(od->jitter);
        w.Key("dsps_txpkts");
        w.Uint64(od->tx_packets);
        w.Key("dsps_txbytes");
        w.Uint64(od->tx_bytes);
        w.Key("dsps_rxpkts");
        w.Uint64(od->rx_packets);
        w.Key("dsps_rxbytes");
        w.Uint64(od->rx_bytes);
        w.Key("dsps_mtu");
        w.Uint(od->peer_mtu != 0 && od->peer_mtu < od->mtu ? od->peer_mtu : od->mtu);
        w.Key("dsps_peermtu");
        w.Uint(opd->mtu);
        w.Key("dsps_userauthstate");
        w.Int(opd->user_auth_state);
        w.Key("dsps_tunnel_type");
        w.String(od->protocol == 1 ? "dtls" : "tls");
        w.Key("dsps_proxy");
        w.Bool(false);
        w.EndObject();
      }
    });
    w.EndArray();
    bytes = out.GetSize();
    benchmark::DoNotOptimize(out.GetString());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}

BENCHMARK(BM_ListOverlays);
BENCHMARK(BM_RapidJsonWriter);

}  // namespace

int main(int argc, char** argv) {
  // A root of its own: the fail-close manager reads its settings there.
  char root[] = "/tmp/bench_path_stats.XXXXXX";
  if (mkdtemp(root) != nullptr) setenv("DOVADOD_ROOT", root, 1);
  cxLogThreshold = CXLOG_WARN;
  static FileErrorHandler errh(stderr);
  ErrorHandler::install_defaults(&errh);
  router_static_initialize();
  FailCloseMgr::GetInstance().Initialize();
  const int rc = bench::RunWithRatios(argc, argv, {{"BM_ListOverlays", "BM_RapidJsonWriter"}});
  std::string cleanup = std::string("rm -rf '") + root + "'";
  if (std::system(cleanup.c_str()) != 0) return rc;
  return rc;
}
