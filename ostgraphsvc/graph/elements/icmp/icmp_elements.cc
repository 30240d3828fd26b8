#include "ostgraphsvc/graph/elements/icmp/icmp_elements.h"

#include "graph/element_registry.h"
#include "ostgraphsvc/graph/elements/icmp/icmperror.h"
#include "ostgraphsvc/graph/elements/icmp/icmppingrewriter.h"
#include "ostgraphsvc/graph/elements/icmp/icmprewriter.h"

namespace {

Element* make_icmp_rewriter() { return new ICMPRewriter; }
Element* make_icmp_ping_rewriter() { return new ICMPPingRewriter; }
Element* make_icmp_error() { return new ICMPError; }

void enter(const char* name, ElementConstructor constructor) {
  set_element_constructor(static_cast<uint64_t>(element_class_index(name)), constructor);
}

}  // namespace

void register_icmp_elements() {
  enter("ICMPRewriter", make_icmp_rewriter);
  enter("ICMPPingRewriter", make_icmp_ping_rewriter);
  enter("ICMPError", make_icmp_error);
}
