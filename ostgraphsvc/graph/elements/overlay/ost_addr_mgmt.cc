#include "ostgraphsvc/graph/elements/overlay/ost_addr_mgmt.h"

#include <atomic>

#include "graph/router.h"
#include "graph/router_log.h"
#include "graph/string_builder.h"
#include "lib/tarnutils/tarnutils.h"
#include "ostgraphsvc/graph/elements/local/ostrel_snat.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_msg_handlers.h"

#define AM_LOG(level, tag, ...) log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

namespace {

std::atomic<OstAddrMgmt*> registered{nullptr};

// Texts shared with other threads' copies get storage of their own: String
// copies share a count that is not atomic.
String own_copy(const String& text) { return String(text.data(), text.length()); }

// Whole seconds from `then` to `now`, rounded down.
int64_t elapsed_secs(Timestamp now, Timestamp then) {
  const int64_t d = (now - then).nsec();
  const int64_t s = d / Timestamp::kNsecPerSec;
  return d < 0 && s * Timestamp::kNsecPerSec != d ? s - 1 : s;
}

// An elapsed count for the %d of a log line.
int shown_secs(int64_t s) {
  if (s > 0x7fffffff) return 0x7fffffff;
  if (s < -0x7fffffff) return -0x7fffffff;
  return static_cast<int>(s);
}

String address_text(IPAddress address, IPAddress mask) {
  return mask.addr() != 0 ? IPAddress::prefix_to_string(address, mask) : address.to_string();
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

OstAddrMgmt* registered_addr_mgmt() { return registered.load(std::memory_order_acquire); }

String normalized_domain_list(const String& text) {
  for (int i = 0; i < text.length(); ++i) {
    if (!is_space(text[i])) return own_copy(text);
  }
  return String();
}

OstAddrMgmt::~OstAddrMgmt() {
  OstAddrMgmt* self = this;
  registered.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
}

std::unique_lock<std::recursive_mutex> OstAddrMgmt::hold_overlay() {
  OstrelOverlay* ov = registered_overlay();
  if (ov == nullptr) return {};
  return std::unique_lock<std::recursive_mutex>(ov->overlay_lock());
}

int OstAddrMgmt::configure(Vector<String>&, ErrorHandler*) {
  OstAddrMgmt* none = nullptr;
  registered.compare_exchange_strong(none, this, std::memory_order_acq_rel);
  snat_mapper_ = nullptr;
  if (router() != nullptr) {
    for (int i = 0; i < router()->nelements(); ++i) {
      Element* e = router()->element(i);
      if (e == nullptr) continue;
      snat_mapper_ = static_cast<OstrelSNATIPMapper*>(e->cast("OstrelSNATIPMapper"));
      if (snat_mapper_ != nullptr) break;
    }
  }
  if (snat_mapper_ == nullptr) {
    AM_LOG(3, "OstAddrMgmt::configure", "OstAddrMgmt: unable to find SNAT IPMapper element!!");
  }
  if (proto_demux_ == nullptr) proto_demux_ = OstrelL3ProtoClassifier::process_classifier();
  OstrelOverlay* ov = registered_overlay();
  if (ov != nullptr) {
    auto hold = hold_overlay();
    const LastUsedIpDetails& record = ov->peer_config().overlay_json.lastusedip_details;
    last_used_.ip_addr = record.ip_addr;
    last_used_.ip_mask = record.ip_mask;
    last_used_.assigned_peer = record.assigned_peer;
    last_used_.lease_time_secs = record.lease_time_secs;
    last_used_.assigned_time = record.assigned_time;
    last_used_.name_servers = own_copy(record.name_servers);
    last_used_.domain_list = own_copy(record.domain_list);
    AM_LOG(6, "OstAddrMgmt::configure", "Loaded last used ip:%s assigned by %s lease %d",
           last_used_.ip_addr.to_string().c_str(), last_used_.assigned_peer.to_string().c_str(),
           last_used_.lease_time_secs);
  }
  return 0;
}

int OstAddrMgmt::initialize(ErrorHandler*) {
  if (proto_demux_ == nullptr) proto_demux_ = OstrelL3ProtoClassifier::process_classifier();
  if (proto_demux_ == nullptr) return 0;
  OstrelOverlay* ov = registered_overlay();
  if (ov == nullptr) return 0;
  const IPAddress vip = ov->peer_config().overlay_json.overlay_vip;
  if (vip.addr() != 0) notify_ip_addr_change(vip);
  return 0;
}

int OstAddrMgmt::get_peer_address_msg_type(IPAddress hub, bool* expired) {
  auto hold = hold_overlay();
  *expired = false;
  const Timestamp now = Timestamp::now();
  if (last_used_.assigned_peer == hub && assigned_time_.nsec() == 0) {
    const int64_t e = elapsed_secs(now, last_used_.assigned_time);
    if (last_used_.ip_addr.addr() != 0 && last_used_.lease_time_secs > 0 && e > 0 &&
        e < last_used_.lease_time_secs) {
      AM_LOG(6, "OstAddrMgmt::get_peer_address_msg_type",
             "Reusing the IP %s from %s last used. assigned %d secs back. expiry :%d",
             last_used_.ip_addr.to_string().c_str(), hub.to_string().c_str(), shown_secs(e),
             last_used_.lease_time_secs);
      const LastUsedIpDetails record = last_used_;
      leasing_hub_ = hub;
      current_mask_ = record.ip_mask;
      lease_secs_ = record.lease_time_secs;
      assigned_time_ = record.assigned_time;
      name_servers_ = own_copy(record.name_servers);
      domain_list_ = normalized_domain_list(record.domain_list);
      set_ip_addr(hub, record.ip_addr, record.ip_mask,
                  static_cast<uint32_t>(record.lease_time_secs), false, record.name_servers,
                  record.domain_list);
      return kAddrMsgKeep;
    }
    AM_LOG(6, "OstAddrMgmt::get_peer_address_msg_type",
           "Last used IP cache expired. No longer reusing the IP %s exp:%d",
           last_used_.ip_addr.to_string().c_str(), last_used_.lease_time_secs);
  }
  if (!(hub == leasing_hub_) || lease_secs_ <= 0) return kAddrMsgRequest;

  const int64_t lease = lease_secs_;
  const int64_t e = elapsed_secs(now, assigned_time_);
  if (e < 0 || e >= lease) {
    *expired = true;
    AM_LOG(6, "OstAddrMgmt::get_peer_address_msg_type",
           "Expired - lease time %d diff time:%d. Refresh IP", lease_secs_, shown_secs(e));
    return kAddrMsgRequest;
  }
  if (e >= lease * 90 / 100) {
    AM_LOG(6, "OstAddrMgmt::get_peer_address_msg_type", "lease time %d diff time:%d. Rebind IP",
           lease_secs_, shown_secs(e));
    return kAddrMsgRebind;
  }
  if (e >= lease * 50 / 100) {
    AM_LOG(6, "OstAddrMgmt::get_peer_address_msg_type", "lease time %d diff time:%d. Renew IP",
           lease_secs_, shown_secs(e));
    return kAddrMsgRenew;
  }
  if (++decision_counter_ % log_interval_ == 0) {
    AM_LOG(6, "OstAddrMgmt::get_peer_address_msg_type", "lease time %d diff time:%d. Using IP",
           lease_secs_, shown_secs(e));
  }
  return kAddrMsgKeep;
}

void OstAddrMgmt::set_ip_addr(IPAddress hub, IPAddress address, IPAddress mask, uint32_t lease_secs,
                              bool renew, const String& name_servers, const String& domain_list) {
  if (address.addr() == 0) return;
  auto hold = hold_overlay();
  const String hub_text = hub.to_string();
  AM_LOG(6, "OstAddrMgmt::set_ip_addr", "peer %s assigned vip %s, previous vip %s",
         hub_text.c_str(), address_text(address, mask).c_str(),
         address_text(current_address_, mask).c_str());
  // The domain list is compared as it is stored: white space alone is none,
  // so a hub that keeps sending spaces does not make every renewal a change.
  const String domains = normalized_domain_list(domain_list);
  bool changed = false;
  if (current_address_.addr() != 0) {
    changed = !(address == current_address_) || !(mask == current_mask_) ||
              !(name_servers == name_servers_) || !(domains == domain_list_);
  }
  if (renew) {
    lease_secs_ = lease_secs > static_cast<uint32_t>(kMaxLeaseSecs)
                      ? kMaxLeaseSecs
                      : static_cast<int32_t>(lease_secs);
    assigned_time_.assign_now();
    StringBuilder when;
    when.append_timestamp(assigned_time_);
    AM_LOG(6, "OstAddrMgmt::set_ip_addr", "leasetime:%d updated assigned:%s", lease_secs_,
           when.c_str());
  }
  name_servers_ = own_copy(name_servers);
  domain_list_ = domains;
  if (!(address == current_address_) || !(mask == current_mask_)) {
    AM_LOG(6, "OstAddrMgmt::set_ip_addr",
           "VIP changed from %s (%s) to %s (%s). VIP received from hub: %s",
           current_address_.to_string().c_str(), current_mask_.to_string().c_str(),
           address.to_string().c_str(), mask.to_string().c_str(), hub_text.c_str());
    current_address_ = address;
    leasing_hub_ = hub;
    current_mask_ = mask;
    notify_ip_addr_change(address);
  }
  if (renew) {
    last_used_.ip_addr = current_address_;
    last_used_.ip_mask = current_mask_;
    last_used_.assigned_peer = leasing_hub_;
    last_used_.lease_time_secs = lease_secs_;
    last_used_.assigned_time = assigned_time_;
    last_used_.name_servers = own_copy(name_servers_);
    last_used_.domain_list = own_copy(domain_list_);
  }
  if (!changed) return;
  AM_LOG(6, "OstAddrMgmt::set_ip_addr",
         "IP address/mask, DNS info has changed. Notify to refresh.");
  const uint32_t error = signalNetworkDisconnect();
  if (error != 0) {
    AM_LOG(3, "OstAddrMgmt::set_ip_addr", "Failed to signal network disconnect event, error:%d",
           static_cast<int>(error));
  }
}

void OstAddrMgmt::notify_ip_addr_change(IPAddress address) {
  const String text = address.to_string();
  AM_LOG(6, "OstAddrMgmt::notify_ip_addr_change", "OstAddrMgmt: notify addr change to %s",
         text.c_str());
  if (address.addr() == 0) return;
  if (snat_mapper_ != nullptr) {
    AM_LOG(6, "OstAddrMgmt::notify_ip_addr_change", "OstAddrMgmt: Add NAPT for %s", text.c_str());
    snat_mapper_->add_napt_pattern(address);
    AM_LOG(6, "OstAddrMgmt::notify_ip_addr_change",
           "OstAddrMgmt: Clear NAT Tables as primary changed.");
    snat_mapper_->clear_snat_flows();
  }
  if (proto_demux_ != nullptr) proto_demux_->set_virtual_address(address);
  OstrelOverlay* ov = registered_overlay();
  if (ov != nullptr) ov->trigger_route_update_to_all_peers();
}

void OstAddrMgmt::check_and_initiate_ip_refresh(IPAddress hub) {
  OstrelOverlay* ov = registered_overlay();
  if (ov != nullptr) {
    const OstrelOverlayJson& json = ov->peer_config().overlay_json;
    if (json.dynamic_addressing && json.group_count > 0) {
      const OnePeerGroup& first = json.groups[0];
      int members = first.peer_count;
      if (members > kOverlayMaxPeersPerGroup) members = kOverlayMaxPeersPerGroup;
      for (int m = 0; m < members; ++m) {
        if (first.peers[m].overlay_ip == hub) {
          initiate_ip_refresh(hub);
          return;
        }
      }
    }
  }
  AM_LOG(6, "OstAddrMgmt::check_and_initiate_ip_refresh",
         "Dynamic Addressing not enabled for %s, triggering route update", hub.to_string().c_str());
  trigger_route_update(hub);
}

void OstAddrMgmt::initiate_ip_refresh(IPAddress hub) {
  OstrelOverlay* ov = registered_overlay();
  if (ov == nullptr) {
    AM_LOG(6, "OstAddrMgmt::initiate_ip_refresh", "OstAddrMgmt: Not Initiating IP refresh");
    return;
  }
  const String text = hub.to_string();
  AM_LOG(6, "OstAddrMgmt::initiate_ip_refresh", "OstAddrMgmt: Initiate IP refresh to %s",
         text.c_str());
  std::lock_guard<std::recursive_mutex> hold(ov->overlay_lock());
  OverlayPeerDescriptor* opd = ov->get_opd(hub);
  if (opd == nullptr) return;
  AM_LOG(6, "OstAddrMgmt::initiate_ip_refresh", "Initiate ip refresh from %s", text.c_str());
  if (opd->addr_mgmt_handler != nullptr) opd->addr_mgmt_handler->new_msg_trigger(kTriggerIpRefresh);
}

void OstAddrMgmt::trigger_route_update(IPAddress hub) {
  OstrelOverlay* ov = registered_overlay();
  if (ov == nullptr) return;
  const String text = hub.to_string();
  AM_LOG(6, "OstAddrMgmt::trigger_route_update", "OstAddrMgmt: trigger route update to %s",
         text.c_str());
  std::lock_guard<std::recursive_mutex> hold(ov->overlay_lock());
  OverlayPeerDescriptor* opd = ov->get_opd(hub);
  if (opd == nullptr) return;
  AM_LOG(6, "OstAddrMgmt::trigger_route_update", "Trigger route update to %s", text.c_str());
  if (opd->route_handler != nullptr) opd->route_handler->new_msg_trigger(kTriggerRouteUpdate);
}

void OstAddrMgmt::clear_lease() {
  auto hold = hold_overlay();
  lease_secs_ = 0;
  last_used_.clear();
}

void OstAddrMgmt::reset_address_state() { clear_lease(); }

bool OstAddrMgmt::check_address_state_to_refresh(IPAddress hub, int* type, bool* expired) {
  *type = get_peer_address_msg_type(hub, expired);
  if (!*expired && *type != kAddrMsgRenew && *type != kAddrMsgRebind) return false;
  AM_LOG(6, "OstAddrMgmt::check_address_state_to_refresh", "Check IP State: expired %d msg type %d",
         *expired ? 1 : 0, *type);
  return true;
}

IPAddress OstAddrMgmt::get_current_vip() {
  OstrelOverlay* ov = registered_overlay();
  if (ov != nullptr && ov->peer_config().overlay_json.overlay_vip.addr() != 0) {
    return ov->peer_config().overlay_json.overlay_vip;
  }
  return current_address();
}

IPAddress OstAddrMgmt::current_address() {
  auto hold = hold_overlay();
  return current_address_;
}

IPAddress OstAddrMgmt::leasing_hub() {
  auto hold = hold_overlay();
  return leasing_hub_;
}

OstAddrMgmtLease OstAddrMgmt::lease() {
  auto hold = hold_overlay();
  OstAddrMgmtLease l;
  l.address = current_address_;
  l.mask = current_mask_;
  l.leasing_hub = leasing_hub_;
  l.lease_secs = lease_secs_;
  l.assigned_time = assigned_time_;
  l.name_servers = own_copy(name_servers_);
  l.domain_list = own_copy(domain_list_);
  return l;
}

LastUsedIpDetails OstAddrMgmt::last_used() {
  auto hold = hold_overlay();
  LastUsedIpDetails d = last_used_;
  d.name_servers = own_copy(last_used_.name_servers);
  d.domain_list = own_copy(last_used_.domain_list);
  return d;
}
