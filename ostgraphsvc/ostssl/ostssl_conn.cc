// Connection set-up, the connect thread's state machine and tear-down.
//
// Threads: the set-up steps and the handshake run on the connect thread
// inside its pass, holding ssl_con_tbl's mutex. Connect and disconnect
// requests made on other threads while the connect thread runs are queued to
// it (`queue_or_run`), so that no caller waits behind a TCP connect of up to
// 5 s; on the connect thread itself (listener callbacks) and while it does
// not run (tests) they run at once.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/lib/cxLog/cxLog.h"
#include "client/lib/cxWinUtils/cxtcpip.h"
#include "graph/confparse.h"
#include "graph/ipaddress.h"
#include "graph/router_log.h"
#include "lib/interfacemonitor/ost_interface_monitor.h"
#include "ostgraphsvc/ostssl/ostrel_overlay_config.h"
#include "ostgraphsvc/ostssl/ostssl.h"
#include "ostgraphsvc/ostssl/ostssl_cert.h"
#include "platform/clock/clock.h"

#define OSTSSL_LOG(level, tag, ...) \
  log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

namespace {

constexpr int kTcpConnectWaitMs = 5000;
constexpr uint64_t kDtlsHandshakeLimitMs = 15000;
constexpr uint64_t kTlsHandshakeLimitMs = 10000;
constexpr size_t kRequestQueueSize = 256;
constexpr size_t kMaxReadSet = 64;

// A connect or disconnect request queued to the connect thread.
struct Request {
  enum Kind { kConnect, kDisconnectPeer, kDisconnectInterface, kDisconnectAll, kDeprovision };
  Kind kind = kConnect;
  bool flag = false;  // TLS-only (connect) or keep active (disconnects)
  bool primary = false;
  int port = 0;
  int if_index = 0;
  int local_ip = 0;
  uint32_t wan = 0;
  uint32_t overlay = 0;
  std::string pubkey;
  std::string hubgrp_id;
  std::string hubgrp_name;

  bool operator==(const Request&) const = default;
};

struct ConnectThreadState {
  std::atomic<bool> running{false};
  std::atomic<std::thread::id> id{};
  std::mutex queue_mutex;
  std::deque<Request> queue;  // guarded by queue_mutex
  std::atomic<bool> monitor_pass_running{false};
  std::atomic<bool> stop{false};  // tests only
};

ConnectThreadState& connect_state() {
  static ConnectThreadState& state = *new ConnectThreadState;
  return state;
}

String str(const std::string& s) { return String(s.data(), static_cast<int>(s.size())); }
std::string std_str(const String& s) {
  return std::string(s.data(), static_cast<size_t>(s.length()));
}

String dotted(uint32_t addr) { return IPAddress(addr).to_string(); }

uint32_t parse_dotted(const String& text) {
  in_addr a{};
  std::string s = std_str(text);
  if (inet_pton(AF_INET, s.c_str(), &a) != 1) return 0;
  return a.s_addr;
}

const char* state_name(int state) {
  auto it = ostssl_state_names.find(state);
  return it == ostssl_state_names.end() ? "UNKNOWN" : it->second;
}

const char* proto_lower(int protocol) { return protocol == OSTSSL_PROTO_TLS ? "tls" : "dtls"; }
const char* proto_upper(int protocol) { return protocol == OSTSSL_PROTO_TLS ? "TLS" : "DTLS"; }

const char* interface_type(int type, char* buffer, size_t size) {
  switch (type) {
    case 6:
      return "ethernet";
    case 23:
      return "ppp";
    case 71:
      return "wi-fi";
    default:
      std::snprintf(buffer, size, "%d", type);
      return buffer;
  }
}

// The latest OpenSSL error as text; "" without one.
std::string openssl_error_text() {
  unsigned long code = ERR_peek_last_error();
  if (code == 0) return std::string();
  char text[256];
  ERR_error_string_n(code, text, sizeof(text));
  return text;
}

OstRemoteWANIPLocalIPPair key_of(const ostssl& conn) {
  return OstRemoteWANIPLocalIPPair{IPAddress(conn.remote_wan_ip),
                                   IPAddress(parse_dotted(conn.local_addr))};
}

bool on_active_interface(const ostssl& conn, const std::vector<DefaultInterface>& active) {
  uint32_t local = parse_dotted(conn.local_addr);
  for (const DefaultInterface& i : active) {
    if (i.ipAddr == local) return true;
  }
  return false;
}

// Runs the interface monitor's change pass on a detached thread, one such
// thread at a time, when a monitor is published.
void trigger_interface_change() {
  ConnectThreadState& cs = connect_state();
  if (OstInterfaceMonitor::Instance() == nullptr) return;
  bool expected = false;
  if (!cs.monitor_pass_running.compare_exchange_strong(expected, true)) return;
  std::thread([] {
    if (OstInterfaceMonitor* monitor = OstInterfaceMonitor::Instance()) {
      OSTSSL_LOG(6, "ostssl::trigger_interface_change", "triggering interface change");
      // Emptied first, so that every default route now counts as new and the
      // monitor asks for all peers to be connected; an unchanged list would
      // give no event and leave the tunnels down until the next change.
      monitor->clearInterfaces();
      monitor->handleInterfaceChange();
    }
    connect_state().monitor_pass_running.store(false);
  }).detach();
}

// The trust store of the CA file, keyed by the file's bytes: the file is read
// for every SSL object, so a change takes effect at once, but unchanged
// certificates are not decoded again (a third of a millisecond each time
// under OpenSSL 3). Shared by the contexts made from it (the store has its
// own lock). A new reference, or null when the file cannot be read, is over
// 1 MiB or holds no certificate.
X509_STORE* ca_store(const std::string& path) {
  constexpr size_t kLimit = 1 << 20;
  std::string bytes;
  {
    BIO* file = BIO_new_file(path.c_str(), "r");
    if (file == nullptr) return nullptr;
    char buffer[4096];
    int got;
    while ((got = BIO_read(file, buffer, sizeof(buffer))) > 0 && bytes.size() <= kLimit) {
      bytes.append(buffer, static_cast<size_t>(got));
    }
    BIO_free(file);
    if (bytes.size() > kLimit) return nullptr;
  }
  static std::mutex& mutex = *new std::mutex;
  static std::string& cached_bytes = *new std::string;
  static X509_STORE* cached = nullptr;
  std::lock_guard<std::mutex> guard(mutex);
  if (cached != nullptr && bytes == cached_bytes) {
    X509_STORE_up_ref(cached);
    return cached;
  }
  BIO* memory = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
  if (memory == nullptr) return nullptr;
  STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(memory, nullptr, nullptr, nullptr);
  BIO_free(memory);
  if (infos == nullptr) return nullptr;
  X509_STORE* store = X509_STORE_new();
  int added = 0;
  for (int i = 0; store != nullptr && i < sk_X509_INFO_num(infos); ++i) {
    X509_INFO* info = sk_X509_INFO_value(infos, i);
    if (info->x509 != nullptr && X509_STORE_add_cert(store, info->x509) == 1) ++added;
    if (info->crl != nullptr) X509_STORE_add_crl(store, info->crl);
  }
  sk_X509_INFO_pop_free(infos, X509_INFO_free);
  if (store == nullptr || added == 0) {
    X509_STORE_free(store);
    return nullptr;
  }
  if (cached != nullptr) X509_STORE_free(cached);
  cached = store;
  cached_bytes = bytes;
  X509_STORE_up_ref(store);
  return store;
}

void run_request(const Request& r);

// Runs `r` at once on the connect thread or while none runs; else queues it
// to the connect thread and wakes it. False when the queue is full.
bool queue_or_run(Request r) {
  ConnectThreadState& cs = connect_state();
  if (!cs.running.load() || ostssl::is_connect_thread()) {
    run_request(r);
    return true;
  }
  {
    std::lock_guard<std::mutex> guard(cs.queue_mutex);
    if (!cs.queue.empty() && cs.queue.back() == r) return true;
    if (cs.queue.size() >= kRequestQueueSize) {
      OSTSSL_LOG(3, "ostssl::queue_request",
                 "Connect thread request queue full (%zu), request %d dropped", cs.queue.size(),
                 static_cast<int>(r.kind));
      return false;
    }
    cs.queue.push_back(std::move(r));
  }
  ostssl::connection_pair().wakeupserver();
  return true;
}

// Tears down every connection of `table` that `match` selects, logging and
// removing it; stops after the first removal when `first_only`.
template <typename Match, typename Keep>
void sweep(ssl_conn_table& table, Match match, Keep keep, bool first_only) {
  std::lock_guard<std::recursive_mutex> guard(table.mutex);
  for (auto it = table.table.begin(); it.live();) {
    std::shared_ptr<ostssl> conn = it->value;
    if (!match(*conn) || keep(*conn)) {
      ++it;
      continue;
    }
    conn->deprovision_tunnel();
    // A listener callback may have changed the table: look the key up again.
    auto again = table.table.find(it->key);
    it = again.live() ? table.erase_at(again) : table.table.begin();
    if (first_only) break;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Texts

String ostssl::local_text() const { return local_addr; }
String ostssl::remote_text() const { return remote_host; }

// ---------------------------------------------------------------------------
// Set-up steps

int ostssl::ssl_init() {
  std::lock_guard<std::mutex> guard(mutex);
  const std::string local = std_str(local_addr), remote = std_str(remote_host);
  if (ssl_ctx != nullptr) {
    SSL_CTX_free(ssl_ctx);
    ssl_ctx = nullptr;
  }
  const SSL_METHOD* method = nullptr;
  if (protocol == OSTSSL_PROTO_DTLS) {
    OSTSSL_LOG(6, "ostssl::ssl_init", "DTLS:Gateway: (%s->%s): connect via DTLS protocol",
               local.c_str(), remote.c_str());
    method = DTLS_client_method();
  } else if (protocol == OSTSSL_PROTO_TLS) {
    OSTSSL_LOG(6, "ostssl::ssl_init", "TLS:Gateway: (%s->%s): connect via TLS protocol",
               local.c_str(), remote.c_str());
    method = TLS_client_method();
  } else {
    OSTSSL_LOG(2, "ostssl::ssl_init",
               "Invalid:Gateway: (%s->%s): protocol type %d, please check config file",
               local.c_str(), remote.c_str(), protocol);
    return -1;
  }
  ssl_ctx = SSL_CTX_new(method);
  if (ssl_ctx == nullptr) {
    OSTSSL_LOG(3, "ostssl::ssl_init", "ostssl: error creating context for pair: (%s->%s)",
               local.c_str(), remote.c_str());
    return -1;
  }
  if (cipher_list.length() > 0) {
    std::string ciphers = std_str(cipher_list);
    ERR_clear_error();
    if (SSL_CTX_set_cipher_list(ssl_ctx, ciphers.c_str()) != 1) {
      OSTSSL_LOG(3, "ostssl::ssl_init", "SSL_CTX_set_cipher_list failed, ");
      OSTSSL_LOG(3, "ostssl::log_ssl_error", "%s failed, error %d:%s", "SSL_CTX_set_cipher_list",
                 SSL_ERROR_SSL, openssl_error_text().c_str());
      return -1;
    }
  }
  // "NULL" suites are offered only at security level 0; never go below 1.
  if (SSL_CTX_get_security_level(ssl_ctx) < 1) SSL_CTX_set_security_level(ssl_ctx, 1);
  SSL_CTX_set_mode(ssl_ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  pending.clear();
  write_ready.store(1);
  return 0;
}

namespace {

void ssl_print_status(const SSL* ssl, int where, int ret) {
  const char* tag = "ssl_print_status";
  int fd = SSL_get_fd(ssl);
  char local[INET6_ADDRSTRLEN] = "?", peer[INET6_ADDRSTRLEN] = "?";
  if (fd < 0) {
    OSTSSL_LOG(3, tag, "Failed to get remote socket from ssl lib");
  }
  // Every line below is at information level: spare the address look-ups of
  // a dozen events per handshake when they would not be written.
  if (cxLogThreshold.load(std::memory_order_relaxed) < CXLOG_INFO ||
      !cxLogEnabled.load(std::memory_order_relaxed)) {
    return;
  }
  if (fd >= 0) {
    sockaddr_storage a{};
    socklen_t len = sizeof(a);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
      getnameinfo(reinterpret_cast<sockaddr*>(&a), len, local, sizeof(local), nullptr, 0,
                  NI_NUMERICHOST);
    }
    len = sizeof(a);
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
      getnameinfo(reinterpret_cast<sockaddr*>(&a), len, peer, sizeof(peer), nullptr, 0,
                  NI_NUMERICHOST);
    }
  }
  const char* proto = SSL_is_dtls(ssl) ? "DTLS" : "TLS";
  const char* side = (where & SSL_ST_CONNECT)  ? "SSL_connect"
                     : (where & SSL_ST_ACCEPT) ? "SSL_accept"
                                               : "undefined";
  const char* state = SSL_state_string_long(ssl);
  if (where & SSL_CB_LOOP) {
    OSTSSL_LOG(6, tag, "%s: Conn: (%s->%s): %s:%s", proto, local, peer, side, state);
  } else if (where & SSL_CB_ALERT) {
    OSTSSL_LOG(6, tag, "%s: Conn: (%s->%s): SSL3 alert %s:%s:%s", proto, local, peer,
               (where & SSL_CB_READ) ? "read" : "write", SSL_alert_type_string_long(ret),
               SSL_alert_desc_string_long(ret));
  } else if (where & SSL_CB_EXIT) {
    if (ret == 0) {
      OSTSSL_LOG(6, tag, "%s: Conn: (%s->%s): %s:failed in %s", proto, local, peer, side, state);
    } else if (ret < 0) {
      OSTSSL_LOG(6, tag, "%s: Conn: (%s->%s): %s:error in %s", proto, local, peer, side, state);
    }
  } else if (where & SSL_CB_HANDSHAKE_START) {
    OSTSSL_LOG(6, tag, "%s: Conn: (%s->%s): SSL handshake start %s", proto, local, peer, state);
  } else if (where & SSL_CB_HANDSHAKE_DONE) {
    OSTSSL_LOG(6, tag, "%s: Conn: (%s->%s): SSL handshake done  %s", proto, local, peer, state);
  } else {
    OSTSSL_LOG(6, tag, "%s: Conn: (%s->%s): SSL unknown lower bit state %s", proto, local, peer,
               state);
  }
}

}  // namespace

int ostssl::ssl_create() {
  std::lock_guard<std::mutex> guard(mutex);
  const char* tag = "ostssl::ssl_create";
  closed.store(0);
  if (ssl_ctx == nullptr) {
    OSTSSL_LOG(3, tag, "ostssl ssl_create error\n");
    return -1;
  }
  if (ssl != nullptr) {
    SSL_free(ssl);
    ssl = nullptr;
    dgram_bio = nullptr;
  }
  ssl = SSL_new(ssl_ctx);
  if (ssl == nullptr) {
    OSTSSL_LOG(3, tag, "ostssl ssl_create error\n");
    return -1;
  }
  SSL_set_mode(ssl, SSL_MODE_AUTO_RETRY);
  listener = registered_listener();
  int rc = -1;
  if (protocol == OSTSSL_PROTO_DTLS) {
    rc = udp_connect();
  } else if (protocol == OSTSSL_PROTO_TLS) {
    rc = tcp_connect();
  } else {
    OSTSSL_LOG(2, tag, "Invalid tunnel mode %d, please check config file.", protocol);
    return -1;
  }
  if (rc != 0) return -1;
  SSL_CTX_set_client_cert_cb(ssl_ctx, client_cert_cb);
  if (set_client_cert() != 0) {
    OSTSSL_LOG(3, tag, "ostssl: error reading client certificate");
    return -1;
  }
  SSL_CTX_set_info_callback(ssl_ctx, ssl_print_status);
  std::string ca = std_str(config_directory()) + "secret/cacert.pem";
  X509_STORE* store = ca_store(ca);
  if (store == nullptr) {
    ERR_clear_error();
    OSTSSL_LOG(3, tag, "ostssl: error reading ca cert");
    return -1;
  }
  SSL_CTX_set_cert_store(ssl_ctx, store);  // takes our reference
  // The SSL object already copied the context's verify settings, and the
  // CA store is shared: the verify callback goes on the SSL object itself.
  if (install_peer_verify() != 0) return -1;
  if (blocking_socket == 0) set_non_blocking();
  return 0;
}

void ostssl::set_non_blocking() {
  int flags = fcntl(sock, F_GETFL, 0);
  if (flags < 0 || fcntl(sock, F_SETFL, flags | O_NONBLOCK) != 0) {
    OSTSSL_LOG(3, "ostssl::set_non_blocking", "ioctlsocket failed, err: %d", errno);
    return;
  }
  OSTSSL_LOG(7, "ostssl::set_non_blocking", "set mode to non-blocking");
}

namespace {

// Resolves the numeric host text; the first result, or false (logged).
bool resolvehostname(const std::string& host, const std::string& service, bool tcp,
                     sockaddr_storage* out, socklen_t* out_len) {
  const char* tag = "ostssl::resolvehostname";
  OSTSSL_LOG(6, tag, "ostssl:Hostname request received for: %s:%s", host.c_str(), service.c_str());
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = tcp ? SOCK_STREAM : SOCK_DGRAM;
  hints.ai_protocol = tcp ? IPPROTO_TCP : IPPROTO_UDP;
  // Hosts are always dotted quads: never wait on a resolver.
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* result = nullptr;
  int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &result);
  if (rc != 0 || result == nullptr) {
    OSTSSL_LOG(3, tag, "ostssl:Failed to resolve host : %s by getaddrinfo, err : %d", host.c_str(),
               rc);
    OSTSSL_LOG(3, tag, "DnsResolver failed to resolve remote host: %s", host.c_str());
    if (result != nullptr) freeaddrinfo(result);
    return false;
  }
  OSTSSL_LOG(7, tag, "ostssl:Hostname %s resolved by LDNS", host.c_str());
  if (result->ai_addrlen > sizeof(*out)) {
    freeaddrinfo(result);
    return false;
  }
  std::memcpy(out, result->ai_addr, result->ai_addrlen);
  *out_len = result->ai_addrlen;
  char text[INET6_ADDRSTRLEN] = "";
  getnameinfo(result->ai_addr, result->ai_addrlen, text, sizeof(text), nullptr, 0, NI_NUMERICHOST);
  OSTSSL_LOG(6, tag, "remote host %s resolved to %s, port %s", host.c_str(), text, service.c_str());
  freeaddrinfo(result);
  return true;
}

}  // namespace

int ostssl::tcp_connect() {
  const char* tag = "ostssl::tcp_connect";
  std::string host = std_str(remote_host), local = std_str(local_addr);
  std::string service = std::to_string(remote_port);
  if (host.empty()) {
    OSTSSL_LOG(3, tag, "invalid remote host.");
    return -1;
  }
  if (!resolvehostname(host, service, true, &remote_addr, &remote_addr_len)) return -1;
  int error = 0;
  uint32_t duration = 0;
  if (initSocketAndConnect(OSTSSL_PROTO_TLS, remote_host, &error, &duration) != 0) {
    OSTSSL_LOG(3, tag, "Failed to connect to (%s->%s:%s), rtt %d, err: %d", local.c_str(),
               host.c_str(), service.c_str(), static_cast<int>(duration % 1000), error);
    return -1;
  }
  OSTSSL_LOG(6, tag, "TCP connected to (%s->%s:%s), %s:%d rtt: %d", local.c_str(), host.c_str(),
             service.c_str(), inet_ntoa(local_bound_addr.sin_addr),
             ntohs(local_bound_addr.sin_port), static_cast<int>(duration % 1000));
  int mss = 0, nodelay = 0;
  socklen_t len = sizeof(mss);
  if (getsockopt(sock, IPPROTO_TCP, TCP_MAXSEG, &mss, &len) != 0) {
    OSTSSL_LOG(3, tag, "Failed to get TCP_MAXSEG from %d, error %d", sock, errno);
  } else if (mss > 0 && mss <= 0xffff) {
    path_mtu = static_cast<uint16_t>(mss);
  }
  len = sizeof(nodelay);
  if (getsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len) != 0) {
    OSTSSL_LOG(3, tag, "Failed to get TCP_NODELAY from %d, error %d", sock, errno);
  }
  OSTSSL_LOG(6, tag, "TLS(TCP) SO_RCVBUF %d, SO_SNDBUF %d, TCP_MAXSEG %d, TCP_NODELAY %d", rcvbuf,
             sndbuf, mss, nodelay);
  SSL_set_fd(ssl, sock);
  return 0;
}

int ostssl::udp_connect() {
  const char* tag = "ostssl::udp_connect";
  std::string host = std_str(remote_host);
  std::string service = std::to_string(remote_port);
  if (host.empty()) {
    OSTSSL_LOG(3, tag, "invalid remote host.");
    return -1;
  }
  if (!resolvehostname(host, service, false, &remote_addr, &remote_addr_len)) return -1;
  int error = 0;
  uint32_t duration = 0;
  if (initSocketAndConnect(OSTSSL_PROTO_DTLS, remote_host, &error, &duration) != 0) {
    OSTSSL_LOG(3, tag, "Failed to connect to %s:%s, err: %d", host.c_str(), service.c_str(), error);
    return -1;
  }
  dgram_bio = BIO_new_dgram(sock, BIO_NOCLOSE);
  if (dgram_bio == nullptr) {
    OSTSSL_LOG(3, tag, "Failed to create bio\n");
    ::close(sock);
    sock = -1;
    return -1;
  }
  BIO_ADDR* peer = BIO_ADDR_new();
  if (peer != nullptr) {
    if (remote_addr.ss_family == AF_INET) {
      const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(&remote_addr);
      BIO_ADDR_rawmake(peer, AF_INET, &in->sin_addr, sizeof(in->sin_addr), in->sin_port);
    } else {
      const sockaddr_in6* in6 = reinterpret_cast<const sockaddr_in6*>(&remote_addr);
      BIO_ADDR_rawmake(peer, AF_INET6, &in6->sin6_addr, sizeof(in6->sin6_addr), in6->sin6_port);
    }
    BIO_ctrl_set_connected(dgram_bio, peer);
    BIO_ADDR_free(peer);
  }
  timeval timeout{1, 500000};
  BIO_ctrl(dgram_bio, BIO_CTRL_DGRAM_SET_RECV_TIMEOUT, 0, &timeout);
  SSL_set_bio(ssl, dgram_bio, dgram_bio);
  if (remote_addr.ss_family == AF_INET) {
    sockaddr_in local{};
    socklen_t len = sizeof(local);
    if (getsockname(sock, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
      OSTSSL_LOG(3, tag, "getsockname failed to retrieve local addr, err: %d", errno);
    } else {
      OSTSSL_LOG(7, tag, "local address of corvex tunnel: %s", inet_ntoa(local.sin_addr));
      uint32_t mtu = 0;
      if (cxGetAdapterMtuForAddress(reinterpret_cast<sockaddr*>(&local), &mtu) && mtu > 0 &&
          mtu < path_mtu) {
        path_mtu = static_cast<uint16_t>(mtu);
      }
    }
  }
  return 0;
}

bool ostssl::bind_with_localinterface() {
  const char* tag = "ostssl::bind_with_localinterface";
  // Each connection leaves through its own interface, whatever the routes say.
  if (if_index > 0) {
    char name[IF_NAMESIZE] = "";
    if (if_indextoname(static_cast<unsigned>(if_index), name) == nullptr ||
        setsockopt(sock, SOL_SOCKET, SO_BINDTODEVICE, name,
                   static_cast<socklen_t>(std::strlen(name))) != 0) {
      OSTSSL_LOG(3, tag, "bind failed error %d", errno);
      return false;
    }
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = 0;
  addr.sin_addr.s_addr = parse_dotted(local_addr);
  if (bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    OSTSSL_LOG(3, tag, "bind failed error %d", errno);
    return false;
  }
  return true;
}

void ostssl::tuneSocketBuf() {
  const char* tag = "ostssl::tuneSocketBuf";
  if (setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &wanted_sndbuf, sizeof(wanted_sndbuf)) != 0) {
    OSTSSL_LOG(3, tag, "Failed to set SO_SNDBUF to %d, error %d", wanted_sndbuf, errno);
  }
  if (setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &wanted_rcvbuf, sizeof(wanted_rcvbuf)) != 0) {
    OSTSSL_LOG(3, tag, "Failed to set SO_RCVBUF to %d, error %d", wanted_rcvbuf, errno);
  }
  socklen_t len = sizeof(rcvbuf);
  if (getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len) != 0) {
    OSTSSL_LOG(3, tag, "Failed to get SO_RCVBUF from %d, error %d", sock, errno);
  }
  len = sizeof(sndbuf);
  if (getsockopt(sock, SOL_SOCKET, SO_SNDBUF, &sndbuf, &len) != 0) {
    OSTSSL_LOG(3, tag, "Failed to get SO_SNDBUF from %d, error %d", sock, errno);
  }
}

int ostssl::initSocketAndConnect(int proto, const String& remote, int* error,
                                 uint32_t* duration_ms) {
  const char* tag = "ostssl::initSocketAndConnect";
  const std::string remote_s = std_str(remote);
  if (sock >= 0) {
    ::close(sock);
    sock = -1;
  }
  local_bound_addr = sockaddr_in{};
  *error = 0;
  *duration_ms = 0;
  auto fail = [&](int err) {
    *error = err;
    if (sock >= 0) ::close(sock);
    sock = -1;
    return -1;
  };
  const sockaddr* to = reinterpret_cast<const sockaddr*>(&remote_addr);
  if (proto == OSTSSL_PROTO_DTLS) {
    sock = socket(remote_addr.ss_family, SOCK_DGRAM, IPPROTO_UDP);
    if (sock < 0) {
      OSTSSL_LOG(3, tag, "failed to create socket, err: %d", errno);
      return fail(errno);
    }
    int pmtu = IP_PMTUDISC_DO;
    if (setsockopt(sock, IPPROTO_IP, IP_MTU_DISCOVER, &pmtu, sizeof(pmtu)) != 0) {
      OSTSSL_LOG(3, tag, "Failed to set IP_DONTFRAGMENT, error %d", errno);
    }
    if (!bind_with_localinterface()) return fail(errno);
    tuneSocketBuf();
    if (connect(sock, to, remote_addr_len) != 0) return fail(errno);
    OSTSSL_LOG(6, tag, "UDP SSL socket connected [%d] for remote: %s", sock, remote_s.c_str());
  } else {
    sock = socket(remote_addr.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (sock < 0) {
      OSTSSL_LOG(3, tag, "failed to create socket, err: %d", errno);
      return fail(errno);
    }
    int one = 1;
    if (setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0) {
      OSTSSL_LOG(3, tag, "Failed to set TCP_NODELAY to %d, error %d", one, errno);
    }
    tuneSocketBuf();
    if (!bind_with_localinterface()) return fail(errno);
    const uint64_t start = GetTickCount64();
    if (blocking_connect == 0) {
      int flags = fcntl(sock, F_GETFL, 0);
      if (flags < 0 || fcntl(sock, F_SETFL, flags | O_NONBLOCK) != 0) {
        OSTSSL_LOG(3, tag, "ioctlsocket failed, err: %d", errno);
      }
      int rc = connect(sock, to, remote_addr_len);
      int err = rc == 0 ? 0 : errno;
      if (rc != 0 && err == EINPROGRESS) {
        pollfd p{sock, POLLIN | POLLOUT, 0};
        int n;
        do {
          n = poll(&p, 1, kTcpConnectWaitMs);
        } while (n < 0 && errno == EINTR);
        if (n == 0) {
          err = ETIMEDOUT;
        } else if (n < 0) {
          err = errno;
        } else {
          int so_error = 0;
          socklen_t len = sizeof(so_error);
          err = getsockopt(sock, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0 ? errno : so_error;
        }
      }
      if (flags >= 0) fcntl(sock, F_SETFL, flags & ~O_NONBLOCK);
      *duration_ms = static_cast<uint32_t>(GetTickCount64() - start);
      if (err != 0) return fail(err);
    } else if (connect(sock, to, remote_addr_len) != 0) {
      return fail(errno);
    } else {
      *duration_ms = static_cast<uint32_t>(GetTickCount64() - start);
    }
    OSTSSL_LOG(6, tag, "TCP SSL socket connected [%d] for remote: %s rtt: %d", sock,
               remote_s.c_str(), static_cast<int>(*duration_ms));
  }
  sockaddr_in bound{};
  socklen_t len = sizeof(bound);
  if (getsockname(sock, reinterpret_cast<sockaddr*>(&bound), &len) != 0) {
    OSTSSL_LOG(3, tag, "getsockname failed error %d", errno);
    return fail(errno);
  }
  local_bound_addr = bound;
  OSTSSL_LOG(6, tag, "local ip %s port %d", inet_ntoa(bound.sin_addr), ntohs(bound.sin_port));
  return 0;
}

int ostssl::ssl_connect() {
  const std::string local = std_str(local_addr), remote = std_str(remote_host);
  ERR_clear_error();
  int rc = SSL_connect(ssl);
  if (rc == 1) {
    OSTSSL_LOG(6, "ostssl::ssl_connect", "ssl connected to peer %s(%s->%s)", proto_lower(protocol),
               local.c_str(), remote.c_str());
    return 0;
  }
  int err = SSL_get_error(ssl, rc);
  if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return err;
  OSTSSL_LOG(3, "ostssl::ssl_connect",
             "error %d connecting to peer (%s->%s) %s, %s. Connection need to be reset", err,
             local.c_str(), remote.c_str(), proto_lower(protocol), openssl_error_text().c_str());
  return -1;
}

// ---------------------------------------------------------------------------
// Tear-down

void ostssl::ssl_shutdown() {
  const std::string local = std_str(local_addr), remote = std_str(remote_host);
  OSTSSL_LOG(6, "ostssl::ssl_shutdown", "ssl shutdown called for (%s->%s)", local.c_str(),
             remote.c_str());
  std::lock_guard<std::mutex> guard(mutex);
  if (ssl != nullptr) {
    ERR_clear_error();
    int rc = SSL_shutdown(ssl);
    // A peer that keeps sending would hold it at 0 forever: two calls at most.
    if (rc == 0) {
      ERR_clear_error();
      rc = SSL_shutdown(ssl);
    }
    if (rc < 0) {
      OSTSSL_LOG(3, "ostssl::ssl_shutdown", "SSL_shutdown (%s->%s) failed with error %d",
                 local.c_str(), remote.c_str(), SSL_get_error(ssl, rc));
    }
  }
  OSTSSL_LOG(7, "ostssl::ssl_shutdown", "Exit SSL shutdown");
}

void ostssl::deprovision_tunnel() {
  const char* tag = "ostssl::deprovision_tunnel";
  const std::string local = std_str(local_addr), remote = std_str(remote_host);
  int before;
  {
    std::lock_guard<std::mutex> guard(mutex);
    OSTSSL_LOG(6, tag, "deprovision tunnel pair %s(%s->%s), state: %s", proto_lower(protocol),
               local.c_str(), remote.c_str(), state_name(state));
    closed.store(1);
    before = state;
    state = OSTSSL_NOT_INITIALIZED;
  }
  ssl_shutdown();
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (sock >= 0) {
      OSTSSL_LOG(6, tag, "Closing sock %d", sock);
      ::close(sock);
      sock = -1;
    }
    conn_info.sock = -1;
  }
  if (before == OSTSSL_CONNECTED) {
    if (listener != nullptr) listener->on_ostssl_closed(&conn_info);
    OSTSSL_LOG(6, tag, "deprovision tunnel pair %s(%s->%s) completed, signal ssl_connect_thread",
               proto_lower(protocol), local.c_str(), remote.c_str());
    connection_pair().wakeupserver();
  } else {
    OSTSSL_LOG(6, tag, "tunnel state (%s) is not connected for pair (%s->%s)", state_name(before),
               local.c_str(), remote.c_str());
  }
}

void ostssl::ssl_cleanup() {
  const std::string local = std_str(local_addr), remote = std_str(remote_host);
  std::lock_guard<std::mutex> guard(mutex);
  OSTSSL_LOG(6, "ostssl::ssl_cleanup", "ssl cleanup called for (%s->%s)", local.c_str(),
             remote.c_str());
  closed.store(1);
  state = OSTSSL_NOT_INITIALIZED;
  if (sock >= 0) {
    OSTSSL_LOG(6, "ostssl::ssl_cleanup", "Closing sock %d", sock);
    ::close(sock);
    sock = -1;
  }
  conn_info.sock = -1;
  if (ssl != nullptr) SSL_free(ssl);
  ssl = nullptr;
  dgram_bio = nullptr;
  if (ssl_ctx != nullptr) SSL_CTX_free(ssl_ctx);
  ssl_ctx = nullptr;
}

void ostssl::closeAllConns() {
  OSTSSL_LOG(6, "ostssl::closeAllConns", "Closing All connections");
  ssl_conn_table& table = sslCons();
  std::lock_guard<std::recursive_mutex> guard(table.mutex);
  std::vector<std::shared_ptr<ostssl>> all;
  for (auto it = table.table.begin(); it.live(); ++it) all.push_back(it->value);
  for (auto& conn : all) conn->deprovision_tunnel();
  table.clear();
}

void ostssl::ssl_deprovision_tunnel_to_peer(const OstRemoteWANIPLocalIPPair& key) {
  Request r;
  r.kind = Request::kDeprovision;
  r.wan = key.remote_wan_ip.addr();
  r.local_ip = static_cast<int>(key.local_ip.addr());
  queue_or_run(std::move(r));
}

bool ostssl::is_tunnel_established(uint32_t remote_wan_ip, uint32_t local_ip) {
  return sslCons().has_key(
      OstRemoteWANIPLocalIPPair{IPAddress(remote_wan_ip), IPAddress(local_ip)});
}

void ostssl::ssl_disconnect_from_peer(const uint32_t* remote_wan_ip,
                                      const uint32_t* peer_overlay_ip, bool keep_active) {
  Request r;
  r.kind = Request::kDisconnectPeer;
  r.wan = remote_wan_ip != nullptr ? *remote_wan_ip : 0;
  r.overlay = peer_overlay_ip != nullptr ? *peer_overlay_ip : 0;
  r.flag = keep_active;
  queue_or_run(std::move(r));
}

void ostssl::ssl_disconnect_from_peer_on_interface(const uint32_t* remote_wan_ip,
                                                   const uint32_t* peer_overlay_ip, int if_index,
                                                   int local_ip) {
  Request r;
  r.kind = Request::kDisconnectInterface;
  r.wan = remote_wan_ip != nullptr ? *remote_wan_ip : 0;
  r.overlay = peer_overlay_ip != nullptr ? *peer_overlay_ip : 0;
  r.if_index = if_index;
  r.local_ip = local_ip;
  queue_or_run(std::move(r));
}

void ostssl::disconnect_all_peers(bool keep_active) {
  Request r;
  r.kind = Request::kDisconnectAll;
  r.flag = keep_active;
  queue_or_run(std::move(r));
}

void ostssl::ssl_connect_to_peer(bool tls_only, int remote_port, const String& peer_pubkey,
                                 const uint32_t* remote_wan_ip, const uint32_t* peer_overlay_ip,
                                 const String& hubgrp_id, const String& hubgrp_name, bool primary) {
  Request r;
  r.kind = Request::kConnect;
  r.flag = tls_only;
  r.port = remote_port;
  r.pubkey = std_str(peer_pubkey);
  r.wan = remote_wan_ip != nullptr ? *remote_wan_ip : 0;
  r.overlay = peer_overlay_ip != nullptr ? *peer_overlay_ip : 0;
  r.hubgrp_id = std_str(hubgrp_id);
  r.hubgrp_name = std_str(hubgrp_name);
  r.primary = primary;
  queue_or_run(std::move(r));
}

namespace {

void do_disconnect_peer(uint32_t wan, uint32_t overlay, bool keep) {
  const String overlay_s = dotted(overlay), wan_s = dotted(wan);
  OSTSSL_LOG(6, "ostssl::ssl_disconnect_from_peer",
             "Disconnect request received for overlayip: %s/%s", overlay_s.c_str(), wan_s.c_str());
  const std::vector<DefaultInterface> active = ostssl::active_interfaces();
  auto match = [&](const ostssl& c) {
    return c.peer_overlay_ip == overlay && (wan == 0 || c.remote_wan_ip == wan);
  };
  auto keeper = [&](const char* line) {
    return [&, line](const ostssl& c) {
      if (keep && on_active_interface(c, active)) {
        OSTSSL_LOG(6, "ostssl::ssl_disconnect_from_peer", line, std_str(c.local_addr).c_str(),
                   std_str(c.remote_host).c_str(), inet_ntoa(c.local_bound_addr.sin_addr),
                   ntohs(c.local_bound_addr.sin_port));
        return true;
      }
      OSTSSL_LOG(6, "ostssl::ssl_disconnect_from_peer", "Disconnecting (%s->%s)",
                 std_str(c.local_addr).c_str(), std_str(c.remote_host).c_str());
      return false;
    };
  };
  sweep(ostssl::ssl_con_tbl(), match,
        keeper("Establishing the tunnel on active interface, Not disconnecting (%s->%s), bound "
               "addr %s:%d"),
        wan != 0);
  sweep(ostssl::sslCons(), match,
        keeper("Tunnel on active interface, Not disconnecting (%s->%s), bound addr %s:%d"),
        wan != 0);
}

void do_disconnect_interface(uint32_t wan, uint32_t overlay, int if_index, int local_ip) {
  const String overlay_s = dotted(overlay), wan_s = dotted(wan);
  const String local_s = dotted(static_cast<uint32_t>(local_ip));
  OSTSSL_LOG(6, "ostssl::ssl_disconnect_from_peer_on_interface",
             "Disconnect request received for overlayip: %s->%s/%s on interface: %d",
             local_s.c_str(), overlay_s.c_str(), wan_s.c_str(), if_index);
  auto match = [&](const ostssl& c) {
    return c.peer_overlay_ip == overlay && (wan == 0 || c.remote_wan_ip == wan) &&
           c.if_index == if_index;
  };
  auto keep = [](const ostssl& c) {
    OSTSSL_LOG(6, "ostssl::ssl_disconnect_from_peer_on_interface",
               "Disconnecting (%s->%s) on interface: %d", std_str(c.local_addr).c_str(),
               std_str(c.remote_host).c_str(), c.if_index);
    return false;
  };
  sweep(ostssl::ssl_con_tbl(), match, keep, wan != 0);
  sweep(ostssl::sslCons(), match, keep, wan != 0);
}

void do_disconnect_all(bool keep) {
  const char* tag = "ostssl::disconnect_all_peers";
  OSTSSL_LOG(6, tag, "Disconnecting (%s) peers. Connecting Hubs: %d, Connected Hubs: %d",
             keep ? "except active interface" : "all",
             static_cast<int>(ostssl::ssl_con_tbl().size()),
             static_cast<int>(ostssl::sslCons().size()));
  ostssl::populate_physical_interfaces();
  const std::vector<DefaultInterface> active = ostssl::active_interfaces();
  auto all = [](const ostssl&) { return true; };
  auto keeper = [&](const char* line) {
    return [&, line](const ostssl& c) {
      if (!keep || !on_active_interface(c, active)) return false;
      OSTSSL_LOG(6, tag, line, std_str(c.local_addr).c_str(), std_str(c.remote_host).c_str(),
                 inet_ntoa(c.local_bound_addr.sin_addr), ntohs(c.local_bound_addr.sin_port));
      return true;
    };
  };
  sweep(ostssl::ssl_con_tbl(), all,
        keeper("Establishing the tunnel on active interface, Not disconnecting (%s->%s), bound "
               "addr %s:%d"),
        false);
  sweep(ostssl::sslCons(), all,
        keeper("Tunnel on active interface, Not disconnecting (%s->%s), bound addr %s:%d"), false);
  if (ostssl::sslCons().size() == 0) {
    OSTSSL_LOG(6, tag, "marking dtls working unconfirmed");
    ostssl::set_dtls_confirmed(false);
  }
}

void do_deprovision(const OstRemoteWANIPLocalIPPair& key) {
  ssl_conn_table& table = ostssl::sslCons();
  std::lock_guard<std::recursive_mutex> guard(table.mutex);
  std::shared_ptr<ostssl> conn = table.find(key);
  if (conn == nullptr) {
    OSTSSL_LOG(6, "ostssl::ssl_deprovision_tunnel_to_peer", "tunnel is not established to peer %s",
               key.to_string().c_str());
    return;
  }
  conn->deprovision_tunnel();
  table.erase(key);
}

void do_connect(const Request& r);

void run_request(const Request& r) {
  switch (r.kind) {
    case Request::kConnect:
      do_connect(r);
      break;
    case Request::kDisconnectPeer:
      do_disconnect_peer(r.wan, r.overlay, r.flag);
      break;
    case Request::kDisconnectInterface:
      do_disconnect_interface(r.wan, r.overlay, r.if_index, r.local_ip);
      break;
    case Request::kDisconnectAll:
      do_disconnect_all(r.flag);
      break;
    case Request::kDeprovision:
      do_deprovision(OstRemoteWANIPLocalIPPair{IPAddress(r.wan),
                                               IPAddress(static_cast<uint32_t>(r.local_ip))});
      break;
  }
}

}  // namespace

bool ostssl::check_and_clean_hubgrp_connection(const String& hubgrp_id, const String& hubgrp_name,
                                               const String& hub_overlay, const String& hub_wan,
                                               bool primary) {
  const char* tag = "ostssl::check_and_clean_hubgrp_connection";
  if (hubgrp_id.length() == 0) return true;
  const std::string name = std_str(hubgrp_name), overlay = std_str(hub_overlay);
  OSTSSL_LOG(6, tag, "Checking for hubgroup: %s, hub: (%s/%s)", name.c_str(), overlay.c_str(),
             std_str(hub_wan).c_str());
  bool refuse = false;
  auto scan = [&](ssl_conn_table& table, const char* where) {
    std::lock_guard<std::recursive_mutex> guard(table.mutex);
    for (auto it = table.table.begin(); it.live();) {
      std::shared_ptr<ostssl> c = it->value;
      if (!(c->hubgrp_id == hubgrp_id)) {
        ++it;
        continue;
      }
      const String hub = dotted(c->peer_overlay_ip);
      const std::string l = std_str(c->local_addr), rm = std_str(c->remote_host);
      if (std_str(hub) == overlay) {
        OSTSSL_LOG(6, tag,
                   "A link for Hub %s: (%s->%s) of hub group: %s, found in %s state on Interface: "
                   "%d",
                   hub.c_str(), l.c_str(), rm.c_str(), name.c_str(), where, c->if_index);
        ++it;
      } else if (primary) {
        OSTSSL_LOG(6, tag,
                   "Disconnecting %s: (%s->%s) of hub group: %s, found in %s state on Interface: "
                   "%d",
                   hub.c_str(), l.c_str(), rm.c_str(), name.c_str(), where, c->if_index);
        c->deprovision_tunnel();
        auto again = table.table.find(it->key);
        it = again.live() ? table.erase_at(again) : table.table.begin();
      } else {
        OSTSSL_LOG(6, tag,
                   "A Primary Hub link %s: (%s->%s) of hub group: %s, found in %s state on "
                   "Interface: %d",
                   hub.c_str(), l.c_str(), rm.c_str(), name.c_str(), where, c->if_index);
        refuse = true;
        ++it;
      }
    }
  };
  scan(ssl_con_tbl(), "Connecting");
  scan(sslCons(), "Connected");
  return refuse;
}

// ---------------------------------------------------------------------------
// Connect requests and the connect thread

void ostssl::populate_physical_interfaces() {
  const char* tag = "ostssl::populate_physical_interfaces";
  set_multilink_mode(0);
  set_multilink_mode(static_cast<uint8_t>(get_multilink_mode()));
  const bool multilink = multilink_mode() != 0;
  std::vector<DefaultInterface> defaults, active;
  for (int scan = 0; scan < 3; ++scan) {
    defaults.clear();
    active.clear();
    TARNInterfaceLib::getDefaultRouteInterfaces(&defaults);
    if (multilink) {
      active = defaults;
    } else {
      TARNInterfaceLib::getBestInterface(&active);
    }
    OSTSSL_LOG(6, tag, "Active Interfaces: %d. Total Default Interfaces: %d. Multilink %s",
               static_cast<int>(active.size()), static_cast<int>(defaults.size()),
               multilink ? "enabled" : "disabled");
    if (!active.empty() || !defaults.empty() || scan == 2) break;
    // The pause between scans ends early when the connect thread is told to
    // stop, so that a service stop never waits out a network without routes.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!connect_state().stop.load() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (connect_state().stop.load()) break;
  }
  if (active.empty() && !multilink && !defaults.empty()) {
    active = defaults;
    OSTSSL_LOG(6, tag, "Active Interfaces fetched from Default interfaces %d. Multilink %s",
               static_cast<int>(active.size()), multilink ? "enabled" : "disabled");
  }
  set_active_interfaces(std::move(active));
}

bool ostssl::createSSLObject(const String& remote_host_text, int port, const String& peer_overlay,
                             const String& hubgrp, const String& role, bool tls_only_flag,
                             const String& pubkey, uint16_t path_mtu_hint, const String& local,
                             int metric, int index) {
  std::shared_ptr<ostssl> conn = create();
  if (conn == nullptr) {
    OSTSSL_LOG(3, "ostssl::createSSLObject", "error creating ssl element");
    return false;
  }
  conn->remote_host = remote_host_text;
  conn->remote_port = static_cast<uint16_t>(port);
  conn->peer_overlay_ip = parse_dotted(peer_overlay);
  conn->protocol = tls_only_flag ? OSTSSL_PROTO_TLS : OSTSSL_PROTO_DTLS;
  conn->tls_only = tls_only_flag ? 1 : 0;
  conn->cipher_list = kOstsslCipherList;
  conn->peer_pubkey = pubkey;
  conn->remote_wan_ip = parse_dotted(remote_host_text);
  conn->local_addr = local;
  conn->if_metric = metric;
  conn->if_index = index;
  conn->hubgrp_id = hubgrp;
  conn->hub_role = role;
  conn->path_mtu = path_mtu_hint == 0 ? 1400 : path_mtu_hint;
  OSTSSL_LOG(6, "ostssl::createSSLObject",
             "Processing configured gateway IP %s(%s->%s:%d) on interface: %d",
             proto_lower(conn->protocol), std_str(local).c_str(), std_str(remote_host_text).c_str(),
             port, index);
  ssl_con_tbl().insert(key_of(*conn), conn);
  return true;
}

namespace {

void do_connect(const Request& r) {
  const char* tag = "ostssl::ssl_connect_to_peer";
  const String wan = dotted(r.wan), overlay = dotted(r.overlay);
  const char* role = r.hubgrp_name.empty() ? "Independent" : r.primary ? "Primary" : "Secondary";
  OSTSSL_LOG(6, tag, "Connect request received for %s hub %s(%s), (hubgrp: %s)", role, wan.c_str(),
             overlay.c_str(), r.hubgrp_name.c_str());
  ostssl::populate_physical_interfaces();
  const std::vector<DefaultInterface> active = ostssl::active_interfaces();
  int n = 0;
  for (const DefaultInterface& i : active) {
    char type[16];
    OSTSSL_LOG(
        6, tag, "%d Interface: Index %d Metric %d Type %s IP %s description %s", ++n,
        static_cast<int>(i.ifIndex), static_cast<int>(i.metric),
        interface_type(i.adapterType, type, sizeof(type)), dotted(i.ipAddr).c_str(),
        String(i.description, static_cast<int>(strnlen(i.description, sizeof(i.description))))
            .printable()
            .c_str());
  }
  do_disconnect_peer(r.wan, r.overlay, true);
  if (active.empty()) {
    OSTSSL_LOG(3, tag, "No Active interface found, Peer %s will not be connected", wan.c_str());
    trigger_interface_change();
    return;
  }
  std::vector<bool> marked(active.size(), false);
  size_t established = 0;
  {
    ssl_conn_table& t = ostssl::sslCons();
    std::lock_guard<std::recursive_mutex> guard(t.mutex);
    for (size_t k = 0; k < active.size(); ++k) {
      if (t.find({IPAddress(r.wan), IPAddress(active[k].ipAddr)}) != nullptr) {
        marked[k] = true;
        ++established;
      }
    }
  }
  if (established == active.size()) {
    OSTSSL_LOG(6, tag,
               "Peer %s(%s) already connected (total interface: %d), no need to initiate ssl "
               "connection",
               wan.c_str(), overlay.c_str(), static_cast<int>(active.size()));
    return;
  }
  {
    ssl_conn_table& t = ostssl::ssl_con_tbl();
    std::lock_guard<std::recursive_mutex> guard(t.mutex);
    size_t connecting = 0;
    for (size_t k = 0; k < active.size(); ++k) {
      if (t.find({IPAddress(r.wan), IPAddress(active[k].ipAddr)}) != nullptr) {
        marked[k] = true;
        ++connecting;
      }
    }
    if (connecting == active.size()) {
      OSTSSL_LOG(6, tag,
                 "Peer %s(%s) already in connection list (total interface: %d), no need to "
                 "initiate ssl connection",
                 wan.c_str(), overlay.c_str(), static_cast<int>(active.size()));
      return;
    }
  }
  for (size_t k = 0; k < active.size(); ++k) {
    if (marked[k]) continue;
    if (ostssl::check_and_clean_hubgrp_connection(str(r.hubgrp_id), str(r.hubgrp_name), overlay,
                                                  wan, r.primary) &&
        !r.primary) {
      OSTSSL_LOG(6, tag,
                 "A Primary hub connection already in progress, will skip connecting hub: "
                 "%s(%s->%s) in hub group: %s",
                 overlay.c_str(), dotted(active[k].ipAddr).c_str(), wan.c_str(),
                 r.hubgrp_name.c_str());
      return;
    }
    ostssl::createSSLObject(wan, r.port, overlay, str(r.hubgrp_id), role, r.flag, str(r.pubkey),
                            1300, dotted(active[k].ipAddr), static_cast<int>(active[k].metric),
                            static_cast<int>(active[k].ifIndex));
  }
  OSTSSL_LOG(6, tag,
             "Send wakeup signal to ssl_connect_thread to add new ssl object for %s to connection "
             "list",
             wan.c_str());
  ostssl::connection_pair().wakeupserver();
  ostssl_wait_guard& guard = ostssl::wait_guard();
  bool running;
  {
    std::lock_guard<std::mutex> lock(guard.mutex);
    running = guard.running != 0;
  }
  if (!running) {
    ostssl::start_wait_thread();
    return;
  }
  OSTSSL_LOG(7, tag, "Send wakeup signal to ssl_wait thread to repopulate read FD list");
  ostssl::data_pair().wakeupserver();
}

}  // namespace

void ostssl::insert_to_sslCons() {
  std::lock_guard<std::recursive_mutex> guard(sslCons().mutex);
  OSTSSL_LOG(6, "ostssl::insert_to_sslCons", "Established SSL session with (%s->%s), starting I/O",
             std_str(local_addr).c_str(), std_str(remote_host).c_str());
  sslCons().insert(key_of(*this), shared_from_this());
}

void ostssl::ssl_initiate_connect(std::vector<int>* read_fds) {
  const char* tag = "ostssl::ssl_initiate_connect";
  ssl_conn_table& table = ssl_con_tbl();
  std::lock_guard<std::recursive_mutex> guard(table.mutex);
  OSTSSL_LOG(7, tag, "Processing %d connections in ssl_con_tbl list",
             static_cast<int>(table.table.size()));
  auto it = table.table.begin();
  while (it.live()) {
    std::shared_ptr<ostssl> c = it->value;
    const OstRemoteWANIPLocalIPPair key = it->key;
    const std::string local = std_str(c->local_addr), remote = std_str(c->remote_host);
    bool failed = false;
    if (c->state == OSTSSL_NOT_INITIALIZED) {
      if (c->ssl_init() != 0) {
        failed = true;
      } else {
        OSTSSL_LOG(6, tag, "Tunnel status changed: OSTSSL_INITIALIZED (%s) for (%s->%s)",
                   proto_upper(c->protocol), local.c_str(), remote.c_str());
        c->state = OSTSSL_INITIALIZED;
      }
    }
    if (!failed && c->state == OSTSSL_INITIALIZED) {
      if (c->ssl_create() != 0) {
        OSTSSL_LOG(3, tag, "ssl_create failed for %s (%s->%s)", proto_upper(c->protocol),
                   local.c_str(), remote.c_str());
        failed = true;
      } else {
        OSTSSL_LOG(6, tag, "Tunnel status changed: OSTSSL_CONNECTING (%s) for (%s->%s)",
                   proto_upper(c->protocol), local.c_str(), remote.c_str());
        c->state = OSTSSL_CONNECTING;
        const uint64_t now = GetTickCount64();
        c->connect_start_sec = static_cast<int32_t>(now / 1000);
        c->connect_start_usec = static_cast<uint32_t>(now % 1000) * 1000;
      }
    }
    if (!failed && c->state == OSTSSL_CONNECTING) {
      int rc = c->ssl_connect();
      if (rc == 0) {
        if (c->protocol == OSTSSL_PROTO_DTLS) {
          OSTSSL_LOG(6, tag, "marking dtls confirmed working");
          set_dtls_confirmed(true);
        }
        c->state = OSTSSL_CONNECTED;
        c->fill_conn_info();
        if (c->listener != nullptr) c->listener->on_ostssl_connect(&c->conn_info);
        c->insert_to_sslCons();
        OSTSSL_LOG(6, tag,
                   "Tunnel status changed: SSL CONNECT (%s) completed for %s hub (%s->%s), "
                   "signal ssl_wait",
                   proto_upper(c->protocol), std_str(c->hub_role).c_str(), local.c_str(),
                   remote.c_str());
        data_pair().wakeupserver();
        auto again = table.table.find(key);
        if (again.live() && again->value == c) {
          it = table.erase_at(again);
        } else {
          it = table.table.begin();
        }
        continue;
      }
      OSTSSL_LOG(7, tag, "Tunnel status unchanged: SSL CONNECTING (%s) (%s->%s)",
                 proto_upper(c->protocol), local.c_str(), remote.c_str());
      if (rc == SSL_ERROR_WANT_READ || rc == SSL_ERROR_WANT_WRITE) {
        const uint64_t start =
            static_cast<uint64_t>(c->connect_start_sec) * 1000 + c->connect_start_usec / 1000;
        const uint64_t now = GetTickCount64();
        const uint64_t elapsed = now > start ? now - start : 0;
        const int seconds = static_cast<int>(elapsed / 1000);
        if (c->protocol == OSTSSL_PROTO_DTLS && elapsed > kDtlsHandshakeLimitMs) {
          OSTSSL_LOG(3, tag,
                     "Tunnel status: SSL CONNECT timeout failed for (%s->%s) time %d with %s",
                     local.c_str(), remote.c_str(), seconds, proto_upper(c->protocol));
          failed = true;
        } else if (c->protocol == OSTSSL_PROTO_TLS && elapsed > kTlsHandshakeLimitMs) {
          OSTSSL_LOG(3, tag,
                     "Tunnel status: SSL CONNECT timeout failed for (%s->%s) time %d, with %s",
                     local.c_str(), remote.c_str(), seconds, proto_upper(c->protocol));
          failed = true;
        } else {
          if (c->sock >= 0 && read_fds->size() < kMaxReadSet) {
            bool present = false;
            for (int fd : *read_fds) present = present || fd == c->sock;
            if (!present) read_fds->push_back(c->sock);
          }
          ++it;
          continue;
        }
      } else {
        failed = true;
      }
    } else if (!failed && c->state != OSTSSL_CONNECTING) {
      OSTSSL_LOG(2, tag, "Unknown SSL (%s->%s) state %d, closing the connection", local.c_str(),
                 remote.c_str(), static_cast<int>(c->state));
      failed = true;
    }
    // Failure: the connection stays and is started again next pass.
    OSTSSL_LOG(3, tag, "Error connecting to ssl (%s->%s) with ssl protocol: %s", local.c_str(),
               remote.c_str(), proto_upper(c->protocol));
    c->state = OSTSSL_NOT_INITIALIZED;
    c->ssl_cleanup();
    if (c->tls_only == 0) {
      if (c->protocol == OSTSSL_PROTO_DTLS && !dtls_confirmed()) {
        c->protocol = OSTSSL_PROTO_TLS;
        OSTSSL_LOG(6, tag,
                   "Fallback to TLS, next tunnel connection will be established using TLS "
                   "Gateway IP (%s->%s)",
                   local.c_str(), remote.c_str());
        ++it;
        continue;
      }
      if (c->protocol == OSTSSL_PROTO_DTLS) {
        OSTSSL_LOG(6, tag,
                   "DTLS is working on one of the peer, connection will not fallback to TLS for: "
                   "(%s->%s). Connected Hubs: %d",
                   local.c_str(), remote.c_str(), static_cast<int>(sslCons().size()));
      } else {
        c->protocol = OSTSSL_PROTO_DTLS;
        OSTSSL_LOG(6, tag,
                   "Fallback to DTLS, next tunnel connection will be established using DTLS "
                   "Gateway IP (%s->%s)",
                   local.c_str(), remote.c_str());
      }
    }
    ostssl_listener* l = registered_listener();
    if (l != nullptr) {
      c->fill_conn_info();
      if (!l->on_ostssl_timeout(&c->conn_info)) {
        it = table.table.begin();
        continue;
      }
    }
    // The listener may have removed this connection: find our place again.
    auto again = table.table.find(key);
    if (again.live()) {
      it = again;
      ++it;
    } else {
      it = table.table.begin();
    }
  }
}

bool ostssl::is_connect_thread() {
  return connect_state().running.load() && connect_state().id.load() == std::this_thread::get_id();
}

void ostssl::start_connect_thread() {
  ConnectThreadState& cs = connect_state();
  cs.stop.store(false);
  // Marked running before it starts, so that no request slips past the queue.
  cs.running.store(true);
  std::thread(&ostssl::ssl_connect_thread).detach();
}

void ostssl::stop_connect_thread_for_testing() {
  ConnectThreadState& cs = connect_state();
  if (!cs.running.load()) return;
  cs.stop.store(true);
  while (cs.running.load()) {
    connection_pair().wakeupserver();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::lock_guard<std::mutex> guard(cs.queue_mutex);
  cs.queue.clear();
}

void ostssl::ssl_connect_thread() {
  ConnectThreadState& cs = connect_state();
  cs.id.store(std::this_thread::get_id());
  while (!cs.stop.load()) {
    std::deque<Request> requests;
    {
      std::lock_guard<std::mutex> guard(cs.queue_mutex);
      requests.swap(cs.queue);
    }
    for (const Request& r : requests) run_request(r);
    std::vector<int> fds;
    const int pair_fd = connection_pair().read_socket();
    if (pair_fd >= 0) fds.push_back(pair_fd);
    ssl_initiate_connect(&fds);
    const uint64_t pending = ssl_con_tbl().size();
    {
      std::lock_guard<std::mutex> guard(cs.queue_mutex);
      if (!cs.queue.empty()) continue;
    }
    std::vector<pollfd> polls;
    for (int fd : fds) polls.push_back(pollfd{fd, POLLIN, 0});
    int n = poll(polls.data(), polls.size(), pending != 0 || polls.empty() ? 1000 : -1);
    if (n > 0 && pair_fd >= 0 && (polls[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
      if (!connection_pair().readfromserversocket()) {
        OSTSSL_LOG(0, "ostssl::ssl_connect_thread", "Failed to read connection data socket pair!");
      }
    }
  }
  cs.id.store(std::thread::id());
  cs.running.store(false);
}
