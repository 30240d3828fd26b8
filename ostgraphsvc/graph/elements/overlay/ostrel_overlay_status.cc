// Status of the overlay element: its read handlers, the path listing that
// is also the path-statistics page, and the fail-close verdict every
// listing gives.
//
// Locking: the listing holds the overlay lock while it walks the peer and
// path tables; its establishment checks answer from the transport's
// leaf-locked key copy, so no transport table mutex is taken under it. The
// page refresh takes the overlay lock before its own page lock, because
// path removal refreshes with the overlay lock already held.
#include <cmath>
#include <cstring>
#include <mutex>

#include "graph/json.h"
#include "graph/router.h"
#include "graph/router_log.h"
#include "graph/string_builder.h"
#include "ostgraphsvc/failclose/fail_close_mgr.h"
#include "ostgraphsvc/graph/elements/hfsc/hfsc_sched.h"
#include "ostgraphsvc/graph/elements/overlay/ost_addr_mgmt.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_transport.h"
#include "ostgraphsvc/ostssl/ostssl.h"
#include "platform/error/win_error.h"
#include "platform/shared_page/shared_page.h"

#define OVL_LOG(level, tag, ...) log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

namespace {

constexpr char kPathStatsPage[] = "Global\\shmgraphpathstats";

std::atomic<OstrelOverlay*> remembered_overlay{nullptr};

// Dotted quad of an address kept in network order, without a String.
void append_ip(StringBuilder& sb, IPAddress address) {
  const uint32_t a = address.addr();
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&a);
  for (int i = 0; i < 4; ++i) {
    if (i > 0) sb << '.';
    sb << static_cast<unsigned>(b[i]);
  }
}

// Members after the first of an object: a comma, then the key.
void key(StringBuilder& sb, const char* name) { sb << ",\"" << name << "\":"; }

void str_member(StringBuilder& sb, const char* name, IPAddress address) {
  key(sb, name);
  sb << '"';
  append_ip(sb, address);
  sb << '"';
}

// Texts that came from a peer are escaped; they never break the document.
void str_member(StringBuilder& sb, const char* name, const String& text) {
  key(sb, name);
  sb << '"' << text.encode_json() << '"';
}

void uint_member(StringBuilder& sb, const char* name, uint64_t value) {
  key(sb, name);
  sb << value;
}

void int_member(StringBuilder& sb, const char* name, int64_t value) {
  key(sb, name);
  sb << value;
}

void bool_member(StringBuilder& sb, const char* name, bool value) {
  key(sb, name);
  sb << (value ? "true" : "false");
}

// Whole percent, halves away from zero, never below 0.
int64_t loss_percent(double loss) {
  if (!(loss > 0)) return 0;
  return static_cast<int64_t>(std::round(loss));
}

void append_roles(StringBuilder& sb, uint16_t roles) {
  if (roles & OSTREL_SPOKE) sb << "SPOKE|";
  if (roles & OSTREL_DC) sb << "DC|";
  if (roles & OSTREL_WAYPOINT) sb << "WAYPOINT|";
  if (roles & OSTREL_DIM_REFLECTOR) sb << "DIM_REFLECTOR|";
  if (roles & OSTREL_CONTROLLER) sb << "CONTROLLER";
}

char hub_role_letter(const String& role) {
  if (role == String("Independent")) return 'i';
  if (role == String("Primary")) return 'p';
  if (role == String("Secondary")) return 's';
  return '?';
}

void counters_object(StringBuilder& sb, const char* name, uint64_t packets, uint64_t bytes,
                     const uint64_t class_bytes[3], uint64_t control) {
  key(sb, name);
  sb << "{\"packets\":" << packets;
  uint_member(sb, "bytes", bytes);
  uint_member(sb, "bytes_low", class_bytes[2]);
  uint_member(sb, "bytes_normal", class_bytes[1]);
  uint_member(sb, "bytes_high", class_bytes[0]);
  uint_member(sb, "bytes_ctrl", control);
  sb << '}';
}

String read_overlays(Element* e, void*) { return static_cast<OstrelOverlay*>(e)->list_overlays(); }
String read_qoe(Element* e, void*) { return static_cast<OstrelOverlay*>(e)->show_qoe(); }
String read_nht(Element* e, void*) { return static_cast<OstrelOverlay*>(e)->show_nht(); }
String read_nht_json(Element* e, void*) { return static_cast<OstrelOverlay*>(e)->show_nht_json(); }
String read_dibs(Element* e, void*) { return static_cast<OstrelOverlay*>(e)->show_dibs(); }
String read_dibs_json(Element* e, void*) {
  return static_cast<OstrelOverlay*>(e)->show_dibs_json();
}
String read_path_stats(Element* e, void*) {
  return static_cast<OstrelOverlay*>(e)->show_path_stats();
}
String read_schedq_stats(Element* e, void*) {
  return static_cast<OstrelOverlay*>(e)->show_schedq_stats();
}
String read_state_sync(Element* e, void*) {
  return static_cast<OstrelOverlay*>(e)->show_overlay_state_sync();
}

constexpr const char* kPriorityNames[] = {"auto", "high", "medium", "low", "drop", "invalid"};
constexpr const char* kSubclassNames[] = {"auto",          "voice", "video",
                                          "transactional", "bulk",  "invalid"};

}  // namespace

void OstrelOverlay::add_handlers() {
  constexpr int kFlags = 4096;
  Router::add_read_handler(this, "show_overlays", read_overlays, nullptr, kFlags);
  Router::add_read_handler(this, "show_qoe", read_qoe, nullptr, kFlags);
  Router::add_read_handler(this, "show_qoe_cfg", read_qoe, nullptr, kFlags);
  Router::add_read_handler(this, "show_nht", read_nht, nullptr, kFlags);
  Router::add_read_handler(this, "show_nht_json", read_nht_json, nullptr, kFlags);
  Router::add_read_handler(this, "show_dibs", read_dibs, nullptr, kFlags);
  Router::add_read_handler(this, "show_dibs_json", read_dibs_json, nullptr, kFlags);
  Router::add_read_handler(this, "show_path_stats", read_path_stats, nullptr, kFlags);
  Router::add_read_handler(this, "show_schedq_stats", read_schedq_stats, nullptr, kFlags);
  Router::add_read_handler(this, "show_overlay_state_sync", read_state_sync, nullptr, kFlags);
}

bool OstrelOverlay::uses_dynamic_addressing() const {
  const OstrelOverlayJson& json = config_.overlay_json;
  return json.group_count > 0 && json.dynamic_addressing;
}

String OstrelOverlay::list_overlays() {
  StringBuilder sb;
  StringBuilder hubs;
  int listed = 0;
  bool vip_hub_connected = false;
  OverlayTransport& transport = overlay_transport();
  OstAddrMgmt* am = registered_addr_mgmt();
  // The summary line's texts are built only when it is written.
  const bool summary = cxLogEnabled && router_log_service_level(6) <= cxLogThreshold;
  {
    std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
    const OstAddrMgmtLease lease = am != nullptr ? am->lease() : OstAddrMgmtLease();
    const IPAddress current_vip = get_current_vip();
    sb << '[';
    for (auto it = address_table_.begin(); it.live(); ++it) {
      OverlayPeerDescriptor* opd = opd_by_handle(it->value);
      if (opd == nullptr) continue;
      OstrelDIB* dib = nullptr;
      bool dib_looked_up = false;
      for (const std::shared_ptr<OverlayDescriptor>& od : opd->paths) {
        if (!transport.is_tunnel_established(od->remote_wan.addr(), od->local_wan.addr())) {
          continue;
        }
        if (!dib_looked_up) {
          dib = dib_.find(opd->overlay_address);
          dib_looked_up = true;
        }
        if (listed > 0) sb << ',';
        sb << "{\"dsps_overlay_ip\":\"";
        append_ip(sb, opd->overlay_address);
        sb << '"';
        uint_member(sb, "dsps_lpathid", od->local_path_id);
        uint_member(sb, "dsps_rpathid", od->remote_path_id);
        bool_member(sb, "dsps_local_up", od->local_up);
        bool_member(sb, "dsps_remote_up", od->remote_up.load(std::memory_order_relaxed));
        str_member(sb, "dsps_local_ip", od->local_wan);
        str_member(sb, "dsps_remote_ip", od->remote_wan);
        str_member(sb, "dsps_public_ip", od->public_address);
        uint_member(sb, "dsps_latency", od->latency);
        int_member(sb, "dsps_rxloss", loss_percent(od->delayed_rx_loss));
        int_member(sb, "dsps_txloss", loss_percent(od->delayed_tx_loss));
        uint_member(sb, "dsps_jitter", od->jitter);
        uint_member(sb, "dsps_txpkts", od->tx_packets);
        uint_member(sb, "dsps_txbytes", od->tx_bytes);
        uint_member(sb, "dsps_rxpkts", od->rx_packets);
        uint_member(sb, "dsps_rxbytes", od->rx_bytes);
        // The peer's MTU is 0 until its endpoint message came; the path's
        // own MTU stands until then.
        const uint32_t mtu = od->peer_mtu != 0 && od->peer_mtu < od->mtu ? od->peer_mtu : od->mtu;
        uint_member(sb, "dsps_mtu", mtu);
        uint_member(sb, "dsps_peermtu", opd->mtu);
        int_member(sb, "dsps_userauthstate", opd->user_auth_state);
        key(sb, "dsps_tunnel_type");
        sb << (od->protocol == 1 ? "\"dtls\"" : "\"tls\"");
        const bool vip_hub = am != nullptr && lease.leasing_hub == opd->overlay_address;
        if (opd->client_vip.addr() != 0 && vip_hub) {
          if (lease.lease_secs != 0) {
            int_member(sb, "dsps_userip_lease_secs", lease.lease_secs);
            int_member(sb, "dsps_userip_assign_time",
                       lease.assigned_time.nsec() / Timestamp::kNsecPerSec);
            str_member(sb, "dsps_uservip_mask", lease.mask);
          }
          str_member(sb, "dsps_uservip", current_vip);
          str_member(sb, "dsps_userip_ns", lease.name_servers);
          str_member(sb, "dsps_userip_dl", lease.domain_list);
        }
        bool_member(sb, "dsps_proxy", (ike_proxy_ || mgw_proxy_) && dib != nullptr);
        if (dib != nullptr) {
          key(sb, "dsps_role");
          sb << '"';
          append_roles(sb, dib->roles);
          sb << '"';
          uint_member(sb, "dsps_role_encoded", dib->roles);
        }
        sb << '}';
        ++listed;

        if (vip_hub) vip_hub_connected = true;
        if (!summary) continue;
        hubs << ':';
        append_ip(hubs, od->remote_wan);
        hubs << '(' << (od->protocol == 1 ? "dtls" : "tls") << ',' << hub_role_letter(od->hub_role)
             << (vip_hub ? ",v)" : ")");
      }
    }
    sb << ']';

    IPAddress vip;
    const char* mark = "s";
    if (uses_dynamic_addressing()) {
      vip = current_vip;
      mark = "d";
      if (!vip_hub_connected && vip.addr() != 0 && listed > 0) {
        OVL_LOG(2, "OstrelOverlay::list_overlays",
                "client is using an ip %s assigned by a non connected Hub (%s)",
                vip.to_string().c_str(), lease.leasing_hub.to_string().c_str());
      }
    } else {
      vip = config_.overlay_json.overlay_vip;
    }
    if (summary) {
      const String vip_text = vip.addr() == 0 ? String("Not Configured") : vip.to_string();
      OVL_LOG(6, "OstrelOverlay::list_overlays",
              "PATH_COUNT: %d. Connected Hubs(i:%d) :%s. vip(%s): %s", listed,
              active_interface_count(), hubs.c_str(), mark, vip_text.c_str());
    }
  }
  FailCloseMgr::GetInstance().UpdateFailCloseEnabledStatus(listed == 0);
  return sb.take_string();
}

void OstrelOverlay::update_shm_path_stats() {
  std::lock_guard<std::recursive_mutex> overlay(overlay_lock_);
  std::lock_guard<std::mutex> hold(page_mutex_);
  bool made = false;
  if (path_stats_page_ == nullptr) {
    auto page = std::make_unique<platform::SharedPage>();
    const uint32_t rc = page->open(kPathStatsPage);
    if (rc != platform::kErrorSuccess) {
      OVL_LOG(3, "GRAPH_LOG_LERR", "%s failed, error:%s(%d)\n",
              "OstOverlay: unable to create pathstats Shm", platform::win_error_text(rc),
              static_cast<int>(rc));
      return;  // no record: the next refresh tries again
    }
    made = page->created();
    path_stats_page_ = std::move(page);
  }
  unsigned char* page = path_stats_page_->data();
  if (page == nullptr) return;
  if (made) std::memset(page, 0, platform::SharedPage::kPageSize);

  const String text = list_overlays();
  const uint32_t length = static_cast<uint32_t>(text.length());
  const unsigned char le[4] = {
      static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
      static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24)};
  std::memcpy(page, le, sizeof(le));
  const size_t n = length < kPathStatsTextLimit ? length : kPathStatsTextLimit;
  std::memcpy(page + 4, text.data(), n);
  page[4 + n] = 0;
}

String OstrelOverlay::show_path_stats() {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  StringBuilder sb;
  sb << '[';
  bool first = true;
  for (auto it = address_table_.begin(); it.live(); ++it) {
    OverlayPeerDescriptor* opd = opd_by_handle(it->value);
    if (opd == nullptr) continue;
    for (const std::shared_ptr<OverlayDescriptor>& od : opd->paths) {
      if (!first) sb << ',';
      first = false;
      sb << "{\"overlay_ip\":\"";
      append_ip(sb, opd->overlay_address);
      sb << '"';
      uint_member(sb, "lpathid", od->local_path_id);
      uint_member(sb, "rpathid", od->remote_path_id);
      counters_object(sb, "tx_stats", od->tx_packets, od->tx_bytes, od->tx_class_bytes,
                      od->tx_control_bytes);
      counters_object(sb, "rx_stats", od->rx_packets, od->rx_bytes, od->rx_class_bytes,
                      od->rx_control_bytes);
      sb << '}';
    }
  }
  sb << ']';
  return sb.take_string();
}

String OstrelOverlay::show_schedq_stats() {
  Json list;
  list.make_unshared(Json::kArray);
  for (HFSCSched* sched : get_hfsc_obj_list(this)) {
    if (sched == nullptr || sched->scheduler() == nullptr) continue;
    Json queues;
    queues.make_unshared(Json::kArray);
    for (int priority = 1; priority <= 3; ++priority) {
      for (int subclass = 1; subclass <= 4; ++subclass) {
        const uint32_t qid = sched->slot(HFSCSched::kFirstSlot * priority + subclass);
        if (qid == 0) continue;
        const HfscClass* cl = sched->scheduler()->find_class(qid);
        if (cl == nullptr) continue;
        char name[64];
        std::snprintf(name, sizeof name, "%s-%s", kSubclassNames[subclass],
                      kPriorityNames[priority]);
        const HfscClassCounters& c = cl->counters;
        Json q;
        q.get_insert("qid") = Json(static_cast<long long>(qid));
        q.get_insert("qname") = Json(name);
        q.get_insert("pkt_cnt_enqueue") = Json(static_cast<long long>(c.enqueued_packets));
        q.get_insert("pkt_cnt_dequeue") = Json(static_cast<long long>(c.dequeued_packets));
        q.get_insert("pkt_cnt_drops") = Json(static_cast<long long>(c.dropped_packets));
        q.get_insert("bytes_enqueue") = Json(static_cast<long long>(c.enqueued_bytes));
        q.get_insert("bytes_dequeue") = Json(static_cast<long long>(c.dequeued_bytes));
        q.get_insert("bytes_drops") = Json(static_cast<long long>(c.dropped_bytes));
        queues.append(q);
      }
    }
    Json entry;
    entry.get_insert("interface") = Json(sched->interface_name());
    entry.get_insert("schedq_list") = queues;
    list.append(entry);
  }
  return list.to_text();
}

String OstrelOverlay::show_qoe() {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  static const std::string kRule(74, '=');
  StringBuilder sb;
  for (auto it = address_table_.begin(); it.live(); ++it) {
    OverlayPeerDescriptor* opd = opd_by_handle(it->value);
    if (opd == nullptr) continue;
    sb << kRule.c_str() << "\r\n";
    sb << "Overlay IP: ";
    append_ip(sb, opd->overlay_address);
    sb << "\r\n";
    for (int i = 0; i < opd->paths.size(); ++i) sb << "OVERLAY DETAILS - TEMP EMPTY";
    sb << kRule.c_str() << "\r\n\r\n";
  }
  return sb.take_string();
}

String OstrelOverlay::show_nht() {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  StringBuilder sb;
  nht_.format_nht(sb);
  return sb.take_string();
}

String OstrelOverlay::show_nht_json() {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  Json out;
  out.make_unshared(Json::kArray);
  nht_.print_nht_json(out);
  return out.to_text();
}

String OstrelOverlay::show_dibs() {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  StringBuilder sb;
  dib_.print_dibs(sb);
  return sb.take_string();
}

String OstrelOverlay::show_dibs_json() {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  Json out;
  out.make_unshared(Json::kArray);
  dib_.print_dibs_json(out);
  return out.to_text();
}

IPAddress OstrelOverlay::get_current_vip() const {
  if (config_.overlay_json.overlay_vip.addr() != 0) return config_.overlay_json.overlay_vip;
  OstAddrMgmt* am = registered_addr_mgmt();
  return am != nullptr ? am->current_address() : IPAddress();
}

int active_interface_count() { return static_cast<int>(ostssl::active_interfaces().size()); }

OstrelOverlay* get_overlay_element(Element* asking) {
  OstrelOverlay* known = remembered_overlay.load(std::memory_order_acquire);
  if (known != nullptr) return known;
  if (asking == nullptr || asking->router() == nullptr) return nullptr;
  Router* router = asking->router();
  for (int i = 0; i < router->nelements(); ++i) {
    Element* e = router->element(i);
    if (e == nullptr) continue;
    auto* ov = static_cast<OstrelOverlay*>(e->cast("OstrelOverlay"));
    if (ov == nullptr) continue;
    remembered_overlay.store(ov, std::memory_order_release);
    return ov;
  }
  return nullptr;
}

void forget_overlay_element(const OstrelOverlay* overlay) {
  OstrelOverlay* expected = const_cast<OstrelOverlay*>(overlay);
  remembered_overlay.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
}
