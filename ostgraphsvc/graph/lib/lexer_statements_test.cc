#include <gtest/gtest.h>

#include <string>

#include "graph/lexer.h"
#include "ostgraphsvc/graph/lib/graph_testing.h"
#include "ostgraphsvc/graph/lib/lexer_testing.h"

namespace {

using graph_testing::Messages;
using graph_testing::Parse;
using graph_testing::Std;
using graph_testing::Str;

class RecordingExtra : public LexerExtra {
 public:
  void require(const String& type, const String& value, ErrorHandler*) override {
    seen += Std(type) + "=" + Std(value) + ";";
  }
  std::string seen;
};

// One parse of a text with a few registered classes, and its tables.

struct TableCase {
  const char* text;
  const char* elements;
  const char* connections;
  const char* messages;
};

void ExpectTables(const TableCase& c) {
  Parse p(c.text);
  EXPECT_EQ(p.messages, c.messages) << c.text;
  EXPECT_EQ(p.elements(), c.elements) << c.text;
  EXPECT_EQ(p.connections(), c.connections) << c.text;
}

TEST(LexerStatementsTest, DeclarationsAndChains) {
  const TableCase cases[] = {
      {"a :: Print; b :: Discard; a -> b;", "a:Print b:Discard", "a[0]->b[0]", ""},
      {"Print -> Discard", ";Print@1:Print ;Discard@2:Discard", ";Print@1[0]->;Discard@2[0]", ""},
      {"x -> y", ";x@1:x ;y@2:y", ";x@1[0]->;y@2[0]",
       "t.graph:1: undeclared element 'x'\nt.graph:1: undeclared element 'y'\n"},
      {"a, b, c :: Print(10)", "a:Print(10) b:Print(10) c:Print(10)", "", ""},
      {"a, b :: CheckIPHeader -> c", ";a@1:a b:CheckIPHeader ;c@3:c",
       ";a@1[0]->;c@3[0] b[0]->;c@3[0]",
       "t.graph:1: undeclared element 'a'\nt.graph:1: undeclared element 'c'\n"},
      // A configured element in front does not share.
      {"a(1), b :: Print", ";a@1:a(1) b:Print", "", "t.graph:1: undeclared element 'a'\n"},
      {"a :: Print; b :: Idle; a [1] -> [2] b", "a:Print b:Idle", "a[1]->b[2]", ""},
      {"s :: Idle; s [0, 1] => [1, 0] t :: Discard", "s:Idle t:Discard", "s[0]->t[1] s[1]->t[0]",
       ""},
      {"a :: Print -> b :: Discard -> c :: Discard", "a:Print b:Discard c:Discard",
       "a[0]->b[0] b[0]->c[0]", ""},
      {"a :: Print\nb :: Discard\na -> b", "a:Print b:Discard", "a[0]->b[0]", ""},
      {"a :: Print; a -> Discard", "a:Print ;Discard@2:Discard", "a[0]->;Discard@2[0]", ""},
      {"i :: Idle -> i", "i:Idle", "i[0]->i[0]", ""},
  };
  for (const TableCase& c : cases) ExpectTables(c);
}

// Every message, and where reading goes on after it.
TEST(LexerStatementsTest, ErrorsAndRecovery) {
  const TableCase cases[] = {
      {"a :: Print; b :: Discard; [1] a -> b", "a:Print b:Discard", "a[0]->b[0]",
       "t.graph:1: input ports ignored at start of chain\n"},
      {"a :: Print; a -> [1];", "a:Print", "",
       "t.graph:1: stranded port ignored\nt.graph:1: syntax error near ';'\n"},
      {"a :: Print; a [2]; b :: Idle", "a:Print b:Idle", "",
       "t.graph:1: output ports ignored at end of chain\n"},
      {"a :: Print; b :: Idle; a, , b -> a", "a:Print b:Idle", "b[0]->a[0]", ""},
      {"a :: Print; a :: Discard; a(3) -> b :: Idle", "a:Print b:Idle", "a[0]->b[0]",
       "t.graph:1: redeclaration of element 'a'\n"
       "t.graph:1: element 'a' previously declared here\n"
       "t.graph:1: configuration string ignored on element reference\n"},
      {"Print :: Discard", ";Print@1:Print", "", "t.graph:1: class 'Print' used as element name\n"},
      {"a :: ; b :: , c :: Idle", "a:a b:b c:Idle", "",
       "t.graph:1: missing element type in declaration\n"
       "t.graph:1: unknown element class 'a'\n"
       "t.graph:1: missing element type in declaration\n"
       "t.graph:1: unknown element class 'b'\n"},
      {"a :: Frob; b :: Frob", "a:Frob b:Frob", "", "t.graph:1: unknown element class 'Frob'\n"},
      {"$x ... :: , provide a :: Idle", "a:Idle", "",
       "t.graph:1: syntax error near 'x'\nt.graph:1: syntax error near '...'\n"
       "t.graph:1: syntax error near '::'\nt.graph:1: syntax error near ','\n"
       "t.graph:1: syntax error near 'provide'\n"},
      {") } || a :: Idle", "a:Idle", "",
       "t.graph:1: syntax error near ')'\nt.graph:1: syntax error near '}'\n"
       "t.graph:1: syntax error near '||'\n"},
      // A stray "::" between sections is skipped; another bad token ends the
      // chain, and a variable is then seen again as a statement.
      {"a :: Idle :: -> b :: Idle -> c :: Idle $v a -> c", "a:Idle b:Idle c:Idle",
       "a[0]->b[0] b[0]->c[0] a[0]->c[0]",
       "t.graph:1: syntax error near '::'\n"
       "t.graph:1: syntax error near 'v'\nt.graph:1: syntax error near 'v'\n"},
      {"a :: Idle -> Idle(5) (6) -> a", "a:Idle ;Idle@2:Idle(5) ;6@3:6", "a[0]->;Idle@2[0]",
       "t.graph:1: syntax error near '('\nt.graph:1: undeclared element '6'\n"
       "t.graph:1: syntax error near ')'\nt.graph:1: syntax error near '->'\n"},
      {"-> a :: Idle", "a:Idle", "", "t.graph:1: syntax error near '->'\n"},
      {"a :: Idle\n-> [0] b :: Idle; a -> b -> c :: Discard [1]", "a:Idle b:Idle c:Discard",
       "a[0]->b[0] a[0]->b[0] b[0]->c[0]", "t.graph:2: output ports ignored at end of chain\n"},
  };
  for (const TableCase& c : cases) ExpectTables(c);
}

TEST(LexerStatementsTest, Groups) {
  const TableCase cases[] = {
      {"a :: Idle -> (input -> CheckIPHeader -> output) -> b :: Discard",
       "a:Idle ;@2:<tunnel> ;@2/input:<tunnel> ;@2/output:<tunnel> ;CheckIPHeader@5:CheckIPHeader "
       "b:Discard",
       ";@2/input[0]->;CheckIPHeader@5[0] ;CheckIPHeader@5[0]->;@2/output[0] a[0]->;@2[0] "
       ";@2[0]->b[0]",
       ""},
      // Ports counted from the body; ports after ")" replace the outputs.
      {"a :: Idle; a => (input [0,1] => [1,0] output) [1] -> a",
       "a:Idle ;@2:<tunnel> ;@2/input:<tunnel> ;@2/output:<tunnel>",
       ";@2/input[0]->;@2/output[1] ;@2/input[1]->;@2/output[0] a[0]->;@2[0] a[1]->;@2[1] "
       ";@2[1]->a[0]",
       ""},
      {"g :: Idle; (input [1] -> g) -> g",
       "g:Idle ;@2:<tunnel> ;@2/input:<tunnel> ;@2/output:<tunnel>",
       ";@2/input[1]->g[0] ;@2[0]->g[0]",
       "t.graph:1: '<anonymous group>' input 0 missing\n"
       "t.graph:1: input ports ignored at start of chain\n"},
      {"(output -> input)", ";@1:<tunnel> ;@1/input:<tunnel> ;@1/output:<tunnel>",
       ";@1/output[0]->;@1/input[0]",
       "t.graph:1: '<anonymous group>' pseudoelement 'input' may only be used as output\n"
       "t.graph:1: '<anonymous group>' pseudoelement 'output' may only be used as input\n"},
      {"(a :: Idle; }", ";@1:<tunnel> ;@1/input:<tunnel> ;@1/output:<tunnel> a:Idle", "",
       "t.graph:1: syntax error near '}'\nt.graph:1: syntax error near '}'\n"},
      {"(a :: Idle", ";@1:<tunnel> ;@1/input:<tunnel> ;@1/output:<tunnel> a:Idle", "",
       "t.graph:1: expected ')'\n"},
      {"(a :: Idle) (1)", ";@1:<tunnel> ;@1/input:<tunnel> ;@1/output:<tunnel> a:Idle", "",
       "t.graph:1: configuration string ignored on element reference\n"},
  };
  for (const TableCase& c : cases) ExpectTables(c);
}

// The nesting limit keeps levels finite; the 50th level is refused and its
// statements are read one level up.
TEST(LexerStatementsTest, GroupNestingLimit) {
  const std::string ok = std::string(49, '(') + "a :: Idle" + std::string(49, ')');
  Parse accepted(ok);
  EXPECT_EQ(accepted.messages, "");
  EXPECT_EQ(accepted.lexer.top_compound()->nelements(), 49 * 3 + 1);

  const std::string deep = std::string(50, '(') + "a :: Idle" + std::string(50, ')');
  Parse refused(deep);
  EXPECT_EQ(refused.messages,
            "t.graph:1: maximum element group nesting depth exceeded\n"
            "t.graph:1: syntax error near ')'\n");
}

TEST(LexerStatementsTest, Requirements) {
  struct Case {
    const char* text;
    const char* recorded;
    bool compact;
    const char* messages;
  } cases[] = {
      {"require(foo)", "package=foo;", false, ""},
      {"require(compact_config); require(package \"xy\", bar)",
       "compact_config=;package=xy;package=bar;", true, ""},
      {"require(package); require(compact_config x, package a b, \"\", package \"x y\")", "", false,
       "t.graph:1: syntax error at requirement\nt.graph:1: syntax error at requirement\n"
       "t.graph:1: syntax error at requirement\nt.graph:1: syntax error at requirement\n"
       "t.graph:1: syntax error at requirement\n"},
      {"require(library lib.graph)", "", false,
       "t.graph:1: library 'lib.graph' not found in GRAPHPATH/conf\n"},
      {"elementclass C { require(library lib.graph) }", "", false,
       "t.graph:1: 'require library' must be used at file scope\n"},
      {"require foo; require(a", "package=a;", false,
       "t.graph:1: expected '('\nt.graph:1: undeclared element 'foo'\nt.graph:1: expected ')'\n"},
  };
  for (const Case& c : cases) {
    RecordingExtra extra;
    Parse p(c.text, &extra);
    EXPECT_EQ(p.messages, c.messages) << c.text;
    EXPECT_EQ(extra.seen, c.recorded) << c.text;
    std::string listed;
    const Vector<String>& r = p.lexer.requirements();
    for (int i = 0; i + 1 < r.size(); i += 2) listed += Std(r[i]) + "=" + Std(r[i + 1]) + ";";
    EXPECT_EQ(listed, c.recorded) << c.text;
    EXPECT_EQ(p.lexer.compact(), c.compact) << c.text;
  }
}

TEST(LexerStatementsTest, Define) {
  Parse p("define($a 1, $b two words, a 1, $a 2, $ 3, $x-y 4,, $c)");
  EXPECT_EQ(p.messages,
            "t.graph:1: bad 'define' declaration: not a variable\n"
            "t.graph:1: parameter '$a' multiply defined\n"
            "t.graph:1: bad 'define' declaration: not a variable\n"
            "t.graph:1: bad 'define' declaration: not a variable\n");
  VariableEnvironment& scope = p.lexer.top_compound()->scope();
  ASSERT_EQ(scope.size(), 3);
  EXPECT_EQ(Std(scope.name(0)) + "=" + Std(scope.value(0)), "a=1");
  EXPECT_EQ(Std(scope.name(1)) + "=" + Std(scope.value(1)), "b=two words");
  EXPECT_EQ(Std(scope.name(2)) + "=" + Std(scope.value(2)), "c=");

  Parse missing("define $a 1; a :: Idle");
  EXPECT_EQ(missing.messages,
            "t.graph:1: expected '('\nt.graph:1: syntax error near 'a'\n"
            "t.graph:1: undeclared element '1'\n");
}

// A parse cut short inside a group inside the second alternative of a
// class frees its levels, pending elements and unfinished alternatives.
TEST(LexerStatementsTest, FinishMidParse) {
  Lexer lexer;
  lexer.start_parse(String("a, b :: X; elementclass D { input -> output || $q | input -> (x"),
                    String("t"), nullptr, nullptr);
  for (int i = 0; i < 100 && lexer.parsing(); ++i) {
    if (lexer.current_compound()->nparameters() == 1) break;
    lexer.parse_step();
  }
  ASSERT_TRUE(lexer.parsing());
  ASSERT_NE(lexer.current_compound(), lexer.top_compound());
  lexer.finish_parse(LexerTables::kNoEntry);
  EXPECT_FALSE(lexer.parsing());
  EXPECT_EQ(lexer.top_compound(), nullptr);
  EXPECT_EQ(lexer.class_index(String("X")), -1);
  EXPECT_EQ(lexer.class_index(String("D")), -1);
}

}  // namespace
