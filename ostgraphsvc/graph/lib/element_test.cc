#include "graph/element.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "graph/bitvector.h"
#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/router.h"
#include "ostgraphsvc/graph/lib/conversions.h"

#include "ostgraphsvc/graph/lib/graph_testing.h"
namespace {

using graph_testing::Messages;
using graph_testing::Probe;
using graph_testing::Std;

// An element whose port languages are given.
Vector<String> Conf(const char* text) {
  Vector<String> conf;
  cp_split_arguments(String(text), &conf);
  return conf;
}

bool Inside(const void* p, const Element& e) {
  auto* byte = static_cast<const char*>(p);
  auto* base = reinterpret_cast<const char*>(&e);
  return byte >= base && byte < base + sizeof(e);
}

class ElementTest : public ::testing::Test {
 protected:
  void SetUp() override { install_default_conversions(); }
};

TEST_F(ElementTest, PortCountLanguage) {
  struct Case {
    const char* text;
    int inputs_used;
    int outputs_used;
    int ninputs;  // -1: bad port count
    int noutputs;
  } cases[] = {
      {"0", 0, 0, 0, 0},      {"0", 2, 1, 0, 0},      {"2", 0, 0, 2, 2},
      {"2", 5, 5, 2, 2},      {"1/1", 2, 1, 1, 1},    {"1-/=+", 3, 0, 3, 4},
      {"1-/=+", 0, 7, 1, 2},  {"-/=", 5, 9, 5, 5},    {"1/=++", 0, 0, 1, 3},
      {"-/-", 7, 3, 7, 3},    {"", 2, 3, 2, 3},       {"-", 2, 3, 2, 3},
      {"1-3/2-", 5, 0, 3, 2}, {"1-3/2-", 0, 7, 1, 7}, {"-2/-1", 5, 9, 2, 1},
      {"0/1-", 0, 0, 0, 1},   {"1/", 0, 4, 1, 4},     {"x", 0, 0, -1, 0},
      {"1/2/3", 0, 0, -1, 0}, {"=/1", 0, 0, -1, 0},   {"1-2-3", 0, 0, -1, 0},
      {" 1", 0, 0, -1, 0},    {"1 ", 0, 0, -1, 0},    {"1/=x", 0, 0, -1, 0},
      {"1/=+-", 0, 0, -1, 0}, {"3-1", 0, 0, -1, 0},   {"99999999999", 0, 0, -1, 0},
      {"+1", 0, 0, -1, 0},    {"1/2-x", 0, 0, -1, 0}, {"1/-", 0, 0, 1, 0},
  };
  for (const Case& c : cases) {
    Probe e(c.text);
    ASSERT_EQ(e.set_port_counts(1, 2), 0);
    Messages messages;
    const int result = e.apply_port_count(c.inputs_used, c.outputs_used, messages.errh());
    if (c.ninputs < 0) {
      EXPECT_EQ(result, -1) << c.text;
      EXPECT_EQ(messages.text(), "p :: Probe: bad port count\n") << c.text;
      EXPECT_EQ(e.ninputs(), 1) << c.text;
      EXPECT_EQ(e.noutputs(), 2) << c.text;
      continue;
    }
    EXPECT_EQ(result, 0) << c.text;
    EXPECT_EQ(messages.text(), "") << c.text;
    EXPECT_EQ(e.ninputs(), c.ninputs) << c.text;
    EXPECT_EQ(e.noutputs(), c.noutputs) << c.text;
  }
}

TEST_F(ElementTest, ProcessingLanguage) {
  struct Case {
    const char* text;
    int ninputs;
    int noutputs;
    const char* codes;  // inputs "/" outputs
    int messages;
  } cases[] = {
      {"l/h", 3, 2, "lll/hh", 0},
      {"hl", 3, 2, "hll/hl", 0},
      {"a", 2, 2, "aa/aa", 0},
      {"a/ah", 1, 3, "a/ahh", 0},
      {"HL/A", 2, 1, "hl/a", 0},
      {"lh", 1, 2, "l/lh", 0},
      // Outputs start from the last code read for the inputs.
      {"h/", 1, 2, "h/hh", 0},
      {"h/", 0, 2, "/aa", 0},
      {"", 1, 1, "a/a", 0},
      // A bad letter ends its side; the last good code goes on.
      {"hx", 3, 1, "hhh/h", 1},
      {"h/xl", 1, 2, "h/hh", 1},
      {"xh", 1, 1, "a/a", 2},
  };
  for (const Case& c : cases) {
    Probe e("-/-", c.text);
    ASSERT_EQ(e.set_port_counts(c.ninputs, c.noutputs), 0);
    int in[4];
    int out[4];
    Messages messages;
    e.port_processing(in, out, messages.errh());
    std::string codes;
    for (int i = 0; i < c.ninputs; ++i) codes += "ahl"[in[i]];
    codes += '/';
    for (int i = 0; i < c.noutputs; ++i) codes += "ahl"[out[i]];
    EXPECT_EQ(codes, c.codes) << c.text;
    std::string expected;
    for (int i = 0; i < c.messages; ++i) expected += "bad processing code\n";
    EXPECT_EQ(messages.text(), expected) << c.text;
  }
  // Without a handler the same codes come out silently.
  Probe e("-/-", "hx");
  ASSERT_EQ(e.set_port_counts(2, 0), 0);
  int in[2];
  e.port_processing(in, nullptr, nullptr);
  EXPECT_EQ(in[1], Element::kProcessingPush);
}

TEST_F(ElementTest, FlowCodeLanguage) {
  // Equal text, but not the shared object: evaluated as codes.
  static const char kPlainXX[] = "x/x";
  struct Case {
    const char* flow;
    int ninputs;
    int noutputs;
    bool is_output;
    int port;
    const char* targets;  // one digit per port of the other side
    const char* messages;
  } cases[] = {
      {"#/#", 3, 3, false, 1, "010", ""},
      {"#/#", 3, 3, true, 2, "001", ""},
      {"[#x]/#", 3, 3, false, 2, "001", ""},
      {"[^x]/x", 3, 1, true, 0, "000", ""},
      {"[^x]/y", 2, 1, false, 1, "1", ""},
      {"x/y", 2, 2, false, 0, "00", ""},
      {"xy/x", 2, 1, true, 0, "10", ""},
      {"[xy]/yx", 1, 2, false, 0, "11", ""},
      {"xX", 2, 2, false, 1, "01", ""},
      {Element::kCompleteFlow, 2, 3, false, 1, "111", ""},
      {kPlainXX, 2, 3, true, 2, "11", ""},
      {"x/x", 2, 2, false, 2, "00", ""},
      {"x/x", 2, 2, true, -1, "00", ""},
      {"x$/x", 2, 1, false, 1, "0", "'p :: Probe' flow code: invalid character '$'\n"},
      {"[a!]/a", 1, 1, false, 0, "1", "'p :: Probe' flow code: invalid character '!'\n"},
      {"[x/x", 1, 1, false, 0, "1", "'p :: Probe' flow code: missing ']'\n"},
      {"x/", 1, 1, false, 0, "0", "'p :: Probe' flow code: missing or bad '/'\n"},
      {"x//x", 1, 1, true, 0, "0", "'p :: Probe' flow code: missing or bad '/'\n"},
  };
  for (const Case& c : cases) {
    Probe e("-/-", Element::kAgnostic, c.flow);
    ASSERT_EQ(e.set_port_counts(c.ninputs, c.noutputs), 0);
    BitVector targets(7, true);
    Messages messages;
    e.flow_targets(c.is_output, c.port, &targets, messages.errh());
    std::string bits;
    for (int i = 0; i < targets.size(); ++i) bits += targets[i] ? '1' : '0';
    EXPECT_EQ(bits, c.targets) << c.flow << " port " << c.port;
    EXPECT_EQ(messages.text(), c.messages) << c.flow << " port " << c.port;
  }
}

TEST_F(ElementTest, PortStorage) {
  struct Case {
    int ninputs;
    int noutputs;
    bool pull;
    bool inputs_inline;
    bool outputs_inline;
  } cases[] = {
      {2, 3, false, false, true}, {2, 3, true, true, false},  {2, 2, false, true, true},
      {2, 2, true, true, true},   {1, 3, false, true, true},  {5, 0, false, false, true},
      {0, 5, false, true, false}, {4, 4, false, false, true}, {4, 4, true, true, false},
      {4, 1, false, false, true}, {5, 5, true, false, false},
  };
  for (const Case& c : cases) {
    Probe e("-/-", c.pull ? Element::kPull : Element::kAgnostic);
    ASSERT_EQ(e.set_port_counts(c.ninputs, c.noutputs), 0);
    const std::string what =
        std::to_string(c.ninputs) + "/" + std::to_string(c.noutputs) + (c.pull ? " pull" : "");
    ASSERT_EQ(e.ninputs(), c.ninputs) << what;
    ASSERT_EQ(e.noutputs(), c.noutputs) << what;
    if (c.ninputs > 0) {
      EXPECT_EQ(Inside(&e.input(0), e), c.inputs_inline) << what;
    }
    if (c.noutputs > 0) {
      EXPECT_EQ(Inside(&e.output(0), e), c.outputs_inline) << what;
    }
    if (c.ninputs > 0 && c.noutputs > 0 && c.inputs_inline && c.outputs_inline) {
      // Pull-minded elements keep their inputs first.
      if (c.pull) {
        EXPECT_EQ(&e.output(0), &e.input(0) + c.ninputs) << what;
      } else {
        EXPECT_EQ(&e.input(0), &e.output(0) + c.noutputs) << what;
      }
    }
    for (int i = 0; i < c.ninputs; ++i) {
      EXPECT_EQ(e.input(i).element(), nullptr);
      EXPECT_EQ(e.input(i).port(), -2);
    }
    for (int i = 0; i < c.noutputs; ++i) EXPECT_EQ(e.output(i).port(), -2);
  }

  // Counts change back and forth between heap and inline storage.
  Probe e("-/-");
  ASSERT_EQ(e.set_port_counts(6, 7), 0);
  EXPECT_FALSE(Inside(&e.input(5), e));
  ASSERT_EQ(e.set_port_counts(1, 1), 0);
  EXPECT_TRUE(Inside(&e.input(0), e));
  EXPECT_EQ(e.set_port_counts(-1, 1), -22);
  EXPECT_EQ(e.set_port_counts(1, -1), -22);
  EXPECT_EQ(e.ninputs(), 1);
  EXPECT_EQ(e.noutputs(), 1);
}

TEST_F(ElementTest, DefaultConfigurationAndCasts) {
  struct Case {
    const char* conf;
    int result;
    const char* messages;
  } cases[] = {
      {"", 0, ""},
      {"1", -22, "too many arguments\n"},
      {"LIMIT 1", -22, "LIMIT: unknown argument\n"},
  };
  for (const Case& c : cases) {
    Probe e("0");
    Vector<String> conf = Conf(c.conf);
    Messages messages;
    EXPECT_EQ(e.configure(conf, messages.errh()), c.result) << c.conf;
    EXPECT_EQ(messages.text(), c.messages) << c.conf;
  }

  Probe e("0");
  Vector<String> conf = Conf("");
  Messages messages;
  EXPECT_EQ(e.live_reconfigure(conf, messages.errh()), -22);
  EXPECT_EQ(messages.text(), "cannot reconfigure p :: Probe live\n");

  EXPECT_EQ(e.cast("Probe"), &e);
  EXPECT_EQ(e.cast("Probe "), nullptr);
  EXPECT_EQ(e.cast("probe"), nullptr);
  EXPECT_EQ(e.port_cast(true, 0, "Probe"), &e);
}

TEST_F(ElementTest, ErrorElement) {
  ErrorElement e;
  Vector<String> conf = Conf("anything, LIMIT 2");
  Messages messages;
  EXPECT_EQ(e.configure(conf, messages.errh()), 0);
  EXPECT_EQ(e.initialize(messages.errh()), -1);
  EXPECT_EQ(messages.text(), "");
  EXPECT_EQ(e.cast("Error"), &e);

  // Any ports, and no input reaches any output.
  ASSERT_EQ(e.apply_port_count(9, 3, messages.errh()), 0);
  EXPECT_EQ(e.ninputs(), 9);
  EXPECT_EQ(e.noutputs(), 3);
  BitVector targets;
  e.flow_targets(false, 4, &targets);
  EXPECT_EQ(targets.size(), 3);
  EXPECT_TRUE(targets.zero());
}

TEST_F(ElementTest, NamesComeFromTheRouter) {
  ErrorElement loose;
  EXPECT_EQ(Std(loose.name()), "<unknown>");
  EXPECT_EQ(Std(loose.declaration()), "<unknown> :: Error");
  loose.set_name("own");
  EXPECT_EQ(Std(loose.declaration()), "own :: Error");

  Router router("");
  auto* e = new ErrorElement;
  e->set_name("before");
  ASSERT_EQ(router.add_element(e, "nat/iprw", "CONF", "f", 1), 0);
  EXPECT_EQ(Std(e->name()), "nat/iprw");
  EXPECT_EQ(Std(e->declaration()), "nat/iprw :: Error");
  EXPECT_EQ(Std(e->current_configuration()), "CONF");
  EXPECT_EQ(e->router(), &router);
  EXPECT_EQ(e->eindex(), 0);
}

}  // namespace
