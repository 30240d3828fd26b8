#include "ostgraphsvc/graph/elements/standard/discard.h"

#include "graph/args.h"
#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "graph/schedule_info.h"

namespace {

enum { kCount = 0, kActive = 1, kResetCounts = 2 };

void* datum(int what) { return reinterpret_cast<void*>(static_cast<uintptr_t>(what)); }

}  // namespace

int Discard::configure(Vector<String>& conf, ErrorHandler* errh) {
  bool active = true;
  uint32_t burst = 1;
  if (Args(conf, this, errh)
          .read_bool("ACTIVE", 0, active)
          .read_uint("BURST", 0, burst)
          .check_and_commit() < 0)
    return -1;
  if (!active && !input(0).active()) return errh->error("ACTIVE is meaningless in push context");
  active_ = active;
  burst_ = burst == 0 ? 0xFFFFFFFFu : burst;
  return 0;
}

int Discard::initialize(ErrorHandler* errh) {
  if (!input(0).active()) return 0;
  const int tickets = ScheduleInfo::query(this, errh);
  task_.initialize(this, active_);
  if (tickets > 0)
    task_.set_tickets(tickets > ScheduleInfo::kMaxTickets ? ScheduleInfo::kMaxTickets : tickets);
  signal_ = Notifier::collect_upstream_empty_signal(this, &task_);
  return 0;
}

void Discard::push(int, Packet* p) {
  ++count_;
  p->release();
}

bool Discard::run_task(Task*) {
  // The task has no unschedule: a pending run after "active" went false
  // pulls nothing and is not rescheduled.
  if (!active_) return false;
  uint32_t n = 0;
  while (n < burst_) {
    Packet* p = input(0).pull();
    if (p == nullptr) break;
    p->release();
    ++n;
  }
  count_ += n;
  if (active_ && (n > 0 || signal_.active())) task_.reschedule();
  return n > 0;
}

String Discard::read_handler(Element* e, void* data) {
  auto* d = static_cast<Discard*>(e);
  if (reinterpret_cast<uintptr_t>(data) == kActive) return String(d->active_);
  return String(static_cast<unsigned long long>(d->count_));
}

int Discard::write_handler(const String& value, Element* e, void* data, ErrorHandler* errh) {
  auto* d = static_cast<Discard*>(e);
  if (reinterpret_cast<uintptr_t>(data) == kResetCounts) {
    d->count_ = 0;
    return 0;
  }
  bool active;
  if (!cp_parse_bool(value, &active)) return errh->error("syntax error");
  d->active_ = active;
  if (active && !d->task_.scheduled()) d->task_.reschedule();
  return 0;
}

void Discard::add_handlers() {
  Router::add_read_handler(this, "count", read_handler, datum(kCount));
  Router::add_write_handler(this, "reset_counts", write_handler, datum(kResetCounts));
  if (!input(0).active()) return;
  Router::add_read_handler(this, "active", read_handler, datum(kActive));
  Router::add_write_handler(this, "active", write_handler, datum(kActive));
  add_task_handlers(&task_);
}
