#include "ostgraphsvc/graph/elements/elements.h"

#include <gtest/gtest.h>

#include <memory>

#include "graph/element.h"
#include "graph/element_registry.h"

namespace {

// Every class the entry point registers answers the registry's row for it.
TEST(GraphElementsTest, RegisteredClassesAnswerTheirRows) {
  register_graph_elements();
  int made = 0;
  for (int i = 0; i < kElementClassCount; ++i) {
    std::unique_ptr<Element> e(create_element_by_index(static_cast<uintptr_t>(i)));
    if (e == nullptr) continue;
    ++made;
    const ElementClassInfo* row = element_class_info(static_cast<uint64_t>(i));
    SCOPED_TRACE(row->name);
    EXPECT_STREQ(e->class_name(), row->name);
    EXPECT_STREQ(e->port_count(), row->port_count);
    EXPECT_STREQ(e->processing(), row->processing);
    EXPECT_STREQ(e->flags(), row->flags);
    EXPECT_EQ(e->configure_phase(), row->configure_phase);
    EXPECT_EQ(e->cast(row->name), static_cast<void*>(e.get()));
  }
  std::unique_ptr<Element> rewriter(
      create_element_by_index(static_cast<uintptr_t>(element_class_index("IPRewriter"))));
  EXPECT_NE(rewriter, nullptr);
  EXPECT_GE(made, 1);
}

Element* StandIn() { return nullptr; }

// A test program enters its own flow or policy element before the service
// registers the classes; registration keeps it, and fills an empty slot.
TEST(GraphElementsTest, RegistrationKeepsATestProgramsFlowAndPolicyElements) {
  for (const char* name : {"AggregateIPFlows", "OstPolicy"}) {
    SCOPED_TRACE(name);
    const auto index = static_cast<uint64_t>(element_class_index(name));
    set_element_constructor(index, StandIn);
    register_graph_elements();
    EXPECT_EQ(set_element_constructor(index, nullptr), StandIn);
    register_graph_elements();
    std::unique_ptr<Element> e(create_element_by_index(static_cast<uintptr_t>(index)));
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->class_name(), name);
  }
}

}  // namespace
