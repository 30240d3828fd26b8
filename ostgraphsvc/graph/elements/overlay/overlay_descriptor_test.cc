#include "ostgraphsvc/graph/elements/overlay/overlay_descriptor.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "ostgraphsvc/policy_slot/qoe_thresholds.h"
#include "platform/clock/clock.h"
#include "tests/support/started_log.h"

namespace {

uint64_t fake_tick = 1000000;
uint64_t read_fake_tick() { return fake_tick; }

IPAddress Ip(const char* text) {
  IPAddress a;
  cp_parse_ip_address(String(text), &a);
  return a;
}

OverlayPathSetup PathSetup(uint32_t id, const char* remote = "192.0.2.1", uint16_t port = 443) {
  OverlayPathSetup s;
  s.local_path_id = id;
  s.peer_overlay = Ip("10.20.0.1");
  s.mtu = 1400;
  s.remote_wan = Ip(remote);
  s.local_wan = Ip("198.51.100.10");
  s.remote_port = port;
  s.protocol = 1;
  s.local_overlay = Ip("10.10.0.1");
  return s;
}

class DescriptorTest : public ::testing::Test {
 protected:
  DescriptorTest() {
    fake_tick = 1000000;
    set_tick_source(read_fake_tick);
    reset_qoe_class_thresholds();
  }
  ~DescriptorTest() override { set_tick_source(nullptr); }

  testing_support::StartedLog log_{0};
};

TEST_F(DescriptorTest, PeerIdAndDefaults) {
  OverlayPeerRecord r;
  r.address = Ip("10.20.0.1");
  OverlayPeerDescriptor opd(r);
  EXPECT_EQ(std::string(opd.peer_id.c_str()), "UFQDN/10.20.0.1@tarn.local");
  EXPECT_EQ(opd.handle, -1);
  EXPECT_EQ(opd.peer_port, 4500u);
  EXPECT_EQ(opd.handler_list.size(), 5);
  OverlayDescriptor od(PathSetup(7));
  EXPECT_EQ(od.tx_sequence, 1u);
  EXPECT_EQ(od.peer_mtu, 1400u);
  EXPECT_EQ(od.own_version, 1);
  EXPECT_EQ(od.connection_count, 1);
  EXPECT_EQ(od.last_rx_time.load(), 1000000u);
  EXPECT_NE(log_.text().find("OD create ip local:198.51.100.10 remote :192.0.2.1 od : 7 ohver:1 "
                             "ohv initiator 0"),
            std::string::npos);
}

TEST_F(DescriptorTest, PathTableSharesAPathIdAndCountsItsConnections) {
  OstrelOverlay overlay;
  auto first = std::make_shared<OverlayDescriptor>(PathSetup(5));
  EXPECT_EQ(overlay.insert_path(first), first);
  auto again = std::make_shared<OverlayDescriptor>(PathSetup(5));
  EXPECT_EQ(overlay.insert_path(again), first);
  EXPECT_EQ(first->connection_count, 2);
  EXPECT_EQ(overlay.erase_path(5), nullptr);
  EXPECT_EQ(first->connection_count, 1);
  EXPECT_EQ(overlay.find_path(5), first);
  EXPECT_EQ(overlay.erase_path(5), first);
  EXPECT_EQ(overlay.find_path(5), nullptr);
  EXPECT_EQ(overlay.erase_path(5), nullptr);
}

TEST_F(DescriptorTest, WanLinksFollowPathState) {
  OverlayPeerRecord r;
  r.address = Ip("10.20.0.1");
  OverlayPeerDescriptor opd(r);
  OverlayDescriptor a(PathSetup(1)), b(PathSetup(2)), c(PathSetup(3, "192.0.2.9", 444));
  opd.handle_wanlinks_state_change(a, true);
  log_.fresh();
  opd.handle_wanlinks_state_change(b, true);
  const std::string line = log_.fresh();
  EXPECT_NE(line.find("OPD(10.20.0.1): adding remote path to WAN Link IPv4=192.0.2.1 port=443"),
            std::string::npos)
      << line;
  ASSERT_EQ(opd.remote_links.size(), 1);
  ASSERT_EQ(opd.remote_links[0].path_ids.size(), 2);
  EXPECT_EQ(opd.remote_links[0].path_ids[0], 2u);  // newest first
  EXPECT_EQ(opd.remote_links[0].path_ids[1], 1u);
  ASSERT_EQ(opd.local_links.size(), 1);
  EXPECT_EQ(opd.local_links[0].port, 4500);
  opd.handle_wanlinks_state_change(c, true);
  ASSERT_EQ(opd.remote_links.size(), 2);
  EXPECT_EQ(opd.remote_links[0].address, Ip("192.0.2.9"));  // new link at the front

  // A link carrying one path goes whatever id the delete names.
  opd.find_and_del_wanlink(opd.remote_links, Ip("192.0.2.9"), 444, 99, "remote");
  ASSERT_EQ(opd.remote_links.size(), 1);
  // A link carrying two keeps itself and loses the id.
  opd.handle_wanlinks_state_change(a, false);
  ASSERT_EQ(opd.remote_links.size(), 1);
  ASSERT_EQ(opd.remote_links[0].path_ids.size(), 1);
  EXPECT_EQ(opd.remote_links[0].path_ids[0], 2u);
  // Unknown links are a logged no-op.
  opd.find_and_del_wanlink(opd.remote_links, Ip("203.0.113.1"), 1, 1, "remote");
  EXPECT_EQ(opd.remote_links.size(), 1);

  opd.paths.push_back(std::make_shared<OverlayDescriptor>(PathSetup(8)));
  EXPECT_FALSE(opd.is_endpt_in_sync());
  opd.paths[0]->remote_path_id = 4;
  EXPECT_TRUE(opd.is_endpt_in_sync());
  EXPECT_EQ(opd.remove_od(9), -1);
  EXPECT_EQ(opd.remove_od(8), 0);
  EXPECT_TRUE(opd.paths.empty());
}

TEST_F(DescriptorTest, ResponderCompletesOnItsSecondResponse) {
  OverlayDescriptor od(PathSetup(1));
  od.peer_version = 1;
  od.update_ohv_on_build_probe_req();  // nothing on a responder
  EXPECT_EQ(od.version_state, OHV_INIT);
  od.update_ohv_on_build_probe_res();
  EXPECT_EQ(od.version_state, OHV_VERSIONS_EXCHANGED);
  od.update_ohv_on_build_probe_res();
  EXPECT_EQ(od.version_state, OHV_COMPLETED);
  EXPECT_TRUE(od.negotiated);
}

TEST_F(DescriptorTest, InitiatorCompletesOnlyWithAProbeConsumedBetweenRequests) {
  OverlayPathSetup s = PathSetup(1);
  s.initiator = true;
  OverlayDescriptor od(s);
  od.peer_version = 1;
  od.update_ohv_on_build_probe_req();
  EXPECT_EQ(od.version_state, OHV_INITIATED);
  od.update_ohv_on_build_probe_req();
  EXPECT_EQ(od.version_state, OHV_INITIATED);
  od.update_ohv_on_build_probe_res();  // nothing on an initiator
  od.update_ohv_on_consume_probe();
  EXPECT_EQ(od.version_state, OHV_VERSIONS_EXCHANGED);
  od.update_ohv_on_build_probe_req();
  EXPECT_EQ(od.version_state, OHV_COMPLETED);
  EXPECT_TRUE(od.negotiated);
}

TEST_F(DescriptorTest, PeerVersionZeroLowersTheOwnVersion) {
  OverlayDescriptor responder(PathSetup(1));
  responder.peer_version = 0;
  responder.update_ohv_on_build_probe_res();
  EXPECT_EQ(responder.own_version, 0);
  OverlayPathSetup s = PathSetup(2);
  s.initiator = true;
  OverlayDescriptor initiator(s);
  initiator.update_ohv_on_build_probe_req();
  initiator.peer_version = 0;
  initiator.update_ohv_on_consume_probe();
  EXPECT_EQ(initiator.own_version, 0);
  // A higher peer version never raises it.
  OverlayDescriptor low(PathSetup(3));
  low.peer_version = 5;
  low.update_ohv_on_build_probe_res();
  EXPECT_EQ(low.own_version, 1);
}

TEST_F(DescriptorTest, LossWindowResults) {
  // 100 expected with one lost: the delayed window closes at its packet
  // limit with 1.0.
  OverlayDescriptor od(PathSetup(1));
  for (uint32_t s = 1; s <= 100; ++s) {
    if (s == 50) continue;
    od.update_rx_loss(s);
  }
  EXPECT_DOUBLE_EQ(od.delayed_rx_loss, 1.0);

  // 40 expected (below the minimum of 50) closing on time: 0 is pushed.
  OverlayDescriptor few(PathSetup(2));
  for (uint32_t s = 1; s <= 40; ++s) {
    if (s == 20) continue;
    few.update_rx_loss(s);
  }
  fake_tick += 10000;
  few.update_rx_loss(0xffffffff);
  EXPECT_EQ(few.delayed_history.count(), 1);
  EXPECT_DOUBLE_EQ(few.delayed_rx_loss, 0.0);
}

TEST_F(DescriptorTest, QoeStatesMoveOneClassPerCall) {
  OverlayDescriptor od(PathSetup(1));
  EXPECT_TRUE(od.update_qoe_states(0.3));  // equal to caution counts as caution
  EXPECT_EQ(od.qoe_states[0], 1u);
  EXPECT_FALSE(od.update_qoe_states(0.3));

  OverlayDescriptor bad(PathSetup(2));
  for (int c = 0; c < 4; ++c) {
    EXPECT_TRUE(bad.update_qoe_states(3.0)) << c;
    EXPECT_EQ(bad.qoe_states[c], 2u);
    if (c + 1 < 4) {
      EXPECT_EQ(bad.qoe_states[c + 1], 0u);
    }
  }
  EXPECT_FALSE(bad.update_qoe_states(3.0));
}

TEST_F(DescriptorTest, PendingQoeClassesFollowOnCallsWithoutSequence) {
  // Three lost of 100 closes the delayed window with 3.0: voice moves at
  // once, the other classes one per later call, then nothing is left.
  OverlayDescriptor od(PathSetup(1));
  bool changed = false;
  for (uint32_t s = 1; s <= 100 && !changed; ++s) {
    if (s == 10 || s == 20 || s == 30) continue;
    changed = od.update_rx_loss(s);
  }
  EXPECT_TRUE(changed);
  EXPECT_FALSE(od.rx_loss_idle(fake_tick));
  for (int c = 1; c < 4; ++c) EXPECT_TRUE(od.update_rx_loss(0xffffffff)) << c;
  EXPECT_FALSE(od.update_rx_loss(0xffffffff));
  EXPECT_TRUE(od.rx_loss_idle(fake_tick));
  for (uint32_t state : od.qoe_states) EXPECT_EQ(state, 2u);
  // Time passing closes the windows again.
  EXPECT_FALSE(od.rx_loss_idle(fake_tick + 300));
}

TEST_F(DescriptorTest, LossHistoryRingDropsOldestFromTheSum) {
  LossHistory h(3);
  EXPECT_EQ(h.average(), 0.0);
  h.push(3);
  h.push(0);
  h.push(0);
  EXPECT_DOUBLE_EQ(h.average(), 1.0);
  h.push(0);
  EXPECT_DOUBLE_EQ(h.average(), 0.0);
  h.push(0.02);
  EXPECT_DOUBLE_EQ(h.average(), 0.0);  // below 0.01 reads as 0
}

struct WindowCase {
  const char* name;
  uint32_t highest;
  uint32_t marked;  // also marked before the check (0: none)
  uint32_t s;
  bool accepted;
};

TEST(SequenceWindowTest, Checks) {
  const WindowCase cases[] = {
      {"zero", 10, 0, 0, false},
      {"above", 10, 0, 11, true},
      {"highest itself", 10, 0, 10, false},
      {"1000 below, bit clear", 5000, 0, 4000, true},
      {"1000 below, marked", 5000, 4000, 4000, false},
      {"2000 below", 5000, 0, 3000, false},
      {"window edge", 5000, 0, 5000 - 1024, false},  // shares the highest's bit
      {"near 2^32 inside", 0xfffffff0, 0, 0xffffff00, true},
      {"near 2^32 too old", 0xfffffff0, 0, 0xfffff000, false},
  };
  for (const WindowCase& c : cases) {
    SequenceWindow w;
    w.mark(c.highest);
    if (c.marked != 0) w.mark(c.marked);
    EXPECT_EQ(w.check(c.s), c.accepted) << c.name;
  }
  SequenceWindow off;
  off.size = 0;
  EXPECT_TRUE(off.check(0));
}

TEST(SequenceWindowTest, HighestAtTheLimitResets) {
  SequenceWindow w;
  w.mark(0xffffffff);
  w.reset_if_exhausted();
  EXPECT_EQ(w.highest, 0u);
  EXPECT_TRUE(w.check(1));
  // A jump clears the bits it passes, so a stale bit does not reject a new
  // sequence that falls into the same slot.
  SequenceWindow j;
  j.mark(100);
  j.mark(100 + 1025);
  EXPECT_TRUE(j.check(100 + 1024));
  EXPECT_FALSE(j.check(100 + 1025));
}

}  // namespace
