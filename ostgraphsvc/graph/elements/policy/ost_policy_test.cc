// OstPolicy in a graph: configure and reconfigure with change detection,
// the built-in rows, the table version, refused files, the commands, the
// dump and its handler, registration and the first-packet reload.
#include "ostgraphsvc/graph/elements/policy/ost_policy.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/router.h"
#include "ostgraphsvc/policy_slot/policy_slot.h"
#include "platform/fs/paths.h"
#include "tests/support/graph_harness.h"
#include "tests/support/started_log.h"
#include "tests/support/temp_root.h"

namespace {

using testing_support::CollectErrors;
using testing_support::GraphHarness;
using testing_support::ReadFile;
using testing_support::WriteFile;

std::string Rows(int n) {
  std::string rows;
  for (int i = 0; i < n; ++i) {
    if (i > 0) rows += ",";
    rows += R"({"qos_match":{"cmap_name":"r)" + std::to_string(i) + R"("}})";
  }
  return R"({"activated_policies":[{"policy_config":{"pcfg_qos_policies":[)" + rows + "]}}]}";
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class OstPolicyTest : public ::testing::Test {
 protected:
  OstPolicyTest() : work_(platform::root() + "/work/") {
    ::mkdir(work_.c_str(), 0755);
    set_config_directory(work_.c_str());
  }
  ~OstPolicyTest() override { set_config_directory(nullptr); }

  void Write(const std::string& name, const std::string& text) { WriteFile(work_ + name, text); }
  void WriteFixture() {
    Write("policy.json", ReadFile(std::string(DOVADOD_TEST_DATA) + "/policy/three_rows.json"));
  }
  bool Load(
      const std::string& graph = "rt :: TestSink; ostpolicy :: OstPolicy(CONF policy.json);") {
    policy_ = nullptr;
    if (!h_.Load(graph)) return false;
    policy_ = static_cast<OstPolicy*>(h_.Find("ostpolicy"));
    return policy_ != nullptr;
  }
  int LiveReconfigure() {
    Vector<String> conf;
    conf.push_back(String("CONF policy.json"));
    return policy_->live_reconfigure(conf, ErrorHandler::silent_handler());
  }

  testing_support::StartedLog log_{0};
  GraphHarness h_;
  std::string work_;
  OstPolicy* policy_ = nullptr;
};

TEST_F(OstPolicyTest, BuiltinRowsFollowTheConfiguredRows) {
  Write("policy.json", R"({"other": 1})");
  ASSERT_TRUE(Load()) << h_.messages();
  const PolicyTable& t = policy_->active_table();
  EXPECT_EQ(t.count, 6);
  EXPECT_EQ(t.first_builtin, 0);
  EXPECT_EQ(t.allow_all, 4);
  EXPECT_EQ(t.block_all, 5);
  EXPECT_EQ(t.rows[4].name, "ost-control-allow-all");
  EXPECT_EQ(t.rows[5].action.priority, 4);

  // Three rows (a second "activated_policies" element is never read).
  WriteFixture();
  ASSERT_EQ(policy_->reconfigure(), 0);
  EXPECT_EQ(t.count, 9);
  EXPECT_EQ(t.first_builtin, 3);
  EXPECT_EQ(t.allow_all, 7);
  EXPECT_EQ(t.block_all, 8);
  for (int i = 0; i < t.count; ++i) EXPECT_EQ(t.rows[i].index, static_cast<uint32_t>(i));
  EXPECT_EQ(t.rows[0].name, "web-hub");
  EXPECT_EQ(t.rows[3].name, "ost-control-block-hub-svcs");
}

TEST_F(OstPolicyTest, RebuildsOnlyOnChangeAndKeepsTheTableOnBadFiles) {
  WriteFixture();
  ASSERT_TRUE(Load()) << h_.messages();
  const uint32_t v0 = policy_->policy_table_version();
  EXPECT_EQ(v0, 1u);

  EXPECT_EQ(policy_->reconfigure(), 0);
  EXPECT_EQ(policy_->policy_table_version(), v0);
  EXPECT_NE(log_.text().find("No change in policy: " + work_ + "policy.json"), std::string::npos);

  Write("policy.json", ReadFile(work_ + "policy.json") + "\n ");
  EXPECT_EQ(policy_->reconfigure(), 0);
  EXPECT_EQ(policy_->policy_table_version(), v0 + 1);

  // A bad file is refused every time it is read, never taken as seen.
  log_.fresh();
  Write("policy.json", R"({"activated_policies": [)");
  EXPECT_EQ(policy_->reconfigure(), -1);
  EXPECT_EQ(policy_->reconfigure(), -1);
  EXPECT_EQ(Count(log_.fresh(), "JSON config parse failed"), 2u);
  EXPECT_EQ(policy_->policy_table_version(), v0 + 1);
  EXPECT_EQ(policy_->active_table().count, 9);

  // More rows than 16-bit indexes address, with the built-in rows.
  Write("policy.json", Rows(65530));
  EXPECT_EQ(policy_->reconfigure(), -1);
  EXPECT_EQ(policy_->reconfigure(), -1);
  EXPECT_EQ(Count(log_.fresh(), "OstPolicy: 65530 policies, at most 65529 fit in the policy table"),
            2u);
  EXPECT_EQ(policy_->policy_table_version(), v0 + 1);
  EXPECT_EQ(policy_->active_table().count, 9);

  Write("policy.json", Rows(65529));
  EXPECT_EQ(policy_->reconfigure(), 0);
  EXPECT_EQ(policy_->active_table().count, 65535);
  EXPECT_EQ(policy_->active_table().block_all, 65534);
  EXPECT_EQ(policy_->policy_table_version(), v0 + 2);

  // An unreadable file changes nothing.
  ::unlink((work_ + "policy.json").c_str());
  EXPECT_EQ(policy_->reconfigure(), 0);
  EXPECT_EQ(policy_->active_table().count, 65535);
}

TEST_F(OstPolicyTest, CommandsBumpTheVersion) {
  WriteFixture();
  ASSERT_TRUE(Load()) << h_.messages();
  const uint32_t v0 = policy_->policy_table_version();
  policy_->set_tunnel_started(true);
  EXPECT_EQ(policy_->tunnel_started(), 1);
  policy_->set_tunnel_started(false);
  policy_->setDeviceClassificationManaged();
  EXPECT_EQ(policy_->device_classification(), 2u);
  policy_->setDeviceClassificationUnmanaged();
  EXPECT_EQ(policy_->policy_table_version(), v0 + 4);
  EXPECT_EQ(policy_->tunnel_started(), 0);
  EXPECT_EQ(policy_->device_classification(), 1u);
  EXPECT_NE(log_.text().find("OstPolicy: Updating policy table version from " +
                             std::to_string(v0 + 3) + " to " + std::to_string(v0 + 4)),
            std::string::npos);
  // The process-wide bump reaches the registered element.
  update_policy_table_version();
  EXPECT_EQ(policy_->policy_table_version(), v0 + 5);
}

TEST_F(OstPolicyTest, DumpAndItsHandler) {
  ASSERT_TRUE(Load()) << h_.messages();  // no policy file yet
  EXPECT_EQ(policy_->active_table().count, 0);
  EXPECT_EQ(policy_->policy_dump(), "[]");
  EXPECT_EQ(h_.Read("ostpolicy", "policy_dump"), "[]");

  WriteFixture();
  ASSERT_EQ(policy_->reconfigure(), 0);
  const std::string row3 =
      R"("sport":"any","dport":"any","protocol":"any","app":-1,"category":-1,)";
  const std::string golden =
      R"([{"name":"web-hub","sip":"any","dip":"10.1.0.0","sport":"any","dport":"443-443",)"
      R"("protocol":"tcp","app":-1,"category":-1,"priority":"high","traffic":"video","rate_tx":0,)"
      R"("rate_rx":0,"nh":"hubs","nhlist":"(2)  100.64.0.9 ","tblver":1},)"
      R"({"name":"drop-games","sip":"192.168.7.0","dip":"any","sport":"","dport":"3074-3075,27015-27015",)"
      R"("protocol":"udp","app":-1,"category":-1,"priority":"drop","traffic":"transactional",)"
      R"("rate_tx":0,"rate_rx":0,"nh":"auto","tblver":1},)"
      R"({"name":"chrome-low","sip":"any","dip":"any","sport":"any","dport":"any","protocol":"icmp",)"
      R"("app":12,"category":-1,"priority":"low","traffic":"bulk","rate_tx":800,"rate_rx":1600,)"
      R"("nh":"auto","tblver":1},)"
      R"({"name":"ost-control-block-hub-svcs","sip":"any","dip":"169.254.0.0","sport":"any",)"
      R"("dport":"22-22,80-80,443-443","protocol":"tcp","app":-1,"category":-1,"priority":"drop",)"
      R"("traffic":"transactional","rate_tx":0,"rate_rx":0,"nh":"auto","tblver":1},)"
      R"({"name":"ost-control-overlay-high-priority","sip":"any","dip":"169.254.0.0",)" +
      row3 +
      R"("priority":"high","traffic":"transactional","rate_tx":0,"rate_rx":0,"nh":"auto","tblver":1},)"
      R"({"name":"ost-control-allow-dns-dhcp","sip":"any","dip":"any","sport":"any",)"
      R"("dport":"53-53,67-68","protocol":"udp","app":-1,"category":-1,"priority":"medium",)"
      R"("traffic":"transactional","rate_tx":0,"rate_rx":0,"nh":"auto","tblver":1},)"
      R"({"name":"ost-control-allow-http-https","sip":"any","dip":"any","sport":"any",)"
      R"("dport":"80-80,443-443","protocol":"tcp","app":-1,"category":-1,"priority":"medium",)"
      R"("traffic":"transactional","rate_tx":0,"rate_rx":0,"nh":"auto","tblver":1},)"
      R"({"name":"ost-control-allow-all","sip":"any","dip":"any",)" +
      row3 +
      R"("priority":"medium","traffic":"transactional","rate_tx":0,"rate_rx":0,"nh":"auto","tblver":1},)"
      R"({"name":"ost-control-block-all","sip":"any","dip":"any",)" +
      row3 +
      R"("priority":"drop","traffic":"transactional","rate_tx":0,"rate_rx":0,"nh":"auto","tblver":1}])";
  EXPECT_EQ(std::string(policy_->policy_dump().c_str()), golden);
  EXPECT_EQ(h_.Read("ostpolicy", "policy_dump", "7"), golden);

  // A parameter must be a whole number; it selects nothing.
  const Handler* handler = Router::find_handler(policy_, String("policy_dump"));
  ASSERT_NE(handler, nullptr);
  EXPECT_TRUE(handler->read_param());
  struct Case {
    const char* parameter;
    int result;
    const char* message;
  };
  const Case cases[] = {
      {"x", -22, "invalid number"},
      {"0x10", 0, ""},
      {" 12 /* c */", 0, ""},
      {"99999999999", -22, "out of range"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.parameter);
    CollectErrors errors;
    String value(c.parameter);
    EXPECT_EQ(OstPolicy::policy_dump_handler(Handler::kOpRead, value, policy_, handler, &errors),
              c.result);
    if (c.result == 0) {
      EXPECT_EQ(std::string(value.c_str()), golden);
    } else {
      EXPECT_NE(errors.text.find(c.message), std::string::npos) << errors.text;
      EXPECT_NE(errors.text.find("argument should be a valud vnet"), std::string::npos);
    }
  }
}

TEST_F(OstPolicyTest, FirstElementRegistersAndRtIsRequired) {
  WriteFixture();
  ASSERT_TRUE(
      Load("rt :: TestSink; ostpolicy :: OstPolicy(CONF policy.json); "
           "second :: OstPolicy(CONF policy.json, MODE other);"))
      << h_.messages();
  EXPECT_EQ(registered_policy_element(), static_cast<OstPolicyTableVersion*>(policy_));
  EXPECT_EQ(policy_->route_table(), nullptr);  // "rt" is no route table here

  log_.fresh();
  EXPECT_FALSE(Load("ostpolicy :: OstPolicy(CONF policy.json);"));
  const std::string text = log_.fresh();
  EXPECT_NE(text.find("RouteTable0 element not found-1"), std::string::npos) << text;
  EXPECT_NE(text.find("Unable to find the routing table element"), std::string::npos);
  EXPECT_EQ(registered_policy_element(), nullptr);
}

TEST_F(OstPolicyTest, LiveReconfigureReloadsFirstPacketTables) {
  WriteFixture();
  Write("fapps.json",
        R"([{"protocol": "tcp", "ipv4": "10.1.2.0/24", "port": "443", "app": "a", "appid": 12},
            {"protocol": "udp", "ipv4": "10.9.0.0/16", "port": "53", "app": "b", "appid": 13}])");
  ASSERT_TRUE(Load()) << h_.messages();
  const int tcp = policy_->app_tables().tcp_table()->entry_count();
  const int udp = policy_->app_tables().udp_table()->entry_count();
  ASSERT_GT(tcp, 0);
  for (int round = 0; round < 2; ++round) {
    Write("fapps.json", ReadFile(work_ + "fapps.json") + " ");
    ASSERT_EQ(LiveReconfigure(), 0);
  }
  EXPECT_EQ(policy_->app_tables().tcp_table()->entry_count(), tcp);
  EXPECT_EQ(policy_->app_tables().udp_table()->entry_count(), udp);
  EXPECT_EQ(policy_->policy_table_version(), 1u);  // the policy file did not change
}

}  // namespace
