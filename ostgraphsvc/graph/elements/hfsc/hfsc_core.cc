#include "ostgraphsvc/graph/elements/hfsc/hfsc_core.h"

#include <time.h>

#include <cstring>
#include <new>

#include "graph/router_log.h"

// ---- clock ----

namespace {

uint64_t monotonic_reading() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t (*clock_reading)() = monotonic_reading;
bool clock_started = false;
uint64_t clock_base = 0;

}  // namespace

uint64_t hfsc_now() {
  uint64_t reading = clock_reading();
  if (!clock_started) {
    clock_started = true;
    clock_base = reading;
  }
  // A source that steps back reads as the start, never as a far future.
  uint64_t elapsed_us = reading > clock_base ? (reading - clock_base) / 1000 : 0;
  return (elapsed_us / 1'000'000) * 1'000'000'000ULL + (elapsed_us % 1'000'000) * 1000;
}

void hfsc_set_clock_source(uint64_t (*reading)()) {
  clock_reading = reading != nullptr ? reading : monotonic_reading;
  clock_started = false;
}

// ---- class queue ----

SchedQueueEntry* ClassQueue::append(SchedQueueEntry* e) {
  if (count >= limit) return e;
  e->next = nullptr;
  if (tail == nullptr) {
    head = e;
  } else {
    tail->next = e;
  }
  tail = e;
  ++count;
  e->state = kSchedEntryQueued;
  return nullptr;
}

SchedQueueEntry* ClassQueue::take_head() {
  SchedQueueEntry* e = head;
  if (e == nullptr) return nullptr;
  head = e->next;
  if (head == nullptr) tail = nullptr;
  e->next = nullptr;
  e->state = 0;
  --count;
  return e;
}

// ---- core ----

HfscCore::HfscCore(const char* name) {
  if (name != nullptr) std::strncpy(name_, name, sizeof name_ - 1);
  table_ = new HfscClass*[kHfscInitialTableSize]();
  table_size_ = kHfscInitialTableSize;
}

HfscCore::~HfscCore() {
  for (uint32_t i = 0; i < table_size_; ++i) delete table_[i];
  delete[] table_;
}

bool HfscCore::grow_table() {
  uint32_t size = table_size_ * 2;
  if (size > kHfscMaxTableSize) size = kHfscMaxTableSize;
  if (size == table_size_) return false;
  HfscClass** table = new (std::nothrow) HfscClass*[size]();
  if (table == nullptr) return false;
  // Slots keep their index; lookups by queue id fall back to a scan.
  std::memcpy(table, table_, sizeof(HfscClass*) * table_size_);
  delete[] table_;
  table_ = table;
  table_size_ = size;
  return true;
}

HfscClass* HfscCore::create_class(const ServiceCurve* rt, const ServiceCurve* ls,
                                  const ServiceCurve* ul, HfscClass* parent, uint32_t queue_limit,
                                  uint32_t flags, uint32_t queue_id) {
  if (class_count_ >= table_size_ && !grow_table()) return nullptr;
  HfscClass* cl = new (std::nothrow) HfscClass();
  if (cl == nullptr) return nullptr;
  cl->queue.limit = queue_limit == 0 ? kHfscDefaultQueueLimit : queue_limit;
  cl->flags = flags;
  if (rt != nullptr && rt->present()) {
    cl->has_rt = true;
    cl->rt_curve = hfsc_scale_curve(*rt);
    cl->deadline_curve = hfsc_anchor_curve(cl->rt_curve, 0, 0);
    cl->eligible_curve = cl->deadline_curve;
  }
  if (ls != nullptr && ls->present()) {
    cl->has_ls = true;
    cl->ls_curve = hfsc_scale_curve(*ls);
    cl->virtual_curve = hfsc_anchor_curve(cl->ls_curve, 0, 0);
  }
  if (ul != nullptr && ul->present()) {
    cl->has_ul = true;
    cl->ul_curve = hfsc_scale_curve(*ul);
    cl->ulimit_curve = hfsc_anchor_curve(cl->ul_curve, 0, 0);
  }
  cl->id = next_class_id_++;
  ++class_count_;
  cl->queue_id = queue_id;
  cl->parent = parent;

  uint32_t slot = queue_id % table_size_;
  if (table_[slot] != nullptr) {
    slot = 0;
    while (table_[slot] != nullptr) ++slot;  // class_count_ <= table_size_: one is free
  }
  table_[slot] = cl;

  if (flags & kHfscDefaultClassFlag) default_class_ = cl;
  if (parent == nullptr) {
    root_ = cl;
    return cl;
  }
  HfscClass** link = &parent->first_child;
  while (*link != nullptr) link = &(*link)->next_sibling;
  *link = cl;
  return cl;
}

HfscClass* HfscCore::find_class(uint32_t queue_id) const {
  HfscClass* cl = table_[queue_id % table_size_];
  if (cl != nullptr && cl->queue_id == queue_id) return cl;
  for (uint32_t i = 0; i < table_size_; ++i) {
    if (table_[i] != nullptr && table_[i]->queue_id == queue_id) return table_[i];
  }
  return nullptr;
}

int HfscCore::add_class(const HfscClassOptions& o) {
  // Every check comes before a root is made, so a refused call changes
  // nothing.
  if (o.queue_id == 0) return kHfscInvalid;
  HfscClass* parent = nullptr;
  if (o.parent_queue_id == 0) {
    if (root_ != nullptr) return kHfscInvalid;
  } else {
    parent = find_class(o.parent_queue_id);
    if (parent == nullptr) return kHfscInvalid;
  }
  if (find_class(o.queue_id) != nullptr) return kHfscInUse;
  if (parent == nullptr) {
    uint32_t root_id = o.queue_id | kHfscRootQueueIdBit;
    // The root's handle must not hide the class hung under it.
    if (root_id == o.queue_id) return kHfscInUse;
    parent = create_class(nullptr, nullptr, nullptr, nullptr, 0, 0, root_id);
    if (parent == nullptr) return kHfscNoClass;
  }
  HfscClass* cl = create_class(&o.rt, &o.ls, &o.ul, parent, o.queue_limit, o.flags, o.queue_id);
  if (cl == nullptr) return kHfscNoClass;
  cl->queue_ops = &cl->queue;
  return kHfscOk;
}

SchedQueueEntry* HfscCore::enqueue(SchedQueueEntry* e) {
  if (next_deadline_ == 0) next_deadline();
  HfscClass* cl = e->queue_id != 0 ? find_class(e->queue_id) : nullptr;
  if (cl == nullptr || cl->first_child != nullptr) cl = default_class_;
  // A class without a queue to serve (the root) would hold the packet for
  // ever.
  if (cl == nullptr || cl->queue_ops == nullptr) return e;
  uint64_t length = e->length > 0 ? static_cast<uint64_t>(e->length) : 0;
  if (cl->queue_ops->append(e) != nullptr) {
    ++cl->counters.dropped_packets;
    cl->counters.dropped_bytes += length;
    return e;
  }
  ++cl->counters.enqueued_packets;
  cl->counters.enqueued_bytes += length;
  if (cl->queue_ops->length() == 1) {
    if (cl->has_rt) {
      uint64_t now = hfsc_now();
      hfsc_curve_lower(&cl->deadline_curve, cl->rt_curve, now, cl->rt_work);
      cl->eligible_curve = cl->deadline_curve;
      if (cl->rt_curve.convex()) {
        cl->eligible_curve.dx = 0;
        cl->eligible_curve.dy = 0;
      }
      cl->eligible_time = hfsc_curve_x_for(cl->eligible_curve, cl->rt_work);
      cl->deadline = hfsc_curve_x_for(cl->deadline_curve, cl->rt_work + length);
      eligible_insert(cl);
    }
    if (cl->has_ls) start_link_sharing(cl);
    ++cl->activations;
  }
  queued_bytes_ += static_cast<uint32_t>(length);
  return nullptr;
}

void HfscCore::start_link_sharing(HfscClass* cl) {
  bool going_active = true;
  bool have_now = false;
  uint64_t now = 0;
  for (HfscClass* k = cl; k->parent != nullptr; k = k->parent) {
    HfscClass* p = k->parent;
    // A class without a link-sharing curve takes no part in link-sharing,
    // nor does its subtree: activating it would leave it active for good,
    // since its backlog end is never accounted.
    if (!k->has_ls) break;
    if (going_active) {
      going_active = k->active_count == 0;
      ++k->active_count;
    }
    if (going_active) {
      HfscClass* last = p->active_tail;
      if (last != nullptr) {
        uint64_t v = last->virtual_time;
        if (p->children_min_vt != 0) v = (p->children_min_vt + v) >> 1;
        if (k->parent_period == p->vt_period) {
          if (v > k->virtual_time) k->virtual_time = v;
        } else {
          k->virtual_time = v;
        }
      } else {
        // A new backlog period of the parent: earlier virtual times restart
        // from the largest one the passive children reached.
        for (HfscClass* c = p->first_child; c != nullptr; c = c->next_sibling)
          c->vt_offset += p->children_max_vt;
        k->virtual_time = 0;
        p->children_max_vt = 0;
        p->children_min_vt = 0;
      }
      uint64_t start = k->virtual_time + k->vt_offset;
      hfsc_curve_lower(&k->virtual_curve, k->ls_curve, start, k->total);
      if (k->virtual_curve.x == start) {
        k->virtual_curve.x -= k->vt_offset;
        k->vt_offset = 0;
      }
      k->vt_adjust = 0;
      ++k->vt_period;
      k->parent_period = p->vt_period + (p->active_count == 0 ? 1 : 0);
      k->fit_time = 0;
      active_insert(p, k);
      if (k->has_ul) {
        if (!have_now) {
          now = hfsc_now();
          have_now = true;
        }
        hfsc_curve_lower(&k->ulimit_curve, k->ul_curve, now, k->total);
        k->own_fit = hfsc_curve_x_for(k->ulimit_curve, k->total);
      }
    }
    uint64_t f = k->own_fit > k->children_fit_min ? k->own_fit : k->children_fit_min;
    if (f != k->fit_time) {
      k->fit_time = f;
      refresh_children_fit_min(p);
    }
  }
}

void HfscCore::refresh_children_fit_min(HfscClass* p) {
  uint64_t min = 0;
  for (HfscClass* c = p->active_head; c != nullptr; c = c->active_next) {
    if (c->fit_time == 0) {
      min = 0;
      break;
    }
    if (min == 0 || c->fit_time < min) min = c->fit_time;
  }
  p->children_fit_min = min;
}

HfscClass* HfscCore::select_class(uint64_t now) {
  HfscClass* best = nullptr;
  for (HfscClass* cl = eligible_head_; cl != nullptr && cl->eligible_time <= now;
       cl = cl->eligible_next) {
    if (best == nullptr || cl->deadline < best->deadline) best = cl;
  }
  if (best != nullptr) return best;

  HfscClass* cl = root_;
  if (cl == nullptr || cl->first_child == nullptr) return nullptr;
  while (cl->first_child != nullptr) {
    HfscClass* fit = cl->active_head;
    while (fit != nullptr && fit->fit_time > now) fit = fit->active_next;
    // No child of this class may send yet: nothing may leave now. An
    // interior class is never the answer: it holds no packets, and the
    // dequeue bookkeeping would count its backlog as ended.
    if (fit == nullptr) return nullptr;
    if (fit->virtual_time > cl->children_min_vt) cl->children_min_vt = fit->virtual_time;
    cl = fit;
  }
  return cl;
}

SchedQueueEntry* HfscCore::dequeue_head(HfscClass* cl, uint64_t now) {
  if (cl->queue_ops == nullptr || cl->queue_ops->peek() == nullptr) {
    after_dequeue(cl, 0);
    return nullptr;
  }
  last_dequeue_time_ = now;
  SchedQueueEntry* e = cl->queue_ops->take_head();
  uint64_t length = e->length > 0 ? static_cast<uint64_t>(e->length) : 0;
  after_dequeue(cl, length);
  queued_bytes_ -= static_cast<uint32_t>(length);
  ++cl->counters.dequeued_packets;
  cl->counters.dequeued_bytes += length;
  return e;
}

void HfscCore::after_dequeue(HfscClass* cl, uint64_t length) {
  bool realtime = cl->has_rt && cl->eligible_time <= last_dequeue_time_;
  update_link_sharing(cl, length);
  if (realtime) cl->rt_work += length;
  if (cl->queue_ops != nullptr && cl->queue_ops->length() > 0) {
    if (!cl->has_rt) return;
    SchedQueueEntry* head = cl->queue_ops->peek();
    uint64_t next = head->length > 0 ? static_cast<uint64_t>(head->length) : 0;
    if (realtime) {
      cl->eligible_time = hfsc_curve_x_for(cl->eligible_curve, cl->rt_work);
      cl->deadline = hfsc_curve_x_for(cl->deadline_curve, cl->rt_work + next);
      eligible_move(cl);
      return;
    }
    cl->deadline = hfsc_curve_x_for(cl->deadline_curve, cl->rt_work + next);
    return;
  }
  if (cl->has_rt) eligible_remove(cl);
}

void HfscCore::update_link_sharing(HfscClass* cl, uint64_t length) {
  bool going_passive = cl->has_ls && (cl->queue_ops == nullptr || cl->queue_ops->length() == 0);
  for (HfscClass* k = cl; k->parent != nullptr; k = k->parent) {
    HfscClass* p = k->parent;
    k->total += length;
    if (!k->has_ls || k->active_count == 0) {
      // The subtree's activation stopped here, so its end does too.
      going_passive = false;
      continue;
    }
    if (going_passive) {
      --k->active_count;
      going_passive = k->active_count == 0;
    }
    if (going_passive) {
      if (k->virtual_time > p->children_max_vt) p->children_max_vt = k->virtual_time;
      active_remove(p, k);
      refresh_children_fit_min(p);
      continue;
    }
    k->virtual_time = hfsc_curve_x_for(k->virtual_curve, k->total) - k->vt_offset + k->vt_adjust;
    if (k->virtual_time < p->children_min_vt) {
      k->vt_adjust += p->children_min_vt - k->virtual_time;
      k->virtual_time = p->children_min_vt;
    }
    active_move(p, k);
    if (k->has_ul) k->own_fit = hfsc_curve_x_for(k->ulimit_curve, k->total);
    uint64_t f = k->own_fit > k->children_fit_min ? k->own_fit : k->children_fit_min;
    if (f != k->fit_time) {
      k->fit_time = f;
      refresh_children_fit_min(p);
    }
  }
}

uint64_t HfscCore::next_deadline() {
  uint64_t deadline = 0;
  uint64_t min_t = 0;
  HfscClass* found = nullptr;
  for (HfscClass* cl = eligible_head_; cl != nullptr; cl = cl->eligible_next) {
    if (found == nullptr || found->eligible_time == 0 ||
        (cl->eligible_time != 0 && cl->eligible_time < found->eligible_time))
      found = cl;
  }
  if (found != nullptr) {
    deadline = found->eligible_time;
  } else {
    for (HfscClass* cl = root_; cl != nullptr && cl->first_child != nullptr;) {
      HfscClass* least = nullptr;
      for (HfscClass* c = cl->active_head; c != nullptr; c = c->active_next) {
        if (least == nullptr || least->fit_time == 0 ||
            (c->fit_time != 0 && c->fit_time < least->fit_time))
          least = c;
      }
      if (least == nullptr) break;
      found = least;
      if (deadline == 0) {
        deadline = least->fit_time;
      } else if (least->fit_time != 0 && least->fit_time < deadline) {
        deadline = least->fit_time;
      }
      cl = least;
    }
    min_t = deadline;
  }
  if (root_ != nullptr && root_->children_fit_min != 0 &&
      (deadline == 0 || deadline > root_->children_fit_min))
    deadline = root_->children_fit_min;
  next_deadline_ = deadline;
  if (deadline_line_.due()) {
    log_syslog_level(7, "HfscCore::next_deadline", __FILE__, __LINE__,
                     "next pkt deadline=%lu cl=%p min_t=%lu", static_cast<unsigned long>(deadline),
                     static_cast<void*>(found), static_cast<unsigned long>(min_t));
  }
  return deadline;
}

// ---- ordered lists ----

void HfscCore::eligible_insert(HfscClass* cl) {
  if (cl->in_eligible) eligible_remove(cl);
  cl->in_eligible = true;
  HfscClass* at = nullptr;  // insert before; null = at the end
  if (eligible_tail_ != nullptr && eligible_tail_->eligible_time > cl->eligible_time) {
    at = eligible_head_;
    while (at->eligible_time <= cl->eligible_time) at = at->eligible_next;
  }
  cl->eligible_next = at;
  cl->eligible_prev = at != nullptr ? at->eligible_prev : eligible_tail_;
  if (cl->eligible_prev != nullptr) {
    cl->eligible_prev->eligible_next = cl;
  } else {
    eligible_head_ = cl;
  }
  if (at != nullptr) {
    at->eligible_prev = cl;
  } else {
    eligible_tail_ = cl;
  }
}

void HfscCore::eligible_remove(HfscClass* cl) {
  if (!cl->in_eligible) return;
  if (cl->eligible_prev != nullptr) {
    cl->eligible_prev->eligible_next = cl->eligible_next;
  } else {
    eligible_head_ = cl->eligible_next;
  }
  if (cl->eligible_next != nullptr) {
    cl->eligible_next->eligible_prev = cl->eligible_prev;
  } else {
    eligible_tail_ = cl->eligible_prev;
  }
  cl->eligible_prev = nullptr;
  cl->eligible_next = nullptr;
  cl->in_eligible = false;
}

void HfscCore::eligible_move(HfscClass* cl) {
  if (!cl->in_eligible) return;
  HfscClass* next = cl->eligible_next;
  if (next == nullptr || cl->eligible_time <= next->eligible_time) return;
  // cl only moves back: before the first class past `next` that is later
  // than it, or to the end.
  eligible_remove(cl);
  cl->in_eligible = true;
  HfscClass* at = nullptr;
  if (eligible_tail_->eligible_time > cl->eligible_time) {
    at = next->eligible_next;
    while (at->eligible_time <= cl->eligible_time) at = at->eligible_next;
  }
  cl->eligible_next = at;
  cl->eligible_prev = at != nullptr ? at->eligible_prev : eligible_tail_;
  cl->eligible_prev->eligible_next = cl;  // at least `next` is before cl
  if (at != nullptr) {
    at->eligible_prev = cl;
  } else {
    eligible_tail_ = cl;
  }
}

void HfscCore::active_insert(HfscClass* p, HfscClass* cl) {
  if (cl->in_active) active_remove(p, cl);
  cl->in_active = true;
  HfscClass* at = nullptr;
  if (p->active_tail != nullptr && p->active_tail->virtual_time > cl->virtual_time) {
    at = p->active_head;
    while (at->virtual_time <= cl->virtual_time) at = at->active_next;
  }
  cl->active_next = at;
  cl->active_prev = at != nullptr ? at->active_prev : p->active_tail;
  if (cl->active_prev != nullptr) {
    cl->active_prev->active_next = cl;
  } else {
    p->active_head = cl;
  }
  if (at != nullptr) {
    at->active_prev = cl;
  } else {
    p->active_tail = cl;
  }
}

void HfscCore::active_remove(HfscClass* p, HfscClass* cl) {
  if (!cl->in_active) return;
  if (cl->active_prev != nullptr) {
    cl->active_prev->active_next = cl->active_next;
  } else {
    p->active_head = cl->active_next;
  }
  if (cl->active_next != nullptr) {
    cl->active_next->active_prev = cl->active_prev;
  } else {
    p->active_tail = cl->active_prev;
  }
  cl->active_prev = nullptr;
  cl->active_next = nullptr;
  cl->in_active = false;
}

void HfscCore::active_move(HfscClass* p, HfscClass* cl) {
  if (!cl->in_active) return;
  HfscClass* next = cl->active_next;
  // An equal virtual time moves behind its peers: round robin among equals.
  if (next == nullptr || cl->virtual_time < next->virtual_time) return;
  active_remove(p, cl);
  cl->in_active = true;
  HfscClass* at = nullptr;
  if (cl->virtual_time < p->active_tail->virtual_time) {
    at = next->active_next;
    while (at->virtual_time <= cl->virtual_time) at = at->active_next;
  }
  cl->active_next = at;
  cl->active_prev = at != nullptr ? at->active_prev : p->active_tail;
  cl->active_prev->active_next = cl;
  if (at != nullptr) {
    at->active_prev = cl;
  } else {
    p->active_tail = cl;
  }
}
