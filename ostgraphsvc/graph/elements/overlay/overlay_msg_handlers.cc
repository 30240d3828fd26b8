#include "ostgraphsvc/graph/elements/overlay/overlay_msg_handlers.h"

#include "graph/router_log.h"
#include "ostgraphsvc/graph/elements/overlay/ost_addr_mgmt.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "ostgraphsvc/graph/elements/policy/policy_vocabulary.h"
#include "ostgraphsvc/graph/elements/user/ostuser.h"
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

// ---- Endpoint

namespace {

// At most `limit` bytes of a text a peer sent.
String cut_text(const std::string& text, int limit) {
  const size_t n = text.size() < static_cast<size_t>(limit) ? text.size() : limit;
  return String(text.data(), static_cast<int>(n));
}

uint16_t local_roles_of(OstrelOverlay* overlay) {
  return overlay != nullptr ? overlay->get_local_roles() : 0;
}

bool is_hub_role(uint16_t roles) { return (roles & (OSTREL_DC | OSTREL_WAYPOINT)) != 0; }

// A loss figure a peer reported, as a percentage the listing can round.
double bounded_loss(double loss) {
  if (!(loss > 0)) return 0;
  return loss < 100 ? loss : 100;
}

}  // namespace

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

bool OverlayEndptMsg::is_msg_available() {
  // A controller only answers: its peer version is all ones until the peer's
  // next sync, and the peer reports 0 while it lacks this side's endpoint.
  if (roles.controller) return peer_version == 0;
  return peer_version != current_version || sent_count == 0;
}

void OverlayEndptMsg::new_msg_trigger(uint32_t reason) {
  current_version = (current_version > peer_version ? current_version : peer_version) + 1;
  trigger_reasons |= reason;
}

void OverlayEndptMsg::msg_sent() {
  ++sent_count;
  if (roles.controller) peer_version = 0xffffffffu;
}

Vector<Packet*>& OverlayEndptMsg::build_msg_per_peer_into_packet(Vector<Packet*>& packets,
                                                                 OstrelOverlay* overlay,
                                                                 OverlayPeerDescriptor* opd) {
  static constexpr char kTag[] = "OverlayEndptMsg::build_msg_per_peer_into_packet";
  if (overlay == nullptr || opd == nullptr) return packets;
  if ((overlay->get_local_roles() & OSTREL_CONTROLLER) != 0 && !opd->first_endpt_received) {
    if (++log_counter % log_period == 0) {
      MSG_LOG(6, kTag, "Overlay EndPt Msg: not yet received first endpt msg from %s",
              peer_text(opd).c_str());
    }
    return packets;
  }
  if (overlay->get_dib(overlay->own_address()) == nullptr) {
    MSG_LOG(6, kTag, "Local DIB entry for not found");
    return packets;
  }
  for (const auto& path : opd->paths) {
    Packet* p = build_endpt_packet(overlay, *path, current_version, sent_count, trigger_reasons);
    if (p != nullptr) packets.push_back(p);
  }
  return packets;
}

Packet* OverlayEndptMsg::build_endpt_packet(OstrelOverlay* overlay, const OverlayDescriptor& path,
                                            uint32_t current, uint32_t sent, uint32_t reasons) {
  OstrelOverlayStateMsg msg;
  msg.set_osm_type(OVERLAY_PATHID_STATE_MSG);
  WanEndPtMsg* ep = msg.mutable_osm_endptmsg();
  const uint32_t next = sent + 1;
  ep->set_wep_version(next < current ? next : current);
  ep->set_msg_trigger_reason(reasons);
  const bool controller = (local_roles_of(overlay) & OSTREL_CONTROLLER) != 0;
  if (!controller && overlay != nullptr) {
    const OstrelOverlayJson& json = overlay->peer_config().overlay_json;
    ep->set_wep_mac_addr(std::string(json.macaddr.data(), json.macaddr.length()));
    ep->set_wep_dev_name(std::string(json.hostname.data(), json.hostname.length()));
  }
  WanEndPtDescMsg* entry = ep->add_wep_list();
  entry->set_wep_my_pathid(path.local_path_id);
  entry->set_wep_my_mtu(path.mtu);
  OverlayDescStats* ods = entry->mutable_wep_ods();
  ods->set_ods_rxloss_delayed(path.delayed_rx_loss);
  ods->set_ods_rxloss_instant(path.instant_rx_loss);
  RemoteWanMsg* wan = entry->mutable_wep_remote_wan();
  wan->set_rwm_prop(0);
  wan->set_rwm_usable(true);
  if (controller) {
    entry->set_wep_my_ipv4(0);
    entry->set_wep_remote_nat_ipv4(0);
    entry->set_wep_remote_nat_port(4500);
    entry->set_wep_overlay_tag("public");
    entry->set_wep_wannetwork_tag("internet");
  } else {
    build_hub_spoke_specific_fields(entry, path);
  }
  return make_control_packet(msg, path.local_path_id, OVERLAY_PATHID_STATE_MSG);
}

void OverlayEndptMsg::build_hub_spoke_specific_fields(WanEndPtDescMsg* entry,
                                                      const OverlayDescriptor&) {
  static constexpr int kWired = 1;
  const String& tag = wan_type_names[kWired];
  entry->set_wep_overlay_tag(std::string(tag.data(), tag.length()));
  MSG_LOG(7, "OverlayEndptMsg::build_hub_spoke_specific_fields",
          "EndPt Msg: Send Overlay Tag: %s Wan Type %d", tag.c_str(), kWired);
}

int OverlayEndptMsg::wan_type_from_tag(const String& text) {
  if (text == "wired" || text == "public") return 1;
  if (text == "wireless") return 2;
  if (text == "private") return 3;
  if (text == "metered") return 4;
  return kWanTypeUnknown;
}

void OverlayEndptMsg::get_endpoint_tags(const WanEndPtDescMsg& entry, OstrelOverlay* overlay,
                                        const OverlayDescriptor& path, String* overlay_tag,
                                        String* network_tag) {
  if (!is_hub_role(local_roles_of(overlay))) {
    const int type =
        path.wan_type >= 1 && path.wan_type <= kWanTypeUnknown ? path.wan_type : kWanTypeUnknown;
    // "unknown" is no tag a hub knows: an untyped link counts as wired.
    *overlay_tag = wan_type_names[type == kWanTypeUnknown ? 1 : type];
  } else {
    *overlay_tag = cut_text(entry.wep_overlay_tag(), kMaxTagLength);
  }
  *network_tag = entry.has_wep_wannetwork_tag()
                     ? cut_text(entry.wep_wannetwork_tag(), kMaxTagLength)
                     : *overlay_tag;
}

bool OverlayEndptMsg::update_network_and_overlay_tags(OstrelOverlay* overlay,
                                                      const WanEndPtDescMsg& entry,
                                                      OstrelDIB* local, OverlayDescriptor* path) {
  static constexpr char kTag[] = "OverlayEndptMsg::update_network_and_overlay_tags";
  String overlay_tag;
  String network_tag;
  get_endpoint_tags(entry, overlay, *path, &overlay_tag, &network_tag);
  EndPointDescriptor* made = nullptr;
  if (!local->endpoint_sets.find(network_tag).live()) {
    // Every new tag a peer names would otherwise grow the table for good.
    if (local->endpoint_sets.size() >= static_cast<uint64_t>(kMaxEndpointTags)) {
      MSG_LOG(6, kTag, "Overlay EndPt Msg: endpoint table holds %d network tags, %s not added",
              kMaxEndpointTags, network_tag.printable().c_str());
    } else {
      MSG_LOG(6, kTag,
              "Overlay EndPt Msg: Cannot find endpt desc for network tag %s overlay tag %s",
              network_tag.printable().c_str(), overlay_tag.printable().c_str());
      made = new EndPointDescriptor(overlay_tag, network_tag);
    }
  }
  path->public_address = IPAddress(entry.wep_remote_nat_ipv4());
  if (is_hub_role(local_roles_of(overlay))) {
    const int type = wan_type_from_tag(overlay_tag);
    MSG_LOG(6, kTag, "EndPt Msg:Updating at Hub Network Tag %s Overlay Tag %s, Wan Type: %d",
            network_tag.printable().c_str(), overlay_tag.printable().c_str(), type);
    path->wan_type = type;
  }
  if (made != nullptr) local->endpoint_sets.find_insert(network_tag, made);
  return false;
}

void OverlayEndptMsg::consume_msg(Packet* p, const OstrelOverlayStateMsg& msg,
                                  OstrelOverlay* overlay, OverlayPeerDescriptor* opd) {
  static constexpr char kTag[] = "OverlayEndptMsg::consume_msg";
  if (p == nullptr || overlay == nullptr || opd == nullptr) return;
  const uint32_t path_id = p->overlay_path_anno();
  const std::shared_ptr<OverlayDescriptor> od = overlay->get_od(path_id);
  if (od == nullptr) {
    MSG_LOG(6, kTag, "Overlay EndPt Msg: Cannot find incoming pathid %u", path_id);
    return;
  }
  const String peer = peer_text(opd);
  OstrelDIB* local = overlay->get_dib(overlay->own_address());
  if (local == nullptr) {
    MSG_LOG(6, kTag, "Overlay EndPt Msg: Cannot find dib for %s", peer.c_str());
    return;
  }
  if ((overlay->get_local_roles() & OSTREL_CONTROLLER) != 0) {
    MSG_LOG(7, kTag, "Overly EndPt Msg: Received from %s at controller, triggering response",
            peer.c_str());
    opd->first_endpt_received = true;
    new_msg_trigger(kTriggerEndpoint);
  }
  MSG_LOG(7, kTag, "EndPt Msg:Setting Consuming msg from pathid %u", od->local_path_id);
  const WanEndPtMsg& ep = msg.osm_endptmsg();
  consumed_version = ep.wep_version();
  bool same_remote = true;
  bool changed = false;
  if (ep.wep_list_size() > 0) {
    const WanEndPtDescMsg& entry = ep.wep_list(0);
    if (entry.has_wep_my_mtu()) {
      // The descriptor's MTU is 16 bits and sizes fragments: nothing below
      // the IPv4 minimum, nothing above 16 bits; 0 means unknown.
      uint32_t mtu = entry.wep_my_mtu();
      if (mtu != 0 && mtu < kMinPeerMtu) mtu = kMinPeerMtu;
      if (mtu > kMaxPeerMtu) mtu = kMaxPeerMtu;
      od->peer_mtu = mtu;
      if (mtu != 0) {
        if (opd->mtu == 0 || mtu < opd->mtu) opd->mtu = static_cast<uint16_t>(mtu);
        if (opd->mtu > 1400) opd->mtu = 1400;
      }
    }
    same_remote = od->remote_path_id == entry.wep_my_pathid();
    od->remote_path_id = entry.wep_my_pathid();
    MSG_LOG(7, kTag, "EndPt Msg:Setting remote pathid to %u for local path %u", od->remote_path_id,
            od->local_path_id);
    changed = update_network_and_overlay_tags(overlay, entry, local, od.get());
    MSG_LOG(7, kTag, "EndPt Msg: Endpoint Updated state %s", changed ? "TRUE" : "FALSE");
    if (entry.has_wep_ods()) {
      od->delayed_tx_loss = bounded_loss(entry.wep_ods().ods_rxloss_delayed());
      od->instant_tx_loss = bounded_loss(entry.wep_ods().ods_rxloss_instant());
    }
    if (entry.has_wep_remote_wan()) {
      od->remote_wan_prop = entry.wep_remote_wan().rwm_prop();
      od->remote_wan_usable = entry.wep_remote_wan().rwm_usable();
    }
  }
  const uint32_t reason = ep.msg_trigger_reason();
  if (same_remote && (reason & kTriggerQoe) != 0 && (reason & kTriggerEndpoint) == 0) {
    MSG_LOG(6, kTag, "EndPt Msg: only qoe changed, no need to trigger DIM");
  }
  if (!changed) return;
  OstrelDIB* sender = overlay->get_dib(opd->overlay_address);
  if (sender == nullptr || !sender->has_role(OSTREL_CONTROLLER)) return;
  MSG_LOG(6, kTag, "Triggering a DIM update for message from %s", peer.c_str());
  overlay->request_dim_update();
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

bool OverlayWanStateMsg::is_msg_available() {
  if (roles.controller) return false;
  if (peer_version != current_version) {
    MSG_LOG(6, "OverlayWanStateMsg::is_msg_available", "Overlay Wan State not in Sync %d:%d",
            static_cast<int>(current_version), static_cast<int>(peer_version));
    return true;
  }
  return sent_count == 0;
}

void OverlayWanStateMsg::new_msg_trigger(uint32_t reason) {
  if (reason == kTriggerFirstSync && peer_version != 0) {
    current_version = peer_version + 1;
  } else {
    ++current_version;
  }
  trigger_reasons |= reason;
}

Vector<Packet*>& OverlayWanStateMsg::build_msg_per_peer_into_packet(Vector<Packet*>& packets,
                                                                    OstrelOverlay* overlay,
                                                                    OverlayPeerDescriptor* opd) {
  if (overlay == nullptr || opd == nullptr) return packets;
  if (overlay->get_dib(overlay->own_address()) == nullptr) {
    MSG_LOG(6, "OverlayWanStateMsg::build_msg_per_peer_into_packet",
            "Local DIB entry for not found");
    return packets;
  }
  for (const auto& path : opd->paths) {
    Packet* p = build_wan_state_packet(overlay, *path, current_version);
    if (p != nullptr) packets.push_back(p);
  }
  return packets;
}

Packet* OverlayWanStateMsg::build_wan_state_packet(OstrelOverlay* overlay,
                                                   const OverlayDescriptor& path,
                                                   uint32_t version) {
  OstrelOverlayStateMsg msg;
  msg.set_osm_type(OVERLAY_WANLINK_STATE_MSG);
  WanLinkStateMsg* wls = msg.mutable_osm_wlsmsg();
  wls->set_wls_version(version);
  // Every path of this node, to any peer: the peer keys on the path ids it
  // learned from endpoint messages and ignores the rest.
  for (const OverlayConnectedPath& c : overlay->connected_paths()) {
    WanLinkStateDescMsg* entry = wls->add_wls_list();
    entry->set_wls_ipv4(c.local_address.addr());
    entry->add_wls_natipv4(c.local_address.addr());
    entry->add_wls_pathid(c.path_id);
    entry->set_wls_state(c.is_new ? 1 : 0);
  }
  return make_control_packet(msg, path.local_path_id, OVERLAY_WANLINK_STATE_MSG);
}

void OverlayWanStateMsg::consume_msg(Packet*, const OstrelOverlayStateMsg& msg,
                                     OstrelOverlay* overlay, OverlayPeerDescriptor* opd) {
  static constexpr char kTag[] = "OverlayWanStateMsg::consume_msg";
  if (opd == nullptr) return;
  const WanLinkStateMsg& wls = msg.osm_wlsmsg();
  consumed_version = wls.wls_version();
  int unset_lines = 0;
  int unset_left = 0;
  bool changed = false;
  for (const WanLinkStateDescMsg& entry : wls.wls_list()) {
    const bool up = entry.wls_state() != 0;
    const char* state = up ? "UP" : "DOWN";
    const String sip = IPAddress(entry.wls_ipv4()).to_string();
    for (const auto& path : opd->paths) {
      for (const uint32_t id : entry.wls_pathid()) {
        MSG_LOG(7, kTag, "Consume WanState Msg: sip=%s, msgpathid=%u rpathid:lpathid=%u:%u",
                sip.c_str(), id, path->remote_path_id, path->local_path_id);
        if (id != path->remote_path_id || path->remote_up.load(std::memory_order_relaxed) == up) {
          continue;
        }
        MSG_LOG(6, kTag,
                "Consume WanState Msg: sip=%s, msgpathid=%u rpathid:lpathid=%u:%u set state to %s",
                sip.c_str(), id, path->remote_path_id, path->local_path_id, state);
        path->remote_up.store(up, std::memory_order_relaxed);
        opd->handle_wanlinks_state_change(*path, up);
        changed = true;
      }
      if (entry.wls_pathid_size() != 0) continue;
      // A peer can list thousands of entries: a few lines, then a count.
      if (unset_lines == kMaxUnsetLines) {
        ++unset_left;
        continue;
      }
      ++unset_lines;
      MSG_LOG(6, kTag,
              "Consume WanState Msg: sip=%s, pathid=%ustate %s, cannot be set, pathid's not in "
              "sync or absent",
              sip.c_str(), path->local_path_id, state);
    }
  }
  if (unset_left > 0) {
    MSG_LOG(6, kTag, "Consume WanState Msg: %d more entries that cannot be set not logged",
            unset_left);
  }
  if (changed && overlay != nullptr) overlay->refresh_usable_paths();
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

namespace {

bool holder_has_token(const OstUser* holder) { return holder != nullptr && holder->enabled != 0; }

}  // namespace

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

bool OverlayUserAuthMsg::is_msg_available() {
  static constexpr char kTag[] = "OverlayUserAuthMsg::is_msg_available";
  if (roles.controller || roles.hub) return false;
  if (sent_count == 0) return true;
  const OstUser* holder = registered_token_holder();
  const bool has_token = holder_has_token(holder);
  const uint32_t update = holder != nullptr ? holder->version : 0;
  if (update != seen_token_version) {
    current_version = (current_version > peer_version ? current_version : peer_version) + 1;
    MSG_LOG(6, kTag,
            "OverlayUserAuthMsg: State changed. Sending user auth msg to peer: currversion %u, "
            "sentversion %u, peerversion %u state:%d updversion:%u",
            current_version, sent_count, peer_version, has_token ? 1 : 0, update);
    seen_token_version = update;
    return true;
  }
  if (peer_version == current_version) return false;
  MSG_LOG(6, kTag,
          "OverlayUserAuthMsg: Sending user auth msg peer not in sync: currversion %u, "
          "sentversion %u, peerversion %u",
          current_version, sent_count, peer_version);
  return true;
}

Vector<Packet*>& OverlayUserAuthMsg::build_msg_per_peer_into_packet(Vector<Packet*>& packets,
                                                                    OstrelOverlay* overlay,
                                                                    OverlayPeerDescriptor* opd) {
  static constexpr char kTag[] = "OverlayUserAuthMsg::build_msg_per_peer_into_packet";
  if (overlay == nullptr || opd == nullptr) return packets;
  if (overlay->get_dib(overlay->own_address()) == nullptr) {
    MSG_LOG(6, kTag, "OverlayUserAuthMsg: Local DIB entry for not found");
    return packets;
  }
  if (opd->paths.empty()) return packets;
  MSG_LOG(6, kTag, "OverlayUserAuthMsg: building user auth state msg for %s",
          peer_text(opd).c_str());
  Packet* p = build_user_auth_msg_packet(opd->paths[0], current_version, roles.hub);
  if (p != nullptr) packets.push_back(p);
  return packets;
}

Packet* OverlayUserAuthMsg::build_user_auth_msg_packet(
    const std::shared_ptr<OverlayDescriptor>& path, uint32_t version, bool is_hub) {
  if (path == nullptr) return nullptr;
  OstrelOverlayStateMsg msg;
  msg.set_osm_type(OVERLAY_USERAUTH_MSG);
  UserAuthMsg* ua = msg.mutable_osm_userauthmsg();
  ua->set_uam_version(version);
  const OstUser* holder = registered_token_holder();
  if (!is_hub && holder_has_token(holder)) {
    ua->set_uam_jwt(std::string(holder->token.data(), holder->token.length()));
  }
  ua->set_uam_newver_supported(1);
  Packet* p = make_control_packet(msg, path->local_path_id, OVERLAY_USERAUTH_MSG);
  if (p == nullptr) return nullptr;
  print_user_auth_msg(msg);
  return p;
}

void OverlayUserAuthMsg::consume_msg(Packet*, const OstrelOverlayStateMsg& msg, OstrelOverlay*,
                                     OverlayPeerDescriptor* opd) {
  static constexpr char kTag[] = "OverlayUserAuthMsg::consume_msg";
  if (roles.controller || opd == nullptr) return;
  const UserAuthMsg& ua = msg.osm_userauthmsg();
  const String peer = peer_text(opd);
  MSG_LOG(6, kTag, "OverlayUserAuthMsg: received message from %s version %u ack %d state:%d",
          peer.c_str(), ua.uam_version(), ua.uam_authack() ? 1 : 0,
          static_cast<int>(ua.uam_auth_state()));
  if (roles.hub) {
    MSG_LOG(6, kTag, "OverlayUserAuthMsg: received jwt");
    return;
  }
  consumed_version = ua.uam_version();
  const uint32_t state = ua.uam_auth_state();
  if (state >= 1 && state <= 3) {
    opd->user_auth_state = static_cast<int32_t>(state);
  } else if (state > 3) {
    MSG_LOG(6, kTag, "OverlayUserauthMsg: from %s unknown state:%d", peer.c_str(),
            static_cast<int>(state));
  } else if (ua.uam_authack()) {
    opd->user_auth_state = holder_has_token(registered_token_holder()) ? 2 : 1;
  }
  print_user_auth_msg(msg);
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
