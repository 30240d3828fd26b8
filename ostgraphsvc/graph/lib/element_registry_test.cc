#include "graph/element_registry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <memory>
#include <string>

#include "graph/element.h"
#include "graph/framework_static.h"
#include "graph/lexer.h"
#include "ostgraphsvc/graph/lib/element_registry_testing.h"

namespace {

using graph_testing::ScopedConstructors;
using graph_testing::TableElement;

struct Row {
  const char* name;
  const char* ports;
  const char* processing;
  const char* flags;
  int phase;
};

// In index order.
constexpr Row kExpected[] = {
    {"FromDevice", "0/1", "h", "", 0},
    {"OstrelToDevice", "1/0", "h", "S2", 0},
    {"OstrelL3Classifier", "1/-", "h", "A", 100},
    {"BandwidthRatedSplitter", "1/1-2", "h", "", 100},
    {"AggregateIPFlows", "1/1-2", "a/ah", "", 100},
    {"OstPolicy", "0", "a", "", 100},
    {"OstFirewall", "0", "a", "", 100},
    {"OstrelRouteTable", "1/-", "h", "", 7},
    {"OstDirMux", "1/2", "h", "", 100},
    {"IPPrint", "1", "a", "", 100},
    {"OstTimerSample", "0", "h", "", 100},
    {"OstCliWin", "1/-", "h", "", 100},
    {"HFSCSched", "1", "h", "", 100},
    {"RatedSource", "0/1", "a", "", 100},
    {"Discard", "1/0", "a", "", 100},
    {"CheckIPHeader", "1/1-2", "a/ah", "A", 100},
    {"OstrelFec", "1/1-", "h", "", 100},
    {"OstrelOverlay", "1-/1-", "h", "", 10},
    {"OstWinControlSocket", "1/-", "h", "", 100},
    {"Print", "1", "a", "", 100},
    {"OstrelOverlayMsg", "2/1", "h", "", 100},
    {"OstWinCSReconfigure", "1/-", "h", "", 100},
    {"OstrelStats", "0", "a", "", 100},
    {"OstrelToHost", "1/0", "h", "", 100},
    {"OstrelIPFragmenter", "1/1-2", "h", "", 100},
    {"ICMPError", "1", "a", "", 100},
    {"OstrelTCPMSSFix", "1/1", "h", "", 100},
    {"OstrelNHSelect", "1/1", "h", "", 100},
    {"CheckPaint", "1/1-2", "a/ah", "", 100},
    {"Paint", "1", "a", "", 100},
    {"OstrelL3ProtoClassifier", "2/-", "h", "A", 100},
    {"IPRewriter", "1-/1-", "h", "", 100},
    {"ICMPRewriter", "1/1-", "h", "", 100},
    {"ICMPPingRewriter", "1-/1-", "h", "", 100},
    {"OstUser", "1/-", "h", "", 100},
    {"IPReassembler", "1/1-2", "a/ah", "", 100},
    {"OstAddrMgmt", "0", "a", "", 13},
    {"OstrelSNATIPMapper", "0", "a", "", 8},
};
static_assert(std::size(kExpected) == kElementClassCount);

TEST(ElementRegistryTest, ClassTable) {
  for (int i = 0; i < kElementClassCount; ++i) {
    const Row& want = kExpected[i];
    const ElementClassInfo* info = element_class_info(static_cast<uint64_t>(i));
    ASSERT_NE(info, nullptr) << i;
    EXPECT_EQ(info->index, i);
    EXPECT_STREQ(info->name, want.name) << i;
    EXPECT_STREQ(info->port_count, want.ports) << want.name;
    EXPECT_STREQ(info->processing, want.processing) << want.name;
    EXPECT_STREQ(info->flags, want.flags) << want.name;
    EXPECT_EQ(info->configure_phase, want.phase) << want.name;
    EXPECT_EQ(element_class_index(want.name), i);
  }
  EXPECT_EQ(element_class_index("Queue"), -1);
  EXPECT_EQ(element_class_index("discard"), -1);
}

TEST(ElementRegistryTest, IndexesPastTheTableGiveNothing) {
  ScopedConstructors all_slots({{kElementClassCount - 1, TableElement<37>::make}});
  for (uint64_t index : {uint64_t{38}, uint64_t{39}, uint64_t{1} << 32, UINT64_MAX}) {
    EXPECT_EQ(element_class_info(index), nullptr) << index;
    EXPECT_EQ(create_element_by_index(static_cast<uintptr_t>(index)), nullptr) << index;
    EXPECT_EQ(set_element_constructor(index, TableElement<0>::make), nullptr) << index;
  }
  std::unique_ptr<Element> last(create_element_by_index(37));
  ASSERT_NE(last, nullptr);
  EXPECT_STREQ(last->class_name(), "OstrelSNATIPMapper");
}

TEST(ElementRegistryTest, SlotsMakeElementsOnlyOnceEntered) {
  EXPECT_EQ(create_element_by_index(14), nullptr);
  {
    ScopedConstructors discard({{14, TableElement<14>::make}});
    std::unique_ptr<Element> e(create_element_by_index(14));
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->class_name(), "Discard");
    EXPECT_STREQ(e->port_count(), "1/0");
    EXPECT_EQ(e->configure_phase(), 100);
    EXPECT_EQ(e->eindex(), -1);
    EXPECT_EQ(create_element_by_index(13), nullptr);
  }
  EXPECT_EQ(create_element_by_index(14), nullptr);
}

TEST(ElementRegistryTest, RegistersEveryNameInIndexOrder) {
  ASSERT_EQ(global_lexer(), nullptr);
  register_element_classes();
  Lexer* lexer = global_lexer();
  ASSERT_NE(lexer, nullptr);
  for (int i = 0; i < kElementClassCount; ++i) {
    const int entry = lexer->class_index(String(kExpected[i].name));
    ASSERT_GE(entry, 0) << kExpected[i].name;
    const Lexer::ClassEntry& e = lexer->class_entry(entry);
    EXPECT_EQ(e.factory, &create_element_by_index);
    EXPECT_EQ(e.thunk, static_cast<uintptr_t>(i));
    EXPECT_FALSE(e.scoped());
    // Entries follow the two fixed classes in index order.
    EXPECT_EQ(entry, i + 2);
  }
  router_static_cleanup();
  EXPECT_EQ(global_lexer(), nullptr);
}

}  // namespace
