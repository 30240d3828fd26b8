#include "graph/nameinfo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "graph/element.h"
#include "graph/parse_context.h"

#include "ostgraphsvc/graph/lib/graph_testing.h"
namespace {

using graph_testing::Std;

class TestElement : public Element {
 public:
  explicit TestElement(const char* name) { set_name(name); }
  const char* class_name() const override { return "TestElement"; }
};

int Query(NameDB* db, const char* name) {
  int value = -1;
  return db->query(name, &value, sizeof(value)) ? value : -1;
}

void Define(NameDB* db, const char* name, int value) {
  ASSERT_TRUE(db->define(name, &value, sizeof(value))) << name;
}

class GlobalNamesTest : public ::testing::Test {
 protected:
  void SetUp() override { NameRegistry::static_initialize(); }
  void TearDown() override { NameRegistry::static_cleanup(); }
};

TEST_F(GlobalNamesTest, AnnotationNames) {
  // Every row is found, so the table is in the order its bisection needs.
  for (int i = 0; i < kAnnotationNameCount; ++i) {
    if (i > 0) {
      EXPECT_LT(std::strcmp(kAnnotationNames[i - 1].name, kAnnotationNames[i].name), 0);
    }
    int value = -1;
    EXPECT_TRUE(NameRegistry::query_int(2, nullptr, kAnnotationNames[i].name, &value));
    EXPECT_EQ(value, static_cast<int>(kAnnotationNames[i].value)) << kAnnotationNames[i].name;
  }
  struct Case {
    const char* name;
    int value;  // -1: not found
  } cases[] = {
      {"PAINT", 65552},
      {"DST_IP6", 16 * 65536},
      {"WIFI_EXTRA", 24 * 65536 + 16},
      {"VLAN_TCI", 2 * 65536 + 61},
      {"AGGREGATE", 0x40014},
      {"paint", -1},
      {"PAINT ", -1},
      {"PAIN", -1},
      {"", -1},
      {"ZZZ", -1},
      {"0", -1},
  };
  const TestElement element("nat/iprw");
  for (const Case& c : cases) {
    int value = -1;
    EXPECT_EQ(NameRegistry::query_int(2, &element, c.name, &value), c.value >= 0) << c.name;
    EXPECT_EQ(value, c.value) << c.name;
  }
  // The first name in table order among those sharing a value.
  EXPECT_EQ(Std(NameRegistry::reverse_query_int(2, &element, 0x40014)), "AGGREGATE");
  EXPECT_EQ(Std(NameRegistry::reverse_query_int(2, nullptr, 0x2003D)), "VLAN");
  EXPECT_EQ(Std(NameRegistry::reverse_query_int(2, nullptr, 7)), "");
  // No other type has names.
  int value = -1;
  EXPECT_FALSE(NameRegistry::query_int(NameDB::kPortType + 6, &element, "www", &value));
  EXPECT_EQ(value, -1);
}

TEST(NameRegistryTest, NothingIsFoundWithoutTheGlobalRegistry) {
  int value = -1;
  EXPECT_FALSE(NameRegistry::query_int(2, nullptr, "PAINT", &value));
  EXPECT_EQ(Std(NameRegistry::reverse_query_int(2, nullptr, 65552)), "");
  EXPECT_EQ(value, -1);
}

TEST(DynamicNameDBTest, DefineQueryAndReverse) {
  DynamicNameDB db(1, String(), sizeof(int));
  EXPECT_EQ(Query(&db, "a"), -1);
  Define(&db, "a", 5);
  Define(&db, "ab", 6);
  Define(&db, "a", 7);  // redefinition overwrites
  EXPECT_EQ(Query(&db, "a"), 7);
  EXPECT_EQ(Query(&db, "ab"), 6);
  EXPECT_EQ(Query(&db, "abc"), -1);

  const int value = 1;
  EXPECT_FALSE(db.define("", &value, sizeof(value)));
  EXPECT_FALSE(db.define("b", &value, 2));  // the database's value size only
  short small = 0;
  EXPECT_FALSE(db.query("a", &small, sizeof(small)));
  EXPECT_EQ(Std(db.reverse_query(&value, 2)), "");
  EXPECT_EQ(Query(&db, "b"), -1);

  const int six = 6;
  EXPECT_EQ(Std(db.reverse_query(&six, sizeof(six))), "ab");
  StaticNameDB read_only(1, String(), kAnnotationNames, kAnnotationNameCount);
  EXPECT_FALSE(read_only.define("X", &six, sizeof(six)));
}

TEST(DynamicNameDBTest, SortsAfterTwentyOneLookups) {
  // Reverse queries return the first match in stored order, which shows
  // whether the names were reordered.
  DynamicNameDB db(1, String(), sizeof(int));
  const char* names[] = {"zeta", "b", "alpha", "ab", "a"};
  for (const char* name : names) Define(&db, name, 7);  // the last define leaves 0 lookups
  const int seven = 7;
  for (int i = 0; i < 21; ++i) EXPECT_EQ(Query(&db, names[i % 5]), 7);
  EXPECT_EQ(Std(db.reverse_query(&seven, sizeof(seven))), "zeta");
  EXPECT_EQ(Query(&db, "zzz"), -1);  // the 22nd sorts
  EXPECT_EQ(Std(db.reverse_query(&seven, sizeof(seven))), "a");
  // Sorted lookups find every name, the shorter first among shared bytes.
  for (const char* name : names) EXPECT_EQ(Query(&db, name), 7) << name;
  EXPECT_EQ(Query(&db, "al"), -1);

  // A new name makes it unsorted again: appended behind the sorted ones.
  Define(&db, "_", 7);
  for (int i = 0; i < 21; ++i) Query(&db, "b");
  EXPECT_EQ(Std(db.reverse_query(&seven, sizeof(seven))), "a");
  Query(&db, "b");
  EXPECT_EQ(Std(db.reverse_query(&seven, sizeof(seven))), "_");
  EXPECT_EQ(Query(&db, "_"), 7);
  EXPECT_EQ(Query(&db, "zeta"), 7);
}

TEST(NameRegistryTest, ContextTree) {
  NameRegistry registry;
  const uint32_t type = 1;
  NameDB* ab = registry.lookup_or_install(type, 4, "a/b/", NameRegistry::kMakeDynamic);
  NameDB* c = registry.lookup_or_install(type, 4, "c/", NameRegistry::kMakeDynamic);
  NameDB* abc = registry.lookup_or_install(type, 4, "a/b/c/", NameRegistry::kMakeDynamic);
  EXPECT_EQ(ab->context_parent(), nullptr);
  EXPECT_EQ(abc->context_parent(), ab);
  EXPECT_EQ(ab->registry(), &registry);

  // Only the outermost database inside "a/" moves under it.
  NameDB* a = registry.lookup_or_install(type, 4, "a/", NameRegistry::kMakeDynamic);
  EXPECT_EQ(ab->context_parent(), a);
  EXPECT_EQ(abc->context_parent(), ab);
  EXPECT_EQ(c->context_parent(), nullptr);
  EXPECT_EQ(a->context_parent(), nullptr);

  // A given database: installed when its context is new; otherwise the
  // existing one wins and the given one stays the caller's.
  auto* top = new DynamicNameDB(type, String(), 4);
  EXPECT_EQ(registry.lookup_or_install(type, 4, String(), top), top);
  EXPECT_EQ(a->context_parent(), top);
  EXPECT_EQ(c->context_parent(), top);
  DynamicNameDB spare(type, "a/", 4);
  EXPECT_EQ(registry.lookup_or_install(type, 4, "a/", &spare), a);
  EXPECT_EQ(spare.registry(), nullptr);

  // Look-ups find the deepest enclosing database and install nothing.
  struct Case {
    const char* context;
    NameDB* db;
  } cases[] = {
      {"a/b/x/", ab}, {"a/b/c/d/", abc}, {"a/", a}, {"a/bx/", a}, {"ab/", top}, {"", top},
  };
  for (const Case& k : cases)
    EXPECT_EQ(registry.lookup_or_install(type, 4, k.context, nullptr), k.db) << k.context;

  // Types are kept apart, and a type without databases finds none.
  EXPECT_EQ(registry.lookup_or_install(2, 4, "a/", nullptr), nullptr);
  NameDB* other = registry.lookup_or_install(0x04020006, 4, "a/", NameRegistry::kMakeDynamic);
  NameDB* low = registry.lookup_or_install(0, 4, "a/", NameRegistry::kMakeDynamic);
  EXPECT_EQ(registry.lookup_or_install(type, 4, "a/", nullptr), a);
  EXPECT_EQ(registry.lookup_or_install(0x04020006, 4, "a/b/", nullptr), other);
  EXPECT_EQ(registry.lookup_or_install(0, 4, "a/", nullptr), low);
}

// An element's router registry, as the router graph will supply it.
NameRegistry* router_names = nullptr;

class ContextWalkTest : public GlobalNamesTest {
 protected:
  void SetUp() override {
    GlobalNamesTest::SetUp();
    NameRegistry::router_registry = [](const Element* element) {
      return element->name() == "loose" ? nullptr : router_names;
    };
    router_names = &registry_;
    NameDB* global_top =
        NameRegistry::global->lookup_or_install(1, 4, String(), NameRegistry::kMakeDynamic);
    NameDB* a = registry_.lookup_or_install(1, 4, "a/", NameRegistry::kMakeDynamic);
    NameDB* ab = registry_.lookup_or_install(1, 4, "a/b/", NameRegistry::kMakeDynamic);
    NameDB* annotations = registry_.lookup_or_install(2, 4, "a/", NameRegistry::kMakeDynamic);
    Define(global_top, "one", 100);
    Define(global_top, "three", 3);
    Define(a, "one", 10);
    Define(a, "two", 2);
    Define(ab, "one", 1);
    Define(annotations, "MINE", 4 * 65536 + 40);
  }
  void TearDown() override {
    NameRegistry::router_registry = nullptr;
    router_names = nullptr;
    GlobalNamesTest::TearDown();
  }

  NameRegistry registry_;
};

TEST_F(ContextWalkTest, QueriesWalkOutwardToTheGlobalRegistry) {
  struct Case {
    const char* element;
    const char* name;
    int value;  // -1: not found
  } cases[] = {
      {"a/b/x", "one", 1}, {"a/b/x", "two", 2},   {"a/b/x", "three", 3}, {"a/b/x", "four", -1},
      {"a/x", "one", 10},  {"a/b", "one", 10},    {"a/bc/x", "one", 10}, {"x", "one", 100},
      {"b/x", "two", -1},  {"loose", "one", 100}, {"loose", "two", -1},  {"a/b/x", "ONE", -1},
  };
  for (const Case& c : cases) {
    const TestElement element(c.element);
    int value = -1;
    EXPECT_EQ(NameRegistry::query_int(1, &element, c.name, &value), c.value >= 0)
        << c.element << " " << c.name;
    EXPECT_EQ(value, c.value) << c.element << " " << c.name;
  }
  // Without an element only the global registry answers.
  int value = -1;
  EXPECT_TRUE(NameRegistry::query_int(1, nullptr, "one", &value));
  EXPECT_EQ(value, 100);
  EXPECT_FALSE(NameRegistry::query_int(1, nullptr, "two", &value));

  const TestElement deep("a/b/x");
  EXPECT_EQ(Std(NameRegistry::reverse_query_int(1, &deep, 1)), "one");
  EXPECT_EQ(Std(NameRegistry::reverse_query_int(1, &deep, 2)), "two");
  EXPECT_EQ(Std(NameRegistry::reverse_query_int(1, &deep, 100)), "one");
  EXPECT_EQ(Std(NameRegistry::reverse_query_int(1, &deep, 5)), "");
  const TestElement top("x");
  EXPECT_EQ(Std(NameRegistry::reverse_query_int(1, &top, 2)), "");

  // Annotation names: the router's own for its context, then the global table.
  EXPECT_TRUE(NameRegistry::query_int(2, &deep, "MINE", &value));
  EXPECT_EQ(value, 4 * 65536 + 40);
  EXPECT_TRUE(NameRegistry::query_int(2, &deep, "PAINT", &value));
  EXPECT_EQ(value, 65552);
  EXPECT_FALSE(NameRegistry::query_int(2, &top, "MINE", &value));
}

TEST_F(ContextWalkTest, ParseAnnotation) {
  struct Case {
    const char* text;
    int size;
    int result;  // -1: fails
  } cases[] = {
      {"PAINT", 1, 16},        {"PAINT", 0, 65552},     {"PAINT", 4, -1},   {"WIFI_EXTRA", 24, 16},
      {"DST_IP6", 16, 0},      {"MINE", 4, 40},         {"MINE", 1, -1},    {"16", 1, 16},
      {"255", 0, 255},         {"300", 0, -1},          {"0x40014", 4, 20}, {"0x40014", 2, -1},
      {"0x40014", 0, 0x40014}, {"0x400ff", 0, 0x400ff}, {"0x40100", 0, -1}, {"252", 4, 252},
      {"253", 4, -1},          {"255", 1, 255},         {"256", 1, -1},     {"-1", 0, -1},
      {"-1", 1, -1},           {"paint", 1, -1},        {"", 1, -1},        {"16 ", 1, -1},
      {"99999999999", 0, -1},
  };
  const TestElement element("a/b/x");
  ParseContext context(&element, nullptr);
  for (const Case& c : cases) {
    int result = -1;
    EXPECT_EQ(cp_parse_annotation(c.size, c.text, &result, context), c.result >= 0)
        << c.text << " " << c.size;
    EXPECT_EQ(result, c.result) << c.text << " " << c.size;
  }
  // Names belong to the element's scope.
  int result = -1;
  EXPECT_FALSE(cp_parse_annotation(4, "MINE", &result));
  EXPECT_TRUE(cp_parse_annotation(1, "PAINT", &result));
  EXPECT_EQ(result, 16);
}

}  // namespace
