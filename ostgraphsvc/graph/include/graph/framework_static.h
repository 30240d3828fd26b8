// Process-wide start-up and tear-down of the framework.
//
// `router_static_initialize` runs once per process before any graph is read:
// the global name registry with the annotation names, the configuration
// argument types, the default (standard error) and silent error handlers,
// the router's global handlers with "classes" and "packages", the shared
// notifier signal word, and the process-wide Lexer with the 38 element
// classes. A second call is not supported.
//
// `router_static_cleanup` is the last framework call of the process: it
// releases all of that and the framework's global pools, leaving every
// global pointer null. Routers, the Master, elements and packets must be
// gone before it, since their destruction still uses what it frees.
//
// Threads: both run on the thread that owns the framework, with no other
// framework thread running.
#ifndef GRAPH_FRAMEWORK_STATIC_H_
#define GRAPH_FRAMEWORK_STATIC_H_

#include "graph/string.h"
#include "graph/vector.h"

class Element;
class Lexer;

void router_static_initialize();
void router_static_cleanup();

// The process-wide Lexer, or null before it is first needed.
Lexer* global_lexer();
// The process-wide Lexer, made (without classes) when there is none.
Lexer* make_global_lexer();

// A package a graph may require. Nothing in this system provides one, so
// the table stays empty.
struct ProvidedPackage {
  String name;
  int count = 0;
};
const Vector<ProvidedPackage>& provided_packages();

// The global read handlers "classes" (user data 0: the Lexer's class names,
// one a line) and "packages" (user data 1: the provided packages, one a
// line); other user data give "<error>\n".
String read_global_list(Element* element, void* user_data);

#endif  // GRAPH_FRAMEWORK_STATIC_H_
