#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_test_support.h"
#include "ostgraphsvc/graph/elements/route/overlay_config_querier.h"

namespace {

using overlay_test::Count;
using overlay_test::Ip;

// Own address 10.10.0.1, a spoke whose hubs are 10.20.0.1 (also a
// controller) and 10.20.0.2; 10.30.0.1 names it as its hub; 10.40.0.1 is a
// DC; 10.50.0.1 is an unrelated spoke.
constexpr char kRules[] = R"({
  "local": {
    "overlayIP": "10.10.0.1", "tenantID": "t1", "roles": [{"type": "SPOKE"}],
    "nexthop": [
      {"ipv4": "10.20.0.1", "wanip": "192.0.2.1", "port": 443, "groupid": "g1", "groupname": "n1"},
      {"ipv4": "10.20.0.2", "wanip": "192.0.2.2", "port": 443, "groupid": "g2", "groupname": "n2"}
    ]
  },
  "remote": [
    {"overlayIP": "10.20.0.1", "roles": [{"type": "CONTROLLER"}, {"type": "DC"}]},
    {"overlayIP": "10.20.0.2", "roles": [{"type": "WAYPOINT"}], "groupid": "g2", "groupname": "n2",
     "nexthop": [{"ipv4": "10.60.0.1", "cost": 7}]},
    {"overlayIP": "10.30.0.1", "nexthop": [{"ipv4": "10.10.0.1", "cost": 5}]},
    {"overlayIP": "10.40.0.1", "roles": [{"type": "DC"}]},
    {"overlayIP": "10.50.0.1"}
  ]
})";

std::string ControllerConf(int remotes) {
  std::string text = R"({"local": {"overlayIP": "10.10.0.1", "tenantID": "t1",
    "roles": [{"type": "CONTROLLER"}], "nexthop": []}, "remote": [)";
  for (int i = 1; i <= remotes; ++i) {
    if (i > 1) text += ",";
    text += "{\"overlayIP\": \"10.1." + std::to_string(i) +
            ".1\", \"roles\": [{\"type\": \"CONTROLLER\"}]}";
  }
  return text + "]}";
}

class OverlayTest : public overlay_test::OverlayFixture {};

TEST_F(OverlayTest, ProvisioningRules) {
  ASSERT_TRUE(Load(kRules)) << h_.messages();
  const std::string log = log_.text();
  EXPECT_EQ(ov_->get_opd(Ip("10.20.0.1")), nullptr);  // controller before hub
  EXPECT_NE(log.find("Not provisioning tunnel because peer is controller"), std::string::npos);
  for (const char* peer : {"10.20.0.2", "10.30.0.1", "10.40.0.1"}) {
    OverlayPeerDescriptor* opd = ov_->get_opd(Ip(peer));
    ASSERT_NE(opd, nullptr) << peer;
    EXPECT_TRUE(opd->provisioned) << peer;
    EXPECT_EQ(ov_->get_opd_by_peer_id(opd->peer_id), opd);
  }
  EXPECT_EQ(ov_->get_opd(Ip("10.50.0.1")), nullptr);
  EXPECT_EQ(ov_->opd_count(), 3);
  EXPECT_NE(log.find("Provisioning tunnel because peer is my hub"), std::string::npos);
  EXPECT_NE(log.find("Provisioning tunnel because i am peer's hub"), std::string::npos);
  EXPECT_NE(log.find("Provisioning tunnel because peer is Global DC"), std::string::npos);
  EXPECT_NE(log.find("Total new OPD created: 3"), std::string::npos);
  // The hub's spoke-only flag is cleared; group and controller flags come
  // from its DIB entry.
  EXPECT_FALSE(ov_->dib().find(Ip("10.20.0.2"))->spoke_only);
  EXPECT_TRUE(ov_->get_opd(Ip("10.20.0.2"))->in_hub_group);
  EXPECT_EQ(std::string(ov_->get_opd(Ip("10.20.0.2"))->hub_group_id.c_str()), "g2");

  // A second build only updates the flag.
  log_.fresh();
  ASSERT_EQ(ov_->build_overlays(), 0);
  const std::string again = log_.fresh();
  EXPECT_EQ(Count(again, "already exists"), 3);
  EXPECT_NE(again.find("OPD to peer 10.40.0.1 already exists"), std::string::npos);
  EXPECT_NE(again.find("Total new OPD created: 0"), std::string::npos);
  EXPECT_EQ(ov_->opd_count(), 3);

  // Start-up: the transport started, interfaces listed, all dropped and the
  // hubs of both groups asked for.
  const std::vector<std::string> calls = transport_.calls();
  const std::vector<std::string> want = {
      "start", "interfaces", "disconnect_all keep=0",
      "connect tls_only=0 port=443 wan=192.0.2.1 peer=10.20.0.1 gid=g1 gname=n1 primary=1",
      "connect tls_only=0 port=443 wan=192.0.2.2 peer=10.20.0.2 gid=g2 gname=n2 primary=1"};
  EXPECT_EQ(calls, want);
}

TEST_F(OverlayTest, NextHopsFromTheDib) {
  ASSERT_TRUE(Load(kRules)) << h_.messages();
  std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
  // No tunnel yet: the hub is pending, and 10.30.0.1 is reached through us.
  NextHopElement* hub = ov_->nht().find(Ip("10.20.0.2"));
  ASSERT_NE(hub, nullptr);
  EXPECT_TRUE(hub->pending);
  EXPECT_NE(log_.text().find("NHT: Tunnel to peer 10.20.0.2 has gone down"), std::string::npos);
  // With a path the hub is its own next hop and its own hubs become
  // routeable through it.
  AddPath("10.20.0.2", 9, OHV_COMPLETED);
  EXPECT_TRUE(ov_->peer_has_path(Ip("10.20.0.2")));
  ov_->update_nht_for_one_dib(ov_->dib().find(Ip("10.20.0.2")));
  hub = ov_->nht().find(Ip("10.20.0.2"));
  EXPECT_FALSE(hub->pending);
  EXPECT_EQ(hub->next_hop, Ip("10.20.0.2"));
  EXPECT_NE(log_.text().find("NHT: DIB 10.20.0.2 is my hub"), std::string::npos);
  NextHopElement* behind = ov_->nht().find(Ip("10.60.0.1"));
  ASSERT_NE(behind, nullptr);
  EXPECT_EQ(behind->next_hop, Ip("10.20.0.2"));
  EXPECT_EQ(ov_->get_nh_opd(Ip("10.60.0.1"), nullptr, true), ov_->get_opd(Ip("10.20.0.2")));
}

TEST_F(OverlayTest, LocalControllerProvisionsEveryPeerAndHandlesRunOut) {
  ASSERT_TRUE(Load(ControllerConf(33))) << h_.messages();
  EXPECT_EQ(ov_->opd_count(), 32);
  const std::string log = log_.text();
  EXPECT_EQ(Count(log, "Provisioning tunnel because we are controller"), 33);
  EXPECT_EQ(Count(log, "insert failed with error:-28"), 1);
  // Handles in creation order.
  size_t at = 0;
  for (int handle = 1; handle <= 32; ++handle) {
    at = log.find("inserted with handle " + std::to_string(handle) + "\n", at);
    ASSERT_NE(at, std::string::npos) << handle;
    OverlayPeerDescriptor* opd = ov_->opd_by_handle(handle);
    ASSERT_NE(opd, nullptr);
    EXPECT_TRUE(opd->peer_is_controller);
    EXPECT_EQ(opd->handle, handle);
  }
  // No hub groups: nothing to connect to.
  EXPECT_NE(log.find("no hubs available to connect"), std::string::npos);
}

TEST_F(OverlayTest, ThreeLinksThreeConnectRequests) {
  const char* conf = R"({"local": {"overlayIP": "10.10.0.1", "tenantID": "t1", "tls_only": true,
    "nexthop": [
      {"ipv4": "10.20.0.1", "wanip": "192.0.2.1", "port": 443, "groupid": "g1", "groupname": "n1"},
      {"ipv4": "10.20.0.1", "wanip": "192.0.2.2", "port": 443, "groupid": "g1", "groupname": "n1"},
      {"ipv4": "10.20.0.1", "wanip": "192.0.2.3", "port": 443, "groupid": "g1", "groupname": "n1"},
      {"ipv4": "10.20.0.5", "wanip": "192.0.2.5", "port": 443, "groupid": "g1", "groupname": "n1"}
    ]}, "remote": []})";
  ASSERT_TRUE(Load(conf)) << h_.messages();
  std::vector<std::string> connects;
  for (const std::string& c : transport_.calls()) {
    if (c.rfind("connect ", 0) == 0) connects.push_back(c);
  }
  ASSERT_EQ(connects.size(), 3u);  // the failover member is not connected
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(connects[i], "connect tls_only=1 port=443 wan=192.0.2." + std::to_string(i + 1) +
                               " peer=10.20.0.1 gid=g1 gname=n1 primary=1");
    EXPECT_NE(
        log_.text().find("Initiating ssl_connect_to_peer for 10.20.0.1/192.0.2." +
                         std::to_string(i + 1) + " (hub_link_index: " + std::to_string(i) + ")"),
        std::string::npos);
  }
}

TEST_F(OverlayTest, TablesLookupsAndStatusText) {
  ASSERT_TRUE(Load(overlay_test::kTwoHubs)) << h_.messages();
  EXPECT_EQ(registered_overlay(), ov_);
  EXPECT_EQ(registered_overlay_config_querier(), ov_);
  EXPECT_EQ(ov_->local_overlay_address(), Ip("10.10.0.1"));
  EXPECT_EQ(ov_->route_table(), nullptr);
  EXPECT_NE(log_.text().find("RouteTable0 element not found-1"), std::string::npos);

  log_.fresh();
  EXPECT_EQ(ov_->get_wanlink_tbl_ex(0), nullptr);
  EXPECT_EQ(ov_->get_wanlink_tbl_ex(7), nullptr);
  EXPECT_EQ(ov_->get_dib(Ip("10.77.0.1")), nullptr);
  EXPECT_NE(log_.fresh().find("DIB entry for handle=0 not found"), std::string::npos);
  EXPECT_NE(ov_->get_dib(Ip("10.20.0.1")), nullptr);

  ov_->trigger_wan_state_msg();
  EXPECT_EQ(log_.fresh().find("triggering WAN State message"), std::string::npos);
  {
    std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
    ov_->connected_paths().push_back(
        OverlayConnectedPath{1, Ip("198.51.100.10"), Ip("192.0.2.1"), true});
  }
  ov_->trigger_wan_state_msg();
  EXPECT_EQ(Count(log_.fresh(), "triggering WAN State message for peer"), 2);

  const std::string text = ov_->show_overlay_state_sync().c_str();
  EXPECT_EQ(Count(text, "OVERLAYIP: "), 2);
  EXPECT_NE(text.find("OVERLAYIP: 10.20.0.1\r\n"), std::string::npos);

  // A graph without the element drops the registrations.
  ASSERT_TRUE(h_.Load("src :: TestSource; sink :: TestSink; src -> sink;")) << h_.messages();
  EXPECT_EQ(registered_overlay(), nullptr);
  EXPECT_EQ(registered_overlay_config_querier(), nullptr);
}

// The view the policy, scheduler and flow elements read: registered with
// the element, a peer usable only while one of its paths is up at both ends.
TEST_F(OverlayTest, AnswersTheOverlayView) {
  ASSERT_TRUE(Load(overlay_test::kTwoHubs)) << h_.messages();
  OverlayView* view = registered_overlay_view();
  ASSERT_EQ(view, static_cast<OverlayView*>(ov_));
  EXPECT_EQ(view->overlay_address(), Ip("10.10.0.1"));
  EXPECT_EQ(view->tunnel_paths_up(), 0);
  EXPECT_FALSE(view->peer_has_path_up(Ip("10.20.0.1")));
  String peer;
  EXPECT_EQ(view->get_active_peer_in_group(String("g1"), &peer), -1);

  auto od = AddPath("10.20.0.1", 0x51, OHV_COMPLETED);
  od->if_index = 4;
  ov_->refresh_usable_paths();
  EXPECT_EQ(view->tunnel_paths_up(), 1);
  EXPECT_TRUE(view->peer_has_path_up(Ip("10.20.0.1")));
  EXPECT_FALSE(view->peer_has_path_up(Ip("10.20.0.2")));
  EXPECT_FALSE(view->peer_has_path_up(IPAddress()));
  OverlayPathInfo info;
  ASSERT_TRUE(view->path_info(0x51, &info));
  EXPECT_EQ(info.peer, Ip("10.20.0.1"));
  EXPECT_EQ(info.if_index, 4);
  EXPECT_FALSE(view->path_info(0x52, &info));

  // The remote side goes silent: not usable, though the path is still there.
  od->remote_up.store(false);
  ov_->refresh_usable_paths();
  EXPECT_FALSE(view->peer_has_path_up(Ip("10.20.0.1")));
  EXPECT_EQ(view->tunnel_paths_up(), 1);

  ASSERT_TRUE(h_.Load("src :: TestSource; sink :: TestSink; src -> sink;")) << h_.messages();
  EXPECT_EQ(registered_overlay_view(), nullptr);
}

TEST_F(OverlayTest, ConfigureFailsWithoutItsFile) {
  EXPECT_FALSE(
      h_.Load("src :: TestSource; ov :: OstrelOverlay(CONF /nonexistent/x.json, "
              "IKE_PROXY true, OST_COMPRESS 3); src -> ov; ov -> Discard;"));
  EXPECT_NE(h_.messages().find("error loading config from file"), std::string::npos)
      << h_.messages();
}

TEST_F(OverlayTest, KeywordsAreKept) {
  const std::string graph = "src :: TestSource; ov :: OstrelOverlay(" +
                            WriteConf(overlay_test::kTwoHubs) +
                            ", IKE_PROXY true, MGW_PROXY true, OST_COMPRESS 3); "
                            "src -> ov; ov -> Discard;";
  ASSERT_TRUE(h_.Load(graph)) << h_.messages();
  auto* ov = static_cast<OstrelOverlay*>(h_.Find("ov"));
  EXPECT_TRUE(ov->ike_proxy());
  EXPECT_TRUE(ov->mgw_proxy());
  EXPECT_EQ(ov->compression(), 3);
}

TEST_F(OverlayTest, HeaderVersionInitiatorRule) {
  EXPECT_TRUE(OstrelOverlay::address_higher(Ip("10.0.0.9"), Ip("10.0.1.2")));
  EXPECT_FALSE(OstrelOverlay::address_higher(Ip("10.0.1.2"), Ip("10.0.0.9")));
  ASSERT_TRUE(Load(kRules)) << h_.messages();
  std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
  // The own entry is a spoke: always the initiator.
  EXPECT_TRUE(ov_->is_local_ohv_initator(Ip("10.10.0.1"), Ip("10.40.0.1")));
  // Not a spoke: a spoke peer makes us the responder, otherwise the higher
  // address starts, and the flag is also set for the higher address.
  ov_->dib().find(Ip("10.10.0.1"))->spoke_only = false;
  EXPECT_FALSE(ov_->is_local_ohv_initator(Ip("10.10.0.1"), Ip("10.50.0.1")));
  EXPECT_FALSE(ov_->is_local_ohv_initator(Ip("10.10.0.1"), Ip("10.40.0.1")));
  EXPECT_TRUE(ov_->is_local_ohv_initator(Ip("10.10.0.99"), Ip("10.40.0.1")));
  EXPECT_TRUE(ov_->ohv_initiator_flag(Ip("10.10.0.99"), Ip("10.50.0.1")));
  EXPECT_NE(log_.text().find("peer is spoke , so i'm ohv responder for peer 10.50.0.1"),
            std::string::npos);
}

}  // namespace
