// The transport's connect requests against the test hub across the tunnel
// fixture's namespaces: TLS and DTLS come up with the path reported, a hub
// with another key is refused, the DTLS path MTU hint follows the veth's
// MTU, a request for an established peer makes nothing, a secondary hub of a
// group is refused while its group connects, and a request with no
// default-route interface connects nothing. Established connections carry a
// burst of the hub's packets whole and in order into blocks, and a DTLS write
// over the path MTU is dropped without losing the connection. The transport runs on threads
// that entered the client namespace; no connect thread runs, so requests run
// where they are made. Needs root.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "graph/confparse.h"
#include "graph/ipaddress.h"
#include "lib/interfacemonitor/ost_interface_monitor.h"
#include "lib/interfacemonitor/recording_interface_monitor.h"
#include "ostgraphsvc/ostssl/ostssl.h"
#include "ostgraphsvc/ostssl/ostssl_listener_recorder.h"
#include "tests/support/registry_values.h"
#include "tests/support/started_log.h"
#include "tests/support/tunnel_fixture.h"
#include "tools/testhub/burst.h"

namespace {

using nlohmann::json;
using Op = ostssl_listener_recorder::Op;

constexpr int kPort = 4433;
constexpr char kTenant[] = "tenant-a";
constexpr char kHubOverlay[] = "10.0.0.1";

String S(const std::string& s) { return String(s.data(), static_cast<int>(s.size())); }

class OstsslTunnelTest : public testing_support::TunnelTest {
 protected:
  void SetUp() override {
    TunnelTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    std::string error;
    certkit::LeafOptions hub{"hub", {kTenant}, {{certkit::SubjectAltName::Kind::kIp, kHubOverlay}}};
    ASSERT_TRUE(net_.MakeLeaf("ca", "hub", hub, &error)) << error;
    ASSERT_TRUE(net_.MakeLeaf("ca", "otherhub", hub, &error)) << error;
    certkit::LeafOptions client{"client", {kTenant}, {}};
    ASSERT_TRUE(net_.MakeLeaf("ca", "client", client, &error)) << error;
    ASSERT_TRUE(net_.MakeWorkdir("ca", "client", "work", &error)) << error;
    workdir_ = net_.path("work/");
    ostssl::reset_for_testing();
    ostssl::ssl_check_and_set_tenant_id(kTenant);
    ASSERT_TRUE(ostssl::connection_pair().init("connection"));
    ASSERT_TRUE(ostssl::data_pair().init("data"));
    set_config_directory(workdir_.c_str());
    ostssl::register_listener(&recorder_);
  }
  void TearDown() override {
    ostssl::reset_for_testing();
    set_config_directory(nullptr);
    if (hub_ >= 0) net_.StopHub(hub_);
  }

  void StartHub(const std::string& leaf = "hub") {
    json config = {{"wanip", testing_support::kTunnelHubAddress},
                   {"port", kPort},
                   {"overlay_ip", kHubOverlay},
                   {"cert", net_.path(leaf + "/cert.pem")},
                   {"key", net_.path(leaf + "/key.pem")},
                   {"ca", net_.path("ca/ca.pem")},
                   {"control", net_.path("hub.sock")}};
    std::string error;
    hub_ = net_.StartHub(TESTHUB_PROGRAM, config.dump(), &error);
    ASSERT_GE(hub_, 0) << error;
  }

  // A connect request for the hub, then passes until nothing is left to set
  // up or `limit` passes ran; all in the client namespace.
  void ConnectAndDrive(bool tls_only, const std::string& group = "", bool primary = true,
                       int limit = 150) {
    const std::string key = testing_support::ReadFile(net_.path("hub/pubkey.pem"));
    const uint32_t wan = inet_addr(testing_support::kTunnelHubAddress);
    const uint32_t overlay = inet_addr(kHubOverlay);
    ASSERT_TRUE(net_.client().RunInside([&] {
      ostssl::ssl_connect_to_peer(tls_only, kPort, S(key), &wan, &overlay, S(group), S(group),
                                  primary);
      for (int i = 0; i < limit && ostssl::ssl_con_tbl().size() != 0; ++i) {
        std::vector<int> fds;
        ostssl::ssl_initiate_connect(&fds);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }));
  }
  std::shared_ptr<ostssl> Established() {
    return ostssl::sslCons().find({IPAddress(inet_addr(testing_support::kTunnelHubAddress)),
                                   IPAddress(inet_addr(testing_support::kTunnelClientAddress))});
  }
  int Count(Op op) const {
    int n = 0;
    for (const auto& c : recorder_.calls()) n += c.op == op;
    return n;
  }
  void TearDownConnections() {
    ostssl::disconnect_all_peers(false);
    ASSERT_EQ(ostssl::sslCons().size(), 0u);
  }

  testing_support::StartedLog log_{CXLOG_FMT_LEVEL_NUMBER};
  std::string workdir_;
  ostssl_listener_recorder recorder_;
  int hub_ = -1;
};

TEST_F(OstsslTunnelTest, TlsAndDtlsComeUpWithThePathAndAnMtuHintPerLink) {
  StartHub();
  struct Row {
    const char* name;
    bool tls_only;
    const char* mtu;
    int hint;  // 0: the socket's TCP_MAXSEG
  } rows[] = {{"tls", true, "1500", 0},
              {"dtls over 1500", false, "1500", 1300},
              {"dtls over 1280", false, "1280", 1280}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(net_.client().Ip({"link", "set", "c0", "mtu", row.mtu}));
    ASSERT_TRUE(net_.hub().Ip({"link", "set", "h0", "mtu", row.mtu}));
    const int connects = Count(Op::kConnect);
    ConnectAndDrive(row.tls_only);
    std::shared_ptr<ostssl> conn = Established();
    ASSERT_NE(conn, nullptr) << log_.text();
    ASSERT_EQ(Count(Op::kConnect), connects + 1);
    const auto call = recorder_.calls().back();
    EXPECT_EQ(call.path_id, conn->conn_info.path_id);
    EXPECT_EQ(call.protocol_name, row.tls_only ? "TLS" : "DTLS");
    if (row.hint == 0) {
      EXPECT_NE(conn->path_mtu, 1300);
      EXPECT_LT(conn->path_mtu, 1500);
    } else {
      EXPECT_EQ(conn->path_mtu, row.hint);
    }
    // A second request for an established peer makes nothing.
    ConnectAndDrive(row.tls_only);
    EXPECT_NE(log_.text().find("already connected (total interface: 1)"), std::string::npos);
    EXPECT_EQ(Count(Op::kConnect), connects + 1);
    TearDownConnections();
  }
}

TEST_F(OstsslTunnelTest, HubWithAnotherKeyIsRefused) {
  StartHub("otherhub");
  ConnectAndDrive(true, "", true, 3);
  EXPECT_EQ(Established(), nullptr);
  EXPECT_EQ(Count(Op::kConnect), 0);
  EXPECT_GE(Count(Op::kTimeout), 1);
  EXPECT_NE(log_.text().find("Connection need to be reset"), std::string::npos);
}

TEST_F(OstsslTunnelTest, SecondaryIsRefusedWhileItsGroupConnects) {
  // Another hub of group g1 is being set up on the same interface.
  ASSERT_TRUE(ostssl::createSSLObject("198.51.100.2", kPort, "10.0.0.2", "g1", "Primary", true, "",
                                      1300, testing_support::kTunnelClientAddress, 1, 1));
  const uint32_t wan = inet_addr(testing_support::kTunnelHubAddress);
  const uint32_t overlay = inet_addr(kHubOverlay);
  ASSERT_TRUE(net_.client().RunInside([&] {
    ostssl::ssl_connect_to_peer(true, kPort, "", &wan, &overlay, "g1", "g1", false);
    // An empty group id refuses a secondary as well.
    ostssl::ssl_connect_to_peer(true, kPort, "", &wan, &overlay, "", "named", false);
  }));
  EXPECT_EQ(ostssl::ssl_con_tbl().size(), 1u);
  EXPECT_NE(log_.text().find("A Primary hub connection already in progress"), std::string::npos);
}

TEST_F(OstsslTunnelTest, MultilinkMakesOneConnectionPerInterface) {
  // A second link: c1 203.0.113.10 <-> h1 203.0.113.1, a second default route.
  ASSERT_TRUE(net_.client().Ip(
      {"link", "add", "c1", "type", "veth", "peer", "name", "h1", "netns", net_.hub().name()}));
  ASSERT_TRUE(net_.client().Ip({"addr", "add", "203.0.113.10/24", "dev", "c1"}));
  ASSERT_TRUE(net_.client().Ip({"link", "set", "c1", "up"}));
  ASSERT_TRUE(net_.hub().Ip({"addr", "add", "203.0.113.1/24", "dev", "h1"}));
  ASSERT_TRUE(net_.hub().Ip({"link", "set", "h1", "up"}));
  ASSERT_TRUE(net_.client().Ip({"route", "add", "default", "via", "203.0.113.1", "metric", "200"}));
  testing_support::WriteFile(net_.path("client/ostrel-client-config.json"),
                             R"({"dcfg_client_config": {"multilink_support": "active_active"}})");
  testing_support::SetRegText("SOFTWARE\\Corvex\\tarn", "workdir", net_.path("client"));
  StartHub();
  ConnectAndDrive(true);
  auto calls = recorder_.calls();
  ASSERT_EQ(Count(Op::kConnect), 2) << log_.text();
  EXPECT_EQ(ostssl::sslCons().size(), 2u);
  EXPECT_NE(calls[0].path_id, calls[1].path_id);
  EXPECT_NE(calls[0].local_ip, calls[1].local_ip);
  EXPECT_NE(calls[0].if_index, calls[1].if_index);
  EXPECT_EQ(calls[0].multilink_mode, 1);
  // Each left through its own interface and reached the hub.
  EXPECT_TRUE(ostssl::is_tunnel_established(inet_addr(testing_support::kTunnelHubAddress),
                                            inet_addr("203.0.113.10")));
  TearDownConnections();
}

TEST_F(OstsslTunnelTest, NoInterfaceRunsOneInterfaceChangePass) {
  ASSERT_TRUE(net_.client().Ip({"route", "del", "default"}));
  std::vector<std::string> calls;
  {
    RecordingInterfaceMonitor monitor;
    const uint32_t wan = inet_addr(testing_support::kTunnelHubAddress);
    const uint32_t overlay = inet_addr(kHubOverlay);
    ASSERT_TRUE(net_.client().RunInside(
        [&] { ostssl::ssl_connect_to_peer(true, kPort, "", &wan, &overlay, "", "", true); }));
    for (int i = 0; i < 100 && monitor.calls().size() < 2; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    calls = monitor.calls();
  }
  // The list is emptied first, so the pass reports every default route as new.
  EXPECT_EQ(calls, (std::vector<std::string>{"clear", "change"}));
  EXPECT_EQ(ostssl::ssl_con_tbl().size(), 0u);
  EXPECT_NE(log_.text().find("No Active interface found, Peer 198.51.100.1 will not be connected"),
            std::string::npos);
}

}  // namespace

namespace {

// Waits for the burst packets 0 to n-1 as blocks of the transport's queue and
// compares each with the hub's; the number that arrived equal, in order.
int ReceiveBurst(uint32_t n, uint32_t path_id, std::string* failure) {
  uint8_t want[testhub::kBurstPacketMax];
  for (uint32_t i = 0; i < n; ++i) {
    _QMSGBLOCK* b = g_qmsg_queue.wait_for(10000000);
    if (b == nullptr) {
      *failure = "no block for packet " + std::to_string(i);
      return static_cast<int>(i);
    }
    const size_t length = testhub::burst_packet(i, want);
    uint32_t id = 0;
    bool same = b->msgtype == QMSG_PKT_OVERLAY && b->data_length == length + 4;
    if (same) {
      std::memcpy(&id, b->data, 4);
      same = id == path_id && std::memcmp(b->data + 4, want, length) == 0;
    }
    const uint32_t got_length = b->data_length;
    qmsgblock_release(b);
    if (!same) {
      *failure = "packet " + std::to_string(i) + " differs (length " + std::to_string(got_length) +
                 ", want " + std::to_string(length + 4) + ")";
      return static_cast<int>(i);
    }
  }
  return static_cast<int>(n);
}

}  // namespace

TEST_F(OstsslTunnelTest, BurstArrivesWholeAndInOrderOverTlsAndDtls) {
  StartHub();
  for (bool tls : {true, false}) {
    SCOPED_TRACE(tls ? "tls" : "dtls");
    ConnectAndDrive(tls);
    std::shared_ptr<ostssl> conn = Established();
    ASSERT_NE(conn, nullptr) << log_.text();
    ASSERT_EQ(conn->protocol, tls ? OSTSSL_PROTO_TLS : OSTSSL_PROTO_DTLS);
    std::string answer, error;
    ASSERT_TRUE(testing_support::HubCtl(net_.HubControl(hub_), "burst 10000", &answer, &error))
        << error;
    ASSERT_EQ(json::parse(answer).value("connections", 0), 1) << answer;
    std::string failure;
    EXPECT_EQ(ReceiveBurst(10000, conn->conn_info.path_id, &failure), 10000) << failure;
    EXPECT_EQ(g_qmsg_queue.wait_for(200000), nullptr) << "more blocks than packets";
    EXPECT_EQ(conn->read_drop_count, 0u);
    TearDownConnections();
  }
}

TEST_F(OstsslTunnelTest, DtlsWriteOverThePathMtuIsDroppedAndTheConnectionKept) {
  ASSERT_TRUE(net_.client().Ip({"link", "set", "c0", "mtu", "1300"}));
  ASSERT_TRUE(net_.hub().Ip({"link", "set", "h0", "mtu", "1300"}));
  StartHub();
  ConnectAndDrive(false);
  std::shared_ptr<ostssl> conn = Established();
  ASSERT_NE(conn, nullptr) << log_.text();
  ASSERT_EQ(conn->protocol, OSTSSL_PROTO_DTLS);
  std::vector<unsigned char> packet(1400, 0x5a);
  packet[0] = 0x45;
  packet[2] = 1400 >> 8;
  packet[3] = 1400 & 0xff;
  EXPECT_EQ(ostssl::ssl_write_packet(inet_addr(testing_support::kTunnelHubAddress),
                                     inet_addr(testing_support::kTunnelClientAddress),
                                     packet.data(), static_cast<int>(packet.size())),
            0);
  EXPECT_NE(log_.text().find("due to msg size 1400 is bigger than interface MTU"),
            std::string::npos)
      << log_.text();
  EXPECT_EQ(conn->closed.load(), 0);
  EXPECT_EQ(conn->write_ready.load(), 1);
  EXPECT_TRUE(conn->pending.empty());
  // The connection still carries packets.
  std::string answer, error;
  ASSERT_TRUE(testing_support::HubCtl(net_.HubControl(hub_), "burst 200", &answer, &error))
      << error;
  std::string failure;
  EXPECT_EQ(ReceiveBurst(200, conn->conn_info.path_id, &failure), 200) << failure;
  EXPECT_EQ(Count(Op::kSockClosed), 0);
  EXPECT_EQ(Count(Op::kClosed), 0);
  TearDownConnections();
}
