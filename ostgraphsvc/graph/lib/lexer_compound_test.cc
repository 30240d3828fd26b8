#include <gtest/gtest.h>

#include <string>

#include "graph/argument_types.h"
#include "graph/lexer.h"
#include "ostgraphsvc/graph/lib/graph_testing.h"
#include "ostgraphsvc/graph/lib/lexer_testing.h"

namespace {

using graph_testing::Messages;
using graph_testing::Parse;
using graph_testing::Std;
using graph_testing::Str;

std::string Join(const Vector<String>& v) {
  std::string out;
  for (int i = 0; i < v.size(); ++i) out += (i > 0 ? "|" : "") + Std(v[i]);
  return out;
}

// One parse of a text with a few registered classes.

// Port counts come from the body's use of "input" and "output"; chains in a
// body may leave them out.
TEST(LexerCompoundTest, PortsCountedFromBody) {
  struct Case {
    const char* text;
    int ninputs;
    int noutputs;
    const char* messages;
  } cases[] = {
      {"elementclass C { input -> CheckIPHeader -> output }", 1, 1, ""},
      {"elementclass C { input -> output; input[2] -> output }", 3, 1,
       "t.graph:1: 'C' input 1 missing\n"},
      {"elementclass C { output -> input }", 0, 0,
       "t.graph:1: 'C' pseudoelement 'input' may only be used as output\n"
       "t.graph:1: 'C' pseudoelement 'output' may only be used as input\n"},
      {"elementclass C { -> CheckIPHeader -> }", 1, 1, ""},
      {"elementclass C { [1] -> Idle -> [2] }", 2, 3,
       "t.graph:1: 'C' input 0 missing\nt.graph:1: 'C' output 0 missing\n"
       "t.graph:1: 'C' output 1 missing\n"},
      {"elementclass C { input -> output; -> Idle -> }", 1, 1, ""},
      {"elementclass C { x :: Idle; -> x -> }", 1, 1,
       "t.graph:1: warning: suggest 'input ->' or '[0] ->' to start connection\n"},
      {"elementclass C { x :: Idle; [0] => x => }", 1, 1, ""},
      {"elementclass C { Idle -> -> CheckIPHeader }", 0, 1,
       "t.graph:1: implicit ports used in the middle of a chain\n"
       "t.graph:1: 'C' pseudoelement 'output' may only be used as input\n"},
      {"elementclass C { [0], [1] => output }", 2, 2, ""},
      {"elementclass C {\ninput -> Idle\n", 1, 0, "t.graph:3: expected '}'\n"},
  };
  for (const Case& c : cases) {
    Parse p(c.text);
    EXPECT_EQ(p.messages, c.messages) << c.text;
    const LexerTables::Compound* k = p.compound("C");
    ASSERT_NE(k, nullptr) << c.text;
    EXPECT_EQ(k->ninputs(), c.ninputs) << c.text;
    EXPECT_EQ(k->noutputs(), c.noutputs) << c.text;
  }
}

TEST(LexerCompoundTest, BodyTableAndScopes) {
  Parse p(
      "elementclass C { input -> Print -> p :: Print -> Print -> output }\n"
      "elementclass O { elementclass In { input -> output }; input -> In -> output }\n"
      "x :: In");
  EXPECT_EQ(p.messages, "t.graph:3: unknown element class 'In'\n");
  EXPECT_EQ(p.element_classes(p.compound("C")),
            "input:<tunnel> output:<tunnel> Print@1:Print p:Print Print@3:Print");
  EXPECT_EQ(p.element_classes(p.compound("O")), "input:<tunnel> output:<tunnel> In@1:In");
  EXPECT_EQ(p.compound("C")->landmark(), String("t.graph:1"));
  EXPECT_EQ(p.compound("C")->connections().size(), 4);
}

TEST(LexerCompoundTest, Parameters) {
  struct Case {
    const char* text;
    const char* parameters;
    const char* messages;
  } cases[] = {
      {"elementclass C { $a, KEY $k, __REST__ $r | }", "a=|k=KEY|r=__REST__", ""},
      {"elementclass C { $a, KEY $k, $b, K2 $c | }", "a=|k=KEY|b=|c=K2",
       "t.graph:1: compound element parameters out of order\n"
       "t.graph:1: (The correct order is '[positional], [keywords], [__REST__]'.)\n"},
      {"elementclass C { __REST__ $r, KEY $k | }", "r=__REST__|k=KEY",
       "t.graph:1: compound element parameters out of order\n"
       "t.graph:1: (The correct order is '[positional], [keywords], [__REST__]'.)\n"},
      {"elementclass C { $a, $a | }", "a=", "t.graph:1: parameter '$a' multiply defined\n"},
      {"elementclass C { K $a, K $b | }", "a=K|b=K",
       "t.graph:1: repeated keyword parameter 'K' in compound element\n"},
      {"elementclass C { | input -> output }", "", ""},
      {"elementclass C { $a input -> output }", "a=", "t.graph:1: expected ',' or '|'\n"},
      {"elementclass C { $a, -> output }", "a=", "t.graph:1: expected variable\n"},
      {"elementclass C { $a, input -> output }", "a=", "t.graph:1: expected variable\n"},
      {"elementclass C { $a | define($b $a$a) input -> output }", "a=|b=$a$a", ""},
  };
  for (const Case& c : cases) {
    Parse p(c.text);
    EXPECT_EQ(p.messages, c.messages) << c.text;
    LexerTables::Compound* k = p.compound("C");
    ASSERT_NE(k, nullptr) << c.text;
    std::string shown;
    for (int i = 0; i < k->scope().size(); ++i)
      shown += (i > 0 ? "|" : "") + Std(k->scope().name(i)) + "=" + Std(k->scope().value(i));
    EXPECT_EQ(shown, c.parameters) << c.text;
  }
}

TEST(LexerCompoundTest, DefinitionForms) {
  struct Case {
    const char* text;
    const char* messages;
  } cases[] = {
      {"elementclass Q { $n | input -> output }\nelementclass Q { $a, $b | input -> output || ... "
       "}",
       ""},
      {"elementclass Q { $a | input -> output || ... }",
       "t.graph:1: cannot extend unknown element class 'Q'\n"},
      {"elementclass Q { ... }",
       "t.graph:1: cannot extend unknown element class 'Q'\n"
       "t.graph:1: '...' should occur last, after one or more compounds\n"},
      {"elementclass Print { input -> output || ... || }",
       "t.graph:1: '...' should occur last, after one or more compounds\n"},
      {"elementclass { input -> output }", "t.graph:1: expected element type name\n"},
      {"elementclass A ; elementclass B Frob",
       "t.graph:1: syntax error near ';'\nt.graph:1: unknown element class 'Frob'\n"},
      {"elementclass A { input -> output || input -> output", "t.graph:1: expected '}'\n"},
  };
  for (const Case& c : cases) {
    Parse p(c.text);
    EXPECT_EQ(p.messages, c.messages) << c.text;
  }
}

TEST(LexerCompoundTest, AnonymousClassesAndSynonyms) {
  Parse p(
      "elementclass B { input -> output }\nelementclass A B\n"
      "a :: { input -> output }; i :: Idle -> { [0] -> [1] } -> i; b :: A");
  EXPECT_EQ(p.messages, "t.graph:3: '<anonymous>' output 0 missing\n");
  EXPECT_EQ(p.compound("A"), p.compound("B"));
  const LexerTables::Compound* top = p.lexer.top_compound();
  ASSERT_EQ(top->nelements(), 4);
  EXPECT_EQ(p.elements(top), "a: i:Idle ;@3: b:A");
  const LexerTables::Compound* anonymous = p.lexer.class_compound(top->element_class(2));
  ASSERT_NE(anonymous, nullptr);
  EXPECT_EQ(anonymous->display_name(), String("<anonymous>"));
  EXPECT_EQ(anonymous->noutputs(), 2);
  EXPECT_EQ(p.lexer.class_compound(top->element_class(0))->ninputs(), 1);
}

TEST(LexerCompoundTest, BodyNestingLimit) {
  Parse accepted(std::string(49, '{') + std::string(49, '}'));
  EXPECT_EQ(accepted.messages, "");
  Parse refused(std::string(50, '{') + std::string(50, '}'));
  EXPECT_EQ(refused.messages,
            "t.graph:1: maximum compound element nesting depth exceeded\n"
            "t.graph:1: syntax error near '}'\n");
}

TEST(LexerCompoundTest, SignatureText) {
  const String keys[] = {String(), String("RATE"), String("__REST__")};
  EXPECT_EQ(LexerTables::Compound::signature_text(String("Limiter"), nullptr, 0, 2, 1, 1),
            String("Limiter[2 arguments, 1 input, 1 output]"));
  EXPECT_EQ(LexerTables::Compound::signature_text(String(), nullptr, 0, 1, 0, 2),
            String("<anonymous>[1 argument, 0 inputs, 2 outputs]"));
  EXPECT_EQ(LexerTables::Compound::signature_text(String("L"), keys, 3, 5, 1, 1),
            String("L(<arg>, RATE, ...)[1 input, 1 output]"));
  EXPECT_EQ(LexerTables::Compound::signature_text(String("L"), keys, 0, 0, 2, 0),
            String("L[2 inputs, 0 outputs]"));
}

// Choosing alternatives needs the argument engine.
class SelectTest : public ::testing::Test {
 protected:
  void SetUp() override { cp_add_standard_argument_types(); }
  void TearDown() override { cp_argument_static_cleanup(); }

  struct Choice {
    std::string chosen;
    std::string values;
  };
  // The chosen class, shown as its compound's first parameter count or by
  // name, and the arguments after the choice.
  static Choice Select(Parse& p, const char* name, int ninputs, int noutputs,
                       std::initializer_list<const char*> arguments) {
    Vector<String> args;
    for (const char* a : arguments) args.push_back(String(a));
    const int index = p.lexer.class_index(String(name));
    LexerTables::Compound* c = p.lexer.class_compound(index);
    const int chosen =
        c->select_alternative(p.lexer, index, ninputs, noutputs, args, p.errh(), String("use:9"));
    Choice out;
    if (chosen < 0) {
      out.chosen = "none";
    } else if (const LexerTables::Compound* k = p.lexer.class_compound(chosen)) {
      out.chosen = std::to_string(k->nparameters()) + " parameters @" + Std(k->landmark());
    } else {
      out.chosen = Std(p.lexer.class_entry(chosen).name);
    }
    out.values = Join(args);
    return out;
  }
};

TEST_F(SelectTest, ByArgumentsAndNoMatch) {
  Parse p(
      "elementclass F {\n$a | input -> Print($a) -> output ||\n"
      "$a, $b | input -> Print($a) -> Print($b) -> output }");
  ASSERT_EQ(p.messages, "");
  Choice one = Select(p, "F", 1, 1, {"x"});
  EXPECT_EQ(one.chosen, "1 parameters @t.graph:2");
  EXPECT_EQ(one.values, "x");
  Choice two = Select(p, "F", 1, 1, {"x", "y"});
  EXPECT_EQ(two.chosen, "2 parameters @t.graph:3");
  EXPECT_EQ(two.values, "x|y");
  EXPECT_EQ(p.later_messages(), "");

  Choice three = Select(p, "F", 1, 1, {"x", "y", "z"});
  EXPECT_EQ(three.chosen, "none");
  EXPECT_EQ(three.values, "x|y|z");
  EXPECT_EQ(p.later_messages(),
            "use:9: no match for 'F[3 arguments, 1 input, 1 output]'\n"
            "t.graph:2: candidates are:\n"
            "t.graph:2:   F(<arg>)[1 input, 1 output]\n"
            "t.graph:3:   F(<arg>, <arg>)[1 input, 1 output]\n");
}

TEST_F(SelectTest, ByPortCountsAndClosest) {
  Parse p(
      "elementclass P { input -> output ||\ninput -> output; input[1] -> [1]output }\n"
      "elementclass S { $a | input -> output }");
  ASSERT_EQ(p.messages, "");
  EXPECT_EQ(Select(p, "P", 1, 1, {}).chosen, "0 parameters @t.graph:1");
  EXPECT_EQ(Select(p, "P", 2, 2, {}).chosen, "0 parameters @t.graph:2");
  EXPECT_EQ(p.later_messages(), "");
  // One alternative whose arguments fit: taken despite its ports, quietly.
  Choice s = Select(p, "S", 2, 0, {"x"});
  EXPECT_EQ(s.chosen, "1 parameters @t.graph:3");
  EXPECT_EQ(p.later_messages(), "");
  // Two alternatives, arguments fit the second only: reported, then taken.
  Choice closest = Select(p, "P", 3, 3, {});
  EXPECT_EQ(closest.chosen, "0 parameters @t.graph:2");
  EXPECT_EQ(p.later_messages(),
            "use:9: no match for 'P[3 inputs, 3 outputs]'\n"
            "t.graph:1: candidates are:\n"
            "t.graph:1:   P[1 input, 1 output]\n"
            "t.graph:2:   P[2 inputs, 2 outputs]\n");
}

TEST_F(SelectTest, KeywordsRestAndExtensions) {
  Parse p(
      "elementclass K { $a, RATE $r | input -> output }\n"
      "elementclass R { $a, __REST__ $r | input -> output }\n"
      "elementclass Q { $n | input -> output }\n"
      "elementclass Q { $a, $b | input -> output || ... }\n"
      "elementclass Print { $a, $b | input -> output || ... }");
  ASSERT_EQ(p.messages, "");
  EXPECT_EQ(Select(p, "K", 1, 1, {"1", "RATE 2"}).values, "1|2");
  EXPECT_EQ(Select(p, "R", 1, 1, {"1", "2", "3"}).values, "1|2, 3");
  EXPECT_EQ(Select(p, "R", 1, 1, {"1"}).values, "1|");
  EXPECT_EQ(Select(p, "Q", 1, 1, {"x"}).chosen, "1 parameters @t.graph:3");
  Choice plain = Select(p, "Print", 1, 1, {"x"});
  EXPECT_EQ(plain.chosen, "Print");
  EXPECT_EQ(plain.values, "x");
  EXPECT_EQ(p.later_messages(), "");

  Select(p, "K", 1, 1, {"1"});
  EXPECT_EQ(p.later_messages(),
            "use:9: no match for 'K[1 argument, 1 input, 1 output]'\n"
            "t.graph:1: candidates are:\n"
            "t.graph:1:   K(<arg>, RATE)[1 input, 1 output]\n");
}

TEST(LexerCompoundTest, UseEnvironment) {
  Parse p(
      "define($t top)\n"
      "elementclass E { $a, __REST__ $r | define($b [$a $t], $c <$b>) input -> output }");
  ASSERT_EQ(p.messages, "");
  LexerTables::Compound* e = p.compound("E");
  VariableEnvironment& top = p.lexer.top_compound()->scope();
  VariableEnvironment inner(&top);
  VariableEnvironment innermost(&inner);
  Vector<String> args;
  args.push_back(String("x"));
  args.push_back(String("y, z"));
  // Scoped by where E is defined: the parent is the top level even when
  // used deeper.
  VariableEnvironment env = e->make_use_environment(&innermost, args);
  EXPECT_EQ(env.depth(), 1);
  EXPECT_EQ(env.parent(), &top);
  EXPECT_EQ(Join(env.names()), "a|r|b|c");
  EXPECT_EQ(Join(env.values()), "x|y, z|[x top]|<[x top]>");

  VariableEnvironment alone = e->make_use_environment(nullptr, args);
  EXPECT_EQ(alone.depth(), 0);
  EXPECT_EQ(Join(alone.values()), "x|y, z|[x $t]|<[x $t]>");
}

}  // namespace
