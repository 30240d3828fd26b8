#include "ostgraphsvc/policy_slot/policy_slot.h"

#include <mutex>

#include "graph/router_log.h"

namespace {

std::mutex slot_mu;
OstPolicyTableVersion* slot = nullptr;  // guarded by slot_mu

}  // namespace

void OstPolicyTableVersion::update_policy_table_version() {
  uint32_t old = policy_table_version_.fetch_add(1, std::memory_order_relaxed);
  log_syslog_level(6, "OstPolicy::update_policy_table_version", __FILE__, __LINE__,
                   "OstPolicy: Updating policy table version from %u to %u", old, old + 1);
}

bool register_policy_element(OstPolicyTableVersion* element) {
  std::lock_guard<std::mutex> guard(slot_mu);
  if (slot != nullptr || element == nullptr) return false;
  slot = element;
  return true;
}

void unregister_policy_element(OstPolicyTableVersion* element) {
  std::lock_guard<std::mutex> guard(slot_mu);
  if (slot == element) slot = nullptr;
}

OstPolicyTableVersion* registered_policy_element() {
  std::lock_guard<std::mutex> guard(slot_mu);
  return slot;
}

void update_policy_table_version() {
  std::lock_guard<std::mutex> guard(slot_mu);
  if (slot == nullptr) return;
  slot->update_policy_table_version();
}
