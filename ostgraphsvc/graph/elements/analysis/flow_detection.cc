// Application detection and the process name of the flow element's flows.
#include "ostgraphsvc/graph/elements/analysis/flow_detection.h"

#include <arpa/inet.h>
#include <ndpi/ndpi_api.h>
#include <netinet/in.h>

#include <cstring>
#include <new>
#include <string>

#include "graph/confparse.h"
#include "graph/json.h"
#include "graph/packet.h"
#include "graph/router_log.h"
#include "ostgraphsvc/graph/elements/analysis/aggregate_ip_flows.h"
#include "ostgraphsvc/graph/elements/local/capture_record.h"
#include "ostgraphsvc/graph/elements/policy/app_tables.h"
#include "ostgraphsvc/graph/elements/policy/ost_policy.h"

#define DETECT_LOG(tag, ...) log_syslog_level(6, (tag), __FILE__, __LINE__, __VA_ARGS__)

namespace {

constexpr uint8_t kProtoICMP = 1;
constexpr uint8_t kProtoTCP = 6;
constexpr uint8_t kProtoUDP = 17;
constexpr uint32_t kTcpGiveUpPackets = 10;
constexpr uint32_t kUdpGiveUpPackets = 8;
constexpr uint8_t kDefaultExtraPackets = 7;
constexpr int kMaxLabels = kMaxHostText / 2 + 1;

const char* or_empty(const char* text) { return text != nullptr ? text : ""; }

bool is_dns(const DetectionResult& r) {
  return r.master_protocol == kAppDNS || r.app_protocol == kAppDNS;
}

// The library's text cut at kMaxHostText bytes, and bounded by its buffer.
String bounded_text(const char* text, size_t capacity) {
  if (text == nullptr) return String();
  size_t n = strnlen(text, capacity);
  if (n > static_cast<size_t>(kMaxHostText)) n = kMaxHostText;
  return String(text, static_cast<int>(n));
}

const char* library_host(const ndpi_flow_struct* f) {
  // The buffer is fixed in the library's flow state; a full one has no NUL.
  return f->host_server_name;
}

// Whole seconds of a time difference, rounded down.
int64_t whole_seconds(Timestamp t) {
  int64_t s = t.nsec() / Timestamp::kNsecPerSec;
  if (t.nsec() % Timestamp::kNsecPerSec < 0) --s;
  return s;
}

// The root's elements (array elements), or null when the root is no array.
const JsonArray* array_of(const Json& doc) {
  if (doc.type() != Json::kArray) return nullptr;
  return static_cast<const JsonArray*>(doc.body());
}

bool parse_map_file(const String& name, Json* doc) {
  String path;
  if (!cp_parse_filename(name, &path)) return false;
  String text;
  if (policy_read_work_file(path, &text) != 0) return false;
  return policy_parse_document(text, doc);
}

bool index_fits(int id, const String& file, const char* key, const char* tag) {
  if (id >= 0 && id < kAppTableSize) return true;
  DETECT_LOG(tag, "%s: %s %d is outside 0..%d, element skipped", file.printable().c_str(), key, id,
             kAppTableSize - 1);
  return false;
}

}  // namespace

// ---- Name texts.

String FlowDetection::first_name_text() const {
  if (ndpi_flow == nullptr) return first_name;
  return bounded_text(library_host(ndpi_flow), sizeof ndpi_flow->host_server_name);
}

String FlowDetection::second_name_text() const {
  if (ndpi_flow == nullptr) return second_name;
  if (is_dns(ndpi_result)) return String();
  return bounded_text(library_host(ndpi_flow), sizeof ndpi_flow->host_server_name);
}

String FlowDetection::url_text() const {
  if (ndpi_flow == nullptr) return url;
  return bounded_text(ndpi_flow->http.url, static_cast<size_t>(kMaxHostText));
}

// ---- Module and tables.

bool AggregateIPFlows::create_ndpi_module() {
  if (ndpi_ != nullptr) return true;
  ndpi_ = ndpi_init_detection_module(ndpi_no_prefs);
  if (ndpi_ == nullptr) return false;
  NDPI_PROTOCOL_BITMASK all;
  NDPI_BITMASK_SET_ALL(all);
  ndpi_set_protocol_detection_bitmask2(ndpi_, &all);
  ndpi_finalize_initialization(ndpi_);
  return true;
}

void AggregateIPFlows::destroy_detection() {
  if (ndpi_ != nullptr) ndpi_exit_detection_module(ndpi_);
  ndpi_ = nullptr;
}

void AggregateIPFlows::drop_app_category_map() {
  app_category_map_.reset();
  web_app_id_ = unclassified_app_id_ = 0;
}

int AggregateIPFlows::create_app_category_mapping(const String& file_name) {
  constexpr char kTag[] = "AggregateIPFlows::create_app_category_mapping";
  Json doc;
  const JsonArray* items = parse_map_file(file_name, &doc) ? array_of(doc) : nullptr;
  if (items == nullptr) {
    DETECT_LOG(kTag, "App Category map - JSON parse failed");
    drop_app_category_map();
    return -1;
  }
  if (items->elements.size() > kAppTableSize) {
    DETECT_LOG(kTag, "ERROR: currently ndpi support %d apps only, file has %d", kAppTableSize,
               items->elements.size());
    drop_app_category_map();
    return -1;
  }
  auto table = std::unique_ptr<AppCategoryEntry[]>(new AppCategoryEntry[kAppTableSize]);
  int32_t web = 0, unclassified = 0;
  for (const Json& item : items->elements) {
    const int id = item.get("AppId").to_int();
    if (!index_fits(id, file_name, "AppId", kTag)) continue;
    const String& app = item.get("App").text();
    const String& category = item.get("Category").text();
    if (app.length() > PolicyAppTables::kMaxText || category.length() > PolicyAppTables::kMaxText) {
      DETECT_LOG(kTag, "%s: AppId %d skipped: name longer than %d bytes",
                 file_name.printable().c_str(), id, PolicyAppTables::kMaxText);
      continue;
    }
    AppCategoryEntry& e = table[id];
    e.app_id = id;
    e.category_id = item.get("CatId").to_int();
    e.app_name = app;
    e.category_name = category;
    if (app == "Web") web = id;
    if (app == "Unclassified TCP/UDP") unclassified = id;
  }
  app_category_map_ = std::move(table);
  web_app_id_ = web;
  unclassified_app_id_ = unclassified;
  return 0;
}

int AggregateIPFlows::create_category_name_mapping(const String& file_name) {
  constexpr char kTag[] = "AggregateIPFlows::create_category_name_mapping";
  Json doc;
  const JsonArray* items = parse_map_file(file_name, &doc) ? array_of(doc) : nullptr;
  if (items == nullptr) {
    DETECT_LOG(kTag, "Category id name map - JSON parse failed");
    category_name_map_.reset();
    return -1;
  }
  auto table = std::unique_ptr<CategoryNameEntry[]>(new CategoryNameEntry[kAppTableSize]);
  for (const Json& item : items->elements) {
    const int id = item.get("Id").to_int();
    if (!index_fits(id, file_name, "Id", kTag)) continue;
    const String& name = item.get("CategoryName").text();
    if (name.length() > PolicyAppTables::kMaxText) {
      DETECT_LOG(kTag, "%s: Id %d skipped: name longer than %d bytes",
                 file_name.printable().c_str(), id, PolicyAppTables::kMaxText);
      continue;
    }
    table[id].id = id;
    table[id].name = name;
  }
  category_name_map_ = std::move(table);
  return 0;
}

int32_t AggregateIPFlows::app_category(int32_t app_id) const {
  if (app_category_map_ == nullptr || app_id < 0 || app_id >= kAppTableSize) return 0;
  return app_category_map_[app_id].category_id;
}

const char* AggregateIPFlows::category_name(int32_t category_id) const {
  if (category_name_map_ == nullptr || category_id < 0 || category_id >= kAppTableSize) return "";
  const String& name = category_name_map_[category_id].name;
  return name.length() > 0 ? name.c_str() : "";
}

const char* AggregateIPFlows::app_name(int32_t app_id) const {
  if (app_id == kAppUnclassifiedTCP) return "tcp";
  if (app_id == kAppUnclassifiedUDP) return "udp";
  if (app_id == kAppUnclassifiedHTTPS) return "https";
  if (static_cast<uint32_t>(app_id) >= static_cast<uint32_t>(kAppCustomFirst)) {
    if (policy_ == nullptr) return "";
    const String& name = policy_->app_tables().get_custom_app_name(app_id);
    return name.length() > 0 ? name.c_str() : "";
  }
  if (ndpi_ == nullptr) return "";
  return or_empty(ndpi_get_proto_by_id(ndpi_, static_cast<u_int>(app_id)));
}

// ---- Per flow.

void AggregateIPFlows::initial_application(StatFlowInfo* fi) {
  FlowDetection& d = fi->detection;
  if (fi->protocol == kProtoICMP) {
    d.app_id = kAppICMP;
    d.category = app_category(kAppICMP);
  } else if (fi->protocol == kProtoTCP || fi->protocol == kProtoUDP) {
    d.app_id = fi->protocol == kProtoTCP ? kAppUnclassifiedTCP : kAppUnclassifiedUDP;
    d.category = app_category(unclassified_app_id_);
    if (fi->dst_port == 443) {
      d.app_id = kAppUnclassifiedHTTPS;
      d.category = app_category(web_app_id_);
    }
  }
}

bool AggregateIPFlows::start_ndpi_flow(FlowDetection& d) {
  if (d.ndpi_flow != nullptr) return true;
  if (ndpi_ == nullptr) return false;
  void* block = ndpi_flow_malloc(SIZEOF_FLOW_STRUCT);
  if (block == nullptr) return false;
  std::memset(block, 0, SIZEOF_FLOW_STRUCT);
  d.ndpi_flow = static_cast<ndpi_flow_struct*>(block);
  return true;
}

// Keeps the texts the flow's dumps and host name need, then gives the
// library's state back.
void AggregateIPFlows::release_detection(StatFlowInfo* fi) {
  FlowDetection& d = fi->detection;
  ndpi_flow_struct* f = d.ndpi_flow;
  if (f == nullptr) return;
  try {
    const String host = bounded_text(library_host(f), sizeof f->host_server_name);
    d.url = d.url_text();
    d.first_name = host;
    d.second_name = is_dns(d.ndpi_result) ? String() : host;
  } catch (const std::bad_alloc&) {
    // The texts are a convenience of the dumps; the state goes all the same.
  }
  d.ndpi_flow = nullptr;
  ndpi_free_flow_data(f);
  ndpi_free(f);
}

void AggregateIPFlows::fixup_appid_and_subcategory(StatFlowInfo* fi, const Packet* p) {
  FlowDetection& d = fi->detection;
  const uint16_t guessed = d.ndpi_flow != nullptr ? d.ndpi_flow->guessed_host_protocol_id : 0;
  d.app_id = guessed != 0 ? guessed : d.ndpi_result.app_protocol;
  d.subcategory = 0;
  if (d.ndpi_result.master_protocol == kAppDNS) {
    d.app_id = kAppDNS;
    return;
  }
  if (d.app_id != kAppRTPId) return;
  const uint8_t* ip = p->network_header();
  const size_t avail = static_cast<size_t>(p->end_data() - ip);
  if (avail < 20 || ip[9] != kProtoUDP) return;
  const size_t hl = size_t{ip[0] & 0x0Fu} * 4;
  // The payload type is the second byte of the UDP payload: only a payload
  // that holds it has one.
  if (hl < 20 || avail < hl + 8 + 2) return;
  const uint8_t* udp = ip + hl;
  const int payload_type = udp[8 + 1] & 0x7F;
  const uint32_t length = p->length();
  uint16_t sport, dport;
  std::memcpy(&sport, udp, 2);
  std::memcpy(&dport, udp + 2, 2);
  DETECT_LOG("AggregateIPFlows::fixup_appid_and_subcategory",
             "Proto:%d category:%d payload:%d ipsize:%d ports:0x%x->0x%x", kAppRTPId,
             d.ndpi_result.category, payload_type, static_cast<int>(length), sport, dport);
  d.subcategory = payload_type < 24 || (payload_type >= 96 && length <= 300) ? 1 : 2;
}

int AggregateIPFlows::detect_first_packet_app(StatFlowInfo* fi) {
  FlowDetection& d = fi->detection;
  if (d.done) return d.first_packet_found ? 0 : -1;
  if (policy_ == nullptr) return -1;
  const PolicyAppTables& tables = policy_->app_tables();
  const uint32_t dst = fi->dst_addr.addr();
  const fpd_entry* e = nullptr;
  if (fi->protocol == kProtoTCP && tables.tcp_table() != nullptr)
    e = tables.tcp_table()->find(dst);
  else if (fi->protocol == kProtoUDP && tables.udp_table() != nullptr)
    e = tables.udp_table()->find(dst);
  if (e == nullptr && tables.any_table() != nullptr) e = tables.any_table()->find(dst);
  if (e == nullptr) return -1;
  const bool protocol_ok = e->protocol == -1 || e->protocol == fi->protocol;
  for (const fpd_port_item& item : e->port_items) {
    if (!item.matches(fi->dst_port) || !protocol_ok) continue;
    if (item.app_id == 0) return -1;
    DETECT_LOG("AggregateIPFlows::detect_first_packet_app",
               "FPD: Detected App: %d, Category: %d, dst: %s", item.app_id, item.category_id,
               fi->dst_addr.to_string().c_str());
    d.first_packet_found = 1;
    d.done = 1;
    d.app_id = item.app_id;
    d.category = item.category_id;
    return 0;
  }
  return -1;
}

void AggregateIPFlows::detect(Packet* p, StatFlowInfo* fi) {
  FlowDetection& d = fi->detection;
  if (detect_first_packet_app(fi) == 0) return;

  if (const DnsCacheEntry* e = dns_cache_.find(fi->dst_addr); e != nullptr && e->app_id != 0) {
    d.app_id = e->app_id;
    d.category = e->category_id;
    if (!fi->dns_match_logged) {
      fi->dns_match_logged = 1;
      DETECT_LOG("AggregateIPFlows::detect", "DNS_ENTRY_MATCH ip=%s host=%s appid=%d catid=%d",
                 e->address.to_string().c_str(), e->host.printable().c_str(), e->app_id,
                 e->category_id);
    }
  }

  const uint8_t* ip = p->network_header();
  const size_t avail = static_cast<size_t>(p->end_data() - ip);
  const unsigned short ip_length = static_cast<unsigned short>(avail > 0xFFFF ? 0xFFFF : avail);
  const uint64_t msec = static_cast<uint32_t>(p->timestamp().msec());

  if (!d.done) {
    if (!start_ndpi_flow(d)) return;
    ndpi_flow_struct* f = d.ndpi_flow;
    ndpi_protocol r = ndpi_detection_process_packet(ndpi_, f, ip, ip_length, msec);
    d.ndpi_result = {r.master_protocol, r.app_protocol, static_cast<int32_t>(r.category)};
    if (f->guessed_host_protocol_id != 0) d.app_id = f->guessed_host_protocol_id;
    if (r.app_protocol == 0) {
      const uint32_t seen = fi->packets[0] + fi->packets[1];
      if (fi->protocol == kProtoTCP) {
        if (seen <= kTcpGiveUpPackets) return;
      } else if (fi->protocol == kProtoUDP) {
        if (seen <= kUdpGiveUpPackets) return;
      } else {
        return;
      }
    }
    d.done = 1;
    if (f->check_extra_packets) d.extra_dissection = 1;
    if (d.ndpi_result.app_protocol == 0) {
      uint8_t guessed = 0;
      r = ndpi_detection_giveup(ndpi_, f, 1, &guessed);
      d.ndpi_result = {r.master_protocol, r.app_protocol, static_cast<int32_t>(r.category)};
    }
    if (d.ndpi_result.app_protocol != 0) {
      fixup_appid_and_subcategory(fi, p);
      d.category = app_category(d.app_id);
    }
    if (!d.extra_dissection) release_detection(fi);
    return;
  }

  if (d.extra_dissection) {
    ndpi_flow_struct* f = d.ndpi_flow;
    bool more = f != nullptr && f->check_extra_packets;
    if (more) {
      if (f->max_extra_packets_to_check == 0 && f->num_extra_packets_checked == 0)
        f->max_extra_packets_to_check = kDefaultExtraPackets;
      if (f->num_extra_packets_checked < f->max_extra_packets_to_check)
        ndpi_process_extra_packet(ndpi_, f, ip, ip_length, msec);
      // A library that still asks past its own maximum gets no more packets.
      more = f->check_extra_packets && f->num_extra_packets_checked < f->max_extra_packets_to_check;
    }
    if (!more) {
      d.extra_dissection = 0;
      if (d.ndpi_result.app_protocol != 0) {
        fixup_appid_and_subcategory(fi, p);
        d.category = app_category(d.app_id);
      }
      release_detection(fi);
    }
  }

  if (fi->host.length() == 0) {
    String text = d.second_name_text();
    if (text.length() == 0) text = d.url_text();
    int slash = text.length() - 1;
    while (slash >= 0 && text[slash] != '/') --slash;
    fi->host = slash >= 0 ? text.substring(0, slash) : text;
  }
  if (fi->host.length() == 0) return;
  if (!d.hostapp_done) host_application(fi);
  learn_host(fi, p->timestamp());
}

// The host's labels, those beginning with "www" left out, top-level first.
void AggregateIPFlows::host_application(StatFlowInfo* fi) {
  FlowDetection& d = fi->detection;
  d.hostapp_done = 1;
  if (policy_ == nullptr) return;
  const HostAppTrieNode* root = policy_->app_tables().hostapp_trie();
  if (root == nullptr) return;
  HostLabel labels[kMaxLabels];
  int n = 0;
  const char* text = fi->host.data();
  const int length = fi->host.length();
  int end = length;
  for (int i = length - 1; i >= -1; --i) {
    if (i >= 0 && text[i] != '.') continue;
    const int begin = i + 1;
    const int label_length = end - begin;
    end = i;
    if (label_length == 0) continue;
    if (label_length >= 3 && std::memcmp(text + begin, "www", 3) == 0) continue;
    if (n == kMaxLabels) break;
    labels[n++] = HostLabel{text + begin, label_length};
  }
  const hostapp_entry* e = hostapp_trie_lookup(root, labels, n);
  if (e == nullptr) return;
  d.app_id = e->app_id;
  d.category = e->category_id;
  fi->policy_version = 0;
}

void AggregateIPFlows::learn_host(StatFlowInfo* fi, Timestamp now) {
  const FlowDetection& d = fi->detection;
  switch (d.app_id) {
    case kAppDNS:
    case kAppHTTP:
    case kAppTLS:
    case kAppUnclassifiedTCP:
    case kAppUnclassifiedUDP:
    case kAppUnclassifiedHTTPS:
      return;
    default:
      break;
  }
  if (DnsCacheEntry* e = dns_cache_.find(fi->dst_addr); e != nullptr) {
    e->time = now;
    e->app_id = d.app_id;
    e->category_id = d.category;
    return;
  }
  if (dns_cache_.size() >= kMaxDnsCacheEntries) {
    ++dns_cache_refused_;
    return;
  }
  try {
    DnsCacheEntry entry;
    entry.app_id = d.app_id;
    entry.category_id = d.category;
    entry.host = fi->host;
    entry.address = fi->dst_addr;
    entry.time = now;
    dns_cache_.insert(fi->dst_addr, entry);
  } catch (const std::bad_alloc&) {
    DETECT_LOG("AggregateIPFlows::detect", "DNS cache addition failed - ENOMEM");
    return;
  }
  DETECT_LOG("AggregateIPFlows::detect", "DNS_ENTRY_ADD ip=%s host=%s appid=%d catid=%d",
             fi->dst_addr.to_string().c_str(), fi->host.printable().c_str(), d.app_id, d.category);
}

void AggregateIPFlows::dns_cache_flush(bool force) {
  constexpr char kTag[] = "AggregateIPFlows::dns_cache_flush";
  const Timestamp now = detect_now_;
  if (!force && whole_seconds(now - last_dns_flush_) < kDnsCacheMaxAgeSec) return;
  dns_cache_.erase_if([&](const IPAddress&, const DnsCacheEntry& e) {
    const bool old = whole_seconds(now - e.time) > kDnsCacheMaxAgeSec;
    if (!old && e.app_id != 0 && !(force && e.app_id < 0)) return false;
    DETECT_LOG(kTag, "DNS_ENTRY_DEL ip=%s host=%s appid=%d catid=%d", e.address.to_string().c_str(),
               e.host.printable().c_str(), e.app_id, e.category_id);
    return true;
  });
  if (dns_cache_refused_ != 0) {
    DETECT_LOG(kTag, "DNS cache full (%zu entries): %u additions refused since the last flush",
               kMaxDnsCacheEntries, dns_cache_refused_);
    dns_cache_refused_ = 0;
  }
  last_dns_flush_ = now;
}

void AggregateIPFlows::after_packet() {
  const int32_t version = policy_ != nullptr ? policy_->hostapp_generation() : 0;
  const bool changed = version != hostapp_version_seen_;
  hostapp_version_seen_ = version;
  dns_cache_flush(changed);
}

void AggregateIPFlows::detect_process_name(StatFlowInfo* fi, const Packet* p) {
  FlowDetection& d = fi->detection;
  if (d.owner_asked || fi->process_name[0] != '\0' || owner_lookup_ == nullptr) return;
  const uint8_t* ip = p->network_header();
  const size_t avail = static_cast<size_t>(p->end_data() - ip);
  if (avail < 20) return;
  const size_t hl = size_t{ip[0] & 0x0Fu} * 4;
  const uint8_t protocol = ip[9];
  const bool first_fragment = (((ip[6] << 8) | ip[7]) & 0x1FFF) == 0;
  if (hl < 20 || !first_fragment || avail < hl + 4) return;
  const uint8_t* l4 = ip + hl;
  bool ask = false;
  if (protocol == kProtoTCP) {
    ask = avail >= hl + 14 && (l4[13] & 0x02) != 0;
  } else if (protocol == kProtoUDP) {
    WINDIVERT_ADDRESS record;
    ask = capture_record_of(p, &record) && (record.Flags & WINDIVERT_ADDRESS_OUTBOUND) != 0;
  }
  if (!ask) return;
  d.owner_asked = 1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  std::memcpy(&local.sin_port, l4, 2);
  std::memcpy(&local.sin_addr.s_addr, ip + 12, 4);
  std::string name;
  uint32_t pid = 0;
  if (!owner_lookup_(reinterpret_cast<const sockaddr*>(&local), protocol, &name, &pid, false))
    return;
  const size_t n =
      name.size() < sizeof fi->process_name - 1 ? name.size() : sizeof fi->process_name - 1;
  std::memcpy(fi->process_name, name.data(), n);
  fi->process_name[n] = '\0';
}
