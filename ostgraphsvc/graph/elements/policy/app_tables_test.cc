#include "ostgraphsvc/graph/elements/policy/app_tables.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "graph/ipaddress.h"
#include "tests/support/started_log.h"

namespace {

using testing_support::StartedLog;
using testing_support::WriteFile;

uint32_t ip(const char* text) {
  IPAddress a;
  EXPECT_TRUE(cp_parse_ip_address(text, &a)) << text;
  return a.addr();
}

bool contains(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

class AppTablesTest : public ::testing::Test {
 protected:
  AppTablesTest() : log_(CXLOG_FMT_LEVEL_NUMBER), dir_(log_.root().file("work") + "/") {
    tables_.set_category_file(path("category_id.json"));
    tables_.set_app_files(path("fapps.json"), path("fpdapps.json"), path("fpddb.json"),
                          path("hostapps.json"));
    WriteFile(dir_ + "category_id.json",
              R"([{"Id": 7, "CategoryName": "Email"}, {"Id": 8, "CategoryName": "Mail"},
                  {"Id": 9, "CategoryName": "Email"}, {"Id": 11, "CategoryName": "Streaming"}])");
  }

  String path(const char* name) const { return String((dir_ + name).c_str()); }
  void write(const char* name, const std::string& text) { WriteFile(dir_ + name, text); }

  // The policy element's first configure.
  void configure() {
    ASSERT_EQ(tables_.create_tables(), 0);
    tables_.create_category_id_mapping();
    tables_.initialize_fcapp_config(false);
    tables_.initialize_hostapp_config();
  }
  void reconfigure() {
    tables_.initialize_fcapp_config(true);
    tables_.initialize_hostapp_config();
  }

  const fpd_entry* find(const FpdPrefixTable* table, const char* address) {
    return table->find(ip(address));
  }
  int host(std::initializer_list<const char*> parts) {
    std::vector<HostLabel> labels;
    for (const char* p : parts) labels.push_back(HostLabel{p, static_cast<int>(strlen(p))});
    const hostapp_entry* e =
        hostapp_trie_lookup(tables_.hostapp_trie(), labels.data(), static_cast<int>(labels.size()));
    return e == nullptr ? -1 : e->app_id;
  }

  StartedLog log_;
  std::string dir_;
  PolicyAppTables tables_;
};

TEST_F(AppTablesTest, CustomAppsLoadIntoTheTableOfTheirProtocol) {
  write("fapps.json", R"([
    {"protocol": "udp", "ipv4": "", "port": "53", "app": "dns", "category": "Mail", "appid": -5},
    {"protocol": "tcp", "ipv4": "10.1.2.3/24", "port": "1000-2000", "app": "a1", "category": "x", "appid": -6},
    {"protocol": "tcp", "ipv4": "10.1.2.0/24", "port": "443", "app": "a2", "category": "Email", "appid": 12},
    {"protocol": "Tcp", "ipv4": "192.0.2.1", "port": "x", "app": "a3", "appid": -7}
  ])");
  configure();
  const std::string text = log_.text();

  const fpd_entry* dns = find(tables_.udp_table(), "8.8.8.8");
  ASSERT_NE(dns, nullptr);
  EXPECT_EQ(dns->mask, 0u);
  ASSERT_EQ(dns->port_items.size(), 1);
  EXPECT_EQ(dns->port_items[0].low_port, 53);
  EXPECT_EQ(dns->port_items[0].high_port, 53);
  EXPECT_EQ(dns->category_id, 7);  // "Mail" is looked up as "Email"
  EXPECT_TRUE(contains(text, "Loading CUSTOM_FPD_APP:dns appid=-5 catid=7(Email) ipv4= ports=53"))
      << text;

  const fpd_entry* net = find(tables_.tcp_table(), "10.1.2.200");
  ASSERT_NE(net, nullptr);
  EXPECT_EQ(net->address, ip("10.1.2.0"));
  EXPECT_EQ(net->app_id, -6);
  ASSERT_EQ(net->port_items.size(), 2);  // both apps of the prefix, each with its own id
  EXPECT_EQ(net->port_items[0].low_port, 1000);
  EXPECT_EQ(net->port_items[0].high_port, 2000);
  EXPECT_EQ(net->port_items[1].app_id, 12);
  EXPECT_EQ(net->port_items[1].category_id, 7);
  EXPECT_TRUE(contains(text,
                       "FPD: Incorrect mask 10.1.2.3/24. FIXING:10.1.2.3 with "
                       "subnet:10.1.2.0 mask:255.255.255.0"))
      << text;

  const fpd_entry* any = find(tables_.any_table(), "192.0.2.1");
  ASSERT_NE(any, nullptr);
  EXPECT_EQ(any->protocol, -1);
  EXPECT_EQ(any->port_items[0].low_port, 0xFFFF);
  EXPECT_TRUE(contains(text, "invalid number")) << text;
  EXPECT_TRUE(contains(text, "Added 4 custom app entries to the FPD table")) << text;

  EXPECT_EQ(tables_.get_custom_app_name(-5), "dns");
  EXPECT_EQ(tables_.get_custom_app_name(12), "");  // only negative ids name custom apps
}

TEST_F(AppTablesTest, PortTexts) {
  const struct {
    const char* text;
    int low;
    int high;
    const char* message;
  } cases[] = {
      {"1000-2000", 1000, 2000, nullptr},
      {"53", 53, 53, nullptr},
      {"0", 0xFFFF, 0xFFFF, nullptr},
      {"", 0xFFFF, 0xFFFF, nullptr},
      {"80-", 80, 80, nullptr},
      {"-80", 0xFFFF, 80, "invalid number"},
      {"x", 0xFFFF, 0xFFFF, "invalid number"},
      {"70000", 0xFFFF, 0xFFFF, "overflow, range 0-65535"},
      {"99999999999", 0xFFFF, 0xFFFF, "out of range, bound 4294967295"},
      {"5-6-7", 5, 6, nullptr},
  };
  std::string apps = "[";
  for (size_t i = 0; i < std::size(cases); ++i) {
    if (i > 0) apps += ",";
    apps += R"({"protocol": "tcp", "ipv4": "10.0.)" + std::to_string(i) + R"(.0/24", "port": ")" +
            cases[i].text + R"(", "app": "p", "appid": 1})";
  }
  write("fapps.json", apps + "]");
  configure();
  const std::string text = log_.text();
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].text);
    const std::string address = "10.0." + std::to_string(i) + ".1";
    const fpd_entry* e = find(tables_.tcp_table(), address.c_str());
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->port_items[0].low_port, cases[i].low);
    EXPECT_EQ(e->port_items[0].high_port, cases[i].high);
    if (cases[i].message != nullptr) {
      EXPECT_TRUE(contains(text, cases[i].message)) << text;
    }
  }
}

TEST_F(AppTablesTest, PredefinedAppsGiveOneEntryPerAddress) {
  write("fpdapps.json", R"([
    {"fpd_app": "web", "fpd_protocol": "tcp", "fpd_category": "Streaming", "fpd_app_id": 400,
     "fpd_ports": ["80", "443"], "fpd_ips_v4": ["10.1.2.3/24", "198.51.100.0/24"]},
    {"fpd_app": "low", "fpd_protocol": "Tcp", "fpd_app_id": 399, "fpd_ips_v4": ["203.0.113.9"]},
    {"fpd_app": "bad", "fpd_protocol": "udp", "fpd_app_id": 401,
     "fpd_ips_v4": ["10.9.0.0/255.0.255.0"]}
  ])");
  write("fpddb.json", R"([{"fpd_app": "db", "fpd_protocol": "udp", "fpd_app_id": 500,
                           "fpd_ports": ["5000-5010"], "fpd_ips_v4": ["100.64.0.0/10"]}])");
  configure();
  const std::string text = log_.text();

  const fpd_entry* web = find(tables_.tcp_table(), "10.1.2.77");
  ASSERT_NE(web, nullptr);
  EXPECT_EQ(web->address, ip("10.1.2.0"));  // masked here too
  EXPECT_EQ(web->category_id, 11);
  ASSERT_EQ(web->port_items.size(), 2);
  EXPECT_EQ(web->port_items[1].low_port, 443);
  EXPECT_NE(find(tables_.tcp_table(), "198.51.100.5"), nullptr);

  const fpd_entry* low = find(tables_.any_table(), "203.0.113.9");
  ASSERT_NE(low, nullptr);
  EXPECT_EQ(low->protocol, -1);
  EXPECT_EQ(low->port_items.size(), 0);  // no "fpd_ports": no port matches

  EXPECT_EQ(find(tables_.udp_table(), "10.9.0.1"), nullptr);
  EXPECT_TRUE(contains(text, "FPD: non-contiguous mask 255.0.255.0 for 10.9.0.0, entry skipped"));
  EXPECT_NE(find(tables_.udp_table(), "100.100.1.1"), nullptr);

  EXPECT_EQ(tables_.get_custom_app_name(400), "web");
  EXPECT_EQ(tables_.get_custom_app_name(399), "");
  EXPECT_EQ(tables_.get_custom_app_name(500), "db");
  EXPECT_TRUE(contains(text, "Loading PREDEFINED_FPD_APP:web appid=400 catid=11")) << text;
  EXPECT_TRUE(contains(text, "Added 4 entries for 3 apps to the FPD table")) << text;
  EXPECT_TRUE(contains(text, "Added 1 entries for 1 apps to the FPD table")) << text;
}

TEST_F(AppTablesTest, HostAppsBuildTheTrie) {
  write("hostapps.json", R"([
    {"app_name": "mail", "category": "Mail", "appid": -20,
     "host_attrs": {"hna_host_parts": ["com", "example", "www"]}},
    {"app_name": "all", "category": "Email", "appid": -21,
     "host_attrs": {"hna_host_parts": ["org", "example", "*"]}},
    {"app_name": "noattrs", "appid": -22},
    {"app_name": "noparts", "appid": 5, "host_attrs": {"x": 1}},
    {"app_name": "wwwonly", "appid": 6, "host_attrs": {"hna_host_parts": ["www"]}}
  ])");
  configure();
  const std::string text = log_.text();
  EXPECT_EQ(host({"com", "example"}), -20);
  EXPECT_EQ(host({"com", "example", "www"}), -1);
  EXPECT_EQ(host({"org", "example"}), -21);
  EXPECT_EQ(host({"org", "example", "a", "b"}), -21);
  EXPECT_TRUE(contains(text,
                       "Loading CUSTOM_FPD_HOSTAPP:mail appid=-20 catid=8 "
                       "domain_parts=com,example"))
      << text;  // "Mail" without translation
  EXPECT_TRUE(contains(text, "OstPolicy: custom app hostname attrs not present"));
  EXPECT_TRUE(contains(text, "OstPolicy: custom app hostname parts not present"));
  EXPECT_EQ(tables_.get_custom_app_name(-22), "noattrs");
  EXPECT_EQ(tables_.get_custom_app_name(5), "");
  EXPECT_EQ(tables_.hostapp_generation(), 1);
}

TEST_F(AppTablesTest, CategoryFileIsReadOncePerObject) {
  configure();
  EXPECT_EQ(tables_.category_id("Email"), 7);  // a repeated name keeps its first id
  EXPECT_EQ(tables_.category_id("Unknown"), 0);
  write("category_id.json", R"({"a": {"Id": 3, "CategoryName": "Chat"}})");
  tables_.create_category_id_mapping();
  EXPECT_EQ(tables_.category_id("Chat"), 0);

  PolicyAppTables other;  // a second element reads it again: the flag is the object's
  other.set_category_file(path("category_id.json"));
  EXPECT_EQ(other.create_category_id_mapping(), 0);
  EXPECT_EQ(other.category_id("Chat"), 3);

  PolicyAppTables broken;
  broken.set_category_file(path("missing.json"));
  EXPECT_EQ(broken.create_category_id_mapping(), -1);
  EXPECT_TRUE(contains(log_.text(), "Category id name map - JSON parse failed"));
}

TEST_F(AppTablesTest, ReloadFollowsTheTextOfFappsAlone) {
  write("fapps.json", R"([{"protocol": "tcp", "ipv4": "10.0.0.0/8", "app": "c", "appid": -1}])");
  write("fpddb.json", R"([{"fpd_app": "p", "fpd_app_id": 450, "fpd_ips_v4": ["11.0.0.0/8"]}])");
  write("hostapps.json", R"([{"app_name": "h", "appid": -2,
                             "host_attrs": {"hna_host_parts": ["com", "h"]}}])");
  configure();
  EXPECT_EQ(tables_.get_custom_app_name(-2), "h");
  log_.fresh();

  // Unchanged files: nothing is rebuilt.
  reconfigure();
  std::string text = log_.fresh();
  EXPECT_TRUE(contains(text, "No change in first packet app: " + dir_ + "fapps.json")) << text;
  EXPECT_TRUE(contains(text, "OstPolicy: No change in First packet app list - skipping"));
  EXPECT_TRUE(contains(text, "OstPolicy: No hostapp config change - skipping"));
  EXPECT_EQ(tables_.hostapp_generation(), 1);

  // "fpddb.json" alone changing is not noticed.
  write("fpddb.json", R"([{"fpd_app": "q", "fpd_app_id": 451, "fpd_ips_v4": ["12.0.0.0/8"]}])");
  reconfigure();
  EXPECT_EQ(find(tables_.any_table(), "12.0.0.1"), nullptr);
  EXPECT_NE(find(tables_.any_table(), "11.0.0.1"), nullptr);

  // A changed "fapps.json" (white space is a change) reloads all three and
  // every name, also those the host-app file gave.
  write("fapps.json", R"([{"protocol": "tcp", "ipv4": "10.0.0.0/8", "app": "c", "appid": -1} ])");
  reconfigure();
  text = log_.fresh();
  EXPECT_TRUE(
      contains(text, "Change in first packet list: " + dir_ + "fapps.json - Build FPD table"))
      << text;
  EXPECT_NE(find(tables_.any_table(), "12.0.0.1"), nullptr);
  EXPECT_EQ(find(tables_.any_table(), "11.0.0.1"), nullptr);
  EXPECT_EQ(tables_.get_custom_app_name(-2), "");
  EXPECT_EQ(tables_.get_custom_app_name(450), "");
  EXPECT_EQ(tables_.get_custom_app_name(451), "q");
  EXPECT_EQ(tables_.get_custom_app_name(-1), "c");
  EXPECT_EQ(tables_.custom_app_name_count(), 2);

  // A missing "hostapps.json" counts as a change and empties the trie.
  ASSERT_EQ(::unlink((dir_ + "hostapps.json").c_str()), 0);
  reconfigure();
  text = log_.fresh();
  EXPECT_TRUE(contains(text, "Unable to open file " + dir_ + "hostapps.json")) << text;
  EXPECT_EQ(host({"com", "h"}), -1);
  EXPECT_NE(tables_.hostapp_trie(), nullptr);
  EXPECT_EQ(tables_.hostapp_generation(), 1);
}

TEST_F(AppTablesTest, OversizedTextsSkipTheirElementOnly) {
  const std::string huge(1 << 20, 'n');
  write("fapps.json", R"([{"protocol": "tcp", "ipv4": "10.0.0.0/8", "app": ")" + huge +
                          R"(", "appid": -1},
                         {"protocol": "tcp", "ipv4": "11.0.0.0/8", "app": "next", "appid": -2}])");
  const std::string label(64, 'l');
  std::string many = "[";
  for (int i = 0; i < 128; ++i) many += std::string(i > 0 ? "," : "") + "\"a\"";
  write("hostapps.json", R"([{"app_name": "long", "appid": -3,
                             "host_attrs": {"hna_host_parts": ["com", ")" +
                             label + R"("]}},
                            {"app_name": "many", "appid": -4,
                             "host_attrs": {"hna_host_parts": )" +
                             many + R"(]}},
                            {"app_name": "ok", "appid": -5,
                             "host_attrs": {"hna_host_parts": ["com", "ok"]}}])");
  configure();
  const std::string text = log_.text();
  EXPECT_EQ(find(tables_.tcp_table(), "10.0.0.1"), nullptr);
  EXPECT_NE(find(tables_.tcp_table(), "11.0.0.1"), nullptr);
  EXPECT_EQ(tables_.get_custom_app_name(-1), "");
  EXPECT_TRUE(contains(text, dir_ + "fapps.json: element 0 skipped: \"app\" is 1048576 bytes, "
                                    "more than 255"))
      << text;
  EXPECT_TRUE(contains(text, dir_ + "hostapps.json: element 0 skipped: label 1 of "
                                    "\"hna_host_parts\" is longer than 63 bytes"));
  EXPECT_TRUE(contains(text, dir_ + "hostapps.json: element 1 skipped: \"hna_host_parts\" "
                                    "holds 128 labels, more than 127"));
  EXPECT_EQ(tables_.get_custom_app_name(-3), "");
  EXPECT_EQ(host({"com", "ok"}), -5);
  EXPECT_LT(text.size(), size_t{64} << 10);  // the huge text is never logged whole
}

TEST_F(AppTablesTest, HostileFilesAreRefusedAtOnce) {
  // Sparse: costs no disk, and must be refused by its size alone.
  {
    const std::string p = dir_ + "fapps.json";
    WriteFile(p, "");
    ASSERT_EQ(::truncate(p.c_str(), (off_t{64} << 20) + 1), 0);
  }
  ASSERT_EQ(::mkfifo((dir_ + "fpdapps.json").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((dir_ + "hostapps.json").c_str(), 0600), 0);
  const auto start = std::chrono::steady_clock::now();
  configure();
  reconfigure();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  const std::string text = log_.text();
  EXPECT_TRUE(contains(text, "Unable to read file " + dir_ +
                                 "fapps.json: 67108865 bytes, "
                                 "more than 67108864"))
      << text;
  EXPECT_TRUE(contains(text, "Unable to open file " + dir_ + "fapps.json"));
  EXPECT_TRUE(contains(text, "Unable to open file " + dir_ + "fpdapps.json, error 5"));
  EXPECT_TRUE(tables_.fpd_loaded());
  EXPECT_EQ(tables_.hostapp_generation(), 0);
}

TEST_F(AppTablesTest, FifoAsFappsReturnsAtOnce) {
  ASSERT_EQ(::mkfifo((dir_ + "fapps.json").c_str(), 0600), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(tables_.check_fapp_config_change(), -1);
  EXPECT_EQ(tables_.initialize_fcapp_config(false), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(CategoryTranslationTest, KnownNamesAreReplacedExactly) {
  const struct {
    const char* in;
    const char* out;
    bool replaced;
  } cases[] = {
      {"Mail", "Email", true},
      {"VOIP", "VoIP", true},
      {"Forum", "SocialNetwork", true},
      {"Standard", "Unspecified", true},
      {"Tunneling", "VPN", true},
      {"Middleware", "RPC", true},
      {"Thin Client", "RemoteAccess", true},
      {"File Server", "SoftwareUpdate", true},
      {"File Transfer", "DataTransfer", true},
      {"Network Service", "Network", true},
      {"Instant Messaging", "Chat", true},
      {"Application Service", "Cloud", true},
      {"mail", "mail", false},
      {"", "", false},
  };
  for (const auto& c : cases) {
    String out;
    EXPECT_EQ(normalize_custom_app_category(c.in, &out), c.replaced) << c.in;
    EXPECT_EQ(out, c.out);
  }
}

}  // namespace
