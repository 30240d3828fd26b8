// Backlogged runs of the scheduler on a fake clock: shares, upper limits and
// real-time deadlines measured over seconds of scheduler time.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "ostgraphsvc/graph/elements/hfsc/hfsc_core.h"

namespace {

uint64_t fake_reading = 0;
uint64_t read_fake() { return fake_reading; }

constexpr int32_t kPacket = 1000;
constexpr uint64_t kRunNs = 4'000'000'000;

struct LeafResult {
  uint64_t bytes = 0;
  uint64_t late = 0;  // real-time departures after their deadline
};

// Keeps each leaf in `leaves` backlogged (every entry sent is queued again)
// and sends for kRunNs over a link of `link_bps` (0: infinitely fast).
class ShapedRun {
 public:
  explicit ShapedRun(uint64_t link_bps) : link_bps_(link_bps) {
    fake_reading = 0;
    hfsc_set_clock_source(read_fake);
    hfsc_now();
  }
  ~ShapedRun() { hfsc_set_clock_source(nullptr); }

  HfscCore core{"run"};

  void add(uint32_t parent, uint32_t qid, uint32_t rt, uint32_t ls, uint32_t ul) {
    HfscClassOptions o;
    o.parent_queue_id = parent;
    o.queue_id = qid;
    o.rt.m2 = rt;
    o.ls.m2 = ls;
    o.ul.m2 = ul;
    ASSERT_EQ(core.add_class(o), kHfscOk);
  }

  std::map<uint32_t, LeafResult> go(const std::vector<uint32_t>& leaves) {
    std::vector<SchedQueueEntry> entries(leaves.size() * 8);
    for (size_t i = 0; i < entries.size(); ++i) {
      entries[i].queue_id = leaves[i % leaves.size()];
      entries[i].length = kPacket;
      EXPECT_EQ(core.enqueue(&entries[i]), nullptr);
    }
    std::map<uint32_t, LeafResult> result;
    uint64_t t = 0;
    // Bounded, so that a scheduler that stops advancing fails instead of
    // spinning.
    for (int steps = 0; t < kRunNs; ++steps) {
      if (steps == 10'000'000) {
        ADD_FAILURE() << "no progress at t=" << t;
        break;
      }
      fake_reading = t;
      uint64_t now = hfsc_now();
      HfscClass* cl = core.select_class(now);
      if (cl == nullptr) {
        uint64_t next = core.next_deadline();
        EXPECT_NE(next, 0u);
        if (next == 0) break;
        // The clock reads whole microseconds.
        next = (next + 999) / 1000 * 1000;
        t = next > t ? next : t + 1000;
        continue;
      }
      bool realtime = cl->in_eligible && cl->eligible_time <= now;
      uint64_t deadline = cl->deadline;
      SchedQueueEntry* e = core.dequeue_head(cl, now);
      EXPECT_NE(e, nullptr);
      if (e == nullptr) break;
      LeafResult& r = result[cl->queue_id];
      r.bytes += static_cast<uint64_t>(e->length);
      if (realtime && now > deadline) ++r.late;
      EXPECT_EQ(core.enqueue(e), nullptr);
      if (link_bps_ != 0) t += (uint64_t{kPacket} * 8 * 1'000'000'000 + link_bps_ - 1) / link_bps_;
    }
    return result;
  }

  static double bps(uint64_t bytes) { return bytes * 8.0 * 1e9 / kRunNs; }

 private:
  uint64_t link_bps_;
};

// Two link-sharing classes of shares 1:3 under a parent capped at 4 Mbit/s:
// the cap holds and splits 1:3.
TEST(HfscRunTest, SharesSplitAParentsUpperLimit) {
  ShapedRun run(0);
  run.add(0, 1, 0, 100'000'000, 0);
  run.add(1, 10, 0, 4'000'000, 4'000'000);
  run.add(10, 11, 0, 1'000'000, 0);
  run.add(10, 12, 0, 3'000'000, 0);
  auto r = run.go({11, 12});
  double a = ShapedRun::bps(r[11].bytes), b = ShapedRun::bps(r[12].bytes);
  EXPECT_NEAR(b / a, 3.0, 3.0 * 0.02);
  EXPECT_NEAR(a + b, 4'000'000, 4'000'000 * 0.01);
}

// Upper limits alone, on a link that would carry more: each holds within 1%.
TEST(HfscRunTest, UpperLimitsHold) {
  for (uint32_t cap : {512'000u, 2'560'000u, 10'000'000u}) {
    ShapedRun run(0);
    run.add(0, 1, 0, 100'000'000, 0);
    run.add(1, 14, 0, 50'000'000, cap);
    auto r = run.go({14});
    EXPECT_NEAR(ShapedRun::bps(r[14].bytes), cap, cap * 0.01) << cap;
  }
}

// Both children capped below what their parent allows: while neither fits,
// nothing is sent, and both keep their caps (the parent never counts its
// children's backlog as ended).
TEST(HfscRunTest, CappedChildrenUnderAnUncappedParentKeepTheirCaps) {
  ShapedRun run(0);
  run.add(0, 1, 0, 100'000'000, 0);
  run.add(1, 10, 0, 10'000'000, 20'000'000);
  run.add(10, 11, 0, 5'000'000, 1'000'000);
  run.add(10, 12, 0, 5'000'000, 2'000'000);
  auto r = run.go({11, 12});
  EXPECT_NEAR(ShapedRun::bps(r[11].bytes), 1'000'000, 10'000);
  EXPECT_NEAR(ShapedRun::bps(r[12].bytes), 2'000'000, 20'000);
}

// Real-time classes beside a link-sharing class that would take the whole
// 10 Mbit/s link: each real-time packet leaves by its deadline and each
// real-time class gets its rate.
TEST(HfscRunTest, RealTimePacketsLeaveByTheirDeadlines) {
  ShapedRun run(10'000'000);
  run.add(0, 1, 0, 10'000'000, 0);
  run.add(1, 21, 1'000'000, 0, 0);
  run.add(1, 22, 2'000'000, 0, 0);
  run.add(1, 23, 0, 10'000'000, 0);
  auto r = run.go({21, 22, 23});
  EXPECT_EQ(r[21].late, 0u);
  EXPECT_EQ(r[22].late, 0u);
  EXPECT_NEAR(ShapedRun::bps(r[21].bytes), 1'000'000, 20'000);
  EXPECT_NEAR(ShapedRun::bps(r[22].bytes), 2'000'000, 40'000);
  EXPECT_NEAR(ShapedRun::bps(r[21].bytes + r[22].bytes + r[23].bytes), 10'000'000, 100'000);
}

// A subtree under a class without link-sharing gets no link-sharing service,
// and does not stop its siblings from getting theirs.
TEST(HfscRunTest, SubtreeWithoutLinkSharingDoesNotBlockSiblings) {
  ShapedRun run(0);
  run.add(0, 1, 0, 100'000'000, 0);
  run.add(1, 10, 0, 0, 1'000'000);  // cap only
  run.add(10, 11, 0, 1'000'000, 0);
  run.add(1, 20, 0, 1'000'000, 1'000'000);
  auto r = run.go({11, 20});
  EXPECT_EQ(r[11].bytes, 0u);
  EXPECT_NEAR(ShapedRun::bps(r[20].bytes), 1'000'000, 10'000);
  EXPECT_FALSE(run.core.find_class(10)->in_active);
}

}  // namespace
