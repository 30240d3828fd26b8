#include "ostgraphsvc/graph/elements/overlay/overlay_transport.h"

#include <atomic>
#include <cstdio>

#include "graph/ipaddress.h"
#include "ostgraphsvc/ostssl/ostssl.h"

namespace {

std::atomic<OverlayTransport*> override_transport{nullptr};

std::string dotted(uint32_t address) { return IPAddress(address).to_string().c_str(); }

}  // namespace

OverlayTransport& overlay_transport() {
  static OstsslOverlayTransport forwarding;
  OverlayTransport* t = override_transport.load(std::memory_order_acquire);
  return t != nullptr ? *t : forwarding;
}

void set_overlay_transport(OverlayTransport* transport) {
  override_transport.store(transport, std::memory_order_release);
}

// ---- OstsslOverlayTransport

int OstsslOverlayTransport::start() { return ostssl::init_openssl(); }

void OstsslOverlayTransport::populate_physical_interfaces() {
  ostssl::populate_physical_interfaces();
}

void OstsslOverlayTransport::connect_to_peer(bool tls_only, int remote_port,
                                             const String& peer_pubkey, uint32_t remote_wan_ip,
                                             uint32_t peer_overlay_ip, const String& hubgrp_id,
                                             const String& hubgrp_name, bool primary) {
  ostssl::ssl_connect_to_peer(tls_only, remote_port, peer_pubkey, &remote_wan_ip, &peer_overlay_ip,
                              hubgrp_id, hubgrp_name, primary);
}

void OstsslOverlayTransport::disconnect_all_peers(bool keep_active) {
  ostssl::disconnect_all_peers(keep_active);
}

void OstsslOverlayTransport::disconnect_from_peer(uint32_t remote_wan_ip, uint32_t peer_overlay_ip,
                                                  bool keep_active) {
  ostssl::ssl_disconnect_from_peer(&remote_wan_ip, &peer_overlay_ip, keep_active);
}

void OstsslOverlayTransport::disconnect_from_peer_on_interface(uint32_t remote_wan_ip,
                                                               uint32_t peer_overlay_ip,
                                                               int if_index, int local_ip) {
  ostssl::ssl_disconnect_from_peer_on_interface(&remote_wan_ip, &peer_overlay_ip, if_index,
                                                local_ip);
}

void OstsslOverlayTransport::deprovision_tunnel_to_peer(const OstRemoteWANIPLocalIPPair& key) {
  ostssl::ssl_deprovision_tunnel_to_peer(key);
}

bool OstsslOverlayTransport::is_tunnel_established(uint32_t remote_wan_ip, uint32_t local_ip) {
  return ostssl::is_tunnel_established(remote_wan_ip, local_ip);
}

// ---- RecordingOverlayTransport

void RecordingOverlayTransport::add(std::string line) {
  std::lock_guard<std::mutex> hold(mutex_);
  calls_.push_back(std::move(line));
}

std::vector<std::string> RecordingOverlayTransport::calls() {
  std::lock_guard<std::mutex> hold(mutex_);
  return calls_;
}

void RecordingOverlayTransport::clear() {
  std::lock_guard<std::mutex> hold(mutex_);
  calls_.clear();
}

int RecordingOverlayTransport::start() {
  add("start");
  return start_result;
}

void RecordingOverlayTransport::populate_physical_interfaces() { add("interfaces"); }

void RecordingOverlayTransport::connect_to_peer(bool tls_only, int remote_port, const String&,
                                                uint32_t remote_wan_ip, uint32_t peer_overlay_ip,
                                                const String& hubgrp_id, const String& hubgrp_name,
                                                bool primary) {
  add("connect tls_only=" + std::to_string(tls_only ? 1 : 0) +
      " port=" + std::to_string(remote_port) + " wan=" + dotted(remote_wan_ip) +
      " peer=" + dotted(peer_overlay_ip) + " gid=" + hubgrp_id.c_str() +
      " gname=" + hubgrp_name.c_str() + " primary=" + std::to_string(primary ? 1 : 0));
}

void RecordingOverlayTransport::disconnect_all_peers(bool keep_active) {
  add("disconnect_all keep=" + std::to_string(keep_active ? 1 : 0));
}

void RecordingOverlayTransport::disconnect_from_peer(uint32_t remote_wan_ip,
                                                     uint32_t peer_overlay_ip, bool keep_active) {
  add("disconnect wan=" + dotted(remote_wan_ip) + " peer=" + dotted(peer_overlay_ip) +
      " keep=" + std::to_string(keep_active ? 1 : 0));
}

void RecordingOverlayTransport::disconnect_from_peer_on_interface(uint32_t remote_wan_ip,
                                                                  uint32_t peer_overlay_ip,
                                                                  int if_index, int local_ip) {
  add("disconnect_on_interface wan=" + dotted(remote_wan_ip) + " peer=" + dotted(peer_overlay_ip) +
      " if=" + std::to_string(if_index) + " local=" + dotted(static_cast<uint32_t>(local_ip)));
}

void RecordingOverlayTransport::deprovision_tunnel_to_peer(const OstRemoteWANIPLocalIPPair& key) {
  add(std::string("deprovision ") + key.to_string().c_str());
}

bool RecordingOverlayTransport::is_tunnel_established(uint32_t remote_wan_ip, uint32_t local_ip) {
  return established && connecting.count({remote_wan_ip, local_ip}) == 0;
}
