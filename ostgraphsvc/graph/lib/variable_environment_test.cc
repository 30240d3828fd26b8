#include "graph/variable_environment.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ostgraphsvc/graph/lib/graph_testing.h"
namespace {

using graph_testing::Lines;
using graph_testing::Std;

String Str(const std::string& s) { return String(s.data(), static_cast<int>(s.size())); }

std::string Expand(const VariableEnvironment& env, const std::string& text,
                   ErrorHandler* errh = nullptr) {
  return Std(expand_variables(Str(text), env, 0, errh));
}

TEST(VariableEnvironmentTest, BindAddsOrOverrides) {
  VariableEnvironment env;
  EXPECT_TRUE(env.bind(String("a"), String("1"), false));
  EXPECT_FALSE(env.bind(String("a"), String("2"), false));
  EXPECT_EQ(Std(env.value(0)), "1");
  EXPECT_FALSE(env.bind(String("a"), String("3"), true));
  EXPECT_EQ(Std(env.value(0)), "3");
  EXPECT_TRUE(env.bind(String("b"), String("4"), true));
  EXPECT_EQ(env.size(), 2);
  VariableEnvironment child(&env);
  EXPECT_EQ(child.depth(), 1);
  EXPECT_EQ(child.parent(), &env);
}

TEST(VariableEnvironmentTest, ReferenceFormsAndQuoting) {
  VariableEnvironment env;
  env.bind(String("a"), String("1"), false);
  env.bind(String("b"), String("x y"), false);
  env.bind(String("e"), String(), false);
  env.bind(String("n"), String("a"), false);
  env.bind(String("q"), String("say \"hi\" \\"), false);
  env.bind(String("?"), String("Q"), false);
  env.bind(String("$"), String("D"), false);
  struct Case {
    const char* text;
    const char* expected;
  } cases[] = {
      {"$a", "1"},
      {"${a}0 $a0", "10 $a0"},
      {"$a$a-$a_b", "11-$a_b"},
      {"${b[1]} ${ b [ 0x0] } ${b[2]}", "y x "},
      {"${b[x]} ${b [1 ]}", "x y x y"},
      {"${c-5} ${a - 7} ${c - 7} ${c-}", "5 1  7 "},
      {"$(a) $( a) $(c)", "1 $( a) $(c)"},
      {"${$n} $($n) ${x$n} $(f($n) \")\" '$n')", "1 1 ${xa} $(f(a) \")\" '$n')"},
      {"'$a' \"$a\" \"\\$a\"", "'$a' \"1\" \"\\$a\""},
      {"\"$b\" \"$q\" $q", "\"x y\" \"say \\\"hi\\\" \\\\\" say \"hi\" \\"},
      {"x $a // $a\n$a /* $a */", "x 1 // $a\n1 /* $a */"},
      {"[$e]", "[]"},
      {"$? $# $$x $", "Q $# Dx $"},
      {"$-$ $", "$-$ $"},
      {"${a $a", "${a $a"},
      {"$a $(a", "1 $(a"},
      {"$c", "$c"},
  };
  for (const Case& c : cases) EXPECT_EQ(Expand(env, c.text), c.expected) << c.text;
  EXPECT_EQ(Expand(env, "$e"), "");

  // Unchanged texts come back as the same String.
  String plain("no variables $c here");
  EXPECT_EQ(expand_variables(plain, env, 0).data(), plain.data());
}

TEST(VariableEnvironmentTest, ValuesExpandInTheScopeOfUse) {
  VariableEnvironment top;
  top.bind(String("x"), String("$y"), false);
  top.bind(String("y"), String("3"), false);
  top.bind(String("v"), String("<$w>"), false);
  VariableEnvironment inner(&top);
  inner.bind(String("w"), String("in"), false);
  inner.bind(String("y"), String("shadow"), false);
  EXPECT_EQ(Expand(top, "$x $v"), "3 <$w>");
  EXPECT_EQ(Expand(inner, "$x $v ${x[0]}"), "shadow <in> shadow");
}

TEST(VariableEnvironmentTest, NestingStopsAtDepthTen) {
  VariableEnvironment env;
  env.bind(String("x"), String("$x"), false);
  env.bind(String("a"), String("a$a"), false);
  EXPECT_EQ(Expand(env, "$x"), "$x");
  EXPECT_EQ(Expand(env, "$a"), std::string(11, 'a') + "$a");
  EXPECT_EQ(Std(expand_variables(String("$a"), env, 10)), "a$a");
  EXPECT_EQ(Std(expand_variables(String("$a"), env, 11)), "$a");
}

// Names n0..n9 where n0 is `base` and each further one repeats the one before
// `fan_out` times.
void BindFanOut(VariableEnvironment& env, const char* prefix, const std::string& base,
                int fan_out) {
  env.bind(Str(prefix + std::string("0")), Str(base), false);
  for (int k = 1; k <= 9; ++k) {
    std::string value;
    for (int i = 0; i < fan_out; ++i) value += "$" + std::string(prefix) + std::to_string(k - 1);
    env.bind(Str(prefix + std::to_string(k)), Str(value), false);
  }
}

TEST(VariableEnvironmentTest, FanOutIsCutAndReported) {
  VariableEnvironment env;
  BindFanOut(env, "m", std::string(1000, 'x'), 10);  // m3 is 1,000,000 bytes
  BindFanOut(env, "e", "", 10);
  env.bind(String("big"), String("$m3$m3"), false);

  Lines errh;
  EXPECT_EQ(Expand(env, "$m3", &errh).size(), 1000000u);
  EXPECT_EQ(errh.error_count(), 0);

  struct Case {
    const char* text;
    const char* expected;
  } cases[] = {
      {"$big", "$big"},
      {"[$m9] $m1", "[$m9] $m1"},
      {"$e9$e9", "$e9$e9"},
  };
  for (const Case& c : cases) {
    Lines cut;
    EXPECT_EQ(Expand(env, c.text, &cut), c.expected) << c.text;
    EXPECT_EQ(cut.lines, std::vector<std::string>{"<3>variable expansion too large"}) << c.text;
  }
  // Variables before the cut keep their replacement.
  Lines cut;
  EXPECT_EQ(Expand(env, "$e1$m2 $m3$m3$m1", &cut), std::string(100000, 'x') + " $m3$m3$m1");
  EXPECT_EQ(cut.error_count(), 1);
}

}  // namespace
