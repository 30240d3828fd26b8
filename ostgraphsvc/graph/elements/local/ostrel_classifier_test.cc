#include "ostgraphsvc/graph/elements/local/ostrel_classifier.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "graph/confparse.h"
#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/local/capture_record.h"
#include "platform/divert/divert.h"
#include "tests/support/graph_harness.h"
#include "tests/support/registry_values.h"
#include "tests/support/started_log.h"

namespace {

using testing_support::BuildIPv4;
using testing_support::GraphHarness;
using testing_support::MakePacket;
using testing_support::PacketSpec;

using Bytes = std::vector<uint8_t>;

enum Where { kNone, kIn, kOut };

Bytes Shape(uint8_t protocol, const char* src, const char* dst, uint16_t dport = 80,
            size_t options = 0) {
  PacketSpec shape;
  shape.protocol = protocol;
  shape.src = src;
  shape.dst = dst;
  shape.dport = dport;
  shape.ip_options = options;
  return BuildIPv4(shape);
}

// Cuts the datagram to `total` bytes, total length field included.
Bytes Cut(Bytes b, size_t total) {
  b.resize(total);
  b[2] = static_cast<uint8_t>(total >> 8);
  b[3] = static_cast<uint8_t>(total);
  return b;
}

Bytes With(Bytes b, size_t at, uint8_t value) {
  b[at] = value;
  return b;
}

constexpr char kGraph[] =
    "src :: TestSource; sink :: TestSink; src -> cls :: OstrelL3Classifier;\n"
    "cls[0] -> [0]sink; cls[1] -> [1]sink; cls[2] -> [2]sink; cls[3] -> [3]sink;\n"
    "cls[4] -> [4]sink; cls[5] -> [5]sink; cls[6] -> [6]sink;\n";

// The output a packet left on, or -1 when none holds it.
int Sorted(GraphHarness& h, int ports) {
  for (int port = 0; port < ports; ++port) {
    if (Packet* p = h.Take("sink", port)) {
      p->release();
      return port;
    }
  }
  return -1;
}

Packet* Make(const Bytes& bytes, uint8_t type, Where where, uint32_t mark = 0) {
  Packet* p = MakePacket(bytes);
  p->set_msgtype(type);
  p->set_decap_mark_anno(mark);
  if (where != kNone) {
    WINDIVERT_ADDRESS record{};
    record.Flags = where == kOut ? WINDIVERT_ADDRESS_OUTBOUND : 0;
    record.IfIdx = 3;
    set_capture_record(p, record);
  }
  return p;
}

TEST(OstrelL3ClassifierTest, SortsByTypeMarkAndHeader) {
  GraphHarness h;
  ASSERT_TRUE(h.Load(kGraph)) << h.messages();
  const Bytes tcp = Shape(6, "192.168.1.10", "192.0.2.1");
  const Bytes udp = Shape(17, "192.168.1.10", "192.0.2.1", 53);
  // DHCP behind a 24-byte IPv4 header (four NOP options).
  Bytes dhcp24 = Shape(17, "192.168.1.1", "192.168.1.10", 68, 4);
  // Options that read like a UDP header to port 68 at offset 20, before a
  // real one to port 53 whose source port would pass for a UDP length there.
  Bytes fake_dhcp24 = Shape(17, "192.168.1.10", "192.0.2.1", 53, 4);
  fake_dhcp24[20] = 0x00, fake_dhcp24[21] = 0x44, fake_dhcp24[22] = 0x00, fake_dhcp24[23] = 0x44;
  fake_dhcp24[24] = 0x00, fake_dhcp24[25] = 0x08;
  // A later fragment: its first bytes are data, not a UDP header.
  Bytes tail_fragment = Cut(Shape(17, "192.168.1.10", "192.0.2.1", 68), 24);
  tail_fragment[6] = 0x00, tail_fragment[7] = 0xB9;
  Bytes long_udp_length = Shape(17, "192.0.2.1", "192.168.1.10", 68);
  long_udp_length[24] = 0x01;  // UDP length 256 + 8, past the datagram
  struct Case {
    const char* name;
    Bytes bytes;
    uint8_t type;
    Where where;
    uint32_t mark;
    int output;
  };
  const Case cases[] = {
      {"stop command with the mark", tcp, 6, kNone, kDecapMark, 4},
      {"reconfigure command", tcp, 4, kNone, 0, 4},
      {"start command", tcp, 5, kIn, 0, 4},
      {"set fail open", tcp, 17, kNone, 0, 4},
      {"set dc unmanaged", tcp, 22, kNone, 0, 4},
      {"decapsulated overlay packet", tcp, 2, kNone, kDecapMark, 6},
      {"decapsulated captured packet", tcp, 1, kOut, kDecapMark, 6},
      {"overlay packet", tcp, 2, kNone, 0, 2},
      {"state tick", Bytes{'i', 'o', 'm', 0}, 3, kNone, 0, 5},
      {"made in the graph, no record", tcp, 0, kNone, 0, -1},
      {"type 23 is not a command", tcp, 23, kNone, 0, -1},
      {"outbound tcp", tcp, 1, kOut, 0, 3},
      {"inbound tcp", Shape(6, "192.0.2.1", "192.168.1.10"), 1, kIn, 0, 1},
      {"dhcp reply in", Shape(17, "192.168.1.1", "192.168.1.10", 68), 1, kIn, 0, 0},
      {"dhcp request out", Shape(17, "192.168.1.10", "192.168.1.1", 67), 1, kOut, 0, 0},
      {"dhcp behind a 24-byte header", dhcp24, 1, kIn, 0, 0},
      {"options are not the udp header", fake_dhcp24, 1, kOut, 0, 3},
      {"udp length past the datagram", long_udp_length, 1, kIn, 0, 1},
      {"udp of 28 bytes", Cut(udp, 28), 1, kOut, 0, 3},
      {"udp of 27 bytes", Cut(udp, 27), 1, kOut, 0, -1},
      {"udp of 31 bytes, 24-byte header", Cut(Shape(17, "192.168.1.10", "192.0.2.1", 68, 4), 31), 1,
       kOut, 0, -1},
      {"udp of 32 bytes, 24-byte header", Cut(Shape(17, "192.168.1.10", "192.0.2.1", 53, 4), 32), 1,
       kOut, 0, 3},
      {"short later fragment is kept", tail_fragment, 1, kOut, 0, 3},
      {"igmp", Shape(2, "192.168.1.10", "224.0.0.22"), 1, kOut, 0, 0},
      {"echo to a unicast address", Shape(1, "192.168.1.10", "192.0.2.1"), 1, kOut, 0, 3},
      {"echo to 224.0.0.1", Shape(1, "192.168.1.10", "224.0.0.1"), 1, kOut, 0, 0},
      {"multicast source", Shape(6, "239.1.2.3", "192.168.1.10"), 1, kIn, 0, 0},
      {"limited broadcast", Shape(17, "192.168.1.10", "255.255.255.255", 9), 1, kOut, 0, 0},
      {"under 20 bytes", Bytes(tcp.begin(), tcp.begin() + 19), 1, kOut, 0, -1},
      {"version 6", With(tcp, 0, 0x65), 1, kOut, 0, -1},
      {"header length 16", With(tcp, 0, 0x44), 1, kOut, 0, -1},
      {"total length past the data", With(tcp, 3, static_cast<uint8_t>(tcp[3] + 1)), 1, kOut, 0,
       -1},
      {"total length under the header", With(With(tcp, 2, 0), 3, 19), 1, kOut, 0, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    h.Push("src", Make(c.bytes, c.type, c.where, c.mark));
    EXPECT_EQ(Sorted(h, 7), c.output);
    EXPECT_EQ(h.Count("sink"), 0u);
  }
}

TEST(OstrelL3ClassifierTest, LogsIcmpWithAddressesAndLength) {
  testing_support::StartedLog log(0);
  GraphHarness h;
  ASSERT_TRUE(h.Load(kGraph)) << h.messages();
  const Bytes echo = Shape(1, "192.168.1.10", "192.0.2.1");
  h.Push("src", Make(echo, 1, kOut));
  EXPECT_EQ(Sorted(h, 7), 3);
  h.Push("src", Make(Shape(1, "192.168.1.10", "224.0.0.1"), 1, kOut));
  EXPECT_EQ(Sorted(h, 7), 0);
  // Sorted before the log line: commands and local-only IGMP are not logged.
  h.Push("src", Make(echo, 4, kOut));
  EXPECT_EQ(Sorted(h, 7), 4);
  const std::string text = log.text();
  EXPECT_NE(text.find("OstrelL3Classifier ICMP from 192.168.1.10 ==> 192.0.2.1, len " +
                      std::to_string(echo.size())),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("OstrelL3Classifier ICMP from 192.168.1.10 ==> 224.0.0.1"),
            std::string::npos);
  size_t lines = 0;
  for (size_t at = text.find("ICMP from"); at != std::string::npos;
       at = text.find("ICMP from", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 2u);
}

// A graph may leave later outputs unconnected; what would go there is freed.
TEST(OstrelL3ClassifierTest, FreesPacketsForUnconnectedOutputs) {
  GraphHarness h;
  ASSERT_TRUE(
      h.Load("src :: TestSource; sink :: TestSink; src -> cls :: OstrelL3Classifier;\n"
             "cls[0] -> [0]sink; cls[1] -> [1]sink;\n"))
      << h.messages();
  const Bytes tcp = Shape(6, "192.168.1.10", "192.0.2.1");
  h.Push("src", Make(tcp, 6, kNone));
  h.Push("src", Make(tcp, 1, kOut));
  h.Push("src", Make(tcp, 1, kIn));
  EXPECT_EQ(Sorted(h, 2), 1);
  EXPECT_EQ(h.Count("sink"), 0u);
}

TEST(OstDirMuxTest, SplitsByDirectionAndFreesPacketsWithoutRecord) {
  GraphHarness h;
  ASSERT_TRUE(
      h.Load("src :: TestSource; sink :: TestSink; src -> mux :: OstDirMux(ignored);\n"
             "mux[0] -> [0]sink; mux[1] -> [1]sink;\n"))
      << h.messages();
  const Bytes tcp = Shape(6, "192.168.1.10", "192.0.2.1");
  struct Case {
    const char* name;
    Where where;
    int output;
  };
  const Case cases[] = {{"outbound", kOut, 0}, {"inbound", kIn, 1}, {"no record", kNone, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    h.Push("src", Make(tcp, 1, c.where));
    EXPECT_EQ(Sorted(h, 2), c.output);
    EXPECT_EQ(h.Count("sink"), 0u);
  }
}

// The shipped work directory's graph loads through the framework with no
// warning or error, from either the graph reader or the elements.
TEST(ExampleWorkDirTest, GraphLoadsCleanly) {
  // Canonical: work files are opened without following links or "..".
  const std::string workdir =
      std::filesystem::canonical(std::string(DOVADOD_TEST_DATA) + "/../../examples/workdir");
  testing_support::StartedLog log(CXLOG_FMT_LEVEL_NUMBER);
  set_config_directory(workdir.c_str());
  {
    GraphHarness h;  // its own root, so the setting goes in after it
    testing_support::SetRegText("SOFTWARE\\Corvex\\tarn", "workdir", workdir);
    EXPECT_TRUE(h.LoadFile(workdir + "/ostrel.graph"));
    EXPECT_EQ(h.messages(), "");
    ASSERT_NE(h.Find("fromdevice"), nullptr);
    ASSERT_NE(h.Find("classifier"), nullptr);
    EXPECT_EQ(h.Find("classifier")->noutputs(), 7);
    ASSERT_NE(h.Find("ostOverlay"), nullptr);
    ASSERT_NE(h.Find("ostOverlayMsg"), nullptr);
  }
  set_config_directory(nullptr);
  // Lines read " <process tag> <level> ...": critical 1, error 2, warning 3.
  // The overlay file names no hub, which the overlay reports once.
  std::istringstream in(log.text());
  int lines = 0;
  int no_hubs = 0;
  for (std::string line; std::getline(in, line); ++lines) {
    if (line.find("no hubs available to connect") != std::string::npos) {
      ++no_hubs;
      continue;
    }
    std::istringstream fields(line);
    std::string tag;
    int level = 0;
    fields >> tag >> level;
    EXPECT_GE(level, CXLOG_INFO) << line;
  }
  EXPECT_GT(lines, 0);
  EXPECT_EQ(no_hubs, 1);
}

}  // namespace
