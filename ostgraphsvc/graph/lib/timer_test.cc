#include "graph/timer.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "graph/element.h"
#include "graph/master.h"
#include "graph/router.h"
#include "graph/task.h"

namespace {

struct timespec g_now;
void fake_clock(struct timespec* now) { *now = g_now; }

void set_now(Timestamp t) {
  g_now.tv_sec = static_cast<time_t>(t.nsec() / Timestamp::kNsecPerSec);
  g_now.tv_nsec = static_cast<long>(t.nsec() % Timestamp::kNsecPerSec);
}

Timestamp ms(int64_t msec) { return Timestamp::make_msec(msec); }

class Owner : public Element {
 public:
  const char* class_name() const override { return "Owner"; }
  bool run_task(Task*) override {
    ++task_runs;
    return true;
  }
  void run_timer(Timer* timer) override { fired.push_back(timer); }

  std::vector<Timer*> fired;
  int task_runs = 0;
};

// A Master, an active router and an element on the fake clock; the heap's
// last run time is the clock when the rig is made.
struct ClockAt {
  explicit ClockAt(Timestamp now) { set_now(now); }
};

struct Rig : ClockAt {
  explicit Rig(Timestamp now) : ClockAt(now), router("", &master) {
    router.set_running_state(Router::kRunningActive);
    router.add_element(owner, "owner", "", "conf", 1);
  }
  SchedulerThread* thread() { return master.thread(0); }
  TimerHeap& heap() { return thread()->timer_heap(); }
  void run_at(Timestamp now) {
    set_now(now);
    heap().run_timers(thread(), &master);
  }

  Master master;
  Router router;
  Owner* owner = new Owner;
};

class TimerTest : public testing::Test {
 protected:
  TimerTest() { set_system_time_source(fake_clock); }
  ~TimerTest() override { set_system_time_source(nullptr); }

  // Every heap entry knows its position, matches its timer's expiry, and is
  // no earlier than its parent.
  static void expect_heap_valid(const TimerHeap& heap) {
    for (int i = 0; i < heap.size(); ++i) {
      ASSERT_EQ(heap.timer_at(i)->heap_position(), i + 1) << i;
      ASSERT_EQ(heap.timer_at(i)->expiry(), heap.expiry_at(i)) << i;
      if (i > 0) {
        ASSERT_LE(heap.expiry_at(i / 4), heap.expiry_at(i)) << i;
      }
    }
    ASSERT_EQ(heap.earliest(), heap.empty() ? Timestamp() : heap.expiry_at(0));
  }
};

TEST_F(TimerTest, ScheduleAtClampsFarPastExpiries) {
  struct Case {
    Timestamp last_run, when, expiry;
  } cases[] = {
      {ms(10200), ms(9000), ms(9000)},    // within a whole second: kept
      {ms(10200), ms(8900), ms(10200)},   // further back: the last run time
      {ms(10200), ms(30000), ms(30000)},  //
      {ms(10200), Timestamp(), ms(10200)},
      {ms(500), Timestamp(), Timestamp::make_nsec(1)},  // 0 means 1 ns
  };
  for (const Case& c : cases) {
    Rig rig(c.last_run);
    Timer timer(rig.owner);
    timer.initialize(rig.owner);
    EXPECT_EQ(timer.thread(), rig.thread());
    timer.schedule_at(c.when);
    EXPECT_EQ(timer.expiry(), c.expiry) << c.when.nsec();
    EXPECT_EQ(rig.heap().earliest(), c.expiry);
  }
}

TEST_F(TimerTest, HeapStaysOrderedUnderRandomOperations) {
  Rig rig(ms(10000));
  std::vector<std::unique_ptr<Timer>> timers;
  for (int i = 0; i < 300; ++i) {
    timers.push_back(std::make_unique<Timer>(rig.owner));
    timers.back()->initialize(rig.owner);
  }
  std::mt19937 rng(7);
  for (int step = 0; step < 4000; ++step) {
    Timer* t = timers[rng() % timers.size()].get();
    switch (rng() % 4) {
      case 0:
        t->unschedule();
        EXPECT_EQ(t->heap_position(), 0);
        break;
      case 3:  // a destroyed timer leaves the heap
        timers[rng() % timers.size()] = std::make_unique<Timer>(rig.owner);
        break;
      default:  // new or moved, with many equal expiries
        t->schedule_at(ms(10000 + rng() % 500));
    }
    expect_heap_valid(rig.heap());
    if (HasFatalFailure()) return;
  }
  for (auto& t : timers) {
    if (t->thread() == nullptr) t->initialize(rig.owner);
    if (!t->scheduled()) t->schedule_at(ms(10000 + rng() % 500));
  }
  rig.run_at(ms(20000));
  ASSERT_EQ(rig.owner->fired.size(), timers.size());
  for (size_t i = 1; i < rig.owner->fired.size(); ++i)
    EXPECT_LE(rig.owner->fired[i - 1]->expiry(), rig.owner->fired[i]->expiry());
  EXPECT_TRUE(rig.heap().empty());
  for (auto& t : timers) EXPECT_EQ(t->heap_position(), 0);
}

TEST_F(TimerTest, RunsDueTimersAtTheNextCheck) {
  Rig rig(ms(10200));
  Timer past(rig.owner), now(rig.owner), later(rig.owner);
  for (Timer* t : {&past, &now, &later}) t->initialize(rig.owner);
  later.schedule_at(ms(11000));
  past.schedule_at(ms(5000));
  now.schedule_at(ms(10200));

  rig.master.pause();
  rig.run_at(ms(10300));
  EXPECT_TRUE(rig.owner->fired.empty());
  rig.master.unpause();
  rig.thread()->set_stop_flag();
  rig.run_at(ms(10300));
  EXPECT_TRUE(rig.owner->fired.empty());
  rig.thread()->clear_stop_flag();

  rig.run_at(ms(10300));
  EXPECT_EQ(rig.owner->fired, (std::vector<Timer*>{&past, &now}));
  EXPECT_EQ(rig.heap().last_run_time(), ms(10300));
  EXPECT_EQ(rig.heap().earliest(), ms(11000));
  EXPECT_EQ(past.heap_position(), 0);
  EXPECT_EQ(later.heap_position(), 1);
}

TEST_F(TimerTest, CheckStrideAdapts) {
  Rig rig(ms(10000));
  Timer timer(rig.owner);
  timer.initialize(rig.owner);
  // Each step: the lateness of one run, then the stride and on-time count.
  struct Step {
    int64_t late_ms;
    int stride, on_time;
  } steps[] = {{0, 32, 1}, {1, 25, 0}, {5, 20, 0}, {0, 20, 1}};
  for (const Step& s : steps) {
    timer.schedule_at(ms(10000));
    rig.run_at(ms(10000 + s.late_ms));
    EXPECT_EQ(rig.heap().check_stride(), s.stride) << s.late_ms;
    EXPECT_EQ(rig.heap().on_time_count(), s.on_time) << s.late_ms;
  }
  for (int i = 0; i < 11; ++i) {
    timer.schedule_at(ms(10000));
    rig.run_at(ms(10000));
  }
  EXPECT_EQ(rig.heap().check_stride(), 21);  // the 12th on time in a row
  EXPECT_EQ(rig.heap().on_time_count(), 0);
  for (int i = 0; i < 20; ++i) {
    timer.schedule_at(ms(10000));
    rig.run_at(ms(10001));
  }
  EXPECT_EQ(rig.heap().check_stride(), 1);
}

// 70 timers due at once, 10 ms apart; each hook records the heap's size and
// may act on the others.
class TimerBatchTest : public TimerTest {
 public:  // the hooks' actions reach the fixture through a pointer
  TimerBatchTest() {
    for (int i = 0; i < kTimers; ++i) {
      timers_.push_back(std::make_unique<Timer>(hook, this));
      timers_.back()->initialize(rig_.owner);
      timers_.back()->schedule_at(ms(10000 + 10 * i));
    }
  }

  static void hook(Timer* timer, void* data) {
    auto* self = static_cast<TimerBatchTest*>(data);
    int i = 0;
    while (self->timers_[i].get() != timer) ++i;
    self->order_.push_back(i);
    self->heap_sizes_.push_back(self->rig_.heap().size());
    if (self->actions_[i]) self->actions_[i](self);
  }
  std::vector<int> range(int first, int end) {
    std::vector<int> v;
    for (int i = first; i < end; ++i) v.push_back(i);
    return v;
  }

  static constexpr int kTimers = 70;
  Rig rig_{ms(10000)};
  std::vector<std::unique_ptr<Timer>> timers_;
  std::function<void(TimerBatchTest*)> actions_[kTimers];
  std::vector<int> order_;
  std::vector<int> heap_sizes_;
};

TEST_F(TimerBatchTest, SixtyFiveRunDirectlyTheRestFromTheBatch) {
  actions_[65] = [](TimerBatchTest* t) {
    for (int i = 66; i < kTimers; ++i) EXPECT_EQ(t->timers_[i]->heap_position(), -(i - 65 + 1));
  };
  rig_.run_at(ms(20000));
  EXPECT_EQ(order_, range(0, kTimers));
  std::vector<int> sizes;
  for (int i = 0; i < 65; ++i) sizes.push_back(kTimers - 1 - i);
  sizes.insert(sizes.end(), 5, 0);
  EXPECT_EQ(heap_sizes_, sizes);
  for (auto& t : timers_) EXPECT_EQ(t->heap_position(), 0);
}

TEST_F(TimerBatchTest, HooksUnscheduleAndRescheduleLaterBatchEntries) {
  actions_[65] = [](TimerBatchTest* t) {
    t->timers_[66]->unschedule();
    t->timers_[67]->schedule_at(ms(30000));  // not due any more
    t->timers_[68]->schedule_at(ms(10000));  // due, but for the next check
    t->timers_[69].reset();                  // destroyed
  };
  rig_.run_at(ms(20000));
  EXPECT_EQ(order_, range(0, 66));
  EXPECT_EQ(timers_[66]->heap_position(), 0);
  EXPECT_EQ(rig_.heap().size(), 2);
  expect_heap_valid(rig_.heap());
  rig_.run_at(ms(20000));
  EXPECT_EQ(order_.back(), 68);
  EXPECT_EQ(rig_.heap().timer_at(0), timers_[67].get());
}

TEST_F(TimerBatchTest, StopFlagReturnsTheRestToTheHeap) {
  actions_[66] = [](TimerBatchTest* t) { t->rig_.thread()->set_stop_flag(); };
  rig_.run_at(ms(20000));
  EXPECT_EQ(order_, range(0, 67));
  EXPECT_EQ(rig_.heap().size(), 3);
  expect_heap_valid(rig_.heap());
  EXPECT_EQ(rig_.heap().timer_at(0), timers_[67].get());

  rig_.thread()->clear_stop_flag();
  actions_[67] = [](TimerBatchTest* t) { t->rig_.thread()->set_stop_flag(); };
  rig_.run_at(ms(20000));
  EXPECT_EQ(order_.back(), 67);  // a direct run stops too
  EXPECT_EQ(rig_.heap().size(), 2);
}

TEST_F(TimerTest, TaskHookReschedulesTheTask) {
  Rig rig(ms(10000));
  Task task(rig.owner);
  task.initialize(rig.owner, false);
  Timer timer(&task);
  timer.initialize(rig.owner);
  timer.schedule_at(ms(10000));
  rig.run_at(ms(10000));
  EXPECT_TRUE(task.scheduled());
  EXPECT_TRUE(task.on_run_list());
  rig.thread()->run_tasks(0);
  EXPECT_EQ(rig.owner->task_runs, 1);
}

}  // namespace
