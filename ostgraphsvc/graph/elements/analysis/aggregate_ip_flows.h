// AggregateIPFlows: the element on the main packet road that turns packets
// into flows ("agg" in the graph, between the L3 classifier and the route
// table).
//
// For every captured or decapsulated IPv4 packet it finds or makes the flow
// (four tables, TCP, UDP, ICMP and other, keyed by the unordered host pair
// and the ports), writes the flow's aggregate id, index and the packet's
// direction into the annotations, detects the flow's application and its
// owning process (flow_detection.h), takes the flow's policy row and applies
// it (drop, DSCP, policer, priority, class, replicate, PBR next hop,
// unmanaged block), counts the packet and notices the end of TCP
// connections. Idle flows are removed by `reap`, run from push and pull as
// packet time passes. Listeners hear UPDATE_AGG and DELETE_AGG from here;
// NEW_AGG comes from the capture element's drain, which finds the flow
// through `process_instance()` and `record(flow_index_anno)`.
//
// Ports "1/1-2": input 0; output 0 for aggregated packets, output 1 (when
// present) for packets not aggregated or refused by the policy.
//
// Bounds: headers are read only within the packet's data (transport header
// from the IPv4 header length, ICMP quotes alike); a packet that cannot be
// keyed is not aggregated. At most `flow_cap()` flows live at once (past it
// no flow is made and a warning is logged at most every 120 s); every flow
// gets an index while one of the index table's slots is free.
//
// Process-wide: the first element whose configuration succeeds becomes the
// aggregator the drain reports through; it unregisters when destroyed.
//
// Ownership: the element owns its flows, host pair entries and index table;
// listeners are not owned and must outlive the element or be removed.
//
// Threads: configure and initialize on the thread that builds the router;
// push, pull, reap, handlers and the drain's calls on the packet thread. The
// policy table version is read without a lock (a stale read repeats the
// lookup on a later packet).
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_ANALYSIS_AGGREGATE_IP_FLOWS_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_ANALYSIS_AGGREGATE_IP_FLOWS_H_

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "graph/element.h"
#include "graph/hash_map.h"
#include "graph/hash_table.h"
#include "graph/ipaddress.h"
#include "graph/string.h"
#include "graph/timestamp.h"
#include "graph/vector.h"
#include "ostgraphsvc/graph/elements/analysis/flow_detection.h"
#include "ostgraphsvc/graph/elements/policy/ost_firewall.h"
#include "platform/adapters/best_route.h"

class Handler;
class Json;
class StringBuilder;
class OstPolicy;
class OstrelRouteTable;
class OverlayView;
class Packet;
struct sockaddr;

enum AggregateEvent : int {
  NEW_AGG = 0,
  DELETE_AGG = 1,
  UPDATE_AGG = 2,
  UPDATE_FW = 3,
};

class AggregateListener;

// The listener list of the flow element.
class AggregateNotifier {
 public:
  // Appends `listener` unless it is already there.
  void add_listener(AggregateListener* listener);
  void remove_listener(AggregateListener* listener);
  const Vector<AggregateListener*>& listeners() const { return listeners_; }

  // Calls every listener in registration order.
  inline void notify(uint32_t aggregate_id, AggregateEvent event, void* record, const Packet* p);

 private:
  Vector<AggregateListener*> listeners_;
};

class AggregateIPFlows : public Element, public AggregateNotifier {
 public:
  static constexpr uint32_t kIndexSlots = 1000000;
  static constexpr uint32_t kMaxFlows = 1000000;
  static constexpr uint32_t kNoPathId = 0xFFFFFFFF;

  // Host pair key: lower address, higher address (as stored, compared as
  // little-endian words) and the ports word, ICMP identifier or 0.
  struct HostPair {
    uint32_t lower = 0;
    uint32_t higher = 0;
    uint32_t ports = 0;
    friend bool operator==(const HostPair& a, const HostPair& b) {
      return a.lower == b.lower && a.higher == b.higher && a.ports == b.ports;
    }
  };
  friend uint32_t hashcode(const HostPair& k) {
    // One-at-a-time over the 12 bytes in memory order, unrolled. A byte's
    // step (h + b) * 1025 is taken as h + (h << 10) + b * 1025, so that the
    // byte's share is ready before h and each step costs four dependent
    // operations instead of five: the hash is most of a known flow's lookup.
    unsigned char bytes[12];
    std::memcpy(bytes, &k, sizeof bytes);
    uint32_t h = 0;
#pragma GCC unroll 12
    for (unsigned char b : bytes) {
      const uint32_t share = b * 1025u;
      h = (h + share) + (h << 10);
      h ^= h >> 6;
    }
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
  }

  // Fragment index key: address pair (lower first), identification << 8 |
  // protocol.
  struct FragmentKey {
    uint32_t lower = 0;
    uint32_t higher = 0;
    uint32_t id_proto = 0;
    friend bool operator==(const FragmentKey& a, const FragmentKey& b) {
      return a.lower == b.lower && a.higher == b.higher && a.id_proto == b.id_proto;
    }
    friend uint32_t hashcode(const FragmentKey& k) {
      return hashcode(HostPair{k.lower, k.higher, k.id_proto});
    }
  };

  struct StatFlowInfo;
  struct HostPairInfo {
    StatFlowInfo* head = nullptr;  // most recently used first
  };

  // Fields are grouped so that what every packet touches shares the first
  // cache lines of the record (the names, not the grouping, are what other
  // components rely on).
  struct FlowInfo {
    virtual ~FlowInfo() = default;
    // Inline, as is the override: the record's type information is then
    // emitted wherever it is used, so the capture drain, which reads
    // records, needs no link to this library.
    virtual void reset() { last_time = last_report_time = Timestamp(); }

    // Per packet.
    uint32_t ports = 0;
    uint32_t aggregate = 0;
    StatFlowInfo* next = nullptr;
    uint32_t flow_index = 0;
    uint32_t dscp_key = 0;
    Timestamp last_time;
    Timestamp last_report_time;
    uint16_t ip_id = 0;
    uint16_t policy_index = 0;
    uint8_t protocol = 0;
    uint8_t fin_state = 0;  // bit d: FIN seen from direction d; 3: over
    uint8_t reverse = 0;
    uint8_t first_direction = 0;
    uint8_t dest_type = 0;
    uint8_t pbr_resolved = 0;
    uint8_t new_announced = 0;
    uint8_t delete_notified = 0;
    uint8_t syn_seen = 0;
    uint8_t bidirectional = 0;
    uint32_t overlay_bound = 0;
    uint32_t policy_version = 0;
    uint32_t priority = 0;
    uint32_t traffic_class = 0;
    uint32_t dscp_mark = 0;
    uint32_t outer_dscp = 0;
    IPAddress next_hop;
    int32_t route_index = -1;
    uint32_t dir_packets[2] = {0, 0};
  };

  struct alignas(64) StatFlowInfo : FlowInfo {
    // Clears first_time, the TCP times, last_time, last_report_time and
    // dns_match_logged.
    void reset() override {
      FlowInfo::reset();
      first_time = syn_time = synack_time = ack_time = fin_time = rst_time = Timestamp();
      dns_match_logged = 0;
    }

    // Per packet (with the fields above, the record's first two cache lines).
    uint32_t packets[2] = {0, 0};
    uint32_t bytes[2] = {0, 0};
    uint8_t own_address = 0;
    uint8_t dns_match_logged = 0;
    // Bookkeeping of the element: the host pair list the flow is on and
    // whether the fragment index holds it.
    uint8_t table = 0;
    uint8_t fragment_indexed = 0;
    uint16_t fragment_id = 0;
    HostPairInfo* pair = nullptr;
    IPAddress route_dest;
    IPAddress route_gateway;
    IPAddress tx_overlay_addr;
    IPAddress rx_overlay_addr;
    // Per flow.
    uint32_t path_id = kNoPathId;
    IPAddress src_addr;
    IPAddress dst_addr;
    uint16_t src_port = 0;
    uint16_t dst_port = 0;
    uint8_t src_mac[6] = {};
    uint8_t dst_mac[6] = {};
    FlowDetection detection;
    Timestamp first_time;
    Timestamp syn_time, synack_time, ack_time, fin_time, rst_time;
    Timestamp push_time;
    int32_t if_index = -1;
    String host;
    String encap_type;
    FwFlowState fw_state;
    char tx_if[32] = {};
    char rx_if[32] = {};
    char process_name[256] = {};
  };

  // Slots 1..slot_count of flow pointers; slot 0 is never given. Fresh
  // slots are handed out in order, then freed ones, oldest first: every
  // freed index is kept, on a list threaded through the free slots.
  class FlowIndexTable {
   public:
    explicit FlowIndexTable(uint32_t slot_count);
    ~FlowIndexTable();
    FlowIndexTable(const FlowIndexTable&) = delete;
    FlowIndexTable& operator=(const FlowIndexTable&) = delete;

    // An index for `flow`, or 0 when every slot is taken.
    uint32_t add(StatFlowInfo* flow);
    // Frees `index` when it holds a flow; anything else is ignored.
    void release(uint32_t index);
    StatFlowInfo* get(uint32_t index) const {
      if (index == 0 || index > slot_count_) return nullptr;
      const uintptr_t v = slots_[index];
      return (v & 1) != 0 ? nullptr : reinterpret_cast<StatFlowInfo*>(v);
    }
    uint32_t slot_count() const { return slot_count_; }
    uint32_t used() const { return used_; }

   private:
    uint32_t slot_count_;
    uint32_t used_ = 0;
    uint32_t cursor_ = 1;     // next never-used slot
    uint32_t free_head_ = 0;  // oldest freed slot; 0 none
    uint32_t free_tail_ = 0;
    uintptr_t* slots_;  // flow pointer, or (next free << 1) | 1 on the free list
  };

  AggregateIPFlows();
  // Tests: a smaller index table and flow cap.
  AggregateIPFlows(uint32_t index_slots, uint32_t flow_cap);
  ~AggregateIPFlows() override;

  const char* class_name() const override { return "AggregateIPFlows"; }
  const char* port_count() const override { return "1/1-2"; }
  const char* processing() const override { return "a/ah"; }
  void* cast(const char* name) override;
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  void add_handlers() override;
  int initialize(ErrorHandler* errh) override;
  void cleanup(CleanupStage stage) override;
  void push(int port, Packet* p) override;
  Packet* pull(int port) override;

  // The existing flow of an IPv4 packet, or null; never makes or reuses a
  // flow.
  virtual StatFlowInfo* find_flow_info(Packet* p);

  // 0 aggregated, 1 not aggregated or refused, 2 destroy.
  int handle_packet(Packet* p);
  // Writes the inner-DSCP annotation (unless 0 or 255) into the packet's TOS
  // byte, keeping the ECN bits and updating the header checksum
  // incrementally; unshares the packet first. Null (packet released) when
  // that fails.
  static Packet* mark_dscp(Packet* p);
  // One expiry pass; returns the new next reap second.
  uint32_t reap();
  // Expires every flow in one pass; the reap schedule is kept.
  int clear_handler();

  // ---- Dumps (aggregate_ip_flows_dump.cc). Operators read flows and the
  // host cache through the handlers "dump", "dump-filter", "dump_file" and
  // "dns_dump"; the console calls the three operations below directly.

  // Longest flow line; longer ones are cut.
  static constexpr int kFlowLineMax = 512;
  // Most bytes a JSON dump, or a text dump into a file, may hold; past it
  // whole records are left out and counted on one line at the end.
  static constexpr size_t kDumpLimit = size_t{64} << 20;

  // The text line of every flow of the four tables, with a title before the
  // first flow of each, flushed in pieces of a little over 2 KB: into the
  // service log when `file_name` is empty, else appended to that file.
  // `text` is empty afterwards.
  void dump_flow_tables(StringBuilder& text, const String& file_name);
  // The "dump-filter" read: `value` holds the filter (SIP, SPORT, DIP, DPORT,
  // L4PROTO) and gets the JSON array of the flows it selects. -1 after
  // "error parsing arguments" when a value does not parse.
  static int dump_filter_handler(int operation, String& value, Element* e, const Handler* h,
                                 ErrorHandler* errh);
  // Appends one object per host cache entry to `array` and writes its text.
  void dns_cache_to_json(String& text, Json& array);
  // One flow's line (at most kFlowLineMax characters, NUL-terminated) into
  // `out`; returns its length.
  int flow_text_line(const StatFlowInfo* fi, char (&out)[kFlowLineMax + 1]) const;
  // Tests: a smaller limit than kDumpLimit.
  void set_dump_limit(size_t bytes) { dump_limit_ = bytes; }

  // Becomes the process-wide aggregator unless there is one (configure
  // does this).
  void register_process_instance() {
    AggregateIPFlows* none = nullptr;
    if (!registered_.compare_exchange_strong(none, this)) return;
    registered_table_.store(&index_table_, std::memory_order_release);
    registered_notifier_.store(this, std::memory_order_release);
  }
  // The registered element, or null.
  static AggregateIPFlows* process_instance() {
    return registered_.load(std::memory_order_acquire);
  }
  // This element's flows by index (1 to record_count()); null for a free or
  // out-of-range slot.
  StatFlowInfo* record(uint32_t index) const { return index_table_.get(index); }
  uint32_t record_count() const { return index_table_.slot_count(); }
  // The drain's calls: the registered element's flows by index, its slot
  // count and its listeners. They reach only the element's plain parts, so
  // code that uses them links no part of this library.
  static StatFlowInfo* registered_record(uint32_t index) {
    const FlowIndexTable* t = registered_table_.load(std::memory_order_acquire);
    return t != nullptr ? t->get(index) : nullptr;
  }
  static uint32_t registered_record_count() {
    const FlowIndexTable* t = registered_table_.load(std::memory_order_acquire);
    return t != nullptr ? t->slot_count() : 0;
  }
  static AggregateNotifier* registered_notifier() {
    return registered_notifier_.load(std::memory_order_acquire);
  }

  // Read-outs for tests, dumps and statistics.
  uint64_t flow_count() const { return live_flows_; }
  uint32_t flow_cap() const { return flow_cap_; }
  uint32_t next_reap_second() const { return next_reap_second_; }
  uint32_t next_trim_second() const { return next_trim_second_; }
  uint32_t reap_interval() const { return reap_interval_; }
  uint32_t current_second() const { return current_second_; }
  bool fragments() const { return fragments_ == 1; }
  static uint32_t notification_limit();
  static void set_notification_limit(uint32_t limit);
  // The reference walk for a non-first fragment (every flow of the table):
  // what the fragment index must agree with.
  StatFlowInfo* scan_fragment_flow(const Packet* p);
  template <typename F>
  void for_each_flow(F f) {
    for (auto& table : tables_)
      for (auto it = table.begin(); it.live(); ++it)
        for (StatFlowInfo* fi = it->value.head; fi != nullptr; fi = fi->next) f(fi);
  }
  // Tests and benchmarks: the best-route lookup behind the cache.
  void set_best_route_lookup(platform::BestRouteCache::Lookup lookup);

  // ---- Application detection (flow_detection.cc).
  // The owner of a local endpoint, shaped as cxGetFlowProcessName.
  using FlowOwnerLookup = bool (*)(const sockaddr* addr, uint8_t protocol, std::string* name,
                                   uint32_t* pid, bool full_path);
  static constexpr size_t kMaxDnsCacheEntries = 65536;
  static constexpr int64_t kDnsCacheMaxAgeSec = 3600;

  // Loaders of the two map files (names completed in the work directory):
  // 0, or -1 with the table left absent.
  int create_app_category_mapping(const String& file_name);
  int create_category_name_mapping(const String& file_name);
  // Detection for a packet of `fi` (every packet with a flow).
  void detect(Packet* p, StatFlowInfo* fi);
  // 0 when the first-packet tables name the flow's application, else -1.
  int detect_first_packet_app(StatFlowInfo* fi);
  void fixup_appid_and_subcategory(StatFlowInfo* fi, const Packet* p);
  // Flushes the host cache when an hour passed since the last flush, or at
  // once with `force` (then negative app ids go too).
  void dns_cache_flush(bool force);
  // Asks for the owner of the flow's local endpoint once per flow.
  void detect_process_name(StatFlowInfo* fi, const Packet* p);
  // The name of an app id: the pseudo ids', the policy element's custom
  // names from 400 (and for negative ids), the library's below; "" when
  // none. Valid until the next first-packet reload.
  const char* app_name(int32_t app_id) const;
  // The category of an app id from the application table, 0 without one.
  int32_t app_category(int32_t app_id) const;
  // The category's name from the category table, "" without one.
  const char* category_name(int32_t category_id) const;
  const AppCategoryEntry* app_category_map() const { return app_category_map_.get(); }
  const CategoryNameEntry* category_name_map() const { return category_name_map_.get(); }
  int32_t web_app_id() const { return web_app_id_; }
  int32_t unclassified_app_id() const { return unclassified_app_id_; }
  const HashMap<IPAddress, DnsCacheEntry>& dns_cache() const { return dns_cache_; }
  ndpi_detection_module_struct* ndpi_module() const { return ndpi_; }
  // Tests and benchmarks: the owner lookup (cxGetFlowProcessName by default).
  void set_flow_owner_lookup(FlowOwnerLookup lookup) { owner_lookup_ = lookup; }
  // Tests: a smaller bound of the host cache.
  void set_dns_cache_limit(size_t limit) { dns_cache_limit_ = limit; }

 private:
  struct Header;
  using FlowTable = HashTable<HostPair, HostPairInfo>;

  int find_element_for(const char* name, const char* cls, void** out, ErrorHandler* errh);
  bool locate(const Packet* p, Header* h, bool* icmp_refused, bool allow_icmp_error) const;
  static bool locate_quoted(Header* h);
  StatFlowInfo* find_or_make(int table, HostPairInfo* pair, uint32_t ports, uint32_t dscp,
                             bool reversed, Packet* p, const Header& h, int64_t now_sec,
                             bool find_only);
  bool flow_finished(const StatFlowInfo* fi, int table, const Header& h, Timestamp now,
                     int64_t now_sec) const;
  void reuse_flow(StatFlowInfo* fi, bool reversed, uint32_t dscp_key, Packet* p);
  StatFlowInfo* make_flow(int table, HostPairInfo* pair, uint32_t ports, uint32_t dscp_key,
                          bool reversed, Packet* p, const Header& h, int64_t now_sec);
  bool dscp_keying(const Header& h, bool reversed, uint32_t dscp);
  void route_information(StatFlowInfo* fi);
  void statistics_init(StatFlowInfo* fi, const Packet* p);
  void release_flow_index(StatFlowInfo* fi);
  void take_flow_index(StatFlowInfo* fi);
  void update_fragment_index(StatFlowInfo* fi, bool first_fragment);
  StatFlowInfo* find_fragment_flow(const Header& h, uint32_t dscp);
  void move_to_front(StatFlowInfo* fi);
  void delete_flow(StatFlowInfo* fi);
  static bool update_due(const StatFlowInfo* fi, Timestamp now);
  // The policy and QoS decision; false refuses the packet.
  bool apply_policy(StatFlowInfo* fi, Packet* p, const Header& h, uint32_t dscp);
  void match_policy(StatFlowInfo* fi, const Header& h, uint32_t dscp, uint32_t version);
  bool resolve_pbr(StatFlowInfo* fi);
  void statistics(StatFlowInfo* fi, Packet* p, const Header& h, int direction, Timestamp now);
  void reap_table(int table, uint32_t timeout, uint32_t done_timeout, uint32_t* notified,
                  uint32_t* skipped, uint64_t* walked);
  void after_handling(Packet* p, int result, bool from_pull);
  int best_route(uint32_t destination, IPAddress* dest, IPAddress* gateway);
  static int clear_write_handler(const String& value, Element* e, void* user_data,
                                 ErrorHandler* errh);
  static String dump_handler(Element* e, void* user_data);
  static String read_handler_file(Element* e, void* user_data);
  static String dns_dump_file(Element* e, void* user_data);
  Json flow_json(const StatFlowInfo* fi) const;
  // The flow text dump through `flush(text)`, which empties `text`; with
  // `limited`, cut at the dump limit.
  template <typename Flush>
  void dump_flows(StringBuilder& text, bool limited, Flush flush);

  void unindex_fragment(StatFlowInfo* fi);
  // Detection helpers (flow_detection.cc).
  void initial_application(StatFlowInfo* fi);
  bool start_ndpi_flow(FlowDetection& d);
  void release_detection(StatFlowInfo* fi);
  void host_application(StatFlowInfo* fi);
  void learn_host(StatFlowInfo* fi, Timestamp now);
  void after_packet();
  bool create_ndpi_module();
  void drop_app_category_map();
  void destroy_detection();

  // Header-only, so that the drain reaches it without linking this library.
  inline static std::atomic<AggregateIPFlows*> registered_{nullptr};
  inline static std::atomic<const FlowIndexTable*> registered_table_{nullptr};
  inline static std::atomic<AggregateNotifier*> registered_notifier_{nullptr};

  OstPolicy* policy_ = nullptr;
  OstFirewall* firewall_ = nullptr;
  OstrelRouteTable* route_table_ = nullptr;
  FlowTable tables_[4];
  HashTable<FragmentKey, StatFlowInfo*> fragment_index_;
  uint32_t next_aggregate_ = 1;
  uint32_t current_second_ = 0;
  uint32_t next_reap_second_ = 0;
  uint32_t next_trim_second_ = 0;
  uint32_t tcp_timeout_ = 1200;
  uint32_t tcp_done_timeout_ = 30;
  uint32_t udp_timeout_ = 120;
  uint32_t icmp_timeout_ = 120;
  uint32_t other_timeout_ = 30;
  uint32_t smallest_timeout_ = 30;
  uint32_t reap_interval_ = 60;
  uint32_t trim_interval_ = 1200;
  uint32_t fragment_timeout_ = 30;
  bool icmp_errors_ = false;
  uint8_t fragments_ = 2;
  bool timestamp_warning_given_ = false;
  String trace_file_;
  Element* source_ = nullptr;
  FlowIndexTable index_table_;
  uint32_t flow_cap_;
  size_t dump_limit_ = kDumpLimit;
  uint64_t live_flows_ = 0;
  int64_t full_warning_sec_ = 0;
  bool full_warned_ = false;
  OverlayView* overlay_ = nullptr;
  std::unique_ptr<platform::BestRouteCache> route_cache_;
  Timestamp route_time_;  // the handled packet's time, for the cache

  // Detection.
  ndpi_detection_module_struct* ndpi_ = nullptr;
  std::unique_ptr<AppCategoryEntry[]> app_category_map_;
  std::unique_ptr<CategoryNameEntry[]> category_name_map_;
  int32_t web_app_id_ = 0;
  int32_t unclassified_app_id_ = 0;
  HashMap<IPAddress, DnsCacheEntry> dns_cache_;
  Timestamp last_dns_flush_;
  Timestamp detect_now_;  // the latest handled packet's time
  uint32_t dns_cache_refused_ = 0;
  size_t dns_cache_limit_ = kMaxDnsCacheEntries;
  int32_t hostapp_version_seen_ = 0;
  FlowOwnerLookup owner_lookup_;
};

class AggregateListener {
 public:
  virtual ~AggregateListener() = default;
  // `record` and `p` may be null (DELETE_AGG carries no packet).
  virtual void notify_flow_event(uint32_t aggregate_id, AggregateEvent event,
                                 AggregateIPFlows::StatFlowInfo* record, const Packet* p) = 0;
};

void AggregateNotifier::notify(uint32_t aggregate_id, AggregateEvent event, void* record,
                               const Packet* p) {
  for (int i = 0; i < listeners_.size(); ++i) {
    listeners_[i]->notify_flow_event(aggregate_id, event,
                                     static_cast<AggregateIPFlows::StatFlowInfo*>(record), p);
  }
}

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_ANALYSIS_AGGREGATE_IP_FLOWS_H_
