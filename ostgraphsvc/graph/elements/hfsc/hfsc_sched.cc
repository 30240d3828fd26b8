#include "ostgraphsvc/graph/elements/hfsc/hfsc_sched.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>

#include "graph/args.h"
#include "graph/error_handler.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "graph/router_log.h"
#include "ostgraphsvc/overlay_view/overlay_view.h"
#include "platform/fs/read_file.h"

#define HFSC_LOG(level, tag, ...) log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

namespace {

Vector<HFSCSched*> hfsc_obj_list;

// A fraction of the link in bits per second, multiplied in single precision
// as the tree's rates always were; out-of-range and NaN results clamp so a
// bad file cannot overflow the conversion.
uint32_t link_bps(double fraction) {
  float bps = static_cast<float>(HFSCSched::kLinkRate) * static_cast<float>(fraction) * 1024.0f;
  if (std::isnan(bps) || bps <= 0.0f) return 0;
  if (bps >= 2147483647.0f) return 2147483647u;
  return static_cast<uint32_t>(bps);
}

// Names come from the file: cut and made printable for the log.
String tree_name(const Json& level) {
  String name = level.get("name").text();
  if (name.length() > HFSCSched::kMaxName) name = name.substring(0, HFSCSched::kMaxName);
  return name.printable();
}

uint32_t queue_limit_of(const Json& level, uint32_t fallback) {
  const Json& limit = level.get("queuelimit");
  if (limit.type() != Json::kInteger) return fallback;
  int value = limit.to_int();
  if (value < 0) return fallback;
  if (static_cast<uint32_t>(value) > HFSCSched::kMaxQueueLimit) return HFSCSched::kMaxQueueLimit;
  return static_cast<uint32_t>(value);
}

void copy_name(char* out, const char* name) {
  std::strncpy(out, name != nullptr ? name : "", HFSCSched::kMaxName);
  out[HFSCSched::kMaxName] = '\0';
}

}  // namespace

HFSCSched::HFSCSched() : deadline_(deadline_callback, this) {}

HFSCSched::~HFSCSched() {
  deadline_hook_remove(&deadline_);
  release_held();
  for (int i = 0; i < hfsc_obj_list.size(); ++i) {
    if (hfsc_obj_list[i] != this) continue;
    for (int j = i + 1; j < hfsc_obj_list.size(); ++j) hfsc_obj_list[j - 1] = hfsc_obj_list[j];
    hfsc_obj_list.pop_back();
    break;
  }
}

void* HFSCSched::cast(const char* name) {
  if (name == nullptr) return nullptr;
  if (std::strcmp(name, Notifier::kEmptyNotifier) == 0) return &empty_notifier_;
  if (std::strcmp(name, "HFSCSched") == 0) return this;
  return nullptr;
}

int HFSCSched::configure(Vector<String>& conf, ErrorHandler* errh) {
  if (empty_notifier_.signal().is_uninitialized() && router() != nullptr) {
    uint32_t* word;
    uint32_t mask;
    router()->allocate_notifier_signal(Notifier::kEmptyNotifier, &word, &mask);
    empty_notifier_.signal() = NotifierState(word, mask);
  }
  String mode;
  Args args(this, errh);
  if (args.bind(conf)
          .read_filename("CONF", 0, conf_path_)
          .read_string("INTERFACE", 0, interface_name_)
          .read_string("MODE", 0, mode)
          .remove_consumed()
          .commit() < 0)
    return -1;
  HFSC_LOG(6, "HFSCSched::configure", "%s %s", conf_path_.printable().c_str(),
           mode.printable().c_str());
  if (conf_path_.length() == 0) config_present_ = false;
  if (mode.length() == 0) return errh->error("Bad Scheduler Mode");
  if (mode == "GW") {
    scheduler_mode_ = kModeGateway;
  } else if (mode == "HUB") {
    scheduler_mode_ = kModeHub;
  } else {
    return errh->error("Unknown Scheduler Mode");
  }
  return 0;
}

int HFSCSched::initialize(ErrorHandler* errh) {
  if (registered_overlay_view() == nullptr) {
    HFSC_LOG(6, "HFSCSched::initialize", "Unable to get overlay element");
  }
  HFSC_LOG(6, "HFSCSched::initialize", "HFSCSched: adding %p to hfsc obj list",
           static_cast<void*>(this));
  deadline_hook_add(&deadline_);
  release_held();
  scheduler_ = std::make_unique<HfscCore>(interface_name_.c_str());
  enqueue_count_ = 0;
  dequeue_count_ = 0;
  drop_count_ = 0;
  may_arm_ = true;
  scheduler_->create_class(nullptr, nullptr, nullptr, nullptr, 0, 0, kRootQueueId);
  if (!config_present_) return -1;

  std::string bytes;
  Json doc;
  if (platform::read_file_no_links(conf_path_.c_str(), kMaxFileSize, &bytes) == 0) {
    doc = Json::parse(String(bytes.data(), static_cast<int>(bytes.size())));
  }
  if (doc.type() != Json::kObject || doc.size() == 0) {
    HFSC_LOG(6, "HFSCSched::initialize_from_config", "JSON config parse failed");
    return -1;
  }
  return build_class_tree(doc, errh);
}

bool HFSCSched::table_full() {
  if (scheduler_->class_count() < kHfscMaxTableSize) return false;
  // The core refuses every further class; a huge file stops here instead of
  // logging each refusal.
  HFSC_LOG(4, "HFSCSched::build_class_tree", "HFSCSched: class table full at %u classes",
           scheduler_->class_count());
  return true;
}

int HFSCSched::build_class_tree(const Json& root, ErrorHandler* errh) {
  const String root_name = tree_name(root);
  const uint32_t root_qid = static_cast<uint32_t>(root.get("qid").to_int());
  errh->message("%s %s %d %d %d %f", root_name.c_str(), root_name.c_str(), root_qid, 0,
                root.get("realtime").to_int(), root.get("rate").to_double());
  add_queue_abs(0, link_bps(root.get("share").to_double()), link_bps(root.get("rate").to_double()),
                kRootQueueId, root_qid, 0, root_name.c_str(), root_name.c_str());

  const Json& nodes = root.get("node");
  const bool single_node = nodes.size() <= 1;
  for (int n = 0; n < nodes.size() && !table_full(); ++n) {
    const Json& node = nodes.get(String(n));
    const String node_name = tree_name(node);
    uint32_t node_qid = root_qid;
    if (!single_node) {
      node_qid = static_cast<uint32_t>(node.get("qid").to_int());
      errh->message("%s %s %d %d %d %f {", root_name.c_str(), node_name.c_str(), root_qid, node_qid,
                    node.get("realtime").to_int(), node.get("rate").to_double());
      add_queue_abs(0, link_bps(node.get("share").to_double()),
                    link_bps(node.get("rate").to_double()), root_qid, node_qid, 0,
                    root_name.c_str(), node_name.c_str());
    }
    const Json& leaves = node.get("node");
    for (int l = 0; l < leaves.size() && !table_full(); ++l) {
      const Json& leaf = leaves.get(String(l));
      const String leaf_name = tree_name(leaf);
      const uint32_t leaf_qid = node_qid + static_cast<uint32_t>(leaf.get("qid").to_int());
      errh->message("\t%s %s %d %d %d %f {", node_name.c_str(), leaf_name.c_str(), node_qid,
                    leaf_qid, leaf.get("realtime").to_int(), leaf.get("rate").to_double());
      add_queue_abs(0, link_bps(leaf.get("share").to_double()),
                    link_bps(leaf.get("rate").to_double()), node_qid, leaf_qid,
                    queue_limit_of(leaf, kLeafDefaultLimit), leaf_name.c_str(), node_name.c_str());
      const Json& subs = leaf.get("node");
      int s = kFirstSubLeafSlot;
      for (int k = 0; k < subs.size() && !table_full(); ++k) {
        const Json& sub = subs.get(String(k));
        const String sub_name = tree_name(sub);
        const uint32_t sub_qid = leaf_qid + static_cast<uint32_t>(sub.get("qid").to_int());
        const int realtime = sub.get("realtime").to_int();
        errh->message("\t\t%s %s \t\t%d %d %d %d %f", leaf_name.c_str(), sub_name.c_str(), leaf_qid,
                      k + 1, sub_qid, realtime, sub.get("rate").to_double());
        if (s <= kLastSlot) {
          slots_[s] = sub_qid;
        } else {
          HFSC_LOG(4, "HFSCSched::build_class_tree",
                   "HFSCSched: sub-leaf %s beyond slot 24 has no slot", sub_name.c_str());
        }
        ++s;
        add_queue_abs(realtime, link_bps(sub.get("share").to_double()),
                      link_bps(sub.get("rate").to_double()), leaf_qid, sub_qid,
                      queue_limit_of(sub, kSubLeafDefaultLimit), sub_name.c_str(),
                      leaf_name.c_str());
      }
      errh->message("\t\t}");
    }
    errh->message("\t}");
  }
  return 0;
}

int HFSCSched::add_queue_abs(int realtime, uint32_t share, uint32_t cap, uint32_t parent_qid,
                             uint32_t qid, uint32_t queue_limit, const char* first_name,
                             const char* second_name) {
  HFSC_LOG(6, "HFSCSched::add_queue_abs", "PQ %d, Q %d, RT %d, Share %u bps, Cap %u bps limit:%d",
           static_cast<int>(parent_qid), static_cast<int>(qid), realtime, share, cap,
           static_cast<int>(queue_limit));
  HfscClassOptions options;
  if (realtime != 0) {
    options.rt.m2 = cap;
  } else {
    options.ls.m2 = share;
  }
  options.ul.m2 = cap;
  options.queue_limit = queue_limit;
  options.queue_id = qid;
  options.parent_queue_id = parent_qid;
  copy_name(options.first_name, first_name);
  copy_name(options.second_name, second_name);
  return scheduler_->add_class(options);
}

void HFSCSched::push(int, Packet* p) {
  if (scheduler_ == nullptr) {
    p->release();
    return;
  }
  if (p->replicate_anno() != 0) {
    if (clone_line_.due()) HFSC_LOG(6, "HFSCSched::push", "cloning packet..");
    Packet* c = p->clone();
    if (c != nullptr) {
      int priority = c->sched_class_anno();
      int traffic_class = c->sched_subclass_anno();
      if (priority == 0) {
        priority = 2;
        traffic_class = 3;
      }
      // Two annotation bytes reach far past the table: outside it the
      // queue id is 0, which no class has, so the clone is refused.
      const int index = 4 * priority + traffic_class;
      SchedQueueEntry* e = c->sched_entry();
      e->packet = c;
      e->length = static_cast<int32_t>(c->length());
      e->queue_id = index >= kFirstSlot && index <= kLastSlot ? slots_[index] : 0;
      enqueue(e);
      dequeue_or_wait(hfsc_now());
    }
  }
  SchedQueueEntry* e = p->sched_entry();
  e->packet = p;
  e->length = static_cast<int32_t>(p->length());
  e->queue_id = kOwnQueueId;
  enqueue(e);
  dequeue_or_wait(hfsc_now());
}

void HFSCSched::enqueue(SchedQueueEntry* e) {
  if (scheduler_->enqueue(e) != nullptr) {
    if (refused_line_.due()) HFSC_LOG(7, "HFSCSched::enqueue", "PKTLOG:%s", "Enqueue failed");
    e->packet->release();
    ++drop_count_;
    return;
  }
  const uint64_t deadline = scheduler_->next_deadline();
  if (enqueue_line_.due()) {
    HFSC_LOG(6, "HFSCSched::enqueue",
             "enqueue done pkt %p enqueue_cnt %d dequeue_cnt %d currtime %lu nextpkt deadline %lu",
             static_cast<void*>(e), static_cast<int>(enqueue_count_),
             static_cast<int>(dequeue_count_), static_cast<unsigned long>(hfsc_now()),
             static_cast<unsigned long>(deadline));
  }
  ++enqueue_count_;
}

Packet* HFSCSched::dequeue() {
  Packet* last = nullptr;
  for (;;) {
    const uint64_t now = hfsc_now();
    HfscClass* cl = scheduler_->select_class(now);
    if (cl == nullptr) break;
    SchedQueueEntry* e = scheduler_->dequeue_head(cl, now);
    if (e == nullptr) break;
    ++dequeue_count_;
    scheduler_->next_deadline();
    Packet* p = e->packet;
    account_wan_tx(p);
    last = p;
    output(0).push(p);
  }
  if (dequeue_line_.due()) {
    HFSC_LOG(6, "HFSCSched::dequeue", "Deq done enqcnt %d, deqcnt %d",
             static_cast<int>(enqueue_count_), static_cast<int>(dequeue_count_));
  }
  return last;
}

void HFSCSched::account_wan_tx(Packet* p) {
  OverlayView* view = registered_overlay_view();
  if (view == nullptr) return;
  const int priority = p->sched_class_anno();
  // The WAN index is the route lookup's byte at offset 64.
  const int wan_index = p->route_value3_anno();
  if (view->account_wan_tx(wan_index, p->length(), priority)) return;
  if (wan_line_.due()) {
    HFSC_LOG(6, "OstrelOverlay::account_wan_tx_stats", "Unable to find WAN with index %d",
             wan_index);
  }
}

bool HFSCSched::wait_after(uint64_t now, uint64_t* wait, uint64_t* deadline) {
  *deadline = scheduler_->stored_deadline();
  // No deadline means nothing can become sendable by waiting.
  if (*deadline == 0) return false;
  *wait = *deadline > now ? *deadline - now : 0;
  if (*wait < kMinWaitNs) *wait = 0;
  return true;
}

void HFSCSched::dequeue_or_wait(uint64_t now) {
  dequeue();
  // Counters wrap: compare for inequality only.
  if (enqueue_count_ == dequeue_count_ || !may_arm_) return;
  uint64_t wait = 0;
  uint64_t deadline = 0;
  if (!wait_after(now, &wait, &deadline)) return;
  may_arm_ = false;
  if (arm_line_.due()) {
    HFSC_LOG(6, "HFSCSched::dequeue_or_wait", "now=%lu next deadline=%lu after=%lu hfscnpd=%lu",
             static_cast<unsigned long>(now), static_cast<unsigned long>(now + wait),
             static_cast<unsigned long>(wait), static_cast<unsigned long>(deadline));
  }
  deadline_hook_arm(&deadline_, deadline_now() + wait);
}

void HFSCSched::run_timer(Timer*) {
  if (scheduler_ == nullptr) return;
  dequeue();
  if (enqueue_count_ == dequeue_count_) {
    may_arm_ = true;
    return;
  }
  const uint64_t now = hfsc_now();
  uint64_t wait = 0;
  uint64_t deadline = 0;
  if (!wait_after(now, &wait, &deadline)) {
    may_arm_ = true;
    return;
  }
  if (timer_line_.due()) {
    HFSC_LOG(6, "HFSCSched::run_timer", "hfscsched: timer fired at %lu",
             static_cast<unsigned long>(now));
  }
  deadline_hook_arm(&deadline_, deadline_now() + wait);
}

void HFSCSched::deadline_callback(void* element) {
  static_cast<HFSCSched*>(element)->run_timer(nullptr);
}

void HFSCSched::cleanup(CleanupStage) {
  deadline_hook_remove(&deadline_);
  release_held();
}

namespace {

// The core leaves queued packets to its user.
void release_class_packets(HfscClass* cl) {
  while (SchedQueueEntry* e = cl->queue.take_head()) e->packet->release();
  for (HfscClass* child = cl->first_child; child != nullptr; child = child->next_sibling) {
    release_class_packets(child);  // the tree is at most five levels deep
  }
}

}  // namespace

void HFSCSched::release_held() {
  if (scheduler_ == nullptr) return;
  if (scheduler_->root() != nullptr) release_class_packets(scheduler_->root());
  scheduler_.reset();
}

namespace {

String read_stats(Element*, void*) { return String(); }

int write_ignored(const String&, Element*, void*, ErrorHandler*) { return 0; }

}  // namespace

void HFSCSched::add_handlers() {
  Router::add_read_handler(this, "stats", read_stats, nullptr);
  Router::add_write_handler(this, "updateq", write_ignored, nullptr);
  Router::add_write_handler(this, "addq", write_ignored, nullptr);
}

Vector<HFSCSched*>& get_hfsc_obj_list(Element* asking) {
  if (!hfsc_obj_list.empty() || asking == nullptr || asking->router() == nullptr) {
    return hfsc_obj_list;
  }
  Router* router = asking->router();
  for (int i = 0; i < router->nelements(); ++i) {
    Element* e = router->element(i);
    if (e == nullptr) continue;
    auto* sched = static_cast<HFSCSched*>(e->cast("HFSCSched"));
    if (sched != nullptr) hfsc_obj_list.push_back(sched);
  }
  return hfsc_obj_list;
}
