#include "ostgraphsvc/ostssl/ostrel_overlay_config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ostgraphsvc/ostssl/ostssl.h"
#include "platform/registry/registry.h"
#include "tests/support/started_log.h"

namespace reg = platform::registry;
using testing_support::StartedLog;
using testing_support::WriteFile;

namespace {

constexpr char kParse[] = "OstrelOverlayConfig::ioc_parse_config";
constexpr char kReset[] = "OstrelOverlayJson::resetOverlayJson";
constexpr char kLoad[] = "OstrelOverlayJson::LoadOstrelOverlayJson";
constexpr char kAddPeer[] = "OstrelOverlayJson::addpeer";
constexpr char kGroupAdd[] = "OnePeerGroup::addpeer";
constexpr char kAddLink[] = "OnePeer::addlink";
constexpr char kTenant[] = "ostssl::ssl_check_and_set_tenant_id";

// One log line without the process tag, the router level given as the
// service log numbers it (3 -> 2, 4 -> 3, 6 -> 4).
std::string Line(int routerLevel, const std::string& tag, const std::string& message) {
  int level = routerLevel == 3 ? 2 : routerLevel == 4 ? 3 : 4;
  return std::to_string(level) + " " + tag + " " + message;
}

std::string Text(const String& s) { return std::string(s.data(), static_cast<size_t>(s.length())); }
std::string Ip(IPAddress a) { return Text(a.to_string()); }

// "local" with an own address and tenant, `extra` members and `nexthop`.
std::string Conf(const std::string& extra, const std::string& nexthop = "[]") {
  return R"({"local": {"overlayIP": "100.64.0.5", "tenantID": "tenant-A", )" + extra +
         R"("nexthop": )" + nexthop + "}}";
}

class OverlayConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { ostssl::reset_for_testing(); }
  void TearDown() override { ostssl::reset_for_testing(); }

  // Writes `text` as the CONF file and parses it; the lines logged meanwhile
  // go to `lines_`.
  int Parse(const std::string& text) {
    path_ = log_.root().file("ostrel-overlay-conf.json");
    WriteFile(path_, text);
    return ParseFile(path_);
  }
  int ParseFile(const std::string& path) {
    std::string before = log_.text();
    int result = config_->ioc_parse_config(String(path.c_str()));
    lines_.clear();
    std::istringstream in(log_.text().substr(before.size()));
    for (std::string line; std::getline(in, line);) {
      const std::string prefix = " vedororore ";
      lines_.push_back(line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : line);
    }
    return result;
  }
  bool Logged(const std::string& line) const {
    for (const std::string& l : lines_) {
      if (l == line) return true;
    }
    return false;
  }
  // The lines at service level error or warning, in order.
  std::vector<std::string> Complaints() const {
    std::vector<std::string> out;
    for (const std::string& l : lines_) {
      if (l.rfind("2 ", 0) == 0 || l.rfind("3 ", 0) == 0) out.push_back(l);
    }
    return out;
  }
  const OstrelOverlayJson& json() const { return config_->overlay_json; }

  StartedLog log_{CXLOG_FMT_LEVEL_NUMBER};
  std::unique_ptr<OstrelOverlayConfig> config_ = std::make_unique<OstrelOverlayConfig>();
  std::string path_;
  std::vector<std::string> lines_;
};

constexpr char kFullConf[] = R"({
  "local": {
    "overlayIP": "100.64.0.5",
    "tenantID": "tenant-A",
    "overlayVip": "100.70.0.9",
    "siteid": "site-7",
    "hostname": "laptop-1",
    "macaddr": "aa:bb:cc:dd:ee:ff",
    "tls_only": true,
    "lastusedip_details": {"ip_addr": "100.70.1.2", "ip_mask": "255.255.255.0",
      "assigned_peer": "100.64.0.1", "lease_time_secs": 3600, "assigned_time": 1700000000,
      "name_servers": "10.0.0.53,10.0.0.54", "domain_list": "corp.example"},
    "nexthop": [
      {"ipv4": "100.64.0.1", "wanip": "198.51.100.1", "cost": 5, "port": 443,
       "pubkey": "KEY-1", "groupname": "Hub\nEast", "groupid": "east"},
      {"ipv4": "100.64.0.1", "wanip": "198.51.100.2", "cost": 9, "port": 8443,
       "pubkey": "KEY-X", "groupname": "Other", "groupid": "east"},
      {"ipv4": "100.64.0.2", "wanip": "198.51.100.3", "groupname": "ignored", "groupid": "east"},
      {"ipv4": "100.64.0.1", "wanip": "198.51.100.4", "groupid": "west"},
      {"wanip": "198.51.100.5"},
      {"ipv4": "100.64.0.3", "wanip": ""},
      {"ipv4": "100.64.0.3"},
      {"ipv4": "100.64.0.3", "wanip": 7},
      "100.64.0.4",
      {"ipv4": "100.64.0.9", "wanip": "203.0.113.9", "cost": "7", "port": "443", "pubkey": 5},
      {"ipv4": "100.64.0.9", "wanip": "203.0.113.10"},
      {"ipv4": "100.64.0.300", "wanip": "not-an-ip", "groupid": ""},
      {"ipv4": "100.64.0.300", "wanip": "203.0.113.11", "groupid": ""},
      {"ipv4": " 100.64.0.8", "wanip": "203.0.113.12 ", "groupname": 5}
    ]
  },
  "remote": []
})";

TEST_F(OverlayConfigTest, FullConfigGivesExactTablesAndLog) {
  ASSERT_EQ(Parse(kFullConf), 0);
  const OstrelOverlayJson& j = json();

  EXPECT_EQ(Ip(j.overlay_ip), "100.64.0.5");
  EXPECT_EQ(Ip(j.overlay_vip), "100.70.0.9");
  EXPECT_FALSE(j.dynamic_addressing);
  EXPECT_TRUE(j.tls_only);
  EXPECT_EQ(Text(j.tenant_id), "tenant-A");
  EXPECT_EQ(Text(ostssl::get_tenant_id()), "tenant-A");
  EXPECT_EQ(Text(j.site_id), "site-7");
  EXPECT_EQ(Text(j.hostname), "laptop-1");
  EXPECT_EQ(Text(j.macaddr), "aa:bb:cc:dd:ee:ff");

  const LastUsedIpDetails& last = j.lastusedip_details;
  EXPECT_EQ(Ip(last.ip_addr), "100.70.1.2");
  EXPECT_EQ(Ip(last.ip_mask), "255.255.255.0");
  EXPECT_EQ(Ip(last.assigned_peer), "100.64.0.1");
  EXPECT_EQ(last.lease_time_secs, 3600);
  EXPECT_EQ(last.assigned_time.nsec(), 1700000000LL * 1000000000LL);
  EXPECT_EQ(Text(last.name_servers), "10.0.0.53,10.0.0.54");
  EXPECT_EQ(Text(last.domain_list), "corp.example");

  // Group id, name, then per peer: address, key, cost, port, links.
  ASSERT_EQ(j.group_count, 6);
  struct PeerRow {
    const char* address;
    const char* key;
    int cost;
    int port;
    std::vector<std::string> links;
  };
  struct GroupRow {
    std::string id;
    std::string name;
    std::vector<PeerRow> peers;
  };
  const std::vector<GroupRow> expected = {
      {"east",
       "Hub\nEast",
       {{"100.64.0.1", "KEY-1", 5, 443, {"198.51.100.1", "198.51.100.2"}},
        {"100.64.0.2", "", 0, 0, {"198.51.100.3"}}}},
      {"west", "100.64.0.1", {{"100.64.0.1", "", 0, 0, {"198.51.100.4"}}}},
      {"100.64.0.9", "100.64.0.9", {{"100.64.0.9", "", 0, 0, {"203.0.113.9", "203.0.113.10"}}}},
      // An empty group ID opens a group each time, even for a known address.
      {"", "100.64.0.300", {{"0.0.0.0", "", 0, 0, {"0.0.0.0"}}}},
      {"", "100.64.0.300", {{"0.0.0.0", "", 0, 0, {"203.0.113.11"}}}},
      {" 100.64.0.8", " 100.64.0.8", {{"0.0.0.0", "", 0, 0, {"0.0.0.0"}}}},
  };
  for (int g = 0; g < 6; ++g) {
    SCOPED_TRACE("group " + std::to_string(g));
    const OnePeerGroup& group = j.groups[g];
    EXPECT_EQ(Text(group.group_id), expected[g].id);
    EXPECT_EQ(Text(group.group_name), expected[g].name);
    ASSERT_EQ(group.peer_count, static_cast<int>(expected[g].peers.size()));
    for (int p = 0; p < group.peer_count; ++p) {
      const OnePeer& peer = group.peers[p];
      const PeerRow& row = expected[g].peers[p];
      EXPECT_EQ(Ip(peer.overlay_ip), row.address);
      EXPECT_EQ(Text(peer.pubkey), row.key);
      EXPECT_EQ(peer.cost, row.cost);
      EXPECT_EQ(peer.port, row.port);
      std::vector<std::string> links;
      for (int l = 0; l < peer.link_count; ++l) links.push_back(Ip(peer.links[l]));
      EXPECT_EQ(links, row.links);
    }
  }

  const std::vector<std::string> log = {
      Line(6, kParse, "Parsing: " + path_),
      Line(6, kReset, "resetting Overlay peer data structure: 0"),
      Line(6, kTenant, "ostssl: tenant id is tenant-A"),
      Line(6, kLoad,
           "IP Loaded from cache: 100.70.1.2 peer 100.64.0.1 lease 3600 assigned time "
           "1700000000 ns:10.0.0.53,10.0.0.54 dom:corp.example"),
      Line(6, kLoad, "add peer for overlay ip: 100.64.0.1"),
      Line(6, kGroupAdd, "Adding Peer 100.64.0.1 group Hub\\nEast link 198.51.100.1 at Index: 0"),
      Line(6, kLoad, "add peer for overlay ip: 100.64.0.1"),
      Line(6, kAddLink, "Peer 100.64.0.1 adding link 198.51.100.2 at Index: 1"),
      Line(6, kLoad, "add peer for overlay ip: 100.64.0.2"),
      Line(6, kGroupAdd, "Adding Peer 100.64.0.2 group Hub\\nEast link 198.51.100.3 at Index: 1"),
      Line(6, kLoad, "add peer for overlay ip: 100.64.0.1"),
      Line(6, kGroupAdd, "Adding Peer 100.64.0.1 group 100.64.0.1 link 198.51.100.4 at Index: 0"),
      Line(4, kLoad, "skipping entry 5, missing peer overlay ip in the configuration json"),
      Line(4, kLoad, "skipping entry 6, missing wan ip in the configuration json"),
      Line(4, kLoad, "skipping entry 7, missing wan ip in the configuration json"),
      Line(4, kLoad, "skipping entry 8, missing wan ip in the configuration json"),
      Line(4, kLoad, "skipping entry 9, missing peer overlay ip in the configuration json"),
      Line(6, kLoad, "add peer for overlay ip: 100.64.0.9"),
      Line(6, kGroupAdd, "Adding Peer 100.64.0.9 group 100.64.0.9 link 203.0.113.9 at Index: 0"),
      Line(6, kLoad, "add peer for overlay ip: 100.64.0.9"),
      Line(6, kAddLink, "Peer 100.64.0.9 adding link 203.0.113.10 at Index: 1"),
      Line(6, kLoad, "add peer for overlay ip: 100.64.0.300"),
      Line(6, kGroupAdd, "Adding Peer 0.0.0.0 group 100.64.0.300 link 0.0.0.0 at Index: 0"),
      Line(6, kLoad, "add peer for overlay ip: 100.64.0.300"),
      Line(6, kGroupAdd, "Adding Peer 0.0.0.0 group 100.64.0.300 link 203.0.113.11 at Index: 0"),
      Line(6, kLoad, "add peer for overlay ip:  100.64.0.8"),
      Line(6, kGroupAdd, "Adding Peer 0.0.0.0 group  100.64.0.8 link 0.0.0.0 at Index: 0"),
      Line(6, kLoad, "total peer found in config file: 14"),
  };
  EXPECT_EQ(lines_, log);
}

TEST_F(OverlayConfigTest, LocalValuesAreTypedExactly) {
  struct Case {
    const char* extra;
    bool dynamic;
    const char* vip;
    bool tls;
  };
  const Case cases[] = {
      {"", true, "0.0.0.0", false},
      {R"("overlayVip": "0.0.0.0",)", true, "0.0.0.0", false},
      {R"("overlayVip": "100.70.0.9",)", false, "100.70.0.9", false},
      {R"("overlayVip": "100.70.0.256",)", true, "0.0.0.0", false},
      {R"("overlayVip": "100.70.0.9/32",)", true, "0.0.0.0", false},
      {R"("overlayVip": 1684275209,)", true, "0.0.0.0", false},
      {R"("tls_only": true,)", true, "0.0.0.0", true},
      {R"("tls_only": false,)", true, "0.0.0.0", false},
      {R"("tls_only": "true",)", true, "0.0.0.0", false},
      {R"("tls_only": 1,)", true, "0.0.0.0", false},
      {R"("siteid": 5, "hostname": ["h"], "macaddr": null,)", true, "0.0.0.0", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extra);
    ASSERT_EQ(Parse(Conf(c.extra)), 0);
    EXPECT_EQ(json().dynamic_addressing, c.dynamic);
    EXPECT_EQ(Ip(json().overlay_vip), c.vip);
    EXPECT_EQ(json().tls_only, c.tls);
    EXPECT_EQ(Ip(json().overlay_ip), "100.64.0.5");
    EXPECT_EQ(json().site_id.length(), 0);
    EXPECT_EQ(json().hostname.length(), 0);
    EXPECT_EQ(json().macaddr.length(), 0);
  }
  // Texts are kept as given.
  ASSERT_EQ(Parse(Conf(R"("siteid": " a\tb\u00e9 ", "hostname": "", "macaddr": "AA-bb",)")), 0);
  EXPECT_EQ(Text(json().site_id), " a\tb\xc3\xa9 ");
  EXPECT_EQ(Text(json().macaddr), "AA-bb");
  ASSERT_EQ(Parse(R"({"local": {"overlayIP": "1.2.3", "tenantID": "t", "nexthop": []}})"), 0);
  EXPECT_EQ(Ip(json().overlay_ip), "0.0.0.0");
}

TEST_F(OverlayConfigTest, LastUsedRecordReadsOnlyTypedValuesInRange) {
  struct Case {
    const char* details;
    const char* address;
    const char* mask;
    const char* peer;
    int lease;
    long long seconds;
    const char* servers;
    std::optional<std::string> complaint;  // the warning the value gives
  };
  const Case cases[] = {
      {R"({"ip_addr": "0.0.0.0", "ip_mask": "255.0.0.0", "lease_time_secs": 5,
           "name_servers": "n"})",
       "0.0.0.0", "0.0.0.0", "0.0.0.0", 0, 0, "", std::nullopt},
      {R"({"ip_addr": "100.70.1.256", "lease_time_secs": 5})", "0.0.0.0", "0.0.0.0", "0.0.0.0", 0,
       0, "", std::nullopt},
      {R"({"ip_mask": "255.0.0.0", "lease_time_secs": 5})", "0.0.0.0", "0.0.0.0", "0.0.0.0", 0, 0,
       "", std::nullopt},
      {R"("100.70.1.2")", "0.0.0.0", "0.0.0.0", "0.0.0.0", 0, 0, "", std::nullopt},
      {R"({"ip_addr": "100.70.1.2", "ip_mask": 5, "assigned_peer": "x",
           "lease_time_secs": "3600", "assigned_time": 1.5e9, "name_servers": 5,
           "domain_list": []})",
       "100.70.1.2", "0.0.0.0", "0.0.0.0", 0, 0, "", std::nullopt},
      // Seconds past 2038 are kept; the largest whose nanoseconds still fit.
      {R"({"ip_addr": "100.70.1.2", "assigned_time": 4102444800})", "100.70.1.2", "0.0.0.0",
       "0.0.0.0", 0, 4102444800LL, "", std::nullopt},
      {R"({"ip_addr": "100.70.1.2", "assigned_time": 9223372036})", "100.70.1.2", "0.0.0.0",
       "0.0.0.0", 0, 9223372036LL, "", std::nullopt},
      {R"({"ip_addr": "100.70.1.2", "assigned_time": -9223372036})", "100.70.1.2", "0.0.0.0",
       "0.0.0.0", 0, -9223372036LL, "", std::nullopt},
      {R"({"ip_addr": "100.70.1.2", "assigned_time": 10000000000})", "100.70.1.2", "0.0.0.0",
       "0.0.0.0", 0, 0, "",
       "lastusedip_details: assigned_time 10000000000 out of range, read as 0"},
      {R"({"ip_addr": "100.70.1.2", "assigned_time": 9223372037})", "100.70.1.2", "0.0.0.0",
       "0.0.0.0", 0, 0, "", "lastusedip_details: assigned_time 9223372037 out of range, read as 0"},
      {R"({"ip_addr": "100.70.1.2", "assigned_time": -10000000000})", "100.70.1.2", "0.0.0.0",
       "0.0.0.0", 0, 0, "",
       "lastusedip_details: assigned_time -10000000000 out of range, read as 0"},
      {R"({"ip_addr": "100.70.1.2", "assigned_time": 123456789012345678901234567890})",
       "100.70.1.2", "0.0.0.0", "0.0.0.0", 0, 0, "",
       "lastusedip_details: assigned_time 9223372036854775807 out of range, read as 0"},
      // Leases beyond the int range saturate.
      {R"({"ip_addr": "100.70.1.2", "lease_time_secs": 99999999999})", "100.70.1.2", "0.0.0.0",
       "0.0.0.0", 2147483647, 0, "", std::nullopt},
      {R"({"ip_addr": "100.70.1.2", "lease_time_secs": -99999999999, "assigned_peer": "1.2.3.4",
           "ip_mask": "255.255.0.0", "name_servers": "a\nb"})",
       "100.70.1.2", "255.255.0.0", "1.2.3.4", -2147483647 - 1, 0, "a\nb", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.details);
    ASSERT_EQ(Parse(Conf(std::string(R"("lastusedip_details": )") + c.details + ",")), 0);
    const LastUsedIpDetails& last = json().lastusedip_details;
    EXPECT_EQ(Ip(last.ip_addr), c.address);
    EXPECT_EQ(Ip(last.ip_mask), c.mask);
    EXPECT_EQ(Ip(last.assigned_peer), c.peer);
    EXPECT_EQ(last.lease_time_secs, c.lease);
    EXPECT_EQ(last.assigned_time.nsec(), c.seconds * 1000000000LL);
    EXPECT_EQ(Text(last.name_servers), c.servers);
    EXPECT_EQ(last.domain_list.length(), 0);
    std::vector<std::string> complaints;
    if (c.complaint) complaints.push_back(Line(4, kLoad, *c.complaint));
    EXPECT_EQ(Complaints(), complaints);
  }
  // The cache line shows what was read, texts escaped.
  EXPECT_TRUE(Logged(Line(6, kLoad,
                          "IP Loaded from cache: 100.70.1.2 peer 1.2.3.4 lease -2147483648 "
                          "assigned time 0 ns:a\\nb dom:")))
      << ::testing::PrintToString(lines_);
}

// Nexthop entries: `count` peers of `group`, one link each.
std::string Entry(const std::string& ipv4, const std::string& wan, const std::string& group) {
  return R"({"ipv4": ")" + ipv4 + R"(", "wanip": ")" + wan + R"(", "groupid": ")" + group +
         R"(", "groupname": ")" + group + R"("})";
}

TEST_F(OverlayConfigTest, LimitsOpenGroupsWithTheSameIdAndDropTheSurplus) {
  std::vector<std::string> entries;
  // Nine peers of "hub": the ninth opens a second "hub" group.
  for (int i = 1; i <= 9; ++i)
    entries.push_back(Entry("10.0.0." + std::to_string(i), "1.0.0.1", "hub"));
  // Eight more links for the first hub: seven fit, the ninth link is dropped;
  // the full first group keeps them, the second "hub" group never sees them.
  for (int i = 2; i <= 9; ++i)
    entries.push_back(Entry("10.0.0.1", "1.0.0." + std::to_string(i), "hub"));
  // Thirty groups more make 32; the 33rd is dropped.
  for (int i = 3; i <= 33; ++i) {
    entries.push_back(Entry("10.1.0." + std::to_string(i), "2.0.0.1", "g" + std::to_string(i)));
  }
  // With 32 groups, "hub" peers still fill the second "hub" group, and one
  // more is dropped.
  for (int i = 10; i <= 17; ++i)
    entries.push_back(Entry("10.0.0." + std::to_string(i), "1.0.0.1", "hub"));
  std::string nexthop = "[";
  for (size_t i = 0; i < entries.size(); ++i) nexthop += (i ? "," : "") + entries[i];
  nexthop += "]";

  ASSERT_EQ(Parse(Conf("", nexthop)), 0);
  const OstrelOverlayJson& j = json();
  ASSERT_EQ(j.group_count, 32);
  const OnePeerGroup& first = j.groups[0];
  const OnePeerGroup& second = j.groups[1];
  EXPECT_EQ(Text(first.group_id), "hub");
  EXPECT_EQ(Text(second.group_id), "hub");
  ASSERT_EQ(first.peer_count, 8);
  ASSERT_EQ(second.peer_count, 8);
  for (int p = 0; p < 8; ++p) {
    EXPECT_EQ(Ip(first.peers[p].overlay_ip), "10.0.0." + std::to_string(p + 1));
    EXPECT_EQ(Ip(second.peers[p].overlay_ip), "10.0.0." + std::to_string(p + 9));
  }
  ASSERT_EQ(first.peers[0].link_count, 8);
  for (int l = 0; l < 8; ++l)
    EXPECT_EQ(Ip(first.peers[0].links[l]), "1.0.0." + std::to_string(l + 1));
  EXPECT_EQ(second.peers[0].link_count, 1);
  EXPECT_EQ(Text(j.groups[31].group_id), "g32");

  const std::vector<std::string> complaints = {
      Line(4, kAddLink,
           "add link not done for overlay ip: 10.0.0.1 as current number of links in link "
           "(1.0.0.9): 8"),
      Line(4, kAddPeer,
           "add peer not done for overlay ip: 10.1.0.33 as current number of peer group "
           "configured: 32"),
      Line(4, kAddPeer,
           "add peer not done for overlay ip: 10.0.0.17 as current number of peer group "
           "configured: 32"),
  };
  EXPECT_EQ(Complaints(), complaints);
  EXPECT_TRUE(
      Logged(Line(6, kGroupAdd, "Adding Peer 10.0.0.9 group hub link 1.0.0.1 at Index: 0")));
  EXPECT_TRUE(Logged(Line(6, kLoad, "total peer found in config file: 56")));
}

TEST_F(OverlayConfigTest, GroupAndPeerRefuseBeyondTheirRoom) {
  OnePeerGroup group;
  group.group_name = "Hub";
  OnePeer peer;
  peer.link_count = 1;
  for (int i = 1; i <= 9; ++i) {
    peer.overlay_ip = IPAddress(10, 0, 0, static_cast<unsigned char>(i));
    peer.links[0] = IPAddress(1, 0, 0, static_cast<unsigned char>(i));
    group.addpeer(peer);
  }
  EXPECT_EQ(group.peer_count, 8);
  // A peer already in the full group still gains the link.
  peer.overlay_ip = IPAddress(10, 0, 0, 3);
  peer.links[0] = IPAddress(1, 0, 0, 3);
  group.addpeer(peer);
  ASSERT_EQ(group.peers[2].link_count, 2);
  EXPECT_EQ(Ip(group.peers[2].links[1]), "1.0.0.3");  // the same address again
  std::string text = log_.text();
  EXPECT_NE(text.find(Line(4, kGroupAdd,
                           "add peer not done for overlay ip: 10.0.0.9 as current number of peers "
                           "in group (Hub): 8")),
            std::string::npos);
}

TEST_F(OverlayConfigTest, FailuresStopWithTheirMessages) {
  struct Case {
    const char* name;
    std::optional<std::string> conf;  // nullopt: no file
    int result;
    bool unparsable;  // the load's parse line comes first
    std::vector<std::string> complaints;
    const char* tenant;  // held by the transport afterwards
    const char* own;
    int peers;
  };
  const std::string parseFailed = Line(3, kParse, "JSON config parse failed, err=-1");
  const std::string noIp = Line(3, kLoad, "cannot find the self overlay ip!!!, can't proceed");
  const std::string noTenant = Line(3, kLoad, "cannot find tenant id!!!, can't proceed");
  const std::string noPeers = Line(3, kLoad, "No peers configured!!!");
  const std::string noNexthop = Line(3, kParse, "cannot find nexthop!!!");
  const std::string one = R"([{"ipv4": "10.0.0.1", "wanip": "1.0.0.1"}])";
  const Case cases[] = {
      {"no file", std::nullopt, -1, true, {parseFailed}, "", "0.0.0.0", 0},
      {"not json", "{\"local\": ", -1, true, {parseFailed}, "", "0.0.0.0", 0},
      {"empty object", "{}", -1, true, {parseFailed}, "", "0.0.0.0", 0},
      {"no local", R"({"remote": []})", -1, false, {noIp, parseFailed}, "", "0.0.0.0", 0},
      {"local not an object",
       R"({"local": ["100.64.0.5"]})",
       -1,
       false,
       {noIp, parseFailed},
       "",
       "0.0.0.0",
       0},
      {"overlayIP a number",
       R"({"local": {"overlayIP": 5, "tenantID": "t"}})",
       -1,
       false,
       {noIp, parseFailed},
       "",
       "0.0.0.0",
       0},
      {"no tenantID",
       R"({"local": {"overlayIP": "100.64.0.5", "nexthop": )" + one + "}}",
       -1,
       false,
       {noTenant, parseFailed},
       "",
       "100.64.0.5",
       0},
      {"tenantID a number",
       R"({"local": {"overlayIP": "100.64.0.5", "tenantID": 7, "nexthop": )" + one + "}}",
       -1,
       false,
       {noTenant, parseFailed},
       "",
       "100.64.0.5",
       0},
      {"no nexthop",
       R"({"local": {"overlayIP": "100.64.0.5", "tenantID": "t"}})",
       -1,
       false,
       {noPeers, noNexthop},
       "t",
       "100.64.0.5",
       0},
      {"nexthop null",
       R"({"local": {"overlayIP": "100.64.0.5", "tenantID": "t", "nexthop": null}})",
       -1,
       false,
       {noPeers, noNexthop},
       "t",
       "100.64.0.5",
       0},
      {"nexthop an object",
       R"({"local": {"overlayIP": "100.64.0.5", "tenantID": "t", "nexthop": {"ipv4": "10.0.0.1",
           "wanip": "1.0.0.1"}}})",
       -1,
       false,
       {noPeers, noNexthop},
       "t",
       "100.64.0.5",
       0},
      {"nexthop empty",
       R"({"local": {"overlayIP": "100.64.0.5", "tenantID": "t", "nexthop": []}})",
       0,
       false,
       {},
       "t",
       "100.64.0.5",
       0},
      {"one peer",
       R"({"local": {"overlayIP": "100.64.0.5", "tenantID": "t", "nexthop": )" + one + "}}",
       0,
       false,
       {},
       "t",
       "100.64.0.5",
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ostssl::reset_for_testing();
    std::string path = log_.root().file(std::string("conf-") + c.name);
    if (c.conf) WriteFile(path, *c.conf);
    EXPECT_EQ(ParseFile(path), c.result);
    std::vector<std::string> complaints = c.complaints;
    if (c.unparsable) {
      complaints.insert(complaints.begin(),
                        Line(3, kLoad, "JSON config " + path + " parse failed, err=-1"));
    }
    EXPECT_EQ(Complaints(), complaints);
    EXPECT_EQ(Text(ostssl::get_tenant_id()), c.tenant);
    EXPECT_EQ(Ip(json().overlay_ip), c.own);
    EXPECT_EQ(json().group_count, c.peers);
    EXPECT_EQ(Logged(Line(6, kLoad, "total peer found in config file: 0")),
              std::string(c.name) == "nexthop empty");
  }
}

TEST_F(OverlayConfigTest, SecondLoadResetsTablesAndKeepsTheFirstTenant) {
  ASSERT_EQ(Parse(kFullConf), 0);
  ASSERT_EQ(Parse(R"({"local": {"overlayIP": "100.64.0.6", "tenantID": "tenant-B",
      "nexthop": [{"ipv4": "10.9.9.9", "wanip": "192.0.2.9"}]}})"),
            0);
  const OstrelOverlayJson& j = json();
  // The transport keeps the tenant it was first given; the file's own stays
  // visible in the configuration.
  EXPECT_EQ(Text(ostssl::get_tenant_id()), "tenant-A");
  EXPECT_EQ(Text(j.tenant_id), "tenant-B");
  EXPECT_FALSE(Logged(Line(6, kTenant, "ostssl: tenant id is tenant-B")));
  // Nothing of the first file is left.
  EXPECT_EQ(Ip(j.overlay_ip), "100.64.0.6");
  EXPECT_TRUE(j.dynamic_addressing);
  EXPECT_EQ(Ip(j.overlay_vip), "0.0.0.0");
  EXPECT_FALSE(j.tls_only);
  EXPECT_EQ(j.site_id.length(), 0);
  EXPECT_EQ(Ip(j.lastusedip_details.ip_addr), "0.0.0.0");
  EXPECT_EQ(j.lastusedip_details.name_servers.length(), 0);
  ASSERT_EQ(j.group_count, 1);
  EXPECT_EQ(Text(j.groups[0].group_id), "10.9.9.9");
  ASSERT_EQ(j.groups[0].peer_count, 1);
  EXPECT_EQ(j.groups[0].peers[0].link_count, 1);
  EXPECT_EQ(j.groups[0].peers[0].pubkey.length(), 0);
  EXPECT_EQ(j.groups[1].peer_count, 0);
  EXPECT_EQ(j.groups[1].group_id.length(), 0);

  // The reset names what the first file had: six groups, then each peer's
  // link count.
  const std::vector<std::string> reset = {
      Line(6, kReset, "resetting Overlay peer data structure: 6"),
      Line(6, kReset, "resetting Overlay peer link data structure: 2"),
      Line(6, kReset, "resetting Overlay peer link data structure: 1"),
      Line(6, kReset, "resetting Overlay peer link data structure: 1"),
      Line(6, kReset, "resetting Overlay peer link data structure: 2"),
      Line(6, kReset, "resetting Overlay peer link data structure: 1"),
      Line(6, kReset, "resetting Overlay peer link data structure: 1"),
      Line(6, kReset, "resetting Overlay peer link data structure: 1"),
  };
  ASSERT_GE(lines_.size(), reset.size() + 1);
  EXPECT_EQ(std::vector<std::string>(lines_.begin() + 1, lines_.begin() + 1 + reset.size()), reset);

  // A failed load keeps what came before its failure and nothing older.
  ASSERT_EQ(Parse(R"({"local": {"overlayIP": "100.64.0.7", "nexthop": []}})"), -1);
  EXPECT_EQ(Ip(json().overlay_ip), "100.64.0.7");
  EXPECT_EQ(json().tenant_id.length(), 0);
  EXPECT_EQ(json().group_count, 0);
}

void SetWorkDirSetting(const std::string& dir) {
  reg::Key key;
  ASSERT_EQ(reg::create_key(reg::RootKey::kLocalMachine, "SOFTWARE\\Corvex\\tarn",
                            reg::kKeyAllAccess | reg::kKeyWow64_64Key, &key),
            0u);
  ASSERT_EQ(reg::set_value(key, "workdir", reg::kRegSz, dir.c_str(),
                           static_cast<uint32_t>(dir.size() + 1)),
            0u);
}

TEST_F(OverlayConfigTest, MultiLinkModeFromTheClientSetting) {
  const std::string dir = log_.root().file("work");
  SetWorkDirSetting(dir);
  const std::string client = dir + "/ostrel-client-config.json";
  struct Case {
    std::optional<std::string> setting;  // nullopt: no file
    MultiLinkMode mode;
  };
  const Case cases[] = {
      {R"("Active_Standby")", MULTILINK_ACTIVE_STANDBY},
      {R"("ACTIVE_STANDBY")", MULTILINK_ACTIVE_STANDBY},
      {R"("active_active")", MULTILINK_ACTIVE_ACTIVE},
      {R"("Active_Active")", MULTILINK_ACTIVE_ACTIVE},
      {R"("active-standby")", MULTILINK_SINGLE},
      {R"(" active_active")", MULTILINK_SINGLE},
      {R"("active_active ")", MULTILINK_SINGLE},
      {R"("")", MULTILINK_SINGLE},
      {"2", MULTILINK_SINGLE},
      {"null", MULTILINK_SINGLE},
      {std::nullopt, MULTILINK_SINGLE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting.value_or("no file"));
    if (c.setting) {
      WriteFile(client, R"({"dcfg_client_config": {"multilink_support": )" + *c.setting + "}}");
    } else {
      std::remove(client.c_str());
    }
    EXPECT_EQ(get_multilink_mode(), c.mode);
  }
  // No setting at all is a single link too.
  WriteFile(client, R"({"dcfg_client_config": {"fail_close": true}})");
  EXPECT_EQ(get_multilink_mode(), MULTILINK_SINGLE);
}

}  // namespace
