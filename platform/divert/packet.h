// IPv4 framing and checksums shared by the packet helpers and the backends.
// Internal to the platform layer; callers above it use the helpers of
// divert.h. Pure functions over caller buffers; thread-safe.
#ifndef PLATFORM_DIVERT_PACKET_H_
#define PLATFORM_DIVERT_PACKET_H_

#include <cstdint>

namespace platform::divert {

enum class L4Kind : uint8_t { kNone, kIcmp, kTcp, kUdp };

struct Ipv4Parse {
  bool framed = false;       // version 4, header and total length sound, within the buffer
  bool well_formed = false;  // framed, and the transport header (if any) fits
  uint32_t header_len = 0;
  uint32_t total_len = 0;
  uint8_t protocol = 0;
  bool more_fragments = false;
  bool later_fragment = false;  // fragment offset not 0: no transport header
  L4Kind kind = L4Kind::kNone;
  uint32_t l4_offset = 0;
  uint32_t l4_len = 0;  // IPv4 payload bytes
  uint32_t l4_header_len = 0;
};

// Parses the IPv4 packet at the front of `p`; reads nothing past `len`.
Ipv4Parse parse_ipv4(const uint8_t* p, uint32_t len);

inline uint32_t udp_length(const uint8_t* udp) {
  return static_cast<uint32_t>(udp[4] << 8 | udp[5]);
}

// Fragment: more-fragments set or a non-zero offset.
inline bool is_fragment(const Ipv4Parse& ip) { return ip.more_fragments || ip.later_fragment; }

// Recomputes the checksums of a well-formed packet in place, except those the
// WINDIVERT_HELPER_NO_* bits of `flags` exclude. Fragments keep their
// transport checksum; a UDP sum of 0 is written 0xFFFF.
void compute_checksums(uint8_t* p, const Ipv4Parse& ip, uint64_t flags);

// Whether the TCP or UDP checksum of a well-formed, unfragmented packet holds
// as the kernel checks it (UDP over its own length; a UDP checksum of 0 means
// none). True for every other packet: nothing can be checked there.
bool transport_checksum_ok(const uint8_t* p, const Ipv4Parse& ip);

}  // namespace platform::divert

#endif  // PLATFORM_DIVERT_PACKET_H_
