#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_test_support.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_msg_handlers.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_probes.h"
#include "ostgraphsvc/qmsg/qmsg.h"
#include "platform/named_event/named_event.h"
#include "tests/support/registry_values.h"

namespace {

using overlay_test::Count;
using overlay_test::Ip;

constexpr char kDisconnectEvent[] = "Global\\netdisconnect-61c66bde-6541-4b08-bed9-ab292de901b6";

// Hub group g1 of three members (the last with two links) and a second hub.
constexpr char kGroupOfThree[] = R"({
  "local": {
    "overlayIP": "10.10.0.1", "tenantID": "t1",
    "roles": [{"type": "SPOKE"}],
    "nexthop": [
      {"ipv4": "10.20.0.1", "wanip": "192.0.2.1", "port": 443, "groupid": "g1", "groupname": "n1"},
      {"ipv4": "10.20.0.2", "wanip": "192.0.2.2", "port": 443, "groupid": "g1", "groupname": "n1"},
      {"ipv4": "10.20.0.3", "wanip": "192.0.2.3", "port": 443, "groupid": "g1", "groupname": "n1"},
      {"ipv4": "10.20.0.3", "wanip": "192.0.2.4", "port": 443, "groupid": "g1", "groupname": "n1"},
      {"ipv4": "10.20.0.9", "wanip": "192.0.2.9", "port": 443, "groupid": "g2", "groupname": "n2"}
    ]
  },
  "remote": [
    {"overlayIP": "10.20.0.1", "roles": [{"type": "DC"}], "groupid": "g1", "groupname": "n1"},
    {"overlayIP": "10.20.0.2", "roles": [{"type": "DC"}], "groupid": "g1", "groupname": "n1"},
    {"overlayIP": "10.20.0.3", "roles": [{"type": "DC"}], "groupid": "g1", "groupname": "n1"},
    {"overlayIP": "10.20.0.9", "roles": [{"type": "DC"}], "groupid": "g2", "groupname": "n2"}
  ]
})";

ostssl_conn_info Info(const char* peer, uint32_t path_id, uint16_t mtu = 1500,
                      uint16_t remote_port = 443, uint16_t protocol = 1,
                      const char* remote = "192.0.2.1", const char* local = "198.51.100.10") {
  ostssl_conn_info info;
  info.path_id = path_id;
  info.peer_id = overlay_peer_id(Ip(peer));
  info.hub_role = "Primary";
  info.hubgrp_id = "g1";
  info.peer_overlay_ip = Ip(peer).addr();
  info.protocol = protocol;
  info.protocol_name = protocol == 1 ? "DTLS" : protocol == 2 ? "TLS" : "IPSEC";
  info.ssl_protocol = protocol;
  info.local_ip = Ip(local).addr();
  info.remote_ip = Ip(remote).addr();
  info.local_port = htons(40000);
  info.remote_port = htons(remote_port);
  info.sock = 7;
  info.path_mtu = mtu;
  info.if_index = 3;
  return info;
}

// Takes every block off the packet queue; the number of probe ticks.
int DrainTicks() {
  int ticks = 0;
  while (_QMSGBLOCK* b = g_qmsg_queue.wait_for(0)) {
    if (b->msgtype == QMSG_IOMSG) ++ticks;
    qmsgblock_release(b);
  }
  return ticks;
}

class PathsTest : public overlay_test::OverlayFixture {
 protected:
  PathsTest() { DrainTicks(); }
  ~PathsTest() override { DrainTicks(); }

  // The element with or without the messaging element beside it.
  bool LoadWithMsg(const std::string& conf, bool with_msg) {
    std::string graph = "src :: TestSource; sink :: TestSink; ov :: OstrelOverlay(CONF " +
                        WriteConf(conf) +
                        "); src -> [0]ov; ov[0] -> [0]sink; ov[1] -> [1]sink; "
                        "ov[2] -> [2]sink; ov[3] -> [3]sink;";
    if (with_msg) {
      graph +=
          "msrc :: TestSource; mtick :: TestSource; msink :: TestSink; "
          "ostOverlayMsg :: OstrelOverlayMsg; msrc -> [0]ostOverlayMsg; "
          "mtick -> [1]ostOverlayMsg; ostOverlayMsg[0] -> [0]msink;";
    }
    if (!h_.Load(graph)) return false;
    ov_ = static_cast<OstrelOverlay*>(h_.Find("ov"));
    return ov_ != nullptr;
  }

  OverlayPeerDescriptor* Opd(const char* peer) { return ov_->get_opd(Ip(peer)); }
};

TEST_F(PathsTest, PathTable) {
  ASSERT_TRUE(LoadWithMsg(overlay_test::kTwoHubs, true)) << h_.messages();
  OverlayPeerDescriptor* hub = Opd("10.20.0.1");
  ASSERT_NE(hub, nullptr);
  DrainTicks();

  // One path id reported twice: one OD with count 2; remote port 0 -> 4500.
  ostssl_conn_info a = Info("10.20.0.1", 0x11, 1500, 0);
  EXPECT_TRUE(ov_->on_ostssl_connect(&a));
  EXPECT_TRUE(ov_->on_ostssl_connect(&a));
  ASSERT_EQ(hub->paths.size(), 1);
  std::shared_ptr<OverlayDescriptor> od = ov_->find_path(0x11);
  ASSERT_NE(od, nullptr);
  EXPECT_EQ(od->connection_count, 2);
  EXPECT_EQ(od->remote_port, 4500);
  EXPECT_EQ(hub->mtu, 1400);  // capped
  EXPECT_EQ(ov_->connected_paths().size(), 2);
  // DTLS: latency, jitter and keepalive probes, and a tick per start-up.
  EXPECT_NE(od->latency_probe, nullptr);
  EXPECT_NE(od->jitter_probe, nullptr);
  EXPECT_NE(od->keepalive_probe, nullptr);
  EXPECT_EQ(DrainTicks(), 2);
  EXPECT_EQ(hub->remote_links.size(), 1);

  // A second path with a lower hint lowers the MTU; protocol 0 gets no
  // keepalive.
  ostssl_conn_info b = Info("10.20.0.1", 0x22, 1300, 443, 0, "192.0.2.7");
  EXPECT_TRUE(ov_->on_ostssl_connect(&b));
  std::shared_ptr<OverlayDescriptor> od_b = ov_->find_path(0x22);
  ASSERT_NE(od_b, nullptr);
  EXPECT_EQ(hub->mtu, 1300);
  EXPECT_NE(od_b->latency_probe, nullptr);
  EXPECT_EQ(od_b->keepalive_probe, nullptr);
  EXPECT_EQ(od_b->remote_port, 443);

  // Closing one connection of the shared path keeps it; any removal resets
  // the MTU.
  EXPECT_TRUE(ov_->on_ostssl_closed(&a));
  EXPECT_EQ(ov_->find_path(0x11), od);
  EXPECT_EQ(od->connection_count, 1);
  EXPECT_EQ(hub->mtu, 0);
  EXPECT_EQ(hub->paths.size(), 2);
  EXPECT_TRUE(ov_->on_ostssl_closed(&a));
  EXPECT_EQ(ov_->find_path(0x11), nullptr);
  EXPECT_EQ(hub->paths.size(), 1);

  // Unknown peer or path: -1, the connected-path entry still goes.
  EXPECT_EQ(ov_->remove_path(overlay_peer_id(Ip("10.99.0.1")), 0x22), -1);
  EXPECT_EQ(ov_->connected_paths().size(), 0);
  EXPECT_EQ(ov_->remove_path(overlay_peer_id(Ip("10.20.0.1")), 0x77), -1);
  ostssl_conn_info stranger = Info("10.99.0.1", 0x33);
  EXPECT_EQ(ov_->add_path(stranger.peer_id, 0x33, stranger), -1);
  const std::string log = log_.text();
  EXPECT_NE(log.find("add path failed. Overlay peer descriptor does not exist for peer with id: "
                     "UFQDN/10.99.0.1@tarn.local(192.0.2.1)"),
            std::string::npos);
  EXPECT_NE(log.find("Overlay/pfkey out of sync for peer UFQDN/10.20.0.1@tarn.local"),
            std::string::npos);
  EXPECT_EQ(Count(log, "keepalive prober started to 10.20.0.1"), 1);
}

TEST_F(PathsTest, LastPathSignalFollowsTheSwitch) {
  ASSERT_TRUE(LoadWithMsg(overlay_test::kTwoHubs, true)) << h_.messages();
  platform::NamedEventOwner owner;
  ASSERT_EQ(owner.create(kDisconnectEvent), 0u);
  for (uint32_t value : {0u, 1u}) {
    testing_support::SetRegValue("SOFTWARE\\Corvex\\tarn", "removeinterfaceontunneldown",
                                 platform::registry::kRegDword, &value, sizeof(value));
    ostssl_conn_info a = Info("10.20.0.1", 0x40 + value);
    ov_->on_ostssl_connect(&a);
    ov_->on_ostssl_closed(&a);
    EXPECT_EQ(owner.wait(0), value == 1) << "switch " << value;
    EXPECT_FALSE(owner.wait(0));
  }
  // A second path still up sends nothing.
  ostssl_conn_info a = Info("10.20.0.1", 0x50);
  ostssl_conn_info b = Info("10.20.0.1", 0x51, 1500, 443, 1, "192.0.2.8");
  ov_->on_ostssl_connect(&a);
  ov_->on_ostssl_connect(&b);
  ov_->on_ostssl_closed(&a);
  EXPECT_FALSE(owner.wait(0));
  EXPECT_NE(log_.text().find("Tunnels down: tenant flag disable_vif_tarn_tunnel_down enabled"),
            std::string::npos);
}

TEST_F(PathsTest, NoSwitchReadsAsOff) {
  ASSERT_TRUE(LoadWithMsg(overlay_test::kTwoHubs, true)) << h_.messages();
  EXPECT_FALSE(ov_->ignoreRoutePolicyWithNoActiveTunnel(true));
  EXPECT_NE(log_.text().find("Failed to read removeinterfaceontunneldown or invalid size"),
            std::string::npos);
}

TEST_F(PathsTest, WithoutMessagingNoProbesAndTheNextPathRetries) {
  ASSERT_TRUE(LoadWithMsg(overlay_test::kTwoHubs, false)) << h_.messages();
  ostssl_conn_info a = Info("10.20.0.1", 0x61);
  ostssl_conn_info b = Info("10.20.0.1", 0x62, 1500, 443, 1, "192.0.2.8");
  ov_->on_ostssl_connect(&a);
  ov_->on_ostssl_connect(&b);
  EXPECT_EQ(ov_->find_path(0x61)->latency_probe, nullptr);
  EXPECT_EQ(ov_->find_path(0x62)->keepalive_probe, nullptr);
  EXPECT_EQ(DrainTicks(), 0);
  EXPECT_EQ(Count(log_.text(), "error querying overlay messaging, will retry"), 2);
}

TEST_F(PathsTest, ActivePeerInGroupNeedsBothEndsUp) {
  ASSERT_TRUE(LoadWithMsg(kGroupOfThree, true)) << h_.messages();
  String out;
  EXPECT_EQ(ov_->get_active_peer_in_group("g1", &out), -1);
  ostssl_conn_info a = Info("10.20.0.1", 0x71);
  ov_->on_ostssl_connect(&a);
  EXPECT_EQ(ov_->get_active_peer_in_group("g1", &out), 0);
  EXPECT_EQ(std::string(out.c_str()), "10.20.0.1");
  ov_->find_path(0x71)->remote_up = false;
  EXPECT_EQ(ov_->get_active_peer_in_group("g1", &out), -1);
  EXPECT_EQ(ov_->get_active_peer_in_group("g2", &out), -1);
}

TEST_F(PathsTest, ReadStampsOnlyKnownPaths) {
  ASSERT_TRUE(LoadWithMsg(overlay_test::kTwoHubs, true)) << h_.messages();
  ostssl_conn_info a = Info("10.20.0.1", 0x81);
  ov_->on_ostssl_connect(&a);
  ov_->find_path(0x81)->last_rx_time = 0;
  EXPECT_TRUE(ov_->on_ostssl_read(&a));
  EXPECT_NE(ov_->find_path(0x81)->last_rx_time.load(), 0u);
  ostssl_conn_info unknown = Info("10.20.0.1", 0x82);
  EXPECT_FALSE(ov_->on_ostssl_read(&unknown));
}

TEST_F(PathsTest, SocketClosedByThePeer) {
  ASSERT_TRUE(LoadWithMsg(overlay_test::kTwoHubs, true)) << h_.messages();
  ostssl_conn_info a = Info("10.20.0.1", 0x91);
  ostssl_conn_info ipsec = Info("10.20.0.1", 0x92, 1500, 443, 0, "192.0.2.8");
  ov_->on_ostssl_connect(&a);
  ov_->on_ostssl_connect(&ipsec);
  DrainTicks();
  log_.fresh();
  EXPECT_EQ(ov_->on_ostssl_sock_closed(&a), 0);
  EXPECT_EQ(ov_->on_ostssl_sock_closed(&a), 0);
  std::shared_ptr<OverlayDescriptor> od = ov_->find_path(0x91);
  EXPECT_FALSE(od->remote_up.load());
  EXPECT_EQ(static_cast<OverlayKeepaliveProbe*>(od->keepalive_probe)->timeout_ms.load(), 7u);
  const std::string log = log_.fresh();
  EXPECT_EQ(Count(log, "WAN state message triggered for pathid:0x91"), 1);
  EXPECT_EQ(DrainTicks(), 1);
  // No keepalive: marked down, nothing else to write.
  EXPECT_EQ(ov_->on_ostssl_sock_closed(&ipsec), 0);
  EXPECT_FALSE(ov_->find_path(0x92)->remote_up.load());
  ostssl_conn_info unknown = Info("10.20.0.1", 0x93);
  EXPECT_EQ(ov_->on_ostssl_sock_closed(&unknown), -1);
  ostssl_conn_info stranger = Info("10.99.0.1", 0x91);
  EXPECT_EQ(ov_->on_ostssl_sock_closed(&stranger), -1);
  const std::string more = log_.fresh();
  EXPECT_NE(more.find("od not found for peer UFQDN/10.20.0.1@tarn.local"), std::string::npos);
  EXPECT_NE(more.find("Overlay peer descriptor does not exist for peer with id:UFQDN/10.99.0.1"),
            std::string::npos);
}

TEST_F(PathsTest, HubGroupFailover) {
  ASSERT_TRUE(LoadWithMsg(kGroupOfThree, true)) << h_.messages();
  struct Case {
    const char* name;
    const char* peer;
    const char* gid;
    bool path_up_elsewhere;
    bool result;
    std::vector<std::string> calls;
  };
  const std::string c0 =
      "connect tls_only=0 port=443 wan=192.0.2.1 peer=10.20.0.1 gid=g1 gname=n1 ";
  const std::vector<Case> cases = {
      {"member 1 to member 2, each link, secondary",
       "10.20.0.2",
       "g1",
       false,
       false,
       {"disconnect_on_interface wan=0.0.0.0 peer=10.20.0.2 if=3 local=198.51.100.10",
        "connect tls_only=0 port=443 wan=192.0.2.3 peer=10.20.0.3 gid=g1 gname=n1 primary=0",
        "connect tls_only=0 port=443 wan=192.0.2.4 peer=10.20.0.3 gid=g1 gname=n1 primary=0"}},
      {"member 2 wraps to member 0, primary",
       "10.20.0.3",
       "g1",
       false,
       false,
       {"disconnect_on_interface wan=0.0.0.0 peer=10.20.0.3 if=3 local=198.51.100.10",
        c0 + "primary=1"}},
      {"fully up elsewhere: nothing", "10.20.0.2", "g1", true, true, {}},
      {"group of one: nothing", "10.20.0.9", "g2", false, true, {}},
      {"no group: nothing", "10.20.0.2", "", false, true, {}},
      {"unknown group: nothing", "10.20.0.2", "g7", false, true, {}},
  };
  for (const Case& c : cases) {
    transport_.clear();
    ostssl_conn_info info = Info(c.peer, 0xa0);
    info.hubgrp_id = c.gid;
    ostssl_conn_info up = Info(c.peer, 0xa1, 1500, 443, 1, "192.0.2.66", "203.0.113.5");
    if (c.path_up_elsewhere) ov_->on_ostssl_connect(&up);
    EXPECT_EQ(ov_->on_ostssl_timeout(&info), c.result) << c.name;
    EXPECT_EQ(transport_.calls(), c.calls) << c.name;
    if (c.path_up_elsewhere) ov_->on_ostssl_closed(&up);
  }
}

TEST_F(PathsTest, TryNextPeer) {
  ASSERT_TRUE(LoadWithMsg(kGroupOfThree, true)) << h_.messages();
  OverlayPeerDescriptor* last = Opd("10.20.0.3");
  ASSERT_NE(last, nullptr);
  transport_.clear();
  EXPECT_FALSE(ov_->try_next_peer_if_available(last));
  const std::vector<std::string> want = {
      "disconnect wan=0.0.0.0 peer=10.20.0.3 keep=0",
      "connect tls_only=0 port=443 wan=192.0.2.1 peer=10.20.0.1 gid=g1 gname=n1 primary=1"};
  EXPECT_EQ(transport_.calls(), want);
  OverlayPeerDescriptor* single = Opd("10.20.0.9");
  ASSERT_NE(single, nullptr);
  transport_.clear();
  EXPECT_TRUE(ov_->try_next_peer_if_available(single));
  EXPECT_TRUE(transport_.calls().empty());
  EXPECT_NE(log_.text().find("OVLTryNext: group:1 (g2) nmembers:1. nothing to do."),
            std::string::npos);
}

TEST_F(PathsTest, RouteUpdateSkipsPeersHoldingTheClientAddress) {
  ASSERT_TRUE(LoadWithMsg(kGroupOfThree, true)) << h_.messages();
  const char* peers[] = {"10.20.0.1", "10.20.0.2", "10.20.0.3"};
  uint32_t id = 0xb0;
  for (const char* p : peers) {
    ASSERT_NE(Opd(p), nullptr) << p;
    ostssl_conn_info info = Info(p, id++);
    ov_->on_ostssl_connect(&info);
  }
  Opd("10.20.0.2")->client_vip = Ip("100.64.1.10");
  transport_.established = true;
  log_.fresh();
  ov_->trigger_route_update_to_all_peers();
  const std::string log = log_.fresh();
  EXPECT_EQ(Count(log, "Trigger route update to "), 2);
  EXPECT_EQ(Count(log, "Trigger route update to 10.20.0.2"), 0);
  transport_.established = false;
  ov_->trigger_route_update_to_all_peers();
  EXPECT_EQ(Count(log_.fresh(), "Trigger route update to "), 0);
}

}  // namespace

namespace {

// The hub's own next hops are routeable through it once its first path is
// up, with no further event needed.
TEST_F(PathsTest, FirstPathMakesWhatIsBehindTheHubReachable) {
  const char* conf = R"({
    "local": {"overlayIP": "10.10.0.1", "tenantID": "t1", "roles": [{"type": "SPOKE"}],
      "nexthop": [{"ipv4": "10.20.0.1", "wanip": "192.0.2.1", "port": 443, "groupid": "g1",
                   "groupname": "n1"}]},
    "remote": [{"overlayIP": "10.20.0.1", "roles": [{"type": "DC"}], "groupid": "g1",
                "groupname": "n1", "nexthop": [{"ipv4": "10.60.0.1", "cost": 7}]}]})";
  ASSERT_TRUE(LoadWithMsg(conf, true)) << h_.messages();
  ostssl_conn_info a = Info("10.20.0.1", 0xc1);
  ov_->on_ostssl_connect(&a);
  std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
  NextHopElement* behind = ov_->nht().find(Ip("10.60.0.1"));
  ASSERT_NE(behind, nullptr);
  EXPECT_EQ(behind->next_hop, Ip("10.20.0.1"));
  EXPECT_EQ(ov_->get_nh_opd(Ip("10.60.0.1"), nullptr, true), ov_->get_opd(Ip("10.20.0.1")));
}

}  // namespace
