// OverlayTransport: the only way the overlay element reaches the peer
// transport (start-up, connect requests, the disconnects, deprovisioning
// and the interface list), so that its tests run against
// RecordingOverlayTransport instead of real connections.
//
// `overlay_transport()` answers the transport in use: the one a test set
// with `set_overlay_transport`, else the process-wide OstsslOverlayTransport,
// which forwards each call to the static operations of `ostssl`.
//
// Threads: the forwarding calls are as thread-safe as the ostssl operations
// they call (see ostssl.h); the recording transport keeps its calls under a
// mutex of its own, so any thread may call it. The override is set while no
// element uses the transport.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OVERLAY_TRANSPORT_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OVERLAY_TRANSPORT_H_

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "graph/ost_connection_key.h"
#include "graph/string.h"

class OverlayTransport {
 public:
  virtual ~OverlayTransport() = default;

  // Brings the transport up; 0, or -1 when it could not start.
  virtual int start() = 0;
  // Rebuilds the list of interfaces connections are made on.
  virtual void populate_physical_interfaces() = 0;
  // Addresses in network order; a WAN address of 0 means any.
  virtual void connect_to_peer(bool tls_only, int remote_port, const String& peer_pubkey,
                               uint32_t remote_wan_ip, uint32_t peer_overlay_ip,
                               const String& hubgrp_id, const String& hubgrp_name,
                               bool primary) = 0;
  virtual void disconnect_all_peers(bool keep_active) = 0;
  virtual void disconnect_from_peer(uint32_t remote_wan_ip, uint32_t peer_overlay_ip,
                                    bool keep_active) = 0;
  virtual void disconnect_from_peer_on_interface(uint32_t remote_wan_ip, uint32_t peer_overlay_ip,
                                                 int if_index, int local_ip) = 0;
  virtual void deprovision_tunnel_to_peer(const OstRemoteWANIPLocalIPPair& key) = 0;
  virtual bool is_tunnel_established(uint32_t remote_wan_ip, uint32_t local_ip) = 0;
};

// Forwards to ostssl.
class OstsslOverlayTransport : public OverlayTransport {
 public:
  int start() override;
  void populate_physical_interfaces() override;
  void connect_to_peer(bool tls_only, int remote_port, const String& peer_pubkey,
                       uint32_t remote_wan_ip, uint32_t peer_overlay_ip, const String& hubgrp_id,
                       const String& hubgrp_name, bool primary) override;
  void disconnect_all_peers(bool keep_active) override;
  void disconnect_from_peer(uint32_t remote_wan_ip, uint32_t peer_overlay_ip,
                            bool keep_active) override;
  void disconnect_from_peer_on_interface(uint32_t remote_wan_ip, uint32_t peer_overlay_ip,
                                         int if_index, int local_ip) override;
  void deprovision_tunnel_to_peer(const OstRemoteWANIPLocalIPPair& key) override;
  bool is_tunnel_established(uint32_t remote_wan_ip, uint32_t local_ip) override;
};

// Records every call as one line of text, e.g.
//   "connect tls_only=0 port=443 wan=192.0.2.1 peer=10.20.0.1 gid=g1 gname=n1 primary=1"
// and answers `is_tunnel_established` from `established`, except for the
// (remote WAN, local WAN) pairs in `connecting`, which are never established.
class RecordingOverlayTransport : public OverlayTransport {
 public:
  int start() override;
  void populate_physical_interfaces() override;
  void connect_to_peer(bool tls_only, int remote_port, const String& peer_pubkey,
                       uint32_t remote_wan_ip, uint32_t peer_overlay_ip, const String& hubgrp_id,
                       const String& hubgrp_name, bool primary) override;
  void disconnect_all_peers(bool keep_active) override;
  void disconnect_from_peer(uint32_t remote_wan_ip, uint32_t peer_overlay_ip,
                            bool keep_active) override;
  void disconnect_from_peer_on_interface(uint32_t remote_wan_ip, uint32_t peer_overlay_ip,
                                         int if_index, int local_ip) override;
  void deprovision_tunnel_to_peer(const OstRemoteWANIPLocalIPPair& key) override;
  bool is_tunnel_established(uint32_t remote_wan_ip, uint32_t local_ip) override;

  std::vector<std::string> calls();
  void clear();

  bool established = false;
  std::set<std::pair<uint32_t, uint32_t>> connecting;
  int start_result = 0;

 private:
  void add(std::string line);

  std::mutex mutex_;
  std::vector<std::string> calls_;
};

OverlayTransport& overlay_transport();
// Null puts the ostssl transport back.
void set_overlay_transport(OverlayTransport* transport);

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OVERLAY_TRANSPORT_H_
