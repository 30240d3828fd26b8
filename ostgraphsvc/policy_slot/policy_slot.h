// The process-wide policy registration and its table version.
//
// Flows remember the policy table version under which they looked their
// policy up and look it up again when it changed. Components outside the
// element graph (fail-close, captive portal) change the version through
// `update_policy_table_version`, which reaches the policy element that
// registered itself here; while none has, the call does nothing.
//
// The policy element derives from `OstPolicyTableVersion`, registers itself
// when it is the first one configured and unregisters when it is destroyed,
// so that one process can build and tear down many routers.
//
// Threads: any thread may bump the version; the version is atomic, so no bump
// is lost and readers see it at their next comparison. Registration, removal
// and the bump through the slot are serialised, so a bump never reaches an
// element that is being destroyed.
#ifndef OSTGRAPHSVC_POLICY_SLOT_POLICY_SLOT_H_
#define OSTGRAPHSVC_POLICY_SLOT_POLICY_SLOT_H_

#include <atomic>
#include <cstdint>

class OstPolicyTableVersion {
 public:
  OstPolicyTableVersion() = default;
  OstPolicyTableVersion(const OstPolicyTableVersion&) = delete;
  OstPolicyTableVersion& operator=(const OstPolicyTableVersion&) = delete;

  uint32_t policy_table_version() const {
    return policy_table_version_.load(std::memory_order_relaxed);
  }

  // Logs "OstPolicy: Updating policy table version from %u to %u" (router
  // level 6) and adds one to the version.
  void update_policy_table_version();

 protected:
  ~OstPolicyTableVersion() = default;

 private:
  std::atomic<uint32_t> policy_table_version_{0};
};

// Fills the slot with `element` when it is empty; true when it did.
bool register_policy_element(OstPolicyTableVersion* element);

// Empties the slot when it holds `element`; call it from the element's
// destructor.
void unregister_policy_element(OstPolicyTableVersion* element);

// The registered element, or null. The pointer is only safe to use on the
// thread that owns the router.
OstPolicyTableVersion* registered_policy_element();

// Bumps the registered element's version; does nothing, silently, while the
// slot is empty.
void update_policy_table_version();

#endif  // OSTGRAPHSVC_POLICY_SLOT_POLICY_SLOT_H_
