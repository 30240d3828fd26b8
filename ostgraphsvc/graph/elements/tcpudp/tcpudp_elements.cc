#include "ostgraphsvc/graph/elements/tcpudp/tcpudp_elements.h"

#include "graph/element_registry.h"
#include "ostgraphsvc/graph/elements/tcpudp/iprewriter.h"

namespace {

Element* make_ip_rewriter() { return new IPRewriter; }

}  // namespace

void register_tcpudp_elements() {
  set_element_constructor(static_cast<uint64_t>(element_class_index("IPRewriter")),
                          make_ip_rewriter);
}
