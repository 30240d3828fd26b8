#include "ostgraphsvc/graph/elements/analysis/aggregate_ip_flows.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "client/lib/cxWinUtils/cxtcpip.h"
#include "graph/args.h"
#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/handler.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "graph/router_log.h"
#include "ostgraphsvc/graph/elements/local/capture_record.h"
#include "ostgraphsvc/graph/elements/local/fromdevice.h"
#include "ostgraphsvc/graph/elements/policy/ost_policy.h"
#include "ostgraphsvc/overlay_view/overlay_view.h"
#include "platform/adapters/best_route.h"
#include "platform/error/win_error.h"

#define AGG_LOG(level, tag, ...) log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

namespace {

constexpr int kTableTCP = 0;
constexpr int kTableUDP = 1;
constexpr int kTableICMP = 2;
constexpr int kTableOther = 3;
constexpr uint8_t kProtoICMP = 1;
constexpr uint8_t kProtoTCP = 6;
constexpr uint8_t kProtoUDP = 17;
constexpr int64_t kUpdateIntervalNsec = 50 * Timestamp::kNsecPerSec;
constexpr int64_t kFullWarningSeconds = 120;
constexpr int32_t kAppRTP = 87;
constexpr int32_t kSubcategoryAudio = 1;
constexpr uint32_t kPriorityDrop = 4;
constexpr uint32_t kUnmanaged = 1;

// Process-wide: shared by every aggregation element.
uint32_t g_notification_limit = 1500;

struct ClassDefaults {
  uint8_t priority;
  uint8_t traffic_class;
};
constexpr ClassDefaults kCategoryDefaults[22] = {
    {2, 3}, {3, 2}, {1, 3}, {1, 4}, {2, 4}, {2, 3}, {3, 3}, {1, 4}, {3, 2}, {3, 3}, {1, 1},
    {1, 3}, {3, 3}, {2, 3}, {2, 3}, {1, 3}, {2, 3}, {3, 2}, {3, 3}, {3, 4}, {2, 3}, {0, 0},
};

// Category ids outside the table take category 0's defaults.
ClassDefaults category_defaults(int32_t category) {
  if (category < 0 || category > 21) return kCategoryDefaults[0];
  return kCategoryDefaults[category];
}

int table_of(uint8_t protocol) {
  if (protocol == kProtoTCP) return kTableTCP;
  if (protocol == kProtoUDP) return kTableUDP;
  if (protocol == kProtoICMP) return kTableICMP;
  return kTableOther;
}

uint32_t load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
uint16_t load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
uint32_t rotate(uint32_t ports) { return ports >> 16 | ports << 16; }

// Whole seconds, rounded down also for times before 1970.
int64_t whole_seconds(Timestamp t) {
  int64_t s = t.nsec() / Timestamp::kNsecPerSec;
  if (t.nsec() % Timestamp::kNsecPerSec < 0) --s;
  return s;
}

bool packet_outbound(const Packet* p) {
  return p->capture_record_anno() != nullptr && capture_record_outbound(p);
}

void copy_name(char (&to)[32], const char* text) {
  std::strncpy(to, text, sizeof to - 1);
  to[sizeof to - 1] = '\0';
}

}  // namespace

// The header a packet is keyed by: its own IPv4 header or, for an ICMP
// error, the header it quotes. Every pointer lies within the packet's data
// and `l4_avail` bytes from `l4` may be read.
struct AggregateIPFlows::Header {
  const uint8_t* ip = nullptr;
  const uint8_t* l4 = nullptr;
  size_t l4_avail = 0;
  uint8_t protocol = 0;
  uint32_t src = 0;
  uint32_t dst = 0;
  bool quoted = false;
  // The packet's own header.
  const uint8_t* own_ip = nullptr;
  const uint8_t* own_l4 = nullptr;
  size_t own_l4_avail = 0;
  uint8_t own_protocol = 0;
  uint8_t tos = 0;
  uint16_t id = 0;  // as stored
  uint16_t fragment_offset = 0;
  bool more_fragments = false;
};

// ---- Notifier and flow records.

void AggregateNotifier::add_listener(AggregateListener* listener) {
  for (AggregateListener* l : listeners_) {
    if (l == listener) return;
  }
  listeners_.push_back(listener);
}

void AggregateNotifier::remove_listener(AggregateListener* listener) {
  Vector<AggregateListener*> kept;
  for (AggregateListener* l : listeners_) {
    if (l != listener) kept.push_back(l);
  }
  listeners_ = std::move(kept);
}

// ---- Flow index table.

AggregateIPFlows::FlowIndexTable::FlowIndexTable(uint32_t slot_count)
    : slot_count_(slot_count),
      slots_(static_cast<uintptr_t*>(std::calloc(size_t{slot_count} + 1, sizeof(uintptr_t)))) {
  if (slots_ == nullptr) throw std::bad_alloc();
}

AggregateIPFlows::FlowIndexTable::~FlowIndexTable() { std::free(slots_); }

uint32_t AggregateIPFlows::FlowIndexTable::add(StatFlowInfo* flow) {
  uint32_t index = 0;
  if (cursor_ <= slot_count_) {
    index = cursor_++;
  } else if (free_head_ != 0) {
    index = free_head_;
    free_head_ = static_cast<uint32_t>(slots_[index] >> 1);
    if (free_head_ == 0) free_tail_ = 0;
  } else {
    return 0;
  }
  slots_[index] = reinterpret_cast<uintptr_t>(flow);
  ++used_;
  return index;
}

void AggregateIPFlows::FlowIndexTable::release(uint32_t index) {
  if (index == 0 || index > slot_count_) return;
  const uintptr_t v = slots_[index];
  if (v == 0 || (v & 1) != 0) return;
  slots_[index] = 1;  // end of the free list
  if (free_tail_ != 0)
    slots_[free_tail_] = uintptr_t{index} << 1 | 1;
  else
    free_head_ = index;
  free_tail_ = index;
  --used_;
}

// ---- Element life cycle.

AggregateIPFlows::AggregateIPFlows() : AggregateIPFlows(kIndexSlots, kMaxFlows) {}

AggregateIPFlows::AggregateIPFlows(uint32_t index_slots, uint32_t flow_cap)
    : index_table_(index_slots),
      flow_cap_(flow_cap),
      route_cache_(std::make_unique<platform::BestRouteCache>()),
      owner_lookup_(cxGetFlowProcessName) {}

AggregateIPFlows::~AggregateIPFlows() {
  AggregateIPFlows* self = this;
  if (registered_.load() == this) {
    registered_notifier_.store(nullptr);
    registered_table_.store(nullptr);
  }
  registered_.compare_exchange_strong(self, nullptr);
  for (auto& table : tables_) {
    for (auto it = table.begin(); it.live(); ++it) {
      for (StatFlowInfo* fi = it->value.head; fi != nullptr;) {
        StatFlowInfo* next = fi->next;
        release_detection(fi);
        delete fi;
        fi = next;
      }
      it->value.head = nullptr;
    }
  }
  destroy_detection();
}

void* AggregateIPFlows::cast(const char* name) {
  if (std::strcmp(name, "AggregateNotifier") == 0) return static_cast<AggregateNotifier*>(this);
  if (std::strcmp(name, "AggregateIPFlows") == 0 || std::strcmp(name, class_name()) == 0)
    return this;
  return nullptr;
}

uint32_t AggregateIPFlows::notification_limit() { return g_notification_limit; }
void AggregateIPFlows::set_notification_limit(uint32_t limit) { g_notification_limit = limit; }

void AggregateIPFlows::set_best_route_lookup(platform::BestRouteCache::Lookup lookup) {
  route_cache_ = std::make_unique<platform::BestRouteCache>(lookup);
}

int AggregateIPFlows::configure(Vector<String>& conf, ErrorHandler* errh) {
  tcp_timeout_ = 1200;
  tcp_done_timeout_ = 30;
  udp_timeout_ = 120;
  icmp_timeout_ = 120;
  other_timeout_ = 30;
  reap_interval_ = 60;
  trim_interval_ = 1200;
  fragment_timeout_ = 30;
  bool icmp = false;
  String fragments_text;
  String source_name;
  Args args(this, errh);
  args.bind(conf)
      .read_uint("TCP_TIMEOUT", 0, tcp_timeout_)
      .read_uint("TCP_DONE_TIMEOUT", 0, tcp_done_timeout_)
      .read_seconds("UDP_TIMEOUT", 0, udp_timeout_, 0)
      .read_seconds("ICMP_TIMEOUT", 0, icmp_timeout_, 0)
      .read_seconds("FRAGMENT_TIMEOUT", 0, fragment_timeout_, 0)
      .read_seconds("REAP", 0, reap_interval_, 0)
      .read_bool("ICMP", 0, icmp)
      .read_filename("TRACEINFO", 0, trace_file_)
      .read_word("SOURCE", 0, source_name)
      // Read as a word: only a given value is stored.
      .read_word("FRAGMENTS", 0, fragments_text);
  if (args.check_and_commit() < 0) return -1;
  bool fragments = false;
  const bool fragments_given = fragments_text.length() > 0;
  if (fragments_given && !cp_parse_bool(fragments_text, &fragments))
    return errh->error("FRAGMENTS: expected boolean"), -1;

  smallest_timeout_ = tcp_timeout_;
  if (tcp_done_timeout_ < smallest_timeout_) smallest_timeout_ = tcp_done_timeout_;
  if (udp_timeout_ < smallest_timeout_) smallest_timeout_ = udp_timeout_;
  icmp_errors_ = icmp;
  if (fragments_given) fragments_ = fragments ? 1 : 0;

  if (source_name.length() > 0) {
    source_ = router() != nullptr ? router()->find_element(source_name, this) : nullptr;
    if (source_ == nullptr) return errh->error("SOURCE does not name an element"), -1;
  }

  void* found = nullptr;
  if (find_element_for("ostpolicy", "OstPolicy", &found, errh) < 0) return -1;
  policy_ = static_cast<OstPolicy*>(found);
  if (find_element_for("ostFirewall", "OstFirewall", &found, errh) < 0) {
    policy_ = nullptr;
    return -1;
  }
  firewall_ = static_cast<OstFirewall*>(found);

  Element* rt = router() != nullptr ? router()->find_element("rt", this) : nullptr;
  if (rt == nullptr) {
    AGG_LOG(6, "AggregateIPFlows::attach_rt", "RouteTable0 element not found-1");
    return -1;
  }
  route_table_ = static_cast<OstrelRouteTable*>(rt->cast("OstrelRouteTable"));

  register_process_instance();
  return 0;
}

int AggregateIPFlows::find_element_for(const char* name, const char* cls, void** out,
                                       ErrorHandler* errh) {
  Element* e = router() != nullptr ? router()->find_element(name, this) : nullptr;
  void* cast_to = e != nullptr ? e->cast(cls) : nullptr;
  if (cast_to != nullptr) {
    *out = cast_to;
    return 0;
  }
  errh->error("%s element not found-%d", name, e == nullptr ? 1 : 2);
  errh->message("No policy element found - skip policy match");
  return -1;
}

void AggregateIPFlows::add_handlers() {
  Router::add_read_handler(this, "dump", dump_handler, nullptr);
  Router::set_handler(this, "dump-filter", Handler::kRead | Handler::kReadParam,
                      dump_filter_handler);
  Router::add_write_handler(this, "clear", clear_write_handler, nullptr);
  Router::add_read_handler(this, "dump_file", read_handler_file, nullptr);
  Router::add_read_handler(this, "dns_dump", dns_dump_file, nullptr);
}

int AggregateIPFlows::clear_write_handler(const String&, Element* e, void*, ErrorHandler*) {
  return static_cast<AggregateIPFlows*>(e)->clear_handler();
}

int AggregateIPFlows::initialize(ErrorHandler* errh) {
  next_aggregate_ = 1;
  current_second_ = 0;
  next_reap_second_ = 0;
  timestamp_warning_given_ = false;
  last_dns_flush_ = Timestamp();
  hostapp_version_seen_ = 0;
  overlay_ = registered_overlay_view();
  if (overlay_ == nullptr) AGG_LOG(6, "AggregateIPFlows::initialize", "Unable to get overlay element");
  const bool pulled = ninputs() > 0 && input(0).active();
  if (fragments_ == 2) {
    fragments_ = pulled ? 0 : 1;
  } else if (fragments_ == 1 && pulled) {
    return errh->error("'FRAGMENTS true' is incompatible with pull; run this element in a push "
                       "context");
  }
  if (!create_ndpi_module())
    AGG_LOG(6, "AggregateIPFlows::initialize", "Unable to create the detection module");
  create_app_category_mapping(String("app_category_map.json"));
  create_category_name_mapping(String("category_id.json"));
  return 0;
}

void AggregateIPFlows::cleanup(CleanupStage) {
  for (auto& table : tables_) {
    for (auto it = table.begin(); it.live();) {
      for (StatFlowInfo* fi = it->value.head; fi != nullptr;) {
        StatFlowInfo* next = fi->next;
        notify(fi->aggregate, DELETE_AGG, fi, nullptr);
        index_table_.release(fi->flow_index);
        release_detection(fi);
        delete fi;
        fi = next;
      }
      it->value.head = nullptr;
      it = table.erase(it);
    }
  }
  for (auto it = fragment_index_.begin(); it.live();) it = fragment_index_.erase(it);
  live_flows_ = 0;
}

// ---- Packet handling.

// Fills `h` from the packet's own IPv4 header (and, when allowed, the
// header an ICMP error quotes). False when the packet has no IPv4 header
// that fits its data. Forced inline, as are the other steps a known flow's
// packet takes: the calls, and the header kept in memory for them, cost an
// eighth of its instructions.
[[gnu::always_inline]] inline bool AggregateIPFlows::locate(const Packet* p, Header* h,
                                                            bool* icmp_refused,
                                                            bool allow_icmp_error) const {
  *icmp_refused = false;
  const uint8_t* ip = p->network_header();
  const uint8_t* end = p->end_data();
  if (ip == nullptr || ip < p->data() || ip >= end) return false;
  const size_t avail = static_cast<size_t>(end - ip);
  if (avail < 20 || (ip[0] >> 4) != 4) return false;
  const size_t hl = size_t{ip[0] & 0x0Fu} * 4;
  if (hl < 20 || hl > avail) return false;
  h->own_ip = h->ip = ip;
  h->own_l4 = h->l4 = ip + hl;
  h->own_l4_avail = h->l4_avail = avail - hl;
  h->own_protocol = h->protocol = ip[9];
  h->src = load32(ip + 12);
  h->dst = load32(ip + 16);
  h->tos = ip[1];
  h->id = load16(ip + 4);
  const uint16_t frag = static_cast<uint16_t>(ip[6] << 8 | ip[7]);
  h->fragment_offset = frag & 0x1FFF;
  h->more_fragments = (frag & 0x2000) != 0;
  if (!allow_icmp_error || !icmp_errors_ || h->protocol != kProtoICMP || h->fragment_offset != 0)
    return true;
  *icmp_refused = !locate_quoted(h);
  return true;
}

// ICMP errors count with the flow of the packet they quote; other ICMP is
// left alone (false).
bool AggregateIPFlows::locate_quoted(Header* h) {
  const uint8_t type = h->l4_avail >= 1 ? h->l4[0] : 0;
  const bool error_type = type == 3 || type == 4 || type == 5 || type == 11 || type == 12;
  if (!error_type || h->l4_avail < 8 + 20) return false;
  const uint8_t* q = h->l4 + 8;
  const size_t qhl = size_t{q[0] & 0x0Fu} * 4;
  if (qhl < 20 || h->l4_avail < 8 + qhl) return false;
  h->ip = q;
  h->l4 = q + qhl;
  h->l4_avail = h->own_l4_avail - 8 - qhl;
  h->protocol = q[9];
  h->src = load32(q + 12);
  h->dst = load32(q + 16);
  h->quoted = true;
  return true;
}

int AggregateIPFlows::handle_packet(Packet* p) {
  Header h;
  bool icmp_refused = false;
  if (!locate(p, &h, &icmp_refused, true)) return 1;
  if (p->aggregate_anno() != 0) return 0;
  if (p->timestamp().nsec() == 0) {
    p->set_timestamp(Timestamp::now());
    if (!timestamp_warning_given_) {
      timestamp_warning_given_ = true;
      AGG_LOG(4, "AggregateIPFlows::handle_packet", "%s: warning: packet received without timestamp",
              name().c_str());
    }
  }
  if (icmp_refused) return 1;
  if (h.src == 0 && h.dst == 0) return 1;
  route_time_ = p->timestamp();
  const uint32_t dscp = h.tos >> 2;
  const bool fragment = h.more_fragments || h.fragment_offset != 0;
  // The packet's time (the capture stamps each batch once) stands for the
  // current time: no clock reading per packet.
  const Timestamp now = p->timestamp();
  const int64_t now_sec = whole_seconds(now);
  int direction = h.quoted ? 2 : 0;
  StatFlowInfo* fi = nullptr;

  if (h.fragment_offset == 0) {
    const int table = table_of(h.protocol);
    HostPair key;
    const bool src_higher = h.src > h.dst;
    key.lower = src_higher ? h.dst : h.src;
    key.higher = src_higher ? h.src : h.dst;
    bool reversed = src_higher;
    uint32_t lookup_ports = 0;
    if (h.protocol == kProtoTCP || h.protocol == kProtoUDP) {
      if (h.l4_avail < 4) return 1;
      const uint32_t ports = load32(h.l4);
      key.ports = src_higher ? rotate(ports) : ports;
      // Between an address and itself the direction comes from the ports.
      if (h.src == h.dst) reversed = ((ports * 65535u) & 0x80000000u) != 0;
      lookup_ports = reversed ? rotate(ports) : ports;
    } else if (h.protocol == kProtoICMP) {
      if (h.l4_avail < 8) return 1;
      key.ports = load16(h.l4 + 4);
      lookup_ports = key.ports;
    }
    HostPairInfo* pair = &tables_[table].find_insert(key, HostPairInfo())->value;
    fi = find_or_make(table, pair, lookup_ports, dscp, reversed, p, h, now_sec, false);
    if (fi == nullptr) {
      if (pair->head == nullptr) tables_[table].erase(tables_[table].find(key));
      return 1;
    }
    direction ^= reversed ? 1 : 0;
    detect_process_name(fi, p);

    if (p->hop_count_anno() == 1 && p->overlay_path_anno() != 0 && fi->overlay_bound == 0) {
      fi->path_id = p->overlay_path_anno();
      fi->overlay_bound = 1;
      fi->dest_type = 2;
      if (overlay_ != nullptr) {
        OverlayPathInfo info;
        if (overlay_->path_info(fi->path_id, &info)) fi->tx_overlay_addr = fi->next_hop = info.peer;
        fi->rx_overlay_addr = overlay_->overlay_address();
      }
    }
    direction ^= fi->reverse;
    p->set_aggregate_anno(fi->aggregate);
    p->set_flow_index_anno(fi->flow_index);
    p->set_paint_anno(static_cast<uint8_t>(direction));
    if (update_due(fi, now)) notify(fi->aggregate, UPDATE_AGG, fi, p);
    fi->ip_id = h.id;
    if (fragments_ == 1) update_fragment_index(fi, fragment);
  } else {
    if (fragments_ != 1) return 1;
    fi = find_fragment_flow(h, dscp);
    if (fi == nullptr) return 0;
    move_to_front(fi);
  }

  if (fi->own_address) p->set_route_flags_anno(p->route_flags_anno() | kRouteFlagWalk);
  p->set_direction_anno(packet_outbound(p) ? kDirectionOutbound : kDirectionInbound);
  detect_now_ = now;
  detect(p, fi);
  if (!apply_policy(fi, p, h, dscp)) return 1;
  current_second_ = static_cast<uint32_t>(now_sec);
  statistics(fi, p, h, direction, now);
  return 0;
}

bool AggregateIPFlows::update_due(const StatFlowInfo* fi, Timestamp now) {
  return (now - fi->last_report_time).nsec() > kUpdateIntervalNsec;
}

int AggregateIPFlows::best_route(uint32_t destination, IPAddress* dest, IPAddress* gateway) {
  platform::BestRoute route;
  const uint32_t error = route_cache_->get(destination, route_time_.msec(), &route);
  if (error != 0) {
    GRAPH_LOG_LERR_LIMITED("GetBestRoute");
    return -1;
  }
  *dest = IPAddress(route.destination);
  *gateway = IPAddress(route.gateway);
  return 0;
}

// Asked only while some policy row matches on DSCP.
bool AggregateIPFlows::dscp_keying(const Header& h, bool reversed, uint32_t dscp) {
  uint32_t src = reversed ? h.dst : h.src;
  uint32_t dst = reversed ? h.src : h.dst;
  uint16_t sport = 0, dport = 0;
  if ((h.protocol == kProtoTCP || h.protocol == kProtoUDP) && h.l4_avail >= 4) {
    sport = ntohs(load16(h.l4));
    dport = ntohs(load16(h.l4 + 2));
    if (reversed) std::swap(sport, dport);
  }
  IPAddress route_dest, gateway;
  uint8_t internet = 0;
  if (best_route(dst, &route_dest, &gateway) == 0) internet = route_dest.addr() == 0 ? 1 : 0;
  const int32_t index = policy_->find_matching_policy(src, dst, sport, dport,
                                                      static_cast<int32_t>(dscp), h.protocol, 0, 0,
                                                      internet, nullptr);
  const policy* row = policy_->policy_row(index);
  return row != nullptr && row->match.dscp != -1;
}

// A matching flow is over when the packet starts a new connection on its
// ports: silent past its table's time-out, or, for TCP, ended by FINs or RST
// and met by a pure SYN while a firewall is attached.
[[gnu::always_inline]] inline bool AggregateIPFlows::flow_finished(const StatFlowInfo* fi,
                                                                   int table, const Header& h,
                                                                   Timestamp now,
                                                                   int64_t now_sec) const {
  uint32_t limit;
  if (h.protocol != kProtoTCP) {
    limit = table == kTableUDP    ? udp_timeout_
            : table == kTableICMP ? icmp_timeout_
                                  : other_timeout_;
  } else {
    const bool own_tcp = !h.quoted && h.own_protocol == kProtoTCP && h.own_l4_avail >= 14;
    if (fi->fin_state != 3 || !own_tcp || firewall_ == nullptr || (h.own_l4[13] & 0x37) != 0x02)
      return false;
    limit = tcp_done_timeout_;
  }
  if (smallest_timeout_ > limit) limit = smallest_timeout_;
  // Whole seconds differ by no more than the whole gap between the stamps:
  // a flow heard from within the limit is not over, and the two divisions
  // are left to the rare flow that is silent that long.
  int64_t gap;
  if (!__builtin_sub_overflow(now.nsec(), fi->last_time.nsec(), &gap) &&
      gap <= int64_t{limit} * Timestamp::kNsecPerSec)
    return false;
  return now_sec - whole_seconds(fi->last_time) > int64_t{limit};
}

[[gnu::always_inline]] inline AggregateIPFlows::StatFlowInfo* AggregateIPFlows::find_or_make(
    int table, HostPairInfo* pair, uint32_t ports, uint32_t dscp, bool reversed, Packet* p,
    const Header& h, int64_t now_sec, bool find_only) {
  const bool keyed =
      policy_ != nullptr && policy_->dscp_match_present() != 0 && dscp_keying(h, reversed, dscp);
  StatFlowInfo* prev = nullptr;
  for (StatFlowInfo* fi = pair->head; fi != nullptr; prev = fi, fi = fi->next) {
    if (fi->ports != ports || (keyed && fi->dscp_key != dscp)) continue;
    if (!find_only && flow_finished(fi, table, h, p->timestamp(), now_sec))
      reuse_flow(fi, reversed, keyed ? dscp : 0, p);
    if (prev != nullptr) {
      prev->next = fi->next;
      fi->next = pair->head;
      pair->head = fi;
    }
    return fi;
  }
  if (find_only) return nullptr;
  return make_flow(table, pair, ports, keyed ? dscp : 0, reversed, p, h, now_sec);
}

// A finished flow's record for the packet's new connection: a new aggregate
// id and index; addresses, ports, marks, path and host are kept.
void AggregateIPFlows::reuse_flow(StatFlowInfo* fi, bool reversed, uint32_t dscp_key, Packet* p) {
  // A connection told at its FIN or RST is not told twice.
  if (!fi->delete_notified) notify(fi->aggregate, DELETE_AGG, fi, nullptr);
  fi->reset();
  fi->aggregate = next_aggregate_++;
  release_flow_index(fi);
  take_flow_index(fi);
  fi->reverse = reversed ? 1 : 0;
  fi->fin_state = 0;
  fi->delete_notified = 0;
  fi->bidirectional = 0;
  fi->dir_packets[0] = fi->dir_packets[1] = 0;
  fi->policy_index = 0;
  fi->overlay_bound = 0;
  fi->policy_version = 0;
  fi->pbr_resolved = 0;
  fi->next_hop = IPAddress();
  fi->syn_seen = 1;
  fi->dscp_key = dscp_key;
  fi->route_index = -1;
  fi->fw_state = FwFlowState();
  statistics_init(fi, p);
  fi->tx_if[0] = '\0';
  fi->new_announced = 0;
  copy_name(fi->rx_if, "LAN");
  route_information(fi);
}

AggregateIPFlows::StatFlowInfo* AggregateIPFlows::make_flow(int table, HostPairInfo* pair,
                                                            uint32_t ports, uint32_t dscp_key,
                                                            bool reversed, Packet* p,
                                                            const Header& h, int64_t now_sec) {
  if (live_flows_ >= flow_cap_) {
    if (!full_warned_ || now_sec - full_warning_sec_ >= kFullWarningSeconds ||
        now_sec < full_warning_sec_) {
      full_warned_ = true;
      full_warning_sec_ = now_sec;
      AGG_LOG(6, "AggregateIPFlows::handle_packet", "WARNING: flow table is full");
    }
    return nullptr;
  }
  auto* fi = new (std::nothrow) StatFlowInfo;
  if (fi == nullptr) return nullptr;
  fi->aggregate = next_aggregate_;
  fi->ip_id = h.id;
  if (p->snat_pattern_anno() != 0) {
    fi->path_id = uint32_t{p->anno_u16(61)} * 65536u + uint32_t{p->anno_u8(69)} * 256u +
                  p->anno_u8(70);
  }
  fi->dscp_key = dscp_key;
  fi->first_direction = packet_outbound(p) ? 2 : 1;
  fi->reverse = reversed ? 1 : 0;
  fi->src_addr = IPAddress(h.src);
  fi->dst_addr = IPAddress(h.dst);
  if ((h.protocol == kProtoTCP || h.protocol == kProtoUDP) && h.l4_avail >= 4) {
    fi->src_port = ntohs(load16(h.l4));
    fi->dst_port = ntohs(load16(h.l4 + 2));
  } else if (h.protocol == kProtoICMP && h.l4_avail >= 8) {
    fi->dst_port = load16(h.l4 + 4);
  }
  fi->protocol = h.protocol;
  statistics_init(fi, p);
  fi->ports = ports;
  fi->pair = pair;
  fi->table = static_cast<uint8_t>(table);
  fi->next = pair->head;
  pair->head = fi;
  ++next_aggregate_;
  ++live_flows_;
  take_flow_index(fi);
  copy_name(fi->rx_if, "LAN");
  route_information(fi);
  return fi;
}

void AggregateIPFlows::statistics_init(StatFlowInfo* fi, const Packet* p) {
  fi->first_time = p->timestamp();
  release_detection(fi);
  fi->detection = FlowDetection();
  fi->process_name[0] = '\0';
  initial_application(fi);
}

void AggregateIPFlows::route_information(StatFlowInfo* fi) {
  if (overlay_ != nullptr) {
    const uint32_t vip = client_vip(*overlay_).addr();
    fi->own_address = vip != 0 && (vip == fi->src_addr.addr() || vip == fi->dst_addr.addr());
  }
  IPAddress dest, gateway;
  if (best_route(fi->dst_addr.addr(), &dest, &gateway) == 0) {
    fi->route_dest = dest;
    fi->route_gateway = gateway;
  }
}

void AggregateIPFlows::take_flow_index(StatFlowInfo* fi) {
  fi->flow_index = index_table_.add(fi);
  if (fi->flow_index == 0) {
    ROUTER_LOG_LIMITED(6, "AggregateIPFlows::add_to_flow_idx_array",
                       "WARNING: flow index table is full, cannot add finfo=%p",
                       static_cast<void*>(fi));
  }
}

void AggregateIPFlows::release_flow_index(StatFlowInfo* fi) {
  index_table_.release(fi->flow_index);
  fi->flow_index = 0;
}

namespace {

AggregateIPFlows::FragmentKey fragment_key(uint32_t a, uint32_t b, uint16_t id, uint8_t protocol) {
  AggregateIPFlows::FragmentKey key;
  key.lower = a < b ? a : b;
  key.higher = a < b ? b : a;
  key.id_proto = uint32_t{id} << 8 | protocol;
  return key;
}

}  // namespace

void AggregateIPFlows::unindex_fragment(StatFlowInfo* fi) {
  if (!fi->fragment_indexed) return;
  fi->fragment_indexed = 0;
  // The entry may since have been taken over by another flow.
  auto it = fragment_index_.find(
      fragment_key(fi->src_addr.addr(), fi->dst_addr.addr(), fi->fragment_id, fi->protocol));
  if (it.live() && it->value == fi) fragment_index_.erase(it);
}

// The index holds the flows whose latest packet was a first fragment, by
// address pair, identification and protocol: what a later fragment of the
// same datagram carries.
void AggregateIPFlows::update_fragment_index(StatFlowInfo* fi, bool first_fragment) {
  unindex_fragment(fi);
  if (!first_fragment) return;
  const FragmentKey key =
      fragment_key(fi->src_addr.addr(), fi->dst_addr.addr(), fi->ip_id, fi->protocol);
  fragment_index_.find_insert(key, fi)->value = fi;
  fi->fragment_indexed = 1;
  fi->fragment_id = fi->ip_id;
}

AggregateIPFlows::StatFlowInfo* AggregateIPFlows::find_fragment_flow(const Header& h,
                                                                     uint32_t dscp) {
  auto it = fragment_index_.find(fragment_key(h.src, h.dst, h.id, h.protocol));
  if (!it.live()) return nullptr;
  StatFlowInfo* fi = it->value;
  if (fi->dscp_key != 0 && fi->dscp_key != dscp) return nullptr;
  return fi;
}

AggregateIPFlows::StatFlowInfo* AggregateIPFlows::scan_fragment_flow(const Packet* p) {
  Header h;
  bool refused;
  if (!locate(p, &h, &refused, false)) return nullptr;
  const uint32_t dscp = h.tos >> 2;
  for (auto it = tables_[table_of(h.protocol)].begin(); it.live(); ++it) {
    for (StatFlowInfo* fi = it->value.head; fi != nullptr; fi = fi->next) {
      const bool same_pair = (fi->src_addr.addr() == h.src && fi->dst_addr.addr() == h.dst) ||
                             (fi->src_addr.addr() == h.dst && fi->dst_addr.addr() == h.src);
      if (same_pair && fi->ip_id == h.id && (fi->dscp_key == 0 || fi->dscp_key == dscp)) return fi;
    }
  }
  return nullptr;
}

void AggregateIPFlows::move_to_front(StatFlowInfo* fi) {
  HostPairInfo* pair = fi->pair;
  if (pair == nullptr || pair->head == fi) return;
  for (StatFlowInfo* prev = pair->head; prev != nullptr; prev = prev->next) {
    if (prev->next != fi) continue;
    prev->next = fi->next;
    fi->next = pair->head;
    pair->head = fi;
    return;
  }
}

AggregateIPFlows::StatFlowInfo* AggregateIPFlows::find_flow_info(Packet* p) {
  Header h;
  bool refused;
  if (!locate(p, &h, &refused, false)) return nullptr;
  if (h.src == 0 && h.dst == 0) return nullptr;
  if (h.fragment_offset != 0) {
    if (fragments_ != 1) return nullptr;
    return find_fragment_flow(h, h.tos >> 2);
  }
  const int table = table_of(h.protocol);
  HostPair key;
  const bool src_higher = h.src > h.dst;
  key.lower = src_higher ? h.dst : h.src;
  key.higher = src_higher ? h.src : h.dst;
  bool reversed = src_higher;
  uint32_t lookup_ports = 0;
  if (h.protocol == kProtoTCP || h.protocol == kProtoUDP) {
    if (h.l4_avail < 4) return nullptr;
    const uint32_t ports = load32(h.l4);
    key.ports = src_higher ? rotate(ports) : ports;
    if (h.src == h.dst) reversed = ((ports * 65535u) & 0x80000000u) != 0;
    lookup_ports = reversed ? rotate(ports) : ports;
  } else if (h.protocol == kProtoICMP) {
    if (h.l4_avail < 8) return nullptr;
    key.ports = load16(h.l4 + 4);
    lookup_ports = key.ports;
  }
  auto it = tables_[table].find(key);
  if (!it.live()) return nullptr;
  return find_or_make(table, &it->value, lookup_ports, h.tos >> 2, reversed, p, h,
                      whole_seconds(p->timestamp()), true);
}

// ---- Policy and QoS decision.

// The flow's policy row, priority, class and marks from the current table.
void AggregateIPFlows::match_policy(StatFlowInfo* fi, const Header& h, uint32_t dscp,
                                    uint32_t version) {
  if (fi->policy_version != 0) {
    AGG_LOG(6, "AggregateIPFlows::handle_packet",
            "Agg: Policy table version changed f:%u old %u new %u, do lookup again", fi->aggregate,
            fi->policy_version, version);
  }
  // The record keeps the ports as the flow's first sender sent them,
  // whichever of the two addresses is the host pair's lower one.
  const uint16_t sport = fi->protocol == kProtoICMP ? 0 : fi->src_port;
  const uint16_t dport = fi->dst_port;
  const int32_t index = policy_->find_matching_policy(
      load32(h.own_ip + 12), load32(h.own_ip + 16), sport, dport, static_cast<int32_t>(dscp),
      h.own_protocol, fi->detection.app_id, fi->detection.category,
      fi->route_dest.addr() == 0 ? 1 : 0, fi->process_name);
  fi->policy_index = static_cast<uint16_t>(index < 0 ? 0 : index);
  fi->policy_version = version;
  const policy* row = policy_->policy_row(index);
  if (row != nullptr) {
    const policy_action& a = row->action;
    fi->priority = static_cast<uint32_t>(a.priority);
    fi->traffic_class = static_cast<uint32_t>(a.traffic_class);
    fi->dscp_mark = static_cast<uint32_t>(a.dscp_inner);
    fi->outer_dscp = static_cast<uint32_t>(a.dscp_outer);
  }
  ClassDefaults d = category_defaults(fi->detection.category);
  if (fi->detection.app_id == kAppRTP && fi->detection.subcategory == kSubcategoryAudio) d = {1, 1};
  if (fi->priority == 0) fi->priority = d.priority;
  if (fi->traffic_class == 0) fi->traffic_class = d.traffic_class;
}

// The next hop the flow's row names, once per row; false when the row's
// next hop cannot be read.
bool AggregateIPFlows::resolve_pbr(StatFlowInfo* fi) {
  String text;
  if (policy_->get_pbr_next_hop(fi->policy_index, &text) < 0) return false;
  fi->pbr_resolved = 1;
  if (text.length() > 0) {
    IPAddress hop;
    if (!cp_parse_ip_address(text, &hop)) hop = IPAddress();
    fi->next_hop = hop;
    fi->overlay_bound = 1;
    fi->dest_type = 2;
    fi->route_index = 0;
    fi->tx_overlay_addr = hop;
    if (overlay_ != nullptr) fi->rx_overlay_addr = overlay_->overlay_address();
  }
  return true;
}

[[gnu::always_inline]] inline bool AggregateIPFlows::apply_policy(StatFlowInfo* fi, Packet* p,
                                                                  const Header& h, uint32_t dscp) {
  const bool outbound = p->direction_anno() == kDirectionOutbound;
  const uint32_t version = policy_ != nullptr ? policy_->policy_table_version() : 0;
  if (policy_ != nullptr && outbound && (fi->policy_version == 0 || fi->policy_version != version))
    match_policy(fi, h, dscp, version);

  if (fi->next_hop.addr() != 0 && overlay_ != nullptr && !overlay_->peer_has_path_up(fi->next_hop)) {
    fi->pbr_resolved = 0;
    fi->route_index = -1;
  }

  // The row is read only while the flow's index belongs to the current
  // table: before the first lookup, and after a rebuild, it may name
  // another row or none.
  policy* row = nullptr;
  if (policy_ != nullptr && fi->policy_version != 0 && fi->policy_version == version) {
    row = const_cast<policy*>(policy_->policy_row(fi->policy_index));
  }
  if (row != nullptr && fi->pbr_resolved == 0 && fi->route_index == -1 && !resolve_pbr(fi))
    return false;

  if (row != nullptr && row->action.rate_limit_enabled) {
    TokenBucket& bucket = outbound ? row->tx_bucket : row->rx_bucket;
    bucket.refill();
    const uint64_t scale = bucket.token_scale();
    const uint64_t need = 65536u * scale;
    if (need > 0xFFFFFFFFu || need > bucket.level()) {
      fi->last_time = p->timestamp();
      return false;
    }
    uint64_t cost = uint64_t{p->length()} * scale;
    if (cost > 0xFFFFFFFFu) cost = 0xFFFFFFFFu;
    bucket.set_level(cost >= bucket.level() ? 0 : bucket.level() - static_cast<uint32_t>(cost));
  }

  if (fi->priority == kPriorityDrop) {
    fi->last_time = p->timestamp();
    return false;
  }
  if (fi->overlay_bound != 0 && policy_ != nullptr &&
      policy_->device_classification() == kUnmanaged) {
    fi->last_time = p->timestamp();
    return false;
  }

  p->set_dst_ip_anno(IPAddress(load32(h.own_ip + 16)));
  p->set_policy_index_anno(static_cast<uint8_t>(fi->policy_index));
  p->set_sched_class_anno(static_cast<uint8_t>(fi->priority));
  p->set_sched_subclass_anno(static_cast<uint8_t>(fi->traffic_class));
  p->set_flow_qos_anno(static_cast<uint8_t>(fi->dscp_mark));
  p->set_dscp_anno(static_cast<uint8_t>(fi->outer_dscp));
  if (fi->next_hop.addr() != 0) p->set_next_hop_anno(fi->next_hop);
  if (fi->route_index != -1 && outbound && fi->first_direction == 2)
    p->set_route_table_anno(static_cast<uint8_t>(fi->route_index));
  if (fi->traffic_class == 1 && fi->priority == 1) p->set_replicate_anno(1);
  return true;
}

// ---- Statistics.

[[gnu::always_inline]] inline void AggregateIPFlows::statistics(StatFlowInfo* fi, Packet* p,
                                                                const Header& h, int direction,
                                                                Timestamp now) {
  const Timestamp ts = p->timestamp();
  fi->last_time = ts;
  bool delete_due = false;
  const bool tcp = h.own_protocol == kProtoTCP && h.fragment_offset == 0 && !h.quoted &&
                   (direction == 0 || direction == 1) && h.own_l4_avail >= 14;
  if (tcp) {
    const uint8_t flags = h.own_l4[13];
    const bool syn = (flags & 0x02) != 0, ack = (flags & 0x10) != 0;
    const bool fin = (flags & 0x01) != 0, rst = (flags & 0x04) != 0;
    if (syn && !ack) fi->syn_time = ts;
    if (syn && ack) fi->synack_time = ts;
    if (ack && !syn && fi->ack_time.nsec() == 0) fi->ack_time = ts;
    if (fin) fi->fin_time = ts;
    if (rst) fi->rst_time = ts;
    if (rst) {
      fi->fin_state = 3;
      if (fi->syn_seen && !fi->delete_notified) delete_due = true;
    } else if (fin) {
      fi->fin_state |= static_cast<uint8_t>(1u << direction);
      if (fi->fin_state == 3 && fi->syn_seen && !fi->delete_notified) delete_due = true;
    } else if (syn) {
      fi->syn_seen = 1;
      fi->fin_state = 0;
    }
    if (delete_due) fi->delete_notified = 1;
  }
  if (direction == 0 || direction == 1) {
    ++fi->packets[direction];
    ++fi->dir_packets[direction];
    if (fi->protocol == kProtoTCP && fi->dir_packets[0] > 1 && fi->dir_packets[1] > 1)
      fi->bidirectional = 1;
    fi->bytes[direction] += p->length();
    if (fi->packets[0] + fi->packets[1] > 1 && update_due(fi, now))
      notify(fi->aggregate, UPDATE_AGG, fi, p);
  }
  if (delete_due) notify(fi->aggregate, DELETE_AGG, fi, nullptr);
}

// ---- Push and pull.

Packet* AggregateIPFlows::mark_dscp(Packet* p) {
  const uint8_t mark = p->flow_qos_anno();
  if (mark == 0 || mark == 255) return p;
  p = p->make_unshared(0, 0);
  if (p == nullptr) return nullptr;
  uint8_t* ip = p->network_header();
  if (ip == nullptr || ip < p->data() || p->end_data() - ip < 20) return p;
  const uint8_t old_tos = ip[1];
  const uint8_t new_tos = static_cast<uint8_t>((mark << 2) | (old_tos & 0x03));
  if (new_tos == old_tos) return p;
  ip[1] = new_tos;
  // RFC 1624: HC' = ~(~HC + ~m + m'), over the 16-bit word holding the TOS.
  const uint16_t old_word = static_cast<uint16_t>(ip[0] << 8 | old_tos);
  const uint16_t new_word = static_cast<uint16_t>(ip[0] << 8 | new_tos);
  const uint16_t hc = static_cast<uint16_t>(ip[10] << 8 | ip[11]);
  uint32_t sum = static_cast<uint16_t>(~hc) + static_cast<uint16_t>(~old_word) + uint32_t{new_word};
  sum = (sum & 0xFFFF) + (sum >> 16);
  sum = (sum & 0xFFFF) + (sum >> 16);
  const uint16_t result = static_cast<uint16_t>(~sum);
  ip[10] = static_cast<uint8_t>(result >> 8);
  ip[11] = static_cast<uint8_t>(result);
  return p;
}

void AggregateIPFlows::push(int, Packet* p) {
  if (p->decap_mark_anno() != kDecapMark && p->msgtype() != 1) {
    output(0).push(p);
    return;
  }
  const int result = handle_packet(p);
  if (current_second_ >= next_reap_second_) next_reap_second_ = reap();
  after_packet();
  if (result == 0) {
    p = mark_dscp(p);
    if (p != nullptr) output(0).push(p);
    return;
  }
  if (result == 1 && noutputs() > 1) {
    output(1).push(p);
    return;
  }
  p->release();
}

Packet* AggregateIPFlows::pull(int) {
  Packet* p = input(0).pull();
  if (p == nullptr) return nullptr;
  if (p->decap_mark_anno() != kDecapMark && p->msgtype() != 1) return p;
  const int result = handle_packet(p);
  if (current_second_ >= next_reap_second_) next_reap_second_ = reap();
  after_packet();
  if (result == 0) return mark_dscp(p);
  if (result == 1 && noutputs() > 1) {
    output(1).push(p);
    return nullptr;
  }
  p->release();
  return nullptr;
}

// ---- Expiry.

void AggregateIPFlows::delete_flow(StatFlowInfo* fi) {
  unindex_fragment(fi);
  release_detection(fi);
  release_flow_index(fi);
  --live_flows_;
  delete fi;
}

void AggregateIPFlows::reap_table(int table, uint32_t timeout, uint32_t done_timeout,
                                  uint32_t* notified, uint32_t* skipped, uint64_t* walked) {
  const uint32_t t_threshold = current_second_ - timeout;
  const uint32_t d_threshold = current_second_ - done_timeout;
  for (auto it = tables_[table].begin(); it.live();) {
    StatFlowInfo** link = &it->value.head;
    while (*link != nullptr) {
      StatFlowInfo* fi = *link;
      ++*walked;
      uint32_t threshold = t_threshold;
      if (table == kTableTCP && (!fi->bidirectional || fi->fin_state == 3)) threshold = d_threshold;
      // Signed 32-bit difference, computed without overflow.
      const uint32_t last = static_cast<uint32_t>(whole_seconds(fi->last_time));
      if (((last - threshold) & 0x80000000u) == 0) {
        link = &fi->next;
        continue;
      }
      // TCP flows already told at their FIN or RST are not told again.
      if (table != kTableTCP || !fi->delete_notified) {
        if (*notified <= g_notification_limit) {
          notify(fi->aggregate, DELETE_AGG, fi, nullptr);
          ++*notified;
        } else {
          ++*skipped;
        }
      }
      *link = fi->next;
      delete_flow(fi);
    }
    if (it->value.head == nullptr)
      it = tables_[table].erase(it);
    else
      ++it;
  }
}

uint32_t AggregateIPFlows::reap() {
  constexpr char kTag[] = "AggregateIPFlows::reap";
  if (next_reap_second_ == 0) return current_second_ + reap_interval_;
  if (next_trim_second_ != 0 && current_second_ > next_trim_second_) g_notification_limit = 128;
  const Timestamp start = Timestamp::now();
  uint32_t notified = 0, skipped = 0;
  uint64_t walked = 0;
  reap_table(kTableTCP, tcp_timeout_, tcp_done_timeout_, &notified, &skipped, &walked);
  reap_table(kTableUDP, udp_timeout_, udp_timeout_, &notified, &skipped, &walked);
  reap_table(kTableICMP, icmp_timeout_, icmp_timeout_, &notified, &skipped, &walked);
  reap_table(kTableOther, other_timeout_, other_timeout_, &notified, &skipped, &walked);
  const Timestamp done = Timestamp::now();
  if (next_trim_second_ == 0) next_trim_second_ = current_second_ + trim_interval_;
  if (current_second_ > next_trim_second_) {
    const Timestamp a = Timestamp::now();
    const Timestamp b = Timestamp::now();
    AGG_LOG(6, kTag, "completed trim in %llu usecs",
            static_cast<unsigned long long>((b - a).nsec() / 1000 % 1000000));
    next_trim_second_ = current_second_ + trim_interval_;
    g_notification_limit = 1500;
  }
  if (reap_interval_ != 1200) reap_interval_ = reap_interval_ * 2 < 1200 ? reap_interval_ * 2 : 1200;
  AGG_LOG(6, kTag, "completed reap in %llu msecs for %llu flows, notified %u skipped %u. next in %u secs",
          static_cast<unsigned long long>((done - start).msec()),
          static_cast<unsigned long long>(walked), notified, skipped, reap_interval_);
  return current_second_ + reap_interval_;
}

int AggregateIPFlows::clear_handler() {
  const uint32_t current = current_second_;
  const uint32_t next_reap = next_reap_second_;
  const uint32_t interval = reap_interval_;
  const uint32_t next_trim = next_trim_second_;
  current_second_ = next_reap_second_ = 2147483647;
  reap();
  current_second_ = current;
  next_reap_second_ = next_reap;
  reap_interval_ = interval;
  next_trim_second_ = next_trim;
  return 0;
}
