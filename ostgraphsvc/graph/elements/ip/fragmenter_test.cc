#include "ostgraphsvc/graph/elements/ip/fragmenter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/ip/checksum.h"
#include "tests/support/graph_harness.h"
#include "tests/support/started_log.h"

namespace {

using testing_support::BuildIPv4;
using testing_support::ChecksumsValid;
using testing_support::GraphHarness;
using testing_support::MakePacket;
using testing_support::PacketSpec;

std::string Graph(const std::string& args) {
  return "src :: TestSource; sink :: TestSink; src -> f :: OstrelIPFragmenter(" + args +
         ") -> sink; f[1] -> [1]sink;";
}

std::vector<uint8_t> Bytes(const Packet* p) {
  return std::vector<uint8_t>(p->network_header(), p->end_data());
}

uint16_t Be16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}

// Datagram of `length` bytes with a 20-byte header.
std::vector<uint8_t> Datagram(size_t length, bool df = false, bool mf = false) {
  PacketSpec shape;
  shape.protocol = 17;
  shape.payload = length - 28;
  shape.more_fragments = mf;
  std::vector<uint8_t> b = BuildIPv4(shape);
  if (df) b[6] |= 0x40;
  recompute_checksums(b.data(), static_cast<uint32_t>(b.size()));
  return b;
}

struct Piece {
  std::vector<uint8_t> bytes;
  uint32_t hlen() const { return (bytes[0] & 0x0F) * 4u; }
  uint16_t offset() const { return Be16(bytes, 6) & 0x1FFF; }
  bool mf() const { return Be16(bytes, 6) & 0x2000; }
  size_t data() const { return bytes.size() - hlen(); }
};

std::vector<Piece> Drain(GraphHarness& h, int port) {
  std::vector<Piece> out;
  while (Packet* p = h.Take("sink", port)) {
    std::string why;
    EXPECT_TRUE(ChecksumsValid(p, &why)) << why;
    out.push_back(Piece{Bytes(p)});
    p->release();
  }
  return out;
}

TEST(OstrelIPFragmenterTest, ExactMTUPassesOneMoreIsFragmented) {
  struct Case {
    size_t length;
    size_t pieces;
  } cases[] = {{1500, 1}, {1501, 2}};
  for (const Case& c : cases) {
    GraphHarness h;
    ASSERT_TRUE(h.Load(Graph("1500"))) << h.messages();
    const std::vector<uint8_t> d = Datagram(c.length);
    h.Push("src", MakePacket(d));
    const std::vector<Piece> out = Drain(h, 0);
    ASSERT_EQ(out.size(), c.pieces) << c.length;
    if (c.pieces == 1) {
      EXPECT_EQ(out[0].bytes, d);
    }
    EXPECT_EQ(h.Read("f", "fragments"), c.pieces == 1 ? "0" : "2");
  }
}

TEST(OstrelIPFragmenterTest, SplitsIntoEightByteAlignedPiecesThatRebuildTheData) {
  GraphHarness h;
  ASSERT_TRUE(h.Load(Graph("1500"))) << h.messages();
  const std::vector<uint8_t> d = Datagram(4000);
  Packet* p = MakePacket(d);
  p->set_paint_anno(9);
  h.Push("src", p);
  ASSERT_EQ(h.Received("sink", 0).size(), 3u);
  for (const Packet* q : h.Received("sink", 0)) EXPECT_EQ(q->paint_anno(), 9);
  const std::vector<Piece> out = Drain(h, 0);
  const size_t lengths[] = {1480, 1480, 1020};
  const uint16_t offsets[] = {0, 185, 370};
  std::vector<uint8_t> data;
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(out[i].data(), lengths[i]);
    EXPECT_EQ(out[i].offset(), offsets[i]);
    EXPECT_EQ(out[i].mf(), i < 2);
    EXPECT_EQ(Be16(out[i].bytes, 2), out[i].bytes.size());
    EXPECT_EQ(Be16(out[i].bytes, 4), 0x4242);
    data.insert(data.end(), out[i].bytes.begin() + 20, out[i].bytes.end());
  }
  EXPECT_EQ(data, std::vector<uint8_t>(d.begin() + 20, d.end()));
  EXPECT_EQ(h.Read("f", "fragments"), "3");
  EXPECT_EQ(h.Read("f", "drops"), "0");
}

TEST(OstrelIPFragmenterTest, RefragmentedPieceKeepsMoreFragmentsAndItsOffset) {
  GraphHarness h;
  ASSERT_TRUE(h.Load(Graph("600"))) << h.messages();
  std::vector<uint8_t> d = Datagram(1500, false, true);
  d[7] = 10;  // offset 80 bytes
  recompute_checksums(d.data(), static_cast<uint32_t>(d.size()));
  h.Push("src", MakePacket(d));
  const std::vector<Piece> out = Drain(h, 0);
  ASSERT_EQ(out.size(), 3u);
  for (const Piece& piece : out) EXPECT_TRUE(piece.mf());
  EXPECT_EQ(out[0].offset(), 10);
  EXPECT_EQ(out[1].offset(), 10 + 576 / 8);
}

// Options: record route (not copied) then security (copied) on a 1000-byte
// datagram; later fragments carry the security option padded to 32 bytes.
TEST(OstrelIPFragmenterTest, LaterFragmentsCarryOnlyCopiedOptions) {
  struct Case {
    std::vector<uint8_t> options;
    uint32_t later_hlen;
  } cases[] = {
      {{7, 7, 4, 0, 0, 0, 0, 0}, 20},
      {{130, 11, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0}, 32},
      {{7, 7, 4, 0, 0, 0, 0, 130, 11, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0}, 32},
  };
  for (const Case& c : cases) {
    PacketSpec shape;
    shape.protocol = 17;
    shape.ip_options = c.options.size();
    shape.payload = 1000;
    std::vector<uint8_t> d = BuildIPv4(shape);
    std::copy(c.options.begin(), c.options.end(), d.begin() + 20);
    recompute_checksums(d.data(), static_cast<uint32_t>(d.size()));
    GraphHarness h;
    ASSERT_TRUE(h.Load(Graph("400"))) << h.messages();
    h.Push("src", MakePacket(d));
    const std::vector<Piece> out = Drain(h, 0);
    ASSERT_GE(out.size(), 3u);
    EXPECT_EQ(out[0].hlen(), 20 + c.options.size());
    for (size_t i = 1; i < out.size(); ++i) {
      EXPECT_EQ(out[i].hlen(), c.later_hlen);
      if (c.later_hlen == 32) {
        const std::vector<uint8_t> expect = {130, 11, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0};
        EXPECT_EQ(std::vector<uint8_t>(out[i].bytes.begin() + 20, out[i].bytes.begin() + 32),
                  expect);
      }
    }
  }
}

TEST(OstrelIPFragmenterTest, DontFragmentIsRefusedOrIgnored) {
  testing_support::StartedLog log(0);
  {
    GraphHarness h;
    ASSERT_TRUE(h.Load(Graph("1500"))) << h.messages();
    for (int i = 0; i < 6; ++i) h.Push("src", MakePacket(Datagram(1600, true)));
    EXPECT_EQ(h.Received("sink", 0).size(), 0u);
    EXPECT_EQ(h.Received("sink", 1).size(), 6u);
    EXPECT_EQ(h.Read("f", "drops"), "6");
  }
  const std::string text = log.text();
  const std::string line = "OstrelIPFragmenter(1500) DF 10.0.0.2 192.0.2.1 len=1600";
  size_t count = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
  EXPECT_EQ(count, 5u) << text;

  GraphHarness h;
  ASSERT_TRUE(h.Load(Graph("1500, false"))) << h.messages();
  h.Push("src", MakePacket(Datagram(4000, true)));
  const std::vector<Piece> out = Drain(h, 0);
  ASSERT_EQ(out.size(), 3u);
  const uint16_t id = Be16(out[0].bytes, 4);
  EXPECT_LE(id, 32767);
  for (const Piece& piece : out) {
    EXPECT_EQ(Be16(piece.bytes, 4), id);
    EXPECT_FALSE(piece.bytes[6] & 0x40);
  }
}

TEST(OstrelIPFragmenterTest, BypassAnnotationAndMTUAnnotation) {
  GraphHarness h;
  ASSERT_TRUE(h.Load(Graph("1500"))) << h.messages();
  Packet* whole = MakePacket(Datagram(3000));
  whole->set_fragment_anno(1);
  h.Push("src", whole);
  EXPECT_EQ(Drain(h, 0).size(), 1u);
  Packet* small = MakePacket(Datagram(1000));
  small->set_mtu_anno(576);
  h.Push("src", small);
  const std::vector<Piece> out = Drain(h, 0);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].bytes.size(), 572u);
}

// Headers whose lengths do not fit the packet are never cut up: too long
// for the path they are refused without the DF line.
TEST(OstrelIPFragmenterTest, LyingLengthsAreRefusedNotCopied) {
  struct Case {
    const char* name;
    int ihl;
    int total;
  } cases[] = {{"header below 20", 4, -1},
               {"header past packet", 15, -1},
               {"total below header", 5, 10},
               {"total past packet", 5, 5000}};
  for (const Case& c : cases) {
    testing_support::StartedLog log(0);
    {
      GraphHarness h;
      ASSERT_TRUE(h.Load(Graph("40"))) << h.messages();
      std::vector<uint8_t> d = Datagram(50);
      d[0] = static_cast<uint8_t>(0x40 | c.ihl);
      if (c.total >= 0) {
        d[2] = static_cast<uint8_t>(c.total >> 8);
        d[3] = static_cast<uint8_t>(c.total);
      }
      if (c.ihl == 15) d.resize(56);
      h.Push("src", MakePacket(d));
      EXPECT_EQ(h.Received("sink", 0).size(), 0u) << c.name;
      EXPECT_EQ(h.Received("sink", 1).size(), 1u) << c.name;
      EXPECT_EQ(h.Read("f", "drops"), "1") << c.name;
    }
    EXPECT_EQ(log.text().find("DF"), std::string::npos) << c.name;
  }
  // Trailing bytes past a datagram that fits: trimmed, not fragmented.
  GraphHarness h;
  ASSERT_TRUE(h.Load(Graph("100"))) << h.messages();
  std::vector<uint8_t> d = Datagram(80);
  const std::vector<uint8_t> datagram = d;
  d.resize(120, 0xEE);
  h.Push("src", MakePacket(d));
  const std::vector<Piece> out = Drain(h, 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].bytes, datagram);
}

TEST(OstrelIPFragmenterTest, ConfigurationErrors) {
  GraphHarness h;
  EXPECT_FALSE(h.Load(Graph("7")));
  EXPECT_NE(h.messages().find("MTU must be at least 8"), std::string::npos) << h.messages();
  EXPECT_FALSE(h.Load(Graph("")));
  // An MTU that leaves no 8 data bytes refuses every long datagram.
  ASSERT_TRUE(h.Load(Graph("24"))) << h.messages();
  h.Push("src", MakePacket(Datagram(40)));
  EXPECT_EQ(h.Received("sink", 1).size(), 1u);
}

}  // namespace
