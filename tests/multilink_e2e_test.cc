// A client with two links to one hub, in the tunnel fixture's namespaces
// (root; skipped otherwise): c0 198.51.100.10 <-> h0 198.51.100.1 and
// c1 203.0.113.10 <-> h1 203.0.113.1, default routes via both (c1's at
// metric 20) and a rule per source address, so that each connection leaves
// on its own link. The hub (100.64.0.1, WAN 198.51.100.1) is reached over
// both. "multilink_support" is "active_active" or "active_standby".
//
// `dovadod` makes one connection per link and probes both. With the flow
// element "agg" before its route table and the next-hop selector on its
// tunnel leg, it spreads new flows over the two connections (active-active)
// or keeps them on c0's (active-standby); with c0's traffic dropped in h, a
// flow moves to c1's connection. Which connection carried a flow is read
// from the hub's per-connection data counts.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/tunnel_service.h"

namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;
using testing_support::kClientOverlay;
using testing_support::kTenant;
using testing_support::kTunnelHubAddress;
using testing_support::ReadFile;
using testing_support::TunnelNetns;

constexpr char kHub[] = "hub";
constexpr char kHubOverlay[] = "100.64.0.1";
constexpr char kVip[] = "100.64.1.10";
constexpr char kC0[] = "198.51.100.10";
constexpr char kC1[] = "203.0.113.10";
constexpr int kKeepaliveMs = 3000;  // the keepalive time-out PrepareClient sets
constexpr int kFastTickMs = 500;
// The failover that follows a failed keepalive drops every connection of the
// peer, c1's too, and connects again link by link: c0's handshake runs into
// the transport's 5 s time-out (twice, as measured) before c1's connection
// is made. So the flow moves after the keepalive time-out, one tick and
// two handshake time-outs, not within the first two alone.
constexpr int kHandshakeTimeoutMs = 5000;
constexpr int kMoveLimitMs = kKeepaliveMs + kFastTickMs + 2 * kHandshakeTimeoutMs + 4000;

class MultilinkTest : public testing_support::TunnelServiceTest {
 protected:
  MultilinkTest() : TunnelServiceTest(DOVADOD_PROGRAM) {}

  void SetUp() override {
    TunnelServiceTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const auto& c = net_.client();
    const auto& h = net_.hub();
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"link", "add", "c1", "type", "veth", "peer", "name", "h1", "netns", h.name()},
             {"addr", "add", std::string(kC1) + "/24", "dev", "c1"},
             {"link", "set", "c1", "up"},
             {"route", "add", "default", "via", "203.0.113.1", "dev", "c1", "metric", "20"},
             {"route", "add", "default", "via", "198.51.100.1", "dev", "c0", "table", "100"},
             {"route", "add", "default", "via", "203.0.113.1", "dev", "c1", "table", "101"},
             {"rule", "add", "from", kC0, "table", "100"},
             {"rule", "add", "from", kC1, "table", "101"},
         }) {
      ASSERT_TRUE(c.Ip(args)) << args[0] << " " << args[1];
    }
    ASSERT_TRUE(h.Ip({"addr", "add", "203.0.113.1/24", "dev", "h1"}));
    ASSERT_TRUE(h.Ip({"link", "set", "h1", "up"}));

    ASSERT_NO_FATAL_FAILURE(MakeHubLeaf(kHub, kHubOverlay));
    ASSERT_NO_FATAL_FAILURE(PrepareClient(DOVADOD_EXAMPLE_WORKDIR));
    ASSERT_TRUE(
        c.Ip({"addr", "add", std::string(kVip) + "/32", "dev", testing_support::kTunnelAdapter}));
    hub_ = StartHub(TESTHUB_PROGRAM, kHub, kTunnelHubAddress, kHubOverlay,
                    {{"clients", {{{"overlay", kClientOverlay}, {"vip", kVip}}}}});
    ASSERT_GE(hub_, 0);
  }

  // The work directory for `mode`; `flows` puts the flow element before the
  // route table (with the policy and firewall elements it needs, on an empty
  // policy) and the next-hop selector on the tunnel leg.
  void WriteWorkdir(const std::string& mode, bool flows) {
    if (flows) {
      std::string graph = ReadFile(workdir_ + "/ostrel.graph");
      Replace(&graph, "classifier[3] -> chk -> rt;",
              "classifier[3] -> chk -> agg :: AggregateIPFlows -> rt;");
      Replace(&graph, "rt[1] -> [0]ostOverlay;",
              "rt[1] -> nhs :: OstrelNHSelect -> [0]ostOverlay;");
      graph +=
          "ostpolicy :: OstPolicy(CONF policy.json);\n"
          "ostFirewall :: OstFirewall(CONF policy.json);\n";
      std::ofstream(workdir_ + "/ostrel.graph") << graph;
      std::ofstream(workdir_ + "/policy.json")
          << R"({"activated_policies":[{"policy_config":{"pcfg_qos_policies":[]}}]})";
      // Under virtual-interface-only capture the policy refuses every flow
      // until the client's "start" command says the tunnel is up, and no
      // client here gives it: capture everything but the two links' own
      // networks instead, which leaves the same traffic, tarnif's.
      std::ofstream(workdir_ + "/ostrel-exclusions.json") << R"({"excluded_ip_ranges": [
  {"range_start": "198.51.100.0", "range_end": "198.51.100.255"},
  {"range_start": "203.0.113.0", "range_end": "203.0.113.255"}]})";
    }
    std::ofstream(workdir_ + "/ostrel-client-config.json")
        << R"({"dcfg_client_config": {"fail_close": false, "disable_vif": false, "multilink_support": ")" +
               mode + R"("}})";
    json local = {{"overlayIP", kClientOverlay},
                  {"overlayNetmask", "255.255.0.0"},
                  {"overlayVip", kVip},
                  {"tenantID", kTenant},
                  {"tls_only", true},
                  {"roles", {{{"type", "SPOKE"}}}},
                  {"nexthop", json::array({NextHop(kHub, kTunnelHubAddress, kHubOverlay)})}};
    std::ofstream(workdir_ + "/ostrel-overlay.json")
        << json{{"local", local}, {"remote", json::array({RemoteHub(kHubOverlay)})}}.dump(2);
  }

  static void Replace(std::string* text, const std::string& from, const std::string& to) {
    const size_t at = text->find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text->replace(at, from.size(), to);
  }

  // Per link (the client's outer address): the connection's data packets from the client, its
  // probe answers (kinds 8, 10, 13), and whether the client sends 16-byte headers on it (it has
  // taken an answer and agreed the header version).
  struct Connection {
    int64_t rx_data = 0;
    int64_t answers = 0;
    int64_t jitter_answers = 0;
    bool agreed = false;
  };
  std::map<std::string, Connection> Connections() {
    std::map<std::string, Connection> out;
    const json s = Stats(hub_);
    if (!s.contains("connections")) return out;
    for (const json& c : s["connections"]) {
      // "peer" is the connection's outer source, address:port.
      const std::string peer = c.value("peer", std::string());
      Connection& conn = out[peer.substr(0, peer.find(':'))];
      conn.rx_data += c.value("rx_data_packets", int64_t{0});
      conn.agreed = conn.agreed || c.value("rx_header", std::string()) == "16";
      if (c.contains("tx_kinds")) {
        for (const char* k : {"8", "10", "13"}) conn.answers += c["tx_kinds"].value(k, int64_t{0});
        conn.jitter_answers += c["tx_kinds"].value("10", int64_t{0});
      }
    }
    return out;
  }

  enum class Wait { kConnected, kProbed, kFastTicks };
  // Both links connected and, from kProbed, each with a probe answer that the
  // client took: it sends 16-byte headers once the header versions are
  // agreed, and only then does data go out (an answer the hub has sent may
  // still wait behind its endpoint and WAN state messages); with
  // kFastTicks two jitter answers each (jitter probes go out on every tick,
  // so the 0.5 s tick runs and the keepalive sees fresh answers).
  bool WaitBothLinks(Wait what, seconds limit) {
    const auto deadline = steady_clock::now() + limit;
    while (steady_clock::now() < deadline) {
      auto c = Connections();
      const bool up = c.count(kC0) != 0 && c.count(kC1) != 0;
      if (up && what == Wait::kConnected) return true;
      if (up && what == Wait::kProbed && c[kC0].answers > 0 && c[kC1].answers > 0 &&
          c[kC0].agreed && c[kC1].agreed)
        return true;
      if (up && what == Wait::kFastTicks && c[kC0].jitter_answers > 1 && c[kC1].jitter_answers > 1)
        return true;
      std::this_thread::sleep_for(milliseconds(100));
    }
    return false;
  }

  // One UDP datagram 100.64.1.10:`sport` -> hub:9 from inside c.
  void SendFlow(uint16_t sport) {
    ASSERT_TRUE(net_.client().RunInside([&] {
      const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      if (fd < 0) return;
      int on = 1;
      ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
      sockaddr_in src{};
      src.sin_family = AF_INET;
      src.sin_port = htons(sport);
      inet_pton(AF_INET, kVip, &src.sin_addr);
      sockaddr_in dst{};
      dst.sin_family = AF_INET;
      dst.sin_port = htons(9);
      inet_pton(AF_INET, kHubOverlay, &dst.sin_addr);
      const char payload[] = "multilink";
      if (::bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) == 0) {
        ::sendto(fd, payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&dst), sizeof dst);
      }
      ::close(fd);
    }));
  }

  // The client address of the connection that carried the next datagram of
  // flow `sport` ("" when none did within a second).
  std::string CarrierOf(uint16_t sport) {
    auto before = Connections();
    SendFlow(sport);
    const auto deadline = steady_clock::now() + seconds(1);
    while (steady_clock::now() < deadline) {
      auto after = Connections();
      for (const auto& [client, conn] : after) {
        if (conn.rx_data > before[client].rx_data) return client;
      }
      std::this_thread::sleep_for(milliseconds(20));
    }
    return "";
  }

  int hub_ = -1;
};

// One mode per case: a case is one service start and its first probes.
class MultilinkModeTest : public MultilinkTest, public testing::WithParamInterface<const char*> {};

TEST_P(MultilinkModeTest, TheServiceAloneConnectsAndProbesOnBothLinks) {
  WriteWorkdir(GetParam(), false);
  ASSERT_NO_FATAL_FAILURE(StartService());
  EXPECT_TRUE(WaitBothLinks(Wait::kProbed, seconds(8))) << Stats(hub_).dump() << "\n"
                                                        << Log().substr(0, 20000);
}

INSTANTIATE_TEST_SUITE_P(Modes, MultilinkModeTest,
                         testing::Values("active_active", "active_standby"));

TEST_F(MultilinkTest, ActiveActiveSpreadsNewFlowsOverBothLinks) {
  WriteWorkdir("active_active", true);
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_TRUE(WaitBothLinks(Wait::kProbed, seconds(8))) << Stats(hub_).dump() << "\n" << Log();
  std::vector<std::string> carriers;
  for (uint16_t sport = 40000; sport < 40006; ++sport) carriers.push_back(CarrierOf(sport));
  for (size_t i = 0; i < carriers.size(); ++i) {
    EXPECT_TRUE(carriers[i] == kC0 || carriers[i] == kC1) << i << ": " << carriers[i];
    if (i > 0) {
      EXPECT_NE(carriers[i], carriers[i - 1]) << "flow " << i;
    }
  }
  // A flow stays where it was put.
  EXPECT_EQ(CarrierOf(40000), carriers[0]);
}

TEST_F(MultilinkTest, ActiveStandbyKeepsFlowsOnC0UntilItsTrafficIsDropped) {
  WriteWorkdir("active_standby", true);
  ASSERT_NO_FATAL_FAILURE(StartService());
  // The fast tick running on both links, so that only c0's path can time
  // out. (The service's first ticks come 5 s apart, which is longer than
  // the keepalive time-out: both paths are reconnected once before that.)
  ASSERT_TRUE(WaitBothLinks(Wait::kFastTicks, seconds(18))) << Stats(hub_).dump() << "\n" << Log();
  for (uint16_t sport = 41000; sport < 41004; ++sport) EXPECT_EQ(CarrierOf(sport), kC0) << sport;

  // c0's traffic dropped in h: the keepalive marks c0's path down after its
  // time-out, and on that tick the message element tears it down and
  // reconnects the peer's links (see kMoveLimitMs); the selector moves the
  // flow to c1 with the first packet after c1's new path is up.
  ASSERT_EQ(TunnelNetns::Run(&net_.hub(), {"iptables", "-A", "INPUT", "-i", "h0", "-j", "DROP"}),
            "");
  const auto dropped = steady_clock::now();
  std::string carrier;
  while (steady_clock::now() - dropped < milliseconds(kMoveLimitMs)) {
    carrier = CarrierOf(41000);
    if (carrier == kC1) break;
  }
  const auto moved =
      std::chrono::duration_cast<milliseconds>(steady_clock::now() - dropped).count();
  ASSERT_EQ(carrier, kC1) << Log();
  RecordProperty("moved_after_ms", static_cast<int>(moved));
  std::printf("flow moved to c1 %lld ms after c0's traffic was dropped\n",
              static_cast<long long>(moved));
  // New flows take c1 as well now that c0's path is gone.
  EXPECT_EQ(CarrierOf(41010), kC1);
}

}  // namespace
