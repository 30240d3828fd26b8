// Element: the base class of every packet-processing node of the graph.
//
// Only what messages and name lookups need so far: the class name, the
// element's name (a path such as "nat/iprw" inside compound elements) and
// the declaration text ("name :: Class") that "%p{element}" prints. The
// ports, the owning router and the configuration interface join the class
// with the router graph.
#ifndef GRAPH_ELEMENT_H_
#define GRAPH_ELEMENT_H_

#include "graph/string.h"

class Element {
 public:
  Element() = default;
  Element(const Element&) = delete;
  Element& operator=(const Element&) = delete;
  virtual ~Element() = default;

  virtual const char* class_name() const = 0;
  // The element's name, " :: " and its class name.
  virtual String declaration() const { return name() + " :: " + class_name(); }

  const String& name() const { return name_; }
  // The router names the elements it holds.
  void set_name(const String& name) { name_ = name; }

 private:
  String name_;
};

#endif  // GRAPH_ELEMENT_H_
