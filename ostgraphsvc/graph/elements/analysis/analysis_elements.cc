#include "ostgraphsvc/graph/elements/analysis/analysis_elements.h"

#include "graph/element_registry.h"
#include "ostgraphsvc/graph/elements/analysis/aggregate_ip_flows.h"

namespace {

Element* make_aggregate_ip_flows() { return new AggregateIPFlows; }

}  // namespace

void register_analysis_elements() {
  set_element_constructor(static_cast<uint64_t>(element_class_index("AggregateIPFlows")),
                          make_aggregate_ip_flows);
}
