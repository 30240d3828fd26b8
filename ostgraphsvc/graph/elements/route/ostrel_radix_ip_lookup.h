// OstrelRadixIPLookup: the IPv4 longest-prefix route table, a fixed-stride
// multibit trie over 32-bit destinations (16 bits at the root, then four
// levels of 4 bits) whose slots hold keys, 1 + the index of a route in the
// route vector (0: no route; keys are 24 bits, so at most 16,777,215 routes).
// A lookup is at most five indexed loads. Freed route slots are recycled
// through a free list, and trie nodes below the root stay allocated until a
// flush.
//
// Default routes (mask 0) stay out of the trie: each one added is appended
// to the default-route list, and the default key points at a copy of the
// default-route template, whose output port is 2 unless a default route
// with port 99 (then 0) or 3 (then 3) switched it. The template keeps its
// port across flushes.
//
// The class supplies the route text syntax (`cp_parse_route`: "ADDR/MASK
// [GATEWAY|-] OUTPUT"), the route handlers "add", "set", "remove", "ctrl"
// (several commands, all or nothing), "flush", "table", "table_json" and
// "lookup", the text and JSON dumps, and `handle_push`, the per-packet
// lookup of the route table element (OstrelRouteTable), which owns its
// tables as instances of this class. It is not a class the graph file
// names.
//
// Ownership: the object owns its nodes and vectors; nothing else points
// into them. Threads: no lock of its own; the route table element's critical
// section serialises every change and lookup of the tables packets use.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_ROUTE_OSTREL_RADIX_IP_LOOKUP_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_ROUTE_OSTREL_RADIX_IP_LOOKUP_H_

#include <cstdint>

#include "graph/ipaddress.h"
#include "graph/string.h"
#include "graph/vector.h"
#include "ostgraphsvc/graph/elements/route/ip_route_table.h"

class Json;
class OstrelOverlayConfigQuerier;
class Packet;
class StringBuilder;

class OstrelRadixIPLookup : public IPRouteTable {
 public:
  // Command kinds of `run_route_command` (and free links in rollback lists).
  enum RouteCommand { kAdd = 0, kSet = 1, kRemove = 2 };
  // Keys are 24 bits wide.
  static constexpr int kMaxRoutes = 0xFFFFFF;

  OstrelRadixIPLookup();
  ~OstrelRadixIPLookup() override;

  // Looks the packet's destination annotation up, stores the gateway (0
  // when none) there and sends the packet to output 0 whatever the port.
  void push(int port, Packet* p) override;
  const char* class_name() const override { return "OstrelRadixIPLookup"; }
  const char* port_count() const override { return "1/-"; }
  const char* processing() const override { return kPush; }
  // "OstrelRadixIPLookup" and the object's own class name.
  void* cast(const char* name) override;
  void add_handlers() override;
  // Frees the trie and empties the route vector.
  void cleanup(CleanupStage stage) override;

  int add_route(const RouteEntry& route, bool set, RouteEntry* old_route,
                ErrorHandler* errh) override;
  int remove_route(const RouteEntry& route, RouteEntry* old_route, ErrorHandler* errh) override;
  int lookup_route(IPAddress dst, IPAddress& gw) const override;
  // Rows of live routes in vector order, each default route followed by the
  // default-route list (" - " rows); freed slots are marked dead first and
  // never listed.
  String dump_routes() override;
  // Empty here; the route table element gives its tables' JSON.
  String dump_routes_json() override { return String(); }

  // Drops every route; the template keeps its port.
  void flush_table();

  // The per-packet lookup: the output port, or -1; updates the destination,
  // next-hop and route value annotations. Without `querier` the overlay's
  // own /16 is not recognised, which is logged once per object.
  int handle_push(Packet* p, const OstrelOverlayConfigQuerier* querier);

  // "ADDR[/MASK] [GATEWAY|-] OUTPUT"; OUTPUT may be missing when
  // `removing` (the port stays -1). The address is stored masked.
  static bool cp_parse_route(const String& text, RouteEntry* route, bool removing);
  // One "add", "set" or "remove" command; records its undo in `rollback`
  // when given. Errors go to `errh`.
  int run_route_command(int kind, const String& text, Vector<RouteEntry>* rollback,
                        ErrorHandler* errh);
  // The "ctrl" handler: one command per line; the first failure undoes the
  // lines done before it and gives its result.
  int run_ctrl(const String& text, ErrorHandler* errh);
  // The "lookup" handler: `text` holds the address and gets the answer
  // ("PORT" or "PORT GATEWAY"); -22 after "expected IP address".
  int lookup_handler_text(String& text, ErrorHandler* errh) const;

  static void route_to_text(const RouteEntry& route, StringBuilder& sb, bool tabs);
  // Appends the route's JSON object to `array`.
  static void route_to_json(const RouteEntry& route, Json& array);
  // Appends {"dsrt_table_id": id, "dsrt_table_info": [...]} to `array`.
  static void table_to_json(const OstrelRadixIPLookup* table, const String& id, Json& array);

  // Read access for dumps and tests.
  const Vector<RouteEntry>& route_vector() const { return routes_; }
  const Vector<RouteEntry>& default_routes() const { return default_routes_; }
  int free_head() const { return free_head_; }
  int default_key() const { return default_key_; }
  // False when the root node could not be allocated.
  bool has_root() const { return root_ != nullptr; }

  // Tests: after `n` more successful node or vector allocations every one
  // fails (-1: none fails); and a lower route limit (0: kMaxRoutes).
  static void fail_allocations_after_for_testing(int n);
  static void set_route_limit_for_testing(int limit);
  // Nodes the arena holds before it must grow.
  int spare_nodes_for_testing() const { return static_cast<int>(node_capacity_ - node_count_); }

 private:
  // A child slot: its key and the arena index of the node below (0: none).
  struct TrieSlot {
    uint32_t key;
    uint32_t child;
  };
  static constexpr uint32_t kNodeSlots = 16;

  bool alloc_root();
  // A zeroed node in the arena; 0 when memory runs out.
  uint32_t new_node();
  TrieSlot* slots_of(int level, uint32_t node) const {
    return level == 0 ? root_ : nodes_ + node * kNodeSlots;
  }
  // Position p of the node's implicit tree: 2..N-1 internal, N..2N-1 slots.
  uint32_t& key_at(int level, uint32_t node, uint32_t position) const;
  // Walks to the node where the prefix ends; false when a node is missing
  // (and `create` is false or memory ran out).
  bool find_node(uint32_t dst, uint32_t mask, bool create, int* level, uint32_t* node,
                 uint32_t* index);
  // The position covering the prefix inside that node.
  static uint32_t prefix_position(int level, uint32_t index, uint32_t mask);
  // The trie change of one prefix (host order, mask nonzero); returns the
  uint32_t route_trie_change(uint32_t dst, uint32_t mask, uint32_t key, bool set, bool* no_memory);
  // The key of exactly this prefix, without changing or growing the trie.
  uint32_t exact_key(uint32_t dst, uint32_t mask);
  // The key a destination resolves to (the default key when nothing
  // longer matches).
  uint32_t walk(uint32_t dst) const;
  bool reserve_route_slot(Vector<RouteEntry>& v);
  void free_slot(int index);
  void free_trie();
  template <typename Fn>
  void for_each_listed(Fn fn) const;

  Vector<RouteEntry> routes_;
  int free_head_ = -1;
  Vector<RouteEntry> default_routes_;
  RouteEntry default_template_;
  int default_key_ = 0;
  // The root's 65536 slots and its internal keys (indexed by position).
  TrieSlot* root_ = nullptr;
  uint32_t* root_keys_ = nullptr;
  // Lower nodes live in one arena, 16 slots each, with 16 internal-key
  // words each beside it; node 0 is never used. Compact slots in one block
  // keep a lookup to one cache line per level.
  TrieSlot* nodes_ = nullptr;
  uint32_t* node_keys_ = nullptr;
  uint32_t node_count_ = 0;
  uint32_t node_capacity_ = 0;
  bool querier_absent_logged_ = false;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_ROUTE_OSTREL_RADIX_IP_LOOKUP_H_
