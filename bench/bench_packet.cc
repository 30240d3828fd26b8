// Packet::make + release of 64, 576 and 1500-byte packets from a warm pool
// against malloc + free of the same sizes, and the number of heap
// allocations per packet once the pool is warm (it must be 0).
//
// This program replaces malloc and its relatives with counting wrappers
// around the C library's own allocator, so every allocation made anywhere
// in the process is seen.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "graph/packet.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t n, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);
}

namespace {
// A plain counter: the measured loops run on the main thread.
uint64_t allocation_count = 0;
}  // namespace

extern "C" {
void* malloc(size_t size) {
  ++allocation_count;
  return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
  ++allocation_count;
  return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
  ++allocation_count;
  return __libc_realloc(p, size);
}
void* memalign(size_t alignment, size_t size) {
  ++allocation_count;
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
  ++allocation_count;
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  ++allocation_count;
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return 12;  // ENOMEM
  *out = p;
  return 0;
}
void free(void* p) { __libc_free(p); }
}

namespace {

constexpr int kPoolSize = 1000;

void WarmPool() {
  init_pkt_pool_size(kPoolSize);
  Packet::make(0, nullptr, 1500)->release();
}

void BM_PacketMakeRelease(benchmark::State& state) {
  const auto length = static_cast<uint32_t>(state.range(0));
  WarmPool();
  uint64_t before = allocation_count;
  for (auto _ : state) {
    Packet* p = Packet::make(0, nullptr, length);
    p->data()[0] = 1;
    benchmark::DoNotOptimize(p->data());
    p->release();
  }
  state.counters["allocs_per_packet"] =
      static_cast<double>(allocation_count - before) / static_cast<double>(state.iterations());
}

void BM_MallocFree(benchmark::State& state) {
  const auto length = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    auto* p = static_cast<unsigned char*>(malloc(length));
    p[0] = 1;
    benchmark::DoNotOptimize(p);
    free(p);
  }
}

// Each pair runs back to back so that drift on a shared machine hits both.
BENCHMARK(BM_PacketMakeRelease)->Arg(64);
BENCHMARK(BM_MallocFree)->Arg(64);
BENCHMARK(BM_PacketMakeRelease)->Arg(576);
BENCHMARK(BM_MallocFree)->Arg(576);
BENCHMARK(BM_PacketMakeRelease)->Arg(1500);
BENCHMARK(BM_MallocFree)->Arg(1500);

// Heap allocations while a warm pool serves `count` packets of each size,
// some held at once the way a queue holds them.
uint64_t AllocationsWhileWarm(int count) {
  WarmPool();
  std::vector<Packet*> held(64);
  // Fill the pool with as many objects and buffers as are held below.
  for (Packet*& p : held) p = Packet::make(0, nullptr, 64);
  for (Packet* p : held) p->release();

  uint64_t before = allocation_count;
  for (int i = 0; i < count; ++i) {
    for (uint32_t length : {64u, 576u, 1500u}) {
      for (Packet*& p : held) p = Packet::make(0, nullptr, length);
      for (Packet* p : held) p->release();
    }
  }
  return allocation_count - before;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<bench::Comparison> comparisons;
  for (const char* n : {"64", "576", "1500"}) {
    comparisons.push_back(
        {std::string("BM_PacketMakeRelease/") + n, std::string("BM_MallocFree/") + n});
  }
  int status = bench::RunWithRatios(argc, argv, comparisons);

  constexpr int kRounds = 1000;
  uint64_t allocations = AllocationsWhileWarm(kRounds);
  uint64_t packets = uint64_t{kRounds} * 3 * 64;
  std::printf("\nheap allocations with a warm pool: %llu over %llu packets\n",
              static_cast<unsigned long long>(allocations),
              static_cast<unsigned long long>(packets));
  Packet::static_cleanup();
  if (allocations != 0) return 1;
  return status;
}
