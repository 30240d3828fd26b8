#include "ostgraphsvc/graph/elements/hfsc/hfsc_elements.h"

#include <cstdint>

#include "graph/element_registry.h"
#include "ostgraphsvc/graph/elements/hfsc/hfsc_sched.h"

namespace {

Element* make_hfsc_sched() { return new HFSCSched; }

}  // namespace

void register_hfsc_elements() {
  set_element_constructor(static_cast<uint64_t>(element_class_index("HFSCSched")), make_hfsc_sched);
}
