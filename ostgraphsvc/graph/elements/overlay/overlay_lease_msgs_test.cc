// The address-management (kind 17) and route (kind 11) exchanges with a hub,
// driven through the message element's ticks and received packets, on a wall
// clock the test sets.
#include <ctime>
#include <string>
#include <vector>

#include "ostgraphsvc/graph/elements/overlay/ost_addr_mgmt.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_msg_test_support.h"

namespace overlay_test {
namespace {

constexpr int64_t kStart = 1'700'000'000;
int64_t g_wall = kStart;
void WallClock(struct timespec* now) {
  now->tv_sec = static_cast<time_t>(g_wall);
  now->tv_nsec = 0;
}

constexpr char kHub[] = "10.20.0.1";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// The two-hub file with the local entry changed.
std::string WithStaticVip() {
  return Replace(kTwoHubs, "\"10.10.0.1\", \"tenantID\"",
                 "\"10.255.0.7\", \"overlayVip\": \"10.1.1.5\", \"tenantID\"");
}
std::string WithLocalRole(const char* role) {
  return Replace(kTwoHubs, "\"roles\": [{\"type\": \"SPOKE\"}]",
                 std::string("\"roles\": [{\"type\": \"") + role + "\"}]");
}
// Group g1 with two members: 10.20.0.1 and 10.20.0.3.
std::string WithTwoMemberGroup() {
  return Replace(
      Replace(kTwoHubs, "\"nexthop\": [",
              "\"nexthop\": [\n      {\"ipv4\": \"10.20.0.3\", \"wanip\": \"192.0.2.3\", "
              "\"port\": 443, \"groupid\": \"g1\", \"groupname\": \"n1\"},"),
      "\"groupid\": \"g1\"}", "\"groupid\": \"g1\", \"groupname\": \"n1\"}");
}

class LeaseMsgTest : public MsgFixture {
 protected:
  LeaseMsgTest() {
    g_wall = kStart;
    set_system_time_source(WallClock);
  }
  ~LeaseMsgTest() override { set_system_time_source(nullptr); }

  bool LoadAll(const std::string& conf = kTwoHubs, bool with_am = true) {
    const std::string graph =
        "src :: TestSource; tick :: TestSource; data :: TestSource; sink :: TestSink; "
        "ostOverlay :: OstrelOverlay(CONF " +
        WriteConf(conf) + "); ostOverlayMsg :: OstrelOverlayMsg; " +
        (with_am ? "am :: OstAddrMgmt; " : "") +
        "src -> [0]ostOverlayMsg; tick -> [1]ostOverlayMsg; ostOverlayMsg[0] -> [0]sink; "
        "data -> [0]ostOverlay; ostOverlay[0] -> [1]sink; ostOverlay[1] -> [2]sink; "
        "ostOverlay[2] -> [3]sink; ostOverlay[3] -> [4]sink;";
    if (!h_.Load(graph)) return false;
    ov_ = static_cast<OstrelOverlay*>(h_.Find("ostOverlay"));
    msg_ = static_cast<OstrelOverlayMsg*>(h_.Find("ostOverlayMsg"));
    am_ = with_am ? static_cast<OstAddrMgmt*>(h_.Find("am")) : nullptr;
    hub_ = ov_ != nullptr ? ov_->get_opd(Ip(kHub)) : nullptr;
    return ov_ != nullptr && msg_ != nullptr && hub_ != nullptr && (!with_am || am_ != nullptr);
  }

  // The messages of `kind` one tick at wall time `at` sends.
  std::vector<OstrelOverlayStateMsg> TickAt(int64_t at, uint32_t kind) {
    g_wall = kStart + at;
    Tick();
    std::vector<OstrelOverlayStateMsg> out;
    while (Packet* p = h_.Take("sink", 0)) {
      OstrelOverlayStateMsg m = MessageOf(p);
      p->release();
      if (m.osm_type() == kind) out.push_back(m);
    }
    return out;
  }

  void Receive(const OstrelOverlayStateMsg& m) {
    const String own = ov_->own_address().to_string();
    h_.Push("src", ControlFrom(m, kHub, own.c_str(), 5));
    while (Packet* p = h_.Take("sink", 0)) p->release();
  }

  void SyncFromHub(uint32_t am_version, uint32_t rm_version = 0) {
    OstrelOverlayStateMsg m;
    m.set_osm_type(5);
    SyncStateMsg* s = m.mutable_osm_syncstatemsg();
    s->set_wep_version(0);
    s->set_wls_version(0);
    s->set_am_version(am_version);
    s->set_rm_version(rm_version);
    Receive(m);
  }

  void Answer(uint32_t code, uint32_t version, const char* address = nullptr,
              uint32_t lifetime = 3600) {
    OstrelOverlayStateMsg m;
    m.set_osm_type(17);
    AddrMgmtMsg* a = m.mutable_osm_addrmgmtmsg();
    a->set_amm_version(version);
    a->set_amm_msg_type(1);
    a->set_amm_site_id("hub");
    a->set_amm_ret_code(code);
    if (address != nullptr) {
      a->set_amm_ipv4_addr(Ip(address).addr());
      a->set_amm_ipv4_mask(Ip("255.255.255.0").addr());
      a->set_amm_lifetime(lifetime);
      a->set_amm_nameservers("10.0.0.53");
      a->set_amm_domain_list("corp.example");
    }
    Receive(m);
  }

  OverlayAddrMgmtMsg* am_handler() { return hub_->addr_mgmt_handler; }

  OstAddrMgmt* am_ = nullptr;
  OverlayPeerDescriptor* hub_ = nullptr;
};

TEST_F(LeaseMsgTest, FirstSyncBeforeAnyTriggerIsIgnoredThenRefreshStartsVersionOne) {
  ASSERT_TRUE(LoadAll()) << h_.messages();
  AddPath(kHub, 5, OHV_COMPLETED);
  SyncFromHub(0);
  EXPECT_EQ(am_handler()->current_version, 0u);
  EXPECT_NE(log_.text().find("OverlayAddrMgmtMsg trigger for peer (10.20.0.1) with reason 32 "
                             "ignored. currversion: 0 sentversion: 0 peerversion: 0"),
            std::string::npos);
  EXPECT_EQ(hub_->route_handler->current_version, 0u);
  EXPECT_TRUE(TickAt(0, 17).empty());

  am_->check_and_initiate_ip_refresh(Ip(kHub));
  EXPECT_EQ(am_handler()->current_version, 1u);
  for (int i = 0; i < 2; ++i) {  // again on every tick until the hub echoes it
    const auto sent = TickAt(i, 17);
    ASSERT_EQ(sent.size(), 1u) << i;
    EXPECT_EQ(sent[0].osm_addrmgmtmsg().amm_version(), 1u);
    EXPECT_EQ(sent[0].osm_addrmgmtmsg().amm_msg_type(), 1u);
    EXPECT_FALSE(sent[0].osm_addrmgmtmsg().has_amm_ipv4_addr());
  }
  SyncFromHub(1);
  EXPECT_TRUE(TickAt(3, 17).empty());
}

TEST_F(LeaseMsgTest, RenewWithBackOffThenRebindWithANewVersion) {
  ASSERT_TRUE(LoadAll()) << h_.messages();
  AddPath(kHub, 5, OHV_COMPLETED);
  SyncFromHub(0);
  am_->check_and_initiate_ip_refresh(Ip(kHub));
  ASSERT_EQ(TickAt(0, 17).size(), 1u);
  Answer(1, 1, "100.64.1.20");
  EXPECT_EQ(am_->current_address(), Ip("100.64.1.20"));
  EXPECT_EQ(hub_->client_vip, Ip("100.64.1.20"));
  SyncFromHub(1);

  struct Step {
    int64_t at;
    int sent_type;  // 0: nothing sent
    uint32_t version;
  } steps[] = {
      {1, 0, 1},    {1799, 0, 1}, {1800, 5, 2}, {1815, 0, 2},
      {1830, 0, 2}, {1831, 5, 2}, {1891, 0, 2}, {1892, 5, 2},  // 60 s
      {2012, 0, 2}, {2013, 5, 2},                              // 120 s
      {3240, 6, 3},                                            // rebind: new version, 30 s again
      {3270, 0, 3}, {3271, 6, 3},                              // next: min(60, 329 / 3)
      {3331, 0, 3}, {3332, 6, 3},                              // next: min(120, 268 / 3) = 89
      {3421, 0, 3}, {3422, 6, 3},
  };
  for (const Step& s : steps) {
    const auto sent = TickAt(s.at, 17);
    ASSERT_EQ(sent.size(), s.sent_type == 0 ? 0u : 1u) << "at " << s.at;
    EXPECT_EQ(am_handler()->current_version, s.version) << "at " << s.at;
    if (sent.empty()) continue;
    const AddrMgmtMsg& m = sent[0].osm_addrmgmtmsg();
    EXPECT_EQ(m.amm_msg_type(), static_cast<uint32_t>(s.sent_type)) << "at " << s.at;
    EXPECT_EQ(m.amm_version(), s.version);
    EXPECT_EQ(m.amm_ipv4_addr(), Ip("100.64.1.20").addr());
    EXPECT_EQ(m.amm_ipv4_mask(), Ip("255.255.255.0").addr());
  }
  EXPECT_EQ(am_handler()->retry_interval, 59);  // 178 s left
}

TEST_F(LeaseMsgTest, RetryIntervalStopsAtNineHundredSeconds) {
  ASSERT_TRUE(LoadAll()) << h_.messages();
  AddPath(kHub, 5, OHV_COMPLETED);
  SyncFromHub(0);
  am_->check_and_initiate_ip_refresh(Ip(kHub));
  TickAt(0, 17);
  Answer(1, 1, "100.64.1.20", 100000);
  SyncFromHub(1);
  int64_t at = 50000;
  ASSERT_EQ(TickAt(at, 17).size(), 1u);
  for (int expected : {60, 120, 240, 480, 900, 900}) {
    at += am_handler()->retry_interval + 1;
    ASSERT_EQ(TickAt(at, 17).size(), 1u) << at;
    EXPECT_EQ(am_handler()->retry_interval, expected);
  }
}

TEST_F(LeaseMsgTest, AnswersByCode) {
  ASSERT_TRUE(LoadAll()) << h_.messages();
  AddPath(kHub, 5, OHV_COMPLETED);
  SyncFromHub(0);
  am_->check_and_initiate_ip_refresh(Ip(kHub));

  Answer(1, 4);  // no address: nothing
  EXPECT_EQ(am_->current_address().addr(), 0u);
  Answer(1, 5, "100.64.1.20");
  EXPECT_EQ(am_->current_address(), Ip("100.64.1.20"));
  Answer(1, 5, "100.64.1.99");  // the same version again: skipped
  EXPECT_EQ(am_->current_address(), Ip("100.64.1.20"));
  EXPECT_NE(log_.text().find("OverlayAddrMgmtMsg: Already processed message from 10.20.0.1. "
                             "Skip processing. recv version:5 "),
            std::string::npos);
  am_handler()->reset_peer_state();  // the peer lost its last path
  Answer(1, 5, "100.64.1.99");
  EXPECT_EQ(am_->current_address(), Ip("100.64.1.99"));

  // 3: forget the lease, ask again with a new version.
  const uint32_t before = am_handler()->current_version;
  Answer(3, 6);
  EXPECT_EQ(am_->lease().lease_secs, 0);
  EXPECT_EQ(am_->last_used().ip_addr.addr(), 0u);
  EXPECT_EQ(am_handler()->current_version, before + 1);
  bool expired = false;
  EXPECT_EQ(am_->get_peer_address_msg_type(Ip(kHub), &expired), 1);

  // 2 with a single-member group: the same, after the failover line.
  Answer(1, 7, "100.64.1.20");
  Answer(2, 8);
  EXPECT_EQ(am_->lease().lease_secs, 0);
  EXPECT_EQ(am_handler()->current_version, before + 2);
  EXPECT_NE(log_.text().find("OverlayAddrMgmtMsg: Not failing over. So reset IP and freshly "
                             "request"),
            std::string::npos);
  Answer(9, 9);  // unknown codes change nothing
  EXPECT_EQ(am_handler()->current_version, before + 2);
}

TEST_F(LeaseMsgTest, ExhaustedHubOfALargerGroupFailsOver) {
  ASSERT_TRUE(LoadAll(WithTwoMemberGroup())) << h_.messages();
  AddPath(kHub, 5, OHV_COMPLETED);
  Answer(1, 1, "100.64.1.20");
  transport_.clear();
  Answer(2, 2);
  EXPECT_EQ(am_->lease().lease_secs, 3600);  // lease kept: another hub takes over
  bool connect_to_next = false;
  for (const std::string& call : transport_.calls()) {
    connect_to_next = connect_to_next || call.find("peer=10.20.0.3") != std::string::npos;
  }
  EXPECT_TRUE(connect_to_next);
  EXPECT_NE(log_.text().find("Notification received from 10.20.0.1 to fallback to another hub if "
                             "available"),
            std::string::npos);
}

TEST_F(LeaseMsgTest, HubsAndControllersNeverAskAndControllersIgnoreAnswers) {
  for (const char* role : {"DC", "WAYPOINT", "CONTROLLER"}) {
    SCOPED_TRACE(role);
    ASSERT_TRUE(LoadAll(WithLocalRole(role))) << h_.messages();
    AddPath(kHub, 5, OHV_COMPLETED);
    am_handler()->new_msg_trigger(kTriggerIpRefresh);
    hub_->route_handler->new_msg_trigger(1);
    EXPECT_TRUE(TickAt(0, 17).empty());
    EXPECT_FALSE(am_handler()->is_msg_available());
    EXPECT_FALSE(hub_->route_handler->is_msg_available());
    Answer(1, 1, "100.64.1.20");
    const bool controller = std::string(role) == "CONTROLLER";
    EXPECT_EQ(am_->current_address().addr() != 0, !controller);
  }
}

TEST_F(LeaseMsgTest, StaticAddressKeepsTheExchangeIdleAndAnnouncesItsRoute) {
  ASSERT_TRUE(LoadAll(WithStaticVip())) << h_.messages();
  AddPath(kHub, 5, OHV_COMPLETED);
  SyncFromHub(0, 0);  // the first sync: reason 32 finds version 0
  EXPECT_EQ(hub_->route_handler->current_version, 0u);
  EXPECT_EQ(log_.text().find("Route Msg trigger with reason 32"), std::string::npos);

  am_->check_and_initiate_ip_refresh(Ip(kHub));  // no dynamic addressing: a route update
  am_handler()->new_msg_trigger(kTriggerIpRefresh);
  EXPECT_FALSE(am_handler()->is_msg_available());
  for (int i = 0; i < 2; ++i) {
    const auto routes = TickAt(i, 11);
    ASSERT_EQ(routes.size(), 1u) << i;
    const RouteMsg& rm = routes[0].osm_routemsg();
    EXPECT_EQ(rm.rm_version(), 1u);
    ASSERT_EQ(rm.route_size(), 1);
    EXPECT_EQ(rm.route(0).ip(), Ip("10.1.1.5").addr());
    EXPECT_EQ(rm.route(0).netmask(), 32u);
    EXPECT_EQ(rm.route(0).gw(), Ip("10.255.0.7").addr());
    EXPECT_TRUE(TickAt(i, 17).empty());
  }
  SyncFromHub(0, 1);
  EXPECT_TRUE(TickAt(3, 11).empty());

  // A later first-sync reason: peer version + 1, or current + 1 while it is 0.
  hub_->route_handler->new_msg_trigger(kTriggerFirstSync);
  EXPECT_EQ(hub_->route_handler->current_version, 2u);
  hub_->route_handler->peer_version = 0;
  hub_->route_handler->new_msg_trigger(kTriggerFirstSync);
  EXPECT_EQ(hub_->route_handler->current_version, 3u);

  // A route from the hub changes nothing; an assignment is only logged.
  OstrelOverlayStateMsg route;
  route.set_osm_type(11);
  route.mutable_osm_routemsg()->set_rm_version(40);
  Receive(route);
  EXPECT_EQ(hub_->route_handler->current_version, 3u);
  EXPECT_EQ(hub_->route_handler->peer_version, 0u);
  Answer(1, 1, "100.64.1.20");
  EXPECT_EQ(am_->current_address().addr(), 0u);
  EXPECT_NE(log_.text().find("OverlayAddrMgmtMsg: Address received from 10.20.0.1. Ignored"),
            std::string::npos);
}

TEST_F(LeaseMsgTest, LeasedAddressIsAnnouncedToOtherConnectedHubs) {
  ASSERT_TRUE(LoadAll()) << h_.messages();
  transport_.established = true;
  AddPath(kHub, 5, OHV_COMPLETED);
  OverlayPathSetup s;
  s.local_path_id = 6;
  s.peer_overlay = Ip("10.20.0.2");
  s.remote_wan = Ip("192.0.2.2");
  s.local_wan = Ip("198.51.100.10");
  s.protocol = 1;
  auto od = ov_->insert_path(std::make_shared<OverlayDescriptor>(s));
  OverlayPeerDescriptor* other = ov_->get_opd(Ip("10.20.0.2"));
  other->paths.push_back(od);

  hub_->route_handler->new_msg_trigger(1);  // no address yet
  EXPECT_EQ(hub_->route_handler->current_version, 0u);
  Answer(1, 1, "100.64.1.20");
  EXPECT_EQ(other->route_handler->current_version, 1u);  // announced
  EXPECT_EQ(hub_->route_handler->current_version, 0u);   // it leased the address
  const auto routes = TickAt(0, 11);
  ASSERT_EQ(routes.size(), 1u);
  EXPECT_EQ(routes[0].osm_routemsg().route(0).ip(), Ip("100.64.1.20").addr());
  EXPECT_EQ(routes[0].osm_routemsg().route(0).gw(), Ip("10.10.0.1").addr());
}

}  // namespace
}  // namespace overlay_test
