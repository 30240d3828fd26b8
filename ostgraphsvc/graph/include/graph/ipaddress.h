// IPAddress: one IPv4 address (or mask), and the IPv4 value grammars.
//
// The four bytes are kept in network byte order exactly as they lie in a
// packet header: the first dotted number is the first byte in memory. The
// type is 4 bytes and trivially copyable, so `Vector<IPAddress>` moves it
// with memcpy and the formatter's "ip_ptr" conversion can read it as bytes.
//
// Text forms accepted:
//   address  "1.2.3.4": four decimal parts 0-255, leading zeros allowed;
//   list     addresses separated by whitespace (comments skipped);
//   prefix   "10.1.2.3/24", "10/8" (missing trailing bytes are zero),
//            "1.2.3.4/255.0.255.0" (any dotted mask);
//   port     a decimal, octal ("010") or hex ("0x50") number 0-65535, or a
//            name of the protocol's port NameDB type.
// Parsers write their outputs only on success. Their integer messages go to
// `ParseContext::blank`; the port parser alone reports
// "overflow, range 0-65535" through the caller's context, every other
// failure is silent so that the argument layer says "parse error".
// Everything here is reentrant and keeps no state.
#ifndef GRAPH_IPADDRESS_H_
#define GRAPH_IPADDRESS_H_

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "graph/parse_context.h"
#include "graph/string.h"
#include "graph/vector.h"

class IPAddress {
 public:
  constexpr IPAddress() = default;
  // `addr` holds the bytes in network order, as read from a header.
  constexpr explicit IPAddress(uint32_t addr) : addr_(addr) {}
  // The bytes in text order: IPAddress(10, 0, 0, 1) is 10.0.0.1.
  IPAddress(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
    const unsigned char bytes[4] = {a, b, c, d};
    std::memcpy(&addr_, bytes, 4);
  }
  // The mask of `prefix_len` leading one bits, 0-32.
  static IPAddress make_prefix(int prefix_len);

  uint32_t addr() const { return addr_; }
  // The address as a number whose most significant byte is the first one.
  uint32_t host_order() const;
  const unsigned char* data() const { return reinterpret_cast<const unsigned char*>(&addr_); }
  bool empty() const { return addr_ == 0; }

  // "%d.%d.%d.%d" of the bytes in memory order.
  String to_string() const;

  // 0 for the zero mask, the count of leading ones when `mask` is ones
  // followed only by zeros, else -1.
  static int mask_to_prefix_len(IPAddress mask);
  // "10.0.0.0/8" for a prefix mask, "10.0.0.0/255.0.255.0" for any other.
  static String prefix_to_string(IPAddress address, IPAddress mask);

  friend bool operator==(IPAddress a, IPAddress b) { return a.addr_ == b.addr_; }

 private:
  uint32_t addr_ = 0;
};

static_assert(sizeof(IPAddress) == 4 && std::is_trivially_copyable_v<IPAddress>);

// Hash tables keyed by address (HashTable<IPAddress, V>) hash the four bytes
// as they lie in memory, like any integer key.
inline uint32_t hashcode(IPAddress address) { return address.addr(); }

// The whole text must be one dotted quad.
bool cp_parse_ip_address(const String& text, IPAddress* result);

// Whitespace-separated dotted quads. On success the parsed list replaces
// *result; an empty text gives an empty list.
bool cp_parse_ip_address_list(const String& text, Vector<IPAddress>* result,
                              ParseContext& context = ParseContext::blank);

// "address/length" or "address/mask"; with `allow_bare_address` a lone
// dotted quad too, with mask 255.255.255.255. Host bits are kept.
bool cp_parse_ip_prefix(const String& text, bool allow_bare_address, IPAddress* address,
                        IPAddress* mask, ParseContext& context = ParseContext::blank);

// A port of IP protocol `ip_protocol` (6 TCP, 17 UDP): a name defined for
// the context's element, or a number.
bool cp_parse_port(int ip_protocol, const String& text, uint16_t* port,
                   ParseContext& context = ParseContext::blank);

#endif  // GRAPH_IPADDRESS_H_
