#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_test_support.h"
#include "ostgraphsvc/overlaymsg/overlay_msg_type.h"
#include "tools/testhub/codec/codec.h"

namespace {

using overlay_test::Count;
using overlay_test::Ip;
using testing_support::BuildIPv4;
using testing_support::MakePacket;
using testing_support::PacketSpec;

constexpr uint32_t kPath = 0x1234;

std::vector<uint8_t> Inner(size_t payload = 20) {
  PacketSpec shape;
  shape.protocol = 17;
  shape.src = "10.10.0.1";
  shape.dst = "10.20.0.1";
  shape.payload = payload;
  return BuildIPv4(shape);
}

std::vector<uint8_t> Bytes(const Packet* p) {
  return std::vector<uint8_t>(p->data(), p->data() + p->length());
}

// What the test hub's codec writes for `inner` with these parameters.
std::vector<uint8_t> Golden(const std::vector<uint8_t>& inner, testhub::EncapParams params,
                            uint8_t tos) {
  std::vector<uint8_t> buf(testhub::kMaxEncapOverhead + inner.size());
  std::memcpy(buf.data() + testhub::kMaxEncapOverhead, inner.data(), inner.size());
  size_t total = 0;
  uint8_t* start =
      testhub::encapsulate(buf.data() + testhub::kMaxEncapOverhead, inner.size(), params, &total);
  testhub::write_ipv4_header(start, static_cast<uint16_t>(total), params.id, start[9], params.src,
                             params.dst, tos);
  return std::vector<uint8_t>(start, start + total);
}

class DataplaneTest : public overlay_test::OverlayFixture {
 protected:
  void SetUp() override { ASSERT_TRUE(Load(overlay_test::kTwoHubs)) << h_.messages(); }

  // Encapsulates `inner` to 10.20.0.1 on `path`; the packet out of output 0
  // or null.
  Packet* Encap(const std::vector<uint8_t>& inner, uint32_t path = kPath, uint8_t dscp = 0,
                bool control = false, uint8_t msg_type = 0) {
    Packet* p = Packet::make(64, inner.data(), static_cast<uint32_t>(inner.size()));
    p->set_dst_ip_anno(Ip("10.20.0.1"));
    p->set_overlay_path_anno(path);
    p->set_dscp_anno(dscp);
    p->set_hop_count_anno(2);
    p->set_overlay_class_anno(0x105);  // low byte 5
    if (control) p->set_overlay_packet_flags_anno(kOverlayPacketControl);
    p->set_overlay_msg_type_anno(msg_type);
    ov_->push(0, p);
    return h_.Take("sink", 0);
  }

  // Hands `bytes` to input 1 as received on `path`; the output port it left
  // on (-1: dropped), the packet in *out when asked for.
  int Decap(const std::vector<uint8_t>& bytes, uint32_t path = kPath, Packet** out = nullptr) {
    Packet* p = MakePacket(bytes, true);
    p->set_overlay_path_anno(path);
    ov_->push(1, p);
    for (int port = 0; port < 4; ++port) {
      Packet* q = h_.Take("sink", port);
      if (q == nullptr) continue;
      if (out != nullptr) {
        *out = q;
      } else {
        q->release();
      }
      return port;
    }
    return -1;
  }

  std::vector<uint8_t> HubPacket(const std::vector<uint8_t>& inner, testhub::HeaderKind kind,
                                 uint32_t sequence, uint8_t version = 1, bool control = false) {
    testhub::EncapParams params;
    params.kind = kind;
    params.version = version;
    params.sequence = sequence;
    params.control = control;
    params.src = Ip("10.20.0.1").addr();
    params.dst = Ip("10.10.0.1").addr();
    return Golden(inner, params, 0);
  }

  std::string Drops() { return log_.fresh(); }
};

TEST_F(DataplaneTest, GoldenHeadersAsTheHubReadsThem) {
  const std::vector<uint8_t> inner = Inner();
  testhub::EncapParams params;
  params.src = Ip("10.10.0.1").addr();
  params.dst = Ip("10.20.0.1").addr();
  params.hop = 2;
  params.klass = 5;

  // Before negotiation: legacy header (version field 1), no sequence.
  auto od = AddPath("10.20.0.1", kPath, OHV_INIT);
  Packet* p = Encap(inner, kPath, 0, true, OVERLAY_LATENCY_PROBE_REQ);
  ASSERT_NE(p, nullptr) << Drops();
  params.kind = testhub::HeaderKind::kLegacy;
  params.control = true;
  params.id = 0;
  EXPECT_EQ(Bytes(p), Golden(inner, params, 0));
  EXPECT_EQ(p->msgtype(), 3);
  EXPECT_EQ(p->inner_length_anno(), inner.size());
  EXPECT_EQ(p->dst_ip_anno(), Ip("192.0.2.1"));
  EXPECT_EQ(p->peer_wan_ip_anno(), Ip("192.0.2.1"));
  EXPECT_EQ(p->peer_local_ip_anno(), Ip("198.51.100.10"));
  EXPECT_EQ(p->overlay_flags_anno() & kOverlayFlagEncapsulated, kOverlayFlagEncapsulated);
  EXPECT_EQ(p->mtu_anno(), 1500);
  testhub::Decoded d;
  ASSERT_EQ(testhub::decode_packet(p->data(), p->length(), &d), testhub::Drop::kNone);
  EXPECT_EQ(d.header.kind, testhub::HeaderKind::kLegacy);
  EXPECT_TRUE(d.header.control);
  EXPECT_EQ(od->tx_sequence, 1u);
  EXPECT_EQ(od->tx_control_bytes, inner.size());
  p->release();

  // Negotiated: 16-byte data header with sequence 1, DSCP 46 as TOS 184.
  od->version_state = OHV_COMPLETED;
  p = Encap(inner, kPath, 46);
  ASSERT_NE(p, nullptr) << Drops();
  params.kind = testhub::HeaderKind::kFull;
  params.control = false;
  params.version = 1;
  params.sequence = 1;
  params.id = 1;
  EXPECT_EQ(Bytes(p), Golden(inner, params, 184));
  ASSERT_EQ(testhub::decode_packet(p->data(), p->length(), &d), testhub::Drop::kNone);
  EXPECT_EQ(d.header.kind, testhub::HeaderKind::kFull);
  EXPECT_EQ(d.header.sequence, 1u);
  EXPECT_EQ(d.header.hop, 3);
  EXPECT_EQ(std::vector<uint8_t>(d.inner, d.inner + d.inner_length), inner);
  EXPECT_EQ(p->msgtype(), 0);
  p->release();

  // DSCP 0 and 255 mean none; the sequence goes on.
  for (uint8_t dscp : {uint8_t{0}, uint8_t{255}}) {
    p = Encap(inner, kPath, dscp);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->data()[1], 0);
    p->release();
  }
  EXPECT_EQ(od->tx_sequence, 4u);
  EXPECT_EQ(od->tx_packets, 4u);

  // 0 is never sent: after 0xffffffff comes 1.
  od->tx_sequence = 0xffffffff;
  for (uint32_t want : {0xffffffffu, 1u}) {
    p = Encap(inner);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(testhub::decode_packet(p->data(), p->length(), &d), testhub::Drop::kNone);
    EXPECT_EQ(d.header.sequence, want);
    p->release();
  }
}

TEST_F(DataplaneTest, HubPacketsDecapsulate) {
  auto od = AddPath("10.20.0.1", kPath, OHV_INIT);
  const std::vector<uint8_t> inner = Inner(30);
  Packet* out = nullptr;
  ASSERT_EQ(Decap(HubPacket(inner, testhub::HeaderKind::kLegacy, 0), kPath, &out), 3) << Drops();
  EXPECT_EQ(Bytes(out), inner);
  EXPECT_EQ(out->dst_ip_anno(), Ip("10.20.0.1"));
  EXPECT_EQ(out->decap_mark_anno(), kDecapMark);
  EXPECT_EQ(out->decap_value_anno(), Ip("10.20.0.1").addr());
  EXPECT_EQ(out->hop_count_anno(), 1);
  EXPECT_EQ(out->overlay_flags_anno() & kOverlayFlagDecapsulated, kOverlayFlagDecapsulated);
  EXPECT_EQ(out->network_header(), out->data());
  // MTU: the peer's MTU less 52 on a DTLS path.
  EXPECT_EQ(out->mtu_anno(), 1300);  // the peer's MTU is not known yet
  out->release();
  EXPECT_EQ(od->peer_version, 1);
  EXPECT_EQ(od->rx_packets, 1u);
  EXPECT_EQ(od->rx_bytes, inner.size());

  ov_->get_opd(Ip("10.20.0.1"))->mtu = 1400;
  ASSERT_EQ(Decap(HubPacket(inner, testhub::HeaderKind::kFull, 1), kPath, &out), 3);
  EXPECT_EQ(out->mtu_anno(), 1400 - 52);
  EXPECT_EQ(out->overlay_seq_anno(), 1u);
  EXPECT_EQ(Bytes(out), inner);
  out->release();

  // A control message leaves on output 1.
  ASSERT_EQ(Decap(HubPacket(inner, testhub::HeaderKind::kFull, 2, 1, true)), 1);
  EXPECT_EQ(od->rx_control_bytes, inner.size());
}

TEST_F(DataplaneTest, SequenceWindowOnReceive) {
  auto od = AddPath("10.20.0.1", kPath, OHV_COMPLETED);
  const std::vector<uint8_t> inner = Inner();
  auto full = [&](uint32_t s) { return Decap(HubPacket(inner, testhub::HeaderKind::kFull, s)); };
  EXPECT_EQ(full(0xffffffff), 3);
  EXPECT_EQ(od->rx_window.highest, 0u);  // reset: the sender's next is 1
  EXPECT_EQ(full(1), 3);
  EXPECT_EQ(full(1), -1);
  EXPECT_NE(Drops().find("PKTLOG:duplicate pkt"), std::string::npos);
  EXPECT_EQ(full(5000), 3);
  EXPECT_EQ(full(3000), -1);  // 2000 below
  EXPECT_EQ(full(4000), 3);   // 1000 below, bit clear
  EXPECT_EQ(full(0), 3);      // no sequence: no check
  od->rx_window.highest = 0xfffffff0;
  EXPECT_EQ(full(0xffffff00), 3);
}

TEST_F(DataplaneTest, EveryDropReason) {
  auto od = AddPath("10.20.0.1", kPath, OHV_COMPLETED);
  auto zero = AddPath("10.20.0.2", 0, OHV_COMPLETED);
  const std::vector<uint8_t> inner = Inner();
  Drops();
  auto expect_drop = [&](Packet* out, const char* reason) {
    EXPECT_EQ(out, nullptr) << reason;
    if (out != nullptr) out->release();
    const std::string log = Drops();
    EXPECT_NE(log.find(std::string("PKTLOG:") + reason), std::string::npos) << reason << log;
  };
  // Encapsulation.
  {
    Packet* p = Packet::make(64, inner.data(), static_cast<uint32_t>(inner.size()));
    p->set_dst_ip_anno(Ip("10.99.0.1"));
    ov_->push(0, p);
    expect_drop(h_.Take("sink", 0), "OPD is NULL");
    p = Packet::make(64, inner.data(), static_cast<uint32_t>(inner.size()));
    p->set_dst_ip_anno(Ip("10.20.0.2"));  // its only path has id 0
    ov_->push(0, p);
    expect_drop(h_.Take("sink", 0), "NULL_PATHID");
  }
  expect_drop(Encap(inner, 0x999), "NULL_OD");
  od->version_state = OHV_VERSIONS_EXCHANGED;
  expect_drop(Encap(inner), "version negotiation not completed");
  od->version_state = OHV_COMPLETED;
  {
    Packet* p = Packet::make(64, inner.data(), static_cast<uint32_t>(inner.size()));
    p->set_overlay_path_anno(kPath);
    p->set_overlay_flags_anno(kOverlayFlagEncapsulated | 0x3);
    ov_->push(0, p);
    expect_drop(h_.Take("sink", 0), "encap loop");
  }
  const uint64_t tx_before = od->tx_packets;
  {
    // 65,500 bytes do not fit behind 36 header bytes; legacy allows 65,501.
    Packet* p = Packet::make(64, nullptr, 65500);
    p->set_overlay_path_anno(kPath);
    ov_->push(0, p);
    expect_drop(h_.Take("sink", 0), "packet too big");
    od->version_state = OHV_INIT;
    od->initiator = true;
    p = Packet::make(64, nullptr, 65502);
    p->set_overlay_path_anno(kPath);
    p->set_overlay_msg_type_anno(OVERLAY_LATENCY_PROBE_REQ);
    ov_->push(0, p);
    expect_drop(h_.Take("sink", 0), "packet too big");
    p = Packet::make(64, nullptr, 65501);
    std::memset(p->data(), 0, 20);
    p->set_overlay_path_anno(kPath);
    p->set_overlay_msg_type_anno(OVERLAY_LATENCY_PROBE_REQ);
    ov_->push(0, p);
    Packet* fits = h_.Take("sink", 0);
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(fits->length(), 65535u);
    fits->release();
    od->version_state = OHV_COMPLETED;
  }
  EXPECT_EQ(od->tx_packets, tx_before + 1);

  // Decapsulation.
  std::vector<uint8_t> good = HubPacket(inner, testhub::HeaderKind::kFull, 7);
  std::vector<uint8_t> bad_proto = good;
  bad_proto[9] = 6;
  EXPECT_EQ(Decap(bad_proto), -1);
  expect_drop(nullptr, "BAD_PEER");
  EXPECT_EQ(Decap(good, 0x777), -1);
  expect_drop(nullptr, "Overlay OverlayDescriptor not found for peer");
  EXPECT_EQ(Decap(std::vector<uint8_t>(good.begin(), good.begin() + 20)), -1);
  expect_drop(nullptr, "Packet with empty data");
  od->version_state = OHV_VERSIONS_EXCHANGED;
  EXPECT_EQ(Decap(HubPacket(inner, testhub::HeaderKind::kFull, 8, 2)), -1);
  expect_drop(nullptr, "oh version not completed or od null");
  od->version_state = OHV_COMPLETED;
  EXPECT_EQ(Decap(good), 3);
  EXPECT_EQ(Decap(good), -1);
  expect_drop(nullptr, "duplicate pkt");
  // Short packets: outer header, UDP, either overlay header, inner data.
  const std::vector<uint8_t> legacy = HubPacket(inner, testhub::HeaderKind::kLegacy, 0);
  for (const std::vector<uint8_t>& cut :
       {std::vector<uint8_t>(good.begin(), good.begin() + 19),
        std::vector<uint8_t>(legacy.begin(), legacy.begin() + 27),
        std::vector<uint8_t>(good.begin(), good.begin() + 35),
        std::vector<uint8_t>(legacy.begin(), legacy.begin() + 33),
        std::vector<uint8_t>(good.begin(), good.begin() + 36 + 19)}) {
    EXPECT_EQ(Decap(cut), -1) << cut.size();
    expect_drop(nullptr, "short packet");
  }
  EXPECT_EQ(od->rx_packets, 1u);
  (void)zero;
}

TEST_F(DataplaneTest, TunnelDownLoggedOnceAndMtuWithoutPeer) {
  std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
  // 10.99.0.1 is reached through 10.20.0.2, which has no path.
  ov_->nht().add_nexthop(Ip("10.99.0.1"), Ip("10.20.0.2"), 10, false, ov_);
  Drops();
  for (int i = 0; i < 2; ++i) {
    Packet* p = Packet::make(64, Inner().data(), 40);
    p->set_dst_ip_anno(Ip("10.99.0.1"));
    ov_->push(0, p);
    EXPECT_EQ(h_.Take("sink", 0), nullptr);
  }
  const std::string log = Drops();
  EXPECT_EQ(Count(log, "Tunnel DOWN with peer UFQDN/10.20.0.2@tarn.local"), 1) << log;
  EXPECT_EQ(Count(log, "PKTLOG:OPD is NULL"), 2);

  // Input 2: annotations only.
  AddPath("10.20.0.1", kPath, OHV_COMPLETED, 1, 2);
  ov_->get_opd(Ip("10.20.0.1"))->mtu = 1400;
  Packet* p = Packet::make(64, Inner().data(), 40);
  p->set_dst_ip_anno(Ip("10.20.0.1"));
  p->set_overlay_path_anno(kPath);
  p->set_snat_pattern_anno(9);
  p->set_overlay_packet_flags_anno(kOverlayPacketControl);
  ov_->push(2, p);
  Packet* out = h_.Take("sink", 2);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->snat_pattern_anno(), 0);
  EXPECT_EQ(out->mtu_anno(), 1400 - 52);
  EXPECT_EQ(out->msgtype(), 3);
  EXPECT_EQ(out->peer_wan_ip_anno(), Ip("10.20.0.1"));
  EXPECT_EQ(out->overlay_path_anno(), kPath);  // kept
  out->release();
  // Input 3 passes through.
  ov_->push(3, Packet::make(0, nullptr, 10));
  out = h_.Take("sink", 3);
  ASSERT_NE(out, nullptr);
  out->release();
}

TEST_F(DataplaneTest, ShortInputsOnReceiveAreDroppedCleanly) {
  AddPath("10.20.0.1", kPath, OHV_COMPLETED);
  const std::vector<uint8_t> inner = Inner(4);  // 32 bytes
  const std::vector<uint8_t> full = HubPacket(inner, testhub::HeaderKind::kFull, 0);
  const std::vector<uint8_t> legacy = HubPacket(inner, testhub::HeaderKind::kLegacy, 0);
  for (const std::vector<uint8_t>* shape : {&full, &legacy}) {
    for (size_t n = 0; n <= 60; ++n) {
      std::vector<uint8_t> bytes(shape->begin(), shape->begin() + std::min(n, shape->size()));
      bytes.resize(n, 0xa5);
      const int port = Decap(bytes);
      const size_t headers = shape == &full ? 36 : 34;
      if (n < headers + 20) {
        EXPECT_EQ(port, -1) << n;
      } else {
        EXPECT_EQ(port, 3) << n;
      }
    }
  }
}

}  // namespace
