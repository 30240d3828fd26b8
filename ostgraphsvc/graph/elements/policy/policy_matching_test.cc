// First-match lookups under the service's rules (own processes, bypass,
// leaks, fail-close, captive portal) over a fake overlay, and the PBR next
// hop.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "graph/ipaddress.h"
#include "graph/json.h"
#include "ostgraphsvc/captiveportal/captive_portal.h"
#include "ostgraphsvc/failclose/fail_close_mgr.h"
#include "ostgraphsvc/graph/elements/local/fromdevice.h"
#include "ostgraphsvc/graph/elements/policy/ost_policy.h"
#include "ostgraphsvc/overlay_view/overlay_view.h"
#include "platform/registry/registry.h"
#include "tests/support/started_log.h"

namespace {

namespace reg = platform::registry;

uint32_t Addr(const char* text) {
  IPAddress a;
  EXPECT_TRUE(cp_parse_ip_address(String(text), &a)) << text;
  return a.addr();
}

void SetCaptivePortal(bool active) {
  reg::Key k;
  ASSERT_EQ(reg::create_key(reg::RootKey::kLocalMachine, "SOFTWARE\\Corvex\\tarn\\cpdetection",
                            reg::kKeyAllAccess | reg::kKeyWow64_64Key, &k),
            0u);
  const std::string text = active ? "started" : "notdetected";
  ASSERT_EQ(reg::set_value(k, "cpdetectionstatus", reg::kRegSz, text.c_str(),
                           static_cast<uint32_t>(text.size() + 1)),
            0u);
  CaptivePortal::GetInstance().UpdateCaptivePortalStatus();
  ASSERT_EQ(CaptivePortal::GetInstance().IsCaptivePortalActive(), active);
}

void SetFailClose(bool on) {
  FailCloseMgr::GetInstance().ReplaceConfigured(on);
  ASSERT_EQ(FailCloseMgr::GetInstance().IsEffective(), on);
}

Json Doc(const std::string& rows) {
  return Json::parse(
      String((R"({"activated_policies":[{"policy_config":{"pcfg_qos_policies":[)" + rows + "]}}]}")
                 .c_str()));
}

constexpr char kVip[] = "100.64.0.2";
constexpr char kOther[] = "192.168.50.7";

const char kRows[] = R"(
  {"qos_match":{"cmap_name":"pbr-private","cmap_match_criteria":{"mtch_dest_ip":"10.1.0.0/16",
    "mtch_dest_port":"443","mtch_l4_protocol":"tcp"}},
   "qos_action":{"pbr_action":{"pbr_next_hop_site":"hubs","pbr_next_hop_group_id":"g1"}}},
  {"qos_match":{"cmap_name":"plain-private","cmap_match_criteria":{"mtch_dest_ip":"10.2.0.0/16"}}},
  {"qos_match":{"cmap_name":"drop-public","cmap_match_criteria":{"mtch_dest_ip":"203.0.113.5"}},
   "qos_action":{"traffic_action":{"priority":"drop"}}},
  {"qos_match":{"cmap_name":"drop-dns","cmap_match_criteria":{"mtch_dest_port":"53",
    "mtch_l4_protocol":"udp"}}, "qos_action":{"traffic_action":{"priority":"drop"}}},
  {"qos_match":{"cmap_name":"port443","cmap_match_criteria":{"mtch_dest_ip":"198.51.100.0/24",
    "mtch_dest_port":"443"}}},
  {"qos_match":{"cmap_name":"anyport","cmap_match_criteria":{"mtch_dest_ip":"198.51.100.0/24"}}},
  {"qos_match":{"cmap_name":"internet-only","cmap_match_criteria":{"mtch_dest_internet":true,
    "mtch_dest_port":"8443"}}},
  {"qos_match":{"cmap_name":"chrome","cmap_match_criteria":{"mtch_dest_port":"9000",
    "mtch_src_process_list":["chrome"]}}},
  {"qos_match":{"cmap_name":"iperf-drop","cmap_match_criteria":{"mtch_dest_ip":"10.77.0.2",
    "mtch_dest_port":"5201","mtch_l4_protocol":"tcp"}},
   "qos_action":{"traffic_action":{"priority":"drop"}}},
  {"qos_match":{"cmap_name":"dscp-ef","cmap_match_criteria":{"mtch_src_dscp":"46-ef",
    "mtch_dest_port":"5004"}}},
  {"qos_match":{"cmap_name":"app12","cmap_match_criteria":{"mtch_app_id":[11,12],
    "mtch_dest_port":"7000-7010,7100"}}})";

class PolicyMatchingTest : public ::testing::Test {
 protected:
  PolicyMatchingTest() {
    FailCloseMgr::GetInstance().Initialize();  // nothing configured in this root
    SetFailClose(false);
    SetCaptivePortal(false);
    destination_internet_flag.store(0);
    // Tunnel up: a path, a virtual address, the tunnel started.
    view_->paths_up = 1;
    view_->static_address = IPAddress(Addr(kVip));
    policy_.build_policy_table(Doc(kRows));
    policy_.set_tunnel_started(true);
  }
  ~PolicyMatchingTest() override {
    destination_internet_flag.store(0);
    FailCloseMgr::GetInstance().ReplaceConfigured(false);
  }

  struct Flow {
    const char* src = kVip;
    const char* dst = "198.51.100.1";
    uint16_t dport = 80;
    uint16_t protocol = 6;
    const char* process = nullptr;
    uint8_t internet = 1;
    int32_t dscp = 0;
    int32_t app = 0;
  };
  std::string Match(const Flow& f, const OstPolicy* p = nullptr) {
    if (p == nullptr) p = &policy_;
    const int32_t i = p->find_matching_policy(Addr(f.src), Addr(f.dst), 40000, f.dport, f.dscp,
                                              f.protocol, f.app, 0, f.internet, f.process);
    const policy* row = p->policy_row(i);
    if (row == nullptr) return "no row " + std::to_string(i);
    std::string name(row->name.data(), static_cast<size_t>(row->name.length()));
    const std::string prefix = "ost-control-";
    return name.rfind(prefix, 0) == 0 ? name.substr(prefix.size()) : name;
  }

  testing_support::StartedLog log_{0};
  std::unique_ptr<FakeOverlayView> view_ = std::make_unique<FakeOverlayView>();
  OstPolicy policy_;
};

TEST(OwnProcess, NamesCompareIgnoringCaseAndExe) {
  for (const char* name : {"dovadod", "DOVADOD.EXE", "pellarsvc.exe", "zevudi", "PellarUI.exe",
                           "zentrik", "Vedororore.Exe"})
    EXPECT_TRUE(is_own_process(name)) << name;
  for (const char* name : {"googlechrome.exe", "dovadod2", "", "dovadod.exe.exe", ".exe"})
    EXPECT_FALSE(is_own_process(name)) << name;
  EXPECT_FALSE(is_own_process(nullptr));
  // Only the first 255 bytes of a name count.
  std::string longer(255, 'a');
  EXPECT_FALSE(is_own_process((longer + "dovadod").c_str()));
}

TEST_F(PolicyMatchingTest, RulesAroundTheWalk) {
  struct Case {
    const char* what;
    bool started;
    int paths;
    const char* vip;
    bool virtual_only;
    Flow flow;
    const char* expect;
    bool leak;
  };
  const Case cases[] = {
      {"own process, not from the vip",
       true,
       1,
       kVip,
       false,
       {.src = kOther, .process = "dovadod.exe"},
       "allow-all",
       false},
      {"own process in other case",
       true,
       1,
       kVip,
       false,
       {.src = kOther, .process = "DOVADOD"},
       "allow-all",
       false},
      {"own process from the vip is matched",
       true,
       1,
       kVip,
       false,
       {.process = "dovadod.exe"},
       "anyport",
       false},
      {"no path, no vip", true, 0, "0.0.0.0", false, {.src = kOther}, "allow-all", false},
      {"tunnel not started", false, 1, kVip, false, {}, "allow-all", false},
      {"private destination, other source",
       true,
       1,
       kVip,
       false,
       {.src = kOther, .dst = "10.2.1.1"},
       "allow-all",
       false},
      {"private destination from the vip",
       true,
       1,
       kVip,
       false,
       {.dst = "10.2.1.1"},
       "plain-private",
       false},
      {"virtual only, from the vip", true, 1, kVip, true, {}, "anyport", false},
      {"virtual only, other source leaks", true, 1, kVip, true, {.src = kOther}, "block-all", true},
      {"virtual only, not started", false, 1, kVip, true, {}, "block-all", true},
      {"virtual only, not started, own process",
       false,
       1,
       kVip,
       true,
       {.src = kOther, .process = "zevudi.exe"},
       "allow-all",
       false},
      {"virtual only, the built-in allow-all matches",
       true,
       1,
       kVip,
       true,
       {.dst = "192.0.2.9", .dport = 6000, .protocol = 17},
       "allow-all",
       false},
      {"first of two rows: port 443", true, 1, kVip, false, {.dport = 443}, "port443", false},
      {"second of two rows: port 80", true, 1, kVip, false, {.dport = 80}, "anyport", false},
      {"internet row, private destination",
       true,
       1,
       kVip,
       false,
       {.dst = "10.0.0.5", .dport = 8443},
       "allow-all",
       false},
      {"internet row, internet 0",
       true,
       1,
       kVip,
       false,
       {.dst = "192.0.2.9", .dport = 8443, .internet = 0},
       "allow-all",
       false},
      {"internet row",
       true,
       1,
       kVip,
       false,
       {.dst = "192.0.2.9", .dport = 8443},
       "internet-only",
       false},
      {"process prefix",
       true,
       1,
       kVip,
       false,
       {.dst = "192.0.2.9", .dport = 9000, .process = "chrome.exe"},
       "chrome",
       false},
      {"process prefix in capitals",
       true,
       1,
       kVip,
       false,
       {.dst = "192.0.2.9", .dport = 9000, .process = "CHROME.EXE"},
       "chrome",
       false},
      {"process not a prefix",
       true,
       1,
       kVip,
       false,
       {.dst = "192.0.2.9", .dport = 9000, .process = "googlechrome.exe"},
       "allow-all",
       false},
      {"no process name",
       true,
       1,
       kVip,
       false,
       {.dst = "192.0.2.9", .dport = 9000},
       "allow-all",
       false},
      {"drop row answers its own index",
       true,
       1,
       kVip,
       false,
       {.dst = "10.77.0.2", .dport = 5201},
       "iperf-drop",
       false},
      {"other protocol to the dropped host",
       true,
       1,
       kVip,
       false,
       {.dst = "10.77.0.2", .dport = 0, .protocol = 1},
       "allow-all",
       false},
      {"dscp row",
       true,
       1,
       kVip,
       false,
       {.dst = "192.0.2.9", .dport = 5004, .dscp = 46},
       "dscp-ef",
       false},
      {"dscp row, other dscp",
       true,
       1,
       kVip,
       false,
       {.dst = "192.0.2.9", .dport = 5004, .dscp = 10},
       "allow-all",
       false},
      {"app and second port range",
       true,
       1,
       kVip,
       false,
       {.dst = "192.0.2.9", .dport = 7100, .protocol = 17, .app = 12},
       "app12",
       false},
      {"app row, other app",
       true,
       1,
       kVip,
       false,
       {.dst = "192.0.2.9", .dport = 7005, .protocol = 17, .app = 13},
       "allow-all",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    policy_.set_tunnel_started(c.started);
    view_->paths_up = c.paths;
    view_->static_address = IPAddress(Addr(c.vip));
    destination_internet_flag.store(c.virtual_only ? 1 : 0);
    log_.fresh();
    EXPECT_EQ(Match(c.flow), c.expect);
    const size_t leaks = [&] {
      const std::string text = log_.fresh();
      size_t n = 0;
      for (size_t at = text.find("leaked traffic blocked"); at != std::string::npos;
           at = text.find("leaked traffic blocked", at + 1))
        ++n;
      return n;
    }();
    EXPECT_EQ(leaks, c.leak ? 1u : 0u);
  }
  EXPECT_EQ(policy_.dscp_match_present(), 1);
}

// The walk over flattened criteria answers what the rows' own criteria
// answer, for flows drawn around the rows' addresses and ports.
TEST_F(PolicyMatchingTest, WalkAgreesWithTheRowsOwnCriteria) {
  policy_.build_policy_table(Doc(std::string(kRows) + R"(,
    {"qos_match":{"cmap_name":"src-range","cmap_match_criteria":{"mtch_src_ip":"100.64.0.0/10",
      "mtch_src_port":"1000-40000","mtch_dest_port":"100-200"}}},
    {"qos_match":{"cmap_name":"reversed","cmap_match_criteria":{"mtch_dest_port":"300-250"}}},
    {"qos_match":{"cmap_name":"no-range","cmap_match_criteria":{"mtch_dest_port":"x"}}})"));
  const PolicyTable& t = policy_.active_table();
  const char* dsts[] = {"10.1.2.3",  "10.2.0.1",  "203.0.113.5", "198.51.100.9",
                        "10.77.0.2", "192.0.2.1", "169.254.1.1", "8.8.8.8"};
  const uint16_t ports[] = {0, 53, 67, 80, 150, 260, 443, 5004, 5201, 7005, 7100, 8443, 9000};
  const char* processes[] = {nullptr, "chrome.exe", "other"};
  int checked = 0;
  for (const char* dst : dsts) {
    for (uint16_t dport : ports) {
      for (uint16_t protocol : {1, 6, 17}) {
        for (const char* process : processes) {
          const int32_t got = policy_.find_matching_policy(Addr(kVip), Addr(dst), 40000, dport, 46,
                                                           protocol, 12, 0, 1, process);
          int32_t want = -1;
          for (int i = 0; i < t.count && want < 0; ++i) {
            const policy_match& m = t.rows[i].match;
            bool ok = (m.dscp == -1 || m.dscp == 46) &&
                      match_flow_tuple(m, Addr(kVip), Addr(dst), 40000, dport, protocol) &&
                      (m.category == -1 || m.category == 0) && match_process_list(m, process);
            if (!m.app_ids.empty()) {
              bool found = false;
              for (int32_t id : m.app_ids) found = found || id == 12;
              ok = ok && found;
            }
            if (m.internet) {
              const uint32_t h = ntohl(Addr(dst));
              ok = ok && (h >> 24) != 10 && (h >> 16) != 0xA9FE && (h >> 16) != 0xC0A8;
            }
            if (ok) want = i;
          }
          EXPECT_EQ(got, want) << dst << ":" << dport << "/" << protocol;
          ++checked;
        }
      }
    }
  }
  EXPECT_GT(checked, 900);
}

TEST_F(PolicyMatchingTest, LeakLineNamesTheFlow) {
  destination_internet_flag.store(1);
  log_.fresh();
  Match({.src = kOther, .dst = "192.0.2.9", .dport = 443});
  EXPECT_NE(log_.fresh().find("Configured Bypass Internet Traffic but leaked traffic blocked "
                              "192.168.50.7:40000::192.0.2.9:443"),
            std::string::npos);
}

TEST_F(PolicyMatchingTest, FailCloseNarrowsToAllowOrBlock) {
  struct Case {
    const char* what;
    bool captive;
    Flow flow;
    const char* expect;
  };
  const Case cases[] = {
      {"PBR row to a private address", false, {.dst = "10.1.1.1", .dport = 443}, "block-all"},
      {"plain row to a private address", false, {.dst = "10.2.1.1", .dport = 443}, "allow-all"},
      {"built-in allow-all to a private address",
       false,
       {.dst = "10.9.1.1", .dport = 6000, .protocol = 17},
       "block-all"},
      {"public destination", false, {.dst = "198.51.100.1", .dport = 443}, "allow-all"},
      {"nothing matched, public",
       false,
       {.dst = "192.0.2.9", .dport = 6000, .protocol = 17},
       "allow-all"},
      {"drop row to a public address", false, {.dst = "203.0.113.5"}, "block-all"},
      {"drop row for UDP 53", false, {.dst = "10.9.1.1", .dport = 53, .protocol = 17}, "block-all"},
      {"UDP 67 to a private address",
       false,
       {.dst = "10.9.1.1", .dport = 67, .protocol = 17},
       "allow-all"},
      {"TCP 68 to a private address", false, {.dst = "10.9.1.1", .dport = 68}, "allow-all"},
      {"TCP 67 is no DHCP", false, {.dst = "10.9.1.1", .dport = 67}, "block-all"},
      {"own process to a private address",
       false,
       {.src = kOther, .dst = "10.9.1.1", .dport = 22, .process = "PellarSvc"},
       "allow-all"},
      {"own process from the vip",
       false,
       {.dst = "10.1.1.1", .dport = 443, .process = "dovadod"},
       "allow-all"},
      {"captive portal: PBR row", true, {.dst = "10.1.1.1", .dport = 443}, "allow-all"},
      {"captive portal: nothing matched",
       true,
       {.dst = "10.9.1.1", .dport = 6000, .protocol = 17},
       "allow-all"},
      {"captive portal keeps a configured drop", true, {.dst = "203.0.113.5"}, "block-all"},
  };
  SetFailClose(true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetCaptivePortal(c.captive);
    EXPECT_EQ(Match(c.flow), c.expect);
  }
  SetCaptivePortal(false);
}

TEST_F(PolicyMatchingTest, EmptyTableAnswersTheFixedPair) {
  OstPolicy empty;
  EXPECT_EQ(empty.active_table().count, 0);
  EXPECT_EQ(empty.policy_row(0)->name, "ost-control-allow-all");
  EXPECT_EQ(empty.policy_row(0)->action.priority, 2);
  EXPECT_EQ(empty.policy_row(1)->name, "ost-control-block-all");
  EXPECT_EQ(empty.policy_row(1)->action.priority, 4);
  EXPECT_EQ(empty.policy_row(2), nullptr);
  EXPECT_EQ(empty.policy_row(-1), nullptr);
  EXPECT_EQ(empty.policy_dump(), "[]");
  String hop("unchanged");
  EXPECT_EQ(empty.get_pbr_next_hop(0, &hop), 0);
  EXPECT_EQ(empty.get_pbr_next_hop(2, &hop), -1);

  EXPECT_EQ(Match({.dst = "10.1.1.1"}, &empty), "allow-all");
  SetFailClose(true);
  EXPECT_EQ(Match({.dst = "10.1.1.1", .dport = 443}, &empty), "block-all");
  EXPECT_EQ(Match({.dst = "203.0.113.5", .dport = 443}, &empty), "allow-all");
  SetFailClose(false);
  destination_internet_flag.store(1);
  EXPECT_EQ(Match({.src = kOther}, &empty), "block-all");
}

TEST_F(PolicyMatchingTest, PbrNextHop) {
  OstPolicy p;
  p.build_policy_table(Doc(R"(
    {"qos_match":{"cmap_name":"group-up"},
     "qos_action":{"pbr_action":{"pbr_next_hop_site":"hubs","pbr_next_hop_group_id":"g1"}}},
    {"qos_match":{"cmap_name":"group-down-direct"},
     "qos_action":{"pbr_action":{"pbr_next_hop_site":"hubs","pbr_next_hop_group_id":"g2"},
                   "pbr_list_action":[{"pbr_next_hop_site":"direct"},
                                      {"pbr_next_hop_site":"hubs","pbr_next_hop":"100.64.0.9"}]}},
    {"qos_match":{"cmap_name":"group-down"},
     "qos_action":{"pbr_action":{"pbr_next_hop_site":"hubs","pbr_next_hop_group_id":"g2"}}},
    {"qos_match":{"cmap_name":"hop-up"},
     "qos_action":{"pbr_action":{"pbr_next_hop_site":"hubs","pbr_next_hop":"100.64.0.9"}}},
    {"qos_match":{"cmap_name":"hop-x"},
     "qos_action":{"pbr_action":{"pbr_next_hop_site":"hubs","pbr_next_hop":"x"}}},
    {"qos_match":{"cmap_name":"list-skips"},
     "qos_action":{"pbr_action":{"pbr_next_hop_site":"ipsec","pbr_next_hop":"100.64.0.8"},
                   "pbr_list_action":[{"pbr_next_hop_site":"ipsec","pbr_next_hop":"100.64.0.7"},
                                      {"pbr_next_hop_site":"auto","pbr_next_hop":"100.64.0.7"},
                                      {"pbr_next_hop_site":"hubs","pbr_next_hop":"100.64.0.9"}]}},
    {"qos_match":{"cmap_name":"auto-with-list"},
     "qos_action":{"pbr_action":{"pbr_next_hop_site":"direct"},
                   "pbr_list_action":[{"pbr_next_hop_site":"hubs","pbr_next_hop":"100.64.0.9"}]}})"));
  view_->groups["g1"] = {IPAddress(Addr("100.64.0.5")), IPAddress(Addr("100.64.0.6"))};
  view_->groups["g2"] = {IPAddress(Addr("100.64.0.5"))};
  view_->peers[Addr("100.64.0.5")] = false;
  view_->peers[Addr("100.64.0.6")] = true;
  view_->peers[Addr("100.64.0.7")] = true;
  view_->peers[Addr("100.64.0.9")] = true;
  struct Case {
    int index;
    int result;
    const char* hop;  // "-": left unwritten
  };
  const Case cases[] = {
      {0, 0, "100.64.0.6"}, {1, 0, "-"}, {2, -1, "-"},   {3, 0, "100.64.0.9"}, {4, -1, "-"},
      {5, 0, "100.64.0.9"}, {6, 0, "-"}, {999, -1, "-"}, {-1, -1, "-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.index);
    String hop("-");
    EXPECT_EQ(p.get_pbr_next_hop(c.index, &hop), c.result);
    EXPECT_EQ(hop, c.hop);
  }
  // Without an overlay nothing resolves.
  view_.reset();
  String hop("-");
  EXPECT_EQ(p.get_pbr_next_hop(3, &hop), -1);
}

}  // namespace
