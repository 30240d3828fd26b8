// Next-hop tracking: which peer a packet for a destination overlay address
// goes to first.
//
// OstrelNextHopTracking maps each destination overlay address to one
// NextHopElement: its candidate next hops in ascending cost (equal costs in
// order of addition), the chosen one with its cost, and whether the chosen
// one is pending (no tunnel to it confirmed yet). The overlay element feeds
// the table from the next-hop and routeable-overlay lists of its DIB entries
// and from tunnel up/down events, and asks it for the next hop at
// encapsulation time. A non-pending destination is answered with one hash
// lookup; a pending one starts a search along the candidates and their own
// next hops, with loop detection, that stops at the first candidate yielding
// a path and gives up after `kMaxPathHops` hops (so a crafted chain cannot
// exhaust the stack).
//
// NextHopElement is also the list entry of a DIB entry's "nexthop" and
// "routeableOverlays" lists (ostrel_dib.h); there only the next hop, cost,
// mode and port are filled.
//
// Ownership: the table owns its elements and frees them when it goes;
// destinations are never removed, `remove_nexthop` only empties candidates.
// An element owns the endpoint descriptors of its endpoint sets. The
// OstrelPeerPathQuery passed to the calls is only used during the call and
// may be null (no peer has a path).
//
// Threads: no lock of its own. The overlay element calls it under its one
// recursive lock, from the packet thread (lookups, which also write the path
// list and the chosen next hop of a pending destination) and from the
// transport threads (updates in connection callbacks).
#ifndef OSTGRAPHSVC_OSTDIB_OSTREL_NHT_H_
#define OSTGRAPHSVC_OSTDIB_OSTREL_NHT_H_

#include <cstdint>

#include "graph/hash_table.h"
#include "graph/ipaddress.h"
#include "graph/json.h"
#include "graph/string.h"
#include "graph/string_builder.h"
#include "graph/vector.h"
#include "ostgraphsvc/ostdib/peer_path_query.h"

class EndPointDescriptor;

// One (address, cost) node of a candidate list or of a search path.
struct NextHopNode {
  IPAddress address;
  uint32_t cost = 0;

  friend bool operator==(const NextHopNode& a, const NextHopNode& b) {
    return a.address == b.address && a.cost == b.cost;
  }
};

class NextHopElement {
 public:
  NextHopElement() = default;
  NextHopElement(IPAddress next_hop_address, uint32_t next_hop_cost)
      : next_hop(next_hop_address), cost(next_hop_cost) {}
  NextHopElement(const NextHopElement&) = delete;
  NextHopElement& operator=(const NextHopElement&) = delete;
  ~NextHopElement();

  // Inserts (nh, nh_cost) before the first candidate of greater cost, or at
  // the end, and counts the addition in `version`. Returns -1 and changes
  // nothing when a candidate with next hop `nh` comes up to and including
  // that point (one further back is not seen, so a next hop can then be
  // listed twice).
  int add_nh_to_valid_nh_list(IPAddress nh, uint32_t nh_cost);
  // Removes the first candidate equal to (nh, nh_cost); false when none.
  bool remove_from_valid_nh_list(IPAddress nh, uint32_t nh_cost);
  // Applies a reported next hop (see the cases in ostrel_nht.cc), logging
  // the case at debug level; with `clear_path` the search path is emptied.
  void compare_and_update(IPAddress nh, uint32_t nh_cost, bool nh_pending, bool clear_path,
                          const OstrelPeerPathQuery* overlay);

  // "addr(cost)," per candidate.
  void append_valid_next_hops(StringBuilder& sb) const;
  // Per tag: name "(" values joined by ", " "),".
  void append_tags(StringBuilder& sb);

  Vector<NextHopNode> path;  // scratch of the best-path search; empty between searches
  Vector<NextHopNode> valid_next_hops;
  IPAddress next_hop;
  uint32_t cost = 0;
  bool pending = false;
  HashTable<String, EndPointDescriptor*> endpoint_sets;  // owned
  HashTable<String, Vector<String>> tags;
  uint16_t mode = 0;
  uint16_t port = 0;
  int32_t version = 0;  // candidates added
};

class OstrelNextHopTracking {
 public:
  // Deeper searches answer "no path" with a line in the log.
  static constexpr int kMaxPathHops = 64;

  OstrelNextHopTracking() = default;
  OstrelNextHopTracking(const OstrelNextHopTracking&) = delete;
  OstrelNextHopTracking& operator=(const OstrelNextHopTracking&) = delete;
  ~OstrelNextHopTracking();

  // Creates the destination with (nh, cost) as chosen next hop and only
  // candidate, or updates it through `compare_and_update` with the path
  // cleared. Always 0.
  int add_nexthop(IPAddress destination, IPAddress nh, uint32_t nh_cost, bool nh_pending,
                  const OstrelPeerPathQuery* overlay);
  // Removes the candidate (nh, cost); the chosen next hop becomes the
  // cheapest candidate left (255.255.255.255 with cost 4294967295 when none)
  // and is pending. 0, or -22 when the destination is not in the table.
  int remove_nexthop(IPAddress destination, IPAddress nh, uint32_t nh_cost);
  // 0 with the next hop in *nh, or -2 with *nh 0 when the destination is
  // unknown or no candidate yields a path. `self` is the own overlay address.
  int get_nexthop(IPAddress self, IPAddress destination, IPAddress* nh,
                  const OstrelPeerPathQuery* overlay);
  // Extends holder->path towards `destination`; with `start` only that
  // candidate of the destination is tried. Leaves the path empty on a loop,
  // at the hop limit, or when the destination is unknown (then unchanged).
  void compute_best_path(IPAddress self, IPAddress destination, const NextHopNode* start,
                         NextHopElement* holder);
  // The destination's element, or null.
  NextHopElement* find(IPAddress destination);

  // The table as text: a header line, then one line per destination.
  void format_nht(StringBuilder& sb);
  // format_nht's text in the log at debug level.
  void print_nht();
  // One object of string values per destination, appended to `out`.
  void print_nht_json(Json& out);

  uint64_t size() const { return table_.size(); }
  HashTable<IPAddress, NextHopElement*>& table() { return table_; }

 private:
  HashTable<IPAddress, NextHopElement*> table_;
};

#endif  // OSTGRAPHSVC_OSTDIB_OSTREL_NHT_H_
