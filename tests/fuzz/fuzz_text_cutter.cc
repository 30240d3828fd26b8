// A client's text stream arrives in pieces of any size. Fed in chunks, the
// cutter must deliver texts that, framed again and followed by what is left,
// give back exactly the bytes fed, never read past the buffer and never wait
// for a text longer than the limit.
//
// Input: byte 0 picks the text length limit (255: none), byte 1 the chunk
// size, the rest is the stream.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "client/lib/cxcom2/CXComTextCutter.h"
#include "client/lib/cxcom2/CXComWire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  uint32_t limit = data[0] == 255 ? kCxComNoTextLimit : data[0] * 4u;
  size_t chunk = data[1] % 16 + 1;
  std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);

  std::string buffer;
  std::string delivered;  // every text delivered, framed again
  size_t fed = 0;
  while (fed < stream.size()) {
    std::string_view piece = stream.substr(fed, chunk);
    buffer.append(piece);
    fed += piece.size();
    size_t before = buffer.size();
    CXComCutResult result = cxComCutTexts(buffer, limit, [&](std::string_view text) {
      if (text.size() > limit) std::abort();
      if (!cxComAppendFramedText(&delivered, text)) std::abort();
    });
    if (delivered + buffer != stream.substr(0, fed)) std::abort();
    if (result.status == CXComCutStatus::kTooLong) {
      if (result.length <= limit || buffer.size() < kCxComPrefixSize) std::abort();
      break;
    }
    // Nothing taken from a buffer that held a whole first text is a fault.
    if (result.texts == 0 && before == buffer.size() && before >= 5) {
      const auto* b = reinterpret_cast<const unsigned char*>(buffer.data());
      uint64_t length = (uint64_t{b[0]} << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
      if (before >= kCxComPrefixSize + length) std::abort();
    }
  }
  return 0;
}
