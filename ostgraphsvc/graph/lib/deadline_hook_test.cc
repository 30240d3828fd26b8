#include "graph/deadline_hook.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Recorder {
  std::vector<int>* order;
  int id;
  DeadlineEntry* rearm = nullptr;  // arms this entry (itself) again at 5
};

void record(void* data) {
  auto* r = static_cast<Recorder*>(data);
  r->order->push_back(r->id);
  if (r->rearm != nullptr) deadline_hook_arm(r->rearm, 5);
}

TEST(DeadlineHookTest, RunsDueEntriesEarliestFirstOncePerArming) {
  std::vector<int> order;
  Recorder ra{&order, 1}, rb{&order, 2}, rc{&order, 3};
  DeadlineEntry a(record, &ra), b(record, &rb), c(record, &rc), unlisted(record, &rc);
  deadline_hook_add(&a);
  deadline_hook_add(&b);
  deadline_hook_add(&c);
  EXPECT_EQ(deadline_hook_listed(), 3);
  deadline_hook_arm(&unlisted, 1);  // ignored: never added
  EXPECT_EQ(deadline_hook_earliest(), 0u);

  deadline_hook_arm(&a, 30);
  deadline_hook_arm(&b, 10);
  deadline_hook_arm(&c, 20);
  deadline_hook_arm(&a, 15);  // moved, not duplicated
  EXPECT_EQ(deadline_hook_earliest(), 10u);
  EXPECT_EQ(deadline_hook_run_due(9), 0);
  EXPECT_EQ(deadline_hook_run_due(15), 2);
  EXPECT_EQ(order, (std::vector<int>{2, 1}));
  EXPECT_EQ(deadline_hook_earliest(), 20u);

  // A callback re-arming itself into the past does not keep the call going.
  rc.rearm = &c;
  EXPECT_LE(deadline_hook_run_due(100), 3);
  EXPECT_EQ(deadline_hook_earliest(), 5u);

  deadline_hook_disarm(&c);
  EXPECT_EQ(deadline_hook_earliest(), 0u);
  deadline_hook_arm(&c, 7);
  deadline_hook_remove(&c);
  deadline_hook_remove(&c);  // twice is harmless
  EXPECT_EQ(deadline_hook_earliest(), 0u);
  deadline_hook_remove(&a);
  deadline_hook_remove(&b);
  EXPECT_EQ(deadline_hook_listed(), 0);
}

}  // namespace
