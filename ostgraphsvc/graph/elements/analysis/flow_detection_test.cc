// Application detection of the flow element in a graph: the map loaders,
// initial applications, the order of the four sources (first-packet tables,
// host cache, DPI library, host-app trie), the host cache's life, RTP
// subcategories and the owner lookup. Hand-made packets with zero tailroom,
// a test clock.
#include "ostgraphsvc/graph/elements/analysis/flow_detection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "graph/confparse.h"
#include "graph/packet.h"
#include "ostgraphsvc/failclose/fail_close_mgr.h"
#include "ostgraphsvc/graph/elements/analysis/aggregate_ip_flows.h"
#include "ostgraphsvc/graph/elements/local/capture_record.h"
#include "ostgraphsvc/graph/elements/policy/ost_policy.h"
#include "platform/fs/paths.h"
#include "ostgraphsvc/graph/elements/analysis/analysis_test_support.h"
#include "tests/support/graph_harness.h"
#include "tests/support/started_log.h"
#include "tests/support/temp_root.h"

namespace {

using testing_support::BuildIPv4;
using testing_support::GraphHarness;
using testing_support::MakePacket;
using testing_support::PacketSpec;
using testing_support::WriteFile;
using Flow = AggregateIPFlows::StatFlowInfo;
using analysis_test::PayloadBytes;
using analysis_test::Shape;

constexpr int64_t kStartMsec = 1700000000000;
constexpr char kClient[] = "10.0.0.2";

IPAddress Addr(const char* text) {
  IPAddress a;
  EXPECT_TRUE(cp_parse_ip_address(String(text), &a)) << text;
  return a;
}

uint32_t NoRoute(uint32_t, platform::BestRoute*) { return 1168; }

std::string DnsQuery(const std::string& name) {
  std::string q("\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 12);
  size_t start = 0;
  while (start <= name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    q += static_cast<char>(dot - start);
    q += name.substr(start, dot - start);
    start = dot + 1;
  }
  q += std::string("\x00\x00\x01\x00\x01", 5);
  return q;
}

// Counts owner questions; answers `answer` when it is not empty.
int g_owner_questions = 0;
uint16_t g_owner_port = 0;
std::string g_owner_answer;
bool CountingOwner(const sockaddr* addr, uint8_t, std::string* name, uint32_t* pid, bool) {
  ++g_owner_questions;
  g_owner_port = ntohs(reinterpret_cast<const sockaddr_in*>(addr)->sin_port);
  if (g_owner_answer.empty()) return false;
  *name = g_owner_answer;
  *pid = 42;
  return true;
}

class DetectTest : public ::testing::Test {
 protected:
  DetectTest() : work_(platform::root() + "/work/") {
    ::mkdir(work_.c_str(), 0755);
    set_config_directory(work_.c_str());
    WriteFile(work_ + "fw.json", "{\"x\":1}");
    WriteFile(work_ + "policy.json",
              R"({"activated_policies":[{"policy_config":{"pcfg_qos_policies":[]}}]})");
    FailCloseMgr::GetInstance().Initialize();
    FailCloseMgr::GetInstance().ReplaceConfigured(false);
    g_owner_questions = 0;
    g_owner_answer.clear();
  }
  ~DetectTest() override { set_config_directory(nullptr); }

  void Write(const std::string& name, const std::string& text) { WriteFile(work_ + name, text); }

  bool Load() {
    const bool ok = h_.Load(
        "rt :: TestSink; ostpolicy :: OstPolicy(CONF policy.json); "
        "ostFirewall :: OstFirewall(CONF fw.json); src :: TestSource; sink :: TestSink; "
        "src -> agg :: AggregateIPFlows(REAP 7200); agg[0] -> [0]sink; agg[1] -> [1]sink;");
    agg_ = static_cast<AggregateIPFlows*>(h_.Find("agg"));
    policy_ = static_cast<OstPolicy*>(h_.Find("ostpolicy"));
    if (agg_ == nullptr || policy_ == nullptr) return false;
    agg_->set_best_route_lookup(NoRoute);
    agg_->set_flow_owner_lookup(CountingOwner);
    policy_->set_tunnel_started(true);
    return ok;
  }

  // Pushes one packet; the flow it went to (null when none).
  Flow* Push(const std::vector<uint8_t>& bytes, bool outbound = true) {
    Packet* p = MakePacket(bytes);
    p->set_msgtype(1);
    p->set_timestamp(Timestamp::make_msec(clock_.msec()));
    WINDIVERT_ADDRESS record{};
    record.Flags = outbound ? WINDIVERT_ADDRESS_OUTBOUND : 0;
    set_capture_record(p, record);
    h_.Push("src", p);
    Flow* flow = nullptr;
    for (int port = 0; port < 2; ++port) {
      Packet* out = h_.Take("sink", port);
      if (out == nullptr) continue;
      flow = agg_->record(out->flow_index_anno());
      out->release();
    }
    return flow;
  }

  // An HTTP exchange from `sport` to server:80 asking for `host`; the flow.
  Flow* Http(const char* server, uint16_t sport, const std::string& host, uint16_t dport = 80) {
    Push(PayloadBytes(Shape(6, kClient, sport, server, dport, 0x02), "", 1000, 0));
    Push(PayloadBytes(Shape(6, server, dport, kClient, sport, 0x12), "", 5000, 1001), false);
    Push(PayloadBytes(Shape(6, kClient, sport, server, dport, 0x10), "", 1001, 5001));
    const std::string get =
        "GET /index.html HTTP/1.1\r\nHost: " + host + "\r\nUser-Agent: t\r\nAccept: */*\r\n\r\n";
    Flow* f = Push(PayloadBytes(Shape(6, kClient, sport, server, dport, 0x18), get, 1001, 5001));
    const std::string reply =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 0\r\n\r\n";
    Push(PayloadBytes(Shape(6, server, dport, kClient, sport, 0x18), reply, 5001,
               1001 + static_cast<uint32_t>(get.size())),
         false);
    Push(PayloadBytes(Shape(6, kClient, sport, server, dport, 0x10), "",
               1001 + static_cast<uint32_t>(get.size()),
               5001 + static_cast<uint32_t>(reply.size())));
    return f;
  }

  std::string Fresh() { return log_.fresh(); }
  static bool Has(const std::string& text, const std::string& what) {
    return text.find(what) != std::string::npos;
  }

  testing_support::StartedLog log_{0};
  testing_support::FakeClock clock_{kStartMsec};
  GraphHarness h_;
  std::string work_;
  AggregateIPFlows* agg_ = nullptr;
  OstPolicy* policy_ = nullptr;
};

constexpr char kAppMap[] = R"([
  {"AppId": 81, "CatId": 6, "App": "ICMP", "Category": "Network"},
  {"AppId": 130, "CatId": 5, "App": "Web", "Category": "Web"},
  {"AppId": 131, "CatId": 4, "App": "Unclassified TCP/UDP", "Category": "Unspecified"},
  {"AppId": 7, "CatId": 1, "App": "HTTP", "Category": "Old"},
  {"AppId": 7, "CatId": 5, "App": "HTTP", "Category": "Web"},
  {"AppId": -1, "CatId": 9, "App": "below", "Category": "x"},
  {"AppId": 512, "CatId": 9, "App": "above", "Category": "x"}
])";
constexpr char kCategories[] = R"([{"Id": 5, "CategoryName": "Web"},
  {"Id": 4, "CategoryName": "Unspecified"}, {"Id": 600, "CategoryName": "far"}])";

// ---- Map files and names.

TEST_F(DetectTest, MapLoadersFillTablesAndSkipIdsOutsideThem) {
  Write("app_category_map.json", kAppMap);
  Write("category_id.json", kCategories);
  ASSERT_TRUE(Load()) << h_.messages();
  const std::string text = Fresh();
  EXPECT_TRUE(Has(text, "app_category_map.json: AppId -1 is outside 0..511, element skipped"))
      << text;
  EXPECT_TRUE(Has(text, "app_category_map.json: AppId 512 is outside 0..511, element skipped"));
  EXPECT_TRUE(Has(text, "category_id.json: Id 600 is outside 0..511, element skipped"));
  ASSERT_NE(agg_->app_category_map(), nullptr);
  EXPECT_EQ(agg_->web_app_id(), 130);
  EXPECT_EQ(agg_->unclassified_app_id(), 131);
  EXPECT_EQ(agg_->app_category(7), 5);  // the later object replaced the earlier
  EXPECT_EQ(agg_->app_category(600), 0);
  EXPECT_STREQ(agg_->category_name(5), "Web");
  EXPECT_STREQ(agg_->category_name(3), "");
  EXPECT_STREQ(agg_->category_name(-2), "");

  // Names: pseudo ids, the library's, ids it leaves unnamed, custom names.
  EXPECT_STREQ(agg_->app_name(500), "tcp");
  EXPECT_STREQ(agg_->app_name(501), "udp");
  EXPECT_STREQ(agg_->app_name(502), "https");
  EXPECT_STREQ(agg_->app_name(5), "DNS");
  EXPECT_STREQ(agg_->app_name(7), "HTTP");
  EXPECT_STREQ(agg_->app_name(300), "");
  EXPECT_STREQ(agg_->app_name(450), "");

  // Refused files leave the tables absent.
  std::string big = "[";
  for (int i = 0; i < 513; ++i) big += std::string(i ? "," : "") + "{\"AppId\":1}";
  Write("big.json", big + "]");
  EXPECT_EQ(agg_->create_app_category_mapping(String("big.json")), -1);
  EXPECT_TRUE(Has(Fresh(), "ERROR: currently ndpi support 512 apps only, file has 513"));
  EXPECT_EQ(agg_->app_category_map(), nullptr);
  EXPECT_EQ(agg_->app_category(7), 0);
  Write("bad.json", "[{");
  EXPECT_EQ(agg_->create_category_name_mapping(String("bad.json")), -1);
  EXPECT_TRUE(Has(Fresh(), "Category id name map - JSON parse failed"));
  EXPECT_EQ(agg_->category_name_map(), nullptr);
  EXPECT_EQ(agg_->create_app_category_mapping(String("missing.json")), -1);
  EXPECT_TRUE(Has(Fresh(), "App Category map - JSON parse failed"));
}

TEST_F(DetectTest, InitialApplicationByProtocolAndResponderPort) {
  Write("app_category_map.json", kAppMap);
  ASSERT_TRUE(Load()) << h_.messages();
  struct Case {
    PacketSpec shape;
    int32_t app;
    int32_t category;
  } cases[] = {
      {Shape(6, kClient, 40000, "192.0.2.1", 8080, 0x02), 500, 4},
      {Shape(17, kClient, 40001, "192.0.2.1", 443), 502, 5},
      {Shape(6, kClient, 40002, "192.0.2.1", 443, 0x02), 502, 5},
      {Shape(17, kClient, 443, "192.0.2.1", 40003), 501, 4},  // 443 on the initiator's side
      {Shape(1, kClient, 0, "192.0.2.1", 0), 81, 6},
  };
  for (const Case& c : cases) {
    Flow* f = Push(PayloadBytes(c.shape, ""));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->detection.app_id, c.app) << c.shape.dport;
    EXPECT_EQ(f->detection.category, c.category) << c.shape.dport;
  }
}

// ---- Sources in order.

TEST_F(DetectTest, FirstPacketTablesDecideBeforeAnythingElse) {
  Write("fapps.json", R"([{"protocol": "tcp", "ipv4": "203.0.113.0/24", "port": "8000-8100",
                          "app": "corp", "appid": -5}])");
  Write("fpddb.json", R"([
    {"fpd_app": "zero", "fpd_app_id": 0, "fpd_protocol": "tcp", "fpd_ports": ["9000"],
     "fpd_ips_v4": ["198.18.0.0/16"]},
    {"fpd_app": "later", "fpd_app_id": 451, "fpd_protocol": "tcp", "fpd_ports": ["9000", "9001"],
     "fpd_ips_v4": ["198.18.0.0/16"]},
    {"fpd_app": "anyproto", "fpd_app_id": 452, "fpd_ports": ["53"], "fpd_ips_v4": ["198.19.0.0/16"]}
  ])");
  ASSERT_TRUE(Load()) << h_.messages();
  // The table answers at the first packet; an HTTP request on the flow does
  // not reach the library (no host is learned).
  Flow* f = Http("203.0.113.7", 40000, "www.corp.example", 8080);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->detection.app_id, -5);
  EXPECT_EQ(f->host, "");
  f = Push(PayloadBytes(Shape(6, kClient, 40010, "203.0.113.7", 8080, 0x02), ""));
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->detection.app_id, -5);
  EXPECT_EQ(f->detection.first_packet_found, 1);
  EXPECT_EQ(f->detection.done, 1);
  EXPECT_EQ(f->detection.ndpi_flow, nullptr);
  EXPECT_TRUE(Has(Fresh(), "FPD: Detected App: -5, Category: 0, dst: 203.0.113.7"));

  struct Case {
    PacketSpec shape;
    int32_t app;
  } cases[] = {
      {Shape(6, kClient, 40001, "203.0.113.7", 80, 0x02), 500},   // no item for the port
      {Shape(6, kClient, 40002, "198.18.1.1", 9000, 0x02), 500},  // first item is app 0
      {Shape(6, kClient, 40003, "198.18.1.1", 9001, 0x02), 451},  // the later app's own port
      {Shape(17, kClient, 40004, "198.19.1.1", 53), 452},         // any-protocol table for UDP
      {Shape(17, kClient, 40005, "203.0.113.7", 8080), 501},      // a TCP entry only
  };
  for (const Case& c : cases) {
    Flow* g = Push(PayloadBytes(c.shape, ""));
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->detection.app_id, c.app) << c.shape.dst << ":" << c.shape.dport;
    EXPECT_EQ(g->detection.first_packet_found, c.app != 500 && c.app != 501);
  }
}

constexpr char kHostApps[] = R"([
  {"app_name": "exampletest", "appid": -7, "category": "Web",
   "host_attrs": {"hna_host_parts": ["test", "example", "*"]}},
  {"app_name": "aexample", "appid": -8,
   "host_attrs": {"hna_host_parts": ["example", "a"]}}
])";

TEST_F(DetectTest, HostNamesLookUpTheHostAppTrieWithoutWwwLabels) {
  Write("hostapps.json", kHostApps);
  ASSERT_TRUE(Load()) << h_.messages();
  struct Case {
    const char* server;
    const char* host;
    int32_t app;
  } cases[] = {
      {"192.0.2.10", "www.a.example", -8},       {"192.0.2.11", "www2.a.example", -8},
      {"192.0.2.12", "a.example", -8},           {"192.0.2.13", "b.a.example", 7},
      {"192.0.2.14", "deep.x.example.test", -7},
  };
  uint16_t port = 41000;
  for (const Case& c : cases) {
    Flow* f = Http(c.server, port++, c.host);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->host, c.host);
    EXPECT_EQ(f->detection.app_id, c.app) << c.host;
    EXPECT_EQ(f->detection.hostapp_done, 1);
  }
}

TEST_F(DetectTest, TheHostCacheTeachesLaterFlowsUntilFlushed) {
  Write("hostapps.json", kHostApps);
  ASSERT_TRUE(Load()) << h_.messages();
  Flow* f = Http("192.0.2.20", 42000, "www.x.example.test");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->detection.app_id, -7);
  EXPECT_EQ(f->detection.ndpi_flow, nullptr);  // detection and extra dissection ended
  EXPECT_EQ(f->detection.first_name_text(), "www.x.example.test");
  ASSERT_NE(agg_->dns_cache().find(f->dst_addr), nullptr);
  EXPECT_TRUE(Has(Fresh(), "DNS_ENTRY_ADD ip=192.0.2.20 host=www.x.example.test appid=-7"));

  // The next flow to the server knows at its first packet.
  clock_.advance_sec(1800);
  Flow* g = Push(PayloadBytes(Shape(6, kClient, 42001, "192.0.2.20", 8443, 0x02), ""));
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->detection.app_id, -7);
  EXPECT_EQ(g->dns_match_logged, 1);
  EXPECT_TRUE(Has(Fresh(), "DNS_ENTRY_MATCH ip=192.0.2.20 host=www.x.example.test appid=-7"));

  // HTTP, DNS and the pseudo ids never enter the cache; a DNS query names
  // no host.
  Flow* plain = Http("192.0.2.21", 42002, "plain.example.org");
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->detection.app_id, 7);
  EXPECT_EQ(plain->host, "plain.example.org");
  Flow* dns = Push(PayloadBytes(Shape(17, kClient, 42003, "192.0.2.53", 53), DnsQuery("a.example.test")));
  ASSERT_NE(dns, nullptr);
  EXPECT_EQ(dns->detection.app_id, 5);
  EXPECT_EQ(dns->host, "");
  EXPECT_EQ(dns->detection.second_name_text(), "");
  EXPECT_EQ(agg_->dns_cache().size(), 1u);

  // An hour after its last refresh the hourly flush removes the entry.
  clock_.advance_sec(3601);
  Push(PayloadBytes(Shape(17, kClient, 42004, "192.0.2.99", 9), ""));
  EXPECT_EQ(agg_->dns_cache().size(), 0u);
  EXPECT_TRUE(Has(Fresh(), "DNS_ENTRY_DEL ip=192.0.2.20 host=www.x.example.test appid=-7"));
  Flow* h = Push(PayloadBytes(Shape(6, kClient, 42005, "192.0.2.20", 8443, 0x02), ""));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->detection.app_id, 500);
}

TEST_F(DetectTest, TheHostCacheStopsGrowingAtItsBound) {
  Write("hostapps.json", kHostApps);
  ASSERT_TRUE(Load()) << h_.messages();
  agg_->set_dns_cache_limit(3);
  const std::string get = "GET / HTTP/1.1\r\nHost: x.example.test\r\nAccept: */*\r\n\r\n";
  // A request and the next packet: detected, then learned.
  for (uint32_t i = 0; i < 5; ++i) {
    const std::string server = "100.64.0." + std::to_string(i + 1);
    Push(PayloadBytes(Shape(6, kClient, 50000, server.c_str(), 80, 0x18), get, 1001, 5001));
    Push(PayloadBytes(Shape(6, kClient, 50000, server.c_str(), 80, 0x10), "",
               1001 + static_cast<uint32_t>(get.size()), 5001));
    EXPECT_EQ(agg_->dns_cache().size(), i < 3 ? i + 1 : 3u) << i;
  }
  // Refreshing a known server still works at the bound.
  clock_.advance_sec(10);
  Push(PayloadBytes(Shape(6, kClient, 50000, "100.64.0.1", 80, 0x10), "", 1001, 5001));
  ASSERT_NE(agg_->dns_cache().find(Addr("100.64.0.1")), nullptr);
  EXPECT_EQ(agg_->dns_cache().find(Addr("100.64.0.1"))->time.msec(), clock_.msec());
  Fresh();
  clock_.advance_sec(3595);  // an hour after the others, not after the refreshed one
  Push(PayloadBytes(Shape(17, kClient, 50001, "192.0.2.99", 9), ""));
  const std::string text = Fresh();
  EXPECT_TRUE(Has(text, "DNS cache full (3 entries): 2 additions refused since the last flush"))
      << text;
  EXPECT_EQ(agg_->dns_cache().size(), 1u);
}

TEST_F(DetectTest, AHostAppChangeForcesTheFlush) {
  Write("hostapps.json", R"([
    {"app_name": "neg", "appid": -7, "host_attrs": {"hna_host_parts": ["test", "neg"]}},
    {"app_name": "zero", "appid": 0, "host_attrs": {"hna_host_parts": ["test", "zero"]}},
    {"app_name": "pos", "appid": 460, "host_attrs": {"hna_host_parts": ["test", "pos"]}}
  ])");
  ASSERT_TRUE(Load()) << h_.messages();
  Http("192.0.2.30", 43000, "neg.test");
  Http("192.0.2.31", 43001, "zero.test");
  Http("192.0.2.32", 43002, "pos.test");
  EXPECT_EQ(agg_->dns_cache().size(), 3u);
  // An entry of app 0 matches nothing.
  Flow* z = Push(PayloadBytes(Shape(6, kClient, 43010, "192.0.2.31", 81, 0x02), ""));
  ASSERT_NE(z, nullptr);
  EXPECT_EQ(z->detection.app_id, 500);

  Write("hostapps.json", R"([{"app_name": "other", "appid": -9,
                              "host_attrs": {"hna_host_parts": ["test", "other"]}}])");
  ASSERT_EQ(policy_->reconfigure(), 0);
  Fresh();
  Push(PayloadBytes(Shape(17, kClient, 43011, "192.0.2.99", 9), ""));
  const std::string text = Fresh();
  EXPECT_TRUE(Has(text, "DNS_ENTRY_DEL ip=192.0.2.30 host=neg.test appid=-7")) << text;
  EXPECT_TRUE(Has(text, "DNS_ENTRY_DEL ip=192.0.2.31 host=zero.test appid=0")) << text;
  EXPECT_EQ(agg_->dns_cache().size(), 1u);
  EXPECT_NE(agg_->dns_cache().find(Addr("192.0.2.32")), nullptr);
}

// ---- The library's phase.

TEST_F(DetectTest, UnknownTrafficIsGivenUpAfterItsPacketCount) {
  ASSERT_TRUE(Load()) << h_.messages();
  struct Case {
    uint8_t protocol;
    int packets_before_done;
    int32_t app;
  } cases[] = {{17, 9, 501}, {6, 11, 500}};
  uint16_t sport = 44000;
  for (const Case& c : cases) {
    const std::string junk("zqxjkvbwpfmq");
    Flow* f = nullptr;
    for (int i = 0; i < c.packets_before_done; ++i) {
      f = Push(PayloadBytes(Shape(c.protocol, kClient, sport, "192.0.2.40", 40100 + c.protocol, 0x18),
                     junk, 1000 + 10 * i, 1));
      ASSERT_NE(f, nullptr);
      ASSERT_EQ(f->detection.done, 0)
          << int{c.protocol} << " packet " << i + 1 << " app " << f->detection.app_id << " "
          << f->detection.ndpi_result.master_protocol << "/"
          << f->detection.ndpi_result.app_protocol;
      EXPECT_NE(f->detection.ndpi_flow, nullptr);
    }
    f = Push(PayloadBytes(Shape(c.protocol, kClient, sport, "192.0.2.40", 40100 + c.protocol, 0x18), junk,
                   1000 + 10 * c.packets_before_done, 1));
    EXPECT_EQ(f->detection.done, 1) << int{c.protocol};
    EXPECT_EQ(f->detection.app_id, c.app);
    EXPECT_EQ(f->detection.ndpi_flow, nullptr);
    ++sport;
  }
}

TEST_F(DetectTest, ReuseAndExpiryReleaseTheLibraryState) {
  ASSERT_TRUE(Load()) << h_.messages();
  Flow* f = Push(PayloadBytes(Shape(17, kClient, 45000, "192.0.2.50", 40000), "\x01\x02\x03"));
  ASSERT_NE(f, nullptr);
  ASSERT_NE(f->detection.ndpi_flow, nullptr);
  clock_.advance_sec(200);  // past the UDP time-out: the record is reused
  Flow* g = Push(PayloadBytes(Shape(17, kClient, 45000, "192.0.2.50", 40000), "\x01\x02\x03"));
  ASSERT_EQ(g, f);
  EXPECT_NE(g->detection.ndpi_flow, nullptr);  // a fresh state for the new flow
  EXPECT_EQ(g->detection.done, 0);
  // Clearing expires it; the sanitizer checks that nothing is left.
  agg_->clear_handler();
  EXPECT_EQ(agg_->flow_count(), 0u);
}

TEST_F(DetectTest, RtpSubcategoryFromPayloadTypeAndSize) {
  ASSERT_TRUE(Load()) << h_.messages();
  struct Case {
    size_t payload;  // UDP payload bytes
    uint8_t payload_type;
    int32_t subcategory;
  } cases[] = {
      {172, 0, 1},  {1172, 96, 2},      {172, 96, 1}, {272, 96, 1}, {273, 96, 2},
      {172, 24, 2}, {172, 0x80 | 8, 1}, {1, 0, 0},    {0, 0, 0},
  };
  for (const Case& c : cases) {
    PacketSpec shape = Shape(17, kClient, 46000, "192.0.2.60", 5004);
    std::string payload(c.payload, '\0');
    if (payload.size() > 1) payload[1] = static_cast<char>(c.payload_type);
    Packet* p = MakePacket(PayloadBytes(shape, payload));
    Flow fi;
    fi.protocol = 17;
    fi.detection.ndpi_result.app_protocol = 87;
    agg_->fixup_appid_and_subcategory(&fi, p);
    EXPECT_EQ(fi.detection.app_id, 87);
    EXPECT_EQ(fi.detection.subcategory, c.subcategory) << c.payload << " " << int{c.payload_type};
    // A DNS master wins whatever the application.
    fi.detection.ndpi_result.master_protocol = 5;
    agg_->fixup_appid_and_subcategory(&fi, p);
    EXPECT_EQ(fi.detection.app_id, 5);
    EXPECT_EQ(fi.detection.subcategory, 0);
    p->release();
  }
}

// ---- Owner.

TEST_F(DetectTest, TheOwnerIsAskedOncePerTcpAndUdpFlow) {
  ASSERT_TRUE(Load()) << h_.messages();
  // Not found: asked once all the same.
  for (int i = 0; i < 3; ++i) Push(PayloadBytes(Shape(6, kClient, 47000, "192.0.2.70", 80, 0x02), ""));
  EXPECT_EQ(g_owner_questions, 1);
  EXPECT_EQ(g_owner_port, 47000);
  // A TCP flow without SYN, ICMP and inbound UDP are not asked about.
  Push(PayloadBytes(Shape(6, kClient, 47001, "192.0.2.70", 80, 0x10), ""));
  Push(PayloadBytes(Shape(1, kClient, 0, "192.0.2.70", 0), ""));
  Push(PayloadBytes(Shape(17, "192.0.2.70", 53, kClient, 47002), ""), false);
  EXPECT_EQ(g_owner_questions, 1);
  // The flow's first outbound packet asks.
  Flow* u = Push(PayloadBytes(Shape(17, kClient, 47002, "192.0.2.70", 53), ""));
  Push(PayloadBytes(Shape(17, kClient, 47002, "192.0.2.70", 53), ""));
  EXPECT_EQ(g_owner_questions, 2);
  ASSERT_NE(u, nullptr);
  EXPECT_STREQ(u->process_name, "");

  g_owner_answer = std::string(300, 'n');
  Flow* named = Push(PayloadBytes(Shape(17, kClient, 47003, "192.0.2.70", 53), ""));
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(g_owner_questions, 3);
  EXPECT_EQ(std::string(named->process_name), std::string(255, 'n'));
}

}  // namespace
