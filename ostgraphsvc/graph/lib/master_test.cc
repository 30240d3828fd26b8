#include "graph/master.h"

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/router.h"
#include "graph/task.h"
#include "graph/timer.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t thread_cpu_nsec() {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<int64_t>(ts.tv_sec) * Timestamp::kNsecPerSec + ts.tv_nsec;
}

// A task that runs again while `again`, a timer, and a selection hook that,
// once `blocking`, waits until `release` is called.
class Probe : public Element {
 public:
  const char* class_name() const override { return "Probe"; }
  bool run_task(Task*) override {
    ++task_runs;
    if (again) task.reschedule();
    if (stop_after_runs > 0 && task_runs == stop_after_runs) router()->adjust_runcount(-1);
    return true;
  }
  void run_timer(Timer*) override {
    ++timer_runs;
    task.reschedule();
    if (timer_runs < timer_repeats)
      timer.schedule_at(Timestamp::now() + Timestamp::make_msec(timer_interval_ms));
  }
  void selected(int fd, int mask) override {
    std::unique_lock<std::mutex> lock(mutex);
    ++hook_calls;
    hook_args = {fd, mask};
    task_runs_at_hook = task_runs;
    entered.notify_all();
    released.wait(lock, [this] { return !blocking; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex);
    blocking = false;
    released.notify_all();
  }
  // Up to 10 s for the loop to reach the hook.
  bool wait_for_hook() {
    std::unique_lock<std::mutex> lock(mutex);
    return entered.wait_for(lock, std::chrono::seconds(10), [this] { return hook_calls > 0; });
  }

  Task task{this};
  Timer timer{this};
  bool again = false;
  int task_runs = 0;
  int stop_after_runs = 0;
  int timer_runs = 0;
  int timer_repeats = 1;
  int timer_interval_ms = 10;

  std::mutex mutex;
  std::condition_variable entered;
  std::condition_variable released;
  bool blocking = true;
  int hook_calls = 0;
  std::vector<int> hook_args;
  int task_runs_at_hook = -1;
};

class MasterTest : public testing::Test {
 protected:
  // An active router with run count 1; the Master owns it.
  Router* add_router() {
    Router* router = new Router("", &master_);
    router->set_running_state(Router::kRunningActive);
    router->adjust_runcount(1);
    return router;
  }
  Probe* add_probe(Router* router, bool schedule) {
    Probe* probe = new Probe;
    router->add_element(probe, "p", "", "conf", 1);
    probe->task.initialize(probe, schedule);
    probe->timer.initialize(probe);
    return probe;
  }
  SchedulerThread* loop() { return master_.thread(0); }

  Master master_;
};

TEST_F(MasterTest, LoopWithoutHookRunsTasksAndTimersOnItsOwn) {
  Router* router = add_router();
  Probe* probe = add_probe(router, false);
  probe->timer_repeats = 5;
  probe->stop_after_runs = 5;
  probe->timer.schedule_at(Timestamp::now() + Timestamp::make_msec(10));

  const Clock::time_point start = Clock::now();
  EXPECT_TRUE(loop()->run());
  // Every firing scheduled one task run; the fifth run lowered the count.
  EXPECT_EQ(probe->timer_runs, 5);
  EXPECT_EQ(probe->task_runs, 5);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(45));
  EXPECT_FALSE(loop()->running());
  EXPECT_FALSE(loop()->stop_flag());
  EXPECT_EQ(router->running_state(), Router::kRunningDead);
  EXPECT_EQ(master_.pause_count(), 0);
}

TEST_F(MasterTest, HookBlocksAfterTwoPassesUntilTheStopPath) {
  Router* router = add_router();
  Probe* probe = add_probe(router, true);
  probe->again = true;
  loop()->register_select(probe);
  // Due at once, but the first timer check comes at pass 32.
  probe->timer.schedule_at(Timestamp::now());

  bool stopped = false;
  std::thread runner([&] { stopped = loop()->run(); });
  ASSERT_TRUE(probe->wait_for_hook());
  EXPECT_TRUE(loop()->running());
  router->adjust_runcount(-1);
  probe->release();
  runner.join();

  EXPECT_TRUE(stopped);
  EXPECT_EQ(probe->hook_calls, 1);
  EXPECT_EQ(probe->hook_args, (std::vector<int>{0, 1}));
  const int per_pass = SchedulerThread::kTasksPerPass + 1;
  EXPECT_EQ(probe->task_runs_at_hook, 2 * per_pass);
  EXPECT_EQ(probe->task_runs, 2 * per_pass);
  EXPECT_EQ(probe->timer_runs, 0);
  EXPECT_FALSE(loop()->running());
  // The killed router's task, timer and select entry are gone.
  EXPECT_TRUE(loop()->run_list_empty());
  EXPECT_FALSE(probe->timer.scheduled());
  EXPECT_EQ(loop()->select_table()[0].element, nullptr);
}

TEST_F(MasterTest, RunCountAtZeroEndsTheLoopBeforeAnyWork) {
  Router* router = add_router();
  Probe* probe = add_probe(router, true);
  probe->again = true;
  router->adjust_runcount(-1);
  EXPECT_TRUE(loop()->run());
  EXPECT_EQ(probe->task_runs, 0);
  EXPECT_EQ(router->running_state(), Router::kRunningDead);
  EXPECT_FALSE(loop()->running());

  // With no router at all a stop ends the loop too.
  Master empty;
  empty.thread(0)->set_stop_flag();
  EXPECT_TRUE(empty.thread(0)->run());
}

TEST_F(MasterTest, StopCheckKillsOnlyRoutersThatRanOut) {
  Router* a = add_router();
  Router* b = add_router();
  Probe* pa = add_probe(a, true);
  Probe* pb = add_probe(b, true);
  for (Probe* p : {pa, pb}) p->timer.schedule_at(Timestamp::now() + Timestamp::make_sec(60));
  loop()->process_pending();

  // A stop request while every router still runs kills nothing.
  loop()->set_stop_flag();
  EXPECT_FALSE(master_.check_stop(loop()));
  EXPECT_FALSE(loop()->stop_flag());
  EXPECT_EQ(a->running_state(), Router::kRunningActive);

  a->adjust_runcount(-1);
  EXPECT_TRUE(loop()->stop_flag() && master_.thread(-1)->stop_flag());
  EXPECT_FALSE(master_.check_stop(loop()));
  EXPECT_FALSE(loop()->stop_flag());
  EXPECT_EQ(a->running_state(), Router::kRunningDead);
  EXPECT_EQ(b->running_state(), Router::kRunningActive);
  EXPECT_EQ(loop()->first_task(), &pb->task);
  EXPECT_EQ(loop()->next_task(&pb->task), nullptr);
  EXPECT_FALSE(pa->timer.scheduled());
  EXPECT_EQ(pa->timer.owner(), nullptr);
  EXPECT_TRUE(pb->timer.scheduled());
  EXPECT_EQ(master_.pause_count(), 0);
  // Killed routers stay attached until destroyed.
  EXPECT_EQ(master_.refcount(), 2);

  b->adjust_runcount(-1);
  EXPECT_TRUE(master_.check_stop(loop()));
  EXPECT_TRUE(loop()->run_list_empty());
}

TEST_F(MasterTest, RemoveRouterKeepsTheOthersInOrder) {
  Router* a = add_router();
  Router* b = add_router();
  std::vector<Probe*> probes;
  for (int i = 0; i < 40; ++i) probes.push_back(add_probe(i % 3 == 0 ? a : b, true));
  // This seed makes a removal pull a not yet visited ancestor down into
  // the freed slot.
  std::mt19937 random(1);
  const Timestamp base = Timestamp::now() + Timestamp::make_sec(60);
  for (Probe* p : probes)
    p->timer.schedule_at(base + Timestamp::make_msec(static_cast<int64_t>(random() % 1000)));
  loop()->process_pending();
  loop()->register_select(probes[0]);
  std::vector<Task*> b_tasks;
  for (Task* t = loop()->first_task(); t != nullptr; t = loop()->next_task(t))
    if (t->owner()->router() == b) b_tasks.push_back(t);

  loop()->remove_router(a);

  std::vector<Task*> left;
  for (Task* t = loop()->first_task(); t != nullptr; t = loop()->next_task(t)) left.push_back(t);
  EXPECT_EQ(left, b_tasks);
  TimerHeap& heap = loop()->timer_heap();
  ASSERT_EQ(heap.size(), 26);
  for (int i = 0; i < heap.size(); ++i) {
    EXPECT_EQ(heap.timer_at(i)->owner()->router(), b);
    EXPECT_EQ(heap.timer_at(i)->heap_position(), i + 1);
    EXPECT_FALSE(heap.expiry_at(i) < heap.expiry_at(i / 4)) << i;
  }
  EXPECT_EQ(heap.earliest(), heap.expiry_at(0));
  for (int i = 0; i < 40; i += 3) {
    EXPECT_FALSE(probes[i]->timer.scheduled());
    EXPECT_EQ(probes[i]->timer.owner(), nullptr);
  }
  ASSERT_EQ(loop()->select_table().size(), 1);
  EXPECT_EQ(loop()->select_table()[0].element, nullptr);
  EXPECT_EQ(loop()->select_table()[0].fd, -1);
}

TEST_F(MasterTest, UnregisteringSettlesThePauseOfTheRunningState) {
  struct Case {
    int running_state;
    int pause_before;
    int pause_after;
  } cases[] = {
      {Router::kRunningInactive, 0, 0},
      {Router::kRunningPreparing, 1, 0},
      {Router::kRunningActive, 0, 0},
  };
  for (const Case& c : cases) {
    Router* router = new Router("", &master_);
    EXPECT_EQ(master_.first_router(), router);
    EXPECT_EQ(master_.refcount(), 1);
    Probe* probe = add_probe(router, false);
    probe->timer.schedule_at(Timestamp::now() + Timestamp::make_sec(60));
    router->set_running_state(c.running_state);
    if (c.pause_before > 0) master_.pause();
    master_.unregister_router(router);
    EXPECT_EQ(master_.pause_count(), c.pause_after) << c.running_state;
    EXPECT_EQ(router->master(), nullptr);
    EXPECT_EQ(master_.first_router(), nullptr);
    EXPECT_EQ(master_.refcount(), 0);
    EXPECT_EQ(probe->timer.scheduled(), c.running_state < 0) << c.running_state;
    delete router;
  }
}

TEST(MasterLifetimeTest, DestroyingTheMasterDropsItsRouters) {
  static int destroyed;
  struct Tracked : Element {
    const char* class_name() const override { return "Tracked"; }
    ~Tracked() override { ++destroyed; }
  };
  destroyed = 0;
  Master* master = new Master;
  Router* first = new Router("", master);
  Router* second = new Router("", master);
  Router* held = new Router("", master);
  for (Router* r : {first, second, held}) r->add_element(new Tracked, "t", "", "conf", 1);
  EXPECT_EQ(master->refcount(), 3);
  EXPECT_EQ(master->first_router(), held);
  held->use();

  delete master;
  EXPECT_EQ(destroyed, 2);
  EXPECT_EQ(held->master(), nullptr);
  held->unuse();
  EXPECT_EQ(destroyed, 3);
}

TEST(ElementHomeThreadTest, FollowsTheRouterAndItsMaster) {
  Master master;
  Router with_master("", &master);
  Router without_master("");
  Probe* in_master = new Probe;
  Probe* no_master = new Probe;
  Probe alone;
  with_master.add_element(in_master, "p", "", "conf", 1);
  without_master.add_element(no_master, "p", "", "conf", 1);
  // Unassigned before the router is live: thread 0.
  EXPECT_EQ(in_master->home_thread(), master.thread(0));
  EXPECT_EQ(no_master->home_thread(), nullptr);
  EXPECT_EQ(alone.home_thread(), nullptr);
}

// An idle loop sleeps, whether or not a timer is pending far ahead, and the
// stop path from another thread ends the wait at once.
TEST_F(MasterTest, IdleLoopSleepsAndStopsPromptly) {
  for (bool far_timer : {false, true}) {
    Master master;
    Router* router = new Router("", &master);
    router->set_running_state(Router::kRunningActive);
    router->adjust_runcount(1);
    Probe* probe = add_probe(router, false);
    if (far_timer) probe->timer.schedule_at(Timestamp::now() + Timestamp::make_sec(60));

    int64_t cpu_nsec = 0;
    Clock::time_point returned;
    std::thread runner([&] {
      const int64_t cpu_start = thread_cpu_nsec();
      EXPECT_TRUE(master.thread(0)->run());
      returned = Clock::now();
      cpu_nsec = thread_cpu_nsec() - cpu_start;
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const Clock::time_point stop = Clock::now();
    router->adjust_runcount(-1);
    runner.join();

    const auto latency = std::chrono::duration_cast<std::chrono::milliseconds>(returned - stop);
    EXPECT_LT(cpu_nsec, 50 * Timestamp::kNsecPerMsec) << far_timer;
    EXPECT_LT(latency.count(), 100) << far_timer;
    EXPECT_FALSE(probe->timer.scheduled());
    RecordProperty(far_timer ? "idle_cpu_us_far_timer" : "idle_cpu_us",
                   static_cast<int>(cpu_nsec / 1000));
    RecordProperty(
        far_timer ? "stop_latency_us_far_timer" : "stop_latency_us",
        static_cast<int>(
            std::chrono::duration_cast<std::chrono::microseconds>(returned - stop).count()));
  }
}

// A timer that falls due while another router's initialisation pauses the
// Master runs once that router is activated from another thread: the
// unpause wakes the loop, which was waiting out the pause.
TEST_F(MasterTest, TimerHeldByAPauseRunsWhenAnotherThreadActivates) {
  struct TimerProbe : Element {
    const char* class_name() const override { return "TimerProbe"; }
    void run_timer(Timer*) override { fired.store(true); }
    Timer timer{this};
    std::atomic<bool> fired{false};
  };
  Router* running = add_router();
  auto* probe = new TimerProbe;
  running->add_element(probe, "t", "", "conf", 1);
  probe->timer.initialize(probe);
  probe->timer.schedule_at(Timestamp::now() + Timestamp::make_msec(300));
  Router* second = new Router("", &master_);

  std::thread runner([&] { EXPECT_TRUE(loop()->run()); });
  SilentErrorHandler errh;
  ASSERT_EQ(second->initialize(&errh), 0);
  EXPECT_TRUE(master_.paused());
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_FALSE(probe->fired.load());
  second->activate();
  const Clock::time_point activated = Clock::now();
  while (!probe->fired.load() && Clock::now() - activated < std::chrono::seconds(2))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto latency = Clock::now() - activated;
  EXPECT_TRUE(probe->fired.load());
  EXPECT_LT(latency, std::chrono::milliseconds(200));
  running->adjust_runcount(-1);
  second->adjust_runcount(-1);
  runner.join();
}

// The stop path alone ends a loop parked in a hook that blocks until its
// thread is told to stop, as the capture hook does.
TEST_F(MasterTest, StopPathEndsALoopParkedInTheHook) {
  struct StopAwareHook : Element {
    const char* class_name() const override { return "StopAwareHook"; }
    void selected(int, int) override {
      entered.store(true);
      while (!home_thread()->stop_flag()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::atomic<bool> entered{false};
  };
  Router* router = add_router();
  auto* hook = new StopAwareHook;
  router->add_element(hook, "h", "", "conf", 1);
  loop()->register_select(hook);

  std::thread runner([&] { EXPECT_TRUE(loop()->run()); });
  const Clock::time_point start = Clock::now();
  while (!hook->entered.load() && Clock::now() - start < std::chrono::seconds(10))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(hook->entered.load());
  const Clock::time_point stop = Clock::now();
  router->adjust_runcount(-1);
  runner.join();
  EXPECT_LT(Clock::now() - stop, std::chrono::milliseconds(100));
  EXPECT_EQ(router->running_state(), Router::kRunningDead);
  EXPECT_EQ(loop()->select_table()[0].element, nullptr);
}

}  // namespace
