// Bounds-checked walking of rtnetlink attributes, shared by the address, link
// and route parsers of this folder. Internal to platform/adapters.
#ifndef PLATFORM_ADAPTERS_NETLINK_ATTRIBUTES_H_
#define PLATFORM_ADAPTERS_NETLINK_ATTRIBUTES_H_

#include <linux/netlink.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace platform::netlink {

inline size_t align4(size_t n) { return (n + 3) & ~size_t{3}; }

struct Attribute {
  uint16_t type;
  const uint8_t* data;
  size_t len;
};

// Calls `fn` for each attribute of [p, p + len). False when `fn` refuses one or
// the attributes do not fill the region (a truncated or overlong attribute).
template <typename Fn>
bool for_each_attribute(const uint8_t* p, size_t len, Fn&& fn) {
  size_t offset = 0;
  while (offset < len) {
    const size_t rest = len - offset;
    if (rest < sizeof(nlattr)) return false;
    nlattr attr;
    std::memcpy(&attr, p + offset, sizeof attr);
    if (attr.nla_len < sizeof(nlattr) || attr.nla_len > rest) return false;
    const Attribute a{static_cast<uint16_t>(attr.nla_type & NLA_TYPE_MASK), p + offset + NLA_HDRLEN,
                      attr.nla_len - size_t{NLA_HDRLEN}};
    if (!fn(a)) return false;
    // The last attribute of a message need not carry its padding.
    offset += std::min(align4(attr.nla_len), rest);
  }
  return true;
}

}  // namespace platform::netlink

#endif  // PLATFORM_ADAPTERS_NETLINK_ATTRIBUTES_H_
