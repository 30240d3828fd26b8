#include "ostgraphsvc/graph/elements/overlay/overlay_msg_handlers.h"

#include "graph/router_log.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "ostgraphsvc/overlaymsg/control_packet.h"
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

// The address check in front of the version step (no virtual address, nothing
// to offer) comes with the route messages themselves.
void OverlayRouteMsg::new_msg_trigger(uint32_t reason) {
  trigger_reasons |= reason;
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
