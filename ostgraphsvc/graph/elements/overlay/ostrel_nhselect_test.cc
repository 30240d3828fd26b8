// Path choice per flow for multi-link peers, behind the flow element "agg":
// agg makes a packet's flow as the packet passes it, the selector then finds
// that flow and keeps its choice in it.
#include "ostgraphsvc/graph/elements/overlay/ostrel_nhselect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "graph/confparse.h"
#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/analysis/aggregate_ip_flows.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_nhselect_test_support.h"

namespace {

using overlay_test::Captured;
using overlay_test::Count;
using overlay_test::Ip;
using testing_support::BuildIPv4;
using testing_support::MakePacket;
using testing_support::PacketSpec;
using Flow = AggregateIPFlows::StatFlowInfo;

constexpr char kPeer[] = "10.20.0.1";

struct PathSpec {
  uint32_t id;
  const char* local_wan;
  uint32_t metric;
  uint32_t if_index;
  const char* protocol;
};

// One flow per source port, to one destination.
PacketSpec FlowShape(uint16_t sport) {
  PacketSpec shape;
  shape.sport = sport;
  shape.dst = "100.64.8.1";
  return shape;
}

class NHSelectTest : public overlay_test::FlowLegFixture {
 protected:
  void SetUp() override { ASSERT_TRUE(LoadFlowLeg(overlay_test::kTwoHubs)) << h_.messages(); }

  OverlayPeerDescriptor* Peer() { return ov_->get_opd(Ip(kPeer)); }

  void SetMode(uint8_t mode) {
    std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
    Peer()->multilink_mode = mode;
  }

  std::shared_ptr<OverlayDescriptor> AddPeerPath(const PathSpec& shape) {
    OverlayPathSetup s;
    s.local_path_id = shape.id;
    s.peer_overlay = Ip(kPeer);
    s.mtu = 1400;
    s.remote_wan = Ip("192.0.2.1");
    s.local_wan = Ip(shape.local_wan);
    s.remote_port = 443;
    s.protocol = std::strcmp(shape.protocol, "TLS") == 0 ? 2 : 1;
    s.protocol_text = shape.protocol;
    s.local_overlay = ov_->own_address();
    s.if_index = shape.if_index;
    s.if_metric = shape.metric;
    auto od = ov_->insert_path(std::make_shared<OverlayDescriptor>(s));
    std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
    Peer()->paths.push_back(od);
    return od;
  }

  void RemovePeerPath(uint32_t id) {
    std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
    Peer()->remove_od(id);
    ov_->erase_path(id);
  }

  // One captured packet of the flow with source port `sport` through agg
  // and the selector; returns its overlay_path_anno as it left.
  uint32_t Send(uint16_t sport, const char* next_hop = kPeer, uint32_t path_anno = 0) {
    Packet* p = Captured(FlowShape(sport), clock_.msec());
    if (next_hop != nullptr) p->set_next_hop_anno(Ip(next_hop));
    p->set_overlay_path_anno(path_anno);
    h_.Push("src", p);
    EXPECT_EQ(h_.Received("sink", 5).size(), 0u) << "refused by agg";
    Packet* out = h_.Take("sink", 0);
    EXPECT_NE(out, nullptr);
    if (out == nullptr) return 0;
    const uint32_t anno = out->overlay_path_anno();
    out->release();
    return anno;
  }

  // The flow record of source port `sport`, null while agg has none.
  Flow* FlowOf(uint16_t sport) {
    Packet* p = MakePacket(BuildIPv4(FlowShape(sport)));
    Flow* f = agg_->find_flow_info(p);
    p->release();
    return f;
  }

  // The flow of `sport`, made by a packet without a next hop (which the
  // selector leaves alone).
  Flow* MadeFlow(uint16_t sport) {
    Send(sport, nullptr);
    Flow* f = FlowOf(sport);
    EXPECT_NE(f, nullptr) << sport;
    return f;
  }

  testing_support::FakeClock clock_{1700000000000};
};

TEST_F(NHSelectTest, ActiveActiveSpreadsNewFlowsInListOrder) {
  SetMode(1);
  AddPeerPath({0xa1, "198.51.100.10", 10, 3, "DTLS"});
  AddPeerPath({0xa2, "203.0.113.10", 10, 4, "TLS"});
  AddPeerPath({0xa3, "192.0.2.77", 10, 5, "DTLS"});
  const uint32_t expected[] = {0xa1, 0xa2, 0xa3, 0xa1, 0xa2, 0xa3};
  for (uint16_t i = 0; i < 6; ++i) EXPECT_EQ(Send(1000 + i), expected[i]) << "flow " << i;
  // Sticky: the flows' next packets stay where they are.
  for (uint16_t i = 0; i < 6; ++i) EXPECT_EQ(Send(1000 + i), expected[i]) << "flow " << i;

  Flow* f = FlowOf(1001);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(agg_->flow_count(), 6u);
  EXPECT_EQ(f->path_id, 0xa2u);
  EXPECT_EQ(f->if_index, 4);
  EXPECT_STREQ(f->encap_type.c_str(), "TLS");
  EXPECT_STREQ(f->tx_if, "203.0.113.10");
  EXPECT_STREQ(f->rx_if, "203.0.113.10");
  EXPECT_EQ(Peer()->rr_counter, 6u);
  EXPECT_EQ(Count(log_.text(), "------------ New active path id:a1 interface id:3"), 2);
}

TEST_F(NHSelectTest, ActiveActiveMovesAFlowOffADownPathEvenOntoTheSameOne) {
  SetMode(1);
  auto p0 = AddPeerPath({0xb1, "198.51.100.10", 10, 3, "DTLS"});
  auto p1 = AddPeerPath({0xb2, "203.0.113.10", 10, 4, "TLS"});
  ASSERT_EQ(Send(2000), 0xb1u);
  ASSERT_EQ(Send(2001), 0xb2u);

  // Path b2 goes down at the far end: the flow takes the path under the
  // counter (b1) and its texts follow.
  p1->remote_up = false;
  EXPECT_EQ(Send(2001), 0xb1u);
  Flow* f = FlowOf(2001);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->if_index, 3);
  EXPECT_STREQ(f->encap_type.c_str(), "DTLS");
  EXPECT_STREQ(f->tx_if, "198.51.100.10");
  EXPECT_NE(log_.text().find("------------ Next active path id:b1 interface id:3"),
            std::string::npos);

  // b1 down locally as well: the counter now points at b2, itself down; it
  // is taken all the same, and the texts are written again.
  p0->local_up = false;
  std::strcpy(f->tx_if, "stale");
  std::strcpy(f->rx_if, "stale");
  EXPECT_EQ(Send(2001), 0xb2u);
  EXPECT_STREQ(f->tx_if, "203.0.113.10");
  EXPECT_STREQ(f->rx_if, "203.0.113.10");
  EXPECT_STREQ(f->encap_type.c_str(), "TLS");
}

TEST_F(NHSelectTest, ActiveStandbyTakesTheFirstLowestMetricAndKeepsAnUpPath) {
  SetMode(2);
  auto p20 = AddPeerPath({0xc1, "198.51.100.10", 20, 3, "DTLS"});
  AddPeerPath({0xc2, "203.0.113.10", 10, 4, "TLS"});
  AddPeerPath({0xc3, "192.0.2.77", 10, 5, "DTLS"});
  for (uint16_t i = 0; i < 4; ++i) EXPECT_EQ(Send(3000 + i), 0xc2u) << "flow " << i;
  EXPECT_EQ(Peer()->rr_counter, 0u);

  // A flow on the metric-20 path stays there while it is up.
  Flow* f = MadeFlow(3100);
  ASSERT_NE(f, nullptr);
  f->path_id = 0xc1;
  EXPECT_EQ(Send(3100), 0xc1u);
  EXPECT_EQ(Send(3100), 0xc1u);
  EXPECT_EQ(log_.text().find("Next Standby"), std::string::npos);

  // Down, it moves to the lowest metric.
  p20->remote_up = false;
  EXPECT_EQ(Send(3100), 0xc2u);
  EXPECT_STREQ(f->tx_if, "203.0.113.10");
  EXPECT_NE(log_.text().find("------------ Next Standby path id c2 metric 10 interface index 4"),
            std::string::npos);
}

TEST_F(NHSelectTest, AFlowWhosePathWasRemovedMovesLikeOneOnADownPath) {
  for (uint8_t mode : {1, 2}) {
    SCOPED_TRACE(mode);
    SetMode(mode);
    AddPeerPath({0xd1, "198.51.100.10", 10, 3, "DTLS"});
    AddPeerPath({0xd2, "203.0.113.10", 20, 4, "TLS"});
    Flow* f = MadeFlow(4000 + mode);
    ASSERT_NE(f, nullptr);
    f->path_id = 0xd1;
    ASSERT_EQ(Send(4000 + mode), 0xd1u);
    RemovePeerPath(0xd1);
    EXPECT_EQ(Send(4000 + mode), 0xd2u);
    EXPECT_STREQ(f->tx_if, "203.0.113.10");
    RemovePeerPath(0xd2);
    // No path left: nothing is chosen and the flow keeps its record.
    EXPECT_EQ(Send(4000 + mode, kPeer, 0x99), 0x99u);
    EXPECT_EQ(f->path_id, 0xd2u);
  }
}

TEST_F(NHSelectTest, AFlowWhoseFirstPacketTheOverlayDroppedGetsThroughOnceTheHeaderIsAgreed) {
  // A flow started before the header version is agreed on its path loses
  // that packet at the overlay; it must not lose its later ones for it.
  SetMode(1);
  auto p0 = AddPeerPath({0xa1, "198.51.100.10", 10, 3, "DTLS"});
  auto p1 = AddPeerPath({0xa2, "203.0.113.10", 10, 4, "TLS"});
  p0->version_state = OHV_INITIATED;
  p1->version_state = OHV_COMPLETED;
  // The selector's output through the overlay's encapsulation; true when
  // the packet came out encapsulated for `wan`.
  auto through_overlay = [&](uint16_t sport, const char* wan) {
    Packet* p = Captured(FlowShape(sport), clock_.msec());
    p->set_next_hop_anno(Ip(kPeer));
    h_.Push("src", p);
    Packet* selected = h_.Take("sink", 0);
    EXPECT_NE(selected, nullptr);
    if (selected == nullptr) return false;
    h_.Push("ovsrc", selected);
    Packet* out = h_.Take("sink", 1);
    if (out == nullptr) return false;
    const bool ok = out->peer_local_ip_anno() == Ip(wan);
    out->release();
    return ok;
  };
  EXPECT_FALSE(through_overlay(1000, "198.51.100.10"));
  EXPECT_TRUE(through_overlay(1001, "203.0.113.10"));
  clock_.advance_msec(1000);
  EXPECT_FALSE(through_overlay(1000, "198.51.100.10"));  // still not agreed
  {
    std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
    p0->version_state = OHV_COMPLETED;
  }
  clock_.advance_msec(1000);
  EXPECT_TRUE(through_overlay(1000, "198.51.100.10"));
  EXPECT_TRUE(through_overlay(1000, "198.51.100.10"));
  EXPECT_TRUE(through_overlay(1001, "203.0.113.10"));
  Flow* f = FlowOf(1000);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->path_id, 0xa1u);
  EXPECT_EQ(Peer()->rr_counter, 2u);
}

TEST_F(NHSelectTest, PacketsThatAreNotForAMultiLinkPeerPassUntouched) {
  AddPeerPath({0xe1, "198.51.100.10", 10, 3, "DTLS"});
  struct Case {
    const char* name;
    uint8_t mode;
    const char* next_hop;
  } cases[] = {
      {"no next hop", 1, nullptr},
      {"single-link peer", 0, kPeer},
      {"unknown peer", 1, "10.99.0.1"},
      {"peer without paths", 2, "10.20.0.2"},
  };
  uint16_t sport = 5000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetMode(c.mode);
    EXPECT_EQ(Send(sport, c.next_hop, 0x77), 0x77u);
    // As agg made it.
    Flow* f = FlowOf(sport);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->path_id, OverlayPeerDescriptor::kNoPath);
    EXPECT_EQ(f->if_index, -1);
    EXPECT_STREQ(f->tx_if, "");
    EXPECT_STREQ(f->rx_if, "LAN");
    EXPECT_TRUE(f->encap_type.empty());
    ++sport;
  }
}

TEST_F(NHSelectTest, APacketWithoutAFlowRecordPassesUntouched) {
  // agg passes packets that are neither captured nor decapsulated without
  // making a flow; the selector's lookup makes none either.
  SetMode(1);
  AddPeerPath({0xf1, "198.51.100.10", 10, 3, "DTLS"});
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"whole packet", BuildIPv4(FlowShape(7000))},
      {"not a whole IPv4 header", {0x45, 0x00}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Packet* p = MakePacket(c.bytes);
    p->set_next_hop_anno(Ip(kPeer));
    p->set_overlay_path_anno(0x55);
    h_.Push("src", p);
    Packet* out = h_.Take("sink", 0);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->overlay_path_anno(), 0x55u);
    out->release();
  }
  EXPECT_EQ(agg_->flow_count(), 0u);
  EXPECT_EQ(Peer()->rr_counter, 0u);
}

TEST_F(NHSelectTest, InterfaceTextsAreCutAndTerminated) {
  // A dotted quad always fits; the field is still written with its NUL.
  SetMode(1);
  AddPeerPath({0xf2, "255.255.255.255", 10, 3, "DTLS"});
  Flow* f = MadeFlow(6000);
  ASSERT_NE(f, nullptr);
  std::memset(f->tx_if, 'x', sizeof f->tx_if);
  std::memset(f->rx_if, 'x', sizeof f->rx_if);
  EXPECT_EQ(Send(6000), 0xf2u);
  EXPECT_STREQ(f->tx_if, "255.255.255.255");
  EXPECT_STREQ(f->rx_if, "255.255.255.255");
}

// ---- Initialize messages

class NHSelectInitTest : public ::testing::Test {
 protected:
  testing_support::StartedLog log_{0};
  testing_support::GraphHarness h_;
  RecordingOverlayTransport transport_;
};

TEST_F(NHSelectInitTest, MissingOrMistypedElementsAreReportedAndInitializeSucceeds) {
  set_overlay_transport(&transport_);
  set_config_directory((log_.root().path() + "/").c_str());
  const std::string conf = log_.root().path() + "/overlay.json";
  std::ofstream(conf) << overlay_test::kTwoHubs;
  std::ofstream(log_.root().path() + "/policy.json") << overlay_test::kEmptyPolicy;
  // The flow element cannot be configured without an "ostpolicy" of its
  // own, so the selector misses the policy element only where it misses the
  // flow element too, or where a nearer "ostpolicy" of another class (in
  // the selector's compound "leg/") hides the flow element's.
  const std::string agg = std::string(overlay_test::kFlowNeighbours) +
                          "agg :: AggregateIPFlows; TestSource -> agg -> TestSink; ";
  const std::string pol = "rt :: TestSink; ostpolicy :: OstPolicy(CONF policy.json); ";
  const std::string ovl = "ostOverlay :: OstrelOverlay(CONF " + conf +
                          "); TestSource -> ostOverlay; ostOverlay[0] -> TestSink; "
                          "ostOverlay[1] -> TestSink; ostOverlay[2] -> TestSink; "
                          "ostOverlay[3] -> TestSink; ";
  struct Case {
    std::string graph;
    std::string selector;
    std::vector<std::string> messages;
    bool selecting;
  } cases[] = {
      {agg + ovl, "nhs", {}, true},
      {pol + ovl, "nhs", {"AggregatorIP element not found-1"}, false},
      {"agg :: TestSink; " + pol + ovl, "nhs", {"agg element not found-2"}, false},
      {ovl, "nhs", {"AggregatorIP element not found-1", "ostpolicy element not found-1"}, false},
      {agg + "leg/ostpolicy :: TestSink; " + ovl,
       "leg/nhs",
       {"ostpoicy element not found-2"},
       true},
      {agg, "nhs", {"ostOverlay element not found"}, false},
      {agg + "ostOverlay :: TestSink; TestSource -> ostOverlay; ",
       "nhs",
       {"ostOverlay element not found"},
       false},
  };
  const char* all[] = {"AggregatorIP element not found-1", "agg element not found-2",
                       "ostpolicy element not found-1", "ostpoicy element not found-2",
                       "ostOverlay element not found"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.graph);
    ASSERT_TRUE(h_.Load(c.graph + "src :: TestSource; sink :: TestSink; src -> " + c.selector +
                        " :: OstrelNHSelect(ANY THING) -> sink;"))
        << h_.messages();
    for (const char* m : all) {
      const bool expected =
          std::find(c.messages.begin(), c.messages.end(), std::string(m)) != c.messages.end();
      EXPECT_EQ(Count(h_.messages(), m), expected ? 1 : 0) << m << "\n" << h_.messages();
    }
    auto* nhs = static_cast<OstrelNHSelect*>(h_.Find(c.selector));
    ASSERT_NE(nhs, nullptr);
    EXPECT_EQ(nhs->flows() != nullptr && nhs->overlay() != nullptr, c.selecting);
    // Packets pass either way.
    Packet* p = MakePacket(BuildIPv4(PacketSpec{}));
    p->set_next_hop_anno(Ip(kPeer));
    h_.Push("src", p);
    EXPECT_EQ(h_.Count("sink"), 1u);
    if (Packet* out = h_.Take("sink", 0)) out->release();
  }
  set_overlay_transport(nullptr);
  set_config_directory(nullptr);
}

}  // namespace
