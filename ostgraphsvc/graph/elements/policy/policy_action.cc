#include <climits>
#include <cmath>

#include "graph/router_log.h"
#include "graph/string_builder.h"
#include "ostgraphsvc/graph/elements/policy/policy_action.h"
#include "ostgraphsvc/graph/elements/policy/policy_row.h"
#include "ostgraphsvc/graph/elements/policy/policy_vocabulary.h"

namespace {

constexpr const char* kActionTag = "OstPolicy::parse_policy_action";

#define ACTION_LOG(level, ...) \
  log_syslog_level((level), kActionTag, __FILE__, __LINE__, __VA_ARGS__)

// The member when it has the JSON type given, else the shared null.
const Json& typed(const Json& object, const char* key, int type) {
  const Json& value = object.get(key);
  return value.type() == type ? value : Json::make_null();
}

// Array elements; an object or a scalar has none.
const Vector<Json>* elements_of(const Json& value) {
  if (value.type() != Json::kArray) return nullptr;
  return &static_cast<JsonArray*>(value.body())->elements;
}

bool rate_limit_enabled(const Json& value) {
  if (value.type() == Json::kInteger) return value.to_int() != 0;
  if (value.type() == Json::kBoolean) return value.to_bool();
  return false;
}

void assign_policer(const Json& sched, const char* key, const char* message, int32_t* rate_kbps,
                    TokenBucket* bucket) {
  const Json& rate = typed(sched, key, Json::kInteger);
  *rate_kbps = rate.is_null() ? 0 : rate.to_int();
  uint32_t bytes_per_second;
  uint32_t capacity;
  policer_rate(*rate_kbps, &bytes_per_second, &capacity);
  ACTION_LOG(6, message, capacity);
  bucket->assign(bytes_per_second, capacity);
}

void parse_sched_action(const Json& sched, policy* row) {
  policy_action& action = row->action;
  const Json& limit = typed(sched, "sch_queue_limit_bytes", Json::kInteger);
  if (!limit.is_null()) action.queue_limit = limit.to_int();
  if (rate_limit_enabled(sched.get("sch_rate_limit_enable"))) {
    action.rate_limit_enabled = 1;
    assign_policer(sched, "sch_tx_rate_limit_kbps", "Tx RATE LIMIT ENABLED %u",
                   &action.tx_rate_kbps, &row->tx_bucket);
    assign_policer(sched, "sch_rx_rate_limit_kbps", "Rx RATE LIMIT ENABLED %u",
                   &action.rx_rate_kbps, &row->rx_bucket);
  }
  const Json& type = typed(sched, "sch_rate_limit_type", Json::kString);
  if (!type.is_null())
    action.rate_limit_type = type.text() == "shaper" ? 1 : type.text() == "policer" ? 2 : 0;
}

void read_next_hop_texts(const Json& object, route_action* ra) {
  const Json& next_hop = typed(object, "pbr_next_hop", Json::kString);
  if (!next_hop.is_null()) ra->next_hop = next_hop.text();
  const Json& group = typed(object, "pbr_next_hop_group_id", Json::kString);
  if (!group.is_null()) ra->group_id = group.text();
}

route_action parse_pbr_list_entry(const Json& entry) {
  route_action ra;
  const Json& site = typed(entry, "pbr_next_hop_site", Json::kString);
  if (!site.is_null()) {
    ra.site_text = site.text();
    if (site.text() == "auto") {
      ra.site = 0;
      ACTION_LOG(3, "ERROR: AUTO is not expected in PRB next hop site");
    } else if (site.text() == "direct") {
      ra.site = 1;
      ACTION_LOG(6, "PRB next hop site is direct");
    } else if (site.text() == "ipsec") {
      ra.site = 3;
      ACTION_LOG(6, "PRB next hop site is ipsec");
    } else {
      ra.site = 2;
      ACTION_LOG(6, "PRB next hop site is HUB");
    }
  }
  read_next_hop_texts(entry, &ra);
  if (!typed(entry, "pbr_next_hop", Json::kString).is_null())
    ACTION_LOG(6, "PBR LIST NH %s", ra.next_hop.printable().c_str());
  return ra;
}

void print_ra_list_action(const Vector<route_action>& list) {
  constexpr const char* kTag = "OstPolicy::print_ra_list_action";
  if (list.empty()) {
    log_syslog_level(6, kTag, __FILE__, __LINE__, "PBR action list EMPTY");
    return;
  }
  log_syslog_level(6, kTag, __FILE__, __LINE__, "Printing PBR action LIST ");
  for (const route_action& ra : list)
    log_syslog_level(6, kTag, __FILE__, __LINE__, "NHS = %s, NH = %s",
                     vocabulary_name(nexthop_site_names, ra.site), ra.next_hop.printable().c_str());
}

void parse_pbr(const Json& qa, policy_action* action) {
  const Json& pbr = qa.get("pbr_action");
  const Json& site = typed(pbr, "pbr_next_hop_site", Json::kString);
  if (!site.is_null()) {
    action->pbr.site_text = site.text();
    const String& word = site.text();
    // At the row's own level "direct" means no PBR, as "auto" does.
    action->pbr.site = (word == "auto" || word == "direct") ? 0 : word == "ipsec" ? 3 : 2;
  }
  read_next_hop_texts(pbr, &action->pbr);
  if (action->pbr.site == 0) return;

  if (const Vector<Json>* list = elements_of(qa.get("pbr_list_action")))
    for (const Json& entry : *list) action->pbr_list.push_back(parse_pbr_list_entry(entry));
  print_ra_list_action(action->pbr_list);
}

steering_link parse_link(const Json& link) {
  steering_link entry;
  const Json& path = typed(link, "path", Json::kString);
  entry.via = path.text() == "overlay" ? 2 : 1;
  entry.wan = 3;
  const Json& wan = typed(link, "lnks_wan", Json::kString);
  if (!wan.is_null()) {
    const String& word = wan.text();
    entry.wan = word == "wired" ? 1 : word == "wireless" ? 2 : word == "metered" ? 4 : 3;
  }
  return entry;
}

void parse_link_steering(const Json& ls, policy_action* action) {
  const Json& via = ls.get("lnks_via");
  if (const Vector<Json>* active = elements_of(via.get("active"))) {
    for (const Json& link : *active) {
      action->active_links.push_back(parse_link(link));
      action->steering_enabled = 1;
    }
  }
  if (const Vector<Json>* backup = elements_of(via.get("backup")))
    for (const Json& link : *backup) action->backup_links.push_back(parse_link(link));

  const Json& algo = typed(ls, "lnks_algo", Json::kString);
  if (!algo.is_null())
    action->link_algo = algo.text() == "preferred" ? 1 : algo.text() == "mandatory" ? 2 : 3;
  const Json& mode = typed(ls, "lnks_link_steering_mode", Json::kString);
  if (!mode.is_null())
    action->steering_mode = mode.text() == "interface" ? 2 : mode.text() == "wan" ? 3 : 1;
  // The element keeps no interface table, so a named interface cannot be
  // mapped to an index: it stays -1. Only the printout reads it.
  const Json& interface = typed(ls, "lnks_interface", Json::kString);
  if (!interface.is_null() && !(interface.text() == "auto"))
    ACTION_LOG(6, "Invalid interfaces %s", interface.text().printable().c_str());
}

void parse_traffic_action(const Json& traffic, policy_action* action) {
  const Json& priority = typed(traffic, "priority", Json::kString);
  if (!priority.is_null()) {
    const String& word = priority.text();
    if (word == "high")
      action->priority = 1;
    else if (word == "normal")
      action->priority = 2;
    else if (word == "low")
      action->priority = 3;
    else if (word == "drop")
      action->priority = 4;
    else if (word == "auto")
      action->priority = 0;
  }
  const Json& cls = typed(traffic, "class", Json::kString);
  if (!cls.is_null()) {
    const String& word = cls.text();
    if (word == "voice" || word == "audio")
      action->traffic_class = 1;
    else if (word == "video")
      action->traffic_class = 2;
    else if (word == "transactional")
      action->traffic_class = 3;
    else if (word == "bulk")
      action->traffic_class = 4;
    else if (word == "auto")
      action->traffic_class = 0;
  }
}

int saturated_int(double value) {
  if (std::isnan(value)) return 0;
  if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (value <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(value);
}

int doubled(int value) {
  const long long twice = 2LL * value;
  if (twice > INT_MAX) return INT_MAX;
  if (twice < INT_MIN) return INT_MIN;
  return static_cast<int>(twice);
}

}  // namespace

void policer_rate(int32_t rate_kbps, uint32_t* rate, uint32_t* capacity) {
  const uint64_t kbps = rate_kbps < 0 ? 0 : static_cast<uint64_t>(rate_kbps);
  const uint64_t bytes = kbps * 1000 / 8;
  *rate = bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(bytes);
  const uint64_t with_burst = uint64_t{*rate} + 65536;
  *capacity = with_burst > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(with_burst);
}

void parse_policy_action(const Json& policy_object, policy* row) {
  row->action = policy_action();
  policy_action& action = row->action;
  const Json& qa = policy_object.get("qos_action");
  parse_sched_action(qa.get("sched_action"), row);
  parse_pbr(qa, &action);
  parse_link_steering(qa.get("link_steering_action"), &action);
  parse_traffic_action(qa.get("traffic_action"), &action);
  const Json& dscp = qa.get("dscp_action");
  const Json& inner = typed(dscp, "dscp_inner", Json::kString);
  if (!inner.is_null()) action.dscp_inner = dscp_from_name(inner.text());
  const Json& outer = typed(dscp, "dscp_outer", Json::kString);
  if (!outer.is_null()) action.dscp_outer = dscp_from_name(outer.text());
  print_policy_action(row->name, action);
}

String policy_action_text(const String& row_name, const policy_action& action) {
  // router_chatter's own limit: the printout never holds more than it writes.
  StringBuilder sb;
  sb.append_printf(
      3023,
      "=======================================================================\n%s, %s, %s \n"
      "Sched: qlimit %d, rate_kbps %d, rate_limit_type %s \nRoute: nhs %s\n"
      "Link:  Algo %s, Steer %s, Steering Enabled %s\n"
      "If Steering Enabled is false, ignore the Link Algo\n"
      "=====================================================================\n",
      row_name.printable().c_str(), vocabulary_name(policy_priority_names, action.priority),
      vocabulary_name(traffic_class_names, action.traffic_class), action.queue_limit,
      action.tx_rate_kbps, vocabulary_name(rate_limit_type_names, action.rate_limit_type),
      vocabulary_name(nexthop_site_names, action.pbr.site),
      vocabulary_name(link_algo_names, action.link_algo),
      vocabulary_name(steering_mode_names, action.steering_mode),
      action.steering_enabled ? "true" : "false");
  return sb.take_string();
}

void print_policy_action(const String& row_name, const policy_action& action) {
  router_chatter("%s", policy_action_text(row_name, action).c_str());
}

int parse_cos(const Json& document,
              const std::function<void(int class_code, const cos_class_thresholds&)>& store) {
  const Json& table =
      document.get("activated_policies").get("0").get("policy_config").get("pcfg_cos_table");
  const Vector<Json>* entries = elements_of(table);
  if (entries == nullptr || entries->empty()) return -1;
  for (const Json& entry : *entries) {
    int jitter = entry.get("cos_jitter_ms").to_int();
    if (jitter == 0) jitter = 50;
    const int latency = entry.get("cos_latency_ms").to_int();
    const float loss = static_cast<float>(entry.get("cos_loss_percent").to_double());
    const String& class_text = entry.get("cos_traffic_class").text();
    const String& priority_text = entry.get("cos_priority").text();
    const int code = class_text == "voice"           ? 1
                     : class_text == "video"         ? 2
                     : class_text == "transactional" ? 3
                                                     : 4;
    cos_class_thresholds values;
    values.jitter_caution = jitter;
    values.jitter_unusable = doubled(jitter);
    values.latency_caution = latency;
    values.latency_unusable = doubled(latency);
    values.loss_caution = loss;
    values.loss_unusable = static_cast<float>(loss + loss);
    store(code, values);
    log_syslog_level(6, "OstPolicy::parse_cos", __FILE__, __LINE__,
                     "%s-%s, loss: %d latency: %d jitter: %d", class_text.printable().c_str(),
                     priority_text.printable().c_str(), saturated_int(loss), latency, jitter);
  }
  return 0;
}
