// The service as `dovadod` runs it, with one difference: its "OstPolicy"
// marks the tunnel started as soon as its own initialize succeeded (on the
// service thread, before any packet is processed). It stands in for the
// start command the control socket will send: until that command exists,
// nothing sets the flag, and without it every flow that is not fail-closed
// gets the allow-all row, so no configured row could be seen at work. The
// flow scenarios run it with "-console" in their client namespace.
#include "graph/element_registry.h"
#include "ostgraphsvc/graph/elements/policy/ost_policy.h"

#define main dovadod_main
#include "dovadod/main.cc"
#undef main

namespace {

class StartedPolicy : public OstPolicy {
 public:
  int initialize(ErrorHandler* errh) override {
    const int result = OstPolicy::initialize(errh);
    if (result == 0) set_tunnel_started(true);
    return result;
  }
};

}  // namespace

int main(int argc, char** argv) {
  set_element_constructor(static_cast<uint64_t>(element_class_index("OstPolicy")),
                          [] { return static_cast<Element*>(new StartedPolicy); });
  return dovadod_main(argc, argv);
}
