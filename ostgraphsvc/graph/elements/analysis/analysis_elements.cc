#include "ostgraphsvc/graph/elements/analysis/analysis_elements.h"

#include "graph/element_registry.h"
#include "ostgraphsvc/graph/elements/analysis/aggregate_ip_flows.h"

namespace {

Element* make_aggregate_ip_flows() { return new AggregateIPFlows; }

}  // namespace

void register_analysis_elements() {
  const auto index = static_cast<uint64_t>(element_class_index("AggregateIPFlows"));
  // A constructor put there before registration (a test program's own flow
  // element) stays.
  ElementConstructor previous = set_element_constructor(index, make_aggregate_ip_flows);
  if (previous != nullptr && previous != make_aggregate_ip_flows)
    set_element_constructor(index, previous);
}
