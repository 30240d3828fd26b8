// HfscCore: a hierarchical fair service curve scheduler over a tree of
// classes. Leaf classes hold FIFO queues of `SchedQueueEntry`s (the entry
// every Packet carries); each class may have a real-time, a link-sharing and
// an upper-limit curve (hfsc_curve.h). A packet leaves by the real-time
// criterion when a backlogged class has reached its eligible time (earliest
// deadline wins), otherwise by link-sharing: from the root down, at each
// level the first active child in virtual-time order whose fit time has come.
//
// Driving it (one sender):
//   core.enqueue(entry)                       on arrival; null = accepted
//   cl = core.select_class(hfsc_now())        null: nothing may leave now
//   entry = core.dequeue_head(cl, now)        head off, bookkeeping, counters
//   core.next_deadline()                      when to try again (0: nothing)
// dequeue_head bundles head / last dequeue time / take head / after_dequeue
// / queued bytes; the single steps stay public for callers that need them.
//
// Time is nanoseconds of hfsc_now(), amounts are bytes, curve slopes bits
// per second. Per-class counters (packets and bytes enqueued, dequeued,
// dropped) are advanced by enqueue and dequeue_head.
//
// Ownership: the core owns its classes (made at set-up, freed with the
// core). Entries stay owned by their packets; while queued (state
// kSchedEntryQueued) the core owns their links. Destroying a core with
// entries queued leaves the packets to the caller (it must drain first).
// Nothing on the enqueue/dequeue path allocates.
//
// Threads: none and no locks; one thread uses a core (the packet thread).
// hfsc_now and its test source are process-wide, for that thread only.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_HFSC_HFSC_CORE_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_HFSC_HFSC_CORE_H_

#include <cstdint>

#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/hfsc/hfsc_curve.h"

// The scheduler clock: nanoseconds with microsecond resolution, counted from
// the first call, read from CLOCK_MONOTONIC.
uint64_t hfsc_now();
// Tests: `reading` (raw nanoseconds) replaces the monotonic clock and the
// count starts again at its next reading; null restores the real clock.
void hfsc_set_clock_source(uint64_t (*reading)());

inline constexpr uint32_t kHfscDefaultClassFlag = 0x1000;
inline constexpr uint32_t kHfscRootQueueIdBit = 0x10000;
inline constexpr uint32_t kHfscDefaultQueueLimit = 50;
inline constexpr uint32_t kHfscInitialTableSize = 64;
inline constexpr uint32_t kHfscMaxTableSize = 65535;
inline constexpr int kHfscNameSize = 64;  // with the terminating NUL
inline constexpr uint64_t kHfscThinning = 120;

// Results of HfscCore::add_class.
inline constexpr int kHfscOk = 0;
inline constexpr int kHfscInvalid = 22;
inline constexpr int kHfscInUse = 16;
inline constexpr int kHfscNoClass = 12;

// Lets one line in every kHfscThinning occurrences through (the 1st, the
// 121st, ...): for conditions that recur per packet.
class HfscThinnedLine {
 public:
  bool due() { return count_++ % kHfscThinning == 0; }

 private:
  uint64_t count_ = 0;
};

// FIFO of entries linked through SchedQueueEntry::next.
struct ClassQueue {
  SchedQueueEntry* head = nullptr;
  SchedQueueEntry* tail = nullptr;
  uint32_t count = 0;
  uint32_t limit = 0;

  uint32_t length() const { return count; }
  // Null when appended; `e` itself when the queue is full.
  SchedQueueEntry* append(SchedQueueEntry* e);
  SchedQueueEntry* peek() const { return head; }
  SchedQueueEntry* take_head();
};

struct HfscClassCounters {
  uint64_t enqueued_packets = 0;
  uint64_t enqueued_bytes = 0;
  uint64_t dequeued_packets = 0;
  uint64_t dequeued_bytes = 0;
  uint64_t dropped_packets = 0;
  uint64_t dropped_bytes = 0;
};

struct HfscClass {
  uint32_t id = 0;
  uint32_t queue_id = 0;
  uint32_t flags = 0;
  HfscClass* parent = nullptr;
  HfscClass* next_sibling = nullptr;
  HfscClass* first_child = nullptr;
  ClassQueue queue;
  // The queue the scheduler serves; null for a class made by create_class
  // alone (the root), which never holds packets.
  ClassQueue* queue_ops = nullptr;
  uint64_t total = 0;
  uint64_t rt_work = 0;
  uint64_t deadline = 0;
  uint64_t eligible_time = 0;
  uint64_t virtual_time = 0;
  uint64_t fit_time = 0;
  uint64_t own_fit = 0;
  uint64_t children_fit_min = 0;
  uint64_t children_min_vt = 0;
  uint64_t vt_adjust = 0;
  uint64_t vt_offset = 0;
  uint64_t children_max_vt = 0;
  bool has_rt = false;
  bool has_ls = false;
  bool has_ul = false;
  ScaledCurve rt_curve;
  ScaledCurve ls_curve;
  ScaledCurve ul_curve;
  AnchoredCurve deadline_curve;
  AnchoredCurve eligible_curve;
  AnchoredCurve virtual_curve;
  AnchoredCurve ulimit_curve;
  uint32_t vt_period = 0;
  uint32_t parent_period = 0;
  uint32_t active_count = 0;
  // Active children by virtual_time, and this class's links in its parent's.
  HfscClass* active_head = nullptr;
  HfscClass* active_tail = nullptr;
  HfscClass* active_prev = nullptr;
  HfscClass* active_next = nullptr;
  bool in_active = false;
  // Links in the core's eligible list.
  HfscClass* eligible_prev = nullptr;
  HfscClass* eligible_next = nullptr;
  bool in_eligible = false;
  HfscClassCounters counters;
  uint32_t activations = 0;
};

struct HfscClassOptions {
  char first_name[kHfscNameSize] = {};
  char second_name[kHfscNameSize] = {};
  ServiceCurve rt;
  ServiceCurve ls;
  ServiceCurve ul;
  uint32_t flags = 0;
  uint32_t queue_limit = 0;
  uint32_t queue_id = 0;
  uint32_t parent_queue_id = 0;
};

class HfscCore {
 public:
  // `name` is cut to 31 characters.
  explicit HfscCore(const char* name);
  ~HfscCore();
  HfscCore(const HfscCore&) = delete;
  HfscCore& operator=(const HfscCore&) = delete;

  // A class with the curves given (null or all-zero: none), appended to
  // `parent`'s children, or the root when `parent` is null. A queue limit of
  // 0 means 50. Null when the class table is full.
  HfscClass* create_class(const ServiceCurve* rt, const ServiceCurve* ls, const ServiceCurve* ul,
                          HfscClass* parent, uint32_t queue_limit, uint32_t flags,
                          uint32_t queue_id);
  // kHfscOk, kHfscInvalid (queue id 0, parent missing, parent 0 once a root
  // exists), kHfscInUse (queue id taken) or kHfscNoClass (table full). A
  // refused call changes nothing.
  int add_class(const HfscClassOptions& options);

  // Queues `e` (length and queue id set by the caller) to the leaf class of
  // its queue id, else to the default class. Null when accepted; `e` when
  // refused (no such leaf, or its queue full), with nothing changed.
  SchedQueueEntry* enqueue(SchedQueueEntry* e);
  // The class to send from at `now`, or null.
  HfscClass* select_class(uint64_t now);
  // Takes the head entry of `cl` (selected at `now`) and does the
  // bookkeeping of its departure. Null when the class holds nothing.
  SchedQueueEntry* dequeue_head(HfscClass* cl, uint64_t now);
  // Bookkeeping after `length` bytes left `cl` (0 when nothing did).
  void after_dequeue(HfscClass* cl, uint64_t length);
  // Computes, stores and answers the next time something may be sent
  // (0: nothing held or nothing limited).
  uint64_t next_deadline();

  HfscClass* find_class(uint32_t queue_id) const;
  HfscClass* root() const { return root_; }
  HfscClass* default_class() const { return default_class_; }
  HfscClass* eligible_head() const { return eligible_head_; }
  uint32_t table_size() const { return table_size_; }
  uint32_t class_count() const { return class_count_; }
  uint64_t stored_deadline() const { return next_deadline_; }
  uint64_t last_dequeue_time() const { return last_dequeue_time_; }
  void set_last_dequeue_time(uint64_t t) { last_dequeue_time_ = t; }
  uint32_t queued_bytes() const { return queued_bytes_; }
  void subtract_queued_bytes(uint32_t n) { queued_bytes_ -= n; }
  const char* name() const { return name_; }

 private:
  bool grow_table();
  void start_link_sharing(HfscClass* cl);
  void update_link_sharing(HfscClass* cl, uint64_t length);
  static void refresh_children_fit_min(HfscClass* parent);

  void eligible_insert(HfscClass* cl);
  void eligible_move(HfscClass* cl);
  void eligible_remove(HfscClass* cl);
  static void active_insert(HfscClass* parent, HfscClass* cl);
  static void active_move(HfscClass* parent, HfscClass* cl);
  static void active_remove(HfscClass* parent, HfscClass* cl);

  HfscClass* root_ = nullptr;
  HfscClass* default_class_ = nullptr;
  HfscClass** table_ = nullptr;
  uint32_t table_size_ = 0;
  uint32_t class_count_ = 0;
  uint32_t next_class_id_ = 0;
  uint64_t last_dequeue_time_ = 0;
  HfscClass* eligible_head_ = nullptr;
  HfscClass* eligible_tail_ = nullptr;
  uint64_t next_deadline_ = 0;
  char name_[32] = {};
  uint32_t queued_bytes_ = 0;
  HfscThinnedLine deadline_line_;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_HFSC_HFSC_CORE_H_
