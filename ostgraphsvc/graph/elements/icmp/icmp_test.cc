#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/icmp/icmprewriter.h"
#include "ostgraphsvc/graph/elements/ip/checksum.h"
#include "tests/support/graph_harness.h"
#include "tests/support/started_log.h"

namespace {

using testing_support::BuildIPv4;
using testing_support::ChecksumsValid;
using testing_support::FakeClock;
using testing_support::GraphHarness;
using testing_support::MakePacket;
using testing_support::PacketSpec;
using testing_support::PacketTuple;
using testing_support::TupleOf;

constexpr char kPingPattern[] = "pattern 10.0.0.5 - 0-65535# 0 1";
constexpr char kPortPattern[] = "pattern 10.0.0.5 59500-60000 - - 0 1";

std::vector<uint8_t> EchoBytes(uint8_t type, const std::string& src, const std::string& dst,
                               uint16_t id, size_t payload = 4) {
  PacketSpec shape;
  shape.protocol = 1;
  shape.icmp_type = type;
  shape.icmp_id = id;
  shape.src = src;
  shape.dst = dst;
  shape.payload = payload;
  return BuildIPv4(shape);
}

std::vector<uint8_t> PortBytes(uint8_t protocol, const std::string& src, uint16_t sport,
                               const std::string& dst, uint16_t dport) {
  PacketSpec shape;
  shape.protocol = protocol;
  shape.src = src;
  shape.sport = sport;
  shape.dst = dst;
  shape.dport = dport;
  shape.payload = 4;
  return BuildIPv4(shape);
}

// An ICMP error from `src` to `dst` quoting `quoted` (all of it when
// `quote_length` is 0), every checksum computed.
std::vector<uint8_t> ErrorBytes(uint8_t type, const std::string& src, const std::string& dst,
                                const std::vector<uint8_t>& quoted, size_t quote_length = 0) {
  if (quote_length == 0 || quote_length > quoted.size()) quote_length = quoted.size();
  PacketSpec shape;
  shape.protocol = 1;
  shape.icmp_type = type;
  shape.icmp_id = 0;
  shape.src = src;
  shape.dst = dst;
  shape.payload = quote_length;
  std::vector<uint8_t> b = BuildIPv4(shape);
  b[21] = type == 3 ? 3 : 0;  // code: port unreachable
  std::memset(&b[24], 0, 4);
  std::memcpy(&b[28], quoted.data(), quote_length);
  EXPECT_TRUE(recompute_checksums(b.data(), static_cast<uint32_t>(b.size())));
  return b;
}

uint16_t EchoId(const Packet* p) {
  const unsigned char* ip = p->data();
  const size_t ihl = (ip[0] & 0x0F) * 4u;
  return static_cast<uint16_t>(ip[ihl + 4] << 8 | ip[ihl + 5]);
}

// The packet quoted by the ICMP error `p` (whole), as its own packet.
std::vector<uint8_t> Quoted(const Packet* p) {
  const unsigned char* d = p->data();
  return std::vector<uint8_t>(d + 28, d + p->length());
}

// Outbound traffic enters on out (-> rewriters' input 0), answers on in
// (input 1), errors on err (the ICMP rewriter).
std::string NatGraph(const std::string& icmp_outputs, const std::string& maps,
                     const std::string& ping_in = kPingPattern) {
  return "out_udp :: TestSource; in_udp :: TestSource; out_ping :: TestSource;\n"
         "in_ping :: TestSource; err :: TestSource; sink :: TestSink; esink :: TestSink;\n"
         "iprw :: IPRewriter(" +
         std::string(kPortPattern) + ", drop, GUARANTEE 0);\n" + "icmprw :: ICMPPingRewriter(" +
         ping_in + ", drop, GUARANTEE 0);\n" + "icmperr :: ICMPRewriter(" + maps + ");\n" +
         "out_udp -> [0]iprw; in_udp -> [1]iprw; iprw[0] -> [0]sink; iprw[1] -> [1]sink;\n"
         "out_ping -> [0]icmprw; in_ping -> [1]icmprw; icmprw[0] -> [2]sink; "
         "icmprw[1] -> [3]sink;\n"
         "err -> icmperr;\n" +
         icmp_outputs;
}

class ICMPRewritersTest : public ::testing::Test {
 protected:
  void Load(const std::string& text) { ASSERT_TRUE(h.Load(text)) << h.messages(); }
  Packet* Through(const std::string& source, std::vector<uint8_t> bytes, const std::string& sink,
                  int port) {
    h.Push(source, MakePacket(bytes));
    Packet* p = h.Take(sink, port);
    if (p == nullptr) return nullptr;
    std::string why;
    EXPECT_TRUE(ChecksumsValid(p, &why)) << why;
    return p;
  }

  FakeClock clock{1000000};
  GraphHarness h;
};

TEST_F(ICMPRewritersTest, EchoTranslatesBothWaysWithFirstFreeIdentifier) {
  Load(NatGraph("icmperr -> [0]esink;\n", "iprw icmprw"));
  Packet* p = Through("out_ping", EchoBytes(8, "192.168.1.2", "192.0.2.1", 0x1234), "sink", 2);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(TupleOf(p).src, "10.0.0.5");
  EXPECT_EQ(EchoId(p), 0);
  p->release();
  // A second inside host gets the next identifier of the range.
  p = Through("out_ping", EchoBytes(8, "192.168.1.3", "192.0.2.1", 0x1234), "sink", 2);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(EchoId(p), 1);
  p->release();

  p = Through("in_ping", EchoBytes(0, "192.0.2.1", "10.0.0.5", 0), "sink", 3);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(TupleOf(p), (PacketTuple{"192.0.2.1", 0, "192.168.1.2", 0}));
  EXPECT_EQ(EchoId(p), 0x1234);
  IPAddress anno = p->dst_ip_anno();
  EXPECT_EQ(testing_support::Dotted(anno.addr()), "192.168.1.2");
  p->release();

  // A reply no request made is dropped on a drop input.
  h.Push("in_ping", MakePacket(EchoBytes(0, "192.0.2.1", "10.0.0.5", 77)));
  EXPECT_EQ(h.Count("sink"), 0u);

  EXPECT_EQ(h.Read("icmprw", "size"), "2");
  const std::string table = h.Read("icmprw", "table");
  // Reply rows show their key's source-port field: the companion (stored
  // identifier + 1) of the translated identifier.
  EXPECT_NE(table.find("(192.168.1.2, 192.0.2.1, 4660)=> (10.0.0.5, 192.0.2.1, 0) [*0 1] i0 "
                       "exp 300\n"),
            std::string::npos)
      << table;
  EXPECT_NE(table.find("(192.0.2.1, 10.0.0.5, 256)=> (192.0.2.1, 192.168.1.2, 4916) [0 *1] i0 "
                       "exp 300\n"),
            std::string::npos)
      << table;
}

TEST_F(ICMPRewritersTest, NochangeInputPassesWhatItCannotMap) {
  Load(NatGraph("icmperr -> [0]esink;\n", "iprw icmprw", "nochange 1"));
  Packet* p = Through("out_ping", EchoBytes(0, "192.168.1.2", "192.0.2.1", 5), "sink", 3);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(TupleOf(p).src, "192.168.1.2");
  p->release();
  p = Through("out_ping", EchoBytes(13, "192.168.1.2", "192.0.2.1", 5), "sink", 3);
  ASSERT_NE(p, nullptr);
  p->release();
  EXPECT_EQ(h.Read("icmprw", "size"), "0");
}

// A reply translated back to an all-zero message must carry 0xFFFF, the
// sum a full computation gives, not the ambiguous 0.
TEST_F(ICMPRewritersTest, AllZeroEchoGetsFFFFChecksum) {
  Load(NatGraph("icmperr -> [0]esink;\n", "iprw icmprw", "pattern 10.0.0.5 - 100-200# 0 1"));
  Packet* p = Through("out_ping", EchoBytes(8, "192.168.1.2", "192.0.2.1", 0, 0), "sink", 2);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(EchoId(p), 100);
  p->release();
  std::vector<uint8_t> reply = EchoBytes(0, "192.0.2.1", "10.0.0.5", 100, 0);
  reply[26] = reply[27] = 0;  // sequence 0
  ASSERT_TRUE(recompute_checksums(reply.data(), static_cast<uint32_t>(reply.size())));
  p = Through("in_ping", reply, "sink", 3);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data()[22], 0xFF);
  EXPECT_EQ(p->data()[23], 0xFF);
  p->release();
}

TEST_F(ICMPRewritersTest, FlushAnnotationRemapsAndLogs) {
  testing_support::StartedLog log(0);
  Load(NatGraph("icmperr -> [0]esink;\n", "iprw icmprw"));
  h.Push("out_ping", MakePacket(EchoBytes(8, "192.168.1.2", "192.0.2.1", 9)));
  Packet* p = MakePacket(EchoBytes(8, "192.168.1.2", "192.0.2.1", 9));
  p->set_nat_flush_anno(1);
  char line[80];
  std::snprintf(line, sizeof line, "ICMPPingRW: NAT flush set for packet p=%p",
                static_cast<void*>(p));
  h.Push("out_ping", p);
  ASSERT_EQ(h.Received("sink", 2).size(), 2u);
  EXPECT_EQ(EchoId(h.Received("sink", 2)[1]), 1);
  EXPECT_NE(log.text().find(line), std::string::npos) << log.text();
}

// Errors about translated UDP, TCP and echo flows reach the inside host
// showing the inside address, port or identifier; every checksum (outer and
// quoted) verified by full recomputation.
TEST_F(ICMPRewritersTest, ErrorsAboutTranslatedFlowsAreRepaired) {
  Load(NatGraph("icmperr[0] -> [0]esink; icmperr[1] -> [1]esink; icmperr[2] -> [2]esink;\n",
                "MAPS iprw:0 icmprw"));
  struct Case {
    const char* name;
    std::vector<uint8_t> inside;
    const char* out_source;
    int out_port;
    uint8_t error_type;
    int expect_output;
  };
  const Case cases[] = {
      {"udp", PortBytes(17, "192.168.1.2", 1000, "192.0.2.1", 53), "out_udp", 0, 3, 1},
      {"tcp", PortBytes(6, "192.168.1.2", 2000, "192.0.2.1", 80), "out_udp", 0, 3, 1},
      {"echo", EchoBytes(8, "192.168.1.2", "192.0.2.1", 0x1234), "out_ping", 2, 11, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Packet* out = Through(c.out_source, c.inside, "sink", c.out_port);
    ASSERT_NE(out, nullptr);
    std::vector<uint8_t> translated(out->data(), out->data() + out->length());
    out->release();
    Packet* p = Through("err", ErrorBytes(c.error_type, "198.51.100.1", "10.0.0.5", translated),
                        "esink", c.expect_output);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(TupleOf(p).dst, "192.168.1.2");
    EXPECT_EQ(testing_support::Dotted(p->dst_ip_anno().addr()), "192.168.1.2");
    const std::vector<uint8_t> quoted = Quoted(p);
    p->release();
    EXPECT_EQ(quoted, c.inside);
    Packet* q = MakePacket(quoted);
    std::string why;
    EXPECT_TRUE(ChecksumsValid(q, &why)) << why;
    q->release();
  }
}

// A quote cut to the IP header and 8 bytes still has its ports repaired;
// the UDP "no checksum" 0 stays 0.
TEST_F(ICMPRewritersTest, ShortQuotesAndUdpWithoutChecksum) {
  Load(NatGraph("icmperr -> [0]esink;\n", "iprw icmprw"));
  PacketSpec shape;
  shape.protocol = 17;
  shape.src = "192.168.1.2";
  shape.sport = 1000;
  shape.dst = "192.0.2.1";
  shape.dport = 53;
  shape.udp_no_checksum = true;
  Packet* out = Through("out_udp", BuildIPv4(shape), "sink", 0);
  ASSERT_NE(out, nullptr);
  EXPECT_GE(TupleOf(out).sport, 59500);
  std::vector<uint8_t> translated(out->data(), out->data() + out->length());
  out->release();
  // No offset: output 0.
  Packet* p = Through("err", ErrorBytes(3, "192.0.2.1", "10.0.0.5", translated, 28), "esink", 0);
  ASSERT_NE(p, nullptr);
  const std::vector<uint8_t> quoted = Quoted(p);
  p->release();
  ASSERT_EQ(quoted.size(), 28u);
  EXPECT_EQ(quoted[20] << 8 | quoted[21], 1000);
  EXPECT_EQ(quoted[26], 0);
  EXPECT_EQ(quoted[27], 0);
}

// Errors that cannot be repaired go to the drop output: the last of two or
// more, or freed with one output.
TEST_F(ICMPRewritersTest, UnrepairableErrorsTakeTheDropOutput) {
  const std::vector<uint8_t> udp = PortBytes(17, "10.0.0.5", 59500, "192.0.2.1", 53);
  std::vector<uint8_t> not_ipv4 = udp;
  not_ipv4[0] = 0x65;
  std::vector<uint8_t> short_header = udp;
  short_header[0] = 0x44;
  struct Case {
    const char* name;
    std::vector<uint8_t> packet;
  };
  const Case cases[] = {
      {"type 8", ErrorBytes(8, "192.0.2.1", "10.0.0.5", udp)},
      {"27 bytes", ErrorBytes(3, "192.0.2.1", "10.0.0.5", udp, 27)},
      {"not ipv4", ErrorBytes(3, "192.0.2.1", "10.0.0.5", not_ipv4)},
      {"header length 16", ErrorBytes(3, "192.0.2.1", "10.0.0.5", short_header)},
      {"unknown flow", ErrorBytes(3, "192.0.2.1", "10.0.0.5", udp)},
      {"cut after ip header",
       [&] {
         std::vector<uint8_t> b = ErrorBytes(3, "192.0.2.1", "10.0.0.5", udp);
         b.resize(20);
         return b;
       }()},
  };
  for (int outputs : {1, 3}) {
    std::string wiring = outputs == 1 ? "icmperr -> [0]esink;\n"
                                      : "icmperr[0] -> [0]esink; icmperr[1] -> [1]esink; "
                                        "icmperr[2] -> [2]esink;\n";
    ASSERT_TRUE(h.Load(NatGraph(wiring, "iprw icmprw"))) << h.messages();
    EXPECT_EQ(static_cast<ICMPRewriter*>(h.Find("icmperr"))->drop_output(), outputs == 1 ? -1 : 2);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " outputs " + std::to_string(outputs));
      h.Push("err", MakePacket(c.packet));
      const bool kept = outputs == 3;
      EXPECT_EQ(h.Received("esink", 2).size(), kept ? 1u : 0u);
      EXPECT_EQ(h.Count("esink"), kept ? 1u : 0u);
      while (Packet* p = h.Take("esink", 2)) p->release();
    }
  }
}

TEST(ICMPRewriterConfigTest, Errors) {
  struct Case {
    const char* maps;
    const char* message;
  };
  const Case cases[] = {
      {"nosuch", "nosuch not an IP rewriter"},
      {"sink", "sink not an IP rewriter"},
      {"iprw:x", "iprw:x not an IP rewriter"},
      {"iprw:2", "iprw:2 port offset requires more than 3 outputs"},
      {"\"\"", "no IP rewriters supplied"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.maps);
    GraphHarness h;
    EXPECT_FALSE(
        h.Load(NatGraph("icmperr[0] -> [0]esink; icmperr[1] -> [1]esink; "
                        "icmperr[2] -> [2]esink;\n",
                        c.maps)));
    EXPECT_NE(h.messages().find(c.message), std::string::npos) << h.messages();
  }
  GraphHarness h;
  EXPECT_FALSE(h.Load(NatGraph("icmperr -> [0]esink;\n", "iprw:0")));
  EXPECT_NE(h.messages().find("iprw:0 port offset requires more than 1 output"), std::string::npos)
      << h.messages();
}

}  // namespace
