// Internet checksum helpers for elements that edit headers in place.
//
// Incremental updates follow RFC 1624 eqn. 3, HC' = ~(~HC + ~m + m'): a
// delta is the one's-complement sum of the new words and the complements of
// the old ones, computed once (per flow, say) and added to any checksum that
// covers those words. Words are taken as they lie in memory; one's-complement
// sums do not depend on byte order as long as deltas and fields are read the
// same way, so nothing is swapped.
//
// The full recomputation is the capture layer's (`recompute_checksums`), so
// that elements and the packets the capture re-injects agree on one sum.
//
// Pure functions over caller buffers; thread-safe.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_IP_CHECKSUM_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_IP_CHECKSUM_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

// One's-complement addition of two 16-bit values.
inline uint16_t checksum_add(uint16_t a, uint16_t b) {
  uint32_t sum = uint32_t{a} + b;
  return static_cast<uint16_t>((sum & 0xFFFF) + (sum >> 16));
}

// The delta that turns a checksum over `old_bytes` into one over `new_bytes`
// (`length` even, both as stored in the packet).
uint16_t checksum_delta(const void* old_bytes, const void* new_bytes, size_t length);

// Applies `delta` to the 16-bit checksum stored at `field` (RFC 1624 eqn. 3).
inline void checksum_update(unsigned char* field, uint16_t delta) {
  uint16_t sum;
  std::memcpy(&sum, field, 2);
  sum = static_cast<uint16_t>(~checksum_add(static_cast<uint16_t>(~sum), delta));
  std::memcpy(field, &sum, 2);
}

// Recomputes every checksum of the IPv4 packet at `ip` (`length` bytes at
// most; its total length bounds the work) in place: IPv4 header, and for a
// first fragment its ICMP, TCP or UDP checksum (a UDP sum of 0 is written
// 0xFFFF). False, with nothing written, for a packet that is not well-formed
// IPv4.
bool recompute_checksums(unsigned char* ip, uint32_t length);

// The Internet checksum of `length` bytes (an odd last byte padded with
// zero), stored as the field holds it.
uint16_t internet_checksum(const void* bytes, size_t length);

// Recomputes the IPv4 header checksum of the `header_length`-byte header at
// `ip` in place.
void set_ip_header_checksum(unsigned char* ip, uint32_t header_length);

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_IP_CHECKSUM_H_
