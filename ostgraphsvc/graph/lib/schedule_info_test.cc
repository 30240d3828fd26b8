#include "graph/schedule_info.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/element.h"
#include "graph/nameinfo.h"
#include "graph/router.h"
#include "ostgraphsvc/graph/lib/graph_testing.h"

namespace {

class Plain : public Element {
 public:
  const char* class_name() const override { return "Plain"; }
};

TEST(ScheduleInfoTest, TicketsFromNamedShares) {
  struct Define {
    const char* context;
    const char* name;
    int value;
  };
  struct Case {
    const char* element;
    std::vector<Define> defines;
    int tickets;
  } cases[] = {
      {"a", {}, 1024},
      {"a/b/c", {{"", "other", 4096}}, 1024},
      {"a", {{"", "a", 3000}}, 3000},
      {"a/b", {{"", "a/", 2048}, {"", "a/b", 512}}, 1024},  // shares multiply
      {"a/b", {{"", "a/", 3072}, {"a/", "b", 2048}}, 6144},
      // An inner share of "x/y/" is reset by the outer database's find of
      // the longer "x/y/z".
      {"x/y/z", {{"x/", "y/", 4096}}, 4096},
      {"x/y/z", {{"x/", "y/", 4096}, {"", "x/y/z", 2048}}, 2048},
      {"x/y/z", {{"x/", "y/", 4096}, {"", "x/", 2048}}, 8192},
      {"a", {{"", "a", 0}}, 0},
  };
  for (const Case& c : cases) {
    Router router("");
    Plain* e = new Plain;
    router.add_element(e, c.element, "", "conf", 1);
    for (const Define& d : c.defines) {
      NameDB* db = router.name_registry().lookup_or_install(NameDB::kTicketsType, sizeof(int),
                                                            d.context, NameRegistry::kMakeDynamic);
      ASSERT_TRUE(db->define(d.name, &d.value, sizeof(d.value)));
    }
    graph_testing::Lines errh;
    EXPECT_EQ(ScheduleInfo::query(e, &errh), c.tickets) << c.element;
    EXPECT_TRUE(errh.lines.empty());
  }
}

TEST(ScheduleInfoTest, TooHighIsReducedWithAWarning) {
  Router router("");
  Plain* e = new Plain;
  router.add_element(e, "n/s", "", "conf", 1);
  const int eight = 8 * 1024;
  NameDB* db = router.name_registry().lookup_or_install(NameDB::kTicketsType, sizeof(int), "",
                                                        NameRegistry::kMakeDynamic);
  db->define("n/", &eight, sizeof(eight));
  db->define("n/s", &eight, sizeof(eight));  // 64.0
  graph_testing::Lines errh;
  EXPECT_EQ(ScheduleInfo::query(e, &errh), 32768);
  EXPECT_EQ(errh.lines,
            std::vector<std::string>{"<4>warning: ScheduleInfo too high; reduced to 32"});
  EXPECT_EQ(errh.error_count(), 0);
}

}  // namespace
