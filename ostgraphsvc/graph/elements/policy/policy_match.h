// policy_match: the match criteria of a policy row (and of a firewall rule),
// read from a "cmap_match_criteria" object, and the text helpers behind it.
//
// A criterion at its "any" value always matches: empty app ids and process
// list, category -1, address 0xFFFFFFFF, a port list whose first low is -1,
// protocol -1, DSCP -1. A port list with no range at all matches nothing:
// a list whose every item failed to parse never widens a row to every port.
// Addresses and masks are network order and stored as written (unmasked);
// the matcher masks both sides.
//
// `parse_policy_match` never rejects a row: a value of the wrong JSON type
// is ignored, and a port bound that does not parse is reported through the
// given ParseContext (the framework's blank context by default) and its
// whole range dropped. Port names are the framework's TCP port names, looked
// up from the context's element.
//
// Records are plain values (deep copies); a row's record is filled once on
// the thread that builds the policy table and read-only afterwards.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_POLICY_MATCH_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_POLICY_MATCH_H_

#include <cstdint>

#include "graph/json.h"
#include "graph/parse_context.h"
#include "graph/string.h"
#include "graph/vector.h"

struct policy_match {
  policy_match() {
    src_port_low.push_back(-1);
    src_port_high.push_back(-1);
    dst_port_low.push_back(-1);
    dst_port_high.push_back(-1);
  }

  Vector<int32_t> app_ids;         // empty: any application
  Vector<String> process_list;     // process-name prefixes; empty: any process
  int32_t category = -1;           // no key sets it
  uint32_t src_addr = 0xFFFFFFFF;  // 0xFFFFFFFF: any source
  uint32_t src_mask = 0xFFFFFFFF;
  Vector<int32_t> src_port_low;  // parallel to src_port_high: inclusive ranges
  Vector<int32_t> src_port_high;
  uint32_t dst_addr = 0xFFFFFFFF;
  uint32_t dst_mask = 0xFFFFFFFF;
  Vector<int32_t> dst_port_low;
  Vector<int32_t> dst_port_high;
  int16_t protocol = -1;
  uint8_t internet = 0;  // 1: only Internet destinations
  int32_t dscp = -1;
  String src_zone;  // kept and logged, never compared
  String dst_zone;
};

// Fills `match` from the criteria object (a missing or non-object value
// leaves every criterion at "any"). Sets `*dscp_match_present` to 1 when the
// row gets a DSCP criterion; never clears it. Logs "Full tunnel configuration
// found mtch_dest_ip: %s" when the destination comes out as 0/0, and one
// summary line through router_chatter.
void parse_policy_match(const Json& criteria, const String& row_name, policy_match* match,
                        uint8_t* dscp_match_present, ParseContext& errors = ParseContext::blank);

// The DSCP value of a name of the DSCP table ("46-ef" is 46, "28-af43" is
// 38); -1 for "any-dscp" and every other text. Exact and case-sensitive.
int32_t dscp_from_name(const String& name);

// A port list without white space, cut at ',': the start and end texts of
// each item. An item without '-' is its own start and end; otherwise the
// text before the first '-' and the text between it and the next '-'. An
// item whose only '-' is its last character ("80-", "-") gets an empty end
// text, which no bound parser accepts.
void split_range_list(const String& text, Vector<String>* starts, Vector<String>* ends);

// The text cut at every '-'. Empty parts stay, except that a trailing '-'
// adds none ("a--b": a, "", b; "-a": "", a; "a-": a); "" gives no part.
Vector<String> split_dash_parts(const String& text);

// A port range of the application files: "1000-2000", "53" (53..53), "0" or
// "" (0xFFFF, any). A part that does not parse is 0xFFFF.
void parse_port_range(const String& text, uint16_t* low, uint16_t* high,
                      ParseContext& errors = ParseContext::blank);

// One port bound of a policy port list: a TCP port name or a whole number
// (base from its prefix) of 0 to 65535; false after reporting "invalid
// number", "out of range, bound %llu" or "overflow, range 0-65535".
bool parse_port_bound(const String& text, int32_t* port, ParseContext& errors);

// Reads a port list into the parallel vectors; a text without items leaves
// them as they are. Ranges whose bounds fail are dropped.
void parse_port_list(const String& text, Vector<int32_t>* lows, Vector<int32_t>* highs,
                     ParseContext& errors);

// Address text: "a.b.c.d/len", "a.b.c.d/m.m.m.m" or "a.b.c.d" (mask
// 255.255.255.255); anything else gives 0 and 0 (every address).
void parse_match_address(const String& text, uint32_t* address, uint32_t* mask);

// Adds the dump keys of the criteria to the object `o`, in the order both
// table dumps show them: "sip" and "dip" (dotted or "any"), "sport" and
// "dport" ("low-high" ranges joined by commas, "any", or "" for a list with
// no range), "protocol" ("icmp", "tcp", "udp" or "any") and "app" (the
// first application id, -1 for any).
void dump_policy_match(const policy_match& m, Json* o);

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_POLICY_MATCH_H_
