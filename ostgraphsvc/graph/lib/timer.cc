#include "graph/timer.h"

#include "graph/element.h"
#include "graph/master.h"
#include "graph/task.h"

namespace {

int64_t floor_seconds(Timestamp t) {
  int64_t sec = t.nsec() / Timestamp::kNsecPerSec;
  if (t.nsec() % Timestamp::kNsecPerSec < 0) --sec;
  return sec;
}

void fire(Timer* timer, Timer::Hook hook, void* data) {
  if (hook != nullptr) hook(timer, data);
}

}  // namespace

void Timer::run_timer_hook(Timer* timer, void* element) {
  static_cast<Element*>(element)->run_timer(timer);
}

void Timer::reschedule_task_hook(Timer*, void* task) { static_cast<Task*>(task)->reschedule(); }

void Timer::initialize(Element* owner) {
  owner_ = owner;
  thread_ = owner != nullptr ? owner->home_thread() : nullptr;
}

void Timer::schedule_at(Timestamp when) {
  if (thread_ == nullptr) return;
  TimerHeap& heap = thread_->timer_heap();
  Timestamp expiry = when.nsec() == 0 ? Timestamp::make_nsec(1) : when;
  if (expiry < heap.stale_before_) expiry = heap.last_run_;
  expiry_ = expiry;
  int i;
  if (position_ > 0) {
    i = position_ - 1;
    heap.heap_[i].expiry = expiry;
  } else {
    if (position_ < 0) heap.late_[-position_ - 1] = nullptr;
    i = heap.heap_.size();
    heap.heap_.push_back(TimerHeap::Entry{expiry, this});
    position_ = i + 1;
  }
  heap.sift(i);
  heap.refresh_earliest();
}

void Timer::unschedule() {
  if (position_ == 0) return;
  TimerHeap& heap = thread_->timer_heap();
  if (position_ > 0)
    heap.remove_at(position_ - 1);
  else
    heap.late_[-position_ - 1] = nullptr;
  position_ = 0;
}

TimerHeap::TimerHeap() { set_last_run(Timestamp::now()); }

void TimerHeap::set_last_run(Timestamp now) {
  last_run_ = now;
  // floor(e) + 1 < floor(now), in whole seconds, holds exactly for
  // e < (floor(now) - 1) seconds.
  stale_before_ = Timestamp::make_sec(floor_seconds(now) - 1);
}

TimerHeap::~TimerHeap() {
  for (const Entry& e : heap_) e.timer->position_ = 0;
  for (Timer* timer : late_)
    if (timer != nullptr) timer->position_ = 0;
}

void TimerHeap::sift(int i) {
  const Entry moving = heap_[i];
  while (i > 0) {
    const int parent = i / 4;
    if (!(moving.expiry < heap_[parent].expiry)) break;
    place(i, heap_[parent]);
    i = parent;
  }
  const int n = heap_.size();
  for (;;) {
    const int first = i == 0 ? 1 : 4 * i;
    if (first >= n) break;
    const int end = i == 0 ? 4 : 4 * i + 4;
    int best = first;
    for (int k = first + 1; k < end && k < n; ++k)
      if (heap_[k].expiry < heap_[best].expiry) best = k;
    if (!(heap_[best].expiry < moving.expiry)) break;
    place(i, heap_[best]);
    i = best;
  }
  place(i, moving);
}

void TimerHeap::remove_at(int i) {
  const Entry last = heap_.back();
  heap_.pop_back();
  if (i < heap_.size()) {
    place(i, last);
    sift(i);
  }
  refresh_earliest();
}

void TimerHeap::run_timers(SchedulerThread* thread, Master* master) {
  if ((master != nullptr && master->paused()) || heap_.empty() || thread->stop_flag()) return;
  const Timestamp now = Timestamp::now();
  set_last_run(now);
  if (now < heap_[0].expiry) return;

  if ((now - heap_[0].expiry).nsec() < kOnTimeNsec) {
    if (++on_time_count_ >= kOnTimeRaise) {
      if (check_stride_ < max_check_stride_) ++check_stride_;
      on_time_count_ = 0;
    }
  } else {
    on_time_count_ = 0;
    if (check_stride_ > 1) check_stride_ = check_stride_ * 4 / 5;
  }

  for (int runs = 0; runs < kDirectRuns; ++runs) {
    Timer* timer = heap_[0].timer;
    remove_at(0);
    timer->position_ = 0;
    // The hook may free the timer: read nothing from it afterwards.
    fire(timer, timer->hook_, timer->data_);
    if (heap_.empty() || thread->stop_flag() || now < heap_[0].expiry) return;
  }
  run_late_batch(thread, now);
}

void TimerHeap::run_late_batch(SchedulerThread* thread, Timestamp now) {
  if (late_.capacity() < kInitialLateRoom) late_.reserve(kInitialLateRoom);
  while (!heap_.empty() && !(now < heap_[0].expiry)) {
    Timer* timer = heap_[0].timer;
    remove_at(0);
    late_.push_back(timer);
    timer->position_ = -late_.size();
  }
  int i = 0;
  for (; i < late_.size() && !thread->stop_flag(); ++i) {
    Timer* timer = late_[i];
    if (timer == nullptr) continue;
    timer->position_ = 0;
    fire(timer, timer->hook_, timer->data_);
  }
  // Stopped part-way: what did not run goes back on the heap.
  for (; i < late_.size(); ++i) {
    Timer* timer = late_[i];
    if (timer == nullptr) continue;
    late_[i] = nullptr;
    timer->position_ = 0;
    timer->schedule_at(timer->expiry_);
  }
  late_.clear();
}
