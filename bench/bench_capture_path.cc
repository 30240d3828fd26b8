// What the capture path adds per packet: a captured block of 255 packets
// made into packets, pushed through the graph
// `FromDevice -> OstrelL3Classifier -> OstrelToDevice`
// onto the pending-send list and drained into the re-injection batch, against
// a bare loop that walks the same block and copies each packet and record
// straight into a send batch (receive-and-send-back). Both stop short of the
// divert send itself (the handle is closed), so only the path is measured.
// 64- and 1400-byte packets. A counting operator new reports the heap
// allocations per packet once the packet pool is warm; it must be 0.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "bench/counting_new.h"
#include "bench/ratio_reporter.h"
#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/local/fromdevice.h"
#include "ostgraphsvc/qmsg/qmsg.h"
#include "platform/divert/testing_packets.h"
#include "tests/support/graph_harness.h"

namespace {

constexpr uint32_t kPackets = 255;

// One capture block of 255 outbound UDP packets of `size` bytes.
struct CapturedBlock {
  QMsgBlockPool ring{1, kQMsgCaptureCapacity};
  _QMSGBLOCK* block = nullptr;

  explicit CapturedBlock(size_t size) {
    block = ring.take();
    block->msgtype = QMSG_PKT_CAPTURED;
    auto packet =
        platform::divert::testing::make_udp("192.168.5.2", 5000, "8.8.8.8", 443, size - 28);
    for (uint32_t i = 0; i < kPackets; ++i) {
      std::memcpy(block->capture_buffer + block->capture_length, packet.data(), packet.size());
      block->capture_length += static_cast<uint32_t>(packet.size());
      block->addr[i].Flags = WINDIVERT_ADDRESS_OUTBOUND;
      block->addr[i].IfIdx = 3;
    }
    block->addr_length = kPackets * sizeof(WINDIVERT_ADDRESS);
  }
};

void BM_CapturePath(benchmark::State& state) {
  init_pkt_pool_size(1000);
  CapturedBlock captured(static_cast<size_t>(state.range(0)));
  testing_support::GraphHarness h;
  if (!h.Load("fd :: FromDevice; c :: OstrelL3Classifier; out :: OstrelToDevice;"
              "fd -> c; c[0] -> out; c[1] -> out; c[2] -> out; c[3] -> out;"
              "c[4] -> out; c[5] -> out; c[6] -> out;")) {
    state.SkipWithError("graph did not load");
    return;
  }
  auto* fd = static_cast<FromDevice*>(h.Find("fd"));
  // Warms the packet pool.
  fd->process_captured_batch(captured.block);
  fd->drain_pending_send();
  long before = 0;
  for (auto _ : state) {
    if (before == 0) before = bench_heap_allocations();
    fd->process_captured_batch(captured.block);
    fd->drain_pending_send();
  }
  state.counters["allocs/packet"] = static_cast<double>(bench_heap_allocations() - before) /
                                    (static_cast<double>(state.iterations()) * kPackets);
  state.SetItemsProcessed(state.iterations() * kPackets);
}

// Receive-and-send-back: walk the block, copy packet and record into the
// send batch.
void BM_BareSendBack(benchmark::State& state) {
  CapturedBlock captured(static_cast<size_t>(state.range(0)));
  auto bytes = std::make_unique<uint8_t[]>(kQMsgCaptureCapacity);
  auto records = std::make_unique<WINDIVERT_ADDRESS[]>(kPackets);
  for (auto _ : state) {
    uint8_t* cursor = captured.block->capture_buffer;
    uint32_t remaining = captured.block->capture_length;
    uint32_t length = 0;
    for (uint32_t i = 0; i < kPackets && cursor != nullptr; ++i) {
      void* next = nullptr;
      uint32_t nextLength = 0;
      WinDivertHelperParsePacket(cursor, remaining, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, &next, &nextLength);
      uint32_t n = remaining - nextLength;
      std::memcpy(bytes.get() + length, cursor, n);
      records[i] = captured.block->addr[i];
      length += n;
      cursor = static_cast<uint8_t*>(next);
      remaining = nextLength;
    }
    WinDivertSendEx(kWinDivertInvalidHandle, bytes.get(), length, nullptr, 0, records.get(),
                    kPackets * sizeof(WINDIVERT_ADDRESS), nullptr);
    benchmark::DoNotOptimize(bytes.get());
  }
  state.SetItemsProcessed(state.iterations() * kPackets);
}

BENCHMARK(BM_CapturePath)->Arg(64)->Arg(1400);
BENCHMARK(BM_BareSendBack)->Arg(64)->Arg(1400);

}  // namespace

int main(int argc, char** argv) {
  return bench::RunWithRatios(argc, argv,
                              {{"BM_CapturePath/64", "BM_BareSendBack/64"},
                               {"BM_CapturePath/1400", "BM_BareSendBack/1400"}});
}
