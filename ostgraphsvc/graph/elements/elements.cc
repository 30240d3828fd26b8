#include "ostgraphsvc/graph/elements/elements.h"

#include "ostgraphsvc/graph/elements/tcpudp/tcpudp_elements.h"

void register_graph_elements() {
  register_tcpudp_elements();
}
