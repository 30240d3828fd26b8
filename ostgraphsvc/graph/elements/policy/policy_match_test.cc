#include "ostgraphsvc/graph/elements/policy/policy_match.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/error_handler.h"
#include "graph/ipaddress.h"
#include "graph/nameinfo.h"
#include "ostgraphsvc/graph/elements/policy/policy_vocabulary.h"
#include "tests/support/started_log.h"

namespace {

std::string Std(const String& s) { return std::string(s.data(), static_cast<size_t>(s.length())); }

class Recorder : public ErrorHandler {
 public:
  void* emit(const String& line, void* user_data, bool) override {
    std::string text = Std(line);
    if (text.rfind("<3>", 0) == 0) text = text.substr(3);
    lines.push_back(text);
    return user_data;
  }
  std::string joined() const {
    std::string all;
    for (const std::string& line : lines) all += (all.empty() ? "" : "|") + line;
    return all;
  }
  std::vector<std::string> lines;
};

std::string Ranges(const Vector<int32_t>& lows, const Vector<int32_t>& highs) {
  if (lows.empty()) return "none";
  if (lows[0] == -1) return "any";
  std::string out;
  for (int i = 0; i < lows.size(); ++i)
    out += (i ? "," : "") + std::to_string(lows[i]) + "-" + std::to_string(highs[i]);
  return out;
}

std::string Prefix(uint32_t address, uint32_t mask) {
  return Std(IPAddress(address).to_string()) + "/" + Std(IPAddress(mask).to_string());
}

// The record as space-separated key=value tokens.
std::string Describe(const policy_match& m, uint8_t dscp_flag) {
  std::string apps, procs;
  for (int32_t id : m.app_ids) apps += (apps.empty() ? "" : ",") + std::to_string(id);
  for (const String& p : m.process_list) procs += (procs.empty() ? "" : ",") + Std(p);
  return " sport=" + Ranges(m.src_port_low, m.src_port_high) +
         " dport=" + Ranges(m.dst_port_low, m.dst_port_high) +
         " sip=" + Prefix(m.src_addr, m.src_mask) + " dip=" + Prefix(m.dst_addr, m.dst_mask) +
         " proto=" + std::to_string(m.protocol) + " dscp=" + std::to_string(m.dscp) +
         " flag=" + std::to_string(dscp_flag) + " inet=" + std::to_string(m.internet) + " apps=[" +
         apps + "] procs=[" + procs + "] cat=" + std::to_string(m.category) +
         " zones=" + Std(m.src_zone) + ">" + Std(m.dst_zone) + " ";
}

class PolicyMatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    NameRegistry::static_initialize();
    NameDB* tcp = NameRegistry::global->lookup_or_install(NameDB::kPortType + 6, 4, String(),
                                                          NameRegistry::kMakeDynamic);
    const int www = 80, huge = 70000;
    tcp->define("www", &www, sizeof(www));
    tcp->define("huge", &huge, sizeof(huge));
  }
  void TearDown() override { NameRegistry::static_cleanup(); }
};

TEST_F(PolicyMatchTest, CriteriaTable) {
  const std::string any_row =
      " sport=any dport=any sip=255.255.255.255/255.255.255.255 "
      "dip=255.255.255.255/255.255.255.255 proto=-1 dscp=-1 flag=0 inet=0 apps=[] procs=[] "
      "cat=-1 zones=> ";
  struct Case {
    const char* criteria;
    std::vector<std::string> tokens;  // each must appear in the description
    const char* errors;               // reported lines, joined by '|'
  } cases[] = {
      {R"({"mtch_dest_port":"443"})", {"dport=443-443", "sport=any"}, ""},
      {R"({"mtch_dest_port":"80, 8000-8080"})", {"dport=80-80,8000-8080"}, ""},
      {R"({"mtch_dest_port":""})", {"dport=any"}, ""},
      {R"({"mtch_dest_port":" \t "})", {"dport=any"}, ""},
      {R"({"mtch_src_port":80})", {"sport=any"}, ""},
      {R"({"mtch_src_port":"www,0x10-020,0"})", {"sport=80-80,16-16,0-0"}, ""},
      {R"({"mtch_dest_port":"100-50,1-2-3"})", {"dport=100-50,1-2"}, ""},
      // A failed bound drops its range; a list left empty matches nothing.
      {R"({"mtch_dest_port":"80,x"})", {"dport=80-80"}, "invalid number"},
      {R"({"mtch_dest_port":"x"})", {"dport=none"}, "invalid number"},
      {R"({"mtch_dest_port":"80-"})", {"dport=none"}, "invalid number"},
      {R"({"mtch_dest_port":"-"})", {"dport=none"}, "invalid number"},
      {R"({"mtch_dest_port":"1-x,22"})", {"dport=22-22"}, "invalid number"},
      {R"({"mtch_dest_port":"70000,huge,5000000000,22"})",
       {"dport=22-22"},
       "overflow, range 0-65535|overflow, range 0-65535|out of range, bound 4294967295"},
      {R"({"mtch_dest_ip":"10.1.0.0/16"})", {"dip=10.1.0.0/255.255.0.0"}, ""},
      {R"({"mtch_dest_ip":"10.1.2.3"})", {"dip=10.1.2.3/255.255.255.255"}, ""},
      {R"({"mtch_src_ip":"10.1.2.3/255.255.255.0"})", {"sip=10.1.2.3/255.255.255.0"}, ""},
      {R"({"mtch_dest_ip":"0.0.0.0/0"})", {"dip=0.0.0.0/0.0.0.0"}, ""},
      {R"({"mtch_dest_ip":"not an address"})", {"dip=0.0.0.0/0.0.0.0"}, ""},
      {R"({"mtch_src_ip":"10.0.0.1/"})", {"sip=0.0.0.0/0.0.0.0"}, ""},
      {R"({"mtch_l4_protocol":"udp"})", {"proto=17"}, ""},
      {R"({"mtch_l4_protocol":"icmp"})", {"proto=1"}, ""},
      {R"({"mtch_l4_protocol":"UDP"})", {"proto=0"}, ""},
      {R"({"mtch_l4_protocol":6})", {"proto=-1"}, ""},
      {R"({"mtch_src_dscp":"46-ef"})", {"dscp=46", "flag=1"}, ""},
      {R"({"mtch_src_dscp":"28-af43"})", {"dscp=38", "flag=1"}, ""},
      {R"({"mtch_src_dscp":"any-dscp"})", {"dscp=-1", "flag=0"}, ""},
      {R"({"mtch_src_dscp":"46-EF"})", {"dscp=-1", "flag=0"}, ""},
      {R"({"mtch_dest_internet":true})", {"inet=1"}, ""},
      {R"({"mtch_dest_internet":"true"})", {"inet=0"}, ""},
      {R"({"mtch_app_id":[7,"0x10","3",true,"010"]})", {"apps=[7,16,3,0,8]"}, ""},
      {R"({"mtch_src_process_list":["a.exe","b.exe",5]})", {"procs=[a.exe,b.exe]"}, ""},
      {R"({"mtch_src_zone":"lan","mtch_dest_zone":"wan"})", {"zones=lan>wan"}, ""},
      {R"({"cmap_other":1})", {any_row}, ""},
      {"null", {any_row}, ""},
      {"[1,2]", {any_row}, ""},
  };
  for (const Case& c : cases) {
    Recorder errors;
    ParseContext context(nullptr, &errors);
    policy_match m;
    uint8_t flag = 0;
    parse_policy_match(Json::parse(c.criteria), "row", &m, &flag, context);
    const std::string description = Describe(m, flag);
    for (const std::string& token : c.tokens)
      EXPECT_NE(description.find(token.front() == ' ' ? token : " " + token + " "),
                std::string::npos)
          << c.criteria << " ->" << description << " lacks " << token;
    EXPECT_EQ(errors.joined(), c.errors) << c.criteria;
    EXPECT_EQ(m.src_port_low.size(), m.src_port_high.size());
    EXPECT_EQ(m.dst_port_low.size(), m.dst_port_high.size());
  }
}

TEST_F(PolicyMatchTest, DscpFlagIsNeverCleared) {
  uint8_t flag = 0;
  policy_match first, second;
  parse_policy_match(Json::parse(R"({"mtch_src_dscp":"8-cs1"})"), "a", &first, &flag);
  parse_policy_match(Json::parse(R"({"mtch_src_dscp":"any-dscp"})"), "b", &second, &flag);
  EXPECT_EQ(first.dscp, 8);
  EXPECT_EQ(second.dscp, -1);
  EXPECT_EQ(flag, 1);
}

TEST_F(PolicyMatchTest, LogLines) {
  testing_support::StartedLog log(0);
  policy_match m;
  uint8_t flag = 0;
  parse_policy_match(Json::parse(R"({"mtch_dest_ip":"bogus\n","mtch_src_ip":"10.0.0.1",
                                     "mtch_l4_protocol":"tcp","mtch_src_zone":"lan"})"),
                     "web", &m, &flag);
  const std::string text = log.fresh();
  EXPECT_NE(text.find("Full tunnel configuration found mtch_dest_ip: bogus^J"), std::string::npos)
      << text;
  EXPECT_NE(text.find("web: sip 0x100000a, dip 0x0, protocol 6, class -1, internet false, "
                      "srczone:lan dstzone:"),
            std::string::npos)
      << text;
  parse_policy_match(Json::parse(R"({"mtch_dest_ip":"10.0.0.0/8"})"), "web", &m, &flag);
  EXPECT_EQ(log.fresh().find("Full tunnel"), std::string::npos);
}

TEST(PolicyTextHelpers, SplitDashParts) {
  struct Case {
    const char* text;
    std::vector<std::string> parts;
  } cases[] = {
      {"a--b", {"a", "", "b"}},        {"-a", {"", "a"}}, {"a-", {"a"}},        {"", {}},
      {"1000-2000", {"1000", "2000"}}, {"-", {""}},       {"a-b-", {"a", "b"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> got;
    for (const String& part : split_dash_parts(c.text)) got.push_back(Std(part));
    EXPECT_EQ(got, c.parts) << c.text;
  }
}

TEST(PolicyTextHelpers, ParsePortRangeTreatsFailedPartsAsAny) {
  struct Case {
    const char* text;
    uint16_t low, high;
  } cases[] = {
      {"1000-2000", 1000, 2000}, {"53", 53, 53},        {"0", 0xFFFF, 0xFFFF}, {"", 0xFFFF, 0xFFFF},
      {"0-10", 0, 10},           {"x-10", 0xFFFF, 10},  {"80-", 80, 80},       {"5-6-7", 5, 6},
      {"70000", 0xFFFF, 0xFFFF}, {"-", 0xFFFF, 0xFFFF},
  };
  for (const Case& c : cases) {
    uint16_t low = 1, high = 1;
    parse_port_range(c.text, &low, &high);
    EXPECT_EQ(low, c.low) << c.text;
    EXPECT_EQ(high, c.high) << c.text;
  }
}

TEST(PolicyTextHelpers, DscpNamesAndVocabulary) {
  EXPECT_EQ(dscp_from_name("0-none"), 0);
  EXPECT_EQ(dscp_from_name("44-voice-admit"), 44);
  EXPECT_EQ(dscp_from_name("56-cs7"), 56);
  EXPECT_EQ(dscp_from_name("28-af32"), 28);
  EXPECT_EQ(dscp_from_name("28-af43"), 38);
  EXPECT_EQ(dscp_from_name("38-af43"), -1);
  EXPECT_EQ(dscp_from_name("46-ef "), -1);
  EXPECT_EQ(dscp_from_name(""), -1);

  EXPECT_STREQ(vocabulary_name(policy_priority_names, 2), "medium");
  EXPECT_STREQ(vocabulary_name(rate_limit_type_names, 2), "poicer");
  EXPECT_STREQ(vocabulary_name(link_state_names, 0), "UKNOWN");
  EXPECT_STREQ(vocabulary_name(traffic_class_names, 5), "invalid");
  EXPECT_STREQ(vocabulary_name(nexthop_site_names, 4), "invalid");  // past the end
  EXPECT_STREQ(vocabulary_name(wan_type_names, -1), "invalid");
  EXPECT_STREQ(vocabulary_name(link_usability_names, 2), "unusable");
}

}  // namespace
