#include "ostgraphsvc/graph/elements/policy/policy_match.h"

#include <arpa/inet.h>

#include "graph/confparse.h"
#include "graph/ipaddress.h"
#include "graph/nameinfo.h"
#include "graph/router_log.h"
#include "graph/string_builder.h"

namespace {

constexpr uint32_t kTcpPortNames = NameDB::kPortType + 6;

struct DscpName {
  const char* name;
  int32_t value;
};

// "28-af43" is the one name whose number is not its value.
constexpr DscpName kDscpNames[] = {
    {"0-none", 0},   {"1-none", 1},   {"2-none", 2},          {"3-none", 3},   {"4-none", 4},
    {"8-cs1", 8},    {"10-af11", 10}, {"12-af12", 12},        {"14-af13", 14}, {"16-cs2", 16},
    {"18-af21", 18}, {"20-af22", 20}, {"22-af23", 22},        {"24-cs3", 24},  {"26-af31", 26},
    {"28-af32", 28}, {"30-af33", 30}, {"32-cs4", 32},         {"34-af41", 34}, {"36-af42", 36},
    {"28-af43", 38}, {"40-cs5", 40},  {"44-voice-admit", 44}, {"46-ef", 46},   {"48-cs6", 48},
    {"56-cs7", 56},
};

const Json& typed(const Json& object, const char* key, int type) {
  const Json& value = object.get(key);
  return value.type() == type ? value : Json::make_null();
}

}  // namespace

int32_t dscp_from_name(const String& name) {
  for (const DscpName& entry : kDscpNames) {
    if (name.equals(entry.name)) return entry.value;
  }
  return -1;
}

Vector<String> split_dash_parts(const String& text) {
  Vector<String> parts;
  int start = 0;
  for (int i = 0; i < text.length(); ++i) {
    if (text[i] != '-') continue;
    parts.push_back(text.substring(start, i));
    start = i + 1;
  }
  if (start < text.length()) parts.push_back(text.substring(start));
  return parts;
}

void split_range_list(const String& text, Vector<String>* starts, Vector<String>* ends) {
  String compact;
  for (int i = 0; i < text.length(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') continue;
    compact.append(c);
  }
  int begin = 0;
  while (begin < compact.length()) {
    int end = compact.find_left(',', begin);
    if (end < 0) end = compact.length();
    const String item = compact.substring(begin, end);
    begin = end + 1;
    const int dash = item.find_left('-');
    if (dash < 0) {
      starts->push_back(item);
      ends->push_back(item);
      continue;
    }
    int second = item.find_left('-', dash + 1);
    if (second < 0) second = item.length();
    starts->push_back(item.substring(0, dash));
    ends->push_back(item.substring(dash + 1, second));
  }
}

bool parse_port_bound(const String& text, int32_t* port, ParseContext& errors) {
  int named;
  uint32_t value;
  if (NameRegistry::query_int(kTcpPortNames, errors.context, text, &named)) {
    value = static_cast<uint32_t>(named);
  } else {
    int status;
    if (!cp_parse_uint32(&status, text, &value, errors, 0)) return false;
  }
  if (value > 65535) {
    errors.error("overflow, range 0-65535");
    return false;
  }
  *port = static_cast<int32_t>(value);
  return true;
}

void parse_port_list(const String& text, Vector<int32_t>* lows, Vector<int32_t>* highs,
                     ParseContext& errors) {
  Vector<String> starts;
  Vector<String> ends;
  split_range_list(text, &starts, &ends);
  if (starts.empty()) return;
  lows->clear();
  highs->clear();
  for (int i = 0; i < starts.size(); ++i) {
    int32_t low;
    int32_t high;
    // A range with a bad bound is dropped whole: keeping half of it, or a
    // stand-in value, could widen what the row matches.
    if (!parse_port_bound(starts[i], &low, errors)) continue;
    if (!parse_port_bound(ends[i], &high, errors)) continue;
    lows->push_back(low);
    highs->push_back(high);
  }
}

void parse_port_range(const String& text, uint16_t* low, uint16_t* high, ParseContext& errors) {
  const Vector<String> parts = split_dash_parts(text);
  *low = 0xFFFF;
  *high = 0xFFFF;
  if (parts.empty()) return;
  // A bound that fails reports why and stays "any".
  auto bound = [&errors](const String& part, uint16_t* out) {
    int32_t value;
    if (parse_port_bound(part, &value, errors)) *out = static_cast<uint16_t>(value);
  };
  bound(parts[0], low);
  if (parts.size() == 1) {
    if (*low == 0) *low = 0xFFFF;
    *high = *low;
    return;
  }
  bound(parts[1], high);
}

void parse_match_address(const String& text, uint32_t* address, uint32_t* mask) {
  int slash = -1;
  for (int i = text.length() - 1; i >= 0; --i) {
    if (text[i] == '/') {
      slash = i;
      break;
    }
  }
  IPAddress parsed;
  IPAddress parsed_mask;
  if (slash > 0 && slash < text.length() - 1 &&
      cp_parse_ip_prefix(text, false, &parsed, &parsed_mask)) {
    *address = parsed.addr();
    *mask = parsed_mask.addr();
    return;
  }
  if (cp_parse_ip_address(text, &parsed)) {
    *address = parsed.addr();
    *mask = 0xFFFFFFFF;
    return;
  }
  *address = 0;
  *mask = 0;
}

void parse_policy_match(const Json& criteria, const String& row_name, policy_match* match,
                        uint8_t* dscp_match_present, ParseContext& errors) {
  const Json& src_port = typed(criteria, "mtch_src_port", Json::kString);
  if (!src_port.is_null())
    parse_port_list(src_port.text(), &match->src_port_low, &match->src_port_high, errors);
  const Json& dst_port = typed(criteria, "mtch_dest_port", Json::kString);
  if (!dst_port.is_null())
    parse_port_list(dst_port.text(), &match->dst_port_low, &match->dst_port_high, errors);

  const Json& src_ip = typed(criteria, "mtch_src_ip", Json::kString);
  if (!src_ip.is_null()) parse_match_address(src_ip.text(), &match->src_addr, &match->src_mask);
  const Json& dst_ip = typed(criteria, "mtch_dest_ip", Json::kString);
  if (!dst_ip.is_null()) {
    parse_match_address(dst_ip.text(), &match->dst_addr, &match->dst_mask);
    if (match->dst_addr == 0 && match->dst_mask == 0)
      log_syslog_level(6, "OstPolicy::parse_policy_match", __FILE__, __LINE__,
                       "Full tunnel configuration found mtch_dest_ip: %s",
                       dst_ip.text().printable().c_str());
  }

  const Json& protocol = typed(criteria, "mtch_l4_protocol", Json::kString);
  if (!protocol.is_null()) {
    const String& word = protocol.text();
    match->protocol = word.equals("icmp")  ? 1
                      : word.equals("tcp") ? 6
                      : word.equals("udp") ? 17
                                           : 0;
  }
  const Json& dscp = typed(criteria, "mtch_src_dscp", Json::kString);
  if (!dscp.is_null()) {
    match->dscp = dscp_from_name(dscp.text());
    if (match->dscp != -1) *dscp_match_present = 1;
  }
  const Json& internet = typed(criteria, "mtch_dest_internet", Json::kBoolean);
  if (!internet.is_null()) match->internet = internet.to_bool() ? 1 : 0;

  const Json& app_ids = typed(criteria, "mtch_app_id", Json::kArray);
  if (!app_ids.is_null()) {
    match->app_ids.clear();
    for (const Json& element : static_cast<JsonArray*>(app_ids.body())->elements)
      match->app_ids.push_back(element.to_int());
  }
  const Json& src_zone = typed(criteria, "mtch_src_zone", Json::kString);
  if (!src_zone.is_null()) match->src_zone = src_zone.text();
  const Json& dst_zone = typed(criteria, "mtch_dest_zone", Json::kString);
  if (!dst_zone.is_null()) match->dst_zone = dst_zone.text();

  const Json& processes = typed(criteria, "mtch_src_process_list", Json::kArray);
  if (!processes.is_null()) {
    match->process_list.clear();
    for (const Json& element : static_cast<JsonArray*>(processes.body())->elements)
      if (element.type() == Json::kString) match->process_list.push_back(element.text());
  }

  router_chatter(
      "%s: sip 0x%x, dip 0x%x, protocol %d, class %d, internet %s, srczone:%s dstzone:%s",
      row_name.printable().c_str(), match->src_addr, match->dst_addr, match->protocol,
      match->category, match->internet ? "true" : "false", match->src_zone.printable().c_str(),
      match->dst_zone.printable().c_str());
}

namespace {

String address_text(uint32_t network_order) {
  if (network_order == 0xFFFFFFFF) return String("any");
  const uint32_t h = ntohl(network_order);
  StringBuilder sb;
  sb << static_cast<int>(h >> 24) << '.' << static_cast<int>((h >> 16) & 0xFF) << '.'
     << static_cast<int>((h >> 8) & 0xFF) << '.' << static_cast<int>(h & 0xFF);
  return sb.take_string();
}

String ports_text(const Vector<int32_t>& lows, const Vector<int32_t>& highs) {
  if (lows.empty()) return String();
  if (lows[0] == -1) return String("any");
  StringBuilder sb;
  const int n = lows.size() < highs.size() ? lows.size() : highs.size();
  for (int i = 0; i < n; ++i) {
    if (i > 0) sb << ',';
    sb << lows[i] << '-' << highs[i];
  }
  return sb.take_string();
}

const char* protocol_text(int protocol) {
  switch (protocol) {
    case 1:
      return "icmp";
    case 6:
      return "tcp";
    case 17:
      return "udp";
    default:
      return "any";
  }
}

}  // namespace

void dump_policy_match(const policy_match& m, Json* o) {
  o->set("sip", address_text(m.src_addr));
  o->set("dip", address_text(m.dst_addr));
  o->set("sport", ports_text(m.src_port_low, m.src_port_high));
  o->set("dport", ports_text(m.dst_port_low, m.dst_port_high));
  o->set("protocol", String(protocol_text(m.protocol)));
  o->get_insert("app") = Json(m.app_ids.empty() ? -1 : m.app_ids[0]);
}
