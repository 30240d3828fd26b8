// OstFirewall in a graph: loading and reloading its section of the file,
// the rate parameters, refused files, "fw_dump" and the flow state texts.
#include "ostgraphsvc/graph/elements/policy/ost_firewall.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/handler.h"
#include "graph/router.h"
#include "platform/fs/paths.h"
#include "tests/support/graph_harness.h"
#include "tests/support/started_log.h"
#include "tests/support/temp_root.h"

namespace {

using testing_support::CollectErrors;
using testing_support::GraphHarness;
using testing_support::ReadFile;
using testing_support::WriteFile;

std::string Section(const std::string& firewall) {
  return R"({"activated_policies":[{"policy_config_parsed":{"pcfg_firewall":)" + firewall + "}}]}";
}

std::string Str(const String& s) { return std::string(s.data(), static_cast<size_t>(s.length())); }

class OstFirewallTest : public ::testing::Test {
 protected:
  OstFirewallTest() : work_(platform::root() + "/work/") {
    ::mkdir(work_.c_str(), 0755);
    set_config_directory(work_.c_str());
    WriteFile(work_ + "policy.json", "{\"x\":1}");
  }
  ~OstFirewallTest() override { set_config_directory(nullptr); }

  void Write(const std::string& text) { WriteFile(work_ + "fw.json", text); }
  bool Load(const std::string& policy = "ostpolicy :: OstPolicy(CONF policy.json);",
            const std::string& extra = "") {
    fw_ = nullptr;
    const bool ok =
        h_.Load("rt :: TestSink; " + policy + extra + " ostFirewall :: OstFirewall(CONF fw.json);");
    fw_ = static_cast<OstFirewall*>(h_.Find("ostFirewall"));
    return ok && fw_ != nullptr;
  }
  std::string Fresh() { return log_.fresh(); }
  static bool Has(const std::string& text, const std::string& what) {
    return text.find(what) != std::string::npos;
  }

  testing_support::StartedLog log_{0};
  GraphHarness h_;
  std::string work_;
  OstFirewall* fw_ = nullptr;
};

TEST_F(OstFirewallTest, FixtureLoadsRulesAndDumps) {
  Write(ReadFile(std::string(DOVADOD_TEST_DATA) + "/policy/three_rows.json"));
  ASSERT_TRUE(Load()) << h_.messages();
  EXPECT_TRUE(Has(h_.messages(), "AggregatorIP element not found-1")) << h_.messages();
  EXPECT_TRUE(fw_->enabled());
  EXPECT_TRUE(fw_->stateful());  // forced, whatever the file says
  EXPECT_EQ(fw_->create_rate(), 150u);
  EXPECT_EQ(fw_->create_threshold(), 300u);
  EXPECT_EQ(fw_->table_version(), 1u);
  const std::string text = log_.text();
  EXPECT_TRUE(Has(text, "Firewall enabled"));
  EXPECT_TRUE(Has(text, "Stateful firewall enabled internally."));
  EXPECT_FALSE(Has(text, "Stateful firewall disabled"));
  EXPECT_TRUE(Has(text, "OstFirewall: create rate set to 150 thr 300"));
  EXPECT_FALSE(Has(text, "initialized create rate to default"));
  const std::string golden =
      R"({"enabled":true,"rules":[)"
      R"({"name":"allow-web","src_zone":"lan","dst_zone":"wan","sip":"any","dip":"any",)"
      R"("sport":"any","dport":"80-80,443-443","protocol":"tcp","app":-1,"action":"allow",)"
      R"("hits":0,"tblver":1},)"
      R"({"name":"deny-net","src_zone":"","dst_zone":"","sip":"any","dip":"203.0.113.0",)"
      R"("sport":"","dport":"any","protocol":"any","app":7,"action":"deny","hits":0,"tblver":1}]})";
  EXPECT_EQ(Str(fw_->fw_dump()), golden);
  EXPECT_EQ(h_.Read("ostFirewall", "fw_dump", "7"), golden);

  const Handler* handler = Router::find_handler(fw_, String("fw_dump"));
  ASSERT_NE(handler, nullptr);
  CollectErrors errors;
  String value("x");
  EXPECT_LT(OstFirewall::fw_dump_handler(Handler::kOpRead, value, fw_, handler, &errors), 0);
  EXPECT_TRUE(Has(errors.text, "invalid number")) << errors.text;
  EXPECT_TRUE(Has(errors.text, "argument should be a valid vnet"));
}

TEST_F(OstFirewallTest, RateParameters) {
  struct Case {
    const char* what;
    const char* firewall;
    uint32_t rate, threshold;
    const char* line;
  };
  const Case cases[] = {
      {"no section: off, no rate line", R"({"other":1})", 200, 200, nullptr},
      {"on, no local params", R"({"pcfg_firewall_enabled":true})", 200, 200,
       "OstFirewall: create rate set to 200 thr 200"},
      {"only a threshold: initialize defaults both", R"({"pcfg_firewall_enabled":true,
        "pcfg_fw_local_params":{"fw_allow_create_threshold":50}})",
       200, 200, "OstFirewall: initialized create rate to default"},
      {"texts are no integers", R"({"pcfg_firewall_enabled":true,
        "pcfg_fw_local_params":{"fw_allow_create_rate":"9","fw_allow_create_threshold":"16"}})",
       200, 200, "OstFirewall: initialized create rate to default"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Write(Section(c.firewall));
    Fresh();
    ASSERT_TRUE(Load()) << h_.messages();
    const std::string text = Fresh();
    EXPECT_EQ(fw_->create_rate(), c.rate);
    EXPECT_EQ(fw_->create_threshold(), c.threshold);
    if (c.line == nullptr) {
      EXPECT_FALSE(Has(text, "create rate set")) << text;
      EXPECT_FALSE(fw_->enabled());
      EXPECT_EQ(Str(fw_->fw_dump()), R"({"enabled":false,"rules":[]})");
    } else {
      EXPECT_TRUE(Has(text, c.line)) << text;
    }
    // Initialize fills in defaults only when no rate was loaded (the
    // firewall off, or no rate given).
    EXPECT_EQ(Has(text, "initialized create rate to default"),
              c.line == nullptr || Has(c.line, "initialized"))
        << text;
  }

  // A later reload that changes the rate reloads the bucket.
  Write(Section(R"({"pcfg_firewall_enabled":true})"));
  ASSERT_TRUE(Load());
  Write(Section(R"({"pcfg_firewall_enabled":true,
                    "pcfg_fw_local_params":{"fw_allow_create_rate":100}})"));
  Fresh();
  EXPECT_EQ(fw_->initialize_fw_policy_config(), 0);
  EXPECT_TRUE(Has(Fresh(), "OstFirewall: create rate adjusted to 100 thr 200"));
}

TEST_F(OstFirewallTest, ReloadsOnlyOnChangeAndRefusesBadFiles) {
  Write(Section(R"({"pcfg_firewall_enabled":true,"pcfg_fw_stateful_enabled":true,
      "pcfg_fw_policies":[{"fw_name":"a","fw_action":{"allow_or_deny":"allowed"}}]})"));
  ASSERT_TRUE(Load()) << h_.messages();
  EXPECT_EQ(fw_->table_version(), 1u);
  EXPECT_FALSE(fw_->active_table().rules[0].allow);

  Fresh();
  EXPECT_EQ(fw_->initialize_fw_policy_config(), 0);
  std::string text = Fresh();
  EXPECT_TRUE(Has(text, "No change in policy"));
  EXPECT_TRUE(Has(text, "No change in policy config - skipping"));
  EXPECT_EQ(fw_->table_version(), 1u);

  // Stateful off in the file: only the log line changes.
  Write(Section(R"({"pcfg_firewall_enabled":true,"pcfg_fw_stateful_enabled":false})"));
  EXPECT_EQ(fw_->initialize_fw_policy_config(), 0);
  EXPECT_TRUE(Has(Fresh(), "Stateful firewall disabled"));
  EXPECT_TRUE(fw_->stateful());
  EXPECT_EQ(fw_->table_version(), 2u);

  // A bad file is refused each time it is read.
  Write("{\"activated_policies\":");
  EXPECT_EQ(fw_->initialize_fw_policy_config(), -1);
  EXPECT_EQ(fw_->initialize_fw_policy_config(), -1);
  EXPECT_EQ(fw_->table_version(), 2u);

  // More rules than a 16-bit count holds.
  std::string rules;
  for (int i = 0; i < 65536; ++i) rules += i == 0 ? "{}" : ",{}";
  Write(Section(R"({"pcfg_firewall_enabled":true,"pcfg_fw_policies":[)" + rules + "]}"));
  Fresh();
  EXPECT_EQ(fw_->initialize_fw_policy_config(), -1);
  EXPECT_EQ(fw_->initialize_fw_policy_config(), -1);
  EXPECT_TRUE(Has(Fresh(), "OstFirewall: 65536 rules, at most 65535 fit in the rule table"));
  EXPECT_EQ(fw_->table_version(), 2u);
  EXPECT_TRUE(fw_->enabled());

  // Turned off through the file.
  Write(Section(R"({"pcfg_firewall_enabled":false})"));
  EXPECT_EQ(fw_->initialize_fw_policy_config(), 0);
  EXPECT_TRUE(Has(Fresh(), "Firewall disabled"));
  EXPECT_EQ(fw_->table_version(), 3u);
  EXPECT_EQ(fw_->active_table().count, 0);
  EXPECT_EQ(Str(fw_->fw_dump()), R"({"enabled":false,"rules":[]})");
}

TEST_F(OstFirewallTest, PolicyElementIsRequired) {
  Write(Section(R"({"pcfg_firewall_enabled":true})"));
  EXPECT_FALSE(Load("", "")) << h_.messages();
  EXPECT_TRUE(Has(h_.messages(), "ostpolicy element not found-1")) << h_.messages();
  EXPECT_TRUE(Has(h_.messages(), "No policy element found - skip policy match"));
  EXPECT_FALSE(Load("ostpolicy :: TestSink;"));
  EXPECT_TRUE(Has(h_.messages(), "ostpoicy element not found-2")) << h_.messages();
  // A flow element of the wrong class is reported; the firewall loads.
  EXPECT_TRUE(Load("ostpolicy :: OstPolicy(CONF policy.json);", " agg :: TestSink;"));
  EXPECT_TRUE(Has(h_.messages(), "agg element not found-2")) << h_.messages();
  EXPECT_TRUE(fw_->enabled());
}

TEST_F(OstFirewallTest, StateTexts) {
  Write(Section(R"({"pcfg_firewall_enabled":true})"));
  ASSERT_TRUE(Load()) << h_.messages();
  struct Case {
    FwFlowState state;
    const char* tcp;
    const char* flow;
  };
  auto tcp = [](int32_t state, uint8_t local_fin, uint8_t remote_fin) {
    FwFlowState s;
    s.tcp_state = state;
    s.protocol = 6;
    s.local_fin = local_fin;
    s.remote_fin = remote_fin;
    return s;
  };
  FwFlowState counted = tcp(2, 0, 0);
  counted.tx_count = 1;
  counted.tx_count_2 = 2;
  counted.rx_count = 3;
  counted.rx_count_2 = 4;
  counted.drops = 0x100000007ull;
  counted.rule_name = String("allow-web");
  FwFlowState named;
  named.protocol = 17;
  named.drops = 5;
  named.rule_name = String("r1");
  named.first_time = Timestamp::make_msec(12999);
  named.second_time = Timestamp::make_msec(13000);
  FwFlowState icmp;
  icmp.protocol = 1;
  const Case cases[] = {
      {tcp(0, 0, 0), "tcp_default (fin:0:0)", "tcp_default rx:0(0) tx:0(0) drops:0  fin:0:0"},
      {tcp(1, 1, 0), "tcp_fin_wait1 (fin:0:1)", "tcp_fin_wait1 rx:0(0) tx:0(0) drops:0  fin:0:1"},
      {tcp(1, 0, 2), "tcp_close_wait (fin:2:0)", nullptr},
      {tcp(1, 1, 1), "tcp_established (fin:1:1)", nullptr},
      {tcp(13, 0, 0), "tcp_closing (fin:0:0)", nullptr},
      {tcp(14, 0, 0), "tcp_default (fin:0:0)", nullptr},
      {tcp(-1, 0, 0), "tcp_default (fin:0:0)", nullptr},
      {counted, "tcp_syn_sent (fin:0:0)",
       "tcp_syn_sent rx:3(4) tx:1(2) drops:7 rule:allow-web fin:0:0"},
      {named, nullptr, "proto:17 drops:5 rule:r1 tstamp:12:13"},
      {icmp, nullptr, "proto:1 drops:0  tstamp:0:0"},
  };
  for (const Case& c : cases) {
    String text("unchanged");
    EXPECT_EQ(fw_->get_tcp_state_text(c.state, &text), c.tcp != nullptr ? 0 : -1);
    EXPECT_EQ(Str(text), c.tcp != nullptr ? c.tcp : "unchanged");
    if (c.flow != nullptr) {
      EXPECT_EQ(fw_->get_flow_state_text(c.state, &text), 0);
      EXPECT_EQ(Str(text), c.flow);
    }
  }

  // Off: neither text.
  Write(Section(R"({"pcfg_firewall_enabled":false})"));
  ASSERT_EQ(fw_->initialize_fw_policy_config(), 0);
  String text("unchanged");
  EXPECT_EQ(fw_->get_tcp_state_text(cases[0].state, &text), -1);
  EXPECT_EQ(fw_->get_flow_state_text(cases[0].state, &text), -1);
  EXPECT_EQ(Str(text), "unchanged");
}

}  // namespace
