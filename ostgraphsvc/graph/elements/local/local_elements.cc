#include "ostgraphsvc/graph/elements/local/local_elements.h"

#include "graph/element_registry.h"
#include "ostgraphsvc/graph/elements/local/fromdevice.h"
#include "ostgraphsvc/graph/elements/local/ostrel_classifier.h"
#include "ostgraphsvc/graph/elements/local/ostrel_fec.h"
#include "ostgraphsvc/graph/elements/local/ostrel_output.h"
#include "ostgraphsvc/graph/elements/local/ostrel_snat.h"

namespace {

Element* make_from_device() { return new FromDevice; }
Element* make_snat_mapper() { return new OstrelSNATIPMapper; }
Element* make_l3_proto_classifier() { return new OstrelL3ProtoClassifier; }
Element* make_to_device() { return new OstrelToDevice; }
Element* make_to_host() { return new OstrelToHost; }
Element* make_l3_classifier() { return new OstrelL3Classifier; }
Element* make_dir_mux() { return new OstDirMux; }
Element* make_fec() { return new OstrelFec; }

}  // namespace

void register_local_elements() {
  set_element_constructor(static_cast<uint64_t>(element_class_index("FromDevice")),
                          make_from_device);
  set_element_constructor(static_cast<uint64_t>(element_class_index("OstrelSNATIPMapper")),
                          make_snat_mapper);
  set_element_constructor(static_cast<uint64_t>(element_class_index("OstrelL3ProtoClassifier")),
                          make_l3_proto_classifier);
  set_element_constructor(static_cast<uint64_t>(element_class_index("OstrelToDevice")),
                          make_to_device);
  set_element_constructor(static_cast<uint64_t>(element_class_index("OstrelToHost")), make_to_host);
  set_element_constructor(static_cast<uint64_t>(element_class_index("OstrelL3Classifier")),
                          make_l3_classifier);
  set_element_constructor(static_cast<uint64_t>(element_class_index("OstDirMux")), make_dir_mux);
  set_element_constructor(static_cast<uint64_t>(element_class_index("OstrelFec")), make_fec);
}
