#include "tools/testhub/config.h"

#include <arpa/inet.h>

#include <string>

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

  ASSERT_TRUE(parse_config("{" + kBase +
                               R"(, "tun": "hubtun", "dtls": false, "close_after_s": 3,
          "packets_per_record": 4, "keepalive_requests": true,
          "clients": [{"overlay": "10.0.0.2", "vip": "100.64.0.2"}, {"overlay": "10.0.0.3"}]})",
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
      {"{" + kBase + ", \"tun\": \"a-very-long-interface\"}",
       "\"tun\" names an interface longer than 15 characters"},
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
  HubConfig out;
  std::string error;
  std::string clients = "[";
  for (int i = 0; i < 65; ++i) clients += std::string(i ? "," : "") + R"({"overlay": "10.0.0.2"})";
  EXPECT_FALSE(parse_config("{" + kBase + ", \"clients\": " + clients + "]}", &out, &error));
  EXPECT_EQ(error, "\"clients\" holds more than 64 entries");
  EXPECT_FALSE(parse_config(std::string(kMaxConfigBytes + 1, ' '), &out, &error));
  EXPECT_EQ(error, "configuration larger than 1 MiB");
}

}  // namespace
}  // namespace testhub
