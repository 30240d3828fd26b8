// The one entry point that enters every element class built so far into the
// framework's class registry (graph/element_registry.h): one explicit call
// per element folder, since static initialisers in static libraries are
// dropped by the linker.
//
// Call it once after `router_static_initialize` and before the first graph
// is read. Calling it again enters the same constructors again.
//
// Threads: the thread that reads graph files.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_ELEMENTS_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_ELEMENTS_H_

void register_graph_elements();

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_ELEMENTS_H_
