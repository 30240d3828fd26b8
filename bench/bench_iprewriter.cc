// IPRewriter on its packet path against a plain baseline, both in one run.
//
// Established flows: a TCP packet of 64 or 1500 bytes of one of 10^5 live
// flows (10.0.0.2 rewritten to 10.0.0.1 and a port of 1024-65535) pushed
// through the element (one lookup, incremental checksum
// updates), against a std::unordered_map find plus the same rewrite with a
// full IPv4/TCP checksum recomputation. Both restore the packet's headers
// from the flow's template before each packet, and both reuse one packet, so
// no iteration allocates (counted below: allocs_per_packet must be 0).
//
// New flows: a SYN of a new tuple at 10^5 and 10^6 live flows, the store
// bounded to that many so that each new flow evicts the oldest, against two
// std::unordered_map inserts and a std::priority_queue push (with the same
// eviction of the oldest mapping).
#include <benchmark/benchmark.h>

#include <arpa/inet.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <queue>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench/counting_new.h"
#include "bench/ratio_reporter.h"
#include "graph/confparse.h"
#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "ostgraphsvc/graph/elements/ip/checksum.h"
#include "ostgraphsvc/graph/elements/tcpudp/iprewriter.h"

namespace {

constexpr int kEstablished = 100000;
constexpr uint32_t kTranslated = 0x0100000A;  // 10.0.0.1 as stored

class Source : public Element {
 public:
  const char* class_name() const override { return "Source"; }
  const char* port_count() const override { return "0/1"; }
  const char* processing() const override { return kPush; }
};

class Keep : public Element {
 public:
  const char* class_name() const override { return "Keep"; }
  const char* port_count() const override { return "-/0"; }
  const char* processing() const override { return kPush; }
  void push(int, Packet* p) override { kept = p; }
  Packet* kept = nullptr;
};

// The rewriter wired between a source and a keeping sink, configured and
// initialised by hand (no handlers needed).
struct Bench {
  explicit Bench(const char* config) : router(String("")) {
    rw = new IPRewriter;
    keep = new Keep;
    router.add_element(rw, String("rw"), String(config), String("bench"), 1);
    router.add_element(keep, String("keep"), String(""), String("bench"), 2);
    router.add_element(new Source, String("a"), String(""), String("bench"), 3);
    router.add_element(new Source, String("b"), String(""), String("bench"), 4);
    router.add_connection(2, 0, 0, 0);
    router.add_connection(3, 0, 0, 1);
    router.add_connection(0, 0, 1, 0);
    router.add_connection(0, 1, 1, 1);
    ErrorHandler* errh = ErrorHandler::default_handler();
    ok = router.check_port_numbers(errh) >= 0 && router.resolve_processing(errh) >= 0 &&
         router.check_connection_use(errh) >= 0;
    if (!ok) return;
    router.wire_ports();
    Vector<String> conf;
    cp_split_arguments(String(config), &conf);
    ok = rw->configure(conf, errh) >= 0 && rw->initialize(errh) >= 0;
  }
  ~Bench() { rw->cleanup(Element::kCleanupInitialized); }

  Router router;
  IPRewriter* rw;
  Keep* keep;
  bool ok = false;
};

struct Header {
  unsigned char bytes[40];
};

// IPv4 + TCP headers of flow `i` for a packet of `size` bytes: one client
// address, as the service sees its own host's flows, 50000 ports per
// destination.
Header make_header(int i, uint32_t size) {
  Header h{};
  unsigned char* b = h.bytes;
  b[0] = 0x45;
  b[2] = static_cast<unsigned char>(size >> 8);
  b[3] = static_cast<unsigned char>(size);
  b[8] = 64;
  b[9] = 6;
  const uint32_t src = htonl(0x0A000002u);
  const uint32_t dst = htonl(0xC0000201u + static_cast<uint32_t>(i / 50000));
  std::memcpy(b + 12, &src, 4);
  std::memcpy(b + 16, &dst, 4);
  const uint16_t sport = htons(static_cast<uint16_t>(1024 + i % 50000));
  const uint16_t dport = htons(80);
  std::memcpy(b + 20, &sport, 2);
  std::memcpy(b + 22, &dport, 2);
  b[32] = 0x50;
  b[33] = 0x10;
  return h;
}

std::vector<Header> templates(uint32_t size) {
  std::vector<Header> t;
  t.reserve(kEstablished);
  std::vector<unsigned char> packet(size);
  for (int i = 0; i < kEstablished; ++i) {
    Header h = make_header(i, size);
    std::memcpy(packet.data(), h.bytes, 40);
    recompute_checksums(packet.data(), size);
    std::memcpy(h.bytes, packet.data(), 40);
    t.push_back(h);
  }
  return t;
}

// Visits the flows in a scattered order, the same for both loops.
int next_flow(int i) { return static_cast<int>((i + 7919) % kEstablished); }

void report(benchmark::State& state, long allocated) {
  state.counters["allocs_per_packet"] =
      static_cast<double>(allocated) / static_cast<double>(state.iterations());
}

void BM_Established_Rewriter(benchmark::State& state) {
  const uint32_t size = static_cast<uint32_t>(state.range(0));
  Bench b("pattern 10.0.0.1 1024-65535 - - 0 1, drop, GUARANTEE 0");
  if (!b.ok) {
    state.SkipWithError("set-up failed");
    return;
  }
  const std::vector<Header> t = templates(size);
  Packet* p = Packet::make(0, nullptr, size);
  p->set_network_header(p->data(), 20);
  for (int i = 0; i < kEstablished; ++i) {
    std::memcpy(p->data(), t[i].bytes, 40);
    b.rw->push(0, p);
    p = b.keep->kept;
  }
  if (b.rw->heap()->size() != kEstablished)
    state.SkipWithError(("flows missing: " + std::to_string(b.rw->heap()->size())).c_str());
  int flow = 0;
  const long before = bench_heap_allocations();
  for (auto _ : state) {
    flow = next_flow(flow);
    std::memcpy(p->data(), t[flow].bytes, 40);
    b.rw->push(0, p);
    p = b.keep->kept;
    benchmark::DoNotOptimize(p->data()[10]);
  }
  report(state, bench_heap_allocations() - before);
  p->release();
}

struct Key {
  uint32_t saddr, daddr;
  uint16_t sport, dport;
  bool operator==(const Key&) const = default;
};
struct KeyHash {
  size_t operator()(const Key& k) const {
    return std::hash<uint64_t>()((uint64_t{k.saddr} << 32 | k.daddr) ^
                                 (uint64_t{k.sport} << 16 | k.dport) * 0x9E3779B97F4A7C15ull);
  }
};
struct Mapping {
  uint32_t saddr;
  uint16_t sport;
};

Key key_of(const unsigned char* b) {
  Key k;
  std::memcpy(&k.saddr, b + 12, 4);
  std::memcpy(&k.daddr, b + 16, 4);
  std::memcpy(&k.sport, b + 20, 2);
  std::memcpy(&k.dport, b + 22, 2);
  return k;
}

void BM_Established_Map(benchmark::State& state) {
  const uint32_t size = static_cast<uint32_t>(state.range(0));
  const std::vector<Header> t = templates(size);
  std::unordered_map<Key, Mapping, KeyHash> flows;
  for (int i = 0; i < kEstablished; ++i)
    flows.emplace(key_of(t[i].bytes), Mapping{kTranslated, key_of(t[i].bytes).sport});
  std::vector<unsigned char> packet(size);
  int flow = 0;
  const long before = bench_heap_allocations();
  for (auto _ : state) {
    flow = next_flow(flow);
    unsigned char* b = packet.data();
    std::memcpy(b, t[flow].bytes, 40);
    auto it = flows.find(key_of(b));
    if (it == flows.end()) continue;
    std::memcpy(b + 12, &it->second.saddr, 4);
    std::memcpy(b + 20, &it->second.sport, 2);
    recompute_checksums(b, size);
    benchmark::DoNotOptimize(b[10]);
  }
  report(state, bench_heap_allocations() - before);
}

// A SYN of new flow `n`: the client's next port, toward the next of many
// destinations once the ports run out.
void new_flow_header(unsigned char* b, uint64_t n) {
  const uint32_t dst = htonl(0xC6120000u + static_cast<uint32_t>(n / 64512));
  const uint16_t sport = htons(static_cast<uint16_t>(1024 + n % 64512));
  std::memcpy(b + 16, &dst, 4);
  std::memcpy(b + 20, &sport, 2);
}

void BM_NewFlow_Rewriter(benchmark::State& state) {
  const int live = static_cast<int>(state.range(0));
  const std::string config =
      "pattern 10.0.0.1 1024-65535 - - 0 1, drop, GUARANTEE 0, CAPACITY " + std::to_string(live);
  Bench b(config.c_str());
  if (!b.ok) {
    state.SkipWithError("set-up failed");
    return;
  }
  Header h = make_header(0, 64);
  h.bytes[33] = 0x02;
  Packet* p = Packet::make(0, nullptr, 64);
  p->set_network_header(p->data(), 20);
  uint64_t n = 0;
  auto one = [&] {
    std::memcpy(p->data(), h.bytes, 40);
    new_flow_header(p->data(), n++);
    b.rw->push(0, p);
    p = b.keep->kept;
  };
  for (int i = 0; i < live; ++i) one();
  const long before = bench_heap_allocations();
  for (auto _ : state) one();
  report(state, bench_heap_allocations() - before);
  if (b.rw->heap()->size() != live) state.SkipWithError("store not full");
  p->release();
}

void BM_NewFlow_Map(benchmark::State& state) {
  const int live = static_cast<int>(state.range(0));
  struct Expiry {
    uint64_t expiry;
    Key forward, reply;
    bool operator>(const Expiry& o) const { return expiry > o.expiry; }
  };
  std::unordered_map<Key, Mapping, KeyHash> forward, reply;
  std::priority_queue<Expiry, std::vector<Expiry>, std::greater<Expiry>> heap;
  Header h = make_header(0, 64);
  unsigned char b[64] = {};
  uint64_t n = 0;
  auto one = [&] {
    std::memcpy(b, h.bytes, 40);
    new_flow_header(b, n);
    const Key k = key_of(b);
    const Key r{k.daddr, kTranslated, k.dport, k.sport};
    forward.emplace(k, Mapping{kTranslated, k.sport});
    reply.emplace(r, Mapping{k.saddr, k.sport});
    heap.push(Expiry{n++, k, r});
    if (heap.size() > static_cast<size_t>(live)) {
      forward.erase(heap.top().forward);
      reply.erase(heap.top().reply);
      heap.pop();
    }
  };
  for (int i = 0; i < live; ++i) one();
  const long before = bench_heap_allocations();
  for (auto _ : state) one();
  report(state, bench_heap_allocations() - before);
}

BENCHMARK(BM_Established_Rewriter)->Arg(64)->Arg(1500);
BENCHMARK(BM_Established_Map)->Arg(64)->Arg(1500);
BENCHMARK(BM_NewFlow_Rewriter)->Arg(100000)->Arg(1000000);
BENCHMARK(BM_NewFlow_Map)->Arg(100000)->Arg(1000000);

}  // namespace

int main(int argc, char** argv) {
  static FileErrorHandler errh(stderr);
  ErrorHandler::install_defaults(&errh);
  return bench::RunWithRatios(argc, argv,
                              {{"BM_Established_Rewriter/64", "BM_Established_Map/64"},
                               {"BM_Established_Rewriter/1500", "BM_Established_Map/1500"},
                               {"BM_NewFlow_Rewriter/100000", "BM_NewFlow_Map/100000"},
                               {"BM_NewFlow_Rewriter/1000000", "BM_NewFlow_Map/1000000"}});
}
