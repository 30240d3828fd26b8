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

}  // namespace
