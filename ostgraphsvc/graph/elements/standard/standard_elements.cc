#include "ostgraphsvc/graph/elements/standard/standard_elements.h"

#include <cstdint>

#include "graph/element_registry.h"
#include "ostgraphsvc/graph/elements/standard/checkipheader.h"
#include "ostgraphsvc/graph/elements/standard/discard.h"
#include "ostgraphsvc/graph/elements/standard/print.h"
#include "ostgraphsvc/graph/elements/standard/rated.h"

namespace {

template <typename T>
Element* make() {
  return new T;
}

void enter(const char* name, ElementConstructor constructor) {
  set_element_constructor(static_cast<uint64_t>(element_class_index(name)), constructor);
}

}  // namespace

void register_standard_elements() {
  enter("CheckIPHeader", make<CheckIPHeader>);
  enter("Paint", make<Paint>);
  enter("CheckPaint", make<CheckPaint>);
  enter("Discard", make<Discard>);
  enter("IPPrint", make<IPPrint>);
  enter("Print", make<Print>);
  enter("BandwidthRatedSplitter", make<BandwidthRatedSplitter>);
  enter("RatedSource", make<RatedSource>);
}
