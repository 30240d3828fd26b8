// The packets of the hub's `burst N` command, so that a test can rebuild
// packet i and compare it byte for byte with what arrived.
//
// Packet i is a raw IPv4 packet (protocol 253, DF, TTL 64, addresses 0) of
// 20 to 1500 bytes, its length spread by a fixed rule; bytes 12-15 carry i
// (big-endian) and the payload follows from i. Over TLS the hub puts 1 to 8
// packets in a record (record r holds 1 + r % 8); over DTLS each packet is
// a datagram of its own. Header only; no state.
#ifndef TOOLS_TESTHUB_BURST_H_
#define TOOLS_TESTHUB_BURST_H_

#include <cstddef>
#include <cstdint>

namespace testhub {

inline constexpr size_t kBurstPacketMax = 1500;
inline constexpr uint32_t kBurstMax = 1000000;

inline size_t burst_packet_length(uint32_t i) { return 20 + (i * 7919u + 13u) % 1481u; }

// Writes packet `i` to `out` (room for kBurstPacketMax bytes); its length.
inline size_t burst_packet(uint32_t i, uint8_t* out) {
  const size_t length = burst_packet_length(i);
  for (size_t j = 20; j < length; ++j) out[j] = static_cast<uint8_t>(i * 131u + j);
  const uint8_t header[20] = {0x45,
                              0,
                              static_cast<uint8_t>(length >> 8),
                              static_cast<uint8_t>(length),
                              static_cast<uint8_t>(i >> 8),
                              static_cast<uint8_t>(i),
                              0x40,
                              0,
                              64,
                              253,
                              0,
                              0,
                              static_cast<uint8_t>(i >> 24),
                              static_cast<uint8_t>(i >> 16),
                              static_cast<uint8_t>(i >> 8),
                              static_cast<uint8_t>(i),
                              0,
                              0,
                              0,
                              0};
  for (size_t j = 0; j < 20; ++j) out[j] = header[j];
  return length;
}

inline uint32_t burst_packets_in_record(uint32_t record) { return 1 + record % 8; }

}  // namespace testhub

#endif  // TOOLS_TESTHUB_BURST_H_
