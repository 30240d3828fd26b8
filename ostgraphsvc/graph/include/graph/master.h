// Master and SchedulerThread: the records of the process's scheduling core.
//
// A SchedulerThread is not an operating-system thread: it is the state that
// one thread's scheduler loop works on: a run list of tasks ordered by pass
// (a circular list whose sentinel is the record itself, pass 0), a pending
// list of tasks waiting to be placed, and a TimerHeap. The Master owns two of
// them: the first (id -1) only parks tasks and timers homed elsewhere and is
// never run; the second (id 0) is the one the service runs.
//
// `run_tasks` and `process_pending` are the loop's task steps; the loop
// itself and the stop check build on them.
//
// Ownership: the Master owns its threads; threads refer to tasks and timers
// that elements own.
//
// Threads: everything belongs to the thread that runs the loop, except the
// stop flag, which any thread may set to ask the loop to check for a stop.
#ifndef GRAPH_MASTER_H_
#define GRAPH_MASTER_H_

#include <atomic>
#include <cstdint>

#include "graph/task.h"
#include "graph/timer.h"

class Element;
class Master;

class SchedulerThread : private TaskLink {
 public:
  // Task rounds per call of `run_tasks` are capped at this + 1.
  static constexpr int kMaxTasksPerRun = 32768;

  SchedulerThread(Master* master, int id);
  SchedulerThread(const SchedulerThread&) = delete;
  SchedulerThread& operator=(const SchedulerThread&) = delete;
  ~SchedulerThread();

  int id() const { return id_; }
  Master* master() const { return master_; }
  TimerHeap& timer_heap() { return timer_heap_; }

  bool stop_flag() const { return stop_.load(std::memory_order_acquire); }
  void set_stop_flag() { stop_.store(true, std::memory_order_release); }
  void clear_stop_flag() { stop_.store(false, std::memory_order_release); }

  // Runs up to min(max, 32768) + 1 tasks from the front of the run list.
  // Stops early when the list empties, the stop flag is set, or a lone task
  // reports no work.
  void run_tasks(int max);
  // Places every pending task: on this thread's run list, on its home
  // thread's pending list, or nowhere when it is no longer scheduled.
  void process_pending();

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

  std::atomic<bool> stop_{false};
  TimerHeap timer_heap_;
  // The first pending task (0 when none), and the word the next appended
  // task is stored into.
  uintptr_t pending_head_ = 0;
  uintptr_t* pending_tail_ = &pending_head_;
  Master* master_;
  int id_;
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

  // While paused, no timers run.
  bool paused() const { return pause_count_ > 0; }
  int pause_count() const { return pause_count_; }
  void pause() { ++pause_count_; }
  void unpause() { --pause_count_; }

 private:
  SchedulerThread* threads_[kThreads];
  int pause_count_ = 0;
};

// The home thread of `element`: through its router's Master, with the id an
// element has before the router assigns one (0). Null when the element has
// no router or the router no Master.
SchedulerThread* element_home_thread(const Element* element);

#endif  // GRAPH_MASTER_H_
