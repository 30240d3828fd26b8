// Captured batches are walked and their checksums recomputed in place: over
// any bytes the walk must stay inside the buffer and end, every pointer it
// hands out must lie inside the packet it parsed, and a packet it accepts must
// take its checksums (twice giving the same bytes) and yield filter fields.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/divert/divert.h"
#include "platform/divert/filter.h"

namespace {

void inside(const void* p, uint32_t len, const uint8_t* begin, const uint8_t* end) {
  if (p == nullptr) return;
  const auto* b = static_cast<const uint8_t*>(p);
  if (b < begin || b > end || len > static_cast<size_t>(end - b)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 0x100000) return 0;
  // The first byte picks the checksum flags; the rest is the batch, copied
  // with zero tailroom so that AddressSanitizer sees any read past the end.
  const uint64_t flags = data[0] & 0x1B;
  const auto len = static_cast<uint32_t>(size - 1);
  std::unique_ptr<uint8_t[]> buf(new uint8_t[len]);
  std::memcpy(buf.get(), data + 1, len);
  uint8_t* end = buf.get() + len;

  uint8_t* p = buf.get();
  uint32_t left = len;
  while (p != nullptr && left > 0) {
    WINDIVERT_IPHDR* ip = nullptr;
    uint8_t proto = 0;
    WINDIVERT_ICMPHDR* icmp = nullptr;
    WINDIVERT_TCPHDR* tcp = nullptr;
    WINDIVERT_UDPHDR* udp = nullptr;
    void* payload = nullptr;
    uint32_t payload_len = 0;
    void* next = nullptr;
    uint32_t next_len = 0;
    const bool ok = WinDivertHelperParsePacket(p, left, &ip, &proto, &icmp, &tcp, &udp, &payload,
                                               &payload_len, &next, &next_len);
    if (next_len >= left || (next == nullptr) != (next_len == 0)) std::abort();
    const uint32_t pkt_len = left - next_len;
    if (next != nullptr && static_cast<uint8_t*>(next) != p + pkt_len) std::abort();
    const uint8_t* pkt_end = p + pkt_len;
    if (ok) {
      if (reinterpret_cast<uint8_t*>(ip) != p || pkt_len < 20) std::abort();
      if ((icmp != nullptr) + (tcp != nullptr) + (udp != nullptr) > 1) std::abort();
      inside(icmp, sizeof(*icmp), p, pkt_end);
      inside(tcp, sizeof(*tcp), p, pkt_end);
      inside(udp, sizeof(*udp), p, pkt_end);
      inside(payload, payload_len, p, pkt_end);
      if (!WinDivertHelperCalcChecksums(p, pkt_len, nullptr, flags)) std::abort();
      std::unique_ptr<uint8_t[]> once(new uint8_t[pkt_len]);
      std::memcpy(once.get(), p, pkt_len);
      if (!WinDivertHelperCalcChecksums(p, pkt_len, nullptr, flags)) std::abort();
      if (std::memcmp(once.get(), p, pkt_len) != 0) std::abort();
      WINDIVERT_ADDRESS addr{};
      addr.Flags = (data[0] & 0x80) ? WINDIVERT_ADDRESS_OUTBOUND : 0;
      platform::divert::PacketFields f;
      if (!platform::divert::packet_fields(p, pkt_len, addr, &f)) std::abort();
    } else {
      if (ip || icmp || tcp || udp || payload || payload_len) std::abort();
      WinDivertHelperCalcChecksums(p, left, nullptr, flags);
      if (next == nullptr) break;  // no framing: nothing to step over
    }
    inside(p, pkt_len, buf.get(), end);
    p = static_cast<uint8_t*>(next);
    left = next_len;
  }
  return 0;
}
