#include "tools/testhub/codec/codec.h"

#include <cstring>

#include "overlaystatemsg.pb.h"

namespace testhub {
namespace {

uint16_t get_be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

void put_be16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

uint32_t get_addr(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

}  // namespace

const char* header_kind_name(HeaderKind kind) {
  switch (kind) {
    case HeaderKind::kLegacy:
      return "legacy";
    case HeaderKind::kFull:
      return "16";
    case HeaderKind::kNone:
      break;
  }
  return "none";
}

const char* drop_name(Drop reason) {
  switch (reason) {
    case Drop::kNone:
      return "none";
    case Drop::kTooLong:
      return "too_long";
    case Drop::kShortOuter:
      return "short_outer";
    case Drop::kBadOuter:
      return "bad_outer";
    case Drop::kBadProtocol:
      return "bad_protocol";
    case Drop::kShortHeader:
      return "short_header";
    case Drop::kShortControl:
      return "short_control";
    case Drop::kParseFailed:
      return "parse_failed";
    case Drop::kUnknownKind:
      return "unknown_kind";
    case Drop::kCount:
      break;
  }
  return "?";
}

size_t read_overlay_header(const uint8_t* data, size_t length, OverlayHeader* out) {
  *out = OverlayHeader();
  if (length == 0) return 0;
  if (data[0] != 0) {
    if (length < kFullHeaderLength) return 0;
    out->kind = HeaderKind::kFull;
    out->version = data[0] & 0x0f;
    out->hop = data[0] >> 4;
    out->klass = data[1] & 0x7f;
    out->control = (data[1] & 0x80) != 0;
    out->has_sequence = (data[2] & 0x01) != 0;
    if (out->has_sequence)
      out->sequence = static_cast<uint32_t>(data[4]) | static_cast<uint32_t>(data[5]) << 8 |
                      static_cast<uint32_t>(data[6]) << 16 | static_cast<uint32_t>(data[7]) << 24;
    return kFullHeaderLength;
  }
  if (length < kLegacyHeaderLength) return 0;
  out->kind = HeaderKind::kLegacy;
  out->version = data[2] & 0x0f;
  // A versioned legacy header keeps the hop in the low nibble; version 0 uses
  // the whole byte.
  out->hop = out->version != 0 ? (data[1] & 0x0f) : data[1];
  out->klass = data[4];
  out->control = data[5] == 2;
  return kLegacyHeaderLength;
}

Drop decode_packet(const uint8_t* data, size_t length, Decoded* out) {
  *out = Decoded();
  if (length > kMaxRecordLength) return Drop::kTooLong;
  if (length < kIpv4HeaderLength) return Drop::kShortOuter;
  const size_t ihl = static_cast<size_t>(data[0] & 0x0f) * 4;
  const size_t total = get_be16(data + 2);
  if ((data[0] >> 4) != 4 || ihl < kIpv4HeaderLength || total < ihl || total > length)
    return Drop::kBadOuter;
  out->consumed = total;
  out->outer_protocol = data[9];
  out->outer_src = get_addr(data + 12);
  out->outer_dst = get_addr(data + 16);
  size_t offset = ihl;
  if (out->outer_protocol == kProtoUdp) {
    if (total - offset < kUdpHeaderLength) return Drop::kShortHeader;
    offset += kUdpHeaderLength;
  } else if (out->outer_protocol != kProtoOverlay) {
    return Drop::kBadProtocol;
  }
  const size_t used = read_overlay_header(data + offset, total - offset, &out->header);
  if (used == 0) return Drop::kShortHeader;
  offset += used;
  out->inner = data + offset;
  out->inner_length = total - offset;
  return Drop::kNone;
}

void write_full_header(uint8_t* out, uint8_t version, uint8_t hop, uint8_t klass, bool control,
                       uint32_t sequence) {
  std::memset(out, 0, kFullHeaderLength);
  out[0] = static_cast<uint8_t>((version & 0x0f) | ((hop + 1) & 0x0f) << 4);
  out[1] = static_cast<uint8_t>((klass & 0x7f) | (control ? 0x80 : 0));
  out[2] = 0x01;
  out[4] = static_cast<uint8_t>(sequence);
  out[5] = static_cast<uint8_t>(sequence >> 8);
  out[6] = static_cast<uint8_t>(sequence >> 16);
  out[7] = static_cast<uint8_t>(sequence >> 24);
}

void write_legacy_header(uint8_t* out, uint8_t version, uint8_t hop, uint8_t klass, bool control) {
  out[0] = 0;
  out[1] = static_cast<uint8_t>(hop + 1);
  out[2] = version;
  out[3] = 0;
  out[4] = klass;
  out[5] = control ? 2 : 1;
}

uint32_t next_sequence(uint32_t s) { return s == 0xffffffffu ? 1 : s + 1; }

uint16_t ipv4_checksum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < length; i += 2) sum += get_be16(data + i);
  if (length & 1) sum += static_cast<uint32_t>(data[length - 1]) << 8;
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

void write_ipv4_header(uint8_t* out, uint16_t total_length, uint16_t id, uint8_t protocol,
                       uint32_t src, uint32_t dst, uint8_t tos) {
  out[0] = 0x45;
  out[1] = tos;
  put_be16(out + 2, total_length);
  put_be16(out + 4, id);
  out[6] = 0;
  out[7] = 0;
  out[8] = kOuterTtl;
  out[9] = protocol;
  out[10] = 0;
  out[11] = 0;
  std::memcpy(out + 12, &src, 4);
  std::memcpy(out + 16, &dst, 4);
  put_be16(out + 10, ipv4_checksum(out, kIpv4HeaderLength));
}

uint8_t* encapsulate(uint8_t* payload, size_t length, const EncapParams& params, size_t* total) {
  if (length > kMaxInnerLength) return nullptr;
  uint8_t* start = payload;
  uint8_t protocol = kProtoOverlay;
  if (params.kind == HeaderKind::kFull) {
    start -= kFullHeaderLength;
    write_full_header(start, params.version, params.hop, params.klass, params.control,
                      params.sequence);
  } else {
    start -= kLegacyHeaderLength;
    write_legacy_header(start, params.version, params.hop, params.klass, params.control);
    start -= kUdpHeaderLength;
    put_be16(start, kOverlayPort);
    put_be16(start + 2, kOverlayPort);
    put_be16(start + 4, static_cast<uint16_t>(kUdpHeaderLength + kLegacyHeaderLength + length));
    put_be16(start + 6, 0);
    protocol = kProtoUdp;
  }
  start -= kIpv4HeaderLength;
  *total = static_cast<size_t>(payload - start) + length;
  write_ipv4_header(start, static_cast<uint16_t>(*total), params.id, protocol, params.src,
                    params.dst);
  return start;
}

size_t write_control_packet(uint8_t* out, size_t capacity, const OstrelOverlayStateMsg& msg,
                            uint16_t id, uint32_t src, uint32_t dst) {
  const size_t size = msg.ByteSizeLong();
  const size_t total = kControlHeaderLength + size;
  if (total > capacity || total > kMaxInnerLength) return 0;
  write_ipv4_header(out, static_cast<uint16_t>(total), id, kProtoUdp, src, dst);
  uint8_t* udp = out + kIpv4HeaderLength;
  put_be16(udp, kOverlayPort);
  put_be16(udp + 2, kOverlayPort);
  put_be16(udp + 4, static_cast<uint16_t>(kUdpHeaderLength + size));
  put_be16(udp + 6, 0);
  msg.SerializeWithCachedSizesToArray(out + kControlHeaderLength);
  return total;
}

Drop read_control_packet(const uint8_t* data, size_t length, OstrelOverlayStateMsg* msg) {
  msg->Clear();
  if (length < kControlHeaderLength) return Drop::kShortControl;
  if ((data[0] >> 4) != 4 || data[9] != kProtoUdp) return Drop::kShortControl;
  const size_t udp_length = get_be16(data + kIpv4HeaderLength + 4);
  // A UDP length under 8 leaves no payload; one past the end is refused.
  const size_t payload = udp_length < kUdpHeaderLength ? 0 : udp_length - kUdpHeaderLength;
  if (payload > length - kControlHeaderLength) return Drop::kShortControl;
  if (!msg->ParsePartialFromArray(data + kControlHeaderLength, static_cast<int>(payload)))
    return Drop::kParseFailed;
  if (!known_kind(msg->osm_type())) return Drop::kUnknownKind;
  return Drop::kNone;
}

bool known_kind(uint32_t kind) {
  return kind == 3 || kind == 4 || kind == 5 || (kind >= 7 && kind <= 14) || kind == 17;
}

void read_record(const uint8_t* data, size_t length, OstrelOverlayStateMsg* scratch,
                 RecordSink* sink) {
  if (length > kMaxRecordLength) {
    sink->on_drop(Drop::kTooLong);
    return;
  }
  while (length > 0) {
    Decoded d;
    const Drop drop = decode_packet(data, length, &d);
    if (drop != Drop::kNone) {
      sink->on_drop(drop);
    } else if (!d.header.control) {
      sink->on_data(d);
    } else {
      const Drop bad = read_control_packet(d.inner, d.inner_length, scratch);
      if (bad != Drop::kNone) {
        sink->on_drop(bad);
      } else {
        sink->on_control(d, *scratch);
      }
    }
    if (d.consumed == 0 || d.consumed > length) return;
    data += d.consumed;
    length -= d.consumed;
  }
}

}  // namespace testhub
