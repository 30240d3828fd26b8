#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/argument_types.h"
#include "graph/string.h"
#include "graph/vector.h"
#include "ostgraphsvc/graph/lib/conversions.h"
#include "ostgraphsvc/graph/lib/graph_testing.h"

namespace {

using graph_testing::Lines;
using graph_testing::Std;
using Texts = std::vector<std::string>;

Vector<String> Strings(const Texts& texts) {
  Vector<String> v;
  for (const std::string& t : texts) v.push_back(String(t.data(), static_cast<int>(t.size())));
  return v;
}

Texts Texts_of(const Vector<String>& v) {
  Texts out;
  for (const String& s : v) out.push_back(Std(s));
  return out;
}

class DistributeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    install_default_conversions();
    cp_add_standard_argument_types();
  }
  void TearDown() override { cp_argument_static_cleanup(); }

  // Distributes with the engine's messages recorded in `errh`.
  int distribute(const Texts& formals, const Texts& arguments, Texts* values = nullptr) {
    const Vector<String> f = Strings(formals);
    Vector<String> out;
    const int r = cp_distribute_arguments(Strings(arguments), f.begin(), f.end(), &out, &errh);
    if (values != nullptr) *values = Texts_of(out);
    return r;
  }

  Lines errh;
};

TEST_F(DistributeTest, FillsPositionalKeywordAndRestFormals) {
  struct Case {
    Texts formals, arguments, values;
  };
  const Case cases[] = {
      {{"", ""}, {"1", "2"}, {"1", "2"}},
      {{}, {}, {}},
      {{"", "KEY"}, {"a", "KEY b"}, {"a", "b"}},
      {{"", "KEY"}, {"a", "KEY"}, {"a", ""}},
      {{"", "KEY", "__REST__"}, {"a", "KEY b", "c", "d"}, {"a", "b", "c, d"}},
      {{"__REST__"}, {"x", "y"}, {"x, y"}},
      {{"__REST__"}, {}, {""}},
      // Leftovers before the keywords also go to the rest, in order.
      {{"", "__REST__"}, {"a", "b", "K v", "c"}, {"a", "b, K v, c"}},
      // A later keyword replaces an earlier one.
      {{"A", "B"}, {"B 1", "A 2", "B 3"}, {"2", "3"}},
      // The first arguments fill positional formals whatever they look like.
      {{"", "B"}, {"B 1", "B 2"}, {"B 1", "2"}},
  };
  for (const Case& c : cases) {
    Texts values;
    EXPECT_EQ(distribute(c.formals, c.arguments, &values), 0)
        << ::testing::PrintToString(c.arguments);
    EXPECT_EQ(values, c.values) << ::testing::PrintToString(c.arguments);
  }
  EXPECT_TRUE(errh.lines.empty());
}

TEST_F(DistributeTest, RefusesArgumentsThatDoNotFitWithTheEngineMessage) {
  struct Case {
    Texts formals, arguments;
    Texts lines;
  };
  const Case cases[] = {
      // Fast path: counts must match, and nothing is said.
      {{"", ""}, {"1"}, {}},
      {{"", ""}, {"1", "2", "3"}, {}},
      {{}, {"x"}, {}},
      {{"", "KEY"}, {"a"}, {"<3>missing mandatory KEY argument"}},
      {{"", "KEY"}, {"KEY b", "a"}, {"<3>missing mandatory KEY argument"}},
      {{"", "A", "B"}, {"x"}, {"<3>missing mandatory A, B arguments"}},
      {{"", "A"}, {}, {"<3>missing mandatory #0, A arguments"}},
      {{"A", "B"},
       {"A 1", "C 2", "B 3", "=y"},
       {"<3>bad keyword(s) C, <argument 4>", "<3>(valid keywords are A, B)"}},
      {{"", "A"}, {"x", "y", "A 1"}, {"<3>too many arguments"}},
  };
  for (const Case& c : cases) {
    errh.lines.clear();
    Texts values = {"untouched"};
    EXPECT_EQ(distribute(c.formals, c.arguments, &values), -22)
        << ::testing::PrintToString(c.arguments);
    EXPECT_EQ(errh.lines, c.lines) << ::testing::PrintToString(c.arguments);
  }
}

TEST_F(DistributeTest, ValuesMayBeTheArgumentVector) {
  const Vector<String> formals = Strings({"", "KEY", "__REST__"});
  Vector<String> arguments = Strings({"KEY x", "y", "KEY z", "w"});
  ASSERT_EQ(cp_distribute_arguments(arguments, formals.begin(), formals.end(), &arguments), 0);
  EXPECT_EQ(Texts_of(arguments), (Texts{"KEY x", "z", "y, w"}));

  const Vector<String> positional = Strings({"", ""});
  Vector<String> same = Strings({"p", "q"});
  ASSERT_EQ(cp_distribute_arguments(same, positional.begin(), positional.end(), &same), 0);
  EXPECT_EQ(Texts_of(same), (Texts{"p", "q"}));
}

TEST_F(DistributeTest, RecordsFromAnEarlierCallDoNotLeak) {
  Texts values;
  ASSERT_EQ(distribute({"A", "B"}, {"A 1", "B 2"}, &values), 0);
  EXPECT_EQ(distribute({"A", "B"}, {"A 3"}, &values), -22);
  ASSERT_EQ(distribute({"", "__REST__"}, {"x"}, &values), 0);
  EXPECT_EQ(values, (Texts{"x", ""}));
}

TEST_F(DistributeTest, MoreFormalsThanRecordsFailWithoutOverflow) {
  Texts formals(80, "");
  formals.back() = "__REST__";
  Texts arguments(100, "v");
  Texts values;
  ASSERT_EQ(distribute(formals, arguments, &values), 0);
  EXPECT_EQ(values.size(), 80u);
  EXPECT_EQ(values.back().size(), 61u);  // 21 leftovers joined with ", "

  formals.push_back("K");
  EXPECT_EQ(distribute(formals, arguments), -12);
  formals.back() = "__REST__";
  EXPECT_EQ(distribute(formals, arguments), -12);
  // Positional formals take the fast path, which has no record limit.
  EXPECT_EQ(distribute(Texts(81, ""), Texts(81, "v")), 0);
}

TEST(DistributeLifecycleTest, KeywordFormalsNeedStartUp) {
  const Vector<String> formals = Strings({"", "KEY"});
  const Vector<String> positional = Strings({""});
  Vector<String> values;
  EXPECT_EQ(cp_distribute_arguments(Strings({"a", "KEY b"}), formals.begin(), formals.end()), -12);
  EXPECT_EQ(cp_distribute_arguments(Strings({"a"}), positional.begin(), positional.end(), &values),
            0);
  cp_add_standard_argument_types();
  cp_add_standard_argument_types();
  EXPECT_EQ(cp_distribute_arguments(Strings({"a", "KEY b"}), formals.begin(), formals.end()), 0);
  cp_argument_static_cleanup();
  EXPECT_EQ(cp_distribute_arguments(Strings({"a", "KEY b"}), formals.begin(), formals.end()), -12);
}

}  // namespace
