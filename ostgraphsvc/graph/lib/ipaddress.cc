#include "graph/ipaddress.h"

#include <bit>
#include <utility>

#include "graph/confparse.h"
#include "graph/nameinfo.h"
#include "graph/string_builder.h"

namespace {

// Reads up to four dotted decimal parts over [p, end), each 0-255, into
// bytes[0..]. Stops reading a part as soon as it passes 255, so a long run
// of digits costs nothing. Returns the part count, or 0 when the text is not
// wholly such parts.
int parse_dotted_parts(const char* p, const char* end, unsigned char bytes[4]) {
  int nparts = 0;
  while (true) {
    if (p == end || *p < '0' || *p > '9' || nparts == 4) return 0;
    unsigned value = 0;
    for (; p != end && *p >= '0' && *p <= '9'; ++p) {
      value = value * 10 + static_cast<unsigned>(*p - '0');
      if (value > 255) return 0;
    }
    bytes[nparts++] = static_cast<unsigned char>(value);
    if (p == end) return nparts;
    if (*p != '.') return 0;
    ++p;
  }
}

bool parse_dotted_quad(const char* begin, const char* end, IPAddress* result) {
  unsigned char bytes[4];
  if (parse_dotted_parts(begin, end, bytes) != 4) return false;
  *result = IPAddress(bytes[0], bytes[1], bytes[2], bytes[3]);
  return true;
}

// The address-and-mask form on both sides of a slash.
bool parse_slash_prefix(const char* begin, const char* slash, const char* end, IPAddress* address,
                        IPAddress* mask) {
  unsigned char bytes[4] = {0, 0, 0, 0};
  const int nparts = parse_dotted_parts(begin, slash, bytes);
  if (nparts == 0) return false;

  const String mask_text(slash + 1, static_cast<int>(end - slash - 1));
  int status;
  int32_t prefix_len;
  IPAddress m;
  if (cp_parse_int32(&status, mask_text, &prefix_len, ParseContext::blank, 10) && prefix_len >= 0 &&
      prefix_len <= 32) {
    m = IPAddress::make_prefix(prefix_len);
  } else if (!parse_dotted_quad(mask_text.begin(), mask_text.end(), &m)) {
    return false;
  }
  // "10/16" would put mask bits on a byte the address never gave.
  for (int i = nparts; i < 4; ++i) {
    if (m.data()[i] != 0) return false;
  }
  *address = IPAddress(bytes[0], bytes[1], bytes[2], bytes[3]);
  *mask = m;
  return true;
}

}  // namespace

IPAddress IPAddress::make_prefix(int prefix_len) {
  if (prefix_len <= 0) return IPAddress();
  const uint32_t host = prefix_len >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> prefix_len);
  return IPAddress(static_cast<unsigned char>(host >> 24), static_cast<unsigned char>(host >> 16),
                   static_cast<unsigned char>(host >> 8), static_cast<unsigned char>(host));
}

uint32_t IPAddress::host_order() const {
  const unsigned char* b = data();
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

String IPAddress::to_string() const {
  const unsigned char* b = data();
  StringBuilder sb;
  sb.append_printf(15, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
  return sb.take_string();
}

int IPAddress::mask_to_prefix_len(IPAddress mask) {
  const uint32_t host = mask.host_order();
  const uint32_t inverse = ~host;
  // Ones then zeros exactly when the inverse is a run of low ones.
  if ((inverse & (inverse + 1)) != 0) return -1;
  return std::countl_one(host);
}

String IPAddress::prefix_to_string(IPAddress address, IPAddress mask) {
  const int prefix_len = mask_to_prefix_len(mask);
  String text = address.to_string() + "/";
  if (prefix_len >= 0) return text + String(prefix_len);
  return text + mask.to_string();
}

bool cp_parse_ip_address(const String& text, IPAddress* result) {
  return parse_dotted_quad(text.begin(), text.end(), result);
}

bool cp_parse_ip_address_list(const String& text, Vector<IPAddress>* result, ParseContext&) {
  Vector<IPAddress> addresses;
  String rest = text;
  while (true) {
    const String word = cp_pop_word(&rest);
    if (word.empty()) break;
    IPAddress address;
    if (!cp_parse_ip_address(word, &address)) return false;
    addresses.push_back(address);
  }
  *result = std::move(addresses);
  return true;
}

bool cp_parse_ip_prefix(const String& text, bool allow_bare_address, IPAddress* address,
                        IPAddress* mask, ParseContext&) {
  const char* begin = text.begin();
  const char* end = text.end();
  const char* slash = nullptr;
  for (const char* p = begin; p != end; ++p) {
    if (*p == '/') slash = p;
  }
  if (slash != nullptr && slash != begin && slash + 1 != end &&
      parse_slash_prefix(begin, slash, end, address, mask))
    return true;
  if (!allow_bare_address) return false;
  IPAddress bare;
  if (!parse_dotted_quad(begin, end, &bare)) return false;
  *address = bare;
  *mask = IPAddress(0xFFFFFFFFu);
  return true;
}

bool cp_parse_port(int ip_protocol, const String& text, uint16_t* port, ParseContext& context) {
  uint32_t value;
  int named;
  if (NameRegistry::query_int(NameDB::kPortType + static_cast<uint32_t>(ip_protocol),
                              context.context, text, &named)) {
    value = static_cast<uint32_t>(named);
  } else {
    int status;
    if (!cp_parse_uint32(&status, text, &value)) return false;
  }
  if (value > 65535) {
    context.error("overflow, range 0-65535");
    return false;
  }
  *port = static_cast<uint16_t>(value);
  return true;
}
