// Filter texts are compiled once per capture handle: whatever the text, the
// compiler must end, stay inside it, refuse with a reason and a position in
// the text, and a program it accepts must evaluate without fault and give the
// same verdict when compiled again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/divert/filter.h"

namespace {

platform::divert::PacketFields fields_from(const uint8_t* data, size_t size, uint8_t seed) {
  platform::divert::PacketFields f;
  uint8_t b[16] = {};
  for (size_t i = 0; i < sizeof(b); ++i)
    b[i] = size ? static_cast<uint8_t>(data[(i * 7) % size] ^ seed) : seed;
  f.outbound = b[0] & 1;
  f.loopback = b[0] & 2;
  f.impostor = b[0] & 4;
  std::memcpy(&f.if_idx, b + 1, 4);
  std::memcpy(&f.src_addr, b + 5, 4);
  std::memcpy(&f.dst_addr, b + 9, 4);
  f.remote_port = static_cast<uint32_t>(b[13] << 8 | b[14]);
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy so that AddressSanitizer sees any read past the end.
  std::string text(reinterpret_cast<const char*>(data), size);
  platform::divert::FilterProgram program;
  platform::divert::FilterError error;
  if (!program.compile(text, &error)) {
    if (error.reason == nullptr || error.pos > size) std::abort();
    if (program.matches(platform::divert::PacketFields{})) std::abort();
    return 0;
  }
  platform::divert::FilterProgram again;
  if (!again.compile(text, nullptr)) std::abort();
  for (uint8_t seed : {0x00, 0x5A, 0xFF}) {
    const platform::divert::PacketFields f = fields_from(data, size, seed);
    if (program.matches(f) != again.matches(f)) std::abort();
  }
  return 0;
}
