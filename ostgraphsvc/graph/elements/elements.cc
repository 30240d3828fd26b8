#include "ostgraphsvc/graph/elements/elements.h"

#include "ostgraphsvc/graph/elements/analysis/analysis_elements.h"
#include "ostgraphsvc/graph/elements/hfsc/hfsc_elements.h"
#include "ostgraphsvc/graph/elements/icmp/icmp_elements.h"
#include "ostgraphsvc/graph/elements/ip/ip_elements.h"
#include "ostgraphsvc/graph/elements/local/local_elements.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_elements.h"
#include "ostgraphsvc/graph/elements/policy/policy_elements.h"
#include "ostgraphsvc/graph/elements/route/route_elements.h"
#include "ostgraphsvc/graph/elements/standard/standard_elements.h"
#include "ostgraphsvc/graph/elements/tcpudp/tcpudp_elements.h"
#include "ostgraphsvc/graph/elements/user/user_elements.h"

void register_graph_elements() {
  register_local_elements();
  register_tcpudp_elements();
  register_icmp_elements();
  register_ip_elements();
  register_standard_elements();
  register_user_elements();
  register_route_elements();
  register_overlay_elements();
  register_hfsc_elements();
  register_policy_elements();
  register_analysis_elements();
}
