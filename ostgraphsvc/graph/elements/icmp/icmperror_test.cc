#include "ostgraphsvc/graph/elements/icmp/icmperror.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/ip/checksum.h"
#include "tests/support/graph_harness.h"

namespace {

using testing_support::BuildIPv4;
using testing_support::ChecksumsValid;
using testing_support::GraphHarness;
using testing_support::MakePacket;
using testing_support::PacketSpec;

using Bytes = std::vector<uint8_t>;

std::string Graph(const std::string& args) {
  return "src :: TestSource; sink :: TestSink; src -> e :: ICMPError(" + args + ") -> sink;";
}

uint16_t Be16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] << 8 | b[at + 1]); }

// The error made for `p`, or empty when none.
Bytes ErrorFor(GraphHarness& h, Packet* p, Packet** keep = nullptr) {
  h.Push("src", p);
  Packet* out = h.Take("sink", 0);
  if (out == nullptr) return {};
  std::string why;
  EXPECT_TRUE(ChecksumsValid(out, &why)) << why;
  Bytes b(out->network_header(), out->end_data());
  if (keep != nullptr) {
    *keep = out;
  } else {
    out->release();
  }
  return b;
}

TEST(ICMPErrorTest, ErrorLayoutAndTrimming) {
  GraphHarness h;
  ASSERT_TRUE(h.Load(Graph("10.9.9.9, 3, 1"))) << h.messages();
  PacketSpec shape;
  shape.payload = 1500 - 40;
  const Bytes big = BuildIPv4(shape);
  Packet* kept = nullptr;
  const Bytes e = ErrorFor(h, MakePacket(big), &kept);
  ASSERT_EQ(e.size(), 576u);
  EXPECT_EQ(e[0], 0x45);
  EXPECT_EQ(Be16(e, 2), 576);
  EXPECT_EQ(e[8], 200);
  EXPECT_EQ(e[9], 1);
  EXPECT_EQ(Bytes(e.begin() + 12, e.begin() + 16), (Bytes{10, 9, 9, 9}));
  EXPECT_EQ(Bytes(e.begin() + 16, e.begin() + 20), Bytes(big.begin() + 12, big.begin() + 16));
  EXPECT_EQ(e[20], 3);
  EXPECT_EQ(e[21], 1);
  EXPECT_EQ(Bytes(e.begin() + 28, e.end()), Bytes(big.begin(), big.begin() + 548));
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->fix_ip_src_anno(), 1);
  EXPECT_EQ(std::memcmp(kept->anno(), big.data() + 12, 4), 0);
  kept->release();

  PacketSpec small;
  small.payload = 20;
  EXPECT_EQ(ErrorFor(h, MakePacket(BuildIPv4(small))).size(), 88u);
}

TEST(ICMPErrorTest, NextHopMTU) {
  struct Case {
    const char* args;
    uint16_t mtu_anno;
    uint16_t expect;
  } cases[] = {
      {"10.9.9.9, 3, 4", 1400, 1400},
      {"10.9.9.9, 3, 4", 0, 0},
      {"10.9.9.9, 3, 4, PMTU 1280", 0, 1280},
  };
  for (const Case& c : cases) {
    GraphHarness h;
    ASSERT_TRUE(h.Load(Graph(c.args))) << h.messages();
    Packet* p = MakePacket(BuildIPv4(PacketSpec{}));
    p->set_mtu_anno(c.mtu_anno);
    const Bytes e = ErrorFor(h, p);
    ASSERT_FALSE(e.empty());
    EXPECT_EQ(Be16(e, 26), c.expect) << c.args << " " << c.mtu_anno;
  }
}

TEST(ICMPErrorTest, UnansweredPackets) {
  struct Case {
    const char* name;
    PacketSpec shape;
    bool answered;
  } cases[] = {
      {"echo request", {.protocol = 1, .icmp_type = 8}, true},
      {"unreachable", {.protocol = 1, .icmp_type = 3}, false},
      {"short icmp", {.protocol = 1, .truncate = 23}, false},
      {"subnet broadcast", {.dst = "10.1.255.255"}, true},
      {"listed broadcast", {.dst = "10.1.255.254"}, false},
      {"broadcast", {.dst = "255.255.255.255"}, false},
      {"multicast", {.dst = "224.0.0.5"}, false},
      {"from 0/8", {.src = "0.1.2.3"}, false},
      {"from loopback", {.src = "127.0.0.1"}, false},
      {"from class E", {.src = "240.0.0.1"}, false},
      {"second fragment", {.payload = 40, .fragment_offset = 5}, false},
  };
  GraphHarness h;
  ASSERT_TRUE(h.Load(Graph("10.9.9.9, 3, 1, 10.1.255.254"))) << h.messages();
  for (const Case& c : cases) {
    EXPECT_EQ(!ErrorFor(h, MakePacket(BuildIPv4(c.shape))).empty(), c.answered) << c.name;
  }
  // Header lengths that do not fit the packet: freed, no error.
  for (uint8_t ihl : {4, 15}) {
    Bytes b = BuildIPv4(PacketSpec{});
    b[0] = static_cast<uint8_t>(0x40 | ihl);
    EXPECT_TRUE(ErrorFor(h, MakePacket(b)).empty()) << int{ihl};
  }
  EXPECT_EQ(h.Count("sink"), 0u);
}

// Loose source route with pointer 12: two recorded hops, reversed.
TEST(ICMPErrorTest, ReversesARecordedSourceRoute) {
  PacketSpec shape;
  shape.ip_options = 12;
  Bytes b = BuildIPv4(shape);
  const Bytes route = {131, 11, 12, 1, 1, 1, 1, 2, 2, 2, 2, 0};
  std::copy(route.begin(), route.end(), b.begin() + 20);
  recompute_checksums(b.data(), static_cast<uint32_t>(b.size()));
  {
    GraphHarness h;
    ASSERT_TRUE(h.Load(Graph("10.9.9.9, 11, 0"))) << h.messages();
    const Bytes e = ErrorFor(h, MakePacket(b));
    ASSERT_GE(e.size(), 32u);
    EXPECT_EQ(e[0], 0x48);
    EXPECT_EQ(Bytes(e.begin() + 20, e.begin() + 32),
              (Bytes{131, 11, 4, 2, 2, 2, 2, 1, 1, 1, 1, 0}));
    EXPECT_EQ(e[32], 11);
  }
  GraphHarness h;
  ASSERT_TRUE(h.Load(Graph("10.9.9.9, 5, 0"))) << h.messages();
  EXPECT_TRUE(ErrorFor(h, MakePacket(b)).empty());
  // A parameter problem pointing into the route gets a plain header.
  ASSERT_TRUE(h.Load(Graph("10.9.9.9, 12, 0"))) << h.messages();
  Packet* p = MakePacket(b);
  p->set_icmp_paramprob_anno(22);
  const Bytes e = ErrorFor(h, p);
  ASSERT_FALSE(e.empty());
  EXPECT_EQ(e[0], 0x45);
  EXPECT_EQ(e[24], 22);
}

TEST(ICMPErrorTest, IdentificationsStepAcrossElements) {
  GraphHarness h;
  ASSERT_TRUE(
      h.Load("a :: TestSource; b :: TestSource; sink :: TestSink;"
             "a -> ICMPError(10.9.9.9, 11, 0) -> [0]sink;"
             "b -> ICMPError(10.9.9.8, 3, 0) -> [1]sink;"))
      << h.messages();
  const uint32_t first = ICMPError::next_identification();
  for (int i = 0; i < 4; ++i) h.Push(i % 2 ? "b" : "a", MakePacket(BuildIPv4(PacketSpec{})));
  std::vector<uint16_t> ids;
  for (int i = 0; i < 4; ++i) {
    Packet* p = h.Take("sink", i % 2);
    ASSERT_NE(p, nullptr);
    ids.push_back(static_cast<uint16_t>(p->network_header()[4] << 8 | p->network_header()[5]));
    p->release();
  }
  for (int i = 0; i < 4; ++i) EXPECT_EQ(ids[i], static_cast<uint16_t>(first + i));
}

TEST(ICMPErrorTest, ConfigurationAndHandlers) {
  struct Case {
    const char* args;
    const char* message;
  } cases[] = {
      {"10.9.9.9, 300", "ICMP type must be between 0 and 255"},
      {"10.9.9.9, 8", "ICMP type 8 is not an error type"},
      {"10.9.9.9, 3, x", "argument 2 takes ICMP code (integer between 0 and 255)"},
      {"10.9.9.9, 3, 256", "argument 2 takes ICMP code (integer between 0 and 255)"},
      {"10.9.9.9, 3, MTU 67", "MTU must be between 68 and 65535"},
      {"10.9.9.9, 3, MTU 65536", "MTU must be between 68 and 65535"},
  };
  for (const Case& c : cases) {
    GraphHarness h;
    EXPECT_FALSE(h.Load(Graph(c.args))) << c.args;
    EXPECT_NE(h.messages().find(c.message), std::string::npos) << h.messages();
  }
  GraphHarness h;
  ASSERT_TRUE(h.Load(Graph("10.9.9.9, 3, MTU 68"))) << h.messages();
  EXPECT_STREQ(h.Find("e")->port_count(), "1");
  EXPECT_STREQ(h.Find("e")->processing(), "a");
  EXPECT_EQ(h.Read("e", "mtu"), "68");
  std::string errors;
  EXPECT_LT(h.Write("e", "mtu", "67", &errors), 0);
  EXPECT_NE(errors.find("MTU must be between 68 and 65535"), std::string::npos) << errors;
  EXPECT_LT(h.Write("e", "mtu", "lots", &errors), 0);
  EXPECT_EQ(h.Read("e", "mtu"), "68");
  EXPECT_EQ(h.Write("e", "mtu", "1500"), 0);
  EXPECT_EQ(h.Read("e", "mtu"), "1500");
  EXPECT_EQ(h.Write("e", "pmtu", "1400"), 0);
  EXPECT_EQ(h.Read("e", "pmtu"), "1400");
  EXPECT_LT(h.Write("e", "src", "nope", &errors), 0);
  EXPECT_NE(errors.find("expected IP address"), std::string::npos) << errors;
  EXPECT_EQ(h.Write("e", "src", "10.1.1.1"), 0);
  EXPECT_EQ(h.Read("e", "src"), "10.1.1.1");
}

}  // namespace
