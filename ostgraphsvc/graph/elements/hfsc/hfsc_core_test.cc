#include "ostgraphsvc/graph/elements/hfsc/hfsc_core.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/started_log.h"

namespace {

uint64_t fake_reading = 0;
uint64_t read_fake() { return fake_reading; }

// Each test runs on a fake clock that starts at 0.
class HfscCoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_reading = 0;
    hfsc_set_clock_source(read_fake);
    ASSERT_EQ(hfsc_now(), 0u);
  }
  void TearDown() override { hfsc_set_clock_source(nullptr); }

  static void set_time(uint64_t ns) { fake_reading = ns; }

  static HfscClassOptions options(uint32_t parent, uint32_t qid, uint32_t rt = 0, uint32_t ls = 0,
                                  uint32_t ul = 0, uint32_t limit = 0) {
    HfscClassOptions o;
    o.parent_queue_id = parent;
    o.queue_id = qid;
    o.rt.m2 = rt;
    o.ls.m2 = ls;
    o.ul.m2 = ul;
    o.queue_limit = limit;
    return o;
  }

  static SchedQueueEntry entry(uint32_t qid, int32_t length) {
    SchedQueueEntry e;
    e.queue_id = qid;
    e.length = length;
    return e;
  }
};

TEST_F(HfscCoreTest, CurveScalingAndRealTimeTimesOfAnIdleClass) {
  ServiceCurve c;
  c.m2 = 8'000'000;
  ScaledCurve s = hfsc_scale_curve(c);
  EXPECT_EQ(s.slope2, 16777u);
  EXPECT_EQ(s.inverse2, 1'024'000u);
  EXPECT_EQ(s.inverse1, kHfscInfinity);
  EXPECT_EQ(s.dx, 0u);

  HfscCore core("wan0");
  ASSERT_EQ(core.add_class(options(0, 1, 8'000'000)), kHfscOk);
  const uint64_t t = 7'000'000;
  set_time(t);
  SchedQueueEntry e = entry(1, 1000);
  ASSERT_EQ(core.enqueue(&e), nullptr);
  HfscClass* cl = core.find_class(1);
  EXPECT_EQ(cl->eligible_time, t);
  EXPECT_EQ(cl->deadline, t + 1'000'000);
  EXPECT_EQ(e.state, kSchedEntryQueued);
  EXPECT_EQ(core.queued_bytes(), 1000u);

  EXPECT_EQ(core.select_class(t - 1000), nullptr);
  ASSERT_EQ(core.select_class(t), cl);
  EXPECT_EQ(core.dequeue_head(cl, t), &e);
  EXPECT_EQ(e.state, 0);
  EXPECT_EQ(core.queued_bytes(), 0u);
  EXPECT_EQ(cl->rt_work, 1000u);
  EXPECT_EQ(core.eligible_head(), nullptr);
  EXPECT_EQ(cl->counters.enqueued_packets, 1u);
  EXPECT_EQ(cl->counters.dequeued_bytes, 1000u);
}

// Two-piece curves: value and inverse agree, and lowering a concave curve
// gives the lower of the old curve and the class curve started at the new
// point (within rounding) from that point on.
TEST(HfscCurveTest, TwoPieceValuesAndConcaveLowering) {
  ServiceCurve concave{16'000'000, 10, 8'000'000};
  ScaledCurve c = hfsc_scale_curve(concave);
  EXPECT_FALSE(c.convex());
  EXPECT_EQ(c.dx, 10'000'000u);
  AnchoredCurve a = hfsc_anchor_curve(c, 0, 0);
  EXPECT_EQ(hfsc_curve_x_for(a, 10000), 5'000'000u);
  EXPECT_EQ(hfsc_curve_x_for(a, 0), 0u);
  for (uint64_t y : {1u, 999u, 19999u, 20000u, 123456u}) {
    uint64_t x = hfsc_curve_x_for(a, y);
    EXPECT_GE(hfsc_curve_y_at(a, x) + 2, y) << y;  // fixed-point rounding
    EXPECT_LE(hfsc_curve_y_at(a, x > 1000 ? x - 1000 : 0), y) << y;
  }

  struct Point {
    uint64_t x, y;
  } points[] = {{20'000'000, 10000}, {20'000'000, 25000}, {5'000'000, 9000}, {40'000'000, 1000}};
  for (const Point& p : points) {
    AnchoredCurve old = hfsc_anchor_curve(c, 0, 0);
    AnchoredCurve low = old;
    hfsc_curve_lower(&low, c, p.x, p.y);
    AnchoredCurve fresh = hfsc_anchor_curve(c, p.x, p.y);
    EXPECT_EQ(hfsc_curve_y_at(low, p.x), p.y) << p.x << "," << p.y;
    for (uint64_t t = p.x; t < p.x + 60'000'000; t += 250'000) {
      uint64_t o = hfsc_curve_y_at(old, t), f = hfsc_curve_y_at(fresh, t);
      uint64_t want = o < f ? o : f;
      uint64_t got = hfsc_curve_y_at(low, t);
      if (got > want + 2 || got + 2 < want) {
        ADD_FAILURE() << "from " << p.x << "," << p.y << " at t=" << t << ": " << got
                      << " instead of " << want;
        break;
      }
    }
  }

  // A point above the old curve leaves it alone (both shapes).
  AnchoredCurve kept = hfsc_anchor_curve(c, 0, 0);
  hfsc_curve_lower(&kept, c, 1'000'000, 1'000'000);
  EXPECT_EQ(kept.x, 0u);
  ScaledCurve convex = hfsc_scale_curve(ServiceCurve{0, 0, 8'000'000});
  kept = hfsc_anchor_curve(convex, 0, 0);
  hfsc_curve_lower(&kept, convex, 1'000'000, 1'000'000);
  EXPECT_EQ(kept.x, 0u);
  hfsc_curve_lower(&kept, convex, 1'000'000, 0);
  EXPECT_EQ(kept.x, 1'000'000u);
  EXPECT_EQ(kept.y, 0u);

  // No second slope: the time for more than the first piece is infinite.
  AnchoredCurve burst = hfsc_anchor_curve(hfsc_scale_curve(ServiceCurve{8'000'000, 5, 0}), 7, 0);
  EXPECT_EQ(hfsc_curve_x_for(burst, 1'000'000), kHfscInfinity);
}

TEST_F(HfscCoreTest, QueueLimitZeroHoldsFiftyAndCountsTheRefused) {
  HfscCore core("wan0");
  ASSERT_EQ(core.add_class(options(0, 5, 0, 1'000'000)), kHfscOk);
  std::vector<SchedQueueEntry> entries(51, entry(5, 100));
  for (int i = 0; i < 50; ++i) ASSERT_EQ(core.enqueue(&entries[i]), nullptr) << i;
  EXPECT_EQ(core.enqueue(&entries[50]), &entries[50]);
  EXPECT_EQ(entries[50].state, 0);
  HfscClass* cl = core.find_class(5);
  EXPECT_EQ(cl->queue.length(), 50u);
  EXPECT_EQ(cl->counters.dropped_packets, 1u);
  EXPECT_EQ(cl->counters.dropped_bytes, 100u);
  EXPECT_EQ(core.queued_bytes(), 5000u);
  EXPECT_EQ(cl->activations, 1u);
}

TEST_F(HfscCoreTest, EqualDeadlinesKeepListOrder) {
  HfscCore core("wan0");
  ASSERT_EQ(core.add_class(options(0, 1, 1'000'000)), kHfscOk);
  ASSERT_EQ(core.add_class(options(1 | kHfscRootQueueIdBit, 3, 1'000'000)), kHfscOk);
  ASSERT_EQ(core.add_class(options(1 | kHfscRootQueueIdBit, 2, 1'000'000)), kHfscOk);
  set_time(1'000'000);
  SchedQueueEntry a = entry(3, 500), b = entry(2, 500), c = entry(1, 500);
  ASSERT_EQ(core.enqueue(&a), nullptr);
  ASSERT_EQ(core.enqueue(&b), nullptr);
  ASSERT_EQ(core.enqueue(&c), nullptr);
  EXPECT_EQ(core.find_class(3)->deadline, core.find_class(2)->deadline);
  // Eligible in the past, equal deadlines: the first in the list goes first.
  set_time(5'000'000);
  EXPECT_EQ(core.select_class(hfsc_now()), core.find_class(3));
  ASSERT_EQ(core.dequeue_head(core.find_class(3), hfsc_now()), &a);
  EXPECT_EQ(core.select_class(hfsc_now()), core.find_class(2));
}

TEST_F(HfscCoreTest, AddClassResults) {
  HfscCore core("wan0");
  EXPECT_EQ(core.add_class(options(0, 0)), kHfscInvalid);
  EXPECT_EQ(core.root(), nullptr);  // a refused call makes no root either
  ASSERT_EQ(core.add_class(options(0, 10, 0, 1000)), kHfscOk);
  ASSERT_NE(core.root(), nullptr);
  EXPECT_EQ(core.root()->queue_id, 10u | kHfscRootQueueIdBit);
  EXPECT_EQ(core.class_count(), 2u);

  struct Case {
    uint32_t parent, qid;
    int result;
  } cases[] = {
      {0, 11, kHfscInvalid},   // a root exists already
      {99, 11, kHfscInvalid},  // parent missing
      {10, 0, kHfscInvalid},   // queue id 0
      {10, 10, kHfscInUse},    // queue id taken
  };
  for (const Case& c : cases) {
    EXPECT_EQ(core.add_class(options(c.parent, c.qid, 5, 6, 7)), c.result) << c.qid;
    EXPECT_EQ(core.class_count(), 2u);
  }
  HfscClass* ten = core.find_class(10);
  EXPECT_EQ(ten->ls_curve.slope2, hfsc_scale_curve(ServiceCurve{0, 0, 1000}).slope2);
  EXPECT_FALSE(ten->has_rt);
  EXPECT_FALSE(ten->has_ul);
  EXPECT_EQ(ten->first_child, nullptr);

  // Children hang in creation order.
  ASSERT_EQ(core.add_class(options(10, 12)), kHfscOk);
  ASSERT_EQ(core.add_class(options(10, 11)), kHfscOk);
  EXPECT_EQ(ten->first_child->queue_id, 12u);
  EXPECT_EQ(ten->first_child->next_sibling->queue_id, 11u);
  EXPECT_EQ(core.find_class(11)->parent, ten);
}

TEST_F(HfscCoreTest, SixtyFifthClassGrowsTheTable) {
  HfscCore core("wan0");
  ASSERT_EQ(core.add_class(options(0, 1)), kHfscOk);  // root and class 1
  uint32_t qid = 2;
  while (core.class_count() < 64) ASSERT_EQ(core.add_class(options(1, qid++)), kHfscOk);
  EXPECT_EQ(core.table_size(), 64u);
  ASSERT_EQ(core.add_class(options(1, qid++)), kHfscOk);
  EXPECT_EQ(core.table_size(), 128u);
  EXPECT_EQ(core.class_count(), 65u);
  for (uint32_t q = 1; q < qid; ++q) ASSERT_NE(core.find_class(q), nullptr) << q;
  EXPECT_NE(core.find_class(1 | kHfscRootQueueIdBit), nullptr);
}

TEST_F(HfscCoreTest, EnqueueFindsLeavesOrTheDefaultClass) {
  HfscCore core("wan0");
  ASSERT_EQ(core.add_class(options(0, 1, 0, 1000)), kHfscOk);
  ASSERT_EQ(core.add_class(options(1, 2, 0, 1000)), kHfscOk);
  SchedQueueEntry to_interior = entry(1, 10), to_none = entry(77, 10), to_zero = entry(0, 10),
                  to_root = entry(1 | kHfscRootQueueIdBit, 10);
  // An interior class, an unknown id, id 0 and the root: refused.
  EXPECT_EQ(core.enqueue(&to_interior), &to_interior);
  EXPECT_EQ(core.enqueue(&to_none), &to_none);
  EXPECT_EQ(core.enqueue(&to_zero), &to_zero);
  EXPECT_EQ(core.enqueue(&to_root), &to_root);
  EXPECT_EQ(core.queued_bytes(), 0u);

  HfscClassOptions d = options(1, 3, 0, 1000);
  d.flags = kHfscDefaultClassFlag;
  ASSERT_EQ(core.add_class(d), kHfscOk);
  EXPECT_EQ(core.enqueue(&to_none), nullptr);
  EXPECT_EQ(core.enqueue(&to_interior), nullptr);
  EXPECT_EQ(core.find_class(3)->queue.length(), 2u);
}

TEST_F(HfscCoreTest, ClassWithoutCurvesIsNeverSelected) {
  HfscCore core("wan0");
  ASSERT_EQ(core.add_class(options(0, 1, 0, 0, 0, 3)), kHfscOk);
  std::vector<SchedQueueEntry> e(4, entry(1, 100));
  for (int i = 0; i < 3; ++i) ASSERT_EQ(core.enqueue(&e[i]), nullptr);
  EXPECT_EQ(core.enqueue(&e[3]), &e[3]);
  set_time(10'000'000'000);
  EXPECT_EQ(core.select_class(hfsc_now()), nullptr);
  EXPECT_EQ(core.next_deadline(), 0u);
}

// A link-sharing class under an upper limit, drained faster than its limit:
// selection stops, and the next deadline is the time it fits again.
TEST_F(HfscCoreTest, NothingFitsGivesTheFitTimeAsNextDeadline) {
  HfscCore core("wan0");
  ASSERT_EQ(core.add_class(options(0, 1, 0, 8'000'000, 8'000'000)), kHfscOk);
  ASSERT_EQ(core.add_class(options(1, 2, 0, 8'000'000, 8'000'000)), kHfscOk);
  std::vector<SchedQueueEntry> e(4, entry(2, 1000));
  for (SchedQueueEntry& x : e) ASSERT_EQ(core.enqueue(&x), nullptr);
  HfscClass* leaf = core.find_class(2);
  ASSERT_EQ(core.select_class(0), leaf);
  ASSERT_EQ(core.dequeue_head(leaf, 0), &e[0]);
  // 1000 bytes at 8 Mbit/s: nothing fits again before 1 ms.
  EXPECT_EQ(core.select_class(0), nullptr);
  EXPECT_EQ(core.find_class(1)->fit_time, 1'000'000u);
  EXPECT_EQ(core.next_deadline(), 1'000'000u);
  EXPECT_EQ(core.stored_deadline(), 1'000'000u);
  EXPECT_EQ(core.select_class(999'000), nullptr);
  EXPECT_EQ(core.select_class(1'000'000), leaf);
}

// The deadline line goes to the debug log, one in 120, and never to stdout.
TEST_F(HfscCoreTest, DeadlineLineIsThinnedDebugLog) {
  testing_support::StartedLog log(0);
  cxLogThreshold = CXLOG_DEBUG;
  HfscCore core("wan0");
  ASSERT_EQ(core.add_class(options(0, 1, 0, 1000)), kHfscOk);
  testing::internal::CaptureStdout();
  for (int i = 0; i < 241; ++i) core.next_deadline();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  std::string text = log.fresh();
  size_t lines = 0;
  for (size_t at = text.find("next pkt deadline=0 cl="); at != std::string::npos;
       at = text.find("next pkt deadline=0 cl=", at + 1))
    ++lines;
  EXPECT_EQ(lines, 3u) << text;
  EXPECT_NE(text.find("min_t=0"), std::string::npos);

  // Below the threshold nothing is written.
  cxLogThreshold = CXLOG_INFO;
  for (int i = 0; i < 240; ++i) core.next_deadline();
  EXPECT_EQ(log.fresh().find("next pkt deadline"), std::string::npos);
}

TEST(HfscClockTest, MonotonicMicrosecondsFromFirstCall) {
  hfsc_set_clock_source(nullptr);
  uint64_t a = hfsc_now();
  EXPECT_LT(a, 1'000'000'000u);  // counted from the first call
  EXPECT_EQ(a % 1000, 0u);
  uint64_t b = hfsc_now();
  EXPECT_GE(b, a);
  EXPECT_EQ(b % 1000, 0u);
}

TEST_F(HfscCoreTest, FakeClockCutsToMicroseconds) {
  set_time(1'234'567'891);
  EXPECT_EQ(hfsc_now(), 1'234'567'000u);
  set_time(0);  // stepping back reads as the start
  EXPECT_EQ(hfsc_now(), 0u);
}

}  // namespace
