// The flow records of the address and port rewriters: the 12-byte flow key,
// the two map entries of a mapping, the mapping itself, and the expiry heaps
// that several rewriters may share.
//
// A RewriteFlow holds its forward entry (the tuple packets carry as they
// arrive) and its reply entry (the reverse of the rewritten tuple) one after
// the other, so an entry finds its flow and the other entry from its
// direction alone. Flows live in a NodePool of the rewriter that made them;
// the rewriter's maps link the entries through `hash_next`, and the
// RewriteHeap holds a pointer to each flow at the position the flow records.
//
// Times are 32-bit millisecond counts that wrap; they are compared by the
// sign of their 32-bit difference (`time_before`).
//
// Threads: the packet-processing thread only; nothing is locked.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_TCPUDP_REWRITE_FLOW_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_TCPUDP_REWRITE_FLOW_H_

#include <cstdint>

#include "graph/hash_container.h"
#include "graph/ipaddress.h"
#include "graph/string.h"
#include "graph/vector.h"

class RewriteInputSpec;

// True when `a` comes before `b` on the wrapping millisecond clock.
inline bool time_before(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }

// The current framework time as a wrapping 32-bit millisecond count.
uint32_t rewriter_now_msec();

// Addresses and ports in network order, as they lie in the packet.
class FlowTuple {
 public:
  FlowTuple() = default;
  FlowTuple(IPAddress saddr, IPAddress daddr, uint16_t sport, uint16_t dport)
      : saddr_(saddr), daddr_(daddr), sport_(sport), dport_(dport) {}

  IPAddress saddr() const { return saddr_; }
  IPAddress daddr() const { return daddr_; }
  uint16_t sport() const { return sport_; }
  uint16_t dport() const { return dport_; }
  void set_saddr(IPAddress a) { saddr_ = a; }
  void set_daddr(IPAddress a) { daddr_ = a; }
  void set_sport(uint16_t p) { sport_ = p; }
  void set_dport(uint16_t p) { dport_ = p; }

  FlowTuple reverse() const { return FlowTuple(daddr_, saddr_, dport_, sport_); }
  uint32_t hashcode() const;
  // "(a.b.c.d, sport, a.b.c.d, dport)", ports in host order.
  void unparse(StringBuilder& sb) const;

  friend bool operator==(const FlowTuple& a, const FlowTuple& b) {
    return a.saddr_ == b.saddr_ && a.daddr_ == b.daddr_ && a.sport_ == b.sport_ &&
           a.dport_ == b.dport_;
  }

 private:
  IPAddress saddr_;
  IPAddress daddr_;
  uint16_t sport_ = 0;
  uint16_t dport_ = 0;
};

static_assert(sizeof(FlowTuple) == 12, "the low-level call copies 12 bytes");

inline uint32_t hashcode(const FlowTuple& t) { return t.hashcode(); }

class RewriteFlow;

// One direction of a mapping, kept in a map under the tuple its packets
// carry before rewriting.
class RewriteEntry {
 public:
  using key_type = FlowTuple;

  const FlowTuple& hash_key() const { return flowid_; }
  const FlowTuple& flowid() const { return flowid_; }
  int output() const { return static_cast<int>(output_); }
  // 0 forward, 1 reply.
  int direction() const { return static_cast<int>(direction_); }
  bool is_forward() const { return direction_ == 0; }
  inline RewriteFlow* flow();
  inline const RewriteFlow* flow() const;
  inline RewriteEntry* other();

  // The tuple a packet of this direction carries after rewriting.
  inline FlowTuple rewritten_flowid() const;

 private:
  friend class RewriteFlow;
  friend struct HashContainer_adapter<RewriteEntry>;
  void init(const FlowTuple& flowid, int output, int direction) {
    flowid_ = flowid;
    output_ = static_cast<uint32_t>(output) & 0xFFFFFF;
    direction_ = static_cast<uint32_t>(direction);
  }

  FlowTuple flowid_;
  uint32_t output_ : 24 = 0;
  uint32_t direction_ : 8 = 0;
  RewriteEntry* hash_next = nullptr;
};

using RewriteMap = HashContainer<RewriteEntry>;

class RewriteHeap;

class RewriteFlow {
 public:
  static constexpr uint32_t kNoPlace = 0xFFFFFFFF;

  // Takes the outputs of `owner` and computes the checksum deltas of
  // `flowid` -> `rewritten`.
  RewriteFlow(RewriteInputSpec* owner, const FlowTuple& flowid, const FlowTuple& rewritten,
              uint8_t ip_p, bool guaranteed, uint32_t expiry);

  RewriteEntry& entry(int direction) { return entries_[direction]; }
  const RewriteEntry& entry(int direction) const { return entries_[direction]; }
  RewriteInputSpec* owner() const { return owner_; }
  uint8_t ip_p() const { return ip_p_; }
  uint32_t expiry() const { return expiry_; }
  bool guaranteed() const { return guaranteed_ != 0; }
  uint32_t place() const { return place_; }
  void set_place(uint32_t place) { place_ = place; }
  uint8_t state() const { return state_; }
  void set_state(uint8_t state) { state_ = state; }
  uint8_t reply_anno() const { return reply_anno_; }
  void set_reply_anno(uint8_t v) { reply_anno_ = v; }
  // Deltas for the reply direction (rewritten -> original); the forward
  // direction applies their complement.
  uint16_t ip_csum_delta() const { return ip_csum_delta_; }
  uint16_t transport_csum_delta() const { return transport_csum_delta_; }
  void set_transport_csum_delta(uint16_t d) { transport_csum_delta_ = d; }

  // Stores `expiry`; re-sifts the flow in place when it stays in the same
  // heap and moves earlier, else moves it to the other heap.
  void set_expiry(RewriteHeap* heap, bool guaranteed, uint32_t expiry);

 private:
  friend class RewriteHeap;

  // First, so that an entry minus its direction is the flow.
  RewriteEntry entries_[2];
  uint32_t expiry_;
  uint32_t place_ = kNoPlace;
  uint8_t ip_p_;
  uint8_t state_ = 0;
  uint8_t guaranteed_;
  uint8_t reply_anno_ = 0;
  uint16_t ip_csum_delta_;
  uint16_t transport_csum_delta_;
  RewriteInputSpec* owner_;
};

inline RewriteFlow* RewriteEntry::flow() {
  return reinterpret_cast<RewriteFlow*>(this - direction_);
}
inline const RewriteFlow* RewriteEntry::flow() const {
  return reinterpret_cast<const RewriteFlow*>(this - direction_);
}
inline RewriteEntry* RewriteEntry::other() { return &flow()->entry(1 - direction()); }
inline FlowTuple RewriteEntry::rewritten_flowid() const {
  return flow()->entry(1 - direction()).flowid().reverse();
}

// The flow store: two min-heaps ordered by expiry, best effort (index 0)
// and guaranteed (index 1), and a capacity for both together. Each heap is
// 4-ary with the ordering key stored beside the flow pointer, so a sift at
// 10^6 flows walks 10 levels and reads one cache line of keys per level.
// A key is a lower bound of its flow's expiry: a packet that moves the
// expiry later only stores it, and the flow sinks to its place when it
// reaches the top, so an established flow's packet costs no heap walk.
// Only `top` promises the earliest expiry; `flow_at` lists flows in no
// useful order.
//
// Shared by rewriters that name each other in CAPACITY; the last user
// deletes it.
class RewriteHeap {
 public:
  static constexpr int32_t kDefaultCapacity = 2147483647;
  enum { kBestEffort = 0, kGuaranteed = 1 };

  RewriteHeap() = default;
  RewriteHeap(const RewriteHeap&) = delete;
  RewriteHeap& operator=(const RewriteHeap&) = delete;

  void use() { ++use_count_; }
  // Deletes the store at the last use.
  void unuse() {
    if (--use_count_ == 0) delete this;
  }

  int32_t capacity() const { return capacity_; }
  void set_capacity(int32_t capacity) { capacity_ = capacity; }
  int size() const { return heaps_[0].size() + heaps_[1].size(); }
  int count(int which) const { return heaps_[which].size(); }
  bool empty(int which) const { return heaps_[which].empty(); }
  RewriteFlow* flow_at(int which, int i) const { return heaps_[which][i].flow; }
  // The flow of the heap that expires first (the heap must not be empty).
  RewriteFlow* top(int which);

  void push(RewriteFlow* flow);
  void remove(RewriteFlow* flow);
  // After the flow's expiry moved earlier within its heap.
  void resift(RewriteFlow* flow);

 private:
  struct Slot {
    uint32_t key;
    RewriteFlow* flow;
  };
  static constexpr uint32_t kArity = 4;

  ~RewriteHeap() = default;
  void sift_up(Vector<Slot>& h, uint32_t i);
  void sift_down(Vector<Slot>& h, uint32_t i);

  Vector<Slot> heaps_[2];
  int32_t capacity_ = kDefaultCapacity;
  int use_count_ = 1;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_TCPUDP_REWRITE_FLOW_H_
