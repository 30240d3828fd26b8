#include "client/lib/cxcom2/CXComWire.h"

#include <algorithm>
#include <limits>

namespace {

void AppendBigEndian32(std::string* out, uint32_t value) {
  out->push_back(static_cast<char>(value >> 24));
  out->push_back(static_cast<char>(value >> 16));
  out->push_back(static_cast<char>(value >> 8));
  out->push_back(static_cast<char>(value));
}

}  // namespace

std::string cxComTlv(uint16_t type, std::string_view value) {
  size_t length = std::min<size_t>(value.size(), std::numeric_limits<uint16_t>::max());
  std::string out;
  out.reserve(kCxComTlvHeaderSize + length);
  out.push_back(static_cast<char>(type & 0xFF));
  out.push_back(static_cast<char>(type >> 8));
  out.push_back(static_cast<char>(length >> 8));
  out.push_back(static_cast<char>(length & 0xFF));
  out.append(value.substr(0, length));
  return out;
}

std::string cxComBuildClientHandshake(uint8_t frameType, std::string_view payload,
                                      std::string_view trailing) {
  size_t frameSize = kCxComHeaderSize + payload.size() + trailing.size();
  std::string out;
  out.reserve(kCxComPrefixSize + frameSize);
  AppendBigEndian32(&out, static_cast<uint32_t>(frameSize));
  out.append(kCxComSignature);
  out.push_back(static_cast<char>(kCxComVersion));
  out.push_back(static_cast<char>(frameType));
  AppendBigEndian32(&out, static_cast<uint32_t>(payload.size()));
  out.append(payload);
  out.append(trailing);
  return out;
}

bool cxComAppendFramedText(std::string* out, std::string_view text) {
  if (text.size() > std::numeric_limits<uint32_t>::max()) return false;
  out->reserve(out->size() + kCxComPrefixSize + text.size());
  AppendBigEndian32(out, static_cast<uint32_t>(text.size()));
  out->append(text);
  return true;
}
