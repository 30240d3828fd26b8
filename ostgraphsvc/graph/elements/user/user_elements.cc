#include "ostgraphsvc/graph/elements/user/user_elements.h"

#include <cstdint>

#include "graph/element_registry.h"
#include "ostgraphsvc/graph/elements/user/ostuser.h"

namespace {

Element* make_user() { return new OstUser; }
Element* make_timer_sample() { return new OstTimerSample; }

}  // namespace

void register_user_elements() {
  set_element_constructor(static_cast<uint64_t>(element_class_index("OstUser")), make_user);
  set_element_constructor(static_cast<uint64_t>(element_class_index("OstTimerSample")),
                          make_timer_sample);
}
