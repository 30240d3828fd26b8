#include "graph/element_registry.h"

#include <cstring>

#include "graph/framework_static.h"
#include "graph/lexer.h"

namespace {

constexpr ElementClassInfo kClasses[kElementClassCount] = {
    {0, "FromDevice", "0/1", "h", "", 0},
    {1, "OstrelToDevice", "1/0", "h", "S2", 0},
    {2, "OstrelL3Classifier", "1/-", "h", "A", 100},
    {3, "BandwidthRatedSplitter", "1/1-2", "h", "", 100},
    {4, "AggregateIPFlows", "1/1-2", "a/ah", "", 100},
    {5, "OstPolicy", "0", "a", "", 100},
    {6, "OstFirewall", "0", "a", "", 100},
    {7, "OstrelRouteTable", "1/-", "h", "", 7},
    {8, "OstDirMux", "1/2", "h", "", 100},
    {9, "IPPrint", "1", "a", "", 100},
    {10, "OstTimerSample", "0", "h", "", 100},
    {11, "OstCliWin", "1/-", "h", "", 100},
    {12, "HFSCSched", "1", "h", "", 100},
    {13, "RatedSource", "0/1", "a", "", 100},
    {14, "Discard", "1/0", "a", "", 100},
    {15, "CheckIPHeader", "1/1-2", "a/ah", "A", 100},
    {16, "OstrelFec", "1/1-", "h", "", 100},
    {17, "OstrelOverlay", "1-/1-", "h", "", 10},
    {18, "OstWinControlSocket", "1/-", "h", "", 100},
    {19, "Print", "1", "a", "", 100},
    {20, "OstrelOverlayMsg", "2/1", "h", "", 100},
    {21, "OstWinCSReconfigure", "1/-", "h", "", 100},
    {22, "OstrelStats", "0", "a", "", 100},
    {23, "OstrelToHost", "1/0", "h", "", 100},
    {24, "OstrelIPFragmenter", "1/1-2", "h", "", 100},
    {25, "ICMPError", "1", "a", "", 100},
    {26, "OstrelTCPMSSFix", "1/1", "h", "", 100},
    {27, "OstrelNHSelect", "1/1", "h", "", 100},
    {28, "CheckPaint", "1/1-2", "a/ah", "", 100},
    {29, "Paint", "1", "a", "", 100},
    {30, "OstrelL3ProtoClassifier", "2/-", "h", "A", 100},
    {31, "IPRewriter", "1-/1-", "h", "", 100},
    {32, "ICMPRewriter", "1/1-", "h", "", 100},
    {33, "ICMPPingRewriter", "1-/1-", "h", "", 100},
    {34, "OstUser", "1/-", "h", "", 100},
    {35, "IPReassembler", "1/1-2", "a/ah", "", 100},
    {36, "OstAddrMgmt", "0", "a", "", 13},
    {37, "OstrelSNATIPMapper", "0", "a", "", 8},
};

// Slots filled by the classes' own code as each class is defined.
ElementConstructor constructors[kElementClassCount] = {};

}  // namespace

const ElementClassInfo* element_class_info(uint64_t index) {
  if (index >= kElementClassCount) return nullptr;
  return &kClasses[index];
}

int element_class_index(const char* name) {
  if (name == nullptr) return -1;
  for (const ElementClassInfo& info : kClasses)
    if (std::strcmp(info.name, name) == 0) return info.index;
  return -1;
}

ElementConstructor set_element_constructor(uint64_t index, ElementConstructor constructor) {
  if (index >= kElementClassCount) return nullptr;
  ElementConstructor previous = constructors[index];
  constructors[index] = constructor;
  return previous;
}

Element* create_element_by_index(uintptr_t index) {
  if (index >= kElementClassCount) return nullptr;
  ElementConstructor constructor = constructors[index];
  if (constructor == nullptr) return nullptr;
  return constructor();
}

void register_element_classes() {
  for (const ElementClassInfo& info : kClasses) {
    Lexer* lexer = make_global_lexer();
    lexer->add_class(String(info.name), create_element_by_index, static_cast<uintptr_t>(info.index),
                     false);
  }
}
