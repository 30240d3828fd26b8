#include "graph/ip6address.h"

#include "graph/confparse.h"
#include "graph/ipaddress.h"
#include "graph/string_builder.h"

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses [begin, end) of `text` as a whole address.
bool parse_ip6(const String& text, int begin, int end, IPv6Address* result) {
  uint16_t groups[8];
  int ngroups = 0;
  int gap = -1;  // group index where "::" stands
  int p = begin;
  if (p == end) return false;
  if (text[p] == ':') {
    if (end - p < 2 || text[p + 1] != ':') return false;
    gap = 0;
    p += 2;
  }
  // Each pass consumes one group and its separator, so the loop ends.
  while (p != end) {
    int q = p;
    unsigned value = 0;
    for (; q != end && hex_value(text[q]) >= 0; ++q) {
      if (q - p < 4) value = value * 16 + static_cast<unsigned>(hex_value(text[q]));
    }
    if (q != end && text[q] == '.') {
      // An embedded dotted quad ends the text and fills two groups.
      IPAddress v4;
      if (ngroups > 6 || !cp_parse_ip_address(text.substring(p, end), &v4)) return false;
      const unsigned char* b = v4.data();
      groups[ngroups++] = static_cast<uint16_t>((b[0] << 8) | b[1]);
      groups[ngroups++] = static_cast<uint16_t>((b[2] << 8) | b[3]);
      break;
    }
    if (q == p || q - p > 4 || ngroups == 8) return false;
    groups[ngroups++] = static_cast<uint16_t>(value);
    if (q == end) break;
    if (text[q] != ':') return false;
    ++q;
    if (q != end && text[q] == ':') {
      if (gap >= 0) return false;
      gap = ngroups;
      ++q;
    } else if (q == end) {
      return false;  // a single trailing colon
    }
    p = q;
  }
  // "::" stands for at least one zero group.
  if (gap < 0 ? ngroups != 8 : ngroups > 7) return false;

  unsigned char bytes[16] = {};
  const int tail = gap < 0 ? 0 : ngroups - gap;
  for (int i = 0; i < ngroups; ++i) {
    const int slot = (gap >= 0 && i >= gap) ? 8 - tail + (i - gap) : i;
    bytes[2 * slot] = static_cast<unsigned char>(groups[i] >> 8);
    bytes[2 * slot + 1] = static_cast<unsigned char>(groups[i]);
  }
  *result = IPv6Address(bytes);
  return true;
}

// The prefix length of a contiguous mask, or -1.
int mask_prefix_len(const IPv6Address& mask) {
  const unsigned char* b = mask.data();
  for (int word = 0; word < 4; ++word) {
    const IPAddress part(b[4 * word], b[4 * word + 1], b[4 * word + 2], b[4 * word + 3]);
    if (part.addr() == 0xFFFFFFFFu) continue;
    const int len = IPAddress::mask_to_prefix_len(part);
    if (len < 0) return -1;
    for (int i = 4 * (word + 1); i < 16; ++i) {
      if (b[i] != 0) return -1;
    }
    return 32 * word + len;
  }
  return 128;
}

}  // namespace

String IPv6Address::to_string() const {
  // The first longest run of at least two zero groups becomes "::".
  int best = -1;
  int best_len = 1;
  for (int i = 0; i < 8;) {
    if (group(i) != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && group(j) == 0) ++j;
    if (j - i > best_len) {
      best = i;
      best_len = j - i;
    }
    i = j;
  }
  StringBuilder sb;
  for (int i = 0; i < 8; ++i) {
    if (i == best) {
      sb.append("::");
      i += best_len - 1;
      continue;
    }
    if (i > 0 && i != best + best_len) sb.append(':');
    sb.append_number(group(i), 16);
  }
  return sb.take_string();
}

bool cp_parse_ip6_address(const String& text, IPv6Address* result) {
  return parse_ip6(text, 0, text.length(), result);
}

bool cp_parse_ip6_prefix(const String& text, bool allow_bare_address, IPv6Address* address,
                         int* prefix_len, ParseContext&) {
  int slash = -1;
  for (int i = 0; i < text.length(); ++i) {
    if (text[i] == '/') slash = i;
  }
  if (slash > 0 && slash + 1 < text.length()) {
    IPv6Address a;
    if (!parse_ip6(text, 0, slash, &a)) return false;
    const String mask_text = text.substring(slash + 1);
    int status;
    int32_t len;
    if (!cp_parse_int32(&status, mask_text, &len, ParseContext::blank, 10) || len < 0 ||
        len > 128) {
      IPv6Address mask;
      if (!cp_parse_ip6_address(mask_text, &mask)) return false;
      len = mask_prefix_len(mask);
      if (len < 0) return false;
    }
    *address = a;
    *prefix_len = len;
    return true;
  }
  IPv6Address bare;
  if (!allow_bare_address || !cp_parse_ip6_address(text, &bare)) return false;
  *address = bare;
  *prefix_len = 128;
  return true;
}
