// A push through a chain of 10 elements, built and wired by the Router,
// against a chain of 10 plain objects that call each other through one
// virtual call. Both pass the same packet; the last link keeps it, so no
// iteration allocates or frees. A counting operator new reports the heap
// allocations per packet, which must be 0.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "bench/counting_new.h"
#include "bench/ratio_reporter.h"
#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/packet.h"
#include "graph/router.h"

namespace {

constexpr int kChain = 10;

class Forward : public Element {
 public:
  const char* class_name() const override { return "Forward"; }
  // The head of the chain has no input: the benchmark pushes into it.
  const char* port_count() const override { return "-1/1"; }
  const char* processing() const override { return kPush; }
  void push(int, Packet* p) override { output(0).push(p); }
};

class Keep : public Element {
 public:
  const char* class_name() const override { return "Keep"; }
  const char* port_count() const override { return "1/0"; }
  const char* processing() const override { return kPush; }
  void push(int, Packet* p) override { kept = p; }
  Packet* kept = nullptr;
};

// The baseline: the same chain without ports.
class Link {
 public:
  virtual ~Link() = default;
  virtual void push(Packet* p) = 0;
};

class ForwardLink : public Link {
 public:
  explicit ForwardLink(Link* next) : next_(next) {}
  void push(Packet* p) override { next_->push(p); }

 private:
  Link* next_;
};

class KeepLink : public Link {
 public:
  void push(Packet* p) override { kept = p; }
  Packet* kept = nullptr;
};

void report(benchmark::State& state, long allocated) {
  state.counters["per_element"] = benchmark::Counter(
      kChain, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["allocs_per_packet"] =
      static_cast<double>(allocated) / static_cast<double>(state.iterations());
}

void BM_PushChain_Router(benchmark::State& state) {
  Router router("");
  Element* first = nullptr;
  Keep* last = new Keep;
  for (int i = 0; i < kChain; ++i) {
    Element* e = i + 1 < kChain ? static_cast<Element*>(new Forward) : last;
    router.add_element(e, String(i), "", "bench", i + 1);
    if (i == 0) first = e;
    if (i > 0) router.add_connection(i - 1, 0, i, 0);
  }
  ErrorHandler* errh = ErrorHandler::default_handler();
  if (router.check_port_numbers(errh) < 0 || router.resolve_processing(errh) < 0 ||
      router.check_connection_use(errh) < 0) {
    state.SkipWithError("graph checks failed");
    return;
  }
  router.wire_ports();

  Packet* p = Packet::make(0, nullptr, 64, 0);
  // The chain starts at the first element's push, as its upstream would.
  const long before = bench_heap_allocations();
  for (auto _ : state) {
    first->push(0, p);
    benchmark::DoNotOptimize(last->kept);
  }
  report(state, bench_heap_allocations() - before);
  p->release();
}

void BM_PushChain_Direct(benchmark::State& state) {
  std::vector<std::unique_ptr<Link>> links;
  auto* keep = new KeepLink;
  links.emplace_back(keep);
  Link* next = keep;
  for (int i = 1; i < kChain; ++i) {
    links.emplace_back(new ForwardLink(next));
    next = links.back().get();
  }
  Link* first = next;

  Packet* p = Packet::make(0, nullptr, 64, 0);
  const long before = bench_heap_allocations();
  for (auto _ : state) {
    first->push(p);
    benchmark::DoNotOptimize(keep->kept);
  }
  report(state, bench_heap_allocations() - before);
  p->release();
}

BENCHMARK(BM_PushChain_Router);
BENCHMARK(BM_PushChain_Direct);

}  // namespace

int main(int argc, char** argv) {
  static FileErrorHandler errh(stderr);
  ErrorHandler::install_defaults(&errh);
  return bench::RunWithRatios(argc, argv, {{"BM_PushChain_Router", "BM_PushChain_Direct"}});
}
