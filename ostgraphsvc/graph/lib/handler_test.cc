#include "graph/handler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/master.h"
#include "graph/parse_context.h"
#include "graph/router.h"
#include "graph/router_log.h"
#include "graph/task.h"
#include "ostgraphsvc/graph/lib/conversions.h"
#include "ostgraphsvc/graph/lib/graph_testing.h"

namespace {

using graph_testing::Lines;
using graph_testing::Std;

class Plain : public Element {
 public:
  Plain(const char* class_name, const char* ports, const char* processing)
      : class_(class_name), ports_(ports), processing_(processing) {}
  const char* class_name() const override { return class_; }
  const char* port_count() const override { return ports_; }
  const char* processing() const override { return processing_; }

 private:
  const char* class_;
  const char* ports_;
  const char* processing_;
};

// Agnostic, reconfigurable live, with a read and a write handler of its own.
class Rewriter : public Element {
 public:
  const char* class_name() const override { return "Rewriter"; }
  const char* port_count() const override { return "1/2"; }
  bool can_live_reconfigure() const override { return true; }
  int configure(Vector<String>& conf, ErrorHandler* errh) override {
    if (!conf.empty() && conf[0] == "bad") return errh->error("bad pattern");
    arguments.clear();
    for (const String& s : conf) arguments.push_back(Std(s));
    return 0;
  }
  void add_handlers() override {
    Router::add_read_handler(this, "count", read_count, nullptr);
    Router::add_write_handler(this, "reset", write_reset, nullptr);
  }

  static String read_count(Element* e, void*) { return String(static_cast<Rewriter*>(e)->count); }
  static int write_reset(const String&, Element* e, void*, ErrorHandler*) {
    static_cast<Rewriter*>(e)->count = 0;
    return 0;
  }

  int count = 7;
  std::vector<std::string> arguments;
};

class Worker : public Element {
 public:
  const char* class_name() const override { return "Worker"; }
  void add_handlers() override { add_task_handlers(&work, "w_"); }
  Task work{this};
};

String echo_param(Element*, void*) { return String("plain"); }
int full_echo(int op, String& value, Element*, const Handler* h, ErrorHandler*) {
  if (op == Handler::kOpRead)
    value = "read:" + value + ":" + String(h->read_user_data() != nullptr);
  return 0;
}

// src -> nat/iprw -> sink, plus nat/iprw [1] -> sink, checked and wired,
// with the default and element handlers registered.
class HandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    install_default_conversions();
    Router::static_initialize();
    src_ = add("src", new Plain("Source", "0/1", "h"), "RATE 10");
    iprw_ = add("nat/iprw", new Rewriter, "pattern - - 10.0.0.1");
    sink_ = add("sink", new Plain("Sink", "1/0", "h"), "");
    ASSERT_EQ(router_.add_connection(0, 0, 1, 0), 0);
    ASSERT_EQ(router_.add_connection(1, 0, 2, 0), 0);
    ASSERT_EQ(router_.add_connection(1, 1, 2, 0), 0);
    Lines errh;
    ASSERT_EQ(router_.check_port_numbers(&errh), 0);
    ASSERT_EQ(router_.resolve_processing(&errh), 0);
    ASSERT_EQ(router_.check_connection_use(&errh), 0);
    router_.wire_ports();
    router_.reset_handlers(true, true);
  }
  void TearDown() override { Router::static_cleanup(); }

  template <typename E>
  E* add(const char* name, E* element, const char* conf) {
    EXPECT_GE(router_.add_element(element, name, conf, "conf", 1), 0);
    return element;
  }
  std::string read(Element* e, const char* name, const char* param = "") {
    const Handler* h = Router::find_handler(e, name);
    EXPECT_NE(h, nullptr) << name;
    return h != nullptr ? Std(h->invoke_read(e, param)) : std::string();
  }
  int write(Element* e, const char* name, const char* value, ErrorHandler* errh) {
    const Handler* h = Router::find_handler(e, name);
    EXPECT_NE(h, nullptr) << name;
    return h != nullptr ? h->invoke_write(value, e, errh) : 0;
  }
  Element* root() { return router_.root_element(); }

  Router router_{"config text"};
  Element* src_;
  Rewriter* iprw_;
  Element* sink_;
};

TEST_F(HandlerTest, ElementReads) {
  struct Case {
    Element* element;
    const char* handler;
    const char* text;
  } cases[] = {
      {iprw_, "name", "nat/iprw"},
      {iprw_, "class", "Rewriter"},
      {iprw_, "config", "pattern - - 10.0.0.1"},
      {iprw_, "count", "7"},
      // The agnostic ports resolved to push.
      {iprw_, "ports",
       "1 input\npush~\t-\tsrc [0]\n2 outputs\npush~\t-\t[0] sink\npush~\t-\t[0] sink\n"},
      {sink_, "ports", "1 input\npush\t-\tnat/iprw [0], nat/iprw [1]\n0 outputs\n"},
      {src_, "ports", "0 inputs\n1 output\npush\t-\t[0] nat/iprw\n"},
      // Its own handlers come first, newest first; "config" is writable live.
      {iprw_, "handlers",
       "reset\tw\ncount\tr\nhandlers\tr.\nports\tr.\nconfig\trw.\nclass\tr.\nname\tr.\n"},
      {src_, "handlers", "handlers\tr.\nports\tr.\nconfig\tr.\nclass\tr.\nname\tr.\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(read(c.element, c.handler), c.text) << c.handler;
}

TEST_F(HandlerTest, GlobalReads) {
  const char* flat =
      "src :: Source(RATE 10);\n"
      "nat/iprw :: Rewriter(pattern - - 10.0.0.1);\n"
      "sink :: Sink;\n"
      "\n"
      "src -> nat/iprw\n"
      "    -> sink;\n"
      "nat/iprw [1] -> sink;\n";
  struct Case {
    const char* handler;
    const char* text;
  } cases[] = {
      {"version", "2.1"},
      {"driver", "userlevel"},
      {"list", "3\nsrc\nnat/iprw\nsink\n"},
      {"config", "config text"},
      {"flatconfig", flat},
      {"requirements", ""},
      {"handlers",
       "version\tr\ndriver\tr\nconfig\tr\nflatconfig\tr\nrequirements\tr\nhandlers\tr\nlist\tr\n"
       "stop\tw\nlog\tw\nptrace\tw\npubsublog\tw\noverlaylog\tw\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(read(root(), c.handler), c.text) << c.handler;
  EXPECT_EQ(Std(router_.unparse()), flat);
  EXPECT_EQ(Router::nglobal_handlers(), 12);

  // Without a router there is nothing to list.
  EXPECT_EQ(Std(Router::find_handler(nullptr, "list")->invoke_read(nullptr, String())), "");
  EXPECT_EQ(Std(Router::find_handler(nullptr, "version")->invoke_read(nullptr, String())), "2.1");
}

TEST(HandlerUnparse, RequirementsPortsAndCycles) {
  Router::static_initialize();
  Router router("the text");
  for (const char* name : {"a", "b"})
    router.add_element(new Plain("P", "-/-", "a"), name, name[0] == 'a' ? "x, y" : "", "f", 1);
  router.add_connection(0, 0, 1, 0);
  router.add_connection(1, 0, 0, 0);
  router.add_connection(0, 1, 1, 2);
  router.add_requirement("package", "my pkg");
  router.add_requirement("compact_config", "");

  const char* flat =
      "require(package \"my pkg\", compact_config);\n"
      "\n"
      ">a :: P(x, y);\n"
      ">b :: P;\n"
      "\n"
      ">a [1] -> [2] b;\n"
      ">a -> b\n"
      ">    -> a;\n";
  EXPECT_EQ(Std(router.unparse(">")), flat);
  // compact_config drops the text: "config" writes the graph back instead.
  EXPECT_FALSE(router.keeps_configuration());
  EXPECT_EQ(Std(router.configuration()), "");
  const Handler* config = Router::find_handler(router.root_element(), "config");
  EXPECT_EQ(Std(config->invoke_read(router.root_element(), String())), Std(router.unparse()));
  EXPECT_EQ(Std(Router::find_handler(nullptr, "requirements")
                    ->invoke_read(router.root_element(), String())),
            "package\nmy pkg\ncompact_config\n\n");
  Router::static_cleanup();
}

TEST_F(HandlerTest, FailedCallsAndParameters) {
  Lines errh;
  // Writing a read-only handler: the caller hears why.
  EXPECT_EQ(write(iprw_, "count", "1", &errh), Handler::kNotWritable);
  EXPECT_EQ(write(root(), "list", "1", &errh), Handler::kNotWritable);
  EXPECT_EQ(errh.lines, (std::vector<std::string>{"<3>'nat/iprw.count' not a write handler",
                                                  "<3>'list' not a write handler"}));

  // Failed reads are only empty results: nothing reaches anyone.
  EXPECT_EQ(read(iprw_, "reset"), "");
  EXPECT_EQ(read(iprw_, "count", "p"), "");
  EXPECT_EQ(Router::find_handler(iprw_, "nonesuch"), nullptr);
  EXPECT_EQ(Router::find_handler(root(), "nonesuch"), nullptr);
  // Element handlers are not global ones and the other way round.
  EXPECT_EQ(Router::find_handler(iprw_, "list"), nullptr);
  EXPECT_EQ(Router::find_handler(root(), "count"), nullptr);

  // add_read_handler never takes a parameter; a full read with kReadParam
  // does.
  Router::add_read_handler(iprw_, "plain", echo_param, nullptr, Handler::kReadParam);
  Router::set_handler(iprw_, "full", Handler::kRead | Handler::kReadParam, full_echo, iprw_);
  EXPECT_EQ(read(iprw_, "plain", "p"), "");
  EXPECT_EQ(read(iprw_, "plain"), "plain");
  EXPECT_EQ(read(iprw_, "full", "p"), "read:p:true");
  EXPECT_EQ(read(iprw_, "handlers").substr(0, 16), "full\tr+\nplain\tr\n");
  EXPECT_EQ(write(iprw_, "reset", "", &errh), 0);
  EXPECT_EQ(iprw_->count, 0);
  EXPECT_EQ(errh.lines.size(), 2u);
}

TEST_F(HandlerTest, SharedRecords) {
  // The defaults of all three elements share one record per name.
  const Handler* name = Router::find_handler(src_, "name");
  EXPECT_EQ(Router::find_handler(sink_, "name"), name);
  EXPECT_EQ(name->use_count(), 3);

  Element* other = new Rewriter;
  Router router("");
  router.add_element(new Rewriter, "r1", "", "f", 1);
  router.add_element(other, "r2", "", "f", 2);
  router.reset_handlers(true, true);
  Element* r1 = router.element(0);
  const Handler* count = Router::find_handler(r1, "count");
  ASSERT_EQ(Router::find_handler(other, "count"), count);
  EXPECT_EQ(count->use_count(), 2);

  // Other data: a record of its own; the first keeps one use.
  int data = 0;
  Router::add_read_handler(other, "count", Rewriter::read_count, &data);
  const Handler* mine = Router::find_handler(other, "count");
  EXPECT_NE(mine, count);
  EXPECT_EQ(mine->use_count(), 1);
  EXPECT_EQ(count->use_count(), 1);
  EXPECT_EQ(mine->name().data(), count->name().data()) << "one name text per chain";
  // Back to the shared form: the record of its own is freed and reused.
  Router::add_read_handler(other, "count", Rewriter::read_count, nullptr);
  EXPECT_EQ(Router::find_handler(other, "count"), count);
  EXPECT_EQ(count->use_count(), 2);
  Router::add_read_handler(r1, "count", Rewriter::read_count, &data);
  EXPECT_EQ(Router::find_handler(r1, "count"), mine);

  // A write side joins the read side of the same name.
  Router::add_write_handler(r1, "count", Rewriter::write_reset, nullptr);
  const Handler* both = Router::find_handler(r1, "count");
  EXPECT_TRUE(both->readable() && both->writable());
  EXPECT_EQ(Std(both->invoke_read(r1, String())), "7");
  EXPECT_EQ(Std(both->flag_letters()), "rw");

  // Clearing the default flag changes only that element's record.
  EXPECT_EQ(Router::clear_handler_flags(r1, "name"), 0);
  EXPECT_EQ(Router::clear_handler_flags(r1, "nonesuch"), -1);
  EXPECT_EQ(Std(Router::find_handler(r1, "name")->flag_letters()), "r");
  EXPECT_EQ(Std(Router::find_handler(other, "name")->flag_letters()), "r.");
}

TEST_F(HandlerTest, ManyRecordsAndReset) {
  // Past one block of records, every handler is still found by name.
  for (int i = 0; i < 300; ++i) {
    const String name = "h" + String(i);
    Router::add_read_handler(i % 2 ? src_ : sink_, name, echo_param,
                             reinterpret_cast<void*>(static_cast<intptr_t>(i + 1)));
  }
  for (int i = 0; i < 300; i += 37) {
    const Handler* h = Router::find_handler(i % 2 ? src_ : sink_, "h" + String(i));
    ASSERT_NE(h, nullptr) << i;
    EXPECT_EQ(h->read_user_data(), reinterpret_cast<void*>(static_cast<intptr_t>(i + 1)));
    EXPECT_EQ(Router::find_handler(i % 2 ? sink_ : src_, "h" + String(i)), nullptr);
  }
  // A reset drops them; defaults only leave out the element handlers and
  // the live "config" write.
  router_.reset_handlers(true, false);
  EXPECT_EQ(Router::find_handler(src_, "h1"), nullptr);
  EXPECT_EQ(Router::find_handler(iprw_, "count"), nullptr);
  EXPECT_EQ(read(iprw_, "handlers"), "handlers\tr.\nports\tr.\nconfig\tr.\nclass\tr.\nname\tr.\n");
  router_.reset_handlers(false, false);
  EXPECT_EQ(Router::find_handler(src_, "name"), nullptr);
}

TEST_F(HandlerTest, ConfigWriteAndCurrentConfiguration) {
  Lines errh;
  EXPECT_EQ(write(iprw_, "config", "a, b", &errh), 0);
  EXPECT_EQ(iprw_->arguments, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(read(iprw_, "config"), "a, b");
  // A refused configuration keeps the old text.
  EXPECT_LT(write(iprw_, "config", "bad", &errh), 0);
  EXPECT_EQ(errh.lines, std::vector<std::string>{"<3>bad pattern"});
  EXPECT_EQ(Std(iprw_->current_configuration()), "a, b");
  // Not reconfigurable live: no write side.
  EXPECT_EQ(write(src_, "config", "x", &errh), Handler::kNotWritable);

  // An element's own "config" handler answers for its configuration.
  Router::add_read_handler(src_, "config", echo_param, nullptr);
  EXPECT_EQ(Std(src_->current_configuration()), "plain");
  EXPECT_EQ(Std(sink_->current_configuration()), "");
}

TEST_F(HandlerTest, GlobalWrites) {
  Lines errh;
  Lines parser;
  ParseContext::blank.errh = &parser;
  EXPECT_EQ(write(root(), "stop", "3", &errh), 0);
  EXPECT_EQ(router_.runcount(), -3);
  // Not a number: stop once, the complaint goes to the value parsers.
  EXPECT_EQ(write(root(), "stop", "", &errh), 0);
  EXPECT_EQ(router_.runcount(), -4);
  EXPECT_EQ(write(root(), "stop", "-2147483648", &errh), 0);
  EXPECT_EQ(router_.runcount(), 2147483643);
  ParseContext::blank.errh = nullptr;
  EXPECT_EQ(parser.lines, std::vector<std::string>{"<3>invalid number"});

  // Reaching 0 asks every thread of the Master to stop.
  Master master;
  Router run("", &master);
  run.adjust_runcount(2);
  EXPECT_EQ(write(run.root_element(), "stop", "1", &errh), 0);
  EXPECT_FALSE(master.thread(0)->stop_flag());
  EXPECT_EQ(write(run.root_element(), "stop", "1", &errh), 0);
  EXPECT_EQ(run.runcount(), 0);
  EXPECT_TRUE(master.thread(-1)->stop_flag() && master.thread(0)->stop_flag());

  EXPECT_EQ(write(root(), "log", "debug more", &errh), 0);
  EXPECT_EQ(router_log_level, 7);
  EXPECT_EQ(write(root(), "log", "info", &errh), 0);
  EXPECT_EQ(router_log_level, 6);
  for (const char* name : {"ptrace", "pubsublog", "overlaylog"})
    EXPECT_EQ(write(root(), name, "anything", &errh), 0) << name;
  EXPECT_TRUE(errh.lines.empty());
}

TEST_F(HandlerTest, TaskHandlers) {
  Router router("");
  Worker* worker = new Worker;
  Worker* second = new Worker;
  router.add_element(worker, "w", "", "f", 1);
  router.add_element(second, "w2", "", "f", 2);
  router.reset_handlers(true, true);
  // The task is found by its place in the element, so both share records.
  EXPECT_EQ(Router::find_handler(worker, "w_tickets"), Router::find_handler(second, "w_tickets"));
  worker->work.set_tickets(100);
  EXPECT_EQ(read(worker, "w_scheduled"), "false");
  EXPECT_EQ(read(worker, "w_tickets"), "100");

  struct Case {
    const char* value;
    int result;
    int tickets;
    const char* message;
  } cases[] = {
      {"256", 0, 256, nullptr},
      {"0", 0, 1, "<4>warning: tickets pinned at 1"},
      {"40000", 0, 32768, "<4>warning: tickets pinned at 32768"},
      {"lots", -22, 32768, "<3>syntax error"},
  };
  for (const Case& c : cases) {
    Lines errh;
    EXPECT_EQ(write(worker, "w_tickets", c.value, &errh), c.result) << c.value;
    EXPECT_EQ(worker->work.tickets(), c.tickets) << c.value;
    EXPECT_EQ(worker->work.stride(), 65536 / c.tickets) << c.value;
    EXPECT_EQ(errh.lines,
              c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{})
        << c.value;
  }
  EXPECT_EQ(second->work.tickets(), -1);
  EXPECT_EQ(
      read(worker, "handlers"),
      "w_tickets\trw\nw_scheduled\tr\nhandlers\tr.\nports\tr.\nconfig\tr.\nclass\tr.\nname\tr.\n");
}

}  // namespace
