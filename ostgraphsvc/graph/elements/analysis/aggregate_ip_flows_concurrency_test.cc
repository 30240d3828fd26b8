// Policy-routed flows on the packet thread against a transport thread that
// adds and removes the hub group's paths: the flow element asks the
// overlay's view whether the next hop is still usable on every packet and
// resolves it again through the group when not. Every packet must leave
// (aggregated or refused), and the run must be race-free.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "graph/confparse.h"
#include "ostgraphsvc/failclose/fail_close_mgr.h"
#include "ostgraphsvc/graph/elements/analysis/aggregate_ip_flows.h"
#include "ostgraphsvc/graph/elements/local/capture_record.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_test_support.h"
#include "ostgraphsvc/graph/elements/policy/ost_policy.h"

namespace {

using overlay_test::Ip;
using testing_support::BuildIPv4;
using testing_support::MakePacket;
using testing_support::PacketSpec;

constexpr char kOverlay[] = R"({
  "local": {
    "overlayIP": "10.10.0.1", "overlayVip": "100.64.0.2", "tenantID": "t1",
    "roles": [{"type": "SPOKE"}],
    "nexthop": [
      {"ipv4": "10.20.0.1", "wanip": "192.0.2.1", "port": 443, "groupid": "g1", "groupname": "n1"},
      {"ipv4": "10.20.0.2", "wanip": "192.0.2.2", "port": 443, "groupid": "g1", "groupname": "n1"}
    ]
  },
  "remote": [
    {"overlayIP": "10.20.0.1", "roles": [{"type": "DC"}], "groupid": "g1", "groupname": "n1"},
    {"overlayIP": "10.20.0.2", "roles": [{"type": "DC"}], "groupid": "g1", "groupname": "n1"}
  ]
})";

constexpr char kPolicy[] = R"({"activated_policies":[{"policy_config":{"pcfg_qos_policies":[
  {"qos_match":{"cmap_name":"pbr","cmap_match_criteria":{"mtch_dest_ip":"100.70.9.0/24"}},
   "qos_action":{"pbr_action":{"pbr_next_hop_site":"hubs","pbr_next_hop_group_id":"g1"}}}]}}]})";

class FlowViewConcurrencyTest : public overlay_test::OverlayFixture {};

TEST_F(FlowViewConcurrencyTest, PbrFlowsWhilePathsComeAndGo) {
  const std::string work = log_.root().path() + "/work/";
  ::mkdir(work.c_str(), 0755);
  set_config_directory(work.c_str());
  testing_support::WriteFile(work + "policy.json", kPolicy);
  testing_support::WriteFile(work + "fw.json", "{\"x\":1}");
  FailCloseMgr::GetInstance().Initialize();
  FailCloseMgr::GetInstance().ReplaceConfigured(false);
  cxLogThreshold = CXLOG_CRITICAL;
  ASSERT_TRUE(
      h_.Load("rt :: TestSink; ostpolicy :: OstPolicy(CONF policy.json); "
              "ostFirewall :: OstFirewall(CONF fw.json); ovsrc :: TestSource; "
              "src :: TestSource; sink :: TestSink; ov :: OstrelOverlay(CONF " +
              WriteConf(kOverlay) +
              "); ovsrc -> ov -> [2]sink; "
              "src -> agg :: AggregateIPFlows(REAP 3600); agg[0] -> [0]sink; "
              "agg[1] -> [1]sink;"))
      << h_.messages();
  auto* agg = static_cast<AggregateIPFlows*>(h_.Find("agg"));
  auto* policy = static_cast<OstPolicy*>(h_.Find("ostpolicy"));
  auto* ov = static_cast<OstrelOverlay*>(h_.Find("ov"));
  ASSERT_NE(agg, nullptr);
  ASSERT_NE(ov, nullptr);
  ASSERT_EQ(registered_overlay_view(), ov);
  agg->set_best_route_lookup([](uint32_t, platform::BestRoute*) { return 1168u; });
  policy->set_tunnel_started(true);
  transport_.established = true;

  // Ten seconds, and on until both sides of the race have been seen (at
  // most thirty: a starved transport thread can keep every path down).
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::seconds(10);
  const auto limit = start + std::chrono::seconds(30);
  std::atomic<bool> stop{false};
  std::thread transport([&] {
    for (uint32_t i = 0; !stop.load(std::memory_order_relaxed); ++i) {
      ostssl_conn_info info =
          overlay_test::TlsPathInfo(i % 2 == 0 ? "10.20.0.1" : "10.20.0.2", 0x100 + (i % 4));
      ov->on_ostssl_connect(&info);
      std::this_thread::yield();
      ov->on_ostssl_closed(&info);
    }
  });

  uint64_t sent = 0, passed = 0, refused = 0;
  for (auto now = start; now < limit && (now < deadline || passed == 0 || refused == 0);
       now = std::chrono::steady_clock::now()) {
    PacketSpec s;
    s.protocol = 17;
    s.src = "100.64.0.2";
    s.sport = static_cast<uint16_t>(40000 + sent % 64);
    s.dst = "100.70.9.5";
    s.dport = 5201;
    Packet* p = MakePacket(BuildIPv4(s));
    p->set_msgtype(1);
    p->set_timestamp(Timestamp::now());
    WINDIVERT_ADDRESS record{};
    record.Flags = WINDIVERT_ADDRESS_OUTBOUND;
    set_capture_record(p, record);
    h_.Push("src", p);
    ++sent;
    // Every flow looks its row up again now and then: a lookup made while
    // no path was up gives the allow row for good, and on two busy cores
    // all 64 first lookups can fall in such moments.
    if (sent % 256 == 0) policy->update_policy_table_version();
    for (int port = 0; port < 2; ++port) {
      while (Packet* out = h_.Take("sink", port)) {
        (port == 0 ? passed : refused) += 1;
        out->release();
      }
    }
  }
  stop = true;
  transport.join();
  EXPECT_EQ(passed + refused, sent);
  // Both sides of the race were seen: next hops usable and gone.
  EXPECT_GT(passed, 0u);
  EXPECT_GT(refused, 0u);
  RecordProperty("passed", std::to_string(passed));
  RecordProperty("refused", std::to_string(refused));
  set_config_directory(nullptr);
}

}  // namespace
