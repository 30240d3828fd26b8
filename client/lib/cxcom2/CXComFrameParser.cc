#include "client/lib/cxcom2/CXComFrameParser.h"

#include <cstring>

#include "client/lib/cxLog/cxLog.h"
#include "client/lib/cxcom2/CXComWire.h"

namespace {

constexpr const char* kTag = "CXCOM2";
constexpr size_t kVersionOffset = 8;
constexpr size_t kFrameTypeOffset = 9;
constexpr size_t kPayloadLengthOffset = 10;

}  // namespace

bool CCXComFrameParser::setFrameBuffer(const uint8_t* frame, size_t size) {
  frame_.clear();
  cursor_ = 0;
  if (size < kCxComHeaderSize) {
    CXLOG(kTag, CXLOG_ERROR, "CCXComFrameParser::setFrameBuffer(): frame size is too small");
    return false;
  }
  if (std::memcmp(frame, kCxComSignature.data(), kCxComSignature.size()) != 0) {
    CXLOG(kTag, CXLOG_ERROR, "CCXComFrameParser::setFrameBuffer(): Invalid Signature");
    return false;
  }
  if (frame[kVersionOffset] != kCxComVersion) {
    CXLOG(kTag, CXLOG_ERROR, "CCXComFrameParser::setFrameBuffer(): frame ver: %d, lib ver:%d",
          frame[kVersionOffset], kCxComVersion);
    return false;
  }
  const uint8_t* p = frame + kPayloadLengthOffset;
  uint32_t payloadLength =
      (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
  // size >= 14 here, so the subtraction cannot wrap.
  if (payloadLength > size - kCxComHeaderSize) {
    CXLOG(kTag, CXLOG_ERROR, "data size exceed framebuf size");
    return false;
  }
  frame_.assign(frame, frame + kCxComHeaderSize + payloadLength);
  cursor_ = kCxComHeaderSize;
  return true;
}

bool CCXComFrameParser::getNextTLV(CXComTlv* tlv) {
  size_t left = tlvBytesLeft();
  // Each test subtracts only what the previous one guaranteed.
  if (left < 2 || left - 2 < 2) {
    CXLOG(kTag, CXLOG_ERROR, "buffer too short to get next TLV");
    return false;
  }
  const uint8_t* p = frame_.data() + cursor_;
  uint16_t type = static_cast<uint16_t>(p[0] | (p[1] << 8));
  uint16_t length = static_cast<uint16_t>((p[2] << 8) | p[3]);
  if (left - 4 < length) {
    CXLOG(kTag, CXLOG_ERROR, "buffer too short to get next TLV");
    return false;
  }
  tlv->type = type;
  tlv->length = length;
  tlv->value = p + kCxComTlvHeaderSize;
  cursor_ += kCxComTlvHeaderSize + length;
  return true;
}

uint8_t CCXComFrameParser::frameType() const {
  return frame_.empty() ? 0 : frame_[kFrameTypeOffset];
}

const uint8_t* CCXComFrameParser::payload() const {
  return frame_.empty() ? nullptr : frame_.data() + kCxComHeaderSize;
}

size_t CCXComFrameParser::payloadSize() const {
  return frame_.empty() ? 0 : frame_.size() - kCxComHeaderSize;
}

bool cxComFindClientName(CCXComFrameParser& parser, std::string* name) {
  // Running out of payload exactly at an item's end is the list's normal end,
  // not a short item.
  CXComTlv tlv;
  while (parser.tlvBytesLeft() > 0 && parser.getNextTLV(&tlv)) {
    if (tlv.type == kCxComTlvEnd) break;
    if (tlv.type != kCxComTlvClientName) continue;
    name->assign(reinterpret_cast<const char*>(tlv.value), tlv.length);
    return true;
  }
  CXLOG(kTag, CXLOG_ERROR, "doHansshakefromServer: client Name not found in handshake msg");
  return false;
}
