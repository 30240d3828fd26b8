// The service as `dovadod` runs it, with one difference: the graph's
// "AggregateIPFlows" is the test flow element (tests/support/test_flows.h),
// so that the next-hop selector finds a record per 5-tuple. The multi-link
// scenario runs it with "-console" inside its client namespace.
#include "graph/element_registry.h"
#include "tests/support/test_flows.h"

#define main dovadod_main
#include "dovadod/main.cc"
#undef main

int main(int argc, char** argv) {
  set_element_constructor(static_cast<uint64_t>(element_class_index("AggregateIPFlows")),
                          [] { return static_cast<Element*>(new testing_support::TestFlows); });
  return dovadod_main(argc, argv);
}
