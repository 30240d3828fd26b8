// Timers: schedule N timers with random expiries and fire them all in
// expiry order through TimerHeap::run_timers, against std::priority_queue of
// the same (expiry, timer) entries pushed and popped, at 1e3 and 1e5 timers.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <queue>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench/ratio_reporter.h"
#include "graph/element.h"
#include "graph/master.h"
#include "graph/router.h"
#include "graph/timer.h"
#include "graph/timestamp.h"

namespace {

// The heap reads the clock: a counter that each round moves forward, so
// every round's expiries lie ahead of the last run.
int64_t g_clock_nsec = 0;
void bench_clock(struct timespec* now) {
  now->tv_sec = static_cast<time_t>(g_clock_nsec / Timestamp::kNsecPerSec);
  now->tv_nsec = static_cast<long>(g_clock_nsec % Timestamp::kNsecPerSec);
}

constexpr int64_t kSpanNsec = 10 * Timestamp::kNsecPerSec;

std::vector<int64_t> Offsets(int n) {
  std::mt19937_64 rng(static_cast<uint64_t>(n));
  std::vector<int64_t> offsets(static_cast<size_t>(n));
  for (int64_t& o : offsets) o = static_cast<int64_t>(rng() % kSpanNsec);
  return offsets;
}

class Owner : public Element {
 public:
  const char* class_name() const override { return "Owner"; }
};

uint64_t g_fired = 0;
void count_fire(Timer*, void*) { ++g_fired; }

std::vector<std::unique_ptr<Timer>> MakeTimers(int n) {
  std::vector<std::unique_ptr<Timer>> timers;
  for (int i = 0; i < n; ++i) timers.push_back(std::make_unique<Timer>(count_fire, nullptr));
  return timers;
}

void BM_Timers_Ours(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<int64_t> offsets = Offsets(n);
  g_clock_nsec = 1000 * Timestamp::kNsecPerSec;
  set_system_time_source(bench_clock);
  {
    Master master;
    Router router("", &master);
    router.set_running_state(Router::kRunningActive);
    Owner* owner = new Owner;
    router.add_element(owner, "owner", "", "bench", 1);
    SchedulerThread* thread = master.thread(0);
    std::vector<std::unique_ptr<Timer>> timers = MakeTimers(n);
    for (auto& t : timers) t->initialize(owner);
    for (auto _ : state) {
      const int64_t base = g_clock_nsec;
      for (int i = 0; i < n; ++i)
        timers[static_cast<size_t>(i)]->schedule_at(
            Timestamp::make_nsec(base + offsets[static_cast<size_t>(i)]));
      g_clock_nsec = base + kSpanNsec;
      thread->timer_heap().run_timers(thread, &master);
    }
  }
  set_system_time_source(nullptr);
  benchmark::DoNotOptimize(g_fired);
  state.SetItemsProcessed(state.iterations() * n);
}

void BM_Timers_PriorityQueue(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<int64_t> offsets = Offsets(n);
  std::vector<std::unique_ptr<Timer>> timers = MakeTimers(n);
  using Entry = std::pair<int64_t, Timer*>;
  int64_t base = 1000 * Timestamp::kNsecPerSec;
  // Fired through a hook pointer, as timers are.
  Timer::Hook hook = count_fire;
  benchmark::DoNotOptimize(hook);
  // Kept across rounds, as the heap keeps its storage.
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> queue;
  for (auto _ : state) {
    for (int i = 0; i < n; ++i)
      queue.emplace(base + offsets[static_cast<size_t>(i)], timers[static_cast<size_t>(i)].get());
    base += kSpanNsec;
    while (!queue.empty()) {
      hook(queue.top().second, nullptr);
      queue.pop();
    }
  }
  benchmark::DoNotOptimize(g_fired);
  state.SetItemsProcessed(state.iterations() * n);
}

BENCHMARK(BM_Timers_Ours)->Arg(1000)->Arg(100000);
BENCHMARK(BM_Timers_PriorityQueue)->Arg(1000)->Arg(100000);

}  // namespace

int main(int argc, char** argv) {
  std::vector<bench::Comparison> comparisons;
  for (const char* n : {"1000", "100000"})
    comparisons.push_back(
        {std::string("BM_Timers_Ours/") + n, std::string("BM_Timers_PriorityQueue/") + n});
  return bench::RunWithRatios(argc, argv, comparisons);
}
