// ostssl_listener: how the peer transport tells the overlay of connection
// events, and ostssl_conn_info, the record every event carries.
//
// One listener is registered process-wide (`ostssl::register_listener`); a
// connection copies the registration each time its SSL object is made. Every
// operation gets a pointer to the connection's own record, which stays owned
// by the connection and is valid only during the call.
//
// Threads and locks, by operation:
// - on_ostssl_read: the wait thread, for every packet cut out of a stream,
//   with no transport mutex held.
// - on_ostssl_closed: any thread tearing down an established connection,
//   inside `sslCons`'s mutex: it must not call transport operations that take
//   `ssl_con_tbl`'s mutex.
// - on_ostssl_timeout: the connect thread after a failed or timed-out
//   handshake, inside `ssl_con_tbl`'s mutex. False says the listener may have
//   changed `ssl_con_tbl`, and the connect thread starts its scan again.
// - on_ostssl_connect: the connect thread when a handshake completed, inside
//   `ssl_con_tbl`'s mutex, before the connection enters `sslCons`.
// - slot 4 is reserved and never called.
// - on_ostssl_sock_closed: the wait thread, when a read or write on an
//   established connection failed or its socket is invalid; a negative result
//   makes the transport release the connection's TLS state and socket.
// No connection's own mutex is held during any of them. The results of
// on_ostssl_read, on_ostssl_closed and on_ostssl_connect are ignored.
#ifndef OSTGRAPHSVC_OSTSSL_OSTSSL_LISTENER_H_
#define OSTGRAPHSVC_OSTSSL_OSTSSL_LISTENER_H_

#include <cstdint>

#include "graph/string.h"

// What a listener learns of one connection. Filled by `ostssl::fill_conn_info`
// on the connect thread before on_ostssl_connect and on_ostssl_timeout; the
// other operations pass it as last filled. Its texts own their storage (they
// share no memory with the connection's own texts) and are NUL-terminated
// when filled, so reading them needs no write.
struct ostssl_conn_info {
  // First four bytes (little-endian) of a SHA-1 digest over the peer
  // identity and the addresses and ports, so every reconnect gets a new id.
  uint32_t path_id = 0;
  String peer_id;  // "UFQDN/<peer overlay address>@<kOstsslDomainSuffix>"
  String hubgrp_id;
  String hub_role;               // "Independent", "Primary" or "Secondary"
  uint32_t peer_overlay_ip = 0;  // network order
  uint16_t protocol = 0;         // 1 DTLS, 2 TLS
  String protocol_name;          // "DTLS", "TLS", "IPSEC" or "UNKNOWN"
  uint32_t local_ip = 0;         // network order
  uint32_t remote_ip = 0;        // network order
  int local_port = 0;            // the 16-bit port in network order
  int remote_port = 0;           // the 16-bit port in network order
  int sock = -1;                 // -1 once the socket is closed
  uint16_t path_mtu = 0;         // a hint for the listener; it limits no write
  int if_index = 0;
  uint8_t multilink_mode = 0;  // 0 off, 1 "active_active", 2 "active_standby"
  int if_metric = 0;
  int ssl_protocol = 0;  // the protocol code again, as int
};

class ostssl_listener {
 public:
  virtual bool on_ostssl_read(ostssl_conn_info* info) = 0;              // slot 0
  virtual bool on_ostssl_closed(ostssl_conn_info* info) = 0;            // slot 1
  virtual bool on_ostssl_timeout(ostssl_conn_info* info) = 0;           // slot 2
  virtual bool on_ostssl_connect(ostssl_conn_info* info) = 0;           // slot 3
  virtual bool on_ostssl_reserved(ostssl_conn_info*) { return false; }  // slot 4
  virtual int on_ostssl_sock_closed(ostssl_conn_info* info) = 0;        // slot 5

 protected:
  // Listeners are never deleted through this interface: the implementer
  // (an element) owns itself, and its slots stay these six.
  ~ostssl_listener() = default;
};

#endif  // OSTGRAPHSVC_OSTSSL_OSTSSL_LISTENER_H_
