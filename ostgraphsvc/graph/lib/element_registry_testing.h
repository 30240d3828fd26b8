// Test-only element classes for the registry's slots.
#ifndef GRAPH_LIB_ELEMENT_REGISTRY_TESTING_H_
#define GRAPH_LIB_ELEMENT_REGISTRY_TESTING_H_

#include <initializer_list>
#include <utility>
#include <vector>

#include "graph/element.h"
#include "graph/element_registry.h"

namespace graph_testing {

// An element that answers with the registry row of class `I`.
template <int I>
class TableElement : public Element {
 public:
  static Element* make() { return new TableElement; }
  const char* class_name() const override { return element_class_info(I)->name; }
  const char* port_count() const override { return element_class_info(I)->port_count; }
  const char* processing() const override { return element_class_info(I)->processing; }
  const char* flags() const override { return element_class_info(I)->flags; }
  int configure_phase() const override { return element_class_info(I)->configure_phase; }
};

// Enters constructors in their slots for its lifetime, then puts back what
// was there.
class ScopedConstructors {
 public:
  ScopedConstructors(std::initializer_list<std::pair<int, ElementConstructor>> entries) {
    for (const auto& [index, constructor] : entries)
      saved_.emplace_back(index, set_element_constructor(index, constructor));
  }
  ScopedConstructors(const ScopedConstructors&) = delete;
  ScopedConstructors& operator=(const ScopedConstructors&) = delete;
  ~ScopedConstructors() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
      set_element_constructor(it->first, it->second);
  }

 private:
  std::vector<std::pair<int, ElementConstructor>> saved_;
};

}  // namespace graph_testing

#endif  // GRAPH_LIB_ELEMENT_REGISTRY_TESTING_H_
