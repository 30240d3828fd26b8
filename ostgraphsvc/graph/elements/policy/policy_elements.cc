#include "ostgraphsvc/graph/elements/policy/policy_elements.h"

#include <cstdint>

#include "graph/element_registry.h"
#include "ostgraphsvc/graph/elements/policy/ost_firewall.h"
#include "ostgraphsvc/graph/elements/policy/ost_policy.h"

namespace {

Element* make_policy() { return new OstPolicy; }
Element* make_firewall() { return new OstFirewall; }

}  // namespace

void register_policy_elements() {
  const auto policy = static_cast<uint64_t>(element_class_index("OstPolicy"));
  // A constructor put there before registration (a test program's own
  // policy element) stays.
  ElementConstructor previous = set_element_constructor(policy, make_policy);
  if (previous != nullptr && previous != make_policy) set_element_constructor(policy, previous);
  set_element_constructor(static_cast<uint64_t>(element_class_index("OstFirewall")), make_firewall);
}
