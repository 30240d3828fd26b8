#include "ostgraphsvc/ostdib/ostrel_dib.h"

#include <atomic>
#include <climits>

#include "graph/router_log.h"

namespace {

constexpr uint32_t kFirstEndpointIndex = 100;
std::atomic<uint32_t> g_endpoint_counter{kFirstEndpointIndex};

constexpr const char* kRule = "===========================================";  // 43

// A copy of the text that does not keep the whole parsed file alive.
String own_copy(const String& text) { return String(text.data(), text.length()); }

const Vector<Json>* array_elements(const Json& value) {
  if (value.type() != Json::kArray || value.body() == nullptr) return nullptr;
  return &static_cast<const JsonArray*>(value.body())->elements;
}

// A dotted quad, or an address with "/" and a prefix length or mask; only
// the address is kept, 0.0.0.0 when it does not parse.
IPAddress parse_overlay_address(const String& text) {
  bool inner_slash = false;
  for (int i = 1; i + 1 < text.length(); ++i) inner_slash |= text[i] == '/';
  IPAddress address;
  if (inner_slash) {
    IPAddress mask;
    if (!cp_parse_ip_prefix(text, false, &address, &mask)) return IPAddress();
    return address;
  }
  if (!cp_parse_ip_address(text, &address)) return IPAddress();
  return address;
}

void delete_all(Vector<NextHopElement*>& list) {
  for (NextHopElement* e : list) delete e;
  list.clear();
}

void fill_next_hop_list(const Json& array, Vector<NextHopElement*>& list) {
  const Vector<Json>* items = array_elements(array);
  if (items == nullptr) return;
  list.reserve(list.size() + items->size());
  for (const Json& item : *items) {
    auto* e = new NextHopElement(parse_overlay_address(item.get("ipv4").text()),
                                 static_cast<uint32_t>(item.get("cost").to_int()));
    const Json& mode = item.get("mode");
    if (mode.type() == Json::kInteger) e->mode = static_cast<uint16_t>(mode.to_int());
    const Json& port = item.get("port");
    if (port.type() == Json::kInteger) e->port = static_cast<uint16_t>(port.to_int());
    list.push_back(e);
  }
}

String roles_text(uint16_t roles) {
  StringBuilder sb;
  if (roles & OSTREL_SPOKE) sb << "SPOKE|";
  if (roles & OSTREL_DC) sb << "DC|";
  if (roles & OSTREL_WAYPOINT) sb << "WAYPOINT|";
  if (roles & OSTREL_DIM_REFLECTOR) sb << "DIM_REFLECTOR|";
  if (roles & OSTREL_CONTROLLER) sb << "CONTROLLER";
  return sb.take_string();
}

// The parts of one entry's dump; `eol` ends the lines of the text dump and
// is empty for the JSON one.
void append_next_hops(StringBuilder& sb, const OstrelDIB& dib) {
  for (const NextHopElement* e : dib.next_hops) {
    sb << e->next_hop.to_string() << '(' << e->cost << "),";
  }
}

void append_routeable_overlays(StringBuilder& sb, const OstrelDIB& dib, const char* eol) {
  for (NextHopElement* e : dib.routeable_overlays) {
    sb << '[' << e->next_hop.to_string() << " (" << e->cost << "), ";
    e->append_tags(sb);
    sb << "]  " << eol;
  }
}

void append_roles(StringBuilder& sb, uint16_t roles) {
  if (roles & OSTREL_DC) sb << "DC, ";
  if (roles & OSTREL_WAYPOINT) sb << "WAYPOINT, ";
  if (roles & OSTREL_SPOKE) sb << "SPOKE, ";
  if (roles & OSTREL_CONTROLLER) sb << "CONTROLLER, ";
}

void append_endpoint_sets(StringBuilder& sb, OstrelDIB& dib, const char* eol) {
  for (auto it = dib.endpoint_sets.begin(); it.live(); ++it) {
    const EndPointDescriptor& set = *it->value;
    sb << set.tag << ": ";
    for (const OstrelURI& uri : set.endpoints) {
      sb << uri.address.to_string() << ':' << static_cast<unsigned>(uri.port)
         << " (L2: " << static_cast<unsigned>(uri.l2_index)
         << ",L3: " << static_cast<unsigned>(uri.l3_index) << ",OVLAYTAG: " << uri.overlay_tag
         << "),";
    }
    sb << eol;
  }
}

void append_device_tags(StringBuilder& sb, OstrelDIB& dib, const char* eol) {
  for (auto it = dib.device_tags.begin(); it.live(); ++it) {
    sb << "Ost Tag: " << it->key << " - ";
    const Vector<String>& values = it->value;
    for (int i = 0; i < values.size(); ++i) {
      if (i > 0) sb << ", ";
      sb << values[i];
    }
    sb << eol;
  }
}

constexpr int kShownPskLength = 15;

String shown_psk(const OstrelDIB& dib) {
  return dib.psk.substring(0,
                           dib.psk.length() < kShownPskLength ? dib.psk.length() : kShownPskLength);
}

}  // namespace

uint32_t dib_endpoint_counter() { return g_endpoint_counter.load(); }
void dib_reset_endpoint_counter() { g_endpoint_counter = kFirstEndpointIndex; }

OstrelURI::OstrelURI(const String& text) {
  int colon = -1;
  for (int i = 0; i < text.length(); ++i) {
    if (text[i] == ':') colon = i;
  }
  String address_text = colon < 0 ? text : text.substring(0, colon);
  if (colon >= 0) {
    String port_text = text.substring(colon + 1);
    int value = 0;
    for (int i = 0; i < port_text.length() && port_text[i] >= '0' && port_text[i] <= '9'; ++i) {
      int digit = port_text[i] - '0';
      value = value > (INT_MAX - digit) / 10 ? INT_MAX : value * 10 + digit;
    }
    if (value >= 1 && value <= 65534) {
      port = static_cast<uint16_t>(value);
    } else {
      log_syslog_level(4, "OstrelURI::OstrelURI", __FILE__, __LINE__,
                       "port (%d) out of range in uri %s, ignored", value,
                       port_text.printable().c_str());
    }
  }
  if (!cp_parse_ip_address(address_text, &address)) address = IPAddress();
}

OstrelDIB::~OstrelDIB() {
  for (auto it = endpoint_sets.begin(); it.live(); ++it) delete it->value;
  delete_all(next_hops);
  delete_all(routeable_overlays);
  delete_all(delete_list);
  delete_all(dynamic_overlay_list);
}

void OstrelDIB::parse_roles(const Json& entry) {
  static const char* const kTag = "OstrelDIB::parse_roles";
  const Json& list = entry.get("roles");
  if (list.type() != Json::kArray) {
    log_syslog_level(6, kTag, __FILE__, __LINE__,
                     "roles field is missing, default role OSTREL_SPOKE added");
    roles |= OSTREL_SPOKE;
    return;
  }
  const Vector<Json>* items = array_elements(list);
  if (items == nullptr) return;
  for (const Json& item : *items) {
    const String& type = item.get("type").text();
    uint16_t bits = OSTREL_SPOKE;
    if (type == "DC") {
      bits = OSTREL_DC;
    } else if (type == "WAYPOINT") {
      bits = OSTREL_WAYPOINT;
    } else if (type == "CONTROLLER") {
      bits = OSTREL_CONTROLLER;
    }
    if (item.get("dc_edge").to_bool()) bits |= OSTREL_DC;
    if (item.get("dim_reflector").to_bool()) bits |= OSTREL_DIM_REFLECTOR;
    if (item.get("segment").to_int() == 0) roles |= bits;
    log_syslog_level(6, kTag, __FILE__, __LINE__, "OstDIB: DIB roles are %s",
                     roles_text(roles).c_str());
  }
}

void OstrelDIB::parse_psk(const Json& entry) {
  const Json& auth = entry.get("auth");
  if (auth.is_null()) return;
  const Json& key = auth.get("psk");
  if (key.type() != Json::kString) return;
  int length = key.text().length() < kMaxPskLength ? key.text().length() : kMaxPskLength;
  psk = String(key.text().data(), length);
  // The key itself stays out of the log.
  log_syslog_level(6, "OstrelDIB::parse_psk", __FILE__, __LINE__,
                   "PSK parsed from JSON: %d characters", psk.length());
}

void OstrelDIB::parse_remote_ip(const Json& entry) {
  const Json& wan = entry.get("wanIP");
  if (wan.type() != Json::kString) {
    log_syslog_level(6, "OstrelDIB::parse_remote_ip", __FILE__, __LINE__,
                     "wan IP field is missing");
    return;
  }
  if (!cp_parse_ip_address(wan.text(), &wan_address)) wan_address = IPAddress();
  log_syslog_level(6, "OstrelDIB::parse_remote_ip", __FILE__, __LINE__, "Wan IP is %s",
                   wan_address.to_string().c_str());
}

void OstrelDIB::map_ipv4_to_wan_tag(const Json& value, const String& tag) {
  EndPointDescriptor* set = nullptr;
  auto it = endpoint_sets.find(tag);
  if (it.live()) {
    set = it->value;
  } else {
    set = new EndPointDescriptor(tag, tag);
    endpoint_sets.find_insert(tag, set);
  }
  set->state = 0;
  fill_ostreluri_vector_from_json_array(value.get("ipv4"), set);
  log_syslog_level(6, "OstrelDIB::map_ipv4_to_wan_tag", __FILE__, __LINE__,
                   "DIM: endpt %p for network tag %s added", static_cast<void*>(set),
                   tag.printable().c_str());
}

void OstrelDIB::fill_ostreluri_vector_from_json_array(const Json& array, EndPointDescriptor* set) {
  const Vector<Json>* items = array_elements(array);
  if (items == nullptr || items->empty()) return;
  // Newest first: this call's endpoints in reverse, then the older ones.
  // Built in one pass so that a long list costs linear time.
  Vector<OstrelURI> merged;
  merged.reserve(items->size() + set->endpoints.size());
  merged.resize(items->size());
  for (int i = 0; i < items->size(); ++i) {
    const String& text = (*items)[i].text();
    OstrelURI uri(text);
    uint32_t counter = g_endpoint_counter.fetch_add(1);
    uint32_t word = counter | (counter << 8);
    uri.l3_index = static_cast<uint8_t>(word & 0xFF);
    uri.l2_index = static_cast<uint8_t>((word >> 8) & 0xFF);
    log_syslog_level(6, "OstrelDIB::fill_ostreluri_vector_from_json_array", __FILE__, __LINE__,
                     "OstDIB: adding %s l2idx=%d l3idx=%d as routable address",
                     text.printable().c_str(), static_cast<int>(counter),
                     static_cast<int>(counter));
    merged[items->size() - 1 - i] = uri;
  }
  for (const OstrelURI& old : set->endpoints) merged.push_back(old);
  set->endpoints = static_cast<Vector<OstrelURI>&&>(merged);
}

void OstrelDIB::parse_ost_tags(const Json& entry, HashTable<String, Vector<String>>& tags) {
  static const char* const kTag = "OstrelDIB::parse_ost_tags";
  const Json& list = entry.get("dcfg_tags");
  if (list.is_null()) {
    log_syslog_level(7, kTag, __FILE__, __LINE__, "DEBUG: No dcfg_tags configured");
    if (tags.empty()) return;
    log_syslog_level(7, kTag, __FILE__, __LINE__, "DEBUG: clear Existing tag values");
    for (auto it = tags.begin(); it.live();) it = tags.erase(it);
    return;
  }
  const Vector<Json>* items = array_elements(list);
  if (items == nullptr) return;
  for (const Json& item : *items) {
    const Json& name_value = item.get("osttag_name");
    if (name_value.is_null()) {
      log_syslog_level(4, kTag, __FILE__, __LINE__,
                       "WARN: unable to find osttag_name or its values, skipping");
      continue;
    }
    String name = own_copy(name_value.text());
    const Json& values = item.get("osttag_values");
    if (values.is_null()) {
      log_syslog_level(6, kTag, __FILE__, __LINE__, "no tag  values, clearing existing tag values");
      auto it = tags.find(name);
      if (it.live()) tags.erase(it);
      continue;
    }
    Vector<String> collected;
    if (const Vector<Json>* value_items = array_elements(values)) {
      for (const Json& v : *value_items) {
        const String& text = v.get("osttag_value").text();
        if (!text.empty()) collected.push_back(own_copy(text));
      }
    }
    if (collected.empty()) continue;
    tags.find_insert(name, Vector<String>())->value = static_cast<Vector<String>&&>(collected);
  }
}

void OstrelDIB::dib_update_routable_addr_present() {
  for (auto it = endpoint_sets.begin(); it.live(); ++it) {
    if (it->value->state != 0) continue;
    log_syslog_level(6, "OstrelDIB::dib_update_routable_addr_present", __FILE__, __LINE__,
                     "OstDIB: routable address present, setting flag");
    routable_addr_present = true;
    return;
  }
}

OstrelDIBManager::~OstrelDIBManager() {
  for (OstrelDIB* dib : entries_) delete dib;
}

uint32_t OstrelDIBManager::handle_of(IPAddress address) {
  auto it = address_table_.find(address);
  return it.live() ? it->value : 0;
}

void OstrelDIBManager::parse_dib_json(const Json& entry, bool is_local) {
  const String& address_text = entry.get("overlayIP").text();
  IPAddress address = parse_overlay_address(address_text);
  OstrelDIB* dib = find(address);
  if (dib == nullptr) {
    log_syslog_level(6, "OstrelDIBManager::parse_dib_json", __FILE__, __LINE__, "Adding DIB: %s",
                     address_text.printable().c_str());
    if (next_free_handle_ > kMaxHandle) {
      log_syslog_level(3, "OstrelDIBManager::parse_dib_json", __FILE__, __LINE__,
                       "Max DIB count %u reached; errno=%d", kCapacity, kNoSpace);
      return;
    }
    uint32_t handle = next_free_handle_++;
    dib = new OstrelDIB;
    dib->overlay_address = address;
    entries_[handle] = dib;
    ++entry_count_;
    dib->parse_roles(entry);
    dib->parse_psk(entry);
    const Json& group_name = entry.get("groupname");
    const Json& group_id = entry.get("groupid");
    if (group_name.type() == Json::kString && group_id.type() == Json::kString) {
      dib->group_name = own_copy(group_name.text());
      dib->group_id = own_copy(group_id.text());
    }
    dib->local = is_local;
    address_table_.find_insert(address, handle);
    if (!is_local) dib->parse_remote_ip(entry);
  }

  delete_all(dib->next_hops);
  delete_all(dib->routeable_overlays);
  fill_next_hop_list(entry.get("nexthop"), dib->next_hops);
  fill_next_hop_list(entry.get("routeableOverlays"), dib->routeable_overlays);

  const Json& wan_tags = entry.get("wanTags");
  if (wan_tags.type() == Json::kObject && wan_tags.body() != nullptr) {
    const auto* members = static_cast<const JsonObject*>(wan_tags.body());
    const String kPrivate("private");
    const String kInternet("internet");
    const String kPublic("public");
    for (int i = 0; i < members->count; ++i) {
      const JsonObject::Item& member = members->items[i];
      dib->map_ipv4_to_wan_tag(member.value, member.key == kPrivate ? kPrivate : kInternet);
      if (dib->has_role(OSTREL_CONTROLLER)) dib->map_ipv4_to_wan_tag(member.value, kPublic);
    }
  }

  if (!is_local) return;
  OstrelDIB::parse_ost_tags(entry, dib->device_tags);
  dib->dib_update_routable_addr_present();
  dib->spoke_only = !dib->has_role(OSTREL_DC | OSTREL_WAYPOINT | OSTREL_CONTROLLER);
}

int OstrelDIBManager::get_dib_summary(IPAddress address, OstrelDIBSummary* summary) {
  OstrelDIB* dib = find(address);
  if (dib == nullptr) return -2;
  summary->overlay_address = dib->overlay_address;
  summary->port = dib->port;
  summary->roles = dib->roles;
  summary->local = dib->local;
  summary->routable_addr_present = dib->routable_addr_present;
  for (int i = 0; i < 3; ++i) summary->counters[i] = counters[i];
  summary->updated = false;
  summary->group_id = dib->group_id;
  return 0;
}

void OstrelDIBManager::print_dibs(StringBuilder& sb) {
  sb << kRule << '\n';
  for (auto it = address_table_.begin(); it.live(); ++it) {
    OstrelDIB* dib = entry(it->value);
    if (dib == nullptr) continue;
    sb << "OverlayIP: " << dib->overlay_address.to_string() << '\n';
    sb << "NHList: ";
    append_next_hops(sb, *dib);
    sb << '\n';
    sb << "RouteableOverlays: \n";
    append_routeable_overlays(sb, *dib, "\n");
    sb << '\n';
    sb << "PSK: " << shown_psk(*dib) << '\n';
    sb << "Role: ";
    append_roles(sb, dib->roles);
    sb << '\n';
    append_endpoint_sets(sb, *dib, "\n");
    sb << '\n';
    sb << "Ost Tags [" << static_cast<uint64_t>(dib->device_tags.size()) << "]\n";
    append_device_tags(sb, *dib, "\n");
    sb << '\n';
    sb << kRule << '\n';
  }
}

void OstrelDIBManager::print_dibs_json(Json& out) {
  if (out.type() != Json::kArray) out.make_unshared(Json::kArray);
  for (auto it = address_table_.begin(); it.live(); ++it) {
    OstrelDIB* dib = entry(it->value);
    if (dib == nullptr) continue;
    Json row;
    row.set("OverlayIP", dib->overlay_address.to_string());
    StringBuilder sb;
    append_next_hops(sb, *dib);
    row.set("NHList", sb.take_string());
    append_routeable_overlays(sb, *dib, "");
    row.set("RouteableOverlays", sb.take_string());
    row.set("PSK", shown_psk(*dib));
    append_roles(sb, dib->roles);
    row.set("Role", sb.take_string());
    append_endpoint_sets(sb, *dib, "");
    row.set("wantag", sb.take_string());
    append_device_tags(sb, *dib, "");
    row.set("ost_tag", sb.take_string());
    out.append(row);
  }
}
