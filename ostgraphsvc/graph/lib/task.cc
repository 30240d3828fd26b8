#include "graph/task.h"

#include "graph/element.h"
#include "graph/master.h"
#include "graph/router.h"

namespace {

int add_pass(int pass, int stride) {
  return static_cast<int>(static_cast<uint32_t>(pass) + static_cast<uint32_t>(stride));
}

}  // namespace

bool Task::router_active() const {
  Router* router = owner_ != nullptr ? owner_->router() : nullptr;
  return router != nullptr && router->running_state() > 0;
}

bool Task::router_dead() const {
  Router* router = owner_ != nullptr ? owner_->router() : nullptr;
  return router != nullptr && router->running_state() == Router::kRunningDead;
}

void Task::initialize(Element* owner, bool schedule) {
  Router* router = owner != nullptr ? owner->router() : nullptr;
  Master* master = router != nullptr ? router->master() : nullptr;
  int home = home_thread_id_;
  if (home == kHomeUnset) {
    SchedulerThread* owner_home = owner != nullptr ? owner->home_thread() : nullptr;
    home = owner_home != nullptr ? owner_home->id() : 0;
  }
  owner_ = owner;
  thread_ = master != nullptr ? master->thread(home) : nullptr;
  tickets_ = kDefaultTickets;
  stride_ = kStrideUnit / kDefaultTickets;
  scheduled_ = schedule;
  home_thread_id_ = static_cast<int16_t>(thread_ != nullptr ? thread_->id() : home);
  if (!schedule || thread_ == nullptr || pending_ >= kPendingLast) return;
  if (thread_->id() < 0 || router_dead()) {
    pending_ = kNotPending;
    return;
  }
  thread_->append_pending(this);
}

void Task::set_tickets(int n) {
  if (n < 1) n = 1;
  if (n > kMaxTickets) n = kMaxTickets;
  tickets_ = n;
  stride_ = kStrideUnit / n;
}

void Task::reschedule() {
  scheduled_ = true;
  if (pending_ >= kPendingLast || thread_ == nullptr) return;
  if (!router_active()) {
    add_pending();
    return;
  }
  if (!on_run_list()) insert_into_run_list();
}

void Task::insert_into_run_list() {
  SchedulerThread* thread = thread_;
  TaskLink* sentinel = thread;
  pass_ = add_pass(sentinel->next_->pass_, stride_);
  TaskLink* at = sentinel->next_;
  while (at != sentinel && !pass_after(at->pass_, pass_)) at = at->next_;
  prev_ = at->prev_;
  next_ = at;
  at->prev_->next_ = this;
  at->prev_ = this;
}

void Task::unlink() {
  if (prev_ == nullptr) return;
  prev_->next_ = next_;
  next_->prev_ = prev_;
  prev_ = nullptr;
  next_ = nullptr;
}

void Task::move_to_thread(int home) { thread_ = thread_->master()->thread(home); }

void Task::add_pending() {
  if (thread_->id() < 0 && home_thread_id_ >= 0) move_to_thread(home_thread_id_);
  if (pending_ >= kPendingLast) return;
  if (thread_->id() < 0 || router_dead()) {
    pending_ = kNotPending;
    return;
  }
  thread_->append_pending(this);
}

void Task::complete_schedule(SchedulerThread* p) {
  if (thread_ == nullptr) return;
  if ((p == nullptr || p == thread_) && router_active()) {
    if (!on_run_list()) insert_into_run_list();
    if (p != nullptr) pending_ = kNotPending;
    return;
  }
  if (pending_ < kPendingLast) add_pending();
}

bool Task::call() {
  if (hook_ != nullptr) return hook_(this, data_);
  return static_cast<Element*>(data_)->run_task(this);
}

void Task::cleanup() {
  if (owner_ == nullptr || (!on_run_list() && pending_ < kPendingLast)) return;
  home_thread_id_ = -1;
  unlink();
  // A task can sit on a run list and a pending list at once (rescheduled
  // while its router was not active); leave neither pointing at it.
  if (pending_ >= kPendingLast) {
    uintptr_t* link = &thread_->pending_head_;
    const uintptr_t self = reinterpret_cast<uintptr_t>(this);
    while (*link != self && *link > kPendingLast) link = &reinterpret_cast<Task*>(*link)->pending_;
    if (*link == self) {
      *link = pending_;
      if (pending_ == kPendingLast) {
        thread_->pending_tail_ = link;
        if (link == &thread_->pending_head_) *link = 0;
      }
    }
    pending_ = kNotPending;
  }
  owner_ = nullptr;
  thread_ = nullptr;
}

void SchedulerThread::append_pending(Task* task) {
  *pending_tail_ = reinterpret_cast<uintptr_t>(task);
  task->pending_ = Task::kPendingLast;
  pending_tail_ = &task->pending_;
}

void SchedulerThread::process_pending() {
  uintptr_t word = pending_head_;
  pending_head_ = 0;
  pending_tail_ = &pending_head_;
  while (word > Task::kPendingLast) {
    Task* task = reinterpret_cast<Task*>(word);
    word = task->pending_;
    task->pending_ = Task::kPendingMoving;
    if (task->home_thread_id_ != id_) {
      task->unlink();
      task->move_to_thread(task->home_thread_id_);
    }
    if (task->scheduled_)
      task->complete_schedule(this);
    else
      task->pending_ = Task::kNotPending;
  }
}

void SchedulerThread::run_tasks(int max) {
  const int n = max <= kMaxTasksPerRun ? max : kMaxTasksPerRun;
  for (int round = 0; round <= n; ++round) {
    if (next_ == this || stop_flag()) return;
    Task* task = static_cast<Task*>(next_);
    if (task->home_thread_id_ != id_) {
      task->unlink();
      task->move_to_thread(task->home_thread_id_);
      task->add_pending();
      continue;
    }
    if (!task->scheduled_) {
      task->unlink();
      continue;
    }
    task->scheduled_ = false;
    const bool worked = task->call();
    // The hook may have detached the task.
    if (task->thread_ != this || !task->on_run_list()) continue;
    if (!task->scheduled_) {
      task->unlink();
      continue;
    }
    task->pass_ = add_pass(task->pass_, task->stride_);
    TaskLink* next = task->next_;
    if (!worked) {
      if (next == this && task->prev_ == this) return;
      if (next != this && TaskLink::pass_after(next->pass_, task->pass_)) task->pass_ = next->pass_;
    }
    TaskLink* at = next;
    while (at != this && !TaskLink::pass_after(at->pass_, task->pass_)) at = at->next_;
    if (at == next) continue;
    task->unlink();
    task->prev_ = at->prev_;
    task->next_ = at;
    at->prev_->next_ = task;
    at->prev_ = task;
  }
}
