#include "tools/testhub/config.h"

#include <arpa/inet.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace testhub {
namespace {

const std::string kBase =
    R"("wanip": "198.51.100.1", "port": 4433, "overlay_ip": "10.0.0.1", "cert": "c.pem",)"
    R"( "key": "k.pem", "ca": "ca.pem", "control": "/tmp/h.sock")";

TEST(Config, RequiredKeysAndDefaults) {
  HubConfig c;
  std::string error;
  ASSERT_TRUE(parse_config("{" + kBase + "}", &c, &error)) << error;
  EXPECT_EQ(c.wanip, "198.51.100.1");
  EXPECT_EQ(c.port, 4433);
  EXPECT_EQ(c.overlay_ip, inet_addr("10.0.0.1"));
  EXPECT_TRUE(c.tun.empty());
  EXPECT_TRUE(c.tls);
  EXPECT_TRUE(c.dtls);
  EXPECT_EQ(c.packets_per_record, 1u);
  EXPECT_FALSE(c.keepalive_requests);
  EXPECT_EQ(c.close_after_s, 0u);
  EXPECT_EQ(c.ods_rxloss_delayed, 0);
  EXPECT_EQ(c.ods_rxloss_instant, 0);

  ASSERT_TRUE(parse_config("{" + kBase +
                               R"(, "tun": "hubtun", "dtls": false, "close_after_s": 3,
          "packets_per_record": 4, "keepalive_requests": true,
          "clients": [{"overlay": "10.0.0.2", "vip": "100.64.0.2"}, {"overlay": "10.0.0.3"}],
          "routes": ["100.70.9.0/24", "10.0.0.0/8", "192.0.2.4/30"],
          "ods_rxloss_delayed": 2.5, "ods_rxloss_instant": 100})",
                           &c, &error))
      << error;
  EXPECT_EQ(c.tun, "hubtun");
  EXPECT_FALSE(c.dtls);
  EXPECT_EQ(c.close_after_s, 3u);
  EXPECT_EQ(c.packets_per_record, 4u);
  EXPECT_TRUE(c.keepalive_requests);
  ASSERT_EQ(c.clients.size(), 2u);
  EXPECT_EQ(c.clients[0].vip, inet_addr("100.64.0.2"));
  EXPECT_EQ(c.clients[1].vip, 0u);
  EXPECT_EQ(c.ods_rxloss_delayed, 2.5);
  EXPECT_EQ(c.ods_rxloss_instant, 100);
  EXPECT_EQ(c.route_addresses,
            (std::vector<uint32_t>{inet_addr("100.70.9.1"), inet_addr("10.0.0.1"),
                                   inet_addr("192.0.2.5")}));
}

// Each refusal names what is wrong.
TEST(Config, RefusalsNameTheKey) {
  struct Case {
    std::string text;
    std::string error;
  } cases[] = {
      {"[]", "configuration is not a JSON object"},
      {"{" + kBase + ", \"tunn\": \"x\"}", "unknown key \"tunn\""},
      {"{" + kBase + ", \"tls\": 1}", "\"tls\" must be true or false"},
      {"{" + kBase + ", \"packets_per_record\": \"2\"}",
       "\"packets_per_record\" must be a whole number"},
      {"{" + kBase + ", \"packets_per_record\": 0}", "\"packets_per_record\" must be 1 to 64"},
      {"{" + kBase + ", \"clients\": {}}", "\"clients\" must be an array"},
      {"{" + kBase + ", \"clients\": [{\"overlay\": \"10.0.0.2\", \"mac\": 1}]}",
       "unknown key \"mac\" in \"clients\""},
      {"{" + kBase + ", \"clients\": [{\"vip\": \"10.0.0.2\"}]}",
       "\"clients\" entry without \"overlay\""},
      {"{" + kBase + R"(, "tun": "t", "routes": "10.0.0.0/8"})", "\"routes\" must be an array"},
      {"{" + kBase + R"(, "routes": ["10.0.0.0/8"]})", "\"routes\" needs a \"tun\""},
      {"{" + kBase + ", \"tun\": \"a-very-long-interface\"}",
       "\"tun\" names an interface longer than 15 characters"},
      {"{" + kBase + ", \"ods_rxloss_delayed\": 100.5}",
       "\"ods_rxloss_delayed\" must be a number from 0 to 100"},
      {"{" + kBase + ", \"ods_rxloss_instant\": \"1\"}",
       "\"ods_rxloss_instant\" must be a number from 0 to 100"},
      {R"({"wanip": "1.2.3", "port": 1})", "\"wanip\" must be an IPv4 address string"},
      {R"({"wanip": "1.2.3.4", "port": 70000})", "\"port\" must be a port number"},
      {R"({"wanip": "1.2.3.4", "port": -1})", "\"port\" must be a port number"},
      {R"({"wanip": "1.2.3.4", "port": 1})", "missing key \"overlay_ip\""},
      {"{\"\\u0001x\": 1}", "unknown key \"\\u0001x\""},
  };
  for (const Case& c : cases) {
    HubConfig out;
    std::string error;
    EXPECT_FALSE(parse_config(c.text, &out, &error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
  // A prefix without a first host address, with host bits, or not a
  // prefix at all (each a JSON value).
  for (const char* route :
       {R"("10.0.0.0/31")", R"("10.0.0.0/32")", R"("0.0.0.0/0")", R"("10.0.0.1/24")",
        R"("10.0.0.0")", R"("10.0.0.0/")", R"("10.0.0.0/24x")", R"("10.0.0.0/+8")",
        R"("10.0.0.0/-8")", R"("10.0.0.0/99999999999")", R"("10.0.0/8")", "5"}) {
    HubConfig out;
    std::string error;
    EXPECT_FALSE(
        parse_config("{" + kBase + R"(, "tun": "t", "routes": [)" + route + "]}", &out, &error))
        << route;
    EXPECT_EQ(error, "\"routes\" entries must be IPv4 prefixes a.b.c.d/1-30 without host bits")
        << route;
  }
  HubConfig out;
  std::string error;
  std::string routes = "[";
  for (int i = 0; i < 17; ++i) routes += std::string(i ? "," : "") + R"("10.0.0.0/8")";
  EXPECT_FALSE(
      parse_config("{" + kBase + R"(, "tun": "t", "routes": )" + routes + "]}", &out, &error));
  EXPECT_EQ(error, "\"routes\" holds more than 16 entries");
  std::string clients = "[";
  for (int i = 0; i < 65; ++i) clients += std::string(i ? "," : "") + R"({"overlay": "10.0.0.2"})";
  EXPECT_FALSE(parse_config("{" + kBase + ", \"clients\": " + clients + "]}", &out, &error));
  EXPECT_EQ(error, "\"clients\" holds more than 64 entries");
  EXPECT_FALSE(parse_config(std::string(kMaxConfigBytes + 1, ' '), &out, &error));
  EXPECT_EQ(error, "configuration larger than 1 MiB");
}

}  // namespace
}  // namespace testhub
