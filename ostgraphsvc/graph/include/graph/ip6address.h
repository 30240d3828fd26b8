// IPv6Address: one IPv6 address, and the IPv6 value grammars.
//
// Sixteen bytes, eight 16-bit groups in network byte order, as in a header.
//
// Text accepted by `cp_parse_ip6_address` (the whole text, no spaces, no
// zone suffix): eight groups of 1-4 hex digits separated by single colons;
// fewer groups with exactly one "::" standing for one or more zero groups;
// in place of the last two groups a dotted quad ("::ffff:1.2.3.4").
// Prefixes are "address/length" (0-128) or "address/mask" with a contiguous
// mask. `to_string` writes lower-case groups without leading zeros and
// replaces the first longest run of two or more zero groups with "::".
// Parsers write their outputs only on success and report nothing (integer
// messages go to `ParseContext::blank`). Reentrant; no state.
#ifndef GRAPH_IP6ADDRESS_H_
#define GRAPH_IP6ADDRESS_H_

#include <cstdint>
#include <cstring>

#include "graph/parse_context.h"
#include "graph/string.h"

class IPv6Address {
 public:
  IPv6Address() = default;
  // `bytes`: 16 bytes in network order.
  explicit IPv6Address(const unsigned char* bytes) { std::memcpy(bytes_, bytes, 16); }

  const unsigned char* data() const { return bytes_; }
  unsigned char* data() { return bytes_; }
  // Group `i` (0-7) as a number.
  uint16_t group(int i) const {
    return static_cast<uint16_t>((bytes_[2 * i] << 8) | bytes_[2 * i + 1]);
  }

  String to_string() const;

  friend bool operator==(const IPv6Address& a, const IPv6Address& b) {
    return std::memcmp(a.bytes_, b.bytes_, 16) == 0;
  }

 private:
  unsigned char bytes_[16] = {};
};

static_assert(sizeof(IPv6Address) == 16);

// True only when the whole text is one address.
bool cp_parse_ip6_address(const String& text, IPv6Address* result);

// "address/length" or "address/mask"; with `allow_bare_address` a lone
// address too, with length 128.
bool cp_parse_ip6_prefix(const String& text, bool allow_bare_address, IPv6Address* address,
                         int* prefix_len, ParseContext& context = ParseContext::blank);

#endif  // GRAPH_IP6ADDRESS_H_
