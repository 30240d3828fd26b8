// Element: the base class of every packet-processing node of the graph.
//
// Only what messages need so far: the class name and the declaration text
// ("name :: Class") that the "%p{element}" conversion prints. The ports, the
// owning router and the configuration interface join the class with the
// router graph.
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
  virtual String declaration() const = 0;
};

#endif  // GRAPH_ELEMENT_H_
