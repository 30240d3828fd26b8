#include "graph/router.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/packet.h"
#include "ostgraphsvc/graph/lib/conversions.h"

#include "ostgraphsvc/graph/lib/graph_testing.h"
namespace {

using graph_testing::Messages;
using graph_testing::Probe;
using graph_testing::Std;

class RouterTest : public ::testing::Test {
 protected:
  void SetUp() override { install_default_conversions(); }

  // Element i sits at line i + 1 of "conf".
  template <typename E>
  E* add(const char* name, E* element) {
    const int line = router_.nelements() + 1;
    EXPECT_EQ(router_.add_element(element, name, "", "conf", line), line - 1);
    return element;
  }
  Probe* add(const char* name, const char* ports, const char* processing,
             const char* flow = Element::kCompleteFlow) {
    return add(name, new Probe(ports, processing, flow));
  }
  void connect(const Element* from, int from_port, const Element* to, int to_port) {
    EXPECT_EQ(router_.add_connection(from->eindex(), from_port, to->eindex(), to_port), 0);
  }
  // The checks in their order, stopping at the first failure, then wiring.
  int check_and_wire(ErrorHandler* errh) {
    if (router_.check_port_numbers(errh) < 0 || router_.resolve_processing(errh) < 0 ||
        router_.check_connection_use(errh) < 0)
      return -1;
    router_.wire_ports();
    return 0;
  }

  Router router_{"config text"};
};

TEST_F(RouterTest, AddingElementsAndConnections) {
  EXPECT_EQ(router_.root_element()->class_name(), std::string("Error"));
  EXPECT_EQ(router_.element(-1), router_.root_element());
  EXPECT_EQ(router_.element(0), nullptr);

  Probe* a = add("a", "0/1", "h");
  Probe* b = add("b", "1/0", "h");
  Probe* c = add("c", "1/0", "h");
  EXPECT_EQ(router_.add_element(nullptr, "n", "", "conf", 1), -1);
  EXPECT_EQ(router_.add_element(a, "again", "", "conf", 1), -1);
  Router other("");
  EXPECT_EQ(other.add_element(b, "b", "", "conf", 1), -1);
  EXPECT_EQ(router_.nelements(), 3);
  EXPECT_EQ(router_.element(2), c);

  // In order: only the last record can repeat.
  connect(a, 0, c, 0);
  connect(a, 0, c, 0);
  EXPECT_EQ(router_.connections().size(), 1);
  // Out of order: every record is compared.
  connect(a, 0, b, 0);
  connect(a, 0, c, 0);
  connect(a, 0, b, 0);
  ASSERT_EQ(router_.connections().size(), 2);
  router_.sort_connections();
  EXPECT_EQ(router_.connections()[0].to_eindex, b->eindex());
  EXPECT_EQ(router_.connections()[1].to_eindex, c->eindex());
}

TEST_F(RouterTest, Landmarks) {
  struct Case {
    const char* file;
    int line;
    const char* landmark;
  } cases[] = {
      {"A", 3, "A:3"},  {"A", 9, "A:9"}, {"B", 4, "B:4"}, {"C:", 7, "C:7"},
      {"D ", 2, "D 2"}, {"A", 5, "A:5"}, {"E", 0, "E"},   {"E", 12, "E:12"},
  };
  for (const Case& c : cases) router_.add_element(new ErrorElement, "e", "", c.file, c.line);
  for (int i = 0; i < router_.nelements(); ++i)
    EXPECT_EQ(Std(router_.element_landmark(i)), cases[i].landmark) << i;
  EXPECT_EQ(Std(router_.element_landmark(-1)), "");
  EXPECT_EQ(Std(router_.element_landmark(router_.nelements())), "");
}

TEST_F(RouterTest, NameLookupWalksOutOfCompoundContexts) {
  for (const char* name :
       {"nat/iprw", "iprw", "nat/icmprw", "a/b/x", "a/x", "x", "nat", "na", "nat/sub/deep"})
    router_.add_element(new ErrorElement, name, "", "conf", 1);
  auto named = [](Element* e) { return e != nullptr ? Std(e->name()) : std::string("(none)"); };

  struct Asked {
    const char* name;
    const char* asking;  // null: top level
    const char* found;
  } asked[] = {
      {"iprw", "nat/icmprw", "nat/iprw"},
      {"iprw", "x", "iprw"},
      {"iprw", nullptr, "iprw"},
      {"icmprw", "nat/sub/deep", "nat/icmprw"},
      {"icmprw", "x", "(none)"},
      {"nat", "a/b/x", "nat"},
      {"na", "a/b/x", "na"},
  };
  for (const Asked& c : asked) {
    const Element* asking =
        c.asking != nullptr ? router_.find_element_in_context(c.asking, "") : nullptr;
    EXPECT_EQ(named(router_.find_element(c.name, asking)), c.found) << c.name;
  }

  struct InContext {
    const char* name;
    const char* context;
    const char* found;
  } in_context[] = {
      {"x", "a/b/", "a/b/x"},       {"x", "a/c/", "a/x"},    {"x", "b/", "x"},
      {"nat/iprw", "", "nat/iprw"}, {"y", "a/b/", "(none)"}, {"", "", "(none)"},
      {"b/x", "a/", "a/b/x"},
  };
  for (const InContext& c : in_context) {
    EXPECT_EQ(named(router_.find_element_in_context(c.name, c.context)), c.found)
        << c.name << " in " << c.context;
  }

  // Elements added after a lookup are found by the next one.
  router_.add_element(new ErrorElement, "a/b/y", "", "conf", 1);
  EXPECT_EQ(named(router_.find_element_in_context("y", "a/b/")), "a/b/y");
}

TEST_F(RouterTest, NameQueriesOfItsElementsReachItsRegistry) {
  NameRegistry::static_initialize();
  Element* iprw = add("nat/iprw", new ErrorElement);
  Element* top = add("top", new ErrorElement);
  NameDB* db = router_.name_registry().lookup_or_install(NameDB::kTicketsType, sizeof(int), "nat/",
                                                         NameRegistry::kMakeDynamic);
  const int value = 7;
  ASSERT_TRUE(db->define("seven", &value, sizeof(value)));
  int found = 0;
  EXPECT_TRUE(NameRegistry::query_int(NameDB::kTicketsType, iprw, "seven", &found));
  EXPECT_EQ(found, 7);
  EXPECT_FALSE(NameRegistry::query_int(NameDB::kTicketsType, top, "seven", &found));
  NameRegistry::static_cleanup();
}

// One graph per case: elements by index, connections, and what the checks
// report.
TEST_F(RouterTest, GraphChecks) {
  struct Node {
    const char* ports;
    const char* processing;
    const char* flow;  // null: the complete flow
  };
  struct Edge {
    int from;
    int from_port;
    int to;
    int to_port;
  };
  struct Case {
    const char* what;
    std::vector<Node> nodes;
    std::vector<Edge> edges;
    const char* messages;
    int connections_left;
  } cases[] = {
      {"input out of range",
       {{"0/1", "h", nullptr}, {"1/0", "h", nullptr}},
       {{0, 0, 1, 2}, {0, 0, 1, 0}},
       "conf:2: 'e1 :: Probe' has no input 2\n",
       1},
      {"output out of range",
       {{"0/1", "h", nullptr}, {"1/0", "h", nullptr}},
       {{0, 1, 1, 0}, {0, 0, 1, 0}},
       "conf:1: 'e0 :: Probe' has no output 1\n",
       1},
      {"both ends out of range",
       {{"0/1", "h", nullptr}, {"1/0", "h", nullptr}},
       {{0, 3, 1, 4}},
       "conf:2: 'e1 :: Probe' has no input 4\nconf:1: 'e0 :: Probe' has no output 3\n",
       0},
      {"1/1 with two connections into input 1",
       {{"0/2", "h", nullptr}, {"1/1", "h", nullptr}},
       {{0, 0, 1, 1}, {0, 1, 1, 1}},
       "conf:2: 'e1 :: Probe' has no input 1\nconf:2: 'e1 :: Probe' has no input 1\n",
       0},
      {"bad port count",
       {{"x", "h", nullptr}, {"1/0", "h", nullptr}},
       {{0, 0, 1, 0}},
       "e0 :: Probe: bad port count\nconf:1: 'e0 :: Probe' has no output 0\n",
       0},
      {"push output into pull input",
       {{"0/1", "h", nullptr}, {"1/0", "l", nullptr}},
       {{0, 0, 1, 0}},
       "'e0 :: Probe' push output 0 connected to 'e1 :: Probe' pull input 0\n",
       1},
      {"pull output into push input",
       {{"0/2", "l", nullptr}, {"2/0", "h", nullptr}},
       {{0, 0, 1, 0}, {0, 1, 1, 1}},
       "'e0 :: Probe' pull output 0 connected to 'e1 :: Probe' push input 0\n"
       "'e0 :: Probe' pull output 1 connected to 'e1 :: Probe' push input 1\n",
       2},
      {"agnostic between push and pull",
       {{"0/1", "h", nullptr}, {"1/1", "a", nullptr}, {"1/0", "l", nullptr}},
       {{0, 0, 1, 0}, {1, 0, 2, 0}},
       "agnostic 'e1 :: Probe' in mixed context: push input 0, pull output 0\n",
       2},
      {"agnostic without flow between push and pull",
       {{"0/1", "h", nullptr}, {"1/1", "a", "x/y"}, {"1/0", "l", nullptr}},
       {{0, 0, 1, 0}, {1, 0, 2, 0}},
       "",
       2},
      {"two connections into one pull input",
       {{"0/1", "l", nullptr}, {"0/1", "l", nullptr}, {"1/0", "l", nullptr}},
       {{0, 0, 2, 0}, {1, 0, 2, 0}},
       "conf:3: illegal reuse of 'e2 :: Probe' pull input 0\n",
       2},
      {"two connections out of one push output",
       {{"0/1", "h", nullptr}, {"1/0", "h", nullptr}, {"1/0", "h", nullptr}},
       {{0, 0, 2, 0}, {0, 0, 1, 0}},
       "conf:1: illegal reuse of 'e0 :: Probe' push output 0\n",
       2},
      {"two connections into one push input",
       {{"0/1", "h", nullptr}, {"0/1", "h", nullptr}, {"1/0", "h", nullptr}},
       {{0, 0, 2, 0}, {1, 0, 2, 0}},
       "",
       2},
      {"unused ports, inputs first",
       {{"0/2", "h", nullptr}, {"2/0", "h", nullptr}},
       {{0, 0, 1, 0}},
       "conf:2: 'e1 :: Probe' input 1 unused\nconf:1: 'e0 :: Probe' output 1 unused\n",
       1},
      {"duplicate connection kept once, silently",
       {{"0/1", "l", nullptr}, {"1/0", "l", nullptr}},
       {{0, 0, 1, 0}, {0, 0, 1, 0}},
       "",
       1},
  };
  for (const Case& c : cases) {
    Router router("");
    for (size_t i = 0; i < c.nodes.size(); ++i) {
      const Node& n = c.nodes[i];
      const std::string name = "e" + std::to_string(i);
      router.add_element(
          new Probe(n.ports, n.processing, n.flow != nullptr ? n.flow : Element::kCompleteFlow),
          name.c_str(), "", "conf", static_cast<int>(i) + 1);
    }
    for (const Edge& e : c.edges) router.add_connection(e.from, e.from_port, e.to, e.to_port);
    Messages messages;
    ErrorHandler* errh = messages.errh();
    const bool ok = router.check_port_numbers(errh) == 0 && router.resolve_processing(errh) == 0 &&
                    router.check_connection_use(errh) == 0;
    EXPECT_EQ(messages.text(), c.messages) << c.what;
    EXPECT_EQ(ok, *c.messages == '\0') << c.what;
    EXPECT_EQ(router.connections().size(), c.connections_left) << c.what;
  }
}

TEST_F(RouterTest, AgnosticPortsTakeTheKindOfTheirNeighbours) {
  // Listed downstream-last, so the pull kind climbs one element per pass.
  Probe* source = add("source", "0/1", "a");
  Probe* x = add("x", "1/1", "a");
  Probe* y = add("y", "1/1", "a");
  Probe* sink = add("sink", "1/0", "l");
  // Agnostic on both ends: push.
  Probe* free_out = add("free_out", "0/1", "a");
  Probe* free_in = add("free_in", "1/0", "a");
  connect(source, 0, x, 0);
  connect(x, 0, y, 0);
  connect(y, 0, sink, 0);
  connect(free_out, 0, free_in, 0);
  Messages messages;
  ASSERT_EQ(router_.check_port_numbers(messages.errh()), 0);
  ASSERT_EQ(router_.resolve_processing(messages.errh()), 0);
  EXPECT_EQ(messages.text(), "");

  // Active ports (0): pull inputs and push outputs.
  for (const Probe* e : {x, y, sink}) EXPECT_EQ(e->input(0).port(), 0) << e->name().c_str();
  for (const Probe* e : {source, x, y}) EXPECT_EQ(e->output(0).port(), -1) << e->name().c_str();
  EXPECT_EQ(free_out->output(0).port(), 0);
  EXPECT_EQ(free_in->input(0).port(), -1);

  ASSERT_EQ(router_.check_connection_use(messages.errh()), 0);
  router_.wire_ports();
  EXPECT_TRUE(router_.ports_resolved());
  EXPECT_EQ(sink->input(0).element(), y);
  EXPECT_EQ(x->input(0).element(), source);
  EXPECT_EQ(source->output(0).element(), nullptr);
  EXPECT_EQ(free_out->output(0).element(), free_in);
  EXPECT_EQ(free_in->input(0).element(), nullptr);
}

// Counts the packets that pass it; optionally drops them.
class Counter : public Element {
 public:
  const char* class_name() const override { return "Counter"; }
  const char* port_count() const override { return "1/1"; }
  Packet* packet_action(Packet* p) override {
    ++count;
    if (!drop) return p;
    p->release();
    return nullptr;
  }
  int count = 0;
  bool drop = false;
};

// Push in, pull out, room for one packet.
class Slot : public Element {
 public:
  ~Slot() override {
    if (held != nullptr) held->release();
  }
  const char* class_name() const override { return "Slot"; }
  const char* port_count() const override { return "1/1"; }
  const char* processing() const override { return "h/l"; }
  void push(int, Packet* p) override {
    if (held != nullptr) held->release();
    held = p;
  }
  Packet* pull(int) override { return std::exchange(held, nullptr); }
  Packet* held = nullptr;
};

// A source or sink that the test drives through its ports.
class Terminal : public Element {
 public:
  Terminal(const char* ports, const char* processing) : ports_(ports), processing_(processing) {}
  const char* class_name() const override { return "Terminal"; }
  const char* port_count() const override { return ports_; }
  const char* processing() const override { return processing_; }

 private:
  const char* ports_;
  const char* processing_;
};

TEST_F(RouterTest, PacketsPushAndPullThroughTheWiredGraph) {
  Terminal* source = add("source", new Terminal("0/1", Element::kPush));
  Counter* before = add("before", new Counter);
  Slot* slot = add("slot", new Slot);
  Counter* after = add("after", new Counter);
  Terminal* sink = add("sink", new Terminal("1/0", Element::kPull));
  connect(source, 0, before, 0);
  connect(before, 0, slot, 0);
  connect(slot, 0, after, 0);
  connect(after, 0, sink, 0);
  Messages messages;
  ASSERT_EQ(check_and_wire(messages.errh()), 0) << messages.text();

  Packet* p = Packet::make(0, nullptr, 60, 0);
  ASSERT_NE(p, nullptr);
  source->output(0).push(p);
  EXPECT_EQ(before->count, 1);
  EXPECT_EQ(slot->held, p);
  EXPECT_EQ(sink->input(0).pull(), p);
  EXPECT_EQ(after->count, 1);
  // Nothing left: no packet reaches packet_action.
  EXPECT_EQ(sink->input(0).pull(), nullptr);
  EXPECT_EQ(after->count, 1);

  // A packet dropped on the way goes no further.
  before->drop = true;
  source->output(0).push(p);
  EXPECT_EQ(before->count, 2);
  EXPECT_EQ(slot->held, nullptr);
}

class Recorder : public RouterVisitor {
 public:
  explicit Recorder(const char* stop_at) : stop_at_(stop_at) {}
  bool visit(Element* e, bool is_output, int port, Element* from, int from_port,
             int distance) override {
    trail += std::string(e->name().c_str()) + (is_output ? ":out" : ":in") + std::to_string(port) +
             ">" + from->name().c_str() + ":" + std::to_string(from_port) + "@" +
             std::to_string(distance) + " ";
    return stop_at_ == nullptr || !(e->name() == stop_at_);
  }
  std::string trail;

 private:
  const char* stop_at_;
};

TEST_F(RouterTest, VisitUpstream) {
  struct Case {
    const char* join_flow;
    const char* stop_at;
    const char* trail;
  } cases[] = {
      {Element::kCompleteFlow, nullptr, "j:out0>t:0@1 s1:out0>j:0@2 s2:out0>j:1@2 r:out0>s1:0@3 "},
      {Element::kCompleteFlow, "s1", "j:out0>t:0@1 s1:out0>j:0@2 s2:out0>j:1@2 "},
      {Element::kCompleteFlow, "j", "j:out0>t:0@1 "},
      {"#/#", nullptr, "j:out0>t:0@1 s1:out0>j:0@2 r:out0>s1:0@3 "},
  };
  for (const Case& c : cases) {
    Router router("");
    auto* r = new Probe("0/1", "h");
    auto* s1 = new Probe("1/1", "a");
    auto* s2 = new Probe("0/1", "h");
    auto* j = new Probe("2/1", "h", c.join_flow);
    auto* t = new Probe("1/0", "h");
    int line = 0;
    for (auto [e, name] :
         {std::pair<Element*, const char*>{r, "r"}, {s1, "s1"}, {s2, "s2"}, {j, "j"}, {t, "t"}})
      router.add_element(e, name, "", "conf", ++line);
    router.add_connection(r->eindex(), 0, s1->eindex(), 0);
    router.add_connection(s2->eindex(), 0, j->eindex(), 1);
    router.add_connection(s1->eindex(), 0, j->eindex(), 0);
    router.add_connection(j->eindex(), 0, t->eindex(), 0);
    Recorder before(nullptr);
    EXPECT_EQ(router.visit_upstream(t, &before), -1);
    Messages messages;
    ASSERT_EQ(router.check_port_numbers(messages.errh()), 0);
    ASSERT_EQ(router.resolve_processing(messages.errh()), 0);
    ASSERT_EQ(router.check_connection_use(messages.errh()), 0);
    router.wire_ports();

    Recorder recorder(c.stop_at);
    EXPECT_EQ(router.visit_upstream(t, &recorder), 0);
    EXPECT_EQ(recorder.trail, c.trail) << c.join_flow << " " << (c.stop_at ? c.stop_at : "");
  }

  // Two outputs of x reach j: x's input joins the frontier twice, but r's
  // output is visited once. Refused for a foreign element, and once port
  // counts change again.
  Probe* r = add("r", "0/1", "h");
  Probe* x = add("x", "1/2", "h");
  Probe* j = add("j", "2/1", "h");
  Probe* t = add("t", "1/0", "h");
  connect(r, 0, x, 0);
  connect(x, 0, j, 0);
  connect(x, 1, j, 1);
  connect(j, 0, t, 0);
  Messages messages;
  ASSERT_EQ(check_and_wire(messages.errh()), 0) << messages.text();
  Recorder recorder(nullptr);
  Probe loose("1/0", "h");
  EXPECT_EQ(router_.visit_upstream(&loose, &recorder), -1);
  EXPECT_EQ(router_.visit_upstream(t, &recorder), 0);
  EXPECT_EQ(recorder.trail, "j:out0>t:0@1 x:out0>j:0@2 x:out1>j:1@2 r:out0>x:0@3 ");
  ASSERT_EQ(j->set_port_counts(2, 1), 0);
  EXPECT_FALSE(router_.ports_resolved());
  EXPECT_EQ(router_.visit_upstream(t, &recorder), -1);
}

TEST_F(RouterTest, NotifierSignals) {
  uint32_t* first = nullptr;
  uint32_t first_mask = 0;
  ASSERT_EQ(router_.allocate_notifier_signal("empty", &first, &first_mask), 0);
  EXPECT_EQ(first_mask, 1u);
  EXPECT_EQ(*first, 1u);

  uint32_t* word = nullptr;
  uint32_t mask = 0;
  router_.allocate_notifier_signal("other", &word, &mask);
  EXPECT_NE(word, first);
  EXPECT_EQ(mask, 1u);

  for (int n = 1; n < Router::kSignalBits; ++n) {
    router_.allocate_notifier_signal("empty", &word, &mask);
    ASSERT_EQ(word, first + n / 32) << n;
    ASSERT_EQ(mask, 1u << (n % 32)) << n;
  }
  EXPECT_EQ(first[127], 0xffffffffu);
  // The block is full: the next signal of the name opens another.
  router_.allocate_notifier_signal("empty", &word, &mask);
  EXPECT_NE(word, first);
  EXPECT_EQ(mask, 1u);
  EXPECT_EQ(*word, 1u);
  EXPECT_EQ(first[127], 0xffffffffu);
}

}  // namespace
