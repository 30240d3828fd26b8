#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <string>
#include <vector>

#include "ostgraphsvc/graph/elements/policy/policy_row.h"
#include "tests/support/started_log.h"

namespace {

std::string Std(const String& s) { return std::string(s.data(), static_cast<size_t>(s.length())); }

policy Parse(const char* qos_action, const char* name = "row") {
  policy row;
  row.name = name;
  parse_policy_action(Json::parse((std::string(R"({"qos_action":)") + qos_action + "}").c_str()),
                      &row);
  return row;
}

bool SameBucket(const TokenBucket& a, const TokenBucket& b) {
  return a.tokens_per_tick() == b.tokens_per_tick() && a.token_scale() == b.token_scale() &&
         a.ticks_until_full() == b.ticks_until_full() && a.level() == b.level() &&
         a.last_tick() == b.last_tick();
}

TokenBucket Assigned(uint32_t rate, uint32_t capacity) {
  TokenBucket bucket;
  bucket.assign(rate, capacity);
  return bucket;
}

TEST(PolicyAction, DefaultActionAndItsPrintout) {
  policy row;
  row.name = "default-row";
  parse_policy_action(Json::parse(R"({"qos_match":{}})"), &row);
  const policy_action& a = row.action;
  EXPECT_EQ(a.queue_limit, 1024000);
  EXPECT_EQ(a.rate_limit_enabled, 0);
  EXPECT_EQ(a.pbr.site, 0);
  EXPECT_EQ(a.priority, 2);
  EXPECT_EQ(a.traffic_class, 3);
  EXPECT_EQ(a.dscp_inner, -1);
  EXPECT_EQ(a.dscp_outer, -1);
  EXPECT_EQ(a.steering_interface, -1);
  EXPECT_TRUE(SameBucket(row.tx_bucket, Assigned(0, 0)));
  EXPECT_EQ(row.tx_bucket.token_scale(), 1u);
  EXPECT_EQ(row.tx_bucket.ticks_until_full(), 0xFFFFFFFFu);
  EXPECT_EQ(Std(policy_action_text(row.name, a)),
            "=======================================================================\n"
            "default-row, medium, transactional \n"
            "Sched: qlimit 1024000, rate_kbps 0, rate_limit_type invalid \n"
            "Route: nhs auto\n"
            "Link:  Algo mandatory, Steer auto, Steering Enabled false\n"
            "If Steering Enabled is false, ignore the Link Algo\n"
            "=====================================================================\n");
}

TEST(PolicyAction, PolicerRates) {
  struct Case {
    int32_t kbps;
    uint32_t rate, capacity;
  } cases[] = {
      {8000, 1000000, 1065536},
      {0, 0, 65536},
      {-1, 0, 65536},
      {INT_MIN, 0, 65536},
      // Where 32-bit arithmetic wrapped rate x 1000 to a trickle of 88 B/s.
      {4294968, 536871000, 536936536},
      {34359737, 4294967125u, 0xFFFFFFFFu},
      {34359739, 0xFFFFFFFFu, 0xFFFFFFFFu},
      {INT_MAX, 0xFFFFFFFFu, 0xFFFFFFFFu},
  };
  for (const Case& c : cases) {
    uint32_t rate = 1, capacity = 1;
    policer_rate(c.kbps, &rate, &capacity);
    EXPECT_EQ(rate, c.rate) << c.kbps;
    EXPECT_EQ(capacity, c.capacity) << c.kbps;
  }
}

TEST(PolicyAction, RateLimitsAssignTheBuckets) {
  testing_support::StartedLog log(0);
  policy row = Parse(R"({"sched_action":{"sch_rate_limit_enable":true,
      "sch_tx_rate_limit_kbps":8000,"sch_rx_rate_limit_kbps":"8000",
      "sch_queue_limit_bytes":5000,"sch_rate_limit_type":"policer"}})",
                     "capped");
  EXPECT_EQ(row.action.rate_limit_enabled, 1);
  EXPECT_EQ(row.action.tx_rate_kbps, 8000);
  EXPECT_EQ(row.action.rx_rate_kbps, 0);  // a string rate is no rate
  EXPECT_EQ(row.action.queue_limit, 5000);
  EXPECT_EQ(row.action.rate_limit_type, 2);
  EXPECT_TRUE(SameBucket(row.tx_bucket, Assigned(1000000, 1065536)));
  EXPECT_TRUE(SameBucket(row.rx_bucket, Assigned(0, 65536)));
  const std::string text = log.fresh();
  EXPECT_NE(text.find("Tx RATE LIMIT ENABLED 1065536"), std::string::npos) << text;
  EXPECT_NE(text.find("Rx RATE LIMIT ENABLED 65536"), std::string::npos) << text;
  EXPECT_NE(text.find("capped, medium, transactional \nSched: qlimit 5000, rate_kbps 8000, "
                      "rate_limit_type poicer \n"),
            std::string::npos)
      << text;

  row = Parse(R"({"sched_action":{"sch_rate_limit_enable":1,"sch_tx_rate_limit_kbps":-1}})");
  EXPECT_EQ(row.action.tx_rate_kbps, -1);
  EXPECT_TRUE(SameBucket(row.tx_bucket, Assigned(0, 65536)));

  row = Parse(R"({"sched_action":{"sch_rate_limit_enable":1,"sch_tx_rate_limit_kbps":34359739}})");
  EXPECT_TRUE(SameBucket(row.tx_bucket, Assigned(0xFFFFFFFF, 0xFFFFFFFF)));
  EXPECT_NE(log.fresh().find("Tx RATE LIMIT ENABLED 4294967295"), std::string::npos);

  // Only an integer or a boolean switches rate limiting on.
  const std::map<std::string, int> enables = {
      {"\"1\"", 0}, {"0", 0}, {"false", 0}, {"2", 1}, {"true", 1}, {"[1]", 0}};
  for (const auto& [value, enabled] : enables) {
    row = Parse(("{\"sched_action\":{\"sch_rate_limit_enable\":" + value +
                 ",\"sch_tx_rate_limit_kbps\":8}}")
                    .c_str());
    EXPECT_EQ(row.action.rate_limit_enabled, enabled) << value;
    EXPECT_EQ(row.action.tx_rate_kbps, enabled ? 8 : 0) << value;
    EXPECT_EQ(SameBucket(row.tx_bucket, Assigned(0, 0)), !enabled) << value;
  }
}

TEST(PolicyAction, PolicyBasedRouting) {
  testing_support::StartedLog log(0);
  struct Case {
    const char* qos_action;
    int site;
    std::vector<int> list_sites;
  } cases[] = {
      {R"({"pbr_action":{"pbr_next_hop_site":"direct"},
           "pbr_list_action":[{"pbr_next_hop_site":"ipsec"}]})",
       0, {}},
      {R"({"pbr_action":{"pbr_next_hop_site":"auto"}})", 0, {}},
      {R"({"pbr_action":{"pbr_next_hop_site":"hubs"}})", 2, {}},
      {R"({"pbr_action":{"pbr_next_hop_site":"elsewhere"}})", 2, {}},
      {R"({"pbr_action":{"pbr_next_hop_site":"ipsec"},"pbr_list_action":{"a":{}}})", 3, {}},
      {R"({"pbr_action":{"pbr_next_hop_site":"hubs"},"pbr_list_action":[
           {"pbr_next_hop_site":"direct"},{"pbr_next_hop_site":"auto"},
           {"pbr_next_hop_site":"ipsec"},{"pbr_next_hop_site":"hubs"},{"x":1},7]})",
       2, {1, 0, 3, 2, 0, 0}},
  };
  for (const Case& c : cases) {
    const policy row = Parse(c.qos_action);
    EXPECT_EQ(row.action.pbr.site, c.site) << c.qos_action;
    std::vector<int> sites;
    for (const route_action& ra : row.action.pbr_list) sites.push_back(ra.site);
    EXPECT_EQ(sites, c.list_sites) << c.qos_action;
  }
  const std::string text = log.fresh();
  EXPECT_NE(text.find("ERROR: AUTO is not expected in PRB next hop site"), std::string::npos);
  EXPECT_NE(text.find("PRB next hop site is direct"), std::string::npos);
  EXPECT_NE(text.find("PRB next hop site is HUB"), std::string::npos);
  EXPECT_NE(text.find("PBR action list EMPTY"), std::string::npos);

  const policy row = Parse(R"({"pbr_action":{"pbr_next_hop_site":"hubs",
      "pbr_next_hop":"100.64.0.1","pbr_next_hop_group_id":"g1"},
      "pbr_list_action":[{"pbr_next_hop_site":"ipsec","pbr_next_hop":"100.64.0.7",
                          "pbr_next_hop_group_id":"g2"}]})");
  EXPECT_EQ(Std(row.action.pbr.site_text), "hubs");
  EXPECT_EQ(Std(row.action.pbr.next_hop), "100.64.0.1");
  EXPECT_EQ(Std(row.action.pbr.group_id), "g1");
  ASSERT_EQ(row.action.pbr_list.size(), 1);
  EXPECT_EQ(Std(row.action.pbr_list[0].next_hop), "100.64.0.7");
  EXPECT_EQ(Std(row.action.pbr_list[0].group_id), "g2");
  const std::string list_log = log.fresh();
  EXPECT_NE(list_log.find("PBR LIST NH 100.64.0.7"), std::string::npos);
  EXPECT_NE(list_log.find("Printing PBR action LIST "), std::string::npos);
  EXPECT_NE(list_log.find("NHS = ipsec, NH = 100.64.0.7"), std::string::npos);
  EXPECT_NE(list_log.find("Route: nhs hubs\n"), std::string::npos);
}

TEST(PolicyAction, LinkSteering) {
  testing_support::StartedLog log(0);
  policy row = Parse(R"({"link_steering_action":{"lnks_via":{
      "active":[{"path":"overlay","lnks_wan":"metered"},{"path":"direct","lnks_wan":"wired"},
                {"lnks_wan":5},{}],
      "backup":[{"path":"overlay","lnks_wan":"wireless"}]},
      "lnks_algo":"preferred","lnks_link_steering_mode":"wan","lnks_interface":"eth0"}})");
  const policy_action& a = row.action;
  ASSERT_EQ(a.active_links.size(), 4);
  EXPECT_EQ(a.active_links[0].via, 2);
  EXPECT_EQ(a.active_links[0].wan, 4);
  EXPECT_EQ(a.active_links[1].via, 1);
  EXPECT_EQ(a.active_links[1].wan, 1);
  EXPECT_EQ(a.active_links[2].via, 1);
  EXPECT_EQ(a.active_links[2].wan, 3);
  EXPECT_EQ(a.active_links[3].wan, 3);
  ASSERT_EQ(a.backup_links.size(), 1);
  EXPECT_EQ(a.backup_links[0].wan, 2);
  EXPECT_EQ(a.steering_enabled, 1);
  EXPECT_EQ(a.link_algo, 1);
  EXPECT_EQ(a.steering_mode, 3);
  EXPECT_EQ(a.steering_interface, -1);
  const std::string text = log.fresh();
  EXPECT_NE(text.find("Invalid interfaces eth0"), std::string::npos) << text;
  EXPECT_EQ(text.find("Mapped"), std::string::npos);
  EXPECT_NE(text.find("Link:  Algo preferred, Steer wan, Steering Enabled true\n"),
            std::string::npos);

  row = Parse(R"({"link_steering_action":{"lnks_via":{"backup":[{"path":"overlay"}]},
      "lnks_algo":"any","lnks_link_steering_mode":"other","lnks_interface":"auto"}})");
  EXPECT_EQ(row.action.steering_enabled, 0);
  EXPECT_EQ(row.action.backup_links.size(), 1);
  EXPECT_EQ(row.action.link_algo, 3);
  EXPECT_EQ(row.action.steering_mode, 1);
  EXPECT_EQ(log.fresh().find("Invalid interfaces"), std::string::npos);

  row = Parse(R"({"link_steering_action":{"lnks_via":{"active":{"0":{"path":"overlay"}},
      "backup":{"0":{}}}}})");
  EXPECT_TRUE(row.action.active_links.empty());
  EXPECT_TRUE(row.action.backup_links.empty());
  EXPECT_EQ(row.action.steering_enabled, 0);
}

TEST(PolicyAction, PriorityClassAndDscp) {
  struct Case {
    const char* traffic;
    int priority, traffic_class;
  } cases[] = {
      {R"({"priority":"normal"})", 2, 3},   {R"({"priority":"medium"})", 2, 3},
      {R"({"priority":"low"})", 3, 3},      {R"({"priority":"high","class":"voice"})", 1, 1},
      {R"({"priority":"drop"})", 4, 3},     {R"({"priority":"auto","class":"auto"})", 0, 0},
      {R"({"priority":"LOW"})", 2, 3},      {R"({"class":"audio"})", 2, 1},
      {R"({"class":"video"})", 2, 2},       {R"({"class":"bulk"})", 2, 4},
      {R"({"class":"Voice"})", 2, 3},       {R"({"priority":1,"class":2})", 2, 3},
  };
  for (const Case& c : cases) {
    const policy row = Parse((std::string(R"({"traffic_action":)") + c.traffic + "}").c_str());
    EXPECT_EQ(row.action.priority, c.priority) << c.traffic;
    EXPECT_EQ(row.action.traffic_class, c.traffic_class) << c.traffic;
  }
  policy row = Parse(R"({"dscp_action":{"dscp_inner":"46-ef","dscp_outer":"28-af43"}})");
  EXPECT_EQ(row.action.dscp_inner, 46);
  EXPECT_EQ(row.action.dscp_outer, 38);
  row = Parse(R"({"dscp_action":{"dscp_inner":"ef","dscp_outer":46}})");
  EXPECT_EQ(row.action.dscp_inner, -1);
  EXPECT_EQ(row.action.dscp_outer, -1);
}

TEST(PolicyAction, RowsCopyDeeply) {
  policy row = Parse(R"({"pbr_action":{"pbr_next_hop_site":"hubs"},
      "pbr_list_action":[{"pbr_next_hop":"1.2.3.4"}]})");
  row.match.process_list.push_back("a.exe");
  policy copy = row;
  row.action.pbr_list[0].next_hop = "9.9.9.9";
  row.match.process_list[0] = "b.exe";
  EXPECT_EQ(Std(copy.action.pbr_list[0].next_hop), "1.2.3.4");
  EXPECT_EQ(Std(copy.match.process_list[0]), "a.exe");
}

TEST(ClassOfService, Table) {
  testing_support::StartedLog log(0);
  std::map<int, cos_class_thresholds> stored;
  auto store = [&stored](int code, const cos_class_thresholds& t) { stored[code] = t; };
  const char* document = R"({"activated_policies":[{"policy_config":{"pcfg_cos_table":[
      {"cos_traffic_class":"voice","cos_priority":"high","cos_jitter_ms":0,
       "cos_latency_ms":40,"cos_loss_percent":1.5,"cos_last_resort":true},
      {"cos_traffic_class":"video","cos_latency_ms":"20","cos_jitter_ms":7},
      {"cos_traffic_class":"bulk","cos_loss_percent":"0.1"},
      {"cos_traffic_class":"transactional","cos_latency_ms":2147483647},
      {"cos_traffic_class":"video","cos_latency_ms":25},
      {"cos_traffic_class":7}]}}]})";
  ASSERT_EQ(parse_cos(Json::parse(document), store), 0);
  ASSERT_EQ(stored.size(), 4u);
  const cos_class_thresholds& voice = stored[1];
  EXPECT_EQ(voice.jitter_caution, 50);
  EXPECT_EQ(voice.jitter_unusable, 100);
  EXPECT_EQ(voice.latency_caution, 40);
  EXPECT_EQ(voice.latency_unusable, 80);
  EXPECT_EQ(voice.loss_caution, 1.5);
  EXPECT_EQ(voice.loss_unusable, 3.0);
  EXPECT_EQ(stored[2].latency_caution, 25);  // the later video entry wins
  EXPECT_EQ(stored[2].jitter_caution, 50);
  EXPECT_EQ(stored[3].latency_unusable, INT_MAX);  // saturates, never wraps
  // "bulk" and a class that is no text both land in class 4; the last wins.
  EXPECT_EQ(stored[4].loss_caution, 0.0);
  const std::string text = log.fresh();
  EXPECT_NE(text.find("voice-high, loss: 1 latency: 40 jitter: 50"), std::string::npos) << text;
  EXPECT_NE(text.find("bulk-, loss: 0 latency: 0 jitter: 50"), std::string::npos) << text;

  stored.clear();
  cos_class_thresholds bulk;
  parse_cos(Json::parse(R"({"activated_policies":[{"policy_config":{"pcfg_cos_table":[
      {"cos_traffic_class":"bulk","cos_loss_percent":"0.1"}]}}]})"),
            [&bulk](int code, const cos_class_thresholds& t) {
              if (code == 4) bulk = t;
            });
  EXPECT_DOUBLE_EQ(bulk.loss_caution, static_cast<double>(0.1f));
  EXPECT_DOUBLE_EQ(bulk.loss_unusable, static_cast<double>(0.2f));

  for (const char* none : {
           R"({"activated_policies":[{"policy_config":{"pcfg_cos_table":[]}}]})",
           R"({"activated_policies":[{"policy_config":{"pcfg_cos_table":{"0":{}}}}]})",
           R"({"activated_policies":[{"policy_config":{}}]})",
           R"({"activated_policies":{"0":{"policy_config":{}}}})",
           R"({})",
       }) {
    EXPECT_EQ(parse_cos(Json::parse(none), store), -1) << none;
  }
  EXPECT_TRUE(stored.empty());
}

}  // namespace
