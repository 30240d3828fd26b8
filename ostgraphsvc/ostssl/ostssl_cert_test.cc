// The peer checks in real TLS handshakes over loopback: a server thread in
// the test presents certkit certificates, and the client side is a
// connection set up the way the transport does it (client certificate,
// trust store, verify callback on the SSL object).
#include "ostgraphsvc/ostssl/ostssl_cert.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

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
#include "platform/registry/registry.h"
#include "tests/support/registry_values.h"
#include "tests/support/started_log.h"
#include "tests/support/temp_root.h"
#include "tools/certkit/certkit.h"

namespace {

using certkit::KeyType;
using certkit::LeafOptions;
using certkit::SubjectAltName;
using testing_support::ReadFile;
using testing_support::StartedLog;
using testing_support::WriteFile;

constexpr char kPinKey[] = "SOFTWARE\\corvextarn";
constexpr char kTenant[] = "tenant-a";

SubjectAltName Ip(const char* text) { return {SubjectAltName::Kind::kIp, text}; }
SubjectAltName Dns(const char* text) { return {SubjectAltName::Kind::kDns, text}; }

uint32_t Addr(const char* dotted) {
  in_addr a{};
  EXPECT_EQ(inet_pton(AF_INET, dotted, &a), 1);
  return a.s_addr;
}

void SetTimeouts(int fd) {
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

// A TLS server on 127.0.0.1 that serves one handshake on its own thread,
// presenting `chain_file` (leaf first) and asking for a client certificate.
class OneShotTlsServer {
 public:
  OneShotTlsServer(const std::string& chain_file, const std::string& key_file) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    EXPECT_EQ(SSL_CTX_use_certificate_chain_file(ctx_, chain_file.c_str()), 1);
    EXPECT_EQ(SSL_CTX_use_PrivateKey_file(ctx_, key_file.c_str(), SSL_FILETYPE_PEM), 1);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    EXPECT_EQ(listen(listener_, 1), 0);
    socklen_t length = sizeof(addr);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~OneShotTlsServer() {
    if (thread_.joinable()) thread_.join();
    close(listener_);
    SSL_CTX_free(ctx_);
  }

  uint16_t port() const { return port_; }
  // Waits for the handshake's end; true when the client sent a certificate.
  bool ClientSentCertificate() {
    if (thread_.joinable()) thread_.join();
    return client_cert_;
  }

 private:
  void Serve() {
    int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    SetTimeouts(fd);
    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
      client_cert_ = SSL_get0_peer_certificate(ssl) != nullptr;
      SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    close(fd);
    ERR_clear_error();
  }

  SSL_CTX* ctx_ = nullptr;
  int listener_ = -1;
  uint16_t port_ = 0;
  bool client_cert_ = false;
  std::thread thread_;
};

// Certificates shared by every test: made once, since RSA keys are slow.
class Certs {
 public:
  Certs() {
    char dir[] = "/tmp/ostssl_cert_test.XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    std::string error;
    EXPECT_TRUE(certkit::MakeCa(Path("ca"), {}, &error)) << error;
    EXPECT_TRUE(certkit::MakeCa(Path("otherca"), {}, &error)) << error;
    EXPECT_TRUE(certkit::MakeCa(Path("expiredca"), {Path("ca"), true}, &error)) << error;
    Leaf("ca", "client", {"client1", {kTenant}, {Ip("192.0.2.100")}});
    Leaf("ca", "hub1", {"hub1", {kTenant}, {Ip("192.0.2.1")}});
    Leaf("ca", "hub2", {"hub2", {kTenant}, {Ip("192.0.2.2")}});
    Leaf("ca", "other", {"other", {kTenant}, {Ip("192.0.2.9")}});
    Leaf("ca", "dnsonly", {"hub1", {kTenant}, {Dns("hub1.example")}});
    Leaf("otherca", "orphan", {"hub1", {kTenant}, {Ip("192.0.2.1")}});
    LeafOptions ca_flag{"hub1", {kTenant}, {Ip("192.0.2.1")}};
    ca_flag.ca_flag = true;
    Leaf("ca", "caflag", ca_flag);
    Leaf("expiredca", "underexpired", {"hub1", {kTenant}, {Ip("192.0.2.1")}});
    Leaf("ca", "oucase", {"hub1", {"Tenant-A"}, {Ip("192.0.2.1")}});
    LeafOptions p256{"hub1", {kTenant}, {Ip("192.0.2.1")}};
    p256.key = KeyType::kP256;
    Leaf("ca", "p256", p256);
    Leaf("ca", "v6first", {"hub1", {kTenant}, {Ip("2001:db8::1"), Ip("192.0.2.1")}});
    Leaf("ca", "dotdot", {"../x", {kTenant}, {Ip("192.0.2.1")}});
    // The intermediate goes with the leaf, as a hub sends its chain.
    WriteFile(Path("underexpired/chain.pem"),
              ReadFile(Path("underexpired/cert.pem")) + ReadFile(Path("expiredca/ca.pem")));
  }
  ~Certs() { std::filesystem::remove_all(dir_); }

  std::string Path(const std::string& relative) const { return dir_ + "/" + relative; }
  std::string PubKey(const std::string& leaf) const { return ReadFile(Path(leaf + "/pubkey.pem")); }

 private:
  void Leaf(const std::string& ca, const std::string& name, const LeafOptions& options) {
    std::string error;
    EXPECT_TRUE(certkit::MakeLeaf(Path(ca), Path(name), options, &error)) << name << ": " << error;
  }

  std::string dir_;
};

Certs* certs = nullptr;

class OstsslCertTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // A refused handshake leaves one side writing to a closed socket.
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
    workdir_ = log_.root().path() + "/work/";
    std::string error;
    ASSERT_TRUE(
        certkit::MakeWorkdir(certs->Path("ca"), certs->Path("client"), workdir_, &error))
        << error;
    set_config_directory(workdir_.c_str());
  }
  void TearDown() override {
    ostssl::reset_for_testing();
    set_config_directory(nullptr);
  }

  // A connection to peer `peer` configured with `pubkey`, as the connect
  // request leaves it.
  static std::shared_ptr<ostssl> Conn(const char* peer, const std::string& pubkey) {
    std::shared_ptr<ostssl> conn = ostssl::create();
    conn->peer_overlay_ip = Addr(peer);
    conn->peer_pubkey = String(pubkey.data(), static_cast<int>(pubkey.size()));
    conn->protocol = OSTSSL_PROTO_TLS;
    return conn;
  }

  // SSL context and object made as the transport makes them.
  bool Prepare(ostssl& conn) {
    conn.ssl_ctx = SSL_CTX_new(TLS_client_method());
    if (conn.ssl_ctx == nullptr) return false;
    SSL_CTX_set_cipher_list(conn.ssl_ctx, kOstsslCipherList);
    SSL_CTX_set_client_cert_cb(conn.ssl_ctx, client_cert_cb);
    conn.ssl = SSL_new(conn.ssl_ctx);
    if (conn.set_client_cert() != 0) return false;
    const std::string ca = workdir_ + "secret/cacert.pem";
    if (SSL_CTX_load_verify_locations(conn.ssl_ctx, ca.c_str(), nullptr) != 1) return false;
    return conn.install_peer_verify() == 0;
  }

  // One handshake of `conn` against a server presenting `leaf`; true when
  // it completed (the client accepted the peer).
  bool Handshake(ostssl& conn, const std::string& leaf, bool* client_cert_seen = nullptr) {
    const std::string chain = std::filesystem::exists(certs->Path(leaf + "/chain.pem"))
                                  ? certs->Path(leaf + "/chain.pem")
                                  : certs->Path(leaf + "/cert.pem");
    OneShotTlsServer server(chain, certs->Path(leaf + "/key.pem"));
    EXPECT_TRUE(Prepare(conn));
    conn.sock = socket(AF_INET, SOCK_STREAM, 0);
    SetTimeouts(conn.sock);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(server.port());
    EXPECT_EQ(connect(conn.sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    SSL_set_fd(conn.ssl, conn.sock);
    ERR_clear_error();
    const bool done = SSL_connect(conn.ssl) == 1;
    ERR_clear_error();
    if (done) SSL_shutdown(conn.ssl);
    // The server ends when the client has accepted or refused it.
    shutdown(conn.sock, SHUT_RDWR);
    const bool seen = server.ClientSentCertificate();
    if (client_cert_seen != nullptr) *client_cert_seen = seen;
    return done;
  }

  bool Logged(const std::string& message) {
    return log_.text().find(" " + message + "\n") != std::string::npos;
  }
  std::string Pins() const { return log_.root().path() + "/pins"; }
  void PinningOn() {
    uint32_t on = 1;
    testing_support::SetRegValue(kPinKey, "gatewaycertpinning", platform::registry::kRegDword, &on,
                                 sizeof(on));
    testing_support::SetRegText(kPinKey, "gatewaycertpath", Pins());
    std::filesystem::create_directories(Pins());
  }

  StartedLog log_{CXLOG_FMT_LEVEL_NUMBER};
  std::string workdir_;
};

struct Row {
  const char* name;
  const char* leaf;     // what the hub presents
  const char* key_of;   // whose public key the connection is configured with
  const char* pinning;  // "", "match", "nofile", "short", "dotdot", "unreadable"
  bool accepted;
  std::vector<std::string> lines;  // messages that must be logged
};

TEST_F(OstsslCertTest, CertificateTable) {
  const std::string pins = Pins();
  const std::vector<Row> rows = {
      {"good", "hub1", "hub1", "", true,
       {"ostssl ip address from cert 192.0.2.1", "ostssl: certinfo CN hub1",
        "ostssl: certinfo OU tenant-a", "ostssl: peer 192.0.2.1, tenantID tenant-a, public key matched"}},
      {"dns only", "dnsonly", "hub1", "", false,
       {"ostssl: unable to parse IP/CN from cert, verify failed"}},
      {"issuer missing, right key", "orphan", "orphan", "", true,
       {"ostssl: preverify no ok, err error:00000014:lib(0)::reason(20)",
        "ostssl: peer 192.0.2.1, tenantID tenant-a, public key matched"}},
      {"CA-flagged leaf, wrong key", "caflag", "hub1", "", false,
       {"ostssl: peer certificate validation failed"}},
      {"failing CA in the chain", "underexpired", "underexpired", "", false, {}},
      {"OU in another case", "oucase", "oucase", "", false,
       {"ostssl: peer certifcation validation failed, OU(Tenant-A) and tenantID(tenant-a) don't "
        "match"}},
      {"P-256 against RSA", "p256", "hub1", "", false,
       {"ostssl: peer certificate validation failed"}},
      {"another hub being set up", "hub2", "hub1", "", false,
       {"ostssl: Error getting pubkey for peer 192.0.2.2"}},
      {"IPv6 SAN first", "v6first", "v6first", "", true,
       {"ostssl ip address from cert 192.0.2.1",
        "ostssl: peer 192.0.2.1, tenantID tenant-a, public key matched"}},
      {"pinned key matches", "hub1", "other", "match", true,
       {"cert pinning feature is enabled", "cn hub1 is matched",
        "ostssl: peer 192.0.2.1, tenantID tenant-a, public key matched"}},
      {"pinning without a file", "hub1", "hub1", "nofile", false,
       {"Cert verification failed to open " + pins + "/hub1@tarn.local file error 2",
        "ostssl: peer certificate pinning validation failed"}},
      {"CN ../x", "dotdot", "other", "dotdot", false,
       {"Cert verification failed, CN ../x is not a file name",
        "ostssl: peer certificate pinning validation failed"}},
      {"26-byte pin file", "hub1", "hub1", "short", false,
       {"Cert verification failed, " + pins + "/hub1@tarn.local is not public key"}},
      {"unreadable settings", "hub1", "hub1", "unreadable", true,
       {"cert pinning feature is not enabled",
        "ostssl: peer 192.0.2.1, tenantID tenant-a, public key matched"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    log_.fresh();
    {
      namespace reg = platform::registry;
      reg::Key software;
      if (reg::open_key(reg::RootKey::kLocalMachine, "SOFTWARE", reg::kKeyAllAccess, &software) ==
          0) {
        reg::delete_tree(software, "corvextarn");
      }
    }
    std::filesystem::remove_all(pins);
    std::filesystem::remove(log_.root().path() + "/x@tarn.local");
    const std::string pinning = row.pinning;
    if (pinning == "match") {
      PinningOn();
      WriteFile(pins + "/hub1@tarn.local", certs->PubKey("hub1"));
    } else if (pinning == "nofile") {
      PinningOn();
    } else if (pinning == "short") {
      PinningOn();
      WriteFile(pins + "/hub1@tarn.local", "-----BEGIN PUBLIC KEY-----");
    } else if (pinning == "dotdot") {
      PinningOn();
      // What a CN of "../x" would reach: a key that would match.
      WriteFile(log_.root().path() + "/x@tarn.local", certs->PubKey("dotdot"));
    } else if (pinning == "unreadable") {
      testing_support::SetRegText(kPinKey, "gatewaycertpinning", "not a number");
    }

    ostssl::ssl_con_tbl().clear();
    std::shared_ptr<ostssl> conn = Conn("192.0.2.1", certs->PubKey(row.key_of));
    ostssl::ssl_con_tbl().insert(OstRemoteWANIPLocalIPPair(IPAddress(Addr("127.0.0.1")), IPAddress(Addr("127.0.0.1"))),
                                 conn);
    // The other hub's connection, waiting for its own handshake.
    std::shared_ptr<ostssl> hub2 = Conn("192.0.2.2", certs->PubKey("hub2"));
    ostssl::ssl_con_tbl().insert(OstRemoteWANIPLocalIPPair(IPAddress(Addr("198.51.100.2")), IPAddress(Addr("127.0.0.1"))),
                                 hub2);

    bool client_cert_seen = false;
    EXPECT_EQ(Handshake(*conn, row.leaf, &client_cert_seen), row.accepted);
    if (row.accepted) {
      EXPECT_TRUE(client_cert_seen);
    }
    const std::string text = log_.fresh();
    for (const std::string& line : row.lines) {
      EXPECT_NE(text.find(" " + line + "\n"), std::string::npos) << line << "\n" << text;
    }
    if (!row.accepted) {
      EXPECT_EQ(text.find("public key matched"), std::string::npos) << text;
    }
  }
}

TEST_F(OstsslCertTest, FailingChainCertificateIsNamedWithItsError) {
  std::shared_ptr<ostssl> conn = Conn("192.0.2.1", certs->PubKey("underexpired"));
  EXPECT_FALSE(Handshake(*conn, "underexpired"));
  const std::string text = log_.text();
  EXPECT_NE(text.find(" ostssl: built in cert check failed for CA cert CN=certkit CA "),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(" error: certificate has expired\n"), std::string::npos) << text;
  // The root above it passed and needs nothing more.
  EXPECT_NE(text.find(" ostssl: no custom validation for CA cert with CN=certkit CA "),
            std::string::npos);
}

// Without a connection in the SSL object's slot no key can be found.
TEST_F(OstsslCertTest, NoConnectionInTheSlotRejects) {
  std::shared_ptr<ostssl> conn = Conn("192.0.2.1", certs->PubKey("hub1"));
  OneShotTlsServer server(certs->Path("hub1/cert.pem"), certs->Path("hub1/key.pem"));
  ASSERT_TRUE(Prepare(*conn));
  SSL_set_ex_data(conn->ssl, ostssl_ex_data_index(), nullptr);
  conn->sock = socket(AF_INET, SOCK_STREAM, 0);
  SetTimeouts(conn->sock);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(server.port());
  ASSERT_EQ(connect(conn->sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  SSL_set_fd(conn->ssl, conn->sock);
  EXPECT_NE(SSL_connect(conn->ssl), 1);
  ERR_clear_error();
  shutdown(conn->sock, SHUT_RDWR);
  server.ClientSentCertificate();
  EXPECT_TRUE(Logged("ostssl: Error getting pubkey for peer 192.0.2.1"));
}

TEST_F(OstsslCertTest, ClientCertificateFailures) {
  struct Case {
    const char* name;
    const char* file;      // under workdir/secret
    std::string content;   // "" removes the file
    const char* message;
  };
  const std::string other_key = ReadFile(certs->Path("other/key.pem"));
  const std::vector<Case> cases = {
      {"no certificate", "signedcert.pem", "", "Error loading cert into memory"},
      {"not PEM", "signedcert.pem", "garbage", "Error loading cert into memory"},
      {"no key", "key.pem", "", "error reading private key from file"},
      {"key not PEM", "key.pem", "garbage", "\n error reading private key pem file"},
      {"key of another certificate", "key.pem", other_key, "SSL_use_PrivateKey failed, error "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    ASSERT_TRUE(
        certkit::MakeWorkdir(certs->Path("ca"), certs->Path("client"), workdir_, &error));
    const std::string path = workdir_ + "secret/" + c.file;
    if (c.content.empty()) {
      std::filesystem::remove(path);
    } else {
      WriteFile(path, c.content);
    }
    log_.fresh();
    std::shared_ptr<ostssl> conn = ostssl::create();
    conn->ssl_ctx = SSL_CTX_new(TLS_client_method());
    conn->ssl = SSL_new(conn->ssl_ctx);
    EXPECT_EQ(conn->set_client_cert(), -1);
    const std::string text = log_.fresh();
    EXPECT_NE(text.find(c.message), std::string::npos) << text;
    EXPECT_EQ(text.find("client certificate set successfully"), std::string::npos);
  }
  std::shared_ptr<ostssl> none = ostssl::create();
  EXPECT_EQ(none->set_client_cert(), -1);
  EXPECT_EQ(none->install_peer_verify(), -1);
}

// The extractors, and names a peer's certificate may carry that no
// certificate tool would write: too long for the bound, or holding a NUL.
TEST_F(OstsslCertTest, ExtractorsBoundNames) {
  std::string error;
  LeafOptions two_cn{"first", {"ou-1", "ou-2"}, {Dns("a.example"), Ip("192.0.2.7")}};
  ASSERT_TRUE(certkit::MakeLeaf(certs->Path("ca"), workdir_ + "two", two_cn, &error)) << error;
  BIO* bio = BIO_new_file((workdir_ + "two/cert.pem").c_str(), "r");
  std::unique_ptr<X509, void (*)(X509*)> cert(
      bio == nullptr ? nullptr : PEM_read_bio_X509(bio, nullptr, nullptr, nullptr), X509_free);
  BIO_free(bio);
  ASSERT_NE(cert, nullptr);
  String text;
  EXPECT_EQ(ssl_get_ip_address_from_cert(cert.get(), &text), 0);
  EXPECT_STREQ(text.c_str(), "192.0.2.7");
  EXPECT_EQ(ssl_get_ou_from_cert(cert.get(), &text), 0);
  EXPECT_STREQ(text.c_str(), "ou-1");
  EXPECT_EQ(ssl_get_cn_from_cert(cert.get(), &text), 0);
  EXPECT_STREQ(text.c_str(), "first");

  // Raw UTF8String entries: OpenSSL's name-length table is not applied.
  auto subject = [&](const std::string& ou, const std::string& cn) {
    X509_NAME* name = X509_NAME_new();
    X509_NAME_add_entry_by_NID(name, NID_organizationalUnitName, V_ASN1_UTF8STRING,
                               reinterpret_cast<const unsigned char*>(ou.data()),
                               static_cast<int>(ou.size()), -1, 0);
    X509_NAME_add_entry_by_NID(name, NID_commonName, V_ASN1_UTF8STRING,
                               reinterpret_cast<const unsigned char*>(cn.data()),
                               static_cast<int>(cn.size()), -1, 0);
    X509_set_subject_name(cert.get(), name);
    X509_NAME_free(name);
  };
  const std::string own_key = ReadFile(workdir_ + "two/pubkey.pem");
  std::shared_ptr<ostssl> conn = Conn("192.0.2.7", own_key);

  subject(kTenant, std::string(256, 'c'));
  EXPECT_EQ(ssl_get_cn_from_cert(cert.get(), &text), 0);
  EXPECT_EQ(text.length(), 256);
  EXPECT_EQ(conn->check_peer_leaf(cert.get()), 1);

  subject(std::string(257, 'o'), "hub1");
  EXPECT_EQ(ssl_get_ou_from_cert(cert.get(), &text), -2);
  log_.fresh();
  EXPECT_EQ(conn->check_peer_leaf(cert.get()), 0);
  EXPECT_TRUE(Logged("ostssl: unable to parse IP/CN from cert, verify failed"));

  subject(kTenant, std::string(257, 'c'));
  EXPECT_EQ(ssl_get_cn_from_cert(cert.get(), &text), -2);
  EXPECT_EQ(conn->check_peer_leaf(cert.get()), 0);

  // A NUL would cut the pinned file's name short.
  PinningOn();
  WriteFile(Pins() + "/hub@tarn.local", own_key);
  subject(kTenant, std::string("hub\0x", 5));
  EXPECT_EQ(ssl_get_cn_from_cert(cert.get(), &text), 0);
  EXPECT_EQ(text.length(), 5);
  log_.fresh();
  EXPECT_EQ(conn->check_peer_leaf(cert.get()), 0);
  EXPECT_TRUE(Logged("Cert verification failed, CN hub\\x00x is not a file name"));
}

}  // namespace
