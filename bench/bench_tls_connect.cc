// A connection from request to on_ostssl_connect over loopback (local address
// 127.0.0.1), TLS and DTLS, against a bare blocking OpenSSL handshake with the
// same server in the same run. Ours: a new connection in ssl_con_tbl, connect
// passes with the socket waited on between them (as the connect thread does)
// until the listener hears of it, then its tear-down. Targets: at most 1.3x
// (TLS) and 1.5x (DTLS) the bare handshake. Certificates come from certkit in
// a temporary folder; the server is a thread serving one handshake at a time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/ratio_reporter.h"
#include "client/lib/cxLog/cxLog.h"
#include "graph/confparse.h"
#include "graph/ipaddress.h"
#include "ostgraphsvc/ostssl/ostssl.h"
#include "tools/certkit/certkit.h"

namespace {

constexpr char kHub[] = "192.0.2.1";  // the hub's overlay identity
constexpr char kTenant[] = "tenant-a";

std::string g_dir;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// One handshake at a time on 127.0.0.1, TLS or DTLS, until destroyed.
class Server {
 public:
  explicit Server(bool dtls) : dtls_(dtls) {
    ctx_ = SSL_CTX_new(dtls ? DTLS_server_method() : TLS_server_method());
    SSL_CTX_use_certificate_file(ctx_, (g_dir + "/hub/cert.pem").c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx_, (g_dir + "/hub/key.pem").c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_OFF);
    fd_ = socket(AF_INET, dtls ? SOCK_DGRAM : SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // A port the kernel picked is given up when a UDP socket disconnects:
    // pick one with a probe socket, then bind to it by number.
    int probe = socket(AF_INET, dtls ? SOCK_DGRAM : SOCK_STREAM, 0);
    bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t length = sizeof(addr);
    getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &length);
    close(probe);
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    if (!dtls) listen(fd_, 64);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~Server() {
    stop_ = true;
    thread_.join();
    close(fd_);
    SSL_CTX_free(ctx_);
  }
  int port() const { return port_; }
  // Waits until the server is done with every connection so far: a DTLS
  // server on one socket takes the next client only after that.
  void WaitIdle(int connections) const {
    while (served_.load() < connections && !stop_) std::this_thread::yield();
  }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int fd = fd_;
      if (dtls_) {
        char byte;
        sockaddr_in from{};
        socklen_t length = sizeof(from);
        if (recvfrom(fd_, &byte, 1, MSG_PEEK, reinterpret_cast<sockaddr*>(&from), &length) < 0) {
          continue;
        }
        connect(fd_, reinterpret_cast<sockaddr*>(&from), length);
      } else {
        fd = accept(fd_, nullptr, nullptr);
        if (fd < 0) continue;
      }
      timeval tv{2, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
      SSL* ssl = SSL_new(ctx_);
      if (dtls_) {
        BIO* bio = BIO_new_dgram(fd, BIO_NOCLOSE);
        SSL_set_bio(ssl, bio, bio);
      } else {
        SSL_set_fd(ssl, fd);
      }
      int accepted = SSL_accept(ssl);
      if (accepted != 1 && std::getenv("BENCH_TLS_LOG") != nullptr) {
        char text[256];
        ERR_error_string_n(ERR_peek_last_error(), text, sizeof(text));
        std::fprintf(stderr, "server: accept %d: %s\n", SSL_get_error(ssl, accepted), text);
      }
      if (accepted == 1) {
        // Until the client's close notification (or its socket's end).
        char data[256];
        while (SSL_read(ssl, data, sizeof(data)) > 0) {
        }
      }
      SSL_free(ssl);
      ERR_clear_error();
      if (dtls_) {
        sockaddr_in none{};
        none.sin_family = AF_UNSPEC;
        connect(fd_, reinterpret_cast<sockaddr*>(&none), sizeof(none));
        // Drop what the old client left queued.
        char drain[2048];
        while (recv(fd_, drain, sizeof(drain), MSG_DONTWAIT) > 0) {
        }
      } else {
        close(fd);
      }
      ++served_;
    }
  }

  bool dtls_;
  SSL_CTX* ctx_ = nullptr;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> served_{0};
  std::thread thread_;
};

class Listener final : public ostssl_listener {
 public:
  bool on_ostssl_read(ostssl_conn_info*) override { return true; }
  bool on_ostssl_closed(ostssl_conn_info*) override { return true; }
  bool on_ostssl_timeout(ostssl_conn_info*) override {
    ++timeouts;
    return true;
  }
  bool on_ostssl_connect(ostssl_conn_info*) override {
    ++connects;
    return true;
  }
  int on_ostssl_sock_closed(ostssl_conn_info*) override { return 0; }
  int connects = 0;
  int timeouts = 0;
};

void BM_Ours(benchmark::State& state) {
  const bool dtls = state.range(0) == 1;
  Server server(dtls);
  Listener listener;
  ostssl::reset_for_testing();
  ostssl::ssl_check_and_set_tenant_id(kTenant);
  ostssl::connection_pair().init("connection");
  ostssl::data_pair().init("data");
  ostssl::register_listener(&listener);
  const std::string key = ReadAll(g_dir + "/hub/pubkey.pem");
  const String key_text(key.data(), static_cast<int>(key.size()));
  const OstRemoteWANIPLocalIPPair pair{IPAddress(inet_addr("127.0.0.1")),
                                       IPAddress(inet_addr("127.0.0.1"))};
  for (auto _ : state) {
    const int before = listener.connects;
    ostssl::createSSLObject("127.0.0.1", server.port(), kHub, "", "Independent", !dtls, key_text,
                            1300, "127.0.0.1", 1, 0);
    while (listener.connects == before && listener.timeouts == 0) {
      std::vector<int> fds;
      ostssl::ssl_initiate_connect(&fds);
      if (listener.connects != before) break;
      std::vector<pollfd> polls;
      for (int fd : fds) polls.push_back(pollfd{fd, POLLIN, 0});
      poll(polls.data(), polls.size(), 1000);
    }
    if (listener.timeouts != 0) {
      state.SkipWithError("handshake failed");
      break;
    }
    ostssl::ssl_deprovision_tunnel_to_peer(pair);
    server.WaitIdle(listener.connects);
  }
  ostssl::reset_for_testing();
}

void BM_BareHandshake(benchmark::State& state) {
  const bool dtls = state.range(0) == 1;
  Server server(dtls);
  SSL_CTX* ctx = SSL_CTX_new(dtls ? DTLS_client_method() : TLS_client_method());
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(server.port()));
  int done = 0;
  for (auto _ : state) {
    int fd = socket(AF_INET, dtls ? SOCK_DGRAM : SOCK_STREAM, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    SSL* ssl = SSL_new(ctx);
    if (dtls) {
      BIO* bio = BIO_new_dgram(fd, BIO_NOCLOSE);
      BIO_ctrl(bio, BIO_CTRL_DGRAM_SET_CONNECTED, 0, &addr);
      SSL_set_bio(ssl, bio, bio);
    } else {
      SSL_set_fd(ssl, fd);
    }
    const int connected = SSL_connect(ssl);
    if (connected != 1) {
      char text[256];
      ERR_error_string_n(ERR_peek_last_error(), text, sizeof(text));
      std::fprintf(stderr, "bare handshake %d: %d %s errno %d\n", done,
                   SSL_get_error(ssl, connected), text, errno);
      state.SkipWithError("bare handshake failed");
      SSL_free(ssl);
      close(fd);
      break;
    }
    SSL_shutdown(ssl);
    SSL_free(ssl);
    close(fd);
    server.WaitIdle(++done);
  }
  SSL_CTX_free(ctx);
}

BENCHMARK(BM_Ours)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareHandshake)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  cxLogThreshold = CXLOG_ERROR;
  if (std::getenv("BENCH_TLS_LOG") != nullptr) {
    cxLogOutput = CXLOG_OUTPUT_STDERR;
    cxLogThreshold = CXLOG_DEBUG;
  }
  char dir[] = "/tmp/bench_tls_connect.XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  g_dir = dir;
  std::string error;
  bool made =
      certkit::MakeCa(g_dir + "/ca", {}, &error) &&
      certkit::MakeLeaf(g_dir + "/ca", g_dir + "/hub",
                        {"hub", {kTenant}, {{certkit::SubjectAltName::Kind::kIp, kHub}}}, &error) &&
      certkit::MakeLeaf(g_dir + "/ca", g_dir + "/client", {"client", {kTenant}, {}}, &error) &&
      certkit::MakeWorkdir(g_dir + "/ca", g_dir + "/client", g_dir + "/work/", &error);
  if (!made) {
    std::fprintf(stderr, "certificates: %s\n", error.c_str());
    return 1;
  }
  const std::string work = g_dir + "/work/";
  set_config_directory(work.c_str());
  int rc = bench::RunWithRatios(argc, argv,
                                {{"BM_Ours/0/real_time", "BM_BareHandshake/0/real_time"},
                                 {"BM_Ours/1/real_time", "BM_BareHandshake/1/real_time"}});
  std::filesystem::remove_all(g_dir);
  return rc;
}
