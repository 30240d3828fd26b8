#include "ostgraphsvc/graph/elements/overlay/overlay_elements.h"

#include <cstdint>

#include "graph/element_registry.h"
#include "ostgraphsvc/graph/elements/overlay/ost_addr_mgmt.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_nhselect.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_msg.h"

namespace {

Element* make_overlay() { return new OstrelOverlay; }
Element* make_overlay_msg() { return new OstrelOverlayMsg; }
Element* make_addr_mgmt() { return new OstAddrMgmt; }
Element* make_nhselect() { return new OstrelNHSelect; }

}  // namespace

void register_overlay_elements() {
  set_element_constructor(static_cast<uint64_t>(element_class_index("OstrelOverlay")),
                          make_overlay);
  set_element_constructor(static_cast<uint64_t>(element_class_index("OstrelOverlayMsg")),
                          make_overlay_msg);
  set_element_constructor(static_cast<uint64_t>(element_class_index("OstAddrMgmt")),
                          make_addr_mgmt);
  set_element_constructor(static_cast<uint64_t>(element_class_index("OstrelNHSelect")),
                          make_nhselect);
}
