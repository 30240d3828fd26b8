// ostssl: the peer transport's connections and its process-wide state.
//
// The transport is a client-only TLS/DTLS layer that carries overlay packets
// between this host and its hubs and gateways. It keeps one `ostssl` for
// every pair (remote WAN IPv4 address, local interface IPv4 address), keyed by
// `OstRemoteWANIPLocalIPPair`: one peer reached over two interfaces has two
// connections. There is one transport per process; its operations are static
// members of `ostssl`, and its state (below) is made on first use and never
// destroyed, since detached transport threads may still run while the
// process exits.
//
// Process-wide state:
// - `ssl_con_tbl()`: connections being set up (states 0 to 2), driven by the
//   connect thread. `sslCons()`: established connections (state 3), served by
//   the wait thread. A connection is in the first from creation until its
//   handshake completes or it is disconnected, then in the second until it is
//   torn down. Each table has its own recursive mutex; when both are taken,
//   `ssl_con_tbl`'s comes first.
// - The "connection" wake-up pair (`connection_pair`, made by `init_openssl`)
//   and the "data" pair (`data_pair`, made by each start of the wait thread).
// - The wait-thread guard, allowing one wait thread at a time.
// - The active physical interface list: the interfaces connections are made
//   on, replaced whole and read as a copy, under a mutex of its own.
// - The multilink mode, the DTLS-confirmed flag and the listener
//   registration: written by several threads without a lock, so atomic.
// - The tenant ID: set once, under a mutex, from the peer configuration.
// - The network-monitor factory that `init_openssl` runs, when one is set.
// The received packets travel in the transport's ring `g_transport_qmsg_pool`
// (ostgraphsvc/qmsg).
//
// A connection is shared-owned (the tables hold shared pointers and the
// connection can hand out pointers to itself) and made only by `create`.
// Its fields are grouped below with the lock or thread that owns them.
// Lock order: a table mutex before a connection's mutex; a connection's mutex
// is never held while the listener runs.
#ifndef OSTGRAPHSVC_OSTSSL_OSTSSL_H_
#define OSTGRAPHSVC_OSTSSL_OSTSSL_H_

#include <netinet/in.h>
#include <openssl/types.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "graph/hash_table.h"
#include "graph/ost_connection_key.h"
#include "graph/string.h"
#include "lib/tarninterface/tarninterface.h"
#include "ostgraphsvc/ostssl/ostssl_listener.h"
#include "ostgraphsvc/ostssl/socket_pair.h"
#include "ostgraphsvc/qmsg/qmsg.h"

// The domain suffix of peer identities ("UFQDN/<address>@tarn.local"). The
// overlay's peer descriptors and the pinned gateway key files use the same.
inline constexpr char kOstsslDomainSuffix[] = "tarn.local";

inline constexpr char kOstsslCipherList[] = "NULL:AES128-SHA:AES256-SHA:HIGH!MD5!aNULL";

// Buckets of both tables at start.
inline constexpr uint32_t kOstsslTableBuckets = 63;

enum ostssl_state : int {
  OSTSSL_NOT_INITIALIZED = 0,  // created, or reset after a failure or tear-down
  OSTSSL_INITIALIZED = 1,      // SSL context made
  OSTSSL_CONNECTING = 2,       // socket connected, SSL object made, handshake under way
  OSTSSL_CONNECTED = 3,        // handshake done; the connection is in sslCons
};

// "OSTSSL_NOT_INITIALIZED" ... "OSTSSL_CONNECTED", by state value.
extern const std::map<int, const char*> ostssl_state_names;

// Protocol codes. IPSEC (and any other code) is named but never connected.
enum : int {
  OSTSSL_PROTO_IPSEC = 0,
  OSTSSL_PROTO_DTLS = 1,  // over UDP
  OSTSSL_PROTO_TLS = 2,   // over TCP
};

class ostssl;
class TunnelPacketWriter;

// The bucket of `key` in a table of `bucket_count` buckets: the key's
// one-at-a-time hash (its `hashcode`) modulo the count.
uint32_t ssl_conn_table_bucket(const OstRemoteWANIPLocalIPPair& key,
                               uint32_t bucket_count = kOstsslTableBuckets);

// One of the two connection tables. The helpers take the mutex themselves
// (it is recursive, so a thread that holds it may call them); a scan over
// `table` holds the mutex throughout.
struct ssl_conn_table {
  ssl_conn_table(const char* log, const char* count) : log_name(log), count_name(count) {}
  ssl_conn_table(const ssl_conn_table&) = delete;
  ssl_conn_table& operator=(const ssl_conn_table&) = delete;

  // Inserts `conn` under `key`. A key that is present keeps its connection:
  // false then.
  bool insert(const OstRemoteWANIPLocalIPPair& key, const std::shared_ptr<ostssl>& conn);
  // The connection of `key`, or null.
  std::shared_ptr<ostssl> find(const OstRemoteWANIPLocalIPPair& key);
  // False when `key` was not there.
  bool erase(const OstRemoteWANIPLocalIPPair& key);
  uint64_t size();
  void clear();
  // Removes the entry at `it` during a scan (mutex held); the next one.
  HashTable<OstRemoteWANIPLocalIPPair, std::shared_ptr<ostssl>>::iterator erase_at(
      HashTable<OstRemoteWANIPLocalIPPair, std::shared_ptr<ostssl>>::iterator it);
  // Entries leave only through erase, erase_at and clear, which keep the key
  // copy below in step; never erase from `table` directly.
  // Whether `key` is in the table, from a copy of the keys kept in step under
  // a leaf mutex: no other lock is taken, so any thread may ask while another
  // holds `mutex`.
  bool has_key(const OstRemoteWANIPLocalIPPair& key) const;

  const char* const log_name;    // "ssl_con_tbl" or "ssl_tbl"
  const char* const count_name;  // "Connecting Hubs" or "Connected Hubs"
  std::recursive_mutex mutex;
  HashTable<OstRemoteWANIPLocalIPPair, std::shared_ptr<ostssl>> table;  // guarded by mutex

 private:
  mutable std::mutex keys_mutex_;
  std::set<std::pair<uint32_t, uint32_t>> keys_;  // guarded by keys_mutex_
};

// Lets at most one wait thread run: `running` is 0 while none runs and -1
// while one does; both read and written under `mutex`.
// `starting` is set while a thread has been started but has not yet claimed
// the guard, so that two connect requests do not start two threads.
struct ostssl_wait_guard {
  std::mutex mutex;
  std::condition_variable cv;
  int running = 0;
  bool starting = false;
};

// Bytes of packets a connection may hold in its pending queue; a write past
// it is dropped.
inline constexpr size_t kOstsslPendingLimit = 4u << 20;
// The read buffer: the largest IPv4 packet less one byte left over from the
// last read, plus one whole read.
inline constexpr size_t kOstsslReadChunk = 16384;
inline constexpr size_t kOstsslReadBufferSize = 65535 + kOstsslReadChunk;

class ostssl : public std::enable_shared_from_this<ostssl> {
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  // Makes a connection with its defaults: no socket, not closed, write-ready,
  // protocol DTLS, state OSTSSL_NOT_INITIALIZED, path MTU hint 1300, buffers of
  // 1 MiB wanted.
  static std::shared_ptr<ostssl> create();
  explicit ostssl(Passkey);
  ostssl(const ostssl&) = delete;
  ostssl& operator=(const ostssl&) = delete;
  // Frees what the connection still holds: SSL object, context, socket.
  ~ostssl();

  // ---- Process-wide operations; any thread.

  // Brings the transport up: OpenSSL, the socket layer, the "connection"
  // pair and the network monitor. 0 when the transport runs, -1 (logged) when
  // the socket layer or the pair failed; a later call tries again. Once it
  // ran, further calls return 0 and make nothing.
  static int init_openssl();

  // The factory `init_openssl` runs to make the network monitor, which then
  // lives as long as the process; false from it means the monitor could not
  // be made (logged, not fatal). While none is set, nothing is made.
  static void set_net_monitor_factory(std::function<bool()> factory);

  static ssl_conn_table& ssl_con_tbl();
  static ssl_conn_table& sslCons();
  static SocketPair& connection_pair();
  static SocketPair& data_pair();
  static ostssl_wait_guard& wait_guard();

  // The interfaces connections are made on: the rebuilt list replaces the
  // old one whole, and readers get a copy.
  static std::vector<DefaultInterface> active_interfaces();
  static void set_active_interfaces(std::vector<DefaultInterface> interfaces);

  // 0 off, 1 "active_active", 2 "active_standby".
  static uint8_t multilink_mode();
  static void set_multilink_mode(uint8_t mode);
  // Set when any DTLS handshake completed: a failing DTLS connection then
  // does not fall back to TLS.
  static bool dtls_confirmed();
  static void set_dtls_confirmed(bool confirmed);
  // The overlay's listener, or null; copied into each connection when its SSL
  // object is made.
  static ostssl_listener* registered_listener();
  static void register_listener(ostssl_listener* listener);

  // Sets the tenant ID from the peer configuration while it is still empty
  // (logged); later calls within the process change nothing.
  static void ssl_check_and_set_tenant_id(const String& tenant_id);
  // A copy of the tenant ID (its own storage); empty until set.
  static String get_tenant_id();

  // "DTLS", "TLS", "IPSEC", or "UNKNOWN" (logged) for any other code.
  static String get_ssl_protocol_string(int protocol);

  // Ends the connect and wait threads and waits until both have gone, so
  // that no transport thread calls the listener any more. The service calls
  // it once it has stopped, before its graph (and the listener with it) goes.
  static void stop_threads();

  // Tests only: empties both tables and the interface list, closes both
  // pairs, clears the flags, the listener, the tenant ID, the monitor
  // factory and the receive ring, and lets `init_openssl` run again. Ends the
  // connect and wait threads first.
  static void reset_for_testing();

  // ---- Established connections (ostssl_io.cc).

  // The wait thread's body: serves every connection in sslCons (reads, cuts
  // packets, posts them as blocks; drains pending writes). At most one runs
  // (the wait-thread guard); a second waits until the first ends.
  static void ssl_wait();
  // Starts a wait thread, detached, unless one runs or is starting.
  static void start_wait_thread();
  // Tests only: ends the wait thread (if any) and waits until it has gone.
  static void stop_wait_thread_for_testing();
  // Tests only: the ring the cutter takes blocks from and the queue it posts
  // them on (null: the process's transport ring and queue). Set while no
  // wait thread runs.
  static void set_receive_ring_for_testing(QMsgBlockPool* ring, QMsgQueue* queue);

  // Writes one IPv4 packet to the established connection (remote WAN, local
  // address; network order). 0 when such a connection exists, whatever then
  // happens to the packet; -1 (debug line) when none does. Packet thread.
  static int ssl_write_packet(uint32_t remote_wan_ip, uint32_t local_ip, const unsigned char* data,
                              int length);
  // The capture element's way into the transport: writes through
  // `ssl_write_packet`. `init_openssl` installs it with
  // `set_tunnel_packet_writer`; it lives as long as the process.
  static TunnelPacketWriter* tunnel_writer();

  // ---- Connect requests and tear-down (ostssl_conn.cc). Addresses are
  // IPv4 in network order; a WAN address of 0 means every WAN address of
  // the peer.

  // Asks for one connection to the hub per active interface. Off the
  // connect thread (while it runs) the request is queued to it and the
  // call returns at once; see `queue_or_run`.
  static void ssl_connect_to_peer(bool tls_only, int remote_port, const String& peer_pubkey,
                                  const uint32_t* remote_wan_ip, const uint32_t* peer_overlay_ip,
                                  const String& hubgrp_id, const String& hubgrp_name, bool primary);
  // Rebuilds the active interface list from the default-route interfaces.
  static void populate_physical_interfaces();
  static bool createSSLObject(const String& remote_host, int remote_port,
                              const String& peer_overlay, const String& hubgrp_id,
                              const String& hub_role, bool tls_only, const String& peer_pubkey,
                              uint16_t path_mtu_hint, const String& local_addr, int if_metric,
                              int if_index);
  // The connect thread's body; started, detached, by `init_openssl`.
  static void ssl_connect_thread();
  static void start_connect_thread();
  // Tests only: ends the connect thread and drops queued requests.
  static void stop_connect_thread_for_testing();
  // One pass over ssl_con_tbl; sockets still handshaking are added to
  // `read_fds`.
  static void ssl_initiate_connect(std::vector<int>* read_fds);
  static bool is_connect_thread();

  static void closeAllConns();
  static void ssl_deprovision_tunnel_to_peer(const OstRemoteWANIPLocalIPPair& key);
  // Answers from a copy of sslCons's keys under a leaf mutex, so it never
  // waits on a lock a listener callback may hold.
  static bool is_tunnel_established(uint32_t remote_wan_ip, uint32_t local_ip);
  static void ssl_disconnect_from_peer(const uint32_t* remote_wan_ip,
                                       const uint32_t* peer_overlay_ip, bool keep_active);
  static void ssl_disconnect_from_peer_on_interface(const uint32_t* remote_wan_ip,
                                                    const uint32_t* peer_overlay_ip, int if_index,
                                                    int local_ip);
  static void disconnect_all_peers(bool keep_active);
  static bool check_and_clean_hubgrp_connection(const String& hubgrp_id, const String& hubgrp_name,
                                                const String& hub_overlay, const String& hub_wan,
                                                bool primary);

  // Per-connection set-up steps, run by the connect thread's pass.
  int ssl_init();
  int ssl_create();
  int ssl_connect();
  int tcp_connect();
  int udp_connect();
  int initSocketAndConnect(int proto, const String& remote_text, int* error, uint32_t* duration_ms);
  bool bind_with_localinterface();
  void tuneSocketBuf();
  void set_non_blocking();
  void insert_to_sslCons();

  // Tear-down of this connection: state, shutdown, socket; the listener
  // hears of it when it was established. The caller removes it from its
  // table.
  void deprovision_tunnel();
  // Sends the close notification; SSL_shutdown is called at most twice.
  void ssl_shutdown();
  // Frees TLS state and socket; the connection stays in its table.
  void ssl_cleanup();

  // "(local->remote)" parts for log lines.
  String local_text() const;
  String remote_text() const;

  // ---- One connection.

  // Writes or queues one packet. 0 written, queued after a would-block, or
  // dropped (closed connection, pending queue full, DTLS packet over the
  // path MTU); 10035 queued behind earlier pending packets; -1 failed.
  // Takes `mutex`.
  int ssl_write_data(const unsigned char* data, int length, int* written);
  // SSL_write of the whole packet; the caller holds `mutex`. 0 written (or a
  // DTLS packet dropped as too big), 10035 would block, -1 failed.
  int ssl_write(const unsigned char* data, int length, int* written);
  // One SSL_read into `buffer`, under `mutex`. 0 with or without bytes,
  // 10035 nothing to read, -1 failed or closed by the peer.
  int ssl_read(unsigned char* buffer, int capacity, int* read);
  // Bytes OpenSSL holds decrypted but not yet read; under `mutex`.
  int ssl_pending_bytes();
  // Feeds received bytes to the packet cutter: every whole IPv4 packet is
  // posted as a block. Wait thread (or one test thread) only.
  void onRead(const unsigned char* data, size_t length);
  // Writes up to 50 pending packets; false on a write failure. Wait thread.
  bool onWriteReady();
  // Marks the connection closed and tells the listener, unless it was
  // already closed (by an earlier call or a tear-down). No transport mutex
  // may be held.
  void onSockClosed();

  // Fills `conn_info` from the fields below and computes its path id. On the
  // connect thread, before on_ostssl_connect and on_ostssl_timeout.
  void fill_conn_info();

  // ---- Certificates and peer identity (ostssl_cert.cc, ostssl_cert.h).

  // Installs this host's certificate ("secret/signedcert.pem") and key
  // ("secret/key.pem") under the configuration directory on `ssl`, read anew
  // for every SSL object. 0, or -1 (logged).
  int set_client_cert();
  // Hooks the peer checks into `ssl`: stores this connection in the SSL
  // object's ex_data slot `ostssl_ex_data_index()` and sets SSL_VERIFY_PEER
  // with `verify_peer_pubkey` on the SSL object itself (an SSL object copies
  // the context's verify mode when it is made, so a callback set on the
  // context later would never run). 0, or -1 without an SSL object.
  int install_peer_verify();
  // The OpenSSL verify callback: 1 accept, 0 reject. Depth 0 is the peer's
  // own certificate and always gets the identity checks; a certificate
  // above it is accepted when the chain check passed there. Runs inside
  // SSL_connect on the thread that calls it.
  static int verify_peer_pubkey(int preverify_ok, X509_STORE_CTX* store);
  // The identity checks of a peer's own certificate against this
  // connection: address, tenant, configured (or pinned) key. 1 accept, 0
  // reject, each rejection logged.
  int check_peer_leaf(X509* cert);
  // This connection's configured key when `peer_ip` (network order) is its
  // peer overlay address. 0, or -1 when the address is another peer's or no
  // key is configured.
  int get_configured_peer_pubkey(uint32_t peer_ip, String* pem) const;
  // "%s failed, error %d:%s": `call`, SSL_get_error of `result` on `ssl`,
  // and the OpenSSL error text.
  void log_ssl_error(const char* call, int result);

  // Connect start time, when the connection entered OSTSSL_CONNECTING.
  int32_t connect_start_sec = 0;
  uint32_t connect_start_usec = 0;

  // TLS state and socket; guarded by `mutex`.
  SSL_CTX* ssl_ctx = nullptr;
  SSL* ssl = nullptr;
  BIO* dgram_bio = nullptr;  // DTLS only; owned by `ssl` once attached
  int sock = -1;

  // 1 once cleaned up, torn down or reported closed: no writes, no reads.
  std::atomic<uint8_t> closed{0};

  uint16_t remote_port = 0;        // host order
  sockaddr_storage remote_addr{};  // as name resolution returned it
  socklen_t remote_addr_len = 0;
  sockaddr_in local_bound_addr{};  // getsockname after connect

  // 0 while packets wait in `pending` for the socket to become writable.
  std::atomic<uint8_t> write_ready{1};

  uint8_t blocking_socket = 0;  // 0: the socket is made non-blocking
  String cipher_list = kOstsslCipherList;
  String remote_host;            // dotted remote WAN address
  uint32_t peer_overlay_ip = 0;  // network order
  uint32_t remote_wan_ip = 0;    // network order
  String local_addr;             // dotted local interface address
  int protocol = OSTSSL_PROTO_DTLS;
  uint8_t tls_only = 0;  // no DTLS/TLS fallback
  ostssl_listener* listener = nullptr;
  ostssl_conn_info conn_info;
  ostssl_state state = OSTSSL_NOT_INITIALIZED;
  String peer_pubkey;  // PEM text from the peer configuration
  String hubgrp_id;
  String hub_role;  // "Independent", "Primary" or "Secondary"

  // Copies of packets not yet written, and their bytes; guarded by `mutex`.
  std::deque<std::string> pending;
  size_t pending_bytes = 0;
  uint64_t pending_drop_count = 0;

  int wanted_rcvbuf = 1048576;
  int wanted_sndbuf = 1048576;
  int rcvbuf = 0;  // as read back from the socket
  int sndbuf = 0;

  // Guards the SSL calls, the socket close, the state change of a tear-down
  // and `pending`. Not recursive.
  std::mutex mutex;

  uint8_t blocking_connect = 0;  // 0: TCP connects wait at most 5 s
  uint16_t path_mtu = 1300;      // reported to the listener only

  // Received bytes not yet cut into packets: one allocation of
  // kOstsslReadBufferSize made at the first read; wait thread only.
  std::unique_ptr<unsigned char[]> read_buf;
  size_t read_buf_count = 0;
  uint64_t read_drop_count = 0;  // packets without a block, cut DTLS tails
  int last_ssl_error = 0;        // of the last failed SSL_read; wait thread

  int if_metric = 0;
  int if_index = 0;

  int write_not_ready_count = 0;
  int write_not_ready_log_period = 10;
  int would_block_count = 0;
  int would_block_log_period = 10;
};

#endif  // OSTGRAPHSVC_OSTSSL_OSTSSL_H_
