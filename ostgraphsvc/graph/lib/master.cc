#include "graph/master.h"

#include <chrono>

#include "graph/element.h"
#include "graph/router.h"
#include "graph/router_log.h"

namespace {

bool owned_by(const Element* element, const Router* router) {
  return element != nullptr && element->router() == router;
}

// Compares pointers only: the router may have deleted its elements already.
bool holds_element(const Router* router, const Element* element) {
  for (int i = 0; i < router->nelements(); ++i)
    if (router->element(i) == element) return true;
  return element == router->root_element();
}

}  // namespace

SchedulerThread::SchedulerThread(Master* master, int id) : master_(master), id_(id) {
  prev_ = this;
  next_ = this;
}

SchedulerThread::~SchedulerThread() {
  // Tasks outlive the thread record only at tear-down; leave them unlinked
  // rather than pointing at freed memory.
  while (next_ != this) static_cast<Task*>(next_)->unlink();
  uintptr_t word = pending_head_;
  while (word > Task::kPendingLast) {
    Task* task = reinterpret_cast<Task*>(word);
    word = task->pending_;
    task->pending_ = Task::kNotPending;
  }
}

void SchedulerThread::set_stop_flag() {
  stop_.store(true, std::memory_order_release);
  wake();
}

void SchedulerThread::wake() {
  {
    std::lock_guard<std::mutex> lock(wake_mutex_);
    wake_pending_ = true;
  }
  wake_cond_.notify_all();
}

bool SchedulerThread::run() {
  running_.store(true, std::memory_order_release);
  // Unsigned so that a long-lived loop wraps instead of overflowing.
  unsigned pass = 0;
  for (;;) {
    if (stop_flag() && master_->check_stop(this)) {
      running_.store(false, std::memory_order_release);
      return true;
    }
    ++pass;
    if (!pending_list_empty()) process_pending();
    run_tasks(tasks_per_pass_);
    if (pass % static_cast<unsigned>(timer_heap_.check_stride()) == 0)
      timer_heap_.run_timers(this, master_);
    if (pass % static_cast<unsigned>(passes_per_select_) == 0) {
      if (Element* element = select_element()) element->selected(0, 1);
    }
    wait_if_idle();
  }
}

void SchedulerThread::wait_if_idle() {
  if (!run_list_empty() || !pending_list_empty() || select_element() != nullptr) return;
  // Timers can only run unpaused; a pause lifted from another thread
  // (`Master::unpause`) wakes this wait.
  const bool timers_pending = !timer_heap_.empty() && !master_->paused();
  const Timestamp expiry = timer_heap_.earliest();
  if (timers_pending && !(Timestamp::now() < expiry)) return;

  std::unique_lock<std::mutex> lock(wake_mutex_);
  auto woken = [this] { return wake_pending_ || stop_flag(); };
  if (!timers_pending) {
    wake_cond_.wait(lock, woken);
  } else {
    // The framework clock counts whole milliseconds: wake no earlier than
    // the millisecond in which it sees the timer due.
    const int64_t ns = expiry.nsec();
    const int64_t ms = ns / Timestamp::kNsecPerMsec + (ns % Timestamp::kNsecPerMsec > 0 ? 1 : 0);
    const std::chrono::system_clock::time_point deadline{std::chrono::milliseconds(ms)};
    wake_cond_.wait_until(lock, deadline, woken);
  }
  wake_pending_ = false;
}

void SchedulerThread::register_select(Element* element) {
  select_.resize(1);
  select_[0].element = element;
}

void SchedulerThread::remove_router(Router* router) {
  TaskLink* link = next_;
  while (link != this) {
    Task* task = static_cast<Task*>(link);
    link = link->next_;
    if (owned_by(task->owner(), router)) task->unlink();
  }
  if (!pending_list_empty()) process_pending();

  // From the back, so that the entry moved into a freed slot has been seen;
  // the slot is looked at again because restoring the order may have moved
  // an ancestor, not yet seen, down into it.
  for (int i = timer_heap_.size() - 1; i >= 0;) {
    Timer* timer = timer_heap_.timer_at(i);
    if (!owned_by(timer->owner(), router)) {
      --i;
      continue;
    }
    timer_heap_.remove_at(i);
    timer->position_ = 0;
    timer->owner_ = nullptr;
    if (i >= timer_heap_.size()) i = timer_heap_.size() - 1;
  }
  timer_heap_.refresh_earliest();

  for (SelectEntry& entry : select_)
    if (entry.element != nullptr && holds_element(router, entry.element)) entry = SelectEntry();
}

Master::Master() {
  for (int i = 0; i < kThreads; ++i) threads_[i] = new SchedulerThread(this, i - 1);
}

Master::~Master() {
  ++refcount_;
  while (routers_ != nullptr) {
    Router* router = routers_;
    router->use();
    if (router->master_ != nullptr) unregister_router(router);
    // unregister_router unlinks only a router whose Master is this one.
    if (routers_ == router) routers_ = router->next_router_;
    router->unuse();
  }
  if (--refcount_ > 0) router_chatter("deleting master while ref count = %d", refcount_);
  for (SchedulerThread* thread : threads_) delete thread;
}

void Master::unpause() {
  if (pause_count_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  // Timers held back by the pause may be due now.
  for (SchedulerThread* thread : threads_) thread->wake();
}

void Master::register_router(Router* router) {
  router->next_router_ = routers_;
  routers_ = router;
  ++refcount_;
}

void Master::kill_router(Router* router) {
  const int old = router->running_state();
  if (old < 0) return;
  router->set_running_state(Router::kRunningDead);
  // A preparing router still holds the pause its initialisation took;
  // an active one gets a pause for the duration.
  if (old > 0) pause();
  for (SchedulerThread* thread : threads_) thread->remove_router(router);
  unpause();
}

void Master::unregister_router(Router* router) {
  if (router->master_ == nullptr) return;
  kill_router(router);
  for (Router** link = &routers_; *link != nullptr; link = &(*link)->next_router_) {
    if (*link != router) continue;
    *link = router->next_router_;
    router->next_router_ = nullptr;
    --refcount_;
    break;
  }
  router->master_ = nullptr;
}

bool Master::check_stop(SchedulerThread* thread) {
  thread->clear_stop_flag();
  for (Router* router = routers_; router != nullptr;) {
    Router* next = router->next_router_;
    if (router->runcount() <= 0 && router->running_state() > 0) kill_router(router);
    router = next;
  }
  for (Router* router = routers_; router != nullptr; router = router->next_router_)
    if (router->running_state() == Router::kRunningActive) return false;
  return true;
}

SchedulerThread* Element::home_thread() const {
  Master* master = router_ != nullptr ? router_->master() : nullptr;
  if (master == nullptr) return nullptr;
  int id = router_->home_thread_id(this);
  if (id == Router::kUnassignedThread && router_->state() != Router::kLive) id = 0;
  return master->thread(id);
}
