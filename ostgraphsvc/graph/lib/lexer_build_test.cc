#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "graph/lexer.h"
#include "graph/router.h"
#include "ostgraphsvc/graph/lib/graph_testing.h"

namespace {

using graph_testing::Messages;
using graph_testing::Std;

String Str(const std::string& s) { return String(s.data(), static_cast<int>(s.size())); }

// Knows its class name only through the thunk its factory was given.
class NamedElement : public Element {
 public:
  explicit NamedElement(const char* name) : name_(name) {}
  const char* class_name() const override { return name_; }

 private:
  const char* name_;
};

Element* make_named(uintptr_t thunk) {
  return new NamedElement(reinterpret_cast<const char*>(thunk));
}
Element* make_none(uintptr_t) { return nullptr; }

// One parse of a text with test classes registered, built into a Router.
class Build {
 public:
  explicit Build(const std::string& text) {
    for (const char* name : {"Source", "Sink", "Check", "Queue"})
      lexer.add_class(String(name), make_named, reinterpret_cast<uintptr_t>(name), false);
    lexer.add_class(String("Broken"), make_none, 0, false);
    const int cookie = lexer.start_parse(Str(text), String("t.graph"), nullptr, messages_.errh());
    for (size_t steps = 0; lexer.parsing(); ++steps) {
      if (steps > 100 * (text.size() + 10)) {
        ADD_FAILURE() << "parse does not end: " << text;
        break;
      }
      lexer.parse_step();
    }
    router.reset(lexer.build_router(nullptr));
    lexer.finish_parse(cookie);
    messages = messages_.text();
  }

  // "name:Class" per element, with "(config)" when it has one.
  std::string elements() const {
    std::string out;
    for (int i = 0; i < router->nelements(); ++i) {
      if (!out.empty()) out += ' ';
      out += Std(router->ename(i)) + ":" + router->element(i)->class_name();
      if (!router->econfiguration(i).empty()) out += "(" + Std(router->econfiguration(i)) + ")";
    }
    return out;
  }

  // "from[port]->to[port]" per connection, in the router's order.
  std::string connections() const {
    std::string out;
    for (const Router::Connection& k : router->connections()) {
      if (!out.empty()) out += ' ';
      out += Std(router->ename(k.from_eindex)) + "[" + std::to_string(k.from_port) + "]->" +
             Std(router->ename(k.to_eindex)) + "[" + std::to_string(k.to_port) + "]";
    }
    return out;
  }

  Lexer lexer;
  std::unique_ptr<Router> router;
  std::string messages;

 private:
  Messages messages_;
};

struct BuildCase {
  const char* text;
  const char* elements;
  const char* connections;
  const char* messages;
};

void ExpectBuild(const BuildCase& c) {
  Build b(c.text);
  ASSERT_NE(b.router, nullptr) << c.text;
  EXPECT_EQ(b.elements(), c.elements) << c.text;
  EXPECT_EQ(b.connections(), c.connections) << c.text;
  EXPECT_EQ(b.messages, c.messages) << c.text;
}

TEST(LexerBuildTest, FlattensChainsCompoundsAndGroups) {
  // Connections are listed as the router holds them: sorted by input end.
  const BuildCase cases[] = {
      {"a :: Check; b :: Sink; a -> b", "a:Check b:Sink", "a[0]->b[0]", ""},
      {"s :: Source; s [1] -> Sink; s [0] -> q :: Queue -> Sink",
       "s:Source Sink@2:Sink q:Queue Sink@4:Sink", "s[1]->Sink@2[0] s[0]->q[0] q[0]->Sink@4[0]",
       ""},
      // Tunnel elements c, c/input and c/output are not created.
      {"elementclass C { input -> Check -> output }; x :: Source; y :: Sink; x -> c :: C -> y",
       "x:Source y:Sink c/Check@1:Check", "c/Check@1[0]->y[0] x[0]->c/Check@1[0]", ""},
      {"elementclass C { $v | input -> iprw :: Check(A $v) -> output };"
       "x :: Source; x -> nat :: C(5) -> Sink",
       "x:Source Sink@3:Sink nat/iprw:Check(A 5)", "nat/iprw[0]->Sink@3[0] x[0]->nat/iprw[0]", ""},
      {"elementclass In { input -> q :: Queue -> output };"
       "elementclass Out { input -> n :: In -> output };"
       "Source -> m :: Out -> Sink",
       "Source@1:Source Sink@3:Sink m/n/q:Queue", "m/n/q[0]->Sink@3[0] Source@1[0]->m/n/q[0]", ""},
      // Ports pass through a compound's tunnels by number.
      {"elementclass Two { input [0, 1] => [1, 0] s :: Queue; s [0, 1] => output };"
       "a :: Source; a [0, 1] => [0, 1] t :: Two [0, 1] => [0, 1] b :: Sink",
       "a:Source b:Sink t/s:Queue", "t/s[0]->b[0] t/s[1]->b[1] a[1]->t/s[0] a[0]->t/s[1]", ""},
      {"a :: Source; b :: Sink; a -> (input -> Check -> output) -> b",
       "a:Source b:Sink Check@6:Check", "Check@6[0]->b[0] a[0]->Check@6[0]", ""},
      // A group inside a compound body becomes tunnels of the placed copy.
      {"elementclass G { input -> (input -> q :: Queue -> output) -> output };"
       "Source -> g :: G -> Sink",
       "Source@1:Source Sink@3:Sink g/q:Queue", "g/q[0]->Sink@3[0] Source@1[0]->g/q[0]", ""},
      {"elementclass Wire { input -> output }; a :: Source -> Wire -> b :: Sink", "a:Source b:Sink",
       "a[0]->b[0]", ""},
      // Parameters of the outer use reach the inner use's configuration.
      {"elementclass In { $r | input -> Queue($r) -> output };"
       "elementclass L { $rate | input -> In($rate) -> output };"
       "Source -> L(9) -> Sink",
       "Source@1:Source Sink@3:Sink L@2/In@1/Queue@1:Queue(9)",
       "L@2/In@1/Queue@1[0]->Sink@3[0] Source@1[0]->L@2/In@1/Queue@1[0]", ""},
  };
  for (const BuildCase& c : cases) ExpectBuild(c);
}

TEST(LexerBuildTest, RouterKeepsNamesConfigurationsAndLandmarks) {
  Build b(
      "define($n 3);\nelementclass C { input -> k :: Check($n) -> output }\n"
      "s :: Source(1, 2)\n  -> c :: C\n  -> Sink;");
  ASSERT_NE(b.router, nullptr);
  EXPECT_EQ(b.messages, "");
  ASSERT_EQ(b.router->nelements(), 3);
  EXPECT_EQ(b.elements(), "s:Source(1, 2) Sink@3:Sink c/k:Check(3)");
  EXPECT_EQ(Std(b.router->element_landmark(0)), "t.graph:3");
  EXPECT_EQ(Std(b.router->element_landmark(1)), "t.graph:5");
  EXPECT_EQ(Std(b.router->element_landmark(2)), "t.graph:2");
  const Router::Connection expected[] = {{1, 0, 2, 0}, {2, 0, 0, 0}};
  ASSERT_EQ(b.router->connections().size(), 2);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(b.router->connections()[i], expected[i]) << i;
  EXPECT_TRUE(b.router->keeps_configuration());
  EXPECT_EQ(Std(b.router->configuration()).substr(0, 13), "define($n 3);");
}

TEST(LexerBuildTest, Requirements) {
  Build b("require(compact_config); require(package \"p\"); Source -> Sink");
  ASSERT_NE(b.router, nullptr);
  ASSERT_EQ(b.router->requirements().size(), 4);
  EXPECT_EQ(Std(b.router->requirements()[0]), "compact_config");
  EXPECT_EQ(Std(b.router->requirements()[2]), "package");
  EXPECT_FALSE(b.router->keeps_configuration());
  EXPECT_EQ(Std(b.router->configuration()), "");
}

TEST(LexerBuildTest, UnusedAndMisusedPorts) {
  const BuildCase cases[] = {
      {"elementclass C { input -> Check -> output }; Source -> [1] c :: C -> Sink",
       "Source@1:Source Sink@3:Sink c/Check@1:Check", "c/Check@1[0]->Sink@3[0]",
       "t.graph:1: 'c' has no input 1\nt.graph:1: 'c' input 0 unused\n"},
      {"elementclass C { input [0, 1] => [0, 1] q :: Queue -> output };"
       "Source -> c :: C -> Sink",
       "Source@1:Source Sink@3:Sink c/q:Queue", "c/q[0]->Sink@3[0] Source@1[0]->c/q[0]",
       "t.graph:1: 'c' input 1 unused\n"},
      {"elementclass C { input -> q :: Queue -> output };"
       "Source -> c :: C; c [1] -> Sink",
       "Source@1:Source Sink@3:Sink c/q:Queue", "Source@1[0]->c/q[0]",
       "t.graph:1: 'c' has no output 1\nt.graph:1: 'c' output 0 unused\n"},
  };
  for (const BuildCase& c : cases) ExpectBuild(c);
}

TEST(LexerBuildTest, TunnelCycleContributesNothing) {
  // w's output feeds w's input through a body that joins them: no real end.
  Build b("elementclass Wire { input -> output }; w :: Wire; w -> w; a :: Source -> b :: Sink");
  ASSERT_NE(b.router, nullptr);
  EXPECT_EQ(b.messages, "");
  EXPECT_EQ(b.elements(), "a:Source b:Sink");
  EXPECT_EQ(b.connections(), "a[0]->b[0]");
}

TEST(LexerBuildTest, FailedElementsAreLeftOut) {
  const BuildCase cases[] = {
      {"s :: Source; x :: Broken(7); s -> x -> q :: Queue -> Sink", "s:Source q:Queue Sink@4:Sink",
       "q[0]->Sink@4[0]", "t.graph:1: failed to create element 'x'\n"},
      {"Source -> n :: Nowhere -> Sink", "Source@1:Source n:Error Sink@3:Sink",
       "Source@1[0]->n[0] n[0]->Sink@3[0]", "t.graph:1: unknown element class 'Nowhere'\n"},
      {"elementclass C { input -> output };\ns :: Source; s -> c :: C(1, 2) -> Sink",
       "s:Source c:Error(1, 2) Sink@3:Sink", "s[0]->c[0] c[0]->Sink@3[0]",
       "t.graph:2: no match for 'C[2 arguments, 1 input, 1 output]'\n"
       "t.graph:1: candidates are:\n"
       "t.graph:1:   C[1 input, 1 output]\n"},
  };
  for (const BuildCase& c : cases) ExpectBuild(c);
}

TEST(LexerBuildTest, SelfReferringCompoundIsRefused) {
  // In the third alternative "A" names the second, whose next alternative
  // is the third again.
  Build b(
      "elementclass A { input -> Sink || input -> Sink ||\n"
      "  input -> x :: A -> output }\n"
      "Source -> a :: A -> Sink");
  ASSERT_NE(b.router, nullptr);
  EXPECT_EQ(b.messages, "t.graph:2: maximum compound element nesting depth exceeded\n");
  std::string deepest = "a";
  for (int i = 0; i < 49; ++i) deepest += "/x";
  EXPECT_EQ(b.elements(), "Source@1:Source Sink@3:Sink " + deepest + ":Error");
  EXPECT_EQ(b.connections(), deepest + "[0]->Sink@3[0] Source@1[0]->" + deepest + "[0]");
}

TEST(LexerBuildTest, DeepestAcceptedNestingBuilds) {
  std::string inner = "input -> Queue -> output";
  for (int i = 0; i < 48; ++i) inner = "input -> {" + inner + "} -> output";
  Build b("Source -> {" + inner + "} -> Sink");
  ASSERT_NE(b.router, nullptr);
  EXPECT_EQ(b.messages, "");
  EXPECT_EQ(b.router->nelements(), 3);
  EXPECT_EQ(b.router->connections().size(), 2);
}

TEST(LexerBuildTest, RedeclarationWhilePlacing) {
  Build b(
      "elementclass C { input -> q :: Queue -> output }\n"
      "c/q :: Check; Source -> c :: C -> c/q -> Sink");
  ASSERT_NE(b.router, nullptr);
  EXPECT_EQ(b.messages,
            "t.graph:2: redeclaration of element 'c/q'\n"
            "t.graph:2: 'c/q' previously declared here\n"
            "t.graph:2: 'c' has no input 0\n"
            "t.graph:2: 'c' has no output 0\n");
  EXPECT_EQ(b.elements(), "c/q:Check Source@2:Source Sink@4:Sink");
  EXPECT_EQ(b.connections(), "c/q[0]->Sink@4[0]");
}

TEST(LexerBuildTest, FinishParseRemovesTheTextsClasses) {
  Build b("elementclass C { input -> output }; Source -> C -> Mystery -> Sink");
  EXPECT_EQ(b.lexer.class_index(String("C")), -1);
  EXPECT_EQ(b.lexer.class_index(String("Mystery")), -1);
  EXPECT_GE(b.lexer.class_index(String("Source")), 0);
  EXPECT_EQ(b.lexer.top_compound(), nullptr);
  EXPECT_TRUE(b.lexer.tunnel_lists().empty());
  EXPECT_TRUE(b.lexer.requirements().empty());
  // The next parse reuses the freed entries.
  const int before = b.lexer.nclass_entries();
  const int cookie = b.lexer.start_parse(String("elementclass D { input -> output }; X -> D"),
                                         String(), nullptr, nullptr);
  while (b.lexer.parsing()) b.lexer.parse_step();
  EXPECT_EQ(b.lexer.nclass_entries(), before);
  EXPECT_GE(b.lexer.class_index(String("D")), 0);
  b.lexer.finish_parse(cookie);
  EXPECT_EQ(b.lexer.class_index(String("D")), -1);
}

}  // namespace

namespace {

// Each class uses the one before twice: 2^20 elements from a few lines.
TEST(LexerBuildTest, MultiplyingCompoundsAreBounded) {
  std::string text = "elementclass C0 { input -> Queue -> output }\n";
  for (int i = 1; i <= 20; ++i) {
    text += "elementclass C" + std::to_string(i) + " { input -> C" + std::to_string(i - 1) +
            " -> C" + std::to_string(i - 1) + " -> output }\n";
  }
  text += "Source -> C20 -> Sink;\n";
  Build build(text);
  EXPECT_NE(build.messages.find("too many elements in configuration"), std::string::npos);
  ASSERT_NE(build.router, nullptr);
  EXPECT_LT(build.router->nelements(), 200000);
}

}  // namespace
