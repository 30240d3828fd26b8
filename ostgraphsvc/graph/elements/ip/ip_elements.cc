#include "ostgraphsvc/graph/elements/ip/ip_elements.h"

#include "graph/element_registry.h"
#include "ostgraphsvc/graph/elements/ip/fragmenter.h"
#include "ostgraphsvc/graph/elements/ip/ipreassembler.h"
#include "ostgraphsvc/graph/elements/ip/tcpmssfix.h"

namespace {

Element* make_fragmenter() { return new OstrelIPFragmenter; }
Element* make_mss_fix() { return new OstrelTCPMSSFix; }
Element* make_reassembler() { return new IPReassembler; }

void enter(const char* name, ElementConstructor constructor) {
  set_element_constructor(static_cast<uint64_t>(element_class_index(name)), constructor);
}

}  // namespace

void register_ip_elements() {
  enter("OstrelIPFragmenter", make_fragmenter);
  enter("OstrelTCPMSSFix", make_mss_fix);
  enter("IPReassembler", make_reassembler);
}
