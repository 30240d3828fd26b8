// Registers the element classes of this folder with the class registry.
// Called once from register_graph_elements(), before graphs are parsed.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OVERLAY_ELEMENTS_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OVERLAY_ELEMENTS_H_

void register_overlay_elements();

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OVERLAY_ELEMENTS_H_
