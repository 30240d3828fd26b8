// IPRewriterBase: what the address and port rewriters share.
//
// A rewriter has one input spec per input saying what happens to a packet
// of an unknown flow: drop it, pass it unchanged, keep its tuple, rewrite it
// by a pattern, or ask an IPMapper element. Mappings (RewriteFlow) are found
// through the forward map of the rewriter that made them (both entries, the
// reply entry under the reverse of the rewritten tuple) and expire through a
// flow store (RewriteHeap) with a capacity that several rewriters may share
// by naming each other in CAPACITY. Expired flows are reaped lazily: when a
// new flow is stored and the reap interval has passed, since no timer runs
// on the packet thread after start-up.
//
// Subclasses (TCPRewriter, IPRewriter, the ICMP rewriters) give the class
// name, read their own keywords first, own the node pools, and implement
// `make_flow`, `release_flow` and the per-packet rewriting.
//
// Ownership: the element owns its specs, its maps and its use of the store;
// a flow is released by the rewriter that owns its spec. Patterns are shared
// by use count. Mappers are other elements of the router.
//
// Threads: the packet-processing thread only; nothing is locked.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_TCPUDP_IPREWRITERBASE_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_TCPUDP_IPREWRITERBASE_H_

#include <cstdint>

#include "graph/element.h"
#include "graph/string.h"
#include "graph/vector.h"
#include "ostgraphsvc/graph/elements/tcpudp/rewrite_flow.h"
#include "ostgraphsvc/graph/elements/tcpudp/rewrite_pattern.h"

class ErrorHandler;
class IPHeaderView;
class IPRewriterBase;
class Packet;
class RewriteInputSpec;
class StringBuilder;

// Results of the mapping decisions.
inline constexpr int kRewriteDrop = -1;
inline constexpr int kRewriteAddFlow = -2;
// Low-level call results.
inline constexpr int kRewriteNoMapping = -11;
inline constexpr int kRewriteUnsupported = -22;
// Low-level lookups: a 12-byte FlowTuple in, the rewritten tuple out.
inline constexpr unsigned kRewriteLookupTCP = 0xC00C4008;
inline constexpr unsigned kRewriteLookupUDP = 0xC00C4009;

// The interface of rewrite-pattern providers. An element offers it through
// its cast ("IPMapper").
class IPMapper {
 public:
  virtual ~IPMapper() = default;
  // Once per mapper spec, from the rewriter's initialize.
  virtual void attach_rewriter(IPRewriterBase*, RewriteInputSpec*, ErrorHandler*) {}
  // The mapping decision for a new flow: -2 with `rewritten` filled makes
  // the flow, 0 or more sends the packet to that output unmapped, -1 drops.
  virtual int rewrite_flowid(RewriteInputSpec*, const FlowTuple&, FlowTuple&, Packet*, int) {
    return kRewriteDrop;
  }
};

class RewriteInputSpec {
 public:
  enum Kind { kDrop = 0, kNochange = 1, kKeep = 2, kPattern = 3, kMapper = 4 };

  IPRewriterBase* owner = nullptr;
  int owner_input = 0;
  int kind = kDrop;
  int foutput = 0;
  IPRewriterBase* reply_element = nullptr;
  int routput = 0;
  uint32_t count = 0;
  uint32_t failures = 0;
  RewritePattern* pattern = nullptr;
  IPMapper* mapper = nullptr;

  // The decision for a new flow of `tuple` (see IPMapper::rewrite_flowid);
  // a refused pattern or mapper mapping counts a failure.
  int map_tuple(const FlowTuple& tuple, FlowTuple& rewritten, Packet* p, int map_id);
};

class IPRewriterBase : public Element {
 public:
  static constexpr uint32_t kDefaultTimeout = 300;
  static constexpr uint32_t kDefaultGuarantee = 5;
  static constexpr uint32_t kDefaultReapInterval = 900;

  IPRewriterBase();
  ~IPRewriterBase() override;

  const char* port_count() const override { return "1-/1-"; }
  const char* processing() const override { return kPush; }
  void* cast(const char* name) override;
  // Reads the base keywords and the input specs; the subclass has removed
  // its own keywords already.
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  int initialize(ErrorHandler* errh) override;
  void cleanup(CleanupStage stage) override;
  void add_handlers() override;
  int low_level_call(unsigned command, void* data) override;

  // The map that holds flows of `map_id` (0: the forward map).
  virtual RewriteMap* map_for(int map_id) { return map_id == 0 ? &map_ : nullptr; }
  // Looks `tuple` up and, when absent and `input` is an input number, maps
  // it through that input's spec (base: the forward map, map id 0).
  virtual RewriteEntry* find_entry(int ip_p, const FlowTuple& tuple, int input) {
    return find_in_map(0, ip_p, tuple, input);
  }
  virtual RewriteEntry* make_flow(int ip_p, const FlowTuple& tuple, const FlowTuple& rewritten,
                                  int input) = 0;
  // Unlinks both entries from their maps and returns the flow to its pool.
  virtual void release_flow(RewriteFlow* flow) = 0;
  // The expiry a guaranteed flow gets when its guarantee ends.
  virtual uint32_t idle_expiry(const RewriteFlow* flow) const {
    return flow->expiry() + timeout_ - guarantee_;
  }

  // Reaps when due, checks the outputs, enters both entries (destroying a
  // flow that held either key), pushes the flow onto its heap and enforces
  // the capacity. The forward entry, or null when the flow was refused (and
  // released).
  RewriteEntry* store_flow(RewriteFlow* flow, int input, RewriteMap* map, RewriteMap* reply_map);
  // Removes the flow from its heap and its spec's count, then releases it
  // through its owner.
  void destroy_flow(RewriteFlow* flow);
  // Destroys expired flows, then more until the store fits its capacity (0
  // with `clear_all`).
  void reap_flows(bool clear_all);
  // Destroys every flow of the store.
  void clear_flows();

  RewriteHeap* heap() const { return heap_; }
  const Vector<RewriteInputSpec>& input_specs() const { return input_specs_; }
  RewriteInputSpec& input_spec(int i) { return input_specs_[i]; }
  uint32_t timeout() const { return timeout_; }
  uint32_t guarantee() const { return guarantee_; }

  // One table row: the entry's tuple, " => ", the rewritten tuple and the
  // flow text, without the line end.
  void unparse_entry(const RewriteEntry* entry, uint32_t now, StringBuilder& sb) const;
  // Every entry of `map`, one row a line.
  String table_text(RewriteMap* map) const;
  // Read handler: `table_text` of the map whose id is the user data.
  static String table_handler(Element* e, void* user_data);
  // "tcp_lookup"-style answer: "saddr sport daddr dport" of the rewritten
  // tuple of the flow that `parameter` (SADDR, SPORT, DADDR, DPORT) names.
  static int lookup_handler(int op, String& value, Element* e, const Handler* h,
                            ErrorHandler* errh);

 protected:
  // DST_ANNO and REPLY_ANNO of the rewriters that take them: bit 0 DST_ANNO;
  // with REPLY_ANNO bit 1 and, from bit 2, its offset.
  enum AnnoBits { kDstAnno = 1, kReplyAnno = 2 };
  static int anno_bits(bool dst_anno, int reply_anno) {
    return (dst_anno ? kDstAnno : 0) | (reply_anno >= 0 ? kReplyAnno | reply_anno << 2 : 0);
  }
  // The IP part of a rewrite in `direction`: addresses from the other
  // direction's tuple, the annotations `annos` asks for, the header checksum.
  static void rewrite_ip_header(RewriteFlow* flow, int direction, Packet* p, IPHeaderView& header,
                                int annos);
  // The transport checksum delta of `flow` in `direction`.
  static uint16_t transport_delta(const RewriteFlow* flow, int direction) {
    return direction == 1 ? flow->transport_csum_delta()
                          : static_cast<uint16_t>(~flow->transport_csum_delta());
  }
  // `find_entry` over the map of `map_id`.
  RewriteEntry* find_in_map(int map_id, int ip_p, const FlowTuple& tuple, int input);
  // Moves guaranteed flows whose guarantee ran out to the best-effort heap.
  void move_expired_guarantees(uint32_t now);
  // Removes `entry` from `map` when the map holds that very entry; for
  // `release_flow`.
  static void unlink_entry(RewriteMap* map, RewriteEntry* entry);
  // Grows `map` after a store that left it over twice its buckets.
  static void grow_map(RewriteMap* map);

  RewriteMap map_;
  Vector<RewriteInputSpec> input_specs_;
  RewriteHeap* heap_;
  uint32_t timeout_ = kDefaultTimeout;
  uint32_t guarantee_ = kDefaultGuarantee;
  uint32_t reap_interval_ = kDefaultReapInterval;
  uint32_t next_reap_ = 0;

 private:
  bool parse_input_spec(const String& text, int input, RewriteInputSpec* spec, ErrorHandler* errh);
  static void release_spec(RewriteInputSpec* spec);
  void spec_line(const RewriteInputSpec& spec, StringBuilder& sb) const;

  static String read_handler(Element* e, void* user_data);
  static int write_handler(const String& value, Element* e, void* user_data, ErrorHandler* errh);
  static String pattern_read_handler(Element* e, void* user_data);
  static int pattern_write_handler(const String& value, Element* e, void* user_data,
                                   ErrorHandler* errh);
};

// Seconds keyword values as milliseconds; false (after "out of range")
// when the count does not fit the wrapping millisecond clock.
bool rewriter_seconds_to_msec(uint32_t seconds, uint32_t* msec, const char* keyword,
                              ErrorHandler* errh);

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_TCPUDP_IPREWRITERBASE_H_
