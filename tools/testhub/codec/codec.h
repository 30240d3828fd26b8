// Wire codecs of the test hub: the outer IPv4 header, the 16-byte overlay
// header, the legacy header behind UDP 7777, and control packets carrying one
// OstrelOverlayStateMsg. Written apart from the service's own code so that a
// fault both could share shows up when they talk to each other.
//
// Everything here works on caller-owned byte areas: decoding never reads past
// `data + length` and never allocates; encoding writes in front of a payload
// that already sits in a buffer with enough headroom (kMaxEncapOverhead), so a
// packet is wrapped in place. Addresses are uint32 holding the four address
// bytes in network order as they lie in memory (on this little-endian host the
// same value the control messages carry). Stateless; any thread.
#ifndef TOOLS_TESTHUB_CODEC_CODEC_H_
#define TOOLS_TESTHUB_CODEC_CODEC_H_

#include <cstddef>
#include <cstdint>

class OstrelOverlayStateMsg;

namespace testhub {

constexpr size_t kIpv4HeaderLength = 20;
constexpr size_t kUdpHeaderLength = 8;
constexpr size_t kFullHeaderLength = 16;
constexpr size_t kLegacyHeaderLength = 6;
constexpr size_t kControlHeaderLength = kIpv4HeaderLength + kUdpHeaderLength;
// The 16-byte header costs two bytes more than UDP plus the legacy header.
constexpr size_t kMaxEncapOverhead = kIpv4HeaderLength + kFullHeaderLength;
constexpr uint16_t kOverlayPort = 7777;
constexpr uint8_t kProtoUdp = 17;
constexpr uint8_t kProtoOverlay = 252;
constexpr uint8_t kOuterTtl = 250;
// Largest inner packet carried; a record is that plus the outer headers.
constexpr size_t kMaxInnerLength = 16384;
constexpr size_t kMaxRecordLength = kMaxInnerLength + kMaxEncapOverhead;

enum class HeaderKind : uint8_t { kNone = 0, kLegacy = 1, kFull = 2 };
const char* header_kind_name(HeaderKind kind);  // "none", "legacy", "16"

// Why a received record (or part of one) was not used.
enum class Drop : uint8_t {
  kNone = 0,
  kTooLong,       // record or datagram over the bound
  kShortOuter,    // fewer bytes than an outer IPv4 header
  kBadOuter,      // not IPv4, bad header or total length
  kBadProtocol,   // outer protocol neither 17 nor 252
  kShortHeader,   // overlay header cut off
  kShortControl,  // control packet headers cut off or bad
  kParseFailed,   // control message does not parse
  kUnknownKind,   // osm_type names no kind the hub knows
  kCount
};
const char* drop_name(Drop reason);

// One 16-byte or legacy header, as sent or as read.
struct OverlayHeader {
  HeaderKind kind = HeaderKind::kNone;
  uint8_t version = 0;  // 16-byte: 1-15; legacy: low 4 bits of byte 2
  uint8_t hop = 0;      // the hop field as on the wire
  uint8_t klass = 0;
  bool control = false;
  bool has_sequence = false;
  uint32_t sequence = 0;
};

// One packet read out of a record.
struct Decoded {
  uint32_t outer_src = 0;
  uint32_t outer_dst = 0;
  uint8_t outer_protocol = 0;
  OverlayHeader header;
  const uint8_t* inner = nullptr;  // inner packet or control packet
  size_t inner_length = 0;
  size_t consumed = 0;  // bytes of the record this packet took (its outer total length)
};

// Reads the first packet of `data`. The outer total length bounds it, so a
// record holding several packets is read by calling again at
// `data + out->consumed`. On a drop `out->consumed` is what can be skipped (0:
// the rest of the record is unusable).
Drop decode_packet(const uint8_t* data, size_t length, Decoded* out);

// Reads an overlay header at `data`: a first byte other than 0 is the 16-byte
// header, otherwise the legacy one. Returns its length, 0 when cut off.
size_t read_overlay_header(const uint8_t* data, size_t length, OverlayHeader* out);

// Writes the 16-byte header: version, hop field = (hop + 1) mod 16.
void write_full_header(uint8_t* out, uint8_t version, uint8_t hop, uint8_t klass, bool control,
                       uint32_t sequence);
// Writes the 6-byte legacy header: byte 1 = hop + 1, byte 2 = version.
void write_legacy_header(uint8_t* out, uint8_t version, uint8_t hop, uint8_t klass, bool control);

// The sequence number sent after `s`: 0 is never sent.
uint32_t next_sequence(uint32_t s);

// Ones'-complement sum over `length` bytes, as the IPv4 header checksum.
uint16_t ipv4_checksum(const uint8_t* data, size_t length);
// Writes a 20-byte IPv4 header, TTL 250, flags 0, with its checksum.
void write_ipv4_header(uint8_t* out, uint16_t total_length, uint16_t id, uint8_t protocol,
                       uint32_t src, uint32_t dst, uint8_t tos = 0);

struct EncapParams {
  HeaderKind kind = HeaderKind::kLegacy;
  uint8_t version = 1;
  uint8_t hop = 0;
  uint8_t klass = 0;
  bool control = false;
  uint32_t sequence = 0;  // 16-byte header only
  uint16_t id = 0;
  uint32_t src = 0;
  uint32_t dst = 0;
};

// Wraps the `length` bytes at `payload` (which has at least kMaxEncapOverhead
// bytes of headroom before it) and returns where the packet now starts;
// `*total` gets its length. Null when the payload is over kMaxInnerLength.
uint8_t* encapsulate(uint8_t* payload, size_t length, const EncapParams& params, size_t* total);

// Control packets: IPv4 (protocol 17, TTL 250) + UDP 7777 -> 7777, checksum 0,
// then the message. Writes into `out` (capacity `capacity`) and returns the
// length, 0 when it does not fit. Serialises without allocating.
size_t write_control_packet(uint8_t* out, size_t capacity, const OstrelOverlayStateMsg& msg,
                            uint16_t id, uint32_t src, uint32_t dst);

// Reads a control packet: 20 bytes of IPv4 header, 8 of UDP, then (UDP
// length - 8) bytes of message parsed with ParsePartialFromArray. kNone, or
// why it was dropped; kinds the hub does not know are kUnknownKind.
Drop read_control_packet(const uint8_t* data, size_t length, OstrelOverlayStateMsg* msg);

// True for the kinds a peer may send: 3, 4, 5, 7-14, 17.
bool known_kind(uint32_t kind);

// What read_record finds in a record, in order.
class RecordSink {
 public:
  virtual ~RecordSink() = default;
  virtual void on_data(const Decoded& packet) = 0;
  // `msg` is only valid during the call.
  virtual void on_control(const Decoded& packet, const OstrelOverlayStateMsg& msg) = 0;
  virtual void on_drop(Drop reason) = 0;
};

// The hub's reader of one TLS record or DTLS datagram from a client: every
// packet in it, data or control (parsed into `scratch`, reused to avoid an
// allocation per packet). A drop that leaves no length to skip ends the record.
void read_record(const uint8_t* data, size_t length, OstrelOverlayStateMsg* scratch,
                 RecordSink* sink);

}  // namespace testhub

#endif  // TOOLS_TESTHUB_CODEC_CODEC_H_
