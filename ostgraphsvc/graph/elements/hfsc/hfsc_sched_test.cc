// HFSCSched in a graph on a fake clock: the class tree, slots, cloning,
// refusals, configuration errors, handlers and the deadline hook.
#include "ostgraphsvc/graph/elements/hfsc/hfsc_sched.h"

#include <gtest/gtest.h>

#include <string>

#include "graph/deadline_hook.h"
#include "graph/packet.h"
#include "ostgraphsvc/overlay_view/overlay_view.h"
#include "platform/fs/paths.h"
#include "tests/support/graph_harness.h"
#include "tests/support/started_log.h"
#include "tests/support/temp_root.h"

namespace {

using testing_support::BuildIPv4;
using testing_support::GraphHarness;
using testing_support::MakePacket;

uint64_t fake_ns = 0;
uint64_t read_fake() { return fake_ns; }

// Root 1 with a single node (no class): leaf 14 for every original,
// "share"/"rate" as given, and leaf 20 whose sub-leaves 21.. fill the slots.
std::string Tree(const std::string& own_leaf, int sub_leaves) {
  std::string subs;
  for (int k = 1; k <= sub_leaves; ++k) {
    if (k > 1) subs += ",";
    subs += R"({"name":"s)" + std::to_string(k) + R"(","qid":)" + std::to_string(k) +
            R"(,"share":0.05,"rate":1.0})";
  }
  return R"({"name":"root","qid":1,"share":1.0,"rate":1.0,"node":[{"name":"n","qid":7,"node":[)" +
         own_leaf + R"(,{"name":"slots","qid":19,"share":0.5,"rate":1.0,"node":[)" + subs +
         "]}]}]}";
}

constexpr char kOwnLeaf[] = R"({"name":"own","qid":13,"share":0.5,"rate":1.0,"queuelimit":200})";

class HfscSchedTest : public ::testing::Test {
 protected:
  HfscSchedTest() {
    fake_ns = 1'000'000'000;
    hfsc_set_clock_source(read_fake);
    deadline_set_clock_source(read_fake);
  }
  ~HfscSchedTest() override {
    hfsc_set_clock_source(nullptr);
    deadline_set_clock_source(nullptr);
  }

  bool LoadTree(const std::string& tree, const std::string& extra = "MODE GW") {
    const std::string path = platform::root() + "/hfsc.json";
    testing_support::WriteFile(path, tree);
    return LoadConf("CONF " + path + ", INTERFACE wan0, " + extra);
  }
  bool LoadConf(const std::string& conf) {
    sched = nullptr;
    if (!h.Load("src :: TestSource; sink :: TestSink; src -> s :: HFSCSched(" + conf +
                ") -> sink;"))
      return false;
    sched = static_cast<HFSCSched*>(h.Find("s"));
    return sched != nullptr;
  }
  void Push(uint8_t replicate = 0, uint8_t priority = 0, uint8_t traffic_class = 0,
            size_t payload = 972) {
    Packet* p = MakePacket(BuildIPv4({.protocol = 17, .payload = payload}));
    p->set_replicate_anno(replicate);
    p->set_sched_class_anno(priority);
    p->set_sched_subclass_anno(traffic_class);
    h.Push("src", p);
  }
  uint64_t Enqueued(uint32_t qid) {
    HfscClass* cl = sched->scheduler()->find_class(qid);
    return cl != nullptr ? cl->counters.enqueued_packets : ~uint64_t{0};
  }
  // Lets the clock pass every deadline the pushes left (the tree's upper
  // limits hold back-to-back packets for a few milliseconds).
  void Settle() {
    for (int i = 0; i < 10 && deadline_hook_earliest() != 0; ++i) {
      fake_ns += 100'000'000;
      deadline_hook_run_due(deadline_now());
    }
  }
  void DrainSink() {
    while (Packet* p = h.Take("sink", 0)) p->release();
  }

  testing_support::StartedLog log{0};
  GraphHarness h;
  HFSCSched* sched = nullptr;
};

TEST_F(HfscSchedTest, ClassTreeLevelsQueueIdsAndRates) {
  // Two nodes: each gets its class, and the leaf's id adds to its node's.
  ASSERT_TRUE(LoadTree(R"({"name":"r","qid":10,"rate":1.0,"node":[
      {"name":"a","qid":20,"share":500},
      {"name":"b","qid":30,"share":-1,"node":[{"name":"l","qid":2,"share":"nan","rate":0.5}]}]})"))
      << h.messages();
  HfscCore* core = sched->scheduler();
  ASSERT_NE(core->find_class(32), nullptr);
  EXPECT_EQ(core->find_class(32)->parent, core->find_class(30));
  EXPECT_EQ(core->find_class(30)->parent, core->find_class(10));
  EXPECT_EQ(core->find_class(10)->parent, core->find_class(HFSCSched::kRootQueueId));
  // "rate" 0.5 is a cap of 2,560,000 bit/s; share 500 clamps to 2^31 - 1,
  // -1 and NaN to none.
  EXPECT_EQ(core->find_class(32)->ul_curve.inverse2, 8'192'000'000'000ull / 2'560'000);
  EXPECT_TRUE(core->find_class(20)->has_ls);
  EXPECT_EQ(core->find_class(20)->ls_curve.inverse2, 8'192'000'000'000ull / 2147483647ull);
  EXPECT_FALSE(core->find_class(30)->has_ls);
  EXPECT_FALSE(core->find_class(32)->has_ls);
  EXPECT_NE(h.messages().find("\tb l 30 32 0 0.500000 {"), std::string::npos) << h.messages();
  EXPECT_EQ(sched->scheduler_mode(), HFSCSched::kModeGateway);
  EXPECT_EQ(std::string(core->name()), "wan0");

  // A single node gets no class: its leaves hang under the root's.
  ASSERT_TRUE(LoadTree(R"({"name":"r","qid":10,"node":[{"name":"only","qid":20,"node":[
      {"name":"l","qid":4,"share":0.1}]}]})"));
  core = sched->scheduler();
  EXPECT_EQ(core->find_class(20), nullptr);
  ASSERT_NE(core->find_class(14), nullptr);
  EXPECT_EQ(core->find_class(14)->parent, core->find_class(10));
  EXPECT_EQ(core->find_class(14)->queue.limit, 50u);  // leaf default 0 means 50
}

TEST_F(HfscSchedTest, SubLeavesFillSlotsFromFiveAndOnlyTwentyOne) {
  ASSERT_TRUE(LoadTree(Tree(kOwnLeaf, 12))) << h.messages();
  for (int s = 5; s <= 16; ++s) EXPECT_EQ(sched->slot(s), 21u + (s - 5)) << s;
  EXPECT_EQ(sched->slot(17), 0u);
  EXPECT_EQ(sched->scheduler()->find_class(21)->queue.limit, 10000u);

  ASSERT_TRUE(LoadTree(Tree(kOwnLeaf, 21))) << h.messages();
  EXPECT_EQ(sched->slot(24), 40u);
  // The 21st gets its class but no slot, and says so.
  EXPECT_NE(sched->scheduler()->find_class(41), nullptr);
  EXPECT_NE(log.text().find("HFSCSched: sub-leaf s21 beyond slot 24 has no slot"),
            std::string::npos);
}

TEST_F(HfscSchedTest, ClonesGoToTheirSlotAndOriginalsTo14) {
  ASSERT_TRUE(LoadTree(Tree(kOwnLeaf, 12))) << h.messages();
  struct Case {
    uint8_t priority, traffic_class;
    uint32_t clone_qid;  // 0: clone refused
  } cases[] = {{1, 1, 21}, {0, 0, 27}, {3, 4, 32}, {255, 255, 0}, {5, 5, 0}};
  uint32_t drops = 0;
  for (const Case& c : cases) {
    const uint64_t own = Enqueued(14);
    const uint64_t slot = c.clone_qid != 0 ? Enqueued(c.clone_qid) : 0;
    Push(1, c.priority, c.traffic_class);
    Settle();
    EXPECT_EQ(Enqueued(14), own + 1);
    if (c.clone_qid != 0) {
      EXPECT_EQ(Enqueued(c.clone_qid), slot + 1) << int(c.priority) << "/" << int(c.traffic_class);
      EXPECT_EQ(h.Count("sink"), 2u);
    } else {
      EXPECT_EQ(sched->drop_count(), ++drops);
      EXPECT_EQ(h.Count("sink"), 1u);
    }
    DrainSink();
  }
  // Without the replicate annotation there is no clone.
  Push(0, 1, 1);
  Settle();
  EXPECT_EQ(h.Count("sink"), 1u);
  EXPECT_EQ(Enqueued(21), 1u);
}

TEST_F(HfscSchedTest, WithoutClass14EveryOriginalIsDropped) {
  ASSERT_TRUE(LoadTree(Tree(R"({"name":"other","qid":3,"share":0.5})", 12)));
  Push(1, 1, 1);
  Push(0);
  EXPECT_EQ(sched->drop_count(), 2u);
  EXPECT_EQ(h.Count("sink"), 1u);  // the clone alone
  EXPECT_EQ(sched->enqueue_count(), 1u);
}

TEST_F(HfscSchedTest, ConfigurationErrorsAndHandlers) {
  const std::string path = platform::root() + "/t.json";
  testing_support::WriteFile(path, Tree(kOwnLeaf, 1));
  EXPECT_FALSE(LoadConf("CONF " + path));
  EXPECT_NE(h.messages().find("Bad Scheduler Mode"), std::string::npos) << h.messages();
  EXPECT_FALSE(LoadConf("CONF " + path + ", MODE X"));
  EXPECT_NE(h.messages().find("Unknown Scheduler Mode"), std::string::npos) << h.messages();
  // No CONF: the root class exists, initialize fails without a word of its own.
  EXPECT_FALSE(LoadConf("MODE HUB"));
  EXPECT_EQ(h.messages().find("JSON"), std::string::npos) << h.messages();
  testing_support::WriteFile(path, "{\"name\":");
  EXPECT_FALSE(LoadConf("CONF " + path + ", MODE GW"));
  EXPECT_NE(log.text().find("JSON config parse failed"), std::string::npos);

  ASSERT_TRUE(LoadTree(Tree(kOwnLeaf, 1), "MODE HUB"));
  EXPECT_EQ(sched->scheduler_mode(), HFSCSched::kModeHub);
  EXPECT_EQ(h.Read("s", "stats"), "");
  EXPECT_EQ(h.Write("s", "updateq", "anything"), 0);
  EXPECT_EQ(h.Write("s", "addq", ""), 0);
  EXPECT_EQ(sched->cast("empty"), sched->cast("empty"));
  EXPECT_NE(sched->cast("empty"), nullptr);
  EXPECT_EQ(sched->cast("HFSCSched"), sched);
  EXPECT_EQ(sched->cast("Other"), nullptr);
  ASSERT_EQ(get_hfsc_obj_list(sched).size(), 1);
  EXPECT_EQ(get_hfsc_obj_list(sched)[0], sched);
}

TEST_F(HfscSchedTest, SentPacketsAreAccountedToTheirWan) {
  FakeOverlayView view;
  view.wan_links[3] = {};
  ASSERT_TRUE(LoadTree(Tree(kOwnLeaf, 1)));
  Packet* p = MakePacket(BuildIPv4({}));
  const uint32_t length = p->length();
  p->set_route_value3_anno(3);
  p->set_sched_class_anno(2);
  h.Push("src", p);
  Push();  // WAN index 0: not found, still sent
  Settle();
  EXPECT_EQ(h.Count("sink"), 2u);
  EXPECT_EQ(view.wan_links[3].packets, 1u);
  EXPECT_EQ(view.wan_links[3].bytes, length);
  EXPECT_EQ(view.wan_links[3].priority_bytes[1], length);
  EXPECT_NE(log.text().find("Unable to find WAN with index 0"), std::string::npos);
}

// Class 14 capped at half the link: 1000-byte packets leave 3.125 ms apart.
constexpr char kCappedLeaf[] = R"({"name":"own","qid":13,"share":0.5,"rate":0.5,"queuelimit":200})";

TEST_F(HfscSchedTest, HeldPacketLeavesOnTheDeadlineWithoutAnotherPush) {
  ASSERT_TRUE(LoadTree(Tree(kCappedLeaf, 1)));
  EXPECT_EQ(deadline_hook_listed(), 1);
  Push(0, 0, 0, 972);
  Push(0, 0, 0, 972);
  EXPECT_EQ(h.Count("sink"), 1u);
  const uint64_t at = deadline_hook_earliest();
  ASSERT_NE(at, 0u);
  EXPECT_FALSE(sched->may_arm());
  EXPECT_EQ(deadline_hook_run_due(at - 1), 0);
  fake_ns = at;
  EXPECT_EQ(deadline_hook_run_due(deadline_now()), 1);
  EXPECT_EQ(h.Count("sink"), 2u);
  EXPECT_EQ(deadline_hook_earliest(), 0u);
  EXPECT_TRUE(sched->may_arm());
}

TEST_F(HfscSchedTest, TimerKeepsArmingAcrossTheCounterWrap) {
  ASSERT_TRUE(LoadTree(Tree(kCappedLeaf, 1)));
  sched->set_counts_for_test(0xFFFFFFFEu, 0xFFFFFFFEu);
  for (int i = 0; i < 5; ++i) Push();
  EXPECT_EQ(sched->enqueue_count(), 3u);  // wrapped
  int runs = 0;
  while (h.Count("sink") < 5 && runs < 20) {
    const uint64_t at = deadline_hook_earliest();
    ASSERT_NE(at, 0u) << "stopped arming with " << h.Count("sink") << " sent";
    fake_ns = at;
    runs += deadline_hook_run_due(deadline_now());
  }
  EXPECT_EQ(h.Count("sink"), 5u);
  EXPECT_EQ(sched->dequeue_count(), 3u);
  EXPECT_EQ(deadline_hook_earliest(), 0u);
}

TEST_F(HfscSchedTest, DestroyedRouterLeavesNoArmedEntryOrHeldPacket) {
  ASSERT_TRUE(LoadTree(Tree(kCappedLeaf, 1)));
  for (int i = 0; i < 4; ++i) Push();
  ASSERT_NE(deadline_hook_earliest(), 0u);
  ASSERT_EQ(get_hfsc_obj_list(sched).size(), 1);
  // A second load replaces the router; the held packets go with it
  // (AddressSanitizer reports any left behind).
  ASSERT_TRUE(h.Load("src :: TestSource; sink :: TestSink; src -> sink;"));
  EXPECT_EQ(deadline_hook_listed(), 0);
  EXPECT_EQ(deadline_hook_earliest(), 0u);
  EXPECT_EQ(deadline_hook_run_due(~uint64_t{0}), 0);
  EXPECT_EQ(get_hfsc_obj_list(nullptr).size(), 0);
}

}  // namespace
