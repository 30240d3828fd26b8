#include "ostgraphsvc/graph/elements/standard/checkipheader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/packet.h"
#include "graph/router.h"
#include "tests/support/graph_harness.h"
#include "tests/support/started_log.h"

namespace {

using testing_support::BuildIPv4;
using testing_support::GraphHarness;
using testing_support::MakePacket;
using testing_support::PacketSpec;

Packet* Typed(const std::vector<uint8_t>& bytes, uint8_t msgtype = 1) {
  Packet* p = MakePacket(bytes);
  p->set_msgtype(msgtype);
  return p;
}

std::vector<uint8_t> Udp(const std::string& src, const std::string& dst, size_t payload = 0) {
  PacketSpec shape;
  shape.protocol = 17;
  shape.src = src;
  shape.dst = dst;
  shape.payload = payload;
  return BuildIPv4(shape);
}

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class CheckIPHeaderTest : public ::testing::Test {
 protected:
  void Load(const std::string& config) {
    ASSERT_TRUE(h.Load("src :: TestSource; sink :: TestSink; src -> c :: CheckIPHeader(" + config +
                       "); c[0] -> [0]sink; c[1] -> [1]sink;"))
        << h.messages();
  }
  // The output the packet left on: 0, 1, or -1 when it vanished.
  int Route(Packet* p) {
    h.Push("src", p);
    for (int port = 0; port < 2; ++port) {
      Packet* out = h.Take("sink", port);
      if (out == nullptr) continue;
      out->release();
      return port;
    }
    return -1;
  }

  GraphHarness h;
};

// Each bad header lands on output 1 and in its own row of the details.
TEST_F(CheckIPHeaderTest, EachReasonCountedInDetails) {
  Load("BADSRC 10.9.9.9, DETAILS true");
  EXPECT_EQ(h.Read("c", "drop_details"),
            "0\ttiny packet\n0\tbad IP version\n0\tbad IP header length\n0\tbad IP length\n"
            "0\tbad IP checksum\n0\tbad source address\n");
  std::vector<uint8_t> good = Udp("10.0.0.2", "192.0.2.1", 8);
  std::vector<std::vector<uint8_t>> bad;
  bad.push_back(std::vector<uint8_t>(good.begin(), good.begin() + 19));  // tiny
  bad.push_back(good);
  bad.back()[0] = 0x65;  // version 6
  bad.push_back(good);
  bad.back()[0] = 0x44;  // header length 16
  bad.push_back(good);
  bad.back()[3] += 1;  // total length beyond the packet
  bad.push_back(good);
  bad.back()[3] = 10;  // total length below the header
  bad.push_back(good);
  bad.back()[10] ^= 0xFF;  // checksum
  bad.push_back(Udp("10.9.9.9", "192.0.2.1"));
  for (const auto& bytes : bad) EXPECT_EQ(Route(Typed(bytes)), 1);
  EXPECT_EQ(Route(Typed(good)), 0);
  EXPECT_EQ(h.Read("c", "drops"), "7");
  EXPECT_EQ(h.Read("c", "drop_details"),
            "1\ttiny packet\n1\tbad IP version\n1\tbad IP header length\n2\tbad IP length\n"
            "1\tbad IP checksum\n1\tbad source address\n");
}

TEST_F(CheckIPHeaderTest, NoDetailsHandlerWithoutDetails) {
  Load("");
  EXPECT_EQ(h.Read("c", "drops"), "0");
  EXPECT_EQ(Router::find_handler(h.Find("c"), "drop_details"), nullptr);
}

TEST_F(CheckIPHeaderTest, OffsetLocatesHeadersAndTrimsPadding) {
  Load("OFFSET 14");
  std::vector<uint8_t> datagram = Udp("10.0.0.2", "192.0.2.1", 1472);
  ASSERT_EQ(datagram.size(), 1500u);
  // Reserved first: growing a 14-byte vector by insert trips a false
  // -Warray-bounds of g++ 12 at -O2.
  std::vector<uint8_t> frame;
  frame.reserve(14 + datagram.size() + 6);
  frame.assign(14, 0xAA);
  frame.insert(frame.end(), datagram.begin(), datagram.end());
  frame.insert(frame.end(), 6, 0);  // link padding
  h.Push("src", Typed(frame, 2));
  Packet* out = h.Take("sink", 0);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->length(), 1514u);
  EXPECT_EQ(out->network_header(), out->data() + 14);
  EXPECT_EQ(out->transport_header(), out->data() + 34);
  EXPECT_EQ(testing_support::Dotted(out->dst_ip_anno().addr()), "192.0.2.1");
  out->release();
}

TEST_F(CheckIPHeaderTest, LeftoverUnsignedIsTheOffset) {
  Load("VERBOSE true, 14");
  EXPECT_EQ(static_cast<CheckIPHeader*>(h.Find("c"))->offset(), 14u);
  EXPECT_FALSE(h.Load("src :: TestSource; src -> c :: CheckIPHeader(bogus) -> Discard;"));
}

TEST_F(CheckIPHeaderTest, OtherMessageTypesPassUntouched) {
  Load("");
  const std::vector<uint8_t> text = {'r', 'e', 'l', 'o', 'a', 'd'};
  h.Push("src", Typed(text, 4));
  Packet* out = h.Take("sink", 0);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out->data()), out->length()), "reload");
  EXPECT_EQ(out->dst_ip_anno().addr(), 0u);
  out->release();
  EXPECT_EQ(h.Read("c", "drops"), "0");
}

TEST_F(CheckIPHeaderTest, InterfacesRefuseBroadcastAndEdgeSources) {
  Load("INTERFACES 10.0.0.1/24, BADSRC 1.2.3.4");
  auto* c = static_cast<CheckIPHeader*>(h.Find("c"));
  ASSERT_EQ(c->bad_src().size(), 3);
  ASSERT_EQ(c->good_dst().size(), 1);
  struct Case {
    const char* src;
    const char* dst;
    int output;
  } cases[] = {
      {"10.0.0.255", "8.8.8.8", 1},      {"10.0.0.255", "10.0.0.1", 0}, {"0.0.0.0", "8.8.8.8", 1},
      {"255.255.255.255", "8.8.8.8", 1}, {"1.2.3.4", "8.8.8.8", 0},  // BADSRC overridden
      {"10.0.0.7", "8.8.8.8", 0},
  };
  for (const Case& k : cases)
    EXPECT_EQ(Route(Typed(Udp(k.src, k.dst))), k.output) << k.src << " > " << k.dst;
}

TEST_F(CheckIPHeaderTest, ChecksumOffAcceptsCorruptSum) {
  Load("CHECKSUM false");
  std::vector<uint8_t> bytes = Udp("10.0.0.2", "192.0.2.1");
  bytes[10] ^= 0x55;
  EXPECT_EQ(Route(Typed(bytes)), 0);
}

TEST(CheckIPHeaderLogTest, FirstDropLoggedOnlyUnlessVerbose) {
  testing_support::StartedLog log(0);
  GraphHarness h;
  ASSERT_TRUE(
      h.Load("src :: TestSource; ck :: CheckIPHeader; v :: CheckIPHeader(VERBOSE true);"
             "src -> ck -> v -> Discard;"))
      << h.messages();
  std::vector<uint8_t> bytes = Udp("10.0.0.2", "192.0.2.1");
  bytes[0] = 0x55;
  h.Push("src", Typed(bytes));
  h.Push("src", Typed(bytes));
  EXPECT_EQ(h.Read("ck", "drops"), "2");
  EXPECT_EQ(Occurrences(log.text(), "ck: IP header check failed: bad IP version"), 1u);
}

TEST(PaintTest, PaintSetsAnnotationAndCheckPaintSplits) {
  GraphHarness h;
  ASSERT_TRUE(
      h.Load("src :: TestSource; sink :: TestSink;"
             "src -> p :: Paint(3, 79) -> cp :: CheckPaint(COLOR 3, ANNO 79);"
             "cp[0] -> [0]sink; cp[1] -> [1]sink;"))
      << h.messages();
  h.Push("src", Typed(Udp("10.0.0.2", "192.0.2.1")));
  Packet* out = h.Take("sink", 0);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->anno_u8(79) & 1, 1);  // the fragmenter's bypass bit
  out->release();

  ASSERT_EQ(h.Write("p", "color", "4"), 0);
  EXPECT_EQ(h.Read("p", "color"), "4");
  h.Push("src", Typed(Udp("10.0.0.2", "192.0.2.1")));
  EXPECT_EQ(h.Received("sink", 0).size(), 0u);
  EXPECT_EQ(h.Received("sink", 1).size(), 1u);
  std::string errors;
  EXPECT_LT(h.Write("p", "color", "256", &errors), 0);
  EXPECT_NE(errors.find("expected uint8_t"), std::string::npos);
}

TEST(PaintTest, ConfigureErrors) {
  GraphHarness h;
  EXPECT_FALSE(h.Load("src :: TestSource; src -> Paint -> Discard;"));
  EXPECT_FALSE(h.Load("src :: TestSource; src -> Paint(300) -> Discard;"));
  EXPECT_NE(h.messages().find("out of range, bound 255"), std::string::npos) << h.messages();
  EXPECT_FALSE(h.Load("src :: TestSource; src -> Paint(x) -> Discard;"));
  EXPECT_NE(h.messages().find("invalid number"), std::string::npos) << h.messages();
}

TEST(PaintTest, CheckPaintOneOutputFreesOthersPushAndPull) {
  GraphHarness h;
  ASSERT_TRUE(
      h.Load("src :: TestSource; sink :: TestSink; src -> Paint(2) -> CheckPaint(2) -> "
             "sink; src2 :: TestSource; src2 -> Paint(5) -> q :: TestQueue -> "
             "CheckPaint(2) -> pl :: TestPuller;"))
      << h.messages();
  h.Push("src", Typed(Udp("10.0.0.2", "192.0.2.1")));
  EXPECT_EQ(h.Count("sink"), 1u);
  h.Push("src2", Typed(Udp("10.0.0.2", "192.0.2.1")));
  EXPECT_EQ(h.Pull("pl"), nullptr);  // freed, not returned
  EXPECT_EQ(h.Pull("pl"), nullptr);
}

TEST(PaintTest, CheckPaintPullDivertsToSecondOutput) {
  GraphHarness h;
  ASSERT_TRUE(
      h.Load("src :: TestSource; sink :: TestSink; src -> q :: TestQueue -> "
             "cp :: CheckPaint(7) -> pl :: TestPuller; cp[1] -> sink;"))
      << h.messages();
  Packet* a = Typed(Udp("10.0.0.2", "192.0.2.1"));
  a->set_anno_u8(16, 7);
  h.Push("src", Typed(Udp("10.0.0.2", "192.0.2.1")));
  h.Push("src", a);
  EXPECT_EQ(h.Pull("pl"), nullptr);
  EXPECT_EQ(h.Count("sink"), 1u);
  Packet* out = h.Pull("pl");
  EXPECT_EQ(out, a);
  if (out != nullptr) out->release();
}

}  // namespace
