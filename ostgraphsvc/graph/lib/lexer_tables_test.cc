#include "graph/lexer_tables.h"

#include <gtest/gtest.h>

#include <cctype>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "graph/error_handler.h"
#include "ostgraphsvc/graph/lib/graph_testing.h"

namespace {

using graph_testing::Messages;
using graph_testing::Std;

constexpr int kIdentifier = 256;
constexpr int kVariable = 257;
constexpr int kArrow = 258;
constexpr int kDoubleArrow = 259;

// Fills the reader hooks from a word/character tokenizer and a fixed
// position, and reads into its own top-level compound.
class TestTables : public LexerTables {
 public:
  TestTables() : top_(std::make_unique<Compound>(String())) { compound_ = top_.get(); }

  void set_input(const std::string& text) {
    tokens_.clear();
    next_ = 0;
    for (size_t i = 0; i < text.size();) {
      const char c = text[i];
      if (std::isspace(static_cast<unsigned char>(c))) {
        ++i;
        continue;
      }
      const bool variable = c == '$';
      size_t j = variable ? i + 1 : i;
      while (j < text.size() && (std::isalnum(static_cast<unsigned char>(text[j])) ||
                                 text[j] == '_' || text[j] == '@'))
        ++j;
      if (j == (variable ? i + 1 : i)) {
        tokens_.push_back({static_cast<unsigned char>(c), std::string(1, c)});
        ++i;
        continue;
      }
      if (variable)
        tokens_.push_back({kVariable, text.substr(i + 1, j - i - 1)});
      else
        tokens_.push_back({kIdentifier, text.substr(i, j - i)});
      i = j;
    }
  }
  // The texts of the tokens left, variables with their '$'.
  std::string rest() {
    std::string out;
    String text;
    while (int kind = reader_next_token(text))
      out += kind == kVariable ? "$" + Std(text) : Std(text);
    return out;
  }

  Compound* top() { return top_.get(); }
  void enter(Compound* c) { compound_ = c; }
  std::string messages() { return messages_.text(); }
  std::string file = "t.graph";
  int line = 3;

 protected:
  String reader_file_name() const override {
    return String(file.data(), static_cast<int>(file.size()));
  }
  int reader_line_number() const override { return line; }
  ErrorHandler* reader_errh() const override { return const_cast<Messages&>(messages_).errh(); }
  int reader_next_token(String& text) override {
    if (!pushed_.empty()) {
      auto [kind, t] = pushed_.back();
      pushed_.pop_back();
      text = String(t.data(), static_cast<int>(t.size()));
      return kind;
    }
    if (next_ >= tokens_.size()) {
      text = String();
      return 0;
    }
    const auto& [kind, t] = tokens_[next_++];
    text = String(t.data(), static_cast<int>(t.size()));
    return kind;
  }
  void reader_push_back(int kind, const String& text) override {
    pushed_.emplace_back(kind, Std(text));
  }
  bool reader_accept(int kind) override {
    String text;
    const int got = reader_next_token(text);
    if (got == kind) return true;
    reader_push_back(got, text);
    return false;
  }

 private:
  std::unique_ptr<Compound> top_;
  std::vector<std::pair<int, std::string>> tokens_;
  size_t next_ = 0;
  std::vector<std::pair<int, std::string>> pushed_;
  Messages messages_;
};

// Notes its own release.
class WatchedCompound : public LexerTables::Compound {
 public:
  WatchedCompound(const String& name, bool* released) : Compound(name), released_(released) {}
  ~WatchedCompound() override { *released_ = true; }

 private:
  bool* released_;
};

Element* registered_factory(uintptr_t) { return new ErrorElement; }

TEST(LexerTablesTest, ShadowingAndRemovalRestoreNames) {
  TestTables t;
  EXPECT_EQ(t.class_index("<tunnel>"), 0);
  EXPECT_EQ(t.class_index("Error"), 1);
  const int reg = t.add_class("Queue", registered_factory, 7, false);
  const int outer = t.add_class("Queue", LexerTables::error_element_factory, 0, true);
  const int inner = t.add_class("Queue", LexerTables::error_element_factory, 0, true);
  const int other = t.add_class("Tee", LexerTables::error_element_factory, 0, true);
  EXPECT_EQ(t.class_index("Queue"), inner);
  EXPECT_TRUE(t.class_entry(inner).scoped());
  EXPECT_FALSE(t.class_entry(reg).scoped());

  // A hint that does not refer to the entry falls back to the walk.
  int wrong = 0;
  EXPECT_EQ(t.remove_class(inner, &wrong), 0);
  EXPECT_EQ(t.class_index("Queue"), outer);
  EXPECT_EQ(t.remove_class(inner), -1);
  EXPECT_EQ(t.remove_class(99), -1);
  EXPECT_EQ(t.remove_class(-1), -1);

  // The freed index is handed out again.
  EXPECT_EQ(t.add_class("Queue", LexerTables::error_element_factory, 0, true), inner);
  t.remove_scoped_classes();
  EXPECT_EQ(t.class_index("Queue"), reg);
  EXPECT_EQ(t.class_index("Tee"), -1);
  EXPECT_EQ(t.class_entry(other).factory, nullptr);
  EXPECT_EQ(t.class_entry(reg).thunk, 7u);

  // Removing the last entry of a name erases the name.
  EXPECT_EQ(t.remove_class(reg), 0);
  EXPECT_EQ(t.class_index("Queue"), -1);
  Vector<String> names;
  t.class_names(names);
  ASSERT_EQ(names.size(), 1);
  EXPECT_EQ(Std(names[0]), "Error");
  // The list of live entries survived every unlink; the last freed index
  // comes first.
  EXPECT_EQ(t.add_class("Later", registered_factory, 0, true), reg);
  t.remove_scoped_classes();
  EXPECT_EQ(t.class_index("Later"), -1);
  EXPECT_EQ(t.class_index("Error"), 1);
}

TEST(LexerTablesTest, UnknownClassGetsOnePlaceholderAndOneMessage) {
  TestTables t;
  const int first = t.find_or_add_class("Frob", true);
  EXPECT_EQ(t.find_or_add_class("Frob", true), first);
  EXPECT_EQ(t.messages(), "t.graph:3: unknown element class 'Frob'\n");
  EXPECT_TRUE(t.class_entry(first).scoped());
  EXPECT_EQ(t.class_entry(first).factory, LexerTables::error_element_factory);
  const int quiet = t.find_or_add_class("Other", false);
  EXPECT_NE(quiet, first);
  EXPECT_EQ(t.find_or_add_class("Error", true), 1);
  EXPECT_EQ(t.messages(), "t.graph:3: unknown element class 'Frob'\n");
}

TEST(LexerTablesTest, SharedCompoundIsReleasedWithItsLastEntry) {
  bool released = false;
  {
    TestTables t;
    auto* c = new WatchedCompound("Pair", &released);
    const uintptr_t thunk = reinterpret_cast<uintptr_t>(c);
    const int a = t.add_class("Pair", LexerTables::compound_factory, thunk, true);
    const int b = t.add_class("Synonym", LexerTables::compound_factory, thunk, true);
    EXPECT_EQ(t.class_compound(b), c);
    EXPECT_EQ(t.class_compound(1), nullptr);
    EXPECT_EQ(t.remove_class(a), 0);
    EXPECT_FALSE(released);
    EXPECT_EQ(t.remove_class(b), 0);
    EXPECT_TRUE(released);

    // Entries still live when the tables go release theirs too.
    released = false;
    auto* d = new WatchedCompound("Kept", &released);
    t.add_class("Kept", LexerTables::compound_factory, reinterpret_cast<uintptr_t>(d), false);
    t.add_class("Also", LexerTables::compound_factory, reinterpret_cast<uintptr_t>(d), false);
  }
  EXPECT_TRUE(released);
}

TEST(LexerTablesTest, CompoundCastAnswersItsOwnNames) {
  LexerTables::Compound c("Limiter");
  EXPECT_STREQ(c.class_name(), "Limiter");
  EXPECT_EQ(c.cast("Lexer::Compound"), &c);
  EXPECT_EQ(c.cast("Limiter"), &c);
  EXPECT_EQ(c.cast("Other"), nullptr);
}

TEST(LexerTablesTest, ElementsKeepTheirFirstDeclaration) {
  TestTables t;
  const int q = t.find_or_add_class("Queue", false);
  EXPECT_EQ(t.find_or_add_element("q", q, "10", String(), 0), 0);
  t.line = 9;
  EXPECT_EQ(t.find_or_add_element("r", q, String(), "lib.graph", 40), 1);
  EXPECT_EQ(t.find_or_add_element("q", 1, "20", "x", 1), 0);
  LexerTables::Compound* c = t.top();
  EXPECT_EQ(c->nelements(), 2);
  EXPECT_EQ(c->element_class(0), q);
  EXPECT_EQ(Std(c->element_config(0)), "10");
  EXPECT_EQ(Std(t.element_position(0)), "t.graph:3");
  EXPECT_EQ(Std(t.element_position(1)), "lib.graph:40");
  EXPECT_EQ(c->element_ninputs(0), 0);
  EXPECT_EQ(t.messages(), "");
}

TEST(LexerTablesTest, AllDigitComponentsAreReportedButAdded) {
  const struct {
    const char* name;
    bool reported;
  } cases[] = {{"a/1", true}, {"12", true}, {"a//b", true}, {"a1/b", false}, {"x_0/y", false}};
  for (const auto& c : cases) {
    TestTables t;
    EXPECT_EQ(t.find_or_add_element(c.name, 1, String(), String(), 0), 0) << c.name;
    const std::string expected = c.reported ? "t.graph:3: element name '" + std::string(c.name) +
                                                  "' has all-digit component\n"
                                            : "";
    EXPECT_EQ(t.messages(), expected) << c.name;
  }
}

TEST(LexerTablesTest, AnonymousNamesSettleToFreeNumbers) {
  TestTables t;
  const int print = t.find_or_add_class("Print", false);
  const String p1 = t.anonymous_element_name("Print");
  t.find_or_add_element(p1, print, String(), String(), 0);
  const String d2 = t.anonymous_element_name("Discard");
  t.find_or_add_element(d2, print, String(), String(), 0);
  EXPECT_EQ(Std(p1), ";Print@1");
  EXPECT_EQ(Std(d2), ";Discard@2");
  LexerTables::Compound* c = t.top();
  EXPECT_EQ(Std(c->settle_anonymous_name(0)), "Print@1");
  EXPECT_EQ(Std(c->settle_anonymous_name(1)), "Discard@2");

  // Explicit names take the numbers the anonymous element would get.
  t.find_or_add_element("Print@4", print, String(), String(), 0);
  const String p4 = t.anonymous_element_name("Print");
  EXPECT_EQ(Std(p4), ";Print@4");
  const int e = t.find_or_add_element(p4, print, String(), String(), 0);
  t.find_or_add_element("Print@5", print, String(), String(), 0);
  EXPECT_EQ(Std(c->settle_anonymous_name(e)), "Print@6");
  EXPECT_EQ(Std(c->element_name(e)), "Print@6");
  EXPECT_EQ(c->element_map().find("Print@6")->value, e);
  EXPECT_EQ(c->element_map().find(";Print@4")->value, e);

  // Class bodies number after their two pseudoelements.
  LexerTables::Compound body("Two");
  t.enter(&body);
  t.find_or_add_element("input", 0, String(), String(), 0);
  t.find_or_add_element("output", 0, String(), String(), 0);
  body.set_anonymous_offset(2);
  EXPECT_EQ(Std(t.anonymous_element_name("Print")), ";Print@1");
  EXPECT_EQ(t.messages(), "");
}

TEST(LexerTablesTest, DisplayNamesAndPositions) {
  TestTables t;
  const int kept = t.add_class("Kept", registered_factory, 0, true);
  const int gone = t.add_class("Gone", registered_factory, 0, true);
  t.find_or_add_element("named", kept, String(), String(), 0);
  EXPECT_EQ(Std(t.element_display_name(0)), "named");
  EXPECT_EQ(Std(t.element_position(0)), "t.graph:3");
  EXPECT_EQ(Std(t.element_display_name(-1)), "##no-such-element##");
  EXPECT_EQ(Std(t.element_display_name(1)), "##no-such-element##");
  EXPECT_EQ(Std(t.element_position(1)), "##no-such-element##");

  // Unnamed elements, one per compound.
  t.remove_class(gone);
  const struct {
    int class_index;
    const char* file;
    int line;
    const char* display;
    const char* position;
  } cases[] = {
      {0, "lib.graph:", 5, "<tunnel@0>", "lib.graph:5"},
      {kept, "lib.graph", 0, "Kept@0", "lib.graph"},
      {gone, "", 0, "<null@0>", "<unknown>"},
  };
  for (const auto& c : cases) {
    LexerTables::Compound compound{String()};
    t.enter(&compound);
    t.file = c.file;
    t.line = c.line;
    t.find_or_add_element(String(), c.class_index, String(), String(), 0);
    EXPECT_EQ(Std(t.element_display_name(0)), c.display);
    EXPECT_EQ(Std(t.element_position(0)), c.position);
  }
}

TEST(LexerTablesTest, LandmarksAndRedeclarations) {
  EXPECT_EQ(Std(make_landmark("ostrel.graph", 12)), "ostrel.graph:12");
  EXPECT_EQ(Std(make_landmark("f", 0)), "f");
  EXPECT_EQ(Std(make_landmark("", 12)), ":12");
  EXPECT_EQ(Std(make_landmark("f:", 2)), "f:2");
  EXPECT_EQ(Std(make_landmark("f ", 2)), "f 2");
  Messages m;
  report_redeclaration(m.errh(), "", "x", "a:1", "b:2");
  EXPECT_EQ(m.text(), "a:1: redeclaration of 'x'\nb:2: 'x' previously declared here\n");
  EXPECT_EQ(m.errh()->error_count(), 2);
}

TEST(LexerTablesTest, ConnectionsRaisePortCounts) {
  TestTables t;
  t.find_or_add_element("a", 1, String(), String(), 0);
  t.find_or_add_element("b", 1, String(), String(), 0);
  LexerTables::Compound* c = t.top();
  c->add_connection(0, 2, 1, -4);
  c->add_connection(0, 0, 1, 1);
  c->add_connection(0, 0, 7, 1);
  ASSERT_EQ(c->connections().size(), 2);
  const LexerTables::Connection& k = c->connections()[0];
  EXPECT_EQ((std::vector<int>{k.to_element, k.to_port, k.from_element, k.from_port}),
            (std::vector<int>{1, 0, 0, 2}));
  EXPECT_EQ(c->element_noutputs(0), 3);
  EXPECT_EQ(c->element_ninputs(1), 2);
  EXPECT_EQ(c->element_ninputs(0), 0);
}

TEST(LexerTablesTest, TunnelTriplePairsEndpointsAtTheTopLevel) {
  TestTables t;
  t.find_or_add_element("z", 1, String(), String(), 0);
  int g, in, out;
  t.add_tunnel_triple("g", g, in, out);
  EXPECT_EQ((std::vector<int>{g, in, out}), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(Std(t.top()->element_name(in)), "g/input");
  EXPECT_EQ(t.top()->element_class(out), 0);

  // Into g comes out of g/input; into g/output comes out of g.
  LexerTables::TunnelEndpoint* g_in = t.find_tunnel_endpoint(g, 0, false, false);
  ASSERT_NE(g_in, nullptr);
  ASSERT_NE(g_in->partner, nullptr);
  EXPECT_EQ(g_in->partner->element, in);
  EXPECT_TRUE(g_in->partner->output);
  LexerTables::TunnelEndpoint* o_in = t.find_tunnel_endpoint(out, 0, false, false);
  ASSERT_NE(o_in, nullptr);
  EXPECT_EQ(o_in->partner, t.find_tunnel_endpoint(g, 0, true, false));
  EXPECT_EQ(o_in->partner->partner, o_in);

  // Other port numbers follow the port-0 tunnel.
  LexerTables::TunnelEndpoint* g3 = t.find_tunnel_endpoint(g, 3, false, false);
  ASSERT_NE(g3, nullptr);
  ASSERT_NE(g3->partner, nullptr);
  EXPECT_EQ((std::vector<int>{g3->partner->element, g3->partner->port}), (std::vector<int>{in, 3}));
  EXPECT_EQ(g3->partner->partner, g3);
  EXPECT_EQ(t.find_tunnel_endpoint(in, 3, true, false), g3->partner);
  EXPECT_EQ(t.find_tunnel_endpoint(g, 3, false, false), g3);
  // No tunnel: nothing without create, a fresh unpaired end with it.
  EXPECT_EQ(t.find_tunnel_endpoint(0, 0, false, false), nullptr);
  LexerTables::TunnelEndpoint* fresh = t.find_tunnel_endpoint(0, 2, true, true);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(fresh->partner, nullptr);
  EXPECT_EQ(t.find_tunnel_endpoint(0, 5, true, false), nullptr);

  const Vector<LexerTables::TunnelList>& lists = t.tunnel_lists();
  ASSERT_EQ(lists.size(), 4);
  for (int i = 0; i < lists.size(); ++i) EXPECT_EQ(lists[i].element, i);
  EXPECT_EQ(t.messages(), "");

  // The same tunnel twice keeps the first pairing.
  t.line = 8;
  t.add_tunnel_triple("g", g, in, out);
  EXPECT_EQ(t.messages(),
            "t.graph:8: redeclaration of connection tunnel 'g'\n"
            "t.graph:3: 'g' previously declared here\n");
  EXPECT_EQ(t.find_tunnel_endpoint(g, 0, false, false), g_in);
  t.clear_tunnels();
  EXPECT_EQ(t.tunnel_lists().size(), 0);
}

TEST(LexerTablesTest, TunnelTripleRefusesOrdinaryElementsAndSkipsClassBodies) {
  TestTables t;
  t.find_or_add_element("g/output", 1, String(), String(), 0);
  t.line = 4;
  int g, in, out;
  t.add_tunnel_triple("g", g, in, out);
  EXPECT_EQ(out, 0);
  EXPECT_EQ(t.messages(),
            "t.graph:4: redeclaration of element 'g/output'\n"
            "t.graph:3: 'g/output' previously declared here\n");
  EXPECT_EQ(t.tunnel_lists().size(), 0);

  LexerTables::Compound body("C");
  t.enter(&body);
  t.find_or_add_element("input", 0, String(), String(), 0);
  t.find_or_add_element("output", 0, String(), String(), 0);
  body.set_anonymous_offset(2);
  t.add_tunnel_triple("h", g, in, out);
  EXPECT_EQ((std::vector<int>{g, in, out}), (std::vector<int>{2, 3, 4}));
  EXPECT_EQ(t.tunnel_lists().size(), 0);
}

// The output side of a fresh record after reading `text`, and the tokens
// left.
TEST(LexerPortsTest, PortLists) {
  const struct {
    const char* text;
    std::vector<int> ports;
    const char* messages;
    const char* rest;
  } cases[] = {
      {"x", {}, "", "x"},
      {"[0-3]", {0, 1, 2, 3}, "", ""},
      {"[3-1]", {3}, "", ""},
      {"[1, 4-5, 0]", {1, 4, 5, 0}, "", ""},
      {"[]", {0, -1}, "", ""},
      {"[2,]", {2, -1}, "", ""},
      {"[2-]", {2, -1}, "", ""},
      {"[0x10] ->", {16}, "", "->"},
      {"[0b11, 010]", {3, 8}, "", ""},
      {"[0 1]", {0, 1}, "t.graph:3: syntax error: expected ','\n", ""},
      {"[x]", {0}, "t.graph:3: syntax error: port number should be integer\n", ""},
      {"[$p]", {}, "t.graph:3: syntax error: expected port number\n", "$p]"},
      {"[1-2-3]",
       {1, 2},
       "t.graph:3: syntax error: expected ','\nt.graph:3: syntax error: expected port number\n",
       "-3]"},
      {"[1",
       {1},
       "t.graph:3: syntax error: expected ','\nt.graph:3: syntax error: expected port number\n",
       ""},
      {"[65535]", {65535}, "", ""},
      {"[65536, 1]", {0, 1}, "t.graph:3: port number too large\n", ""},
      {"[0-2147483647]", {0}, "t.graph:3: port number too large\n", ""},
      {"[99999999999]", {0}, "t.graph:3: syntax error: port number should be integer\n", ""},
  };
  for (const auto& c : cases) {
    TestTables t;
    t.set_input(c.text);
    Vector<int> section;
    for (int v : {9, 1, 0, 7}) section.push_back(v);
    section.push_back(5);
    section.push_back(0);
    section.push_back(0);
    t.parse_port_list(section, 4, true);
    std::vector<int> ports(section.begin() + 7, section.end());
    EXPECT_EQ(ports, c.ports) << c.text;
    EXPECT_EQ(section[6], static_cast<int>(c.ports.size())) << c.text;
    EXPECT_EQ(t.messages(), c.messages) << c.text;
    EXPECT_EQ(t.rest(), c.rest) << c.text;
  }
}

TEST(LexerPortsTest, InputPortsGoBeforeOutputPorts) {
  TestTables t;
  t.set_input("[1] [2-3]");
  Vector<int> section;
  for (int v : {4, 0, 0}) section.push_back(v);
  t.parse_port_list(section, 0, true);
  t.parse_port_list(section, 0, false);
  EXPECT_EQ(std::vector<int>(section.begin(), section.end()), (std::vector<int>{4, 2, 1, 2, 3, 1}));
  // "[]" after entries on the same side only marks the list expandable.
  t.set_input("[]");
  t.parse_port_list(section, 0, true);
  EXPECT_EQ(std::vector<int>(section.begin(), section.end()),
            (std::vector<int>{4, 2, 2, 2, 3, 1, -1}));
}

struct Rec {
  char element;
  std::vector<int> inputs;
  std::vector<int> outputs;
};

// Elements a-e are 0-4.
Vector<int> section(std::initializer_list<Rec> records) {
  Vector<int> s;
  for (const Rec& r : records) {
    s.push_back(r.element - 'a');
    s.push_back(static_cast<int>(r.inputs.size()));
    s.push_back(static_cast<int>(r.outputs.size()));
    for (int p : r.inputs) s.push_back(p);
    for (int p : r.outputs) s.push_back(p);
  }
  return s;
}

TEST(LexerPortsTest, ConnectSections) {
  const std::string many = "t.graph:3: syntax error: many-to-many connections require '=>'\n";
  const struct {
    const char* what;
    Vector<int> left;
    Vector<int> right;
    int connector;
    const char* connections;
    std::string messages;
  } cases[] = {
      {"a [1] -> [2] b", section({{'a', {}, {1}}}), section({{'b', {2}, {}}}), kArrow, "a1>2b ",
       ""},
      {"a -> b, c", section({{'a', {}, {}}}), section({{'b', {}, {}}, {'c', {}, {}}}), kArrow,
       "a0>0b a0>0c ", ""},
      {"a, b -> c", section({{'a', {}, {}}, {'b', {}, {}}}), section({{'c', {}, {}}}), kArrow,
       "a0>0c b0>0c ", ""},
      {"a, b -> c, d", section({{'a', {}, {}}, {'b', {}, {}}}),
       section({{'c', {}, {}}, {'d', {}, {}}}), kArrow, "a0>0c b0>0d ", many},
      {"a, b => c, d, e", section({{'a', {}, {}}, {'b', {}, {}}}),
       section({{'c', {}, {}}, {'d', {}, {}}, {'e', {}, {}}}), kDoubleArrow, "a0>0c b0>0d ",
       "t.graph:3: connection mismatch: 2 outputs connected to 3 inputs\n"},
      {"a, b, c => d", section({{'a', {}, {}}, {'b', {}, {}}, {'c', {}, {}}}),
       section({{'d', {}, {}}}), kDoubleArrow, "a0>0d b0>1d c0>2d ", ""},
      {"a, b => c", section({{'a', {}, {}}, {'b', {}, {}}}), section({{'c', {}, {}}}), kDoubleArrow,
       "a0>0c b0>1c ", ""},
      {"a => b, c", section({{'a', {}, {}}}), section({{'b', {}, {}}, {'c', {}, {}}}), kDoubleArrow,
       "a0>0b a1>0c ", ""},
      {"a[] => b, c, d", section({{'a', {}, {0, -1}}}),
       section({{'b', {}, {}}, {'c', {}, {}}, {'d', {}, {}}}), kDoubleArrow, "a0>0b a1>0c a2>0d ",
       ""},
      {"a, b, c => [1,]d", section({{'a', {}, {}}, {'b', {}, {}}, {'c', {}, {}}}),
       section({{'d', {1, -1}, {}}}), kDoubleArrow, "a0>1d b0>2d c0>3d ", ""},
      {"a[0-2] => [0-2]b", section({{'a', {}, {0, 1, 2}}}), section({{'b', {0, 1, 2}, {}}}),
       kDoubleArrow, "a0>0b a1>1b a2>2b ", ""},
      {"a[0-2] => [0-1]b", section({{'a', {}, {0, 1, 2}}}), section({{'b', {0, 1}, {}}}),
       kDoubleArrow, "a0>0b a1>1b ",
       "t.graph:3: connection mismatch: 3 outputs connected to 2 inputs\n"},
      {"a[] => [2,]b", section({{'a', {}, {0, -1}}}), section({{'b', {2, -1}, {}}}), kDoubleArrow,
       "a0>2b ", "t.graph:3: at most one expandable port allowed per connection\n"},
      {"a[5-] => b, c", section({{'a', {}, {5, -1}}}), section({{'b', {}, {}}, {'c', {}, {}}}),
       kDoubleArrow, "a5>0b a6>0c ", ""},
      {"a[0-3, ] => [0-1]b, c", section({{'a', {}, {0, 1, 2, 3, -1}}}),
       section({{'b', {0, 1}, {}}, {'c', {}, {}}}), kDoubleArrow, "a0>0b a1>1b a2>0c ",
       "t.graph:3: connection mismatch: 4 or more outputs connected to 3 inputs\n"},
      {"a, b => [0-2, ]c", section({{'a', {}, {}}, {'b', {}, {}}}),
       section({{'c', {0, 1, 2, -1}, {}}}), kDoubleArrow, "a0>0c b0>1c ",
       "t.graph:3: connection mismatch: 2 outputs connected to 3 or more inputs\n"},
      {"a[0-1] -> [0-1]b", section({{'a', {}, {0, 1}}}), section({{'b', {0, 1}, {}}}), kArrow,
       "a0>0b a1>1b ", many},
  };
  for (const auto& c : cases) {
    TestTables t;
    for (const char* name : {"a", "b", "c", "d", "e"})
      t.find_or_add_element(name, 1, String(), String(), 0);
    t.connect_sections(c.left, c.right, c.connector);
    std::string got;
    for (const LexerTables::Connection& k : t.top()->connections()) {
      got += static_cast<char>('a' + k.from_element) + std::to_string(k.from_port) + ">" +
             std::to_string(k.to_port) + static_cast<char>('a' + k.to_element) + " ";
    }
    EXPECT_EQ(got, c.connections) << c.what;
    EXPECT_EQ(t.messages(), c.messages) << c.what;
  }
}

}  // namespace
