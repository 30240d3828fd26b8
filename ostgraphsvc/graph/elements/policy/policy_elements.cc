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
  set_element_constructor(static_cast<uint64_t>(element_class_index("OstPolicy")), make_policy);
  set_element_constructor(static_cast<uint64_t>(element_class_index("OstFirewall")), make_firewall);
}
