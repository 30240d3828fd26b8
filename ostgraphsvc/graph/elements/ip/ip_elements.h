// Registration of this folder's element classes ("OstrelIPFragmenter",
// "OstrelTCPMSSFix", "IPReassembler") in the framework's class registry.
// Called once from `register_graph_elements`
// (ostgraphsvc/graph/elements/elements.h), never from a static initialiser.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_IP_IP_ELEMENTS_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_IP_IP_ELEMENTS_H_

void register_ip_elements();

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_IP_IP_ELEMENTS_H_
