#include "tools/testhub/hub.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "overlaystatemsg.pb.h"
#include "tools/testhub/burst.h"
#include "tools/testhub/codec/codec.h"

extern char** environ;

namespace testhub {
namespace {

using nlohmann::json;

constexpr size_t kMaxConnections = 256;
constexpr size_t kMaxControlLine = 256;
constexpr size_t kFlowSlots = 4096;
constexpr size_t kTlsRecordMax = 16384;
constexpr size_t kPendingMax = 256 * 1024;
constexpr uint64_t kSyncPeriodMs = 5000;
constexpr uint64_t kHandshakeLimitMs = 10000;
constexpr int kKindSlots = 19;  // 0-17, and 18 for anything above
// A burst is paced so that a slow receiver's UDP buffer does not overflow:
// this many datagrams (or TLS records) per connection per loop turn, and a
// loop turn of at most 1 ms while a burst runs.
constexpr int kBurstPerTurn = 8;
// What the hub tells each client of its end of a path.
constexpr uint32_t kEndpointVersion = 1;
constexpr uint32_t kEndpointMtu = 1300;
constexpr uint32_t kFirstPathId = 1001;

// Drop reasons beyond the codec's.
enum HubDrop : int {
  kDropTunNoClient = static_cast<int>(Drop::kCount),
  kDropTunShort,
  kDropTunWrite,
  kDropTxFull,
  kDropTooManyClients,
  kDropSlots
};

const char* drop_slot_name(int slot) {
  if (slot < static_cast<int>(Drop::kCount)) return drop_name(static_cast<Drop>(slot));
  switch (slot) {
    case kDropTunNoClient:
      return "tun_no_client";
    case kDropTunShort:
      return "tun_short";
    case kDropTunWrite:
      return "tun_write";
    case kDropTxFull:
      return "tx_full";
    case kDropTooManyClients:
      return "too_many_clients";
  }
  return "?";
}

uint64_t now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

std::string addr_text(uint32_t a) {
  char buf[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

std::string sockaddr_text(const sockaddr_in& sa) {
  return addr_text(sa.sin_addr.s_addr) + ":" + std::to_string(ntohs(sa.sin_port));
}

int kind_slot(uint32_t kind) { return kind < 18 ? static_cast<int>(kind) : 18; }

// A whole decimal number that fits 32 bits.
bool parse_u32(const std::string& text, uint32_t* out) {
  const char* end = text.data() + text.size();
  const auto [at, ec] = std::from_chars(text.data(), end, *out);
  return !text.empty() && ec == std::errc() && at == end;
}

// Runs `ip args...` without a shell; true when it exits 0.
bool run_ip(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"ip"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, "ip", nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Counters {
  uint64_t rx_kinds[kKindSlots] = {};
  uint64_t tx_kinds[kKindSlots] = {};
  uint64_t rx_data_packets = 0;
  uint64_t rx_data_bytes = 0;
  uint64_t tx_data_packets = 0;
  uint64_t tx_data_bytes = 0;
  uint64_t drops[kDropSlots] = {};

  json to_json() const {
    json out = json::object();
    json rx = json::object(), tx = json::object(), drop = json::object();
    for (int k = 0; k < kKindSlots; ++k) {
      const std::string name = k == 18 ? "other" : std::to_string(k);
      if (rx_kinds[k] != 0) rx[name] = rx_kinds[k];
      if (tx_kinds[k] != 0) tx[name] = tx_kinds[k];
    }
    for (int d = 1; d < kDropSlots; ++d)
      if (drops[d] != 0) drop[drop_slot_name(d)] = drops[d];
    out["rx_kinds"] = rx;
    out["tx_kinds"] = tx;
    out["rx_data_packets"] = rx_data_packets;
    out["rx_data_bytes"] = rx_data_bytes;
    out["tx_data_packets"] = tx_data_packets;
    out["tx_data_bytes"] = tx_data_bytes;
    out["drops"] = drop;
    return out;
  }
};

enum class Tag : uint8_t { kTcpListener, kUdpListener, kConn, kTun, kControl, kCtlConn, kSignal };

// What an epoll event points at.
struct Handle {
  Tag tag;
  int fd = -1;
};

struct Conn : Handle {
  uint64_t id = 0;
  // The hub's own id of this path, and what it reports of it in its WAN
  // state: its local address and whether `wan down` marked it down.
  uint32_t path_id = 0;
  uint32_t wan_addr = 0;
  bool wan_up = true;
  bool dtls = false;
  SSL* ssl = nullptr;
  bool established = false;
  bool closing = false;
  sockaddr_in peer{};
  int client = -1;
  HeaderKind rx_kind = HeaderKind::kNone;
  uint8_t rx_version = 0;
  HeaderKind tx_kind = HeaderKind::kNone;
  uint8_t tx_version = 0;
  bool peer_full = false;
  uint32_t tx_sequence = 1;
  uint64_t accepted_ms = 0;
  uint64_t established_ms = 0;
  uint64_t next_keepalive_ms = 0;
  uint32_t keepalive_id = 0;
  Counters counters;
  // TLS: packets gathered into one record, and bytes a full socket left.
  std::vector<uint8_t> batch;
  uint32_t batch_count = 0;
  std::vector<uint8_t> pending;
  bool want_out = false;
  // `burst N`: packets still to send, the next packet's and record's number.
  uint32_t burst_left = 0;
  uint32_t burst_next = 0;
  uint32_t burst_record = 0;
};

struct CtlConn : Handle {
  char in[kMaxControlLine + 1] = {};
  size_t in_length = 0;
  std::string out;
  size_t sent = 0;
  bool answered = false;
};

struct Client {
  bool used = false;
  bool configured = false;
  uint32_t overlay = 0;
  uint32_t vip = 0;
  const char* vip_source = "";  // "config", "lease" or "route"
  int pool_index = -1;          // the leased address's slot
  uint32_t am_seen = 0;         // last amm_version taken (echoed as am_version)
  uint32_t rm_seen = 0;         // last rm_version taken (echoed as rm_version)
  uint32_t am_answers = 0;      // the hub's own numbering of its answers
  uint32_t routes_learned = 0;
  uint64_t am_types[8] = {};  // requests by amm_msg_type (7: any other)
  // Versions taken from the client's endpoint, WAN state and user-auth
  // messages, echoed in the hub's state-sync.
  uint32_t wep_seen = 0;
  uint32_t wls_seen = 0;
  uint32_t ua_seen = 0;
  uint32_t ua_answers = 0;  // the hub's own numbering of its user-auth messages
  // Length of the token in the client's last user-auth message; the token
  // itself is never kept.
  size_t ua_jwt_length = 0;
  // The client's last state-sync.
  bool has_sync = false;
  uint32_t sync_wep = 0;
  uint32_t sync_wls = 0;
  uint32_t sync_ua = 0;
  int connections = 0;
  Conn* last = nullptr;
  bool routed = false;
  uint64_t next_sync_ms = 0;
};

struct FlowKey {
  uint32_t client_addr = 0;
  uint32_t other_addr = 0;
  uint16_t client_port = 0;
  uint16_t other_port = 0;
  uint8_t protocol = 0;
  bool operator==(const FlowKey& o) const {
    return client_addr == o.client_addr && other_addr == o.other_addr &&
           client_port == o.client_port && other_port == o.other_port && protocol == o.protocol;
  }
};

struct FlowSlot {
  FlowKey key;
  Conn* conn = nullptr;
};

// The flow of an inner IPv4 packet, seen from the client's side (`client_is_src`).
bool flow_of(const uint8_t* p, size_t length, bool client_is_src, FlowKey* out) {
  if (length < kIpv4HeaderLength || (p[0] >> 4) != 4) return false;
  const size_t ihl = static_cast<size_t>(p[0] & 0x0f) * 4;
  uint32_t src, dst;
  std::memcpy(&src, p + 12, 4);
  std::memcpy(&dst, p + 16, 4);
  uint16_t sport = 0, dport = 0;
  const bool first_fragment = (p[6] & 0x1f) == 0 && p[7] == 0;
  if ((p[9] == 6 || p[9] == 17) && first_fragment && ihl >= kIpv4HeaderLength &&
      length >= ihl + 4) {
    sport = static_cast<uint16_t>(p[ihl] << 8 | p[ihl + 1]);
    dport = static_cast<uint16_t>(p[ihl + 2] << 8 | p[ihl + 3]);
  }
  out->protocol = p[9];
  out->client_addr = client_is_src ? src : dst;
  out->other_addr = client_is_src ? dst : src;
  out->client_port = client_is_src ? sport : dport;
  out->other_port = client_is_src ? dport : sport;
  return true;
}

size_t flow_index(const FlowKey& k) {
  uint64_t h = (static_cast<uint64_t>(k.client_addr) << 32 | k.other_addr) * 0x9E3779B97F4A7C15ull;
  h ^= (static_cast<uint64_t>(k.client_port) << 24 | static_cast<uint64_t>(k.other_port) << 8 |
        k.protocol) *
       0xC2B2AE3D27D4EB4Full;
  return static_cast<size_t>(h >> 52) % kFlowSlots;
}

unsigned char g_cookie_secret[32];

bool cookie_for(SSL* ssl, unsigned char* out, unsigned int* out_length) {
  sockaddr_storage peer{};
  if (BIO_dgram_get_peer(SSL_get_rbio(ssl), &peer) <= 0) return false;
  const size_t length = peer.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  return HMAC(EVP_sha256(), g_cookie_secret, sizeof g_cookie_secret,
              reinterpret_cast<const unsigned char*>(&peer), length, out, out_length) != nullptr;
}

int generate_cookie(SSL* ssl, unsigned char* cookie, unsigned int* length) {
  return cookie_for(ssl, cookie, length) ? 1 : 0;
}

int verify_cookie(SSL* ssl, const unsigned char* cookie, unsigned int length) {
  unsigned char want[EVP_MAX_MD_SIZE];
  unsigned int want_length = 0;
  if (!cookie_for(ssl, want, &want_length)) return 0;
  return length == want_length && CRYPTO_memcmp(cookie, want, length) == 0 ? 1 : 0;
}

std::string ssl_error_text() {
  const unsigned long e = ERR_get_error();
  if (e == 0) return "unknown error";
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  ERR_clear_error();
  return buf;
}

}  // namespace

struct Hub::Impl {
  explicit Impl(HubConfig c) : config(std::move(c)) {}
  ~Impl();

  bool start(std::string* error);
  int run();

  // Set-up.
  SSL_CTX* make_context(bool dtls, std::string* error);
  bool open_listeners(std::string* error);
  void close_listeners();
  bool open_tun(std::string* error);
  bool open_control(std::string* error);
  bool watch(Handle* h, uint32_t events);

  // Clients and connections.
  void accept_tcp();
  void accept_dtls();
  SSL* new_dtls_listen_ssl();
  Conn* add_conn(int fd, SSL* ssl, bool dtls, const sockaddr_in& peer);
  void step_handshake(Conn* c);
  void read_conn(Conn* c);
  void close_conn(Conn* c);
  void close_all();
  void flush_out(Conn* c);
  void send_packet(Conn* c, const uint8_t* data, size_t length);
  void flush_batch(Conn* c);
  void send_control(Conn* c, const OstrelOverlayStateMsg& msg);
  void send_data(Conn* c, uint8_t* inner, size_t length);
  uint8_t* encapsulate_for(Conn* c, uint8_t* inner, size_t length, uint32_t dst, bool is_control,
                           size_t* total);
  int client_for(uint32_t overlay);
  void attach(Conn* c, uint32_t overlay);
  void set_routes(Client& cl, bool on);
  // Points `cl`'s virtual address at `vip` (0: none), moving its route.
  void set_vip(Client& cl, uint32_t vip, const char* source);
  void release_lease(Client& cl);
  // The kind-17 answer with `code` (1 carries the lease) to `cl`.
  void send_addr_answer(Client& cl, uint32_t code, uint32_t type);
  void on_addr_request(Conn* c, const AddrMgmtMsg& msg);
  void on_route(Conn* c, const RouteMsg& msg);
  void on_sync(Conn* c, const SyncStateMsg& msg);
  // The kind-4 message of `c`'s path; the kind-3 list to every connection.
  void send_endpoint(Conn* c);
  void send_wan_state();
  // The kind-14 message to every connected client: a state, or (no state)
  // an acknowledgement. Returns the number of clients told.
  size_t send_user_auth(bool has_state, uint32_t state);
  std::vector<bool> pool_used;
  size_t pool_next = 0;
  void drop(Conn* c, int slot);
  void rx_packet(Conn* c, const Decoded& d);
  void on_data(Conn* c, const Decoded& d);
  void on_control(Conn* c, const Decoded& d, const OstrelOverlayStateMsg& msg);
  void read_tun();
  void tick();
  bool pump_burst(Conn* c);

  // Control socket.
  void accept_control();
  void read_ctl(CtlConn* k);
  void write_ctl(CtlConn* k);
  void close_ctl(CtlConn* k);
  std::string answer(const std::string& line);
  std::string stats();

  HubConfig config;
  uint16_t bound_port = 0;
  SSL_CTX* tls_ctx = nullptr;
  SSL_CTX* dtls_ctx = nullptr;
  int epoll_fd = -1;
  Handle tcp_listener{Tag::kTcpListener};
  Handle udp_listener{Tag::kUdpListener};
  SSL* dtls_listen_ssl = nullptr;
  Handle tun{Tag::kTun};
  Handle control{Tag::kControl};
  Handle signals{Tag::kSignal};
  bool listening = false;
  bool stop = false;
  uint8_t hdrver = 1;
  uint16_t ip_id = 0;
  uint64_t next_conn_id = 1;
  uint32_t next_path_id = kFirstPathId;
  uint32_t wls_version = 0;  // moves with each change of the WAN state list
  bool wan_changed = false;  // the list goes out at the end of the loop turn
  uint64_t handshakes = 0;
  uint64_t handshake_failures = 0;
  Counters totals;
  std::vector<std::unique_ptr<Conn>> conns;
  std::vector<std::unique_ptr<CtlConn>> ctls;
  Client clients[kMaxClients];
  std::vector<FlowSlot> flows = std::vector<FlowSlot>(kFlowSlots);
  OstrelOverlayStateMsg scratch_in;
  OstrelOverlayStateMsg scratch_out;
  std::vector<uint8_t> rx_buf = std::vector<uint8_t>(kMaxRecordLength + 1);
  std::vector<uint8_t> tx_buf = std::vector<uint8_t>(kMaxRecordLength + kMaxEncapOverhead);
  std::vector<uint8_t> burst_buf = std::vector<uint8_t>(8 * kBurstPacketMax);

  // Hands one record's packets to the hub.
  struct ConnSink : RecordSink {
    ConnSink(Impl* h, Conn* c) : hub(h), conn(c) {}
    void on_data(const Decoded& d) override {
      hub->rx_packet(conn, d);
      hub->on_data(conn, d);
    }
    void on_control(const Decoded& d, const OstrelOverlayStateMsg& msg) override {
      hub->rx_packet(conn, d);
      hub->on_control(conn, d, msg);
    }
    void on_drop(Drop reason) override { hub->drop(conn, static_cast<int>(reason)); }
    Impl* hub;
    Conn* conn;
  };
};

Hub::Impl::~Impl() {
  close_all();
  for (auto& k : ctls) close(k->fd);
  ctls.clear();
  close_listeners();
  if (tun.fd >= 0) close(tun.fd);
  if (control.fd >= 0) {
    close(control.fd);
    unlink(config.control.c_str());
  }
  if (signals.fd >= 0) close(signals.fd);
  if (epoll_fd >= 0) close(epoll_fd);
  SSL_CTX_free(tls_ctx);
  SSL_CTX_free(dtls_ctx);
}

bool Hub::Impl::watch(Handle* h, uint32_t events) {
  epoll_event ev{};
  ev.events = events;
  ev.data.ptr = h;
  return epoll_ctl(epoll_fd, EPOLL_CTL_ADD, h->fd, &ev) == 0;
}

SSL_CTX* Hub::Impl::make_context(bool dtls, std::string* error) {
  SSL_CTX* ctx = SSL_CTX_new(dtls ? DTLS_server_method() : TLS_server_method());
  if (ctx == nullptr) {
    *error = "cannot make an SSL context: " + ssl_error_text();
    return nullptr;
  }
  bool ok = true;
  if (dtls) {
    ok = SSL_CTX_set_min_proto_version(ctx, DTLS1_2_VERSION) == 1 &&
         SSL_CTX_set_max_proto_version(ctx, DTLS1_2_VERSION) == 1;
    SSL_CTX_set_cookie_generate_cb(ctx, generate_cookie);
    SSL_CTX_set_cookie_verify_cb(ctx, verify_cookie);
    SSL_CTX_set_options(ctx, SSL_OP_COOKIE_EXCHANGE);
  } else {
    ok = SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1 &&
         SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) == 1 &&
         SSL_CTX_set_ciphersuites(ctx, "TLS_AES_256_GCM_SHA384") == 1 &&
         SSL_CTX_set_num_tickets(ctx, 0) == 1;
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  }
  ok = ok && SSL_CTX_set_cipher_list(ctx, "ECDHE-RSA-AES256-GCM-SHA384") == 1;
  SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_TICKET);
  if (!ok) {
    *error = "cannot set the protocol versions or ciphers: " + ssl_error_text();
  } else if (SSL_CTX_use_certificate_chain_file(ctx, config.cert.c_str()) != 1) {
    *error = "cannot load \"cert\" " + config.cert + ": " + ssl_error_text();
  } else if (SSL_CTX_use_PrivateKey_file(ctx, config.key.c_str(), SSL_FILETYPE_PEM) != 1 ||
             SSL_CTX_check_private_key(ctx) != 1) {
    *error = "cannot load \"key\" " + config.key + ": " + ssl_error_text();
  } else if (SSL_CTX_load_verify_locations(ctx, config.ca.c_str(), nullptr) != 1) {
    *error = "cannot load \"ca\" " + config.ca + ": " + ssl_error_text();
  } else {
    // Only the chain to "ca" is checked; the client's names are not.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    return ctx;
  }
  SSL_CTX_free(ctx);
  return nullptr;
}

bool Hub::Impl::open_listeners(std::string* error) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(bound_port);
  inet_pton(AF_INET, config.wanip.c_str(), &sa.sin_addr);
  const int one = 1;
  if (config.tls) {
    tcp_listener.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    setsockopt(tcp_listener.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(tcp_listener.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        listen(tcp_listener.fd, 64) != 0) {
      *error = "cannot listen on TCP " + sockaddr_text(sa) + ": " + std::strerror(errno);
      return false;
    }
    socklen_t len = sizeof sa;
    getsockname(tcp_listener.fd, reinterpret_cast<sockaddr*>(&sa), &len);
    bound_port = ntohs(sa.sin_port);
    watch(&tcp_listener, EPOLLIN);
  }
  if (config.dtls) {
    udp_listener.fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    // Connected per-client sockets share the port; the kernel prefers them.
    setsockopt(udp_listener.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(udp_listener.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      *error = "cannot bind UDP " + sockaddr_text(sa) + ": " + std::strerror(errno);
      return false;
    }
    socklen_t len = sizeof sa;
    getsockname(udp_listener.fd, reinterpret_cast<sockaddr*>(&sa), &len);
    bound_port = ntohs(sa.sin_port);
    dtls_listen_ssl = new_dtls_listen_ssl();
    watch(&udp_listener, EPOLLIN);
  }
  listening = true;
  return true;
}

SSL* Hub::Impl::new_dtls_listen_ssl() {
  SSL* ssl = SSL_new(dtls_ctx);
  BIO* bio = BIO_new_dgram(udp_listener.fd, BIO_NOCLOSE);
  SSL_set_bio(ssl, bio, bio);
  SSL_set_accept_state(ssl);
  return ssl;
}

void Hub::Impl::close_listeners() {
  for (Handle* h : {&tcp_listener, &udp_listener}) {
    if (h->fd < 0) continue;
    close(h->fd);
    h->fd = -1;
  }
  SSL_free(dtls_listen_ssl);
  dtls_listen_ssl = nullptr;
  listening = false;
}

bool Hub::Impl::open_tun(std::string* error) {
  tun.fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (tun.fd < 0) {
    *error = std::string("cannot open /dev/net/tun: ") + std::strerror(errno);
    return false;
  }
  ifreq ifr{};
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", config.tun.c_str());
  if (ioctl(tun.fd, TUNSETIFF, &ifr) != 0) {
    *error = "cannot attach TUN " + config.tun + ": " + std::strerror(errno);
    return false;
  }
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifr.ifr_mtu = 1300;
  const bool mtu_ok = s >= 0 && ioctl(s, SIOCSIFMTU, &ifr) == 0;
  if (s >= 0) close(s);
  if (!mtu_ok) {
    *error = "cannot set the MTU of " + config.tun + ": " + std::strerror(errno);
    return false;
  }
  if (!run_ip({"addr", "replace", addr_text(config.overlay_ip) + "/32", "dev", config.tun}) ||
      !run_ip({"link", "set", "dev", config.tun, "up"})) {
    *error = "cannot put " + addr_text(config.overlay_ip) + " on " + config.tun;
    return false;
  }
  // What lies behind the hub: each "routes" prefix answers at its first
  // address.
  for (uint32_t a : config.route_addresses) {
    if (!run_ip({"addr", "replace", addr_text(a) + "/32", "dev", config.tun})) {
      *error = "cannot put " + addr_text(a) + " on " + config.tun;
      return false;
    }
  }
  // The namespace forwards between its clients through the TUN.
  const int fwd = open("/proc/sys/net/ipv4/ip_forward", O_WRONLY | O_CLOEXEC);
  if (fwd < 0 || write(fwd, "1", 1) != 1) {
    if (fwd >= 0) close(fwd);
    *error = std::string("cannot turn forwarding on: ") + std::strerror(errno);
    return false;
  }
  close(fwd);
  return watch(&tun, EPOLLIN);
}

bool Hub::Impl::open_control(std::string* error) {
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  if (config.control.size() >= sizeof sa.sun_path) {
    *error = "\"control\" path is too long";
    return false;
  }
  std::memcpy(sa.sun_path, config.control.c_str(), config.control.size());
  struct stat st {};
  if (lstat(config.control.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *error = "\"control\" " + config.control + " exists and is not a socket";
      return false;
    }
    // A socket nobody answers on is what a killed hub left: replace it.
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool live = connect(probe, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    close(probe);
    if (live) {
      *error = "\"control\" " + config.control + " is in use by a running hub";
      return false;
    }
    unlink(config.control.c_str());
  }
  control.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (bind(control.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      listen(control.fd, 16) != 0) {
    *error = "cannot listen on \"control\" " + config.control + ": " + std::strerror(errno);
    close(control.fd);
    control.fd = -1;
    return false;
  }
  return watch(&control, EPOLLIN);
}

bool Hub::Impl::start(std::string* error) {
  RAND_bytes(g_cookie_secret, sizeof g_cookie_secret);
  for (size_t i = 0; i < config.clients.size(); ++i) {
    clients[i].used = true;
    clients[i].configured = true;
    clients[i].overlay = config.clients[i].overlay;
    clients[i].vip = config.clients[i].vip;
    clients[i].vip_source = config.clients[i].vip != 0 ? "config" : "";
  }
  epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  signals.fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (epoll_fd < 0 || signals.fd < 0 || !watch(&signals, EPOLLIN)) {
    *error = std::string("cannot set up the event loop: ") + std::strerror(errno);
    return false;
  }
  if (config.tls && (tls_ctx = make_context(false, error)) == nullptr) return false;
  if (config.dtls && (dtls_ctx = make_context(true, error)) == nullptr) return false;
  bound_port = config.port;
  if (!config.tun.empty() && !open_tun(error)) return false;
  if (!open_listeners(error)) return false;
  return open_control(error);
}

Conn* Hub::Impl::add_conn(int fd, SSL* ssl, bool dtls, const sockaddr_in& peer) {
  auto c = std::make_unique<Conn>();
  c->tag = Tag::kConn;
  c->fd = fd;
  c->ssl = ssl;
  c->dtls = dtls;
  c->peer = peer;
  c->id = next_conn_id++;
  c->path_id = next_path_id;
  next_path_id = next_path_id == UINT32_MAX ? 1 : next_path_id + 1;
  sockaddr_in local{};
  socklen_t local_length = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_length) == 0)
    c->wan_addr = local.sin_addr.s_addr;
  c->accepted_ms = now_ms();
  c->batch.reserve(kTlsRecordMax);
  Conn* raw = c.get();
  conns.push_back(std::move(c));
  watch(raw, EPOLLIN);
  step_handshake(raw);
  return raw;
}

void Hub::Impl::accept_tcp() {
  for (int i = 0; i < 64; ++i) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = accept4(tcp_listener.fd, reinterpret_cast<sockaddr*>(&peer), &len,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (conns.size() >= kMaxConnections) {
      close(fd);
      ++handshake_failures;
      continue;
    }
    SSL* ssl = SSL_new(tls_ctx);
    SSL_set_fd(ssl, fd);
    SSL_set_accept_state(ssl);
    add_conn(fd, ssl, false, peer);
  }
}

void Hub::Impl::accept_dtls() {
  // Each call takes one datagram: a hello without a cookie gets the cookie
  // exchange, one with a valid cookie becomes a connection of its own.
  for (int i = 0; i < 64 && udp_listener.fd >= 0; ++i) {
    char probe;
    if (recv(udp_listener.fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT) < 0) return;
    BIO_ADDR* client = BIO_ADDR_new();
    const int r = DTLSv1_listen(dtls_listen_ssl, client);
    if (r < 0) {
      // A datagram it could not use; start over with a fresh object.
      ERR_clear_error();
      SSL_free(dtls_listen_ssl);
      dtls_listen_ssl = new_dtls_listen_ssl();
    }
    if (r <= 0) {
      BIO_ADDR_free(client);
      ERR_clear_error();
      continue;
    }
    // The listener is IPv4, so is every peer; checked before the raw copy,
    // which trusts the family for its length.
    if (BIO_ADDR_family(client) != AF_INET) {
      BIO_ADDR_free(client);
      SSL_free(dtls_listen_ssl);
      dtls_listen_ssl = new_dtls_listen_ssl();
      continue;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    size_t alen = sizeof peer.sin_addr;
    BIO_ADDR_rawaddress(client, &peer.sin_addr, &alen);
    peer.sin_port = BIO_ADDR_rawport(client);
    BIO_ADDR_free(client);
    SSL* ssl = dtls_listen_ssl;
    dtls_listen_ssl = new_dtls_listen_ssl();
    if (conns.size() >= kMaxConnections) {
      SSL_free(ssl);
      ++handshake_failures;
      continue;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(bound_port);
    inet_pton(AF_INET, config.wanip.c_str(), &local.sin_addr);
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
      if (fd >= 0) close(fd);
      SSL_free(ssl);
      ++handshake_failures;
      continue;
    }
    BIO* bio = SSL_get_rbio(ssl);
    BIO_set_fd(bio, fd, BIO_NOCLOSE);
    BIO_ctrl(bio, BIO_CTRL_DGRAM_SET_CONNECTED, 0, &peer);
    add_conn(fd, ssl, true, peer);
  }
}

void Hub::Impl::step_handshake(Conn* c) {
  ERR_clear_error();
  const int r = SSL_accept(c->ssl);
  if (r == 1) {
    c->established = true;
    c->established_ms = now_ms();
    c->next_keepalive_ms = c->established_ms + kSyncPeriodMs;
    ++handshakes;
    read_conn(c);
    return;
  }
  const int e = SSL_get_error(c->ssl, r);
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return;
  ++handshake_failures;
  std::fprintf(stderr, "testhub: handshake with %s failed: %s\n", sockaddr_text(c->peer).c_str(),
               ssl_error_text().c_str());
  c->closing = true;
}

void Hub::Impl::drop(Conn* c, int slot) {
  ++totals.drops[slot];
  if (c != nullptr) ++c->counters.drops[slot];
}

void Hub::Impl::read_conn(Conn* c) {
  // Bounded per wake so one busy client cannot starve the others.
  for (int i = 0; i < 64 && !c->closing; ++i) {
    ERR_clear_error();
    const int n = SSL_read(c->ssl, rx_buf.data(), static_cast<int>(rx_buf.size()));
    if (n <= 0) {
      const int e = SSL_get_error(c->ssl, n);
      if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return;
      c->closing = true;
      return;
    }
    ConnSink sink(this, c);
    read_record(rx_buf.data(), static_cast<size_t>(n), &scratch_in, &sink);
  }
}

int Hub::Impl::client_for(uint32_t a) {
  for (size_t i = 0; i < kMaxClients; ++i)
    if (clients[i].used &&
        (clients[i].overlay == a || (clients[i].vip != 0 && clients[i].vip == a)))
      return static_cast<int>(i);
  return -1;
}

void Hub::Impl::set_routes(Client& cl, bool on) {
  if (config.tun.empty() || cl.routed == on) return;
  cl.routed = on;
  for (uint32_t a : {cl.overlay, cl.vip}) {
    if (a == 0) continue;
    const std::string prefix = addr_text(a) + "/32";
    if (on) {
      run_ip({"route", "replace", prefix, "dev", config.tun});
    } else {
      run_ip({"route", "del", prefix, "dev", config.tun});
    }
  }
}

void Hub::Impl::set_vip(Client& cl, uint32_t vip, const char* source) {
  if (cl.vip == vip) return;
  if (!config.tun.empty() && cl.routed && cl.vip != 0)
    run_ip({"route", "del", addr_text(cl.vip) + "/32", "dev", config.tun});
  cl.vip = vip;
  cl.vip_source = vip != 0 ? source : "";
  if (!config.tun.empty() && cl.routed && vip != 0)
    run_ip({"route", "replace", addr_text(vip) + "/32", "dev", config.tun});
}

void Hub::Impl::release_lease(Client& cl) {
  if (cl.pool_index < 0) return;
  pool_used[static_cast<size_t>(cl.pool_index)] = false;
  cl.pool_index = -1;
  if (std::strcmp(cl.vip_source, "lease") == 0) set_vip(cl, 0, "");
}

void Hub::Impl::send_addr_answer(Client& cl, uint32_t code, uint32_t type) {
  if (cl.last == nullptr) return;
  scratch_out.Clear();
  scratch_out.set_osm_type(17);
  AddrMgmtMsg* a = scratch_out.mutable_osm_addrmgmtmsg();
  a->set_amm_version(++cl.am_answers);
  a->set_amm_msg_type(type);
  a->set_amm_site_id("testhub");
  a->set_amm_ret_code(code);
  if (code == 1 && cl.vip != 0) {
    a->set_amm_ipv4_addr(cl.vip);
    a->set_amm_ipv4_mask(config.vip_mask);
    a->set_amm_lifetime(config.lease_s);
    a->set_amm_nameservers(config.nameservers);
    a->set_amm_domain_list(config.domain_list);
  }
  send_control(cl.last, scratch_out);
}

// Leases from the pool: a client keeps its address while it renews; a
// released slot is handed out again only after the others (the cursor moves
// on), so a refreshed client gets a new address.
void Hub::Impl::on_addr_request(Conn* c, const AddrMgmtMsg& msg) {
  if (c->client < 0) return;
  Client& cl = clients[c->client];
  const uint32_t type = msg.amm_msg_type();
  ++cl.am_types[type < 7 ? type : 7];
  cl.am_seen = msg.amm_version();
  if (config.vip_pool_size == 0) return;
  if (pool_used.size() != config.vip_pool_size) pool_used.assign(config.vip_pool_size, false);
  if (cl.pool_index < 0) {
    for (size_t i = 0; i < pool_used.size() && cl.pool_index < 0; ++i) {
      const size_t slot = (pool_next + i) % pool_used.size();
      if (pool_used[slot]) continue;
      pool_used[slot] = true;
      cl.pool_index = static_cast<int>(slot);
      pool_next = slot + 1;
    }
    if (cl.pool_index < 0) {
      send_addr_answer(cl, 2, type);
      return;
    }
    const uint32_t first = ntohl(config.vip_pool);
    set_vip(cl, htonl(first + static_cast<uint32_t>(cl.pool_index)), "lease");
  }
  send_addr_answer(cl, 1, type);
}

void Hub::Impl::on_route(Conn* c, const RouteMsg& msg) {
  if (c->client < 0) return;
  Client& cl = clients[c->client];
  cl.rm_seen = msg.rm_version();
  for (const Route& r : msg.route()) {
    if (r.ip() == 0 || r.ip() == cl.overlay) continue;
    ++cl.routes_learned;
    if (cl.pool_index >= 0 && r.ip() != cl.vip) release_lease(cl);
    set_vip(cl, r.ip(), "route");
  }
}

void Hub::Impl::attach(Conn* c, uint32_t overlay) {
  int idx = -1;
  for (size_t i = 0; i < kMaxClients; ++i)
    if (clients[i].used && clients[i].overlay == overlay) idx = static_cast<int>(i);
  for (size_t i = 0; idx < 0 && i < kMaxClients; ++i) {
    if (clients[i].used) continue;
    clients[i] = Client();
    clients[i].used = true;
    clients[i].overlay = overlay;
    idx = static_cast<int>(i);
  }
  if (idx < 0) return;
  Client& cl = clients[idx];
  c->client = idx;
  if (cl.connections++ == 0) {
    set_routes(cl, true);
    cl.next_sync_ms = 0;  // its first state-sync goes out at once
  }
  // The path's far end learns the hub's id of it first, so that the WAN
  // state list that follows names a path it knows.
  send_endpoint(c);
  wan_changed = true;
}

void Hub::Impl::send_endpoint(Conn* c) {
  scratch_out.Clear();
  scratch_out.set_osm_type(4);
  WanEndPtMsg* e = scratch_out.mutable_osm_endptmsg();
  e->set_wep_version(kEndpointVersion);
  WanEndPtDescMsg* d = e->add_wep_list();
  d->set_wep_my_pathid(c->path_id);
  d->set_wep_my_mtu(kEndpointMtu);
  d->mutable_wep_ods()->set_ods_rxloss_delayed(config.ods_rxloss_delayed);
  d->mutable_wep_ods()->set_ods_rxloss_instant(config.ods_rxloss_instant);
  d->set_wep_remote_nat_ipv4(c->peer.sin_addr.s_addr);
  send_control(c, scratch_out);
}

void Hub::Impl::send_wan_state() {
  wan_changed = false;
  ++wls_version;
  scratch_out.Clear();
  scratch_out.set_osm_type(3);
  WanLinkStateMsg* w = scratch_out.mutable_osm_wlsmsg();
  w->set_wls_version(wls_version);
  for (auto& owned : conns) {
    const Conn& c = *owned;
    if (c.client < 0 || !c.established || c.closing) continue;
    WanLinkStateDescMsg* d = w->add_wls_list();
    d->set_wls_ipv4(c.wan_addr);
    d->add_wls_pathid(c.path_id);
    d->set_wls_state(c.wan_up ? 1 : 0);
  }
  for (auto& owned : conns) {
    Conn* c = owned.get();
    if (c->client >= 0 && c->established && !c->closing) send_control(c, scratch_out);
  }
}

size_t Hub::Impl::send_user_auth(bool has_state, uint32_t state) {
  size_t told = 0;
  for (Client& cl : clients) {
    if (!cl.used || cl.last == nullptr) continue;
    scratch_out.Clear();
    scratch_out.set_osm_type(14);
    UserAuthMsg* u = scratch_out.mutable_osm_userauthmsg();
    u->set_uam_version(++cl.ua_answers);
    if (has_state) {
      u->set_uam_auth_state(state);
    } else {
      u->set_uam_authack(true);
    }
    send_control(cl.last, scratch_out);
    ++told;
  }
  return told;
}

void Hub::Impl::on_sync(Conn* c, const SyncStateMsg& msg) {
  Client& cl = clients[c->client];
  cl.has_sync = true;
  cl.sync_wep = msg.wep_version();
  cl.sync_wls = msg.wls_version();
  cl.sync_ua = msg.ua_version();
  // The client asks again (0 while a path of it lacks the hub's id) or has
  // another version: this path's endpoint message goes again.
  if (msg.wep_version() != kEndpointVersion) send_endpoint(c);
}

void Hub::Impl::rx_packet(Conn* c, const Decoded& d) {
  if (c->client < 0) attach(c, d.outer_src);
  if (c->client >= 0) clients[c->client].last = c;
  c->rx_kind = d.header.kind;
  c->rx_version = d.header.version;
  if (d.header.kind == HeaderKind::kFull) c->peer_full = true;
}

void Hub::Impl::on_data(Conn* c, const Decoded& d) {
  ++c->counters.rx_data_packets;
  ++totals.rx_data_packets;
  c->counters.rx_data_bytes += d.inner_length;
  totals.rx_data_bytes += d.inner_length;
  if (c->client < 0) {
    drop(c, kDropTooManyClients);
    return;
  }
  FlowKey key;
  if (flow_of(d.inner, d.inner_length, true, &key)) {
    FlowSlot& slot = flows[flow_index(key)];
    slot.key = key;
    slot.conn = c;
  }
  if (tun.fd < 0) return;
  if (write(tun.fd, d.inner, d.inner_length) != static_cast<ssize_t>(d.inner_length))
    drop(c, kDropTunWrite);
}

void Hub::Impl::on_control(Conn* c, const Decoded&, const OstrelOverlayStateMsg& msg) {
  const uint32_t kind = msg.osm_type();
  ++c->counters.rx_kinds[kind_slot(kind)];
  ++totals.rx_kinds[kind_slot(kind)];
  if (c->client >= 0) {
    Client& cl = clients[c->client];
    switch (kind) {
      case 3:
        cl.wls_seen = msg.osm_wlsmsg().wls_version();
        return;
      case 4:
        cl.wep_seen = msg.osm_endptmsg().wep_version();
        return;
      case 5:
        on_sync(c, msg.osm_syncstatemsg());
        return;
      case 14:
        cl.ua_seen = msg.osm_userauthmsg().uam_version();
        cl.ua_jwt_length = msg.osm_userauthmsg().uam_jwt().size();
        return;
    }
  }
  if (kind == 17) {
    on_addr_request(c, msg.osm_addrmgmtmsg());
    return;
  }
  if (kind == 11) {
    on_route(c, msg.osm_routemsg());
    return;
  }
  if (kind != 7 && kind != 9 && kind != 12) return;
  scratch_out.Clear();
  scratch_out.set_osm_type(kind + 1);
  scratch_out.mutable_osm_probemsg()->set_seqnum(msg.osm_probemsg().seqnum());
  send_control(c, scratch_out);
}

void Hub::Impl::send_control(Conn* c, const OstrelOverlayStateMsg& msg) {
  if (c->client < 0) return;
  uint8_t* payload = tx_buf.data() + kMaxEncapOverhead;
  const uint32_t dst = clients[c->client].overlay;
  const size_t n =
      write_control_packet(payload, kMaxInnerLength, msg, ip_id++, config.overlay_ip, dst);
  if (n == 0) return;
  size_t total = 0;
  uint8_t* start = encapsulate_for(c, payload, n, dst, true, &total);
  if (start == nullptr) return;
  ++c->counters.tx_kinds[kind_slot(msg.osm_type())];
  ++totals.tx_kinds[kind_slot(msg.osm_type())];
  send_packet(c, start, total);
}

// Wraps `inner` for connection `c` in the header kind its peer last used, and
// the header version the hub sends; null when it does not fit.
uint8_t* Hub::Impl::encapsulate_for(Conn* c, uint8_t* inner, size_t length, uint32_t dst,
                                    bool is_control, size_t* total) {
  EncapParams p;
  p.kind = c->peer_full ? HeaderKind::kFull : HeaderKind::kLegacy;
  p.version = hdrver;
  p.control = is_control;
  p.id = ip_id++;
  p.src = config.overlay_ip;
  p.dst = dst;
  if (p.kind == HeaderKind::kFull) {
    p.sequence = c->tx_sequence;
    c->tx_sequence = next_sequence(c->tx_sequence);
  }
  uint8_t* start = encapsulate(inner, length, p, total);
  if (start == nullptr) return nullptr;
  c->tx_kind = p.kind;
  c->tx_version = p.version;
  return start;
}

void Hub::Impl::send_data(Conn* c, uint8_t* inner, size_t length) {
  size_t total = 0;
  uint8_t* start = encapsulate_for(c, inner, length, clients[c->client].overlay, false, &total);
  if (start == nullptr) return;
  ++c->counters.tx_data_packets;
  ++totals.tx_data_packets;
  c->counters.tx_data_bytes += length;
  totals.tx_data_bytes += length;
  send_packet(c, start, total);
}

void Hub::Impl::send_packet(Conn* c, const uint8_t* data, size_t length) {
  if (!c->established || c->closing) return;
  if (c->dtls) {
    ERR_clear_error();
    if (SSL_write(c->ssl, data, static_cast<int>(length)) <= 0) {
      ERR_clear_error();
      drop(c, kDropTxFull);
    }
    return;
  }
  if (c->batch.size() + length > kTlsRecordMax) flush_batch(c);
  c->batch.insert(c->batch.end(), data, data + length);
  if (++c->batch_count >= config.packets_per_record) flush_batch(c);
}

void Hub::Impl::flush_batch(Conn* c) {
  if (c->batch.empty()) return;
  if (c->pending.size() + c->batch.size() > kPendingMax) {
    drop(c, kDropTxFull);
  } else {
    c->pending.insert(c->pending.end(), c->batch.begin(), c->batch.end());
  }
  c->batch.clear();
  c->batch_count = 0;
  flush_out(c);
}

void Hub::Impl::flush_out(Conn* c) {
  while (!c->pending.empty() && !c->closing) {
    ERR_clear_error();
    // One record per batch: write at most a record's worth at a time.
    const size_t chunk = std::min(c->pending.size(), kTlsRecordMax);
    const int n = SSL_write(c->ssl, c->pending.data(), static_cast<int>(chunk));
    if (n > 0) {
      c->pending.erase(c->pending.begin(), c->pending.begin() + n);
      continue;
    }
    const int e = SSL_get_error(c->ssl, n);
    if (e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) break;
    c->closing = true;
    return;
  }
  const bool want = !c->pending.empty();
  if (want == c->want_out) return;
  c->want_out = want;
  epoll_event ev{};
  ev.events = EPOLLIN | (want ? EPOLLOUT : 0u);
  ev.data.ptr = c;
  epoll_ctl(epoll_fd, EPOLL_CTL_MOD, c->fd, &ev);
}

void Hub::Impl::close_conn(Conn* c) {
  if (c->established) {
    SSL_shutdown(c->ssl);
    ERR_clear_error();
  }
  epoll_ctl(epoll_fd, EPOLL_CTL_DEL, c->fd, nullptr);
  close(c->fd);
  SSL_free(c->ssl);
  c->ssl = nullptr;
  for (FlowSlot& f : flows)
    if (f.conn == c) f.conn = nullptr;
  if (c->client >= 0) {
    wan_changed = true;
    Client& cl = clients[c->client];
    --cl.connections;
    if (cl.last == c) {
      cl.last = nullptr;
      for (auto& o : conns)
        if (o.get() != c && o->client == c->client && !o->closing) cl.last = o.get();
    }
    if (cl.connections == 0) {
      set_routes(cl, false);
      if (!cl.configured) {
        release_lease(cl);
        cl.used = false;
      }
    }
  }
  for (auto it = conns.begin(); it != conns.end(); ++it) {
    if (it->get() != c) continue;
    conns.erase(it);
    return;
  }
}

void Hub::Impl::close_all() {
  while (!conns.empty()) close_conn(conns.back().get());
}

void Hub::Impl::read_tun() {
  uint8_t* inner = tx_buf.data() + kMaxEncapOverhead;
  for (int i = 0; i < 64; ++i) {
    const ssize_t n = read(tun.fd, inner, kMaxInnerLength);
    if (n < 0) return;
    const size_t length = static_cast<size_t>(n);
    if (length < kIpv4HeaderLength || (inner[0] >> 4) != 4) {
      drop(nullptr, kDropTunShort);
      continue;
    }
    uint32_t dst;
    std::memcpy(&dst, inner + 16, 4);
    const int idx = client_for(dst);
    Conn* c = idx >= 0 ? clients[idx].last : nullptr;
    FlowKey key;
    if (c != nullptr && flow_of(inner, length, false, &key)) {
      const FlowSlot& slot = flows[flow_index(key)];
      if (slot.conn != nullptr && slot.key == key && slot.conn->client == idx) c = slot.conn;
    }
    if (c == nullptr) {
      drop(nullptr, kDropTunNoClient);
      continue;
    }
    send_data(c, inner, length);
  }
}

void Hub::Impl::tick() {
  const uint64_t now = now_ms();
  for (size_t i = 0; i < kMaxClients; ++i) {
    Client& cl = clients[i];
    if (!cl.used || cl.last == nullptr || now < cl.next_sync_ms) continue;
    cl.next_sync_ms = now + kSyncPeriodMs;
    // Every version echoes what it took last from that client.
    scratch_out.Clear();
    scratch_out.set_osm_type(5);
    SyncStateMsg* sync = scratch_out.mutable_osm_syncstatemsg();
    sync->set_wep_version(cl.wep_seen);
    sync->set_wls_version(cl.wls_seen);
    sync->set_rm_version(cl.rm_seen);
    sync->set_ua_version(cl.ua_seen);
    sync->set_am_version(cl.am_seen);
    send_control(cl.last, scratch_out);
  }
  for (auto& owned : conns) {
    Conn* c = owned.get();
    if (!c->established) {
      if (c->dtls) DTLSv1_handle_timeout(c->ssl);
      ERR_clear_error();
      // A client that never finishes its handshake does not keep a slot.
      if (now >= c->accepted_ms + kHandshakeLimitMs) {
        ++handshake_failures;
        c->closing = true;
      }
      continue;
    }
    if (config.close_after_s != 0 && now >= c->established_ms + config.close_after_s * 1000ull)
      c->closing = true;
    if (config.keepalive_requests && now >= c->next_keepalive_ms && c->client >= 0) {
      c->next_keepalive_ms = now + kSyncPeriodMs;
      c->keepalive_id = (c->keepalive_id + 1) & 0x7fff;
      scratch_out.Clear();
      scratch_out.set_osm_type(12);
      scratch_out.mutable_osm_probemsg()->set_seqnum(c->keepalive_id);
      send_control(c, scratch_out);
    }
  }
}

void Hub::Impl::accept_control() {
  for (int i = 0; i < 16; ++i) {
    const int fd = accept4(control.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (ctls.size() >= 16) {
      close(fd);
      continue;
    }
    auto k = std::make_unique<CtlConn>();
    k->tag = Tag::kCtlConn;
    k->fd = fd;
    watch(k.get(), EPOLLIN);
    ctls.push_back(std::move(k));
  }
}

void Hub::Impl::close_ctl(CtlConn* k) {
  epoll_ctl(epoll_fd, EPOLL_CTL_DEL, k->fd, nullptr);
  close(k->fd);
  for (auto it = ctls.begin(); it != ctls.end(); ++it) {
    if (it->get() != k) continue;
    ctls.erase(it);
    return;
  }
}

void Hub::Impl::read_ctl(CtlConn* k) {
  if (k->answered) return;
  const ssize_t n = read(k->fd, k->in + k->in_length, sizeof k->in - k->in_length);
  if (n < 0 && errno == EAGAIN) return;
  if (n > 0) k->in_length += static_cast<size_t>(n);
  char* nl = static_cast<char*>(std::memchr(k->in, '\n', k->in_length));
  if (nl == nullptr && n > 0 && k->in_length <= kMaxControlLine) return;
  if (nl == nullptr && k->in_length > kMaxControlLine) {
    k->out = "{\"error\":\"line longer than 256 bytes\"}\n";
  } else {
    const size_t length = nl != nullptr ? static_cast<size_t>(nl - k->in) : k->in_length;
    k->out = answer(std::string(k->in, length)) + "\n";
  }
  k->answered = true;
  epoll_event ev{};
  ev.events = EPOLLOUT;
  ev.data.ptr = k;
  epoll_ctl(epoll_fd, EPOLL_CTL_MOD, k->fd, &ev);
  write_ctl(k);
}

void Hub::Impl::write_ctl(CtlConn* k) {
  while (k->sent < k->out.size()) {
    const ssize_t n = send(k->fd, k->out.data() + k->sent, k->out.size() - k->sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) break;
    k->sent += static_cast<size_t>(n);
  }
  close_ctl(k);
}

std::string Hub::Impl::answer(const std::string& line_in) {
  std::string line = line_in;
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  const json ok = {{"ok", true}};
  if (line == "stats") return stats();
  if (line == "close") {
    json out = ok;
    out["closed"] = conns.size();
    for (auto& c : conns) c->closing = true;
    return out.dump();
  }
  if (line == "listen off") {
    close_listeners();
    return ok.dump();
  }
  if (line == "listen on") {
    std::string error;
    if (!listening && !open_listeners(&error)) {
      close_listeners();
      return json({{"error", error}}).dump(-1, ' ', true, json::error_handler_t::replace);
    }
    return ok.dump();
  }
  if (line == "hdrver 0" || line == "hdrver 1" || line == "hdrver 2") {
    hdrver = static_cast<uint8_t>(line.back() - '0');
    return ok.dump();
  }
  if (line == "quit") {
    stop = true;
    return ok.dump();
  }
  if (line == "amcode 1" || line == "amcode 2" || line == "amcode 3") {
    const uint32_t code = static_cast<uint32_t>(line.back() - '0');
    json out = ok;
    size_t told = 0;
    for (Client& cl : clients) {
      if (!cl.used || cl.last == nullptr) continue;
      // Exhausted or refreshed: the next request gets another address.
      if (code != 1) release_lease(cl);
      send_addr_answer(cl, code, 0);
      ++told;
    }
    out["clients"] = told;
    return out.dump();
  }
  if (line.rfind("wan down ", 0) == 0 || line.rfind("wan up ", 0) == 0) {
    const bool up = line[4] == 'u';
    uint32_t path_id = 0;
    if (!parse_u32(line.substr(up ? 7 : 9), &path_id))
      return json({{"error", "wan down|up wants a path id"}}).dump();
    for (auto& c : conns) {
      if (c->path_id != path_id || c->closing) continue;
      if (c->wan_up != up) {
        c->wan_up = up;
        wan_changed = true;
      }
      return ok.dump();
    }
    return json({{"error", "no connection with that path id"}}).dump();
  }
  if (line == "ua ack") {
    json out = ok;
    out["clients"] = send_user_auth(false, 0);
    return out.dump();
  }
  if (line.rfind("ua state ", 0) == 0) {
    uint32_t state = 0;
    if (!parse_u32(line.substr(9), &state))
      return json({{"error", "ua state wants a number"}}).dump();
    json out = ok;
    out["clients"] = send_user_auth(true, state);
    return out.dump();
  }
  if (line.rfind("burst ", 0) == 0) {
    const std::string number = line.substr(6);
    char* end = nullptr;
    const unsigned long n = std::strtoul(number.c_str(), &end, 10);
    if (number.empty() || number[0] == '-' || end == nullptr || *end != '\0' || n == 0 ||
        n > kBurstMax) {
      return json({{"error", "burst wants a count from 1 to 1000000"}}).dump();
    }
    json out = ok;
    size_t started = 0;
    for (auto& c : conns) {
      if (!c->established || c->closing) continue;
      c->burst_left = static_cast<uint32_t>(n);
      c->burst_next = 0;
      c->burst_record = 0;
      ++started;
    }
    out["connections"] = started;
    return out.dump();
  }
  return json({{"error", "unknown command"}, {"command", line}})
      .dump(-1, ' ', true, json::error_handler_t::replace);
}

std::string Hub::Impl::stats() {
  json out = json::object();
  out["handshakes"] = handshakes;
  out["handshake_failures"] = handshake_failures;
  out["listening"] = listening;
  out["port"] = bound_port;
  out["hdrver"] = hdrver;
  out["wls_version"] = wls_version;
  json list = json::array();
  for (auto& owned : conns) {
    const Conn& c = *owned;
    json j = c.counters.to_json();
    j["id"] = c.id;
    j["pathid"] = c.path_id;
    j["wan_up"] = c.wan_up;
    j["protocol"] = c.dtls ? "dtls" : "tls";
    j["peer"] = sockaddr_text(c.peer);
    j["established"] = c.established;
    j["tls_version"] = c.established ? SSL_get_version(c.ssl) : "";
    j["cipher"] = c.established ? SSL_CIPHER_get_name(SSL_get_current_cipher(c.ssl)) : "";
    j["client"] = c.client >= 0 ? addr_text(clients[c.client].overlay) : "";
    j["rx_header"] = header_kind_name(c.rx_kind);
    j["rx_version"] = c.rx_version;
    j["tx_header"] = header_kind_name(c.tx_kind);
    j["tx_version"] = c.tx_version;
    list.push_back(j);
  }
  out["connections"] = list;
  json cl = json::array();
  for (const Client& c : clients) {
    if (!c.used) continue;
    json types = json::object();
    for (int t = 0; t < 8; ++t)
      if (c.am_types[t] != 0) types[std::to_string(t)] = c.am_types[t];
    cl.push_back(
        {{"overlay", addr_text(c.overlay)},
         {"vip", c.vip != 0 ? addr_text(c.vip) : ""},
         {"vip_source", c.vip_source},
         {"connections", c.connections},
         {"am_types", types},
         {"am_seen", c.am_seen},
         {"rm_seen", c.rm_seen},
         {"routes_learned", c.routes_learned},
         {"wep_seen", c.wep_seen},
         {"wls_seen", c.wls_seen},
         {"ua_seen", c.ua_seen},
         {"ua_jwt_length", c.ua_jwt_length},
         {"sync", c.has_sync ? json({{"wep", c.sync_wep}, {"wls", c.sync_wls}, {"ua", c.sync_ua}})
                             : json()}});
  }
  out["clients"] = cl;
  out["totals"] = totals.to_json();
  return out.dump();
}

// Sends the next packets of `c`'s burst; true while some remain.
bool Hub::Impl::pump_burst(Conn* c) {
  if (c->burst_left == 0 || !c->established || c->closing) return false;
  for (int turn = 0; turn < kBurstPerTurn && c->burst_left > 0; ++turn) {
    if (c->dtls) {
      const size_t length = burst_packet(c->burst_next, burst_buf.data());
      ERR_clear_error();
      const int n = SSL_write(c->ssl, burst_buf.data(), static_cast<int>(length));
      if (n <= 0) {
        const int e = SSL_get_error(c->ssl, n);
        ERR_clear_error();
        if (e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) break;
        c->closing = true;
        return false;
      }
      ++c->burst_next;
      --c->burst_left;
      continue;
    }
    // TLS: the socket's leftovers go first, so records stay in order.
    if (!c->pending.empty()) {
      flush_out(c);
      if (!c->pending.empty()) break;
    }
    const uint32_t count = std::min(burst_packets_in_record(c->burst_record), c->burst_left);
    size_t length = 0;
    for (uint32_t k = 0; k < count; ++k) {
      length += burst_packet(c->burst_next + k, burst_buf.data() + length);
    }
    c->burst_next += count;
    c->burst_left -= count;
    ++c->burst_record;
    c->pending.insert(c->pending.end(), burst_buf.data(), burst_buf.data() + length);
    flush_out(c);
  }
  return c->burst_left > 0;
}

int Hub::Impl::run() {
  epoll_event events[64];
  bool bursting = false;
  while (!stop) {
    const int n = epoll_wait(epoll_fd, events, 64, bursting ? 1 : 100);
    for (int i = 0; i < n && !stop; ++i) {
      Handle* h = static_cast<Handle*>(events[i].data.ptr);
      switch (h->tag) {
        case Tag::kTcpListener:
          if (tcp_listener.fd >= 0) accept_tcp();
          break;
        case Tag::kUdpListener:
          accept_dtls();
          break;
        case Tag::kConn: {
          Conn* c = static_cast<Conn*>(h);
          if (!c->established) {
            step_handshake(c);
          } else {
            if (events[i].events & EPOLLOUT) flush_out(c);
            read_conn(c);
          }
          if (events[i].events & (EPOLLHUP | EPOLLERR) && !(events[i].events & EPOLLIN))
            c->closing = true;
          break;
        }
        case Tag::kTun:
          read_tun();
          break;
        case Tag::kControl:
          accept_control();
          break;
        case Tag::kCtlConn: {
          CtlConn* k = static_cast<CtlConn*>(h);
          if (k->answered) {
            write_ctl(k);
          } else {
            read_ctl(k);
          }
          break;
        }
        case Tag::kSignal: {
          signalfd_siginfo info;
          while (read(signals.fd, &info, sizeof info) == sizeof info) stop = true;
          break;
        }
      }
    }
    tick();
    bursting = false;
    for (auto& c : conns) bursting = pump_burst(c.get()) || bursting;
    for (size_t i = 0; i < conns.size();) {
      Conn* c = conns[i].get();
      if (!c->closing) flush_batch(c);
      if (c->closing) {
        close_conn(c);
        continue;
      }
      ++i;
    }
    if (wan_changed) send_wan_state();
  }
  // Let a `quit` answer go out before the socket goes.
  while (!ctls.empty()) {
    CtlConn* k = ctls.back().get();
    if (!k->answered) {
      close_ctl(k);
      continue;
    }
    const int flags = fcntl(k->fd, F_GETFL);
    fcntl(k->fd, F_SETFL, flags & ~O_NONBLOCK);
    write_ctl(k);
  }
  close_all();
  return 0;
}

Hub::Hub(HubConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}
Hub::~Hub() = default;
bool Hub::start(std::string* error) { return impl_->start(error); }
uint16_t Hub::port() const { return impl_->bound_port; }
int Hub::run() { return impl_->run(); }

}  // namespace testhub
