#include "graph/master.h"

#include "graph/element.h"
#include "graph/router.h"

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

Master::Master() {
  for (int i = 0; i < kThreads; ++i) threads_[i] = new SchedulerThread(this, i - 1);
}

Master::~Master() {
  for (SchedulerThread* thread : threads_) delete thread;
}

SchedulerThread* element_home_thread(const Element* element) {
  Router* router = element != nullptr ? element->router() : nullptr;
  Master* master = router != nullptr ? router->master() : nullptr;
  if (master == nullptr) return nullptr;
  // Routers keep no per-element home ids yet: every element has the
  // unassigned id, which resolves to thread 0.
  return master->thread(0);
}
