#include "ostgraphsvc/graph/elements/tcpudp/rewrite_flow.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>
#include <vector>

#include "ostgraphsvc/graph/elements/tcpudp/iprewriterbase.h"

namespace {

// Against a plain scan: `top` gives the earliest expiry of each heap (by
// the wrapping clock) through pushes, removals, later expiries that are
// settled lazily, earlier ones, and moves between the heaps.
TEST(RewriteHeapTest, TopIsTheEarliestUnderRandomChanges) {
  RewriteInputSpec spec;
  const FlowTuple tuple;
  std::vector<std::unique_ptr<RewriteFlow>> flows;
  std::set<RewriteFlow*> live;
  auto* heap = new RewriteHeap;
  std::mt19937 random(11);
  const uint32_t base = 0xFFFFFFFFu - 5000;  // keys wrap during the run
  auto earliest = [&](int which) {
    RewriteFlow* best = nullptr;
    for (RewriteFlow* f : live)
      if (f->guaranteed() == (which == 1) &&
          (best == nullptr || time_before(f->expiry(), best->expiry())))
        best = f;
    return best;
  };
  for (int step = 0; step < 20000; ++step) {
    const unsigned op = random() % 10;
    if (op < 4 || live.empty()) {
      flows.push_back(std::make_unique<RewriteFlow>(&spec, tuple, tuple, 6, random() % 2,
                                                    base + random() % 10000));
      heap->push(flows.back().get());
      live.insert(flows.back().get());
    } else {
      auto it = live.begin();
      std::advance(it, random() % live.size());
      RewriteFlow* f = *it;
      if (op < 6) {
        heap->remove(f);
        live.erase(it);
      } else {
        f->set_expiry(heap, random() % 4 == 0 ? !f->guaranteed() : f->guaranteed(),
                      base + random() % 10000);
      }
    }
    ASSERT_EQ(heap->size(), static_cast<int>(live.size()));
    for (int which = 0; which < 2; ++which) {
      RewriteFlow* want = earliest(which);
      if (want == nullptr) {
        ASSERT_TRUE(heap->empty(which));
        continue;
      }
      ASSERT_EQ(heap->top(which)->expiry(), want->expiry()) << step;
    }
  }
  heap->unuse();
}

}  // namespace
