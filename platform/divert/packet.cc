// Packet parsing and checksums. Everything reads and writes through explicit
// offsets and byte copies, so a buffer may lie anywhere and nothing past the
// IPv4 total length is ever touched.
#include "platform/divert/packet.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/divert/divert.h"
#include "platform/divert/filter.h"
#include "platform/error/win_error.h"

namespace platform::divert {
namespace {

constexpr uint8_t kProtoIcmp = 1;
constexpr uint8_t kProtoTcp = 6;
constexpr uint8_t kProtoUdp = 17;

uint16_t load16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

uint32_t load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void store16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

// Ones-complement sum of `len` bytes added to `sum`, not yet folded. The
// bulk is summed in host order and swapped once at the end (the
// ones-complement sum does not depend on byte order): this keeps the two
// checksum passes per packet cheap for full-size packets.
uint64_t sum_bytes(const uint8_t* p, uint32_t len, uint64_t sum) {
  uint64_t wide = 0;
  size_t i = 0;
#if defined(__SSE2__)
  // 16-bit words widened into 32-bit lanes; a lane takes at most 2^16 adds of
  // a word before it could overflow, so the lanes are emptied every 32 KiB.
  const __m128i zero = _mm_setzero_si128();
  while (i + 32 <= len) {
    const size_t stop = std::min<size_t>(len & ~size_t{31}, i + 32768);
    __m128i a = zero, b = zero, c = zero, d = zero;
    for (; i < stop; i += 32) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16));
      a = _mm_add_epi32(a, _mm_unpacklo_epi16(v, zero));
      b = _mm_add_epi32(b, _mm_unpackhi_epi16(v, zero));
      c = _mm_add_epi32(c, _mm_unpacklo_epi16(w, zero));
      d = _mm_add_epi32(d, _mm_unpackhi_epi16(w, zero));
    }
    uint32_t lanes[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes + 4), b);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes + 8), c);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes + 12), d);
    for (uint32_t lane : lanes) wide += lane;
  }
#endif
  for (; i + 8 <= len; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    wide += (w & 0xFFFFFFFFu) + (w >> 32);
  }
  for (; i + 2 <= len; i += 2) {
    uint16_t w;
    std::memcpy(&w, p + i, 2);
    wide += w;
  }
  while (wide >> 16) wide = (wide & 0xFFFF) + (wide >> 16);
  uint16_t host = static_cast<uint16_t>(wide);
  if constexpr (std::endian::native == std::endian::little) host = __builtin_bswap16(host);
  sum += host;
  if (i < len) sum += static_cast<uint32_t>(p[i]) << 8;
  return sum;
}

uint16_t fold(uint64_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum & 0xFFFF);
}

uint64_t pseudo_header_sum(const uint8_t* ip, uint8_t proto, uint32_t l4_len) {
  uint64_t sum = sum_bytes(ip + 12, 8, 0);
  return sum + proto + l4_len;
}

}  // namespace

Ipv4Parse parse_ipv4(const uint8_t* p, uint32_t len) {
  Ipv4Parse r;
  if (p == nullptr || len < 20 || (p[0] >> 4) != 4) return r;
  const uint32_t hlen = (p[0] & 0x0Fu) * 4u;
  const uint32_t total = load16(p + 2);
  if (hlen < 20 || hlen > total || total > len) return r;
  r.framed = true;
  r.header_len = hlen;
  r.total_len = total;
  r.protocol = p[9];
  const uint16_t frag = load16(p + 6);
  r.more_fragments = (frag & 0x2000) != 0;
  r.later_fragment = (frag & 0x1FFF) != 0;
  r.l4_offset = hlen;
  r.l4_len = total - hlen;

  // Only a first (or whole) packet carries the transport header.
  if (r.later_fragment) {
    r.kind = L4Kind::kNone;
    r.well_formed = true;
    return r;
  }
  const uint8_t* l4 = p + hlen;
  switch (r.protocol) {
    case kProtoIcmp:
      if (r.l4_len < 8) return r;
      r.kind = L4Kind::kIcmp;
      r.l4_header_len = 8;
      break;
    case kProtoTcp: {
      if (r.l4_len < 20) return r;
      const uint32_t off = (l4[12] >> 4) * 4u;
      if (off < 20 || off > r.l4_len) return r;
      r.kind = L4Kind::kTcp;
      r.l4_header_len = off;
      break;
    }
    case kProtoUdp: {
      if (r.l4_len < 8) return r;
      const uint32_t ulen = load16(l4 + 4);
      // A first fragment's UDP length covers the whole datagram.
      if (!r.more_fragments && (ulen < 8 || ulen > r.l4_len)) return r;
      r.kind = L4Kind::kUdp;
      r.l4_header_len = 8;
      break;
    }
    default:
      r.kind = L4Kind::kNone;
      break;
  }
  r.well_formed = true;
  return r;
}

void compute_checksums(uint8_t* p, const Ipv4Parse& ip, uint64_t flags) {
  if ((flags & WINDIVERT_HELPER_NO_IP_CHECKSUM) == 0) {
    store16(p + 10, 0);
    store16(p + 10, fold(sum_bytes(p, ip.header_len, 0)));
  }
  if (is_fragment(ip)) return;
  uint8_t* l4 = p + ip.l4_offset;
  switch (ip.kind) {
    case L4Kind::kIcmp:
      if (flags & WINDIVERT_HELPER_NO_ICMP_CHECKSUM) return;
      store16(l4 + 2, 0);
      store16(l4 + 2, fold(sum_bytes(l4, ip.l4_len, 0)));
      return;
    case L4Kind::kTcp:
      if (flags & WINDIVERT_HELPER_NO_TCP_CHECKSUM) return;
      store16(l4 + 16, 0);
      store16(l4 + 16, fold(sum_bytes(l4, ip.l4_len, pseudo_header_sum(p, kProtoTcp, ip.l4_len))));
      return;
    case L4Kind::kUdp: {
      if (flags & WINDIVERT_HELPER_NO_UDP_CHECKSUM) return;
      const uint32_t ulen = udp_length(l4);
      store16(l4 + 6, 0);
      const uint16_t sum = fold(sum_bytes(l4, ulen, pseudo_header_sum(p, kProtoUdp, ulen)));
      // 0 on the wire means "no checksum".
      store16(l4 + 6, sum == 0 ? 0xFFFF : sum);
      return;
    }
    case L4Kind::kNone:
      return;
  }
}

bool transport_checksum_ok(const uint8_t* p, const Ipv4Parse& ip) {
  if (!ip.well_formed || is_fragment(ip)) return true;
  const uint8_t* l4 = p + ip.l4_offset;
  if (ip.kind == L4Kind::kTcp)
    return fold(sum_bytes(l4, ip.l4_len, pseudo_header_sum(p, kProtoTcp, ip.l4_len))) == 0;
  if (ip.kind != L4Kind::kUdp || load16(l4 + 6) == 0) return true;
  const uint32_t ulen = udp_length(l4);
  return fold(sum_bytes(l4, ulen, pseudo_header_sum(p, kProtoUdp, ulen))) == 0;
}

bool packet_fields(const uint8_t* packet, uint32_t len, const WINDIVERT_ADDRESS& addr,
                   PacketFields* out) {
  const Ipv4Parse ip = parse_ipv4(packet, len);
  if (!ip.framed) return false;
  PacketFields f;
  f.outbound = (addr.Flags & WINDIVERT_ADDRESS_OUTBOUND) != 0;
  f.loopback = (addr.Flags & WINDIVERT_ADDRESS_LOOPBACK) != 0;
  f.impostor = (addr.Flags & WINDIVERT_ADDRESS_IMPOSTOR) != 0;
  f.if_idx = addr.IfIdx;
  f.src_addr = load32(packet + 12);
  f.dst_addr = load32(packet + 16);
  if (ip.well_formed) {
    const uint8_t* l4 = packet + ip.l4_offset;
    if (ip.kind == L4Kind::kTcp || ip.kind == L4Kind::kUdp) {
      f.remote_port = f.outbound ? load16(l4 + 2) : load16(l4);
    } else if (ip.kind == L4Kind::kIcmp && !f.outbound) {
      f.remote_port = l4[0];
    }
  }
  *out = f;
  return true;
}

}  // namespace platform::divert

using platform::divert::Ipv4Parse;
using platform::divert::L4Kind;

bool WinDivertHelperParsePacket(void* pPacket, uint32_t packetLen, WINDIVERT_IPHDR** ppIpHdr,
                                uint8_t* pProtocol, WINDIVERT_ICMPHDR** ppIcmpHdr,
                                WINDIVERT_TCPHDR** ppTcpHdr, WINDIVERT_UDPHDR** ppUdpHdr,
                                void** ppData, uint32_t* pDataLen, void** ppNext,
                                uint32_t* pNextLen) {
  auto* p = static_cast<uint8_t*>(pPacket);
  const Ipv4Parse ip = platform::divert::parse_ipv4(p, packetLen);
  if (ppIpHdr) *ppIpHdr = nullptr;
  if (pProtocol) *pProtocol = 0;
  if (ppIcmpHdr) *ppIcmpHdr = nullptr;
  if (ppTcpHdr) *ppTcpHdr = nullptr;
  if (ppUdpHdr) *ppUdpHdr = nullptr;
  if (ppData) *ppData = nullptr;
  if (pDataLen) *pDataLen = 0;
  if (ppNext) *ppNext = nullptr;
  if (pNextLen) *pNextLen = 0;
  if (ip.framed && ip.total_len < packetLen) {
    if (ppNext) *ppNext = p + ip.total_len;
    if (pNextLen) *pNextLen = packetLen - ip.total_len;
  }
  if (!ip.well_formed) return false;

  uint8_t* l4 = p + ip.l4_offset;
  if (ppIpHdr) *ppIpHdr = reinterpret_cast<WINDIVERT_IPHDR*>(p);
  if (pProtocol) *pProtocol = ip.protocol;
  switch (ip.kind) {
    case L4Kind::kIcmp:
      if (ppIcmpHdr) *ppIcmpHdr = reinterpret_cast<WINDIVERT_ICMPHDR*>(l4);
      break;
    case L4Kind::kTcp:
      if (ppTcpHdr) *ppTcpHdr = reinterpret_cast<WINDIVERT_TCPHDR*>(l4);
      break;
    case L4Kind::kUdp:
      if (ppUdpHdr) *ppUdpHdr = reinterpret_cast<WINDIVERT_UDPHDR*>(l4);
      break;
    case L4Kind::kNone:
      break;
  }
  uint32_t data_len = ip.l4_len - ip.l4_header_len;
  if (ip.kind == L4Kind::kUdp && !ip.more_fragments) {
    // Bytes past the UDP length are IPv4 padding, not data.
    data_len = platform::divert::udp_length(l4) - 8;
  }
  if (data_len > 0) {
    if (ppData) *ppData = l4 + ip.l4_header_len;
    if (pDataLen) *pDataLen = data_len;
  }
  return true;
}

bool WinDivertHelperCalcChecksums(void* pPacket, uint32_t packetLen, WINDIVERT_ADDRESS* /*pAddr*/,
                                  uint64_t flags) {
  constexpr uint64_t kKnown = WINDIVERT_HELPER_NO_IP_CHECKSUM | WINDIVERT_HELPER_NO_ICMP_CHECKSUM |
                              WINDIVERT_HELPER_NO_TCP_CHECKSUM | WINDIVERT_HELPER_NO_UDP_CHECKSUM;
  auto* p = static_cast<uint8_t*>(pPacket);
  const Ipv4Parse ip = platform::divert::parse_ipv4(p, packetLen);
  if ((flags & ~kKnown) != 0 || !ip.well_formed) {
    platform::set_last_error(platform::kErrorInvalidParameter);
    return false;
  }
  platform::divert::compute_checksums(p, ip, flags);
  return true;
}
