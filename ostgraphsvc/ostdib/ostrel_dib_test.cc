#include "ostgraphsvc/ostdib/ostrel_dib.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/started_log.h"
#include "tests/support/temp_root.h"

namespace {

using testing_support::ReadFile;
using testing_support::StartedLog;

IPAddress ip(const char* text) {
  IPAddress a;
  EXPECT_TRUE(cp_parse_ip_address(text, &a)) << text;
  return a;
}

Json parse(const std::string& text) {
  Json v = Json::parse(String(text.data(), static_cast<int>(text.size())));
  EXPECT_FALSE(v.is_null()) << text;
  return v;
}

std::string str(const String& s) { return std::string(s.data(), s.length()); }

class DibTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dib_reset_endpoint_counter();
    cxLogThreshold = CXLOG_DEBUG;
  }
  std::string new_log() { return log_.fresh(); }

  StartedLog log_{0};
  OstrelDIBManager dibs_;
};

std::vector<std::string> endpoint_texts(const EndPointDescriptor* set) {
  std::vector<std::string> out;
  for (const OstrelURI& u : set->endpoints) {
    out.push_back(str(u.address.to_string()) + ":" + std::to_string(u.port));
  }
  return out;
}

EndPointDescriptor* set_of(OstrelDIB* dib, const char* tag) {
  auto it = dib->endpoint_sets.find(tag);
  return it.live() ? it->value : nullptr;
}

TEST_F(DibTest, HoldsAtMost1999EntriesWithAscendingHandles) {
  for (int i = 0; i < 2000; ++i) {
    std::string addr = "10." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".1";
    dibs_.parse_dib_json(parse("{\"overlayIP\":\"" + addr + "\"}"), false);
  }
  EXPECT_EQ(dibs_.entry_count(), 1999u);
  EXPECT_EQ(dibs_.handle_of(ip("10.0.0.1")), 1u);
  EXPECT_EQ(dibs_.handle_of(ip("10.7.206.1")), 1999u);  // entry 1998
  EXPECT_EQ(dibs_.find(ip("10.7.207.1")), nullptr);     // the 2000th
  EXPECT_NE(new_log().find("Max DIB count 2000 reached; errno=-28"), std::string::npos);
  EXPECT_EQ(dibs_.entry(0), nullptr);
  EXPECT_EQ(dibs_.entry(2001), nullptr);
}

TEST_F(DibTest, RolesAddToSpoke) {
  struct Case {
    const char* roles;  // the "roles" member, or null for none
    uint16_t want;
    bool spoke_only;
  } cases[] = {
      {nullptr, OSTREL_SPOKE, true},
      {"[{\"type\":\"DC\"}]", OSTREL_DC | OSTREL_SPOKE, false},
      {"[{\"type\":\"DC\",\"segment\":1}]", OSTREL_SPOKE, true},
      {"[{\"type\":\"SPOKE\",\"dc_edge\":true}]", OSTREL_DC | OSTREL_SPOKE, false},
      {"[{\"type\":\"WAYPOINT\"},{\"type\":\"x\",\"dim_reflector\":true}]",
       OSTREL_WAYPOINT | OSTREL_SPOKE | OSTREL_DIM_REFLECTOR, false},
      {"[{\"type\":\"CONTROLLER\",\"segment\":\"0\"}]", OSTREL_CONTROLLER | OSTREL_SPOKE, false},
      {"[{\"type\":\"dc\",\"dc_edge\":false}]", OSTREL_SPOKE, true},
      {"{\"type\":\"DC\"}", OSTREL_SPOKE, true},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string addr = "10.0.0." + std::to_string(++n);
    std::string text = "{\"overlayIP\":\"" + addr + "\"";
    if (c.roles != nullptr) text += std::string(",\"roles\":") + c.roles;
    dibs_.parse_dib_json(parse(text + "}"), true);
    OstrelDIB* dib = dibs_.find(ip(addr.c_str()));
    ASSERT_NE(dib, nullptr);
    EXPECT_EQ(dib->roles, c.want) << text;
    EXPECT_EQ(dib->spoke_only, c.spoke_only) << text;
  }
  std::string log = new_log();
  EXPECT_NE(log.find("roles field is missing, default role OSTREL_SPOKE added"), std::string::npos);
  EXPECT_NE(log.find("OstDIB: DIB roles are SPOKE|WAYPOINT|DIM_REFLECTOR|"), std::string::npos);
  EXPECT_NE(log.find("OstDIB: DIB roles are SPOKE|CONTROLLER"), std::string::npos);
}

TEST_F(DibTest, WanTagsGroupIntoPrivateInternetAndPublic) {
  const char* tags =
      "\"wanTags\":{\"private\":{\"ipv4\":[\"172.16.0.1\"]},\"isp1\":{\"ipv4\":[\"192.0.2.1\"]},"
      "\"isp2\":{\"ipv4\":[\"198.51.100.1\"]}}";
  dibs_.parse_dib_json(parse(std::string("{\"overlayIP\":\"10.0.0.1\",") + tags + "}"), false);
  dibs_.parse_dib_json(
      parse(std::string("{\"overlayIP\":\"10.0.0.2\",\"roles\":[{\"type\":\"CONTROLLER\"}],") +
            tags + "}"),
      false);

  OstrelDIB* spoke = dibs_.find(ip("10.0.0.1"));
  ASSERT_NE(spoke, nullptr);
  EXPECT_EQ(spoke->endpoint_sets.size(), 2u);
  EXPECT_EQ(endpoint_texts(set_of(spoke, "private")), std::vector<std::string>{"172.16.0.1:4500"});
  EXPECT_EQ(endpoint_texts(set_of(spoke, "internet")),
            (std::vector<std::string>{"198.51.100.1:4500", "192.0.2.1:4500"}));
  EXPECT_EQ(set_of(spoke, "internet")->state, 0);
  EXPECT_EQ(str(set_of(spoke, "internet")->name), "internet");

  OstrelDIB* controller = dibs_.find(ip("10.0.0.2"));
  ASSERT_NE(controller, nullptr);
  EXPECT_EQ(controller->endpoint_sets.size(), 3u);
  EXPECT_EQ(endpoint_texts(set_of(controller, "public")),
            (std::vector<std::string>{"198.51.100.1:4500", "192.0.2.1:4500", "172.16.0.1:4500"}));
}

TEST_F(DibTest, EndpointsTakeTheCounterAndGoNewestFirst) {
  dibs_.parse_dib_json(parse("{\"overlayIP\":\"10.0.0.1\",\"wanTags\":{\"isp\":{\"ipv4\":["
                             "\"10.1.1.1:443\",\"10.1.1.2\"]}}}"),
                       true);
  EndPointDescriptor* set = set_of(dibs_.find(ip("10.0.0.1")), "internet");
  ASSERT_NE(set, nullptr);
  ASSERT_EQ(set->endpoints.size(), 2);
  const OstrelURI& newest = set->endpoints[0];
  EXPECT_EQ(str(newest.address.to_string()), "10.1.1.2");
  EXPECT_EQ(newest.port, 4500);
  EXPECT_EQ(newest.l3_index, 101);
  EXPECT_EQ(newest.l2_index, 101);
  const OstrelURI& oldest = set->endpoints[1];
  EXPECT_EQ(str(oldest.address.to_string()), "10.1.1.1");
  EXPECT_EQ(oldest.port, 443);
  EXPECT_EQ(oldest.l3_index, 100);
  EXPECT_EQ(dib_endpoint_counter(), 102u);
  std::string log = new_log();
  EXPECT_NE(log.find("OstDIB: adding 10.1.1.1:443 l2idx=100 l3idx=100 as routable address"),
            std::string::npos);
  EXPECT_NE(log.find("OstDIB: routable address present, setting flag"), std::string::npos);
  EXPECT_TRUE(dibs_.find(ip("10.0.0.1"))->routable_addr_present);

  // A later call for the same tag puts its endpoints in front, repeats kept.
  dibs_.parse_dib_json(parse("{\"overlayIP\":\"10.0.0.1\",\"wanTags\":{\"isp\":{\"ipv4\":["
                             "\"10.1.1.2\",\"10.1.1.3\"]}}}"),
                       true);
  EXPECT_EQ(endpoint_texts(set), (std::vector<std::string>{"10.1.1.3:4500", "10.1.1.2:4500",
                                                           "10.1.1.2:4500", "10.1.1.1:443"}));
}

TEST_F(DibTest, EndpointIndicesPastOneByteSplitTheCounter) {
  OstrelDIB dib;
  for (int i = 0; i < 156; ++i) dib.map_ipv4_to_wan_tag(parse("{\"ipv4\":[\"1.1.1.1\"]}"), "x");
  dib.map_ipv4_to_wan_tag(parse("{\"ipv4\":[\"1.1.1.2\"]}"), "x");  // counter 256
  const OstrelURI& u = set_of(&dib, "x")->endpoints[0];
  EXPECT_EQ(u.l3_index, 0);
  EXPECT_EQ(u.l2_index, 1);
}

TEST_F(DibTest, EndpointTextForms) {
  struct Case {
    const char* text;
    const char* address;
    uint16_t port;
    const char* log;  // the range line, or null for none
  } cases[] = {
      {"1.2.3.4", "1.2.3.4", 4500, nullptr},
      {"1.2.3.4:443", "1.2.3.4", 443, nullptr},
      {"1.2.3.4:65534", "1.2.3.4", 65534, nullptr},
      {"1.2.3.4:65535", "1.2.3.4", 4500, "port (65535) out of range in uri 65535, ignored"},
      {"1.2.3.4:0", "1.2.3.4", 4500, "port (0) out of range in uri 0, ignored"},
      {"1.2.3.4:", "1.2.3.4", 4500, "port (0) out of range in uri , ignored"},
      {"1.2.3.4:80abc", "1.2.3.4", 80, nullptr},
      {"1.2.3.4:99999999999999999999999", "1.2.3.4", 4500,
       "port (2147483647) out of range in uri 99999999999999999999999, ignored"},
      {":443", "0.0.0.0", 443, nullptr},
      {"host:443", "0.0.0.0", 443, nullptr},
      {"::1:22", "0.0.0.0", 22, nullptr},
      {"1.2.3.4:\x01", "1.2.3.4", 4500, "port (0) out of range in uri ^A, ignored"},
  };
  for (const Case& c : cases) {
    new_log();
    OstrelURI uri{String(c.text)};
    EXPECT_EQ(str(uri.address.to_string()), c.address) << c.text;
    EXPECT_EQ(uri.port, c.port) << c.text;
    std::string log = new_log();
    if (c.log != nullptr) {
      EXPECT_NE(log.find(c.log), std::string::npos) << c.text << "\n" << log;
    } else {
      EXPECT_EQ(log.find("out of range"), std::string::npos) << c.text;
    }
  }
}

TEST_F(DibTest, RemoteRepeatOfLocalAddressRefreshesOnlyListsAndEndpoints) {
  dibs_.parse_dib_json(parse(R"({"overlayIP":"10.0.0.1","roles":[{"type":"DC"}],
      "auth":{"psk":"first"},"groupname":"g","groupid":"gid",
      "nexthop":[{"ipv4":"10.0.0.9","cost":3}],"routeableOverlays":[{"ipv4":"10.5.0.0"}],
      "wanTags":{"private":{"ipv4":["172.16.0.1"]}},
      "dcfg_tags":[{"osttag_name":"t","osttag_values":[{"osttag_value":"v"}]}]})"),
                       true);
  dibs_.parse_dib_json(parse(R"({"overlayIP":"10.0.0.1","roles":[{"type":"CONTROLLER"}],
      "auth":{"psk":"second"},"groupname":"h","groupid":"hid","wanIP":"192.0.2.1",
      "nexthop":[{"ipv4":"10.0.0.7","cost":"8","mode":2,"port":"9"}],
      "wanTags":{"isp":{"ipv4":["192.0.2.1"]}}})"),
                       false);
  EXPECT_EQ(dibs_.entry_count(), 1u);
  OstrelDIB* dib = dibs_.find(ip("10.0.0.1"));
  ASSERT_NE(dib, nullptr);
  EXPECT_TRUE(dib->local);
  EXPECT_EQ(dib->roles, OSTREL_DC | OSTREL_SPOKE);
  EXPECT_EQ(str(dib->psk), "first");
  EXPECT_EQ(str(dib->group_name), "g");
  EXPECT_EQ(str(dib->group_id), "gid");
  EXPECT_TRUE(dib->wan_address.empty());
  ASSERT_EQ(dib->next_hops.size(), 1);
  EXPECT_EQ(str(dib->next_hops[0]->next_hop.to_string()), "10.0.0.7");
  EXPECT_EQ(dib->next_hops[0]->cost, 8u);
  EXPECT_EQ(dib->next_hops[0]->mode, 2);
  EXPECT_EQ(dib->next_hops[0]->port, 0);  // not an integer
  EXPECT_TRUE(dib->routeable_overlays.empty());
  EXPECT_EQ(dib->endpoint_sets.size(), 2u);  // "private" kept, "internet" added
  EXPECT_EQ(dib->device_tags.size(), 1u);    // a remote call leaves device tags alone
  EXPECT_EQ(dib->endpoint_sets.find("public").live(), false);
}

TEST_F(DibTest, RemoteEntriesReadTheirWanAddress) {
  dibs_.parse_dib_json(parse(R"({"overlayIP":"10.0.0.2","wanIP":"192.0.2.5"})"), false);
  dibs_.parse_dib_json(parse(R"({"overlayIP":"10.0.0.3","wanIP":"192.0.2"})"), false);
  dibs_.parse_dib_json(parse(R"({"overlayIP":"10.0.0.4","groupname":"only-name"})"), false);
  EXPECT_EQ(str(dibs_.find(ip("10.0.0.2"))->wan_address.to_string()), "192.0.2.5");
  EXPECT_TRUE(dibs_.find(ip("10.0.0.3"))->wan_address.empty());
  EXPECT_TRUE(dibs_.find(ip("10.0.0.4"))->group_name.empty());
  std::string log = new_log();
  EXPECT_NE(log.find("Wan IP is 192.0.2.5"), std::string::npos);
  EXPECT_NE(log.find("wan IP field is missing"), std::string::npos);
}

TEST_F(DibTest, OverlayAddressForms) {
  struct Case {
    const char* text;
    const char* address;
  } cases[] = {
      {"10.1.2.3", "10.1.2.3"}, {"10.1.2.3/16", "10.1.2.3"}, {"10.1.2.3/255.255.0.0", "10.1.2.3"},
      {"10.1.2.3/", "0.0.0.0"}, {"/10.1.2.3", "0.0.0.0"},    {"10.1.2.3/33", "0.0.0.0"},
      {"10.1.2", "0.0.0.0"},
  };
  for (const Case& c : cases) {
    OstrelDIBManager dibs;
    dibs.parse_dib_json(parse(std::string("{\"overlayIP\":\"") + c.text + "\"}"), false);
    auto it = dibs.address_table().begin();
    ASSERT_TRUE(it.live()) << c.text;
    EXPECT_EQ(str(it->key.to_string()), c.address) << c.text;
  }
}

TEST_F(DibTest, LongKeyIsCutAndNeverLogged) {
  std::string key = "K3y-";
  while (key.size() < 200) key += "secret-material-";
  key.resize(200);
  dibs_.parse_dib_json(parse("{\"overlayIP\":\"10.0.0.1\",\"auth\":{\"psk\":\"" + key + "\"}}"),
                       true);
  OstrelDIB* dib = dibs_.find(ip("10.0.0.1"));
  EXPECT_EQ(str(dib->psk), key.substr(0, 126));
  StringBuilder sb;
  dibs_.print_dibs(sb);
  std::string dump(sb.data(), sb.length());
  EXPECT_NE(dump.find("PSK: " + key.substr(0, 15) + "\n"), std::string::npos);
  Json json;
  dibs_.print_dibs_json(json);
  EXPECT_EQ(str(json.get("0").get("PSK").text()), key.substr(0, 15));
  std::string log = new_log();
  EXPECT_NE(log.find("PSK parsed from JSON: 126 characters"), std::string::npos);
  EXPECT_EQ(log.find("K3y-"), std::string::npos);
}

TEST_F(DibTest, DeviceTags) {
  auto local = [&](const char* tags) {
    std::string text = "{\"overlayIP\":\"10.0.0.1\"";
    if (tags != nullptr) text += std::string(",\"dcfg_tags\":") + tags;
    dibs_.parse_dib_json(parse(text + "}"), true);
    return dibs_.find(ip("10.0.0.1"));
  };
  auto values = [](OstrelDIB* dib, const char* name) {
    std::vector<std::string> out;
    auto it = dib->device_tags.find(name);
    if (!it.live()) return out;
    for (const String& v : it->value) out.push_back(str(v));
    return out;
  };
  OstrelDIB* dib = local(R"([{"osttag_name":"a","osttag_values":[{"osttag_value":"1"},
      {"osttag_value":""},{"osttag_value":"2"}]},{"osttag_name":"b","osttag_values":[
      {"osttag_value":"x"}]}])");
  EXPECT_EQ(values(dib, "a"), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(values(dib, "b"), std::vector<std::string>{"x"});

  local(R"([{"osttag_name":"a","osttag_values":[]},{"osttag_name":"b"},{"osttag_values":[]}])");
  EXPECT_EQ(values(dib, "a"), (std::vector<std::string>{"1", "2"}));
  EXPECT_FALSE(dib->device_tags.find("b").live());
  std::string log = new_log();
  EXPECT_NE(log.find("no tag  values, clearing existing tag values"), std::string::npos);
  EXPECT_NE(log.find("WARN: unable to find osttag_name or its values, skipping"),
            std::string::npos);

  local(R"([{"osttag_name":"a","osttag_values":[{"osttag_value":"3"}]}])");
  EXPECT_EQ(values(dib, "a"), std::vector<std::string>{"3"});

  local(nullptr);
  EXPECT_TRUE(dib->device_tags.empty());
  log = new_log();
  EXPECT_NE(log.find("DEBUG: No dcfg_tags configured"), std::string::npos);
  EXPECT_NE(log.find("DEBUG: clear Existing tag values"), std::string::npos);
}

TEST_F(DibTest, Summary) {
  dibs_.parse_dib_json(parse(R"({"overlayIP":"10.0.0.1","roles":[{"type":"WAYPOINT"}],
      "groupname":"n","groupid":"g7","wanTags":{"private":{"ipv4":["1.1.1.1"]}}})"),
                       true);
  dibs_.counters[1] = 5;
  OstrelDIBSummary s;
  ASSERT_EQ(dibs_.get_dib_summary(ip("10.0.0.1"), &s), 0);
  EXPECT_EQ(str(s.overlay_address.to_string()), "10.0.0.1");
  EXPECT_EQ(s.port, 4500u);
  EXPECT_EQ(s.roles, OSTREL_WAYPOINT | OSTREL_SPOKE);
  EXPECT_TRUE(s.local);
  EXPECT_TRUE(s.routable_addr_present);
  EXPECT_EQ(s.counters[1], 5u);
  EXPECT_FALSE(s.updated);
  EXPECT_EQ(str(s.group_id), "g7");
  EXPECT_EQ(dibs_.get_dib_summary(ip("10.0.0.2"), &s), -2);
}

TEST_F(DibTest, DumpsOfTwoEntries) {
  Json conf;
  ASSERT_EQ(Json::file_parse(DOVADOD_TEST_DATA "/dib/two_entries.json", conf), 0);
  dibs_.parse_dib_json(conf.get("local"), true);
  const Json& remote = conf.get("remote");
  for (int i = 0; i < remote.size(); ++i) {
    dibs_.parse_dib_json(remote.get(String(i)), false);
  }
  StringBuilder sb;
  dibs_.print_dibs(sb);
  EXPECT_EQ(std::string(sb.data(), sb.length()),
            "===========================================\n"
            "OverlayIP: 10.20.0.1\n"
            "NHList: \n"
            "RouteableOverlays: \n"
            "\n"
            "PSK: hub-key\n"
            "Role: DC, SPOKE, \n"
            "internet: 192.0.2.9:4500 (L2: 103,L3: 103,OVLAYTAG: ),192.0.2.1:443 (L2: 102,L3: "
            "102,OVLAYTAG: ),\n"
            "\n"
            "Ost Tags [0]\n"
            "\n"
            "===========================================\n"
            "OverlayIP: 10.10.0.1\n"
            "NHList: 10.20.0.1(10),10.20.0.2(20),\n"
            "RouteableOverlays: \n"
            "[10.30.0.0 (5), ]  \n"
            "\n"
            "PSK: local-preshared\n"
            "Role: SPOKE, \n"
            "private: 172.16.0.5:4500 (L2: 100,L3: 100,OVLAYTAG: ),\n"
            "internet: 198.51.100.7:8443 (L2: 101,L3: 101,OVLAYTAG: ),\n"
            "\n"
            "Ost Tags [1]\n"
            "Ost Tag: region - eu, west\n"
            "\n"
            "===========================================\n");

  Json json;
  dibs_.print_dibs_json(json);
  EXPECT_EQ(str(json.to_text()),
            "[{\"OverlayIP\":\"10.20.0.1\",\"NHList\":\"\",\"RouteableOverlays\":\"\","
            "\"PSK\":\"hub-key\",\"Role\":\"DC, SPOKE, \",\"wantag\":\"internet: "
            "192.0.2.9:4500 (L2: 103,L3: 103,OVLAYTAG: ),192.0.2.1:443 (L2: 102,L3: "
            "102,OVLAYTAG: ),\",\"ost_tag\":\"\"},"
            "{\"OverlayIP\":\"10.10.0.1\",\"NHList\":\"10.20.0.1(10),10.20.0.2(20),\","
            "\"RouteableOverlays\":\"[10.30.0.0 (5), ]  \",\"PSK\":\"local-preshared\","
            "\"Role\":\"SPOKE, \",\"wantag\":\"private: 172.16.0.5:4500 (L2: 100,L3: "
            "100,OVLAYTAG: ),internet: 198.51.100.7:8443 (L2: 101,L3: 101,OVLAYTAG: ),\","
            "\"ost_tag\":\"Ost Tag: region - eu, west\"}]");

  std::string log = new_log();
  EXPECT_EQ(log.find("local-preshared"), std::string::npos);
  EXPECT_EQ(log.find("hub-key"), std::string::npos);
  EXPECT_NE(log.find("Adding DIB: 10.10.0.1/16"), std::string::npos);
}

}  // namespace
