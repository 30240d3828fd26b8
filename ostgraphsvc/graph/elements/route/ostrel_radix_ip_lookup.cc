#include "ostgraphsvc/graph/elements/route/ostrel_radix_ip_lookup.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/handler.h"
#include "graph/json.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "graph/router_log.h"
#include "graph/string_builder.h"
#include "ostgraphsvc/graph/elements/route/overlay_config_querier.h"

namespace {

constexpr uint32_t kKeyMask = 0xFFFFFF;
constexpr int32_t kFreeEnd = -2;
constexpr int kLevels = 5;
constexpr uint32_t kSlots[kLevels] = {65536, 16, 16, 16, 16};
constexpr int kShift[kLevels] = {16, 12, 8, 4, 0};

std::atomic<int> allocations_left{-1};
std::atomic<int> route_limit{0};

// False when a test made this allocation fail.
bool allocation_allowed() {
  int left = allocations_left.load(std::memory_order_relaxed);
  if (left < 0) return true;
  if (left == 0) return false;
  allocations_left.store(left - 1, std::memory_order_relaxed);
  return true;
}

int max_routes() {
  const int limit = route_limit.load(std::memory_order_relaxed);
  return limit > 0 ? limit : OstrelRadixIPLookup::kMaxRoutes;
}

// Packets for the overlay's own /16 go to the overlay without a route.
const IPAddress kOverlayNetMask = IPAddress::make_prefix(16);

uint32_t host(IPAddress a) { return a.host_order(); }

const char* route_type_text(uint32_t type) {
  switch (type) {
    case kRouteTypeDefault:
      return "def";
    case kRouteTypeLan:
      return "lan";
    case kRouteTypeOverlay:
      return "tun";
    default:
      return "wan";
  }
}

String route_text(const RouteEntry& route) {
  StringBuilder sb;
  OstrelRadixIPLookup::route_to_text(route, sb, false);
  return sb.take_string();
}

// Comments blanked out, line ends kept: a comment at the end of a line must
// not join it to the next command.
String strip_comments(const String& text) {
  StringBuilder sb;
  const char* p = text.begin();
  const char* end = text.end();
  while (p < end) {
    if (*p == '/' && p + 1 < end && p[1] == '/') {
      while (p < end && *p != '\n' && *p != '\r') ++p;
      sb << ' ';
      continue;
    }
    if (*p == '/' && p + 1 < end && p[1] == '*') {
      p += 2;
      while (p < end && !(*p == '*' && p + 1 < end && p[1] == '/')) ++p;
      p = p < end ? p + 2 : end;
      sb << ' ';
      continue;
    }
    sb << *p++;
  }
  return sb.take_string();
}

int command_kind(const String& word) {
  if (word == "add") return OstrelRadixIPLookup::kAdd;
  if (word == "set") return OstrelRadixIPLookup::kSet;
  if (word == "remove") return OstrelRadixIPLookup::kRemove;
  return -1;
}

void* kind_datum(int kind) { return reinterpret_cast<void*>(static_cast<intptr_t>(kind)); }

int route_write_handler(const String& text, Element* e, void* datum, ErrorHandler* errh) {
  auto* table = static_cast<OstrelRadixIPLookup*>(e);
  return table->run_route_command(static_cast<int>(reinterpret_cast<intptr_t>(datum)), text,
                                  nullptr, errh);
}

int ctrl_write_handler(const String& text, Element* e, void*, ErrorHandler* errh) {
  return static_cast<OstrelRadixIPLookup*>(e)->run_ctrl(text, errh);
}

int flush_write_handler(const String&, Element* e, void*, ErrorHandler*) {
  static_cast<OstrelRadixIPLookup*>(e)->flush_table();
  return 0;
}

String table_read_handler(Element* e, void*) {
  return static_cast<OstrelRadixIPLookup*>(e)->dump_routes();
}

String table_json_read_handler(Element* e, void*) {
  return static_cast<OstrelRadixIPLookup*>(e)->dump_routes_json();
}

int lookup_handler(int, String& text, Element* e, const Handler*, ErrorHandler* errh) {
  return static_cast<OstrelRadixIPLookup*>(e)->lookup_handler_text(text, errh);
}

}  // namespace

// ---- Construction ------------------------------------------------------------

OstrelRadixIPLookup::OstrelRadixIPLookup() {
  default_template_.port = 2;
  alloc_root();
}

OstrelRadixIPLookup::~OstrelRadixIPLookup() { free_trie(); }

void* OstrelRadixIPLookup::cast(const char* name) {
  if (name == nullptr) return nullptr;
  if (std::strcmp(name, "OstrelRadixIPLookup") == 0 || std::strcmp(name, class_name()) == 0)
    return this;
  return nullptr;
}

void OstrelRadixIPLookup::cleanup(CleanupStage) {
  free_trie();
  routes_.clear();
}

void OstrelRadixIPLookup::fail_allocations_after_for_testing(int n) {
  allocations_left.store(n, std::memory_order_relaxed);
}

void OstrelRadixIPLookup::set_route_limit_for_testing(int limit) {
  route_limit.store(limit, std::memory_order_relaxed);
}

// ---- Trie --------------------------------------------------------------------

// Each node's slot keys and internal keys form an implicit binary tree of
// positions 1..2N-1 (position 1 unused): 2..N-1 internal, N..2N-1 the
// slots in order.
bool OstrelRadixIPLookup::alloc_root() {
  if (!allocation_allowed()) return false;
  root_ = static_cast<TrieSlot*>(std::calloc(kSlots[0], sizeof(TrieSlot)));
  root_keys_ = static_cast<uint32_t*>(std::calloc(kSlots[0], sizeof(uint32_t)));
  if (root_ != nullptr && root_keys_ != nullptr) return true;
  free_trie();
  return false;
}

uint32_t OstrelRadixIPLookup::new_node() {
  if (node_count_ == node_capacity_) {
    if (!allocation_allowed()) return 0;
    const uint32_t capacity = node_capacity_ == 0 ? 64 : 2 * node_capacity_;
    // Keys are 24 bits and every node holds a route's prefix: far below this.
    if (capacity > (1u << 26)) return 0;
    const size_t count = static_cast<size_t>(capacity) * kNodeSlots;
    auto* slots = static_cast<TrieSlot*>(std::realloc(nodes_, count * sizeof(TrieSlot)));
    if (slots == nullptr) return 0;
    nodes_ = slots;
    auto* keys = static_cast<uint32_t*>(std::realloc(node_keys_, count * sizeof(uint32_t)));
    if (keys == nullptr) return 0;  // the larger slot block is kept, unused
    node_keys_ = keys;
    if (node_count_ == 0) node_count_ = 1;  // index 0 means "no node"
    node_capacity_ = capacity;
  }
  const uint32_t node = node_count_++;
  std::memset(nodes_ + node * kNodeSlots, 0, kNodeSlots * sizeof(TrieSlot));
  std::memset(node_keys_ + node * kNodeSlots, 0, kNodeSlots * sizeof(uint32_t));
  return node;
}

void OstrelRadixIPLookup::free_trie() {
  std::free(root_);
  std::free(root_keys_);
  std::free(nodes_);
  std::free(node_keys_);
  root_ = nullptr;
  root_keys_ = nullptr;
  nodes_ = nullptr;
  node_keys_ = nullptr;
  node_count_ = 0;
  node_capacity_ = 0;
}

uint32_t& OstrelRadixIPLookup::key_at(int level, uint32_t node, uint32_t position) const {
  const uint32_t n = kSlots[level];
  if (position >= n) return slots_of(level, node)[position - n].key;
  return level == 0 ? root_keys_[position] : node_keys_[node * kNodeSlots + position];
}

bool OstrelRadixIPLookup::find_node(uint32_t dst, uint32_t mask, bool create, int* level_out,
                                    uint32_t* node_out, uint32_t* index_out) {
  int level = 0;
  uint32_t node = 0;
  for (;;) {
    const int shift = kShift[level];
    const uint32_t i = (dst >> shift) & (kSlots[level] - 1);
    if (shift == 0 || (mask & ((1u << shift) - 1)) == 0) {
      *level_out = level;
      *node_out = node;
      *index_out = i;
      return true;
    }
    uint32_t child = slots_of(level, node)[i].child;
    if (child == 0) {
      if (!create || (child = new_node()) == 0) return false;
      slots_of(level, node)[i].child = child;  // the arena may have moved
    }
    node = child;
    ++level;
  }
}

uint32_t OstrelRadixIPLookup::prefix_position(int level, uint32_t index, uint32_t mask) {
  const uint32_t n = kSlots[level];
  uint32_t p = n + index;
  for (uint32_t m = n - ((mask >> kShift[level]) & (n - 1)); m > 1; m /= 2) p /= 2;
  return p;
}

uint32_t OstrelRadixIPLookup::route_trie_change(uint32_t dst, uint32_t mask, uint32_t key, bool set,
                                                bool* no_memory) {
  int level;
  uint32_t node, i;
  if (!find_node(dst, mask, true, &level, &node, &i)) {
    *no_memory = true;
    return 0;
  }
  const uint32_t n = kSlots[level];
  const uint32_t p = prefix_position(level, i, mask);

  const uint32_t replace = key_at(level, node, p);
  uint32_t previous = replace;
  // A key equal to the parent's was inherited from a shorter prefix.
  if (previous != 0 && p > 3 && key_at(level, node, p / 2) == previous) previous = 0;
  // Removing hands the range back to the covering shorter prefix.
  if (key == 0 && p > 3) key = key_at(level, node, p / 2);
  if (previous != key && (previous == 0 || set)) {
    for (uint32_t width = 1, start = p; start < 2 * n; width *= 2, start *= 2) {
      for (uint32_t q = start; q < start + width; ++q) {
        uint32_t& k = key_at(level, node, q);
        if (k == replace) k = key;
      }
    }
  }
  return previous;
}

uint32_t OstrelRadixIPLookup::exact_key(uint32_t dst, uint32_t mask) {
  int level;
  uint32_t node, i;
  if (root_ == nullptr || !find_node(dst, mask, false, &level, &node, &i)) return 0;
  const uint32_t p = prefix_position(level, i, mask);
  const uint32_t key = key_at(level, node, p);
  if (key != 0 && p > 3 && key_at(level, node, p / 2) == key) return 0;
  return key;
}

uint32_t OstrelRadixIPLookup::walk(uint32_t dst) const {
  uint32_t key = static_cast<uint32_t>(default_key_);
  if (root_ == nullptr) return key;
  const TrieSlot* slot = &root_[dst >> 16];
  if (slot->key != 0) key = slot->key;
  for (int shift = 12; slot->child != 0; shift -= 4) {
    slot = &nodes_[slot->child * kNodeSlots + ((dst >> shift) & 15)];
    if (slot->key != 0) key = slot->key;
  }
  return key & kKeyMask;
}

// ---- Route operations --------------------------------------------------------

bool OstrelRadixIPLookup::reserve_route_slot(Vector<RouteEntry>& v) {
  if (v.size() < v.capacity()) return true;
  if (!allocation_allowed()) return false;
  try {
    return v.reserve(v.size() < 4 ? 4 : 2 * v.size());
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// The last free slot links to kFreeEnd rather than -1, which marks a live
// route: a freed slot must never pass for one.
void OstrelRadixIPLookup::free_slot(int index) {
  routes_[index].extra = free_head_ >= 0 ? free_head_ : kFreeEnd;
  free_head_ = index;
}

int OstrelRadixIPLookup::add_route(const RouteEntry& route, bool set, RouteEntry* old_route,
                                   ErrorHandler*) {
  if (root_ == nullptr && !alloc_root()) return -12;
  const int found = free_head_ >= 0 ? free_head_ : routes_.size();
  if (found >= max_routes()) return -12;
  // Room first, so that a failure leaves trie, lists and template unchanged.
  if (found == routes_.size() && !reserve_route_slot(routes_)) return -12;

  RouteEntry entry = route;
  uint32_t last;
  if (route.mask.addr() != 0) {
    bool no_memory = false;
    last = route_trie_change(host(route.addr), host(route.mask), static_cast<uint32_t>(found) + 1,
                             set, &no_memory) &
           kKeyMask;
    if (no_memory) return -12;
  } else {
    if (!reserve_route_slot(default_routes_)) return -12;
    last = static_cast<uint32_t>(default_key_) & kKeyMask;
    if (last == 0 || set) default_key_ = found + 1;
    log_syslog_level(6, "OstrelRadixIPLookup::add_route", __FILE__, __LINE__,
                     "Adding default route for %s, gw %s, type %d, port %d",
                     route.addr.to_string().c_str(), route.gw.to_string().c_str(),
                     static_cast<int>(route.type), route.port);
    default_routes_.push_back(route);
    if (route.port == 99) default_template_.port = 0;
    if (route.port == 3) default_template_.port = 3;
    entry = default_template_;
  }

  if (last != 0) {
    if (old_route != nullptr) *old_route = routes_[static_cast<int>(last) - 1];
    if (!set) return -17;
  }

  entry.extra = RouteEntry::kLive;
  if (found == routes_.size()) {
    routes_.push_back(entry);
  } else {
    const int next = routes_[found].extra;
    free_head_ = next >= 0 ? next : -1;
    routes_[found] = entry;
  }
  if (last != 0) free_slot(static_cast<int>(last) - 1);
  return 0;
}

int OstrelRadixIPLookup::remove_route(const RouteEntry& route, RouteEntry* old_route,
                                      ErrorHandler*) {
  if (route.mask.addr() != 0) {
    const uint32_t last = exact_key(host(route.addr), host(route.mask)) & kKeyMask;
    if (last == 0 || static_cast<int>(last) > routes_.size()) return -2;
    const RouteEntry& slot = routes_[static_cast<int>(last) - 1];
    if (old_route != nullptr) *old_route = slot;
    const bool match = slot.addr == route.addr && slot.mask == route.mask &&
                       (route.port < 0 || (slot.gw == route.gw && slot.port == route.port));
    if (!match) return -2;
    free_slot(static_cast<int>(last) - 1);
    bool no_memory = false;  // the prefix's nodes exist: nothing is allocated
    route_trie_change(host(route.addr), host(route.mask), 0, true, &no_memory);
    return 0;
  }

  const uint32_t last = static_cast<uint32_t>(default_key_) & kKeyMask;
  if (last == 0) return -2;
  int kept = 0;
  bool removed = false;
  for (int i = 0; i < default_routes_.size(); ++i) {
    const RouteEntry& d = default_routes_[i];
    if (d.gw == route.gw && d.l2_index == route.l2_index) {
      if (old_route != nullptr) *old_route = d;
      removed = true;
      continue;
    }
    default_routes_[kept++] = d;
  }
  // Nothing matched: report it rather than a removal that did not happen.
  if (!removed) return -2;
  default_routes_.resize(kept);
  if (kept > 0) return 0;
  free_slot(static_cast<int>(last) - 1);
  default_key_ = 0;
  return 0;
}

int OstrelRadixIPLookup::lookup_route(IPAddress dst, IPAddress& gw) const {
  const uint32_t index = walk(host(dst));
  if (index == 0 || static_cast<int>(index) > routes_.size()) return -1;
  const RouteEntry& route = routes_[static_cast<int>(index) - 1];
  if (route.port == -1) return -1;
  gw = route.port == 2 ? IPAddress() : route.gw;
  return route.port;
}

void OstrelRadixIPLookup::flush_table() {
  free_trie();
  alloc_root();
  routes_.clear();
  default_routes_.clear();
  free_head_ = -1;
  default_key_ = 0;
}

int OstrelRadixIPLookup::handle_push(Packet* p, const OstrelOverlayConfigQuerier* querier) {
  const IPAddress next_hop = p->next_hop_anno();
  if (!next_hop.empty()) {
    p->set_dst_ip_anno(next_hop);
    p->set_next_hop_anno(IPAddress());
    return 1;
  }
  const IPAddress dst = p->dst_ip_anno();
  if (querier != nullptr) {
    const uint32_t mask = kOverlayNetMask.addr();
    if ((dst.addr() & mask) == (querier->local_overlay_address().addr() & mask)) {
      p->set_next_hop_anno(dst);
      return 1;
    }
  } else if (!querier_absent_logged_) {
    // Once: every packet of a graph without an overlay element gets here.
    querier_absent_logged_ = true;
    log_syslog_level(6, "OstrelRadixIPLookup::handle_push", __FILE__, __LINE__,
                     "OstrelRadixIP: error, ostrel overlay config querier is absent");
  }
  if ((p->route_flags_anno() & kRouteFlagWalk) == 0) return -1;

  const uint32_t index = walk(host(dst));
  if (index == 0 || static_cast<int>(index) > routes_.size()) return -1;
  const RouteEntry& route = routes_[static_cast<int>(index) - 1];
  if (route.port != 2 && route.port <= 0) return -1;
  if (route.l2_index != -1) p->set_route_value2_anno(static_cast<uint8_t>(route.l2_index));
  if (route.l3_index != -1) p->set_route_value3_anno(static_cast<uint8_t>(route.l3_index));
  if (route.port != 2 && !route.gw.empty()) p->set_dst_ip_anno(route.gw);
  if (route.vlan_id != 0) p->set_route_value_anno(static_cast<uint16_t>(route.vlan_id));
  return route.port;
}

void OstrelRadixIPLookup::push(int, Packet* p) {
  IPAddress gw;
  lookup_route(p->dst_ip_anno(), gw);
  p->set_dst_ip_anno(gw);
  if (noutputs() == 0) {
    p->release();
    return;
  }
  output(0).push(p);
}

// ---- Text --------------------------------------------------------------------

bool OstrelRadixIPLookup::cp_parse_route(const String& text, RouteEntry* route, bool removing) {
  Vector<String> words;
  cp_split_words(text, &words);
  if (words.empty()) return false;

  RouteEntry r;
  const String& first = words[0];
  const int slash = first.find_left('/');
  if (slash > 0 && slash < first.length() - 1) {
    if (!cp_parse_ip_prefix(first, false, &r.addr, &r.mask)) return false;
  } else {
    if (!cp_parse_ip_address(first, &r.addr)) return false;
    r.mask = IPAddress(0xFFFFFFFFu);
  }
  r.addr = IPAddress(r.addr.addr() & r.mask.addr());

  int next = 1;
  if (next < words.size()) {
    if (words[next] == "-") {
      ++next;
    } else if (cp_parse_ip_address(words[next], &r.gw)) {
      ++next;
    }
  }
  if (next < words.size()) {
    int status = 0;
    int32_t port = 0;
    if (!cp_parse_int32(&status, words[next], &port)) return false;
    r.port = port;
    ++next;
  } else if (!removing) {
    return false;
  }
  if (next < words.size()) return false;
  *route = r;
  return true;
}

int OstrelRadixIPLookup::run_route_command(int kind, const String& text,
                                           Vector<RouteEntry>* rollback, ErrorHandler* errh) {
  if (errh == nullptr) errh = ErrorHandler::silent_handler();
  const int errors_before = errh->error_count();
  RouteEntry route;
  if (!cp_parse_route(text, &route, kind == kRemove))
    return errh->error("expected %<ADDR/MASK [GATEWAY%s%>",
                       kind == kRemove ? " OUTPUT]" : "] OUTPUT");
  if (route.port < (kind == kRemove ? -1 : 0) || route.port >= noutputs())
    return errh->error("bad OUTPUT");

  RouteEntry old;
  int r;
  if (kind == kRemove)
    r = remove_route(route, &old, errh);
  else
    r = add_route(route, kind == kSet, &old, errh);

  if (r >= 0 && rollback != nullptr) {
    if (old.port < 0) {
      route.extra = kAdd;  // nothing replaced: undo by removing
      rollback->push_back(route);
    } else {
      old.extra = kind;
      rollback->push_back(old);
    }
  }
  if (r < 0 && errh->error_count() == errors_before) {
    if (r == -17) errh->error("conflict with existing route %<%s%>", route_text(old).c_str());
    if (r == -2) errh->error("route %<%s%> not found", route_text(route).c_str());
    if (r == -12) errh->error("no memory to store route %<%s%>", route_text(route).c_str());
  }
  return r;
}

int OstrelRadixIPLookup::run_ctrl(const String& text, ErrorHandler* errh) {
  if (errh == nullptr) errh = ErrorHandler::silent_handler();
  const String body = strip_comments(text);
  Vector<RouteEntry> rollback;
  int r = 0;
  for (int pos = 0; pos <= body.length() && r >= 0;) {
    int eol = body.find_left('\n', pos);
    if (eol < 0) eol = body.length();
    String rest = body.substring(pos, eol);
    pos = eol + 1;
    const String word = cp_pop_word(&rest);
    if (word.empty()) continue;
    const int kind = command_kind(word);
    if (kind < 0) {
      r = errh->error("bad command %<%#s%>", word.c_str());
      break;
    }
    r = run_route_command(kind, rest, &rollback, errh);
  }
  if (r >= 0) return 0;
  for (int i = rollback.size() - 1; i >= 0; --i) {
    const RouteEntry& undo = rollback[i];
    if (undo.extra == kRemove)
      add_route(undo, false, nullptr, errh);
    else if (undo.extra == kAdd)
      remove_route(undo, nullptr, errh);
    else
      add_route(undo, true, nullptr, errh);
  }
  return r;
}

int OstrelRadixIPLookup::lookup_handler_text(String& text, ErrorHandler* errh) const {
  IPAddress dst;
  if (!cp_parse_ip_address(cp_uncomment(text), &dst)) {
    if (errh == nullptr) return ErrorHandler::kErrorResult;
    return errh->error("expected IP address");
  }
  IPAddress gw;
  const int port = lookup_route(dst, gw);
  StringBuilder sb;
  sb << String(port);
  if (!gw.empty()) sb << ' ' << gw.to_string();
  text = sb.take_string();
  return 0;
}

void OstrelRadixIPLookup::route_to_text(const RouteEntry& route, StringBuilder& sb, bool tabs) {
  const char sep = tabs ? '\t' : ' ';
  const int row = sb.length();
  sb << IPAddress::prefix_to_string(route.addr, route.mask) << sep;
  if (tabs && sb.length() - row < 17) sb << '\t';
  const int column = sb.length();
  if (route.gw.empty())
    sb << '-';
  else
    sb << route.gw.to_string();
  sb << sep;
  if (tabs && sb.length() - column < 9) sb << '\t';
  sb << (route.port == RouteEntry::kDeadPort ? String("-1") : String(route.port)) << sep;
  sb << (route.l2_index == -1 ? String("-") : String(route.l2_index)) << sep;
  sb << (route.l3_index == -1 ? String("-") : String(route.l3_index)) << sep;
  sb << route_type_text(route.type) << sep;
  sb << String(static_cast<unsigned long>(route.vlan_id)) << sep;
  sb << String(static_cast<long>(route.metric));
}

template <typename Fn>
void OstrelRadixIPLookup::for_each_listed(Fn fn) const {
  for (const RouteEntry& route : routes_) {
    if (route.extra != RouteEntry::kLive) continue;
    fn(route, false);
    if (route.mask.addr() != 0) continue;
    for (const RouteEntry& d : default_routes_) fn(d, true);
  }
}

String OstrelRadixIPLookup::dump_routes() {
  // Freed slots are marked dead; the walk is bounded in case the list is
  // ever broken.
  for (int i = free_head_, n = 0; i >= 0 && i < routes_.size() && n <= routes_.size(); ++n) {
    RouteEntry& dead = routes_[i];
    dead.addr = IPAddress();
    dead.mask = IPAddress(0xFFFFFFFFu);
    dead.port = RouteEntry::kDeadPort;
    i = dead.extra;
  }
  StringBuilder sb;
  for_each_listed([&sb](const RouteEntry& route, bool listed) {
    if (listed) sb << " - ";
    route_to_text(route, sb, true);
    sb << '\n';
  });
  return sb.take_string();
}

void OstrelRadixIPLookup::route_to_json(const RouteEntry& route, Json& array) {
  Json o;
  o.set("dsrt_netmask", IPAddress::prefix_to_string(route.addr, route.mask));
  o.set("dsrt_gateway", route.gw.to_string());
  o.set("dsrt_port", String(route.port));
  o.set("dsrt_l2ifindex", String(route.l2_index));
  o.set("dsrt_l3ifindex", String(route.l3_index));
  o.get_insert("dsrt_linuxifindex") = Json(static_cast<int>(route.host_index));
  if (route.type == kRouteTypeOverlay) o.set("dsrt_intfname", "tarnif");
  const char* type = route.type == kRouteTypeOverlay ? "overlay" : route_type_text(route.type);
  o.set("dstr_rtype", type);
  o.set("dsrt_vlanid", String(static_cast<unsigned>(route.vlan_id)));
  o.set("dsrt_metric", String(route.metric));
  o.get_insert("dsrt_proto_int") = Json(static_cast<int>(route.protocol));
  array.append(o);
}

void OstrelRadixIPLookup::table_to_json(const OstrelRadixIPLookup* table, const String& id,
                                        Json& array) {
  Json info;
  info.make_unshared(Json::kArray);
  table->for_each_listed([&info](const RouteEntry& route, bool) { route_to_json(route, info); });
  Json t;
  t.set("dsrt_table_id", id);
  t.get_insert("dsrt_table_info") = info;
  array.append(t);
}

// ---- Handlers ----------------------------------------------------------------

void OstrelRadixIPLookup::add_handlers() {
  Router::add_write_handler(this, "add", route_write_handler, kind_datum(kAdd));
  Router::add_write_handler(this, "set", route_write_handler, kind_datum(kSet));
  Router::add_write_handler(this, "remove", route_write_handler, kind_datum(kRemove));
  Router::add_write_handler(this, "ctrl", ctrl_write_handler, nullptr);
  Router::add_write_handler(this, "flush", flush_write_handler, nullptr, Handler::kListB);
  Router::add_read_handler(this, "table", table_read_handler, nullptr, Handler::kListDollar);
  Router::add_read_handler(this, "table_json", table_json_read_handler, nullptr,
                           Handler::kListDollar);
  Router::set_handler(this, "lookup", Handler::kRead | Handler::kReadParam, lookup_handler);
}
