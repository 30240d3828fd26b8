#include "ostgraphsvc/graph/elements/standard/print.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "graph/packet.h"
#include "graph/timestamp.h"
#include "tests/support/graph_harness.h"
#include "tests/support/started_log.h"

namespace {

using testing_support::BuildIPv4;
using testing_support::GraphHarness;
using testing_support::MakePacket;
using testing_support::PacketSpec;

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}
uint16_t Get16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}

// The SYN of the examples: 60 bytes, a 40-byte TCP header, sequence 1000.
std::vector<uint8_t> Syn() {
  PacketSpec shape;
  shape.payload = 20;
  std::vector<uint8_t> b = BuildIPv4(shape);
  b[32] = 0xA0;  // data offset 10 words
  Put16(b, 24, 0);
  Put16(b, 26, 1000);
  Put16(b, 34, 8192);
  return b;
}

// An ICMP port unreachable quoting a UDP datagram; `keep` cuts the packet.
std::vector<uint8_t> Unreachable(uint8_t code, size_t keep = 0, uint8_t quoted_ihl = 5) {
  PacketSpec inner;
  inner.protocol = 17;
  inner.src = "192.0.2.1";
  inner.dst = "198.51.100.9";
  inner.dport = 53;
  std::vector<uint8_t> quoted = BuildIPv4(inner);
  quoted.resize(28);
  quoted[0] = static_cast<uint8_t>(0x40 | quoted_ihl);
  PacketSpec outer;
  outer.protocol = 1;
  outer.icmp_type = 3;
  outer.payload = quoted.size();
  std::vector<uint8_t> b = BuildIPv4(outer);
  b[21] = code;
  Put16(b, 26, code == 4 ? 1400 : 0);
  std::copy(quoted.begin(), quoted.end(), b.begin() + 28);
  if (keep != 0) b.resize(keep);
  return b;
}

class IPPrintTest : public ::testing::Test {
 protected:
  // The line IPPrint(config) makes for `bytes`; configuration errors in
  // `messages`.
  std::string Line(const std::string& config, const std::vector<uint8_t>& bytes) {
    if (!h.Load("src :: TestSource; src -> p :: IPPrint(" + config + ") -> Discard;")) {
      messages = h.messages();
      return "<config failed>";
    }
    Packet* pk = MakePacket(bytes);
    pk->set_timestamp(Timestamp::make_msec(1500));
    const String line = static_cast<IPPrint*>(h.Find("p"))->line(pk);
    pk->release();
    return line.c_str();
  }

  GraphHarness h;
  std::string messages;
};

TEST_F(IPPrintTest, Lines) {
  PacketSpec frag;
  frag.protocol = 17;
  frag.payload = 100;
  frag.fragment_offset = 185;
  frag.more_fragments = true;
  const std::vector<uint8_t> second = BuildIPv4(frag);
  const std::string id = std::to_string(Get16(second, 4));

  PacketSpec echo;
  echo.protocol = 1;
  echo.icmp_id = 0x0102;
  const std::vector<uint8_t> ping = BuildIPv4(echo);
  const std::string seq = std::to_string(Get16(ping, 26));
  const std::string seq_swapped =
      std::to_string(static_cast<uint16_t>(Get16(ping, 26) << 8 | Get16(ping, 26) >> 8));

  PacketSpec tcp;
  const std::vector<uint8_t> plain = BuildIPv4(tcp);
  PacketSpec other;
  other.protocol = 47;
  other.payload = 4;

  struct Case {
    std::string config;
    std::vector<uint8_t> bytes;
    std::string line;
  } cases[] = {
      {"", Syn(), "1.500000: 10.0.0.2.1234 > 192.0.2.1.80: S 1000:1001(1,60,60) win 8192"},
      {"LABEL x, TIMESTAMP false", second,
       "x: 10.0.0.2 > 192.0.2.1: udp (frag " + id + ":100@1480+)"},
      {"TIMESTAMP false", ping, "10.0.0.2 > 192.0.2.1: icmp echo (258, " + seq + ")"},
      {"TIMESTAMP false, SWAP false", ping,
       "10.0.0.2 > 192.0.2.1: icmp echo (513, " + seq_swapped + ")"},
      {"TIMESTAMP false", Unreachable(3),
       "10.0.0.2 > 192.0.2.1: icmp 198.51.100.9 unreachable code 3 protocol 17/53"},
      {"TIMESTAMP false", Unreachable(3, 20 + 8 + 20 + 2),
       "10.0.0.2 > 192.0.2.1: icmp 198.51.100.9 unreachable code 3 protocol 17"},
      // A quoted header length that reaches past the packet: no port.
      {"TIMESTAMP false", Unreachable(3, 0, 15),
       "10.0.0.2 > 192.0.2.1: icmp 198.51.100.9 unreachable code 3 protocol 17"},
      {"TIMESTAMP false", Unreachable(4),
       "10.0.0.2 > 192.0.2.1: icmp 198.51.100.9 unreachable code 4 (mtu 1400)"},
      {"TIMESTAMP false", Unreachable(1, 20 + 20),
       "10.0.0.2 > 192.0.2.1: icmp unreachable code 1 truncated-icmp"},
      {"TIMESTAMP false", std::vector<uint8_t>(plain.begin(), plain.begin() + 19), "truncated-ip"},
      {"TIMESTAMP false", std::vector<uint8_t>(plain.begin(), plain.begin() + 23),
       "10.0.0.2 > 192.0.2.1: truncated-tcp"},
      {"TIMESTAMP false", std::vector<uint8_t>(plain.begin(), plain.begin() + 30),
       "10.0.0.2.1234 > 192.0.2.1.80: truncated-tcp"},
      {"TIMESTAMP false, ID true, TTL true, TOS true, LENGTH true", BuildIPv4(other),
       "id " + std::to_string(Get16(BuildIPv4(other), 4)) + " ttl " +
           std::to_string(BuildIPv4(other)[8]) +
           " tos 0 length 24 10.0.0.2 > 192.0.2.1: "
           "ip-proto-47"},
  };
  for (const Case& k : cases) EXPECT_EQ(Line(k.config, k.bytes), k.line) << k.config;
}

TEST_F(IPPrintTest, PaintAndAggregatePrefix) {
  ASSERT_TRUE(
      h.Load("src :: TestSource; src -> p :: IPPrint(TIMESTAMP false, PAINT true, "
             "AGGREGATE true) -> Discard;"))
      << h.messages();
  Packet* pk = MakePacket(BuildIPv4(PacketSpec{}));
  pk->set_anno_u8(16, 3);
  pk->set_aggregate_anno(9);
  EXPECT_EQ(std::string(static_cast<IPPrint*>(h.Find("p"))->line(pk).c_str()).substr(0, 6),
            "#9.3: ");
  pk->release();
}

TEST_F(IPPrintTest, ContentsAndPayload) {
  PacketSpec shape;
  shape.payload = 30;
  std::vector<uint8_t> bytes = BuildIPv4(shape);
  for (size_t i = 40; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>('A' + i - 40);
  const std::string tcp = "10.0.0.2.1234 > 192.0.2.1.80: S 0:31(31,70,70) win ";
  std::string line = Line("TIMESTAMP false, PAYLOAD HEX", bytes);
  EXPECT_NE(line.find("\n  41424344 45464748 494a4b4c 4d4e4f50 51525354 55565758\n  595a5b5c 5d5e"),
            std::string::npos)
      << line;
  line = Line("TIMESTAMP false, PAYLOAD ascii, MAXLENGTH 10, NBYTES 9", bytes);
  EXPECT_EQ(line.substr(line.find('\n')), "\n  ABCDEFGH I");
  line = Line("TIMESTAMP false, CONTENTS HEX, MAXLENGTH 6", bytes);
  EXPECT_EQ(
      line.substr(line.find('\n')), "\n  " + [&] {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%02x%02x%02x%02x %02x%02x", bytes[0], bytes[1], bytes[2],
                      bytes[3], bytes[4], bytes[5]);
        return std::string(buf);
      }());
  // A data offset that points past the end prints no payload bytes.
  bytes[32] = 0xF0;
  line = Line("TIMESTAMP false, PAYLOAD HEX", bytes);
  EXPECT_EQ(line.find('\n'), std::string::npos) << line;
}

TEST_F(IPPrintTest, ConfigurationErrors) {
  const std::vector<uint8_t> bytes = BuildIPv4(PacketSpec{});
  struct Case {
    const char* config;
    const char* message;
  } cases[] = {
      {"PAYLOAD HEX, CONTENTS HEX", "specify at most one of PAYLOAD and CONTENTS"},
      {"PAYLOAD zebra", "bad payload value 'zebra'; should be 'false', 'hex', or 'ascii'"},
      {"CONTENTS zebra", "bad contents value 'zebra'; should be 'NONE', 'HEX', or 'ASCII'"},
      {"OUTFILE /nonexistent-dir/x", "/nonexistent-dir/x: No such file or directory"},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(Line(k.config, bytes), "<config failed>") << k.config;
    EXPECT_NE(messages.find(k.message), std::string::npos) << messages;
  }
}

TEST_F(IPPrintTest, OutfileAndActive) {
  const std::string path = std::string(std::getenv("DOVADOD_ROOT")) + "/ipprint_out.txt";
  ASSERT_TRUE(h.Load("src :: TestSource; src -> p :: IPPrint(TIMESTAMP false, OUTFILE \"" + path +
                     "\") -> sink :: TestSink;"))
      << h.messages();
  PacketSpec echo;
  echo.protocol = 1;
  h.Push("src", MakePacket(BuildIPv4(echo)));
  ASSERT_EQ(h.Write("p", "active", "false"), 0);
  EXPECT_EQ(h.Read("p", "active"), "false");
  h.Push("src", MakePacket(BuildIPv4(echo)));
  EXPECT_EQ(h.Count("sink"), 2u);
  std::string errors;
  EXPECT_LT(h.Write("p", "active", "maybe", &errors), 0);
  EXPECT_NE(errors.find("expected boolean"), std::string::npos);
  ASSERT_TRUE(h.Load("src :: TestSource; src -> Discard;")) << h.messages();  // closes the file
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  const std::string written = text.str();
  EXPECT_EQ(written.substr(0, 36), "10.0.0.2 > 192.0.2.1: icmp echo (7, ");
  EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 1);
}

TEST(PrintTest, Lines) {
  GraphHarness h;
  std::vector<uint8_t> bytes(60);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  struct Case {
    std::string config;
    std::string line;
  } cases[] = {
      {"", "  60 | 00010203 04050607 08090a0b 0c0d0e0f 10111213 14151617"},
      {"lbl, 5", "lbl:   60 | 00010203 04"},
      {"MAXLENGTH 0", "  60"},
      {"CONTENTS ascii, MAXLENGTH 9", "  60 |  ........ ."},
  };
  for (const Case& k : cases) {
    ASSERT_TRUE(h.Load("src :: TestSource; src -> p :: Print(" + k.config + ") -> Discard;"))
        << h.messages();
    Packet* p = MakePacket(bytes);
    EXPECT_EQ(std::string(static_cast<Print*>(h.Find("p"))->line(p).c_str()), k.line) << k.config;
    p->release();
  }
  ASSERT_TRUE(
      h.Load("src :: TestSource; src -> p :: Print(CONTENTS NONE, HEADROOM true) -> "
             "Discard;"));
  Packet* p = MakePacket(bytes);
  p = p->push(3);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::string(static_cast<Print*>(h.Find("p"))->line(p).c_str()),
            "  63 (h" + std::to_string(p->headroom()) + " t" + std::to_string(p->tailroom()) + ")");
  p->release();
}

TEST(PrintTest, AllBytesAnnotationsAndLog) {
  testing_support::StartedLog log(0);
  GraphHarness h;
  ASSERT_TRUE(
      h.Load("src :: TestSource; src -> p :: Print(MAXLENGTH -1, PRINTANNO true) -> "
             "Discard;"))
      << h.messages();
  std::vector<uint8_t> bytes(100, 0xAB);
  Packet* p = MakePacket(bytes);
  p->set_anno_u8(255, 0x5C);
  const std::string line = static_cast<Print*>(h.Find("p"))->line(p).c_str();
  EXPECT_EQ(line.substr(0, 7), " 100 | ");
  EXPECT_EQ(line.substr(7, 512), std::string(510, '0') + "5c");
  EXPECT_EQ(line.substr(519 + 3), [] {
    std::string s;
    for (int i = 0; i < 25; ++i) s += (i ? " " : "") + std::string("abababab");
    return s;
  }());
  h.Push("src", p);
  EXPECT_NE(log.text().find(" 100 | 00000000"), std::string::npos);
  EXPECT_FALSE(h.Load("src :: TestSource; src -> Print(CONTENTS zebra) -> Discard;"));
  EXPECT_NE(h.messages().find("bad contents value 'zebra'"), std::string::npos);
}

}  // namespace
