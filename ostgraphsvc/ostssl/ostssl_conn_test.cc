// Connection set-up, the connect pass and tear-down over loopback: real TLS
// and DTLS handshakes against a server thread presenting certkit
// certificates, a recording listener, and a hand-stepped tick. No connect
// thread runs here, so requests run on the calling thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "graph/confparse.h"
#include "graph/ipaddress.h"
#include "ostgraphsvc/ostssl/ostssl.h"
#include "ostgraphsvc/ostssl/ostssl_listener_recorder.h"
#include "platform/clock/clock.h"
#include "tests/support/started_log.h"
#include "tools/certkit/certkit.h"

namespace {

using certkit::SubjectAltName;
using testing_support::ReadFile;
using testing_support::StartedLog;
using Op = ostssl_listener_recorder::Op;

constexpr char kTenant[] = "tenant-a";
constexpr char kHub[] = "192.0.2.1";  // the hub's overlay identity; no traffic goes there

uint32_t Addr(const char* dotted) {
  in_addr a{};
  EXPECT_EQ(inet_pton(AF_INET, dotted, &a), 1);
  return a.s_addr;
}

String S(const std::string& s) { return String(s.data(), static_cast<int>(s.size())); }

std::atomic<uint64_t> g_tick{1000000};
uint64_t TestTick() { return g_tick.load(); }

// Certificates made once for the suite (RSA keys are slow).
class Certs {
 public:
  Certs() {
    char dir[] = "/tmp/ostssl_conn_test.XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    std::string error;
    EXPECT_TRUE(certkit::MakeCa(Path("ca"), {}, &error)) << error;
    Leaf("client", {"client1", {kTenant}, {{SubjectAltName::Kind::kIp, "192.0.2.100"}}});
    Leaf("hub", {"hub1", {kTenant}, {{SubjectAltName::Kind::kIp, kHub}}});
    Leaf("otherhub", {"hub9", {kTenant}, {{SubjectAltName::Kind::kIp, kHub}}});
  }
  ~Certs() { std::filesystem::remove_all(dir_); }
  std::string Path(const std::string& relative) const { return dir_ + "/" + relative; }
  std::string PubKey(const std::string& leaf) const { return ReadFile(Path(leaf + "/pubkey.pem")); }

 private:
  void Leaf(const std::string& name, const certkit::LeafOptions& options) {
    std::string error;
    EXPECT_TRUE(certkit::MakeLeaf(Path("ca"), Path(name), options, &error)) << error;
  }
  std::string dir_;
};

Certs* certs = nullptr;

// A hub on 127.0.0.1 serving TLS or DTLS handshakes on its own thread until
// destroyed. With `flood` it sends application data without pause after
// each handshake, as a peer that keeps sending.
class LoopbackHub {
 public:
  LoopbackHub(bool dtls, const std::string& leaf, bool flood = false) : dtls_(dtls), flood_(flood) {
    ctx_ = SSL_CTX_new(dtls ? DTLS_server_method() : TLS_server_method());
    EXPECT_EQ(SSL_CTX_use_certificate_file(ctx_, certs->Path(leaf + "/cert.pem").c_str(),
                                           SSL_FILETYPE_PEM),
              1);
    EXPECT_EQ(
        SSL_CTX_use_PrivateKey_file(ctx_, certs->Path(leaf + "/key.pem").c_str(), SSL_FILETYPE_PEM),
        1);
    fd_ = socket(AF_INET, dtls ? SOCK_DGRAM : SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    if (!dtls) {
      EXPECT_EQ(listen(fd_, 8), 0);
    }
    socklen_t length = sizeof(addr);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
    port_ = ntohs(addr.sin_port);
    timeval tv{0, 100000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    thread_ = std::thread([this] { Serve(); });
  }
  ~LoopbackHub() {
    stop_ = true;
    thread_.join();
    close(fd_);
    SSL_CTX_free(ctx_);
  }
  int port() const { return port_; }

 private:
  void Serve() {
    while (!stop_) {
      int fd = -1;
      if (dtls_) {
        char byte;
        sockaddr_in from{};
        socklen_t length = sizeof(from);
        if (recvfrom(fd_, &byte, 1, MSG_PEEK, reinterpret_cast<sockaddr*>(&from), &length) < 0) {
          continue;
        }
        connect(fd_, reinterpret_cast<sockaddr*>(&from), length);
        fd = fd_;
      } else {
        fd = accept(fd_, nullptr, nullptr);
        if (fd < 0) continue;
      }
      timeval tv{2, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
      SSL* ssl = SSL_new(ctx_);
      if (dtls_) {
        BIO* bio = BIO_new_dgram(fd, BIO_NOCLOSE);
        SSL_set_bio(ssl, bio, bio);
      } else {
        SSL_set_fd(ssl, fd);
      }
      if (SSL_accept(ssl) == 1) {
        char data[1024] = {};
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        if (flood_) {
          while (!stop_ && std::chrono::steady_clock::now() < until &&
                 SSL_write(ssl, data, sizeof(data)) > 0) {
          }
        } else {
          while (!stop_ && std::chrono::steady_clock::now() < until &&
                 SSL_read(ssl, data, sizeof(data)) > 0) {
          }
        }
      }
      SSL_free(ssl);
      ERR_clear_error();
      if (dtls_) {
        sockaddr_in none{};
        none.sin_family = AF_UNSPEC;
        connect(fd_, reinterpret_cast<sockaddr*>(&none), sizeof(none));
      } else {
        close(fd);
      }
    }
  }

  bool dtls_;
  bool flood_;
  SSL_CTX* ctx_ = nullptr;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A UDP port on loopback that takes datagrams and never answers.
class BlackHoleUdp {
 public:
  BlackHoleUdp() {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    socklen_t length = sizeof(addr);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
    port_ = ntohs(addr.sin_port);
  }
  ~BlackHoleUdp() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A TCP port on loopback whose accept queue is full, so further SYNs are
// dropped: a connect to it waits for its time-out.
class BlackHoleTcp {
 public:
  BlackHoleTcp() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    EXPECT_EQ(listen(fd_, 0), 0);
    socklen_t length = sizeof(addr);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
    port_ = ntohs(addr.sin_port);
    for (int i = 0; i < 3; ++i) {
      int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
      fillers_.push_back(c);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ~BlackHoleTcp() {
    for (int c : fillers_) close(c);
    close(fd_);
  }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

class OstsslConnTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    signal(SIGPIPE, SIG_IGN);
    certs = new Certs;
  }
  static void TearDownTestSuite() {
    delete certs;
    certs = nullptr;
  }

  void SetUp() override {
    cxLogThreshold = CXLOG_DEBUG;
    ostssl::reset_for_testing();
    ostssl::ssl_check_and_set_tenant_id(kTenant);
    ASSERT_TRUE(ostssl::connection_pair().init("connection"));
    ASSERT_TRUE(ostssl::data_pair().init("data"));
    workdir_ = log_.root().path() + "/work/";
    std::string error;
    ASSERT_TRUE(certkit::MakeWorkdir(certs->Path("ca"), certs->Path("client"), workdir_, &error))
        << error;
    set_config_directory(workdir_.c_str());
    ostssl::register_listener(&recorder_);
    set_tick_source(&TestTick);
  }
  void TearDown() override {
    set_tick_source(nullptr);
    ostssl::reset_for_testing();
    set_config_directory(nullptr);
  }

  // Puts a connection to the hub at 127.0.0.1:`port` into ssl_con_tbl.
  void Request(int port, bool tls_only, const std::string& pubkey, const char* local = "127.0.0.1",
               int if_index = 0) {
    ASSERT_TRUE(ostssl::createSSLObject("127.0.0.1", port, kHub, "", "Independent", tls_only,
                                        S(pubkey), 1300, local, 1, if_index));
  }
  std::shared_ptr<ostssl> Connecting(const char* local = "127.0.0.1") {
    return ostssl::ssl_con_tbl().find({IPAddress(Addr("127.0.0.1")), IPAddress(Addr(local))});
  }
  std::shared_ptr<ostssl> Established(const char* local = "127.0.0.1") {
    return ostssl::sslCons().find({IPAddress(Addr("127.0.0.1")), IPAddress(Addr(local))});
  }
  // Runs passes (real time passing between them) until the connection
  // leaves ssl_con_tbl or `limit` passes.
  void Drive(int limit = 200) {
    for (int i = 0; i < limit && ostssl::ssl_con_tbl().size() != 0; ++i) {
      std::vector<int> fds;
      ostssl::ssl_initiate_connect(&fds);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  void Pass() {
    std::vector<int> fds;
    ostssl::ssl_initiate_connect(&fds);
  }
  int Count(Op op) const {
    int n = 0;
    for (const auto& c : recorder_.calls()) n += c.op == op;
    return n;
  }
  bool Logged(const std::string& message) { return log_.text().find(message) != std::string::npos; }

  StartedLog log_{CXLOG_FMT_LEVEL_NUMBER};
  std::string workdir_;
  ostssl_listener_recorder recorder_;
};

// ---- Set-up and handshake

TEST_F(OstsslConnTest, TlsAndDtlsComeUpAndReportThePath) {
  for (bool dtls : {false, true}) {
    SCOPED_TRACE(dtls ? "dtls" : "tls");
    ostssl::sslCons().clear();
    LoopbackHub hub(dtls, "hub");
    Request(hub.port(), !dtls, certs->PubKey("hub"));
    Drive();
    std::shared_ptr<ostssl> conn = Established();
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(conn->state, OSTSSL_CONNECTED);
    EXPECT_TRUE(ostssl::is_tunnel_established(Addr("127.0.0.1"), Addr("127.0.0.1")));
    auto calls = recorder_.calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().op, Op::kConnect);
    EXPECT_EQ(calls.back().path_id, conn->conn_info.path_id);
    EXPECT_NE(calls.back().path_id, 0u);
    EXPECT_EQ(calls.back().protocol_name, dtls ? "DTLS" : "TLS");
    EXPECT_EQ(ostssl::dtls_confirmed(), dtls);
    if (dtls) {
      // Loopback's MTU is larger than the hint, which stays.
      EXPECT_EQ(conn->path_mtu, 1300);
    } else {
      int mss = 0;
      socklen_t len = sizeof(mss);
      ASSERT_EQ(getsockopt(conn->sock, IPPROTO_TCP, TCP_MAXSEG, &mss, &len), 0);
      // The segment size as read right after the connect; the kernel may
      // trim it by the option space later.
      EXPECT_NE(conn->path_mtu, 1300);
      EXPECT_LE(std::abs(static_cast<int>(conn->path_mtu) - mss), 64);
    }
    // The SSL object offers no suite without encryption.
    STACK_OF(SSL_CIPHER)* offered = SSL_get1_supported_ciphers(conn->ssl);
    for (int i = 0; i < sk_SSL_CIPHER_num(offered); ++i) {
      EXPECT_STRNE(SSL_CIPHER_get_name(sk_SSL_CIPHER_value(offered, i)), "NULL-SHA");
      EXPECT_EQ(std::string(SSL_CIPHER_get_name(sk_SSL_CIPHER_value(offered, i))).find("NULL"),
                std::string::npos);
    }
    sk_SSL_CIPHER_free(offered);
    conn->deprovision_tunnel();
    ostssl::sslCons().erase({IPAddress(Addr("127.0.0.1")), IPAddress(Addr("127.0.0.1"))});
    EXPECT_FALSE(ostssl::is_tunnel_established(Addr("127.0.0.1"), Addr("127.0.0.1")));
  }
}

TEST_F(OstsslConnTest, HubWithAnotherKeyIsRefused) {
  LoopbackHub hub(false, "otherhub");
  Request(hub.port(), true, certs->PubKey("hub"));
  Drive(3);
  EXPECT_EQ(Established(), nullptr);
  EXPECT_EQ(Count(Op::kConnect), 0);
  EXPECT_GE(Count(Op::kTimeout), 1);
  EXPECT_TRUE(Logged("Connection need to be reset"));
}

struct SetupFailureRow {
  const char* name;
  const char* local;
  const char* line;
};

TEST_F(OstsslConnTest, SetupFailuresEndTheAttemptAtOnce) {
  // A TCP port nothing listens on: take one and close it.
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  socklen_t length = sizeof(addr);
  getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &length);
  const int closed_port = ntohs(addr.sin_port);
  close(probe);

  const SetupFailureRow rows[] = {
      {"refusing port", "127.0.0.1", "Failed to connect to (127.0.0.1->127.0.0.1:"},
      {"address not on the host", "192.0.2.77", "bind failed error 99"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ostssl::ssl_con_tbl().clear();
    Request(closed_port, true, certs->PubKey("hub"), row.local);
    auto start = std::chrono::steady_clock::now();
    Pass();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(Logged(row.line));
    auto conn = Connecting(row.local);
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(conn->state, OSTSSL_NOT_INITIALIZED);
    EXPECT_EQ(conn->sock, -1);
  }
}

TEST_F(OstsslConnTest, UnansweredTcpConnectFailsAfterFiveSeconds) {
  BlackHoleTcp hole;
  Request(hole.port(), true, certs->PubKey("hub"));
  g_tick.store(0);
  set_tick_source(nullptr);  // the connect's own wait is measured on the real tick
  auto start = std::chrono::steady_clock::now();
  Pass();
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(4900));
  EXPECT_LT(took, std::chrono::milliseconds(7000));
  EXPECT_TRUE(Logged("err: 110"));
  EXPECT_EQ(Count(Op::kTimeout), 1);
}

// ---- Connect pass: time-outs and fallback

TEST_F(OstsslConnTest, SilentDtlsFallsBackToTlsWithoutCallbackThenTlsFailureCallsBack) {
  BlackHoleUdp hole;
  Request(hole.port(), false, certs->PubKey("hub"));
  Pass();
  auto conn = Connecting();
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(conn->state, OSTSSL_CONNECTING);
  g_tick += 15000;  // exactly 15 s is still within the limit
  Pass();
  EXPECT_EQ(conn->protocol, OSTSSL_PROTO_DTLS);
  EXPECT_EQ(conn->state, OSTSSL_CONNECTING);
  g_tick += 1000;
  Pass();
  EXPECT_EQ(conn->protocol, OSTSSL_PROTO_TLS);
  EXPECT_EQ(conn->state, OSTSSL_NOT_INITIALIZED);
  EXPECT_EQ(Count(Op::kTimeout), 0);
  EXPECT_TRUE(Logged("Fallback to TLS"));
  // Nothing listens on that TCP port: TLS fails at once and DTLS comes back.
  Pass();
  EXPECT_EQ(conn->protocol, OSTSSL_PROTO_DTLS);
  EXPECT_EQ(Count(Op::kTimeout), 1);
  EXPECT_TRUE(Logged("Fallback to DTLS"));
}

TEST_F(OstsslConnTest, ConfirmedDtlsAndTlsOnlyNeverSwitch) {
  BlackHoleUdp hole;
  struct Row {
    const char* name;
    bool tls_only;
    bool confirmed;
    int protocol;
    int timeouts;  // TCP to the UDP-only port is refused at once: every pass fails
  } rows[] = {{"dtls confirmed", false, true, OSTSSL_PROTO_DTLS, 2},
              {"tls only", true, false, OSTSSL_PROTO_TLS, 4}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ostssl::ssl_con_tbl().clear();
    ostssl::set_dtls_confirmed(row.confirmed);
    const int before = Count(Op::kTimeout);
    Request(hole.port(), row.tls_only, certs->PubKey("hub"));
    auto conn = Connecting();
    for (int attempt = 0; attempt < 2; ++attempt) {
      Pass();
      g_tick += 16000;
      Pass();
      EXPECT_EQ(conn->protocol, row.protocol);
    }
    EXPECT_EQ(Count(Op::kTimeout) - before, row.timeouts);
  }
}

// ---- Tear-down

TEST_F(OstsslConnTest, TearDownTable) {
  LoopbackHub hub(false, "hub");
  Request(hub.port(), true, certs->PubKey("hub"));
  Drive();
  std::shared_ptr<ostssl> up = Established();
  ASSERT_NE(up, nullptr);
  const OstRemoteWANIPLocalIPPair up_key{IPAddress(Addr("127.0.0.1")),
                                         IPAddress(Addr("127.0.0.1"))};

  // A pair only being set up is not torn down by the per-pair call.
  auto pending = ostssl::create();
  pending->remote_host = "127.0.0.2";
  pending->remote_wan_ip = Addr("127.0.0.2");
  pending->local_addr = "127.0.0.1";
  pending->peer_overlay_ip = Addr(kHub);
  const OstRemoteWANIPLocalIPPair pending_key{IPAddress(Addr("127.0.0.2")),
                                              IPAddress(Addr("127.0.0.1"))};
  ostssl::ssl_con_tbl().insert(pending_key, pending);
  ostssl::ssl_deprovision_tunnel_to_peer(pending_key);
  EXPECT_TRUE(Logged("tunnel is not established to peer 127.0.0.2-127.0.0.1"));
  EXPECT_NE(ostssl::ssl_con_tbl().find(pending_key), nullptr);

  // Tearing down one that never completed: no close callback.
  pending->deprovision_tunnel();
  EXPECT_EQ(Count(Op::kClosed), 0);
  EXPECT_TRUE(
      Logged("tunnel state (OSTSSL_NOT_INITIALIZED) is not connected for pair "
             "(127.0.0.1->127.0.0.2)"));

  // The established one: close callback, socket gone, out of sslCons.
  ostssl::ssl_deprovision_tunnel_to_peer(up_key);
  EXPECT_EQ(Count(Op::kClosed), 1);
  EXPECT_EQ(up->sock, -1);
  EXPECT_EQ(up->closed.load(), 1);
  EXPECT_EQ(up->state, OSTSSL_NOT_INITIALIZED);
  EXPECT_EQ(ostssl::sslCons().find(up_key), nullptr);
  EXPECT_FALSE(ostssl::is_tunnel_established(Addr("127.0.0.1"), Addr("127.0.0.1")));
}

TEST_F(OstsslConnTest, DisconnectByPeerTakesOneLinkPerTablePerCall) {
  // One peer over two interfaces, in each table.
  const char* locals[] = {"10.9.0.1", "10.9.0.2"};
  for (auto* table : {&ostssl::ssl_con_tbl(), &ostssl::sslCons()}) {
    for (const char* local : locals) {
      auto c = ostssl::create();
      c->remote_host = table == &ostssl::sslCons() ? "198.51.100.1" : "198.51.100.1";
      c->remote_wan_ip = Addr("198.51.100.1");
      c->local_addr = local;
      c->peer_overlay_ip = Addr(kHub);
      table->insert({IPAddress(c->remote_wan_ip), IPAddress(Addr(local))}, c);
    }
  }
  const uint32_t wan = Addr("198.51.100.1"), overlay = Addr(kHub);
  ostssl::ssl_disconnect_from_peer(&wan, &overlay, false);
  EXPECT_EQ(ostssl::ssl_con_tbl().size(), 1u);
  EXPECT_EQ(ostssl::sslCons().size(), 1u);
  const uint32_t any = 0;
  ostssl::ssl_disconnect_from_peer(&any, &overlay, false);
  EXPECT_EQ(ostssl::ssl_con_tbl().size(), 0u);
  EXPECT_EQ(ostssl::sslCons().size(), 0u);
}

TEST_F(OstsslConnTest, HubGroupRule) {
  auto add = [](ssl_conn_table& table, const char* wan, const char* hub, const char* group) {
    auto c = ostssl::create();
    c->remote_host = wan;
    c->remote_wan_ip = Addr(wan);
    c->local_addr = "10.9.0.1";
    c->peer_overlay_ip = Addr(hub);
    c->hubgrp_id = group;
    table.insert({IPAddress(c->remote_wan_ip), IPAddress(Addr("10.9.0.1"))}, c);
  };
  // An empty group id always refuses a secondary (and a primary goes ahead).
  EXPECT_TRUE(ostssl::check_and_clean_hubgrp_connection("", "", "10.1.1.1", "198.51.100.1", false));
  add(ostssl::ssl_con_tbl(), "198.51.100.2", "10.1.1.2", "g1");
  add(ostssl::sslCons(), "198.51.100.3", "10.1.1.3", "g1");
  add(ostssl::sslCons(), "198.51.100.4", "10.1.1.4", "g2");
  // A secondary of g1 is refused while other hubs of g1 are there.
  EXPECT_TRUE(
      ostssl::check_and_clean_hubgrp_connection("g1", "G1", "10.1.1.1", "198.51.100.1", false));
  EXPECT_EQ(ostssl::ssl_con_tbl().size() + ostssl::sslCons().size(), 3u);
  // The same hub's own links do not count against it.
  EXPECT_FALSE(
      ostssl::check_and_clean_hubgrp_connection("g1", "G1", "10.1.1.2", "198.51.100.2", false) &&
      ostssl::sslCons().size() == 0);
  // A primary clears the other hubs of its group from both tables, not g2.
  EXPECT_FALSE(
      ostssl::check_and_clean_hubgrp_connection("g1", "G1", "10.1.1.1", "198.51.100.1", true));
  EXPECT_EQ(ostssl::ssl_con_tbl().size(), 0u);
  EXPECT_EQ(ostssl::sslCons().size(), 1u);
  EXPECT_TRUE(Logged("found in Connected state on Interface: 0"));
}

TEST_F(OstsslConnTest, ShutdownAgainstAPeerThatKeepsSendingReturns) {
  LoopbackHub hub(false, "hub", /*flood=*/true);
  Request(hub.port(), true, certs->PubKey("hub"));
  Drive();
  std::shared_ptr<ostssl> up = Established();
  ASSERT_NE(up, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let data pile up
  auto start = std::chrono::steady_clock::now();
  up->ssl_shutdown();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_TRUE(Logged("Exit SSL shutdown"));
  up->deprovision_tunnel();
}

// Requests from another thread go to the connect thread's queue and return
// at once, even while it waits on a TCP connect; they run there in order.
TEST_F(OstsslConnTest, RequestsOffTheConnectThreadAreQueued) {
  BlackHoleTcp hole;
  set_tick_source(nullptr);
  Request(hole.port(), true, certs->PubKey("hub"));
  ASSERT_EQ(ostssl::init_openssl(), 0);
  ostssl::connection_pair().wakeupserver();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // inside the connect wait now
  const uint32_t wan = Addr("127.0.0.1"), overlay = Addr(kHub);
  auto start = std::chrono::steady_clock::now();
  ostssl::disconnect_all_peers(false);
  ostssl::ssl_connect_to_peer(true, hole.port(), S(certs->PubKey("hub")), &wan, &overlay, "", "",
                              true);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  // The queue holds 256 requests; one equal to the last queued is not added
  // again, and one past the limit is refused with a line.
  auto pair = [](int n) {
    return OstRemoteWANIPLocalIPPair{IPAddress(htonl(0xC6336400u + static_cast<uint32_t>(n))),
                                     IPAddress(Addr("127.0.0.1"))};
  };
  ostssl::ssl_deprovision_tunnel_to_peer(pair(0));
  ostssl::ssl_deprovision_tunnel_to_peer(pair(0));
  for (int n = 1; n <= 300; ++n) ostssl::ssl_deprovision_tunnel_to_peer(pair(n));
  const std::string disconnect = "Disconnecting (all) peers";
  const std::string connect = "Connect request received for Independent hub 127.0.0.1";
  for (int i = 0; i < 400 && !Logged(connect); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const std::string text = log_.text();
  ASSERT_NE(text.find(disconnect), std::string::npos);
  ASSERT_NE(text.find(connect), std::string::npos);
  EXPECT_LT(text.find(disconnect), text.find(connect));
  // 2 requests above, then 254 of the per-pair ones (the duplicate not counted).
  for (int i = 0; i < 100 && !Logged("tunnel is not established to peer 198.51.100.253-"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const std::string after = log_.text();
  size_t runs = 0;
  for (size_t at = after.find("tunnel is not established to peer"); at != std::string::npos;
       at = after.find("tunnel is not established to peer", at + 1)) {
    ++runs;
  }
  EXPECT_EQ(runs, 254u);
  EXPECT_TRUE(Logged("Connect thread request queue full (256)"));
  ostssl::reset_for_testing();
}

}  // namespace
