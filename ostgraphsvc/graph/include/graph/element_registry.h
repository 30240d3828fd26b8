// The element class registry: the 38 primitive classes a graph file may
// name, each at a fixed index, and the one factory that makes their
// elements.
//
// `register_element_classes` enters every name into the process-wide Lexer
// (made on first need) in index order, with `create_element_by_index` as
// factory and the index as thunk. A class's constructor is entered in its
// slot by the code that defines the class; until then the slot is empty, the
// factory makes nothing, and the parser reports "failed to create element"
// for elements of that class (the name stays known).
//
// The table of metadata (port counts, processing, flags, configure phase)
// is what every class's element must answer; classes check themselves
// against it.
//
// Threads: registration and construction run on the thread that reads graph
// files; slots are set at start-up or, in tests, between parses.
#ifndef GRAPH_ELEMENT_REGISTRY_H_
#define GRAPH_ELEMENT_REGISTRY_H_

#include <cstdint>

class Element;

inline constexpr int kElementClassCount = 38;

struct ElementClassInfo {
  int index;
  const char* name;
  const char* port_count;
  const char* processing;
  // "" when the class has none.
  const char* flags;
  int configure_phase;
};

// The row of class `index`, or null for an index of 38 or more.
const ElementClassInfo* element_class_info(uint64_t index);
// The index of the class named `name`, or -1.
int element_class_index(const char* name);

// Makes a new element of the class, with no configuration applied.
using ElementConstructor = Element* (*)();

// Enters `constructor` (null empties the slot) for class `index`; returns
// the previous one. An index of 38 or more changes nothing and gives null.
ElementConstructor set_element_constructor(uint64_t index, ElementConstructor constructor);

// A new element of class `index` owned by the caller, or null for an index
// of 38 or more or a class whose constructor is not entered.
Element* create_element_by_index(uintptr_t index);

// Registers the 38 names with the process-wide Lexer, making it if needed.
// Calling it twice registers every name again.
void register_element_classes();

#endif  // GRAPH_ELEMENT_REGISTRY_H_
