// Task: work an element does outside packet pushes, run again and again by
// its home SchedulerThread (graph/master.h) with stride scheduling.
//
// A task's share of its thread's runs is set by its tickets (1 to 32768,
// 1024 by default): each run advances its pass by stride = 65536 / tickets,
// and the thread always runs the task with the smallest pass first. Passes
// are compared by the sign of their 32-bit difference, so they may wrap.
//
// A task waits on its thread's pending list until the thread's loop places
// it on the run list; a task whose router is not active yet passes through
// the pending list once per pass until the router becomes active.
//
// Ownership: an element embeds its tasks; the task owns nothing. With no
// hook the task's data is an Element and its `run_task` is called.
// `cleanup` (also run by the destructor) takes the task off its lists.
//
// Threads: touched only on the thread that runs its scheduler loop, and
// during set-up and tear-down while no loop runs; nothing is locked.
#ifndef GRAPH_TASK_H_
#define GRAPH_TASK_H_

#include <cstdint>

class Element;
class SchedulerThread;

// The links and pass a run list orders by; the list's sentinel (the
// SchedulerThread itself) is one too, with pass 0.
class TaskLink {
 public:
  // True when pass `a` comes after pass `b`: the signed 32-bit difference,
  // so passes may wrap around.
  static bool pass_after(int a, int b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b)) > 0;
  }

 protected:
  TaskLink() = default;
  TaskLink(const TaskLink&) = delete;
  TaskLink& operator=(const TaskLink&) = delete;
  ~TaskLink() = default;

  TaskLink* prev_ = nullptr;
  TaskLink* next_ = nullptr;
  int pass_ = 0;

  friend class SchedulerThread;
  friend class Task;
};

class Task : private TaskLink {
 public:
  // Runs the task; true when it did work.
  using Hook = bool (*)(Task*, void*);

  static constexpr int kDefaultTickets = 1024;
  static constexpr int kMaxTickets = 32768;
  static constexpr int kStrideUnit = 65536;
  static constexpr int kHomeUnset = -2;

  // Runs `element->run_task(this)`.
  explicit Task(Element* element) : data_(element) {}
  Task(Hook hook_fn, void* hook_data) : hook_(hook_fn), data_(hook_data) {}
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { cleanup(); }

  // Binds the task to `owner` and to the thread of its home id (the owner's
  // home thread unless an id was given before); tickets become 1024. With
  // `schedule` the task joins the thread's pending list, unless its thread
  // never runs (negative id) or the owner's router is dead.
  void initialize(Element* owner, bool schedule);
  // tickets = n, stride = 65536 / n; n from 1 to 32768.
  void set_tickets(int n);
  // Asks for another run: straight onto the run list when the owner's router
  // is active, else through the pending list.
  void reschedule();
  // Detaches the task for good from its run or pending list, owner and
  // thread. Only for a bound task that is on a list; otherwise nothing.
  void cleanup();

  bool scheduled() const { return scheduled_; }
  int tickets() const { return tickets_; }
  int stride() const { return stride_; }
  int pass() const { return pass_; }
  // The id of its thread once initialised; kHomeUnset before.
  int home_thread_id() const { return home_thread_id_; }
  Element* owner() const { return owner_; }
  SchedulerThread* thread() const { return thread_; }
  Hook hook() const { return hook_; }
  void* data() const { return data_; }
  bool on_run_list() const { return prev_ != nullptr; }
  // On a pending list, waiting for its thread's loop.
  bool on_pending_list() const { return pending_ >= kPendingLast; }

 private:
  friend class SchedulerThread;

  // Pending word values; a larger value is the next task of the list.
  static constexpr uintptr_t kNotPending = 0;
  static constexpr uintptr_t kPendingMoving = 1;
  static constexpr uintptr_t kPendingLast = 2;

  bool router_active() const;
  bool router_dead() const;
  // Places the task on its thread's run list by pass (one stride after the
  // current front).
  void insert_into_run_list();
  void unlink();
  // Moves the task to the thread of id `home`.
  void move_to_thread(int home);
  void add_pending();
  void complete_schedule(SchedulerThread* p);
  bool call();

  int stride_ = 0;
  int tickets_ = -1;
  int16_t home_thread_id_ = kHomeUnset;
  bool scheduled_ = false;
  Hook hook_ = nullptr;
  void* data_;
  SchedulerThread* thread_ = nullptr;
  Element* owner_ = nullptr;
  uintptr_t pending_ = kNotPending;
};

#endif  // GRAPH_TASK_H_
