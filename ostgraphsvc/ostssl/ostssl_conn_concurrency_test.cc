// Four threads issue connect and disconnect requests for 10 s while the
// connect thread sets connections up against a TLS server of the test's
// own, in a network namespace the test makes (a veth carrying the default
// route, so the interface list has one entry and the server is reached
// through it). Meant for ThreadSanitizer: the request queue, the tables, the
// key copy behind is_tunnel_established and the listener calls all meet
// here. Needs root; skipped otherwise.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "graph/confparse.h"
#include "graph/ipaddress.h"
#include "ostgraphsvc/ostssl/ostssl.h"
#include "ostgraphsvc/ostssl/ostssl_listener_recorder.h"
#include "tests/support/netns.h"
#include "tests/support/started_log.h"
#include "tools/certkit/certkit.h"

namespace {

constexpr char kTenant[] = "tenant-a";
constexpr char kHubOverlay[] = "10.0.0.1";
constexpr char kAddress[] = "10.66.0.1";

TEST(OstsslConnConcurrencyTest, RequestsFromFourThreadsWhileTheConnectThreadRuns) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
  signal(SIGPIPE, SIG_IGN);
  testing_support::StartedLog log(CXLOG_FMT_LEVEL_NUMBER);
  const std::string dir = log.root().path() + "/certs";
  std::string error;
  ASSERT_TRUE(certkit::MakeCa(dir + "/ca", {}, &error)) << error;
  ASSERT_TRUE(certkit::MakeLeaf(
      dir + "/ca", dir + "/hub",
      {"hub", {kTenant}, {{certkit::SubjectAltName::Kind::kIp, kHubOverlay}}}, &error))
      << error;
  ASSERT_TRUE(certkit::MakeLeaf(dir + "/ca", dir + "/client", {"client", {kTenant}, {}}, &error))
      << error;
  const std::string workdir = dir + "/work/";
  ASSERT_TRUE(certkit::MakeWorkdir(dir + "/ca", dir + "/client", workdir, &error)) << error;
  const std::string pubkey = testing_support::ReadFile(dir + "/hub/pubkey.pem");

  testing_support::TestNetns ns("osslconc");
  ASSERT_TRUE(ns.created());
  ASSERT_TRUE(ns.Ip({"link", "set", "lo", "up"}));
  ASSERT_TRUE(ns.Ip({"link", "add", "v0", "type", "veth", "peer", "name", "v1"}));
  ASSERT_TRUE(ns.Ip({"addr", "add", std::string(kAddress) + "/24", "dev", "v0"}));
  ASSERT_TRUE(ns.Ip({"link", "set", "v0", "up"}));
  ASSERT_TRUE(ns.Ip({"link", "set", "v1", "up"}));
  ASSERT_TRUE(ns.Ip({"route", "add", "default", "via", "10.66.0.2", "dev", "v0"}));

  ostssl::reset_for_testing();
  ostssl::ssl_check_and_set_tenant_id(kTenant);
  set_config_directory(workdir.c_str());
  ostssl_listener_recorder recorder;
  ostssl::register_listener(&recorder);

  // The TLS server: one handshake at a time, connections kept until the end.
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  ASSERT_EQ(SSL_CTX_use_certificate_file(ctx, (dir + "/hub/cert.pem").c_str(), SSL_FILETYPE_PEM),
            1);
  ASSERT_EQ(SSL_CTX_use_PrivateKey_file(ctx, (dir + "/hub/key.pem").c_str(), SSL_FILETYPE_PEM), 1);
  std::atomic<bool> stop{false};
  std::atomic<int> port{0};
  std::thread server;
  ASSERT_TRUE(ns.RunInside([&] {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = inet_addr(kAddress);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 64) != 0) {
      close(fd);
      return;
    }
    socklen_t length = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    port = ntohs(addr.sin_port);
    // Threads made here stay in the namespace.
    server = std::thread([&, fd] {
      std::vector<std::pair<SSL*, int>> kept;
      while (!stop) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        int c = accept(fd, nullptr, nullptr);
        if (c < 0) continue;
        timeval tv{1, 0};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
        SSL* ssl = SSL_new(ctx);
        SSL_set_fd(ssl, c);
        SSL_accept(ssl);
        ERR_clear_error();
        kept.emplace_back(ssl, c);
      }
      for (auto& [ssl, c] : kept) {
        SSL_free(ssl);
        close(c);
      }
      close(fd);
    });
    // The connect thread starts here and so runs in the namespace too.
    ostssl::init_openssl();
  }));
  ASSERT_NE(port.load(), 0);

  const uint32_t wan = inet_addr(kAddress);
  const uint32_t overlay = inet_addr(kHubOverlay);
  const OstRemoteWANIPLocalIPPair key{IPAddress(wan), IPAddress(wan)};
  std::atomic<int> established_seen{0};
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      const String key_text(pubkey.data(), static_cast<int>(pubkey.size()));
      while (std::chrono::steady_clock::now() < until) {
        switch (rng() % 6) {
          case 0:
          case 1:
            ostssl::ssl_connect_to_peer(true, port, key_text, &wan, &overlay, "", "", true);
            break;
          case 2:
            ostssl::ssl_disconnect_from_peer(&wan, &overlay, rng() % 2 == 0);
            break;
          case 3:
            ostssl::disconnect_all_peers(rng() % 2 == 0);
            break;
          case 4:
            ostssl::ssl_deprovision_tunnel_to_peer(key);
            break;
          default:
            if (ostssl::is_tunnel_established(wan, wan)) ++established_seen;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1 + rng() % 20));
      }
    });
  }
  for (auto& w : workers) w.join();
  // A last request settles the state: the peer ends up connected.
  ostssl::ssl_connect_to_peer(true, port, String(pubkey.data(), static_cast<int>(pubkey.size())),
                              &wan, &overlay, "", "", true);
  for (int i = 0; i < 200 && !ostssl::is_tunnel_established(wan, wan); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  EXPECT_TRUE(ostssl::is_tunnel_established(wan, wan));
  ostssl::reset_for_testing();
  stop = true;
  server.join();
  SSL_CTX_free(ctx);
  set_config_directory(nullptr);

  int connects = 0, closes = 0;
  for (const auto& c : recorder.calls()) {
    connects += c.op == ostssl_listener_recorder::Op::kConnect;
    closes += c.op == ostssl_listener_recorder::Op::kClosed;
  }
  EXPECT_GT(connects, 1);
  EXPECT_GT(closes, 0);
  EXPECT_LE(closes, connects);
}

}  // namespace
