// The test hub in the hub namespace of the tunnel fixture, reached from the
// client namespace: `openssl s_client` with certkit certificates over TLS 1.3,
// TLS 1.2 and DTLS 1.2, refusal of another CA's client, probe answers and the
// switch to 16-byte headers, an ICMP echo through the hub's TUN, `stats` and
// `listen off|on`. The hub must end cleanly (under ASan: no leak, no error).
// Needs root.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/tunnel_fixture.h"
#include "tools/testhub/test_client.h"

namespace {

using nlohmann::json;
using testhub::HeaderKind;
using testhub::OverlayHeader;
using testhub::TestClient;
using testing::HasSubstr;
using testing_support::HubCtl;
using testing_support::TunnelNetns;

constexpr uint16_t kPort = 4433;

class TesthubTest : public testing_support::TunnelTest {
 protected:
  void SetUp() override {
    TunnelTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    std::string error;
    certkit::LeafOptions hub;
    hub.cn = "hub";
    hub.sans = {{certkit::SubjectAltName::Kind::kIp, "198.51.100.1"}};
    ASSERT_TRUE(net_.MakeLeaf("ca", "hub", hub, &error)) << error;
    certkit::LeafOptions client;
    client.cn = "client";
    client.ous = {"spoke"};
    ASSERT_TRUE(net_.MakeLeaf("ca", "client", client, &error)) << error;
    ASSERT_TRUE(net_.MakeCa("other", {}, &error)) << error;
    ASSERT_TRUE(net_.MakeLeaf("other", "stranger", client, &error)) << error;
  }

  // Starts the hub with `extra` keys on top of the base configuration.
  void start(const json& extra = json::object()) {
    json config = {{"wanip", "198.51.100.1"},          {"port", kPort},
                   {"overlay_ip", "10.0.0.1"},         {"cert", net_.path("hub/cert.pem")},
                   {"key", net_.path("hub/key.pem")},  {"ca", net_.path("ca/ca.pem")},
                   {"control", net_.path("hub.sock")}, {"tun", "hubtun"}};
    for (const auto& [k, v] : extra.items()) config[k] = v;
    std::string error;
    hub_ = net_.StartHub(TESTHUB_PROGRAM, config.dump(), &error);
    ASSERT_GE(hub_, 0) << error;
  }

  void TearDown() override {
    if (hub_ < 0) return;
    EXPECT_EQ(net_.StopHub(hub_), 0) << net_.HubLog(hub_);
  }

  json stats() {
    std::string answer, error;
    EXPECT_TRUE(HubCtl(net_.HubControl(hub_), "stats", &answer, &error)) << error;
    return json::parse(answer, nullptr, false);
  }

  std::string ctl(const std::string& command) {
    std::string answer, error;
    EXPECT_TRUE(HubCtl(net_.HubControl(hub_), command, &answer, &error)) << error;
    return answer;
  }

  // s_client from the client namespace; its output.
  std::string s_client(const std::string& leaf, const std::vector<std::string>& extra, int* code) {
    std::vector<std::string> args = {"openssl",
                                     "s_client",
                                     "-brief",
                                     "-connect",
                                     "198.51.100.1:" + std::to_string(kPort),
                                     "-cert",
                                     net_.path(leaf + "/cert.pem"),
                                     "-key",
                                     net_.path(leaf + "/key.pem")};
    args.insert(args.end(), extra.begin(), extra.end());
    return TunnelNetns::Run(&net_.client(), args, code, std::chrono::seconds(15));
  }

  // A test client connected from the client namespace (its socket stays there).
  std::unique_ptr<TestClient> connect(bool dtls, const std::string& leaf, std::string* error) {
    testhub::ClientOptions o;
    o.dtls = dtls;
    o.server = "198.51.100.1";
    o.port = kPort;
    o.cert = net_.path(leaf + "/cert.pem");
    o.key = net_.path(leaf + "/key.pem");
    o.overlay = inet_addr("10.0.0.2");
    o.hub_overlay = inet_addr("10.0.0.1");
    auto c = std::make_unique<TestClient>(o);
    bool ok = false;
    EXPECT_TRUE(net_.client().RunInside([&] { ok = c->connect(error, 3000); }));
    return ok ? std::move(c) : nullptr;
  }

  // Polls `stats` until the hub has `n` connections (3 s at most).
  bool wait_connections(size_t n) {
    for (int i = 0; i < 60; ++i) {
      if (stats()["connections"].size() == n) return true;
      usleep(50000);
    }
    return false;
  }

  std::string routes(const std::string& prefix) {
    return TunnelNetns::Run(nullptr, {"ip", "-n", net_.hub().name(), "route", "show", prefix});
  }

  int hub_ = -1;
};

// A UDP datagram 10.0.0.2:5000 -> 10.0.0.1:9999 (no UDP checksum).
std::vector<uint8_t> udp_datagram(const std::string& text) {
  std::vector<uint8_t> p = {0x45, 0,
                            0,    static_cast<uint8_t>(28 + text.size()),
                            0,    2,
                            0,    0,
                            64,   17,
                            0,    0,
                            10,   0,
                            0,    2,
                            10,   0,
                            0,    1,
                            0x13, 0x88,
                            0x27, 0x0f,
                            0,    static_cast<uint8_t>(8 + text.size()),
                            0,    0};
  p.insert(p.end(), text.begin(), text.end());
  const uint16_t sum = testhub::ipv4_checksum(p.data(), 20);
  p[10] = static_cast<uint8_t>(sum >> 8);
  p[11] = static_cast<uint8_t>(sum);
  return p;
}

// An ICMP echo request from `src` to `dst` with its checksums.
std::vector<uint8_t> echo_request(const char* src, const char* dst, uint16_t id) {
  std::vector<uint8_t> p = {0x45, 0, 0, 28, 0, 1, 0, 0, 64, 1, 0, 0};
  const uint32_t s = inet_addr(src), d = inet_addr(dst);
  p.insert(p.end(), reinterpret_cast<const uint8_t*>(&s), reinterpret_cast<const uint8_t*>(&s) + 4);
  p.insert(p.end(), reinterpret_cast<const uint8_t*>(&d), reinterpret_cast<const uint8_t*>(&d) + 4);
  p.insert(p.end(), {8, 0, 0, 0, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0, 7});
  const uint16_t ip_sum = testhub::ipv4_checksum(p.data(), 20);
  p[10] = static_cast<uint8_t>(ip_sum >> 8);
  p[11] = static_cast<uint8_t>(ip_sum);
  const uint16_t icmp_sum = testhub::ipv4_checksum(p.data() + 20, 8);
  p[22] = static_cast<uint8_t>(icmp_sum >> 8);
  p[23] = static_cast<uint8_t>(icmp_sum);
  return p;
}

TEST_F(TesthubTest, OpensslClientsHandshakeAndAnotherCaIsRefused) {
  start();
  struct Case {
    std::vector<std::string> flags;
    std::string protocol, cipher;
  } cases[] = {
      {{}, "TLSv1.3", "TLS_AES_256_GCM_SHA384"},
      {{"-tls1_2"}, "TLSv1.2", "ECDHE-RSA-AES256-GCM-SHA384"},
      {{"-dtls1_2"}, "DTLSv1.2", "ECDHE-RSA-AES256-GCM-SHA384"},
  };
  for (const Case& c : cases) {
    int code = -1;
    const std::string out = s_client("client", c.flags, &code);
    EXPECT_THAT(out, HasSubstr("Protocol version: " + c.protocol)) << out;
    EXPECT_THAT(out, HasSubstr("Ciphersuite: " + c.cipher)) << out;
  }
  EXPECT_EQ(stats()["handshakes"], 3);

  int code = -1;
  const std::string out = s_client("stranger", {"-tls1_2"}, &code);
  EXPECT_NE(code, 0) << out;
  EXPECT_THAT(out, HasSubstr("alert")) << out;
  for (bool dtls : {false, true}) {
    std::string error;
    EXPECT_EQ(connect(dtls, "stranger", &error), nullptr) << dtls;
  }
  const json s = stats();
  EXPECT_EQ(s["handshakes"], 3);
  EXPECT_GE(s["handshake_failures"], 3);
}

// Probes in legacy v1, the switch to 16-byte headers, an ICMP echo to the
// hub's overlay address through its TUN and back, and the counters of it.
TEST_F(TesthubTest, ProbesHeadersAndDataThroughTheTun) {
  start();
  std::string error;
  auto c = connect(false, "client", &error);
  ASSERT_NE(c, nullptr) << error;
  OverlayHeader h;
  OstrelOverlayStateMsg msg;
  ASSERT_TRUE(c->send_probe(7, 31000, HeaderKind::kLegacy));
  ASSERT_TRUE(c->wait_control(8, &h, &msg));
  EXPECT_EQ(msg.osm_probemsg().seqnum(), 31000u);
  EXPECT_EQ(h.kind, HeaderKind::kLegacy);
  EXPECT_EQ(h.version, 1);

  // An echo request 10.0.0.2 -> 10.0.0.1 in a 16-byte header.
  const std::vector<uint8_t> echo = echo_request("10.0.0.2", "10.0.0.1", 0x1234);
  testhub::EncapParams p;
  p.kind = HeaderKind::kFull;
  p.sequence = 1;
  ASSERT_TRUE(c->send_packet(echo, p));
  std::vector<uint8_t> reply;
  ASSERT_TRUE(c->wait_data(&reply, &h));
  ASSERT_EQ(reply.size(), 28u);
  EXPECT_EQ(reply[20], 0) << "echo reply";
  EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 12, reply.begin() + 20),
            (std::vector<uint8_t>{10, 0, 0, 1, 10, 0, 0, 2}));
  EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 24, reply.end()),
            (std::vector<uint8_t>{0x12, 0x34, 0, 7}));
  EXPECT_EQ(h.kind, HeaderKind::kFull) << "one 16-byte header switched the hub";
  EXPECT_EQ(c->first_full_sequence(), 1u);

  const json s = stats();
  ASSERT_EQ(s["connections"].size(), 1u) << s.dump();
  const json& conn = s["connections"][0];
  EXPECT_EQ(conn["tls_version"], "TLSv1.3");
  EXPECT_EQ(conn["client"], "10.0.0.2");
  EXPECT_EQ(conn["rx_header"], "16");
  EXPECT_EQ(conn["tx_header"], "16");
  EXPECT_EQ(conn["rx_kinds"]["7"], 1);
  EXPECT_EQ(conn["tx_kinds"]["8"], 1);
  EXPECT_EQ(conn["rx_data_packets"], 1);
  EXPECT_EQ(conn["rx_data_bytes"], 28);
  EXPECT_EQ(conn["tx_data_packets"], 1);
  EXPECT_EQ(conn["tx_data_bytes"], 28);
  EXPECT_EQ(conn["drops"], json::object());
  // The client's route points at the TUN while it is connected.
  EXPECT_THAT(routes("10.0.0.2"), HasSubstr("dev hubtun"));
}

// One client on two links (TLS and DTLS) with a VIP from the static map. An
// answer goes back on the link that carried its flow even when the other link
// carried the client's last packet; the VIP is routed to the client; the
// routes go with its last link.
TEST_F(TesthubTest, AnswersFollowTheirFlowAndRoutesGoWithTheLastLink) {
  start({{"clients", {{{"overlay", "10.0.0.2"}, {"vip", "100.64.0.2"}}}}});
  int server = -1;
  ASSERT_TRUE(net_.hub().RunInside([&] {
    server = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(9999);
    sa.sin_addr.s_addr = inet_addr("10.0.0.1");
    if (bind(server, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) server = -1;
  }));
  ASSERT_GE(server, 0);
  timeval tv{5, 0};
  setsockopt(server, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string error;
  auto tls = connect(false, "client", &error);
  ASSERT_NE(tls, nullptr) << error;
  auto dtls = connect(true, "client", &error);
  ASSERT_NE(dtls, nullptr) << error;

  // The UDP flow goes out on TLS ...
  ASSERT_TRUE(tls->send_packet(udp_datagram("ask"), testhub::EncapParams()));
  char buf[64];
  sockaddr_in from{};
  socklen_t from_length = sizeof from;
  ASSERT_EQ(recvfrom(server, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &from_length),
            3);
  // ... then the VIP's echo on DTLS makes DTLS the client's last link ...
  ASSERT_TRUE(dtls->send_packet(echo_request("100.64.0.2", "10.0.0.1", 2), testhub::EncapParams()));
  std::vector<uint8_t> reply;
  OverlayHeader h;
  ASSERT_TRUE(dtls->wait_data(&reply, &h));
  ASSERT_EQ(reply.size(), 28u);
  EXPECT_EQ(reply[20], 0);
  EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 16, reply.begin() + 20),
            (std::vector<uint8_t>{100, 64, 0, 2}));
  // ... and the UDP answer still goes back on TLS.
  ASSERT_EQ(sendto(server, "yes", 3, 0, reinterpret_cast<sockaddr*>(&from), from_length), 3);
  ASSERT_TRUE(tls->wait_data(&reply, &h));
  ASSERT_EQ(reply.size(), 31u);
  EXPECT_EQ(std::string(reply.begin() + 28, reply.end()), "yes");
  close(server);
  EXPECT_THAT(routes("100.64.0.2"), HasSubstr("dev hubtun"));

  // Each link ends with its close_notify; the routes stay while one is left.
  tls.reset();
  ASSERT_TRUE(wait_connections(1));
  EXPECT_THAT(routes("10.0.0.2"), HasSubstr("dev hubtun"));
  dtls.reset();
  ASSERT_TRUE(wait_connections(0));
  EXPECT_EQ(routes("10.0.0.2"), "");
  EXPECT_EQ(routes("100.64.0.2"), "");
  const json s = stats();
  EXPECT_EQ(s["totals"]["tx_data_packets"], 2);
  EXPECT_EQ(s["clients"], json::parse(R"([{"connections":0,"overlay":"10.0.0.2",
      "vip":"100.64.0.2","vip_source":"config","am_types":{},"am_seen":0,"rm_seen":0,
      "routes_learned":0,"wep_seen":0,"wls_seen":0,"ua_seen":0,"ua_jwt_length":0,
      "sync":null}])"));
}

TEST_F(TesthubTest, ListenOffRefusesNewClientsAndOnTakesThemAgain) {
  start();
  std::string error;
  auto first = connect(false, "client", &error);
  ASSERT_NE(first, nullptr) << error;
  EXPECT_EQ(ctl("listen off"), R"({"ok":true})");
  for (bool dtls : {false, true}) EXPECT_EQ(connect(dtls, "client", &error), nullptr) << dtls;
  EXPECT_EQ(ctl("listen on"), R"({"ok":true})");
  for (bool dtls : {false, true}) {
    EXPECT_NE(connect(dtls, "client", &error), nullptr) << error;
  }
  EXPECT_EQ(stats()["handshakes"], 3);
}

}  // namespace
