// HFSCSched: a push element (one input, one output) that holds packets in
// the classes of an HFSC scheduler (hfsc_core.h) and sends each on when the
// scheduler allows it.
//
// Configuration: CONF (the class-tree JSON file), INTERFACE (the scheduler's
// name, read by the scheduling-queue statistics), MODE ("GW" or "HUB",
// required). The tree file is read whole, without following links, only as
// a regular file of at most 64 MiB. Its levels: the root object, its "node"
// array (nodes), theirs (leaves) and theirs (sub-leaves); a root with a
// single node gives that node no class. Leaf queue ids are the node's plus
// their "qid", sub-leaf ids the leaf's plus theirs. Sub-leaves of each leaf
// fill the slot table from slot 5; a sub-leaf past slot 24 gets a class but
// no slot.
//
// Every pushed packet is queued to class 14. A packet with the replicate
// annotation is also cloned, and the clone goes to the class of slot
// 4 x priority + traffic class (priority 0 reads as slot 11); a slot outside
// 4..24 or an empty one refuses the clone (released, counted). Each push
// runs a dequeue pass; while packets are held, a deadline hook entry
// (graph/deadline_hook.h) runs `run_timer` at the next deadline, so held
// packets leave even when no further packet comes.
//
// Sent packets are accounted to their WAN link through the registered
// OverlayView when there is one.
//
// Ownership: the element owns its scheduler and, through it, the packets it
// holds; clean-up and the destructor release them. The process-wide
// `get_hfsc_obj_list` refers to elements without owning them; an element
// leaves it when destroyed.
//
// Threads: the packet thread (push, timer callbacks run by the capture
// consumer); configure, initialize and clean-up run while no packet flows.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_HFSC_HFSC_SCHED_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_HFSC_HFSC_SCHED_H_

#include <cstdint>
#include <memory>

#include "graph/deadline_hook.h"
#include "graph/element.h"
#include "graph/json.h"
#include "graph/notifier.h"
#include "graph/string.h"
#include "graph/vector.h"
#include "ostgraphsvc/graph/elements/hfsc/hfsc_core.h"

class HFSCSched : public Element {
 public:
  static constexpr uint32_t kRootQueueId = 0x10001;
  static constexpr uint32_t kOwnQueueId = 14;
  static constexpr int kFirstSlot = 4;
  static constexpr int kLastSlot = 24;
  static constexpr int kFirstSubLeafSlot = 5;
  static constexpr int kModeGateway = 16;
  static constexpr int kModeHub = 17;
  static constexpr int kLinkRate = 5000;
  static constexpr uint64_t kMinWaitNs = 100000;
  static constexpr uint32_t kLeafDefaultLimit = 0;
  static constexpr uint32_t kSubLeafDefaultLimit = 10000;
  static constexpr uint32_t kMaxQueueLimit = 65535;
  static constexpr size_t kMaxFileSize = size_t{64} << 20;
  static constexpr int kMaxName = 62;

  HFSCSched();
  ~HFSCSched() override;

  const char* class_name() const override { return "HFSCSched"; }
  const char* port_count() const override { return "1"; }
  const char* processing() const override { return kPush; }
  // "empty": the notifier; "HFSCSched": the element.
  void* cast(const char* name) override;
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  int initialize(ErrorHandler* errh) override;
  void cleanup(CleanupStage stage) override;
  void add_handlers() override;
  bool can_live_reconfigure() const override { return false; }

  void push(int port, Packet* p) override;
  void run_timer(Timer*) override;

  // HfscCore::add_class with linear curves: real-time (realtime != 0) or
  // link-sharing of `share`, and an upper limit of `cap`.
  int add_queue_abs(int realtime, uint32_t share, uint32_t cap, uint32_t parent_qid, uint32_t qid,
                    uint32_t queue_limit, const char* first_name, const char* second_name);
  void enqueue(SchedQueueEntry* e);
  // One dequeue pass; the last packet sent (already passed on) or null.
  Packet* dequeue();
  void dequeue_or_wait(uint64_t now);

  const String& interface_name() const { return interface_name_; }
  // Queue id of slot `i` (0..24), 0 when empty or out of range.
  uint32_t slot(int i) const { return i >= 0 && i <= kLastSlot ? slots_[i] : 0; }
  HfscCore* scheduler() const { return scheduler_.get(); }
  int scheduler_mode() const { return scheduler_mode_; }
  uint32_t enqueue_count() const { return enqueue_count_; }
  uint32_t dequeue_count() const { return dequeue_count_; }
  uint32_t drop_count() const { return drop_count_; }
  bool may_arm() const { return may_arm_; }
  const DeadlineEntry& deadline_entry() const { return deadline_; }
  // Tests: start the packet counters elsewhere (to cross their wrap).
  void set_counts_for_test(uint32_t enqueued, uint32_t dequeued) {
    enqueue_count_ = enqueued;
    dequeue_count_ = dequeued;
  }

 private:
  static void deadline_callback(void* element);
  int build_class_tree(const Json& root, ErrorHandler* errh);
  // True (after a line) once the core's class table can take no more.
  bool table_full();
  // The wait before the next deadline, or false when nothing is to wait for.
  bool wait_after(uint64_t now, uint64_t* wait, uint64_t* deadline);
  void account_wan_tx(Packet* p);
  void release_held();

  ActiveNotifier empty_notifier_;
  String conf_path_;
  String interface_name_;
  bool config_present_ = true;
  int scheduler_mode_ = 0;
  std::unique_ptr<HfscCore> scheduler_;
  uint32_t slots_[kLastSlot + 1] = {};
  uint32_t enqueue_count_ = 0;
  uint32_t dequeue_count_ = 0;
  uint32_t drop_count_ = 0;
  bool may_arm_ = true;
  DeadlineEntry deadline_;
  HfscThinnedLine clone_line_;
  HfscThinnedLine refused_line_;
  HfscThinnedLine enqueue_line_;
  HfscThinnedLine dequeue_line_;
  HfscThinnedLine arm_line_;
  HfscThinnedLine timer_line_;
  HfscThinnedLine wan_line_;
};

// The schedulers of the process: filled on the first call that finds one in
// `asking`'s router (in element order), unchanged afterwards except that a
// destroyed element leaves it.
Vector<HFSCSched*>& get_hfsc_obj_list(Element* asking);

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_HFSC_HFSC_SCHED_H_
