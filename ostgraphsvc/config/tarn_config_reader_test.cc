#include "ostgraphsvc/config/tarn_config_reader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "graph/json.h"
#include "platform/registry/registry.h"
#include "tests/support/started_log.h"

namespace reg = platform::registry;
namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::StartedLog;
using testing_support::WriteFile;

namespace {

constexpr char kClient[] = "ostrel-client-config.json";
constexpr char kOverlay[] = "ostrel-overlay.json";
constexpr char kExclusions[] = "ostrel-exclusions.json";
constexpr char kPolicy[] = "policy.json";
constexpr char kFapps[] = "fapps.json";

constexpr char kPass[] = "CTarnConfigReader::readVirtualInterfaceInfo";
constexpr char kOverlayTag[] = "CTarnConfigReader::readOverlayIP";
constexpr char kExclusionsTag[] = "CTarnConfigReader::readExclusionsConfig";
constexpr char kPolicyTag[] = "CTarnConfigReader::readPolicyConfig";
constexpr char kFappsTag[] = "CTarnConfigReader::findMatchingFapps";
constexpr char kAddTag[] = "CTarnConfigReader::addToSplitRouteTable";
constexpr char kMultiLinkTag[] = "CTarnConfigReader::readMultiLinkSupportConfig";

const std::string kFixture = std::string(DOVADOD_TEST_DATA) + "/workdir";

void SetWorkDirSetting(const std::string& dir) {
  reg::Key key;
  ASSERT_EQ(reg::create_key(reg::RootKey::kLocalMachine, "SOFTWARE\\Corvex\\tarn",
                            reg::kKeyAllAccess | reg::kKeyWow64_64Key, &key),
            0u);
  ASSERT_EQ(reg::set_value(key, "workdir", reg::kRegSz, dir.c_str(),
                           static_cast<uint32_t>(dir.size() + 1)),
            0u);
}

// Router levels as the service log numbers them: 3 -> 2, 6 -> 4, 7 -> 5.
std::string Line(int routerLevel, const std::string& tag, const std::string& message) {
  int level = routerLevel == 3 ? 2 : routerLevel == 7 ? 5 : 4;
  return " vedororore " + std::to_string(level) + " " + tag + " " + message;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

SplitRoute Route(const char* network, const char* mask, int prefix) {
  return SplitRoute{network, mask, prefix};
}

std::string Describe(const std::vector<SplitRoute>& routes) {
  std::string text;
  for (const SplitRoute& r : routes) {
    text += r.networkAddress + " " + r.mask + " " + std::to_string(r.prefix) + "\n";
  }
  return text;
}

class TarnConfigReaderTest : public ::testing::Test {
 protected:
  void SetUp() override { cxLogThreshold = CXLOG_DEBUG; }

  // A work directory in the temporary root holding the fixture's files, with
  // `changes` written over them (nullopt removes the file).
  std::string MakeWorkDir(const std::map<std::string, std::optional<std::string>>& changes) {
    std::string dir = log_.root().file("work");
    fs::create_directories(dir);
    for (const char* name : {kClient, kOverlay, kExclusions, kPolicy, kFapps}) {
      WriteFile(dir + "/" + name, ReadFile(kFixture + "/" + name));
    }
    for (const auto& [name, content] : changes) {
      if (content.has_value()) {
        WriteFile(dir + "/" + name, *content);
      } else {
        fs::remove(dir + "/" + name);
      }
    }
    SetWorkDirSetting(dir);
    return dir;
  }

  bool Logged(const std::string& line) const {
    for (const std::string& l : Lines(log_.text())) {
      if (l == line) return true;
    }
    return false;
  }

  StartedLog log_{CXLOG_FMT_LEVEL_NUMBER};
  CTarnConfigReader reader_;
};

TEST_F(TarnConfigReaderTest, FixtureGivesExactTablesAndLog) {
  SetWorkDirSetting(kFixture);
  std::string before = log_.text();
  ASSERT_TRUE(reader_.readVirtualInterfaceInfo());

  EXPECT_EQ(reader_.getWorkDir(), kFixture);
  EXPECT_TRUE(reader_.isVirtualInterfaceEnabled());
  EXPECT_TRUE(reader_.isAlwaysOn());
  EXPECT_TRUE(reader_.isEnforceRoute());
  EXPECT_TRUE(reader_.isDnsThroughTunnel());
  EXPECT_TRUE(reader_.isFullTunnel());
  EXPECT_EQ(reader_.getVirtualIP(), "10.8.0.7");
  EXPECT_EQ(reader_.getVirtualIPMask(), "255.255.255.0");
  EXPECT_EQ(reader_.getOverlayIP(), "100.64.3.9");
  EXPECT_EQ(reader_.getOverlayNetmask(), "255.255.240.0");
  EXPECT_EQ(reader_.getDnsServers(), (std::vector<std::string>{"10.8.0.2", "172.16.5.53"}));
  EXPECT_EQ(reader_.getDnsSuffixes(), (std::vector<std::string>{"corp.example", "lab.example"}));

  std::vector<SplitRoute> split = {
      Route("10.8.0.0", "255.255.255.0", 24),      Route("10.8.0.2", "255.255.255.255", 32),
      Route("172.16.5.53", "255.255.255.255", 32), Route("100.64.0.0", "255.255.240.0", 20),
      Route("10.20.0.0", "255.255.0.0", 16),       Route("198.18.7.7", "255.255.255.255", 32),
      Route("9.9.9.0", "255.255.255.0", 24),       Route("0.0.0.0", "0.0.0.0", 0),
      Route("151.101.0.0", "255.255.0.0", 16),
  };
  std::vector<SplitRoute> autoRoutes = {
      Route("192.168.10.0", "255.255.255.0", 24),
      Route("203.0.113.77", "255.255.255.255", 32),
      Route("203.0.113.0", "255.255.255.0", 24),
  };
  EXPECT_EQ(reader_.getSplitRoutes(), split) << Describe(reader_.getSplitRoutes());
  EXPECT_EQ(reader_.getAutoRoutes(), autoRoutes) << Describe(reader_.getAutoRoutes());

  std::vector<std::string> expected = {
      Line(3, kPass, "Always ON not present in client config file, assuming true!"),
      Line(6, kPass, "Added virtual IP 10.8.0.7 to routing table ds"),
      Line(6, kPass, "dns server IP 10.8.0.2"),
      Line(3, kPass, "dnsServer not present in client config file"),
      Line(6, kPass, "dns server IP 172.16.5.53"),
      Line(6, kPass, "dns suffix corp.example"),
      Line(3, kPass, "dnsSuffix not present in client config file"),
      Line(6, kPass, "dns suffix lab.example"),
      Line(6, kOverlayTag, "Overlay IP 100.64.3.9"),
      Line(6, kOverlayTag, "Overlay IP Mask 255.255.240.0"),
      Line(6, kExclusionsTag, "Add in exclusions range: 192.168.10.0-192.168.10.255, cidr: 24"),
      Line(6, kExclusionsTag, "Add in exclusions range: 203.0.113.77-, cidr: 32"),
      Line(3, kExclusionsTag, "Invalid CIDR: 33 for exclusions range: 198.51.100.0-198.51.100.255"),
      Line(6, kPolicyTag, "Redirect appx rule found for fapps(intranet), IP 10.20.30.40 cidr 16"),
      Line(6, kPolicyTag, "Redirect appx rule found for fapps(jump-host), IP 198.18.7.7 cidr 32"),
      Line(6, kPolicyTag,
           "Configured port 53 to tunnel the all DNS request, AppRule name: \"all-dns\""),
      Line(7, kFappsTag, "Found CUSTOM_FPD_APP:securedns appid=2001 ipv4=9.9.9.0/24"),
      Line(7, kFappsTag, "Found 1 custom app entries to the FPD table for app: 2001: securedns"),
      Line(6, kPolicyTag,
           "Redirect Policy appx rule found for fapps(securedns): secure-dns, IP 9.9.9.0 cidr 24"),
      Line(6, kPolicyTag, "Route is not installed for appx: flood, dst: 192.0.2.0/24"),
      Line(6, kPolicyTag, "Auto appx rule found for fapps(saas), IP 203.0.113.0 cidr 24"),
      Line(6, kPolicyTag, "Appx rule: everything found for full tunnel: 0.0.0.0/0"),
      Line(6, kPolicyTag, "Redirect appx rule found for fapps(everything), IP 0.0.0.0 cidr 0"),
      Line(6, kPolicyTag,
           "Policy 'corp' considered for routing. total configured rules: 7, added rules: 4"),
      Line(7, kFappsTag, "Found CUSTOM_FPD_APP:video appid=3001 ipv4=151.101"),
      Line(7, kFappsTag, "Found CUSTOM_FPD_APP:video appid=3001 ipv4=151.101.64.0/40"),
      Line(3, "tarnutil::parseCidr", "Invalid subnet mask in CIDR: 151.101.64.0/40"),
      Line(7, kFappsTag, "Found 1 custom app entries to the FPD table for app: 3001: video"),
      Line(6, kPolicyTag,
           "Redirect Policy appx rule found for fapps(video): streaming, IP 151.101.0.0 cidr 16"),
      Line(7, kFappsTag, "Found CUSTOM_FPD_APP:NA appid=3002 ipv4=300.1.1.1"),
      Line(7, kFappsTag, "Found 0 custom app entries to the FPD table for app: 3002: NA"),
      Line(6, kPolicyTag,
           "Route is not installed for internet traffic for appx: streaming, no valid ip found "
           "for app_id: 3002"),
      Line(6, kPolicyTag,
           "Route is not installed for internet traffic for appx: browsing, dst: NA"),
      Line(6, kPolicyTag,
           "Policy 'media' considered for routing. total configured rules: 2, added rules: 0"),
  };
  std::vector<std::string> lines = Lines(log_.text().substr(before.size()));
  EXPECT_EQ(lines, expected);
}

TEST_F(TarnConfigReaderTest, DisabledVirtualInterfaceStopsBeforeOtherFiles) {
  MakeWorkDir({{kClient, R"({"dcfg_client_config": {"disable_vif": false}})"},
               {kOverlay, std::nullopt},
               {kExclusions, std::nullopt},
               {kPolicy, std::nullopt},
               {kFapps, std::nullopt}});
  EXPECT_TRUE(reader_.readVirtualInterfaceInfo());
  EXPECT_FALSE(reader_.isVirtualInterfaceEnabled());
  EXPECT_FALSE(reader_.isAlwaysOn());
  EXPECT_TRUE(reader_.getSplitRoutes().empty());
  EXPECT_EQ(log_.text().find("Unable to open file"), std::string::npos) << log_.text();
}

// Every missing file or key ends the pass with its own line; what was read
// before stays.
TEST_F(TarnConfigReaderTest, MissingFilesAndKeysEndThePass) {
  struct Case {
    const char* file;
    std::optional<std::string> content;
    std::string line;
    size_t splitRoutesKept;
  };
  const std::vector<Case> cases = {
      {kClient, std::nullopt, Line(3, kPass, "Client config parse failed, err=-1"), 0},
      {kClient, "not json", Line(3, kPass, "Client config parse failed, err=-1"), 0},
      {kOverlay, std::nullopt, Line(3, kOverlayTag, "overlay config parse failed, err=-1"), 3},
      {kOverlay, R"({"local": {"overlayNetmask": "255.255.255.0"}})",
       Line(3, kOverlayTag, "Overlay IP not present in overlay config file"), 3},
      {kOverlay, R"({"local": {"overlayIP": "100.64.3.9"}})",
       Line(3, kOverlayTag, "Overlay IP Mask not present in overlay config file"), 3},
      {kExclusions, std::nullopt, Line(3, kExclusionsTag, "exclusions config parse failed, err=-1"),
       4},
      {kExclusions, R"({"virtual_interface_only": true})",
       Line(3, kExclusionsTag, "exclude ip range list not present in exclusions config file"), 4},
      {kPolicy, std::nullopt, Line(3, kPolicyTag, "policy config parse failed, err=-1"), 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + ": " + c.line);
    MakeWorkDir({{c.file, c.content}});
    EXPECT_FALSE(reader_.readVirtualInterfaceInfo());
    EXPECT_TRUE(Logged(c.line)) << log_.text();
    EXPECT_EQ(reader_.getSplitRoutes().size(), c.splitRoutesKept);
  }
  // The overlay's text stays when its mask is missing.
  MakeWorkDir({{kOverlay, R"({"local": {"overlayIP": "100.64.3.9"}})"}});
  EXPECT_FALSE(reader_.readVirtualInterfaceInfo());
  EXPECT_EQ(reader_.getOverlayIP(), "100.64.3.9");
  EXPECT_EQ(reader_.getVirtualIP(), "10.8.0.7");
}

TEST_F(TarnConfigReaderTest, FappsFileProblemsAddNoAppRoutes) {
  for (const auto& [content, line] :
       std::vector<std::pair<std::optional<std::string>, std::string>>{
           {std::nullopt, Line(3, kFappsTag, "fapps config parse failed, err=-1")},
           {R"({"appid": 2001})",
            Line(6, kFappsTag, "fapps JSON is either NULL or not an array cannot process")}}) {
    SCOPED_TRACE(line);
    MakeWorkDir({{kFapps, content}});
    // The policy's own destination rules still make the pass succeed.
    EXPECT_TRUE(reader_.readVirtualInterfaceInfo());
    EXPECT_TRUE(Logged(line)) << log_.text();
    EXPECT_TRUE(Logged(Line(6, kPolicyTag,
                            "Route is not installed for internet traffic for appx: secure-dns, no "
                            "valid ip found for app_id: 2001")));
    EXPECT_EQ(reader_.getSplitRoutes().size(), 7u) << Describe(reader_.getSplitRoutes());
  }
}

TEST_F(TarnConfigReaderTest, AbsentClientKeysUseDefaultsAndTextForms) {
  MakeWorkDir({{kClient, R"({"dcfg_client_config": {"x": 1}})"}});
  EXPECT_TRUE(reader_.readVirtualInterfaceInfo());
  EXPECT_TRUE(reader_.isVirtualInterfaceEnabled());
  EXPECT_TRUE(reader_.isAlwaysOn());
  EXPECT_FALSE(reader_.isEnforceRoute());
  EXPECT_EQ(reader_.getVirtualIP(), "");
  for (const std::string& line : {
           Line(3, kPass,
                "enable Vitrual Interface not present in client config file, assuming true!"),
           Line(3, kPass, "Always ON not present in client config file, assuming true!"),
           Line(6, kPass,
                "virtualIP not present in client config file. This should be configured for "
                "dynamic ip from HUB"),
           Line(3, kPass, "dnsServerIP not present in client config file"),
           Line(6, kPass, "dns suffixes not present in client config file"),
           Line(6, kPass,
                "enforce_route config not present in client config file, enforce_route will not "
                "be done"),
       }) {
    EXPECT_TRUE(Logged(line)) << line;
  }

  MakeWorkDir({{kClient, R"({"dcfg_client_config": {"always_on": false, "enforce_route": false,
      "ipv4_dns_servers": {"dns_server": "10.0.0.1"}, "dns_suffixes": "corp.example"}})"}});
  EXPECT_TRUE(reader_.readVirtualInterfaceInfo());
  EXPECT_FALSE(reader_.isAlwaysOn());
  EXPECT_TRUE(reader_.getDnsServers().empty());
  EXPECT_TRUE(reader_.getDnsSuffixes().empty());
  EXPECT_TRUE(
      Logged(Line(3, kPass, "ipv4_dns_servers is not array type, skipping this configuration")));
  EXPECT_TRUE(
      Logged(Line(3, kPass, "dns_suffixes is not array type, skipping this configuration")));

  // Numbers and booleans keep their written text; arrays and objects read as
  // empty and are skipped.
  MakeWorkDir({{kClient, R"({"dcfg_client_config": {
      "dns_suffixes": [12, true, {"a": 1}, [], "x.example"],
      "ipv4_dns_servers": [{"dns_server": []}]}})"}});
  EXPECT_TRUE(reader_.readVirtualInterfaceInfo());
  EXPECT_EQ(reader_.getDnsSuffixes(), (std::vector<std::string>{"12", "true", "x.example"}));
  EXPECT_TRUE(reader_.getDnsServers().empty());
}

// Addresses and prefixes are checked before they become routes: the text is
// kept where the reader keeps texts, but no route is made from garbage.
TEST_F(TarnConfigReaderTest, BadAddressesAndPrefixesMakeNoRoute) {
  auto policyWith = [](const std::string& dst) {
    return R"({"activated_policies": [{"apc_name": "p", "policy_config_parsed": {
        "pcfg_qos_policies": [{"qos_match": {"cmap_name": "r", "cmap_match_criteria": {
        "mtch_dest_ip": ")" +
           dst + R"("}}, "qos_action": {"pbr_action": {"pbr_next_hop_site": "h",
        "pbr_next_hop": "10.8.0.1"}}}]}}]})";
  };
  auto clientWith = [](const std::string& members) {
    return R"({"dcfg_client_config": {)" + members + "}}";
  };
  struct Case {
    const char* file;
    std::string content;
    std::string line;
  };
  const std::vector<Case> cases = {
      {kPolicy, policyWith("10.1.0.0/40"),
       Line(3, kPolicyTag, "Invalid cidr in policy config appx: r, IP 10.1.0.0 cidr 40")},
      {kPolicy, policyWith("10.1.0.0/-1"),
       Line(3, kPolicyTag, "Invalid cidr in policy config appx: r, IP 10.1.0.0 cidr -1")},
      {kPolicy, policyWith("10.1.0.0/x"),
       Line(3, kPolicyTag, "Invalid cidr in policy config appx: r, IP 10.1.0.0 cidr x")},
      {kPolicy, policyWith("10.1.0.0/"),
       Line(3, kPolicyTag, "Invalid cidr in policy config appx: r, IP 10.1.0.0 cidr ")},
      {kPolicy, policyWith("10.1.0.999/16"),
       Line(3, kPolicyTag, "Invalid splitRoute in policy config appx: r")},
      {kPolicy, policyWith("intranet.example"),
       Line(3, kPolicyTag, "Invalid splitRoute in policy config appx: r")},
      {kPolicy, policyWith(""), Line(3, kPolicyTag, "Invalid splitRoute in policy config appx: r")},
      {kExclusions,
       R"({"excluded_ip_ranges": [{"range_start": "10.0.0.256", "range_end": "10.0.1.0",
           "cidr": "24"}]})",
       Line(3, kExclusionsTag, "Invalid IP: 10.0.0.256 for exclusions range: 10.0.0.256-10.0.1.0")},
      {kExclusions,
       R"({"excluded_ip_ranges": [{"range_start": "10.0.0.0", "range_end": "", "cidr": "-1"}]})",
       Line(3, kExclusionsTag, "Invalid CIDR: -1 for exclusions range: 10.0.0.0-")},
      {kExclusions, R"({"excluded_ip_ranges": [{"range_start": "0.0.0.0", "cidr": "8"}]})",
       Line(3, kAddTag, "Invalid full tunnel configuration: 0.0.0.0/8")},
      {kClient, clientWith(R"("virtual_ip": "10.8.0")"),
       Line(3, kPass, "Invalid IP address 10.8.0, not added to routing table")},
      {kClient, clientWith(R"("ipv4_dns_servers": [{"dns_server": "dns.example"}])"),
       Line(3, kPass, "Invalid IP address dns.example, not added to routing table")},
      {kOverlay, R"({"local": {"overlayIP": "100.64.x.1", "overlayNetmask": "255.255.0.0"}})",
       Line(3, kOverlayTag, "Invalid IP address 100.64.x.1, not added to routing table")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    // Only the file under test differs from a set that adds no routes of its own.
    std::map<std::string, std::optional<std::string>> files = {
        {kClient, clientWith(R"("always_on": true)")},
        {kOverlay, R"({"local": {"overlayIP": "", "overlayNetmask": ""}})"},
        {kExclusions, R"({"excluded_ip_ranges": []})"},
        {kPolicy, policyWith("")},
    };
    files[c.file] = c.content;
    MakeWorkDir(files);
    EXPECT_FALSE(reader_.readVirtualInterfaceInfo());
    EXPECT_TRUE(Logged(c.line)) << log_.text();
    EXPECT_TRUE(reader_.getSplitRoutes().empty()) << Describe(reader_.getSplitRoutes());
    EXPECT_TRUE(reader_.getAutoRoutes().empty()) << Describe(reader_.getAutoRoutes());
  }
  EXPECT_EQ(reader_.getOverlayIP(), "100.64.x.1");
}

TEST_F(TarnConfigReaderTest, OverlayPrefixCountsMaskBits) {
  struct Case {
    const char* mask;
    SplitRoute route;
  };
  for (const Case& c : {
           Case{"255.255.240.0", Route("100.64.0.0", "255.255.240.0", 20)},
           Case{"255.0.255.0", Route("100.64.0.0", "255.255.0.0", 16)},
           Case{"24", Route("0.0.0.0", "128.0.0.0", 1)},
           Case{"0.0.0.0", Route("0.0.0.0", "0.0.0.0", 0)},
       }) {
    SCOPED_TRACE(c.mask);
    MakeWorkDir({{kOverlay, R"({"local": {"overlayIP": "100.64.3.9", "overlayNetmask": ")" +
                                std::string(c.mask) + R"("}})"}});
    ASSERT_TRUE(reader_.readVirtualInterfaceInfo());
    ASSERT_GE(reader_.getSplitRoutes().size(), 4u);
    EXPECT_EQ(reader_.getSplitRoutes()[3], c.route) << Describe(reader_.getSplitRoutes());
  }
}

TEST_F(TarnConfigReaderTest, TunnelActionNeedsSiteAndUsableNextHop) {
  struct Case {
    const char* action;
    bool tunnel;
    bool isAuto;
  };
  for (const Case& c : {
           Case{R"({"pbr_next_hop": "10.8.0.1"})", false, false},
           Case{R"({"pbr_next_hop_site": "auto"})", true, true},
           Case{R"({"pbr_next_hop_site": "Auto", "pbr_next_hop": "10.8.0.1"})", true, false},
           Case{R"({"pbr_next_hop_site": "hub"})", false, false},
           Case{R"({"pbr_next_hop_site": "hub", "pbr_next_hop": ""})", false, false},
           Case{R"({"pbr_next_hop_site": "hub", "pbr_next_hop": "0.0.0.0"})", false, false},
           Case{R"({"pbr_next_hop_site": "hub", "pbr_next_hop": "255.255.255.255"})", false, false},
           Case{R"({"pbr_next_hop_site": "hub", "pbr_next_hop": "10.8.0.1"})", true, false},
       }) {
    SCOPED_TRACE(c.action);
    bool isAuto = false;
    EXPECT_EQ(CTarnConfigReader::isTunnelAction(Json::parse(c.action), &isAuto), c.tunnel);
    EXPECT_EQ(isAuto, c.isAuto);
  }
}

// Single rules that stop at each step with their line and add nothing.
TEST_F(TarnConfigReaderTest, PolicyRulesStopAtTheirStep) {
  const std::string hub = R"("qos_action": {"pbr_action": {"pbr_next_hop_site": "h",
      "pbr_next_hop": "10.8.0.1"}})";
  const std::string autoSite = R"("qos_action": {"pbr_action": {"pbr_next_hop_site": "auto"}})";
  struct Case {
    std::string rule;
    std::string line;
    bool dnsThroughTunnel;
  };
  const std::vector<Case> cases = {
      {R"("qos_match": {"cmap_name": "r", "cmap_match_criteria": {"mtch_dest_ip": "1.2.3.4"}})",
       "qos_action is not in profile for appx: r, dst: 1.2.3.4", false},
      {R"("qos_match": {"cmap_name": "r"}, "qos_action": {"x": 1})",
       "pbr_action is not in profile for appx: r, dst: NA", false},
      {R"("qos_action": {"pbr_action": {"pbr_next_hop_site": "h", "pbr_next_hop": "1.1.1.1"}})",
       "qos_match is not in profile for appx: NA, dst: NA", false},
      {R"("qos_match": {"cmap_name": "r"}, )" + hub,
       "cmap_match_criteria is not in profile for appx: r, dst: NA", false},
      {R"("qos_match": {"cmap_name": "r", "cmap_match_criteria": {"mtch_dest_port": "80"}}, )" +
           hub,
       "Route is not installed for internet traffic for appx: r, 'mtch_dest_ip' is missing", false},
      // Port 53 is the DNS rule only without protocol, application id and "auto".
      {R"("qos_match": {"cmap_name": "r", "cmap_match_criteria": {"mtch_dest_port": 53}}, )" + hub,
       "Configured port 53 to tunnel the all DNS request, AppRule name: \"r\"", true},
      {R"("qos_match": {"cmap_name": "r", "cmap_match_criteria": {"mtch_dest_port": "53",
          "mtch_l4_protocol": 17}}, )" +
           hub,
       "Route is not installed for internet traffic for appx: r, 'mtch_dest_ip' is missing", false},
      {R"("qos_match": {"cmap_name": "r", "cmap_match_criteria": {"mtch_dest_port": "53"}}, )" +
           autoSite,
       "Route is not installed for internet traffic for appx: r, 'mtch_dest_ip' is missing", false},
      {R"("qos_match": {"cmap_name": "r", "cmap_match_criteria": {"mtch_dest_ip": "0.0.0.0/0"}}, )" +
           autoSite,
       "Route is not installed for full tunnel target auto, for appx rule: r, all auto policy "
       "will be ignored",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    MakeWorkDir({{kPolicy, R"({"activated_policies": [{"policy_config_parsed": {
        "pcfg_qos_policies": [{)" +
                               c.rule + R"(}]}}]})"}});
    EXPECT_FALSE(reader_.readVirtualInterfaceInfo());
    EXPECT_TRUE(Logged(Line(6, kPolicyTag, c.line))) << log_.text();
    EXPECT_TRUE(Logged(Line(6, kPolicyTag,
                            "Policy 'NA' considered for routing. total configured rules: 1, added "
                            "rules: 0")));
    EXPECT_EQ(reader_.isDnsThroughTunnel(), c.dnsThroughTunnel);
    EXPECT_FALSE(reader_.isFullTunnel());
    // Only the client and overlay routes and the exclusions remain.
    EXPECT_EQ(reader_.getSplitRoutes().size(), 4u) << Describe(reader_.getSplitRoutes());
    EXPECT_EQ(reader_.getAutoRoutes().size(), 2u) << Describe(reader_.getAutoRoutes());
  }
}

TEST_F(TarnConfigReaderTest, MultiLinkSupport) {
  struct Case {
    std::optional<std::string> client;
    bool result;
    std::string text;
    std::string line;
  };
  const std::vector<Case> cases = {
      {std::nullopt, false, "", Line(3, kMultiLinkTag, "Client config parse failed, err=-1")},
      {R"({"dcfg_client_config": {"x": 1}})", false, "",
       Line(6, kMultiLinkTag, "multilink support config is not available")},
      {R"({"dcfg_client_config": {"multilink_support": ""}})", false, "",
       Line(6, kMultiLinkTag, "multilink support config is not set")},
      {std::string(ReadFile(kFixture + "/" + kClient)), true, "Active_Standby",
       Line(7, kMultiLinkTag, "multilink config support Active_Standby")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    MakeWorkDir({{kClient, c.client}});
    std::string support = "untouched";
    EXPECT_EQ(reader_.readMultiLinkSupportConfig(&support), c.result);
    EXPECT_EQ(support, c.result ? c.text : "untouched");
    EXPECT_TRUE(Logged(c.line)) << log_.text();
  }
}

// Readers on other threads never see a pass half done.
TEST_F(TarnConfigReaderTest, AccessorsSeeWholePasses) {
  SetWorkDirSetting(kFixture);
  ASSERT_TRUE(reader_.readVirtualInterfaceInfo());
  const size_t full = reader_.getSplitRoutes().size();
  cxLogThreshold = CXLOG_CRITICAL;
  std::atomic<bool> done{false};
  std::thread passes([&] {
    for (int i = 0; i < 50; ++i) reader_.readVirtualInterfaceInfo();
    done = true;
  });
  int partial = 0;
  while (!done) {
    if (reader_.getSplitRoutes().size() != full) ++partial;
    std::string support;
    reader_.readMultiLinkSupportConfig(&support);
  }
  passes.join();
  EXPECT_EQ(partial, 0);
}

}  // namespace
