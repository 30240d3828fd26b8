#include "graph/argument_types.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "graph/confparse.h"
#include "graph/element.h"
#include "graph/handler.h"
#include "graph/ip6address.h"
#include "graph/ipaddress.h"
#include "graph/nameinfo.h"
#include "graph/router.h"
#include "ostgraphsvc/graph/lib/compound_arguments.h"

namespace {

enum Code {
  kOptional = 1,
  kKeywordsMarker,
  kConfirmKeywordsMarker,
  kMandatoryKeywordsMarker,
  kIgnore,
  kIgnoreRest,
  kArg,
  kArgs,
  kString,
  kWord,
  kKeyword,
  kBool,
  kByte,
  kShort,
  kUShort,
  kInt,
  kUInt,
  kSizeT,
  kNamedInt,
  kLongLong,
  kULongLong,
  kOffT,
  kReal2,
  kUReal2,
  kReal10,
  kUReal10,
  kDouble,
  kSec,
  kMsec,
  kUsec,
  kTimestamp,
  kTimestampSigned,
  kTimeval,
  kBandwidth,
  kIPAddr,
  kIPPrefix,
  kIPAddrOrPrefix,
  kIPAddrList,
  kEtherAddr,
  kTCPPort,
  kUDPPort,
  kElement,
  kElementCast,
  kHandlerName,
  kHandlerCallRead,
  kHandlerCallWrite,
  kHandlerCallPtrRead,
  kHandlerCallPtrWrite,
  kIP6Addr,
  kIP6Prefix,
  kIP6PrefixLen,
  kIP6AddrOrPrefix,
  kFilename,
  kAnno,
};

struct StandardType {
  const char* name;
  const char* description;
  int flags;
  int internal;
};

constexpr int kTwo = CpArgumentType::kTwoResults;
constexpr int kInt2 = CpArgumentType::kExtraInt;
constexpr int kText4 = CpArgumentType::kExtraText;

constexpr StandardType kStandardTypes[] = {
    {"OPTIONAL", "<optional arguments marker>", 0, kOptional},
    {"\377KEYWORDS", "<keyword arguments marker>", 0, kKeywordsMarker},
    {"\377CONFIRM_KEYWORDS", "<confirmed keyword arguments marker>", 0, kConfirmKeywordsMarker},
    {"\377MANDATORY_KEYWORDS", "<mandatory keyword arguments marker>", 0, kMandatoryKeywordsMarker},
    {"IGNORE", "<ignored argument>", 0, kIgnore},
    {"\377IGNORE_REST", "<ignore rest marker>", 0, kIgnoreRest},
    {"arg", "arg", 0, kArg},
    {"args", "args", 0, kArgs},
    {"string", "string", 0, kString},
    {"word", "word", 0, kWord},
    {"keyword", "keyword", 0, kKeyword},
    {"bool", "bool", 0, kBool},
    {"byte", "byte", 0, kByte},
    {"short", "short", 0, kShort},
    {"u_short", "unsigned short", 0, kUShort},
    {"int", "int", 0, kInt},
    {"u_int", "unsigned", 0, kUInt},
    {"size_t", "size_t", 0, kSizeT},
    {"named_int", "named int", kInt2, kNamedInt},
    {"long_long", "64-bit int", 0, kLongLong},
    {"u_long_long", "64-bit unsigned", 0, kULongLong},
    {"off_t", "file offset", 0, kOffT},
    {"real2", "real", kInt2, kReal2},
    {"u_real2", "unsigned real", kInt2, kUReal2},
    {"real10", "real", kInt2, kReal10},
    {"u_real10", "unsigned real", kInt2, kUReal10},
    {"double", "double", 0, kDouble},
    {"sec", "time in sec", 0, kSec},
    {"msec", "time in sec (msec precision)", 0, kMsec},
    {"usec", "time in sec (usec precision)", 0, kUsec},
    {"timestamp", "seconds since the epoch", 0, kTimestamp},
    {"timestamp_signed", "seconds since the epoch", 0, kTimestampSigned},
    {"timeval", "seconds since the epoch", 0, kTimeval},
    {"bandwidth_Bps", "bandwidth", 0, kBandwidth},
    {"ip_addr", "IP address", 0, kIPAddr},
    {"ip_prefix", "IP address prefix", kTwo, kIPPrefix},
    {"ip_addr_or_prefix", "IP address or prefix", kTwo, kIPAddrOrPrefix},
    {"ip_addr_list", "list of IP addresses", 0, kIPAddrList},
    {"ether_addr", "Ethernet address", 0, kEtherAddr},
    {"tcp_port", "TCP port", 0, kTCPPort},
    {"udp_port", "UDP port", 0, kUDPPort},
    {"element", "element name", 0, kElement},
    {"element_cast", "cast element name", kText4, kElementCast},
    {"handler_name", "handler name", kTwo, kHandlerName},
    {"handler_call_read", "read handler name", 0, kHandlerCallRead},
    {"handler_call_write", "write handler name and value", 0, kHandlerCallWrite},
    {"handler_call_ptr_read", "read handler name", 0, kHandlerCallPtrRead},
    {"handler_call_ptr_write", "write handler name and value", 0, kHandlerCallPtrWrite},
    {"ip6_addr", "IPv6 address", 0, kIP6Addr},
    {"ip6_prefix", "IPv6 address prefix", kTwo, kIP6Prefix},
    {"ip6_prefix_len", "IPv6 address prefix", kTwo, kIP6PrefixLen},
    {"ip6_addr_or_prefix", "IPv6 address or prefix", kTwo, kIP6AddrOrPrefix},
    {"filename", "filename", 0, kFilename},
    {"anno", "packet annotation", kInt2, kAnno},
};
static_assert(sizeof(kStandardTypes) / sizeof(kStandardTypes[0]) == 54);

constexpr int kBuckets = 128;
constexpr int kExists = -17;

CpArgumentType* buckets[kBuckets] = {};
bool standard_types_added = false;

int bucket_of(const String& name) {
  if (name.empty()) return 0;
  const unsigned first = static_cast<unsigned char>(name[0]);
  return static_cast<int>((static_cast<unsigned>(name.length()) * 32 + first % 32) % kBuckets);
}

const char* description(const CpArgument& a) { return a.type->description.c_str(); }

bool syntax_error(ParseContext& context) {
  context.error("syntax error");
  return false;
}

// ---- Integers ----

int64_t sign_extend(uint64_t value, int size) {
  if (size >= 8) return static_cast<int64_t>(value);
  const int shift = 64 - 8 * size;
  return static_cast<int64_t>(value << shift) >> shift;
}

// The whole text as an integer of `size` bytes; out of range gives the
// saturated bound with status `cp_range`.
bool parse_whole_integer(const String& text, bool is_signed, int size, uint64_t* value,
                         int* status) {
  IntegerParser parser;
  uint32_t limbs[2] = {0, 0};
  int nlimbs = 0;
  const char* end =
      cp_parse_integer(parser, text.begin(), text.end(), is_signed, size, limbs, &nlimbs);
  if (text.empty() || end != text.end() || parser.status == cp_invalid) return false;
  *value = limbs[0] | (nlimbs > 1 ? static_cast<uint64_t>(limbs[1]) << 32 : 0);
  *status = parser.status;
  return true;
}

void report_integer_bound(const CpArgument& a, ParseContext& context, uint64_t bound) {
  const char* d = description(a);
  switch (a.type->internal) {
    case kByte:
    case kUShort:
      context.error("%s out of range, bound %u", d, static_cast<unsigned>(bound));
      return;
    case kUInt:
      context.error("%s out of range, bound %lu", d, static_cast<unsigned long>(bound));
      return;
    case kSizeT:
      context.error("%s out of range, bound %zu", d, static_cast<size_t>(bound));
      return;
    case kLongLong:
      context.error("%s out of range, bound %^64d", d, static_cast<int64_t>(bound));
      return;
    case kULongLong:
      context.error("%s out of range, bound %^64u", d, bound);
      return;
    default:
      context.error("%s out of range, bound %ld", d, static_cast<long>(sign_extend(bound, 4)));
  }
}

bool parse_integer_type(CpArgument& a, const String& text, ParseContext& context, bool is_signed,
                        int size) {
  uint64_t raw = 0;
  int status = cp_ok;
  if (!parse_whole_integer(text, is_signed, size, &raw, &status)) return syntax_error(context);
  if (is_signed) raw = static_cast<uint64_t>(sign_extend(raw, size));
  if (status == cp_range) {
    report_integer_bound(a, context, raw);
    return false;
  }
  a.result.u64 = raw;
  return true;
}

// ---- Fixed point, floating point and times ----

// Splits off a leading '-'; unsigned grammars refuse it.
bool split_sign(const CpArgument& a, const String& text, bool is_signed, const char** begin,
                bool* negative, ParseContext& context) {
  *begin = text.begin();
  *negative = !text.empty() && text[0] == '-';
  if (!*negative) return true;
  if (!is_signed) {
    context.error("%s must be >= 0", description(a));
    return false;
  }
  ++*begin;
  return true;
}

bool parse_fixed_point(CpArgument& a, const String& text, ParseContext& context, bool is_signed,
                       bool decimal) {
  const int places = a.extra_int;
  if (places < 0 || places > (decimal ? 9 : 32)) return syntax_error(context);
  const char* begin;
  bool negative;
  if (!split_sign(a, text, is_signed, &begin, &negative, context)) return false;
  uint64_t integer = 0;
  uint32_t fraction = 0;
  int status = cp_ok;
  const char* end = cp_parse_decimal_parts(begin, text.end(), false, decimal ? places : 0, &integer,
                                           &fraction, &status);
  if (end == begin || end != text.end() || status == cp_invalid) return syntax_error(context);

  uint64_t magnitude = 0;
  bool overflow = status == cp_range || integer > 0xFFFFFFFFu;
  if (!overflow && decimal) magnitude = integer + (fraction >= 0x80000000u ? 1 : 0);
  if (!overflow && !decimal) {
    const uint64_t half = places < 32 ? uint64_t{1} << (31 - places) : 0;
    magnitude = (integer << places) + ((fraction + half) >> (32 - places));
  }
  const uint64_t bound = !is_signed ? 0xFFFFFFFFu : negative ? 0x80000000u : 0x7FFFFFFFu;
  if (overflow || magnitude > bound) {
    const auto b = static_cast<uint32_t>(bound);
    String shown =
        decimal ? cp_decimal_fixed_to_string(b, places) : cp_fixed_point_to_string(b, places);
    if (negative) shown = "-" + shown;
    context.error("%s out of range, bound %s", description(a), shown.c_str());
    return false;
  }
  a.result.u = static_cast<uint32_t>(negative ? 0 - magnitude : magnitude);
  return true;
}

bool parse_double(CpArgument& a, const String& text, ParseContext& context) {
  const char* s = text.c_str();
  if (text.empty() || *s == ' ' || (*s >= 9 && *s <= 13)) return syntax_error(context);
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(s, &end);
  if (end != s + text.length()) return syntax_error(context);
  if (errno == ERANGE && std::fabs(value) == HUGE_VAL) {
    context.error("%s out of range, bound %g", description(a), value < 0 ? -DBL_MAX : DBL_MAX);
    return false;
  }
  a.result.d = value;
  return true;
}

bool parse_seconds_type(CpArgument& a, const String& text, ParseContext& context, int digits) {
  int status = cp_ok;
  uint32_t value = 0;
  if (!cp_parse_seconds(digits, &status, text, &value)) return syntax_error(context);
  if (status == cp_range) {
    context.error("%s out of range, bound %s", description(a),
                  cp_decimal_fixed_to_string(0xFFFFFFFFu, digits).c_str());
    return false;
  }
  a.result.u = value;
  return true;
}

// A time with an optional unit, in units of 10^-digits seconds, as a
// magnitude and a sign.
bool parse_time_units(CpArgument& a, const String& text, ParseContext& context, bool is_signed,
                      int digits, uint64_t* magnitude, bool* negative) {
  const char* begin;
  if (!split_sign(a, text, is_signed, &begin, negative, context)) return false;
  int power = 0;
  uint32_t multiplier = 1;
  const char* number_end =
      cp_parse_unit(cp_seconds_units, cp_seconds_prefixes, begin, text.end(), &power, &multiplier);
  uint64_t integer = 0;
  uint32_t fraction = 0;
  int status = cp_ok;
  const char* end = cp_parse_decimal_parts(begin, number_end, false, power + digits, &integer,
                                           &fraction, &status);
  if (end == begin || end != number_end || status == cp_invalid) return syntax_error(context);
  uint64_t whole = 0;
  const uint64_t part = (static_cast<uint64_t>(fraction) * multiplier + 0x80000000u) >> 32;
  if (status == cp_range || __builtin_mul_overflow(integer, uint64_t{multiplier}, &whole) ||
      __builtin_add_overflow(whole, part, magnitude)) {
    context.error("%s out of range", description(a));
    return false;
  }
  return true;
}

bool parse_timestamp(CpArgument& a, const String& text, ParseContext& context, bool is_signed) {
  uint64_t magnitude = 0;
  bool negative = false;
  if (!parse_time_units(a, text, context, is_signed, 9, &magnitude, &negative)) return false;
  if (magnitude > (negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1)) {
    context.error("%s out of range", description(a));
    return false;
  }
  a.result.u64 = negative ? 0 - magnitude : magnitude;
  return true;
}

bool parse_timeval(CpArgument& a, const String& text, ParseContext& context) {
  uint64_t usec = 0;
  bool negative = false;
  if (!parse_time_units(a, text, context, false, 6, &usec, &negative)) return false;
  if (usec / 1000000 > 0xFFFFFFFFu) {
    context.error("%s out of range", description(a));
    return false;
  }
  a.result.u = static_cast<uint32_t>(usec / 1000000);
  a.result2.u = static_cast<uint32_t>(usec % 1000000);
  return true;
}

bool parse_bandwidth(CpArgument& a, const String& text, ParseContext& context) {
  int status = cp_ok;
  uint32_t value = 0;
  if (!cp_parse_bandwidth(&status, text, &value)) {
    if (status != cp_range) return syntax_error(context);
    context.error("%s out of range", description(a));
    return false;
  }
  if (status == cp_no_unit) context.warning("no units on bandwidth %s, assuming Bps", text.c_str());
  a.result.u = value;
  return true;
}

// ---- Addresses ----

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parse_ether(CpArgument& a, const String& text) {
  const char* p = text.begin();
  const char* end = text.end();
  char separator = 0;
  for (int i = 0; i < 6; ++i) {
    if (i > 0) {
      if (p == end || (*p != ':' && *p != '-') || (separator && *p != separator)) return false;
      separator = *p++;
    }
    int value = 0, ndigits = 0;
    for (; p != end && ndigits < 2 && hex_value(*p) >= 0; ++p, ++ndigits)
      value = value * 16 + hex_value(*p);
    if (ndigits == 0) return false;
    a.result.bytes[i] = static_cast<unsigned char>(value);
  }
  return p == end;
}

IPv6Address ip6_mask(int prefix_len) {
  unsigned char bytes[16] = {};
  for (int i = 0; i < 16 && prefix_len > 0; ++i, prefix_len -= 8)
    bytes[i] = static_cast<unsigned char>(prefix_len >= 8 ? 0xFF : 0xFF << (8 - prefix_len));
  return IPv6Address(bytes);
}

bool parse_ip6_prefix(CpArgument& a, const String& text, ParseContext& context, bool bare) {
  IPv6Address address;
  int prefix_len = 0;
  if (!cp_parse_ip6_prefix(text, bare, &address, &prefix_len)) return syntax_error(context);
  std::memcpy(a.result.bytes, address.data(), 16);
  if (a.type->internal == kIP6PrefixLen) {
    a.result2.i = prefix_len;
  } else {
    std::memcpy(a.result2.bytes, ip6_mask(prefix_len).data(), 16);
  }
  return true;
}

bool parse_port(CpArgument& a, const String& text, ParseContext& context, int protocol) {
  uint16_t port = 0;
  // The port grammar words its own overflow message; say more only when
  // it said nothing.
  const bool was_reading = context.read_status;
  context.read_status = true;
  const bool ok = cp_parse_port(protocol, text, &port, context);
  const bool reported = !context.read_status;
  context.read_status = was_reading && !reported;
  if (!ok) return reported ? false : syntax_error(context);
  a.result.u = port;
  return true;
}

// ---- Elements and handlers ----

Element* find_named_element(const CpArgument& a, const String& text, ParseContext& context) {
  String name;
  if (!cp_parse_word(text, &name)) {
    context.error("type mismatch: %s requires element name", description(a));
    return nullptr;
  }
  Router* router = context.context != nullptr ? context.context->router() : nullptr;
  if (router == nullptr) {
    context.error("%s does not name an element", name.c_str());
    return nullptr;
  }
  Element* e = router->find_element(name, context.context);
  if (e == nullptr) context.error("%<%s%> does not name an element", name.c_str());
  return e;
}

// "element.handler": the element, found from the context, and the handler
// name. A name without a dot is a global handler's (element null).
bool parse_handler_name(const String& text, ParseContext& context, Element** element,
                        String* handler_name) {
  String word;
  if (!cp_parse_word(text, &word)) return syntax_error(context);
  int dot = -1;
  for (int i = word.length() - 1; i >= 0 && dot < 0; --i)
    if (word[i] == '.') dot = i;
  *element = nullptr;
  *handler_name = word.substring(dot + 1);
  if (dot < 0) return true;
  if (dot == 0) {
    context.error("type mismatch: requires element name");
    return false;
  }
  Router* router = context.context != nullptr ? context.context->router() : nullptr;
  if (router != nullptr) *element = router->find_element(word.substring(0, dot), context.context);
  if (*element == nullptr) {
    context.error("no element named %<%.*s%>", dot, word.data());
    return false;
  }
  if (handler_name->empty()) return syntax_error(context);
  return true;
}

bool parse_handler_call(CpArgument& a, const String& text, ParseContext& context, bool write) {
  String value = text;
  const String name_text = write ? cp_pop_word(&value) : text;
  Element* element = nullptr;
  String handler_name;
  if (!parse_handler_name(name_text, context, &element, &handler_name)) return false;
  const Handler* h = Router::find_handler(element, handler_name);
  if (h == nullptr || !(write ? h->writable() : h->readable())) {
    context.error("type mismatch: %s requires %s", name_text.c_str(),
                  write ? "write handler" : "read handler");
    return false;
  }
  a.result.pointer = element;
  a.handler = h;
  a.text = write ? value : String();
  return true;
}

// ---- The common operations ----

bool parse_argument(CpArgument& a, const String& text, ParseContext& context) {
  switch (a.type->internal) {
    case kOptional:
    case kKeywordsMarker:
    case kConfirmKeywordsMarker:
    case kMandatoryKeywordsMarker:
    case kIgnore:
    case kIgnoreRest:
      return true;
    case kArg:
    case kArgs:
      a.text = text;
      return true;
    case kString:
      return cp_parse_string(text, &a.text) || syntax_error(context);
    case kWord:
      return cp_parse_word(text, &a.text) || syntax_error(context);
    case kKeyword:
      return cp_parse_keyword(text, &a.text) || syntax_error(context);
    case kBool:
      return cp_parse_bool(text, &a.result.b) || syntax_error(context);
    case kByte:
      return parse_integer_type(a, text, context, false, 1);
    case kShort:
      return parse_integer_type(a, text, context, true, 2);
    case kUShort:
      return parse_integer_type(a, text, context, false, 2);
    case kInt:
    case kOffT:
      return parse_integer_type(a, text, context, true, 4);
    case kUInt:
      return parse_integer_type(a, text, context, false, 4);
    case kSizeT:
    case kULongLong:
      return parse_integer_type(a, text, context, false, 8);
    case kLongLong:
      return parse_integer_type(a, text, context, true, 8);
    case kNamedInt: {
      int value = 0;
      if (NameRegistry::query_int(static_cast<uint32_t>(a.extra_int), context.context, text,
                                  &value)) {
        a.result.u64 = static_cast<uint64_t>(static_cast<int64_t>(value));
        return true;
      }
      return parse_integer_type(a, text, context, true, 4);
    }
    case kReal2:
      return parse_fixed_point(a, text, context, true, false);
    case kUReal2:
      return parse_fixed_point(a, text, context, false, false);
    case kReal10:
      return parse_fixed_point(a, text, context, true, true);
    case kUReal10:
      return parse_fixed_point(a, text, context, false, true);
    case kDouble:
      return parse_double(a, text, context);
    case kSec:
      return parse_seconds_type(a, text, context, 0);
    case kMsec:
      return parse_seconds_type(a, text, context, 3);
    case kUsec:
      return parse_seconds_type(a, text, context, 6);
    case kTimestamp:
      return parse_timestamp(a, text, context, false);
    case kTimestampSigned:
      return parse_timestamp(a, text, context, true);
    case kTimeval:
      return parse_timeval(a, text, context);
    case kBandwidth:
      return parse_bandwidth(a, text, context);
    case kIPAddr: {
      IPAddress address;
      if (!cp_parse_ip_address(text, &address)) return syntax_error(context);
      a.result.u = address.addr();
      return true;
    }
    case kIPPrefix:
    case kIPAddrOrPrefix: {
      IPAddress address, mask;
      if (!cp_parse_ip_prefix(text, a.type->internal == kIPAddrOrPrefix, &address, &mask))
        return syntax_error(context);
      a.result.u = address.addr();
      a.result2.u = mask.addr();
      return true;
    }
    case kIPAddrList:
      return cp_parse_ip_address_list(text, &a.addresses) || syntax_error(context);
    case kEtherAddr:
      return parse_ether(a, text) || syntax_error(context);
    case kTCPPort:
      return parse_port(a, text, context, 6);
    case kUDPPort:
      return parse_port(a, text, context, 17);
    case kElement:
      a.result.pointer = find_named_element(a, text, context);
      return a.result.pointer != nullptr;
    case kElementCast: {
      Element* e = find_named_element(a, text, context);
      if (e == nullptr) return false;
      const char* class_name = a.extra_text != nullptr ? a.extra_text : "";
      a.result.pointer = e->cast(class_name);
      if (a.result.pointer != nullptr) return true;
      context.error("%s type mismatch, expected %s", e->name().c_str(), class_name);
      return false;
    }
    case kHandlerName: {
      Element* e = nullptr;
      if (!parse_handler_name(text, context, &e, &a.text)) return false;
      a.result.pointer = e;
      return true;
    }
    case kHandlerCallRead:
    case kHandlerCallPtrRead:
      return parse_handler_call(a, text, context, false);
    case kHandlerCallWrite:
    case kHandlerCallPtrWrite:
      return parse_handler_call(a, text, context, true);
    case kIP6Addr: {
      IPv6Address address;
      if (!cp_parse_ip6_address(text, &address)) return syntax_error(context);
      std::memcpy(a.result.bytes, address.data(), 16);
      return true;
    }
    case kIP6Prefix:
    case kIP6PrefixLen:
      return parse_ip6_prefix(a, text, context, false);
    case kIP6AddrOrPrefix:
      return parse_ip6_prefix(a, text, context, true);
    case kFilename:
      return cp_parse_filename(text, &a.text) || syntax_error(context);
    case kAnno: {
      int value = 0;
      if (!cp_parse_annotation(a.extra_int, text, &value, context)) return syntax_error(context);
      a.result.i = value;
      return true;
    }
  }
  return syntax_error(context);
}

template <typename T>
void put(void* variable, T value) {
  if (variable != nullptr) *static_cast<T*>(variable) = value;
}

void store_handler_call(CpArgument& a, CpHandlerCall* call) {
  call->element = static_cast<Element*>(a.result.pointer);
  call->handler = a.handler;
  call->value = a.text;
}

void store_argument(CpArgument& a) {
  void* v = a.variable;
  switch (a.type->internal) {
    case kArg:
    case kString:
    case kWord:
    case kKeyword:
    case kFilename:
      put(v, a.text);
      return;
    case kArgs:
      if (v != nullptr) static_cast<Vector<String>*>(v)->push_back(a.text);
      return;
    case kBool:
      put(v, a.result.b);
      return;
    case kByte:
      put(v, static_cast<uint8_t>(a.result.u64));
      return;
    case kShort:
      put(v, static_cast<int16_t>(a.result.u64));
      return;
    case kUShort:
    case kTCPPort:
    case kUDPPort:
      put(v, static_cast<uint16_t>(a.result.u64));
      return;
    case kInt:
    case kNamedInt:
    case kOffT:
      put(v, static_cast<int32_t>(a.result.u64));
      return;
    case kUInt:
      put(v, static_cast<uint32_t>(a.result.u64));
      return;
    case kSizeT:
    case kULongLong:
    case kTimestamp:
    case kTimestampSigned:
      put(v, a.result.u64);
      return;
    case kLongLong:
      put(v, a.result.i64);
      return;
    case kReal2:
    case kReal10:
    case kAnno:
      put(v, a.result.i);
      return;
    case kUReal2:
    case kUReal10:
    case kSec:
    case kMsec:
    case kUsec:
    case kBandwidth:
      put(v, a.result.u);
      return;
    case kDouble:
      put(v, a.result.d);
      return;
    case kTimeval:
      put(v, CpTimeval{a.result.u, a.result2.u});
      return;
    case kIPAddr:
      put(v, IPAddress(a.result.u));
      return;
    case kIPPrefix:
    case kIPAddrOrPrefix:
      put(v, IPAddress(a.result.u));
      put(a.variable2, IPAddress(a.result2.u));
      return;
    case kIPAddrList:
      put(v, a.addresses);
      return;
    case kEtherAddr:
      if (v != nullptr) std::memcpy(v, a.result.bytes, 6);
      return;
    case kElement:
      put(v, static_cast<Element*>(a.result.pointer));
      return;
    case kElementCast:
      put(v, a.result.pointer);
      return;
    case kHandlerName:
      put(v, static_cast<Element*>(a.result.pointer));
      put(a.variable2, a.text);
      return;
    case kHandlerCallRead:
    case kHandlerCallWrite:
      if (v != nullptr) store_handler_call(a, static_cast<CpHandlerCall*>(v));
      return;
    case kHandlerCallPtrRead:
    case kHandlerCallPtrWrite: {
      if (v == nullptr) return;
      auto* slot = static_cast<CpHandlerCall**>(v);
      if (*slot == nullptr) *slot = new CpHandlerCall;
      store_handler_call(a, *slot);
      return;
    }
    case kIP6Addr:
      put(v, IPv6Address(a.result.bytes));
      return;
    case kIP6Prefix:
    case kIP6AddrOrPrefix:
      put(v, IPv6Address(a.result.bytes));
      put(a.variable2, IPv6Address(a.result2.bytes));
      return;
    case kIP6PrefixLen:
      put(v, IPv6Address(a.result.bytes));
      put(a.variable2, a.result2.i);
      return;
    default:
      return;  // markers hold no value
  }
}

}  // namespace

int cp_add_argument_type(const String& name, const String& description, int flags, int internal) {
  const int b = bucket_of(name);
  for (CpArgumentType* t = buckets[b]; t != nullptr; t = t->next) {
    if (!(t->name == name)) continue;
    const int previous = t->use_count++;
    const bool same = t->description == description && t->flags == flags &&
                      t->internal == internal && t->parse == parse_argument &&
                      t->store == store_argument;
    return same ? previous : kExists;
  }
  auto* t = new CpArgumentType;
  t->name = name;
  t->next = buckets[b];
  t->parse = parse_argument;
  t->store = store_argument;
  t->flags = flags;
  t->description = description;
  t->internal = internal;
  t->use_count = 1;
  buckets[b] = t;
  return 0;
}

const CpArgumentType* cp_find_argument_type(const String& name) {
  for (const CpArgumentType* t = buckets[bucket_of(name)]; t != nullptr; t = t->next)
    if (t->name == name) return t;
  return nullptr;
}

void cp_add_standard_argument_types() {
  if (standard_types_added) return;
  standard_types_added = true;
  for (const StandardType& s : kStandardTypes)
    cp_add_argument_type(s.name, s.description, s.flags, s.internal);
  cp_make_assignment_records();
}

void cp_argument_static_cleanup() {
  cp_free_assignment_records();
  for (CpArgumentType*& head : buckets) {
    while (head != nullptr) delete std::exchange(head, head->next);
  }
  standard_types_added = false;
}
