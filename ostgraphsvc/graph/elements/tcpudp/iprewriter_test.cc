#include "ostgraphsvc/graph/elements/tcpudp/iprewriter.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "graph/framework_static.h"
#include "graph/lexer.h"
#include "graph/packet.h"
#include "tests/support/graph_harness.h"
#include "tests/support/started_log.h"
#include "tests/support/source_dir.h"

namespace {

using testing_support::BuildIPv4;
using testing_support::ChecksumsValid;
using testing_support::FakeClock;
using testing_support::GraphHarness;
using testing_support::MakePacket;
using testing_support::PacketSpec;
using testing_support::PacketTuple;
using testing_support::TupleOf;

constexpr uint8_t kSyn = 0x02, kFin = 0x01, kRst = 0x04, kAck = 0x10;

// Two inputs: 0 outbound, 1 inbound replies; outputs likewise.
std::string Graph(const std::string& config) {
  return "src0 :: TestSource; src1 :: TestSource; sink :: TestSink;\n"
         "rw :: IPRewriter(" +
         config +
         ");\n"
         "src0 -> [0]rw; src1 -> [1]rw; rw[0] -> [0]sink; rw[1] -> [1]sink;\n";
}

Packet* Tcp(const std::string& src, uint16_t sport, const std::string& dst, uint16_t dport,
            uint8_t flags = kSyn, size_t payload = 0) {
  PacketSpec shape;
  shape.src = src;
  shape.sport = sport;
  shape.dst = dst;
  shape.dport = dport;
  shape.tcp_flags = flags;
  shape.payload = payload;
  return MakePacket(BuildIPv4(shape));
}

Packet* Udp(const std::string& src, uint16_t sport, const std::string& dst, uint16_t dport,
            size_t payload = 4) {
  PacketSpec shape;
  shape.protocol = 17;
  shape.src = src;
  shape.sport = sport;
  shape.dst = dst;
  shape.dport = dport;
  shape.payload = payload;
  return MakePacket(BuildIPv4(shape));
}

// The packet that answers `out`, of the same protocol.
Packet* Answer(const PacketTuple& out, uint8_t protocol, uint8_t flags = kSyn | kAck,
               size_t payload = 0) {
  if (protocol == 17) return Udp(out.dst, out.dport, out.src, out.sport, payload);
  return Tcp(out.dst, out.dport, out.src, out.sport, flags, payload);
}

class IPRewriterTest : public ::testing::Test {
 protected:
  void Load(const std::string& config) {
    ASSERT_TRUE(h.Load(Graph(config))) << h.messages();
    rw = static_cast<IPRewriter*>(h.Find("rw"));
  }
  // Pushes on input `input` and takes what left on `output` (null if none).
  PacketTuple Through(Packet* p, int input, int output, bool* arrived = nullptr) {
    h.Push(input == 0 ? "src0" : "src1", p);
    Packet* out = h.Take("sink", output);
    if (arrived != nullptr) *arrived = out != nullptr;
    if (out == nullptr) return {};
    std::string why;
    EXPECT_TRUE(ChecksumsValid(out, &why)) << why;
    PacketTuple t = TupleOf(out);
    out->release();
    return t;
  }
  std::string Read(const char* handler, const std::string& param = "") {
    return h.Read("rw", handler, param);
  }
  int ReadInt(const char* handler) { return std::stoi(Read(handler)); }

  FakeClock clock{1000000};
  GraphHarness h;
  IPRewriter* rw = nullptr;
};

// A SYN leaves translated by the pattern, keeps its own port when free
// (same first), and its answer comes back translated on output 1.
TEST_F(IPRewriterTest, TranslatesAFlowBothWays) {
  Load("pattern 10.0.0.1 59500-60000 - - 0 1, drop, GUARANTEE 0");
  PacketTuple out = Through(Tcp("10.0.0.2", 59510, "192.0.2.1", 80), 0, 0);
  EXPECT_EQ(out, (PacketTuple{"10.0.0.1", 59510, "192.0.2.1", 80}));
  PacketTuple back = Through(Answer(out, 6), 1, 1);
  EXPECT_EQ(back, (PacketTuple{"192.0.2.1", 80, "10.0.0.2", 59510}));

  // Another host, same port and destination: another port of the range.
  PacketTuple second = Through(Tcp("10.0.0.3", 59510, "192.0.2.1", 80), 0, 0);
  EXPECT_EQ(second.src, "10.0.0.1");
  EXPECT_NE(second.sport, 59510);
  EXPECT_GE(second.sport, 59500);
  EXPECT_LE(second.sport, 60000);
  EXPECT_EQ(Through(Answer(second, 6), 1, 1), (PacketTuple{"192.0.2.1", 80, "10.0.0.3", 59510}));

  EXPECT_EQ(Read("table_size"), "2");
  EXPECT_EQ(Read("size"), "2");
  EXPECT_EQ(Read("patterns"), "10.0.0.1 59500-60000 - - [2]\n<drop>\n");
  EXPECT_EQ(Read("pattern1"), "<drop>\n");
  EXPECT_EQ(Read("gc_interval"), "900");
  EXPECT_EQ(Read("capacity"), "2147483647");

  // A reply that matches no flow is dropped on the "drop" input.
  bool arrived = true;
  Through(Tcp("192.0.2.1", 80, "10.0.0.1", 59999), 1, 1, &arrived);
  EXPECT_FALSE(arrived);
  EXPECT_EQ(Read("table_size"), "2");
}

TEST_F(IPRewriterTest, TableLookupAndClear) {
  Load("pattern 10.0.0.1 59500-60000 - - 0 1, drop, GUARANTEE 0");
  Through(Tcp("10.0.0.2", 59510, "192.0.2.1", 80), 0, 0);
  clock.advance_sec(10);
  const std::string forward =
      "(10.0.0.2, 59510, 192.0.2.1, 80) => (10.0.0.1, 59510, 192.0.2.1, 80)";
  const std::string reply = "(192.0.2.1, 80, 10.0.0.1, 59510) => (192.0.2.1, 80, 10.0.0.2, 59510)";
  const std::string table = Read("tcp_table");
  std::multiset<std::string> rows;
  std::istringstream lines(table);
  for (std::string line; std::getline(lines, line);) rows.insert(line);
  EXPECT_EQ(rows, (std::multiset<std::string>{forward + " [*0 1] i0 exp 290",
                                              reply + " [0 *1] i0 exp 290"}))
      << table;
  EXPECT_EQ(Read("tcp_mappings"), table);
  EXPECT_EQ(Read("udp_table"), "");
  EXPECT_EQ(Read("tcp_lookup", "10.0.0.2, 59510, 192.0.2.1, 80"), "10.0.0.1 59510 192.0.2.1 80");
  EXPECT_EQ(Read("tcp_lookup", "SADDR 192.0.2.1, SPORT 80, DADDR 10.0.0.1, DPORT 59510"),
            "192.0.2.1 80 10.0.0.2 59510");
  EXPECT_EQ(Read("tcp_lookup", "10.0.0.2, 1, 192.0.2.1, 80"), "");

  // The low-level lookup: a hit gives the rewritten tuple, a miss -11.
  FlowTuple tuple(IPAddress(inet_addr("10.0.0.2")), IPAddress(inet_addr("192.0.2.1")), htons(59510),
                  htons(80));
  ASSERT_EQ(rw->low_level_call(kRewriteLookupTCP, &tuple), 0);
  EXPECT_EQ(tuple, FlowTuple(IPAddress(inet_addr("10.0.0.1")), IPAddress(inet_addr("192.0.2.1")),
                             htons(59510), htons(80)));
  FlowTuple unknown(IPAddress(inet_addr("10.0.0.9")), IPAddress(inet_addr("192.0.2.1")), htons(1),
                    htons(80));
  const FlowTuple before = unknown;
  EXPECT_EQ(rw->low_level_call(kRewriteLookupTCP, &unknown), -11);
  EXPECT_EQ(rw->low_level_call(kRewriteLookupUDP, &unknown), -11);
  EXPECT_EQ(unknown, before);
  EXPECT_EQ(rw->low_level_call(0xC00C400A, &unknown), -22);

  EXPECT_EQ(h.Write("rw", "clear", ""), 0);
  EXPECT_EQ(Read("size"), "0");
  EXPECT_EQ(Read("patterns"), "10.0.0.1 59500-60000 - -\n<drop>\n");
  EXPECT_EQ(Read("tcp_table"), "");
  EXPECT_EQ(rw->low_level_call(kRewriteLookupTCP, &tuple), -11);
}

TEST_F(IPRewriterTest, AllocationLimits) {
  // 501 ports toward one destination; the 502nd flow is refused.
  Load("pattern 10.0.0.1 59500-60000 - - 0 1, drop, GUARANTEE 0");
  std::set<uint16_t> ports;
  for (int i = 0; i < 501; ++i)
    ports.insert(
        Through(Tcp("10.0.0.2", static_cast<uint16_t>(1000 + i), "192.0.2.1", 80), 0, 0).sport);
  EXPECT_EQ(ports.size(), 501u);
  EXPECT_EQ(*ports.begin(), 59500);
  EXPECT_EQ(*ports.rbegin(), 60000);
  bool arrived = true;
  Through(Tcp("10.0.0.2", 2000, "192.0.2.1", 80), 0, 0, &arrived);
  EXPECT_FALSE(arrived);
  EXPECT_EQ(Read("mapping_failures"), "1");
  EXPECT_EQ(Read("table_size"), "501");
  // Another destination has all its ports free.
  EXPECT_EQ(Through(Tcp("10.0.0.2", 2000, "192.0.2.2", 80), 0, 0).src, "10.0.0.1");
}

TEST_F(IPRewriterTest, AddressRangeOfAPrefix) {
  Load("pattern 192.168.1.0/24 - 0 1, drop, GUARANTEE 0");
  // Flows that differ only in their source address need distinct addresses.
  std::set<std::string> addresses;
  for (int i = 1; i <= 254; ++i)
    addresses.insert(Through(Tcp("10.1.0." + std::to_string(i), 1000, "192.0.2.1", 80), 0, 0).src);
  EXPECT_EQ(addresses.size(), 254u);
  EXPECT_EQ(*addresses.begin(), "192.168.1.1");
  EXPECT_EQ(addresses.count("192.168.1.254"), 1u);
  EXPECT_EQ(addresses.count("192.168.1.0"), 0u);
  EXPECT_EQ(addresses.count("192.168.1.255"), 0u);
  bool arrived = true;
  Through(Tcp("10.1.1.1", 1000, "192.0.2.1", 80), 0, 0, &arrived);
  EXPECT_FALSE(arrived);
  EXPECT_EQ(Read("mapping_failures"), "1");
}

// Capacity 2: a third best-effort flow evicts the one expiring first; with
// only guaranteed flows it is refused. GUARANTEE read after TCP_GUARANTEE
// wins.
TEST_F(IPRewriterTest, CapacityEvictsBestEffortAndRefusesOverGuaranteed) {
  struct Case {
    const char* keywords;
    bool evicts;
  };
  for (const Case& c : {Case{"GUARANTEE 0", true}, Case{"TCP_GUARANTEE 0", true}, Case{"", false},
                        Case{"TCP_GUARANTEE 7, GUARANTEE 0", true}}) {
    SCOPED_TRACE(c.keywords);
    Load(std::string("pattern 10.0.0.1 1-65535 - - 0 1, drop, CAPACITY 2, ") + c.keywords);
    Through(Tcp("10.0.0.2", 1001, "192.0.2.1", 80), 0, 0);
    clock.advance_sec(1);
    Through(Tcp("10.0.0.2", 1002, "192.0.2.1", 80), 0, 0);
    clock.advance_sec(1);
    bool arrived = false;
    Through(Tcp("10.0.0.2", 1003, "192.0.2.1", 80), 0, 0, &arrived);
    EXPECT_EQ(arrived, c.evicts);
    EXPECT_EQ(Read("size"), "2");
    EXPECT_EQ(Read("mapping_failures"), c.evicts ? "0" : "1");
    // The oldest went, or the newest was refused.
    EXPECT_EQ(Read("tcp_lookup", "10.0.0.2, 1001, 192.0.2.1, 80").empty(), c.evicts);
    EXPECT_EQ(Read("tcp_lookup", "10.0.0.2, 1003, 192.0.2.1, 80").empty(), !c.evicts);
  }
  EXPECT_EQ(h.Write("rw", "capacity", "1"), 0);
  EXPECT_EQ(Read("size"), "1");
  std::string errors;
  EXPECT_LT(h.Write("rw", "capacity", "lots", &errors), 0);
  EXPECT_NE(errors.find("CAPACITY"), std::string::npos) << errors;
}

// Expired flows stay until a new flow arrives at least REAP_INTERVAL after
// the last reap. The clock starts just before the 32-bit millisecond count
// wraps: times compare by their signed difference.
TEST(IPRewriterReapTest, ReapsLazilyAcrossTheClockWrap) {
  FakeClock clock(0xFFFFFFFFll - 100000);  // wraps 100 s in
  testing_support::StartedLog log(0);
  GraphHarness h;
  ASSERT_TRUE(
      h.Load(Graph("pattern 10.0.0.1 1-65535 - - 0 1, drop, GUARANTEE 0, "
                   "TCP_NODATA_TIMEOUT 300, REAP_INTERVAL 900")))
      << h.messages();
  auto syn = [&h](uint16_t sport) {
    h.Push("src0", Tcp("10.0.0.2", sport, "192.0.2.1", 80));
    return h.Received("sink", 0).size();
  };
  syn(1);
  clock.advance_sec(250);  // past the wrap; the flow has 50 s left
  syn(2);
  EXPECT_EQ(h.Read("rw", "size"), "2");
  EXPECT_EQ(h.Read("rw", "tcp_lookup", "10.0.0.2, 1, 192.0.2.1, 80").empty(), false);
  clock.advance_sec(600);  // both expired, 850 s after start
  syn(3);
  EXPECT_EQ(h.Read("rw", "size"), "3");
  EXPECT_EQ(log.text().find("IPRW:Timer expired. Reap"), std::string::npos);
  clock.advance_sec(50);  // 900 s: the next new flow reaps
  syn(4);
  EXPECT_EQ(h.Read("rw", "size"), "2");
  EXPECT_EQ(h.Read("rw", "tcp_lookup", "10.0.0.2, 1, 192.0.2.1, 80"), "");
  EXPECT_NE(log.text().find("IPRW:Timer expired. Reap"), std::string::npos);
  // Known flows never reap.
  clock.advance_sec(10000);
  syn(4);
  EXPECT_EQ(h.Read("rw", "size"), "2");
}

std::string ExpOf(const std::string& table) {
  const size_t at = table.find(" exp ");
  if (at == std::string::npos) return "";
  return table.substr(at + 5, table.find('\n', at) - at - 5);
}

TEST_F(IPRewriterTest, TcpStatesChooseTimeouts) {
  struct Step {
    bool reply;
    uint8_t flags;
    size_t payload;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    const char* exp;
  };
  const Case cases[] = {
      {"syn", {{false, kSyn, 0}}, "300"},
      {"forward fin", {{false, kSyn, 0}, {false, kFin | kAck, 0}}, "300"},
      {"both fin", {{false, kSyn, 0}, {false, kFin | kAck, 0}, {true, kFin | kAck, 0}}, "240"},
      {"rst", {{false, kSyn, 0}, {true, kRst, 0}}, "240"},
      {"data one way", {{false, kAck, 100}}, "300"},
      {"data both", {{false, kAck, 100}, {true, kAck, 10}}, "86400"},
      {"data both, one fin",
       {{false, kAck, 100}, {true, kAck, 10}, {true, kFin | kAck, 0}},
       "86400"},
      {"data both, both fin",
       {{false, kAck, 100}, {true, kAck, 10}, {true, kFin | kAck, 0}, {false, kFin | kAck, 0}},
       "240"},
  };
  Load("pattern 10.0.0.1 - 0 1, drop, GUARANTEE 0");
  uint16_t sport = 1000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ++sport;
    PacketTuple out;
    for (const Step& s : c.steps) {
      if (!s.reply) {
        out = Through(Tcp("10.0.0.2", sport, "192.0.2.1", 80, s.flags, s.payload), 0, 0);
        continue;
      }
      Through(Answer(out, 6, s.flags, s.payload), 1, 1);
    }
    const std::string table = Read("tcp_table");
    const size_t row = table.find("(10.0.0.2, " + std::to_string(sport) + ",");
    ASSERT_NE(row, std::string::npos) << table;
    EXPECT_EQ(ExpOf(table.substr(row)), c.exp);
  }
}

TEST_F(IPRewriterTest, UdpStreamingAndChecksums) {
  Load(
      "pattern 10.0.0.1 - 0 1, drop, UDP_GUARANTEE 0, UDP_TIMEOUT 30, "
      "UDP_STREAMING_TIMEOUT 600");
  PacketTuple out;
  for (int i = 0; i < 3; ++i) out = Through(Udp("10.0.0.2", 5000, "192.0.2.1", 53), 0, 0);
  EXPECT_EQ(out, (PacketTuple{"10.0.0.1", 5000, "192.0.2.1", 53}));
  EXPECT_EQ(ExpOf(Read("udp_table")), "30");
  EXPECT_EQ(Through(Answer(out, 17), 1, 1), (PacketTuple{"192.0.2.1", 53, "10.0.0.2", 5000}));
  EXPECT_EQ(ExpOf(Read("udp_table")), "600");

  // "No checksum" stays so.
  PacketSpec shape;
  shape.protocol = 17;
  shape.sport = 5001;
  shape.udp_no_checksum = true;
  h.Push("src0", MakePacket(BuildIPv4(shape)));
  Packet* p = h.Take("sink", 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data()[26] | p->data()[27], 0);
  EXPECT_EQ(TupleOf(p).src, "10.0.0.1");
  p->release();

  // A rewritten sum that comes to 0 is sent as 0xFFFF: find the source port
  // whose translated packet has that sum.
  PacketSpec translated = shape;
  translated.udp_no_checksum = false;
  translated.src = "10.0.0.1";
  int port = -1;
  for (int sport = 6000; sport < 65536 && port < 0; ++sport) {
    translated.sport = static_cast<uint16_t>(sport);
    std::vector<uint8_t> b = BuildIPv4(translated);
    if (b[26] == 0xFF && b[27] == 0xFF) port = sport;
  }
  ASSERT_GT(port, 0);
  shape.udp_no_checksum = false;
  shape.sport = static_cast<uint16_t>(port);
  h.Push("src0", MakePacket(BuildIPv4(shape)));
  p = h.Take("sink", 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data()[26], 0xFF);
  EXPECT_EQ(p->data()[27], 0xFF);
  std::string why;
  EXPECT_TRUE(ChecksumsValid(p, &why)) << why;
  p->release();
}

TEST_F(IPRewriterTest, OtherProtocolsFragmentsAndRunts) {
  Load("pattern 10.0.0.1 - 0 1, nochange 1, GUARANTEE 0");
  PacketSpec icmp;
  icmp.protocol = 1;
  PacketSpec fragment;
  fragment.protocol = 17;
  fragment.fragment_offset = 3;
  fragment.payload = 16;
  PacketSpec runt;
  runt.truncate = 27;  // 7 bytes of TCP
  PacketSpec options;  // the TCP header found through the header's own length
  options.ip_options = 8;
  for (const PacketSpec* shape : {&icmp, &fragment, &runt}) {
    const std::vector<uint8_t> bytes = BuildIPv4(*shape);
    bool arrived = true;
    Through(MakePacket(bytes), 0, 0, &arrived);
    EXPECT_FALSE(arrived) << "pattern input drops what it cannot map";
    h.Push("src1", MakePacket(bytes));
    Packet* p = h.Take("sink", 1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(p->data(), p->end_data()), bytes) << "nochange passes it as is";
    p->release();
  }
  EXPECT_EQ(Read("size"), "0");
  EXPECT_EQ(Through(MakePacket(BuildIPv4(options)), 0, 0).src, "10.0.0.1");

  // No network header, or one that does not fit: another protocol.
  Packet* p = MakePacket(BuildIPv4(PacketSpec{}));
  p->set_network_header(nullptr, 0);
  bool arrived = true;
  Through(p, 0, 0, &arrived);
  EXPECT_FALSE(arrived);
  p = MakePacket(BuildIPv4(PacketSpec{}));
  p->set_network_header(p->end_data() - 10, 0);
  Through(p, 0, 0, &arrived);
  EXPECT_FALSE(arrived);
}

TEST_F(IPRewriterTest, Annotations) {
  Load("pattern 10.0.0.1 - 0 1, drop, GUARANTEE 0, REPLY_ANNO PAINT");
  Packet* p = Tcp("10.0.0.2", 1000, "192.0.2.1", 80);
  p->set_paint_anno(9);
  h.Push("src0", p);
  p = h.Take("sink", 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->dst_ip_anno(), IPAddress(inet_addr("192.0.2.1")));
  const PacketTuple out = TupleOf(p);
  p->release();
  p = Answer(out, 6);
  p->set_paint_anno(1);
  h.Push("src1", p);
  p = h.Take("sink", 1);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->paint_anno(), 9) << "the forward packet's byte comes back on replies";
  EXPECT_EQ(p->dst_ip_anno(), IPAddress(inet_addr("10.0.0.2")));
  p->release();

  Load("pattern 10.0.0.1 - 0 1, drop, DST_ANNO false");
  p = Tcp("10.0.0.2", 1000, "192.0.2.1", 80);
  p->set_dst_ip_anno(IPAddress(inet_addr("203.0.113.5")));
  h.Push("src0", p);
  p = h.Take("sink", 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->dst_ip_anno(), IPAddress(inet_addr("203.0.113.5")));
  p->release();
}

// A new flow whose reply key is another flow's destroys that flow.
TEST_F(IPRewriterTest, ReplyKeyCollisionDestroysTheOtherFlow) {
  Load("keep 0 1, pattern 10.0.0.2 1000 192.0.2.1 80 0 1, GUARANTEE 0");
  Through(Tcp("10.0.0.2", 1000, "192.0.2.1", 80), 0, 0);
  EXPECT_EQ(Read("tcp_lookup", "10.0.0.2, 1000, 192.0.2.1, 80"), "10.0.0.2 1000 192.0.2.1 80");
  // Rewritten to the same tuple: its reply key is the first flow's.
  EXPECT_EQ(Through(Tcp("172.16.0.5", 7777, "198.51.100.8", 443), 1, 0),
            (PacketTuple{"10.0.0.2", 1000, "192.0.2.1", 80}));
  EXPECT_EQ(Read("size"), "1");
  EXPECT_EQ(Read("patterns"), "<keep>\n10.0.0.2 1000 192.0.2.1 80 [1]\n");
  EXPECT_EQ(Read("tcp_lookup", "10.0.0.2, 1000, 192.0.2.1, 80"), "");
  // The reply reaches the second flow's sender.
  EXPECT_EQ(Through(Tcp("192.0.2.1", 80, "10.0.0.2", 1000), 1, 1),
            (PacketTuple{"198.51.100.8", 443, "172.16.0.5", 7777}));

  // A tuple that is its own reverse cannot have both entries in one map:
  // refused, not stored half.
  bool arrived = true;
  Through(Tcp("10.0.0.9", 7, "10.0.0.9", 7), 0, 0, &arrived);
  EXPECT_FALSE(arrived);
  EXPECT_EQ(Read("size"), "1");
  EXPECT_EQ(Read("mapping_failures"), "1");
  EXPECT_EQ(h.Write("rw", "clear", ""), 0);
}

TEST_F(IPRewriterTest, PatternHandlerReplacesTheSpec) {
  Load("pattern 10.0.0.1 - 0 1, drop, GUARANTEE 0");
  Through(Tcp("10.0.0.2", 1000, "192.0.2.1", 80), 0, 0);
  std::string errors;
  EXPECT_LT(h.Write("rw", "pattern0", "pattern 10.0.0 - 0 1", &errors), 0);
  EXPECT_EQ(errors, "input spec 0: bad source address\n");
  EXPECT_EQ(Read("pattern0"), "10.0.0.1 - [1]\n");
  EXPECT_EQ(h.Write("rw", "pattern0", "pattern 10.0.0.7 - 0 1"), 0);
  EXPECT_EQ(Read("pattern0"), "10.0.0.7 -\n");
  EXPECT_EQ(Read("size"), "0");
  EXPECT_EQ(Through(Tcp("10.0.0.2", 1000, "192.0.2.1", 80), 0, 0).src, "10.0.0.7");
}

// Two rewriters share one store: a flow of one evicts the other's.
TEST(IPRewriterSharedTest, SharedCapacity) {
  FakeClock clock;
  GraphHarness h;
  ASSERT_TRUE(
      h.Load("a :: TestSource; b :: TestSource; sink :: TestSink;\n"
             "rw1 :: IPRewriter(pattern 10.0.0.1 - 0 0, CAPACITY 1, GUARANTEE 0);\n"
             "rw2 :: IPRewriter(pattern 10.0.0.2 - 0 0, CAPACITY rw1, GUARANTEE 0);\n"
             "a -> rw1 -> [0]sink; b -> rw2 -> [1]sink;\n"))
      << h.messages();
  h.Push("a", Tcp("10.9.0.1", 1000, "192.0.2.1", 80));
  EXPECT_EQ(h.Read("rw1", "size"), "1");
  clock.advance_sec(1);
  h.Push("b", Tcp("10.9.0.1", 1000, "192.0.2.1", 80));
  EXPECT_EQ(h.Read("rw2", "size"), "1");
  EXPECT_EQ(h.Read("rw1", "table_size"), "0");
  EXPECT_EQ(h.Read("rw2", "table_size"), "1");
  EXPECT_EQ(h.Read("rw2", "capacity"), "1");
  EXPECT_EQ(h.Count("sink"), 2u);
}

// CAPACITY and MAPPING_CAPACITY name one setting: the later one wins.
TEST(IPRewriterConfigTest, LaterCapacityKeywordWins) {
  const std::pair<std::string, std::string> cases[] = {
      {"drop, drop, CAPACITY 5, MAPPING_CAPACITY 7", "7"},
      {"drop, drop, MAPPING_CAPACITY 7, CAPACITY 5", "5"},
      {"drop, drop, CAPACITY 5", "5"},
      {"drop, drop, MAPPING_CAPACITY 7", "7"},
  };
  FakeClock clock;
  GraphHarness h;
  for (const auto& [config, capacity] : cases) {
    ASSERT_TRUE(h.Load(Graph(config))) << config << "\n" << h.messages();
    EXPECT_EQ(h.Read("rw", "capacity"), capacity) << config;
  }
}

TEST(IPRewriterConfigTest, Errors) {
  const std::pair<std::string, std::string> cases[] = {
      {"drop", "need 2 arguments, one per input port"},
      {"drop, drop, CAPACITY sink", "bad MAPPING_CAPACITY"},
      {"drop, drop, MAPPING_CAPACITY -3", "bad MAPPING_CAPACITY"},
      {"drop x, drop", "input spec 0: syntax error, expected 'drop'"},
      {"\"\", drop", "input spec 0: empty argument"},
      {"drop, nosuch", "input spec 1: unknown specification"},
      {"drop, sink", "input spec 1: element is not an IPMapper"},
      {"drop, sink extra", "input spec 1: syntax error, expected element name"},
      {"drop, nochange 2", "input spec 1: output port out of range"},
      {"drop, nochange x", "input spec 1: invalid number"},
      {"drop, nochange 1 2", "input spec 1: syntax error, expected 'nochange [OUTPUT]'"},
      {"pattern 10.0.0.1 - 0 2, drop", "input spec 0: output port out of range"},
      {"keep 0, drop", "input spec 0: syntax error"},
      {"keep 0 x, drop", "input spec 0: bad reply port"},
      {"pattern 10.0.0.1 - 0 1, pattern bogus 0 1", "input spec 1: no such pattern 'bogus'"},
      {"drop, drop, TCP_TIMEOUT 3000000", "TCP_TIMEOUT: out of range"},
  };
  FakeClock clock;
  GraphHarness h;
  for (const auto& [config, message] : cases) {
    EXPECT_FALSE(h.Load(Graph(config))) << config;
    EXPECT_NE(h.messages().find(message), std::string::npos) << config << "\n" << h.messages();
  }
}

// Random flows through a pattern; answers built from the translated
// packets come back through input 1 to their senders, and every checksum
// matches a full recomputation.
TEST_F(IPRewriterTest, RandomFlowsRoundTrip) {
  Load("pattern 10.0.0.1 20000-40000? - - 0 1, drop, GUARANTEE 0");
  std::mt19937 random(29);
  for (int i = 0; i < 400; ++i) {
    PacketSpec shape;
    shape.protocol = random() % 2 ? 6 : 17;
    shape.src = "10.1." + std::to_string(random() % 4) + "." + std::to_string(1 + random() % 250);
    shape.dst = "198.51." + std::to_string(random() % 100) + "." + std::to_string(random() % 256);
    shape.sport = static_cast<uint16_t>(1 + random() % 65535);
    shape.dport = static_cast<uint16_t>(1 + random() % 65535);
    shape.tcp_flags = static_cast<uint8_t>(random() % 64);
    shape.payload = random() % 200;
    shape.ip_options = 4 * (random() % 3);
    shape.udp_no_checksum = random() % 8 == 0;
    const PacketTuple sent{shape.src, shape.sport, shape.dst, shape.dport};
    const PacketTuple out = Through(MakePacket(BuildIPv4(shape)), 0, 0);
    ASSERT_EQ(out.src, "10.0.0.1") << i;
    ASSERT_EQ(out.dst, sent.dst);
    ASSERT_EQ(out.dport, sent.dport);
    shape.src = out.dst;
    shape.sport = out.dport;
    shape.dst = out.src;
    shape.dport = out.sport;
    shape.payload = random() % 100;
    EXPECT_EQ(Through(MakePacket(BuildIPv4(shape)), 1, 1),
              (PacketTuple{sent.dst, sent.dport, sent.src, sent.sport}))
        << i;
  }
  EXPECT_EQ(h.Count("sink"), 0u);
}

// NAT flush and the flow log lines, through a mapper element.
class TestMapper : public Element, public IPMapper {
 public:
  const char* class_name() const override { return "TestMapper"; }
  void* cast(const char* name) override {
    if (std::strcmp(name, "IPMapper") == 0) return static_cast<IPMapper*>(this);
    return Element::cast(name);
  }
  int configure(Vector<String>& conf, ErrorHandler*) override {
    refuse_ = !conf.empty() && conf[0] == "refuse";
    return 0;
  }
  void attach_rewriter(IPRewriterBase*, RewriteInputSpec*, ErrorHandler*) override { ++attached; }
  int rewrite_flowid(RewriteInputSpec*, const FlowTuple& tuple, FlowTuple& rewritten, Packet*,
                     int map_id) override {
    if (refuse_) return kRewriteDrop;
    rewritten = tuple;
    rewritten.set_saddr(IPAddress(inet_addr("10.0.0.1")));
    rewritten.set_sport(htons(next_port_++));
    last_map_id = map_id;
    return kRewriteAddFlow;
  }
  static Element* make(uintptr_t) { return new TestMapper; }

  int attached = 0;
  int last_map_id = -1;

 private:
  bool refuse_ = false;
  uint16_t next_port_ = 40000;
};

// The message part of each line that holds `marker`.
std::vector<std::string> LogLines(const std::string& log, const std::string& marker) {
  std::vector<std::string> lines;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);)
    if (size_t at = line.find(marker); at != std::string::npos) lines.push_back(line.substr(at));
  return lines;
}

TEST(IPRewriterMapperTest, NatFlushAndFlowLog) {
  FakeClock clock;
  testing_support::StartedLog log(0);
  GraphHarness h;
  global_lexer()->add_class(String("TestMapper"), TestMapper::make, 0, false);
  ASSERT_TRUE(
      h.Load("src0 :: TestSource; src1 :: TestSource; src2 :: TestSource;\n"
             "sink :: TestSink; map :: TestMapper; no :: TestMapper(refuse);\n"
             "rw :: IPRewriter(map, no, no, GUARANTEE 0);\n"
             "src0 -> [0]rw; src1 -> [1]rw; src2 -> [2]rw;\n"
             "rw[0] -> [0]sink; rw[1] -> [1]sink;\n"))
      << h.messages();
  auto* mapper = static_cast<TestMapper*>(h.Find("map"));
  EXPECT_EQ(mapper->attached, 1);
  EXPECT_EQ(h.Read("rw", "patterns"), "<mapper>\n<mapper>\n<mapper>\n");

  h.Push("src0", Udp("10.0.0.2", 1000, "192.0.2.1", 53));
  EXPECT_EQ(mapper->last_map_id, 1);
  h.Push("src0", Tcp("10.0.0.2", 1000, "192.0.2.1", 80));
  EXPECT_EQ(mapper->last_map_id, 0);
  Packet* p = Tcp("10.0.0.2", 1000, "192.0.2.1", 80);
  p->set_nat_flush_anno(1);
  const void* flushed = p;
  h.Push("src0", p);
  // Refused on input 1: dropped, not logged; on input 2: logged.
  h.Push("src1", Tcp("10.0.0.3", 1, "192.0.2.1", 80));
  h.Push("src2", Udp("10.0.0.4", 2, "192.0.2.9", 53));
  EXPECT_EQ(h.Read("rw", "mapping_failures"), "2");
  EXPECT_EQ(h.Read("rw", "size"), "2");
  EXPECT_EQ(h.Read("rw", "tcp_lookup", "10.0.0.2, 1000, 192.0.2.1, 80"),
            "10.0.0.1 40002 192.0.2.1 80");
  ASSERT_EQ(h.Received("sink", 0).size(), 3u);

  char flush[64];
  std::snprintf(flush, sizeof flush, "IPRW: NAT flush set for packet p=%p", flushed);
  const std::vector<std::string> expected = {
      "FLOW_NAT_Created (10.0.0.2, 1000, 192.0.2.1, 53) => (10.0.0.1, 40000, 192.0.2.1, 53) "
      "[*0 1] i0 exp 300",
      "FLOW_NAT_Created (10.0.0.2, 1000, 192.0.2.1, 80) => (10.0.0.1, 40001, 192.0.2.1, 80) "
      "[*0 1] i0 exp 300",
      flush,
      "FLOW_NAT_Created (10.0.0.2, 1000, 192.0.2.1, 80) => (10.0.0.1, 40002, 192.0.2.1, 80) "
      "[*0 1] i0 exp 300",
      "FLOW_NAT_Failed 10.0.0.4==>192.0.2.9 proto:17 rcvd on port:2",
  };
  std::vector<std::string> lines;
  for (const std::string& line : LogLines(log.text(), "FLOW_NAT_")) lines.push_back(line);
  std::vector<std::string> all = LogLines(log.text(), "IPRW: NAT flush");
  ASSERT_EQ(all.size(), 1u) << log.text();
  lines.insert(lines.begin() + 2, all[0]);
  EXPECT_EQ(lines, expected) << log.text();
}

}  // namespace

namespace {

TEST(IPRewriterGraphFileTest, LoadsAndTranslates) {
  FakeClock clock;
  GraphHarness h;
  ASSERT_TRUE(h.LoadFile(testing_support::SourceDir() + "/tests/data/graphs/elements/iprewriter.graph"))
      << h.messages();
  h.Push("out", Tcp("10.0.0.2", 59510, "192.0.2.1", 80));
  Packet* p = h.Take("sink", 0);
  ASSERT_NE(p, nullptr);
  const PacketTuple out = TupleOf(p);
  EXPECT_EQ(out, (PacketTuple{"10.0.0.1", 59510, "192.0.2.1", 80}));
  p->release();
  h.Push("in", Answer(out, 6));
  p = h.Take("sink", 1);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(TupleOf(p), (PacketTuple{"192.0.2.1", 80, "10.0.0.2", 59510}));
  EXPECT_TRUE(ChecksumsValid(p));
  p->release();
  const std::string table = h.Read("rw", "tcp_table");
  EXPECT_NE(table.find("(10.0.0.2, 59510, 192.0.2.1, 80) => (10.0.0.1, 59510, 192.0.2.1, 80) "
                       "[*0 1] i0 exp 300\n"),
            std::string::npos)
      << table;
}

}  // namespace
