// Control packets: how one is made, the headers in front of it, and reading
// the message back out of what a peer sent.
#include "ostgraphsvc/overlaymsg/control_packet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "graph/ipaddress.h"
#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/ip/checksum.h"
#include "overlaystatemsg.pb.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const Packet* p) { return Bytes(p->data(), p->end_data()); }

// `b` in a packet whose buffer ends where its data ends.
Packet* exact(const Bytes& b) {
  Packet* p = Packet::make(64, b.data(), static_cast<uint32_t>(b.size()));
  if (p == nullptr) return nullptr;
  return p->make_unshared(0, -static_cast<int>(p->tailroom()));
}

OstrelOverlayStateMsg keepalive_request(uint32_t probe_id) {
  OstrelOverlayStateMsg m;
  m.set_osm_type(OVERLAY_KEEPALIVE_PROBE_REQ);
  m.mutable_osm_probemsg()->set_seqnum(probe_id);
  return m;
}

// A user-authentication message of exactly `size` bytes on the wire.
OstrelOverlayStateMsg message_of_size(size_t size) {
  OstrelOverlayStateMsg m;
  m.set_osm_type(OVERLAY_USERAUTH_MSG);
  UserAuthMsg* auth = m.mutable_osm_userauthmsg();
  auth->set_uam_version(1);
  auth->set_uam_jwt(std::string(size, 'j'));
  while (m.ByteSizeLong() > size) auth->mutable_uam_jwt()->pop_back();
  EXPECT_EQ(m.ByteSizeLong(), size);
  return m;
}

TEST(OverlayMsgTypeTest, Names) {
  const struct {
    uint32_t kind;
    const char* name;
  } cases[] = {
      {0, ""},
      {1, "OVERLAY_DATA_MSG"},
      {2, "OVERLAY_STATE_MSG"},
      {3, "OVERLAY_WANLINK_STATE_MSG"},
      {4, "OVERLAY_PATHID_STATE_MSG"},
      {5, "OVERLAY_SYNC_STATE_MSG"},
      {6, "OVERLAY_SILENCE_PROBE_MSG"},
      {7, "OVERLAY_LATENCY_PROBE_REQ"},
      {8, "OVERLAY_LATENCY_PROBE_RES"},
      {9, "OVERLAY_JITTER_PROBE_REQ"},
      {10, "OVERLAY_JITTER_PROBE_RES"},
      {11, "OVERLAY_ROUTE_MSG"},
      {12, "OVERLAY_KEEPALIVE_PROBE_REQ"},
      {13, "OVERLAY_KEEPALIVE_PROBE_RES"},
      {14, "OVERLAY_USERAUTH_MSG"},
      {15, ""},
      {16, ""},
      {17, ""},
      {18, ""},
      {0xFFFFFFFF, ""},
  };
  for (const auto& c : cases) EXPECT_STREQ(overlay_msg_type_name(c.kind), c.name) << c.kind;
}

// A made packet holds just the message behind 192 bytes of headroom, with its
// annotations; the 28-byte prepend stays in the same buffer.
TEST(ControlPacketTest, MadePacketAndPrepend) {
  const struct {
    const char* name;
    OstrelOverlayStateMsg msg;
  } cases[] = {
      {"keepalive request", keepalive_request(5)},
      {"empty message", OstrelOverlayStateMsg()},
      {"longer than a default buffer", message_of_size(3000)},
      {"the largest that fits", message_of_size(kMaxControlMessageLength)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string wire = c.msg.SerializePartialAsString();
    Packet* p = make_control_packet(c.msg, 0xA1B2C3D4, OVERLAY_KEEPALIVE_PROBE_REQ);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->headroom(), kControlPacketHeadroom);
    EXPECT_EQ(std::string(p->data(), p->end_data()), wire);
    EXPECT_EQ(p->overlay_packet_flags_anno(), 0x02);
    EXPECT_EQ(control_packet_category(p), kControlCategoryOnePeer);
    EXPECT_EQ(p->overlay_path_anno(), 0xA1B2C3D4u);
    EXPECT_EQ(p->overlay_msg_type_anno(), OVERLAY_KEEPALIVE_PROBE_REQ);
    EXPECT_FALSE(p->shared());

    const unsigned char* buffer = p->buffer();
    uint16_t id = 0;
    p = prepend_control_headers(p, &id, IPAddress(10, 0, 0, 2), IPAddress(192, 0, 2, 1));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->buffer(), buffer);
    EXPECT_EQ(p->headroom(), kControlPacketHeadroom - kControlHeaderLength);
    EXPECT_EQ(p->length(), wire.size() + kControlHeaderLength);
    EXPECT_EQ(p->network_header(), p->data());
    EXPECT_EQ(p->transport_header(), p->data() + 20);
    EXPECT_EQ(internet_checksum(p->data(), 20), 0);
    const ControlPayload payload = control_packet_payload(p);
    EXPECT_EQ(std::string(payload.data, payload.data + payload.length), wire);
    p->release();
  }
}

TEST(ControlPacketTest, KeepaliveRequestOnTheWire) {
  Packet* p = make_control_packet(keepalive_request(5), 1, OVERLAY_KEEPALIVE_PROBE_REQ);
  ASSERT_NE(p, nullptr);
  uint16_t id = 0;
  p = prepend_control_headers(p, &id, IPAddress(10, 0, 0, 2), IPAddress(192, 0, 2, 1));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(bytes_of(p),
            (Bytes{0x45, 0x00, 0x00, 0x22, 0x00, 0x00, 0x00, 0x00, 0xFA, 0x11, 0xF4, 0xC7,
                   0x0A, 0x00, 0x00, 0x02, 0xC0, 0x00, 0x02, 0x01, 0x1E, 0x61, 0x1E, 0x61,
                   0x00, 0x0E, 0x00, 0x00, 0x08, 0x0C, 0x2A, 0x02, 0x08, 0x05}));
  EXPECT_EQ(id, 1);

  OstrelOverlayStateMsg read;
  EXPECT_TRUE(read_control_message(p, &read));
  EXPECT_EQ(read.osm_type(), 12u);
  EXPECT_EQ(read.osm_probemsg().seqnum(), 5u);
  p->release();
}

TEST(ControlPacketTest, OuterHeader) {
  Packet* p = Packet::make(0, nullptr, 1400);
  ASSERT_NE(p, nullptr);
  uint16_t id = 0xFFFF;
  ASSERT_TRUE(fill_outer_ip_header(p, &id, IPAddress(198, 51, 100, 7), IPAddress(203, 0, 113, 9),
                                   0xB8, 252));
  EXPECT_EQ(id, 0);  // the counter wraps
  Bytes header(p->data(), p->data() + 20);
  EXPECT_EQ(internet_checksum(header.data(), header.size()), 0);
  header[10] = header[11] = 0;
  EXPECT_EQ(header, (Bytes{0x45, 0xB8, 0x05, 0x78, 0xFF, 0xFF, 0x00, 0x00, 0xFA, 0xFC,
                           0x00, 0x00, 198,  51,   100,  7,    203,  0,    113,  9}));
  EXPECT_EQ(p->network_header(), p->data());
  p->release();

  // A length the header cannot hold: nothing written, the counter kept.
  for (uint32_t length : {0u, 19u, 65536u}) {
    SCOPED_TRACE(length);
    p = Packet::make(0, Bytes(length, 0xEE).data(), length);
    ASSERT_NE(p, nullptr);
    id = 7;
    EXPECT_FALSE(fill_outer_ip_header(p, &id, IPAddress(10, 0, 0, 1), IPAddress(10, 0, 0, 2), 0,
                                      kIPProtocolUDP));
    EXPECT_EQ(id, 7);
    EXPECT_EQ(bytes_of(p), Bytes(length, 0xEE));
    p->release();
  }
}

TEST(ControlPacketTest, MessageLongerThanOnePacketIsRefused) {
  EXPECT_EQ(
      make_control_packet(message_of_size(kMaxControlMessageLength + 1), 1, OVERLAY_USERAUTH_MSG),
      nullptr);
  Packet* p = Packet::make(kControlPacketHeadroom, nullptr, kMaxControlMessageLength + 1);
  ASSERT_NE(p, nullptr);
  uint16_t id = 0;
  EXPECT_EQ(prepend_control_headers(p, &id, IPAddress(10, 0, 0, 1), IPAddress(10, 0, 0, 2)),
            nullptr);  // released, as LeakSanitizer checks
  EXPECT_EQ(id, 0);
}

// A received packet: 20 bytes of IPv4, a UDP header whose length field is
// `udp_length`, then `payload` bytes numbered from 1.
Bytes received(uint32_t udp_length, uint32_t payload) {
  Bytes b(28 + payload, 0);
  b[0] = 0x45;
  b[24] = static_cast<uint8_t>(udp_length >> 8);
  b[25] = static_cast<uint8_t>(udp_length);
  for (uint32_t i = 0; i < payload; ++i) b[28 + i] = static_cast<uint8_t>(i + 1);
  return b;
}

TEST(ControlPacketTest, PayloadOfAReceivedPacket) {
  const struct {
    const char* name;
    Bytes packet;
    uint32_t length;
  } cases[] = {
      {"UDP length n + 8 with more bytes behind", received(8 + 6, 20), 6},
      {"UDP length to the packet's end", received(8 + 20, 20), 20},
      {"UDP length past the packet's end", received(8 + 100, 20), 20},
      {"largest UDP length", received(0xFFFF, 20), 20},
      {"UDP length 8", received(8, 20), 0},
      {"UDP length 7", received(7, 20), 0},
      {"UDP length 0", received(0, 20), 0},
      {"headers only", received(8, 0), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Packet* p = exact(c.packet);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(p->tailroom(), 0u);
    const ControlPayload payload = control_packet_payload(p);
    EXPECT_EQ(payload.length, c.length);
    if (c.length > 0) {
      EXPECT_EQ(payload.data, p->data() + 28);  // a view, not a copy
      EXPECT_EQ(payload.data[0], 1);
    }
    p->release();
  }
  for (uint32_t udp_length = 0; udp_length < 8; ++udp_length) {
    Packet* p = exact(received(udp_length, 4));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(control_packet_payload(p).length, 0u) << udp_length;
    p->release();
  }
  // Shorter than the headers, with a UDP length that would reach far.
  const Bytes full = received(0xFFFF, 0);
  for (size_t length = 0; length < 28; ++length) {
    Packet* p = exact(Bytes(full.begin(), full.begin() + static_cast<long>(length)));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(control_packet_payload(p).length, 0u) << length;
    OstrelOverlayStateMsg m;
    m.set_osm_type(3);
    EXPECT_TRUE(read_control_message(p, &m));
    EXPECT_FALSE(m.has_osm_type());  // cleared: an empty message
    p->release();
  }
}

TEST(ControlPacketTest, MessageIsParsedFromExactlyTheUDPPayload) {
  // The keepalive request, then bytes that would be a malformed field.
  Bytes b = received(8 + 6, 9);
  const Bytes message = {0x08, 0x0C, 0x2A, 0x02, 0x08, 0x05, 0x32, 0x7F, 0x00};
  std::copy(message.begin(), message.end(), b.begin() + 28);
  Packet* p = exact(b);
  ASSERT_NE(p, nullptr);
  OstrelOverlayStateMsg m;
  EXPECT_TRUE(read_control_message(p, &m));
  EXPECT_EQ(m.osm_type(), 12u);
  EXPECT_EQ(m.osm_probemsg().seqnum(), 5u);
  p->release();
}

}  // namespace
