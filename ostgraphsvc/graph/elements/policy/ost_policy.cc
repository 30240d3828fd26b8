#include "ostgraphsvc/graph/elements/policy/ost_policy.h"

#include <arpa/inet.h>

#include <cstring>
#include <string_view>
#include <utility>

#include "client/lib/cxcom2/CXCom2.h"
#include "graph/args.h"
#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/handler.h"
#include "graph/ipaddress.h"
#include "graph/parse_context.h"
#include "graph/router.h"
#include "graph/router_log.h"
#include "graph/string_builder.h"
#include "lib/tarnutils/tarnutils.h"
#include "ostgraphsvc/captiveportal/captive_portal.h"
#include "ostgraphsvc/failclose/fail_close_mgr.h"
#include "ostgraphsvc/graph/elements/local/fromdevice.h"
#include "ostgraphsvc/graph/elements/policy/policy_vocabulary.h"
#include "ostgraphsvc/overlay_view/overlay_view.h"
#include "ostgraphsvc/policy_slot/qoe_thresholds.h"

namespace {

#define POLICY_LOG(tag, ...) log_syslog_level(6, (tag), __FILE__, __LINE__, __VA_ARGS__)

constexpr char kConfigureTag[] = "OstPolicy::configure";
constexpr char kReconfigureTag[] = "OstPolicy::reconfigure";
constexpr char kCheckTag[] = "OstPolicy::check_policy_change";
constexpr char kInitTag[] = "OstPolicy::initialize_policy_config";
constexpr char kBuildTag[] = "OstPolicy::build_policy_table";
constexpr char kMatchTag[] = "OstPolicy::find_matching_policy";

constexpr int kPriorityMedium = 2;
constexpr int kPriorityHigh = 1;
constexpr int kPriorityDrop = 4;
constexpr int kSiteAuto = 0;
constexpr int kSiteDirect = 1;
constexpr int kSiteHubs = 2;

constexpr const char* kOwnProcesses[] = {"PellarSvc.exe",  "PellarUI.exe", "zevudi.exe",
                                         "vedororore.exe", "dovadod.exe",  "Zentrik.exe"};

constexpr uint32_t dotted(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return (a << 24) | (b << 16) | (c << 8) | d;
}

// Link-local, private and loopback destinations, host order.
struct SpecialRange {
  uint32_t network;
  uint32_t mask;
};
constexpr SpecialRange kSpecialRanges[] = {
    {dotted(169, 254, 0, 0), dotted(255, 255, 0, 0)},
    {dotted(10, 0, 0, 0), dotted(255, 0, 0, 0)},
    {dotted(172, 16, 0, 0), dotted(255, 240, 0, 0)},
    {dotted(192, 168, 0, 0), dotted(255, 255, 0, 0)},
    {dotted(127, 0, 0, 0), dotted(255, 0, 0, 0)},
};

bool is_special_destination(uint32_t network_order) {
  const uint32_t host = ntohl(network_order);
  for (const SpecialRange& r : kSpecialRanges) {
    if ((host & r.mask) == r.network) return true;
  }
  return false;
}

bool port_matches(const Vector<int32_t>& lows, const Vector<int32_t>& highs, uint16_t port) {
  if (lows.empty()) return false;
  if (lows[0] == -1) return true;
  const int n = lows.size() < highs.size() ? lows.size() : highs.size();
  for (int i = 0; i < n; ++i) {
    if (static_cast<uint32_t>(lows[i]) <= port && port <= static_cast<uint32_t>(highs[i]))
      return true;
  }
  return false;
}

std::string_view bounded_name(const char* name) {
  if (name == nullptr) return {};
  return std::string_view(name, ::strnlen(name, OstPolicy::kMaxProcessName));
}

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

uint32_t address_of(const char* text) {
  IPAddress a;
  cp_parse_ip_address(String(text), &a);
  return a.addr();
}

// A built-in row: the defaults of a new row, then what the table names.
policy builtin_row(const char* suffix, int priority) {
  policy row;
  row.name = String("ost-control-") + suffix;
  row.action.priority = priority;
  return row;
}

void set_ports(Vector<int32_t>* lows, Vector<int32_t>* highs,
               std::initializer_list<std::pair<int, int>> ranges) {
  lows->clear();
  highs->clear();
  for (const auto& [low, high] : ranges) {
    lows->push_back(low);
    highs->push_back(high);
  }
}

const Json& first_activated(const Json& doc) { return doc.get("activated_policies").get("0"); }

const Json& qos_policy_list(const Json& doc) {
  return first_activated(doc).get("policy_config").get("pcfg_qos_policies");
}

int list_length(const Json& list) { return list.type() == Json::kArray ? list.size() : 0; }

}  // namespace

bool is_own_process(const char* name) {
  const std::string_view text = bounded_name(name);
  if (text.empty()) return false;
  for (const char* own : kOwnProcesses) {
    if (cxComExeNamesEqual(text, own)) return true;
  }
  return false;
}

bool match_flow_tuple(const policy_match& m, uint32_t src, uint32_t dst, uint16_t sport,
                      uint16_t dport, uint16_t protocol) {
  if (m.src_addr != 0xFFFFFFFF && (src & m.src_mask) != (m.src_addr & m.src_mask)) return false;
  if (m.dst_addr != 0xFFFFFFFF && (dst & m.dst_mask) != (m.dst_addr & m.dst_mask)) return false;
  if (!port_matches(m.src_port_low, m.src_port_high, sport)) return false;
  if (!port_matches(m.dst_port_low, m.dst_port_high, dport)) return false;
  return m.protocol == -1 || m.protocol == static_cast<int>(protocol);
}

PolicyQuickMatch make_quick_match(const policy_match& m) {
  PolicyQuickMatch q;
  q.dscp = m.dscp;
  q.category = m.category;
  q.protocol = m.protocol;
  q.internet = m.internet;
  if (m.src_addr != 0xFFFFFFFF) {
    q.src_mask = m.src_mask;
    q.src_net = m.src_addr & m.src_mask;
  }
  if (m.dst_addr != 0xFFFFFFFF) {
    q.dst_mask = m.dst_mask;
    q.dst_net = m.dst_addr & m.dst_mask;
  }
  // One plain range a side is checked here; anything else by the row.
  auto ports = [&q](const Vector<int32_t>& lows, const Vector<int32_t>& highs, uint16_t* low,
                    uint16_t* span) {
    if (!lows.empty() && lows[0] == -1) return;
    if (lows.size() != 1 || highs.size() != 1 || lows[0] < 0 || highs[0] > 0xFFFF ||
        lows[0] > highs[0]) {
      q.full = 1;
      return;
    }
    *low = static_cast<uint16_t>(lows[0]);
    *span = static_cast<uint16_t>(highs[0] - lows[0]);
  };
  ports(m.src_port_low, m.src_port_high, &q.sport_low, &q.sport_span);
  ports(m.dst_port_low, m.dst_port_high, &q.dport_low, &q.dport_span);
  if (!m.app_ids.empty() || !m.process_list.empty()) q.full = 1;
  return q;
}

bool match_process_list(const policy_match& m, const char* process_name) {
  if (m.process_list.empty()) return true;
  const std::string_view name = bounded_name(process_name);
  for (const String& entry : m.process_list) {
    const size_t n = static_cast<size_t>(entry.length());
    if (name.size() < n) continue;
    size_t i = 0;
    while (i < n && lower_ascii(name[i]) == lower_ascii(entry[static_cast<int>(i)])) ++i;
    if (i == n) return true;
  }
  return false;
}

OstPolicy::OstPolicy()
    : empty_allow_all_(builtin_row("allow-all", kPriorityMedium)),
      empty_block_all_(builtin_row("block-all", kPriorityDrop)) {}

OstPolicy::~OstPolicy() { unregister_policy_element(this); }

void* OstPolicy::cast(const char* name) {
  if (std::strcmp(name, "OstPolicy") == 0) return this;
  return Element::cast(name);
}

int OstPolicy::attach_rt() {
  Element* rt = router() != nullptr ? router()->find_element("rt", this) : nullptr;
  if (rt == nullptr) {
    POLICY_LOG("OstPolicy::attach_rt", "RouteTable0 element not found-1");
    return -1;
  }
  route_table_ = static_cast<OstrelRouteTable*>(rt->cast("OstrelRouteTable"));
  return 0;
}

int OstPolicy::configure(Vector<String>& conf, ErrorHandler* errh) {
  Args args(this, errh);
  if (args.bind(conf).read_filename("CONF", 0, conf_path_).remove_consumed().commit() < 0)
    return -1;
  if (attach_rt() < 0) {
    POLICY_LOG(kConfigureTag, "Unable to find the routing table element");
    errh->error("Unable to find the routing table element");
    return -1;
  }
  // Later configures (live reconfiguration) reload the first-packet tables
  // instead of adding every entry again.
  const bool tables_existed = app_tables_.tables_exist();
  if (!tables_existed) {
    if (app_tables_.create_tables() < 0) return -1;
    String category;
    cp_parse_filename(String("category_id.json"), &category);
    app_tables_.set_category_file(category);
    app_tables_.create_category_id_mapping();
  }
  String fapps, hostapps, fpdapps, fpddb;
  cp_parse_filename(String("fapps.json"), &fapps);
  cp_parse_filename(String("hostapps.json"), &hostapps);
  cp_parse_filename(String("fpdapps.json"), &fpdapps);
  cp_parse_filename(String("fpddb.json"), &fpddb);
  app_tables_.set_app_files(fapps, fpdapps, fpddb, hostapps);

  POLICY_LOG(kConfigureTag, "OstPolicy: config file path %s", conf_path_.printable().c_str());
  const int r1 = initialize_policy_config();
  POLICY_LOG(kConfigureTag, "OstPolicy: Custom app file path %s", fapps.printable().c_str());
  POLICY_LOG(kConfigureTag, "OstPolicy: FPD app file path %s", fpdapps.printable().c_str());
  POLICY_LOG(kConfigureTag, "OstPolicy: FPD DB file path %s", fpddb.printable().c_str());
  const int r2 = app_tables_.initialize_fcapp_config(tables_existed);
  POLICY_LOG(kConfigureTag, "OstPolicy: Host app file path %s", hostapps.printable().c_str());
  app_tables_.initialize_hostapp_config();
  if (tarnutil::isBlockUnmanagedDevice()) setDeviceClassificationUnmanaged();
  return r1 != 0 ? r1 : r2;
}

int OstPolicy::initialize(ErrorHandler*) {
  register_policy_element(this);
  return 0;
}

int OstPolicy::reconfigure() {
  POLICY_LOG(kReconfigureTag, "OstPolicy: config file path %s", conf_path_.printable().c_str());
  const int r1 = initialize_policy_config();
  POLICY_LOG(kReconfigureTag, "OstPolicy: custom app file path %s",
             app_tables_.fapps_path().printable().c_str());
  POLICY_LOG(kReconfigureTag, "OstPolicy: FPD app file path %s",
             app_tables_.fpdapps_path().printable().c_str());
  const int r2 = app_tables_.initialize_fcapp_config(true);
  const int r3 = app_tables_.initialize_hostapp_config();
  if (r1 != 0) return r1;
  return r2 != 0 ? r2 : r3;
}

int OstPolicy::check_policy_change(String* text) {
  if (policy_read_work_file(conf_path_, text) != 0) {
    POLICY_LOG(kCheckTag, "Unable to open file %s", conf_path_.printable().c_str());
    return -1;
  }
  if (*text == policy_text_) {
    POLICY_LOG(kCheckTag, "No change in policy: %s", conf_path_.printable().c_str());
    return 0;
  }
  POLICY_LOG(kCheckTag, "Change in policy: %s - Build policy table",
             conf_path_.printable().c_str());
  return 1;
}

int OstPolicy::initialize_policy_config() {
  String text;
  if (check_policy_change(&text) < 1) {
    POLICY_LOG(kInitTag, "No change in policy config - skipping");
    return 0;
  }
  Json doc;
  if (!policy_parse_document(text, &doc)) {
    POLICY_LOG(kInitTag, "JSON config parse failed");
    return -1;
  }
  if (build_policy_table(doc) < 0) return -1;
  // Only a text that built a table counts as seen: the same bad file read
  // again is refused again.
  policy_text_ = text;
  return 0;
}

int OstPolicy::build_policy_table(const Json& doc) {
  const int rows = list_length(qos_policy_list(doc));
  if (rows > kMaxConfiguredRows) {
    POLICY_LOG(kBuildTag, "OstPolicy: %d policies, at most %d fit in the policy table - refused",
               rows, kMaxConfiguredRows);
    return -1;
  }
  parse_qos_policies(doc);
  if (parse_cos(doc, [](int code, const cos_class_thresholds& t) {
        if (code < 0 || code >= kQoeClassCount) return;
        qoe_class_thresholds[code] = {t.latency_caution, t.latency_unusable, t.jitter_caution,
                                      t.jitter_unusable, t.loss_caution,     t.loss_unusable};
      }) != 0) {
    load_qoe_thresholds();
  }
  active_ = std::move(building_);
  building_ = PolicyTable();
  update_policy_table_version();
  return 0;
}

void OstPolicy::parse_qos_policies(const Json& doc) {
  building_ = PolicyTable();
  const Json& list = qos_policy_list(doc);
  const int n = list_length(list);
  building_.rows.reserve(n + 8);
  for (int i = 0; i < n; ++i) {
    const Json& item = list.get(String(i));
    const Json& qos_match = item.get("qos_match");
    building_.rows.push_back(policy());
    policy& row = building_.rows.back();
    row.index = static_cast<uint32_t>(i);
    row.name = qos_match.get("cmap_name").text();
    parse_policy_match(qos_match.get("cmap_match_criteria"), row.name, &row.match);
    parse_policy_action(item, &row);
    building_.count = static_cast<uint16_t>(building_.rows.size());
  }
  add_builtin_policies();
}

void OstPolicy::parse_policy_match(const Json& criteria, const String& name, policy_match* match) {
  ::parse_policy_match(criteria, name, match, &dscp_match_present_);
}

void OstPolicy::add_builtin_policies() {
  PolicyTable& t = building_;
  t.first_builtin = t.count;
  const uint32_t link_local = address_of("169.254.0.0");
  const uint32_t link_local_mask = address_of("255.255.0.0");
  auto append = [&t](policy row) {
    row.index = t.count;
    t.rows.push_back(row);
    t.count = static_cast<uint16_t>(t.rows.size());
  };

  policy hub = builtin_row("block-hub-svcs", kPriorityDrop);
  hub.match.protocol = 6;
  hub.match.dst_addr = link_local;
  hub.match.dst_mask = link_local_mask;
  set_ports(&hub.match.dst_port_low, &hub.match.dst_port_high, {{22, 22}, {80, 80}, {443, 443}});
  append(hub);

  policy overlay = builtin_row("overlay-high-priority", kPriorityHigh);
  overlay.match.dst_addr = link_local;
  overlay.match.dst_mask = link_local_mask;
  append(overlay);

  policy dns = builtin_row("allow-dns-dhcp", kPriorityMedium);
  dns.match.protocol = 17;
  set_ports(&dns.match.dst_port_low, &dns.match.dst_port_high, {{53, 53}, {67, 68}});
  append(dns);

  policy web = builtin_row("allow-http-https", kPriorityMedium);
  web.match.protocol = 6;
  web.match.internet = 1;
  set_ports(&web.match.dst_port_low, &web.match.dst_port_high, {{80, 80}, {443, 443}});
  append(web);

  t.allow_all = t.count;
  append(builtin_row("allow-all", kPriorityMedium));
  t.block_all = t.count;
  append(builtin_row("block-all", kPriorityDrop));

  t.quick.reserve(t.count);
  for (const policy& row : t.rows) t.quick.push_back(make_quick_match(row.match));
}

void OstPolicy::set_tunnel_started(bool started) {
  tunnel_started_ = started ? 1 : 0;
  update_policy_table_version();
}

void OstPolicy::setDeviceClassificationManaged() {
  POLICY_LOG("OstPolicy::setDeviceClassificationManaged",
             "Device is managed, datapath will be allowed");
  device_classification_ = 2;
  update_policy_table_version();
}

void OstPolicy::setDeviceClassificationUnmanaged() {
  POLICY_LOG("OstPolicy::setDeviceClassificationUnmanaged",
             "Device is unmanaged, datapath will be blocked");
  device_classification_ = 1;
  update_policy_table_version();
}

String OstPolicy::policy_dump() const {
  Json array;
  array.make_unshared(Json::kArray);
  const uint32_t version = policy_table_version();
  for (int i = 0; i < active_.count; ++i) {
    const policy& row = active_.rows[i];
    const policy_match& m = row.match;
    Json o;
    o.make_unshared(Json::kObject);
    o.set("name", row.name);
    dump_policy_match(m, &o);
    o.get_insert("category") = Json(m.category);
    o.set("priority", String(vocabulary_name(policy_priority_names, row.action.priority)));
    o.set("traffic", String(vocabulary_name(traffic_class_names, row.action.traffic_class)));
    o.get_insert("rate_tx") = Json(row.action.tx_rate_kbps);
    o.get_insert("rate_rx") = Json(row.action.rx_rate_kbps);
    o.set("nh", String(vocabulary_name(nexthop_site_names, row.action.pbr.site)));
    if (!row.action.pbr_list.empty()) {
      StringBuilder sb;
      sb << '(' << row.action.pbr_list.size() << ") ";
      for (const route_action& ra : row.action.pbr_list) sb << ' ' << ra.next_hop;
      o.set("nhlist", sb.take_string());
    }
    o.get_insert("tblver") = Json(static_cast<long long>(version));
    array.append(o);
  }
  return array.to_text();
}

int OstPolicy::policy_dump_handler(int, String& value, Element* e, const Handler*,
                                   ErrorHandler* errh) {
  auto* element = static_cast<OstPolicy*>(e);
  const String parameter = cp_uncomment(value);
  if (parameter.length() > 0) {
    // A number is accepted and selects nothing.
    int status = 0;
    int32_t number = 0;
    ParseContext context(e, errh);
    if (!cp_parse_int32(&status, parameter, &number, context)) {
      if (errh == nullptr) return ErrorHandler::kErrorResult;
      return errh->error("argument should be a valud vnet");
    }
  }
  value = element->policy_dump();
  return 0;
}

void OstPolicy::add_handlers() {
  Router::set_handler(this, "policy_dump", Handler::kRead | Handler::kReadParam,
                      policy_dump_handler);
}

const policy* OstPolicy::policy_row(int32_t index) const {
  if (active_.count == 0) {
    if (index == 0) return &empty_allow_all_;
    if (index == 1) return &empty_block_all_;
    return nullptr;
  }
  if (index < 0 || index >= active_.count) return nullptr;
  return &active_.rows[index];
}

void OstPolicy::log_leak(uint32_t src, uint16_t sport, uint32_t dst, uint16_t dport) const {
  POLICY_LOG(kMatchTag,
             "Configured Bypass Internet Traffic but leaked traffic blocked %s:%d::%s:%d",
             IPAddress(src).to_string().c_str(), sport, IPAddress(dst).to_string().c_str(), dport);
}

int32_t OstPolicy::finish(int32_t i, bool fail_close, uint32_t dst, uint16_t dport,
                          uint16_t protocol, const char* process_name) const {
  if (!fail_close) return i;
  const int32_t allow = active_.count == 0 ? 0 : active_.allow_all;
  const int32_t block = active_.count == 0 ? 1 : active_.block_all;
  // A configured block stays a block under fail-close, whatever the
  // exceptions below would let through.
  if (i != allow && i != block && i >= 0 && i < active_.first_builtin &&
      active_.rows[i].action.priority == kPriorityDrop)
    return block;
  if (CaptivePortal::GetInstance().IsCaptivePortalActive()) return allow;
  if (dport == 53 || (protocol == 17 && dport == 67) || dport == 68 || is_own_process(process_name))
    return allow;
  if (i != allow && i != block && i >= 0 && i < active_.count) {
    const policy_action& a = active_.rows[i].action;
    if (a.pbr.site == kSiteAuto && a.priority != kPriorityDrop) return allow;
  }
  return is_special_destination(dst) ? block : allow;
}

namespace {

// A row's own criteria, in the order the walk tests them.
bool row_matches(const policy_match& m, uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport,
                 int32_t dscp, uint16_t protocol, int32_t app_id, int32_t category,
                 bool internet_ok, const char* process_name) {
  if (m.dscp != -1 && m.dscp != dscp) return false;
  if (!match_flow_tuple(m, src, dst, sport, dport, protocol)) return false;
  if (!m.app_ids.empty()) {
    bool found = false;
    for (int32_t id : m.app_ids) found = found || id == app_id;
    if (!found) return false;
  }
  if (m.category != -1 && m.category != category) return false;
  if (m.internet && !internet_ok) return false;
  return match_process_list(m, process_name);
}

}  // namespace

int32_t OstPolicy::find_matching_policy(uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport,
                                        int32_t dscp, uint16_t protocol, int32_t app_id,
                                        int32_t category, uint8_t internet,
                                        const char* process_name) const {
  const int32_t allow = active_.count == 0 ? 0 : active_.allow_all;
  const int32_t block = active_.count == 0 ? 1 : active_.block_all;
  // No overlay in the graph: no path up and no virtual address.
  const OverlayView* view = registered_overlay_view();
  const bool fail_close = FailCloseMgr::GetInstance().IsEffective();
  const bool virtual_only = destination_internet_flag.load(std::memory_order_relaxed) != 0;
  const bool special = is_special_destination(dst);
  auto done = [&](int32_t i) { return finish(i, fail_close, dst, dport, protocol, process_name); };
  // The virtual address costs calls into the overlay: read it only when a
  // rule below needs it.
  uint32_t vip = 0;
  bool vip_read = false;
  auto read_vip = [&] {
    if (!vip_read) vip = view != nullptr ? client_vip(*view).addr() : 0;
    vip_read = true;
    return vip;
  };
  auto have_vip = [&] { return read_vip() != 0; };
  auto from_vip = [&] { return read_vip() != 0 && src == vip; };

  if (process_name != nullptr && !from_vip() && is_own_process(process_name)) return done(allow);
  if (!fail_close) {
    if (view == nullptr || view->tunnel_paths_up() == 0) {
      if (!have_vip()) return done(allow);
      if (view != nullptr && view->ignore_route_policy_with_no_active_tunnel()) return done(allow);
    }
    if (!virtual_only) {
      if (special && !from_vip()) return done(allow);
      if (tunnel_started_ == 0) return done(allow);
    }
  }
  if (virtual_only && (tunnel_started_ == 0 || (have_vip() && !fail_close && !from_vip()))) {
    log_leak(src, sport, dst, dport);
    return done(block);
  }
  const bool internet_ok = internet == 1 && !special;
  const PolicyQuickMatch* quick = active_.quick.data();
  for (int i = 0; i < active_.count; ++i) {
    const PolicyQuickMatch& q = quick[i];
    if (q.dscp != -1 && q.dscp != dscp) continue;
    if ((src & q.src_mask) != q.src_net || (dst & q.dst_mask) != q.dst_net) continue;
    if (static_cast<uint16_t>(sport - q.sport_low) > q.sport_span ||
        static_cast<uint16_t>(dport - q.dport_low) > q.dport_span)
      continue;
    if (q.protocol != -1 && q.protocol != static_cast<int>(protocol)) continue;
    if (q.category != -1 && q.category != category) continue;
    if (q.internet && !internet_ok) continue;
    if (q.full && !row_matches(active_.rows[i].match, src, dst, sport, dport, dscp, protocol,
                               app_id, category, internet_ok, process_name))
      continue;
    return done(i);
  }
  if (virtual_only) {
    log_leak(src, sport, dst, dport);
    return done(block);
  }
  return done(allow);
}

int OstPolicy::resolve_route_action(const route_action& action, String* next_hop) {
  OverlayView* view = registered_overlay_view();
  if (view == nullptr) return -1;
  if (action.group_id.length() > 0) {
    String peer;
    if (view->get_active_peer_in_group(action.group_id, &peer) != 0) return -1;
    *next_hop = peer;
    return 0;
  }
  IPAddress peer;
  if (!cp_parse_ip_address(action.next_hop, &peer)) peer = IPAddress();
  if (!view->peer_has_path_up(peer)) return -1;
  *next_hop = action.next_hop;
  return 0;
}

int OstPolicy::get_pbr_next_hop(int32_t index, String* next_hop) const {
  const policy* row = policy_row(index);
  if (row == nullptr) return -1;
  const policy_action& a = row->action;
  if (a.pbr.site == kSiteAuto) return 0;
  if (resolve_route_action(a.pbr, next_hop) == 0) return 0;
  for (const route_action& entry : a.pbr_list) {
    if (entry.site == kSiteDirect) return 0;
    if (entry.site == kSiteHubs && resolve_route_action(entry, next_hop) == 0) return 0;
  }
  return -1;
}
