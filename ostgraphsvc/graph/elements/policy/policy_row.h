// policy: one row of the policy table (criteria, actions, the two policers
// and the row's name), the parser of a row's "qos_action" object, and the
// reader of the class-of-service table.
//
// Rows live by value in the policy table's row array; copying a row copies
// every list and text. A row is built on the thread that loads the policy
// file and then read-only, except for its token buckets, whose levels the
// flow code changes as it polices packets (packet thread only).
//
// The parsers never reject a row: values of the wrong JSON type leave the
// field at its default. Their log lines go to the router log under the tags
// "OstPolicy::parse_policy_action", "OstPolicy::print_ra_list_action" and
// "OstPolicy::parse_cos".
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_POLICY_ROW_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_POLICY_ROW_H_

#include <cstdint>
#include <functional>

#include "graph/json.h"
#include "graph/string.h"
#include "graph/token_bucket.h"
#include "ostgraphsvc/graph/elements/policy/policy_action.h"
#include "ostgraphsvc/graph/elements/policy/policy_match.h"

struct policy {
  policy() {
    // No rate and an unlimited capacity until the row enables rate limits.
    tx_bucket.assign(0, 0);
    rx_bucket.assign(0, 0);
  }

  uint32_t index = 0;
  policy_match match;
  policy_action action;
  TokenBucket tx_bucket;  // outbound policer
  TokenBucket rx_bucket;  // inbound policer
  String name;
};

// Fills `row->action` from the policy object's "qos_action", and the row's
// token buckets when it enables rate limiting, then prints the row. Rates
// in kbit/s become bytes per second in 64 bits, saturated to 0xFFFFFFFF; a
// negative rate counts as 0.
void parse_policy_action(const Json& policy_object, policy* row);

// The bucket rate and capacity of a rate in kbit/s: rate x 1000 / 8 bytes
// per second, and that plus 65536 bytes, each saturated to 0xFFFFFFFF.
void policer_rate(int32_t rate_kbps, uint32_t* rate, uint32_t* capacity);

// The QoE thresholds of one traffic class: latency and jitter in ms, loss
// in percent.
struct cos_class_thresholds {
  int latency_caution = 0;
  int latency_unusable = 0;
  int jitter_caution = 0;
  int jitter_unusable = 0;
  double loss_caution = 0;
  double loss_unusable = 0;
};

// Reads the class-of-service table of a policy document
// ("activated_policies"[0]."policy_config"."pcfg_cos_table") and hands each
// entry's class code (1 voice, 2 video, 3 transactional, 4 anything else)
// and thresholds to `store`, in table order, so a later entry of the same
// class wins. Returns 0, or -1 without calling `store` when the table is
// missing, empty or not an array. The policy element's `store` writes the
// process-wide class thresholds.
int parse_cos(const Json& document,
              const std::function<void(int class_code, const cos_class_thresholds&)>& store);

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_POLICY_ROW_H_
