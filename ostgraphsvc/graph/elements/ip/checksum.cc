#include "ostgraphsvc/graph/elements/ip/checksum.h"

#include "platform/divert/divert.h"

uint16_t checksum_delta(const void* old_bytes, const void* new_bytes, size_t length) {
  const auto* o = static_cast<const unsigned char*>(old_bytes);
  const auto* n = static_cast<const unsigned char*>(new_bytes);
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < length; i += 2) {
    uint16_t ow, nw;
    std::memcpy(&ow, o + i, 2);
    std::memcpy(&nw, n + i, 2);
    sum += static_cast<uint16_t>(~ow);
    sum += nw;
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}

bool recompute_checksums(unsigned char* ip, uint32_t length) {
  return WinDivertHelperCalcChecksums(ip, length, nullptr, 0);
}

uint16_t internet_checksum(const void* bytes, size_t length) {
  const auto* b = static_cast<const unsigned char*>(bytes);
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 1 < length; i += 2) {
    uint16_t w;
    std::memcpy(&w, b + i, 2);
    sum += w;
  }
  if (i < length) {
    const unsigned char last[2] = {b[i], 0};
    uint16_t w;
    std::memcpy(&w, last, 2);
    sum += w;
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

void set_ip_header_checksum(unsigned char* ip, uint32_t header_length) {
  ip[10] = 0;
  ip[11] = 0;
  const uint16_t sum = internet_checksum(ip, header_length);
  std::memcpy(ip + 10, &sum, 2);
}
