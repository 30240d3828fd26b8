// OstPolicy: the policy element. No ports, moves no packets; it owns the
// flow policy table, its version and the application tables, and answers
// each flow with the first row that applies to it.
//
// Configuration: CONF, the policy JSON file; an element named "rt" must
// exist (its route-table interface is kept when the cast succeeds). The
// rows come from "activated_policies"[0]."policy_config"."pcfg_qos_policies",
// in file order, followed by six built-in rows. The file is read once per
// configure or reconfigure (regular files of at most 64 MiB, no links) and
// parsed only when its text differs from the last text that built a table;
// a file that fails to parse, or holds more rows than the 16-bit indexes
// can address, leaves the active table, the version and the remembered text
// as they were. Every rebuild bumps the table version, also when the new
// table equals the old one.
//
// Matching (`find_matching_policy`) walks the active table under the
// service's fixed rules: own processes and bypassed traffic get the
// allow-all row, leaks past the virtual interface the block-all row, and
// while fail-close is in force every answer is narrowed to those two. While
// no table has been built, a fixed allow-all (index 0) and block-all
// (index 1) pair answers, so those rules hold before the first policy file.
//
// Ownership: the element owns both tables and its application tables. It
// registers itself as the process-wide policy element at initialize when no
// other is, and unregisters when destroyed.
//
// Threads: configure and initialize on the thread that builds the router;
// reconfigure, the command operations, the handler and every lookup on the
// packet thread. The version (OstPolicyTableVersion) may be bumped from any
// thread.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_OST_POLICY_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_OST_POLICY_H_

#include <cstdint>

#include "graph/element.h"
#include "graph/json.h"
#include "graph/string.h"
#include "graph/vector.h"
#include "ostgraphsvc/graph/elements/policy/app_tables.h"
#include "ostgraphsvc/graph/elements/policy/policy_row.h"
#include "ostgraphsvc/policy_slot/policy_slot.h"

class Handler;
class OstrelRouteTable;

// A row's criteria flattened for the walk: masks and networks (network
// order; any is mask 0, network 0), one port range a side as low and span
// (port - low <= span, 16-bit), and `full` when the row needs its own
// criteria checked too (several port ranges, app ids, a process list).
struct PolicyQuickMatch {
  uint32_t src_mask = 0;
  uint32_t src_net = 0;
  uint32_t dst_mask = 0;
  uint32_t dst_net = 0;
  int32_t dscp = -1;
  int32_t category = -1;
  uint16_t sport_low = 0;
  uint16_t sport_span = 0xFFFF;
  uint16_t dport_low = 0;
  uint16_t dport_span = 0xFFFF;
  int16_t protocol = -1;
  uint8_t internet = 0;
  uint8_t full = 0;
};

// The rows of one policy table, built rows first, then the built-in ones,
// with the flattened criteria of each row at the same index.
struct PolicyTable {
  uint16_t count = 0;
  uint16_t first_builtin = 0;
  uint16_t allow_all = 0;
  uint16_t block_all = 0;
  Vector<policy> rows;
  Vector<PolicyQuickMatch> quick;
};

// The flattened criteria of `m`.
PolicyQuickMatch make_quick_match(const policy_match& m);

// True when `name` (up to a NUL, at most 255 bytes) is one of the product's
// own executables: letter case ignored, a trailing ".exe" dropped on both
// sides. Null and empty names are not.
bool is_own_process(const char* name);

// The address, port and protocol criteria of `m` against a flow (addresses
// in network order, ports in host order).
bool match_flow_tuple(const policy_match& m, uint32_t src, uint32_t dst, uint16_t sport,
                      uint16_t dport, uint16_t protocol);
// The process criterion: an empty list holds; otherwise some entry is a
// prefix of the name, letter case ignored. A null name counts as empty.
bool match_process_list(const policy_match& m, const char* process_name);

class OstPolicy : public Element, public OstPolicyTableVersion {
 public:
  // 65535 indexes, six of them for the built-in rows.
  static constexpr int kMaxTableRows = 65535;
  static constexpr int kBuiltinRows = 6;
  static constexpr int kMaxConfiguredRows = kMaxTableRows - kBuiltinRows;
  static constexpr int kMaxProcessName = 255;

  OstPolicy();
  ~OstPolicy() override;

  const char* class_name() const override { return "OstPolicy"; }
  void* cast(const char* name) override;
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  int initialize(ErrorHandler* errh) override;
  void add_handlers() override;
  bool can_live_reconfigure() const override { return true; }

  // Reloads what changed: 0, or -1 when a changed policy file was refused.
  int reconfigure();

  // 0 when the policy file was unchanged, unreadable or built; -1 when it
  // changed and could not be built.
  int initialize_policy_config();
  // 1 changed (the text in `*text`), 0 unchanged, -1 unreadable. The text
  // is remembered only once it built a table.
  int check_policy_change(String* text);
  // Builds and activates the table of `doc`; -1 (nothing changed) when it
  // has more rows than the table can index.
  int build_policy_table(const Json& doc);
  // Fills the table being built from `doc` (rows, then built-in rows).
  void parse_qos_policies(const Json& doc);
  void add_builtin_policies();

  // The row criteria parser, noting in `dscp_match_present` (never
  // cleared) when a row matches on DSCP; the firewall parses its rules here.
  void parse_policy_match(const Json& criteria, const String& name, policy_match* match);

  void set_tunnel_started(bool started);
  void setDeviceClassificationManaged();
  void setDeviceClassificationUnmanaged();

  String policy_dump() const;
  static int policy_dump_handler(int operation, String& value, Element* e, const Handler* h,
                                 ErrorHandler* errh);

  // The index of the row that applies to a flow (addresses in network
  // order, ports in host order), valid with the current table version.
  int32_t find_matching_policy(uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport,
                               int32_t dscp, uint16_t protocol, int32_t app_id, int32_t category,
                               uint8_t internet, const char* process_name) const;
  // 0 with the next hop's overlay address in `*next_hop` (written only when
  // one is chosen: a row without PBR or a "direct" entry gives 0 and leaves
  // it), or -1 when no next hop of the row is up or there is no such row.
  int get_pbr_next_hop(int32_t index, String* next_hop) const;
  static int resolve_route_action(const route_action& action, String* next_hop);

  // A row of the active table; while that is empty, index 0 is the fixed
  // allow-all row and index 1 the fixed block-all row. Null otherwise.
  const policy* policy_row(int32_t index) const;

  const PolicyTable& active_table() const { return active_; }
  uint8_t tunnel_started() const { return tunnel_started_; }
  uint32_t device_classification() const { return device_classification_; }
  uint8_t dscp_match_present() const { return dscp_match_present_; }
  int32_t hostapp_generation() const { return app_tables_.hostapp_generation(); }
  PolicyAppTables& app_tables() { return app_tables_; }
  const PolicyAppTables& app_tables() const { return app_tables_; }
  const String& conf_path() const { return conf_path_; }
  OstrelRouteTable* route_table() const { return route_table_; }

 private:
  int attach_rt();
  // Answers for index i under fail-close and the captive portal.
  int32_t finish(int32_t i, bool fail_close, uint32_t dst, uint16_t dport, uint16_t protocol,
                 const char* process_name) const;
  void log_leak(uint32_t src, uint16_t sport, uint32_t dst, uint16_t dport) const;

  PolicyTable building_;
  PolicyTable active_;
  // Answers while the active table is empty.
  policy empty_allow_all_;
  policy empty_block_all_;
  String conf_path_;
  String policy_text_;  // the text that built the active table
  OstrelRouteTable* route_table_ = nullptr;
  PolicyAppTables app_tables_;
  uint8_t dscp_match_present_ = 0;
  uint8_t tunnel_started_ = 0;
  uint32_t device_classification_ = 0;  // 0 none yet, 1 unmanaged, 2 managed
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_OST_POLICY_H_
