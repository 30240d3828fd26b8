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
