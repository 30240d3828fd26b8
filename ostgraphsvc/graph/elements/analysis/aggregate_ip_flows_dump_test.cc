// The flow element's dumps: flow lines and JSON objects, "dump",
// "dump-filter", "dump_file", "dns_dump", the line cut and the dump limit.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "graph/confparse.h"
#include "graph/handler.h"
#include "graph/json.h"
#include "graph/string_builder.h"
#include "ostgraphsvc/failclose/fail_close_mgr.h"
#include "ostgraphsvc/graph/elements/analysis/aggregate_ip_flows.h"
#include "ostgraphsvc/graph/elements/local/capture_record.h"
#include "ostgraphsvc/graph/elements/local/fromdevice.h"
#include "ostgraphsvc/graph/elements/policy/ost_policy.h"
#include "platform/fs/paths.h"
#include "ostgraphsvc/graph/elements/analysis/analysis_test_support.h"
#include "tests/support/graph_harness.h"
#include "tests/support/started_log.h"
#include "tests/support/temp_root.h"

namespace {

using testing_support::BuildIPv4;
using testing_support::CollectErrors;
using testing_support::GraphHarness;
using testing_support::MakePacket;
using testing_support::PacketSpec;
using testing_support::ReadFile;
using testing_support::WriteFile;
using Flow = AggregateIPFlows::StatFlowInfo;
using analysis_test::PayloadBytes;
using analysis_test::Shape;
namespace fs = std::filesystem;

constexpr char kServer[] = "198.51.100.9";
constexpr char kLogTag[] = " vedororore OstrelUtils::ostwinutls_log \n";

std::string Str(const String& s) { return std::string(s.data(), static_cast<size_t>(s.length())); }

class AggDumpTest : public ::testing::Test {
 protected:
  AggDumpTest() : work_(platform::root() + "/work/"), log_dir_(platform::root() + "/var/log") {
    fs::create_directories(work_);
    fs::create_directories(log_dir_);
    set_config_directory(work_.c_str());
    FailCloseMgr::GetInstance().Initialize();
    FailCloseMgr::GetInstance().ReplaceConfigured(false);
    WriteFile(work_ + "policy.json",
              R"({"activated_policies":[{"policy_config":{"pcfg_qos_policies":[)"
              R"({"qos_match":{"cmap_name":"web","cmap_match_criteria":{"mtch_dest_port":"443"}}})"
              "]}}]}");
  }
  ~AggDumpTest() override { set_config_directory(nullptr); }

  bool Load(bool firewall_on) {
    WriteFile(work_ + "fw.json",
              std::string(R"({"activated_policies":[{"policy_config_parsed":{"pcfg_firewall":)") +
                  (firewall_on ? R"({"pcfg_firewall_enabled":true})" : "{}") + "}}]}");
    const bool ok = h_.Load(
        "rt :: TestSink; ostpolicy :: OstPolicy(CONF policy.json); "
        "ostFirewall :: OstFirewall(CONF fw.json); src :: TestSource; sink :: TestSink; "
        "src -> agg :: AggregateIPFlows(REAP 3600); agg[0] -> [0]sink; agg[1] -> [1]sink;");
    agg_ = static_cast<AggregateIPFlows*>(h_.Find("agg"));
    auto* policy = static_cast<OstPolicy*>(h_.Find("ostpolicy"));
    if (!ok || agg_ == nullptr || policy == nullptr) return false;
    agg_->set_best_route_lookup([](uint32_t, platform::BestRoute*) -> uint32_t { return 1168; });
    policy->set_tunnel_started(true);
    return true;
  }

  Flow* Push(const std::vector<uint8_t>& bytes, bool outbound) {
    Packet* p = MakePacket(bytes);
    p->set_msgtype(1);
    p->set_timestamp(Timestamp::make_msec(clock_.msec()));
    WINDIVERT_ADDRESS record{};
    record.Flags = outbound ? WINDIVERT_ADDRESS_OUTBOUND : 0;
    set_capture_record(p, record);
    h_.Push("src", p);
    uint32_t index = 0;
    for (int port = 0; port < 2; ++port) {
      while (Packet* out = h_.Take("sink", port)) {
        index = out->flow_index_anno();
        if (port == 0) FromDevice::reportFlow(out);
        out->release();
      }
    }
    return agg_->record(index);
  }
  Flow* Send(const PacketSpec& shape, bool outbound = true) {
    return Push(BuildIPv4(shape), outbound);
  }

  // An HTTP request for `host` from 10.0.0.2:`sport` to `server`:80 and its
  // answer; the flow.
  Flow* Http(const char* server, uint16_t sport, const std::string& host) {
    const char* c = "10.0.0.2";
    Push(PayloadBytes(Shape(6, c, sport, server, 80, 0x02), "", 1000, 0), true);
    Push(PayloadBytes(Shape(6, server, 80, c, sport, 0x12), "", 5000, 1001), false);
    Push(PayloadBytes(Shape(6, c, sport, server, 80, 0x10), "", 1001, 5001), true);
    const std::string get = "GET /i.html HTTP/1.1\r\nHost: " + host + "\r\nAccept: */*\r\n\r\n";
    Flow* f = Push(PayloadBytes(Shape(6, c, sport, server, 80, 0x18), get, 1001, 5001), true);
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    const uint32_t sent = 1001 + static_cast<uint32_t>(get.size());
    Push(PayloadBytes(Shape(6, server, 80, c, sport, 0x18), reply, 5001, sent), false);
    Push(PayloadBytes(Shape(6, c, sport, server, 80, 0x10), "", sent,
                  5001 + static_cast<uint32_t>(reply.size())),
         true);
    return f;
  }

  // A TCP flow 10.0.0.2:40000 -> server:443, one packet each way 3 s apart,
  // with every field the dumps show set to a known value.
  Flow* FixtureFlow() {
    Send(Shape(6, "10.0.0.2", 40000, kServer, 443, 0x02));
    clock_.advance_sec(3);
    Flow* fi = Send(Shape(6, kServer, 443, "10.0.0.2", 40000, 0x12), false);
    if (fi == nullptr) return nullptr;
    fi->detection.app_id = 500;
    fi->host = String("www.a.example");
    std::strcpy(fi->process_name, "curl");
    fi->traffic_class = 2;
    fi->priority = 1;
    fi->policy_index = 0;
    fi->fw_state.protocol = 6;
    fi->fw_state.tcp_state = 1;
    fi->fw_state.rx_count = 3;
    fi->fw_state.rule_name = String("r1");
    return fi;
  }

  // The dump-filter answer, or "error" with `errors` filled.
  std::string Filter(const std::string& parameter, std::string* errors = nullptr) {
    String value(parameter.c_str());
    CollectErrors errh;
    const int r =
        AggregateIPFlows::dump_filter_handler(Handler::kOpRead, value, agg_, nullptr, &errh);
    if (errors != nullptr) *errors = errh.text;
    return r < 0 ? "error" : Str(value);
  }
  // The source ports of the flows a dump-filter answer shows.
  std::multiset<int> FilterPorts(const std::string& parameter) {
    const std::string text = Filter(parameter);
    Json array = Json::parse(String(text.c_str()));
    EXPECT_EQ(array.type(), Json::kArray) << parameter << ": " << text;
    std::multiset<int> ports;
    for (int i = 0; i < array.size(); ++i)
      ports.insert(array.get(String(std::to_string(i).c_str())).get("sport").to_int());
    return ports;
  }

  testing_support::StartedLog log_{0};
  testing_support::FakeClock clock_{1700000000000};
  GraphHarness h_;
  std::string work_;
  std::string log_dir_;
  AggregateIPFlows* agg_ = nullptr;
};

TEST_F(AggDumpTest, GoldenLineAndObjectWithTheFirewallOnAndOff) {
  const std::string head =
      "10.0.0.2:40000==>198.51.100.9:443  fid=1 dscp=0 app=tcp cat= host=www.a.example "
      "schedq=video-high policy=web pathid=4294967295 rt=Direct dur=3 rxif=LAN txif=WAN "
      "rxovl=0.0.0.0 txovl=0.0.0.0 fapp=0 pname=curl stat<1:40==>1:40> ";
  const std::string object_head =
      R"({"sip":"10.0.0.2","dip":"198.51.100.9","sport":40000,"dport":443,"protocol":"tcp",)"
      R"("appid":"tcp","appcat":"","fid":1,"dscp":0,"policyname":"web","desttype":"Direct",)"
      R"("pathid":4294967295,"fwpolicy":"r1","tcpstate":")";
  const std::string object_tail =
      R"(","hostnameuri":"www.a.example","rxif":"LAN","txif":"WAN","rxovl":"0.0.0.0",)"
      R"("txovl":"0.0.0.0","fapp":0,"customapp":0,"schedq":"video-high","rxpkts":1,)"
      R"("rxbytes":40,"txpkts":1,"txbytes":40,"pname":"curl","host":""})";
  struct Case {
    bool firewall_on;
    std::string line_tail;
    std::string tcp_state;
  } cases[] = {
      {true, "fw_state=tcp_established rx:3(0) tx:0(0) drops:0 rule:r1 fin:0:0\n",
       "tcp_established (fin:0:0)"},
      {false, "\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.firewall_on);
    ASSERT_TRUE(Load(c.firewall_on)) << h_.messages();
    Flow* fi = FixtureFlow();
    ASSERT_NE(fi, nullptr);
    char line[AggregateIPFlows::kFlowLineMax + 1];
    const int n = agg_->flow_text_line(fi, line);
    EXPECT_EQ(std::string(line), head + c.line_tail);
    EXPECT_EQ(n, static_cast<int>(std::strlen(line)));
    EXPECT_EQ(Filter(""), "[" + object_head + c.tcp_state + object_tail + "]");

    // Without a rule name and a process name: "none" and no "pname".
    fi->fw_state.rule_name = String();
    fi->process_name[0] = '\0';
    const std::string text = Filter("");
    EXPECT_NE(text.find(R"("fwpolicy":"none")"), std::string::npos) << text;
    EXPECT_EQ(text.find("pname"), std::string::npos) << text;
    agg_->flow_text_line(fi, line);
    EXPECT_NE(std::string(line).find(" pname=unk "), std::string::npos) << line;
  }
}

TEST_F(AggDumpTest, DumpWritesEachTableIntoTheLogAndAnswersNothing) {
  ASSERT_TRUE(Load(false)) << h_.messages();
  log_.fresh();
  EXPECT_EQ(h_.Read("agg", "dump"), "");
  // Four empty flushes, one per table.
  EXPECT_EQ(log_.fresh(), std::string(kLogTag) + kLogTag + kLogTag + kLogTag);

  Send(Shape(17, "10.0.0.3", 5353, kServer, 53));
  Send(Shape(47, "10.0.0.4", 0, kServer, 0));
  char udp[AggregateIPFlows::kFlowLineMax + 1], other[AggregateIPFlows::kFlowLineMax + 1];
  agg_->for_each_flow(
      [&](Flow* fi) { agg_->flow_text_line(fi, fi->protocol == 17 ? udp : other); });
  log_.fresh();
  EXPECT_EQ(h_.Read("agg", "dump"), "");
  EXPECT_EQ(log_.fresh(), std::string(kLogTag) + kLogTag + "\t\tUDP Flows\n" + udp + kLogTag +
                              kLogTag + "\t\tOTHER Flows\n" + other);
}

TEST_F(AggDumpTest, DumpFilterSelectsBySenderPeerAndApplication) {
  ASSERT_TRUE(Load(false)) << h_.messages();
  Send(Shape(6, "10.0.0.2", 443, kServer, 5000, 0x02))->detection.app_id = 500;
  Send(Shape(6, "10.0.0.2", 40000, kServer, 443, 0x02))->detection.app_id = 502;
  Send(Shape(17, "10.0.0.3", 5353, kServer, 53))->detection.app_id = 501;
  PacketSpec icmp = Shape(1, "10.0.0.2", 0, kServer, 0);
  icmp.icmp_id = 9;
  Send(icmp);
  Send(Shape(47, "10.0.0.4", 0, kServer, 0));
  struct Case {
    const char* parameter;
    std::multiset<int> sports;
  } cases[] = {
      {"", {443, 40000, 5353, 0, 0}},
      {"FOO 1, bar", {443, 40000, 5353, 0, 0}},
      {"L4PROTO all", {443, 40000, 5353, 0, 0}},
      {"L4PROTO tcp", {443}},  // unclassified TCP only
      {"L4PROTO udp", {5353}},
      {"L4PROTO other", {0}},
      {"L4PROTO https", {40000}},
      {"SPORT 443", {443}},
      {"DPORT 443", {40000}},
      {"SIP 10.0.0.3", {5353}},
      {"DIP 10.0.0.2", {}},
      {"DIP 198.51.100.9, DPORT 53, SPORT 5353", {5353}},
      {"SPORT 1, SPORT 443", {443}},  // the last value counts
  };
  for (const Case& c : cases) EXPECT_EQ(FilterPorts(c.parameter), c.sports) << c.parameter;
  // The same answer through the router's handler.
  EXPECT_EQ(h_.Read("agg", "dump-filter", "SPORT 443"), Filter("SPORT 443"));
}

TEST_F(AggDumpTest, BadFilterValuesAreRefused) {
  ASSERT_TRUE(Load(false)) << h_.messages();
  Send(Shape(17, "10.0.0.3", 5353, kServer, 53));
  for (const char* parameter : {"SIP 10.0.0", "DIP x", "SPORT", "SPORT 1x", "DPORT 99999999999",
                                "L4PROTO", "L4PROTO a b", "SIP 10.0.0.3, DPORT -"}) {
    std::string errors;
    EXPECT_EQ(Filter(parameter, &errors), "error") << parameter;
    EXPECT_EQ(errors, "<3>error parsing arguments\n") << parameter;
  }
  EXPECT_EQ(h_.Read("agg", "dump-filter", "SPORT x"), "");
}

TEST_F(AggDumpTest, LongLinesAreCutAt512AndNamesAreNeverNull) {
  ASSERT_TRUE(Load(false)) << h_.messages();
  Flow* fi = Send(Shape(17, "10.0.0.3", 5353, kServer, 53));
  ASSERT_NE(fi, nullptr);
  char line[AggregateIPFlows::kFlowLineMax + 1];
  // An id without a name prints as empty.
  fi->detection.app_id = 300;
  agg_->flow_text_line(fi, line);
  EXPECT_NE(std::string(line).find(" app= cat= host= "), std::string::npos) << line;
  EXPECT_EQ(Filter("L4PROTO udp"), "[]");
  // A host with control bytes is shown escaped; a long one cuts the line.
  fi->host = String("a\nb");
  agg_->flow_text_line(fi, line);
  EXPECT_NE(std::string(line).find(" host=a^Jb "), std::string::npos) << line;
  fi->host = String(std::string(400, 'h').c_str());
  EXPECT_EQ(agg_->flow_text_line(fi, line), 512);
  EXPECT_EQ(std::strlen(line), 512u);
  EXPECT_EQ(std::string(line).substr(0, 30), "10.0.0.3:5353==>198.51.100.9:5");
}

TEST_F(AggDumpTest, DumpFileWritesTheLinesIntoAFreshPrivateFile) {
  ASSERT_TRUE(Load(false)) << h_.messages();
  Send(Shape(17, "10.0.0.3", 5353, kServer, 53));
  const std::string path = log_dir_ + "/flow_dump.txt";
  const std::string outside = platform::root() + "/outside.txt";
  WriteFile(outside, "keep");
  fs::create_symlink(outside, path);
  log_.fresh();
  EXPECT_EQ(h_.Read("agg", "dump_file"), "");
  char line[AggregateIPFlows::kFlowLineMax + 1];
  agg_->for_each_flow([&](Flow* fi) { agg_->flow_text_line(fi, line); });
  EXPECT_EQ(ReadFile(path), std::string("\t\tUDP Flows\n") + line);
  EXPECT_EQ(ReadFile(outside), "keep");
  EXPECT_FALSE(fs::is_symlink(path));
  EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  std::string log = log_.fresh();
  EXPECT_NE(log.find("/var/log/flow_dump.txt file successfully deleted"), std::string::npos) << log;
  EXPECT_EQ(log.find("UDP Flows"), std::string::npos) << log;

  fs::remove(path);
  EXPECT_EQ(h_.Read("agg", "dump_file"), "");
  log = log_.fresh();
  EXPECT_NE(log.find("Error deleting file /var/log/flow_dump.txt"), std::string::npos) << log;
  EXPECT_EQ(ReadFile(path), std::string("\t\tUDP Flows\n") + line);
}

TEST_F(AggDumpTest, DumpsPastTheLimitLeaveWholeRecordsOutAndCountThem) {
  ASSERT_TRUE(Load(false)) << h_.messages();
  for (uint16_t port = 1; port <= 5; ++port) Send(Shape(17, "10.0.0.3", port, kServer, 53));
  Send(Shape(6, "10.0.0.3", 1, kServer, 80, 0x02));
  const std::string all = Filter("");
  Json whole = Json::parse(String(all.c_str()));
  ASSERT_EQ(whole.size(), 6);
  const size_t object = Str(whole.get("0").to_text()).size();

  // Room for two objects and the brackets, not for a third.
  agg_->set_dump_limit(2 * object + 3 + object / 2);
  const std::string cut = Filter("");
  const size_t end = cut.find("]\n");
  ASSERT_NE(end, std::string::npos) << cut;
  EXPECT_EQ(Json::parse(String(cut.substr(0, end + 1).c_str())).size(), 2);
  EXPECT_LE(end + 1, 2 * object + 3 + object / 2);
  EXPECT_EQ(cut.substr(end + 1), "\n4 records left out (dump limit 64 MiB)\n");

  // The text dump into its file: the TCP title and line, then the count.
  char line[AggregateIPFlows::kFlowLineMax + 1];
  const int n = agg_->flow_text_line(agg_->record(6), line);
  agg_->set_dump_limit(std::strlen("\t\tTCP Flows\n") + n + 10);
  h_.Read("agg", "dump_file");
  EXPECT_EQ(ReadFile(log_dir_ + "/flow_dump.txt"),
            std::string("\t\tTCP Flows\n") + line + "5 records left out (dump limit 64 MiB)\n");
  // The console's listing into its own file alike; the log is never cut.
  StringBuilder text;
  const std::string console = platform::root() + "/console.txt";
  agg_->dump_flow_tables(text, String(console.c_str()));
  EXPECT_EQ(text.length(), 0);
  EXPECT_EQ(ReadFile(console), ReadFile(log_dir_ + "/flow_dump.txt"));
  log_.fresh();
  h_.Read("agg", "dump");
  EXPECT_EQ(log_.fresh().find("left out"), std::string::npos);
}

TEST_F(AggDumpTest, DnsDumpOfAnEmptyCacheAndAnUnwritableFolder) {
  ASSERT_TRUE(Load(false)) << h_.messages();
  EXPECT_EQ(h_.Read("agg", "dns_dump"), "DNS Cache dumped to /var/log/dns_dump.json");
  const std::string path = log_dir_ + "/dns_dump.json";
  EXPECT_EQ(ReadFile(path), "[]");
  EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  // A folder nothing can be written into (as root, only a file in its place
  // is one).
  fs::remove_all(log_dir_);
  WriteFile(log_dir_, "not a folder");
  EXPECT_EQ(h_.Read("agg", "dns_dump"), "Unable to write DNS Cache to /var/log/dns_dump.json");
}

TEST_F(AggDumpTest, DetectedNamesAndTheHostCacheInTheDumps) {
  WriteFile(work_ + "app_category_map.json",
            R"([{"AppId": 7, "CatId": 5, "App": "HTTP", "Category": "Web"}])");
  WriteFile(work_ + "category_id.json", R"([{"Id": 5, "CategoryName": "Web"}])");
  WriteFile(work_ + "hostapps.json",
            R"([{"app_name": "exampletest", "appid": -7,
                 "host_attrs": {"hna_host_parts": ["test", "example", "*"]}}])");
  ASSERT_TRUE(Load(false)) << h_.messages();
  Flow* http = Http("192.0.2.21", 42002, "plain.example.org");
  ASSERT_NE(http, nullptr);
  ASSERT_EQ(http->detection.app_id, 7);
  char line[AggregateIPFlows::kFlowLineMax + 1];
  agg_->flow_text_line(http, line);
  EXPECT_NE(std::string(line).find(" app=HTTP cat=Web host=plain.example.org "), std::string::npos)
      << line;
  const std::string text = Filter("L4PROTO HTTP");
  EXPECT_NE(text.find(R"("protocol":"HTTP","appid":"HTTP","appcat":"Web",)"), std::string::npos)
      << text;
  EXPECT_NE(text.find(R"("hostnameuri":"plain.example.org",)"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("host":"plain.example.org"})"), std::string::npos) << text;
  // HTTP is never cached.
  EXPECT_EQ(h_.Read("agg", "dns_dump"), "DNS Cache dumped to /var/log/dns_dump.json");
  EXPECT_EQ(ReadFile(log_dir_ + "/dns_dump.json"), "[]");

  // A host-app hit is; its age shows in seconds.
  ASSERT_NE(Http("192.0.2.20", 42000, "www.x.example.test"), nullptr);
  clock_.advance_msec(10500);
  EXPECT_EQ(h_.Read("agg", "dns_dump"), "DNS Cache dumped to /var/log/dns_dump.json");
  const std::string entry =
      R"({"dstaddr":"192.0.2.20","hostname":"www.x.example.test","appid":-7,"catid":0,"ttl_s":10})";
  EXPECT_EQ(ReadFile(log_dir_ + "/dns_dump.json"), "[" + entry + "]");
  String json;
  Json array;
  agg_->dns_cache_to_json(json, array);
  EXPECT_EQ(Str(json), "[" + entry + "]");
  EXPECT_EQ(array.size(), 1);

  // Past the limit the array closes empty and the entry is counted.
  agg_->set_dump_limit(entry.size());
  h_.Read("agg", "dns_dump");
  EXPECT_EQ(ReadFile(log_dir_ + "/dns_dump.json"), "[]\n1 records left out (dump limit 64 MiB)\n");
}

TEST_F(AggDumpTest, ClearExpiresEveryFlow) {
  ASSERT_TRUE(Load(false)) << h_.messages();
  Send(Shape(17, "10.0.0.3", 5353, kServer, 53));
  Send(Shape(6, "10.0.0.3", 1, kServer, 80, 0x02));
  EXPECT_EQ(h_.Write("agg", "clear", "anything"), 0);
  EXPECT_EQ(agg_->flow_count(), 0u);
  EXPECT_EQ(Filter(""), "[]");
}

}  // namespace
