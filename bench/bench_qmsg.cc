// The hand-over of one unit of work to the packet thread: producers take a
// block from their own ring, fill it and post it; the consumer waits for it
// and releases it. Our lock-free queue with its spinning semaphore against a
// std::mutex + std::condition_variable queue of the same block pointers, with
// one and four producers, in the same run.
//
// Reports blocks per second, the ratio of times per block (the fastest of the
// repetitions of each) and heap allocations per block once warm (counted by
// replacing malloc and its relatives in this program; ours must be 0).
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/ratio_reporter.h"
#include "ostgraphsvc/qmsg/qmsg.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t n, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);
}

namespace {
// Producers allocate on their own threads, so the counter is atomic.
std::atomic<uint64_t> allocation_count{0};
void count_allocation() { allocation_count.fetch_add(1, std::memory_order_relaxed); }
}  // namespace

extern "C" {
void* malloc(size_t size) {
  count_allocation();
  return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
  count_allocation();
  return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
  count_allocation();
  return __libc_realloc(p, size);
}
void* memalign(size_t alignment, size_t size) {
  count_allocation();
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
  count_allocation();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  count_allocation();
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return 12;  // ENOMEM
  *out = p;
  return 0;
}
void free(void* p) { __libc_free(p); }
}

namespace {

constexpr int32_t kRingBlocks = 256;
constexpr uint32_t kPayload = 64;  // a small overlay packet's worth of data

// The baseline: the textbook blocking queue of pointers.
class MutexQueue {
 public:
  bool post(_QMSGBLOCK* block) {
    {
      std::lock_guard<std::mutex> guard(mu_);
      items_.push_back(block);
    }
    cv_.notify_one();
    return true;
  }
  _QMSGBLOCK* wait() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return !items_.empty(); });
    _QMSGBLOCK* block = items_.front();
    items_.pop_front();
    return block;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<_QMSGBLOCK*> items_;
};

// Takes, fills and posts until told to stop. An exhausted ring is retried
// here (a real producer drops its work) so that both queues move the same
// number of blocks.
template <typename Queue>
void produce(QMsgBlockPool* ring, Queue* queue, const std::atomic<bool>* stop,
             std::atomic<uint64_t>* posted) {
  uint32_t seq = 0;
  while (!stop->load(std::memory_order_relaxed)) {
    _QMSGBLOCK* block = ring->take();
    if (block == nullptr) {
      std::this_thread::yield();
      continue;
    }
    qmsgblock_set_tag(block, "ostoverlay");
    uint8_t* data = qmsgblock_reserve_data(block, kPayload);
    std::memset(data, 0, kPayload);
    std::memcpy(data, &seq, sizeof(seq));
    ++seq;
    block->msgtype = QMSG_PKT_OVERLAY;
    queue->post(block);
    posted->fetch_add(1, std::memory_order_relaxed);
  }
}

template <typename Queue>
uint64_t consume_one(Queue& queue) {
  _QMSGBLOCK* block = queue.wait();
  uint64_t sum = block->data[0];
  qmsgblock_release(block);
  return sum;
}

// A queue's storage grows to the most it has held and is reused from then on.
// Holding more pointers than all rings together once (nulls, which our
// consumer skips, then a marker) takes it there before the producers start,
// however the threads are scheduled.
template <typename Queue>
void warm_storage(Queue& queue, int pointers) {
  QMsgBlockPool marker_ring(1);
  _QMSGBLOCK* marker = marker_ring.take();
  for (int i = 0; i < pointers; ++i) queue.post(nullptr);
  queue.post(marker);
  while (queue.wait() != marker) {
  }
}

template <typename Queue>
void BM_Handover(benchmark::State& state) {
  const auto producers = static_cast<int>(state.range(0));
  auto queue = std::make_unique<Queue>();
  warm_storage(*queue, producers * (kRingBlocks + 64));
  std::vector<std::unique_ptr<QMsgBlockPool>> rings;
  for (int p = 0; p < producers; ++p) rings.push_back(std::make_unique<QMsgBlockPool>(kRingBlocks));
  std::atomic<bool> stop{false};
  std::vector<std::atomic<uint64_t>> posted(static_cast<size_t>(producers));
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back(produce<Queue>, rings[p].get(), queue.get(), &stop, &posted[p]);
  }

  // Warm blocks: every producer has gone round its ring, so each block has
  // its tag and data buffer.
  uint64_t consumed = 0;
  uint64_t sum = 0;
  auto ring_used = [&] {
    for (const auto& count : posted) {
      if (count.load() <= static_cast<uint64_t>(kRingBlocks)) return false;
    }
    return true;
  };
  while (!ring_used()) {
    sum += consume_one(*queue);
    ++consumed;
  }

  uint64_t allocations_before = allocation_count.load();
  for (auto _ : state) {
    sum += consume_one(*queue);
    ++consumed;
  }
  uint64_t allocations = allocation_count.load() - allocations_before;

  stop = true;
  for (std::thread& t : threads) t.join();
  uint64_t total = 0;
  for (const auto& count : posted) total += count.load();
  while (consumed < total) {
    sum += consume_one(*queue);
    ++consumed;
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["allocs_per_block"] =
      static_cast<double>(allocations) / static_cast<double>(state.iterations());
}

void BM_QMsgQueueHandover(benchmark::State& state) { BM_Handover<QMsgQueue>(state); }
void BM_MutexQueueHandover(benchmark::State& state) { BM_Handover<MutexQueue>(state); }

// Each pair runs back to back so that drift on a shared machine hits both.
constexpr int kRepetitions = 5;
BENCHMARK(BM_QMsgQueueHandover)->Arg(1)->Repetitions(kRepetitions)->UseRealTime();
BENCHMARK(BM_MutexQueueHandover)->Arg(1)->Repetitions(kRepetitions)->UseRealTime();
BENCHMARK(BM_QMsgQueueHandover)->Arg(4)->Repetitions(kRepetitions)->UseRealTime();
BENCHMARK(BM_MutexQueueHandover)->Arg(4)->Repetitions(kRepetitions)->UseRealTime();

// Keeps, per benchmark and argument, the fastest repetition and the most
// allocations per block any repetition saw.
class MinReporter : public benchmark::ConsoleReporter {
 public:
  using ConsoleReporter::ConsoleReporter;
  struct Figures {
    double nanos = 0;
    double allocs = 0;
    bool seen = false;
  };
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      Figures& f = figures_[run.run_name.function_name + "/" + run.run_name.args];
      double nanos = run.real_accumulated_time * 1e9 / static_cast<double>(run.iterations);
      if (!f.seen || nanos < f.nanos) f.nanos = nanos;
      auto allocs = run.counters.find("allocs_per_block");
      if (allocs != run.counters.end() && allocs->second.value > f.allocs) {
        f.allocs = allocs->second.value;
      }
      f.seen = true;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  const std::map<std::string, Figures>& figures() const { return figures_; }

 private:
  std::map<std::string, Figures> figures_;
};

}  // namespace

int main(int argc, char** argv) {
  const auto options = bench::ConsoleOptions(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  MinReporter reporter(options);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  int status = 0;
  std::printf("\n%-12s %16s %16s %10s %18s %18s\n", "producers", "ours blocks/s", "mutex blocks/s",
              "ratio", "ours allocs/block", "mutex allocs/block");
  for (const char* producers : {"1", "4"}) {
    auto ours = reporter.figures().find(std::string("BM_QMsgQueueHandover/") + producers);
    auto base = reporter.figures().find(std::string("BM_MutexQueueHandover/") + producers);
    if (ours == reporter.figures().end() || base == reporter.figures().end()) continue;
    const auto& o = ours->second;
    const auto& b = base->second;
    // Ratio of times per block, fastest repetition of each: below 1 is faster.
    std::printf("%-12s %16.0f %16.0f %10.3f %18.6f %18.6f\n", producers, 1e9 / o.nanos,
                1e9 / b.nanos, o.nanos / b.nanos, o.allocs, b.allocs);
    if (o.allocs != 0) status = 1;
  }
  return status;
}
