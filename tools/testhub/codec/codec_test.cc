#include "tools/testhub/codec/codec.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "overlaystatemsg.pb.h"

namespace testhub {
namespace {

uint32_t addr(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

using Bytes = std::vector<uint8_t>;

// The keepalive request with probe id 5 from 10.0.0.2 to 192.0.2.1, id 0.
const Bytes kKeepalivePacket = {0x45, 0x00, 0x00, 0x22, 0x00, 0x00, 0x00, 0x00, 0xFA,
                                0x11, 0xF4, 0xC7, 0x0A, 0x00, 0x00, 0x02, 0xC0, 0x00,
                                0x02, 0x01, 0x1E, 0x61, 0x1E, 0x61, 0x00, 0x0E, 0x00,
                                0x00, 0x08, 0x0C, 0x2A, 0x02, 0x08, 0x05};

TEST(ControlPacket, KeepaliveBothWays) {
  OstrelOverlayStateMsg msg;
  msg.set_osm_type(12);
  msg.mutable_osm_probemsg()->set_seqnum(5);
  uint8_t out[64];
  const size_t n =
      write_control_packet(out, sizeof out, msg, 0, addr("10.0.0.2"), addr("192.0.2.1"));
  EXPECT_EQ(Bytes(out, out + n), kKeepalivePacket);
  EXPECT_EQ(write_control_packet(out, n - 1, msg, 0, 0, 0), 0u);

  OstrelOverlayStateMsg read;
  ASSERT_EQ(read_control_packet(kKeepalivePacket.data(), kKeepalivePacket.size(), &read),
            Drop::kNone);
  EXPECT_EQ(read.osm_type(), 12u);
  EXPECT_EQ(read.osm_probemsg().seqnum(), 5u);
}

TEST(ControlPacket, ReadIsBoundedByUdpLength) {
  // Bytes behind the UDP payload are not part of the message.
  Bytes extra = kKeepalivePacket;
  extra.push_back(0xff);
  OstrelOverlayStateMsg msg;
  EXPECT_EQ(read_control_packet(extra.data(), extra.size(), &msg), Drop::kNone);
  EXPECT_EQ(msg.osm_probemsg().seqnum(), 5u);

  struct Case {
    const char* name;
    size_t cut;
    size_t udp_length;
    Drop want;
  } cases[] = {
      {"udp length past the end", 0, 15, Drop::kShortControl},
      {"headers cut", 27, 14, Drop::kShortControl},
      {"udp length under 8 reads empty: no osm_type", 0, 4, Drop::kUnknownKind},
      {"message cut inside a field", 1, 13, Drop::kParseFailed},
  };
  for (const Case& c : cases) {
    Bytes p = kKeepalivePacket;
    p[25] = static_cast<uint8_t>(c.udp_length);
    p.resize(c.cut == 27 ? 27 : p.size() - c.cut);
    // An exact-size heap copy, so an over-read is an ASan error.
    std::vector<uint8_t> exact(p.begin(), p.end());
    EXPECT_EQ(read_control_packet(exact.data(), exact.size(), &msg), c.want) << c.name;
  }
}

TEST(ControlPacket, KindsTheHubKnows) {
  for (uint32_t k = 0; k < 20; ++k) {
    const bool want = k == 3 || k == 4 || k == 5 || (k >= 7 && k <= 14) || k == 17;
    EXPECT_EQ(known_kind(k), want) << k;
  }
}

TEST(OverlayHeader, FullHeaderBothWays) {
  uint8_t h[16];
  write_full_header(h, 1, 0, 5, false, 1);
  EXPECT_EQ(Bytes(h, h + 16),
            (Bytes{0x11, 0x05, 0x01, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  write_full_header(h, 1, 0, 0, true, 1);
  EXPECT_EQ(Bytes(h, h + 4), (Bytes{0x11, 0x80, 0x01, 0x00}));
  write_full_header(h, 2, 15, 0x85, false, 0x04030201);
  EXPECT_EQ(Bytes(h, h + 8), (Bytes{0x02, 0x05, 0x01, 0x00, 0x01, 0x02, 0x03, 0x04}));

  const uint8_t wire[16] = {0x21, 0x85, 0x01, 0x00, 0xff, 0xff, 0xff, 0xff};
  OverlayHeader r;
  ASSERT_EQ(read_overlay_header(wire, 16, &r), 16u);
  EXPECT_EQ(r.kind, HeaderKind::kFull);
  EXPECT_EQ(r.version, 1);
  EXPECT_EQ(r.hop, 2);
  EXPECT_EQ(r.klass, 5);
  EXPECT_TRUE(r.control);
  EXPECT_TRUE(r.has_sequence);
  EXPECT_EQ(r.sequence, 0xffffffffu);
  EXPECT_EQ(read_overlay_header(wire, 15, &r), 0u);
}

TEST(OverlayHeader, LegacyHeaderBothWays) {
  uint8_t h[6];
  write_legacy_header(h, 1, 0, 5, false);
  EXPECT_EQ(Bytes(h, h + 6), (Bytes{0x00, 0x01, 0x01, 0x00, 0x05, 0x01}));
  write_legacy_header(h, 1, 0, 5, true);
  EXPECT_EQ(h[5], 2);

  struct Case {
    Bytes wire;
    uint8_t version, hop;
    bool control;
  } cases[] = {
      {{0x00, 0x01, 0x01, 0x00, 0x05, 0x01}, 1, 1, false},
      {{0x00, 0x31, 0x02, 0x00, 0x05, 0x02}, 2, 1, true},
      // Version 0: the hop is the whole byte.
      {{0x00, 0x31, 0x00, 0x00, 0x05, 0x02}, 0, 0x31, true},
  };
  for (const Case& c : cases) {
    OverlayHeader r;
    ASSERT_EQ(read_overlay_header(c.wire.data(), c.wire.size(), &r), 6u);
    EXPECT_EQ(r.kind, HeaderKind::kLegacy);
    EXPECT_EQ(r.version, c.version);
    EXPECT_EQ(r.hop, c.hop);
    EXPECT_EQ(r.control, c.control);
    EXPECT_FALSE(r.has_sequence);
    EXPECT_EQ(read_overlay_header(c.wire.data(), 5, &r), 0u);
  }
}

TEST(Sequence, SkipsZero) {
  EXPECT_EQ(next_sequence(1), 2u);
  EXPECT_EQ(next_sequence(0xfffffffe), 0xffffffffu);
  EXPECT_EQ(next_sequence(0xffffffff), 1u);
}

// A data packet wrapped and read back, in both header kinds.
TEST(Encapsulation, RoundTrip) {
  const Bytes inner = {0x45, 0, 0, 20, 0, 0, 0, 0, 64, 1, 0, 0, 10, 0, 0, 2, 10, 0, 0, 1};
  for (HeaderKind kind : {HeaderKind::kLegacy, HeaderKind::kFull}) {
    uint8_t buf[128];
    std::memcpy(buf + kMaxEncapOverhead, inner.data(), inner.size());
    EncapParams p;
    p.kind = kind;
    p.klass = 5;
    p.sequence = 1;
    p.id = 0x1234;
    p.src = addr("10.0.0.1");
    p.dst = addr("10.0.0.2");
    size_t total = 0;
    uint8_t* start = encapsulate(buf + kMaxEncapOverhead, inner.size(), p, &total);
    ASSERT_NE(start, nullptr);
    const size_t overhead = kind == HeaderKind::kFull ? 36 : 34;
    ASSERT_EQ(total, overhead + inner.size());
    EXPECT_EQ(ipv4_checksum(start, 20), 0) << "checksum over a valid header folds to 0";
    EXPECT_EQ(start[8], 250);
    EXPECT_EQ(start[9], kind == HeaderKind::kFull ? 252 : 17);
    if (kind == HeaderKind::kLegacy) {
      // UDP 7777 -> 7777, length 8 + 6 + inner, checksum 0, then the header.
      EXPECT_EQ(Bytes(start + 20, start + 34), (Bytes{0x1E, 0x61, 0x1E, 0x61, 0x00, 34, 0, 0, 0x00,
                                                      0x01, 0x01, 0x00, 0x05, 0x01}));
    }

    Bytes exact(start, start + total);
    Decoded d;
    ASSERT_EQ(decode_packet(exact.data(), exact.size(), &d), Drop::kNone);
    EXPECT_EQ(d.header.kind, kind);
    EXPECT_EQ(d.header.version, 1);
    EXPECT_EQ(d.header.klass, 5);
    EXPECT_FALSE(d.header.control);
    EXPECT_EQ(d.outer_src, p.src);
    EXPECT_EQ(d.consumed, total);
    EXPECT_EQ(Bytes(d.inner, d.inner + d.inner_length), inner);
  }
  uint8_t big[64];
  size_t total = 0;
  EXPECT_EQ(encapsulate(big + 36, kMaxInnerLength + 1, EncapParams(), &total), nullptr);
}

TEST(Decode, BadRecordsAreDroppedByReason) {
  Bytes good(20 + 16 + 4, 0);
  write_ipv4_header(good.data(), static_cast<uint16_t>(good.size()), 0, kProtoOverlay, 1, 2);
  write_full_header(good.data() + 20, 1, 0, 0, false, 1);
  struct Case {
    const char* name;
    Bytes bytes;
    Drop want;
  };
  std::vector<Case> cases;
  cases.push_back({"empty", {}, Drop::kShortOuter});
  cases.push_back({"19 bytes", Bytes(good.begin(), good.begin() + 19), Drop::kShortOuter});
  Bytes v6 = good;
  v6[0] = 0x65;
  cases.push_back({"not IPv4", v6, Drop::kBadOuter});
  Bytes ihl = good;
  ihl[0] = 0x44;
  cases.push_back({"ihl under 5", ihl, Drop::kBadOuter});
  Bytes ihl_long = good;
  ihl_long[0] = 0x4f;
  ihl_long[3] = 40;
  cases.push_back({"options past the total length", ihl_long, Drop::kBadOuter});
  Bytes over = good;
  over[3] = static_cast<uint8_t>(good.size() + 1);
  cases.push_back({"total length past the end", over, Drop::kBadOuter});
  Bytes proto = good;
  proto[9] = 6;
  cases.push_back({"protocol 6", proto, Drop::kBadProtocol});
  Bytes cut(good.begin(), good.begin() + 30);
  cut[3] = 30;
  cases.push_back({"16-byte header cut", cut, Drop::kShortHeader});
  Bytes udp_cut(good.begin(), good.begin() + 25);
  udp_cut[3] = 25;
  udp_cut[9] = 17;
  cases.push_back({"UDP header cut", udp_cut, Drop::kShortHeader});
  Bytes legacy_cut(good.begin(), good.begin() + 33);
  legacy_cut[3] = 33;
  legacy_cut[9] = 17;
  legacy_cut[28] = 0;
  cases.push_back({"legacy header cut", legacy_cut, Drop::kShortHeader});
  cases.push_back({"over the bound", Bytes(kMaxRecordLength + 1, 0x45), Drop::kTooLong});
  for (const Case& c : cases) {
    Decoded d;
    EXPECT_EQ(decode_packet(c.bytes.data(), c.bytes.size(), &d), c.want) << c.name;
  }
}

// Two packets in one record are read one after the other.
TEST(Decode, SeveralPacketsInOneRecord) {
  Bytes record;
  for (uint32_t seq : {7u, 8u}) {
    Bytes p(20 + 16 + 2, 0xAB);
    write_ipv4_header(p.data(), static_cast<uint16_t>(p.size()), 0, kProtoOverlay, 1, 2);
    write_full_header(p.data() + 20, 1, 0, 0, false, seq);
    record.insert(record.end(), p.begin(), p.end());
  }
  Decoded d;
  ASSERT_EQ(decode_packet(record.data(), record.size(), &d), Drop::kNone);
  EXPECT_EQ(d.header.sequence, 7u);
  EXPECT_EQ(d.inner_length, 2u);
  ASSERT_EQ(d.consumed, 38u);
  ASSERT_EQ(decode_packet(record.data() + 38, record.size() - 38, &d), Drop::kNone);
  EXPECT_EQ(d.header.sequence, 8u);
}

}  // namespace
}  // namespace testhub

namespace testhub {
namespace {

class Recorder : public RecordSink {
 public:
  void on_data(const Decoded& p) override {
    events.push_back("data " + std::to_string(p.inner_length));
  }
  void on_control(const Decoded&, const OstrelOverlayStateMsg& msg) override {
    events.push_back("control " + std::to_string(msg.osm_type()));
  }
  void on_drop(Drop reason) override { events.push_back(drop_name(reason)); }
  std::vector<std::string> events;
};

// A record of a control packet, a data packet, a packet of unknown protocol
// and a cut one: each is reported, and the cut one ends the record.
TEST(ReadRecord, WalksEveryPacket) {
  Bytes record;
  auto add = [&](const Bytes& inner, bool control, uint8_t protocol) {
    Bytes buf(kMaxEncapOverhead);
    buf.insert(buf.end(), inner.begin(), inner.end());
    EncapParams p;
    p.control = control;
    size_t total = 0;
    uint8_t* start = encapsulate(buf.data() + kMaxEncapOverhead, inner.size(), p, &total);
    start[9] = protocol;
    record.insert(record.end(), start, start + total);
  };
  add(kKeepalivePacket, true, kProtoUdp);
  add(Bytes(3, 1), false, kProtoUdp);
  add(Bytes(3, 1), false, 6);
  add(Bytes(3, 1), false, kProtoUdp);
  record.resize(record.size() - 10);
  OstrelOverlayStateMsg scratch;
  Recorder r;
  read_record(record.data(), record.size(), &scratch, &r);
  EXPECT_EQ(r.events,
            (std::vector<std::string>{"control 12", "data 3", "bad_protocol", "bad_outer"}));

  Recorder big;
  Bytes huge(kMaxRecordLength + 1);
  read_record(huge.data(), huge.size(), &scratch, &big);
  EXPECT_EQ(big.events, (std::vector<std::string>{"too_long"}));
}

}  // namespace
}  // namespace testhub
