#include "ostgraphsvc/graph/elements/overlay/overlay_msg_handlers.h"

#include <gtest/gtest.h>

#include <memory>

#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_test_support.h"
#include "ostgraphsvc/overlaymsg/control_packet.h"
#include "overlaystatemsg.pb.h"
#include "platform/clock/clock.h"

namespace {

using overlay_test::Count;
using overlay_test::Ip;

uint64_t g_now = 1000000;
uint64_t TestTick() { return g_now; }

class HandlersTest : public ::testing::Test {
 protected:
  HandlersTest() {
    cxLogThreshold = CXLOG_DEBUG;
    set_tick_source(TestTick);
    g_now = 1000000;
    reset_first_state_sync_pending();
  }
  ~HandlersTest() override { set_tick_source(nullptr); }

  static std::unique_ptr<OverlayPeerDescriptor> Peer(const char* address) {
    OverlayPeerRecord r;
    r.address = Ip(address);
    return std::make_unique<OverlayPeerDescriptor>(r);
  }

  static std::shared_ptr<OverlayDescriptor> Path(uint32_t id, const char* peer) {
    OverlayPathSetup s;
    s.local_path_id = id;
    s.peer_overlay = Ip(peer);
    s.mtu = 1400;
    auto od = std::make_shared<OverlayDescriptor>(s);
    od->remote_path_id = id + 100;
    return od;
  }

  testing_support::StartedLog log_{0};
};

TEST_F(HandlersTest, ListsAfterPeersAThenBAndAfterDeletingOne) {
  auto a = Peer("10.20.0.1");
  auto b = Peer("10.20.0.2");
  const Vector<OstrelOverlayMsgInterface*>& all = overlay_msg_handlers();
  ASSERT_EQ(all.size(), 12);
  const OstrelOverlayMsgInterface* expect[] = {
      b->addr_mgmt_handler, b->user_auth_handler,  b->route_handler,     b->state_sync_handler,
      b->wan_state_handler, b->endpoint_handler,   a->addr_mgmt_handler, a->user_auth_handler,
      a->route_handler,     a->state_sync_handler, a->wan_state_handler, a->endpoint_handler};
  for (int i = 0; i < 12; ++i) EXPECT_EQ(all[i], expect[i]) << i;

  const OstrelOverlayMsgInterface* own[] = {a->route_handler, a->wan_state_handler,
                                            a->endpoint_handler, a->user_auth_handler,
                                            a->addr_mgmt_handler};
  ASSERT_EQ(a->handler_list.size(), 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(a->handler_list[i], own[i]) << i;

  const String names[] = {a->route_handler->msg_name(),     a->wan_state_handler->msg_name(),
                          a->endpoint_handler->msg_name(),  a->user_auth_handler->msg_name(),
                          a->addr_mgmt_handler->msg_name(), a->state_sync_handler->msg_name()};
  const char* expect_names[] = {"Route Message",           "WAN Link State Sync",     "EndPt Sync",
                                "OverlayUserAuth Message", "OverlayAddrMgmt Message", "State Sync"};
  for (int i = 0; i < 6; ++i) EXPECT_STREQ(names[i].c_str(), expect_names[i]);

  b.reset();
  ASSERT_EQ(all.size(), 6);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(all[i], expect[6 + i]) << i;
  a.reset();
  EXPECT_TRUE(all.empty());
  // Without an overlay element every role check warns and leaves its flags clear.
  const std::string log = log_.text();
  EXPECT_EQ(Count(log, "WARNING EndPt Msg: Unable to find ostoverlay element!!!"), 2);
  EXPECT_EQ(Count(log, "WARNING Route Msg: Unable to find ostoverlay element!!!"), 4);
  EXPECT_EQ(Count(log, "WARNING OverlayAddrMgmtMsg: Unable to find ostoverlay element!!!"), 4);
  EXPECT_EQ(Count(log, "Overlay EndPt Msg: (New) currversion 1, sentversion 0"), 2);
}

TEST_F(HandlersTest, CreationVersions) {
  auto a = Peer("10.20.0.1");
  OverlayMsgVersions v{9, 9, 9};
  struct Row {
    OstrelOverlayMsgInterface* h;
    OverlayMsgVersions want;
  } rows[] = {
      {a->endpoint_handler, {1, 0, 0}},   {a->wan_state_handler, {1, 9, 0}},
      {a->state_sync_handler, {0, 9, 0}}, {a->route_handler, {0, 0, 9}},
      {a->user_auth_handler, {1, 0, 9}},  {a->addr_mgmt_handler, {0, 0, 9}},
  };
  for (const Row& r : rows) {
    v = {9, 9, 9};
    r.h->get_versions(&v);
    EXPECT_EQ(v.current, r.want.current) << r.h->msg_name().c_str();
    EXPECT_EQ(v.sent, r.want.sent) << r.h->msg_name().c_str();
    EXPECT_EQ(v.peer, r.want.peer) << r.h->msg_name().c_str();
  }
  EXPECT_FALSE(a->endpoint_handler->roles.controller);
}

TEST_F(HandlersTest, SyncDueOnlyAfterSixWholeSeconds) {
  auto a = Peer("10.20.0.1");
  OverlayStateSyncMsg* sync = a->state_sync_handler;
  g_now += 5900;
  EXPECT_FALSE(sync->is_msg_available());
  g_now += 100;
  EXPECT_TRUE(sync->is_msg_available());
  EXPECT_EQ(sync->last_due_ms, g_now);
  EXPECT_FALSE(sync->is_msg_available());
}

TEST_F(HandlersTest, FirstSyncOfTheProcessTriggersOnlyThatPeer) {
  auto a = Peer("10.20.0.1");
  auto b = Peer("10.20.0.2");
  OstrelOverlayStateMsg msg;
  msg.set_osm_type(OVERLAY_SYNC_STATE_MSG);
  msg.mutable_osm_syncstatemsg()->set_wep_version(3);
  msg.mutable_osm_syncstatemsg()->set_wls_version(7);
  a->route_handler->peer_version = 11;

  EXPECT_TRUE(first_state_sync_pending());
  a->state_sync_handler->consume_msg(nullptr, msg, nullptr, a.get());
  EXPECT_FALSE(first_state_sync_pending());
  EXPECT_EQ(a->endpoint_handler->trigger_reasons, kTriggerFirstSync);
  EXPECT_EQ(a->wan_state_handler->trigger_reasons, kTriggerFirstSync);
  EXPECT_EQ(a->route_handler->trigger_reasons, kTriggerFirstSync);
  EXPECT_EQ(a->user_auth_handler->trigger_reasons, kTriggerFirstSync);
  EXPECT_EQ(a->addr_mgmt_handler->trigger_reasons, kTriggerFirstSync);
  EXPECT_EQ(a->state_sync_handler->trigger_reasons, 0u);
  // Peer versions: the required fields always, the optional ones only when present.
  EXPECT_EQ(a->endpoint_handler->peer_version, 3u);
  EXPECT_EQ(a->wan_state_handler->peer_version, 7u);
  EXPECT_EQ(a->route_handler->peer_version, 11u);
  // Endpoint: max(1, 3) + 1; WAN link: peer 7 + 1; route and address
  // management at version 0 ignore the first-sync reason.
  EXPECT_EQ(a->endpoint_handler->current_version, 4u);
  EXPECT_EQ(a->wan_state_handler->current_version, 8u);
  EXPECT_EQ(a->route_handler->current_version, 0u);
  EXPECT_EQ(a->addr_mgmt_handler->current_version, 0u);
  EXPECT_EQ(a->user_auth_handler->current_version, 2u);

  b->state_sync_handler->consume_msg(nullptr, msg, nullptr, b.get());
  for (OstrelOverlayMsgInterface* h : b->handler_list) {
    EXPECT_EQ(static_cast<OverlayVersionedMsg*>(h)->trigger_reasons, 0u);
  }
  EXPECT_EQ(b->endpoint_handler->peer_version, 3u);

  // A sync message without its sub-message reads as zeros.
  OstrelOverlayStateMsg empty;
  empty.set_osm_type(OVERLAY_SYNC_STATE_MSG);
  a->state_sync_handler->consume_msg(nullptr, empty, nullptr, a.get());
  EXPECT_EQ(a->endpoint_handler->peer_version, 0u);
  EXPECT_EQ(a->route_handler->peer_version, 11u);
}

TEST_F(HandlersTest, SyncMessageCarriesFiveVersionsOnEveryPath) {
  auto a = Peer("10.20.0.1");
  a->paths.push_back(Path(5, "10.20.0.1"));
  a->paths.push_back(Path(6, "10.20.0.1"));
  a->endpoint_handler->consumed_version = 4;
  a->wan_state_handler->consumed_version = 5;
  a->route_handler->current_version = 6;
  a->user_auth_handler->consumed_version = 7;
  a->addr_mgmt_handler->consumed_version = 8;
  Vector<Packet*> packets;
  a->state_sync_handler->build_msg_per_peer_into_packet(packets, nullptr, a.get());
  ASSERT_EQ(packets.size(), 2);
  for (int i = 0; i < 2; ++i) {
    Packet* p = packets[i];
    EXPECT_EQ(p->overlay_path_anno(), 5u + i);
    EXPECT_EQ(p->overlay_msg_type_anno(), OVERLAY_SYNC_STATE_MSG);
    EXPECT_EQ(control_packet_category(p), kControlCategoryOnePeer);
    OstrelOverlayStateMsg msg;
    ASSERT_TRUE(msg.ParseFromArray(p->data(), static_cast<int>(p->length())));
    const SyncStateMsg& s = msg.osm_syncstatemsg();
    EXPECT_EQ(msg.osm_type(), 5u);
    EXPECT_EQ(s.wep_version(), 4u);
    EXPECT_EQ(s.wls_version(), 5u);
    EXPECT_EQ(s.rm_version(), 6u);
    EXPECT_EQ(s.ua_version(), 7u);
    EXPECT_EQ(s.am_version(), 8u);
    EXPECT_FALSE(s.has_hfsc_version() || s.has_tpm_version() || s.has_mm_version());
    p->release();
  }
  // A path without its remote id asks the peer for everything again.
  a->paths[1]->remote_path_id = 0;
  packets.clear();
  a->state_sync_handler->build_msg_per_peer_into_packet(packets, nullptr, a.get());
  ASSERT_EQ(packets.size(), 2);
  OstrelOverlayStateMsg msg;
  ASSERT_TRUE(msg.ParseFromArray(packets[0]->data(), static_cast<int>(packets[0]->length())));
  EXPECT_EQ(msg.osm_syncstatemsg().wep_version(), 0u);
  for (Packet* p : packets) p->release();
  EXPECT_EQ(Count(log_.text(), "Overlay EndPt State: remote pathid not set, resync"), 1);
}

TEST_F(HandlersTest, ResetPeerStateForgetsConsumedVersionsButNotRoutes) {
  auto a = Peer("10.20.0.1");
  for (OstrelOverlayMsgInterface* h : a->handler_list) {
    static_cast<OverlayVersionedMsg*>(h)->consumed_version = 3;
    h->reset_peer_state();
  }
  EXPECT_EQ(a->endpoint_handler->consumed_version, 0u);
  EXPECT_EQ(a->wan_state_handler->consumed_version, 0u);
  EXPECT_EQ(a->user_auth_handler->consumed_version, 0u);
  EXPECT_EQ(a->addr_mgmt_handler->consumed_version, 0u);
  EXPECT_EQ(a->route_handler->consumed_version, 3u);
}

class HandlerRolesTest : public overlay_test::OverlayFixture {};

TEST_F(HandlerRolesTest, SpokeRoleChecksLogAndLeaveFlagsClear) {
  ASSERT_TRUE(Load(overlay_test::kTwoHubs));
  OverlayPeerDescriptor* opd = ov_->get_opd(Ip("10.20.0.1"));
  ASSERT_NE(opd, nullptr);
  EXPECT_FALSE(opd->route_handler->roles.controller);
  EXPECT_FALSE(opd->route_handler->roles.hub);
  const std::string log = log_.text();
  EXPECT_GE(Count(log, "EndPt Msg: I am not controller"), 1);
  EXPECT_GE(Count(log, "WanState Msg: I am not controller"), 1);
  // The route handler's hub check reports "not controller" as well.
  EXPECT_EQ(Count(log, "Route Msg: I am not controller"),
            2 * Count(log, "WanState Msg: I am not controller"));
  EXPECT_GE(Count(log, "OverlayUserAuthMsg: found ostoverlay element"), 2);
}

}  // namespace
