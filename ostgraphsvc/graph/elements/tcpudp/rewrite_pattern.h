// RewritePattern: how a pattern input spec of a rewriter turns the tuple of a
// new flow into its rewritten tuple.
//
// A pattern gives a source address, source port, destination address and
// destination port (0 keeps the packet's value) and an optional range of
// extra values (the variation) for the source port (patterns of three or
// four words) or the source address (two words). Pattern texts:
//   SADDR DADDR            SADDR: "-", a.b.c.d, a.b.c.d-e.f.g.h or a.b.c.d/len
//   SADDR DADDR SPORT      SPORT: "-", 1-65535, or a range lo-hi (0 <= lo)
//   SADDR SPORT DADDR DPORT
// A range word may end in '#' (hand values out in order) or '?' (start at a
// random value instead of trying the packet's own value first).
//
// Patterns are shared by the input specs that use them and counted with
// `use`/`unuse`; the last `unuse` deletes the pattern.
//
// Threads: configuration and the packet path run on the packet-processing
// thread; nothing is locked.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_TCPUDP_REWRITE_PATTERN_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_TCPUDP_REWRITE_PATTERN_H_

#include <cstdint>

#include "graph/ipaddress.h"
#include "graph/string.h"
#include "ostgraphsvc/graph/elements/tcpudp/rewrite_flow.h"

class Element;
class ErrorHandler;
class StringBuilder;

class RewritePattern {
 public:
  // Ports in network order.
  RewritePattern(IPAddress saddr, uint16_t sport, IPAddress daddr, uint16_t dport, bool is_napt,
                 bool sequential, bool same_first, uint32_t variation);
  RewritePattern(const RewritePattern&) = delete;
  RewritePattern& operator=(const RewritePattern&) = delete;

  // Parses one to four pattern words into a new pattern (use count 1).
  // Reports "bad source address", "bad source port", "bad destination
  // address", "bad destination port", "syntax error" or, for one word, "no
  // such pattern" (this system has no named patterns) and returns false.
  static bool parse(const String& text, RewritePattern** result, ErrorHandler* errh);
  // The pattern words followed by FOUTPUT and ROUTPUT ("bad forward port",
  // "bad reply port"; fewer than three words: "syntax error").
  static bool parse_with_ports(const String& text, RewritePattern** result, int* foutput,
                               int* routput, ErrorHandler* errh);

  // Fills `rewritten` for a new flow of `tuple`, avoiding tuples whose
  // reverse is already a key of `reply_map`. -2: make the flow; -1: every
  // value of the range is in use.
  int map_tuple(const FlowTuple& tuple, FlowTuple& rewritten, RewriteMap* reply_map);

  // The pattern as shown by the "patterns" handler.
  void unparse(StringBuilder& sb) const;

  IPAddress saddr() const { return saddr_; }
  uint16_t sport() const { return sport_; }
  IPAddress daddr() const { return daddr_; }
  uint16_t dport() const { return dport_; }
  uint32_t variation() const { return variation_; }
  uint32_t next_offset() const { return next_; }
  bool is_napt() const { return is_napt_; }
  bool sequential() const { return sequential_; }
  bool same_first() const { return same_first_; }

  void use() { ++use_count_; }
  void unuse() {
    if (--use_count_ == 0) delete this;
  }

 private:
  ~RewritePattern() = default;
  uint32_t random_offset();
  // `tuple` with source port or address `base + offset`.
  void apply_offset(FlowTuple& tuple, uint32_t offset) const;

  IPAddress saddr_;
  uint16_t sport_;
  IPAddress daddr_;
  uint16_t dport_;
  uint32_t variation_;
  uint32_t next_ = 0;
  bool is_napt_;
  bool sequential_;
  bool same_first_;
  int use_count_ = 1;
  uint64_t random_state_;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_TCPUDP_REWRITE_PATTERN_H_
