#include "ostgraphsvc/overlaymsg/control_packet.h"

#include <climits>
#include <cstddef>
#include <cstring>

#include "graph/router_log.h"
#include "ostgraphsvc/graph/elements/ip/checksum.h"
#include "overlaystatemsg.pb.h"

namespace {

// The packet is made this much longer and the front pulled off at once, so
// that the message starts kControlPacketHeadroom bytes into the buffer.
constexpr uint32_t kMadeHeadroom = 150;
constexpr uint32_t kPulled = kControlPacketHeadroom - kMadeHeadroom;

void put16(unsigned char* at, uint32_t v) {
  at[0] = static_cast<unsigned char>(v >> 8);
  at[1] = static_cast<unsigned char>(v);
}

uint32_t get16(const unsigned char* at) { return uint32_t{at[0]} << 8 | at[1]; }

}  // namespace

Packet* make_control_packet(const OstrelOverlayStateMsg& msg, uint32_t path_id,
                            OverlayMsgType kind) {
  // Also caches every sub-message's size for the serialisation below.
  const size_t size = msg.ByteSizeLong();
  if (size > kMaxControlMessageLength) {
    log_syslog_level(3, "make_control_packet", __FILE__, __LINE__,
                     "control message %s(%u) of %zu bytes does not fit one packet",
                     overlay_msg_type_name(kind), static_cast<unsigned>(kind), size);
    return nullptr;
  }
  const uint32_t n = static_cast<uint32_t>(size);
  Packet* p = Packet::make(kMadeHeadroom, nullptr, n + kPulled);
  if (p == nullptr) return nullptr;
  p->pull(kPulled);
  msg.SerializeWithCachedSizesToArray(p->data());
  p->set_overlay_packet_flags_anno(kControlCategoryOnePeer << kControlCategoryShift);
  p->set_overlay_path_anno(path_id);
  p->set_overlay_msg_type_anno(static_cast<uint8_t>(kind));
  return p;
}

bool fill_outer_ip_header(Packet* p, uint16_t* identification, IPAddress src, IPAddress dst,
                          uint8_t tos, uint8_t protocol) {
  const uint32_t length = p->length();
  if (length < kIPv4HeaderLength || length > kMaxIPv4PacketLength) return false;
  unsigned char* ip = p->data();
  ip[0] = 0x45;
  ip[1] = tos;
  put16(ip + 2, length);
  put16(ip + 4, *identification);
  ++*identification;
  put16(ip + 6, 0);
  ip[8] = kOuterIPTTL;
  ip[9] = protocol;
  put16(ip + 10, 0);
  std::memcpy(ip + 12, src.data(), 4);
  std::memcpy(ip + 16, dst.data(), 4);
  set_ip_header_checksum(ip, kIPv4HeaderLength);
  p->set_network_header(ip, kIPv4HeaderLength);
  return true;
}

Packet* prepend_control_headers(Packet* p, uint16_t* identification, IPAddress src, IPAddress dst) {
  if (p->length() > kMaxControlMessageLength) {
    p->release();
    return nullptr;
  }
  p = p->push(kUDPHeaderLength);
  if (p == nullptr) return nullptr;
  unsigned char* udp = p->data();
  put16(udp, kControlUDPPort);
  put16(udp + 2, kControlUDPPort);
  put16(udp + 4, p->length());
  put16(udp + 6, 0);
  p = p->push(kIPv4HeaderLength);
  if (p == nullptr) return nullptr;
  // Cannot fail: the length was checked above.
  fill_outer_ip_header(p, identification, src, dst, 0, kIPProtocolUDP);
  return p;
}

ControlPayload control_packet_payload(const Packet* p) {
  const uint32_t length = p->length();
  if (length < kControlHeaderLength) return {};
  const unsigned char* udp = p->data() + kIPv4HeaderLength;
  const uint32_t udp_length = get16(udp + 4);
  if (udp_length < kUDPHeaderLength) return {};
  uint32_t n = udp_length - kUDPHeaderLength;
  const uint32_t available = length - kControlHeaderLength;
  if (n > available) n = available;
  if (n == 0) return {};
  return {p->data() + kControlHeaderLength, n};
}

bool parse_control_message(const unsigned char* data, uint32_t length, OstrelOverlayStateMsg* msg) {
  // The plain parse logs an ERROR through protobuf's log for every message
  // that lacks a required field, and a peer decides that; the partial parse
  // keeps the same fields without the check.
  if (length > INT_MAX) length = INT_MAX;
  return msg->ParsePartialFromArray(data, static_cast<int>(length));
}

bool read_control_message(const Packet* p, OstrelOverlayStateMsg* msg) {
  const ControlPayload payload = control_packet_payload(p);
  return parse_control_message(payload.data, payload.length, msg);
}
