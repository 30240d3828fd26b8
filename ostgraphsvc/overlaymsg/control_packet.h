// Overlay control packets: making one around a control message, the outer
// IPv4 header and the UDP header in front of it, and reading the message back
// out of a received one.
//
// On the wire a control packet is
//   0-19  IPv4 header, no options (TOS 0, TTL 250, protocol 17)
//   20-27 UDP header: ports 7777 -> 7777, length 8 + payload, checksum 0
//   28-   one serialised OstrelOverlayStateMsg
// with multi-byte fields big-endian. A built packet holds only the message,
// with kControlPacketHeadroom bytes in front of it: room for the 28 bytes the
// send path prepends (prepend_control_headers) and for the overlay's own
// headers, so neither needs a new buffer.
//
// Received bytes come from a peer: the reader never looks past the packet's
// end and the parse never logs through protobuf's own log, whatever the peer
// sent. A message is at most one IPv4 packet, 65,535 bytes with its headers.
//
// Ownership: make_control_packet returns a packet the caller owns;
// prepend_control_headers takes the packet and returns the one to go on with.
// The payload view borrows the packet's bytes. Packet thread only (packets and
// their pool have no lock).
#ifndef OSTGRAPHSVC_OVERLAYMSG_CONTROL_PACKET_H_
#define OSTGRAPHSVC_OVERLAYMSG_CONTROL_PACKET_H_

#include <cstdint>

#include "graph/ipaddress.h"
#include "graph/packet.h"
#include "ostgraphsvc/overlaymsg/overlay_msg_type.h"

class OstrelOverlayStateMsg;

inline constexpr uint32_t kControlPacketHeadroom = 192;
inline constexpr uint32_t kIPv4HeaderLength = 20;
inline constexpr uint32_t kUDPHeaderLength = 8;
inline constexpr uint32_t kControlHeaderLength = kIPv4HeaderLength + kUDPHeaderLength;
inline constexpr uint32_t kMaxIPv4PacketLength = 65535;
inline constexpr uint32_t kMaxControlMessageLength = kMaxIPv4PacketLength - kControlHeaderLength;
inline constexpr uint16_t kControlUDPPort = 7777;
inline constexpr uint8_t kOuterIPTTL = 250;
inline constexpr uint8_t kIPProtocolUDP = 17;

// The category of a control packet, in bits 1-2 of overlay_packet_flags_anno
// (bit 0, kOverlayPacketControl, is the message element's hand-over mark).
inline constexpr uint8_t kControlCategoryNone = 0;
inline constexpr uint8_t kControlCategoryOnePeer = 1;   // one peer, one path
inline constexpr uint8_t kControlCategoryAllPeers = 2;  // "OVERLAY_STATE_MSG_PCY_ALL"
inline constexpr int kControlCategoryShift = 1;
inline constexpr uint8_t kControlCategoryMask = 0x3 << kControlCategoryShift;

inline uint8_t control_packet_category(const Packet* p) {
  return (p->overlay_packet_flags_anno() & kControlCategoryMask) >> kControlCategoryShift;
}

// The control packet carrying `msg`, to go out on the path whose local id is
// `path_id`: exactly the serialised message with kControlPacketHeadroom bytes
// in front, category one peer, overlay_path_anno = path_id and
// overlay_msg_type_anno = kind. The builder has set every required field.
// Null when the message does not fit one IPv4 packet (logged) or memory runs
// out.
Packet* make_control_packet(const OstrelOverlayStateMsg& msg, uint32_t path_id,
                            OverlayMsgType kind);

// Writes a 20-byte IPv4 header at the data start of `p`: version 4, header
// length 5, `tos`, total length = the packet's length, identification =
// *identification (which is then incremented), no fragment bits, TTL 250,
// `protocol`, `src`, `dst` and the header checksum; sets the network header
// there and the transport header behind it. False, with nothing written, for
// a packet shorter than 20 or longer than 65,535 bytes.
bool fill_outer_ip_header(Packet* p, uint16_t* identification, IPAddress src, IPAddress dst,
                          uint8_t tos, uint8_t protocol);

// Prepends the 28-byte control header to the message in `p`: UDP 7777 ->
// 7777 with length 8 + message and checksum 0, then the IPv4 header of
// fill_outer_ip_header with TOS 0 and protocol 17. Returns the packet to go on
// with (the same one when it has the headroom, as every made control packet
// has); null, with `p` released, when the message is longer than
// kMaxControlMessageLength or memory runs out.
Packet* prepend_control_headers(Packet* p, uint16_t* identification, IPAddress src, IPAddress dst);

// The message bytes of a received control packet whose data starts at its
// IPv4 header: the (UDP length - 8) bytes behind the 28 header bytes (IPv4
// options are not looked for), cut at the packet's end. Empty for a packet
// under 28 bytes or a UDP length under 8.
struct ControlPayload {
  const unsigned char* data = nullptr;
  uint32_t length = 0;
};
ControlPayload control_packet_payload(const Packet* p);

// Parses `length` bytes into `msg` (cleared first) without the required-field
// check: a peer's message lacking a required field keeps what it has, and a
// malformed one keeps the fields read before the fault. Absent fields read as
// their defaults (osm_type 0 names no kind). False for malformed bytes;
// callers go on with what was read either way.
bool parse_control_message(const unsigned char* data, uint32_t length, OstrelOverlayStateMsg* msg);

// control_packet_payload and parse_control_message in one.
bool read_control_message(const Packet* p, OstrelOverlayStateMsg* msg);

#endif  // OSTGRAPHSVC_OVERLAYMSG_CONTROL_PACKET_H_
