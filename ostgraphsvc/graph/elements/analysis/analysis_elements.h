#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_ANALYSIS_ANALYSIS_ELEMENTS_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_ANALYSIS_ANALYSIS_ELEMENTS_H_

// Enters the flow-analysis element classes in the class registry.
void register_analysis_elements();

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_ANALYSIS_ANALYSIS_ELEMENTS_H_
