// Packet builders for the tests of this folder: IPv4 with a TCP, UDP or ICMP
// header, checksums left 0, addresses given as dotted text.
#ifndef PLATFORM_DIVERT_TESTING_PACKETS_H_
#define PLATFORM_DIVERT_TESTING_PACKETS_H_

#include <arpa/inet.h>

#include <cstdint>
#include <vector>

#include "platform/divert/divert.h"

namespace platform::divert::testing {

inline uint32_t addr(const char* dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted, &a);
  return ntohl(a.s_addr);
}

inline void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}

inline void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  put16(b, at, static_cast<uint16_t>(v >> 16));
  put16(b, at + 2, static_cast<uint16_t>(v));
}

inline uint16_t get16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}

// IPv4 header (20 bytes) + `l4_len` bytes of transport header and payload,
// the payload filled with a counting pattern.
inline std::vector<uint8_t> make_ipv4(uint8_t proto, const char* src, const char* dst,
                                      size_t l4_len) {
  std::vector<uint8_t> b(20 + l4_len);
  b[0] = 0x45;
  put16(b, 2, static_cast<uint16_t>(b.size()));
  put16(b, 4, 0x1234);
  b[8] = 64;
  b[9] = proto;
  put32(b, 12, addr(src));
  put32(b, 16, addr(dst));
  for (size_t i = 20; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 7);
  return b;
}

inline std::vector<uint8_t> make_tcp(const char* src, uint16_t sport, const char* dst,
                                     uint16_t dport, size_t payload = 0) {
  auto b = make_ipv4(6, src, dst, 20 + payload);
  put16(b, 20, sport);
  put16(b, 22, dport);
  b[32] = 0x50;
  b[33] = 0x18;
  put16(b, 36, 0);
  put16(b, 38, 0);
  return b;
}

inline std::vector<uint8_t> make_udp(const char* src, uint16_t sport, const char* dst,
                                     uint16_t dport, size_t payload = 0) {
  auto b = make_ipv4(17, src, dst, 8 + payload);
  put16(b, 20, sport);
  put16(b, 22, dport);
  put16(b, 24, static_cast<uint16_t>(8 + payload));
  put16(b, 26, 0);
  return b;
}

inline std::vector<uint8_t> make_icmp(const char* src, const char* dst, uint8_t type,
                                      size_t payload = 0) {
  auto b = make_ipv4(1, src, dst, 8 + payload);
  b[20] = type;
  b[21] = 0;
  put16(b, 22, 0);
  return b;
}

inline WINDIVERT_ADDRESS where(bool outbound, uint32_t if_idx = 3, bool impostor = false,
                               bool loopback = false) {
  WINDIVERT_ADDRESS a{};
  a.Flags = (outbound ? WINDIVERT_ADDRESS_OUTBOUND : 0) |
            (impostor ? WINDIVERT_ADDRESS_IMPOSTOR : 0) |
            (loopback ? WINDIVERT_ADDRESS_LOOPBACK : 0);
  a.IfIdx = if_idx;
  return a;
}

}  // namespace platform::divert::testing

#endif  // PLATFORM_DIVERT_TESTING_PACKETS_H_
