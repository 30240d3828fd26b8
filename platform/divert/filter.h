// The capture filter language, compiled once and evaluated per packet.
//
// Language: `true`, `false`, decimal numbers (32 bits) and dotted IPv4
// addresses; the fields `inbound`, `outbound`, `impostor`, `loopback`,
// `ifIdx`, `ip.SrcAddr`, `ip.DstAddr`, `remoteAddr`, `remotePort`; the
// operators, tightest first: `!`, the comparisons `==` `!=` `<` `>` `<=` `>=`
// (unsigned, one per operand pair), `&&`, `||`, and `A ? B : C` (right
// associative); parentheses. Blanks between tokens are optional. Every value
// is an unsigned 32-bit number; a test is true when non-zero; addresses
// compare in numeric order (192.168.0.0 < 192.168.1.5).
//
// A text that does not parse is refused with a reason, never treated as
// capture-all: empty, unknown field, unbalanced parentheses, trailing text,
// a number over 32 bits, a bad address ("10.0.0"), nesting deeper than 64.
//
// Ownership and threads: a compiled FilterProgram is immutable; `matches` may
// be called from any number of threads at once and never allocates.
#ifndef PLATFORM_DIVERT_FILTER_H_
#define PLATFORM_DIVERT_FILTER_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/divert/divert.h"

namespace platform::divert {

// What the filter language sees of one packet. Addresses in host order.
struct PacketFields {
  bool outbound = false;
  bool loopback = false;
  bool impostor = false;
  uint32_t if_idx = 0;
  uint32_t src_addr = 0;
  uint32_t dst_addr = 0;
  // The far end's TCP/UDP port; for ICMP the type when inbound, 0 when
  // outbound; 0 for other protocols and for packets without a transport header.
  uint32_t remote_port = 0;
};

// Fills `*out` from an IPv4 packet and its address record (direction,
// loopback, impostor, interface). False, leaving `*out` untouched, when the
// packet is not IPv4 with a sound header; a transport header that does not fit
// only leaves the port 0. Never reads past `len`.
bool packet_fields(const uint8_t* packet, uint32_t len, const WINDIVERT_ADDRESS& addr,
                   PacketFields* out);

struct FilterError {
  const char* reason = nullptr;  // static text
  uint32_t pos = 0;              // byte offset into the text
};

class FilterProgram {
 public:
  FilterProgram() = default;  // matches nothing until compiled

  // Replaces the program with `text` compiled. On refusal returns false, fills
  // `*error` (may be null) and leaves the program matching nothing.
  bool compile(std::string_view text, FilterError* error);

  bool matches(const PacketFields& fields) const;

 private:
  enum class Op : uint8_t { kConst, kField, kNot, kCmp, kAnd, kOr, kTernary };
  enum class Field : uint8_t {
    kInbound,
    kOutbound,
    kImpostor,
    kLoopback,
    kIfIdx,
    kSrcAddr,
    kDstAddr,
    kRemoteAddr,
    kRemotePort,
  };
  enum class Cmp : uint8_t { kEq, kNe, kLt, kGt, kLe, kGe };
  struct Node {
    Op op = Op::kConst;
    Field field = Field::kInbound;
    Cmp cmp = Cmp::kEq;
    uint32_t value = 0;  // kConst
    // kNot: a; kCmp: a, b; kTernary: a ? b : c; kAnd/kOr: children
    // first..first+count in `children_`.
    uint32_t a = 0, b = 0, c = 0;
    uint32_t first = 0, count = 0;
  };
  class Parser;

  uint32_t eval(uint32_t node, const PacketFields& f) const;
  static uint32_t field_value(Field field, const PacketFields& f);

  std::vector<Node> nodes_;
  std::vector<uint32_t> children_;
  uint32_t root_ = 0;
  bool compiled_ = false;
};

}  // namespace platform::divert

#endif  // PLATFORM_DIVERT_FILTER_H_
