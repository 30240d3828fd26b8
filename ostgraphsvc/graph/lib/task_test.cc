#include "graph/task.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "graph/element.h"
#include "graph/master.h"
#include "graph/router.h"

namespace {

// Counts its runs; asks to run again while `again` is set.
class Worker : public Element {
 public:
  const char* class_name() const override { return "Worker"; }
  bool run_task(Task* t) override {
    ++runs;
    if (again) t->reschedule();
    return worked;
  }

  Task task{this};
  int runs = 0;
  bool again = true;
  bool worked = true;
};

class TaskTest : public testing::Test {
 protected:
  TaskTest() { router_.set_running_state(Router::kRunningActive); }

  Worker* add(const char* name, int tickets, bool schedule = true) {
    Worker* w = new Worker;
    router_.add_element(w, name, "", "conf", 1);
    w->task.initialize(w, schedule);
    w->task.set_tickets(tickets);
    return w;
  }
  SchedulerThread* thread() { return master_.thread(0); }
  std::vector<Task*> run_list() {
    std::vector<Task*> tasks;
    for (Task* t = thread()->first_task(); t != nullptr; t = thread()->next_task(t))
      tasks.push_back(t);
    return tasks;
  }

  Master master_;
  Router router_{"", &master_};
};

TEST(TaskPassTest, ComparesBySignedDifference) {
  struct Case {
    int a, b;
    bool after;
  } cases[] = {
      {1, 0, true},
      {0, 0, false},
      {-1, 0, false},
      {INT_MIN, INT_MAX, true},
      {INT_MAX, INT_MIN, false},
      {INT_MIN + 5, INT_MAX - 5, true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TaskLink::pass_after(c.a, c.b), c.after) << c.a << " " << c.b;
}

TEST_F(TaskTest, TicketsSetStride) {
  struct Case {
    int tickets, stored, stride;
  } cases[] = {{1024, 1024, 64},  {512, 512, 128},   {3, 3, 21845},
               {32768, 32768, 2}, {65536, 32768, 2}, {1, 1, 65536}};
  Worker* w = add("w", 1024, false);
  EXPECT_EQ(w->task.home_thread_id(), 0);
  EXPECT_EQ(w->task.thread(), thread());
  for (const Case& c : cases) {
    w->task.set_tickets(c.tickets);
    EXPECT_EQ(w->task.tickets(), c.stored) << c.tickets;
    EXPECT_EQ(w->task.stride(), c.stride) << c.tickets;
  }
}

TEST_F(TaskTest, StridesShareRunsTwoToOne) {
  Worker* a = add("a", 1024);
  Worker* b = add("b", 512);
  ASSERT_EQ(a->task.stride(), 64);
  ASSERT_EQ(b->task.stride(), 128);
  EXPECT_TRUE(a->task.on_pending_list());
  thread()->process_pending();
  EXPECT_TRUE(thread()->pending_list_empty());
  EXPECT_EQ(run_list(), (std::vector<Task*>{&a->task, &b->task}));
  for (int i = 1; i <= 300; ++i) {
    thread()->run_tasks(0);
    ASSERT_EQ(a->runs + b->runs, i);
    // a's fair share of i runs is 2i/3; never more than one run away.
    ASSERT_LE(std::abs(3 * a->runs - 2 * i), 3) << "after " << i << " runs";
  }
  EXPECT_EQ(a->runs, 200);
  EXPECT_EQ(b->runs, 100);
}

TEST_F(TaskTest, OrderSurvivesPassWrapAround) {
  Worker* slow = add("slow", 1);  // stride 65536: near INT_MAX in 32767 runs
  thread()->process_pending();
  thread()->run_tasks(32765);
  ASSERT_EQ(slow->runs, 32766);
  ASSERT_EQ(slow->task.pass(), INT_MAX - 65535);
  Worker* fast = add("fast", 1024);
  thread()->process_pending();
  EXPECT_EQ(run_list(), (std::vector<Task*>{&slow->task, &fast->task}));
  // slow wraps to INT_MIN first; fast must still catch up to it through the
  // wrap rather than let the wrapped pass look earliest.
  for (int i = 0; i < 2048; ++i) thread()->run_tasks(0);
  EXPECT_EQ(slow->runs - 32766, 2);
  EXPECT_EQ(fast->runs, 2046);
}

TEST_F(TaskTest, BatchLengthFollowsWork) {
  struct Case {
    bool worked;
    int max;
    int runs;
  } cases[] = {{true, 128, 129}, {false, 128, 1}, {true, 0, 1}, {true, 40000, 32769}};
  for (const Case& c : cases) {
    Worker* w = add("w", 1024);
    w->worked = c.worked;
    thread()->process_pending();
    thread()->run_tasks(c.max);
    EXPECT_EQ(w->runs, c.runs) << c.worked << " " << c.max;
    w->task.cleanup();
    EXPECT_TRUE(thread()->run_list_empty());
  }
}

TEST_F(TaskTest, IdleTaskYieldsToTheNextPass) {
  Worker* a = add("a", 1024);
  Worker* b = add("b", 256);  // pass 64 + 256 = 320
  thread()->process_pending();
  a->worked = false;
  thread()->run_tasks(0);
  // An idle run jumps to b's pass and goes behind it.
  EXPECT_EQ(a->task.pass(), b->task.pass());
  EXPECT_EQ(run_list(), (std::vector<Task*>{&b->task, &a->task}));
  thread()->run_tasks(0);
  EXPECT_EQ(b->runs, 1);
}

TEST_F(TaskTest, RunWithoutNewRequestLeavesTheList) {
  Worker* w = add("w", 1024);
  w->again = false;
  thread()->process_pending();
  thread()->run_tasks(128);
  EXPECT_EQ(w->runs, 1);
  EXPECT_FALSE(w->task.scheduled());
  EXPECT_TRUE(thread()->run_list_empty());
  w->task.reschedule();  // active router: straight onto the run list
  EXPECT_TRUE(w->task.on_run_list());
  EXPECT_FALSE(w->task.on_pending_list());
  thread()->run_tasks(128);
  EXPECT_EQ(w->runs, 2);
}

TEST_F(TaskTest, RescheduleKeepsAListedTaskInPlace) {
  Worker* a = add("a", 1024);
  Worker* b = add("b", 1024);
  thread()->process_pending();
  const int pass = b->task.pass();
  b->task.reschedule();
  b->task.reschedule();
  EXPECT_EQ(b->task.pass(), pass);
  EXPECT_EQ(run_list(), (std::vector<Task*>{&a->task, &b->task}));
}

TEST_F(TaskTest, PreparingRouterKeepsTasksPending) {
  router_.set_running_state(Router::kRunningPreparing);
  Worker* w = add("w", 1024);
  w->task.reschedule();  // already pending: listed once
  EXPECT_TRUE(w->task.on_pending_list());
  for (int pass = 0; pass < 3; ++pass) {
    thread()->process_pending();
    EXPECT_TRUE(w->task.on_pending_list());
    EXPECT_FALSE(w->task.on_run_list());
    thread()->run_tasks(128);
  }
  EXPECT_EQ(w->runs, 0);
  router_.set_running_state(Router::kRunningActive);
  thread()->process_pending();
  EXPECT_FALSE(w->task.on_pending_list());
  EXPECT_EQ(run_list(), std::vector<Task*>{&w->task});
  thread()->run_tasks(0);
  EXPECT_EQ(w->runs, 1);
}

TEST_F(TaskTest, DeadRouterNeverQueues) {
  router_.set_running_state(Router::kRunningDead);
  Worker* w = add("w", 1024);
  EXPECT_TRUE(w->task.scheduled());
  EXPECT_FALSE(w->task.on_pending_list());
  w->task.reschedule();
  EXPECT_FALSE(w->task.on_pending_list());
  EXPECT_TRUE(thread()->pending_list_empty());
}

TEST_F(TaskTest, CleanupUnlinksFromPendingAndRunLists) {
  router_.set_running_state(Router::kRunningPreparing);
  Worker* a = add("a", 1024);
  Worker* b = add("b", 1024);
  Worker* c = add("c", 1024);
  b->task.cleanup();  // middle
  c->task.cleanup();  // last: the list's end moves back to a
  EXPECT_EQ(c->task.owner(), nullptr);
  EXPECT_EQ(c->task.thread(), nullptr);
  EXPECT_EQ(c->task.home_thread_id(), -1);
  Worker* d = add("d", 1024);
  router_.set_running_state(Router::kRunningActive);
  thread()->process_pending();
  EXPECT_EQ(run_list(), (std::vector<Task*>{&a->task, &d->task}));

  a->task.cleanup();  // only one
  d->task.cleanup();
  EXPECT_TRUE(thread()->run_list_empty());
  Worker* e = add("e", 1024);  // the emptied pending list still appends
  thread()->process_pending();
  EXPECT_EQ(run_list(), std::vector<Task*>{&e->task});
}

TEST_F(TaskTest, CleanupOfATaskOnBothLists) {
  Worker* w = add("w", 1024);
  thread()->process_pending();
  router_.set_running_state(Router::kRunningPreparing);
  w->task.reschedule();
  ASSERT_TRUE(w->task.on_run_list());
  ASSERT_TRUE(w->task.on_pending_list());
  w->task.cleanup();
  EXPECT_TRUE(thread()->run_list_empty());
  EXPECT_TRUE(thread()->pending_list_empty());
}

TEST_F(TaskTest, HookRunsInsteadOfTheElement) {
  Worker* w = add("w", 1024, false);
  int calls = 0;
  Task hooked(
      [](Task*, void* data) {
        ++*static_cast<int*>(data);
        return true;
      },
      &calls);
  hooked.initialize(w, true);
  thread()->process_pending();
  thread()->run_tasks(5);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(w->runs, 0);
}

TEST_F(TaskTest, StopFlagHaltsTheRun) {
  Worker* w = add("w", 1024);
  thread()->process_pending();
  thread()->set_stop_flag();
  thread()->run_tasks(128);
  EXPECT_EQ(w->runs, 0);
  thread()->clear_stop_flag();
  thread()->run_tasks(0);
  EXPECT_EQ(w->runs, 1);
}

}  // namespace
