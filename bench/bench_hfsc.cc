// The HFSC core's enqueue and dequeue at 4, 16 and 64 backlogged leaf
// classes against a bare FIFO of the same entries. Each iteration is one
// packet through: the scheduler selects a class on its clock, takes its head
// entry with the bookkeeping and queues the entry again; the FIFO takes its
// head and appends it. Leaves have equal link-sharing curves and no upper
// limit (the largest one, 4.29 Gbit/s per class, would hold packets at this
// pace), so every selection finds one.
// A counting operator new shows that no packet allocates.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench/counting_new.h"
#include "bench/ratio_reporter.h"
#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/hfsc/hfsc_core.h"

namespace {

constexpr int kEntriesPerClass = 32;
constexpr int32_t kLength = 1000;

void report(benchmark::State& state, long allocated) {
  state.counters["allocs_per_packet"] =
      static_cast<double>(allocated) / static_cast<double>(state.iterations());
}

std::vector<SchedQueueEntry> make_entries(int classes) {
  std::vector<SchedQueueEntry> entries(static_cast<size_t>(classes) * kEntriesPerClass);
  for (size_t i = 0; i < entries.size(); ++i) {
    entries[i].queue_id = 100 + static_cast<uint32_t>(i % static_cast<size_t>(classes));
    entries[i].length = kLength;
  }
  return entries;
}

void BM_HfscCore(benchmark::State& state) {
  const int classes = static_cast<int>(state.range(0));
  HfscCore core("bench");
  HfscClassOptions top;
  top.queue_id = 1;
  top.ls.m2 = 4'000'000'000u;
  if (core.add_class(top) != kHfscOk) {
    state.SkipWithError("add_class failed");
    return;
  }
  for (int c = 0; c < classes; ++c) {
    HfscClassOptions o;
    o.parent_queue_id = 1;
    o.queue_id = 100 + static_cast<uint32_t>(c);
    o.ls.m2 = 100'000'000;
    o.queue_limit = 10000;
    if (core.add_class(o) != kHfscOk) {
      state.SkipWithError("add_class failed");
      return;
    }
  }
  std::vector<SchedQueueEntry> entries = make_entries(classes);
  for (SchedQueueEntry& e : entries) {
    if (core.enqueue(&e) != nullptr) {
      state.SkipWithError("enqueue refused");
      return;
    }
  }
  uint64_t bytes = 0;
  const long before = bench_heap_allocations();
  for (auto _ : state) {
    uint64_t now = hfsc_now();
    HfscClass* cl = core.select_class(now);
    SchedQueueEntry* e = cl != nullptr ? core.dequeue_head(cl, now) : nullptr;
    if (e == nullptr) {
      state.SkipWithError("nothing selected");
      break;
    }
    bytes += static_cast<uint64_t>(e->length);
    core.enqueue(e);
  }
  report(state, bench_heap_allocations() - before);
  benchmark::DoNotOptimize(bytes);
}

// A bare singly linked FIFO through the entries' own links.
void BM_Fifo(benchmark::State& state) {
  std::vector<SchedQueueEntry> entries = make_entries(static_cast<int>(state.range(0)));
  SchedQueueEntry* head = nullptr;
  SchedQueueEntry* tail = nullptr;
  for (SchedQueueEntry& e : entries) {
    e.next = nullptr;
    if (tail == nullptr) {
      head = &e;
    } else {
      tail->next = &e;
    }
    tail = &e;
  }
  uint64_t bytes = 0;
  const long before = bench_heap_allocations();
  for (auto _ : state) {
    SchedQueueEntry* e = head;
    head = e->next;
    e->next = nullptr;
    if (head == nullptr) tail = nullptr;
    bytes += static_cast<uint64_t>(e->length);
    if (tail == nullptr) {
      head = e;
    } else {
      tail->next = e;
    }
    tail = e;
    benchmark::DoNotOptimize(head);
  }
  report(state, bench_heap_allocations() - before);
  benchmark::DoNotOptimize(bytes);
}

BENCHMARK(BM_HfscCore)->Arg(4)->Arg(16)->Arg(64);
BENCHMARK(BM_Fifo)->Arg(4)->Arg(16)->Arg(64);

}  // namespace

int main(int argc, char** argv) {
  std::vector<bench::Comparison> comparisons;
  for (const char* n : {"4", "16", "64"})
    comparisons.push_back({std::string("BM_HfscCore/") + n, std::string("BM_Fifo/") + n});
  return bench::RunWithRatios(argc, argv, comparisons);
}
