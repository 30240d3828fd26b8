#include "ostgraphsvc/graph/elements/policy/ost_firewall.h"

#include <arpa/inet.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>

#include "graph/args.h"
#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/handler.h"
#include "graph/parse_context.h"
#include "graph/router.h"
#include "graph/router_log.h"
#include "graph/string_builder.h"
#include "ostgraphsvc/graph/elements/analysis/aggregate_ip_flows.h"
#include "ostgraphsvc/graph/elements/policy/app_tables.h"
#include "ostgraphsvc/graph/elements/policy/ost_policy.h"
#include "ostgraphsvc/graph/elements/policy/policy_vocabulary.h"

TokenBucket fw_create_bucket;

namespace {

#define FW_LOG(tag, ...) log_syslog_level(6, (tag), __FILE__, __LINE__, __VA_ARGS__)

constexpr char kParseTag[] = "OstFirewall::parse_fw_policies";
constexpr char kCheckTag[] = "OstFirewall::check_fw_policy_change";
constexpr char kInitConfigTag[] = "OstFirewall::initialize_fw_policy_config";
constexpr char kConfigureTag[] = "OstFirewall::configure";
constexpr char kInitializeTag[] = "OstFirewall::initialize";

constexpr int kTcp = 6;
constexpr int kStateEstablished = 1;
constexpr int kStateFinWait1 = 6;
constexpr int kStateCloseWait = 10;
constexpr int kStateCount = static_cast<int>(sizeof(tcp_state_names) / sizeof(tcp_state_names[0]));

bool json_true(const Json& v) { return v.type() == Json::kBoolean && v.to_bool(); }

// The values of an array, or the members of an object, in order.
int value_count(const Json& v) {
  if (v.type() == Json::kArray) return static_cast<const JsonArray*>(v.body())->elements.size();
  if (v.type() == Json::kObject) return static_cast<const JsonObject*>(v.body())->count;
  return 0;
}

const Json& value_at(const Json& v, int i) {
  if (v.type() == Json::kArray) return static_cast<const JsonArray*>(v.body())->elements[i];
  return static_cast<const JsonObject*>(v.body())->items[i].value;
}

const Json& firewall_section(const Json& doc) {
  return doc.get("activated_policies").get("0").get("policy_config_parsed").get("pcfg_firewall");
}

long long whole_seconds(Timestamp t) {
  const int64_t ns = t.nsec();
  int64_t s = ns / Timestamp::kNsecPerSec;
  if (ns % Timestamp::kNsecPerSec < 0) --s;
  return s;
}

}  // namespace

const char* fw_tcp_state_name(const FwFlowState& state) {
  int s = state.tcp_state;
  if (s == kStateEstablished) {
    if (state.local_fin != 0 && state.remote_fin == 0) s = kStateFinWait1;
    if (state.local_fin == 0 && state.remote_fin != 0) s = kStateCloseWait;
  }
  // A record from elsewhere never indexes outside the table.
  if (s < 0 || s >= kStateCount) s = 0;
  return tcp_state_names[s].c_str();
}

void* OstFirewall::cast(const char* name) {
  if (std::strcmp(name, "OstFirewall") == 0) return this;
  return Element::cast(name);
}

int OstFirewall::configure(Vector<String>& conf, ErrorHandler* errh) {
  Args args(this, errh);
  if (args.bind(conf).read_filename("CONF", 0, conf_path_).remove_consumed().commit() < 0)
    return -1;
  Router* r = router();
  Element* pe = r != nullptr ? r->find_element("ostpolicy", this) : nullptr;
  policy_element_ = nullptr;
  if (pe == nullptr) {
    errh->error("ostpolicy element not found-1");
  } else {
    policy_element_ = static_cast<OstPolicy*>(pe->cast("OstPolicy"));
    if (policy_element_ == nullptr) errh->error("ostpoicy element not found-2");
  }
  if (policy_element_ == nullptr) {
    errh->message("No policy element found - skip policy match");
    return -1;
  }
  Element* ae = r->find_element("agg", this);
  agg_element_ = nullptr;
  if (ae == nullptr) {
    errh->error("AggregatorIP element not found-1");
  } else {
    agg_element_ = static_cast<AggregateIPFlows*>(ae->cast("AggregateIPFlows"));
    if (agg_element_ == nullptr) errh->error("agg element not found-2");
  }
  FW_LOG(kConfigureTag, "OstFirewall: config file path %s", conf_path_.printable().c_str());
  return initialize_fw_policy_config();
}

int OstFirewall::initialize(ErrorHandler*) {
  init_time_ = Timestamp::now();
  if (create_rate_ == 0) {
    create_rate_ = kDefaultCreateRate;
    create_threshold_ = kDefaultCreateRate;
    FW_LOG(kInitializeTag, "OstFirewall: initialized create rate to default");
  }
  fw_create_bucket.assign(create_rate_, create_threshold_);
  FW_LOG(kInitializeTag, "OstFirewall: initialized");
  return 0;
}

int OstFirewall::check_fw_policy_change(String* text) {
  if (policy_read_work_file(conf_path_, text) != 0) {
    FW_LOG(kCheckTag, "Unable to open file %s", conf_path_.printable().c_str());
    return -1;
  }
  if (*text == last_config_text_) {
    FW_LOG(kCheckTag, "No change in policy");
    return 0;
  }
  FW_LOG(kCheckTag, "Change in policy - Build policy table");
  return 1;
}

int OstFirewall::initialize_fw_policy_config() {
  String text;
  if (check_fw_policy_change(&text) < 1) {
    FW_LOG(kInitConfigTag, "No change in policy config - skipping");
    return 0;
  }
  Json doc;
  if (!policy_parse_document(text, &doc)) {
    FW_LOG(kInitConfigTag, "JSON config parse failed");
    return -1;
  }
  if (build_fw_policy_table(doc) < 0) return -1;
  // Remembered only once loaded, so a refused file is refused again.
  last_config_text_ = text;
  return 0;
}

int OstFirewall::build_fw_policy_table(const Json& doc) {
  const Json& fw = firewall_section(doc);
  const int rules = value_count(fw.get("pcfg_fw_policies"));
  if (json_true(fw.get("pcfg_firewall_enabled")) && rules > kMaxRules) {
    FW_LOG(kParseTag, "OstFirewall: %d rules, at most %d fit in the rule table - refused", rules,
           kMaxRules);
    return -1;
  }
  parse_fw_policies(doc);
  active_ = std::move(staging_);
  staging_ = FwRuleTable();
  ++table_version_;
  return 0;
}

void OstFirewall::parse_fw_policies(const Json& doc) {
  staging_ = FwRuleTable();
  const Json& fw = firewall_section(doc);
  const bool present = !fw.is_null();
  const bool new_enabled = present && json_true(fw.get("pcfg_firewall_enabled"));
  const bool new_stateful = present && json_true(fw.get("pcfg_fw_stateful_enabled"));
  if (!new_enabled) {
    if (enabled_) FW_LOG(kParseTag, "Firewall disabled");
    enabled_ = false;
    return;
  }
  if (!enabled_) FW_LOG(kParseTag, "Firewall enabled");
  enabled_ = true;
  if (!stateful_ && new_stateful) FW_LOG(kParseTag, "Stateful firewall enabled");
  if (stateful_ && !new_stateful) FW_LOG(kParseTag, "Stateful firewall disabled");
  stateful_ = true;
  FW_LOG(kParseTag, "Stateful firewall enabled internally.");

  const Json& list = fw.get("pcfg_fw_policies");
  const int n = value_count(list);
  staging_.rules.reserve(n);
  for (int i = 0; i < n; ++i) {
    const Json& value = value_at(list, i);
    staging_.rules.push_back(fw_policy());
    fw_policy& rule = staging_.rules.back();
    rule.index = static_cast<uint32_t>(i);
    rule.name = value.get("fw_name").text();
    policy_element_->parse_policy_match(value.get("fw_match"), rule.name, &rule.match);
    const Json& action = value.get("fw_action");
    const Json& verdict = action.get("allow_or_deny");
    rule.allow = verdict.type() == Json::kString && verdict.text() == "allow";
    rule.logging = json_true(action.get("logging"));
    router_chatter(
        "=======================================================================\n%s action: %s "
        "log: %s\n",
        rule.name.printable().c_str(), rule.allow ? "allow" : "deny",
        rule.logging ? "true" : "false");
    staging_.count = static_cast<uint16_t>(staging_.rules.size());
  }

  const uint32_t old_rate = create_rate_;
  const uint32_t old_threshold = create_threshold_;
  const Json& params = fw.get("pcfg_fw_local_params");
  if (!params.is_null()) {
    const Json& rate = params.get("fw_allow_create_rate");
    const Json& threshold = params.get("fw_allow_create_threshold");
    if (rate.type() == Json::kInteger) create_rate_ = static_cast<uint32_t>(rate.to_int());
    if (threshold.type() == Json::kInteger)
      create_threshold_ = static_cast<uint32_t>(threshold.to_int());
  } else {
    create_rate_ = kDefaultCreateRate;
    create_threshold_ = kDefaultCreateRate;
  }
  if (old_rate != 0 && (create_rate_ != old_rate || create_threshold_ != old_threshold)) {
    fw_create_bucket.assign(create_rate_, create_threshold_);
    FW_LOG(kParseTag, "OstFirewall: create rate adjusted to %d thr %d",
           static_cast<int>(create_rate_), static_cast<int>(create_threshold_));
  } else {
    FW_LOG(kParseTag, "OstFirewall: create rate set to %d thr %d", static_cast<int>(create_rate_),
           static_cast<int>(create_threshold_));
  }
}

int OstFirewall::get_tcp_state_text(const FwFlowState& state, String* text) const {
  if (!enabled_ || state.protocol != kTcp) return -1;
  char buffer[256];
  std::snprintf(buffer, sizeof(buffer), "%s (fin:%d:%d)", fw_tcp_state_name(state),
                state.remote_fin, state.local_fin);
  *text = String(buffer);
  return 0;
}

int OstFirewall::get_flow_state_text(const FwFlowState& state, String* text) const {
  if (!enabled_) return -1;
  char buffer[256];
  const bool has_rule = state.rule_name.length() > 0;
  const String rule = has_rule ? state.rule_name.printable() : String();
  if (state.protocol != kTcp) {
    std::snprintf(buffer, sizeof(buffer), "proto:%d drops:%llu %s%s tstamp:%u:%u", state.protocol,
                  static_cast<unsigned long long>(state.drops), has_rule ? "rule:" : "",
                  rule.c_str(), static_cast<unsigned>(whole_seconds(state.first_time)),
                  static_cast<unsigned>(whole_seconds(state.second_time)));
  } else {
    std::snprintf(buffer, sizeof(buffer), "%s rx:%u(%u) tx:%u(%u) drops:%u %s%s fin:%d:%d",
                  fw_tcp_state_name(state), state.rx_count, state.rx_count_2, state.tx_count,
                  state.tx_count_2, static_cast<unsigned>(state.drops & 0xFFFFFFFFu),
                  has_rule ? "rule:" : "", rule.c_str(), state.remote_fin, state.local_fin);
  }
  *text = String(buffer);
  return 0;
}

String OstFirewall::fw_dump() const {
  Json root;
  root.make_unshared(Json::kObject);
  root.get_insert("enabled") = Json(enabled_);
  Json& rules = root.get_insert("rules");
  rules.make_unshared(Json::kArray);
  for (int i = 0; i < active_.count; ++i) {
    const fw_policy& rule = active_.rules[i];
    const policy_match& m = rule.match;
    Json o;
    o.make_unshared(Json::kObject);
    o.set("name", rule.name);
    o.set("src_zone", m.src_zone);
    o.set("dst_zone", m.dst_zone);
    dump_policy_match(m, &o);
    o.set("action", String(rule.allow ? "allow" : "deny"));
    o.get_insert("hits") = Json(static_cast<long long>(rule.hits));
    o.get_insert("tblver") = Json(static_cast<long long>(table_version_));
    rules.append(o);
  }
  return root.to_text();
}

int OstFirewall::fw_dump_handler(int, String& value, Element* e, const Handler*,
                                 ErrorHandler* errh) {
  auto* element = static_cast<OstFirewall*>(e);
  if (value.length() > 0) {
    // A number is accepted and selects nothing.
    int status = 0;
    int32_t number = 0;
    ParseContext context(e, errh);
    if (!cp_parse_int32(&status, value, &number, context)) {
      if (errh == nullptr) return ErrorHandler::kErrorResult;
      return errh->error("argument should be a valid vnet");
    }
  }
  value = element->fw_dump();
  return 0;
}

void OstFirewall::add_handlers() {
  Router::set_handler(this, "fw_dump", Handler::kRead | Handler::kReadParam, fw_dump_handler);
}
