// Configuration arguments come from the graph file and element handlers:
// every text must split, unquote, and fail or parse as a number, bandwidth,
// time, address, prefix or port without overreading, hanging or crashing,
// and quoting must round-trip.
#include <cstdint>
#include <cstdlib>

#include "graph/confparse.h"
#include "graph/ip6address.h"
#include "graph/ipaddress.h"
#include "graph/nameinfo.h"
#include "graph/string.h"
#include "graph/vector.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool initialized = [] {
    NameRegistry::static_initialize();
    return true;
  }();
  (void)initialized;
  if (size > 4096) return 0;
  // A copy of exactly the input's size, so that an overread is caught.
  String text(reinterpret_cast<const char*>(data), static_cast<int>(size));

  Vector<String> arguments;
  cp_split_arguments(text, &arguments);
  for (const String& argument : arguments) {
    Vector<String> words;
    cp_split_words(argument, &words);
    String unquoted = cp_unquote(argument);
    if (!(cp_unquote(cp_quote(unquoted)) == unquoted)) std::abort();
  }
  String rest = text;
  for (int i = 0; i < 64 && !rest.empty(); ++i) cp_pop_word(&rest);
  cp_uncomment(text);

  int status;
  int32_t i32;
  uint32_t u32;
  uint64_t u64;
  bool flag;
  cp_parse_int32(&status, text, &i32);
  cp_parse_uint32(&status, text, &u32, ParseContext::blank, 10);
  cp_parse_uint64(&status, text, &u64);
  cp_parse_bool(text, &flag);
  cp_parse_bandwidth(&status, text, &u32);
  cp_parse_seconds(3, &status, text, &u32);
  String word, keyword;
  cp_parse_string(text, &word);
  cp_parse_word(text, &word);
  cp_parse_keyword(text, &keyword, &rest);

  IPAddress address, mask;
  Vector<IPAddress> list;
  uint16_t port;
  cp_parse_ip_address(text, &address);
  cp_parse_ip_prefix(text, true, &address, &mask);
  cp_parse_ip_address_list(text, &list);
  cp_parse_port(6, text, &port);
  IPv6Address address6;
  int prefix_len;
  if (cp_parse_ip6_address(text, &address6)) {
    IPv6Address again;
    if (!cp_parse_ip6_address(address6.to_string(), &again) || !(again == address6)) std::abort();
  }
  cp_parse_ip6_prefix(text, true, &address6, &prefix_len);
  return 0;
}
