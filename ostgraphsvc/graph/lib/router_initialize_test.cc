#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/master.h"
#include "graph/router.h"
#include "ostgraphsvc/graph/lib/conversions.h"
#include "ostgraphsvc/graph/lib/graph_testing.h"
#include "tests/support/started_log.h"

namespace {

using graph_testing::Lines;
using graph_testing::Std;
using Events = std::vector<std::string>;

// Records what the router does to it as "<name> <event>" lines.
class Staged : public Element {
 public:
  struct Setup {
    int phase = 100;
    int configure_result = 0;
    const char* configure_error = nullptr;  // reported before failing
    int initialize_result = 0;
    const char* ports = "0";
  };

  Staged(Events* events, const Setup& setup) : events_(events), setup_(setup) {}
  ~Staged() override { record("delete"); }
  const char* class_name() const override { return "Staged"; }
  const char* port_count() const override { return setup_.ports; }
  int configure_phase() const override { return setup_.phase; }
  int configure(Vector<String>& conf, ErrorHandler* errh) override {
    std::string args;
    for (const String& s : conf) args += " [" + Std(s) + "]";
    record("configure" + args);
    if (setup_.configure_error != nullptr) {
      errh->error(setup_.configure_error);
      errh->message("detail");
    }
    return setup_.configure_result;
  }
  void add_handlers() override { Router::add_read_handler(this, "mine", read_mine, nullptr); }
  int initialize(ErrorHandler*) override {
    record("initialize");
    return setup_.initialize_result;
  }
  void cleanup(CleanupStage stage) override { record("cleanup " + std::to_string(stage)); }

 private:
  static String read_mine(Element*, void*) { return String("mine"); }
  void record(const std::string& what) { events_->push_back(Std(name()) + " " + what); }

  Events* events_;
  Setup setup_;
};

class RouterInitializeTest : public ::testing::Test {
 protected:
  void SetUp() override { install_default_conversions(); }

  // Element i is named "e<i>" and sits at line i + 1 of "conf".
  Staged* add(Router* router, const Staged::Setup& setup, const char* conf = "") {
    const int i = router->nelements();
    const std::string name = "e" + std::to_string(i);
    auto* e = new Staged(&events_, setup);
    EXPECT_EQ(router->add_element(e, name.c_str(), conf, "conf", i + 1), i);
    return e;
  }
  // The events whose text contains `what`, in order.
  Events only(const char* what) const {
    Events out;
    for (const std::string& e : events_) {
      if (e.find(what) != std::string::npos) out.push_back(e);
    }
    return out;
  }

  Events events_;
  Lines errh_;
};

TEST_F(RouterInitializeTest, ElementsRunInConfigurePhaseOrderAndCleanUpInReverse) {
  // Ties at 8 and 100 come out of the framework sort in a different order
  // than a stable sort would give.
  const int phases[] = {100, 7, 13, 0, 10, 8, 100, 0, 7, 100, 13, 8};
  const Events order = {"e3", "e7", "e1", "e8", "e11", "e5", "e4", "e2", "e10", "e6", "e0", "e9"};
  auto with = [&](const char* event, bool reverse) {
    Events out;
    for (const std::string& name : order) out.push_back(name + " " + event);
    if (reverse) return Events(out.rbegin(), out.rend());
    return out;
  };

  auto* router = new Router("");
  for (int phase : phases) add(router, {.phase = phase});
  ASSERT_EQ(router->initialize(&errh_), 0);
  EXPECT_TRUE(errh_.lines.empty());
  EXPECT_EQ(only("configure"), with("configure", false));
  EXPECT_EQ(only("initialize"), with("initialize", false));
  EXPECT_EQ(router->state(), Router::kLive);
  EXPECT_EQ(router->runcount(), 1);
  for (int i = -1; i < router->nelements(); ++i)
    EXPECT_EQ(router->home_thread_id(router->element(i)), 0) << i;

  events_.clear();
  delete router;
  EXPECT_EQ(only("cleanup"), with("cleanup 5", true));
  EXPECT_EQ(only("delete"), with("delete", true));
}

TEST_F(RouterInitializeTest, EveryConfigureFailureIsReportedUnderItsElement) {
  Router router("");
  add(&router, {.phase = 10}, "a, b");
  add(&router, {.phase = 0, .configure_result = -1, .configure_error = "bad %<thing%>"});
  add(&router, {.phase = 20, .configure_result = -12});
  add(&router, {.phase = 30, .configure_result = -1});
  add(&router, {.phase = 5});

  EXPECT_EQ(router.initialize(&errh_), -1);
  EXPECT_EQ(errh_.lines, (Events{
                             "<3>{context:context}{l:conf:2}While configuring 'e1 :: Staged':",
                             "<3>  bad 'thing'",
                             "<6>  detail",
                             "<3>{context:context}{l:conf:3}While configuring 'e2 :: Staged':",
                             "<3>  out of memory",
                             "<3>{context:context}{l:conf:4}While configuring 'e3 :: Staged':",
                             "<3>  unspecified error",
                             "<3>Router could not be initialized!",
                         }));
  // Everything was configured; nothing was initialised.
  EXPECT_EQ(events_, (Events{
                         "e1 configure",
                         "e4 configure",
                         "e0 configure [a] [b]",
                         "e2 configure",
                         "e3 configure",
                         "e3 cleanup 1",
                         "e2 cleanup 1",
                         "e0 cleanup 2",
                         "e4 cleanup 2",
                         "e1 cleanup 1",
                     }));
  EXPECT_EQ(router.state(), Router::kDead);
  EXPECT_EQ(router.running_state(), Router::kRunningDead);
  EXPECT_EQ(router.runcount(), 0);
  // Only the default handlers survive.
  EXPECT_NE(Router::find_handler(router.element(0), "name"), nullptr);
  EXPECT_EQ(Router::find_handler(router.element(0), "mine"), nullptr);

  errh_.lines.clear();
  EXPECT_EQ(router.initialize(&errh_), ErrorHandler::kErrorResult);
  EXPECT_EQ(errh_.lines, Events{"<3>second attempt to initialize router"});
}

// The service log shows the start of an initialisation and each element's
// configure outcome, at their levels, in configure order.
TEST_F(RouterInitializeTest, InitializationLogLines) {
  testing_support::StartedLog log(CXLOG_FMT_LEVEL_NAME);
  Router router("");
  add(&router, {.phase = 10});
  add(&router, {.phase = 0, .configure_result = -1});
  EXPECT_EQ(router.initialize(&errh_), -1);
  EXPECT_EQ(log.text(),
            " vedororore info Router::initialize Initializing router\n"
            " vedororore error Router::initialize element e1 configure failed\n"
            " vedororore info Router::initialize element e0 configure successfully\n");
}

TEST_F(RouterInitializeTest, InitializeStopsAtTheFirstFailure) {
  struct Case {
    const char* what;
    bool placeholder;  // an ErrorElement fails in place of e1
    Events messages;
  } cases[] = {
      {"silent element",
       false,
       {"<3>{context:context}{l:conf:2}While initializing 'e1 :: Staged':",
        "<3>  unspecified error", "<3>Router could not be initialized!"}},
      {"unknown class", true, {"<3>Router could not be initialized!"}},
  };
  for (const Case& c : cases) {
    events_.clear();
    Lines errh;
    auto* router = new Router("");
    add(router, {.phase = 1});
    if (c.placeholder) {
      router->add_element(new ErrorElement, "e1", "", "conf", 2);
    } else {
      add(router, {.phase = 2, .initialize_result = -1});
    }
    // After the placeholder's phase (100).
    add(router, {.phase = 200});
    EXPECT_EQ(router->initialize(&errh), -1) << c.what;
    EXPECT_EQ(errh.lines, c.messages) << c.what;
    Events expected = {"e0 initialize"};
    if (!c.placeholder) expected.push_back("e1 initialize");
    expected.push_back("e2 cleanup 2");
    if (!c.placeholder) expected.push_back("e1 cleanup 3");
    expected.push_back("e0 cleanup 4");
    Events seen = only("initialize");
    for (const std::string& e : only("cleanup")) seen.push_back(e);
    EXPECT_EQ(seen, expected) << c.what;

    // A dead router cleaned up already: destruction only deletes.
    events_.clear();
    delete router;
    EXPECT_TRUE(only("cleanup").empty()) << c.what;
    EXPECT_EQ(only("delete").size(), c.placeholder ? 2u : 3u) << c.what;
  }
}

TEST_F(RouterInitializeTest, GraphErrorsStopBeforeConfiguring) {
  // A connection into an input e1 does not have.
  auto* router = new Router("");
  add(router, {.phase = 7, .ports = "0/1"});
  add(router, {.phase = 3, .ports = "1/0"});
  router->add_connection(0, 0, 1, 1);
  EXPECT_EQ(router->initialize(&errh_), -1);
  EXPECT_EQ(errh_.lines, (Events{"{l:conf:2}<3>'e1 :: Staged' has no input 1",
                                 "<3>Router could not be initialized!"}));
  EXPECT_EQ(events_, (Events{"e0 cleanup 0", "e1 cleanup 0"}));
  events_.clear();
  delete router;
  EXPECT_EQ(events_, (Events{"e0 delete", "e1 delete"}));
}

TEST_F(RouterInitializeTest, BadConnectionEndsLeaveTheRouterConfiguring) {
  auto* router = new Router("");
  add(router, {.ports = "0/1"});
  add(router, {.ports = "1/0"});
  router->add_connection(0, 0, 1, 0);
  router->add_connection(0, -1, 7, 0);
  router->add_connection(-3, 0, 1, -2);
  EXPECT_EQ(router->initialize(&errh_), -1);
  EXPECT_EQ(errh_.lines, (Events{"<3>bad element number '7'", "<3>bad port number '-1'",
                                 "<3>bad port number '-2'", "<3>bad element number '-3'"}));
  EXPECT_EQ(router->connections().size(), 1);
  EXPECT_EQ(router->state(), Router::kConfiguring);
  EXPECT_EQ(router->runcount(), 0);
  EXPECT_TRUE(events_.empty());

  // Never configured: cleaned up in reverse index order, deleted in index
  // order.
  delete router;
  EXPECT_EQ(events_, (Events{"e1 cleanup 0", "e0 cleanup 0", "e0 delete", "e1 delete"}));
}

TEST_F(RouterInitializeTest, ActivationAndThePauseOfTheMaster) {
  Master master;
  auto* live = new Router("", &master);
  live->use();
  add(live, {});
  live->activate();
  EXPECT_EQ(live->running_state(), Router::kRunningInactive);

  ASSERT_EQ(live->initialize(&errh_), 0);
  EXPECT_EQ(live->running_state(), Router::kRunningPreparing);
  EXPECT_EQ(master.pause_count(), 1);
  live->activate();
  EXPECT_EQ(live->running_state(), Router::kRunningActive);
  EXPECT_EQ(master.pause_count(), 0);
  live->activate();
  EXPECT_EQ(master.pause_count(), 0);

  // Failing gives back the pause it took.
  Router dead("", &master);
  add(&dead, {.initialize_result = -1});
  EXPECT_EQ(dead.initialize(&errh_), -1);
  EXPECT_EQ(dead.running_state(), Router::kRunningDead);
  EXPECT_EQ(master.pause_count(), 0);
  dead.activate();
  EXPECT_EQ(dead.running_state(), Router::kRunningDead);

  // So does destroying a live router that never ran.
  {
    Router waiting("", &master);
    add(&waiting, {});
    ASSERT_EQ(waiting.initialize(&errh_), 0);
    EXPECT_EQ(master.pause_count(), 1);
  }
  EXPECT_EQ(master.pause_count(), 0);

  // The last holder destroys the router; an active one leaves the pause
  // count as it is.
  events_.clear();
  live->use();
  live->unuse();
  EXPECT_TRUE(events_.empty());
  live->unuse();
  EXPECT_EQ(events_, (Events{"e0 cleanup 5", "e0 delete"}));
  EXPECT_EQ(master.pause_count(), 0);
}

}  // namespace
