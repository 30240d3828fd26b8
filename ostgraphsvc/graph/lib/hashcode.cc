#include "graph/hashcode.h"

#include <cxxabi.h>

#include <cstdlib>

namespace {

uint32_t get16(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
}

}  // namespace

uint32_t string_hash(const char* begin, const char* end) {
  if (end <= begin) return 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(begin);
  uint32_t length = static_cast<uint32_t>(end - begin);
  uint32_t h = length;
  for (uint32_t groups = length >> 2; groups > 0; --groups, p += 4) {
    h += get16(p);
    uint32_t tmp = (get16(p + 2) << 11) ^ h;
    h = (h << 16) ^ tmp;
    h += h >> 11;
  }
  switch (length & 3) {
    case 3:
      h += get16(p);
      h ^= h << 16;
      h ^= static_cast<uint32_t>(p[2]) << 18;
      h += h >> 11;
      break;
    case 2:
      h += get16(p);
      h ^= h << 11;
      h += h >> 17;
      break;
    case 1:
      h += p[0];
      h ^= h << 10;
      h += h >> 1;
      break;
  }
  h ^= h << 3;
  h += h >> 5;
  h ^= h << 4;
  h += h >> 17;
  h ^= h << 25;
  h += h >> 6;
  return h;
}

String demangled_type_name(const std::type_info& info) {
  int status = 0;
  char* name = abi::__cxa_demangle(info.name(), nullptr, nullptr, &status);
  if (name == nullptr) return String(info.name());
  String out(name);
  std::free(name);
  return out;
}
