// Policy rows from outside: the bytes are read as a policy object and given
// to both row parsers (criteria and actions) and to the class-of-service
// reader, and, as raw text, to the port-list, address and port-range
// readers. The row is then copied, as the table builder does.
#include <cstddef>
#include <cstdint>

#include "graph/json.h"
#include "graph/nameinfo.h"
#include "ostgraphsvc/graph/elements/policy/policy_row.h"
#include "tests/fuzz/element_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  element_fuzz::start_framework();
  static const bool names = [] {
    const int www = 80, huge = 70000;
    NameDB* tcp = NameRegistry::global->lookup_or_install(NameDB::kPortType + 6, 4, String(),
                                                          NameRegistry::kMakeDynamic);
    tcp->define("www", &www, sizeof(www));
    tcp->define("huge", &huge, sizeof(huge));
    return true;
  }();
  (void)names;

  const String text(reinterpret_cast<const char*>(data), static_cast<int>(size));
  const Json document = Json::parse(text);
  policy row;
  row.name = document.get("qos_match").get("cmap_name").text();
  uint8_t dscp_match_present = 0;
  parse_policy_match(document.get("qos_match").get("cmap_match_criteria"), row.name, &row.match,
                     &dscp_match_present);
  parse_policy_match(document, row.name, &row.match, &dscp_match_present);
  parse_policy_action(document, &row);
  parse_cos(document, [](int code, const cos_class_thresholds&) {
    if (code < 1 || code > 4) __builtin_trap();
  });
  if (row.match.src_port_low.size() != row.match.src_port_high.size() ||
      row.match.dst_port_low.size() != row.match.dst_port_high.size())
    __builtin_trap();
  policy copy = row;
  (void)policy_action_text(copy.name, copy.action);

  Vector<int32_t> lows, highs;
  parse_port_list(text, &lows, &highs, ParseContext::blank);
  for (int i = 0; i < lows.size(); ++i)
    if (lows[i] < 0 || lows[i] > 65535 || highs[i] < 0 || highs[i] > 65535) __builtin_trap();
  uint32_t address, mask;
  parse_match_address(text, &address, &mask);
  uint16_t low, high;
  parse_port_range(text, &low, &high);
  return 0;
}
