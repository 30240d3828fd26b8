#include "ostgraphsvc/graph/elements/route/route_elements.h"

#include <cstdint>

#include "graph/element_registry.h"
#include "ostgraphsvc/graph/elements/route/ostrel_route_table.h"

namespace {

Element* make_route_table() { return new OstrelRouteTable; }

}  // namespace

void register_route_elements() {
  set_element_constructor(static_cast<uint64_t>(element_class_index("OstrelRouteTable")),
                          make_route_table);
}
