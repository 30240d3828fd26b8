// OstFirewall: the firewall section of the policy configuration. No ports,
// moves no packets; it loads whether the firewall is on, its rules (name,
// criteria, allow or deny, logging), a flow-creation rate and threshold, and
// versions its rule table; "fw_dump" reports the table. No rule is
// evaluated on the packet path.
//
// Configuration: CONF, the firewall JSON file, read from
// "activated_policies"[0]."policy_config_parsed"."pcfg_firewall". The file
// is read whole (regular file, at most 64 MiB, no links) once per
// configure, and parsed only when its text differs from the last text that
// loaded; a file that does not parse, or holds more rules than the 16-bit
// count can address, leaves flags, tables, version and the remembered text
// as they were. The element "ostpolicy" (an OstPolicy) must exist; "agg" is
// looked up and reported when missing. Once on, the firewall is always
// stateful.
//
// FwFlowState is the record every flow entry carries; the two text
// operations format it for the flow dumps.
//
// Ownership: the element owns its tables. `fw_create_bucket` is
// process-wide and loaded by every firewall element.
//
// Threads: configure and initialize on the thread that builds the router;
// the handler and the text operations on the packet thread. No locks.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_OST_FIREWALL_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_OST_FIREWALL_H_

#include <cstdint>

#include "graph/element.h"
#include "graph/json.h"
#include "graph/string.h"
#include "graph/timestamp.h"
#include "graph/token_bucket.h"
#include "graph/vector.h"
#include "ostgraphsvc/graph/elements/policy/policy_match.h"

class AggregateIPFlows;
class Handler;
class OstPolicy;

struct fw_policy {
  uint32_t index = 0;
  policy_match match;
  bool allow = false;
  bool logging = false;
  String name;
  uint32_t hits = 0;
};

struct FwRuleTable {
  uint16_t count = 0;
  Vector<fw_policy> rules;
};

// The firewall's record of one flow; all zero for a new flow entry.
struct FwFlowState {
  int32_t tcp_state = 0;  // index into tcp_state_names
  int32_t protocol = 0;
  uint32_t tx_count = 0;
  uint32_t tx_count_2 = 0;
  uint32_t rx_count = 0;
  uint32_t rx_count_2 = 0;
  uint8_t local_fin = 0;
  uint8_t remote_fin = 0;
  uint64_t drops = 0;
  Timestamp first_time;
  Timestamp second_time;
  String rule_name;
};

// Loaded with the creation rate (per second) and threshold (capacity).
extern TokenBucket fw_create_bucket;

class OstFirewall : public Element {
 public:
  static constexpr int kMaxRules = 65535;
  static constexpr uint32_t kDefaultCreateRate = 200;

  OstFirewall() = default;
  ~OstFirewall() override = default;

  const char* class_name() const override { return "OstFirewall"; }
  void* cast(const char* name) override;
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  int initialize(ErrorHandler* errh) override;
  void add_handlers() override;
  bool can_live_reconfigure() const override { return true; }

  // 0 when the file was unchanged, unreadable or loaded; -1 when it changed
  // and could not be loaded.
  int initialize_fw_policy_config();
  // 1 changed (the text in `*text`), 0 unchanged, -1 unreadable.
  int check_fw_policy_change(String* text);
  // Loads `doc`; -1, with nothing changed, when it has too many rules.
  int build_fw_policy_table(const Json& doc);
  void parse_fw_policies(const Json& doc);

  // 0 with the text, or -1 leaving `*text` when the firewall is off (and,
  // for the TCP state, when the record is not TCP).
  int get_tcp_state_text(const FwFlowState& state, String* text) const;
  int get_flow_state_text(const FwFlowState& state, String* text) const;

  String fw_dump() const;
  static int fw_dump_handler(int operation, String& value, Element* e, const Handler* h,
                             ErrorHandler* errh);

  bool enabled() const { return enabled_; }
  bool stateful() const { return stateful_; }
  Timestamp init_time() const { return init_time_; }
  bool grace_over() const { return grace_over_; }
  void set_grace_over(bool over) { grace_over_ = over; }
  uint32_t create_rate() const { return create_rate_; }
  uint32_t create_threshold() const { return create_threshold_; }
  uint32_t table_version() const { return table_version_; }
  const FwRuleTable& active_table() const { return active_; }
  OstPolicy* policy_element() const { return policy_element_; }
  AggregateIPFlows* agg_element() const { return agg_element_; }

 private:
  OstPolicy* policy_element_ = nullptr;
  AggregateIPFlows* agg_element_ = nullptr;
  uint32_t create_rate_ = 0;
  uint32_t create_threshold_ = 0;
  bool enabled_ = false;
  bool stateful_ = false;
  Timestamp init_time_;
  bool grace_over_ = false;
  FwRuleTable staging_;
  FwRuleTable active_;
  String conf_path_;
  String last_config_text_;
  uint32_t table_version_ = 0;
};

// The state name of a record: state 1 refined by the FIN counts, and any
// state outside the table read as 0.
const char* fw_tcp_state_name(const FwFlowState& state);

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_OST_FIREWALL_H_
