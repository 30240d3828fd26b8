// AggregateIPFlows in a graph: flows, directions, reuse, ICMP errors and
// fragments, the index table and the flow cap, DSCP marking, the policy and
// QoS decision, and expiry. Packets have zero tailroom and a test clock.
#include "ostgraphsvc/graph/elements/analysis/aggregate_ip_flows.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "graph/confparse.h"
#include "graph/element_registry.h"
#include "graph/packet.h"
#include "ostgraphsvc/failclose/fail_close_mgr.h"
#include "ostgraphsvc/graph/elements/local/capture_record.h"
#include "ostgraphsvc/graph/elements/local/fromdevice.h"
#include "ostgraphsvc/graph/elements/policy/ost_policy.h"
#include "ostgraphsvc/overlay_view/overlay_view.h"
#include "platform/fs/paths.h"
#include "tests/support/graph_harness.h"
#include "tests/support/registry_values.h"
#include "tests/support/started_log.h"
#include "tests/support/temp_root.h"

namespace {

using testing_support::BuildIPv4;
using testing_support::ChecksumsValid;
using testing_support::GraphHarness;
using testing_support::MakePacket;
using testing_support::PacketSpec;
using testing_support::WriteFile;
using Flow = AggregateIPFlows::StatFlowInfo;

constexpr char kVip[] = "100.64.0.2";
constexpr char kServer[] = "198.51.100.9";
constexpr char kPeer[] = "100.70.0.1";
constexpr int64_t kStartMsec = 1700000000000;

uint32_t Addr(const char* text) {
  IPAddress a;
  EXPECT_TRUE(cp_parse_ip_address(String(text), &a)) << text;
  return a.addr();
}

void FixIpChecksum(std::vector<uint8_t>& b) {
  const size_t hl = size_t{b[0] & 0x0Fu} * 4;
  b[10] = b[11] = 0;
  uint32_t sum = 0;
  for (size_t i = 0; i < hl; i += 2) sum += uint32_t{b[i]} << 8 | b[i + 1];
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  b[10] = static_cast<uint8_t>(~sum >> 8);
  b[11] = static_cast<uint8_t>(~sum);
}

std::vector<uint8_t> WithIpFields(std::vector<uint8_t> b, uint8_t tos, uint16_t id) {
  b[1] = tos;
  b[4] = static_cast<uint8_t>(id >> 8);
  b[5] = static_cast<uint8_t>(id);
  FixIpChecksum(b);
  return b;
}

PacketSpec Tcp(const char* src, uint16_t sport, const char* dst, uint16_t dport, uint8_t flags) {
  PacketSpec s;
  s.protocol = 6;
  s.src = src;
  s.sport = sport;
  s.dst = dst;
  s.dport = dport;
  s.tcp_flags = flags;
  return s;
}
PacketSpec Udp(const char* src, uint16_t sport, const char* dst, uint16_t dport) {
  PacketSpec s = Tcp(src, sport, dst, dport, 0);
  s.protocol = 17;
  return s;
}

// Records events; stamps last_report_time on UPDATE_AGG as the statistics
// element does.
class Recorder : public AggregateListener {
 public:
  struct Event {
    uint32_t id;
    AggregateEvent event;
    bool with_packet;
  };
  void notify_flow_event(uint32_t id, AggregateEvent event, Flow* record,
                         const Packet* p) override {
    events.push_back({id, event, p != nullptr});
    if (event == UPDATE_AGG && record != nullptr) record->last_report_time = Timestamp::now();
  }
  int Count(AggregateEvent e, uint32_t id = 0) const {
    int n = 0;
    for (const Event& ev : events) n += ev.event == e && (id == 0 || ev.id == id);
    return n;
  }
  std::vector<Event> events;
};

// What left the element for one packet.
struct Sent {
  int port = -1;  // -1 destroyed
  uint32_t agg = 0;
  uint32_t index = 0;
  uint8_t paint = 0;
  std::vector<uint8_t> anno;
  std::vector<uint8_t> bytes;
  uint8_t a8(int offset) const { return anno.empty() ? 0 : anno[offset]; }
  uint32_t a32(int offset) const {
    uint32_t v = 0;
    if (!anno.empty()) std::memcpy(&v, &anno[offset], 4);
    return v;
  }
};

uint32_t g_slots = AggregateIPFlows::kIndexSlots;
uint32_t g_cap = AggregateIPFlows::kMaxFlows;
Element* MakeSizedFlows() { return new AggregateIPFlows(g_slots, g_cap); }
uint32_t NoRoute(uint32_t, platform::BestRoute*) { return 1168; }

class AggTest : public ::testing::Test {
 protected:
  AggTest() : work_(platform::root() + "/work/") {
    ::mkdir(work_.c_str(), 0755);
    set_config_directory(work_.c_str());
    WriteFile(work_ + "fw.json", "{\"x\":1}");
    FailCloseMgr::GetInstance().Initialize();  // nothing configured in this root
    FailCloseMgr::GetInstance().ReplaceConfigured(false);
    view_.paths_up = 1;
    view_.static_address = IPAddress(Addr(kVip));
    view_.own_address = IPAddress(Addr("100.70.0.99"));
    Rows("");
  }
  ~AggTest() override {
    set_config_directory(nullptr);
    if (previous_ != nullptr)
      set_element_constructor(static_cast<uint64_t>(element_class_index("AggregateIPFlows")),
                              previous_);
    AggregateIPFlows::set_notification_limit(1500);
  }

  void Rows(const std::string& rows) {
    WriteFile(work_ + "policy.json",
              R"({"activated_policies":[{"policy_config":{"pcfg_qos_policies":[)" + rows + "]}}]}");
  }
  // Loads the graph with the flow element's keywords; a sized index table
  // and flow cap when given.
  bool Load(const std::string& keywords = "", uint32_t slots = 0, uint32_t cap = 0) {
    if (slots != 0) {
      g_slots = slots;
      g_cap = cap;
      ElementConstructor old = set_element_constructor(
          static_cast<uint64_t>(element_class_index("AggregateIPFlows")), MakeSizedFlows);
      if (previous_ == nullptr) previous_ = old;
    }
    const bool ok = h_.Load(
        "rt :: TestSink; ostpolicy :: OstPolicy(CONF policy.json); "
        "ostFirewall :: OstFirewall(CONF fw.json); src :: TestSource; sink :: TestSink; "
        "src -> agg :: AggregateIPFlows(" +
        keywords + "); agg[0] -> [0]sink; agg[1] -> [1]sink;");
    agg_ = static_cast<AggregateIPFlows*>(h_.Find("agg"));
    policy_ = static_cast<OstPolicy*>(h_.Find("ostpolicy"));
    if (agg_ == nullptr || policy_ == nullptr) return false;
    agg_->set_best_route_lookup(NoRoute);
    agg_->add_listener(&rec_);
    policy_->set_tunnel_started(true);
    return ok;
  }

  Packet* Make(const std::vector<uint8_t>& bytes, bool outbound) {
    Packet* p = MakePacket(bytes);
    p->set_msgtype(1);
    p->set_timestamp(Timestamp::make_msec(clock_.msec()));
    WINDIVERT_ADDRESS record{};
    record.Flags = outbound ? WINDIVERT_ADDRESS_OUTBOUND : 0;
    record.IfIdx = 3;
    set_capture_record(p, record);
    return p;
  }
  Sent Push(Packet* p) {
    h_.Push("src", p);
    Sent s;
    for (int port = 0; port < 2; ++port) {
      Packet* out = h_.Take("sink", port);
      if (out == nullptr) continue;
      s.port = port;
      s.agg = out->aggregate_anno();
      s.index = out->flow_index_anno();
      s.paint = out->paint_anno();
      s.anno.assign(out->anno(), out->anno() + kAnnoSize);
      s.bytes.assign(out->data(), out->end_data());
      // What the drain does as the packet leaves the graph.
      if (port == 0) FromDevice::reportFlow(out);
      out->release();
    }
    return s;
  }
  Sent Send(const PacketSpec& shape, bool outbound = true, uint8_t tos = 0, uint16_t id = 1) {
    return Push(Make(WithIpFields(BuildIPv4(shape), tos, id), outbound));
  }
  Flow* FlowOf(const Sent& s) { return agg_->record(s.index); }
  std::string Fresh() { return log_.fresh(); }
  static int Occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  testing_support::StartedLog log_{0};
  testing_support::FakeClock clock_{kStartMsec};
  FakeOverlayView view_;
  Recorder rec_;  // outlives the graph, whose clean-up tells it
  GraphHarness h_;
  std::string work_;
  AggregateIPFlows* agg_ = nullptr;
  OstPolicy* policy_ = nullptr;
  ElementConstructor previous_ = nullptr;
};

// ---- Flows and directions.

TEST_F(AggTest, DirectionsAndWhatMakesAFlow) {
  ASSERT_TRUE(Load("REAP 3600")) << h_.messages();
  struct Case {
    const char* what;
    PacketSpec request;
    PacketSpec reply;
    bool same_flow;
  };
  const Case cases[] = {
      {"source lower", Tcp("10.0.0.2", 1000, "10.0.0.9", 80, 0x02),
       Tcp("10.0.0.9", 80, "10.0.0.2", 1000, 0x12), true},
      {"source higher", Tcp("10.0.0.9", 2000, "10.0.0.2", 80, 0x02),
       Tcp("10.0.0.2", 80, "10.0.0.9", 2000, 0x12), true},
      {"udp", Udp("10.0.0.2", 53000, kServer, 53), Udp(kServer, 53, "10.0.0.2", 53000), true},
      {"address to itself", Tcp("10.0.0.5", 3000, "10.0.0.5", 4000, 0x02),
       Tcp("10.0.0.5", 4000, "10.0.0.5", 3000, 0x12), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const uint64_t before = agg_->flow_count();
    Sent a = Send(c.request);
    Sent b = Send(c.reply, false);
    ASSERT_EQ(a.port, 0);
    ASSERT_EQ(b.port, 0);
    EXPECT_EQ(a.paint, 0);
    EXPECT_NE(a.agg, 0u);
    if (c.same_flow) {
      EXPECT_EQ(b.agg, a.agg);
      EXPECT_EQ(b.paint, 1);
      EXPECT_EQ(agg_->flow_count(), before + 1);
      EXPECT_EQ(FlowOf(a)->packets[0], 1u);
      EXPECT_EQ(FlowOf(a)->packets[1], 1u);
    } else {
      EXPECT_NE(b.agg, a.agg);
      EXPECT_EQ(agg_->flow_count(), before + 2);
    }
  }
}

TEST_F(AggTest, FirstPacketGivesUpdateBeforeNewAndLaterPacketsNeither) {
  ASSERT_TRUE(Load()) << h_.messages();
  Sent a = Send(Udp("10.0.0.2", 5000, kServer, 5001));
  Sent b = Send(Udp("10.0.0.2", 5000, kServer, 5001));
  ASSERT_EQ(rec_.events.size(), 2u);
  EXPECT_EQ(rec_.events[0].event, UPDATE_AGG);
  EXPECT_TRUE(rec_.events[0].with_packet);
  EXPECT_EQ(rec_.events[1].event, NEW_AGG);
  EXPECT_EQ(rec_.events[1].id, a.agg);
  EXPECT_EQ(b.agg, a.agg);
  EXPECT_EQ(std::string(FlowOf(a)->tx_if), "WAN");
  EXPECT_EQ(std::string(FlowOf(a)->rx_if), "LAN");
  // Due again 50 s after the listener's last record.
  clock_.advance_sec(51);
  Send(Udp("10.0.0.2", 5000, kServer, 5001));
  EXPECT_EQ(rec_.Count(UPDATE_AGG, a.agg), 2);
}

TEST_F(AggTest, PacketsPassUntouchedWhenNotForTheElement) {
  ASSERT_TRUE(Load()) << h_.messages();
  // Already aggregated.
  Packet* p = Make(BuildIPv4(Udp("10.0.0.2", 1, kServer, 2)), true);
  p->set_aggregate_anno(4242);
  Sent s = Push(p);
  EXPECT_EQ(s.port, 0);
  EXPECT_EQ(s.agg, 4242u);
  // Neither captured nor decapsulated.
  p = Make(BuildIPv4(Udp("10.0.0.2", 1, kServer, 2)), true);
  p->set_msgtype(0);
  s = Push(p);
  EXPECT_EQ(s.port, 0);
  EXPECT_EQ(s.agg, 0u);
  EXPECT_EQ(agg_->flow_count(), 0u);
  // Decapsulated tunnel data is aggregated.
  p = Make(BuildIPv4(Udp(kServer, 2, kVip, 1)), false);
  p->set_msgtype(0);
  p->set_decap_mark_anno(kDecapMark);
  s = Push(p);
  EXPECT_NE(s.agg, 0u);
  EXPECT_EQ(agg_->flow_count(), 1u);
}

TEST_F(AggTest, PacketsThatCannotBeKeyedAreNotAggregated) {
  ASSERT_TRUE(Load()) << h_.messages();
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  PacketSpec cut_tcp = Tcp("10.0.0.2", 1, kServer, 2, 0x02);
  cut_tcp.truncate = 22;  // two bytes of the transport header
  PacketSpec cut_icmp;
  cut_icmp.protocol = 1;
  cut_icmp.truncate = 26;
  PacketSpec options = Udp("10.0.0.2", 1, kServer, 2);
  options.ip_options = 8;
  options.truncate = 30;  // ports lie behind the options, past the end
  std::vector<uint8_t> zero = BuildIPv4(Udp("0.0.0.0", 1, "0.0.0.0", 2));
  std::vector<uint8_t> v6 = BuildIPv4(Udp("10.0.0.2", 1, kServer, 2));
  v6[0] = 0x65;
  std::vector<uint8_t> long_ihl = BuildIPv4(Udp("10.0.0.2", 1, kServer, 2));
  long_ihl.resize(24);
  long_ihl[0] = 0x4F;
  const Case cases[] = {
      {"tcp cut", BuildIPv4(cut_tcp)},     {"icmp cut", BuildIPv4(cut_icmp)},
      {"options", BuildIPv4(options)},     {"both addresses 0", zero},
      {"not version 4", v6},               {"header longer than packet", long_ihl},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sent s = Push(Make(c.bytes, true));
    EXPECT_EQ(s.port, 1);
    EXPECT_EQ(s.agg, 0u);
  }
  EXPECT_EQ(agg_->flow_count(), 0u);
}

// ---- Reuse of finished flows.

TEST_F(AggTest, UdpFlowSilentForMoreThan120SecondsIsANewFlow) {
  ASSERT_TRUE(Load("REAP 3600")) << h_.messages();
  Sent a = Send(Udp("10.0.0.2", 7000, kServer, 7001));
  clock_.advance_sec(120);
  Sent b = Send(Udp("10.0.0.2", 7000, kServer, 7001));
  EXPECT_EQ(b.agg, a.agg);
  clock_.advance_sec(121);
  Sent c = Send(Udp("10.0.0.2", 7000, kServer, 7001));
  EXPECT_NE(c.agg, a.agg);
  EXPECT_EQ(rec_.Count(DELETE_AGG, a.agg), 1);
  EXPECT_EQ(rec_.Count(NEW_AGG, c.agg), 1);
  EXPECT_EQ(agg_->flow_count(), 1u);
  // A finished flow found by lookup alone stays as it is.
  clock_.advance_sec(200);
  Packet* p = Make(BuildIPv4(Udp("10.0.0.2", 7000, kServer, 7001)), true);
  Flow* f = agg_->find_flow_info(p);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->aggregate, c.agg);
  EXPECT_EQ(rec_.Count(DELETE_AGG, c.agg), 0);
  p->release();
}

// The time-out counts whole seconds of the two stamps, not the time between
// them.
TEST_F(AggTest, UdpTimeOutCountsWholeSeconds) {
  ASSERT_TRUE(Load("REAP 3600")) << h_.messages();
  clock_.advance_msec(999);
  Sent a = Send(Udp("10.0.0.2", 7000, kServer, 7001));
  clock_.advance_msec(120001);  // 120.001 s later, 121 whole seconds on
  Sent b = Send(Udp("10.0.0.2", 7000, kServer, 7001));
  EXPECT_NE(b.agg, a.agg);
  clock_.advance_msec(120999);  // 120.999 s later, 120 whole seconds on
  Sent c = Send(Udp("10.0.0.2", 7000, kServer, 7001));
  EXPECT_EQ(c.agg, b.agg);
}

TEST_F(AggTest, TcpFlowIsReusedOnlyAfterBothFinsByAPureSyn) {
  ASSERT_TRUE(Load("REAP 3600")) << h_.messages();
  struct Case {
    const char* what;
    bool fin_out, fin_in;
    int idle;
    uint8_t flags;
    bool reused;
  };
  const Case cases[] = {
      {"both fins, 31 s, syn", true, true, 31, 0x02, true},
      {"both fins, syn with psh", true, true, 31, 0x0A, true},
      {"both fins, 30 s", true, true, 30, 0x02, false},
      {"both fins, syn-ack", true, true, 31, 0x12, false},
      {"one fin", true, false, 31, 0x02, false},
      {"no fin, idle long", false, false, 600, 0x02, false},
  };
  uint16_t port = 20000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ++port;
    Sent a = Send(Tcp("10.0.0.2", port, kServer, 443, 0x02));
    Send(Tcp(kServer, 443, "10.0.0.2", port, 0x12), false);
    if (c.fin_out) Send(Tcp("10.0.0.2", port, kServer, 443, 0x11));
    if (c.fin_in) Send(Tcp(kServer, 443, "10.0.0.2", port, 0x11), false);
    if (c.fin_out && c.fin_in) {
      EXPECT_EQ(rec_.Count(DELETE_AGG, a.agg), 1);
    }
    clock_.advance_sec(c.idle);
    Sent b = Send(Tcp("10.0.0.2", port, kServer, 443, c.flags));
    EXPECT_EQ(b.agg != a.agg, c.reused);
    if (c.reused) {
      // Told once, at its end; not again when the record is reused.
      EXPECT_EQ(rec_.Count(DELETE_AGG, a.agg), 1);
      EXPECT_EQ(FlowOf(b)->fin_state, 0);
      EXPECT_EQ(FlowOf(b)->src_port, port);  // kept
    }
  }
}

// ---- ICMP errors and fragments.

std::vector<uint8_t> IcmpError(const char* from, const char* to, uint8_t type,
                               const std::vector<uint8_t>& quoted) {
  PacketSpec s;
  s.protocol = 1;
  s.src = from;
  s.dst = to;
  s.icmp_type = type;
  s.payload = 28;
  std::vector<uint8_t> b = BuildIPv4(s);
  std::memcpy(&b[28], quoted.data(), 28);
  return b;
}

TEST_F(AggTest, IcmpErrorsJoinTheFlowTheyQuoteWhenAsked) {
  for (bool icmp : {true, false}) {
    SCOPED_TRACE(icmp);
    ASSERT_TRUE(Load(icmp ? "ICMP true, REAP 3600" : "REAP 3600")) << h_.messages();
    const std::vector<uint8_t> request = BuildIPv4(Udp("10.0.0.2", 9000, kServer, 9001));
    Sent flow = Push(Make(request, true));
    PacketSpec echo;
    echo.protocol = 1;
    echo.src = "10.0.0.2";
    echo.dst = kServer;
    Sent e = Send(echo);
    Sent err = Push(Make(IcmpError(kServer, "10.0.0.2", 3, request), false));
    Sent other = Push(Make(IcmpError(kServer, "10.0.0.2", 0, request), false));
    if (icmp) {
      EXPECT_EQ(e.port, 1);
      EXPECT_EQ(e.agg, 0u);
      EXPECT_EQ(err.port, 0);
      EXPECT_EQ(err.agg, flow.agg);
      EXPECT_EQ(err.paint, 2);
      EXPECT_EQ(FlowOf(flow)->packets[0] + FlowOf(flow)->packets[1], 1u);
      EXPECT_EQ(other.port, 1);
      EXPECT_EQ(agg_->flow_count(), 1u);
    } else {
      EXPECT_EQ(e.port, 0);
      EXPECT_NE(err.agg, flow.agg);
      EXPECT_EQ(err.port, 0);
      EXPECT_EQ(agg_->flow_count(), 2u);  // udp, and one ICMP flow for the rest
    }
  }
}

TEST_F(AggTest, NonFirstFragmentsCountWithTheirFlow) {
  for (const char* fragments : {"", "FRAGMENTS true", "FRAGMENTS false"}) {
    SCOPED_TRACE(fragments);
    ASSERT_TRUE(Load(std::string("REAP 3600") + (*fragments ? ", " : "") + fragments))
        << h_.messages();
    const bool on = std::string(fragments) != "FRAGMENTS false";
    EXPECT_EQ(agg_->fragments(), on);
    PacketSpec first = Udp("10.0.0.2", 6000, kServer, 6001);
    first.more_fragments = true;
    first.payload = 64;
    Sent a = Send(first, true, 0, 0x4242);
    ASSERT_EQ(a.port, 0);
    PacketSpec second = Udp("10.0.0.2", 6000, kServer, 6001);
    second.fragment_offset = 9;
    second.payload = 16;
    // Index and the full scan agree, and neither makes anything.
    Packet* probe = Make(WithIpFields(BuildIPv4(second), 0, 0x4242), true);
    if (on) {
      EXPECT_EQ(agg_->find_flow_info(probe), FlowOf(a));
      EXPECT_EQ(agg_->scan_fragment_flow(probe), FlowOf(a));
    }
    probe->release();
    Sent b = Send(second, true, 0, 0x4242);
    Sent stray = Send(second, true, 0, 0x5151);
    if (on) {
      EXPECT_EQ(b.port, 0);
      EXPECT_EQ(b.agg, 0u);
      EXPECT_EQ(FlowOf(a)->packets[0], 2u);
      EXPECT_EQ(stray.port, 0);
      EXPECT_EQ(stray.agg, 0u);
      // A later packet of the flow takes it out of the index: a late
      // fragment of that datagram is found by neither.
      Send(Udp("10.0.0.2", 6000, kServer, 6001), true, 0, 0x4243);
      Packet* late = Make(WithIpFields(BuildIPv4(second), 0, 0x4242), true);
      EXPECT_EQ(agg_->find_flow_info(late), nullptr);
      EXPECT_EQ(agg_->scan_fragment_flow(late), nullptr);
      late->release();
    } else {
      EXPECT_EQ(b.port, 1);
      EXPECT_EQ(stray.port, 1);
    }
    EXPECT_EQ(agg_->flow_count(), 1u);
  }
}

TEST_F(AggTest, FindFlowInfoMakesNothing) {
  ASSERT_TRUE(Load()) << h_.messages();
  Packet* p = Make(BuildIPv4(Tcp("10.0.0.2", 1, kServer, 2, 0x02)), true);
  EXPECT_EQ(agg_->find_flow_info(p), nullptr);
  EXPECT_EQ(agg_->flow_count(), 0u);
  int pairs = 0;
  agg_->for_each_flow([&](Flow*) { ++pairs; });
  EXPECT_EQ(pairs, 0);
  EXPECT_TRUE(rec_.events.empty());
  Sent s = Push(p);
  Packet* reply = Make(BuildIPv4(Tcp(kServer, 2, "10.0.0.2", 1, 0x12)), false);
  EXPECT_EQ(agg_->find_flow_info(reply), FlowOf(s));
  reply->release();
}

// ---- Index table and flow cap.

TEST_F(AggTest, FullIndexTableGivesIndexZeroAndTheCapRefusesWithOneWarning) {
  ASSERT_TRUE(Load("REAP 3600", 4, 8)) << h_.messages();
  Fresh();
  std::vector<Sent> sent;
  for (uint16_t i = 0; i < 10; ++i) sent.push_back(Send(Udp("10.0.0.2", 100 + i, kServer, 53)));
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(sent[i].index, static_cast<uint32_t>(i + 1));
    EXPECT_EQ(rec_.Count(NEW_AGG, sent[i].agg), 1);
  }
  for (int i = 4; i < 8; ++i) {
    EXPECT_EQ(sent[i].port, 0);
    EXPECT_EQ(sent[i].index, 0u);
    EXPECT_EQ(rec_.Count(NEW_AGG, sent[i].agg), 0);
  }
  EXPECT_EQ(sent[8].port, 1);
  EXPECT_EQ(sent[9].port, 1);
  EXPECT_EQ(agg_->flow_count(), 8u);
  const std::string log = Fresh();
  EXPECT_EQ(Occurrences(log, "WARNING: flow table is full"), 1) << log;
  EXPECT_NE(log.find("WARNING: flow index table is full"), std::string::npos);
  // Known flows still pass, and the warning comes again after 120 s.
  EXPECT_EQ(Send(Udp("10.0.0.2", 100, kServer, 53)).port, 0);
  clock_.advance_sec(121);
  EXPECT_EQ(Send(Udp("10.0.0.2", 999, kServer, 53)).port, 1);
  EXPECT_EQ(Occurrences(Fresh(), "WARNING: flow table is full"), 1);
}

TEST_F(AggTest, EveryFreedIndexIsGivenAgain) {
  constexpr uint16_t kSlots = 2000;
  ASSERT_TRUE(Load("", kSlots, 10000)) << h_.messages();
  for (uint16_t i = 0; i < kSlots; ++i) ASSERT_NE(Send(Udp("10.0.0.2", 10000 + i, kServer, 53)).index, 0u);
  // Flow 1 stays (its slot is the first one after the last fresh slot); the
  // others expire together in the pass at +221 s.
  clock_.advance_sec(100);
  Send(Udp("10.0.0.2", 10000, kServer, 53));
  clock_.advance_sec(50);
  Send(Udp("10.0.0.2", 10000, kServer, 53));
  clock_.advance_sec(71);
  Send(Udp("10.0.0.2", 10000, kServer, 53));
  ASSERT_EQ(agg_->flow_count(), 1u);
  const int news = rec_.Count(NEW_AGG);
  for (uint16_t i = 0; i < kSlots - 1; ++i) {
    Sent s = Send(Udp("10.0.0.2", 30000 + i, kServer, 53));
    ASSERT_NE(s.index, 0u) << i;
  }
  EXPECT_EQ(rec_.Count(NEW_AGG), news + kSlots - 1);
}

// ---- DSCP marking.

// Flow tables place keys by this value: one-at-a-time over the key's bytes
// in memory order.
TEST(AggHostPair, HashIsOneAtATimeOverTheKeyBytes) {
  struct Case {
    uint8_t bytes[12];
    uint32_t hash;
  };
  const Case cases[] = {
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0x00000000},
      {{10, 0, 0, 1, 198, 51, 100, 1, 4, 4, 0, 53}, 0x68678118},
      {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 0xaaa4c460},
      {{255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255}, 0xb3234158},
  };
  for (const Case& c : cases) {
    AggregateIPFlows::HostPair key;
    std::memcpy(&key, c.bytes, sizeof c.bytes);
    EXPECT_EQ(hashcode(key), c.hash) << int{c.bytes[0]};
  }
}

TEST(AggDscp, MarkingEqualsAFullChecksumAndKeepsEcn) {
  testing_support::StartedLog log{0};
  for (int dscp = 1; dscp < 64; ++dscp) {
    for (uint8_t ecn = 0; ecn < 4; ++ecn) {
      std::vector<uint8_t> b = BuildIPv4(Udp("10.0.0.2", 1, kServer, 2));
      b[1] = static_cast<uint8_t>(0xA8 | ecn);
      FixIpChecksum(b);
      Packet* p = MakePacket(b);
      Packet* shared = p->clone();  // marking must not write through a shared buffer
      p->set_flow_qos_anno(static_cast<uint8_t>(dscp));
      p = AggregateIPFlows::mark_dscp(p);
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(p->data()[1], (dscp << 2) | ecn);
      std::string why;
      EXPECT_TRUE(ChecksumsValid(p, &why)) << dscp << " " << why;
      EXPECT_EQ(shared->data()[1], 0xA8 | ecn);
      p->release();
      shared->release();
    }
  }
  for (uint8_t none : {0, 255}) {
    Packet* p = MakePacket(BuildIPv4(Udp("10.0.0.2", 1, kServer, 2)));
    p->set_flow_qos_anno(none);
    EXPECT_EQ(AggregateIPFlows::mark_dscp(p), p);
    EXPECT_EQ(p->data()[1], 0);
    p->release();
  }
}

// ---- Policy and QoS decision.

const char kPolicyRows[] = R"(
  {"qos_match":{"cmap_name":"drop","cmap_match_criteria":{"mtch_dest_ip":"198.51.100.66"}},
   "qos_action":{"traffic_action":{"priority":"drop"}}},
  {"qos_match":{"cmap_name":"ef","cmap_match_criteria":{"mtch_dest_ip":"198.51.100.46"}},
   "qos_action":{"dscp_action":{"dscp_inner":"46-ef","dscp_outer":"34-af41"},
                 "traffic_action":{"priority":"high","class":"voice"}}},
  {"qos_match":{"cmap_name":"auto","cmap_match_criteria":{"mtch_dest_ip":"198.51.100.21"}},
   "qos_action":{"traffic_action":{"priority":"auto","class":"auto"}}},
  {"qos_match":{"cmap_name":"police","cmap_match_criteria":{"mtch_dest_ip":"198.51.100.80"}},
   "qos_action":{"sched_action":{"sch_rate_limit_enable":1,"sch_tx_rate_limit_kbps":8,
                                 "sch_rx_rate_limit_kbps":8}}},
  {"qos_match":{"cmap_name":"pbr","cmap_match_criteria":{"mtch_dest_ip":"100.70.9.0/24"}},
   "qos_action":{"pbr_action":{"pbr_next_hop_site":"hubs","pbr_next_hop_group_id":"g1"}}},
  {"qos_match":{"cmap_name":"low","cmap_match_criteria":{"mtch_dest_ip":"198.51.100.3"}},
   "qos_action":{"traffic_action":{"priority":"low","class":"bulk"}}})";

class AggPolicyTest : public AggTest {
 protected:
  AggPolicyTest() {
    Rows(kPolicyRows);
    view_.groups["g1"] = {IPAddress(Addr(kPeer))};
    view_.peers[Addr(kPeer)] = true;
  }
  Sent Out(const char* dst, uint16_t sport = 40000, uint16_t length = 0) {
    PacketSpec s = Udp(kVip, sport, dst, 5000);
    s.payload = length;
    return Send(s, true);
  }
  Sent In(const char* from, uint16_t dport = 40000, uint16_t length = 0) {
    PacketSpec s = Udp(from, 5000, kVip, dport);
    s.payload = length;
    return Send(s, false);
  }
};

TEST_F(AggPolicyTest, RowsGiveTheirActionsToEveryPacket) {
  ASSERT_TRUE(Load("REAP 3600")) << h_.messages();
  Sent drop = Out("198.51.100.66");
  EXPECT_EQ(drop.port, 1);
  EXPECT_EQ(Out("198.51.100.66").port, 1);
  EXPECT_EQ(agg_->flow_count(), 1u);  // refused, yet a flow that expires as usual

  Sent ef = Out("198.51.100.46");
  ASSERT_EQ(ef.port, 0);
  EXPECT_EQ(ef.a8(kSchedClassAnnoOffset), 1);
  EXPECT_EQ(ef.a8(kSchedSubclassAnnoOffset), 1);
  EXPECT_EQ(ef.a8(kReplicateAnnoOffset), 1);
  EXPECT_EQ(ef.a8(kFlowQoSAnnoOffset), 46);
  EXPECT_EQ(ef.a8(kDSCPAnnoOffset), 34);
  EXPECT_EQ(ef.bytes[1] >> 2, 46);  // written into the packet
  EXPECT_EQ(ef.a32(kDstIPAnnoOffset), Addr("198.51.100.46"));
  EXPECT_EQ(ef.a8(kPolicyIndexAnnoOffset), FlowOf(ef)->policy_index);
  // The reply carries the same marks.
  Sent back = In("198.51.100.46");
  EXPECT_EQ(back.a8(kFlowQoSAnnoOffset), 46);
  EXPECT_EQ(back.bytes[1] >> 2, 46);

  Sent low = Out("198.51.100.3");
  EXPECT_EQ(low.a8(kSchedClassAnnoOffset), 3);
  EXPECT_EQ(low.a8(kSchedSubclassAnnoOffset), 4);
  EXPECT_EQ(low.a8(kReplicateAnnoOffset), 0);
  EXPECT_EQ(low.a8(kFlowQoSAnnoOffset), 255);  // keep the packet's own DSCP
  EXPECT_EQ(low.bytes[1], 0);
}

TEST_F(AggPolicyTest, InboundFirstFlowsWaitForTheirFirstOutboundPacket) {
  ASSERT_TRUE(Load("REAP 3600")) << h_.messages();
  Sent in = In("198.51.100.46");
  EXPECT_EQ(in.port, 0);
  EXPECT_EQ(in.a8(kSchedClassAnnoOffset), 0);
  EXPECT_EQ(in.a8(kFlowQoSAnnoOffset), 0);
  EXPECT_EQ(FlowOf(in)->policy_version, 0u);
  Sent out = Out("198.51.100.46");
  EXPECT_EQ(out.agg, in.agg);
  EXPECT_EQ(out.a8(kSchedClassAnnoOffset), 1);
  EXPECT_EQ(FlowOf(in)->policy_version, policy_->policy_table_version());
}

TEST_F(AggPolicyTest, VersionBumpLooksEveryFlowUpAgain) {
  ASSERT_TRUE(Load("REAP 3600")) << h_.messages();
  Sent a = Out("198.51.100.3");
  const uint32_t v = policy_->policy_table_version();
  Fresh();
  policy_->update_policy_table_version();
  In("198.51.100.3");  // inbound: no lookup
  EXPECT_EQ(Fresh().find("Policy table version changed"), std::string::npos);
  Out("198.51.100.3");
  char line[128];
  std::snprintf(line, sizeof line,
                "Agg: Policy table version changed f:%u old %u new %u, do lookup again", a.agg, v,
                v + 1);
  EXPECT_NE(Fresh().find(line), std::string::npos) << line;
  EXPECT_EQ(FlowOf(a)->policy_version, v + 1);
}

// The lookup gets the ports as the flow's first sender sent them, whether
// its address is the lower or the higher of the host pair's key.
TEST_F(AggPolicyTest, LookupGetsTheFirstSendersPorts) {
  Rows(R"({"qos_match":{"cmap_name":"to5201","cmap_match_criteria":{"mtch_dest_port":"5201"}},
           "qos_action":{"traffic_action":{"priority":"drop"}}})");
  ASSERT_TRUE(Load("REAP 3600")) << h_.messages();
  for (const char* server : {kServer, kPeer}) {  // above, then below the VIP in key order
    SCOPED_TRACE(server);
    EXPECT_EQ(Send(Udp(kVip, 40000, server, 5201)).port, 1);
    EXPECT_EQ(Send(Udp(kVip, 5201, server, 40000)).port, 0);
  }
}

TEST_F(AggPolicyTest, AutoPriorityTakesTheCategoryDefaults) {
  ASSERT_TRUE(Load("REAP 3600")) << h_.messages();
  struct Case {
    int32_t category, app, subcategory;
    int priority, traffic_class;
  };
  const Case cases[] = {
      {0, 0, 0, 2, 3},  {1, 0, 0, 3, 2},   {10, 0, 0, 1, 1},  {21, 0, 0, 0, 0},
      {22, 0, 0, 2, 3}, {-1, 0, 0, 2, 3},  {9, 87, 1, 1, 1},  {9, 87, 2, 3, 3},
  };
  uint16_t port = 41000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.category);
    ++port;
    Sent in = In("198.51.100.21", port);
    Flow* f = FlowOf(in);
    f->detection.category = c.category;
    f->detection.app_id = c.app;
    f->detection.subcategory = c.subcategory;
    Sent out = Out("198.51.100.21", port);
    EXPECT_EQ(out.a8(kSchedClassAnnoOffset), c.priority);
    EXPECT_EQ(out.a8(kSchedSubclassAnnoOffset), c.traffic_class);
    EXPECT_EQ(out.a8(kReplicateAnnoOffset), c.priority == 1 && c.traffic_class == 1 ? 1 : 0);
  }
}

TEST_F(AggPolicyTest, PolicerRefusesPastItsBucketAndOnlyWithACurrentRow) {
  ASSERT_TRUE(Load("REAP 3600")) << h_.messages();
  // Inbound first: no row yet, nothing policed however much arrives.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(In("198.51.100.80", 40000, 1200).port, 0);
  EXPECT_EQ(Out("198.51.100.80", 40000, 1200).port, 0);
  EXPECT_EQ(Out("198.51.100.80", 40000, 1200).port, 1);  // 1000 bytes/s
  EXPECT_EQ(In("198.51.100.80", 40000, 1200).port, 0);  // the receive bucket
  EXPECT_EQ(In("198.51.100.80", 40000, 1200).port, 1);
  clock_.advance_sec(3);
  EXPECT_EQ(Out("198.51.100.80", 40000, 1200).port, 0);
  // A rebuilt table that no longer has the row: inbound packets of the flow
  // (whose index is now stale) are not policed by whatever row sits there.
  Rows(R"({"qos_match":{"cmap_name":"only","cmap_match_criteria":{"mtch_dest_ip":"198.51.100.1"}}})");
  ASSERT_EQ(policy_->reconfigure(), 0);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(In("198.51.100.80", 40000, 1200).port, 0);
}

TEST_F(AggPolicyTest, PbrNextHopFollowsThePeer) {
  ASSERT_TRUE(Load("REAP 3600")) << h_.messages();
  Sent a = Out("100.70.9.5");
  ASSERT_EQ(a.port, 0);
  EXPECT_EQ(a.a32(kNextHopAnnoOffset), Addr(kPeer));
  EXPECT_EQ(a.a8(kRouteTableAnnoOffset), 0);
  Flow* f = FlowOf(a);
  EXPECT_EQ(f->overlay_bound, 1u);
  EXPECT_EQ(f->dest_type, 2);
  EXPECT_EQ(f->rx_overlay_addr.addr(), view_.own_address.addr());
  // Peer down: no usable next hop, packets refused.
  view_.peers[Addr(kPeer)] = false;
  EXPECT_EQ(Out("100.70.9.5").port, 1);
  EXPECT_EQ(f->route_index, -1);
  // Up again: resolved again.
  view_.peers[Addr(kPeer)] = true;
  Sent b = Out("100.70.9.5");
  EXPECT_EQ(b.port, 0);
  EXPECT_EQ(b.a32(kNextHopAnnoOffset), Addr(kPeer));
  EXPECT_EQ(f->pbr_resolved, 1);
  // Unmanaged device: overlay-bound flows refused, direct ones pass.
  policy_->setDeviceClassificationUnmanaged();
  EXPECT_EQ(Out("100.70.9.5").port, 1);
  EXPECT_EQ(Out("198.51.100.3").port, 0);
}

TEST_F(AggPolicyTest, DscpRowsKeyFlowsByDscp) {
  Rows(R"({"qos_match":{"cmap_name":"ef","cmap_match_criteria":{"mtch_src_dscp":"46-ef"}},
           "qos_action":{"traffic_action":{"priority":"high"}}})");
  ASSERT_TRUE(Load("REAP 3600")) << h_.messages();
  int lookups = 0;
  static int* counter;
  counter = &lookups;
  agg_->set_best_route_lookup([](uint32_t, platform::BestRoute* out) {
    ++*counter;
    *out = platform::BestRoute();
    return 0u;
  });
  Sent plain = Send(Udp(kVip, 1, kServer, 2), true, 0);
  Sent ef = Send(Udp(kVip, 1, kServer, 2), true, 46 << 2);
  Sent ef2 = Send(Udp(kVip, 1, kServer, 2), true, 46 << 2);
  EXPECT_NE(plain.agg, ef.agg);
  EXPECT_EQ(ef2.agg, ef.agg);
  EXPECT_EQ(ef.a8(kSchedClassAnnoOffset), 1);
  // One route lookup per destination, not per packet.
  EXPECT_EQ(lookups, 1);
}

// ---- Expiry.

class AggReapTest : public AggTest {
 protected:
  // A packet of an unrelated flow that drives the passes.
  void Tick(uint16_t port = 9) { Send(Udp("10.9.9.9", port, kServer, 9)); }
  bool Alive(uint32_t id) {
    bool found = false;
    agg_->for_each_flow([&](Flow* f) { found = found || f->aggregate == id; });
    return found;
  }
};

TEST_F(AggReapTest, IdleFlowsExpireByTheirTimeouts) {
  ASSERT_TRUE(Load("REAP 0")) << h_.messages();
  struct Case {
    const char* what;
    int kept_at, gone_at;
    std::vector<std::pair<PacketSpec, bool>> packets;
  };
  auto out = [](uint8_t flags) { return std::make_pair(Tcp("10.0.0.2", 1, kServer, 2, flags), true); };
  auto in = [](uint8_t flags) { return std::make_pair(Tcp(kServer, 2, "10.0.0.2", 1, flags), false); };
  const Case cases[] = {
      {"tcp established", 1200, 1201, {out(0x02), in(0x12), out(0x10), in(0x10)}},
      {"tcp one-sided", 30, 31, {out(0x02), out(0x10), out(0x10)}},
      {"tcp finished", 30, 31, {out(0x02), in(0x12), out(0x10), in(0x10), out(0x11), in(0x11)}},
      {"tcp reset", 30, 31, {out(0x02), in(0x12), out(0x10), in(0x10), in(0x04)}},
      {"udp", 120, 121, {{Udp("10.0.0.2", 1, kServer, 2), true}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint32_t id = 0;
    for (const auto& [shape, outbound] : c.packets) id = Send(shape, outbound).agg;
    clock_.advance_sec(c.kept_at);
    Tick();
    EXPECT_TRUE(Alive(id));
    clock_.advance_sec(c.gone_at - c.kept_at);
    Tick();
    EXPECT_FALSE(Alive(id));
    // Told once: at the end of the connection or at expiry.
    EXPECT_EQ(rec_.Count(DELETE_AGG, id), 1);
  }
}

TEST_F(AggReapTest, PassesNotifyWithinTheLimit) {
  ASSERT_TRUE(Load()) << h_.messages();
  for (uint16_t i = 0; i < 1600; ++i) Send(Udp("10.0.0.2", 1000 + i, kServer, 53));
  // Passes at +60 and +180: the second one expires them all.
  clock_.advance_sec(60);
  Tick(1);
  clock_.advance_sec(120);
  Fresh();
  Tick(2);
  EXPECT_EQ(rec_.Count(DELETE_AGG), 1501);
  EXPECT_NE(Fresh().find("notified 1501 skipped 99. next in 240 secs"), std::string::npos);
  // Past the trim second (set by the first pass, 1200 s on) the limit is 128.
  for (uint16_t i = 0; i < 300; ++i) Send(Udp("10.0.0.2", 3000 + i, kServer, 53));
  clock_.advance_sec(1300);
  Fresh();
  Tick(3);
  EXPECT_EQ(rec_.Count(DELETE_AGG), 1501 + 129);
  const std::string log = Fresh();
  EXPECT_NE(log.find("completed trim in"), std::string::npos);
  // The 300 flows and the two earlier tick flows.
  EXPECT_NE(log.find("notified 129 skipped 173"), std::string::npos) << log;
  EXPECT_EQ(AggregateIPFlows::notification_limit(), 1500u);
}

TEST_F(AggReapTest, IntervalsDoubleUpTo1200) {
  for (const auto& [keywords, first] :
       std::vector<std::pair<std::string, uint32_t>>{{"", 60}, {"REAP 3600", 3600}, {"REAP 0", 0}}) {
    SCOPED_TRACE(keywords);
    ASSERT_TRUE(Load(keywords)) << h_.messages();
    Tick();
    const uint32_t start = static_cast<uint32_t>(clock_.msec() / 1000);
    EXPECT_EQ(agg_->next_reap_second(), start + first);
    std::vector<uint32_t> gaps;
    for (int i = 0; i < 7; ++i) {
      const uint32_t before = agg_->next_reap_second();
      clock_.set_msec(int64_t{before} * 1000);
      Tick();
      gaps.push_back(agg_->next_reap_second() - before);
    }
    std::vector<uint32_t> expected(7, first == 0 ? 0 : 1200);
    if (first == 60) expected = {120, 240, 480, 960, 1200, 1200, 1200};
    EXPECT_EQ(gaps, expected);
  }
}

TEST_F(AggReapTest, ClearEmptiesTheTablesAndKeepsTheSchedule) {
  ASSERT_TRUE(Load()) << h_.messages();
  Sent tcp = Send(Tcp("10.0.0.2", 1, kServer, 2, 0x02));
  Send(Tcp(kServer, 2, "10.0.0.2", 1, 0x12), false);
  Send(Tcp("10.0.0.2", 1, kServer, 2, 0x10));
  Send(Tcp(kServer, 2, "10.0.0.2", 1, 0x10), false);
  Sent udp = Send(Udp("10.0.0.2", 1, kServer, 2));
  clock_.advance_sec(60);
  Tick();  // first pass: sets the trim second
  const uint32_t next = agg_->next_reap_second();
  const uint32_t interval = agg_->reap_interval();
  const uint32_t trim = agg_->next_trim_second();
  ASSERT_NE(trim, 0u);
  EXPECT_EQ(h_.Write("agg", "clear", ""), 0);
  EXPECT_EQ(agg_->flow_count(), 0u);
  EXPECT_EQ(agg_->next_reap_second(), next);
  EXPECT_EQ(agg_->reap_interval(), interval);
  EXPECT_EQ(agg_->next_trim_second(), trim);
  EXPECT_EQ(rec_.Count(DELETE_AGG, udp.agg), 1);
  EXPECT_EQ(rec_.Count(DELETE_AGG, tcp.agg), 1);  // established TCP is told too
  // New flows after clear get indexes again.
  EXPECT_NE(Send(Udp("10.0.0.2", 5, kServer, 6)).index, 0u);
}

TEST_F(AggReapTest, ClockStepsBothWays) {
  ASSERT_TRUE(Load("REAP 0")) << h_.messages();
  for (int step : {0, -3600, 3600, 3600, -7200, 86400}) {
    clock_.advance_sec(step);
    Send(Tcp("10.0.0.2", 1, kServer, 2, 0x02));
    Send(Udp("10.0.0.2", 1, kServer, 2));
    Tick();
  }
  EXPECT_LE(agg_->flow_count(), 3u);
  EXPECT_EQ(h_.Write("agg", "clear", ""), 0);
  EXPECT_EQ(agg_->flow_count(), 0u);
}

// The scenarios' work directory: the tunnel graph with the policy, the
// firewall and the flow element in front of the route table.
TEST(AggScenarioGraph, LoadsWithTheFlowElementBeforeTheRouteTable) {
  const std::string workdir =
      std::filesystem::canonical(std::string(DOVADOD_TEST_DATA) + "/scenario");
  testing_support::StartedLog log(0);
  set_config_directory(workdir.c_str());
  {
    GraphHarness h;
    testing_support::SetRegText("SOFTWARE\\Corvex\\tarn", "workdir", workdir);
    EXPECT_TRUE(h.LoadFile(workdir + "/ostrel.graph")) << h.messages();
    EXPECT_EQ(h.messages(), "");
    Element* agg = h.Find("agg");
    ASSERT_NE(agg, nullptr);
    EXPECT_EQ(agg->output(0).element(), h.Find("rt"));
    EXPECT_EQ(agg->noutputs(), 2);
    EXPECT_EQ(AggregateIPFlows::process_instance(), agg);
    EXPECT_NE(registered_overlay_view(), nullptr);  // the overlay, registered at configure
  }
  set_config_directory(nullptr);
}

}  // namespace
