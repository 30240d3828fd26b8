// The names of the small integer codes that policy rows store.
//
// Parsers store codes, never names; these tables give the names for output
// only (the row printout, dumps, flow records), indexed by the stored code.
// Nothing looks a name up here to get a code. JSON words and printed names
// differ in places: the JSON "normal" is priority 2, printed "medium"; the
// JSON "policer" is rate-limit type 2, printed "poicer".
//
// Each source file that includes this header gets its own constant copy of
// every table, so no start-up order between files matters. The transport's
// connection state names, `ostssl_state_names`, live with the transport
// (ostgraphsvc/ostssl/ostssl.h), which owns that enum.
//
// Threads: read-only after start-up; any thread.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_POLICY_VOCABULARY_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_POLICY_VOCABULARY_H_

#include "graph/string.h"

namespace {

const String link_state_names[] = {"UKNOWN", "UP", "DOWN"};
const String policy_priority_names[] = {"auto", "high", "medium", "low", "drop", "invalid"};
const String traffic_class_names[] = {"auto", "voice", "video", "transactional", "bulk", "invalid"};
const String rate_limit_type_names[] = {"invalid", "shaper", "poicer"};
const String link_algo_names[] = {"invalid", "preferred", "mandatory", "available"};
const String link_via_names[] = {"invalid", "direct", "overlay"};
const String wan_type_names[] = {"invalid", "wired", "wireless", "private", "metered", "unknown"};
const String steering_mode_names[] = {"invalid", "auto", "interface", "wan"};
const String nexthop_site_names[] = {"auto", "direct", "hubs", "ipsec"};
const String link_usability_names[] = {"usable", "caution", "unusable", "invalid"};
// The firewall's TCP flow states, by FwFlowState::tcp_state.
const String tcp_state_names[] = {
    "tcp_default",      "tcp_established", "tcp_syn_sent",  "tcp_syn_recv",  "tcp_ack_recv",
    "tcp_syn_ack_recv", "tcp_fin_wait1",   "tcp_fin_wait2", "tcp_time_wait", "tcp_close",
    "tcp_close_wait",   "tcp_last_ack",    "tcp_listen",    "tcp_closing"};

// The name of `code` in `table`, or "invalid" for a code outside it, so that
// a code from elsewhere never indexes past a table's end.
template <int N>
const char* vocabulary_name(const String (&table)[N], int code) {
  if (code < 0 || code >= N) return "invalid";
  return table[code].c_str();
}

}  // namespace

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_POLICY_VOCABULARY_H_
