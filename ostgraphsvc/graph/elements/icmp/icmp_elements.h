// Registration of this folder's element classes ("ICMPRewriter",
// "ICMPPingRewriter", "ICMPError") in the framework's class registry. Called
// once from `register_graph_elements` (ostgraphsvc/graph/elements/elements.h),
// never from a static initialiser.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_ICMP_ICMP_ELEMENTS_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_ICMP_ICMP_ELEMENTS_H_

void register_icmp_elements();

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_ICMP_ICMP_ELEMENTS_H_
