// OstRemoteWANIPLocalIPPair: the key of the peer transport's connection
// tables.
//
// Two IPv4 addresses in network order, the peer's remote WAN address first
// and the local address second; keys are equal when both halves are. The
// hash is the one-at-a-time hash of the key's 8 bytes in memory order, which
// the hash containers reduce modulo their bucket count, so it is found by
// `hashcode()` through argument-dependent lookup. A plain value; no state.
#ifndef GRAPH_OST_CONNECTION_KEY_H_
#define GRAPH_OST_CONNECTION_KEY_H_

#include <cstdint>

#include "graph/ipaddress.h"
#include "graph/string.h"

struct OstRemoteWANIPLocalIPPair {
  IPAddress remote_wan_ip;
  IPAddress local_ip;

  // "10.0.0.1-192.168.1.2": remote address, "-", local address.
  String to_string() const;

  friend bool operator==(const OstRemoteWANIPLocalIPPair& a, const OstRemoteWANIPLocalIPPair& b) {
    return a.remote_wan_ip == b.remote_wan_ip && a.local_ip == b.local_ip;
  }
};

static_assert(sizeof(OstRemoteWANIPLocalIPPair) == 8);

uint32_t hashcode(const OstRemoteWANIPLocalIPPair& key);

#endif  // GRAPH_OST_CONNECTION_KEY_H_
