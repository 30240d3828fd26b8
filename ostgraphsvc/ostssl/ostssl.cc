#include "ostgraphsvc/ostssl/ostssl.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <utility>

#include "graph/ipaddress.h"
#include "graph/router_log.h"
#include "ostgraphsvc/graph/elements/local/tunnel_writer.h"
#include "platform/net/net.h"

#define OSTSSL_LOG(level, tag, ...) \
  log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

const std::map<int, const char*> ostssl_state_names = {
    {OSTSSL_NOT_INITIALIZED, "OSTSSL_NOT_INITIALIZED"},
    {OSTSSL_INITIALIZED, "OSTSSL_INITIALIZED"},
    {OSTSSL_CONNECTING, "OSTSSL_CONNECTING"},
    {OSTSSL_CONNECTED, "OSTSSL_CONNECTED"},
};

namespace {

constexpr char kInitTag[] = "ostssl::init_openssl";
constexpr char kProtocolTag[] = "ostssl::get_ssl_protocol_string";
constexpr char kTenantTag[] = "ostssl::ssl_check_and_set_tenant_id";
constexpr char kConnInfoTag[] = "ostssl::fill_conn_info";

// Everything the transport keeps for the process. Made on first use and
// never destroyed: detached transport threads may still use it while the
// process runs its exit handlers.
struct TransportState {
  ssl_conn_table connecting{"ssl_con_tbl", "Connecting Hubs"};
  ssl_conn_table connected{"ssl_tbl", "Connected Hubs"};
  SocketPair connection_pair;
  SocketPair data_pair;
  ostssl_wait_guard wait_guard;

  std::mutex interfaces_mutex;
  std::vector<DefaultInterface> active_interfaces;  // guarded by interfaces_mutex

  std::atomic<uint8_t> multilink_mode{0};
  std::atomic<bool> dtls_confirmed{false};
  std::atomic<ostssl_listener*> listener{nullptr};

  std::mutex tenant_mutex;
  std::string tenant_id;  // guarded by tenant_mutex

  std::mutex init_mutex;
  bool initialised = false;                   // guarded by init_mutex
  std::function<bool()> net_monitor_factory;  // guarded by init_mutex
};

TransportState& transport() {
  static TransportState& state = *new TransportState;
  return state;
}

// Four bytes in memory order read as a little-endian number, whatever the
// host's byte order: the path id is defined on these bytes.
uint32_t little_endian32(const void* p) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
         static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

uint16_t little_endian16(const void* p) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  return static_cast<uint16_t>(b[0] | b[1] << 8);
}

// A String with storage of its own, NUL-terminated now so that readers on
// other threads never make c_str() write.
String own_copy(const char* data, int length) {
  String s(data, length);
  s.c_str();
  return s;
}

String own_copy(const String& s) { return own_copy(s.data(), s.length()); }

}  // namespace

uint32_t ssl_conn_table_bucket(const OstRemoteWANIPLocalIPPair& key, uint32_t bucket_count) {
  if (bucket_count == 0) return 0;
  return hashcode(key) % bucket_count;
}

bool ssl_conn_table::insert(const OstRemoteWANIPLocalIPPair& key,
                            const std::shared_ptr<ostssl>& conn) {
  std::lock_guard<std::recursive_mutex> guard(mutex);
  auto it = table.find_insert(key, conn);
  if (it->value != conn) return false;
  std::lock_guard<std::mutex> keys(keys_mutex_);
  keys_.emplace(key.remote_wan_ip.addr(), key.local_ip.addr());
  return true;
}

HashTable<OstRemoteWANIPLocalIPPair, std::shared_ptr<ostssl>>::iterator ssl_conn_table::erase_at(
    HashTable<OstRemoteWANIPLocalIPPair, std::shared_ptr<ostssl>>::iterator it) {
  std::lock_guard<std::recursive_mutex> guard(mutex);
  {
    std::lock_guard<std::mutex> keys(keys_mutex_);
    keys_.erase({it->key.remote_wan_ip.addr(), it->key.local_ip.addr()});
  }
  return table.erase(it);
}

bool ssl_conn_table::has_key(const OstRemoteWANIPLocalIPPair& key) const {
  std::lock_guard<std::mutex> keys(keys_mutex_);
  return keys_.count({key.remote_wan_ip.addr(), key.local_ip.addr()}) != 0;
}

std::shared_ptr<ostssl> ssl_conn_table::find(const OstRemoteWANIPLocalIPPair& key) {
  std::lock_guard<std::recursive_mutex> guard(mutex);
  auto it = table.find(key);
  return it.live() ? it->value : nullptr;
}

bool ssl_conn_table::erase(const OstRemoteWANIPLocalIPPair& key) {
  std::lock_guard<std::recursive_mutex> guard(mutex);
  auto it = table.find(key);
  if (!it.live()) return false;
  erase_at(it);
  return true;
}

uint64_t ssl_conn_table::size() {
  std::lock_guard<std::recursive_mutex> guard(mutex);
  return table.size();
}

void ssl_conn_table::clear() {
  std::lock_guard<std::recursive_mutex> guard(mutex);
  for (auto it = table.begin(); it.live();) it = erase_at(it);
}

std::shared_ptr<ostssl> ostssl::create() { return std::make_shared<ostssl>(Passkey()); }

ostssl::ostssl(Passkey) {}

ostssl::~ostssl() {
  const std::string local(local_addr.data(), static_cast<size_t>(local_addr.length()));
  const std::string remote(remote_host.data(), static_cast<size_t>(remote_host.length()));
  OSTSSL_LOG(7, "ostssl::~ostssl", "Destroying ostssl object for pair (%s->%s)", local.c_str(),
             remote.c_str());
  if (ssl != nullptr || ssl_ctx != nullptr) {
    OSTSSL_LOG(7, "ostssl::~ostssl", "Cleaning ssl memory for pair (%s->%s)", local.c_str(),
               remote.c_str());
    ssl_cleanup();
  }
  if (sock >= 0) ::close(sock);
}

int ostssl::init_openssl() {
  TransportState& state = transport();
  std::lock_guard<std::mutex> guard(state.init_mutex);
  if (state.initialised) return 0;

  // OpenSSL 3 loads the error strings of every library itself.
  OPENSSL_init_ssl(0, nullptr);
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);

  // Held for the life of the process, like the transport.
  if (platform::wsa_startup(2, 2) != 0) {
    OSTSSL_LOG(6, kInitTag, "winsock init error");
    return -1;
  }
  if (!state.connection_pair.init("connection")) {
    OSTSSL_LOG(6, kInitTag, "error creating ssl connect socket pair");
    return -1;
  }

  // A handshake the peer refused leaves a socket whose far end is gone; a
  // write to it must fail with EPIPE rather than end the process. Ignored
  // for the whole process, which has no use for the signal.
  std::signal(SIGPIPE, SIG_IGN);

  // The connect thread runs for the life of the process; the wait thread
  // until its poll or its wake-up pair fails (a connect request then starts
  // another).
  start_connect_thread();
  start_wait_thread();
  set_tunnel_packet_writer(tunnel_writer());

  if (state.net_monitor_factory && !state.net_monitor_factory()) {
    OSTSSL_LOG(6, kInitTag, "error initializing network monitoring!!!");
  }
  state.initialised = true;
  return 0;
}

void ostssl::set_net_monitor_factory(std::function<bool()> factory) {
  TransportState& state = transport();
  std::lock_guard<std::mutex> guard(state.init_mutex);
  state.net_monitor_factory = std::move(factory);
}

ssl_conn_table& ostssl::ssl_con_tbl() { return transport().connecting; }
ssl_conn_table& ostssl::sslCons() { return transport().connected; }
SocketPair& ostssl::connection_pair() { return transport().connection_pair; }
SocketPair& ostssl::data_pair() { return transport().data_pair; }
ostssl_wait_guard& ostssl::wait_guard() { return transport().wait_guard; }

std::vector<DefaultInterface> ostssl::active_interfaces() {
  TransportState& state = transport();
  std::lock_guard<std::mutex> guard(state.interfaces_mutex);
  return state.active_interfaces;
}

void ostssl::set_active_interfaces(std::vector<DefaultInterface> interfaces) {
  TransportState& state = transport();
  std::lock_guard<std::mutex> guard(state.interfaces_mutex);
  state.active_interfaces = std::move(interfaces);
}

uint8_t ostssl::multilink_mode() { return transport().multilink_mode.load(); }
void ostssl::set_multilink_mode(uint8_t mode) { transport().multilink_mode.store(mode); }
bool ostssl::dtls_confirmed() { return transport().dtls_confirmed.load(); }
void ostssl::set_dtls_confirmed(bool confirmed) { transport().dtls_confirmed.store(confirmed); }
ostssl_listener* ostssl::registered_listener() { return transport().listener.load(); }
void ostssl::register_listener(ostssl_listener* listener) { transport().listener.store(listener); }

void ostssl::ssl_check_and_set_tenant_id(const String& tenant_id) {
  TransportState& state = transport();
  std::lock_guard<std::mutex> guard(state.tenant_mutex);
  if (!state.tenant_id.empty() || tenant_id.empty()) return;
  state.tenant_id.assign(tenant_id.data(), static_cast<size_t>(tenant_id.length()));
  // The text comes from a configuration file: shown with its control bytes
  // escaped.
  String shown = tenant_id.printable();
  OSTSSL_LOG(6, kTenantTag, "ostssl: tenant id is %s", shown.c_str());
}

String ostssl::get_tenant_id() {
  TransportState& state = transport();
  std::lock_guard<std::mutex> guard(state.tenant_mutex);
  return own_copy(state.tenant_id.data(), static_cast<int>(state.tenant_id.size()));
}

String ostssl::get_ssl_protocol_string(int protocol) {
  switch (protocol) {
    case OSTSSL_PROTO_IPSEC:
      return String("IPSEC");
    case OSTSSL_PROTO_DTLS:
      return String("DTLS");
    case OSTSSL_PROTO_TLS:
      return String("TLS");
    default:
      OSTSSL_LOG(6, kProtocolTag, "Unknown SSL protocol value: %d", protocol);
      return String("UNKNOWN");
  }
}

void ostssl::stop_threads() {
  stop_connect_thread_for_testing();
  stop_wait_thread_for_testing();
}

void ostssl::reset_for_testing() {
  stop_connect_thread_for_testing();
  stop_wait_thread_for_testing();
  set_receive_ring_for_testing(nullptr, nullptr);
  if (tunnel_packet_writer() == tunnel_writer()) set_tunnel_packet_writer(nullptr);
  TransportState& state = transport();
  state.connecting.clear();
  state.connected.clear();
  state.connection_pair.close();
  state.data_pair.close();
  {
    std::lock_guard<std::mutex> guard(state.wait_guard.mutex);
    state.wait_guard.running = 0;
  }
  {
    std::lock_guard<std::mutex> guard(state.interfaces_mutex);
    state.active_interfaces.clear();
  }
  state.multilink_mode.store(0);
  state.dtls_confirmed.store(false);
  state.listener.store(nullptr);
  {
    std::lock_guard<std::mutex> guard(state.tenant_mutex);
    state.tenant_id.clear();
  }
  std::lock_guard<std::mutex> guard(state.init_mutex);
  state.initialised = false;
  state.net_monitor_factory = nullptr;
}

void ostssl::fill_conn_info() {
  ostssl_conn_info& info = conn_info;
  const String overlay = IPAddress(peer_overlay_ip).to_string();
  char identity[64];
  int identity_length = std::snprintf(identity, sizeof(identity), "UFQDN/%s@%s", overlay.c_str(),
                                      kOstsslDomainSuffix);
  info.peer_id = own_copy(identity, identity_length);

  info.protocol = static_cast<uint16_t>(protocol);
  info.ssl_protocol = protocol;
  info.protocol_name = own_copy(get_ssl_protocol_string(protocol));
  const uint32_t local_ip = local_bound_addr.sin_addr.s_addr;
  const uint16_t local_port = local_bound_addr.sin_port;
  uint32_t remote_ip = 0;
  uint16_t remote_port_net = 0;
  if (remote_addr.ss_family == AF_INET) {
    sockaddr_in remote;
    std::memcpy(&remote, &remote_addr, sizeof(remote));
    remote_ip = remote.sin_addr.s_addr;
    remote_port_net = remote.sin_port;
  }
  info.local_ip = local_ip;
  info.local_port = local_port;
  info.remote_ip = remote_ip;
  info.remote_port = remote_port_net;
  info.sock = sock;
  info.path_mtu = path_mtu;
  info.if_index = if_index;
  info.if_metric = if_metric;
  info.multilink_mode = multilink_mode();
  info.hubgrp_id = own_copy(hubgrp_id);
  info.hub_role = own_copy(hub_role);
  info.peer_overlay_ip = peer_overlay_ip;

  // The id covers the bytes as they lie in the socket addresses, so it is
  // the same on any host; a new local port gives a new id.
  const uint16_t remote_port_le = little_endian16(&remote_port_net);
  const uint16_t local_port_le = little_endian16(&local_port);
  char text[128];
  int length = std::snprintf(
      text, sizeof(text), "%s%lu%lu%lu", identity,
      static_cast<unsigned long>(little_endian32(&remote_ip)),
      static_cast<unsigned long>(little_endian32(&local_ip)),
      static_cast<unsigned long>(static_cast<uint32_t>(remote_port_le) << 16 | local_port_le));
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  if (EVP_Digest(text, static_cast<size_t>(length), digest, &digest_length, EVP_sha1(), nullptr) !=
          1 ||
      digest_length < 4) {
    OSTSSL_LOG(3, kConnInfoTag, "ostssl: SHA-1 of the path of %s failed", identity);
    info.path_id = 0;
    return;
  }
  info.path_id = little_endian32(digest);
}
