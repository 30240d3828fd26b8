// Paths of the overlay element: what a connection reported up or closed by
// the transport does to the tables, the probe start-up of a new path, the
// signal when the last tunnel goes, and hub-group failover.
//
// Locking: every listener operation but on_ostssl_read takes the overlay
// lock. Transport operations are not called while the lock is held by this
// file's own code: failover decisions are made under it and the connect and
// disconnect requests go out after it is released. (A caller that already
// holds the lock, the packet thread, only reaches the transport's request
// queue, which takes none of the transport's table mutexes.)
#include <arpa/inet.h>

#include <cinttypes>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "client/lib/cxUtils/cxRegUtils.h"
#include "graph/router.h"
#include "graph/router_log.h"
#include "lib/tarnutils/tarnutils.h"
#include "ostgraphsvc/config/tarn_config_reader.h"
#include "ostgraphsvc/graph/elements/overlay/ost_addr_mgmt.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_msg_handlers.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_probes.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_transport.h"
#include "ostgraphsvc/qmsg/qmsg.h"
#include "platform/clock/clock.h"

#define OVL_LOG(level, tag, ...) log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

namespace {

constexpr char kTarnKey[] = "SOFTWARE\\Corvex\\tarn";
constexpr int kRegistryView64 = 1;
constexpr uint32_t kSockClosedTimeoutMs = 7;

String dotted(uint32_t network_order) { return IPAddress(network_order).to_string(); }

// A copy with storage of its own: String copies share a reference count that
// is not atomic, and these texts belong to other threads (the connection's
// record, the configuration read by every transport thread).
String own_copy(const String& text) { return String(text.data(), text.length()); }
String shown(const String& text) { return own_copy(text).printable(); }

// A connection request decided under the overlay lock, sent after it.
struct HubRequest {
  bool tls_only = false;
  int port = 0;
  String pubkey;
  uint32_t wan = 0;
  uint32_t overlay = 0;
  String gid;
  String gname;
  bool primary = false;
};

void send_requests(const std::vector<HubRequest>& requests) {
  OverlayTransport& transport = overlay_transport();
  for (const HubRequest& r : requests) {
    transport.connect_to_peer(r.tls_only, r.port, r.pubkey, r.wan, r.overlay, r.gid, r.gname,
                              r.primary);
  }
}

void collect_member(const OstrelOverlayJson& json, const OnePeerGroup& group, int member,
                    std::vector<HubRequest>* out, const char* log_tag, int group_index) {
  const OnePeer& next = group.peers[member];
  int links = next.link_count;
  if (links > kOverlayMaxLinksPerPeer) links = kOverlayMaxLinksPerPeer;
  if (links < 0) links = 0;
  for (int i = 0; i < links; ++i) {
    if (log_tag != nullptr) {
      OVL_LOG(6, log_tag, "OVLTryNext: group:%d (%s) to %s (wan %s)", group_index,
              shown(group.group_id).c_str(), next.overlay_ip.to_string().c_str(),
              next.links[i].to_string().c_str());
    }
    out->push_back(HubRequest{json.tls_only, next.port, own_copy(next.pubkey), next.links[i].addr(),
                              next.overlay_ip.addr(), own_copy(group.group_id),
                              own_copy(group.group_name), member == 0});
  }
}

int group_count(const OstrelOverlayJson& json) {
  int groups = json.group_count;
  if (groups > kOverlayMaxPeerGroups) groups = kOverlayMaxPeerGroups;
  return groups < 0 ? 0 : groups;
}

int member_count(const OnePeerGroup& group) {
  int n = group.peer_count;
  if (n > kOverlayMaxPeersPerGroup) n = kOverlayMaxPeersPerGroup;
  return n < 0 ? 0 : n;
}

bool path_fully_up(const OverlayPeerDescriptor& opd) {
  for (const std::shared_ptr<OverlayDescriptor>& od : opd.paths) {
    if (od->local_up && od->remote_up.load(std::memory_order_relaxed)) return true;
  }
  return false;
}

}  // namespace

// ---- Path start-up and removal

int OstrelOverlay::add_path(const String& peer_id, uint32_t path_id, const ostssl_conn_info& info) {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  OverlayPeerDescriptor* opd = get_opd_by_peer_id(peer_id);
  if (opd == nullptr) {
    OVL_LOG(3, "OstrelOverlay::add_path",
            "add path failed. Overlay peer descriptor does not exist for peer with id: %s(%s)",
            shown(peer_id).c_str(), dotted(info.remote_ip).c_str());
    return -1;
  }
  opd->multilink_mode = info.multilink_mode;

  std::shared_ptr<OverlayDescriptor> od;
  for (const std::shared_ptr<OverlayDescriptor>& p : opd->paths) {
    if (p->local_path_id == path_id) {
      od = p;
      break;
    }
  }
  const bool is_new = od == nullptr;
  OverlayWanLinkEntry* wanlink = nullptr;
  if (is_new) {
    OverlayPathSetup s;
    s.mtu = info.path_mtu;
    wanlink = get_wanlink_tbl_ex(0);
    // The link's reporting element would give the interface MTU; no element
    // of this system reports links, so the hint stands.
    s.local_path_id = path_id;
    s.if_index = static_cast<uint32_t>(info.if_index);
    s.wan_link_entry = 0;
    s.peer_overlay = opd->overlay_address;
    s.remote_wan = IPAddress(info.remote_ip);
    s.local_wan = IPAddress(info.local_ip);
    s.hub_role = own_copy(info.hub_role);
    const uint16_t port = ntohs(static_cast<uint16_t>(info.remote_port));
    s.remote_port = port == 0 ? 4500 : port;
    s.protocol = info.protocol;
    s.protocol_text = own_copy(info.protocol_name);
    s.protocol_code = info.ssl_protocol;
    s.own_version = 1;
    s.local_overlay = own_address_;
    s.initiator = is_local_ohv_initator(own_address_, opd->overlay_address);
    s.if_metric = static_cast<uint32_t>(info.if_metric);
    od = std::make_shared<OverlayDescriptor>(s);
  } else {
    ++od->connection_count;
  }
  od->socket = static_cast<uint32_t>(info.sock);
  opd->handle_wanlinks_state_change(*od, true);
  if (opd->mtu == 0 || opd->mtu > info.path_mtu) opd->mtu = info.path_mtu;
  if (opd->mtu > 1400) opd->mtu = 1400;
  opd->encap_protocol = info.protocol;

  OstrelDIB* peer = dib_.find(opd->overlay_address);
  if (peer != nullptr) {
    OstrelDIB* local = dib_.find(own_address_);
    if (local != nullptr) io_start_path_probes_to_peer(local, peer, opd, od.get(), info.protocol);
    update_nht_for_one_dib(peer);
    if (peer->has_role(OSTREL_CONTROLLER)) {
      peer->controller_path_count = static_cast<uint32_t>(opd->paths.size());
    }
  }

  if (is_new) {
    opd->paths.push_back(od);
    insert_path(od);
    if (wanlink != nullptr) wanlink->path_ids.insert(wanlink->path_ids.begin(), path_id);
    // The peer's routeable overlays enter the next-hop table only once it
    // has a direct tunnel; the upkeep above ran before the path was in.
    if (peer != nullptr) update_nht_for_one_dib(peer);
  }
  OVL_LOG(6, "OstrelOverlay::add_path", "Overlay descriptor:%p tdbs:%d peer:%s",
          static_cast<void*>(od.get()), od->connection_count, shown(peer_id).c_str());
  refresh_usable_paths();
  // Still under the overlay lock: the refresh raises the peer's handler
  // versions, which the packet thread reads under the same lock.
  OstAddrMgmt* am = registered_addr_mgmt();
  if (am != nullptr) {
    OVL_LOG(6, "OstrelOverlay::add_path", "INITIATE IP REFRESH with %s",
            opd->overlay_address.to_string().c_str());
    am->check_and_initiate_ip_refresh(opd->overlay_address);
  }
  return 0;
}

void OstrelOverlay::io_start_path_probes_to_peer(OstrelDIB* local, OstrelDIB* peer,
                                                 OverlayPeerDescriptor* opd, OverlayDescriptor* od,
                                                 uint16_t protocol) {
  if (overlay_msg_ == nullptr) {
    Element* e = router() != nullptr
                     ? router()->find_element_in_context(String("ostOverlayMsg"), String())
                     : nullptr;
    if (e == nullptr) {
      OVL_LOG(3, "OstrelOverlay::get_overlaymselm", "error querying overlay messaging, will retry");
      OVL_LOG(3, "OstrelOverlay::io_start_path_probes_to_peer",
              "ERROR: error querying the overlay messaging element");
      return;
    }
    overlay_msg_ = e;
  }
  if (od->latency_probe == nullptr) {
    od->latency_probe = new OverlayLatencyProbe(local->overlay_address, opd->overlay_address, od);
    OVL_LOG(4, "InterfaceInfo::is_wan_regular", "Warning!!! All interfaces are considered regular");
    insert_overlay_probe(od->latency_probe);
  }
  if (od->jitter_probe == nullptr) {
    od->jitter_probe = new OverlayJitterProbe(local->overlay_address, opd->overlay_address, od);
    OVL_LOG(4, "InterfaceInfo::is_wan_regular", "Warning!!! All interfaces are considered regular");
    insert_overlay_probe(od->jitter_probe);
  }
  OVL_LOG(6, "OstrelOverlay::io_start_path_probes_to_peer",
          "OstrelOverlay: keepalive prober test to %s enc:%d",
          peer->overlay_address.to_string().c_str(), protocol);
  if (protocol != 0 && od->keepalive_probe == nullptr) {
    od->keepalive_probe = new OverlayKeepaliveProbe(local->overlay_address, peer->overlay_address,
                                                    od, peer->spoke_only);
    OVL_LOG(4, "InterfaceInfo::is_wan_regular", "Warning!!! All interfaces are considered regular");
    insert_overlay_probe(od->keepalive_probe);
    OVL_LOG(6, "OstrelOverlay::io_start_path_probes_to_peer",
            "OstrelOverlay: keepalive prober started to %s ",
            peer->overlay_address.to_string().c_str());
  }
  start_probes();
}

void OstrelOverlay::start_probes() {
  if (!post_iomsg_block(g_overlay_probe_qmsg_pool)) {
    OVL_LOG(3, "OstrelOverlay::start_probes", "ostssl: no message blocks available for the queue");
  }
}

int OstrelOverlay::remove_path(const String& peer_id, uint32_t path_id) {
  bool signal = false;
  {
    std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
    for (int i = 0; i < connected_paths_.size(); ++i) {
      if (connected_paths_[i].path_id != path_id) continue;
      vector_erase_at(connected_paths_, i);
      break;
    }
    OverlayPeerDescriptor* opd = get_opd_by_peer_id(peer_id);
    if (opd == nullptr) {
      OVL_LOG(3, "OstrelOverlay::remove_path",
              "Overlay peer descriptor does not exist for peer with id:%s", shown(peer_id).c_str());
      return -1;
    }
    opd->mtu = 0;
    std::shared_ptr<OverlayDescriptor> od;
    for (const std::shared_ptr<OverlayDescriptor>& p : opd->paths) {
      if (p->local_path_id == path_id) {
        od = p;
        break;
      }
    }
    if (od == nullptr) {
      OVL_LOG(3, "OstrelOverlay::remove_path", "Overlay/pfkey out of sync for peer %s",
              shown(peer_id).c_str());
      return -1;
    }
    OVL_LOG(6, "OstrelOverlay::remove_path",
            "Removing path for od %p peer %s wanip %s, num_tdbs %d", static_cast<void*>(od.get()),
            shown(peer_id).c_str(), od->remote_wan.to_string().c_str(), od->connection_count);
    const bool last = od->connection_count <= 1;
    // Lowers the count; at the last connection the path leaves the table.
    std::shared_ptr<OverlayDescriptor> gone = erase_path(path_id);
    if (gone == nullptr && last) --od->connection_count;  // not in the table
    if (last) {
      OverlayWanLinkEntry* wanlink = get_wanlink_tbl_ex(od->wan_link_entry);
      if (wanlink != nullptr) {
        for (int i = 0; i < wanlink->path_ids.size(); ++i) {
          if (wanlink->path_ids[i] != path_id) continue;
          vector_erase_at(wanlink->path_ids, i);
          break;
        }
      }
      opd->handle_wanlinks_state_change(*od, false);
      if (opd->remove_od(path_id) != 0) {
        OVL_LOG(3, "OstrelOverlay::remove_path", "fatal error!!!!!!!!!!!!!!");
      }
    }
    if (opd->paths.empty()) {
      for (OstrelOverlayMsgInterface* h : opd->handler_list) h->reset_peer_state();
    }
    update_shm_path_stats();
    refresh_usable_paths();
    signal = connected_paths_.empty();
  }
  if (signal && ignoreRoutePolicyWithNoActiveTunnel(true)) {
    const uint32_t error = signalNetworkDisconnect();
    if (error != 0) {
      OVL_LOG(3, "OstrelOverlay::remove_tarnif_on_tunnel_down",
              "signalNetworkDisconnect failed with error: %lu", static_cast<unsigned long>(error));
    }
  }
  return 0;
}

bool OstrelOverlay::ignoreRoutePolicyWithNoActiveTunnel(bool log) {
  if (CTarnConfigReader::GetInstance().isEnforceRoute()) {
    if (log) {
      OVL_LOG(6, "OstrelOverlay::ignoreRoutePolicyWithNoActiveTunnel",
              "Tunnels down: enforce_route enabled");
    }
    return true;
  }
  uint32_t value = 0;
  uint32_t size = sizeof(value);
  uint32_t type = 0;
  if (cxRegGetValue(platform::registry::RootKey::kLocalMachine, kTarnKey, kRegistryView64,
                    "removeinterfaceontunneldown", &value, &size, &type) != 0 ||
      size != sizeof(value)) {
    OVL_LOG(3, "IsTenantFlagToRemoveVIFEnabled",
            "Failed to read removeinterfaceontunneldown or invalid size (%lu)",
            static_cast<unsigned long>(size));
    return false;
  }
  if (value == 0) return false;
  if (log) {
    OVL_LOG(6, "OstrelOverlay::ignoreRoutePolicyWithNoActiveTunnel",
            "Tunnels down: tenant flag disable_vif_tarn_tunnel_down enabled");
  }
  return true;
}

void overlay_desc_wanlink_ev_hdlr(int type, OverlayDescriptor* od) {
  OVL_LOG(6, "overlay_desc_wanlink_ev_hdlr", "PathID: %u localip %s state: %s", od->local_path_id,
          od->local_wan.to_string().c_str(), type == 1 ? "UP" : "DOWN");
  od->local_up = type == 1;
  OstrelOverlay* overlay = registered_overlay();
  OverlayPeerDescriptor* opd = overlay != nullptr ? overlay->get_opd(od->peer_overlay) : nullptr;
  if (opd == nullptr) {
    OVL_LOG(6, "overlay_desc_wanlink_ev_hdlr",
            "PathID: OPD not found, not updating peer link status");
    return;
  }
  std::lock_guard<std::recursive_mutex> hold(overlay->overlay_lock());
  opd->handle_wanlinks_state_change(*od, type != 2);
  overlay->refresh_usable_paths();
}

int OstrelOverlay::get_active_peer_in_group(const String& group_id, String* out) const {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  auto& addresses = const_cast<OstrelOverlay*>(this)->address_table_;
  for (auto it = addresses.begin(); it.live(); ++it) {
    OverlayPeerDescriptor* opd = opd_by_handle(it->value);
    if (opd == nullptr || !opd->in_hub_group || opd->hub_group_id != group_id) continue;
    if (!path_fully_up(*opd)) continue;
    *out = opd->overlay_address.to_string();
    return 0;
  }
  return -1;
}

// ---- Transport events

// Runs for every received packet: the path stays alive through the table's
// shared lock (a removal needs it exclusively), so no reference is taken,
// and the clock is read before the lock.
bool OstrelOverlay::on_ostssl_read(ostssl_conn_info* info) {
  const uint64_t now = GetTickCount64();
  std::shared_lock<std::shared_mutex> hold(path_mutex_);
  auto it = path_table_.find(info->path_id);
  if (!it.live()) return false;
  it->value->last_rx_time.store(now, std::memory_order_relaxed);
  return true;
}

bool OstrelOverlay::on_ostssl_connect(ostssl_conn_info* info) {
  OVL_LOG(6, "OstrelOverlay::on_ostssl_connect",
          "Tunnel status: Connected, add_path peer id %s type: %s, ip s:%s d:%s port s:%d d:%d "
          "pathid:%u proto:%s index: %d multilink: %d",
          shown(info->peer_id).c_str(), shown(info->hub_role).c_str(),
          dotted(info->local_ip).c_str(), dotted(info->remote_ip).c_str(),
          ntohs(static_cast<uint16_t>(info->local_port)),
          ntohs(static_cast<uint16_t>(info->remote_port)), info->path_id,
          shown(info->protocol_name).c_str(), info->if_index, info->multilink_mode);
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  connected_paths_.push_back(OverlayConnectedPath{info->path_id, IPAddress(info->local_ip),
                                                  IPAddress(info->remote_ip), true});
  add_path(info->peer_id, info->path_id, *info);
  return true;
}

bool OstrelOverlay::on_ostssl_closed(ostssl_conn_info* info) {
  OVL_LOG(6, "OstrelOverlay::on_ostssl_closed",
          "Tunnel status: Disconnected, remove_path peer id %s type: %s, ip s:%s d:%s port s:%d "
          "d:%d sock:%d pathid:%u proto:%s index: %d multilink: %d",
          shown(info->peer_id).c_str(), shown(info->hub_role).c_str(),
          dotted(info->local_ip).c_str(), dotted(info->remote_ip).c_str(),
          ntohs(static_cast<uint16_t>(info->local_port)),
          ntohs(static_cast<uint16_t>(info->remote_port)), info->sock, info->path_id,
          shown(info->protocol_name).c_str(), info->if_index, info->multilink_mode);
  // Each step takes the overlay lock itself; the disconnect signal and the
  // configuration read of remove_path run outside it.
  remove_path(info->peer_id, info->path_id);
  trigger_wan_state_msg(info->path_id);
  return true;
}

int OstrelOverlay::on_ostssl_sock_closed(ostssl_conn_info* info) {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  OverlayPeerDescriptor* opd = get_opd_by_peer_id(info->peer_id);
  if (opd == nullptr) {
    OVL_LOG(3, "OstrelOverlay::on_ostssl_sock_closed",
            "Overlay peer descriptor does not exist for peer with id:%s",
            shown(info->peer_id).c_str());
    return -1;
  }
  std::shared_ptr<OverlayDescriptor> od;
  for (const std::shared_ptr<OverlayDescriptor>& p : opd->paths) {
    if (p->local_path_id == info->path_id) {
      od = p;
      break;
    }
  }
  if (od == nullptr) {
    OVL_LOG(3, "OstrelOverlay::on_ostssl_sock_closed", "od not found for peer %s",
            shown(info->peer_id).c_str());
    return -1;
  }
  od->remote_up.store(false, std::memory_order_relaxed);
  refresh_usable_paths();
  trigger_wan_state_msg(info->path_id);
  OVL_LOG(6, "OstrelOverlay::on_ostssl_sock_closed", "Socket Closed set the timeout to %d",
          static_cast<int>(kSockClosedTimeoutMs));
  if (od->keepalive_probe != nullptr) {
    static_cast<OverlayKeepaliveProbe*>(od->keepalive_probe)
        ->timeout_ms.store(kSockClosedTimeoutMs, std::memory_order_relaxed);
  }
  return 0;
}

void OstrelOverlay::trigger_wan_state_msg(uint32_t path_id) {
  {
    std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
    OverlayConnectedPath* entry = nullptr;
    for (OverlayConnectedPath& c : connected_paths_) {
      if (c.path_id == path_id) {
        entry = &c;
        break;
      }
    }
    if (entry == nullptr || !entry->is_new) return;
    OVL_LOG(6, "OstrelOverlay::trigger_wan_state_msg",
            "WAN state message triggered for pathid:0x%x, (%s->%s)", path_id,
            entry->local_address.to_string().c_str(), entry->remote_address.to_string().c_str());
    entry->is_new = false;
    trigger_wan_state_msg();
  }
  start_probes();
}

bool OstrelOverlay::on_ostssl_timeout(ostssl_conn_info* info) {
  const String peer_text = dotted(info->peer_overlay_ip);
  OVL_LOG(6, "OstrelOverlay::on_ostssl_timeout",
          "processing ostssl:On ssl timeout for peer: %s gid: %s (len:%d)", peer_text.c_str(),
          shown(info->hubgrp_id).c_str(), info->hubgrp_id.length());
  if (info->hubgrp_id.empty()) return true;
  const OstrelOverlayJson& json = config_.overlay_json;
  const int groups = group_count(json);
  OVL_LOG(6, "OstrelOverlay::on_ostssl_timeout", "ostssl:On ssl timeout: numgroups: %d", groups);
  int g = 0;
  while (g < groups && json.groups[g].group_id != info->hubgrp_id) ++g;
  if (g == groups) return true;
  const OnePeerGroup& group = json.groups[g];
  const int members = member_count(group);
  if (members <= 1) {
    OVL_LOG(6, "OstrelOverlay::on_ostssl_timeout", "ostssl:On ssl timeout: group: %d nmembers: %d",
            g, members);
    return true;
  }
  std::vector<HubRequest> requests;
  {
    std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
    int next = 0;
    for (int m = 0; m < members; ++m) {
      if (group.peers[m].overlay_ip.addr() != info->peer_overlay_ip) continue;
      OverlayPeerDescriptor* opd = find_opd(group.peers[m].overlay_ip);
      if (opd == nullptr) {
        OVL_LOG(6, "OstrelOverlay::on_ostssl_timeout",
                "ostssl:On ssl timeout: group: %d peer: %s. no opd. skip", g, peer_text.c_str());
        continue;
      }
      if (path_fully_up(*opd)) return true;
      next = m + 1 < members ? m + 1 : 0;
      break;
    }
    OVL_LOG(6, "OstrelOverlay::on_ostssl_timeout",
            "New peer in hub group will be selected, disconnect old connection with %s/%s on all "
            "interfaces",
            peer_text.c_str(), dotted(info->remote_ip).c_str());
    collect_member(json, group, next, &requests, nullptr, g);
  }
  overlay_transport().disconnect_from_peer_on_interface(0, info->peer_overlay_ip, info->if_index,
                                                        static_cast<int>(info->local_ip));
  send_requests(requests);
  return false;
}

bool OstrelOverlay::try_next_peer_if_available(OverlayPeerDescriptor* opd) {
  std::vector<HubRequest> requests;
  uint32_t current = 0;
  {
    std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
    const String current_text = opd->overlay_address.to_string();
    if (!opd->in_hub_group) {
      OVL_LOG(6, "OstrelOverlay::try_next_peer_if_available",
              "OVLTryNext: Not trying next peer. curr peer:%s. not in group.",
              current_text.c_str());
      return true;
    }
    OVL_LOG(6, "OstrelOverlay::try_next_peer_if_available",
            "OVLTryNext: Try next peer if available. curr peer:%s", current_text.c_str());
    const OstrelOverlayJson& json = config_.overlay_json;
    const int groups = group_count(json);
    int g = 0;
    while (g < groups && json.groups[g].group_id != opd->hub_group_id) ++g;
    if (g == groups) return true;
    const OnePeerGroup& group = json.groups[g];
    const int members = member_count(group);
    if (members <= 1) {
      OVL_LOG(6, "OstrelOverlay::try_next_peer_if_available",
              "OVLTryNext: group:%d (%s) nmembers:%d. nothing to do.", g,
              shown(group.group_id).c_str(), members);
      return true;
    }
    int next = 0;
    for (int m = 0; m < members; ++m) {
      if (group.peers[m].overlay_ip != opd->overlay_address) continue;
      next = m + 1 < members ? m + 1 : 0;
      break;
    }
    OVL_LOG(6, "OstrelOverlay::try_next_peer_if_available",
            "New peer in hub group will be selected, disconnect old connection with %s on all "
            "interfaces",
            current_text.c_str());
    current = opd->overlay_address.addr();
    collect_member(json, group, next, &requests, "OstrelOverlay::try_next_peer_if_available", g);
  }
  overlay_transport().disconnect_from_peer(0, current, false);
  send_requests(requests);
  return false;
}

void OstrelOverlay::trigger_route_update_to_all_peers() {
  struct Candidate {
    OverlayPeerDescriptor* opd;
    Vector<std::pair<uint32_t, uint32_t>> paths;  // remote, local WAN
  };
  std::vector<Candidate> candidates;
  {
    std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
    if (address_table_.size() == 0) return;
    OVL_LOG(6, "OstrelOverlay::trigger_route_update_to_all_peers",
            "trigger route update to all connected hubs. Total no. of configured hubs: %d",
            static_cast<int>(address_table_.size()));
    for (auto it = address_table_.begin(); it.live(); ++it) {
      OverlayPeerDescriptor* opd = opd_by_handle(it->value);
      if (opd == nullptr || opd->client_vip.addr() != 0) continue;
      Candidate c{opd, {}};
      for (const std::shared_ptr<OverlayDescriptor>& od : opd->paths) {
        c.paths.push_back({od->remote_wan.addr(), od->local_wan.addr()});
      }
      candidates.push_back(std::move(c));
    }
  }
  // The establishment check answers from the transport's leaf-locked copy;
  // it is still asked outside the overlay section.
  OverlayTransport& transport = overlay_transport();
  for (Candidate& c : candidates) {
    for (const auto& p : c.paths) {
      if (!transport.is_tunnel_established(p.first, p.second)) continue;
      std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
      OVL_LOG(6, "OstrelOverlay::trigger_route_update_to_all_peers", "Trigger route update to %s",
              c.opd->overlay_address.to_string().c_str());
      if (c.opd->route_handler != nullptr) c.opd->route_handler->new_msg_trigger(1);
      break;
    }
  }
}
