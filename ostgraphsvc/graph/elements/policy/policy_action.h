// policy_action: what a policy row does (queueing and rate limits, the
// overlay next hop of policy-based routing, link steering, priority, traffic
// class, DSCP marks), and route_action, one next-hop choice.
//
// Fields hold the codes of the vocabulary tables (policy_vocabulary.h); the
// defaults are those of a new row. The parser that fills them is
// `parse_policy_action` (policy_row.h). Plain values, deep-copied; filled
// once when the row is built and read-only afterwards.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_POLICY_ACTION_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_POLICY_ACTION_H_

#include <cstdint>

#include "graph/string.h"
#include "graph/vector.h"

struct route_action {
  String site_text;  // "pbr_next_hop_site" as written
  int32_t site = 0;  // nexthop_site_names: 0 auto (no PBR), 1 direct, 2 hubs, 3 ipsec
  String next_hop;   // dotted quad of the next-hop peer's overlay address
  String group_id;   // hub group; when set it wins over next_hop
};

// One link-steering entry.
struct steering_link {
  int32_t via;  // link_via_names
  int32_t wan;  // wan_type_names
};

struct policy_action {
  int32_t queue_limit = 1024000;  // bytes; printed only
  uint8_t rate_limit_enabled = 0;
  int32_t tx_rate_kbps = 0;
  int32_t rx_rate_kbps = 0;
  int32_t rate_limit_type = 0;  // rate_limit_type_names; printed only
  route_action pbr;
  Vector<route_action> pbr_list;  // further next hops, tried in order
  Vector<steering_link> active_links;
  Vector<steering_link> backup_links;
  int32_t link_algo = 2;      // link_algo_names: mandatory
  int32_t steering_mode = 1;  // steering_mode_names: auto
  int32_t steering_interface = -1;
  uint8_t steering_enabled = 0;  // at least one active link
  int32_t priority = 2;          // policy_priority_names
  int32_t traffic_class = 3;     // traffic_class_names
  int32_t dscp_inner = -1;       // -1: keep the packet's own DSCP
  int32_t dscp_outer = -1;       // -1: none for the outer header
};

// The row printout that `print_policy_action` writes through router_chatter.
String policy_action_text(const String& row_name, const policy_action& action);
void print_policy_action(const String& row_name, const policy_action& action);

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_POLICY_ACTION_H_
