#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"

#include <atomic>
#include <cstring>
#include <new>
#include <string>

#include "graph/args.h"
#include "graph/error_handler.h"
#include "graph/json.h"
#include "graph/router.h"
#include "graph/router_log.h"
#include "graph/string_builder.h"
#include "lib/tarnutils/tarnutils.h"
#include "ostgraphsvc/graph/elements/overlay/ost_addr_mgmt.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_msg_handlers.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_transport.h"
#include "ostgraphsvc/graph/elements/route/ostrel_route_table.h"
#include "ostgraphsvc/ostssl/ostssl.h"
#include "platform/shared_page/shared_page.h"

#define OVL_LOG(level, tag, ...) log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

namespace {

std::atomic<OstrelOverlay*> registered{nullptr};

bool in_list(const Vector<NextHopElement*>& list, IPAddress address) {
  for (const NextHopElement* e : list) {
    if (e != nullptr && e->next_hop == address) return true;
  }
  return false;
}

String work_directory() {
  std::string dir;
  if (!tarnutil::getWorkDir(&dir)) return String();
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return String(dir.c_str());
}

}  // namespace

OstrelOverlay* registered_overlay() { return registered.load(std::memory_order_acquire); }

OstrelOverlay::OstrelOverlay() = default;

OstrelOverlay::~OstrelOverlay() {
  OstrelOverlay* self = this;
  if (registered.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel)) {
    if (ostssl::registered_listener() == this) ostssl::register_listener(nullptr);
  }
  unregister_overlay_view(this);
  unregister_overlay_config_querier(this);
  forget_overlay_element(this);
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  {
    std::unique_lock<std::shared_mutex> paths(path_mutex_);
    for (auto it = path_table_.begin(); it.live();) it = path_table_.erase(it);
    path_list_.clear();
  }
  for (OverlayPeerDescriptor*& opd : opds_) {
    delete opd;
    opd = nullptr;
  }
}

void* OstrelOverlay::cast(const char* name) {
  return name != nullptr && std::strcmp(name, "OstrelOverlay") == 0 ? this : nullptr;
}

int OstrelOverlay::configure(Vector<String>& conf, ErrorHandler* errh) {
  OVL_LOG(6, "OstrelOverlay::configure", "Configuring OstrelOverlay");
  Args(conf, this, errh)
      .read_filename("CONF", Args::kPositional, conf_)
      .read_bool("IKE_PROXY", 0, ike_proxy_)
      .read_bool("MGW_PROXY", 0, mgw_proxy_)
      .read_int("OST_COMPRESS", 0, compression_)
      .commit();
  const String dir = work_directory();
  if (!conf_.empty() && conf_[0] != '/') conf_ = dir + conf_;
  client_config_file_ = dir + "ostrel-client-config.json";
  device_config_file_ = dir + "ostrel-devcfg.json";
  OstrelOverlay* none = nullptr;
  if (registered.compare_exchange_strong(none, this, std::memory_order_acq_rel)) {
    register_overlay_config_querier(this);
    ostssl::register_listener(this);
    register_overlay_view(this);
  }
  OVL_LOG(6, "OstrelOverlay::configure", "Parsing configuration from files: %s, %s, %s",
          conf_.printable().c_str(), client_config_file_.printable().c_str(),
          device_config_file_.printable().c_str());
  config_.ioc_parse_config(conf_);
  if (load_config_from_file() != 0) {
    errh->error("error loading config from file");
    return -1;
  }
  OverlayTransport& transport = overlay_transport();
  transport.start();
  transport.populate_physical_interfaces();
  route_table_ = nullptr;
  if (router() != nullptr) {
    Element* rt = router()->find_element("rt", this);
    if (rt != nullptr) route_table_ = static_cast<OstrelRouteTable*>(rt->cast("OstrelRouteTable"));
  }
  if (route_table_ == nullptr) {
    OVL_LOG(6, "OstrelOverlay::attach_rt", "RouteTable0 element not found-1");
  }
  return 0;
}

int OstrelOverlay::load_config_from_file() {
  Json doc;
  if (conf_.empty() || Json::file_parse(conf_, doc) < 0) return -1;
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  own_address_ = config_.overlay_json.overlay_ip;
  OVL_LOG(6, "OstrelOverlay::load_config_from_file", "Overlay IP: %s",
          own_address_.to_string().c_str());
  dib_.set_local_address(own_address_);
  dib_.parse_dib_json(doc.get("local"), true);
  OVL_LOG(6, "OstrelOverlay::load_config_from_file", "Parsing remote endpoints");
  const Json& remote = doc.get("remote");
  if (remote.type() == Json::kArray) {
    const int count = remote.size();
    for (int i = 0; i < count; ++i) dib_.parse_dib_json(remote.get(String(i)), false);
  }
  OVL_LOG(6, "OstrelOverlay::load_config_from_file", "Parse remote endpoints - DONE");
  return 0;
}

int OstrelOverlay::initialize(ErrorHandler*) {
  OVL_LOG(6, "OstrelOverlay::initialize", "initializing overlay from config file: %s",
          conf_.printable().c_str());
  {
    std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
    build_wanlink_table();
    OVL_LOG(6, "OstrelOverlay::initialize", "Initialize and build overlays");
    build_overlays();
    for (auto it = dib_.address_table().begin(); it.live(); ++it) {
      OstrelDIB* entry = dib_.entry(it->value);
      if (entry != nullptr) update_nht_for_one_dib(entry);
    }
    nht_.print_nht();
    nht_.print_nht();
  }
  OVL_LOG(6, "OstrelOverlay::initialize", "Configuration changed, reconnect all tunnels");
  reinit_overlays(true);
  return 0;
}

// No element class of this system answers to "InterfaceInfo", so there is
// no interface record to read and the table stays empty.
void OstrelOverlay::build_wanlink_table() { wanlinks_built_ = true; }

OverlayWanLinkEntry* OstrelOverlay::get_wanlink_tbl_ex(uint32_t index) {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  if (!wanlinks_built_) {
    OVL_LOG(6, "OstrelOverlay::get_wanlink_tbl_ex", "OstOverlay: initializing WAN link table");
    build_wanlink_table();
  }
  for (OverlayWanLinkEntry& e : wanlinks_) {
    if (e.l3_index == index) return &e;
  }
  return nullptr;
}

uint16_t OstrelOverlay::local_roles() {
  if (local_role_ != 0) return local_role_;
  const OstrelDIB* local = dib_.find(own_address_);
  if (local != nullptr) local_role_ = local->roles;
  return local_role_;
}

uint16_t OstrelOverlay::get_local_roles() {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  return local_roles();
}


bool is_opd_up(const OverlayPeerDescriptor* opd) { return opd != nullptr && !opd->paths.empty(); }

// ---- Lookups

OverlayPeerDescriptor* OstrelOverlay::get_opd(IPAddress address) {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  return find_opd(address);
}

OverlayPeerDescriptor* OstrelOverlay::find_opd(IPAddress address) {
  auto it = address_table_.find(address);
  if (!it.live()) return nullptr;
  const uint32_t handle = it->value;
  if (handle > highest_handle_) return nullptr;
  return opd_by_handle(handle);
}

OverlayPeerDescriptor* OstrelOverlay::get_opd_by_peer_id(const String& peer_id) {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  auto it = peer_id_table_.find(peer_id);
  if (!it.live()) return nullptr;
  const uint32_t handle = it->value;
  if (handle > highest_handle_) return nullptr;
  return opd_by_handle(handle);
}

OstrelDIB* OstrelOverlay::get_dib(IPAddress address) {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  const uint32_t handle = dib_.handle_of(address);
  OstrelDIB* entry = dib_.entry(handle);
  if (entry == nullptr) {
    OVL_LOG(6, "OstrelOverlay::get_dib", "DIB entry for handle=%u not found", handle);
  }
  return entry;
}

bool OstrelOverlay::peer_has_path(IPAddress overlay_address) const {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  OverlayPeerDescriptor* opd = const_cast<OstrelOverlay*>(this)->get_opd(overlay_address);
  return opd != nullptr && !opd->paths.empty();
}

// ---- Peer descriptors

int OstrelOverlay::insert_opd(IPAddress address, OverlayPeerDescriptor* opd) {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  const String text = address.to_string();
  if (next_free_handle_ > static_cast<uint32_t>(kMaxPeers)) {
    OVL_LOG(3, "OstrelOverlay::insert_opd", "OPD(%s) insert failed with error:%d", text.c_str(),
            kNoSpace);
    return kNoSpace;
  }
  const uint32_t handle = next_free_handle_++;
  opds_[handle] = opd;
  opd->handle = static_cast<int32_t>(handle);
  ++opd_count_;
  address_table_.find_insert(address, handle);
  peer_id_table_.find_insert(opd->peer_id, handle);
  OVL_LOG(6, "OstrelOverlay::insert_opd", "OPD(%s) inserted with handle %d", text.c_str(),
          static_cast<int>(handle));
  refresh_usable_paths();
  return 0;
}

// ---- Overlay view

void OstrelOverlay::refresh_usable_paths() {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  int32_t total = 0;
  for (uint32_t handle = 1; handle <= static_cast<uint32_t>(kMaxPeers); ++handle) {
    const OverlayPeerDescriptor* opd = opds_[handle];
    int32_t up = 0;
    if (opd != nullptr) {
      for (const std::shared_ptr<OverlayDescriptor>& od : opd->paths) {
        if (od->local_up && od->remote_up.load(std::memory_order_relaxed)) ++up;
      }
      total += static_cast<int32_t>(opd->paths.size());
    }
    // The count first: a reader that finds the new address sees a count
    // that belongs to it.
    usable_[handle].count.store(up, std::memory_order_release);
    usable_[handle].address.store(opd != nullptr ? opd->overlay_address.addr() : 0,
                                  std::memory_order_release);
  }
  paths_up_.store(total, std::memory_order_release);
}

bool OstrelOverlay::peer_has_path_up(IPAddress peer) const {
  if (peer.addr() == 0) return false;
  for (uint32_t handle = 1; handle <= static_cast<uint32_t>(kMaxPeers); ++handle) {
    if (usable_[handle].address.load(std::memory_order_acquire) != peer.addr()) continue;
    return usable_[handle].count.load(std::memory_order_acquire) > 0;
  }
  return false;
}

int OstrelOverlay::tunnel_paths_up() const { return paths_up_.load(std::memory_order_acquire); }

IPAddress OstrelOverlay::static_vip() const {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  return config_.overlay_json.overlay_vip;
}

// The address manager's current lease; none without one.
IPAddress OstrelOverlay::leased_vip() const {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  OstAddrMgmt* am = registered_addr_mgmt();
  return am != nullptr ? am->current_address() : IPAddress();
}

IPAddress OstrelOverlay::overlay_address() const {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  return own_address_;
}

bool OstrelOverlay::ignore_route_policy_with_no_active_tunnel() const {
  return const_cast<OstrelOverlay*>(this)->ignoreRoutePolicyWithNoActiveTunnel(false);
}

bool OstrelOverlay::path_info(uint32_t path_id, OverlayPathInfo* info) const {
  std::shared_ptr<OverlayDescriptor> od = find_path(path_id);
  if (od == nullptr) return false;
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  info->peer = od->peer_overlay;
  info->if_index = static_cast<int>(od->if_index);
  info->if_text = od->protocol_text;
  return true;
}

bool OstrelOverlay::account_wan_tx(int if_index, uint32_t bytes, int priority) {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  for (OverlayWanLinkEntry& link : wanlinks_) {
    if (static_cast<int>(link.l3_index) != if_index) continue;
    ++link.tx_packets;
    link.tx_bytes += bytes;
    if (priority >= 1 && priority <= 3) link.tx_priority_bytes[priority - 1] += bytes;
    return true;
  }
  return false;
}

int OstrelOverlay::build_overlays() {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  OstrelDIB* local = dib_.find(own_address_);
  if (local == nullptr) {
    OVL_LOG(3, "OstrelOverlay::build_overlays", "unable to find local DIB, exiting");
    return -22;
  }
  int created = 0;
  for (auto it = dib_.address_table().begin(); it.live(); ++it) {
    const IPAddress address = it->key;
    if (address == own_address_) continue;
    OstrelDIB* peer = dib_.entry(it->value);
    if (peer == nullptr) {
      OVL_LOG(6, "OstrelOverlay::build_overlays", "DIB entry for handle=%u not found", it->value);
      continue;
    }
    const String text = address.to_string();
    OVL_LOG(6, "OstrelOverlay::build_overlays", "checking peer:%s, role:0x%x, is_ike_initiator:%s",
            text.c_str(), peer->roles, peer->spoke_only ? "true" : "false");
    bool provision = false;
    if (local->has_role(OSTREL_CONTROLLER)) {
      OVL_LOG(6, "OstrelOverlay::build_overlays", "Provisioning tunnel because we are controller");
      provision = true;
    } else if (peer->has_role(OSTREL_CONTROLLER)) {
      OVL_LOG(6, "OstrelOverlay::build_overlays",
              "Not provisioning tunnel because peer is controller");
    } else if (in_list(local->next_hops, address)) {
      OVL_LOG(6, "OstrelOverlay::build_overlays", "Provisioning tunnel because peer is my hub");
      peer->spoke_only = false;
      provision = true;
    } else if (in_list(peer->next_hops, own_address_)) {
      OVL_LOG(6, "OstrelOverlay::build_overlays", "Provisioning tunnel because i am peer's hub");
      provision = true;
    } else if (peer->has_role(OSTREL_DC)) {
      OVL_LOG(6, "OstrelOverlay::build_overlays", "Provisioning tunnel because peer is Global DC");
      provision = true;
    }
    if (provision) {
      OVL_LOG(6, "OstrelOverlay::build_overlays", "Creating tunnel with %s", text.c_str());
      if (get_opd(address) != nullptr) {
        OVL_LOG(6, "OstrelOverlay::build_overlays", "OPD to peer %s already exists", text.c_str());
      } else {
        ++created;
        OVL_LOG(6, "OstrelOverlay::build_overlays", "Creating new OPD to peer %s", text.c_str());
        OverlayPeerRecord record;
        record.address = address;
        record.port = peer->port;
        record.roles = peer->roles;
        record.group_id = peer->group_id;
        OverlayPeerDescriptor* opd = new (std::nothrow) OverlayPeerDescriptor(record);
        if (opd == nullptr) {
          OVL_LOG(3, "OstrelOverlay::create_and_add_new_peer",
                  "unable to create the overlay peer descriptor");
        } else {
          opd->peer_is_controller = peer->has_role(OSTREL_CONTROLLER);
          if (!peer->group_id.empty()) {
            opd->in_hub_group = true;
            opd->hub_group_id = peer->group_id;
          }
          if (insert_opd(address, opd) != 0) delete opd;
        }
      }
    }
    OverlayPeerDescriptor* opd = get_opd(address);
    if (opd != nullptr) opd->provisioned = provision;
  }
  OVL_LOG(6, "OstrelOverlay::build_overlays", "Total new OPD created: %d", created);
  return 0;
}

// ---- Next-hop upkeep

void OstrelOverlay::add_routeable_via(const Vector<NextHopElement*>& list, IPAddress via) {
  const String nh = via.to_string();
  for (const NextHopElement* e : list) {
    if (e == nullptr) continue;
    OVL_LOG(6, "OstrelOverlay::update_nht_for_one_dib",
            "NHT: Add routeable overlays dest=%s, nh=%s, cost=%u", e->next_hop.to_string().c_str(),
            nh.c_str(), e->cost);
    nht_.add_nexthop(e->next_hop, via, e->cost, !peer_has_path(via), this);
  }
}

void OstrelOverlay::update_nht_for_one_dib(OstrelDIB* entry) {
  if (entry == nullptr) return;
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  OstrelDIB* local = dib_.find(own_address_);
  if (local == nullptr) return;
  const IPAddress m = entry->overlay_address;
  const String mt = m.to_string();
  if (peer_has_path(m)) {
    NextHopElement* element = nht_.find(m);
    if (element != nullptr) {
      element->next_hop = IPAddress(0xffffffff);
      element->cost = 0xffffffff;
      element->pending = true;
    }
    nht_.add_nexthop(m, m, 10, false, this);
    if (in_list(local->next_hops, m)) {
      OVL_LOG(6, "OstrelOverlay::update_nht_for_one_dib",
              "NHT: DIB %s is my hub, Adding its hub as routeable via %s", mt.c_str(), mt.c_str());
      add_routeable_via(entry->next_hops, m);
    } else if (element != nullptr && !in_list(local->dynamic_overlay_list, m)) {
      OVL_LOG(6, "OstrelOverlay::update_nht_for_one_dib",
              "add peer %s to dynamic overlay list as there is direct tunnel", mt.c_str());
      NextHopElement* copy = new NextHopElement(element->next_hop, element->cost);
      copy->pending = element->pending;
      copy->mode = element->mode;
      copy->port = element->port;
      local->dynamic_overlay_list.push_back(copy);
    }
  } else {
    const bool dynamic = in_list(local->dynamic_overlay_list, m);
    if (in_list(local->next_hops, m) || in_list(local->routeable_overlays, m) || dynamic) {
      OVL_LOG(6, "OstrelOverlay::update_nht_for_one_dib", "NHT: Tunnel to peer %s has gone down",
              mt.c_str());
      nht_.add_nexthop(m, m, 10, true, this);
      Vector<NextHopElement*>& list = local->dynamic_overlay_list;
      for (int i = 0; i < list.size(); ++i) {
        if (list[i] == nullptr || !(list[i]->next_hop == m)) continue;
        delete list[i];
        vector_erase_at(list, i);
        break;
      }
    }
    for (const NextHopElement* e : entry->next_hops) {
      if (e == nullptr) continue;
      OVL_LOG(6, "OstrelOverlay::update_nht_for_one_dib",
              "NHT: Add next hop dest=%s, nh=%s, cost=%u", mt.c_str(),
              e->next_hop.to_string().c_str(), e->cost);
      nht_.add_nexthop(m, e->next_hop, e->cost, !peer_has_path(e->next_hop), this);
    }
  }
  if (!entry->delete_list.empty()) {
    for (NextHopElement* d : entry->delete_list) {
      if (d == nullptr) continue;
      if (d->next_hop == m) {
        OVL_LOG(6, "OstrelOverlay::update_nht_for_one_dib",
                "NHT: self ip %s found in delete list, self ip is always routable. skip deleting "
                "this entry",
                mt.c_str());
        continue;
      }
      OVL_LOG(6, "OstrelOverlay::update_nht_for_one_dib", "NHT: removing %s as the next hop for %s",
              d->next_hop.to_string().c_str(), mt.c_str());
      nht_.remove_nexthop(m, d->next_hop, d->cost);
    }
    nht_.print_nht();
    for (NextHopElement* d : entry->delete_list) delete d;
    entry->delete_list.clear();
  }
  add_routeable_via(entry->routeable_overlays, m);
}

// ---- Connections

void OstrelOverlay::reinit_overlays(bool reset_all) {
  OVL_LOG(6, "OstrelOverlay::reinit_overlays", "reinit overlays called with reset_all: %s",
          reset_all ? "true" : "false");
  overlay_transport().disconnect_all_peers(false);
  connect_to_all_peers();
  update_shm_path_stats();
}

// Reads only the peer configuration, fixed after configure, and takes no
// overlay lock: the transport's mutexes come first.
void OstrelOverlay::connect_to_all_peers() {
  const OstrelOverlayJson& json = config_.overlay_json;
  int groups = json.group_count;
  if (groups > kOverlayMaxPeerGroups) groups = kOverlayMaxPeerGroups;
  OVL_LOG(6, "OstrelOverlay::connect_to_all_peers", "Total Hubs to connect: %d (per interface)",
          groups);
  if (groups <= 0) {
    OVL_LOG(3, "OstrelOverlay::connect_to_all_peers", "no hubs available to connect");
    return;
  }
  OverlayTransport& transport = overlay_transport();
  for (int g = 0; g < groups; ++g) {
    const OnePeerGroup& group = json.groups[g];
    if (group.peer_count <= 0) continue;
    const OnePeer& hub = group.peers[0];
    int links = hub.link_count;
    if (links > kOverlayMaxLinksPerPeer) links = kOverlayMaxLinksPerPeer;
    for (int i = 0; i < links; ++i) {
      OVL_LOG(6, "OstrelOverlay::connect_to_all_peers",
              "Initiating ssl_connect_to_peer for %s/%s (hub_link_index: %d)",
              hub.overlay_ip.to_string().c_str(), hub.links[i].to_string().c_str(), i);
      transport.connect_to_peer(json.tls_only, hub.port, hub.pubkey, hub.links[i].addr(),
                                hub.overlay_ip.addr(), group.group_id, group.group_name, true);
    }
  }
}

void OstrelOverlay::trigger_wan_state_msg() {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  if (connected_paths_.empty()) return;
  for (auto it = address_table_.begin(); it.live(); ++it) {
    OverlayPeerDescriptor* opd = opd_by_handle(it->value);
    if (opd == nullptr) continue;
    OVL_LOG(7, "OstrelOverlay::trigger_wan_state_msg", "triggering WAN State message for peer %s",
            opd->overlay_address.to_string().c_str());
    if (opd->wan_state_handler != nullptr)
      opd->wan_state_handler->new_msg_trigger(kTriggerWanState);
  }
}

String OstrelOverlay::show_overlay_state_sync() {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  StringBuilder sb;
  for (auto it = address_table_.begin(); it.live(); ++it) {
    OverlayPeerDescriptor* opd = opd_by_handle(it->value);
    if (opd == nullptr) continue;
    sb << "OVERLAYIP: " << opd->overlay_address.to_string() << "\r\n";
    if (opd->paths.empty()) continue;
    for (OstrelOverlayMsgInterface* h : opd->handler_list) {
      OverlayMsgVersions v;
      h->get_versions(&v);
      sb << h->msg_name() << "\r\n"
         << "MYVERSION: " << v.current << "\r\n"
         << "MYSENTVERSION: " << v.sent << "\r\n"
         << "PEERRECVERSION: " << v.peer << "\r\n";
    }
  }
  return sb.take_string();
}

// ---- Path table

std::shared_ptr<OverlayDescriptor> OstrelOverlay::find_path(uint32_t path_id) const {
  std::shared_lock<std::shared_mutex> hold(path_mutex_);
  auto it = const_cast<HashTable<uint32_t, std::shared_ptr<OverlayDescriptor>>&>(path_table_)
                .find(path_id);
  return it.live() ? it->value : nullptr;
}

std::shared_ptr<OverlayDescriptor> OstrelOverlay::insert_path(
    const std::shared_ptr<OverlayDescriptor>& od) {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  std::unique_lock<std::shared_mutex> paths(path_mutex_);
  auto it = path_table_.find(od->local_path_id);
  if (it.live()) {
    ++it->value->connection_count;
    return it->value;
  }
  path_table_.find_insert(od->local_path_id, od);
  path_list_.push_back(od.get());
  return od;
}

std::shared_ptr<OverlayDescriptor> OstrelOverlay::erase_path(uint32_t path_id) {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  std::unique_lock<std::shared_mutex> paths(path_mutex_);
  auto it = path_table_.find(path_id);
  if (!it.live()) return nullptr;
  if (--it->value->connection_count >= 1) return nullptr;
  std::shared_ptr<OverlayDescriptor> gone = it->value;
  path_table_.erase(it);
  for (int i = 0; i < path_list_.size(); ++i) {
    if (path_list_[i] != gone.get()) continue;
    vector_erase_at(path_list_, i);
    break;
  }
  return gone;
}
