// Enters the policy folder's element classes ("OstPolicy", "OstFirewall")
// into the framework's class registry; called from
// register_graph_elements(). An "OstPolicy" constructor entered before (a
// test program's own policy element) is kept.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_POLICY_ELEMENTS_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_POLICY_ELEMENTS_H_

void register_policy_elements();

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_POLICY_ELEMENTS_H_
