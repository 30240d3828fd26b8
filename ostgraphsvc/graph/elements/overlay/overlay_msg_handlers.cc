#include "ostgraphsvc/graph/elements/overlay/overlay_msg_handlers.h"

#include "graph/router_log.h"
#include "ostgraphsvc/graph/elements/overlay/ost_addr_mgmt.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "ostgraphsvc/overlaymsg/control_packet.h"
#include "ostgraphsvc/overlaymsg/print_messages.h"
#include "overlaystatemsg.pb.h"
#include "platform/clock/clock.h"

#define MSG_LOG(level, tag, ...) log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

namespace {

bool g_first_state_sync_pending = true;

void list_push_front(Vector<OstrelOverlayMsgInterface*>& list, OstrelOverlayMsgInterface* h) {
  list.push_back(nullptr);
  for (int i = list.size() - 1; i > 0; --i) list[i] = list[i - 1];
  list[0] = h;
}

void list_remove(Vector<OstrelOverlayMsgInterface*>& list, OstrelOverlayMsgInterface* h) {
  for (int i = 0; i < list.size(); ++i) {
    if (list[i] != h) continue;
    vector_erase_at(list, i);
    return;
  }
}

// The local roles, or null when there is no overlay element to ask. Logs the
// "found" line (level 7 for the endpoint handler, 6 otherwise) or the warning.
OstrelOverlay* find_overlay(const char* tag, const char* prefix, int found_level) {
  OstrelOverlay* ov = registered_overlay();
  if (ov == nullptr) {
    MSG_LOG(6, tag, "WARNING %s: Unable to find ostoverlay element!!!", prefix);
    return nullptr;
  }
  MSG_LOG(found_level, tag, "%s: found ostoverlay element %p", prefix, static_cast<void*>(ov));
  return ov;
}

bool check_ctrlr(const char* tag, const char* prefix, int found_level) {
  OstrelOverlay* ov = find_overlay(tag, prefix, found_level);
  if (ov == nullptr) return false;
  const bool yes = (ov->get_local_roles() & OSTREL_CONTROLLER) != 0;
  MSG_LOG(6, tag, yes ? "%s: I am a controller" : "%s: I am not controller", prefix);
  return yes;
}

bool check_hub(const char* tag, const char* prefix) {
  OstrelOverlay* ov = find_overlay(tag, prefix, 6);
  if (ov == nullptr) return false;
  const bool yes = (ov->get_local_roles() & (OSTREL_DC | OSTREL_WAYPOINT)) != 0;
  // The not-a-hub line reads "not controller", as the status pages expect.
  MSG_LOG(6, tag, yes ? "%s: I am a DC/HUB" : "%s: I am not controller", prefix);
  return yes;
}

SyncStateMsg* sync_of(OstrelOverlayStateMsg* msg) { return msg->mutable_osm_syncstatemsg(); }

String peer_text(const OverlayPeerDescriptor* opd) {
  return opd != nullptr ? opd->overlay_address.to_string() : String();
}

// "overlayVip" of the registered overlay's configuration; 0 when none.
IPAddress static_vip() {
  OstrelOverlay* ov = registered_overlay();
  return ov != nullptr ? ov->peer_config().overlay_json.overlay_vip : IPAddress();
}

// The address a route message announces: the static one, else the lease.
IPAddress announced_vip() {
  const IPAddress vip = static_vip();
  if (vip.addr() != 0) return vip;
  OstAddrMgmt* am = registered_addr_mgmt();
  return am != nullptr ? am->current_address() : IPAddress();
}

// Whole seconds of `d`, rounded down.
int64_t whole_secs(Timestamp d) {
  const int64_t ns = d.nsec();
  const int64_t s = ns / Timestamp::kNsecPerSec;
  return ns < 0 && s * Timestamp::kNsecPerSec != ns ? s - 1 : s;
}

}  // namespace

Vector<OstrelOverlayMsgInterface*>& overlay_msg_handlers() {
  static Vector<OstrelOverlayMsgInterface*> list;
  return list;
}

bool first_state_sync_pending() { return g_first_state_sync_pending; }
void reset_first_state_sync_pending() { g_first_state_sync_pending = true; }

void OverlayVersionedMsg::consume_msg(Packet*, const OstrelOverlayStateMsg& msg, OstrelOverlay*,
                                      OverlayPeerDescriptor* opd) {
  const String peer = opd != nullptr ? opd->overlay_address.to_string() : String();
  MSG_LOG(7, "OverlayVersionedMsg::consume_msg", "%s: message kind %u from %s not handled here",
          msg_name().c_str(), static_cast<unsigned>(msg.osm_type()), peer.c_str());
}

// ---- Endpoint

OverlayEndptMsg::OverlayEndptMsg(OverlayPeerDescriptor* opd) : OverlayVersionedMsg(opd) {
  current_version = 1;
  check_and_set_is_ctrlr();
  MSG_LOG(6, "OverlayEndptMsg::OverlayEndptMsg",
          "Overlay EndPt Msg: (New) currversion %u, sentversion %u", current_version, sent_count);
}

void OverlayEndptMsg::check_and_set_is_ctrlr() {
  roles.controller = check_ctrlr("OverlayEndptMsg::check_and_set_is_ctrlr", "EndPt Msg", 7);
  if (!roles.controller) return;
  current_version = 0;
  peer_version = 0xffffffffu;
}

void OverlayEndptMsg::new_msg_trigger(uint32_t reason) {
  current_version = (current_version > peer_version ? current_version : peer_version) + 1;
  trigger_reasons |= reason;
}

void OverlayEndptMsg::msg_sent() {
  ++sent_count;
  if (roles.controller) peer_version = 0xffffffffu;
}

void OverlayEndptMsg::fill_version(OstrelOverlay*, OverlayPeerDescriptor* opd,
                                   OstrelOverlayStateMsg* msg) {
  SyncStateMsg* sync = sync_of(msg);
  if (opd != nullptr && !opd->is_endpt_in_sync()) {
    MSG_LOG(6, "OverlayEndptMsg::fill_version",
            "Overlay EndPt State: remote pathid not set, resync");
    sync->set_wep_version(0);
    return;
  }
  sync->set_wep_version(consumed_version);
}

void OverlayEndptMsg::update_peer_version(const OstrelOverlayStateMsg& msg) {
  peer_version = msg.osm_syncstatemsg().wep_version();
}

void OverlayEndptMsg::get_versions(OverlayMsgVersions* record) {
  record->current = current_version;
  record->sent = sent_count;
  record->peer = peer_version;
}

// ---- WAN link state

OverlayWanStateMsg::OverlayWanStateMsg(OverlayPeerDescriptor* opd) : OverlayVersionedMsg(opd) {
  current_version = 1;
  check_and_set_is_ctrlr();
}

void OverlayWanStateMsg::check_and_set_is_ctrlr() {
  roles.controller = check_ctrlr("OverlayWanStateMsg::check_and_set_is_ctrlr", "WanState Msg", 6);
}

void OverlayWanStateMsg::new_msg_trigger(uint32_t reason) {
  if (reason == kTriggerFirstSync && peer_version != 0) {
    current_version = peer_version + 1;
  } else {
    ++current_version;
  }
  trigger_reasons |= reason;
}

void OverlayWanStateMsg::fill_version(OstrelOverlay*, OverlayPeerDescriptor*,
                                      OstrelOverlayStateMsg* msg) {
  sync_of(msg)->set_wls_version(consumed_version);
}

void OverlayWanStateMsg::update_peer_version(const OstrelOverlayStateMsg& msg) {
  peer_version = msg.osm_syncstatemsg().wls_version();
}

void OverlayWanStateMsg::get_versions(OverlayMsgVersions* record) {
  record->current = current_version;
  record->peer = peer_version;
}

// ---- Route

OverlayRouteMsg::OverlayRouteMsg(OverlayPeerDescriptor* opd) : OverlayVersionedMsg(opd) {
  check_and_set_is_ctrlr();
  check_and_set_is_hub();
}

void OverlayRouteMsg::check_and_set_is_ctrlr() {
  roles.controller = check_ctrlr("OverlayRouteMsg::check_and_set_is_ctrlr", "Route Msg", 6);
}

void OverlayRouteMsg::check_and_set_is_hub() {
  roles.hub = check_hub("OverlayRouteMsg::check_and_set_is_hub", "Route Msg");
}

void OverlayRouteMsg::new_msg_trigger(uint32_t reason) {
  trigger_reasons |= reason;
  if (announced_vip().addr() == 0) {
    MSG_LOG(6, "OverlayRouteMsg::new_msg_trigger",
            "RouteMsg: no vip. nothing to trigger to send in routemsg");
    return;
  }
  if (reason == kTriggerFirstSync) {
    if (current_version == 0) return;
    current_version = peer_version != 0 ? peer_version + 1 : current_version + 1;
  } else {
    ++current_version;
  }
  MSG_LOG(6, "OverlayRouteMsg::new_msg_trigger",
          "Route Msg trigger with reason %u currversion: %u sentversion: %u peer version: %u",
          reason, current_version, sent_count, peer_version);
}

bool OverlayRouteMsg::is_msg_available() {
  if (roles.controller || roles.hub) return false;
  return peer_version != current_version;
}

Vector<Packet*>& OverlayRouteMsg::build_msg_per_peer_into_packet(Vector<Packet*>& packets,
                                                                 OstrelOverlay* overlay,
                                                                 OverlayPeerDescriptor* opd) {
  static constexpr char kTag[] = "OverlayRouteMsg::build_msg_per_peer_into_packet";
  if (overlay == nullptr || opd == nullptr) return packets;
  if (overlay->get_dib(overlay->own_address()) == nullptr) {
    MSG_LOG(6, kTag, "Local DIB entry for not found");
    return packets;
  }
  if (opd->paths.empty()) return packets;
  MSG_LOG(6, kTag, "Overlay Route Msg: building route state msg for %s",
          opd->overlay_address.to_string().c_str());
  Packet* p = overlay->build_route_msg_packet(opd, opd->paths[0], current_version);
  if (p != nullptr) packets.push_back(p);
  return packets;
}

void OverlayRouteMsg::consume_msg(Packet*, const OstrelOverlayStateMsg& msg, OstrelOverlay*,
                                  OverlayPeerDescriptor*) {
  print_overlay_route_msg(msg);
}

void OverlayRouteMsg::fill_version(OstrelOverlay*, OverlayPeerDescriptor*,
                                   OstrelOverlayStateMsg* msg) {
  sync_of(msg)->set_rm_version(current_version);
}

void OverlayRouteMsg::update_peer_version(const OstrelOverlayStateMsg& msg) {
  if (msg.has_osm_syncstatemsg() && msg.osm_syncstatemsg().has_rm_version()) {
    peer_version = msg.osm_syncstatemsg().rm_version();
  }
}

void OverlayRouteMsg::get_versions(OverlayMsgVersions* record) {
  record->current = current_version;
  record->sent = sent_count;
}

// ---- User authentication

OverlayUserAuthMsg::OverlayUserAuthMsg(OverlayPeerDescriptor* opd) : OverlayVersionedMsg(opd) {
  current_version = 1;
  ua_check_and_set_is_hub();
  ua_check_and_set_is_ctrlr();
}

void OverlayUserAuthMsg::ua_check_and_set_is_hub() {
  roles.hub = check_hub("OverlayUserAuthMsg::ua_check_and_set_is_hub", "OverlayUserAuthMsg");
}

void OverlayUserAuthMsg::ua_check_and_set_is_ctrlr() {
  roles.controller =
      check_ctrlr("OverlayUserAuthMsg::ua_check_and_set_is_ctrlr", "OverlayUserAuthMsg", 6);
}

void OverlayUserAuthMsg::new_msg_trigger(uint32_t reason) {
  current_version = (current_version > peer_version ? current_version : peer_version) + 1;
  trigger_reasons |= reason;
  MSG_LOG(6, "OverlayUserAuthMsg::new_msg_trigger",
          "OverlayUserAuthMsg trigger with reason %u currversion: %u sentversion: %u "
          "peerversion %u",
          reason, current_version, sent_count, peer_version);
}

void OverlayUserAuthMsg::fill_version(OstrelOverlay*, OverlayPeerDescriptor*,
                                      OstrelOverlayStateMsg* msg) {
  sync_of(msg)->set_ua_version(consumed_version);
}

void OverlayUserAuthMsg::update_peer_version(const OstrelOverlayStateMsg& msg) {
  if (msg.has_osm_syncstatemsg() && msg.osm_syncstatemsg().has_ua_version()) {
    peer_version = msg.osm_syncstatemsg().ua_version();
  }
}

void OverlayUserAuthMsg::get_versions(OverlayMsgVersions* record) {
  record->current = current_version;
  record->sent = sent_count;
}

// ---- Address management

OverlayAddrMgmtMsg::OverlayAddrMgmtMsg(OverlayPeerDescriptor* opd) : OverlayVersionedMsg(opd) {
  check_and_set_is_hub();
  check_and_set_is_ctrlr();
}

void OverlayAddrMgmtMsg::check_and_set_is_hub() {
  roles.hub = check_hub("OverlayAddrMgmtMsg::check_and_set_is_hub", "OverlayAddrMgmtMsg");
}

void OverlayAddrMgmtMsg::check_and_set_is_ctrlr() {
  roles.controller =
      check_ctrlr("OverlayAddrMgmtMsg::check_and_set_is_ctrlr", "OverlayAddrMgmtMsg", 6);
}

void OverlayAddrMgmtMsg::new_msg_trigger(uint32_t reason) {
  trigger_reasons |= reason;
  const String peer = opd_ != nullptr ? opd_->overlay_address.to_string() : String();
  if (reason == kTriggerFirstSync && current_version == 0) {
    MSG_LOG(6, "OverlayAddrMgmtMsg::new_msg_trigger",
            "OverlayAddrMgmtMsg trigger for peer (%s) with reason %u ignored. currversion: %u "
            "sentversion: %u peerversion: %u",
            peer.c_str(), reason, current_version, sent_count, peer_version);
    return;
  }
  current_version = (current_version > peer_version ? current_version : peer_version) + 1;
  last_request_type = 0;
  MSG_LOG(6, "OverlayAddrMgmtMsg::new_msg_trigger",
          "OverlayAddrMgmtMsg triggered for peer (%s) with reason %u currversion: %u "
          "sentversion: %u peerversion: %u",
          peer.c_str(), reason, current_version, sent_count, peer_version);
}

bool OverlayAddrMgmtMsg::is_msg_available() {
  if (roles.controller || roles.hub) return false;
  if (current_version == 0) return false;
  if (static_vip().addr() != 0) return false;
  if (current_version == peer_version) return should_request_ip();
  if (last_request_type == kAddrMsgRenew || last_request_type == kAddrMsgRebind) {
    return should_request_ip();
  }
  MSG_LOG(6, "OverlayAddrMgmtMsg::is_msg_available",
          "OverlayAddrMgmtMsg: Sending ipaddr req msg. peer (%s) not in sync: currversion %u, "
          "sentversion %u, peerversion %u",
          peer_text(opd_).c_str(), current_version, sent_count, peer_version);
  return true;
}

bool OverlayAddrMgmtMsg::should_request_ip() {
  static constexpr char kTag[] = "OverlayAddrMgmtMsg::should_request_ip";
  OstAddrMgmt* am = registered_addr_mgmt();
  if (am == nullptr || opd_ == nullptr || !(am->leasing_hub() == opd_->overlay_address)) {
    return false;
  }
  bool expired = false;
  const int type = am->get_peer_address_msg_type(opd_->overlay_address, &expired);
  if (!expired && type != kAddrMsgRenew && type != kAddrMsgRebind) return false;
  MSG_LOG(6, kTag, "Check IP State: expired %d msg type %d", expired ? 1 : 0, type);
  const String peer = peer_text(opd_);
  if (static_cast<uint32_t>(type) != last_request_type) {
    last_request_type = static_cast<uint32_t>(type);
    retry_interval = kFirstRetrySecs;
    ++current_version;
  } else if (!expired) {
    const Timestamp now = Timestamp::now();
    const int64_t e = whole_secs(now - last_build_time);
    if (e <= retry_interval) {
      MSG_LOG(6, kTag,
              "OverlayAddrMgmtMsg: NOT Sending ipaddr req msg. peer (%s) type:%d expired:%d "
              "refreshing IP: currversion %u, sentversion %u, peerversion %u",
              peer.c_str(), type, expired ? 1 : 0, current_version, sent_count, peer_version);
      return false;
    }
    const OstAddrMgmtLease lease = am->lease();
    const int64_t left =
        whole_secs(lease.assigned_time + Timestamp::make_sec(lease.lease_secs) - now);
    int64_t r = 2 * static_cast<int64_t>(retry_interval);
    if (left / 3 < r) r = left / 3;
    if (r >= kMaxRetrySecs) r = kMaxRetrySecs;
    if (r <= 0) r = kFirstRetrySecs;
    retry_interval = static_cast<int>(r);
  }
  MSG_LOG(6, kTag,
          "OverlayAddrMgmtMsg: Sending ipaddr req msg. peer (%s) type:%d expired:%d refreshing "
          "IP: currversion %u, sentversion %u, peerversion %u",
          peer.c_str(), type, expired ? 1 : 0, current_version, sent_count, peer_version);
  return true;
}

Vector<Packet*>& OverlayAddrMgmtMsg::build_msg_per_peer_into_packet(Vector<Packet*>& packets,
                                                                    OstrelOverlay* overlay,
                                                                    OverlayPeerDescriptor* opd) {
  static constexpr char kTag[] = "OverlayAddrMgmtMsg::build_msg_per_peer_into_packet";
  if (overlay == nullptr || opd == nullptr) return packets;
  if (overlay->get_dib(overlay->own_address()) == nullptr) {
    MSG_LOG(6, kTag, "OverlayAddrMgmtMsg: Local DIB entry for not found");
    return packets;
  }
  if (opd->paths.empty()) return packets;
  MSG_LOG(6, kTag, "OverlayAddrMgmtMsg: building ipaddr request state msg for %s",
          opd->overlay_address.to_string().c_str());
  last_build_time = Timestamp::now();
  bool any_id = false;
  for (const auto& path : opd->paths) any_id = any_id || path->local_path_id != 0;
  if (!any_id) return packets;
  Packet* p = build_ipam_msg_packet(opd, opd->paths[0], current_version);
  if (p != nullptr) packets.push_back(p);
  return packets;
}

void OverlayAddrMgmtMsg::consume_msg(Packet*, const OstrelOverlayStateMsg& msg, OstrelOverlay*,
                                     OverlayPeerDescriptor* opd) {
  static constexpr char kTag[] = "OverlayAddrMgmtMsg::consume_msg";
  if (roles.controller || opd == nullptr) return;
  const AddrMgmtMsg& am = msg.osm_addrmgmtmsg();
  const String peer = peer_text(opd);
  MSG_LOG(6, kTag, "OverlayAddrMgmtMsg: received message from %s type %d version %u", peer.c_str(),
          static_cast<int>(am.amm_msg_type()), am.amm_version());
  print_addr_mgmt_msg(msg);
  if (am.amm_version() == consumed_version) {
    MSG_LOG(6, kTag,
            "OverlayAddrMgmtMsg: Already processed message from %s. Skip processing. recv "
            "version:%d ",
            peer.c_str(), static_cast<int>(am.amm_version()));
    return;
  }
  consumed_version = am.amm_version();
  process_addr_mgmt_msg(opd, am);
}

Packet* build_ipam_msg_packet(OverlayPeerDescriptor* opd,
                              const std::shared_ptr<OverlayDescriptor>& path, uint32_t version) {
  static constexpr char kTag[] = "build_ipam_msg_packet";
  if (opd == nullptr || path == nullptr) return nullptr;
  OstrelOverlayStateMsg msg;
  msg.set_osm_type(OVERLAY_ADDRMGMT_MSG);
  AddrMgmtMsg* am = msg.mutable_osm_addrmgmtmsg();
  am->set_amm_version(version);
  OstrelOverlay* ov = registered_overlay();
  if (ov == nullptr) {
    MSG_LOG(3, kTag, "Unable to get siteId!");
    return nullptr;
  }
  const OstrelOverlayJson& json = ov->peer_config().overlay_json;
  am->set_amm_site_id(std::string(json.site_id.data(), json.site_id.length()));
  am->set_amm_name(std::string(json.hostname.data(), json.hostname.length()));
  am->set_amm_mac_addr(std::string(json.macaddr.data(), json.macaddr.length()));
  OstAddrMgmt* manager = registered_addr_mgmt();
  bool expired = false;
  const int type = manager != nullptr
                       ? manager->get_peer_address_msg_type(opd->overlay_address, &expired)
                       : static_cast<int>(kAddrMsgRequest);
  if (manager != nullptr &&
      (type == kAddrMsgKeep || type == kAddrMsgRenew || type == kAddrMsgRebind)) {
    const OstAddrMgmtLease lease = manager->lease();
    if (lease.address.addr() == 0) {
      MSG_LOG(3, kTag, "VIP Empty but type is %d", type);
      return nullptr;
    }
    if (opd->client_vip.addr() == 0) {
      opd->client_vip = lease.address;
      opd->client_mask = lease.mask;
      MSG_LOG(6, kTag, "Updating opd with client vip:%s",
              IPAddress::prefix_to_string(lease.address, lease.mask).c_str());
    }
  }
  am->set_amm_msg_type(static_cast<uint32_t>(type));
  if (opd->client_vip.addr() != 0) {
    am->set_amm_ipv4_addr(opd->client_vip.addr());
    if (opd->client_mask.addr() != 0) am->set_amm_ipv4_mask(opd->client_mask.addr());
  }
  MSG_LOG(6, kTag, "Sending IPAM Request type:%d addr:%s ver:%u", type,
          opd->client_vip.to_string().c_str(), version);
  Packet* p = make_control_packet(msg, path->local_path_id, OVERLAY_ADDRMGMT_MSG);
  if (p == nullptr) return nullptr;
  print_addr_mgmt_msg(msg);
  return p;
}

int process_addr_mgmt_msg(OverlayPeerDescriptor* opd, const AddrMgmtMsg& msg) {
  static constexpr char kTag[] = "process_addr_mgmt_msg";
  if (!msg.has_amm_ret_code()) return 0;
  const String peer = peer_text(opd);
  OstAddrMgmt* manager = registered_addr_mgmt();
  OstrelOverlay* ov = registered_overlay();
  const bool has_static = static_vip().addr() != 0;
  switch (msg.amm_ret_code()) {
    case 1: {
      if (!msg.has_amm_ipv4_addr() || manager == nullptr) return 0;
      if (has_static) {
        MSG_LOG(6, kTag, "OverlayAddrMgmtMsg: Address received from %s. Ignored", peer.c_str());
        return 0;
      }
      const IPAddress address(msg.amm_ipv4_addr());
      const IPAddress mask(msg.has_amm_ipv4_mask() ? msg.amm_ipv4_mask() : 0u);
      const uint32_t lifetime = msg.has_amm_lifetime() ? msg.amm_lifetime() : 0u;
      const int shown = lifetime > 0x7fffffffu ? 0x7fffffff : static_cast<int>(lifetime);
      MSG_LOG(6, kTag, "OverlayAddrMgmtMsg: VirtualIP Address received from %s is %s lease %d",
              peer.c_str(), IPAddress::prefix_to_string(address, mask).c_str(), shown);
      opd->client_vip = address;
      opd->client_mask = mask;
      const std::string& ns = msg.amm_nameservers();
      const std::string& dl = msg.amm_domain_list();
      manager->set_ip_addr(opd->overlay_address, address, mask, lifetime, true,
                           String(ns.data(), static_cast<int>(ns.size())),
                           String(dl.data(), static_cast<int>(dl.size())));
      return 0;
    }
    case 2:
      MSG_LOG(6, kTag, "OverlayAddrMgmtMsg: Address exhausted at %s", peer.c_str());
      if (ov == nullptr) return 1;
      MSG_LOG(6, kTag, "OverlayAddrMgmtMsg: Notification from %s to trigger failover",
              peer.c_str());
      if (!ov->check_and_failover_hub(opd)) return 1;
      if (manager != nullptr && !has_static) {
        MSG_LOG(6, kTag, "OverlayAddrMgmtMsg: Not failing over. So reset IP and freshly request");
        manager->reset_address_state();
        manager->check_and_initiate_ip_refresh(opd->overlay_address);
      }
      return 1;
    case 3:
      MSG_LOG(6, kTag, "OverlayAddrMgmtMsg: Address refresh requested from %s", peer.c_str());
      if (manager == nullptr) return 0;
      if (has_static) {
        MSG_LOG(6, kTag, "OverlayAddrMgmtMsg: Address refresh requested from %s. Ignored",
                peer.c_str());
        return 0;
      }
      manager->reset_address_state();
      manager->check_and_initiate_ip_refresh(opd->overlay_address);
      return 0;
    default:
      return 0;
  }
}

void OverlayAddrMgmtMsg::fill_version(OstrelOverlay*, OverlayPeerDescriptor*,
                                      OstrelOverlayStateMsg* msg) {
  sync_of(msg)->set_am_version(consumed_version);
}

void OverlayAddrMgmtMsg::update_peer_version(const OstrelOverlayStateMsg& msg) {
  if (msg.has_osm_syncstatemsg() && msg.osm_syncstatemsg().has_am_version()) {
    peer_version = msg.osm_syncstatemsg().am_version();
  }
}

void OverlayAddrMgmtMsg::get_versions(OverlayMsgVersions* record) {
  record->current = current_version;
  record->sent = sent_count;
}

// ---- State sync

OverlayStateSyncMsg::OverlayStateSyncMsg(OverlayPeerDescriptor* opd)
    : OstrelOverlayMsgInterface(opd), last_due_ms(GetTickCount64()) {}

bool OverlayStateSyncMsg::is_msg_available() {
  const uint64_t now = GetTickCount64();
  const int64_t diff = static_cast<int64_t>(now - last_due_ms);
  // Whole seconds, rounded down for negative differences too.
  const int64_t seconds = diff >= 0 ? diff / 1000 : -((-diff + 999) / 1000);
  if (seconds <= static_cast<int64_t>(kNotDueSeconds)) return false;
  if (++log_counter % log_period == 0) {
    MSG_LOG(6, "OverlayStateSyncMsg::is_msg_available",
            "Overlay Sync State Msg: %u(s) elapsed since last msg", static_cast<unsigned>(seconds));
  }
  last_due_ms = now;
  return true;
}

Vector<Packet*>& OverlayStateSyncMsg::build_msg_per_peer_into_packet(Vector<Packet*>& packets,
                                                                     OstrelOverlay* overlay,
                                                                     OverlayPeerDescriptor* opd) {
  if (opd == nullptr) return packets;
  OstrelOverlayStateMsg msg;
  msg.set_osm_type(OVERLAY_SYNC_STATE_MSG);
  for (OstrelOverlayMsgInterface* h : opd->handler_list) h->fill_version(overlay, opd, &msg);
  for (const auto& path : opd->paths) {
    Packet* p = make_control_packet(msg, path->local_path_id, OVERLAY_SYNC_STATE_MSG);
    if (p != nullptr) packets.push_back(p);
  }
  return packets;
}

void OverlayStateSyncMsg::new_msg_trigger(uint32_t reason) {
  trigger_reasons |= reason;
  current_version = sent_count + 1;
}

void OverlayStateSyncMsg::consume_msg(Packet*, const OstrelOverlayStateMsg& msg, OstrelOverlay*,
                                      OverlayPeerDescriptor* opd) {
  if (opd == nullptr) return;
  if (++log_counter % log_period == 0) {
    MSG_LOG(6, "OverlayStateSyncMsg::consume_msg", "Received Sync State Msg from %s",
            opd->overlay_address.to_string().c_str());
  }
  for (OstrelOverlayMsgInterface* h : opd->handler_list) {
    h->update_peer_version(msg);
    if (g_first_state_sync_pending) h->new_msg_trigger(kTriggerFirstSync);
  }
  g_first_state_sync_pending = false;
}

// ---- Creation and destruction

void create_overlay_msg_handlers(OverlayPeerDescriptor* opd) {
  Vector<OstrelOverlayMsgInterface*>& all = overlay_msg_handlers();
  opd->endpoint_handler = new OverlayEndptMsg(opd);
  list_push_front(all, opd->endpoint_handler);
  opd->wan_state_handler = new OverlayWanStateMsg(opd);
  list_push_front(all, opd->wan_state_handler);
  opd->state_sync_handler = new OverlayStateSyncMsg(opd);
  list_push_front(all, opd->state_sync_handler);
  opd->route_handler = new OverlayRouteMsg(opd);
  list_push_front(all, opd->route_handler);
  opd->user_auth_handler = new OverlayUserAuthMsg(opd);
  list_push_front(all, opd->user_auth_handler);
  opd->addr_mgmt_handler = new OverlayAddrMgmtMsg(opd);
  list_push_front(all, opd->addr_mgmt_handler);

  Vector<OstrelOverlayMsgInterface*>& own = opd->handler_list;
  list_push_front(own, opd->addr_mgmt_handler);
  list_push_front(own, opd->user_auth_handler);
  list_push_front(own, opd->endpoint_handler);
  list_push_front(own, opd->wan_state_handler);
  list_push_front(own, opd->route_handler);
}

void destroy_overlay_msg_handlers(OverlayPeerDescriptor* opd) {
  Vector<OstrelOverlayMsgInterface*>& all = overlay_msg_handlers();
  OstrelOverlayMsgInterface* handlers[] = {opd->endpoint_handler,   opd->wan_state_handler,
                                           opd->state_sync_handler, opd->route_handler,
                                           opd->user_auth_handler,  opd->addr_mgmt_handler};
  opd->handler_list.clear();
  for (OstrelOverlayMsgInterface* h : handlers) {
    if (h == nullptr) continue;
    list_remove(all, h);
    delete h;
  }
  opd->endpoint_handler = nullptr;
  opd->wan_state_handler = nullptr;
  opd->state_sync_handler = nullptr;
  opd->route_handler = nullptr;
  opd->user_auth_handler = nullptr;
  opd->addr_mgmt_handler = nullptr;
}

// ---- Overlay operations of these two exchanges

Packet* OstrelOverlay::build_route_msg_packet(OverlayPeerDescriptor* opd,
                                              const std::shared_ptr<OverlayDescriptor>& path,
                                              uint32_t version) {
  static constexpr char kTag[] = "OstrelOverlay::build_route_msg_packet";
  if (opd == nullptr || path == nullptr) return nullptr;
  const IPAddress vip = announced_vip();
  if (vip.addr() == 0) {
    MSG_LOG(6, kTag, "RouteMsg: no vip to send in routemsg");
    return nullptr;
  }
  MSG_LOG(6, kTag, "RouteMsg: sending route %s to %s", vip.to_string().c_str(),
          opd->overlay_address.to_string().c_str());
  OstrelOverlayStateMsg msg;
  msg.set_osm_type(OVERLAY_ROUTE_MSG);
  RouteMsg* rm = msg.mutable_osm_routemsg();
  rm->set_rm_version(version);
  Route* route = rm->add_route();
  route->set_ip(vip.addr());
  route->set_netmask(32);
  route->set_gw(config_.overlay_json.overlay_ip.addr());
  Packet* p = make_control_packet(msg, path->local_path_id, OVERLAY_ROUTE_MSG);
  if (p == nullptr) return nullptr;
  print_overlay_route_msg(msg);
  return p;
}

bool OstrelOverlay::check_and_failover_hub(OverlayPeerDescriptor* opd) {
  MSG_LOG(6, "OstrelOverlay::check_and_failover_hub",
          "Notification received from %s to fallback to another hub if available",
          peer_text(opd).c_str());
  return opd == nullptr || try_next_peer_if_available(opd);
}
