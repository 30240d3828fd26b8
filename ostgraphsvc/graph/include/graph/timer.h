// Timer: a one-shot call at an expiry time, and TimerHeap, the timers of one
// SchedulerThread (graph/master.h).
//
// A timer calls its hook once when its thread's loop finds it due; a hook
// that wants another run schedules the timer again. Two hooks are provided:
// `run_timer_hook` calls the data element's `run_timer`, and
// `reschedule_task_hook` asks the data task to run again.
//
// The heap is a 4-ary min-heap by expiry (parent(i) = i / 4; the root has
// children 1 to 3, node i > 0 has 4i to 4i + 3). Each timer stores where it
// is: 0 not scheduled, n > 0 heap entry n - 1, -(i + 1) slot i of the
// late-run batch, so unscheduling costs no search. The loop checks the heap
// only every check-stride passes; the stride grows while timers fire on time
// and shrinks when they are late.
//
// Ownership: an element embeds its timers; a heap refers to them without
// owning them. A timer's destructor takes it off its heap; a heap that goes
// first marks its timers unscheduled.
//
// Threads: touched only on the thread that runs the scheduler loop, and
// during set-up and tear-down while no loop runs; nothing is locked.
#ifndef GRAPH_TIMER_H_
#define GRAPH_TIMER_H_

#include <cstdint>

#include "graph/timestamp.h"
#include "graph/vector.h"

class Element;
class Master;
class SchedulerThread;
class Task;

class Timer {
 public:
  using Hook = void (*)(Timer*, void*);

  // `element->run_timer(timer)`.
  static void run_timer_hook(Timer* timer, void* element);
  // `task->reschedule()`.
  static void reschedule_task_hook(Timer* timer, void* task);

  Timer(Hook hook, void* data) : hook_(hook), data_(data) {}
  explicit Timer(Element* element) : Timer(run_timer_hook, element) {}
  explicit Timer(Task* task) : Timer(reschedule_task_hook, task) {}
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;
  ~Timer() { unschedule(); }

  // Binds the timer to `owner` and its home thread; precedes scheduling.
  void initialize(Element* owner);
  // Time 0 means 1 ns. An expiry more than a second (in whole seconds)
  // behind the heap's last run becomes that run time, so a clock step back
  // does not leave old timers parked ahead of new ones. Nothing without a
  // thread.
  void schedule_at(Timestamp when);
  void unschedule();

  bool scheduled() const { return position_ != 0; }
  // 0, heap entry + 1, or -(late-run slot + 1).
  int heap_position() const { return position_; }
  Timestamp expiry() const { return expiry_; }
  Element* owner() const { return owner_; }
  SchedulerThread* thread() const { return thread_; }

 private:
  friend class TimerHeap;
  friend class SchedulerThread;

  int position_ = 0;
  Timestamp expiry_;
  Hook hook_;
  void* data_;
  Element* owner_ = nullptr;
  SchedulerThread* thread_ = nullptr;
};

class TimerHeap {
 public:
  static constexpr int kMaxCheckStride = 32;
  // Timers run one by one per check before the rest are batched.
  static constexpr int kDirectRuns = 65;
  // On-time runs in a row that raise the check stride by one.
  static constexpr int kOnTimeRaise = 12;
  static constexpr int64_t kOnTimeNsec = 500000;
  static constexpr int kInitialLateRoom = 32;

  // The last run time starts at the current time.
  TimerHeap();
  TimerHeap(const TimerHeap&) = delete;
  TimerHeap& operator=(const TimerHeap&) = delete;
  ~TimerHeap();

  // Runs the due timers: nothing while `master` is paused, the heap is empty
  // or `thread`'s stop flag is set. Up to 65 run straight off the heap;
  // the rest that are due move to the late-run batch first, so that hooks
  // rescheduling timers cannot keep the step going.
  void run_timers(SchedulerThread* thread, Master* master);

  // The root's expiry; 0 when empty.
  Timestamp earliest() const { return earliest_; }
  int check_stride() const { return check_stride_; }
  int on_time_count() const { return on_time_count_; }
  Timestamp last_run_time() const { return last_run_; }
  int size() const { return heap_.size(); }
  bool empty() const { return heap_.empty(); }
  // Heap entry i, 0 <= i < size().
  Timer* timer_at(int i) const { return heap_[i].timer; }
  Timestamp expiry_at(int i) const { return heap_[i].expiry; }

 private:
  friend class Timer;
  friend class SchedulerThread;

  struct Entry {
    Timestamp expiry;
    Timer* timer;
  };

  void place(int i, const Entry& e) {
    heap_[i] = e;
    e.timer->position_ = i + 1;
  }
  // Restores the order around entry i: up while strictly earlier than its
  // parent, then down to the earliest child while one is strictly earlier.
  void sift(int i);
  // Takes entry i out: the last entry moves into its slot.
  void remove_at(int i);
  void refresh_earliest() { earliest_ = heap_.empty() ? Timestamp() : heap_[0].expiry; }
  void run_late_batch(SchedulerThread* thread, Timestamp now);
  void set_last_run(Timestamp now);

  Timestamp earliest_;
  int max_check_stride_ = kMaxCheckStride;
  int check_stride_ = kMaxCheckStride;
  int on_time_count_ = 0;
  Vector<Entry> heap_;
  Vector<Timer*> late_;
  Timestamp last_run_;
  // Expiries before this are more than a whole second behind the last run
  // (start of the second before it), kept so scheduling divides nothing.
  Timestamp stale_before_;
};

#endif  // GRAPH_TIMER_H_
