#include "ostgraphsvc/graph/elements/local/ostrel_snat.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "graph/error_handler.h"
#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/ip/checksum.h"
#include "ostgraphsvc/graph/elements/tcpudp/rewrite_pattern.h"
#include "platform/registry/registry.h"
#include "tests/support/graph_harness.h"
#include "tests/support/started_log.h"
#include "tests/support/source_dir.h"

namespace reg = platform::registry;

namespace {

using testing_support::BuildIPv4;
using testing_support::ChecksumsValid;
using testing_support::FakeClock;
using testing_support::GraphHarness;
using testing_support::MakePacket;
using testing_support::PacketSpec;
using testing_support::PacketTuple;
using testing_support::TupleOf;

class RecordingHandler : public ErrorHandler {
 public:
  void* emit(const String& line, void* user_data, bool) override {
    lines.emplace_back(line.c_str());
    return user_data;
  }
  std::vector<std::string> lines;
};

IPAddress Addr(const char* dotted) { return IPAddress(inet_addr(dotted)); }

std::vector<std::string> LogLines(const std::string& log, const std::string& marker) {
  std::vector<std::string> lines;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);)
    if (size_t at = line.find(marker); at != std::string::npos) lines.push_back(line.substr(at));
  return lines;
}

std::vector<uint8_t> Bytes(uint8_t protocol, const std::string& src, const std::string& dst,
                           uint8_t icmp_type = 8) {
  PacketSpec shape;
  shape.protocol = protocol;
  shape.src = src;
  shape.dst = dst;
  shape.icmp_type = icmp_type;
  return BuildIPv4(shape);
}

// An ICMP datagram whose total length ends right after its IP header.
std::vector<uint8_t> IcmpCut(const std::string& src, const std::string& dst) {
  std::vector<uint8_t> b = Bytes(1, src, dst);
  b.resize(20);
  b[2] = 0;
  b[3] = 20;
  b[10] = b[11] = 0;
  uint32_t sum = 0;
  for (int i = 0; i < 20; i += 2) sum += static_cast<uint32_t>(b[i] << 8 | b[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  b[10] = static_cast<uint8_t>(~sum >> 8);
  b[11] = static_cast<uint8_t>(~sum);
  return b;
}

constexpr char kClassifierGraph[] =
    "src0 :: TestSource; src1 :: TestSource; sink :: TestSink;\n"
    "snatmap :: OstrelSNATIPMapper; cls :: OstrelL3ProtoClassifier(snatmap);\n"
    "src0 -> [0]cls; src1 -> [1]cls;\n"
    "cls[0] -> [0]sink; cls[1] -> [1]sink; cls[2] -> [2]sink; cls[3] -> [3]sink;\n"
    "cls[4] -> [4]sink; cls[5] -> [5]sink; cls[6] -> [6]sink; cls[7] -> [7]sink;\n";

class ClassifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(h.Load(kClassifierGraph)) << h.messages();
    mapper = static_cast<OstrelSNATIPMapper*>(h.Find("snatmap"));
    cls = static_cast<OstrelL3ProtoClassifier*>(h.Find("cls"));
  }
  // The output the packet left on (-1: freed) and its pattern id.
  std::pair<int, int> Classify(int input, const std::vector<uint8_t>& bytes) {
    h.Push(input == 0 ? "src0" : "src1", MakePacket(bytes));
    for (int port = 0; port < 8; ++port) {
      if (Packet* p = h.Take("sink", port)) {
        const int id = p->snat_pattern_anno();
        p->release();
        return {port, id};
      }
    }
    return {-1, 0};
  }

  GraphHarness h;
  OstrelSNATIPMapper* mapper = nullptr;
  OstrelL3ProtoClassifier* cls = nullptr;
};

TEST_F(ClassifierTest, SortsByInputProtocolAndAddress) {
  // Before any address: no rules, everything outbound passes.
  EXPECT_EQ(Classify(0, Bytes(6, "192.168.1.2", "192.0.2.1")), std::make_pair(7, 0));

  ASSERT_EQ(mapper->add_napt_pattern(Addr("10.0.0.5")), 0);
  cls->set_virtual_address(Addr("10.0.0.9"));
  struct Case {
    const char* name;
    int input;
    std::vector<uint8_t> packet;
    int output;
    int pattern;
  };
  std::vector<uint8_t> v6 = Bytes(6, "192.168.1.2", "192.0.2.1");
  v6[0] = 0x65;
  std::vector<uint8_t> overlong = Bytes(6, "192.168.1.2", "192.0.2.1");
  overlong[3] = static_cast<uint8_t>(overlong[3] + 1);
  const Case cases[] = {
      {"out tcp", 0, Bytes(6, "192.168.1.2", "192.0.2.1"), 0, 1},
      {"out udp", 0, Bytes(17, "192.168.1.2", "192.0.2.1"), 2, 1},
      {"out echo request", 0, Bytes(1, "192.168.1.2", "192.0.2.1", 8), 4, 2},
      {"out echo reply", 0, Bytes(1, "192.168.1.2", "192.0.2.1", 0), 7, 2},
      {"out unreachable", 0, Bytes(1, "192.168.1.2", "192.0.2.1", 3), 6, 2},
      {"out time exceeded", 0, Bytes(1, "192.168.1.2", "192.0.2.1", 11), 6, 2},
      {"out timestamp", 0, Bytes(1, "192.168.1.2", "192.0.2.1", 13), 7, 2},
      {"out icmp cut after ip header", 0, IcmpCut("192.168.1.2", "192.0.2.1"), 7, 2},
      {"out gre", 0, Bytes(47, "192.168.1.2", "192.0.2.1"), 7, 0},
      {"out from the wan address", 0, Bytes(6, "10.0.0.5", "192.0.2.1"), 7, 0},
      {"out from the virtual address", 0, Bytes(6, "10.0.0.9", "192.0.2.1"), 7, 0},
      {"out link local", 0, Bytes(6, "169.254.3.4", "192.0.2.1"), 7, 0},
      {"in tcp", 1, Bytes(6, "192.0.2.1", "10.0.0.9"), 1, 0},
      {"in udp", 1, Bytes(17, "192.0.2.1", "10.0.0.9"), 3, 0},
      {"in echo reply", 1, Bytes(1, "192.0.2.1", "10.0.0.9", 0), 5, 0},
      {"in echo request", 1, Bytes(1, "192.0.2.1", "10.0.0.9", 8), 7, 0},
      {"in parameter problem", 1, Bytes(1, "192.0.2.1", "10.0.0.9", 12), 6, 0},
      {"in redirect", 1, Bytes(1, "192.0.2.1", "10.0.0.9", 5), 6, 0},
      {"in icmp cut after ip header", 1, IcmpCut("192.0.2.1", "10.0.0.9"), 7, 0},
      {"in gre", 1, Bytes(47, "192.0.2.1", "10.0.0.9"), 7, 0},
      {"in tcp to another address", 1, Bytes(6, "192.0.2.1", "10.0.0.8"), 7, 0},
      {"under 20 bytes", 0, std::vector<uint8_t>(v6.begin(), v6.begin() + 19), -1, 0},
      {"not ipv4", 0, v6, -1, 0},
      {"total length past the data", 1, overlong, -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Classify(c.input, c.packet), std::make_pair(c.output, c.pattern));
  }
  EXPECT_EQ(h.Count("sink"), 0u);
}

TEST(ClassifierConfigTest, ErrorsAndProcessRegistration) {
  struct Case {
    const char* args;
    const char* message;
  };
  const Case cases[] = {
      {"", "Missing parameter, IPMapper element name!!"},
      {"nosuch", "nosuch not found"},
      {"sink", "sink is not an IPMapper element!!!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    GraphHarness h;
    EXPECT_FALSE(h.Load(std::string("src0 :: TestSource; src1 :: TestSource; sink :: TestSink;\n"
                                    "snatmap :: OstrelSNATIPMapper;\n"
                                    "cls :: OstrelL3ProtoClassifier(") +
                        c.args + ");\nsrc0 -> [0]cls; src1 -> [1]cls;\n"));
    EXPECT_NE(h.messages().find(c.message), std::string::npos) << h.messages();
  }

  GraphHarness h;
  ASSERT_TRUE(h.Load(std::string(kClassifierGraph) +
                     "second :: OstrelL3ProtoClassifier(snatmap); src2 :: TestSource;\n"
                     "src3 :: TestSource; src2 -> [0]second; src3 -> [1]second;\n"))
      << h.messages();
  EXPECT_EQ(OstrelL3ProtoClassifier::process_classifier(), h.Find("cls"));
  EXPECT_TRUE(h.Find("cls")->can_live_reconfigure());
  ASSERT_TRUE(h.Load("sink :: TestSink;")) << h.messages();
  EXPECT_EQ(OstrelL3ProtoClassifier::process_classifier(), nullptr);
}

TEST(SNATMapperTest, NaptPatternsRulesAndLogWithoutRegistryRange) {
  testing_support::StartedLog log(0);
  GraphHarness h;
  ASSERT_TRUE(h.Load("snatmap :: OstrelSNATIPMapper(anything, at all);")) << h.messages();
  auto* mapper = static_cast<OstrelSNATIPMapper*>(h.Find("snatmap"));
  EXPECT_EQ(mapper->cast("IPMapper"), static_cast<void*>(static_cast<IPMapper*>(mapper)));
  EXPECT_EQ(mapper->cast("Element"), nullptr);
  EXPECT_EQ(h.Read("snatmap", "mappings"), "NAPT Rules\n");

  ASSERT_EQ(mapper->add_napt_pattern(Addr("10.0.0.5")), 0);
  EXPECT_EQ(h.Read("snatmap", "mappings"),
            "NAPT Rules\n"
            "\twanip:10.0.0.5 protocol:17 pattern:1\n"
            "\twanip:10.0.0.5 protocol:6 pattern:1\n"
            "\twanip:10.0.0.5 protocol:1 pattern:2\n");
  const RewritePattern* ports = mapper->pattern(1)->pattern;
  EXPECT_EQ(ports->saddr(), Addr("10.0.0.5"));
  EXPECT_EQ(ntohs(ports->sport()), 59500);
  EXPECT_EQ(ports->variation(), 500u);
  EXPECT_EQ(mapper->pattern(1)->foutput, 0);
  EXPECT_EQ(mapper->pattern(1)->routput, 1);
  const RewritePattern* ids = mapper->pattern(2)->pattern;
  EXPECT_EQ(ntohs(ids->sport()), 0);
  EXPECT_EQ(ids->variation(), 65535u);
  EXPECT_TRUE(ids->sequential());

  const std::vector<std::string> expected = {
      "Port range is not set in registry, using 59500-60000 range for source natting",
      "Applying SNAT pattern(1) 10.0.0.5 59500-60000 - - 0 1 NATVPN=FALSE",
      "Applying SNAT pattern(2) 10.0.0.5 - 0-65535# 0 1 NATVPN=FALSE",
  };
  std::vector<std::string> lines = LogLines(log.text(), "Port range");
  for (const std::string& line : LogLines(log.text(), "Applying SNAT")) lines.push_back(line);
  EXPECT_EQ(lines, expected) << log.text();

  // A second address replaces the rules and patterns 1 and 2.
  ASSERT_EQ(mapper->add_napt_pattern(Addr("10.0.0.6")), 0);
  EXPECT_EQ(mapper->rules().size(), 3u);
  EXPECT_EQ(mapper->pattern(1)->pattern->saddr(), Addr("10.0.0.6"));
  EXPECT_EQ(mapper->pattern(2)->pattern->saddr(), Addr("10.0.0.6"));

  EXPECT_EQ(h.Write("snatmap", "reconfigure", "x, y"), 0);
  EXPECT_EQ(LogLines(log.text(), "Will reconfigure IPMappings..").size(), 1u);
}

TEST(SNATMapperTest, RegistryRangeIsUsed) {
  testing_support::StartedLog log(0);
  GraphHarness h;
  reg::Key key;
  ASSERT_EQ(reg::create_key(reg::RootKey::kLocalMachine, "SOFTWARE\\Corvex\\tarn",
                            reg::kKeyAllAccess | reg::kKeyWow64_64Key, &key),
            0u);
  const char start[] = "59500";
  ASSERT_EQ(reg::set_value(key, "snatportstart", reg::kRegSz, start, sizeof start), 0u);
  ASSERT_TRUE(h.Load("snatmap :: OstrelSNATIPMapper;")) << h.messages();
  auto* mapper = static_cast<OstrelSNATIPMapper*>(h.Find("snatmap"));
  ASSERT_EQ(mapper->add_napt_pattern(Addr("10.0.0.5")), 0);
  EXPECT_EQ(LogLines(log.text(), "Port range").at(0), "Port range 59500-59999 is set in registry");
  EXPECT_EQ(LogLines(log.text(), "Applying SNAT pattern(1)").at(0),
            "Applying SNAT pattern(1) 10.0.0.5 59500-59999 - - 0 1 NATVPN=FALSE");
  EXPECT_EQ(mapper->pattern(1)->pattern->variation(), 499u);
}

TEST(SNATMapperTest, MissingPatternAndMissingRewriters) {
  FakeClock clock;
  testing_support::StartedLog log(0);
  GraphHarness h;
  ASSERT_TRUE(
      h.Load("src :: TestSource; sink :: TestSink; snatmap :: OstrelSNATIPMapper;\n"
             "elementclass NAT { iprw :: IPRewriter(snatmap, drop);\n"
             "  input[0] -> [0]iprw; input[1] -> [1]iprw;\n"
             "  iprw[0] -> [0]output; iprw[1] -> [1]output; }\n"
             "src1 :: TestSource; nat :: NAT; src -> [0]nat; src1 -> [1]nat;\n"
             "nat[0] -> [0]sink; nat[1] -> [1]sink;\n"))
      << h.messages();
  auto* mapper = static_cast<OstrelSNATIPMapper*>(h.Find("snatmap"));
  Packet* p = MakePacket(Bytes(6, "192.168.1.2", "192.0.2.1"));
  p->set_snat_pattern_anno(1);
  h.Push("src", p);
  EXPECT_EQ(h.Count("sink"), 0u);
  EXPECT_EQ(LogLines(log.text(), "Pattern 1 not yet").size(), 1u) << log.text();
  EXPECT_EQ(LogLines(log.text(), "Pattern 1 not yet").at(0),
            "Pattern 1 not yet provisioned dropping!!!");

  // With patterns, the packet's pattern id picks the mapping.
  ASSERT_EQ(mapper->add_napt_pattern(Addr("10.0.0.5")), 0);
  p = MakePacket(Bytes(6, "192.168.1.2", "192.0.2.1"));
  p->set_snat_pattern_anno(1);
  h.Push("src", p);
  p = h.Take("sink", 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(TupleOf(p).src, "10.0.0.5");
  p->release();
  EXPECT_EQ(h.Read("nat/iprw", "size"), "1");

  mapper->clear_snat_flows();
  EXPECT_EQ(h.Read("nat/iprw", "size"), "0");
  EXPECT_TRUE(LogLines(log.text(), "Unable to find the iprw element").empty());
  EXPECT_EQ(LogLines(log.text(), "Unable to find the icmprw element").size(), 1u);
}

TEST(SNATMapperTest, AttachReportsPatternsPastTheOutputs) {
  GraphHarness h;
  ASSERT_TRUE(
      h.Load("src :: TestSource; sink :: TestSink; snatmap :: OstrelSNATIPMapper;\n"
             "rw :: IPRewriter(drop); src -> rw -> sink;\n"))
      << h.messages();
  auto* mapper = static_cast<OstrelSNATIPMapper*>(h.Find("snatmap"));
  ASSERT_EQ(mapper->add_napt_pattern(Addr("10.0.0.5")), 0);
  auto* rw = static_cast<IPRewriterBase*>(h.Find("rw"));
  RewriteInputSpec shape = rw->input_spec(0);
  RecordingHandler errh;
  mapper->attach_rewriter(rw, &shape, &errh);
  ASSERT_EQ(errh.lines.size(), 2u);
  for (int id = 1; id <= 2; ++id) {
    const std::string& line = errh.lines[id - 1];
    EXPECT_NE(line.find("output port out of range in snatmap"), std::string::npos) << line;
    EXPECT_NE(line.find("pattern " + std::to_string(id)), std::string::npos) << line;
  }
}

}  // namespace

namespace {

std::vector<uint8_t> Copy(const Packet* p) {
  return std::vector<uint8_t>(p->data(), p->data() + p->length());
}

// An ICMP error from `src` to `dst` quoting all of `quoted`.
std::vector<uint8_t> ErrorBytes(uint8_t type, const std::string& src, const std::string& dst,
                                const std::vector<uint8_t>& quoted) {
  PacketSpec shape;
  shape.protocol = 1;
  shape.icmp_type = type;
  shape.icmp_id = 0;
  shape.src = src;
  shape.dst = dst;
  shape.payload = quoted.size();
  std::vector<uint8_t> b = BuildIPv4(shape);
  b[21] = type == 3 ? 3 : 0;
  std::memset(&b[24], 0, 4);
  std::memcpy(&b[28], quoted.data(), quoted.size());
  EXPECT_TRUE(recompute_checksums(b.data(), static_cast<uint32_t>(b.size())));
  return b;
}

class SNATLegTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(h.LoadFile(testing_support::SourceDir() + "/tests/data/graphs/elements/snat.graph"))
        << h.messages();
    mapper = static_cast<OstrelSNATIPMapper*>(h.Find("snatmap"));
    cls = static_cast<OstrelL3ProtoClassifier*>(h.Find("cls"));
  }
  void AddressChange(const char* address) {
    ASSERT_EQ(mapper->add_napt_pattern(Addr(address)), 0);
    mapper->clear_snat_flows();
    cls->set_virtual_address(Addr(address));
  }
  // Pushes `bytes` in at `source` and takes what left on sink port `port`,
  // every checksum verified.
  std::vector<uint8_t> Through(const char* source, const std::vector<uint8_t>& bytes, int port) {
    h.Push(source, MakePacket(bytes));
    Packet* p = h.Take("sink", port);
    EXPECT_NE(p, nullptr) << source << " -> " << port;
    if (p == nullptr) return {};
    std::string why;
    EXPECT_TRUE(ChecksumsValid(p, &why)) << why;
    std::vector<uint8_t> out = Copy(p);
    p->release();
    return out;
  }
  static PacketTuple Tuple(const std::vector<uint8_t>& b) {
    Packet* p = MakePacket(b);
    PacketTuple t = TupleOf(p);
    p->release();
    return t;
  }
  static uint16_t Id(const std::vector<uint8_t>& b, size_t at = 0) {
    return static_cast<uint16_t>(b[at + 24] << 8 | b[at + 25]);
  }
  static std::vector<uint8_t> Answer(const std::vector<uint8_t>& b) {
    std::vector<uint8_t> a = b;
    std::memcpy(&a[12], &b[16], 4);
    std::memcpy(&a[16], &b[12], 4);
    if (b[9] == 1) {
      a[20] = 0;
    } else {
      std::memcpy(&a[20], &b[22], 2);
      std::memcpy(&a[22], &b[20], 2);
    }
    EXPECT_TRUE(recompute_checksums(a.data(), static_cast<uint32_t>(a.size())));
    return a;
  }
  static std::vector<uint8_t> Packet4(uint8_t protocol, uint16_t sport, uint16_t id = 7) {
    PacketSpec shape;
    shape.protocol = protocol;
    shape.src = "192.168.1.2";
    shape.sport = sport;
    shape.dst = "192.0.2.1";
    shape.dport = 53;
    shape.icmp_id = id;
    shape.payload = 6;
    return BuildIPv4(shape);
  }

  FakeClock clock;
  GraphHarness h;
  OstrelSNATIPMapper* mapper = nullptr;
  OstrelL3ProtoClassifier* cls = nullptr;
};

TEST_F(SNATLegTest, TranslatesRepairsErrorsAndClearsOnAddressChange) {
  AddressChange("10.0.0.5");
  EXPECT_EQ(OstrelL3ProtoClassifier::process_classifier(), cls);

  const std::vector<uint8_t> tcp_in = Packet4(6, 4000);
  const std::vector<uint8_t> udp_in = Packet4(17, 1000);
  const std::vector<uint8_t> echo_in = Packet4(1, 0, 0x1234);
  const std::vector<uint8_t> tcp = Through("out", tcp_in, 0);
  const std::vector<uint8_t> udp = Through("out", udp_in, 0);
  const std::vector<uint8_t> echo = Through("out", echo_in, 0);
  ASSERT_FALSE(tcp.empty() || udp.empty() || echo.empty());
  for (const auto* b : {&tcp, &udp, &echo}) EXPECT_EQ(Tuple(*b).src, "10.0.0.5");
  for (const auto* b : {&tcp, &udp}) {
    EXPECT_GE(Tuple(*b).sport, 59500);
    EXPECT_LE(Tuple(*b).sport, 60000);
  }
  EXPECT_EQ(Id(echo), 0);

  // Replies return to the inside host.
  for (const auto* b : {&tcp, &udp, &echo}) {
    const std::vector<uint8_t> back = Through("in", Answer(*b), 1);
    ASSERT_FALSE(back.empty());
    EXPECT_EQ(Tuple(back).dst, "192.168.1.2");
    if ((*b)[9] == 1) {
      EXPECT_EQ(Id(back), 0x1234);
    }
  }

  // Errors about the UDP flow and the echo show the inside values.
  std::vector<uint8_t> err = Through("in", ErrorBytes(3, "192.0.2.1", "10.0.0.5", udp), 1);
  ASSERT_FALSE(err.empty());
  EXPECT_EQ(Tuple(err).dst, "192.168.1.2");
  EXPECT_EQ(std::vector<uint8_t>(err.begin() + 28, err.end()), udp_in);
  err = Through("in", ErrorBytes(11, "198.51.100.7", "10.0.0.5", echo), 1);
  ASSERT_FALSE(err.empty());
  EXPECT_EQ(Tuple(err).dst, "192.168.1.2");
  EXPECT_EQ(std::vector<uint8_t>(err.begin() + 28, err.end()), echo_in);
  for (const std::vector<uint8_t>& quoted : {udp_in, echo_in}) {
    Packet* q = MakePacket(quoted);
    EXPECT_TRUE(ChecksumsValid(q));
    q->release();
  }

  // The next address: flows cleared on both rewriters, new flows use it.
  AddressChange("10.0.0.6");
  EXPECT_EQ(h.Read("nat/iprw", "size"), "0");
  EXPECT_EQ(h.Read("nat/icmprw", "size"), "0");
  EXPECT_EQ(Tuple(Through("out", udp_in, 0)).src, "10.0.0.6");
  EXPECT_EQ(Tuple(Through("out", echo_in, 0)).src, "10.0.0.6");
  EXPECT_EQ(h.Count("sink"), 0u);
}

}  // namespace
