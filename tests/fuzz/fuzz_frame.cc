// Handshake frames come from any local program that connects: whatever the
// bytes, the parser must keep only what it checked, the item scan must stay
// inside the payload and end, and a name built by the client side must come
// back unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "client/lib/cxcom2/CXComFrameParser.h"
#include "client/lib/cxcom2/CXComWire.h"

namespace {

void CheckReceivedFrame(const uint8_t* data, size_t size) {
  CCXComFrameParser parser;
  if (!parser.setFrameBuffer(data, size)) {
    if (parser.hasFrame()) std::abort();
    return;
  }
  uint32_t payloadLength = (uint32_t{data[10]} << 24) | (uint32_t{data[11]} << 16) |
                           (uint32_t{data[12]} << 8) | uint32_t{data[13]};
  if (parser.frameSize() != kCxComHeaderSize + payloadLength) std::abort();
  if (parser.frameSize() > size) std::abort();
  if (std::memcmp(parser.frame(), data, parser.frameSize()) != 0) std::abort();

  const uint8_t* begin = parser.payload();
  const uint8_t* end = begin + parser.payloadSize();
  CXComTlv tlv;
  while (parser.getNextTLV(&tlv)) {
    if (tlv.value < begin || tlv.value + tlv.length > end) std::abort();
  }

  CCXComFrameParser again;
  if (!again.setFrameBuffer(data, size)) std::abort();
  std::string name;
  if (cxComFindClientName(again, &name) && name.size() > again.payloadSize()) std::abort();
}

void CheckRoundTrip(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string_view name = bytes.substr(0, size / 2);
  std::string_view trailing = bytes.substr(size / 2);
  std::string wire = cxComBuildClientHandshake(size ? data[0] : 0,
                                               cxComTlv(7, trailing) + cxComTlv(0, name), trailing);
  CCXComFrameParser parser;
  const auto* frame = reinterpret_cast<const uint8_t*>(wire.data()) + kCxComPrefixSize;
  if (!parser.setFrameBuffer(frame, wire.size() - kCxComPrefixSize)) std::abort();
  std::string found;
  if (!cxComFindClientName(parser, &found) || found != name) std::abort();
  if (wire.substr(kCxComPrefixSize + parser.frameSize()) != trailing) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckReceivedFrame(data, size);
  if (size <= 2 * 65535) CheckRoundTrip(data, size);
  return 0;
}
