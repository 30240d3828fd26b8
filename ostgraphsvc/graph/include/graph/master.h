// Master and SchedulerThread: the process's scheduling core.
//
// A SchedulerThread is not an operating-system thread: it is the state that
// one thread's scheduler loop (`run`) works on: a run list of tasks ordered
// by pass (a circular list whose sentinel is the record itself, pass 0), a
// pending list of tasks waiting to be placed, a TimerHeap, and a select
// table whose entry 0 names the element whose `selected(0, 1)` the loop
// calls every second pass. The Master owns two of them: the first (id -1)
// only parks tasks and timers homed elsewhere and is never run; the second
// (id 0) is the one the service runs. The Master also keeps the routers
// attached to it (each Router links to the next), one reference per router.
//
// The loop: each pass checks for a stop, places pending tasks, runs up to
// 129 tasks, runs the due timers every check-stride-th pass and calls the
// selection hook every second pass. With nothing to do in a pass (no task,
// no pending task, no hook, no due timer) it waits for the earliest timer
// expiry or a wake-up, so an idle service costs no processor time; a
// selection hook blocks on its own.
//
// Ownership: the Master owns its threads; threads refer to tasks, timers and
// select elements that elements own. Destroying the Master takes every
// attached router out and drops a reference on it (deleting it when that
// was the last).
//
// Threads: everything belongs to the thread that runs the loop, except the
// stop flag, which any thread may set (`set_stop_flag`, which also wakes a
// waiting loop), `wake`, the pause count (`pause`, `unpause`, which wakes
// the loops), and `running`, which any thread may read.
#ifndef GRAPH_MASTER_H_
#define GRAPH_MASTER_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "graph/task.h"
#include "graph/timer.h"
#include "graph/vector.h"

class Element;
class Master;
class Router;

class SchedulerThread : private TaskLink {
 public:
  // Task rounds per call of `run_tasks` are capped at this + 1.
  static constexpr int kMaxTasksPerRun = 32768;
  // Tasks per pass of the loop (+ 1), and passes per selection-hook call.
  static constexpr int kTasksPerPass = 128;
  static constexpr int kPassesPerSelect = 2;

  // One select-table entry; an empty one has no element and descriptor -1.
  struct SelectEntry {
    Element* element = nullptr;
    uint64_t value = 0;
    int fd = -1;
  };

  SchedulerThread(Master* master, int id);
  SchedulerThread(const SchedulerThread&) = delete;
  SchedulerThread& operator=(const SchedulerThread&) = delete;
  ~SchedulerThread();

  int id() const { return id_; }
  Master* master() const { return master_; }
  TimerHeap& timer_heap() { return timer_heap_; }

  bool stop_flag() const { return stop_.load(std::memory_order_acquire); }
  // Any thread: asks the loop to run its stop check, waking it if it waits.
  void set_stop_flag();
  void clear_stop_flag() { stop_.store(false, std::memory_order_release); }
  // Any thread: ends the loop's current or next idle wait.
  void wake();

  // True while `run` runs.
  bool running() const { return running_.load(std::memory_order_acquire); }

  // The loop; returns true when it ended because of a stop (the only way it
  // ends).
  bool run();

  // Runs up to min(max, 32768) + 1 tasks from the front of the run list.
  // Stops early when the list empties, the stop flag is set, or a lone task
  // reports no work.
  void run_tasks(int max);
  // Places every pending task: on this thread's run list, on its home
  // thread's pending list, or nowhere when it is no longer scheduled.
  void process_pending();

  // Takes every task, timer and select entry of `router`'s elements off
  // this thread; the other tasks keep their order.
  void remove_router(Router* router);

  // Makes the table exactly one entry long and stores `element` in entry 0:
  // the loop then calls its `selected(0, 1)`.
  void register_select(Element* element);
  const Vector<SelectEntry>& select_table() const { return select_; }

  bool run_list_empty() const { return next_ == this; }
  // The run list in order; null past the end.
  Task* first_task() const { return task_after(this); }
  Task* next_task(const Task* task) const { return task_after(task); }
  bool pending_list_empty() const { return pending_head_ == 0; }

 private:
  friend class Task;

  Task* task_after(const TaskLink* link) const {
    return link->next_ == this ? nullptr : static_cast<Task*>(link->next_);
  }
  void append_pending(Task* task);
  Element* select_element() const { return select_.empty() ? nullptr : select_[0].element; }
  // Waits when the coming passes have nothing to do: until the earliest
  // timer expiry, a wake-up or the stop flag.
  void wait_if_idle();

  std::atomic<bool> stop_{false};
  TimerHeap timer_heap_;
  Vector<SelectEntry> select_;
  // The first pending task (0 when none), and the word the next appended
  // task is stored into.
  uintptr_t pending_head_ = 0;
  uintptr_t* pending_tail_ = &pending_head_;
  Master* master_;
  int id_;
  std::atomic<bool> running_{false};
  int tasks_per_pass_ = kTasksPerPass;
  int passes_per_select_ = kPassesPerSelect;
  // Guards `wake_pending_`; the idle wait sleeps on `wake_cond_`.
  std::mutex wake_mutex_;
  std::condition_variable wake_cond_;
  bool wake_pending_ = false;
};

class Master {
 public:
  static constexpr int kThreads = 2;

  Master();
  Master(const Master&) = delete;
  Master& operator=(const Master&) = delete;
  ~Master();

  int nthreads() const { return kThreads; }
  // The thread of home id `id`: id -1 the first, id 0 the second; every
  // other id falls back to the first, which never runs.
  SchedulerThread* thread(int id) const {
    unsigned i = static_cast<unsigned>(id) + 1u;
    return i < static_cast<unsigned>(kThreads) ? threads_[i] : threads_[0];
  }

  // While paused, no timers run. Any thread may pause and unpause (a
  // router is initialised and activated on the thread that reads the
  // graph, while the loop may already run another router); unpausing
  // wakes an idle loop, which may be waiting out the pause.
  bool paused() const { return pause_count_.load(std::memory_order_acquire) > 0; }
  int pause_count() const { return pause_count_.load(std::memory_order_acquire); }
  void pause() { pause_count_.fetch_add(1, std::memory_order_acq_rel); }
  void unpause();

  // Attaches `router` at the head of the list and counts its reference
  // (the Router constructor does this).
  void register_router(Router* router);
  // Takes `router` out of the threads and the list, drops its reference and
  // clears its Master (the Router destructor does this). Nothing for a
  // router without a Master.
  void unregister_router(Router* router);
  // For a thread whose stop flag is set: clears the flag, kills every
  // active router whose run count is 0 or below, and tells whether the loop
  // should end (no active router left).
  bool check_stop(SchedulerThread* thread);

  Router* first_router() const { return routers_; }
  int refcount() const { return refcount_; }

 private:
  // Running state -2, and the router's tasks, timers and select entries off
  // every thread, settling the pause its old state stood for.
  void kill_router(Router* router);

  SchedulerThread* threads_[kThreads];
  Router* routers_ = nullptr;
  int refcount_ = 0;
  std::atomic<int> pause_count_{0};
};

#endif  // GRAPH_MASTER_H_
