// The endpoint (kind 4), WAN link state (kind 3) and user-authentication
// (kind 14) exchanges with a hub, driven through the message element's ticks
// and received packets.
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_msg_test_support.h"
#include "ostgraphsvc/graph/elements/user/ostuser.h"

namespace overlay_test {
namespace {

constexpr char kHub[] = "10.20.0.1";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

std::string WithLocalRole(const char* role) {
  return Replace(kTwoHubs, "\"roles\": [{\"type\": \"SPOKE\"}]",
                 std::string("\"roles\": [{\"type\": \"") + role + "\"}]");
}

// The overlay, the message element and a token holder fed by "tok".
class PeerStateTest : public MsgFixture {
 protected:
  bool LoadAll(const std::string& conf = kTwoHubs) {
    const std::string graph =
        "src :: TestSource; tick :: TestSource; data :: TestSource; tok :: TestSource; "
        "sink :: TestSink; ostOverlay :: OstrelOverlay(CONF " +
        WriteConf(conf) +
        "); ostOverlayMsg :: OstrelOverlayMsg; user :: OstUser; tok -> user; "
        "src -> [0]ostOverlayMsg; tick -> [1]ostOverlayMsg; ostOverlayMsg[0] -> [0]sink; "
        "data -> [0]ostOverlay; ostOverlay[0] -> [1]sink; ostOverlay[1] -> [2]sink; "
        "ostOverlay[2] -> [3]sink; ostOverlay[3] -> [4]sink;";
    if (!h_.Load(graph)) return false;
    ov_ = static_cast<OstrelOverlay*>(h_.Find("ostOverlay"));
    msg_ = static_cast<OstrelOverlayMsg*>(h_.Find("ostOverlayMsg"));
    hub_ = ov_ != nullptr ? ov_->get_opd(Ip(kHub)) : nullptr;
    return ov_ != nullptr && msg_ != nullptr && hub_ != nullptr;
  }

  // The packets of `kind` one tick sends, with their path annotation.
  std::vector<Packet*> TickPackets(uint32_t kind) {
    Tick();
    std::vector<Packet*> out;
    while (Packet* p = h_.Take("sink", 0)) {
      if (p->overlay_msg_type_anno() == kind) {
        out.push_back(p);
      } else {
        p->release();
      }
    }
    return out;
  }
  std::vector<OstrelOverlayStateMsg> TickSends(uint32_t kind) {
    std::vector<OstrelOverlayStateMsg> out;
    for (Packet* p : TickPackets(kind)) {
      out.push_back(MessageOf(p));
      p->release();
    }
    return out;
  }

  void Receive(const OstrelOverlayStateMsg& m, uint32_t path_id = 5) {
    const String own = ov_->own_address().to_string();
    h_.Push("src", ControlFrom(m, kHub, own.c_str(), path_id));
    while (Packet* p = h_.Take("sink", 0)) p->release();
  }

  void Sync(uint32_t wep, uint32_t wls, int ua = -1) {
    OstrelOverlayStateMsg m;
    m.set_osm_type(5);
    SyncStateMsg* s = m.mutable_osm_syncstatemsg();
    s->set_wep_version(wep);
    s->set_wls_version(wls);
    if (ua >= 0) s->set_ua_version(static_cast<uint32_t>(ua));
    Receive(m);
  }

  void Token(const std::string& text) {
    h_.Push("tok", Packet::make(0, text.data(), static_cast<uint32_t>(text.size())));
  }

  std::string Log() const { return log_.text(); }

  OverlayPeerDescriptor* hub_ = nullptr;
};

// ---- Endpoint

OstrelOverlayStateMsg Endpoint(uint32_t version, uint32_t remote_id, int64_t mtu = -1,
                               uint32_t reason = 0) {
  OstrelOverlayStateMsg m;
  m.set_osm_type(4);
  WanEndPtMsg* ep = m.mutable_osm_endptmsg();
  ep->set_wep_version(version);
  if (reason != 0) ep->set_msg_trigger_reason(reason);
  WanEndPtDescMsg* d = ep->add_wep_list();
  d->set_wep_my_pathid(remote_id);
  if (mtu >= 0) d->set_wep_my_mtu(static_cast<uint32_t>(mtu));
  return m;
}

TEST_F(PeerStateTest, EndpointMtuRemoteIdNatLossAndBounds) {
  ASSERT_TRUE(LoadAll()) << h_.messages();
  auto od = AddPath(kHub, 5, OHV_COMPLETED);
  ASSERT_EQ(hub_->mtu, 0);
  struct Step {
    int64_t sent;
    uint32_t path_peer_mtu;
    uint16_t peer_mtu;
  } steps[] = {
      {1500, 1500, 1400}, {1300, 1300, 1300}, {1450, 1450, 1300},  {0, 0, 1300},
      {100, 576, 576},    {1, 576, 576},      {70000, 65535, 576},
  };
  for (const Step& s : steps) {
    Receive(Endpoint(3, 900, s.sent));
    EXPECT_EQ(od->peer_mtu, s.path_peer_mtu) << s.sent;
    EXPECT_EQ(hub_->mtu, s.peer_mtu) << s.sent;
  }
  EXPECT_EQ(od->remote_path_id, 900u);
  EXPECT_EQ(hub_->endpoint_handler->consumed_version, 3u);

  OstrelOverlayStateMsg m = Endpoint(4, 901);
  WanEndPtDescMsg* d = m.mutable_osm_endptmsg()->mutable_wep_list(0);
  d->set_wep_remote_nat_ipv4(Ip("203.0.113.9").addr());
  d->mutable_wep_ods()->set_ods_rxloss_delayed(2.5);
  d->mutable_wep_ods()->set_ods_rxloss_instant(std::numeric_limits<double>::quiet_NaN());
  d->mutable_wep_remote_wan()->set_rwm_prop(7);
  d->mutable_wep_remote_wan()->set_rwm_usable(true);
  m.mutable_osm_endptmsg()->add_wep_list()->set_wep_my_pathid(999);  // only the first is read
  Receive(m);
  EXPECT_EQ(od->remote_path_id, 901u);
  EXPECT_EQ(od->public_address, Ip("203.0.113.9"));
  EXPECT_EQ(od->delayed_tx_loss, 2.5);
  EXPECT_EQ(od->instant_tx_loss, 0);
  EXPECT_EQ(od->remote_wan_prop, 7u);
  EXPECT_TRUE(od->remote_wan_usable);
  EXPECT_EQ(od->peer_mtu, 65535u);  // no MTU in the message: kept

  d->mutable_wep_ods()->set_ods_rxloss_delayed(1e300);
  d->clear_wep_remote_nat_ipv4();
  Receive(m);
  EXPECT_EQ(od->delayed_tx_loss, 100);
  EXPECT_EQ(od->public_address.addr(), 0u);

  // An empty list: only the consumed version moves.
  OstrelOverlayStateMsg empty;
  empty.set_osm_type(4);
  empty.mutable_osm_endptmsg()->set_wep_version(9);
  Receive(empty);
  EXPECT_EQ(hub_->endpoint_handler->consumed_version, 9u);
  EXPECT_EQ(od->remote_path_id, 901u);
  EXPECT_EQ(od->delayed_tx_loss, 100);

  // From an unknown path: nothing changes.
  Receive(Endpoint(11, 5000, 1300), 77);
  EXPECT_EQ(hub_->endpoint_handler->consumed_version, 9u);
  EXPECT_NE(Log().find("Overlay EndPt Msg: Cannot find incoming pathid 77"), std::string::npos);
  EXPECT_EQ(ov_->dim_update_counter(), 0);
}

TEST_F(PeerStateTest, EndpointQualityOnlyLine) {
  ASSERT_TRUE(LoadAll()) << h_.messages();
  AddPath(kHub, 5, OHV_COMPLETED);
  const std::string line = "EndPt Msg: only qoe changed, no need to trigger DIM";
  struct Case {
    uint32_t remote_id;
    uint32_t reason;
    int lines;
  } cases[] = {
      {900, 4, 0},  // a new remote id
      {900, 4, 1},  // same id, quality only
      {900, 5, 1},  // the endpoint bit too
      {900, 0, 1},  // no reason
      {901, 4, 1},  // a new id again
      {901, 6, 2},
  };
  for (const Case& c : cases) {
    Receive(Endpoint(1, c.remote_id, 1300, c.reason));
    EXPECT_EQ(Count(Log(), line), c.lines) << c.remote_id << " reason " << c.reason;
  }
}

TEST_F(PeerStateTest, SpokeSendsClimbingVersionsAndStopsWhenInStep) {
  ASSERT_TRUE(LoadAll()) << h_.messages();
  auto od = AddPath(kHub, 5, OHV_COMPLETED);
  auto od2 = AddPath(kHub, 6, OHV_COMPLETED);
  od->delayed_rx_loss = 1.5;
  OverlayEndptMsg* h = hub_->endpoint_handler;
  h->current_version = 5;
  h->trigger_reasons = 4;
  for (uint32_t expected : {1u, 2u, 3u, 4u, 5u, 5u}) {
    const auto sent = TickSends(4);
    ASSERT_EQ(sent.size(), 2u);  // one per path
    EXPECT_EQ(sent[0].osm_endptmsg().wep_version(), expected);
    EXPECT_EQ(sent[1].osm_endptmsg().wep_version(), expected);
  }
  const auto sent = TickPackets(4);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0]->overlay_path_anno(), 5u);
  EXPECT_EQ(sent[1]->overlay_path_anno(), 6u);
  const OstrelOverlayStateMsg m = MessageOf(sent[0]);
  for (Packet* p : sent) p->release();
  const WanEndPtMsg& ep = m.osm_endptmsg();
  EXPECT_EQ(ep.msg_trigger_reason(), 4u);
  EXPECT_TRUE(ep.has_wep_mac_addr());
  EXPECT_TRUE(ep.has_wep_dev_name());
  EXPECT_FALSE(ep.has_wep_sw_ver());
  ASSERT_EQ(ep.wep_list_size(), 1);
  const WanEndPtDescMsg& d = ep.wep_list(0);
  EXPECT_EQ(d.wep_my_pathid(), 5u);
  EXPECT_EQ(d.wep_my_mtu(), 1400u);
  EXPECT_EQ(d.wep_ods().ods_rxloss_delayed(), 1.5);
  EXPECT_EQ(d.wep_remote_wan().rwm_prop(), 0u);
  EXPECT_TRUE(d.wep_remote_wan().rwm_usable());
  EXPECT_EQ(d.wep_overlay_tag(), "wired");
  EXPECT_FALSE(d.has_wep_wannetwork_tag());
  EXPECT_FALSE(d.has_wep_my_ipv4());

  Sync(0, 0);  // first sync: reason 32, current = max(5, 0) + 1
  EXPECT_EQ(h->current_version, 6u);
  Sync(6, 0);
  EXPECT_TRUE(TickSends(4).empty());

  // The sync this side sends asks for everything while a path lacks its
  // remote id.
  OstrelOverlayStateMsg sync;
  h->fill_version(ov_, hub_, &sync);
  EXPECT_EQ(sync.osm_syncstatemsg().wep_version(), 0u);
  EXPECT_NE(Log().find("Overlay EndPt State: remote pathid not set, resync"), std::string::npos);
  Receive(Endpoint(3, 900, 1300), 5);
  Receive(Endpoint(3, 901, 1300), 6);
  h->fill_version(ov_, hub_, &sync);
  EXPECT_EQ(sync.osm_syncstatemsg().wep_version(), 3u);
}

TEST_F(PeerStateTest, ControllerAnswersOnlyAfterTheFirstEndpoint) {
  ASSERT_TRUE(LoadAll(WithLocalRole("CONTROLLER"))) << h_.messages();
  AddPath(kHub, 5, OHV_COMPLETED);
  OverlayEndptMsg* h = hub_->endpoint_handler;
  EXPECT_EQ(h->current_version, 0u);
  EXPECT_EQ(h->peer_version, 0xffffffffu);
  h->peer_version = 0;  // due, but nothing before the peer's first endpoint
  EXPECT_TRUE(TickSends(4).empty());
  EXPECT_FALSE(hub_->first_endpt_received);
  h->peer_version = 0xffffffffu;

  Receive(Endpoint(2, 900, 1300));
  EXPECT_TRUE(hub_->first_endpt_received);
  EXPECT_EQ(h->current_version, 0u);  // max(0, all ones) + 1 wraps
  EXPECT_TRUE(TickSends(4).empty());  // not due until the peer reports 0
  Sync(0, 0);                         // and the first sync adds reason 32
  EXPECT_EQ(h->current_version, 1u);
  const auto sent = TickSends(4);
  ASSERT_EQ(sent.size(), 1u);
  const WanEndPtMsg& ep = sent[0].osm_endptmsg();
  EXPECT_EQ(ep.wep_version(), 1u);
  EXPECT_FALSE(ep.has_wep_mac_addr());
  EXPECT_FALSE(ep.has_wep_dev_name());
  const WanEndPtDescMsg& d = ep.wep_list(0);
  EXPECT_TRUE(d.has_wep_my_ipv4());
  EXPECT_EQ(d.wep_my_ipv4(), 0u);
  EXPECT_TRUE(d.has_wep_remote_nat_ipv4());
  EXPECT_EQ(d.wep_remote_nat_port(), 4500u);
  EXPECT_EQ(d.wep_overlay_tag(), "public");
  EXPECT_EQ(d.wep_wannetwork_tag(), "internet");
  EXPECT_EQ(h->peer_version, 0xffffffffu);  // sent: wait for the next sync
  EXPECT_TRUE(TickSends(4).empty());
}

TEST_F(PeerStateTest, HubTakesWanTypeFromTheOverlayTagAndCapsItsEndpointTable) {
  ASSERT_TRUE(LoadAll(WithLocalRole("DC"))) << h_.messages();
  auto od = AddPath(kHub, 5, OHV_COMPLETED);
  struct Case {
    const char* tag;
    int type;
  } cases[] = {{"public", 1}, {"metered", 4}, {"Wired", 5}, {"wireless", 2}, {"private", 3}};
  for (const Case& c : cases) {
    OstrelOverlayStateMsg m = Endpoint(1, 900, 1300);
    m.mutable_osm_endptmsg()->mutable_wep_list(0)->set_wep_overlay_tag(c.tag);
    Receive(m);
    EXPECT_EQ(od->wan_type, c.type) << c.tag;
  }
  EXPECT_NE(Log().find("EndPt Msg:Updating at Hub Network Tag metered Overlay Tag metered, Wan "
                       "Type: 4"),
            std::string::npos);
  OstrelDIB* local = ov_->get_dib(ov_->own_address());
  ASSERT_NE(local, nullptr);
  EXPECT_TRUE(local->endpoint_sets.find(String("Wired")).live());

  // Tags are cut at 64 bytes; the table stops at 64 network tags.
  const std::string long_tag(100, 'n');
  OstrelOverlayStateMsg m = Endpoint(1, 900, 1300);
  m.mutable_osm_endptmsg()->mutable_wep_list(0)->set_wep_wannetwork_tag(long_tag);
  Receive(m);
  EXPECT_TRUE(local->endpoint_sets.find(String(long_tag.substr(0, 64).c_str())).live());
  for (int i = 0; i < 70; ++i) {
    m.mutable_osm_endptmsg()->mutable_wep_list(0)->set_wep_wannetwork_tag("net" +
                                                                          std::to_string(i));
    Receive(m);
  }
  EXPECT_EQ(local->endpoint_sets.size(), 64u);
  EXPECT_TRUE(local->endpoint_sets.find(String("net57")).live());
  EXPECT_FALSE(local->endpoint_sets.find(String("net58")).live());
  EXPECT_EQ(Count(Log(), "Overlay EndPt Msg: endpoint table holds 64 network tags"), 12);
  EXPECT_EQ(Count(Log(), "Overlay EndPt Msg: Cannot find endpt desc"), 64);
  EXPECT_EQ(ov_->dim_update_counter(), 0);
}

TEST_F(PeerStateTest, SpokeNamesAnUntypedPathWired) {
  ASSERT_TRUE(LoadAll()) << h_.messages();
  auto od = AddPath(kHub, 5, OHV_COMPLETED);
  OstrelOverlayStateMsg m = Endpoint(1, 900, 1300);
  m.mutable_osm_endptmsg()->mutable_wep_list(0)->set_wep_overlay_tag("metered");
  Receive(m);
  EXPECT_EQ(od->wan_type, 5);  // only a hub takes the peer's type
  OstrelDIB* local = ov_->get_dib(ov_->own_address());
  EXPECT_TRUE(local->endpoint_sets.find(String("wired")).live());
  EXPECT_FALSE(local->endpoint_sets.find(String("metered")).live());
  EXPECT_NE(Log().find("Overlay EndPt Msg: Cannot find endpt desc for network tag wired overlay "
                       "tag wired"),
            std::string::npos);
}

// ---- WAN link state

OstrelOverlayStateMsg WanState(uint32_t version, const std::vector<std::vector<uint32_t>>& ids,
                               uint32_t state) {
  OstrelOverlayStateMsg m;
  m.set_osm_type(3);
  WanLinkStateMsg* w = m.mutable_osm_wlsmsg();
  w->set_wls_version(version);
  for (const auto& list : ids) {
    WanLinkStateDescMsg* e = w->add_wls_list();
    e->set_wls_ipv4(Ip("192.0.2.1").addr());
    e->set_wls_state(state);
    for (uint32_t id : list) e->add_wls_pathid(id);
  }
  return m;
}

TEST_F(PeerStateTest, WanStateListsEveryConnectedPathOnEachPath) {
  ASSERT_TRUE(LoadAll()) << h_.messages();
  AddPath(kHub, 5, OHV_COMPLETED);
  AddPath(kHub, 6, OHV_COMPLETED);
  ov_->connected_paths().push_back({5, Ip("198.51.100.10"), Ip("192.0.2.1"), true});
  ov_->connected_paths().push_back({6, Ip("198.51.100.11"), Ip("192.0.2.1"), true});
  ov_->connected_paths().push_back({9, Ip("198.51.100.12"), Ip("192.0.2.2"), false});  // closed
  const auto sent = TickPackets(3);
  ASSERT_EQ(sent.size(), 2u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(sent[i]->overlay_path_anno(), 5u + i);
    const OstrelOverlayStateMsg m = MessageOf(sent[i]);
    sent[i]->release();
    ASSERT_EQ(m.osm_wlsmsg().wls_list_size(), 3);
    EXPECT_EQ(m.osm_wlsmsg().wls_version(), 1u);
    const WanLinkStateDescMsg& third = m.osm_wlsmsg().wls_list(2);
    EXPECT_EQ(third.wls_ipv4(), Ip("198.51.100.12").addr());
    ASSERT_EQ(third.wls_natipv4_size(), 1);
    EXPECT_EQ(third.wls_natipv4(0), third.wls_ipv4());
    ASSERT_EQ(third.wls_pathid_size(), 1);
    EXPECT_EQ(third.wls_pathid(0), 9u);
    EXPECT_EQ(third.wls_state(), 0u);
    EXPECT_EQ(m.osm_wlsmsg().wls_list(0).wls_state(), 1u);
  }
  EXPECT_EQ(TickSends(3).size(), 2u);  // peer version 0: still due
  Sync(0, 1);                          // the first sync's reason 32 finds peer version 1: 2
  const auto again = TickSends(3);
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(again[0].osm_wlsmsg().wls_version(), 2u);
  Sync(0, 2);
  EXPECT_TRUE(TickSends(3).empty());
  OverlayMsgVersions v{7, 7, 7};
  hub_->wan_state_handler->get_versions(&v);
  EXPECT_EQ(v.current, 2u);
  EXPECT_EQ(v.sent, 7u);  // left alone
  EXPECT_EQ(v.peer, 2u);
}

TEST_F(PeerStateTest, WanStateTriggerRule) {
  ASSERT_TRUE(LoadAll()) << h_.messages();
  OverlayWanStateMsg* h = hub_->wan_state_handler;
  struct Case {
    uint32_t current, peer, reason, expected;
  } cases[] = {{3, 7, 32, 8}, {3, 0, 32, 4}, {3, 7, 33, 4}, {3, 7, 2, 4}};
  for (const Case& c : cases) {
    h->current_version = c.current;
    h->peer_version = c.peer;
    h->new_msg_trigger(c.reason);
    EXPECT_EQ(h->current_version, c.expected) << c.reason << " peer " << c.peer;
  }
  EXPECT_EQ(h->trigger_reasons, 35u);
}

TEST_F(PeerStateTest, WanStateFlipsRemoteUpOnceAndLimitsItsLines) {
  ASSERT_TRUE(LoadAll()) << h_.messages();
  auto a = AddPath(kHub, 5, OHV_COMPLETED);
  auto b = AddPath(kHub, 6, OHV_COMPLETED);
  a->remote_path_id = 77;
  b->remote_path_id = 78;
  const std::string down = "set state to DOWN";
  Receive(WanState(4, {{12, 77}}, 0));
  EXPECT_FALSE(a->remote_up.load());
  EXPECT_TRUE(b->remote_up.load());
  EXPECT_EQ(Count(Log(), down), 1);
  EXPECT_EQ(Count(Log(), "OPD: update wan link DOWN for path 5"), 1);
  EXPECT_EQ(hub_->wan_state_handler->consumed_version, 4u);
  Receive(WanState(5, {{12, 77}}, 0));
  EXPECT_EQ(Count(Log(), down), 1);
  EXPECT_EQ(Count(Log(), "OPD: update wan link DOWN"), 1);
  Receive(WanState(6, {{77}}, 3));
  EXPECT_TRUE(a->remote_up.load());
  EXPECT_NE(Log().find("Consume WanState Msg: sip=192.0.2.1, msgpathid=77 rpathid:lpathid=77:5 "
                       "set state to UP"),
            std::string::npos);

  const std::string unset = "cannot be set, pathid's not in sync or absent";
  Receive(WanState(7, {{}}, 0));  // one line per path
  EXPECT_EQ(Count(Log(), unset), 2);
  EXPECT_NE(Log().find("Consume WanState Msg: sip=192.0.2.1, pathid=6state DOWN, " + unset),
            std::string::npos);
  Receive(WanState(8, std::vector<std::vector<uint32_t>>(20), 1));  // 40 lines: 16 written
  EXPECT_EQ(Count(Log(), unset), 18);
  EXPECT_NE(Log().find("Consume WanState Msg: 24 more entries that cannot be set not logged"),
            std::string::npos);
  EXPECT_TRUE(a->remote_up.load());
}

TEST_F(PeerStateTest, ControllerNeverSendsWanStateButAppliesIt) {
  ASSERT_TRUE(LoadAll(WithLocalRole("CONTROLLER"))) << h_.messages();
  auto a = AddPath(kHub, 5, OHV_COMPLETED);
  a->remote_path_id = 77;
  ov_->connected_paths().push_back({5, Ip("198.51.100.10"), Ip("192.0.2.1"), true});
  OverlayWanStateMsg* h = hub_->wan_state_handler;
  h->new_msg_trigger(kTriggerWanState);
  h->peer_version = 9;
  EXPECT_FALSE(h->is_msg_available());
  EXPECT_TRUE(TickSends(3).empty());
  Receive(WanState(4, {{77}}, 0));
  EXPECT_FALSE(a->remote_up.load());
}

// ---- User authentication

TEST_F(PeerStateTest, FirstUserAuthMessageIsOfferedUntilSentThenUntilInStep) {
  ASSERT_TRUE(LoadAll()) << h_.messages();
  OverlayUserAuthMsg* h = hub_->user_auth_handler;
  EXPECT_TRUE(h->is_msg_available());
  Vector<Packet*> none;
  EXPECT_TRUE(h->build_msg_per_peer_into_packet(none, ov_, hub_).empty());  // no path yet
  EXPECT_TRUE(h->is_msg_available());

  AddPath(kHub, 5, OHV_COMPLETED);
  AddPath(kHub, 6, OHV_COMPLETED);
  for (int i = 0; i < 2; ++i) {
    const auto sent = TickPackets(14);
    ASSERT_EQ(sent.size(), 1u) << i;  // the first path only
    EXPECT_EQ(sent[0]->overlay_path_anno(), 5u);
    const OstrelOverlayStateMsg m = MessageOf(sent[0]);
    sent[0]->release();
    EXPECT_EQ(m.osm_userauthmsg().uam_version(), 1u);
    EXPECT_FALSE(m.osm_userauthmsg().has_uam_jwt());
    EXPECT_EQ(m.osm_userauthmsg().uam_newver_supported(), 1u);
    EXPECT_FALSE(m.osm_userauthmsg().has_uam_authack());
    EXPECT_FALSE(m.osm_userauthmsg().has_uam_auth_state());
  }
  EXPECT_EQ(h->sent_count, 2u);
  Sync(0, 0, 1);  // first sync: reason 32 counts too
  EXPECT_EQ(h->current_version, 2u);
  EXPECT_NE(Log().find("OverlayUserAuthMsg trigger with reason 32 currversion: 2 sentversion: 2 "
                       "peerversion 1"),
            std::string::npos);
  EXPECT_EQ(TickSends(14).size(), 1u);
  Sync(0, 0, 2);
  EXPECT_TRUE(TickSends(14).empty());
  Sync(0, 0);  // no ua_version: the peer version stays
  EXPECT_TRUE(TickSends(14).empty());
  OverlayMsgVersions v{0, 0, 55};
  h->get_versions(&v);
  EXPECT_EQ(v.current, 2u);
  EXPECT_EQ(v.sent, 3u);
  EXPECT_EQ(v.peer, 55u);
}

TEST_F(PeerStateTest, TokenChangesRaiseTheVersionAndCarryTheToken) {
  ASSERT_TRUE(LoadAll()) << h_.messages();
  AddPath(kHub, 5, OHV_COMPLETED);
  OverlayUserAuthMsg* h = hub_->user_auth_handler;
  ASSERT_EQ(TickSends(14).size(), 1u);
  Sync(0, 0, 1);  // reason 32: version 2
  ASSERT_EQ(TickSends(14).size(), 1u);
  h->peer_version = 2;

  const std::string token(2048, 't');
  Token(token);
  h->peer_version = 7;  // the larger of current and peer, plus one
  auto sent = TickSends(14);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].osm_userauthmsg().uam_version(), 8u);
  EXPECT_EQ(sent[0].osm_userauthmsg().uam_jwt(), token);
  EXPECT_NE(Log().find("OverlayUserAuthMsg: version 8 jwt len:2048"), std::string::npos);
  EXPECT_EQ(Log().find(token), std::string::npos);  // never the token itself
  EXPECT_NE(Log().find("State changed. Sending user auth msg to peer: currversion 8, sentversion "
                       "2, peerversion 7 state:1 updversion:1"),
            std::string::npos);

  h->peer_version = 8;
  Token("NONE");  // disabled: still a new version, without a token
  sent = TickSends(14);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].osm_userauthmsg().uam_version(), 9u);
  EXPECT_FALSE(sent[0].osm_userauthmsg().has_uam_jwt());
}

TEST_F(PeerStateTest, UserAuthStateFromTheHub) {
  ASSERT_TRUE(LoadAll()) << h_.messages();
  AddPath(kHub, 5, OHV_COMPLETED);
  auto answer = [&](uint32_t version, int ack, int state) {
    OstrelOverlayStateMsg m;
    m.set_osm_type(14);
    UserAuthMsg* ua = m.mutable_osm_userauthmsg();
    ua->set_uam_version(version);
    if (ack >= 0) ua->set_uam_authack(ack != 0);
    if (state >= 0) ua->set_uam_auth_state(static_cast<uint32_t>(state));
    Receive(m);
  };
  struct Step {
    bool token;
    int ack, state;
    int32_t stored;
  } steps[] = {
      {false, 1, -1, 1}, {false, 0, 3, 3}, {false, 1, 0, 1},
      {true, 1, -1, 2},  {true, 0, 2, 2},  {true, -1, 5, 2},  // unknown: logged, kept
      {true, 0, 0, 2},                                        // no ack, no state: kept
      {true, 1, 1, 1},
  };
  uint32_t version = 0;
  for (const Step& s : steps) {
    Token(s.token ? "tok" : "NONE");
    answer(++version, s.ack, s.state);
    EXPECT_EQ(hub_->user_auth_state, s.stored) << version;
    EXPECT_EQ(hub_->user_auth_handler->consumed_version, version);
  }
  answer(3, 1, 3);  // an older version is taken as well
  EXPECT_EQ(hub_->user_auth_handler->consumed_version, 3u);
  EXPECT_EQ(hub_->user_auth_state, 3);
  EXPECT_NE(Log().find("OverlayUserauthMsg: from 10.20.0.1 unknown state:5"), std::string::npos);
  EXPECT_NE(Log().find("OverlayUserAuthMsg: received message from 10.20.0.1 version 6 ack 0 "
                       "state:5"),
            std::string::npos);
  hub_->user_auth_handler->reset_peer_state();
  EXPECT_EQ(hub_->user_auth_handler->consumed_version, 0u);
  EXPECT_EQ(hub_->user_auth_state, 3);
}

TEST_F(PeerStateTest, HubOnlyLogsAndControllerIgnoresUserAuth) {
  for (const char* role : {"DC", "CONTROLLER"}) {
    SCOPED_TRACE(role);
    ASSERT_TRUE(LoadAll(WithLocalRole(role))) << h_.messages();
    AddPath(kHub, 5, OHV_COMPLETED);
    OverlayUserAuthMsg* h = hub_->user_auth_handler;
    EXPECT_FALSE(h->is_msg_available());
    EXPECT_TRUE(TickSends(14).empty());
    const size_t before = Log().size();
    OstrelOverlayStateMsg m;
    m.set_osm_type(14);
    m.mutable_osm_userauthmsg()->set_uam_version(4);
    m.mutable_osm_userauthmsg()->set_uam_auth_state(3);
    m.mutable_osm_userauthmsg()->set_uam_jwt("secret");
    Receive(m);
    const std::string after = Log().substr(before);
    const bool hub = std::string(role) == "DC";
    EXPECT_EQ(after.find("OverlayUserAuthMsg: received message from 10.20.0.1 version 4 ack 0 "
                         "state:3") != std::string::npos,
              hub);
    EXPECT_EQ(after.find("OverlayUserAuthMsg: received jwt") != std::string::npos, hub);
    EXPECT_EQ(Count(after, "OverlayUserAuthMsg: "), hub ? 2 : 0);  // nothing more
    EXPECT_EQ(after.find("secret"), std::string::npos);
    EXPECT_EQ(h->consumed_version, 0u);
    EXPECT_EQ(hub_->user_auth_state, 0);
  }
}

// What the three exchanges learn is what the path listing shows.
TEST_F(PeerStateTest, ListingShowsWhatThePeerSent) {
  ASSERT_TRUE(LoadAll()) << h_.messages();
  transport_.established = true;
  auto od = AddPath(kHub, 5, OHV_COMPLETED);
  OstrelOverlayStateMsg m = Endpoint(1, 4242, 1300);
  m.mutable_osm_endptmsg()->mutable_wep_list(0)->set_wep_remote_nat_ipv4(
      Ip("198.51.100.10").addr());
  Receive(m);
  Receive(WanState(2, {{4242}}, 0));
  OstrelOverlayStateMsg ua;
  ua.set_osm_type(14);
  ua.mutable_osm_userauthmsg()->set_uam_version(1);
  ua.mutable_osm_userauthmsg()->set_uam_auth_state(3);
  Receive(ua);
  const std::string page = ov_->list_overlays().c_str();
  for (const char* field :
       {"\"dsps_rpathid\":4242", "\"dsps_peermtu\":1300", "\"dsps_public_ip\":\"198.51.100.10\"",
        "\"dsps_remote_up\":false", "\"dsps_userauthstate\":3"}) {
    EXPECT_NE(page.find(field), std::string::npos) << field << " in " << page;
  }
  transport_.established = false;
}

// A token in one control packet, against the path MTU a DTLS path reports:
// control packets do not pass the fragmenter, so a packet the handler builds
// must fit the path whole. 1 KB does; 2 KB does not.
TEST_F(PeerStateTest, TokenPacketSizeAgainstThePathMtu) {
  ASSERT_TRUE(LoadAll()) << h_.messages();
  auto od = AddPath(kHub, 5, OHV_COMPLETED);
  for (const uint32_t token : {1024u, 2048u}) {
    Token(std::string(token, 't'));
    const std::vector<Packet*> sent = TickPackets(14);
    ASSERT_EQ(sent.size(), 1u);
    const uint32_t control = sent[0]->length();
    const uint32_t tunnelled =
        control + OstrelOverlay::kFullHeaderLength + OstrelOverlay::kOuterHeaderLength;
    EXPECT_EQ(MessageOf(sent[0]).osm_userauthmsg().uam_jwt().size(), token);
    sent[0]->release();
    std::printf("token %u: message %u bytes, control packet %u, in the tunnel %u; path MTU %u\n",
                token, control - kControlHeaderLength, control, tunnelled, od->mtu);
    EXPECT_EQ(tunnelled <= od->mtu, token == 1024u);
  }
}

}  // namespace
}  // namespace overlay_test
